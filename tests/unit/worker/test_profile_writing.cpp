// The request's settings written into the "OutOfOfficeProfile" note, the
// status items, and the profile's save.
#include <string>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "update_fixture.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using update_test::Compare;
using update_test::DatePart;
using update_test::Note;
using worker_test::Items;
using worker_test::Lmbcs;
using worker_test::NowPlus;
using worker_test::Text;
using worker_test::Time;

class ProfileWritingTest : public worker_test::WorkerTest {
  protected:
    // A mail file of the shipped design with the profile, opened by a fresh
    // worker.
    void Open(const Items &profile, int32_t agentType = 1) {
        path = "mail/w" + std::to_string(++count) + ".nsf";
        {
            worker_test::Database db(path);
            worker_test::BuildMailFile(db);
            db.SetProfile("OutOfOfficeProfile", profile);
        }
        Fresh();
        Access::mailFile(w()) = path;
        Access::userName(w()) = "CN=Jane Doe/O=Acme";
        ASSERT_EQ(w().getHCRProfile(false), NOERROR);
        Access::mailServer(w()) = "CN=Mail1/O=Acme";  // as the request named it
        Access::agentType(w()) = agentType;
    }
    NOTEHANDLE profile() { return Access::profileNote(w()); }
    // The text of an item of the profile in memory, "<none>" when absent.
    std::string InMemory(const char *item) {
        return update_test::TextOf(Access::profileNote(w()), item);
    }
    void Request(bool on, const std::string &message = "Hi", const std::string &subject = "Away") {
        Access::enabled(w()) = on ? 1 : 0;
        Access::message(w()) = message;
        Access::subject(w()) = subject;
        Access::leaveTime(w()) = leave;
        Access::returnTime(w()) = back;
        Access::showHours(w()) = "1";
        Access::daysOut(w()) = "days";
        Access::appendSubjectDate(w()) = "asd";
        Access::appendSubjectPresent(w()) = 1;
        Access::appendSubject(w()) = 1;
        Access::excludeInternetMail(w()) = 0;
    }

    std::string path;
    int count = 0;
    TIMEDATE leave = NowPlus(1, 2);
    TIMEDATE back = NowPlus(4, 3);
};

TEST_F(ProfileWritingTest, TheRequestsSettingsGoIntoTheProfileInMemory) {
    Open({{"TaskState", Text("1")}, {"AppendSubject", Text("0")}});
    Request(true, std::string("a\r\nb\0c\r", 7));
    w().setHCRContent();
    const struct {
        const char *item;
        std::string text;
    } texts[] = {{"TaskState", "1"},
                 {"GeneralSubject", "Away"},
                 {"GeneralMessage", std::string("a\nb\0c", 5)},
                 {"ShowHours", "1"},
                 {"DaysOut", "days"},
                 {"AppendSubjectDate", "asd"},
                 {"AppendSubject", "1"},
                 {"ExcludeInternetEmail", "0"}};
    for (const auto &t : texts)
        EXPECT_EQ(InMemory(t.item), t.text) << t.item;
    EXPECT_EQ(Access::message(w()), std::string("a\nb\0c", 5)) << "the field loses its CRs too";
    TIMEDATE t;
    ASSERT_TRUE(NSFItemGetTime(profile(), "dateFirstDayOut", &t));
    EXPECT_EQ(Compare(t, leave), 0);
    ASSERT_TRUE(NSFItemGetTime(profile(), "FirstDayOut", &t));
    EXPECT_EQ(Compare(t, DatePart(leave)), 0);
    ASSERT_TRUE(NSFItemGetTime(profile(), "EndTime", &t));
    EXPECT_EQ(t.Innards[1], ANYDAY);
    ASSERT_TRUE(NSFItemGetTime(profile(), "dateFirstDayBack", &t));
    EXPECT_EQ(Compare(t, back), 0);
    EXPECT_EQ(Access::wasDisabledBefore(w()), 0);
    Note stored(Access::mailDb(w()), std::string("OutOfOfficeProfile"));
    EXPECT_EQ(stored.text("GeneralSubject"), "<none>") << "nothing saved";

    // Without the request's AppendSubject switch its two items stay.
    Open({{"AppendSubject", Text("0")}, {"AppendSubjectDate", Text("old")}});
    Request(true);
    Access::appendSubjectPresent(w()) = 0;
    w().setHCRContent();
    EXPECT_EQ(InMemory("AppendSubject"), "0");
    EXPECT_EQ(InMemory("AppendSubjectDate"), "old");
}

