#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

std::vector<char *> ArgvOf(const std::vector<std::string> &argv) {
    std::vector<char *> out;
    for (const std::string &arg : argv)
        out.push_back(const_cast<char *>(arg.c_str()));
    out.push_back(nullptr);
    return out;
}

// In the child: standard input from /dev/null, then exec; 127 when the
// exec fails. Only async-signal-safe calls: the test process has threads.
[[noreturn]] void Exec(char *const *args) {
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) {
        dup2(null, 0);
        close(null);
    }
    execv(args[0], args);
    _exit(127);
}

}  // namespace

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

RunResult Run(const std::vector<std::string> &argv, double timeoutSeconds) {
    RunResult result;
    // Close-on-exec, so that a program that another thread starts meanwhile
    // does not keep these open and delay their end of file.
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    std::vector<char *> args = ArgvOf(argv);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(outPipe[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        Exec(args.data());
    }
    if (pid < 0) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            close(fd);
        return result;
    }
    close(outPipe[1]);
    close(errPipe[1]);
    const double deadline = Now() + timeoutSeconds;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        double left = deadline - Now();
        if (left <= 0) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        int ready = poll(fds, 2, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    for (pollfd &fd : fds) {
        if (fd.fd >= 0)
            close(fd.fd);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = DecodeStatus(status);
    return result;
}

Background::Background(const std::vector<std::string> &argv, const std::string &outputFile)
    : outputFile_(outputFile) {
    std::vector<char *> args = ArgvOf(argv);
    const char *path = outputFile_.c_str();
    pid_ = fork();
    if (pid_ == 0) {
        int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
            close(out);
        }
        Exec(args.data());
    }
}

Background::~Background() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        Wait(10);
    }
}

bool Background::running() {
    if (pid_ <= 0 || reaped_)
        return false;
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
        reaped_ = true;
        exitCode_ = DecodeStatus(status);
        return false;
    }
    return true;
}

bool Background::Wait(double timeoutSeconds) {
    return WaitFor([this] { return !running(); }, timeoutSeconds);
}

void Background::Signal(int sig) {
    if (pid_ > 0 && !reaped_)
        kill(pid_, sig);
}

std::string Background::Output() const {
    std::ifstream in(outputFile_, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WaitFor(const std::function<bool()> &condition, double timeoutSeconds) {
    const double deadline = Now() + timeoutSeconds;
    while (true) {
        if (condition())
            return true;
        if (Now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace e2e
