#include "nif.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "directory_test_util.h"
#include "nsf_profile.h"
#include "nsf_raw_sqlite.h"
#include "os_error.h"
#include "os_mem.h"
#include "os_runtime.h"
#include "standin/fault.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "standin/status.h"

namespace {

using directory_test::ItemSpec;
using directory_test::StoreDocument;
using directory_test::StoreView;

class NifTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        db_ = CreateAndOpen("views.nsf");
    }
    void TearDown() override {
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_COLLECTION), 0u) << "collections left open";
        if (db_ != NULLHANDLE)
            EXPECT_NOERROR(NSFDbClose(db_));
        nsf_test::NsfTest::TearDown();
    }

    HCOLLECTION Open(NOTEID view) {
        HCOLLECTION collection = NULLHANDLE;
        EXPECT_NOERROR(NIFOpenCollection(db_, db_, view, 0, NULLHANDLE, &collection, nullptr,
                                         nullptr, nullptr, nullptr));
        return collection;
    }

    // Every entry of an open collection from the start, as note IDs, read
    // in as many calls as the buffers need.
    static std::vector<NOTEID> ReadAll(HCOLLECTION collection) {
        std::vector<NOTEID> ids;
        COLLECTIONPOSITION position{};
        for (;;) {
            DHANDLE buffer = NULLHANDLE;
            WORD length = 0, signal = 0;
            DWORD returned = 0;
            EXPECT_NOERROR(NIFReadEntries(collection, &position, NAVIGATE_NEXT, 1, NAVIGATE_NEXT,
                                          MAXDWORD, READ_MASK_NOTEID, &buffer, &length, nullptr,
                                          &returned, &signal));
            EXPECT_EQ(length, returned * sizeof(NOTEID));
            if (buffer != NULLHANDLE) {
                const auto *p = static_cast<const NOTEID *>(OSLockObject(buffer));
                ids.insert(ids.end(), p, p + returned);
                OSUnlockObject(buffer);
                EXPECT_NOERROR(OSMemFree(buffer));
            }
            if (!(signal & SIGNAL_MORE_TO_DO) || returned == 0)
                return ids;
        }
    }

    std::vector<NOTEID> Entries(NOTEID view) {
        HCOLLECTION collection = Open(view);
        if (collection == NULLHANDLE)
            return {};
        std::vector<NOTEID> ids = ReadAll(collection);
        EXPECT_NOERROR(NIFCloseCollection(collection));
        return ids;
    }

    // The documents of the entries that match, as GetServerAdministrators
    // reads them: the find, then the matches from its position.
    STATUS Find(HCOLLECTION collection, const char *key, WORD flags, std::vector<NOTEID> *ids) {
        ids->clear();
        COLLECTIONPOSITION position{};
        DWORD matches = 0;
        if (STATUS status = NIFFindByName(collection, key, flags, &position, &matches))
            return status;
        DHANDLE buffer = NULLHANDLE;
        DWORD returned = 0;
        if (STATUS status =
                NIFReadEntries(collection, &position, NAVIGATE_CURRENT, 0, NAVIGATE_NEXT, matches,
                               READ_MASK_NOTEID, &buffer, nullptr, nullptr, &returned, nullptr))
            return status;
        EXPECT_EQ(returned, matches);
        if (buffer != NULLHANDLE) {
            const auto *p = static_cast<const NOTEID *>(OSLockObject(buffer));
            ids->assign(p, p + returned);
            OSUnlockObject(buffer);
            EXPECT_NOERROR(OSMemFree(buffer));
        }
        return NOERROR;
    }

    std::vector<NOTEID> FindIn(NOTEID view, const char *key, WORD flags = FIND_CASE_INSENSITIVE) {
        HCOLLECTION collection = Open(view);
        std::vector<NOTEID> ids;
        STATUS status = Find(collection, key, flags, &ids);
        EXPECT_TRUE(status == NOERROR || status == ERR_NIF_KEY_NOT_FOUND) << StatusName(status);
        EXPECT_NOERROR(NIFCloseCollection(collection));
        return ids;
    }

    static std::string StatusName(STATUS status) {
        const char *name = StandinStatusName(status);
        return name ? name : std::to_string(status);
    }

    DBHANDLE db_ = NULLHANDLE;
};

