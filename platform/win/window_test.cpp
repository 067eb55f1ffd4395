// Windows, queues, timers and sends within one process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/WindowPlatform.h"
#include "platform/win/WinUser.h"

namespace vantrel::win {
namespace {

using namespace std::chrono_literals;

// What a window procedure saw, for the tests that check order.
thread_local std::vector<std::pair<HWND, UINT>>* t_log = nullptr;

LRESULT CALLBACK LoggingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (t_log) t_log->emplace_back(hwnd, msg);
  if (msg == WM_CREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
    if (cs->lpCreateParams == reinterpret_cast<LPVOID>(-1)) return -1;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    return 0;
  }
  if (msg == WM_USER + 1) return static_cast<LRESULT>(wParam + static_cast<WPARAM>(lParam));
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void RegisterOnce(const char* name, WNDPROC proc, int extra = 0) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = proc;
  wc.lpszClassName = name;
  wc.cbWndExtra = extra;
  RegisterClassA(&wc);
}

HWND MakeWindow(const char* title, HWND parent = nullptr, LPVOID param = nullptr) {
  RegisterOnce("VtLogging", LoggingProc, 16);
  return CreateWindowExA(0, "VtLogging", title, parent ? WS_CHILD : WS_OVERLAPPEDWINDOW, 0, 0, 10,
                         10, parent, parent ? reinterpret_cast<HMENU>(7) : nullptr, nullptr, param);
}

TEST(Window, CreateAndDestroySendTheirMessagesInOrder) {
  std::vector<std::pair<HWND, UINT>> log;
  t_log = &log;
  int marker = 0;
  HWND top = MakeWindow("Top", nullptr, &marker);
  ASSERT_NE(top, nullptr);
  HWND child = MakeWindow("Child", top);
  ASSERT_NE(child, nullptr);
  auto value = reinterpret_cast<std::uintptr_t>(top);
  EXPECT_NE(value, 0xFFFFu);
  EXPECT_LE(value, 0xFFFFFFFFu);  // fits the 32-bit fields callers keep handles in
  EXPECT_NE(top, child);
  EXPECT_EQ(GetWindowLongPtrA(top, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&marker));
  EXPECT_EQ(GetParent(child), top);
  EXPECT_EQ(GetWindowLongPtrA(child, GWLP_ID), 7);
  EXPECT_EQ(log, (std::vector<std::pair<HWND, UINT>>{
                     {top, WM_NCCREATE}, {top, WM_CREATE}, {child, WM_NCCREATE}, {child, WM_CREATE}}));

  log.clear();
  EXPECT_TRUE(DestroyWindow(top));
  EXPECT_EQ(log, (std::vector<std::pair<HWND, UINT>>{
                     {top, WM_DESTROY}, {child, WM_DESTROY}, {child, WM_NCDESTROY}, {top, WM_NCDESTROY}}));
  EXPECT_FALSE(IsWindow(top));
  EXPECT_FALSE(IsWindow(child));
  EXPECT_FALSE(DestroyWindow(top));

  // WM_CREATE answering -1 destroys the window and CreateWindowEx fails.
  log.clear();
  EXPECT_EQ(MakeWindow("Refused", nullptr, reinterpret_cast<LPVOID>(-1)), nullptr);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2].second, WM_DESTROY);
  EXPECT_FALSE(IsWindow(log[0].first));
  EXPECT_EQ(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  t_log = nullptr;

  // A handle is never handed out twice.
  HWND again = MakeWindow("Again");
  EXPECT_NE(again, top);
  EXPECT_NE(again, child);
  DestroyWindow(again);
}

