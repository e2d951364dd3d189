// The text forms of DXL values.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "dxl.h"
#include "lmbcs.h"
#include "nsf_note.h"
#include "os_text.h"
#include "os_time.h"

namespace notes_internal {
namespace dxl {

namespace {

// OSTranslate takes 16-bit lengths and writes at most three bytes per byte.
constexpr size_t kPiece = 20000;

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The code points of valid UTF-8, or false.
bool DecodeUtf8(const std::string &text, std::vector<char32_t> *out) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        char32_t c;
        size_t length;
        if (b < 0x80) {
            c = b;
            length = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            length = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            length = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            length = 4;
        } else {
            return false;
        }
        if (i + length > n)
            return false;
        for (size_t k = 1; k < length; k++) {
            if (!IsContinuation(p[i + k]))
                return false;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        if (out)
            out->push_back(c);
        i += length;
    }
    return true;
}

// The characters that XML 1.0 text may hold.
bool XmlCharacter(char32_t c) {
    return c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

int64_t JulianDay(int64_t year, int64_t month, int64_t day) {
    int64_t a = (14 - month) / 12;
    int64_t y = year + 4800 - a;
    int64_t m = month + 12 * a - 3;
    return day + (153 * m + 2) / 5 + 365 * y + FloorDiv(y, 4) - FloorDiv(y, 100) +
           FloorDiv(y, 400) - 32045;
}

void CivilDate(int64_t jd, int *year, int *month, int *day) {
    int64_t a = jd + 32044;
    int64_t b = (4 * a + 3) / 146097;
    int64_t c = a - 146097 * b / 4;
    int64_t d = (4 * c + 3) / 1461;
    int64_t e = c - 1461 * d / 4;
    int64_t m = (5 * e + 2) / 153;
    *day = static_cast<int>(e - (153 * m + 2) / 5 + 1);
    *month = static_cast<int>(m + 3 - 12 * (m / 10));
    *year = static_cast<int>(100 * b + d - 4800 + m / 10);
}

const int64_t kFirstDay = JulianDay(1, 1, 1);
const int64_t kLastDay = JulianDay(9999, 12, 31);

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

constexpr DWORD kZoneMask = 0xFF000000u;
constexpr DWORD kDstBit = 0x80000000u;

// The offset east of GMT of a value's zone bits, in ticks.
int64_t ZoneOffsetTicks(DWORD word1) {
    int64_t hours = (word1 >> 24) & 0x0F;
    int64_t quarters = (word1 >> 28) & 0x03;
    int64_t ticks = hours * TICKS_IN_HOUR + quarters * 15 * TICKS_IN_MINUTE;
    return (word1 >> 30) & 1 ? ticks : -ticks;
}

std::string ZoneText(DWORD word1) {
    unsigned hours = (word1 >> 24) & 0x0F;
    unsigned quarters = (word1 >> 28) & 0x03;
    bool east = (word1 >> 30) & 1;
    if (hours == 0 && quarters == 0 && !east)
        return "Z";
    char text[16];
    if (quarters == 0)
        std::snprintf(text, sizeof text, "%c%02u", east ? '+' : '-', hours);
    else
        std::snprintf(text, sizeof text, "%c%02u%02u", east ? '+' : '-', hours, quarters * 15);
    return text;
}

// Parses digits[pos, pos + count) as a number.
bool Digits(const std::string &s, size_t pos, size_t count, int *out) {
    if (pos + count > s.size())
        return false;
    int value = 0;
    for (size_t i = pos; i < pos + count; i++) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        value = value * 10 + (s[i] - '0');
    }
    *out = value;
    return true;
}

// "Z", "+hh", "-hh", "+hhmm", "-hhmm" from pos to the end: the zone bits.
bool ParseZone(const std::string &s, size_t pos, DWORD *bits) {
    const size_t left = s.size() - pos;
    if (left == 1 && s[pos] == 'Z') {
        *bits = 0;
        return true;
    }
    if ((left != 3 && left != 5) || (s[pos] != '+' && s[pos] != '-'))
        return false;
    int hours = 0, minutes = 0;
    if (!Digits(s, pos + 1, 2, &hours) || (left == 5 && !Digits(s, pos + 3, 2, &minutes)))
        return false;
    if (hours > 15 || minutes % 15 != 0 || minutes > 45)
        return false;
    DWORD east = s[pos] == '+' ? 1u : 0u;
    *bits =
        (static_cast<DWORD>(hours) << 24) | (static_cast<DWORD>(minutes / 15) << 28) | (east << 30);
    return true;
}

// "HHMMSS[,hh]" at pos; *end is where it stops.
bool ParseClock(const std::string &s, size_t pos, DWORD *ticks, size_t *end) {
    int h = 0, m = 0, sec = 0, hundredths = 0;
    if (!Digits(s, pos, 2, &h) || !Digits(s, pos + 2, 2, &m) || !Digits(s, pos + 4, 2, &sec))
        return false;
    pos += 6;
    if (pos < s.size() && s[pos] == ',') {
        if (!Digits(s, pos + 1, 2, &hundredths))
            return false;
        pos += 3;
    }
    if (h > 23 || m > 59 || sec > 59)
        return false;
    *ticks = static_cast<DWORD>(h) * TICKS_IN_HOUR + static_cast<DWORD>(m) * TICKS_IN_MINUTE +
             static_cast<DWORD>(sec) * TICKS_IN_SECOND + static_cast<DWORD>(hundredths);
    *end = pos;
    return true;
}

std::string ClockText(DWORD ticks) {
    char text[24];
    std::snprintf(text, sizeof text, "%02u%02u%02u,%02u", ticks / TICKS_IN_HOUR,
                  ticks / TICKS_IN_MINUTE % 60, ticks / TICKS_IN_SECOND % 60, ticks % 100);
    return text;
}

std::string DateText(int64_t jd) {
    int y, m, d;
    CivilDate(jd, &y, &m, &d);
    char text[24];
    std::snprintf(text, sizeof text, "%04d%02d%02d", y, m, d);
    return text;
}

const struct {
    WORD bit;
    const char *name;
} kClasses[] = {{NOTE_CLASS_DOCUMENT, "document"},
                {NOTE_CLASS_INFO, "info"},
                {NOTE_CLASS_FORM, "form"},
                {NOTE_CLASS_VIEW, "view"},
                {NOTE_CLASS_ICON, "icon"},
                {NOTE_CLASS_DESIGN, "design"},
                {NOTE_CLASS_ACL, "acl"},
                {NOTE_CLASS_HELP_INDEX, "helpindex"},
                {NOTE_CLASS_HELP, "help"},
                {NOTE_CLASS_FILTER, "agent"},
                {NOTE_CLASS_FIELD, "field"},
                {NOTE_CLASS_REPLFORMULA, "replformula"},
                {NOTE_CLASS_PRIVATE, "private"},
                {NOTE_CLASS_FILTER, "filter"},
                {NOTE_CLASS_REPLFORMULA, "replicationformula"}};
constexpr size_t kWrittenClasses = 13;  // the first names, one per bit

const char kProfilePrefix[] = "$profile_";

}  // namespace

std::string Utf8ToLmbcs(const char *text, size_t length) {
    std::string out;
    std::vector<char> buffer(3 * kPiece + 16);
    size_t pos = 0;
    while (pos < length) {
        size_t end = pos + kPiece < length ? pos + kPiece : length;
        // Cut before a character's first byte, never inside it.
        while (end < length && end > pos && IsContinuation(static_cast<unsigned char>(text[end])))
            end--;
        if (end == pos)
            end = pos + kPiece < length ? pos + kPiece : length;
        WORD written =
            OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, text + pos, static_cast<WORD>(end - pos),
                        buffer.data(), static_cast<WORD>(buffer.size()));
        out.append(buffer.data(), written);
        pos = end;
    }
    return out;
}

