// The error type and the text converters.
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>

#include "ip_exception.h"
#include "test_support.h"
#include "xml_string_translate.h"
#include "xml_toolkit.h"

namespace {

TEST(IPExceptionTest, TextIsOperationColonMessage) {
    struct Case {
        const char *operation;
        const char *message;
        const char *text;
    } cases[] = {
        {"xmlParser", "Empty XML document", "xmlParser:Empty XML document"},
        {"xmlParser", "", "xmlParser:"},
        {"getHCRInfo", "Unexpected Exception\n", "getHCRInfo:Unexpected Exception\n"},
        {"receiveElements", "a: b", "receiveElements:a: b"},
        {nullptr, nullptr, ":"},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(IPException(c.operation, c.message).message(), c.text);
    }
}

TEST(IPExceptionTest, TextSurvivesCopyAndRethrow) {
    try {
        try {
            throw IPException("setHCR", "Database is damaged");
        } catch (const IPException &e) {
            IPException copy(e);
            EXPECT_STREQ(copy.message(), e.message());
            throw;
        }
    } catch (const IPException &e) {
        EXPECT_STREQ(e.message(), "setHCR:Database is damaged");
    }
}

// Each test runs with the XML library started, as a worker has it.
class TranslateTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(xml_toolkit::Start()); }
    void TearDown() override { xml_toolkit::Stop(); }

    static std::u16string Units(const XMLCh *text) {
        return std::u16string(text, text + xercesc::XMLString::stringLen(text));
    }
};

TEST_F(TranslateTest, ToXMLChOfNothingIsEmpty) {
    XMLStringTranslate translate("utf-8");
    EXPECT_EQ(Units(translate.toXMLCh("abc")), u"abc");
    EXPECT_EQ(Units(translate.toXMLCh(nullptr)), u"");
    EXPECT_EQ(Units(translate.toXMLCh("")), u"");
}

TEST_F(TranslateTest, ToXMLChConvertsCharactersOfEveryLength) {
    XMLStringTranslate translate("utf-8");
    EXPECT_EQ(Units(translate.toXMLCh("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z")),
              u"a\u00E9\u4E2D\U0001F600z");
}

TEST_F(TranslateTest, ToXMLChHoldsAtMostOneUnitLessThanItsBuffer) {
    XMLStringTranslate translate("utf-8");
    const size_t most = XMLStringTranslate::kBufferUnits - 1;
    EXPECT_EQ(Units(translate.toXMLCh(std::string(most, 'a').c_str())).size(), most);
    EXPECT_THROW(translate.toXMLCh(std::string(most + 1, 'a').c_str()), std::length_error);

    // A character of two units must not be split at the end of the buffer.
    const std::string smiley = "\xF0\x9F\x98\x80";
    std::string fits = std::string(most - 2, 'a') + smiley;
    const XMLCh *units = translate.toXMLCh(fits.c_str());
    EXPECT_EQ(xercesc::XMLString::stringLen(units), most);
    EXPECT_EQ(translate.toNative(units), fits);
    EXPECT_THROW(translate.toXMLCh((std::string(most - 1, 'a') + smiley).c_str()),
                 std::length_error);
}

TEST_F(TranslateTest, ToXMLChReusesItsBuffer) {
    XMLStringTranslate translate("utf-8");
    const XMLCh *first = translate.toXMLCh("first text");
    const XMLCh *second = translate.toXMLCh("2nd");
    EXPECT_EQ(first, second);
    EXPECT_EQ(Units(first), u"2nd");
}

TEST_F(TranslateTest, ToXMLChLetsTheTranscodersErrorThrough) {
    XMLStringTranslate translate("utf-8");
    EXPECT_THROW(translate.toXMLCh("bad \xC3 byte"), xercesc::XMLException);
}

TEST_F(TranslateTest, ToNativeGivesTheWholeTextAndNothingOld) {
    XMLStringTranslate translate("utf-8");
    std::u16string empty;
    EXPECT_EQ(translate.toNative(nullptr), "");
    std::u16string earlier = u"earlier \u00E9";
    EXPECT_EQ(translate.toNative(reinterpret_cast<const XMLCh *>(earlier.c_str())),
              "earlier \xC3\xA9");
    EXPECT_EQ(translate.toNative(reinterpret_cast<const XMLCh *>(empty.c_str())), "");

    // Longer than one buffer of the formatter: it arrives in pieces.
    std::u16string cjk(10000, u'\u4E2D');
    std::string expected;
    for (int i = 0; i < 10000; i++)
        expected += "\xE4\xB8\xAD";
    EXPECT_EQ(translate.toNative(reinterpret_cast<const XMLCh *>(cjk.c_str())), expected);
}

