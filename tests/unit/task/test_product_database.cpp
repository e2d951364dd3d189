// Provisioning of HCR.nsf from its templates, the template work of
// notes.ini "HCRSetup", and the DXL file reader.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "product_database.h"
#include "provision_fixture.h"
#include "standin/fault.h"

namespace {

using provision_test::Acl;
using provision_test::IconText;
using provision_test::InfoPart;
using provision_test::Signers;
using Lines = std::vector<std::string>;

const WORD kDesignClasses = NOTE_CLASS_ALLNONDATA & ~NOTE_CLASS_ICON;

TEST(ProductFilePath, FolderBackslashAndNameOrTheNameAlone) {
    const struct {
        const char *directory;
        const char *expected;
    } cases[] = {
        {"", "HCR.nsf"},
        {nullptr, "HCR.nsf"},
        {"hcr", "hcr\\HCR.nsf"},
        {"apps\\hcr", "apps\\hcr\\HCR.nsf"},
        {"hcr\\", "hcr\\\\HCR.nsf"},  // taken as it stands: two backslashes
        {"hcr/", "hcr/\\HCR.nsf"},
        {" ", " \\HCR.nsf"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ProductFilePath(c.directory, "HCR.nsf"), c.expected)
            << (c.directory ? c.directory : "(null)");
    }
    EXPECT_EQ(ProductFilePath("hcr", "HCREx.ntf"), "hcr\\HCREx.ntf");
}

class ProductDatabaseTest : public provision_test::ProvisionTest {
  protected:
    std::string ConsoleLog() const { return dataFile("console.log"); }

    // The task's log lines so far; the log is emptied.
    Lines TakeLog() {
        Lines lines = test_support::TaskLogLines(ConsoleLog());
        std::remove(ConsoleLog().c_str());
        return lines;
    }

    STATUS SetUp(WORD *build = nullptr) {
        WORD ignored = 0;
        return SetUpProductDatabase("hcr", build != nullptr ? build : &ignored);
    }

    // A settings document in the database at path.
    void AddSettingsDocument(const std::string &path) {
        provision_test::Import(
            path, "<database><document form='FServerLicense'><item name='Server'><text>" +
                      std::string(provision_test::kServer) +
                      "</text></item><item name='serverURL'><text>https://hcr.example</text>"
                      "</item></document></database>");
    }

    // One text item of each note of the classes, in note order.
    Lines ItemOfEach(const std::string &path, WORD classes, const char *item) {
        struct Context {
            DBHANDLE db;
            const char *item;
            Lines texts;
        } context{NULLHANDLE, item, {}};
        if (NSFDbOpen(path.c_str(), &context.db) != NOERROR)
            return {"<no database>"};
        NSFSearch(
            context.db, NULLHANDLE, nullptr, 0, classes, nullptr,
            [](void *param, SEARCH_MATCH *match, ITEM_TABLE *) -> STATUS {
                auto *c = static_cast<Context *>(param);
                NOTEHANDLE note = NULLHANDLE;
                if (NSFNoteOpen(c->db, match->NoteID, 0, &note) == NOERROR) {
                    char text[128] = {};
                    NSFItemGetText(note, c->item, text, sizeof text);
                    c->texts.push_back(text);
                    NSFNoteClose(note);
                }
                return NOERROR;
            },
            &context, nullptr);
        NSFDbClose(context.db);
        return context.texts;
    }
    // The documents of a database, as their "serverURL".
    Lines Documents(const std::string &path) {
        return ItemOfEach(path, NOTE_CLASS_DOCUMENT, "serverURL");
    }
    Lines DesignTitles(const std::string &path) {
        return ItemOfEach(path, kDesignClasses, "$TITLE");
    }

    // Every design note signed by this server and without "$POID".
    void ExpectDesignSigned(const std::string &path) {
        const Lines signers = Signers(path, kDesignClasses);
        EXPECT_FALSE(signers.empty()) << path;
        for (const std::string &line : signers) {
            EXPECT_EQ(line.substr(line.find(' ') + 1), provision_test::kServer)
                << path << ": " << line;
        }
    }

    void ExpectNoLeaks() {
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY),
                  StandinHandleCount(STANDIN_HANDLE_STATUSLINE));
    }
};

