// Global hooks and shared sections across real processes: every peer is
// hook_peer started with exec, so nothing is shared by inheriting memory.
#include "platform/win/Hook.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/base/LastError.h"
#include "platform/win/HookTable.h"
#include "platform/win/SharedSection.h"
#include "platform/win/TestChild.h"
#include "platform/win/WindowPlatform.h"
#include "platform/win/hook_test_module.h"


namespace vantrel::win {
namespace {

using hooktest::Shared;
constexpr auto kBound = std::chrono::seconds(10);

void UsePrivateRuntimeDir() { UsePrivateWinDir("hookwin"); }

// A hook_peer child, which reads commands until its input closes.
class Peer : public TestChild {
 public:
  Peer() : TestChild({HOOK_PEER}) {}

  // The handle of an installed hook.
  std::uint32_t Install(const char* proc, int slot) {
    std::string a = Ask(std::string("install ") + proc + " " + std::to_string(slot));
    return a.rfind("ok ", 0) == 0 ? static_cast<std::uint32_t>(std::stoul(a.substr(3))) : 0;
  }
};

// The test program reads the module's log through its own mapping.
Shared* LogOf() {
  static void* module = dlopen(HOOK_MODULE, RTLD_NOW | RTLD_LOCAL);
  auto get = module ? reinterpret_cast<void* (*)()>(dlsym(module, "HookTestShared")) : nullptr;
  return get ? static_cast<Shared*>(get()) : nullptr;
}

struct Seen {
  std::uint32_t which;
  std::uint32_t magic;
  std::uint32_t sentHere;
};

// What the hooks logged for `message` in process `pid`, in calling order.
std::vector<Seen> SeenIn(pid_t pid, std::uint32_t message) {
  std::vector<Seen> seen;
  Shared* s = LogOf();
  std::uint32_t n = std::min(s->next.load(), hooktest::kLogSize);
  for (std::uint32_t i = 0; i < n; ++i) {
    const auto& r = s->log[i];
    if (r.done.load(std::memory_order_acquire) && r.pid == pid && r.message == message)
      seen.push_back({r.which, r.magic, r.sentHere});
  }
  return seen;
}

std::vector<std::uint32_t> Procs(const std::vector<Seen>& seen) {
  std::vector<std::uint32_t> out;
  for (const auto& s : seen) out.push_back(s.which);
  return out;
}

class HookTest : public testing::Test {
 protected:
  void SetUp() override {
    UsePrivateRuntimeDir();
    ASSERT_NE(LogOf(), nullptr) << dlerror();
  }
  // A message number no other test sends.
  static std::uint32_t Fresh() {
    static std::uint32_t next = 0x9000;  // beyond the peer's own WM_APP messages
    return next++;
  }
};

// A hook installed by A runs in B, which never linked the module, chains to
// the older hook of C with the handle A keeps in the shared section, and
// ends when A is killed.
TEST_F(HookTest, GlobalHookRunsInOtherProcessesChainsAndEndsWithItsInstaller) {
  Peer a, b, c;
  EXPECT_EQ(b.Ask("mapped hook_test_module"), "no");
  ASSERT_EQ(c.Ask(std::string("load ") + HOOK_MODULE), "ok");
  ASSERT_EQ(a.Ask(std::string("load ") + HOOK_MODULE), "ok");
  std::uint32_t hc = c.Install("SecondHookProc", 1);
  std::uint32_t ha = a.Install("FirstHookProc", 0);
  ASSERT_NE(hc, 0u);
  ASSERT_NE(ha, 0u);
  EXPECT_NE(ha, hc);
  ASSERT_EQ(a.Ask("magic 48879"), "ok");

  // B's window is created under the hooks: they see its WM_CREATE.
  std::string made = b.Ask("window");
  ASSERT_EQ(made.rfind("ok ", 0), 0u);
  auto hwndB = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(std::stoull(made.substr(3))));
  EXPECT_EQ(Procs(SeenIn(b.pid(), WM_CREATE)), (std::vector<std::uint32_t>{0, 1}));

