// Objects behind database and note handles, shared by the database, note
// and profile calls.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "global.h"
#include "item_source.h"
#include "nsf_store.h"
#include "os_mem_internal.h"
#include "registry.h"

namespace notes_internal {
namespace nsf {

// One NSFDbOpen. Notes opened through it hold it too, so a database closed
// while its notes are open stays usable by those notes until they close.
struct DbObject : HandleObject {
    std::shared_ptr<DbFile> file;
    DBHANDLE handle = NULLHANDLE;
};

// An item of an open note. Its value (type word, then the bytes) lives only
// in the memory object, so a caller that writes into it through OSLockBlock
// changes what the next update stores.
struct Item {
    std::string name;
    std::string key;  // name folded for lookup
    WORD flags = 0;
    DHANDLE valueHandle = NULLHANDLE;
    std::shared_ptr<MemoryObject> value;

    WORD type() const;
    const unsigned char *data() const { return value->bytes.data() + 2; }
    size_t size() const { return value->bytes.size() - 2; }
};
using ItemList = std::list<Item>;
using ItemIt = ItemList::iterator;

// An open note. As an ItemSource it gives formulas its items; the caller
// holds its mutex for as long as it reads them.
struct NoteObject : HandleObject, ItemSource {
    ~NoteObject() override;

    std::mutex mutex;
    std::shared_ptr<DbObject> db;
    DHANDLE handle = NULLHANDLE;
    bool closed = false;

    StoredNote header;       // id 0 until first stored
    bool unidGiven = false;  // a new note whose UNID the caller set
    TIMEDATE accessed{};     // when this copy was opened
    bool isProfile = false;
    std::string profileKey;      // folded profile name
    std::string profileUserKey;  // normalised user name, "" for none

    // Items in order; byName lists each name's items in order, byHandle
    // finds an item by its BLOCKID.
    ItemList items;
    std::unordered_map<std::string, std::vector<ItemIt>> byName;
    std::unordered_map<DHANDLE, ItemIt> byHandle;

    // Appends an item (value bytes without the type word). ERR_MEMORY when no
    // handle is free.
    STATUS Append(const char *name, size_t nameLen, WORD type, WORD flags, const void *bytes,
                  size_t size);
    // The first item of a name (already folded), or items.end().
    ItemIt Find(const std::string &key);
    // Takes an item out and frees its value handle.
    void Remove(ItemIt it);
    // Frees every item value handle.
    void ReleaseItems();

    bool FindItem(const char *name, size_t nameLength, WORD *type, const unsigned char **bytes,
                  size_t *size) const override;
    WORD NoteClass() const override { return header.noteClass; }
    NOTEID NoteId() const override { return header.id; }
};

// The folded form of an item or profile name: its collation key
// (collation.h).
std::string FoldName(const char *name, size_t length);

// The form of a person's or server's name used to compare names: every
// component without its label ("CN=", "OU=", "O=", "C="), folded through
// the collation, so that canonical and abbreviated forms of a name compare
// equal. Components are split at "/" characters, never inside a character
// of several bytes.
std::string NormaliseName(const std::string &name);

// The current moment as a TIMEDATE in GMT (zone bits 0).
TIMEDATE NowTimedate();

// Remembers an open handle of this family so that the end of the runtime
// closes it; Forget when it is closed.
void Remember(HandleKind kind, DHANDLE handle);
void Forget(HandleKind kind, DHANDLE handle);

// Looks up an open note; ERR_INVALID_HANDLE / ERR_WRONG_HANDLE_KIND.
STATUS LookupNote(NOTEHANDLE handle, std::shared_ptr<NoteObject> *out);
STATUS LookupDb(DBHANDLE handle, std::shared_ptr<DbObject> *out);
// A database handle's object, after the fault point of `call` (given the
// database's path when the handle is good): the fault's status when one is
// armed, else LookupDb's.
STATUS DbForCall(const char *call, DBHANDLE handle, std::shared_ptr<DbObject> *out);

// The file of a database by its path as NSFDbOpen takes it, with its
// statuses, for the library's own reads (the directory): no handle, and no
// fault point of NSFDbOpen.
STATUS OpenDbFile(const char *path, std::shared_ptr<DbFile> *out);

// Registers a note object (its db set) and gives it its handle.
STATUS RegisterNote(const std::shared_ptr<NoteObject> &note);
// Takes a registered note out of the registry and frees its items.
STATUS CloseNote(NOTEHANDLE handle);

// Opens a stored note: a registered note object holding its items.
STATUS OpenStoredNote(const std::shared_ptr<DbObject> &db, NOTEID id,
                      std::shared_ptr<NoteObject> *out);

}  // namespace nsf
}  // namespace notes_internal
