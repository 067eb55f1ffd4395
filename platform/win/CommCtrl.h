// The common controls a dialog of this platform holds: list view and tree
// view (published names, values and structures), with the inline helpers
// system code calls (ListView_InsertItem, TreeView_GetSelection ...). The
// button, edit, static and combo box values live in Dialog.h.
#pragma once

#include "platform/win/Dialog.h"

inline constexpr const char* WC_LISTVIEWA = "SysListView32";
inline constexpr const char* WC_TREEVIEWA = "SysTreeView32";
#define WC_LISTVIEW WC_LISTVIEWA
#define WC_TREEVIEW WC_TREEVIEWA

struct NMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
};
using LPNMHDR = NMHDR*;

// Notification codes (negative numbers as UINT).
inline constexpr UINT NM_FIRST = 0U - 0U;
inline constexpr UINT NM_CLICK = NM_FIRST - 2;
inline constexpr UINT NM_DBLCLK = NM_FIRST - 3;
inline constexpr UINT NM_RCLICK = NM_FIRST - 5;
inline constexpr UINT LVN_FIRST = 0U - 100U;
inline constexpr UINT LVN_ITEMCHANGING = LVN_FIRST - 0;
inline constexpr UINT LVN_ITEMCHANGED = LVN_FIRST - 1;
inline constexpr UINT TVN_FIRST = 0U - 400U;
inline constexpr UINT TVN_SELCHANGINGA = TVN_FIRST - 1;
inline constexpr UINT TVN_SELCHANGEDA = TVN_FIRST - 2;
inline constexpr UINT TVN_ITEMEXPANDINGA = TVN_FIRST - 5;
inline constexpr UINT TVN_ITEMEXPANDEDA = TVN_FIRST - 6;
#define TVN_SELCHANGING TVN_SELCHANGINGA
#define TVN_SELCHANGED TVN_SELCHANGEDA
#define TVN_ITEMEXPANDING TVN_ITEMEXPANDINGA
#define TVN_ITEMEXPANDED TVN_ITEMEXPANDEDA

// List view.
inline constexpr DWORD LVS_ICON = 0x0000;
inline constexpr DWORD LVS_REPORT = 0x0001;
inline constexpr DWORD LVS_SMALLICON = 0x0002;
inline constexpr DWORD LVS_LIST = 0x0003;
inline constexpr DWORD LVS_TYPEMASK = 0x0003;
inline constexpr DWORD LVS_SINGLESEL = 0x0004;
inline constexpr DWORD LVS_SHOWSELALWAYS = 0x0008;
inline constexpr DWORD LVS_SORTASCENDING = 0x0010;
inline constexpr DWORD LVS_SORTDESCENDING = 0x0020;
inline constexpr DWORD LVS_NOCOLUMNHEADER = 0x4000;
inline constexpr DWORD LVS_NOSORTHEADER = 0x8000;

inline constexpr DWORD LVS_EX_GRIDLINES = 0x0001;
inline constexpr DWORD LVS_EX_CHECKBOXES = 0x0004;
inline constexpr DWORD LVS_EX_FULLROWSELECT = 0x0020;

inline constexpr UINT LVM_FIRST = 0x1000;
inline constexpr UINT LVM_GETITEMCOUNT = LVM_FIRST + 4;
inline constexpr UINT LVM_GETITEMA = LVM_FIRST + 5;
inline constexpr UINT LVM_SETITEMA = LVM_FIRST + 6;
inline constexpr UINT LVM_INSERTITEMA = LVM_FIRST + 7;
inline constexpr UINT LVM_DELETEITEM = LVM_FIRST + 8;
inline constexpr UINT LVM_DELETEALLITEMS = LVM_FIRST + 9;
inline constexpr UINT LVM_GETNEXTITEM = LVM_FIRST + 12;
inline constexpr UINT LVM_FINDITEMA = LVM_FIRST + 13;
inline constexpr UINT LVM_GETCOLUMNA = LVM_FIRST + 25;
inline constexpr UINT LVM_INSERTCOLUMNA = LVM_FIRST + 27;
inline constexpr UINT LVM_DELETECOLUMN = LVM_FIRST + 28;
inline constexpr UINT LVM_SETITEMSTATE = LVM_FIRST + 43;
inline constexpr UINT LVM_GETITEMSTATE = LVM_FIRST + 44;
inline constexpr UINT LVM_GETITEMTEXTA = LVM_FIRST + 45;
inline constexpr UINT LVM_SETITEMTEXTA = LVM_FIRST + 46;
inline constexpr UINT LVM_SETEXTENDEDLISTVIEWSTYLE = LVM_FIRST + 54;
inline constexpr UINT LVM_GETEXTENDEDLISTVIEWSTYLE = LVM_FIRST + 55;
#define LVM_GETITEM LVM_GETITEMA
#define LVM_SETITEM LVM_SETITEMA
#define LVM_INSERTITEM LVM_INSERTITEMA
#define LVM_FINDITEM LVM_FINDITEMA
#define LVM_GETCOLUMN LVM_GETCOLUMNA
#define LVM_INSERTCOLUMN LVM_INSERTCOLUMNA
#define LVM_GETITEMTEXT LVM_GETITEMTEXTA
#define LVM_SETITEMTEXT LVM_SETITEMTEXTA

