#include "ooo.h"

#include <dlfcn.h>

#include <atomic>
#include <thread>

#include "agents.h"
#include "agents_test_util.h"
#include "os_env.h"
#include "os_error.h"
#include "os_runtime.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace {

using agents_test::AddToIcon;
using agents_test::ItemSpec;
using agents_test::StoreAgent;
using agents_test::StoreDesignNote;

OOOCONTEXT *const kNoContext = nullptr;

// A started runtime with one mail file; the test takes and gives back the
// out-of-office counts it needs.
class OooTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        mail_ = CreateAndOpen("mail/jdoe.nsf");
    }
    void TearDown() override {
        EXPECT_EQ(OOOTerm(), ERR_OOO_NOT_INITIALIZED) << "the test left a count taken";
        if (mail_ != NULLHANDLE)
            EXPECT_NOERROR(NSFDbClose(mail_));
        nsf_test::NsfTest::TearDown();
    }

    STATUS Start(DBHANDLE db, DHANDLE *operation, OOOCONTEXT **context) {
        return OOOStartOperation("John Doe/Acme", "Mail1/Acme", TRUE, db, operation, context);
    }

    // Init, start, get state, end, term on a mail file, as the worker asks;
    // the status of the first call that failed.
    STATUS Ask(DBHANDLE db, WORD *version, WORD *state) {
        if (STATUS status = OOOInit())
            return status;
        DHANDLE operation = NULLHANDLE;
        OOOCONTEXT *context = nullptr;
        STATUS status = Start(db, &operation, &context);
        if (status == NOERROR) {
            status = OOOGetState(context, version, state);
            EXPECT_NOERROR(OOOEndOperation(operation, context));
        }
        EXPECT_NOERROR(OOOTerm());
        return status;
    }

    void SetServerVersion(const char *value) {
        OSSetEnvironmentVariable("StandinOOOVersion", value);
    }

    DBHANDLE mail_ = NULLHANDLE;
};

// The mail file's mark decides; without one, the server's notes.ini key.
TEST_F(OooTest, VersionComesFromTheMailFileMarkElseFromTheServerDefault) {
    const STATUS bad = ERR_OOO_BAD_VERSION;
    struct Case {
        const char *ini;  // null: the key is absent
        std::vector<ItemSpec> mark;
        STATUS status;
        WORD version;
    } cases[] = {
        {nullptr, {}, NOERROR, 1},
        {"1", {}, NOERROR, 1},
        {"2", {}, NOERROR, 2},
        {" 2 ", {}, NOERROR, 2},
        {"3", {}, bad, 0},
        {"2x", {}, bad, 0},
        {"2", {ItemSpec::T("$OOOVersion", "1")}, NOERROR, 1},
        {nullptr, {ItemSpec::T("$OOOVersion", "2")}, NOERROR, 2},
        {"1", {ItemSpec::T("$ooOVERSION", " 2\t")}, NOERROR, 2},
        {"2", {ItemSpec::N("$OOOVersion", 1)}, NOERROR, 1},
        {nullptr, {ItemSpec::N("$OOOVersion", 2)}, NOERROR, 2},
        {"3", {ItemSpec::T("$OOOVersion", "1")}, NOERROR, 1},
        {"1", {ItemSpec::L("$OOOVersion", {"2"})}, NOERROR, 2},
        {"2", {ItemSpec::T("$OOOVersion", " ")}, NOERROR, 2},
        {"2", {ItemSpec::L("$OOOVersion", {})}, NOERROR, 2},
        {"1", {ItemSpec::T("$OOOVersion", "3")}, bad, 0},
        {"1", {ItemSpec::T("$OOOVersion", "agent")}, bad, 0},
        {"1", {ItemSpec::L("$OOOVersion", {"1", "2"})}, bad, 0},
        {"1", {ItemSpec::N("$OOOVersion", 1.5)}, bad, 0},
        {"1", {ItemSpec::N("$OOOVersion", 0)}, bad, 0},
        {"1", {ItemSpec::D("$OOOVersion")}, bad, 0},
        {"1", {ItemSpec::T("$OOOVersion", "2"), ItemSpec::T("$OOOVersion", "x")}, NOERROR, 2},
    };
    int row = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE("case " + std::to_string(row));
        std::string path = "mail/v" + std::to_string(row++) + ".nsf";
        DBHANDLE db = CreateAndOpen(path.c_str());
        AddToIcon(db, c.mark);
        SetServerVersion(c.ini);
        WORD version = 0xDEAD, state = 0xDEAD;
        EXPECT_EQ(Ask(db, &version, &state), c.status);
        EXPECT_EQ(version, c.version);
        if (c.status != NOERROR) {
            EXPECT_EQ(state, 0u) << "outputs are cleared on failure";
        }
        EXPECT_NOERROR(NSFDbClose(db));
    }
}

