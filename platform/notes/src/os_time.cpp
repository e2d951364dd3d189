#include "os_time.h"

#include <time.h>

#include <cstdint>
#include <cstdlib>

#include "fault.h"
#include "os_error.h"

namespace {

constexpr int64_t kSecondsInDay = 86400;
constexpr int64_t kUnixEpochDay = 2440588;  // Julian day of 1 January 1970
constexpr DWORD kDayMask = 0x00FFFFFFu;
constexpr DWORD kDstBit = 0x80000000u;
constexpr DWORD kEastBit = 0x40000000u;

// Floor division, for instants before 1970.
int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}
int64_t FloorMod(int64_t a, int64_t b) {
    return a - FloorDiv(a, b) * b;
}

// Proleptic Gregorian calendar, whole range of years; no time_t involved.
int64_t JulianDay(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = FloorDiv(year, 400);
    const int64_t yoe = year - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + kUnixEpochDay;
}

void CivilDate(int64_t julianDay, int *year, int *month, int *day) {
    const int64_t z = julianDay - kUnixEpochDay + 719468;
    const int64_t era = FloorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(yoe + era * 400 + (m <= 2));
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

bool IsLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int64_t year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

const int64_t kFirstDay = JulianDay(1, 1, 1);
const int64_t kLastDay = JulianDay(9999, 12, 31);

int Weekday(int64_t julianDay) {
    return static_cast<int>(FloorMod(julianDay + 1, 7)) + 1;
}

// --- zones --------------------------------------------------------------

// TIME.zone: hours + 100 * quarter hours, positive west of Greenwich.
bool ZoneCodeValid(int code) {
    const int a = std::abs(code);
    return a % 100 <= 15 && a / 100 <= 3;
}

int64_t ZoneOffsetEast(int code) {
    const int a = std::abs(code);
    const int64_t seconds = (a % 100) * 3600 + (a / 100) * 900;
    return code > 0 ? -seconds : seconds;
}

DWORD ZoneBits(int code, bool dst) {
    const int a = std::abs(code);
    DWORD bits = (static_cast<DWORD>(a % 100) << 24) | (static_cast<DWORD>(a / 100) << 28);
    if (code < 0)
        bits |= kEastBit;
    if (dst)
        bits |= kDstBit;
    return bits;
}

int ZoneCodeOfWord(DWORD word1) {
    const int value =
        static_cast<int>((word1 >> 24) & 0xF) + 100 * static_cast<int>((word1 >> 28) & 0x3);
    return (word1 & kEastBit) ? -value : value;
}

// Offset east of GMT, in seconds, that the process's TZ gives at instant t.
int64_t ProcessOffsetAt(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm local;
    if (localtime_r(&tt, &local) == nullptr)
        return 0;
    return local.tm_gmtoff;
}

struct ProcessZone {
    int64_t standardOffset;  // east of GMT, seconds
    int code;
    bool dst;
};

// The process's zone as it stands this year: the offset of a sample that is
// not in daylight-saving time, and whether any sample of the year is.
ProcessZone CurrentProcessZone() {
    tzset();
    const time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr)
        local.tm_year = 70;
    const int64_t year = local.tm_year + 1900LL;
    const int64_t samples[3] = {static_cast<int64_t>(now),
                                (JulianDay(year, 1, 1) - kUnixEpochDay) * kSecondsInDay + 43200,
                                (JulianDay(year, 7, 1) - kUnixEpochDay) * kSecondsInDay + 43200};
    ProcessZone zone{0, 0, false};
    bool haveStandard = false;
    int64_t anyOffset = 0;
    for (int64_t sample : samples) {
        time_t tt = static_cast<time_t>(sample);
        struct tm s;
        if (localtime_r(&tt, &s) == nullptr)
            continue;
        anyOffset = s.tm_gmtoff;
        if (s.tm_isdst > 0) {
            zone.dst = true;
        } else if (!haveStandard) {
            zone.standardOffset = s.tm_gmtoff;
            haveStandard = true;
        }
    }
    // A zone that keeps daylight time all year: its standard time is an
    // hour behind.
    if (!haveStandard)
        zone.standardOffset = anyOffset - 3600;
    const int64_t east = zone.standardOffset;
    const int64_t quarters = ((east < 0 ? -east : east) + 450) / 900;
    const int hours = static_cast<int>(quarters / 4), extra = static_cast<int>(quarters % 4);
    const int value = hours + 100 * extra;
    zone.code = east > 0 ? -value : value;
    return zone;
}

// How a value's zone turns GMT into its local clock. With the process's rules
// the offset comes from the C library; for another zone that observes
// daylight-saving time the process's rules are borrowed, shifted so that its
// changes happen at the same local standard time.
struct ZoneRule {
    int64_t offset;  // standard offset east of GMT, seconds
    bool useProcessRules;
    int64_t processStandard;
};

