#include "formula_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "collation.h"
#include "lmbcs.h"
#include "os_error.h"
#include "os_time.h"

namespace notes_internal {
namespace formula {

namespace {

constexpr DWORD kDayMask = 0x00FFFFFFu;

char FoldByte(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A notes.ini text (UTF-8) as LMBCS.
std::string ToLmbcs(const char *utf8) {
    const size_t length = std::strlen(utf8);
    std::string out(3 * length + 1, '\0');
    const WORD written = OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8, static_cast<WORD>(length),
                                     &out[0], static_cast<WORD>(out.size()));
    out.resize(written);
    return out;
}

// The zone bits of word 1 (os_time.h) for a TIME.zone and daylight flag.
DWORD ZoneBits(int zone, int dst) {
    const int a = zone < 0 ? -zone : zone;
    DWORD bits =
        (static_cast<DWORD>(a % 100 & 0xF) << 24) | (static_cast<DWORD>(a / 100 & 0x3) << 28);
    if (zone < 0)
        bits |= 0x40000000u;
    if (dst)
        bits |= 0x80000000u;
    return bits;
}

bool HasDate(const TIMEDATE &t) {
    return t.Innards[1] != ANYDAY;
}

bool HasTime(const TIMEDATE &t) {
    return t.Innards[0] != ALLDAY;
}

std::string TwoDigits(int n) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d", n);
    return buffer;
}

std::string YearText(int year, const Locale &locale) {
    char buffer[16];
    if (locale.flags & DATE_4DIGIT_YEAR) {
        std::snprintf(buffer, sizeof buffer, "%04d", year);
    } else {
        std::snprintf(buffer, sizeof buffer, "%02d", year % 100);
    }
    return buffer;
}

// The date in the settings' order: D0 to D3.
std::string DateText(const TIME &t, int code, const Locale &locale) {
    const std::string &sep = locale.dateSeparator;
    const std::string y = YearText(t.year, locale), m = TwoDigits(t.month), d = TwoDigits(t.day);
    const bool ymd = (locale.flags & DATE_YMD) != 0;
    const bool dmy = !ymd && (locale.flags & DATE_DMY) != 0;
    if (code == 1 && t.year != locale.thisYear)
        code = 0;
    switch (code) {
        case 1:
        case 2:
            return dmy ? d + sep + m : m + sep + d;
        case 3:
            return ymd ? y + sep + m : m + sep + y;
        default:
            if (ymd)
                return y + sep + m + sep + d;
            if (dmy)
                return d + sep + m + sep + y;
            return m + sep + d + sep + y;
    }
}

// The time of day: T0 with seconds, T1 without.
std::string ClockText(const TIME &t, int code, const Locale &locale) {
    const std::string &sep = locale.timeSeparator;
    const bool twentyFour = (locale.flags & CLOCK_24_HOUR) != 0;
    int hour = t.hour;
    if (!twentyFour) {
        hour %= 12;
        if (hour == 0)
            hour = 12;
    }
    std::string text = TwoDigits(hour) + sep + TwoDigits(t.minute);
    if (code == 0)
        text += sep + TwoDigits(t.second);
    if (twentyFour)
        return text;
    const std::string &marker = t.hour < 12 ? locale.am : locale.pm;
    if (locale.flags & TIME_AMPM_PREFIX)
        return marker + " " + text;
    return text + " " + marker;
}

// The codes of a time format; false for anything else in it.
bool ParseTimeFormat(const std::string &format, int *date, int *clock, int *show) {
    *date = 0;
    *clock = 0;
    *show = -1;
    for (size_t i = 0; i < format.size();) {
        const char c = FoldByte(format[i]);
        if (c == ' ' || c == ',') {
            i++;
            continue;
        }
        if (i + 1 >= format.size() || !IsDigit(format[i + 1]))
            return false;
        const int n = format[i + 1] - '0';
        if (c == 'd' && n <= 3) {
            *date = n;
        } else if (c == 't' && n <= 1) {
            *clock = n;
        } else if (c == 's' && n <= 3) {
            *show = n;
        } else {
            return false;
        }
        i += 2;
    }
    return true;
}

// Inserts the thousands separator into the integer digits of text.
std::string GroupThousands(const std::string &text, const std::string &separator) {
    size_t start = (!text.empty() && text[0] == '-') ? 1 : 0;
    size_t end = start;
    while (end < text.size() && IsDigit(text[end]))
        end++;
    std::string out = text.substr(0, start);
    for (size_t i = start; i < end; i++) {
        out += text[i];
        const size_t left = end - i - 1;
        if (left > 0 && left % 3 == 0)
            out += separator;
    }
    out += text.substr(end);
    return out;
}

// Reads up to maxDigits digits at text[*pos]; false when there is none.
bool ReadNumber(const std::string &text, size_t *pos, int maxDigits, int *value, int *digits) {
    int n = 0, count = 0;
    while (*pos < text.size() && IsDigit(text[*pos]) && count < maxDigits) {
        n = n * 10 + (text[*pos] - '0');
        (*pos)++;
        count++;
    }
    if (count == 0 || (*pos < text.size() && IsDigit(text[*pos])))
        return false;
    *value = n;
    *digits = count;
    return true;
}

void SkipBlanks(const std::string &text, size_t *pos) {
    while (*pos < text.size() && (text[*pos] == ' ' || text[*pos] == '\t'))
        (*pos)++;
}

bool TakeSeparator(const std::string &text, size_t *pos, const char *fixed,
                   const std::string &own) {
    if (!own.empty() && text.compare(*pos, own.size(), own) == 0) {
        *pos += own.size();
        return true;
    }
    if (*pos < text.size() && std::strchr(fixed, text[*pos]) != nullptr && text[*pos] != '\0') {
        (*pos)++;
        return true;
    }
    return false;
}

// An AM or PM marker at *pos: 1 for AM, 2 for PM, 0 for none.
int TakeMarker(const std::string &text, size_t *pos, const Locale &locale) {
    const std::string *words[] = {&locale.am, &locale.pm};
    static const std::string fixed[] = {"am", "pm"};
    for (int i = 0; i < 2; i++) {
        for (const std::string *word : {words[i], &fixed[i]}) {
            if (!word->empty() && StartsWithFolded(text, *pos, *word)) {
                *pos += word->size();
                return i + 1;
            }
        }
    }
    return 0;
}

int FullYear(int year, int digits) {
    if (digits <= 2)
        return year < 50 ? 2000 + year : 1900 + year;
    return year;
}

}  // namespace

int CollateTexts(const std::string &a, const std::string &b) {
    const int c = CollationCompare(a.data(), a.size(), b.data(), b.size());
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

size_t CharLength(const std::string &text, size_t pos) {
    return LmbcsCharLength(reinterpret_cast<const unsigned char *>(text.data()) + pos,
                           text.size() - pos);
}

size_t CharCount(const std::string &text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); i += CharLength(text, i))
        count++;
    return count;
}

