// The real task, run as a process on a data directory that notesctl makes,
// driven through notesctl as the front end and the server console drive it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "data_dir.h"
#include "mail_fixture.h"
#include "notes_api.h"
#include "process.h"
#include "standin/nsf.h"
#include "test_support.h"
#include "update_fixture.h"

namespace {

using e2e::Background;
using e2e::Lines;
using e2e::OwnQueue;
using e2e::RunResult;
using e2e::RuntimeOn;
using test_support::ReadFile;
using test_support::WriteFile;

const char kVanterra[] = VANTERRA_PATH;
// What the task may take from the machine after hostile requests; the
// sanitizers' own bookkeeping needs more.
const long kMemoryLimitKb = TASK_MEMORY_LIMIT_KB;

// Longer than notesctl's own tests give it: here a task runs beside it.
RunResult Notesctl(const std::vector<std::string> &args, double timeout = 120) {
    return e2e::Notesctl(args, timeout);
}

std::string StatusText(STATUS status) {
    char text[256];
    OSLoadString(nullptr, status, text, sizeof text);
    return text;
}

// The console's log lines, without their time stamps: "Halcyra: ...".
std::vector<std::string> LogLines(const std::string &console) {
    std::vector<std::string> lines;
    for (const std::string &line : Lines(console)) {
        size_t at = line.find("Halcyra: ");
        if (at != std::string::npos)
            lines.push_back(line.substr(at));
    }
    return lines;
}

bool Contains(const std::vector<std::string> &lines, const std::string &line) {
    for (const std::string &l : lines) {
        if (l == line)
            return true;
    }
    return false;
}

// A request file: one Username element with the given attributes.
std::string Request(const std::string &attributes, const std::string &user = "CN=Nobody/O=Acme") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Request><Username " + attributes + ">" +
           user + "</Username></Request>\n";
}

// A value of /proc/PID/status in kB ("VmHWM"), or -1.
long ProcStatusKb(pid_t pid, const std::string &key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::stol(line.substr(key.size() + 1));
    }
    return -1;
}

