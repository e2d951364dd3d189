// notesctl run as a process: every verb's main paths and its errors. The
// test process plays the other side where one is needed (the task's request
// queue and its replies, a running task, queues with messages, databases),
// through the library's own calls on the same data directory.
#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "data_dir.h"
#include "json.h"
#include "notes_api.h"
#include "process.h"
#include "standin/addin.h"
#include "standin/mq.h"
#include "standin/nsf.h"
#include "test_support.h"

namespace {

using e2e::Json;
using e2e::Lines;
using e2e::Notesctl;
using e2e::OwnQueue;
using e2e::RunResult;
using e2e::RuntimeOn;
using test_support::ReadFile;
using test_support::TempDir;
using test_support::WriteFile;

const char kRequestQueue[] = "MQ$OutOfOffice";

// The one line of an error: "notesctl: ..." and a newline, nothing else.
void ExpectOneErrorLine(const RunResult &r, const std::string &needle) {
    EXPECT_EQ(r.err.rfind("notesctl: ", 0), 0u) << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(needle), std::string::npos) << "wanted \"" << needle << "\" in " << r.err;
}

bool EndsWith(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Take(MQHANDLE queue, DWORD timeoutMs, STATUS *status = nullptr) {
    std::vector<char> buffer(MQ_MAX_MSGSIZE);
    WORD length = 0;
    STATUS s = MQGet(queue, buffer.data(), MQ_MAX_MSGSIZE, 0, timeoutMs, &length);
    if (status != nullptr)
        *status = s;
    return s == NOERROR ? std::string(buffer.data(), length) : std::string();
}

STATUS Put(const std::string &queueName, const std::string &text) {
    MQHANDLE queue = 0;
    STATUS status = MQOpen(queueName.c_str(), 0, &queue);
    if (status != NOERROR)
        return status;
    status = MQPut(queue, 0, text.data(), static_cast<WORD>(text.size()), 0);
    MQClose(queue, 0);
    return status;
}

bool QueueExists(const std::string &name) {
    MQHANDLE queue = 0;
    if (MQOpen(name.c_str(), 0, &queue) != NOERROR)
        return false;
    MQClose(queue, 0);
    return true;
}

// A fresh data directory made by notesctl init.
class NotesctlTest : public e2e::DataDirFixture {};

// ---------------------------------------------------------------- help

TEST(NotesctlHelp, OverviewNamesEveryVerbAndTheExitCodes) {
    RunResult r = Notesctl({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.empty()) << r.err;
    for (const char *needle : {"init", "request", "tell", "queue", "show", "dump", "0 ", "1 ", "2 ",
                               "64 ", "no reply within the time-out"}) {
        EXPECT_NE(r.out.find(needle), std::string::npos) << needle;
    }
    EXPECT_EQ(Notesctl({"help"}).out, r.out);
}

TEST(NotesctlHelp, EveryVerbHasItsOwnHelp) {
    for (const char *verb : {"init", "request", "tell", "queue", "show", "dump"}) {
        for (const char *flag : {"--help", "-h"}) {
            RunResult r = Notesctl({verb, flag});
            EXPECT_EQ(r.exitCode, 0) << verb;
            EXPECT_EQ(r.out.rfind(std::string("Usage: notesctl ") + verb + " ", 0), 0u) << r.out;
            EXPECT_NE(r.out.find("Exit codes:"), std::string::npos) << verb;
            EXPECT_EQ(Notesctl({"help", verb}).out, r.out) << verb;
        }
        // Help is shown without looking at the data directory.
        RunResult r = Notesctl({verb, "/no/such/dir", "--help"});
        EXPECT_EQ(r.exitCode, 0) << verb << ": " << r.err;
        EXPECT_EQ(r.out, Notesctl({verb, "--help"}).out);
    }
}

TEST(NotesctlHelp, NoVerbOrAnUnknownOneIsAUsageError) {
    RunResult none = Notesctl({});
    EXPECT_EQ(none.exitCode, 64);
    EXPECT_NE(none.err.find("Usage: notesctl"), std::string::npos);
    EXPECT_TRUE(none.out.empty());

    RunResult unknown = Notesctl({"frobnicate", "x"});
    EXPECT_EQ(unknown.exitCode, 64);
    ExpectOneErrorLine(unknown, "unknown verb \"frobnicate\"");
}

TEST(NotesctlUsage, BadArgumentsGiveExitCode64AndOneLine) {
    TempDir tmp;
    const std::string d = tmp.path();
    struct Case {
        std::vector<std::string> args;
        const char *needle;
    } cases[] = {
        {{"init"}, "missing DIR"},
        {{"init", d, "extra"}, "unexpected argument \"extra\""},
        {{"init", d, "--server"}, "--server needs a value"},
        {{"init", d, "--server="}, "name is empty"},
        {{"init", d, "--hcr-build", "0"}, "--hcr-build"},
        {{"init", d, "--hcr-build", "70000"}, "--hcr-build"},
        {{"init", d, "--force=yes"}, "takes no value"},
        {{"init", d, "--no-template", "HCR.nsf"}, "--no-template takes HCR.ntf or HCREx.ntf"},
        {{"init", d, "--log-build", "0"}, "--log-build"},
        {{"init", d, "--product-db=yes"}, "takes no value"},
        {{"init", d, "--hcr-directory="}, "folder is empty"},
        {{"request", d}, "missing FILE"},
        {{"request", d, "f.xml", "--timeout", "-1"}, "--timeout"},
        {{"request", d, "f.xml", "--timeout", "soon"}, "--timeout"},
        {{"request", d, "f.xml", "--timeout", "1", "--timeout", "2"}, "given twice"},
        {{"tell", d, "vanterra"}, "missing the command"},
        {{"tell", d, "vanterra", "restart"}, "unknown command \"restart\""},
        {{"queue", d, "Q"}, "--quit-pending"},
        {{"queue", d, "Q", "--quit-pending", "--put", "x"}, "--quit-pending"},
        {{"show", d}, "missing what to show"},
        {{"show", d, "everything"}, "cannot show \"everything\""},
        {{"show", d, "queue"}, "missing the queue's NAME"},
        {{"show", d, "tasks", "more"}, "unexpected argument \"more\""},
        {{"dump", d}, "missing DATABASE"},
        {{"dump", d, "x.nsf", "--verbose"}, "unknown option --verbose"},
    };
    for (const Case &c : cases) {
        RunResult r = Notesctl(c.args);
        SCOPED_TRACE(c.args[0] + " ... " + c.needle);
        EXPECT_EQ(r.exitCode, 64);
        ExpectOneErrorLine(r, c.needle);
        EXPECT_NE(r.err.find("notesctl " + c.args[0] + " --help"), std::string::npos) << r.err;
    }
    // None of them touched the folder.
    EXPECT_FALSE(test_support::FileExists(tmp.file("notes.ini")));
}

TEST(NotesctlUsage, AMissingDataDirectoryFailsEveryVerb) {
    TempDir tmp;
    const std::string missing = tmp.file("nowhere");
    const std::string notData = tmp.path();  // exists, but has no notes.ini
    WriteFile(tmp.file("r.xml"), "<r><Username MQName=\"Q\">u</Username></r>");
    std::vector<std::vector<std::string>> verbs = {
        {"request", "@", tmp.file("r.xml")},
        {"tell", "@", "vanterra", "quit"},
        {"queue", "@", "Q", "--quit-pending"},
        {"show", "@", "tasks"},
        {"show", "@", "queues"},
        {"show", "@", "queue", "Q"},
        {"dump", "@", "HCR.nsf"},
    };
    for (auto args : verbs) {
        for (const std::string &d : {missing, notData}) {
            args[1] = d;
            SCOPED_TRACE(args[0] + " on " + d);
            RunResult r = Notesctl(args);
            EXPECT_EQ(r.exitCode, 1);
            ExpectOneErrorLine(r, d);
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }
    EXPECT_FALSE(test_support::FileExists(missing));
    EXPECT_FALSE(test_support::FileExists(tmp.file("requests")));
}

// ---------------------------------------------------------------- init

TEST(NotesctlInit, MakesADataDirectoryThatTheRuntimeStartsOn) {
    TempDir tmp;
    const std::string dir = tmp.file("a/b/data");  // parents are made too
    RunResult r = Notesctl({"init", dir});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    std::string ini = ReadFile(dir + "/notes.ini");
    EXPECT_NE(ini.find("\nServerName=Vanterra/Demo\n"), std::string::npos) << ini;
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.c_str(), real), nullptr);
    EXPECT_NE(ini.find("Directory=" + std::string(real) + "\n"), std::string::npos) << ini;
    struct stat st {};
    EXPECT_EQ(stat((dir + "/requests").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // Started from elsewhere, the runtime finds everything through notes.ini.
    RuntimeOn runtime(dir);
    ASSERT_NOERROR(runtime.status());
    char server[MAXUSERNAME];
    ASSERT_NOERROR(SECKFMGetUserName(server));
    EXPECT_STREQ(server, "CN=Vanterra/O=Demo");

    // No HCR.nsf: the task makes it from a template at its first start.
    EXPECT_FALSE(test_support::FileExists(dir + "/HCR.nsf"));
    DBHANDLE db = NULLHANDLE;
    ASSERT_NOERROR(NSFDbOpen("HCR.ntf", &db));
    NSFDbClose(db);

    // The server is registered on this directory: a network path reaches it.
    char path[MAXPATH];
    ASSERT_NOERROR(OSPathNetConstruct(nullptr, "Vanterra/Demo", "HCR.ntf", path));
    ASSERT_NOERROR(NSFDbOpen(path, &db));
    NSFDbClose(db);
}

TEST(NotesctlInit, ServerNameAndBuildVersionCanBeChosen) {
    TempDir tmp;
    const std::string dir = tmp.file("data");
    RunResult r = Notesctl({"init", dir, "--server", "Mail One/Sales/Acme", "--hcr-build=378"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(ReadFile(dir + "/notes.ini").find("ServerName=Mail One/Sales/Acme\n"),
              std::string::npos);
    RuntimeOn runtime(dir);
    ASSERT_NOERROR(runtime.status());
    DBHANDLE db = NULLHANDLE;
    char path[MAXPATH];
    ASSERT_NOERROR(OSPathNetConstruct(nullptr, "CN=Mail One/OU=Sales/O=Acme", "HCR.nsf", path));
    ASSERT_NOERROR(NSFDbOpen(path, &db));
    WORD build = 0;
    EXPECT_NOERROR(NSFDbGetBuildVersion(db, &build));
    EXPECT_EQ(build, 378);
    NSFDbClose(db);
}

TEST(NotesctlInit, RefusesAFolderThatIsNotEmptyUnlessForced) {
    TempDir tmp;
    const std::string dir = tmp.file("data");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    WriteFile(dir + "/keep.txt", "mine");

    RunResult refused = Notesctl({"init", dir});
    EXPECT_EQ(refused.exitCode, 1);
    ExpectOneErrorLine(refused, "not empty");
    EXPECT_FALSE(test_support::FileExists(dir + "/notes.ini"));
    EXPECT_FALSE(test_support::FileExists(dir + "/HCR.nsf"));

    RunResult forced = Notesctl({"init", dir, "--force", "--server", "Other/Acme"});
    ASSERT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_EQ(ReadFile(dir + "/keep.txt"), "mine");
    EXPECT_NE(ReadFile(dir + "/notes.ini").find("ServerName=Other/Acme"), std::string::npos);

    // A second forced init makes HCR.nsf anew, with the build asked for.
    ASSERT_EQ(Notesctl({"init", dir, "--force", "--hcr-build", "400"}).exitCode, 0);
    RuntimeOn runtime(dir);
    ASSERT_NOERROR(runtime.status());

    // Not while a task runs on it.
    char program[] = "e2etask";
    char *argv[] = {program, nullptr};
    ASSERT_NOERROR(AddInTaskStart(1, argv));
    RunResult running = Notesctl({"init", dir, "--force", "--hcr-build", "500"});
    AddInTaskEnd(1, argv);
    EXPECT_EQ(running.exitCode, 1);
    ExpectOneErrorLine(running, "a task is running");

    DBHANDLE db = NULLHANDLE;
    ASSERT_NOERROR(NSFDbOpen("HCR.nsf", &db));
    WORD build = 0;
    EXPECT_NOERROR(NSFDbGetBuildVersion(db, &build));
    EXPECT_EQ(build, 400);
    NSFDbClose(db);
}

TEST(NotesctlInit, AnEmptyFolderIsTakenAndAFileIsRefused) {
    TempDir tmp;
    const std::string empty = tmp.file("empty");
    ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
    EXPECT_EQ(Notesctl({"init", empty}).exitCode, 0);
    EXPECT_TRUE(test_support::FileExists(empty + "/HCR.ntf"));

    WriteFile(tmp.file("plain"), "x");
    RunResult r = Notesctl({"init", tmp.file("plain"), "--force"});
    EXPECT_EQ(r.exitCode, 1);
    ExpectOneErrorLine(r, "not a folder");
    EXPECT_EQ(ReadFile(tmp.file("plain")), "x");
}

// The information text of a database and one of its parts.
std::string InfoPart(DBHANDLE db, WORD part) {
    char info[NSF_INFO_SIZE] = {}, text[NSF_INFO_SIZE] = {};
    if (NSFDbInfoGet(db, info) != NOERROR ||
        NSFDbInfoParse(info, part, text, sizeof text) != NOERROR)
        return "<unreadable>";
    return text;
}

std::string TemplateFileName(DBHANDLE db) {
    NOTEHANDLE icon = NULLHANDLE;
    if (NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon) != NOERROR)
        return "<no icon note>";
    char text[256] = {};
    NSFItemGetText(icon, "$TemplateFileName", text, sizeof text);
    NSFNoteClose(icon);
    return text;
}

TEST(NotesctlInit, TheProductFilesGoToTheProductFolderAndHCRComesFromTheLogsTemplate) {
    TempDir tmp;
    const std::string dir = tmp.file("data");
    RunResult r = Notesctl(
        {"init", dir, "--hcr-directory", "apps", "--log-build", "400", "--hcr-build", "379"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(ReadFile(dir + "/notes.ini").find("\nHCRDirectory=apps\n"), std::string::npos);
    for (const char *file : {"HCR.ntf", "HCREx.ntf", "HCR.nsf"}) {
        EXPECT_TRUE(test_support::FileExists(dir + "/apps/" + file)) << file;
        EXPECT_FALSE(test_support::FileExists(dir + "/" + file)) << file;
    }
    RuntimeOn runtime(dir);
    ASSERT_NOERROR(runtime.status());
    const struct {
        const char *path;
        const char *templateName;
    } templates[] = {{"apps\\HCR.ntf", "Halcyra"}, {"apps\\HCREx.ntf", "HalcyraEx"}};
    for (const auto &t : templates) {
        DBHANDLE db = NULLHANDLE;
        ASSERT_NOERROR(NSFDbOpen(t.path, &db));
        EXPECT_EQ(InfoPart(db, INFOPARSE_CLASS), t.templateName) << t.path;
        NSFDbClose(db);
    }
    // A log build of 400 gives HCREx.ntf's design, as provisioning chooses.
    DBHANDLE db = NULLHANDLE;
    ASSERT_NOERROR(NSFDbOpen("apps\\HCR.nsf", &db));
    EXPECT_EQ(InfoPart(db, INFOPARSE_TITLE), "Halcyra");
    EXPECT_EQ(InfoPart(db, INFOPARSE_CLASS), "");
    EXPECT_EQ(InfoPart(db, INFOPARSE_DESIGN_CLASS), "HalcyraEx");
    EXPECT_EQ(TemplateFileName(db), "HCREx.ntf");
    WORD build = 0;
    ASSERT_NOERROR(NSFDbGetBuildVersion(db, &build));
    EXPECT_EQ(build, 379);
    DHANDLE acl = NULLHANDLE;
    ASSERT_NOERROR(NSFDbReadACL(db, &acl));
    char role[ACL_PRIVSTRINGMAX] = {};
    ASSERT_NOERROR(ACLGetPrivName(acl, 0, role));
    EXPECT_STREQ(role, "[Admin]");
    OSMemFree(acl);
    NSFDbClose(db);
    ASSERT_NOERROR(NSFDbOpen("log.nsf", &db));
    ASSERT_NOERROR(NSFDbGetBuildVersion(db, &build));
    EXPECT_EQ(build, 400);
    NSFDbClose(db);
}

TEST(NotesctlInit, TemplatesLogAndProductDatabaseCanBeLeftOut) {
    const struct {
        std::vector<std::string> options;
        std::vector<std::string> present, absent;
        const char *productFrom;  // the "$TemplateFileName" of HCR.nsf; "" for none
    } cases[] = {
        {{}, {"HCR.ntf", "HCREx.ntf"}, {"HCR.nsf", "log.nsf"}, nullptr},
        {{"--product-db"}, {"HCR.ntf", "HCREx.ntf", "HCR.nsf"}, {"log.nsf"}, "HCR.ntf"},
        {{"--product-db", "--log-build", "399"}, {"HCR.nsf", "log.nsf"}, {}, "HCR.ntf"},
        {{"--product-db", "--no-template", "HCR.ntf"},
         {"HCREx.ntf", "HCR.nsf"},
         {"HCR.ntf"},
         "HCREx.ntf"},
        {{"--product-db", "--no-template", "hcrex.ntf", "--log-build", "450"},
         {"HCR.ntf"},
         {"HCREx.ntf"},
         "HCR.ntf"},
        {{"--product-db", "--no-template", "HCR.ntf", "--no-template", "HCREx.ntf"},
         {"HCR.nsf"},
         {"HCR.ntf", "HCREx.ntf"},
         ""},
        {{"--no-template", "HCR.ntf"}, {"HCREx.ntf"}, {"HCR.ntf", "HCR.nsf"}, nullptr},
    };
    for (const auto &c : cases) {
        TempDir tmp;
        const std::string dir = tmp.file("data");
        std::vector<std::string> args = {"init", dir};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RunResult r = Notesctl(args);
        const std::string what = c.options.empty() ? "no options" : c.options[0] + " ...";
        ASSERT_EQ(r.exitCode, 0) << what << ": " << r.err;
        for (const std::string &file : c.present)
            EXPECT_TRUE(test_support::FileExists(dir + "/" + file)) << what << ": " << file;
        for (const std::string &file : c.absent)
            EXPECT_FALSE(test_support::FileExists(dir + "/" + file)) << what << ": " << file;
        if (c.productFrom == nullptr) {
            EXPECT_NE(r.out.find("It has no HCR.nsf"), std::string::npos) << r.out;
            continue;
        }
        RuntimeOn runtime(dir);
        ASSERT_NOERROR(runtime.status());
        DBHANDLE db = NULLHANDLE;
        ASSERT_NOERROR(NSFDbOpen("HCR.nsf", &db));
        EXPECT_EQ(TemplateFileName(db), c.productFrom) << what;
        NSFDbClose(db);
    }

    // A forced init without HCR.nsf removes the old one, for provisioning
    // to make.
    TempDir tmp;
    const std::string dir = tmp.file("data");
    ASSERT_EQ(Notesctl({"init", dir, "--log-build", "450", "--product-db"}).exitCode, 0);
    ASSERT_TRUE(test_support::FileExists(dir + "/HCR.nsf"));
    RunResult r = Notesctl({"init", dir, "--force", "--no-template", "HCR.ntf"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char *file : {"HCR.nsf", "HCR.ntf", "log.nsf"})
        EXPECT_FALSE(test_support::FileExists(dir + "/" + file)) << file;
    EXPECT_TRUE(test_support::FileExists(dir + "/HCREx.ntf"));
}

// ---------------------------------------------------------------- request

// Plays the task: starts the test process's runtime on the data directory
// and makes the request queue; the test takes each request message and
// answers it on the queue it names. The runtime, and so what the test does
// through it, lasts as long as the object.
class FakeTask {
  public:
    explicit FakeTask(const std::string &dir) : runtime_(dir), queue_(kRequestQueue) {}
    STATUS status() const {
        return runtime_.status() != NOERROR ? runtime_.status() : queue_.status;
    }
    // The next request message (the request file's path).
    std::string NextRequest(DWORD timeoutMs = 30000) { return Take(queue_.handle, timeoutMs); }

  private:
    RuntimeOn runtime_;  // first in, last out: the queue closes before the runtime ends
    OwnQueue queue_;
};

TEST_F(NotesctlTest, RequestPlacesTheFileAndPrintsTheReply) {
    const std::string source = file("ND_REQUEST_read.xml");
    const std::string content =
        "<?xml version=\"1.0\"?>\n<Request><Username MQName=\"MQ$Reply_1\" Action=\"1\">"
        "CN=Jo Doe/O=Acme</Username></Request>\n";
    WriteFile(source, content);

    FakeTask task(dir());
    ASSERT_NOERROR(task.status());

    RunResult result;
    std::thread front([&] { result = Notesctl({"request", dir(), source, "--timeout", "30"}); });
    std::string path = task.NextRequest();
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir().c_str(), real), nullptr);
    const std::string placed = std::string(real) + "/requests/ND_REQUEST_read.xml";
    EXPECT_EQ(path, placed);
    EXPECT_EQ(ReadFile(placed), content);
    // The reply queue is there before the request is.
    EXPECT_TRUE(QueueExists("MQ$Reply_1"));
    // The task writes its reply over the request file, then sends the text.
    WriteFile(placed, "<HCRReadObject/>");
    EXPECT_NOERROR(Put("MQ$Reply_1", "receiveElements:The leaving date is invalid.."));
    front.join();

    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "receiveElements:The leaving date is invalid..\n");
    EXPECT_NE(result.err.find(placed), std::string::npos) << result.err;
    EXPECT_EQ(ReadFile(placed), "<HCRReadObject/>");  // left in place
    EXPECT_EQ(ReadFile(source), content);
    // The reply queue lived as long as the command that made it.
    EXPECT_TRUE(e2e::WaitFor([] { return !QueueExists("MQ$Reply_1"); }, 60));
}

TEST_F(NotesctlTest, RequestWithoutAReplyInTimeExitsWith2) {
    WriteFile(file("r.xml"), "<r><Username MQName=\"MQ$Slow\">u</Username></r>");
    FakeTask task(dir());
    ASSERT_NOERROR(task.status());

    double start = e2e::Now();
    RunResult r = Notesctl({"request", dir(), file("r.xml"), "--timeout", "0.5"});
    EXPECT_EQ(r.exitCode, 2);
    ExpectOneErrorLine(r, "no reply");
    EXPECT_TRUE(r.out.empty());
    EXPECT_GE(e2e::Now() - start, 0.5);
    EXPECT_FALSE(task.NextRequest(30000).empty());  // it was sent all the same
}

// The reply queue that notesctl waits on is the one the task answers on: the
// MQName attribute of the Username elements, read safely.
TEST_F(NotesctlTest, RequestWaitsOnTheQueueTheRequestNames) {
    WriteFile(file("secret.txt"), "TOPSECRET");
    const std::string secretUrl = "file://" + file("secret.txt");
    struct Case {
        const char *what;
        std::string xml;
        const char *queue;  // the queue to answer on
    } cases[] = {
        {"plain", "<r><Username MQName=\"Q_plain\">u</Username></r>", "Q_plain"},
        {"any case, root element", "<USERNAMELIST mqname=\"Q_case\"/>", "Q_case"},
        {"attribute by prefix", "<r><UserName MQNameOfReply=\"Q_prefix\"/></r>", "Q_prefix"},
        {"a later element overrides",
         "<r><Username MQName=\"Q_first\"/><a><Username MQName=\"Q_second\"/></a></r>", "Q_second"},
        {"other elements do not count",
         "<r><User MQName=\"Q_no1\"/><p:Username MQName=\"Q_no2\"/>"
         "<Username MQName=\"Q_yes\"/></r>",
         "Q_yes"},
        {"external entity reads as nothing",
         "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secretUrl +
             "\">]><r><Username MQName=\"Q_ent\">&x;</Username></r>",
         "Q_ent"},
    };
    FakeTask task(dir());
    ASSERT_NOERROR(task.status());
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = file("req" + std::to_string(n++) + ".xml");
        WriteFile(name, c.xml);
        RunResult result;
        std::thread front([&] { result = Notesctl({"request", dir(), name, "--timeout", "30"}); });
        EXPECT_FALSE(task.NextRequest().empty());
        EXPECT_TRUE(e2e::WaitFor([&] { return QueueExists(c.queue); }, 60));
        EXPECT_NOERROR(Put(c.queue, std::string("OK for ") + c.queue));
        front.join();
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.out, std::string("OK for ") + c.queue + "\n");
    }
    // No queue was ever named after the secret.
    std::vector<StandinQueueInfo> queues(64);
    DWORD count = StandinMQList(queues.data(), 64);
    for (DWORD i = 0; i < count && i < 64; i++) {
        EXPECT_EQ(std::strstr(queues[i].name, "TOPSECRET"), nullptr) << queues[i].name;
    }
}

TEST_F(NotesctlTest, RequestThatCanGetNoReplyIsSentAndExitsWith2AtOnce) {
    const std::string laughs =
        "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d "
        "\"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
        "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\"><!ENTITY f "
        "\"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">"
        "<!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\"><!ENTITY h "
        "\"&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;\">]>"
        "<r><Username MQName=\"Q_laughs\">&h;</Username></r>";
    struct Case {
        const char *what;
        std::string xml;
        const char *needle;
    } cases[] = {
        {"no MQName", "<r><Username Action=\"1\">u</Username></r>", "no MQName"},
        {"empty MQName", "<r><Username MQName=\"\">u</Username></r>", "no MQName"},
        {"a later empty MQName", "<r><Username MQName=\"Q\"/><Username MQName=\"\"/></r>",
         "no MQName"},
        {"no Username element", "<r><User MQName=\"Q\"/></r>", "no MQName"},
        {"not well-formed", "<r><Username MQName=\"Q_bad\">u</r>", "cannot be parsed"},
        {"not XML at all", "hello", "cannot be parsed"},
        {"nested entity expansion", laughs, "cannot be parsed"},
        {"a name no queue can have", "<r><Username MQName=\"" + std::string(200, 'q') + "\"/></r>",
         "cannot be created"},
    };
    FakeTask task(dir());
    ASSERT_NOERROR(task.status());
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = file("noreply" + std::to_string(n++) + ".xml");
        WriteFile(name, c.xml);
        double start = e2e::Now();
        RunResult r = Notesctl({"request", dir(), name, "--timeout", "60"});
        EXPECT_LT(e2e::Now() - start, 30);  // it did not wait for the time-out
        EXPECT_EQ(r.exitCode, 2);
        ExpectOneErrorLine(r, c.needle);
        EXPECT_NE(r.err.find("no reply can come"), std::string::npos);
        EXPECT_TRUE(r.out.empty());
        std::string path = task.NextRequest(30000);
        EXPECT_EQ(ReadFile(path), c.xml);
    }
}

TEST_F(NotesctlTest, RequestFailsWhenItCannotBeSent) {
    WriteFile(file("r.xml"), "<r><Username MQName=\"Q\">u</Username></r>");
    // No task: nothing has made the request queue.
    RunResult noTask = Notesctl({"request", dir(), file("r.xml")});
    EXPECT_EQ(noTask.exitCode, 1);
    ExpectOneErrorLine(noTask, "MQ$OutOfOffice does not exist");

    FakeTask task(dir());
    ASSERT_NOERROR(task.status());
    RunResult missing = Notesctl({"request", dir(), file("absent.xml")});
    EXPECT_EQ(missing.exitCode, 1);
    ExpectOneErrorLine(missing, "absent.xml");
    RunResult folder = Notesctl({"request", dir(), tmp_.path()});
    EXPECT_EQ(folder.exitCode, 1);

    EXPECT_EQ(task.NextRequest(0), "");  // none of them was put

    // A path in the request folder longer than the task's 512-byte messages.
    std::string deep = tmp_.file(std::string(200, 'd'));
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    deep += "/" + std::string(200, 'e');
    ASSERT_EQ(Notesctl({"init", deep}).exitCode, 0);
    const std::string longName = file(std::string(120, 'n') + ".xml");
    WriteFile(longName, "<r><Username MQName=\"Q\">u</Username></r>");
    RunResult tooLong = Notesctl({"request", deep, longName});
    EXPECT_EQ(tooLong.exitCode, 1);
    ExpectOneErrorLine(tooLong, "longer than 512 bytes");
    // In a data directory with a short path the same file goes.
    RunResult fits = Notesctl({"request", dir(), longName, "--timeout", "0"});
    EXPECT_EQ(fits.exitCode, 2) << fits.err;
    EXPECT_FALSE(task.NextRequest(30000).empty());
}

// ---------------------------------------------------------------- request, many at once

// A request of the tests below: its token is the Username element's text.
std::string TokenRequest(const std::string &queue, const std::string &token) {
    return "<r><Username MQName=\"" + queue + "\">" + token + "</Username></r>";
}

std::string Between(const std::string &text, const std::string &from, const std::string &to) {
    size_t start = text.find(from);
    if (start == std::string::npos)
        return std::string();
    start += from.size();
    size_t end = text.find(to, start);
    return end == std::string::npos ? std::string() : text.substr(start, end - start);
}

// Plays a task that answers every request at once, on a thread of its own:
// it reads the request file at the path it got, and answers "reply to
// TOKEN" on the queue that the file names. It keeps what it served.
class AnsweringTask {
  public:
    explicit AnsweringTask(const std::string &dir) : task_(dir) {
        if (task_.status() == NOERROR)
            thread_ = std::thread([this] { Serve(); });
    }
    ~AnsweringTask() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    STATUS status() const { return task_.status(); }
    struct Served {
        std::string path, token;
    };
    std::vector<Served> served() {
        std::lock_guard<std::mutex> lock(mutex_);
        return served_;
    }

  private:
    void Serve() {
        while (!stop_) {
            std::string path = task_.NextRequest(200);
            if (path.empty())
                continue;
            std::string content = ReadFile(path);
            std::string token = Between(content, "\">", "</Username>");
            std::string queue = Between(content, "MQName=\"", "\"");
            {
                std::lock_guard<std::mutex> lock(mutex_);
                served_.push_back({path, token});
            }
            Put(queue, "reply to " + token);  // the command may be gone: no check
        }
    }

    FakeTask task_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Served> served_;
    std::thread thread_;
};

// The reply file that a command reported on standard error.
std::string ReplyFileOf(const RunResult &r) {
    return Between(r.err, "notesctl: reply file: ", "\n");
}

// Runs every request at once, one notesctl each.
std::vector<RunResult> SendAllAtOnce(const std::string &dir,
                                     const std::vector<std::string> &files) {
    std::vector<RunResult> results(files.size());
    std::vector<std::thread> fronts;
    for (size_t i = 0; i < files.size(); i++) {
        fronts.emplace_back([&, i] {
            results[i] = Notesctl({"request", dir, files[i], "--timeout", "120"}, 300);
        });
    }
    for (std::thread &front : fronts)
        front.join();
    return results;
}

TEST_F(NotesctlTest, SameNamedRequestsFromManyFoldersEachGetTheirOwnReply) {
    constexpr int kRequests = 16;
    const std::string name = "ND_REQUEST_HCR_same.xml";
    AnsweringTask task(dir());
    ASSERT_NOERROR(task.status());
    // A reply file of an earlier request, of the same name: never replaced.
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir().c_str(), real), nullptr);
    const std::string folder = std::string(real) + "/requests";
    WriteFile(folder + "/" + name, "earlier reply");

    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<std::string> files;
        for (int i = 0; i < kRequests; i++) {
            std::string from = file("r" + std::to_string(round) + "-" + std::to_string(i));
            mkdir(from.c_str(), 0755);
            files.push_back(from + "/" + name);
            WriteFile(files.back(),
                      TokenRequest("MQ$Reply_" + std::to_string(round) + "_" + std::to_string(i),
                                   "t" + std::to_string(i)));
        }
        std::vector<RunResult> results = SendAllAtOnce(dir(), files);
        std::set<std::string> replyFiles;
        for (int i = 0; i < kRequests; i++) {
            const RunResult &r = results[i];
            EXPECT_EQ(r.exitCode, 0) << i << ": " << r.err;
            EXPECT_EQ(r.out, "reply to t" + std::to_string(i) + "\n") << i;
            std::string reply = ReplyFileOf(r);
            EXPECT_TRUE(replyFiles.insert(reply).second) << "two commands got " << reply;
            // In the request folder, with the kind's key and the extension.
            EXPECT_EQ(reply.rfind(folder + "/ND_REQUEST_HCR_same", 0), 0u) << reply;
            EXPECT_TRUE(EndsWith(reply, ".xml")) << reply;
            EXPECT_EQ(ReadFile(reply), ReadFile(files[i])) << reply;
        }
    }
    EXPECT_EQ(ReadFile(folder + "/" + name), "earlier reply");
    // Every request was served once, and nothing else was left in the folder.
    EXPECT_EQ(task.served().size(), 3u * kRequests);
    DIR *d = opendir(folder.c_str());
    ASSERT_NE(d, nullptr);
    int entries = 0;
    while (struct dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            entries++;
    }
    closedir(d);
    EXPECT_EQ(entries, 3 * kRequests + 1);
}

