// Reads and queries answered through the request handler: the reply text,
// the reply document over the request file, and the log line.
#include <map>
#include <string>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "worker_test_support.h"
#include "xml_toolkit.h"

namespace {

using Access = IPHCRTestAccess;
using Replies = std::vector<std::string>;
using worker_test::Items;
using worker_test::List;
using worker_test::Lmbcs;
using worker_test::NowPlus;
using worker_test::ReadReply;
using worker_test::Text;
using worker_test::Time;
using worker_test::UserElement;

const char kReplyQueue[] = "MQ$ReadReply";

class ReadQueryTest : public worker_test::QueueTest {
  protected:
    ReadQueryTest() : QueueTest(kReplyQueue) {}
    // A mail file of this server with the profile given.
    void MailFile(const std::string &path, const Items &profile,
                  const worker_test::MailFileOptions &options = worker_test::MailFileOptions()) {
        worker_test::Database db(path);
        worker_test::BuildMailFile(db, options);
        db.SetProfile("OutOfOfficeProfile", profile);
    }
    // A request file of these attributes for the user; its path.
    std::string Request(const std::string &attributes, const std::string &user) {
        const std::string path = files.file("ND_" + std::to_string(++count) + ".xml");
        test_support::WriteFile(path, "<Request><Username MQName=\"" + std::string(kReplyQueue) +
                                          "\" " + attributes + ">" + user +
                                          "</Username></Request>");
        return path;
    }
    std::string Read(const std::string &mailBox, const std::string &user,
                     const std::string &server = "") {
        const std::string path =
            Request("Action=\"1\" MailServer=\"" + server + "\" MailBox=\"" + mailBox + "\"", user);
        IPHCR worker;
        worker.SetUseOooApi(1);
        worker.HandleXmlRequest(path);
        return path;
    }
    // Open handles but the test's own reply queue.
    static DWORD WorkerHandles() {
        return StandinHandleCount(STANDIN_HANDLE_ANY) - StandinHandleCount(STANDIN_HANDLE_QUEUE);
    }
    std::string Log() const { return test_support::ReadFile(dataFile("console.log")); }
    bool Logged(const std::string &line) const { return Log().find(line) != std::string::npos; }

    test_support::TempDir files;
    int count = 0;
};

TEST_F(ReadQueryTest, AReadOfAServiceUserIsAnsweredOkWithTheStateReply) {
    MailFile("mail/jdoe.nsf", {{"$Owner", Text("CN=Jane Doe/O=Acme")},
                               {"TaskType", Text("2")},
                               {"TaskState", Text("1")},
                               {"ShowHours", Text("1")},
                               {"Form", Text("Memo")},
                               {"GeneralSubject", Text("Away")},
                               {"GeneralMessage", Text(std::string("Back\0soon", 9))},
                               {"dateFirstDayOut", Time(NowPlus(-1))},
                               {"dateFirstDayBack", Time(NowPlus(3))},
                               {"Notified", Text("CN=Ann Lee/O=Acme")}});
    const std::string path = Read("mail\\jdoe", "CN=Jane Doe/O=Acme");
    EXPECT_EQ(queue->Take(), Replies{"OK"});
    const std::string reply = test_support::ReadFile(path);
    EXPECT_EQ(reply.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>"
                          "<HCRReadObject><User ",
                          0),
              0u)
        << reply;
    EXPECT_EQ(reply.find('\n'), std::string::npos) << "one line";
    const std::vector<UserElement> users = ReadReply(reply);
    ASSERT_EQ(users.size(), 1u);
    const UserElement &u = users[0];
    // All but the stored DaysOut and AppendSubjectDate, which the profile
    // lacks, and the learned AppendSubjectDate, which is empty.
    EXPECT_EQ(u.attributes.size(), 32u);
    EXPECT_FALSE(u.has("DaysOutValue"));
    EXPECT_FALSE(u.has("AppendSubjectDateValue"));
    EXPECT_EQ(u.text, "Jane Doe");
    EXPECT_EQ(u.at("TaskType"), "2");
    EXPECT_EQ(u.at("HCREnable"), "1");
    EXPECT_EQ(u.at("ShowHours"), "1");
    EXPECT_EQ(u.at("Subject"), "Away");
    EXPECT_EQ(u.at("Message"), "Back\nsoon");
    EXPECT_EQ(u.at("Notified"), "Ann Lee/Acme");
    // Learned from the mail template, not its defaults.
    EXPECT_EQ(u.at("DaysOut"), "I am out of the office from var_First until var_Back.");
    EXPECT_EQ(u.at("ResetSubject"), "var_User is out of the office");
    EXPECT_FALSE(u.has("AppendSubjectDate"));
    EXPECT_EQ(u.at("User_Status"), "1");
    EXPECT_TRUE(Logged("Halcyra: [Jane Doe/Acme] OutOfOfficeProfile has been read.")) << Log();
    EXPECT_EQ(WorkerHandles(), 0u);
}

