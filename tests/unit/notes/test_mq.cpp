#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "mq.h"
#include "os_error.h"
#include "os_mem.h"
#include "os_runtime.h"
#include "standin/fault.h"
#include "standin/mq.h"
#include "standin/runtime.h"
#include "test_support.h"

// Present once the add-in services are linked in; the stop test needs it.
#pragma weak AddInTaskStart

namespace {

using Clock = std::chrono::steady_clock;

// Bounds that hold on a busy machine too. A get that an event (a put, a quit
// message, a death, a stop request) must end waits kLongWaitMs, and ends
// within kPromptMs when the event ended it, well before its time-out. How
// fast a waiting get wakes is measured by bench/mq_latency, not here.
constexpr DWORD kLongWaitMs = 60000;
constexpr long long kPromptMs = 30000;
// How long one side of a test waits for the other before it gives up.
constexpr int kHangMs = 60000;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A one-way pipe between a parent and a forked child.
class Pipe {
  public:
    Pipe() {
        if (pipe(fds_) != 0)
            throw std::runtime_error("pipe");
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() {
        if (fds_[0] >= 0)
            close(fds_[0]);
        fds_[0] = -1;
    }
    void CloseWrite() {
        if (fds_[1] >= 0)
            close(fds_[1]);
        fds_[1] = -1;
    }
    void Send(int value) {
        ssize_t n = write(fds_[1], &value, sizeof value);
        (void)n;
    }
    // The next value, or -1 after timeoutMs or when the other side closed.
    int Receive(int timeoutMs = kHangMs) {
        struct pollfd p = {fds_[0], POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return -1;
        int value = -1;
        if (read(fds_[0], &value, sizeof value) != sizeof value)
            return -1;
        return value;
    }

  private:
    int fds_[2];
};

// A forked child that runs body and ends with its result as exit code. A
// child still running when the object dies is killed.
class Child {
  public:
    explicit Child(const std::function<int()> &body) {
        fflush(stdout);
        fflush(stderr);
        pid_ = fork();
        if (pid_ == 0)
            _exit(body());
    }
    ~Child() {
        if (pid_ > 0 && !waited_) {
            kill(pid_, SIGKILL);
            Wait();
        }
    }
    pid_t pid() const { return pid_; }
    void Kill() { kill(pid_, SIGKILL); }
    // The exit code, or 1000 + signal for a child that a signal ended.
    int Wait() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        waited_ = true;
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        if (WIFSIGNALED(status))
            return 1000 + WTERMSIG(status);
        return -1;
    }

  private:
    pid_t pid_ = -1;
    bool waited_ = false;
};

class MQTest : public test_support::DataDirTest {
  protected:
    MQHANDLE CreateAndOpen(const char *name, WORD quota = 0) {
        EXPECT_NOERROR(MQCreate(name, quota, 0));
        MQHANDLE h = NULLHANDLE;
        EXPECT_NOERROR(MQOpen(name, 0, &h));
        return h;
    }
    static STATUS Put(MQHANDLE h, const std::string &text, WORD priority = 0) {
        return MQPut(h, priority, text.data(), static_cast<WORD>(text.size()), 0);
    }
    // Takes one message; *status gets the call's status.
    static std::string Get(MQHANDLE h, DWORD timeout, STATUS *status, WORD bufLength = 65535) {
        std::vector<char> buffer(65535);
        WORD length = 0;
        *status = MQGet(h, buffer.data(), bufLength, 0, timeout, &length);
        return *status == NOERROR ? std::string(buffer.data(), length) : std::string();
    }
    // Puts messages of `size` bytes until the queue refuses; returns how many
    // it took, then takes them all again.
    static int Capacity(MQHANDLE h, WORD size) {
        std::string message(size, 'c');
        int taken = 0;
        STATUS status;
        while ((status = Put(h, message)) == NOERROR)
            taken++;
        EXPECT_EQ(status, ERR_MQ_EXCEEDED_QUOTA);
        for (int i = 0; i < taken; i++) {
            Get(h, 0, &status);
            EXPECT_NOERROR(status);
        }
        return taken;
    }
    static StandinQueueInfo Info(const std::string &name) {
        std::vector<StandinQueueInfo> all(64);
        DWORD n = StandinMQList(all.data(), static_cast<DWORD>(all.size()));
        for (DWORD i = 0; i < n && i < all.size(); i++) {
            if (name == all[i].name)
                return all[i];
        }
        ADD_FAILURE() << "queue " << name << " is not listed";
        return StandinQueueInfo{};
    }
};

constexpr DWORD kStoreBytes = 4u * 1024 * 1024;
constexpr DWORD kPiece = 256;
constexpr int kStoreMessages = kStoreBytes / kPiece;

TEST_F(MQTest, MessagesComeBackByteForByteWithoutATerminator) {
    MQHANDLE h = CreateAndOpen("MQ$OutOfOffice");
    std::string big(MQ_MAX_MSGSIZE, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>(i * 7 + 3);
    const std::vector<std::string> messages = {
        "/srv/notes/data/hcr/req_1234.xml",
        std::string("nul\0inside", 10),
        "",
        std::string(kPiece, 'x'),      // exactly one piece
        std::string(kPiece + 1, 'y'),  // one byte into a second piece
        big,
    };
    for (const std::string &m : messages)
        ASSERT_NOERROR(Put(h, m));
    EXPECT_EQ(MQGetCount(h), messages.size());
    for (const std::string &m : messages) {
        std::vector<char> buffer(MQ_MAX_MSGSIZE + 16, '#');
        WORD length = 0xFFFF;
        ASSERT_NOERROR(MQGet(h, buffer.data(), static_cast<WORD>(buffer.size()), 0, 0, &length));
        ASSERT_EQ(length, m.size());
        EXPECT_EQ(std::string(buffer.data(), length), m);
        EXPECT_EQ(buffer[length], '#') << "something was written past the message";
    }
    EXPECT_EQ(MQGetCount(h), 0);
    EXPECT_NOERROR(MQClose(h, 0));
}

TEST_F(MQTest, NamesAreCheckedAndComparedExactly) {
    const std::string longest(MQ_MAX_NAME, 'n');
    const std::string tooLong(MQ_MAX_NAME + 1, 'n');
    struct Case {
        const char *name;
        STATUS create;
    };
    const Case cases[] = {
        {nullptr, ERR_MQ_BAD_NAME},
        {"", ERR_MQ_BAD_NAME},
        {tooLong.c_str(), ERR_MQ_BAD_NAME},
        {longest.c_str(), NOERROR},
        {"q", NOERROR},
        {"Q", NOERROR},  // another queue than "q"
        {"../../etc/passwd", NOERROR},
        {"a/b\\c d", NOERROR},
        {"MQ$HCRServletList", NOERROR},
        {"\xc3\xbc\xc3\xa9\xe2\x82\xac", NOERROR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        EXPECT_EQ(MQCreate(c.name, 0, 0), c.create);
        MQHANDLE h = 0x1234;
        STATUS open = MQOpen(c.name, 0, &h);
        if (c.create != NOERROR) {
            EXPECT_EQ(open, c.create);
            EXPECT_EQ(h, NULLHANDLE);
            continue;
        }
        ASSERT_NOERROR(open);
        ASSERT_NOERROR(Put(h, std::string("to ") + c.name));
        EXPECT_NOERROR(MQClose(h, 0));
    }
    // Each name reached its own queue.
    for (const Case &c : cases) {
        if (c.create != NOERROR)
            continue;
        SCOPED_TRACE(c.name);
        MQHANDLE h;
        ASSERT_NOERROR(MQOpen(c.name, 0, &h));
        EXPECT_EQ(MQGetCount(h), 1);
        STATUS status;
        EXPECT_EQ(Get(h, 0, &status), std::string("to ") + c.name);
        MQClose(h, 0);
    }
    std::vector<StandinQueueInfo> listed(32);
    ASSERT_EQ(StandinMQList(listed.data(), 32), 7u);
    std::set<std::string> names;
    for (int i = 0; i < 7; i++)
        names.insert(listed[i].name);
    EXPECT_EQ(names.count("q") + names.count("Q") + names.count(longest), 3u);
    MQHANDLE h;
    EXPECT_EQ(MQOpen("MQ$hcrservletlist", 0, &h), ERR_NO_SUCH_MQ);
}

TEST_F(MQTest, CreateOfALiveQueueAndOpenOfAMissingOneFailWithTheirOwnStatuses) {
    ASSERT_NOERROR(MQCreate("requests", 0, 0));
    EXPECT_EQ(MQCreate("requests", 0, 0), ERR_DUPLICATE_MQ);
    MQHANDLE h = 0x1234;
    EXPECT_EQ(MQOpen("nobody", 0, &h), ERR_NO_SUCH_MQ);
    EXPECT_EQ(h, NULLHANDLE);
    EXPECT_EQ(MQOpen("requests", 0, nullptr), ERR_BAD_PARAM);

    // With MQ_OPEN_CREATE a missing queue is made and this process owns it.
    ASSERT_NOERROR(MQOpen("replies", MQ_OPEN_CREATE, &h));
    EXPECT_EQ(MQCreate("replies", 0, 0), ERR_DUPLICATE_MQ);
    MQHANDLE again;
    ASSERT_NOERROR(MQOpen("replies", MQ_OPEN_CREATE, &again));  // opens the existing one
    ASSERT_NOERROR(Put(h, "one"));
    EXPECT_EQ(MQGetCount(again), 1) << "both handles reach the same queue";
    MQClose(h, 0);
    MQClose(again, 0);
}

TEST_F(MQTest, PriorityOrdersBeforeArrival) {
    MQHANDLE h = CreateAndOpen("prio");
    const std::vector<std::pair<WORD, std::string>> puts = {
        {5, "a5"}, {0, "b0"}, {5, "c5"}, {65535, "d-last"},
        {1, "e1"}, {0, "f0"}, {5, "g5"}, {2, "h2"},
    };
    for (const auto &p : puts)
        ASSERT_NOERROR(Put(h, p.second, p.first));
    const std::vector<std::string> expected = {"b0", "f0", "e1", "h2", "a5", "c5", "g5", "d-last"};
    for (const std::string &e : expected) {
        STATUS status;
        EXPECT_EQ(Get(h, 0, &status), e);
        EXPECT_NOERROR(status);
    }
    MQClose(h, 0);
}

TEST_F(MQTest, AMessageTooLongForTheBufferIsRefusedWholeAndLeavesTheQueue) {
    MQHANDLE h = CreateAndOpen("small-buffer");
    ASSERT_NOERROR(Put(h, "0123456789"));
    ASSERT_NOERROR(Put(h, "next"));
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    WORD length = 0;
    EXPECT_EQ(MQGet(h, buffer, 5, 0, 0, &length), ERR_MQ_BFR_TOO_SMALL);
    EXPECT_EQ(length, 10) << "the caller learns how long the message was";
    EXPECT_EQ(std::string(buffer, sizeof buffer), "########") << "nothing is cut into the buffer";
    EXPECT_EQ(MQGetCount(h), 1) << "the refused message does not block the queue";
    STATUS status;
    EXPECT_EQ(Get(h, 0, &status, 4), "next") << "a message of exactly the buffer's length fits";

    // A zero-length message needs no buffer at all.
    ASSERT_NOERROR(Put(h, ""));
    EXPECT_NOERROR(MQGet(h, nullptr, 0, 0, 0, &length));
    EXPECT_EQ(length, 0);
    MQClose(h, 0);
}

TEST_F(MQTest, BadArgumentsGiveStatusesAndChangeNothing) {
    MQHANDLE h = CreateAndOpen("args");
    std::string tooBig(MQ_MAX_MSGSIZE + 1, 'z');
    EXPECT_EQ(MQPut(h, 0, tooBig.data(), static_cast<WORD>(tooBig.size()), 0), ERR_MQ_MSG_TOO_BIG);
    EXPECT_EQ(MQPut(h, 0, nullptr, 3, 0), ERR_BAD_PARAM);
    ASSERT_NOERROR(Put(h, "kept"));
    WORD length;
    EXPECT_EQ(MQGet(h, nullptr, 10, 0, 0, &length), ERR_BAD_PARAM);
    EXPECT_EQ(MQGetCount(h), 1);
    EXPECT_EQ(MQGet(h, nullptr, 0, 0, 0, &length), ERR_MQ_BFR_TOO_SMALL);
    EXPECT_EQ(length, 4);
    MQClose(h, 0);
}

TEST_F(MQTest, QuotaLimitsTheCountAndTheStoreLimitsTheBytes) {
    MQHANDLE h = CreateAndOpen("three", 3);
    for (int i = 0; i < 3; i++)
        ASSERT_NOERROR(Put(h, "m" + std::to_string(i)));
    EXPECT_EQ(Put(h, "m3"), ERR_MQ_EXCEEDED_QUOTA);
    EXPECT_EQ(MQGetCount(h), 3) << "a refused put leaves the queue as it was";
    STATUS status;
    EXPECT_EQ(Get(h, 0, &status), "m0");
    EXPECT_NOERROR(Put(h, "m4"));
    EXPECT_EQ(Get(h, 0, &status), "m1");
    EXPECT_EQ(Get(h, 0, &status), "m2");
    EXPECT_EQ(Get(h, 0, &status), "m4");
    MQClose(h, 0);

    // Without a quota the store's bytes are the limit: a message takes its
    // length in whole pieces.
    MQHANDLE open = CreateAndOpen("unlimited");
    std::string big(MQ_MAX_MSGSIZE, 'b');
    const int bigPieces = (MQ_MAX_MSGSIZE + kPiece - 1) / kPiece;
    int bigTaken = 0;
    while ((status = Put(open, big)) == NOERROR)
        bigTaken++;
    EXPECT_EQ(status, ERR_MQ_EXCEEDED_QUOTA);
    EXPECT_EQ(bigTaken, kStoreMessages / bigPieces);
    const int piecesLeft = kStoreMessages - bigTaken * bigPieces;
    int smallTaken = 0;
    while ((status = Put(open, "s")) == NOERROR)
        smallTaken++;
    EXPECT_EQ(status, ERR_MQ_EXCEEDED_QUOTA);
    EXPECT_EQ(smallTaken, piecesLeft) << "the pieces left still take small messages";
    EXPECT_EQ(Get(open, 0, &status), big) << "the oldest message is intact";
    for (int i = 1; i < bigTaken; i++)
        Get(open, 0, &status);
    while (MQGetCount(open) > 0)
        Get(open, 0, &status);
    EXPECT_EQ(Capacity(open, 1), kStoreMessages) << "everything taken is free again";
    MQClose(open, 0);
}

TEST_F(MQTest, GetTimesOutOrWakesSoonAfterAPut) {
    MQHANDLE h = CreateAndOpen("wait");
    STATUS status;
    Clock::time_point start = Clock::now();
    Get(h, 0, &status);
    EXPECT_EQ(status, ERR_MQ_EMPTY) << "a time-out of 0 does not wait";

    start = Clock::now();
    Get(h, 200, &status);
    EXPECT_EQ(status, ERR_MQ_TIMEOUT);
    EXPECT_GE(MsSince(start), 200);
    EXPECT_LT(MsSince(start), kPromptMs);

    for (DWORD options : {DWORD{0}, DWORD{MQ_WAIT_FOR_MSG}}) {
        SCOPED_TRACE(options ? "wait without a limit" : "a long time-out");
        std::thread putter([h] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            Put(h, "wake up");
        });
        char buffer[64];
        WORD length = 0;
        start = Clock::now();
        EXPECT_NOERROR(
            MQGet(h, buffer, sizeof buffer, options, options ? 0 : kLongWaitMs, &length));
        long long elapsed = MsSince(start);
        putter.join();
        EXPECT_EQ(std::string(buffer, length), "wake up");
        EXPECT_GE(elapsed, 90);
        EXPECT_LT(elapsed, kPromptMs) << "woke on the put, not at the end of the time-out";
    }
    MQClose(h, 0);
}

TEST_F(MQTest, AnIdleWaitUsesAlmostNoProcessorTime) {
    MQHANDLE h = CreateAndOpen("idle");
    struct timespec before, after;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    STATUS status;
    Get(h, 1000, &status);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    EXPECT_EQ(status, ERR_MQ_TIMEOUT);
    double cpuMs = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    // Processor time, not elapsed time: a busy machine does not add to it. A
    // wait that spun would burn most of the second.
    EXPECT_LT(cpuMs, 200.0) << "a one-second wait burned " << cpuMs << " ms of processor time";
    MQClose(h, 0);
}

TEST_F(MQTest, QuitPendingSetInAnotherProcessReachesEveryone) {
    MQHANDLE h = CreateAndOpen("MQ$OutOfOffice");
    ASSERT_NOERROR(Put(h, "left over"));
    STATUS status;
    EXPECT_FALSE(MQIsQuitPending(h));

    Pipe ready;
    Child quitter([&] {
        if (ready.Receive() != 1)
            return 2;
        MQHANDLE mine;
        if (MQOpen("MQ$OutOfOffice", 0, &mine) != NOERROR)
            return 3;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (MQPutQuitMsg(mine) != NOERROR)
            return 4;
        return MQIsQuitPending(mine) ? 0 : 5;
    });
    // A waiting reader takes the message on the queue first, then waits and
    // is woken by the quit message.
    EXPECT_EQ(Get(h, 0, &status), "left over");
    ready.Send(1);
    Clock::time_point start = Clock::now();
    Get(h, kLongWaitMs, &status);
    EXPECT_EQ(status, ERR_MQ_QUITTING);
    EXPECT_LT(MsSince(start), kPromptMs) << "the quit message woke the waiting reader";
    EXPECT_EQ(quitter.Wait(), 0);

    EXPECT_TRUE(MQIsQuitPending(h));
    EXPECT_EQ(Put(h, "late"), ERR_MQ_QUITTING);
    EXPECT_EQ(MQPutQuitMsg(h), NOERROR) << "a second quit message is harmless";

    // The administration tool sets it by name; messages stay but cannot be taken.
    MQHANDLE other = CreateAndOpen("other");
    ASSERT_NOERROR(Put(other, "stays"));
    ASSERT_NOERROR(StandinMQSetQuitPending("other"));
    EXPECT_TRUE(MQIsQuitPending(other));
    Get(other, 0, &status);
    EXPECT_EQ(status, ERR_MQ_QUITTING);
    EXPECT_EQ(MQGetCount(other), 1);

    // A quit message from another thread of this process wakes its reader.
    for (int round = 0; round < 5; round++) {
        std::string name = "quit-" + std::to_string(round);
        MQHANDLE q = CreateAndOpen(name.c_str());
        std::thread quitter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(5 + round));
            MQPutQuitMsg(q);
        });
        Clock::time_point waitFrom = Clock::now();
        Get(q, kLongWaitMs, &status);
        quitter.join();
        EXPECT_EQ(status, ERR_MQ_QUITTING);
        EXPECT_LT(MsSince(waitFrom), kPromptMs);
        MQClose(q, 0);
    }
    EXPECT_EQ(StandinMQSetQuitPending("missing"), ERR_NO_SUCH_MQ);
    EXPECT_EQ(StandinMQSetQuitPending(""), ERR_MQ_BAD_NAME);
    MQClose(h, 0);
    MQClose(other, 0);
}

