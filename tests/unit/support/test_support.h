// Shared helpers of the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "global.h"

namespace test_support {

// A fresh temporary folder, removed with everything in it when the object
// dies.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void WriteFile(const std::string &path, const std::string &content);
std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);

// A data directory with a notes.ini ("ServerName=Vanterra Test/Acme" and the
// given extra lines), and the runtime started on it for the length of the
// test. Tests that need more (databases, queues) build on it.
class DataDirTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Extra notes.ini lines, "KEY=VALUE" each; override to add some.
    virtual std::vector<std::string> IniLines() const { return {}; }
    const std::string &dataDir() const { return dir_.path(); }
    std::string dataFile(const std::string &name) const { return dir_.file(name); }
    std::string iniPath() const { return dir_.file("notes.ini"); }

  private:
    TempDir dir_;
};

// The task's lines of a console log ("Halcyra: ..."), without their time
// stamps; none when the file is missing.
std::vector<std::string> TaskLogLines(const std::string &consoleLog);

// The text OSLoadString gives for a status.
std::string StatusText(STATUS status);

}  // namespace test_support

// Asserts that a call returned status 0, and shows the status's name and
// text when it did not.
#define ASSERT_NOERROR(expr)                                             \
    do {                                                                 \
        STATUS _s = (expr);                                              \
        ASSERT_EQ(_s, 0) << #expr << " gave 0x" << std::hex << _s << " " \
                         << ::test_support::StatusText(_s);              \
    } while (0)
#define EXPECT_NOERROR(expr)                                             \
    do {                                                                 \
        STATUS _s = (expr);                                              \
        EXPECT_EQ(_s, 0) << #expr << " gave 0x" << std::hex << _s << " " \
                         << ::test_support::StatusText(_s);              \
    } while (0)