// The ACL that each template gets from its rebuild, the server's
// administrator included.
Lines TemplateTableAcl() {
    return {"roles [Admin] [SysAdmin]",
            "-Default- 2 0x0400",
            "CN=Vanterra Test/O=Acme 6 0x0002",
            "[CN=Vanterra Test/O=Acme] 6 0x0002",
            "Anonymous 0 0x0200",
            "[Anonymous] 0 0x0200",
            "LocalDomainServers 6 0x0042",
            "[LocalDomainServers] 6 0x0042",
            "OtherDomainServers 0 0x0042",
            "[OtherDomainServers] 0 0x0042",
            "[-Default-] 2 0x0400",
            "CN=Jo Doe/O=Acme 6 0x0000 [Admin] [SysAdmin]",
            "[CN=Jo Doe/O=Acme] 6 0x0000 [Admin] [SysAdmin]"};
}

// What HCR.nsf inherits from the shipped templates' bracketed entries.
Lines InheritedAcl() {
    return {"roles [Admin] [SysAdmin]", "-Default- 2 0x0400", "Anonymous 0 0x0200",
            "LocalDomainServers 6 0x0042", "OtherDomainServers 0 0x0042"};
}

TEST_F(ProductDatabaseTest, AnExistingDatabaseGivesItsBuildVersionAndNothingIsLogged) {
    ASSERT_EQ(mkdir(dataFile("apps").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dataFile("apps/hcr").c_str(), 0755), 0);
    ASSERT_NOERROR(StandinDbCreate("apps/hcr/HCR.nsf", DBCLASS_NOTEFILE, 378));
    ASSERT_NOERROR(StandinDbCreate("HCR.nsf", DBCLASS_NOTEFILE, 450));

    for (WORD version : {378, 379, 1, 0xFFFF}) {
        ASSERT_NOERROR(StandinDbSetBuildVersion("apps/hcr/HCR.nsf", version));
        WORD build = 0xBEEF;
        EXPECT_NOERROR(SetUpProductDatabase("apps\\hcr", &build));
        EXPECT_EQ(build, version);
    }
    WORD build = 0;
    EXPECT_NOERROR(SetUpProductDatabase("", &build));  // the one in the data directory
    EXPECT_EQ(build, 450);
    EXPECT_EQ(TakeLog(), Lines{});
    ExpectNoLeaks();
}

TEST_F(ProductDatabaseTest, AMissingDatabaseIsMadeFromTheTemplateTheLogsBuildChooses) {
    const struct {
        int logBuild;  // -1: no log.nsf
        const char *templateFile, *templateName;
    } cases[] = {
        {-1, "HCR.ntf", "Halcyra"},
        {399, "HCR.ntf", "Halcyra"},
        {400, "HCREx.ntf", "HalcyraEx"},
        {0xFFFF, "HCREx.ntf", "HalcyraEx"},
    };
    MakeTemplates();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.logBuild);
        RemoveDb("hcr/HCR.nsf");
        RemoveDb("log.nsf");
        if (c.logBuild >= 0)
            ASSERT_NOERROR(StandinDbCreate("log.nsf", DBCLASS_NOTEFILE, c.logBuild));
        WORD build = 0;
        ASSERT_NOERROR(SetUp(&build));
        EXPECT_EQ(build, STANDIN_DEFAULT_BUILD_VERSION);
        EXPECT_EQ(TakeLog(), (Lines{"Halcyra: Setting up the Halcyra Database",
                                    "Halcyra: Finished setting up the Halcyra Database"}));
        EXPECT_EQ(IconText("hcr/HCR.nsf", "$TemplateFileName"), c.templateFile);
        EXPECT_EQ(InfoPart("hcr/HCR.nsf", INFOPARSE_TITLE), "Halcyra");
        EXPECT_EQ(InfoPart("hcr/HCR.nsf", INFOPARSE_CLASS), "");
        EXPECT_EQ(InfoPart("hcr/HCR.nsf", INFOPARSE_DESIGN_CLASS), c.templateName);
        EXPECT_EQ(DesignTitles("hcr/HCR.nsf"), (Lines{"(Setup Doc)", "FServerLicense"}));
        EXPECT_EQ(Acl("hcr/HCR.nsf"), InheritedAcl());
        // The templates keep their names.
        EXPECT_EQ(InfoPart("hcr/HCR.ntf", INFOPARSE_CLASS), "Halcyra");
        EXPECT_EQ(InfoPart("hcr/HCREx.ntf", INFOPARSE_CLASS), "HalcyraEx");
    }
    // Made once, it is opened from then on.
    EXPECT_NOERROR(SetUp());
    EXPECT_EQ(TakeLog(), Lines{});
    ExpectNoLeaks();
}