TEST_F(MQTest, ClosedUnknownAndWrongKindHandlesGiveStatuses) {
    DWORD before = StandinHandleCount(STANDIN_HANDLE_QUEUE);
    MQHANDLE closed = CreateAndOpen("handles");
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_QUEUE), before + 1);
    ASSERT_NOERROR(MQClose(closed, 0));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_QUEUE), before);
    DHANDLE memory;
    ASSERT_NOERROR(OSMemAlloc(0, 16, &memory));

    const std::pair<MQHANDLE, STATUS> cases[] = {
        {closed, ERR_INVALID_HANDLE},
        {NULLHANDLE, ERR_INVALID_HANDLE},
        {0x7FFFFFF0, ERR_INVALID_HANDLE},
        {memory, ERR_WRONG_HANDLE_KIND},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        char buffer[16];
        WORD length;
        EXPECT_EQ(MQPut(c.first, 0, "x", 1, 0), c.second);
        EXPECT_EQ(MQGet(c.first, buffer, sizeof buffer, 0, 100, &length), c.second);
        EXPECT_EQ(MQPutQuitMsg(c.first), c.second);
        EXPECT_EQ(MQClose(c.first, 0), c.second);
        EXPECT_EQ(MQGetCount(c.first), 0);
        EXPECT_FALSE(MQIsQuitPending(c.first));
    }
    EXPECT_NOERROR(OSMemFree(memory));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_QUEUE), before);
}

