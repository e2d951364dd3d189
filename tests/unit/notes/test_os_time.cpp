#include <stdlib.h>
#include <time.h>

#include <cstdint>
#include <random>
#include <string>

#include "os_error.h"
#include "os_time.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

constexpr DWORD kDayMask = 0x00FFFFFFu;

// Runs the test under a POSIX TZ string (no tzdata needed) and puts the
// process's TZ back afterwards.
class TimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        if (hadTz_)
            savedTz_ = tz;
        UseZone("UTC0");
    }
    void TearDown() override {
        if (hadTz_) {
            setenv("TZ", savedTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static void UseZone(const char *tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

  private:
    bool hadTz_ = false;
    std::string savedTz_;
};

TIME Fields(int year, int month, int day, int hour, int minute, int second = 0, int hundredth = 0) {
    TIME t{};
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.hundredth = hundredth;
    return t;
}

// The record as the system makes it: the process's own zone and flag.
TIME ProcessLocal(int year, int month, int day, int hour, int minute, int second = 0) {
    TIME t = Fields(year, month, day, hour, minute, second);
    OSCurrentTimeZone(&t.zone, &t.dst);
    return t;
}

TIMEDATE ToGM(TIME t) {
    EXPECT_FALSE(TimeLocalToGM(&t))
        << t.year << "-" << t.month << "-" << t.day << " " << t.hour << ":" << t.minute;
    return t.GM;
}

TIME ToLocal(TIMEDATE gm) {
    TIME t{};
    t.GM = gm;
    EXPECT_FALSE(TimeGMToLocal(&t)) << std::hex << gm.Innards[0] << " " << gm.Innards[1];
    return t;
}

// A GMT moment with no zone bits.
TIMEDATE Gmt(int year, int month, int day, int hour, int minute, int second = 0,
             int hundredth = 0) {
    TIME t = Fields(year, month, day, hour, minute, second, hundredth);
    return ToGM(t);
}

std::string Show(const TIME &t) {
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%02d", t.year, t.month, t.day,
             t.hour, t.minute, t.second, t.hundredth);
    return text;
}

// The GMT reading of a moment, whatever zone it carries.
std::string ShowGmt(TIMEDATE td) {
    td.Innards[1] &= kDayMask;
    TIME t{};
    t.GM = td;
    if (TimeGMToLocal(&t))
        return "(invalid)";
    return Show(t);
}

bool SameMoment(const TIMEDATE &a, const TIMEDATE &b) {
    return a.Innards[0] == b.Innards[0] && (a.Innards[1] & kDayMask) == (b.Innards[1] & kDayMask);
}

TEST_F(TimeTest, JulianDaysAndWeekdaysOfKnownDates) {
    struct Case {
        int year, month, day;
        DWORD julian;
        int weekday;
    } cases[] = {
        {1970, 1, 1, 2440588, 5},   {2000, 1, 1, 2451545, 7},  {1, 1, 1, 1721426, 2},
        {9999, 12, 31, 5373484, 6}, {2024, 2, 29, 2460370, 5}, {1582, 10, 15, 2299161, 6},
        {1900, 3, 1, 2415080, 5},   {2038, 1, 19, 2465443, 3},
    };
    for (const Case &c : cases) {
        TIME t = Fields(c.year, c.month, c.day, 13, 14, 15, 16);
        ASSERT_FALSE(TimeLocalToGM(&t)) << c.year;
        EXPECT_EQ(t.GM.Innards[1], c.julian) << c.year << "-" << c.month << "-" << c.day;
        EXPECT_EQ(t.GM.Innards[0], 13 * TICKS_IN_HOUR + 14 * TICKS_IN_MINUTE + 1516u);
        EXPECT_EQ(t.weekday, c.weekday) << c.year;
        TIME back = ToLocal(t.GM);
        EXPECT_EQ(Show(back), Show(t));
        EXPECT_EQ(back.weekday, c.weekday);
    }
}

// The day arithmetic against the C library's own over the whole range.
TEST_F(TimeTest, CalendarAgreesWithTheCLibraryFromYear1To9999) {
    std::mt19937 random(7);
    for (int i = 0; i < 20000; i++) {
        int year = 1 + static_cast<int>(random() % 9999);
        int month = 1 + static_cast<int>(random() % 12);
        int day = 1 + static_cast<int>(random() % 28);
        if (i % 4 == 0)
            day = 28 + static_cast<int>(random() % 4);
        struct tm tm {};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        int64_t seconds = timegm(&tm);
        if (tm.tm_mday != day)
            continue;  // no such day, e.g. 31 April
        TIMEDATE gm = Gmt(year, month, day, 0, 0);
        EXPECT_EQ(static_cast<int64_t>(gm.Innards[1]),
                  2440588 + seconds / 86400 - (seconds % 86400 < 0))
            << year << "-" << month << "-" << day;
        TIME back = ToLocal(gm);
        EXPECT_EQ(back.year, year);
        EXPECT_EQ(back.month, month);
        EXPECT_EQ(back.day, day);
        EXPECT_EQ(back.weekday, tm.tm_wday + 1);
    }
}

TEST_F(TimeTest, ImpossibleFieldsFailAndLeaveGMAlone) {
    struct Case {
        const char *what;
        TIME t;
    } cases[] = {
        {"month 0", Fields(2024, 0, 10, 12, 0)},
        {"month 13", Fields(2024, 13, 10, 12, 0)},
        {"day 0", Fields(2024, 1, 0, 12, 0)},
        {"30 February", Fields(2024, 2, 30, 12, 0)},
        {"29 February 2023", Fields(2023, 2, 29, 12, 0)},
        {"29 February 1900", Fields(1900, 2, 29, 12, 0)},
        {"31 April", Fields(2024, 4, 31, 12, 0)},
        {"hour 24", Fields(2024, 1, 10, 24, 0)},
        {"hour -1", Fields(2024, 1, 10, -1, 0)},
        {"minute 60", Fields(2024, 1, 10, 12, 60)},
        {"second 60", Fields(2024, 1, 10, 12, 0, 60)},
        {"hundredth 100", Fields(2024, 1, 10, 12, 0, 0, 100)},
        {"year 0", Fields(0, 1, 10, 12, 0)},
        {"year 10000", Fields(10000, 1, 1, 0, 0)},
        {"all zero", Fields(0, 0, 0, 0, 0)},
    };
    for (Case c : cases) {
        c.t.GM.Innards[0] = 0x12345678;
        c.t.GM.Innards[1] = 0x9ABCDEF0;
        EXPECT_TRUE(TimeLocalToGM(&c.t)) << c.what;
        EXPECT_EQ(c.t.GM.Innards[0], 0x12345678u) << c.what;
        EXPECT_EQ(c.t.GM.Innards[1], 0x9ABCDEF0u) << c.what;
    }
    TIME badZone = Fields(2024, 1, 10, 12, 0);
    badZone.zone = 16;
    EXPECT_TRUE(TimeLocalToGM(&badZone)) << "zone of 16 hours";
    badZone.zone = 405;
    EXPECT_TRUE(TimeLocalToGM(&badZone)) << "four quarter hours";
    EXPECT_TRUE(TimeLocalToGM(nullptr));
    EXPECT_TRUE(TimeGMToLocal(nullptr));

    // The edges that are possible.
    EXPECT_FALSE(TimeLocalToGM(&(badZone = Fields(2024, 2, 29, 0, 0))));
    EXPECT_FALSE(TimeLocalToGM(&(badZone = Fields(2000, 2, 29, 23, 59, 59, 99))));
    EXPECT_FALSE(TimeLocalToGM(&(badZone = Fields(1, 1, 1, 0, 0))));
    EXPECT_FALSE(TimeLocalToGM(&(badZone = Fields(9999, 12, 31, 23, 59, 59, 99))));
}

TEST_F(TimeTest, ProcessZoneFromPosixTzStrings) {
    struct Case {
        const char *tz;
        int zone, dst;
    } cases[] = {
        {"EST5EDT,M3.2.0,M11.1.0", 5, 1},
        {"CET-1CEST,M3.5.0,M10.5.0/3", -1, 1},
        {"IST-5:30", -205, 0},
        {"UTC0", 0, 0},
        {"NST3:30NDT,M3.2.0,M11.1.0", 203, 1},
        {"NPT-5:45", -305, 0},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", -10, 1},  // daylight time over the new year
    };
    for (const Case &c : cases) {
        UseZone(c.tz);
        int zone = 99, dst = 99;
        OSCurrentTimeZone(&zone, &dst);
        EXPECT_EQ(zone, c.zone) << c.tz;
        EXPECT_EQ(dst, c.dst) << c.tz;
        TIMEDATE now;
        OSCurrentTIMEDATE(&now);
        TIME t = ToLocal(now);
        EXPECT_EQ(t.zone, c.zone) << c.tz << ": the current time carries the process's zone";
        EXPECT_EQ(t.dst, c.dst) << c.tz;
    }
}

TEST_F(TimeTest, ZoneBitsOfWordOne) {
    struct Case {
        int zone, dst;
        DWORD bits;
        int gmtHour, gmtMinute;  // of 12:00 local
    } cases[] = {
        {0, 0, 0x00000000u, 12, 0},    {5, 0, 0x05000000u, 17, 0},
        {5, 1, 0x85000000u, 17, 0},  // January: no daylight time
        {-1, 0, 0x41000000u, 11, 0},   {-205, 0, 0x65000000u, 6, 30},
        {203, 0, 0x23000000u, 15, 30}, {-305, 0, 0x75000000u, 6, 15},
        {-14, 0, 0x4E000000u, 22, 0},  // the day before in GMT
    };
    UseZone("UTC0");
    for (const Case &c : cases) {
        TIME t = Fields(2024, 1, 15, 12, 0);
        t.zone = c.zone;
        t.dst = c.dst;
        ASSERT_FALSE(TimeLocalToGM(&t)) << c.zone;
        EXPECT_EQ(t.GM.Innards[1] & ~kDayMask, c.bits) << "zone " << c.zone;
        TIMEDATE expected = Gmt(2024, 1, c.zone == -14 ? 14 : 15, c.gmtHour, c.gmtMinute);
        EXPECT_TRUE(SameMoment(t.GM, expected)) << "zone " << c.zone;
        TIME back = ToLocal(t.GM);
        EXPECT_EQ(Show(back), "2024-01-15 12:00:00.00") << "zone " << c.zone;
        EXPECT_EQ(back.zone, c.zone);
        EXPECT_EQ(back.dst, c.dst);
    }
}

// Daylight changes of the process's zone fall where its rules put them.
TEST_F(TimeTest, DaylightEdgesOfTheProcessZone) {
    struct Case {
        const char *tz;
        TIME local;
        TIMEDATE gmt;
        const char *readBack;  // GMToLocal of the result
    } cases[] = {
        // New York, spring: 02:00-03:00 is skipped on 10 March 2024.
        {"EST5EDT,M3.2.0,M11.1.0", Fields(2024, 3, 10, 1, 59, 59), Gmt(2024, 3, 10, 6, 59, 59),
         "2024-03-10 01:59:59.00"},
        {"EST5EDT,M3.2.0,M11.1.0", Fields(2024, 3, 10, 3, 0), Gmt(2024, 3, 10, 7, 0),
         "2024-03-10 03:00:00.00"},
        {"EST5EDT,M3.2.0,M11.1.0", Fields(2024, 3, 10, 2, 30), Gmt(2024, 3, 10, 7, 30),
         "2024-03-10 03:30:00.00"},
        // Autumn: 01:00-02:00 happens twice on 3 November 2024; the first is taken.
        {"EST5EDT,M3.2.0,M11.1.0", Fields(2024, 11, 3, 1, 30), Gmt(2024, 11, 3, 5, 30),
         "2024-11-03 01:30:00.00"},
        {"EST5EDT,M3.2.0,M11.1.0", Fields(2024, 11, 3, 2, 0), Gmt(2024, 11, 3, 7, 0),
         "2024-11-03 02:00:00.00"},
        {"EST5EDT,M3.2.0,M11.1.0", Fields(2024, 7, 1, 12, 0), Gmt(2024, 7, 1, 16, 0),
         "2024-07-01 12:00:00.00"},
        {"EST5EDT,M3.2.0,M11.1.0", Fields(2024, 1, 1, 0, 0), Gmt(2024, 1, 1, 5, 0),
         "2024-01-01 00:00:00.00"},
        // Berlin: 31 March 2024 skips 02:00-03:00, 27 October repeats 02:00-03:00.
        {"CET-1CEST,M3.5.0,M10.5.0/3", Fields(2024, 3, 31, 1, 59), Gmt(2024, 3, 31, 0, 59),
         "2024-03-31 01:59:00.00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Fields(2024, 3, 31, 2, 15), Gmt(2024, 3, 31, 1, 15),
         "2024-03-31 03:15:00.00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Fields(2024, 10, 27, 2, 30), Gmt(2024, 10, 27, 0, 30),
         "2024-10-27 02:30:00.00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", Fields(2024, 10, 27, 3, 0), Gmt(2024, 10, 27, 2, 0),
         "2024-10-27 03:00:00.00"},
        // New year east of Greenwich: the GMT date is the day before.
        {"CET-1CEST,M3.5.0,M10.5.0/3", Fields(2025, 1, 1, 0, 30), Gmt(2024, 12, 31, 23, 30),
         "2025-01-01 00:30:00.00"},
        {"IST-5:30", Fields(2024, 3, 1, 3, 0), Gmt(2024, 2, 29, 21, 30), "2024-03-01 03:00:00.00"},
        // Sydney: daylight time in January, standard time in July.
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", Fields(2024, 1, 15, 12, 0), Gmt(2024, 1, 15, 1, 0),
         "2024-01-15 12:00:00.00"},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", Fields(2024, 7, 15, 12, 0), Gmt(2024, 7, 15, 2, 0),
         "2024-07-15 12:00:00.00"},
    };
    for (Case &c : cases) {
        UseZone(c.tz);
        TIME t = c.local;
        OSCurrentTimeZone(&t.zone, &t.dst);
        ASSERT_FALSE(TimeLocalToGM(&t)) << c.tz << " " << Show(c.local);
        EXPECT_TRUE(SameMoment(t.GM, c.gmt))
            << c.tz << " " << Show(c.local) << ": got GMT " << ShowGmt(t.GM);
        TIME back = ToLocal(t.GM);
        EXPECT_EQ(Show(back), c.readBack) << c.tz;
    }
}