TEST_F(TranslateTest, TranscodedTextHoldsTheLocalText) {
    TranscodedText text("User_Status");
    EXPECT_EQ(Units(text.getText()), u"User_Status");
    LocalText back(text.getText());
    EXPECT_STREQ(back.c_str(), "User_Status");
    LocalText none(nullptr);
    EXPECT_STREQ(none.c_str(), "");
}

// The LMBCS conversions go through the platform's translate call.
class LmbcsTest : public test_support::DataDirTest {};

TEST_F(LmbcsTest, EmptyStaysEmpty) {
    std::string text;
    EXPECT_TRUE(XMLStringTranslate::Utf8ToLmbcsInPlace(text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(XMLStringTranslate::LmbcsToUtf8InPlace(text));
    EXPECT_EQ(text, "");
}

TEST_F(LmbcsTest, NulBytesInsideAreConverted) {
    std::string text("line 1\0line 2\0\xC3\xA9", 17);
    ASSERT_EQ(text.size(), 17u);
    XMLStringTranslate::Utf8ToLmbcsInPlace(text);
    EXPECT_EQ(text.substr(0, 14), std::string("line 1\0line 2\0", 14));
    EXPECT_GT(text.size(), 14u) << "the text after the NUL bytes was lost";
    XMLStringTranslate::LmbcsToUtf8InPlace(text);
    EXPECT_EQ(text, std::string("line 1\0line 2\0\xC3\xA9", 17));
}

TEST_F(LmbcsTest, LongTextsConvertWhole) {
    // Far beyond what one 16-bit translate call takes, with characters of
    // every length lying across every possible cut.
    const std::string pieces[] = {"a", "\xC3\xA9", "\xE4\xB8\x8A", "\xF0\x9F\x98\x80", "\n"};
    std::string utf8;
    for (int i = 0; utf8.size() < 200000; i++)
        utf8 += pieces[(i * 7 + i / 3) % 5];
    std::string text = utf8;
    XMLStringTranslate::Utf8ToLmbcsInPlace(text);
    EXPECT_NE(text, utf8);
    EXPECT_GT(text.size(), 100000u);
    XMLStringTranslate::LmbcsToUtf8InPlace(text);
    EXPECT_EQ(text.size(), utf8.size());
    EXPECT_TRUE(text == utf8) << "the round trip changed the text";

    // A run of one multi-byte character only, in both directions.
    std::string run;
    for (int i = 0; i < 30000; i++)
        run += "\xE4\xB8\x8A";  // U+4E0A: three bytes in the Japanese group too
    text = run;
    XMLStringTranslate::Utf8ToLmbcsInPlace(text);
    EXPECT_EQ(text.size(), 90000u);
    XMLStringTranslate::LmbcsToUtf8InPlace(text);
    EXPECT_TRUE(text == run);
}

// ICU's LMBCS, as a real server writes it: the whole text in one call.
std::string IcuLmbcs(const std::string &utf8) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter *converter = ucnv_open("LMBCS-1", &status);
    std::vector<UChar> units(utf8.size() + 1);
    int32_t count = 0;
    u_strFromUTF8(units.data(), static_cast<int32_t>(units.size()), &count, utf8.data(),
                  static_cast<int32_t>(utf8.size()), &status);
    std::vector<char> out(3 * utf8.size() + 16);
    int32_t n = 0;
    if (U_SUCCESS(status))
        n = ucnv_fromUChars(converter, out.data(), static_cast<int32_t>(out.size()), units.data(),
                            count, &status);
    ucnv_close(converter);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    return U_SUCCESS(status) ? std::string(out.data(), n) : std::string();
}

// ICU's reading of LMBCS, each run between NUL bytes on its own: a NUL byte
// stays a NUL byte.
std::string IcuUtf8(const std::string &lmbcs) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter *converter = ucnv_open("LMBCS-1", &status);
    std::string result;
    for (size_t start = 0; U_SUCCESS(status);) {
        const size_t nul = lmbcs.find('\0', start);
        const size_t end = nul == std::string::npos ? lmbcs.size() : nul;
        std::vector<UChar> units(end - start + 1);
        ucnv_reset(converter);
        int32_t count =
            ucnv_toUChars(converter, units.data(), static_cast<int32_t>(units.size()),
                          lmbcs.data() + start, static_cast<int32_t>(end - start), &status);
        std::vector<char> out(3 * units.size());
        int32_t n = 0;
        if (U_SUCCESS(status))
            u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &n, units.data(),
                               count, 0xFFFD, nullptr, &status);
        if (U_SUCCESS(status))
            result.append(out.data(), n);
        if (nul == std::string::npos)
            break;
        result += '\0';
        start = nul + 1;
    }
    ucnv_close(converter);
    EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
    return result;
}

