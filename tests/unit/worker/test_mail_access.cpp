// The mail file and its two profiles, on the request's server or on a mate
// of its cluster.
#include <sys/stat.h>

#include <memory>
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

// Three mail servers of one cluster beside this one, each with a data
// directory of its own, listed in this server's directory.
class ClusterTest : public MailAccessTest {
  protected:
    void SetUp() override {
        MailAccessTest::SetUp();
        directory.reset(new worker_test::Directory());
        for (int i = 1; i <= 3; i++) {
            const std::string name = "CN=Mail" + std::to_string(i) + "/O=Acme";
            ASSERT_NOERROR(StandinServerRegister(name.c_str(), servers[i - 1].path().c_str()));
            directory->Server(name, "Cluster One");
        }
        directory->Server("CN=Alone/O=Acme", "");
        ASSERT_NOERROR(StandinServerRegister("CN=Alone/O=Acme", servers[3].path().c_str()));
    }
    // The mail file on server i (1 to 4), its profile telling the server.
    void MailFileOn(int i) {
        worker_test::Database db(servers[i - 1].path() + "/mail/jdoe.nsf");
        db.SetProfile("OutOfOfficeProfile", {{"Owner", Text("server " + std::to_string(i))}});
    }
    std::string OpenFrom(const std::string &server) {
        Fresh();
        Access::mailServer(w()) = server;
        Access::mailFile(w()) = "mail/jdoe.nsf";
        return Open(false);
    }
    std::unique_ptr<worker_test::Directory> directory;
    test_support::TempDir servers[4];
};

TEST_F(ClusterTest, ADownServerIsServedByTheFirstMateThatHoldsTheMailFile) {
    MailFileOn(1);
    MailFileOn(3);
    ASSERT_NOERROR(StandinServerSetDown("Mail1/Acme", TRUE));
    // Mail2 answers but has no such file: the next mate serves it.
    ASSERT_EQ(OpenFrom("Mail1/Acme"), "");
    EXPECT_EQ(status, NOERROR);
    EXPECT_EQ(OwnerSeen(), "server 3");
    EXPECT_EQ(Access::mailServer(w()), "CN=Mail3/O=Acme") << "as the directory lists it";
    EXPECT_NE(Access::serviceProfileNote(w()), 0u);
    w().Reset(false);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_DATABASE), 1u) << "the directory's alone";

    // The server itself comes first in the cluster's list, and is passed.
    MailFileOn(2);
    ASSERT_EQ(OpenFrom("CN=Mail1/O=Acme"), "");
    EXPECT_EQ(OwnerSeen(), "server 2");
}

TEST_F(ClusterTest, WithoutAMateThatAnswersTheServerIsNotResponding) {
    MailFileOn(1);
    MailFileOn(2);
    ASSERT_NOERROR(StandinServerSetDown("Mail1/Acme", TRUE));
    ASSERT_NOERROR(StandinServerSetDown("Mail2/Acme", TRUE));
    ASSERT_NOERROR(StandinServerSetDown("Mail3/Acme", TRUE));
    EXPECT_EQ(OpenFrom("Mail1/Acme"), "");
    EXPECT_EQ(status, ERR_SERVER_NOT_RESPONDING);
    // Mail3 answers without the file: still not responding, not its status.
    ASSERT_NOERROR(StandinServerSetDown("Mail3/Acme", FALSE));
    EXPECT_EQ(OpenFrom("Mail1/Acme"), "");
    EXPECT_EQ(status, ERR_SERVER_NOT_RESPONDING);
    EXPECT_EQ(Access::mailDb(w()), 0u);
    EXPECT_EQ(Access::mailServer(w()), "Mail1/Acme");
    // A server in no cluster has no mates.
    MailFileOn(4);
    ASSERT_NOERROR(StandinServerSetDown("Alone/Acme", TRUE));
    EXPECT_EQ(OpenFrom("Alone/Acme"), "");
    EXPECT_EQ(status, ERR_SERVER_NOT_RESPONDING);
    EXPECT_EQ(Open(true), "getHCRProfile:" + test_support::StatusText(ERR_SERVER_NOT_RESPONDING));
}

