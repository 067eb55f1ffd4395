#include "platform/win/Controls.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <strings.h>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/CommCtrl.h"
#include "platform/win/Dialog.h"
#include "platform/win/FrontEndInternal.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {
namespace {

// One control's model. The window procedure runs on the control's thread;
// front ends read snapshots from other threads, hence the lock.
struct Control {
  explicit Control(ControlKind k) : kind(k) {}
  const ControlKind kind;
  vantrel::Mutex mu;
  DWORD style GUARDED_BY(mu) = 0;
  UINT check GUARDED_BY(mu) = 0;
  int limit GUARDED_BY(mu) = 0;
  std::vector<std::pair<std::string, LPARAM>> items GUARDED_BY(mu);
  int selected GUARDED_BY(mu) = -1;
  std::vector<ListColumn> columns GUARDED_BY(mu);
  std::vector<ListRow> rows GUARDED_BY(mu);
  DWORD listExStyle GUARDED_BY(mu) = 0;
  // A password edit's text. The window's own title holds only as many
  // '*', so no other thread or process reads the password.
  std::string secret GUARDED_BY(mu);
  std::map<std::uintptr_t, TreeNode> nodes GUARDED_BY(mu);
  std::vector<std::uintptr_t> roots GUARDED_BY(mu);
  std::uintptr_t treeSelection GUARDED_BY(mu) = 0;
  std::uintptr_t nextNode GUARDED_BY(mu) = 1;
  bool dropped GUARDED_BY(mu) = false;  // a combo box's list is open
};

vantrel::Mutex g_mu;
std::map<HWND, std::shared_ptr<Control>>& g_controls GUARDED_BY(g_mu) = *new std::map<HWND, std::shared_ptr<Control>>;

std::shared_ptr<Control> Find(HWND hwnd) {
  vantrel::MutexLock lock(g_mu);
  auto it = g_controls.find(hwnd);
  return it == g_controls.end() ? nullptr : it->second;
}

// Copies `text` into a caller's buffer of `size` chars, NUL-terminated;
// returns the chars copied without the NUL.
int CopyOut(const std::string& text, char* buffer, int size) {
  if (!buffer || size <= 0) return 0;
  int n = std::min(static_cast<int>(text.size()), size - 1);
  std::memcpy(buffer, text.data(), static_cast<size_t>(n));
  buffer[n] = '\0';
  return n;
}

std::string Str(LPARAM p) { return p ? std::string(reinterpret_cast<const char*>(p)) : std::string(); }

int CtrlId(HWND self) { return static_cast<int>(GetWindowLongPtrA(self, GWLP_ID)); }

LRESULT NotifyCommand(HWND self, WORD code) {
  HWND parent = GetParent(self);
  if (!parent) return 0;
  return SendMessageA(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(CtrlId(self)), code),
                      reinterpret_cast<LPARAM>(self));
}

LRESULT Notify(HWND self, NMHDR* hdr, UINT code) {
  HWND parent = GetParent(self);
  if (!parent) return 0;
  hdr->hwndFrom = self;
  hdr->idFrom = static_cast<UINT_PTR>(CtrlId(self));
  hdr->code = code;
  return SendMessageA(parent, WM_NOTIFY, hdr->idFrom, reinterpret_cast<LPARAM>(hdr));
}

// ---- list view --------------------------------------------------------

struct ItemChange {
  int index;
  UINT oldState;
  UINT newState;
  LPARAM param;
};

// Sets the state bits `mask` of row i (every row for -1); a selection in a
// single-selection list clears the others. Returns the rows that changed.
std::vector<ItemChange> SetRowState(Control& c, int i, UINT state, UINT mask) REQUIRES(c.mu) {
  std::vector<ItemChange> changes;
  auto apply = [&](int r, UINT s, UINT m) REQUIRES(c.mu) {
    ListRow& row = c.rows[static_cast<size_t>(r)];
    UINT next = (row.state & ~m) | (s & m);
    if (next != row.state) {
      changes.push_back({r, row.state, next, row.param});
      row.state = next;
    }
  };
  int n = static_cast<int>(c.rows.size());
  if (i == -1) {
    for (int r = 0; r < n; ++r) apply(r, state, mask);
    return changes;
  }
  if (i < 0 || i >= n) return changes;
  bool single = (c.style & LVS_SINGLESEL) != 0;
  if (single && (mask & state & LVIS_SELECTED)) {
    for (int r = 0; r < n; ++r) {
      if (r != i) apply(r, 0, LVIS_SELECTED);
    }
  }
  if (mask & state & LVIS_FOCUSED) {  // one focused row at most
    for (int r = 0; r < n; ++r) {
      if (r != i) apply(r, 0, LVIS_FOCUSED);
    }
  }
  apply(i, state, mask);
  return changes;
}

void SendItemChanges(HWND self, const std::vector<ItemChange>& changes) {
  for (const auto& ch : changes) {
    NMLISTVIEW nm{};
    nm.iItem = ch.index;
    nm.uOldState = ch.oldState;
    nm.uNewState = ch.newState;
    nm.uChanged = LVIF_STATE;
    nm.lParam = ch.param;
    Notify(self, &nm.hdr, LVN_ITEMCHANGED);
  }
}

