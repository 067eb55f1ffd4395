// Clock and identity of this machine, as the home platform reports them.
#pragma once

#include <string>

#include "platform/base/WinTypes.h"

// Milliseconds since an arbitrary start, wrapping at 2^32 like the
// platform's tick count (about every 49.7 days).
DWORD GetTickCount();
// The same clock without the wrap.
ULONGLONG GetTickCount64();

namespace vantrel {

// The host name of this machine (without domain), as the computer name.
std::string ComputerName();
// The login name of the user running this process.
std::string UserName();
// Seconds and 100-ns ticks since 1601-01-01 UTC, the platform's FILETIME.
FILETIME CurrentFileTime();
// The folder that holds per-user data: $XDG_DATA_HOME or ~/.local/share.
std::string UserDataHome();

}  // namespace vantrel
