#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "nsf_raw_sqlite.h"
#include "nsf_test_util.h"
#include "os_error.h"
#include "standin/fault.h"

namespace {

using nsf_test::ItemNames;
using nsf_test::NoteId;
using nsf_test::NoteOid;
using nsf_test::Text;
using nsf_test::TextList;
using nsf_test::ValueBytes;

class NoteTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        NsfTest::SetUp();
        db_ = CreateAndOpen("mail/jdoe.nsf");
    }
    void TearDown() override {
        EXPECT_NOERROR(NSFDbClose(db_));
        NsfTest::TearDown();
    }
    NOTEHANDLE Open(NOTEID id) {
        NOTEHANDLE note = NULLHANDLE;
        EXPECT_NOERROR(NSFNoteOpen(db_, id, 0, &note));
        return note;
    }
    DBHANDLE db_ = NULLHANDLE;
};

TEST_F(NoteTest, NewNoteGetsItsIdentityOnFirstUpdateAndItemsSurviveAsWritten) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    EXPECT_EQ(NoteId(note), 0u);
    WORD noteClass = 0;
    NSFNoteGetInfo(note, _NOTE_CLASS, &noteClass);
    EXPECT_EQ(noteClass, NOTE_CLASS_DOCUMENT);
    EXPECT_EQ(NoteOid(note).Sequence, 0u);

    auto list = TextList({"LocalDomainServers", "[SysAdmin]"});
    ASSERT_NOERROR(NSFItemSetText(note, "Form", "FServerLicense", MAXWORD));
    ASSERT_NOERROR(NSFItemAppend(note, ITEM_SUMMARY | ITEM_READWRITERS | ITEM_NAMES, "DocAuthor", 9,
                                 TYPE_TEXT_LIST, list.data(), list.size()));
    NUMBER number = 2.5;
    ASSERT_NOERROR(NSFItemSetNumber(note, "Count", &number));
    TIMEDATE when{{123456, 2460000}};
    ASSERT_NOERROR(NSFItemSetTime(note, "When", &when));
    auto second = TextList({"CN=Jane Roe/O=Acme"});
    ASSERT_NOERROR(
        NSFItemAppend(note, 0x0064, "DocAuthor", 9, TYPE_TEXT_LIST, second.data(), second.size()));
    const unsigned char raw[] = {1, 0, 2, 0, 0xFF};
    ASSERT_NOERROR(
        NSFItemAppend(note, ITEM_SIGN, "$AssistInfo", 11, TYPE_ASSISTANT_INFO, raw, sizeof raw));

    TIMEDATE before = nsf_test::NoteOid(note).SequenceTime;
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    NOTEID id = NoteId(note);
    EXPECT_NE(id, 0u);
    OID oid = NoteOid(note);
    EXPECT_EQ(oid.Sequence, 1u);
    EXPECT_NE(oid.SequenceTime.Innards[1], before.Innards[1]) << "sequence time set";
    EXPECT_TRUE(oid.File.Innards[0] | oid.File.Innards[1] | oid.Note.Innards[0] |
                oid.Note.Innards[1])
        << "a UNID";
    TIMEDATE modified{};
    NSFNoteGetInfo(note, _NOTE_MODIFIED, &modified);
    EXPECT_EQ(modified.Innards[0], oid.SequenceTime.Innards[0]);
    EXPECT_EQ(modified.Innards[1], oid.SequenceTime.Innards[1]);
    ASSERT_NOERROR(NSFNoteClose(note));

    note = Open(id);
    EXPECT_EQ(ItemNames(note), (std::vector<std::string>{"Form", "DocAuthor", "Count", "When",
                                                         "DocAuthor", "$AssistInfo"}));
    EXPECT_EQ(NoteOid(note).Sequence, 1u);
    OID reread = NoteOid(note);
    EXPECT_EQ(std::memcmp(&reread, &oid, sizeof oid), 0) << "the stored OID";
    EXPECT_EQ(Text(note, "form"), "FServerLicense") << "names without regard to case";
    NUMBER count = 0;
    EXPECT_TRUE(NSFItemGetNumber(note, "COUNT", &count));
    EXPECT_EQ(count, 2.5);
    TIMEDATE got{};
    EXPECT_TRUE(NSFItemGetTime(note, "When", &got));
    EXPECT_EQ(got.Innards[0], when.Innards[0]);
    EXPECT_EQ(got.Innards[1], when.Innards[1]);
    WORD type = 0;
    EXPECT_EQ(ValueBytes(note, "$AssistInfo", &type),
              std::string(reinterpret_cast<const char *>(raw), sizeof raw));
    EXPECT_EQ(type, TYPE_ASSISTANT_INFO);

    // The second item of a shared name, found with a named walk.
    BLOCKID first, next, value;
    WORD flags = 0;
    ASSERT_NOERROR(NSFItemInfo(note, "DocAuthor", 9, &first, nullptr, nullptr, nullptr));
    ASSERT_NOERROR(NSFItemInfoNext(note, first, "docauthor", 9, &next, &type, &value, nullptr));
    NSFItemQuery(note, next, nullptr, 0, nullptr, &flags, nullptr, nullptr, nullptr);
    EXPECT_EQ(flags, 0x0064);
    EXPECT_EQ(type, TYPE_TEXT_LIST);
    BLOCKID after;
    EXPECT_EQ(NSFItemInfoNext(note, next, "DocAuthor", 9, &after, nullptr, nullptr, nullptr),
              ERR_ITEM_NOT_FOUND);
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, EveryUpdateRaisesTheSequence) {
    NOTEID id = StoreNote(db_, {{"Subject", "v1"}});
    OID first{};
    for (DWORD round = 0; round < 2; round++) {
        NOTEHANDLE note = Open(id);
        if (round == 0)
            first = NoteOid(note);
        ASSERT_NOERROR(NSFNoteUpdate(note, 0));  // without changes
        EXPECT_EQ(NoteOid(note).Sequence, 2 + 2 * round);
        ASSERT_NOERROR(NSFNoteUpdate(note, 0));  // the same copy once more
        EXPECT_EQ(NoteOid(note).Sequence, 3 + 2 * round);
        EXPECT_NOERROR(NSFNoteClose(note));
    }
    NOTEHANDLE note = Open(id);
    OID last = NoteOid(note);
    EXPECT_EQ(last.Sequence, 5u);
    EXPECT_EQ(std::memcmp(&last.File, &first.File, sizeof(UNID)), 0) << "the UNID never changes";
    EXPECT_GE((uint64_t{last.SequenceTime.Innards[1]} << 32) | last.SequenceTime.Innards[0],
              (uint64_t{first.SequenceTime.Innards[1]} << 32) | first.SequenceTime.Innards[0]);
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, ValueBlocksLockAsTypeWordThenBytes) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    ASSERT_NOERROR(NSFItemSetText(note, "Subject", "Hello", 5));
    BLOCKID item, value;
    WORD type = 0;
    DWORD length = 0;
    ASSERT_NOERROR(NSFItemInfo(note, "Subject", 7, &item, &type, &value, &length));
    EXPECT_EQ(type, TYPE_TEXT);
    EXPECT_EQ(length, 7u) << "the type word counts";
    const unsigned char *p = OSLockBlock(unsigned char, value);
    ASSERT_NE(p, nullptr);
    WORD stored;
    std::memcpy(&stored, p, 2);
    EXPECT_EQ(stored, TYPE_TEXT);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(p) + 2, 5), "Hello");
    OSUnlockBlock(value);

    EXPECT_EQ(OSMemFree(value.pool), ERR_BAD_PARAM) << "an item value dies with its note";
    EXPECT_EQ(OSMemRealloc(value.pool, 100), ERR_BAD_PARAM);

    // A change made in place through the block is what the next update stores.
    char *w = OSLockBlock(char, value);
    w[2] = 'J';
    OSUnlockBlock(value);
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    NOTEID id = NoteId(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_EQ(OSLockObject(value.pool), nullptr) << "freed with the note";
    note = Open(id);
    EXPECT_EQ(Text(note, "Subject"), "Jello");
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, TextWithNulBytesAndBoundedBuffers) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    const char message[] = "line one\0line two\0";
    ASSERT_NOERROR(NSFItemSetText(note, "Body", message, sizeof message - 1));
    ASSERT_NOERROR(NSFItemSetText(note, "Empty", nullptr, 0));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    NOTEID id = NoteId(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    note = Open(id);
    EXPECT_EQ(Text(note, "Body"), std::string(message, sizeof message - 1));

    struct Case {
        WORD size;
        size_t copied;
    };
    const Case cases[] = {{1, 0}, {2, 1}, {10, 9}, {18, 17}, {19, 18}, {100, 18}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        char buffer[128];
        std::memset(buffer, '#', sizeof buffer);
        WORD got = NSFItemGetText(note, "Body", buffer, c.size);
        EXPECT_EQ(got, c.copied);
        EXPECT_EQ(buffer[c.copied], '\0') << "always terminated";
        EXPECT_EQ(std::memcmp(buffer, message, c.copied), 0);
        for (size_t i = c.size; i < sizeof buffer; i++)
            ASSERT_EQ(buffer[i], '#') << "written past the buffer at " << i;
    }
    char untouched = '#';
    EXPECT_EQ(NSFItemGetText(note, "Body", &untouched, 0), 0);
    EXPECT_EQ(untouched, '#');

    char buffer[16] = "garbage";
    EXPECT_EQ(NSFItemGetText(note, "Empty", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    std::strcpy(buffer, "garbage");
    EXPECT_EQ(NSFItemGetText(note, "Missing", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    NUMBER n = 1;
    ASSERT_NOERROR(NSFItemSetNumber(note, "Number", &n));
    std::strcpy(buffer, "garbage");
    EXPECT_EQ(NSFItemGetText(note, "Number", buffer, sizeof buffer), 0) << "not a text";
    EXPECT_STREQ(buffer, "");
    EXPECT_FALSE(NSFItemGetNumber(note, "Body", &n));
    TIMEDATE t;
    EXPECT_FALSE(NSFItemGetTime(note, "Number", &t));
    EXPECT_FALSE(NSFItemGetTime(note, "Missing", &t));
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, LongTextsUseTheWholeSixteenBitLength) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    std::string big(65534, 'x');
    big[30000] = '\0';
    ASSERT_NOERROR(NSFItemSetText(note, "Big", big.data(), static_cast<WORD>(big.size())));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    NOTEID id = NoteId(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    note = Open(id);
    std::vector<char> buffer(70000);
    EXPECT_EQ(NSFItemGetText(note, "Big", buffer.data(), 65535), 65534);
    EXPECT_EQ(std::string(buffer.data(), 65534), big);
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, TextListEntries) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    auto list = TextList({"Alpha", "", "Gamma Delta"});
    ASSERT_NOERROR(
        NSFItemAppend(note, ITEM_SUMMARY, "List", 4, TYPE_TEXT_LIST, list.data(), list.size()));
    ASSERT_NOERROR(NSFItemSetText(note, "Single", "One", MAXWORD));
    auto empty = TextList({});
    ASSERT_NOERROR(NSFItemAppend(note, 0, "None", 4, TYPE_TEXT_LIST, empty.data(), empty.size()));

    EXPECT_EQ(NSFItemGetTextListEntries(note, "List"), 3);
    EXPECT_EQ(NSFItemGetTextListEntries(note, "Single"), 1) << "a text is one entry";
    EXPECT_EQ(NSFItemGetTextListEntries(note, "None"), 0);
    EXPECT_EQ(NSFItemGetTextListEntries(note, "Missing"), 0);
    struct Case {
        const char *item;
        WORD position;
        const char *text;
    };
    const Case cases[] = {{"List", 0, "Alpha"}, {"List", 1, ""},      {"List", 2, "Gamma Delta"},
                          {"List", 3, ""},      {"Single", 0, "One"}, {"Single", 1, ""},
                          {"None", 0, ""},      {"Missing", 0, ""}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.item) + " " + std::to_string(c.position));
        char buffer[64] = "garbage";
        WORD length = NSFItemGetTextListEntry(note, c.item, c.position, buffer, sizeof buffer);
        EXPECT_EQ(length, std::strlen(c.text));
        EXPECT_STREQ(buffer, c.text);
    }
    char small[6];
    EXPECT_EQ(NSFItemGetTextListEntry(note, "List", 2, small, sizeof small), 5);
    EXPECT_STREQ(small, "Gamma");
    EXPECT_EQ(Text(note, "List"), "Alpha") << "the text of a list is its first entry";

    // Lists that do not hold what they say are refused, and nothing is added.
    std::vector<unsigned char> bad = TextList({"abc", "def"});
    bad.pop_back();
    EXPECT_EQ(NSFItemAppend(note, 0, "Bad", 3, TYPE_TEXT_LIST, bad.data(), bad.size()),
              ERR_BAD_PARAM);
    const unsigned char noCount[] = {5};
    EXPECT_EQ(NSFItemAppend(note, 0, "Bad", 3, TYPE_TEXT_LIST, noCount, 1), ERR_BAD_PARAM);
    const unsigned char shortNumber[] = {1, 2, 3};
    EXPECT_EQ(NSFItemAppend(note, 0, "Bad", 3, TYPE_NUMBER, shortNumber, 3), ERR_BAD_PARAM);
    EXPECT_EQ(NSFItemAppend(note, 0, "Bad", 3, TYPE_TIME, shortNumber, 3), ERR_BAD_PARAM);
    EXPECT_EQ(ValueBytes(note, "Bad"), "<missing>");
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, ADamagedListInMemoryReadsShortNeverPastItsEnd) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    auto list = TextList({"abc", "defgh"});
    ASSERT_NOERROR(NSFItemAppend(note, 0, "List", 4, TYPE_TEXT_LIST, list.data(), list.size()));
    BLOCKID value;
    ASSERT_NOERROR(NSFItemInfo(note, "List", 4, nullptr, nullptr, &value, nullptr));
    // The caller overwrites the second length through the block.
    unsigned char *p = OSLockBlock(unsigned char, value);
    WORD huge = 60000;
    std::memcpy(p + 2 + 2 + 2, &huge, 2);
    OSUnlockBlock(value);
    EXPECT_EQ(NSFItemGetTextListEntries(note, "List"), 1);
    char buffer[16];
    EXPECT_EQ(NSFItemGetTextListEntry(note, "List", 0, buffer, sizeof buffer), 3);
    EXPECT_EQ(NSFItemGetTextListEntry(note, "List", 1, buffer, sizeof buffer), 0);
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, SetCallsReplaceEveryItemOfTheNameDeleteRemovesTheFirst) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    ASSERT_NOERROR(NSFItemSetText(note, "A", "1", MAXWORD));
    ASSERT_NOERROR(NSFItemAppend(note, 0, "Dup", 3, TYPE_TEXT, "x", 1));
    ASSERT_NOERROR(NSFItemSetText(note, "B", "2", MAXWORD));
    ASSERT_NOERROR(NSFItemAppend(note, 0, "DUP", 3, TYPE_TEXT, "y", 1));
    ASSERT_NOERROR(NSFItemAppend(note, 0, "dup", 3, TYPE_TEXT, "z", 1));
    EXPECT_EQ(ItemNames(note), (std::vector<std::string>{"A", "Dup", "B", "DUP", "dup"}));

    ASSERT_NOERROR(NSFItemDelete(note, "dUp", 3));
    EXPECT_EQ(ItemNames(note), (std::vector<std::string>{"A", "B", "DUP", "dup"}));
    EXPECT_EQ(Text(note, "Dup"), "y");

    NUMBER n = 7;
    ASSERT_NOERROR(NSFItemSetNumber(note, "Dup", &n));
    EXPECT_EQ(ItemNames(note), (std::vector<std::string>{"A", "B", "Dup"}))
        << "every older item of the name goes; the new one comes last";
    ASSERT_NOERROR(NSFItemSetText(note, "A", "new", MAXWORD));
    EXPECT_EQ(ItemNames(note), (std::vector<std::string>{"B", "Dup", "A"}));
    WORD flags = 0;
    BLOCKID item;
    ASSERT_NOERROR(NSFItemInfo(note, "A", 1, &item, nullptr, nullptr, nullptr));
    NSFItemQuery(note, item, nullptr, 0, nullptr, &flags, nullptr, nullptr, nullptr);
    EXPECT_EQ(flags, ITEM_SUMMARY);

    EXPECT_EQ(NSFItemDelete(note, "Missing", 7), ERR_ITEM_NOT_FOUND);
    EXPECT_EQ(NSFItemDelete(note, "A", 0), ERR_BAD_ITEM_NAME);
    EXPECT_EQ(NSFItemDelete(note, nullptr, 3), ERR_BAD_ITEM_NAME);
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, ItemNamesUpTo255Bytes) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    std::string longest(255, 'n'), tooLong(256, 'n');
    EXPECT_NOERROR(NSFItemSetText(note, longest.c_str(), "v", 1));
    EXPECT_EQ(NSFItemSetText(note, tooLong.c_str(), "v", 1), ERR_BAD_ITEM_NAME);
    EXPECT_EQ(NSFItemSetText(note, "", "v", 1), ERR_BAD_ITEM_NAME);
    EXPECT_EQ(NSFItemSetText(note, nullptr, "v", 1), ERR_BAD_ITEM_NAME);
    NUMBER n = 0;
    EXPECT_EQ(NSFItemSetNumber(note, tooLong.c_str(), &n), ERR_BAD_ITEM_NAME);
    EXPECT_EQ(NSFItemAppend(note, 0, tooLong.c_str(), 256, TYPE_TEXT, "v", 1), ERR_BAD_ITEM_NAME);
    EXPECT_EQ(NSFItemAppend(note, 0, "x", 0, TYPE_TEXT, "v", 1), ERR_BAD_ITEM_NAME);
    EXPECT_EQ(NSFItemAppend(note, 0, "x", 1, TYPE_TEXT, nullptr, 1), ERR_BAD_PARAM);
    EXPECT_EQ(NSFItemSetText(note, "x", nullptr, 3), ERR_BAD_PARAM);
    EXPECT_EQ(NSFItemSetNumber(note, "x", nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(NSFItemSetTime(note, "x", nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(ItemNames(note), std::vector<std::string>{longest});

    char name[300];
    WORD length = 0;
    BLOCKID item;
    ASSERT_NOERROR(NSFItemInfo(note, nullptr, 0, &item, nullptr, nullptr, nullptr));
    NSFItemQuery(note, item, name, 11, &length, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(length, 10) << "cut to the buffer";
    EXPECT_EQ(std::string(name), std::string(10, 'n'));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    NOTEID id = NoteId(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    note = Open(id);
    EXPECT_EQ(Text(note, longest.c_str()), "v");
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, DeletingByBlockIdWhileWalking) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    for (const char *name :
         {"Notified_jdoe", "Form", "NOTIFIED_x", "Notified", "NotifiedX", "notified_", "Other"})
        ASSERT_NOERROR(NSFItemSetText(note, name, "v", 1));
    BLOCKID item;
    ASSERT_NOERROR(NSFItemInfo(note, nullptr, 0, &item, nullptr, nullptr, nullptr));
    int removed = 0;
    for (;;) {
        char name[256];
        WORD length = 0;
        NSFItemQuery(note, item, name, sizeof name, &length, nullptr, nullptr, nullptr, nullptr);
        BLOCKID next;
        bool more =
            NSFItemInfoNext(note, item, nullptr, 0, &next, nullptr, nullptr, nullptr) == NOERROR;
        if (length >= 9 && strncasecmp(name, "Notified_", 9) == 0) {
            ASSERT_NOERROR(NSFItemDeleteByBLOCKID(note, item));
            removed++;
            EXPECT_EQ(NSFItemDeleteByBLOCKID(note, item), ERR_ITEM_NOT_FOUND) << "gone already";
            BLOCKID after;
            EXPECT_EQ(NSFItemInfoNext(note, item, nullptr, 0, &after, nullptr, nullptr, nullptr),
                      ERR_ITEM_NOT_FOUND);
            EXPECT_EQ(OSLockBlock(char, item), nullptr) << "its value block is freed";
        }
        if (!more)
            break;
        item = next;
    }
    EXPECT_EQ(removed, 3);
    EXPECT_EQ(ItemNames(note),
              (std::vector<std::string>{"Form", "Notified", "NotifiedX", "Other"}));
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, BlockIdsOfAnotherOrAClosedNoteGiveStatuses) {
    NOTEHANDLE a, b;
    ASSERT_NOERROR(NSFNoteCreate(db_, &a));
    ASSERT_NOERROR(NSFNoteCreate(db_, &b));
    ASSERT_NOERROR(NSFItemSetText(a, "X", "1", 1));
    ASSERT_NOERROR(NSFItemSetText(b, "Y", "2", 1));
    BLOCKID ofA, ofB;
    ASSERT_NOERROR(NSFItemInfo(a, "X", 1, &ofA, nullptr, nullptr, nullptr));
    ASSERT_NOERROR(NSFItemInfo(b, "Y", 1, &ofB, nullptr, nullptr, nullptr));
    EXPECT_EQ(NSFItemDeleteByBLOCKID(a, ofB), ERR_ITEM_NOT_FOUND);
    BLOCKID next;
    EXPECT_EQ(NSFItemInfoNext(a, ofB, nullptr, 0, &next, nullptr, nullptr, nullptr),
              ERR_ITEM_NOT_FOUND);
    char name[16] = "garbage";
    WORD length = 9;
    NSFItemQuery(a, ofB, name, sizeof name, &length, nullptr, nullptr, nullptr, nullptr);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(length, 0);
    EXPECT_EQ(NSFItemDeleteByBLOCKID(a, BLOCKID{ofA.pool, 4}), ERR_ITEM_NOT_FOUND);
    EXPECT_EQ(NSFItemDeleteByBLOCKID(a, BLOCKID{NULLHANDLE, 0}), ERR_ITEM_NOT_FOUND);

    ASSERT_NOERROR(NSFNoteClose(a));
    EXPECT_EQ(NSFItemDeleteByBLOCKID(a, ofA), ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFItemInfoNext(a, ofA, nullptr, 0, &next, nullptr, nullptr, nullptr),
              ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFItemSetText(a, "X", "1", 1), ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFNoteUpdate(a, 0), ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFNoteClose(a), ERR_INVALID_HANDLE);
    EXPECT_EQ(NSFItemGetTextListEntries(a, "X"), 0);
    NSFItemQuery(a, ofA, name, sizeof name, &length, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(OSLockObject(ofA.pool), nullptr);
    EXPECT_EQ(NSFItemDeleteByBLOCKID(db_, ofB), ERR_WRONG_HANDLE_KIND);
    EXPECT_NOERROR(NSFItemDeleteByBLOCKID(b, ofB));
    EXPECT_NOERROR(NSFNoteClose(b));
}

TEST_F(NoteTest, OpenErrorsAndTheIconNote) {
    NOTEHANDLE note = 77;
    EXPECT_EQ(NSFNoteOpen(db_, 0, 0, &note), ERR_INVALID_NOTE);
    EXPECT_EQ(note, NULLHANDLE);
    EXPECT_EQ(NSFNoteOpen(db_, 0x12340, 0, &note), ERR_INVALID_NOTE);
    EXPECT_EQ(NSFNoteOpen(db_, NOTE_ID_SPECIAL | NOTE_CLASS_ACL, 0, &note), ERR_SPECIAL_ID);
    EXPECT_EQ(NSFNoteOpen(db_, 4, 0, nullptr), ERR_BAD_PARAM);

    // The icon note, changed and stored with a forced update.
    NOTEHANDLE icon;
    ASSERT_NOERROR(NSFNoteOpen(db_, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    ASSERT_NOERROR(NSFItemSetText(icon, "$Flags", "O", MAXWORD));
    NUMBER seq = 6;
    ASSERT_NOERROR(NSFItemSetNumber(icon, "$OOOProfSeqNum", &seq));
    ASSERT_NOERROR(NSFNoteUpdate(icon, UPDATE_FORCE));
    EXPECT_NOERROR(NSFNoteClose(icon));
    ASSERT_NOERROR(NSFNoteOpen(db_, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &icon));
    EXPECT_EQ(Text(icon, "$Flags"), "O");
    EXPECT_EQ(Text(icon, "$TITLE"), "jdoe");
    WORD noteClass = 0;
    NSFNoteGetInfo(icon, _NOTE_CLASS, &noteClass);
    EXPECT_EQ(noteClass, NOTE_CLASS_ICON);
    EXPECT_NOERROR(NSFNoteClose(icon));
}

TEST_F(NoteTest, ClassAndFlagsAreStored) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    WORD noteClass = NOTE_CLASS_FILTER, flags = 0x0200;
    NSFNoteSetInfo(note, _NOTE_CLASS, &noteClass);
    NSFNoteSetInfo(note, _NOTE_FLAGS, &flags);
    ASSERT_NOERROR(NSFItemSetText(note, "$TITLE", "OutOfOffice", MAXWORD));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    NOTEID id = NoteId(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    note = Open(id);
    WORD gotClass = 0, gotFlags = 0;
    NSFNoteGetInfo(note, _NOTE_CLASS, &gotClass);
    NSFNoteGetInfo(note, _NOTE_FLAGS, &gotFlags);
    EXPECT_EQ(gotClass, NOTE_CLASS_FILTER);
    EXPECT_EQ(gotFlags, 0x0200);
    EXPECT_NOERROR(NSFNoteClose(note));

    // Info of a closed handle reads as zero rather than as stale memory.
    WORD closedClass = 0xFFFF;
    NSFNoteGetInfo(note, _NOTE_CLASS, &closedClass);
    EXPECT_EQ(closedClass, 0);
}

TEST_F(NoteTest, AGivenUnidIsKeptAndMustBeUnused) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    OID oid{};
    oid.File.Innards[0] = 0x11111111;
    oid.Note.Innards[1] = 0x22222222;
    NSFNoteSetInfo(note, _NOTE_OID, &oid);
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    OID stored = NoteOid(note);
    EXPECT_EQ(stored.File.Innards[0], 0x11111111u);
    EXPECT_EQ(stored.Note.Innards[1], 0x22222222u);
    EXPECT_NOERROR(NSFNoteClose(note));

    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    NSFNoteSetInfo(note, _NOTE_OID, &oid);
    EXPECT_EQ(NSFNoteUpdate(note, 0), ERR_CONFLICT) << "two notes cannot share a UNID";
    EXPECT_EQ(NoteId(note), 0u);
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, ConflictingUpdatesOfOneNote) {
    NOTEID id = StoreNote(db_, {{"Subject", "base"}});
    NOTEHANDLE a = Open(id), b = Open(id);
    ASSERT_NOERROR(NSFItemSetText(a, "Subject", "from a", MAXWORD));
    ASSERT_NOERROR(NSFItemSetText(b, "Subject", "from b", MAXWORD));
    ASSERT_NOERROR(NSFNoteUpdate(a, 0));
    EXPECT_EQ(NSFNoteUpdate(b, 0), ERR_CONFLICT);
    EXPECT_EQ(NoteOid(b).Sequence, 1u) << "the failed copy keeps what it had";
    EXPECT_EQ(Text(b, "Subject"), "from b");
    NOTEHANDLE check = Open(id);
    EXPECT_EQ(Text(check, "Subject"), "from a");
    EXPECT_NOERROR(NSFNoteClose(check));

    ASSERT_NOERROR(NSFNoteUpdate(b, UPDATE_FORCE));
    EXPECT_EQ(NoteOid(b).Sequence, 3u) << "above the sequence it overwrote";
    ASSERT_NOERROR(NSFItemSetText(a, "Subject", "a again", MAXWORD));
    EXPECT_EQ(NSFNoteUpdate(a, 0), ERR_CONFLICT);
    ASSERT_EQ(NSFNoteUpdate(b, 0), NOERROR) << "its own updates do not conflict";
    EXPECT_NOERROR(NSFNoteClose(a));
    EXPECT_NOERROR(NSFNoteClose(b));
    check = Open(id);
    EXPECT_EQ(Text(check, "Subject"), "from b");
    EXPECT_EQ(NoteOid(check).Sequence, 4u);
    EXPECT_NOERROR(NSFNoteClose(check));
}

TEST_F(NoteTest, AnUpdateFromAnotherProcessIsAConflict) {
    NOTEID id = StoreNote(db_, {{"Subject", "base"}});
    // No connection of this process may be open on the file across fork.
    ASSERT_NOERROR(NSFDbClose(db_));
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    pid_t child = fork();
    if (child == 0) {
        // Opens its copy, lets the parent update the note, then updates its own.
        char byte;
        DBHANDLE db;
        NOTEHANDLE note;
        if (NSFDbOpen("mail/jdoe.nsf", &db) != NOERROR)
            _exit(1);
        if (NSFNoteOpen(db, id, 0, &note) != NOERROR)
            _exit(2);
        if (write(toParent[1], "o", 1) != 1 || read(toChild[0], &byte, 1) != 1)
            _exit(3);
        if (NSFItemSetText(note, "Subject", "child", MAXWORD) != NOERROR)
            _exit(4);
        if (NSFNoteUpdate(note, 0) != ERR_CONFLICT)
            _exit(5);
        if (NSFNoteUpdate(note, UPDATE_FORCE) != NOERROR)
            _exit(6);
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(toParent[0], &byte, 1), 1);
    ASSERT_NOERROR(NSFDbOpen("mail/jdoe.nsf", &db_));
    NOTEHANDLE mine = Open(id);
    ASSERT_NOERROR(NSFItemSetText(mine, "Subject", "parent", MAXWORD));
    ASSERT_NOERROR(NSFNoteUpdate(mine, 0));
    EXPECT_NOERROR(NSFNoteClose(mine));
    ASSERT_EQ(write(toChild[1], "u", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
        close(fd);
    NOTEHANDLE check = Open(id);
    EXPECT_EQ(Text(check, "Subject"), "child") << "its forced update came last";
    EXPECT_EQ(NoteOid(check).Sequence, 3u);
    EXPECT_NOERROR(NSFNoteClose(check));
}

TEST_F(NoteTest, AFailedStepRollsTheWholeUpdateBack) {
    NOTEID id = StoreNote(db_, {{"A", "a1"}, {"B", "b1"}, {"C", "c1"}});
    NOTEHANDLE note = Open(id);
    ASSERT_NOERROR(NSFItemSetText(note, "A", "a2", MAXWORD));
    ASSERT_NOERROR(NSFItemDelete(note, "B", 1));
    ASSERT_NOERROR(NSFItemSetText(note, "D", "d2", MAXWORD));

    // Fail each step of the update in turn, until the update gets through.
    unsigned skip = 0;
    STATUS status;
    for (;; skip++) {
        StandinFaultClear();
        StandinFaultInject({"SQLiteStep", ERR_DB_IO, skip, 1, "mail/jdoe.nsf"});
        status = NSFNoteUpdate(note, 0);
        if (StandinFaultHits("SQLiteStep") == 0)
            break;
        EXPECT_EQ(status, ERR_DB_IO) << "step " << skip;
        StandinFaultClear();
        NOTEHANDLE stored = Open(id);
        EXPECT_EQ(ItemNames(stored), (std::vector<std::string>{"A", "B", "C"})) << "step " << skip;
        EXPECT_EQ(Text(stored, "A"), "a1");
        EXPECT_EQ(NoteOid(stored).Sequence, 1u);
        EXPECT_NOERROR(NSFNoteClose(stored));
        ASSERT_LT(skip, 50u);
    }
    StandinFaultClear();
    EXPECT_GE(skip, 5u) << "the update has several steps, each one failed once";
    EXPECT_NOERROR(status);
    EXPECT_EQ(NoteOid(note).Sequence, 2u);
    EXPECT_NOERROR(NSFNoteClose(note));
    note = Open(id);
    EXPECT_EQ(ItemNames(note), (std::vector<std::string>{"C", "A", "D"}));
    EXPECT_NOERROR(NSFNoteClose(note));

    StandinFaultInject({"NSFNoteUpdate", ERR_DB_IO, 0, 1, "mail/jdoe.nsf"});
    note = Open(id);
    EXPECT_EQ(NSFNoteUpdate(note, 0), ERR_DB_IO);
    EXPECT_NOERROR(NSFNoteUpdate(note, 0));
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, DeletingLeavesAStubThatNoCallReadsAsANote) {
    NOTEID id = StoreNote(db_, {{"Subject", "doomed"}, {"Body", "text"}});
    NOTEID other = StoreNote(db_, {{"Subject", "stays"}});
    NOTEHANDLE copy = Open(id);
    ASSERT_NOERROR(NSFNoteDelete(db_, id, 0));

    NOTEHANDLE note = 77;
    EXPECT_EQ(NSFNoteOpen(db_, id, 0, &note), ERR_NOTE_DELETED);
    EXPECT_EQ(note, NULLHANDLE);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_NOTE), 1u) << "only the copy";
    EXPECT_EQ(nsf_test::NoteIds(db_), (std::vector<NOTEID>{4, id, other}))
        << "the stub keeps its note ID";
    const std::string path = dataFile("mail/jdoe.nsf");
    EXPECT_EQ(nsf_test::RawRows(path, "SELECT seq, deleted, note_class FROM notes WHERE note_id=" +
                                          std::to_string(id)),
              "2|1|1\n")
        << "the stub's sequence is raised, its class kept";
    EXPECT_EQ(
        nsf_test::RawInt(path, "SELECT count(*) FROM items WHERE note_id=" + std::to_string(id)), 0)
        << "its items are gone";

    EXPECT_EQ(NSFNoteUpdate(copy, 0), ERR_NOTE_DELETED) << "a copy opened before";
    EXPECT_EQ(NSFNoteUpdate(copy, UPDATE_FORCE), ERR_NOTE_DELETED) << "forced too";
    EXPECT_EQ(Text(copy, "Subject"), "doomed") << "the copy keeps what it had";
    EXPECT_NOERROR(NSFNoteClose(copy));

    EXPECT_EQ(NSFNoteDelete(db_, id, 0), ERR_NOTE_DELETED) << "a stub already";
    EXPECT_EQ(NSFNoteDelete(db_, 0, 0), ERR_INVALID_NOTE);
    EXPECT_EQ(NSFNoteDelete(db_, 0x7FFF0, 0), ERR_INVALID_NOTE);
    EXPECT_EQ(NSFNoteDelete(NULLHANDLE, other, 0), ERR_INVALID_HANDLE);
    note = Open(other);
    EXPECT_EQ(Text(note, "Subject"), "stays");
    EXPECT_EQ(NSFNoteDelete(note, other, 0), ERR_WRONG_HANDLE_KIND);
    EXPECT_NOERROR(NSFNoteClose(note));

    StandinFaultInject({"NSFNoteDelete", ERR_DB_IO, 0, 1, "mail/jdoe.nsf"});
    EXPECT_EQ(NSFNoteDelete(db_, other, 0), ERR_DB_IO);
    EXPECT_EQ(StandinFaultHits("NSFNoteDelete"), 1u);
    EXPECT_NOERROR(NSFNoteDelete(db_, other, 0));
    EXPECT_EQ(NSFNoteOpen(db_, other, 0, &note), ERR_NOTE_DELETED);
}

// The busy-time entry is found again by its UNID: a note that the UNID
// names, a stub of one, and one that no note has each read their own way.
TEST_F(NoteTest, OpenByUnidFindsTheNoteAndTellsAStubFromAnUnknownUnid) {
    const NOTEID id = StoreNote(db_, {{"Form", "Appointment"}});
    const NOTEID doomed = StoreNote(db_, {{"Form", "Appointment"}});
    NOTEHANDLE note = Open(id);
    const OID oid = NoteOid(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    note = Open(doomed);
    const OID doomedOid = NoteOid(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    ASSERT_NOERROR(NSFNoteDelete(db_, doomed, 0));

    const UNID unid{oid.File, oid.Note};
    ASSERT_NOERROR(NSFNoteOpenByUNID(db_, &unid, 0, &note));
    EXPECT_EQ(NoteId(note), id);
    EXPECT_EQ(Text(note, "Form"), "Appointment");
    EXPECT_NOERROR(NSFNoteClose(note));

    const UNID stub{doomedOid.File, doomedOid.Note};
    UNID unknown = unid;
    unknown.Note.Innards[0] ^= 1;
    const struct {
        const char *what;
        const UNID *unid;
        STATUS expected;
    } cases[] = {
        {"a stub", &stub, ERR_NOTE_DELETED},
        {"an unknown UNID", &unknown, ERR_UNID_NOT_FOUND},
        {"no UNID", nullptr, ERR_BAD_PARAM},
    };
    for (const auto &c : cases) {
        note = 77;
        EXPECT_EQ(NSFNoteOpenByUNID(db_, c.unid, 0, &note), c.expected) << c.what;
        EXPECT_EQ(note, NULLHANDLE) << c.what;
    }
    EXPECT_EQ(NSFNoteOpenByUNID(db_, &unid, 0, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(NSFNoteOpenByUNID(NULLHANDLE, &unid, 0, &note), ERR_INVALID_HANDLE);
    StandinFaultInject({"NSFNoteOpenByUNID", ERR_DB_IO, 0, 1, "mail/jdoe.nsf"});
    EXPECT_EQ(NSFNoteOpenByUNID(db_, &unid, 0, &note), ERR_DB_IO);
    StandinFaultClear();
}

// The agent's items carry the flags the worker gives them, whatever they
// are; contracting a note changes nothing, as notes are always whole.
TEST_F(NoteTest, AppendedItemsKeepTheirFlagsAndContractingChangesNothing) {
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    const struct {
        const char *name;
        WORD flags;
    } items[] = {{"$MachineName", ITEM_SIGN | ITEM_SUMMARY},
                 {"$UpdatedBy", ITEM_SUMMARY},
                 {"$AssistInfo", ITEM_SIGN},
                 {"Plain", 0}};
    for (const auto &item : items)
        ASSERT_NOERROR(NSFItemAppend(note, item.flags, item.name,
                                     static_cast<WORD>(std::strlen(item.name)), TYPE_TEXT, "v", 1));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    const NOTEID id = NoteId(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    note = NULLHANDLE;
    ASSERT_NOERROR(NSFNoteOpen(db_, id, OPEN_EXPAND, &note));
    const std::vector<std::string> names = ItemNames(note);
    EXPECT_NOERROR(NSFNoteContract(note));
    EXPECT_EQ(ItemNames(note), names);
    for (const auto &item : items) {
        BLOCKID bid{};
        WORD flags = 0xFFFF;
        ASSERT_NOERROR(NSFItemInfo(note, item.name, static_cast<WORD>(std::strlen(item.name)), &bid,
                                   nullptr, nullptr, nullptr));
        NSFItemQuery(note, bid, nullptr, 0, nullptr, &flags, nullptr, nullptr, nullptr);
        EXPECT_EQ(flags, item.flags) << item.name;
    }
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_EQ(NSFNoteContract(note), ERR_INVALID_HANDLE);
    StandinFaultInject({"NSFNoteContract", ERR_FAULT_INJECTED, 0, 1, nullptr});
    EXPECT_EQ(NSFNoteContract(note), ERR_FAULT_INJECTED);
    StandinFaultClear();
}

TEST_F(NoteTest, AFailedDeleteChangesNothing) {
    NOTEID id = StoreNote(db_, {{"A", "a1"}, {"B", "b1"}});
    unsigned skip = 0;
    STATUS status;
    for (;; skip++) {
        StandinFaultClear();
        StandinFaultInject({"SQLiteStep", ERR_DB_IO, skip, 1, "mail/jdoe.nsf"});
        status = NSFNoteDelete(db_, id, 0);
        if (StandinFaultHits("SQLiteStep") == 0)
            break;
        EXPECT_EQ(status, ERR_DB_IO) << "step " << skip;
        StandinFaultClear();
        NOTEHANDLE stored = Open(id);
        EXPECT_EQ(ItemNames(stored), (std::vector<std::string>{"A", "B"})) << "step " << skip;
        EXPECT_EQ(NoteOid(stored).Sequence, 1u);
        EXPECT_NOERROR(NSFNoteClose(stored));
        ASSERT_LT(skip, 50u);
    }
    StandinFaultClear();
    EXPECT_GE(skip, 4u) << "the deletion has several steps, each one failed once";
    EXPECT_NOERROR(status);
    NOTEHANDLE note;
    EXPECT_EQ(NSFNoteOpen(db_, id, 0, &note), ERR_NOTE_DELETED);
}

TEST_F(NoteTest, ADeletedSpecialNoteGivesItsPlaceToTheNextOfItsClass) {
    NOTEID icon = 0;
    ASSERT_NOERROR(NSFDbGetSpecialNoteID(db_, SPECIAL_ID_NOTE | NOTE_CLASS_ICON, &icon));
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    WORD iconClass = NOTE_CLASS_ICON;
    NSFNoteSetInfo(note, _NOTE_CLASS, &iconClass);
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    NOTEID second = NoteId(note);
    EXPECT_NOERROR(NSFNoteClose(note));

    NOTEID found = 0;
    ASSERT_NOERROR(NSFDbGetSpecialNoteID(db_, SPECIAL_ID_NOTE | NOTE_CLASS_ICON, &found));
    EXPECT_EQ(found, icon) << "the first of its class";
    ASSERT_NOERROR(NSFNoteDelete(db_, icon, 0));
    ASSERT_NOERROR(NSFDbGetSpecialNoteID(db_, SPECIAL_ID_NOTE | NOTE_CLASS_ICON, &found));
    EXPECT_EQ(found, second);

    // A special note that changes its class leaves the place too.
    note = Open(second);
    WORD documentClass = NOTE_CLASS_DOCUMENT;
    NSFNoteSetInfo(note, _NOTE_CLASS, &documentClass);
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_EQ(NSFDbGetSpecialNoteID(db_, SPECIAL_ID_NOTE | NOTE_CLASS_ICON, &found),
              ERR_SPECIAL_ID);
    EXPECT_EQ(NSFNoteOpen(db_, NOTE_ID_SPECIAL | NOTE_CLASS_ICON, 0, &note), ERR_SPECIAL_ID);
}

TEST_F(NoteTest, ItemNamesMatchThroughTheLmbcsCollation) {
    struct Case {
        const char *name, *stored, *asked;
        bool found;
    };
    const Case cases[] = {
        {"ASCII letters", "Subject", "sUBJECT", true},
        {"code page 850 capitals", "\x8Enderung", "\x84NDERUNG", true},  // Ä / ä
        {"several pairs", "\x90t\xA5\x99", "\x82T\xA4\x94", true},       // ÉtÑÖ / étñö
        {"no case: sharp s",
         "Stra\xE1"
         "e",
         "STRASSE", false},
        {"a double-byte character is not folded", "\x10\x41\x42", "\x10\x61\x62", false},
        {"a group-prefixed letter is not folded", "\x01\x8E", "\x01\x84", false},
        {"other bytes exactly", "A-1", "a_1", false},
    };
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    for (const Case &c : cases)
        ASSERT_NOERROR(NSFItemSetText(note, c.stored, c.name, MAXWORD));
    ASSERT_NOERROR(NSFNoteUpdate(note, 0));
    NOTEID id = NoteId(note);
    for (int pass = 0; pass < 2; pass++) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (pass ? " (stored)" : " (in memory)"));
            EXPECT_EQ(Text(note, c.asked), c.found ? c.name : "");
            EXPECT_EQ(Text(note, c.stored), c.name);
        }
        EXPECT_NOERROR(NSFNoteClose(note));
        note = Open(id);
    }
    // A replacing set finds the item under its other case.
    ASSERT_NOERROR(NSFItemSetText(note, "\x84NDERUNG", "new", MAXWORD));
    EXPECT_EQ(ItemNames(note).back(), "\x84NDERUNG");
    EXPECT_EQ(ItemNames(note).size(), sizeof cases / sizeof *cases) << "replaced, not added";
    EXPECT_NOERROR(NSFNoteClose(note));
}

TEST_F(NoteTest, ItemHandlesAreFreedOnEveryPath) {
    DWORD before = StandinHandleCount(STANDIN_HANDLE_MEMORY);
    NOTEID id = StoreNote(db_, {{"A", "1"}, {"B", "2"}});
    NOTEHANDLE note = Open(id);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before + 2);
    ASSERT_NOERROR(NSFItemSetText(note, "A", "3", 1));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before + 2) << "replaced, not added";
    ASSERT_NOERROR(NSFItemDelete(note, "B", 1));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before + 1);
    EXPECT_NOERROR(NSFNoteClose(note));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before);
    StandinFaultInject({"SQLiteStep", ERR_DB_IO, 2, 1, nullptr});
    EXPECT_EQ(NSFNoteOpen(db_, id, 0, &note), ERR_DB_IO) << "a read failing half way";
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_NOTE), 0u);
}

TEST_F(NoteTest, ThreadsSharingOneNoteHandle) {
    NOTEHANDLE note;
    ASSERT_NOERROR(NSFNoteCreate(db_, &note));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([note, t] {
            for (int i = 0; i < 300; i++) {
                std::string name = "T" + std::to_string(t) + "_" + std::to_string(i % 10);
                NSFItemSetText(note, name.c_str(), "v", 1);
                char buffer[8];
                NSFItemGetText(note, name.c_str(), buffer, sizeof buffer);
                if (i % 50 == 0)
                    NSFNoteUpdate(note, UPDATE_FORCE);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(ItemNames(note).size(), 40u);
    ASSERT_NOERROR(NSFNoteUpdate(note, UPDATE_FORCE));
    NOTEID id = NoteId(note);
    EXPECT_NOERROR(NSFNoteClose(note));
    note = Open(id);
    EXPECT_EQ(ItemNames(note).size(), 40u);
    EXPECT_NOERROR(NSFNoteClose(note));
}

// A process killed in the middle of its updates loses at most the update it
// was making: every stored note stays whole.
class CrashTest : public nsf_test::NsfTest {};

constexpr int kCrashItems = 8;

std::string CrashText(long round, int item) {
    return "round " + std::to_string(round) + " item " + std::to_string(item) +
           std::string(700, static_cast<char>('a' + item));
}

int UpdateForever(int ready) {
    DBHANDLE db;
    if (NSFDbOpen("crash.nsf", &db) != NOERROR)
        return 1;
    std::vector<NOTEID> ids;
    for (long round = 1; round < 1000000; round++) {
        NOTEHANDLE note;
        bool fresh = ids.size() < 4 || round % 9 == 0;
        STATUS s =
            fresh ? NSFNoteCreate(db, &note) : NSFNoteOpen(db, ids[round % ids.size()], 0, &note);
        if (s != NOERROR)
            return 2;
        NUMBER number = static_cast<NUMBER>(round);
        if (NSFItemSetNumber(note, "Round", &number) != NOERROR)
            return 3;
        for (int i = 0; i < kCrashItems; i++) {
            std::string name = "Item" + std::to_string(i);
            std::string text = CrashText(round, i);
            if (NSFItemSetText(note, name.c_str(), text.data(), static_cast<WORD>(text.size())) !=
                NOERROR)
                return 4;
        }
        if (NSFNoteUpdate(note, 0) != NOERROR)
            return 5;
        if (fresh)
            ids.push_back(nsf_test::NoteId(note));
        NSFNoteClose(note);
        if (round == 20)
            (void)!write(ready, "r", 1);
    }
    return 0;
}

TEST_F(CrashTest, KilledWriterLeavesEveryStoredNoteWhole) {
    ASSERT_NOERROR(NSFDbCreate("crash.nsf", 0, FALSE));
    for (int attempt = 0; attempt < 3; attempt++) {
        SCOPED_TRACE(attempt);
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_t child = fork();
        if (child == 0) {
            close(pipeFds[0]);
            _exit(UpdateForever(pipeFds[1]));
        }
        close(pipeFds[1]);
        char byte;
        ASSERT_EQ(read(pipeFds[0], &byte, 1), 1) << "the child did not get going";
        close(pipeFds[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 40 * attempt));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << status;

        DBHANDLE db;
        ASSERT_NOERROR(NSFDbOpen("crash.nsf", &db));
        std::vector<NOTEID> ids = nsf_test::NoteIds(db);
        ASSERT_GT(ids.size(), 4u);
        for (size_t n = 1; n < ids.size(); n++) {
            NOTEHANDLE note;
            ASSERT_NOERROR(NSFNoteOpen(db, ids[n], 0, &note));
            NUMBER round = 0;
            ASSERT_TRUE(NSFItemGetNumber(note, "Round", &round)) << "note " << ids[n];
            EXPECT_EQ(nsf_test::ItemNames(note).size(), 1u + kCrashItems);
            for (int i = 0; i < kCrashItems; i++) {
                std::string name = "Item" + std::to_string(i);
                ASSERT_EQ(Text(note, name.c_str()), CrashText(static_cast<long>(round), i))
                    << "note " << ids[n] << " " << name;
            }
            EXPECT_NOERROR(NSFNoteClose(note));
        }
        EXPECT_NOERROR(NSFDbClose(db));
    }
}

}  // namespace