ZoneRule RuleFor(int code, bool dst) {
    const ProcessZone process = CurrentProcessZone();
    ZoneRule rule{ZoneOffsetEast(code), dst, process.standardOffset};
    if (code == process.code && dst == process.dst) {
        rule.offset = process.standardOffset;
        rule.useProcessRules = true;
    }
    return rule;
}

int64_t GmtToWall(int64_t t, const ZoneRule &rule) {
    if (!rule.useProcessRules)
        return t + rule.offset;
    const int64_t u = t + rule.offset - rule.processStandard;
    return u + ProcessOffsetAt(u);
}

// The process's local clock time L to GMT. A repeated hour (the clocks went
// back) gives the preferred offset when it is one of the two, else the
// earlier instant; a skipped hour (the clocks went forward) is read with the
// offset in force before the change, so it lands as far past the change as
// it lay past its start.
int64_t ProcessWallToGmt(int64_t L, const int64_t *preferredOffset) {
    const int64_t before = ProcessOffsetAt(L - kSecondsInDay);
    const int64_t after = ProcessOffsetAt(L + kSecondsInDay);
    const int64_t candidates[4] = {before, after, ProcessOffsetAt(L - before),
                                   ProcessOffsetAt(L - after)};
    bool found = false;
    int64_t best = 0;
    for (int64_t offset : candidates) {
        if (ProcessOffsetAt(L - offset) != offset)
            continue;
        if (preferredOffset && offset == *preferredOffset)
            return L - offset;
        if (!found || offset > best)
            best = offset;
        found = true;
    }
    return L - (found ? best : before);
}

int64_t WallToGmt(int64_t L, const ZoneRule &rule, const int64_t *preferredOffset = nullptr) {
    if (!rule.useProcessRules)
        return L - rule.offset;
    const int64_t shift = rule.offset - rule.processStandard;
    int64_t preferred = 0;
    if (preferredOffset)
        preferred = *preferredOffset - shift;
    return ProcessWallToGmt(L, preferredOffset ? &preferred : nullptr) - shift;
}

// --- TIMEDATE words -------------------------------------------------------

bool HasDate(const TIMEDATE &td) {
    return td.Innards[1] != ANYDAY;
}
bool HasTime(const TIMEDATE &td) {
    return td.Innards[0] != ALLDAY;
}

// Seconds since 1970 (GMT) of a value with date and time.
int64_t GmtSeconds(const TIMEDATE &td) {
    return (static_cast<int64_t>(td.Innards[1] & kDayMask) - kUnixEpochDay) * kSecondsInDay +
           td.Innards[0] / TICKS_IN_SECOND;
}

TIMEDATE MakeTimeDate(int64_t gmtSeconds, int hundredths, DWORD zoneBits) {
    TIMEDATE td;
    td.Innards[0] =
        static_cast<DWORD>(FloorMod(gmtSeconds, kSecondsInDay) * TICKS_IN_SECOND + hundredths);
    td.Innards[1] =
        static_cast<DWORD>(kUnixEpochDay + FloorDiv(gmtSeconds, kSecondsInDay)) | zoneBits;
    return td;
}

// A full value whose words are in range.
bool IsFullValue(const TIMEDATE &td) {
    if (!HasDate(td) || !HasTime(td) || td.Innards[0] >= TICKS_IN_DAY)
        return false;
    const int64_t day = td.Innards[1] & kDayMask;
    return day >= kFirstDay - 1 && day <= kLastDay + 1;
}

ZoneRule RuleOfValue(const TIMEDATE &td) {
    return RuleFor(ZoneCodeOfWord(td.Innards[1]), (td.Innards[1] & kDstBit) != 0);
}

bool WallYearInRange(int64_t wall) {
    const int64_t day = kUnixEpochDay + FloorDiv(wall, kSecondsInDay);
    return day >= kFirstDay && day <= kLastDay;
}

void FillTimeOfDay(TIME *t, DWORD ticks) {
    t->hour = static_cast<int>(ticks / TICKS_IN_HOUR);
    t->minute = static_cast<int>(ticks % TICKS_IN_HOUR / TICKS_IN_MINUTE);
    t->second = static_cast<int>(ticks % TICKS_IN_MINUTE / TICKS_IN_SECOND);
    t->hundredth = static_cast<int>(ticks % TICKS_IN_SECOND);
}

void FillDate(TIME *t, int64_t julianDay) {
    CivilDate(julianDay, &t->year, &t->month, &t->day);
    t->weekday = Weekday(julianDay);
}

}  // namespace