std::string LmbcsToUtf8(const char *text, size_t length) {
    std::string out;
    std::vector<char> buffer(3 * kPiece + 16);
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text);
    size_t pos = 0;
    while (pos < length) {
        size_t end = pos;
        while (end < length && end - pos < kPiece)
            end += LmbcsCharLength(bytes + end, length - end);
        WORD written =
            OSTranslate(OS_TRANSLATE_LMBCS_TO_UTF8, text + pos, static_cast<WORD>(end - pos),
                        buffer.data(), static_cast<WORD>(buffer.size()));
        out.append(buffer.data(), written);
        pos = end;
    }
    return out;
}

bool TextFromXml(const std::string &utf8, std::string *lmbcs) {
    std::vector<char32_t> points;
    if (!DecodeUtf8(utf8, &points))
        return false;
    for (char32_t c : points) {
        if (!XmlCharacter(c))
            return false;
    }
    // A line break is the NUL byte of stored text; each line is translated
    // alone, so that no byte of a character is taken for a line break.
    lmbcs->clear();
    size_t start = 0;
    while (true) {
        size_t lf = utf8.find('\n', start);
        size_t end = lf == std::string::npos ? utf8.size() : lf;
        lmbcs->append(Utf8ToLmbcs(utf8.data() + start, end - start));
        if (lf == std::string::npos)
            break;
        lmbcs->push_back('\0');
        start = lf + 1;
    }
    return true;
}

