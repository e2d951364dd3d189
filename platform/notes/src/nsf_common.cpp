// Shared parts of the database family: note objects, names, the clock, and
// closing everything when the runtime ends.
#include <time.h>

#include <atomic>
#include <cstring>
#include <set>

#include "collation.h"
#include "lmbcs.h"
#include "fault.h"
#include "nsf_internal.h"
#include "os_error.h"
#include "runtime_state.h"

namespace notes_internal {
namespace nsf {

WORD Item::type() const {
    WORD type;
    std::memcpy(&type, value->bytes.data(), sizeof type);
    return type;
}

NoteObject::~NoteObject() {
    ReleaseItems();
}

STATUS NoteObject::Append(const char *name, size_t nameLen, WORD type, WORD flags,
                          const void *bytes, size_t size) {
    if (closed)
        return ERR_INVALID_HANDLE;  // closed by another thread meanwhile
    std::vector<unsigned char> value(size + 2);
    std::memcpy(value.data(), &type, 2);
    if (size)
        std::memcpy(value.data() + 2, bytes, size);
    std::shared_ptr<MemoryObject> memory;
    DHANDLE valueHandle = NewMemoryObject(std::move(value), handle, &memory);
    if (valueHandle == NULLHANDLE)
        return ERR_MEMORY;
    Item item;
    item.name.assign(name, nameLen);
    item.key = FoldName(name, nameLen);
    item.flags = flags;
    item.valueHandle = valueHandle;
    item.value = std::move(memory);
    ItemIt it = items.insert(items.end(), std::move(item));
    byName[it->key].push_back(it);
    byHandle.emplace(valueHandle, it);
    return NOERROR;
}

ItemIt NoteObject::Find(const std::string &key) {
    auto found = byName.find(key);
    if (found == byName.end() || found->second.empty())
        return items.end();
    return found->second.front();
}

void NoteObject::Remove(ItemIt it) {
    auto named = byName.find(it->key);
    if (named != byName.end()) {
        auto &list = named->second;
        for (auto pos = list.begin(); pos != list.end(); ++pos) {
            if (*pos == it) {
                list.erase(pos);
                break;
            }
        }
        if (list.empty())
            byName.erase(named);
    }
    byHandle.erase(it->valueHandle);
    ReleaseHandle(HandleKind::Memory, it->valueHandle);
    items.erase(it);
}

void NoteObject::ReleaseItems() {
    for (Item &item : items)
        ReleaseHandle(HandleKind::Memory, item.valueHandle);
    items.clear();
    byName.clear();
    byHandle.clear();
}

bool NoteObject::FindItem(const char *name, size_t nameLength, WORD *type,
                          const unsigned char **bytes, size_t *size) const {
    auto found = byName.find(FoldName(name, nameLength));
    if (found == byName.end() || found->second.empty())
        return false;
    const Item &item = *found->second.front();
    *type = item.type();
    *bytes = item.data();
    *size = item.size();
    return true;
}

std::string FoldName(const char *name, size_t length) {
    return CollationKey(name, length);
}

namespace {

// The next "/" at or after start that is a character of its own.
size_t NextSlash(const std::string &name, size_t start) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(name.data());
    size_t at = start;
    while (at < name.size() && bytes[at] != '/')
        at += LmbcsCharLength(bytes + at, name.size() - at);
    return at < name.size() ? at : std::string::npos;
}

}  // namespace

std::string NormaliseName(const std::string &name) {
    std::string out;
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = NextSlash(name, start);
        if (slash == std::string::npos)
            slash = name.size();
        std::string part = name.substr(start, slash - start);
        size_t b = part.find_first_not_of(" \t");
        size_t e = part.find_last_not_of(" \t");
        part = b == std::string::npos ? "" : part.substr(b, e - b + 1);
        size_t eq = part.find('=');
        if (eq != std::string::npos) {
            std::string label = FoldName(part.data(), eq);
            while (!label.empty() && label.back() == ' ')
                label.pop_back();
            if (label == "cn" || label == "ou" || label == "o" || label == "c") {
                part.erase(0, eq + 1);
                size_t first = part.find_first_not_of(" \t");
                part = first == std::string::npos ? "" : part.substr(first);
            }
        }
        if (!out.empty() || start > 0)
            out += '/';
        out += FoldName(part.data(), part.size());
        start = slash + 1;
    }
    return out;
}

