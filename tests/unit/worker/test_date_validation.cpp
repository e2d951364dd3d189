// The leave and return dates checked before out-of-office is switched on,
// and the start of a local day.
#include <cstdlib>
#include <string>

#include "mail_fixture.h"
#include "update_fixture.h"
#include "worker_test_support.h"

namespace {

using Access = IPHCRTestAccess;
using update_test::Compare;
using update_test::Note;
using worker_test::Items;
using worker_test::LocalTime;
using worker_test::NowPlus;
using worker_test::Time;

const char kFuture[] = "ValidateSettings:The return date must be in the future.";
const char kLater[] =
    "ValidateSettings:Your return date must be later than the date on which you leave.";
const char kHour[] =
    "ValidateSettings:Your Out of Office duration must be at least one hour.  Please check your "
    "start and end times.";

// The local fields of a time on the server's clock.
TIME Local(const TIMEDATE &t) {
    TIME local = TIME();
    local.GM = t;
    int zone = 0, dst = 0;
    OSCurrentTimeZone(&zone, &dst);
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    local.GM.Innards[1] = (t.Innards[1] & 0x00FFFFFFu) | (now.Innards[1] & 0xFF000000u);
    EXPECT_FALSE(TimeGMToLocal(&local));
    return local;
}

class DateValidationTest : public worker_test::WorkerTest {
  protected:
    // A profile with these dates (and times of day), opened by a fresh
    // worker of that type; the check's exception text, or "".
    std::string Validate(const Items &profile, int32_t agentType, const std::string &showHours) {
        const std::string path = "mail/d" + std::to_string(++count) + ".nsf";
        {
            worker_test::Database db(path);
            db.SetProfile("OutOfOfficeProfile", profile);
        }
        Fresh();
        Access::mailFile(w()) = path;
        EXPECT_EQ(w().getHCRProfile(false), NOERROR);
        Access::agentType(w()) = agentType;
        Access::showHours(w()) = showHours;
        try {
            EXPECT_EQ(w().ValidateSettings(), 1);
            return "";
        } catch (const IPException &e) {
            return e.message();
        }
    }
    // A time item of the worker's profile in memory.
    TIMEDATE Item(const char *name) {
        TIMEDATE t = {};
        NSFItemGetTime(Access::profileNote(w()), name, &t);
        return t;
    }
    int count = 0;
};

bool TimeOnlyMidnight(const TIMEDATE &t) {
    return t.Innards[0] == 0 && t.Innards[1] == ANYDAY;
}

TEST_F(DateValidationTest, RefusalsAndTheWholeDayTimesTheyWrite) {
    const TIMEDATE start = NowPlus(-10);  // what the profile's time items held
    const TIMEDATE end = NowPlus(-9);
    TIMEDATE tomorrow = NowPlus(1);
    const TIME t = Local(tomorrow);
    const TIMEDATE tomorrowNine = LocalTime(t.year, t.month, t.day, 9, 0, 0);
    const TIMEDATE tomorrowFive = LocalTime(t.year, t.month, t.day, 17, 0, 0);
    TIMEDATE secondAgo;
    OSCurrentTIMEDATE(&secondAgo);
    TimeDateAdjust(&secondAgo, -1, 0, 0, 0, 0, 0);
    TIMEDATE hourLater = tomorrowNine;
    TimeDateAdjust(&hourLater, 0, 0, 1, 0, 0, 0);
    TIMEDATE justUnder = hourLater;
    TimeDateAdjust(&justUnder, -1, 0, 0, 0, 0, 0);
    struct Case {
        const char *what;
        int32_t agentType;
        const char *showHours;
        TIMEDATE leave, back;
        const char *refusal;
        bool startWritten, endWritten;
    } cases[] = {
        {"return a second ago", 0, "1", NowPlus(-2), secondAgo, kFuture, false, false},
        {"return before leave", 0, "1", NowPlus(2), NowPlus(1), kLater, false, false},
        {"agent, leave and return the same day", 1, "1", tomorrowNine, tomorrowFive, kLater, false,
         false},
        {"agent, return on a later day", 1, "", NowPlus(1), NowPlus(3), "", true, false},
        {"service, times of day, 59:59", 0, "1", tomorrowNine, justUnder, kHour, false, false},
        {"service, times of day, one hour", 0, "1", tomorrowNine, hourLater, "", false, false},
        {"service, whole days", 0, "", NowPlus(1), NowPlus(3), "", true, true},
        {"service, whole days by 0", 0, "0", NowPlus(1), NowPlus(3), "", true, true},
        {"service, whole days by 10", 0, "10", tomorrowNine, tomorrowFive, kLater, false, false},
        {"service, whole days by \" 1\"", 0, " 1", tomorrowNine, tomorrowFive, kLater, false,
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Validate({{"dateFirstDayOut", Time(c.leave)},
                            {"dateFirstDayBack", Time(c.back)},
                            {"StartTime", Time(start)},
                            {"EndTime", Time(end)}},
                           c.agentType, c.showHours),
                  c.refusal);
        EXPECT_EQ(TimeOnlyMidnight(Item("StartTime")), c.startWritten);
        EXPECT_EQ(TimeOnlyMidnight(Item("EndTime")), c.endWritten);
        if (!c.startWritten) {
            EXPECT_EQ(Compare(Item("StartTime"), start), 0);
        }
        if (!c.endWritten) {
            EXPECT_EQ(Compare(Item("EndTime"), end), 0);
        }
    }
}

// The agent's absence that ends later today has begun: its start stays.
TEST_F(DateValidationTest, AnAgentAbsenceEndingTodayKeepsItsStartTime) {
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    const TIME t = Local(now);
    if (t.hour == 23 && t.minute >= 58)
        GTEST_SKIP() << "too close to midnight for a return later today";
    const TIMEDATE lateToday = LocalTime(t.year, t.month, t.day, 23, 59, 59);
    EXPECT_EQ(Validate({{"dateFirstDayOut", Time(NowPlus(-2))},
                        {"dateFirstDayBack", Time(lateToday)},
                        {"StartTime", Time(NowPlus(-2))},
                        {"EndTime", Time(lateToday)}},
                       1, ""),
              "");
    EXPECT_FALSE(TimeOnlyMidnight(Item("StartTime")));
}

TEST_F(DateValidationTest, AMissingDateItemIsNamed) {
    const TIMEDATE out = NowPlus(1);
    EXPECT_EQ(Validate({{"dateFirstDayOut", Time(out)}, {"StartTime", Time(out)}}, 0, "1"),
              "GetUITimes:No DateFirstDayBack Item");
    EXPECT_EQ(Compare(Access::uiFirstDayOut(w()), out), 0) << "read before the missing one";
    EXPECT_EQ(Validate({}, 0, "1"), "GetUITimes:No DateFirstDayOut Item");
    EXPECT_EQ(Validate({{"dateFirstDayOut", Time(out)}, {"dateFirstDayBack", Time(out)}}, 0, "1"),
              "GetUITimes:No StartTime Item");
    EXPECT_EQ(Validate({{"dateFirstDayOut", Time(out)},
                        {"dateFirstDayBack", Time(out)},
                        {"StartTime", Time(out)}},
                       0, "1"),
              "GetUITimes:No EndTime Item");
}

// The start of the local day, also on days whose clocks change: it is the
// local midnight of the same date, or the first time of a date whose clocks
// skip midnight; the hundredths stay.
TEST(TruncateToDayStart, LandsOnTheLocalStartOfTheSameDate) {
    const char *saved = std::getenv("TZ");
    const std::string savedTz = saved ? saved : "";
    struct Case {
        const char *what;
        const char *tz;
        int year, month, day;
        int hour;  // of the result
    } cases[] = {
        {"an ordinary day", "CET-1CEST,M3.5.0,M10.5.0/3", 2021, 6, 15, 0},
        {"clocks forward at 02:00", "CET-1CEST,M3.5.0,M10.5.0/3", 2021, 3, 28, 0},
        {"clocks back at 03:00", "CET-1CEST,M3.5.0,M10.5.0/3", 2021, 10, 31, 0},
        {"clocks forward at midnight", "<-03>3<-02>,M11.1.0/0,M2.3.0/0", 2018, 11, 4, 1},
        {"clocks back at midnight", "<-03>3<-02>,M11.1.0/0,M2.3.0/0", 2019, 2, 17, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        setenv("TZ", c.tz, 1);
        TIME source = TIME();
        source.year = c.year;
        source.month = c.month;
        source.day = c.day;
        source.hour = 10;
        source.minute = 15;
        source.second = 30;
        source.hundredth = 45;
        OSCurrentTimeZone(&source.zone, &source.dst);
        ASSERT_FALSE(TimeLocalToGM(&source));
        TIMEDATE value = source.GM;
        IPHCR::TruncateToDayStart(value, value);  // in place
        TIME result = Local(value);
        EXPECT_EQ(result.year, c.year);
        EXPECT_EQ(result.month, c.month);
        EXPECT_EQ(result.day, c.day);
        EXPECT_EQ(result.hour, c.hour);
        EXPECT_EQ(result.minute, 0);
        EXPECT_EQ(result.second, 0);
        EXPECT_EQ(result.hundredth, 45);
        // A value made in another zone starts the day of the server's clock.
        TIMEDATE elsewhere = source.GM;
        elsewhere.Innards[1] = (elsewhere.Innards[1] & 0x00FFFFFFu) | 0x05000000u;  // 5 west
        TIMEDATE start;
        IPHCR::TruncateToDayStart(elsewhere, start);
        EXPECT_EQ(Compare(start, value), 0);
    }
    // A date or a time alone is no moment: it stays as it is.
    const TIMEDATE timeOnly = {{123456, ANYDAY}};
    TIMEDATE copy;
    IPHCR::TruncateToDayStart(timeOnly, copy);
    EXPECT_EQ(copy.Innards[0], 123456u);
    EXPECT_EQ(copy.Innards[1], ANYDAY);
    if (saved)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
}

}  // namespace