// Commands whose requests name the same reply queue: one of them holds the
// queue at a time, and the others are refused with exit code 3 before they
// send anything. No command ever prints a reply that was meant for another.
TEST_F(NotesctlTest, RequestsSharingAReplyQueueNeverTakeEachOthersReplies) {
    constexpr int kRequests = 16;
    constexpr int kQueues = 3;
    AnsweringTask task(dir());
    ASSERT_NOERROR(task.status());
    int answered = 0, refused = 0;
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<std::string> files;
        for (int i = 0; i < kRequests; i++) {
            std::string from = file("s" + std::to_string(round) + "-" + std::to_string(i));
            mkdir(from.c_str(), 0755);
            files.push_back(from + "/ND_REQUEST_shared.xml");
            WriteFile(files.back(),
                      TokenRequest("MQ$Shared_" + std::to_string(i % kQueues),
                                   "r" + std::to_string(round) + "t" + std::to_string(i)));
        }
        const size_t servedBefore = task.served().size();
        std::vector<RunResult> results = SendAllAtOnce(dir(), files);
        const std::vector<AnsweringTask::Served> served = task.served();
        std::set<std::string> sentTokens;
        for (size_t k = servedBefore; k < served.size(); k++)
            sentTokens.insert(served[k].token);
        std::vector<int> winners(kQueues, 0);
        int refusedNow = 0;
        for (int i = 0; i < kRequests; i++) {
            const RunResult &r = results[i];
            const std::string token = "r" + std::to_string(round) + "t" + std::to_string(i);
            if (r.exitCode == 0) {
                answered++;
                winners[i % kQueues]++;
                EXPECT_EQ(r.out, "reply to " + token + "\n") << i;
                EXPECT_EQ(sentTokens.count(token), 1u) << token;
            } else {
                refused++;
                refusedNow++;
                EXPECT_EQ(r.exitCode, 3) << i << ": " << r.err;
                // (The holder's pid is shown when it still runs when asked.)
                ExpectOneErrorLine(r, "the reply queue \"MQ$Shared_" + std::to_string(i % kQueues) +
                                          "\" is in use by another process");
                EXPECT_NE(r.err.find("the request was not sent"), std::string::npos) << r.err;
                EXPECT_TRUE(r.out.empty()) << r.out;
                EXPECT_EQ(sentTokens.count(token), 0u) << token << " was sent all the same";
            }
        }
        EXPECT_EQ(sentTokens.size(), static_cast<size_t>(kRequests - refusedNow));
        for (int q = 0; q < kQueues; q++)
            EXPECT_GE(winners[q], 1) << "nobody got queue " << q;
    }
    EXPECT_EQ(answered + refused, 3 * kRequests);
    // Each queue ended with the command that held it.
    for (int q = 0; q < kQueues; q++)
        EXPECT_FALSE(QueueExists("MQ$Shared_" + std::to_string(q)));
}