// Switching off a profile whose state began with "0" remembers that it was
// off before; nothing else does.
TEST_F(ProfileWritingTest, WasDisabledBeforeOnlyWhenSwitchingOffWhatWasOff) {
    struct Case {
        bool on;
        const char *taskState;  // null: absent
        int32_t expected;
    } cases[] = {
        {false, "0", 1}, {false, "03", 1}, {false, "1", 0}, {false, nullptr, 0}, {true, "0", 0}};
    for (const Case &c : cases) {
        Items items;
        if (c.taskState)
            items.push_back({"TaskState", Text(c.taskState)});
        Open(items);
        Request(c.on);
        w().setHCRContent();
        EXPECT_EQ(Access::wasDisabledBefore(w()), c.expected) << c.on << " " << c.taskState;
        EXPECT_EQ(InMemory("TaskState"), c.on ? "1" : "0");
    }
}

// A text that an item cannot hold whole, or that the state reply cannot
// show whole, is refused before anything is written.
TEST_F(ProfileWritingTest, TextsThatCannotBeStoredWholeAreRefusedBeforeAnyWrite) {
    const std::string units16383(16383, 'x');
    std::string emoji8192, emoji8191;  // two UTF-16 units each
    for (int i = 0; i < 8192; i++)
        emoji8192 += "\xF0\x9F\x98\x80";
    emoji8191 = emoji8192.substr(4);
    struct Case {
        const char *what;
        std::string message, subject, daysOut, appendSubjectDate;
        std::string refusal;
    } cases[] = {
        {"the longest message", units16383, "s", "d", "a", ""},
        {"a CR more is no more", units16383 + "\r", "s", "d", "a", ""},
        {"a message too long", units16383 + "x", "s", "d", "a",
         "setHCRContent:Message is too long to be saved."},
        {"a subject too long", "m", Lmbcs(emoji8192), "d", "a",
         "setHCRContent:Subject is too long to be saved."},
        {"a subject just short enough", "m", Lmbcs(emoji8191), "d", "a", ""},
        {"days out too long", "m", "s", std::string(70000, 'd'), "a",
         "setHCRContent:DaysOut is too long to be saved."},
        {"append subject date too long", "m", "s", "d", std::string(16384, 'a'),
         "setHCRContent:AppendSubjectDate is too long to be saved."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Open({{"TaskState", Text("0")}});
        Request(false, c.message, c.subject);
        Access::daysOut(w()) = c.daysOut;
        Access::appendSubjectDate(w()) = c.appendSubjectDate;
        EXPECT_EQ(update_test::ErrorOf([&] { w().setHCRContent(); }), c.refusal);
        if (!c.refusal.empty()) {
            EXPECT_EQ(InMemory("TaskState"), "0");
            EXPECT_EQ(InMemory("GeneralMessage"), "<none>");
            EXPECT_EQ(Access::wasDisabledBefore(w()), 0);
        } else {
            EXPECT_EQ(InMemory("GeneralSubject"), c.subject);
        }
    }
}

TEST_F(ProfileWritingTest, OptionsStatusItemsAndTheDateReset) {
    Open({{"Gone", Text("x")}, {"ShowHours", Text("1 and more")}}, 0);
    const struct {
        WORD option;
        const char *result;
    } options[] = {{0, "0"}, {1, "1"}, {2, "<none>"}, {3, ""}, {7, "x"}};
    for (const auto &o : options) {
        SetItem(profile(), "Opt", Text("x"));
        EXPECT_EQ(w().SetOptionField("Opt", o.option), 1);
        EXPECT_EQ(InMemory("Opt"), o.result) << o.option;
    }
    EXPECT_EQ(w().SetOptionField("Absent", 2), 1);
    EXPECT_EQ(w().SetTaskState(65535), 1);
    EXPECT_EQ(InMemory("TaskState"), "65535");

    Access::enabled(w()) = 0;
    w().UpdateStatusFields();
    EXPECT_EQ(InMemory("ShowHours"), "1") << "the service's ShowHours rewritten";
    EXPECT_EQ(InMemory("CurrentStatus"), "0");
    EXPECT_EQ(InMemory("NotificationConfirmation"), "0");
    EXPECT_EQ(InMemory("AdminP_Counter"), "0");
    EXPECT_EQ(InMemory("AdminP_Status"), "");
    NUMBER saveOptions = -1;
    EXPECT_TRUE(NSFItemGetNumber(profile(), "SaveOptions", &saveOptions));
    EXPECT_EQ(saveOptions, 0);

    const TIMEDATE out = NowPlus(-3);
    SetItem(profile(), "FirstDayOut", Time(out));
    EXPECT_EQ(w().ResetDateTime(3), 0);
    EXPECT_EQ(w().ResetDateTime(11), 1);
    TIMEDATE t;
    ASSERT_TRUE(NSFItemGetTime(profile(), "FirstDayBack", &t));
    EXPECT_EQ(Compare(t, DatePart(NowPlus(0))), 0);
    ASSERT_TRUE(NSFItemGetTime(profile(), "EndTime", &t));
    EXPECT_EQ(t.Innards[1], ANYDAY);
    ASSERT_TRUE(NSFItemGetTime(profile(), "FirstDayOut", &t));
    EXPECT_EQ(Compare(t, out), 0);

    // Without a profile the setters do nothing.
    w().Reset(false);
    EXPECT_EQ(w().SetOptionField("Opt", 1), 0);
    EXPECT_EQ(w().SetTaskType(1), 0);
    EXPECT_EQ(w().SetSaveOptions(-1), 0);
}

// The save: the form computed through its alias, then the request's
// "AppendSubjectDate" and "DaysOut" over what the form gave.
TEST_F(ProfileWritingTest, TheSaveComputesWithTheFormAndTheRequestsTextsWin) {
    struct Case {
        const char *what;
        Items profile;
        bool removeForm;
        const char *form, *ownerMailFile;
    } cases[] = {
        {"form replaced",
         {{"Form", Text("Memo")}, {"$MachineName", Text("M")}},
         true,
         "OutofOfficeProfile",
         "CN=Mail1/O=Acme"},
        {"form kept",
         {{"Form", Text("Memo")}, {"OwnerMailFile", Text("old")}},
         false,
         "Memo",
         "old"},
        {"no form",
         {{"$MachineName", Text("")}, {"OwnerMailFile", Text("old")}},
         false,
         "OutofOfficeProfile",
         "old"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Items items = c.profile;
        items.push_back({"$Owner", Text("CN=Jane Doe/O=Acme")});
        items.push_back({"DaysOutDisplay", Text("shown")});
        Open(items);
        Request(true);
        Access::appendSubjectDate(w()) = "";  // the request carried none
        w().setHCRContent();
        EXPECT_NOERROR(NSFItemDelete(profile(), "GeneralSubject", 14));
        EXPECT_EQ(w().SaveHCRProfile(c.removeForm), 1);
        Note stored(Access::mailDb(w()), std::string("OutOfOfficeProfile"));
        EXPECT_EQ(stored.text("Form"), c.form);
        EXPECT_EQ(stored.text("OwnerMailFile"), c.ownerMailFile);
        EXPECT_EQ(stored.text("DaysOut"), "days");
        EXPECT_EQ(stored.text("AppendSubjectDate"), "");
        EXPECT_EQ(stored.text("DaysOutDisplay"), "<none>");
        // Only the form of the mail design computes a missing subject.
        EXPECT_EQ(stored.text("GeneralSubject"),
                  std::string(c.form) == "Memo" ? "<none>" : "Jane Doe is out of the office");
    }

    // A save that another saved first is refused, as the platform tells.
    Open({});
    Request(true);
    {
        worker_test::Database other(path, false);
        other.SetProfile("OutOfOfficeProfile", {{"Other", Text("first")}});
    }
    EXPECT_EQ(update_test::ErrorOf([&] { w().SaveHCRProfile(true); }),
              "SaveHCRProfile:" + test_support::StatusText(ERR_CONFLICT));
}

}  // namespace
