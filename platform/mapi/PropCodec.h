// Property values as bytes for the store's tables. Strings are kept as
// UTF-8 under their Unicode type, so one stored value answers both the
// 8-bit and the wide request.
#pragma once

#include <optional>
#include <vector>

#include "platform/mapi/MapiDefs.h"

namespace vantrel::mapi {

// The type a value of `type` is stored under (8-bit strings become wide).
ULONG StoredType(ULONG type);
// Bytes of the value; nullopt for a type that cannot be stored.
std::optional<std::vector<BYTE>> EncodeProp(const SPropValue& v);
// Fills `out` (tag `tag`, the requested type) from stored bytes of
// `stored_type`; memory is chained to `root`. Checks every count against the
// bytes. MAPI_E_INVALID_TYPE when the stored value cannot take that type.
HRESULT DecodeProp(ULONG tag, ULONG stored_type, const std::vector<BYTE>& bytes, void* root, SPropValue& out);

}  // namespace vantrel::mapi

namespace vantrel::mapi {

// A restriction tree as bytes, and back (allocated as one MAPI buffer).
// Decoding checks every count and bounds the depth.
std::optional<std::vector<BYTE>> EncodeRestriction(const SRestriction& r);
HRESULT DecodeRestriction(const std::vector<BYTE>& bytes, LPSRestriction* out);

}  // namespace vantrel::mapi
