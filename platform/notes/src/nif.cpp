// Design lookup and collections (nif.h), over the view engine of
// nif_view.h.
#include "nif.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

#include "collation.h"
#include "fault.h"
#include "nif_view.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "os_error.h"
#include "os_mem_internal.h"
#include "runtime_state.h"

namespace notes_internal {
namespace {

// An open view: its entries as they were at the open, in the view's order.
// Nothing changes them after the open, so any thread may read them.
struct CollectionObject : HandleObject {
    std::shared_ptr<nsf::DbFile> file;
    NOTEID view = 0;
    std::vector<views::Entry> entries;
};

struct OpenCollections {
    std::mutex mutex;
    std::set<DHANDLE> handles;
};

OpenCollections &TheOpenCollections() {
    static auto *open = new OpenCollections;
    return *open;
}

void CloseAllCollections() {
    std::set<DHANDLE> handles;
    {
        OpenCollections &open = TheOpenCollections();
        std::lock_guard<std::mutex> lock(open.mutex);
        handles.swap(open.handles);
    }
    for (DHANDLE handle : handles)
        ReleaseHandle(HandleKind::Collection, handle);
}

// The path of a collection's database for the fault point of a call, null
// when the handle did not look up.
const char *PathFor(STATUS lookup, const std::shared_ptr<CollectionObject> &collection) {
    return lookup == NOERROR ? collection->file->relPath().c_str() : nullptr;
}

// Whether a design note's "$Flags" fits a pattern of NIFFindDesignNoteExt.
bool FlagsFit(const std::string &flags, const char *pattern) {
    if (pattern == nullptr || *pattern == '\0')
        return true;
    const char sign = *pattern;
    const std::string set = sign == '-' || sign == '+' ? pattern + 1 : pattern;
    auto holds = [&](char ch) { return flags.find(ch) != std::string::npos; };
    if (sign == '-')
        return std::none_of(set.begin(), set.end(), holds);
    if (sign == '+')
        return std::any_of(set.begin(), set.end(), holds);
    return std::all_of(set.begin(), set.end(), holds);
}

// One move of a navigator from place `at` among `count` entries (0 before
// the first, count + 1 after the last); false when it cannot move.
bool Move(WORD navigator, size_t count, size_t *at) {
    if (navigator == NAVIGATE_NEXT && *at <= count) {
        ++*at;
        return *at <= count;
    }
    if (navigator == NAVIGATE_PREV && *at > 0) {
        --*at;
        return *at > 0;
    }
    return false;
}

bool OnEntry(size_t at, size_t count) {
    return at >= 1 && at <= count;
}

void SetPosition(COLLECTIONPOSITION *position, size_t at) {
    std::memset(position, 0, sizeof *position);
    position->Tumbler[0] = static_cast<DWORD>(at);
}

}  // namespace
}  // namespace notes_internal

using notes_internal::HandleKind;
using notes_internal::nsf::DbObject;

