#include "nsf_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <random>

#include "collation.h"
#include "nsf_indexers.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "nsf_schema.h"
#include "nsf_sql.h"
#include "os_error.h"

namespace notes_internal {
namespace nsf {

namespace {

int64_t PackTime(const TIMEDATE &t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.Innards[1]) << 32) | t.Innards[0]);
}

TIMEDATE UnpackTime(int64_t v) {
    uint64_t u = static_cast<uint64_t>(v);
    TIMEDATE t;
    t.Innards[0] = static_cast<DWORD>(u & 0xFFFFFFFFu);
    t.Innards[1] = static_cast<DWORD>(u >> 32);
    return t;
}

UNID RandomUnid() {
    // Reseeded in a forked child, so that two processes never share a stream.
    thread_local std::mt19937_64 generator;
    thread_local pid_t seededFor = 0;
    if (seededFor != getpid()) {
        std::random_device device;
        std::seed_seq seed{
            device(), device(), static_cast<unsigned>(getpid()),
            static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
        generator.seed(seed);
        seededFor = getpid();
    }
    uint64_t file = generator();
    UNID unid;
    unid.File.Innards[0] = static_cast<DWORD>(file);
    unid.File.Innards[1] = static_cast<DWORD>(file >> 32);
    unid.Note = NowTimedate();
    return unid;
}

// Statements, kept prepared per connection (keyed by their address).
const char kSelBuild[] = "SELECT value FROM dbinfo WHERE key='build'";
const char kSetBuild[] = "UPDATE dbinfo SET value=?1 WHERE key='build'";
const char kSelNextId[] = "SELECT value FROM dbinfo WHERE key='next_note_id'";
const char kSetNextId[] = "UPDATE dbinfo SET value=?1 WHERE key='next_note_id'";
const char kSelChanges[] = "SELECT value FROM dbinfo WHERE key='changes'";
const char kSetChanges[] = "UPDATE dbinfo SET value=?1 WHERE key='changes'";
const char kInsDbinfo[] =
    "INSERT INTO dbinfo(key, value) VALUES('build', ?1), ('class', ?2), ('next_note_id', 4)";
const char kSelNote[] =
    "SELECT unid, seq, seq_time, note_class, flags, modified, deleted FROM notes"
    " WHERE note_id=?1";
const char kSelItems[] = "SELECT name, type, flags, value FROM items WHERE note_id=?1 ORDER BY pos";
const char kSelSeq[] = "SELECT seq, deleted, unid FROM notes WHERE note_id=?1";
const char kUpdNote[] =
    "UPDATE notes SET seq=?2, seq_time=?3, note_class=?4, flags=?5, modified=?3, changed=?6"
    " WHERE note_id=?1";
const char kInsNote[] =
    "INSERT INTO notes(note_id, unid, seq, seq_time, note_class, flags, modified, changed)"
    " VALUES(?1, ?2, ?7, ?8, ?4, ?5, ?3, ?6)";
const char kStubNote[] =
    "UPDATE notes SET deleted=1, seq=?2, seq_time=?3, modified=?3, changed=?4 WHERE note_id=?1";
const char kSelUnid[] = "SELECT 1 FROM notes WHERE unid=?1";
const char kDelItems[] = "DELETE FROM items WHERE note_id=?1";
const char kInsItem[] =
    "INSERT INTO items(note_id, pos, name, name_key, type, flags, value)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)";
const char kSelIds[] = "SELECT note_id FROM notes ORDER BY note_id";
const char kSelClass[] = "SELECT value FROM dbinfo WHERE key='class'";
const char kSelByUnid[] = "SELECT note_id, deleted FROM notes WHERE unid=?1";
const char kSelProfileOf[] = "SELECT name_key, user_key FROM profiles WHERE note_id=?1";
const char kSelLiveIds[] =
    "SELECT note_id FROM notes WHERE deleted=0 AND (note_class & ?1)<>0 ORDER BY note_id";

// A stored note read whole, with items that its SaveItems point into.
struct LoadedNote {
    StoredNote header;
    std::vector<std::string> names, keys, values;
    std::vector<WORD> types, flags;
    std::vector<SaveItem> items;

    void Link() {
        items.clear();
        for (size_t i = 0; i < names.size(); i++)
            items.push_back({&names[i], &keys[i], types[i], flags[i],
                             reinterpret_cast<const unsigned char *>(values[i].data()),
                             values[i].size()});
    }
};

std::mutex &FilesMutex() {
    static std::mutex *mutex = new std::mutex;
    return *mutex;
}
std::map<std::string, std::weak_ptr<DbFile>> &Files() {
    static auto *files = new std::map<std::string, std::weak_ptr<DbFile>>;
    return *files;
}

}  // namespace

// Note images

