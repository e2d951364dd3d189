// Item reads and writes on an open note, with the update that stores them,
// against the same values written to and read from a bare SQLite table in
// one transaction.
//
//   nsf_items [ITEMS] [ROUNDS]     defaults: 10000 items, 7 rounds
//
// Each round writes ITEMS items (half texts, half numbers), stores them with
// one NSFNoteUpdate and reads every one back; "rewrite" does the same on the
// stored note again (its update replaces the stored items). The bare side
// inserts (or replaces) the same rows and selects each by name in one
// transaction on a file of its own with the same journal settings. Medians
// are printed.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "nsf_db.h"
#include "nsf_note.h"
#include "os_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Values {
    std::vector<std::string> names;
    std::vector<std::string> texts;  // for even items
};

Values MakeValues(int count) {
    Values v;
    for (int i = 0; i < count; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "Item%05d", i);
        v.names.emplace_back(name);
        v.texts.push_back("text value " + std::to_string(i) + " of the benchmark note");
    }
    return v;
}

void Check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "nsf_items: %s failed\n", what);
        std::exit(1);
    }
}

struct NsfTimes {
    double writes, update, reads;
    double total() const { return writes + update + reads; }
};

NsfTimes NsfRound(NOTEHANDLE note, const Values &v) {
    NsfTimes t{};
    auto start = Clock::now();
    for (size_t i = 0; i < v.names.size(); i++) {
        if (i % 2 == 0) {
            Check(NSFItemSetText(note, v.names[i].c_str(), v.texts[i].data(),
                                 static_cast<WORD>(v.texts[i].size())) == NOERROR,
                  "NSFItemSetText");
        } else {
            NUMBER n = static_cast<NUMBER>(i);
            Check(NSFItemSetNumber(note, v.names[i].c_str(), &n) == NOERROR, "NSFItemSetNumber");
        }
    }
    auto written = Clock::now();
    Check(NSFNoteUpdate(note, 0) == NOERROR, "NSFNoteUpdate");
    auto stored = Clock::now();
    char buffer[256];
    size_t bytes = 0;
    for (size_t i = 0; i < v.names.size(); i++) {
        if (i % 2 == 0) {
            bytes += NSFItemGetText(note, v.names[i].c_str(), buffer, sizeof buffer);
        } else {
            NUMBER n = 0;
            Check(NSFItemGetNumber(note, v.names[i].c_str(), &n) && n == static_cast<NUMBER>(i),
                  "NSFItemGetNumber");
        }
    }
    auto read = Clock::now();
    Check(bytes > 0, "NSFItemGetText");
    t.writes = Ms(written - start);
    t.update = Ms(stored - written);
    t.reads = Ms(read - stored);
    return t;
}

void Exec(sqlite3 *db, const char *sql) {
    Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK, sql);
}

double BareRound(sqlite3 *db, sqlite3_stmt *put, sqlite3_stmt *get, const Values &v) {
    auto start = Clock::now();
    Exec(db, "BEGIN IMMEDIATE");
    for (size_t i = 0; i < v.names.size(); i++) {
        sqlite3_reset(put);
        sqlite3_bind_text(put, 1, v.names[i].data(), static_cast<int>(v.names[i].size()),
                          SQLITE_STATIC);
        if (i % 2 == 0) {
            sqlite3_bind_int(put, 2, TYPE_TEXT);
            sqlite3_bind_blob(put, 3, v.texts[i].data(), static_cast<int>(v.texts[i].size()),
                              SQLITE_STATIC);
        } else {
            NUMBER n = static_cast<NUMBER>(i);
            sqlite3_bind_int(put, 2, TYPE_NUMBER);
            sqlite3_bind_blob(put, 3, &n, sizeof n, SQLITE_TRANSIENT);
        }
        Check(sqlite3_step(put) == SQLITE_DONE, "bare insert");
    }
    size_t bytes = 0;
    for (size_t i = 0; i < v.names.size(); i++) {
        sqlite3_reset(get);
        sqlite3_bind_text(get, 1, v.names[i].data(), static_cast<int>(v.names[i].size()),
                          SQLITE_STATIC);
        Check(sqlite3_step(get) == SQLITE_ROW, "bare select");
        bytes += static_cast<size_t>(sqlite3_column_bytes(get, 0));
    }
    sqlite3_reset(get);
    Exec(db, "COMMIT");
    Check(bytes > 0, "bare read");
    return Ms(Clock::now() - start);
}

}  // namespace

