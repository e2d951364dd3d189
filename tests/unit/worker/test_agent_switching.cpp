// The agent's design note rewritten to switch out-of-office on and off, and
// what the switch brings in line around it.
#include <string>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "update_fixture.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using update_test::Note;
using worker_test::Items;
using worker_test::NowPlus;
using worker_test::Text;
using worker_test::Time;

const char kServer[] = "CN=Mail1/O=Acme";

// An assistant-information value: the type word, then a record of 64 bytes
// whose first WORD is the version.
std::string AssistInfo(WORD version, size_t length = 64) {
    std::string record(length, '\0');
    record[0] = static_cast<char>(version & 0xFF);
    record[1] = static_cast<char>(version >> 8);
    record[10] = 'k';  // a member that must come back as it was
    return record;
}

class AgentSwitchingTest : public update_test::MailWorkerTest {
  protected:
    // A mail file whose agent note holds these items (stored through
    // NSFItemAppend, with their own types), opened by a fresh worker.
    struct Raw {
        const char *name;
        WORD type;
        std::string value;
    };
    void Open(const std::vector<Raw> &agentItems, const Items &profile = {},
              const Items &service = {}) {
        NewMailFile();
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteCreate(db->handle(), &note));
        const WORD cls = NOTE_CLASS_FILTER;
        NSFNoteSetInfo(note, _NOTE_CLASS, &cls);
        ASSERT_NOERROR(NSFItemSetText(note, "$TITLE", "OutOfOffice", MAXWORD));
        for (const Raw &r : agentItems) {
            ASSERT_NOERROR(NSFItemAppend(note, ITEM_SUMMARY, r.name,
                                         static_cast<WORD>(strlen(r.name)), r.type, r.value.data(),
                                         static_cast<DWORD>(r.value.size())));
        }
        ASSERT_NOERROR(NSFNoteUpdate(note, 0));
        NSFNoteGetInfo(note, _NOTE_ID, &agentId);
        NSFNoteClose(note);
        StoreProfiles(profile, service);
        OpenWorker();
        IPHCRTestAccess::mailServer(w()) = kServer;
    }

    NOTEID agentId = 0;
};

TEST_F(AgentSwitchingTest, TheFlagTextsGainOrLoseTheirEWholeAndSigned) {
    const std::string longFlags = std::string(300, 'f') + "E" + std::string(20, 'g');
    struct Case {
        const char *flags;  // null: absent
        bool on;
        std::string result;
    } cases[] = {
        {"ab", true, "abE"},
        {"ab", false, "ab"},
        {"aEbE", true, "aEbE"},
        {"aEbE", false, "abE"},
        {nullptr, true, "E"},
        {nullptr, false, ""},
        {"", true, "E"},
        {longFlags.c_str(), false, std::string(300, 'f') + std::string(20, 'g')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.flags ? c.flags : "(absent)") + (c.on ? " on" : " off"));
        std::vector<Raw> items = {{"$UpdatedBy", TYPE_TEXT, "old"}};
        if (c.flags)
            items.push_back({"$AssistFlags", TYPE_TEXT, c.flags});
        Open(items);
        EXPECT_EQ(w().setAgentEnable(c.on), 1);
        Note agent(db->handle(), agentId);
        EXPECT_EQ(agent.text("$AssistFlags"), c.result);
        EXPECT_EQ(agent.flags("$AssistFlags"), ITEM_SIGN | ITEM_SUMMARY);
        EXPECT_EQ(agent.text("$MachineName"), kServer);
        EXPECT_EQ(agent.text("$UpdatedBy"), kServer);
        EXPECT_EQ(agent.signer(), "CN=Vanterra Test/O=Acme");
        EXPECT_EQ(agent.has("$OnBehalfOf"), c.on);
    }
}

