// The main loop's read of the server's app settings, which it makes for
// every request message: BuildServerAppSettings on HCR.nsf with this
// server's settings document present (goal: under 2 ms), beside the first
// read, which creates the document.
//
//   settings_read [DIR] [ROUNDS] [SERVERS]    defaults: /tmp/vanterra-bench-settings, 2000, 50
//
// Makes DIR afresh: notes.ini, HCR.nsf with the view "(Setup Doc)" and the
// settings documents of SERVERS other servers, so that the view has more
// than the one entry it is asked for. Prints the median, the 99th
// percentile and the largest time of a read.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "notes_api.h"
#include "server_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kServer[] = "CN=Bench/O=Acme";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void Check(STATUS status, const char *what) {
    if (status != NOERROR) {
        std::fprintf(stderr, "settings_read: %s failed: 0x%04X\n", what, status);
        std::exit(1);
    }
}

void MakeDataDirectory(const std::string &dir) {
    std::string command = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "settings_read: cannot make %s\n", dir.c_str());
        std::exit(1);
    }
    std::ofstream ini(dir + "/notes.ini");
    ini << "[Notes]\nDirectory=" << dir << "\nServerName=Bench/Acme\n";
}

void AddView(DBHANDLE db) {
    NOTEHANDLE view;
    Check(NSFNoteCreate(db, &view), "NSFNoteCreate");
    WORD cls = NOTE_CLASS_VIEW;
    NSFNoteSetInfo(view, _NOTE_CLASS, &cls);
    Check(NSFItemSetText(view, "$TITLE", "(Setup Doc)", MAXWORD), "NSFItemSetText");
    Check(NSFItemSetText(view, "$SelectionFormula", "SELECT Form = \"FServerLicense\"", MAXWORD),
          "NSFItemSetText");
    Check(NSFItemSetText(view, "$KeyFormula", "Server", MAXWORD), "NSFItemSetText");
    Check(NSFNoteUpdate(view, 0), "NSFNoteUpdate");
    NSFNoteClose(view);
}

void Report(const char *what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-34s median %.3f ms   p99 %.3f ms   max %.3f ms   (%zu reads)\n", what,
                ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(), ms.size());
}

}  // namespace

int main(int argc, char **argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp/vanterra-bench-settings";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int servers = argc > 3 ? std::atoi(argv[3]) : 50;
    if (rounds < 1 || servers < 0) {
        std::fprintf(stderr, "usage: settings_read [DIR] [ROUNDS] [SERVERS]\n");
        return 64;
    }
    MakeDataDirectory(dir);
    std::string arg = "=" + dir + "/notes.ini";
    char program[] = "settings_read";
    char *args[] = {program, arg.data(), nullptr};
    Check(NotesRuntimeStart(2, args), "NotesRuntimeStart");

    Check(NSFDbCreate("HCR.nsf", DBCLASS_NOTEFILE, FALSE), "NSFDbCreate");
    DBHANDLE db;
    Check(NSFDbOpen("HCR.nsf", &db), "NSFDbOpen");
    AddView(db);
    NSFDbClose(db);
    for (int i = 0; i < servers; i++) {
        std::string url, page, query;
        const std::string other = "CN=Server" + std::to_string(i) + "/O=Acme";
        BuildServerAppSettings(other.c_str(), "", url, page, query);
    }

    std::string url, page, query;
    auto start = Clock::now();
    BuildServerAppSettings(kServer, "", url, page, query);
    const double first = Ms(Clock::now() - start);
    if (query.empty()) {
        std::fprintf(stderr, "settings_read: no settings were read\n");
        return 1;
    }
    std::printf("first read, creating the document: %.3f ms\n", first);

    std::vector<double> times;
    times.reserve(rounds);
    for (int i = 0; i < rounds; i++) {
        url.clear();
        page.clear();
        query.clear();
        start = Clock::now();
        BuildServerAppSettings(kServer, "", url, page, query);
        times.push_back(Ms(Clock::now() - start));
    }
    Report("read with the document present", times);
    std::printf("iOS page %zu bytes, query \"%s\"\n", page.size(), query.c_str());
    NotesRuntimeEnd();
    return 0;
}
