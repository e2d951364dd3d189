#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "nsf_profile.h"
#include "nsf_raw_sqlite.h"
#include "nsf_test_util.h"
#include "os_error.h"
#include "os_runtime.h"
#include "standin/fault.h"

namespace {

using nsf_test::NsfTest;
using test_support::FileExists;
using test_support::ReadFile;
using test_support::WriteFile;

class DbTest : public NsfTest {};

TEST_F(DbTest, CreateMakesFoldersAndAnIconNoteWithTitle) {
    ASSERT_NOERROR(NSFDbCreate("mail\\users\\jdoe.nsf", DBCLASS_BY_EXTENSION, FALSE));
    EXPECT_TRUE(FileExists(dataFile("mail/users/jdoe.nsf")));
    EXPECT_EQ(NSFDbCreate("mail/users/jdoe.nsf", DBCLASS_BY_EXTENSION, FALSE), ERR_DB_EXISTS);

    DBHANDLE db;
    ASSERT_NOERROR(NSFDbOpen("mail/users/jdoe.nsf", &db));
    WORD build = 0;
    ASSERT_NOERROR(NSFDbGetBuildVersion(db, &build));
    EXPECT_EQ(build, STANDIN_DEFAULT_BUILD_VERSION);

    NOTEID iconId = 0;
    ASSERT_NOERROR(NSFDbGetSpecialNoteID(db, SPECIAL_ID_NOTE | NOTE_CLASS_ICON, &iconId));
    EXPECT_NE(iconId, 0u);
    NOTEID none = 1;
    EXPECT_EQ(NSFDbGetSpecialNoteID(db, SPECIAL_ID_NOTE | NOTE_CLASS_ACL, &none), ERR_SPECIAL_ID);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(NSFDbGetSpecialNoteID(db, NOTE_CLASS_ICON, &none), ERR_SPECIAL_ID)
        << "an index without SPECIAL_ID_NOTE";

    NOTEHANDLE icon;
    ASSERT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    EXPECT_EQ(nsf_test::NoteId(icon), iconId);
    WORD noteClass = 0;
    NSFNoteGetInfo(icon, _NOTE_CLASS, &noteClass);
    EXPECT_EQ(noteClass, NOTE_CLASS_ICON);
    EXPECT_EQ(nsf_test::Text(icon, "$TITLE"), "jdoe");
    EXPECT_EQ(nsf_test::NoteOid(icon).Sequence, 1u);
    EXPECT_NOERROR(NSFNoteClose(icon));
    EXPECT_NOERROR(NSFDbClose(db));
}

TEST_F(DbTest, ForceCreationReplacesTheDatabase) {
    DBHANDLE db = CreateAndOpen("a.nsf");
    StoreNote(db, {{"Subject", "old"}});
    EXPECT_EQ(nsf_test::NoteIds(db).size(), 2u);
    EXPECT_EQ(NSFDbCreate("a.nsf", DBCLASS_BY_EXTENSION, TRUE), ERR_DB_BUSY)
        << "an open database cannot be replaced under its users";
    ASSERT_NOERROR(NSFDbClose(db));
    ASSERT_NOERROR(NSFDbCreate("a.nsf", DBCLASS_BY_EXTENSION, TRUE));
    ASSERT_NOERROR(NSFDbOpen("a.nsf", &db));
    EXPECT_EQ(nsf_test::NoteIds(db).size(), 1u) << "only the new icon note";
    EXPECT_NOERROR(NSFDbClose(db));
    EXPECT_EQ(NSFDbCreate("b.nsf", 0x1234, FALSE), ERR_BAD_PARAM) << "unknown database class";
    EXPECT_FALSE(FileExists(dataFile("b.nsf")));
}

TEST_F(DbTest, BuildVersionsChosenAndChanged) {
    ASSERT_NOERROR(StandinDbCreate("HCR.nsf", DBCLASS_BY_EXTENSION, 378));
    DBHANDLE db;
    ASSERT_NOERROR(NSFDbOpen("HCR.nsf", &db));
    WORD build = 0;
    ASSERT_NOERROR(NSFDbGetBuildVersion(db, &build));
    EXPECT_EQ(build, 378);
    ASSERT_NOERROR(StandinDbSetBuildVersion("HCR.nsf", 379));
    ASSERT_NOERROR(NSFDbGetBuildVersion(db, &build));
    EXPECT_EQ(build, 379) << "seen through a handle opened before the change";
    EXPECT_NOERROR(NSFDbClose(db));
    EXPECT_EQ(StandinDbSetBuildVersion("nothere.nsf", 1), ERR_NOEXIST);
    EXPECT_EQ(StandinDbCreate("HCR.nsf", 0, 1), ERR_DB_EXISTS);
}

TEST_F(DbTest, PathsInEveryFormNameTheSameFile) {
    ASSERT_NOERROR(NSFDbCreate("mail/Box.nsf", DBCLASS_BY_EXTENSION, FALSE));
    NOTEID id;
    {
        DBHANDLE db;
        ASSERT_NOERROR(NSFDbOpen("mail/Box.nsf", &db));
        id = StoreNote(db, {{"Subject", "here"}});
        ASSERT_NOERROR(NSFDbClose(db));
    }
    const std::string forms[] = {
        "mail\\Box.nsf",
        "mail//Box.nsf",
        "./mail/Box.nsf",
        "MAIL\\box.NSF",
        dataFile("mail/Box.nsf"),
        "!!mail\\Box.nsf",
        "Vanterra Test/Acme!!mail\\Box.nsf",
        "CN=Vanterra Test/O=Acme!!mail/Box.nsf",
        "cn=vanterra test/o=ACME!!mail/Box.nsf",
    };
    for (const std::string &path : forms) {
        SCOPED_TRACE(path);
        DBHANDLE db;
        ASSERT_NOERROR(NSFDbOpen(path.c_str(), &db));
        NOTEHANDLE note;
        ASSERT_NOERROR(NSFNoteOpen(db, id, 0, &note));
        EXPECT_EQ(nsf_test::Text(note, "Subject"), "here");
        EXPECT_NOERROR(NSFNoteClose(note));
        EXPECT_NOERROR(NSFDbClose(db));
    }
}

TEST_F(DbTest, ANewDatabaseGoesIntoTheFolderThatIsThereInAnyCase) {
    std::filesystem::create_directories(dataFile("Mail/Users"));
    ASSERT_NOERROR(NSFDbCreate("MAIL\\users\\New\\x.nsf", 0, FALSE));
    EXPECT_TRUE(FileExists(dataFile("Mail/Users/New/x.nsf")));
    EXPECT_FALSE(FileExists(dataFile("MAIL")));
    DBHANDLE db;
    ASSERT_NOERROR(NSFDbOpen("mail/USERS/new/X.NSF", &db));
    EXPECT_NOERROR(NSFDbClose(db));
}

TEST_F(DbTest, TemplateClassFollowsTheExtension) {
    // A template and a database are both plain database files here; what
    // differs is the class recorded, and both open alike.
    ASSERT_NOERROR(NSFDbCreate("HCR.ntf", DBCLASS_BY_EXTENSION, FALSE));
    ASSERT_NOERROR(NSFDbCreate("other.ntf", DBCLASS_NOTEFILE, FALSE));
    for (const char *path : {"HCR.ntf", "other.ntf"}) {
        DBHANDLE db;
        EXPECT_NOERROR(NSFDbOpen(path, &db));
        EXPECT_NOERROR(NSFDbClose(db));
    }
}

// Files that are not databases, and databases damaged in several ways.
class DamagedDbTest : public NsfTest {
  protected:
    // A real database of many pages, closed so that its file holds it all.
    std::string MakeGoodDatabase() {
        DBHANDLE db = CreateAndOpen("good.nsf");
        for (int i = 0; i < 60; i++)
            StoreNote(db, {{"Subject", "note " + std::to_string(i)},
                           {"Body", std::string(1500, static_cast<char>('a' + i % 26))}});
        EXPECT_NOERROR(NSFDbClose(db));
        std::string bytes = ReadFile(dataFile("good.nsf"));
        EXPECT_GT(bytes.size(), 40000u);
        EXPECT_TRUE(!FileExists(dataFile("good.nsf-wal")) ||
                    ReadFile(dataFile("good.nsf-wal")).empty())
            << "the log was folded in on close";
        return bytes;
    }

