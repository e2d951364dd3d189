#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nsf_note.h"
#include "os_error.h"
#include "os_mem.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "test_support.h"
#include "textlist.h"

namespace {

std::vector<unsigned char> Bytes(DHANDLE h) {
    DWORD size = 0;
    EXPECT_NOERROR(OSMemGetSize(h, &size));
    auto *p = static_cast<unsigned char *>(OSLockObject(h));
    std::vector<unsigned char> bytes(p, p + size);
    OSUnlockObject(h);
    return bytes;
}

std::vector<std::string> Entries(DHANDLE h, BOOL prefix) {
    const void *list = OSLockObject(h);
    std::vector<std::string> entries;
    WORD count = ListGetNumEntries(list, prefix);
    for (WORD i = 0; i < count; i++) {
        char *text = nullptr;
        WORD length = 0;
        EXPECT_NOERROR(ListGetText(list, prefix, i, &text, &length));
        entries.emplace_back(text, length);
    }
    OSUnlockObject(h);
    return entries;
}

WORD Size(DHANDLE h, BOOL prefix) {
    const void *list = OSLockObject(h);
    WORD size = ListGetSize(list, prefix);
    OSUnlockObject(h);
    return size;
}

STATUS Add(DHANDLE h, BOOL prefix, WORD *size, WORD at, const std::string &text) {
    return ListAddEntry(h, prefix, size, at, text.data(), static_cast<WORD>(text.size()));
}

TEST(TextList, AllocateReturnsTheListLocked) {
    for (BOOL prefix : {TRUE, FALSE}) {
        DWORD before = StandinHandleCount(STANDIN_HANDLE_MEMORY);
        DHANDLE h = NULLHANDLE;
        void *p = nullptr;
        WORD size = 0;
        ASSERT_NOERROR(ListAllocate(0, 0, prefix, &h, &p, &size));
        ASSERT_NE(h, NULLHANDLE);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(size, prefix ? 4 : 2);
        EXPECT_EQ(ListGetNumEntries(p, prefix), 0);
        EXPECT_EQ(ListGetSize(p, prefix), size);
        if (prefix) {
            WORD type;
            std::memcpy(&type, p, sizeof type);
            EXPECT_EQ(type, TYPE_TEXT_LIST);
        }
        EXPECT_EQ(OSMemRealloc(h, 64), ERR_HANDLE_LOCKED) << "the list comes back locked";
        EXPECT_EQ(Add(h, prefix, &size, 0, "x"), ERR_HANDLE_LOCKED);
        EXPECT_TRUE(OSUnlockObject(h));
        EXPECT_FALSE(OSUnlockObject(h)) << "locked once";
        EXPECT_NOERROR(OSMemFree(h));
        EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before);
    }
    // Without an address to hand back it stays unlocked.
    DHANDLE h;
    ASSERT_NOERROR(ListAllocate(0, 0, TRUE, &h, nullptr, nullptr));
    EXPECT_FALSE(OSUnlockObject(h));
    EXPECT_NOERROR(OSMemFree(h));
}

// The bytes of the list, as an item value holds them.
TEST(TextList, InsertsAtEveryPositionGiveTheExactLayout) {
    DHANDLE h;
    void *p;
    WORD size;
    ASSERT_NOERROR(ListAllocate(0, 0, TRUE, &h, &p, &size));
    OSUnlockObject(h);
    ASSERT_NOERROR(Add(h, TRUE, &size, 0, "a"));
    ASSERT_NOERROR(Add(h, TRUE, &size, 1, "ccc"));
    ASSERT_NOERROR(Add(h, TRUE, &size, 1, "bb"));
    ASSERT_NOERROR(Add(h, TRUE, &size, 0, ""));
    ASSERT_NOERROR(Add(h, TRUE, &size, 4, std::string("d\0e", 3)));
    const std::vector<unsigned char> expected = {
        0x01, 0x05,                                      // TYPE_TEXT_LIST
        5,    0,                                         // count
        0,    0,    1,   0,   2,   0,   3,   0, 3,   0,  // lengths
        'a',  'b',  'b', 'c', 'c', 'c', 'd', 0, 'e',     // texts
    };
    EXPECT_EQ(Bytes(h), expected);
    EXPECT_EQ(size, expected.size());
    EXPECT_EQ(Size(h, TRUE), expected.size());
    EXPECT_EQ(Entries(h, TRUE),
              (std::vector<std::string>{"", "a", "bb", "ccc", std::string("d\0e", 3)}));
    // Read without the prefix, the same bytes are a list at offset 2.
    auto *q = static_cast<unsigned char *>(OSLockObject(h));
    EXPECT_EQ(ListGetNumEntries(q + 2, FALSE), 5);
    char *text;
    WORD length;
    ASSERT_NOERROR(ListGetText(q + 2, FALSE, 3, &text, &length));
    EXPECT_EQ(std::string(text, length), "ccc");
    EXPECT_EQ(text, reinterpret_cast<char *>(q) + 17) << "points into the list";
    OSUnlockObject(h);
    EXPECT_NOERROR(OSMemFree(h));
}

