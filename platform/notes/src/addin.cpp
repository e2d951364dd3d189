// Add-in task services: the task's registration, status lines, the server
// log, the stop and interval tests.

#include "addin.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "addin_tasks.h"
#include "fault.h"
#include "os_error.h"
#include "os_runtime.h"
#include "os_text.h"
#include "registry.h"
#include "runtime_state.h"
#include "standin/addin.h"

namespace notes_internal {
namespace {

struct StatusLineObject : HandleObject {
    std::string taskName;
    std::string text;
};

struct AddIn {
    std::mutex mutex;
    // Every status line of this process, in the order they were made.
    std::vector<std::pair<HANDLE, std::shared_ptr<StatusLineObject>>> lines;
    HANDLE defaultLine = NULLHANDLE;
    HMODULE defaultModule = nullptr;
    STATUS taskResult = NOERROR;

    // Set between AddInTaskStart and the task's end.
    bool task = false;
    // The process that started the task: a forked child inherits this state
    // but must neither rewrite nor remove the parent's record.
    pid_t owner = 0;
    std::string tasksDir;
    TaskRecord record;
    int lockFd = -1;

    bool signalsInstalled = false;
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
};

AddIn &TheAddIn() {
    static AddIn *addIn = new AddIn;
    return *addIn;
}

// The module handle of the task: the platform hands out an opaque value.
char g_moduleToken;
HMODULE ThisModule() {
    return &g_moduleToken;
}

// The quit request of the administration tool, polled by StopRequested.
std::mutex g_quitMutex;
std::string g_quitPath;
std::atomic<int64_t> g_nextQuitPoll{0};
constexpr int64_t kQuitPollNanos = 50 * 1000 * 1000;

// Timers of the interval test.
struct Timers {
    std::mutex mutex;
    bool haveBase = false;
    std::chrono::steady_clock::time_point base;
    std::map<WORD, std::chrono::steady_clock::time_point> lastTrue;
};
Timers &TheTimers() {
    static Timers *timers = new Timers;
    return *timers;
}
std::atomic<int64_t> g_clockOffsetSeconds{0};

std::chrono::steady_clock::time_point IntervalNow() {
    return std::chrono::steady_clock::now() + std::chrono::seconds(g_clockOffsetSeconds.load());
}

void ResetTimers(bool startNow) {
    Timers &t = TheTimers();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.lastTrue.clear();
    t.haveBase = startNow;
    if (startNow)
        t.base = IntervalNow();
}

std::mutex g_logMutex;

STATUS StatusOfErrno(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ERR_ACCESS_DENIED;
        case ENAMETOOLONG:
            return ERR_PATH_TOO_LONG;
        case ENOMEM:
            return ERR_MEMORY;
        default:
            return ERR_FILE_IO;
    }
}

bool OwnsTask(const AddIn &a) {
    return a.task && a.owner == getpid();
}

// Rewrites the task's record after a status line changed. Status lines are
// shown on a best-effort basis: a failed write keeps the previous record.
bool PublishLocked(AddIn &a) {
    if (!OwnsTask(a))
        return true;
    a.record.lines.clear();
    for (const auto &line : a.lines) {
        a.record.lines.emplace_back(line.second->taskName, line.second->text);
    }
    return WriteTaskRecord(a.tasksDir, a.record);
}

std::shared_ptr<StatusLineObject> FindLineLocked(AddIn &a, HANDLE handle) {
    if (handle == NULLHANDLE)
        return nullptr;
    for (const auto &line : a.lines) {
        if (line.first == handle)
            return line.second;
    }
    return nullptr;
}

HANDLE NewLineLocked(AddIn &a, const std::string &taskName) {
    auto line = std::make_shared<StatusLineObject>();
    line->taskName = taskName;
    HANDLE handle = RegisterHandle(HandleKind::StatusLine, line);
    if (handle != NULLHANDLE)
        a.lines.emplace_back(handle, std::move(line));
    return handle;
}

void ReleaseLinesLocked(AddIn &a) {
    for (const auto &line : a.lines)
        ReleaseHandle(HandleKind::StatusLine, line.first);
    a.lines.clear();
    a.defaultLine = NULLHANDLE;
    a.defaultModule = nullptr;
}

extern "C" void OnStopSignal(int) {
    RequestStop();
}

void InstallSignalsLocked(AddIn &a) {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Restart interrupted system calls: waiting calls notice the stop through
    // StopRequested within their own polling period.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &a.oldInt);
    sigaction(SIGTERM, &action, &a.oldTerm);
    a.signalsInstalled = true;
}

void RestoreSignalsLocked(AddIn &a) {
    if (!a.signalsInstalled)
        return;
    sigaction(SIGINT, &a.oldInt, nullptr);
    sigaction(SIGTERM, &a.oldTerm, nullptr);
    a.signalsInstalled = false;
}

bool PollQuitRequest() {
    int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
    int64_t next = g_nextQuitPoll.load(std::memory_order_relaxed);
    if (now < next)
        return false;
    // One caller per period looks at the file; the others go on at once.
    if (!g_nextQuitPoll.compare_exchange_strong(next, now + kQuitPollNanos))
        return false;
    std::unique_lock<std::mutex> lock(g_quitMutex, std::try_to_lock);
    if (!lock.owns_lock() || g_quitPath.empty())
        return false;
    struct stat st {};
    return stat(g_quitPath.c_str(), &st) == 0;
}

void SetQuitPath(const std::string &path) {
    std::lock_guard<std::mutex> lock(g_quitMutex);
    g_quitPath = path;
    g_nextQuitPoll.store(0);
}

// Ends the task (its record and status lines go away); safe to call when no
// task runs.
void EndTask() {
    AddIn &a = TheAddIn();
    {
        std::lock_guard<std::mutex> lock(a.mutex);
        SetStopPoller(nullptr);
        if (OwnsTask(a)) {
            RemoveTaskFiles(a.tasksDir, a.owner, a.lockFd);
        } else if (a.lockFd >= 0) {
            // Inherited from the parent: closing our copy keeps its lock.
            close(a.lockFd);
        }
        a.lockFd = -1;
        a.task = false;
        a.owner = 0;
        a.record = TaskRecord();
        ReleaseLinesLocked(a);
        RestoreSignalsLocked(a);
    }
    SetQuitPath("");
    ResetTimers(false);
}

void OnRuntimeEnd() {
    EndTask();
    g_clockOffsetSeconds.store(0);
    std::lock_guard<std::mutex> lock(TheAddIn().mutex);
    TheAddIn().taskResult = NOERROR;
}

std::string BaseName(const char *path) {
    std::string name = path;
    while (!name.empty() && name.back() == '/')
        name.pop_back();
    size_t slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// printf into a string of any length.
std::string FormatV(const char *format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0)
        return format;  // a conversion failed: keep the raw text
    if (static_cast<size_t>(length) < sizeof small)
        return std::string(small, length);
    std::string out(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&out[0], out.size(), format, args);
    out.resize(static_cast<size_t>(length));
    return out;
}

// One write for the whole line: with O_APPEND the kernel puts it at the end
// in one piece, so lines of other threads and processes never cut into it.
// A short write (disk full) is finished rather than lost.
void WriteWhole(int fd, const std::string &line) {
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

void AppendToFile(const std::string &path, const std::string &line) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    WriteWhole(fd, line);
    close(fd);
}

}  // namespace
}  // namespace notes_internal

