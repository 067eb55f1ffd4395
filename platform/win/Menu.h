// Menus as models: a menu is a numbered list of items (strings, separators
// and popups). TrackPopupMenu shows the menu to the attached front ends and
// waits, dispatching, until one picks an item or cancels; with no front end
// nothing is picked.
#pragma once

#include "platform/win/WinUser.h"

inline constexpr UINT MF_ENABLED = 0x0000;
inline constexpr UINT MF_GRAYED = 0x0001;
inline constexpr UINT MF_DISABLED = 0x0002;
inline constexpr UINT MF_STRING = 0x0000;
inline constexpr UINT MF_UNCHECKED = 0x0000;
inline constexpr UINT MF_CHECKED = 0x0008;
inline constexpr UINT MF_POPUP = 0x0010;
inline constexpr UINT MF_BYCOMMAND = 0x0000;
inline constexpr UINT MF_BYPOSITION = 0x0400;
inline constexpr UINT MF_SEPARATOR = 0x0800;
inline constexpr UINT MF_DEFAULT = 0x1000;
inline constexpr UINT MFS_GRAYED = 0x0003;
inline constexpr UINT MFS_CHECKED = MF_CHECKED;

inline constexpr UINT TPM_LEFTBUTTON = 0x0000;
inline constexpr UINT TPM_RIGHTBUTTON = 0x0002;
inline constexpr UINT TPM_LEFTALIGN = 0x0000;
inline constexpr UINT TPM_CENTERALIGN = 0x0004;
inline constexpr UINT TPM_RIGHTALIGN = 0x0008;
inline constexpr UINT TPM_BOTTOMALIGN = 0x0020;
inline constexpr UINT TPM_NONOTIFY = 0x0080;
inline constexpr UINT TPM_RETURNCMD = 0x0100;

inline constexpr UINT SC_SIZE = 0xF000;
inline constexpr UINT SC_MOVE = 0xF010;
inline constexpr UINT SC_MINIMIZE = 0xF020;
inline constexpr UINT SC_MAXIMIZE = 0xF030;
inline constexpr UINT SC_CLOSE = 0xF060;
inline constexpr UINT SC_RESTORE = 0xF120;

HMENU CreateMenu();
HMENU CreatePopupMenu();
BOOL DestroyMenu(HMENU menu);
HMENU LoadMenuA(HINSTANCE instance, LPCSTR name);
inline HMENU LoadMenu(HINSTANCE instance, LPCSTR name) { return LoadMenuA(instance, name); }
BOOL AppendMenuA(HMENU menu, UINT flags, UINT_PTR idOrPopup, LPCSTR text);
inline BOOL AppendMenu(HMENU menu, UINT flags, UINT_PTR idOrPopup, LPCSTR text) {
  return AppendMenuA(menu, flags, idOrPopup, text);
}
HMENU GetSubMenu(HMENU menu, int position);
int GetMenuItemCount(HMENU menu);
UINT GetMenuItemID(HMENU menu, int position);
UINT GetMenuState(HMENU menu, UINT item, UINT flags);
int GetMenuStringA(HMENU menu, UINT item, LPSTR buffer, int size, UINT flags);
// Returns the previous state (MF_ENABLED / MF_GRAYED ...), or -1 for an
// item that does not exist.
BOOL EnableMenuItem(HMENU menu, UINT item, UINT enable);
DWORD CheckMenuItem(HMENU menu, UINT item, UINT check);
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner, const RECT* rect);
HMENU GetSystemMenu(HWND hwnd, BOOL revert);