void LNPUBLIC OSCurrentTIMEDATE(TIMEDATE far *retTimeDate) {
    if (retTimeDate == nullptr)
        return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const ProcessZone zone = CurrentProcessZone();
    *retTimeDate = MakeTimeDate(now.tv_sec, static_cast<int>(now.tv_nsec / 10000000),
                                ZoneBits(zone.code, zone.dst));
}

void LNPUBLIC OSCurrentTimeZone(int far *retZone, int far *retDST) {
    const ProcessZone zone = CurrentProcessZone();
    if (retZone)
        *retZone = zone.code;
    if (retDST)
        *retDST = zone.dst ? 1 : 0;
}

BOOL LNPUBLIC TimeLocalToGM(TIME far *Time) {
    if (Time == nullptr)
        return TRUE;
    const TIME &t = *Time;
    if (t.year < 1 || t.year > 9999 || t.month < 1 || t.month > 12 || t.day < 1 ||
        t.day > DaysInMonth(t.year, t.month) || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
        t.minute > 59 || t.second < 0 || t.second > 59 || t.hundredth < 0 || t.hundredth > 99 ||
        !ZoneCodeValid(t.zone))
        return TRUE;
    const bool dst = t.dst != 0;
    const int64_t day = JulianDay(t.year, t.month, t.day);
    const int64_t wall =
        (day - kUnixEpochDay) * kSecondsInDay + t.hour * 3600 + t.minute * 60 + t.second;
    const int64_t gmt = WallToGmt(wall, RuleFor(t.zone, dst));
    Time->GM = MakeTimeDate(gmt, t.hundredth, ZoneBits(t.zone, dst));
    Time->weekday = Weekday(day);
    return FALSE;
}

BOOL LNPUBLIC TimeGMToLocal(TIME far *Time) {
    if (Time == nullptr)
        return TRUE;
    const TIMEDATE gm = Time->GM;
    if (!HasDate(gm) && !HasTime(gm))
        return TRUE;
    if (!HasTime(gm)) {
        // A date alone: the calendar date it names, in its own zone.
        const int64_t day = gm.Innards[1] & kDayMask;
        if (day < kFirstDay || day > kLastDay)
            return TRUE;
        FillDate(Time, day);
        FillTimeOfDay(Time, 0);
        Time->zone = ZoneCodeOfWord(gm.Innards[1]);
        Time->dst = (gm.Innards[1] & kDstBit) ? 1 : 0;
        return FALSE;
    }
    if (gm.Innards[0] >= TICKS_IN_DAY)
        return TRUE;
    if (!HasDate(gm)) {
        // A time of day alone, on the local clock.
        Time->year = Time->month = Time->day = Time->weekday = 0;
        FillTimeOfDay(Time, gm.Innards[0]);
        Time->zone = 0;
        Time->dst = 0;
        return FALSE;
    }
    if (!IsFullValue(gm))
        return TRUE;
    const int64_t wall = GmtToWall(GmtSeconds(gm), RuleOfValue(gm));
    if (!WallYearInRange(wall))
        return TRUE;
    FillDate(Time, kUnixEpochDay + FloorDiv(wall, kSecondsInDay));
    FillTimeOfDay(Time, static_cast<DWORD>(FloorMod(wall, kSecondsInDay) * TICKS_IN_SECOND +
                                           gm.Innards[0] % TICKS_IN_SECOND));
    Time->zone = ZoneCodeOfWord(gm.Innards[1]);
    Time->dst = (gm.Innards[1] & kDstBit) ? 1 : 0;
    return FALSE;
}

