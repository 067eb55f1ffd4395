#include "platform/win/Dialog.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <utility>
#include <algorithm>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/Controls.h"
#include "platform/win/FrontEnd.h"
#include "platform/win/FrontEndInternal.h"
#include "platform/win/Resources.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {
namespace {

vantrel::Mutex g_mu;

// What the dialog class keeps per dialog beside the window.
struct DialogData {
  DLGPROC proc = nullptr;
  bool modal = false;
  std::atomic<bool> ended{false};
  std::atomic<INT_PTR> result{0};
  // The template's coordinates are dialog units of this font (front ends
  // convert them with its metrics). Set before the window exists.
  std::string fontFace;
  int fontPoints = 0;
  // The controls made from the template: their places are dialog units too.
  std::atomic<bool> building{true};
  std::set<HWND> templateControls GUARDED_BY(g_mu);
};

std::map<HWND, std::shared_ptr<DialogData>>& g_dialogs GUARDED_BY(g_mu) = *new std::map<HWND, std::shared_ptr<DialogData>>;
HCURSOR g_cursor GUARDED_BY(g_mu) = nullptr;

std::shared_ptr<DialogData> FindDialog(HWND h) {
  vantrel::MutexLock lock(g_mu);
  auto it = g_dialogs.find(h);
  return it == g_dialogs.end() ? nullptr : it->second;
}

// Messages whose dialog-procedure result is the window's result itself
// rather than DWLP_MSGRESULT.
bool ReturnsDirectly(UINT msg) {
  return msg == WM_INITDIALOG || (msg >= 0x0132 && msg <= 0x0138) /* WM_CTLCOLOR* */ ||
         msg == 0x0039 /* WM_COMPAREITEM */ || msg == 0x002E /* WM_VKEYTOITEM */ ||
         msg == 0x002F /* WM_CHARTOITEM */ || msg == 0x0037 /* WM_QUERYDRAGICON */;
}

LRESULT CALLBACK DialogClassProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) { return DefDlgProcA(h, msg, wp, lp); }

void RegisterDialogClass() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterControlClasses();
    WNDCLASSA wc{};
    wc.lpfnWndProc = DialogClassProc;
    wc.cbWndExtra = 3 * static_cast<int>(sizeof(void*));  // DWLP_MSGRESULT, DWLP_DLGPROC, DWLP_USER
    wc.lpszClassName = WC_DIALOG;
    RegisterClassA(&wc);
  });
}

// The text of a DIALOGEX resource of `instance` in the thread's language.
bool FindTemplateText(HINSTANCE instance, LPCSTR name, std::string* text) {
  std::string_view bytes;
  if (!FindResourceBytes(instance, RT_DIALOG, name, &bytes)) return false;
  text->assign(bytes);
  return true;
}

HWND CreateFromTemplate(HINSTANCE instance, const DialogTemplate& t, HWND owner, DLGPROC proc, LPARAM param,
                        bool modal, std::shared_ptr<DialogData>* dataOut) {
  RegisterDialogClass();
  EnsureFrontEnds();
  auto data = std::make_shared<DialogData>();
  data->proc = proc;
  data->modal = modal;
  data->fontFace = t.fontName;
  data->fontPoints = t.fontSize;
  DWORD style = t.style & ~WS_VISIBLE;  // shown after WM_INITDIALOG
  if (!(style & WS_CHILD)) style |= WS_POPUP;
  HWND dlg = CreateWindowExA(t.exStyle, WC_DIALOG, t.caption.c_str(), style, t.x, t.y, t.cx, t.cy, owner, nullptr,
                             instance, &data);
  if (!dlg) return nullptr;
  for (const auto& c : t.controls) {
    HWND ctl = CreateWindowExA(c.exStyle, c.className.c_str(), c.text.c_str(), c.style | WS_CHILD, c.x, c.y, c.cx,
                               c.cy, dlg, reinterpret_cast<HMENU>(static_cast<std::intptr_t>(c.id)), instance, nullptr);
    if (!ctl) {
      std::fprintf(stderr, "dialog: cannot create control %d of class %s\n", c.id, c.className.c_str());
      DestroyWindow(dlg);
      return nullptr;
    }
    vantrel::MutexLock lock(g_mu);
    data->templateControls.insert(ctl);
  }
  data->building.store(false);
  HWND focus = nullptr;
  for (const auto& c : t.controls) {
    if ((c.style & WS_TABSTOP) && (c.style & WS_VISIBLE)) {
      focus = GetDlgItem(dlg, c.id);
      break;
    }
  }
  SendMessageA(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), param);
  if (!IsWindow(dlg)) return nullptr;  // the procedure destroyed it
  if ((modal || (t.style & WS_VISIBLE)) && !data->ended.load()) ShowWindow(dlg, SW_SHOW);
  *dataOut = std::move(data);
  return dlg;
}