// Random inserts against a plain model, with and without the prefix.
TEST(TextList, RandomInsertsMatchAModel) {
    std::mt19937 random(5);
    for (BOOL prefix : {TRUE, FALSE}) {
        DHANDLE h;
        WORD size;
        ASSERT_NOERROR(ListAllocate(0, 0, prefix, &h, nullptr, &size));
        std::vector<std::string> model;
        for (int i = 0; i < 300; i++) {
            std::string text(random() % 40, '\0');
            for (char &c : text)
                c = static_cast<char>(random());
            WORD at = static_cast<WORD>(random() % (model.size() + 1));
            ASSERT_NOERROR(Add(h, prefix, &size, at, text));
            model.insert(model.begin() + at, text);
            if (i % 25 == 0) {
                ASSERT_EQ(Entries(h, prefix), model);
            }
        }
        EXPECT_EQ(Entries(h, prefix), model);
        size_t expectedSize = (prefix ? 4 : 2) + 2 * model.size();
        for (const std::string &s : model)
            expectedSize += s.size();
        EXPECT_EQ(size, expectedSize);
        EXPECT_EQ(Size(h, prefix), expectedSize);
        DWORD memory = 0;
        ASSERT_NOERROR(OSMemGetSize(h, &memory));
        EXPECT_EQ(memory, expectedSize);
        EXPECT_NOERROR(OSMemFree(h));
    }
}

TEST(TextList, ListAllocateRoomIsUsedAndThenDropped) {
    DHANDLE h;
    void *p;
    WORD size;
    ASSERT_NOERROR(ListAllocate(3, 10, FALSE, &h, &p, &size));
    EXPECT_EQ(size, 2 + 3 * 2 + 10);
    EXPECT_EQ(ListGetNumEntries(p, FALSE), 3);
    EXPECT_EQ(ListGetSize(p, FALSE), 8) << "three empty entries";
    char *text;
    WORD length = 9;
    ASSERT_NOERROR(ListGetText(p, FALSE, 2, &text, &length));
    EXPECT_EQ(length, 0);
    OSUnlockObject(h);
    ASSERT_NOERROR(Add(h, FALSE, &size, 3, "tail"));
    EXPECT_EQ(size, 2 + 4 * 2 + 4);
    EXPECT_EQ(Entries(h, FALSE), (std::vector<std::string>{"", "", "", "tail"}));
    EXPECT_EQ(Bytes(h).size(), size);
    EXPECT_NOERROR(OSMemFree(h));
}

