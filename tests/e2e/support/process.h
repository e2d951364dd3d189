// Running the project's programs as processes, for the end-to-end tests.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace e2e {

struct RunResult {
    int exitCode = -1;      // the exit code, or 128 + signal when a signal ended it
    bool timedOut = false;  // killed after the time-out
    std::string out;
    std::string err;
};

// Runs the program (argv[0] is its path) to its end, with standard input
// closed and both outputs captured; kills it after timeoutSeconds.
RunResult Run(const std::vector<std::string> &argv, double timeoutSeconds = 60);

// A program running in the background, its standard output and error going
// to one file. The destructor kills it (SIGKILL) when it still runs.
class Background {
  public:
    Background(const std::vector<std::string> &argv, const std::string &outputFile);
    ~Background();
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the end; false when it still runs after timeoutSeconds.
    bool Wait(double timeoutSeconds);
    // The exit code (128 + signal when a signal ended it); valid after Wait.
    int exitCode() const { return exitCode_; }
    void Signal(int sig);
    // What the program has written so far.
    std::string Output() const;

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
    std::string outputFile_;
};

// Polls the condition every 20 ms until it holds or timeoutSeconds pass.
bool WaitFor(const std::function<bool()> &condition, double timeoutSeconds);

// Seconds on a monotonic clock.
double Now();

}  // namespace e2e
