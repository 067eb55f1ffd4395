// The MAPI logon of a shared connection. Every such logon runs on the
// thread that initialised MAPI, the server window's: a remote-call thread
// sends the window WM_USER+3 with its LogonRequest and waits; the window
// performs it with PerformLogon.
#pragma once

#include "platform/mapi/MapiInterfaces.h"
#include "platform/win/WinUser.h"

namespace vantrel::server {

inline constexpr UINT kLogonMessage = 0x403;  // WM_USER+3

// The five-field block of one logon.
struct LogonRequest {
  LPSTR profile = nullptr;
  LPSTR password = nullptr;
  ULONG flags = 0;
  HRESULT result = S_OK;            // out
  LPMAPISESSION session = nullptr;  // out, one reference for the caller
};

// MAPILogonEx(0, profile, password, flags) for `request`, counting
// MAPI_E_FAILONEPROVIDER with a session as success.
void PerformLogon(LogonRequest& request);

// Any thread: has `window` perform `request` (WM_USER+3) and waits for it.
// Without a window, or when the window is gone before it answered, the
// request fails with MAPI_E_NO_SUPPORT and no session.
void SendLogon(HWND window, LogonRequest& request);

}  // namespace vantrel::server