bool TextMatches(const std::string& text, const char* want, bool partial) {
  if (!want) return false;
  size_t n = std::strlen(want);
  if (partial) return text.size() >= n && strncasecmp(text.c_str(), want, n) == 0;
  return strcasecmp(text.c_str(), want) == 0;
}

LRESULT ListViewMessage(HWND self, Control& c, UINT msg, WPARAM wp, LPARAM lp) {
  std::vector<ItemChange> changes;
  LRESULT result = 0;
  {
    vantrel::MutexLock lock(c.mu);
    int n = static_cast<int>(c.rows.size());
    switch (msg) {
      case LVM_INSERTCOLUMNA: {
        const auto* col = reinterpret_cast<const LVCOLUMNA*>(lp);
        if (!col) return -1;
        int at = std::clamp(static_cast<int>(wp), 0, static_cast<int>(c.columns.size()));
        ListColumn column;
        if ((col->mask & LVCF_TEXT) && col->pszText) column.text = col->pszText;
        if (col->mask & LVCF_WIDTH) column.width = col->cx;
        c.columns.insert(c.columns.begin() + at, std::move(column));
        result = at;
        break;
      }
      case LVM_DELETECOLUMN: {
        if (wp >= c.columns.size()) return FALSE;
        c.columns.erase(c.columns.begin() + static_cast<std::ptrdiff_t>(wp));
        result = TRUE;
        break;
      }
      case LVM_INSERTITEMA: {
        const auto* item = reinterpret_cast<const LVITEMA*>(lp);
        if (!item || item->iSubItem != 0 || item->iItem < 0) return -1;
        ListRow row;
        row.texts.push_back((item->mask & LVIF_TEXT) && item->pszText ? item->pszText : "");
        if (item->mask & LVIF_PARAM) row.param = item->lParam;
        if (item->mask & LVIF_STATE) row.state = item->state & item->stateMask;
        int at = std::min(item->iItem, n);
        if (c.style & (LVS_SORTASCENDING | LVS_SORTDESCENDING)) {
          bool down = (c.style & LVS_SORTDESCENDING) != 0;
          at = 0;
          while (at < n) {
            int cmp = strcasecmp(c.rows[static_cast<size_t>(at)].texts[0].c_str(), row.texts[0].c_str());
            if (down ? cmp < 0 : cmp > 0) break;
            ++at;
          }
        }
        c.rows.insert(c.rows.begin() + at, std::move(row));
        result = at;
        break;
      }
      case LVM_SETITEMA:
      case LVM_SETITEMTEXTA: {
        auto* item = reinterpret_cast<LVITEMA*>(lp);
        if (!item) return FALSE;
        int i = msg == LVM_SETITEMA ? item->iItem : static_cast<int>(wp);
        UINT mask = msg == LVM_SETITEMA ? item->mask : LVIF_TEXT;
        if (i < 0 || i >= n || item->iSubItem < 0 || item->iSubItem > 255) return FALSE;
        ListRow& row = c.rows[static_cast<size_t>(i)];
        if (mask & LVIF_TEXT) {
          if (row.texts.size() <= static_cast<size_t>(item->iSubItem)) row.texts.resize(static_cast<size_t>(item->iSubItem) + 1);
          row.texts[static_cast<size_t>(item->iSubItem)] = item->pszText ? item->pszText : "";
        }
        if (item->iSubItem == 0 && (mask & LVIF_PARAM)) row.param = item->lParam;
        if (item->iSubItem == 0 && (mask & LVIF_STATE)) changes = SetRowState(c, i, item->state, item->stateMask);
        result = TRUE;
        break;
      }
      case LVM_GETITEMA:
      case LVM_GETITEMTEXTA: {
        auto* item = reinterpret_cast<LVITEMA*>(lp);
        if (!item) return msg == LVM_GETITEMA ? FALSE : 0;
        int i = msg == LVM_GETITEMA ? item->iItem : static_cast<int>(wp);
        UINT mask = msg == LVM_GETITEMA ? item->mask : LVIF_TEXT;
        if (i < 0 || i >= n || item->iSubItem < 0) return msg == LVM_GETITEMA ? FALSE : 0;
        const ListRow& row = c.rows[static_cast<size_t>(i)];
        int copied = 0;
        if (mask & LVIF_TEXT) {
          size_t sub = static_cast<size_t>(item->iSubItem);
          copied = CopyOut(sub < row.texts.size() ? row.texts[sub] : std::string(), item->pszText, item->cchTextMax);
        }
        if (msg != LVM_GETITEMA) return copied;
        if (mask & LVIF_PARAM) item->lParam = row.param;
        if (mask & LVIF_STATE) item->state = row.state & item->stateMask;
        return TRUE;
      }
      case LVM_DELETEITEM: {
        int i = static_cast<int>(wp);
        if (i < 0 || i >= n) return FALSE;
        c.rows.erase(c.rows.begin() + i);
        result = TRUE;
        break;
      }
      case LVM_DELETEALLITEMS:
        c.rows.clear();
        result = TRUE;
        break;
      case LVM_GETITEMCOUNT:
        return n;
      case LVM_GETNEXTITEM: {
        int start = static_cast<int>(static_cast<std::intptr_t>(wp));
        UINT flags = LOWORD(static_cast<std::uintptr_t>(lp)) & (LVNI_SELECTED | LVNI_FOCUSED);
        for (int r = std::max(start + 1, 0); r < n; ++r) {
          if ((c.rows[static_cast<size_t>(r)].state & flags) == flags) return r;
        }
        return -1;
      }
      case LVM_SETITEMSTATE: {
        const auto* item = reinterpret_cast<const LVITEMA*>(lp);
        int i = static_cast<int>(static_cast<std::intptr_t>(wp));
        if (!item || i < -1 || i >= n) return FALSE;
        changes = SetRowState(c, i, item->state, item->stateMask);
        result = TRUE;
        break;
      }
      case LVM_GETITEMSTATE: {
        int i = static_cast<int>(wp);
        if (i < 0 || i >= n) return 0;
        return c.rows[static_cast<size_t>(i)].state & static_cast<UINT>(lp);
      }
      case LVM_FINDITEMA: {
        const auto* info = reinterpret_cast<const LVFINDINFOA*>(lp);
        if (!info) return -1;
        int start = static_cast<int>(static_cast<std::intptr_t>(wp));
        for (int r = std::max(start + 1, 0); r < n; ++r) {
          const ListRow& row = c.rows[static_cast<size_t>(r)];
          if ((info->flags & LVFI_PARAM) && row.param == info->lParam) return r;
          if ((info->flags & (LVFI_STRING | LVFI_PARTIAL)) &&
              TextMatches(row.texts[0], info->psz, (info->flags & LVFI_PARTIAL) != 0)) {
            return r;
          }
        }
        return -1;
      }
      case LVM_SETEXTENDEDLISTVIEWSTYLE: {
        DWORD mask = wp ? static_cast<DWORD>(wp) : 0xFFFFFFFFu;
        DWORD old = c.listExStyle;
        c.listExStyle = (old & ~mask) | (static_cast<DWORD>(lp) & mask);
        return old;
      }
      case LVM_GETEXTENDEDLISTVIEWSTYLE:
        return c.listExStyle;
      case ZM_FE_SELECT:
      case ZM_FE_DBLCLK: {
        int i = static_cast<int>(wp);
        if (i < 0 || i >= n) return FALSE;
        // A click selects the row alone and gives it the focus.
        for (int r = 0; r < n; ++r) {
          if (r == i) continue;
          auto more = SetRowState(c, r, 0, LVIS_SELECTED | LVIS_FOCUSED);
          changes.insert(changes.end(), more.begin(), more.end());
        }
        auto more = SetRowState(c, i, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        changes.insert(changes.end(), more.begin(), more.end());
        result = TRUE;
        break;
      }
      default:
        lock.Unlock();  // DefWindowProc raises window events that read this model
        return DefWindowProcA(self, msg, wp, lp);
    }
  }
  SendItemChanges(self, changes);
  if (msg == ZM_FE_DBLCLK) {
    NMITEMACTIVATE nm{};
    nm.iItem = static_cast<int>(wp);
    {
      vantrel::MutexLock lock(c.mu);
      if (wp < c.rows.size()) nm.lParam = c.rows[wp].param;
    }
    Notify(self, &nm.hdr, NM_DBLCLK);
  }
  ControlChanged(self);
  return result;
}

// ---- tree view --------------------------------------------------------

HTREEITEM AsItem(std::uintptr_t h) { return reinterpret_cast<HTREEITEM>(h); }
std::uintptr_t AsHandle(HTREEITEM h) { return reinterpret_cast<std::uintptr_t>(h); }
bool IsRootMark(HTREEITEM h) { return h == nullptr || h == TVI_ROOT; }

std::vector<std::uintptr_t>& Siblings(Control& c, std::uintptr_t parent) REQUIRES(c.mu) {
  return parent ? c.nodes[parent].kids : c.roots;
}

void EraseNode(Control& c, std::uintptr_t h) REQUIRES(c.mu) {
  auto it = c.nodes.find(h);
  if (it == c.nodes.end()) return;
  std::vector<std::uintptr_t> kids = it->second.kids;
  for (auto k : kids) EraseNode(c, k);
  auto& sib = Siblings(c, c.nodes[h].parent);
  sib.erase(std::remove(sib.begin(), sib.end(), h), sib.end());
  if (c.treeSelection == h) c.treeSelection = 0;
  c.nodes.erase(h);
}

void FillItem(const TreeNode& n, TVITEMA* item) {
  item->hItem = AsItem(n.handle);
  item->state = n.state;
  item->lParam = n.param;
  item->cChildren = n.children;
}

LRESULT TreeViewMessage(HWND self, Control& c, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case TVM_INSERTITEMA: {
      const auto* is = reinterpret_cast<const TVINSERTSTRUCTA*>(lp);
      if (!is) return 0;
      {
        vantrel::MutexLock lock(c.mu);
        std::uintptr_t parent = IsRootMark(is->hParent) ? 0 : AsHandle(is->hParent);
        if (parent && !c.nodes.count(parent)) return 0;
        TreeNode node;
        node.handle = c.nextNode++;
        node.parent = parent;
        const TVITEMA& item = is->item;
        if ((item.mask & TVIF_TEXT) && item.pszText) node.text = item.pszText;
        if (item.mask & TVIF_PARAM) node.param = item.lParam;
        if (item.mask & TVIF_STATE) node.state = item.state & item.stateMask;
        if (item.mask & TVIF_CHILDREN) node.children = item.cChildren;
        auto& sib = Siblings(c, parent);
        auto at = sib.end();
        if (is->hInsertAfter == TVI_FIRST) {
          at = sib.begin();
        } else if (is->hInsertAfter == TVI_SORT) {
          at = std::find_if(sib.begin(), sib.end(), [&](std::uintptr_t s) REQUIRES(c.mu) {
            return strcasecmp(c.nodes[s].text.c_str(), node.text.c_str()) > 0;
          });
        } else if (is->hInsertAfter != TVI_LAST && is->hInsertAfter != nullptr) {
          auto after = std::find(sib.begin(), sib.end(), AsHandle(is->hInsertAfter));
          if (after != sib.end()) at = after + 1;
        }
        std::uintptr_t h = node.handle;
        sib.insert(at, h);
        c.nodes[h] = std::move(node);
        lock.Unlock();
        ControlChanged(self);
        return static_cast<LRESULT>(h);
      }
    }
    case TVM_DELETEITEM: {
      {
        vantrel::MutexLock lock(c.mu);
        HTREEITEM item = reinterpret_cast<HTREEITEM>(lp);
        if (IsRootMark(item)) {
          c.nodes.clear();
          c.roots.clear();
          c.treeSelection = 0;
        } else {
          if (!c.nodes.count(AsHandle(item))) return FALSE;
          EraseNode(c, AsHandle(item));
        }
      }
      ControlChanged(self);
      return TRUE;
    }
    case TVM_GETCOUNT: {
      vantrel::MutexLock lock(c.mu);
      return static_cast<LRESULT>(c.nodes.size());
    }
    case TVM_GETNEXTITEM: {
      vantrel::MutexLock lock(c.mu);
      std::uintptr_t h = AsHandle(reinterpret_cast<HTREEITEM>(lp));
      switch (wp) {
        case TVGN_ROOT:
          return c.roots.empty() ? 0 : static_cast<LRESULT>(c.roots.front());
        case TVGN_CARET:
          return static_cast<LRESULT>(c.treeSelection);
        case TVGN_CHILD: {
          if (IsRootMark(reinterpret_cast<HTREEITEM>(lp))) return c.roots.empty() ? 0 : static_cast<LRESULT>(c.roots.front());
          auto it = c.nodes.find(h);
          return it == c.nodes.end() || it->second.kids.empty() ? 0 : static_cast<LRESULT>(it->second.kids.front());
        }
        case TVGN_PARENT: {
          auto it = c.nodes.find(h);
          return it == c.nodes.end() ? 0 : static_cast<LRESULT>(it->second.parent);
        }
        case TVGN_NEXT:
        case TVGN_PREVIOUS: {
          auto it = c.nodes.find(h);
          if (it == c.nodes.end()) return 0;
          auto& sib = Siblings(c, it->second.parent);
          auto pos = std::find(sib.begin(), sib.end(), h);
          if (wp == TVGN_NEXT) return pos + 1 < sib.end() ? static_cast<LRESULT>(*(pos + 1)) : 0;
          return pos != sib.begin() ? static_cast<LRESULT>(*(pos - 1)) : 0;
        }
        default:
          return 0;
      }
    }
    case TVM_GETITEMA: {
      auto* item = reinterpret_cast<TVITEMA*>(lp);
      if (!item) return FALSE;
      vantrel::MutexLock lock(c.mu);
      auto it = c.nodes.find(AsHandle(item->hItem));
      if (it == c.nodes.end()) return FALSE;
      const TreeNode& n = it->second;
      if (item->mask & TVIF_TEXT) CopyOut(n.text, item->pszText, item->cchTextMax);
      if (item->mask & TVIF_PARAM) item->lParam = n.param;
      if (item->mask & TVIF_STATE) item->state = n.state & (item->stateMask ? item->stateMask : 0xFFFFFFFFu);
      if (item->mask & TVIF_CHILDREN) item->cChildren = n.children;
      return TRUE;
    }
    case TVM_SETITEMA: {
      const auto* item = reinterpret_cast<const TVITEMA*>(lp);
      if (!item) return FALSE;
      {
        vantrel::MutexLock lock(c.mu);
        auto it = c.nodes.find(AsHandle(item->hItem));
        if (it == c.nodes.end()) return FALSE;
        TreeNode& n = it->second;
        if (item->mask & TVIF_TEXT) n.text = item->pszText ? item->pszText : "";
        if (item->mask & TVIF_PARAM) n.param = item->lParam;
        if (item->mask & TVIF_STATE) n.state = (n.state & ~item->stateMask) | (item->state & item->stateMask);
        if (item->mask & TVIF_CHILDREN) n.children = item->cChildren;
      }
      ControlChanged(self);
      return TRUE;
    }
    case TVM_EXPAND:
    case ZM_FE_EXPAND: {
      // A person's expansion asks the parent first (TVN_ITEMEXPANDING may
      // refuse it, or insert the children it announced); TVM_EXPAND does not.
      std::uintptr_t h = AsHandle(reinterpret_cast<HTREEITEM>(lp));
      UINT action = msg == ZM_FE_EXPAND ? TVE_EXPAND : static_cast<UINT>(wp) & TVE_TOGGLE;
      NMTREEVIEWA nm{};
      {
        vantrel::MutexLock lock(c.mu);
        auto it = c.nodes.find(h);
        if (it == c.nodes.end() || action == 0) return FALSE;
        if (action == TVE_TOGGLE) action = (it->second.state & TVIS_EXPANDED) ? TVE_COLLAPSE : TVE_EXPAND;
        nm.itemNew.mask = TVIF_HANDLE | TVIF_STATE | TVIF_PARAM | TVIF_CHILDREN;
        FillItem(it->second, &nm.itemNew);
      }
      nm.action = action;
      if (msg == ZM_FE_EXPAND && Notify(self, &nm.hdr, TVN_ITEMEXPANDINGA) != 0) return FALSE;
      {
        vantrel::MutexLock lock(c.mu);
        auto it = c.nodes.find(h);
        if (it == c.nodes.end()) return FALSE;  // the parent deleted it
        if (action == TVE_EXPAND) it->second.state |= TVIS_EXPANDED | TVIS_EXPANDEDONCE;
        else it->second.state &= ~TVIS_EXPANDED;
        FillItem(it->second, &nm.itemNew);
      }
      if (msg == ZM_FE_EXPAND) Notify(self, &nm.hdr, TVN_ITEMEXPANDEDA);
      ControlChanged(self);
      return TRUE;
    }
    case TVM_SELECTITEM:
    case ZM_FE_TVSELECT: {
      if (msg == TVM_SELECTITEM && wp != TVGN_CARET) return FALSE;
      std::uintptr_t h = AsHandle(reinterpret_cast<HTREEITEM>(lp));
      NMTREEVIEWA nm{};
      nm.action = msg == ZM_FE_TVSELECT ? TVC_BYMOUSE : TVC_UNKNOWN;
      {
        vantrel::MutexLock lock(c.mu);
        if (h && !c.nodes.count(h)) return FALSE;
        if (h == c.treeSelection) return TRUE;
        nm.itemOld.mask = nm.itemNew.mask = TVIF_HANDLE | TVIF_STATE | TVIF_PARAM;
        if (c.treeSelection) FillItem(c.nodes[c.treeSelection], &nm.itemOld);
        if (h) FillItem(c.nodes[h], &nm.itemNew);
      }
      if (Notify(self, &nm.hdr, TVN_SELCHANGINGA) != 0) return FALSE;
      {
        vantrel::MutexLock lock(c.mu);
        if (h && !c.nodes.count(h)) return FALSE;
        if (c.treeSelection && c.nodes.count(c.treeSelection)) c.nodes[c.treeSelection].state &= ~TVIS_SELECTED;
        c.treeSelection = h;
        if (h) {
          c.nodes[h].state |= TVIS_SELECTED;
          FillItem(c.nodes[h], &nm.itemNew);
        }
      }
      Notify(self, &nm.hdr, TVN_SELCHANGEDA);
      ControlChanged(self);
      return TRUE;
    }
    default:
      return DefWindowProcA(self, msg, wp, lp);
  }
}

