#include "os_text.h"

#include <cstdlib>
#include <cstring>

#include "os_env.h"
#include "os_time.h"

static_assert(sizeof(INTLFORMAT) == 140, "INTLFORMAT must keep its 140-byte layout");

namespace {

constexpr unsigned char kGroupByte = 0x14;
constexpr char32_t kReplacement = 0xFFFD;

// Code page 850, bytes 0x80-0xFF.
const char16_t kCp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,  // 98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // A0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,  // B0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,  // C8
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,  // D0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,  // D8
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,  // E0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,  // E8
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,  // F0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,  // F8
};

// The CP850 byte of a character, or 0 when it has none.
unsigned char Cp850Byte(char32_t c) {
    if (c < 0xA0 || c > 0x25A0)
        return 0;
    for (int i = 0; i < 128; i++)
        if (kCp850High[i] == c)
            return static_cast<unsigned char>(0x80 + i);
    return 0;
}

// A bounded output: a character goes in whole or not at all, and once one
// does not fit nothing more goes in.
class Output {
  public:
    Output(char *out, WORD capacity) : out_(out), capacity_(out ? capacity : 0) {}
    bool Put(const unsigned char *bytes, size_t count) {
        if (full_ || count > static_cast<size_t>(capacity_ - length_)) {
            full_ = true;
            return false;
        }
        std::memcpy(out_ + length_, bytes, count);
        length_ = static_cast<WORD>(length_ + count);
        return true;
    }
    WORD length() const { return length_; }

  private:
    char *out_;
    WORD capacity_;
    WORD length_ = 0;
    bool full_ = false;
};