bool NoteImage::FindItem(const char *name, size_t nameLength, WORD *type,
                         const unsigned char **bytes, size_t *size) const {
    for (const SaveItem &item : items_) {
        if (CollationEqual(name, nameLength, item.name->data(), item.name->size())) {
            *type = item.type;
            *bytes = item.value;
            *size = item.size;
            return true;
        }
    }
    return false;
}

// Copies of notes

void NoteCopy::Add(const unsigned char *name, size_t nameLen, WORD type, WORD itemFlags,
                   const unsigned char *value, size_t size) {
    const char *text = reinterpret_cast<const char *>(name);
    names.emplace_back(text, nameLen);
    keys.push_back(CollationKey(text, nameLen));
    types.push_back(type);
    flags.push_back(itemFlags);
    values.emplace_back(reinterpret_cast<const char *>(value), size);
}

void NoteCopy::SetText(const std::string &name, const std::string &text) {
    const std::string key = CollationKey(name);
    bool set = false;
    for (size_t i = 0; i < keys.size();) {
        if (keys[i] != key) {
            i++;
            continue;
        }
        if (!set) {
            types[i] = TYPE_TEXT;
            values[i] = text;
            set = true;
            i++;
            continue;
        }
        names.erase(names.begin() + i);
        keys.erase(keys.begin() + i);
        types.erase(types.begin() + i);
        flags.erase(flags.begin() + i);
        values.erase(values.begin() + i);
    }
    if (!set)
        Add(reinterpret_cast<const unsigned char *>(name.data()), name.size(), TYPE_TEXT,
            ITEM_SUMMARY, reinterpret_cast<const unsigned char *>(text.data()), text.size());
}

void NoteCopy::Fill(SaveRequest *request) const {
    request->note = header;
    request->items.clear();
    for (size_t i = 0; i < names.size(); i++)
        request->items.push_back({&names[i], &keys[i], types[i], flags[i],
                                  reinterpret_cast<const unsigned char *>(values[i].data()),
                                  values[i].size()});
    request->profileKey = isProfile ? &profileKey : nullptr;
    request->profileUserKey = isProfile ? &profileUserKey : nullptr;
}

// Reading notes

namespace {}  // namespace

STATUS ReadNoteHeader(Connection &c, NOTEID id, StoredNote *note) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelNote, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int64(stmt, 1, id);
    bool row = false;
    if (STATUS status = c.Step(stmt, &row))
        return status;
    if (!row)
        return ERR_INVALID_NOTE;
    note->id = id;
    if (sqlite3_column_bytes(stmt, 0) != sizeof(UNID))
        return ERR_DB_DAMAGED;
    std::memcpy(&note->unid, sqlite3_column_blob(stmt, 0), sizeof(UNID));
    note->seq = static_cast<DWORD>(sqlite3_column_int64(stmt, 1));
    note->seqTime = UnpackTime(sqlite3_column_int64(stmt, 2));
    note->noteClass = static_cast<WORD>(sqlite3_column_int(stmt, 3));
    note->flags = static_cast<WORD>(sqlite3_column_int(stmt, 4));
    note->modified = UnpackTime(sqlite3_column_int64(stmt, 5));
    note->deleted = sqlite3_column_int(stmt, 6) != 0;
    return NOERROR;
}

STATUS ReadNoteRows(Connection &c, NOTEID id, StoredNote *note, const ItemSink &sink) {
    if (STATUS status = ReadNoteHeader(c, id, note))
        return status;
    if (note->deleted)
        return ERR_NOTE_DELETED;
    return ForEachRow(
        c, kSelItems, [&](sqlite3_stmt *stmt) { sqlite3_bind_int64(stmt, 1, id); },
        [&](sqlite3_stmt *stmt) -> STATUS {
            const void *name = sqlite3_column_blob(stmt, 0);
            size_t nameLen = static_cast<size_t>(sqlite3_column_bytes(stmt, 0));
            const void *value = sqlite3_column_blob(stmt, 3);
            size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, 3));
            return sink(static_cast<const unsigned char *>(name), nameLen,
                        static_cast<WORD>(sqlite3_column_int(stmt, 1)),
                        static_cast<WORD>(sqlite3_column_int(stmt, 2)),
                        static_cast<const unsigned char *>(value), size);
        });
}

// Transactions

STATUS TxnContext::LoadCounters() {
    if (countersLoaded_)
        return NOERROR;
    if (STATUS status = QueryInt(*c_, kSelNextId, &nextId_))
        return status;
    if (STATUS status = QueryInt(*c_, kSelChanges, &changes_))
        return status;
    countersLoaded_ = true;
    return NOERROR;
}

STATUS TxnContext::Counter(int64_t *out) {
    if (STATUS status = LoadCounters())
        return status;
    *out = changes_;
    return NOERROR;
}

