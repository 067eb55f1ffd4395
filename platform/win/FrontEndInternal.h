// What the dialog platform's parts tell the front-end side and ask of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win/FrontEndProtocol.h"
#include "platform/win/WinUser.h"

namespace vantrel::win {

// The text a front end typed, handed to the edit by a token (posted in
// ZM_FE_SETTEXT's wParam); empty when the token is unknown.
std::string TakeFrontEndInput(std::uint64_t token);

// Records of what the process shows besides windows (for a new front end).
std::vector<fe::Record> MenuRecords();   // Menu.cpp: the menus being tracked
std::vector<fe::Record> TrayRecords();   // TrayIcon.cpp
fe::Record CursorRecord();               // Dialog.cpp

// Dialog.cpp: the dialog class ("#32770", also the class of message
// boxes) and the control classes, registered once.
void RegisterDialogClasses();
// Dialog.cpp: true when `h` is a dialog made from a template (with the
// template's font, `points` 0 when it names none) or one of the controls
// of its template: their places are dialog units.
bool TemplateUnits(HWND h, bool* isDialog, std::string* face, int* points);

// TrayIcon.cpp: a front end's click on an icon; false with a message when
// no such icon is shown.
bool TrayIconClick(HWND hwnd, UINT uid, UINT mouseMessage, std::string* error);
// TrayIcon.cpp: a window's icons go with it.
void TrayIconsOfWindowDestroyed(HWND hwnd);

}  // namespace vantrel::win
