// Decoding a result block of an operation: the bytes come from the bulk
// read, the reader sees exactly the bytes fetched.
#pragma once

#include <vector>

#include "client/ClientCall.h"
#include "protocol/MapiMarshal.h"

namespace vantrel::client {

// S_OK without calling `read` when the block is empty.
template <class Read>
HRESULT ReadResultBlock(RPC_BINDING_HANDLE binding, std::int32_t cb, std::int32_t buffer,
                        const zel::wire::Inline::Value& inline_data, Read read) {
  if (cb <= 0) return S_OK;
  std::vector<BYTE> bytes;
  if (HRESULT hr = BulkRead(binding, cb, buffer, inline_data, bytes); hr != S_OK) return hr;
  zel::MarshalReader r(bytes.data(), bytes.size());
  return read(r);
}

}  // namespace vantrel::client
