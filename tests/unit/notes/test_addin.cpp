#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "addin.h"
#include "os_error.h"
#include "os_mem.h"
#include "os_runtime.h"
#include "standin/addin.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace {

using test_support::ReadFile;
using test_support::WriteFile;
using Clock = std::chrono::steady_clock;

struct Task {
    std::string program;
    DWORD pid = 0;
    DWORDLONG startTime = 0;
    std::vector<std::pair<std::string, std::string>> lines;
};

void Collect(void *context, const StandinTaskInfo *info) {
    Task task;
    task.program = info->program;
    task.pid = info->pid;
    task.startTime = info->startTime;
    for (DWORD i = 0; i < info->lineCount; i++)
        task.lines.emplace_back(info->lines[i].taskName, info->lines[i].text);
    static_cast<std::vector<Task> *>(context)->push_back(task);
}

std::vector<Task> ListTasks() {
    std::vector<Task> tasks;
    DWORD count = 0;
    EXPECT_NOERROR(StandinListTasks(Collect, &tasks, &count));
    EXPECT_EQ(count, tasks.size());
    return tasks;
}

// "program[pid] name=text|name=text", one task a line; text escapes shown.
std::string Describe(const std::vector<Task> &tasks) {
    std::ostringstream out;
    for (const Task &task : tasks) {
        out << task.program << "[" << task.pid << "]";
        for (const auto &line : task.lines)
            out << " " << line.first << "=" << line.second << "|";
        out << "\n";
    }
    return out.str();
}

std::string Self(const std::string &program) {
    return program + "[" + std::to_string(getpid()) + "]";
}

// Runs body in a forked child and gives back what it returned. The child
// never returns into the test framework.
std::string InChild(const std::function<std::string()> &body, pid_t *childPid = nullptr) {
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string result = body();
        size_t done = 0;
        while (done < result.size()) {
            ssize_t n = write(fds[1], result.data() + done, result.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    if (childPid)
        *childPid = pid;
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        out += "<child failed>";
    return out;
}

class AddInTest : public test_support::DataDirTest {
  protected:
    STATUS StartTask(const char *program) {
        program_ = program;
        argv_[0] = &program_[0];
        argv_[1] = nullptr;
        return AddInTaskStart(1, argv_);
    }

    // In a child: the runtime of another process on the same data directory.
    STATUS RestartRuntime() {
        NotesRuntimeEnd();
        std::string arg = "=" + iniPath();
        char program[] = "notesctl";
        char *argv[] = {program, &arg[0], nullptr};
        return NotesRuntimeStart(2, argv);
    }

    std::string tasksDir() const { return dataDir() + "/.server/tasks"; }

    // Files of the task table that belong to the given pid.
    std::vector<std::string> TaskFiles(pid_t pid) const {
        std::vector<std::string> files;
        std::string prefix = std::to_string(pid) + ".";
        for (const char *suffix : {"lock", "task", "task.tmp", "quit"}) {
            if (test_support::FileExists(tasksDir() + "/" + prefix + suffix))
                files.push_back(prefix + suffix);
        }
        return files;
    }

    // Calls the stop test until it says TRUE or the bound passes. The bound
    // only keeps a broken stop from hanging the test; a busy machine may
    // take its time.
    static constexpr std::chrono::seconds kStopBound{60};
    static bool StopsWithin(std::chrono::milliseconds bound) {
        auto end = Clock::now() + bound;
        while (Clock::now() < end) {
            if (AddInShouldStop())
                return true;
        }
        return false;
    }

  private:
    std::string program_;
    char *argv_[2] = {};
};

// -------------------------------------------------------------- status lines

TEST_F(AddInTest, StatusLinesOfTheTaskAreListed) {
    ASSERT_NOERROR(StartTask("/opt/vanterra/bin/Vanterra"));
    EXPECT_EQ(Describe(ListTasks()), Self("Vanterra") + " Vanterra=|\n");

    // The task's own start-up sequence.
    HMODULE module = nullptr;
    HANDLE defaultLine = NULLHANDLE;
    AddInQueryDefaults(&module, &defaultLine);
    EXPECT_NE(module, nullptr);
    ASSERT_NE(defaultLine, NULLHANDLE);
    HMODULE taskModule = nullptr;
    AddInTaskModule(&taskModule, 0, 0);
    EXPECT_EQ(taskModule, module);
    AddInDeleteStatusLine(defaultLine);
    HANDLE line = AddInCreateStatusLine("Halcyra");
    ASSERT_NE(line, NULLHANDLE);
    AddInSetDefaults(module, line);
    AddInSetStatusText("Idle");
    HANDLE worker = AddInCreateStatusLine("Worker 1");
    AddInSetStatusLine(worker, "tab\there, new\nline, back\\slash");

    std::vector<Task> tasks = ListTasks();
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_EQ(tasks[0].program, "Vanterra");
    EXPECT_EQ(tasks[0].pid, static_cast<DWORD>(getpid()));
    DWORDLONG now = static_cast<DWORDLONG>(time(nullptr));
    EXPECT_LE(tasks[0].startTime, now);
    EXPECT_GE(tasks[0].startTime + 600, now);
    std::vector<std::pair<std::string, std::string>> expected = {
        {"Halcyra", "Idle"}, {"Worker 1", "tab\there, new\nline, back\\slash"}};
    EXPECT_EQ(tasks[0].lines, expected);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_STATUSLINE), 2u);

    AddInDeleteStatusLine(worker);
    AddInSetStatusText("Busy");
    EXPECT_EQ(Describe(ListTasks()), Self("Vanterra") + " Halcyra=Busy|\n");

    AddInTaskEnd(0, nullptr);
    EXPECT_EQ(ListTasks().size(), 0u);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_STATUSLINE), 0u);
    EXPECT_EQ(TaskFiles(getpid()), std::vector<std::string>{});
}