// Every local time of a year comes back from GM unchanged, except the
// skipped spring hour; every GMT moment comes back except the second pass
// of the repeated autumn hour, which reads as the first.
TEST_F(TimeTest, RoundTripsOverAWholeYearInEachZone) {
    constexpr int kStep = 10;  // minutes
    constexpr int kStepsInHour = 60 / kStep;
    struct Case {
        const char *tz;
        int skippedSteps;   // steps of local time that do not exist
        int repeatedSteps;  // steps of GMT whose local reading came before
    } cases[] = {
        {"EST5EDT,M3.2.0,M11.1.0", kStepsInHour, kStepsInHour},
        {"CET-1CEST,M3.5.0,M10.5.0/3", kStepsInHour, kStepsInHour},
        {"IST-5:30", 0, 0},
        {"UTC0", 0, 0},
    };
    const DWORD firstDay = 2460311;  // 1 January 2024
    for (const Case &c : cases) {
        UseZone(c.tz);
        int repeated = 0;
        TIMEDATE moment = ToGM(ProcessLocal(2024, 1, 1, 0, 0));
        for (int step = 0; step < 366 * 24 * kStepsInHour; step++) {
            TIME local = ToLocal(moment);
            TIME probe = local;
            ASSERT_FALSE(TimeLocalToGM(&probe));
            if (!SameMoment(probe.GM, moment)) {
                repeated++;
                EXPECT_EQ(Show(ToLocal(probe.GM)), Show(local)) << c.tz;
                EXPECT_EQ(TimeDateDifference(&moment, &probe.GM), 3600) << c.tz;
            }
            ASSERT_NOERROR(TimeDateAdjust(&moment, 0, kStep, 0, 0, 0, 0));
        }
        int skipped = 0;
        for (DWORD day = firstDay; day < firstDay + 366; day++) {
            TIME date = ToLocal({{ALLDAY, day}});
            for (int minutes = 0; minutes < 24 * 60; minutes += kStep) {
                TIME t = ProcessLocal(date.year, date.month, date.day, minutes / 60, minutes % 60);
                ASSERT_FALSE(TimeLocalToGM(&t));
                TIME back = ToLocal(t.GM);
                if (Show(back) == Show(t))
                    continue;
                skipped++;
                EXPECT_EQ(t.hour, 2) << c.tz << " " << Show(t);
                EXPECT_EQ(back.hour, 3) << c.tz << ": moved forward by the skipped hour";
                EXPECT_EQ(back.minute, t.minute);
            }
        }
        EXPECT_EQ(skipped, c.skippedSteps) << c.tz;
        EXPECT_EQ(repeated, c.repeatedSteps) << c.tz;
    }
}