STATUS TxnContext::ForEachNote(WORD classMask,
                               const std::function<STATUS(const NoteImage &)> &visit) {
    // The IDs first: the visit may write while no statement reads notes.
    std::vector<NOTEID> ids;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c_->Prepare(kSelLiveIds, &stmt))
        return status;
    {
        StmtScope scope{stmt};
        sqlite3_bind_int(stmt, 1, classMask);
        for (;;) {
            bool row = false;
            if (STATUS status = c_->Step(stmt, &row))
                return status;
            if (!row)
                break;
            ids.push_back(static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)));
        }
    }
    for (NOTEID id : ids) {
        LoadedNote note;
        STATUS status =
            ReadNoteRows(*c_, id, &note.header,
                         [&](const unsigned char *name, size_t nameLen, WORD type, WORD flags,
                             const unsigned char *value, size_t size) {
                             const char *text = reinterpret_cast<const char *>(name);
                             note.names.emplace_back(text, nameLen);
                             note.keys.push_back(CollationKey(text, nameLen));
                             note.types.push_back(type);
                             note.flags.push_back(flags);
                             note.values.emplace_back(reinterpret_cast<const char *>(value), size);
                             return static_cast<STATUS>(NOERROR);
                         });
        if (status != NOERROR)
            return status;
        note.Link();
        if (STATUS visited = visit(NoteImage(note.header, note.items, false)))
            return visited;
    }
    return NOERROR;
}

Transaction::Transaction(DbFile &file) : file_(&file) {}

Transaction::Transaction(Connection &connection) {
    c_ = &connection;
}

Transaction::~Transaction() {
    if (open_)
        c_->Rollback();
    if (owned_)
        file_->Release(std::move(owned_));
}

STATUS Transaction::Begin() {
    if (open_ || failed_ != NOERROR || (file_ != nullptr && owned_))
        return ERR_INVALID_HANDLE;  // one transaction per object
    if (file_ != nullptr) {
        if (STATUS status = file_->Acquire(&owned_))
            return failed_ = status;
        c_ = owned_.get();
    }
    if (STATUS status = c_->Begin(true))
        return failed_ = status;
    open_ = true;
    return NOERROR;
}

STATUS Transaction::Usable() const {
    if (!open_)
        return ERR_INVALID_HANDLE;
    return failed_;
}

STATUS Transaction::Failed(STATUS status) {
    if (status != NOERROR && failed_ == NOERROR)
        failed_ = status;
    return status;
}

STATUS Transaction::NextChange(int64_t *out) {
    if (STATUS status = LoadCounters())
        return status;
    *out = ++changes_;
    countersChanged_ = true;
    return NOERROR;
}

STATUS Transaction::NewNoteId(NOTEID *out) {
    if (STATUS status = LoadCounters())
        return status;
    if (nextId_ <= 0 || nextId_ >= 0x7FFFFFF0)
        return ERR_DB_DAMAGED;
    *out = static_cast<NOTEID>(nextId_);
    nextId_ += 4;
    countersChanged_ = true;
    return NOERROR;
}

STATUS Transaction::SaveNote(SaveRequest *request) {
    if (STATUS status = Usable())
        return status;
    return Failed(SaveOne(request));
}

STATUS Transaction::DeleteNote(NOTEID id, StoredNote *result) {
    if (STATUS status = Usable())
        return status;
    return Failed(DeleteOne(id, result));
}

STATUS Transaction::ReadNote(NOTEID id, StoredNote *note, const ItemSink &sink) {
    if (STATUS status = Usable())
        return status;
    return ReadNoteRows(*c_, id, note, sink);
}

STATUS Transaction::FindDesign(WORD noteClass, const char *name, size_t length, NOTEID *out) {
    if (STATUS status = Usable())
        return status;
    std::vector<DbFile::DesignMatch> matches;
    if (STATUS status = LookupDesign(*c_, noteClass, name, length, false, &matches))
        return status;
    *out = matches.front().id;
    return NOERROR;
}

STATUS Transaction::RebuildIndex(const char *name) {
    if (STATUS status = Usable())
        return status;
    Indexer *indexer = FindIndexer(name);
    if (indexer == nullptr)
        return ERR_BAD_PARAM;
    if (STATUS status = Failed(Counter(&change_)))
        return status;
    if (STATUS status = Failed(indexer->Rebuild(*this)))
        return status;
    return Failed(SetIndexBuilt(*this, name));
}

STATUS Transaction::RebuildStaleIndexes() {
    if (STATUS status = Usable())
        return status;
    for (Indexer *indexer : Indexers()) {
        bool whole = false;
        int64_t builtAt = 0;
        if (STATUS status = Failed(IndexBuiltAt(*c_, indexer->Name(), &whole, &builtAt)))
            return status;
        if (whole)
            continue;
        if (STATUS status = RebuildIndex(indexer->Name()))
            return status;
    }
    return NOERROR;
}