TEST_F(NotesctlTest, AReplyQueueThatAnotherProcessHoldsIsRefused) {
    FakeTask task(dir());
    ASSERT_NOERROR(task.status());
    OwnQueue held("MQ$Mine");
    ASSERT_NOERROR(held.status);
    WriteFile(file("ND_REQUEST_x.xml"), TokenRequest("MQ$Mine", "x"));
    RunResult r = Notesctl({"request", dir(), file("ND_REQUEST_x.xml"), "--timeout", "30"});
    EXPECT_EQ(r.exitCode, 3);
    ExpectOneErrorLine(r, "the reply queue \"MQ$Mine\" is in use by another process (pid " +
                              std::to_string(getpid()) + ")");
    EXPECT_EQ(task.NextRequest(0), "");  // nothing was sent
    EXPECT_FALSE(test_support::FileExists(dir() + "/requests/ND_REQUEST_x.xml"));
    EXPECT_EQ(held.count(), 0);
    RunResult help = Notesctl({"request", "--help"});
    EXPECT_NE(help.out.find("  3   the reply queue is in use by another process"),
              std::string::npos)
        << help.out;
}

// "-PID-N": two runs of digits, each after a "-".
bool IsNumberTag(const std::string &tag) {
    size_t second = tag.find('-', 1);
    auto digits = [&](size_t from, size_t to) {
        return to > from && tag.find_first_not_of("0123456789", from) >= to;
    };
    return tag.size() > 3 && tag[0] == '-' && second != std::string::npos && digits(1, second) &&
           digits(second + 1, tag.size());
}