TEST(Window, TextLongValuesAndStateWithEvents) {
  std::vector<std::pair<WindowEvent, HWND>> events;
  int id = AddWindowObserver([&](WindowEvent e, HWND h) { events.emplace_back(e, h); });
  HWND hwnd = MakeWindow("Before");
  char buf[64];
  EXPECT_EQ(GetWindowTextA(hwnd, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "Before");
  EXPECT_TRUE(SetWindowTextA(hwnd, "After, longer"));
  EXPECT_EQ(GetWindowTextLengthA(hwnd), 13);
  EXPECT_EQ(GetWindowTextA(hwnd, buf, 4), 3);  // truncated, terminated
  EXPECT_STREQ(buf, "Aft");
  EXPECT_EQ(GetClassNameA(hwnd, buf, sizeof buf), 9);
  EXPECT_STREQ(buf, "VtLogging");

  // Extra bytes are addressed by offset; past the end is refused.
  EXPECT_EQ(SetWindowLongPtrA(hwnd, 8, 42), 0);
  EXPECT_EQ(GetWindowLongPtrA(hwnd, 8), 42);
  EXPECT_EQ(SetWindowLongPtrA(hwnd, 9, 1), 0);
  EXPECT_EQ(GetWindowLongPtrA(hwnd, DWLP_MSGRESULT), 0);
  WNDPROC old = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+[](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 99; })));
  EXPECT_EQ(old, &LoggingProc);
  EXPECT_EQ(SendMessageA(hwnd, WM_USER + 1, 1, 2), 99);
  SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old));
  EXPECT_EQ(SendMessageA(hwnd, WM_USER + 1, 1, 2), 3);

  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_FALSE(ShowWindow(hwnd, SW_SHOW));
  EXPECT_TRUE(IsWindowVisible(hwnd));
  EXPECT_TRUE(GetWindowLongPtrA(hwnd, GWL_STYLE) & WS_VISIBLE);
  EXPECT_TRUE(IsWindowEnabled(hwnd));
  EXPECT_FALSE(EnableWindow(hwnd, FALSE));
  EXPECT_FALSE(IsWindowEnabled(hwnd));
  EXPECT_TRUE(EnableWindow(hwnd, TRUE));
  HWND child = MakeWindow("Child", hwnd);
  EXPECT_FALSE(IsWindowVisible(child));  // a child is visible only with its own style set
  ShowWindow(child, SW_SHOW);
  ShowWindow(hwnd, SW_HIDE);
  EXPECT_FALSE(IsWindowVisible(child));  // ... and its parent visible
  // An owned pop-up (a dialog of a hidden window) shows on its own.
  HWND owned = CreateWindowExA(0, "VtLogging", "Owned", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, hwnd,
                               nullptr, nullptr, nullptr);
  EXPECT_TRUE(IsWindowVisible(owned));
  DestroyWindow(owned);
  EXPECT_EQ(ProcessWindows(), (std::vector<HWND>{hwnd, child}));

  // WM_CLOSE through DefWindowProc destroys it.
  SendMessageA(hwnd, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(hwnd));
  RemoveWindowObserver(id);
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events.front(), std::make_pair(WindowEvent::kCreated, hwnd));
  EXPECT_EQ(events.back(), std::make_pair(WindowEvent::kDestroyed, child));
  EXPECT_EQ(events[events.size() - 2], std::make_pair(WindowEvent::kDestroyed, hwnd));
  EXPECT_TRUE(ProcessWindows().empty());
}

TEST(Window, ClassesArePerProcessAndByName) {
  RegisterOnce("VtClassA", LoggingProc);
  WNDCLASSA wc{};
  wc.lpfnWndProc = LoggingProc;
  wc.lpszClassName = "vtclassa";  // names compare without case
  EXPECT_EQ(RegisterClassA(&wc), 0);
  WNDCLASSA info{};
  ASSERT_TRUE(GetClassInfoA(nullptr, "VTCLASSA", &info));
  EXPECT_EQ(info.lpfnWndProc, &LoggingProc);
  EXPECT_STREQ(info.lpszClassName, "VtClassA");
  HWND hwnd = CreateWindowExA(0, "VtClassA", "x", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  EXPECT_FALSE(UnregisterClassA("VtClassA", nullptr));  // in use
  DestroyWindow(hwnd);
  EXPECT_TRUE(UnregisterClassA("VtClassA", nullptr));
  EXPECT_FALSE(GetClassInfoA(nullptr, "VtClassA", &info));
}

TEST(Queue, PostedMessagesFiltersQuitAndPeek) {
  HWND a = MakeWindow("A");
  HWND b = MakeWindow("B");
  PostMessageA(a, WM_USER + 5, 1, 0);
  PostMessageA(b, WM_USER + 6, 2, 0);
  PostThreadMessageA(GetCurrentThreadId(), WM_APP, 3, 0);
  MSG msg;
  // Filters by window and by range; PM_NOREMOVE leaves the message.
  ASSERT_TRUE(PeekMessageA(&msg, b, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER + 6u);
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
  PostQuitMessage(4);
  ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.hwnd, a);
  ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.hwnd, b);
  EXPECT_FALSE(GetMessageA(&msg, nullptr, 0, 0));  // quit comes after the posted ones
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 4u);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));

  // Posting to a destroyed window fails; its queued messages are dropped.
  PostMessageA(a, WM_USER, 0, 0);
  DestroyWindow(a);
  EXPECT_FALSE(PostMessageA(a, WM_USER, 0, 0));
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  DestroyWindow(b);
}

