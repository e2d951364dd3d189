#include "nsf_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <unordered_map>

#include "fault.h"
#include "ini_file.h"
#include "nsf_internal.h"
#include "nsf_note.h"
#include "os_error.h"
#include "runtime_state.h"

namespace notes_internal {
namespace nsf {

STATUS StatusOfSqlite(int code) {
    switch (code & 0xFF) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return NOERROR;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERR_DB_BUSY;
        case SQLITE_NOMEM:
            return ERR_MEMORY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERR_ACCESS_DENIED;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
        case SQLITE_SCHEMA:
        case SQLITE_MISMATCH:
        case SQLITE_ERROR:  // our statements are fixed: an error means a wrong schema
        case SQLITE_CONSTRAINT:
        case SQLITE_RANGE:
            return ERR_DB_DAMAGED;
        case SQLITE_TOOBIG:
            return ERR_ITEM_TOO_BIG;
        default:  // IOERR, FULL, CANTOPEN, PROTOCOL, ...
            return ERR_DB_IO;
    }
}

int BusyTimeoutMs() {
    int ms = 60000;
    std::string ini = IniPath();
    if (!ini.empty()) {
        if (auto value = IniGet(ini, "StandinDbBusyTimeout")) {
            long parsed = std::strtol(value->c_str(), nullptr, 10);
            if (parsed > 0 && parsed < 24L * 3600 * 1000)
                ms = static_cast<int>(parsed);
        }
    }
    return ms;
}

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

// Classes of which a database keeps one special note; the first stored note
// of such a class becomes it.
bool IsSpecialClass(WORD noteClass) {
    switch (noteClass) {
        case NOTE_CLASS_INFO:
        case NOTE_CLASS_ICON:
        case NOTE_CLASS_DESIGN:
        case NOTE_CLASS_ACL:
        case NOTE_CLASS_HELP_INDEX:
        case NOTE_CLASS_HELP:
        case NOTE_CLASS_REPLFORMULA:
            return true;
        default:
            return false;
    }
}

const char *const kSchema[] = {
    "CREATE TABLE dbinfo(key TEXT PRIMARY KEY, value) WITHOUT ROWID",
    "CREATE TABLE notes(note_id INTEGER PRIMARY KEY, unid BLOB NOT NULL UNIQUE,"
    " seq INTEGER NOT NULL, seq_time INTEGER NOT NULL, note_class INTEGER NOT NULL,"
    " flags INTEGER NOT NULL, modified INTEGER NOT NULL, deleted INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX notes_by_class ON notes(note_class)",
    "CREATE TABLE items(note_id INTEGER NOT NULL, pos INTEGER NOT NULL, name BLOB NOT NULL,"
    " name_key BLOB NOT NULL, type INTEGER NOT NULL, flags INTEGER NOT NULL,"
    " value BLOB NOT NULL)",
    "CREATE UNIQUE INDEX items_by_note ON items(note_id, pos)",
    "CREATE INDEX items_by_name ON items(name_key, note_id)",
    "CREATE TABLE profiles(name_key BLOB NOT NULL, user_key BLOB NOT NULL,"
    " note_id INTEGER NOT NULL UNIQUE, PRIMARY KEY(name_key, user_key)) WITHOUT ROWID",
    "CREATE TABLE special(note_class INTEGER PRIMARY KEY, note_id INTEGER NOT NULL)",
};
const char *const kTables[] = {"dbinfo", "notes", "items", "profiles", "special"};

// Statements, kept prepared per connection (keyed by their address).
const char kSelBuild[] = "SELECT value FROM dbinfo WHERE key='build'";
const char kSetBuild[] = "UPDATE dbinfo SET value=?1 WHERE key='build'";
const char kSelNextId[] = "SELECT value FROM dbinfo WHERE key='next_note_id'";
const char kSetNextId[] = "UPDATE dbinfo SET value=?1 WHERE key='next_note_id'";
const char kSelSpecial[] = "SELECT note_id FROM special WHERE note_class=?1";
const char kInsSpecial[] = "INSERT OR IGNORE INTO special(note_class, note_id) VALUES(?1, ?2)";
const char kSelNote[] =
    "SELECT unid, seq, seq_time, note_class, flags, modified, deleted FROM notes"
    " WHERE note_id=?1";
const char kSelItems[] = "SELECT name, type, flags, value FROM items WHERE note_id=?1 ORDER BY pos";
const char kSelSeq[] = "SELECT seq, deleted, unid FROM notes WHERE note_id=?1";
const char kUpdNote[] =
    "UPDATE notes SET seq=?2, seq_time=?3, note_class=?4, flags=?5, modified=?6"
    " WHERE note_id=?1";
const char kInsNote[] =
    "INSERT INTO notes(note_id, unid, seq, seq_time, note_class, flags, modified)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)";
const char kSelUnid[] = "SELECT 1 FROM notes WHERE unid=?1";
const char kDelItems[] = "DELETE FROM items WHERE note_id=?1";
const char kInsItem[] =
    "INSERT INTO items(note_id, pos, name, name_key, type, flags, value)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)";
const char kSelProfile[] = "SELECT note_id FROM profiles WHERE name_key=?1 AND user_key=?2";
const char kInsProfile[] = "INSERT INTO profiles(name_key, user_key, note_id) VALUES(?1, ?2, ?3)";
const char kSelProfileItem[] =
    "SELECT i.type, i.value FROM profiles p JOIN items i ON i.note_id=p.note_id"
    " WHERE p.name_key=?1 AND p.user_key=?2 AND i.name_key=?3 ORDER BY i.pos LIMIT 1";
const char kSelIds[] = "SELECT note_id FROM notes ORDER BY note_id";

}  // namespace

