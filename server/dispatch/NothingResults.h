// For tests: what each operation answers when its handles name nothing
// (the not-found results and fixed answers of the operation table).
#pragma once

#include <cstdint>

#include "platform/base/HResult.h"

namespace vantrel::server {

inline std::int32_t NothingResult(std::uint16_t op) {
  switch (op) {
    case 0:
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22:
    case 23:
    case 24:
    case 25:
    case 26:
    case 27:
    case 28:
    case 29:
    case 73:
    case 115:
    case 116:
      return MAPI_E_NO_SUPPORT;
    case 1:
    case 2:
    case 52:
    case 101:
    case 102:
    case 113:
    case 114:
    case 117:
      return 0;
    case 6:
    case 7:
    case 100:
      return -1;
    case 9:
      return MAPI_E_INVALID_WORKSTATION_ACCOUNT;
    case 118:
      return MAPI_E_NOT_FOUND;
  }
  if ((op >= 30 && op <= 72) || op == 119 || op == 120) return MAPI_E_OBJECT_DELETED;
  return 1;  // 3, 4, 8, 10-14, 74-99, 103-112, 121
}

}  // namespace vantrel::server
