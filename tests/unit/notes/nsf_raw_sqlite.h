// Raw SQLite access to database files, for the tests that build files of
// older layouts, damage files behind the library's back, or look at what a
// failed write left. The tests that include it link SQLite.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "test_support.h"

namespace nsf_test {

// Runs SQL (several statements) on a file; false and a gtest failure when it
// fails.
inline bool RawExec(const std::string &path, const std::string &sql) {
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK;
    char *error = nullptr;
    ok = ok && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK;
    EXPECT_TRUE(ok) << sql << ": " << (error ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    sqlite3_close(db);
    return ok;
}

// Every row of a query as text: columns separated by "|", rows by "\n",
// BLOBs in hex. "<error: ...>" when it fails.
inline std::string RawRows(const std::string &path, const std::string &sql) {
    sqlite3 *db = nullptr;
    std::string out;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        out = std::string("<error: ") + sqlite3_errmsg(db) + ">";
    } else {
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(stmt); i++) {
                if (i)
                    out += "|";
                if (sqlite3_column_type(stmt, i) == SQLITE_BLOB) {
                    const auto *p =
                        static_cast<const unsigned char *>(sqlite3_column_blob(stmt, i));
                    static const char hex[] = "0123456789abcdef";
                    for (int j = 0; j < sqlite3_column_bytes(stmt, i); j++) {
                        out += hex[p[j] >> 4];
                        out += hex[p[j] & 15];
                    }
                } else if (const unsigned char *text = sqlite3_column_text(stmt, i)) {
                    out += reinterpret_cast<const char *>(text);
                }
            }
            out += "\n";
        }
        if (rc != SQLITE_DONE)
            out += std::string("<error: ") + sqlite3_errmsg(db) + ">";
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

inline int64_t RawInt(const std::string &path, const std::string &sql) {
    std::string rows = RawRows(path, sql);
    return rows.empty() || rows[0] == '<' ? -1 : std::stoll(rows);
}

#ifdef NSF_FIXTURE_DIR
// A database file of schema version 1, written by the library as it was
// before schema steps (fixtures/schema_v1.sql): notes 4 (icon "v1"), 8 and
// 12 (documents), 16 and 20 (profiles), 24 (view), 28 (form), 32 (agent).
inline void WriteVersionOneFile(const std::string &path) {
    RawExec(path, test_support::ReadFile(NSF_FIXTURE_DIR "/schema_v1.sql"));
}

#endif

// Every row of the tables of version 1, to tell that a file was left whole.
inline std::string VersionOneContent(const std::string &path) {
    return RawRows(path, "SELECT * FROM dbinfo ORDER BY key") +
           RawRows(path, "SELECT * FROM notes ORDER BY note_id") +
           RawRows(path, "SELECT * FROM items ORDER BY note_id, pos") +
           RawRows(path, "SELECT * FROM profiles ORDER BY note_id") +
           RawRows(path, "SELECT * FROM special ORDER BY note_class") +
           RawRows(path, "PRAGMA user_version");
}

}  // namespace nsf_test
