// The information text of a database and its parts, and a second handle to
// an open database.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "notes_api.h"
#include "nsf_test_util.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

using nsf_test::Text;

std::string Part(const std::string &info, WORD what, WORD length = NSF_INFO_SIZE) {
    char buffer[NSF_INFO_SIZE + 8];
    std::memset(buffer, 'S', sizeof buffer);
    STATUS status = NSFDbInfoParse(info.c_str(), what, buffer, length);
    if (status != NOERROR)
        return "<status " + std::to_string(status) + ">";
    if (buffer[length] != 'S' && length < NSF_INFO_SIZE)
        return "<written past the buffer>";
    return buffer;
}

TEST(DbInfoParse, GivesEachPartCutToTheBuffer) {
    const struct {
        std::string info;
        WORD what;
        WORD length;
        std::string expected;
    } cases[] = {
        {"Halcyra\n\nHalcyra", INFOPARSE_TITLE, NSF_INFO_SIZE, "Halcyra"},
        {"Halcyra\n\nHalcyra", INFOPARSE_CATEGORIES, NSF_INFO_SIZE, ""},
        {"Halcyra\n\nHalcyra", INFOPARSE_CLASS, NSF_INFO_SIZE, "Halcyra"},
        {"Halcyra\n\nHalcyra", INFOPARSE_DESIGN_CLASS, NSF_INFO_SIZE, ""},
        {"T\nC\nK\nD", INFOPARSE_DESIGN_CLASS, NSF_INFO_SIZE, "D"},
        {"T\nC\nK\nD\nafter", INFOPARSE_DESIGN_CLASS, NSF_INFO_SIZE, "D"},
        {"Title alone", INFOPARSE_TITLE, NSF_INFO_SIZE, "Title alone"},
        {"Title alone", INFOPARSE_CLASS, NSF_INFO_SIZE, ""},
        {"", INFOPARSE_TITLE, NSF_INFO_SIZE, ""},
        {"HalcyraEx\n\nHalcyraEx", INFOPARSE_CLASS, 6, "Halcy"},
        {"x\n\n\xC3\xA9t\xC3\xA9", INFOPARSE_CLASS, 3, "\xC3\xA9"},  // one byte each
        {"x\n\n\x10\x82\x01z", INFOPARSE_CLASS, 3, ""},  // a group byte and two data bytes
        {"x\n\n\x10\x82\x01z", INFOPARSE_CLASS, 4, "\x10\x82\x01"},
        {"x", INFOPARSE_TITLE, 1, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Part(c.info, c.what, c.length), c.expected)
            << "part " << c.what << " of \"" << c.info << "\" into " << c.length;
    // The text is read up to NSF_INFO_SIZE - 1 bytes even without its NUL.
    std::string unterminated(NSF_INFO_SIZE + 40, 'x');
    EXPECT_EQ(Part(unterminated, INFOPARSE_TITLE), std::string(NSF_INFO_SIZE - 1, 'x'));

    char buffer[8] = "keep";
    EXPECT_EQ(NSFDbInfoParse("a", 4, buffer, sizeof buffer), ERR_BAD_PARAM);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(NSFDbInfoParse(nullptr, 0, buffer, sizeof buffer), ERR_BAD_PARAM);
    EXPECT_EQ(NSFDbInfoParse("a", 0, nullptr, 8), ERR_BAD_PARAM);
    EXPECT_EQ(NSFDbInfoParse("a", 0, buffer, 0), ERR_BAD_PARAM);
}

TEST(DbInfoModify, ReplacesOnePartAndKeepsTheOthers) {
    const struct {
        std::string info;
        WORD what;
        const char *value;
        STATUS status;
        std::string expected;
    } cases[] = {
        {"Halcyra", INFOPARSE_CLASS, "Halcyra", NOERROR, "Halcyra\n\nHalcyra"},
        {"Halcyra\n\nHalcyra", INFOPARSE_CLASS, "", NOERROR, "Halcyra"},
        {"Halcyra\n\nHalcyra", INFOPARSE_CLASS, nullptr, NOERROR, "Halcyra"},
        {"Halcyra\n\nHalcyra", INFOPARSE_DESIGN_CLASS, "Halcyra", NOERROR,
         "Halcyra\n\nHalcyra\nHalcyra"},
        {"T\nC\nK\nD", INFOPARSE_CATEGORIES, "", NOERROR, "T\n\nK\nD"},
        {"T\nC\nK\nD\nafter", INFOPARSE_DESIGN_CLASS, "E", NOERROR, "T\nC\nK\nE\nafter"},
        {"", INFOPARSE_TITLE, "New", NOERROR, "New"},
        {"T", INFOPARSE_CLASS, "two\nlines", ERR_BAD_PARAM, "T"},
        {"T", 4, "x", ERR_BAD_PARAM, "T"},
        {std::string(120, 't'), INFOPARSE_CLASS, "123456", ERR_DBINFO_TOO_LONG,
         std::string(120, 't')},
        {std::string(120, 't'), INFOPARSE_CLASS, "12345", NOERROR,
         std::string(120, 't') + "\n\n12345"},
    };
    for (const auto &c : cases) {
        char info[NSF_INFO_SIZE] = {};
        std::memcpy(info, c.info.c_str(), c.info.size() + 1);
        EXPECT_EQ(NSFDbInfoModify(info, c.what, c.value), c.status)
            << "part " << c.what << " of \"" << c.info << "\"";
        EXPECT_EQ(info, c.expected) << "part " << c.what << " of \"" << c.info << "\"";
    }
    EXPECT_EQ(NSFDbInfoModify(nullptr, 0, "x"), ERR_BAD_PARAM);
}

class DbInfoTest : public nsf_test::NsfTest {
  protected:
    void TearDown() override {
        StandinFaultClear();
        nsf_test::NsfTest::TearDown();
    }
    std::string Info(DBHANDLE db) {
        char info[NSF_INFO_SIZE];
        std::memset(info, 'S', sizeof info);
        STATUS status = NSFDbInfoGet(db, info);
        return status == NOERROR ? std::string(info) : "<status " + std::to_string(status) + ">";
    }
    OID IconOid(DBHANDLE db) {
        NOTEHANDLE icon = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
        OID oid = nsf_test::NoteOid(icon);
        NSFNoteClose(icon);
        return oid;
    }
};

TEST_F(DbInfoTest, TheInformationIsTheIconNotesTitleAndSetStoresIt) {
    DBHANDLE db = CreateAndOpen("apps/HCR.ntf");
    EXPECT_EQ(Info(db), "HCR");
    const OID before = IconOid(db);

    char info[NSF_INFO_SIZE] = {};
    ASSERT_NOERROR(NSFDbInfoGet(db, info));
    ASSERT_NOERROR(NSFDbInfoModify(info, INFOPARSE_TITLE, "Halcyra"));
    ASSERT_NOERROR(NSFDbInfoModify(info, INFOPARSE_CLASS, "Halcyra"));
    ASSERT_NOERROR(NSFDbInfoSet(db, info));
    EXPECT_EQ(Info(db), "Halcyra\n\nHalcyra");
    const OID after = IconOid(db);
    EXPECT_EQ(after.Sequence, before.Sequence + 1);
    EXPECT_EQ(std::memcmp(&after.File, &before.File, sizeof(TIMEDATE) * 2), 0) << "same note";

    // One "$TITLE", in its place, whatever the note held before.
    NOTEHANDLE icon = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    ASSERT_NOERROR(NSFItemAppend(icon, ITEM_SUMMARY, "$TITLE", 6, TYPE_TEXT, "second", 6));
    ASSERT_NOERROR(NSFItemSetText(icon, "$Flags", "", 0));
    ASSERT_NOERROR(NSFNoteUpdate(icon, 0));
    ASSERT_NOERROR(NSFNoteClose(icon));
    ASSERT_NOERROR(NSFDbInfoSet(db, "Other"));
    ASSERT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    EXPECT_EQ(nsf_test::ItemNames(icon), (std::vector<std::string>{"$TITLE", "$Flags"}));
    EXPECT_EQ(Text(icon, "$TITLE"), "Other");
    ASSERT_NOERROR(NSFNoteClose(icon));

    // A text too long for the information is refused and changes nothing.
    EXPECT_EQ(NSFDbInfoSet(db, std::string(NSF_INFO_SIZE, 'x').c_str()), ERR_DBINFO_TOO_LONG);
    EXPECT_NOERROR(NSFDbInfoSet(db, std::string(NSF_INFO_SIZE - 1, 'x').c_str()));
    EXPECT_EQ(Info(db), std::string(NSF_INFO_SIZE - 1, 'x'));
    EXPECT_EQ(NSFDbInfoSet(db, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(NSFDbInfoGet(db, nullptr), ERR_BAD_PARAM);
    NSFDbClose(db);
}

TEST_F(DbInfoTest, ALongerTitleIsCutAndADatabaseWithoutIconNoteGetsOne) {
    DBHANDLE db = CreateAndOpen("long.nsf");
    NOTEHANDLE icon = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    // 126 bytes, then a character of three bytes that does not fit whole.
    const std::string title = std::string(126, 't') + "\x10\x82\x01" + "more";
    ASSERT_NOERROR(NSFItemSetText(icon, "$TITLE", title.data(), static_cast<WORD>(title.size())));
    ASSERT_NOERROR(NSFNoteUpdate(icon, 0));
    const NOTEID iconId = nsf_test::NoteId(icon);
    ASSERT_NOERROR(NSFNoteClose(icon));
    EXPECT_EQ(Info(db), std::string(126, 't'));

    ASSERT_NOERROR(NSFNoteDelete(db, iconId, 0));
    char info[NSF_INFO_SIZE] = "sentinel";
    EXPECT_EQ(NSFDbInfoGet(db, info), ERR_SPECIAL_ID);
    EXPECT_STREQ(info, "");
    ASSERT_NOERROR(NSFDbInfoSet(db, "Back\n\nAgain"));
    EXPECT_EQ(Info(db), "Back\n\nAgain");
    NSFDbClose(db);
}

TEST_F(DbInfoTest, AReopenedHandleLivesOnItsOwn) {
    DBHANDLE db = CreateAndOpen("reopen.nsf");
    DBHANDLE again = NULLHANDLE;
    ASSERT_NOERROR(NSFDbReopen(db, &again));
    EXPECT_NE(again, db);
    ASSERT_NOERROR(NSFDbClose(db));
    const NOTEID id = StoreNote(again, {{"Form", "Memo"}});
    EXPECT_NE(id, 0u);
    EXPECT_EQ(Info(again), "reopen");
    DBHANDLE third = 0xDEAD;
    EXPECT_EQ(NSFDbReopen(db, &third), ERR_INVALID_HANDLE);
    EXPECT_EQ(third, NULLHANDLE);
    EXPECT_EQ(NSFDbReopen(again, nullptr), ERR_BAD_PARAM);
    ASSERT_NOERROR(NSFDbClose(again));
}

TEST_F(DbInfoTest, EveryCallFailsAtItsFaultPoint) {
    DBHANDLE db = CreateAndOpen("f.nsf");
    char info[NSF_INFO_SIZE] = "T";
    DBHANDLE again = NULLHANDLE;
    const struct {
        const char *point;
        const char *path;
        std::function<STATUS()> call;
    } cases[] = {
        {"NSFDbInfoGet", "f.nsf", [&] { return NSFDbInfoGet(db, info); }},
        {"NSFDbInfoSet", "f.nsf", [&] { return NSFDbInfoSet(db, "X"); }},
        {"NSFDbReopen", "f.nsf", [&] { return NSFDbReopen(db, &again); }},
        {"NSFDbInfoParse", nullptr, [&] { return NSFDbInfoParse("T", 0, info, sizeof info); }},
        {"NSFDbInfoModify", nullptr, [&] { return NSFDbInfoModify(info, 0, "X"); }},
    };
    for (const auto &c : cases) {
        StandinFaultInject({c.point, ERR_FAULT_INJECTED, 0, 0, c.path});
        EXPECT_EQ(c.call(), ERR_FAULT_INJECTED) << c.point;
        StandinFaultClear();
    }
    EXPECT_EQ(Info(db), "f");
    EXPECT_EQ(again, NULLHANDLE);
    NSFDbClose(db);
}

}  // namespace