TEST_F(ProductDatabaseTest, WithoutTheTemplateNothingIsCreatedAndStartUpFails) {
    MakeTemplates(false, true);  // log.nsf absent: HCR.ntf is the one
    EXPECT_EQ(SetUp(), ERR_NOEXIST);
    EXPECT_EQ(TakeLog(), (Lines{"Halcyra: Setting up the Halcyra Database",
                                "Halcyra: Error setting up the Halcyra Database."}));
    EXPECT_FALSE(Exists("hcr/HCR.nsf"));
    ExpectNoLeaks();
}

TEST_F(ProductDatabaseTest, AnHcrNsfThatCannotBeOpenedIsNeverOverwritten) {
    MakeTemplates();
    // Damaged: a file that is no database.
    test_support::WriteFile(dataFile("hcr/HCR.nsf"), "not a database");
    EXPECT_EQ(SetUp(), ERR_DB_EXISTS);
    EXPECT_EQ(TakeLog(), (Lines{"Halcyra: Setting up the Halcyra Database",
                                "Halcyra: Error setting up the Halcyra Database."}));
    EXPECT_EQ(test_support::ReadFile(dataFile("hcr/HCR.nsf")), "not a database");

    // Busy: its open fails, its settings document stays.
    RemoveDb("hcr/HCR.nsf");
    ASSERT_NOERROR(SetUp());
    AddSettingsDocument("hcr/HCR.nsf");
    TakeLog();
    StandinFaultInject({"NSFDbOpen", ERR_DB_BUSY, 0, 1, "hcr/HCR.nsf"});
    EXPECT_EQ(SetUp(), ERR_DB_EXISTS);
    StandinFaultClear();
    EXPECT_EQ(TakeLog(), (Lines{"Halcyra: Setting up the Halcyra Database",
                                "Halcyra: Error setting up the Halcyra Database."}));
    EXPECT_EQ(Documents("hcr/HCR.nsf"), Lines{"https://hcr.example"});
    ExpectNoLeaks();
}

TEST_F(ProductDatabaseTest, ATemplateKeepsItsNameWhateverStepOfTheCreationFails) {
    MakeTemplates();
    const struct {
        StandinFault fault;
        bool keepsName;
        bool created;
    } cases[] = {
        {{"NSFDbReopen", ERR_MEMORY, 0, 1, nullptr}, true, false},
        {{"NSFDbCreateAndCopy", ERR_DB_IO, 0, 1, nullptr}, true, false},
        {{"NSFDbCopyTemplateACL", ERR_ACL_FULL, 0, 1, nullptr}, true, true},
        {{"NSFDbInfoGet", ERR_MEMORY, 0, 1, nullptr}, true, true},
        {{"NSFDbInfoSet", ERR_DB_IO, 0, 1, nullptr}, true, true},
        // The write-back itself: the one road on which the name is lost.
        {{"NSFDbInfoSet", ERR_DB_IO, 1, 1, nullptr}, false, true},
        {{"NSFItemSetText", ERR_MEMORY, 0, 1, nullptr}, true, true},
        {{"NSFNoteUpdate", ERR_DB_IO, 0, 1, nullptr}, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.fault.call) + " +" + std::to_string(c.fault.skip));
        RemoveDb("hcr/HCR.nsf");
        StandinFaultInject(c.fault);
        STATUS status = CreateDatabaseFromTemplate("hcr\\HCR.nsf", "hcr\\HCR.ntf");
        EXPECT_EQ(StandinFaultHits(c.fault.call), 1u);
        StandinFaultClear();
        // The failing step's status, except for the unchecked ones.
        if (std::string(c.fault.call) != "NSFDbInfoGet" &&
            std::string(c.fault.call) != "NSFDbInfoSet") {
            EXPECT_EQ(status, c.fault.status);
        }
        EXPECT_EQ(InfoPart("hcr/HCR.ntf", INFOPARSE_CLASS), c.keepsName ? "Halcyra" : "");
        EXPECT_EQ(InfoPart("hcr/HCR.ntf", INFOPARSE_TITLE), "Halcyra");
        EXPECT_EQ(Exists("hcr/HCR.nsf"), c.created);
        if (!c.keepsName) {
            RemoveDb("hcr/HCR.ntf");
            MakeTemplates(true, false);
        }
    }
    ExpectNoLeaks();
}