TEST_F(ReadQueryTest, AReadOfAnAgentUserShowsTheAgentsState) {
    MailFile("mail/rroe.nsf", {{"TaskState", Text("1")}, {"ShowHours", Text("1")}},
             {worker_test::MailFileOptions::Shipped, true, true});
    const std::string path = Read("mail/rroe.nsf", "CN=Rob Roe/O=Acme");
    EXPECT_EQ(queue->Take(), Replies{"OK"});
    const std::vector<UserElement> users = ReadReply(test_support::ReadFile(path));
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("TaskType"), "1");
    EXPECT_EQ(users[0].at("ShowHours"), "0");
    EXPECT_EQ(users[0].at("HCREnable"), "1");
    EXPECT_EQ(users[0].text, "CN=Rob Roe/O=Acme");
    EXPECT_TRUE(Logged("Halcyra: [Rob Roe/Acme] OutOfOfficeProfile has been read.")) << Log();
}

// The log line tells that the read was served, also when its answer could
// not be delivered.
TEST_F(ReadQueryTest, AServedReadIsLoggedWhenItsReplyQueueIsGone) {
    MailFile("mail/jdoe.nsf", {{"TaskType", Text("2")}});
    const std::string path = files.file("ND_gone.xml");
    test_support::WriteFile(path,
                            "<Request><Username MQName=\"MQ$Nobody\" Action=\"1\" "
                            "MailBox=\"mail/jdoe\">CN=Jane Doe/O=Acme</Username></Request>");
    IPHCR worker;
    worker.HandleXmlRequest(path);
    EXPECT_EQ(ReadReply(test_support::ReadFile(path)).size(), 1u);
    EXPECT_TRUE(Logged("Halcyra: [Jane Doe/Acme] OutOfOfficeProfile has been read.")) << Log();
    EXPECT_EQ(queue->Take(), Replies{});
}

