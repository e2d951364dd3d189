#include <iconv.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "os_env.h"
#include "os_text.h"
#include "os_time.h"
#include "test_support.h"

namespace {

static_assert(sizeof(INTLFORMAT) == 140, "INTLFORMAT is 140 bytes");
static_assert(offsetof(INTLFORMAT, TimeZone) == 4, "layout");
static_assert(offsetof(INTLFORMAT, AMString) == 8, "layout");
static_assert(offsetof(INTLFORMAT, TimeString) == 38, "layout");
static_assert(offsetof(INTLFORMAT, TomorrowString) == 107, "layout");

std::string Translate(WORD mode, const std::string &in, size_t outSize) {
    std::vector<char> out(outSize);
    WORD n = OSTranslate(mode, in.data(), static_cast<WORD>(in.size()), out.data(),
                         static_cast<WORD>(outSize));
    EXPECT_LE(n, outSize);
    return std::string(out.data(), n);
}

// Room for the whole result, as far as a WORD reaches.
size_t Room(const std::string &in) {
    return std::min<size_t>(3 * in.size() + 1, 0xFFFF);
}
std::string ToLmbcs(const std::string &utf8) {
    return Translate(OS_TRANSLATE_UTF8_TO_LMBCS, utf8, Room(utf8));
}
std::string ToUtf8(const std::string &lmbcs) {
    return Translate(OS_TRANSLATE_LMBCS_TO_UTF8, lmbcs, Room(lmbcs));
}

std::string Utf8(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    return s;
}

std::string Hex(const std::string &bytes) {
    std::string out;
    char part[4];
    for (unsigned char b : bytes) {
        snprintf(part, sizeof part, "%02X ", b);
        out += part;
    }
    return out;
}

const std::string kReplacementGroup("\x14\xFF\xFD", 3);

TEST(OSTranslate, ExactEncodings) {
    struct Case {
        const char *what;
        std::string utf8;
        std::string lmbcs;
    } cases[] = {
        {"ASCII", "Out of office", "Out of office"},
        {"NUL bytes stay", std::string("a\0b\0", 4), std::string("a\0b\0", 4)},
        {"U+0014 is a group", "\x14", std::string("\x14\x00\x14", 3)},
        {"code page 850", "\xC3\xA9t\xC3\xA9 \xC3\x9F", "\x82t\x82 \xE1"},
        {"box drawing of code page 850", "\xE2\x95\x94\xE2\x96\x88", "\xC9\xDB"},
        {"no-break space", "\xC2\xA0", "\xFF"},
        {"a C1 control", "\xC2\x80", std::string("\x14\x00\x80", 3)},
        {"euro sign", "\xE2\x82\xAC", "\x14\x20\xAC"},
        {"outside code page 850", "\xE6\x97\xA5", "\x14\x65\xE5"},
        {"beyond the BMP", "\xF0\x9F\x98\x80", std::string("\x14\xD8\x3D\x14\xDE\x00", 6)},
        {"last character", "\xF4\x8F\xBF\xBF", "\x14\xDB\xFF\x14\xDF\xFF"},
        {"replacement character", "\xEF\xBF\xBD", kReplacementGroup},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Hex(ToLmbcs(c.utf8)), Hex(c.lmbcs)) << c.what;
        EXPECT_EQ(Hex(ToUtf8(c.lmbcs)), Hex(c.utf8)) << c.what;
    }
}

