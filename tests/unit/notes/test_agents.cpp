#include "agents.h"
#include "os_mem.h"
#include "standin/runtime.h"
#include "test_support.h"

namespace {

// Nothing opens agents yet; closing must never touch a handle that is not
// an agent's.
TEST(AgentClose, IgnoresUnknownAndOtherKindsOfHandle) {
    DHANDLE memory;
    ASSERT_NOERROR(OSMemAlloc(0, 8, &memory));
    DWORD before = StandinHandleCount(STANDIN_HANDLE_ANY);
    AgentClose(0);
    AgentClose(0x7FFFFFF0);
    AgentClose(0x100000000ull | memory);
    AgentClose(memory);
    EXPECT_EQ(StandinHandleCount(STANDIN_HANDLE_ANY), before);
    EXPECT_NE(OSLockObject(memory), nullptr) << "the memory handle is still open";
    OSUnlockObject(memory);
    EXPECT_NOERROR(OSMemFree(memory));
}

}  // namespace
