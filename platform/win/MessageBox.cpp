#include "platform/win/MessageBox.h"

#include <cstdio>
#include <utility>

#include "platform/base/ThreadAnnotations.h"

namespace vantrel::win {
namespace {

vantrel::Mutex g_mu;
MessageBoxHandler g_handler GUARDED_BY(g_mu);  // empty: the headless default

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
  vantrel::win::MessageBoxHandler handler;
  {
    vantrel::MutexLock lock(vantrel::win::g_mu);
    handler = vantrel::win::g_handler;
  }
  if (handler) return handler(rec);
  int answer = vantrel::win::DefaultButton(type);
  std::fprintf(stderr, "[message box] %s: %s -> %d\n", rec.caption.c_str(), rec.text.c_str(), answer);
  return answer;
}