std::atomic<int> g_timerProcCalls{0};
void CALLBACK CountingTimer(HWND, UINT, UINT_PTR, DWORD) { ++g_timerProcCalls; }

TEST(Queue, WindowAndThreadTimers) {
  HWND hwnd = MakeWindow("Timed");
  EXPECT_EQ(SetTimer(hwnd, 17, 20, nullptr), 17u);
  UINT_PTR threadTimer = SetTimer(nullptr, 0, 20, CountingTimer);
  EXPECT_NE(threadTimer, 0u);
  EXPECT_NE(SetTimer(nullptr, 0, 20, CountingTimer), threadTimer);  // a fresh id each time
  int windowTicks = 0;
  MSG msg;
  while (windowTicks < 3 || g_timerProcCalls < 3) {
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    if (msg.message == WM_TIMER && msg.hwnd == hwnd) {
      EXPECT_EQ(msg.wParam, 17u);
      ++windowTicks;
    }
    DispatchMessageA(&msg);
  }
  EXPECT_TRUE(KillTimer(hwnd, 17));
  EXPECT_FALSE(KillTimer(hwnd, 17));
  KillTimer(nullptr, threadTimer);
  KillTimer(nullptr, threadTimer + 1);
  // Nothing is left to fire: a wait with only a posted message returns it.
  std::this_thread::sleep_for(50ms);
  PostMessageA(hwnd, WM_USER, 0, 0);
  ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_USER);
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  DestroyWindow(hwnd);
}

