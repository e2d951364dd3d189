// The DXL family's own pieces: the text forms of values, the parser fed a
// text cut in two at every offset, and the ACL store's hook inside the
// import's transaction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "dxl.h"
#include "notes_api.h"
#include "nsf_internal.h"
#include "nsf_test_util.h"
#include "standin/dxl.h"
#include "test_support.h"

namespace {

using namespace notes_internal::dxl;

TEST(DxlValues, TimesComeBackAsTheyWereWritten) {
    const DWORD jd = 2456349;  // 25 February 2013
    struct Case {
        TIMEDATE value;
        const char *text;
        bool dst;
    };
    const std::vector<Case> cases = {
        {{{(3 * 3600u + 41 * 60 + 34) * 100 + 3, jd | 0x4B000000u | 0x80000000u}},
         "20130225T144134,03+11",
         true},
        {{{0, jd}}, "20130225T000000,00Z", false},
        {{{99, jd | 0x0A000000u}}, "20130224T140000,99-10", false},
        {{{123456, jd | 0x65000000u}}, "20130225T055034,56+0530", false},
        {{{8639999, jd | 0x3F000000u}}, "20130225T081459,99-1545", false},
        {{{ALLDAY, jd}}, "20130225", false},
        {{{ALLDAY, jd | 0x41000000u | 0x80000000u}}, "20130225+01", true},
        {{{ALLDAY, jd | 0x40000000u}}, "20130225+00", false},
        {{{8639999, ANYDAY}}, "T235959,99", false},
        {{{0, 1721426}}, "00010101T000000,00Z", false},
    };
    for (const Case &c : cases) {
        std::string text;
        bool dst = false;
        ASSERT_TRUE(TimeToXml(c.value, &text, &dst)) << c.text;
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(dst, c.dst) << c.text;
        TIMEDATE back{};
        ASSERT_TRUE(TimeFromXml(text, dst, &back)) << c.text;
        EXPECT_EQ(back.Innards[0], c.value.Innards[0]) << c.text;
        EXPECT_EQ(back.Innards[1], c.value.Innards[1]) << c.text;
    }
    // What a text cannot carry is left to raw bytes.
    for (TIMEDATE bad : {TIMEDATE{{TICKS_IN_DAY, jd}}, TIMEDATE{{0, 100}},
                         TIMEDATE{{ALLDAY, ANYDAY}}, TIMEDATE{{TICKS_IN_DAY, ANYDAY}}}) {
        std::string text;
        bool dst = false;
        EXPECT_FALSE(TimeToXml(bad, &text, &dst)) << text;
    }
    // Forms a file may hold, and forms it may not.
    TIMEDATE t{};
    ASSERT_TRUE(TimeFromXml(" 20130225T144134 ", false, &t));
    EXPECT_EQ(t.Innards[0], (14 * 3600u + 41 * 60 + 34) * 100);
    ASSERT_TRUE(TimeFromXml("T080000,00+11", false, &t));
    EXPECT_EQ(t.Innards[1], ANYDAY);
    for (const char *bad : {"", "2013", "20130229", "20131301", "20130225T24", "20130225T240000",
                            "20130225T100000,5", "20130225T100000+16", "20130225T100000+0510",
                            "20130225T100000Z1", "00000101", "20130225x"}) {
        EXPECT_FALSE(TimeFromXml(bad, false, &t)) << bad;
    }
}

TEST(DxlValues, NumbersTextsUnidsClassesAndBase64) {
    for (double d : {0.0, -0.0, 1.0, 0.1, -2.5e300, 4.9e-324, 3.141592653589793}) {
        std::string text;
        ASSERT_TRUE(NumberToXml(d, &text));
        NUMBER back = 0;
        ASSERT_TRUE(NumberFromXml(text, &back)) << text;
        EXPECT_EQ(std::memcmp(&back, &d, 8), 0) << text;
    }
    std::string text;
    EXPECT_FALSE(NumberToXml(std::nan(""), &text));
    EXPECT_FALSE(NumberToXml(INFINITY, &text));
    NUMBER n = 0;
    EXPECT_TRUE(NumberFromXml(" +1.5E3\n", &n));
    EXPECT_EQ(n, 1500);
    for (const char *bad : {"", "1,5", "inf", "nan", "1e999", "0x10", "--1", "1 2"})
        EXPECT_FALSE(NumberFromXml(bad, &n)) << bad;

    // A NUL byte is a line break; a line-feed byte or a control character
    // does not come back the same.
    std::string utf8;
    EXPECT_TRUE(TextToXml(std::string("a\0b", 3), &utf8));
    EXPECT_EQ(utf8, "a\nb");
    EXPECT_FALSE(TextToXml("a\nb", &utf8));
    EXPECT_FALSE(TextToXml("\x0F\x07", &utf8));
    std::string lmbcs;
    EXPECT_TRUE(TextFromXml("Zoë\n日本", &lmbcs));
    EXPECT_TRUE(TextToXml(lmbcs, &utf8));
    EXPECT_EQ(utf8, "Zoë\n日本");
    EXPECT_FALSE(TextFromXml("\xC3", &lmbcs));
    EXPECT_FALSE(TextFromXml("a\x01", &lmbcs));
    // Texts longer than one translation piece, cut between whole characters.
    std::string longText;
    for (int i = 0; i < 30000; i++)
        longText += i % 3 ? "日" : "x";
    ASSERT_TRUE(TextFromXml(longText, &lmbcs));
    ASSERT_TRUE(TextToXml(lmbcs, &utf8));
    EXPECT_EQ(utf8, longText);

    UNID unid{};
    ASSERT_TRUE(UnidFromText("0a1b2c3d4e5f60718293A4B5C6D7E8F9", &unid));
    EXPECT_EQ(unid.File.Innards[1], 0x0A1B2C3Du);
    EXPECT_EQ(unid.Note.Innards[0], 0xC6D7E8F9u);
    EXPECT_EQ(UnidToText(unid), "0A1B2C3D4E5F60718293A4B5C6D7E8F9");
    EXPECT_FALSE(UnidFromText("0A1B2C3D4E5F60718293A4B5C6D7E8F", &unid));
    EXPECT_FALSE(UnidFromText("0A1B2C3D4E5F60718293A4B5C6D7E8FG", &unid));

    struct ClassCase {
        WORD value;
        const char *text;
        bool isDefault;
    };
    for (const ClassCase &c :
         std::vector<ClassCase>{{NOTE_CLASS_DOCUMENT, "document", false},
                                {NOTE_CLASS_FILTER, "agent", false},
                                {NOTE_CLASS_FORM | NOTE_CLASS_DEFAULT, "form", true},
                                {NOTE_CLASS_VIEW | NOTE_CLASS_PRIVATE, "view private", false},
                                {0x2008, "0x2008", false},
                                {0, "0x0000", false}}) {
        bool isDefault = false;
        EXPECT_EQ(ClassToXml(c.value, &isDefault), c.text);
        EXPECT_EQ(isDefault, c.isDefault) << c.text;
        WORD back = 0;
        ASSERT_TRUE(ClassFromXml(c.text, c.isDefault, &back)) << c.text;
        EXPECT_EQ(back, c.value) << c.text;
    }
    WORD c = 0;
    EXPECT_TRUE(ClassFromXml("filter", false, &c));
    EXPECT_EQ(c, NOTE_CLASS_FILTER);
    for (const char *bad : {"", " ", "memo", "0x10000", "65536", "0xZZ"})
        EXPECT_FALSE(ClassFromXml(bad, false, &c)) << bad;

    for (const std::string &bytes : {std::string(), std::string("a"), std::string("ab"),
                                     std::string("abc"), std::string("\x00\xFF\x10\x80", 4)}) {
        std::string back;
        ASSERT_TRUE(Base64Decode(Base64Encode(bytes), &back));
        EXPECT_EQ(back, bytes);
    }
    std::string bytes;
    EXPECT_TRUE(Base64Decode(" QU\nJD ", &bytes));
    EXPECT_EQ(bytes, "ABC");
    for (const char *bad : {"QUJ", "QU=D", "QR==", "Q===", "QUJD$", "QUJD="})
        EXPECT_FALSE(Base64Decode(bad, &bytes)) << bad;

    std::string name, user;
    ASSERT_TRUE(ParseProfileName("$Profile_003Abc_CN=Jo Doe/O=Demo", &name, &user));
    EXPECT_EQ(name, "Abc");
    EXPECT_EQ(user, "CN=Jo Doe/O=Demo");
    EXPECT_EQ(MakeProfileName("outofofficeprofile", ""), "$profile_018outofofficeprofile_");
    for (const char *bad : {"$profile_", "$profile_003ab", "$profile_003abcd", "$profile_000_",
                            "$profile_x03abc_", "$prof_003abc_"})
        EXPECT_FALSE(ParseProfileName(bad, &name, &user)) << bad;
}

// What a sink sees, in a form that compares.
class Recorder : public Sink {
  public:
    STATUS OnNote(Note &note, Problem *) override {
        std::string line = std::to_string(note.noteClass) + " " + UnidToText(note.unid) + " " +
                           std::to_string(note.seq);
        for (const Item &item : note.items) {
            line += "|" + item.name + ":" + std::to_string(item.type) + ":" +
                    std::to_string(item.flags) + ":" + Base64Encode(item.value);
        }
        seen.push_back(line);
        return NOERROR;
    }
    STATUS OnAcl(Acl &acl, Problem *) override {
        std::string line = "acl";
        for (const std::string &role : acl.roles)
            line += " " + role;
        for (const AclEntry &e : acl.entries)
            line += " " + e.name + "/" + std::to_string(e.level) + "/" + std::to_string(e.type);
        seen.push_back(line);
        return NOERROR;
    }
    std::vector<std::string> seen;
};

// A text cut in two at every offset, inside tags, entity references and
// characters of several bytes alike, reads the same.
TEST(DxlReader, ATextCutInTwoAtEveryOffsetReadsTheSame) {
    const std::string text =
        "<?xml version='1.0' encoding='utf-8'?>\n<!DOCTYPE database SYSTEM 'x.dtd'>\n"
        "<database xmlns='urn:example:dxl'><acl><role>[Admin]</role>"
        "<aclentry name='Zoë/Demo' level='editor' type='person'><role>[Admin]</role></aclentry>"
        "</acl><note class='form' default='true'><noteinfo unid='0A1B2C3D4E5F60718293A4B5C6D7E8F9' "
        "sequence='3'><revised><datetime dst='true'>20130225T144134,03+11</datetime></revised>"
        "</noteinfo><item name='Grüße' summary='true'><text>日本 &amp; &#x1F642;\nzwei</text>"
        "</item><item name='L'><textlist><text>a</text><text/></textlist></item>"
        "<item name='N'><numberlist><number>1.5</number></numberlist></item>"
        "<item name='R' sign='true'><rawitemdata type='17'>AQA=</rawitemdata></item></note>"
        "</database>";
    auto parse = [&](size_t cut, std::vector<std::string> *seen) {
        Recorder recorder;
        size_t pos = 0;
        Problem problem;
        STATUS status = Parse(
            [&](char *buffer, size_t capacity, size_t *got) {
                size_t end = pos < cut ? cut : text.size();
                size_t n = std::min(capacity, end - pos);
                std::memcpy(buffer, text.data() + pos, n);
                pos += n;
                *got = n;
                return static_cast<STATUS>(NOERROR);
            },
            recorder, &problem);
        *seen = recorder.seen;
        return status;
    };
    std::vector<std::string> whole;
    ASSERT_EQ(parse(text.size(), &whole), NOERROR);
    ASSERT_EQ(whole.size(), 2u);
    for (size_t cut = 0; cut <= text.size(); cut++) {
        std::vector<std::string> seen;
        ASSERT_EQ(parse(cut, &seen), NOERROR) << "cut at " << cut;
        ASSERT_EQ(seen, whole) << "cut at " << cut;
    }
}

class DxlAclHook : public nsf_test::NsfTest {
  protected:
    void TearDown() override {
        SetAclHook(nullptr);
        nsf_test::NsfTest::TearDown();
    }
};

STATUS LNCALLBACK ReadString(void *context, char *buffer, DWORD length, DWORD *retLength) {
    auto *text = static_cast<std::string *>(context);
    size_t n = std::min<size_t>(length, text->size());
    std::memcpy(buffer, text->data(), n);
    text->erase(0, n);
    *retLength = static_cast<DWORD>(n);
    return NOERROR;
}

// An ACL store, once there is one, runs in the import's transaction: what
// it refuses refuses the whole text.
TEST_F(DxlAclHook, TheAclStoreGetsTheAclInTheImportsTransaction) {
    const std::string text =
        "<database><note class='form'/><acl><role>[Admin]</role>"
        "<aclentry name='-Default-' level='noaccess' default='true'/>"
        "<aclentry name='CN=Jo Doe/O=Demo' level='manager' deletedocs='false'>"
        "<role>[Admin]</role></aclentry></acl></database>";
    DBHANDLE db = CreateAndOpen("acl.nsf");
    const size_t before = nsf_test::NoteIds(db).size();
    Acl seen;
    SetAclHook([&](notes_internal::nsf::TxnContext &, const Acl &acl, std::string *) {
        seen = acl;
        return static_cast<STATUS>(NOERROR);
    });
    std::string input = text;
    StandinDxlResult result{};
    ASSERT_EQ(StandinDxlImport(db, ReadString, &input, &result), NOERROR) << result.message;
    EXPECT_TRUE(result.aclStored);
    EXPECT_STREQ(result.message, "");
    ASSERT_EQ(seen.entries.size(), 2u);
    EXPECT_TRUE(seen.entries[0].isDefault);
    EXPECT_EQ(seen.entries[1].level, 6);
    EXPECT_EQ(seen.entries[1].roles, std::vector<std::string>{"[Admin]"});
    ASSERT_EQ(seen.entries[1].options.size(), 1u);
    EXPECT_EQ(seen.entries[1].options[0].first, "deletedocs");
    EXPECT_FALSE(seen.entries[1].options[0].second);
    EXPECT_EQ(nsf_test::NoteIds(db).size(), before + 1);

    SetAclHook([](notes_internal::nsf::TxnContext &, const Acl &, std::string *why) {
        *why = "no manager left";
        return static_cast<STATUS>(ERR_DXL_BAD_ACL);
    });
    input = text;
    EXPECT_EQ(StandinDxlImport(db, ReadString, &input, &result), ERR_DXL_BAD_ACL);
    EXPECT_STREQ(result.message, "line 1: the ACL cannot be stored: no manager left");
    EXPECT_FALSE(result.aclStored);
    EXPECT_EQ(nsf_test::NoteIds(db).size(), before + 1);
    NSFDbClose(db);
}

}  // namespace