  std::uint32_t m = Fresh();
  ASSERT_EQ(b.Ask("send " + std::to_string(m)), "ok");
  std::vector<Seen> seen = SeenIn(b.pid(), m);
  EXPECT_EQ(Procs(seen), (std::vector<std::uint32_t>{0, 1}));  // newest first, then passed on
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].magic, 48879u);  // written by A, read in B
  EXPECT_EQ(seen[0].sentHere, 0u);   // sent by another thread
  EXPECT_EQ(seen[1].sentHere, 0u);
  m = Fresh();
  ASSERT_EQ(b.Ask("sendself " + std::to_string(m)), "ok");
  seen = SeenIn(b.pid(), m);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].sentHere, 1u);  // sent by the window's own thread
  // Sent from this process, which has no hooks of its own loaded.
  m = Fresh();
  SendMessageA(hwndB, m, 0, 0);
  seen = SeenIn(b.pid(), m);
  EXPECT_EQ(Procs(seen), (std::vector<std::uint32_t>{0, 1}));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].sentHere, 0u);
  EXPECT_TRUE(SeenIn(getpid(), m).empty());
  EXPECT_EQ(b.Ask("mapped hook_test_module"), "yes");

  a.Kill();
  // B notices the death without being told; bounded, polled.
  auto deadline = std::chrono::steady_clock::now() + kBound;
  std::vector<std::uint32_t> procs;
  do {
    if (!procs.empty()) usleep(10000);  // paced: each message fills the log
    m = Fresh();
    ASSERT_EQ(b.Ask("send " + std::to_string(m)), "ok");
    procs = Procs(SeenIn(b.pid(), m));
  } while (procs != std::vector<std::uint32_t>{1} && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(procs, (std::vector<std::uint32_t>{1}));

  // The dead installer's entry is gone from the table itself.
  std::vector<HookEntry> entries;
  std::uint64_t gen = 0;
  ASSERT_TRUE(HookTable::Get()->Load(&entries, &gen));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].id, hc);

  ASSERT_EQ(c.Ask("unhook 1"), "ok");
  m = Fresh();
  ASSERT_EQ(b.Ask("send " + std::to_string(m)), "ok");
  EXPECT_TRUE(SeenIn(b.pid(), m).empty());
  EXPECT_EQ(c.Ask("unhook 1"), "fail");  // already gone
}

// A process whose copy of the module cannot be loaded skips that hook and
// still runs the others.
TEST_F(HookTest, UnloadableModuleIsSkipped) {
  std::string dir = std::string(std::getenv("ZEL_WIN_DIR")) + "/../hookcopy-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  std::string copy = dir + "/hook_copy.so";
  std::filesystem::copy_file(HOOK_MODULE, copy, std::filesystem::copy_options::overwrite_existing);
  Peer a, c, b;
  ASSERT_EQ(a.Ask("load " + copy), "ok");
  ASSERT_EQ(c.Ask(std::string("load ") + HOOK_MODULE), "ok");
  ASSERT_NE(a.Install("SecondHookProc", 1), 0u);
  ASSERT_NE(c.Install("FirstHookProc", 0), 0u);
  std::filesystem::remove(copy);  // gone before B ever loads it
  ASSERT_EQ(b.Ask("window").rfind("ok ", 0), 0u);
  std::uint32_t m = Fresh();
  ASSERT_EQ(b.Ask("send " + std::to_string(m)), "ok");
  EXPECT_EQ(Procs(SeenIn(b.pid(), m)), (std::vector<std::uint32_t>{0}));
  ASSERT_EQ(c.Ask("unhook 0"), "ok");
}

