// bitprobe run as a program: it reports a 64-bit installation (the stand-in
// library) by exit code 1, an empty "nd64" beside itself and a 2 s pause;
// everything else exits 0 at once and writes nothing. Every run has a
// library preloaded that records each pause, so that a run without one is
// told from a run with one without timing it.
//
// The probe runs natively where the kernel takes i386 programs. Where it
// refuses them (ENOEXEC: a 64-bit kernel built or booted without 32-bit
// support), it runs under qemu-i386, the user-mode emulator of Debian's
// qemu-user, which executes the same 32-bit program, its 32-bit loader and
// libraries included.
#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

extern char **environ;

namespace {

using std::chrono::milliseconds;
using test_support::FileExists;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

const std::string kProbe = BITPROBE_PATH;
const std::string kWide = NNOTES64_DIR;    // holds the 64-bit stand-in libnnotes.so
const std::string kNarrow = NNOTES32_DIR;  // holds a tiny 32-bit libnnotes.so
const std::string kSleepTrace = SLEEP_TRACE_LIBRARY;
const milliseconds kPause(1900);  // the 2000 ms pause, less some slack
#ifdef BITPROBE_SANITIZED
const bool kSanitized = true;  // the probe carries ASan and UBSan
#else
const bool kSanitized = false;
#endif

struct ProbeRun {
    int exitCode = -1;
    milliseconds elapsed{0};
    bool paused = false;  // the preloaded library saw a pause
};

std::string EntryName(const std::string &entry) {
    return entry.substr(0, entry.find('='));
}

// The value of the entry named name in env, else of the inherited variable.
std::string EnvValue(const std::vector<std::string> &env, const std::string &name) {
    for (const auto &e : env) {
        if (EntryName(e) == name && e.size() > name.size()) {
            return e.substr(name.size() + 1);
        }
    }
    const char *inherited = getenv(name.c_str());
    return inherited != nullptr ? inherited : "";
}

// Puts entry into env in place of one of the same name.
void SetEntry(std::vector<std::string> &env, const std::string &entry) {
    for (auto &e : env) {
        if (EntryName(e) == EntryName(entry)) {
            e = entry;
            return;
        }
    }
    env.push_back(entry);
}

// An ASAN_OPTIONS entry: the one in env, else the inherited one, with option
// added last (the last of a name wins).
std::string AsanOptionsWith(const std::vector<std::string> &env, const std::string &option) {
    const std::string options = EnvValue(env, "ASAN_OPTIONS");
    return "ASAN_OPTIONS=" + options + (options.empty() ? "" : ":") + option;
}

// The environment entries that have a 32-bit program record its pauses in
// the file trace: the preloaded library and, under the sanitizers, leave to
// load it before their runtime.
std::vector<std::string> PauseTraceEnv(const std::string &trace, bool preload = true) {
    std::vector<std::string> env = {"VANTERRA_SLEEP_TRACE=" + trace,
                                    AsanOptionsWith({}, "verify_asan_link_order=0")};
    if (preload) {
        env.push_back("LD_PRELOAD=" + kSleepTrace);
    }
    return env;
}

// The first executable file named name in the folders of path, as a shell
// finds a command (an empty folder is the current one); "" when none is.
std::string FindOnPath(const std::string &name, const std::string &path) {
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find(':', begin);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string folder = end > begin ? path.substr(begin, end - begin) : ".";
        const std::string file = folder + "/" + name;
        struct stat st;
        if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(file.c_str(), X_OK) == 0) {
            return file;
        }
        begin = end + 1;
    }
    return "";
}

// A program to start: its file, its argument vector (argv[0] included) and
// the entries to add to the test's environment (each replaces an inherited
// one of the same name).
struct Command {
    std::string program;
    std::vector<std::string> args;
    std::vector<std::string> env;
};

