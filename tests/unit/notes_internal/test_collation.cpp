#include <iconv.h>

#include <cstring>
#include <random>
#include <string>

#include "collation.h"
#include "test_support.h"

namespace {

using notes_internal::CollationCompare;
using notes_internal::CollationEqual;
using notes_internal::CollationKey;

TEST(Collation, KeysFoldLettersAndLeaveCharactersOfSeveralBytesWhole) {
    struct Case {
        const char *name;
        std::string text, key;
    };
    const Case cases[] = {
        {"ASCII", "Out Of Office", "out of office"},
        {"code page 850 capitals", "\x8E\x99\x9A\x90\xA5", "\x84\x94\x81\x82\xA4"},
        {"small letters stay", "\x84\x94\x81", "\x84\x94\x81"},
        {"no other case", "\xE1\x98\xD5", "\xE1\x98\xD5"},  // sharp s, y diaeresis, dotless i
        {"a group byte and its data byte",
         "\x01\x8E"
         "A",
         std::string("\x01\x8E"
                     "a")},
        {"a double-byte group",
         "\x10\x41\x42"
         "C",
         "\x10\x41\x42"
         "c"},
        {"the Unicode group", "\x14\x41\x5A\x5A", "\x14\x41\x5A\x7A"},
        {"tab, line feed, carriage return and 0x19 are characters",
         "\tA\nB\rC\x19"
         "D",
         "\ta\nb\rc\x19"
         "d"},
        {"a character cut at the end", "A\x10\x41", "a\x10\x41"},
        {"NUL bytes", std::string("A\0B", 3), std::string("a\0b", 3)},
        {"empty", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CollationKey(c.text), c.key);
        EXPECT_EQ(CollationKey(c.key), c.key) << "a key is its own key";
        EXPECT_TRUE(CollationEqual(c.text.data(), c.text.size(), c.key.data(), c.key.size()));
    }
}

int Sign(int value) {
    return (value > 0) - (value < 0);
}

TEST(Collation, CompareOrdersAsTheKeysDo) {
    // Random names over bytes that meet every rule: letters of both cases,
    // group bytes, data bytes that look like letters, the separator, NUL.
    const unsigned char alphabet[] = {'A',  'a',  'Z',  'z',  0x8E, 0x84, 0x90, 0x82,
                                      0x10, 0x14, 0x01, 0x09, '|',  0x00, 0xFF, 0x7F};
    std::mt19937 random(20240611);
    auto name = [&] {
        std::string text(random() % 7, '\0');
        for (char &ch : text)
            ch = static_cast<char>(alphabet[random() % sizeof alphabet]);
        return text;
    };
    // The other case of a letter, or the byte itself.
    auto flip = [](char ch) {
        const unsigned char pairs[][2] = {{'A', 'a'}, {'Z', 'z'}, {0x8E, 0x84}, {0x90, 0x82}};
        for (const auto &pair : pairs) {
            if (static_cast<unsigned char>(ch) == pair[0])
                return static_cast<char>(pair[1]);
            if (static_cast<unsigned char>(ch) == pair[1])
                return static_cast<char>(pair[0]);
        }
        return ch;
    };
    int equal = 0, unequalFlips = 0;
    for (int i = 0; i < 20000; i++) {
        // Half of the pairs differ only in the case of some letters, which
        // inside a character of several bytes makes them unequal.
        std::string a = name(), b = name();
        bool flipped = i % 2 == 0;
        if (flipped) {
            b = a;
            for (char &ch : b) {
                if (random() % 2)
                    ch = flip(ch);
            }
        }
        std::string ka = CollationKey(a), kb = CollationKey(b);
        ASSERT_EQ(ka.size(), a.size());
        int expected = Sign(ka.compare(kb));
        ASSERT_EQ(Sign(CollationCompare(a.data(), a.size(), b.data(), b.size())), expected)
            << testing::PrintToString(a) << " " << testing::PrintToString(b);
        ASSERT_EQ(CollationEqual(a.data(), a.size(), b.data(), b.size()), expected == 0);
        equal += expected == 0 && a != b;
        unequalFlips += flipped && expected != 0;
    }
    EXPECT_GT(equal, 1000) << "names that differ in case only";
    EXPECT_GT(unequalFlips, 100) << "case flips inside characters of several bytes";
}

// The folds of bytes 0x80-0xFF agree with the code page as the C library
// knows it: two bytes fold alike exactly when their characters are the two
// cases of one letter.
TEST(Collation, CodePage850FoldsAgreeWithTheCodePage) {
    iconv_t cd = iconv_open("UCS-4LE", "CP850");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1)) << "the C library knows no code page 850";
    auto codePoint = [&](unsigned char byte) {
        char in = static_cast<char>(byte);
        unsigned char out[4] = {};
        char *inp = &in, *outp = reinterpret_cast<char *>(out);
        size_t inLeft = 1, outLeft = sizeof out;
        EXPECT_NE(iconv(cd, &inp, &inLeft, &outp, &outLeft), static_cast<size_t>(-1));
        return out[0] | out[1] << 8 | out[2] << 16 | static_cast<unsigned>(out[3]) << 24;
    };
    // Latin-1 capitals U+00C0-U+00DE (but U+00D7) have their small letter
    // 0x20 above; the code page's other characters have no pair within it.
    auto small = [](unsigned cp) {
        return cp >= 0xC0 && cp <= 0xDE && cp != 0xD7 ? cp + 0x20 : cp;
    };
    unsigned cps[256];
    for (int b = 0x80; b <= 0xFF; b++)
        cps[b] = codePoint(static_cast<unsigned char>(b));
    iconv_close(cd);
    int pairs = 0;
    for (int a = 0x80; a <= 0xFF; a++) {
        for (int b = 0x80; b <= 0xFF; b++) {
            const char ca = static_cast<char>(a), cb = static_cast<char>(b);
            bool same = small(cps[a]) == small(cps[b]);
            ASSERT_EQ(CollationEqual(&ca, 1, &cb, 1), same) << std::hex << a << " " << b;
            pairs += same && a != b;
        }
    }
    EXPECT_EQ(pairs, 2 * 30) << "thirty pairs of letters";
    for (int a = 0; a < 0x80; a++) {
        const char ca = static_cast<char>(a);
        EXPECT_EQ(CollationKey(&ca, 1),
                  std::string(1, static_cast<char>(a >= 'A' && a <= 'Z' ? a + 32 : a)));
    }
}

}  // namespace
