#include <cstring>
#include <thread>
#include <vector>

#include "os_error.h"
#include "os_mem.h"
#include "standin/fault.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace {

TEST(OSMem, AllocLockWriteUnlockFree) {
    DWORD before = StandinHandleCount(STANDIN_HANDLE_MEMORY);
    DHANDLE h = 0xdeadbeef;
    ASSERT_NOERROR(OSMemAlloc(BLK_MEM_ALLOC, 100, &h));
    EXPECT_NE(h, NULLHANDLE);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before + 1);

    auto *p = static_cast<unsigned char *>(OSLockObject(h));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(p[i], 0) << "not zero-filled at " << i;
    std::memset(p, 0xAB, 100);
    EXPECT_TRUE(OSUnlockObject(h));
    EXPECT_FALSE(OSUnlockObject(h)) << "unlock of an unlocked object";

    DWORD size = 0;
    ASSERT_NOERROR(OSMemGetSize(h, &size));
    EXPECT_EQ(size, 100u);
    ASSERT_NOERROR(OSMemRealloc(h, 200));
    p = static_cast<unsigned char *>(OSLockObject(h));
    EXPECT_EQ(p[99], 0xAB);
    EXPECT_EQ(p[100], 0);
    EXPECT_EQ(OSMemRealloc(h, 10), ERR_HANDLE_LOCKED) << "resize while locked";
    OSUnlockObject(h);

    ASSERT_NOERROR(OSMemFree(h));
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before);
}

TEST(OSMem, ClosedUnknownAndNullHandlesGiveStatusesNotCrashes) {
    DHANDLE h;
    ASSERT_NOERROR(OSMemAlloc(0, 8, &h));
    ASSERT_NOERROR(OSMemFree(h));
    EXPECT_EQ(OSMemFree(h), ERR_INVALID_HANDLE) << "second free";
    EXPECT_EQ(OSLockObject(h), nullptr);
    EXPECT_FALSE(OSUnlockObject(h));
    DWORD size = 7;
    EXPECT_EQ(OSMemGetSize(h, &size), ERR_INVALID_HANDLE);
    EXPECT_EQ(OSMemFree(NULLHANDLE), ERR_INVALID_HANDLE);
    EXPECT_EQ(OSMemFree(0x7FFFFFF0), ERR_INVALID_HANDLE);
    EXPECT_EQ(OSMemAlloc(0, 8, nullptr), ERR_BAD_PARAM);
    EXPECT_EQ(OSMemAlloc(0, 0xFFFFFFFF, &h), ERR_MEMORY);
}

TEST(OSMem, ZeroSizeObjectsCanBeLockedAndFreed) {
    DHANDLE h;
    ASSERT_NOERROR(OSMemAlloc(0, 0, &h));
    EXPECT_NE(OSLockObject(h), nullptr);
    EXPECT_TRUE(OSUnlockObject(h));
    EXPECT_NOERROR(OSMemFree(h));
}

TEST(OSMem, InjectedFailureLeavesNoHandle) {
    DWORD before = StandinHandleCount(STANDIN_HANDLE_ANY);
    StandinFaultInject({"OSMemAlloc", ERR_MEMORY, 0, 1, nullptr});
    DHANDLE h = 0xdeadbeef;
    EXPECT_EQ(OSMemAlloc(0, 16, &h), ERR_MEMORY);
    EXPECT_EQ(h, NULLHANDLE);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), before);
    StandinFaultClear();
}

TEST(OSMem, ManyThreadsAllocateAndFreeWithoutLosingHandles) {
    DWORD before = StandinHandleCount(STANDIN_HANDLE_MEMORY);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([] {
            for (int i = 0; i < 2000; i++) {
                DHANDLE h;
                if (OSMemAlloc(0, 32, &h) != 0)
                    continue;
                static_cast<char *>(OSLockObject(h))[31] = 1;
                OSUnlockObject(h);
                OSMemFree(h);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_MEMORY), before);
}

}  // namespace