// Starts the command in the folder cwd, its standard error going to the
// file errors when one is named. Returns posix_spawn's error, 0 when the
// process started.
int Start(const Command &command, const std::string &cwd, pid_t *pid,
          const std::string &errors = "") {
    std::vector<char *> argv;
    for (const auto &a : command.args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStore(command.env);
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto &x : command.env) {
            replaced = replaced || EntryName(x) == EntryName(entry);
        }
        if (!replaced) {
            envStore.push_back(entry);
        }
    }
    std::vector<char *> envp;
    for (auto &e : envStore) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!errors.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    int rc = posix_spawn(pid, command.program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string Describe(int status) {
    if (WIFEXITED(status)) {
        return "exit code " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("signal ") + strsignal(WTERMSIG(status));
    }
    return "status " + std::to_string(status);
}

// How this machine runs the 32-bit probe, decided once per test process.
class Runner {
  public:
    static const Runner &Get() {
        static const Runner runner = Decide();
        return runner;
    }

    // Why 32-bit programs cannot run here; "" when they can.
    const std::string &failure() const { return failure_; }
    bool emulated() const { return !qemu_.empty(); }

    // The command that runs the 32-bit program with these arguments (argv[0]
    // included) and these entries in its environment.
    Command For(const std::string &program, const std::vector<std::string> &args,
                const std::vector<std::string> &env) const {
        if (!emulated()) {
            return {program, args, env};
        }
        // qemu-i386 is a 64-bit program: entries for the 32-bit program (the
        // 32-bit LD_PRELOAD above all, which the host's loader would refuse)
        // go to the guest alone through -E; qemu hands the guest its own
        // environment besides. A sanitizer runtime, though, reads its
        // options from /proc/self/environ, and qemu-user leaves that file
        // alone: it shows qemu's environment. Sanitizer options therefore go
        // into qemu's own environment, where the unsanitized qemu ignores
        // them.
        Command command{qemu_, {qemu_, "-0", args.at(0)}, {}};
        for (const auto &e : env) {
            const std::string name = EntryName(e);
            if (name.size() > 11 && name.compare(name.size() - 11, 11, "SAN_OPTIONS") == 0) {
                command.env.push_back(e);
            } else {
                // -E splits its argument at commas, into several entries.
                EXPECT_EQ(e.find(','), std::string::npos)
                    << "qemu-i386 -E cannot pass an entry with a comma: " << e;
                command.args.insert(command.args.end(), {"-E", e});
            }
        }
        if (kSanitized) {
            // The leak check at exit stops the process's threads from a
            // helper task that shares their memory without being a thread
            // (clone with CLONE_VM, without CLONE_THREAD). qemu-user refuses
            // that clone with EINVAL and the sanitizer waits for its helper
            // forever, so under qemu the probe runs with every sanitizer
            // check but that one. SanitizedBitprobeTest shows the hang.
            SetEntry(command.env, AsanOptionsWith(command.env, "detect_leaks=0"));
        }
        command.args.push_back(program);
        command.args.insert(command.args.end(), args.begin() + 1, args.end());
        return command;
    }

  private:
    // Native execution first; qemu-i386 only where the kernel refuses the
    // probe's format. The probe without an argument exits 0 at once.
    static Runner Decide() {
        Runner runner;
        pid_t pid = -1;
        int rc = Start(runner.For(kProbe, {kProbe}, {}), "/", &pid);
        if (rc == 0) {
            int status = WaitFor(pid);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                runner.failure_ = kProbe + " without an argument ended with " + Describe(status) +
                                  " instead of exit code 0";
            }
            return runner;
        }
        if (rc != ENOEXEC) {
            runner.failure_ = "cannot start " + kProbe + ": " + strerror(rc);
            return runner;
        }
        const char *path = getenv("PATH");
        runner.qemu_ = FindOnPath("qemu-i386", path != nullptr ? path : "");
        if (runner.qemu_.empty()) {
            runner.failure_ = "the kernel does not run 32-bit programs (" +
                              std::string(strerror(ENOEXEC)) +
                              ") and qemu-i386 is not on PATH: install Debian's qemu-user "
                              "(scripts/setup does)";
            return runner;
        }
        rc = Start(runner.For(kProbe, {kProbe}, {}), "/", &pid);
        if (rc != 0) {
            runner.failure_ = "the kernel does not run 32-bit programs, and " + runner.qemu_ +
                              " cannot be started: " + strerror(rc);
            return runner;
        }
        int status = WaitFor(pid);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            runner.failure_ = "the kernel does not run 32-bit programs, and under " + runner.qemu_ +
                              " " + kProbe + " without an argument ended with " + Describe(status) +
                              " instead of exit code 0";
        }
        return runner;
    }

    std::string qemu_;  // qemu-i386's path, "" for native execution
    std::string failure_;
};