TEST_F(HookTest, RefusedCalls) {
  void* module = dlopen(HOOK_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr);
  auto proc = reinterpret_cast<HOOKPROC>(dlsym(module, "FirstHookProc"));
  auto inProgram = +[](int, WPARAM, LPARAM) -> LRESULT { return 0; };
  auto instance = static_cast<HINSTANCE>(module);
  struct Case {
    const char* what;
    int id;
    HOOKPROC proc;
    HINSTANCE module;
    DWORD thread;
    DWORD error;
  } cases[] = {
      {"other hook kind", 5, proc, instance, 0, ERROR_INVALID_HOOK_FILTER},
      {"no procedure", WH_CALLWNDPROC, nullptr, instance, 0, ERROR_INVALID_FILTER_PROC},
      {"no module", WH_CALLWNDPROC, proc, nullptr, 0, ERROR_HOOK_NEEDS_HMOD},
      {"thread hook", WH_CALLWNDPROC, proc, instance, static_cast<DWORD>(gettid()),
       static_cast<DWORD>(ERROR_INVALID_PARAMETER)},
      {"procedure in the main program", WH_CALLWNDPROC, inProgram, instance, 0, ERROR_HOOK_NEEDS_HMOD},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(SetWindowsHookExA(c.id, c.proc, c.module, c.thread), nullptr) << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
  }
  EXPECT_FALSE(UnhookWindowsHookEx(nullptr));
  EXPECT_FALSE(UnhookWindowsHookEx(reinterpret_cast<HHOOK>(std::uintptr_t{0xFFFFFFF0})));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HOOK_HANDLE);
  CWPSTRUCT cwp{0, 0, WM_NULL, nullptr};
  EXPECT_EQ(CallNextHookEx(reinterpret_cast<HHOOK>(std::uintptr_t{0xFFFFFFF0}), HC_ACTION, 1,
                           reinterpret_cast<LPARAM>(&cwp)),
            0);
  dlclose(module);
}

// Six processes map a new section at once: it is initialised once (no bump
// is lost), and after every user ended the next first user finds zeros.
TEST_F(HookTest, SharedSectionStartsZeroedOnceAndResetsAfterItsLastUser) {
  {
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 6; ++i) peers.push_back(std::make_unique<Peer>());
    for (auto& p : peers) p->WriteLine(std::string("load ") + HOOK_MODULE);
    for (auto& p : peers) ASSERT_EQ(p->Line(), "ok");
    for (auto& p : peers) p->WriteLine("bump race");
    std::vector<std::string> answers;
    for (auto& p : peers) answers.push_back(p->Line());
    std::sort(answers.begin(), answers.end());
    EXPECT_EQ(answers, (std::vector<std::string>{"ok 1", "ok 2", "ok 3", "ok 4", "ok 5", "ok 6"}));
  }
  Peer later;
  ASSERT_EQ(later.Ask(std::string("load ") + HOOK_MODULE), "ok");
  EXPECT_EQ(later.Ask("bump race"), "ok 1");
}

TEST_F(HookTest, SharedSectionNamesAndAddresses) {
  static int anchor;
  void* first = ModuleSharedSection(&anchor, "here", 64);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(first)[63], 0);
  EXPECT_EQ(ModuleSharedSection(&anchor, "here", 32), first);  // one address per process
  EXPECT_NE(ModuleSharedSection(&anchor, "there", 64), first);
  for (const char* bad : {"", "a/b", "x\n"}) EXPECT_EQ(ModuleSharedSection(&anchor, bad, 64), nullptr) << bad;
  EXPECT_EQ(ModuleSharedSection(&anchor, std::string(65, 'n').c_str(), 64), nullptr);
}

TEST(HookTableText, PathsWithSpacesSurviveAndDamagedLinesAreSkipped) {
  HookEntry e;
  e.id = 7;
  e.owner = "0123456789abcdef";
  e.pid = 42;
  e.offset = 0x1234;
  e.symbol = "FirstHookProc";
  e.path = "/opt/my hooks/hook one.so";
  std::string text = FormatHookTable({e}, 8) +
                     "hook 9 0123456789abcdef 1 2 3 4 5 - relative.so\n"  // not a real path
                     "hook 0 0123456789abcdef 1 2 3 4 5 - /a.so\n"        // 0 is no handle
                     "hook 10 NOTATOKEN 1 2 3 4 5 - /b.so\n"
                     "hook 11 0123456789abcdef\n";
  std::vector<HookEntry> out;
  std::uint32_t next = 0;
  ASSERT_TRUE(ParseHookTable(text, &out, &next));
  EXPECT_EQ(next, 8u);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].path, e.path);
  EXPECT_EQ(out[0].symbol, e.symbol);
  EXPECT_EQ(out[0].offset, e.offset);
  EXPECT_FALSE(ParseHookTable("garbage\n", &out, &next));
}

}  // namespace
}  // namespace vantrel::win