TEST(OSTranslate, CodePage850UpperHalfAgreesWithTheCLibrary) {
    // Independent spot values.
    struct Spot {
        unsigned char byte;
        char32_t c;
    } spots[] = {{0x80, 0xC7}, {0x9B, 0xF8}, {0x9F, 0x192},  {0xB0, 0x2591}, {0xD5, 0x131},
                 {0xE1, 0xDF}, {0xF0, 0xAD}, {0xF2, 0x2017}, {0xFE, 0x25A0}, {0xFF, 0xA0}};
    for (const Spot &s : spots) {
        EXPECT_EQ(Hex(ToUtf8(std::string(1, static_cast<char>(s.byte)))), Hex(Utf8(s.c)));
        EXPECT_EQ(Hex(ToLmbcs(Utf8(s.c))), Hex(std::string(1, static_cast<char>(s.byte))));
    }
    iconv_t cd = iconv_open("UTF-8", "CP850");
    if (cd == reinterpret_cast<iconv_t>(-1))
        GTEST_SKIP() << "the C library has no CP850 converter";
    for (int b = 0x80; b <= 0xFF; b++) {
        char in[1] = {static_cast<char>(b)};
        char out[8];
        char *inp = in, *outp = out;
        size_t inLeft = 1, outLeft = sizeof out;
        ASSERT_NE(iconv(cd, &inp, &inLeft, &outp, &outLeft), static_cast<size_t>(-1)) << b;
        std::string expected(out, sizeof out - outLeft);
        EXPECT_EQ(Hex(ToUtf8(std::string(in, 1))), Hex(expected)) << "byte " << b;
        EXPECT_EQ(Hex(ToLmbcs(expected)), Hex(std::string(in, 1))) << "byte " << b;
    }
    iconv_close(cd);
}

// Every valid UTF-8 text comes back unchanged, in texts of the size the
// system hands over (3 x length + 1 output).
TEST(OSTranslate, EveryCharacterRoundTrips) {
    std::vector<char32_t> all;
    for (char32_t c = 0; c <= 0x10FFFF; c++) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        all.push_back(c);
        if (c % 97 == 0)
            all.push_back(0);  // NUL bytes inside
    }
    size_t checked = 0;
    std::string chunk;
    auto check = [&] {
        std::string lmbcs = ToLmbcs(chunk);
        ASSERT_LE(lmbcs.size(), 3 * chunk.size());
        std::string back = ToUtf8(lmbcs);
        ASSERT_EQ(back.size(), chunk.size());
        ASSERT_TRUE(back == chunk) << "first character of the chunk " << Hex(chunk.substr(0, 4));
        checked += chunk.size();
        chunk.clear();
    };
    for (char32_t c : all) {
        chunk += Utf8(c);
        if (chunk.size() > 21000)
            check();
    }
    check();
    EXPECT_GT(checked, 4000000u);

    // A mixed text the way a message comes: line breaks as NUL bytes.
    std::string message = std::string(
                              "Gr\xC3\xBC\xC3\x9F"
                              "e\0\x14\x01",
                              10) +
                          "\xE2\x82\xAC 5\xF0\x9F\x8C\xB4\xE6\x97\xA5\xE6\x9C\xAC\xC2\xA0\x7F";
    EXPECT_EQ(ToUtf8(ToLmbcs(message)), message);
}

// The result never passes OutLength, never splits a character, and is the
// longest run of whole characters that fits.
TEST(OSTranslate, OutputIsBoundedAndEndsOnACharacter) {
    const std::string utf8 =
        std::string("a\0\x14\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z\xE2\x95\x94", 16);
    struct Direction {
        WORD mode;
        std::string in;
        std::vector<size_t> ends;  // output lengths after each whole character
    } directions[] = {
        {OS_TRANSLATE_UTF8_TO_LMBCS, utf8, {1, 2, 5, 6, 9, 15, 16, 17}},
        {OS_TRANSLATE_LMBCS_TO_UTF8, ToLmbcs(utf8), {1, 2, 3, 5, 8, 12, 13, 16}},
    };
    for (const Direction &d : directions) {
        const std::string full = Translate(d.mode, d.in, 200);
        ASSERT_EQ(full.size(), d.ends.back()) << d.mode;
        for (size_t capacity = 0; capacity <= full.size() + 2; capacity++) {
            std::vector<char> out(capacity + 8, '\x5A');
            WORD n = OSTranslate(d.mode, d.in.data(), static_cast<WORD>(d.in.size()), out.data(),
                                 static_cast<WORD>(capacity));
            size_t expected = 0;
            for (size_t end : d.ends)
                if (end <= capacity)
                    expected = end;
            EXPECT_EQ(n, expected) << "mode " << d.mode << " capacity " << capacity;
            EXPECT_EQ(std::string(out.data(), n), full.substr(0, n));
            for (size_t i = capacity; i < out.size(); i++)
                ASSERT_EQ(out[i], '\x5A') << "written past OutLength " << capacity;
        }
    }
}

