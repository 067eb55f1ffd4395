// Typed client stubs: one call per operation of the table, encoded and
// decoded by the coding of ZelProtocol.h.
//
//   zel::MSGSTORE_OpenEntry::Request in{...};
//   zel::MSGSTORE_OpenEntry::Reply out;
//   RPC_STATUS s = zel::Invoke<zel::MSGSTORE_OpenEntry>(transport, in, out);
#pragma once

#include <functional>
#include <vector>

#include "platform/base/HResult.h"
#include "protocol/ZelProtocol.h"

namespace vantrel::zel {

// Carries one request to the server and brings back the reply stub data.
using Transport = std::function<RPC_STATUS(std::uint16_t opnum, const std::vector<std::uint8_t>& request,
                                           std::vector<std::uint8_t>& reply, bool& reply_big_endian)>;

// The transport of the RPC runtime over `binding` (not owned).
Transport RpcTransport(RPC_BINDING_HANDLE binding);

// A transport that hands the request to a dispatcher in this process, as
// the runtime would: an NdrError becomes RPC_X_BAD_STUB_DATA, an opnum past
// the table RPC_S_PROCNUM_OUT_OF_RANGE.
Transport LocalTransport(rpc::Dispatcher dispatcher);

// Runs one operation. Returns 0 with `out` filled, the transport's status,
// or RPC_X_BAD_STUB_DATA when the reply cannot be decoded.
template <class Op>
RPC_STATUS Invoke(const Transport& transport, const typename Op::Request& in, typename Op::Reply& out) {
  rpc::NdrWriter w;
  op::Encode(w, in);
  std::vector<std::uint8_t> reply;
  bool big = false;
  RPC_STATUS status = transport(Op::kOpnum, w.data(), reply, big);
  if (status != RPC_S_OK) return status;
  try {
    rpc::NdrReader r(reply, big);
    op::Decode(r, out);
  } catch (const rpc::NdrError&) {
    return RPC_X_BAD_STUB_DATA;
  }
  return RPC_S_OK;
}

// The selector that names interface `iid` (its flag set).
wire::Selector InterfaceSelector(const IID& iid);

// Assembles a result block: the inline bytes, then ReadBuffer calls until
// `cb` bytes are in `out`. `reads`, when given, receives the count of every
// ReadBuffer call. Returns 0, the transport's status, or RPC_X_BAD_STUB_DATA
// when the server hands back less than it announced.
RPC_STATUS FetchResultBlock(const Transport& transport, std::int32_t cb, std::int32_t buffer,
                            const wire::Inline::Value& inline_data, std::vector<std::uint8_t>& out,
                            std::vector<std::int32_t>* reads = nullptr);

}  // namespace vantrel::zel
