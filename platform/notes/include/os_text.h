// Text: character-set translation and international settings.
//
// LMBCS as this library writes it: bytes 0x00-0x7F stand for themselves (NUL
// included); a character of the upper half of code page 850 is one byte
// 0x80-0xFF; every other character is the group byte 0x14 followed by its
// UTF-16 code unit, high byte first (a character beyond the Basic
// Multilingual Plane takes two such groups, one per surrogate). U+0014
// itself is written as a group (0x14 0x00 0x14), so that every valid UTF-8
// text comes back unchanged from UTF-8 to LMBCS to UTF-8. Either way a text
// grows at most threefold, so an output of 3 x InLength bytes always holds
// the whole result.
#pragma once

#include "global.h"

NOTES_EXTERN_C_BEGIN

#define OS_TRANSLATE_NATIVE_TO_LMBCS 0  // native is UTF-8 on this system
#define OS_TRANSLATE_LMBCS_TO_NATIVE 1
#define OS_TRANSLATE_LMBCS_TO_UTF8 22
#define OS_TRANSLATE_UTF8_TO_LMBCS 24

// Translates InLength bytes of In (NUL bytes included) into Out and returns
// the number of bytes written, never more than OutLength: a character that
// does not fit whole is left out, with all that follows it. No terminator
// is added. Invalid input bytes are translated one by one: in UTF-8 input a
// byte that starts no valid sequence (a stray continuation byte, an overlong
// form, a surrogate, a value beyond U+10FFFF, a sequence cut short) becomes
// U+FFFD; in LMBCS input an unfinished group at the end is dropped and a
// group holding a surrogate that is not part of a pair becomes U+FFFD. An
// unknown mode, a null Out, or a null In with a non-zero InLength writes
// nothing and returns 0.
WORD LNPUBLIC OSTranslate(WORD TranslateMode, const char far *In, WORD InLength, char far *Out,
                          WORD OutLength);

// International settings.
#define ISTRMAX 5
#define YTSTRMAX 32

#define CURRENCY_SUFFIX 0x0001
#define CURRENCY_SPACE 0x0002
#define NUMBER_LEADING_ZERO 0x0004
#define CLOCK_24_HOUR 0x0008
#define DAYLIGHT_SAVINGS 0x0010
#define DATE_MDY 0x0020
#define DATE_DMY 0x0040
#define DATE_YMD 0x0080
#define DATE_4DIGIT_YEAR 0x0100
#define TIME_AMPM_PREFIX 0x0400
#define DATE_ABBREV 0x0800

// 140 bytes. Strings are NUL-terminated, at most ISTRMAX - 1 characters.
struct INTLFORMAT {
    WORD Flags;
    BYTE CurrencyDigits;
    BYTE Length;   // sizeof(INTLFORMAT)
    int TimeZone;  // as TIME.zone
    char AMString[ISTRMAX];
    char PMString[ISTRMAX];
    char CurrencyString[ISTRMAX];
    char ThousandString[ISTRMAX];
    char DecimalString[ISTRMAX];
    char DateString[ISTRMAX];
    char TimeString[ISTRMAX];
    char YesterdayString[YTSTRMAX];
    char TodayString[YTSTRMAX];
    char TomorrowString[YTSTRMAX];
};

// Fills the record from notes.ini: "IntlFlags" (a decimal integer),
// "IntlAMString", "IntlPMString", "IntlDateSeparator" and
// "IntlTimeSeparator" when set and not empty, else the flags DATE_MDY |
// DATE_4DIGIT_YEAR | NUMBER_LEADING_ZERO and "AM", "PM", "/", ":". A value
// longer than four bytes is cut to four or fewer, never inside a UTF-8
// character. The other strings are "$", ",", ".", "Yesterday", "Today",
// "Tomorrow"; CurrencyDigits is 2, Length 140 and TimeZone the process's
// zone (OSCurrentTimeZone). The first BufferSize bytes of the record are
// written, never more (nothing for a null record).
void LNPUBLIC OSGetIntlSettings(INTLFORMAT far *retIntlFormat, WORD BufferSize);

NOTES_EXTERN_C_END
