// Window classes, the window table of this process, and the published
// window functions over them.
#include "platform/win/Window.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/CrossProcess.h"
#include "platform/win/MessageQueue.h"
#include "platform/win/RuntimeFolder.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {
namespace {

struct NoCase {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

bool IsAtom(LPCSTR name) { return reinterpret_cast<std::uintptr_t>(name) < 0x10000; }

struct WindowClass {
  std::string name;
  std::string menuName;
  WNDCLASSA wc;
  ATOM atom;
};

struct ClassTable {
  Mutex mu;
  std::map<std::string, std::shared_ptr<WindowClass>, NoCase> byName GUARDED_BY(mu);
  ATOM nextAtom GUARDED_BY(mu) = 0xC000;
};

ClassTable& Classes() {
  static ClassTable* table = new ClassTable;  // lives as long as the process
  return *table;
}

std::shared_ptr<WindowClass> FindClass(LPCSTR name) {
  if (!name) return nullptr;
  ClassTable& t = Classes();
  MutexLock lock(t.mu);
  if (IsAtom(name)) {
    ATOM atom = static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name));
    for (auto& [key, cls] : t.byName) {
      if (cls->atom == atom) return cls;
    }
    return nullptr;
  }
  auto it = t.byName.find(name);
  return it == t.byName.end() ? nullptr : it->second;
}

struct Window {
  HWND hwnd = nullptr;
  std::shared_ptr<WindowClass> cls;
  WNDPROC proc = nullptr;
  std::string title;
  HWND parent = nullptr;
  DWORD style = 0;
  DWORD exStyle = 0;
  RECT rect{};  // as given to CreateWindowEx or MoveWindow: parent's client area, or the screen
  HICON icons[2] = {nullptr, nullptr};  // WM_SETICON: ICON_SMALL, ICON_BIG
  LONG_PTR id = 0;
  LONG_PTR userdata = 0;
  HINSTANCE instance = nullptr;
  std::vector<unsigned char> extra;
  DWORD tid = 0;
  std::weak_ptr<ThreadQueue> queue;
  bool announced = false;   // kCreated was raised
  bool destroying = false;  // WM_DESTROY is on its way
};

struct WindowTable {
  Mutex mu;
  std::map<std::uint32_t, Window> windows GUARDED_BY(mu);  // handle order is creation order

  Window* Find(HWND hwnd) REQUIRES(mu) {
    auto it = windows.find(HandleValue(hwnd));
    return it == windows.end() ? nullptr : &it->second;
  }
};

WindowTable& Table() {
  static WindowTable* table = new WindowTable;  // lives as long as the process
  return *table;
}

struct Observers {
  Mutex mu;
  std::map<int, WindowObserver> list GUARDED_BY(mu);
  int next GUARDED_BY(mu) = 1;
};

Observers& TheObservers() {
  static Observers* observers = new Observers;
  return *observers;
}

void Raise(WindowEvent event, HWND hwnd) {
  std::vector<WindowObserver> copy;
  {
    Observers& o = TheObservers();
    MutexLock lock(o.mu);
    for (auto& [id, observer] : o.list) copy.push_back(observer);
  }
  for (auto& observer : copy) observer(event, hwnd);
}

// A message sent by the window's own thread: hooks, then the procedure.
LRESULT CallDirect(HWND hwnd, WNDPROC proc, UINT msg, WPARAM wParam, LPARAM lParam) {
  RunCallWndProcHooks(CWPSTRUCT{lParam, wParam, msg, hwnd}, true);
  return proc(hwnd, msg, wParam, lParam);
}

std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::milliseconds ms) {
  return std::chrono::steady_clock::now() + ms;
}

pid_t RemoteOwner(HWND hwnd) {
  pid_t pid = HandleOwner(HandleValue(hwnd));
  return pid != 0 && pid != getpid() && ProcessRunning(pid) ? pid : 0;
}

bool RemoteInfo(HWND hwnd, WindowInfo* out) {
  pid_t pid = RemoteOwner(hwnd);
  if (!pid) return false;
  for (auto& info : RemoteWindows(pid)) {
    if (info.hwnd == HandleValue(hwnd)) {
      *out = std::move(info);
      return true;
    }
  }
  return false;
}

