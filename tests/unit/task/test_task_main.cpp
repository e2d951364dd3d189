// The task run in this process: start-up, the main loop serving requests
// through the real worker, and shutdown, seen through the queues, the status
// line and the log.
#include <sys/stat.h>

#include <chrono>
#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "notes_api.h"
#include "standin/addin.h"
#include "standin/fault.h"
#include "standin/mq.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "task_main.h"
#include "test_support.h"
#include "xml_toolkit.h"

namespace {

using Lines = std::vector<std::string>;

const char kListQueue[] = "MQ$HCRServletList";
const char kRequestQueue[] = "MQ$OutOfOffice";
const char kReplyQueue[] = "MQ$TaskTestReply";

Lines TaskLog(const std::string &consoleLog) {
    return test_support::TaskLogLines(consoleLog);
}

BOOL CollectMessage(void *context, WORD, const char *message, WORD length) {
    static_cast<Lines *>(context)->emplace_back(message, length);
    return TRUE;
}

Lines QueueMessages(const char *queue) {
    Lines messages;
    EXPECT_NOERROR(StandinMQPeek(queue, CollectMessage, &messages));
    return messages;
}

Lines ServletNames(int count) {
    Lines names;
    for (int i = 0; i < count; i++)
        names.push_back("MQ$HCRServletList_" + std::to_string(i));
    return names;
}

bool QueueExists(const char *name) {
    MQHANDLE queue = 0;
    if (MQOpen(name, 0, &queue) != NOERROR)
        return false;
    MQClose(queue, 0);
    return true;
}

class TaskMainTest : public test_support::DataDirTest {
  protected:
    std::vector<std::string> IniLines() const override { return {"HCRDirectory=hcr"}; }
    std::string ConsoleLog() const { return dataFile("console.log"); }
    void CreateProductDb(WORD build) {
        ASSERT_EQ(mkdir(dataFile("hcr").c_str(), 0755), 0);
        ASSERT_NOERROR(StandinDbCreate("hcr/HCR.nsf", DBCLASS_NOTEFILE, build));
    }
};

TEST_F(TaskMainTest, WithoutItsDatabaseNorTemplatesTheTaskLogsWhyAndCreatesNoQueue) {
    EXPECT_EQ(TaskMain(nullptr, 0, nullptr), NOERROR);
    EXPECT_EQ(
        TaskLog(ConsoleLog()),
        (Lines{"Halcyra: Initializing", "Halcyra: Setting up the Halcyra Database",
               "Halcyra: Error setting up the Halcyra Database.",
               "Halcyra: " + test_support::StatusText(ERR_NOEXIST), "Halcyra: Shutdown Complete"}));
    EXPECT_FALSE(QueueExists(kListQueue));
    EXPECT_FALSE(QueueExists(kRequestQueue));
    EXPECT_FALSE(test_support::FileExists(dataFile("hcr/HCR.nsf")));
    // Only the status line stays: the task never removes it.
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY),
              StandinHandleCount(STANDIN_HANDLE_STATUSLINE));
}

TEST_F(TaskMainTest, AFailingQueueStepEndsStartUpAndClosesWhatWasOpened) {
    CreateProductDb(450);
    struct Case {
        const char *name;
        StandinFault fault;
        int servletMessages;  // left on the list queue; -1: no list queue
        STATUS logged;
    } cases[] = {
        {"put of message 10",
         {"MQPut", ERR_MQ_EXCEEDED_QUOTA, 10, 1, nullptr},
         10,
         ERR_MQ_EXCEEDED_QUOTA},
        {"list queue create", {"MQCreate", ERR_MQ_STORE, 0, 1, nullptr}, -1, ERR_MQ_STORE},
        {"list queue open", {"MQOpen", ERR_NO_SUCH_MQ, 0, 1, nullptr}, 0, ERR_NO_SUCH_MQ},
        {"request queue create",
         {"MQCreate", ERR_DUPLICATE_MQ, 1, 1, nullptr},
         50,
         ERR_DUPLICATE_MQ},
        {"request queue open", {"MQOpen", ERR_NO_SUCH_MQ, 1, 1, nullptr}, 50, ERR_NO_SUCH_MQ},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh runtime for every case: the queues of a run last until the
        // runtime of their creator ends.
        NotesRuntimeEnd();
        std::remove(ConsoleLog().c_str());
        std::string arg = "=" + iniPath();
        char program[] = "unit-test";
        char *argv[] = {program, arg.data(), nullptr};
        ASSERT_NOERROR(NotesRuntimeStart(2, argv));
        StandinFaultInject(c.fault);

        EXPECT_EQ(TaskMain(nullptr, 0, nullptr), NOERROR);
        StandinFaultClear();

        EXPECT_EQ(TaskLog(ConsoleLog()),
                  (Lines{"Halcyra: Initializing", "Halcyra: Initialization Complete",
                         "Halcyra: Program Version 2.3.1 Build 2051",
                         "Halcyra: " + test_support::StatusText(c.logged),
                         "Halcyra: Shutdown Complete"}));
        if (c.servletMessages < 0) {
            EXPECT_FALSE(QueueExists(kListQueue));
        } else {
            EXPECT_EQ(QueueMessages(kListQueue), ServletNames(c.servletMessages));
        }
        if (c.servletMessages < 50) {
            EXPECT_FALSE(QueueExists(kRequestQueue));
        }
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_QUEUE), 0u);
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 0u);
    }
}

