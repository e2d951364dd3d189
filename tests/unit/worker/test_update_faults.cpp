// The update road under failure and under concurrency: every platform call
// of a switch on or off fails in turn, and twenty updates of one mail file
// run at once. Whatever happens, the requester gets an answer, no handle
// stays open, and every stored note is the whole result of one of its saves.
#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "update_fixture.h"
#include "worker_test_support.h"
#include "xml_toolkit.h"

namespace {

using Replies = std::vector<std::string>;
using update_test::Note;
using update_test::Update;
using worker_test::Items;
using worker_test::List;
using worker_test::Text;

const char kReplyQueue[] = "MQ$FaultReply";
const char kServer[] = "CN=Vanterra Test/O=Acme";
const char kUser[] = "CN=Jane Doe/O=Acme";
const NOTEID kIcon = NOTE_ID_SPECIAL | NOTE_CLASS_ICON;

// The items that a calendar entry is made with, before its "ApptUNID".
const char *const kEntryItems[] = {
    "Form",          "StartDate",       "StartDateTime",   "EndDate",       "EndDateTime",
    "From",          "PRINCIPAL",       "$BusyName",       "$BusyPriority", "BookFreeTime",
    "$PublicAccess", "AppointmentType", "ExcludeFromView", "Subject",       "_ViewIcon",
    "CreatedByAgent"};

// What the notes that an update may save hold: each is as it was, or the
// whole result of one save of the update.
struct Notes {
    std::string agent, icon, profile, service;
};

Notes Read(DBHANDLE db) {
    Notes n;
    const std::vector<NOTEID> agents = worker_test::NotesOfClass(db, NOTE_CLASS_FILTER);
    if (!agents.empty()) {
        Note agent(db, agents[0]);
        n.agent = agent.state();
    }
    Note icon(db, kIcon);
    n.icon = icon.state();
    Note profile(db, std::string("OutOfOfficeProfile"));
    n.profile = profile.state();
    Note service(db, std::string("ooserviceprofile"));
    n.service = service.state();
    return n;
}

bool HasNotified(const Note &note) {
    for (const std::string &name : note.names()) {
        if (strncasecmp(name.c_str(), "Notified_", 9) == 0)
            return true;
    }
    return false;
}

// Checks that each note that may have been saved is as it was, or as one
// save of the update leaves it; and that no busy entry is left that the
// stored profile does not record.
void ExpectWhole(DBHANDLE db, const Notes &before, const Update &update, bool agentRoad) {
    Notes now = Read(db);
    if (agentRoad && now.agent != before.agent) {
        const std::vector<NOTEID> agents = worker_test::NotesOfClass(db, NOTE_CLASS_FILTER);
        Note agent(db, agents.at(0));
        EXPECT_EQ(agent.signer(), kServer) << "the agent note";
        EXPECT_EQ(agent.text("$AssistFlags").find('E') != std::string::npos, update.on);
        EXPECT_EQ(agent.text("$MachineName"), kServer);
    }
    if (now.icon != before.icon) {
        Note icon(db, kIcon);
        EXPECT_EQ(icon.signer(), kServer) << "the icon note";
        EXPECT_NE(icon.text("$Flags").find('O'), std::string::npos);
        EXPECT_TRUE(icon.has("$OOOProfSeqNum"));
        EXPECT_TRUE(icon.has("$OOOProfSeqTime"));
    }
    Note profile(db, std::string("OutOfOfficeProfile"));
    if (now.profile != before.profile) {
        EXPECT_EQ(profile.text("GeneralSubject"), update.subject) << "the profile";
        EXPECT_EQ(profile.text("DaysOut"), update.daysOut);
        EXPECT_EQ(profile.text("AppendSubjectDate"), update.appendSubjectDate);
        EXPECT_TRUE(profile.has("SaveOptions"));
        EXPECT_TRUE(profile.has("CurrentStatus"));
    }
    if (now.service != before.service) {
        Note service(db, std::string("ooserviceprofile"));
        EXPECT_FALSE(HasNotified(service)) << "the service profile";
    }
    const std::string recorded = profile.text("CalendarEntryUNID");
    for (NOTEID id : update_test::Entries(db)) {
        Note entry(db, id);
        for (const char *item : kEntryItems)
            EXPECT_TRUE(entry.has(item)) << "entry " << id << " lacks " << item;
        const std::string unid = update_test::UnidText({entry.oid().File, entry.oid().Note});
        if (entry.text("$BusyPriority") == "1") {
            EXPECT_EQ(unid, recorded) << "a busy entry that no profile records";
        }
    }
}

class UpdateFaultTest : public worker_test::QueueTest {
  protected:
    UpdateFaultTest() : QueueTest(kReplyQueue) {}