using namespace notes_internal;

// ---------------------------------------------------------------- task entry

STATUS LNPUBLIC AddInTaskStart(int argc, char **argv) {
    if (STATUS fault = FaultCheck("AddInTaskStart"))
        return fault;
    if (!RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    if (argc < 1 || argv == nullptr || argv[0] == nullptr)
        return ERR_BAD_PARAM;
    std::string program = BaseName(argv[0]);
    if (program.empty())
        return ERR_BAD_PARAM;

    AddIn &a = TheAddIn();
    std::unique_lock<std::mutex> lock(a.mutex);
    if (a.task && a.owner == getpid())
        return ERR_ALREADY_INITIALIZED;
    if (a.task) {
        // A forked child of a task becomes a task of its own.
        lock.unlock();
        EndTask();
        lock.lock();
    }
    std::string dir = TasksDirectory();
    if (dir.empty())
        return ERR_NOT_INITIALIZED;
    pid_t pid = getpid();
    // A quit request left for a dead task of the same pid is not for us.
    unlink(TaskFilePath(dir, pid, ".quit").c_str());
    int lockFd = AcquireTaskLock(dir, pid);
    if (lockFd < 0)
        return StatusOfErrno(errno);

    HANDLE line = NewLineLocked(a, program);
    if (line == NULLHANDLE) {
        RemoveTaskFiles(dir, pid, lockFd);
        return ERR_MEMORY;
    }
    a.task = true;
    a.owner = pid;
    a.tasksDir = dir;
    a.record = TaskRecord();
    a.record.program = program;
    a.record.pid = pid;
    a.record.startTime = static_cast<int64_t>(time(nullptr));
    a.lockFd = lockFd;
    HANDLE oldDefault = a.defaultLine;
    HMODULE oldModule = a.defaultModule;
    a.defaultLine = line;
    a.defaultModule = ThisModule();
    a.taskResult = NOERROR;
    if (!PublishLocked(a)) {
        // Undo what this call did; lines made before it stay.
        int error = errno;
        RemoveTaskFiles(dir, pid, lockFd);
        a.task = false;
        a.owner = 0;
        a.lockFd = -1;
        a.record = TaskRecord();
        ReleaseHandle(HandleKind::StatusLine, line);
        a.lines.pop_back();
        a.defaultLine = oldDefault;
        a.defaultModule = oldModule;
        return StatusOfErrno(error);
    }
    InstallSignalsLocked(a);
    lock.unlock();

    SetQuitPath(TaskFilePath(dir, pid, ".quit"));
    SetStopPoller(PollQuitRequest);
    MarkAddInTask();
    ResetTimers(true);
    AtRuntimeEnd(OnRuntimeEnd);
    return NOERROR;
}

void LNPUBLIC AddInTaskModule(HMODULE far *retModule, DWORD, DWORD) {
    if (retModule != nullptr)
        *retModule = ThisModule();
}

STATUS LNPUBLIC AddInTaskResult(STATUS taskStatus) {
    if (STATUS fault = FaultCheck("AddInTaskResult"))
        return fault;
    AddIn &a = TheAddIn();
    std::lock_guard<std::mutex> lock(a.mutex);
    a.taskResult = taskStatus;
    return taskStatus;
}

WORD LNPUBLIC AddInTaskErrorText(STATUS status, char far *retBuffer, WORD BufferLength) {
    return OSLoadString(nullptr, status, retBuffer, BufferLength);
}

void LNPUBLIC AddInTaskEnd(int, char **) {
    EndTask();
}

// -------------------------------------------------------------- status lines

void LNPUBLIC AddInQueryDefaults(HMODULE far *retModule, HANDLE far *retStatusLine) {
    AddIn &a = TheAddIn();
    std::lock_guard<std::mutex> lock(a.mutex);
    if (retModule != nullptr)
        *retModule = a.defaultModule ? a.defaultModule : ThisModule();
    if (retStatusLine != nullptr)
        *retStatusLine = a.defaultLine;
}

HANDLE LNPUBLIC AddInCreateStatusLine(const char far *TaskName) {
    if (!RuntimeStarted())
        return NULLHANDLE;
    AddIn &a = TheAddIn();
    HANDLE handle;
    {
        std::lock_guard<std::mutex> lock(a.mutex);
        handle = NewLineLocked(a, TaskName ? TaskName : "");
        if (handle != NULLHANDLE)
            PublishLocked(a);
    }
    AtRuntimeEnd(OnRuntimeEnd);
    return handle;
}

void LNPUBLIC AddInDeleteStatusLine(HANDLE StatusLine) {
    AddIn &a = TheAddIn();
    std::lock_guard<std::mutex> lock(a.mutex);
    for (auto it = a.lines.begin(); it != a.lines.end(); ++it) {
        if (it->first != StatusLine)
            continue;
        ReleaseHandle(HandleKind::StatusLine, StatusLine);
        a.lines.erase(it);
        if (a.defaultLine == StatusLine)
            a.defaultLine = NULLHANDLE;
        PublishLocked(a);
        return;
    }
}

void LNPUBLIC AddInSetDefaults(HMODULE hModule, HANDLE hStatusLine) {
    AddIn &a = TheAddIn();
    std::lock_guard<std::mutex> lock(a.mutex);
    a.defaultModule = hModule;
    if (hStatusLine == NULLHANDLE || FindLineLocked(a, hStatusLine))
        a.defaultLine = hStatusLine;
}

void LNPUBLIC AddInSetStatusLine(HANDLE StatusLine, const char far *Text) {
    AddIn &a = TheAddIn();
    std::lock_guard<std::mutex> lock(a.mutex);
    std::shared_ptr<StatusLineObject> line = FindLineLocked(a, StatusLine);
    std::string text = Text ? Text : "";
    // Loops set the same text again and again; only a change is written.
    if (!line || line->text == text)
        return;
    line->text = std::move(text);
    PublishLocked(a);
}

void LNPUBLIC AddInSetStatusText(const char far *Text) {
    HANDLE line;
    {
        AddIn &a = TheAddIn();
        std::lock_guard<std::mutex> lock(a.mutex);
        line = a.defaultLine;
    }
    AddInSetStatusLine(line, Text);
}

// ----------------------------------------------------------------------- log

namespace {

// The UTF-8 of an LMBCS log text; plain ASCII, and a text too long for one
// translation, stay as they are.
std::string ConsoleText(const std::string &lmbcs) {
    bool plain = true;
    for (unsigned char c : lmbcs)
        plain = plain && c >= 0x20 && c < 0x80;
    if (plain || lmbcs.size() > 16000)
        return lmbcs;
    std::vector<char> utf8(lmbcs.size() * 3 + 1);
    WORD length =
        OSTranslate(OS_TRANSLATE_LMBCS_TO_UTF8, lmbcs.data(), static_cast<WORD>(lmbcs.size()),
                    utf8.data(), static_cast<WORD>(utf8.size() - 1));
    return std::string(utf8.data(), length);
}

}  // namespace

void LNPUBLIC AddInLogMessageText(const char far *String, STATUS AdditionalErrorCode, ...) {
    std::string message;
    if (String != nullptr) {
        va_list args;
        va_start(args, AdditionalErrorCode);
        message = FormatV(String, args);
        va_end(args);
    }
    // The line end is the log's; a caller's own would leave an empty line.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    if (AdditionalErrorCode != NOERROR) {
        char text[256];
        OSLoadString(nullptr, AdditionalErrorCode, text, sizeof text);
        message += ": ";
        message += text;
    }

    // Callers log LMBCS, as every Notes text is; the console and its file
    // are read as UTF-8 here, as the server's console shows native text.
    message = ConsoleText(message);

    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S   ", &local);
    std::string line = stamp + message + "\n";

    std::string dataDir = DataDirectory();
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (!dataDir.empty())
        AppendToFile(dataDir + "/console.log", line);
    // Standard output gets the line in one write as well (stdio would cut a
    // long line at its buffer size); what the program printed before goes
    // out first.
    flockfile(stdout);
    std::fflush(stdout);
    WriteWhole(STDOUT_FILENO, line);
    funlockfile(stdout);
}