STATUS LNPUBLIC NIFFindDesignNoteExt(DBHANDLE hFile, const char far *Name, WORD Class,
                                     const char far *pszFlags, NOTEID far *retNoteID,
                                     DWORD Options) {
    if (retNoteID != nullptr)
        *retNoteID = 0;
    std::shared_ptr<DbObject> db;
    if (STATUS status = notes_internal::nsf::DbForCall("NIFFindDesignNoteExt", hFile, &db))
        return status;
    if (Name == nullptr || retNoteID == nullptr || Options != 0)
        return ERR_BAD_PARAM;
    try {
        std::vector<notes_internal::nsf::DbFile::DesignMatch> matches;
        if (STATUS status = db->file->FindDesigns(Class, Name, std::strlen(Name), &matches))
            return status;
        for (const auto &match : matches) {
            if (notes_internal::FlagsFit(match.flags, pszFlags)) {
                *retNoteID = match.id;
                return NOERROR;
            }
        }
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return ERR_DESIGN_NOT_FOUND;
}

STATUS LNPUBLIC NIFOpenCollection(DBHANDLE hViewDB, DBHANDLE hDataDB, NOTEID ViewNoteID,
                                  WORD OpenFlags, DHANDLE hUnreadList,
                                  HCOLLECTION far *rethCollection, NOTEHANDLE far *rethViewNote,
                                  UNID far *retViewUNID, DHANDLE far *rethCollapsedList,
                                  DHANDLE far *rethSelectedList) {
    using namespace notes_internal;
    (void)hUnreadList;
    for (DHANDLE *out : {rethCollection, rethViewNote, rethCollapsedList, rethSelectedList}) {
        if (out != nullptr)
            *out = NULLHANDLE;
    }
    if (retViewUNID != nullptr)
        std::memset(retViewUNID, 0, sizeof *retViewUNID);
    std::shared_ptr<DbObject> viewDb, dataDb;
    if (STATUS status = nsf::DbForCall("NIFOpenCollection", hViewDB, &viewDb))
        return status;
    if (STATUS status = nsf::LookupDb(hDataDB, &dataDb))
        return status;
    if (rethCollection == nullptr || (OpenFlags & ~OPEN_REBUILD_INDEX) != 0)
        return ERR_BAD_PARAM;
    if (dataDb->file != viewDb->file)
        return ERR_VIEW_OTHER_DATABASE;
    if (ViewNoteID == 0)
        return ERR_INVALID_NOTE;
    try {
        auto collection = std::make_shared<CollectionObject>();
        collection->file = viewDb->file;
        collection->view = ViewNoteID;
        nsf::DbFile &file = *viewDb->file;
        if (OpenFlags & OPEN_REBUILD_INDEX) {
            if (STATUS status = views::Build(file, ViewNoteID, true))
                return status;
        }
        nsf::StoredNote header;
        if (STATUS status = views::ReadCurrent(file, [&](nsf::Connection &c, NOTEID *stale) {
                STATUS current = views::CheckCurrent(c, ViewNoteID);
                if (current == views::kViewStale)
                    *stale = ViewNoteID;
                if (current != NOERROR)
                    return current;
                if (STATUS read = nsf::ReadNoteRows(
                        c, ViewNoteID, &header,
                        [](const unsigned char *, size_t, WORD, WORD, const unsigned char *,
                           size_t) { return static_cast<STATUS>(NOERROR); }))
                    return read;
                return views::AllEntries(c, ViewNoteID, &collection->entries);
            }))
            return status;

        std::shared_ptr<nsf::NoteObject> viewNote;
        if (rethViewNote != nullptr) {
            if (STATUS status = nsf::OpenStoredNote(viewDb, ViewNoteID, &viewNote))
                return status;
        }
        AtRuntimeEnd(CloseAllCollections);
        DHANDLE handle = RegisterHandle(HandleKind::Collection, collection);
        if (handle == NULLHANDLE) {
            if (viewNote)
                nsf::CloseNote(viewNote->handle);
            return ERR_MEMORY;
        }
        {
            OpenCollections &open = TheOpenCollections();
            std::lock_guard<std::mutex> lock(open.mutex);
            open.handles.insert(handle);
        }
        *rethCollection = handle;
        if (viewNote)
            *rethViewNote = viewNote->handle;
        if (retViewUNID != nullptr)
            *retViewUNID = header.unid;
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

STATUS LNPUBLIC NIFFindByName(HCOLLECTION hCollection, const char far *Name, WORD FindFlags,
                              COLLECTIONPOSITION far *retIndexPos, DWORD far *retNumMatches) {
    using namespace notes_internal;
    if (retIndexPos != nullptr)
        SetPosition(retIndexPos, 0);
    if (retNumMatches != nullptr)
        *retNumMatches = 0;
    std::shared_ptr<CollectionObject> collection;
    STATUS found = Lookup(HandleKind::Collection, hCollection, &collection);
    if (STATUS fault = FaultCheck("NIFFindByName", PathFor(found, collection)))
        return fault;
    if (found != NOERROR)
        return found;
    const WORD known = FIND_PARTIAL | FIND_CASE_INSENSITIVE | FIND_LAST_EQUAL;
    if (Name == nullptr || (FindFlags & ~known) != 0)
        return ERR_BAD_PARAM;
    const std::string key = CollationKey(Name, std::strlen(Name));
    const auto &entries = collection->entries;
    auto first =
        std::lower_bound(entries.begin(), entries.end(), key,
                         [](const views::Entry &e, const std::string &k) { return e.key < k; });
    auto last = first;
    if (FindFlags & FIND_PARTIAL) {
        while (last != entries.end() && last->key.compare(0, key.size(), key) == 0)
            ++last;
    } else {
        while (last != entries.end() && last->key == key)
            ++last;
    }
    if (first == last)
        return ERR_NIF_KEY_NOT_FOUND;
    const size_t place = static_cast<size_t>(((FindFlags & FIND_LAST_EQUAL) ? last - 1 : first) -
                                             entries.begin() + 1);
    if (retIndexPos != nullptr)
        SetPosition(retIndexPos, place);
    if (retNumMatches != nullptr)
        *retNumMatches = static_cast<DWORD>(last - first);
    return NOERROR;
}

STATUS LNPUBLIC NIFReadEntries(HCOLLECTION hCollection, COLLECTIONPOSITION far *IndexPos,
                               WORD SkipNavigator, DWORD SkipCount, WORD ReturnNavigator,
                               DWORD ReturnCount, DWORD ReturnMask, DHANDLE far *rethBuffer,
                               WORD far *retBufferLength, DWORD far *retNumEntriesSkipped,
                               DWORD far *retNumEntriesReturned, WORD far *retSignalFlags) {
    using namespace notes_internal;
    if (rethBuffer != nullptr)
        *rethBuffer = NULLHANDLE;
    if (retBufferLength != nullptr)
        *retBufferLength = 0;
    if (retNumEntriesSkipped != nullptr)
        *retNumEntriesSkipped = 0;
    if (retNumEntriesReturned != nullptr)
        *retNumEntriesReturned = 0;
    if (retSignalFlags != nullptr)
        *retSignalFlags = 0;
    std::shared_ptr<CollectionObject> collection;
    STATUS found = Lookup(HandleKind::Collection, hCollection, &collection);
    if (STATUS fault = FaultCheck("NIFReadEntries", PathFor(found, collection)))
        return fault;
    if (found != NOERROR)
        return found;
    auto knownNavigator = [](WORD navigator) {
        return navigator == NAVIGATE_CURRENT || navigator == NAVIGATE_NEXT ||
               navigator == NAVIGATE_PREV;
    };
    if (!knownNavigator(SkipNavigator) || !knownNavigator(ReturnNavigator) ||
        (ReturnMask & ~static_cast<DWORD>(READ_MASK_NOTEID)) != 0 ||
        (IndexPos != nullptr && IndexPos->Level != 0))
        return ERR_BAD_PARAM;

    const size_t count = collection->entries.size();
    size_t at = IndexPos != nullptr ? IndexPos->Tumbler[0] : 0;
    if (at > count)
        at = count + 1;
    DWORD skipped = 0;
    for (DWORD i = 0; i < SkipCount && SkipNavigator != NAVIGATE_CURRENT; i++) {
        if (!Move(SkipNavigator, count, &at))
            break;
        skipped++;
    }
    // A buffer is at most 65535 bytes: the IDs beyond stay for a later call.
    const size_t room = ReturnMask != 0 ? 0xFFFF / sizeof(NOTEID) : SIZE_MAX;
    std::vector<NOTEID> ids;
    size_t cursor = at, last = at;
    bool more = false;
    if (!OnEntry(cursor, count) && !Move(ReturnNavigator, count, &cursor))
        cursor = 0;
    DWORD returned = 0;
    try {
        while (OnEntry(cursor, count) && returned < ReturnCount) {
            if (returned == room) {
                more = true;
                break;
            }
            if (ReturnMask != 0)
                ids.push_back(collection->entries[cursor - 1].id);
            returned++;
            last = cursor;
            if (ReturnNavigator == NAVIGATE_CURRENT)
                break;
            size_t next = cursor;
            if (!Move(ReturnNavigator, count, &next))
                break;
            if (returned == ReturnCount) {
                more = true;
                break;
            }
            cursor = next;
        }
        if (!ids.empty() && rethBuffer != nullptr) {
            std::vector<unsigned char> bytes(ids.size() * sizeof(NOTEID));
            std::memcpy(bytes.data(), ids.data(), bytes.size());
            DHANDLE handle = NewMemoryObject(std::move(bytes));
            if (handle == NULLHANDLE)
                return ERR_MEMORY;
            *rethBuffer = handle;
            if (retBufferLength != nullptr)
                *retBufferLength = static_cast<WORD>(ids.size() * sizeof(NOTEID));
        }
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    if (IndexPos != nullptr)
        SetPosition(IndexPos, last);
    if (retNumEntriesSkipped != nullptr)
        *retNumEntriesSkipped = skipped;
    if (retNumEntriesReturned != nullptr)
        *retNumEntriesReturned = returned;
    if (retSignalFlags != nullptr && more)
        *retSignalFlags = SIGNAL_MORE_TO_DO;
    return NOERROR;
}

STATUS LNPUBLIC NIFCloseCollection(HCOLLECTION hCollection) {
    using namespace notes_internal;
    std::shared_ptr<CollectionObject> collection;
    STATUS found = Lookup(HandleKind::Collection, hCollection, &collection);
    if (STATUS fault = FaultCheck("NIFCloseCollection", PathFor(found, collection)))
        return fault;
    if (found != NOERROR)
        return found;
    collection.reset();
    if (STATUS status = ReleaseHandle(HandleKind::Collection, hCollection))
        return status;
    OpenCollections &open = TheOpenCollections();
    std::lock_guard<std::mutex> lock(open.mutex);
    open.handles.erase(hCollection);
    return NOERROR;
}
