// The SQLite layer of the database family: one SQLite file per database.
//
// Schema (user_version 1, application_id kApplicationId):
//   dbinfo(key, value)           build version, database class, note ID counter
//   notes(note_id, unid, seq, seq_time, note_class, flags, modified, deleted)
//   items(note_id, pos, name, name_key, type, flags, value)
//                                value without the type word; name_key is the
//                                folded name, indexed for lookups by name
//   profiles(name_key, user_key, note_id)  one row per profile note
//   special(note_class, note_id)           the special notes (icon, ...)
// Later tables (views, ACL entries) come with a higher user_version.
//
// Every call takes a pooled connection of the file for its length, so one
// DbFile serves many threads. A forked child never uses (nor closes) the
// connections it inherited: it opens its own. Writes are one IMMEDIATE transaction each; a
// failing step rolls the whole transaction back. Before every SQLite step
// the fault point "SQLiteStep" (with the database's path) is asked, so a
// test can fail a write half way.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "global.h"

struct sqlite3;

namespace notes_internal {
namespace nsf {

constexpr int kApplicationId = 0x4E534631;  // "NSF1"
constexpr int kSchemaVersion = 1;

struct StoredNote {
    NOTEID id = 0;
    UNID unid{};
    DWORD seq = 0;
    TIMEDATE seqTime{};
    WORD noteClass = 0x0001;
    WORD flags = 0;
    TIMEDATE modified{};
    bool deleted = false;
};

// One item as ReadNote hands it out: name, type, flags and the value bytes
// (without the type word).
using ItemSink = std::function<STATUS(const unsigned char *name, size_t nameLen, WORD type,
                                      WORD flags, const unsigned char *value, size_t size)>;

struct SaveItem {
    const std::string *name;
    const std::string *key;
    WORD type;
    WORD flags;
    const unsigned char *value;
    size_t size;
};

struct SaveRequest {
    StoredNote note;         // id 0 for a note not stored yet
    bool unidGiven = false;  // a new note keeps note.unid
    bool force = false;
    const std::string *profileKey = nullptr;  // a new profile note
    const std::string *profileUserKey = nullptr;
    std::vector<SaveItem> items;
    // Out: the stored header (id, unid, seq, seqTime, modified).
    StoredNote result;
};

class Connection;

class DbFile {
  public:
    ~DbFile();
    DbFile(const DbFile &) = delete;
    DbFile &operator=(const DbFile &) = delete;

    // Opens an existing database: ERR_NOEXIST, ERR_NOT_NSF, ERR_DB_DAMAGED,
    // ERR_DB_IO. Opens of one file in this process share one DbFile.
    static STATUS Open(const std::string &absPath, const std::string &relPath,
                       std::shared_ptr<DbFile> *out);
    // Creates a database with its icon note; ERR_DB_EXISTS, and ERR_DB_BUSY
    // when force is set while the file is open in this process.
    static STATUS Create(const std::string &absPath, const std::string &relPath, WORD dbClass,
                         WORD buildVersion, const std::string &title, bool force);
    // Drops the table of open files (the runtime ends).
    static void ForgetAll();

    const std::string &relPath() const { return relPath_; }
    const std::string &absPath() const { return absPath_; }

    STATUS BuildVersion(WORD *out);
    STATUS SetBuildVersion(WORD version);
    // ERR_SPECIAL_ID when the database has no special note of that class.
    STATUS SpecialNote(WORD noteClass, NOTEID *out);
    // ERR_INVALID_NOTE when there is no such note.
    STATUS ReadNote(NOTEID id, StoredNote *note, const ItemSink &sink);
    // ERR_CONFLICT when the stored note changed and force is not set,
    // ERR_INVALID_NOTE / ERR_NOTE_DELETED when it is gone.
    STATUS SaveNote(SaveRequest *request);
    // The note ID of a profile, 0 when there is none.
    STATUS FindProfile(const std::string &key, const std::string &userKey, NOTEID *out);
    // The first item of that name of a stored profile; ERR_ITEM_NOT_FOUND.
    STATUS ReadProfileItem(const std::string &key, const std::string &userKey,
                           const std::string &itemKey, WORD *type,
                           std::vector<unsigned char> *value);
    // Every note ID in increasing order.
    STATUS NoteIds(std::vector<NOTEID> *out);

  private:
    DbFile(std::string absPath, std::string relPath);

    // A connection for the length of one call.
    STATUS Acquire(std::unique_ptr<Connection> *out);
    void Release(std::unique_ptr<Connection> connection);
    template <class F>
    STATUS WithConnection(F &&body);

    std::string absPath_;
    std::string relPath_;
    std::mutex mutex_;
    int pid_;  // the process whose connections idle_ holds
    std::vector<std::unique_ptr<Connection>> idle_;
};

// The SQLite result code as a status.
STATUS StatusOfSqlite(int code);

// The busy time-out of new connections in milliseconds (notes.ini
// "StandinDbBusyTimeout", default 60000).
int BusyTimeoutMs();

}  // namespace nsf
}  // namespace notes_internal
