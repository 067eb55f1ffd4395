#include "client/ServiceRegistration.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "client/ClientModule.h"
#include "platform/mapi/MapiSvcInf.h"
#include "platform/registry/Registry.h"
#include "platform/win/Resources.h"

namespace vantrel::client {

namespace {

constexpr char kServicesHeader[] = "[Services]";
constexpr char kSharedDlls[] = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr char kInfName[] = "MAPISVC.INF";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Index of the next section header at or after `from`, or lines.size().
size_t NextHeader(const InfLines& lines, size_t from) {
  while (from < lines.size() && !IsSectionHeader(lines[from])) ++from;
  return from;
}

void RemoveSection(InfLines& file, const std::string& header) {
  auto it = std::find(file.begin(), file.end(), header);
  if (it == file.end()) return;
  size_t begin = static_cast<size_t>(it - file.begin());
  size_t end = NextHeader(file, begin + 1);
  file.erase(file.begin() + static_cast<std::ptrdiff_t>(begin), file.begin() + static_cast<std::ptrdiff_t>(end));
}

}  // namespace

InfLines SplitDefinition(std::string_view text) {
  InfLines lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(line));
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

std::optional<InfLines> ReadInfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  InfLines lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string::npos ? text.size() : nl;
    size_t cut = end;
    if (cut > pos && text[cut - 1] == '\r') --cut;
    lines.emplace_back(text, pos, cut - pos);
    pos = nl == std::string::npos ? text.size() : nl + 1;
  }
  return lines;
}

bool WriteInfFile(const std::string& path, const InfLines& lines) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  for (const std::string& line : lines) out << line << '\n';
  out.flush();
  return static_cast<bool>(out);
}

void MergeServiceDefinition(InfLines& file, const InfLines& definition) {
  auto services = std::find(definition.begin(), definition.end(), kServicesHeader);
  if (services == definition.end()) return;
  size_t i = static_cast<size_t>(services - definition.begin()) + 1;

  // The service entries: each leaves the file's services section (or the
  // lines above the first section) so it can come back once.
  InfLines entries;
  for (; i < definition.size() && !IsSectionHeader(definition[i]); ++i) {
    const std::string& entry = definition[i];
    entries.push_back(entry);
    for (size_t k = 0; k < file.size(); ++k) {
      if (IsSectionHeader(file[k]) && file[k] != kServicesHeader) break;
      if (file[k] == entry) {
        file.erase(file.begin() + static_cast<std::ptrdiff_t>(k));
        break;
      }
    }
  }

  // The remaining sections replace the file's sections of the same header.
  for (; i < definition.size(); ++i) {
    if (IsSectionHeader(definition[i])) RemoveSection(file, definition[i]);
    file.push_back(definition[i]);
  }

  auto header = std::find_if(file.begin(), file.end(),
                             [](const std::string& line) { return Lower(line) == "[services]"; });
  if (header == file.end()) return;
  size_t h = static_cast<size_t>(header - file.begin());
  for (const std::string& entry : entries) {
    for (size_t k = h + 1; k < file.size(); ++k) {
      if (file[k] == entry) break;
      if (IsSectionHeader(file[k])) {
        file.insert(file.begin() + static_cast<std::ptrdiff_t>(h) + 1, entry);
        break;
      }
    }
  }
}

std::string SystemDirectory() { return mapi::MapiSvcInf::SystemDirectory() + "/system"; }

std::string LocateInstalledMapiSvcInf() {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSharedDlls, 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::string candidate;
  for (DWORD index = 0;; ++index) {
    char name[260];
    DWORD cch = sizeof name;
    LSTATUS st = RegEnumValue(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_MORE_DATA) continue;  // longer than a path can be
    if (st != ERROR_SUCCESS) break;
    std::string path(name, cch);
    std::string upper = Upper(path);
    if (size_t at = upper.find("MSMAPI32.DLL"); at != std::string::npos) {
      candidate = path.substr(0, at) + kInfName + path.substr(at + 12);
      break;
    }
    if (candidate.empty()) {
      if (size_t at = upper.find("MAPI.DLL"); at != std::string::npos) candidate = path.substr(0, at) + kInfName;
    }
  }
  RegCloseKey(key);
  return candidate;
}

bool MergeIntoFile(const std::string& path, const InfLines& definition) {
  std::optional<InfLines> lines = ReadInfFile(path);
  if (!lines) return false;
  if (!WriteInfFile(path + ".bak", *lines)) return false;
  MergeServiceDefinition(*lines, definition);
  // Replaced whole: a write that stops half way leaves the old file.
  std::string next = path + ".new";
  std::error_code ec;
  if (!WriteInfFile(next, *lines)) {
    std::filesystem::remove(next, ec);
    return false;
  }
  std::filesystem::rename(next, path, ec);
  return !ec;
}

void RegisterServiceDefinition(std::string_view definition_text) {
  InfLines definition = SplitDefinition(definition_text);
  std::error_code ec;
  std::string system_inf = SystemDirectory() + "/" + kInfName;
  bool system_exists = std::filesystem::exists(system_inf, ec);
  if (system_exists) MergeIntoFile(system_inf, definition);

  std::string installed = LocateInstalledMapiSvcInf();
  if (installed.empty()) return;  // the system folder's file, if any, is merged already
  // One file merged twice would leave a .bak that already holds the entry.
  if (system_exists && std::filesystem::equivalent(installed, system_inf, ec)) return;
  MergeIntoFile(installed, definition);
}

}  // namespace vantrel::client

namespace {

// The service definition among the module's resources: the resource
// library's when it carries one, else the module's own.
bool FindDefinition(std::string_view* text) {
  using namespace vantrel;
  HMODULE own = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&FindDefinition), &own);
  HMODULE resources = client::ClientResources();
  if (resources && resources != own && win::FindResourceBytes(resources, "INF", "IDR_INF", text)) return true;
  return own && win::FindResourceBytes(own, "INF", "IDR_INF", text);
}

}  // namespace

extern "C" HRESULT DllRegisterServer() {
  try {
    std::string_view text;
    if (FindDefinition(&text)) vantrel::client::RegisterServiceDefinition(text);
  } catch (...) {
    // Registration reports nothing; what was written stays written.
  }
  return S_OK;
}
