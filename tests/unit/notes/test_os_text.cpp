#include <iconv.h>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
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
const std::string kReplacement = "\xEF\xBF\xBD";

// ICU's own conversions, the reference: its UTF-8 and UTF-16 functions and
// its LMBCS converter, the whole text in one call (its LMBCS converter
// chooses a text's groups afresh in each call). For valid UTF-8 input only:
// ICU replaces invalid UTF-8 by rules of its own.
class IcuLmbcsConverter {
  public:
    IcuLmbcsConverter() {
        UErrorCode status = U_ZERO_ERROR;
        converter_ = ucnv_open("LMBCS-1", &status);
        EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    }
    ~IcuLmbcsConverter() { ucnv_close(converter_); }
    UConverter *get() const { return converter_; }

  private:
    UConverter *converter_ = nullptr;
};

std::string IcuLmbcs(const std::string &utf8) {
    IcuLmbcsConverter converter;
    std::vector<UChar> units(utf8.size() + 1);
    int32_t count = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(units.data(), static_cast<int32_t>(units.size()), &count, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &status);
    std::vector<char> out(3 * utf8.size() + 16);
    int32_t n = 0;
    if (U_SUCCESS(status))
        n = ucnv_fromUChars(converter.get(), out.data(), static_cast<int32_t>(out.size()),
                            units.data(), count, &status);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    return U_SUCCESS(status) ? std::string(out.data(), n) : std::string();
}

std::string IcuUtf8(const std::string &lmbcs) {
    IcuLmbcsConverter converter;
    std::vector<UChar> units(lmbcs.size() + 1);
    UErrorCode status = U_ZERO_ERROR;
    int32_t count = ucnv_toUChars(converter.get(), units.data(), static_cast<int32_t>(units.size()),
                                  lmbcs.data(), static_cast<int32_t>(lmbcs.size()), &status);
    std::vector<char> out(3 * lmbcs.size() + 16);
    int32_t n = 0;
    if (U_SUCCESS(status))
        u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &n, units.data(), count,
                           0xFFFD, nullptr, &status);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    return U_SUCCESS(status) ? std::string(out.data(), n) : std::string();
}

