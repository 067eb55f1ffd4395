#include "server/sessions/LogonService.h"

#include "platform/mapi/MapiSession.h"

namespace vantrel::server {

void PerformLogon(LogonRequest& request) {
  request.session = nullptr;
  request.result = MAPILogonEx(0, request.profile, request.password, request.flags, &request.session);
  if (request.result == MAPI_E_FAILONEPROVIDER && request.session) request.result = S_OK;
}

void SendLogon(HWND window, LogonRequest& request) {
  // A send that reaches no window procedure leaves the block as it is.
  request.session = nullptr;
  request.result = MAPI_E_NO_SUPPORT;
  if (window) SendMessageA(window, kLogonMessage, 0, reinterpret_cast<LPARAM>(&request));
}

}  // namespace vantrel::server
