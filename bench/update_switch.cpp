// The worker time of one switch on and one switch off (a new worker, the
// handler, its reset), through the agent and through the service, on mail
// files of the shipped mail design with busy time booked; the XML library
// held as the task holds it (goal: median under 5 ms each). Measured with
// the mail file held open by the process, as a server's database cache
// holds it, and closed between requests.
//
//   update_switch [CYCLES (500)]
//
// Each cycle switches on, then off; the figures go to standard error.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "iphcr.h"
#include "notes_api.h"
#include "xml_toolkit.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kReplyQueue[] = "MQ$BenchUpdate";

void Check(STATUS status, const char *what) {
    if (status != NOERROR) {
        char text[256];
        OSLoadString(nullptr, status, text, sizeof text);
        std::fprintf(stderr, "%s: %s\n", what, text);
        std::exit(1);
    }
}

void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A mail file of the shipped design (mail.ntf, which notesctl init makes)
// whose profile runs out-of-office through the agent (TaskType "1") or the
// service ("2") and books busy time.
void CreateMailFile(const std::string &path, const char *taskType) {
    DBHANDLE db = NULLHANDLE;
    Check(NSFDbCreateAndCopy("mail.ntf", path.c_str(), NOTE_CLASS_ALLNONDATA, 0, 0, &db),
          path.c_str());
    NOTEHANDLE profile = NULLHANDLE;
    Check(NSFProfileOpen(db, "OutOfOfficeProfile", 18, nullptr, 0, TRUE, &profile), "profile");
    Check(NSFItemSetText(profile, "Form", "OutOfOfficeProfile", MAXWORD), "Form");
    Check(NSFItemSetText(profile, "TaskType", taskType, MAXWORD), "TaskType");
    Check(NSFItemSetText(profile, "TaskState", "0", MAXWORD), "TaskState");
    Check(NSFItemSetText(profile, "BookBusyTime", "1", MAXWORD), "BookBusyTime");
    Check(NSFNoteUpdate(profile, 0), "profile update");
    NSFNoteClose(profile);
    NSFDbClose(db);
}

std::string Dates(const char *prefix, int days) {
    TIMEDATE t;
    OSCurrentTIMEDATE(&t);
    TimeDateAdjust(&t, 0, 0, 0, days, 0, 0);
    TIME local = TIME();
    local.GM = t;
    TimeGMToLocal(&local);
    char text[256];
    std::snprintf(text, sizeof text,
                  " %sYear=\"%d\" %sMonth=\"%d\" %sDay=\"%d\" %sHour=\"%d\" %sMin=\"%d\" "
                  "%sSec=\"%d\"",
                  prefix, local.year, prefix, local.month, prefix, local.day, prefix, local.hour,
                  prefix, local.minute, prefix, local.second);
    return text;
}

std::string Request(const char *mailBox, bool on) {
    return std::string("<Request><Username MQName=\"") + kReplyQueue +
           "\" MailServer=\"CN=Bench/O=Acme\" Action=\"2\" HCREnable=\"" + (on ? "1" : "0") +
           "\" MailBox=\"" + mailBox + "\"" + Dates("StartTime", 1) + Dates("EndTime", 4) +
           " Subject=\"Away\" Message=\"Back soon.&#10;Ask Sam.\" DaysOut=\"Out until var_Back.\" "
           "ASDEnable=\"1\" AppendSubject=\"1\" AppendSubjectDate=\"(back var_Back)\" "
           "ShowHours=\"\">CN=Jane Doe/O=Acme</Username></Request>";
}

// One update served as a request thread serves it; its worker time in ms.
double Serve(const std::string &path, const std::string &content, MQHANDLE replies) {
    WriteFile(path, content);
    const auto start = Clock::now();
    {
        IPHCR worker;
        worker.HandleXmlRequest(path);
        worker.Reset(true);
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    char text[MQ_MAX_MSGSIZE];
    WORD length = 0;
    STATUS status = MQGet(replies, text, sizeof text, 0, 0, &length);
    if (status != NOERROR || std::string(text, length) != "OK") {
        std::fprintf(stderr, "no OK reply: %s\n",
                     status == NOERROR ? std::string(text, length).c_str() : "none");
        std::exit(1);
    }
    return ms;
}

void Print(const char *what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
    std::fprintf(stderr, "%-28s n=%5zu  median %7.3f ms  p90 %7.3f  p99 %7.3f  max %7.3f\n", what,
                 ms.size(), at(0.5), at(0.9), at(0.99), ms.back());
}

}  // namespace

int main(int argc, char **argv) {
    const int cycles = argc > 1 ? std::atoi(argv[1]) : 500;
    char pattern[] = "/tmp/update_switch.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    const std::string root = pattern;
    const std::string dir = root + "/data";
    const std::string init =
        "'" + std::string(NOTESCTL_PATH) + "' init '" + dir + "' --server Bench/Acme >/dev/null";
    if (std::system(init.c_str()) != 0) {
        std::fprintf(stderr, "notesctl init failed\n");
        return 1;
    }
    std::string iniArg = "=" + dir + "/notes.ini";
    char program[] = "update_switch";
    char *args[] = {program, &iniArg[0], nullptr};
    Check(NotesRuntimeStart(2, args), "NotesRuntimeStart");
    CreateMailFile("mail/agent.nsf", "1");
    CreateMailFile("mail/service.nsf", "2");
    MQHANDLE replies = 0;
    Check(MQCreate(kReplyQueue, 0, 0), "MQCreate");
    Check(MQOpen(kReplyQueue, 0, &replies), "MQOpen");
    if (!xml_toolkit::Start())
        return 1;

    const std::string path = dir + "/request.xml";
    // A server keeps its databases open between requests; the stand-in
    // folds a database's log into its file when the last handle closes,
    // which costs a flush to disk. Both are measured.
    for (bool held : {true, false}) {
        std::fprintf(
            stderr, "worker time of one switch (new worker, handler, reset), %s:\n",
            held ? "mail file held open by the process" : "mail file closed between requests");
        DBHANDLE heldDbs[2] = {NULLHANDLE, NULLHANDLE};
        if (held) {
            Check(NSFDbOpen("mail/agent.nsf", &heldDbs[0]), "hold");
            Check(NSFDbOpen("mail/service.nsf", &heldDbs[1]), "hold");
        }
        for (const char *mailBox : {"mail/agent", "mail/service"}) {
            for (int i = 0; i < 20; i++) {  // warm-up
                Serve(path, Request(mailBox, true), replies);
                Serve(path, Request(mailBox, false), replies);
            }
            const std::string on = Request(mailBox, true), off = Request(mailBox, false);
            std::vector<double> onMs, offMs;
            for (int i = 0; i < cycles; i++) {
                onMs.push_back(Serve(path, on, replies));
                offMs.push_back(Serve(path, off, replies));
            }
            const std::string road = std::strstr(mailBox, "agent") ? "agent" : "service";
            Print(("  on through the " + road).c_str(), onMs);
            Print(("  off through the " + road).c_str(), offMs);
        }
        for (DBHANDLE db : heldDbs) {
            if (db != NULLHANDLE)
                NSFDbClose(db);
        }
    }

    xml_toolkit::Stop();
    MQClose(replies, 0);
    NotesRuntimeEnd();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