TEST_F(ReadQueryTest, AReadThatFailsIsAnsweredWithTheFailingStep) {
    MailFile("mail/noagent.nsf", {{"TaskState", Text("1")}},
             {worker_test::MailFileOptions::Shipped, false, false});
    struct Case {
        const char *what;
        const char *mailBox;
        std::string reply;
    } cases[] = {
        {"no mail file", "mail/nobody", "getHCRProfile:" + test_support::StatusText(ERR_NOEXIST)},
        {"no agent where it is asked", "mail/noagent",
         "getAgent:" + test_support::StatusText(ERR_DESIGN_NOT_FOUND)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = Read(c.mailBox, "CN=Jane Doe/O=Acme");
        const std::string request = test_support::ReadFile(path);
        EXPECT_EQ(queue->Take(), Replies{c.reply});
        EXPECT_EQ(test_support::ReadFile(path), request) << "the request file stays";
    }
    EXPECT_FALSE(Logged("has been read")) << Log();
    EXPECT_EQ(WorkerHandles(), 0u);
}

// Every public call of a read fails once in turn: each gives an error reply
// or "OK" (none when the reply itself fails), never a crash, and leaves no
// handle open but the one whose close was failed.
TEST_F(ReadQueryTest, EveryCallOfAReadCanFailAndLeavesNothingBehind) {
    // The out-of-office API decides (TaskState 0), the agent tells the state.
    OSSetEnvironmentVariable("HCRUseOOOAPI", "1");
    MailFile("mail/walk.nsf",
             {{"$Owner", Text("CN=Jane Doe/O=Acme")},
              {"TaskState", Text("0")},
              {"Form", Text("Memo")},
              {"Notified", Text("CN=Ann Lee/O=Acme")}},
             {worker_test::MailFileOptions::Shipped, true, true});
    {
        worker_test::Database db("mail/walk.nsf", false);
        db.SetProfile("ooserviceprofile", {{"Notified_1", Text("CN=Cy Dee/O=Acme")}});
    }
    // The library stays up between the workers, as the task holds it.
    ASSERT_TRUE(xml_toolkit::Start());
    unsigned n = 0;
    unsigned oks = 0;
    for (; n < 5000; n++) {
        SCOPED_TRACE("call " + std::to_string(n));
        const std::string path =
            Request("Action=\"1\" MailBox=\"mail/walk\"", "CN=Jane Doe/O=Acme");
        const std::string request = test_support::ReadFile(path);
        StandinFaultInject({"*", ERR_DB_BUSY, n, 1, nullptr});
        {
            IPHCR worker;
            worker.SetUseOooApi(1);
            worker.HandleXmlRequest(path);
            worker.Reset(true);
        }
        const unsigned hits = StandinFaultHits("*");
        char failed[64] = "";
        StandinFaultLastWildcardCall(failed, sizeof failed);
        StandinFaultClear();
        if (hits == 0) {
            EXPECT_EQ(queue->Take(), Replies{"OK"}) << "the walk's end is a whole read";
            break;
        }
        SCOPED_TRACE(failed);
        const Replies replies = queue->Take();
        const std::string call = failed;
        if (call == "MQOpen" || call == "MQPut") {
            EXPECT_TRUE(replies.empty());
        } else {
            ASSERT_EQ(replies.size(), 1u);
            const std::string content = test_support::ReadFile(path);
            if (replies[0] == "OK") {
                oks++;
                EXPECT_EQ(ReadReply(content).size(), 1u);
            } else {
                EXPECT_FALSE(replies[0].empty());
                EXPECT_TRUE(content == request || content.empty()) << content;
            }
        }
        // What is left open: nothing but the test's own reply queue, or what
        // the failed close held (a note keeps its items' memory).
        std::map<int, DWORD> expected = {{STANDIN_HANDLE_DATABASE, 0}, {STANDIN_HANDLE_NOTE, 0},
                                         {STANDIN_HANDLE_AGENT, 0},    {STANDIN_HANDLE_COMPUTE, 0},
                                         {STANDIN_HANDLE_QUEUE, 1},    {STANDIN_HANDLE_MEMORY, 0}};
        if (call == "NSFNoteClose") {
            expected[STANDIN_HANDLE_NOTE] = 1;
            expected.erase(STANDIN_HANDLE_MEMORY);
        } else if (call == "NSFDbClose") {
            expected[STANDIN_HANDLE_DATABASE] = 1;
        } else if (call == "NSFComputeStop") {
            expected[STANDIN_HANDLE_COMPUTE] = 1;
        } else if (call == "MQClose") {
            expected[STANDIN_HANDLE_QUEUE] = 2;
        } else {
            EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 1u);
        }
        for (const auto &kind : expected)
            EXPECT_EQ(StandinHandleCount(kind.first), kind.second) << "kind " << kind.first;
        const DWORD left = StandinHandleCount(STANDIN_HANDLE_ANY) - 1;
        if (left != 0) {
            RestartRuntime();
        }
    }
    xml_toolkit::Stop();
    EXPECT_LT(n, 5000u) << "the walk did not end";
    EXPECT_GT(n, 50u) << "a read makes more calls than that";
    RecordProperty("calls_of_a_read", std::to_string(n));
    RecordProperty("failed_calls_answered_ok", std::to_string(oks));
}

