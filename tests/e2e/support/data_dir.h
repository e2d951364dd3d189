// What the end-to-end tests do on a data directory from the test process
// itself: make it with notesctl init, run notesctl on it, and start the
// library's runtime on it to play the other side (queues, tasks).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notes_api.h"
#include "process.h"
#include "test_support.h"

namespace e2e {

// Runs notesctl with these arguments, as Run does.
RunResult Notesctl(const std::vector<std::string> &args, double timeoutSeconds = 60);

// The lines of a text without their line ends; a last line without one
// counts too.
std::vector<std::string> Lines(const std::string &text);

// The runtime of the test process, started on a data directory for as long
// as the object lives.
class RuntimeOn {
  public:
    explicit RuntimeOn(const std::string &dir);
    ~RuntimeOn();
    RuntimeOn(const RuntimeOn &) = delete;
    RuntimeOn &operator=(const RuntimeOn &) = delete;
    STATUS status() const { return status_; }

  private:
    std::string ini_;
    STATUS status_;
};

// A queue that the test process creates, and so keeps alive while the
// object lives.
struct OwnQueue {
    explicit OwnQueue(const std::string &name);
    ~OwnQueue();
    OwnQueue(const OwnQueue &) = delete;
    OwnQueue &operator=(const OwnQueue &) = delete;
    WORD count() const { return MQGetCount(handle); }

    STATUS status;  // of MQCreate, or of MQOpen after it
    MQHANDLE handle = 0;
};

// A fresh data directory made by notesctl init, inside a temporary folder
// that takes the test's other files too.
class DataDirFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    const std::string &dir() const { return dir_; }
    std::string file(const std::string &name) const { return tmp_.file(name); }

    test_support::TempDir tmp_;
    std::string dir_;
};

}  // namespace e2e
