#include "platform/win/Menu.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/Dialog.h"
#include "platform/win/DialogTemplate.h"
#include "platform/win/FrontEnd.h"
#include "platform/win/FrontEndInternal.h"
#include "platform/win/Resources.h"

namespace vantrel::win {
namespace {

struct MenuItem {
  UINT flags = 0;  // MF_*
  UINT id = 0;
  HMENU popup = nullptr;
  std::string text;
};

struct MenuModel {
  std::vector<MenuItem> items;
};

// Menus are numbers in this table (never pointers), so a stale handle names
// nothing rather than freed memory.
vantrel::Mutex g_mu;
std::map<std::uintptr_t, MenuModel>& g_menus GUARDED_BY(g_mu) = *new std::map<std::uintptr_t, MenuModel>;
std::uintptr_t g_nextMenu GUARDED_BY(g_mu) = 0x1000;
std::map<HWND, HMENU>& g_systemMenus GUARDED_BY(g_mu) = *new std::map<HWND, HMENU>;
std::vector<std::pair<HMENU, HWND>>& g_tracked GUARDED_BY(g_mu) = *new std::vector<std::pair<HMENU, HWND>>;  // menus shown to front ends

std::uintptr_t Key(HMENU m) { return reinterpret_cast<std::uintptr_t>(m); }

HMENU NewMenu() EXCLUDES(g_mu) {
  vantrel::MutexLock lock(g_mu);
  std::uintptr_t k = g_nextMenu++;
  g_menus[k];
  return reinterpret_cast<HMENU>(k);
}

// The item `item` names, by command id (searching popups) or by position.
MenuItem* FindItem(HMENU menu, UINT item, UINT flags, int depth = 0) REQUIRES(g_mu) {
  auto it = g_menus.find(Key(menu));
  if (it == g_menus.end() || depth > 16) return nullptr;
  auto& items = it->second.items;
  if (flags & MF_BYPOSITION) return item < items.size() ? &items[item] : nullptr;
  for (auto& i : items) {
    if (!(i.flags & MF_POPUP) && !(i.flags & MF_SEPARATOR) && i.id == item) return &i;
  }
  for (auto& i : items) {
    if (i.flags & MF_POPUP) {
      if (MenuItem* found = FindItem(i.popup, item, flags, depth + 1)) return found;
    }
  }
  return nullptr;
}

void DestroyTree(std::uintptr_t k, int depth) REQUIRES(g_mu) {
  auto it = g_menus.find(k);
  if (it == g_menus.end() || depth > 16) return;
  std::vector<MenuItem> items = std::move(it->second.items);
  g_menus.erase(it);
  for (const auto& i : items) {
    if (i.flags & MF_POPUP) DestroyTree(Key(i.popup), depth + 1);
  }
}

HMENU Build(const std::vector<MenuTemplateItem>& items, bool popup) {
  HMENU m = popup ? CreatePopupMenu() : CreateMenu();
  for (const auto& i : items) {
    if (i.flags & MF_POPUP) {
      HMENU sub = Build(i.children, true);
      AppendMenuA(m, MF_POPUP | (i.flags & (MF_GRAYED | MF_CHECKED)), reinterpret_cast<UINT_PTR>(sub), i.text.c_str());
    } else {
      AppendMenuA(m, i.flags, i.id, i.text.c_str());
    }
  }
  return m;
}

void Describe(HMENU menu, int depth, fe::Record* r) REQUIRES(g_mu) {
  auto it = g_menus.find(Key(menu));
  if (it == g_menus.end() || depth > 16) return;
  for (const auto& i : it->second.items) {
    r->Add({"menuitem", std::to_string(i.id), fe::Hex(i.flags), std::to_string(depth), i.text});
    if (i.flags & MF_POPUP) Describe(i.popup, depth + 1, r);
  }
}

fe::Record MenuRecord(HMENU menu, HWND owner) REQUIRES(g_mu) {
  fe::Record r{"menu", "shown", fe::Hex(Key(menu)), {}};
  r.Add({"owner", fe::Hex(reinterpret_cast<std::uintptr_t>(owner))});
  Describe(menu, 0, &r);
  return r;
}

// The command ids a front end may pick: enabled string items.
void Commands(HMENU menu, int depth, std::vector<std::int64_t>* out) REQUIRES(g_mu) {
  auto it = g_menus.find(Key(menu));
  if (it == g_menus.end() || depth > 16) return;
  for (const auto& i : it->second.items) {
    if (i.flags & (MF_GRAYED | MF_DISABLED)) continue;
    if (i.flags & MF_POPUP) Commands(i.popup, depth + 1, out);
    else if (!(i.flags & MF_SEPARATOR)) out->push_back(i.id);
  }
}

}  // namespace

std::vector<fe::Record> MenuRecords() {
  vantrel::MutexLock lock(g_mu);
  std::vector<fe::Record> out;
  for (const auto& [menu, owner] : g_tracked) out.push_back(MenuRecord(menu, owner));
  return out;
}

}  // namespace vantrel::win

