// The store of the database family: one SQLite file per database, as a
// small core (files, notes, items, transactions; the schema steps in
// nsf_schema.h) with the indexes kept by indexers over it (nsf_indexers.h).
//
// Tables of the core (schema version kSchemaVersion, nsf_schema.h):
//   dbinfo(key, value)    'build' version, database 'class', 'next_note_id',
//                         and 'changes', the change counter
//   notes(note_id, unid, seq, seq_time, note_class, flags, modified, deleted,
//         changed)        deleted: a deletion stub; changed: the change
//                         number of the note's last save or deletion
//   items(note_id, pos, name, name_key, type, flags, value)
//                         value without the type word; name_key is the
//                         name's collation key (collation.h)
//   indexes(name, built)  the indexes that are whole (their indexer keeps
//                         them on every write since), each with the change
//                         counter at its last full build
//
// The change counter rises by one for every note saved or deleted; each such
// write stamps the note's `changed` with its number. A reader that noted the
// counter when it built something can tell from a higher counter that notes
// changed since, and which (notes_by_change).
//
// Every call of DbFile takes a pooled connection of the file for its length,
// so one DbFile serves many threads. A forked child never uses (nor closes)
// the connections it inherited: it opens its own. Writes are one IMMEDIATE
// transaction each (class Transaction); a failing step rolls the whole
// transaction back. Before every SQLite step the fault point "SQLiteStep"
// (with the database's path) is asked, so a test can fail a write half way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "global.h"
#include "item_source.h"

namespace notes_internal {
namespace nsf {

class Connection;
class DbFile;

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

// One item of a note to store; the pointers stay valid until the save is
// done.
struct SaveItem {
    const std::string *name;
    const std::string *key;  // CollationKey of name
    WORD type;
    WORD flags;
    const unsigned char *value;
    size_t size;
};

struct SaveRequest {
    StoredNote note;         // id 0 for a note not stored yet
    bool unidGiven = false;  // a new note keeps note.unid
    bool seqGiven = false;   // a new note keeps note.seq (1 or more) and note.seqTime
    bool force = false;      // store over a changed note instead of ERR_CONFLICT
    const std::string *profileKey = nullptr;  // a new profile note
    const std::string *profileUserKey = nullptr;
    std::vector<SaveItem> items;
    // Out: the stored header (id, unid, seq, seqTime, modified). In a
    // transaction of many writes it holds once the transaction commits.
    StoredNote result;
};

// A stored note read whole, to be stored again (in another database, or
// over a note): its header, its items in order with their collation keys,
// and for a profile its keys. Fill gives a request whose items point into
// the copy, which must outlive the request.
struct NoteCopy {
    StoredNote header;
    std::vector<std::string> names, keys, values;
    std::vector<WORD> types, flags;
    bool isProfile = false;
    std::string profileKey, profileUserKey;

    void Add(const unsigned char *name, size_t nameLen, WORD type, WORD itemFlags,
             const unsigned char *value, size_t size);
    // The value of the first item of that name is set to a text (an item
    // appended when there is none), its other items of that name removed.
    void SetText(const std::string &name, const std::string &text);
    // request->note is the header, request->items the items; a profile gets
    // its keys. The caller sets what else the store is to do (id, force,
    // unidGiven, seqGiven).
    void Fill(SaveRequest *request) const;
};

// A note as an indexer sees it while it is written: its stored header (the
// note ID it is stored under, the new sequence) and its items in order. It
// is an ItemSource, so a view's indexer can evaluate its formulas on it.
class NoteImage : public ItemSource {
  public:
    NoteImage(const StoredNote &header, const std::vector<SaveItem> &items, bool isNew,
              const std::string *profileKey = nullptr, const std::string *profileUserKey = nullptr)
        : header_(header),
          items_(items),
          isNew_(isNew),
          profileKey_(profileKey),
          profileUserKey_(profileUserKey) {}

    const StoredNote &Header() const { return header_; }
    const std::vector<SaveItem> &Items() const { return items_; }
    // True when this write stored the note for the first time.
    bool IsNew() const { return isNew_; }
    // The keys of a new profile note (NSFProfileOpen), else null.
    const std::string *ProfileKey() const { return profileKey_; }
    const std::string *ProfileUserKey() const { return profileUserKey_; }

    // The first item of that name through the collation.
    bool FindItem(const char *name, size_t nameLength, WORD *type, const unsigned char **bytes,
                  size_t *size) const override;
    WORD NoteClass() const override { return header_.noteClass; }
    NOTEID NoteId() const override { return header_.id; }

  private:
    const StoredNote &header_;
    const std::vector<SaveItem> &items_;
    bool isNew_;
    const std::string *profileKey_;
    const std::string *profileUserKey_;
};

// What an indexer may use of the transaction it runs in: the connection (to
// read and write its own tables, and to read the core's), the number of the
// write in hand, and the stored notes.
class TxnContext {
  public:
    Connection &Sql() const { return *c_; }
    // The change number of the note being saved or deleted; in a rebuild,
    // the counter as the transaction stands.
    int64_t Change() const { return change_; }
    // The change counter as this transaction stands (its own writes in).
    STATUS Counter(int64_t *out);
    // Every stored note whose class has a bit of classMask (deletion stubs
    // left out), in increasing note ID, with its items; the first status
    // that visit returns ends the walk and is returned.
    STATUS ForEachNote(WORD classMask, const std::function<STATUS(const NoteImage &)> &visit);