    // A mail file made as told, then, when asked, switched on once by an
    // update that works: the first state of every walk.
    std::string Pristine(const char *name, const char *taskType, bool switchedOn) {
        const std::string path = std::string("mail/") + name + ".nsf";
        {
            worker_test::Database db(path);
            worker_test::BuildMailFile(db);
            db.SetProfile("OutOfOfficeProfile", {{"Form", Text("OutOfOfficeProfile")},
                                                 {"TaskType", Text(taskType)},
                                                 {"TaskState", Text("0")},
                                                 {"BookBusyTime", Text("1")},
                                                 {"$MachineName", Text(kServer)},
                                                 {"CalendarCategoryRefresh", Text("1")}});
            db.SetProfile("ooserviceprofile",
                          {{"Notified_1", Text("CN=A/O=Acme")}, {"Other", Text("stays")}});
            db.SetProfile("CalendarProfile", {{"Owner", List({"CN=Boss/O=Acme"})}});
        }
        if (switchedOn) {
            Update on;
            on.subject = "first";
            on.leave = worker_test::NowPlus(2);
            on.back = worker_test::NowPlus(6);
            EXPECT_EQ(Run(path, on), Replies{"OK"});
            worker_test::Database db(path, false);
            db.SetProfile("ooserviceprofile", {{"Notified_2", Text("CN=B/O=Acme")}});
        }
        return path;
    }

    std::string RequestFile(const std::string &mailFile, Update update) {
        update.mailBox = mailFile;
        const std::string path = files.file("ND_" + std::to_string(++count) + ".xml");
        test_support::WriteFile(path, "<Request><Username MailServer=\"" + std::string(kServer) +
                                          "\" " + update.attributes(kReplyQueue) + ">" + kUser +
                                          "</Username></Request>");
        return path;
    }
    Replies Run(const std::string &mailFile, const Update &update) {
        IPHCR worker;
        worker.HandleXmlRequest(RequestFile(mailFile, update));
        worker.Reset(true);
        return queue->Take();
    }