size_t ByteOffsetOfChar(const std::string &text, size_t chars) {
    size_t i = 0;
    for (size_t n = 0; n < chars && i < text.size(); n++)
        i += CharLength(text, i);
    return i;
}

size_t FindText(const std::string &text, const std::string &needle) {
    if (needle.empty())
        return 0;
    if (needle.size() > text.size())
        return std::string::npos;
    // Knuth-Morris-Pratt, so that no pair of texts costs more than their
    // lengths; a match must also begin where a character begins.
    std::vector<size_t> fail(needle.size(), 0);
    for (size_t i = 1, k = 0; i < needle.size(); i++) {
        while (k > 0 && needle[i] != needle[k])
            k = fail[k - 1];
        if (needle[i] == needle[k])
            k++;
        fail[i] = k;
    }
    std::vector<bool> boundary(text.size() + 1, false);
    for (size_t i = 0; i < text.size(); i += CharLength(text, i))
        boundary[i] = true;
    for (size_t i = 0, k = 0; i < text.size(); i++) {
        while (k > 0 && text[i] != needle[k])
            k = fail[k - 1];
        if (text[i] == needle[k])
            k++;
        if (k == needle.size()) {
            const size_t start = i + 1 - k;
            if (boundary[start])
                return start;
            k = fail[k - 1];
        }
    }
    return std::string::npos;
}