TEST_F(ProductDatabaseTest, SetupOneRebuildsBothTemplatesAclsAndSignsTheirDesign) {
    MakeTemplates();
    MakeDirectory({"Jo Doe/Acme"}, {"CN=Max Rowe/O=Acme"});
    AddPoids("hcr/HCR.ntf");
    AddPoids("hcr/HCREx.ntf");
    ASSERT_NOERROR(SetUp());
    AddSettingsDocument("hcr/HCR.nsf");
    const Lines hcrAcl = Acl("hcr/HCR.nsf");
    const Lines hcrSigners = Signers("hcr/HCR.nsf", NOTE_CLASS_ALL);
    TakeLog();

    SetIni("HCRSetup", 1);
    WORD build = 0;
    ASSERT_NOERROR(SetUp(&build));
    EXPECT_EQ(build, STANDIN_DEFAULT_BUILD_VERSION);
    EXPECT_EQ(TakeLog(),
              (Lines{"Halcyra: Signing the Halcyra Database Template with the server ID",
                     "Halcyra: Signing the Halcyra Database Template(EX) with the server ID"}));
    for (const char *t : {"hcr/HCR.ntf", "hcr/HCREx.ntf"}) {
        SCOPED_TRACE(t);
        EXPECT_EQ(Acl(t), TemplateTableAcl());
        ExpectDesignSigned(t);
    }
    EXPECT_EQ(Ini("HCRSetup"), 0);
    EXPECT_EQ(Acl("hcr/HCR.nsf"), hcrAcl);
    EXPECT_EQ(Signers("hcr/HCR.nsf", NOTE_CLASS_ALL), hcrSigners);
    EXPECT_EQ(Documents("hcr/HCR.nsf"), Lines{"https://hcr.example"});
    ExpectNoLeaks();
}

// An HCR.xml of the platform's DXL with an ACL: a reader, an author with the
// right already, an editor, the default entry at author.
const char kHcrXml[] =
    "<?xml version='1.0'?>\n<database>\n<acl>\n<role>[Admin]</role>\n"
    "<aclentry name='-Default-' default='true' level='author'/>\n"
    "<aclentry name='CN=Reader/O=Acme' level='reader' type='person'/>\n"
    "<aclentry name='Writers' level='author' type='mixedgroup' writepublicdocs='true'/>\n"
    "<aclentry name='CN=Editor/O=Acme' level='editor'><role>[Admin]</role></aclentry>\n"
    "</acl>\n</database>\n";

TEST_F(ProductDatabaseTest, SetupOneWithHcrXmlImportsItsAclIntoBothTemplates) {
    MakeTemplates();
    MakeDirectory({"Jo Doe/Acme"}, {});
    test_support::WriteFile(dataFile("hcr/HCR.xml"), kHcrXml);
    SetIni("HCRSetup", 1);
    // A relative HCR.xml is found against the data directory, not the
    // folder the task runs in.
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir("/"), 0);
    STATUS status = SetUp();
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_NOERROR(status);
    const Lines expected = {"roles [Admin]", "-Default- 3 0x0400", "Writers 3 0x0440",
                            "CN=Editor/O=Acme 4 0x0000 [Admin]", "CN=Reader/O=Acme 2 0x0420"};
    for (const char *t : {"hcr/HCR.ntf", "hcr/HCREx.ntf"}) {
        SCOPED_TRACE(t);
        EXPECT_EQ(Acl(t), expected);
        ExpectDesignSigned(t);
    }
    EXPECT_EQ(Ini("HCRSetup"), 0);

    // A malformed or empty file still leaves the templates signed and the
    // set-up done; it changes no ACL.
    for (const char *content : {"", "<database><acl>"}) {
        SCOPED_TRACE(std::string("HCR.xml \"") + content + "\"");
        test_support::WriteFile(dataFile("hcr/HCR.xml"), content);
        AddPoids("hcr/HCREx.ntf");
        SetIni("HCRSetup", 1);
        EXPECT_NOERROR(SetUp());
        EXPECT_EQ(Acl("hcr/HCREx.ntf"), expected);
        ExpectDesignSigned("hcr/HCREx.ntf");
        EXPECT_EQ(Ini("HCRSetup"), 0);
    }
    ExpectNoLeaks();
}