TEST_F(TimeTest, RandomRoundTripsAcrossTheYearRange) {
    std::mt19937 random(42);
    for (const char *tz : {"EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3", "IST-5:30"}) {
        UseZone(tz);
        for (int i = 0; i < 3000; i++) {
            TIME t = ProcessLocal(
                1 + static_cast<int>(random() % 9999), 1 + static_cast<int>(random() % 12),
                1 + static_cast<int>(random() % 28), static_cast<int>(random() % 24),
                static_cast<int>(random() % 60), static_cast<int>(random() % 60));
            t.hundredth = static_cast<int>(random() % 100);
            if (t.hour == 2)
                t.hour = 12;  // clear of daylight changes
            if (t.year == 9999 && t.month == 12)
                t.month = 11;
            TIME copy = t;
            ASSERT_FALSE(TimeLocalToGM(&copy)) << tz << " " << Show(t);
            TIME back = ToLocal(copy.GM);
            EXPECT_EQ(Show(back), Show(t)) << tz;
            EXPECT_EQ(back.zone, t.zone);
            EXPECT_EQ(back.dst, t.dst);
        }
    }
}

// A zone other than the process's, with its daylight flag, borrows the
// process's daylight rules.
TEST_F(TimeTest, ForeignZoneWithDaylightFlagBorrowsTheProcessRules) {
    UseZone("EST5EDT,M3.2.0,M11.1.0");
    struct Case {
        int zone, dst;
        TIME local;
        TIMEDATE gmt;
    } cases[] = {
        {-1, 1, Fields(2024, 7, 1, 12, 0), Gmt(2024, 7, 1, 10, 0)},
        {-1, 1, Fields(2024, 1, 15, 12, 0), Gmt(2024, 1, 15, 11, 0)},
        {-1, 0, Fields(2024, 7, 1, 12, 0), Gmt(2024, 7, 1, 11, 0)},
        {5, 0, Fields(2024, 7, 1, 12, 0),
         Gmt(2024, 7, 1, 17, 0)},  // New York without daylight time
        // The change comes at 02:00 local standard time of that zone.
        {-1, 1, Fields(2024, 3, 10, 1, 30), Gmt(2024, 3, 10, 0, 30)},
        {-1, 1, Fields(2024, 3, 10, 3, 30), Gmt(2024, 3, 10, 1, 30)},
    };
    for (const Case &c : cases) {
        TIME t = c.local;
        t.zone = c.zone;
        t.dst = c.dst;
        ASSERT_FALSE(TimeLocalToGM(&t));
        EXPECT_TRUE(SameMoment(t.GM, c.gmt)) << "zone " << c.zone << " dst " << c.dst << " "
                                             << Show(c.local) << ": got " << ShowGmt(t.GM);
        EXPECT_EQ(Show(ToLocal(t.GM)), Show(c.local));
    }
    // Under a zone without daylight rules nothing is borrowed.
    UseZone("UTC0");
    TIME t = Fields(2024, 7, 1, 12, 0);
    t.zone = 5;
    t.dst = 1;
    EXPECT_TRUE(SameMoment(ToGM(t), Gmt(2024, 7, 1, 17, 0)));
}

