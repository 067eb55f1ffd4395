#include "platform/base/LastError.h"

namespace {
// One value per thread: an error of one thread never shows in another.
thread_local DWORD lastError = 0;
}  // namespace

DWORD GetLastError() {
  return lastError;
}

void SetLastError(DWORD code) {
  lastError = code;
}