inline constexpr UINT LVCF_FMT = 0x0001;
inline constexpr UINT LVCF_WIDTH = 0x0002;
inline constexpr UINT LVCF_TEXT = 0x0004;
inline constexpr UINT LVCF_SUBITEM = 0x0008;
inline constexpr int LVCFMT_LEFT = 0x0000;
inline constexpr int LVCFMT_RIGHT = 0x0001;
inline constexpr int LVCFMT_CENTER = 0x0002;

inline constexpr UINT LVIF_TEXT = 0x0001;
inline constexpr UINT LVIF_IMAGE = 0x0002;
inline constexpr UINT LVIF_PARAM = 0x0004;
inline constexpr UINT LVIF_STATE = 0x0008;

inline constexpr UINT LVIS_FOCUSED = 0x0001;
inline constexpr UINT LVIS_SELECTED = 0x0002;
inline constexpr UINT LVIS_CUT = 0x0004;
inline constexpr UINT LVIS_DROPHILITED = 0x0008;
inline constexpr UINT LVIS_STATEIMAGEMASK = 0xF000;

inline constexpr UINT LVNI_ALL = 0x0000;
inline constexpr UINT LVNI_FOCUSED = 0x0001;
inline constexpr UINT LVNI_SELECTED = 0x0002;

inline constexpr UINT LVFI_PARAM = 0x0001;
inline constexpr UINT LVFI_STRING = 0x0002;
inline constexpr UINT LVFI_PARTIAL = 0x0008;

struct LVCOLUMNA {
  UINT mask;
  int fmt;
  int cx;
  LPSTR pszText;
  int cchTextMax;
  int iSubItem;
  int iImage;
  int iOrder;
  int cxMin;
  int cxDefault;
  int cxIdeal;
};
using LVCOLUMN = LVCOLUMNA;
using LPLVCOLUMN = LVCOLUMNA*;

struct LVITEMA {
  UINT mask;
  int iItem;
  int iSubItem;
  UINT state;
  UINT stateMask;
  LPSTR pszText;
  int cchTextMax;
  int iImage;
  LPARAM lParam;
  int iIndent;
  int iGroupId;
  UINT cColumns;
  UINT* puColumns;
  int* piColFmt;
  int iGroup;
};
using LVITEM = LVITEMA;
using LPLVITEM = LVITEMA*;

struct LVFINDINFOA {
  UINT flags;
  LPCSTR psz;
  LPARAM lParam;
  POINT pt;
  UINT vkDirection;
};
using LVFINDINFO = LVFINDINFOA;

struct NMLISTVIEW {
  NMHDR hdr;
  int iItem;
  int iSubItem;
  UINT uNewState;
  UINT uOldState;
  UINT uChanged;
  POINT ptAction;
  LPARAM lParam;
};
using LPNMLISTVIEW = NMLISTVIEW*;

struct NMITEMACTIVATE {
  NMHDR hdr;
  int iItem;
  int iSubItem;
  UINT uNewState;
  UINT uOldState;
  UINT uChanged;
  POINT ptAction;
  LPARAM lParam;
  UINT uKeyFlags;
};
using LPNMITEMACTIVATE = NMITEMACTIVATE*;

// Tree view.
inline constexpr DWORD TVS_HASBUTTONS = 0x0001;
inline constexpr DWORD TVS_HASLINES = 0x0002;
inline constexpr DWORD TVS_LINESATROOT = 0x0004;
inline constexpr DWORD TVS_EDITLABELS = 0x0008;
inline constexpr DWORD TVS_DISABLEDRAGDROP = 0x0010;
inline constexpr DWORD TVS_SHOWSELALWAYS = 0x0020;

