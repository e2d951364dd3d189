// The busy-time calendar entry: booked, moved, freed and forgotten, and the
// UNID text that records it.
#include <string>
#include <vector>

#include "mail_fixture.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "update_fixture.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using update_test::Compare;
using update_test::Entries;
using update_test::Note;
using worker_test::Items;
using worker_test::List;
using worker_test::NowPlus;
using worker_test::Text;
using worker_test::Time;

TEST(UnidText, HexDigitsAndTheFourWordsInTheirPlaces) {
    const struct {
        const char *text;
        uint32_t value;
    } hex[] = {{"ffffffff", 0xFFFFFFFFu}, {"FFFFFFFF", 0xFFFFFFFFu},  {"", 0},           {"1G", 39},
               {"0000002a", 42},          {"123456789", 0x23456789u}, {"/", 0xFFFFFFFFu}};
    for (const auto &h : hex) {
        uint32_t value = 7;
        IPHCR::HexToUInt32(h.text, value);
        EXPECT_EQ(value, h.value) << h.text;
    }
    UNID unid;
    IPHCR::ParseUnidText("0000000100000002000000030000000499", unid);
    EXPECT_EQ(unid.File.Innards[1], 1u);
    EXPECT_EQ(unid.File.Innards[0], 2u);
    EXPECT_EQ(unid.Note.Innards[1], 3u);
    EXPECT_EQ(unid.Note.Innards[0], 4u);
    EXPECT_EQ(update_test::UnidText(unid), "00000001000000020000000300000004");
    IPHCR::ParseUnidText("0000000A00B", unid);
    EXPECT_EQ(unid.File.Innards[1], 10u);
    EXPECT_EQ(unid.File.Innards[0], 11u);
    EXPECT_EQ(unid.Note.Innards[1], 0u);
    EXPECT_EQ(unid.Note.Innards[0], 0u);
}

class BusyTimeTest : public update_test::MailWorkerTest {
  protected:
    // A mail file whose profile holds the dates, with these items more,
    // opened by a fresh worker.
    void Open(const Items &profile = {}, const Items &calendarProfile = {}) {
        NewMailFile();
        Items items = {{"BookBusyTime", Text("1")}};
        items.insert(items.end(), profile.begin(), profile.end());
        StoreProfiles(items);
        if (!calendarProfile.empty())
            db->SetProfile("CalendarProfile", calendarProfile);
        OpenWorker();
    }
    void Record(const std::string &unid) {
        SetItem(Access::profileNote(w()), "CalendarEntryUNID", Text(unid));
    }
};

// The owner of the entry: the calendar profile's "Owner", else the user;
// the value block is freed either way.
TEST_F(BusyTimeTest, TheFirstBookingMakesOneEntryForTheCalendarsOwner) {
    struct Case {
        const char *what;
        Items calendarProfile;
        const char *owner;
    } cases[] = {
        {"a text", {{"Owner", Text("CN=Boss/O=Acme")}}, "CN=Boss/O=Acme"},
        {"a list", {{"Owner", List({"CN=First/O=Acme", "CN=Second/O=Acme"})}}, "CN=First/O=Acme"},
        {"an empty text", {{"Owner", Text("")}}, "CN=Jane Doe/O=Acme"},
        {"an empty first entry", {{"Owner", List({"", "CN=Second/O=Acme"})}}, "CN=Jane Doe/O=Acme"},
        {"no owner", {{"Other", Text("x")}}, "CN=Jane Doe/O=Acme"},
        {"a name longer than a name buffer", {{"Owner", Text(std::string(300, 'n'))}}, nullptr},
        {"no calendar profile", {}, "CN=Jane Doe/O=Acme"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Open({{"OwnerOfCalendarEntry", Text("x")}}, c.calendarProfile);
        const DWORD memory = StandinHandleCount(STANDIN_HANDLE_MEMORY);
        EXPECT_EQ(w().BookBusyTime(), 1);
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), memory);
        const std::vector<NOTEID> entries = Entries(db->handle());
        ASSERT_EQ(entries.size(), 1u);
        Note entry(db->handle(), entries[0]);
        const std::string owner = c.owner ? c.owner : std::string(300, 'n');
        for (const char *item : {"From", "PRINCIPAL", "$BusyName"})
            EXPECT_EQ(entry.text(item), owner) << item;
        EXPECT_EQ(Compare(entry.time("StartDate"), out), 0);
        EXPECT_EQ(Compare(entry.time("EndDateTime"), back), 0);
        EXPECT_EQ(InMemory("CalendarEntryUNID"), entry.text("ApptUNID"));
        EXPECT_EQ(InMemory("OwnerOfCalendarEntry"), "<none>");
        EXPECT_TRUE(Access::entryUnrecorded(w())) << "until a profile save records it";
    }
}

