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
// ANYDAY in word 1 means "no date".
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
// runs under.
void LNPUBLIC OSCurrentTimeZone(int far *retZone, int far *retDST);

// Local fields (year .. hundredth, with zone and dst) to GM; the zone and dst
// are stored in GM's word 1. Daylight-saving time is applied by the rules of
// the process's time zone when dst is 1. Returns FALSE on success and TRUE on
// failure: a field out of range (month 0 or 13, 30 February, hour 24, minute
// 60, second 60, a year before 1 or after 9999) is a failure.
BOOL LNPUBLIC TimeLocalToGM(TIME far *Time);

// GM to the local fields, for the zone and daylight flag carried in GM's
// word 1. FALSE on success; TRUE when GM holds a marker (no date or no time)
// or an invalid value.
BOOL LNPUBLIC TimeGMToLocal(TIME far *Time);

// Moves the value by the given amounts, applied from the largest unit to the
// smallest; a month move keeps the day of the month, clamped to the last day
// of the new month. The zone bits are kept. ERR_BAD_TIME for a marker value
// or a result outside the years 1 to 9999.
STATUS LNPUBLIC TimeDateAdjust(TIMEDATE far *Time, int seconds, int minutes, int hours,
                               int days, int months, int years);

// -1, 0 or 1 as t1 lies before, at or after t2 (the zone bits do not count).
int LNPUBLIC TimeDateCompare(const TIMEDATE far *t1, const TIMEDATE far *t2);

// t1 - t2 in whole seconds (truncated toward zero).
long LNPUBLIC TimeDateDifference(const TIMEDATE far *t1, const TIMEDATE far *t2);

// The date part (word 0 := ALLDAY) or the time part (word 1 := ANYDAY) of a
// value.
#define TIMEDATE_PART_DATE 0
#define TIMEDATE_PART_TIME 1
STATUS LNPUBLIC TimeDateSplit(const TIMEDATE far *Time, WORD Part, TIMEDATE far *retPart);

NOTES_EXTERN_C_END
