// The check of a whole database file (StandinDbCheck): what the open of a
// file leaves out so that it costs the same for any size.
#include <sqlite3.h>

#include <cstdio>

#include "acl_store.h"
#include "collation.h"
#include "nsf_schema.h"
#include "nsf_sql.h"
#include "nsf_store.h"
#include "os_error.h"

namespace notes_internal {
namespace nsf {

namespace {

// The store's own rules over the notes and their indexes: each query gives
// the ID of a note that breaks the rule, or no row.
struct Rule {
    int version;  // the schema version from which the rule holds
    const char *sql;
    const char *problem;
};

const Rule kRules[] = {
    {1,
     "SELECT i.note_id FROM items i LEFT JOIN notes n ON n.note_id=i.note_id"
     " WHERE n.note_id IS NULL OR n.deleted<>0 LIMIT 1",
     "an item of a missing or deleted note"},
    {1,
     "SELECT p.note_id FROM profiles p LEFT JOIN notes n ON n.note_id=p.note_id"
     " WHERE n.note_id IS NULL OR n.deleted<>0 LIMIT 1",
     "a profile that is a missing or deleted note"},
    {1,
     "SELECT s.note_id FROM special s LEFT JOIN notes n ON n.note_id=s.note_id"
     " WHERE n.note_id IS NULL OR n.deleted<>0 OR n.note_class<>s.note_class LIMIT 1",
     "a special note that is missing, deleted or of another class"},
    {1,
     "SELECT note_id FROM notes"
     " WHERE note_id>=(SELECT value FROM dbinfo WHERE key='next_note_id') LIMIT 1",
     "a note ID that is not below the next note ID"},
    {2,
     "SELECT note_id FROM notes WHERE changed>(SELECT value FROM dbinfo WHERE key='changes')"
     " LIMIT 1",
     "a note changed after the change counter"},
    {4,
     "SELECT d.note_id FROM design d LEFT JOIN notes n ON n.note_id=d.note_id"
     " WHERE n.note_id IS NULL OR n.deleted<>0 OR (n.note_class & 32767)<>d.note_class LIMIT 1",
     "a design title of a missing or deleted note, or of another class"},
    {5,
     "SELECT v.view_id FROM views v LEFT JOIN notes n ON n.note_id=v.view_id"
     " WHERE n.note_id IS NULL OR n.deleted<>0 OR (n.note_class & 32767)<>8"
     " OR v.built>(SELECT value FROM dbinfo WHERE key='changes') LIMIT 1",
     "a view index of a missing or deleted note, of no view, or built after the change counter"},
    {5,
     "SELECT e.note_id FROM view_entries e LEFT JOIN notes n ON n.note_id=e.note_id"
     " WHERE n.note_id IS NULL OR n.deleted<>0 OR (n.note_class & 1)=0"
     " OR e.view_id NOT IN (SELECT view_id FROM views) LIMIT 1",
     "a view entry of a missing or deleted note, of no document, or of a view not built"},
};

const char kSelItemKeys[] = "SELECT note_id, name, name_key FROM items";

std::string NoteProblem(const char *problem, int64_t id) {
    char text[160];
    std::snprintf(text, sizeof text, "%s (note ID 0x%llX)", problem,
                  static_cast<unsigned long long>(id));
    return text;
}

STATUS CheckRules(Connection &c, int version, std::string *problem) {
    for (const Rule &rule : kRules) {
        if (rule.version > version)
            continue;
        int64_t id = 0;
        bool found = false;
        if (STATUS status = QueryInt(c, rule.sql, &id, &found))
            return status;
        if (found) {
            *problem = NoteProblem(rule.problem, id);
            return ERR_DB_DAMAGED;
        }
    }
    if (version >= 6) {
        // The ACL's rows: the default entry first and once, levels, flags,
        // privileges and role slots in range.
        acl::Data data;
        STATUS status = acl::ReadRows(c, &data);
        if (status == ERR_DB_DAMAGED) {
            *problem = "an access control list whose rows no ACL can hold";
            return status;
        }
        if (status != NOERROR)
            return status;
    }
    if (version < 3)
        return NOERROR;  // keys were folded in ASCII only
    return ForEachRow(c, kSelItemKeys, [&](sqlite3_stmt *stmt) -> STATUS {
        if (CollationKey(ColumnBytes(stmt, 1)) != ColumnBytes(stmt, 2)) {
            *problem = NoteProblem("an item whose key does not fit its name",
                                   sqlite3_column_int64(stmt, 0));
            return ERR_DB_DAMAGED;
        }
        return NOERROR;
    });
}

STATUS CheckOpen(Connection &c, std::string *problem) {
    int version = 0;
    if (STATUS status = CheckSchema(c, &version)) {
        if (status == ERR_DB_DAMAGED)
            *problem = "a table of its schema is missing";
        return status;
    }
    sqlite3_stmt *stmt = nullptr;
    if (STATUS status = c.Prepare("PRAGMA integrity_check(1)", &stmt))
        return status;
    {
        StmtScope scope{stmt};
        bool row = false;
        if (STATUS status = c.Step(stmt, &row))
            return status;
        std::string result = row ? ColumnBytes(stmt, 0) : "no result";
        if (result != "ok") {
            *problem = result;
            return ERR_DB_DAMAGED;
        }
    }
    return CheckRules(c, version, problem);
}

}  // namespace

STATUS DbFile::Check(const std::string &absPath, const std::string &relPath, std::string *problem) {
    problem->clear();
    if (STATUS status = CheckFileHeader(absPath)) {
        if (status == ERR_DB_DAMAGED)
            *problem = "the file is cut short or its header is damaged";
        return status;
    }
    std::unique_ptr<Connection> c;
    if (STATUS status = Connection::Open(absPath, relPath, SQLITE_OPEN_READONLY, &c))
        return status;
    // One snapshot for every check, beside writers.
    if (STATUS status = c->Begin(false))
        return status;
    STATUS status = CheckOpen(*c, problem);
    c->Rollback();
    if (status == ERR_DB_DAMAGED && problem->empty())
        *problem = "SQLite reports the file damaged";
    return status;
}

}  // namespace nsf
}  // namespace notes_internal