bool MapsFileWith(const std::string &fragment) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(fragment) != std::string::npos)
            return true;
    }
    return false;
}

TEST_F(MQTest, LastCloseDropsTheMappingAndRuntimeEndEndsTheQueue) {
    const std::string file = "/.server/queues/6c6966652d74696d65";  // "life-time"
    ASSERT_NOERROR(MQCreate("life-time", 0, 0));
    EXPECT_FALSE(MapsFileWith(file)) << "creating keeps no mapping";
    MQHANDLE a, b;
    ASSERT_NOERROR(MQOpen("life-time", 0, &a));
    ASSERT_NOERROR(MQOpen("life-time", 0, &b));
    EXPECT_TRUE(MapsFileWith(file));
    ASSERT_NOERROR(Put(a, "survives the handles"));
    ASSERT_NOERROR(MQClose(a, 0));
    EXPECT_TRUE(MapsFileWith(file)) << "the other handle still needs it";
    ASSERT_NOERROR(MQClose(b, 0));
    EXPECT_FALSE(MapsFileWith(file)) << "the last close drops the mapping";

    // The creator still holds the queue: it can be opened and keeps its messages.
    EXPECT_EQ(MQCreate("life-time", 0, 0), ERR_DUPLICATE_MQ);
    ASSERT_NOERROR(MQOpen("life-time", 0, &a));
    EXPECT_EQ(MQGetCount(a), 1);
    ASSERT_TRUE(test_support::FileExists(dataDir() + file));

    // The runtime's end closes the handle and ends the queue.
    NotesRuntimeEnd();
    EXPECT_FALSE(MapsFileWith(file));
    EXPECT_FALSE(test_support::FileExists(dataDir() + file));
    EXPECT_EQ(MQGetCount(a), 0);
    EXPECT_EQ(MQClose(a, 0), ERR_INVALID_HANDLE);
    EXPECT_EQ(MQCreate("life-time", 0, 0), ERR_NOT_INITIALIZED);

    std::string arg = "=" + iniPath();
    char program[] = "unit-test";
    char *argv[] = {program, arg.data(), nullptr};
    ASSERT_NOERROR(NotesRuntimeStart(2, argv));
    EXPECT_EQ(MQOpen("life-time", 0, &a), ERR_NO_SUCH_MQ);
    ASSERT_NOERROR(MQCreate("life-time", 0, 0));  // a restarted task starts cleanly
    ASSERT_NOERROR(MQOpen("life-time", 0, &a));
    EXPECT_EQ(MQGetCount(a), 0);
    MQClose(a, 0);
}