// Runs the command in the folder cwd and waits for it. The run records its
// pauses in the file trace. It must write nothing to its standard error: no
// sanitizer report, and no loader's complaint about a preloaded library of
// the wrong word size (which the 64-bit qemu-i386 would make for a 32-bit
// LD_PRELOAD of its own).
ProbeRun RunToEnd(const Command &command, const std::string &cwd, const std::string &trace) {
    ProbeRun run;
    TempDir output;
    const std::string errors = output.file("stderr");
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int rc = Start(command, cwd, &pid, errors);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << command.program << ": " << strerror(rc);
        return run;
    }
    int status = WaitFor(pid);
    run.elapsed =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    if (WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    } else {
        ADD_FAILURE() << command.program << " did not exit normally: " << Describe(status);
    }
    EXPECT_EQ(FileExists(errors) ? ReadFile(errors) : "", "")
        << command.program << " wrote to its standard error";
    run.paused = FileExists(trace) && ReadFile(trace).find("pause") != std::string::npos;
    return run;
}

// Runs the 32-bit program with the given argument vector (argv[0] included)
// in the folder cwd, with extra environment entries, and waits for it. The
// run records its pauses in a file of its own.
ProbeRun Spawn(const std::string &program, const std::vector<std::string> &args,
               const std::string &cwd, std::vector<std::string> extraEnv = {}) {
    TempDir traces;
    const std::string trace = traces.file("pauses");
    const std::vector<std::string> env = PauseTraceEnv(trace);
    extraEnv.insert(extraEnv.end(), env.begin(), env.end());
    return RunToEnd(Runner::Get().For(program, args, extraEnv), cwd, trace);
}

// Every file named name in the tree below folder.
std::vector<std::string> FindAll(const std::string &folder, const std::string &name) {
    std::vector<std::string> found;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return found;
    }
    while (dirent *entry = readdir(dir)) {
        const std::string entryName = entry->d_name;
        if (entryName == "." || entryName == "..") {
            continue;
        }
        const std::string path = folder + "/" + entryName;
        if (entryName == name) {
            found.push_back(path);
        }
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            const std::vector<std::string> below = FindAll(path, name);
            found.insert(found.end(), below.begin(), below.end());
        }
    }
    closedir(dir);
    return found;
}

bool IsDirectory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A copy of bitprobe in a folder of its own, so the marker lands there.
class ProbeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Where the probe cannot run at all, every test fails, and says why.
        ASSERT_EQ(Runner::Get().failure(), "");
        probe_ = dir_.file("bitprobe");
        WriteFile(probe_, ReadFile(kProbe));
        ASSERT_EQ(chmod(probe_.c_str(), 0755), 0);
    }
    std::string marker() const { return dir_.file("nd64"); }
    // Runs the copy by its full path with these arguments after argv[0].
    ProbeRun Probe(const std::vector<std::string> &args,
                   const std::vector<std::string> &extraEnv = {}) {
        std::vector<std::string> argv = {probe_};
        argv.insert(argv.end(), args.begin(), args.end());
        return Spawn(probe_, argv, dir_.path(), extraEnv);
    }
    TempDir dir_;
    std::string probe_;
};