    void MakeSqliteFile(const std::string &path, const char *sql) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }

    // The status of the open. A database that opens is read to the end,
    // which may fail but must not crash.
    STATUS OpenStatus(const char *path) {
        DBHANDLE db = NULLHANDLE;
        STATUS status = NSFDbOpen(path, &db);
        if (status != NOERROR) {
            EXPECT_EQ(db, NULLHANDLE);
            return status;
        }
        for (NOTEID id : nsf_test::NoteIds(db)) {
            NOTEHANDLE note;
            if (NSFNoteOpen(db, id, 0, &note) == NOERROR)
                NSFNoteClose(note);
        }
        NSFDbClose(db);
        return status;
    }
};

TEST_F(DamagedDbTest, FilesThatAreNotDatabases) {
    WriteFile(dataFile("text.nsf"), "This is a letter, not a database.\n");
    WriteFile(dataFile("empty.nsf"), "");
    std::filesystem::create_directory(dataFile("folder.nsf"));
    MakeSqliteFile(dataFile("foreign.nsf"), "CREATE TABLE t(x); INSERT INTO t VALUES(1);");

    EXPECT_EQ(OpenStatus("missing.nsf"), ERR_NOEXIST);
    EXPECT_EQ(OpenStatus("nofolder/missing.nsf"), ERR_NOEXIST);
    EXPECT_EQ(ERR_NOEXIST, 0x0103);
    EXPECT_EQ(OpenStatus("text.nsf"), ERR_NOT_NSF);
    EXPECT_EQ(OpenStatus("empty.nsf"), ERR_NOT_NSF);
    EXPECT_EQ(OpenStatus("folder.nsf"), ERR_NOT_NSF);
    EXPECT_EQ(OpenStatus("foreign.nsf"), ERR_NOT_NSF) << "an SQLite file of another program";
    EXPECT_EQ(ReadFile(dataFile("text.nsf")), "This is a letter, not a database.\n")
        << "a failed open must not touch the file";
    EXPECT_EQ(OpenStatus(""), ERR_BAD_PATH);
    EXPECT_EQ(OpenStatus("folder.nsf/"), ERR_BAD_PATH);
    EXPECT_EQ(NSFDbOpen(nullptr, nullptr), ERR_BAD_PARAM);
    DBHANDLE db;
    EXPECT_EQ(NSFDbOpen(nullptr, &db), ERR_BAD_PATH);

    // The check tells files that are no databases as the open does.
    for (const char *path :
         {"missing.nsf", "text.nsf", "empty.nsf", "folder.nsf", "foreign.nsf", "", "folder.nsf/"}) {
        SCOPED_TRACE(path);
        char problem[64] = "sentinel";
        EXPECT_EQ(StandinDbCheck(path, problem, sizeof problem), NSFDbOpen(path, &db));
        EXPECT_STREQ(problem, "");
    }
}