bool IsRegisteredMessage(UINT msg) { return msg >= 0xC000 && msg <= 0xFFFF; }

// Every top-level window of the user, this process's first.
std::vector<WindowInfo> AllTopLevel() {
  std::vector<WindowInfo> all = LocalWindowInfos(true);
  for (pid_t pid : LiveProcesses()) {
    if (pid == getpid()) continue;
    for (auto& info : RemoteWindows(pid)) {
      if (!(info.style & WS_CHILD)) all.push_back(std::move(info));
    }
  }
  return all;
}

// The core of every send: this thread's window directly, another thread's
// through its queue, another process's over its socket. `ok` is false when
// the message did not arrive or the time ran out.
LRESULT Send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
             std::chrono::steady_clock::time_point deadline, bool crossBoundDefault, bool* ok);

LRESULT Broadcast(UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                  std::chrono::steady_clock::time_point deadline, bool* ok) {
  *ok = IsRegisteredMessage(msg);
  if (!*ok) return 0;
  for (const WindowInfo& info : AllTopLevel()) {
    bool delivered;
    Send(HandleOf(info.hwnd), msg, wParam, lParam, flags, deadline, true, &delivered);
  }
  return 0;
}

LRESULT Send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
             std::chrono::steady_clock::time_point deadline, bool crossBoundDefault, bool* ok) {
  *ok = false;
  if (hwnd == HWND_BROADCAST) return Broadcast(msg, wParam, lParam, flags, deadline, ok);
  WNDPROC proc = nullptr;
  DWORD tid = 0;
  std::shared_ptr<ThreadQueue> queue;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    if (Window* w = t.Find(hwnd)) {
      proc = w->proc;
      tid = w->tid;
      queue = w->queue.lock();
    }
  }
  if (proc && tid == GetCurrentThreadId()) {
    *ok = true;
    return CallDirect(hwnd, proc, msg, wParam, lParam);
  }
  if (queue) {
    auto sent = std::make_shared<SentMessage>();
    sent->hwnd = hwnd;
    sent->message = msg;
    sent->wParam = wParam;
    sent->lParam = lParam;
    bool timedOut = false;
    LRESULT result = SendToQueue(queue, sent, flags, deadline, &timedOut);
    *ok = !timedOut;
    return result;
  }
  if (pid_t pid = RemoteOwner(hwnd)) {
    if (crossBoundDefault) {
      deadline = std::min(deadline, DeadlineAfter(CrossProcessSendBound()));
    }
    LRESULT result = 0;
    bool timedOut = false;
    *ok = RemoteSend(pid, hwnd, msg, wParam, lParam, flags, deadline, &result, &timedOut);
    return result;
  }
  return 0;
}

LRESULT SendLocal(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  bool ok;
  return Send(hwnd, msg, wParam, lParam, SMTO_NORMAL, kNoDeadline, true, &ok);
}

// WM_DESTROY to the window, then its children and theirs, then
// WM_NCDESTROY; the handle dies last.
void DestroyTree(HWND hwnd) {
  WNDPROC proc = nullptr;
  bool announced = false;
  std::shared_ptr<ThreadQueue> queue;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    Window* w = t.Find(hwnd);
    if (!w || w->destroying) return;
    w->destroying = true;
    w->style &= ~WS_VISIBLE;
    proc = w->proc;
    announced = w->announced;
    queue = w->queue.lock();
  }
  if (announced) Raise(WindowEvent::kDestroyed, hwnd);
  CallDirect(hwnd, proc, WM_DESTROY, 0, 0);
  std::vector<HWND> children;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    for (auto& [handle, w] : t.windows) {
      if (w.parent == hwnd && !w.destroying) children.push_back(w.hwnd);
    }
  }
  for (HWND child : children) DestroyTree(child);
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    if (Window* w = t.Find(hwnd)) proc = w->proc;  // WM_DESTROY may have subclassed it
  }
  CallDirect(hwnd, proc, WM_NCDESTROY, 0, 0);
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    t.windows.erase(HandleValue(hwnd));
  }
  if (queue) queue->ForgetWindow(hwnd);
}