// The CPU time that the process has used so far (user and system), in
// seconds, or -1.
double ProcCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t nameEnd = stat.rfind(')');  // the name may hold blanks
    if (nameEnd == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string skipped;
    for (int field = 3; field < 14; field++)  // state .. cmajflt
        fields >> skipped;
    long user = 0, system = 0;
    if (!(fields >> user >> system))
        return -1;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A request file in UTF-16 (little-endian, with its byte order mark).
std::string Utf16File(const std::u16string &text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

// A request at the size limit of request files whose elements each take a
// copy of an attribute default of its document type.
std::string DefaultsCopiedInto(const std::string &declarations, const std::string &element) {
    const size_t limit = 256 * 1024;
    std::string xml = "<!DOCTYPE r [" + declarations + "]><r><Username>u</Username>";
    while (xml.size() + element.size() + 4 <= limit)
        xml += element;
    return xml + "</r>";
}

// The task's data directory. Tests that count what arrives start the test
// process's own runtime on it (RuntimeOn) and keep their queues alive
// themselves (OwnQueue).
class TaskTest : public e2e::DataDirFixture {
  protected:
    // Starts vanterra; with ready, waits until it serves requests. A shell
    // command given runs first, in the shell that then becomes the task
    // ("ulimit -v ..." for instance).
    std::unique_ptr<Background> Start(bool ready = true, const std::string &name = "console",
                                      const std::string &shellSetup = "") {
        std::vector<std::string> argv = {kVanterra, "=" + dir_ + "/notes.ini"};
        if (!shellSetup.empty())
            argv.insert(argv.begin(), {"/bin/sh", "-c", shellSetup + " && exec \"$0\" \"$@\""});
        auto task = std::make_unique<Background>(argv, tmp_.file(name + ".txt"));
        if (ready) {
            bool up = e2e::WaitFor(
                [&] {
                    return Contains(LogLines(task->Output()), "Halcyra: Initialization Complete") &&
                           Notesctl({"show", dir_, "queues"}).out.find("MQ$OutOfOffice ") !=
                               std::string::npos;
                },
                60);
            EXPECT_TRUE(up) << task->Output();
        }
        return task;
    }

    // Sends a request file through notesctl request.
    RunResult Send(const std::string &name, const std::string &content, double timeout = 60) {
        const std::string path = tmp_.file(name);
        WriteFile(path, content);
        return Notesctl({"request", dir_, path, "--timeout", std::to_string(timeout)});
    }

    // Puts a request straight on the task's queue, for a test that holds the
    // reply queue itself and so sees every reply that comes (notesctl request
    // refuses a reply queue that another process holds); returns the reply,
    // or "" with *status telling why none came within timeoutMs.
    std::string SendWatched(const std::string &name, const std::string &content, MQHANDLE replies,
                            DWORD timeoutMs, STATUS *status) {
        const std::string path = dir_ + "/requests/" + name;
        WriteFile(path, content);
        RunResult put = Notesctl({"queue", dir_, "MQ$OutOfOffice", "--put", path});
        EXPECT_EQ(put.exitCode, 0) << put.err;
        std::vector<char> buffer(MQ_MAX_MSGSIZE);
        WORD length = 0;
        *status = MQGet(replies, buffer.data(), MQ_MAX_MSGSIZE, 0, timeoutMs, &length);
        return *status == NOERROR ? std::string(buffer.data(), length) : std::string();
    }

    // A request that the task serves (and answers, with whatever its read
    // gives for a user who does not exist): proof that it still serves.
    void ExpectServes(const std::string &why) {
        static int n = 0;
        RunResult r = Send("next" + std::to_string(n++) + ".xml",
                           Request("MQName=\"MQ$Next\" Action=\"1\""), 60);
        EXPECT_EQ(r.exitCode, 0) << why << ": " << r.err;
        EXPECT_GT(r.out.size(), 1u) << why;
    }

    // Tells the task to quit and checks an orderly end. That the stop ends
    // the task's wait on its queue at once is shown by the queue's unit
    // tests; here the bound only keeps a task that does not stop from
    // hanging the test, on however busy a machine.
    void StopAndCheck(Background &task) {
        RunResult told = Notesctl({"tell", dir_, "vanterra", "quit"});
        EXPECT_EQ(told.exitCode, 0) << told.err;
        EXPECT_TRUE(task.Wait(60)) << task.Output();
        EXPECT_EQ(task.exitCode(), 0);
        EXPECT_EQ(LogLines(task.Output()).back(), "Halcyra: Shutdown Complete");
    }
};

TEST_F(TaskTest, StartUpShowsItsLinesStatusAndQueues) {
    auto task = Start();
    std::vector<std::string> log = LogLines(task->Output());
    // The first start on a new data directory makes HCR.nsf.
    ASSERT_GE(log.size(), 5u) << task->Output();
    EXPECT_EQ(
        std::vector<std::string>(log.begin(), log.begin() + 5),
        (std::vector<std::string>{
            "Halcyra: Initializing", "Halcyra: Setting up the Halcyra Database",
            "Halcyra: Finished setting up the Halcyra Database", "Halcyra: Initialization Complete",
            "Halcyra: Program Version 2.3.1 Build 2051"}));

    RunResult tasks = Notesctl({"show", dir_, "tasks"});
    ASSERT_EQ(tasks.exitCode, 0) << tasks.err;
    std::vector<std::string> rows = Lines(tasks.out);
    ASSERT_EQ(rows.size(), 2u) << tasks.out;
    EXPECT_EQ(rows[1].substr(0, rows[1].find(' ')), "Halcyra");
    EXPECT_EQ(rows[1].substr(rows[1].find_last_of(' ') + 1), "Idle");

    RunResult list = Notesctl({"show", dir_, "queue", "MQ$HCRServletList"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    std::vector<std::string> messages = Lines(list.out);
    ASSERT_EQ(messages.size(), 50u);
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(messages[i], "MQ$HCRServletList_" + std::to_string(i));

    RunResult queues = Notesctl({"show", dir_, "queues"});
    EXPECT_NE(queues.out.find("\nMQ$OutOfOffice "), std::string::npos) << queues.out;

    StopAndCheck(*task);
}

TEST_F(TaskTest, DatesThatDoNotConvertGetExactlyOneReplyAndNoLog) {
    const std::string leaving = "The leaving date is invalid..";
    const std::string returning = "The returning date is invalid.";
    struct Case {
        const char *what;
        std::string dates;
        std::string reply;
    } cases[] = {
        {"both months 13",
         "StartTimeYear=\"2031\" StartTimeMonth=\"13\" StartTimeDay=\"1\" "
         "EndTimeYear=\"2031\" EndTimeMonth=\"13\" EndTimeDay=\"2\"",
         leaving},
        {"both without a year",
         "StartTimeMonth=\"3\" StartTimeDay=\"1\" EndTimeMonth=\"3\" "
         "EndTimeDay=\"2\"",
         leaving},
        {"a bad leave, a good return",
         "StartTimeYear=\"2031\" StartTimeMonth=\"2\" "
         "StartTimeDay=\"30\" EndTimeYear=\"2031\" "
         "EndTimeMonth=\"3\" EndTimeDay=\"9\"",
         leaving},
        {"only the return hour 24",
         "StartTimeYear=\"2031\" StartTimeMonth=\"3\" "
         "StartTimeDay=\"4\" EndTimeYear=\"2031\" EndTimeMonth=\"3\" "
         "EndTimeDay=\"9\" EndTimeHour=\"24\"",
         returning},
        {"only start attributes: the empty return fails",
         "StartTimeYear=\"2031\" "
         "StartTimeMonth=\"3\" StartTimeDay=\"4\"",
         returning},
    };
    auto task = Start();
    RuntimeOn runtime(dir_);
    ASSERT_NOERROR(runtime.status());
    const size_t logBefore = LogLines(task->Output()).size();
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string queue = "MQ$Dates_" + std::to_string(n);
        OwnQueue replies(queue);  // kept alive here, so every reply can be counted
        ASSERT_NOERROR(replies.status);
        for (const char *action : {"1", "2"}) {
            STATUS status = NOERROR;
            std::string reply = SendWatched(
                "dates" + std::to_string(n++) + ".xml",
                Request("MQName=\"" + queue + "\" Action=\"" + action + "\" " + c.dates),
                replies.handle, 60000, &status);
            EXPECT_NOERROR(status);
            EXPECT_EQ(reply, "receiveElements:" + c.reply);
        }
        ExpectServes(c.what);
        EXPECT_EQ(replies.count(), 0) << "a second reply came";
    }
    EXPECT_EQ(LogLines(task->Output()).size(), logBefore) << task->Output();
    StopAndCheck(*task);
}

TEST_F(TaskTest, RequestsThatGetNoReplyLeaveNoTraceAndTheTaskGoesOn) {
    auto task = Start();
    RuntimeOn runtime(dir_);
    ASSERT_NOERROR(runtime.status());
    OwnQueue silent("MQ$Silent");
    ASSERT_NOERROR(silent.status);
    const size_t logBefore = LogLines(task->Output()).size();

    // No MQName: nothing to answer on.
    RunResult none = Send("nomq.xml", Request("Action=\"1\""));
    EXPECT_EQ(none.exitCode, 2);
    ExpectServes("after a request without MQName");

    // A path of a file that does not exist, straight on the queue.
    RunResult put =
        Notesctl({"queue", dir_, "MQ$OutOfOffice", "--put", dir_ + "/requests/gone.xml"});
    EXPECT_EQ(put.exitCode, 0) << put.err;
    ExpectServes("after a missing request file");

    // Malformed, with the reply queue named before the break.
    STATUS status = NOERROR;
    SendWatched("bad.xml", "<Request><Username MQName=\"MQ$Silent\" Action=\"1\">x</Request>",
                silent.handle, 1000, &status);
    ExpectServes("after a malformed file");
    Send("binary.xml", std::string("\x00\xFF\xFE garbage", 11), 1);
    ExpectServes("after a file that is not text");

    // An Action that is none of 1, 2, 3.
    for (const char *action : {"4", "", "9", "x"}) {
        std::string reply =
            SendWatched(std::string("action") + action + ".xml",
                        Request(std::string("MQName=\"MQ$Silent\" Action=\"") + action + "\""),
                        silent.handle, 3000, &status);
        EXPECT_EQ(status, ERR_MQ_TIMEOUT) << action << ": " << reply;
        ExpectServes(std::string("after Action ") + action);
    }

    EXPECT_EQ(silent.count(), 0);
    EXPECT_EQ(LogLines(task->Output()).size(), logBefore) << task->Output();
    StopAndCheck(*task);
}

TEST_F(TaskTest, HostileRequestFilesChangeNothingReadNothingAndCostLittle) {
    const std::string secret = tmp_.file("secret.txt");
    WriteFile(secret, "TOPSECRET-CONTENT");
    // A reader that opened this pipe would be seen by a writer's open.
    const std::string pipe = tmp_.file("secret.pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);

    std::string laughs = "<!DOCTYPE r [<!ENTITY l0 \"lollollollollollollollollollol\">";
    for (int i = 1; i <= 9; i++) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; j++)
            laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    laughs += "]><r><Username MQName=\"MQ$Hostile\" Action=\"1\">&l9;</Username></r>";
    const std::vector<std::pair<std::string, std::string>> files = {
        {"entity-file",
         "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret +
             "\">]><r><Username MQName=\"MQ$Hostile\" Action=\"1\">&x;</Username></r>"},
        {"entity-pipe",
         "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + pipe +
             "\">]><r><Username MQName=\"MQ$Hostile\" Action=\"1\">&x;</Username></r>"},
        {"external-dtd", "<!DOCTYPE r SYSTEM \"" + pipe +
                             "\"><r><Username MQName=\"MQ$Hostile\" Action=\"1\">u</Username></r>"},
        {"parameter-entity", "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + secret +
                                 "\"> %p;]><r><Username MQName=\"MQ$Hostile\" Action=\"1\">u"
                                 "</Username></r>"},
        {"laughs", laughs},
    };

    auto task = Start();
    // The first message makes this server's settings document in HCR.nsf;
    // from then on no request changes the file.
    ExpectServes("before the hostile files");
    const std::string hcrBefore = ReadFile(dir_ + "/HCR.nsf");
    for (const auto &f : files) {
        SCOPED_TRACE(f.first);
        RunResult r = Send(f.first + ".xml", f.second, 5);
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 2) << r.err;
        EXPECT_EQ(r.out.find("TOPSECRET"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("lollol"), std::string::npos) << r.out;
        std::string replyFile = ReadFile(dir_ + "/requests/" + f.first + ".xml");
        EXPECT_EQ(replyFile.find("TOPSECRET"), std::string::npos);
        ExpectServes("after " + f.first);
        int writer = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_EQ(writer, -1) << "the task opened the pipe";
        EXPECT_EQ(errno, ENXIO);
        if (writer >= 0)
            close(writer);
    }
    long hwm = ProcStatusKb(task->pid(), "VmHWM");
    long rss = ProcStatusKb(task->pid(), "VmRSS");
    RecordProperty("VmHWM_kB", std::to_string(hwm));
    EXPECT_GT(hwm, 0);
    EXPECT_LT(hwm, kMemoryLimitKb) << "VmHWM " << hwm << " kB, VmRSS " << rss << " kB";
    EXPECT_EQ(ReadFile(secret), "TOPSECRET-CONTENT");
    EXPECT_EQ(ReadFile(dir_ + "/HCR.nsf"), hcrBefore);
    EXPECT_EQ(task->Output().find("TOPSECRET"), std::string::npos);
    StopAndCheck(*task);
}

// Files that took the task down before: a value with half a surrogate pair
// (its conversion spun for ever), attribute defaults that the parser copies
// into every element (gigabytes from a small file), and the abort after a
// parse that ran out of memory. Each fails as one request, the task goes back
// to idle and stays small, and the next request is served, also under an
// address-space limit. Files that are answered go through notesctl; the
// others, and the one whose name is not UTF-8, are put on the queue here.
TEST_F(TaskTest, HostileFilesOfEveryKindFailAsOneRequestEach) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer reserves terabytes of address space, so no limit; it
    // keeps freed blocks for a while and pads every block, so a small
    // quarantine and room for the padding.
    const std::string setup =
        "export ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=16\"";
    const long peakAboveIdleKb = 128 * 1024;
#else
    const std::string setup = "ulimit -v " + std::to_string(3L * 1024 * 1024);  // 3 GB
    const long peakAboveIdleKb = 64 * 1024;
#endif
    auto task = Start(true, "console", setup);
    RuntimeOn runtime(dir_);
    ASSERT_NOERROR(runtime.status());
    const pid_t pid = task->pid();
#if !defined(__SANITIZE_ADDRESS__)
    {
        std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
        std::string line;
        while (std::getline(limits, line) && line.rfind("Max address space", 0) != 0) {
        }
        EXPECT_NE(line.find(" 3221225472 "), std::string::npos) << "no limit in place: " << line;
    }
#endif
    const long idleThreads = ProcStatusKb(pid, "Threads");
    ASSERT_GT(idleThreads, 0);
    auto backToIdle = [&](const std::string &after) {
        EXPECT_TRUE(e2e::WaitFor([&] { return ProcStatusKb(pid, "Threads") == idleThreads; }, 120))
            << "a request thread is still running after " << after;
    };
    ExpectServes("before the hostile files");
    backToIdle("the first request");
    const long idleKb = ProcStatusKb(pid, "VmRSS");

    auto put = [&](const std::string &name, const std::string &content) {
        const std::string path = dir_ + "/requests/" + name;
        WriteFile(path, content);
        MQHANDLE queue = 0;
        ASSERT_NOERROR(MQOpen("MQ$OutOfOffice", 0, &queue));
        EXPECT_NOERROR(MQPut(queue, 0, path.data(), static_cast<WORD>(path.size()), 0));
        MQClose(queue, 0);
    };

    // Half a pair after the reply queue was read: answered at once.
    const std::u16string half(1, char16_t(0xD800));
    const std::u16string first = u"<r><Username MQName=\"MQ$Half\">CN=Nobody/O=Acme</Username>";
    for (const std::u16string &attribute :
         {u"Message=\"away" + half + u"\"", u"Action=\"1" + half + u"\"",
          u"LoginName=\"jdoe" + half + u"\"", u"MailBox=\"mail" + half + u"&amp;\""}) {
        const std::string what(attribute.begin(), attribute.end());
        RunResult r =
            Send("half.xml", Utf16File(first + u"<Username " + attribute + u">x</Username></r>"));
        EXPECT_EQ(r.exitCode, 0) << what << ": " << r.err;
        EXPECT_EQ(r.out, "receiveElements:Unexpected Exception\n\n") << what;
        ExpectServes("after " + what);
        backToIdle(what);
    }
    // Half a pair in the reply queue's own name, and the parser's copies:
    // no reply can come.
    std::string refs;
    for (int i = 0; i < 15; i++)
        refs += "&e;";
    std::string many;
    for (int i = 0; i < 100; i++)
        many += " a" + std::to_string(i) + " CDATA \"" + std::string(1000, 'z') + "\"";
    const std::vector<std::pair<std::string, std::string>> silent = {
        {"half-queue",
         Utf16File(u"<r><Username MQName=\"MQ$Half" + half + u"\" Action=\"1\">x</Username></r>")},
        {"default-of-an-entity", DefaultsCopiedInto("<!ENTITY e \"" + std::string(12000, 'x') +
                                                        "\"><!ATTLIST n a CDATA \"" + refs + "\">",
                                                    "<n/>")},
        {"default-written-out",
         DefaultsCopiedInto("<!ATTLIST n a CDATA \"" + std::string(100000, 'y') + "\">", "<n/>")},
        {"many-defaults", DefaultsCopiedInto("<!ATTLIST n" + many + ">", "<n/>")},
        {"defaults-of-username",
         DefaultsCopiedInto("<!ATTLIST Username MQName CDATA \"MQ$Half\" Message CDATA \"" +
                                std::string(100000, 'm') + "\">",
                            "<Username/>")},
    };
    OwnQueue halfReplies("MQ$Half");
    ASSERT_NOERROR(halfReplies.status);
    for (const auto &f : silent) {
        SCOPED_TRACE(f.first);
        put(f.first + ".xml", f.second);
        ExpectServes("after " + f.first);
        backToIdle(f.first);
    }
    EXPECT_EQ(halfReplies.count(), 0) << "a refused file was answered";

    // A name that is not UTF-8 (Latin-1 "café") is read like any other: its
    // reply is the one that the same request under a plain name gets.
    OwnQueue latin("MQ$Latin");
    ASSERT_NOERROR(latin.status);
    std::vector<std::string> replies;
    for (const std::string name : {"cafe.xml", "caf\xE9.xml"}) {
        put(name, Request("MQName=\"MQ$Latin\" Action=\"1\""));
        std::vector<char> buffer(MQ_MAX_MSGSIZE);
        WORD length = 0;
        STATUS status = MQGet(latin.handle, buffer.data(), static_cast<WORD>(buffer.size()), 0,
                              120 * 1000, &length);
        EXPECT_NOERROR(status);
        replies.emplace_back(buffer.data(), status == NOERROR ? length : 0);
    }
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_FALSE(replies[0].empty());
    EXPECT_EQ(replies[1], replies[0]);
    backToIdle("the Latin-1 name");

    // Idle again: a thread that spun would keep adding CPU time.
    const double cpuBefore = ProcCpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double cpuAfter = ProcCpuSeconds(pid);
    ASSERT_GE(cpuBefore, 0);
    EXPECT_LT(cpuAfter - cpuBefore, 1.0) << "CPU seconds in 3 s of idling";
    const long hwm = ProcStatusKb(pid, "VmHWM");
    RecordProperty("VmHWM_above_idle_kB", std::to_string(hwm - idleKb));
    EXPECT_LT(hwm - idleKb, peakAboveIdleKb) << "VmHWM " << hwm << " kB, idle " << idleKb << " kB";
    // No request thread is left for shutdown to wait for: the task stops
    // without waiting out its bound for them.
    ASSERT_TRUE(task->running());
    RunResult told = Notesctl({"tell", dir_, "vanterra", "quit"});
    EXPECT_EQ(told.exitCode, 0) << told.err;
    ASSERT_TRUE(task->Wait(120)) << task->Output();
    EXPECT_EQ(task->exitCode(), 0);
    const std::vector<std::string> log = LogLines(task->Output());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Halcyra: Shutdown Complete");
    for (const std::string &line : log)
        EXPECT_EQ(line.find("still running"), std::string::npos) << line;
}

TEST_F(TaskTest, TellQuitAndSigtermEachStopTheTaskInOrder) {
    {
        auto task = Start();
        StopAndCheck(*task);
    }
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        auto task = Start(true, "console" + std::to_string(sig));
        task->Signal(sig);
        EXPECT_TRUE(task->Wait(60));
        EXPECT_EQ(task->exitCode(), 0);
        std::vector<std::string> log = LogLines(task->Output());
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "Halcyra: Shutdown Complete");
        EXPECT_FALSE(Contains(log, "Halcyra: " + StatusText(ERR_MQ_TIMEOUT)));
    }
    RunResult none = Notesctl({"tell", dir_, "vanterra", "quit"});
    EXPECT_EQ(none.exitCode, 1);
}

