// The worker's construction, reset and destruction, and the XML library's
// start and stop across threads.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/RuntimeException.hpp>
#include <xercesc/util/XMLString.hpp>

#include "standin/fault.h"
#include "standin/runtime.h"
#include "worker_test_support.h"
#include "xml_toolkit.h"

namespace {

using Access = IPHCRTestAccess;

class WorkerObjectTest : public test_support::DataDirTest {
  protected:
    std::string ConsoleLog() const { return test_support::ReadFile(dataFile("console.log")); }
};

TEST_F(WorkerObjectTest, FreshWorker) {
    DWORD handles = StandinHandleCount(STANDIN_HANDLE_ANY);
    IPHCR worker;
    EXPECT_NE(Access::translator(worker), nullptr);
    EXPECT_NE(Access::parser(worker), nullptr);
    EXPECT_EQ(Access::mailDb(worker), 0u);
    EXPECT_EQ(Access::profileNote(worker), 0u);
    EXPECT_EQ(Access::serviceProfileNote(worker), 0u);
    EXPECT_EQ(Access::agent(worker), 0u);
    EXPECT_EQ(Access::agentType(worker), 1);
    EXPECT_EQ(Access::action(worker), 0);
    EXPECT_EQ(Access::useOooApi(worker), 0);
    worker.Reset(true);
    EXPECT_EQ(Access::agentType(worker), 1);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), handles);
    worker.SetUseOooApi(1);
    EXPECT_EQ(Access::useOooApi(worker), 1);
}

// A worker holding a mail database and two profile notes, as a handler
// leaves it.
class OpenWorkerTest : public WorkerObjectTest {
  protected:
    void SetUp() override {
        WorkerObjectTest::SetUp();
        owned.reset(new IPHCR);
        ASSERT_NOERROR(NSFDbCreate("mail/jdoe.nsf", DBCLASS_NOTEFILE, FALSE));
        ASSERT_NOERROR(NSFDbOpen("mail/jdoe.nsf", &Access::mailDb(worker())));
        ASSERT_NOERROR(NSFNoteCreate(Access::mailDb(worker()), &Access::profileNote(worker())));
        ASSERT_NOERROR(
            NSFNoteCreate(Access::mailDb(worker()), &Access::serviceProfileNote(worker())));
        // No agent can be opened here yet; the close of an unknown agent
        // handle is ignored by the platform.
        Access::agent(worker()) = 0x5A5A5A5A5A5Aull;
        ASSERT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 1u);
        ASSERT_EQ(StandinHandleCount(STANDIN_HANDLE_NOTE), 2u);
    }
    void ExpectAllClosed() {
        EXPECT_EQ(Access::mailDb(worker()), 0u);
        EXPECT_EQ(Access::profileNote(worker()), 0u);
        EXPECT_EQ(Access::serviceProfileNote(worker()), 0u);
        EXPECT_EQ(Access::agent(worker()), 0u);
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 0u);
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_NOTE), 0u);
    }
    void FillFields() {
        Access::userName(worker()) = "John Doe/Acme";
        Access::message(worker()) = "away";
        Access::subject(worker()) = "Out of office";
        Access::replyQueueName(worker()) = "MQ$Reply";
        Access::enabled(worker()) = 1;
        Access::excludeInternetMail(worker()) = 1;
        Access::mailServer(worker()) = "Mail1/Acme";
        Access::mailFile(worker()) = "mail/jdoe.nsf";
        Access::action(worker()) = 2;
        Access::ownerDisplayName(worker()) = "John Doe";
        Access::notifiedNames(worker()) = {"a", "b"};
        Access::loginName(worker()) = "jdoe";
        Access::loginServer(worker()) = "mail.acme.com";
        Access::queryUser(worker()) = "Jane Roe/Acme";
        Access::resultText(worker()) = "OK";
        Access::showHours(worker()) = "1";
        Access::agentType(worker()) = 0;
        Access::appendSubject(worker()) = 1;
        Access::appendSubjectPresent(worker()) = 1;
        Access::appendSubjectDate(worker()) = "until %d";
        Access::appendSubjectDateValue(worker()) = "until 5 May";
        Access::daysOut(worker()) = "%n days";
        Access::daysOutValue(worker()) = "3 days";
        Access::daysOutS(worker()) = "day";
        Access::daysOutV(worker()) = "days";
        Access::wasDisabledBefore(worker()) = 1;
        Access::useOooApi(worker()) = 1;
        Access::resetSubject(worker()) = "back";
        Access::errorReplyText(worker()) = "setHCR:failed";
    }
    void TearDown() override {
        if (owned)
            owned->Reset(true);
        owned.reset();
        WorkerObjectTest::TearDown();
    }

    std::unique_ptr<IPHCR> owned;
    IPHCR &worker() { return *owned; }
};

