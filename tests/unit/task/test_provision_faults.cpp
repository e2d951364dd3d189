// Start-up provisioning with each of its platform calls failing in turn:
// whichever call fails, the outcome is one that provisioning can have, no
// handle is left open, HCR.nsf is never damaged nor loses its documents,
// and a template loses its template name only when the call that writes it
// back is the one that fails.
#include <stdlib.h>
#include <sys/stat.h>

#include <set>
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

const STATUS kInjected = ERR_FAULT_INJECTED;

// The walk writes its data directory anew for every call: in memory where
// the machine has it, so that the disk does not set the pace.
const bool kDataInMemory = [] {
    struct stat st;
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode))
        setenv("TMPDIR", "/dev/shm", 1);
    return true;
}();

class ProvisionFaultWalk : public provision_test::ProvisionTest {
  protected:
    // The files of the data directory that a run may change.
    const Lines kFiles = {"hcr/HCR.ntf", "hcr/HCREx.ntf", "hcr/HCR.nsf", "hcr/HCR.xml",
                          "names.nsf",   "log.nsf",       "notes.ini"};

    void Save() {
        ASSERT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u);
        saved_.clear();
        for (const std::string &file : kFiles) {
            for (const char *suffix : {"", "-wal"}) {
                const std::string name = file + suffix;
                if (Exists(name))
                    saved_.push_back({name, test_support::ReadFile(dataFile(name))});
            }
        }
    }

    void Restore() {
        for (const std::string &file : kFiles)
            RemoveDb(file);
        for (const auto &file : saved_)
            test_support::WriteFile(dataFile(file.first), file.second);
    }

    bool HasSettingsDocument() {
        DBHANDLE db = NULLHANDLE;
        if (NSFDbOpen("hcr/HCR.nsf", &db) != NOERROR)
            return false;
        bool found = false;
        NSFSearch(
            db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
            [](void *param, SEARCH_MATCH *, ITEM_TABLE *) -> STATUS {
                *static_cast<bool *>(param) = true;
                return NOERROR;
            },
            &found, nullptr);
        NSFDbClose(db);
        return found;
    }

    // Fails the 1st, 2nd, ... platform call of one provisioning run in turn,
    // each on the saved data directory; returns how many calls the run made.
    // unfailed is what the run gives without a fault.
    unsigned Walk(int setup, bool settingsDocument, STATUS unfailed = NOERROR) {
        const std::set<std::string> lines = {
            "Signing the Halcyra Database Template with the server ID",
            "Signing the Halcyra Database Template(EX) with the server ID",
            "Error signing the Halcyra Database Template (HCR.ntf).",
            "Replacing the Halcyra Database Design",
            "Setting up the Halcyra Database",
            "Error setting up the Halcyra Database.",
            "Finished setting up the Halcyra Database"};
        const std::set<std::string> kCloses = {"NSFDbClose", "NSFNoteClose", "NIFCloseCollection",
                                               "OSMemFree", "DXLDeleteImporter"};
        const std::set<std::string> writeBack = {"NSFDbInfoGet", "NSFDbInfoModify", "NSFDbInfoSet"};
        for (unsigned n = 0;; n++) {
            Restore();
            std::remove(dataFile("console.log").c_str());
            SetIni("HCRSetup", setup);
            StandinFaultInject({"*", kInjected, n, 1, nullptr});
            WORD build = 0;
            const STATUS status = SetUpProductDatabase("hcr", &build);
            const unsigned hits = StandinFaultHits("*");
            char call[64] = {};
            StandinFaultLastWildcardCall(call, sizeof call);
            StandinFaultClear();
            if (hits == 0)
                return n;
            const std::string failed = call;
            SCOPED_TRACE("call " + std::to_string(n) + " failing: " + failed);

            // A close that fails leaves its handle open, here as on the
            // platform; a new runtime starts clean.
            if (kCloses.count(failed))
                RestartRuntime();
            EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u);
            EXPECT_TRUE(status == unfailed || status == NOERROR || status == kInjected ||
                        status == ERR_DB_EXISTS)
                << std::hex << status;
            const std::string log = test_support::FileExists(dataFile("console.log"))
                                        ? test_support::ReadFile(dataFile("console.log"))
                                        : "";
            size_t at = 0;
            while ((at = log.find("Halcyra: ", at)) != std::string::npos) {
                at += 9;
                const std::string line = log.substr(at, log.find('\n', at) - at);
                EXPECT_TRUE(lines.count(line)) << line;
            }
            const int key = Ini("HCRSetup");
            EXPECT_TRUE(key == setup || key == 0) << key;
            // The key's write fails as the write of a notes.ini value.
            if (status == NOERROR && failed != "OSSetEnvironmentInt" &&
                failed != "OSSetEnvironmentVariable") {
                EXPECT_EQ(key, 0);
            }

            for (const auto &t : {std::make_pair("hcr/HCR.ntf", "Halcyra"),
                                  std::make_pair("hcr/HCREx.ntf", "HalcyraEx")}) {
                if (!Exists(t.first))
                    continue;
                EXPECT_EQ(InfoPart(t.first, INFOPARSE_TITLE), "Halcyra") << t.first;
                if (InfoPart(t.first, INFOPARSE_CLASS) != t.second) {
                    EXPECT_TRUE(writeBack.count(failed)) << t.first << " lost its name";
                }
            }
            if (Exists("hcr/HCR.nsf")) {
                char problem[256] = {};
                EXPECT_EQ(StandinDbCheck("hcr/HCR.nsf", problem, sizeof problem), 0) << problem;
                if (settingsDocument) {
                    EXPECT_TRUE(HasSettingsDocument());
                }
            }
            if (status == NOERROR) {
                if (failed != "NSFDbGetBuildVersion") {
                    EXPECT_EQ(build, STANDIN_DEFAULT_BUILD_VERSION);
                }
                DBHANDLE db = NULLHANDLE;
                EXPECT_NOERROR(NSFDbOpen("hcr/HCR.nsf", &db));
                if (db != NULLHANDLE)
                    NSFDbClose(db);
            }
            if (HasFatalFailure() || n > 100000)
                return n;
        }
    }

    void RestartRuntime() {
        NotesRuntimeEnd();
        std::string arg = "=" + iniPath();
        char program[] = "unit-test";
        char *argv[] = {program, arg.data(), nullptr};
        ASSERT_NOERROR(NotesRuntimeStart(2, argv));
    }

    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(ProvisionFaultWalk, FirstStart) {
    MakeTemplates();
    MakeDirectory({}, {});
    ASSERT_NOERROR(StandinDbCreate("log.nsf", DBCLASS_NOTEFILE, 400));
    Save();
    EXPECT_GT(Walk(0, false), 10u);
}