bool SameThreadWindow(HWND hwnd, WNDPROC* proc) {
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  Window* w = t.Find(hwnd);
  if (!w || w->tid != GetCurrentThreadId()) return false;
  *proc = w->proc;
  return true;
}

}  // namespace

WNDPROC LocalWindowProc(HWND hwnd) {
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  Window* w = t.Find(hwnd);
  return w ? w->proc : nullptr;
}

std::shared_ptr<ThreadQueue> LocalWindowQueue(HWND hwnd) {
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  Window* w = t.Find(hwnd);
  return w ? w->queue.lock() : nullptr;
}

bool IsLocalWindow(HWND hwnd) {
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  return t.Find(hwnd) != nullptr;
}

std::set<HWND> WindowAndDescendants(HWND hwnd) {
  std::set<HWND> result{hwnd};
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  // Handles grow with creation and a child is made after its parent, so one
  // pass in handle order finds every descendant.
  for (auto& [handle, w] : t.windows) {
    if (w.parent && result.count(w.parent)) result.insert(w.hwnd);
  }
  return result;
}

std::vector<WindowInfo> LocalWindowInfos(bool topLevelOnly) {
  std::vector<WindowInfo> out;
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  for (auto& [handle, w] : t.windows) {
    if (w.destroying || !w.announced) continue;
    if (topLevelOnly && (w.style & WS_CHILD)) continue;
    out.push_back(WindowInfo{handle, HandleValue(w.parent), static_cast<std::uint32_t>(getpid()), w.tid,
                             w.style, w.cls->name, w.title});
  }
  return out;
}

bool WindowGeometry(HWND hwnd, RECT* rect, HICON* smallIcon, HICON* bigIcon) {
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  Window* w = t.Find(hwnd);
  if (!w) return false;
  *rect = w->rect;
  *smallIcon = w->icons[ICON_SMALL];
  *bigIcon = w->icons[ICON_BIG];
  return true;
}

void DropThreadWindows(DWORD tid) {
  std::vector<std::pair<HWND, bool>> gone;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    for (auto it = t.windows.begin(); it != t.windows.end();) {
      if (it->second.tid == tid) {
        gone.emplace_back(it->second.hwnd, it->second.announced && !it->second.destroying);
        it = t.windows.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& [hwnd, announced] : gone) {
    if (announced) Raise(WindowEvent::kDestroyed, hwnd);
  }
}

int AddWindowObserver(WindowObserver observer) {
  Observers& o = TheObservers();
  MutexLock lock(o.mu);
  int id = o.next++;
  o.list[id] = std::move(observer);
  return id;
}

void RemoveWindowObserver(int id) {
  Observers& o = TheObservers();
  MutexLock lock(o.mu);
  o.list.erase(id);
}

std::vector<HWND> ProcessWindows() {
  std::vector<HWND> out;
  for (const auto& info : LocalWindowInfos(false)) out.push_back(HandleOf(info.hwnd));
  return out;
}

}  // namespace vantrel::win

using namespace vantrel::win;
using vantrel::MutexLock;

ATOM RegisterClassA(const WNDCLASSA* wc) {
  if (!wc || !wc->lpfnWndProc || !wc->lpszClassName || IsAtom(wc->lpszClassName) ||
      !*wc->lpszClassName || wc->cbWndExtra < 0 || wc->cbWndExtra > 4096) {
    return 0;
  }
  auto cls = std::make_shared<WindowClass>();
  cls->name = wc->lpszClassName;
  cls->wc = *wc;
  cls->wc.lpszClassName = nullptr;
  if (wc->lpszMenuName && !IsAtom(wc->lpszMenuName)) {
    cls->menuName = wc->lpszMenuName;
    cls->wc.lpszMenuName = nullptr;
  }
  ClassTable& t = Classes();
  MutexLock lock(t.mu);
  if (t.byName.count(cls->name)) return 0;  // already registered
  cls->atom = t.nextAtom++;
  t.byName[cls->name] = cls;
  return cls->atom;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE) {
  auto cls = FindClass(className);
  if (!cls) return FALSE;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    for (auto& [handle, w] : t.windows) {
      if (w.cls == cls) return FALSE;  // still in use
    }
  }
  ClassTable& t = Classes();
  MutexLock lock(t.mu);
  t.byName.erase(cls->name);
  return TRUE;
}

