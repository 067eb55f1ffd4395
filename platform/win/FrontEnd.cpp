#include "platform/win/FrontEnd.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/base/CodePage.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/win/CommCtrl.h"
#include "platform/win/Controls.h"
#include "platform/win/FrontEndInternal.h"
#include "platform/win/IconTable.h"
#include "platform/win/Window.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {
namespace {

// One attached front end. Records are written under write_mu (a bounded
// send: a front end that stops reading is dropped, never waited for).
struct Session {
  explicit Session(int f) : fd(f) {}
  const int fd;
  vantrel::Mutex write_mu;
  bool ready GUARDED_BY(write_mu) = false;  // the first snapshot has been sent
  bool dead GUARDED_BY(write_mu) = false;
  std::string backlog GUARDED_BY(write_mu);  // events raised before `ready`

  // False when the front end is gone. `text` is in the process's code
  // page, as every window text is; the wire carries UTF-8.
  bool Write(const std::string& ansi) {
    const std::string text = AnsiToUtf8(ansi);
    vantrel::MutexLock lock(write_mu);
    if (dead) return false;
    if (!ready) {
      backlog += text;
      return true;
    }
    if (!fe::WriteAll(fd, text)) {
      dead = true;
      ::shutdown(fd, SHUT_RDWR);  // the reader thread sees the end and detaches
      return false;
    }
    return true;
  }
};

struct Prompt {
  std::string key;
  DWORD thread = 0;
  std::vector<std::int64_t> valid;
  bool answered = false;
  std::int64_t answer = 0;
};

// The tables outlive the process's static destructors: front-end threads
// are detached and may still run while the process exits.
vantrel::Mutex g_mu;
std::vector<std::shared_ptr<Session>>& g_sessions GUARDED_BY(g_mu) = *new std::vector<std::shared_ptr<Session>>;
std::vector<Prompt*>& g_prompts GUARDED_BY(g_mu) = *new std::vector<Prompt*>;
std::map<HWND, BoxModel>& g_boxes GUARDED_BY(g_mu) = *new std::map<HWND, BoxModel>;
// Typed text on its way to an edit (by token), with the edit it is for.
std::map<std::uint64_t, std::pair<HWND, std::string>>& g_inputs GUARDED_BY(g_mu) =
    *new std::map<std::uint64_t, std::pair<HWND, std::string>>;
std::uint64_t g_nextInput GUARDED_BY(g_mu) = 1;
std::atomic<int> g_attached{0};

void Serve(int fd);

std::vector<std::shared_ptr<Session>> Sessions() {
  vantrel::MutexLock lock(g_mu);
  return g_sessions;
}

// Returns how many front ends were sent `text`.
int Broadcast(const std::string& text) {
  int sent = 0;
  for (const auto& s : Sessions()) sent += s->Write(text) ? 1 : 0;
  return sent;
}

std::string Text(HWND h) {
  int len = GetWindowTextLengthA(h);
  if (len <= 0) return {};
  std::string t(static_cast<size_t>(len) + 1, '\0');
  int got = GetWindowTextA(h, t.data(), len + 1);
  t.resize(static_cast<size_t>(std::max(got, 0)));
  return t;
}

const char* KindName(ControlKind k) {
  switch (k) {
    case ControlKind::kStatic: return "static";
    case ControlKind::kEdit: return "edit";
    case ControlKind::kButton: return "button";
    case ControlKind::kComboBox: return "combobox";
    case ControlKind::kListBox: return "listbox";
    case ControlKind::kListView: return "listview";
    case ControlKind::kTreeView: return "treeview";
  }
  return "static";
}

std::string H(const void* p) { return fe::Hex(reinterpret_cast<std::uintptr_t>(p)); }

fe::Record WindowRecord(HWND h, const char* event) {
  fe::Record r{"window", event, H(h), {}};
  if (std::string(event) == "destroyed") return r;
  DWORD pid = 0;
  DWORD thread = GetWindowThreadProcessId(h, &pid);
  r.Add({"pid", std::to_string(pid)});
  r.Add({"thread", std::to_string(thread)});
  r.Add({"parent", H(GetParent(h))});
  r.Add({"id", std::to_string(GetWindowLongPtrA(h, GWLP_ID))});
  char cls[128] = {0};
  GetClassNameA(h, cls, sizeof cls);
  r.Add({"class", cls});
  ControlSnapshot s;
  bool control = SnapshotControl(h, &s);
  r.Add({"title", control ? s.text : Text(h)});
  r.Add({"style", fe::Hex(static_cast<DWORD>(GetWindowLongPtrA(h, GWL_STYLE)))});
  r.Add({"exstyle", fe::Hex(static_cast<DWORD>(GetWindowLongPtrA(h, GWL_EXSTYLE)))});
  r.Add({"enabled", IsWindowEnabled(h) ? "1" : "0"});
  r.Add({"visible", IsWindowVisible(h) ? "1" : "0"});
  RECT rect{};
  HICON smallIcon = nullptr, bigIcon = nullptr;
  WindowGeometry(h, &rect, &smallIcon, &bigIcon);
  r.Add({"rect", std::to_string(rect.left), std::to_string(rect.top), std::to_string(rect.right - rect.left),
         std::to_string(rect.bottom - rect.top)});
  bool isDialog = false;
  std::string face;
  int points = 0;
  bool dlu = TemplateUnits(h, &isDialog, &face, &points);
  r.Add({"units", dlu ? "dlu" : "px"});
  if (dlu && isDialog && points > 0) r.Add({"font", std::to_string(points), face});
  // The window's icon: the big one, else the small one, else its class's.
  HICON icon = bigIcon ? bigIcon : smallIcon;
  WNDCLASSA wc{};
  if (!icon && GetClassInfoA(nullptr, cls, &wc)) icon = wc.hIcon;
  if (icon) {
    r.Add({"icon", H(icon)});
    std::string image;
    if (IconImage(icon, &image)) r.Add({"image", fe::HexBytes(image)});
  }
  if (control) {
    r.Add({"kind", KindName(s.kind)});
    switch (s.kind) {
      case ControlKind::kButton:
        r.Add({"check", std::to_string(s.check)});
        break;
      case ControlKind::kEdit:
        r.Add({"limit", std::to_string(s.limit)});
        break;
      case ControlKind::kComboBox:
      case ControlKind::kListBox:
        for (const auto& item : s.items) r.Add({"item", item});
        r.Add({"selected", std::to_string(s.selected)});
        break;
      case ControlKind::kListView:
        for (const auto& c : s.columns) r.Add({"column", std::to_string(c.width), c.text});
        for (const auto& row : s.rows) {
          std::vector<std::string> a{"row", fe::Hex(row.state), std::to_string(row.param)};
          a.insert(a.end(), row.texts.begin(), row.texts.end());
          r.Add(std::move(a));
        }
        break;
      case ControlKind::kTreeView:
        for (const auto& n : s.tree) {
          r.Add({"node", fe::Hex(n.handle), fe::Hex(n.parent), fe::Hex(n.state), std::to_string(n.children), n.text});
        }
        r.Add({"treeselection", fe::Hex(s.treeSelection)});
        break;
      case ControlKind::kStatic:
        break;
    }
  }
  vantrel::MutexLock lock(g_mu);
  auto box = g_boxes.find(h);
  if (box != g_boxes.end()) {
    r.Add({"box", fe::Hex(box->second.type)});
    r.Add({"message", box->second.text});
    for (int b : box->second.buttons) r.Add({"button", std::to_string(b)});
  }
  return r;
}

// Typed text for an edit that went before the text arrived.
void DropInputsFor(HWND h) {
  vantrel::MutexLock lock(g_mu);
  for (auto it = g_inputs.begin(); it != g_inputs.end();) {
    it = it->second.first == h ? g_inputs.erase(it) : std::next(it);
  }
}

void RegisterFrontEndChannel() {
  static std::once_flag once;
  std::call_once(once, [] { RegisterChannel("frontend", [](int fd) { std::thread(Serve, fd).detach(); }); });
}

void OnWindowEvent(WindowEvent e, HWND h) {
  // Any process with a window can be shown and driven.
  if (e == WindowEvent::kCreated) RegisterFrontEndChannel();
  if (e == WindowEvent::kDestroyed) {
    TrayIconsOfWindowDestroyed(h);
    DropInputsFor(h);
    {
      vantrel::MutexLock lock(g_mu);
      g_boxes.erase(h);
    }
  }
  if (g_attached.load() == 0) return;
  const char* event = e == WindowEvent::kCreated ? "created" : e == WindowEvent::kChanged ? "changed" : "destroyed";
  Broadcast(fe::EncodeRecord(WindowRecord(h, event)));
}

// ---- commands ----------------------------------------------------------

struct Reply {
  std::string tag;
  std::string error;  // empty: ok
};

bool ParseHandle(const std::string& s, std::uintptr_t* out) {
  std::int64_t v = 0;
  if (!fe::ParseNumber(s, &v) || v < 0) return false;
  *out = static_cast<std::uintptr_t>(v);
  return true;
}

// The window a command names: HWND, or its control ID (0: HWND itself),
// owned by this process.
bool Target(const std::string& hs, const std::string& ids, HWND* out, std::string* error) {
  std::uintptr_t hv = 0;
  std::int64_t id = 0;
  if (!ParseHandle(hs, &hv)) return *error = "bad handle " + hs, false;
  if (!fe::ParseNumber(ids, &id)) return *error = "bad id " + ids, false;
  HWND h = reinterpret_cast<HWND>(hv);
  DWORD pid = 0;
  if (!IsWindow(h) || (GetWindowThreadProcessId(h, &pid), pid != GetCurrentProcessId())) {
    return *error = "no window " + hs, false;
  }
  if (id != 0) {
    h = GetDlgItem(h, static_cast<int>(id));
    if (!h) return *error = "no control " + ids + " in " + hs, false;
  }
  *out = h;
  return true;
}

// A control takes input when it and the windows it sits in are enabled, up
// to its top-level window (whose owner a modal dialog disables).
bool Enabled(HWND c) {
  for (HWND w = c; w; w = GetParent(w)) {
    if (!IsWindowEnabled(w)) return false;
    if (!(GetWindowLongPtrA(w, GWL_STYLE) & WS_CHILD)) break;
  }
  return true;
}

bool NeedKind(HWND c, std::initializer_list<ControlKind> kinds, ControlSnapshot* s, std::string* error) {
  if (!SnapshotControl(c, s) || std::find(kinds.begin(), kinds.end(), s->kind) == kinds.end()) {
    *error = "the control is not a " + std::string(KindName(*kinds.begin()));
    return false;
  }
  if (!Enabled(c)) {
    *error = "the control is disabled";
    return false;
  }
  return true;
}

bool AnswerPrompt(const std::string& key, std::int64_t value, std::string* error) {
  DWORD thread = 0;
  {
    vantrel::MutexLock lock(g_mu);
    for (Prompt* p : g_prompts) {
      if (p->key != key || p->answered) continue;
      if (!p->valid.empty() && std::find(p->valid.begin(), p->valid.end(), value) == p->valid.end()) {
        *error = "not one of its answers: " + std::to_string(value);
        return false;
      }
      p->answered = true;
      p->answer = value;
      thread = p->thread;
      break;
    }
  }
  if (!thread) {
    *error = "nothing waits for an answer at " + key;
    return false;
  }
  PostThreadMessageA(thread, WM_NULL, 0, 0);  // wakes its loop to look
  return true;
}

std::string Command(const std::vector<std::string>& f) {
  const std::string& cmd = f[0];
  auto need = [&](size_t n) { return f.size() == n; };
  std::string error;
  HWND c = nullptr;
  ControlSnapshot s;
  std::int64_t n = 0;
  if (cmd == "click" && need(4)) {
    if (Target(f[2], f[3], &c, &error) && NeedKind(c, {ControlKind::kButton}, &s, &error)) {
      PostMessageA(c, BM_CLICK, 0, 0);
    }
  } else if (cmd == "type" && need(5)) {
    if (Target(f[2], f[3], &c, &error) && NeedKind(c, {ControlKind::kEdit, ControlKind::kComboBox}, &s, &error)) {
      if (s.kind == ControlKind::kEdit && (s.style & ES_READONLY)) {
        error = "the edit is read-only";
      } else if (s.kind == ControlKind::kComboBox && (s.style & 3) == CBS_DROPDOWNLIST) {
        error = "the combo box has no edit field";
      } else {
        std::uint64_t token;
        {
          vantrel::MutexLock lock(g_mu);
          token = g_nextInput++;
          g_inputs[token] = {c, f[4]};
        }
        if (!PostMessageA(c, ZM_FE_SETTEXT, static_cast<WPARAM>(token), 0)) {
          TakeFrontEndInput(token);
          error = "the window is gone";
        }
      }
    }
  } else if (cmd == "dropdown" && need(4)) {
    if (Target(f[2], f[3], &c, &error) && NeedKind(c, {ControlKind::kComboBox}, &s, &error)) {
      PostMessageA(c, CB_SHOWDROPDOWN, TRUE, 0);
    }
  } else if ((cmd == "pick" || cmd == "dblclick") && need(5)) {
    bool dbl = cmd == "dblclick";
    std::initializer_list<ControlKind> kinds = {ControlKind::kComboBox, ControlKind::kListBox, ControlKind::kListView};
    std::initializer_list<ControlKind> lists = {ControlKind::kListView};
    if (Target(f[2], f[3], &c, &error) && NeedKind(c, dbl ? lists : kinds, &s, &error)) {
      size_t count = s.kind == ControlKind::kListView ? s.rows.size() : s.items.size();
      if (!fe::ParseNumber(f[4], &n) || n < 0 || static_cast<size_t>(n) >= count) {
        error = "no item " + f[4];
      } else {
        PostMessageA(c, dbl ? ZM_FE_DBLCLK : ZM_FE_SELECT, static_cast<WPARAM>(n), 0);
      }
    }
  } else if ((cmd == "expand" || cmd == "treeselect") && need(5)) {
    std::uintptr_t item = 0;
    if (Target(f[2], f[3], &c, &error) && NeedKind(c, {ControlKind::kTreeView}, &s, &error)) {
      bool found = ParseHandle(f[4], &item) &&
                   std::any_of(s.tree.begin(), s.tree.end(), [&](const TreeNode& t) { return t.handle == item; });
      if (!found) {
        error = "no tree item " + f[4];
      } else {
        PostMessageA(c, cmd == "expand" ? ZM_FE_EXPAND : ZM_FE_TVSELECT, 0, static_cast<LPARAM>(item));
      }
    }
  } else if (cmd == "close" && need(3)) {
    if (Target(f[2], "0", &c, &error)) {
      bool box = false;
      std::vector<int> buttons;
      {
        vantrel::MutexLock lock(g_mu);
        auto it = g_boxes.find(c);
        if (it != g_boxes.end()) {
          box = true;
          buttons = it->second.buttons;
        }
      }
      if (!box) {
        PostMessageA(c, WM_CLOSE, 0, 0);
      } else {
        // A box's close box is its Cancel button; a box of OK alone closes as OK.
        bool cancel = std::find(buttons.begin(), buttons.end(), IDCANCEL) != buttons.end();
        bool okOnly = buttons.size() == 1 && buttons[0] == IDOK;
        if (!cancel && !okOnly) error = "the box has no Cancel button";
        else AnswerPrompt("box:" + fe::Hex(reinterpret_cast<std::uintptr_t>(c)), cancel ? IDCANCEL : IDOK, &error);
      }
    }
  } else if (cmd == "answer" && need(4)) {
    std::uintptr_t h = 0;
    if (!ParseHandle(f[2], &h) || !fe::ParseNumber(f[3], &n)) {
      error = "bad answer";
    } else {
      AnswerPrompt("box:" + fe::Hex(h), n, &error);
    }
  } else if (cmd == "menu" && need(4)) {
    std::uintptr_t h = 0;
    if (!ParseHandle(f[2], &h) || !fe::ParseNumber(f[3], &n)) {
      error = "bad menu command";
    } else {
      AnswerPrompt("menu:" + fe::Hex(h), n, &error);
    }
  } else if (cmd == "tray" && need(5)) {
    std::uintptr_t h = 0;
    std::int64_t uid = 0;
    if (!ParseHandle(f[2], &h) || !fe::ParseNumber(f[3], &uid) || !fe::ParseNumber(f[4], &n)) {
      error = "bad tray command";
    } else {
      TrayIconClick(reinterpret_cast<HWND>(h), static_cast<UINT>(uid), static_cast<UINT>(n), &error);
    }
  } else {
    error = "unknown command or wrong number of fields: " + cmd;
  }
  return error;
}

// The session's end runs on a thread of its own: the windows it asks may
// show message boxes, and this connection goes on delivering records and
// taking their answers meanwhile. `queryendsession` asks and keeps an
// agreement for this front end; `endsession` ends (after asking, unless
// this front end's agreement is waiting); `cancelendsession` tells the
// agreed windows the session goes on. Replies: `ok TAG 1` agreed, `ok TAG
// 0` refused, `ok TAG` for a cancel.
void EndSessionCommand(const std::shared_ptr<Session>& session, const std::vector<std::string>& f) {
  const std::string& cmd = f[0];
  const std::string& tag = f[1];
  const bool cancel = cmd == "cancelendsession";
  if (cancel ? f.size() != 2 : (f.size() != 3 || (f[2] != "0" && f[2] != "1"))) {
    session->Write(fe::Join({"error", tag, cancel ? "usage: cancelendsession TAG" : "usage: " + cmd + " TAG 0|1"}) +
                   "\n");
    return;
  }
  const bool logoff = !cancel && f[2] == "1";
  std::thread([session, cmd, tag, logoff, cancel] {
    std::vector<std::string> reply;
    if (cancel) {
      reply = FinishEndSession(false, session.get())
                  ? std::vector<std::string>{"ok", tag}
                  : std::vector<std::string>{"error", tag, "no agreement to end the session is waiting"};
    } else {
      int agreed = 1;
      if (cmd == "queryendsession") {
        agreed = QueryEndSession(logoff, session.get());
      } else if (!FinishEndSession(true, session.get())) {
        agreed = EndSession(logoff);
      }
      reply = agreed < 0 ? std::vector<std::string>{"error", tag, "the session is already ending"}
                         : std::vector<std::string>{"ok", tag, std::to_string(agreed)};
    }
    // An agreement nobody will finish (the front end went away meanwhile)
    // is cancelled, so the windows go on and a later session end can ask.
    if (!session->Write(fe::Join(reply) + "\n") && cmd == "queryendsession") FinishEndSession(false, session.get());
  }).detach();
}

void Detach(const std::shared_ptr<Session>& s) {
  std::vector<DWORD> waiting;
  {
    vantrel::MutexLock lock(g_mu);
    g_sessions.erase(std::remove(g_sessions.begin(), g_sessions.end(), s), g_sessions.end());
    g_attached.store(static_cast<int>(g_sessions.size()));
    for (Prompt* p : g_prompts) waiting.push_back(p->thread);
  }
  // Waiting prompts look again: with nobody left, the policy answers.
  for (DWORD t : waiting) PostThreadMessageA(t, WM_NULL, 0, 0);
  {
    vantrel::MutexLock lock(s->write_mu);
    s->dead = true;
  }
  ::close(s->fd);
  // Its agreement to end the session, if one waits, is cancelled. This is
  // the connection's own reader thread, which ends here, so it may wait
  // for the windows to take the news.
  FinishEndSession(false, s.get());
}

std::string ProgramName() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "?";
  std::string p(buf, static_cast<size_t>(n));
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

void Serve(int fd) {
  timeval tv{2, 0};  // a front end that stops reading is dropped after this
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  fe::LineReader in(fd);
  std::string line;
  std::vector<std::string> f;
  // hello first: a front end of another version is told so and dropped.
  if (in.Next(&line, 10000) != 1 || !fe::Split(line, &f) || f.size() != 2 || f[0] != "hello") {
    fe::WriteAll(fd, "error - expected\\shello\n");
    ::close(fd);
    return;
  }
  if (f[1] != std::to_string(fe::kVersion)) {
    fe::WriteAll(fd, fe::Join({"error", "-", "unsupported version " + f[1] + ", this process speaks " +
                                                 std::to_string(fe::kVersion)}) + "\n");
    ::close(fd);
    return;
  }
  auto session = std::make_shared<Session>(fd);
  {
    vantrel::MutexLock lock(g_mu);
    g_sessions.push_back(session);
    g_attached.store(static_cast<int>(g_sessions.size()));
  }
  std::string snapshot = fe::Join({"hello", std::to_string(fe::kVersion), std::to_string(GetCurrentProcessId()),
                                   ProgramName()}) + "\n";
  for (HWND h : ProcessWindows()) {
    if (IsWindow(h)) snapshot += fe::EncodeRecord(WindowRecord(h, "created"));
  }
  for (const auto& r : MenuRecords()) snapshot += fe::EncodeRecord(r);
  for (const auto& r : TrayRecords()) snapshot += fe::EncodeRecord(r);
  snapshot += fe::EncodeRecord(CursorRecord());
  snapshot += "sync\n";
  {
    vantrel::MutexLock lock(session->write_mu);
    session->ready = true;
    if (!fe::WriteAll(fd, AnsiToUtf8(snapshot) + session->backlog)) session->dead = true;
    session->backlog.clear();
  }
  while (true) {
    int r = in.Next(&line, -1);
    if (r <= 0) break;
    line = Utf8ToAnsi(line);  // typed text reaches the edit in the process's code page
    if (!fe::Split(line, &f) || f.empty()) {
      session->Write("error - malformed\\sline\n");
      continue;
    }
    if (f[0] == "bye") break;
    if (f.size() < 2) {
      session->Write(fe::Join({"error", "-", "unknown command " + f[0]}) + "\n");
      continue;
    }
    if (f[0] == "endsession" || f[0] == "queryendsession" || f[0] == "cancelendsession") {
      EndSessionCommand(session, f);
      continue;
    }
    std::string error = Command(f);
    session->Write(fe::Join(error.empty() ? std::vector<std::string>{"ok", f[1]}
                                          : std::vector<std::string>{"error", f[1], error}) + "\n");
  }
  Detach(session);
}

}  // namespace