class Connection {
  public:
    Connection(sqlite3 *db, std::string relPath) : db_(db), relPath_(std::move(relPath)) {}
    ~Connection() {
        for (auto &entry : statements_)
            sqlite3_finalize(entry.second);
        sqlite3_close_v2(db_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    sqlite3 *db() const { return db_; }

    // Opens a connection on an existing file.
    static STATUS Open(const std::string &absPath, const std::string &relPath, int flags,
                       std::unique_ptr<Connection> *out) {
        sqlite3 *db = nullptr;
        int rc = sqlite3_open_v2(absPath.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK) {
            STATUS status = StatusOfSqlite(rc);
            sqlite3_close_v2(db);
            return status == ERR_DB_DAMAGED ? static_cast<STATUS>(ERR_DB_IO) : status;
        }
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, BusyTimeoutMs());
        out->reset(new Connection(db, relPath));
        // Durable against a crash of the process; the last commits may be
        // lost only when the whole machine stops.
        return (*out)->Exec("PRAGMA synchronous=NORMAL", false);
    }

    // A prepared statement, reset and with its bindings cleared.
    STATUS Prepare(const char *sql, sqlite3_stmt **out) {
        auto it = statements_.find(sql);
        if (it != statements_.end()) {
            sqlite3_reset(it->second);
            sqlite3_clear_bindings(it->second);
            *out = it->second;
            return NOERROR;
        }
        sqlite3_stmt *stmt = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return StatusOfSqlite(rc);
        }
        statements_.emplace(sql, stmt);
        *out = stmt;
        return NOERROR;
    }

    // One step; *row tells whether a row came. A fault rule for
    // "SQLiteStep" fails it before SQLite runs.
    STATUS Step(sqlite3_stmt *stmt, bool *row = nullptr, bool faults = true) {
        if (faults) {
            if (STATUS fault = FaultCheck("SQLiteStep", relPath_.c_str()))
                return fault;
        }
        int rc = sqlite3_step(stmt);
        if (row)
            *row = (rc == SQLITE_ROW);
        if (rc == SQLITE_ROW || rc == SQLITE_DONE)
            return NOERROR;
        return StatusOfSqlite(rc);
    }

