#include "os_runtime.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <string>
#include <vector>

#include "fault.h"
#include "ini_file.h"
#include "os_error.h"
#include "runtime_state.h"
#include "standin/runtime.h"

namespace notes_internal {
namespace {

struct Runtime {
    std::mutex mutex;
    bool started = false;
    std::string iniPath;
    std::string dataDir;
    std::vector<void (*)()> endHooks;
    // The argument vector without the runtime's own arguments.
    std::vector<std::string> args;
    std::vector<char *> argv;
};

Runtime &TheRuntime() {
    static Runtime *runtime = new Runtime;
    return *runtime;
}

std::atomic<bool> g_started{false};
std::atomic<bool> g_addInTask{false};
volatile sig_atomic_t g_stopSignal = 0;
std::atomic<bool (*)()> g_stopPoller{nullptr};
std::atomic<int> g_threads{0};

std::string AbsolutePath(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr)
        return resolved;
    return path;
}

std::string FolderOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool IsDirectory(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool RuntimeStarted() {
    return g_started.load();
}

std::string DataDirectory() {
    Runtime &r = TheRuntime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.dataDir;
}

std::string IniPath() {
    Runtime &r = TheRuntime();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.iniPath;
}

std::string ServerStateDirectory() {
    std::string dir = DataDirectory();
    if (dir.empty())
        return dir;
    dir += "/.server";
    mkdir(dir.c_str(), 0755);
    return dir;
}

void AtRuntimeEnd(void (*hook)()) {
    Runtime &r = TheRuntime();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto existing : r.endHooks) {
        if (existing == hook)
            return;
    }
    r.endHooks.push_back(hook);
}

void MarkAddInTask() {
    g_addInTask.store(true);
}
bool IsAddInTask() {
    return g_addInTask.load();
}
void RequestStop() {
    g_stopSignal = 1;
}
void SetStopPoller(bool (*poller)()) {
    g_stopPoller.store(poller);
}

bool StopRequested() {
    if (g_stopSignal)
        return true;
    bool (*poller)() = g_stopPoller.load();
    if (poller != nullptr && poller()) {
        g_stopSignal = 1;
        return true;
    }
    return false;
}

}  // namespace notes_internal

using notes_internal::TheRuntime;

STATUS LNPUBLIC NotesRuntimeStart(int argc, char **argv) {
    // First, so that a rule for this very call fires in a process that
    // starts its runtime once, and a bad rule stops the process at once.
    notes_internal::LoadFaultsFromEnvironment();
    if (STATUS fault = notes_internal::FaultCheck("NotesRuntimeStart"))
        return fault;
    auto &r = TheRuntime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.started)
        return ERR_ALREADY_INITIALIZED;

    std::string ini = "notes.ini";
    r.args.clear();
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; i++) {
        if (i == 1 && argv[i][0] == '=' && argv[i][1] != '\0') {
            ini = argv[i] + 1;
            continue;
        }
        r.args.emplace_back(argv[i]);
    }
    if (!notes_internal::IniReadable(ini))
        return ERR_NOTES_INI;
    ini = notes_internal::AbsolutePath(ini);

    std::string dir = notes_internal::FolderOf(ini);
    if (std::optional<std::string> value = notes_internal::IniGet(ini, "Directory")) {
        if (!value->empty())
            dir = (*value)[0] == '/' ? *value : notes_internal::FolderOf(ini) + "/" + *value;
    }
    if (!notes_internal::IsDirectory(dir))
        return ERR_DATA_DIRECTORY;
    dir = notes_internal::AbsolutePath(dir);

    r.iniPath = ini;
    r.dataDir = dir;
    r.argv.clear();
    for (std::string &arg : r.args)
        r.argv.push_back(&arg[0]);
    r.argv.push_back(nullptr);
    r.started = true;
    notes_internal::g_started.store(true);
    return NOERROR;
}

WORD LNPUBLIC NotesStartupErrorText(STATUS status, char far *retBuffer, WORD BufferLength) {
    return OSLoadString(nullptr, status, retBuffer, BufferLength);
}

STATUS LNPUBLIC NotesRuntimeArgs(int argc, char **argv, int far *retArgc, char ***retArgv) {
    if (STATUS fault = notes_internal::FaultCheck("NotesRuntimeArgs"))
        return fault;
    auto &r = TheRuntime();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.started)
        return ERR_NOT_INITIALIZED;
    if (retArgc == nullptr || retArgv == nullptr)
        return ERR_BAD_PARAM;
    (void)argc;
    (void)argv;
    *retArgc = static_cast<int>(r.argv.size() - 1);
    *retArgv = r.argv.data();
    return NOERROR;
}

int LNPUBLIC NotesProcessGate(NOTESENTRYPROC, int, char **, void *, void *) {
    return notes_internal::FaultCheck("NotesProcessGate");
}

void LNPUBLIC NotesRuntimeEnd(void) {
    auto &r = TheRuntime();
    std::vector<void (*)()> hooks;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        if (!r.started)
            return;
        hooks = r.endHooks;
    }
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it)
        (*it)();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.started = false;
    notes_internal::g_started.store(false);
    notes_internal::g_stopSignal = 0;
    notes_internal::g_addInTask.store(false);
    notes_internal::g_stopPoller.store(nullptr);
    r.iniPath.clear();
    r.dataDir.clear();
}

STATUS LNPUBLIC NotesInitThread(void) {
    if (STATUS fault = notes_internal::FaultCheck("NotesInitThread"))
        return fault;
    if (!notes_internal::RuntimeStarted())
        return ERR_NOT_INITIALIZED;
    notes_internal::g_threads++;
    return NOERROR;
}

void LNPUBLIC NotesTermThread(void) {
    int threads = notes_internal::g_threads.load();
    while (threads > 0 && !notes_internal::g_threads.compare_exchange_weak(threads, threads - 1)) {
    }
}

DWORD StandinThreadCount(void) {
    return static_cast<DWORD>(notes_internal::g_threads.load());
}

BOOL StandinDataDirectory(char *retBuffer, WORD BufferLength) {
    if (retBuffer == nullptr || BufferLength == 0)
        return FALSE;
    std::string dir = notes_internal::DataDirectory();
    size_t length = dir.size() < BufferLength - 1u ? dir.size() : BufferLength - 1u;
    dir.copy(retBuffer, length);
    retBuffer[length] = '\0';
    return dir.empty() ? FALSE : TRUE;
}

WORD OSGetDataDirectory(char *retPathName) {
    if (retPathName == nullptr)
        return 0;
    retPathName[0] = '\0';
    if (notes_internal::FaultCheck("OSGetDataDirectory"))
        return 0;
    std::string dir = notes_internal::DataDirectory();
    if (dir.empty() || dir.size() > MAXPATH - 1u)
        return 0;
    dir.copy(retPathName, dir.size());
    retPathName[dir.size()] = '\0';
    return static_cast<WORD>(dir.size());
}