TEST_F(ProductDatabaseTest, AMissingTemplateInTheSecondPassFailsAndKeepsTheKey) {
    const struct {
        bool ntf, ex;
        STATUS expected;
        int keyAfter;
    } cases[] = {
        {true, false, ERR_NOEXIST, 1}, {false, true, NOERROR, 0},  // only the second pass decides
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ntf ? "HCREx.ntf missing" : "HCR.ntf missing");
        RemoveDb("hcr/HCR.ntf");
        RemoveDb("hcr/HCREx.ntf");
        RemoveDb("hcr/HCR.nsf");
        MakeTemplates(c.ntf, c.ex);
        ASSERT_NOERROR(StandinDbCreate("log.nsf", DBCLASS_NOTEFILE, c.ex ? 400 : 100));
        TakeLog();
        SetIni("HCRSetup", 1);
        EXPECT_EQ(SetUp(), c.expected);
        EXPECT_EQ(Ini("HCRSetup"), c.keyAfter);
        Lines log = TakeLog();
        ASSERT_GE(log.size(), 3u);
        Lines expected = {"Halcyra: Signing the Halcyra Database Template with the server ID"};
        if (!c.ntf)
            expected.push_back("Halcyra: Error signing the Halcyra Database Template (HCR.ntf).");
        expected.push_back("Halcyra: Signing the Halcyra Database Template(EX) with the server ID");
        if (!c.ex)
            expected.push_back("Halcyra: Error signing the Halcyra Database Template (HCR.ntf).");
        log.resize(expected.size());
        EXPECT_EQ(log, expected);
        EXPECT_EQ(Exists("hcr/HCR.nsf"), c.expected == NOERROR);
        RemoveDb("log.nsf");
    }
    ExpectNoLeaks();
}

TEST_F(ProductDatabaseTest, SetupTwoReplacesTheDesignFromTheNamedTemplateAndKeepsTheDocuments) {
    const struct {
        const char *templateFileName;  // written into HCR.nsf before the run
        const char *source;
    } cases[] = {
        {"HCREx.ntf", "HalcyraEx"},
        {"hcrex.ntf", "Halcyra"},  // the name is compared with its case
        {"HCR.ntf", "Halcyra"},
        {"", "Halcyra"},
    };
    MakeTemplates();
    MakeDirectory({"Jo Doe/Acme"}, {});
    // The templates differ: HCREx.ntf has a form more.
    provision_test::Import("hcr/HCREx.ntf",
                           "<database><note class='form'><item name='$TITLE'><text>Extra</text>"
                           "</item></note></database>");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.templateFileName);
        RemoveDb("hcr/HCR.nsf");
        ASSERT_NOERROR(SetUp());
        AddSettingsDocument("hcr/HCR.nsf");
        provision_test::Import("hcr/HCR.nsf",
                               "<database><acl><aclentry name='-Default-' default='true' "
                               "level='reader'/><aclentry name='Anonymous' level='editor'/>"
                               "</acl><note class='view'><item name='$TITLE'><text>Old</text>"
                               "</item></note></database>");
        {
            DBHANDLE db = NULLHANDLE;
            ASSERT_NOERROR(NSFDbOpen("hcr/HCR.nsf", &db));
            NOTEHANDLE icon = NULLHANDLE;
            ASSERT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
            ASSERT_NOERROR(NSFItemSetText(icon, "$TemplateFileName", c.templateFileName, MAXWORD));
            ASSERT_NOERROR(NSFNoteUpdate(icon, 0));
            NSFNoteClose(icon);
            NSFDbClose(db);
        }
        TakeLog();
        SetIni("HCRSetup", 2);
        ASSERT_NOERROR(SetUp());
        Lines log = TakeLog();
        EXPECT_EQ(log.back(), "Halcyra: Replacing the Halcyra Database Design");
        const bool ex = std::string(c.source) == "HalcyraEx";
        EXPECT_EQ(DesignTitles("hcr/HCR.nsf"),
                  ex ? (Lines{"(Setup Doc)", "FServerLicense", "Extra"})
                     : (Lines{"(Setup Doc)", "FServerLicense"}));
        EXPECT_EQ(IconText("hcr/HCR.nsf", "$TemplateFileName"), ex ? "HCREx.ntf" : "HCR.ntf");
        EXPECT_EQ(Documents("hcr/HCR.nsf"), Lines{"https://hcr.example"});
        EXPECT_EQ(Acl("hcr/HCR.nsf"), (Lines{"roles", "-Default- 2 0x0400", "Anonymous 0 0x0200"}));
        ExpectDesignSigned("hcr/HCR.nsf");
        EXPECT_EQ(Ini("HCRSetup"), 0);
    }

    // Without HCR.nsf: no replacement, a normal creation.
    RemoveDb("hcr/HCR.nsf");
    SetIni("HCRSetup", 2);
    ASSERT_NOERROR(SetUp());
    const Lines log = TakeLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2], "Halcyra: Setting up the Halcyra Database");
    EXPECT_EQ(log[3], "Halcyra: Finished setting up the Halcyra Database");
    EXPECT_EQ(Ini("HCRSetup"), 0);
    // The bracketed entries of the rebuilt template.
    EXPECT_EQ(
        Acl("hcr/HCR.nsf"),
        (Lines{"roles [Admin] [SysAdmin]", "-Default- 2 0x0400", "CN=Vanterra Test/O=Acme 6 0x0002",
               "Anonymous 0 0x0200", "LocalDomainServers 6 0x0042", "OtherDomainServers 0 0x0042",
               "CN=Jo Doe/O=Acme 6 0x0000 [Admin] [SysAdmin]"}));
    ExpectNoLeaks();
}