// Version 1 asks the "OutOfOffice" agent, version 2 the icon note's flag;
// neither looks at the other's.
TEST_F(OooTest, StateFollowsTheAgentOrTheIconFlagOfTheVersion) {
    struct Case {
        const char *what;
        WORD version;
        std::vector<std::pair<std::string, const char *>> agents;  // title, $AssistFlags
        const char *iconFlags;                                     // null: no "$Flags"
        WORD state;
    } cases[] = {
        {"no agent", 1, {}, nullptr, 0},
        {"agent enabled", 1, {{"OutOfOffice", "E"}}, nullptr, 1},
        {"agent disabled", 1, {{"OutOfOffice", "b"}}, nullptr, 0},
        {"agent without flags", 1, {{"OutOfOffice", nullptr}}, nullptr, 0},
        {"title in another case", 1, {{"outofoffice", "E"}}, nullptr, 1},
        {"title among aliases", 1, {{"Out of Office | OutOfOffice", "E"}}, nullptr, 1},
        {"only another agent enabled", 1, {{"Other", "E"}, {"OutOfOffice", ""}}, nullptr, 0},
        {"a longer title", 1, {{"OutOfOffice2", "E"}}, nullptr, 0},
        {"the first of two agents decides",
         1,
         {{"OutOfOffice", ""}, {"OutOfOffice", "E"}},
         nullptr,
         0},
        {"the service flag is not the agent's", 1, {}, "O", 0},
        {"no $Flags", 2, {}, nullptr, 0},
        {"flag O", 2, {}, "O", 1},
        {"flag O among others", 2, {}, "abOc", 1},
        {"lower-case o", 2, {}, "o", 0},
        {"the agent is not the service's", 2, {{"OutOfOffice", "E"}}, "", 0},
    };
    int row = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = "mail/s" + std::to_string(row++) + ".nsf";
        DBHANDLE db = CreateAndOpen(path.c_str());
        std::vector<ItemSpec> icon{ItemSpec::N("$OOOVersion", c.version)};
        if (c.iconFlags)
            icon.push_back(ItemSpec::T("$Flags", c.iconFlags));
        AddToIcon(db, icon);
        StoreNote(db, {{"Subject", "a document before the design"}});
        for (const auto &agent : c.agents)
            StoreAgent(db, agent.first.c_str(), agent.second);
        WORD version = 0, state = 0xDEAD;
        EXPECT_NOERROR(Ask(db, &version, &state));
        EXPECT_EQ(version, c.version);
        EXPECT_EQ(state, c.state);
        EXPECT_NOERROR(NSFDbClose(db));
    }
}

TEST_F(OooTest, ADocumentOrFormTitledOutOfOfficeIsNoAgent) {
    StoreDesignNote(mail_, NOTE_CLASS_DOCUMENT,
                    {ItemSpec::T("$TITLE", "OutOfOffice"), ItemSpec::T("$AssistFlags", "E")});
    StoreAgent(mail_, "OutOfOffice", "E", NOTE_CLASS_FORM);
    WORD version = 0, state = 0xDEAD;
    ASSERT_NOERROR(Ask(mail_, &version, &state));
    EXPECT_EQ(version, OOO_VERSION_AGENT);
    EXPECT_EQ(state, OOO_STATE_OFF);
}

// The state is read at each OOOGetState: another request's change is seen
// by the same operation, also after the database handle was closed.
TEST_F(OooTest, AnOperationReadsTheMailFileWhenAskedAndHoldsItsDatabase) {
    NOTEID agent = StoreAgent(mail_, "OutOfOffice", "");
    ASSERT_NOERROR(OOOInit());
    DHANDLE operation = NULLHANDLE;
    OOOCONTEXT *context = nullptr;
    ASSERT_NOERROR(Start(mail_, &operation, &context));
    WORD version = 0, state = 0;
    EXPECT_NOERROR(OOOGetState(context, &version, &state));
    EXPECT_EQ(state, OOO_STATE_OFF);

    agents_test::SetStoredText(mail_, agent, "$AssistFlags", "E");
    ASSERT_NOERROR(NSFDbClose(mail_));
    mail_ = NULLHANDLE;
    EXPECT_NOERROR(OOOGetState(context, &version, &state));
    EXPECT_EQ(state, OOO_STATE_ON);
    EXPECT_NOERROR(OOOEndOperation(operation, context));
    EXPECT_NOERROR(OOOTerm());
}