TEST_F(TaskTest, QuitPendingStopsTheIntakeAndShutdownLogsIt) {
    auto task = Start();
    ExpectServes("before quit pending");
    RunResult quit = Notesctl({"queue", dir_, "MQ$OutOfOffice", "--quit-pending"});
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    RunResult refused = Send("late.xml", Request("MQName=\"MQ$Late\" Action=\"1\""), 3);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find(StatusText(ERR_MQ_QUITTING)), std::string::npos) << refused.err;
    // Let a gated turn of the loop (one a second) see the flag; nothing shows
    // that it did before the shutdown, so the wait is long enough for a busy
    // machine.
    std::this_thread::sleep_for(std::chrono::milliseconds(5000));
    StopAndCheck(*task);
    std::vector<std::string> log = LogLines(task->Output());
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Halcyra: " + StatusText(ERR_MQ_QUITTING));
}

TEST_F(TaskTest, ASecondTaskOnTheSameDirectoryRefusesToStart) {
    auto first = Start();
    auto second = Start(false, "second");
    EXPECT_TRUE(second->Wait(60)) << second->Output();
    std::vector<std::string> log = LogLines(second->Output());
    EXPECT_TRUE(Contains(log, "Halcyra: " + StatusText(ERR_DUPLICATE_MQ))) << second->Output();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Halcyra: Shutdown Complete");

    EXPECT_TRUE(first->running());
    ExpectServes("the first task, after the second ended");
    RunResult list = Notesctl({"show", dir_, "queue", "MQ$HCRServletList"});
    EXPECT_EQ(Lines(list.out).size(), 50u);
    StopAndCheck(*first);
}

