#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "os_env.h"
#include "os_error.h"
#include "os_runtime.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace {

using test_support::TempDir;
using test_support::WriteFile;

std::string RealPath(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? resolved : path;
}

STATUS Start(const std::string &iniArg, const char *extra = nullptr) {
    std::string arg = iniArg;
    char program[] = "prog";
    std::string extraArg = extra ? extra : "";
    char *argv[] = {program, arg.data(), extra ? extraArg.data() : nullptr, nullptr};
    return NotesRuntimeStart(extra ? 3 : 2, argv);
}

TEST(Runtime, IniArgumentNamesTheFileAndIsTakenOutOfTheArguments) {
    TempDir dir;
    WriteFile(dir.file("notes.ini"), "Directory=" + dir.path() + "\n");
    ASSERT_NOERROR(Start("=" + dir.file("notes.ini"), "task-arg"));
    int argc = 0;
    char **argv = nullptr;
    ASSERT_NOERROR(NotesRuntimeArgs(0, nullptr, &argc, &argv));
    ASSERT_EQ(argc, 2);
    EXPECT_STREQ(argv[0], "prog");
    EXPECT_STREQ(argv[1], "task-arg");
    EXPECT_EQ(argv[2], nullptr);
    char data[512];
    EXPECT_TRUE(StandinDataDirectory(data, sizeof data));
    EXPECT_EQ(std::string(data), RealPath(dir.path()));
    char path[MAXPATH];
    EXPECT_EQ(OSGetDataDirectory(path), RealPath(dir.path()).size());
    EXPECT_EQ(std::string(path), RealPath(dir.path()));
    StandinFaultInject({"OSGetDataDirectory", 0x0101, 0, 1, nullptr});
    EXPECT_EQ(OSGetDataDirectory(path), 0);
    EXPECT_STREQ(path, "");
    StandinFaultClear();
    EXPECT_EQ(Start("=" + dir.file("notes.ini")), ERR_ALREADY_INITIALIZED);
    NotesRuntimeEnd();
    EXPECT_FALSE(StandinDataDirectory(data, sizeof data));
    EXPECT_EQ(OSGetDataDirectory(path), 0);
    EXPECT_STREQ(path, "");
}

TEST(Runtime, ADataDirectoryLongerThanAPathBufferIsNotCut) {
    TempDir dir;
    std::string deep = dir.path();
    while (deep.size() < MAXPATH)
        deep += "/abcdefghijklmnopqrstuvwxyz";
    ASSERT_EQ(system(("mkdir -p '" + deep + "'").c_str()), 0);
    WriteFile(dir.file("notes.ini"), "Directory=" + deep + "\n");
    ASSERT_NOERROR(Start("=" + dir.file("notes.ini")));
    char path[MAXPATH] = "x";
    EXPECT_EQ(OSGetDataDirectory(path), 0);
    EXPECT_STREQ(path, "");
    NotesRuntimeEnd();
}

TEST(Runtime, DataDirectoryDefaultsToTheFolderOfNotesIni) {
    TempDir dir;
    WriteFile(dir.file("notes.ini"), "ServerName=S1/Acme\n");
    char cwd[512];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    char program[] = "prog";
    char *argv[] = {program, nullptr};
    STATUS status = NotesRuntimeStart(1, argv);  // notes.ini of the current folder
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_NOERROR(status);
    char data[512];
    StandinDataDirectory(data, sizeof data);
    EXPECT_EQ(std::string(data), RealPath(dir.path()));
    NotesRuntimeEnd();
}

TEST(Runtime, StartFailures) {
    TempDir dir;
    EXPECT_EQ(Start("=" + dir.file("missing.ini")), ERR_NOTES_INI);
    WriteFile(dir.file("notes.ini"), "Directory=" + dir.file("nowhere") + "\n");
    EXPECT_EQ(Start("=" + dir.file("notes.ini")), ERR_DATA_DIRECTORY);
    WriteFile(dir.file("notes.ini"), "Directory=sub\n");  // relative to notes.ini
    EXPECT_EQ(Start("=" + dir.file("notes.ini")), ERR_DATA_DIRECTORY);
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    EXPECT_NOERROR(Start("=" + dir.file("notes.ini")));
    NotesRuntimeEnd();
    char text[256];
    NotesStartupErrorText(ERR_NOTES_INI, text, sizeof text);
    EXPECT_NE(std::string(text).find("notes.ini"), std::string::npos);
}

TEST(Runtime, ThreadsInitializeOnlyWhileTheRuntimeRuns) {
    EXPECT_EQ(NotesInitThread(), ERR_NOT_INITIALIZED);
    TempDir dir;
    WriteFile(dir.file("notes.ini"), "Directory=" + dir.path() + "\n");
    ASSERT_NOERROR(Start("=" + dir.file("notes.ini")));
    STATUS status = 1;
    std::thread t([&] {
        status = NotesInitThread();
        EXPECT_EQ(StandinThreadCount(), 1u);
        NotesTermThread();
    });
    t.join();
    EXPECT_NOERROR(status);
    EXPECT_EQ(StandinThreadCount(), 0u);
    NotesRuntimeEnd();
}

// Every call that nnotes.exports lists resolves in the built library, and
// the library exports no internal symbol.
TEST(Exports, EveryListedCallResolves) {
    void *lib = dlopen("libnnotes.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr) << dlerror();
    std::ifstream list(NNOTES_EXPORTS_FILE);
    ASSERT_TRUE(list) << NNOTES_EXPORTS_FILE;
    std::string line;
    int checked = 0;
    while (std::getline(list, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::string name = line.substr(0, line.find_first_of(" \t"));
        if (name.back() == '*')
            continue;
        EXPECT_NE(dlsym(lib, name.c_str()), nullptr) << name;
        checked++;
    }
    EXPECT_GT(checked, 50);
    EXPECT_EQ(dlsym(lib,
                    "_ZN14notes_internal14RegisterHandleENS_10HandleKindESt10shared_ptrINS_"
                    "12HandleObjectEE"),
              nullptr);
    dlclose(lib);
}

}  // namespace
