#include "platform/win/WNet.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "platform/base/ThreadAnnotations.h"
#include "platform/registry/Registry.h"

namespace vantrel::win {
namespace {

constexpr const char* kNetworkKey = "SOFTWARE\\Vantrel\\Network";
constexpr const char* kComputersKey = "SOFTWARE\\Vantrel\\Network\\Computers";
constexpr const char* kProvider = "Vantrel Network";

struct Entry {
  DWORD displayType = 0;
  DWORD usage = 0;
  std::string remoteName;
  std::string comment;
};

struct Enumeration {
  std::vector<Entry> entries;
  size_t next = 0;
};

// Open enumerations by handle. The handle is the object's address, but only
// addresses in this set are ever dereferenced.
vantrel::Mutex g_mu;
std::set<Enumeration*>& Open() REQUIRES(g_mu) {
  static auto* open = new std::set<Enumeration*>;
  return *open;
}

bool Unusable(const std::string& address) {
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    std::uint32_t a = ntohl(v4.s_addr);
    return a == 0 || (a >> 28) == 0xE;  // 0.0.0.0, 224.0.0.0/4
  }
  if (::inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
    static const in6_addr any = IN6ADDR_ANY_INIT;
    return std::memcmp(&v6, &any, sizeof v6) == 0 || v6.s6_addr[0] == 0xFF;
  }
  return true;  // not an address: not a line of the hosts file
}

void AddName(std::vector<std::string>* names, const std::string& name) {
  if (name.empty()) return;
  for (const std::string& n : *names) {
    if (strcasecmp(n.c_str(), name.c_str()) == 0) return;
  }
  names->push_back(name);
}

void ReadHostsFile(std::vector<std::string>* names) {
  const char* path = std::getenv("ZEL_HOSTS_FILE");
  std::ifstream in(path && *path ? path : "/etc/hosts");
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string address, name;
    if (!(fields >> address >> name) || Unusable(address)) continue;
    AddName(names, name);
  }
}

void ReadRegistryList(std::vector<std::string>* names) {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kComputersKey, 0, KEY_READ, &key) != 0) return;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    LSTATUS s = RegEnumValue(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (s == ERROR_NO_MORE_ITEMS) break;
    if (s != 0) continue;  // a name too long for a computer
    AddName(names, std::string(name, size));
  }
  RegCloseKey(key);
}

std::string Workgroup() {
  HKEY key = nullptr;
  std::string name = "WORKGROUP";
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kNetworkKey, 0, KEY_READ, &key) != 0) return name;
  char value[256];
  DWORD type = 0, size = sizeof value;
  if (RegQueryValueEx(key, "Workgroup", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == 0 &&
      type == REG_SZ && size > 1) {
    name.assign(value, strnlen(value, size));
  }
  RegCloseKey(key);
  return name;
}

std::vector<Entry> Computers() {
  std::vector<Entry> out;
  for (const std::string& name : KnownComputers()) {
    out.push_back({RESOURCEDISPLAYTYPE_SERVER, RESOURCEUSAGE_CONTAINER, "\\\\" + name, ""});
  }
  return out;
}

// The size an entry takes in a WNetEnumResource block: the structure and
// its strings with their NULs, rounded so the next structure stays aligned.
size_t EntrySize(const Entry& e) {
  size_t strings = e.remoteName.size() + 1 + std::strlen(kProvider) + 1 + (e.comment.empty() ? 0 : e.comment.size() + 1);
  size_t align = alignof(NETRESOURCEA);
  return sizeof(NETRESOURCEA) + (strings + align - 1) / align * align;
}

DWORD Fail(DWORD code) {
  SetLastError(code);
  return code;
}

}  // namespace

std::vector<std::string> KnownComputers() {
  std::vector<std::string> names;
  ReadHostsFile(&names);
  ReadRegistryList(&names);
  return names;
}

}  // namespace vantrel::win

using vantrel::win::Entry;
using vantrel::win::Enumeration;