TEST_F(TaskTest, AKilledTaskCanBeRestartedOnTheSameDirectory) {
    auto first = Start();
    ExpectServes("the first run");
    first->Signal(SIGKILL);
    ASSERT_TRUE(first->Wait(60));

    auto second = Start(true, "second");
    ExpectServes("the second run");
    RunResult list = Notesctl({"show", dir_, "queue", "MQ$HCRServletList"});
    EXPECT_EQ(Lines(list.out).size(), 50u) << list.out;
    RunResult tasks = Notesctl({"show", dir_, "tasks"});
    EXPECT_EQ(Lines(tasks.out).size(), 2u) << tasks.out;  // the dead one is not listed
    StopAndCheck(*second);
}

TEST_F(TaskTest, WithoutItsDatabaseNorTemplatesTheTaskLogsWhyAndEnds) {
    RunResult init = Notesctl(
        {"init", dir_, "--force", "--no-template", "HCR.ntf", "--no-template", "HCREx.ntf"});
    ASSERT_EQ(init.exitCode, 0) << init.err;
    auto task = Start(false);
    EXPECT_TRUE(task->Wait(60)) << task->Output();
    EXPECT_EQ(task->exitCode(), 0);
    std::vector<std::string> log = LogLines(task->Output());
    EXPECT_EQ(log, (std::vector<std::string>{
                       "Halcyra: Initializing", "Halcyra: Setting up the Halcyra Database",
                       "Halcyra: Error setting up the Halcyra Database.",
                       "Halcyra: " + StatusText(ERR_NOEXIST), "Halcyra: Shutdown Complete"}))
        << task->Output();
    RunResult queues = Notesctl({"show", dir_, "queues"});
    EXPECT_EQ(Lines(queues.out).size(), 1u) << queues.out;  // no queue was made
    for (const char *file : {"HCR.nsf", "HCR.ntf", "HCREx.ntf"})
        EXPECT_FALSE(test_support::FileExists(dir_ + "/" + file)) << file;
}

