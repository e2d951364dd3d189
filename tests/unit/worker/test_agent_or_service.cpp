// Agent or service: the platform's out-of-office API where it may be asked,
// else the profile's "TaskType".
#include <string>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using worker_test::Items;
using worker_test::Text;

class AgentOrServiceTest : public worker_test::WorkerTest {
  protected:
    // A mail file whose icon note marks the out-of-office version the API
    // reports ("" for none), and whose profile holds these items; the worker
    // opens it.
    void Open(const std::string &version, const Items &profile) {
        Fresh();
        const std::string path = "mail/m" + std::to_string(++count) + ".nsf";
        {
            worker_test::Database db(path);
            db.SetProfile("OutOfOfficeProfile", profile);
            if (!version.empty()) {
                NOTEHANDLE icon = NULLHANDLE;
                ASSERT_NOERROR(
                    NSFNoteOpen(db.handle(), NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
                worker_test::SetItem(icon, "$OOOVersion", Text(version));
                ASSERT_NOERROR(NSFNoteUpdate(icon, 0));
                NSFNoteClose(icon);
            }
        }
        Access::mailFile(w()) = path;
        Access::userName(w()) = "CN=Jane Doe/O=Acme";
        ASSERT_NOERROR(w().getHCRProfile(true));
    }
    void UseApi(const char *iniValue) { OSSetEnvironmentVariable("HCRUseOOOAPI", iniValue); }
    // The decision's exception text, or "".
    std::string Decide() {
        try {
            EXPECT_EQ(w().getHCRType(), Access::agentType(w()));
            return "";
        } catch (const IPException &e) {
            return e.message();
        }
    }
    int count = 0;
};

TEST_F(AgentOrServiceTest, TheApiIsAskedOnlyWhenAllowedAndTheTaskStateBeginsWithZero) {
    struct Case {
        const char *what;
        const char *ini;  // notes.ini "HCRUseOOOAPI", null: absent
        int32_t allowed;  // what the request thread allowed
        const char *taskState;
        const char *version;  // what the API would answer
        int32_t agentType;
        int32_t allowedAfter;
    } cases[] = {
        {"key absent", nullptr, 1, "0", "1", 0, 0},
        {"key 0", "0", 1, "0", "1", 0, 0},
        {"key 2", "2", 1, "0", "1", 0, 0},
        {"not allowed by the build", "1", 0, "0", "1", 0, 0},
        {"TaskState 1", "1", 1, "1", "1", 0, 1},
        {"no TaskState", "1", 1, nullptr, "1", 0, 1},
        {"the API says agent", "1", 1, "0", "1", 1, 1},
        {"the API says agent, TaskState 0 and more", "1", 1, "0x", "1", 1, 1},
        {"the API says service", "1", 1, "0", "2", 0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Items items = {{"TaskType", Text("2")}};  // "TaskType" alone would say service
        if (c.taskState)
            items.push_back({"TaskState", Text(c.taskState)});
        Open(c.version, items);
        UseApi(c.ini);
        w().SetUseOooApi(c.allowed);
        EXPECT_EQ(Decide(), "");
        EXPECT_EQ(Access::agentType(w()), c.agentType);
        EXPECT_EQ(Access::useOooApi(w()), c.allowedAfter);
    }
    // Once cleared by the key, the worker stays without the API.
    Open("1", {{"TaskState", Text("0")}, {"TaskType", Text("2")}});
    w().SetUseOooApi(1);
    UseApi("0");
    Decide();
    UseApi("1");
    EXPECT_EQ(Decide(), "");
    EXPECT_EQ(Access::agentType(w()), 0);
    EXPECT_EQ(Access::useOooApi(w()), 0);
}

TEST_F(AgentOrServiceTest, OnlyATaskTypeBeginningWithTwoIsTheService) {
    struct Case {
        const char *taskType;  // null: absent
        int32_t agentType;
    } cases[] = {
        {nullptr, 1}, {"", 1}, {"1", 1}, {"x2", 1}, {"3", 1}, {"2", 0}, {"2 service", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.taskType ? c.taskType : "(absent)");
        Items items;
        if (c.taskType)
            items.push_back({"TaskType", Text(c.taskType)});
        Open("", items);
        Access::agentType(w()) = 7;  // every decision starts again
        EXPECT_EQ(Decide(), "");
        EXPECT_EQ(Access::agentType(w()), c.agentType);
    }
}

// A failing call of the API fails the request; whatever was started is
// ended, and the count of the API is given back.
TEST_F(AgentOrServiceTest, AFailingApiCallEndsWhatItStartedAndFailsTheRequest) {
    for (const char *call : {"OOOInit", "OOOStartOperation", "OOOGetState"}) {
        SCOPED_TRACE(call);
        Open("1", {{"TaskState", Text("0")}, {"TaskType", Text("2")}});
        UseApi("1");
        w().SetUseOooApi(1);
        const DWORD handles = StandinHandleCount(STANDIN_HANDLE_ANY);
        StandinFaultInject({call, ERR_OOO_BAD_VERSION, 0, 1, nullptr});
        EXPECT_EQ(Decide(), "getHCRType:" + test_support::StatusText(ERR_OOO_BAD_VERSION));
        EXPECT_EQ(StandinFaultHits(call), 1u);
        StandinFaultClear();
        EXPECT_EQ(Access::resultText(w()), test_support::StatusText(ERR_OOO_BAD_VERSION));
        EXPECT_EQ(Access::agentType(w()), 0) << "TaskType decides";
        // No operation left open, and no count of the API held.
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), handles);
        EXPECT_EQ(OOOTerm(), ERR_OOO_NOT_INITIALIZED);
    }
}

// A version that the mail file marks wrongly is the platform's failure of
// OOOGetState.
TEST_F(AgentOrServiceTest, AMailFileTheApiCannotReadFailsWithItsText) {
    Open("7", {{"TaskState", Text("0")}});
    UseApi("1");
    w().SetUseOooApi(1);
    EXPECT_EQ(Decide(), "getHCRType:" + test_support::StatusText(ERR_OOO_BAD_VERSION));
    EXPECT_EQ(Access::agentType(w()), 1);
    EXPECT_EQ(OOOTerm(), ERR_OOO_NOT_INITIALIZED);
}

}  // namespace