TEST_F(OooTest, StartNeedsAnInitCountAndTermBelowZeroIsRefused) {
    DHANDLE operation = 0xDEADBEEF;
    OOOCONTEXT *context = reinterpret_cast<OOOCONTEXT *>(&operation);
    EXPECT_EQ(Start(mail_, &operation, &context), ERR_OOO_NOT_INITIALIZED);
    EXPECT_EQ(operation, NULLHANDLE);
    EXPECT_EQ(context, kNoContext);
    EXPECT_EQ(OOOTerm(), ERR_OOO_NOT_INITIALIZED);
    EXPECT_EQ(OOOTerm(), ERR_OOO_NOT_INITIALIZED);

    ASSERT_NOERROR(OOOInit());
    ASSERT_NOERROR(OOOInit());
    ASSERT_NOERROR(OOOTerm());
    ASSERT_EQ(Start(mail_, &operation, &context), NOERROR) << "one count is left";
    EXPECT_NOERROR(OOOEndOperation(operation, context));
    ASSERT_NOERROR(OOOTerm());
    EXPECT_EQ(Start(mail_, &operation, &context), ERR_OOO_NOT_INITIALIZED);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), baseHandles_ + 1) << "only the mail file";
}

TEST_F(OooTest, BadArgumentsAreRefusedAndLeaveNothingOpen) {
    ASSERT_NOERROR(OOOInit());
    DHANDLE operation = 0;
    OOOCONTEXT *context = nullptr;
    HAGENT agent = 0;
    ASSERT_NOERROR(AgentOpen(mail_, StoreAgent(mail_, "OutOfOffice", "E"), &agent));
    DWORD before = StandinHandleCount(STANDIN_HANDLE_ANY);

    EXPECT_EQ(OOOStartOperation(nullptr, "Mail1", TRUE, mail_, &operation, &context),
              ERR_BAD_PARAM);
    EXPECT_EQ(OOOStartOperation("", "Mail1", TRUE, mail_, &operation, &context), ERR_BAD_PARAM);
    EXPECT_EQ(OOOStartOperation("John Doe", nullptr, TRUE, mail_, &operation, &context),
              ERR_BAD_PARAM);
    EXPECT_EQ(OOOStartOperation("John Doe", "Mail1", TRUE, mail_, nullptr, &context),
              ERR_BAD_PARAM);
    EXPECT_EQ(OOOStartOperation("John Doe", "Mail1", TRUE, mail_, &operation, nullptr),
              ERR_BAD_PARAM);
    EXPECT_EQ(OOOStartOperation("John Doe", "Mail1", TRUE, 0, &operation, &context),
              ERR_INVALID_HANDLE);
    EXPECT_EQ(OOOStartOperation("John Doe", "Mail1", TRUE, static_cast<DBHANDLE>(agent), &operation,
                                &context),
              ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), before);

    ASSERT_EQ(OOOStartOperation("John Doe", "", FALSE, mail_, &operation, &context), NOERROR)
        << "an empty home server and FALSE are taken";
    WORD version = 0, state = 0;
    EXPECT_EQ(OOOGetState(context, nullptr, &state), ERR_BAD_PARAM);
    EXPECT_EQ(OOOGetState(context, &version, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(OOOGetState(nullptr, &version, &state), ERR_OOO_BAD_CONTEXT);
    EXPECT_EQ(OOOEndOperation(0, context), ERR_INVALID_HANDLE);
    EXPECT_EQ(OOOEndOperation(static_cast<DHANDLE>(agent), context), ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(OOOEndOperation(mail_, context), ERR_WRONG_HANDLE_KIND);
    EXPECT_EQ(OOOGetState(context, &version, &state), NOERROR) << "still open";
    EXPECT_NOERROR(OOOEndOperation(operation, context));
    AgentClose(agent);
    EXPECT_NOERROR(OOOTerm());
}

TEST_F(OooTest, EndReleasesTheOperationAndRefusesContextsNotItsOwn) {
    ASSERT_NOERROR(OOOInit());
    DHANDLE first = 0, second = 0;
    OOOCONTEXT *firstContext = nullptr, *secondContext = nullptr;
    ASSERT_NOERROR(Start(mail_, &first, &firstContext));
    ASSERT_NOERROR(Start(mail_, &second, &secondContext));
    EXPECT_NE(first, second);
    EXPECT_NE(firstContext, secondContext);
    EXPECT_NE(firstContext, kNoContext);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), baseHandles_ + 3);

    EXPECT_EQ(OOOEndOperation(first, secondContext), ERR_OOO_BAD_CONTEXT);
    EXPECT_EQ(OOOEndOperation(first, nullptr), ERR_OOO_BAD_CONTEXT);
    WORD version = 0, state = 0;
    EXPECT_EQ(OOOGetState(firstContext, &version, &state), NOERROR) << "a refused end ends nothing";
    EXPECT_NOERROR(OOOGetState(secondContext, &version, &state));

    EXPECT_NOERROR(OOOEndOperation(first, firstContext));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), baseHandles_ + 2);
    EXPECT_EQ(OOOGetState(firstContext, &version, &state), ERR_OOO_BAD_CONTEXT);
    EXPECT_EQ(OOOEndOperation(first, firstContext), ERR_INVALID_HANDLE);

    // A later operation never gets an ended context, so the old one stays
    // refused.
    DHANDLE third = 0;
    OOOCONTEXT *thirdContext = nullptr;
    ASSERT_NOERROR(Start(mail_, &third, &thirdContext));
    EXPECT_NE(thirdContext, firstContext);
    EXPECT_EQ(OOOGetState(firstContext, &version, &state), ERR_OOO_BAD_CONTEXT);
    EXPECT_NOERROR(OOOEndOperation(third, thirdContext));
    EXPECT_NOERROR(OOOEndOperation(second, secondContext));
    EXPECT_NOERROR(OOOTerm());
}