// Window events reach the front ends from the first window on.
namespace {
[[maybe_unused]] const int g_observer = AddWindowObserver(OnWindowEvent);
}  // namespace

void EnsureFrontEnds() { RegisterFrontEndChannel(); }

bool FrontEndAttached() { return g_attached.load() > 0; }

int PublishRecord(const fe::Record& record) {
  if (g_attached.load() == 0) return 0;
  return Broadcast(fe::EncodeRecord(record));
}

void PublishWindow(HWND hwnd) {
  if (g_attached.load() == 0 || !IsWindow(hwnd)) return;
  Broadcast(fe::EncodeRecord(WindowRecord(hwnd, "changed")));
}

void ControlChanged(HWND hwnd) { PublishWindow(hwnd); }

void SetBoxModel(HWND box, BoxModel model) {
  {
    vantrel::MutexLock lock(g_mu);
    g_boxes[box] = std::move(model);
  }
  PublishWindow(box);
}

void ClearBoxModel(HWND box) {
  vantrel::MutexLock lock(g_mu);
  g_boxes.erase(box);
}

std::string TakeFrontEndInput(std::uint64_t token) {
  vantrel::MutexLock lock(g_mu);
  auto it = g_inputs.find(token);
  if (it == g_inputs.end()) return {};
  std::string text = std::move(it->second.second);
  g_inputs.erase(it);
  return text;
}


bool WaitForPrompt(const std::string& key, const std::vector<std::int64_t>& valid, const std::function<void()>& show,
                   std::int64_t* answer) {
  MSG m;
  PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue exists before anyone posts to it
  Prompt p;
  p.key = key;
  p.thread = GetCurrentThreadId();
  p.valid = valid;
  {
    vantrel::MutexLock lock(g_mu);
    if (g_sessions.empty()) return false;
    g_prompts.push_back(&p);
  }
  show();
  PumpUntil(nullptr, [&] {
    vantrel::MutexLock lock(g_mu);
    return p.answered || g_sessions.empty();
  });
  vantrel::MutexLock lock(g_mu);
  g_prompts.erase(std::remove(g_prompts.begin(), g_prompts.end(), &p), g_prompts.end());
  if (!p.answered) return false;
  *answer = p.answer;
  return true;
}

}  // namespace vantrel::win
