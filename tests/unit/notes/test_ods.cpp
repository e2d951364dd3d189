// The assistant-information record in its on-disk form, and items appended
// from memory blocks, as the worker rewrites an agent's "$AssistInfo".
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "notes_api.h"
#include "nsf_test_util.h"
#include "standin/fault.h"
#include "test_support.h"

namespace {

using nsf_test::ValueBytes;

std::string Bytes(const void *p, size_t n) {
    return std::string(static_cast<const char *>(p), n);
}

ASSISTANT_INFO Sample() {
    ASSISTANT_INFO info;
    std::memset(&info, 0, sizeof info);
    info.Version = 0x0201;
    info.Trigger = 0x0403;
    info.Search = 0x0605;
    info.IntervalType = 0x0807;
    info.Interval = 0x0C0B0A09;
    info.StartTime = TIMEDATE{{0x100F0E0D, 0x14131211}};
    info.EndTime = TIMEDATE{{0x18171615, 0x1C1B1A19}};
    info.LastRun = TIMEDATE{{0x201F1E1D, 0x24232221}};
    info.RunCount = 0x28272625;
    for (size_t i = 0; i < sizeof info.Reserved; i++)
        info.Reserved[i] = static_cast<BYTE>(0x29 + i);
    return info;
}

TEST(Ods, TheAssistantInformationIsSixtyFourBytesAtTheDocumentedOffsets) {
    EXPECT_EQ(ODSLength(_ASSISTANT_INFO), 64);
    EXPECT_EQ(ODSLength(1), 0);
    const ASSISTANT_INFO info = Sample();
    unsigned char disk[70];
    std::memset(disk, 0xEE, sizeof disk);
    void *at = disk;
    ASSERT_NOERROR(ODSWriteMemory(&at, _ASSISTANT_INFO, &info, 1));
    EXPECT_EQ(at, static_cast<void *>(disk + 64));
    // Each member little-endian, one after the other: the sample's bytes
    // count up from 1.
    for (size_t i = 0; i < 64; i++)
        EXPECT_EQ(disk[i], i + 1) << "byte " << i;
    EXPECT_EQ(disk[64], 0xEE) << "nothing past the record";

    ASSISTANT_INFO back;
    std::memset(&back, 0, sizeof back);
    const void *from = disk;
    ASSERT_NOERROR(ODSReadMemory(&from, _ASSISTANT_INFO, &back, 1));
    EXPECT_EQ(from, static_cast<const void *>(disk + 64));
    EXPECT_EQ(Bytes(&back, sizeof back), Bytes(&info, sizeof info));
}

TEST(Ods, ArraysUnknownTypesAndFaults) {
    ASSISTANT_INFO two[2] = {Sample(), Sample()};
    two[1].Version = 2;
    unsigned char disk[128];
    void *at = disk;
    ASSERT_NOERROR(ODSWriteMemory(&at, _ASSISTANT_INFO, two, 2));
    EXPECT_EQ(at, static_cast<void *>(disk + 128));
    EXPECT_EQ(disk[64], 2);
    EXPECT_EQ(disk[65], 0);

    unsigned char sentinel[8];
    std::memset(sentinel, 0xEE, sizeof sentinel);
    at = sentinel;
    EXPECT_EQ(ODSWriteMemory(&at, 999, two, 1), ERR_ODS_UNKNOWN_TYPE);
    EXPECT_EQ(at, static_cast<void *>(sentinel));
    EXPECT_EQ(sentinel[0], 0xEE);
    const void *from = disk;
    EXPECT_EQ(ODSReadMemory(&from, 999, two, 1), ERR_ODS_UNKNOWN_TYPE);
    EXPECT_EQ(ODSWriteMemory(nullptr, _ASSISTANT_INFO, two, 1), ERR_BAD_PARAM);
    EXPECT_EQ(ODSReadMemory(&from, _ASSISTANT_INFO, nullptr, 1), ERR_BAD_PARAM);
    EXPECT_NOERROR(ODSWriteMemory(nullptr, _ASSISTANT_INFO, nullptr, 0));

    StandinFaultInject({"ODSLength", ERR_FAULT_INJECTED, 0, 0, nullptr});
    EXPECT_EQ(ODSLength(_ASSISTANT_INFO), 0);
    StandinFaultClear();
    StandinFaultInject({"ODSWriteMemory", ERR_FAULT_INJECTED, 0, 0, nullptr});
    EXPECT_EQ(ODSWriteMemory(&at, _ASSISTANT_INFO, two, 1), ERR_FAULT_INJECTED);
    StandinFaultClear();
    StandinFaultInject({"ODSReadMemory", ERR_FAULT_INJECTED, 0, 0, nullptr});
    EXPECT_EQ(ODSReadMemory(&from, _ASSISTANT_INFO, two, 1), ERR_FAULT_INJECTED);
    StandinFaultClear();
}

class AppendByBlockTest : public nsf_test::NsfTest {
  protected:
    void SetUp() override {
        nsf_test::NsfTest::SetUp();
        db_ = CreateAndOpen("agent.nsf");
        ASSERT_NOERROR(NSFNoteCreate(db_, &note_));
    }
    void TearDown() override {
        StandinFaultClear();
        NSFNoteClose(note_);
        NSFDbClose(db_);
        nsf_test::NsfTest::TearDown();
    }
    // A block as the worker makes it: the type word, then the value.
    DHANDLE Block(WORD type, const std::string &value, DWORD room = 0) {
        DHANDLE handle = NULLHANDLE;
        EXPECT_NOERROR(
            OSMemAlloc(MEM_GROWABLE, room ? room : 2 + static_cast<DWORD>(value.size()), &handle));
        char *p = static_cast<char *>(OSLockObject(handle));
        std::memcpy(p, &type, 2);
        std::memcpy(p + 2, value.data(), value.size());
        OSUnlockObject(handle);
        return handle;
    }
    DBHANDLE db_ = NULLHANDLE;
    NOTEHANDLE note_ = NULLHANDLE;
};

// The worker's raise of the record's version: read the old record, write a
// new one of version 2 into a block of its own and append it; the note
// takes the block over, so no handle is left to free.
TEST_F(AppendByBlockTest, TheWorkersVersionRaiseRoundTripsTheShippedRecord) {
    // The mail design's record: 64 bytes, version 1, the rest zero.
    const std::string shipped = std::string("\x01", 1) + std::string(63, '\0');
    ASSERT_NOERROR(NSFItemAppend(note_, ITEM_SIGN, "$AssistInfo", 11, TYPE_ASSISTANT_INFO,
                                 shipped.data(), 64));
    WORD type = 0;
    const std::string old = ValueBytes(note_, "$AssistInfo", &type);
    ASSERT_EQ(type, TYPE_ASSISTANT_INFO);
    ASSERT_EQ(old.size(), ODSLength(_ASSISTANT_INFO));
    ASSISTANT_INFO info;
    const void *from = old.data();
    ASSERT_NOERROR(ODSReadMemory(&from, _ASSISTANT_INFO, &info, 1));
    EXPECT_EQ(info.Version, 1);
    info.Version = 2;

    const DWORD handlesBefore = StandinHandleCount(STANDIN_HANDLE_MEMORY);
    DHANDLE block = NULLHANDLE;
    ASSERT_NOERROR(OSMemAlloc(MEM_GROWABLE, ODSLength(_ASSISTANT_INFO) + 2, &block));
    auto *p = static_cast<unsigned char *>(OSLockObject(block));
    const WORD assistType = TYPE_ASSISTANT_INFO;
    std::memcpy(p, &assistType, 2);
    void *at = p + 2;
    ASSERT_NOERROR(ODSWriteMemory(&at, _ASSISTANT_INFO, &info, 1));
    OSUnlockObject(block);
    ASSERT_NOERROR(NSFItemDelete(note_, "$AssistInfo", 11));
    BLOCKID item{};
    ASSERT_NOERROR(NSFItemAppendByBLOCKID(note_, ITEM_SIGN, "$AssistInfo", 11, {block, 0},
                                          ODSLength(_ASSISTANT_INFO) + 2, &item));
    // The block became the item's: its own handle is gone.
    EXPECT_EQ(OSMemFree(block), ERR_INVALID_HANDLE);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), handlesBefore);
    WORD flags = 0;
    NSFItemQuery(note_, item, nullptr, 0, nullptr, &flags, &type, nullptr, nullptr);
    EXPECT_EQ(flags, ITEM_SIGN);
    EXPECT_EQ(type, TYPE_ASSISTANT_INFO);
    const std::string raised = std::string("\x02", 1) + std::string(63, '\0');
    EXPECT_EQ(ValueBytes(note_, "$AssistInfo"), raised);
    ASSERT_NOERROR(NSFNoteUpdate(note_, 0));
    EXPECT_EQ(ValueBytes(note_, "$AssistInfo"), raised);
}