// A taken name gets "-PID-N" before its extension, which keeps the key by
// which the task picks the kind of request, wherever it stands in the name.
TEST_F(NotesctlTest, ATakenNameIsNumberedAndKeepsItsRequestKey) {
    struct Case {
        const char *name;
        const char *key;        // what must stay in the name
        const char *extension;  // what the numbered name ends with
    } cases[] = {
        {"ND_REQUEST_MOBILE_HCR_a.xml", "ND_REQUEST_MOBILE_HCR_", ".xml"},
        {"ND_REQUEST_INSTALL_IOS_HCR_", "ND_REQUEST_INSTALL_IOS_HCR_", ""},
        {"page.ND_REQUEST_HCR_", "ND_REQUEST_HCR_", ".ND_REQUEST_HCR_"},
        {".ND_REQUEST_HCR_x", "ND_REQUEST_HCR_", ""},
        {"ND_REQUEST_HCR_.tar.xml", "ND_REQUEST_HCR_.tar", ".xml"},
    };
    AnsweringTask task(dir());
    ASSERT_NOERROR(task.status());
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string folder = file("k" + std::to_string(n++));
        mkdir(folder.c_str(), 0755);
        WriteFile(folder + "/" + c.name, TokenRequest("MQ$K", c.name));
        std::string first, second;
        for (std::string *reply : {&first, &second}) {
            RunResult r = Notesctl({"request", dir(), folder + "/" + c.name, "--timeout", "60"});
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.out, std::string("reply to ") + c.name + "\n");
            *reply = ReplyFileOf(r);
        }
        EXPECT_TRUE(EndsWith(first, std::string("/requests/") + c.name)) << first;
        const std::string numbered = second.substr(second.rfind('/') + 1);
        const std::string name = c.name;
        const std::string stem = name.substr(0, name.size() - std::strlen(c.extension));
        ASSERT_EQ(numbered.rfind(stem, 0), 0u) << numbered;
        ASSERT_TRUE(EndsWith(numbered, c.extension)) << numbered;
        const std::string tag =
            numbered.substr(stem.size(), numbered.size() - stem.size() - std::strlen(c.extension));
        EXPECT_TRUE(IsNumberTag(tag)) << numbered;
        EXPECT_NE(numbered.find(c.key), std::string::npos) << numbered;
        EXPECT_EQ(ReadFile(first), ReadFile(second));
    }
}

