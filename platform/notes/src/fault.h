// Fault points of the library's calls (see standin/fault.h).
#pragma once

#include <atomic>

#include "global.h"

namespace notes_internal {

extern std::atomic<int> g_faultRuleCount;

STATUS FaultCheckSlow(const char *call, const char *path);

// 0, or the status that an armed rule makes this call return. The path, for
// database calls, is the database's path relative to its data directory.
inline STATUS FaultCheck(const char *call, const char *path = nullptr) {
    if (g_faultRuleCount.load(std::memory_order_relaxed) == 0)
        return NOERROR;
    return FaultCheckSlow(call, path);
}

// Reads NOTES_STANDIN_FAULTS at the first runtime start of the process;
// a malformed rule ends the process (see standin/fault.h).
void LoadFaultsFromEnvironment();

}  // namespace notes_internal
