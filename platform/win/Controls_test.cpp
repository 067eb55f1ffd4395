// The control messages system code sends, menus, tray icons and message
// boxes, in one process.
#include "platform/win/Controls.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/CommCtrl.h"
#include "platform/win/Dialog.h"
#include "platform/win/FrontEndClient.h"
#include "platform/win/Menu.h"
#include "platform/win/ShellApi.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {
namespace {

enum Ids { kEdit = 1001, kCheck = 1002, kCombo = 1003, kList = 1004, kTree = 1005, kPassword = 1006, kListBox = 1007,
           kRadioA = 1008, kRadioB = 1009, kRadioOther = 1010 };

// What reached the dialog procedure, as text ("command 1001 768").
vantrel::Mutex g_mu;
std::vector<std::string> g_seen GUARDED_BY(g_mu);

void Seen(std::string s) {
  vantrel::MutexLock lock(g_mu);
  g_seen.push_back(std::move(s));
}
std::vector<std::string> TakeSeen() {
  vantrel::MutexLock lock(g_mu);
  return std::exchange(g_seen, {});
}

INT_PTR CALLBACK RecordingProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      Seen("init " + std::to_string(lp));
      return TRUE;
    case WM_COMMAND:
      Seen("command " + std::to_string(LOWORD(wp)) + " " + std::to_string(HIWORD(wp)));
      if (LOWORD(wp) == IDCANCEL) EndDialog(dlg, IDCANCEL);
      return TRUE;
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lp);
      std::string s = "notify " + std::to_string(hdr->idFrom) + " " + std::to_string(static_cast<int>(hdr->code));
      if (hdr->code == LVN_ITEMCHANGED) {
        auto* nm = reinterpret_cast<NMLISTVIEW*>(lp);
        s += " item " + std::to_string(nm->iItem) + " " + std::to_string(nm->uOldState) + "->" +
             std::to_string(nm->uNewState) + " param " + std::to_string(nm->lParam);
      }
      Seen(s);
      return FALSE;
    }
  }
  return FALSE;
}

DialogTemplate TestTemplate() {
  DialogTemplate t;
  t.style = WS_POPUP | WS_CAPTION | WS_VISIBLE;
  t.caption = "Controls";
  t.Add({"Edit", "", kEdit, WS_VISIBLE | WS_TABSTOP, 0, 0, 0, 10, 10})
      .Add({"Button", "Remember", kCheck, WS_VISIBLE | BS_AUTOCHECKBOX, 0, 0, 0, 10, 10})
      .Add({"ComboBox", "", kCombo, WS_VISIBLE | CBS_DROPDOWNLIST, 0, 0, 0, 10, 10})
      .Add({WC_LISTVIEWA, "", kList, WS_VISIBLE | LVS_REPORT | LVS_SINGLESEL, 0, 0, 0, 10, 10})
      .Add({WC_TREEVIEWA, "", kTree, WS_VISIBLE | TVS_HASBUTTONS, 0, 0, 0, 10, 10})
      .Add({"Edit", "secret", kPassword, WS_VISIBLE | ES_PASSWORD, 0, 0, 0, 10, 10})
      .Add({"ListBox", "", kListBox, WS_VISIBLE | LBS_NOTIFY | LBS_SORT, 0, 0, 0, 10, 10})
      .Add({"Button", "Local", kRadioA, WS_VISIBLE | WS_GROUP | BS_AUTORADIOBUTTON, 0, 0, 0, 10, 10})
      .Add({"Button", "Remote", kRadioB, WS_VISIBLE | BS_AUTORADIOBUTTON, 0, 0, 0, 10, 10})
      .Add({"Button", "Other group", kRadioOther, WS_VISIBLE | WS_GROUP | BS_AUTORADIOBUTTON, 0, 0, 0, 10, 10});
  return t;
}

