// bitprobe run as a program: it reports a 64-bit installation (the stand-in
// library) by exit code 1, an empty "nd64" beside itself and a 2 s pause;
// everything else exits 0 at once and writes nothing.
#include <gtest/gtest.h>

#include <elf.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
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
const milliseconds kPause(1900);           // the 2000 ms pause, less some slack
// A run without the pause ends before a run with it could: anything shorter
// shows there was no pause, and leaves a busy machine all the slack there is.
const milliseconds kAtOnce = kPause;

struct ProbeRun {
    int exitCode = -1;
    milliseconds elapsed{0};
};

// Starts program with the given argument vector (argv[0] included) in the
// folder cwd, with extra environment entries, and waits for it.
ProbeRun Spawn(const std::string &program, const std::vector<std::string> &args,
               const std::string &cwd, const std::vector<std::string> &extraEnv = {}) {
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
    return run;
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
        EXPECT_GE(run.elapsed, kPause);
        ASSERT_TRUE(FileExists(marker())) << (old ? "with" : "without") << " an old marker";
        EXPECT_EQ(ReadFile(marker()), "");
    }
}

TEST_F(ProbeTest, EveryOtherOutcomeExitsZeroAtOnceAndWritesNothing) {
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
        EXPECT_LT(run.elapsed, kAtOnce) << c.what;
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
        if (c.exitCode == 0) {
            EXPECT_LT(run.elapsed, kAtOnce) << c.length;
        }
    }
}

TEST_F(ProbeTest, AProgramPathMustFitTheMarkerPath) {
    // argv[0] is what the probe goes by; here it names the probe's own
    // folder padded with separators, then a program name.
    const std::string folder = dir_.path();
    const auto programPath = [&](size_t lastSeparator, const std::string &name) {
        return Padded(folder, lastSeparator + 1) + name;
    };
    const struct {
        const char *what;
        std::string argv0;
        int exitCode;
    } cases[] = {
        // "nd64" fits behind a separator at byte 1018, the result is 1023 bytes.
        {"separator at 1018", programPath(1018, "abcd"), 1},
        {"separator at 1019", programPath(1019, "abc"), 0},
        {"1023 bytes", programPath(1014, "bitprobe"), 1},
        {"1024 bytes", programPath(1015, "bitprobe"), 0},
        {"8000 bytes", programPath(7991, "bitprobe"), 0},
    };
    for (const auto &c : cases) {
        std::remove(marker().c_str());
        ProbeRun run = Spawn(probe_, {c.argv0, kWide}, folder);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.what << " (" << c.argv0.size() << " bytes)";
        EXPECT_EQ(FileExists(marker()), c.exitCode == 1) << c.what;
        if (c.exitCode == 0) {
            EXPECT_LT(run.elapsed, kAtOnce) << c.what;
        }
    }
}

TEST_F(ProbeTest, StartedByABareNameTheMarkerLandsInTheCurrentFolder) {
    TempDir elsewhere;
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
    for (const auto &c : cases) {
        std::remove(marker().c_str());
        std::remove(elsewhere.file("nd64").c_str());
        // The shell hands the program its name as typed.
        ProbeRun run = Spawn("/bin/sh", {"sh", "-c", c.command, "sh", kWide}, c.cwd, {path});
        EXPECT_EQ(run.exitCode, 1) << c.what;
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
    EXPECT_GE(run.elapsed, kPause);
    EXPECT_TRUE(IsDirectory(marker()));
    EXPECT_EQ(ReadFile(marker() + "/inside"), "untouched");
}

}  // namespace