  protected:
    TxnContext() = default;
    STATUS LoadCounters();

    Connection *c_ = nullptr;
    int64_t change_ = 0;
    bool countersLoaded_ = false;
    bool countersChanged_ = false;
    int64_t changes_ = 0;  // the change counter
    int64_t nextId_ = 0;   // the next note ID
};

// One write transaction over any number of notes: saves and deletions (with
// every indexer run on each in the same transaction) that are stored
// together by Commit or not at all. The destructor rolls back what was not
// committed. The first failing write is kept: every later call, and Commit,
// give its status (and Commit rolls back), so a caller cannot commit half of
// an import by overlooking one failure.
//
//     Transaction txn(file);
//     if (STATUS s = txn.Begin()) return s;
//     for (...) if (STATUS s = txn.SaveNote(&request)) return s;
//     return txn.Commit();
//
// Calls before a successful Begin, or after Commit, give
// ERR_INVALID_HANDLE. While a transaction is open its thread must not write
// through DbFile's own calls: they would wait for this transaction's lock
// (ERR_DB_BUSY after the busy time-out).
class Transaction : public TxnContext {
  public:
    // On a pooled connection of the file.
    explicit Transaction(DbFile &file);
    // On a connection the caller holds and keeps (a new file, an upgrade).
    explicit Transaction(Connection &connection);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    // BEGIN IMMEDIATE, waiting for another writer up to the busy time-out
    // (ERR_DB_BUSY); ERR_DB_IO and the like when no connection opens.
    STATUS Begin();

    // Stores a note as NSFNoteUpdate does: ERR_CONFLICT when the stored note
    // changed since request->note was read and force is not set,
    // ERR_INVALID_NOTE / ERR_NOTE_DELETED when it is gone.
    STATUS SaveNote(SaveRequest *request);
    // Leaves a deletion stub: the note keeps its ID, UNID and class, is
    // marked deleted with a raised sequence, and loses its items.
    // ERR_INVALID_NOTE when there is no such note, ERR_NOTE_DELETED when it
    // is a stub already. *result (may be null) gets the stub's header.
    STATUS DeleteNote(NOTEID id, StoredNote *result = nullptr);
    // Reads a note as this transaction sees it (its own writes in), as
    // DbFile::ReadNote does.
    STATUS ReadNote(NOTEID id, StoredNote *note, const ItemSink &sink);
    // The design lookup of DbFile::FindDesign, as this transaction sees it.
    STATUS FindDesign(WORD noteClass, const char *name, size_t length, NOTEID *out);

    // Builds an indexer's whole index anew (nsf_indexers.h) and records it
    // whole at the counter as it stands. ERR_BAD_PARAM for an unknown name.
    STATUS RebuildIndex(const char *indexer);
    // Rebuilds every index that is not recorded whole (after an upgrade made
    // its tables, or when a reader found it stale and dropped its record).
    STATUS RebuildStaleIndexes();

    STATUS Commit();

  private:
    STATUS Usable() const;
    STATUS Failed(STATUS status);
    STATUS NextChange(int64_t *out);
    STATUS NewNoteId(NOTEID *out);
    STATUS SaveOne(SaveRequest *request);
    STATUS DeleteOne(NOTEID id, StoredNote *result);

    DbFile *file_ = nullptr;
    std::unique_ptr<Connection> owned_;  // a pooled connection, given back at the end
    bool open_ = false;
    STATUS failed_ = NOERROR;
};

// Sets a text item of the database's icon note in the transaction, the
// save forced (the icon note is the database's, whoever holds a copy); a
// database without an icon note gets one.
STATUS SetIconText(Transaction &txn, const std::string &item, const std::string &text);

class DbFile {
  public:
    ~DbFile();
    DbFile(const DbFile &) = delete;
    DbFile &operator=(const DbFile &) = delete;

