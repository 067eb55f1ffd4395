// The notification-area (tray) icon as a model: Shell_NotifyIcon keeps the
// icons of this process and shows them to the attached front ends; a click
// on one arrives as the icon's callback message with (uID, mouse message).
#pragma once

#include "platform/win/WinUser.h"

#ifndef MAKEINTRESOURCEA
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#endif

inline constexpr DWORD NIM_ADD = 0x00000000;
inline constexpr DWORD NIM_MODIFY = 0x00000001;
inline constexpr DWORD NIM_DELETE = 0x00000002;

inline constexpr UINT NIF_MESSAGE = 0x00000001;
inline constexpr UINT NIF_ICON = 0x00000002;
inline constexpr UINT NIF_TIP = 0x00000004;
inline constexpr UINT NIF_STATE = 0x00000008;
inline constexpr UINT NIF_INFO = 0x00000010;

struct NOTIFYICONDATAA {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  CHAR szTip[128];
  DWORD dwState;
  DWORD dwStateMask;
  CHAR szInfo[256];
  union {
    UINT uTimeout;
    UINT uVersion;
  };
  CHAR szInfoTitle[64];
  DWORD dwInfoFlags;
  BYTE guidItem[16];
  HICON hBalloonIcon;
};
using NOTIFYICONDATA = NOTIFYICONDATAA;
using PNOTIFYICONDATAA = NOTIFYICONDATAA*;

BOOL Shell_NotifyIconA(DWORD message, PNOTIFYICONDATAA data);
inline BOOL Shell_NotifyIcon(DWORD message, PNOTIFYICONDATAA data) { return Shell_NotifyIconA(message, data); }

// LoadIcon gives an icon handle a tray icon carries: an ICON resource of
// `instance` (the handle keeps its bytes, the image front ends draw), else
// a system icon's number.
#define IDI_APPLICATION MAKEINTRESOURCEA(32512)
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
inline HICON LoadIcon(HINSTANCE instance, LPCSTR name) { return LoadIconA(instance, name); }