// Switching on brings the record's version to 2, marks the agent
// activated and unrestricted, and leaves what needs no change as it was.
TEST_F(AgentSwitchingTest, SwitchingOnSetsTheRecordActivationAndRestriction) {
    const NUMBER one = 1, zero = 0;
    const std::string oneBytes(reinterpret_cast<const char *>(&one), 8);
    const std::string zeroBytes(reinterpret_cast<const char *>(&zero), 8);
    struct Case {
        const char *what;
        std::vector<Raw> items;
        std::string assistInfo;  // "" when absent after
        const char *flagsExt;
        WORD flagsExtFlags;
        WORD restrictedFlags;
    } cases[] = {
        {"version 1, nothing else",
         {{"$AssistInfo", TYPE_ASSISTANT_INFO, AssistInfo(1)}},
         AssistInfo(2),
         "a",
         ITEM_SIGN | ITEM_SUMMARY,
         ITEM_SIGN | ITEM_SUMMARY},
        {"version 2, activated, restricted",
         {{"$AssistInfo", TYPE_ASSISTANT_INFO, AssistInfo(2)},
          {"$FlagsExt", TYPE_TEXT, "xa"},
          {"$Restricted", TYPE_NUMBER, oneBytes},
          {"$AssistFlags2", TYPE_TEXT, "z"}},
         AssistInfo(2),
         "xa",
         ITEM_SUMMARY,
         ITEM_SIGN | ITEM_SUMMARY},
        {"version 3, flags without a, unrestricted",
         {{"$AssistInfo", TYPE_ASSISTANT_INFO, AssistInfo(3)},
          {"$FlagsExt", TYPE_TEXT, "x"},
          {"$Restricted", TYPE_NUMBER, zeroBytes}},
         AssistInfo(3),
         "xa",
         ITEM_SIGN | ITEM_SUMMARY,
         ITEM_SUMMARY},
        {"a record cut short",
         {{"$AssistInfo", TYPE_ASSISTANT_INFO, AssistInfo(1, 20)}},
         AssistInfo(1, 20),
         "a",
         ITEM_SIGN | ITEM_SUMMARY,
         ITEM_SIGN | ITEM_SUMMARY},
        {"another type",
         {{"$AssistInfo", TYPE_TEXT, AssistInfo(1)}},
         AssistInfo(1),
         "a",
         ITEM_SIGN | ITEM_SUMMARY,
         ITEM_SIGN | ITEM_SUMMARY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Open(c.items);
        const DWORD memory = StandinHandleCount(STANDIN_HANDLE_MEMORY);
        EXPECT_EQ(w().setAgentEnable(true), 1);
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), memory) << "every block given back";
        Note agent(db->handle(), agentId);
        EXPECT_EQ(agent.text("$AssistInfo"), c.assistInfo);
        EXPECT_EQ(agent.text("$FlagsExt"), c.flagsExt);
        EXPECT_EQ(agent.flags("$FlagsExt"), c.flagsExtFlags);
        EXPECT_EQ(agent.number("$Restricted"), 0);
        EXPECT_EQ(agent.flags("$Restricted"), c.restrictedFlags);
        EXPECT_FALSE(agent.has("$AssistFlags2"));
        EXPECT_EQ(agent.signer(), "CN=Vanterra Test/O=Acme");
    }
}

// A failing call ends the rewrite: the stored note stays as it was, and
// every block is given back.
TEST_F(AgentSwitchingTest, AFailedRewriteLeavesTheStoredNoteAsItWas) {
    for (const char *call : {"NSFItemAppendByBLOCKID", "ODSWriteMemory", "ODSLength", "OSMemAlloc",
                             "NSFNoteSign", "NSFNoteUpdate", "NSFProfileGetField"}) {
        SCOPED_TRACE(call);
        Open({{"$AssistFlags", TYPE_TEXT, "S"},
              {"$AssistInfo", TYPE_ASSISTANT_INFO, AssistInfo(1)}});
        db->SetProfile("CalendarProfile", {{"Owner", Text("CN=Boss/O=Acme")}});
        std::string before;
        {
            Note agent(db->handle(), agentId);
            before = agent.state();
        }
        const DWORD open = StandinHandleCount(STANDIN_HANDLE_ANY);
        StandinFaultInject({call, ERR_DB_BUSY, 0, 1, nullptr});
        std::string message;
        try {
            w().setAgentEnable(true);
        } catch (const IPException &e) {
            message = e.message();
        }
        StandinFaultClear();
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), open);
        Note agent(db->handle(), agentId);
        if (std::string(call) == "NSFProfileGetField") {
            // No owner to be had is no failure: the user acts for himself.
            EXPECT_EQ(message, "");
            EXPECT_EQ(agent.text("$OnBehalfOf"), "CN=Jane Doe/O=Acme");
            continue;
        }
        const STATUS status = std::string(call) == "ODSLength" ? ERR_ODS_UNKNOWN_TYPE : ERR_DB_BUSY;
        EXPECT_EQ(message, "setAgentEnable:" + test_support::StatusText(status));
        EXPECT_EQ(agent.state(), before);
    }
}

