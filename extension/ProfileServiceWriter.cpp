#include "extension/ProfileServiceWriter.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vantrel::ext {
namespace {

constexpr char kGlobalSection[] = "9207f3e0a3b11019908b08002b2a56c2";
constexpr char kStoreProviders[] = "01023d00";
constexpr char kServices[] = "01023d0e";
constexpr const char* kProfileRoots[] = {
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles",
    "Software\\Microsoft\\Windows Messaging Subsystem\\Profiles",
};
constexpr std::uint8_t kMdbProvider[16] = {0x7B, 0xE3, 0xC3, 0x80, 0x5B, 0x0A, 0x11, 0xCE,
                                           0xB4, 0xE1, 0x00, 0xAA, 0x00, 0x51, 0x0E, 0x3B};

using Bytes = std::vector<std::uint8_t>;

Bytes UidBytes(const GUID& uid) {
  Bytes b(16);
  std::memcpy(b.data(), &uid, 16);
  return b;
}

struct Value {
  const char* name;
  DWORD type;
  Bytes data;
};

Value Text(const char* name, const char* text) {
  return {name, REG_SZ, Bytes(text, text + std::strlen(text))};
}

Value Long(const char* name, std::uint32_t v) {
  return {name, REG_BINARY,
          Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 24)}};
}

Value Binary(const char* name, Bytes b) { return {name, REG_BINARY, std::move(b)}; }

LSTATUS ReadBinary(HKEY key, const char* name, Bytes* out) {
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS st = RegQueryValueEx(key, name, nullptr, &type, nullptr, &size);
  if (st != ERROR_SUCCESS) return st;
  out->resize(size);
  st = RegQueryValueEx(key, name, nullptr, &type, out->data(), &size);
  out->resize(size);
  return st;
}

LSTATUS WriteSection(HKEY profile, const std::string& name, const std::vector<Value>& values) {
  HKEY key = nullptr;
  LSTATUS st = RegCreateKeyEx(profile, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr);
  if (st != ERROR_SUCCESS) return st;
  for (const Value& v : values) {
    st = RegSetValueEx(key, v.name, 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    if (st != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return st;
}

}  // namespace

std::string SectionName(const GUID& uid) {
  Bytes b = UidBytes(uid);
  std::string s;
  char hex[3];
  for (std::uint8_t byte : b) {
    std::snprintf(hex, sizeof hex, "%02x", byte);
    s += hex;
  }
  return s;
}

std::string FindProfileKey(const std::string& profile) {
  if (profile.empty()) return "";
  for (const char* root : kProfileRoots) {
    std::string path = std::string(root) + "\\" + profile;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
      RegCloseKey(key);
      return path;
    }
  }
  return "";
}

LSTATUS WriteZelService(const std::string& profile_key, GUID* service_uid, GUID* provider_uid,
                        std::string* message) {
  HKEY profile = nullptr;
  LSTATUS st = RegOpenKeyEx(HKEY_CURRENT_USER, profile_key.c_str(), 0, KEY_ALL_ACCESS, &profile);
  if (st != ERROR_SUCCESS) return st;
  HKEY global = nullptr;
  st = RegOpenKeyEx(profile, kGlobalSection, 0, KEY_ALL_ACCESS, &global);
  if (st != ERROR_SUCCESS) {
    if (message) *message = std::string("Can not find the root GUID (") + kGlobalSection + ")";
    RegCloseKey(profile);
    return st;
  }
  // Sections MAPI never lists are of no use: both lists must be there.
  Bytes providers;
  Bytes services;
  st = ReadBinary(global, kStoreProviders, &providers);
  if (st == ERROR_SUCCESS) st = ReadBinary(global, kServices, &services);
  if (st != ERROR_SUCCESS) {
    if (message) *message = std::string("Error reading the root GUID (") + kGlobalSection + ")";
    RegCloseKey(global);
    RegCloseKey(profile);
    return st;
  }

  GUID service = NewGuid();
  GUID provider = NewGuid();
  const std::string service_key = SectionName(service);
  const std::string provider_key = SectionName(provider);
  static const std::uint8_t kSupportFiles[18] = {1, 0, 0, 0, 8, 0, 0, 0, 'M', 's', 'z', 'l', 'f', '.', 'D', 'L', 'L', 0};
  const std::vector<Value> service_values = {
      Text("001e3d0a", "Mszlf.DLL"),
      Text("001e3d0b", "ServiceEntry"),
      Text("001e3d09", "MSZLF"),
      Text("001e3001", "Brimwell"),
      Binary("101e3d0f", Bytes(kSupportFiles, kSupportFiles + sizeof kSupportFiles)),
      Long("00033009", 0x20),
      Binary("01023d00", UidBytes(provider)),
  };
  const std::vector<Value> provider_values = {
      Text("001e300a", "Mszlf.DLL"),
      Text("001e3d09", "MSZLF"),
      Text("001e3006", "Brimwell"),
      Text("001e3001", "Kestrin"),
      Long("00033e03", 0x21),
      Long("00033009", 0x802),
      Binary("01023d0c", UidBytes(service)),
      Binary("01023414", Bytes(kMdbProvider, kMdbProvider + 16)),
  };
  st = WriteSection(profile, service_key, service_values);
  if (st == ERROR_SUCCESS) st = WriteSection(profile, provider_key, provider_values);
  // The global lists last: MAPI sees the service only once it is whole.
  if (st == ERROR_SUCCESS) {
    Bytes p = providers;
    Bytes add = UidBytes(provider);
    p.insert(p.end(), add.begin(), add.end());
    st = RegSetValueEx(global, kStoreProviders, 0, REG_BINARY, p.data(), static_cast<DWORD>(p.size()));
    if (st == ERROR_SUCCESS) {
      Bytes s = services;
      add = UidBytes(service);
      s.insert(s.end(), add.begin(), add.end());
      st = RegSetValueEx(global, kServices, 0, REG_BINARY, s.data(), static_cast<DWORD>(s.size()));
      if (st != ERROR_SUCCESS) {
        RegSetValueEx(global, kStoreProviders, 0, REG_BINARY, providers.data(),
                      static_cast<DWORD>(providers.size()));
      }
    }
  }
  if (st != ERROR_SUCCESS) {
    RegDeleteTree(profile, service_key.c_str());
    RegDeleteTree(profile, provider_key.c_str());
  } else {
    if (service_uid) *service_uid = service;
    if (provider_uid) *provider_uid = provider;
  }
  RegCloseKey(global);
  RegCloseKey(profile);
  return st;
}

}  // namespace vantrel::ext