// ---- combo box and list box -------------------------------------------

// A list box answers its LB_ messages as the combo box's list does.
UINT ListBoxToCombo(UINT msg) {
  switch (msg) {
    case LB_ADDSTRING: return CB_ADDSTRING;
    case LB_INSERTSTRING: return CB_INSERTSTRING;
    case LB_DELETESTRING: return CB_DELETESTRING;
    case LB_RESETCONTENT: return CB_RESETCONTENT;
    case LB_SETCURSEL: return CB_SETCURSEL;
    case LB_GETCURSEL: return CB_GETCURSEL;
    case LB_GETTEXT: return CB_GETLBTEXT;
    case LB_GETTEXTLEN: return CB_GETLBTEXTLEN;
    case LB_GETCOUNT: return CB_GETCOUNT;
    case LB_FINDSTRING: return CB_FINDSTRING;
    case LB_GETITEMDATA: return CB_GETITEMDATA;
    case LB_SETITEMDATA: return CB_SETITEMDATA;
    case LB_FINDSTRINGEXACT: return CB_FINDSTRINGEXACT;
    default: return msg >= CB_ADDSTRING && msg <= 0x0164 ? WM_NULL : msg;  // a combo's message is not a list's
  }
}

LRESULT ComboMessage(HWND self, Control& c, UINT msg, WPARAM wp, LPARAM lp) {
  const bool listBox = c.kind == ControlKind::kListBox;
  if (listBox) msg = ListBoxToCombo(msg);
  bool changed = false;
  bool selChange = false;
  WORD dropNotice = 0;      // CBN_DROPDOWN or CBN_CLOSEUP
  std::string pickedText;   // the edit field of a combo box shows the picked item
  bool hasEdit = false;
  LRESULT result = 0;
  {
    vantrel::MutexLock lock(c.mu);
    int n = static_cast<int>(c.items.size());
    int i = static_cast<int>(static_cast<std::intptr_t>(wp));
    hasEdit = !listBox && (c.style & 3) != CBS_DROPDOWNLIST;
    switch (msg) {
      case CB_SHOWDROPDOWN:
        // The list opens as a person's click on the arrow opens it: the
        // parent hears CBN_DROPDOWN first and fills it.
        if ((c.style & 3) == CBS_SIMPLE || c.dropped == (wp != 0)) return TRUE;
        c.dropped = wp != 0;
        dropNotice = c.dropped ? CBN_DROPDOWN : CBN_CLOSEUP;
        result = TRUE;
        break;
      case CB_GETDROPPEDSTATE:
        return c.dropped ? TRUE : FALSE;
      case ZM_FE_SETTEXT: {
        // Typed into the edit field of a combo box.
        std::string text = TakeFrontEndInput(static_cast<std::uint64_t>(wp));
        if (!hasEdit) return FALSE;
        lock.Unlock();
        if (!IsWindowEnabled(self)) return FALSE;
        DefWindowProcA(self, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        NotifyCommand(self, CBN_EDITCHANGE);
        ControlChanged(self);
        return TRUE;
      }
      case CB_ADDSTRING:
      case CB_INSERTSTRING: {
        std::string text = Str(lp);
        int at = n;
        if (msg == CB_INSERTSTRING && i != -1) {
          if (i < 0 || i > n) return CB_ERR;
          at = i;
        } else if (c.style & (listBox ? LBS_SORT : CBS_SORT)) {
          at = 0;
          while (at < n && strcasecmp(c.items[static_cast<size_t>(at)].first.c_str(), text.c_str()) <= 0) ++at;
        }
        c.items.insert(c.items.begin() + at, {std::move(text), 0});
        if (c.selected >= at) ++c.selected;
        changed = true;
        result = at;
        break;
      }
      case CB_DELETESTRING:
        if (i < 0 || i >= n) return CB_ERR;
        c.items.erase(c.items.begin() + i);
        if (c.selected == i) c.selected = -1;
        else if (c.selected > i) --c.selected;
        changed = true;
        result = n - 1;
        break;
      case CB_RESETCONTENT:
        c.items.clear();
        c.selected = -1;
        changed = true;
        result = CB_OKAY;
        break;
      case CB_GETCOUNT:
        return n;
      case CB_GETCURSEL:
        return c.selected;
      case CB_SETCURSEL:
        c.selected = (i >= 0 && i < n) ? i : -1;
        changed = true;
        result = c.selected;  // -1 (CB_ERR) when cleared or out of range
        break;
      case ZM_FE_SELECT:
        if (i < 0 || i >= n) return FALSE;
        selChange = c.selected != i && (!listBox || (c.style & LBS_NOTIFY));
        c.selected = i;
        if (hasEdit) pickedText = c.items[static_cast<size_t>(i)].first;
        changed = true;
        result = TRUE;
        break;
      case CB_GETLBTEXT:
        if (i < 0 || i >= n) return CB_ERR;
        if (!lp) return CB_ERR;
        // The published contract: the buffer holds CB_GETLBTEXTLEN + 1.
        std::memcpy(reinterpret_cast<char*>(lp), c.items[static_cast<size_t>(i)].first.c_str(),
                    c.items[static_cast<size_t>(i)].first.size() + 1);
        return static_cast<LRESULT>(c.items[static_cast<size_t>(i)].first.size());
      case CB_GETLBTEXTLEN:
        if (i < 0 || i >= n) return CB_ERR;
        return static_cast<LRESULT>(c.items[static_cast<size_t>(i)].first.size());
      case CB_SETITEMDATA:
        if (i < 0 || i >= n) return CB_ERR;
        c.items[static_cast<size_t>(i)].second = lp;
        return TRUE;
      case CB_GETITEMDATA:
        if (i < 0 || i >= n) return CB_ERR;
        return c.items[static_cast<size_t>(i)].second;
      case CB_FINDSTRING:
      case CB_FINDSTRINGEXACT: {
        // From the item after `start` round to it; -1 searches all.
        const char* want = reinterpret_cast<const char*>(lp);
        if (n == 0 || !want) return CB_ERR;
        int from = (i < -1 || i >= n) ? 0 : i + 1;
        for (int k = 0; k < n; ++k) {
          int r = (from + k) % n;
          if (TextMatches(c.items[static_cast<size_t>(r)].first, want, msg == CB_FINDSTRING)) return r;
        }
        return CB_ERR;
      }
      case WM_GETTEXT:
      case WM_GETTEXTLENGTH:
        if (c.selected >= 0 && (c.style & 3) == CBS_DROPDOWNLIST) {
          const std::string& t = c.items[static_cast<size_t>(c.selected)].first;
          if (msg == WM_GETTEXTLENGTH) return static_cast<LRESULT>(t.size());
          return CopyOut(t, reinterpret_cast<char*>(lp), static_cast<int>(wp));
        }
        lock.Unlock();
        return DefWindowProcA(self, msg, wp, lp);
      default:
        lock.Unlock();
        return DefWindowProcA(self, msg, wp, lp);
    }
  }
  // CBN_SELCHANGE and LBN_SELCHANGE are one code; a list box tells only with LBS_NOTIFY.
  // As published, the edit field still shows the old text while the parent
  // hears CBN_SELCHANGE; it shows the item afterwards.
  if (selChange) NotifyCommand(self, CBN_SELCHANGE);
  if (hasEdit && msg == ZM_FE_SELECT) DefWindowProcA(self, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(pickedText.c_str()));
  if (dropNotice) NotifyCommand(self, dropNotice);
  if (changed || dropNotice) ControlChanged(self);
  return result;
}

// ---- buttons, edits, statics ------------------------------------------

// An auto radio button that gets checked clears the others of its group
// (the siblings from the one with WS_GROUP up to the next one).
void ClearRadioGroup(HWND self) {
  HWND parent = GetParent(self);
  std::vector<HWND> siblings;
  for (HWND h : ProcessWindows()) {
    if (GetParent(h) == parent) siblings.push_back(h);
  }
  auto me = std::find(siblings.begin(), siblings.end(), self);
  if (me == siblings.end()) return;
  auto isGroupStart = [](HWND h) { return (GetWindowLongPtrA(h, GWL_STYLE) & WS_GROUP) != 0; };
  auto first = me;
  while (first != siblings.begin() && !isGroupStart(*first)) --first;
  for (auto it = first; it != siblings.end(); ++it) {
    if (it != first && isGroupStart(*it)) break;
    ControlKind kind;
    if (*it == self || !ControlKindOf(*it, &kind) || kind != ControlKind::kButton) continue;
    if ((GetWindowLongPtrA(*it, GWL_STYLE) & BS_TYPEMASK) == BS_AUTORADIOBUTTON) {
      SendMessageA(*it, BM_SETCHECK, BST_UNCHECKED, 0);
    }
  }
}

LRESULT ButtonMessage(HWND self, Control& c, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case BM_GETCHECK: {
      vantrel::MutexLock lock(c.mu);
      return c.check;
    }
    case BM_SETCHECK: {
      {
        vantrel::MutexLock lock(c.mu);
        DWORD type = c.style & BS_TYPEMASK;
        if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || type == BS_GROUPBOX) return 0;
        c.check = static_cast<UINT>(wp) & 3;
      }
      ControlChanged(self);
      return 0;
    }
    case BM_CLICK: {
      if (!IsWindowEnabled(self)) return 0;
      bool radio = false;
      {
        vantrel::MutexLock lock(c.mu);
        DWORD type = c.style & BS_TYPEMASK;
        if (type == BS_GROUPBOX) return 0;
        if (type == BS_AUTOCHECKBOX) c.check = c.check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        if (type == BS_AUTORADIOBUTTON) c.check = BST_CHECKED;
        radio = type == BS_AUTORADIOBUTTON;
      }
      if (radio) ClearRadioGroup(self);
      ControlChanged(self);
      NotifyCommand(self, BN_CLICKED);
      return 0;
    }
    default:
      return DefWindowProcA(self, msg, wp, lp);
  }
}