TEST(Controls, MessagesSystemCodeSends) {
  DialogTemplate t = TestTemplate();
  HWND dlg = CreateDialogIndirectParam(nullptr, &t, nullptr, RecordingProc, 77);
  ASSERT_NE(dlg, nullptr);
  EXPECT_EQ(TakeSeen(), std::vector<std::string>{"init 77"});
  char one[] = "one", two[] = "Two", three[] = "three";
  // A script: each step's result, in order, on the state the steps before made.
  struct Step {
    const char* what;
    int id;
    UINT msg;
    WPARAM wp;
    LPARAM lp;
    LRESULT want;
  } steps[] = {
      {"check starts clear", kCheck, BM_GETCHECK, 0, 0, BST_UNCHECKED},
      {"set check", kCheck, BM_SETCHECK, BST_CHECKED, 0, 0},
      {"check reads back", kCheck, BM_GETCHECK, 0, 0, BST_CHECKED},
      {"limit", kEdit, EM_LIMITTEXT, 5, 0, 0},
      {"limit reads back", kEdit, EM_GETLIMITTEXT, 0, 0, 5},
      {"add", kCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(one), 0},
      {"add", kCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(three), 1},
      {"insert first", kCombo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>(two), 0},
      {"insert past the end", kCombo, CB_INSERTSTRING, 9, reinterpret_cast<LPARAM>(two), CB_ERR},
      {"count", kCombo, CB_GETCOUNT, 0, 0, 3},
      {"no selection", kCombo, CB_GETCURSEL, 0, 0, CB_ERR},
      {"select", kCombo, CB_SETCURSEL, 2, 0, 2},
      {"select out of range clears", kCombo, CB_SETCURSEL, 7, 0, CB_ERR},
      {"cleared", kCombo, CB_GETCURSEL, 0, 0, CB_ERR},
      {"select again", kCombo, CB_SETCURSEL, 2, 0, 2},
      {"text length", kCombo, CB_GETLBTEXTLEN, 2, 0, 5},
      {"text length out of range", kCombo, CB_GETLBTEXTLEN, 3, 0, CB_ERR},
      {"data", kCombo, CB_SETITEMDATA, 1, 4242, TRUE},
      {"data reads back", kCombo, CB_GETITEMDATA, 1, 0, 4242},
      {"data out of range", kCombo, CB_GETITEMDATA, 5, 0, CB_ERR},
      {"find exact, any case", kCombo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("TWO"), 0},
      {"find exact wraps past start", kCombo, CB_FINDSTRINGEXACT, 1, reinterpret_cast<LPARAM>("two"), 0},
      {"find exact needs the whole text", kCombo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("thr"), CB_ERR},
      {"delete before the selection", kCombo, CB_DELETESTRING, 0, 0, 2},
      {"selection follows its item", kCombo, CB_GETCURSEL, 0, 0, 1},
      {"delete the selection", kCombo, CB_DELETESTRING, 1, 0, 1},
      {"selection gone", kCombo, CB_GETCURSEL, 0, 0, CB_ERR},
      {"delete out of range", kCombo, CB_DELETESTRING, 4, 0, CB_ERR},
      {"reset", kCombo, CB_RESETCONTENT, 0, 0, CB_OKAY},
      {"empty", kCombo, CB_GETCOUNT, 0, 0, 0},
      {"no rows", kList, LVM_GETITEMCOUNT, 0, 0, 0},
      {"extended style", kList, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT, 0},
      {"extended style is kept", kList, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES, LVS_EX_GRIDLINES,
       LVS_EX_FULLROWSELECT},
      {"no next selected", kList, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED, -1},
      {"delete a row that is not there", kList, LVM_DELETEITEM, 0, 0, FALSE},
      {"list box add", kListBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(two), 0},
      {"list box sorts", kListBox, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(one), 0},
      {"a combo message is not a list box's", kListBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(one), 0},
      {"list box count", kListBox, LB_GETCOUNT, 0, 0, 2},
      {"list box text length", kListBox, LB_GETTEXTLEN, 1, 0, 3},
      {"list box select", kListBox, LB_SETCURSEL, 1, 0, 1},
      {"list box selection", kListBox, LB_GETCURSEL, 0, 0, 1},
      {"list box find", kListBox, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>("ONE"), 0},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(SendDlgItemMessage(dlg, s.id, s.msg, s.wp, s.lp), s.want) << s.what;
  }
  // Setting an edit's text is a change the parent hears of; programmatic
  // selections and checks are not.
  EXPECT_EQ(TakeSeen(), std::vector<std::string>{});
  EXPECT_TRUE(SetDlgItemText(dlg, kEdit, "1234567"));
  EXPECT_EQ(TakeSeen(), std::vector<std::string>{"command 1001 768"});
  char buf[32];
  EXPECT_EQ(GetDlgItemText(dlg, kEdit, buf, sizeof buf), 7u);  // the limit binds typing only
  BOOL ok = FALSE;
  EXPECT_EQ(GetDlgItemInt(dlg, kEdit, &ok, FALSE), 1234567u);
  EXPECT_TRUE(ok);
  SetDlgItemText(dlg, kEdit, "12x");
  GetDlgItemInt(dlg, kEdit, &ok, FALSE);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(SetDlgItemInt(dlg, kEdit, static_cast<UINT>(-5), TRUE));
  EXPECT_EQ(static_cast<int>(GetDlgItemInt(dlg, kEdit, &ok, TRUE)), -5);
  EXPECT_EQ(IsDlgButtonChecked(dlg, kCheck), BST_CHECKED);
  CheckDlgButton(dlg, kCheck, BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dlg, kCheck), BST_UNCHECKED);
  // A click is what a person does: it toggles an auto check box and tells the parent.
  SendDlgItemMessage(dlg, kCheck, BM_CLICK, 0, 0);
  EXPECT_EQ(IsDlgButtonChecked(dlg, kCheck), BST_CHECKED);
  // A radio button clicked clears the others of its group, not of the next.
  SendDlgItemMessage(dlg, kRadioOther, BM_CLICK, 0, 0);
  SendDlgItemMessage(dlg, kRadioA, BM_CLICK, 0, 0);
  SendDlgItemMessage(dlg, kRadioB, BM_CLICK, 0, 0);
  EXPECT_EQ(IsDlgButtonChecked(dlg, kRadioA), BST_UNCHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dlg, kRadioB), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dlg, kRadioOther), BST_CHECKED);
  TakeSeen();

  // A report list with columns, rows, subitems and item data.
  HWND list = GetDlgItem(dlg, kList);
  EXPECT_EQ(GetDlgCtrlID(list), kList);
  LVCOLUMNA col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH;
  col.pszText = const_cast<char*>("User");
  col.cx = 80;
  EXPECT_EQ(ListView_InsertColumn(list, 0, &col), 0);
  col.pszText = const_cast<char*>("Host");
  EXPECT_EQ(ListView_InsertColumn(list, 5, &col), 1);  // past the end: appended
  for (int i = 0; i < 3; ++i) {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = 100;  // past the end: appended
    std::string text = "user" + std::to_string(i);
    item.pszText = text.data();
    item.lParam = 500 + i;
    EXPECT_EQ(ListView_InsertItem(list, &item), i);
  }
  ListView_SetItemText(list, 1, 1, const_cast<char*>("pc-1"));
  EXPECT_EQ(ListView_GetItemText(list, 1, 1, buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "pc-1");
  EXPECT_EQ(ListView_GetItemText(list, 1, 1, buf, 3), 2);  // cut to the buffer
  EXPECT_STREQ(buf, "pc");
  LVITEMA get{};
  get.mask = LVIF_PARAM;
  get.iItem = 2;
  EXPECT_TRUE(ListView_GetItem(list, &get));
  EXPECT_EQ(get.lParam, 502);
  get.iItem = 3;
  EXPECT_FALSE(ListView_GetItem(list, &get));
  LVFINDINFOA find{};
  find.flags = LVFI_PARAM;
  find.lParam = 501;
  EXPECT_EQ(ListView_FindItem(list, -1, &find), 1);
  EXPECT_EQ(ListView_FindItem(list, 1, &find), -1);  // searches after start
  find.flags = LVFI_STRING;
  find.psz = "USER2";
  EXPECT_EQ(ListView_FindItem(list, -1, &find), 2);
  // Selection in a single-selection list moves, and the parent hears of
  // each row that changed.
  ListView_SetItemState(list, 0, LVIS_SELECTED, LVIS_SELECTED);
  ListView_SetItemState(list, 2, LVIS_SELECTED, LVIS_SELECTED);
  EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_SELECTED), 2);
  EXPECT_EQ(ListView_GetItemState(list, 0, LVIS_SELECTED), 0u);
  EXPECT_EQ(TakeSeen(), (std::vector<std::string>{
                            "notify 1004 -101 item 0 0->2 param 500",
                            "notify 1004 -101 item 0 2->0 param 500",
                            "notify 1004 -101 item 2 0->2 param 502",
                        }));
  EXPECT_TRUE(ListView_DeleteItem(list, 0));
  EXPECT_EQ(ListView_GetNextItem(list, -1, LVNI_SELECTED), 1);
  EXPECT_TRUE(ListView_DeleteAllItems(list));
  EXPECT_EQ(ListView_GetItemCount(list), 0);

  // A tree with has-children marks, walked the way system code walks it.
  HWND tree = GetDlgItem(dlg, kTree);
  TVINSERTSTRUCTA is{};
  is.hParent = TVI_ROOT;
  is.hInsertAfter = TVI_LAST;
  is.item.mask = TVIF_TEXT | TVIF_CHILDREN | TVIF_PARAM;
  is.item.pszText = const_cast<char*>("Mailbox");
  is.item.cChildren = 1;
  is.item.lParam = 9;
  HTREEITEM root = TreeView_InsertItem(tree, &is);
  ASSERT_NE(root, nullptr);
  is.hParent = root;
  is.item.pszText = const_cast<char*>("Inbox");
  is.item.cChildren = 0;
  HTREEITEM inbox = TreeView_InsertItem(tree, &is);
  is.hInsertAfter = TVI_FIRST;
  is.item.pszText = const_cast<char*>("Drafts");
  HTREEITEM drafts = TreeView_InsertItem(tree, &is);
  is.hParent = reinterpret_cast<HTREEITEM>(std::uintptr_t{9999});
  EXPECT_EQ(TreeView_InsertItem(tree, &is), nullptr);  // no such parent
  EXPECT_EQ(TreeView_GetRoot(tree), root);
  EXPECT_EQ(TreeView_GetChild(tree, root), drafts);
  EXPECT_EQ(TreeView_GetNextSibling(tree, drafts), inbox);
  EXPECT_EQ(TreeView_GetNextSibling(tree, inbox), nullptr);
  EXPECT_EQ(TreeView_GetParent(tree, inbox), root);
  TVITEMA item{};
  item.mask = TVIF_TEXT | TVIF_CHILDREN | TVIF_PARAM | TVIF_STATE;
  item.hItem = root;
  item.pszText = buf;
  item.cchTextMax = sizeof buf;
  item.stateMask = TVIS_EXPANDED;
  EXPECT_TRUE(TreeView_GetItem(tree, &item));
  EXPECT_STREQ(buf, "Mailbox");
  EXPECT_EQ(item.cChildren, 1);
  EXPECT_EQ(item.lParam, 9);
  EXPECT_EQ(item.state, 0u);
  EXPECT_TRUE(TreeView_Expand(tree, root, TVE_EXPAND));
  EXPECT_TRUE(TreeView_GetItem(tree, &item));
  EXPECT_EQ(item.state, TVIS_EXPANDED);
  EXPECT_TRUE(TreeView_SelectItem(tree, inbox));
  EXPECT_EQ(TreeView_GetSelection(tree), inbox);
  // TVM_EXPAND asks nobody; a selection is announced (TVN_SELCHANGING, TVN_SELCHANGED).
  EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"notify 1005 -401", "notify 1005 -402"}));
  EXPECT_TRUE(TreeView_DeleteItem(tree, root));  // with its children
  EXPECT_EQ(TreeView_GetCount(tree), 0u);
  EXPECT_EQ(TreeView_GetSelection(tree), nullptr);
  EXPECT_FALSE(TreeView_DeleteItem(tree, inbox));

  // Front ends never see a password.
  ControlSnapshot snap;
  ASSERT_TRUE(SnapshotControl(GetDlgItem(dlg, kPassword), &snap));
  EXPECT_EQ(snap.text, "******");
  GetDlgItemText(dlg, kPassword, buf, sizeof buf);
  EXPECT_STREQ(buf, "secret");
  SetDlgItemText(dlg, kPassword, "hunter2");
  std::thread([&] {  // another thread (or process) reads the mask only
    char other[32];
    GetWindowText(GetDlgItem(dlg, kPassword), other, sizeof other);
    EXPECT_STREQ(other, "*******");
  }).join();
  GetDlgItemText(dlg, kPassword, buf, sizeof buf);
  EXPECT_STREQ(buf, "hunter2");
  TakeSeen();

  // The close box is Cancel.
  SendMessage(dlg, WM_CLOSE, 0, 0);
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&m);
  EXPECT_EQ(TakeSeen(), std::vector<std::string>{"command 2 0"});
  EXPECT_TRUE(DestroyWindow(dlg));
  EXPECT_FALSE(IsWindow(dlg));
}

