#include <cstring>
#include <map>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/FrontEnd.h"
#include "platform/win/FrontEndInternal.h"
#include "platform/win/IconTable.h"
#include "platform/win/ShellApi.h"

namespace vantrel::win {
namespace {

struct TrayIcon {
  UINT callback = 0;  // 0: no NIF_MESSAGE
  HICON icon = nullptr;
  std::string tip;
};

vantrel::Mutex g_mu;
std::map<std::pair<HWND, UINT>, TrayIcon>& g_icons GUARDED_BY(g_mu) = *new std::map<std::pair<HWND, UINT>, TrayIcon>;

fe::Record Record(HWND h, UINT uid, const TrayIcon* icon, const char* event) {
  fe::Record r{"tray", event, fe::Hex(reinterpret_cast<std::uintptr_t>(h)) + ":" + std::to_string(uid), {}};
  if (!icon) return r;
  r.Add({"hwnd", fe::Hex(reinterpret_cast<std::uintptr_t>(h))});
  r.Add({"uid", std::to_string(uid)});
  r.Add({"callback", fe::Hex(icon->callback)});
  r.Add({"icon", fe::Hex(reinterpret_cast<std::uintptr_t>(icon->icon))});
  r.Add({"tip", icon->tip});
  std::string image;
  if (IconImage(icon->icon, &image)) r.Add({"image", fe::HexBytes(image)});
  return r;
}

void Apply(TrayIcon* icon, const NOTIFYICONDATAA& d) {
  if (d.uFlags & NIF_MESSAGE) icon->callback = d.uCallbackMessage;
  if (d.uFlags & NIF_ICON) icon->icon = d.hIcon;
  if (d.uFlags & NIF_TIP) icon->tip.assign(d.szTip, strnlen(d.szTip, sizeof d.szTip));  // never past the array
}

}  // namespace

std::vector<fe::Record> TrayRecords() {
  vantrel::MutexLock lock(g_mu);
  std::vector<fe::Record> out;
  for (const auto& [key, icon] : g_icons) out.push_back(Record(key.first, key.second, &icon, "added"));
  return out;
}

bool TrayIconClick(HWND hwnd, UINT uid, UINT mouseMessage, std::string* error) {
  UINT callback = 0;
  {
    vantrel::MutexLock lock(g_mu);
    auto it = g_icons.find({hwnd, uid});
    if (it == g_icons.end()) {
      *error = "no tray icon " + std::to_string(uid) + " of " + fe::Hex(reinterpret_cast<std::uintptr_t>(hwnd));
      return false;
    }
    callback = it->second.callback;
  }
  if (callback == 0) {
    *error = "the icon has no callback message";
    return false;
  }
  if (!PostMessageA(hwnd, callback, uid, static_cast<LPARAM>(mouseMessage))) {
    *error = "the icon's window is gone";
    return false;
  }
  return true;
}

void TrayIconsOfWindowDestroyed(HWND hwnd) {
  std::vector<fe::Record> gone;
  {
    vantrel::MutexLock lock(g_mu);
    for (auto it = g_icons.begin(); it != g_icons.end();) {
      if (it->first.first == hwnd) {
        gone.push_back(Record(hwnd, it->first.second, nullptr, "deleted"));
        it = g_icons.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& r : gone) PublishRecord(r);
}

}  // namespace vantrel::win

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data) {
  using namespace vantrel::win;
  EnsureFrontEnds();
  if (!data || !IsWindow(data->hWnd)) return FALSE;
  std::pair<HWND, UINT> key{data->hWnd, data->uID};
  fe::Record r;
  {
    vantrel::MutexLock lock(g_mu);
    auto it = g_icons.find(key);
    switch (message) {
      case NIM_ADD: {
        if (it != g_icons.end()) return FALSE;
        TrayIcon icon;
        Apply(&icon, *data);
        r = Record(key.first, key.second, &icon, "added");
        g_icons.emplace(key, std::move(icon));
        break;
      }
      case NIM_MODIFY:
        if (it == g_icons.end()) return FALSE;
        Apply(&it->second, *data);
        r = Record(key.first, key.second, &it->second, "modified");
        break;
      case NIM_DELETE:
        if (it == g_icons.end()) return FALSE;
        g_icons.erase(it);
        r = Record(key.first, key.second, nullptr, "deleted");
        break;
      default:
        return FALSE;
    }
  }
  PublishRecord(r);
  return TRUE;
}