using vantrel::win::g_menus;
using vantrel::win::g_mu;

HMENU CreateMenu() { return vantrel::win::NewMenu(); }
HMENU CreatePopupMenu() { return vantrel::win::NewMenu(); }

BOOL DestroyMenu(HMENU menu) {
  vantrel::MutexLock lock(g_mu);
  if (!g_menus.count(vantrel::win::Key(menu))) return FALSE;
  vantrel::win::DestroyTree(vantrel::win::Key(menu), 0);
  return TRUE;
}

HMENU LoadMenuA(HINSTANCE instance, LPCSTR name) {
  std::string_view bytes;
  if (!vantrel::win::FindResourceBytes(instance, RT_MENU, name, &bytes)) return nullptr;
  vantrel::win::MenuTemplate t;
  std::string error;
  if (!vantrel::win::ParseMenuTemplate(bytes, &t, &error)) {
    std::fprintf(stderr, "menu: %s\n", error.c_str());
    return nullptr;
  }
  return vantrel::win::Build(t.items, false);
}

BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR idOrPopup, LPCSTR text) {
  vantrel::MutexLock lock(g_mu);
  auto it = g_menus.find(vantrel::win::Key(menu));
  if (it == g_menus.end()) return FALSE;
  vantrel::win::MenuItem item;
  item.flags = flags & ~MF_BYPOSITION;
  if (flags & MF_POPUP) {
    if (!g_menus.count(idOrPopup) || idOrPopup == vantrel::win::Key(menu)) return FALSE;
    item.popup = reinterpret_cast<HMENU>(idOrPopup);
  } else {
    item.id = static_cast<UINT>(idOrPopup);
  }
  if (!(flags & MF_SEPARATOR) && text) item.text = text;
  it->second.items.push_back(std::move(item));
  return TRUE;
}

HMENU GetSubMenu(HMENU menu, int position) {
  vantrel::MutexLock lock(g_mu);
  auto it = g_menus.find(vantrel::win::Key(menu));
  if (it == g_menus.end() || position < 0 || static_cast<size_t>(position) >= it->second.items.size()) return nullptr;
  const auto& item = it->second.items[static_cast<size_t>(position)];
  return (item.flags & MF_POPUP) ? item.popup : nullptr;
}

int GetMenuItemCount(HMENU menu) {
  vantrel::MutexLock lock(g_mu);
  auto it = g_menus.find(vantrel::win::Key(menu));
  return it == g_menus.end() ? -1 : static_cast<int>(it->second.items.size());
}

UINT GetMenuItemID(HMENU menu, int position) {
  vantrel::MutexLock lock(g_mu);
  auto* item = vantrel::win::FindItem(menu, static_cast<UINT>(position), MF_BYPOSITION);
  if (!item || (item->flags & MF_POPUP)) return 0xFFFFFFFFu;
  return item->id;
}

UINT GetMenuState(HMENU menu, UINT item, UINT flags) {
  vantrel::MutexLock lock(g_mu);
  auto* i = vantrel::win::FindItem(menu, item, flags);
  return i ? (i->flags & ~MF_POPUP) : 0xFFFFFFFFu;
}

int GetMenuStringA(HMENU menu, UINT item, LPSTR buffer, int size, UINT flags) {
  vantrel::MutexLock lock(g_mu);
  auto* i = vantrel::win::FindItem(menu, item, flags);
  if (!i) return 0;
  if (!buffer || size <= 0) return static_cast<int>(i->text.size());
  int n = std::min(static_cast<int>(i->text.size()), size - 1);
  std::memcpy(buffer, i->text.data(), static_cast<size_t>(n));
  buffer[n] = '\0';
  return n;
}