TEST_F(AddInTest, AnotherProcessSeesTheStatusLines) {
    ASSERT_NOERROR(StartTask("vanterra"));
    HANDLE line = AddInCreateStatusLine("Halcyra");
    AddInSetStatusLine(line, "Idle");
    std::string expected = Self("vanterra") + " vanterra=| Halcyra=Idle|\n";

    std::string seen = InChild([&] {
        // Ending the inherited runtime must not end the parent's task.
        STATUS status = RestartRuntime();
        if (status != NOERROR)
            return "restart failed: " + test_support::StatusText(status);
        return Describe(ListTasks());
    });
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(Describe(ListTasks()), expected) << "the child removed the parent's record";

    AddInSetStatusLine(line, "Busy");
    seen = InChild([&] { return Describe(ListTasks()); });
    EXPECT_EQ(seen, Self("vanterra") + " vanterra=| Halcyra=Busy|\n");
}

TEST_F(AddInTest, LinesWithoutATaskAreKeptButNotListed) {
    HANDLE early = AddInCreateStatusLine("Early");
    ASSERT_NE(early, NULLHANDLE);
    AddInSetStatusLine(early, "made before the task");
    EXPECT_EQ(ListTasks().size(), 0u);
    ASSERT_NOERROR(StartTask("vanterra"));
    EXPECT_EQ(Describe(ListTasks()),
              Self("vanterra") + " Early=made before the task| vanterra=|\n");
}

TEST_F(AddInTest, BadStatusLineHandlesAreIgnored) {
    ASSERT_NOERROR(StartTask("vanterra"));
    HANDLE line = AddInCreateStatusLine(nullptr);
    ASSERT_NE(line, NULLHANDLE);
    AddInSetStatusLine(line, nullptr);
    HMODULE module = nullptr;
    HANDLE defaultLine = NULLHANDLE;
    AddInQueryDefaults(&module, &defaultLine);

    DHANDLE memory = NULLHANDLE;
    ASSERT_NOERROR(OSMemAlloc(0, 16, &memory));
    for (HANDLE bad : {static_cast<HANDLE>(NULLHANDLE), static_cast<HANDLE>(memory),
                       static_cast<HANDLE>(0x7FFFFFF0)}) {
        AddInSetStatusLine(bad, "x");
        AddInDeleteStatusLine(bad);
        AddInSetDefaults(module, bad == NULLHANDLE ? defaultLine : bad);
    }
    HANDLE stillDefault = NULLHANDLE;
    AddInQueryDefaults(nullptr, &stillDefault);
    EXPECT_EQ(stillDefault, defaultLine);
    DWORD size = 0;
    EXPECT_EQ(OSMemGetSize(memory, &size), NOERROR) << "a status line call freed a memory handle";
    EXPECT_NOERROR(OSMemFree(memory));

    AddInDeleteStatusLine(line);
    AddInDeleteStatusLine(line);
    EXPECT_EQ(Describe(ListTasks()), Self("vanterra") + " vanterra=|\n");
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_STATUSLINE), 1u);
}