TEST_F(DamagedDbTest, TheOpenFindsACutFileTheCheckFindsTheRestNothingCrashes) {
    std::string good = MakeGoodDatabase();
    ASSERT_EQ(OpenStatus("good.nsf"), NOERROR);
    char problem[200] = "sentinel";
    ASSERT_EQ(StandinDbCheck("good.nsf", problem, sizeof problem), NOERROR);
    EXPECT_STREQ(problem, "");

    struct Case {
        const char *name;
        std::string bytes;
        bool atOpen;  // the open reads the header and the schema only
    };
    auto overwrite = [&](size_t from, size_t count) {
        std::string bytes = good;
        for (size_t i = from; i < from + count && i < bytes.size(); i++)
            bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
        return bytes;
    };
    std::string badHeader = good;
    for (size_t i = 16; i < 100; i++)
        badHeader[i] = static_cast<char>(0xEE);
    const Case cases[] = {
        {"cut inside the magic", good.substr(0, 10), true},
        {"cut inside the header", good.substr(0, 60), true},
        {"first page only", good.substr(0, 4096), true},
        {"cut in half", good.substr(0, good.size() / 2), true},
        {"cut by one page", good.substr(0, good.size() - 4096), true},
        {"garbage header", badHeader, true},
        {"garbage in early pages", overwrite(8192, 4096 * 3), false},
        {"garbage in the last pages", overwrite(good.size() - 4096 * 2, 4096), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dataFile("damaged.nsf"), c.bytes);
        STATUS status = OpenStatus("damaged.nsf");  // then reads every note
        if (c.atOpen)
            EXPECT_EQ(status, ERR_DB_DAMAGED) << "status 0x" << std::hex << status;
        else
            EXPECT_EQ(status, NOERROR) << "the open did not read the damaged pages";
        std::strcpy(problem, "sentinel");
        status = StandinDbCheck("damaged.nsf", problem, sizeof problem);
        EXPECT_TRUE(status == ERR_DB_DAMAGED || status == ERR_DB_IO)
            << "status 0x" << std::hex << status;
        if (status == ERR_DB_DAMAGED) {
            EXPECT_STRNE(problem, "") << "the check tells what it found";
        }
        std::filesystem::remove(dataFile("damaged.nsf"));
    }
    EXPECT_EQ(OpenStatus("good.nsf"), NOERROR) << "the original is untouched";
}

TEST_F(DamagedDbTest, OurFileWithAWrongSchemaIsDamaged) {
    char sql[200];
    std::snprintf(sql, sizeof sql,
                  "PRAGMA application_id=%d; PRAGMA user_version=1; CREATE TABLE notes(x);",
                  0x4E534631);
    MakeSqliteFile(dataFile("schema.nsf"), sql);
    EXPECT_EQ(OpenStatus("schema.nsf"), ERR_DB_DAMAGED);

    // A database whose items table was replaced by something else.
    DBHANDLE db = CreateAndOpen("changed.nsf");
    ASSERT_NOERROR(NSFDbClose(db));
    MakeSqliteFile(dataFile("changed.nsf"), "DROP TABLE items; CREATE TABLE items(x);");
    ASSERT_EQ(NSFDbOpen("changed.nsf", &db), NOERROR) << "the tables are all there";
    NOTEHANDLE note;
    EXPECT_EQ(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &note), ERR_DB_DAMAGED);
    ASSERT_NOERROR(NSFNoteCreate(db, &note));
    ASSERT_NOERROR(NSFItemSetText(note, "A", "b", 1));
    EXPECT_EQ(NSFNoteUpdate(note, 0), ERR_DB_DAMAGED);
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_NOERROR(NSFDbClose(db));
}

// Files of older and newer schema versions.
class SchemaTest : public NsfTest {
  protected:
    std::string Schema(const std::string &path) {
        return nsf_test::RawRows(
            path, "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name");
    }
    std::string Text(DBHANDLE db, NOTEID id, const char *item) {
        NOTEHANDLE note;
        if (NSFNoteOpen(db, id, 0, &note) != NOERROR)
            return "<no note>";
        std::string text = nsf_test::Text(note, item);
        EXPECT_NOERROR(NSFNoteClose(note));
        return text;
    }
    std::string ProfileField(DBHANDLE db, const std::string &profile, const std::string &user,
                             const std::string &field) {
        WORD type = 0;
        BLOCKID block{};
        DWORD length = 0;
        if (NSFProfileGetField(db, profile.data(), static_cast<WORD>(profile.size()), user.data(),
                               static_cast<WORD>(user.size()), field.data(),
                               static_cast<WORD>(field.size()), &type, &block, &length) != NOERROR)
            return "<missing>";
        const char *p = OSLockBlock(char, block);
        std::string value(p + 2, length - 2);
        OSUnlockBlock(block);
        EXPECT_NOERROR(OSMemFree(block.pool));
        return value;
    }
};

