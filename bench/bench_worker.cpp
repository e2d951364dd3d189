// The worker's reads and queries in this process:
//   - the worker time of one read (a new worker, the handler, its reset),
//     for a user on the agent and one on the service, with the XML library
//     held as the task holds it, and for comparison without the hold
//     (goal: median under 2 ms, p99 under 5 ms);
//   - a query over a group of 100 members (goal: under 50 ms);
//   - memory and open handles after 10,000 reads through the request-thread
//     entry against after 100 (goal: growth under 1 MB, handles back at 0).
//
//   bench_worker [READS (2000)] [THREAD_READS (10000)]
//
// The figures go to standard error; the task's log lines to standard output.
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_mail_data.h"
#include "iphcr.h"
#include "request_thread.h"
#include "standin/runtime.h"
#include "win32.h"
#include "xml_toolkit.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kReplyQueue[] = "MQ$BenchReply";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string Request(const std::string &attributes, const std::string &user) {
    return std::string("<Request><Username MQName=\"") + kReplyQueue + "\" " + attributes + ">" +
           user + "</Username></Request>";
}

// Takes the one reply; exits when it is not "OK".
void ExpectOk(MQHANDLE queue, const char *what) {
    char text[MQ_MAX_MSGSIZE];
    WORD length = 0;
    STATUS status = MQGet(queue, text, sizeof text, 0, 0, &length);
    if (status != NOERROR || std::string(text, length) != "OK") {
        std::fprintf(stderr, "%s: no OK reply (%s)\n", what,
                     status == NOERROR ? std::string(text, length).c_str() : "none");
        std::exit(1);
    }
}

struct Figures {
    double median, p90, p99, max;
};

Figures Summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
    return {at(0.5), at(0.9), at(0.99), ms.back()};
}

void Print(const char *what, const std::vector<double> &ms) {
    const Figures f = Summarise(ms);
    std::fprintf(stderr, "%-44s n=%5zu  median %7.3f ms  p90 %7.3f  p99 %7.3f  max %7.3f\n", what,
                 ms.size(), f.median, f.p90, f.p99, f.max);
}

// One request served as a request thread serves it, on this thread.
std::vector<double> Serve(const std::string &path, const std::string &content, MQHANDLE replies,
                          int count, const char *what) {
    std::vector<double> ms;
    for (int i = 0; i < count; i++) {
        WriteFile(path, content);
        const auto start = Clock::now();
        {
            IPHCR worker;
            worker.SetUseOooApi(1);
            worker.HandleXmlRequest(path);
            worker.Reset(true);
        }
        ms.push_back(Ms(Clock::now() - start));
        ExpectOk(replies, what);
    }
    return ms;
}

long RssKb() {
    malloc_trim(0);
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    const int reads = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int threadReads = argc > 2 ? std::atoi(argv[2]) : 10000;
    char pattern[] = "/tmp/bench_worker.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    const std::string dir = pattern;
    WriteFile(dir + "/notes.ini",
              "[Notes]\nDirectory=" + dir + "\nServerName=Bench/Acme\nHCRUseOOOAPI=1\n");
    std::string iniArg = "=" + dir + "/notes.ini";
    char program[] = "bench_worker";
    char *args[] = {program, &iniArg[0], nullptr};
    bench_data::Check(NotesRuntimeStart(2, args), "NotesRuntimeStart");

    bench_data::CreateMailFile("mail/agent.nsf", "CN=Jane Doe/O=Acme", false);
    bench_data::CreateMailFile("mail/service.nsf", "CN=Rob Roe/O=Acme", true);
    DBHANDLE names = bench_data::CreateDirectory();
    std::vector<std::string> members;
    for (int i = 0; i < 100; i++) {
        const std::string name = "CN=Member " + std::to_string(i) + "/O=Acme";
        const std::string file = "mail/m" + std::to_string(i) + ".nsf";
        bench_data::CreateMailFile(file, name, i % 2 == 0);
        bench_data::AddPerson(names, name, "CN=Bench/O=Acme", file);
        members.push_back(name);
    }
    bench_data::AddGroup(names, "Hundred", members);
    NSFDbClose(names);

    MQHANDLE replies = 0;
    bench_data::Check(MQCreate(kReplyQueue, 0, 0), "MQCreate");
    bench_data::Check(MQOpen(kReplyQueue, 0, &replies), "MQOpen");
    const std::string path = dir + "/request.xml";
    const std::string agentRead =
        Request("Action=\"1\" MailBox=\"mail/agent\"", "CN=Jane Doe/O=Acme");
    const std::string serviceRead =
        Request("Action=\"1\" MailBox=\"mail/service\"", "CN=Rob Roe/O=Acme");

    std::fprintf(stderr, "worker time of one read (new worker, handler, reset):\n");
    if (!xml_toolkit::Start())
        return 1;
    Serve(path, agentRead, replies, 50, "warm-up");
    Print("  agent, XML library held", Serve(path, agentRead, replies, reads, "agent read"));
    Print("  service, XML library held", Serve(path, serviceRead, replies, reads, "service read"));
    xml_toolkit::Stop();
    Print("  agent, XML library started per worker",
          Serve(path, agentRead, replies, std::max(1, reads / 10), "agent read"));
    if (!xml_toolkit::Start())
        return 1;

    std::fprintf(stderr, "query of a group of 100 members:\n");
    Print("  Hundred", Serve(path, Request("Action=\"3\" QueryUser=\"CN=Boss/O=Acme\"", "Hundred"),
                             replies, 20, "query"));

    std::fprintf(stderr,
                 "reads through the request-thread entry (a thread each, one at a time):\n");
    auto running = std::make_shared<RunningRequests>();
    const DWORD baseHandles = StandinHandleCount(STANDIN_HANDLE_ANY);
    long rssAfter100 = 0;
    DWORD handlesAfter100 = 0;
    const auto start = Clock::now();
    for (int i = 1; i <= threadReads; i++) {
        WriteFile(path, i % 2 ? agentRead : serviceRead);
        std::unique_ptr<RequestContext> record(new RequestContext());
        record->requestFilePath = path;
        record->productDbBuild = 450;
        if (!StartRequestThread(std::move(record), running))
            return 1;
        while (running->Count() != 0)
            Sleep(0);
        ExpectOk(replies, "thread read");
        if (i == 100) {
            rssAfter100 = RssKb();
            handlesAfter100 = StandinHandleCount(STANDIN_HANDLE_ANY) - baseHandles;
        }
    }
    const double seconds = Ms(Clock::now() - start) / 1000;
    const long rssAfterAll = RssKb();
    std::fprintf(stderr, "  %d reads in %.1f s (%.2f ms each)\n", threadReads, seconds,
                 seconds * 1000 / threadReads);
    std::fprintf(stderr, "  VmRSS after 100: %ld kB, after %d: %ld kB, growth %ld kB\n",
                 rssAfter100, threadReads, rssAfterAll, rssAfterAll - rssAfter100);
    std::fprintf(stderr, "  open handles beyond the bench's own: after 100: %u, after %d: %u\n",
                 handlesAfter100, threadReads,
                 StandinHandleCount(STANDIN_HANDLE_ANY) - baseHandles);

    xml_toolkit::Stop();
    MQClose(replies, 0);
    NotesRuntimeEnd();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
