#include "server/app/ZelConfig.h"

#include <unistd.h>

#include <cstring>
#include <utility>

#include "platform/base/HResult.h"
#include "platform/registry/Registry.h"
#include "platform/win/MessageBox.h"

namespace {

// One registry value: a string or a number member of CZelConfig.
struct Setting {
  const char* name;
  std::string CZelConfig::*text;
  DWORD CZelConfig::*number;
};

constexpr Setting S(const char* name, std::string CZelConfig::*m) {
  return {name, m, nullptr};
}
constexpr Setting N(const char* name, DWORD CZelConfig::*m) {
  return {name, nullptr, m};
}

// The values in load and save order. DropAfterMinutes appears twice, both
// times for the same setting; the registry holds it once.
const Setting kSettings[] = {
    S("MailboxPath", &CZelConfig::MailboxPath),
    S("PublicFoldersPath", &CZelConfig::PublicFoldersPath),
    S("SpoolDir", &CZelConfig::SpoolDir),
    S("DomainName", &CZelConfig::DomainName),
    S("ConnectionName", &CZelConfig::ConnectionName),
    S("SMTPAllowedIPs", &CZelConfig::SMTPAllowedIPs),
    S("DNS", &CZelConfig::DNS),
    N("ConnectAlways", &CZelConfig::ConnectAlways),
    N("EnableMS", &CZelConfig::EnableMS),
    N("POP3Port", &CZelConfig::POP3Port),
    N("SMTPPort", &CZelConfig::SMTPPort),
    N("StartProxy", &CZelConfig::StartProxy),
    N("Autoconnect", &CZelConfig::Autoconnect),
    N("ManageMailboxes", &CZelConfig::ManageMailboxes),
    N("ConnectMinutes", &CZelConfig::ConnectMinutes),
    N("ConnectToInternet", &CZelConfig::ConnectToInternet),
    N("ConnectOnActivity", &CZelConfig::ConnectOnActivity),
    N("UseDNS", &CZelConfig::UseDNS),
    N("Postoffice", &CZelConfig::Postoffice),
    N("ConnectOnSend", &CZelConfig::ConnectOnSend),
    N("ConnectOnSendImportant", &CZelConfig::ConnectOnSendImportant),
    N("ConnectionPermanent", &CZelConfig::ConnectionPermanent),
    N("DropAfterMinutes", &CZelConfig::DropAfterMinutes),
    N("DropAfterMinutes", &CZelConfig::DropAfterMinutes),
    N("SMTPAuth", &CZelConfig::SMTPAuth),
    S("InstalledVersion", &CZelConfig::InstalledVersion),
    N("CrypWarn", &CZelConfig::CrypWarn),
    S("Version", &CZelConfig::Version),
    N("Port", &CZelConfig::Port),
    N("TraceInternet", &CZelConfig::TraceInternet),
    S("Smtp_smart_server", &CZelConfig::Smtp_smart_server),
    S("Smtp_smart_username", &CZelConfig::Smtp_smart_username),
    S("Smtp_smart_pwd", &CZelConfig::Smtp_smart_pwd),
    N("Smtp_smart_port", &CZelConfig::Smtp_smart_port),
    N("Smtp_smart_use", &CZelConfig::Smtp_smart_use),
    N("Smtp_smart_login", &CZelConfig::Smtp_smart_login),
    N("Smtp_smart_sendFromaddr", &CZelConfig::Smtp_smart_sendFromaddr),
    S("Smtp_smart_fromaddr", &CZelConfig::Smtp_smart_fromaddr),
    S("Path", &CZelConfig::Path),
    N("MinThreads", &CZelConfig::MinThreads),
    N("MaxThreads", &CZelConfig::MaxThreads),
    N("BackupMails", &CZelConfig::BackupMails),
    N("AllowRelayAuth", &CZelConfig::AllowRelayAuth),
    N("disconnect", &CZelConfig::disconnect),
    N("disconnect_after", &CZelConfig::disconnect_after),
    N("disconnect_immediatly", &CZelConfig::disconnect_immediatly),
    N("disconnect_minutes", &CZelConfig::disconnect_minutes),
    N("EnableRecordLocking", &CZelConfig::EnableRecordLocking),
    S("TrustedHosts", &CZelConfig::TrustedHosts),
    N("EnableBetaFunctions", &CZelConfig::EnableBetaFunctions),
    S("Postmaster", &CZelConfig::Postmaster),
    N("MaxPendingBytes", &CZelConfig::MaxPendingBytes),
    N("MaxObjectsPerSession", &CZelConfig::MaxObjectsPerSession),
    N("MaxSessionsPerConnection", &CZelConfig::MaxSessionsPerConnection),
    N("MaxConnectionsPerAddress", &CZelConfig::MaxConnectionsPerAddress),
    N("MaxConnections", &CZelConfig::MaxConnections),
    N("LogonDelayStep", &CZelConfig::LogonDelayStep),
    N("StopWait", &CZelConfig::StopWait),
};

// A string is taken only as a non-empty REG_SZ of at most 256 bytes.
constexpr DWORD kMaxString = 256;

std::string ExecutableFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : exe.substr(0, slash);
}