TEST_F(SchemaTest, AVersionOneFileIsUpgradedByItsFirstOpenAndKeepsEverything) {
    const std::string path = dataFile("old.nsf");
    nsf_test::WriteVersionOneFile(path);
    ASSERT_EQ(nsf_test::RawInt(path, "PRAGMA user_version"), 1);
    const std::string notesBefore = nsf_test::RawRows(
        path, "SELECT note_id, unid, seq, seq_time, note_class, flags, modified FROM notes");
    const std::string valuesBefore =
        nsf_test::RawRows(path, "SELECT note_id, pos, name, type, flags, value FROM items");

    DBHANDLE db;
    ASSERT_NOERROR(NSFDbOpen("old.nsf", &db));
    DBHANDLE fresh = CreateAndOpen("new.nsf");
    EXPECT_NOERROR(NSFDbClose(fresh));
    EXPECT_EQ(Schema(path), Schema(dataFile("new.nsf")))
        << "an upgraded file has the schema of a new one";
    EXPECT_EQ(nsf_test::RawInt(path, "PRAGMA user_version"),
              nsf_test::RawInt(dataFile("new.nsf"), "PRAGMA user_version"));
    EXPECT_EQ(nsf_test::RawRows(path,
                                "SELECT note_id, unid, seq, seq_time, note_class, flags,"
                                " modified FROM notes"),
              notesBefore);
    EXPECT_EQ(nsf_test::RawRows(path, "SELECT note_id, pos, name, type, flags, value FROM items"),
              valuesBefore)
        << "every item as it was";

    EXPECT_EQ(nsf_test::NoteIds(db), (std::vector<NOTEID>{4, 8, 12, 16, 20, 24, 28, 32}));
    EXPECT_EQ(Text(db, 8, "Subject"), "First");
    EXPECT_EQ(Text(db, 8, "BODY"), std::string("line one\0line two", 17));
    EXPECT_EQ(Text(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, "$TITLE"), "v1");
    // Lookups by the keys in the file: the upgrade folded the code page 850
    // capitals that version 1 kept.
    EXPECT_EQ(ProfileField(db, "outofofficeprofile", "", "\x84NDERUNGSGRUND"), "Urlaub");
    EXPECT_EQ(ProfileField(db, "\x84-PROFIL", "j\x94rg roe/acme", "wert"), "1");
    NOTEHANDLE profile;
    const std::string user = "CN=J\x94RG Roe/O=Acme";
    ASSERT_NOERROR(NSFProfileOpen(db, "\x84-profil", 8, user.data(), static_cast<WORD>(user.size()),
                                  TRUE, &profile));
    EXPECT_EQ(nsf_test::NoteId(profile), 20u);
    EXPECT_NOERROR(NSFNoteClose(profile));

    NOTEID added = StoreNote(db, {{"Subject", "after"}});
    EXPECT_EQ(added, 36u) << "note IDs go on from where they were";
    EXPECT_NOERROR(NSFDbClose(db));
    char problem[200];
    EXPECT_EQ(StandinDbCheck("old.nsf", problem, sizeof problem), NOERROR) << problem;
}

TEST_F(SchemaTest, AFailedUpgradeLeavesTheFileAtItsOldVersionWhole) {
    const std::string path = dataFile("old.nsf");
    nsf_test::WriteVersionOneFile(path);
    const std::string before = nsf_test::VersionOneContent(path);
    ASSERT_NE(before.find("8e6e646572756e67736772756e64"), std::string::npos)
        << "the fixture holds a key that the upgrade refolds";

    // Fail each step of the open in turn, until the open gets through.
    unsigned skip = 0, upgraded = 0;
    STATUS status;
    DBHANDLE db = NULLHANDLE;
    for (;; skip++) {
        StandinFaultClear();
        StandinFaultInject({"SQLiteStep", ERR_DB_IO, skip, 1, "old.nsf"});
        status = NSFDbOpen("old.nsf", &db);
        if (StandinFaultHits("SQLiteStep") == 0)
            break;
        StandinFaultClear();
        ASSERT_EQ(status, ERR_DB_IO) << "step " << skip;
        EXPECT_EQ(db, NULLHANDLE);
        if (nsf_test::RawInt(path, "PRAGMA user_version") == 1) {
            EXPECT_EQ(nsf_test::VersionOneContent(path), before) << "step " << skip;
            EXPECT_EQ(nsf_test::RawInt(path,
                                       "SELECT count(*) FROM sqlite_master WHERE name IN"
                                       " ('indexes', 'design', 'notes_by_change')"),
                      0)
                << "step " << skip;
        } else {
            // The upgrade was committed whole; a later step of the open failed.
            EXPECT_EQ(StandinDbCheck("old.nsf", nullptr, 0), NOERROR) << "step " << skip;
            upgraded++;
        }
        ASSERT_LT(skip, 200u);
    }
    StandinFaultClear();
    EXPECT_GE(skip - upgraded, 20u) << "the upgrade has many steps, each one failed once";
    ASSERT_NOERROR(status);
    EXPECT_EQ(nsf_test::NoteIds(db).size(), 8u);
    EXPECT_NOERROR(NSFDbClose(db));
    EXPECT_GT(nsf_test::RawInt(path, "PRAGMA user_version"), 1);
}