BOOL GetClassInfoA(HINSTANCE, LPCSTR className, WNDCLASSA* out) {
  auto cls = FindClass(className);
  if (!cls || !out) return FALSE;
  *out = cls->wc;
  // The class lives as long as it is registered; its strings with it.
  out->lpszClassName = cls->name.c_str();
  if (!cls->menuName.empty()) out->lpszMenuName = cls->menuName.c_str();
  return TRUE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  auto cls = FindClass(className);
  if (!cls) return nullptr;
  if (parent && !IsLocalWindow(parent)) return nullptr;
  std::uint32_t handle = NewHandle();
  if (handle == 0) return nullptr;
  HWND hwnd = HandleOf(handle);
  auto queue = CurrentQueue();
  ServePeers();
  {
    Window w;
    w.hwnd = hwnd;
    w.cls = cls;
    w.proc = cls->wc.lpfnWndProc;
    w.title = windowName ? windowName : "";
    w.parent = parent;
    w.style = style;
    w.exStyle = exStyle;
    // CW_USEDEFAULT leaves the place (or the size) to whoever draws it: 0.
    if (x == CW_USEDEFAULT) x = y = 0;
    if (width == CW_USEDEFAULT) width = height = 0;
    w.rect = RECT{x, y, x + width, y + height};
    w.id = (style & WS_CHILD) ? static_cast<LONG_PTR>(reinterpret_cast<std::uintptr_t>(menu)) : 0;
    w.instance = instance;
    w.extra.assign(static_cast<size_t>(cls->wc.cbWndExtra), 0);
    w.tid = queue->tid();
    w.queue = queue;
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    t.windows[handle] = std::move(w);
  }
  CREATESTRUCTA cs{param, instance, menu, parent, height, width, y, x,
                   static_cast<LONG>(style), windowName, cls->name.c_str(), exStyle};
  WNDPROC proc = cls->wc.lpfnWndProc;
  if (!CallDirect(hwnd, proc, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
    DestroyTree(hwnd);
    return nullptr;
  }
  proc = LocalWindowProc(hwnd);  // WM_NCCREATE may have subclassed it
  if (!proc || CallDirect(hwnd, proc, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyTree(hwnd);
    return nullptr;
  }
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    Window* w = t.Find(hwnd);
    if (!w || w->destroying) return nullptr;  // destroyed itself while being made
    w->announced = true;
  }
  Raise(WindowEvent::kCreated, hwnd);
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  WNDPROC proc;
  // Only the window's own thread destroys it, as on the platform.
  if (!SameThreadWindow(hwnd, &proc)) return FALSE;
  DestroyTree(hwnd);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  if (!hwnd || hwnd == HWND_BROADCAST) return FALSE;
  if (IsLocalWindow(hwnd)) return TRUE;
  WindowInfo info;
  return RemoteInfo(hwnd, &info);
}

HWND GetParent(HWND hwnd) {
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  Window* w = t.Find(hwnd);
  return w ? w->parent : nullptr;
}

int GetWindowTextA(HWND hwnd, LPSTR buffer, int size) {
  if (!buffer || size <= 0) return 0;
  WNDPROC proc;
  if (SameThreadWindow(hwnd, &proc)) {
    return static_cast<int>(CallDirect(hwnd, proc, WM_GETTEXT, static_cast<WPARAM>(size),
                                       reinterpret_cast<LPARAM>(buffer)));
  }
  // Another thread's or process's window: its stored title, without a
  // message that could wait on a busy thread.
  std::string title;
  bool found = false;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    if (Window* w = t.Find(hwnd)) {
      title = w->title;
      found = true;
    }
  }
  WindowInfo info;
  if (!found && RemoteInfo(hwnd, &info)) title = info.title;
  size_t n = std::min(title.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, title.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

int GetWindowTextLengthA(HWND hwnd) {
  WNDPROC proc;
  if (SameThreadWindow(hwnd, &proc)) {
    return static_cast<int>(CallDirect(hwnd, proc, WM_GETTEXTLENGTH, 0, 0));
  }
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    if (Window* w = t.Find(hwnd)) return static_cast<int>(w->title.size());
  }
  WindowInfo info;
  return RemoteInfo(hwnd, &info) ? static_cast<int>(info.title.size()) : 0;
}

BOOL SetWindowTextA(HWND hwnd, LPCSTR text) {
  if (!IsLocalWindow(hwnd)) return FALSE;  // text does not cross processes
  return SendLocal(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0;
}

int GetClassNameA(HWND hwnd, LPSTR buffer, int size) {
  if (!buffer || size <= 0) return 0;
  std::string name;
  bool found = false;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    if (Window* w = t.Find(hwnd)) {
      name = w->cls->name;
      found = true;
    }
  }
  WindowInfo info;
  if (!found) {
    if (!RemoteInfo(hwnd, &info)) return 0;
    name = info.className;
  }
  size_t n = std::min(name.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, name.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  Window* w = t.Find(hwnd);
  if (!w) return 0;
  switch (index) {
    case GWLP_WNDPROC:
      return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE:
      return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_HWNDPARENT:
      return reinterpret_cast<LONG_PTR>(w->parent);
    case GWLP_ID:
      return w->id;
    case GWL_STYLE:
      return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE:
      return static_cast<LONG_PTR>(w->exStyle);
    case GWLP_USERDATA:
      return w->userdata;
    default:
      break;
  }
  if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) return 0;
  LONG_PTR value;
  std::memcpy(&value, w->extra.data() + index, sizeof value);
  return value;
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
  LONG_PTR old = 0;
  bool changed = false;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    Window* w = t.Find(hwnd);
    if (!w) return 0;
    switch (index) {
      case GWLP_WNDPROC:
        if (!value) return 0;
        old = reinterpret_cast<LONG_PTR>(w->proc);
        w->proc = reinterpret_cast<WNDPROC>(value);
        break;
      case GWLP_HINSTANCE:
        old = reinterpret_cast<LONG_PTR>(w->instance);
        w->instance = reinterpret_cast<HINSTANCE>(value);
        break;
      case GWLP_HWNDPARENT:
        old = reinterpret_cast<LONG_PTR>(w->parent);
        w->parent = reinterpret_cast<HWND>(value);
        changed = true;
        break;
      case GWLP_ID:
        old = w->id;
        w->id = value;
        break;
      case GWL_STYLE:
        old = static_cast<LONG_PTR>(w->style);
        w->style = static_cast<DWORD>(value);
        changed = true;
        break;
      case GWL_EXSTYLE:
        old = static_cast<LONG_PTR>(w->exStyle);
        w->exStyle = static_cast<DWORD>(value);
        break;
      case GWLP_USERDATA:
        old = w->userdata;
        w->userdata = value;
        break;
      default:
        if (index < 0 || static_cast<size_t>(index) + sizeof(LONG_PTR) > w->extra.size()) return 0;
        std::memcpy(&old, w->extra.data() + index, sizeof old);
        std::memcpy(w->extra.data() + index, &value, sizeof value);
        break;
    }
    changed = changed && w->announced;
  }
  if (changed) Raise(WindowEvent::kChanged, hwnd);
  return old;
}

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    if (Window* w = t.Find(hwnd)) {
      if (processId) *processId = static_cast<DWORD>(getpid());
      return w->tid;
    }
  }
  WindowInfo info;
  if (!RemoteInfo(hwnd, &info)) return 0;
  if (processId) *processId = info.pid;
  return info.tid;
}

LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_NCCREATE:
      return TRUE;
    case WM_SETTEXT: {
      bool announced = false;
      {
        WindowTable& t = Table();
        MutexLock lock(t.mu);
        Window* w = t.Find(hwnd);
        if (!w) return FALSE;
        w->title = lParam ? reinterpret_cast<LPCSTR>(lParam) : "";
        announced = w->announced;
      }
      if (announced) Raise(WindowEvent::kChanged, hwnd);
      return TRUE;
    }
    case WM_GETTEXT: {
      if (wParam == 0 || lParam == 0) return 0;
      auto* buffer = reinterpret_cast<char*>(lParam);
      WindowTable& t = Table();
      MutexLock lock(t.mu);
      Window* w = t.Find(hwnd);
      if (!w) {
        buffer[0] = '\0';
        return 0;
      }
      size_t n = std::min(w->title.size(), static_cast<size_t>(wParam - 1));
      std::memcpy(buffer, w->title.data(), n);
      buffer[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: {
      WindowTable& t = Table();
      MutexLock lock(t.mu);
      Window* w = t.Find(hwnd);
      return w ? static_cast<LRESULT>(w->title.size()) : 0;
    }
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;  // a window that does not object lets the session end
    case WM_SETICON:
    case WM_GETICON: {
      if (wParam != ICON_SMALL && wParam != ICON_BIG) return 0;
      HICON old;
      bool announced;
      {
        WindowTable& t = Table();
        MutexLock lock(t.mu);
        Window* w = t.Find(hwnd);
        if (!w) return 0;
        old = w->icons[wParam];
        if (msg == WM_GETICON || old == reinterpret_cast<HICON>(lParam)) return reinterpret_cast<LRESULT>(old);
        w->icons[wParam] = reinterpret_cast<HICON>(lParam);
        announced = w->announced;
      }
      if (announced) Raise(WindowEvent::kChanged, hwnd);
      return reinterpret_cast<LRESULT>(old);
    }
    default:
      return 0;
  }
}

