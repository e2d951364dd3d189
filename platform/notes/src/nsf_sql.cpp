#include "nsf_sql.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "fault.h"
#include "ini_file.h"
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

Connection::~Connection() {
    for (auto &entry : statements_)
        sqlite3_finalize(entry.second);
    sqlite3_close_v2(db_);
}

STATUS Connection::Open(const std::string &absPath, const std::string &relPath, int flags,
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
    // The log and its index stay beside the file when the last connection
    // closes, emptied (the size limit below): every request opens and
    // closes its user's mail file, and making and removing the two files
    // each time cost a fifth of a read.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    out->reset(new Connection(db, relPath));
    // Durable against a crash of the process; the last commits may be lost
    // only when the whole machine stops.
    if (STATUS status = (*out)->Exec("PRAGMA synchronous=NORMAL", false))
        return status;
    return (*out)->Exec("PRAGMA journal_size_limit=4194304", false);
}

STATUS Connection::Prepare(const char *sql, sqlite3_stmt **out) {
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

STATUS Connection::Step(sqlite3_stmt *stmt, bool *row, bool faults) {
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

STATUS Connection::Exec(const char *sql, bool faults) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = Prepare(sql, &stmt))
        return status;
    STATUS status = Step(stmt, nullptr, faults);
    sqlite3_reset(stmt);
    return status;
}

STATUS Connection::ExecOnce(const std::string &sql) {
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

STATUS Connection::Begin(bool write) {
    const char *sql = write ? "BEGIN IMMEDIATE" : "BEGIN";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BusyTimeoutMs());
    for (;;) {
        STATUS status = Exec(sql);
        if (status != ERR_DB_BUSY || std::chrono::steady_clock::now() >= deadline)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

STATUS Connection::Commit() {
    return Exec("COMMIT");
}

void Connection::Rollback() {
    if (!sqlite3_get_autocommit(db_))
        Exec("ROLLBACK", false);
}

int Connection::Changes() const {
    return sqlite3_changes(db_);
}

StmtScope::~StmtScope() {
    if (stmt)
        sqlite3_reset(stmt);
}

void BindBlob(sqlite3_stmt *stmt, int index, const void *data, size_t size) {
    static const unsigned char empty = 0;
    sqlite3_bind_blob64(stmt, index, size ? data : &empty, size, SQLITE_STATIC);
}

void BindText(sqlite3_stmt *stmt, int index, const std::string &s) {
    sqlite3_bind_text64(stmt, index, s.data(), s.size(), SQLITE_STATIC, SQLITE_UTF8);
}

std::string ColumnBytes(sqlite3_stmt *stmt, int column) {
    const void *bytes = sqlite3_column_blob(stmt, column);
    int size = sqlite3_column_bytes(stmt, column);
    if (bytes == nullptr || size <= 0)
        return std::string();
    return std::string(static_cast<const char *>(bytes), static_cast<size_t>(size));
}

STATUS ExecForNote(Connection &c, const char *sql, NOTEID id) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(sql, &stmt))
        return status;
    StmtScope scope{stmt};
    sqlite3_bind_int64(stmt, 1, id);
    return c.Step(stmt);
}

STATUS QueryInt(Connection &c, const char *sql, int64_t *out, bool *found) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(sql, &stmt))
        return status;
    StmtScope scope{stmt};
    bool row = false;
    if (STATUS status = c.Step(stmt, &row))
        return status;
    if (found)
        *found = row;
    if (!row)
        return found ? NOERROR : ERR_DB_DAMAGED;
    *out = sqlite3_column_int64(stmt, 0);
    return NOERROR;
}

}  // namespace nsf
}  // namespace notes_internal