TEST_F(OpenWorkerTest, ResetWithoutClearClosesHandlesOnly) {
    FillFields();
    worker().Reset(false);
    ExpectAllClosed();
    EXPECT_EQ(Access::userName(worker()), "John Doe/Acme");
    EXPECT_EQ(Access::mailServer(worker()), "Mail1/Acme");
    EXPECT_EQ(Access::mailFile(worker()), "mail/jdoe.nsf");
    EXPECT_EQ(Access::replyQueueName(worker()), "MQ$Reply");
    EXPECT_EQ(Access::resultText(worker()), "OK");
    EXPECT_EQ(Access::enabled(worker()), 1);
    EXPECT_EQ(Access::queryUser(worker()), "Jane Roe/Acme");
}

TEST_F(OpenWorkerTest, ResetWithClearEmptiesTheRequestFieldsOnly) {
    FillFields();
    worker().Reset(true);
    ExpectAllClosed();
    // Emptied.
    EXPECT_EQ(Access::enabled(worker()), 0);
    for (const std::string *field :
         {&Access::resetSubject(worker()), &Access::appendSubjectDate(worker()),
          &Access::daysOut(worker()), &Access::showHours(worker()), &Access::resultText(worker()),
          &Access::mailFile(worker()), &Access::mailServer(worker()),
          &Access::replyQueueName(worker()), &Access::message(worker()),
          &Access::userName(worker()), &Access::queryUser(worker()), &Access::loginServer(worker()),
          &Access::loginName(worker())}) {
        EXPECT_EQ(*field, "");
    }
    // Kept.
    EXPECT_EQ(Access::subject(worker()), "Out of office");
    EXPECT_EQ(Access::ownerDisplayName(worker()), "John Doe");
    EXPECT_EQ(Access::notifiedNames(worker()), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Access::errorReplyText(worker()), "setHCR:failed");
    EXPECT_EQ(Access::daysOutS(worker()), "day");
    EXPECT_EQ(Access::daysOutV(worker()), "days");
    EXPECT_EQ(Access::daysOutValue(worker()), "3 days");
    EXPECT_EQ(Access::appendSubjectDateValue(worker()), "until 5 May");
    EXPECT_EQ(Access::action(worker()), 2);
    EXPECT_EQ(Access::agentType(worker()), 0);
    EXPECT_EQ(Access::useOooApi(worker()), 1);
    EXPECT_EQ(Access::wasDisabledBefore(worker()), 1);
    EXPECT_EQ(Access::excludeInternetMail(worker()), 1);
    EXPECT_EQ(Access::appendSubject(worker()), 1);
    EXPECT_EQ(Access::appendSubjectPresent(worker()), 1);
}

TEST_F(OpenWorkerTest, SecondResetMakesNoNotesCall) {
    worker().Reset(true);
    ExpectAllClosed();
    for (const char *call : {"NSFNoteClose", "NSFDbClose"}) {
        StandinFaultInject({call, ERR_FAULT_INJECTED, 0, 0, nullptr});
    }
    worker().Reset(true);
    worker().Reset(false);
    EXPECT_EQ(StandinFaultHits("NSFNoteClose"), 0u);
    EXPECT_EQ(StandinFaultHits("NSFDbClose"), 0u);
}

TEST_F(OpenWorkerTest, DestructionAfterResetMakesNoNotesCall) {
    worker().Reset(true);
    StandinFaultInject({"NSFNoteClose", ERR_FAULT_INJECTED, 0, 0, nullptr});
    StandinFaultInject({"NSFDbClose", ERR_FAULT_INJECTED, 0, 0, nullptr});
    owned.reset();
    EXPECT_EQ(StandinFaultHits("NSFNoteClose"), 0u);
    EXPECT_EQ(StandinFaultHits("NSFDbClose"), 0u);
}