TEST_F(AgentSwitchingTest, AnAgentAlreadyInTheAskedStateChangesOnlyTheTaskItems) {
    struct Case {
        const char *flags;
        bool on;
        const char *taskState;
    } cases[] = {{"E", true, "0"}, {"", false, "1"}};
    for (const Case &c : cases) {
        Open({{"$AssistFlags", TYPE_TEXT, c.flags}},
             // Dates that would fail the check: it does not run.
             {{"dateFirstDayBack", Time(NowPlus(-3))},
              {"BookBusyTime", Text("1")},
              {"CurrentStatus", Text("x")}});
        std::string before;
        {
            Note agent(db->handle(), agentId);
            before = agent.state();
        }
        EXPECT_EQ(c.on ? w().EnableByAgent() : w().DisableByAgent(), 1);
        EXPECT_EQ(InMemory("TaskType"), "1");
        EXPECT_EQ(InMemory("TaskState"), c.taskState);
        EXPECT_EQ(InMemory("CurrentStatus"), "x");
        Note agent(db->handle(), agentId);
        EXPECT_EQ(agent.state(), before);
        EXPECT_TRUE(update_test::Entries(db->handle()).empty());
    }
}

TEST_F(AgentSwitchingTest, EnablingRemovesTheNotifiedItemsOfTheServiceProfile) {
    Open({{"$AssistFlags", TYPE_TEXT, ""}}, {},
         {{"Notified_1", Text("a")},
          {"NOTIFIED_x", Text("b")},
          {"notified_", Text("c")},
          {"Notified", Text("stays")},
          {"Notified-1", Text("stays")},
          {"NotifiedX", Text("stays")},
          {"Other", Text("stays")}});
    EXPECT_EQ(w().EnableByAgent(), 1);
    Note service(db->handle(), std::string("ooserviceprofile"));
    EXPECT_EQ(service.names(),
              (std::vector<std::string>{"Notified", "Notified-1", "NotifiedX", "Other"}));
    EXPECT_EQ(InMemory("TaskState"), "1");
    EXPECT_EQ(InMemory("CurrentStatus"), "1");
    EXPECT_EQ(InMemory("UserDefineProhibitDesignUpdate"), "1");
}

// When the reopened agent still reports off, nothing is booked and the
// status items stay; the dates were checked before anything was written.
TEST_F(AgentSwitchingTest, AnEnableThatDoesNotTakeReportsFalse) {
    Open({{"$AssistFlags", TYPE_TEXT, ""}},
         {{"BookBusyTime", Text("1")}, {"CurrentStatus", Text("x")}});
    // The first ask (before) answers truly; the one after the rewrite no.
    StandinFaultInject({"AgentIsEnabled", ERR_DB_BUSY, 1, 1, nullptr});
    EXPECT_EQ(w().EnableByAgent(), 0);
    EXPECT_EQ(InMemory("CurrentStatus"), "x");
    EXPECT_TRUE(update_test::Entries(db->handle()).empty());

    Open({{"$AssistFlags", TYPE_TEXT, ""}},
         {{"dateFirstDayOut", Time(NowPlus(-3))}, {"dateFirstDayBack", Time(NowPlus(-2))}});
    std::string before;
    {
        Note agent(db->handle(), agentId);
        before = agent.state();
    }
    EXPECT_EQ(update_test::ErrorOf([&] { w().EnableByAgent(); }),
              "ValidateSettings:The return date must be in the future.");
    Note agent(db->handle(), agentId);
    EXPECT_EQ(agent.state(), before);
}

}  // namespace