    // Runs a statement that returns no rows of interest.
    STATUS Exec(const char *sql, bool faults = true) {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = Prepare(sql, &stmt))
            return status;
        STATUS status = Step(stmt, nullptr, faults);
        sqlite3_reset(stmt);
        return status;
    }

    // BEGIN with a retry on a busy database until the busy time-out has
    // passed: the busy handler covers most waits, the loop the rest.
    // Runs SQL built at run time; not kept prepared (the cache is keyed by
    // the address of constant statements).
    STATUS ExecOnce(const std::string &sql) {
        sqlite3_stmt *stmt = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return StatusOfSqlite(rc);
        }
        STATUS status = Step(stmt);
        sqlite3_finalize(stmt);
        return status;
    }

    STATUS Begin(bool write) {
        const char *sql = write ? "BEGIN IMMEDIATE" : "BEGIN";
        auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(BusyTimeoutMs());
        for (;;) {
            STATUS status = Exec(sql);
            if (status != ERR_DB_BUSY || std::chrono::steady_clock::now() >= deadline)
                return status;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    STATUS Commit() { return Exec("COMMIT"); }

    // Never faulted: it must always run.
    void Rollback() {
        if (!sqlite3_get_autocommit(db_))
            Exec("ROLLBACK", false);
    }

  private:
    sqlite3 *db_;
    std::string relPath_;
    std::unordered_map<const char *, sqlite3_stmt *> statements_;
};

namespace {

// Resets the statement when the scope ends, so that no read lock lingers.
struct StmtScope {
    sqlite3_stmt *stmt = nullptr;
    ~StmtScope() {
        if (stmt)
            sqlite3_reset(stmt);
    }
};

// Rolls the transaction back unless it was committed.
struct TxnScope {
    Connection *c;
    bool done = false;
    ~TxnScope() {
        if (!done)
            c->Rollback();
    }
    STATUS Commit() {
        STATUS status = c->Commit();
        if (status == NOERROR)
            done = true;
        return status;
    }
};

void BindBlob(sqlite3_stmt *stmt, int index, const void *data, size_t size) {
    static const unsigned char empty = 0;
    sqlite3_bind_blob64(stmt, index, size ? data : &empty, size, SQLITE_STATIC);
}

void BindString(sqlite3_stmt *stmt, int index, const std::string &s) {
    BindBlob(stmt, index, s.data(), s.size());
}

std::mutex &FilesMutex() {
    static std::mutex *mutex = new std::mutex;
    return *mutex;
}
std::map<std::string, std::weak_ptr<DbFile>> &Files() {
    static auto *files = new std::map<std::string, std::weak_ptr<DbFile>>;
    return *files;
}

// The first bytes of every SQLite file.
const char kMagic[] = "SQLite format 3";  // and a NUL: 16 bytes

STATUS CheckHeader(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return errno == EACCES ? ERR_ACCESS_DENIED : ERR_NOEXIST;
    if (!S_ISREG(st.st_mode))
        return ERR_NOT_NSF;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES ? ERR_ACCESS_DENIED : ERR_DB_IO;
    char header[16] = {};
    ssize_t got = ::read(fd, header, sizeof header);
    ::close(fd);
    if (got < 0)
        return ERR_DB_IO;
    if (got == 0)
        return ERR_NOT_NSF;
    // A file cut inside the header is a damaged database, not another file.
    if (std::memcmp(header, kMagic, static_cast<size_t>(got)) != 0)
        return ERR_NOT_NSF;
    if (got < 16)
        return ERR_DB_DAMAGED;
    return NOERROR;
}

STATUS QueryInt(Connection *c, const char *sql, int64_t *out, bool *found = nullptr) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c->Prepare(sql, &stmt))
        return status;
    StmtScope scope{stmt};
    bool row = false;
    if (STATUS status = c->Step(stmt, &row))
        return status;
    if (found)
        *found = row;
    if (!row)
        return found ? NOERROR : ERR_DB_DAMAGED;
    *out = sqlite3_column_int64(stmt, 0);
    return NOERROR;
}