// One character of UTF-8 input: the code point and the bytes it took. A
// byte that starts no valid sequence (stray continuation, overlong form,
// surrogate, beyond U+10FFFF, cut short) gives U+FFFD and takes one byte.
char32_t NextUtf8(const unsigned char *in, size_t left, size_t *used) {
    const unsigned char b0 = in[0];
    *used = 1;
    if (b0 < 0x80)
        return b0;
    size_t length;
    char32_t c;
    char32_t minimum;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, c = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, c = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, c = b0 & 0x07, minimum = 0x10000;
    } else {
        return kReplacement;
    }
    if (left < length)
        return kReplacement;
    for (size_t i = 1; i < length; i++) {
        if ((in[i] & 0xC0) != 0x80)
            return kReplacement;
        c = (c << 6) | (in[i] & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return kReplacement;
    *used = length;
    return c;
}

size_t EncodeUtf8(char32_t c, unsigned char *out) {
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 4;
}

// LMBCS of one character: at most two groups of three bytes.
size_t EncodeLmbcs(char32_t c, unsigned char *out) {
    if (c < 0x80 && c != kGroupByte) {
        out[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if (unsigned char single = Cp850Byte(c)) {
        out[0] = single;
        return 1;
    }
    auto group = [](char16_t unit, unsigned char *at) {
        at[0] = kGroupByte;
        at[1] = static_cast<unsigned char>(unit >> 8);
        at[2] = static_cast<unsigned char>(unit & 0xFF);
    };
    if (c < 0x10000) {
        group(static_cast<char16_t>(c), out);
        return 3;
    }
    const char32_t v = c - 0x10000;
    group(static_cast<char16_t>(0xD800 + (v >> 10)), out);
    group(static_cast<char16_t>(0xDC00 + (v & 0x3FF)), out + 3);
    return 6;
}

WORD Utf8ToLmbcs(const unsigned char *in, WORD inLength, char *out, WORD outLength) {
    Output output(out, outLength);
    size_t i = 0;
    while (i < inLength) {
        size_t used;
        const char32_t c = NextUtf8(in + i, inLength - i, &used);
        unsigned char bytes[6];
        if (!output.Put(bytes, EncodeLmbcs(c, bytes)))
            break;
        i += used;
    }
    return output.length();
}

WORD LmbcsToUtf8(const unsigned char *in, WORD inLength, char *out, WORD outLength) {
    Output output(out, outLength);
    size_t i = 0;
    while (i < inLength) {
        char32_t c;
        const unsigned char b = in[i];
        if (b == kGroupByte) {
            if (inLength - i < 3)
                break;  // an unfinished group at the end
            c = static_cast<char32_t>((in[i + 1] << 8) | in[i + 2]);
            i += 3;
            if (c >= 0xD800 && c <= 0xDBFF && inLength - i >= 3 && in[i] == kGroupByte) {
                const char32_t low = static_cast<char32_t>((in[i + 1] << 8) | in[i + 2]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    i += 3;
                }
            }
            if (c >= 0xD800 && c <= 0xDFFF)
                c = kReplacement;  // a lone surrogate
        } else if (b < 0x80) {
            c = b;
            i++;
        } else {
            c = kCp850High[b - 0x80];
            i++;
        }
        unsigned char bytes[4];
        if (!output.Put(bytes, EncodeUtf8(c, bytes)))
            break;
    }
    return output.length();
}

// A notes.ini string into a field of ISTRMAX bytes: at most four bytes,
// never cutting a UTF-8 character.
void SetShortString(char *field, const char *iniKey, const char *fallback) {
    char value[MAXENVVALUE];
    const char *text = fallback;
    if (OSGetEnvironmentString(iniKey, value, sizeof value) && value[0] != '\0')
        text = value;
    size_t length = std::strlen(text);
    if (length > ISTRMAX - 1) {
        length = ISTRMAX - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            length--;
    }
    std::memcpy(field, text, length);
    field[length] = '\0';
}

void SetString(char *field, size_t size, const char *text) {
    std::strncpy(field, text, size - 1);
    field[size - 1] = '\0';
}

}  // namespace

WORD LNPUBLIC OSTranslate(WORD TranslateMode, const char far *In, WORD InLength, char far *Out,
                          WORD OutLength) {
    if (Out == nullptr || (In == nullptr && InLength > 0))
        return 0;
    const auto *in = reinterpret_cast<const unsigned char *>(In);
    switch (TranslateMode) {
        case OS_TRANSLATE_NATIVE_TO_LMBCS:
        case OS_TRANSLATE_UTF8_TO_LMBCS:
            return Utf8ToLmbcs(in, InLength, Out, OutLength);
        case OS_TRANSLATE_LMBCS_TO_NATIVE:
        case OS_TRANSLATE_LMBCS_TO_UTF8:
            return LmbcsToUtf8(in, InLength, Out, OutLength);
        default:
            return 0;
    }
}

void LNPUBLIC OSGetIntlSettings(INTLFORMAT far *retIntlFormat, WORD BufferSize) {
    if (retIntlFormat == nullptr || BufferSize == 0)
        return;
    INTLFORMAT intl;
    std::memset(&intl, 0, sizeof intl);
    char flags[MAXENVVALUE];
    if (OSGetEnvironmentString("IntlFlags", flags, sizeof flags) && flags[0] != '\0') {
        intl.Flags = static_cast<WORD>(std::strtol(flags, nullptr, 10));
    } else {
        intl.Flags = DATE_MDY | DATE_4DIGIT_YEAR | NUMBER_LEADING_ZERO;
    }
    intl.CurrencyDigits = 2;
    intl.Length = static_cast<BYTE>(sizeof(INTLFORMAT));
    int dst = 0;
    OSCurrentTimeZone(&intl.TimeZone, &dst);
    SetShortString(intl.AMString, "IntlAMString", "AM");
    SetShortString(intl.PMString, "IntlPMString", "PM");
    SetShortString(intl.DateString, "IntlDateSeparator", "/");
    SetShortString(intl.TimeString, "IntlTimeSeparator", ":");
    SetString(intl.CurrencyString, ISTRMAX, "$");
    SetString(intl.ThousandString, ISTRMAX, ",");
    SetString(intl.DecimalString, ISTRMAX, ".");
    SetString(intl.YesterdayString, YTSTRMAX, "Yesterday");
    SetString(intl.TodayString, YTSTRMAX, "Today");
    SetString(intl.TomorrowString, YTSTRMAX, "Tomorrow");
    const size_t size = BufferSize < sizeof intl ? BufferSize : sizeof intl;
    std::memcpy(retIntlFormat, &intl, size);
}
