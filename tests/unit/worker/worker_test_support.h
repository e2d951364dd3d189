// Helpers of the worker's unit tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ip_exception.h"
#include "iphcr.h"
#include "notes_api.h"
#include "request_parser.h"
#include "test_support.h"

// The tests' window on a worker's fields (IPHCR names it its friend).
struct IPHCRTestAccess {
#define IPHCR_FIELD(type, name)   \
    static type &name(IPHCR &w) { \
        return w.name;            \
    }
    IPHCR_FIELD(XMLStringTranslate *, translator)
    IPHCR_FIELD(xercesc::XercesDOMParser *, parser)
    IPHCR_FIELD(DBHANDLE, mailDb)
    IPHCR_FIELD(NOTEHANDLE, profileNote)
    IPHCR_FIELD(NOTEHANDLE, serviceProfileNote)
    IPHCR_FIELD(HAGENT, agent)
    IPHCR_FIELD(std::string, userName)
    IPHCR_FIELD(std::string, message)
    IPHCR_FIELD(TIMEDATE, leaveTime)
    IPHCR_FIELD(TIMEDATE, returnTime)
    IPHCR_FIELD(std::string, subject)
    IPHCR_FIELD(std::string, replyQueueName)
    IPHCR_FIELD(int32_t, enabled)
    IPHCR_FIELD(int32_t, excludeInternetMail)
    IPHCR_FIELD(std::string, mailServer)
    IPHCR_FIELD(std::string, mailFile)
    IPHCR_FIELD(uint16_t, action)
    IPHCR_FIELD(std::string, ownerDisplayName)
    IPHCR_FIELD(std::vector<std::string>, notifiedNames)
    IPHCR_FIELD(std::string, loginName)
    IPHCR_FIELD(std::string, loginServer)
    IPHCR_FIELD(std::string, queryUser)
    IPHCR_FIELD(std::string, resultText)
    IPHCR_FIELD(TIMEDATE, uiFirstDayOut)
    IPHCR_FIELD(TIMEDATE, uiFirstDayBack)
    IPHCR_FIELD(TIMEDATE, uiStartTime)
    IPHCR_FIELD(TIMEDATE, uiEndTime)
    IPHCR_FIELD(std::string, showHours)
    IPHCR_FIELD(int32_t, agentType)
    IPHCR_FIELD(int32_t, appendSubject)
    IPHCR_FIELD(int32_t, appendSubjectPresent)
    IPHCR_FIELD(std::string, appendSubjectDate)
    IPHCR_FIELD(std::string, appendSubjectDateValue)
    IPHCR_FIELD(std::string, daysOut)
    IPHCR_FIELD(std::string, daysOutValue)
    IPHCR_FIELD(std::string, daysOutS)
    IPHCR_FIELD(std::string, daysOutV)
    IPHCR_FIELD(int32_t, wasDisabledBefore)
    IPHCR_FIELD(int32_t, useOooApi)
    IPHCR_FIELD(std::string, resetSubject)
    IPHCR_FIELD(std::string, errorReplyText)
    IPHCR_FIELD(std::unique_ptr<RequestParserGuards>, parserGuards)
    IPHCR_FIELD(bool, entryUnrecorded)
#undef IPHCR_FIELD
};

namespace worker_test {

// The folder of the request files that every run replays.
inline std::string AssetDir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/../../assets/requests";
}

// The text that every refused request file gives.
inline const char *Unexpected() {
    return "xmlParser:Unexpected Exception\n";
}

// Parses a request file through the worker; the IPException text, or "" when
// the parse worked.
inline std::string ParseError(IPHCR &worker, const std::string &path) {
    try {
        worker.xmlParser(path);
        return "";
    } catch (const IPException &e) {
        return e.message();
    }
}

// A fresh data directory with a worker made for each test, and a folder for
// the test's request files.
class WorkerTest : public test_support::DataDirTest {
  protected:
    void SetUp() override {
        DataDirTest::SetUp();
        worker.reset(new IPHCR);
    }
    void TearDown() override {
        worker.reset();
        DataDirTest::TearDown();
    }
    IPHCR &w() { return *worker; }
    // A new worker for the next case of a table.
    void Fresh() { worker.reset(new IPHCR); }

    test_support::TempDir files;
    std::unique_ptr<IPHCR> worker;
};

// A reply queue of the test's own, as a requester would create it; every
// message put on it can be taken back.
class ReplyQueue {
  public:
    explicit ReplyQueue(const std::string &name) : name_(name) {
        STATUS status = MQCreate(name.c_str(), 0, 0);
        EXPECT_EQ(status, 0) << test_support::StatusText(status);
        status = MQOpen(name.c_str(), 0, &queue_);
        EXPECT_EQ(status, 0) << test_support::StatusText(status);
    }
    ~ReplyQueue() {
        if (queue_ != 0)
            MQClose(queue_, 0);
    }
    ReplyQueue(const ReplyQueue &) = delete;
    ReplyQueue &operator=(const ReplyQueue &) = delete;

    // Every message on the queue, in order.
    std::vector<std::string> Take() {
        std::vector<std::string> messages;
        std::vector<char> buffer(MQ_MAX_MSGSIZE);
        for (;;) {
            WORD length = 0;
            STATUS status =
                MQGet(queue_, buffer.data(), static_cast<WORD>(buffer.size()), 0, 0, &length);
            if (status != 0)
                break;
            messages.emplace_back(buffer.data(), length);
        }
        return messages;
    }
    const std::string &name() const { return name_; }

  private:
    std::string name_;
    MQHANDLE queue_ = 0;
};

// A fresh data directory with a reply queue of the test's own, for tests
// that send requests through the handlers.
class QueueTest : public test_support::DataDirTest {
  protected:
    explicit QueueTest(const char *queueName) : queueName_(queueName) {}
    void SetUp() override {
        DataDirTest::SetUp();
        queue.reset(new ReplyQueue(queueName_));
    }
    void TearDown() override {
        queue.reset();
        DataDirTest::TearDown();
    }

    // Ends the runtime and starts it again on the same data directory, with
    // the queue made anew: what a failed close left open is given up.
    void RestartRuntime() {
        queue.reset();
        NotesRuntimeEnd();
        std::string arg = "=" + iniPath();
        char program[] = "unit-test";
        char *argv[] = {program, &arg[0], nullptr};
        ASSERT_NOERROR(NotesRuntimeStart(2, argv));
        queue.reset(new ReplyQueue(queueName_));
    }

    std::unique_ptr<ReplyQueue> queue;

  private:
    const char *queueName_;
};

}  // namespace worker_test
