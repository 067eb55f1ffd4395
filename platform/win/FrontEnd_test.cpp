// Dialogs driven the way a person drives them: from another process, with
// zelwin over the front-end protocol; and a thread in a modal dialog or a
// message box that goes on serving sends and timers.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/CommCtrl.h"
#include "platform/win/Dialog.h"
#include "platform/win/FrontEnd.h"
#include "platform/win/FrontEndClient.h"
#include "platform/win/HtmlHelp.h"
#include "platform/win/Menu.h"
#include "platform/win/ShellApi.h"

extern char** environ;

namespace vantrel::win {
namespace {

struct ZelwinRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs tools/zelwin as a separate program (exec, so it shares nothing with
// this process but the runtime folder).
ZelwinRun Zelwin(const std::vector<std::string>& args) {
  const char* tmp = std::getenv("VANTREL_TEST_TMPDIR");
  std::string dir = tmp ? tmp : "/tmp";
  std::string out = dir + "/zelwin.out", err = dir + "/zelwin.err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv{const_cast<char*>(ZELWIN)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  ZelwinRun r;
  if (posix_spawn(&pid, ZELWIN, &fa, nullptr, argv.data(), environ) == 0) {
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  posix_spawn_file_actions_destroy(&fa);
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

std::string H(const void* p) { return fe::Hex(reinterpret_cast<std::uintptr_t>(p)); }

template <typename Pred>
bool Eventually(Pred pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

vantrel::Mutex g_mu;
std::vector<std::string> g_seen GUARDED_BY(g_mu);
std::atomic<HWND> g_dialog{nullptr};

void Seen(std::string s) {
  vantrel::MutexLock lock(g_mu);
  g_seen.push_back(std::move(s));
}


INT_PTR CALLBACK LogonProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG: {
      Seen("init " + std::to_string(lp));
      SendDlgItemMessage(dlg, 1003, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("English"));
      SendDlgItemMessage(dlg, 1003, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Spanish"));
      HWND list = GetDlgItem(dlg, 1004);
      LVCOLUMNA col{};
      col.mask = LVCF_TEXT | LVCF_WIDTH;
      col.cx = 100;
      col.pszText = const_cast<char*>("Profile");
      ListView_InsertColumn(list, 0, &col);
      for (int i = 0; i < 2; ++i) {
        LVITEMA item{};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = i;
        std::string text = i ? "Public" : "mailbox_demo";
        item.pszText = text.data();
        item.lParam = 10 + i;
        ListView_InsertItem(list, &item);
      }
      TVINSERTSTRUCTA is{};
      is.hParent = TVI_ROOT;
      is.hInsertAfter = TVI_LAST;
      is.item.mask = TVIF_TEXT | TVIF_CHILDREN;
      is.item.pszText = const_cast<char*>("Folders");
      is.item.cChildren = 1;  // the children come when it is expanded
      TreeView_InsertItem(GetDlgItem(dlg, 1005), &is);
      g_dialog = dlg;
      return TRUE;
    }
    case WM_COMMAND:
      Seen("command " + std::to_string(LOWORD(wp)) + " " + std::to_string(HIWORD(wp)));
      if (LOWORD(wp) == IDOK) {
        char user[64];
        GetDlgItemText(dlg, 1001, user, sizeof user);
        Seen(std::string("ok ") + user + " checked " + std::to_string(IsDlgButtonChecked(dlg, 1002)) + " language " +
             std::to_string(SendDlgItemMessage(dlg, 1003, CB_GETCURSEL, 0, 0)));
        EndDialog(dlg, 42);
      } else if (LOWORD(wp) == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
      }
      return TRUE;
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lp);
      std::string s = "notify " + std::to_string(hdr->idFrom) + " " + std::to_string(static_cast<int>(hdr->code));
      if (hdr->code == LVN_ITEMCHANGED) {
        auto* nm = reinterpret_cast<NMLISTVIEW*>(lp);
        s += " item " + std::to_string(nm->iItem) + " " + std::to_string(nm->uNewState) + " param " +
             std::to_string(nm->lParam);
      } else if (hdr->code == NM_DBLCLK) {
        s += " item " + std::to_string(reinterpret_cast<NMITEMACTIVATE*>(lp)->iItem);
      } else if (hdr->code == TVN_ITEMEXPANDING) {
        auto* nm = reinterpret_cast<NMTREEVIEWA*>(lp);
        TVINSERTSTRUCTA is{};
        is.hParent = nm->itemNew.hItem;
        is.hInsertAfter = TVI_LAST;
        is.item.mask = TVIF_TEXT;
        is.item.pszText = const_cast<char*>("Inbox");
        TreeView_InsertItem(hdr->hwndFrom, &is);
      } else if (hdr->code == TVN_SELCHANGED) {
        s += " to " + H(reinterpret_cast<NMTREEVIEWA*>(lp)->itemNew.hItem);
      }
      Seen(s);
      return FALSE;
    }
  }
  return FALSE;
}

TEST(FrontEnd, ZelwinDrivesADialogFromAnotherProcess) {
  // The template is the program's own resource (testdata/dialog_test.rc).
  EXPECT_EQ(DialogBoxParam(nullptr, MAKEINTRESOURCE(301), nullptr, LogonProc, 0), -1);  // no such dialog
  std::atomic<INT_PTR> result{-7};
  std::thread ui([&] { result = DialogBoxParam(nullptr, MAKEINTRESOURCE(300), nullptr, LogonProc, 5); });
  ASSERT_TRUE(Eventually([] { return g_dialog.load() != nullptr; }));
  std::string dlg = H(g_dialog.load());

  ZelwinRun list = Zelwin({"list"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find(dlg + " " + std::to_string(getpid()) + " #32770 \"Connect\""), std::string::npos) << list.out;
  ZelwinRun show = Zelwin({"show", dlg});
  EXPECT_EQ(show.status, 0) << show.err;
  EXPECT_NE(show.out.find("item 1: Spanish"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("row 0: mailbox_demo"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("children=1: Folders"), std::string::npos) << show.out;

  // What a person does, and what the program refuses, with the exit status
  // that says which.
  struct Step {
    std::vector<std::string> args;
    int status;
    const char* err;
  } steps[] = {
      {{"type", dlg, "1001", "alice smith"}, 0, ""},
      {{"click", dlg, "1002"}, 0, ""},
      {{"pick", dlg, "1003", "1"}, 0, ""},
      {{"dropdown", dlg, "1003"}, 0, ""},
      {{"pick", dlg, "1004", "1"}, 0, ""},
      {{"dblclick", dlg, "1004", "0"}, 0, ""},
      {{"expand", dlg, "1005", "0x1"}, 0, ""},
      {{"treeselect", dlg, "1005", "0x1"}, 0, ""},
      {{"click", "0x7FFFFFF0", "1"}, 3, "no window 0x7FFFFFF0"},
      {{"show", "0x7FFFFFF0"}, 3, "no window"},
      {{"click", dlg, "4242"}, 1, "no control 4242"},
      {{"pick", dlg, "1003", "9"}, 1, "no item 9"},
      {{"type", dlg, "1002", "x"}, 1, "not a edit"},
      {{"type", dlg, "1003", "x"}, 1, "no edit field"},
      {{"dropdown", dlg, "1001"}, 1, "not a combobox"},
      {{"expand", dlg, "1005", "0x99"}, 1, "no tree item"},
      {{"answer", dlg, "ok"}, 1, "nothing waits"},
      {{"frobnicate"}, 2, "usage"},
      {{"click", dlg, "1"}, 0, ""},
  };
  for (const auto& s : steps) {
    ZelwinRun r = Zelwin(s.args);
    EXPECT_EQ(r.status, s.status) << s.args[0] << ": " << r.err;
    EXPECT_NE(r.err.find(s.err), std::string::npos) << s.args[0] << ": " << r.err;
  }
  if (HasFailure()) PostMessage(g_dialog.load(), WM_CLOSE, 0, 0);  // ends it rather than hang
  ui.join();
  EXPECT_EQ(result.load(), 42);
  vantrel::MutexLock lock(g_mu);
  EXPECT_EQ(g_seen, (std::vector<std::string>{
                        "init 5",
                        "command 1001 768",                        // EN_CHANGE
                        "command 1002 0",                          // BN_CLICKED
                        "command 1003 1",                          // CBN_SELCHANGE
                        "command 1003 7",                          // CBN_DROPDOWN
                        "notify 1004 -101 item 1 3 param 11",      // LVN_ITEMCHANGED: selected, focused
                        "notify 1004 -101 item 1 0 param 11",
                        "notify 1004 -101 item 0 3 param 10",
                        "notify 1004 -3 item 0",                   // NM_DBLCLK
                        "notify 1005 -405",                        // TVN_ITEMEXPANDING
                        "notify 1005 -406",                        // TVN_ITEMEXPANDED
                        "notify 1005 -401",                        // TVN_SELCHANGING
                        "notify 1005 -402 to 0x1",                 // TVN_SELCHANGED
                        "command 1 0",
                        "ok alice smith checked 1 language 1",
                    }));
}

std::atomic<int> g_ticks{0};
std::atomic<HWND> g_sink{nullptr};
std::atomic<HWND> g_modal{nullptr};

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) { ++g_ticks; }

LRESULT CALLBACK SinkProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_APP) return static_cast<LRESULT>(wp * 2 + 1);
  return DefWindowProc(h, msg, wp, lp);
}

INT_PTR CALLBACK ModalProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
  if (msg == WM_INITDIALOG) {
    g_modal = dlg;
    return TRUE;
  }
  if (msg == WM_COMMAND && LOWORD(wp) == IDCANCEL) {
    EndDialog(dlg, 7);
    return TRUE;
  }
  return FALSE;
}

// Eight threads send to a window of a thread that waits in a modal dialog
// and then in a message box: each send is answered, and the thread's
// 100 ms timer goes on ticking.
void SendsAndTicksGoOn() {
  int before = g_ticks.load();
  std::vector<std::thread> senders;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        WPARAM v = static_cast<WPARAM>(t * 1000 + i);
        if (SendMessage(g_sink.load(), WM_APP, v, 0) != static_cast<LRESULT>(v * 2 + 1)) ++wrong;
      }
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(Eventually([&] { return g_ticks.load() >= before + 2; })) << "the timer stopped at " << g_ticks.load();
}

TEST(FrontEnd, MenuFromTheProgramsResources) {
  HMENU bar = LoadMenu(nullptr, MAKEINTRESOURCE(400));
  ASSERT_NE(bar, nullptr);
  HMENU tray = GetSubMenu(bar, 0);
  ASSERT_NE(tray, nullptr);
  EXPECT_EQ(GetMenuItemCount(tray), 3);
  EXPECT_EQ(GetMenuItemID(tray, 0), 40001u);
  EXPECT_EQ(GetMenuState(tray, 1, MF_BYPOSITION), MF_SEPARATOR);
  EXPECT_EQ(GetMenuState(tray, 40002, MF_BYCOMMAND), MF_GRAYED);
  EXPECT_EQ(LoadMenu(nullptr, MAKEINTRESOURCE(401)), nullptr);
  EXPECT_TRUE(DestroyMenu(bar));
}

TEST(FrontEnd, ModalDialogAndBoxKeepServingSendsAndTimers) {
  FrontEndClient fe;  // attached, so the box really waits for an answer
  std::string error;
  ASSERT_TRUE(fe.Attach(getpid(), 10000, &error)) << error;
  std::atomic<INT_PTR> dialogResult{0};
  std::atomic<int> boxResult{0};
  std::thread ui([&] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = SinkProc;
    wc.lpszClassName = "ModalSink";
    RegisterClassA(&wc);
    HWND sink = CreateWindowExA(0, "ModalSink", "sink", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    UINT_PTR timer = SetTimer(nullptr, 0, 100, Tick);
    g_sink = sink;
    DialogTemplate t;
    t.style = WS_POPUP | WS_CAPTION;
    t.caption = "Users";
    t.Add({"Button", "Close", IDCANCEL, WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 0, 10, 10});
    dialogResult = DialogBoxIndirectParam(nullptr, &t, sink, ModalProc, 0);
    boxResult = MessageBox(sink, "There are 2 persons online, shut down server?", "ZelServer", MB_YESNO);
    KillTimer(nullptr, timer);
    DestroyWindow(sink);
  });
  ASSERT_TRUE(Eventually([] { return g_modal.load() != nullptr; }));
  EXPECT_FALSE(IsWindowEnabled(g_sink.load()));  // the owner waits for its dialog
  SendsAndTicksGoOn();
  // Its owner is disabled, the dialog is not: a front end's click ends it.
  ASSERT_TRUE(fe.Command("click", {H(g_modal.load()), std::to_string(IDCANCEL)}, 10000, &error)) << error;

  std::string box;
  ASSERT_TRUE(fe.WaitFor(
      [&](const FrontEndClient& c) {
        for (const auto* w : c.Windows()) {
          if (!w->Get("box").empty()) box = w->key;
        }
        return !box.empty();
      },
      20000));
  EXPECT_EQ(dialogResult.load(), 7);
  EXPECT_EQ(fe.records().at("window " + box).Get("message"), "There are 2 persons online, shut down server?");
  SendsAndTicksGoOn();
  EXPECT_TRUE(fe.Command("answer", {box, std::to_string(IDNO)}, 10000, &error)) << error;
  if (HasFailure()) fe.Detach();  // the policy answers rather than hang
  ui.join();
  EXPECT_EQ(boxResult.load(), IDNO);
}

INT_PTR CALLBACK PlainProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

LRESULT CALLBACK PlainWindowProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProc(h, msg, wp, lp); }