TEST_F(MQTest, RuntimeEndEndsAGetWaitingInAnotherThread) {
    Pipe ready, done;
    Child owner([&] {
        if (MQCreate("foreign", 0, 0) != NOERROR)
            return 2;
        ready.Send(1);
        done.Receive(kHangMs);
        return 0;
    });
    ASSERT_EQ(ready.Receive(), 1);
    MQHANDLE h;
    ASSERT_NOERROR(MQOpen("foreign", 0, &h));
    STATUS status = NOERROR;
    long long elapsed = 0;
    std::thread waiter([&] {
        Clock::time_point start = Clock::now();
        Get(h, kLongWaitMs, &status);
        elapsed = MsSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    NotesRuntimeEnd();
    waiter.join();
    EXPECT_EQ(status, ERR_INVALID_HANDLE);
    EXPECT_LT(elapsed, kPromptMs);
    done.Send(1);
    EXPECT_EQ(owner.Wait(), 0);
}

// How the creator of a queue ends.
enum class Death { Exit, Kill };

void PrintTo(Death d, std::ostream *out) {
    *out << (d == Death::Exit ? "exit" : "kill -9");
}

class QueueLifetimeTest : public MQTest, public ::testing::WithParamInterface<Death> {};

TEST_P(QueueLifetimeTest, AQueueEndsWithItsCreatorEvenByACrash) {
    Pipe ready, hold;
    Child creator([&] {
        if (MQCreate("MQ$OutOfOffice", 0, 0) != NOERROR)
            return 2;
        MQHANDLE h;
        if (MQOpen("MQ$OutOfOffice", 0, &h) != NOERROR)
            return 3;
        for (int i = 0; i < 5; i++)
            Put(h, "message " + std::to_string(i));
        ready.Send(1);
        if (hold.Receive(kHangMs) != 1)
            return 4;
        _exit(0);  // no runtime end, no close: as abrupt as it gets short of a signal
    });
    ASSERT_EQ(ready.Receive(), 1);

    EXPECT_EQ(MQCreate("MQ$OutOfOffice", 0, 0), ERR_DUPLICATE_MQ)
        << "a second task on the same data directory cannot start";
    MQHANDLE h;
    ASSERT_NOERROR(MQOpen("MQ$OutOfOffice", 0, &h));
    EXPECT_EQ(MQGetCount(h), 5);
    STATUS status;
    EXPECT_EQ(Get(h, 0, &status), "message 0");

    // A reader that waits when the creator dies is let go.
    MQHANDLE empty;
    STATUS waited = NOERROR;
    long long waitedMs = 0;
    std::thread reader([&] {
        STATUS s;
        while (MQGetCount(h) > 0)
            Get(h, 0, &s);
        Clock::time_point start = Clock::now();
        Get(h, kLongWaitMs, &waited);
        waitedMs = MsSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    if (GetParam() == Death::Kill) {
        creator.Kill();
        EXPECT_EQ(creator.Wait(), 1000 + SIGKILL);
    } else {
        hold.Send(1);
        EXPECT_EQ(creator.Wait(), 0);
    }
    reader.join();
    EXPECT_EQ(waited, ERR_NO_SUCH_MQ);
    EXPECT_LT(waitedMs, kPromptMs);

    EXPECT_EQ(Put(h, "too late"), ERR_NO_SUCH_MQ);
    EXPECT_EQ(MQGetCount(h), 0);
    EXPECT_EQ(MQPutQuitMsg(h), ERR_NO_SUCH_MQ);
    ASSERT_EQ(MQOpen("MQ$OutOfOffice", 0, &empty), ERR_NO_SUCH_MQ);

    // A restarted task starts cleanly: the old messages are gone.
    ASSERT_NOERROR(MQCreate("MQ$OutOfOffice", 0, 0));
    ASSERT_NOERROR(MQOpen("MQ$OutOfOffice", 0, &empty));
    EXPECT_EQ(MQGetCount(empty), 0);
    EXPECT_EQ(Put(h, "old handle"), ERR_NO_SUCH_MQ) << "an old handle does not reach the new queue";
    EXPECT_EQ(MQGetCount(empty), 0);
    MQClose(h, 0);
    MQClose(empty, 0);
}

INSTANTIATE_TEST_SUITE_P(Deaths, QueueLifetimeTest, ::testing::Values(Death::Exit, Death::Kill),
                         [](const ::testing::TestParamInfo<Death> &info) {
                             return info.param == Death::Exit ? "Exit" : "KillMinus9";
                         });

TEST_F(MQTest, AQueueEndsWithItsCreatorEvenWhenTheCreatorLeftAForkedChild) {
    Pipe ready, release;
    Child creator([&] {
        if (MQCreate("parent", 0, 0) != NOERROR)
            return 2;
        pid_t grandchild = fork();
        if (grandchild == 0) {
            release.Receive(kHangMs);
            _exit(0);
        }
        ready.Send(grandchild);
        _exit(0);  // ends without its runtime's end, while its child runs on
    });
    int grandchild = ready.Receive();
    ASSERT_GT(grandchild, 0);
    EXPECT_EQ(creator.Wait(), 0);
    ASSERT_EQ(kill(grandchild, 0), 0) << "the creator's child still runs";
    MQHANDLE h;
    EXPECT_EQ(MQOpen("parent", 0, &h), ERR_NO_SUCH_MQ);
    EXPECT_NOERROR(MQCreate("parent", 0, 0));
    release.Send(1);
    kill(grandchild, SIGKILL);
}

// Forks while another thread is making queues: no child keeps a lock of a
// queue that was being made, nor the lock that every create takes.
TEST_F(MQTest, AChildForkedWhileAnotherThreadCreatesKeepsNoLock) {
    constexpr int kQueues = 150;
    constexpr int kForks = 30;
    Pipe ready, release;
    Child creator([&]() -> int {
        std::atomic<bool> failed{false};
        std::thread maker([&] {
            for (int i = 0; i < kQueues; i++) {
                if (MQCreate(("made-" + std::to_string(i)).c_str(), 0, 0) != NOERROR)
                    failed = true;
            }
        });
        std::vector<pid_t> children;
        for (int i = 0; i < kForks; i++) {
            pid_t child = fork();
            if (child == 0) {
                release.Receive(60000);
                _exit(0);
            }
            children.push_back(child);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        maker.join();
        for (pid_t child : children)
            ready.Send(child);
        _exit(failed ? 2 : 0);  // without its runtime's end, its children running on
    });
    std::vector<int> children;
    for (int i = 0; i < kForks; i++)
        children.push_back(ready.Receive(60000));
    EXPECT_EQ(creator.Wait(), 0);
    for (int child : children)
        ASSERT_GT(child, 0);

    for (int i = 0; i < kQueues; i++) {
        MQHANDLE h;
        EXPECT_EQ(MQOpen(("made-" + std::to_string(i)).c_str(), 0, &h), ERR_NO_SUCH_MQ) << i;
    }
    // A create does not wait for the children: asked in a child of its own,
    // so that a lock left behind fails the test instead of hanging it.
    Pipe result;
    Child after([&] {
        result.Send(MQCreate("after", 0, 0));
        return 0;
    });
    EXPECT_EQ(result.Receive(60000), NOERROR) << "a create waited a minute for the children";
    for (size_t i = 0; i < children.size(); i++)
        release.Send(1);
    for (int child : children) {
        if (child > 0)
            kill(child, SIGKILL);  // the creator's, not ours to wait for
    }
}

TEST_F(MQTest, SimultaneousCreatesHaveExactlyOneWinner) {
    constexpr int kProcesses = 8;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        std::string name = "race-" + std::to_string(round);
        Pipe go, results, hold;
        std::vector<std::unique_ptr<Child>> children;
        for (int i = 0; i < kProcesses; i++) {
            children.push_back(std::make_unique<Child>([&] {
                go.CloseWrite();
                go.Receive(kHangMs);  // returns when the parent closes its end
                results.Send(MQCreate(name.c_str(), 0, 0));
                hold.CloseWrite();
                hold.Receive(kHangMs);  // stay alive until everyone tried
                return 0;
            }));
        }
        go.CloseWrite();
        hold.CloseRead();
        std::map<int, int> outcomes;
        for (int i = 0; i < kProcesses; i++)
            outcomes[results.Receive()]++;
        hold.CloseWrite();
        for (auto &c : children)
            EXPECT_EQ(c->Wait(), 0);
        EXPECT_EQ(outcomes[NOERROR], 1);
        EXPECT_EQ(outcomes[ERR_DUPLICATE_MQ], kProcesses - 1);
    }
}

// A message of the traffic tests: who sent it, with what priority, its number.
std::string Numbered(int source, int priority, int n) {
    return std::to_string(source) + " " + std::to_string(priority) + " " + std::to_string(n);
}

// Reads messages until "stop"; writes what it got, one a line, to `file`.
int ReadUntilStop(const std::string &queue, const std::string &file) {
    MQHANDLE h;
    if (MQOpen(queue.c_str(), 0, &h) != NOERROR)
        return 2;
    std::ofstream out(file);
    char buffer[64];
    for (;;) {
        WORD length = 0;
        STATUS status = MQGet(h, buffer, sizeof buffer, 0, 10000, &length);
        if (status == ERR_MQ_TIMEOUT)
            continue;
        if (status != NOERROR)
            return 3;
        std::string message(buffer, length);
        if (message == "stop")
            break;
        out << message << "\n";
    }
    MQClose(h, 0);
    return 0;
}

TEST_F(MQTest, ManyThreadsInManyProcessesPutAndGetEveryMessageExactlyOnce) {
    constexpr int kProducers = 4, kThreads = 4, kPerThread = 400;
    constexpr int kReaderProcesses = 2, kReaderThreads = 2, kLocalReaders = 2;
    const std::string queue = "traffic";
    ASSERT_NOERROR(MQCreate(queue.c_str(), 0, 0));
    auto readerFile = [&](int process, int thread) {
        return dataFile("reader-" + std::to_string(process) + "-" + std::to_string(thread));
    };

    std::vector<std::unique_ptr<Child>> readers;
    for (int p = 0; p < kReaderProcesses; p++) {
        readers.push_back(std::make_unique<Child>([&, p] {
            std::vector<std::thread> threads;
            std::atomic<int> failures{0};
            for (int t = 0; t < kReaderThreads; t++) {
                threads.emplace_back([&, t] {
                    if (ReadUntilStop(queue, readerFile(p, t)) != 0)
                        failures++;
                });
            }
            for (auto &t : threads)
                t.join();
            return failures.load();
        }));
    }
    // Every child is forked before this process starts threads of its own.
    Pipe go;
    std::vector<std::unique_ptr<Child>> producers;
    for (int p = 0; p < kProducers; p++) {
        producers.push_back(std::make_unique<Child>([&, p] {
            go.CloseWrite();
            go.Receive(kHangMs);  // returns when the parent closes its end
            MQHANDLE h;
            if (MQOpen(queue.c_str(), 0, &h) != NOERROR)
                return 2;
            std::atomic<int> failures{0};
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; t++) {
                threads.emplace_back([&, t] {
                    for (int n = 0; n < kPerThread; n++) {
                        if (Put(h, Numbered(p * kThreads + t, n % 3, n), n % 3) != NOERROR)
                            failures++;
                    }
                });
            }
            for (auto &t : threads)
                t.join();
            MQClose(h, 0);
            return failures.load();
        }));
    }
    std::vector<std::thread> localReaders;
    std::atomic<int> localFailures{0};
    for (int t = 0; t < kLocalReaders; t++) {
        localReaders.emplace_back([&, t] {
            if (ReadUntilStop(queue, readerFile(kReaderProcesses, t)) != 0)
                localFailures++;
        });
    }
    go.CloseWrite();
    for (auto &p : producers)
        EXPECT_EQ(p->Wait(), 0);

    // Everything is on the queue or taken; the stop messages come last.
    MQHANDLE h;
    ASSERT_NOERROR(MQOpen(queue.c_str(), 0, &h));
    for (int i = 0; i < kReaderProcesses * kReaderThreads + kLocalReaders; i++)
        ASSERT_NOERROR(Put(h, "stop", 65535));
    for (auto &r : readers)
        EXPECT_EQ(r->Wait(), 0);
    for (auto &t : localReaders)
        t.join();
    EXPECT_EQ(localFailures.load(), 0);
    EXPECT_EQ(MQGetCount(h), 0);
    MQClose(h, 0);

    std::set<std::tuple<int, int, int>> seen;
    size_t total = 0;
    for (int p = 0; p <= kReaderProcesses; p++) {
        for (int t = 0; t < kReaderThreads; t++) {
            std::istringstream lines(test_support::ReadFile(readerFile(p, t)));
            std::map<std::pair<int, int>, int> lastOf;  // (source, priority) -> last number
            int source, priority, n;
            while (lines >> source >> priority >> n) {
                total++;
                EXPECT_TRUE(seen.insert({source, priority, n}).second)
                    << "taken twice: " << Numbered(source, priority, n);
                auto key = std::make_pair(source, priority);
                if (lastOf.count(key) != 0) {
                    EXPECT_LT(lastOf[key], n) << "out of order for " << source << "/" << priority;
                }
                lastOf[key] = n;
            }
        }
    }
    EXPECT_EQ(total, size_t{kProducers * kThreads * kPerThread});
    EXPECT_EQ(seen.size(), size_t{kProducers * kThreads * kPerThread});
}

// Where a process dies while it holds the queue's lock.
struct CrashCase {
    const char *name;
    const char *faultPoint;
    bool getsMessage;  // the dying process took a message
};

void PrintTo(const CrashCase &c, std::ostream *out) {
    *out << c.name;
}

class LockHolderCrashTest : public MQTest, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(LockHolderCrashTest, TheNextProcessRepairsTheQueue) {
    const CrashCase &c = GetParam();
    MQHANDLE h = CreateAndOpen("crash");
    const int capacity = Capacity(h, 3000);
    ASSERT_GT(capacity, 0);
    for (int i = 0; i < 4; i++)
        ASSERT_NOERROR(Put(h, std::string(3000, static_cast<char>('a' + i))));
    EXPECT_EQ(Info("crash").recoveries, 0u);

    Child dying([&] {
        StandinFaultInject({c.faultPoint, 1, 0, 0, nullptr});
        MQHANDLE mine;
        if (MQOpen("crash", 0, &mine) != NOERROR)
            return 2;
        if (c.getsMessage) {
            STATUS status;
            Get(mine, 0, &status);
        } else {
            Put(mine, std::string(MQ_MAX_MSGSIZE, 'z'));
        }
        return 3;  // not reached when the fault point fires
    });
    ASSERT_EQ(dying.Wait(), 70) << "the process died inside the lock";

    // Nothing half-done is visible: a half-put message is not there, a
    // half-taken one is gone whole, and no piece of the store is lost.
    const int left = c.getsMessage ? 3 : 4;
    EXPECT_EQ(MQGetCount(h), left);
    EXPECT_EQ(Info("crash").recoveries, 1u);
    for (int i = 4 - left; i < 4; i++) {
        STATUS status;
        EXPECT_EQ(Get(h, 0, &status), std::string(3000, static_cast<char>('a' + i)));
    }
    EXPECT_EQ(Capacity(h, 3000), capacity);
    EXPECT_EQ(Capacity(h, 1), kStoreMessages);
    MQClose(h, 0);
}

INSTANTIATE_TEST_SUITE_P(Points, LockHolderCrashTest,
                         ::testing::Values(CrashCase{"Put", "MQPut.DieHoldingLock", false},
                                           CrashCase{"Get", "MQGet.DieHoldingLock", true}),
                         [](const ::testing::TestParamInfo<CrashCase> &info) {
                             return info.param.name;
                         });

// A message that carries its own check: length, seed, and bytes made from the seed.
std::string Checked(uint32_t seed, size_t length) {
    std::string m(length, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < length; i++) {
        x = x * 1103515245u + 12345u;
        m[i] = static_cast<char>(x >> 24);
    }
    std::memcpy(&m[0], &seed, sizeof seed);
    return m;
}

bool CheckedIntact(const std::string &m) {
    if (m.size() < sizeof(uint32_t))
        return false;
    uint32_t seed;
    std::memcpy(&seed, m.data(), sizeof seed);
    return Checked(seed, m.size()) == m;
}

TEST_F(MQTest, KillingBusyProcessesAtRandomNeverCorruptsTheQueue) {
    MQHANDLE h = CreateAndOpen("busy");
    std::mt19937 random(12345);
    for (int round = 0; round < 20; round++) {
        SCOPED_TRACE(round);
        Pipe started;
        unsigned seedBase = random();
        Child busy([&] {
            MQHANDLE mine;
            if (MQOpen("busy", 0, &mine) != NOERROR)
                return 2;
            // Made beforehand, so that the threads spend their time in the
            // queue calls. (A kill rarely lands inside the queue's lock; the
            // crash points of LockHolderCrashTest make sure of that case.)
            std::vector<std::string> pool;
            for (uint32_t i = 0; i < 64; i++) {
                uint32_t seed = seedBase + i;
                pool.push_back(Checked(seed, 4 + (seed * 2654435761u) % 20000));
            }
            std::vector<std::thread> threads;
            for (int t = 0; t < 3; t++) {
                threads.emplace_back([&, t] {
                    std::vector<char> buffer(MQ_MAX_MSGSIZE);
                    for (uint32_t i = 0;; i++) {
                        Put(mine, pool[(i * 7 + t * 13) % pool.size()]);
                        if (i % 3 == 2) {
                            WORD length;
                            MQGet(mine, buffer.data(), MQ_MAX_MSGSIZE, 0, 0, &length);
                        }
                    }
                });
            }
            started.Send(1);
            for (auto &t : threads)
                t.join();
            return 0;
        });
        ASSERT_EQ(started.Receive(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 30));
        busy.Kill();
        ASSERT_EQ(busy.Wait(), 1000 + SIGKILL);

        int count = MQGetCount(h);
        for (int i = 0; i < count; i++) {
            STATUS status;
            std::string m = Get(h, 0, &status);
            ASSERT_NOERROR(status);
            ASSERT_TRUE(CheckedIntact(m)) << "message " << i << " of " << count << " is damaged";
        }
        STATUS status;
        Get(h, 0, &status);
        EXPECT_EQ(status, ERR_MQ_EMPTY) << "the count matched the messages";
    }
    EXPECT_EQ(Capacity(h, 1), kStoreMessages) << "no piece of the store was lost";
    MQClose(h, 0);
}

TEST_F(MQTest, AdministrationListsAndPeeksWithoutTaking) {
    MQHANDLE a = CreateAndOpen("b-requests", 10);
    MQHANDLE b = CreateAndOpen("a-replies");
    ASSERT_NOERROR(Put(a, "low", 9));
    ASSERT_NOERROR(Put(a, "urgent", 1));
    ASSERT_NOERROR(Put(a, std::string("bin\0ary", 7), 1));
    ASSERT_NOERROR(StandinMQSetQuitPending("a-replies"));

    // A queue whose creator has died is not listed.
    Pipe ready;
    Child other([&] {
        if (MQCreate("c-dead", 0, 0) != NOERROR)
            return 2;
        ready.Send(1);
        pause();
        return 0;
    });
    ASSERT_EQ(ready.Receive(), 1);
    EXPECT_EQ(StandinMQList(nullptr, 0), 3u);
    other.Kill();
    other.Wait();

    StandinQueueInfo info[4];
    ASSERT_EQ(StandinMQList(info, 1), 2u) << "the count of live queues, beyond the capacity";
    EXPECT_STREQ(info[0].name, "a-replies");
    ASSERT_EQ(StandinMQList(info, 4), 2u);
    EXPECT_STREQ(info[1].name, "b-requests");
    EXPECT_EQ(info[0].count, 0u);
    EXPECT_TRUE(info[0].quitPending);
    EXPECT_EQ(info[1].count, 3u);
    EXPECT_EQ(info[1].bytes, 3u + 6u + 7u);
    EXPECT_EQ(info[1].quota, 10u);
    EXPECT_FALSE(info[1].quitPending);
    EXPECT_EQ(info[1].creatorPid, getpid());

    std::vector<std::pair<WORD, std::string>> peeked;
    auto collect = [](void *context, WORD priority, const char *message, WORD length) -> BOOL {
        auto *out = static_cast<std::vector<std::pair<WORD, std::string>> *>(context);
        out->emplace_back(priority, std::string(message, length));
        return TRUE;
    };
    ASSERT_NOERROR(StandinMQPeek("b-requests", collect, &peeked));
    const std::vector<std::pair<WORD, std::string>> expected = {
        {1, "urgent"}, {1, std::string("bin\0ary", 7)}, {9, "low"}};
    EXPECT_EQ(peeked, expected);
    EXPECT_EQ(MQGetCount(a), 3) << "peeking takes nothing";

    int calls = 0;
    auto first = [](void *context, WORD, const char *, WORD) -> BOOL {
        ++*static_cast<int *>(context);
        return FALSE;
    };
    ASSERT_NOERROR(StandinMQPeek("b-requests", first, &calls));
    EXPECT_EQ(calls, 1) << "FALSE stops the walk";
    EXPECT_EQ(StandinMQPeek("c-dead", collect, &peeked), ERR_NO_SUCH_MQ);
    EXPECT_EQ(StandinMQPeek(nullptr, collect, &peeked), ERR_MQ_BAD_NAME);
    EXPECT_EQ(StandinMQPeek("b-requests", nullptr, nullptr), ERR_BAD_PARAM);
    MQClose(a, 0);
    MQClose(b, 0);
}

TEST_F(MQTest, InjectedFaultsFailTheCallAndChangeNothing) {
    MQHANDLE h = CreateAndOpen("faults");
    ASSERT_NOERROR(Put(h, "kept"));
    DWORD handles = StandinHandleCount(STANDIN_HANDLE_QUEUE);
    char buffer[16];
    WORD length;
    MQHANDLE opened = NULLHANDLE;
    const std::pair<const char *, std::function<STATUS()>> calls[] = {
        {"MQCreate", [] { return MQCreate("never", 0, 0); }},
        {"MQOpen", [&] { return MQOpen("faults", 0, &opened); }},
        {"MQPut", [&] { return Put(h, "lost"); }},
        {"MQGet", [&] { return MQGet(h, buffer, sizeof buffer, 0, 0, &length); }},
        {"MQPutQuitMsg", [&] { return MQPutQuitMsg(h); }},
        {"MQClose", [&] { return MQClose(h, 0); }},
    };
    for (const auto &call : calls) {
        SCOPED_TRACE(call.first);
        StandinFaultInject({call.first, ERR_MQ_STORE, 0, 1, nullptr});
        EXPECT_EQ(call.second(), ERR_MQ_STORE);
        EXPECT_EQ(StandinFaultHits(call.first), 1u);
        StandinFaultClear();
        EXPECT_EQ(MQGetCount(h), 1);
        EXPECT_FALSE(MQIsQuitPending(h));
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_QUEUE), handles);
    }
    EXPECT_EQ(MQOpen("never", 0, &opened), ERR_NO_SUCH_MQ);
    STATUS status;
    EXPECT_EQ(Get(h, 0, &status), "kept");
    MQClose(h, 0);
}

TEST_F(MQTest, AStopRequestEndsAWaitingGetOfAnAddInTask) {
    if (&AddInTaskStart == nullptr)
        GTEST_SKIP() << "the add-in services are not built in yet";
    ASSERT_NOERROR(MQCreate("MQ$OutOfOffice", 0, 0));
    Pipe waiting, result;
    Child task([&] {
        char name[] = "mqstop";
        char *argv[] = {name, nullptr};
        if (AddInTaskStart(1, argv) != NOERROR)
            return 2;
        MQHANDLE h;
        if (MQOpen("MQ$OutOfOffice", 0, &h) != NOERROR)
            return 3;
        char buffer[512];
        WORD length;
        waiting.Send(1);
        result.Send(MQGet(h, buffer, sizeof buffer, 0, kLongWaitMs, &length));
        // Once stopped, a new wait ends at once.
        Clock::time_point start = Clock::now();
        result.Send(MQGet(h, buffer, sizeof buffer, 0, kLongWaitMs, &length));
        result.Send(static_cast<int>(MsSince(start)));
        return 0;
    });
    ASSERT_EQ(waiting.Receive(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Clock::time_point asked = Clock::now();
    kill(task.pid(), SIGTERM);
    EXPECT_EQ(result.Receive(), ERR_MQ_TIMEOUT);
    EXPECT_LT(MsSince(asked), kPromptMs) << "the stop request ended the wait";
    EXPECT_EQ(result.Receive(), ERR_MQ_TIMEOUT);
    EXPECT_LT(result.Receive(), kPromptMs);
    EXPECT_EQ(task.Wait(), 0);
}

}  // namespace
