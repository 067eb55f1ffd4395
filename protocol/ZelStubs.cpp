#include "protocol/ZelStubs.h"

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

}  // namespace vantrel::zel