TEST(BitprobeProgramTest, IsA32BitExecutable) {
    std::string bytes = ReadFile(kProbe);
    ASSERT_GE(bytes.size(), sizeof(Elf32_Ehdr));
    ASSERT_EQ(bytes.compare(0, SELFMAG, ELFMAG), 0);
    EXPECT_EQ(bytes[EI_CLASS], ELFCLASS32);
    Elf32_Ehdr header;
    std::memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(header.e_machine, EM_386);
    EXPECT_TRUE(header.e_type == ET_EXEC || header.e_type == ET_DYN);
    EXPECT_NE(header.e_entry, 0u);
}

TEST_F(ProbeTest, AWideInstallationLeavesAnEmptyMarkerPausesAndExitsOne) {
    // A marker of an earlier run is emptied.
    const char *before[] = {nullptr, "left by an earlier run"};
    for (const char *old : before) {
        if (old != nullptr) {
            WriteFile(marker(), old);
        }
        ProbeRun run = Probe({kWide});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.paused);
        EXPECT_GE(run.elapsed, kPause);
        ASSERT_TRUE(FileExists(marker())) << (old ? "with" : "without") << " an old marker";
        EXPECT_EQ(ReadFile(marker()), "");
    }
}

TEST_F(ProbeTest, EveryOtherOutcomeExitsZeroWithoutAPauseAndWritesNothing) {
    TempDir empty;
    TempDir traces;
    const struct {
        const char *what;
        std::vector<std::string> args;
        const char *trace;  // what the 32-bit library saw
    } cases[] = {
        {"a 32-bit installation", {kNarrow}, "load\nunload\n"},
        {"a folder without the library", {empty.path()}, ""},
        {"a folder that does not exist", {empty.file("gone")}, ""},
        {"no argument", {}, ""},
        {"two arguments", {kNarrow, kNarrow}, ""},
        {"two arguments, wide first", {kWide, kWide}, ""},
    };
    int n = 0;
    for (const auto &c : cases) {
        // A marker already there stays as it is.
        WriteFile(marker(), "kept");
        const std::string trace = traces.file("trace" + std::to_string(n++));
        ProbeRun run = Probe(c.args, {"VANTERRA_TINY_TRACE=" + trace});
        EXPECT_EQ(run.exitCode, 0) << c.what;
        EXPECT_FALSE(run.paused) << c.what;
        EXPECT_EQ(ReadFile(marker()), "kept") << c.what;
        EXPECT_EQ(FileExists(trace) ? ReadFile(trace) : "", c.trace) << c.what;
    }
}

// The directory argument, padded with separators to exactly length bytes,
// naming the same folder.
std::string Padded(const std::string &dir, size_t length) {
    std::string s = dir;
    s.append(length > s.size() ? length - s.size() : 0, '/');
    return s;
}

TEST_F(ProbeTest, ADirectoryArgumentMustFitTheLibraryPath) {
    // DIR "\\nnotes.dll" in 1023 bytes leaves 1012 for DIR. The folder holds
    // the wide library under its own name and under the names that a path
    // cut short at 1023 bytes would lead to ("\\nnotes.dl", "\\nnotes.d"),
    // so a probe that cut instead of refusing would report it.
    TempDir trap;
    const std::string wide = kWide + "/libnnotes.so";
    for (const char *name : {"libnnotes.so", "libnnotes.dl.so", "libnnotes.d.so"}) {
        ASSERT_EQ(symlink(wide.c_str(), trap.file(name).c_str()), 0) << name;
    }
    const struct {
        size_t length;
        int exitCode;
    } cases[] = {
        {1012, 1},
        {1013, 0},
        {1014, 0},
        {5000, 0},
    };
    for (const auto &c : cases) {
        std::remove(marker().c_str());
        ProbeRun run = Probe({Padded(trap.path(), c.length)});
        EXPECT_EQ(run.exitCode, c.exitCode) << c.length;
        EXPECT_EQ(FileExists(marker()), c.exitCode == 1) << c.length;
        EXPECT_EQ(run.paused, c.exitCode == 1) << c.length;
    }
}

