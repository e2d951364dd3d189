// The cost of the first open of a large database: NSFDbOpen of a file that
// no handle of the process has open, as every request does with its mail
// file. Timed in this process after every handle closed, and in fresh
// processes; StandinDbCheck, which reads the whole file, beside it.
//
//   nsf_open [DIR] [MB] [ROUNDS]    defaults: /tmp/vanterra-bench-open, 100, 200
//
// Builds DIR/bench.nsf of about MB megabytes once (documents of about 5 KB
// each, stored through the public calls) and keeps it for later runs.
// Prints the median, the 99th percentile and the largest time of each kind.
// The file is read from the page cache: the first open after the machine
// dropped its cache costs more, as any read does.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "nsf_db.h"
#include "nsf_note.h"
#include "os_runtime.h"
#include "standin/nsf.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Check(STATUS status, const char *what) {
    if (status != NOERROR) {
        std::fprintf(stderr, "nsf_open: %s failed: 0x%04X\n", what, status);
        std::exit(1);
    }
}

void StartRuntime(const std::string &dir) {
    std::string arg = "=" + dir + "/notes.ini";
    char program[] = "nsf_open";
    char *argv[] = {program, arg.data(), nullptr};
    Check(NotesRuntimeStart(2, argv), "NotesRuntimeStart");
}

long long FileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

void Build(const std::string &path, long long bytes) {
    std::printf("building %s (%lld MB) ...\n", path.c_str(), bytes >> 20);
    std::fflush(stdout);
    auto start = Clock::now();
    unlink(path.c_str());
    Check(NSFDbCreate("bench.nsf", DBCLASS_NOTEFILE, FALSE), "NSFDbCreate");
    DBHANDLE db;
    Check(NSFDbOpen("bench.nsf", &db), "NSFDbOpen");
    std::string body(4096, ' ');
    for (size_t i = 0; i < body.size(); i++)
        body[i] = static_cast<char>('a' + (i * 7 + i / 13) % 26);
    for (long n = 0;; n++) {
        if (n % 1000 == 0 && FileSize(path) >= bytes)
            break;
        NOTEHANDLE note;
        Check(NSFNoteCreate(db, &note), "NSFNoteCreate");
        std::string subject = "Document " + std::to_string(n);
        Check(NSFItemSetText(note, "Form", "Memo", MAXWORD), "NSFItemSetText");
        Check(NSFItemSetText(note, "Subject", subject.c_str(), MAXWORD), "NSFItemSetText");
        Check(NSFItemSetText(note, "From", "CN=Jane Roe/O=Acme", MAXWORD), "NSFItemSetText");
        NUMBER size = static_cast<NUMBER>(body.size());
        Check(NSFItemSetNumber(note, "Size", &size), "NSFItemSetNumber");
        body[n % body.size()] = static_cast<char>('A' + n % 26);
        Check(NSFItemSetText(note, "Body", body.data(), static_cast<WORD>(body.size())),
              "NSFItemSetText");
        Check(NSFNoteUpdate(note, 0), "NSFNoteUpdate");
        Check(NSFNoteClose(note), "NSFNoteClose");
    }
    Check(NSFDbClose(db), "NSFDbClose");
    std::printf("built %lld MB in %.1f s\n", FileSize(path) >> 20, Ms(Clock::now() - start) / 1000);
}

void Report(const char *what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    size_t p99 = std::min(ms.size() - 1, static_cast<size_t>(ms.size() * 0.99));
    std::printf("%-44s %5zu rounds  median %8.3f ms  p99 %8.3f ms  max %8.3f ms\n", what, ms.size(),
                ms[ms.size() / 2], ms[p99], ms.back());
}

// A fresh process: start the runtime, time one open, print it.
int Child(const std::string &dir) {
    StartRuntime(dir);
    DBHANDLE db;
    auto start = Clock::now();
    Check(NSFDbOpen("bench.nsf", &db), "NSFDbOpen");
    double open = Ms(Clock::now() - start);
    NOTEHANDLE icon;
    start = Clock::now();
    Check(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon), "NSFNoteOpen");
    double first = Ms(Clock::now() - start);
    Check(NSFNoteClose(icon), "NSFNoteClose");
    Check(NSFDbClose(db), "NSFDbClose");
    NotesRuntimeEnd();
    std::printf("%.6f %.6f\n", open, first);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0)
        return Child(argv[2]);
    std::string dir = argc > 1 ? argv[1] : "/tmp/vanterra-bench-open";
    long long mb = argc > 2 ? std::atoll(argv[2]) : 100;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 200;
    if (mb <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: nsf_open [DIR] [MB] [ROUNDS]\n");
        return 64;
    }
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/notes.ini") << "[Notes]\nDirectory=" << dir << "\n";
    const std::string path = dir + "/bench.nsf";
    StartRuntime(dir);
    if (FileSize(path) < mb * 1024 * 1024 * 9 / 10 ||
        StandinDbCheck("bench.nsf", nullptr, 0) != NOERROR)
        Build(path, mb * 1024 * 1024);
    {
        DBHANDLE db;  // a first open upgrades a file of an older layout
        Check(NSFDbOpen("bench.nsf", &db), "NSFDbOpen");
        Check(NSFDbClose(db), "NSFDbClose");
    }
    std::printf("file %s: %lld MB\n", path.c_str(), FileSize(path) >> 20);

    std::vector<double> opens, firsts;
    for (int i = 0; i < rounds; i++) {
        DBHANDLE db;
        auto start = Clock::now();
        Check(NSFDbOpen("bench.nsf", &db), "NSFDbOpen");
        opens.push_back(Ms(Clock::now() - start));
        NOTEHANDLE icon;
        start = Clock::now();
        Check(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon), "NSFNoteOpen");
        firsts.push_back(Ms(Clock::now() - start));
        Check(NSFNoteClose(icon), "NSFNoteClose");
        Check(NSFDbClose(db), "NSFDbClose");  // the last handle: the file is let go of
    }
    Report("first open, every handle closed before", opens);
    Report("then the first note open", firsts);

    std::vector<double> checks;
    for (int i = 0; i < 5; i++) {
        auto start = Clock::now();
        Check(StandinDbCheck("bench.nsf", nullptr, 0), "StandinDbCheck");
        checks.push_back(Ms(Clock::now() - start));
    }
    NotesRuntimeEnd();

    std::vector<double> childOpens, childFirsts;
    for (int i = 0; i < std::max(rounds / 4, 1); i++) {
        int fds[2];
        if (pipe(fds) != 0)
            return 1;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            execl("/proc/self/exe", argv[0], "--child", dir.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char text[128] = {};
        ssize_t got = read(fds[0], text, sizeof text - 1);
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        double open = 0, first = 0;
        if (got <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
            std::sscanf(text, "%lf %lf", &open, &first) != 2) {
            std::fprintf(stderr, "nsf_open: a child failed\n");
            return 1;
        }
        childOpens.push_back(open);
        childFirsts.push_back(first);
    }
    Report("first open in a fresh process", childOpens);
    Report("then the first note open", childFirsts);
    Report("StandinDbCheck (reads the whole file)", checks);
    return 0;
}
