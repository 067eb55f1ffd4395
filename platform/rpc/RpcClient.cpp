// The client runtime: string bindings, bindings that connect and bind on
// first use, one call at a time per binding.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/rpc/Pdu.h"
#include "platform/rpc/Rpc.h"
#include "platform/rpc/Socket.h"

using vantrel::rpc::IoResult;
using vantrel::rpc::PduHeader;
using vantrel::rpc::PduType;
using vantrel::rpc::SyntaxId;

// One binding: where to call, and the association it has while connected.
// Not locked: calls on one binding are serialised by the caller.
struct RpcBinding {
  std::string host;
  std::string endpoint;
  bool has_object = false;
  GUID object{};
  unsigned timeout_level = 5;

  vantrel::rpc::Socket sock;
  vantrel::rpc::PduReader reader;
  std::uint16_t max_xmit = vantrel::rpc::kMinFragment;
  std::uint16_t max_recv = vantrel::rpc::kMinFragment;
  std::uint32_t assoc_group = 0;
  struct Context {
    SyntaxId abstract;
    std::uint16_t id;
  };
  std::vector<Context> contexts;  // accepted on the current connection
  std::uint16_t next_context = 0;
  std::uint32_t next_call_id = 1;
  std::vector<vantrel::rpc::Fragment> plan;  // the request's fragments, kept from call to call
  std::uint64_t connections = 0;              // connections opened so far

  void Reset() {
    sock.Close();
    reader.Clear();
    contexts.clear();
    next_context = 0;
  }
};