TEST_F(TimeTest, MarkersAndParts) {
    UseZone("EST5EDT,M3.2.0,M11.1.0");
    TIME t{};
    t.GM = {{ALLDAY, ANYDAY}};
    EXPECT_TRUE(TimeGMToLocal(&t)) << "neither date nor time";
    t.GM = {{TICKS_IN_DAY, 2460370}};
    EXPECT_TRUE(TimeGMToLocal(&t)) << "word 0 beyond the day";
    t.GM = {{TICKS_IN_DAY, ANYDAY}};
    EXPECT_TRUE(TimeGMToLocal(&t)) << "time alone beyond the day";
    t.GM = {{0, 5}};
    EXPECT_TRUE(TimeGMToLocal(&t)) << "a day long before year 1";
    t.GM = {{ALLDAY, 0x00FFFFF0u}};
    EXPECT_TRUE(TimeGMToLocal(&t)) << "a date after year 9999";

    // The time-only 00:00 value.
    t = TIME{};
    t.year = 77;
    t.GM = {{0, ANYDAY}};
    ASSERT_FALSE(TimeGMToLocal(&t));
    EXPECT_EQ(Show(t), "0000-00-00 00:00:00.00");

    // 21:30:15.25 New York summer time is 01:30 GMT of the next day; both
    // parts are read on the local clock.
    TIME evening = ProcessLocal(2024, 7, 1, 21, 30, 15);
    evening.hundredth = 25;
    TIMEDATE whole = ToGM(evening);
    ASSERT_EQ(whole.Innards[1] & kDayMask, 2460494u) << "2 July in GMT";
    TIMEDATE date{}, time{};
    ASSERT_NOERROR(TimeDateSplit(&whole, TIMEDATE_PART_DATE, &date));
    ASSERT_NOERROR(TimeDateSplit(&whole, TIMEDATE_PART_TIME, &time));
    EXPECT_EQ(date.Innards[0], ALLDAY);
    EXPECT_EQ(date.Innards[1] & kDayMask, 2460493u) << "1 July, the local date";
    EXPECT_EQ(date.Innards[1] & ~kDayMask, whole.Innards[1] & ~kDayMask) << "zone bits kept";
    EXPECT_EQ(time.Innards[1], ANYDAY);
    EXPECT_EQ(time.Innards[0], 21 * TICKS_IN_HOUR + 30 * TICKS_IN_MINUTE + 1525u);
    TIME datePart = ToLocal(date), timePart = ToLocal(time);
    EXPECT_EQ(Show(datePart), "2024-07-01 00:00:00.00");
    EXPECT_EQ(datePart.weekday, 2);
    EXPECT_EQ(Show(timePart), "0000-00-00 21:30:15.25");

    // A part splits into itself, never into the part it lacks.
    TIMEDATE again{};
    ASSERT_NOERROR(TimeDateSplit(&date, TIMEDATE_PART_DATE, &again));
    EXPECT_TRUE(again.Innards[0] == date.Innards[0] && again.Innards[1] == date.Innards[1]);
    ASSERT_NOERROR(TimeDateSplit(&time, TIMEDATE_PART_TIME, &again));
    EXPECT_TRUE(again.Innards[0] == time.Innards[0] && again.Innards[1] == time.Innards[1]);
    EXPECT_EQ(TimeDateSplit(&date, TIMEDATE_PART_TIME, &again), ERR_BAD_TIME);
    EXPECT_EQ(TimeDateSplit(&time, TIMEDATE_PART_DATE, &again), ERR_BAD_TIME);
    TIMEDATE neither = {{ALLDAY, ANYDAY}};
    EXPECT_EQ(TimeDateSplit(&neither, TIMEDATE_PART_DATE, &again), ERR_BAD_TIME);
    TIMEDATE broken = {{TICKS_IN_DAY + 5, 2460493}};
    EXPECT_EQ(TimeDateSplit(&broken, TIMEDATE_PART_TIME, &again), ERR_BAD_TIME);
    EXPECT_EQ(TimeDateSplit(&whole, 2, &again), ERR_BAD_PARAM);
    EXPECT_EQ(TimeDateSplit(nullptr, TIMEDATE_PART_DATE, &again), ERR_BAD_PARAM);
    EXPECT_EQ(TimeDateSplit(&whole, TIMEDATE_PART_DATE, nullptr), ERR_BAD_PARAM);
}