// ---------------------------------------------------------------- tell

TEST_F(NotesctlTest, TellQuitStopsTheNamedTaskOnly) {
    RuntimeOn runtime(dir());
    ASSERT_NOERROR(runtime.status());
    char program[] = "/opt/bin/e2etask";
    char *argv[] = {program, nullptr};
    ASSERT_NOERROR(AddInTaskStart(1, argv));
    HANDLE line = AddInCreateStatusLine("Halcyra");
    AddInSetStatusLine(line, "Idle");

    RunResult other = Notesctl({"tell", dir(), "sometask", "quit"});
    EXPECT_EQ(other.exitCode, 1);
    ExpectOneErrorLine(other, "no task named sometask is running");
    EXPECT_FALSE(AddInShouldStop());

    // By program name or by status line, in any case; "quit" in any case.
    RunResult told = Notesctl({"tell", dir(), "HALCYRA", " Quit "});
    EXPECT_EQ(told.exitCode, 0) << told.err;
    EXPECT_TRUE(e2e::WaitFor([] { return AddInShouldStop() != FALSE; }, 60));
    EXPECT_EQ(Notesctl({"tell", dir(), "E2ETask", "quit"}).exitCode, 0);

    AddInDeleteStatusLine(line);
    AddInTaskEnd(1, argv);
    RunResult gone = Notesctl({"tell", dir(), "e2etask", "quit"});
    EXPECT_EQ(gone.exitCode, 1);
}

