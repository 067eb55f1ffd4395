#include "platform/win/IconTable.h"

#include <map>
#include <string>
#include <utility>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/Resources.h"
#include "platform/win/ShellApi.h"

namespace vantrel::win {
namespace {

// Handles of loaded icons start above the system icons' numbers (which are
// their own handles), so the two never meet.
constexpr std::uintptr_t kFirstHandle = 0x20000;

struct IconTable {
  vantrel::Mutex mu;
  // By module and resource name: loading an icon twice gives one handle,
  // as shared icons do on the platform.
  std::map<std::pair<HMODULE, std::string>, HICON> byName GUARDED_BY(mu);
  // A copy of the bytes: a resource library may be unloaded while its
  // icons are still shown.
  std::map<HICON, std::string> images GUARDED_BY(mu);
  std::uintptr_t next GUARDED_BY(mu) = kFirstHandle;
};

IconTable& Icons() {
  static IconTable* table = new IconTable;  // lives as long as the process
  return *table;
}

std::string NameKey(LPCSTR name) {
  if (IS_INTRESOURCE(name)) return "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name));
  return name;
}

}  // namespace

bool IconImage(HICON icon, std::string* bytes) {
  IconTable& t = Icons();
  vantrel::MutexLock lock(t.mu);
  auto it = t.images.find(icon);
  if (it == t.images.end()) return false;
  *bytes = it->second;
  return true;
}

}  // namespace vantrel::win

HICON LoadIconA(HINSTANCE instance, LPCSTR name) {
  using namespace vantrel::win;
  if (!name) return nullptr;
  std::string_view bytes;
  if (!FindResourceBytes(instance, "ICON", name, &bytes)) {
    // A system icon: its number is its handle, and a front end draws its own.
    if (IS_INTRESOURCE(name)) return reinterpret_cast<HICON>(reinterpret_cast<ULONG_PTR>(name) & 0xFFFF);
    return nullptr;
  }
  IconTable& t = Icons();
  vantrel::MutexLock lock(t.mu);
  auto key = std::make_pair(static_cast<HMODULE>(instance), NameKey(name));
  auto it = t.byName.find(key);
  if (it != t.byName.end()) return it->second;
  HICON icon = reinterpret_cast<HICON>(t.next++);
  t.byName.emplace(std::move(key), icon);
  t.images.emplace(icon, std::string(bytes));
  return icon;
}
