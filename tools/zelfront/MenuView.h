// A menu a process tracks (TrackPopupMenu, the system menu): popped up at
// the pointer. A pick sends `menu TAG HMENU ID`; dismissing it sends ID 0,
// so the process's TrackPopupMenu returns as it would there.
#pragma once

#include <QMenu>

#include <string>

#include "tools/zelfront/ProcessLink.h"

namespace zelfront {

class MenuView : public QMenu {
 public:
  MenuView(ProcessLink* link, const fe::Record& r);
  // The process closed the menu itself: no answer is sent.
  void Withdraw();
  const std::string& key() const { return key_; }
  ProcessLink* link() const { return link_; }
  const std::string& owner() const { return owner_; }

 private:
  void Answer(const std::string& id);

  ProcessLink* link_;
  const std::string key_;
  std::string owner_;
  bool answered_ = false;
};

}  // namespace zelfront