inline constexpr UINT TV_FIRST = 0x1100;
inline constexpr UINT TVM_INSERTITEMA = TV_FIRST + 0;
inline constexpr UINT TVM_DELETEITEM = TV_FIRST + 1;
inline constexpr UINT TVM_EXPAND = TV_FIRST + 2;
inline constexpr UINT TVM_GETCOUNT = TV_FIRST + 5;
inline constexpr UINT TVM_GETNEXTITEM = TV_FIRST + 10;
inline constexpr UINT TVM_SELECTITEM = TV_FIRST + 11;
inline constexpr UINT TVM_GETITEMA = TV_FIRST + 12;
inline constexpr UINT TVM_SETITEMA = TV_FIRST + 13;
#define TVM_INSERTITEM TVM_INSERTITEMA
#define TVM_GETITEM TVM_GETITEMA
#define TVM_SETITEM TVM_SETITEMA

struct _TREEITEM;
using HTREEITEM = _TREEITEM*;
inline HTREEITEM const TVI_ROOT = reinterpret_cast<HTREEITEM>(static_cast<std::intptr_t>(-0x10000));
inline HTREEITEM const TVI_FIRST = reinterpret_cast<HTREEITEM>(static_cast<std::intptr_t>(-0x0FFFF));
inline HTREEITEM const TVI_LAST = reinterpret_cast<HTREEITEM>(static_cast<std::intptr_t>(-0x0FFFE));
inline HTREEITEM const TVI_SORT = reinterpret_cast<HTREEITEM>(static_cast<std::intptr_t>(-0x0FFFD));

inline constexpr UINT TVIF_TEXT = 0x0001;
inline constexpr UINT TVIF_IMAGE = 0x0002;
inline constexpr UINT TVIF_PARAM = 0x0004;
inline constexpr UINT TVIF_STATE = 0x0008;
inline constexpr UINT TVIF_HANDLE = 0x0010;
inline constexpr UINT TVIF_SELECTEDIMAGE = 0x0020;
inline constexpr UINT TVIF_CHILDREN = 0x0040;

inline constexpr UINT TVIS_SELECTED = 0x0002;
inline constexpr UINT TVIS_BOLD = 0x0010;
inline constexpr UINT TVIS_EXPANDED = 0x0020;
inline constexpr UINT TVIS_EXPANDEDONCE = 0x0040;

inline constexpr UINT TVE_COLLAPSE = 0x0001;
inline constexpr UINT TVE_EXPAND = 0x0002;
inline constexpr UINT TVE_TOGGLE = 0x0003;

inline constexpr UINT TVGN_ROOT = 0;
inline constexpr UINT TVGN_NEXT = 1;
inline constexpr UINT TVGN_PREVIOUS = 2;
inline constexpr UINT TVGN_PARENT = 3;
inline constexpr UINT TVGN_CHILD = 4;
inline constexpr UINT TVGN_CARET = 9;

inline constexpr UINT TVC_UNKNOWN = 0x00;
inline constexpr UINT TVC_BYMOUSE = 0x01;

inline constexpr int I_CHILDRENCALLBACK = -1;

struct TVITEMA {
  UINT mask;
  HTREEITEM hItem;
  UINT state;
  UINT stateMask;
  LPSTR pszText;
  int cchTextMax;
  int iImage;
  int iSelectedImage;
  int cChildren;
  LPARAM lParam;
};
using TVITEM = TVITEMA;
using LPTVITEM = TVITEMA*;

struct TVINSERTSTRUCTA {
  HTREEITEM hParent;
  HTREEITEM hInsertAfter;
  TVITEMA item;
};
using TVINSERTSTRUCT = TVINSERTSTRUCTA;
using LPTVINSERTSTRUCT = TVINSERTSTRUCTA*;

struct NMTREEVIEWA {
  NMHDR hdr;
  UINT action;
  TVITEMA itemOld;
  TVITEMA itemNew;
  POINT ptDrag;
};
using NMTREEVIEW = NMTREEVIEWA;
using LPNMTREEVIEW = NMTREEVIEWA*;