TEST_F(TimeTest, AdjustMovesCalendarAndClock) {
    struct Case {
        const char *what;
        TIME from;
        int seconds, minutes, hours, days, months, years;
        const char *to;
    } cases[] = {
        {"month end clamps in a leap year", Fields(2024, 1, 31, 8, 0), 0, 0, 0, 0, 1, 0,
         "2024-02-29 08:00:00.00"},
        {"month end clamps", Fields(2023, 1, 31, 8, 0), 0, 0, 0, 0, 1, 0, "2023-02-28 08:00:00.00"},
        {"back a month from 31 March", Fields(2024, 3, 31, 8, 0), 0, 0, 0, 0, -1, 0,
         "2024-02-29 08:00:00.00"},
        {"29 February plus a year", Fields(2024, 2, 29, 8, 0), 0, 0, 0, 0, 0, 1,
         "2025-02-28 08:00:00.00"},
        {"29 February plus four years", Fields(2024, 2, 29, 8, 0), 0, 0, 0, 0, 0, 4,
         "2028-02-29 08:00:00.00"},
        {"months over the year end", Fields(2024, 11, 15, 8, 0), 0, 0, 0, 0, 3, 0,
         "2025-02-15 08:00:00.00"},
        {"months back over the year start", Fields(2024, 2, 15, 8, 0), 0, 0, 0, 0, -14, 0,
         "2022-12-15 08:00:00.00"},
        {"years, then months, then days", Fields(2023, 1, 31, 8, 0), 0, 0, 0, 1, 1, 1,
         "2024-03-01 08:00:00.00"},
        {"a day over the year end", Fields(2024, 12, 31, 23, 59, 59), 0, 0, 0, 1, 0, 0,
         "2025-01-01 23:59:59.00"},
        {"a second over the year end", Fields(2024, 12, 31, 23, 59, 59), 1, 0, 0, 0, 0, 0,
         "2025-01-01 00:00:00.00"},
        {"hours back over midnight", Fields(2024, 3, 1, 1, 0), 0, 0, -2, 0, 0, 0,
         "2024-02-29 23:00:00.00"},
        {"to the start of the day, hundredths kept", Fields(2024, 5, 6, 10, 15, 30, 45), -30, -15,
         -10, 0, 0, 0, "2024-05-06 00:00:00.45"},
        {"a million seconds", Fields(2024, 1, 1, 0, 0), 1000000, 0, 0, 0, 0, 0,
         "2024-01-12 13:46:40.00"},
        {"to the last moment", Fields(9999, 12, 31, 23, 59, 58, 99), 1, 0, 0, 0, 0, 0,
         "9999-12-31 23:59:59.99"},
        {"from the first day", Fields(1, 1, 1, 0, 0), 0, 0, 0, 366, 0, 0, "0002-01-02 00:00:00.00"},
    };
    for (const Case &c : cases) {
        TIMEDATE td = ToGM(c.from);
        ASSERT_NOERROR(
            TimeDateAdjust(&td, c.seconds, c.minutes, c.hours, c.days, c.months, c.years));
        EXPECT_EQ(Show(ToLocal(td)), c.to) << c.what;
    }
}

