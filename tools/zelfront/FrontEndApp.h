// The front end: attaches to every process of the user, keeps one view per
// window, box, tracked menu and tray icon it reports, and brings what a
// person does back to the process. Everything runs on the GUI thread.
#pragma once

#include <sys/types.h>

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/zelfront/BoxView.h"
#include "tools/zelfront/MenuView.h"
#include "tools/zelfront/ProcessLink.h"
#include "tools/zelfront/ProcessWatcher.h"
#include "tools/zelfront/TrayView.h"
#include "tools/zelfront/WindowList.h"
#include "tools/zelfront/WindowView.h"

namespace zelfront {

struct Options {
  std::string screenshotDir;  // a PNG of each window, box and menu as first drawn
  std::string stateFile;      // what is drawn where, rewritten on each change
  bool list = false;          // show the window list even with a tray
};

class FrontEndApp : public QObject {
 public:
  FrontEndApp(std::string runtimeDir, Options options);
  ~FrontEndApp() override;

  void Start();
  // Asks every process whether the session may end; `done` gets the answer.
  void EndSession(bool logoff, std::function<void(bool)> done);

  // For the state file.
  std::vector<ProcessLink*> Links() const;
  const std::map<std::string, WindowView*>& windows() const { return windows_; }
  const std::map<std::string, BoxView*>& boxes() const { return boxes_; }
  const std::map<std::string, MenuView*>& menus() const { return menus_; }
  const std::map<std::string, TrayView*>& trays() const { return trays_; }
  bool trayHost() const { return trayHost_; }
  bool listShown() const;
  const WindowList& list() const { return *list_; }
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  void Attached(pid_t pid, int fd);
  void OnRecord(ProcessLink& link, const fe::Record& r);
  void OnClosed(ProcessLink& link);
  void MarkDirty(const std::string& viewKey);
  void Flush();
  void RefreshWindow(ProcessLink* link, const std::string& key);
  void CheckTrayHost();
  void Screenshot(QWidget* w, const std::string& name);
  void Note(const std::string& line);
  void WriteState();
  std::string TopLevelOf(ProcessLink* link, const std::string& key) const;
  ProcessLink* LinkOf(pid_t pid) const;

  const std::string runtimeDir_;
  const Options options_;
  ProcessWatcher watcher_;
  std::map<pid_t, ProcessLink*> links_;
  // Views by "PID KEY".
  std::map<std::string, WindowView*> windows_;
  std::map<std::string, BoxView*> boxes_;
  std::map<std::string, MenuView*> menus_;
  std::map<std::string, TrayView*> trays_;
  std::set<std::string> dirty_;
  bool flushQueued_ = false;
  std::set<std::string> shot_;       // views already saved as PNG
  std::set<std::string> fileNames_;  // names used in the screenshot folder
  std::set<pid_t> waiting_;          // processes that show the wait cursor
  std::unique_ptr<WindowList> list_;
  bool trayHost_ = false;
  QTimer tick_;
  std::vector<std::string> notes_;  // help, session end, screenshots: for the state file
  std::string lastState_;
};

}  // namespace zelfront