TEST(TextList, FailuresLeaveTheListAsItWas) {
    DHANDLE h;
    WORD size;
    ASSERT_NOERROR(ListAllocate(0, 0, TRUE, &h, nullptr, &size));
    ASSERT_NOERROR(Add(h, TRUE, &size, 0, "one"));
    const std::vector<unsigned char> before = Bytes(h);
    WORD keep = size;

    EXPECT_EQ(Add(h, TRUE, &size, 2, "x"), ERR_LIST_ENTRY) << "beyond the count";
    EXPECT_EQ(ListAddEntry(h, TRUE, &size, 0, nullptr, 3), ERR_BAD_PARAM);
    OSLockObject(h);
    EXPECT_EQ(Add(h, TRUE, &size, 1, "x"), ERR_HANDLE_LOCKED);
    OSUnlockObject(h);
    StandinFaultInject({"ListAddEntry", ERR_MEMORY, 0, 1, nullptr});
    EXPECT_EQ(Add(h, TRUE, &size, 1, "x"), ERR_MEMORY);
    StandinFaultClear();
    EXPECT_EQ(Bytes(h), before);
    EXPECT_EQ(size, keep);

    const void *list = OSLockObject(h);
    char *text = reinterpret_cast<char *>(1);
    WORD length = 7;
    EXPECT_EQ(ListGetText(list, TRUE, 1, &text, &length), ERR_LIST_ENTRY);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(ListGetText(nullptr, TRUE, 0, &text, &length), ERR_BAD_PARAM);
    OSUnlockObject(h);

    EXPECT_NOERROR(OSMemFree(h));
    EXPECT_EQ(Add(h, TRUE, &size, 0, "x"), ERR_INVALID_HANDLE) << "freed";
    EXPECT_EQ(Add(NULLHANDLE, TRUE, &size, 0, "x"), ERR_INVALID_HANDLE);

    // A memory object that does not hold the list it claims.
    DHANDLE junk;
    ASSERT_NOERROR(OSMemAlloc(0, 6, &junk));
    auto *bytes = static_cast<unsigned char *>(OSLockObject(junk));
    bytes[0] = 200;  // 200 entries in six bytes
    OSUnlockObject(junk);
    EXPECT_EQ(Add(junk, FALSE, nullptr, 0, "x"), ERR_BAD_PARAM);
    EXPECT_NOERROR(OSMemFree(junk));
}

TEST(TextList, NoListPassesSixtyFiveThousandBytes) {
    // With the prefix an entry of 65529 bytes makes a list of exactly 65535.
    for (WORD textSize : {65529, 65530}) {
        DHANDLE h;
        WORD size;
        ASSERT_NOERROR(ListAllocate(0, 0, TRUE, &h, nullptr, &size));
        std::string big(textSize, 'x');
        STATUS status = Add(h, TRUE, &size, 0, big);
        if (textSize == 65529) {
            EXPECT_NOERROR(status);
            EXPECT_EQ(size, 65535);
            EXPECT_EQ(Entries(h, TRUE)[0], big);
            EXPECT_EQ(Add(h, TRUE, &size, 1, ""), ERR_LIST_FULL) << "not even an empty entry";
        } else {
            EXPECT_EQ(status, ERR_LIST_FULL);
            EXPECT_EQ(size, 4);
            EXPECT_EQ(Entries(h, TRUE).size(), 0u);
        }
        EXPECT_NOERROR(OSMemFree(h));
    }
    // Many small entries reach the same wall.
    DHANDLE h;
    WORD size;
    ASSERT_NOERROR(ListAllocate(0, 0, FALSE, &h, nullptr, &size));
    STATUS status = NOERROR;
    int added = 0;
    while ((status = Add(h, FALSE, &size, 0, "abcdefgh")) == NOERROR)
        added++;
    EXPECT_EQ(status, ERR_LIST_FULL);
    EXPECT_EQ(added, (65535 - 2) / 10);
    EXPECT_LE(Size(h, FALSE), 65535);
    EXPECT_NOERROR(OSMemFree(h));

    DHANDLE none = 0xDEAD;
    EXPECT_EQ(ListAllocate(0, 65534, FALSE, &none, nullptr, nullptr), ERR_LIST_FULL);
    EXPECT_EQ(none, NULLHANDLE);
    EXPECT_EQ(ListAllocate(MAXWORD, 0, FALSE, &none, nullptr, nullptr), ERR_LIST_FULL);
    ASSERT_NOERROR(ListAllocate(0, 65533, FALSE, &none, nullptr, nullptr));
    EXPECT_NOERROR(OSMemFree(none));
}

TEST(TextList, AllocateFailureLeavesNoHandle) {
    DWORD before = StandinHandleCount(STANDIN_HANDLE_ANY);
    for (const char *call : {"ListAllocate", "OSMemAlloc"}) {
        StandinFaultInject({call, ERR_MEMORY, 0, 1, nullptr});
        DHANDLE h = 0xDEAD;
        void *p = reinterpret_cast<void *>(1);
        EXPECT_EQ(ListAllocate(0, 0, TRUE, &h, &p, nullptr), ERR_MEMORY) << call;
        EXPECT_EQ(h, NULLHANDLE);
        EXPECT_EQ(p, nullptr);
        StandinFaultClear();
    }
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), before);
    EXPECT_EQ(ListAllocate(0, 0, TRUE, nullptr, nullptr, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(ListGetNumEntries(nullptr, TRUE), 0);
    EXPECT_EQ(ListGetSize(nullptr, TRUE), 0);
}

}  // namespace