TEST_F(SchemaTest, VersionsThatCannotBeOpenedAreRefusedAndLeftAlone) {
    struct Case {
        const char *name;
        const char *sql;  // run on a version 1 file
        STATUS status;
    };
    const Case cases[] = {
        {"a newer version", "PRAGMA user_version=99", ERR_DB_NEWER_SCHEMA},
        {"version 0", "PRAGMA user_version=0", ERR_DB_DAMAGED},
        {"a table of version 1 missing", "DROP TABLE special", ERR_DB_DAMAGED},
        {"another program's file", "PRAGMA application_id=7", ERR_NOT_NSF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dataFile("odd.nsf");
        std::filesystem::remove(path);
        nsf_test::WriteVersionOneFile(path);
        ASSERT_TRUE(nsf_test::RawExec(path, c.sql));
        const std::string before = nsf_test::RawRows(path, "PRAGMA user_version") +
                                   nsf_test::RawRows(path, "SELECT * FROM notes");
        DBHANDLE db = NULLHANDLE;
        EXPECT_EQ(NSFDbOpen("odd.nsf", &db), c.status);
        EXPECT_EQ(db, NULLHANDLE);
        EXPECT_EQ(StandinDbCheck("odd.nsf", nullptr, 0), c.status);
        EXPECT_EQ(nsf_test::RawRows(path, "PRAGMA user_version") +
                      nsf_test::RawRows(path, "SELECT * FROM notes"),
                  before);
    }
    EXPECT_EQ(ERR_DB_NEWER_SCHEMA, 0x0210);
}

TEST_F(SchemaTest, TheCheckFindsWhatTheOpenLeavesOut) {
    DBHANDLE db = CreateAndOpen("good.nsf");
    NOTEID doc = StoreNote(db, {{"Subject", "one"}});
    ASSERT_EQ(doc, 8u);
    ASSERT_NOERROR(NSFDbClose(db));
    const std::string good = ReadFile(dataFile("good.nsf"));

    struct Case {
        const char *sql;      // run on a copy of the good file
        const char *problem;  // the start of what the check tells
    };
    const Case cases[] = {
        {"DELETE FROM notes WHERE note_id=8", "an item of a missing or deleted note (note ID 0x8)"},
        {"UPDATE notes SET deleted=1 WHERE note_id=8", "an item of a missing or deleted note"},
        {"INSERT INTO profiles VALUES(X'7a', X'', 999)", "a profile that is a missing"},
        {"UPDATE special SET note_id=8", "a special note that is missing, deleted or of another"},
        {"UPDATE dbinfo SET value=8 WHERE key='next_note_id'", "a note ID that is not below"},
        {"UPDATE dbinfo SET value=0 WHERE key='changes'", "a note changed after the change"},
        {"INSERT INTO design VALUES(8, X'61', 8)", "a design title of a missing or deleted note"},
        {"UPDATE items SET name_key=X'5375626a656374' WHERE note_id=8",
         "an item whose key does not fit its name (note ID 0x8)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sql);
        WriteFile(dataFile("bad.nsf"), good);
        ASSERT_TRUE(nsf_test::RawExec(dataFile("bad.nsf"), c.sql));
        ASSERT_EQ(NSFDbOpen("bad.nsf", &db), NOERROR) << "the open does not read this far";
        EXPECT_NOERROR(NSFDbClose(db));
        char problem[200] = "sentinel";
        EXPECT_EQ(StandinDbCheck("bad.nsf", problem, sizeof problem), ERR_DB_DAMAGED);
        EXPECT_EQ(std::string(problem).rfind(c.problem, 0), 0u) << problem;
        std::filesystem::remove(dataFile("bad.nsf"));
    }

    char small[10];
    WriteFile(dataFile("bad.nsf"), good);
    nsf_test::RawExec(dataFile("bad.nsf"), cases[0].sql);
    EXPECT_EQ(StandinDbCheck("bad.nsf", small, sizeof small), ERR_DB_DAMAGED);
    EXPECT_STREQ(small, "an item o") << "cut to the buffer";
    EXPECT_EQ(StandinDbCheck("bad.nsf", nullptr, 5), ERR_BAD_PARAM);
    StandinFaultInject({"StandinDbCheck", ERR_DB_IO, 0, 1, "good.nsf"});
    EXPECT_EQ(StandinDbCheck("bad.nsf", nullptr, 0), ERR_DB_DAMAGED) << "the rule names good.nsf";
    EXPECT_EQ(StandinDbCheck("good.nsf", nullptr, 0), ERR_DB_IO);
    EXPECT_EQ(StandinDbCheck("good.nsf", nullptr, 0), NOERROR);
}

class ServerTest : public NsfTest {
  protected:
    test_support::TempDir otherServer_;
};

TEST_F(ServerTest, PathNetConstruct) {
    char path[MAXPATH];
    struct Case {
        const char *server, *file, *expected;
    };
    const Case cases[] = {
        {nullptr, "mail\\jdoe.nsf", "mail\\jdoe.nsf"},
        {"", "names.nsf", "names.nsf"},
        {"CN=Mail2/O=Acme", "mail\\jdoe.nsf", "CN=Mail2/O=Acme!!mail\\jdoe.nsf"},
    };
    for (const Case &c : cases) {
        ASSERT_NOERROR(OSPathNetConstruct(nullptr, c.server, c.file, path));
        EXPECT_STREQ(path, c.expected);
    }
    std::string longName(MAXPATH - 5, 'x');
    ASSERT_EQ(OSPathNetConstruct(nullptr, "ab", longName.c_str(), path), NOERROR)
        << "255 bytes and the terminator fit";
    EXPECT_EQ(std::strlen(path), MAXPATH - 1u);
    std::string tooLong(MAXPATH - 4, 'x');
    EXPECT_EQ(OSPathNetConstruct(nullptr, "ab", tooLong.c_str(), path), ERR_PATH_TOO_LONG);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(OSPathNetConstruct(nullptr, "ab", nullptr, path), ERR_BAD_PARAM);
}

TEST_F(ServerTest, RegisteredServersServeTheirOwnDataDirectory) {
    ASSERT_NOERROR(StandinServerRegister("CN=Mail2/O=Acme", otherServer_.path().c_str()));
    ASSERT_NOERROR(NSFDbCreate("Mail2/Acme!!mail\\jdoe.nsf", DBCLASS_BY_EXTENSION, FALSE));
    EXPECT_TRUE(FileExists(otherServer_.file("mail/jdoe.nsf")));
    EXPECT_FALSE(FileExists(dataFile("mail/jdoe.nsf")));

    DBHANDLE db;
    ASSERT_NOERROR(NSFDbOpen("mail2/acme!!mail/jdoe.nsf", &db));
    EXPECT_NOERROR(NSFDbClose(db));
    EXPECT_EQ(NSFDbOpen("mail/jdoe.nsf", &db), ERR_NOEXIST) << "not on the local server";

    ASSERT_NOERROR(StandinServerSetDown("Mail2/Acme", TRUE));
    EXPECT_EQ(NSFDbOpen("CN=Mail2/O=Acme!!mail\\jdoe.nsf", &db), ERR_SERVER_NOT_RESPONDING);
    EXPECT_EQ(ERR_SERVER_NOT_RESPONDING, 0x0A02);
    EXPECT_EQ(NSFDbCreate("CN=Mail2/O=Acme!!new.nsf", 0, FALSE), ERR_SERVER_NOT_RESPONDING);
    ASSERT_NOERROR(StandinServerRegister("Mail2/Acme", otherServer_.path().c_str()));
    EXPECT_EQ(NSFDbOpen("CN=Mail2/O=Acme!!mail\\jdoe.nsf", &db), ERR_SERVER_NOT_RESPONDING)
        << "registering again keeps the down mark";
    ASSERT_NOERROR(StandinServerSetDown("CN=Mail2/O=Acme", FALSE));
    ASSERT_NOERROR(NSFDbOpen("CN=Mail2/O=Acme!!mail\\jdoe.nsf", &db));
    EXPECT_NOERROR(NSFDbClose(db));

    EXPECT_EQ(NSFDbOpen("Mail3/Acme!!mail/jdoe.nsf", &db), ERR_UNKNOWN_SERVER);
    EXPECT_EQ(StandinServerSetDown("Mail3/Acme", TRUE), ERR_UNKNOWN_SERVER);
    EXPECT_EQ(StandinServerRegister("bad|name", "/tmp"), ERR_BAD_PARAM);
    EXPECT_EQ(StandinServerRegister("ok", ""), ERR_BAD_PARAM);
}

TEST_F(ServerTest, HandWrittenRegistry) {
    std::filesystem::create_directory(dataFile("mail3"));
    WriteFile(dataFile("servers.ini"),
              "# servers of the test cluster\n"
              "; another comment\n"
              "\n"
              "not a server line\n"
              "CN=Mail3/O=Acme | mail3\n"
              "Mail4/Acme|" +
                  otherServer_.path() +
                  "|DOWN\n"
                  "Mail5/Acme | /no/such/folder\n");
    ASSERT_EQ(NSFDbCreate("Mail3/Acme!!x.nsf", 0, FALSE), NOERROR) << "relative directory";
    EXPECT_TRUE(FileExists(dataFile("mail3/x.nsf")));
    DBHANDLE db;
    EXPECT_EQ(NSFDbOpen("Mail4/Acme!!x.nsf", &db), ERR_SERVER_NOT_RESPONDING);
    EXPECT_EQ(NSFDbOpen("Mail5/Acme!!x.nsf", &db), ERR_SERVER_NOT_RESPONDING)
        << "a server whose data directory is gone";
    EXPECT_EQ(NSFDbOpen("not a server line!!x.nsf", &db), ERR_UNKNOWN_SERVER);

    ASSERT_NOERROR(StandinServerSetDown("Mail4/Acme", FALSE));
    std::string registry = ReadFile(dataFile("servers.ini"));
    EXPECT_NE(registry.find("# servers of the test cluster"), std::string::npos)
        << "comments survive a change";
    EXPECT_NE(registry.find("CN=Mail3/O=Acme | mail3"), std::string::npos);
    ASSERT_NOERROR(NSFDbCreate("Mail4/Acme!!x.nsf", 0, FALSE));
}

TEST_F(DbTest, HandlesOfTheWrongKindClosedOrUnknown) {
    DBHANDLE db = CreateAndOpen("a.nsf");
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db, &note));
    DHANDLE memory;
    ASSERT_NOERROR(OSMemAlloc(0, 4, &memory));
    WORD build;
    NOTEID id;
    EXPECT_EQ(NSFDbGetBuildVersion(memory, &build), ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(NSFDbGetBuildVersion(note, &build), ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(NSFDbClose(note), ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(NSFDbGetSpecialNoteID(0x7FFFFFF0, SPECIAL_ID_NOTE | NOTE_CLASS_ICON, &id),
              ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFNoteClose(db), ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(NSFDbGetBuildVersion(db, nullptr), ERR_BAD_PARAM);
    EXPECT_NOERROR(OSMemFree(memory));
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_NOERROR(NSFDbClose(db));
    EXPECT_EQ(NSFDbClose(db), ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFDbGetBuildVersion(db, &build), ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFNoteCreate(db, &note), ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFDbClose(NULLHANDLE), ERR_INVALID_HANDLE);
}

TEST_F(DbTest, EachOpenIsItsOwnHandle) {
    DBHANDLE a = CreateAndOpen("a.nsf");
    DBHANDLE b;
    ASSERT_NOERROR(NSFDbOpen("a.nsf", &b));
    EXPECT_NE(a, b);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 2u);
    ASSERT_NOERROR(NSFDbClose(a));
    WORD build;
    EXPECT_EQ(NSFDbGetBuildVersion(b, &build), NOERROR) << "closing one leaves the other open";
    EXPECT_NOERROR(NSFDbClose(b));
}

TEST_F(DbTest, NotesKeepAClosedDatabaseUsableUntilTheyClose) {
    DBHANDLE db = CreateAndOpen("a.nsf");
    NOTEID id = StoreNote(db, {{"Subject", "before"}});
    NOTEHANDLE note, fresh;
    ASSERT_NOERROR(NSFNoteOpen(db, id, 0, &note));
    ASSERT_NOERROR(NSFNoteCreate(db, &fresh));
    ASSERT_NOERROR(NSFDbClose(db));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 0u);

    DBHANDLE recorded = NULLHANDLE;
    NSFNoteGetInfo(note, _NOTE_DB, &recorded);
    EXPECT_EQ(recorded, db) << "the note still names the handle it was opened through";
    ASSERT_NOERROR(NSFItemSetText(note, "Subject", "after", MAXWORD));
    EXPECT_NOERROR(NSFNoteUpdate(note, 0));
    ASSERT_NOERROR(NSFItemSetText(fresh, "Subject", "new", MAXWORD));
    EXPECT_NOERROR(NSFNoteUpdate(fresh, 0));
    NOTEID freshId = nsf_test::NoteId(fresh);
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_NOERROR(NSFNoteClose(fresh));

    ASSERT_NOERROR(NSFDbOpen("a.nsf", &db));
    ASSERT_NOERROR(NSFNoteOpen(db, id, 0, &note));
    EXPECT_EQ(nsf_test::Text(note, "Subject"), "after");
    EXPECT_NOERROR(NSFNoteClose(note));
    ASSERT_NOERROR(NSFNoteOpen(db, freshId, 0, &note));
    EXPECT_EQ(nsf_test::Text(note, "Subject"), "new");
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_NOERROR(NSFDbClose(db));
}

TEST_F(DbTest, NoteIdsListEveryNoteInOrder) {
    DBHANDLE db = CreateAndOpen("a.nsf");
    std::vector<NOTEID> stored;
    NOTEID icon;
    ASSERT_NOERROR(NSFDbGetSpecialNoteID(db, SPECIAL_ID_NOTE | NOTE_CLASS_ICON, &icon));
    stored.push_back(icon);
    for (int i = 0; i < 5; i++)
        stored.push_back(StoreNote(db, {{"N", std::to_string(i)}}));
    EXPECT_EQ(nsf_test::NoteIds(db), stored);
    NOTEID two[2] = {};
    DWORD count = 0;
    ASSERT_NOERROR(StandinDbNoteIDs(db, two, 2, &count));
    EXPECT_EQ(count, 6u) << "the count of all notes, beyond the capacity";
    EXPECT_EQ(two[0], stored[0]);
    EXPECT_EQ(two[1], stored[1]);
    EXPECT_EQ(StandinDbNoteIDs(db, nullptr, 3, &count), ERR_BAD_PARAM);
    EXPECT_NOERROR(NSFDbClose(db));
}

TEST_F(DbTest, FaultsNameOneDatabase) {
    ASSERT_NOERROR(NSFDbCreate("mail/a.nsf", 0, FALSE));
    ASSERT_NOERROR(NSFDbCreate("mail/b.nsf", 0, FALSE));
    ASSERT_NOERROR(StandinServerRegister("Mail2/Acme", dataDir().c_str()));
    StandinFaultInject({"NSFDbOpen", ERR_SERVER_NOT_RESPONDING, 0, 0, "mail\\a.nsf"});
    DBHANDLE db;
    EXPECT_EQ(NSFDbOpen("mail/a.nsf", &db), ERR_SERVER_NOT_RESPONDING);
    EXPECT_EQ(NSFDbOpen("Mail2/Acme!!mail\\a.nsf", &db), ERR_SERVER_NOT_RESPONDING)
        << "rules name the file on its server";
    ASSERT_NOERROR(NSFDbOpen("mail/b.nsf", &db));
    StandinFaultInject({"NSFDbGetBuildVersion", ERR_DB_IO, 1, 1, nullptr});
    WORD build;
    EXPECT_NOERROR(NSFDbGetBuildVersion(db, &build));
    EXPECT_EQ(NSFDbGetBuildVersion(db, &build), ERR_DB_IO);
    EXPECT_NOERROR(NSFDbGetBuildVersion(db, &build));
    StandinFaultInject({"NSFDbClose", ERR_DB_IO, 0, 1, nullptr});
    EXPECT_EQ(NSFDbClose(db), ERR_DB_IO);
    EXPECT_EQ(NSFDbClose(db), NOERROR) << "a failed close leaves the handle open";
    EXPECT_EQ(StandinFaultHits("NSFDbOpen"), 2u);
}

TEST_F(DbTest, EndOfRuntimeClosesEverything) {
    DWORD before = StandinHandleCount(STANDIN_HANDLE_ANY);
    DBHANDLE db = CreateAndOpen("a.nsf");
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &note));
    ASSERT_NOERROR(NSFItemSetText(note, "X", "y", 1));
    EXPECT_GE(StandinHandleCount(STANDIN_HANDLE_ANY), before + 4);
    NotesRuntimeEnd();
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), before);
    EXPECT_EQ(NSFNoteClose(note), ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFDbOpen("a.nsf", &db), ERR_NOT_INITIALIZED);

    std::string arg = "=" + iniPath();
    char program[] = "unit-test";
    char *argv[] = {program, arg.data(), nullptr};
    ASSERT_NOERROR(NotesRuntimeStart(2, argv));
    ASSERT_EQ(NSFDbOpen("a.nsf", &db), NOERROR) << "the runtime starts again on the same files";
    EXPECT_NOERROR(NSFDbClose(db));
}

