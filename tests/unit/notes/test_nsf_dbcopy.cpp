// Databases made from templates (NSFDbCreateAndCopy) and the replacement of
// a design (DesignReplace).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "acl_test_util.h"
#include "notes_api.h"
#include "nsf_test_util.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

using nsf_test::NoteIds;
using nsf_test::Text;

std::string UnidKey(const OID &oid) {
    return std::string(reinterpret_cast<const char *>(&oid), sizeof(UNID));
}

struct Seen {
    NOTEID id;
    WORD noteClass;
    DWORD sequence;
    std::vector<std::string> items;  // "name=text" of each item
};

// The live notes of a database by UNID.
std::map<std::string, Seen> Notes(DBHANDLE db) {
    std::map<std::string, Seen> out;
    for (NOTEID id : NoteIds(db)) {
        NOTEHANDLE note = NULLHANDLE;
        if (NSFNoteOpen(db, id, 0, &note) != NOERROR)
            continue;
        Seen seen{id, 0, 0, {}};
        NSFNoteGetInfo(note, _NOTE_CLASS, &seen.noteClass);
        const OID oid = nsf_test::NoteOid(note);
        seen.sequence = oid.Sequence;
        for (const std::string &name : nsf_test::ItemNames(note))
            seen.items.push_back(name + "=" + Text(note, name.c_str()));
        out[UnidKey(oid)] = seen;
        NSFNoteClose(note);
    }
    return out;
}

std::string TitleOf(const Seen &seen) {
    for (const std::string &item : seen.items) {
        if (item.compare(0, 7, "$TITLE=") == 0)
            return item.substr(7);
    }
    return "";
}

class DbCopyTest : public nsf_test::NsfTest {
  protected:
    void TearDown() override {
        StandinFaultClear();
        nsf_test::NsfTest::TearDown();
    }

    NOTEID StoreDesign(DBHANDLE db, WORD noteClass, const std::string &title,
                       const std::string &body = "") {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteCreate(db, &note));
        NSFNoteSetInfo(note, _NOTE_CLASS, &noteClass);
        EXPECT_NOERROR(NSFItemSetText(note, "$TITLE", title.c_str(), MAXWORD));
        if (!body.empty())
            EXPECT_NOERROR(NSFItemSetText(note, "Body", body.c_str(), MAXWORD));
        EXPECT_NOERROR(NSFNoteUpdate(note, 0));
        NOTEID id = nsf_test::NoteId(note);
        EXPECT_NOERROR(NSFNoteClose(note));
        return id;
    }

    // A template in a folder named like another template, with a design, a
    // document, an ACL and its information text.
    DBHANDLE MakeTemplate(const char *path = "HCREx/HCR.ntf") {
        DBHANDLE tpl = CreateAndOpen(path);
        EXPECT_NOERROR(NSFDbInfoSet(tpl, "Halcyra\n\nHalcyra"));
        StoreDesign(tpl, NOTE_CLASS_FORM, "FServerLicense", "form");
        StoreDesign(tpl, NOTE_CLASS_VIEW | NOTE_CLASS_DEFAULT, "(Setup Doc)", "view");
        StoreDesign(tpl, NOTE_CLASS_FILTER, "Agent", "agent");
        StoreNote(tpl, {{"Form", "FServerLicense"}, {"Server", "CN=Srv/O=Acme"}});
        DHANDLE acl = NULLHANDLE;
        EXPECT_NOERROR(NSFDbReadACL(tpl, &acl));
        EXPECT_NOERROR(ACLAddEntry(acl, "[Anonymous]", ACL_LEVEL_NOACCESS, nullptr, 0));
        EXPECT_NOERROR(NSFDbStoreACL(tpl, acl, 0, 0));
        EXPECT_NOERROR(OSMemFree(acl));
        return tpl;
    }
};