TEST_F(ProductDatabaseTest, TheReaderDeliversTheFileInPiecesThenNothing) {
    const struct {
        size_t size;
        DWORD wanted;
        std::vector<DWORD> reads;
    } cases[] = {
        {10000, 4096, {4096, 4096, 1808, 0, 0}},
        {4096, 4096, {4096, 0}},
        {0, 4096, {0, 0}},
        {5, 1, {1, 1, 1, 1, 1, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.size);
        std::string content(c.size, 'x');
        for (size_t i = 0; i < c.size; i++)
            content[i] = static_cast<char>('a' + i % 26);
        test_support::WriteFile(dataFile("r.xml"), content);
        const std::string path = dataFile("r.xml");
        DxlReaderContext context;
        std::memset(&context, 0, sizeof context);
        context.path = path.c_str();
        std::vector<BYTE> buffer(c.wanted);
        std::string delivered;
        std::vector<DWORD> reads;
        for (size_t i = 0; i < c.reads.size(); i++) {
            DWORD n = DxlFileReaderCallback(buffer.data(), c.wanted, &context);
            reads.push_back(n);
            delivered.append(reinterpret_cast<char *>(buffer.data()), n);
        }
        EXPECT_EQ(reads, c.reads);
        EXPECT_EQ(delivered, content);
        EXPECT_EQ(context.file, nullptr);  // closed once done
    }
    DxlReaderContext missing;
    std::memset(&missing, 0, sizeof missing);
    const std::string none = dataFile("none.xml");
    missing.path = none.c_str();
    BYTE byte = 0;
    EXPECT_EQ(DxlFileReaderCallback(&byte, 1, &missing), 0u);
    EXPECT_EQ(DxlFileReaderCallback(&byte, 1, &missing), 0u);
}

TEST_F(ProductDatabaseTest, TheSigningRoutineSkipsANoteThatIsNoMatch) {
    MakeTemplates(true, false);
    DBHANDLE db = NULLHANDLE;
    ASSERT_NOERROR(NSFDbOpen("hcr/HCR.ntf", &db));
    NOTEID form = 0;
    ASSERT_NOERROR(NIFFindDesignNoteExt(db, "FServerLicense", NOTE_CLASS_FORM, "", &form, 0));
    SEARCH_MATCH match{};
    match.NoteID = form;
    match.SERetFlags = 0;
    EXPECT_NOERROR(SignDesignNoteCallback(&db, &match, nullptr));
    match.NoteID = 0xFFFF;  // no such note: the open's status ends the search
    match.SERetFlags = SE_FMATCH;
    EXPECT_EQ(SignDesignNoteCallback(&db, &match, nullptr), ERR_INVALID_NOTE);
    NSFDbClose(db);
    EXPECT_EQ(Signers("hcr/HCR.ntf", NOTE_CLASS_FORM), Lines{"4 -"});
    ExpectNoLeaks();
}

}  // namespace