TEST_F(TimeTest, AdjustAcrossDaylightChanges) {
    UseZone("EST5EDT,M3.2.0,M11.1.0");
    TIMEDATE noon = ToGM(ProcessLocal(2024, 3, 9, 12, 0));
    TIMEDATE nextNoon = noon;
    ASSERT_NOERROR(TimeDateAdjust(&nextNoon, 0, 0, 0, 1, 0, 0));
    EXPECT_EQ(Show(ToLocal(nextNoon)), "2024-03-10 12:00:00.00") << "a day keeps the clock time";
    EXPECT_EQ(TimeDateDifference(&nextNoon, &noon), 23 * 3600);
    TIMEDATE plus24 = noon;
    ASSERT_NOERROR(TimeDateAdjust(&plus24, 0, 0, 24, 0, 0, 0));
    EXPECT_EQ(Show(ToLocal(plus24)), "2024-03-10 13:00:00.00") << "hours are elapsed time";
    EXPECT_EQ(plus24.Innards[1] & ~kDayMask, noon.Innards[1] & ~kDayMask) << "zone bits kept";

    // 02:30 the day before the skipped hour, plus a day, lands after it.
    TIMEDATE early = ToGM(ProcessLocal(2024, 3, 9, 2, 30));
    ASSERT_NOERROR(TimeDateAdjust(&early, 0, 0, 0, 1, 0, 0));
    EXPECT_EQ(Show(ToLocal(early)), "2024-03-10 03:30:00.00");

    // The second 01:30 of 3 November keeps its offset when a day is added
    // and taken away again.
    TIMEDATE second = ToGM(ProcessLocal(2024, 11, 3, 1, 30));
    ASSERT_NOERROR(TimeDateAdjust(&second, 0, 0, 1, 0, 0, 0));
    EXPECT_EQ(Show(ToLocal(second)), "2024-11-03 01:30:00.00");
    TIMEDATE moved = second;
    ASSERT_NOERROR(TimeDateAdjust(&moved, 0, 0, 0, 1, 0, 0));
    ASSERT_NOERROR(TimeDateAdjust(&moved, 0, 0, 0, -1, 0, 0));
    EXPECT_TRUE(SameMoment(moved, second));
}