// What a front end needs to draw: places and sizes in the units they were
// given in (a template's dialog units with its font, else pixels), and the
// bytes of the icons a window and a tray icon show.
TEST(FrontEnd, RecordsCarryGeometryAndImages) {
  FrontEndClient fe;
  std::string error;
  ASSERT_TRUE(fe.Attach(getpid(), 10000, &error)) << error;
  HWND dlg = CreateDialogParam(nullptr, MAKEINTRESOURCE(300), nullptr, PlainProc, 0);
  ASSERT_NE(dlg, nullptr);
  WNDCLASSA wc{};
  wc.lpfnWndProc = PlainWindowProc;
  wc.lpszClassName = "GeometryPlain";
  RegisterClassA(&wc);
  HWND plain = CreateWindowExA(0, "GeometryPlain", "plain", WS_OVERLAPPEDWINDOW, 30, 40, 300, 200, nullptr, nullptr,
                               nullptr, nullptr);
  ASSERT_NE(plain, nullptr);
  HWND child = CreateWindowExA(0, "Button", "later", WS_CHILD | WS_VISIBLE, 5, 6, 70, 20, dlg, nullptr, nullptr,
                               nullptr);
  ASSERT_NE(child, nullptr);

  HICON mark = LoadIcon(nullptr, MAKEINTRESOURCE(500));
  EXPECT_EQ(LoadIcon(nullptr, MAKEINTRESOURCE(500)), mark);  // one handle per resource
  EXPECT_EQ(LoadIcon(nullptr, IDI_APPLICATION), reinterpret_cast<HICON>(std::uintptr_t{32512}));
  SendMessage(plain, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(mark));
  NOTIFYICONDATAA nid{};
  nid.hWnd = plain;
  nid.uID = 3;
  nid.uFlags = NIF_ICON | NIF_TIP;
  nid.hIcon = mark;
  std::snprintf(nid.szTip, sizeof nid.szTip, "%s", "Mark");
  ASSERT_TRUE(Shell_NotifyIcon(NIM_ADD, &nid));
  ASSERT_TRUE(MoveWindow(plain, 50, 60, 320, 240, TRUE));

  auto rec = [&](HWND h) { return fe.records().count("window " + H(h)) ? fe.records().at("window " + H(h)) : fe::Record{}; };
  auto field = [](const fe::Record& r, const char* name) {
    auto all = r.All(name);
    if (all.empty()) return std::string("(none)");
    std::string out;
    for (size_t i = 1; i < all[0]->size(); ++i) out += (i > 1 ? " " : "") + (*all[0])[i];
    return out;
  };
  std::string trayKey = "tray " + H(plain) + ":3";
  ASSERT_TRUE(fe.WaitFor([&](const FrontEndClient& c) {
    return c.records().count(trayKey) && field(rec(plain), "rect") == "50 60 320 240";
  }, 20000));
  struct Case {
    HWND h;
    const char* rect;
    const char* units;
    const char* font;
  } cases[] = {
      {dlg, "0 0 240 160", "dlu", "8 MS Shell Dlg"},
      {GetDlgItem(dlg, 1001), "10 10 100 12", "dlu", "(none)"},
      {GetDlgItem(dlg, IDOK), "60 140 50 14", "dlu", "(none)"},
      {child, "5 6 70 20", "px", "(none)"},  // made in code after the template: pixels
      {plain, "50 60 320 240", "px", "(none)"},
  };
  for (const auto& c : cases) {
    fe::Record r = rec(c.h);
    EXPECT_EQ(field(r, "rect"), c.rect) << H(c.h);
    EXPECT_EQ(field(r, "units"), c.units) << H(c.h);
    EXPECT_EQ(field(r, "font"), c.font) << H(c.h);
  }
  RECT wr{}, cr{};
  ASSERT_TRUE(GetWindowRect(GetDlgItem(dlg, IDOK), &wr));
  EXPECT_EQ(std::vector<LONG>({wr.left, wr.top, wr.right, wr.bottom}), std::vector<LONG>({60, 140, 110, 154}));
  ASSERT_TRUE(GetClientRect(plain, &cr));
  EXPECT_EQ(std::vector<LONG>({cr.left, cr.top, cr.right, cr.bottom}), std::vector<LONG>({0, 0, 320, 240}));

  // The images are the bytes of the resource's file.
  std::string png = Slurp(std::string(FE_TESTDATA) + "/mark.png");
  ASSERT_EQ(png.substr(1, 3), "PNG");
  std::string image;
  ASSERT_TRUE(fe::FromHexBytes(fe.records().at(trayKey).Get("image"), &image));
  EXPECT_EQ(image, png);
  ASSERT_TRUE(fe::FromHexBytes(rec(plain).Get("image"), &image));
  EXPECT_EQ(image, png);
  EXPECT_EQ(rec(plain).Get("icon"), H(mark));

  Shell_NotifyIcon(NIM_DELETE, &nid);
  DestroyWindow(plain);
  DestroyWindow(dlg);
}