TIMEDATE NowTimedate() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    long long seconds = ts.tv_sec;
    long long days = seconds / 86400;
    long long inDay = seconds % 86400;
    if (inDay < 0) {
        inDay += 86400;
        days--;
    }
    TIMEDATE t;
    t.Innards[0] = static_cast<DWORD>(inDay * 100 + ts.tv_nsec / 10000000);
    t.Innards[1] = static_cast<DWORD>((2440588 + days) & 0xFFFFFF);
    return t;
}

namespace {

struct OpenHandles {
    std::mutex mutex;
    std::set<DHANDLE> notes;
    std::set<DHANDLE> databases;
};

OpenHandles &TheOpenHandles() {
    static auto *open = new OpenHandles;
    return *open;
}

// Notes first: closing them frees their item values.
void CloseEverything() {
    OpenHandles &open = TheOpenHandles();
    std::set<DHANDLE> notes, databases;
    {
        std::lock_guard<std::mutex> lock(open.mutex);
        notes.swap(open.notes);
        databases.swap(open.databases);
    }
    for (DHANDLE note : notes) {
        std::shared_ptr<HandleObject> object;
        if (ReleaseHandle(HandleKind::Note, note, &object) == NOERROR) {
            auto *n = static_cast<NoteObject *>(object.get());
            std::lock_guard<std::mutex> lock(n->mutex);
            n->closed = true;
            n->ReleaseItems();
        }
    }
    for (DHANDLE db : databases)
        ReleaseHandle(HandleKind::Database, db);
    DbFile::ForgetAll();
}

}  // namespace

void Remember(HandleKind kind, DHANDLE handle) {
    static std::atomic<bool> hooked{false};
    if (!hooked.exchange(true))
        AtRuntimeEnd(CloseEverything);
    OpenHandles &open = TheOpenHandles();
    std::lock_guard<std::mutex> lock(open.mutex);
    (kind == HandleKind::Note ? open.notes : open.databases).insert(handle);
}

void Forget(HandleKind kind, DHANDLE handle) {
    OpenHandles &open = TheOpenHandles();
    std::lock_guard<std::mutex> lock(open.mutex);
    (kind == HandleKind::Note ? open.notes : open.databases).erase(handle);
}

STATUS LookupNote(NOTEHANDLE handle, std::shared_ptr<NoteObject> *out) {
    return Lookup(HandleKind::Note, handle, out);
}

STATUS LookupDb(DBHANDLE handle, std::shared_ptr<DbObject> *out) {
    return Lookup(HandleKind::Database, handle, out);
}

STATUS DbForCall(const char *call, DBHANDLE handle, std::shared_ptr<DbObject> *out) {
    STATUS status = LookupDb(handle, out);
    if (STATUS fault =
            FaultCheck(call, status == NOERROR ? (*out)->file->relPath().c_str() : nullptr))
        return fault;
    return status;
}

STATUS RegisterNote(const std::shared_ptr<NoteObject> &note) {
    note->accessed = NowTimedate();
    DHANDLE handle = RegisterHandle(HandleKind::Note, note);
    if (handle == NULLHANDLE)
        return ERR_MEMORY;
    note->handle = handle;
    Remember(HandleKind::Note, handle);
    return NOERROR;
}

STATUS CloseNote(NOTEHANDLE handle) {
    std::shared_ptr<HandleObject> object;
    if (STATUS status = ReleaseHandle(HandleKind::Note, handle, &object))
        return status;
    Forget(HandleKind::Note, handle);
    auto *note = static_cast<NoteObject *>(object.get());
    std::lock_guard<std::mutex> lock(note->mutex);
    note->closed = true;
    note->ReleaseItems();
    return NOERROR;
}

STATUS OpenStoredNote(const std::shared_ptr<DbObject> &db, NOTEID id,
                      std::shared_ptr<NoteObject> *out) {
    auto note = std::make_shared<NoteObject>();
    note->db = db;
    if (STATUS status = RegisterNote(note))
        return status;
    STATUS status;
    {
        std::lock_guard<std::mutex> lock(note->mutex);
        status = db->file->ReadNote(id, &note->header,
                                    [&](const unsigned char *name, size_t nameLen, WORD type,
                                        WORD flags, const unsigned char *value, size_t size) {
                                        return note->Append(reinterpret_cast<const char *>(name),
                                                            nameLen, type, flags, value, size);
                                    });
    }
    if (status != NOERROR) {
        CloseNote(note->handle);
        return status;
    }
    *out = std::move(note);
    return NOERROR;
}

}  // namespace nsf
}  // namespace notes_internal