// Checks that an open file is one of our databases and whole.
STATUS Validate(Connection *c) {
    int64_t appId = 0, version = 0;
    if (STATUS status = QueryInt(c, "PRAGMA application_id", &appId))
        return status;
    if (appId != kApplicationId)
        return ERR_NOT_NSF;
    if (STATUS status = QueryInt(c, "PRAGMA user_version", &version))
        return status;
    if (version != kSchemaVersion)
        return ERR_DB_DAMAGED;

    // Reads every page: a truncated file or garbage pages show here, when
    // the database is first opened in this process, not in the middle of
    // some later call.
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c->Prepare("PRAGMA quick_check(1)", &stmt))
        return status;
    {
        StmtScope scope{stmt};
        bool row = false;
        if (STATUS status = c->Step(stmt, &row))
            return status;
        const unsigned char *text = row ? sqlite3_column_text(stmt, 0) : nullptr;
        if (text == nullptr || std::strcmp(reinterpret_cast<const char *>(text), "ok") != 0)
            return ERR_DB_DAMAGED;
    }

    if (STATUS status =
            c->Prepare("SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN"
                       " ('dbinfo','notes','items','profiles','special')",
                       &stmt))
        return status;
    {
        StmtScope scope{stmt};
        bool row = false;
        if (STATUS status = c->Step(stmt, &row))
            return status;
        if (!row ||
            sqlite3_column_int(stmt, 0) != static_cast<int>(sizeof kTables / sizeof *kTables))
            return ERR_DB_DAMAGED;
    }
    int64_t build = 0;
    bool found = false;
    if (STATUS status = QueryInt(c, kSelBuild, &build, &found))
        return status;
    if (!found)
        return ERR_DB_DAMAGED;
    if (STATUS status = QueryInt(c, kSelNextId, &build, &found))
        return status;
    return found ? NOERROR : ERR_DB_DAMAGED;
}

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

STATUS WriteIconNote(Connection *c, const std::string &title) {
    UNID unid = RandomUnid();
    TIMEDATE now = NowTimedate();
    const NOTEID iconId = 4;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c->Prepare(kInsNote, &stmt))
        return status;
    sqlite3_bind_int64(stmt, 1, iconId);
    BindBlob(stmt, 2, &unid, sizeof unid);
    sqlite3_bind_int64(stmt, 3, 1);
    sqlite3_bind_int64(stmt, 4, PackTime(now));
    sqlite3_bind_int(stmt, 5, NOTE_CLASS_ICON);
    sqlite3_bind_int(stmt, 6, 0);
    sqlite3_bind_int64(stmt, 7, PackTime(now));
    if (STATUS status = c->Step(stmt))
        return status;
    sqlite3_reset(stmt);

    static const std::string name = "$TITLE", key = "$title";
    if (STATUS status = c->Prepare(kInsItem, &stmt))
        return status;
    sqlite3_bind_int64(stmt, 1, iconId);
    sqlite3_bind_int(stmt, 2, 0);
    BindString(stmt, 3, name);
    BindString(stmt, 4, key);
    sqlite3_bind_int(stmt, 5, TYPE_TEXT);
    sqlite3_bind_int(stmt, 6, ITEM_SUMMARY);
    BindString(stmt, 7, title);
    if (STATUS status = c->Step(stmt))
        return status;
    sqlite3_reset(stmt);

    if (STATUS status = c->Prepare(kInsSpecial, &stmt))
        return status;
    sqlite3_bind_int(stmt, 1, NOTE_CLASS_ICON);
    sqlite3_bind_int64(stmt, 2, iconId);
    STATUS status = c->Step(stmt);
    sqlite3_reset(stmt);
    return status;
}

STATUS BuildNewFile(const std::string &tmp, const std::string &relPath, WORD dbClass,
                    WORD buildVersion, const std::string &title) {
    std::unique_ptr<Connection> c;
    if (STATUS status = Connection::Open(
            tmp, relPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXCLUSIVE, &c))
        return status;
    if (STATUS status = c->ExecOnce("PRAGMA application_id=" + std::to_string(kApplicationId)))
        return status;
    if (STATUS status = c->ExecOnce("PRAGMA user_version=" + std::to_string(kSchemaVersion)))
        return status;
    if (STATUS status = c->Exec("PRAGMA journal_mode=WAL"))
        return status;
    if (STATUS status = c->Begin(true))
        return status;
    TxnScope txn{c.get()};
    for (const char *sql : kSchema) {
        if (STATUS status = c->Exec(sql))
            return status;
    }
    if (STATUS status = c->ExecOnce("INSERT INTO dbinfo(key, value) VALUES('build', " +
                                    std::to_string(buildVersion) + "), ('class', " +
                                    std::to_string(dbClass) + "), ('next_note_id', 8)"))
        return status;
    if (STATUS status = WriteIconNote(c.get(), title))
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
    if (STATUS status = CheckHeader(absPath))
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
    // Checked outside the lock: a large or busy file must not hold up the
    // opens of other databases.
    std::unique_ptr<Connection> c;
    if (STATUS status = Connection::Open(absPath, relPath, SQLITE_OPEN_READWRITE, &c))
        return status;
    if (STATUS status = Validate(c.get()))
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
                      WORD buildVersion, const std::string &title, bool force) {
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
    STATUS status = BuildNewFile(tmp, relPath, dbClass, buildVersion, title);
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
    STATUS status = body(c.get());
    Release(std::move(c));
    return status;
}