STATUS Transaction::Commit() {
    if (STATUS status = Usable())
        return status;
    if (countersChanged_) {
        const std::pair<const char *, int64_t> writes[] = {{kSetNextId, nextId_},
                                                           {kSetChanges, changes_}};
        for (const auto &write : writes) {
            sqlite3_stmt *stmt = nullptr;
            if (STATUS status = Failed(c_->Prepare(write.first, &stmt)))
                return status;
            StmtScope scope{stmt};
            sqlite3_bind_int64(stmt, 1, write.second);
            if (STATUS status = Failed(c_->Step(stmt)))
                return status;
        }
    }
    if (STATUS status = Failed(c_->Commit()))
        return status;
    open_ = false;
    return NOERROR;
}

STATUS Transaction::SaveOne(SaveRequest *request) {
    StoredNote note = request->note;
    for (Indexer *indexer : Indexers()) {
        NOTEID claim = 0;
        if (STATUS status = indexer->BeforeSave(*this, *request, &claim))
            return status;
        if (claim != 0 && note.id == 0)
            note.id = claim;
    }
    const bool isNew = note.id == 0;
    const TIMEDATE now = NowTimedate();
    int64_t change = 0;
    if (STATUS status = NextChange(&change))
        return status;
    sqlite3_stmt *stmt = nullptr;

    if (!isNew) {
        if (STATUS status = c_->Prepare(kSelSeq, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, note.id);
        bool row = false;
        if (STATUS status = c_->Step(stmt, &row))
            return status;
        if (!row)
            return ERR_INVALID_NOTE;
        if (sqlite3_column_int(stmt, 1) != 0)
            return ERR_NOTE_DELETED;
        DWORD stored = static_cast<DWORD>(sqlite3_column_int64(stmt, 0));
        if (stored != request->note.seq && !request->force)
            return ERR_CONFLICT;
        if (sqlite3_column_bytes(stmt, 2) != sizeof(UNID))
            return ERR_DB_DAMAGED;
        std::memcpy(&note.unid, sqlite3_column_blob(stmt, 2), sizeof(UNID));
        note.seq = (stored > request->note.seq ? stored : request->note.seq) + 1;
        note.seqTime = now;
        note.modified = now;
        sqlite3_stmt *upd = nullptr;
        if (STATUS status = c_->Prepare(kUpdNote, &upd))
            return status;
        StmtScope updScope{upd};
        sqlite3_bind_int64(upd, 1, note.id);
        sqlite3_bind_int64(upd, 2, note.seq);
        sqlite3_bind_int64(upd, 3, PackTime(now));
        sqlite3_bind_int(upd, 4, note.noteClass);
        sqlite3_bind_int(upd, 5, note.flags);
        sqlite3_bind_int64(upd, 6, change);
        if (STATUS status = c_->Step(upd))
            return status;
        sqlite3_stmt *del = nullptr;
        if (STATUS status = c_->Prepare(kDelItems, &del))
            return status;
        StmtScope delScope{del};
        sqlite3_bind_int64(del, 1, note.id);
        if (STATUS status = c_->Step(del))
            return status;
    } else {
        if (STATUS status = NewNoteId(&note.id))
            return status;
        // A fresh UNID is random; one the caller gave must be unused.
        for (int attempt = 0;; attempt++) {
            if (!request->unidGiven)
                note.unid = RandomUnid();
            if (STATUS status = c_->Prepare(kSelUnid, &stmt))
                return status;
            StmtScope scope{stmt};
            BindBlob(stmt, 1, &note.unid, sizeof(UNID));
            bool row = false;
            if (STATUS status = c_->Step(stmt, &row))
                return status;
            if (!row)
                break;
            if (request->unidGiven || attempt > 8)
                return ERR_CONFLICT;
        }
        // An imported note keeps its sequence, so that an export of it tells
        // the same as the file it came from.
        const bool keepSeq = request->seqGiven && request->note.seq != 0;
        note.seq = keepSeq ? request->note.seq : 1;
        note.seqTime = keepSeq ? request->note.seqTime : now;
        note.modified = now;
        if (STATUS status = c_->Prepare(kInsNote, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, note.id);
        BindBlob(stmt, 2, &note.unid, sizeof(UNID));
        sqlite3_bind_int64(stmt, 3, PackTime(now));
        sqlite3_bind_int(stmt, 4, note.noteClass);
        sqlite3_bind_int(stmt, 5, note.flags);
        sqlite3_bind_int64(stmt, 6, change);
        sqlite3_bind_int64(stmt, 7, note.seq);
        sqlite3_bind_int64(stmt, 8, PackTime(note.seqTime));
        if (STATUS status = c_->Step(stmt))
            return status;
    }
    note.deleted = false;

    if (STATUS status = c_->Prepare(kInsItem, &stmt))
        return status;
    {
        StmtScope scope{stmt};
        int pos = 0;
        for (const SaveItem &item : request->items) {
            sqlite3_reset(stmt);
            sqlite3_bind_int64(stmt, 1, note.id);
            sqlite3_bind_int(stmt, 2, pos++);
            BindString(stmt, 3, *item.name);
            BindString(stmt, 4, *item.key);
            sqlite3_bind_int(stmt, 5, item.type);
            sqlite3_bind_int(stmt, 6, item.flags);
            BindBlob(stmt, 7, item.value, item.size);
            if (STATUS status = c_->Step(stmt))
                return status;
        }
    }

    change_ = change;
    NoteImage image(note, request->items, isNew, isNew ? request->profileKey : nullptr,
                    isNew ? request->profileUserKey : nullptr);
    for (Indexer *indexer : Indexers()) {
        if (STATUS status = indexer->OnSave(*this, image))
            return status;
    }
    request->result = note;
    return NOERROR;
}

STATUS Transaction::DeleteOne(NOTEID id, StoredNote *result) {
    StoredNote note;
    if (STATUS status = ReadNoteHeader(*c_, id, &note))
        return status;
    if (note.deleted)
        return ERR_NOTE_DELETED;
    int64_t change = 0;
    if (STATUS status = NextChange(&change))
        return status;
    const TIMEDATE now = NowTimedate();
    StoredNote stub = note;
    stub.deleted = true;
    stub.seq = note.seq + 1;
    stub.seqTime = now;
    stub.modified = now;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c_->Prepare(kStubNote, &stmt))
        return status;
    {
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, id);
        sqlite3_bind_int64(stmt, 2, stub.seq);
        sqlite3_bind_int64(stmt, 3, PackTime(now));
        sqlite3_bind_int64(stmt, 4, change);
        if (STATUS status = c_->Step(stmt))
            return status;
    }
    if (STATUS status = c_->Prepare(kDelItems, &stmt))
        return status;
    {
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, id);
        if (STATUS status = c_->Step(stmt))
            return status;
    }
    change_ = change;
    for (Indexer *indexer : Indexers()) {
        if (STATUS status = indexer->OnDelete(*this, note))
            return status;
    }
    if (result)
        *result = stub;
    return NOERROR;
}