// The reply file that notesctl names on its standard error.
std::string ReplyFile(const RunResult &r) {
    const std::string mark = "reply file: ";
    const size_t at = r.err.find(mark);
    if (at == std::string::npos)
        return std::string();
    const size_t end = r.err.find('\n', at);
    return r.err.substr(at + mark.size(), end == std::string::npos ? end : end - at - mark.size());
}

// A task with a directory and mail files, built through the platform's
// calls by the test process while the task runs: people on the task's own
// server, one whose mail server "Mail1/Demo" may go down and whose cluster
// mate "Mate/Demo" holds the mail file, and groups of them.
class ServedTaskTest : public TaskTest {
  protected:
    void SetUp() override {
        TaskTest::SetUp();
        runtime.reset(new RuntimeOn(dir_));
        ASSERT_NOERROR(runtime->status());
        using worker_test::Text;
        ASSERT_NOERROR(StandinServerRegister("CN=Mail1/O=Demo", mail1.path().c_str()));
        ASSERT_NOERROR(StandinServerRegister("CN=Mate/O=Demo", mate.path().c_str()));
        worker_test::Directory directory;
        directory.Server("CN=Mail1/O=Demo", "Demo Cluster");
        directory.Server("CN=Mate/O=Demo", "Demo Cluster");
        Person(directory, "CN=Jane Doe/O=Acme", dir_ + "/mail/jdoe.nsf",
               {{"TaskType", Text("2")},
                {"TaskState", Text("1")},
                {"GeneralSubject", Text("Jane is away")},
                {"dateFirstDayBack", worker_test::Time(worker_test::NowPlus(3))},
                {"Notified", Text("CN=Ann Lee/O=Acme")}});
        Person(directory, "CN=Rob Roe/O=Acme", dir_ + "/mail/rroe.nsf",
               {{"TaskState", Text("1")}, {"Notified", Text("CN=Cy Dee/O=Acme")}}, true);
        Person(directory, "CN=No Agent/O=Acme", dir_ + "/mail/noagent.nsf",
               {{"TaskState", Text("1")}}, false, false);
        Person(directory, worker_test::Lmbcs("CN=Jürgen Weiß/O=Acme"), dir_ + "/mail/jweiss.nsf",
               {{"TaskType", Text("2")}});
        Person(directory, "CN=Mo Far/O=Acme", mate.path() + "/mail/mfar.nsf",
               {{"TaskType", Text("2")}, {"GeneralSubject", Text("served by the mate")}}, false,
               true, "CN=Mail1/O=Demo");
        directory.Person({"CN=No Mail/O=Acme"}, "", "");
        directory.Person({"CN=Gone Mail/O=Acme"}, "CN=Vanterra/O=Demo", "mail/gone.nsf");
        directory.Group("Team", {"CN=Jane Doe/O=Acme", "Agents", "CN=Mo Far/O=Acme"});
        directory.Group("Agents", {"Rob Roe/Acme"});
        directory.Group("Mixed", {"CN=Stranger/O=Acme", "CN=No Mail/O=Acme", "CN=Gone Mail/O=Acme",
                                  worker_test::Lmbcs("CN=Jürgen Weiß/O=Acme")});
        directory.Group("Nobody", {});
    }
    void TearDown() override {
        runtime.reset();
        TaskTest::TearDown();
    }
    void Person(worker_test::Directory &directory, const std::string &name, const std::string &path,
                const worker_test::Items &profile, bool agentEnabled = false, bool agent = true,
                const std::string &server = "CN=Vanterra/O=Demo") {
        worker_test::Database db(path);
        worker_test::MailFileOptions options;
        options.agent = agent;
        options.agentEnabled = agentEnabled;
        worker_test::BuildMailFile(db, options);
        worker_test::Items items = {{"Form", worker_test::Text("OutOfOfficeProfile")}};
        items.insert(items.end(), profile.begin(), profile.end());
        db.SetProfile("OutOfOfficeProfile", items);
        directory.Person({name}, server, "mail/" + path.substr(path.rfind('/') + 1));
    }
    // A request through notesctl: the reply's text (without notesctl's line
    // end); the elements of the reply file when asked for.
    std::string Ask(const std::string &attributes, const std::string &user,
                    std::vector<worker_test::UserElement> *users = nullptr) {
        static int n = 0;
        RunResult r = Send("ask" + std::to_string(n++) + ".xml",
                           Request("MQName=\"MQ$Ask\" " + attributes, user));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        if (users != nullptr)
            *users = worker_test::ReadReply(ReadFile(ReplyFile(r)));
        return r.out.empty() ? r.out : r.out.substr(0, r.out.size() - 1);
    }

