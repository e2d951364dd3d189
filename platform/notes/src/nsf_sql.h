// The SQLite layer under the store: one connection to a database file, its
// prepared statements, and the helpers that the store core, the schema
// steps and the indexers share.
//
// Before every statement step the fault point "SQLiteStep" is asked with
// the database's path, so that a test can fail any write half way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <unordered_map>

#include "global.h"

struct sqlite3;
struct sqlite3_stmt;

namespace notes_internal {
namespace nsf {

// The SQLite result code as a status.
STATUS StatusOfSqlite(int code);

// The busy time-out of new connections in milliseconds (notes.ini
// "StandinDbBusyTimeout", default 60000).
int BusyTimeoutMs();

class Connection {
  public:
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Opens a connection on a file; flags are SQLite's open flags.
    static STATUS Open(const std::string &absPath, const std::string &relPath, int flags,
                       std::unique_ptr<Connection> *out);

    sqlite3 *db() const { return db_; }
    const std::string &relPath() const { return relPath_; }

    // A prepared statement, reset and with its bindings cleared. Statements
    // are kept per connection, keyed by the address of their text: pass
    // constant texts only (ExecOnce runs texts built at run time).
    STATUS Prepare(const char *sql, sqlite3_stmt **out);
    // One step; *row tells whether a row came. faults false skips the
    // fault point (for steps that must always run, as a rollback).
    STATUS Step(sqlite3_stmt *stmt, bool *row = nullptr, bool faults = true);
    // Runs a constant statement that returns no rows of interest.
    STATUS Exec(const char *sql, bool faults = true);
    // Runs a statement built at run time, not kept prepared.
    STATUS ExecOnce(const std::string &sql);

    // BEGIN (IMMEDIATE for a write), retried on a busy database until the
    // busy time-out has passed: the busy handler covers most waits, the loop
    // the rest.
    STATUS Begin(bool write);
    STATUS Commit();
    // Rolls back an open transaction; never faulted.
    void Rollback();
    // Rows changed by the last step.
    int Changes() const;

  private:
    Connection(sqlite3 *db, std::string relPath) : db_(db), relPath_(std::move(relPath)) {}

    sqlite3 *db_;
    std::string relPath_;
    std::unordered_map<const char *, sqlite3_stmt *> statements_;
};

// Resets the statement when the scope ends, so that no read lock lingers.
struct StmtScope {
    sqlite3_stmt *stmt = nullptr;
    ~StmtScope();
};

// Binds without a copy: the bytes must stay until the statement is reset
// (so no temporaries, which the deleted forms keep out).
void BindBlob(sqlite3_stmt *stmt, int index, const void *data, size_t size);
inline void BindString(sqlite3_stmt *stmt, int index, const std::string &s) {
    BindBlob(stmt, index, s.data(), s.size());
}
void BindString(sqlite3_stmt *stmt, int index, std::string &&s) = delete;
// Binds as TEXT, for columns compared with text literals.
void BindText(sqlite3_stmt *stmt, int index, const std::string &s);
void BindText(sqlite3_stmt *stmt, int index, std::string &&s) = delete;
// A BLOB or TEXT column as bytes.
std::string ColumnBytes(sqlite3_stmt *stmt, int column);

// The first column of the first row of a constant statement. Without found,
// no row is ERR_DB_DAMAGED; with it, *found tells.
STATUS QueryInt(Connection &c, const char *sql, int64_t *out, bool *found = nullptr);

// Runs a constant statement that takes a note ID as ?1 and returns no rows
// of interest.
STATUS ExecForNote(Connection &c, const char *sql, NOTEID id);

// Runs a constant query: bind sets its parameters on the statement, then
// each row goes to row, whose non-zero status ends the walk and is its
// result. The statement is reset on every path.
template <class Bind, class Row>
STATUS ForEachRow(Connection &c, const char *sql, Bind &&bind, Row &&row) {
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(sql, &stmt))
        return status;
    StmtScope scope{stmt};
    bind(stmt);
    for (;;) {
        bool more = false;
        if (STATUS status = c.Step(stmt, &more))
            return status;
        if (!more)
            return NOERROR;
        if (STATUS status = row(stmt))
            return status;
    }
}

// A query without parameters.
template <class Row>
STATUS ForEachRow(Connection &c, const char *sql, Row &&row) {
    return ForEachRow(
        c, sql, [](sqlite3_stmt *) {}, std::forward<Row>(row));
}

}  // namespace nsf
}  // namespace notes_internal