// The design lookup: name or alias through the collation, the class, and
// the pattern over "$Flags".
TEST_F(NifTest, FindDesignNoteExtMatchesNameClassAndFlagPattern) {
    const NOTEID plain = StoreView(db_, "(Setup Doc) | SetupDoc", nullptr, "Server");
    const NOTEID hidden = StoreView(db_, "Servers", nullptr, "Server", "G");
    const NOTEID visible = StoreView(db_, "Servers", nullptr, "Server", "xy");
    const NOTEID form =
        agents_test::StoreDesignNote(db_, NOTE_CLASS_FORM, {ItemSpec::T("$TITLE", "Only a form")});
    StoreDocument(db_, {ItemSpec::T("$TITLE", "A document")});
    const NOTEID gone = StoreView(db_, "Gone", nullptr, "Server");
    ASSERT_NOERROR(NSFNoteDelete(db_, gone, 0));

    struct Case {
        const char *name;
        WORD noteClass;
        const char *pattern;
        NOTEID expected;  // 0: ERR_DESIGN_NOT_FOUND
    } cases[] = {
        {"(Setup Doc)", NOTE_CLASS_VIEW, "-G40n^", plain},
        {"(setup doc)", NOTE_CLASS_VIEW, "-G40n^", plain},
        {"  SETUPDOC ", NOTE_CLASS_VIEW, nullptr, plain},
        {"(Setup", NOTE_CLASS_VIEW, "", 0},
        {"Servers", NOTE_CLASS_VIEW, "", hidden},
        {"Servers", NOTE_CLASS_VIEW, "-G40n^", visible},
        {"Servers", NOTE_CLASS_VIEW, "-Gx", 0},
        {"Servers", NOTE_CLASS_VIEW, "+xG", hidden},
        {"Servers", NOTE_CLASS_VIEW, "+y", visible},
        {"Servers", NOTE_CLASS_VIEW, "yx", visible},
        {"Servers", NOTE_CLASS_VIEW, "xG", 0},
        {"Servers", NOTE_CLASS_VIEW | NOTE_CLASS_DEFAULT, "-G", visible},
        {"Only a form", NOTE_CLASS_VIEW, "", 0},
        {"Only a form", NOTE_CLASS_FORM, "-G40n^", form},
        {"A document", NOTE_CLASS_DOCUMENT, "", 0},
        {"Gone", NOTE_CLASS_VIEW, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + (c.pattern ? c.pattern : "(null)"));
        NOTEID id = 0xDEAD;
        STATUS status = NIFFindDesignNoteExt(db_, c.name, c.noteClass, c.pattern, &id, 0);
        if (c.expected == 0) {
            EXPECT_EQ(status, ERR_DESIGN_NOT_FOUND) << StatusName(status);
            EXPECT_EQ(id, 0u);
        } else {
            EXPECT_NOERROR(status);
            EXPECT_EQ(id, c.expected);
        }
    }

    NOTEID id = 0;
    EXPECT_EQ(NIFFindDesignNoteExt(db_, nullptr, NOTE_CLASS_VIEW, "", &id, 0), ERR_BAD_PARAM);
    EXPECT_EQ(NIFFindDesignNoteExt(db_, "Servers", NOTE_CLASS_VIEW, "", nullptr, 0), ERR_BAD_PARAM);
    EXPECT_EQ(NIFFindDesignNoteExt(db_, "Servers", NOTE_CLASS_VIEW, "", &id, 1), ERR_BAD_PARAM);
    EXPECT_EQ(NIFFindDesignNoteExt(NULLHANDLE, "Servers", NOTE_CLASS_VIEW, "", &id, 0),
              ERR_INVALID_HANDLE);
}

