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

class ReadQueryTest : public test_support::DataDirTest {
  protected:
    void SetUp() override {
        DataDirTest::SetUp();
        queue.reset(new worker_test::ReplyQueue(kReplyQueue));
    }
    void TearDown() override {
        queue.reset();
        DataDirTest::TearDown();
    }
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
    std::unique_ptr<worker_test::ReplyQueue> queue;
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
            // What a failed close left is given up with the runtime.
            queue.reset();
            NotesRuntimeEnd();
            std::string arg = "=" + iniPath();
            char program[] = "unit-test";
            char *argv[] = {program, arg.data(), nullptr};
            ASSERT_NOERROR(NotesRuntimeStart(2, argv));
            queue.reset(new worker_test::ReplyQueue(kReplyQueue));
        }
    }
    xml_toolkit::Stop();
    EXPECT_LT(n, 5000u) << "the walk did not end";
    EXPECT_GT(n, 50u) << "a read makes more calls than that";
    RecordProperty("calls_of_a_read", std::to_string(n));
    RecordProperty("failed_calls_answered_ok", std::to_string(oks));
}

}  // namespace