LRESULT CallWindowProcA(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

BOOL ShowWindow(HWND hwnd, int command) {
  bool wasVisible, nowVisible, announced;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    Window* w = t.Find(hwnd);
    if (!w) return FALSE;
    wasVisible = (w->style & WS_VISIBLE) != 0;
    if (command == SW_HIDE) {
      w->style &= ~WS_VISIBLE;
    } else {
      w->style |= WS_VISIBLE;
    }
    if (command == SW_MINIMIZE || command == SW_SHOWMINIMIZED) w->style |= WS_MINIMIZE;
    if (command == SW_RESTORE || command == SW_SHOWNORMAL) w->style &= ~WS_MINIMIZE;
    nowVisible = (w->style & WS_VISIBLE) != 0;
    announced = w->announced;
  }
  if (wasVisible != nowVisible) SendLocal(hwnd, WM_SHOWWINDOW, nowVisible, 0);
  if (announced) Raise(WindowEvent::kChanged, hwnd);
  return wasVisible;
}

BOOL IsWindowVisible(HWND hwnd) {
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    Window* w = t.Find(hwnd);
    if (w) {
      // Visible when it and every parent above it are; an owner's
      // visibility does not count (a dialog of a hidden window shows).
      for (; w; w = (w->style & WS_CHILD) && w->parent ? t.Find(w->parent) : nullptr) {
        if (!(w->style & WS_VISIBLE)) return FALSE;
      }
      return TRUE;
    }
  }
  WindowInfo info;
  return RemoteInfo(hwnd, &info) && (info.style & WS_VISIBLE);
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
  bool wasDisabled, announced;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    Window* w = t.Find(hwnd);
    if (!w) return FALSE;
    wasDisabled = (w->style & WS_DISABLED) != 0;
    if (enable) {
      w->style &= ~WS_DISABLED;
    } else {
      w->style |= WS_DISABLED;
    }
    announced = w->announced;
  }
  if (wasDisabled == static_cast<bool>(enable)) {
    SendLocal(hwnd, WM_ENABLE, enable ? TRUE : FALSE, 0);
    if (announced) Raise(WindowEvent::kChanged, hwnd);
  }
  return wasDisabled;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
  bool resized, moved, announced;
  {
    WindowTable& t = Table();
    MutexLock lock(t.mu);
    Window* w = t.Find(hwnd);
    if (!w || width < 0 || height < 0) return FALSE;
    RECT r{x, y, x + width, y + height};
    moved = r.left != w->rect.left || r.top != w->rect.top;
    resized = r.right - r.left != w->rect.right - w->rect.left || r.bottom - r.top != w->rect.bottom - w->rect.top;
    w->rect = r;
    announced = w->announced;
  }
  if (moved) SendLocal(hwnd, WM_MOVE, 0, MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)));
  if (resized) SendLocal(hwnd, WM_SIZE, 0, MAKELPARAM(static_cast<WORD>(width), static_cast<WORD>(height)));
  if (announced && (moved || resized)) Raise(WindowEvent::kChanged, hwnd);
  return TRUE;
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
  if (!rect) return FALSE;
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  Window* w = t.Find(hwnd);
  if (!w) return FALSE;
  *rect = w->rect;
  // A child's place is relative to its parent: add the parents' origins.
  for (Window* p = (w->style & WS_CHILD) ? t.Find(w->parent) : nullptr; p;
       p = (p->style & WS_CHILD) ? t.Find(p->parent) : nullptr) {
    rect->left += p->rect.left;
    rect->right += p->rect.left;
    rect->top += p->rect.top;
    rect->bottom += p->rect.top;
  }
  return TRUE;
}