TEST_F(TimeTest, AdjustRefusesMarkersAndTheEndsOfTheRange) {
    struct Case {
        const char *what;
        TIMEDATE td;
        int seconds, days, years;
    } cases[] = {
        {"no date", {{0, ANYDAY}}, 1, 0, 0},
        {"no time", {{ALLDAY, 2460370}}, 0, 1, 0},
        {"word 0 beyond the day", {{TICKS_IN_DAY, 2460370}}, 1, 0, 0},
        {"past year 9999", Gmt(9999, 12, 31, 23, 59, 59), 1, 0, 0},
        {"past year 9999 by years", Gmt(2024, 1, 1, 0, 0), 0, 0, 8000},
        {"before year 1", Gmt(1, 1, 1, 0, 0), 0, -1, 0},
        {"before year 1 by seconds", Gmt(1, 1, 1, 0, 0), -1, 0, 0},
    };
    for (const Case &c : cases) {
        TIMEDATE td = c.td;
        EXPECT_EQ(TimeDateAdjust(&td, c.seconds, 0, 0, c.days, 0, c.years), ERR_BAD_TIME) << c.what;
        EXPECT_TRUE(td.Innards[0] == c.td.Innards[0] && td.Innards[1] == c.td.Innards[1])
            << c.what << ": unchanged";
    }
    EXPECT_EQ(TimeDateAdjust(nullptr, 1, 0, 0, 0, 0, 0), ERR_BAD_PARAM);
}

