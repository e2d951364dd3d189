// Reads through the running task, as the front end sends them: vanterra on a
// fresh data directory with a directory and a mail file, each request file's
// path put on MQ$OutOfOffice and its reply taken from a queue of this
// process.
//   - put-to-reply of a read at an idle task: each request is put once the
//     main loop is back in its wait (it pauses 1000 ms after each message;
//     that pause is the loop's own) (goal: median under 10 ms);
//   - the task's memory (VmRSS) after 100 reads and after READS.
//
//   task_reads [READS (1000)] [TIMED (30)]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_mail_data.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kVanterra[] = VANTERRA_PATH;
const char kNotesctl[] = NOTESCTL_PATH;
const char kReplyQueue[] = "MQ$TaskReads";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

long StatusKb(pid_t pid, const char *key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    const int reads = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int timed = argc > 2 ? std::atoi(argv[2]) : 30;
    char pattern[] = "/tmp/task_reads.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    const std::string root = pattern;
    const std::string dir = root + "/data";
    const std::string init = "'" + std::string(kNotesctl) + "' init '" + dir + "' >/dev/null";
    if (std::system(init.c_str()) != 0) {
        std::fprintf(stderr, "notesctl init failed\n");
        return 1;
    }
    std::string iniArg = "=" + dir + "/notes.ini";
    char program[] = "task_reads";
    char *args[] = {program, &iniArg[0], nullptr};
    bench_data::Check(NotesRuntimeStart(2, args), "NotesRuntimeStart");
    bench_data::CreateMailFile("mail/jdoe.nsf", "CN=Jane Doe/O=Acme", false);
    DBHANDLE names = bench_data::CreateDirectory();
    bench_data::AddPerson(names, "CN=Jane Doe/O=Acme", "CN=Vanterra/O=Demo", "mail/jdoe.nsf");
    NSFDbClose(names);

    const pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen((root + "/console.txt").c_str(), "w", stdout) == nullptr)
            _exit(127);
        execl(kVanterra, kVanterra, iniArg.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    MQHANDLE requests = 0;
    for (int i = 0; i < 600 && MQOpen("MQ$OutOfOffice", 0, &requests) != NOERROR; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (requests == 0) {
        std::fprintf(stderr, "the task did not come up\n");
        kill(pid, SIGKILL);
        return 1;
    }
    MQHANDLE replies = 0;
    bench_data::Check(MQCreate(kReplyQueue, 0, 0), "MQCreate");
    bench_data::Check(MQOpen(kReplyQueue, 0, &replies), "MQOpen");
    const std::string content = std::string("<Request><Username MQName=\"") + kReplyQueue +
                                "\" Action=\"1\" MailBox=\"mail/jdoe\">CN=Jane Doe/O=Acme"
                                "</Username></Request>";
    std::filesystem::create_directories(dir + "/requests");

    // One read; the time from the put to the reply.
    auto read = [&](int n) {
        const std::string path = dir + "/requests/read" + std::to_string(n) + ".xml";
        std::ofstream(path, std::ios::binary) << content;
        const auto start = Clock::now();
        bench_data::Check(MQPut(requests, 0, path.data(), static_cast<WORD>(path.size()), 0),
                          "MQPut");
        char text[MQ_MAX_MSGSIZE];
        WORD length = 0;
        bench_data::Check(MQGet(replies, text, sizeof text, 0, 60000, &length), "reply");
        const double ms = Ms(Clock::now() - start);
        if (std::string(text, length) != "OK") {
            std::fprintf(stderr, "reply %d: %.*s\n", n, length, text);
            std::exit(1);
        }
        std::filesystem::remove(path);
        return ms;
    };

    std::vector<double> ms;
    long rssAfter100 = -1;
    const auto start = Clock::now();
    for (int n = 1; n <= std::max(reads, timed); n++) {
        if (n <= timed) {
            // Idle: the loop has made its pause and waits on its queue.
            std::this_thread::sleep_for(std::chrono::milliseconds(1300));
        }
        const double took = read(n);
        if (n <= timed)
            ms.push_back(took);
        if (n == 100)
            rssAfter100 = StatusKb(pid, "VmRSS");
        if (n % 100 == 0)
            std::fprintf(stderr, "  %d reads, %.0f s\n", n, Ms(Clock::now() - start) / 1000);
    }
    // The last request thread has ended once the thread count is back.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const long rssAfterAll = StatusKb(pid, "VmRSS");
    std::sort(ms.begin(), ms.end());
    std::printf(
        "put-to-reply of a read at an idle task: n=%zu median %.2f ms, p90 %.2f, max %.2f\n",
        ms.size(), ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back());
    std::printf(
        "task VmRSS after 100 reads: %ld kB, after %d: %ld kB (growth %ld kB), "
        "VmHWM %ld kB\n",
        rssAfter100, std::max(reads, timed), rssAfterAll, rssAfterAll - rssAfter100,
        StatusKb(pid, "VmHWM"));

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    MQClose(replies, 0);
    MQClose(requests, 0);
    NotesRuntimeEnd();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