STATUS DbFile::BuildVersion(WORD *out) {
    return WithConnection([&](Connection *c) -> STATUS {
        int64_t value = 0;
        if (STATUS status = QueryInt(c, kSelBuild, &value))
            return status;
        *out = static_cast<WORD>(value);
        return NOERROR;
    });
}

STATUS DbFile::SetBuildVersion(WORD version) {
    return WithConnection([&](Connection *c) -> STATUS {
        if (STATUS status = c->Begin(true))
            return status;
        TxnScope txn{c};
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c->Prepare(kSetBuild, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int(stmt, 1, version);
        if (STATUS status = c->Step(stmt))
            return status;
        return txn.Commit();
    });
}

STATUS DbFile::SpecialNote(WORD noteClass, NOTEID *out) {
    return WithConnection([&](Connection *c) -> STATUS {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c->Prepare(kSelSpecial, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int(stmt, 1, noteClass);
        bool row = false;
        if (STATUS status = c->Step(stmt, &row))
            return status;
        if (!row)
            return static_cast<STATUS>(ERR_SPECIAL_ID);
        *out = static_cast<NOTEID>(sqlite3_column_int64(stmt, 0));
        return NOERROR;
    });
}

STATUS DbFile::ReadNote(NOTEID id, StoredNote *note, const ItemSink &sink) {
    return WithConnection([&](Connection *c) -> STATUS {
        if (STATUS status = c->Begin(false))
            return status;
        TxnScope txn{c};
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c->Prepare(kSelNote, &stmt))
            return status;
        {
            StmtScope scope{stmt};
            sqlite3_bind_int64(stmt, 1, id);
            bool row = false;
            if (STATUS status = c->Step(stmt, &row))
                return status;
            if (!row)
                return static_cast<STATUS>(ERR_INVALID_NOTE);
            note->id = id;
            if (sqlite3_column_bytes(stmt, 0) != sizeof(UNID))
                return static_cast<STATUS>(ERR_DB_DAMAGED);
            std::memcpy(&note->unid, sqlite3_column_blob(stmt, 0), sizeof(UNID));
            note->seq = static_cast<DWORD>(sqlite3_column_int64(stmt, 1));
            note->seqTime = UnpackTime(sqlite3_column_int64(stmt, 2));
            note->noteClass = static_cast<WORD>(sqlite3_column_int(stmt, 3));
            note->flags = static_cast<WORD>(sqlite3_column_int(stmt, 4));
            note->modified = UnpackTime(sqlite3_column_int64(stmt, 5));
            note->deleted = sqlite3_column_int(stmt, 6) != 0;
        }
        if (note->deleted)
            return static_cast<STATUS>(ERR_NOTE_DELETED);
        if (STATUS status = c->Prepare(kSelItems, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, id);
        for (;;) {
            bool row = false;
            if (STATUS status = c->Step(stmt, &row))
                return status;
            if (!row)
                break;
            const void *name = sqlite3_column_blob(stmt, 0);
            size_t nameLen = static_cast<size_t>(sqlite3_column_bytes(stmt, 0));
            const void *value = sqlite3_column_blob(stmt, 3);
            size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, 3));
            if (STATUS status = sink(static_cast<const unsigned char *>(name), nameLen,
                                     static_cast<WORD>(sqlite3_column_int(stmt, 1)),
                                     static_cast<WORD>(sqlite3_column_int(stmt, 2)),
                                     static_cast<const unsigned char *>(value), size))
                return status;
        }
        return txn.Commit();
    });
}