// Library calls that fail, for the two tests below. The test itself keeps
// the library running, so that the exception can be made and the worker's
// failure does not take the library from anyone else.
std::atomic<int> gTerminateCalls{0};
void FailingInitialize() {
    throw xercesc::RuntimeException(__FILE__, __LINE__, xercesc::XMLExcepts::Gen_ParseInProgress);
}
void FailingTerminate() {
    gTerminateCalls++;
    xercesc::XMLPlatformUtils::Terminate();
    throw xercesc::RuntimeException(__FILE__, __LINE__, xercesc::XMLExcepts::Gen_ParseInProgress);
}
void CountingTerminate() {
    gTerminateCalls++;
    xercesc::XMLPlatformUtils::Terminate();
}

class FailingToolkitTest : public WorkerObjectTest {
  protected:
    void SetUp() override {
        WorkerObjectTest::SetUp();
        xercesc::XMLPlatformUtils::Initialize();
        gTerminateCalls = 0;
        char *text = xercesc::XMLString::transcode(
            xercesc::RuntimeException(__FILE__, __LINE__, xercesc::XMLExcepts::Gen_ParseInProgress)
                .getMessage());
        libraryMessage = text;
        xercesc::XMLString::release(&text);
        saved = xml_toolkit::ReplaceCallsForTest({nullptr, nullptr});
        xml_toolkit::ReplaceCallsForTest(saved);
    }
    void TearDown() override {
        xml_toolkit::ReplaceCallsForTest(saved);
        xercesc::XMLPlatformUtils::Terminate();
        WorkerObjectTest::TearDown();
    }
    xml_toolkit::Calls saved{};
    std::string libraryMessage;
};

TEST_F(FailingToolkitTest, WorkerLivesWithoutTheLibrary) {
    xml_toolkit::ReplaceCallsForTest({FailingInitialize, CountingTerminate});
    test_support::TempDir dir;
    test_support::WriteFile(dir.file("r.xml"), "<r><Username MQName=\"Q\">x</Username></r>");
    {
        IPHCR worker;
        EXPECT_EQ(Access::translator(worker), nullptr);
        EXPECT_EQ(Access::parser(worker), nullptr);
        EXPECT_EQ(worker_test::ParseError(worker, dir.file("r.xml")), worker_test::Unexpected());
        EXPECT_EQ(Access::replyQueueName(worker), "");
        worker.Reset(true);
    }
    EXPECT_EQ(gTerminateCalls, 0) << "a start that failed was given back";
    EXPECT_NE(
        ConsoleLog().find("Halcyra: XML toolkit initialization error(" + libraryMessage + ")"),
        std::string::npos)
        << ConsoleLog();
}

TEST_F(FailingToolkitTest, FailedStopIsLogged) {
    xml_toolkit::ReplaceCallsForTest(
        {[] { xercesc::XMLPlatformUtils::Initialize(); }, FailingTerminate});
    { IPHCR worker; }
    EXPECT_EQ(gTerminateCalls, 1);
    EXPECT_NE(ConsoleLog().find("Halcyra: XML toolkit terminate error(" + libraryMessage + ")"),
              std::string::npos)
        << ConsoleLog();
}

// Many request threads building, using and destroying workers at once: the
// library's start and stop must never race, and it must be running for
// every worker that uses it.
TEST_F(WorkerObjectTest, WorkersOnManyThreads) {
    test_support::TempDir dir;
    const std::string path = dir.file("request.xml");
    test_support::WriteFile(path,
                            "<Request><Username MQName=\"MQ$Reply\" MailBox=\"mail\\jdoe\" "
                            "Action=\"1\">John Doe/Acme</Username></Request>");
    constexpr int kThreads = 12;
    constexpr int kWorkersEach = 25;
    std::atomic<int> served{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            if (NotesInitThread() != NOERROR) {
                failures++;
                return;
            }
            for (int i = 0; i < kWorkersEach; i++) {
                IPHCR worker;
                try {
                    worker.xmlParser(path);
                    if (Access::userName(worker) == "John Doe/Acme" &&
                        Access::mailFile(worker) == "mail\\jdoe.nsf" &&
                        Access::action(worker) == 1) {
                        served++;
                    } else {
                        failures++;
                    }
                } catch (const IPException &) {
                    failures++;
                }
                worker.Reset(true);
            }
            NotesTermThread();
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(served, kThreads * kWorkersEach);
    // And the library starts again afterwards.
    IPHCR after;
    EXPECT_EQ(worker_test::ParseError(after, path), "");
}

}  // namespace
