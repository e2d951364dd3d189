#include "agents.h"

#include "agents_test_util.h"
#include "os_error.h"
#include "os_mem.h"
#include "os_runtime.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace {

using agents_test::ItemSpec;
using agents_test::StoreAgent;
using agents_test::StoreDesignNote;

class AgentTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        db_ = CreateAndOpen("mail/jdoe.nsf");
    }
    void TearDown() override {
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_AGENT), 0u) << "agents left open";
        if (db_ != NULLHANDLE)
            EXPECT_NOERROR(NSFDbClose(db_));
        nsf_test::NsfTest::TearDown();
    }

    // Opens the agent and tells whether it is enabled; -1 when it does not open.
    int OpenAndAsk(NOTEID id) {
        HAGENT agent = 0;
        STATUS status = AgentOpen(db_, id, &agent);
        EXPECT_NOERROR(status);
        if (status != NOERROR)
            return -1;
        EXPECT_NE(agent, 0u);
        EXPECT_LE(agent, 0xFFFFFFFFu) << "agent handles are registry handles";
        int enabled = AgentIsEnabled(agent) ? 1 : 0;
        AgentClose(agent);
        return enabled;
    }

    DBHANDLE db_ = NULLHANDLE;
};

// What "$AssistFlags" makes of an agent: the first item of that name, its
// text or first list entry, an "E" of that case.
TEST_F(AgentTest, EnabledWhenTheFirstAssistFlagsTextHoldsE) {
    struct Case {
        const char *what;
        std::vector<ItemSpec> items;
        bool enabled;
    } cases[] = {
        {"no $AssistFlags", {}, false},
        {"E alone", {ItemSpec::T("$AssistFlags", "E")}, true},
        {"E after other flags", {ItemSpec::T("$AssistFlags", "abE")}, true},
        {"E before other flags", {ItemSpec::T("$AssistFlags", "Eab")}, true},
        {"lower-case e", {ItemSpec::T("$AssistFlags", "abe")}, false},
        {"empty text", {ItemSpec::T("$AssistFlags", "")}, false},
        {"name in another case", {ItemSpec::T("$ASSISTFLAGS", "E")}, true},
        {"list, E in the first entry", {ItemSpec::L("$AssistFlags", {"bE", "x"})}, true},
        {"list, E only in the second entry", {ItemSpec::L("$AssistFlags", {"x", "E"})}, false},
        {"empty list", {ItemSpec::L("$AssistFlags", {})}, false},
        {"a number", {ItemSpec::N("$AssistFlags", 69)}, false},
        {"E in another item", {ItemSpec::T("$AssistFlags2", "E")}, false},
        {"E only in the second item of the name",
         {ItemSpec::T("$AssistFlags", "b"), ItemSpec::T("$AssistFlags", "E")},
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<ItemSpec> items{ItemSpec::T("$TITLE", "OutOfOffice")};
        items.insert(items.end(), c.items.begin(), c.items.end());
        NOTEID id = StoreDesignNote(db_, NOTE_CLASS_FILTER, items);
        ASSERT_NE(id, 0u);
        EXPECT_EQ(OpenAndAsk(id), c.enabled ? 1 : 0);
    }
}

TEST_F(AgentTest, OnlyAnAgentNoteOpensAndAFailedOpenLeavesNoHandle) {
    NOTEID document = StoreNote(db_, {{"$AssistFlags", "E"}});
    NOTEID form = StoreAgent(db_, "Memo", "E", NOTE_CLASS_FORM);
    NOTEID agent = StoreAgent(db_, "OutOfOffice", "E");
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db_, agent, 0, &note));
    DBHANDLE closed = CreateAndOpen("closed.nsf");
    ASSERT_NOERROR(NSFDbClose(closed));

    struct Case {
        const char *what;
        DBHANDLE db;
        NOTEID id;
        STATUS status;
    } cases[] = {
        {"a document", db_, document, ERR_NOT_AN_AGENT},
        {"a form", db_, form, ERR_NOT_AN_AGENT},
        {"the icon note", db_, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, ERR_NOT_AN_AGENT},
        {"no special agent note", db_, NOTE_ID_SPECIAL | NOTE_CLASS_FILTER, ERR_SPECIAL_ID},
        {"note ID 0", db_, 0, ERR_INVALID_NOTE},
        {"no such note", db_, agent + 1000, ERR_INVALID_NOTE},
        {"a closed database", closed, agent, ERR_INVALID_HANDLE},
        {"a note handle for the database", note, agent, ERR_WRONG_HANDLE_KIND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HAGENT out = 0xDEADBEEF;
        EXPECT_EQ(AgentOpen(c.db, c.id, &out), c.status);
        EXPECT_EQ(out, 0u) << "the output is cleared";
    }
    EXPECT_EQ(AgentOpen(db_, agent, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_AGENT), 0u);
    EXPECT_NOERROR(NSFNoteClose(note));
}