std::string Join(const std::string& folder, const char* name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

HKEY OpenKey(const char* path, REGSAM sam) {
  HKEY key = nullptr;
  return RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, sam, &key) == ERROR_SUCCESS ? key : nullptr;
}

HKEY CreateKey(const char* path) {
  HKEY key = nullptr;
  LSTATUS st = RegCreateKeyEx(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr);
  return st == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

CZelConfig::CZelConfig() : program_folder_(ExecutableFolder()) {}

void CZelConfig::SetProgramFolder(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  program_folder_ = std::move(folder);
}

void CZelConfig::CompletePaths() {
  Path = program_folder_;
  if (SpoolDir.empty()) SpoolDir = Join(Path, "Spool");
  if (MailboxPath.empty()) MailboxPath = Join(Path, "Mailboxes");
  if (PublicFoldersPath.empty()) PublicFoldersPath = Join(Path, "PublicFolders");
}

void CZelConfig::Load() {
  if (HKEY key = OpenKey(kKey, KEY_READ)) {
    for (const Setting& s : kSettings) {
      DWORD type = REG_NONE;
      if (s.text) {
        char buf[kMaxString];
        DWORD cb = sizeof buf;
        if (RegQueryValueEx(key, s.name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb) == ERROR_SUCCESS &&
            type == REG_SZ && cb > 0) {
          this->*s.text = std::string(buf, strnlen(buf, cb));
        }
      } else {
        BYTE data[4] = {};
        DWORD cb = sizeof data;
        if (RegQueryValueEx(key, s.name, nullptr, &type, data, &cb) == ERROR_SUCCESS) {
          DWORD v = 0;
          std::memcpy(&v, data, sizeof v);
          this->*s.number = v;
        }
      }
    }
    RegCloseKey(key);
  }
  CompletePaths();
}

bool CZelConfig::Save() {
  const std::string rooted = std::string("\\") + kKey;
  HKEY key = OpenKey(kKey, KEY_WRITE);
  if (!key) key = OpenKey(rooted.c_str(), KEY_WRITE);
  if (!key) {
    if (HKEY k = CreateKey(kKey)) RegCloseKey(k);
    if (HKEY k = CreateKey(rooted.c_str())) RegCloseKey(k);
  } else {
    RegCloseKey(key);
  }
  key = OpenKey(kKey, KEY_WRITE);
  if (!key) key = OpenKey(rooted.c_str(), KEY_WRITE);
  if (!key) {
    if (HKEY k = CreateKey(kKey)) RegCloseKey(k);
    MessageBox(nullptr, "Error writing configuration", "Brimwell", MB_OK);
    return false;
  }
  for (const Setting& s : kSettings) {
    if (s.text) {
      const std::string& v = this->*s.text;
      RegSetValueEx(key, s.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()), static_cast<DWORD>(v.size() + 1));
    } else {
      DWORD v = this->*s.number;
      RegSetValueEx(key, s.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    }
  }
  RegCloseKey(key);
  return true;
}
