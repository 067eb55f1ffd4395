#include "platform/base/SystemInfo.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

DWORD GetTickCount() {
  return static_cast<DWORD>(GetTickCount64());
}

ULONGLONG GetTickCount64() {
  using namespace std::chrono;
  return static_cast<ULONGLONG>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace vantrel {

std::string ComputerName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  std::string name(buf);
  if (auto dot = name.find('.'); dot != std::string::npos) name.resize(dot);
  return name;
}

std::string UserName() {
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return pw->pw_name;
  if (const char* u = std::getenv("USER")) return u;
  return "user";
}

FILETIME CurrentFileTime() {
  using namespace std::chrono;
  // 11644473600 s separate 1601-01-01 from the Unix epoch.
  auto ticks =
      duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 + 11644473600LL * 10000000LL;
  return QuadToFileTime(static_cast<ULONGLONG>(ticks));
}

std::string UserDataHome() {
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return x;
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.local/share";
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) return std::string(pw->pw_dir) + "/.local/share";
  return "/tmp";
}

}  // namespace vantrel