STATUS LNPUBLIC TimeDateAdjust(TIMEDATE far *Time, int seconds, int minutes, int hours, int days,
                               int months, int years) {
    if (Time == nullptr)
        return ERR_BAD_PARAM;
    if (STATUS fault = notes_internal::FaultCheck("TimeDateAdjust"))
        return fault;
    if (!IsFullValue(*Time))
        return ERR_BAD_TIME;
    const ZoneRule rule = RuleOfValue(*Time);
    const int hundredths = static_cast<int>(Time->Innards[0] % TICKS_IN_SECOND);
    const DWORD zoneBits = Time->Innards[1] & ~kDayMask;
    int64_t gmt = GmtSeconds(*Time);
    if (years != 0 || months != 0 || days != 0) {
        // Calendar moves act on the local date and keep the local time of day.
        const int64_t wall = GmtToWall(gmt, rule);
        int year, month, day;
        CivilDate(kUnixEpochDay + FloorDiv(wall, kSecondsInDay), &year, &month, &day);
        const int64_t monthIndex = static_cast<int64_t>(year) * 12 + (month - 1) +
                                   static_cast<int64_t>(years) * 12 + months;
        const int64_t newYear = FloorDiv(monthIndex, 12);
        const int newMonth = static_cast<int>(FloorMod(monthIndex, 12)) + 1;
        if (newYear < 1 || newYear > 9999)
            return ERR_BAD_TIME;
        const int newDay =
            day < DaysInMonth(newYear, newMonth) ? day : DaysInMonth(newYear, newMonth);
        const int64_t newJulian = JulianDay(newYear, newMonth, newDay) + days;
        if (newJulian < kFirstDay || newJulian > kLastDay)
            return ERR_BAD_TIME;
        const int64_t newWall =
            (newJulian - kUnixEpochDay) * kSecondsInDay + FloorMod(wall, kSecondsInDay);
        const int64_t keptOffset = wall - gmt;
        gmt = WallToGmt(newWall, rule, &keptOffset);
    }
    // Clock moves are elapsed time.
    gmt += static_cast<int64_t>(seconds) + static_cast<int64_t>(minutes) * 60 +
           static_cast<int64_t>(hours) * 3600;
    if (!WallYearInRange(GmtToWall(gmt, rule)))
        return ERR_BAD_TIME;
    *Time = MakeTimeDate(gmt, hundredths, zoneBits);
    return NOERROR;
}

int LNPUBLIC TimeDateCompare(const TIMEDATE far *t1, const TIMEDATE far *t2) {
    if (t1 == nullptr || t2 == nullptr)
        return (t1 != nullptr) - (t2 != nullptr);
    const DWORD d1 = t1->Innards[1] & kDayMask, d2 = t2->Innards[1] & kDayMask;
    if (d1 != d2)
        return d1 < d2 ? -1 : 1;
    if (t1->Innards[0] != t2->Innards[0])
        return t1->Innards[0] < t2->Innards[0] ? -1 : 1;
    return 0;
}

long LNPUBLIC TimeDateDifference(const TIMEDATE far *t1, const TIMEDATE far *t2) {
    if (t1 == nullptr || t2 == nullptr)
        return 0;
    int64_t day1 = t1->Innards[1] & kDayMask, day2 = t2->Innards[1] & kDayMask;
    if (!HasDate(*t1) && !HasDate(*t2)) {
        day1 = day2 = 0;
    } else if (!HasDate(*t1)) {
        day1 = day2;
    } else if (!HasDate(*t2)) {
        day2 = day1;
    }
    const int64_t ticks1 = HasTime(*t1) ? t1->Innards[0] : 0;
    const int64_t ticks2 = HasTime(*t2) ? t2->Innards[0] : 0;
    const int64_t diff = (day1 - day2) * static_cast<int64_t>(TICKS_IN_DAY) + (ticks1 - ticks2);
    return static_cast<long>(diff / static_cast<int64_t>(TICKS_IN_SECOND));
}

STATUS LNPUBLIC TimeDateSplit(const TIMEDATE far *Time, WORD Part, TIMEDATE far *retPart) {
    if (Time == nullptr || retPart == nullptr)
        return ERR_BAD_PARAM;
    if (Part != TIMEDATE_PART_DATE && Part != TIMEDATE_PART_TIME)
        return ERR_BAD_PARAM;
    if (STATUS fault = notes_internal::FaultCheck("TimeDateSplit"))
        return fault;
    const TIMEDATE in = *Time;
    const bool wantDate = Part == TIMEDATE_PART_DATE;
    if (!HasDate(in) || !HasTime(in)) {
        // Already a part: only the part that is there can be had.
        if (wantDate ? !HasDate(in) : !HasTime(in))
            return ERR_BAD_TIME;
        if (!wantDate && in.Innards[0] >= TICKS_IN_DAY)
            return ERR_BAD_TIME;
        *retPart = in;
        return NOERROR;
    }
    if (!IsFullValue(in))
        return ERR_BAD_TIME;
    const int64_t wall = GmtToWall(GmtSeconds(in), RuleOfValue(in));
    if (!WallYearInRange(wall))
        return ERR_BAD_TIME;
    TIMEDATE part;
    if (wantDate) {
        part.Innards[0] = ALLDAY;
        part.Innards[1] = static_cast<DWORD>(kUnixEpochDay + FloorDiv(wall, kSecondsInDay)) |
                          (in.Innards[1] & ~kDayMask);
    } else {
        part.Innards[0] = static_cast<DWORD>(FloorMod(wall, kSecondsInDay) * TICKS_IN_SECOND +
                                             in.Innards[0] % TICKS_IN_SECOND);
        part.Innards[1] = ANYDAY;
    }
    *retPart = part;
    return NOERROR;
}
