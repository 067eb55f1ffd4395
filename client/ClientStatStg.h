// The server's 132-byte storage element record as the caller's STATSTG.
#pragma once

#include "platform/storage/ObjIdl.h"
#include "protocol/ZelWire.h"

namespace vantrel::client {

// Fills every field of `out` from `record`. Unless `stat_flag` is
// STATFLAG_NONAME, the name is widened byte by byte into a 128-byte block of
// task memory (at most 63 characters and a zero unit); without a name, or
// when that block cannot be had (STG_E_INSUFFICIENTMEMORY), pwcsName is null.
HRESULT ConvertStatStg(const zel::wire::StatStg& record, DWORD stat_flag, STATSTG* out);

}  // namespace vantrel::client