// ----------------------------------------------------- stop and interval tests

BOOL LNPUBLIC AddInShouldStop(void) {
    struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);  // a stop signal cuts the pause short
    return StopRequested() ? TRUE : FALSE;
}

BOOL LNPUBLIC AddInIntervalElapsed(WORD Interval) {
    Timers &t = TheTimers();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto now = IntervalNow();
    if (!t.haveBase) {
        t.base = now;
        t.haveBase = true;
    }
    auto last = t.lastTrue.find(Interval);
    auto since = last == t.lastTrue.end() ? t.base : last->second;
    if (now - since < std::chrono::seconds(Interval))
        return FALSE;
    // Count the next interval from now, so that a late caller is not paid
    // back with a burst of TRUEs.
    t.lastTrue[Interval] = now;
    return TRUE;
}

// ------------------------------------------------------------ administration

STATUS StandinListTasks(STANDINTASKPROC proc, void *context, DWORD *retCount) {
    if (retCount != nullptr)
        *retCount = 0;
    if (!RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    std::string dir = TasksDirectory();
    std::vector<TaskRecord> tasks = ReadLiveTasks(dir);
    for (const TaskRecord &task : tasks) {
        if (proc == nullptr)
            break;
        std::vector<StandinTaskLine> lines;
        for (const auto &line : task.lines) {
            lines.push_back(StandinTaskLine{line.first.c_str(), line.second.c_str()});
        }
        StandinTaskInfo info{};
        info.program = task.program.c_str();
        info.pid = static_cast<DWORD>(task.pid);
        info.startTime = static_cast<DWORDLONG>(task.startTime);
        info.lineCount = static_cast<DWORD>(lines.size());
        info.lines = lines.data();
        proc(context, &info);
    }
    if (retCount != nullptr)
        *retCount = static_cast<DWORD>(tasks.size());
    return NOERROR;
}

STATUS StandinTellTask(const char *TaskName, const char *Command, DWORD *retCount) {
    if (retCount != nullptr)
        *retCount = 0;
    if (!RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    if (TaskName == nullptr || *TaskName == '\0' || Command == nullptr)
        return ERR_BAD_PARAM;
    std::string command = Command;
    size_t first = command.find_first_not_of(" \t");
    size_t last = command.find_last_not_of(" \t");
    command = first == std::string::npos ? "" : command.substr(first, last - first + 1);
    if (strcasecmp(command.c_str(), "quit") != 0)
        return ERR_BAD_PARAM;

    std::string dir = TasksDirectory();
    DWORD told = 0;
    int error = 0;
    for (const TaskRecord &task : ReadLiveTasks(dir)) {
        bool named = strcasecmp(task.program.c_str(), TaskName) == 0;
        for (const auto &line : task.lines) {
            if (strcasecmp(line.first.c_str(), TaskName) == 0)
                named = true;
        }
        if (!named)
            continue;
        std::string path = TaskFilePath(dir, task.pid, ".quit");
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = errno;
            continue;
        }
        ssize_t written = write(fd, "quit\n", 5);
        (void)written;  // the file's presence is the request
        close(fd);
        told++;
    }
    if (retCount != nullptr)
        *retCount = told;
    return told == 0 && error != 0 ? StatusOfErrno(error) : NOERROR;
}

void StandinAddInAdvanceClock(DWORD seconds) {
    g_clockOffsetSeconds.fetch_add(seconds);
}