TEST(OSTranslate, ExactEncodings) {
    struct Case {
        const char *what;
        std::string utf8;
        std::string lmbcs;
    } cases[] = {
        {"ASCII", "Out of office", "Out of office"},
        {"NUL bytes stay", std::string("a\0b\0", 4), std::string("a\0b\0", 4)},
        {"tab, line feed, carriage return", "\t\n\r", "\t\n\r"},
        {"a control character is a group", "x\x01y", "x\x0F\x21y"},
        {"U+0014 is a group", "\x14", "\x0F\x34"},
        {"a C1 control", "\xC2\x80", "\x0F\x80"},
        {"code page 850", "\xC3\xA9t\xC3\xA9 \xC3\x9F", "\x82t\x82 \xE1"},
        {"box drawing of code page 850", "\xE2\x95\x94\xE2\x96\x88", "\xC9\xDB"},
        {"no-break space", "\xC2\xA0", "\xFF"},
        {"Greek", "\xCE\xB1", "\x02\xD6"},
        {"Hebrew", "\xD7\x90", "\x03\xE0"},
        {"euro sign, first found in the Hebrew group", "\xE2\x82\xAC", "\x03\x80"},
        {"Arabic", "\xD8\xA7", "\x04\xC7"},
        {"Cyrillic", "\xD0\x96", "\x05\xC6"},
        {"Central European", "\xC5\x91", "\x06\x8B"},
        {"Turkish", "\xC4\x9F", "\x08\xF0"},
        {"Thai", "\xE0\xB8\x81", "\x0B\xA1"},
        {"Japanese", "\xE6\x97\xA5", "\x10\x93\xFA"},
        {"Korean", "\xED\x95\x9C", "\x11\xC7\xD1"},
        {"traditional Chinese", "\xE5\xA6\xB3", "\x12\xA9\x70"},
        {"simplified Chinese", "\xE4\xBB\xAC", "\x13\xC3\xC7"},
        {"a Han character keeps to the group before it", "\xED\x95\x9C\xE4\xB8\xAD",
         "\x11\xC7\xD1\x11\xF1\xE9"},
        {"in no group", "\xC8\xAF", "\x14\x02\x2F"},
        {"beyond the BMP, a low byte of zero", "\xF0\x9F\x98\x80", "\x14\xD8\x3D\x14\xF6\xDE"},
        {"last character", "\xF4\x8F\xBF\xBF", "\x14\xDB\xFF\x14\xDF\xFF"},
        {"replacement character", kReplacement, kReplacementGroup},
        {"noncharacter U+FFFE", "\xEF\xBF\xBE", "\x14\xFF\xFE"},
        {"noncharacter U+FFFF", "\xEF\xBF\xBF", "\x14\xFF\xFF"},
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

// Texts of every group, as a real server writes them: ICU's LMBCS of each
// is what the library writes, and it reads back as the text.
TEST(OSTranslate, AgreesWithIcuOnTextsOfEveryGroup) {
    std::string controls;
    for (char32_t c = 1; c < 0x20; c++)
        controls += Utf8(c);
    for (char32_t c = 0x7F; c < 0xA0; c++)
        controls += Utf8(c);
    const struct {
        const char *what;
        std::string utf8;
    } texts[] = {
        {"Latin-1",
         "Gr\xC3\xBC\xC3\x9F"
         "e aus K\xC3\xB6ln, \xC2\xA9 \xC2\xBD \xC3\xBF"},
        {"Central European", "\xC5\x81\xC3\xB3\x64\xC5\xBA \xC5\x90 \xC5\x8C"},
        {"Greek", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC"},
        {"Cyrillic", "\xD0\xA0\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9"},
        {"Hebrew", "\xD7\xA2\xD7\x91\xD7\xA8\xD7\x99\xD7\xAA"},
        {"Arabic", "\xD8\xA7\xD9\x84\xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A\xD8\xA9"},
        {"Turkish", "T\xC3\xBCrk\xC3\xA7\x65 \xC4\x9F\xC4\xB1\xC5\x9F"},
        {"Thai",
         "\xE0\xB8\xA0\xE0\xB8\xB2\xE0\xB8\xA9\xE0\xB8\xB2\xE0\xB9\x84\xE0\xB8\x97"
         "\xE0\xB8\xA2"},
        {"Japanese",
         "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9"
         "\xE3\x83\x88 \xEF\xBD\xB1"},
        {"Korean", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xE4\xB8\xAD"},
        {"traditional Chinese", "\xE5\xA6\xB3\xE5\x80\x91\xE5\x96\xAB\xE9\xBA\xBC"},
        {"simplified Chinese", "\xE4\xBB\xAC\xE8\xAF\xB4\xE8\xBF\x99\xE4\xB8\xAA\xE5\x9B\xBD"},
        {"beyond the BMP", "\xF0\x9F\x8C\xB4 \xF0\xA0\x80\x8B \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"},
        {"in no group", "\xC8\xAF\xC8\xBD \xE2\x82\xBF \xE1\xB8\x80"},
        {"control characters", controls},
        {"U+0014 among letters",
         "a\x14"
         "b\x14\x14"},
        {"line breaks as NUL bytes", std::string("one\0two\0\0\xE6\x97\xA5\0", 13)},
        {"mixed",
         "Caf\xC3\xA9 \xCE\xB1 \xD0\x96 \xE6\x97\xA5 \xED\x95\x9C \xD7\x90 \xF0\x9F\x98\x80"},
    };
    for (const auto &t : texts) {
        const std::string lmbcs = IcuLmbcs(t.utf8);
        ASSERT_FALSE(lmbcs.empty()) << t.what;
        EXPECT_EQ(Hex(ToLmbcs(t.utf8)), Hex(lmbcs)) << t.what;
        EXPECT_EQ(Hex(ToUtf8(lmbcs)), Hex(t.utf8)) << t.what;
        EXPECT_EQ(Hex(IcuUtf8(lmbcs)), Hex(t.utf8)) << t.what << ": the reference itself";
    }

    // Each control character alone between letters: only tab, line feed,
    // carriage return and 0x19 stand for themselves.
    for (char32_t c = 1; c < 0xA0; c = c == 0x1F ? 0x7F : c + 1) {
        const std::string utf8 = "x" + Utf8(c) + "y";
        const std::string lmbcs = ToLmbcs(utf8);
        EXPECT_EQ(Hex(lmbcs), Hex(IcuLmbcs(utf8))) << "U+" << std::hex << c;
        EXPECT_EQ(lmbcs.size(), (c == 9 || c == 10 || c == 13 || c == 0x19 || c == 0x7F) ? 3u : 4u)
            << "U+" << std::hex << c;
        EXPECT_EQ(ToUtf8(lmbcs), utf8) << "U+" << std::hex << c;
    }
}

// Every valid UTF-8 text comes back unchanged, in texts of the size the
// system hands over (3 x length + 1 output), and the library writes what
// ICU writes.
TEST(OSTranslate, EveryCharacterRoundTripsAndAgreesWithIcu) {
    std::vector<char32_t> all;
    for (char32_t c = 0; c <= 0x10FFFF; c++) {
        if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF)
            continue;  // ICU reads U+FFFE and U+FFFF as errors: ExactEncodings has them
        all.push_back(c);
        if (c % 97 == 0)
            all.push_back(0);  // NUL bytes inside
    }
    size_t checked = 0;
    std::string chunk;
    auto check = [&] {
        std::string lmbcs = ToLmbcs(chunk);
        ASSERT_LE(lmbcs.size(), 3 * chunk.size());
        ASSERT_TRUE(lmbcs == IcuLmbcs(chunk))
            << "first character of the chunk " << Hex(chunk.substr(0, 4));
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
}

// The result never passes OutLength, never splits a character, and is the
// conversion of the longest run of whole characters that fits.
TEST(OSTranslate, OutputIsBoundedAndEndsOnACharacter) {
    const std::string characters[] = {"a",
                                      std::string(1, '\0'),
                                      "\x14",
                                      "\x01",
                                      "\xC3\xA9",
                                      "\xE2\x82\xAC",
                                      "\xC5\x8C",
                                      "\xE6\x97\xA5",
                                      "\xED\x95\x9C",
                                      "\xE4\xB8\xAD",
                                      "\xF0\x9F\x98\x80",
                                      "\xE0\xB8\x81",
                                      "\xC2\x80",
                                      "\xE2\x95\x94",
                                      "z"};
    std::string utf8;
    std::vector<std::string> utf8Prefixes = {""}, lmbcsPrefixes = {""};
    for (const std::string &c : characters) {
        utf8 += c;
        utf8Prefixes.push_back(utf8);
        // In context: the Han character after the Korean one is Korean.
        lmbcsPrefixes.push_back(IcuLmbcs(utf8));
    }
    struct Direction {
        WORD mode;
        std::string in;
        const std::vector<std::string> &results;  // of each run of whole characters
    } directions[] = {
        {OS_TRANSLATE_UTF8_TO_LMBCS, utf8, lmbcsPrefixes},
        {OS_TRANSLATE_LMBCS_TO_UTF8, IcuLmbcs(utf8), utf8Prefixes},
    };
    for (const Direction &d : directions) {
        const std::string &full = d.results.back();
        ASSERT_EQ(Hex(Translate(d.mode, d.in, 200)), Hex(full)) << d.mode;
        for (size_t capacity = 0; capacity <= full.size() + 2; capacity++) {
            std::vector<char> out(capacity + 8, '\x5A');
            WORD n = OSTranslate(d.mode, d.in.data(), static_cast<WORD>(d.in.size()), out.data(),
                                 static_cast<WORD>(capacity));
            std::string expected;
            for (const std::string &r : d.results)
                if (r.size() <= capacity)
                    expected = r;
            EXPECT_EQ(Hex(std::string(out.data(), n)), Hex(expected))
                << "mode " << d.mode << " capacity " << capacity;
            for (size_t i = capacity; i < out.size(); i++)
                ASSERT_EQ(out[i], '\x5A') << "written past OutLength " << capacity;
        }
    }
}

TEST(OSTranslate, InvalidInputBecomesReplacementCharacters) {
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
        {"cut short by a NUL byte", std::string("\xE2\x82\0y", 4), r + r + std::string("\0y", 2)},
        {"bytes that start nothing", "\xF8\xFF\xFE", r + r + r},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Hex(ToLmbcs(c.utf8)), Hex(c.lmbcs)) << c.what;

    const std::string f = kReplacement;
    struct Back {
        const char *what;
        std::string lmbcs;
        std::string utf8;
    } backs[] = {
        {"unfinished group at the end", "ab\x14\xD8", "ab" + f},
        {"group byte alone at the end", "ab\x10", "ab" + f},
        {"group cut short by a NUL byte", std::string("ab\x14\0c", 5),
         "ab" + f + std::string("\0c", 2)},
        {"double-byte group cut short by a NUL byte", std::string("\x10\x93\0z", 4),
         f + std::string("\0z", 2)},
        {"control group cut short by a NUL byte", std::string("\x0F\0", 2),
         f + std::string(1, '\0')},
        {"no group: one byte each",
         "\x07"
         "A\x0C\x0E\x15\x1A\x1F"
         "B",
         f + "A" + f + f + f + f + f + "B"},
        {"not in the Hebrew group", "\x03\x41z", f + "z"},
        {"not in the Japanese group", "\x10\xFF\xFFz", f + "z"},
        {"lone high surrogate", "\x14\xD8\x3Dq", f + "q"},
        {"lone low surrogate", "\x14\xF6\xDE", f},
        {"high surrogate then a plain group", "\x14\xD8\x3D\x14\x20\xAC", f + "\xE2\x82\xAC"},
        {"high surrogate then a NUL byte", std::string("\x14\xD8\x3D\0\x14\xF6\xDE", 7),
         f + std::string(1, '\0') + f},
        {"Unicode group of an ASCII letter", "\x14\x41\x42", "\xE4\x85\x82"},
    };
    for (const Back &b : backs)
        EXPECT_EQ(Hex(ToUtf8(b.lmbcs)), Hex(b.utf8)) << b.what;
}

// Random bytes read as ICU reads them, a NUL byte always being a NUL byte
// of its own; neither direction writes past OutLength or more than three
// bytes per input byte.
TEST(OSTranslate, RandomBytesAgreeWithIcuAndNeverOverrun) {
    std::mt19937 random(2024);
    for (int i = 0; i < 20000; i++) {
        std::string in(random() % 300, '\0');
        for (char &b : in) {
            // Bias toward the interesting bytes; 0xFF is left out, so that
            // no group of U+FFFE or U+FFFF turns up.
            unsigned r = random();
            b = static_cast<char>(r % 4 == 0   ? 0x14
                                  : r % 4 == 1 ? 0x80 | (r >> 8) % 0x7F
                                  : r % 4 == 2 ? (r >> 8) % 0x20
                                               : (r >> 8) % 0xFF);
        }
        // The reference: ICU's reading of each run between NUL bytes.
        std::string expected;
        for (size_t start = 0;;) {
            size_t nul = in.find('\0', start);
            expected += IcuUtf8(in.substr(start, nul == std::string::npos ? nul : nul - start));
            if (nul == std::string::npos)
                break;
            expected += '\0';
            start = nul + 1;
        }
        const std::string utf8 = ToUtf8(in);
        ASSERT_EQ(Hex(utf8), Hex(expected)) << "input " << Hex(in);
        ASSERT_LE(utf8.size(), 3 * in.size());
        ASSERT_EQ(ToLmbcs(utf8), IcuLmbcs(utf8));
        ASSERT_EQ(ToUtf8(ToLmbcs(utf8)), utf8);
        ASSERT_LE(ToLmbcs(in).size(), 3 * in.size());

        for (WORD mode : {OS_TRANSLATE_UTF8_TO_LMBCS, OS_TRANSLATE_LMBCS_TO_UTF8}) {
            size_t capacity = random() % (3 * in.size() + 2);
            // Exactly the size given, so that the sanitizer sees any overrun.
            std::unique_ptr<char[]> out(new char[capacity ? capacity : 1]);
            WORD n = OSTranslate(mode, in.data(), static_cast<WORD>(in.size()), out.get(),
                                 static_cast<WORD>(capacity));
            ASSERT_LE(n, capacity);
        }
    }
}

// Each thread converts with a converter of its own: texts whose groups
// depend on the character before them come out right in every thread.
TEST(OSTranslate, ThreadsConvertSideBySide) {
    const std::string texts[] = {
        "\xED\x95\x9C\xE4\xB8\xAD\xE5\x9C\x8B", "\xE6\x97\xA5\xE4\xB8\xAD\xE5\x9C\x8B",
        "\xE4\xBB\xAC\xE4\xB8\xAD\xE5\x9B\xBD", "\xE5\xA6\xB3\xE4\xB8\xAD\xE5\x9C\x8B"};
    std::vector<std::string> expected;
    for (const std::string &t : texts)
        expected.push_back(IcuLmbcs(t));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; i++) {
                const size_t k = static_cast<size_t>(t + i) % 4;
                if (ToLmbcs(texts[k]) != expected[k] || ToUtf8(expected[k]) != texts[k])
                    wrong++;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
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