TEST_F(OooTest, TheLastTermAndTheEndOfTheRuntimeEndWhatIsStillOpen) {
    ASSERT_NOERROR(OOOInit());
    ASSERT_NOERROR(OOOInit());
    DHANDLE operation = 0;
    OOOCONTEXT *context = nullptr;
    ASSERT_NOERROR(Start(mail_, &operation, &context));
    ASSERT_NOERROR(OOOTerm());
    WORD version = 0, state = 0;
    EXPECT_EQ(OOOGetState(context, &version, &state), NOERROR) << "a count is still taken";
    ASSERT_NOERROR(OOOTerm());
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), baseHandles_ + 1);
    EXPECT_EQ(OOOGetState(context, &version, &state), ERR_OOO_BAD_CONTEXT);
    EXPECT_EQ(OOOEndOperation(operation, context), ERR_INVALID_HANDLE);

    ASSERT_NOERROR(OOOInit());
    ASSERT_NOERROR(Start(mail_, &operation, &context));
    ASSERT_NOERROR(NSFDbClose(mail_));
    mail_ = NULLHANDLE;
    NotesRuntimeEnd();
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), baseHandles_);
    EXPECT_EQ(OOOGetState(context, &version, &state), ERR_OOO_BAD_CONTEXT);
    EXPECT_EQ(OOOInit(), ERR_NOT_INITIALIZED);

    std::string arg = "=" + iniPath();
    char program[] = "unit-test";
    char *argv[] = {program, arg.data(), nullptr};
    ASSERT_NOERROR(NotesRuntimeStart(2, argv));
    ASSERT_NOERROR(NSFDbOpen("mail/jdoe.nsf", &mail_));
    EXPECT_EQ(Start(mail_, &operation, &context), ERR_OOO_NOT_INITIALIZED)
        << "the counts ended with the runtime";
}

// Request threads ask at the same time, each with its own count and
// operation: no thread's count or operation is lost to another's term.
TEST_F(OooTest, CountsAndOperationsHoldAcrossThreads) {
    StoreAgent(mail_, "OutOfOffice", "E");
    constexpr int kThreads = 8;
    constexpr int kRounds = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            if (NotesInitThread() != NOERROR) {
                failures++;
                return;
            }
            for (int i = 0; i < kRounds; i++) {
                WORD version = 0, state = 0;
                if (Ask(mail_, &version, &state) != NOERROR || version != OOO_VERSION_AGENT ||
                    state != OOO_STATE_ON)
                    failures++;
            }
            NotesTermThread();
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), baseHandles_ + 1) << "only the mail file";
}

