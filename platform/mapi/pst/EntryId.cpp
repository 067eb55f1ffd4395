#include "platform/mapi/pst/EntryId.h"

#include <cstring>

#include "platform/mapi/MapiUtil.h"

namespace vantrel::mapi::pst {

Bytes MakeEntryID(const MAPIUID& uid, int64_t id) {
  Bytes e(4 + 16 + 8, 0);
  std::memcpy(e.data() + 4, uid.ab, 16);
  for (int i = 0; i < 8; ++i) e[20 + i] = static_cast<BYTE>(static_cast<uint64_t>(id) >> (8 * i));
  return e;
}

int64_t ParseEntryID(const MAPIUID& uid, ULONG cb, const ENTRYID* eid) {
  if (!eid || cb != 28) return -1;
  const BYTE* p = reinterpret_cast<const BYTE*>(eid);
  if (std::memcmp(p + 4, uid.ab, 16) != 0) return -1;
  uint64_t id = 0;
  for (int i = 0; i < 8; ++i) id |= uint64_t{p[20 + i]} << (8 * i);
  return static_cast<int64_t>(id);
}

Bytes StoreEntryID(const std::string& path) {
  // Flags, the provider UID, the path and its NUL, laid out in one buffer.
  Bytes e(4 + 16 + path.size() + 1, 0);
  std::memcpy(e.data() + 4, kProviderUid, 16);
  std::memcpy(e.data() + 20, path.data(), path.size());
  return e;
}

HRESULT CopyOut(const Bytes& b, ULONG* cb, LPENTRYID* out) {
  void* m;
  if (MAPIAllocateBuffer(static_cast<ULONG>(b.size()), &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
  std::memcpy(m, b.data(), b.size());
  *cb = static_cast<ULONG>(b.size());
  *out = static_cast<LPENTRYID>(m);
  return S_OK;
}

}  // namespace vantrel::mapi::pst
