// The request handlers: who gets a reply message, what it says, and what is
// logged.
#include <string>
#include <vector>

#include "standin/fault.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using Replies = std::vector<std::string>;

const char kReplyQueue[] = "MQ$TestReply";

class HandlerTest : public worker_test::QueueTest {
  protected:
    HandlerTest() : QueueTest(kReplyQueue) {}
    std::string Request(const std::string &attributes, const std::string &user = "John Doe/Acme") {
        const std::string path = files.file("ND_REQUEST_" + std::to_string(++count) + ".xml");
        test_support::WriteFile(
            path, "<Request><Username " + attributes + ">" + user + "</Username></Request>");
        return path;
    }
    std::string Log() const { return test_support::ReadFile(dataFile("console.log")); }
    bool Logged(const std::string &line) const { return Log().find(line) != std::string::npos; }

    test_support::TempDir files;
    int count = 0;
};

// A failed update answers with the failing step's text, keeps the request
// file and logs nothing.
TEST_F(HandlerTest, AFailedUpdateAnswersWithTheFailingStep) {
    const std::string path = Request(std::string("MQName=\"") + kReplyQueue +
                                     "\" Action=\"2\" HCREnable=\"1\" MailBox=\"mail/nobody\"");
    const std::string before = test_support::ReadFile(path);
    const std::string text = "getHCRProfile:" + test_support::StatusText(ERR_NOEXIST);
    IPHCR worker;
    worker.HandleXmlRequest(path);
    EXPECT_EQ(queue->Take(), Replies{text});
    EXPECT_EQ(Access::errorReplyText(worker), text);
    EXPECT_EQ(test_support::ReadFile(path), before);
    EXPECT_FALSE(Logged("Halcyra")) << Log();
}

TEST_F(HandlerTest, Outcomes) {
    const std::string reply = std::string("MQName=\"") + kReplyQueue + "\"";
    const std::string badDate = "StartTimeYear=\"2031\" StartTimeMonth=\"13\" StartTimeDay=\"1\"";
    struct Case {
        const char *what;
        std::string path;
        Replies replies;
    } cases[] = {
        {"file missing", files.file("ND_REQUEST_missing.xml"), {}},
        {"parse fails before MQName", Request(reply + " Action=\"1\"", "<unclosed>"), {}},
        {"date fails after MQName",
         Request(reply + " Action=\"1\" " + badDate),
         {"receiveElements:The leaving date is invalid.."}},
        {"date fails before MQName is read", Request(badDate + " Action=\"1\""), {}},
        {"MQName absent", Request("Action=\"1\""), {}},
        {"MQName empty", Request("MQName=\"\" Action=\"1\""), {}},
        {"Action 4", Request(reply + " Action=\"4\""), {}},
        {"Action absent", Request(reply), {}},
        {"reply queue missing", Request("MQName=\"MQ$Nobody\" Action=\"1\""), {}},
    };
    for (const Case &c : cases) {
        IPHCR worker;
        worker.HandleXmlRequest(c.path);
        EXPECT_EQ(queue->Take(), c.replies) << c.what;
    }
    EXPECT_FALSE(Logged("Halcyra")) << Log();
}

TEST_F(HandlerTest, PageRequestWithoutReplyQueueWritesNothing) {
    for (const std::string &attributes :
         {std::string("LoginName=\"jdoe\""), std::string("MQName=\"\" LoginName=\"jdoe\"")}) {
        const std::string path = Request(attributes);
        const std::string before = test_support::ReadFile(path);
        IPHCR worker;
        worker.HandleMobileRequest(path, "", "", "");
        worker.HandleAppConfigRequest(path, "", "", "");
        worker.HandleInstallIosRequest(path, "", "", "");
        EXPECT_EQ(test_support::ReadFile(path), before);
    }
    EXPECT_EQ(queue->Take(), Replies{});
}

TEST_F(HandlerTest, NameThatCannotBeAbbreviatedIsLoggedAndSent) {
    const std::string text = test_support::StatusText(ERR_BAD_PARAM);
    for (const char *action : {"1", "3", "4", ""}) {
        StandinFaultInject({"DNAbbreviate", ERR_BAD_PARAM, 0, 1, nullptr});
        IPHCR worker;
        worker.HandleXmlRequest(
            Request(std::string("MQName=\"") + kReplyQueue + "\" Action=\"" + action + "\""));
        EXPECT_EQ(queue->Take(), Replies{text}) << action;
        EXPECT_EQ(Access::errorReplyText(worker), text);
        StandinFaultClear();
    }
    // Once per request, whatever it asked for.
    std::string log = Log();
    size_t lines = 0;
    for (size_t at = log.find("Halcyra: " + text); at != std::string::npos;
         at = log.find("Halcyra: " + text, at + 1)) {
        lines++;
    }
    EXPECT_EQ(lines, 4u) << log;
}

TEST_F(HandlerTest, ReplyIsTheTextsBytesWithoutTerminator) {
    IPHCR worker;
    Access::replyQueueName(worker) = kReplyQueue;
    worker.SendReply("OK");
    worker.SendReply("");
    worker.SendReply(std::string("a\0b", 3));
    Replies replies = queue->Take();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].size(), 2u);
    EXPECT_EQ(replies[0], "OK");
    EXPECT_EQ(replies[1], "");
    EXPECT_EQ(replies[2], std::string("a\0b", 3));

    Access::replyQueueName(worker) = "MQ$Nobody";
    worker.SendReply("lost");
    EXPECT_EQ(queue->Take(), Replies{});
}

TEST_F(HandlerTest, LongRepliesAreCutBetweenCharacters) {
    IPHCR worker;
    Access::replyQueueName(worker) = kReplyQueue;
    const size_t most = MQ_MAX_MSGSIZE;
    const std::string e = "\xC3\xA9", smiley = "\xF0\x9F\x98\x80";
    struct Case {
        std::string text;
        size_t sent;
    } cases[] = {
        {std::string(most, 'a'), most},
        {std::string(most + 1, 'a'), most},
        {std::string(70000, 'a'), most},
        {std::string(most - 1, 'a') + e + "tail", most - 1},
        {std::string(most - 2, 'a') + e + "tail", most},
        {std::string(most - 2, 'a') + smiley + std::string(65536, 'b'), most - 2},
        {std::string(most - 3, 'a') + smiley, most - 3},
    };
    for (const Case &c : cases) {
        worker.SendReply(c.text);
        Replies replies = queue->Take();
        ASSERT_EQ(replies.size(), 1u) << c.text.size();
        EXPECT_EQ(replies[0].size(), c.sent) << c.text.size();
        EXPECT_TRUE(replies[0] == c.text.substr(0, c.sent));
    }
}

}  // namespace
