// The front end's own window: every attached process with its top-level
// windows (hidden ones too) and tray icons. It is how a person reaches a
// program where no tray exists: a double click on a tray entry sends the
// icon's double click, its context menu the right click (the process's
// own menu then opens); a double click on a window shows its drawing.
#pragma once

#include <QTreeWidget>

#include <functional>
#include <string>

namespace zelfront {

class ProcessLink;

class WindowList : public QTreeWidget {
 public:
  struct Actions {
    std::function<void(ProcessLink*, const std::string& trayKey, int message)> tray;
    std::function<void(ProcessLink*, const std::string& hwnd)> show;
  };
  explicit WindowList(Actions actions);

  void Rebuild(const std::vector<ProcessLink*>& links);

  // Tray and window entries with their global rectangles, for the state
  // file: kind ("tray" or "window"), pid, key, rectangle, text.
  struct Entry {
    std::string kind;
    int pid;
    std::string key;
    QRect rect;
    std::string text;
  };
  std::vector<Entry> Entries() const;

 private:
  Actions actions_;
  std::string shape_;
};

}  // namespace zelfront
