// The process side of the front-end protocol (FrontEndProtocol.md): the
// "frontend" channel, the records every attached front end receives, the
// commands it sends, and the prompts (message boxes, tracked menus) that
// wait for a front end's answer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win/FrontEndProtocol.h"
#include "platform/win/WinUser.h"

namespace vantrel::win {

// Registers the "frontend" channel and the window observer (once per
// process; every entry point of the dialog platform calls it).
void EnsureFrontEnds();

// True while at least one front end is attached.
bool FrontEndAttached();

// Sends a record to every attached front end; returns how many.
int PublishRecord(const fe::Record& record);
// Sends the current state of a window (a "changed" record).
void PublishWindow(HWND hwnd);

// The user's session ends (LOGOFF: only the user logs off): every
// top-level window of this process, hidden ones too, gets
// WM_QUERYENDSESSION on its own thread; when all agree each gets
// WM_ENDSESSION(TRUE), when one refuses those asked so far get
// WM_ENDSESSION(FALSE). Returns 1 agreed, 0 refused, -1 when a session end
// is already under way. Blocks while a window asks its user.
int EndSession(bool logoff);

// The same in two steps, for a front end that asks several processes
// before any of them ends. QueryEndSession asks every window: on a refusal
// it tells those asked WM_ENDSESSION(FALSE) and returns 0; when all agree
// it returns 1 and the windows wait for FinishEndSession, which tells them
// the outcome. -1: a session end is already under way. `owner` names who
// asked; FinishEndSession with an owner finishes only that one's agreement
// (a front end that goes away cancels its own), with nullptr any.
int QueryEndSession(bool logoff, const void* owner);
bool FinishEndSession(bool ending, const void* owner);

// What a message-box window shows beyond its title.
struct BoxModel {
  UINT type = 0;
  std::string text;
  std::vector<int> buttons;
};
void SetBoxModel(HWND box, BoxModel model);
void ClearBoxModel(HWND box);

// A prompt waits on the calling thread, dispatching its messages, until a
// front end answers `key` (a box's HWND or a tracked menu's HMENU, as the
// protocol writes them) with one of `valid` (empty: any), or the last front
// end detaches, or the thread's queue receives WM_QUIT (reposted). Returns
// true with the answer, false when nobody answered.
// `show` runs once the prompt can take an answer, before the wait: it
// shows the prompt to the front ends (so none can answer too early).
bool WaitForPrompt(const std::string& key, const std::vector<std::int64_t>& valid, const std::function<void()>& show,
                   std::int64_t* answer);

// Runs the calling thread's message loop until `done` is true or WM_QUIT
// arrives (reposted; returns false). `dialog`, when set, gets the dialog
// keyboard handling of IsDialogMessage.
template <typename Done>
bool PumpUntil(HWND dialog, Done done);

}  // namespace vantrel::win

#include "platform/win/Dialog.h"

template <typename Done>
bool vantrel::win::PumpUntil(HWND dialog, Done done) {
  MSG m;
  while (!done()) {
    BOOL r = GetMessageA(&m, nullptr, 0, 0);
    if (r == 0) {
      PostQuitMessage(static_cast<int>(m.wParam));
      return false;
    }
    if (r < 0) return false;
    if (dialog && IsDialogMessageA(dialog, &m)) continue;
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  return true;
}