std::string UpperCaseText(const std::string &text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); i += CharLength(out, i)) {
        if (out[i] >= 'a' && out[i] <= 'z')
            out[i] = static_cast<char>(out[i] - 'a' + 'A');
    }
    return out;
}

std::string LowerCaseText(const std::string &text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); i += CharLength(out, i))
        out[i] = FoldByte(out[i]);
    return out;
}

bool StartsWithFolded(const std::string &text, size_t pos, const std::string &word) {
    if (pos > text.size() || text.size() - pos < word.size())
        return false;
    for (size_t i = 0; i < word.size(); i++) {
        if (FoldByte(text[pos + i]) != FoldByte(word[i]))
            return false;
    }
    return true;
}

STATUS LoadLocale(Locale *locale) {
    INTLFORMAT intl;
    OSGetIntlSettings(&intl, sizeof intl);
    locale->flags = intl.Flags;
    locale->am = ToLmbcs(intl.AMString);
    locale->pm = ToLmbcs(intl.PMString);
    locale->dateSeparator = ToLmbcs(intl.DateString);
    locale->timeSeparator = ToLmbcs(intl.TimeString);
    locale->decimal = ToLmbcs(intl.DecimalString);
    locale->thousands = ToLmbcs(intl.ThousandString);
    locale->today = ToLmbcs(intl.TodayString);
    locale->yesterday = ToLmbcs(intl.YesterdayString);
    locale->tomorrow = ToLmbcs(intl.TomorrowString);
    OSCurrentTimeZone(&locale->zone, &locale->dst);
    OSCurrentTIMEDATE(&locale->now);
    locale->now = OnServerClock(locale->now, *locale);
    TIMEDATE date;
    if (STATUS status = TimeDateSplit(&locale->now, TIMEDATE_PART_DATE, &date))
        return status;
    locale->todayDay = date.Innards[1] & kDayMask;
    TIME t{};
    t.GM = locale->now;
    if (TimeGMToLocal(&t))
        return ERR_BAD_TIME;
    locale->thisYear = t.year;
    return NOERROR;
}

TIMEDATE OnServerClock(const TIMEDATE &value, const Locale &locale) {
    if (!HasDate(value) || !HasTime(value))
        return value;
    TIMEDATE moved = value;
    moved.Innards[1] = (value.Innards[1] & kDayMask) | ZoneBits(locale.zone, locale.dst);
    return moved;
}

STATUS FormatNumber(double number, const std::string &format, const Locale &locale,
                    std::string *out) {
    bool fixed = false, grouped = false;
    int decimals = 0;
    for (size_t i = 0; i < format.size();) {
        const char c = FoldByte(format[i]);
        if (c == ' ') {
            i++;
        } else if (c == ',') {
            grouped = true;
            i++;
        } else if (c == 'g') {
            fixed = false;
            i++;
        } else if (c == 'f') {
            size_t j = i + 1;
            int n = 0;
            while (j < format.size() && IsDigit(format[j]) && j - i <= 2)
                n = n * 10 + (format[j++] - '0');
            if (j == i + 1 || n > 15)
                return ERR_FORMULA_VALUE;
            fixed = true;
            decimals = n;
            i = j;
        } else {
            return ERR_FORMULA_VALUE;
        }
    }
    if (number == 0)
        number = 0;  // no "-0"
    char buffer[400];
    auto result = fixed ? std::to_chars(buffer, buffer + sizeof buffer, number,
                                        std::chars_format::fixed, decimals)
                        : std::to_chars(buffer, buffer + sizeof buffer, number,
                                        std::chars_format::general, 15);
    if (result.ec != std::errc())
        return ERR_FORMULA_VALUE;
    std::string text(buffer, result.ptr);
    for (char &c : text) {
        if (c == 'e')
            c = 'E';
    }
    if (grouped)
        text = GroupThousands(text, locale.thousands);
    if (!(locale.flags & NUMBER_LEADING_ZERO)) {
        const size_t zero = (!text.empty() && text[0] == '-') ? 1 : 0;
        if (text.compare(zero, 2, "0.") == 0)
            text.erase(zero, 1);
    }
    const size_t point = text.find('.');
    if (point != std::string::npos)
        text.replace(point, 1, locale.decimal);
    *out = std::move(text);
    return NOERROR;
}