TEST_F(BusyTimeTest, BookingAgainMovesTheSameEntryAndAGoneEntryIsReplaced) {
    Open();
    ASSERT_EQ(w().BookBusyTime(), 1);
    w().SaveHCRProfile(true);
    EXPECT_FALSE(Access::entryUnrecorded(w()));
    const NOTEID first = Entries(db->handle()).at(0);
    {
        Note entry(db->handle(), first);
        SetItem(entry.handle(), "$BusyPriority", Text("2"));
        SetItem(entry.handle(), "BookFreeTime", Text("1"));
        ASSERT_NOERROR(NSFNoteUpdate(entry.handle(), 0));
    }
    // New dates; with "BookBusyTime" off the moved entry shows free.
    for (const char *busy : {"1", "0"}) {
        out = NowPlus(5);
        back = NowPlus(7);
        db->SetProfile("OutOfOfficeProfile", {{"dateFirstDayOut", Time(out)},
                                              {"dateFirstDayBack", Time(back)},
                                              {"BookBusyTime", Text(busy)}});
        OpenWorker();
        EXPECT_EQ(w().BookBusyTime(), 1);
        ASSERT_EQ(Entries(db->handle()), std::vector<NOTEID>{first});
        Note entry(db->handle(), first);
        EXPECT_EQ(Compare(entry.time("StartDateTime"), out), 0);
        EXPECT_EQ(Compare(entry.time("EndDate"), back), 0);
        EXPECT_EQ(entry.text("$BusyPriority"), std::string(busy) == "1" ? "1" : "2");
        EXPECT_EQ(entry.text("BookFreeTime"), std::string(busy) == "1" ? "" : "1");
        EXPECT_FALSE(Access::entryUnrecorded(w()));
    }

    // The user deleted it, or the text names no note: a new entry.
    ASSERT_NOERROR(NSFNoteDelete(db->handle(), first, 0));
    for (const char *recorded : {"", "not a UNID at all"}) {
        OpenWorker();
        if (*recorded)
            Record(recorded);
        const size_t before = Entries(db->handle()).size();
        EXPECT_EQ(w().BookBusyTime(), 1);
        EXPECT_EQ(Entries(db->handle()).size(), before + 1);
        EXPECT_EQ(InMemory("CalendarEntryUNID").size(), 32u);
    }

    // Any other failure of the open stays one, and the record stays.
    OpenWorker();
    const std::string recorded = InMemory("CalendarEntryUNID");
    StandinFaultInject({"NSFNoteOpenByUNID", ERR_DB_BUSY, 0, 1, nullptr});
    const size_t before = Entries(db->handle()).size();
    EXPECT_EQ(update_test::ErrorOf([&] { w().BookBusyTime(); }),
              "BookBusyTime:" + test_support::StatusText(ERR_DB_BUSY));
    EXPECT_EQ(Entries(db->handle()).size(), before);
    EXPECT_EQ(InMemory("CalendarEntryUNID"), recorded);
}

TEST_F(BusyTimeTest, RemovingFreesAndForgetsTheEntryOrForgetsOneThatIsGone) {
    Open({{"OwnerOfCalendarEntry", Text("x")}});
    EXPECT_EQ(w().RemoveBusyTime(), 0) << "none recorded";
    EXPECT_EQ(InMemory("OwnerOfCalendarEntry"), "x") << "nothing written";

    ASSERT_EQ(w().BookBusyTime(), 1);
    w().SaveHCRProfile(true);
    const NOTEID id = Entries(db->handle()).at(0);
    out = NowPlus(8);
    db->SetProfile("OutOfOfficeProfile", {{"dateFirstDayOut", Time(out)}});
    OpenWorker();
    EXPECT_EQ(w().RemoveBusyTime(), 1);
    EXPECT_EQ(InMemory("CalendarEntryUNID"), "<none>");
    {
        Note entry(db->handle(), id);
        EXPECT_EQ(entry.text("$BusyPriority"), "2");
        EXPECT_EQ(entry.text("BookFreeTime"), "1");
        EXPECT_EQ(Compare(entry.time("StartDate"), out), 0) << "at the profile's dates";
    }

    // Another failure stays one, and the record stays.
    Note entry(db->handle(), id);
    const std::string unid = entry.text("ApptUNID");
    OpenWorker();
    Record(unid);
    StandinFaultInject({"NSFNoteOpenByUNID", ERR_DB_BUSY, 0, 1, nullptr});
    EXPECT_EQ(update_test::ErrorOf([&] { w().RemoveBusyTime(); }),
              "RemoveBusyTime:" + test_support::StatusText(ERR_DB_BUSY));
    EXPECT_EQ(InMemory("CalendarEntryUNID"), unid);

    // An entry that the user deleted is forgotten, without a failure.
    ASSERT_NOERROR(NSFNoteDelete(db->handle(), id, 0));
    OpenWorker();
    Record(unid);
    SetItem(Access::profileNote(w()), "OwnerOfCalendarEntry", Text("x"));
    EXPECT_EQ(w().RemoveBusyTime(), 0);
    EXPECT_EQ(InMemory("CalendarEntryUNID"), "<none>");
    EXPECT_EQ(InMemory("OwnerOfCalendarEntry"), "<none>");
}

}  // namespace
