// The mail file and its two profiles, on the request's server or on a mate
// of its cluster.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "standin/nsf.h"
#include "standin/runtime.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using worker_test::Text;

class MailAccessTest : public worker_test::WorkerTest {
  protected:
    // getHCRProfile's exception text, or "".
    std::string Open(bool raise = true) {
        try {
            status = w().getHCRProfile(raise);
            return "";
        } catch (const IPException &e) {
            return e.message();
        }
    }
    // The "Owner" item of the open profile, which tells the copies apart.
    std::string OwnerSeen() {
        char text[256] = "";
        WORD length = NSFItemGetText(Access::profileNote(w()), "Owner", text, sizeof text);
        return std::string(text, length);
    }
    STATUS status = 0;
};

TEST_F(MailAccessTest, OpensTheMailFileAndBothProfilesOnTheServerNamed) {
    {
        worker_test::Database db("mail/jdoe.nsf");
        db.SetProfile("OutOfOfficeProfile", {{"Owner", Text("here")}});
        db.SetProfile("ooserviceprofile", {{"Notified_1", Text("x")}});
    }
    // A second server with a copy of its own.
    test_support::TempDir other;
    ASSERT_EQ(mkdir((other.path() + "/mail").c_str(), 0755), 0);
    {
        worker_test::Database db(other.path() + "/mail/jdoe.nsf");
        db.SetProfile("OutOfOfficeProfile", {{"Owner", Text("there")}});
    }
    ASSERT_NOERROR(StandinServerRegister("Mail2/Acme", other.path().c_str()));

    struct Case {
        const char *server;
        const char *owner;
    } cases[] = {
        {"", "here"},
        {"Vanterra Test/Acme", "here"},
        {"CN=Vanterra Test/O=Acme", "here"},
        {"Mail2/Acme", "there"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.server);
        Fresh();
        Access::mailServer(w()) = c.server;
        Access::mailFile(w()) = "mail/jdoe.nsf";
        ASSERT_EQ(Open(), "");
        EXPECT_EQ(status, NOERROR);
        EXPECT_NE(Access::mailDb(w()), 0u);
        EXPECT_EQ(OwnerSeen(), c.owner);
        // A mail file without a service profile is served all the same: the
        // platform makes an empty one in memory.
        EXPECT_NE(Access::serviceProfileNote(w()), 0u);
        EXPECT_EQ(Access::mailServer(w()), c.server);
        w().Reset(true);
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_NOTE), 0u);
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 0u);
    }
}

TEST_F(MailAccessTest, AMissingMailFileIsThePlatformsText) {
    Access::mailFile(w()) = "mail/nobody.nsf";
    Access::resultText(w()) = "before";
    EXPECT_EQ(Open(false), "");
    EXPECT_EQ(status, ERR_NOEXIST);
    EXPECT_EQ(Access::resultText(w()), "before");
    EXPECT_EQ(Open(true), "getHCRProfile:" + test_support::StatusText(ERR_NOEXIST));
    EXPECT_EQ(Access::resultText(w()), test_support::StatusText(ERR_NOEXIST));
    EXPECT_EQ(Access::mailDb(w()), 0u);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 0u);
}

TEST_F(MailAccessTest, AProfileThatCannotBeOpenedFailsWithoutFailOverAndKeepsTheDatabase) {
    { worker_test::Database db("mail/jdoe.nsf"); }
    Access::mailFile(w()) = "mail/jdoe.nsf";
    StandinFaultInject({"NSFProfileOpen", ERR_DB_BUSY, 0, 1, nullptr});
    EXPECT_EQ(Open(), "getHCRProfile:" + test_support::StatusText(ERR_DB_BUSY));
    EXPECT_NE(Access::mailDb(w()), 0u);
    EXPECT_EQ(Access::profileNote(w()), 0u);
    EXPECT_EQ(Access::serviceProfileNote(w()), 0u);
    w().Reset(false);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 0u);

    // The service profile is not needed.
    StandinFaultInject({"NSFProfileOpen", ERR_DB_BUSY, 1, 1, nullptr});
    EXPECT_EQ(Open(), "");
    EXPECT_NE(Access::profileNote(w()), 0u);
    EXPECT_EQ(Access::serviceProfileNote(w()), 0u);
}

}  // namespace