// Which documents a view holds and in which order: every value of a
// multi-value key is an entry, entries sort by key, then note ID, and only
// documents that the selection chooses (no profiles, design notes or
// deleted documents) count.
TEST_F(NifTest, EntriesFollowTheFormulasAndSortByKeyThenNoteId) {
    const NOTEID people = StoreView(db_, "People", "SELECT Form = \"Person\"", "Names : Nick");
    const NOTEID all = StoreView(db_, "All", nullptr, "Names");
    const NOTEID bob =
        StoreDocument(db_, {ItemSpec::T("Form", "Person"), ItemSpec::L("Names", {"Bob", "alice"})});
    const NOTEID al =
        StoreDocument(db_, {ItemSpec::T("Form", "Person"), ItemSpec::L("Names", {"Alice"}),
                            ItemSpec::T("Nick", "Al")});
    const NOTEID carl =
        StoreDocument(db_, {ItemSpec::T("Form", "Other"), ItemSpec::L("Names", {"Carl"})});
    StoreDocument(db_, {ItemSpec::T("Form", "Person"), ItemSpec::L("Names", {})});
    const NOTEID twice = StoreDocument(
        db_, {ItemSpec::T("Form", "Person"), ItemSpec::L("Names", {"ALICE", "alice"})});
    StoreDocument(db_, {ItemSpec::T("Form", "Person"), ItemSpec::N("Names", 7)});
    agents_test::StoreDesignNote(db_, NOTE_CLASS_FORM,
                                 {ItemSpec::T("Form", "Person"), ItemSpec::L("Names", {"Zed"})});
    const NOTEID gone =
        StoreDocument(db_, {ItemSpec::T("Form", "Person"), ItemSpec::L("Names", {"Zed"})});
    ASSERT_NOERROR(NSFNoteDelete(db_, gone, 0));
    NOTEHANDLE profile = NULLHANDLE;
    ASSERT_NOERROR(NSFProfileOpen(db_, "Prefs", 5, nullptr, 0, TRUE, &profile));
    ASSERT_NOERROR(agents_test::AppendItem(profile, ItemSpec::T("Form", "Person")));
    ASSERT_NOERROR(agents_test::AppendItem(profile, ItemSpec::L("Names", {"Zed"})));
    ASSERT_NOERROR(NSFNoteUpdate(profile, 0));
    ASSERT_NOERROR(NSFNoteClose(profile));

    // "al" (al), "alice" (bob, al, twice), "bob" (bob).
    EXPECT_EQ(Entries(people), (std::vector<NOTEID>{al, bob, al, twice, bob}));
    EXPECT_EQ(Entries(all), (std::vector<NOTEID>{bob, al, twice, bob, carl}));

    HCOLLECTION collection = Open(people);
    std::vector<NOTEID> ids;
    EXPECT_NOERROR(Find(collection, "ALICE", FIND_CASE_INSENSITIVE, &ids));
    EXPECT_EQ(ids, (std::vector<NOTEID>{bob, al, twice}));
    EXPECT_EQ(Find(collection, "alice", FIND_FIRST_EQUAL, &ids), NOERROR) << "the view's collation";
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_NOERROR(Find(collection, "Al", FIND_CASE_INSENSITIVE, &ids));
    EXPECT_EQ(ids, (std::vector<NOTEID>{al}));
    EXPECT_NOERROR(Find(collection, "Al", FIND_PARTIAL, &ids));
    EXPECT_EQ(ids, (std::vector<NOTEID>{al, bob, al, twice}));

    COLLECTIONPOSITION position{};
    DWORD matches = 0;
    EXPECT_NOERROR(NIFFindByName(collection, "alice", FIND_LAST_EQUAL, &position, &matches));
    EXPECT_EQ(position.Tumbler[0], 4u);
    EXPECT_EQ(matches, 3u);
    for (const char *missing : {"Zed", "Carl", "alic", "", "alice "}) {
        SCOPED_TRACE(missing);
        position.Tumbler[0] = 9;
        matches = 9;
        EXPECT_EQ(NIFFindByName(collection, missing, FIND_CASE_INSENSITIVE, &position, &matches),
                  ERR_NIF_KEY_NOT_FOUND);
        EXPECT_EQ(position.Tumbler[0], 0u);
        EXPECT_EQ(matches, 0u);
    }
    EXPECT_EQ(NIFFindByName(collection, nullptr, 0, &position, &matches), ERR_BAD_PARAM);
    EXPECT_EQ(NIFFindByName(collection, "alice", 0x0100, &position, &matches), ERR_BAD_PARAM);
    EXPECT_EQ(NIFFindByName(db_, "alice", 0, &position, &matches), ERR_WRONG_HANDLE_KIND);
    EXPECT_NOERROR(NIFCloseCollection(collection));
    EXPECT_EQ(NIFFindByName(collection, "alice", 0, &position, &matches), ERR_INVALID_HANDLE);
    EXPECT_EQ(NIFCloseCollection(collection), ERR_INVALID_HANDLE);
}

// Saves and deletions keep the index current; an open collection keeps the
// entries it was opened with.
TEST_F(NifTest, SavesAndDeletionsKeepTheIndexAndACollectionKeepsItsOpen) {
    const NOTEID view = StoreView(db_, "Names", nullptr, "Names");
    const NOTEID first = StoreDocument(db_, {ItemSpec::L("Names", {"alice"})});
    const NOTEID second = StoreDocument(db_, {ItemSpec::L("Names", {"alice", "bob"})});
    HCOLLECTION before = Open(view);

    const NOTEID third = StoreDocument(db_, {ItemSpec::L("Names", {"alice"})});
    agents_test::SetStoredText(db_, first, "Names", "eve");
    ASSERT_NOERROR(NSFNoteDelete(db_, second, 0));

    std::vector<NOTEID> ids;
    EXPECT_NOERROR(Find(before, "alice", 0, &ids));
    EXPECT_EQ(ids, (std::vector<NOTEID>{first, second}));
    EXPECT_EQ(ReadAll(before), (std::vector<NOTEID>{first, second, second}));
    EXPECT_NOERROR(NIFCloseCollection(before));

    EXPECT_EQ(FindIn(view, "alice"), (std::vector<NOTEID>{third}));
    EXPECT_EQ(FindIn(view, "eve"), (std::vector<NOTEID>{first}));
    EXPECT_EQ(FindIn(view, "bob"), (std::vector<NOTEID>{}));

    // A document that becomes a design note leaves the view.
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db_, third, 0, &note));
    const WORD form = NOTE_CLASS_FORM;
    NSFNoteSetInfo(note, _NOTE_CLASS, &form);
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    ASSERT_NOERROR(NSFNoteClose(note));
    EXPECT_EQ(Entries(view), (std::vector<NOTEID>{first}));
    char problem[256];
    EXPECT_EQ(StandinDbCheck("views.nsf", problem, sizeof problem), NOERROR) << problem;
}

