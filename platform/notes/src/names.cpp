// Directory lookups and the names expansion (names.h), over the views of
// names.nsf (nif_view.h).
#include "names.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <unordered_set>

#include "collation.h"
#include "dname.h"
#include "dname_internal.h"
#include "fault.h"
#include "lmbcs.h"
#include "nif_view.h"
#include "nsf_indexers.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "os_error.h"
#include "os_mem_internal.h"
#include "runtime_state.h"
#include "value_codec.h"

namespace notes_internal {
namespace {

const char kDirectory[] = "names.nsf";
const char kUsers[] = "$Users";
const char kGroups[] = "($Groups)";

constexpr size_t kHeaderSize = 16;
constexpr size_t kEntryHeaderSize = 16;
constexpr size_t kMatchHeaderSize = 16;
constexpr size_t kItemSlotSize = 8;
constexpr size_t kMaxValueSize = 0xFFFF;  // a value's size, type word included, is a WORD
constexpr size_t kMaxListSize = 0xFFFF;

DWORD Read32(const unsigned char *at) {
    DWORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

WORD Read16(const unsigned char *at) {
    WORD value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The directories looked up in, held open until the runtime ends: the
// first open of a file (its first connection, its schema check) costs ten
// lookups, and the task holds no handle of names.nsf between requests.
struct HeldDirectories {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<nsf::DbFile>> files;  // by absolute path
};

HeldDirectories &TheHeldDirectories() {
    static auto *held = new HeldDirectories;
    return *held;
}

void LetGoOfDirectories() {
    std::map<std::string, std::shared_ptr<nsf::DbFile>> files;
    HeldDirectories &held = TheHeldDirectories();
    std::lock_guard<std::mutex> lock(held.mutex);
    files.swap(held.files);
}

// The database file of a server's directory. Every call opens it anew,
// which tells a missing or replaced file.
STATUS OpenDirectory(const char *server, std::shared_ptr<nsf::DbFile> *out) {
    const std::string path =
        server != nullptr && *server != '\0' ? std::string(server) + "!!" + kDirectory : kDirectory;
    if (STATUS status = nsf::OpenDbFile(path.c_str(), out))
        return status;
    AtRuntimeEnd(LetGoOfDirectories);
    HeldDirectories &held = TheHeldDirectories();
    std::lock_guard<std::mutex> lock(held.mutex);
    held.files[(*out)->absPath()] = *out;
    return NOERROR;
}

// NUL-terminated texts one after the other.
std::vector<std::string> Unpack(const char *packed, WORD count) {
    std::vector<std::string> texts;
    for (WORD i = 0; i < count; i++) {
        const size_t length = std::strlen(packed);
        texts.emplace_back(packed, length);
        packed += length + 1;
    }
    return texts;
}

// The collation keys a name is looked up under: as given, canonical and
// abbreviated, each once, in key order.
std::vector<std::string> LookupKeys(const std::string &name) {
    std::vector<std::string> keys{CollationKey(name)};
    if (name.size() < MAXDNAME && name.find('\0') == std::string::npos) {
        std::string form;
        for (bool canonical : {true, false}) {
            if (NameForm(name, canonical, &form) == NOERROR)
                keys.push_back(CollationKey(form));
        }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

// The documents of a view that match a name: in key order, then note ID
// order, each once.
STATUS Matches(nsf::Connection &c, NOTEID view, const std::vector<std::string> &keys,
               std::vector<NOTEID> *out) {
    out->clear();
    std::vector<NOTEID> found;
    for (const std::string &key : keys) {
        if (STATUS status = views::EntriesWithKey(c, view, key, &found))
            return status;
    }
    std::unordered_set<NOTEID> seen;
    for (NOTEID id : found) {
        if (seen.insert(id).second)
            out->push_back(id);
    }
    return NOERROR;
}

STATUS FirstMatch(nsf::Connection &c, NOTEID view, const std::vector<std::string> &keys,
                  NOTEID *out) {
    *out = 0;
    for (const std::string &key : keys) {
        if (STATUS status = views::FirstWithKey(c, view, key, out))
            return status;
        if (*out != 0)
            return NOERROR;
    }
    return NOERROR;
}

// A name space of the directory, current in this snapshot.
STATUS NameSpace(nsf::Connection &c, const std::string &name, NOTEID *view, NOTEID *stale) {
    std::vector<nsf::DbFile::DesignMatch> found;
    STATUS status = nsf::LookupDesign(c, NOTE_CLASS_VIEW, name.data(), name.size(), false, &found);
    if (status == ERR_DESIGN_NOT_FOUND)
        return ERR_NAMESPACE_NOT_FOUND;
    if (status != NOERROR)
        return status;
    *view = found.front().id;
    status = views::CheckCurrent(c, *view);
    if (status == views::kViewStale)
        *stale = *view;
    return status;
}

// The result buffer of NAMELookup2, as names.h lays it out.
class ResultWriter {
  public:
    void Clear() { bytes_.clear(); }

    size_t Begin(size_t headerSize) {
        const size_t at = bytes_.size();
        bytes_.resize(at + headerSize);
        return at;
    }
    void Put32(size_t at, DWORD value) { std::memcpy(&bytes_[at], &value, sizeof value); }
    void Put16(size_t at, WORD value) { std::memcpy(&bytes_[at], &value, sizeof value); }
    void Append(const void *data, size_t size) {
        const auto *p = static_cast<const unsigned char *>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    void Pad() { bytes_.resize((bytes_.size() + 3) & ~static_cast<size_t>(3)); }
    size_t Size() const { return bytes_.size(); }
    std::vector<unsigned char> Take() { return std::move(bytes_); }

  private:
    std::vector<unsigned char> bytes_;
};

// One match: the document's values of the items asked for.
STATUS WriteMatch(nsf::Connection &c, NOTEID id, const std::vector<std::string> &itemKeys,
                  ResultWriter *w) {
    const size_t start = w->Begin(kMatchHeaderSize + kItemSlotSize * itemKeys.size());
    w->Put32(start, NAME_MATCH_MAGIC);
    w->Put32(start + 8, id);
    w->Put16(start + 12, static_cast<WORD>(itemKeys.size()));
    for (size_t i = 0; i < itemKeys.size(); i++) {
        bool found = false;
        WORD type = 0;
        std::string value;
        if (STATUS status = views::ItemValue(c, id, itemKeys[i], &found, &type, &value))
            return status;
        if (!found)
            continue;
        if (value.size() + sizeof(WORD) > kMaxValueSize)
            return ERR_NAME_ITEM_TOO_BIG;
        const size_t slot = start + kMatchHeaderSize + kItemSlotSize * i;
        w->Put32(slot, static_cast<DWORD>(w->Size() - start));
        w->Put16(slot + 4, static_cast<WORD>(value.size() + sizeof(WORD)));
        w->Append(&type, sizeof type);
        w->Append(value.data(), value.size());
        w->Pad();
    }
    w->Put32(start + 4, static_cast<DWORD>(w->Size() - start));
    return NOERROR;
}

// Whether p points at a record of that magic that lies whole within
// [from, end) (records are at least 16 bytes); *size gets its size.
bool RecordAt(const unsigned char *p, const unsigned char *from, const unsigned char *end,
              DWORD magic, size_t *size) {
    const auto at = reinterpret_cast<uintptr_t>(p);
    const auto lo = reinterpret_cast<uintptr_t>(from), hi = reinterpret_cast<uintptr_t>(end);
    if (p == nullptr || at < lo || at > hi || hi - at < 16 || (at - lo) % 4 != 0)
        return false;
    if (Read32(p) != magic)
        return false;
    *size = Read32(p + 4);
    return *size >= 16 && *size <= hi - at;
}

// The buffer's bounds; false for a null or foreign pointer.
bool LookupBounds(const void *pLookup, const unsigned char **begin, const unsigned char **end) {
    const auto *base = static_cast<const unsigned char *>(pLookup);
    if (base == nullptr || Read32(base) != NAME_LOOKUP_MAGIC)
        return false;
    const DWORD size = Read32(base + 4);
    if (size < kHeaderSize)
        return false;
    *begin = base;
    *end = base + size;
    return true;
}

// An item's value in a match; null when there is none.
const unsigned char *ItemOf(const void *pMatch, WORD item, WORD *type, WORD *size) {
    *type = TYPE_INVALID_OR_UNKNOWN;
    *size = 0;
    const auto *match = static_cast<const unsigned char *>(pMatch);
    if (match == nullptr || Read32(match) != NAME_MATCH_MAGIC)
        return nullptr;
    const DWORD matchSize = Read32(match + 4);
    const WORD items = Read16(match + 12);
    if (item >= items || kMatchHeaderSize + kItemSlotSize * items > matchSize)
        return nullptr;
    const unsigned char *slot = match + kMatchHeaderSize + kItemSlotSize * item;
    const DWORD offset = Read32(slot);
    const WORD valueSize = Read16(slot + 4);
    if (offset == 0 || valueSize < sizeof(WORD) || offset > matchSize ||
        valueSize > matchSize - offset)
        return nullptr;
    *type = Read16(match + offset);
    *size = valueSize;
    return match + offset;
}

// The expansion of names and groups (names.h).
class Expander {
  public:
    Expander(nsf::Connection &c, NOTEID users, NOTEID groups)
        : c_(c), users_(users), groups_(groups) {}

    STATUS Expand(const std::vector<std::string> &names) {
        for (const std::string &name : names) {
            if (STATUS status = Visit(name, true))
                return status;
            while (!stack_.empty()) {
                Frame &frame = stack_.back();
                if (frame.next == frame.members.size()) {
                    stack_.pop_back();
                    continue;
                }
                const std::string member = frame.members[frame.next++];
                if (STATUS status = Visit(member, false))
                    return status;
            }
        }
        return NOERROR;
    }

    const std::vector<std::string> &Result() const { return out_; }

  private:
    struct Frame {
        std::vector<std::string> members;
        size_t next = 0;
    };

    STATUS Visit(const std::string &name, bool top) {
        if (name.empty())
            return NOERROR;
        const std::vector<std::string> keys = LookupKeys(name);
        NOTEID id = 0;
        if (STATUS status = FirstMatch(c_, users_, keys, &id))
            return status;
        if (id != 0) {
            std::vector<std::string> fullName;
            if (STATUS status = Texts(id, "FullName", &fullName))
                return status;
            return Add(fullName.empty() || fullName[0].empty() ? name : fullName[0]);
        }
        if (STATUS status = FirstMatch(c_, groups_, keys, &id))
            return status;
        if (id != 0) {
            // A group met again (inside itself, or twice) ends there.
            if (!expanded_.insert(id).second)
                return NOERROR;
            Frame frame;
            if (STATUS status = Texts(id, "Members", &frame.members))
                return status;
            stack_.push_back(std::move(frame));
            return NOERROR;
        }
        return top ? NOERROR : Add(name);
    }

    // The texts of a document's item; none when it is missing or no text.
    STATUS Texts(NOTEID id, const char *item, std::vector<std::string> *out) {
        out->clear();
        bool found = false;
        WORD type = 0;
        std::string bytes;
        if (STATUS status = views::ItemValue(c_, id, CollationKey(item, std::strlen(item)), &found,
                                             &type, &bytes))
            return status;
        const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
        const unsigned char *text = nullptr;
        size_t length = 0;
        for (size_t i = 0; found && TextEntry(type, p, bytes.size(), i, &text, &length); i++)
            out->emplace_back(reinterpret_cast<const char *>(text), length);
        return NOERROR;
    }

    STATUS Add(const std::string &name) {
        if (!seen_.insert(CollationKey(name)).second)
            return NOERROR;
        size_ += sizeof(WORD) + name.size();
        if (size_ > kMaxListSize || out_.size() >= 0xFFFF)
            return ERR_LIST_FULL;
        out_.push_back(name);
        return NOERROR;
    }

    nsf::Connection &c_;
    NOTEID users_, groups_;
    std::vector<Frame> stack_;
    std::unordered_set<NOTEID> expanded_;
    std::unordered_set<std::string> seen_;
    std::vector<std::string> out_;
    size_t size_ = 2 * sizeof(WORD);  // the type word and the count
};

}  // namespace
}  // namespace notes_internal

using namespace notes_internal;

STATUS LNPUBLIC NAMELookup2(const char far *ServerName, DWORD Flags, WORD NumNameSpaces,
                            const char far *NameSpaces, WORD NumNames, const char far *Names,
                            WORD NumItems, const char far *Items, DHANDLE far *rethBuffer) {
    if (rethBuffer != nullptr)
        *rethBuffer = NULLHANDLE;
    if (STATUS fault = FaultCheck("NAMELookup2", kDirectory))
        return fault;
    if (rethBuffer == nullptr || Flags != 0 || (NumNameSpaces > 0 && NameSpaces == nullptr) ||
        (NumNames > 0 && Names == nullptr) || (NumItems > 0 && Items == nullptr) ||
        static_cast<size_t>(NumNames) * NumNameSpaces > 0xFFFF)
        return ERR_BAD_PARAM;
    try {
        const std::vector<std::string> spaces = Unpack(NameSpaces, NumNameSpaces);
        const std::vector<std::string> names = Unpack(Names, NumNames);
        std::vector<std::string> itemKeys;
        for (const std::string &item : Unpack(Items, NumItems))
            itemKeys.push_back(CollationKey(item));
        std::vector<std::vector<std::string>> keys;
        for (const std::string &name : names)
            keys.push_back(LookupKeys(name));

        std::shared_ptr<nsf::DbFile> file;
        if (STATUS status = OpenDirectory(ServerName, &file))
            return status;
        ResultWriter w;
        STATUS status = views::ReadCurrent(*file, [&](nsf::Connection &c, NOTEID *stale) {
            std::vector<NOTEID> viewIds(spaces.size());
            for (size_t s = 0; s < spaces.size(); s++) {
                if (STATUS resolved = NameSpace(c, spaces[s], &viewIds[s], stale))
                    return resolved;
            }
            w.Clear();
            w.Begin(kHeaderSize);
            w.Put32(0, NAME_LOOKUP_MAGIC);
            w.Put16(8, static_cast<WORD>(names.size() * spaces.size()));
            w.Put16(10, NumItems);
            std::vector<NOTEID> matches;
            for (size_t n = 0; n < names.size(); n++) {
                for (size_t s = 0; s < spaces.size(); s++) {
                    if (STATUS found = Matches(c, viewIds[s], keys[n], &matches))
                        return found;
                    if (matches.size() > 0xFFFF)
                        matches.resize(0xFFFF);
                    const size_t entry = w.Begin(kEntryHeaderSize);
                    w.Put32(entry, NAME_ENTRY_MAGIC);
                    w.Put16(entry + 8, static_cast<WORD>(matches.size()));
                    w.Put16(entry + 10, static_cast<WORD>(n));
                    w.Put16(entry + 12, static_cast<WORD>(s));
                    for (NOTEID id : matches) {
                        if (STATUS written = WriteMatch(c, id, itemKeys, &w))
                            return written;
                    }
                    w.Put32(entry + 4, static_cast<DWORD>(w.Size() - entry));
                }
            }
            return static_cast<STATUS>(NOERROR);
        });
        if (status != NOERROR)
            return status;
        if (w.Size() > (1u << 30))
            return ERR_MEMORY;
        w.Put32(4, static_cast<DWORD>(w.Size()));
        DHANDLE handle = NewMemoryObject(w.Take());
        if (handle == NULLHANDLE)
            return ERR_MEMORY;
        *rethBuffer = handle;
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

void far *LNPUBLIC NAMELocateNextName2(const void far *pLookup, const void far *pName,
                                       WORD far *retNumMatches) {
    if (retNumMatches != nullptr)
        *retNumMatches = 0;
    if (FaultCheck("NAMELocateNextName2"))
        return nullptr;
    const unsigned char *begin = nullptr, *end = nullptr;
    if (!LookupBounds(pLookup, &begin, &end))
        return nullptr;
    const unsigned char *next = begin + kHeaderSize;
    size_t size = 0;
    if (pName != nullptr) {
        const auto *name = static_cast<const unsigned char *>(pName);
        if (!RecordAt(name, begin + kHeaderSize, end, NAME_ENTRY_MAGIC, &size))
            return nullptr;
        next = name + size;
    }
    if (!RecordAt(next, begin + kHeaderSize, end, NAME_ENTRY_MAGIC, &size))
        return nullptr;
    if (retNumMatches != nullptr)
        *retNumMatches = Read16(next + 8);
    return const_cast<unsigned char *>(next);
}

void far *LNPUBLIC NAMELocateNextMatch2(const void far *pLookup, const void far *pName,
                                        const void far *pMatch) {
    if (FaultCheck("NAMELocateNextMatch2"))
        return nullptr;
    const unsigned char *begin = nullptr, *end = nullptr;
    if (!LookupBounds(pLookup, &begin, &end))
        return nullptr;
    const auto *name = static_cast<const unsigned char *>(pName);
    size_t entrySize = 0, size = 0;
    if (!RecordAt(name, begin + kHeaderSize, end, NAME_ENTRY_MAGIC, &entrySize))
        return nullptr;
    const unsigned char *first = name + kEntryHeaderSize, *entryEnd = name + entrySize;
    const unsigned char *next = first;
    if (pMatch != nullptr) {
        const auto *match = static_cast<const unsigned char *>(pMatch);
        if (!RecordAt(match, first, entryEnd, NAME_MATCH_MAGIC, &size))
            return nullptr;
        next = match + size;
    }
    if (!RecordAt(next, first, entryEnd, NAME_MATCH_MAGIC, &size))
        return nullptr;
    return const_cast<unsigned char *>(next);
}

void far *LNPUBLIC NAMELocateItem2(const void far *pMatch, WORD Item, WORD far *retDataType,
                                   WORD far *retSize) {
    if (retDataType != nullptr)
        *retDataType = TYPE_INVALID_OR_UNKNOWN;
    if (retSize != nullptr)
        *retSize = 0;
    if (FaultCheck("NAMELocateItem2"))
        return nullptr;
    WORD type = 0, size = 0;
    const unsigned char *value = ItemOf(pMatch, Item, &type, &size);
    if (value == nullptr)
        return nullptr;
    if (retDataType != nullptr)
        *retDataType = type;
    if (retSize != nullptr)
        *retSize = size;
    return const_cast<unsigned char *>(value);
}

STATUS LNPUBLIC NAMEGetTextItem2(const void far *pMatch, WORD Item, WORD Member,
                                 char far *retBuffer, WORD BufLen) {
    if (retBuffer != nullptr && BufLen > 0)
        retBuffer[0] = '\0';
    if (STATUS fault = FaultCheck("NAMEGetTextItem2"))
        return fault;
    if (retBuffer == nullptr || BufLen == 0 || pMatch == nullptr ||
        Read32(static_cast<const unsigned char *>(pMatch)) != NAME_MATCH_MAGIC)
        return ERR_BAD_PARAM;
    WORD type = 0, size = 0;
    const unsigned char *value = ItemOf(pMatch, Item, &type, &size);
    if (value == nullptr)
        return ERR_ITEM_NOT_FOUND;
    if (type != TYPE_TEXT && type != TYPE_TEXT_LIST)
        return ERR_ITEM_TYPE;
    const unsigned char *text = nullptr;
    size_t length = 0;
    if (!TextEntry(type, value + sizeof(WORD), size - sizeof(WORD), Member, &text, &length))
        return ERR_LIST_ENTRY;
    // Cut before the character that would not fit.
    size_t cut = 0;
    while (cut < length) {
        const size_t n = LmbcsCharLength(text + cut, length - cut);
        if (cut + n > BufLen - 1u)
            break;
        cut += n;
    }
    std::memcpy(retBuffer, text, cut);
    retBuffer[cut] = '\0';
    return NOERROR;
}

STATUS LNPUBLIC NAMEExpandNamesList(DHANDLE hNames, WORD NamesSize, DHANDLE far *rethExpanded,
                                    WORD far *retExpandedSize, DWORD Reserved1, DWORD Reserved2) {
    if (rethExpanded != nullptr)
        *rethExpanded = NULLHANDLE;
    if (retExpandedSize != nullptr)
        *retExpandedSize = 0;
    if (STATUS fault = FaultCheck("NAMEExpandNamesList", kDirectory))
        return fault;
    if (rethExpanded == nullptr || Reserved1 != 0 || Reserved2 != 0)
        return ERR_BAD_PARAM;
    std::shared_ptr<MemoryObject> memory;
    if (STATUS status = Lookup(HandleKind::Memory, hNames, &memory))
        return status;
    try {
        if (NamesSize < 2 * sizeof(WORD) || NamesSize > memory->bytes.size())
            return ERR_BAD_PARAM;
        // A copy: the caller's list is not held while the directory is read.
        const std::string list(reinterpret_cast<const char *>(memory->bytes.data()), NamesSize);
        const TextListView view(reinterpret_cast<const unsigned char *>(list.data()) + sizeof(WORD),
                                list.size() - sizeof(WORD));
        if (view.Count() != view.Declared())
            return ERR_BAD_PARAM;
        std::vector<std::string> names;
        for (size_t i = 0; i < view.Count(); i++) {
            const unsigned char *text = nullptr;
            size_t length = 0;
            view.Entry(i, &text, &length);
            names.emplace_back(reinterpret_cast<const char *>(text), length);
        }

        std::shared_ptr<nsf::DbFile> file;
        if (STATUS status = OpenDirectory(nullptr, &file))
            return status;
        std::vector<std::string> expanded;
        if (STATUS status = views::ReadCurrent(*file, [&](nsf::Connection &c, NOTEID *stale) {
                NOTEID users = 0, groups = 0;
                if (STATUS status = NameSpace(c, kUsers, &users, stale))
                    return status;
                if (STATUS status = NameSpace(c, kGroups, &groups, stale))
                    return status;
                Expander expander(c, users, groups);
                if (STATUS status = expander.Expand(names))
                    return status;
                expanded = expander.Result();
                return static_cast<STATUS>(NOERROR);
            }))
            return status;

        std::vector<unsigned char> out(2 * sizeof(WORD) + sizeof(WORD) * expanded.size());
        const WORD type = TYPE_TEXT_LIST, count = static_cast<WORD>(expanded.size());
        std::memcpy(out.data(), &type, sizeof type);
        std::memcpy(out.data() + 2, &count, sizeof count);
        for (size_t i = 0; i < expanded.size(); i++) {
            const WORD length = static_cast<WORD>(expanded[i].size());
            std::memcpy(out.data() + 4 + 2 * i, &length, sizeof length);
            out.insert(out.end(), expanded[i].begin(), expanded[i].end());
        }
        const WORD size = static_cast<WORD>(out.size());
        DHANDLE handle = NewMemoryObject(std::move(out));
        if (handle == NULLHANDLE)
            return ERR_MEMORY;
        *rethExpanded = handle;
        if (retExpandedSize != nullptr)
            *retExpandedSize = size;
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}