// Files

namespace {

// The first bytes of every SQLite file.
const char kMagic[] = "SQLite format 3";  // and a NUL: 16 bytes

uint32_t BigEndian32(const unsigned char *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Whether a log or journal beside the file may hold pages that the file
// itself does not have yet.
bool HasLogBeside(const std::string &path) {
    struct stat st {};
    if (stat((path + "-wal").c_str(), &st) == 0 && st.st_size > 0)
        return true;
    return stat((path + "-journal").c_str(), &st) == 0;
}

}  // namespace

STATUS CheckFileHeader(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return errno == EACCES ? ERR_ACCESS_DENIED : ERR_NOEXIST;
    if (!S_ISREG(st.st_mode))
        return ERR_NOT_NSF;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES ? ERR_ACCESS_DENIED : ERR_DB_IO;
    unsigned char header[100] = {};
    ssize_t got = ::read(fd, header, sizeof header);
    ::close(fd);
    if (got < 0)
        return ERR_DB_IO;
    if (got == 0)
        return ERR_NOT_NSF;
    size_t magic =
        static_cast<size_t>(got) < sizeof kMagic ? static_cast<size_t>(got) : sizeof kMagic;
    if (std::memcmp(header, kMagic, magic) != 0)
        return ERR_NOT_NSF;
    if (static_cast<size_t>(got) < sizeof header)
        return ERR_DB_DAMAGED;
    uint32_t pageSize = (uint32_t{header[16]} << 8) | header[17];
    if (pageSize == 1)
        pageSize = 65536;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)
        return ERR_DB_DAMAGED;
    // The page count is valid when the version it was written for is the
    // file's change counter.
    uint32_t pages = BigEndian32(header + 28);
    bool countValid = pages > 0 && BigEndian32(header + 24) == BigEndian32(header + 92);
    if (countValid && static_cast<uint64_t>(st.st_size) < uint64_t{pages} * pageSize &&
        !HasLogBeside(path))
        return ERR_DB_DAMAGED;
    return NOERROR;
}