// A change of the view's design note takes effect at the next open; a
// deleted view cannot be opened.
TEST_F(NifTest, AViewIsRebuiltWhenItsDesignChanges) {
    const NOTEID view = StoreView(db_, "People", "SELECT Form = \"Person\"", "Names");
    const NOTEID person =
        StoreDocument(db_, {ItemSpec::T("Form", "Person"), ItemSpec::L("Names", {"Ann"}),
                            ItemSpec::T("Nick", "annie")});
    const NOTEID other = StoreDocument(
        db_,
        {ItemSpec::T("Form", "Other"), ItemSpec::L("Names", {"Ann"}), ItemSpec::T("Nick", "x")});
    EXPECT_EQ(FindIn(view, "ann"), (std::vector<NOTEID>{person}));

    agents_test::SetStoredText(db_, view, "$KeyFormula", "Nick");
    EXPECT_EQ(FindIn(view, "ann"), (std::vector<NOTEID>{}));
    EXPECT_EQ(FindIn(view, "annie"), (std::vector<NOTEID>{person}));

    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db_, view, 0, &note));
    ASSERT_NOERROR(NSFItemDelete(note, "$SelectionFormula", 17));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    ASSERT_NOERROR(NSFNoteClose(note));
    EXPECT_EQ(Entries(view), (std::vector<NOTEID>{person, other}));

    ASSERT_NOERROR(NSFNoteDelete(db_, view, 0));
    HCOLLECTION collection = 0xDEAD;
    EXPECT_EQ(NIFOpenCollection(db_, db_, view, 0, NULLHANDLE, &collection, nullptr, nullptr,
                                nullptr, nullptr),
              ERR_NOTE_DELETED);
    EXPECT_EQ(collection, NULLHANDLE);
}

// An index that missed a write (its record below the change counter) is
// built anew by its next reader; the check of the whole file tells a view
// entry of a deleted note.
TEST_F(NifTest, AnIndexBehindTheChangeCounterIsRebuiltAndDamageIsFound) {
    const NOTEID view = StoreView(db_, "Names", nullptr, "Names");
    const NOTEID doc = StoreDocument(db_, {ItemSpec::L("Names", {"alice"})});
    EXPECT_EQ(Entries(view), (std::vector<NOTEID>{doc}));
    const std::string path = dataFile("views.nsf");
    ASSERT_TRUE(nsf_test::RawExec(path, "DELETE FROM view_entries"));
    EXPECT_EQ(Entries(view), (std::vector<NOTEID>{})) << "current by its record";
    ASSERT_TRUE(nsf_test::RawExec(path, "UPDATE views SET built=built-1"));
    EXPECT_EQ(Entries(view), (std::vector<NOTEID>{doc}));
    char problem[256];
    EXPECT_EQ(StandinDbCheck("views.nsf", problem, sizeof problem), NOERROR) << problem;

    const NOTEID gone = StoreDocument(db_, {ItemSpec::L("Names", {"bob"})});
    ASSERT_NOERROR(NSFNoteDelete(db_, gone, 0));
    ASSERT_TRUE(nsf_test::RawExec(path, "INSERT INTO view_entries VALUES(" + std::to_string(view) +
                                            ", x'626f62', " + std::to_string(gone) + ")"));
    EXPECT_EQ(StandinDbCheck("views.nsf", problem, sizeof problem), ERR_DB_DAMAGED);
    EXPECT_NE(std::string(problem).find("view entry"), std::string::npos) << problem;
}