TEST_F(DbCopyTest, ANewDatabaseGetsTheTemplatesDesignWithItsUnidsAndNoAcl) {
    DBHANDLE tpl = MakeTemplate();
    DBHANDLE db = NULLHANDLE;
    ASSERT_NOERROR(
        NSFDbCreateAndCopy("HCREx/HCR.ntf", "HCR.nsf", NOTE_CLASS_ALLNONDATA, 0, 0, &db));
    ASSERT_NE(db, NULLHANDLE);

    auto from = Notes(tpl), to = Notes(db);
    ASSERT_EQ(to.size(), 4u) << "the icon note and three design notes, no document";
    for (const auto &note : to) {
        ASSERT_EQ(from.count(note.first), 1u) << TitleOf(note.second);
        const Seen &original = from.at(note.first);
        EXPECT_EQ(note.second.noteClass, original.noteClass);
        EXPECT_EQ(note.second.sequence, original.sequence);
        if (note.second.noteClass == NOTE_CLASS_ICON) {
            // The template's icon note, with the template's file name.
            std::vector<std::string> items = original.items;
            items.push_back("$TemplateFileName=HCR.ntf");
            EXPECT_EQ(note.second.items, items);
        } else {
            EXPECT_EQ(note.second.items, original.items);
        }
    }
    char info[NSF_INFO_SIZE];
    ASSERT_NOERROR(NSFDbInfoGet(db, info));
    EXPECT_STREQ(info, "Halcyra\n\nHalcyra");
    EXPECT_EQ(acl_test::DbText(db), "roles\n-Default- 6 0x0000\n");
    WORD build = 0;
    ASSERT_NOERROR(NSFDbGetBuildVersion(db, &build));
    EXPECT_EQ(build, STANDIN_DEFAULT_BUILD_VERSION);
    NSFDbClose(db);
    NSFDbClose(tpl);
    char problem[256];
    EXPECT_EQ(StandinDbCheck("HCR.nsf", problem, sizeof problem), NOERROR) << problem;
}

