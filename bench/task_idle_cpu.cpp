// Idle CPU of the task: starts vanterra on a fresh data directory, waits
// until it is idle, and measures the processor time it takes while no
// request comes (utime + stime from /proc/PID/stat), as a share of one core.
// The goal is under 1%.
//
//   task_idle_cpu [SECONDS]     (default 20)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace {

const char kVanterra[] = VANTERRA_PATH;
const char kNotesctl[] = NOTESCTL_PATH;

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string Quote(const std::string &text) {
    return "'" + text + "'";
}

// Runs a notesctl command and gives its standard output.
std::string Notesctl(const std::string &args, int *exitCode = nullptr) {
    std::string command = Quote(kNotesctl) + " " + args + " 2>/dev/null";
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    int status = pclose(pipe);
    if (exitCode != nullptr)
        *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// utime + stime of the process, in clock ticks; -1 when it is gone.
long long CpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat))
        return -1;
    // The command name (field 2) may hold blanks; the fields after it are
    // counted from its closing parenthesis: state is field 3, utime 14.
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            utime = std::atoll(field.c_str());
        if (i == 15)
            stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

bool WaitFor(double seconds, const std::function<bool()> &condition) {
    double deadline = Now() + seconds;
    while (Now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [SECONDS]\n", argv[0]);
        return 64;
    }
    char pattern[] = "/tmp/task_idle_cpu.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = pattern;
    const std::string dir = root + "/data";
    int code = 0;
    Notesctl("init " + Quote(dir), &code);
    if (code != 0) {
        std::fprintf(stderr, "notesctl init failed (%d)\n", code);
        return 1;
    }

    const std::string ini = "=" + dir + "/notes.ini";
    const std::string console = root + "/console.txt";
    pid_t pid = fork();
    if (pid == 0) {
        FILE *out = std::freopen(console.c_str(), "w", stdout);
        (void)out;
        execl(kVanterra, kVanterra, ini.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int result = 0;
    // Idle: the status line says so and the request queue is there.
    bool idle = WaitFor(60, [&] {
        return Notesctl("show " + Quote(dir) + " tasks").find(" Idle") != std::string::npos &&
               Notesctl("show " + Quote(dir) + " queues").find("MQ$OutOfOffice ") !=
                   std::string::npos;
    });
    if (!idle) {
        std::fprintf(stderr, "the task did not become idle; its console is in %s\n",
                     console.c_str());
        result = 1;
    } else {
        // Let start-up's work settle before the measured span.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const long ticksPerSecond = sysconf(_SC_CLK_TCK);
        long long before = CpuTicks(pid);
        double start = Now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        long long after = CpuTicks(pid);
        double elapsed = Now() - start;
        if (before < 0 || after < 0) {
            std::fprintf(stderr, "the task ended during the measurement\n");
            result = 1;
        } else {
            double cpu = static_cast<double>(after - before) / ticksPerSecond;
            double percent = 100.0 * cpu / elapsed;
            std::printf(
                "task idle CPU: %.3f s of CPU in %.1f s = %.2f%% of one core (goal: under 1%%)\n",
                cpu, elapsed, percent);
            if (percent >= 1.0)
                result = 2;
        }
    }

    Notesctl("tell " + Quote(dir) + " vanterra quit");
    bool ended = WaitFor(10, [&] { return waitpid(pid, nullptr, WNOHANG) == pid; });
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::string remove = "rm -rf " + Quote(root);
    if (std::system(remove.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", root.c_str());
    return result;
}