STATUS FormatTime(const TIMEDATE &value, const std::string &format, const Locale &locale,
                  std::string *out) {
    int dateCode, clockCode, show;
    if (!ParseTimeFormat(format, &dateCode, &clockCode, &show))
        return ERR_FORMULA_VALUE;
    const TIMEDATE local = OnServerClock(value, locale);
    TIME t{};
    t.GM = local;
    if (TimeGMToLocal(&t))
        return ERR_BAD_TIME;
    bool showDate = HasDate(local), showTime = HasTime(local);
    if (show == 0)
        showTime = false;
    if (show == 1)
        showDate = false;
    std::string date, clock;
    if (showDate) {
        date = DateText(t, dateCode, locale);
        if (show == 3) {
            TIMEDATE part;
            if (STATUS status = TimeDateSplit(&local, TIMEDATE_PART_DATE, &part))
                return status;
            const long day = static_cast<long>(part.Innards[1] & kDayMask);
            const long today = static_cast<long>(locale.todayDay);
            if (day == today)
                date = locale.today;
            else if (day == today - 1)
                date = locale.yesterday;
            else if (day == today + 1)
                date = locale.tomorrow;
        }
    }
    if (showTime)
        clock = ClockText(t, clockCode, locale);
    *out = date;
    if (!date.empty() && !clock.empty())
        *out += ' ';
    *out += clock;
    return NOERROR;
}

bool ParseNumberText(const std::string &text, const Locale &locale, double *out) {
    size_t i = 0;
    SkipBlanks(text, &i);
    std::string ascii;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        if (text[i] == '-')
            ascii += '-';
        i++;
    }
    size_t digits = 0;
    while (i < text.size() && IsDigit(text[i])) {
        ascii += text[i++];
        digits++;
    }
    size_t separator = 0;
    if (!locale.decimal.empty() && text.compare(i, locale.decimal.size(), locale.decimal) == 0)
        separator = locale.decimal.size();
    else if (i < text.size() && text[i] == '.')
        separator = 1;
    if (separator && i + separator < text.size() && IsDigit(text[i + separator])) {
        i += separator;
        if (digits == 0)
            ascii += '0';  // ".5": from_chars wants a digit first
        ascii += '.';
        while (i < text.size() && IsDigit(text[i])) {
            ascii += text[i++];
            digits++;
        }
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        std::string exponent = "e";
        if (j < text.size() && (text[j] == '-' || text[j] == '+'))
            exponent += text[j++];
        if (j < text.size() && IsDigit(text[j])) {
            while (j < text.size() && IsDigit(text[j]))
                exponent += text[j++];
            ascii += exponent;
        }
    }
    double value = 0;
    auto parsed = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
    if (parsed.ec != std::errc() || !std::isfinite(value))
        return false;
    *out = value;
    return true;
}

