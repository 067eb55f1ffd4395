// What each operation answers when the handle it names is no suitable
// object (or, for the operations without an object, the fixed answer they
// give when there is nothing to do). The one table: the dispatch frame
// answers it when a lookup yields none, and the base versions of the object
// operations in CServerClass answer it for an object that passes the kind
// test without having the operation.
#pragma once

#include <cstdint>

#include "platform/base/HResult.h"

namespace vantrel::server {

constexpr HRESULT NotFoundResult(std::uint16_t op) {
  switch (op) {
    case 0:   // DeliverMail
    case 15:  // property operations 15-21
    case 16:
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22:  // message store operations 22-29, 116
    case 23:
    case 24:
    case 25:
    case 26:
    case 27:
    case 28:
    case 29:
    case 73:   // ISTREAM_Clone answers this whatever the handle
    case 115:  // Server_SetProfileGuid with no profile hook
    case 116:
      return MAPI_E_NO_SUPPORT;
    case 1:   // GetNotifyQuere
    case 2:   // FreeHObject
    case 52:  // IMAPITABLE_Abort
    case 101:
    case 102:
    case 113:
    case 114:
    case 117:
      return 0;
    case 6:  // GetBufferSize, ReadBuffer, ReadBufferEx: no such buffer
    case 7:
    case 100:
      return -1;
    case 9:  // Tarnix_AdminLogon
      return MAPI_E_INVALID_WORKSTATION_ACCOUNT;
    case 118:  // GetFolderID
      return MAPI_E_NOT_FOUND;
  }
  // Messages, containers, folders and tables (the copies included).
  if ((op >= 30 && op <= 72) || op == 119 || op == 120) return MAPI_E_OBJECT_DELETED;
  // Sessions (3, 4, 8, 10-12), MAPIPROP_GetLastError and SaveChanges (13,
  // 14), streams, storages and enumerators (74-99), the directory (103-112,
  // 121).
  return 1;
}

template <class Op>
constexpr HRESULT NotFoundResult() {
  return NotFoundResult(Op::kOpnum);
}

}  // namespace vantrel::server