void SetPassword(HWND self, Control& c, const std::string& text) {
  {
    vantrel::MutexLock lock(c.mu);
    c.secret = text;
  }
  std::string masked(text.size(), '*');
  DefWindowProcA(self, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(masked.c_str()));
}

LRESULT EditMessage(HWND self, Control& c, UINT msg, WPARAM wp, LPARAM lp) {
  bool password;
  {
    vantrel::MutexLock lock(c.mu);
    password = (c.style & ES_PASSWORD) != 0;
  }
  if (password && (msg == WM_GETTEXT || msg == WM_GETTEXTLENGTH)) {
    vantrel::MutexLock lock(c.mu);
    if (msg == WM_GETTEXTLENGTH) return static_cast<LRESULT>(c.secret.size());
    return CopyOut(c.secret, reinterpret_cast<char*>(lp), static_cast<int>(wp));
  }
  switch (msg) {
    case EM_LIMITTEXT: {
      vantrel::MutexLock lock(c.mu);
      c.limit = static_cast<int>(wp);
      return 0;
    }
    case EM_GETLIMITTEXT: {
      vantrel::MutexLock lock(c.mu);
      return c.limit ? c.limit : 0x7FFFFFFE;
    }
    case WM_SETTEXT: {
      LRESULT r = TRUE;
      if (password) SetPassword(self, c, Str(lp));
      else r = DefWindowProcA(self, msg, wp, lp);
      NotifyCommand(self, EN_CHANGE);
      return r;
    }
    case ZM_FE_SETTEXT: {
      // Typed text: the limit applies, read-only and disabled edits refuse.
      std::string text = TakeFrontEndInput(static_cast<std::uint64_t>(wp));
      {
        vantrel::MutexLock lock(c.mu);
        if (c.style & ES_READONLY) return FALSE;
        if (c.limit > 0 && text.size() > static_cast<size_t>(c.limit)) text.resize(static_cast<size_t>(c.limit));
        if (c.style & ES_NUMBER) {
          for (char ch : text) {
            if (ch < '0' || ch > '9') return FALSE;
          }
        }
      }
      if (!IsWindowEnabled(self)) return FALSE;
      if (password) SetPassword(self, c, text);
      else DefWindowProcA(self, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
      NotifyCommand(self, EN_CHANGE);
      return TRUE;
    }
    default:
      return DefWindowProcA(self, msg, wp, lp);
  }
}

LRESULT CALLBACK ControlProc(HWND self, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE || msg == WM_CREATE) {
    if (msg == WM_CREATE) {
      char cls[64] = {0};
      GetClassNameA(self, cls, sizeof cls);
      std::string name = cls;
      ControlKind kind = ControlKind::kStatic;
      if (strcasecmp(cls, "Edit") == 0) kind = ControlKind::kEdit;
      else if (strcasecmp(cls, "Button") == 0) kind = ControlKind::kButton;
      else if (strcasecmp(cls, "ComboBox") == 0) kind = ControlKind::kComboBox;
      else if (strcasecmp(cls, "ListBox") == 0) kind = ControlKind::kListBox;
      else if (strcasecmp(cls, WC_LISTVIEWA) == 0) kind = ControlKind::kListView;
      else if (strcasecmp(cls, WC_TREEVIEWA) == 0) kind = ControlKind::kTreeView;
      auto control = std::make_shared<Control>(kind);
      {
        vantrel::MutexLock lock(control->mu);
        control->style = static_cast<DWORD>(reinterpret_cast<const CREATESTRUCTA*>(lp)->style);
      }
      auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lp);
      bool password = kind == ControlKind::kEdit && (cs->style & ES_PASSWORD);
      {
        vantrel::MutexLock lock(g_mu);
        g_controls[self] = control;
      }
      if (password) SetPassword(self, *control, cs->lpszName ? cs->lpszName : "");
    }
    return DefWindowProcA(self, msg, wp, lp);
  }
  if (msg == WM_NCDESTROY) {
    {
      vantrel::MutexLock lock(g_mu);
      g_controls.erase(self);
    }
    return DefWindowProcA(self, msg, wp, lp);
  }
  auto control = Find(self);
  if (!control) return DefWindowProcA(self, msg, wp, lp);
  switch (control->kind) {
    case ControlKind::kListView:
      return ListViewMessage(self, *control, msg, wp, lp);
    case ControlKind::kTreeView:
      return TreeViewMessage(self, *control, msg, wp, lp);
    case ControlKind::kComboBox:
    case ControlKind::kListBox:
      return ComboMessage(self, *control, msg, wp, lp);
    case ControlKind::kButton:
      return ButtonMessage(self, *control, msg, wp, lp);
    case ControlKind::kEdit:
      return EditMessage(self, *control, msg, wp, lp);
    case ControlKind::kStatic:
      break;
  }
  return DefWindowProcA(self, msg, wp, lp);
}