// The list of a combo box with an edit field opens with CBN_DROPDOWN (once
// per opening) and a picked item becomes the field's text only after the
// parent heard CBN_SELCHANGE, as published.
INT_PTR CALLBACK ComboProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
  if (msg != WM_COMMAND) return FALSE;
  char text[32] = "";
  GetDlgItemText(dlg, LOWORD(wp), text, sizeof text);
  Seen("command " + std::to_string(HIWORD(wp)) + " " + text);
  if (HIWORD(wp) == CBN_DROPDOWN) SendDlgItemMessage(dlg, LOWORD(wp), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("mailhost"));
  return TRUE;
}

TEST(Controls, ComboBoxDropDownAndEditField) {
  DialogTemplate t;
  t.style = WS_POPUP;
  t.Add({"ComboBox", "typed", kCombo, WS_VISIBLE | CBS_DROPDOWN, 0, 0, 0, 10, 10});
  HWND dlg = CreateDialogIndirectParam(nullptr, &t, nullptr, ComboProc, 0);
  ASSERT_NE(dlg, nullptr);
  HWND combo = GetDlgItem(dlg, kCombo);
  EXPECT_EQ(SendMessage(combo, CB_SHOWDROPDOWN, TRUE, 0), TRUE);
  EXPECT_EQ(SendMessage(combo, CB_SHOWDROPDOWN, TRUE, 0), TRUE);  // already open: no second notice
  EXPECT_EQ(SendMessage(combo, CB_GETDROPPEDSTATE, 0, 0), TRUE);
  EXPECT_EQ(SendMessage(combo, ZM_FE_SELECT, 0, 0), TRUE);
  EXPECT_EQ(SendMessage(combo, CB_SHOWDROPDOWN, FALSE, 0), TRUE);
  EXPECT_EQ(SendMessage(combo, CB_GETDROPPEDSTATE, 0, 0), FALSE);
  EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"command 7 typed", "command 1 typed", "command 8 mailhost"}));
  EXPECT_TRUE(DestroyWindow(dlg));
}