    // Opens an existing database: ERR_NOEXIST, ERR_NOT_NSF, ERR_DB_DAMAGED,
    // ERR_DB_NEWER_SCHEMA, ERR_DB_IO, ERR_ACCESS_DENIED (an older schema in
    // a file that cannot be written). Opens of one file in this process
    // share one DbFile. Only the header and the schema are checked (see
    // nsf_schema.h), so that an open costs the same for any size of file; a
    // file of an older schema is upgraded here, in one transaction.
    static STATUS Open(const std::string &absPath, const std::string &relPath,
                       std::shared_ptr<DbFile> *out);
    // Creates a database with its icon note; ERR_DB_EXISTS, and ERR_DB_BUSY
    // when force is set while the file is open in this process. fill, when
    // given, stores notes in the transaction that makes the file, before
    // the icon note: when it stores an icon note of its own, the database
    // gets no other. Its failure is Create's, and no file is left.
    static STATUS Create(const std::string &absPath, const std::string &relPath, WORD dbClass,
                         WORD buildVersion, const std::string &title, bool force,
                         const std::function<STATUS(Transaction &)> &fill = nullptr);
    // Reads the whole file: SQLite's integrity check, then the store's own
    // rules (items, index rows and counters that fit the notes, keys that
    // fit their names). ERR_DB_DAMAGED with *problem telling the first thing
    // found; the statuses of Open for files that are no databases. Never
    // changes the file (an older schema is checked as it is).
    static STATUS Check(const std::string &absPath, const std::string &relPath,
                        std::string *problem);
    // Drops the table of open files (the runtime ends).
    static void ForgetAll();

    const std::string &relPath() const { return relPath_; }
    const std::string &absPath() const { return absPath_; }

    STATUS BuildVersion(WORD *out);
    STATUS SetBuildVersion(WORD version);
    // ERR_SPECIAL_ID when the database has no special note of that class.
    STATUS SpecialNote(WORD noteClass, NOTEID *out);
    // ERR_INVALID_NOTE when there is no such note, ERR_NOTE_DELETED for a
    // stub (*note holds its header).
    STATUS ReadNote(NOTEID id, StoredNote *note, const ItemSink &sink);
    // Transaction::SaveNote and DeleteNote of one note.
    STATUS SaveNote(SaveRequest *request);
    STATUS DeleteNote(NOTEID id, StoredNote *result = nullptr);
    // The note ID of a profile, 0 when there is none.
    STATUS FindProfile(const std::string &key, const std::string &userKey, NOTEID *out);
    // The first item of that name of a stored profile; ERR_ITEM_NOT_FOUND.
    STATUS ReadProfileItem(const std::string &key, const std::string &userKey,
                           const std::string &itemKey, WORD *type,
                           std::vector<unsigned char> *value);
    // The design note of a class with that title or alias (nsf_indexers.h):
    // the lowest note ID when several have it; ERR_DESIGN_NOT_FOUND.
    STATUS FindDesign(WORD noteClass, const char *name, size_t length, NOTEID *out);
    // Every design note of a class with that title or alias, in increasing
    // note ID, each with its "$Flags" text ("" when it has none).
    struct DesignMatch {
        NOTEID id;
        std::string flags;
    };
    STATUS FindDesigns(WORD noteClass, const char *name, size_t length,
                       std::vector<DesignMatch> *out);
    // The "$Flags" text of a note ("" when it has none, or no such note).
    STATUS DesignFlags(NOTEID id, std::string *flags);
    // The database's class (DBCLASS_NOTEFILE or DBCLASS_TEMPLATEFILE).
    STATUS DbClass(WORD *out);
    // A note's row: ERR_INVALID_NOTE when there is none; a deletion stub
    // comes with deleted set.
    STATUS ReadHeader(NOTEID id, StoredNote *out);
    // The note of a UNID: ERR_INVALID_NOTE when there is none; *deleted
    // tells a stub.
    STATUS FindUnid(const UNID &unid, NOTEID *id, bool *deleted);
    // The rows of every live note whose class has a bit of classMask, in
    // increasing note ID.
    STATUS LiveNotes(WORD classMask, std::vector<StoredNote> *out);
    // Every live note whose class has a bit of classMask, read whole on one
    // snapshot, in increasing note ID.
    STATUS ReadNotes(WORD classMask, std::vector<NoteCopy> *out);
    // The change counter (see above).
    STATUS ChangeCounter(int64_t *out);
    // Whether an index is recorded whole, and at which change counter.
    STATUS IndexBuiltAt(const std::string &name, bool *whole, int64_t *builtAt);
    // Every note ID in increasing order (deletion stubs too).
    STATUS NoteIds(std::vector<NOTEID> *out);
    // Runs body on a pooled connection inside one read transaction: one
    // snapshot of the file for the body's length, for readers of several
    // tables that must agree (a view's entries and their notes). body must
    // not write.
    STATUS Read(const std::function<STATUS(Connection &)> &body);

  private:
    friend class Transaction;
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

// The file's first 100 bytes, SQLite's header: ERR_NOT_NSF for a file that
// is no SQLite file (or empty, or a folder); ERR_DB_DAMAGED for one cut
// inside its header, with an impossible page size, or shorter than the
// pages its header counts (unless a log beside it holds the rest).
STATUS CheckFileHeader(const std::string &path);

// Reads a note's row and items on a connection that is in a transaction
// already (DbFile::ReadNote wraps it in a read transaction of its own).
STATUS ReadNoteRows(Connection &c, NOTEID id, StoredNote *note, const ItemSink &sink);
// A note's row alone, on a connection: ERR_INVALID_NOTE when there is none
// (a stub comes with deleted set).
STATUS ReadNoteHeader(Connection &c, NOTEID id, StoredNote *note);

}  // namespace nsf
}  // namespace notes_internal
