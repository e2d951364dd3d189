// Delay from MQPut in one process to the return of an MQGet that waits for
// it in another process, over many messages with small random gaps between
// them; and, for comparison, the cost of a put and a get in one thread.
//
//   mq_latency [MESSAGES]     (default 2000)
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mq.h"
#include "os_error.h"
#include "os_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC: the same in every process

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

const char *Text(STATUS status) {
    static char text[256];
    OSLoadString(nullptr, status, text, sizeof text);
    return text;
}

struct Message {
    int64_t putAtNs;
    uint32_t number;
};

// Puts `count` messages, each after a random gap of 0 to 2 ms.
int Putter(const char *queue, int count) {
    MQHANDLE h;
    if (MQOpen(queue, 0, &h) != NOERROR)
        return 2;
    std::mt19937 random(42);
    std::uniform_int_distribution<int> gapUs(0, 2000);
    for (int i = 0; i < count; i++) {
        std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
        Message m;
        std::memset(&m, 0, sizeof m);
        m.number = static_cast<uint32_t>(i);
        m.putAtNs = NowNs();
        if (MQPut(h, 0, reinterpret_cast<const char *>(&m), sizeof m, 0) != NOERROR)
            return 3;
    }
    MQClose(h, 0);
    return 0;
}

double Percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty())
        return 0;
    size_t index = static_cast<size_t>(p * (sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char **argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (count <= 0) {
        std::fprintf(stderr, "usage: %s [MESSAGES]\n", argv[0]);
        return 2;
    }

    char pattern[] = "/tmp/mq-latency-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    std::ofstream(dir + "/notes.ini") << "Directory=" << dir << "\nServerName=Bench/Acme\n";
    std::string iniArg = "=" + dir + "/notes.ini";
    char program[] = "mq_latency";
    char *startArgv[] = {program, iniArg.data(), nullptr};
    if (STATUS status = NotesRuntimeStart(2, startArgv)) {
        std::fprintf(stderr, "NotesRuntimeStart: %s\n", Text(status));
        return 1;
    }

    int result = 0;
    const char *queue = "bench-latency";
    MQHANDLE h = NULLHANDLE;
    STATUS status = MQCreate(queue, 0, 0);
    if (status == NOERROR)
        status = MQOpen(queue, 0, &h);
    if (status != NOERROR) {
        std::fprintf(stderr, "queue: %s\n", Text(status));
        result = 1;
    }

    if (result == 0) {
        std::fflush(stdout);
        pid_t child = fork();
        if (child == 0)
            _exit(Putter(queue, count));

        std::vector<double> delaysUs;
        delaysUs.reserve(count);
        uint32_t expected = 0;
        while (static_cast<int>(delaysUs.size()) < count) {
            Message m;
            WORD length = 0;
            status = MQGet(h, reinterpret_cast<char *>(&m), sizeof m, 0, 10000, &length);
            int64_t gotAt = NowNs();
            if (status != NOERROR || length != sizeof m) {
                std::fprintf(stderr, "MQGet: %s\n", Text(status));
                result = 1;
                break;
            }
            if (m.number != expected++) {
                std::fprintf(stderr, "message %u came out of order\n", m.number);
                result = 1;
            }
            delaysUs.push_back((gotAt - m.putAtNs) / 1000.0);
        }
        int childStatus = 0;
        if (result != 0)
            kill(child, SIGKILL);
        waitpid(child, &childStatus, 0);
        if (!WIFEXITED(childStatus) || WEXITSTATUS(childStatus) != 0)
            result = 1;

        if (!delaysUs.empty()) {
            std::vector<double> sorted = delaysUs;
            std::sort(sorted.begin(), sorted.end());
            double sum = 0;
            for (double d : sorted)
                sum += d;
            std::printf(
                "put in one process -> waiting get in another, %zu messages, gaps 0-2 ms:\n",
                sorted.size());
            std::printf("  median %8.1f us\n", Percentile(sorted, 0.50));
            std::printf("  p90    %8.1f us\n", Percentile(sorted, 0.90));
            std::printf("  p99    %8.1f us\n", Percentile(sorted, 0.99));
            std::printf("  max    %8.1f us\n", sorted.back());
            std::printf("  mean   %8.1f us\n", sum / sorted.size());
        }

        // One thread, no waiting: what a put and a get cost by themselves.
        const int rounds = 200000;
        const char small[64] = "/data/hcr/request_000000.xml";
        char buffer[64];
        Clock::time_point start = Clock::now();
        for (int i = 0; i < rounds && result == 0; i++) {
            WORD length;
            if (MQPut(h, 0, small, sizeof small, 0) != NOERROR ||
                MQGet(h, buffer, sizeof buffer, 0, 0, &length) != NOERROR)
                result = 1;
        }
        double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        if (result == 0)
            std::printf("put + get of 64 bytes in one thread: %.2f us per pair\n", us / rounds);
    }

    if (h != NULLHANDLE)
        MQClose(h, 0);
    NotesRuntimeEnd();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return result;
}
