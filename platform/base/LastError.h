// The calling thread's last error, as the published API keeps it: functions
// that fail set it, and GetLastError reads it until the next SetLastError.
#pragma once

#include "platform/base/WinTypes.h"

DWORD GetLastError();
void SetLastError(DWORD code);
