// The per-thread last error.
#include "win32.h"

namespace {
// A plain thread-local word: no constructor, so no runtime support needed.
thread_local DWORD lastError = ERROR_SUCCESS;
}  // namespace

extern "C" DWORD GetLastError(void) {
    return lastError;
}

extern "C" void SetLastError(DWORD error) {
    lastError = error;
}
