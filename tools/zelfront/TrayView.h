// A process's tray icon as a QSystemTrayIcon: the picture its record
// carries (`image`, the icon's PNG; a mark of our own where there is none),
// its tip; a right click sends WM_RBUTTONUP to the icon's window, which
// then tracks its menu, a double click WM_LBUTTONDBLCLK.
#pragma once

#include <QIcon>
#include <QSystemTrayIcon>

#include <map>
#include <string>
#include <vector>

#include "tools/zelfront/ProcessLink.h"

namespace zelfront {

class TrayView : public QSystemTrayIcon {
 public:
  TrayView(ProcessLink* link, const fe::Record& r);

  void Update(const fe::Record& r);
  // Sends the icon's callback with a mouse message.
  void Mouse(int message);
  // Shows the icon again (a tray that appeared, or came back).
  void Readd();

  const std::string& key() const { return key_; }
  ProcessLink* link() const { return link_; }
  const std::string& iconHandle() const { return icon_; }
  // Icon handles in the order they were first shown.
  const std::vector<std::string>& seen() const { return seen_; }
  bool fromImage() const { return fromImage_; }

 private:
  ProcessLink* link_;
  const std::string key_;
  std::string hwnd_, uid_, icon_;
  bool callback_ = false;
  bool fromImage_ = false;
  std::map<std::string, QIcon> cache_;  // by icon handle: the frames repeat
  std::vector<std::string> seen_;
};

// Our own mark for an icon without a picture: a ring whose gap turns with
// the handle, so frames still differ.
QIcon DefaultTrayIcon(std::uint64_t seed);

}  // namespace zelfront
