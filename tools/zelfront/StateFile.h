// What the front end shows, as lines of protocol fields (escaped as in
// FrontEndProtocol.md), rewritten whenever it changes: for tests and for
// whoever drives the desktop from a script. Rectangles are global screen
// coordinates.
//
//   process PID PROGRAM
//   trayhost available|none
//   list shown|hidden
//   listentry PID tray|window KEY X Y W H TEXT   (while the list is shown)
//   tray PID KEY VISIBLE X Y W H ICON FRAMES IMAGE TIP
//   window PID HWND VISIBLE X Y W H TITLE
//   control PID HWND TOPHWND ID KIND ENABLED X Y W H TEXT
//   item PID CONTROLHWND row|node INDEX|HANDLE SELECTED X Y W H
//   box PID HWND VISIBLE X Y W H TEXT
//   boxbutton PID HWND ID X Y W H
//   menu PID HMENU OWNER VISIBLE
//   menuitem PID HMENU ID ENABLED X Y W H TEXT
//   note TEXT...            (attached, help, endsession, screenshot ...)
#pragma once

#include <string>

namespace zelfront {

class FrontEndApp;
std::string DescribeState(const FrontEndApp& app);

}  // namespace zelfront