// A window that asks its user before the session may end.
LRESULT CALLBACK AskingProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_QUERYENDSESSION) {
    Seen("query " + fe::Hex(static_cast<std::uintptr_t>(lp)));
    return MessageBox(h, "Quit the test?", "Asking", MB_YESNO) == IDYES;
  }
  if (msg == WM_ENDSESSION) {
    Seen("end " + std::to_string(wp));
    return 0;
  }
  return DefWindowProc(h, msg, wp, lp);
}

// Logging out asks every window, each on its own thread; the one that asks
// its user shows a box a front end answers while the question is open,
// once through the protocol and once through zelwin.
TEST(FrontEnd, EndSessionAsksTheWindowsWhileBoxesAreAnswered) {
  {
    vantrel::MutexLock lock(g_mu);
    g_seen.clear();
  }
  FrontEndClient fe;
  std::string error;
  ASSERT_TRUE(fe.Attach(getpid(), 10000, &error)) << error;
  std::atomic<DWORD> uiThread{0};
  std::atomic<HWND> asking{nullptr};
  std::thread ui([&] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = AskingProc;
    wc.lpszClassName = "AskingAtEnd";
    RegisterClassA(&wc);
    HWND h = CreateWindowExA(0, "AskingAtEnd", "asking", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                             nullptr, nullptr);  // hidden, as a tray program's window
    MSG m;
    PeekMessage(&m, nullptr, 0, 0, PM_NOREMOVE);
    asking = h;
    uiThread = GetCurrentThreadId();
    while (GetMessage(&m, nullptr, 0, 0) > 0) DispatchMessage(&m);
    DestroyWindow(h);
  });
  ASSERT_TRUE(Eventually([&] { return uiThread.load() != 0; }));

  auto answerBox = [&](int button) {
    std::string box;
    bool shown = fe.WaitFor(
        [&](const FrontEndClient& c) {
          for (const auto* w : c.Windows()) {
            if (w->Get("message") == "Quit the test?") box = w->key;
          }
          return !box.empty();
        },
        20000);
    EXPECT_TRUE(shown);
    EXPECT_TRUE(shown && fe.Command("answer", {box, std::to_string(button)}, 10000, &error)) << error;
  };

  // Through the protocol: the user says no, the session goes on.
  std::string tag = fe.Send("endsession", {"1"});
  ASSERT_FALSE(tag.empty());
  answerBox(IDNO);
  std::vector<std::string> reply;
  EXPECT_TRUE(fe.WaitReply(tag, 20000, &error, &reply)) << error;
  EXPECT_EQ(reply, std::vector<std::string>{"0"});

  // In two steps, as a front end speaking for several processes asks: an
  // agreement waits for the outcome; cancelled, the session goes on; a
  // second agreement is ended without asking again.
  auto agree = [&] {
    std::string t = fe.Send("queryendsession", {"1"});
    answerBox(IDYES);
    std::vector<std::string> r;
    EXPECT_TRUE(fe.WaitReply(t, 20000, &error, &r)) << error;
    EXPECT_EQ(r, std::vector<std::string>{"1"});
  };
  agree();
  {
    vantrel::MutexLock lock(g_mu);
    EXPECT_EQ(g_seen.back(), "query 0x80000000");  // not told yet
  }
  EXPECT_TRUE(fe.Command("cancelendsession", {}, 10000, &error)) << error;
  EXPECT_FALSE(fe.Command("cancelendsession", {}, 10000, &error));  // nothing waits now
  agree();
  reply.clear();
  EXPECT_TRUE(fe.Command("endsession", {"1"}, 10000, &error, &reply)) << error;
  EXPECT_EQ(reply, std::vector<std::string>{"1"});

  // Through zelwin, in another process, while this front end answers yes.
  ZelwinRun run;
  std::thread zelwin([&] { run = Zelwin({"endsession", std::to_string(getpid())}); });
  answerBox(IDYES);
  zelwin.join();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "agreed\n");
  EXPECT_EQ(Zelwin({"endsession", "x"}).status, 2);

  PostThreadMessage(uiThread.load(), WM_QUIT, 0, 0);
  ui.join();
  vantrel::MutexLock lock(g_mu);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"query 0x80000000", "end 0", "query 0x80000000", "end 0",
                                              "query 0x80000000", "end 1", "query 0x0", "end 1"}));
}

