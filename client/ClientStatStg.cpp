#include "client/ClientStatStg.h"

#include <cstring>

namespace vantrel::client {

namespace {

constexpr size_t kNameBlock = 128;
constexpr size_t kMaxNameChars = kNameBlock / sizeof(WCHAR) - 1;  // 63

FILETIME ToFileTime(std::uint64_t v) {
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

}  // namespace

HRESULT ConvertStatStg(const zel::wire::StatStg& record, DWORD stat_flag, STATSTG* out) {
  out->pwcsName = nullptr;
  out->type = static_cast<DWORD>(record.type);
  out->cbSize.QuadPart = record.size;
  out->mtime = ToFileTime(record.mtime);
  out->ctime = ToFileTime(record.ctime);
  out->atime = ToFileTime(record.atime);
  out->grfMode = static_cast<DWORD>(record.mode);
  out->grfLocksSupported = static_cast<DWORD>(record.locks_supported);
  static_assert(sizeof(out->clsid) == 16);
  std::memcpy(&out->clsid, record.clsid.data(), 16);
  out->grfStateBits = static_cast<DWORD>(record.state_bits);
  out->reserved = static_cast<DWORD>(record.reserved);
  if (stat_flag & STATFLAG_NONAME) return S_OK;

  auto* name = static_cast<WCHAR*>(CoTaskMemAlloc(kNameBlock));
  if (!name) return STG_E_INSUFFICIENTMEMORY;
  // The record's field need not hold a NUL: never read past it.
  // The server reduces each UTF-16 unit to its low byte: widening each byte
  // back gives the name it was made with (for the Latin-1 range).
  size_t n = 0;
  while (n < kMaxNameChars && n < record.name.size() && record.name[n] != '\0') {
    name[n] = static_cast<WCHAR>(static_cast<unsigned char>(record.name[n]));
    ++n;
  }
  name[n] = 0;
  out->pwcsName = name;
  return S_OK;
}

}  // namespace vantrel::client
