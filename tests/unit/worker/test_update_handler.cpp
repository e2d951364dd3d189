// Updates answered through the request handler: the agent's note, the icon
// note, the profile, the calendar entry and the service profile as stored
// afterwards, the reply and the log line.
#include <string>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "update_fixture.h"
#include "worker_test_support.h"

namespace {

using Replies = std::vector<std::string>;
using update_test::Compare;
using update_test::DatePart;
using update_test::Difference;
using update_test::Note;
using update_test::Update;
using worker_test::Items;
using worker_test::List;
using worker_test::NowPlus;
using worker_test::Text;
using worker_test::Time;

const char kReplyQueue[] = "MQ$UpdateReply";
const char kServer[] = "CN=Vanterra Test/O=Acme";
const char kUser[] = "CN=Jane Doe/O=Acme";
const WORD kSignSummary = ITEM_SIGN | ITEM_SUMMARY;

class UpdateTest : public worker_test::QueueTest {
  protected:
    UpdateTest() : QueueTest(kReplyQueue) {}
    void TearDown() override {
        db.reset();
        QueueTest::TearDown();
    }
    // A mail file of the shipped design with these profiles, held open by
    // the test.
    void MailFile(const Items &profile, const worker_test::MailFileOptions &options = {},
                  const Items &service = {}) {
        db.reset();
        path = "mail/u" + std::to_string(++count) + ".nsf";
        db.reset(new worker_test::Database(path));
        worker_test::BuildMailFile(*db, options);
        Items items = {{"Form", Text("OutOfOfficeProfile")}};
        items.insert(items.end(), profile.begin(), profile.end());
        db->SetProfile("OutOfOfficeProfile", items);
        if (!service.empty())
            db->SetProfile("ooserviceprofile", service);
    }
    // The update through the handler, on the test's mail file; its replies.
    Replies Send(Update update) {
        update.mailBox = path;
        requestPath = files.file("ND_" + std::to_string(++count) + ".xml");
        test_support::WriteFile(requestPath, "<Request><Username MailServer=\"" +
                                                 std::string(kServer) + "\" " +
                                                 update.attributes(kReplyQueue) + ">" + kUser +
                                                 "</Username></Request>");
        const DWORD open = StandinHandleCount(STANDIN_HANDLE_ANY);
        {
            IPHCR worker;
            worker.HandleXmlRequest(requestPath);
            worker.Reset(true);
        }
        // Every handle of the request is closed, every block freed.
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), open);
        return queue->Take();
    }
    NOTEID AgentId() {
        const std::vector<NOTEID> ids = worker_test::NotesOfClass(db->handle(), NOTE_CLASS_FILTER);
        EXPECT_EQ(ids.size(), 1u);
        return ids.empty() ? 0 : ids[0];
    }
    std::vector<worker_test::UserElement> Reply() {
        return worker_test::ReadReply(test_support::ReadFile(requestPath));
    }
    std::string Log() const { return test_support::ReadFile(dataFile("console.log")); }
    bool Logged(const std::string &line) const { return Log().find(line) != std::string::npos; }

    test_support::TempDir files;
    std::unique_ptr<worker_test::Database> db;
    std::string path, requestPath;
    int count = 0;
};

// The local midnight that starts the day of a time.
TIMEDATE DayStart(const TIMEDATE &t) {
    TIMEDATE start;
    IPHCR::TruncateToDayStart(t, start);
    return start;
}