TEST_F(TimeTest, CompareAndDifference) {
    TIMEDATE a = Gmt(2024, 2, 29, 12, 0, 0, 50);
    TIMEDATE b = Gmt(2024, 2, 29, 12, 0, 2, 49);  // 1.99 s later
    EXPECT_EQ(TimeDateCompare(&a, &b), -1);
    EXPECT_EQ(TimeDateCompare(&b, &a), 1);
    EXPECT_EQ(TimeDateCompare(&a, &a), 0);
    EXPECT_EQ(TimeDateDifference(&b, &a), 1) << "truncated toward zero";
    EXPECT_EQ(TimeDateDifference(&a, &b), -1);

    // The same moment made in two zones.
    TIME ny = Fields(2024, 1, 15, 7, 0);
    ny.zone = 5;
    TIME delhi = Fields(2024, 1, 15, 17, 30);
    delhi.zone = -205;
    TIMEDATE t1 = ToGM(ny), t2 = ToGM(delhi);
    EXPECT_NE(t1.Innards[1], t2.Innards[1]);
    EXPECT_EQ(TimeDateCompare(&t1, &t2), 0) << "zone bits do not count";
    EXPECT_EQ(TimeDateDifference(&t1, &t2), 0);

    // A later day with an earlier time of day is still later.
    TIMEDATE morning = Gmt(2024, 3, 1, 0, 0), evening = Gmt(2024, 2, 29, 23, 59, 59);
    EXPECT_EQ(TimeDateCompare(&morning, &evening), 1);
    EXPECT_EQ(TimeDateDifference(&morning, &evening), 1);

    TIMEDATE first = Gmt(1, 1, 1, 0, 0), last = Gmt(9999, 12, 31, 23, 59, 59);
    EXPECT_EQ(TimeDateDifference(&last, &first), (5373484L - 1721426L) * 86400 + 86399);

    // Parts: two times of day, a time on the other's date, a date at 00:00.
    TIMEDATE nine = {{9 * TICKS_IN_HOUR, ANYDAY}}, ten = {{10 * TICKS_IN_HOUR, ANYDAY}};
    EXPECT_EQ(TimeDateDifference(&ten, &nine), 3600);
    TIMEDATE someDay = Gmt(2024, 3, 1, 8, 0);
    EXPECT_EQ(TimeDateDifference(&ten, &someDay), 7200);
    TIMEDATE dateOnly = {{ALLDAY, someDay.Innards[1]}};
    EXPECT_EQ(TimeDateDifference(&someDay, &dateOnly), 8 * 3600);
    EXPECT_EQ(TimeDateCompare(&dateOnly, &someDay), 1) << "a marker sorts after every time";
    TIMEDATE noDate = {{0, ANYDAY}};
    EXPECT_EQ(TimeDateCompare(&noDate, &last), 1);
    EXPECT_EQ(TimeDateCompare(nullptr, &a), -1);
    EXPECT_EQ(TimeDateDifference(nullptr, &a), 0);
}

TEST_F(TimeTest, CurrentTimeIsNowInGmt) {
    UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
    time_t before = time(nullptr);
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    time_t after = time(nullptr);
    struct tm utc;
    gmtime_r(&before, &utc);
    TIMEDATE expected =
        Gmt(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    long difference = TimeDateDifference(&now, &expected);
    EXPECT_GE(difference, 0);
    // Within the seconds that the call took, however long a busy machine
    // made them, and the one that whole seconds may lose.
    EXPECT_LE(difference, static_cast<long>(after - before) + 1);
    EXPECT_EQ(now.Innards[1] & ~kDayMask, 0xC1000000u) << "east, one hour, daylight flag";
    EXPECT_LT(now.Innards[0], TICKS_IN_DAY);
}

TEST_F(TimeTest, InjectedFaults) {
    TIMEDATE td = Gmt(2024, 1, 1, 0, 0), copy = td;
    StandinFaultInject({"TimeDateAdjust", ERR_MEMORY, 0, 1, nullptr});
    EXPECT_EQ(TimeDateAdjust(&td, 1, 0, 0, 0, 0, 0), ERR_MEMORY);
    EXPECT_TRUE(SameMoment(td, copy));
    StandinFaultClear();
    EXPECT_NOERROR(TimeDateAdjust(&td, 1, 0, 0, 0, 0, 0));
}

}  // namespace