// The status line of this process's task, as the server lists it.
void CollectLines(void *context, const StandinTaskInfo *task) {
    Lines &lines = *static_cast<Lines *>(context);
    for (DWORD i = 0; i < task->lineCount; i++) {
        lines.push_back(std::string(task->lines[i].taskName) + "|" + task->lines[i].text);
    }
}

// A request file whose user name cannot be abbreviated: whatever its
// "Action", the worker logs the error and sends it to the reply queue, so
// the reply shows that the message reached a worker whole.
void WriteRequest(const std::string &path) {
    test_support::WriteFile(path, std::string("<Request><Username MQName=\"") + kReplyQueue +
                                      "\" Action=\"4\">CN=Jane Doe//O=Acme</Username></Request>");
}

// A path of exactly length bytes in the folder base, through folders of its
// own.
std::string PathOfLength(const std::string &base, size_t length) {
    std::string path = base;
    while (path.size() + 1 + 100 + 1 + 20 < length) {
        path += "/" + std::string(100, 'd');
        mkdir(path.c_str(), 0755);
    }
    size_t name = length - path.size() - 1 - 4;
    return path + "/" + std::string(name, 'r') + ".xml";
}

TEST_F(TaskMainTest, ServesEachMessageOnAThreadUntilToldToStop) {
    CreateProductDb(379);
    MQHANDLE reply = 0;
    ASSERT_NOERROR(MQCreate(kReplyQueue, 0, 0));
    ASSERT_NOERROR(MQOpen(kReplyQueue, 0, &reply));

    char program[] = "vanterra-unit";
    char *argv[] = {program, nullptr};
    std::future<STATUS> task =
        std::async(std::launch::async, [&] { return RunAddInMain(1, argv); });
    for (int i = 0; i < 6000 && !QueueExists(kRequestQueue); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(QueueExists(kRequestQueue)) << test_support::ReadFile(ConsoleLog());

    EXPECT_EQ(QueueMessages(kListQueue), ServletNames(50));
    Lines statusLines;
    ASSERT_NOERROR(StandinListTasks(CollectLines, &statusLines, nullptr));
    EXPECT_EQ(statusLines, Lines{"Halcyra|Idle"});

    MQHANDLE requests = 0;
    ASSERT_NOERROR(MQOpen(kRequestQueue, 0, &requests));
    const std::string expectedReply = test_support::StatusText(ERR_DN_INVALID);
    // A message of the most bytes a request takes is stored whole; one byte
    // more is refused by the queue and the loop goes on.
    const std::string longest = PathOfLength(dataDir(), 512);
    const std::string tooLong = PathOfLength(dataDir(), 513);
    const std::string plain = dataFile("request_1.xml");
    for (const std::string &path : {longest, tooLong, plain})
        WriteRequest(path);
    for (const std::string &path : {longest, tooLong, plain}) {
        ASSERT_NOERROR(MQPut(requests, 0, path.data(), static_cast<WORD>(path.size()), 0));
    }
    for (int i = 0; i < 2; i++) {
        char text[512];
        WORD length = 0;
        ASSERT_EQ(MQGet(reply, text, sizeof text, 0, 60000, &length), NOERROR) << "reply " << i;
        EXPECT_EQ(std::string(text, length), expectedReply);
    }
    char text[512];
    WORD length = 0;
    EXPECT_EQ(MQGet(reply, text, sizeof text, 0, 0, &length), ERR_MQ_EMPTY);

    // Quit pending: no message is taken any more, and the shutdown names it.
    ASSERT_NOERROR(MQPut(requests, 0, plain.data(), static_cast<WORD>(plain.size()), 0));
    ASSERT_NOERROR(MQPutQuitMsg(requests));
    // A turn of the loop (one a second) must see the flag before the quit;
    // nothing shows that it did, so the wait leaves a busy machine room.
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    DWORD told = 0;
    ASSERT_NOERROR(StandinTellTask("vanterra-unit", "quit", &told));
    EXPECT_EQ(told, 1u);
    ASSERT_EQ(task.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(task.get(), NOERROR);
    AddInTaskEnd(1, argv);

    EXPECT_EQ(MQGetCount(requests), 1u);  // the message after the quit stays
    EXPECT_EQ(MQGet(reply, text, sizeof text, 0, 0, &length), ERR_MQ_EMPTY);
    Lines log = TaskLog(ConsoleLog());
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Lines(log.begin(), log.begin() + 3),
              (Lines{"Halcyra: Initializing", "Halcyra: Initialization Complete",
                     "Halcyra: Program Version 2.3.1 Build 2051"}));
    EXPECT_EQ(Lines(log.end() - 2, log.end()),
              (Lines{"Halcyra: " + test_support::StatusText(ERR_MQ_QUITTING),
                     "Halcyra: Shutdown Complete"}));
    // Between them only the two served requests' log lines.
    EXPECT_EQ(Lines(log.begin() + 3, log.end() - 2), Lines(2, "Halcyra: " + expectedReply));
    MQClose(requests, 0);
    MQClose(reply, 0);
    EXPECT_EQ(StandinThreadCount(), 0u);
}

// The XML library's start, held up until the test lets it go on, so that a
// request thread is still running when the task is told to stop. The task's
// own start at start-up passes; the worker's waits.
std::atomic<bool> g_startEntered{false};
std::atomic<bool> g_startReleased{false};
std::atomic<int> g_starts{0};
xml_toolkit::Calls g_realCalls;

void HeldStart() {
    if (g_starts++ > 0) {
        g_startEntered = true;
        while (!g_startReleased)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    g_realCalls.initialize();
}
void RealStop() {
    g_realCalls.terminate();
}

TEST_F(TaskMainTest, ShutdownWaitsForRequestThreadsThatStillRun) {
    CreateProductDb(450);
    MQHANDLE reply = 0;
    ASSERT_NOERROR(MQCreate(kReplyQueue, 0, 0));
    ASSERT_NOERROR(MQOpen(kReplyQueue, 0, &reply));
    g_startEntered = false;
    g_startReleased = false;
    g_starts = 0;
    g_realCalls = xml_toolkit::ReplaceCallsForTest({HeldStart, RealStop});

    char program[] = "vanterra-unit";
    char *argv[] = {program, nullptr};
    std::future<STATUS> task;
    // Lets everything go on when an assertion ends the test early.
    struct Cleanup {
        std::future<STATUS> &task;
        ~Cleanup() {
            g_startReleased = true;
            if (task.valid()) {
                StandinTellTask("vanterra-unit", "quit", nullptr);
                task.wait();
            }
            xml_toolkit::ReplaceCallsForTest(g_realCalls);
        }
    } cleanup{task};
    task = std::async(std::launch::async, [&] {
        STATUS status = RunAddInMain(1, argv);
        // What the request thread left behind when the task returned.
        EXPECT_EQ(StandinThreadCount(), 0u);
        EXPECT_EQ(MQGetCount(reply), 1u);
        return status;
    });
    for (int i = 0; i < 6000 && !QueueExists(kRequestQueue); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    MQHANDLE requests = 0;
    ASSERT_NOERROR(MQOpen(kRequestQueue, 0, &requests));
    const std::string path = dataFile("request_1.xml");
    WriteRequest(path);
    ASSERT_NOERROR(MQPut(requests, 0, path.data(), static_cast<WORD>(path.size()), 0));
    for (int i = 0; i < 6000 && !g_startEntered; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(g_startEntered);

    DWORD told = 0;
    ASSERT_NOERROR(StandinTellTask("vanterra-unit", "quit", &told));
    // The loop stops at once; the task does not return while the request
    // runs.
    EXPECT_EQ(task.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
    g_startReleased = true;
    ASSERT_EQ(task.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(task.get(), NOERROR);
    AddInTaskEnd(1, argv);

    char text[512];
    WORD length = 0;
    ASSERT_NOERROR(MQGet(reply, text, sizeof text, 0, 0, &length));
    EXPECT_EQ(std::string(text, length), test_support::StatusText(ERR_DN_INVALID));
    const Lines log = TaskLog(ConsoleLog());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Halcyra: Shutdown Complete");
    MQClose(requests, 0);
    MQClose(reply, 0);
}

// The library's starts and stops as the task and its workers make them:
// how many of each, how deep the count is, and how often it fell to 0.
struct XmlCounts {
    std::mutex lock;
    int starts = 0;
    int stops = 0;
    int depth = 0;
    int fallsToZero = 0;
    int repliesAtFirstFall = -1;
};
XmlCounts *g_counts = nullptr;
std::atomic<int> g_replies{0};

void CountedStart() {
    {
        std::lock_guard<std::mutex> hold(g_counts->lock);
        g_counts->starts++;
        g_counts->depth++;
    }
    g_realCalls.initialize();
}
void CountedStop() {
    g_realCalls.terminate();
    std::lock_guard<std::mutex> hold(g_counts->lock);
    g_counts->stops++;
    if (--g_counts->depth == 0 && g_counts->fallsToZero++ == 0)
        g_counts->repliesAtFirstFall = g_replies;
}

// The task holds one start of the library from start-up to shutdown, so
// that the workers' counted starts and stops never set it up or tear it
// down: the count falls to 0 once, at shutdown, after every request.
TEST_F(TaskMainTest, TheTaskHoldsTheXmlLibraryFromStartUpToShutdown) {
    CreateProductDb(450);
    MQHANDLE reply = 0;
    ASSERT_NOERROR(MQCreate(kReplyQueue, 0, 0));
    ASSERT_NOERROR(MQOpen(kReplyQueue, 0, &reply));
    XmlCounts counts;
    g_counts = &counts;
    g_replies = 0;
    g_realCalls = xml_toolkit::ReplaceCallsForTest({CountedStart, CountedStop});
    struct Restore {
        ~Restore() { xml_toolkit::ReplaceCallsForTest(g_realCalls); }
    } restore;

    char program[] = "vanterra-unit";
    char *argv[] = {program, nullptr};
    std::future<STATUS> task =
        std::async(std::launch::async, [&] { return RunAddInMain(1, argv); });
    for (int i = 0; i < 6000 && !QueueExists(kRequestQueue); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    MQHANDLE requests = 0;
    ASSERT_NOERROR(MQOpen(kRequestQueue, 0, &requests));
    const int kRequests = 3;
    for (int i = 0; i < kRequests; i++) {
        const std::string path = dataFile("request_" + std::to_string(i) + ".xml");
        WriteRequest(path);
        ASSERT_NOERROR(MQPut(requests, 0, path.data(), static_cast<WORD>(path.size()), 0));
        char text[512];
        WORD length = 0;
        ASSERT_NOERROR(MQGet(reply, text, sizeof text, 0, 60000, &length));
        g_replies++;
    }
    // The last worker is gone once its stop is counted.
    auto stops = [&] {
        std::lock_guard<std::mutex> hold(counts.lock);
        return counts.stops;
    };
    for (int i = 0; i < 6000 && stops() < kRequests; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    {
        std::lock_guard<std::mutex> hold(counts.lock);
        EXPECT_EQ(counts.starts, kRequests + 1);
        EXPECT_EQ(counts.depth, 1) << "the task's own start is held";
        EXPECT_EQ(counts.fallsToZero, 0);
    }
    DWORD told = 0;
    ASSERT_NOERROR(StandinTellTask("vanterra-unit", "quit", &told));
    ASSERT_EQ(task.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(task.get(), NOERROR);
    AddInTaskEnd(1, argv);
    EXPECT_EQ(counts.starts, kRequests + 1);
    EXPECT_EQ(counts.stops, kRequests + 1);
    EXPECT_EQ(counts.fallsToZero, 1);
    EXPECT_EQ(counts.repliesAtFirstFall, kRequests);
    MQClose(requests, 0);
    MQClose(reply, 0);
    g_counts = nullptr;
}

TEST(ShowStartupError, PrintsTheTextBetweenLineEnds) {
    testing::internal::CaptureStdout();
    ShowStartupError("The Notes settings file (notes.ini) cannot be read");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\r\nThe Notes settings file (notes.ini) cannot be read\r\n\r\n");
}

}  // namespace
