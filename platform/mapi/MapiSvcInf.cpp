#include "platform/mapi/MapiSvcInf.h"

#include <strings.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <filesystem>

#include "platform/base/SystemInfo.h"
#include "platform/mapi/MapiTags.h"
#include "platform/registry/Registry.h"

namespace vantrel::mapi {
namespace {

struct NamedTag {
  const char* name;
  ULONG tag;
};
constexpr NamedTag kTags[] = {
#define VANTREL_PROP(name, tag) {#name, tag},
#include "platform/mapi/MapiTags.inc"
#undef VANTREL_PROP
};

// The symbols MAPISVC.INF uses for numbers.
struct NamedValue {
  const char* name;
  ULONG value;
};
constexpr NamedValue kSymbols[] = {
    {"SERVICE_DEFAULT_STORE", SERVICE_DEFAULT_STORE},
    {"SERVICE_SINGLE_COPY", SERVICE_SINGLE_COPY},
    {"SERVICE_CREATE_WITH_STORE", SERVICE_CREATE_WITH_STORE},
    {"SERVICE_PRIMARY_IDENTITY", SERVICE_PRIMARY_IDENTITY},
    {"SERVICE_NO_PRIMARY_IDENTITY", SERVICE_NO_PRIMARY_IDENTITY},
    {"STATUS_DEFAULT_OUTBOUND", STATUS_DEFAULT_OUTBOUND},
    {"STATUS_DEFAULT_STORE", STATUS_DEFAULT_STORE},
    {"STATUS_PRIMARY_IDENTITY", STATUS_PRIMARY_IDENTITY},
    {"STATUS_SIMPLE_STORE", STATUS_SIMPLE_STORE},
    {"STATUS_XP_PREFER_LAST", STATUS_XP_PREFER_LAST},
    {"STATUS_NO_PRIMARY_IDENTITY", STATUS_NO_PRIMARY_IDENTITY},
    {"STATUS_NO_DEFAULT_STORE", STATUS_NO_DEFAULT_STORE},
    {"STATUS_TEMP_SECTION", STATUS_TEMP_SECTION},
    {"STATUS_OWN_STORE", STATUS_OWN_STORE},
    {"STATUS_NEED_IPM_TREE", STATUS_NEED_IPM_TREE},
    {"STATUS_PRIMARY_STORE", STATUS_PRIMARY_STORE},
    {"STATUS_SECONDARY_STORE", STATUS_SECONDARY_STORE},
    {"MAPI_STORE_PROVIDER", MAPI_STORE_PROVIDER},
    {"MAPI_AB", MAPI_AB},
    {"MAPI_AB_PROVIDER", MAPI_AB_PROVIDER},
    {"MAPI_TRANSPORT_PROVIDER", MAPI_TRANSPORT_PROVIDER},
    {"MAPI_SPOOLER", MAPI_SPOOLER},
    {"MAPI_PROFILE_PROVIDER", MAPI_PROFILE_PROVIDER},
    {"MAPI_SUBSYSTEM", MAPI_SUBSYSTEM},
    {"MAPI_HOOK_PROVIDER", MAPI_HOOK_PROVIDER},
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool IsHeader(const std::string& line) {
  return !line.empty() && line[0] == '[';
}

std::string HeaderName(const std::string& line) {
  size_t close = line.find(']');
  return Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

bool ParseNumber(const std::string& text, ULONG* out) {
  ULONG v = 0;
  std::string token;
  std::istringstream in(text);
  // Symbols and numbers joined by '|' or blanks.
  std::string s = text;
  for (char& c : s)
    if (c == '|') c = ' ';
  std::istringstream words(s);
  bool any = false;
  while (words >> token) {
    any = true;
    bool found = false;
    for (const NamedValue& n : kSymbols)
      if (token == n.name) {
        v |= n.value;
        found = true;
        break;
      }
    if (found) continue;
    char* end = nullptr;
    unsigned long x = std::strtoul(token.c_str(), &end, 0);
    if (end == token.c_str() || *end || x > 0xFFFFFFFFul) return false;
    v |= static_cast<ULONG>(x);
  }
  *out = v;
  return any;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, ',')) {
    item = Trim(item);
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

}  // namespace

ULONG PropTagFromName(const std::string& name) {
  for (const NamedTag& t : kTags)
    if (name == t.name) return t.tag;
  if (name == "PR_PST_PATH") return PR_PST_PATH;
  return 0;
}

HRESULT InfPropFromLine(const std::string& key, const std::string& value, ProfProp* out) {
  if (key.rfind("PR_", 0) != 0) return MAPI_E_NOT_FOUND;
  ULONG tag = PropTagFromName(key);
  if (!tag) return MAPI_E_INVALID_PARAMETER;
  switch (PROP_TYPE(tag)) {
    case PT_STRING8:
      *out = ProfProp::Text(tag, value);
      return S_OK;
    case PT_LONG:
    case PT_BOOLEAN: {
      ULONG v = 0;
      if (!ParseNumber(value, &v)) return MAPI_E_INVALID_PARAMETER;
      *out = ProfProp::Long(tag, v);
      return S_OK;
    }
    case PT_BINARY: {
      // Hexadecimal digits, blanks allowed between bytes.
      std::string hex;
      for (char c : value)
        if (c != ' ') hex += c;
      if (hex.size() % 2) return MAPI_E_INVALID_PARAMETER;
      ProfProp p = ProfProp::Binary(tag, nullptr, 0);
      for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        std::string byte = hex.substr(i, 2);
        unsigned long b = std::strtoul(byte.c_str(), &end, 16);
        if (*end) return MAPI_E_INVALID_PARAMETER;
        p.data.push_back(static_cast<BYTE>(b));
      }
      *out = std::move(p);
      return S_OK;
    }
    case PT_MV_STRING8: {
      std::vector<std::string> items = SplitList(value);
      std::vector<LPSTR> ptrs;
      for (std::string& s : items) ptrs.push_back(s.data());
      SPropValue v{};
      v.ulPropTag = tag;
      v.Value.MVszA.cValues = static_cast<ULONG>(ptrs.size());
      v.Value.MVszA.lppszA = ptrs.data();
      return PropFromValue(v, out);
    }
    default:
      return MAPI_E_INVALID_PARAMETER;
  }
}

void MapiSvcInf::Parse(const std::string& text) {
  lines.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
}

std::string MapiSvcInf::Serialize() const {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

HRESULT MapiSvcInf::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return MAPI_E_NOT_FOUND;
  std::ostringstream text;
  text << in.rdbuf();
  Parse(text.str());
  return S_OK;
}

HRESULT MapiSvcInf::Save(const std::string& path) const {
  // Written beside the target and renamed over it, so a reader never sees
  // half a file.
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return MAPI_E_NO_ACCESS;
    out << Serialize();
    if (!out.flush()) return MAPI_E_DISK_ERROR;
  }
  std::error_code ec;
  std::filesystem::rename(tmp, path, ec);
  return ec ? MAPI_E_NO_ACCESS : S_OK;
}

size_t MapiSvcInf::FindSection(const std::string& section) const {
  for (size_t i = 0; i < lines.size(); ++i)
    if (IsHeader(lines[i]) && strcasecmp(HeaderName(lines[i]).c_str(), section.c_str()) == 0) return i;
  return std::string::npos;
}

bool MapiSvcInf::HasSection(const std::string& section) const {
  return FindSection(section) != std::string::npos;
}

std::vector<MapiSvcInf::Entry> MapiSvcInf::Entries(const std::string& section) const {
  std::vector<Entry> out;
  size_t at = FindSection(section);
  if (at == std::string::npos) return out;
  for (size_t i = at + 1; i < lines.size() && !IsHeader(lines[i]); ++i) {
    std::string line = Trim(lines[i]);
    if (line.empty() || line[0] == ';') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    out.emplace_back(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
  }
  return out;
}

void MapiSvcInf::Set(const std::string& section, const std::string& key, const std::string& value) {
  std::string line = key + "=" + value;
  size_t at = FindSection(section);
  if (at == std::string::npos) {
    if (!lines.empty() && !lines.back().empty()) lines.push_back("");
    lines.push_back("[" + section + "]");
    lines.push_back(line);
    return;
  }
  size_t end = at + 1;
  for (; end < lines.size() && !IsHeader(lines[end]); ++end) {
    std::string l = Trim(lines[end]);
    size_t eq = l.find('=');
    if (eq != std::string::npos && strcasecmp(Trim(l.substr(0, eq)).c_str(), key.c_str()) == 0) {
      lines[end] = line;
      return;
    }
  }
  // Before the blank lines that separate the section from the next one.
  while (end > at + 1 && Trim(lines[end - 1]).empty()) --end;
  lines.insert(lines.begin() + static_cast<long>(end), line);
}

void MapiSvcInf::RemoveSection(const std::string& section) {
  size_t at = FindSection(section);
  if (at == std::string::npos) return;
  size_t end = at + 1;
  while (end < lines.size() && !IsHeader(lines[end])) ++end;
  lines.erase(lines.begin() + static_cast<long>(at), lines.begin() + static_cast<long>(end));
}

std::string MapiSvcInf::SystemDirectory() {
  if (const char* dir = std::getenv("ZEL_MAPI_DIR"); dir && *dir) return dir;
  return UserDataHome() + "/vantrel/mapi";
}

std::string MapiSvcInf::DefaultPath() {
  return SystemDirectory() + "/MAPISVC.INF";
}

std::string MapiSvcInf::DefaultText() {
  return "[Services]\n"
         "MSPST MS=Personal Folders\n"
         "\n"
         "[MSPST MS]\n"
         "Providers=MSPST MSP\n"
         "PR_SERVICE_DLL_NAME=MSPST.DLL\n"
         "PR_SERVICE_ENTRY_NAME=PSTServiceEntry\n"
         "PR_SERVICE_SUPPORT_FILES=MSPST.DLL\n"
         "PR_SERVICE_DELETE_FILES=MSPST.DLL\n"
         "PR_RESOURCE_FLAGS=SERVICE_NO_PRIMARY_IDENTITY\n"
         "\n"
         "[MSPST MSP]\n"
         "PR_PROVIDER_DLL_NAME=MSPST.DLL\n"
         "PR_RESOURCE_TYPE=MAPI_STORE_PROVIDER\n"
         "PR_PROVIDER_DISPLAY=Personal Folders\n"
         "PR_DISPLAY_NAME=Personal Folders\n"
         "PR_MDB_PROVIDER=" +
         UidToHex(kPstMdbProvider) + "\n";
}

HRESULT MapiSvcInf::LoadInstalled(MapiSvcInf* inf) {
  std::string path = DefaultPath();
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    std::filesystem::create_directories(SystemDirectory(), ec);
    MapiSvcInf shipped;
    shipped.Parse(DefaultText());
    if (HRESULT hr = shipped.Save(path); FAILED(hr)) return hr;
  }
  return inf->Load(path);
}

HRESULT MapiSvcInf::RegisterSharedDll() {
  HKEY key = nullptr;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", 0, nullptr, 0,
                     KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return MAPI_E_CALL_FAILED;
  std::string name = SystemDirectory() + "/MSMAPI32.DLL";
  DWORD count = 0, cb = sizeof count, type = 0;
  if (RegQueryValueEx(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&count), &cb) != ERROR_SUCCESS ||
      type != REG_DWORD || count == 0) {
    count = 1;
    LSTATUS st = RegSetValueEx(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof count);
    RegCloseKey(key);
    return st == ERROR_SUCCESS ? S_OK : MAPI_E_CALL_FAILED;
  }
  RegCloseKey(key);
  return S_OK;
}

}  // namespace vantrel::mapi
