// Costs of the add-in services: CPU use of an idle main loop, a log line, a
// status text change (the task record is rewritten), a task listing.
//   bench_addin [seconds of idle loop, default 3]
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "addin.h"
#include "os_runtime.h"
#include "standin/addin.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

}  // namespace

int main(int argc, char **argv) {
    double idleSeconds = argc > 1 ? atof(argv[1]) : 3.0;
    char dir[] = "/tmp/bench-addin-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    std::string ini = std::string(dir) + "/notes.ini";
    std::ofstream(ini) << "Directory=" << dir << "\n";
    std::string iniArg = "=" + ini;
    char program[] = "bench_addin";
    char *args[] = {program, &iniArg[0], nullptr};
    if (NotesRuntimeStart(2, args) != 0 || AddInTaskStart(1, args) != 0)
        return 1;
    HANDLE line = AddInCreateStatusLine("Halcyra");
    AddInSetDefaults(nullptr, line);

    // The idle main loop: stop test, then the two interval tests.
    double cpu = CpuSeconds();
    auto start = Clock::now();
    long turns = 0;
    while (Seconds(start) < idleSeconds && !AddInShouldStop()) {
        AddInIntervalElapsed(60);
        AddInIntervalElapsed(1);
        turns++;
    }
    double wall = Seconds(start);
    std::printf("idle loop: %ld turns in %.2f s (%.1f ms a turn), CPU %.3f%% of one core\n", turns,
                wall, wall * 1000 / turns, (CpuSeconds() - cpu) / wall * 100);

    // Log lines, standard output sent to /dev/null.
    fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    const int kLines = 20000;
    start = Clock::now();
    for (int i = 0; i < kLines; i++)
        AddInLogMessageText("Halcyra: request %d served", 0, i);
    double logSeconds = Seconds(start);
    dup2(saved, 1);
    close(saved);
    std::printf("log line: %.1f us each (%d lines)\n", logSeconds * 1e6 / kLines, kLines);

    const int kChanges = 5000;
    start = Clock::now();
    for (int i = 0; i < kChanges; i++)
        AddInSetStatusText(i % 2 ? "Idle" : "Busy");
    std::printf("status text change: %.1f us each\n", Seconds(start) * 1e6 / kChanges);

    const int kLists = 5000;
    start = Clock::now();
    DWORD count = 0;
    for (int i = 0; i < kLists; i++)
        StandinListTasks(nullptr, nullptr, &count);
    std::printf("task listing (%u task): %.1f us each\n", count, Seconds(start) * 1e6 / kLists);

    AddInTaskEnd(1, args);
    NotesRuntimeEnd();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
