// notesctl's data verbs run as processes: init's directory and mail
// template, import (with a template, refusing a bad file with its line and
// storing nothing), export and its round trip, server, check, and dump's
// cut of long texts.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "data_dir.h"
#include "json.h"
#include "notes_api.h"
#include "process.h"
#include "standin/nsf.h"
#include "test_support.h"

namespace {

using e2e::Json;
using e2e::Notesctl;
using e2e::RunResult;
using e2e::RuntimeOn;
using test_support::FileExists;
using test_support::ReadFile;
using test_support::WriteFile;

const std::string kSample = std::string(DESIGNS_DIR) + "/sample";

void ExpectOneErrorLine(const RunResult &r, const std::string &needle) {
    EXPECT_EQ(r.err.rfind("notesctl: ", 0), 0u) << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(needle), std::string::npos) << "wanted \"" << needle << "\" in " << r.err;
}

std::string WithoutIds(const std::string &dxl) {
    return std::regex_replace(std::regex_replace(dxl, std::regex(" noteid='[0-9a-f]+'"), ""),
                              std::regex("<database path='[^']*'"), "<database");
}

const Json *FindNote(const Json &dump, const std::string &item, const std::string &value) {
    for (const Json &note : dump["notes"].array()) {
        if (!note.has("items"))
            continue;
        for (const Json &i : note["items"].array()) {
            if (i["name"].string() == item && i.has("value") && i["value"].kind() == Json::String &&
                i["value"].string() == value)
                return &note;
        }
    }
    return nullptr;
}

const Json &Item(const Json &note, const std::string &name) {
    for (const Json &item : note["items"].array()) {
        if (item["name"].string() == name)
            return item;
    }
    throw std::runtime_error("no item " + name);
}

class NotesctlDxl : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = tmp_.file("data"); }
    const std::string &dir() const { return dir_; }
    Json Dump(const std::string &db) {
        RunResult r = Notesctl({"dump", dir(), db});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return Json::Parse(r.out);
    }
    test_support::TempDir tmp_;
    std::string dir_;
};

