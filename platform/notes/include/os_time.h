// Time: TIMEDATE values and their broken-down form.
//
// TIMEDATE word 0 (Innards[0]) is the time of day in GMT, in hundredths of a
// second since midnight (0 .. 8639999). Word 1 (Innards[1]) holds, in its low
// 24 bits, the Julian day number of the GMT date (day 2440588 is 1 January
// 1970); above it the zone and daylight-saving flag of the place where the
// value was made:
//   bits 24-27  whole hours of the zone's offset from GMT
//   bits 28-29  further quarter hours of the offset
//   bit  30     1 when the zone lies east of Greenwich
//   bit  31     1 when that place observes daylight-saving time
// A word of 0xFFFFFFFF is a marker: ALLDAY in word 0 means "no time of day",
// ANYDAY in word 1 means "no date". Such a part value names a calendar date
// or a clock time, not a moment: a date alone (word 0 ALLDAY) holds in word 1
// the Julian day of the local date of the place whose zone bits it keeps, and
// a time alone (word 1 ANYDAY, so no zone) holds in word 0 the time of day on
// the local clock. TimeDateSplit makes them; TimeGMToLocal reads them.
//
// Zones. A value whose zone and daylight flag are those of this process (as
// OSCurrentTimeZone gives them) is converted by the C library's rules for the
// process's TZ, so daylight-saving changes fall exactly where they do there;
// before 1970 that is what the C library gives (the C library applies the
// daylight rules of a POSIX TZ string from 1970 on only). Another zone is its
// fixed offset; when its daylight flag is 1 the process's daylight rules are
// borrowed as an approximation, shifted so that the clocks change at the
// same local standard time. When the process's zone observes no
// daylight-saving time, such a zone keeps its standard offset all year.
// Dates are proleptic Gregorian, years 1 to 9999, with this library's own day
// arithmetic (no dependence on the width of time_t).
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define ALLDAY 0xFFFFFFFFu
#define ANYDAY 0xFFFFFFFFu
#define TICKS_IN_DAY 8640000u
#define TICKS_IN_HOUR 360000u
#define TICKS_IN_MINUTE 6000u
#define TICKS_IN_SECOND 100u

// Broken-down date and time. year is the full year; month 1-12; day 1-31;
// weekday 1 (Sunday) to 7; hour 0-23; minute; second; hundredth 0-99.
// zone is the offset from GMT in hours, positive west of Greenwich (New York
// is 5, Berlin -1); an offset with quarter hours is written as
// hours + 100 * quarter-hours with the sign of the whole (India, 5:30 east,
// is -205). dst is 1 when the place observes daylight-saving time.
// GM is the same moment as a TIMEDATE.
struct TIME {
    int year;
    int month;
    int day;
    int weekday;
    int hour;
    int minute;
    int second;
    int hundredth;
    int dst;
    int zone;
    TIMEDATE GM;
};

// The current moment, carrying this process's zone and daylight flag.
void LNPUBLIC OSCurrentTIMEDATE(TIMEDATE far *retTimeDate);

// This process's time zone (as TIME.zone) and whether it observes
// daylight-saving time (1) or not (0), from the TZ environment the process
// runs under (read again on every call): the standard offset of the current
// year, rounded to quarter hours, and 1 when some day of this year is in
// daylight-saving time.
void LNPUBLIC OSCurrentTimeZone(int far *retZone, int far *retDST);

// Local fields (year .. hundredth, with zone and dst) to GM; the zone and dst
// (any non-zero dst counts as 1) are stored in GM's word 1, and weekday is
// set from the date (its value on entry is not read). Returns FALSE on
// success and TRUE on failure: a field out of range (month 0 or 13,
// 30 February, hour 24, minute 60, second 60, hundredth 100, a year before 1
// or after 9999, a zone whose hours exceed 15 or quarter hours exceed 3) is
// a failure.
// Where the clocks go back, a local time that occurs twice is taken at its
// first occurrence (still in daylight-saving time). Where they go forward, a
// local time in the skipped hour is read with the offset in force before the
// change: 02:30 on a night that skips 02:00-03:00 becomes 03:30 daylight
// time.
BOOL LNPUBLIC TimeLocalToGM(TIME far *Time);

// GM to the local fields, for the zone and daylight flag carried in GM's
// word 1; FALSE on success. A date alone gives its year, month, day and
// weekday with the time fields 0; a time alone gives hour .. hundredth with
// year, month, day, weekday, zone and dst 0. TRUE (failure) when both words
// are markers, word 0 is beyond the day, or the local date falls outside the
// years 1 to 9999.
BOOL LNPUBLIC TimeGMToLocal(TIME far *Time);

// Moves the value: first years, then months, then days, on the local
// calendar of the value's own zone, keeping the local time of day (a month
// move keeps the day of the month, clamped to the last day of the new month;
// a local time that a daylight change repeats keeps the offset the value
// had; one that it skips moves forward as in TimeLocalToGM); then seconds,
// minutes and hours as elapsed time. The hundredths and zone bits are kept.
// ERR_BAD_PARAM for a null value; ERR_BAD_TIME for a value with a marker
// word or a result outside the years 1 to 9999 (the value is then
// unchanged).
STATUS LNPUBLIC TimeDateAdjust(TIMEDATE far *Time, int seconds, int minutes, int hours, int days,
                               int months, int years);

// -1, 0 or 1 as t1 lies before, at or after t2: the days (low 24 bits of
// word 1) decide, then word 0; the zone bits do not count. A marker sorts
// after every real value of its word. A null pointer sorts first.
int LNPUBLIC TimeDateCompare(const TIMEDATE far *t1, const TIMEDATE far *t2);

// t1 - t2 in whole seconds (truncated toward zero). A missing time of day
// (ALLDAY) counts as 00:00; a value without a date is taken on the other's
// date (two such values give the difference of their times of day). 0 for
// a null pointer.
long LNPUBLIC TimeDateDifference(const TIMEDATE far *t1, const TIMEDATE far *t2);

// The date part (word 0 := ALLDAY, word 1 := the local date of the value in
// its own zone, zone bits kept) or the time part (word 0 := the local time of
// day with its hundredths, word 1 := ANYDAY) of a value, so that
// TimeGMToLocal of a part gives the same fields as of the whole. A value
// that is already a part gives itself for that part and ERR_BAD_TIME for the
// other; ERR_BAD_TIME too for an invalid value; ERR_BAD_PARAM for a null
// pointer or an unknown Part.
#define TIMEDATE_PART_DATE 0
#define TIMEDATE_PART_TIME 1
STATUS LNPUBLIC TimeDateSplit(const TIMEDATE far *Time, WORD Part, TIMEDATE far *retPart);

NOTES_EXTERN_C_END
