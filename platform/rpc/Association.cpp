#include "platform/rpc/Association.h"

#include <algorithm>
#include <cstring>

namespace vantrel::rpc {

Association::Association(std::uint64_t id, InterfaceLookup lookup, std::string secondary_address)
    : id_(id), lookup_(std::move(lookup)), secondary_address_(std::move(secondary_address)) {}

bool Association::Receive(std::span<const std::uint8_t> pdu, std::vector<std::uint8_t>& out,
                          std::vector<IncomingCall>& calls) {
  auto h = ParseHeader(pdu);
  if (!h || h->frag_length != pdu.size() || h->frag_length > max_recv_) return false;

  // A PDU of another type under the call id of a call being reassembled
  // ends that call.
  if (h->type != PduType::kRequest && h->type != PduType::kCoCancel && h->type != PduType::kOrphaned) {
    if (auto it = partial_.find(h->call_id); it != partial_.end()) {
      bool discarding = it->second.discard;
      std::uint16_t ctx = it->second.call.context_id;
      Drop(h->call_id);
      if (!discarding) AppendFault(out, h->call_id, ctx, nca_s_proto_error, true);
      return true;
    }
  }

  switch (h->type) {
    case PduType::kBind:
      return OnBind(*h, pdu, out);
    case PduType::kAlterContext:
      return OnAlter(*h, pdu, out);
    case PduType::kRequest:
      return OnRequest(*h, pdu, out, calls);
    case PduType::kCoCancel:
      // Calls run to completion; a cancel only tells us the caller may
      // stop waiting.
      return bound_;
    case PduType::kOrphaned:
      // The caller abandoned the call: forget what arrived of it.
      Drop(h->call_id);
      return bound_;
    default:
      // Responses, authentication legs and unknown types have no place
      // on the server side of an unauthenticated association.
      return false;
  }
}

std::vector<ContextResult> Association::Negotiate(const std::vector<ContextElement>& contexts, bool& any_accepted) {
  std::vector<ContextResult> results;
  any_accepted = false;
  for (const auto& e : contexts) {
    ContextResult r;
    std::uint16_t features = 0;
    if (IsFeatureNegotiation(e.transfers.front(), features)) {
      // Answered with the features we keep: we leave the connection open
      // when a call is orphaned, and multiplex no security contexts.
      r.result = kResultNegotiateAck;
      r.reason = features & kFeatureKeepConnectionOnOrphan;
      results.push_back(r);
      continue;
    }
    auto spec = lookup_(e.abstract);
    bool ndr = std::find(e.transfers.begin(), e.transfers.end(), kNdrSyntax) != e.transfers.end();
    if (!spec) {
      r.result = kResultProviderRejection;
      r.reason = kReasonAbstractSyntaxNotSupported;
    } else if (!ndr) {
      r.result = kResultProviderRejection;
      r.reason = kReasonTransferSyntaxesNotSupported;
    } else {
      r.result = kResultAcceptance;
      r.transfer = kNdrSyntax;
      contexts_[e.context_id] = spec;
      any_accepted = true;
    }
    results.push_back(r);
  }
  return results;
}

bool Association::OnBind(const PduHeader& h, std::span<const std::uint8_t> pdu, std::vector<std::uint8_t>& out) {
  if (bound_) {
    // One bind per association; the peer must use alter_context.
    AppendBindNak(out, h.call_id, kNakNotSpecified);
    return false;
  }
  if (h.auth_length != 0) {
    AppendBindNak(out, h.call_id, kNakAuthTypeNotRecognized);
    return false;
  }
  auto body = ParseBind(pdu);
  if (!body || !(h.flags & PFC_LAST_FRAG) || body->max_xmit < kMinFragment || body->max_recv < kMinFragment) {
    AppendBindNak(out, h.call_id, kNakNotSpecified);
    return false;
  }
  bool accepted = false;
  auto results = Negotiate(body->contexts, accepted);
  if (!accepted) {
    // Nothing to call on this association: refuse it as a whole.
    contexts_.clear();
    AppendBindNak(out, h.call_id, kNakNotSpecified);
    return true;
  }
  bound_ = true;
  max_xmit_ = std::min(body->max_recv, kOurMaxFragment);
  max_recv_ = std::min(body->max_xmit, kOurMaxFragment);
  assoc_group_ = body->assoc_group ? body->assoc_group : static_cast<std::uint32_t>(id_ & 0xFFFFFFFF) | 0x10000;
  BindAckBody ack;
  ack.max_xmit = max_xmit_;
  ack.max_recv = max_recv_;
  ack.assoc_group = assoc_group_;
  ack.secondary_address = secondary_address_;
  ack.results = std::move(results);
  AppendBindAck(out, PduType::kBindAck, h.call_id, ack);
  return true;
}

bool Association::OnAlter(const PduHeader& h, std::span<const std::uint8_t> pdu, std::vector<std::uint8_t>& out) {
  if (!bound_) return false;
  auto body = ParseBind(pdu);
  if (h.auth_length != 0 || !body || !(h.flags & PFC_LAST_FRAG)) {
    AppendFault(out, h.call_id, 0, nca_s_proto_error, true);
    return true;
  }
  bool accepted = false;
  BindAckBody ack;
  ack.max_xmit = max_xmit_;
  ack.max_recv = max_recv_;
  ack.assoc_group = assoc_group_;
  ack.results = Negotiate(body->contexts, accepted);
  AppendBindAck(out, PduType::kAlterContextResp, h.call_id, ack);
  return true;
}

void Association::Refuse(std::uint32_t call_id, std::uint16_t context_id, std::uint32_t status, bool last,
                         std::vector<std::uint8_t>& out) {
  AppendFault(out, call_id, context_id, status, true);
  auto it = partial_.find(call_id);
  if (last) {
    Drop(call_id);
    return;
  }
  // Later fragments of the call are dropped up to its last one.
  if (it == partial_.end()) {
    if (partial_.size() >= kMaxPartialCalls) return;
    it = partial_.emplace(call_id, Partial{}).first;
  }
  partial_bytes_ -= it->second.call.stub.size();
  it->second.call.stub = {};
  it->second.discard = true;
}

void Association::Drop(std::uint32_t call_id) {
  auto it = partial_.find(call_id);
  if (it == partial_.end()) return;
  partial_bytes_ -= it->second.call.stub.size();
  partial_.erase(it);
}

bool Association::OnRequest(const PduHeader& h, std::span<const std::uint8_t> pdu, std::vector<std::uint8_t>& out,
                            std::vector<IncomingCall>& calls) {
  if (!bound_) return false;
  bool first = h.flags & PFC_FIRST_FRAG, last = h.flags & PFC_LAST_FRAG;
  auto it = partial_.find(h.call_id);
  if (h.auth_length != 0) {
    Refuse(h.call_id, 0, nca_s_proto_error, last, out);
    return true;
  }
  auto body = ParseRequest(pdu);
  if (!body) return false;

  if (first && last && it == partial_.end()) {
    // A call in one fragment, the common case: no reassembly.
    IncomingCall call;
    call.call_id = h.call_id;
    call.context_id = body->context_id;
    call.opnum = body->opnum;
    call.has_object = body->has_object;
    call.object = body->object;
    call.big_endian = h.big_endian();
    if (borrow_) {
      call.borrowed = body->stub;
      call.is_borrowed = true;
    } else {
      call.stub.assign(body->stub.begin(), body->stub.end());
    }
    if (auto c = contexts_.find(call.context_id); c != contexts_.end()) call.spec = c->second;
    calls.push_back(std::move(call));
    return true;
  }
  if (first) {
    if (it != partial_.end()) {
      // A new call under the id of one still arriving: both are refused.
      Refuse(h.call_id, body->context_id, nca_s_proto_error, last, out);
      return true;
    }
    if (partial_.size() >= kMaxPartialCalls) return false;
    Partial p;
    p.first = h;
    p.call.call_id = h.call_id;
    p.call.context_id = body->context_id;
    p.call.opnum = body->opnum;
    p.call.has_object = body->has_object;
    p.call.object = body->object;
    p.call.big_endian = h.big_endian();
    it = partial_.emplace(h.call_id, std::move(p)).first;
  } else if (it == partial_.end()) {
    AppendFault(out, h.call_id, body->context_id, nca_s_proto_error, true);
    return true;
  }

  Partial& p = it->second;
  if (p.discard) {
    if (last) Drop(h.call_id);
    return true;
  }
  if (std::memcmp(p.first.drep, h.drep, 4) != 0 || body->context_id != p.call.context_id ||
      body->opnum != p.call.opnum) {
    Refuse(h.call_id, p.call.context_id, nca_s_proto_error, last, out);
    return true;
  }
  if (p.call.stub.size() + body->stub.size() > kMaxCallData || partial_bytes_ + body->stub.size() > kMaxPartialBytes) {
    Refuse(h.call_id, p.call.context_id, nca_s_proto_error, last, out);
    return true;
  }
  // The alloc hint is only a hint: storage grows with what arrives.
  p.call.stub.insert(p.call.stub.end(), body->stub.begin(), body->stub.end());
  partial_bytes_ += body->stub.size();
  if (!last) return true;

  partial_bytes_ -= p.call.stub.size();
  IncomingCall call = std::move(p.call);
  partial_.erase(it);
  if (auto c = contexts_.find(call.context_id); c != contexts_.end()) call.spec = c->second;
  calls.push_back(std::move(call));
  return true;
}

CallInfo MakeCallInfo(const IncomingCall& call, std::uint64_t association, const std::string& peer) {
  CallInfo info;
  info.association = association;
  info.peer = peer;
  info.opnum = call.opnum;
  info.has_object = call.has_object;
  info.object = call.object;
  return info;
}

bool RunCall(const IncomingCall& call, std::uint64_t association, NdrWriter& reply, std::vector<std::uint8_t>& fault,
             const std::string& peer) {
  return RunCall(call, MakeCallInfo(call, association, peer), reply, fault);
}

bool RunCall(const IncomingCall& call, const CallInfo& info, NdrWriter& reply, std::vector<std::uint8_t>& fault) {
  if (!call.spec) {
    AppendFault(fault, call.call_id, call.context_id, nca_s_unk_if, true);
    return false;
  }
  if (call.opnum >= call.spec->operation_count || !call.spec->dispatch) {
    AppendFault(fault, call.call_id, call.context_id, nca_s_op_rng_error, true);
    return false;
  }
  NdrReader in(call.data(), call.big_endian);
  RPC_STATUS status = RPC_S_OK;
  try {
    status = call.spec->dispatch(info, in, reply);
  } catch (const NdrError&) {
    status = RPC_X_BAD_STUB_DATA;
  } catch (...) {
    // Nothing thrown by an operation crosses the wire.
    status = static_cast<RPC_STATUS>(nca_s_fault_unspec);
  }
  if (status == RPC_S_OK && reply.size() > kMaxCallData) status = static_cast<RPC_STATUS>(nca_s_fault_unspec);
  if (status == RPC_S_OK) return true;
  bool dne = status == RPC_X_BAD_STUB_DATA || static_cast<std::uint32_t>(status) == nca_s_op_rng_error;
  AppendFault(fault, call.call_id, call.context_id, static_cast<std::uint32_t>(status), dne);
  return false;
}

void ExecuteCall(const IncomingCall& call, std::uint64_t association, std::uint16_t max_xmit,
                 std::vector<std::uint8_t>& out) {
  NdrWriter reply;
  if (RunCall(call, association, reply, out))
    AppendResponse(out, call.call_id, call.context_id, reply.data(), max_xmit);
}

}  // namespace vantrel::rpc