TEST_F(ProbeTest, AProgramPathThatDoesNotFitTheMarkerPathGetsNoMarker) {
    // argv[0] is what the probe goes by; here it names the probe's own
    // folder padded with separators, then a program name. The installation
    // is reported all the same: only the marker is left out, since a
    // program path cut short would name another folder.
    const std::string folder = dir_.path();
    const auto programPath = [&](size_t lastSeparator, const std::string &name) {
        return Padded(folder, lastSeparator + 1) + name;
    };
    const struct {
        const char *what;
        std::string argv0;
        bool marker;
    } cases[] = {
        // "nd64" fits behind a separator at byte 1018, the result is 1023 bytes.
        {"separator at 1018", programPath(1018, "abcd"), true},
        {"separator at 1019", programPath(1019, "abc"), false},
        {"1023 bytes", programPath(1014, "bitprobe"), true},
        {"1024 bytes", programPath(1015, "bitprobe"), false},
        {"8000 bytes", programPath(7991, "bitprobe"), false},
    };
    for (const auto &c : cases) {
        std::remove(marker().c_str());
        ProbeRun run = Spawn(probe_, {c.argv0, kWide}, folder);
        EXPECT_EQ(run.exitCode, 1) << c.what << " (" << c.argv0.size() << " bytes)";
        EXPECT_TRUE(run.paused) << c.what;
        EXPECT_GE(run.elapsed, kPause) << c.what;
        EXPECT_EQ(FileExists(marker()), c.marker) << c.what;
    }
    EXPECT_EQ(FindAll(folder, "nd64").size(), 0u) << "nothing but the removed markers";
}

TEST_F(ProbeTest, ProbeLyingDeeperThan1023BytesLoadsFirstAndWritesNoMarker) {
    // Nested folders put the probe itself at a path of more than 1024 bytes.
    TempDir root;
    std::string folder = root.path();
    while (folder.size() < 1100) {
        folder += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << strerror(errno);
    }
    const std::string deep = folder + "/bitprobe";
    WriteFile(deep, ReadFile(kProbe));
    ASSERT_EQ(chmod(deep.c_str(), 0755), 0);
    ASSERT_GE(deep.size(), 1024u);

    // A 64-bit installation is reported; a marker beside the probe would not
    // fit, and one in the folder that the path cut at 1023 bytes names would
    // lie elsewhere: there is none anywhere.
    ProbeRun wide = Spawn(deep, {deep, kWide}, folder);
    EXPECT_EQ(wide.exitCode, 1);
    EXPECT_TRUE(wide.paused);
    EXPECT_GE(wide.elapsed, kPause);
    EXPECT_EQ(FindAll(root.path(), "nd64"), std::vector<std::string>{});

    // A 32-bit installation is loaded and unloaded.
    TempDir traces;
    const std::string trace = traces.file("trace");
    ProbeRun narrow = Spawn(deep, {deep, kNarrow}, folder, {"VANTERRA_TINY_TRACE=" + trace});
    EXPECT_EQ(narrow.exitCode, 0);
    EXPECT_FALSE(narrow.paused);
    EXPECT_EQ(FileExists(trace) ? ReadFile(trace) : "", "load\nunload\n");
    EXPECT_EQ(FindAll(root.path(), "nd64"), std::vector<std::string>{});
}