// A thread that owns a window and runs a message loop until WM_QUIT.
class WindowThread {
 public:
  explicit WindowThread(WNDPROC proc, const char* cls = "VtThreaded") {
    RegisterOnce(cls, proc);
    thread_ = std::thread([this, cls] {
      hwnd_ = CreateWindowExA(0, cls, "threaded", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
      tid_ = GetCurrentThreadId();
      ready_ = true;
      MSG msg;
      while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
    });
    while (!ready_) std::this_thread::sleep_for(1ms);
  }
  ~WindowThread() { Stop(); }
  void Stop() {
    if (thread_.joinable()) {
      PostThreadMessageA(tid_, WM_QUIT, 0, 0);
      PostMessageA(hwnd_, WM_NULL, 0, 0);
      thread_.join();
    }
  }
  HWND hwnd() const { return hwnd_; }

 private:
  std::thread thread_;
  std::atomic<bool> ready_{false};
  HWND hwnd_ = nullptr;
  DWORD tid_ = 0;
};

LRESULT CALLBACK QuitOnNull(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NULL) {
    PostQuitMessage(0);
    return 0;
  }
  if (msg == WM_USER + 1) return static_cast<LRESULT>(wParam * 2) + static_cast<LRESULT>(InSendMessage());
  if (msg == WM_USER + 2) {  // sends back to the window given in wParam
    return SendMessageA(reinterpret_cast<HWND>(wParam), WM_USER + 1, 10, 0) + 1;
  }
  if (msg == WM_USER + 3) {  // stays busy
    std::this_thread::sleep_for(std::chrono::milliseconds(lParam));
    return 7;
  }
  if (msg == WM_USER + 4) {  // destroys itself while others wait
    std::this_thread::sleep_for(100ms);
    DestroyWindow(hwnd);
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

TEST(Send, AcrossThreadsBothWaysAtOnce) {
  WindowThread a(QuitOnNull, "VtQuitOnNull");
  WindowThread b(QuitOnNull, "VtQuitOnNull");
  EXPECT_EQ(SendMessageA(a.hwnd(), WM_USER + 1, 21, 0), 43);  // InSendMessage is true there
  // a sends to b while b's procedure sends back to a: both waits dispatch.
  std::vector<std::thread> senders;
  std::atomic<int> good{0};
  for (int i = 0; i < 4; ++i) {
    senders.emplace_back([&, i] {
      HWND from = i % 2 ? a.hwnd() : b.hwnd();
      HWND to = i % 2 ? b.hwnd() : a.hwnd();
      HWND self = MakeWindow("sender");
      // The sender's own window is the target of the send-back (10 + 0 + 1).
      if (SendMessageA(to, WM_USER + 2, reinterpret_cast<WPARAM>(self), 0) == 11) ++good;
      // a's procedure waits on b while b's waits on a.
      if (SendMessageA(from, WM_USER + 2, reinterpret_cast<WPARAM>(to), 0) == 22) ++good;
      DestroyWindow(self);
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(good, 8);
}

TEST(Send, TimeOutsAndEndsOfTheReceiver) {
  WindowThread busy(QuitOnNull, "VtQuitOnNull");
  ULONG_PTR result = 1;
  EXPECT_EQ(SendMessageTimeoutA(busy.hwnd(), WM_USER + 3, 0, 300, SMTO_NORMAL, 50, &result), 0);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(SendMessageTimeoutA(busy.hwnd(), WM_USER + 3, 0, 1, SMTO_BLOCK, 5000, &result), 1);
  EXPECT_EQ(result, 7u);

  // Sends waiting on a window that destroys itself end with 0.
  std::thread killer([&] { SendMessageA(busy.hwnd(), WM_USER + 4, 0, 0); });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(SendMessageA(busy.hwnd(), WM_USER + 1, 5, 0), 0);
  killer.join();
  EXPECT_FALSE(IsWindow(busy.hwnd()));

  // A send to a thread that ends without answering ends with 0.
  std::atomic<HWND> hwnd{nullptr};
  std::thread quitter([&] {
    hwnd = MakeWindow("quitter");
    std::this_thread::sleep_for(100ms);  // never looks at its queue
  });
  while (!hwnd) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(SendMessageA(hwnd, WM_USER + 1, 5, 0), 0);
  quitter.join();
  EXPECT_FALSE(IsWindow(hwnd));
  busy.Stop();
}

std::atomic<int> g_modalTicks{0};

LRESULT CALLBACK ModalProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_USER + 1) return static_cast<LRESULT>(wParam) + 1;
  if (msg == WM_TIMER) {
    ++g_modalTicks;
    return 0;
  }
  if (msg == WM_USER + 9) {  // a modal loop of its own until WM_USER + 10 arrives
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0)) {
      if (m.message == WM_USER + 10) break;
      DispatchMessageA(&m);
    }
    return 1;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

TEST(Send, NestedModalLoopKeepsServingSendsAndTimers) {
  RegisterOnce("VtModal", ModalProc);
  std::atomic<HWND> hwnd{nullptr};
  std::atomic<bool> inModal{false};
  std::thread owner([&] {
    HWND h = CreateWindowExA(0, "VtModal", "owner", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    SetTimer(h, 1, 100, nullptr);
    hwnd = h;
    inModal = true;
    SendMessageA(h, WM_USER + 9, 0, 0);
    KillTimer(h, 1);
    DestroyWindow(h);
  });
  while (!inModal) std::this_thread::sleep_for(1ms);
  int ticksBefore = g_modalTicks;
  std::vector<std::thread> senders;
  std::atomic<int> answered{0};
  for (int i = 0; i < 8; ++i) {
    senders.emplace_back([&, i] {
      for (int n = 0; n < 50; ++n) {
        if (SendMessageA(hwnd, WM_USER + 1, static_cast<WPARAM>(i * 100 + n), 0) == i * 100 + n + 1) ++answered;
      }
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(answered, 400);
  while (g_modalTicks < ticksBefore + 3) std::this_thread::sleep_for(10ms);
  PostMessageA(hwnd, WM_USER + 10, 0, 0);
  owner.join();
}

TEST(RegisteredMessage, OneNumberPerNameWithoutCase) {
  UINT a = RegisterWindowMessageA("Vantrel.Test.Ping");
  EXPECT_GE(a, 0xC000u);
  EXPECT_LE(a, 0xFFFFu);
  EXPECT_EQ(RegisterWindowMessageA("VANTREL.TEST.PING"), a);
  UINT b = RegisterWindowMessageA("Vantrel.Test.Pong");
  EXPECT_NE(b, 0u);
  EXPECT_NE(b, a);
  EXPECT_EQ(RegisterWindowMessageA(""), 0u);
}

}  // namespace
}  // namespace vantrel::win
