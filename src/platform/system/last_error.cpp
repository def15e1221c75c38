// The calling thread's last error: set by the platform services when they fail, read by callers
// right after a failed call.
#include "platform/system/system.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}  // namespace

extern "C" DWORD GetLastError(void) {
  return lastError;
}

extern "C" void SetLastError(DWORD error) {
  lastError = error;
}