void DepthFirst(Control& c, const std::vector<std::uintptr_t>& level, std::vector<TreeNode>* out) REQUIRES(c.mu) {
  for (auto h : level) {
    const TreeNode& n = c.nodes[h];
    out->push_back(n);
    DepthFirst(c, n.kids, out);
  }
}

}  // namespace

void RegisterControlClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const char* name : {"Static", "Edit", "Button", "ComboBox", "ListBox", WC_LISTVIEWA, WC_TREEVIEWA}) {
      WNDCLASSA wc{};
      wc.lpfnWndProc = ControlProc;
      wc.lpszClassName = name;
      RegisterClassA(&wc);
    }
  });
}

bool ControlKindOf(HWND hwnd, ControlKind* kind) {
  auto c = Find(hwnd);
  if (!c) return false;
  *kind = c->kind;
  return true;
}

bool SnapshotControl(HWND hwnd, ControlSnapshot* out) {
  auto c = Find(hwnd);
  if (!c) return false;
  ControlSnapshot s;
  s.kind = c->kind;
  {
    vantrel::MutexLock lock(c->mu);
    s.style = c->style;
    s.check = c->check;
    s.limit = c->limit;
    for (const auto& item : c->items) s.items.push_back(item.first);
    s.selected = c->selected;
    s.columns = c->columns;
    s.rows = c->rows;
    DepthFirst(*c, c->roots, &s.tree);
    s.treeSelection = c->treeSelection;
  }
  int len = GetWindowTextLengthA(hwnd);
  std::string text(static_cast<size_t>(std::max(len, 0)) + 1, '\0');
  text.resize(static_cast<size_t>(std::max(GetWindowTextA(hwnd, text.data(), len + 1), 0)));
  if (s.kind == ControlKind::kEdit && (s.style & ES_PASSWORD)) text.assign(text.size(), '*');
  s.text = std::move(text);
  out->kind = s.kind;
  *out = std::move(s);
  return true;
}

}  // namespace vantrel::win