TEST_F(OooTest, EachCallIsAFaultPointAndAFailedCallDoesNothing) {
    DBHANDLE other = CreateAndOpen("mail/other.nsf");
    DHANDLE operation = 0;
    OOOCONTEXT *context = nullptr;
    WORD version = 0xDEAD, state = 0xDEAD;

    StandinFaultInject({"OOOInit", ERR_MEMORY, 0, 1, nullptr});
    EXPECT_EQ(OOOInit(), ERR_MEMORY);
    EXPECT_EQ(Start(mail_, &operation, &context), ERR_OOO_NOT_INITIALIZED) << "no count taken";
    ASSERT_NOERROR(OOOInit());

    StandinFaultInject({"OOOStartOperation", ERR_DB_BUSY, 0, 0, "mail/jdoe.nsf"});
    EXPECT_EQ(Start(mail_, &operation, &context), ERR_DB_BUSY);
    EXPECT_EQ(operation, NULLHANDLE);
    ASSERT_EQ(Start(other, &operation, &context), NOERROR) << "the rule names one mail file";

    StandinFaultInject({"OOOGetState", ERR_DB_IO, 0, 1, "mail/other.nsf"});
    EXPECT_EQ(OOOGetState(context, &version, &state), ERR_DB_IO);
    EXPECT_EQ(version, 0u);
    EXPECT_NOERROR(OOOGetState(context, &version, &state));

    StandinFaultInject({"OOOEndOperation", ERR_DB_IO, 0, 1, "mail/other.nsf"});
    EXPECT_EQ(OOOEndOperation(operation, context), ERR_DB_IO);
    EXPECT_EQ(OOOGetState(context, &version, &state), NOERROR) << "the operation is still open";
    EXPECT_NOERROR(OOOEndOperation(operation, context));

    StandinFaultInject({"OOOTerm", ERR_MEMORY, 0, 1, nullptr});
    EXPECT_EQ(OOOTerm(), ERR_MEMORY);
    EXPECT_EQ(OOOTerm(), NOERROR) << "the failed term kept its count";

    for (const char *call :
         {"OOOInit", "OOOStartOperation", "OOOGetState", "OOOEndOperation", "OOOTerm"})
        EXPECT_EQ(StandinFaultHits(call), 1u) << call;
    EXPECT_NOERROR(NSFDbClose(other));
}

// The worker resolves the five calls by name from the loaded library and
// calls them through its own pointers.
TEST_F(OooTest, TheFiveCallsResolveByNameAndWorkThroughThePointers) {
    AddToIcon(mail_, {ItemSpec::N("$OOOVersion", 2), ItemSpec::T("$Flags", "O")});
    void *lib = dlopen("libnnotes.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto init = reinterpret_cast<OOOINITPROC>(dlsym(lib, "OOOInit"));
    auto start = reinterpret_cast<OOOSTARTOPERATIONPROC>(dlsym(lib, "OOOStartOperation"));
    auto getState = reinterpret_cast<OOOGETSTATEPROC>(dlsym(lib, "OOOGetState"));
    auto end = reinterpret_cast<OOOENDOPERATIONPROC>(dlsym(lib, "OOOEndOperation"));
    auto term = reinterpret_cast<OOOTERMPROC>(dlsym(lib, "OOOTerm"));
    EXPECT_EQ(init, &OOOInit);
    EXPECT_EQ(start, &OOOStartOperation);
    EXPECT_EQ(getState, &OOOGetState);
    EXPECT_EQ(end, &OOOEndOperation);
    EXPECT_EQ(term, &OOOTerm);
    if (init && start && getState && end && term) {
        ASSERT_NOERROR(init());
        DHANDLE operation = 0;
        OOOCONTEXT *context = nullptr;
        ASSERT_NOERROR(start("John Doe/Acme", "Mail1/Acme", TRUE, mail_, &operation, &context));
        WORD version = 0, state = 0;
        EXPECT_NOERROR(getState(context, &version, &state));
        EXPECT_EQ(version, OOO_VERSION_SERVICE);
        EXPECT_EQ(state, OOO_STATE_ON);
        EXPECT_NOERROR(end(operation, context));
        EXPECT_NOERROR(term());
    }
    dlclose(lib);
}

}  // namespace
