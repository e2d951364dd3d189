#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "request_thread.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace {

struct KindCase {
    const char *path;
    RequestKind kind;
};

const char *KindName(RequestKind kind) {
    switch (kind) {
        case RequestKind::InstallIosPage:
            return "InstallIosPage";
        case RequestKind::MobilePage:
            return "MobilePage";
        case RequestKind::AppConfigPage:
            return "AppConfigPage";
        case RequestKind::XmlRequest:
            return "XmlRequest";
    }
    return "?";
}

TEST(RequestDispatch, TheFirstKeyOfTheTableThatThePathHoldsSelectsTheHandler) {
    const KindCase cases[] = {
        {"C:\\Domino\\Data\\hcr\\ND_REQUEST_INSTALL_IOS_HCR_1234.xml", RequestKind::InstallIosPage},
        {"C:\\Domino\\Data\\hcr\\ND_REQUEST_MOBILE_HCR_1234.xml", RequestKind::MobilePage},
        {"C:\\Domino\\Data\\hcr\\ND_REQUEST_HCR_1234.xml", RequestKind::AppConfigPage},
        {"C:\\Domino\\Data\\hcr\\request_1234.xml", RequestKind::XmlRequest},
        {"", RequestKind::XmlRequest},
        // A key may stand anywhere, also in a folder's name.
        {"ND_REQUEST_MOBILE_HCR_\\request.xml", RequestKind::MobilePage},
        {"x_ND_REQUEST_HCR_", RequestKind::AppConfigPage},
        // Two keys: the one earlier in the table wins, wherever each stands.
        {"ND_REQUEST_HCR_a\\ND_REQUEST_MOBILE_HCR_b.xml", RequestKind::MobilePage},
        {"ND_REQUEST_HCR_ND_REQUEST_INSTALL_IOS_HCR_", RequestKind::InstallIosPage},
        {"ND_REQUEST_MOBILE_HCR_ND_REQUEST_INSTALL_IOS_HCR_", RequestKind::InstallIosPage},
        // Case counts.
        {"nd_request_mobile_hcr_1.xml", RequestKind::XmlRequest},
        {"Nd_Request_Hcr_1.xml", RequestKind::XmlRequest},
        {"ND_REQUEST_install_ios_HCR_1.xml", RequestKind::XmlRequest},
        // The whole key, its last underscore included.
        {"ND_REQUEST_HCR1.xml", RequestKind::XmlRequest},
        {"ND_REQUEST_INSTALL_IOS_HCR.xml", RequestKind::XmlRequest},
        {"ND_REQUEST_MOBILE_HCR", RequestKind::XmlRequest},
    };
    for (const KindCase &c : cases) {
        EXPECT_STREQ(KindName(SelectRequestKind(c.path)), KindName(c.kind)) << c.path;
    }
    EXPECT_EQ(SelectRequestKind(nullptr), RequestKind::XmlRequest);
}

TEST(RequestDispatch, OnlyAProductDatabaseOfBuild379OrLaterAllowsTheOutOfOfficeApi) {
    const struct {
        WORD build;
        bool allowed;
    } cases[] = {{0, false}, {1, false}, {378, false}, {379, true}, {380, true}, {0xFFFF, true}};
    for (const auto &c : cases)
        EXPECT_EQ(MayUseOooApi(c.build), c.allowed) << c.build;
}

TEST(RunningRequestsWait, EndsAsSoonAsTheLastThreadIsDoneAndGivesUpAtTheBound) {
    RunningRequests running;
    EXPECT_TRUE(running.WaitUntilNone(0));

    running.Started();
    running.Started();
    std::thread finisher([&running] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        running.Finished();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        running.Finished();
    });
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(running.WaitUntilNone(60000, 10));
    auto waited = std::chrono::steady_clock::now() - begin;
    finisher.join();
    EXPECT_GE(waited, std::chrono::milliseconds(150));  // it did wait for both
    EXPECT_EQ(running.Count(), 0u);

    running.Started();
    begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(running.WaitUntilNone(200, 10));
    waited = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_LT(waited, std::chrono::seconds(60)) << "gave up, but long after the bound";
    EXPECT_EQ(running.Count(), 1u);
}

class RequestThreadTest : public test_support::DataDirTest {};

// A record for a request file in the data directory.
std::unique_ptr<RequestContext> RecordFor(const std::string &path) {
    std::unique_ptr<RequestContext> record(new RequestContext());
    record->requestFilePath = path;
    record->messageLength = static_cast<WORD>(path.size());
    return record;
}

TEST_F(RequestThreadTest, AThreadThatCannotStartNotesAnswersNothingAndReleasesAll) {
    const std::string path = dataFile("ND_REQUEST_HCR_1.xml");
    const std::string content = "<Username MQName=\"MQ$Reply\">CN=Jane Doe/O=Acme</Username>";
    test_support::WriteFile(path, content);
    StandinFault fault{"NotesInitThread", ERR_FAULT_INJECTED, 0, 0, nullptr};
    StandinFaultInject(fault);

    auto running = std::make_shared<RunningRequests>();
    ASSERT_TRUE(StartRequestThread(RecordFor(path), running));
    ASSERT_TRUE(running->WaitUntilNone(10000));

    EXPECT_EQ(StandinFaultHits("NotesInitThread"), 1u);
    EXPECT_EQ(test_support::ReadFile(path), content);
    EXPECT_EQ(StandinThreadCount(), 0u);
}

TEST_F(RequestThreadTest, EveryKindOfRequestEndsItsNotesThreadAndClosesItsHandles) {
    // Request files that do not exist: the worker is built, hands the request
    // to its handler, which answers nothing, and is reset and destroyed.
    const char *names[] = {"ND_REQUEST_INSTALL_IOS_HCR_1.xml", "ND_REQUEST_MOBILE_HCR_1.xml",
                           "ND_REQUEST_HCR_1.xml", "request_1.xml"};
    auto running = std::make_shared<RunningRequests>();
    for (const char *name : names) {
        ASSERT_TRUE(StartRequestThread(RecordFor(dataFile(name)), running));
    }
    ASSERT_TRUE(running->WaitUntilNone(30000));
    EXPECT_EQ(StandinThreadCount(), 0u);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), 0u);
    for (const char *name : names)
        EXPECT_FALSE(test_support::FileExists(dataFile(name)));
}

}  // namespace
