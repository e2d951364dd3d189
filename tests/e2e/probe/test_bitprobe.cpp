// bitprobe run as a program: it reports a 64-bit installation (the stand-in
// library) by exit code 1, an empty "nd64" beside itself and a 2 s pause;
// everything else exits 0 at once and writes nothing. Every run has a
// library preloaded that records each pause, so that a run without one is
// told from a run with one without timing it.
#include <gtest/gtest.h>

#include <elf.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
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

struct ProbeRun {
    int exitCode = -1;
    milliseconds elapsed{0};
    bool paused = false;  // the preloaded library saw a pause
};

// The environment entries that have a 32-bit program record its pauses in
// the file trace: the preloaded library and, under the sanitizers, leave to
// load it before their runtime.
std::vector<std::string> PauseTraceEnv(const std::string &trace, bool preload = true) {
    const char *asan = getenv("ASAN_OPTIONS");
    std::vector<std::string> env = {
        "VANTERRA_SLEEP_TRACE=" + trace,
        "ASAN_OPTIONS=" + std::string(asan != nullptr && *asan != '\0' ? asan : "") +
            (asan != nullptr && *asan != '\0' ? ":" : "") + "verify_asan_link_order=0"};
    if (preload) {
        env.push_back("LD_PRELOAD=" + kSleepTrace);
    }
    return env;
}

// Starts program with the given argument vector (argv[0] included) in the
// folder cwd, with extra environment entries, and waits for it. Without
// pauseTrace the run records its pauses in a file of its own; with it, the
// extra entries must name pauseTrace (PauseTraceEnv).
ProbeRun Spawn(const std::string &program, const std::vector<std::string> &args,
               const std::string &cwd, std::vector<std::string> extraEnv = {},
               const std::string &pauseTrace = "") {
    TempDir traces;
    const std::string trace = pauseTrace.empty() ? traces.file("pauses") : pauseTrace;
    if (pauseTrace.empty()) {
        const std::vector<std::string> env = PauseTraceEnv(trace);
        extraEnv.insert(extraEnv.end(), env.begin(), env.end());
    }
    std::vector<char *> argv;
    for (const auto &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    // The extra entries replace inherited ones of the same name.
    std::vector<std::string> envStore(extraEnv);
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto &x : extraEnv) {
            replaced = replaced || x.compare(0, key.size(), key) == 0;
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
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    ProbeRun run;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << strerror(rc);
        return run;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.elapsed =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    if (WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    } else {
        ADD_FAILURE() << program << " did not exit normally, status " << status;
    }
    run.paused = FileExists(trace) && ReadFile(trace).find("pause") != std::string::npos;
    return run;
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
        std::string command;
        std::string cwd;
        std::string markerDir;
    } cases[] = {
        {"on PATH, from its own folder", "exec bitprobe \"$1\"", dir_.path(), dir_.path()},
        {"through the current folder", "exec ./bitprobe \"$1\"", dir_.path(), dir_.path()},
        {"on PATH, from another folder", "exec bitprobe \"$1\"", elsewhere.path(),
         elsewhere.path()},
    };
    int n = 0;
    for (const auto &c : cases) {
        std::remove(marker().c_str());
        std::remove(elsewhere.file("nd64").c_str());
        // The shell hands the program its name as typed. The 32-bit pause
        // recorder is preloaded into the probe only, not into the shell.
        const std::string trace = traces.file("pauses" + std::to_string(n++));
        std::vector<std::string> env = PauseTraceEnv(trace, false);
        env.push_back(path);
        ProbeRun run = Spawn("/bin/sh",
                             {"sh", "-c", "LD_PRELOAD=\"$2\"; export LD_PRELOAD; " + c.command,
                              "sh", kWide, kSleepTrace},
                             c.cwd, env, trace);
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

}  // namespace
