#include "protocol/ZelStubs.h"

#include <algorithm>

namespace vantrel::zel {

Transport RpcTransport(RPC_BINDING_HANDLE binding) {
  return [binding, spec = InterfaceSpec()](std::uint16_t opnum, const std::vector<std::uint8_t>& request,
                                           std::vector<std::uint8_t>& reply,
                                           bool& big) { return rpc::Call(binding, spec, opnum, request, reply, big); };
}

Transport LocalTransport(rpc::Dispatcher dispatcher) {
  return [dispatcher = std::move(dispatcher)](std::uint16_t opnum, const std::vector<std::uint8_t>& request,
                                              std::vector<std::uint8_t>& reply, bool& big) -> RPC_STATUS {
    if (opnum >= kOperationCount) return RPC_S_PROCNUM_OUT_OF_RANGE;
    rpc::CallInfo call;
    call.opnum = opnum;
    rpc::NdrReader in(request, false);
    rpc::NdrWriter out;
    RPC_STATUS status;
    try {
      status = dispatcher(call, in, out);
    } catch (const rpc::NdrError&) {
      return RPC_X_BAD_STUB_DATA;
    }
    if (status != RPC_S_OK) return status;
    reply = out.data();
    big = false;
    return RPC_S_OK;
  };
}

wire::Selector InterfaceSelector(const IID& iid) {
  wire::Selector s;
  s.flag = 1;
  s.id = GuidToBytes(iid);
  return s;
}

RPC_STATUS FetchResultBlock(const Transport& transport, std::int32_t cb, std::int32_t buffer,
                            const wire::Inline::Value& inline_data, std::vector<std::uint8_t>& out,
                            std::vector<std::int32_t>* reads) {
  out.clear();
  if (cb <= 0) return RPC_S_OK;
  std::size_t total = static_cast<std::size_t>(cb);
  std::size_t first = std::min(total, inline_data.size());
  out.assign(inline_data.begin(), inline_data.begin() + static_cast<std::ptrdiff_t>(first));
  while (out.size() < total) {
    ReadBuffer::Reply r;
    RPC_STATUS status = Invoke<ReadBuffer>(transport, {buffer}, r);
    if (status != RPC_S_OK) return status;
    if (reads) reads->push_back(r.result);
    // A dead buffer or an empty read would loop for ever.
    if (r.result <= 0 || r.data.size() > total - out.size()) return RPC_X_BAD_STUB_DATA;
    out.insert(out.end(), r.data.begin(), r.data.end());
  }
  return RPC_S_OK;
}

}  // namespace vantrel::zel