bool TextToXml(const std::string &lmbcs, std::string *utf8) {
    utf8->clear();
    size_t start = 0;
    while (true) {
        size_t nul = lmbcs.find('\0', start);
        size_t end = nul == std::string::npos ? lmbcs.size() : nul;
        utf8->append(LmbcsToUtf8(lmbcs.data() + start, end - start));
        if (nul == std::string::npos)
            break;
        utf8->push_back('\n');
        start = nul + 1;
    }
    std::string back;
    return TextFromXml(*utf8, &back) && back == lmbcs;
}

bool NumberFromXml(const std::string &text, NUMBER *out) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    size_t end = text.find_last_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return false;
    const char *first = text.data() + begin;
    const char *last = text.data() + end + 1;
    if (*first == '+')
        first++;
    double value = 0;
    auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != last || !std::isfinite(value))
        return false;
    *out = value;
    return true;
}

bool NumberToXml(NUMBER number, std::string *out) {
    if (!std::isfinite(number))
        return false;
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, number);
    if (result.ec != std::errc())
        return false;
    out->assign(text, result.ptr);
    return true;
}

bool TimeFromXml(const std::string &raw, bool dst, TIMEDATE *out) {
    size_t begin = raw.find_first_not_of(" \t\r\n");
    size_t last = raw.find_last_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return false;
    const std::string s = raw.substr(begin, last - begin + 1);
    const DWORD dstBit = dst ? kDstBit : 0;
    if (s[0] == 'T') {
        // A time alone is a clock time: it has no zone to keep.
        DWORD ticks = 0;
        size_t end = 0;
        DWORD zone = 0;
        if (!ParseClock(s, 1, &ticks, &end) || (end != s.size() && !ParseZone(s, end, &zone)))
            return false;
        out->Innards[0] = ticks;
        out->Innards[1] = ANYDAY;
        return true;
    }
    int year = 0, month = 0, day = 0;
    if (!Digits(s, 0, 4, &year) || !Digits(s, 4, 2, &month) || !Digits(s, 6, 2, &day))
        return false;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return false;
    const int64_t jd = JulianDay(year, month, day);
    size_t pos = 8;
    DWORD zone = 0;
    if (pos == s.size() || s[pos] != 'T') {
        if (pos != s.size() && !ParseZone(s, pos, &zone))
            return false;
        out->Innards[0] = ALLDAY;
        out->Innards[1] = static_cast<DWORD>(jd) | zone | dstBit;
        return true;
    }
    DWORD ticks = 0;
    if (!ParseClock(s, pos + 1, &ticks, &pos))
        return false;
    if (pos != s.size() && !ParseZone(s, pos, &zone))
        return false;
    // The text is the wall time of its zone; the value keeps GMT.
    int64_t total = jd * static_cast<int64_t>(TICKS_IN_DAY) + ticks - ZoneOffsetTicks(zone);
    int64_t gmtDay = FloorDiv(total, TICKS_IN_DAY);
    if (gmtDay < kFirstDay || gmtDay > kLastDay)
        return false;
    out->Innards[0] = static_cast<DWORD>(total - gmtDay * TICKS_IN_DAY);
    out->Innards[1] = static_cast<DWORD>(gmtDay) | zone | dstBit;
    return true;
}

bool TimeToXml(const TIMEDATE &time, std::string *text, bool *dst) {
    const DWORD w0 = time.Innards[0];
    const DWORD w1 = time.Innards[1];
    *dst = false;
    if (w1 == ANYDAY) {
        if (w0 >= TICKS_IN_DAY)
            return false;
        *text = "T" + ClockText(w0);
        return true;
    }
    const int64_t jd = w1 & 0x00FFFFFFu;
    if (jd < kFirstDay || jd > kLastDay)
        return false;
    *dst = (w1 & kDstBit) != 0;
    const DWORD zone = w1 & kZoneMask & ~kDstBit;
    if (w0 == ALLDAY) {
        *text = DateText(jd) + (zone == 0 ? "" : ZoneText(zone));
        return true;
    }
    if (w0 >= TICKS_IN_DAY)
        return false;
    int64_t wall = jd * static_cast<int64_t>(TICKS_IN_DAY) + w0 + ZoneOffsetTicks(zone);
    int64_t wallDay = FloorDiv(wall, TICKS_IN_DAY);
    if (wallDay < kFirstDay || wallDay > kLastDay)
        return false;
    *text = DateText(wallDay) + "T" + ClockText(static_cast<DWORD>(wall - wallDay * TICKS_IN_DAY)) +
            ZoneText(zone);
    return true;
}

