// The platform's control classes ("Static", "Edit", "Button", "ComboBox",
// "ListBox", "SysListView32", "SysTreeView32"): each control window keeps a
// model of its state, answers the published messages from it and tells its
// parent what changed (WM_COMMAND, WM_NOTIFY) after the model's lock is
// released. Front ends read the models as snapshots.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win/WinUser.h"

namespace vantrel::win {

enum class ControlKind { kStatic, kEdit, kButton, kComboBox, kListBox, kListView, kTreeView };

struct ListColumn {
  std::string text;
  int width = 0;
};

struct ListRow {
  std::vector<std::string> texts;  // [0] the item, then its subitems
  UINT state = 0;                  // LVIS_*
  LPARAM param = 0;
};

struct TreeNode {
  std::uintptr_t handle = 0;
  std::uintptr_t parent = 0;  // 0: a root item
  std::string text;
  LPARAM param = 0;
  int children = 0;  // cChildren: 1 shows a mark before the children are inserted
  UINT state = 0;    // TVIS_*
  std::vector<std::uintptr_t> kids;
};

// What a front end shows of a control.
struct ControlSnapshot {
  ControlKind kind = ControlKind::kStatic;
  DWORD style = 0;
  std::string text;       // a password edit's text is masked
  UINT check = 0;         // buttons
  int limit = 0;          // edits: 0 = none
  std::vector<std::string> items;  // combo and list box
  int selected = -1;               // combo and list box
  std::vector<ListColumn> columns;
  std::vector<ListRow> rows;
  std::vector<TreeNode> tree;  // in display order (depth first)
  std::uintptr_t treeSelection = 0;
};

// Registers the control classes (once per process; later calls do nothing).
void RegisterControlClasses();

// The kind of a control window, false for a window that is not one.
bool ControlKindOf(HWND hwnd, ControlKind* kind);
// The state of a control window, false for a window that is not one.
bool SnapshotControl(HWND hwnd, ControlSnapshot* out);

// Input from a front end, sent to the control so it runs on the control's
// thread and reaches the parent as the notification a person's action
// gives (BM_CLICK for a click). Private to the platform's classes.
inline constexpr UINT ZM_FE_SETTEXT = WM_USER + 0x3F00;   // wParam: an input token; EN_CHANGE
inline constexpr UINT ZM_FE_SELECT = WM_USER + 0x3F01;    // wParam: index; CBN_SELCHANGE / LVN_ITEMCHANGED
inline constexpr UINT ZM_FE_DBLCLK = WM_USER + 0x3F02;    // wParam: index; NM_DBLCLK
inline constexpr UINT ZM_FE_EXPAND = WM_USER + 0x3F03;    // lParam: item; TVN_ITEMEXPANDING
inline constexpr UINT ZM_FE_TVSELECT = WM_USER + 0x3F04;  // lParam: item; TVN_SELCHANGED

// Called when a model changed outside the window's own events (items,
// check state, selection): front ends refresh the window.
void ControlChanged(HWND hwnd);

}  // namespace vantrel::win