TEST_F(ProvisionFaultWalk, SetupTwoOverAnExistingDatabase) {
    MakeTemplates();
    MakeDirectory({}, {});
    WORD build = 0;
    ASSERT_NOERROR(SetUpProductDatabase("hcr", &build));
    provision_test::Import("hcr/HCR.nsf",
                           "<database><document form='FServerLicense'><item name='Server'>"
                           "<text>CN=Vanterra Test/O=Acme</text></item></document></database>");
    Save();
    EXPECT_GT(Walk(2, true), 100u);
}

// The roles of an administrator's entries, with one template to keep the
// walk short: the pass over the missing HCREx.ntf fails the run.
TEST_F(ProvisionFaultWalk, SetupOneWithAnAdministrator) {
    MakeTemplates(true, false);
    MakeDirectory({"CN=Jo Doe/O=Acme"}, {});
    Save();
    EXPECT_GT(Walk(1, false, ERR_NOEXIST), 100u);
}

TEST_F(ProvisionFaultWalk, SetupOneWithHcrXmlAndNoDatabase) {
    MakeTemplates();
    MakeDirectory({}, {});
    test_support::WriteFile(dataFile("hcr/HCR.xml"),
                            "<database><acl><aclentry name='-Default-' default='true' "
                            "level='reader'/><aclentry name='Jo' level='author'/></acl>"
                            "</database>");
    Save();
    EXPECT_GT(Walk(1, false), 50u);
}

}  // namespace
