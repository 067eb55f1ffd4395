#include "platform/win/MessageBox.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/Dialog.h"
#include "platform/win/FrontEnd.h"
#include "platform/win/FrontEndInternal.h"

namespace vantrel::win {
namespace {

vantrel::Mutex g_mu;
MessageBoxHandler g_handler GUARDED_BY(g_mu);  // empty: the headless default

// The buttons of each MB_ type, in order.
const std::vector<int>& Buttons(UINT type) {
  static const std::vector<int> kButtons[] = {
      {IDOK}, {IDOK, IDCANCEL}, {IDABORT, IDRETRY, IDIGNORE}, {IDYES, IDNO, IDCANCEL}, {IDYES, IDNO}, {IDRETRY, IDCANCEL},
  };
  UINT kind = type & 0xF;
  return kButtons[kind > 5 ? 0 : kind];
}

void Log(const MessageBoxRecord& rec, int answer, const char* by) {
  std::fprintf(stderr, "[message box] %s: %s -> %d (%s)\n", rec.caption.c_str(), rec.text.c_str(), answer, by);
}

// Shows the box to the attached front ends as a window and waits for one
// to answer; false when none did (none attached, or all detached).
bool AskFrontEnds(const MessageBoxRecord& rec, int* answer) {
  if (!FrontEndAttached()) return false;
  RegisterDialogClasses();
  HWND box = CreateWindowExA(0, WC_DIALOG, rec.caption.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 0, 0,
                             rec.owner, nullptr, nullptr, nullptr);
  if (!box) return false;
  bool ownerEnabled = rec.owner && IsWindowEnabled(rec.owner);
  if (ownerEnabled) EnableWindow(rec.owner, FALSE);
  const std::vector<int>& buttons = Buttons(rec.type);
  std::int64_t picked = 0;
  bool answered = WaitForPrompt(
      "box:" + fe::Hex(reinterpret_cast<std::uintptr_t>(box)), std::vector<std::int64_t>(buttons.begin(), buttons.end()),
      [&] {
        SetBoxModel(box, BoxModel{rec.type, rec.text, buttons});
        ShowWindow(box, SW_SHOW);
      },
      &picked);
  if (ownerEnabled) EnableWindow(rec.owner, TRUE);
  ClearBoxModel(box);
  DestroyWindow(box);
  if (answered) *answer = static_cast<int>(picked);
  return answered;
}

}  // namespace

int DefaultButton(UINT type) {
  static const int kButtons[][3] = {
      {IDOK, IDOK, IDOK},      {IDOK, IDCANCEL, IDCANCEL}, {IDABORT, IDRETRY, IDIGNORE},
      {IDYES, IDNO, IDCANCEL}, {IDYES, IDNO, IDNO},        {IDRETRY, IDCANCEL, IDCANCEL},
  };
  UINT kind = type & 0xF;
  if (kind > 5) kind = 0;
  UINT def = (type >> 8) & 0xF;
  if (def > 2) def = 0;
  return kButtons[kind][def];
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  MutexLock lock(g_mu);
  return std::exchange(g_handler, std::move(handler));
}

}  // namespace vantrel::win

int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  vantrel::win::MessageBoxRecord rec{owner, text ? text : "", caption ? caption : "", type};
  vantrel::win::EnsureFrontEnds();
  int answer = 0;
  if (vantrel::win::AskFrontEnds(rec, &answer)) {
    vantrel::win::Log(rec, answer, "front end");
    return answer;
  }
  vantrel::win::MessageBoxHandler handler;
  {
    vantrel::MutexLock lock(vantrel::win::g_mu);
    handler = vantrel::win::g_handler;
  }
  if (handler) {
    answer = handler(rec);
    vantrel::win::Log(rec, answer, "handler");
    return answer;
  }
  answer = vantrel::win::DefaultButton(type);
  vantrel::win::Log(rec, answer, "default button");
  return answer;
}