    // Fails the Nth call of the update for every N, on a fresh copy of the
    // first state each time, until the update runs through.
    void Walk(const std::string &pristine, const Update &update, bool agentRoad) {
        ASSERT_TRUE(xml_toolkit::Start());  // held as the task holds it
        unsigned n = 0, oks = 0;
        for (; n < 5000; n++) {
            SCOPED_TRACE("call " + std::to_string(n));
            const std::string path = "mail/walk" + std::to_string(n) + ".nsf";
            ASSERT_NOERROR(
                NSFDbCreateAndCopy(pristine.c_str(), path.c_str(), NOTE_CLASS_ALL, 0, 0, nullptr));
            Notes before;
            {
                worker_test::Database db(path, false);
                before = Read(db.handle());
            }
            const std::string request = RequestFile(path, update);
            const std::string content = test_support::ReadFile(request);
            const DWORD open = StandinHandleCount(STANDIN_HANDLE_ANY);
            StandinFaultInject({"*", ERR_DB_BUSY, n, 1, nullptr});
            {
                IPHCR worker;
                worker.HandleXmlRequest(request);
                worker.Reset(true);
            }
            const unsigned hits = StandinFaultHits("*");
            char failed[64] = "";
            StandinFaultLastWildcardCall(failed, sizeof failed);
            StandinFaultClear();
            const std::string call = failed;
            SCOPED_TRACE(call);
            const Replies replies = queue->Take();
            if (call == "MQOpen" || call == "MQPut") {
                EXPECT_TRUE(replies.empty());
            } else {
                ASSERT_EQ(replies.size(), 1u);
                if (replies[0] == "OK") {
                    oks++;
                    const auto users = worker_test::ReadReply(test_support::ReadFile(request));
                    ASSERT_EQ(users.size(), 1u);
                    // An agent that answers wrongly (its fault) is believed.
                    if (call != "AgentIsEnabled") {
                        EXPECT_EQ(users[0].at("HCREnable"), update.on ? "1" : "0");
                    }
                } else {
                    EXPECT_FALSE(replies[0].empty());
                    const std::string now = test_support::ReadFile(request);
                    EXPECT_TRUE(now == content || now.empty()) << now;
                }
            }
            // Nothing open but what a failed close held (a note keeps its
            // items' memory).
            const DWORD left = StandinHandleCount(STANDIN_HANDLE_ANY) - open;
            if (call == "NSFNoteClose" || call == "NSFDbClose" || call == "NSFComputeStop" ||
                call == "MQClose") {
                EXPECT_GE(left, 1u);
            } else {
                EXPECT_EQ(left, 0u);
            }
            {
                worker_test::Database db(path, false);
                ExpectWhole(db.handle(), before, update, agentRoad);
            }
            if (StandinHandleCount(STANDIN_HANDLE_ANY) != open) {
                RestartRuntime();
            }
            if (hits == 0) {
                EXPECT_EQ(replies, Replies{"OK"}) << "the walk's end is a whole update";
                break;
            }
        }
        xml_toolkit::Stop();
        EXPECT_LT(n, 5000u) << "the walk did not end";
        EXPECT_GT(n, 100u) << "an update makes more calls than that";
        RecordProperty("calls_of_the_update", std::to_string(n));
        RecordProperty("failed_calls_answered_ok", std::to_string(oks));
        std::printf("%u calls, %u failed ones answered OK\n", n, oks);
    }

