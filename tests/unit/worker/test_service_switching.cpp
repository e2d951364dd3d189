// The server's out-of-office service switched on through the icon note's
// flag, and off without touching it.
#include <string>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "update_fixture.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using update_test::Compare;
using update_test::Difference;
using update_test::Note;
using worker_test::Items;
using worker_test::NowPlus;
using worker_test::Text;
using worker_test::Time;

const NOTEID kIcon = NOTE_ID_SPECIAL | NOTE_CLASS_ICON;

class ServiceSwitchingTest : public update_test::MailWorkerTest {
  protected:
    // A mail file of the shipped design whose icon note's "$Flags" is given
    // (null: absent), opened by a fresh worker.
    void Open(const char *flags, const Items &profile = {}, const Items &service = {}) {
        NewMailFile();
        worker_test::BuildMailFile(*db);
        {
            Note icon(db->handle(), kIcon);
            NSFItemDelete(icon.handle(), "$Flags", 6);
            if (flags) {
                ASSERT_NOERROR(NSFItemAppend(icon.handle(), ITEM_SUMMARY, "$Flags", 6, TYPE_TEXT,
                                             flags, static_cast<DWORD>(strlen(flags))));
            }
            ASSERT_NOERROR(NSFNoteUpdate(icon.handle(), 0));
        }
        StoreProfiles(profile, service);
        OpenWorker();
        Access::agentType(w()) = 0;
    }
    std::string IconState() {
        Note icon(db->handle(), kIcon);
        return icon.state();
    }
};

TEST_F(ServiceSwitchingTest, SwitchingOnSetsTheFlagOnceWithTheProfilesSequenceOneBehind) {
    const std::string longFlags(70000, 'f');
    struct Case {
        const char *flags;
        std::string result;
    } cases[] = {{nullptr, "O"}, {"", "O"}, {"abc", "abcO"}, {longFlags.c_str(), longFlags + "O"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.flags ? std::string(c.flags).substr(0, 10) : "(absent)");
        Open(c.flags, {{"Notified", Text("CN=X/O=Acme")}});
        EXPECT_EQ(w().IsServiceEnabled(), 0);
        EXPECT_EQ(w().EnableService(), 1);
        EXPECT_EQ(w().IsServiceEnabled(), 1);
        Note icon(db->handle(), kIcon);
        const std::string flags = icon.text("$Flags");
        EXPECT_TRUE(flags == c.result) << flags.size() << " bytes: " << flags.substr(0, 20);
        EXPECT_EQ(icon.signer(), "CN=Vanterra Test/O=Acme");
        // Saved twice: the icon note holds the first save's sequence less one.
        Note profile(db->handle(), std::string("OutOfOfficeProfile"));
        EXPECT_EQ(icon.number("$OOOProfSeqNum"), profile.oid().Sequence - 2);
        EXPECT_GE(Difference(profile.oid().SequenceTime, icon.time("$OOOProfSeqTime")), 1);
        EXPECT_EQ(profile.text("CurrentStatus"), "1");
        EXPECT_EQ(profile.text("TaskType"), "2");
        EXPECT_EQ(profile.text("TaskState"), "1");
        EXPECT_EQ(profile.text("Notified"), "<none>");
    }

    // On already: the icon note is not written again.
    Open("xOy", {}, {{"Notified_1", Text("a")}});
    const std::string before = IconState();
    EXPECT_EQ(w().EnableService(), 1);
    EXPECT_EQ(IconState(), before);
    Note service(db->handle(), std::string("ooserviceprofile"));
    EXPECT_EQ(service.names(), std::vector<std::string>{"Notified_1"});
}

// The values one behind the profile as its first save stored it: a failed
// second save leaves that first one to compare with.
TEST_F(ServiceSwitchingTest, TheSequenceNumberAndTimeAreThoseOfTheFirstSaveLessOne) {
    Open("");
    // Saves: the profile, the icon note, then the profile again (failed).
    StandinFaultInject({"NSFNoteUpdate", ERR_DB_BUSY, 2, 1, nullptr});
    try {
        w().EnableService();
        ADD_FAILURE() << "the second save was to fail";
    } catch (const IPException &e) {
        EXPECT_EQ(std::string(e.message()),
                  "SaveHCRProfile:" + test_support::StatusText(ERR_DB_BUSY));
    }
    Note profile(db->handle(), std::string("OutOfOfficeProfile"));
    Note icon(db->handle(), kIcon);
    EXPECT_EQ(icon.number("$OOOProfSeqNum"), profile.oid().Sequence - 1);
    EXPECT_EQ(Difference(profile.oid().SequenceTime, icon.time("$OOOProfSeqTime")), 1);
}

TEST_F(ServiceSwitchingTest, TheNotifiedItemsGoAndTheServiceProfileIsSavedOnlyThen) {
    Open("", {},
         {{"Notified_a", Text("1")}, {"notified_b", Text("2")}, {"NotifiedX", Text("stays")}});
    OID before;
    {
        Note service(db->handle(), std::string("ooserviceprofile"));
        before = service.oid();
    }
    EXPECT_EQ(w().EnableService(), 1);
    {
        Note service(db->handle(), std::string("ooserviceprofile"));
        EXPECT_EQ(service.names(), std::vector<std::string>{"NotifiedX"});
        EXPECT_EQ(service.oid().Sequence, before.Sequence + 1) << "saved once";
    }

    Open("", {}, {{"Other", Text("stays")}});
    {
        Note service(db->handle(), std::string("ooserviceprofile"));
        before = service.oid();
    }
    EXPECT_EQ(w().EnableService(), 1);
    Note service(db->handle(), std::string("ooserviceprofile"));
    EXPECT_EQ(service.oid().Sequence, before.Sequence) << "nothing to save";

    // Without a service profile open the switch works all the same.
    Open("");
    NSFNoteClose(Access::serviceProfileNote(w()));
    Access::serviceProfileNote(w()) = NULLHANDLE;
    EXPECT_EQ(w().EnableService(), 1);
}

TEST_F(ServiceSwitchingTest, SwitchingOffLeavesTheIconNoteAndResetsTheReturnUnlessOffBefore) {
    const TIMEDATE back = NowPlus(4);
    for (int32_t wasOff : {0, 1}) {
        SCOPED_TRACE(wasOff);
        Open("O", {{"FirstDayBack", Time(back)}, {"EndTime", Time(back)}});
        Access::wasDisabledBefore(w()) = wasOff;
        const std::string before = IconState();
        EXPECT_EQ(w().DisableService(), 1);
        EXPECT_EQ(IconState(), before);
        EXPECT_EQ(InMemory("CurrentStatus"), "0");
        EXPECT_EQ(InMemory("TaskType"), "2");
        EXPECT_EQ(InMemory("TaskState"), "0");
        TIMEDATE t;
        ASSERT_TRUE(NSFItemGetTime(Access::profileNote(w()), "FirstDayBack", &t));
        if (wasOff)
            EXPECT_EQ(Compare(t, back), 0);
        else
            EXPECT_EQ(Compare(t, update_test::DatePart(NowPlus(0))), 0);
    }
}

}  // namespace