TEST_F(UpdateTest, ASwitchOnThroughTheAgentRewritesSignsBooksAndAnswers) {
    MailFile({{"TaskType", Text("1")},
              {"TaskState", Text("0")},
              {"BookBusyTime", Text("1")},
              {"$MachineName", Text("CN=Old/O=Acme")},
              {"CalendarCategoryRefresh", Text("1")},
              {"OwnerOfCalendarEntry", Text("old")},
              {"AgentLastRun", Text("yesterday")},
              {"DaysOutDisplay", Text("old display")}},
             {},
             {{"Notified_1", Text("CN=A/O=Acme")},
              {"notified_", Text("CN=B/O=Acme")},
              {"Notified", Text("stays")},
              {"NotifiedX", Text("stays")}});
    db->SetProfile("CalendarProfile", {{"Owner", List({"CN=Boss Owner/O=Acme", "CN=Other/O=A"})}});
    const std::map<NOTEID, std::string> before = update_test::Snapshot(db->handle());
    Update update;
    update.message = "Back soon.\r\nAsk Sam.";
    ASSERT_EQ(Send(update), Replies{"OK"});
    EXPECT_TRUE(Logged("Halcyra: [Jane Doe/Acme] OutOfOfficeProfile has been updated.")) << Log();
    std::vector<worker_test::UserElement> users = Reply();
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].at("HCREnable"), "1");
    EXPECT_EQ(users[0].at("TaskType"), "1");
    EXPECT_EQ(users[0].at("Message"), "Back soon.\nAsk Sam.");
    EXPECT_EQ(users[0].at("DaysOutValue"), update.daysOut);

    {
        Note agent(db->handle(), AgentId());
        EXPECT_EQ(agent.signer(), kServer);
        const struct {
            const char *item;
            std::string text;
            WORD flags;
        } texts[] = {{"$AssistFlags", "SHE", kSignSummary},
                     {"$MachineName", kServer, kSignSummary},
                     {"$UpdatedBy", kServer, ITEM_SUMMARY},
                     {"$OnBehalfOf", "CN=Boss Owner/O=Acme", kSignSummary},
                     {"$FlagsExt", "a", kSignSummary}};
        for (const auto &t : texts) {
            EXPECT_EQ(agent.text(t.item), t.text) << t.item;
            EXPECT_EQ(agent.flags(t.item), t.flags) << t.item;
        }
        EXPECT_EQ(agent.number("$Restricted"), 0);
        EXPECT_EQ(agent.flags("$Restricted"), kSignSummary);
        EXPECT_EQ(agent.flags("$AssistInfo"), ITEM_SIGN);
        const std::string info = agent.text("$AssistInfo");
        ASSERT_EQ(info.size(), 64u);
        EXPECT_EQ(info.substr(0, 2), std::string("\x02\x00", 2)) << "version 2";
        EXPECT_EQ(info.substr(2), std::string(62, '\0')) << "the rest as it was";
    }

    std::vector<NOTEID> entries = update_test::Entries(db->handle());
    ASSERT_EQ(entries.size(), 1u);
    Note entry(db->handle(), entries[0]);
    EXPECT_EQ(entry.names(), (std::vector<std::string>{
                                 "Form", "StartDate", "StartDateTime", "EndDate", "EndDateTime",
                                 "From", "PRINCIPAL", "$BusyName", "$BusyPriority", "BookFreeTime",
                                 "$PublicAccess", "AppointmentType", "ExcludeFromView", "Subject",
                                 "_ViewIcon", "CreatedByAgent", "ApptUNID"}));
    const TIMEDATE leave = update_test::Seconds(update.leave);
    const TIMEDATE back = update_test::Seconds(update.back);
    EXPECT_EQ(Compare(leave, entry.time("StartDateTime")), 0);
    EXPECT_EQ(Compare(back, entry.time("EndDate")), 0);
    for (const char *item : {"From", "PRINCIPAL", "$BusyName"})
        EXPECT_EQ(entry.text(item), "CN=Boss Owner/O=Acme") << item;
    EXPECT_EQ(entry.text("$BusyPriority"), "1");
    EXPECT_EQ(entry.text("Subject"), "Out Of Office");
    EXPECT_EQ(entry.number("_ViewIcon"), 9);
    UNID unid = {entry.oid().File, entry.oid().Note};
    EXPECT_EQ(entry.text("ApptUNID"), update_test::UnidText(unid));

    Note profile(db->handle(), std::string("OutOfOfficeProfile"));
    const struct {
        const char *item;
        std::string text;
    } expected[] = {
        {"TaskState", "1"},
        {"TaskType", "1"},
        {"GeneralSubject", "Away"},
        {"GeneralMessage", std::string("Back soon.\0Ask Sam.", 19)},
        {"ShowHours", "1"},
        {"DaysOut", update.daysOut},
        {"AppendSubjectDate", update.appendSubjectDate},
        {"AppendSubject", "1"},
        {"ExcludeInternetEmail", "1"},
        {"CurrentStatus", "1"},
        {"AdminP_Counter", "0"},
        {"AdminP_Status", ""},
        {"Notified", ""},
        {"NotificationReport", ""},
        {"UserDefineProhibitDesignUpdate", "1"},
        {"UpdateSettings", ""},
        {"OwnerMailFile", kServer},
        {"Form", "OutofOfficeProfile"},
        {"CalendarEntryUNID", update_test::UnidText(unid)},
        {"CalendarCategoryRefresh", "<none>"},
        {"OwnerOfCalendarEntry", "<none>"},
        {"AgentLastRun", "<none>"},
        {"DaysOutDisplay", "<none>"},
        {"NotificationConfirmation", "<none>"},
    };
    for (const auto &e : expected)
        EXPECT_EQ(profile.text(e.item), e.text) << e.item;
    EXPECT_EQ(profile.number("SaveOptions"), 0);
    // The return time as asked; the leave at the start of its day, as the
    // form computes it from the whole-day "StartTime" that the check wrote.
    EXPECT_EQ(Compare(back, profile.time("dateFirstDayBack")), 0);
    const TIMEDATE leaveDay = DayStart(leave);
    EXPECT_EQ(Difference(leaveDay, profile.time("dateFirstDayOut")), 0);
    const TIMEDATE startTime = profile.time("StartTime");
    EXPECT_EQ(startTime.Innards[0], 0u);
    EXPECT_EQ(startTime.Innards[1], ANYDAY);

    Note service(db->handle(), std::string("ooserviceprofile"));
    EXPECT_EQ(service.names(), (std::vector<std::string>{"Notified", "NotifiedX"}));
    // Nothing else of the mail file changed: the design notes but the agent.
    const std::map<NOTEID, std::string> after = update_test::Snapshot(db->handle());
    for (const auto &note : before) {
        if (note.first != AgentId() &&
            note.second.find("OutOfOfficeProfile") == std::string::npos &&
            note.second.find("Notified") == std::string::npos) {
            EXPECT_EQ(after.at(note.first), note.second);
        }
    }
}

