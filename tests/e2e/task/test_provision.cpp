// Provisioning of HCR.nsf as the running task does it at start-up, on data
// directories that notesctl makes: the first start, notes.ini "HCRSetup" 1
// and 2, and what fails start-up.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "data_dir.h"
#include "notes_api.h"
#include "process.h"
#include "provision_fixture.h"
#include "test_support.h"

namespace {

using e2e::Background;
using e2e::RunResult;
using e2e::RuntimeOn;
using provision_test::Acl;
using provision_test::IconText;
using provision_test::InfoPart;
using provision_test::Signers;
using Strings = std::vector<std::string>;

const char kVanterra[] = VANTERRA_PATH;
const char kServer[] = "CN=Vanterra/O=Demo";
const WORD kDesignClasses = NOTE_CLASS_ALLNONDATA & ~NOTE_CLASS_ICON;

const char kInitializing[] = "Halcyra: Initializing";
const char kSigning[] = "Halcyra: Signing the Halcyra Database Template with the server ID";
const char kSigningEx[] = "Halcyra: Signing the Halcyra Database Template(EX) with the server ID";
const char kSigningError[] = "Halcyra: Error signing the Halcyra Database Template (HCR.ntf).";
const char kReplacing[] = "Halcyra: Replacing the Halcyra Database Design";
const char kSettingUp[] = "Halcyra: Setting up the Halcyra Database";
const char kSetUpError[] = "Halcyra: Error setting up the Halcyra Database.";
const char kSetUpDone[] = "Halcyra: Finished setting up the Halcyra Database";
const char kComplete[] = "Halcyra: Initialization Complete";

Strings LogLines(const std::string &console) {
    Strings lines;
    for (const std::string &line : e2e::Lines(console)) {
        size_t at = line.find("Halcyra: ");
        if (at != std::string::npos)
            lines.push_back(line.substr(at));
    }
    return lines;
}

// The log lines up to "Initialization Complete" (or the whole log).
Strings StartUpLines(const std::string &console) {
    Strings lines = LogLines(console);
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i] == kComplete) {
            lines.resize(i + 1);
            break;
        }
    }
    return lines;
}