    test_support::TempDir files;
    int count = 0;
};

Update Switch(bool on) {
    Update u;
    u.on = on;
    u.showHours = "";
    return u;
}

TEST_F(UpdateFaultTest, EveryCallOfASwitchOnThroughTheAgentCanFail) {
    Walk(Pristine("agent", "1", false), Switch(true), true);
}

TEST_F(UpdateFaultTest, EveryCallOfASwitchOffThroughTheAgentCanFail) {
    Walk(Pristine("agent", "1", true), Switch(false), true);
}

TEST_F(UpdateFaultTest, EveryCallOfASwitchOnThroughTheServiceCanFail) {
    Walk(Pristine("service", "2", false), Switch(true), false);
}

TEST_F(UpdateFaultTest, EveryCallOfASwitchOffThroughTheServiceCanFail) {
    Walk(Pristine("service", "2", true), Switch(false), false);
}

// Twenty updates of one mail file on request threads let go at once. The
// profile save is not forced: whoever saves after another was first gets the
// conflict. Every request is answered "OK" or with the conflict text, the
// stored profile is the whole state that one answered "OK" wrote, and the
// entries of the losers do not stay busy.
TEST_F(UpdateFaultTest, TwentyUpdatesOfOneMailFileAtOnce) {
    for (const char *taskType : {"1", "2"}) {
        SCOPED_TRACE(std::string("TaskType ") + taskType);
        const std::string mail =
            Pristine(taskType[0] == '1' ? "agent" : "service", taskType, false);
        constexpr int kRequests = 20;
        std::vector<Update> updates(kRequests);
        std::vector<std::string> paths(kRequests);
        std::vector<std::unique_ptr<worker_test::ReplyQueue>> queues;
        for (int i = 0; i < kRequests; i++) {
            Update &u = updates[i];
            u.showHours = "";
            u.subject = "Subject " + std::to_string(i);
            u.message = "Message " + std::to_string(i);
            u.daysOut = "DaysOut " + std::to_string(i);
            u.appendSubjectDate = "ASD " + std::to_string(i);
            u.leave = worker_test::NowPlus(1 + i);
            u.back = worker_test::NowPlus(30 + i);
            u.mailBox = mail;
            const std::string name = std::string("MQ$Conc") + taskType + "_" + std::to_string(i);
            queues.emplace_back(new worker_test::ReplyQueue(name));
            paths[i] = files.file("ND_conc" + std::to_string(++count) + ".xml");
            test_support::WriteFile(
                paths[i], "<Request><Username MailServer=\"" + std::string(kServer) + "\" " +
                              u.attributes(name) + ">" + kUser + "</Username></Request>");
        }
        std::atomic<int> waiting{kRequests};
        std::vector<std::thread> threads;
        for (int i = 0; i < kRequests; i++) {
            threads.emplace_back([&, i] {
                const bool notes = NotesInitThread() == NOERROR;
                waiting--;
                while (waiting.load() > 0)
                    std::this_thread::yield();
                if (!notes)
                    return;
                {
                    IPHCR worker;
                    worker.HandleXmlRequest(paths[i]);
                    worker.Reset(true);
                }
                NotesTermThread();
            });
        }
        for (std::thread &t : threads)
            t.join();

        const std::string conflict = test_support::StatusText(ERR_CONFLICT);
        std::set<int> ok;
        for (int i = 0; i < kRequests; i++) {
            const Replies replies = queues[i]->Take();
            ASSERT_EQ(replies.size(), 1u) << i;
            if (replies[0] == "OK") {
                ok.insert(i);
                continue;
            }
            const size_t colon = replies[0].find(':');
            EXPECT_TRUE(colon != std::string::npos && replies[0].substr(colon + 1) == conflict)
                << i << ": " << replies[0];
        }
        EXPECT_FALSE(ok.empty());
        queues.clear();

        worker_test::Database db(mail, false);
        Note profile(db.handle(), std::string("OutOfOfficeProfile"));
        const std::string subject = profile.text("GeneralSubject");
        ASSERT_EQ(subject.rfind("Subject ", 0), 0u) << subject;
        const int winner = std::stoi(subject.substr(8));
        EXPECT_EQ(ok.count(winner), 1u) << "the stored state is of a request answered OK";
        const Update &u = updates[winner];
        EXPECT_EQ(profile.text("GeneralMessage"), u.message);
        EXPECT_EQ(profile.text("DaysOut"), u.daysOut);
        EXPECT_EQ(profile.text("AppendSubjectDate"), u.appendSubjectDate);
        EXPECT_EQ(update_test::Compare(update_test::DatePart(profile.time("FirstDayBack")),
                                       update_test::DatePart(u.back)),
                  0);
        // "0" when the winner found the agent switched on by another.
        EXPECT_NE(profile.text("TaskState"), "<none>");
        EXPECT_EQ(profile.text("CurrentStatus"), "1");
        // At most one entry is busy: the recorded one, booked by a request
        // answered "OK"; the losers' entries are free.
        const std::string recorded = profile.text("CalendarEntryUNID");
        int busy = 0;
        for (NOTEID id : update_test::Entries(db.handle())) {
            Note entry(db.handle(), id);
            if (entry.text("$BusyPriority") != "1")
                continue;
            busy++;
            EXPECT_EQ(update_test::UnidText({entry.oid().File, entry.oid().Note}), recorded);
            const TIMEDATE end = update_test::DatePart(entry.time("EndDateTime"));
            bool bookedByOk = false;
            for (int i : ok)
                bookedByOk |=
                    update_test::Compare(end, update_test::DatePart(updates[i].back)) == 0;
            EXPECT_TRUE(bookedByOk);
        }
        EXPECT_LE(busy, 1);
        const std::vector<NOTEID> agents =
            worker_test::NotesOfClass(db.handle(), NOTE_CLASS_FILTER);
        Note agent(db.handle(), agents.at(0));
        if (taskType[0] == '1') {
            EXPECT_EQ(agent.signer(), kServer);
            EXPECT_NE(agent.text("$AssistFlags").find('E'), std::string::npos);
        }
        Note icon(db.handle(), kIcon);
        if (taskType[0] == '2') {
            EXPECT_EQ(icon.signer(), kServer);
            EXPECT_NE(icon.text("$Flags").find('O'), std::string::npos);
        }
        RecordProperty(std::string("answered_ok_of_20_type_") + taskType,
                       std::to_string(ok.size()));
    }
}

}  // namespace
