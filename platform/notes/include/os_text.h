// Text: character-set translation and international settings.
//
// LMBCS as the platform writes it, converted by ICU's LMBCS converter
// ("LMBCS-1"): bytes 0x20-0x7F, NUL, tab, line feed, carriage return and
// 0x19 stand for themselves; a character of the upper half of code page 850
// is one byte 0x80-0xFF; another character of a script that has a group is
// its group byte and one byte of that group's code page (0x01 code page
// 850, 0x02 Greek, 0x03 Hebrew, 0x04 Arabic, 0x05 Cyrillic, 0x06 Central
// European, 0x08 Turkish, 0x0B Thai) or two bytes (0x10 Japanese, 0x11
// Korean, 0x12 traditional Chinese, 0x13 simplified Chinese; a character
// found in several of these keeps to the group of the one before it); the
// other control characters U+0001-U+001F and U+0080-U+009F are 0x0F and one
// byte; every other character is 0x14 and its UTF-16 unit, high byte first
// (a low byte of zero is written as 0xF6 before the high byte, so that no
// character holds a NUL byte), one beyond the Basic Multilingual Plane two
// such groups. Every valid UTF-8 text comes back unchanged from UTF-8 to
// LMBCS to UTF-8, and either way a text grows at most threefold, so an
// output of 3 x InLength bytes always holds the whole result.
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
// is added. A NUL byte is always a NUL byte of its own, either way. Invalid
// input becomes U+FFFD: in UTF-8 input each byte that starts no valid
// sequence (a stray continuation byte, an overlong form, a surrogate, a
// value beyond U+10FFFF, a sequence cut short) becomes one U+FFFD; in
// LMBCS input a byte of 0x01-0x1F that is no group, a character that its
// group does not hold, a character cut short by the end or by a NUL byte,
// and a group holding a surrogate that is not part of a pair each become
// one U+FFFD. An unknown mode, a null Out, or a null In with a non-zero
// InLength writes nothing and returns 0; so does a text of other than ASCII
// letters, digits, signs and line breaks when ICU has no LMBCS converter
// (its data missing: a broken installation).
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