TEST(OSTranslate, InvalidInputIsReplacedByteByByte) {
    const std::string r = kReplacementGroup;
    struct Case {
        const char *what;
        std::string utf8;
        std::string lmbcs;
    } cases[] = {
        {"stray continuation byte", "a\x80z", "a" + r + "z"},
        {"overlong slash", "\xC0\xAF", r + r},
        {"overlong three bytes", "\xE0\x80\xAF", r + r + r},
        {"surrogate", "\xED\xA0\x80", r + r + r},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
        {"cut short at the end", "x\xE2\x82", "x" + r + r},
        {"cut short by ASCII", "\xE2\x82y", r + r + "y"},
        {"bytes that start nothing", "\xF8\xFF\xFE", r + r + r},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Hex(ToLmbcs(c.utf8)), Hex(c.lmbcs)) << c.what;

    struct Back {
        const char *what;
        std::string lmbcs;
        std::string utf8;
    } backs[] = {
        {"unfinished group", std::string("ab\x14\x00", 4), "ab"},
        {"group byte alone", "ab\x14", "ab"},
        {"group of an ASCII letter", std::string("\x14\x00\x41", 3), "A"},
        {"lone high surrogate", "\x14\xD8\x3Dq", "\xEF\xBF\xBDq"},
        {"lone low surrogate", std::string("\x14\xDE\x00", 3), "\xEF\xBF\xBD"},
        {"high surrogate then a plain group", "\x14\xD8\x3D\x14\x20\xAC",
         "\xEF\xBF\xBD\xE2\x82\xAC"},
    };
    for (const Back &b : backs)
        EXPECT_EQ(Hex(ToUtf8(b.lmbcs)), Hex(b.utf8)) << b.what;
}

TEST(OSTranslate, RandomBytesNeverOverrun) {
    std::mt19937 random(2024);
    for (int i = 0; i < 20000; i++) {
        std::string in(random() % 300, '\0');
        for (char &b : in) {
            // Bias toward the interesting bytes.
            unsigned r = random();
            b = static_cast<char>(r % 4 == 0 ? 0x14 : r % 4 == 1 ? 0x80 | (r >> 8) : r >> 8);
        }
        for (WORD mode : {OS_TRANSLATE_UTF8_TO_LMBCS, OS_TRANSLATE_LMBCS_TO_UTF8}) {
            size_t capacity = random() % (3 * in.size() + 2);
            // Exactly the size given, so that the sanitizer sees any overrun.
            std::unique_ptr<char[]> out(new char[capacity ? capacity : 1]);
            WORD n = OSTranslate(mode, in.data(), static_cast<WORD>(in.size()), out.get(),
                                 static_cast<WORD>(capacity));
            ASSERT_LE(n, capacity);
            if (mode == OS_TRANSLATE_LMBCS_TO_UTF8) {
                // Always valid UTF-8, so it round-trips unchanged.
                std::string utf8(out.get(), n);
                ASSERT_EQ(ToUtf8(ToLmbcs(utf8)), utf8);
            }
        }
    }
}

TEST(OSTranslate, ModesAndBadArguments) {
    const std::string text = "D\xC3\xA9j\xC3\xA0 \xE2\x82\xAC";
    EXPECT_EQ(Translate(OS_TRANSLATE_NATIVE_TO_LMBCS, text, 64), ToLmbcs(text));
    EXPECT_EQ(Translate(OS_TRANSLATE_LMBCS_TO_NATIVE, ToLmbcs(text), 64), text);
    char out[8] = "unused";
    EXPECT_EQ(OSTranslate(7, text.data(), static_cast<WORD>(text.size()), out, sizeof out), 0);
    EXPECT_STREQ(out, "unused") << "an unknown mode writes nothing";
    EXPECT_EQ(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, text.data(), 4, nullptr, 8), 0);
    EXPECT_EQ(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, nullptr, 4, out, sizeof out), 0);
    EXPECT_EQ(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, nullptr, 0, out, sizeof out), 0);
    EXPECT_EQ(OSTranslate(OS_TRANSLATE_UTF8_TO_LMBCS, "", 0, out, sizeof out), 0);
}