TEST_F(ClusterTest, AMateWhoseProfileFailsIsPassedOver) {
    MailFileOn(2);
    MailFileOn(3);
    ASSERT_NOERROR(StandinServerSetDown("Mail1/Acme", TRUE));
    StandinFaultInject({"NSFProfileOpen", ERR_DB_BUSY, 0, 1, nullptr});
    ASSERT_EQ(OpenFrom("Mail1/Acme"), "");
    EXPECT_EQ(status, NOERROR);
    EXPECT_EQ(OwnerSeen(), "server 3");
    StandinFaultClear();
    // When the last mate's profile fails, that is the status, and its
    // database stays open for the reset to close.
    StandinFaultInject({"NSFProfileOpen", ERR_DB_BUSY, 0, 0, nullptr});
    ASSERT_EQ(OpenFrom("Mail1/Acme"), "");
    EXPECT_EQ(status, ERR_DB_BUSY);
    EXPECT_NE(Access::mailDb(w()), 0u);
    EXPECT_EQ(Access::mailServer(w()), "CN=Mail3/O=Acme");
}

TEST_F(ClusterTest, TheClusterServersComeFromTheDirectory) {
    std::vector<std::string> list = {"stale"};
    EXPECT_EQ(w().GetClusterServers("Mail2/Acme", list), 3);
    EXPECT_EQ(list,
              (std::vector<std::string>{"CN=Mail1/O=Acme", "CN=Mail2/O=Acme", "CN=Mail3/O=Acme"}));
    EXPECT_EQ(w().GetClusterServers("Alone/Acme", list), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(w().GetClusterServers("Unknown/Acme", list), 0);
    // A cluster name that is a text list counts for nothing.
    directory->database().AddNote(NOTE_CLASS_DOCUMENT,
                                  {{"Form", Text("Server")},
                                   {"ServerName", Text("CN=Listed/O=Acme")},
                                   {"ClusterName", worker_test::List({"Cluster One"})}});
    EXPECT_EQ(w().GetClusterServers("Listed/Acme", list), 0);
    // A directory that cannot be read gives no servers.
    StandinFaultInject({"NAMELookup2", ERR_DB_BUSY, 0, 0, nullptr});
    EXPECT_EQ(w().GetClusterServers("Mail2/Acme", list), 0);
    EXPECT_TRUE(list.empty());
    StandinFaultClear();
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), 0u);
}

TEST_F(MailAccessTest, MailLocationsAndFullNamesFromTheDirectory) {
    worker_test::Directory directory;
    directory.Person({"CN=Jane Doe/O=Acme", "Jane"}, "CN=Mail1/O=Acme", "mail\\jdoe");
    directory.Person({"CN=Jane Doe/O=Acme"}, "", "mail\\jdoe2.nsf");
    directory.Person({"CN=Jane Doe/O=Acme"}, std::string(600, 's'), "");
    directory.Person({"CN=Bo Li/O=Acme"}, "", "", {{"ShortName", Text("bli")}});

    std::vector<MailLocation> locations;
    ASSERT_EQ(w().LookupMailLocations("Jane Doe/Acme", locations, 0), NOERROR);
    ASSERT_EQ(locations.size(), 3u);
    EXPECT_STREQ(locations[0].mailServer, "CN=Mail1/O=Acme");
    EXPECT_STREQ(locations[0].mailFile, "mail\\jdoe");
    EXPECT_STREQ(locations[0].fullName, "CN=Jane Doe/O=Acme") << "a list's first member";
    EXPECT_STREQ(locations[1].mailServer, "");
    EXPECT_STREQ(locations[1].mailFile, "mail\\jdoe2.nsf");
    EXPECT_EQ(std::string(locations[2].mailServer), std::string(512, 's'));
    ASSERT_EQ(w().LookupMailLocations("CN=Jane Doe/O=Acme", locations, 1), NOERROR);
    ASSERT_EQ(locations.size(), 4u) << "appended";
    EXPECT_STREQ(locations[3].mailFile, "mail\\jdoe");
    ASSERT_EQ(w().LookupMailLocations("Nobody", locations, 0), NOERROR);
    EXPECT_EQ(locations.size(), 4u);

    std::string fullName;
    EXPECT_EQ(w().LookupFullName("bli", fullName), NOERROR);
    EXPECT_EQ(fullName, "CN=Bo Li/O=Acme");
    EXPECT_EQ(w().LookupFullName("Nobody", fullName), NOERROR);
    EXPECT_EQ(fullName, "Nobody");

    StandinFaultInject({"NAMELookup2", ERR_DB_BUSY, 0, 0, nullptr});
    EXPECT_EQ(w().LookupMailLocations("Jane Doe/Acme", locations, 0), ERR_DB_BUSY);
    EXPECT_EQ(locations.size(), 4u);
    EXPECT_EQ(w().LookupFullName("bli", fullName), ERR_DB_BUSY);
    EXPECT_EQ(fullName, "bli");
    StandinFaultClear();
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), 0u);
}

}  // namespace