namespace {

void RemoveSideFiles(const std::string &path) {
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
    unlink((path + "-journal").c_str());
}

STATUS MakeFolders(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return NOERROR;
    std::string folder = path.substr(0, slash);
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? NOERROR : ERR_BAD_PATH;
    if (STATUS status = MakeFolders(folder))
        return status;
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
        return errno == EACCES ? ERR_ACCESS_DENIED : ERR_DB_IO;
    return NOERROR;
}

STATUS BuildNewFile(const std::string &tmp, const std::string &relPath, WORD dbClass,
                    WORD buildVersion, const std::string &title,
                    const std::function<STATUS(Transaction &)> &fill) {
    std::unique_ptr<Connection> c;
    if (STATUS status = Connection::Open(
            tmp, relPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXCLUSIVE, &c))
        return status;
    if (STATUS status = c->ExecOnce("PRAGMA application_id=" + std::to_string(kApplicationId)))
        return status;
    if (STATUS status = c->Exec("PRAGMA journal_mode=WAL"))
        return status;
    Transaction txn(*c);
    if (STATUS status = txn.Begin())
        return status;
    if (STATUS status = CreateSchema(txn))
        return status;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c->Prepare(kInsDbinfo, &stmt))
        return status;
    {
        StmtScope scope{stmt};
        sqlite3_bind_int(stmt, 1, buildVersion);
        sqlite3_bind_int(stmt, 2, dbClass);
        if (STATUS status = c->Step(stmt))
            return status;
    }
    if (STATUS status = txn.RebuildStaleIndexes())
        return status;
    if (fill) {
        if (STATUS status = fill(txn))
            return status;
        NOTEID icon = 0;
        STATUS status = LookupSpecial(*c, NOTE_CLASS_ICON, &icon);
        if (status == NOERROR)
            return txn.Commit();
        if (status != ERR_SPECIAL_ID)
            return status;
    }

    static const std::string name = "$TITLE";
    static const std::string key = CollationKey(name);
    SaveRequest icon;
    icon.note.noteClass = NOTE_CLASS_ICON;
    icon.items.push_back({&name, &key, TYPE_TEXT, ITEM_SUMMARY,
                          reinterpret_cast<const unsigned char *>(title.data()), title.size()});
    if (STATUS status = txn.SaveNote(&icon))
        return status;
    return txn.Commit();
}

}  // namespace

DbFile::DbFile(std::string absPath, std::string relPath)
    : absPath_(std::move(absPath)), relPath_(std::move(relPath)), pid_(getpid()) {}

DbFile::~DbFile() {
    // Closing a connection of the parent process could fold its log into the
    // file under it: inherited connections are left as they are.
    if (pid_ != getpid()) {
        for (auto &connection : idle_)
            (void)connection.release();
    }
}

STATUS DbFile::Open(const std::string &absPath, const std::string &relPath,
                    std::shared_ptr<DbFile> *out) {
    // The file may have been removed or replaced since it was last opened.
    if (STATUS status = CheckFileHeader(absPath))
        return status;
    {
        std::lock_guard<std::mutex> lock(FilesMutex());
        auto it = Files().find(absPath);
        if (it != Files().end()) {
            if (auto live = it->second.lock()) {
                *out = std::move(live);
                return NOERROR;
            }
        }
    }
    // Checked outside the lock: an upgrade, or a file busy elsewhere, must
    // not hold up the opens of other databases.
    std::unique_ptr<Connection> c;
    if (STATUS status = Connection::Open(absPath, relPath, SQLITE_OPEN_READWRITE, &c))
        return status;
    if (STATUS status = PrepareSchema(*c))
        return status;
    std::shared_ptr<DbFile> file(new DbFile(absPath, relPath));
    file->idle_.push_back(std::move(c));
    std::lock_guard<std::mutex> lock(FilesMutex());
    std::weak_ptr<DbFile> &slot = Files()[absPath];
    if (auto live = slot.lock()) {
        *out = std::move(live);  // another thread was quicker
        return NOERROR;
    }
    slot = file;
    *out = std::move(file);
    return NOERROR;
}

STATUS DbFile::Create(const std::string &absPath, const std::string &relPath, WORD dbClass,
                      WORD buildVersion, const std::string &title, bool force,
                      const std::function<STATUS(Transaction &)> &fill) {
    std::lock_guard<std::mutex> lock(FilesMutex());
    auto &files = Files();
    auto it = files.find(absPath);
    bool live = it != files.end() && !it->second.expired();
    struct stat st {};
    bool exists = stat(absPath.c_str(), &st) == 0;
    if (exists && !force)
        return ERR_DB_EXISTS;
    if (exists && !S_ISREG(st.st_mode))
        return ERR_BAD_PATH;
    if (live)
        return ERR_DB_BUSY;  // open here: it cannot be replaced under its users
    if (STATUS status = MakeFolders(absPath))
        return status;

    static std::atomic<unsigned> counter{0};
    std::string tmp =
        absPath + ".new-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
    RemoveSideFiles(tmp);
    STATUS status = BuildNewFile(tmp, relPath, dbClass, buildVersion, title, fill);
    if (status != NOERROR) {
        unlink(tmp.c_str());
        RemoveSideFiles(tmp);
        return status;
    }
    // The closed file holds everything (its WAL was folded in on close).
    // Side files of an earlier database of that name must not be replayed
    // into the new one.
    RemoveSideFiles(absPath);
    if (force) {
        if (rename(tmp.c_str(), absPath.c_str()) != 0)
            status = ERR_DB_IO;
    } else if (link(tmp.c_str(), absPath.c_str()) != 0) {
        status = errno == EEXIST ? ERR_DB_EXISTS : ERR_DB_IO;
    }
    unlink(tmp.c_str());
    RemoveSideFiles(tmp);
    return status;
}