std::string Base64Encode(const std::string &bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data());
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i + 1 == bytes.size()) {
        unsigned v = p[i] << 16;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

bool Base64Decode(const std::string &text, std::string *bytes) {
    bytes->clear();
    unsigned value = 0;
    int bits = 0;
    size_t digits = 0, padding = 0;
    for (unsigned char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=') {
            padding++;
            continue;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        } else {
            return false;
        }
        if (padding > 0)
            return false;  // digits after the padding
        digits++;
        value = (value << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes->push_back(static_cast<char>((value >> bits) & 0xFF));
        }
    }
    if ((digits + padding) % 4 != 0 || padding > 2 || digits % 4 == 1)
        return false;
    // The bits left over must be zero, so that each text has one meaning.
    return (value & ((1u << bits) - 1)) == 0;
}

std::string UnidToText(const UNID &unid) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X%08X%08X%08X", unid.File.Innards[1], unid.File.Innards[0],
                  unid.Note.Innards[1], unid.Note.Innards[0]);
    return text;
}

bool UnidFromText(const std::string &text, UNID *out) {
    if (text.size() != 32)
        return false;
    DWORD words[4];
    for (int w = 0; w < 4; w++) {
        DWORD v = 0;
        for (int i = 0; i < 8; i++) {
            char c = text[w * 8 + i];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else
                return false;
            v = (v << 4) | static_cast<DWORD>(d);
        }
        words[w] = v;
    }
    out->File.Innards[1] = words[0];
    out->File.Innards[0] = words[1];
    out->Note.Innards[1] = words[2];
    out->Note.Innards[0] = words[3];
    return true;
}

std::string ClassToXml(WORD noteClass, bool *isDefault) {
    *isDefault = (noteClass & NOTE_CLASS_DEFAULT) != 0;
    WORD rest = noteClass & static_cast<WORD>(~NOTE_CLASS_DEFAULT);
    std::string names;
    WORD named = 0;
    for (size_t i = 0; i < kWrittenClasses; i++) {
        if (rest & kClasses[i].bit) {
            if (!names.empty())
                names += ' ';
            names += kClasses[i].name;
            named |= kClasses[i].bit;
        }
    }
    if (rest != 0 && named == rest)
        return names;
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", rest);
    return text;
}

bool ClassFromXml(const std::string &text, bool isDefault, WORD *out) {
    WORD value = 0;
    if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
        unsigned long number = 0;
        const char *first = text.data();
        const char *last = first + text.size();
        int base = 10;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            first += 2;
            base = 16;
        }
        auto result = std::from_chars(first, last, number, base);
        if (result.ec != std::errc() || result.ptr != last || number > 0xFFFF)
            return false;
        value = static_cast<WORD>(number);
    } else {
        size_t pos = 0;
        bool any = false;
        while (pos < text.size()) {
            size_t end = text.find(' ', pos);
            if (end == std::string::npos)
                end = text.size();
            std::string name = text.substr(pos, end - pos);
            pos = end + 1;
            if (name.empty())
                continue;
            bool known = false;
            for (const auto &c : kClasses) {
                if (name == c.name) {
                    value |= c.bit;
                    known = true;
                }
            }
            if (!known)
                return false;
            any = true;
        }
        if (!any)
            return false;
    }
    *out = value | (isDefault ? NOTE_CLASS_DEFAULT : 0);
    return true;
}

bool ParseProfileName(const std::string &text, std::string *name, std::string *user) {
    const size_t prefix = sizeof kProfilePrefix - 1;
    if (text.size() < prefix + 3)
        return false;
    for (size_t i = 0; i < prefix; i++) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kProfilePrefix[i])
            return false;
    }
    int length = 0;
    if (!Digits(text, prefix, 3, &length) || length == 0)
        return false;
    const size_t start = prefix + 3;
    if (text.size() < start + static_cast<size_t>(length) + 1 || text[start + length] != '_')
        return false;
    *name = text.substr(start, static_cast<size_t>(length));
    *user = text.substr(start + static_cast<size_t>(length) + 1);
    return true;
}

std::string MakeProfileName(const std::string &name, const std::string &user) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03u", static_cast<unsigned>(name.size() % 1000));
    return kProfilePrefix + std::string(digits) + name + "_" + user;
}

}  // namespace dxl
}  // namespace notes_internal