// A document saved by another process is in the index it wrote, and found
// here.
TEST_F(NifTest, ADocumentSavedByAnotherProcessIsFound) {
    const NOTEID view = StoreView(db_, "Names", nullptr, "Names");
    StoreDocument(db_, {ItemSpec::L("Names", {"parent"})});
    EXPECT_EQ(Entries(view).size(), 1u);
    // No connection of this process may be open on the file across fork.
    ASSERT_NOERROR(NSFDbClose(db_));
    db_ = NULLHANDLE;
    const int code = nsf_test::InChild([] {
        DBHANDLE db = NULLHANDLE;
        if (NSFDbOpen("views.nsf", &db) != NOERROR)
            return 10;
        NOTEHANDLE note = NULLHANDLE;
        if (NSFNoteCreate(db, &note) != NOERROR)
            return 11;
        if (NSFItemSetText(note, "Names", "child", MAXWORD) != NOERROR ||
            NSFNoteUpdate(note, 0) != NOERROR)
            return 12;
        NSFNoteClose(note);
        NSFDbClose(db);
        return 0;
    });
    ASSERT_EQ(code, 0);
    EXPECT_EQ(nsf_test::RawInt(dataFile("views.nsf"),
                               "SELECT count(*) FROM view_entries WHERE key=x'6368696c64'"),
              1)
        << "the writer keeps the index";
    ASSERT_NOERROR(NSFDbOpen("views.nsf", &db_));
    EXPECT_EQ(FindIn(view, "CHILD").size(), 1u);
    EXPECT_EQ(Entries(view).size(), 2u);
}