// --------------------------------------------------------- task entry and end

TEST(AddInWithoutRuntime, CallsRefuseOrDoNothing) {
    char program[] = "vanterra";
    char *argv[] = {program, nullptr};
    EXPECT_EQ(AddInTaskStart(1, argv), ERR_NOT_INITIALIZED);
    EXPECT_EQ(AddInCreateStatusLine("Halcyra"), NULLHANDLE);
    DWORD count = 7;
    EXPECT_EQ(StandinListTasks(nullptr, nullptr, &count), ERR_NOT_INITIALIZED);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(StandinTellTask("vanterra", "quit", &count), ERR_NOT_INITIALIZED);
    AddInTaskEnd(1, argv);  // nothing to end
}

TEST_F(AddInTest, TaskStartFailures) {
    char *noName[] = {nullptr};
    EXPECT_EQ(AddInTaskStart(0, noName), ERR_BAD_PARAM);
    EXPECT_EQ(AddInTaskStart(1, noName), ERR_BAD_PARAM);
    EXPECT_EQ(StartTask(""), ERR_BAD_PARAM);
    EXPECT_EQ(StartTask("/"), ERR_BAD_PARAM);

    StandinFaultInject({"AddInTaskStart", ERR_FAULT_INJECTED, 0, 1, nullptr});
    EXPECT_EQ(StartTask("vanterra"), ERR_FAULT_INJECTED);

    // The task table cannot be made: a file stands where its folder goes.
    mkdir((dataDir() + "/.server").c_str(), 0755);
    WriteFile(tasksDir(), "not a folder");
    struct sigaction before {};
    sigaction(SIGTERM, nullptr, &before);
    EXPECT_EQ(StartTask("vanterra"), ERR_FILE_IO);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_STATUSLINE), 0u);
    struct sigaction after {};
    sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    EXPECT_EQ(ListTasks().size(), 0u);

    ASSERT_EQ(unlink(tasksDir().c_str()), 0);
    EXPECT_NOERROR(StartTask("vanterra"));
    EXPECT_EQ(StartTask("vanterra"), ERR_ALREADY_INITIALIZED);
    EXPECT_EQ(ListTasks().size(), 1u);
}

TEST_F(AddInTest, ResultAndErrorText) {
    EXPECT_EQ(AddInTaskResult(NOERROR), NOERROR);
    EXPECT_EQ(AddInTaskResult(ERR_NOEXIST | STS_DISPLAYED), ERR_NOEXIST | STS_DISPLAYED);
    char text[255];
    AddInTaskErrorText(ERR_NOEXIST, text, sizeof text);
    EXPECT_STREQ(text, "File does not exist");
    StandinFaultInject({"AddInTaskResult", ERR_FAULT_INJECTED, 0, 1, nullptr});
    EXPECT_EQ(AddInTaskResult(NOERROR), ERR_FAULT_INJECTED);
}

TEST_F(AddInTest, RuntimeEndEndsTheTaskAndTheRuntimeCanStartAgain) {
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        struct sigaction before {};
        sigaction(SIGTERM, nullptr, &before);
        ASSERT_NOERROR(StartTask("vanterra"));
        AddInCreateStatusLine("Halcyra");
        EXPECT_EQ(ListTasks().size(), 1u);
        EXPECT_FALSE(AddInShouldStop());

        NotesRuntimeEnd();  // without AddInTaskEnd
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_STATUSLINE), 0u);
        EXPECT_EQ(TaskFiles(getpid()), std::vector<std::string>{});
        struct sigaction after {};
        sigaction(SIGTERM, nullptr, &after);
        EXPECT_EQ(after.sa_handler, before.sa_handler);
        ASSERT_NOERROR(RestartRuntime());
        EXPECT_EQ(ListTasks().size(), 0u);
    }
}

// ----------------------------------------------------------------- stop test

class AddInSignalTest : public AddInTest, public ::testing::WithParamInterface<int> {};