void DbFile::ForgetAll() {
    std::lock_guard<std::mutex> lock(FilesMutex());
    Files().clear();
}

STATUS DbFile::Acquire(std::unique_ptr<Connection> *out) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pid_ != getpid()) {
            for (auto &connection : idle_)
                (void)connection.release();
            idle_.clear();
            pid_ = getpid();
        }
        if (!idle_.empty()) {
            *out = std::move(idle_.back());
            idle_.pop_back();
            return NOERROR;
        }
    }
    return Connection::Open(absPath_, relPath_, SQLITE_OPEN_READWRITE, out);
}

void DbFile::Release(std::unique_ptr<Connection> connection) {
    connection->Rollback();
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < 8)
        idle_.push_back(std::move(connection));
}

template <class F>
STATUS DbFile::WithConnection(F &&body) {
    std::unique_ptr<Connection> c;
    if (STATUS status = Acquire(&c))
        return status;
    STATUS status = body(*c);
    Release(std::move(c));
    return status;
}

STATUS DbFile::BuildVersion(WORD *out) {
    return WithConnection([&](Connection &c) -> STATUS {
        int64_t value = 0;
        if (STATUS status = QueryInt(c, kSelBuild, &value))
            return status;
        *out = static_cast<WORD>(value);
        return NOERROR;
    });
}

STATUS DbFile::SetBuildVersion(WORD version) {
    return WithConnection([&](Connection &c) -> STATUS {
        Transaction txn(c);
        if (STATUS status = txn.Begin())
            return status;
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c.Prepare(kSetBuild, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int(stmt, 1, version);
        if (STATUS status = c.Step(stmt))
            return status;
        return txn.Commit();
    });
}

STATUS DbFile::SpecialNote(WORD noteClass, NOTEID *out) {
    return WithConnection([&](Connection &c) { return LookupSpecial(c, noteClass, out); });
}

STATUS DbFile::ReadNote(NOTEID id, StoredNote *note, const ItemSink &sink) {
    return WithConnection([&](Connection &c) -> STATUS {
        // One snapshot for the note's row and its items.
        if (STATUS status = c.Begin(false))
            return status;
        STATUS status = ReadNoteRows(c, id, note, sink);
        c.Rollback();
        return status;
    });
}

STATUS DbFile::SaveNote(SaveRequest *request) {
    Transaction txn(*this);
    if (STATUS status = txn.Begin())
        return status;
    if (STATUS status = txn.SaveNote(request))
        return status;
    return txn.Commit();
}

STATUS DbFile::DeleteNote(NOTEID id, StoredNote *result) {
    Transaction txn(*this);
    if (STATUS status = txn.Begin())
        return status;
    if (STATUS status = txn.DeleteNote(id, result))
        return status;
    return txn.Commit();
}

STATUS DbFile::FindProfile(const std::string &key, const std::string &userKey, NOTEID *out) {
    return WithConnection([&](Connection &c) { return LookupProfile(c, key, userKey, out); });
}

STATUS DbFile::ReadProfileItem(const std::string &key, const std::string &userKey,
                               const std::string &itemKey, WORD *type,
                               std::vector<unsigned char> *value) {
    return WithConnection(
        [&](Connection &c) { return LookupProfileItem(c, key, userKey, itemKey, type, value); });
}

STATUS DbFile::FindDesign(WORD noteClass, const char *name, size_t length, NOTEID *out) {
    std::vector<DesignMatch> matches;
    if (STATUS status = WithConnection([&](Connection &c) {
            return LookupDesign(c, noteClass, name, length, false, &matches);
        }))
        return status;
    *out = matches.front().id;
    return NOERROR;
}

STATUS DbFile::FindDesigns(WORD noteClass, const char *name, size_t length,
                           std::vector<DesignMatch> *out) {
    return WithConnection(
        [&](Connection &c) { return LookupDesign(c, noteClass, name, length, true, out); });
}

STATUS DbFile::DesignFlags(NOTEID id, std::string *flags) {
    return WithConnection([&](Connection &c) { return ReadDesignFlags(c, id, flags); });
}

STATUS DbFile::DbClass(WORD *out) {
    return WithConnection([&](Connection &c) -> STATUS {
        int64_t value = 0;
        if (STATUS status = QueryInt(c, kSelClass, &value))
            return status;
        *out = static_cast<WORD>(value);
        return NOERROR;
    });
}

STATUS DbFile::ReadHeader(NOTEID id, StoredNote *out) {
    return WithConnection([&](Connection &c) { return ReadNoteHeader(c, id, out); });
}

STATUS DbFile::FindUnid(const UNID &unid, NOTEID *id, bool *deleted) {
    return WithConnection([&](Connection &c) -> STATUS {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c.Prepare(kSelByUnid, &stmt))
            return status;
        StmtScope scope{stmt};
        BindBlob(stmt, 1, &unid, sizeof unid);
        bool row = false;
        if (STATUS status = c.Step(stmt, &row))
            return status;
        if (!row)
            return ERR_INVALID_NOTE;
        *id = static_cast<NOTEID>(sqlite3_column_int64(stmt, 0));
        *deleted = sqlite3_column_int(stmt, 1) != 0;
        return NOERROR;
    });
}