// A directory of people with mail files of this server, and groups of them.
class QueryTest : public ReadQueryTest {
  protected:
    void SetUp() override {
        ReadQueryTest::SetUp();
        directory.reset(new worker_test::Directory());
        Person("CN=Ann Lee/O=Acme", "mail/alee.nsf",
               {{"TaskType", Text("2")},
                {"TaskState", Text("1")},
                {"dateFirstDayBack", Time(NowPlus(2))},
                {"Notified", Text("CN=X One/O=Acme")}});
        Person("CN=Bob Ray/O=Acme", "mail/bray.nsf",
               {{"TaskState", Text("1")},
                {"AdminP_Status", Text("ENABLE")},
                {"Notified", Text("CN=Y Two/O=Acme")}});
        // A state that says nothing: the element must not show Ann's.
        Person("CN=Cy Dee/O=Acme", "mail/cdee.nsf",
               {{"TaskType", Text("2")},
                {"TaskState", Text("7")},
                {"Notified", Text("CN=Z Three/O=Acme")}});
        Person(Lmbcs("CN=Jürgen Weiß/O=Acme"), "mail/jweiss.nsf",
               {{"$Owner", Text(Lmbcs("CN=Jürgen Weiß/O=Acme"))}});
        directory->Person({"CN=No Mail/O=Acme"}, "", "");
        directory->Person({"CN=Gone Mail/O=Acme"}, "CN=Vanterra Test/O=Acme", "mail/gone.nsf");
        // A mail file without a server: this server's.
        MailFile("mail/fonly.nsf", {{"TaskType", Text("2")}});
        directory->Person({"CN=File Only/O=Acme"}, "", "mail/fonly.nsf");
        directory->Group("Team", {"CN=Ann Lee/O=Acme", "Inner"});
        directory->Group("Inner", {"Bob Ray/Acme", "CN=Cy Dee/O=Acme"});
        directory->Group("Nobody Group", {});
        directory->Group("Mixed", {"CN=Stranger/O=Acme", "CN=No Mail/O=Acme", "CN=Gone Mail/O=Acme",
                                   "CN=File Only/O=Acme", "Ann %a Lee", Lmbcs("CN=Jörg/O=Acme")});
    }
    void Person(const std::string &name, const std::string &mailFile, const Items &profile) {
        MailFile(mailFile, profile);
        directory->Person({name}, "CN=Vanterra Test/O=Acme", mailFile);
    }
    // A query for the name (UTF-8) through the handler; the reply texts.
    Replies Query(const std::string &name) {
        path = Request("Action=\"3\" QueryUser=\"CN=Boss/O=Acme\"", name);
        request = test_support::ReadFile(path);
        IPHCR worker;
        worker.SetUseOooApi(1);
        worker.HandleXmlRequest(path);
        worker.Reset(true);
        return queue->Take();
    }
    std::vector<UserElement> Users() { return ReadReply(test_support::ReadFile(path)); }
    static std::string NotFound(const std::string &name) {
        return name + " was not found in the directory";
    }

    std::unique_ptr<worker_test::Directory> directory;
    std::string path, request;
};

TEST_F(QueryTest, APersonIsReportedInOneFullElement) {
    ASSERT_EQ(Query("Ann Lee/Acme"), Replies{"OK"});
    const std::vector<UserElement> users = Users();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].text, "Ann Lee/Acme");
    EXPECT_EQ(users[0].at("User_Status"), "1");
    EXPECT_EQ(users[0].at("HCREnable"), "1");
    EXPECT_EQ(users[0].at("Notified"), "X One/Acme");
    EXPECT_FALSE(users[0].has("DaysOutValue"));
    EXPECT_TRUE(
        Logged("Halcyra: [Ann Lee/Acme] OutOfOfficeProfile has been queried by [Boss/Acme]."))
        << Log();
    EXPECT_EQ(WorkerHandles(), 1u) << "the test's directory alone";
}