TEST_F(NotesctlDxl, InitMakesTheDirectoryWithItsServerDocumentAndTheMailTemplate) {
    RunResult r = Notesctl({"init", dir(), "--admin", "Jo Doe/Demo", "--admin", "CN=Ann Lee/O=Demo",
                            "--full-admin", "Max Rowe/Demo", "--cluster", "Demo Cluster"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Json names = Dump("names.nsf");
    const Json *server = FindNote(names, "Form", "Server");
    ASSERT_NE(server, nullptr) << "no server document";
    EXPECT_EQ(Item(*server, "ServerName")["value"].string(), "CN=Vanterra/O=Demo");
    EXPECT_EQ(Item(*server, "ClusterName")["value"].string(), "Demo Cluster");
    const Json &admins = Item(*server, "Administrator")["value"];
    ASSERT_EQ(admins.size(), 2u);
    EXPECT_EQ(admins[0].string(), "CN=Jo Doe/O=Demo");
    EXPECT_EQ(admins[1].string(), "CN=Ann Lee/O=Demo");
    EXPECT_EQ(Item(*server, "FullAdmin")["value"][0].string(), "CN=Max Rowe/O=Demo");
    for (const char *view : {"$Users|Users", "($Servers)|Servers", "($Clusters)|Clusters"})
        EXPECT_NE(FindNote(names, "$TITLE", view), nullptr) << view;
    Json mail = Dump("mail.ntf");
    EXPECT_NE(FindNote(mail, "$TITLE", "(Out Of Office Profile)|OutofOfficeProfile"), nullptr);
    EXPECT_NE(FindNote(mail, "$TITLE", "OutOfOffice"), nullptr);
    for (const char *db : {"names.nsf", "mail.ntf", "HCR.ntf"}) {
        RunResult check = Notesctl({"check", dir(), db});
        EXPECT_EQ(check.exitCode, 0) << check.err;
        EXPECT_EQ(check.out, std::string(db) + " is whole.\n");
    }
    // A name that is none is a usage error, and makes nothing.
    RunResult bad = Notesctl({"init", tmp_.file("other"), "--admin", "CN=a/XX=b"});
    EXPECT_EQ(bad.exitCode, 64);
    ExpectOneErrorLine(bad, "--admin \"CN=a/XX=b\" is no name");
    EXPECT_FALSE(FileExists(tmp_.file("other") + "/notes.ini"));
}

// A sample mail file made from the template, exported, imported into a new
// database and exported again: the same text.
TEST_F(NotesctlDxl, ImportWithATemplateThenExportRoundTrips) {
    ASSERT_EQ(Notesctl({"init", dir()}).exitCode, 0);
    RunResult r = Notesctl(
        {"import", dir(), "mail/alee.nsf", kSample + "/mail/alee.xml", "--template", "mail.ntf"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Imported 4 notes (3 of them profiles)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("made with the design of mail.ntf (4 notes)"), std::string::npos) << r.out;
    RunResult first = Notesctl({"export", dir(), "mail/alee.nsf"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(first.out.find("<text>(Out Of Office Profile)|OutofOfficeProfile</text>"),
              std::string::npos);
    EXPECT_NE(first.out.find("<text>$profile_018outofofficeprofile_</text>"), std::string::npos);
    EXPECT_NE(first.out.find("<text>I am on holiday.\nFor urgent matters call the office.</text>"),
              std::string::npos);

    const std::string file = tmp_.file("alee-export.xml");
    WriteFile(file, first.out);
    r = Notesctl({"import", dir(), "copy.nsf", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    RunResult second = Notesctl({"export", dir(), "copy.nsf"});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(WithoutIds(second.out), WithoutIds(first.out));

    // The design goes to a new database only.
    r = Notesctl({"import", dir(), "copy.nsf", file, "--template", "mail.ntf"});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r, "copy.nsf exists already");
}

// An export carries the access control list, the information text's
// parts and who signed each note; its import stores the same ACL.
TEST_F(NotesctlDxl, AnExportShowsTheAclTheInformationAndTheSigners) {
    ASSERT_EQ(Notesctl({"init", dir(), "--product-db"}).exitCode, 0);
    {
        RuntimeOn runtime(dir());
        ASSERT_NOERROR(runtime.status());
        DBHANDLE db = NULLHANDLE;
        ASSERT_NOERROR(NSFDbOpen("HCR.nsf", &db));
        NOTEHANDLE icon = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
        ASSERT_NOERROR(NSFNoteSign(icon));
        ASSERT_NOERROR(NSFNoteUpdate(icon, 0));
        NSFNoteClose(icon);
        NSFDbClose(db);
    }
    RunResult first = Notesctl({"export", dir(), "HCR.nsf"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    for (const char *needle :
         {"<database path='HCR.nsf' title='Halcyra' fromtemplate='Halcyra'>",
          "<acl maxinternetaccess='manager'>\n<role>[Admin]</role>\n<role>[SysAdmin]</role>\n"
          "<aclentry name='-Default-' default='true' level='reader' writepublicdocs='true'/>\n",
          "<aclentry name='LocalDomainServers' level='manager' type='servergroup'/>\n",
          "<wassignedby><name>CN=Vanterra/O=Demo</name></wassignedby>"}) {
        EXPECT_NE(first.out.find(needle), std::string::npos) << needle << "\nin\n" << first.out;
    }
    const std::string file = tmp_.file("hcr-export.xml");
    WriteFile(file, first.out);
    RunResult r = Notesctl({"import", dir(), "copy.nsf", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Its access control list (4 entries, 2 roles) replaced the database's."),
              std::string::npos)
        << r.out;
    RunResult second = Notesctl({"export", dir(), "copy.nsf"});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(WithoutIds(second.out), WithoutIds(first.out));
}

TEST_F(NotesctlDxl, ARefusedFileNamesItsLineAndLeavesNothing) {
    ASSERT_EQ(Notesctl({"init", dir()}).exitCode, 0);
    const std::string bad = tmp_.file("bad.xml");
    WriteFile(bad,
              "<database>\n<note class='form'><item name='A'><text>a</text></item></note>\n"
              "<note class='form'>\n<item name='B'><nmber>1</nmber></item></note></database>\n");
    // A new database is not left behind.
    RunResult r = Notesctl({"import", dir(), "new.nsf", bad, "--template", "mail.ntf"});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r,
                       "bad.xml: line 4: unknown element <nmber> in <item> (status 0x0802); "
                       "nothing of it was stored; new.nsf was not made");
    EXPECT_FALSE(FileExists(dir() + "/new.nsf"));
    // An existing database keeps what it had.
    const std::string before = Notesctl({"dump", dir(), "mail.ntf"}).out;
    r = Notesctl({"import", dir(), "mail.ntf", bad});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r, "line 4: unknown element <nmber>");
    EXPECT_EQ(Notesctl({"dump", dir(), "mail.ntf"}).out, before);
    // Not XML at all, and a file that is not there.
    WriteFile(bad, "just text\n");
    r = Notesctl({"import", dir(), "mail.ntf", bad});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r, "line 1: syntax error");
    r = Notesctl({"import", dir(), "mail.ntf", tmp_.file("missing.xml")});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r, "cannot read " + tmp_.file("missing.xml"));
    EXPECT_EQ(Notesctl({"dump", dir(), "mail.ntf"}).out, before);
    // Usage errors.
    EXPECT_EQ(Notesctl({"import", dir(), "mail.ntf"}).exitCode, 64);
    EXPECT_EQ(Notesctl({"import", dir(), "mail.ntf", bad, "--templat", "x"}).exitCode, 64);
    EXPECT_EQ(Notesctl({"export", dir()}).exitCode, 64);
    r = Notesctl({"export", dir(), "none.nsf"});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r, "cannot open none.nsf");
}

// A server registered with its own data directory and marked down: its
// databases do not answer until it is marked up again.
TEST_F(NotesctlDxl, ServerRegistersAClusterMateAndMarksItDownAndUp) {
    ASSERT_EQ(Notesctl({"init", dir()}).exitCode, 0);
    const std::string other = tmp_.file("other");
    ASSERT_EQ(Notesctl({"init", other, "--server", "Vanterra2/Demo"}).exitCode, 0);
    ASSERT_EQ(Notesctl({"import", other, "mail/mrowe.nsf", kSample + "/mail/mrowe.xml",
                        "--template", "mail.ntf"})
                  .exitCode,
              0);
    RunResult r = Notesctl({"server", dir(), "Vanterra2/Demo", "--data", other, "--down"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Server Vanterra2/Demo: data directory " + other + ", down.\n");
    auto open = [&]() {
        RuntimeOn runtime(dir());
        EXPECT_EQ(runtime.status(), NOERROR);
        DBHANDLE db = NULLHANDLE;
        STATUS status = NSFDbOpen("CN=Vanterra2/O=Demo!!mail/mrowe.nsf", &db);
        if (status == NOERROR)
            NSFDbClose(db);
        return status;
    };
    EXPECT_EQ(open(), ERR_SERVER_NOT_RESPONDING);
    r = Notesctl({"server", dir(), "Vanterra2/Demo", "--up"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Server Vanterra2/Demo: up.\n");
    EXPECT_EQ(open(), NOERROR);

    r = Notesctl({"server", dir(), "Nowhere/Demo", "--down"});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r, "the server Nowhere/Demo is not registered");
    EXPECT_EQ(Notesctl({"server", dir(), "Vanterra2/Demo"}).exitCode, 64);
    EXPECT_EQ(Notesctl({"server", dir(), "Vanterra2/Demo", "--down", "--up"}).exitCode, 64);
}

TEST_F(NotesctlDxl, CheckTellsAWholeFileFromADamagedOne) {
    ASSERT_EQ(Notesctl({"init", dir()}).exitCode, 0);
    std::string whole = ReadFile(dir() + "/mail.ntf");
    ASSERT_GT(whole.size(), 4096u);
    // Every page after the first made unreadable.
    std::string damaged = whole;
    for (size_t i = 4096; i < damaged.size(); i++)
        damaged[i] = static_cast<char>(0xA5);
    WriteFile(dir() + "/damaged.nsf", damaged);
    RunResult r = Notesctl({"check", dir(), "damaged.nsf"});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r, "damaged.nsf is damaged: ");
    WriteFile(dir() + "/text.nsf", "not a database\n");
    r = Notesctl({"check", dir(), "text.nsf"});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r, "cannot check text.nsf");
    EXPECT_EQ(Notesctl({"check", dir()}).exitCode, 64);
}

TEST_F(NotesctlDxl, EveryNewVerbHasItsHelp) {
    for (const char *verb : {"import", "export", "server", "check", "init"}) {
        RunResult r = Notesctl({verb, "--help"});
        EXPECT_EQ(r.exitCode, 0) << verb;
        EXPECT_EQ(r.out.rfind(std::string("Usage: notesctl ") + verb, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("64  usage error"), std::string::npos) << verb;
    }
    RunResult overview = Notesctl({"--help"});
    for (const char *verb : {"import", "export", "server", "check"})
        EXPECT_NE(overview.out.find(std::string("  ") + verb + " "), std::string::npos) << verb;
}

// A text longer than one translation piece, with a character of a group of
// two bytes where the piece ends: dump cuts after whole characters only.
TEST_F(NotesctlDxl, DumpCutsLongTextsBetweenWholeCharacters) {
    ASSERT_EQ(Notesctl({"init", dir()}).exitCode, 0);
    std::string expected;
    {
        RuntimeOn runtime(dir());
        ASSERT_EQ(runtime.status(), NOERROR);
        const std::string greek = "αβγ";
        char lmbcs[16];
        WORD n = OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, greek.data(),
                             static_cast<WORD>(greek.size()), lmbcs, sizeof lmbcs);
        ASSERT_EQ(n, 6);  // three characters of the Greek group, two bytes each
        ASSERT_EQ(lmbcs[0], 0x02);
        std::string text;
        for (size_t shift = 0; shift < 3; shift++) {
            std::string piece = std::string(19999 - shift, 'x') + std::string(lmbcs, n);
            text += piece;
            expected += std::string(19999 - shift, 'x') + greek;
        }
        ASSERT_EQ(NSFDbCreate("long.nsf", DBCLASS_BY_EXTENSION, FALSE), NOERROR);
        DBHANDLE db = NULLHANDLE;
        ASSERT_EQ(NSFDbOpen("long.nsf", &db), NOERROR);
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
        ASSERT_EQ(NSFItemAppend(note, 0, "Long", 4, TYPE_TEXT, text.data(),
                                static_cast<DWORD>(text.size())),
                  NOERROR);
        ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
        NSFNoteClose(note);
        NSFDbClose(db);
    }
    Json dump = Dump("long.nsf");
    bool found = false;
    for (const Json &note : dump["notes"].array()) {
        if (!note.has("items"))
            continue;
        for (const Json &item : note["items"].array()) {
            if (item["name"].string() == "Long") {
                EXPECT_EQ(item["value"].string(), expected);
                found = true;
            }
        }
    }
    EXPECT_TRUE(found);
}

}  // namespace
