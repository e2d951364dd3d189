// Text work of the formula language: LMBCS characters, the collation of
// texts, and numbers and times as text in the international settings.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "global.h"
#include "os_text.h"

namespace notes_internal {
namespace formula {

// The one collation of texts in formulas: -1, 0 or 1, by the store's
// collation of names (collation.h), so that a formula compares texts as
// item names, view keys and directory names compare. Every comparison of
// texts goes through here.
int CollateTexts(const std::string &a, const std::string &b);

// The byte length of the LMBCS character at text[pos] (pos < size), by the
// library's one rule (lmbcs.h).
size_t CharLength(const std::string &text, size_t pos);

// The number of LMBCS characters, and the byte offset where character
// `chars` begins (text.size() when there are fewer).
size_t CharCount(const std::string &text);
size_t ByteOffsetOfChar(const std::string &text, size_t chars);

// The first occurrence of needle in text that begins on a character
// boundary, or npos; linear in both lengths.
size_t FindText(const std::string &text, const std::string &needle);

// ASCII letters to upper or lower case, groups left alone.
std::string UpperCaseText(const std::string &text);
std::string LowerCaseText(const std::string &text);

// Whether text begins with word, ASCII letters compared without regard to
// case.
bool StartsWithFolded(const std::string &text, size_t pos, const std::string &word);

// The server's clock and international settings, read once per
// evaluation; every text in it is LMBCS.
struct Locale {
    WORD flags = 0;
    std::string am, pm, dateSeparator, timeSeparator, decimal, thousands;
    std::string today, yesterday, tomorrow;
    int zone = 0;  // as TIME.zone
    int dst = 0;
    TIMEDATE now{};      // the current moment on the server's clock
    DWORD todayDay = 0;  // its local Julian day
    int thisYear = 0;
};

// Fills the record from OSGetIntlSettings, OSCurrentTimeZone and
// OSCurrentTIMEDATE. NOERROR, or the status of a failing time call.
STATUS LoadLocale(Locale *locale);

// A full value (date and time) moved to the server's zone: the same moment,
// the server's zone bits. Parts (date-only, time-only) come back as they
// are.
TIMEDATE OnServerClock(const TIMEDATE &value, const Locale &locale);

// A number as text; format as @Text takes it ("" for the default).
// ERR_FORMULA_VALUE for an unknown format.
STATUS FormatNumber(double number, const std::string &format, const Locale &locale,
                    std::string *out);

// A time as text; format codes D0-D3, T0-T1, S0-S3. ERR_FORMULA_VALUE for
// an unknown code, ERR_BAD_TIME for a value that is no time.
STATUS FormatTime(const TIMEDATE &value, const std::string &format, const Locale &locale,
                  std::string *out);

// The leading number of a text; false when it has none.
bool ParseNumberText(const std::string &text, const Locale &locale, double *out);

// A date, a time or both read from a text; false when the text is not one.
bool ParseTimeText(const std::string &text, const Locale &locale, TIMEDATE *out);

}  // namespace formula
}  // namespace notes_internal
