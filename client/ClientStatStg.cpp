#include "client/ClientStatStg.h"

#include <cstring>
#include <string>

#include "platform/base/CodePage.h"

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
  size_t len = 0;
  while (len < kMaxNameChars && len < record.name.size() && record.name[len] != '\0') ++len;
  // The names left as ANSI text (Windows-1252): widened the same way, so an
  // enumerated name opens its element again. One unit per byte.
  std::u16string wide = AnsiToUtf16(std::string_view(record.name.data(), len));
  std::memcpy(name, wide.data(), wide.size() * sizeof(WCHAR));
  name[wide.size()] = 0;
  out->pwcsName = name;
  return S_OK;
}

}  // namespace vantrel::client
