// Messages between real processes: the peer is win_peer, started with exec.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/LocalChannel.h"
#include "platform/win/TestChild.h"
#include "platform/win/WindowPlatform.h"
#include "platform/win/WinUser.h"


namespace vantrel::win {
namespace {

using namespace std::chrono_literals;

// A win_peer child; it runs a message loop, not a command loop, so it is
// killed when the test lets go of it.
class Child : public TestChild {
 public:
  explicit Child(std::vector<std::string> args) : TestChild(WithPeer(std::move(args)), Ending::kKill) {}

 private:
  static std::vector<std::string> WithPeer(std::vector<std::string> args) {
    args.insert(args.begin(), WIN_PEER);
    return args;
  }
};

// A peer with one window; hwnd() is the handle it reported.
class PeerWindow : public Child {
 public:
  PeerWindow(const std::string& cls, const std::string& title) : Child({"window", cls, title}) {
    std::string line = Line();
    EXPECT_EQ(line.rfind("ready ", 0), 0u) << line;
    if (line.size() > 6) hwnd_ = reinterpret_cast<HWND>(std::stoul(line.substr(6)));
  }
  HWND hwnd() const { return hwnd_; }

 private:
  HWND hwnd_ = nullptr;
};

std::uint64_t Fingerprint(std::uint64_t dwData, const std::string& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&](std::uint8_t b) { h = (h ^ b) * 1099511628211ull; };
  for (int i = 0; i < 8; ++i) mix(static_cast<std::uint8_t>(dwData >> (8 * i)));
  for (char c : bytes) mix(static_cast<std::uint8_t>(c));
  return h;
}

TEST(CrossProcess, FindWindowAndPlainMessages) {
  PeerWindow peer("VtPeerFind", "Peer Find");
  ASSERT_NE(peer.hwnd(), nullptr);
  EXPECT_EQ(FindWindowA("VtPeerFind", "Peer Find"), peer.hwnd());
  EXPECT_EQ(FindWindowA("vtpeerfind", nullptr), peer.hwnd());
  EXPECT_EQ(FindWindowA(nullptr, "peer find"), peer.hwnd());
  EXPECT_EQ(FindWindowA("VtPeerFind", "Other"), nullptr);
  EXPECT_TRUE(IsWindow(peer.hwnd()));
  DWORD pid = 0;
  EXPECT_NE(GetWindowThreadProcessId(peer.hwnd(), &pid), 0u);
  EXPECT_EQ(pid, static_cast<DWORD>(peer.pid()));
  char text[32];
  EXPECT_EQ(GetWindowTextA(peer.hwnd(), text, sizeof text), 9);
  EXPECT_STREQ(text, "Peer Find");

  EXPECT_EQ(SendMessageA(peer.hwnd(), WM_USER + 1, 20, 3), 43);
  // Messages with pointers never cross; the peer's title stays.
  ULONG_PTR result = 99;
  EXPECT_EQ(SendMessageTimeoutA(peer.hwnd(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x"),
                                SMTO_NORMAL, 5000, &result), 0);
  EXPECT_FALSE(SetWindowTextA(peer.hwnd(), "x"));
  EXPECT_EQ(GetWindowTextA(peer.hwnd(), text, sizeof text), 9);

  // Its procedure sends back to our window while we wait for it.
  WNDCLASSA wc{};
  wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    return m == WM_USER + 1 ? static_cast<LRESULT>(w) * 3 : DefWindowProcA(h, m, w, l);
  };
  wc.lpszClassName = "VtLocalTriple";
  RegisterClassA(&wc);
  HWND mine = CreateWindowExA(0, "VtLocalTriple", "mine", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(SendMessageA(peer.hwnd(), WM_USER + 2, reinterpret_cast<WPARAM>(mine), 0), 31);
  DestroyWindow(mine);

  // A posted WM_CLOSE ends the peer: its window leaves every view.
  EXPECT_TRUE(PostMessageA(peer.hwnd(), WM_CLOSE, 0, 0));
  EXPECT_EQ(peer.Line(), "quit");
  EXPECT_EQ(WEXITSTATUS(peer.Wait()), 0);
  EXPECT_FALSE(IsWindow(peer.hwnd()));
  EXPECT_EQ(FindWindowA("VtPeerFind", nullptr), nullptr);
  EXPECT_FALSE(PostMessageA(peer.hwnd(), WM_USER, 0, 0));
}

TEST(CrossProcess, CopyDataCarriesItsBytes) {
  PeerWindow peer("VtPeerCopy", "Peer Copy");
  std::string big(64 * 1024, '\0');
  std::mt19937 random(7);
  for (char& c : big) c = static_cast<char>(random() % 4 == 0 ? 0 : random());
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"embedded NULs", std::string("a\0b\0\0c", 6)},
      {"64 KiB", big},
  };
  for (const auto& c : cases) {
    COPYDATASTRUCT cds{0x5A5A0001, static_cast<DWORD>(c.bytes.size()),
                       c.bytes.empty() ? nullptr : const_cast<char*>(c.bytes.data())};
    LRESULT r = SendMessageA(peer.hwnd(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
    EXPECT_EQ(static_cast<std::uint64_t>(r), Fingerprint(cds.dwData, c.bytes)) << c.name;
    EXPECT_EQ(peer.Line(), "copydata " + std::to_string(c.bytes.size())) << c.name;
  }
  // One byte more is refused before anything is sent.
  std::string tooBig(64 * 1024 + 1, 'x');
  COPYDATASTRUCT cds{1, static_cast<DWORD>(tooBig.size()), tooBig.data()};
  ULONG_PTR result = 5;
  EXPECT_EQ(SendMessageTimeoutA(peer.hwnd(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds),
                                SMTO_NORMAL, 5000, &result), 0);
  EXPECT_FALSE(PostMessageA(peer.hwnd(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds)));
  EXPECT_EQ(SendMessageA(peer.hwnd(), WM_USER + 1, 1, 1), 3);  // the peer is still fine
}

TEST(CrossProcess, KilledPeerEndsPendingSendsAndDisappears) {
  setenv("ZEL_WIN_SEND_TIMEOUT_MS", "120000", 1);
  PeerWindow peer("VtPeerKilled", "Peer Killed");
  std::string socket = SocketPath(peer.pid());
  struct stat st;
  EXPECT_EQ(stat(socket.c_str(), &st), 0);
  std::atomic<bool> returned{false};
  LRESULT result = -1;
  auto start = std::chrono::steady_clock::now();
  std::thread sender([&] {
    result = SendMessageA(peer.hwnd(), WM_USER + 3, 0, 100000);  // the peer stays busy
    returned = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(returned);
  peer.Kill();
  sender.join();
  EXPECT_EQ(result, 0);
  // Well inside the send bound: the closed socket ends the wait.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  EXPECT_FALSE(IsWindow(peer.hwnd()));
  EXPECT_EQ(FindWindowA("VtPeerKilled", nullptr), nullptr);
  EXPECT_NE(stat(socket.c_str(), &st), 0);  // the stale socket is gone
  unsetenv("ZEL_WIN_SEND_TIMEOUT_MS");
}

TEST(CrossProcess, HungPeerIsGivenUpAfterTheBound) {
  PeerWindow peer("VtPeerHung", "Peer Hung");
  PostMessageA(peer.hwnd(), WM_USER + 3, 0, 3000);  // its thread stops looking at its queue
  std::this_thread::sleep_for(50ms);
  ULONG_PTR result = 5;
  EXPECT_EQ(SendMessageTimeoutA(peer.hwnd(), WM_USER + 1, 1, 1, SMTO_NORMAL, 200, &result), 0);
  EXPECT_EQ(result, 0u);
  setenv("ZEL_WIN_SEND_TIMEOUT_MS", "200", 1);
  EXPECT_EQ(SendMessageA(peer.hwnd(), WM_USER + 1, 1, 1), 0);
  unsetenv("ZEL_WIN_SEND_TIMEOUT_MS");
  // Once it looks again it answers; the abandoned sends' late answers are dropped.
  EXPECT_EQ(SendMessageA(peer.hwnd(), WM_USER + 1, 2, 1), 5);
}

TEST(CrossProcess, RacingRegistrationsGetOneNumber) {
  std::string name = "Vantrel.Test.Race." + std::to_string(getpid());
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < 4; ++i) children.push_back(std::make_unique<Child>(std::vector<std::string>{"register", name}));
  for (auto& c : children) c->WriteLine("go");
  std::vector<std::string> numbers;
  for (auto& c : children) numbers.push_back(c->Line());
  std::string mine = std::to_string(RegisterWindowMessageA(name.c_str()));
  for (const auto& n : numbers) EXPECT_EQ(n, mine);
  EXPECT_NE(mine, "0");
}

int g_localBroadcasts = 0;

TEST(CrossProcess, BroadcastReachesEveryTopLevelWindow) {
  UINT msg = RegisterWindowMessageA("Vantrel.Test.Broadcast");
  WNDCLASSA wc{};
  wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == RegisterWindowMessageA("Vantrel.Test.Broadcast")) ++g_localBroadcasts;
    return DefWindowProcA(h, m, w, l);
  };
  wc.lpszClassName = "VtLocalBroadcast";
  RegisterClassA(&wc);
  HWND mine = CreateWindowExA(0, "VtLocalBroadcast", "mine", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  PeerWindow a("VtPeerB", "A");
  PeerWindow b("VtPeerB", "B");
  SendMessageA(HWND_BROADCAST, msg, 5, 0);
  EXPECT_EQ(a.Line(), "broadcast 5");
  EXPECT_EQ(b.Line(), "broadcast 5");
  EXPECT_EQ(g_localBroadcasts, 1);
  EXPECT_TRUE(PostMessageA(HWND_BROADCAST, msg, 6, 0));
  EXPECT_EQ(a.Line(), "broadcast 6");
  EXPECT_EQ(b.Line(), "broadcast 6");
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  EXPECT_EQ(g_localBroadcasts, 2);
  // Only registered messages are broadcast.
  EXPECT_FALSE(PostMessageA(HWND_BROADCAST, WM_USER, 0, 0));
  DestroyWindow(mine);
}

TEST(CrossProcess, AnotherUserIsRefused) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to run a peer as nobody";
  std::string dir = RuntimeDir();
  ASSERT_FALSE(dir.empty());
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.lpszClassName = "VtLocalGuarded";
  RegisterClassA(&wc);
  HWND mine = CreateWindowExA(0, "VtLocalGuarded", "guarded", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  // Only for this case: nobody may connect to the socket (the peer reaches
  // it through a descriptor opened before it became nobody), so the
  // credentials are what refuses it.
  std::string socket = SocketPath(getpid());
  chmod(socket.c_str(), 0777);
  testing::internal::CaptureStderr();
  std::string answer;
  {
    Child child({"as-nobody", socket});
    answer = child.Line();
    child.Wait();
  }
  std::this_thread::sleep_for(100ms);  // the listener logs on its own thread
  std::string log = testing::internal::GetCapturedStderr();
  chmod(socket.c_str(), 0755);
  EXPECT_EQ(answer, "refused");
  EXPECT_NE(log.find("refused: process"), std::string::npos) << log;
  DestroyWindow(mine);
}

}  // namespace
}  // namespace vantrel::win