namespace {

char* Duplicate(const std::string& s) {
  auto* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (p) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

// Milliseconds a level of the communication time-out waits: doubling from
// one second at level 0 to 512 seconds at level 9; level 10 waits forever.
int TimeoutMs(unsigned level) {
  if (level >= 10) return vantrel::rpc::kWaitForever;
  return 1000 << level;
}

using ReadResult = vantrel::rpc::PduReader::Result;

// Reads one whole PDU and its header.
ReadResult ReadPdu(RpcBinding& b, std::uint16_t max_frag, std::span<const std::uint8_t>& pdu, PduHeader& h) {
  ReadResult r = b.reader.Read(b.sock, max_frag, pdu);
  if (r == ReadResult::kOk) h = *vantrel::rpc::ParseHeader(pdu);
  return r;
}

RPC_STATUS ResultStatus(const vantrel::rpc::ContextResult& r) {
  if (r.result == vantrel::rpc::kResultAcceptance) return RPC_S_OK;
  if (r.reason == vantrel::rpc::kReasonTransferSyntaxesNotSupported) return RPC_S_UNSUPPORTED_TRANS_SYN;
  return RPC_S_UNKNOWN_IF;
}

// Binds (or alters the context of) the association for `abstract`.
RPC_STATUS Negotiate(RpcBinding& b, const SyntaxId& abstract, std::uint16_t& context_id) {
  for (const auto& c : b.contexts)
    if (c.abstract == abstract) {
      context_id = c.id;
      return RPC_S_OK;
    }
  bool first = !b.sock.valid();
  if (first) {
    RPC_STATUS st = vantrel::rpc::ConnectTcp(b.host, b.endpoint, TimeoutMs(b.timeout_level), b.sock);
    if (st != RPC_S_OK) return st;
    ++b.connections;
    vantrel::rpc::SetReceiveTimeout(b.sock, TimeoutMs(b.timeout_level));
  }
  vantrel::rpc::BindBody body;
  body.max_xmit = vantrel::rpc::kOurMaxFragment;
  body.max_recv = vantrel::rpc::kOurMaxFragment;
  body.assoc_group = first ? 0 : b.assoc_group;
  std::uint16_t id = b.next_context;
  body.contexts.push_back({id, abstract, {vantrel::rpc::kNdrSyntax}});
  std::vector<std::uint8_t> out;
  std::uint32_t call_id = b.next_call_id++;
  AppendBind(out, first ? PduType::kBind : PduType::kAlterContext, call_id, body);
  // A failed bind leaves no usable association.
  auto fail = [&](RPC_STATUS st) {
    if (first) b.Reset();
    return st;
  };
  if (SendAll(b.sock, out.data(), out.size()) != IoResult::kOk) return fail(RPC_S_SERVER_UNAVAILABLE);
  std::span<const std::uint8_t> pdu;
  PduHeader h;
  ReadResult r = ReadPdu(b, vantrel::rpc::kOurMaxFragment, pdu, h);
  if (r != ReadResult::kOk) {
    b.Reset();
    return r == ReadResult::kMalformed ? RPC_S_PROTOCOL_ERROR : RPC_S_SERVER_UNAVAILABLE;
  }
  if (h.call_id != call_id) return fail(RPC_S_PROTOCOL_ERROR);
  if (h.type == PduType::kBindNak && first) {
    b.Reset();
    auto reason = vantrel::rpc::ParseBindNak(pdu);
    // Our server refuses a bind that offers no interface it serves
    // without naming a reason.
    if (reason && *reason == vantrel::rpc::kNakNotSpecified) return RPC_S_UNKNOWN_IF;
    return RPC_S_SERVER_UNAVAILABLE;
  }
  if (h.type != (first ? PduType::kBindAck : PduType::kAlterContextResp)) {
    b.Reset();
    return RPC_S_PROTOCOL_ERROR;
  }
  auto ack = vantrel::rpc::ParseBindAck(pdu);
  if (!ack || ack->results.size() != 1) {
    b.Reset();
    return RPC_S_PROTOCOL_ERROR;
  }
  if (first) {
    if (ack->max_xmit < vantrel::rpc::kMinFragment || ack->max_recv < vantrel::rpc::kMinFragment) {
      b.Reset();
      return RPC_S_PROTOCOL_ERROR;
    }
    // Never send longer fragments than the server accepts, nor than we offered.
    b.max_xmit = std::min(ack->max_recv, vantrel::rpc::kOurMaxFragment);
    b.max_recv = vantrel::rpc::kOurMaxFragment;
    b.assoc_group = ack->assoc_group;
  }
  RPC_STATUS st = ResultStatus(ack->results[0]);
  if (st != RPC_S_OK) return fail(st);
  ++b.next_context;
  b.contexts.push_back({abstract, id});
  context_id = id;
  return RPC_S_OK;
}

// A connection the server closed or told to shut down while it was idle
// is dropped, so the call that follows makes a new association.
void DropIfBroken(RpcBinding& b) {
  if (!b.sock.valid()) return;
  pollfd p{b.sock.fd(), POLLIN, 0};
  if (b.reader.buffered() || ::poll(&p, 1, 0) > 0) b.Reset();
}

RPC_STATUS FaultToStatus(std::uint32_t status) {
  switch (status) {
    case nca_s_op_rng_error:
      return RPC_S_PROCNUM_OUT_OF_RANGE;
    case nca_s_unk_if:
      return RPC_S_UNKNOWN_IF;
    case nca_s_proto_error:
      return RPC_S_PROTOCOL_ERROR;
    case nca_s_comm_failure:
      return RPC_S_COMM_FAILURE;
    case nca_s_fault_unspec:
      return RPC_S_CALL_FAILED;
    default:
      return static_cast<RPC_STATUS>(status);  // nca_s_fault_ndr is RPC_X_BAD_STUB_DATA already
  }
}

}  // namespace

RPC_STATUS RpcStringBindingCompose(const char* obj_uuid, const char* protseq, const char* network_addr,
                                   const char* endpoint, const char* options, char** string_binding) try {
  if (!string_binding) return RPC_S_INVALID_ARG;
  std::string s;
  if (obj_uuid && *obj_uuid) s += std::string(obj_uuid) + "@";
  if (protseq) s += std::string(protseq) + ":";
  if (network_addr) s += network_addr;
  if ((endpoint && *endpoint) || (options && *options)) {
    s += "[";
    if (endpoint) s += endpoint;
    if (options && *options) s += std::string(",") + options;
    s += "]";
  }
  *string_binding = Duplicate(s);
  return *string_binding ? RPC_S_OK : RPC_S_OUT_OF_MEMORY;
} catch (...) {
  return RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RpcBindingFromStringBinding(const char* string_binding, RPC_BINDING_HANDLE* binding) try {
  if (!binding) return RPC_S_INVALID_ARG;
  *binding = nullptr;
  if (!string_binding) return RPC_S_INVALID_STRING_BINDING;
  std::string s = string_binding;
  auto b = std::make_unique<RpcBinding>();
  if (auto at = s.find('@'); at != std::string::npos) {
    auto g = vantrel::GuidFromString(s.substr(0, at));
    if (!g) return RPC_S_INVALID_STRING_UUID;
    b->has_object = !(*g == GUID_NULL);
    b->object = *g;
    s.erase(0, at + 1);
  }
  auto colon = s.find(':');
  if (colon == std::string::npos) return RPC_S_INVALID_STRING_BINDING;
  if (s.substr(0, colon) != "ncacn_ip_tcp") return RPC_S_PROTSEQ_NOT_SUPPORTED;
  std::string rest = s.substr(colon + 1);
  std::string endpoint;
  if (auto open = rest.find('['); open != std::string::npos) {
    if (rest.back() != ']') return RPC_S_INVALID_STRING_BINDING;
    std::string inside = rest.substr(open + 1, rest.size() - open - 2);
    rest.erase(open);
    endpoint = inside.substr(0, inside.find(','));
    if (endpoint.rfind("endpoint=", 0) == 0) endpoint.erase(0, 9);
  }
  if (rest.find_first_of("[]") != std::string::npos) return RPC_S_INVALID_STRING_BINDING;
  if (endpoint.empty()) endpoint = vantrel::rpc::DefaultEndpoint();
  if (endpoint.size() > 5 || endpoint.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(endpoint) > 65535)
    return RPC_S_INVALID_ENDPOINT_FORMAT;
  b->host = rest.empty() ? "127.0.0.1" : rest;
  b->endpoint = endpoint;
  *binding = b.release();
  return RPC_S_OK;
} catch (...) {
  return RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RpcMgmtSetComTimeout(RPC_BINDING_HANDLE binding, unsigned timeout) {
  if (!binding) return RPC_S_INVALID_BINDING;
  if (timeout > 10) return RPC_S_INVALID_TIMEOUT;
  binding->timeout_level = timeout;
  if (binding->sock.valid()) vantrel::rpc::SetReceiveTimeout(binding->sock, TimeoutMs(timeout));
  return RPC_S_OK;
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding) {
  if (!binding || !*binding) return RPC_S_INVALID_BINDING;
  std::unique_ptr<RpcBinding> owned(*binding);
  if (owned->sock.valid()) {
    // Tell the server the association ends: it may end it at once.
    owned->sock.Shutdown();
  }
  *binding = nullptr;
  return RPC_S_OK;
}

RPC_STATUS RpcStringFree(char** s) {
  if (!s) return RPC_S_INVALID_ARG;
  std::free(*s);
  *s = nullptr;
  return RPC_S_OK;
}

namespace vantrel::rpc {

namespace {

RPC_STATUS CallOnce(RPC_BINDING_HANDLE binding, const InterfaceSpec& spec, std::uint16_t opnum,
                    const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply,
                    bool& reply_big_endian) {
  reply.clear();
  reply_big_endian = false;
  if (!binding) return RPC_S_INVALID_BINDING;
  RpcBinding& b = *binding;
  if (request.size() > kMaxCallData) return RPC_S_CALL_FAILED_DNE;
  DropIfBroken(b);
  std::uint16_t context_id = 0;
  RPC_STATUS st = Negotiate(b, SyntaxId{spec.uuid, spec.major, spec.minor}, context_id);
  if (st != RPC_S_OK) return st;

  std::uint32_t call_id = b.next_call_id++;
  PlanFragments(b.plan, PduType::kRequest, call_id, context_id, opnum, b.has_object ? &b.object : nullptr,
                request.size(), b.max_xmit);
  if (SendFragments(b.sock, b.plan, request) != IoResult::kOk) {
    b.Reset();
    return RPC_S_CALL_FAILED_DNE;
  }

  std::span<const std::uint8_t> pdu;
  PduHeader first{};
  bool started = false, shutdown_asked = false;
  for (;;) {
    PduHeader h;
    ReadResult r = ReadPdu(b, b.max_recv, pdu, h);
    if (r != ReadResult::kOk) {
      b.Reset();
      reply.clear();
      if (r == ReadResult::kMalformed) return RPC_S_PROTOCOL_ERROR;
      return r == ReadResult::kTimeout ? RPC_S_COMM_FAILURE : RPC_S_CALL_FAILED;
    }
    if (h.type == PduType::kShutdown) {
      shutdown_asked = true;
      continue;
    }
    if (h.call_id != call_id) {
      b.Reset();
      return RPC_S_PROTOCOL_ERROR;
    }
    if (h.type == PduType::kFault) {
      auto f = ParseFault(pdu);
      reply.clear();
      if (!f) {
        b.Reset();
        return RPC_S_PROTOCOL_ERROR;
      }
      if (shutdown_asked) b.Reset();
      return FaultToStatus(f->status);
    }
    auto resp = h.type == PduType::kResponse ? ParseResponse(pdu) : std::nullopt;
    bool first_flag = h.flags & PFC_FIRST_FRAG;
    if (!resp || first_flag == started || (started && std::memcmp(first.drep, h.drep, 4) != 0) ||
        reply.size() + resp->stub.size() > kMaxCallData) {
      b.Reset();
      reply.clear();
      return RPC_S_PROTOCOL_ERROR;
    }
    if (!started) {
      first = h;
      started = true;
    }
    reply.insert(reply.end(), resp->stub.begin(), resp->stub.end());
    if (h.flags & PFC_LAST_FRAG) break;
  }
  reply_big_endian = first.big_endian();
  if (shutdown_asked) b.Reset();
  return RPC_S_OK;
}

}  // namespace

RPC_STATUS Call(RPC_BINDING_HANDLE binding, const InterfaceSpec& spec, std::uint16_t opnum,
                const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply, bool& reply_big_endian) {
  try {
    return CallOnce(binding, spec, opnum, request, reply, reply_big_endian);
  } catch (...) {
    // Out of memory: the association may be half way through a PDU.
    if (binding) binding->Reset();
    reply.clear();
    return RPC_S_OUT_OF_MEMORY;
  }
}

std::uint64_t BindingConnections(RPC_BINDING_HANDLE binding) { return binding ? binding->connections : 0; }

std::string DefaultEndpoint() {
  const char* e = std::getenv("ZEL_RPC_ENDPOINT");
  return e && *e ? std::string(e) : std::string("5002");
}

}  // namespace vantrel::rpc