BOOL EnableMenuItem(HMENU menu, UINT item, UINT enable) {
  vantrel::MutexLock lock(g_mu);
  auto* i = vantrel::win::FindItem(menu, item, enable & MF_BYPOSITION);
  if (!i) return -1;
  UINT old = i->flags & (MF_GRAYED | MF_DISABLED);
  i->flags = (i->flags & ~(MF_GRAYED | MF_DISABLED)) | (enable & (MF_GRAYED | MF_DISABLED));
  return static_cast<BOOL>(old);
}

DWORD CheckMenuItem(HMENU menu, UINT item, UINT check) {
  vantrel::MutexLock lock(g_mu);
  auto* i = vantrel::win::FindItem(menu, item, check & MF_BYPOSITION);
  if (!i) return 0xFFFFFFFFu;
  DWORD old = i->flags & MF_CHECKED;
  i->flags = (i->flags & ~MF_CHECKED) | (check & MF_CHECKED);
  return old;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int, int, int, HWND owner, const RECT*) {
  vantrel::win::EnsureFrontEnds();
  std::vector<std::int64_t> commands;
  {
    vantrel::MutexLock lock(g_mu);
    if (!g_menus.count(vantrel::win::Key(menu))) return FALSE;
    vantrel::win::Commands(menu, 0, &commands);
  }
  commands.push_back(0);  // 0 cancels
  std::int64_t picked = 0;
  bool shown = false;
  auto show = [&] {
    shown = true;
    vantrel::MutexLock lock(g_mu);
    vantrel::win::g_tracked.emplace_back(menu, owner);
    vantrel::win::fe::Record shown = vantrel::win::MenuRecord(menu, owner);
    lock.Unlock();
    vantrel::win::PublishRecord(shown);
  };
  // With no front end attached nothing is shown and nothing is picked.
  if (!vantrel::win::WaitForPrompt("menu:" + vantrel::win::fe::Hex(vantrel::win::Key(menu)), commands, show, &picked)) {
    picked = 0;
  }
  {
    vantrel::MutexLock lock(g_mu);
    auto& t = vantrel::win::g_tracked;
    for (auto it = t.begin(); it != t.end(); ++it) {
      if (it->first == menu) {
        t.erase(it);
        break;
      }
    }
  }
  if (shown) {
    vantrel::win::PublishRecord(vantrel::win::fe::Record{"menu", "closed", vantrel::win::fe::Hex(vantrel::win::Key(menu)), {}});
  }
  if (flags & TPM_RETURNCMD) return static_cast<BOOL>(picked);
  bool system = false;
  {
    vantrel::MutexLock lock(g_mu);
    for (const auto& [hwnd, m] : vantrel::win::g_systemMenus) system = system || m == menu;
  }
  // A pick of a window's system menu is a system command.
  if (picked != 0 && owner) PostMessageA(owner, system ? WM_SYSCOMMAND : WM_COMMAND, static_cast<WPARAM>(picked), 0);
  return picked != 0;
}

HMENU GetSystemMenu(HWND hwnd, BOOL revert) {
  if (!IsWindow(hwnd)) return nullptr;
  {
    vantrel::MutexLock lock(g_mu);
    auto it = vantrel::win::g_systemMenus.find(hwnd);
    if (revert) {
      if (it != vantrel::win::g_systemMenus.end()) {
        vantrel::win::DestroyTree(vantrel::win::Key(it->second), 0);
        vantrel::win::g_systemMenus.erase(it);
      }
      return nullptr;
    }
    if (it != vantrel::win::g_systemMenus.end()) return it->second;
  }
  HMENU m = CreatePopupMenu();
  AppendMenuA(m, MF_STRING, SC_RESTORE, "&Restore");
  AppendMenuA(m, MF_STRING, SC_MOVE, "&Move");
  AppendMenuA(m, MF_STRING, SC_SIZE, "&Size");
  AppendMenuA(m, MF_STRING, SC_MINIMIZE, "Mi&nimize");
  AppendMenuA(m, MF_STRING, SC_MAXIMIZE, "Ma&ximize");
  AppendMenuA(m, MF_SEPARATOR, 0, nullptr);
  AppendMenuA(m, MF_STRING, SC_CLOSE, "&Close");
  vantrel::MutexLock lock(g_mu);
  auto [it, inserted] = vantrel::win::g_systemMenus.emplace(hwnd, m);
  if (!inserted) {
    vantrel::win::DestroyTree(vantrel::win::Key(m), 0);  // another thread made it first
  }
  return it->second;
}
