#include "nsf_schema.h"

#include <sqlite3.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "collation.h"
#include "nsf_sql.h"
#include "nsf_store.h"
#include "os_error.h"

namespace notes_internal {
namespace nsf {

namespace {

// Runs constant statements in order.
STATUS ExecAll(Connection &c, const char *const *statements, size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (STATUS status = c.Exec(statements[i]))
            return status;
    }
    return NOERROR;
}

template <size_t N>
STATUS ExecAll(Connection &c, const char *const (&statements)[N]) {
    return ExecAll(c, statements, N);
}

// Version 1: the first layout, as it was written before there were steps.
STATUS StepFirstTables(Connection &c) {
    static const char *const kSql[] = {
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
    return ExecAll(c, kSql);
}

// Version 2: the change counter and the record of whole indexes. Notes
// stored before count as changed at 0; no index is recorded whole, so each
// is rebuilt once.
STATUS StepChangeCounter(Connection &c) {
    static const char *const kSql[] = {
        "ALTER TABLE notes ADD COLUMN changed INTEGER NOT NULL DEFAULT 0",
        "CREATE INDEX notes_by_change ON notes(changed)",
        "INSERT OR IGNORE INTO dbinfo(key, value) VALUES('changes', 0)",
        "CREATE TABLE indexes(name TEXT PRIMARY KEY, built INTEGER NOT NULL) WITHOUT ROWID",
    };
    return ExecAll(c, kSql);
}

const char kSelItemNames[] = "SELECT rowid, name, name_key FROM items";
const char kSetItemKey[] = "UPDATE items SET name_key=?2 WHERE rowid=?1";
const char kSelProfileKeys[] = "SELECT name_key, user_key, note_id FROM profiles ORDER BY note_id";
const char kSetProfileKeys[] =
    "UPDATE OR IGNORE profiles SET name_key=?2, user_key=?3 WHERE note_id=?1";
const char kDelProfileRow[] = "DELETE FROM profiles WHERE note_id=?1";

// Version 3: keys through the collation. Only keys that change are
// written. Two profiles whose names now fold alike become one: the older
// note keeps the name, the newer one stays a plain document.
STATUS StepRefoldKeys(Connection &c) {
    sqlite3_stmt *stmt = nullptr;
    std::vector<std::pair<int64_t, std::string>> items;
    if (STATUS status = c.Prepare(kSelItemNames, &stmt))
        return status;
    {
        StmtScope scope{stmt};
        for (;;) {
            bool row = false;
            if (STATUS status = c.Step(stmt, &row))
                return status;
            if (!row)
                break;
            std::string key = CollationKey(ColumnBytes(stmt, 1));
            if (key != ColumnBytes(stmt, 2))
                items.emplace_back(sqlite3_column_int64(stmt, 0), std::move(key));
        }
    }
    if (STATUS status = c.Prepare(kSetItemKey, &stmt))
        return status;
    for (const auto &item : items) {
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, item.first);
        BindString(stmt, 2, item.second);
        if (STATUS status = c.Step(stmt))
            return status;
    }

    struct ProfileKeys {
        int64_t noteId;
        std::string key, userKey;
    };
    std::vector<ProfileKeys> profiles;
    if (STATUS status = c.Prepare(kSelProfileKeys, &stmt))
        return status;
    {
        StmtScope scope{stmt};
        for (;;) {
            bool row = false;
            if (STATUS status = c.Step(stmt, &row))
                return status;
            if (!row)
                break;
            std::string name = ColumnBytes(stmt, 0), user = ColumnBytes(stmt, 1);
            ProfileKeys keys{sqlite3_column_int64(stmt, 2), CollationKey(name), CollationKey(user)};
            if (keys.key != name || keys.userKey != user)
                profiles.push_back(std::move(keys));
        }
    }
    for (const ProfileKeys &keys : profiles) {
        if (STATUS status = c.Prepare(kSetProfileKeys, &stmt))
            return status;
        {
            StmtScope scope{stmt};
            sqlite3_bind_int64(stmt, 1, keys.noteId);
            BindString(stmt, 2, keys.key);
            BindString(stmt, 3, keys.userKey);
            if (STATUS status = c.Step(stmt))
                return status;
        }
        if (c.Changes() > 0)
            continue;
        if (STATUS status = c.Prepare(kDelProfileRow, &stmt))
            return status;
        StmtScope scope{stmt};
        sqlite3_bind_int64(stmt, 1, keys.noteId);
        if (STATUS status = c.Step(stmt))
            return status;
    }
    return NOERROR;
}

// Version 4: the design notes by class and title; the upgrade's rebuild
// fills it.
STATUS StepDesignIndex(Connection &c) {
    static const char *const kSql[] = {
        "CREATE TABLE design(note_class INTEGER NOT NULL, title_key BLOB NOT NULL,"
        " note_id INTEGER NOT NULL, PRIMARY KEY(note_class, title_key, note_id)) WITHOUT ROWID",
        "CREATE INDEX design_by_note ON design(note_id)",
        "DELETE FROM indexes WHERE name='design'",
    };
    return ExecAll(c, kSql);
}

// Version 5: the indexes of the views. They start empty: each view is built
// by its first reader.
STATUS StepViewIndexes(Connection &c) {
    static const char *const kSql[] = {
        "CREATE TABLE views(view_id INTEGER PRIMARY KEY, selection BLOB,"
        " key_formula BLOB NOT NULL, built INTEGER NOT NULL)",
        "CREATE TABLE view_entries(view_id INTEGER NOT NULL, key BLOB NOT NULL,"
        " note_id INTEGER NOT NULL, PRIMARY KEY(view_id, key, note_id)) WITHOUT ROWID",
        "CREATE INDEX view_entries_by_note ON view_entries(note_id)",
        "DELETE FROM indexes WHERE name='views'",
    };
    return ExecAll(c, kSql);
}

struct Step {
    int version;  // the version a file has after the step
    STATUS (*apply)(Connection &c);
    std::vector<const char *> tables;  // the tables the step adds
};

const std::vector<Step> &Steps() {
    static const auto *steps = new std::vector<Step>{
        {1, StepFirstTables, {"dbinfo", "notes", "items", "profiles", "special"}},
        {2, StepChangeCounter, {"indexes"}},
        {3, StepRefoldKeys, {}},
        {4, StepDesignIndex, {"design"}},
        {5, StepViewIndexes, {"views", "view_entries"}},
    };
    return *steps;
}

const char kSelTables[] = "SELECT name FROM sqlite_master WHERE type='table'";
const char kSelDbinfoKeys[] =
    "SELECT count(*) FROM dbinfo WHERE key IN ('build', 'next_note_id', 'changes')";

STATUS ApplySteps(Connection &c, int from) {
    for (const Step &step : Steps()) {
        if (step.version <= from)
            continue;
        if (STATUS status = step.apply(c))
            return status;
    }
    return c.ExecOnce("PRAGMA user_version=" + std::to_string(kSchemaVersion));
}

STATUS Upgrade(Connection &c) {
    Transaction txn(c);
    if (STATUS status = txn.Begin())
        return status;
    // Another connection may have upgraded the file since it was looked at.
    int64_t version = 0;
    if (STATUS status = QueryInt(c, "PRAGMA user_version", &version))
        return status;
    if (version > kSchemaVersion)
        return ERR_DB_NEWER_SCHEMA;
    if (version == kSchemaVersion)
        return txn.Commit();
    if (STATUS status = ApplySteps(c, static_cast<int>(version)))
        return status;
    if (STATUS status = txn.RebuildStaleIndexes())
        return status;
    return txn.Commit();
}

}  // namespace

STATUS CreateSchema(Transaction &txn) {
    return ApplySteps(txn.Sql(), 0);
}

STATUS CheckSchema(Connection &c, int *version) {
    int64_t appId = 0, value = 0;
    if (STATUS status = QueryInt(c, "PRAGMA application_id", &appId))
        return status;
    if (appId != kApplicationId)
        return ERR_NOT_NSF;
    if (STATUS status = QueryInt(c, "PRAGMA user_version", &value))
        return status;
    if (value > kSchemaVersion)
        return ERR_DB_NEWER_SCHEMA;
    if (value < 1)
        return ERR_DB_DAMAGED;
    *version = static_cast<int>(value);

    std::set<std::string> tables;
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare(kSelTables, &stmt))
        return status;
    StmtScope scope{stmt};
    for (;;) {
        bool row = false;
        if (STATUS status = c.Step(stmt, &row))
            return status;
        if (!row)
            break;
        tables.insert(ColumnBytes(stmt, 0));
    }
    for (const Step &step : Steps()) {
        if (step.version > *version)
            break;
        for (const char *table : step.tables) {
            if (tables.count(table) == 0)
                return ERR_DB_DAMAGED;
        }
    }
    return NOERROR;
}

STATUS PrepareSchema(Connection &c) {
    int version = 0;
    if (STATUS status = CheckSchema(c, &version))
        return status;
    if (version < kSchemaVersion) {
        if (STATUS status = Upgrade(c))
            return status;
    }
    int64_t keys = 0;
    if (STATUS status = QueryInt(c, kSelDbinfoKeys, &keys))
        return status;
    return keys == 3 ? NOERROR : ERR_DB_DAMAGED;
}

}  // namespace nsf
}  // namespace notes_internal