    // Whether the task logs the line; it comes right after the reply.
    bool Logs(Background &task, const std::string &line) {
        return e2e::WaitFor([&] { return Contains(LogLines(task.Output()), line); }, 60);
    }

    std::unique_ptr<RuntimeOn> runtime;
    test_support::TempDir mail1, mate;
};

TEST_F(ServedTaskTest, ReadsAreAnsweredOkWithTheStateReplyAndLogged) {
    auto task = Start();
    std::vector<worker_test::UserElement> users;
    EXPECT_EQ(Ask("Action=\"1\" MailServer=\"Vanterra/Demo\" MailBox=\"mail\\jdoe\"",
                  "CN=Jane Doe/O=Acme", &users),
              "OK");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].text, "CN=Jane Doe/O=Acme");
    EXPECT_EQ(users[0].at("TaskType"), "2");
    EXPECT_EQ(users[0].at("HCREnable"), "1");
    EXPECT_EQ(users[0].at("Subject"), "Jane is away");
    EXPECT_EQ(users[0].at("Notified"), "Ann Lee/Acme");
    EXPECT_EQ(users[0].at("BuildVersion"), "230");

    EXPECT_EQ(Ask("Action=\"1\" MailServer=\"Vanterra/Demo\" MailBox=\"mail/rroe.nsf\"",
                  "CN=Rob Roe/O=Acme", &users),
              "OK");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("TaskType"), "1");
    EXPECT_EQ(users[0].at("ShowHours"), "0");
    EXPECT_EQ(users[0].at("HCREnable"), "1");
    EXPECT_EQ(users[0].at("Notified"), "Cy Dee/Acme");
    EXPECT_EQ(users[0].at("DaysOut"), "I am out of the office from var_First until var_Back.");

    EXPECT_TRUE(Logs(*task, "Halcyra: [Jane Doe/Acme] OutOfOfficeProfile has been read."))
        << task->Output();
    EXPECT_TRUE(Logs(*task, "Halcyra: [Rob Roe/Acme] OutOfOfficeProfile has been read."));
    StopAndCheck(*task);
}