TEST_F(ProbeTest, StartedByABareNameTheMarkerLandsInTheCurrentFolder) {
    TempDir elsewhere;
    TempDir traces;
    const std::string path = "PATH=" + dir_.path();
    const struct {
        const char *what;
        std::string name;  // as typed
        std::string cwd;
        std::string markerDir;
    } cases[] = {
        {"on PATH, from its own folder", "bitprobe", dir_.path(), dir_.path()},
        {"through the current folder", "./bitprobe", dir_.path(), dir_.path()},
        {"on PATH, from another folder", "bitprobe", elsewhere.path(), elsewhere.path()},
    };
    int n = 0;
    for (const auto &c : cases) {
        std::remove(marker().c_str());
        std::remove(elsewhere.file("nd64").c_str());
        ProbeRun run;
        if (Runner::Get().emulated()) {
            // A shell cannot start the probe here. What it would do: find
            // the program as typed (through PATH for a bare name) and hand
            // it its name as typed as argv[0].
            const std::string program = c.name.find('/') != std::string::npos
                                            ? c.name  // from the current folder, cwd
                                            : FindOnPath(c.name, dir_.path());
            ASSERT_NE(program, "") << c.what;
            run = Spawn(program, {c.name, kWide}, c.cwd, {path});
        } else {
            // The shell hands the program its name as typed. The 32-bit
            // pause recorder is preloaded into the probe only, not into the
            // shell.
            const std::string trace = traces.file("pauses" + std::to_string(n++));
            std::vector<std::string> env = PauseTraceEnv(trace, false);
            env.push_back(path);
            run = RunToEnd(
                {"/bin/sh",
                 {"sh", "-c", "LD_PRELOAD=\"$2\"; export LD_PRELOAD; exec " + c.name + " \"$1\"",
                  "sh", kWide, kSleepTrace},
                 env},
                c.cwd, trace);
        }
        EXPECT_EQ(run.exitCode, 1) << c.what;
        EXPECT_TRUE(run.paused) << c.what;
        EXPECT_GE(run.elapsed, kPause) << c.what;
        const std::string want = c.markerDir + "/nd64";
        EXPECT_TRUE(FileExists(want)) << c.what;
        EXPECT_EQ(FileExists(marker()), want == marker()) << c.what;
        EXPECT_EQ(FileExists(elsewhere.file("nd64")), want == elsewhere.file("nd64")) << c.what;
    }
}

TEST_F(ProbeTest, AMarkerThatCannotBeCreatedStillPausesAndExitsOne) {
    // The probe runs from its real folder; "nd64" there is a folder, which
    // no one, root included, can open for writing as a file.
    ASSERT_EQ(mkdir(marker().c_str(), 0755), 0);
    WriteFile(marker() + "/inside", "untouched");
    ProbeRun run = Probe({kWide});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.paused);
    EXPECT_GE(run.elapsed, kPause);
    EXPECT_TRUE(IsDirectory(marker()));
    EXPECT_EQ(ReadFile(marker() + "/inside"), "untouched");
}

#ifdef BITPROBE_SANITIZED
// Why a sanitized probe under qemu-i386 runs without its leak check
// (Runner::For): with it, the probe never ends there. Natively the check
// runs and the probe ends as usual.
TEST(SanitizedBitprobeTest, WithTheLeakCheckItEndsNativelyAndNeverUnderQemu) {
    ASSERT_EQ(Runner::Get().failure(), "");
    Command command = Runner::Get().For(kProbe, {kProbe}, {});
    SetEntry(command.env, AsanOptionsWith(command.env, "detect_leaks=1"));
    pid_t pid = -1;
    ASSERT_EQ(Start(command, "/", &pid), 0);
    if (!Runner::Get().emulated()) {
        const int status = WaitFor(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Describe(status);
        return;
    }
    // Without the check the probe ends there in well under a second; a busy
    // machine only makes that later, never sooner.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    pid_t ended = 0;
    while (ended == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(50));
        ended = waitpid(pid, &status, WNOHANG);
        if (ended < 0 && errno == EINTR) {
            ended = 0;
        }
    }
    if (ended == 0) {
        kill(pid, SIGKILL);
        WaitFor(pid);
    }
    EXPECT_EQ(ended, 0) << "with its leak check the probe ended under qemu-i386 ("
                        << Describe(status) << "): if the check works there now, let it run";
}
#endif

}  // namespace