int main(int argc, char **argv) {
    int items = argc > 1 ? std::atoi(argv[1]) : 10000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    if (items < 2 || rounds < 1) {
        std::fprintf(stderr, "usage: nsf_items [ITEMS] [ROUNDS]\n");
        return 2;
    }
    char pattern[] = "/tmp/nsf-items-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    std::string dir = pattern;
    {
        std::ofstream ini(dir + "/notes.ini");
        ini << "[Notes]\nDirectory=" << dir << "\nServerName=Bench/Acme\n";
    }
    std::string iniArg = "=" + dir + "/notes.ini";
    char program[] = "nsf_items";
    char *args[] = {program, iniArg.data(), nullptr};
    Check(NotesRuntimeStart(2, args) == NOERROR, "NotesRuntimeStart");
    Check(NSFDbCreate("bench.nsf", DBCLASS_BY_EXTENSION, FALSE) == NOERROR, "NSFDbCreate");
    DBHANDLE db;
    Check(NSFDbOpen("bench.nsf", &db) == NOERROR, "NSFDbOpen");

    sqlite3 *bare = nullptr;
    Check(sqlite3_open((dir + "/bare.sqlite").c_str(), &bare) == SQLITE_OK, "sqlite3_open");
    Exec(bare, "PRAGMA journal_mode=WAL");
    Exec(bare, "PRAGMA synchronous=NORMAL");
    Exec(bare, "CREATE TABLE items(name TEXT NOT NULL UNIQUE, type INTEGER, value BLOB)");
    sqlite3_stmt *put = nullptr, *get = nullptr;
    Check(sqlite3_prepare_v2(bare,
                             "INSERT OR REPLACE INTO items(name, type, value) VALUES(?1, ?2, ?3)",
                             -1, &put, nullptr) == SQLITE_OK,
          "prepare insert");
    Check(sqlite3_prepare_v2(bare, "SELECT value FROM items WHERE name=?1", -1, &get, nullptr) ==
              SQLITE_OK,
          "prepare select");

    Values values = MakeValues(items);
    std::vector<double> fresh, rewrite, bareFresh, bareRewrite, writes, updates, reads;
    for (int r = 0; r < rounds; r++) {
        // A new note: its items are written, stored and read.
        NOTEHANDLE note;
        Check(NSFNoteCreate(db, &note) == NOERROR, "NSFNoteCreate");
        NsfTimes t = NsfRound(note, values);
        fresh.push_back(t.total());
        writes.push_back(t.writes);
        updates.push_back(t.update);
        reads.push_back(t.reads);
        // The same note again: every item replaced and the stored copy rewritten.
        rewrite.push_back(NsfRound(note, values).total());
        Check(NSFNoteClose(note) == NOERROR, "NSFNoteClose");

        Exec(bare, "DELETE FROM items");
        bareFresh.push_back(BareRound(bare, put, get, values));
        bareRewrite.push_back(BareRound(bare, put, get, values));
    }

    double f = Median(fresh), rw = Median(rewrite), bf = Median(bareFresh),
           brw = Median(bareRewrite);
    std::printf("%d item writes and reads on one note, median of %d rounds\n", items, rounds);
    std::printf("  new note:     nnotes %8.2f ms (writes %.2f, update %.2f, reads %.2f)\n", f,
                Median(writes), Median(updates), Median(reads));
    std::printf("                sqlite %8.2f ms   ratio %.2f\n", bf, f / bf);
    std::printf("  stored note:  nnotes %8.2f ms\n", rw);
    std::printf("                sqlite %8.2f ms   ratio %.2f\n", brw, rw / brw);

    sqlite3_finalize(put);
    sqlite3_finalize(get);
    sqlite3_close(bare);
    NSFDbClose(db);
    NotesRuntimeEnd();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