// The helpers system code calls.
inline int ListView_InsertColumn(HWND h, int i, const LVCOLUMNA* c) {
  return static_cast<int>(SendMessageA(h, LVM_INSERTCOLUMNA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(c)));
}
inline int ListView_InsertItem(HWND h, const LVITEMA* item) {
  return static_cast<int>(SendMessageA(h, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(item)));
}
inline BOOL ListView_SetItem(HWND h, const LVITEMA* item) {
  return static_cast<BOOL>(SendMessageA(h, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(item)));
}
inline BOOL ListView_GetItem(HWND h, LVITEMA* item) {
  return static_cast<BOOL>(SendMessageA(h, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(item)));
}
inline void ListView_SetItemText(HWND h, int i, int sub, LPSTR text) {
  LVITEMA item{};
  item.iSubItem = sub;
  item.pszText = text;
  SendMessageA(h, LVM_SETITEMTEXTA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
}
inline int ListView_GetItemText(HWND h, int i, int sub, LPSTR buffer, int size) {
  LVITEMA item{};
  item.iSubItem = sub;
  item.pszText = buffer;
  item.cchTextMax = size;
  return static_cast<int>(SendMessageA(h, LVM_GETITEMTEXTA, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item)));
}
inline BOOL ListView_DeleteItem(HWND h, int i) {
  return static_cast<BOOL>(SendMessageA(h, LVM_DELETEITEM, static_cast<WPARAM>(i), 0));
}
inline BOOL ListView_DeleteAllItems(HWND h) { return static_cast<BOOL>(SendMessageA(h, LVM_DELETEALLITEMS, 0, 0)); }
inline int ListView_GetItemCount(HWND h) { return static_cast<int>(SendMessageA(h, LVM_GETITEMCOUNT, 0, 0)); }
inline int ListView_GetNextItem(HWND h, int start, UINT flags) {
  return static_cast<int>(SendMessageA(h, LVM_GETNEXTITEM, static_cast<WPARAM>(start), MAKELPARAM(static_cast<WORD>(flags), 0)));
}
inline int ListView_GetSelectionMark(HWND h) { return ListView_GetNextItem(h, -1, LVNI_SELECTED); }
inline void ListView_SetItemState(HWND h, int i, UINT state, UINT mask) {
  LVITEMA item{};
  item.state = state;
  item.stateMask = mask;
  SendMessageA(h, LVM_SETITEMSTATE, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
}
inline UINT ListView_GetItemState(HWND h, int i, UINT mask) {
  return static_cast<UINT>(SendMessageA(h, LVM_GETITEMSTATE, static_cast<WPARAM>(i), static_cast<LPARAM>(mask)));
}
inline int ListView_FindItem(HWND h, int start, const LVFINDINFOA* info) {
  return static_cast<int>(SendMessageA(h, LVM_FINDITEMA, static_cast<WPARAM>(start), reinterpret_cast<LPARAM>(info)));
}
inline DWORD ListView_SetExtendedListViewStyle(HWND h, DWORD style) {
  return static_cast<DWORD>(SendMessageA(h, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, static_cast<LPARAM>(style)));
}

inline HTREEITEM TreeView_InsertItem(HWND h, const TVINSERTSTRUCTA* is) {
  return reinterpret_cast<HTREEITEM>(SendMessageA(h, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(is)));
}
inline BOOL TreeView_DeleteItem(HWND h, HTREEITEM item) {
  return static_cast<BOOL>(SendMessageA(h, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(item)));
}
inline BOOL TreeView_DeleteAllItems(HWND h) { return TreeView_DeleteItem(h, TVI_ROOT); }
inline BOOL TreeView_Expand(HWND h, HTREEITEM item, UINT code) {
  return static_cast<BOOL>(SendMessageA(h, TVM_EXPAND, code, reinterpret_cast<LPARAM>(item)));
}
inline HTREEITEM TreeView_GetNextItem(HWND h, HTREEITEM item, UINT code) {
  return reinterpret_cast<HTREEITEM>(SendMessageA(h, TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
}
inline HTREEITEM TreeView_GetRoot(HWND h) { return TreeView_GetNextItem(h, nullptr, TVGN_ROOT); }
inline HTREEITEM TreeView_GetChild(HWND h, HTREEITEM item) { return TreeView_GetNextItem(h, item, TVGN_CHILD); }
inline HTREEITEM TreeView_GetNextSibling(HWND h, HTREEITEM item) { return TreeView_GetNextItem(h, item, TVGN_NEXT); }
inline HTREEITEM TreeView_GetParent(HWND h, HTREEITEM item) { return TreeView_GetNextItem(h, item, TVGN_PARENT); }
inline HTREEITEM TreeView_GetSelection(HWND h) { return TreeView_GetNextItem(h, nullptr, TVGN_CARET); }
inline BOOL TreeView_Select(HWND h, HTREEITEM item, UINT code) {
  return static_cast<BOOL>(SendMessageA(h, TVM_SELECTITEM, code, reinterpret_cast<LPARAM>(item)));
}
inline BOOL TreeView_SelectItem(HWND h, HTREEITEM item) { return TreeView_Select(h, item, TVGN_CARET); }
inline BOOL TreeView_GetItem(HWND h, TVITEMA* item) {
  return static_cast<BOOL>(SendMessageA(h, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(item)));
}
inline BOOL TreeView_SetItem(HWND h, const TVITEMA* item) {
  return static_cast<BOOL>(SendMessageA(h, TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(item)));
}
inline UINT TreeView_GetCount(HWND h) { return static_cast<UINT>(SendMessageA(h, TVM_GETCOUNT, 0, 0)); }