INT_PTR CALLBACK RefusingProc(HWND dlg, UINT msg, WPARAM, LPARAM lp) {
  if (msg != WM_NOTIFY) return FALSE;
  auto* nm = reinterpret_cast<NMTREEVIEWA*>(lp);
  Seen("notify " + std::to_string(static_cast<int>(nm->hdr.code)));
  if (nm->hdr.code == TVN_ITEMEXPANDING && nm->itemNew.lParam == 13) {
    SetWindowLongPtr(dlg, DWLP_MSGRESULT, TRUE);  // refuses
    return TRUE;
  }
  return FALSE;
}

// A dialog procedure's answer to a notification travels in DWLP_MSGRESULT.
TEST(Controls, ExpansionRefusedThroughMsgResult) {
  DialogTemplate t;
  t.style = WS_POPUP;
  t.Add({WC_TREEVIEWA, "", kTree, WS_VISIBLE | TVS_HASBUTTONS, 0, 0, 0, 10, 10});
  HWND dlg = CreateDialogIndirectParam(nullptr, &t, nullptr, RefusingProc, 0);
  ASSERT_NE(dlg, nullptr);
  HWND tree = GetDlgItem(dlg, kTree);
  TVINSERTSTRUCTA is{};
  is.hParent = TVI_ROOT;
  is.hInsertAfter = TVI_LAST;
  is.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_CHILDREN;
  is.item.pszText = const_cast<char*>("Locked");
  is.item.lParam = 13;
  is.item.cChildren = 1;
  HTREEITEM locked = TreeView_InsertItem(tree, &is);
  is.item.lParam = 14;
  HTREEITEM open = TreeView_InsertItem(tree, &is);
  EXPECT_EQ(SendMessage(tree, ZM_FE_EXPAND, 0, reinterpret_cast<LPARAM>(locked)), FALSE);
  EXPECT_EQ(SendMessage(tree, ZM_FE_EXPAND, 0, reinterpret_cast<LPARAM>(open)), TRUE);
  TVITEMA item{};
  item.mask = TVIF_STATE;
  item.stateMask = TVIS_EXPANDED;
  item.hItem = locked;
  TreeView_GetItem(tree, &item);
  EXPECT_EQ(item.state, 0u);
  item.hItem = open;
  TreeView_GetItem(tree, &item);
  EXPECT_EQ(item.state, TVIS_EXPANDED);
  EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"notify -405", "notify -405", "notify -406"}));
  EXPECT_TRUE(DestroyWindow(dlg));
}