// Texts longer than one translate call takes, shifted by one byte after
// another so that the cut between two calls falls at every place inside
// their characters. The text went from the request through the worker into
// LMBCS, or a real server wrote it: either way it reads back whole.
TEST_F(LmbcsTest, LongTextsInEveryGroupConvertWholeAtEveryCut) {
    // A Japanese text, with a line break stored as NUL in each line.
    const std::string line =
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9"
        "\xE3\x83\x88\xE3\x80\x82\xEF\xBD\xB1\xEF\xBD\xB2";
    std::string japanese;
    while (japanese.size() < 70000)
        japanese += line + std::string(1, '\0');
    // Characters of every kind of group: one byte, a group byte and one or
    // two bytes, and two Unicode groups for one character.
    const std::string every =
        "a\xC3\xA9\xCE\xB1\xD0\x96\xC5\x91\xD7\x90\xD8\xA7\xE0\xB8\x81\x01\xC2\x80\xE6\x97\xA5"
        "\xED\x95\x9C\xE5\xA6\xB3\xE4\xBB\xAC\xC8\xAF\xF0\x9F\x98\x80\xF0\x9F\x8C\xB4\x14";
    std::string mixed;
    while (mixed.size() < 70000)
        mixed += every;
    for (const std::string *text : {&japanese, &mixed}) {
        for (size_t shift = 0; shift < 7; shift++) {
            const std::string utf8 = std::string(shift, 'x') + *text;
            std::string lmbcs = utf8;
            XMLStringTranslate::Utf8ToLmbcsInPlace(lmbcs);
            if (text == &japanese) {
                EXPECT_TRUE(lmbcs == IcuLmbcs(utf8)) << "shift " << shift;
            }
            std::string back = lmbcs;
            XMLStringTranslate::LmbcsToUtf8InPlace(back);
            EXPECT_EQ(back.size(), utf8.size()) << "shift " << shift;
            EXPECT_TRUE(back == utf8) << "shift " << shift;

            std::string written = IcuLmbcs(utf8);
            ASSERT_GT(written.size(), 21844u * 2);
            XMLStringTranslate::LmbcsToUtf8InPlace(written);
            EXPECT_EQ(written.size(), utf8.size()) << "shift " << shift;
            EXPECT_TRUE(written == utf8) << "shift " << shift;
        }
    }
}

// Any bytes at all are cut only between whole characters: a long text
// reads as ICU reads it in one piece.
TEST_F(LmbcsTest, LongRandomBytesAreCutBetweenCharacters) {
    std::mt19937 random(11);
    for (int round = 0; round < 20; round++) {
        std::string lmbcs(50000 + random() % 30000, '\0');
        for (char &b : lmbcs) {
            // Group bytes often; 0xFF never, so that no group of U+FFFE or
            // U+FFFF turns up (ICU reads those as errors).
            unsigned r = random();
            b = static_cast<char>(r % 3 == 0   ? 0x10 + (r >> 8) % 5
                                  : r % 3 == 1 ? (r >> 8) % 0x20
                                               : (r >> 8) % 0xFF);
        }
        const std::string expected = IcuUtf8(lmbcs);
        XMLStringTranslate::LmbcsToUtf8InPlace(lmbcs);
        ASSERT_EQ(lmbcs.size(), expected.size()) << "round " << round;
        ASSERT_TRUE(lmbcs == expected) << "round " << round;
    }
}

}  // namespace