// ---------------------------------------------------------------- show

TEST_F(NotesctlTest, ShowTasksListsTheStatusLines) {
    RunResult empty = Notesctl({"show", dir(), "tasks"});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(Lines(empty.out).size(), 1u) << empty.out;  // the heading alone

    RuntimeOn runtime(dir());
    ASSERT_NOERROR(runtime.status());
    char program[] = "e2etask";
    char *argv[] = {program, nullptr};
    ASSERT_NOERROR(AddInTaskStart(1, argv));
    HANDLE module = 0;
    HMODULE mod = nullptr;
    AddInQueryDefaults(&mod, &module);
    AddInDeleteStatusLine(module);
    HANDLE one = AddInCreateStatusLine("Halcyra");
    AddInSetStatusLine(one, "Idle");
    HANDLE two = AddInCreateStatusLine("Helper");
    AddInSetStatusLine(two, "Working\ton it");

    RunResult r = Notesctl({"show", dir(), "tasks"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].rfind("Task", 0), 0u);
    EXPECT_EQ(lines[1].rfind("Halcyra ", 0), 0u) << lines[1];
    EXPECT_TRUE(EndsWith(lines[1], " Idle")) << lines[1];
    EXPECT_EQ(lines[2].rfind("Helper ", 0), 0u);
    EXPECT_TRUE(EndsWith(lines[2], " Working\\ton it")) << lines[2];

    AddInDeleteStatusLine(one);
    AddInDeleteStatusLine(two);
    AddInTaskEnd(1, argv);
}

TEST_F(NotesctlTest, ShowQueuesAndOneQueueWithoutTakingItsMessages) {
    RuntimeOn runtime(dir());
    ASSERT_NOERROR(runtime.status());
    OwnQueue a("Q_A"), b("Q_B");
    ASSERT_NOERROR(a.status);
    ASSERT_NOERROR(b.status);
    const std::vector<std::string> messages = {"first", "two\nlines", "back\\slash", ""};
    for (const std::string &m : messages) {
        ASSERT_NOERROR(MQPut(a.handle, 0, m.data(), static_cast<WORD>(m.size()), 0));
    }
    ASSERT_NOERROR(MQPut(a.handle, 0, "urgent", 6, 0));
    ASSERT_NOERROR(MQPutQuitMsg(b.handle));

    RunResult queues = Notesctl({"show", dir(), "queues"});
    EXPECT_EQ(queues.exitCode, 0) << queues.err;
    std::vector<std::string> rows = Lines(queues.out);
    ASSERT_EQ(rows.size(), 3u) << queues.out;
    EXPECT_EQ(rows[0].rfind("Queue", 0), 0u);
    EXPECT_EQ(rows[1].rfind("Q_A ", 0), 0u);
    EXPECT_TRUE(EndsWith(rows[1], " 5")) << rows[1];
    EXPECT_EQ(rows[2].rfind("Q_B ", 0), 0u);
    EXPECT_NE(rows[2].find(" 0 (quit pending)"), std::string::npos) << rows[2];

    RunResult one = Notesctl({"show", dir(), "queue", "Q_A"});
    EXPECT_EQ(one.exitCode, 0) << one.err;
    EXPECT_EQ(one.out, "first\ntwo\\nlines\nback\\\\slash\n\nurgent\n");
    EXPECT_EQ(MQGetCount(a.handle), 5);

    RunResult none = Notesctl({"show", dir(), "queue", "Q_none"});
    EXPECT_EQ(none.exitCode, 1);
    ExpectOneErrorLine(none, "no queue named Q_none");
}

// ---------------------------------------------------------------- queue

