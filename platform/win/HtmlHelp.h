// HTML help: a help file, a topic in it and the help window's type, as
// the published call takes them ("file.chm::/topic.htm>window"). The
// request goes to the attached front ends (a `help` record), which open it
// the desktop's way; it is logged either way.
#pragma once

#include "platform/win/WinUser.h"

using DWORD_PTR = ULONG_PTR;

inline constexpr UINT HH_DISPLAY_TOPIC = 0x0000;
inline constexpr UINT HH_DISPLAY_TOC = 0x0001;
inline constexpr UINT HH_DISPLAY_INDEX = 0x0002;
inline constexpr UINT HH_DISPLAY_SEARCH = 0x0003;
inline constexpr UINT HH_HELP_CONTEXT = 0x000F;
inline constexpr UINT HH_CLOSE_ALL = 0x0012;

// Shows `file` (HH_DISPLAY_TOPIC, HH_DISPLAY_TOC, HH_DISPLAY_INDEX,
// HH_DISPLAY_SEARCH; `data` is not used). Returns `caller` (or, without
// one, a non-null value) when at least one front end received the request,
// null when none is attached or the command is not one of those: the
// caller may then open the file itself.
HWND HtmlHelpA(HWND caller, LPCSTR file, UINT command, DWORD_PTR data);
inline HWND HtmlHelp(HWND caller, LPCSTR file, UINT command, DWORD_PTR data) {
  return HtmlHelpA(caller, file, command, data);
}