TEST_F(AppendByBlockTest, ABlockAtAnOffsetAndARefusedBlockThatStaysTheCallers) {
    // A block inside a larger one: from its offset, value_len bytes.
    DHANDLE pool = NULLHANDLE;
    ASSERT_NOERROR(OSMemAlloc(0, 32, &pool));
    char *p = static_cast<char *>(OSLockObject(pool));
    const WORD text = TYPE_TEXT;
    std::memcpy(p + 10, &text, 2);
    std::memcpy(p + 12, "inside", 6);
    OSUnlockObject(pool);
    ASSERT_NOERROR(NSFItemAppendByBLOCKID(note_, ITEM_SUMMARY, "Part", 4, {pool, 10}, 8, nullptr));
    EXPECT_EQ(nsf_test::Text(note_, "Part"), "inside");

    const struct {
        const char *what;
        WORD type;
        std::string value;
        DWORD room;
        WORD offset;
        DWORD length;  // 0: the value's
        STATUS expected;
    } cases[] = {
        {"a length below the type word", TYPE_TEXT, "x", 0, 0, 1, ERR_BAD_PARAM},
        {"a length past the block", TYPE_TEXT, "abc", 0, 0, 6, ERR_BAD_PARAM},
        {"an offset past the block", TYPE_TEXT, "abc", 0, 4, 0, ERR_BAD_PARAM},
        {"a number of four bytes", TYPE_NUMBER, "four", 0, 0, 0, ERR_BAD_PARAM},
        {"a text list cut short", TYPE_TEXT_LIST, std::string("\x02\x00\x01\x00", 4), 0, 0, 0,
         ERR_BAD_PARAM},
    };
    for (const auto &c : cases) {
        DHANDLE block = Block(c.type, c.value, c.room);
        const DWORD length = c.length ? c.length : 2 + static_cast<DWORD>(c.value.size());
        EXPECT_EQ(
            NSFItemAppendByBLOCKID(note_, 0, "Refused", 7, {block, c.offset}, length, nullptr),
            c.expected)
            << c.what;
        EXPECT_NOERROR(OSMemFree(block));
    }
    DHANDLE block = Block(TYPE_TEXT, "x");
    EXPECT_EQ(NSFItemAppendByBLOCKID(note_, 0, "", 0, {block, 0}, 3, nullptr), ERR_BAD_ITEM_NAME);
    StandinFaultInject({"NSFItemAppendByBLOCKID", ERR_FAULT_INJECTED, 0, 0, nullptr});
    EXPECT_EQ(NSFItemAppendByBLOCKID(note_, 0, "F", 1, {block, 0}, 3, nullptr), ERR_FAULT_INJECTED);
    StandinFaultClear();
    EXPECT_NOERROR(OSMemFree(block));
    EXPECT_EQ(nsf_test::ValueBytes(note_, "Refused"), "<missing>");

    // An item's own block cannot be appended again.
    BLOCKID value{};
    DWORD length = 0;
    ASSERT_NOERROR(NSFItemInfo(note_, "Part", 4, nullptr, nullptr, &value, &length));
    EXPECT_EQ(NSFItemAppendByBLOCKID(note_, 0, "Again", 5, value, length, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(NSFItemAppendByBLOCKID(note_, 0, "Freed", 5, {0x7FFFFFF0, 0}, 3, nullptr),
              ERR_INVALID_HANDLE);
}

}  // namespace
