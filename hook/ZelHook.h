// zelhook: a global window hook that closes the free/busy information
// window wherever it opens. The module is loaded with LoadLibrary by the
// component that installs the hook; its exports are found by name or by
// ordinal (zelhook.def), never by linking.
#pragma once

#include "platform/win/Hook.h"

// The part of a window title that marks the free/busy information window;
// compared case-sensitively, anywhere in the title.
inline constexpr char kFreeBusyTitle[] = "Frei/Gebucht-Informationen";

extern "C" {

// Ordinal 1. The WH_CALLWNDPROC procedure: on the WM_CREATE of a window
// whose title holds kFreeBusyTitle it posts WM_CLOSE to the window's parent
// (a window without a parent is left alone), and it always passes the call
// on with the handle InstallHook left in the shared section.
LRESULT CALLBACK CallWndProc(int code, WPARAM wParam, LPARAM lParam);

// Ordinal 2. Installs CallWndProc for every thread of the desktop and keeps
// the handle in the module's shared section. Null on failure. There is no
// removal: the hook ends with the installing process.
HHOOK WINAPI InstallHook();

}  // extern "C"