BOOL GetClientRect(HWND hwnd, RECT* rect) {
  if (!rect) return FALSE;
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  Window* w = t.Find(hwnd);
  if (!w) return FALSE;
  *rect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
  return TRUE;
}

BOOL IsWindowEnabled(HWND hwnd) {
  WindowTable& t = Table();
  MutexLock lock(t.mu);
  Window* w = t.Find(hwnd);
  return w && !(w->style & WS_DISABLED);
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
  std::string cls;
  if (className && IsAtom(className)) {
    auto found = FindClass(className);
    if (!found) return nullptr;
    cls = found->name;
  } else if (className) {
    cls = className;
  }
  auto matches = [&](const WindowInfo& info) {
    return (!className || strcasecmp(info.className.c_str(), cls.c_str()) == 0) &&
           (!windowName || strcasecmp(info.title.c_str(), windowName) == 0);
  };
  for (const auto& info : LocalWindowInfos(true)) {
    if (matches(info)) return HandleOf(info.hwnd);
  }
  for (pid_t pid : LiveProcesses()) {
    if (pid == getpid()) continue;
    for (const auto& info : RemoteWindows(pid)) {
      if (!(info.style & WS_CHILD) && matches(info)) return HandleOf(info.hwnd);
    }
  }
  return nullptr;
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  bool ok;
  return Send(hwnd, msg, wParam, lParam, SMTO_NORMAL, kNoDeadline, true, &ok);
}

LRESULT SendMessageTimeoutA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                            UINT timeoutMs, ULONG_PTR* result) {
  bool ok;
  LRESULT r = Send(hwnd, msg, wParam, lParam, flags,
                   DeadlineAfter(std::chrono::milliseconds(timeoutMs)), false, &ok);
  if (result) *result = static_cast<ULONG_PTR>(r);
  return ok ? 1 : 0;
}

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!hwnd) return PostThreadMessageA(GetCurrentThreadId(), msg, wParam, lParam);
  if (hwnd == HWND_BROADCAST) {
    if (!IsRegisteredMessage(msg)) return FALSE;
    for (const WindowInfo& info : AllTopLevel()) {
      PostMessageA(HandleOf(info.hwnd), msg, wParam, lParam);
    }
    return TRUE;
  }
  if (auto queue = LocalWindowQueue(hwnd)) {
    return queue->Post(MSG{hwnd, msg, wParam, lParam, GetTickCount(), {}});
  }
  if (pid_t pid = RemoteOwner(hwnd)) return RemotePost(pid, hwnd, msg, wParam, lParam);
  return FALSE;
}