TEST_F(NotesctlTest, QueueSetsQuitPendingAndPutsMessages) {
    RuntimeOn runtime(dir());
    ASSERT_NOERROR(runtime.status());
    OwnQueue q("Q_work");
    ASSERT_NOERROR(q.status);

    RunResult put = Notesctl({"queue", dir(), "Q_work", "--put", "/data/requests/x.xml"});
    EXPECT_EQ(put.exitCode, 0) << put.err;
    EXPECT_EQ(Take(q.handle, 1000), "/data/requests/x.xml");

    EXPECT_FALSE(MQIsQuitPending(q.handle));
    RunResult quit = Notesctl({"queue", dir(), "Q_work", "--quit-pending"});
    EXPECT_EQ(quit.exitCode, 0) << quit.err;
    EXPECT_TRUE(MQIsQuitPending(q.handle));

    RunResult refused = Notesctl({"queue", dir(), "Q_work", "--put", "late"});
    EXPECT_EQ(refused.exitCode, 1);
    ExpectOneErrorLine(refused, "Quit is pending");

    for (const char *action : {"--quit-pending", "--put=x"}) {
        RunResult missing = Notesctl({"queue", dir(), "Q_none", action});
        EXPECT_EQ(missing.exitCode, 1);
        ExpectOneErrorLine(missing, "no queue named Q_none");
    }
}

// ---------------------------------------------------------------- dump

class NotesctlDump : public NotesctlTest {
  protected:
    Json Dump(const std::string &db) {
        RunResult r = Notesctl({"dump", dir(), db});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(r.err.empty()) << r.err;
        return Json::Parse(r.out);
    }
};

const Json &FindItem(const Json &note, const std::string &name) {
    for (const Json &item : note["items"].array()) {
        if (item["name"].string() == name)
            return item;
    }
    throw std::runtime_error("no item " + name);
}

TEST_F(NotesctlDump, EveryItemKindIsShownByItsType) {
    NOTEID id = 0;
    TIMEDATE when{};
    {
        RuntimeOn runtime(dir());
        ASSERT_NOERROR(runtime.status());
        ASSERT_NOERROR(NSFDbCreate("kinds.nsf", DBCLASS_BY_EXTENSION, FALSE));
        DBHANDLE db = NULLHANDLE;
        ASSERT_NOERROR(NSFDbOpen("kinds.nsf", &db));
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteCreate(db, &note));
        // Text with a stored line break (NUL) and a character outside ASCII
        // (LMBCS of "é" is 0x82 in the code page 850 half).
        const char text[] = "line one\0line two \x82";
        ASSERT_NOERROR(NSFItemSetText(note, "Body", text, sizeof text - 1));
        NUMBER n = 2.5;
        ASSERT_NOERROR(NSFItemSetNumber(note, "Count", &n));
        when.Innards[0] = 12 * TICKS_IN_HOUR + 30 * TICKS_IN_MINUTE + 5 * TICKS_IN_SECOND + 7;
        when.Innards[1] = 2460311;  // 2024-01-01, GMT, no daylight-saving
        ASSERT_NOERROR(NSFItemSetTime(note, "When", &when));
        // A text list: count, lengths, texts.
        const unsigned char list[] = {3, 0, 1, 0, 0, 0, 2, 0, 'a', 'b', 'c'};
        ASSERT_NOERROR(NSFItemAppend(note, ITEM_SUMMARY | ITEM_NAMES, "Names", 5, TYPE_TEXT_LIST,
                                     list, sizeof list));
        const unsigned char blob[] = {0xDE, 0xAD, 0x00, 0x01};
        ASSERT_NOERROR(NSFItemAppend(note, 0, "$Blob", 5, TYPE_COMPOSITE, blob, sizeof blob));
        // A number list: 2 entries, no ranges.
        unsigned char numbers[4 + 16] = {2, 0, 0, 0};
        const double entries[2] = {1.5, -2};
        std::memcpy(numbers + 4, entries, sizeof entries);
        ASSERT_NOERROR(
            NSFItemAppend(note, 0, "Numbers", 7, TYPE_NUMBER_RANGE, numbers, sizeof numbers));
        // A time list of one range, from "when" to a day later.
        unsigned char span[4 + 16] = {0, 0, 1, 0};
        TIMEDATE later = when;
        later.Innards[1] += 1;
        std::memcpy(span + 4, &when, 8);
        std::memcpy(span + 12, &later, 8);
        ASSERT_NOERROR(NSFItemAppend(note, 0, "Span", 4, TYPE_TIME_RANGE, span, sizeof span));
        // Says 3 numbers and holds one.
        unsigned char bad[4 + 8] = {3, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
        ASSERT_NOERROR(NSFItemAppend(note, 0, "Broken", 6, TYPE_NUMBER_RANGE, bad, sizeof bad));
        // Setting a text again replaces the item and puts it last.
        ASSERT_NOERROR(NSFItemSetText(note, "Body", "second of the name", MAXWORD));
        ASSERT_NOERROR(NSFNoteUpdate(note, 0));
        NSFNoteGetInfo(note, _NOTE_ID, &id);
        NSFNoteClose(note);
        NSFDbClose(db);
    }

    Json dump = Dump("kinds.nsf");
    EXPECT_EQ(dump["database"].string(), "kinds.nsf");
    EXPECT_GE(dump["buildVersion"].number(), 379);
    const Json *found = nullptr;
    for (const Json &note : dump["notes"].array()) {
        if (note["noteId"].number() == id)
            found = &note;
        EXPECT_EQ(note["unid"].string().size(), 32u);
        EXPECT_TRUE(note["oid"].has("sequence"));
    }
    ASSERT_NE(found, nullptr);
    const Json &note = *found;
    EXPECT_EQ(note["class"].number(), NOTE_CLASS_DOCUMENT);
    EXPECT_EQ(note["classNames"][0].string(), "document");

    // Items in their stored order.
    std::vector<std::string> names;
    for (const Json &item : note["items"].array())
        names.push_back(item["name"].string());
    EXPECT_EQ(names, (std::vector<std::string>{"Count", "When", "Names", "$Blob", "Numbers", "Span",
                                               "Broken", "Body"}));

    const Json &body = FindItem(note, "Body");
    EXPECT_EQ(body["typeName"].string(), "text");
    EXPECT_EQ(body["value"].string(), "second of the name");
    const Json &count = FindItem(note, "Count");
    EXPECT_EQ(count["type"].number(), TYPE_NUMBER);
    EXPECT_EQ(count["value"].number(), 2.5);
    const Json &time = FindItem(note, "When")["value"];
    EXPECT_EQ(time["iso"].string(), "2024-01-01T12:30:05.07Z");
    EXPECT_EQ(time["innards"][0].number(), when.Innards[0]);
    EXPECT_EQ(time["innards"][1].number(), when.Innards[1]);
    const Json &list = FindItem(note, "Names");
    EXPECT_EQ(list["typeName"].string(), "textList");
    EXPECT_EQ(list["flags"].number(), ITEM_SUMMARY | ITEM_NAMES);
    ASSERT_EQ(list["value"].size(), 3u);
    EXPECT_EQ(list["value"][0].string(), "a");
    EXPECT_EQ(list["value"][1].string(), "");
    EXPECT_EQ(list["value"][2].string(), "bc");
    EXPECT_EQ(list["flagNames"][1].string(), "names");
    const Json &blob = FindItem(note, "$Blob");
    EXPECT_FALSE(blob.has("value"));
    EXPECT_EQ(blob["hex"].string(), "dead0001");
    const Json &numbers = FindItem(note, "Numbers")["value"];
    ASSERT_EQ(numbers.size(), 2u);
    EXPECT_EQ(numbers[0].number(), 1.5);
    EXPECT_EQ(numbers[1].number(), -2);
    const Json &span = FindItem(note, "Span")["value"];
    EXPECT_EQ(span["list"].size(), 0u);
    ASSERT_EQ(span["ranges"].size(), 1u);
    EXPECT_EQ(span["ranges"][0][0]["iso"].string(), "2024-01-01T12:30:05.07Z");
    EXPECT_EQ(span["ranges"][0][1]["iso"].string(), "2024-01-02T12:30:05.07Z");
    const Json &broken = FindItem(note, "Broken");
    EXPECT_TRUE(broken["damaged"].boolean());
    EXPECT_FALSE(broken.has("value"));
    EXPECT_EQ(broken["hex"].string(), "030000000102030405060708");
}