std::string ResourceName(LPCSTR name) {
  if (IS_INTRESOURCE(name)) return std::to_string(reinterpret_cast<ULONG_PTR>(name));
  return name ? name : "(null)";
}

bool TemplateByName(HINSTANCE instance, LPCSTR name, DialogTemplate* t) {
  std::string text;
  std::string error;
  if (!FindTemplateText(instance, name, &text)) {
    std::fprintf(stderr, "dialog: no dialog resource %s\n", ResourceName(name).c_str());
    return false;
  }
  if (!ParseDialogTemplate(text, t, &error)) {
    std::fprintf(stderr, "dialog: resource %s: %s\n", ResourceName(name).c_str(), error.c_str());
    return false;
  }
  return true;
}

INT_PTR RunModal(HINSTANCE instance, const DialogTemplate& t, HWND owner, DLGPROC proc, LPARAM param) {
  std::shared_ptr<DialogData> data;
  bool ownerEnabled = owner && IsWindowEnabled(owner);
  if (ownerEnabled) EnableWindow(owner, FALSE);
  HWND dlg = CreateFromTemplate(instance, t, owner, proc, param, true, &data);
  if (!dlg) {
    if (ownerEnabled) EnableWindow(owner, TRUE);
    return -1;
  }
  PumpUntil(dlg, [&] { return data->ended.load() || !IsWindow(dlg); });
  INT_PTR result = data->ended.load() ? data->result.load() : 0;
  // The owner is enabled again before the dialog goes, so it is the window
  // that comes back.
  if (ownerEnabled) EnableWindow(owner, TRUE);
  if (IsWindow(dlg)) DestroyWindow(dlg);
  return result;
}

}  // namespace

void RegisterDialogClasses() { RegisterDialogClass(); }

bool TemplateUnits(HWND h, bool* isDialog, std::string* face, int* points) {
  vantrel::MutexLock lock(g_mu);
  auto it = g_dialogs.find(h);
  if (it != g_dialogs.end()) {
    *isDialog = true;
    *face = it->second->fontFace;
    *points = it->second->fontPoints;
    return true;
  }
  it = g_dialogs.find(GetParent(h));
  if (it == g_dialogs.end()) return false;
  *isDialog = false;
  return it->second->building.load() || it->second->templateControls.count(h) != 0;
}

fe::Record CursorRecord() {
  vantrel::MutexLock lock(g_mu);
  bool wait = g_cursor == reinterpret_cast<HCURSOR>(static_cast<std::uintptr_t>(32514));
  return fe::Record{"cursor", "state", "0x0", {{"cursor", wait ? "wait" : "arrow"}}};
}

}  // namespace vantrel::win

using vantrel::win::DialogData;
using vantrel::win::FindDialog;

LRESULT DefDlgProcA(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE || msg == WM_CREATE) {
    auto* cs = reinterpret_cast<const CREATESTRUCTA*>(lp);
    auto* data = cs ? static_cast<std::shared_ptr<DialogData>*>(cs->lpCreateParams) : nullptr;
    if (data && *data && !FindDialog(h)) {
      vantrel::MutexLock lock(vantrel::win::g_mu);
      vantrel::win::g_dialogs[h] = *data;
    }
  }
  auto data = FindDialog(h);
  if (msg == WM_NCDESTROY) {
    vantrel::MutexLock lock(vantrel::win::g_mu);
    vantrel::win::g_dialogs.erase(h);
  }
  if (data && data->proc && msg != WM_NCCREATE) {
    SetWindowLongPtrA(h, DWLP_MSGRESULT, 0);
    INT_PTR r = data->proc(h, msg, wp, lp);
    if (r) return vantrel::win::ReturnsDirectly(msg) ? r : GetWindowLongPtrA(h, DWLP_MSGRESULT);
  }
  switch (msg) {
    case WM_CLOSE: {
      // A dialog's close box is its Cancel button.
      HWND cancel = GetDlgItem(h, IDCANCEL);
      if (cancel && !IsWindowEnabled(cancel)) return 0;
      PostMessageA(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
      return 0;
    }
    case WM_INITDIALOG:
    case WM_COMMAND:
    case WM_NOTIFY:
      return 0;
    default:
      return DefWindowProcA(h, msg, wp, lp);
  }
}

INT_PTR DialogBoxIndirectParamA(HINSTANCE instance, LPCDLGTEMPLATEA tmpl, HWND owner, DLGPROC proc, LPARAM param) {
  if (!tmpl) return -1;
  return vantrel::win::RunModal(instance, *tmpl, owner, proc, param);
}

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param) {
  vantrel::win::DialogTemplate t;
  if (!vantrel::win::TemplateByName(instance, name, &t)) return -1;
  return vantrel::win::RunModal(instance, t, owner, proc, param);
}