// Switching off frees and forgets the recorded entry, and saves the profile
// also when there is no entry to free.
TEST_F(UpdateTest, ASwitchOffThroughTheAgentSavesTheProfileWithOrWithoutAnEntry) {
    struct Case {
        const char *what;
        bool entry;
        const char *taskState;  // before the switch
        const char *updateSettings;
    } cases[] = {
        {"a recorded entry", true, "1", ""},
        {"no recorded entry", false, "1", ""},
        {"a profile that was off before", false, "0", "1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const TIMEDATE oldBack = NowPlus(5);
        MailFile({{"TaskType", Text("1")},
                  {"TaskState", Text(c.taskState)},
                  {"BookBusyTime", Text("1")},
                  {"FirstDayBack", Time(oldBack)}},
                 {worker_test::MailFileOptions::Shipped, true, true});
        NOTEID entryId = 0;
        if (c.entry) {
            entryId = db->AddNote(NOTE_CLASS_DOCUMENT, {{"Form", Text("Appointment")},
                                                        {"$BusyPriority", Text("1")},
                                                        {"BookFreeTime", Text("")}});
            Note entry(db->handle(), entryId);
            UNID unid = {entry.oid().File, entry.oid().Note};
            db->SetProfile("OutOfOfficeProfile",
                           {{"CalendarEntryUNID", Text(update_test::UnidText(unid))},
                            {"OwnerOfCalendarEntry", Text("x")}});
        }
        Update update;
        update.on = false;
        ASSERT_EQ(Send(update), Replies{"OK"});
        EXPECT_TRUE(Logged("Halcyra: [Jane Doe/Acme] OutOfOfficeProfile has been updated."));
        ASSERT_EQ(Reply().size(), 1u);
        EXPECT_EQ(Reply()[0].at("HCREnable"), "0");
        {
            Note agent(db->handle(), AgentId());
            EXPECT_EQ(agent.text("$AssistFlags"), "SH");
            EXPECT_EQ(agent.signer(), kServer);
        }
        Note profile(db->handle(), std::string("OutOfOfficeProfile"));
        EXPECT_EQ(profile.number("SaveOptions"), -1) << "saved";
        EXPECT_EQ(profile.text("TaskState"), "0");
        EXPECT_EQ(profile.text("CurrentStatus"), "0");
        EXPECT_EQ(profile.text("NotificationConfirmation"), "0");
        EXPECT_EQ(profile.text("UpdateSettings"), c.updateSettings);
        EXPECT_EQ(profile.text("CalendarEntryUNID"), "<none>");
        EXPECT_EQ(profile.text("OwnerOfCalendarEntry"), "<none>");
        // The return date is reset to today, unless it was off before.
        const TIMEDATE firstDayBack = profile.time("FirstDayBack");
        if (std::string(c.taskState) == "0") {
            EXPECT_EQ(Compare(firstDayBack, DatePart(update.back)), 0);
        } else {
            EXPECT_EQ(Compare(firstDayBack, DatePart(NowPlus(0))), 0);
            EXPECT_EQ(profile.time("EndTime").Innards[1], ANYDAY);
        }
        if (c.entry) {
            Note entry(db->handle(), entryId);
            EXPECT_EQ(entry.text("$BusyPriority"), "2");
            EXPECT_EQ(entry.text("BookFreeTime"), "1");
        }
        EXPECT_EQ(update_test::Entries(db->handle()).size(), c.entry ? 1u : 0u);
    }
}

TEST_F(UpdateTest, TheServiceIsSwitchedOnMovedAndOffAndTheIconNoteSigned) {
    MailFile({{"TaskType", Text("2")}, {"TaskState", Text("0")}, {"BookBusyTime", Text("1")}}, {},
             {{"Notified_1", Text("CN=A/O=Acme")}});
    const NOTEID icon = NOTE_ID_SPECIAL | NOTE_CLASS_ICON;
    Update update;
    update.showHours = "";
    ASSERT_EQ(Send(update), Replies{"OK"});
    ASSERT_EQ(Reply().size(), 1u);
    EXPECT_EQ(Reply()[0].at("HCREnable"), "1");
    EXPECT_EQ(Reply()[0].at("TaskType"), "2");
    std::string iconState;
    {
        Note n(db->handle(), icon);
        EXPECT_EQ(n.text("$Flags"), "O");
        EXPECT_TRUE(n.has("$OOOProfSeqNum"));
        EXPECT_TRUE(n.has("$OOOProfSeqTime"));
        EXPECT_EQ(n.signer(), kServer);
        iconState = n.state();
        Note service(db->handle(), std::string("ooserviceprofile"));
        EXPECT_EQ(service.names(), std::vector<std::string>{});
    }
    std::vector<NOTEID> entries = update_test::Entries(db->handle());
    ASSERT_EQ(entries.size(), 1u);
    {
        Note profile(db->handle(), std::string("OutOfOfficeProfile"));
        EXPECT_EQ(profile.text("TaskState"), "1");
        EXPECT_EQ(profile.text("CurrentStatus"), "1");
        EXPECT_EQ(profile.text("UpdateSettings"), "");
        EXPECT_EQ(profile.number("SaveOptions"), 0);
        // Whole days: both times of day at midnight.
        EXPECT_EQ(profile.time("EndTime").Innards[0], 0u);
        Note entry(db->handle(), entries[0]);
        EXPECT_EQ(profile.text("CalendarEntryUNID"), entry.text("ApptUNID"));
    }

    // Switched on again with new dates: the same entry moves.
    update.leave = NowPlus(10);
    update.back = NowPlus(12);
    ASSERT_EQ(Send(update), Replies{"OK"});
    ASSERT_EQ(update_test::Entries(db->handle()), entries);
    {
        Note entry(db->handle(), entries[0]);
        // Whole days: the service's first save computed the leave's midnight.
        EXPECT_EQ(Compare(entry.time("StartDate"), DayStart(update_test::Seconds(update.leave))),
                  0);
        EXPECT_EQ(entry.text("$BusyPriority"), "1");
        Note n(db->handle(), icon);
        EXPECT_EQ(n.state(), iconState) << "on already: not rewritten";
    }

    update.on = false;
    ASSERT_EQ(Send(update), Replies{"OK"});
    EXPECT_EQ(Reply()[0].at("HCREnable"), "0");
    Note n(db->handle(), icon);
    EXPECT_EQ(n.state(), iconState) << "switching off leaves the icon note alone";
    Note entry(db->handle(), entries[0]);
    EXPECT_EQ(entry.text("$BusyPriority"), "2");
    Note profile(db->handle(), std::string("OutOfOfficeProfile"));
    EXPECT_EQ(profile.text("CalendarEntryUNID"), "<none>");
    EXPECT_EQ(profile.text("TaskState"), "0");
    EXPECT_EQ(profile.text("TaskType"), "2");
    EXPECT_EQ(profile.number("SaveOptions"), -1) << "as switching off through the agent stores";
}

// A refused period is answered with its message and leaves the mail file,
// the request file and the log as they were; one hour exactly is enough.
TEST_F(UpdateTest, RefusedDatesChangeNothing) {
    TIMEDATE nine = NowPlus(2);
    const TIME t = [&] {
        TIME l = TIME();
        l.GM = nine;
        EXPECT_FALSE(TimeGMToLocal(&l));
        return l;
    }();
    nine = worker_test::LocalTime(t.year, t.month, t.day, 9, 0, 0);
    const TIMEDATE five = worker_test::LocalTime(t.year, t.month, t.day, 17, 0, 0);
    TIMEDATE hour = nine, underHour = nine;
    TimeDateAdjust(&hour, 0, 0, 1, 0, 0, 0);
    TimeDateAdjust(&underHour, -1, 0, 1, 0, 0, 0);
    struct Case {
        const char *what;
        const char *taskType;
        const char *showHours;
        TIMEDATE leave, back;
        std::string reply;
    } cases[] = {
        {"return in the past", "1", "1", NowPlus(-3), NowPlus(-1),
         "ValidateSettings:The return date must be in the future."},
        {"agent, within one day", "1", "1", nine, five,
         "ValidateSettings:Your return date must be later than the date on which you leave."},
        {"service, under an hour", "2", "1", nine, underHour,
         "ValidateSettings:Your Out of Office duration must be at least one hour.  Please check "
         "your start and end times."},
        {"service, one hour", "2", "1", nine, hour, "OK"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MailFile({{"TaskType", Text(c.taskType)}, {"BookBusyTime", Text("1")}});
        const std::map<NOTEID, std::string> before = update_test::Snapshot(db->handle());
        const std::string console = Log();
        Update update;
        update.leave = c.leave;
        update.back = c.back;
        update.showHours = c.showHours;
        EXPECT_EQ(Send(update), Replies{c.reply});
        if (c.reply == "OK")
            continue;
        EXPECT_EQ(update_test::Snapshot(db->handle()), before);
        EXPECT_EQ(test_support::ReadFile(requestPath).find("HCRReadObject"), std::string::npos);
        EXPECT_EQ(Log(), console);
    }
}

// An enable while the agent is on changes only the task items there: the
// agent stays as it is and nothing is booked.
TEST_F(UpdateTest, AnEnableWhileTheAgentIsOnBooksNothing) {
    MailFile({{"TaskType", Text("1")}, {"TaskState", Text("1")}, {"BookBusyTime", Text("1")}},
             {worker_test::MailFileOptions::Shipped, true, true});
    std::string agentState;
    {
        Note agent(db->handle(), AgentId());
        agentState = agent.state();
    }
    ASSERT_EQ(Send(Update()), Replies{"OK"});
    Note agent(db->handle(), AgentId());
    EXPECT_EQ(agent.state(), agentState);
    EXPECT_TRUE(update_test::Entries(db->handle()).empty());
    Note profile(db->handle(), std::string("OutOfOfficeProfile"));
    EXPECT_EQ(profile.text("TaskState"), "0");
    EXPECT_EQ(profile.text("TaskType"), "1");
}

// An entry that the user deleted does not fail every later switch: it is
// replaced when switching on and forgotten when switching off.
TEST_F(UpdateTest, AnEntryDeletedByTheUserIsReplacedOrForgotten) {
    for (bool on : {true, false}) {
        SCOPED_TRACE(on ? "on" : "off");
        MailFile({{"TaskType", Text("1")}, {"BookBusyTime", Text("1")}},
                 {worker_test::MailFileOptions::Shipped, true, !on});
        const NOTEID gone = db->AddNote(NOTE_CLASS_DOCUMENT, {{"Form", Text("Appointment")}});
        std::string unid;
        {
            Note entry(db->handle(), gone);
            unid = update_test::UnidText({entry.oid().File, entry.oid().Note});
        }
        ASSERT_NOERROR(NSFNoteDelete(db->handle(), gone, 0));
        db->SetProfile("OutOfOfficeProfile", {{"CalendarEntryUNID", Text(unid)}});
        Update update;
        update.on = on;
        ASSERT_EQ(Send(update), Replies{"OK"});
        Note profile(db->handle(), std::string("OutOfOfficeProfile"));
        const std::vector<NOTEID> entries = update_test::Entries(db->handle());
        if (on) {
            ASSERT_EQ(entries.size(), 1u);
            Note entry(db->handle(), entries[0]);
            EXPECT_EQ(profile.text("CalendarEntryUNID"), entry.text("ApptUNID"));
            EXPECT_NE(profile.text("CalendarEntryUNID"), unid);
        } else {
            EXPECT_TRUE(entries.empty());
            EXPECT_EQ(profile.text("CalendarEntryUNID"), "<none>");
        }
    }
}

// A request that fails after it made a calendar entry leaves no busy time
// that no profile records.
TEST_F(UpdateTest, AFailedSaveFreesTheEntryThatTheRequestMade) {
    MailFile({{"TaskType", Text("1")}, {"BookBusyTime", Text("1")}});
    // Saves: the agent, the entry twice, then the profile.
    StandinFaultInject({"NSFNoteUpdate", ERR_DB_BUSY, 3, 1, nullptr});
    EXPECT_EQ(Send(Update()), Replies{"SaveHCRProfile:" + test_support::StatusText(ERR_DB_BUSY)});
    StandinFaultClear();
    const std::vector<NOTEID> entries = update_test::Entries(db->handle());
    ASSERT_EQ(entries.size(), 1u);
    Note entry(db->handle(), entries[0]);
    EXPECT_EQ(entry.text("$BusyPriority"), "2");
    EXPECT_EQ(entry.text("BookFreeTime"), "1");
    Note profile(db->handle(), std::string("OutOfOfficeProfile"));
    EXPECT_EQ(profile.text("CalendarEntryUNID"), "<none>");
    // What was saved before the failure stays saved.
    Note agent(db->handle(), AgentId());
    EXPECT_EQ(agent.text("$AssistFlags"), "SHE");
}

// The longest texts that the reply can carry go in and come back whole.
TEST_F(UpdateTest, TheLongestTextsAreStoredAndAnsweredWhole) {
    MailFile({{"TaskType", Text("2")}});
    Update update;
    update.message = std::string(8000, 'm') + "\n" + std::string(8382, 'n');
    update.subject = std::string(16383, 's');
    ASSERT_EQ(Send(update), Replies{"OK"});
    ASSERT_EQ(Reply().size(), 1u);
    EXPECT_TRUE(Reply()[0].at("Message") == update.message);
    EXPECT_TRUE(Reply()[0].at("Subject") == update.subject);
    update.subject += "s";
    EXPECT_EQ(Send(update), Replies{"setHCRContent:Subject is too long to be saved."});
}

}  // namespace
