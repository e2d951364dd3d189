// The Windows-call layer: library names, loading and its errors, module
// references, threads, the per-thread last error and sleeping.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "notes_api.h"
#include "test_support.h"
#include "win32.h"

extern "C" int Win32HeaderCheckFromC(void);

namespace {

using test_support::TempDir;

const std::string kFixtures = VANTERRA_FIXTURE_DIR;

std::string Backslashed(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

using NameFn = const char *(*)(void);
using IntFn = int (*)(void);

// Which fixture build a module is, or "" when it has no such call.
std::string ModuleName(HMODULE module) {
    FARPROC fn = GetProcAddress(module, "TinyModuleName");
    return fn == nullptr ? "" : reinterpret_cast<NameFn>(fn)();
}

// ---------------------------------------------------------------------------
// Names

TEST(HeaderTest, ServesCCodeBesideTheNotesHeaders) {
    // This file includes both headers; the C file includes this one alone.
    static_assert(sizeof(::DWORD) == 4, "DWORD is 32 bits in both");
    EXPECT_EQ(Win32HeaderCheckFromC(), 1);
}

TEST(LibraryNameTest, MapsWindowsNamesToSharedLibraryFiles) {
    const struct {
        const char *name;
        const char *file;
    } cases[] = {
        {"nnotes", "libnnotes.so"},
        {"nnotes.dll", "libnnotes.so"},
        {"nnotes.DLL", "libnnotes.so"},
        {"NNotes", "libNNotes.so"},  // the base name keeps its case
        {"/opt/notes/nnotes", "/opt/notes/libnnotes.so"},
        {"C:\\Notes\\nnotes.dll", "C:/Notes/libnnotes.so"},
        {"dir\\sub/x.dll", "dir/sub/libx.so"},
        {"\\nnotes", "/libnnotes.so"},
        {"x.dll\\y", "x.dll/liby.so"},  // only the base name loses ".dll"
        {"a.b", "liba.b.so"},
        {"a.dll.dll", "liba.dll.so"},
        {"d", "libd.so"},
    };
    for (const auto &c : cases) {
        char out[64];
        EXPECT_EQ(Win32CompatLibraryFileName(c.name, out, sizeof out), ERROR_SUCCESS) << c.name;
        EXPECT_STREQ(out, c.file) << c.name;
    }
}

TEST(LibraryNameTest, RefusesNamesWithoutABaseName) {
    const struct {
        const char *name;
        DWORD error;
    } cases[] = {
        {nullptr, ERROR_INVALID_PARAMETER}, {"", ERROR_INVALID_NAME},
        {"dir\\", ERROR_INVALID_NAME},      {"dir/", ERROR_INVALID_NAME},
        {".dll", ERROR_INVALID_NAME},       {"dir\\.DLL", ERROR_INVALID_NAME},
    };
    for (const auto &c : cases) {
        char out[64] = "stale";
        EXPECT_EQ(Win32CompatLibraryFileName(c.name, out, sizeof out), c.error)
            << (c.name ? c.name : "(null)");
        EXPECT_STREQ(out, "");
        SetLastError(0);
        EXPECT_EQ(LoadLibraryA(c.name), nullptr);
        EXPECT_EQ(GetLastError(), c.error) << (c.name ? c.name : "(null)");
    }
}

TEST(LibraryNameTest, ABufferTooSmallIsRefusedWithoutWritingPastIt) {
    // "dir/libx.so" is 11 bytes and its terminator.
    char out[16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(Win32CompatLibraryFileName("dir\\x.dll", out, 12), ERROR_SUCCESS);
    EXPECT_STREQ(out, "dir/libx.so");
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(Win32CompatLibraryFileName("dir\\x.dll", out, 11), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[11], '#');

    std::string longName(5000, 'n');
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(longName.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

// ---------------------------------------------------------------------------
// Loading

class CurrentDir {
  public:
    explicit CurrentDir(const std::string &dir) {
        if (getcwd(saved_, sizeof saved_) == nullptr) {
            saved_[0] = '\0';
        }
        ok_ = chdir(dir.c_str()) == 0;
    }
    ~CurrentDir() {
        if (saved_[0] != '\0' && chdir(saved_) != 0) {
            ADD_FAILURE() << "cannot go back to " << saved_;
        }
    }
    bool ok() const { return ok_; }

  private:
    char saved_[4096];
    bool ok_ = false;
};

TEST(LoadLibraryTest, EveryFormOfTheNameLoadsTheFileItMapsTo) {
    const std::string dir64 = kFixtures + "/64";
    const struct {
        std::string name;
        const char *module;
    } cases[] = {
        {dir64 + "/tinymod", "64/tinymod"},
        {dir64 + "/tinymod.dll", "64/tinymod"},
        {dir64 + "\\tinymod.DLL", "64/tinymod"},
        {Backslashed(dir64) + "\\tinymod.dll", "64/tinymod"},
        {"64\\tinymod.dll", "64/tinymod"},    // relative to the current folder
        {"tinysearch", "search/tinysearch"},  // searched for
        {"tinysearch.dll", "search/tinysearch"},
    };
    CurrentDir cwd(kFixtures);
    ASSERT_TRUE(cwd.ok());
    for (const auto &c : cases) {
        HMODULE module = LoadLibraryA(c.name.c_str());
        ASSERT_NE(module, nullptr) << c.name << ": error " << GetLastError();
        EXPECT_EQ(ModuleName(module), c.module) << c.name;
        FARPROC wordSize = GetProcAddress(module, "TinyWordSize");
        ASSERT_NE(wordSize, nullptr);
        EXPECT_EQ(reinterpret_cast<IntFn>(wordSize)(), 64);
        EXPECT_TRUE(FreeLibrary(module)) << c.name;
    }
}

// A copy of the 64-bit fixture with another machine in its ELF header.
std::string ForeignMachineCopy(const TempDir &dir) {
    std::string bytes = test_support::ReadFile(kFixtures + "/64/libtinymod.so");
    if (bytes.size() < 20) {
        return "";
    }
    bytes[18] = static_cast<char>(183);  // EM_AARCH64, little-endian
    bytes[19] = 0;
    test_support::WriteFile(dir.file("libforeign.so"), bytes);
    return dir.file("foreign");
}

TEST(LoadLibraryTest, FailuresGiveTheWindowsErrorOfTheirCause) {
    TempDir tmp;
    test_support::WriteFile(tmp.file("libjunk.so"), "this is no library, just text\n");
    test_support::WriteFile(tmp.file("libempty.so"), "");
    ASSERT_EQ(mkdir(tmp.file("libfolder.so").c_str(), 0755), 0);
    const std::string foreign = ForeignMachineCopy(tmp);
    ASSERT_FALSE(foreign.empty());

    const struct {
        std::string name;
        DWORD error;
    } cases[] = {
        {kFixtures + "/32/tinymod", ERROR_BAD_EXE_FORMAT},  // other word size
        {"tinyclass", ERROR_BAD_EXE_FORMAT},                // the same, searched for
        {tmp.file("junk"), ERROR_BAD_EXE_FORMAT},           // not ELF at all
        {tmp.file("empty"), ERROR_BAD_EXE_FORMAT},
        {foreign, ERROR_BAD_EXE_FORMAT},                           // ELF of another machine
        {tmp.file("absent"), ERROR_MOD_NOT_FOUND},                 // no such file
        {tmp.file("no/such/folder/x.dll"), ERROR_MOD_NOT_FOUND},   // no such folder
        {"tinyabsent", ERROR_MOD_NOT_FOUND},                       // searched, nowhere
        {tmp.file("folder"), ERROR_MOD_NOT_FOUND},                 // a folder in its place
        {kFixtures + "/64/tinyneeds", ERROR_MOD_NOT_FOUND},        // needs a missing library
        {kFixtures + "/64/tinyunresolved", ERROR_PROC_NOT_FOUND},  // imports a missing symbol
    };
    for (const auto &c : cases) {
        SetLastError(0);
        HMODULE module = LoadLibraryA(c.name.c_str());
        EXPECT_EQ(module, nullptr) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
}

// ---------------------------------------------------------------------------
// Resolving

class LoadedFixtureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        module_ = LoadLibraryA((kFixtures + "/64/tinymod").c_str());
        ASSERT_NE(module_, nullptr) << GetLastError();
    }
    void TearDown() override {
        if (module_ != nullptr) {
            EXPECT_TRUE(FreeLibrary(module_));
        }
    }
    HMODULE module_ = nullptr;
};

TEST_F(LoadedFixtureTest, ResolvesOnlyWhatTheModuleItselfDefines) {
    FARPROC value = GetProcAddress(module_, "TinyValue");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(reinterpret_cast<IntFn>(value)(), 42);

    const struct {
        const char *name;
        DWORD error;
    } cases[] = {
        {"NoSuchFunction", ERROR_PROC_NOT_FOUND},
        {"", ERROR_PROC_NOT_FOUND},
        {"fopen", ERROR_PROC_NOT_FOUND},  // only a dependency (libc) defines it
        {reinterpret_cast<const char *>(uintptr_t{1}), ERROR_PROC_NOT_FOUND},  // an ordinal
        {nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(module_, c.name), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    // dlsym itself would have found the dependency's symbol.
    EXPECT_NE(dlsym(module_, "fopen"), nullptr);
}

TEST_F(LoadedFixtureTest, HandlesNotGivenOutOrFreedAreRefused) {
    int notAModule = 0;
    HMODULE bogus[] = {nullptr, &notAModule};
    for (HMODULE h : bogus) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(h, "TinyValue"), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(FreeLibrary(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }

    ASSERT_TRUE(FreeLibrary(module_));
    HMODULE freed = module_;
    module_ = nullptr;
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(freed, "TinyValue"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(freed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------
// References

TEST(ModuleReferenceTest, EachLoadIsOneReferenceAndLookupsTakeNone) {
    const std::string name = kFixtures + "/64/tinymod.dll";
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA(name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    HMODULE first = LoadLibraryA(name.c_str());
    ASSERT_NE(first, nullptr);
    HMODULE second = LoadLibraryA(Backslashed(name).c_str());
    EXPECT_EQ(second, first);
    EXPECT_EQ(GetModuleHandleA(name.c_str()), first);
    EXPECT_EQ(GetModuleHandleA(name.c_str()), first);

    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(GetModuleHandleA(name.c_str()), first) << "one reference is still held";
    EXPECT_EQ(ModuleName(first), "64/tinymod");

    // Had a lookup taken a reference, the module would stay loaded now.
    EXPECT_TRUE(FreeLibrary(second));
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA(name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ModuleReferenceTest, FindsTheStandInLibraryTheProgramIsLinkedWith) {
    // Taking an address keeps the link to the stand-in.
    const auto osLoadString = &OSLoadString;

    HMODULE module = GetModuleHandleA("nnotes");
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_EQ(GetModuleHandleA("nnotes.dll"), module);
    EXPECT_EQ(GetModuleHandleA((std::string(NNOTES_DIR) + "/nnotes.dll").c_str()), module);
    EXPECT_EQ(GetProcAddress(module, "OSLoadString"), reinterpret_cast<FARPROC>(osLoadString));

    // Only a handle found by lookup: there is no reference to give back.
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HMODULE loaded = LoadLibraryA("nnotes");
    EXPECT_EQ(loaded, module);
    EXPECT_TRUE(FreeLibrary(loaded));
    EXPECT_EQ(GetModuleHandleA("nnotes"), module) << "the program's own link keeps it loaded";
    EXPECT_NE(GetProcAddress(module, "OSLoadString"), nullptr);
}

TEST(ModuleReferenceTest, NullNamesTheProgramItself) {
    HMODULE self = GetModuleHandleA(nullptr);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(GetModuleHandleA(nullptr), self);
    EXPECT_NE(self, GetModuleHandleA("nnotes"));
    EXPECT_FALSE(FreeLibrary(self));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---------------------------------------------------------------------------
// Threads

// Counts threads that have run, for a waiting test.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
    std::vector<void *> args;
    bool detached = true;
    size_t stackSize = 0;

    bool WaitFor(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        // Only keeps a lost thread from hanging the test; a busy machine may
        // take its time to run them.
        return changed.wait_for(lock, std::chrono::seconds(60), [&] { return count >= n; });
    }
};

Gate *gate = nullptr;

unsigned RecordThread(void *arg) {
    pthread_attr_t attr;
    int state = PTHREAD_CREATE_JOINABLE;
    size_t stack = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getdetachstate(&attr, &state);
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
    }
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->args.push_back(arg);
    gate->detached = gate->detached && state == PTHREAD_CREATE_DETACHED;
    gate->stackSize = stack;
    ++gate->count;
    gate->changed.notify_all();
    return 0;
}

class ThreadTest : public ::testing::Test {
  protected:
    void SetUp() override { gate = &gate_; }
    // Threads are detached: a test waits for their work, never for them, so
    // the gate outlives every thread that can touch it.
    void TearDown() override { gate = nullptr; }
    Gate gate_;
};

TEST_F(ThreadTest, StartsDetachedThreadsAtOnceWithTheirArgument) {
    int a = 0, b = 0;
    unsigned idA = 0, idB = 0;
    uintptr_t handleA = _beginthreadex(nullptr, 0, RecordThread, &a, 0, &idA);
    uintptr_t handleB = _beginthreadex(nullptr, 0, RecordThread, &b, 0, &idB);
    EXPECT_NE(handleA, 0u);
    EXPECT_NE(handleB, 0u);
    EXPECT_NE(handleA, handleB);
    EXPECT_NE(idA, 0u);
    EXPECT_NE(idA, idB);
    ASSERT_TRUE(gate_.WaitFor(2));
    std::lock_guard<std::mutex> lock(gate_.mutex);
    EXPECT_TRUE(gate_.detached);
    std::vector<void *> args = gate_.args;
    std::sort(args.begin(), args.end());
    std::vector<void *> want = {&a, &b};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(args, want);
}

TEST_F(ThreadTest, ManyThreadsWhoseHandlesAreNeverClosedAllRunAndEnd) {
    // Under the sanitizers a thread record or stack left behind shows as a
    // leak when the program ends.
    constexpr int kThreads = 200;
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_NE(_beginthreadex(nullptr, 0, RecordThread, nullptr, 0, nullptr), 0u);
    }
    EXPECT_TRUE(gate_.WaitFor(kThreads));
}

TEST_F(ThreadTest, HonoursARequestedStackSize) {
    // Larger than any default, so only the request can explain it.
    constexpr unsigned kStack = 24u << 20;
    ASSERT_NE(_beginthreadex(nullptr, kStack, RecordThread, nullptr, 0, nullptr), 0u);
    ASSERT_TRUE(gate_.WaitFor(1));
    std::lock_guard<std::mutex> lock(gate_.mutex);
    EXPECT_GE(gate_.stackSize, kStack);
}

TEST_F(ThreadTest, RefusesWhatItCannotDoWithoutStartingAnything) {
    errno = 0;
    SetLastError(0);
    EXPECT_EQ(_beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    errno = 0;
    SetLastError(0);
    unsigned id = 12345;
    EXPECT_EQ(_beginthreadex(nullptr, 0, RecordThread, nullptr, CREATE_SUSPENDED, &id), 0u);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(id, 12345u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> lock(gate_.mutex);
    EXPECT_EQ(gate_.count, 0);
}

// ---------------------------------------------------------------------------
// The last error

struct ThreadErrors {
    DWORD atStart = 1;
    DWORD afterSet = 0;
    DWORD afterFailedLoad = 0;
};

TEST(LastErrorTest, EachThreadHasItsOwn) {
    SetLastError(1234);
    ThreadErrors seen;
    std::thread other([&seen] {
        seen.atStart = GetLastError();
        SetLastError(999);
        seen.afterSet = GetLastError();
        LoadLibraryA("tinyabsent");
        seen.afterFailedLoad = GetLastError();
    });
    other.join();
    EXPECT_EQ(seen.atStart, 0u);
    EXPECT_EQ(seen.afterSet, 999u);
    EXPECT_EQ(seen.afterFailedLoad, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 1234u);

    // A call that succeeds leaves it alone.
    HMODULE module = LoadLibraryA("nnotes");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), 1234u);
}

// ---------------------------------------------------------------------------
// Sleeping

std::atomic<int> signalsSeen{0};
void CountSignal(int) {
    signalsSeen.fetch_add(1);
}

TEST(SleepTest, SleepsTheWholeTimeEvenWhenSignalsArrive) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: every signal interrupts the sleep
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    const pthread_t sleeper = pthread_self();
    std::atomic<bool> done{false};
    std::thread disturber([&] {
        while (!done.load()) {
            pthread_kill(sleeper, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    Sleep(300);
    const auto slept = std::chrono::steady_clock::now() - start;
    done.store(true);
    disturber.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GT(signalsSeen.load(), 0);
    EXPECT_GE(slept, std::chrono::milliseconds(300));
}

TEST(SleepTest, ZeroOnlyYields) {
    // A zero taken for "forever" would never come back; the bound is wide
    // enough for any busy machine.
    const auto start = std::chrono::steady_clock::now();
    Sleep(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