HWND CreateDialogIndirectParamA(HINSTANCE instance, LPCDLGTEMPLATEA tmpl, HWND owner, DLGPROC proc, LPARAM param) {
  if (!tmpl) return nullptr;
  std::shared_ptr<DialogData> data;
  return vantrel::win::CreateFromTemplate(instance, *tmpl, owner, proc, param, false, &data);
}

HWND CreateDialogParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param) {
  vantrel::win::DialogTemplate t;
  if (!vantrel::win::TemplateByName(instance, name, &t)) return nullptr;
  std::shared_ptr<DialogData> data;
  return vantrel::win::CreateFromTemplate(instance, t, owner, proc, param, false, &data);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  auto data = FindDialog(dialog);
  if (!data) return FALSE;
  data->result.store(result);
  data->ended.store(true);
  if (data->modal) {
    ShowWindow(dialog, SW_HIDE);
    PostMessageA(dialog, WM_NULL, 0, 0);  // wakes the modal loop when called from another thread
  } else {
    ShowWindow(dialog, SW_HIDE);
  }
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
  for (HWND h : vantrel::win::ProcessWindows()) {
    if (GetParent(h) == dialog && static_cast<int>(GetWindowLongPtrA(h, GWLP_ID)) == id) return h;
  }
  return nullptr;
}

int GetDlgCtrlID(HWND control) { return static_cast<int>(GetWindowLongPtrA(control, GWLP_ID)); }

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size) {
  HWND c = GetDlgItem(dialog, id);
  if (!c) {
    if (buffer && size > 0) buffer[0] = '\0';
    return 0;
  }
  return static_cast<UINT>(std::max(GetWindowTextA(c, buffer, size), 0));
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
  HWND c = GetDlgItem(dialog, id);
  return c ? static_cast<BOOL>(SendMessageA(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text))) : FALSE;
}

UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned) {
  char buf[64];
  if (translated) *translated = FALSE;
  if (!GetDlgItem(dialog, id)) return 0;
  GetDlgItemTextA(dialog, id, buf, sizeof buf);
  const char* p = buf;
  while (*p == ' ') ++p;
  bool neg = false;
  if (isSigned && *p == '-') {
    neg = true;
    ++p;
  }
  if (*p < '0' || *p > '9') return 0;
  unsigned long long v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + static_cast<unsigned>(*p - '0');
    if (v > (isSigned ? 0x80000000ull : 0xFFFFFFFFull)) return 0;  // out of range: not translated
  }
  while (*p == ' ') ++p;
  if (*p) return 0;
  if (isSigned && !neg && v > 0x7FFFFFFFull) return 0;
  if (translated) *translated = TRUE;
  return neg ? static_cast<UINT>(-static_cast<long long>(v)) : static_cast<UINT>(v);
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned) {
  char buf[32];
  if (isSigned) std::snprintf(buf, sizeof buf, "%d", static_cast<int>(value));
  else std::snprintf(buf, sizeof buf, "%u", value);
  return SetDlgItemTextA(dialog, id, buf);
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
  HWND c = GetDlgItem(dialog, id);
  if (!c) return FALSE;
  SendMessageA(c, BM_SETCHECK, check, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
  HWND c = GetDlgItem(dialog, id);
  return c ? static_cast<UINT>(SendMessageA(c, BM_GETCHECK, 0, 0)) : 0;
}

LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam) {
  HWND c = GetDlgItem(dialog, id);
  return c ? SendMessageA(c, msg, wParam, lParam) : 0;
}

BOOL IsDialogMessageA(HWND dialog, LPMSG msg) {
  if (!dialog || !msg || !msg->hwnd) return FALSE;
  if (msg->hwnd != dialog && GetParent(msg->hwnd) != dialog) return FALSE;
  if (msg->message == WM_KEYDOWN && (msg->wParam == 0x1B /* VK_ESCAPE */ || msg->wParam == 0x0D /* VK_RETURN */)) {
    int id = msg->wParam == 0x1B ? IDCANCEL : IDOK;
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
    return TRUE;
  }
  DispatchMessageA(msg);
  return TRUE;
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR name) {
  // The system cursors are their numbers; front ends see the state.
  return reinterpret_cast<HCURSOR>(reinterpret_cast<ULONG_PTR>(name) & 0xFFFF);
}

HCURSOR SetCursor(HCURSOR cursor) {
  HCURSOR old;
  {
    vantrel::MutexLock lock(vantrel::win::g_mu);
    old = std::exchange(vantrel::win::g_cursor, cursor);
  }
  if (old != cursor) vantrel::win::PublishRecord(vantrel::win::CursorRecord());
  return old;
}

HCURSOR GetCursor() {
  vantrel::MutexLock lock(vantrel::win::g_mu);
  return vantrel::win::g_cursor;
}