TEST_F(NotesctlDump, TextIsTranslatedAndLineBreaksShown) {
    NOTEID id = 0;
    {
        RuntimeOn runtime(dir());
        ASSERT_NOERROR(runtime.status());
        ASSERT_NOERROR(NSFDbCreate("text.nsf", DBCLASS_BY_EXTENSION, FALSE));
        DBHANDLE db = NULLHANDLE;
        ASSERT_NOERROR(NSFDbOpen("text.nsf", &db));
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteCreate(db, &note));
        // "é" from code page 850 (0x82), "€" as an LMBCS group, a stored
        // line break (NUL), and a quote that JSON must escape.
        const char text[] = "caf\x82 \x14\x20\xAC\0\"two\"";
        ASSERT_NOERROR(NSFItemSetText(note, "Body", text, sizeof text - 1));
        ASSERT_NOERROR(NSFNoteUpdate(note, 0));
        NSFNoteGetInfo(note, _NOTE_ID, &id);
        NSFNoteClose(note);
        NSFDbClose(db);
    }
    RunResult r = Notesctl({"dump", dir(), "text.nsf"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"caf\xC3\xA9 \xE2\x82\xAC\\n\\\"two\\\"\""), std::string::npos) << r.out;
    Json dump = Json::Parse(r.out);
    for (const Json &note : dump["notes"].array()) {
        if (note["noteId"].number() != id)
            continue;
        EXPECT_EQ(FindItem(note, "Body")["value"].string(), "caf\xC3\xA9 \xE2\x82\xAC\n\"two\"");
        return;
    }
    ADD_FAILURE() << "note " << id << " missing";
}

TEST_F(NotesctlDump, TheNewProductTemplateHasItsIconNote) {
    Json dump = Dump("HCR.ntf");
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir().c_str(), real), nullptr);
    EXPECT_EQ(dump["path"].string(), std::string(real) + "/HCR.ntf");
    bool icon = false;
    for (const Json &note : dump["notes"].array()) {
        if (note.has("class") && (static_cast<int>(note["class"].number()) & NOTE_CLASS_ICON))
            icon = true;
    }
    EXPECT_TRUE(icon);
}

TEST_F(NotesctlDump, TheInformationTheAclAndEachNotesSignerAreShown) {
    NOTEID signedId = 0, changedId = 0;
    {
        RuntimeOn runtime(dir());
        ASSERT_NOERROR(runtime.status());
        DBHANDLE db = NULLHANDLE;
        ASSERT_NOERROR(NSFDbOpen("HCR.ntf", &db));
        for (NOTEID *id : {&signedId, &changedId}) {
            NOTEHANDLE note = NULLHANDLE;
            ASSERT_NOERROR(NSFNoteCreate(db, &note));
            ASSERT_NOERROR(NSFItemSetText(note, "Subject", "signed", MAXWORD));
            ASSERT_NOERROR(NSFNoteSign(note));
            if (id == &changedId)
                ASSERT_NOERROR(NSFItemSetText(note, "Subject", "changed after", MAXWORD));
            ASSERT_NOERROR(NSFNoteUpdate(note, 0));
            NSFNoteGetInfo(note, _NOTE_ID, id);
            NSFNoteClose(note);
        }
        NSFDbClose(db);
    }
    Json dump = Dump("HCR.ntf");
    EXPECT_EQ(dump["info"]["text"].string(), "Halcyra\n\nHalcyra");
    EXPECT_EQ(dump["info"]["title"].string(), "Halcyra");
    EXPECT_EQ(dump["info"]["categories"].string(), "");
    EXPECT_EQ(dump["info"]["templateName"].string(), "Halcyra");
    EXPECT_EQ(dump["info"]["inheritsFrom"].string(), "");
    const auto &roles = dump["acl"]["roles"].array();
    ASSERT_EQ(roles.size(), 2u);
    EXPECT_EQ(roles[1]["slot"].number(), 1);
    EXPECT_EQ(roles[1]["name"].string(), "[SysAdmin]");
    const auto &entries = dump["acl"]["entries"].array();
    ASSERT_EQ(entries.size(), 8u);
    EXPECT_EQ(entries[0]["name"].string(), "-Default-");
    EXPECT_EQ(entries[0]["levelName"].string(), "reader");
    EXPECT_EQ(entries[2]["name"].string(), "LocalDomainServers");
    EXPECT_EQ(entries[2]["level"].number(), 6);
    EXPECT_EQ(entries[2]["flags"].number(), 0x42);
    ASSERT_EQ(entries[2]["flagNames"].array().size(), 2u);
    EXPECT_EQ(entries[2]["flagNames"].array()[0].string(), "server");
    EXPECT_EQ(entries[6]["name"].string(), "[LocalDomainServers]");
    size_t seen = 0;
    for (const Json &note : dump["notes"].array()) {
        const NOTEID id = static_cast<NOTEID>(note["noteId"].number());
        if (id != signedId && id != changedId) {
            EXPECT_FALSE(note.has("signature")) << id;
            continue;
        }
        seen++;
        EXPECT_EQ(note["signature"]["signer"].string(), "CN=Vanterra/O=Demo");
        EXPECT_TRUE(note["signature"]["signed"].has("iso"));
        EXPECT_EQ(note["signature"]["digestMatches"].boolean(), id == signedId);
    }
    EXPECT_EQ(seen, 2u);
}

TEST_F(NotesctlDump, MissingOrDamagedDatabasesFailWithOneLine) {
    // A real database cut short, a text file, and an empty file.
    {
        RuntimeOn runtime(dir());
        ASSERT_NOERROR(runtime.status());
        ASSERT_NOERROR(NSFDbCreate("whole.nsf", DBCLASS_BY_EXTENSION, FALSE));
    }
    std::string whole = ReadFile(dir() + "/whole.nsf");
    ASSERT_GT(whole.size(), 1000u);
    WriteFile(dir() + "/cut.nsf", whole.substr(0, whole.size() / 3));
    WriteFile(dir() + "/text.nsf", "this is not a database, just some words\n");
    WriteFile(dir() + "/empty.nsf", "");
    std::string garbled = whole;
    for (size_t i = 100; i < garbled.size(); i += 7)
        garbled[i] = static_cast<char>(garbled[i] ^ 0x5A);
    WriteFile(dir() + "/garbled.nsf", garbled);

    for (const char *db : {"absent.nsf", "cut.nsf", "text.nsf", "empty.nsf", "garbled.nsf"}) {
        SCOPED_TRACE(db);
        RunResult r = Notesctl({"dump", dir(), db});
        EXPECT_EQ(r.exitCode, 1) << r.out;
        ExpectOneErrorLine(r, db);
        if (!r.out.empty()) {
            EXPECT_NO_THROW(Json::Parse(r.out)) << "what was written stays JSON";
        }
    }
    RunResult absent = Notesctl({"dump", dir(), "absent.nsf"});
    ExpectOneErrorLine(absent, "File does not exist");
}

}  // namespace