class BusyDbTest : public NsfTest {
  protected:
    std::vector<std::string> IniLines() const override { return {"StandinDbBusyTimeout=300"}; }
};

TEST_F(BusyDbTest, AWriterHeldElsewhereGivesBusyAfterTheTimeOutAndLosesNothing) {
    DBHANDLE db = CreateAndOpen("a.nsf");
    NOTEID id = StoreNote(db, {{"Subject", "one"}});

    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(dataFile("a.nsf").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    NOTEHANDLE note;
    ASSERT_EQ(NSFNoteOpen(db, id, 0, &note), NOERROR) << "reading goes on beside a writer";
    ASSERT_NOERROR(NSFItemSetText(note, "Subject", "two", MAXWORD));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NSFNoteUpdate(note, 0), ERR_DB_BUSY);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(60)) << "gave up, but long after its time-out";

    // Let go of the lock from another thread while the update waits.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR) << "the same copy is stored once the writer is done";
    release.join();
    sqlite3_close(other);
    EXPECT_NOERROR(NSFNoteClose(note));
    ASSERT_NOERROR(NSFNoteOpen(db, id, 0, &note));
    EXPECT_EQ(nsf_test::Text(note, "Subject"), "two");
    EXPECT_EQ(nsf_test::NoteOid(note).Sequence, 2u);
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_NOERROR(NSFDbClose(db));
}