TEST_F(ServedTaskTest, AReadFallsOverToTheClusterMateOrFailsWithTheStepsText) {
    auto task = Start();
    ASSERT_NOERROR(StandinServerSetDown("CN=Mail1/O=Demo", TRUE));
    const std::string remote = "Action=\"1\" MailServer=\"Mail1/Demo\" MailBox=\"mail/mfar\"";
    std::vector<worker_test::UserElement> users;
    EXPECT_EQ(Ask(remote, "CN=Mo Far/O=Acme", &users), "OK");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("Subject"), "served by the mate");
    ASSERT_NOERROR(StandinServerSetDown("CN=Mate/O=Demo", TRUE));
    EXPECT_EQ(Ask(remote, "CN=Mo Far/O=Acme"),
              "getHCRProfile:" + StatusText(ERR_SERVER_NOT_RESPONDING));
    EXPECT_EQ(Ask("Action=\"1\" MailBox=\"mail/nobody\"", "CN=Jane Doe/O=Acme"),
              "getHCRProfile:" + StatusText(ERR_NOEXIST));
    EXPECT_EQ(Ask("Action=\"1\" MailBox=\"mail/noagent\"", "CN=No Agent/O=Acme"),
              "getAgent:" + StatusText(ERR_DESIGN_NOT_FOUND));
    StopAndCheck(*task);
}