STATUS DbFile::SaveNote(SaveRequest *request) {
    return WithConnection([&](Connection *c) -> STATUS {
        if (STATUS status = c->Begin(true))
            return status;
        TxnScope txn{c};
        StoredNote note = request->note;
        TIMEDATE now = NowTimedate();
        sqlite3_stmt *stmt = nullptr;

        bool isNew = note.id == 0;
        if (isNew && request->profileKey) {
            // A profile that another handle or process stored since this one
            // was opened as new: the same conflict as a changed note.
            if (STATUS status = c->Prepare(kSelProfile, &stmt))
                return status;
            StmtScope scope{stmt};
            BindString(stmt, 1, *request->profileKey);
            BindString(stmt, 2, *request->profileUserKey);
            bool row = false;
            if (STATUS status = c->Step(stmt, &row))
                return status;
            if (row) {
                if (!request->force)
                    return static_cast<STATUS>(ERR_CONFLICT);
                note.id = static_cast<NOTEID>(sqlite3_column_int64(stmt, 0));
                isNew = false;
            }
        }

        if (!isNew) {
            if (STATUS status = c->Prepare(kSelSeq, &stmt))
                return status;
            StmtScope scope{stmt};
            sqlite3_bind_int64(stmt, 1, note.id);
            bool row = false;
            if (STATUS status = c->Step(stmt, &row))
                return status;
            if (!row)
                return static_cast<STATUS>(ERR_INVALID_NOTE);
            if (sqlite3_column_int(stmt, 1) != 0)
                return static_cast<STATUS>(ERR_NOTE_DELETED);
            DWORD stored = static_cast<DWORD>(sqlite3_column_int64(stmt, 0));
            if (stored != request->note.seq && !request->force)
                return static_cast<STATUS>(ERR_CONFLICT);
            if (sqlite3_column_bytes(stmt, 2) != sizeof(UNID))
                return static_cast<STATUS>(ERR_DB_DAMAGED);
            std::memcpy(&note.unid, sqlite3_column_blob(stmt, 2), sizeof(UNID));
            note.seq = (stored > request->note.seq ? stored : request->note.seq) + 1;
            note.seqTime = now;
            note.modified = now;
            sqlite3_stmt *upd = nullptr;
            if (STATUS status = c->Prepare(kUpdNote, &upd))
                return status;
            StmtScope updScope{upd};
            sqlite3_bind_int64(upd, 1, note.id);
            sqlite3_bind_int64(upd, 2, note.seq);
            sqlite3_bind_int64(upd, 3, PackTime(now));
            sqlite3_bind_int(upd, 4, note.noteClass);
            sqlite3_bind_int(upd, 5, note.flags);
            sqlite3_bind_int64(upd, 6, PackTime(now));
            if (STATUS status = c->Step(upd))
                return status;
            sqlite3_stmt *del = nullptr;
            if (STATUS status = c->Prepare(kDelItems, &del))
                return status;
            StmtScope delScope{del};
            sqlite3_bind_int64(del, 1, note.id);
            if (STATUS status = c->Step(del))
                return status;
        } else {
            int64_t next = 0;
            if (STATUS status = QueryInt(c, kSelNextId, &next))
                return status;
            if (next <= 0 || next >= 0x7FFFFFF0)
                return static_cast<STATUS>(ERR_DB_DAMAGED);
            note.id = static_cast<NOTEID>(next);
            if (STATUS status = c->Prepare(kSetNextId, &stmt))
                return status;
            {
                StmtScope scope{stmt};
                sqlite3_bind_int64(stmt, 1, next + 4);
                if (STATUS status = c->Step(stmt))
                    return status;
            }
            // A fresh UNID is random; one the caller gave must be unused.
            for (int attempt = 0;; attempt++) {
                if (!request->unidGiven)
                    note.unid = RandomUnid();
                if (STATUS status = c->Prepare(kSelUnid, &stmt))
                    return status;
                StmtScope scope{stmt};
                BindBlob(stmt, 1, &note.unid, sizeof(UNID));
                bool row = false;
                if (STATUS status = c->Step(stmt, &row))
                    return status;
                if (!row)
                    break;
                if (request->unidGiven || attempt > 8)
                    return static_cast<STATUS>(ERR_CONFLICT);
            }
            note.seq = 1;
            note.seqTime = now;
            note.modified = now;
            if (STATUS status = c->Prepare(kInsNote, &stmt))
                return status;
            {
                StmtScope scope{stmt};
                sqlite3_bind_int64(stmt, 1, note.id);
                BindBlob(stmt, 2, &note.unid, sizeof(UNID));
                sqlite3_bind_int64(stmt, 3, note.seq);
                sqlite3_bind_int64(stmt, 4, PackTime(now));
                sqlite3_bind_int(stmt, 5, note.noteClass);
                sqlite3_bind_int(stmt, 6, note.flags);
                sqlite3_bind_int64(stmt, 7, PackTime(now));
                if (STATUS status = c->Step(stmt))
                    return status;
            }
            if (request->profileKey) {
                if (STATUS status = c->Prepare(kInsProfile, &stmt))
                    return status;
                StmtScope scope{stmt};
                BindString(stmt, 1, *request->profileKey);
                BindString(stmt, 2, *request->profileUserKey);
                sqlite3_bind_int64(stmt, 3, note.id);
                if (STATUS status = c->Step(stmt))
                    return status;
            }
            if (IsSpecialClass(note.noteClass)) {
                if (STATUS status = c->Prepare(kInsSpecial, &stmt))
                    return status;
                StmtScope scope{stmt};
                sqlite3_bind_int(stmt, 1, note.noteClass);
                sqlite3_bind_int64(stmt, 2, note.id);
                if (STATUS status = c->Step(stmt))
                    return status;
            }
        }

        if (STATUS status = c->Prepare(kInsItem, &stmt))
            return status;
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
            if (STATUS status = c->Step(stmt))
                return status;
        }
        if (STATUS status = txn.Commit())
            return status;
        request->result = note;
        return NOERROR;
    });
}