void ExpectDefaults(const INTLFORMAT &intl) {
    EXPECT_EQ(intl.Flags, DATE_MDY | DATE_4DIGIT_YEAR | NUMBER_LEADING_ZERO);
    EXPECT_EQ(intl.Length, 140);
    EXPECT_EQ(intl.CurrencyDigits, 2);
    EXPECT_STREQ(intl.AMString, "AM");
    EXPECT_STREQ(intl.PMString, "PM");
    EXPECT_STREQ(intl.DateString, "/");
    EXPECT_STREQ(intl.TimeString, ":");
    EXPECT_STREQ(intl.CurrencyString, "$");
    EXPECT_STREQ(intl.ThousandString, ",");
    EXPECT_STREQ(intl.DecimalString, ".");
    EXPECT_STREQ(intl.YesterdayString, "Yesterday");
    EXPECT_STREQ(intl.TodayString, "Today");
    EXPECT_STREQ(intl.TomorrowString, "Tomorrow");
    int zone = 99, dst;
    OSCurrentTimeZone(&zone, &dst);
    EXPECT_EQ(intl.TimeZone, zone);
}

class IntlDefaults : public test_support::DataDirTest {};

TEST_F(IntlDefaults, WithoutIniKeys) {
    INTLFORMAT intl;
    std::memset(&intl, 0x5A, sizeof intl);
    OSGetIntlSettings(&intl, sizeof intl);
    ExpectDefaults(intl);
}

TEST(IntlSettings, WithoutARuntimeTheDefaultsHold) {
    INTLFORMAT intl;
    std::memset(&intl, 0x5A, sizeof intl);
    OSGetIntlSettings(&intl, sizeof intl);
    ExpectDefaults(intl);
}

class IntlFromIni : public test_support::DataDirTest {
  protected:
    std::vector<std::string> IniLines() const override {
        return {"IntlFlags=8", "IntlAMString=vorm.", "IntlPMString=\xE5\x8D\x88\xE5\xBE\x8C",
                "IntlDateSeparator=.", "IntlTimeSeparator=h"};
    }
};

TEST_F(IntlFromIni, KeysAreUsedAndLongValuesCut) {
    INTLFORMAT intl;
    OSGetIntlSettings(&intl, sizeof intl);
    EXPECT_EQ(intl.Flags, CLOCK_24_HOUR);
    EXPECT_STREQ(intl.AMString, "vorm") << "cut to four bytes";
    EXPECT_STREQ(intl.PMString, "\xE5\x8D\x88") << "cut before a character that does not fit";
    EXPECT_STREQ(intl.DateString, ".");
    EXPECT_STREQ(intl.TimeString, "h");
    EXPECT_STREQ(intl.TodayString, "Today");

    // A change of notes.ini shows in the next call.
    OSSetEnvironmentVariable("IntlAMString", "");
    OSSetEnvironmentVariable("IntlFlags", "");
    OSGetIntlSettings(&intl, sizeof intl);
    EXPECT_STREQ(intl.AMString, "AM");
    EXPECT_EQ(intl.Flags, DATE_MDY | DATE_4DIGIT_YEAR | NUMBER_LEADING_ZERO);
}

TEST_F(IntlFromIni, NeverWritesMoreThanBufferSize) {
    INTLFORMAT full;
    OSGetIntlSettings(&full, sizeof full);
    for (WORD size : {0, 1, 3, 9, 139}) {
        alignas(INTLFORMAT) unsigned char bytes[sizeof(INTLFORMAT) + 16];
        std::memset(bytes, 0x5A, sizeof bytes);
        OSGetIntlSettings(reinterpret_cast<INTLFORMAT *>(bytes), size);
        EXPECT_EQ(std::memcmp(bytes, &full, size), 0) << size;
        for (size_t i = size; i < sizeof bytes; i++)
            ASSERT_EQ(bytes[i], 0x5A) << "byte " << i << " written with BufferSize " << size;
    }
    OSGetIntlSettings(nullptr, sizeof full);  // nothing to write into: no crash
}

}  // namespace