DWORD WNetOpenEnumA(DWORD scope, DWORD type, DWORD usage, LPNETRESOURCEA resource, LPHANDLE handle) {
  using namespace vantrel::win;
  if (!handle) return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  *handle = nullptr;
  if (type != RESOURCETYPE_ANY && type != RESOURCETYPE_DISK && type != RESOURCETYPE_PRINT) {
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  auto e = std::make_unique<Enumeration>();
  switch (scope) {
    case RESOURCE_CONNECTED:
    case RESOURCE_REMEMBERED:
      break;  // no connections are made on this machine
    case RESOURCE_CONTEXT:
      e->entries = Computers();
      break;
    case RESOURCE_GLOBALNET: {
      // Every entry is a container; asking only for connectable ones finds none.
      bool containers = usage == 0 || (usage & RESOURCEUSAGE_CONTAINER) != 0 || (usage & RESOURCEUSAGE_ALL) == 0;
      const std::string group = Workgroup();
      if (!resource || !resource->lpRemoteName) {
        if (containers) e->entries.push_back({RESOURCEDISPLAYTYPE_DOMAIN, RESOURCEUSAGE_CONTAINER, group, ""});
        break;
      }
      if (!(resource->dwUsage & RESOURCEUSAGE_CONTAINER)) return Fail(static_cast<DWORD>(ERROR_NOT_CONTAINER));
      const std::string name = resource->lpRemoteName;
      if (strcasecmp(name.c_str(), group.c_str()) == 0) {
        if (containers) e->entries = Computers();
        break;
      }
      bool known = false;
      if (name.rfind("\\\\", 0) == 0) {
        for (const std::string& c : KnownComputers()) known = known || strcasecmp(c.c_str(), name.c_str() + 2) == 0;
      }
      if (!known) return Fail(static_cast<DWORD>(ERROR_BAD_NET_NAME));
      break;  // a computer: no shares are known
    }
    default:
      return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  vantrel::MutexLock lock(vantrel::win::g_mu);
  Enumeration* raw = e.release();
  vantrel::win::Open().insert(raw);
  *handle = raw;
  return 0;
}

DWORD WNetEnumResourceA(HANDLE handle, LPDWORD count, LPVOID buffer, LPDWORD bufferSize) {
  using namespace vantrel::win;
  if (!count || !bufferSize || *count == 0 || (!buffer && *bufferSize != 0)) {
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  vantrel::MutexLock lock(g_mu);
  auto* e = static_cast<Enumeration*>(handle);
  if (!Open().count(e)) return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE));
  if (e->next >= e->entries.size()) {
    *count = 0;
    return Fail(static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  }
  // Structures grow from the start of the block, strings from its end.
  char* base = static_cast<char*>(buffer);
  size_t low = 0, high = *bufferSize - *bufferSize % alignof(NETRESOURCEA);
  DWORD filled = 0;
  while (filled < *count && e->next < e->entries.size()) {
    const Entry& entry = e->entries[e->next];
    if (high - low < EntrySize(entry)) break;
    auto put = [&](const std::string& s) -> LPSTR {
      high -= s.size() + 1;
      std::memcpy(base + high, s.c_str(), s.size() + 1);
      return base + high;
    };
    NETRESOURCEA r{};
    r.dwScope = RESOURCE_GLOBALNET;
    r.dwType = RESOURCETYPE_ANY;
    r.dwDisplayType = entry.displayType;
    r.dwUsage = entry.usage;
    r.lpRemoteName = put(entry.remoteName);
    r.lpProvider = put(kProvider);
    if (!entry.comment.empty()) r.lpComment = put(entry.comment);
    high -= high % alignof(NETRESOURCEA);  // the strings took EntrySize's rounded share
    std::memcpy(base + low, &r, sizeof r);
    low += sizeof r;
    ++filled;
    ++e->next;
  }
  if (filled == 0) {
    *bufferSize = static_cast<DWORD>(EntrySize(e->entries[e->next]));
    return Fail(static_cast<DWORD>(ERROR_MORE_DATA));
  }
  *count = filled;
  return 0;
}

DWORD WNetCloseEnum(HANDLE handle) {
  using namespace vantrel::win;
  vantrel::MutexLock lock(g_mu);
  auto* e = static_cast<Enumeration*>(handle);
  if (!Open().erase(e)) return Fail(static_cast<DWORD>(ERROR_INVALID_HANDLE));
  delete e;
  return 0;
}