TEST_F(DbTest, ManyThreadsWorkOnOneDatabase) {
    ASSERT_NOERROR(NSFDbCreate("shared.nsf", 0, FALSE));
    constexpr int kThreads = 8, kNotes = 5, kRounds = 10;
    std::vector<std::thread> threads;
    std::vector<STATUS> failures(kThreads, NOERROR);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t, &failures] {
            auto check = [&](STATUS s) {
                if (s != NOERROR && failures[t] == NOERROR)
                    failures[t] = s;
            };
            DBHANDLE db;
            check(NSFDbOpen("shared.nsf", &db));
            std::vector<NOTEID> ids;
            for (int n = 0; n < kNotes; n++) {
                NOTEHANDLE note;
                check(NSFNoteCreate(db, &note));
                check(NSFItemSetText(note, "Owner", std::to_string(t).c_str(), MAXWORD));
                check(NSFNoteUpdate(note, 0));
                ids.push_back(nsf_test::NoteId(note));
                check(NSFNoteClose(note));
            }
            for (int r = 1; r <= kRounds; r++) {
                for (NOTEID id : ids) {
                    NOTEHANDLE note;
                    check(NSFNoteOpen(db, id, 0, &note));
                    NUMBER round = r;
                    check(NSFItemSetNumber(note, "Round", &round));
                    check(NSFNoteUpdate(note, 0));
                    check(NSFNoteClose(note));
                }
            }
            check(NSFDbClose(db));
        });
    }
    for (auto &thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; t++)
        EXPECT_EQ(failures[t], NOERROR) << "thread " << t;

    DBHANDLE db;
    ASSERT_NOERROR(NSFDbOpen("shared.nsf", &db));
    std::vector<NOTEID> ids = nsf_test::NoteIds(db);
    ASSERT_EQ(ids.size(), 1u + kThreads * kNotes);
    for (size_t i = 1; i < ids.size(); i++) {
        NOTEHANDLE note;
        ASSERT_NOERROR(NSFNoteOpen(db, ids[i], 0, &note));
        NUMBER round = 0;
        EXPECT_TRUE(NSFItemGetNumber(note, "Round", &round));
        EXPECT_EQ(round, kRounds);
        EXPECT_EQ(nsf_test::NoteOid(note).Sequence, 1u + kRounds);
        EXPECT_NOERROR(NSFNoteClose(note));
    }
    EXPECT_NOERROR(NSFDbClose(db));
}

}  // namespace