bool ParseTimeText(const std::string &text, const Locale &locale, TIMEDATE *out) {
    size_t pos = 0;
    SkipBlanks(text, &pos);
    bool haveDate = false, haveTime = false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;

    // The date: a word, or two or three numbers with date separators.
    DWORD relativeDay = 0;
    const std::string *words[] = {&locale.today, &locale.yesterday, &locale.tomorrow};
    for (int i = 0; i < 3 && !haveDate; i++) {
        if (!words[i]->empty() && StartsWithFolded(text, pos, *words[i])) {
            pos += words[i]->size();
            relativeDay = locale.todayDay + (i == 0 ? 0 : i == 1 ? -1 : 1);
            haveDate = true;
        }
    }
    if (!haveDate) {
        size_t at = pos;
        int n[3], digits[3], count = 0;
        while (count < 3 && ReadNumber(text, &at, 4, &n[count], &digits[count])) {
            count++;
            if (count < 3 && !TakeSeparator(text, &at, "/-.", locale.dateSeparator))
                break;
        }
        if (count >= 2) {
            pos = at;
            haveDate = true;
            const bool ymd = (locale.flags & DATE_YMD) != 0 || digits[0] > 2;
            const bool dmy = !ymd && (locale.flags & DATE_DMY) != 0;
            if (count == 2) {
                year = locale.thisYear;
                month = dmy ? n[1] : n[0];
                day = dmy ? n[0] : n[1];
            } else if (ymd) {
                year = FullYear(n[0], digits[0]), month = n[1], day = n[2];
            } else if (dmy) {
                day = n[0], month = n[1], year = FullYear(n[2], digits[2]);
            } else {
                month = n[0], day = n[1], year = FullYear(n[2], digits[2]);
            }
        }
    }

    // The time: hours and minutes, perhaps seconds, perhaps AM or PM.
    SkipBlanks(text, &pos);
    int marker = TakeMarker(text, &pos, locale);
    SkipBlanks(text, &pos);
    {
        size_t at = pos;
        int n[3], digits[3], count = 0;
        while (count < 3 && ReadNumber(text, &at, 2, &n[count], &digits[count])) {
            count++;
            if (count < 3 && !TakeSeparator(text, &at, ":", locale.timeSeparator))
                break;
        }
        if (count >= 2) {
            pos = at;
            haveTime = true;
            hour = n[0], minute = n[1], second = count == 3 ? n[2] : 0;
        } else if (marker != 0) {
            return false;
        }
    }
    if (haveTime) {
        SkipBlanks(text, &pos);
        if (marker == 0)
            marker = TakeMarker(text, &pos, locale);
        if (marker != 0) {
            if (hour < 1 || hour > 12)
                return false;
            hour = hour % 12 + (marker == 2 ? 12 : 0);
        }
        if (hour > 23 || minute > 59 || second > 59)
            return false;
    }
    SkipBlanks(text, &pos);
    if (pos != text.size() || (!haveDate && !haveTime))
        return false;

    if (!haveDate) {
        out->Innards[0] = static_cast<DWORD>(hour) * TICKS_IN_HOUR +
                          static_cast<DWORD>(minute) * TICKS_IN_MINUTE +
                          static_cast<DWORD>(second) * TICKS_IN_SECOND;
        out->Innards[1] = ANYDAY;
        return true;
    }
    if (relativeDay != 0) {
        // The day before or after today: its fields through a date value.
        TIMEDATE d;
        d.Innards[0] = ALLDAY;
        d.Innards[1] = relativeDay | ZoneBits(locale.zone, locale.dst);
        TIME t{};
        t.GM = d;
        if (TimeGMToLocal(&t))
            return false;
        year = t.year, month = t.month, day = t.day;
    }
    TIME t{};
    t.year = year, t.month = month, t.day = day;
    t.hour = haveTime ? hour : 12;  // noon: no daylight change moves it off its day
    t.minute = haveTime ? minute : 0;
    t.second = haveTime ? second : 0;
    t.zone = locale.zone;
    t.dst = locale.dst;
    if (TimeLocalToGM(&t))
        return false;
    if (haveTime) {
        *out = t.GM;
        return true;
    }
    return TimeDateSplit(&t.GM, TIMEDATE_PART_DATE, out) == NOERROR;
}

}  // namespace formula
}  // namespace notes_internal