TEST_F(ServedTaskTest, QueriesReportEveryMemberInOneReplyFile) {
    auto task = Start();
    ASSERT_NOERROR(StandinServerSetDown("CN=Mail1/O=Demo", TRUE));
    const std::string query = "Action=\"3\" QueryUser=\"CN=Boss/O=Acme\"";
    std::vector<worker_test::UserElement> users;

    EXPECT_EQ(Ask(query, "Jane Doe/Acme", &users), "OK");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].text, "Jane Doe/Acme");
    EXPECT_EQ(users[0].at("User_Status"), "1");

    // Nested, with a member served by the mate of its mail server.
    EXPECT_EQ(Ask(query, "Team", &users), "OK");
    ASSERT_EQ(users.size(), 3u);
    EXPECT_EQ(users[0].text, "Jane Doe/Acme");
    EXPECT_EQ(users[0].at("Notified"), "Ann Lee/Acme");
    EXPECT_EQ(users[1].text, "Rob Roe/Acme");
    EXPECT_EQ(users[1].at("Notified"), "Cy Dee/Acme");
    EXPECT_EQ(users[2].text, "Mo Far/Acme");
    EXPECT_EQ(users[2].at("Subject"), "served by the mate");
    EXPECT_EQ(users[2].at("Notified"), "");

    EXPECT_EQ(Ask(query, "Nobody", &users), "OK");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("ErrorMsg"), "Empty Group");
    EXPECT_EQ(users[0].text, "Nobody");

    EXPECT_EQ(Ask(query, "Mixed", &users), "OK");
    ASSERT_EQ(users.size(), 4u);
    const std::string errors[] = {"Stranger/Acme was not found in the directory", "No mail file",
                                  StatusText(ERR_NOEXIST)};
    const std::string names[] = {"Stranger/Acme", "No Mail/Acme", "Gone Mail/Acme"};
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(users[i].attributes, (std::map<std::string, std::string>{
                                           {"User_Status", "0"}, {"ErrorMsg", errors[i]}}));
        EXPECT_EQ(users[i].text, names[i]);
    }
    EXPECT_EQ(users[3].text, "Jürgen Weiß/Acme");
    EXPECT_EQ(users[3].at("User_Status"), "1");

    EXPECT_TRUE(Logs(*task, "Halcyra: [Team] OutOfOfficeProfile has been queried by [Boss/Acme]."))
        << task->Output();
    StopAndCheck(*task);
}

// Switches on and off through the agent and through the service, served by
// the running task: the reply, the log line, the state the reply shows, and
// the mail file as notesctl dumps it.
TEST_F(ServedTaskTest, UpdatesSwitchOnAndOffThroughTheAgentAndTheService) {
    auto task = Start();
    const std::string where = "MailServer=\"Vanterra/Demo\" ";
    auto update = [&](const std::string &mailBox, bool on, const std::string &user,
                      std::vector<worker_test::UserElement> *users) {
        update_test::Update u;
        u.on = on;
        u.mailBox = mailBox;
        static int n = 0;
        RunResult r = Send("update" + std::to_string(n++) + ".xml",
                           Request(where + u.attributes("MQ$Update"), user));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        *users = worker_test::ReadReply(ReadFile(ReplyFile(r)));
        return r.out.empty() ? r.out : r.out.substr(0, r.out.size() - 1);
    };
    std::vector<worker_test::UserElement> users;

    // Rob's agent is on: off, then on again.
    EXPECT_EQ(update("mail/rroe.nsf", false, "CN=Rob Roe/O=Acme", &users), "OK");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("HCREnable"), "0");
    EXPECT_EQ(update("mail/rroe.nsf", true, "CN=Rob Roe/O=Acme", &users), "OK");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("HCREnable"), "1");
    EXPECT_EQ(users[0].at("TaskType"), "1");
    EXPECT_EQ(users[0].at("Subject"), "Away");
    const std::string agentDump = Notesctl({"dump", dir_, "mail/rroe.nsf"}).out;
    EXPECT_NE(agentDump.find("\"signature\": {\"signer\": \"CN=Vanterra/O=Demo\""),
              std::string::npos)
        << agentDump;
    EXPECT_EQ(agentDump.find("\"digestMatches\": false"), std::string::npos) << agentDump;

    // Jane's service is off: on, then off.
    EXPECT_EQ(update("mail/jdoe.nsf", true, "CN=Jane Doe/O=Acme", &users), "OK");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("HCREnable"), "1");
    EXPECT_EQ(users[0].at("TaskType"), "2");
    EXPECT_EQ(update("mail/jdoe.nsf", false, "CN=Jane Doe/O=Acme", &users), "OK");
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("HCREnable"), "0");
    const std::string serviceDump = Notesctl({"dump", dir_, "mail/jdoe.nsf"}).out;
    EXPECT_NE(serviceDump.find("\"$OOOProfSeqNum\""), std::string::npos) << serviceDump;

    // A refusal is answered with its message.
    EXPECT_EQ(Ask(where + "Action=\"2\" HCREnable=\"1\" MailBox=\"mail/jdoe.nsf\" " +
                      update_test::Update::Dates("StartTime", worker_test::NowPlus(-3)) +
                      update_test::Update::Dates("EndTime", worker_test::NowPlus(-2)),
                  "CN=Jane Doe/O=Acme"),
              "ValidateSettings:The return date must be in the future.");

    for (const char *user : {"Rob Roe/Acme", "Jane Doe/Acme"}) {
        EXPECT_TRUE(Logs(
            *task, std::string("Halcyra: [") + user + "] OutOfOfficeProfile has been updated."))
            << task->Output();
    }
    StopAndCheck(*task);
}

}  // namespace
