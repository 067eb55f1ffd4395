// RegisterWindowMessage: one number per name (case-insensitive) for every
// process of the user, kept as a table file in the runtime folder, one name
// per line; line n is message 0xC000 + n.
#include <strings.h>
#include <unistd.h>

#include <map>
#include <string>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/RuntimeFolder.h"
#include "platform/win/WindowPlatform.h"

namespace {

inline constexpr UINT kFirstRegistered = 0xC000;
inline constexpr UINT kLastRegistered = 0xFFFF;

struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

vantrel::Mutex g_mu;
std::map<std::string, UINT, NoCase>* g_known GUARDED_BY(g_mu) = new std::map<std::string, UINT, NoCase>;

UINT LookUpOrAdd(const std::string& name) {
  std::string dir = vantrel::win::RuntimeDir();
  if (dir.empty()) return 0;
  vantrel::win::FileLock lock(dir + "/messages");
  if (lock.fd() < 0) return 0;
  std::string table;
  char buf[8192];
  off_t at = 0;
  for (;;) {
    ssize_t n = pread(lock.fd(), buf, sizeof buf, at);
    if (n <= 0) break;
    table.append(buf, static_cast<size_t>(n));
    at += n;
  }
  UINT number = kFirstRegistered;
  size_t pos = 0;
  while (pos < table.size()) {
    size_t end = table.find('\n', pos);
    if (end == std::string::npos) break;  // a torn last line is ignored and overwritten
    if (strcasecmp(table.substr(pos, end - pos).c_str(), name.c_str()) == 0) return number;
    pos = end + 1;
    ++number;
  }
  if (number > kLastRegistered) return 0;
  std::string line = name + "\n";
  if (pwrite(lock.fd(), line.data(), line.size(), static_cast<off_t>(pos)) !=
      static_cast<ssize_t>(line.size())) {
    return 0;
  }
  if (ftruncate(lock.fd(), static_cast<off_t>(pos + line.size())) != 0) return 0;
  return number;
}

}  // namespace

UINT RegisterWindowMessageA(LPCSTR name) {
  if (!name || !*name) return 0;
  std::string key(name);
  // A newline would split the table's line; such names get no number.
  if (key.find('\n') != std::string::npos) return 0;
  {
    vantrel::MutexLock lock(g_mu);
    auto it = g_known->find(key);
    if (it != g_known->end()) return it->second;
  }
  UINT number = LookUpOrAdd(key);
  if (number != 0) {
    vantrel::MutexLock lock(g_mu);
    (*g_known)[key] = number;
  }
  return number;
}