// Help goes to the front ends, split into file, topic and window type.
TEST(FrontEnd, HelpReachesTheFrontEnds) {
  ASSERT_TRUE(Eventually([] { return !FrontEndAttached(); }));  // earlier tests' front ends are gone
  EXPECT_EQ(HtmlHelpA(nullptr, "/opt/z/Z.CHM::/index.htm>FULL", HH_DISPLAY_TOPIC, 0), nullptr);  // nobody to show it
  FrontEndClient fe;
  std::string error;
  ASSERT_TRUE(fe.Attach(getpid(), 10000, &error)) << error;
  HWND owner = reinterpret_cast<HWND>(std::uintptr_t{0x1234});
  struct Case {
    const char* spec;
    UINT command;
    const char* file;
    const char* topic;
    const char* window;
  } cases[] = {
      {"/opt/z/Z.CHM::/screens/Server/User management/users_edit.htm>TOPIC", HH_DISPLAY_TOPIC, "/opt/z/Z.CHM",
       "/screens/Server/User management/users_edit.htm", "TOPIC"},
      {"/opt/z/Z.CHM", HH_DISPLAY_INDEX, "/opt/z/Z.CHM", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HtmlHelpA(owner, c.spec, c.command, 0), owner) << c.spec;
    ASSERT_TRUE(fe.WaitFor([&](const FrontEndClient& f) {
      auto it = f.records().find("help 0x0");
      return it != f.records().end() && it->second.Get("file") == c.file && it->second.Get("topic") == c.topic;
    }, 20000)) << c.spec;
    const fe::Record& r = fe.records().at("help 0x0");
    EXPECT_EQ(r.event, "open");
    EXPECT_EQ(r.Get("window"), c.window);
    EXPECT_EQ(r.Get("owner"), "0x1234");
    EXPECT_EQ(r.Get("command"), c.command == HH_DISPLAY_TOPIC ? "topic" : "index");
  }
  EXPECT_EQ(HtmlHelpA(owner, "/opt/z/Z.CHM", HH_CLOSE_ALL, 0), nullptr);
}

}  // namespace
}  // namespace vantrel::win