TEST_F(QueryTest, ANestedGroupIsReportedMemberByMemberInTheExpansionsOrder) {
    ASSERT_EQ(Query("Team"), Replies{"OK"});
    const std::vector<UserElement> users = Users();
    ASSERT_EQ(users.size(), 3u);
    EXPECT_EQ(users[0].text, "Ann Lee/Acme");
    EXPECT_EQ(users[1].text, "Bob Ray/Acme");
    EXPECT_EQ(users[2].text, "Cy Dee/Acme");
    EXPECT_EQ(users[0].at("Notified"), "X One/Acme");
    EXPECT_EQ(users[1].at("Notified"), "Y Two/Acme");
    EXPECT_EQ(users[2].at("Notified"), "Z Three/Acme");
    EXPECT_EQ(users[0].at("TaskType"), "2");
    EXPECT_EQ(users[1].at("TaskType"), "1");
    EXPECT_EQ(users[0].at("HCREnable"), "1");
    EXPECT_EQ(users[1].at("HCREnable"), "1");
    EXPECT_EQ(users[2].at("HCREnable"), "0") << "not the previous member's";
    for (const UserElement &u : users)
        EXPECT_EQ(u.at("User_Status"), "1");
    EXPECT_TRUE(Logged("Halcyra: [Team] OutOfOfficeProfile has been queried by [Boss/Acme]."));
}

TEST_F(QueryTest, ANameForNobodyIsAnEmptyGroup) {
    for (const char *name : {"Nobody Group", "Ghost"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Query(name), Replies{"OK"});
        const std::vector<UserElement> users = Users();
        ASSERT_EQ(users.size(), 1u);
        EXPECT_EQ(users[0].attributes, (std::map<std::string, std::string>{
                                           {"User_Status", "0"}, {"ErrorMsg", "Empty Group"}}));
        EXPECT_EQ(users[0].text, name);
    }
}

// Members that cannot be served get an error element under the name that
// the expansion gave, abbreviated; the others are served.
TEST_F(QueryTest, MembersThatCannotBeServedGetErrorElementsAndTheRestIsServed) {
    ASSERT_EQ(Query("Mixed"), Replies{"OK"});
    const std::vector<UserElement> users = Users();
    ASSERT_EQ(users.size(), 6u);
    struct Expected {
        const char *errorMsg;  // null: a full element
        std::string text;
    } expected[] = {
        {"", "Stranger/Acme"},  {"No mail file", "No Mail/Acme"},
        {"", "Gone Mail/Acme"}, {nullptr, "File Only/Acme"},
        {"", "Ann %a Lee"},     {"", "Jörg/Acme"},
    };
    const std::string errors[] = {
        NotFound("Stranger/Acme"), "No mail file",       test_support::StatusText(ERR_NOEXIST), "",
        NotFound("Ann %a Lee"),    NotFound("Jörg/Acme")};
    for (size_t i = 0; i < 6; i++) {
        SCOPED_TRACE(expected[i].text);
        EXPECT_EQ(users[i].text, expected[i].text);
        if (expected[i].errorMsg == nullptr) {
            EXPECT_EQ(users[i].at("User_Status"), "1");
            continue;
        }
        EXPECT_EQ(users[i].attributes, (std::map<std::string, std::string>{
                                           {"User_Status", "0"}, {"ErrorMsg", errors[i]}}));
    }
}

