// The mail file's "OutOfOffice" agent: found by name, held open, asked
// whether it is enabled.
#include <string>

#include "mail_fixture.h"
#include "standin/runtime.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using worker_test::Text;

class AgentAccessTest : public worker_test::WorkerTest {
  protected:
    // A mail file with the agent's note (none for null flags), opened by the
    // worker.
    NOTEID Open(const char *assistFlags, const char *flagsExt = nullptr) {
        NOTEID id = 0;
        {
            worker_test::Database db("mail/agent.nsf");
            if (assistFlags) {
                worker_test::Items items = {{"$TITLE", Text("Out of Office|OutOfOffice")},
                                            {"$AssistFlags", Text(assistFlags)}};
                if (flagsExt)
                    items.push_back({"$FlagsExt", Text(flagsExt)});
                id = db.AddNote(NOTE_CLASS_FILTER, items);
            }
            // A document of that title is no agent.
            db.AddNote(NOTE_CLASS_DOCUMENT, {{"$TITLE", Text("OutOfOffice")}});
        }
        Access::mailFile(w()) = "mail/agent.nsf";
        EXPECT_EQ(w().getHCRProfile(false), NOERROR);
        return id;
    }
    // Saves the agent's "$AssistFlags" through a handle of its own.
    void SetEnabled(NOTEID id, bool enabled) {
        worker_test::Database db("mail/agent.nsf", false);
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteOpen(db.handle(), id, 0, &note));
        worker_test::SetItem(note, "$AssistFlags", Text(enabled ? "E" : ""));
        ASSERT_NOERROR(NSFNoteUpdate(note, 0));
        NSFNoteClose(note);
    }
};

TEST_F(AgentAccessTest, TheAgentIsHeldOpenAndReopenedOnlyWhenAsked) {
    const NOTEID id = Open("E");
    EXPECT_TRUE(w().getAgent(false));
    const HAGENT first = Access::agent(w());
    EXPECT_NE(first, 0u);
    EXPECT_FALSE(w().getAgent(false)) << "already open";
    EXPECT_TRUE(w().IsAgentEnabled(false));

    SetEnabled(id, false);
    // The open agent is what it was when opened; a reopen sees the change.
    EXPECT_TRUE(w().IsAgentEnabled(false));
    EXPECT_EQ(Access::agent(w()), first);
    EXPECT_FALSE(w().IsAgentEnabled(true));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_AGENT), 1u);
    w().Reset(false);
    EXPECT_EQ(Access::agent(w()), 0u);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_AGENT), 0u);
}

TEST_F(AgentAccessTest, AMailFileWithoutTheAgentFailsWithThePlatformsText) {
    Open(nullptr);
    const std::string expected = "getAgent:" + test_support::StatusText(ERR_DESIGN_NOT_FOUND);
    for (bool reopen : {false, true}) {
        try {
            w().IsAgentEnabled(reopen);
            ADD_FAILURE() << "no exception";
        } catch (const IPException &e) {
            EXPECT_EQ(e.message(), expected);
        }
    }
    EXPECT_EQ(Access::resultText(w()), test_support::StatusText(ERR_DESIGN_NOT_FOUND));
    EXPECT_EQ(Access::agent(w()), 0u);
}

TEST_F(AgentAccessTest, WithoutAMailFileNothingIsOpened) {
    EXPECT_FALSE(w().getAgent(true));
    EXPECT_TRUE(w().IsAgentEnabled(true));
    EXPECT_FALSE(w().isAgentActivation());
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u);
}

TEST_F(AgentAccessTest, ActivationIsAnAInFlagsExt) {
    struct Case {
        const char *flagsExt;  // null: absent
        bool activation;
    } cases[] = {{nullptr, false}, {"", false}, {"xa", true}, {"A", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flagsExt ? c.flagsExt : "(absent)");
        Fresh();
        unlink(dataFile("mail/agent.nsf").c_str());
        Open("E", c.flagsExt);
        EXPECT_EQ(w().isAgentActivation(), c.activation);
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_NOTE), 2u) << "the two profiles alone";
    }
    Fresh();
    unlink(dataFile("mail/agent.nsf").c_str());
    Open(nullptr);
    try {
        w().isAgentActivation();
        ADD_FAILURE() << "no exception";
    } catch (const IPException &e) {
        EXPECT_EQ(std::string(e.message()),
                  "isAgentActivation:" + test_support::StatusText(ERR_DESIGN_NOT_FOUND));
    }
}

}  // namespace