TEST_P(AddInSignalTest, SignalMakesTheStopTestTrue) {
    int signal = GetParam();
    struct sigaction before {};
    sigaction(signal, nullptr, &before);
    ASSERT_NOERROR(StartTask("vanterra"));
    EXPECT_FALSE(AddInShouldStop());
    ASSERT_EQ(kill(getpid(), signal), 0);
    EXPECT_TRUE(StopsWithin(kStopBound));
    EXPECT_TRUE(AddInShouldStop()) << "the stop must stay requested";

    AddInTaskEnd(0, nullptr);
    struct sigaction after {};
    sigaction(signal, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

INSTANTIATE_TEST_SUITE_P(Signals, AddInSignalTest, ::testing::Values(SIGINT, SIGTERM));

TEST_F(AddInTest, QuitToldByAnotherProcessStopsEveryWaitingThread) {
    ASSERT_NOERROR(StartTask("/usr/local/bin/Vanterra"));
    AddInCreateStatusLine("Halcyra");
    EXPECT_FALSE(AddInShouldStop());

    std::atomic<int> stopped{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.emplace_back([&] {
            if (StopsWithin(kStopBound))
                stopped++;
        });
    }
    std::string told = InChild([&] {
        if (RestartRuntime() != NOERROR)
            return std::string("restart failed");
        DWORD count = 99;
        STATUS status = StandinTellTask("vanterra", "quit", &count);
        return std::to_string(status) + "/" + std::to_string(count);
    });
    EXPECT_EQ(told, "0/1");
    EXPECT_TRUE(StopsWithin(kStopBound));
    for (std::thread &t : waiters)
        t.join();
    EXPECT_EQ(stopped.load(), 3);
}

TEST_F(AddInTest, TellFindsTasksByProgramOrStatusLineName) {
    ASSERT_NOERROR(StartTask("/usr/local/bin/Vanterra"));
    AddInCreateStatusLine("Halcyra");

    struct Case {
        const char *name;
        const char *command;
        STATUS status;
        DWORD count;
    } cases[] = {
        {"Halcy", "quit", NOERROR, 0},  // no prefix matches
        {"other", "quit", NOERROR, 0},  // no such task: not an error
        {"vanterra", "", ERR_BAD_PARAM, 0},      {"vanterra", "restart", ERR_BAD_PARAM, 0},
        {"vanterra", nullptr, ERR_BAD_PARAM, 0}, {"", "quit", ERR_BAD_PARAM, 0},
        {nullptr, "quit", ERR_BAD_PARAM, 0},
    };
    for (const Case &c : cases) {
        DWORD count = 99;
        EXPECT_EQ(StandinTellTask(c.name, c.command, &count), c.status)
            << (c.name ? c.name : "null") << " " << (c.command ? c.command : "null");
        EXPECT_EQ(count, c.count);
    }
    // No quit reached the task: it stays running past several poll periods.
    for (int i = 0; i < 10; i++)
        ASSERT_FALSE(AddInShouldStop());

    for (const char *name : {"VANTERRA", "halcyra"}) {
        DWORD count = 0;
        EXPECT_NOERROR(StandinTellTask(name, "  Quit ", &count));
        EXPECT_EQ(count, 1u) << name;
    }
    EXPECT_TRUE(StopsWithin(kStopBound));
}

TEST_F(AddInTest, KilledTaskIsNotListedAndItsFilesGo) {
    pid_t child = 0;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    fflush(stdout);
    child = fork();
    if (child == 0) {
        close(ready[0]);
        char program[] = "/bin/doomed";
        char *argv[] = {program, nullptr};
        STATUS status = AddInTaskStart(1, argv);
        AddInSetStatusText("about to die");
        char answer = status == NOERROR ? 'y' : 'n';
        if (write(ready[1], &answer, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    ASSERT_EQ(answer, 'y');

    std::string expected = "doomed[" + std::to_string(child) + "] doomed=about to die|\n";
    EXPECT_EQ(Describe(ListTasks()), expected);
    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);

    EXPECT_EQ(ListTasks().size(), 0u);
    EXPECT_EQ(TaskFiles(child), std::vector<std::string>{});
    DWORD count = 99;
    EXPECT_NOERROR(StandinTellTask("doomed", "quit", &count));
    EXPECT_EQ(count, 0u);
}

TEST_F(AddInTest, ForeignFilesInTheTaskTableAreIgnored) {
    ASSERT_NOERROR(StartTask("vanterra"));
    // Records without a held lock, a garbled record under a live lock, names
    // that are no pid.
    WriteFile(tasksDir() + "/77.task", "program=ghost\npid=77\n");
    WriteFile(tasksDir() + "/78.task", "program=ghost\npid=78\n");
    WriteFile(tasksDir() + "/78.lock", "");
    WriteFile(tasksDir() + "/notapid.task", "program=x\npid=1\n");
    WriteFile(tasksDir() + "/.task", "");
    WriteFile(tasksDir() + "/README", "hello");
    EXPECT_EQ(Describe(ListTasks()), Self("vanterra") + " vanterra=|\n");
    EXPECT_EQ(TaskFiles(78), std::vector<std::string>{}) << "a dead task's files were kept";

    // Our own record garbled (as by a full disk): skipped, never a crash.
    WriteFile(tasksDir() + "/" + std::to_string(getpid()) + ".task", "\x01\x02garbage=\n=");
    EXPECT_EQ(ListTasks().size(), 0u);
    AddInSetStatusText("rewritten");
    EXPECT_EQ(Describe(ListTasks()), Self("vanterra") + " vanterra=rewritten|\n");
}

// ------------------------------------------------------------- interval test

TEST_F(AddInTest, IntervalTimersAreKeptPerValue) {
    ASSERT_NOERROR(StartTask("vanterra"));
    struct Step {
        DWORD advance;  // seconds the clock moves before the call
        WORD interval;
        BOOL expected;
    } steps[] = {
        {0, 1, FALSE},   {0, 60, FALSE}, {0, 0, TRUE},    // 0 is always due
        {1, 1, TRUE},    {0, 1, FALSE},  {0, 2, FALSE},   // t=1
        {1, 2, TRUE},    {0, 1, TRUE},   {0, 60, FALSE},  // t=2
        {58, 60, TRUE},  {0, 60, FALSE},                  // t=60: counted from the start
        {5, 1, TRUE},    {0, 1, FALSE},                   // t=65: late, but one TRUE only
        {0, 30, TRUE},                                    // first call of 30: since the start
        {29, 30, FALSE}, {1, 30, TRUE},                   // t=95: from its last TRUE
    };
    int t = 0;
    for (const Step &step : steps) {
        StandinAddInAdvanceClock(step.advance);
        t += step.advance;
        EXPECT_EQ(AddInIntervalElapsed(step.interval), step.expected)
            << "interval " << step.interval << " at t=" << t;
    }
}

TEST_F(AddInTest, IntervalFollowsTheRealClock) {
    auto before = Clock::now();
    ASSERT_NOERROR(StartTask("vanterra"));
    bool elapsed = false;
    while (!elapsed && Clock::now() - before < std::chrono::seconds(60)) {
        elapsed = AddInIntervalElapsed(1) != FALSE;
        if (!elapsed)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(elapsed);
    EXPECT_GE(Clock::now() - before, std::chrono::seconds(1));
}

// ----------------------------------------------------------------------- log

// Sends standard output to a file for the life of the object.
class StdoutToFile {
  public:
    explicit StdoutToFile(const std::string &path) {
        fflush(stdout);
        saved_ = dup(1);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutToFile() {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

  private:
    int saved_;
};

// Splits a log line into its time stamp and message; false when the line
// does not start with "YYYY-MM-DD HH:MM:SS   ".
bool SplitLogLine(const std::string &line, std::string *stamp, std::string *message) {
    // 'd' stands for a digit; every other character must match as it is.
    static const char format[] = "dddd-dd-dd dd:dd:dd   ";
    constexpr size_t kPrefix = sizeof format - 1;
    if (line.size() < kPrefix)
        return false;
    for (size_t i = 0; i < kPrefix; i++) {
        bool ok = format[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == format[i];
        if (!ok)
            return false;
    }
    *stamp = line.substr(0, 19);
    *message = line.substr(kPrefix);
    return true;
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start) + "<no line end>");
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST_F(AddInTest, LogLinesOnTheConsoleAndInConsoleLog) {
    std::string longText(100000, 'x');
    struct Case {
        std::function<void()> log;
        std::string message;
    } cases[] = {
        {[] { AddInLogMessageText("Halcyra: Initializing", NOERROR); }, "Halcyra: Initializing"},
        {[] { AddInLogMessageText("Halcyra: %s has %d entries", 0, "HCR.nsf", 42); },
         "Halcyra: HCR.nsf has 42 entries"},
        {[] { AddInLogMessageText("Halcyra: cannot open %s", ERR_NOEXIST, "x.nsf"); },
         "Halcyra: cannot open x.nsf: File does not exist"},
        {[] { AddInLogMessageText("Halcyra: remote", ERR_NOEXIST | STS_REMOTE); },
         "Halcyra: remote: File does not exist"},
        {[] { AddInLogMessageText("Halcyra: odd", 0x3FF0); }, "Halcyra: odd: Unknown error 0x3FF0"},
        {[] { AddInLogMessageText("Halcyra: done\r\n", NOERROR); }, "Halcyra: done"},
        {[] { AddInLogMessageText(nullptr, ERR_NOEXIST); }, ": File does not exist"},
        // LMBCS in, as every Notes text; the console shows it as UTF-8.
        {[] { AddInLogMessageText("Halcyra: [%s] read", 0, "J\x81rgen Wei\xE1/Acme"); },
         "Halcyra: [J\u00fcrgen Wei\u00df/Acme] read"},
        {[&] { AddInLogMessageText("Halcyra: %s!", 0, longText.c_str()); },
         "Halcyra: " + longText + "!"},
    };

    time_t first = time(nullptr);
    {
        StdoutToFile capture(dataFile("stdout.txt"));
        for (const Case &c : cases)
            c.log();
    }
    time_t last = time(nullptr);

    for (const char *file : {"stdout.txt", "console.log"}) {
        SCOPED_TRACE(file);
        std::vector<std::string> lines = SplitLines(ReadFile(dataFile(file)));
        ASSERT_EQ(lines.size(), std::size(cases));
        for (size_t i = 0; i < lines.size(); i++) {
            std::string stampText, message;
            ASSERT_TRUE(SplitLogLine(lines[i], &stampText, &message)) << lines[i].substr(0, 100);
            EXPECT_EQ(message, cases[i].message) << "case " << i;
            struct tm stamp {};
            ASSERT_NE(strptime(stampText.c_str(), "%Y-%m-%d %H:%M:%S", &stamp), nullptr);
            stamp.tm_isdst = -1;
            time_t when = mktime(&stamp);
            EXPECT_GE(when, first - 1);
            EXPECT_LE(when, last + 1);
        }
    }
}

TEST_F(AddInTest, ConcurrentLogLinesStayWhole) {
    constexpr int kThreads = 8;
    constexpr int kLines = 150;
    // Lines longer than a pipe's atomic write and of many lengths, so that
    // a line written in pieces would show.
    auto body = [](int writer, int n) {
        return std::string(static_cast<size_t>(100 + (writer * 977 + n * 131) % 9000),
                           static_cast<char>('a' + writer));
    };
    auto logAll = [&](int writer) {
        for (int n = 0; n < kLines; n++)
            AddInLogMessageText("W%d #%d %s", 0, writer, n, body(writer, n).c_str());
    };
    {
        StdoutToFile capture(dataFile("stdout.txt"));
        // One writer is another process, the others are threads.
        fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            logAll(kThreads);
            fflush(stdout);
            _exit(0);
        }
        std::vector<std::thread> threads;
        for (int w = 0; w < kThreads; w++)
            threads.emplace_back(logAll, w);
        for (std::thread &t : threads)
            t.join();
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (const char *file : {"stdout.txt", "console.log"}) {
        SCOPED_TRACE(file);
        std::vector<std::string> lines = SplitLines(ReadFile(dataFile(file)));
        ASSERT_EQ(lines.size(), static_cast<size_t>((kThreads + 1) * kLines));
        std::vector<std::vector<int>> seen(kThreads + 1, std::vector<int>(kLines, 0));
        for (const std::string &line : lines) {
            std::string stamp, message;
            ASSERT_TRUE(SplitLogLine(line, &stamp, &message)) << line.substr(0, 80);
            int writer = -1, n = -1, used = 0;
            ASSERT_EQ(sscanf(message.c_str(), "W%d #%d %n", &writer, &n, &used), 2)
                << message.substr(0, 80);
            ASSERT_TRUE(writer >= 0 && writer <= kThreads && n >= 0 && n < kLines) << message;
            std::string text = message.substr(used);
            EXPECT_TRUE(text == body(writer, n))
                << "line " << writer << "#" << n << " is cut or mixed: " << text.size()
                << " bytes, starts " << text.substr(0, 40) << ", ends "
                << text.substr(text.size() > 40 ? text.size() - 40 : 0);
            seen[writer][n]++;
        }
        for (int w = 0; w <= kThreads; w++) {
            for (int n = 0; n < kLines; n++)
                EXPECT_EQ(seen[w][n], 1) << w << "#" << n;
        }
    }
}

}  // namespace
