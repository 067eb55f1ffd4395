// HRESULT-style results and the status codes the system uses, with the
// values of the published headers. HRESULTs are int32_t; Win32 and RPC
// statuses are small positive numbers kept as LONG.
#pragma once

#include "platform/base/WinTypes.h"

using HRESULT = std::int32_t;

inline constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
inline constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}
inline constexpr HRESULT HR(std::uint32_t v) {
  return static_cast<HRESULT>(v);
}
inline constexpr HRESULT MAKE_HRESULT(unsigned sev, unsigned fac, unsigned code) {
  return HR((static_cast<std::uint32_t>(sev) << 31) | (static_cast<std::uint32_t>(fac) << 16) |
            static_cast<std::uint32_t>(code));
}
inline constexpr HRESULT HRESULT_FROM_WIN32(std::uint32_t x) {
  return static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x) : HR((x & 0xFFFF) | (7u << 16) | 0x80000000u);
}

#define VANTREL_CODE(name, value) inline constexpr HRESULT name = HR(value);
#include "platform/base/ComCodes.inc"
#include "platform/base/MapiCodes.inc"
#include "platform/base/WinErrorCodes.inc"
#undef VANTREL_CODE

namespace vantrel {

// The published name of a code ("MAPI_E_NOT_FOUND", "RPC_S_CALL_FAILED",
// "WSAECONNREFUSED", ...), or nullptr when the code is none of ours. Small
// positive values are looked up among the Win32/RPC/socket statuses first.
const char* CodeName(HRESULT code);

}  // namespace vantrel