TEST_F(DbCopyTest, AllClassesCopyDocumentsAndProfilesAndADatabaseSourceRecordsNoTemplate) {
    DBHANDLE src = CreateAndOpen("source.nsf");
    StoreNote(src, {{"Form", "Memo"}});
    NOTEHANDLE profile = NULLHANDLE;
    ASSERT_NOERROR(NSFProfileOpen(src, "Settings", 8, nullptr, 0, FALSE, &profile));
    ASSERT_NOERROR(NSFItemSetText(profile, "Mode", "on", 2));
    ASSERT_NOERROR(NSFNoteUpdate(profile, 0));
    ASSERT_NOERROR(NSFNoteClose(profile));
    ASSERT_NOERROR(NSFDbCreateAndCopy("source.nsf", "copy.nsf", NOTE_CLASS_ALL, 0, 0, nullptr));
    DBHANDLE copy = NULLHANDLE;
    ASSERT_NOERROR(NSFDbOpen("copy.nsf", &copy));
    EXPECT_EQ(Notes(copy).size(), Notes(src).size());
    ASSERT_NOERROR(NSFProfileOpen(copy, "settings", 8, nullptr, 0, FALSE, &profile));
    EXPECT_EQ(Text(profile, "Mode"), "on");
    ASSERT_NOERROR(NSFNoteClose(profile));
    NOTEHANDLE icon = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(copy, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    EXPECT_EQ(nsf_test::ValueBytes(icon, "$TemplateFileName"), "<missing>");
    ASSERT_NOERROR(NSFNoteClose(icon));

    // Without the icon note's class the new database has its own, and a
    // template source still names itself in it.
    DBHANDLE tpl = MakeTemplate("plain.ntf");
    ASSERT_NOERROR(NSFDbCreateAndCopy("plain.ntf", "forms.nsf", NOTE_CLASS_FORM, 0, 0, nullptr));
    DBHANDLE forms = NULLHANDLE;
    ASSERT_NOERROR(NSFDbOpen("forms.nsf", &forms));
    EXPECT_EQ(Notes(forms).size(), 2u);
    ASSERT_NOERROR(NSFNoteOpen(forms, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    EXPECT_EQ(Text(icon, "$TITLE"), "forms");
    EXPECT_EQ(Text(icon, "$TemplateFileName"), "plain.ntf");
    ASSERT_NOERROR(NSFNoteClose(icon));
    NSFDbClose(forms);
    NSFDbClose(tpl);
    NSFDbClose(copy);
    NSFDbClose(src);
}

// An HCR.nsf that exists, whatever it holds, is never overwritten.
TEST_F(DbCopyTest, AnExistingTargetIsRefusedAndLeftAsItIs) {
    DBHANDLE tpl = MakeTemplate();
    ASSERT_NOERROR(NSFDbCreate("real.nsf", DBCLASS_BY_EXTENSION, FALSE));
    test_support::WriteFile(dataFile("garbage.nsf"), "not a database");
    test_support::WriteFile(dataFile("empty.nsf"), "");
    for (const char *target : {"real.nsf", "garbage.nsf", "empty.nsf", "REAL.NSF"}) {
        const std::string file = dataFile(target == std::string("REAL.NSF") ? "real.nsf" : target);
        const std::string before = test_support::ReadFile(file);
        DBHANDLE db = 0xDEAD;
        EXPECT_EQ(NSFDbCreateAndCopy("HCREx/HCR.ntf", target, NOTE_CLASS_ALLNONDATA, 0, 0, &db),
                  ERR_DB_EXISTS)
            << target;
        EXPECT_EQ(db, NULLHANDLE) << target;
        EXPECT_EQ(test_support::ReadFile(file), before) << target;
    }
    NSFDbClose(tpl);
}

TEST_F(DbCopyTest, FailuresLeaveNoDatabase) {
    DBHANDLE tpl = MakeTemplate();
    const struct {
        const char *what;
        const char *source;
        WORD classes;
        DWORD flags;
        STATUS expected;
    } cases[] = {
        {"a missing source", "absent.ntf", NOTE_CLASS_ALLNONDATA, 0, ERR_NOEXIST},
        {"no classes", "HCREx/HCR.ntf", 0, 0, ERR_BAD_PARAM},
        {"flags", "HCREx/HCR.ntf", NOTE_CLASS_ALLNONDATA, 1, ERR_BAD_PARAM},
    };
    for (const auto &c : cases) {
        DBHANDLE db = 0xDEAD;
        EXPECT_EQ(NSFDbCreateAndCopy(c.source, "new.nsf", c.classes, 0, c.flags, &db), c.expected)
            << c.what;
        EXPECT_EQ(db, NULLHANDLE) << c.what;
        EXPECT_FALSE(test_support::FileExists(dataFile("new.nsf"))) << c.what;
    }
    // A write that fails in the middle of the copy: the file never appears.
    StandinFaultInject({"SQLiteStep", ERR_DB_IO, 40, 1, "new.nsf"});
    EXPECT_EQ(NSFDbCreateAndCopy("HCREx/HCR.ntf", "new.nsf", NOTE_CLASS_ALLNONDATA, 0, 0, nullptr),
              ERR_DB_IO);
    EXPECT_EQ(StandinFaultHits("SQLiteStep"), 1u);
    StandinFaultClear();
    EXPECT_FALSE(test_support::FileExists(dataFile("new.nsf")));
    StandinFaultInject({"NSFDbCreateAndCopy", ERR_FAULT_INJECTED, 0, 0, "new.nsf"});
    EXPECT_EQ(NSFDbCreateAndCopy("HCREx/HCR.ntf", "new.nsf", NOTE_CLASS_ALLNONDATA, 0, 0, nullptr),
              ERR_FAULT_INJECTED);
    StandinFaultClear();
    EXPECT_FALSE(test_support::FileExists(dataFile("new.nsf")));
    NSFDbClose(tpl);
}

class DesignReplaceTest : public DbCopyTest {
  protected:
    void SetUp() override {
        DbCopyTest::SetUp();
        tpl_ = MakeTemplate();
        ASSERT_NOERROR(
            NSFDbCreateAndCopy("HCREx/HCR.ntf", "HCR.nsf", NOTE_CLASS_ALLNONDATA, 0, 0, &db_));
        // The database's own: a title, a document, an ACL, a private view,
        // and a form the template does not have.
        ASSERT_NOERROR(NSFDbInfoSet(db_, "My Halcyra\n\n\nHalcyra"));
        document_ = StoreNote(db_, {{"Form", "FServerLicense"}, {"Server", "Mine"}});
        DHANDLE acl = NULLHANDLE;
        ASSERT_NOERROR(NSFDbReadACL(db_, &acl));
        ASSERT_NOERROR(ACLAddEntry(acl, "CN=Own/O=Acme", ACL_LEVEL_EDITOR, nullptr, 0));
        ASSERT_NOERROR(NSFDbStoreACL(db_, acl, 0, 0));
        ASSERT_NOERROR(OSMemFree(acl));
        privateView_ = StoreDesign(db_, NOTE_CLASS_VIEW | NOTE_CLASS_PRIVATE, "Mine");
        ownForm_ = StoreDesign(db_, NOTE_CLASS_FORM, "Leftover");
    }
    void TearDown() override {
        NSFDbClose(db_);
        NSFDbClose(tpl_);
        DbCopyTest::TearDown();
    }
    DBHANDLE tpl_ = NULLHANDLE, db_ = NULLHANDLE;
    NOTEID document_ = 0, privateView_ = 0, ownForm_ = 0;
};

TEST_F(DesignReplaceTest, TheDesignIsTheTemplatesAndEverythingElseStays) {
    // The template changes: its form, a new view, no agent any more.
    auto before = Notes(db_);
    NOTEID formInDb = 0;
    for (const auto &note : before) {
        if (TitleOf(note.second) == "FServerLicense")
            formInDb = note.second.id;
    }
    ASSERT_NE(formInDb, 0u);
    for (const auto &note : Notes(tpl_)) {
        if (TitleOf(note.second) == "Agent")
            ASSERT_NOERROR(NSFNoteDelete(tpl_, note.second.id, 0));
        if (TitleOf(note.second) == "FServerLicense") {
            NOTEHANDLE form = NULLHANDLE;
            ASSERT_NOERROR(NSFNoteOpen(tpl_, note.second.id, 0, &form));
            ASSERT_NOERROR(NSFItemSetText(form, "Body", "form, second version", MAXWORD));
            ASSERT_NOERROR(NSFNoteUpdate(form, 0));
            ASSERT_NOERROR(NSFNoteClose(form));
        }
    }
    StoreDesign(tpl_, NOTE_CLASS_VIEW, "New View", "new");
    const std::string acl = acl_test::DbText(db_);

    ASSERT_NOERROR(
        DesignReplace(tpl_, db_, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO, nullptr, nullptr));

    auto after = Notes(db_);
    std::map<std::string, std::string> titles;  // title -> Body
    for (const auto &note : after) {
        std::string body;
        for (const std::string &item : note.second.items) {
            if (item.compare(0, 5, "Body=") == 0)
                body = item.substr(5);
        }
        titles[TitleOf(note.second)] = body;
    }
    EXPECT_EQ(titles,
              (std::map<std::string, std::string>{{"", ""},
                                                  {"(Setup Doc)", "view"},
                                                  {"FServerLicense", "form, second version"},
                                                  {"Mine", ""},
                                                  {"My Halcyra\n\n\nHalcyra", ""},
                                                  {"New View", "new"}}))
        << "the document (no title), the private view, the kept title";
    // The form was replaced in place: the same note, a higher sequence.
    bool formSeen = false;
    for (const auto &note : after) {
        if (TitleOf(note.second) == "FServerLicense") {
            EXPECT_EQ(note.second.id, formInDb);
            formSeen = true;
        }
    }
    EXPECT_TRUE(formSeen);
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteOpen(db_, ownForm_, 0, &note), ERR_NOTE_DELETED);
    ASSERT_NOERROR(NSFNoteOpen(db_, document_, 0, &note));
    EXPECT_EQ(Text(note, "Server"), "Mine");
    ASSERT_NOERROR(NSFNoteClose(note));
    ASSERT_NOERROR(NSFNoteOpen(db_, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &note));
    EXPECT_EQ(Text(note, "$TemplateFileName"), "HCR.ntf");
    ASSERT_NOERROR(NSFNoteClose(note));
    EXPECT_EQ(acl_test::DbText(db_), acl);
    char problem[256];
    EXPECT_EQ(StandinDbCheck("HCR.nsf", problem, sizeof problem), NOERROR) << problem;

    // The same again changes nothing but sequences.
    ASSERT_NOERROR(
        DesignReplace(tpl_, db_, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO, nullptr, nullptr));
    EXPECT_EQ(Notes(db_).size(), after.size());
}

TEST_F(DesignReplaceTest, ATemplateNoteWhoseUnidIsAStubComesUnderANewOne) {
    NOTEID viewInDb = 0;
    std::string viewUnid;
    for (const auto &note : Notes(db_)) {
        if (TitleOf(note.second) == "(Setup Doc)") {
            viewInDb = note.second.id;
            viewUnid = note.first;
        }
    }
    ASSERT_NOERROR(NSFNoteDelete(db_, viewInDb, 0));
    ASSERT_NOERROR(
        DesignReplace(tpl_, db_, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO, nullptr, nullptr));
    bool found = false;
    for (const auto &note : Notes(db_)) {
        if (TitleOf(note.second) == "(Setup Doc)") {
            found = true;
            EXPECT_NE(note.first, viewUnid);
            EXPECT_NE(note.second.id, viewInDb);
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(DesignReplaceTest, BadArgumentsAndFailuresChangeNothing) {
    const auto before = Notes(db_);
    int other = 0;
    const struct {
        const char *what;
        DBHANDLE tpl;
        DWORD flags;
        DWORD options;
        void *reserved;
        STATUS expected;
    } cases[] = {
        {"flags 0", tpl_, 0, DESIGN_REPLACE_KEEP_INFO, nullptr, ERR_BAD_PARAM},
        {"options 0", tpl_, DESIGN_REPLACE_ALL, 0, nullptr, ERR_BAD_PARAM},
        {"a reserved pointer", tpl_, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO, &other,
         ERR_BAD_PARAM},
        {"the database itself", db_, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO, nullptr,
         ERR_BAD_PARAM},
        {"no template", NULLHANDLE, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO, nullptr,
         ERR_INVALID_HANDLE},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DesignReplace(c.tpl, db_, c.flags, c.options, c.reserved, nullptr), c.expected)
            << c.what;
    }
    StandinFaultInject({"SQLiteStep", ERR_DB_IO, 12, 1, "HCR.nsf"});
    EXPECT_EQ(
        DesignReplace(tpl_, db_, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO, nullptr, nullptr),
        ERR_DB_IO);
    StandinFaultClear();
    StandinFaultInject({"DesignReplace", ERR_FAULT_INJECTED, 0, 0, "HCR.nsf"});
    EXPECT_EQ(
        DesignReplace(tpl_, db_, DESIGN_REPLACE_ALL, DESIGN_REPLACE_KEEP_INFO, nullptr, nullptr),
        ERR_FAULT_INJECTED);
    StandinFaultClear();
    auto after = Notes(db_);
    ASSERT_EQ(after.size(), before.size());
    for (const auto &note : before)
        EXPECT_EQ(after.at(note.first).sequence, note.second.sequence) << TitleOf(note.second);
}

// The task finds DesignReplace by its name in the loaded library.
TEST(DesignReplaceExport, IsResolvedByName) {
    void *self = dlopen(nullptr, RTLD_NOW);
    ASSERT_NE(self, nullptr);
    auto proc = reinterpret_cast<DESIGNREPLACEPROC>(dlsym(self, "DesignReplace"));
    EXPECT_EQ(proc, &DesignReplace);
    dlclose(self);
}

}  // namespace