LRESULT CALLBACK SinkProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg >= WM_APP) {
    Seen("app " + std::to_string(msg - WM_APP) + " " + std::to_string(wp) + " " + std::to_string(lp));
    return 0;
  }
  if (msg == WM_COMMAND || msg == WM_SYSCOMMAND) {
    Seen((msg == WM_COMMAND ? "command " : "syscommand ") + std::to_string(wp));
    return 0;
  }
  return DefWindowProc(h, msg, wp, lp);
}

HWND SinkWindow() {
  static bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = SinkProc;
    wc.lpszClassName = "ControlsTestSink";
    return RegisterClassA(&wc) != 0;
  }();
  EXPECT_TRUE(registered);
  return CreateWindowExA(0, "ControlsTestSink", "sink", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// A helper thread that fails lets go of its front end, so the box or menu
// it was to answer falls back to the policy instead of waiting forever.
struct DetachOnFailure {
  FrontEndClient& client;
  ~DetachOnFailure() {
    if (testing::Test::HasFailure()) client.Detach();
  }
};

// Waits (bounded) for `what` in the front end's records.
bool SeeRecord(FrontEndClient& c, const std::string& kind) {
  return c.WaitFor(
      [&](const FrontEndClient& cl) {
        for (const auto& [k, r] : cl.records()) {
          if (r.kind == kind) return true;
        }
        return false;
      },
      10000);
}

// The process side of the protocol: another version is told so and let go;
// lines it cannot read are answered, and the connection goes on.
TEST(Controls, FrontEndChannelRefusesOtherVersionsAndBadLines) {
  HWND sink = SinkWindow();  // a process with a window listens for front ends
  ASSERT_NE(sink, nullptr);
  int fd = ConnectChannel(getpid(), "frontend", 5000);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(fe::WriteAll(fd, "hello 2\n"));
  std::string line;
  {
    fe::LineReader in(fd);
    ASSERT_EQ(in.Next(&line, 5000), 1);
    EXPECT_NE(line.find("unsupported\\sversion\\s2"), std::string::npos) << line;
    EXPECT_EQ(in.Next(&line, 5000), 0);
  }
  close(fd);

  fd = ConnectChannel(getpid(), "frontend", 5000);
  ASSERT_GE(fd, 0);
  fe::LineReader in(fd);
  ASSERT_TRUE(fe::WriteAll(fd, "hello 1\n"));
  do {
    ASSERT_EQ(in.Next(&line, 5000), 1);
  } while (line != "sync");
  struct Case {
    const char* send;
    const char* reply;
  } cases[] = {
      {"click  1\n", "error - malformed\\sline"},
      {"click\n", "error - unknown\\scommand\\sclick"},
      {"click 7 0x1\n", "error 7 unknown\\scommand\\sor\\swrong\\snumber\\sof\\sfields:\\sclick"},
      {"click 8 nothing 1\n", "error 8 bad\\shandle\\snothing"},
      {"pick 9 0x1 0 1\n", "error 9 no\\swindow\\s0x1"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(fe::WriteAll(fd, c.send));
    do {  // records of windows may come between
      ASSERT_EQ(in.Next(&line, 5000), 1);
    } while (line.rfind("error ", 0) != 0 && line.rfind("ok ", 0) != 0);
    EXPECT_EQ(line, c.reply);
  }
  ASSERT_TRUE(fe::WriteAll(fd, "bye\n"));
  while (in.Next(&line, 5000) == 1) {
  }
  close(fd);
  EXPECT_TRUE(DestroyWindow(sink));
}

// Menus, tray icons and boxes with a front end attached (a client of this
// very process, as a separate front-end process would be) and without.
TEST(Controls, MenusTrayIconsAndBoxesWithAndWithoutAFrontEnd) {
  HWND sink = SinkWindow();
  ASSERT_NE(sink, nullptr);
  HMENU menu = CreatePopupMenu();
  HMENU sub = CreatePopupMenu();
  ASSERT_TRUE(AppendMenu(menu, MF_STRING, 40001, "&Users..."));
  ASSERT_TRUE(AppendMenu(menu, MF_SEPARATOR, 0, nullptr));
  ASSERT_TRUE(AppendMenu(menu, MF_STRING | MF_GRAYED, 40002, "Log"));
  ASSERT_TRUE(AppendMenu(sub, MF_STRING, 40003, "Deep"));
  ASSERT_TRUE(AppendMenu(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(sub), "More"));
  EXPECT_EQ(GetSubMenu(menu, 3), sub);
  EXPECT_EQ(GetSubMenu(menu, 0), nullptr);
  EXPECT_EQ(EnableMenuItem(menu, 40002, MF_ENABLED), static_cast<BOOL>(MF_GRAYED));
  EXPECT_EQ(EnableMenuItem(menu, 49999, MF_GRAYED), -1);
  EXPECT_EQ(CheckMenuItem(menu, 40003, MF_CHECKED), MF_UNCHECKED);  // found inside the popup
  EXPECT_EQ(GetMenuState(menu, 40003, MF_BYCOMMAND), MF_CHECKED);
  HMENU sys = GetSystemMenu(sink, FALSE);
  EXPECT_EQ(GetSystemMenu(sink, FALSE), sys);
  EXPECT_EQ(GetMenuState(sys, SC_CLOSE, MF_BYCOMMAND), MF_STRING);

  // Nobody attached: nothing is picked, the box is answered by the policy.
  EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, sink, nullptr), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBox(sink, "Delete user?", "Users", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Users: Delete user? -> 7 (default button)"),
            std::string::npos);

  NOTIFYICONDATAA nid{};
  nid.cbSize = sizeof nid;
  nid.hWnd = sink;
  nid.uID = 3;
  nid.uFlags = NIF_MESSAGE | NIF_TIP | NIF_ICON;
  nid.uCallbackMessage = WM_APP + 1;
  nid.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  std::memset(nid.szTip, 'x', sizeof nid.szTip);  // not terminated: kept within the array
  ASSERT_TRUE(Shell_NotifyIcon(NIM_ADD, &nid));
  EXPECT_FALSE(Shell_NotifyIcon(NIM_ADD, &nid));
  std::strcpy(nid.szTip, "ZelServer: 2 users");
  nid.uFlags = NIF_TIP;
  ASSERT_TRUE(Shell_NotifyIcon(NIM_MODIFY, &nid));

  FrontEndClient fe;
  std::string error;
  ASSERT_TRUE(fe.Attach(getpid(), 10000, &error)) << error;
  ASSERT_EQ(fe.records().count("tray " + fe::Hex(reinterpret_cast<std::uintptr_t>(sink)) + ":3"), 1u);
  EXPECT_EQ(fe.records().at("tray " + fe::Hex(reinterpret_cast<std::uintptr_t>(sink)) + ":3").Get("tip"),
            "ZelServer: 2 users");
  // The wait cursor is a state front ends see.
  HCURSOR before = SetCursor(LoadCursor(nullptr, IDC_WAIT));
  EXPECT_TRUE(fe.WaitFor([](const FrontEndClient& c) {
    auto it = c.records().find("cursor 0x0");
    return it != c.records().end() && it->second.Get("cursor") == "wait";
  }, 10000));
  SetCursor(before);
  std::string hs = fe::Hex(reinterpret_cast<std::uintptr_t>(sink));
  ASSERT_TRUE(fe.Command("tray", {hs, "3", "0x203"}, 10000, &error)) << error;
  EXPECT_FALSE(fe.Command("tray", {hs, "4", "0x203"}, 10000, &error));
  MSG m;
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&m);
  EXPECT_EQ(TakeSeen(), std::vector<std::string>{"app 1 3 515"});

  // A tracked menu waits for the front end: a grayed item or a stranger is
  // refused, an enabled one is picked.
  std::thread picker([&] {
    DetachOnFailure guard{fe};
    std::string err;
    ASSERT_TRUE(SeeRecord(fe, "menu"));
    std::string key;
    for (const auto& [k, r] : fe.records()) {
      if (r.kind == "menu") key = r.key;
    }
    EXPECT_FALSE(fe.Command("menu", {key, "49999"}, 10000, &err));
    EXPECT_TRUE(fe.Command("menu", {key, "40003"}, 10000, &err)) << err;
  });
  EXPECT_EQ(TrackPopupMenu(menu, TPM_RETURNCMD, 0, 0, 0, sink, nullptr), 40003);
  picker.join();
  // Without TPM_RETURNCMD the pick arrives as WM_COMMAND.
  std::thread picker2([&] {
    DetachOnFailure guard{fe};
    std::string err;
    ASSERT_TRUE(fe.WaitFor([](const FrontEndClient& cl) {
      for (const auto& [k, r] : cl.records()) if (r.kind == "menu") return true;
      return false;
    }, 10000));
    std::string key;  // the command changes the records: the key is taken first
    for (const auto& [k, r] : fe.records()) {
      if (r.kind == "menu") key = r.key;
    }
    EXPECT_TRUE(fe.Command("menu", {key, "40001"}, 10000, &err)) << err;
  });
  EXPECT_TRUE(TrackPopupMenu(menu, 0, 0, 0, 0, sink, nullptr));
  picker2.join();
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&m);
  EXPECT_EQ(TakeSeen(), std::vector<std::string>{"command 40001"});
  // A pick of the system menu is a system command.
  std::thread picker3([&] {
    DetachOnFailure guard{fe};
    std::string err, key = fe::Hex(reinterpret_cast<std::uintptr_t>(sys));
    ASSERT_TRUE(fe.WaitFor([&](const FrontEndClient& cl) { return cl.records().count("menu " + key) > 0; }, 10000));
    EXPECT_TRUE(fe.Command("menu", {key, std::to_string(SC_CLOSE)}, 10000, &err)) << err;
  });
  EXPECT_TRUE(TrackPopupMenu(sys, 0, 0, 0, 0, sink, nullptr));
  picker3.join();
  while (PeekMessage(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&m);
  EXPECT_EQ(TakeSeen(), std::vector<std::string>{"syscommand " + std::to_string(SC_CLOSE)});

  // A box waits for its front end: an answer that is not one of its
  // buttons is refused.
  // The box showing `text` (a closed box's record may not be gone yet).
  auto FindBox = [](const FrontEndClient& cl, const std::string& text, std::string* box) {
    for (const auto* w : cl.Windows()) {
      if (!w->Get("box").empty() && w->Get("message") == text) *box = w->key;
    }
    return !box->empty();
  };
  {
    std::thread answer([&] {
      DetachOnFailure guard{fe};
      std::string err, box;
      ASSERT_TRUE(fe.WaitFor([&](const FrontEndClient& cl) { return FindBox(cl, "Server unreachable", &box); }, 10000));
      EXPECT_FALSE(fe.Command("answer", {box, std::to_string(IDOK)}, 10000, &err));
      EXPECT_NE(err.find("not one of its answers"), std::string::npos) << err;
      EXPECT_TRUE(fe.Command("answer", {box, std::to_string(IDRETRY)}, 10000, &err)) << err;
    });
    EXPECT_EQ(MessageBox(sink, "Server unreachable", "Connect", MB_RETRYCANCEL | MB_DEFBUTTON2), IDRETRY);
    answer.join();
  }
  // Closing a box is its Cancel; a Yes/No box cannot be closed.
  {
    std::thread closer([&] {
      DetachOnFailure guard{fe};
      std::string err, box;
      ASSERT_TRUE(fe.WaitFor([&](const FrontEndClient& cl) { return FindBox(cl, "Delete user?", &box); }, 10000));
      EXPECT_FALSE(fe.Command("close", {box}, 10000, &err));
      EXPECT_NE(err.find("no Cancel"), std::string::npos) << err;
      EXPECT_TRUE(fe.Command("answer", {box, std::to_string(IDYES)}, 10000, &err)) << err;
      box.clear();
      ASSERT_TRUE(fe.WaitFor([&](const FrontEndClient& cl) { return FindBox(cl, "Save changes?", &box); }, 10000));
      EXPECT_TRUE(fe.Command("close", {box}, 10000, &err)) << err;
    });
    EXPECT_EQ(MessageBox(sink, "Delete user?", "Users", MB_YESNO), IDYES);
    EXPECT_EQ(MessageBox(sink, "Save changes?", "Users", MB_YESNOCANCEL), IDCANCEL);
    closer.join();
  }
  // When the last front end detaches, the policy answers the waiting box.
  {
    auto last = std::make_unique<FrontEndClient>();
    ASSERT_TRUE(last->Attach(getpid(), 10000, &error)) << error;
    fe.Detach();
    std::thread leave([&] {
      std::string box;
      ASSERT_TRUE(last->WaitFor([&](const FrontEndClient& cl) { return FindBox(cl, "Server unreachable", &box); }, 10000));
      last.reset();
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBox(sink, "Server unreachable", "Connect", MB_RETRYCANCEL | MB_DEFBUTTON2), IDCANCEL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Connect: Server unreachable -> 2 (default button)"),
              std::string::npos);
    leave.join();
  }
  ASSERT_TRUE(Shell_NotifyIcon(NIM_DELETE, &nid));
  EXPECT_FALSE(Shell_NotifyIcon(NIM_DELETE, &nid));
  EXPECT_TRUE(DestroyMenu(menu));
  EXPECT_FALSE(DestroyMenu(sub));  // went with its parent
  EXPECT_TRUE(DestroyWindow(sink));
}

}  // namespace
}  // namespace vantrel::win