namespace {

STATUS SelectLive(Connection &c, WORD classMask, std::vector<NOTEID> *ids) {
    return ForEachRow(
        c, kSelLiveIds, [&](sqlite3_stmt *stmt) { sqlite3_bind_int(stmt, 1, classMask); },
        [&](sqlite3_stmt *stmt) -> STATUS {
            ids->push_back(static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)));
            return NOERROR;
        });
}

}  // namespace

STATUS DbFile::LiveNotes(WORD classMask, std::vector<StoredNote> *out) {
    out->clear();
    return Read([&](Connection &c) -> STATUS {
        std::vector<NOTEID> ids;
        if (STATUS status = SelectLive(c, classMask, &ids))
            return status;
        for (NOTEID id : ids) {
            StoredNote note;
            if (STATUS status = ReadNoteHeader(c, id, &note))
                return status;
            out->push_back(note);
        }
        return NOERROR;
    });
}

STATUS DbFile::ReadNotes(WORD classMask, std::vector<NoteCopy> *out) {
    out->clear();
    return Read([&](Connection &c) -> STATUS {
        std::vector<NOTEID> ids;
        if (STATUS status = SelectLive(c, classMask, &ids))
            return status;
        for (NOTEID id : ids) {
            NoteCopy note;
            if (STATUS status =
                    ReadNoteRows(c, id, &note.header,
                                 [&](const unsigned char *name, size_t nameLen, WORD type,
                                     WORD flags, const unsigned char *value, size_t size) {
                                     note.Add(name, nameLen, type, flags, value, size);
                                     return static_cast<STATUS>(NOERROR);
                                 }))
                return status;
            sqlite3_stmt *stmt = nullptr;
            if (STATUS status = c.Prepare(kSelProfileOf, &stmt))
                return status;
            StmtScope scope{stmt};
            sqlite3_bind_int64(stmt, 1, id);
            bool row = false;
            if (STATUS status = c.Step(stmt, &row))
                return status;
            if (row) {
                note.isProfile = true;
                note.profileKey = ColumnBytes(stmt, 0);
                note.profileUserKey = ColumnBytes(stmt, 1);
            }
            out->push_back(std::move(note));
        }
        return NOERROR;
    });
}

STATUS DbFile::ChangeCounter(int64_t *out) {
    return WithConnection([&](Connection &c) { return QueryInt(c, kSelChanges, out); });
}

STATUS DbFile::IndexBuiltAt(const std::string &name, bool *whole, int64_t *builtAt) {
    return WithConnection(
        [&](Connection &c) { return nsf::IndexBuiltAt(c, name, whole, builtAt); });
}

STATUS DbFile::Read(const std::function<STATUS(Connection &)> &body) {
    return WithConnection([&](Connection &c) -> STATUS {
        if (STATUS status = c.Begin(false))
            return status;
        STATUS status = body(c);
        c.Rollback();
        return status;
    });
}

STATUS DbFile::NoteIds(std::vector<NOTEID> *out) {
    return WithConnection([&](Connection &c) -> STATUS {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c.Prepare(kSelIds, &stmt))
            return status;
        StmtScope scope{stmt};
        out->clear();
        for (;;) {
            bool row = false;
            if (STATUS status = c.Step(stmt, &row))
                return status;
            if (!row)
                return NOERROR;
            out->push_back(static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)));
        }
    });
}

STATUS SetIconText(Transaction &txn, const std::string &item, const std::string &text) {
    NoteCopy icon;
    icon.header.noteClass = NOTE_CLASS_ICON;
    NOTEID id = 0;
    STATUS status = LookupSpecial(txn.Sql(), NOTE_CLASS_ICON, &id);
    if (status == NOERROR) {
        status = txn.ReadNote(id, &icon.header,
                              [&](const unsigned char *name, size_t nameLen, WORD type, WORD flags,
                                  const unsigned char *value, size_t size) {
                                  icon.Add(name, nameLen, type, flags, value, size);
                                  return static_cast<STATUS>(NOERROR);
                              });
        if (status != NOERROR)
            return status;
    } else if (status != ERR_SPECIAL_ID) {
        return status;
    }
    icon.SetText(item, text);
    SaveRequest request;
    icon.Fill(&request);
    request.force = true;
    return txn.SaveNote(&request);
}

}  // namespace nsf
}  // namespace notes_internal