TEST_F(QueryTest, NamesOutsideAsciiComeOutInUtf8) {
    ASSERT_EQ(Query("Jürgen Weiß/Acme"), Replies{"OK"});
    const std::vector<UserElement> users = Users();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].text, "Jürgen Weiß/Acme");
    EXPECT_EQ(users[0].at("Subject"), "Jürgen Weiß is out of the office");
    // Logged in LMBCS, which the console shows as UTF-8.
    EXPECT_TRUE(Logged("Halcyra: [Jürgen Weiß/Acme] OutOfOfficeProfile"));
}

TEST_F(QueryTest, AMemberWhoseServerIsDownIsServedByItsClusterMate) {
    test_support::TempDir down, mate;
    ASSERT_NOERROR(StandinServerRegister("CN=Down/O=Acme", down.path().c_str()));
    ASSERT_NOERROR(StandinServerRegister("CN=Mate/O=Acme", mate.path().c_str()));
    directory->Server("CN=Down/O=Acme", "Pair");
    directory->Server("CN=Mate/O=Acme", "Pair");
    {
        worker_test::Database db(mate.path() + "/mail/far.nsf");
        worker_test::BuildMailFile(db);
        db.SetProfile("OutOfOfficeProfile",
                      {{"TaskType", Text("2")}, {"GeneralSubject", Text("from the mate")}});
    }
    directory->Person({"CN=Far Away/O=Acme"}, "CN=Down/O=Acme", "mail/far.nsf");
    ASSERT_NOERROR(StandinServerSetDown("Down/Acme", TRUE));
    ASSERT_EQ(Query("Far Away/Acme"), Replies{"OK"});
    const std::vector<UserElement> users = Users();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("Subject"), "from the mate");
    ASSERT_NOERROR(StandinServerSetDown("Mate/Acme", TRUE));
    ASSERT_EQ(Query("Far Away/Acme"), Replies{"OK"});
    ASSERT_EQ(Users().size(), 1u);
    EXPECT_EQ(Users()[0].at("ErrorMsg"), test_support::StatusText(ERR_SERVER_NOT_RESPONDING));
}

// Before the document exists a failure is the reply and the request stays;
// after, the document is not written.
TEST_F(QueryTest, AFailedQueryIsAnsweredWithItsTextAndWritesNoDocument) {
    for (const char *call : {"ListAllocate", "ListAddEntry", "NAMEExpandNamesList"}) {
        SCOPED_TRACE(call);
        StandinFaultInject({call, ERR_MEMORY, 0, 1, nullptr});
        EXPECT_EQ(Query("Team"), Replies{"getUserStatus:" + test_support::StatusText(ERR_MEMORY)});
        StandinFaultClear();
        EXPECT_EQ(test_support::ReadFile(path), request);
    }
    // The third member's out-of-office version cannot be read.
    {
        worker_test::Database db("mail/cdee.nsf", false);
        NOTEHANDLE icon = NULLHANDLE;
        ASSERT_NOERROR(NSFNoteOpen(db.handle(), NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
        worker_test::SetItem(icon, "$OOOVersion", Text("7"));
        ASSERT_NOERROR(NSFNoteUpdate(icon, 0));
        NSFNoteClose(icon);
        NOTEHANDLE profile = NULLHANDLE;
        ASSERT_NOERROR(
            NSFProfileOpen(db.handle(), "OutOfOfficeProfile", 18, nullptr, 0, TRUE, &profile));
        worker_test::SetItem(profile, "TaskState", Text("0"));
        ASSERT_NOERROR(NSFNoteUpdate(profile, 0));
        NSFNoteClose(profile);
    }
    OSSetEnvironmentVariable("HCRUseOOOAPI", "1");
    EXPECT_EQ(Query("Team"),
              Replies{"getHCRType:" + test_support::StatusText(ERR_OOO_BAD_VERSION)});
    EXPECT_EQ(test_support::ReadFile(path), "");
    EXPECT_FALSE(Logged("queried")) << Log();
    EXPECT_EQ(WorkerHandles(), 1u) << "the test's directory alone";
}

}  // namespace