// The navigators, counts and places of NIFReadEntries over five entries.
TEST_F(NifTest, ReadEntriesSkipsAndReturnsByNavigator) {
    const NOTEID view = StoreView(db_, "Keys", nullptr, "Key");
    std::vector<NOTEID> docs;
    for (int i = 1; i <= 5; i++)
        docs.push_back(StoreDocument(db_, {ItemSpec::T("Key", "k" + std::to_string(i))}));
    HCOLLECTION collection = Open(view);
    struct Case {
        const char *what;
        DWORD from;
        WORD skipNavigator;
        DWORD skipCount;
        WORD returnNavigator;
        DWORD returnCount;
        DWORD mask;
        std::vector<int> entries;  // 1-based places returned
        DWORD skipped;
        DWORD placeAfter;
        bool more;
    } cases[] = {
        {"all from before the first",
         0,
         NAVIGATE_NEXT,
         1,
         NAVIGATE_NEXT,
         10,
         READ_MASK_NOTEID,
         {1, 2, 3, 4, 5},
         1,
         5,
         false},
        {"a return before the first moves first",
         0,
         NAVIGATE_CURRENT,
         0,
         NAVIGATE_NEXT,
         2,
         READ_MASK_NOTEID,
         {1, 2},
         0,
         2,
         true},
        {"the found place, as the matches are read",
         2,
         NAVIGATE_CURRENT,
         0,
         NAVIGATE_NEXT,
         2,
         READ_MASK_NOTEID,
         {2, 3},
         0,
         3,
         true},
        {"skip one on", 2, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 1, READ_MASK_NOTEID, {3}, 1, 3, true},
        {"the last", 4, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 3, READ_MASK_NOTEID, {5}, 1, 5, false},
        {"skip past the end",
         4,
         NAVIGATE_NEXT,
         5,
         NAVIGATE_NEXT,
         1,
         READ_MASK_NOTEID,
         {},
         1,
         6,
         false},
        {"backwards",
         5,
         NAVIGATE_CURRENT,
         0,
         NAVIGATE_PREV,
         3,
         READ_MASK_NOTEID,
         {5, 4, 3},
         0,
         3,
         true},
        {"skip back before the first",
         3,
         NAVIGATE_PREV,
         5,
         NAVIGATE_NEXT,
         1,
         READ_MASK_NOTEID,
         {1},
         2,
         1,
         true},
        {"current returns one",
         3,
         NAVIGATE_CURRENT,
         7,
         NAVIGATE_CURRENT,
         5,
         READ_MASK_NOTEID,
         {3},
         0,
         3,
         false},
        {"a place beyond the end",
         99,
         NAVIGATE_PREV,
         1,
         NAVIGATE_CURRENT,
         1,
         READ_MASK_NOTEID,
         {5},
         1,
         5,
         false},
        {"no count", 2, NAVIGATE_CURRENT, 0, NAVIGATE_NEXT, 0, READ_MASK_NOTEID, {}, 0, 2, false},
        {"no mask counts only", 0, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 3, 0, {1, 2, 3}, 1, 3, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        COLLECTIONPOSITION position{};
        position.Tumbler[0] = c.from;
        DHANDLE buffer = 0xDEAD;
        WORD length = 7, signal = 7;
        DWORD skipped = 7, returned = 7;
        ASSERT_NOERROR(NIFReadEntries(collection, &position, c.skipNavigator, c.skipCount,
                                      c.returnNavigator, c.returnCount, c.mask, &buffer, &length,
                                      &skipped, &returned, &signal));
        EXPECT_EQ(returned, c.entries.size());
        EXPECT_EQ(skipped, c.skipped);
        EXPECT_EQ(position.Tumbler[0], c.placeAfter);
        EXPECT_EQ(signal, c.more ? SIGNAL_MORE_TO_DO : 0);
        if (c.mask == 0 || c.entries.empty()) {
            EXPECT_EQ(buffer, NULLHANDLE);
            EXPECT_EQ(length, 0u);
            continue;
        }
        ASSERT_NE(buffer, NULLHANDLE);
        EXPECT_EQ(length, c.entries.size() * sizeof(NOTEID));
        const auto *ids = static_cast<const NOTEID *>(OSLockObject(buffer));
        for (size_t i = 0; i < c.entries.size(); i++)
            EXPECT_EQ(ids[i], docs[c.entries[i] - 1]) << "entry " << i;
        OSUnlockObject(buffer);
        EXPECT_NOERROR(OSMemFree(buffer));
    }

    COLLECTIONPOSITION position{};
    auto read = [&](WORD skip, WORD ret, DWORD mask) {
        return NIFReadEntries(collection, &position, skip, 1, ret, 1, mask, nullptr, nullptr,
                              nullptr, nullptr, nullptr);
    };
    EXPECT_EQ(read(NAVIGATE_NEXT, NAVIGATE_NEXT, READ_MASK_NOTEID), NOERROR) << "null outputs";
    EXPECT_EQ(read(9, NAVIGATE_NEXT, READ_MASK_NOTEID), ERR_BAD_PARAM);
    EXPECT_EQ(read(NAVIGATE_NEXT, 9, READ_MASK_NOTEID), ERR_BAD_PARAM);
    EXPECT_EQ(read(NAVIGATE_NEXT, NAVIGATE_NEXT, 0x80), ERR_BAD_PARAM);
    position.Level = 1;
    EXPECT_EQ(read(NAVIGATE_NEXT, NAVIGATE_NEXT, READ_MASK_NOTEID), ERR_BAD_PARAM);
    EXPECT_NOERROR(NIFCloseCollection(collection));
    EXPECT_EQ(read(NAVIGATE_NEXT, NAVIGATE_NEXT, READ_MASK_NOTEID), ERR_INVALID_HANDLE);
}

// A buffer holds what fits 65535 bytes; the rest comes with the next call.
TEST_F(NifTest, ReadEntriesStopsAtAFullBufferAndGoesOnFromThere) {
    std::string first, second;
    for (int i = 0; i < 16400; i++) {
        char key[16];
        std::snprintf(key, sizeof key, "k%05d ", i);
        (i < 8200 ? first : second) += key;
    }
    const NOTEID view = StoreView(db_, "Many", nullptr, "@Explode(A) : @Explode(B)");
    const NOTEID doc = StoreDocument(db_, {ItemSpec::T("A", first), ItemSpec::T("B", second)});
    HCOLLECTION collection = Open(view);
    COLLECTIONPOSITION position{};
    DHANDLE buffer = NULLHANDLE;
    WORD length = 0, signal = 0;
    DWORD returned = 0;
    ASSERT_NOERROR(NIFReadEntries(collection, &position, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, MAXDWORD,
                                  READ_MASK_NOTEID, &buffer, &length, nullptr, &returned, &signal));
    EXPECT_EQ(returned, 65535u / sizeof(NOTEID));
    EXPECT_EQ(length, returned * sizeof(NOTEID));
    EXPECT_EQ(signal, SIGNAL_MORE_TO_DO);
    EXPECT_EQ(position.Tumbler[0], returned);
    EXPECT_NOERROR(OSMemFree(buffer));
    std::vector<NOTEID> all = ReadAll(collection);
    EXPECT_EQ(all.size(), 16400u);
    EXPECT_EQ(std::count(all.begin(), all.end(), doc), 16400);
    std::vector<NOTEID> ids;
    EXPECT_NOERROR(Find(collection, "K16399", 0, &ids));
    EXPECT_EQ(ids, (std::vector<NOTEID>{doc}));
    EXPECT_NOERROR(NIFCloseCollection(collection));
}

// What the open gives besides the collection, and what it refuses.
TEST_F(NifTest, OpenCollectionGivesTheViewNoteAndRefusesWhatIsNoView) {
    const NOTEID view = StoreView(db_, "Names", nullptr, "Names");
    const NOTEID doc = StoreDocument(db_, {ItemSpec::L("Names", {"alice"})});
    HCOLLECTION collection = NULLHANDLE;
    NOTEHANDLE viewNote = NULLHANDLE;
    UNID unid{};
    DHANDLE collapsed = 0xDEAD, selected = 0xDEAD;
    ASSERT_NOERROR(NIFOpenCollection(db_, db_, view, OPEN_REBUILD_INDEX, NULLHANDLE, &collection,
                                     &viewNote, &unid, &collapsed, &selected));
    EXPECT_NE(collection, NULLHANDLE);
    EXPECT_EQ(collapsed, NULLHANDLE);
    EXPECT_EQ(selected, NULLHANDLE);
    EXPECT_EQ(nsf_test::NoteId(viewNote), view);
    const OID oid = nsf_test::NoteOid(viewNote);
    EXPECT_EQ(std::memcmp(&unid.File, &oid.File, sizeof oid.File), 0);
    EXPECT_EQ(std::memcmp(&unid.Note, &oid.Note, sizeof oid.Note), 0);
    EXPECT_EQ(ReadAll(collection), (std::vector<NOTEID>{doc}));
    EXPECT_NOERROR(NSFNoteClose(viewNote));
    EXPECT_NOERROR(NIFCloseCollection(collection));

    DBHANDLE second = NULLHANDLE, other = CreateAndOpen("other.nsf");
    ASSERT_NOERROR(NSFDbOpen("views.nsf", &second));
    ASSERT_EQ(NIFOpenCollection(db_, second, view, 0, NULLHANDLE, &collection, nullptr, nullptr,
                                nullptr, nullptr),
              NOERROR)
        << "another handle of the same database";
    EXPECT_NOERROR(NIFCloseCollection(collection));

    const NOTEID noKey = StoreView(db_, "No key", nullptr, nullptr);
    const NOTEID badKey = StoreView(db_, "Bad key", nullptr, "Names +");
    const NOTEID badSelection = StoreView(db_, "Bad selection", "SELECT (", "Names");
    const NOTEID listKey = agents_test::StoreDesignNote(
        db_, NOTE_CLASS_VIEW, {ItemSpec::L("$KeyFormula", {"Names", "Nick"})});
    const NOTEID numberKey =
        agents_test::StoreDesignNote(db_, NOTE_CLASS_VIEW, {ItemSpec::N("$KeyFormula", 1)});
    struct Case {
        const char *what;
        DBHANDLE data;
        NOTEID note;
        WORD flags;
        bool out;
        STATUS status;
    } cases[] = {
        {"a document", db_, doc, 0, true, ERR_NOT_A_VIEW},
        {"note ID 0", db_, 0, 0, true, ERR_INVALID_NOTE},
        {"no such note", db_, doc + 400, 0, true, ERR_INVALID_NOTE},
        {"another database", other, view, 0, true, ERR_VIEW_OTHER_DATABASE},
        {"no key formula", db_, noKey, 0, true, ERR_VIEW_FORMULA},
        {"a key formula that does not compile", db_, badKey, 0, true, ERR_VIEW_FORMULA},
        {"a selection that does not compile", db_, badSelection, 0, true, ERR_VIEW_FORMULA},
        {"a key formula of two texts", db_, listKey, 0, true, ERR_VIEW_FORMULA},
        {"a key formula that is no text", db_, numberKey, 0, true, ERR_VIEW_FORMULA},
        {"unknown flags", db_, view, 0x0100, true, ERR_BAD_PARAM},
        {"no collection output", db_, view, 0, false, ERR_BAD_PARAM},
        {"a closed data handle", NULLHANDLE, view, 0, true, ERR_INVALID_HANDLE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        collection = 0xDEAD;
        viewNote = 0xDEAD;
        EXPECT_EQ(
            NIFOpenCollection(db_, c.data, c.note, c.flags, NULLHANDLE,
                              c.out ? &collection : nullptr, &viewNote, nullptr, nullptr, nullptr),
            c.status);
        EXPECT_EQ(collection, c.out ? NULLHANDLE : 0xDEADu);
        EXPECT_EQ(viewNote, NULLHANDLE);
    }
    EXPECT_NOERROR(NSFDbClose(second));
    EXPECT_NOERROR(NSFDbClose(other));
}

// Each call asks its own fault point with its database's path.
TEST_F(NifTest, FaultPointsFailEachCallForItsDatabase) {
    const NOTEID view = StoreView(db_, "Names", nullptr, "Names");
    StoreDocument(db_, {ItemSpec::L("Names", {"alice"})});
    DBHANDLE other = CreateAndOpen("other.nsf");
    const NOTEID otherView = StoreView(other, "Names", nullptr, "Names");
    HCOLLECTION collection = Open(view);
    COLLECTIONPOSITION position{};
    NOTEID id = 0;
    HCOLLECTION opened = NULLHANDLE;

    StandinFaultInject({"NIFFindDesignNoteExt", ERR_DB_IO, 0, 0, "views.nsf"});
    StandinFaultInject({"NIFOpenCollection", ERR_DB_IO, 0, 0, "views.nsf"});
    StandinFaultInject({"NIFFindByName", ERR_DB_IO, 0, 0, "views.nsf"});
    StandinFaultInject({"NIFReadEntries", ERR_DB_IO, 0, 0, "views.nsf"});
    StandinFaultInject({"NIFCloseCollection", ERR_DB_IO, 0, 1, "views.nsf"});
    EXPECT_EQ(NIFFindDesignNoteExt(db_, "Names", NOTE_CLASS_VIEW, "", &id, 0), ERR_DB_IO);
    EXPECT_EQ(NIFOpenCollection(db_, db_, view, 0, NULLHANDLE, &opened, nullptr, nullptr, nullptr,
                                nullptr),
              ERR_DB_IO);
    EXPECT_EQ(NIFFindByName(collection, "alice", 0, &position, nullptr), ERR_DB_IO);
    EXPECT_EQ(NIFReadEntries(collection, &position, NAVIGATE_NEXT, 1, NAVIGATE_NEXT, 1,
                             READ_MASK_NOTEID, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERR_DB_IO);
    EXPECT_EQ(NIFCloseCollection(collection), ERR_DB_IO);
    for (const char *call : {"NIFFindDesignNoteExt", "NIFOpenCollection", "NIFFindByName",
                             "NIFReadEntries", "NIFCloseCollection"})
        EXPECT_EQ(StandinFaultHits(call), 1u) << call;

    EXPECT_NOERROR(NIFFindDesignNoteExt(other, "Names", NOTE_CLASS_VIEW, "", &id, 0));
    EXPECT_EQ(id, otherView);
    ASSERT_NOERROR(NIFOpenCollection(other, other, otherView, 0, NULLHANDLE, &opened, nullptr,
                                     nullptr, nullptr, nullptr));
    EXPECT_NOERROR(NIFCloseCollection(opened));
    EXPECT_EQ(NIFCloseCollection(collection), NOERROR) << "the rule fired once";
    EXPECT_NOERROR(NSFDbClose(other));
}

// A failure at any step of an open that builds the view leaves the file
// whole, and the next open gives the view's entries.
TEST_F(NifTest, AFailureAtAnyStepOfTheBuildLosesNothing) {
    const NOTEID view = StoreView(db_, "Names", nullptr, "Names");
    const NOTEID doc = StoreDocument(db_, {ItemSpec::L("Names", {"alice", "bob"})});
    const NOTEID other = StoreDocument(db_, {ItemSpec::L("Names", {"carol"})});
    const std::vector<NOTEID> expected{doc, doc, other};
    for (unsigned skip = 0;; skip++) {
        SCOPED_TRACE("failing step " + std::to_string(skip));
        // A change of the view's note drops its index: this open builds it.
        agents_test::SetStoredText(db_, view, "$Flags", std::to_string(skip).c_str());
        StandinFaultInject({"SQLiteStep", ERR_DB_IO, skip, 1, "views.nsf"});
        HCOLLECTION collection = 0xDEAD;
        STATUS status = NIFOpenCollection(db_, db_, view, 0, NULLHANDLE, &collection, nullptr,
                                          nullptr, nullptr, nullptr);
        StandinFaultClear();
        if (status == NOERROR) {
            EXPECT_EQ(ReadAll(collection), expected);
            EXPECT_NOERROR(NIFCloseCollection(collection));
            EXPECT_GT(skip, 10u) << "the build takes more steps than that";
            break;
        }
        EXPECT_EQ(status, ERR_DB_IO);
        EXPECT_EQ(collection, NULLHANDLE);
        EXPECT_EQ(Entries(view), expected);
        char problem[256];
        EXPECT_EQ(StandinDbCheck("views.nsf", problem, sizeof problem), NOERROR) << problem;
        ASSERT_LT(skip, 200u);
    }
}

TEST_F(NifTest, TheEndOfTheRuntimeClosesOpenCollections) {
    const NOTEID view = StoreView(db_, "Names", nullptr, "Names");
    HCOLLECTION collection = Open(view);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_COLLECTION), 1u);
    ASSERT_NOERROR(NSFDbClose(db_));
    db_ = NULLHANDLE;
    NotesRuntimeEnd();
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_COLLECTION), 0u);
    EXPECT_EQ(NIFCloseCollection(collection), ERR_INVALID_HANDLE);
}

}  // namespace