class ProvisionTest : public ::testing::Test {
  protected:
    // A new data directory, one per call.
    void Init(const Strings &options = {}) {
        static int n = 0;
        dir_ = tmp_.file("data" + std::to_string(n++));
        Strings args = {"init", dir_, "--admin", "Jo Doe/Demo", "--full-admin", "Ann Lee/Demo"};
        args.insert(args.end(), options.begin(), options.end());
        RunResult r = e2e::Notesctl(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    // Runs the task until it serves (then stops it) or ends by itself; its
    // console.
    std::string RunTask(bool serves, const std::string &faults = "") {
        static int n = 0;
        Strings argv = {kVanterra, "=" + dir_ + "/notes.ini"};
        if (!faults.empty())
            argv.insert(argv.begin(), {"/usr/bin/env", "NOTES_STANDIN_FAULTS=" + faults});
        Background task(argv, tmp_.file("console" + std::to_string(n++) + ".txt"));
        if (serves) {
            bool up = e2e::WaitFor(
                [&] {
                    return task.Output().find(kComplete) != std::string::npos &&
                           e2e::Notesctl({"show", dir_, "queues"}).out.find("MQ$OutOfOffice ") !=
                               std::string::npos;
                },
                120);
            EXPECT_TRUE(up) << task.Output();
            RunResult told = e2e::Notesctl({"tell", dir_, "vanterra", "quit"});
            EXPECT_EQ(told.exitCode, 0) << told.err;
        }
        EXPECT_TRUE(task.Wait(120)) << task.Output();
        EXPECT_EQ(task.exitCode(), 0);
        EXPECT_EQ(LogLines(task.Output()).back(), "Halcyra: Shutdown Complete");
        return task.Output();
    }

    void SetSetup(int value) {
        RuntimeOn runtime(dir_);
        ASSERT_NOERROR(runtime.status());
        OSSetEnvironmentInt("HCRSetup", value);
    }
    int SetupKey() {
        RuntimeOn runtime(dir_);
        return OSGetEnvironmentInt("HCRSetup");
    }

    bool Exists(const std::string &file) { return test_support::FileExists(dir_ + "/" + file); }

    void ExpectDesignSigned(const std::string &path) {
        const Strings signers = Signers(path, kDesignClasses);
        EXPECT_FALSE(signers.empty()) << path;
        for (const std::string &line : signers)
            EXPECT_EQ(line.substr(line.find(' ') + 1), kServer) << path << ": " << line;
    }

    test_support::TempDir tmp_;
    std::string dir_;
};

// The template table of the server, with the administrator (not the full
// administrator: the server document names an administrator).
Strings TemplateTable() {
    Strings acl = {"roles [Admin] [SysAdmin]", "-Default- 2 0x0400"};
    const Strings rows = {"CN=Vanterra/O=Demo 6 0x0002", "Anonymous 0 0x0200",
                          "LocalDomainServers 6 0x0042", "OtherDomainServers 0 0x0042"};
    for (const std::string &row : rows) {
        acl.push_back(row);
        acl.push_back("[" + row.substr(0, row.find(' ')) + "]" + row.substr(row.find(' ')));
    }
    acl.push_back("[-Default-] 2 0x0400");
    acl.push_back("CN=Jo Doe/O=Demo 6 0x0000 [Admin] [SysAdmin]");
    acl.push_back("[CN=Jo Doe/O=Demo] 6 0x0000 [Admin] [SysAdmin]");
    return acl;
}

TEST_F(ProvisionTest, TheFirstStartMakesHcrNsfFromTheTemplateOfTheLogsBuild) {
    const struct {
        Strings options;
        const char *templateFile, *templateName;
    } cases[] = {
        {{}, "HCR.ntf", "Halcyra"},
        {{"--log-build", "399"}, "HCR.ntf", "Halcyra"},
        {{"--log-build", "400", "--hcr-directory", "apps"}, "HCREx.ntf", "HalcyraEx"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.templateFile + std::string(c.options.empty() ? "" : " " + c.options[1]));
        Init(c.options);
        const std::string folder = c.options.size() > 2 ? "apps\\" : "";
        const std::string hcr = folder + "HCR.nsf";
        ASSERT_FALSE(Exists("HCR.nsf"));
        const std::string console = RunTask(true);
        EXPECT_EQ(StartUpLines(console),
                  (Strings{kInitializing, kSettingUp, kSetUpDone, kComplete}));

        RuntimeOn runtime(dir_);
        ASSERT_NOERROR(runtime.status());
        EXPECT_EQ(Acl(hcr),
                  (Strings{"roles [Admin] [SysAdmin]", "-Default- 2 0x0400", "Anonymous 0 0x0200",
                           "LocalDomainServers 6 0x0042", "OtherDomainServers 0 0x0042"}));
        EXPECT_EQ(IconText(hcr, "$TemplateFileName"), c.templateFile);
        EXPECT_EQ(InfoPart(hcr, INFOPARSE_DESIGN_CLASS), c.templateName);
        EXPECT_EQ(InfoPart(hcr, INFOPARSE_CLASS), "");
        EXPECT_EQ(InfoPart(folder + "HCR.ntf", INFOPARSE_CLASS), "Halcyra");
        EXPECT_EQ(InfoPart(folder + "HCREx.ntf", INFOPARSE_CLASS), "HalcyraEx");
    }
}

TEST_F(ProvisionTest, SetupOneRebuildsTheTemplatesAndSignsThemLeavingHcrNsf) {
    Init();
    RunTask(true);  // HCR.nsf made
    Strings hcrAcl, hcrSigners;
    {
        RuntimeOn runtime(dir_);
        hcrAcl = Acl("HCR.nsf");
        hcrSigners = Signers("HCR.nsf", NOTE_CLASS_ALL);
    }
    SetSetup(1);
    EXPECT_EQ(StartUpLines(RunTask(true)),
              (Strings{kInitializing, kSigning, kSigningEx, kComplete}));
    EXPECT_EQ(SetupKey(), 0);
    RuntimeOn runtime(dir_);
    for (const char *t : {"HCR.ntf", "HCREx.ntf"}) {
        SCOPED_TRACE(t);
        EXPECT_EQ(Acl(t), TemplateTable());
        ExpectDesignSigned(t);
    }
    EXPECT_EQ(Acl("HCR.nsf"), hcrAcl);
    EXPECT_EQ(Signers("HCR.nsf", NOTE_CLASS_ALL), hcrSigners);
}

TEST_F(ProvisionTest, SetupOneWithHcrXmlGivesTheTemplatesItsAcl) {
    Init({"--hcr-directory", "apps"});
    test_support::WriteFile(
        dir_ + "/apps/HCR.xml",
        "<?xml version='1.0' encoding='utf-8'?>\n<database>\n<acl>\n<role>[Admin]</role>\n"
        "<aclentry name='-Default-' default='true' level='reader'/>\n"
        "<aclentry name='CN=Ann Lee/O=Demo' level='author' type='person'/>\n"
        "<aclentry name='CN=Ed Itor/O=Demo' level='editor'><role>[Admin]</role></aclentry>\n"
        "</acl>\n</database>\n");
    SetSetup(1);
    EXPECT_EQ(StartUpLines(RunTask(true)),
              (Strings{kInitializing, kSigning, kSigningEx, kSettingUp, kSetUpDone, kComplete}));
    const Strings fileAcl = {"roles [Admin]", "-Default- 2 0x0400",
                             "CN=Ed Itor/O=Demo 4 0x0000 [Admin]", "CN=Ann Lee/O=Demo 3 0x0420"};
    {
        RuntimeOn runtime(dir_);
        for (const char *t : {"apps\\HCR.ntf", "apps\\HCREx.ntf"}) {
            SCOPED_TRACE(t);
            EXPECT_EQ(Acl(t), fileAcl);
            ExpectDesignSigned(t);
        }
    }
    EXPECT_EQ(SetupKey(), 0);

    // An empty HCR.xml: the templates are still signed and start-up goes on.
    test_support::WriteFile(dir_ + "/apps/HCR.xml", "");
    SetSetup(1);
    EXPECT_EQ(StartUpLines(RunTask(true)),
              (Strings{kInitializing, kSigning, kSigningEx, kComplete}));
    EXPECT_EQ(SetupKey(), 0);
    RuntimeOn runtime(dir_);
    EXPECT_EQ(Acl("apps\\HCREx.ntf"), fileAcl);
    ExpectDesignSigned("apps\\HCREx.ntf");
}

TEST_F(ProvisionTest, WithHcrExNtfMissingSetupFailsStartUpAndKeepsTheKey) {
    Init({"--no-template", "HCREx.ntf"});
    SetSetup(1);
    EXPECT_EQ(LogLines(RunTask(false)),
              (Strings{kInitializing, kSigning, kSigningEx, kSigningError,
                       "Halcyra: " + test_support::StatusText(ERR_NOEXIST),
                       "Halcyra: Shutdown Complete"}));
    EXPECT_EQ(SetupKey(), 1);
    EXPECT_FALSE(Exists("HCR.nsf"));
    EXPECT_EQ(e2e::Lines(e2e::Notesctl({"show", dir_, "queues"}).out).size(), 1u);
}

TEST_F(ProvisionTest, SetupTwoReplacesTheDesignAndKeepsTheSettingsDocuments) {
    Init();
    RunTask(true);
    {
        RuntimeOn runtime(dir_);
        ASSERT_NOERROR(runtime.status());
        provision_test::Import(
            "HCR.nsf",
            "<database><acl><role>[Admin]</role>"
            "<aclentry name='-Default-' default='true' level='author'/>"
            "<aclentry name='Anonymous' level='editor'/></acl>"
            "<document form='FServerLicense'><item name='Server'><text>CN=Vanterra/O=Demo"
            "</text></item><item name='serverURL'><text>https://hcr.example</text></item>"
            "</document><note class='view'><item name='$TITLE'><text>Stale</text></item></note>"
            "</database>");
    }
    SetSetup(2);
    EXPECT_EQ(StartUpLines(RunTask(true)),
              (Strings{kInitializing, kSigning, kSigningEx, kReplacing, kComplete}));
    EXPECT_EQ(SetupKey(), 0);
    RuntimeOn runtime(dir_);
    EXPECT_EQ(Acl("HCR.nsf"),
              (Strings{"roles [Admin]", "-Default- 3 0x0400", "Anonymous 0 0x0200"}));
    // The template's two design notes, signed; the stale view gone; the
    // settings document kept.
    EXPECT_EQ(Signers("HCR.nsf", kDesignClasses).size(), 2u);
    ExpectDesignSigned("HCR.nsf");
    EXPECT_EQ(Signers("HCR.nsf", NOTE_CLASS_DOCUMENT), Strings{"1 -"});
}

TEST_F(ProvisionTest, SetupTwoWithoutHcrNsfMakesItAsUsual) {
    Init();
    SetSetup(2);
    EXPECT_EQ(StartUpLines(RunTask(true)),
              (Strings{kInitializing, kSigning, kSigningEx, kSettingUp, kSetUpDone, kComplete}));
    EXPECT_EQ(SetupKey(), 0);
    RuntimeOn runtime(dir_);
    EXPECT_EQ(IconText("HCR.nsf", "$TemplateFileName"), "HCR.ntf");
    ExpectDesignSigned("HCR.nsf");
}

// A failing step of the creation, through the running task: the template
// keeps its template name unless the write-back is the step that fails.
TEST_F(ProvisionTest, AFailingCreationStepEndsStartUpAndTheTemplateKeepsItsName) {
    const struct {
        const char *faults;
        bool serves;
        const char *templateName;
    } cases[] = {
        {"NSFDbCreateAndCopy=0x0205", false, "Halcyra"},
        {"NSFDbCopyTemplateACL=0x0205", false, "Halcyra"},
        {"NSFDbInfoSet=0x0205+1*1", true, ""},  // the write-back
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.faults);
        Init();
        const Strings log = LogLines(RunTask(c.serves, c.faults));
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[1], kSettingUp);
        EXPECT_EQ(log[2], c.serves ? kSetUpDone : kSetUpError);
        if (!c.serves) {
            EXPECT_EQ(log[3], "Halcyra: " + test_support::StatusText(ERR_DB_IO));
        }
        RuntimeOn runtime(dir_);
        EXPECT_EQ(InfoPart("HCR.ntf", INFOPARSE_CLASS), c.templateName);
        EXPECT_EQ(InfoPart("HCR.ntf", INFOPARSE_TITLE), "Halcyra");
    }
}

}  // namespace