STATUS DbFile::FindProfile(const std::string &key, const std::string &userKey, NOTEID *out) {
    return WithConnection([&](Connection *c) -> STATUS {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c->Prepare(kSelProfile, &stmt))
            return status;
        StmtScope scope{stmt};
        BindString(stmt, 1, key);
        BindString(stmt, 2, userKey);
        bool row = false;
        if (STATUS status = c->Step(stmt, &row))
            return status;
        *out = row ? static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)) : 0;
        return NOERROR;
    });
}

STATUS DbFile::ReadProfileItem(const std::string &key, const std::string &userKey,
                               const std::string &itemKey, WORD *type,
                               std::vector<unsigned char> *value) {
    return WithConnection([&](Connection *c) -> STATUS {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c->Prepare(kSelProfileItem, &stmt))
            return status;
        StmtScope scope{stmt};
        BindString(stmt, 1, key);
        BindString(stmt, 2, userKey);
        BindString(stmt, 3, itemKey);
        bool row = false;
        if (STATUS status = c->Step(stmt, &row))
            return status;
        if (!row)
            return static_cast<STATUS>(ERR_ITEM_NOT_FOUND);
        *type = static_cast<WORD>(sqlite3_column_int(stmt, 0));
        const auto *bytes = static_cast<const unsigned char *>(sqlite3_column_blob(stmt, 1));
        size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt, 1));
        value->assign(bytes, bytes + size);
        return NOERROR;
    });
}

STATUS DbFile::NoteIds(std::vector<NOTEID> *out) {
    return WithConnection([&](Connection *c) -> STATUS {
        sqlite3_stmt *stmt = nullptr;
        if (STATUS status = c->Prepare(kSelIds, &stmt))
            return status;
        StmtScope scope{stmt};
        out->clear();
        for (;;) {
            bool row = false;
            if (STATUS status = c->Step(stmt, &row))
                return status;
            if (!row)
                return NOERROR;
            out->push_back(static_cast<NOTEID>(sqlite3_column_int64(stmt, 0)));
        }
    });
}

}  // namespace nsf
}  // namespace notes_internal