// The worker reopens its agent to see what another request saved: an open
// agent keeps what its note held when it was opened.
TEST_F(AgentTest, AnOpenAgentKeepsTheStateItWasOpenedWith) {
    NOTEID id = StoreAgent(db_, "OutOfOffice", "b");
    HAGENT before = 0;
    ASSERT_NOERROR(AgentOpen(db_, id, &before));
    EXPECT_FALSE(AgentIsEnabled(before));

    agents_test::SetStoredText(db_, id, "$AssistFlags", "bE");
    EXPECT_FALSE(AgentIsEnabled(before)) << "a change saved after the open is not seen";
    HAGENT after = 0;
    ASSERT_NOERROR(AgentOpen(db_, id, &after));
    EXPECT_NE(after, before);
    EXPECT_TRUE(AgentIsEnabled(after));

    // Neither needs its database any more.
    ASSERT_NOERROR(NSFDbClose(db_));
    db_ = NULLHANDLE;
    EXPECT_FALSE(AgentIsEnabled(before));
    EXPECT_TRUE(AgentIsEnabled(after));
    AgentClose(before);
    AgentClose(after);
}

TEST_F(AgentTest, CloseReleasesTheHandleAndTheEndOfTheRuntimeClosesTheRest) {
    NOTEID id = StoreAgent(db_, "OutOfOffice", "E");
    HAGENT first = 0, second = 0;
    ASSERT_NOERROR(AgentOpen(db_, id, &first));
    ASSERT_NOERROR(AgentOpen(db_, id, &second));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_AGENT), 2u);

    AgentClose(first);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_AGENT), 1u);
    EXPECT_FALSE(AgentIsEnabled(first)) << "a closed handle";
    AgentClose(first);  // a second close changes nothing
    EXPECT_FALSE(AgentIsEnabled(second | 0x100000000ull)) << "no handle has bits above 32";
    EXPECT_TRUE(AgentIsEnabled(second));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_AGENT), 1u);

    ASSERT_NOERROR(NSFDbClose(db_));
    db_ = NULLHANDLE;
    NotesRuntimeEnd();
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_AGENT), 0u);
    EXPECT_FALSE(AgentIsEnabled(second));
    AgentClose(second);
}

TEST_F(AgentTest, FaultPointsFailOpenForOneDatabaseAndMakeIsEnabledAnswerFalse) {
    DBHANDLE other = CreateAndOpen("mail/other.nsf");
    NOTEID here = StoreAgent(db_, "OutOfOffice", "E");
    NOTEID there = StoreAgent(other, "OutOfOffice", "E");
    StandinFaultInject({"AgentOpen", ERR_DB_IO, 0, 0, "mail\\jdoe.nsf"});
    HAGENT agent = 0xDEADBEEF;
    EXPECT_EQ(AgentOpen(db_, here, &agent), ERR_DB_IO);
    EXPECT_EQ(agent, 0u);
    ASSERT_NOERROR(AgentOpen(other, there, &agent));
    EXPECT_EQ(StandinFaultHits("AgentOpen"), 1u);

    StandinFaultInject({"AgentIsEnabled", ERR_FAULT_INJECTED, 0, 1, nullptr});
    EXPECT_FALSE(AgentIsEnabled(agent));
    EXPECT_TRUE(AgentIsEnabled(agent)) << "the rule fired once";
    EXPECT_EQ(StandinFaultHits("AgentIsEnabled"), 1u);
    AgentClose(agent);
    EXPECT_NOERROR(NSFDbClose(other));
}

// Closing must never touch a handle that is not an agent's.
TEST(AgentClose, IgnoresUnknownAndOtherKindsOfHandle) {
    DHANDLE memory;
    ASSERT_NOERROR(OSMemAlloc(0, 8, &memory));
    DWORD before = StandinHandleCount(STANDIN_HANDLE_ANY);
    AgentClose(0);
    AgentClose(0x7FFFFFF0);
    AgentClose(0x100000000ull | memory);
    AgentClose(memory);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), before);
    EXPECT_NE(OSLockObject(memory), nullptr) << "the memory handle is still open";
    OSUnlockObject(memory);
    EXPECT_NOERROR(OSMemFree(memory));
}

}  // namespace
