#include "tools/zelfront/FrontEndApp.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QCursor>
#include <QProcess>

#include <cctype>

#include <cstdio>

#include "tools/zelfront/SessionEnd.h"
#include "tools/zelfront/StateFile.h"
#include "tools/zelfront/WinConstants.h"

namespace zelfront {

namespace {

std::string ViewKey(const ProcessLink& link, const std::string& key) {
  return std::to_string(link.pid()) + " " + key;
}

// A file name from a window's title: letters, digits, '-' and '_'.
std::string FileName(const std::string& title) {
  QString t = FromProcess(title);
  t.replace(QChar(0xE4), "ae").replace(QChar(0xF6), "oe").replace(QChar(0xFC), "ue").replace(QChar(0xDF), "ss");
  t.replace(QChar(0xC4), "Ae").replace(QChar(0xD6), "Oe").replace(QChar(0xDC), "Ue");
  std::string out;
  for (unsigned char c : t.toStdString()) {
    if (std::isalnum(c) || c == '-' || c == '_') out += static_cast<char>(c);
    else if (!out.empty() && out.back() != '_') out += '_';
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out.empty() ? "window" : out;
}

}  // namespace

FrontEndApp::FrontEndApp(std::string runtimeDir, Options options)
    : runtimeDir_(std::move(runtimeDir)),
      options_(std::move(options)),
      watcher_(runtimeDir_, [this](pid_t pid, int fd) { Attached(pid, fd); }) {
  WindowList::Actions actions;
  actions.tray = [this](ProcessLink* link, const std::string& key, int message) {
    auto it = trays_.find(ViewKey(*link, key));
    if (it != trays_.end()) it->second->Mouse(message);
  };
  actions.show = [this](ProcessLink* link, const std::string& key) {
    auto it = windows_.find(ViewKey(*link, key));
    if (it != windows_.end()) it->second->Peek();
  };
  list_ = std::make_unique<WindowList>(std::move(actions));
  tick_.setInterval(500);
  QObject::connect(&tick_, &QTimer::timeout, this, [this] {
    CheckTrayHost();
    WriteState();
  });
}

FrontEndApp::~FrontEndApp() {
  for (auto& [k, v] : menus_) delete v;
  for (auto& [k, v] : boxes_) delete v;
  for (auto& [k, v] : windows_) delete v;
  for (auto& [k, v] : trays_) delete v;
  for (auto& [pid, link] : links_) delete link;
}

void FrontEndApp::Start() {
  if (!options_.screenshotDir.empty()) QDir().mkpath(QString::fromStdString(options_.screenshotDir));
  CheckTrayHost();
  watcher_.Start();
  tick_.start();
  WriteState();
}

std::vector<ProcessLink*> FrontEndApp::Links() const {
  std::vector<ProcessLink*> out;
  for (const auto& [pid, link] : links_) out.push_back(link);
  return out;
}

ProcessLink* FrontEndApp::LinkOf(pid_t pid) const {
  auto it = links_.find(pid);
  return it == links_.end() ? nullptr : it->second;
}

bool FrontEndApp::listShown() const { return list_ && list_->isVisible(); }

void FrontEndApp::Attached(pid_t pid, int fd) {
  if (links_.count(pid)) {
    ::close(fd);
    return;
  }
  ProcessLink::Events events;
  events.record = [this](ProcessLink& l, const fe::Record& r) { OnRecord(l, r); };
  events.synced = [this](ProcessLink& l) {
    Note("attached " + std::to_string(l.pid()) + " " + l.program());
    MarkDirty("");
  };
  events.closed = [this](ProcessLink& l) { OnClosed(l); };
  links_[pid] = new ProcessLink(pid, fd, std::move(events));
}

void FrontEndApp::OnClosed(ProcessLink& link) {
  const std::string prefix = std::to_string(link.pid()) + " ";
  auto drop = [&](auto& views) {
    for (auto it = views.begin(); it != views.end();) {
      if (it->first.compare(0, prefix.size(), prefix) == 0) {
        it->second->hide();
        it->second->deleteLater();
        it = views.erase(it);
      } else {
        ++it;
      }
    }
  };
  drop(windows_);
  drop(boxes_);
  drop(menus_);
  for (auto it = trays_.begin(); it != trays_.end();) {
    if (it->first.compare(0, prefix.size(), prefix) == 0) {
      it->second->hide();
      it->second->deleteLater();
      it = trays_.erase(it);
    } else {
      ++it;
    }
  }
  if (waiting_.erase(link.pid())) QGuiApplication::restoreOverrideCursor();
  Note("detached " + std::to_string(link.pid()));
  pid_t pid = link.pid();
  links_.erase(pid);
  link.deleteLater();
  watcher_.Forget(pid);
  MarkDirty("");
}

std::string FrontEndApp::TopLevelOf(ProcessLink* link, const std::string& key) const {
  std::string at = key;
  for (int depth = 0; depth < 64; ++depth) {
    const fe::Record* r = link->Find("window", at);
    if (!r || !(Number(r->Get("style")) & ::WS_CHILD)) return at;
    at = r->Get("parent");
  }
  return at;
}

void FrontEndApp::OnRecord(ProcessLink& link, const fe::Record& r) {
  const std::string vk = ViewKey(link, r.key);
  if (r.kind == "window") {
    if (r.event == "destroyed") {
      if (windows_.count(vk) || boxes_.count(vk)) {
        MarkDirty(vk);
      } else {
        // A control went: its window draws without it.
        for (const auto& [k, w] : windows_)
          if (w->link() == &link) MarkDirty(k);
      }
    } else {
      MarkDirty(ViewKey(link, TopLevelOf(&link, r.key)));
    }
  } else if (r.kind == "menu") {
    auto it = menus_.find(vk);
    if (it != menus_.end()) {
      it->second->Withdraw();
      it->second->deleteLater();
      menus_.erase(it);
    }
    if (r.event == "shown") {
      auto* menu = new MenuView(&link, r);
      menus_[vk] = menu;
      menu->popup(QCursor::pos());
      const fe::Record* owner = link.Find("window", r.Get("owner"));
      std::string name = "menu-" + FileName(owner ? owner->Get("title") : r.key);
      // One picture of each program's menu.
      if (!fileNames_.count(name)) {
        QTimer::singleShot(50, menu, [this, menu, name] {
          if (menu->isVisible() && !fileNames_.count(name)) Screenshot(menu, name);
        });
      }
    }
    MarkDirty("");
  } else if (r.kind == "tray") {
    auto it = trays_.find(vk);
    if (r.event == "deleted") {
      if (it != trays_.end()) {
        it->second->hide();
        it->second->deleteLater();
        trays_.erase(it);
      }
    } else {
      TrayView* tray = it == trays_.end() ? (trays_[vk] = new TrayView(&link, r)) : it->second;
      size_t before = it == trays_.end() ? 0 : tray->seen().size();
      if (it != trays_.end()) tray->Update(r);
      // Each frame once, in the order shown, for the note.
      if (!options_.screenshotDir.empty() && tray->seen().size() > before && tray->fromImage()) {
        std::string name = "tray-frame-" + std::to_string(tray->seen().size()) + ".png";
        tray->icon().pixmap(32, 32).save(QString::fromStdString(options_.screenshotDir + "/" + name));
      }
    }
    MarkDirty("");
  } else if (r.kind == "cursor") {
    bool wait = r.Get("cursor") == "wait";
    if (wait && waiting_.insert(link.pid()).second) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    if (!wait && waiting_.erase(link.pid())) QGuiApplication::restoreOverrideCursor();
  } else if (r.kind == "help") {
    std::string file = r.Get("file");
    Note("help " + file + " " + r.Get("topic") + " " + r.Get("window"));
    std::fprintf(stderr, "zelfront: help %s::%s\n", file.c_str(), r.Get("topic").c_str());
    if (!file.empty() && !QProcess::startDetached("xdg-open", {QString::fromStdString(file)}))
      std::fprintf(stderr, "zelfront: xdg-open could not be started\n");
  }
}

void FrontEndApp::MarkDirty(const std::string& viewKey) {
  if (!viewKey.empty()) dirty_.insert(viewKey);
  if (flushQueued_) return;
  flushQueued_ = true;
  // Records come in bursts (a dialog and its controls): drawn once.
  QTimer::singleShot(0, this, [this] { Flush(); });
}

void FrontEndApp::Flush() {
  flushQueued_ = false;
  auto dirty = std::move(dirty_);
  dirty_.clear();
  for (const std::string& vk : dirty) {
    size_t space = vk.find(' ');
    ProcessLink* link = LinkOf(static_cast<pid_t>(std::stol(vk.substr(0, space))));
    if (link) RefreshWindow(link, vk.substr(space + 1));
  }
  list_->Rebuild(Links());
  WriteState();
}

void FrontEndApp::RefreshWindow(ProcessLink* link, const std::string& key) {
  const std::string vk = ViewKey(*link, key);
  const fe::Record* r = link->Find("window", key);
  auto w = windows_.find(vk);
  auto b = boxes_.find(vk);
  bool isBox = r && !r->Get("box").empty();
  if (w != windows_.end() && (!r || isBox)) {
    w->second->hide();
    w->second->deleteLater();
    windows_.erase(w);
  }
  if (b != boxes_.end() && (!r || !isBox)) {
    b->second->hide();
    b->second->deleteLater();
    boxes_.erase(b);
  }
  if (!r || (Number(r->Get("style")) & ::WS_CHILD)) return;
  QWidget* view = nullptr;
  std::string name;
  if (isBox) {
    BoxView*& box = boxes_[vk];
    if (!box) box = new BoxView(link, key);
    box->Refresh();
    view = box;
    name = "box-" + FileName(r->Get("title"));
  } else {
    WindowView*& window = windows_[vk];
    if (!window) window = new WindowView(link, key);
    window->Refresh();
    view = window;
    name = FileName(r->Get("title"));
  }
  if (view->isVisible() && !shot_.count(vk)) {
    shot_.insert(vk);
    // Once the controls are laid out.
    QPointer<QWidget> guard(view);
    QTimer::singleShot(50, this, [this, guard, name] {
      if (guard && guard->isVisible()) Screenshot(guard, name);
    });
  }
}

void FrontEndApp::Screenshot(QWidget* w, const std::string& name) {
  if (options_.screenshotDir.empty()) return;
  std::string file = name;
  for (int n = 2; fileNames_.count(file); ++n) file = name + "-" + std::to_string(n);
  fileNames_.insert(file);
  std::string path = options_.screenshotDir + "/" + file + ".png";
  if (w->grab().save(QString::fromStdString(path), "PNG")) Note("screenshot " + path);
  else std::fprintf(stderr, "zelfront: cannot write %s\n", path.c_str());
}

void FrontEndApp::CheckTrayHost() {
  bool host = QSystemTrayIcon::isSystemTrayAvailable();
  if (host && !trayHost_) {
    // A tray appeared (or came back): every icon is added to it again.
    for (auto& [k, t] : trays_) t->Readd();
    Note("tray host appeared");
  }
  if (!host && trayHost_) Note("tray host gone");
  trayHost_ = host;
  bool showList = options_.list || !host;
  if (showList != list_->isVisible()) {
    list_->setVisible(showList);
    if (showList && !shot_.count("window list")) {
      shot_.insert("window list");
      QTimer::singleShot(50, list_.get(), [this] {
        if (list_->isVisible()) Screenshot(list_.get(), "window-list");
      });
    }
  }
}

void FrontEndApp::Note(const std::string& line) {
  notes_.push_back(line);
  if (notes_.size() > 200) notes_.erase(notes_.begin());
  WriteState();
}

void FrontEndApp::WriteState() {
  if (options_.stateFile.empty()) return;
  std::string state = DescribeState(*this);
  if (state == lastState_) return;
  lastState_ = state;
  std::string tmp = options_.stateFile + ".new";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  bool ok = ::write(fd, state.data(), state.size()) == static_cast<ssize_t>(state.size());
  ::close(fd);
  if (ok) ::rename(tmp.c_str(), options_.stateFile.c_str());
}

void FrontEndApp::EndSession(bool logoff, std::function<void(bool)> done) {
  std::vector<QPointer<ProcessLink>> links;
  for (const auto& [pid, link] : links_)
    if (link->synced()) links.emplace_back(link);
  QPointer<FrontEndApp> self(this);
  SessionEnd::Ask(std::move(links), logoff, [self, done](bool agreed) {
    if (self) self->Note(std::string("endsession ") + (agreed ? "agreed" : "refused"));
    done(agreed);
  });
}

}  // namespace zelfront
