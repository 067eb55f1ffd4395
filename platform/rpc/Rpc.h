// The DCE/RPC runtime (connection-oriented protocol over TCP), under the
// published names the system's code calls. A server serves interfaces
// described by InterfaceSpec; a client calls operations through a binding
// made from a string binding "ncacn_ip_tcp:host[endpoint]".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/Guid.h"
#include "platform/base/HResult.h"
#include "platform/rpc/Ndr.h"

using RPC_STATUS = LONG;
inline constexpr RPC_STATUS RPC_S_OK = 0;
// Published aliases of Win32 codes.
inline constexpr RPC_STATUS RPC_S_INVALID_ARG = 87;    // ERROR_INVALID_PARAMETER
inline constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = 14;  // ERROR_OUTOFMEMORY

// DCE fault statuses sent in fault PDUs (the Open Group's nca_s_ values).
inline constexpr std::uint32_t nca_s_comm_failure = 0x1C010001;
inline constexpr std::uint32_t nca_s_op_rng_error = 0x1C010002;
inline constexpr std::uint32_t nca_s_unk_if = 0x1C010003;
inline constexpr std::uint32_t nca_s_proto_error = 0x1C01000B;
inline constexpr std::uint32_t nca_s_fault_unspec = 0x1C000012;
inline constexpr std::uint32_t nca_s_fault_ndr = 0x000006F7;  // sent as RPC_X_BAD_STUB_DATA

namespace vantrel::rpc {

// What a served call knows about itself.
struct CallInfo {
  std::uint64_t association = 0;  // unique per connection while the process runs
  std::string peer;               // the client's IP address as text ("127.0.0.1", "::1"); empty if unknown
  std::uint16_t opnum = 0;
  bool has_object = false;
  GUID object{};
};

// Decodes the request from `in`, runs the operation and encodes the reply
// into `out`. Returns 0, or a status the runtime sends back as a fault
// (RPC_X_BAD_STUB_DATA, nca_s_op_rng_error, ...). An NdrError thrown here
// becomes the fault RPC_X_BAD_STUB_DATA.
using Dispatcher = std::function<RPC_STATUS(const CallInfo&, NdrReader& in, NdrWriter& out)>;

struct InterfaceSpec {
  GUID uuid{};
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint32_t operation_count = 0;  // opnums >= this are answered with nca_s_op_rng_error
  Dispatcher dispatch;
};

}  // namespace vantrel::rpc

// ---- server (process-wide, as on the home platform) ----
// protseq must be "ncacn_ip_tcp"; endpoint is the TCP port as text.
// RPC_S_DUPLICATE_ENDPOINT when the port is taken.
RPC_STATUS RpcServerUseProtseqEp(const char* protseq, unsigned max_calls, const char* endpoint,
                                 void* security_descriptor);
// Keeps a copy of the spec; mgr_type_uuid and mgr_epv must be null.
RPC_STATUS RpcServerRegisterIf(const vantrel::rpc::InterfaceSpec* spec, void* mgr_type_uuid, void* mgr_epv);
// Starts at least min_threads call threads and runs at most max_calls calls
// at once (further calls wait). dont_wait != 0 returns at once.
RPC_STATUS RpcServerListen(unsigned min_threads, unsigned max_calls, unsigned dont_wait);
// Stops listening, ends every connection and joins the call threads.
RPC_STATUS RpcMgmtStopServerListening(void* binding);
RPC_STATUS RpcMgmtWaitServerListen();

// ---- client ----
using RPC_BINDING_HANDLE = struct RpcBinding*;

RPC_STATUS RpcStringBindingCompose(const char* obj_uuid, const char* protseq, const char* network_addr,
                                   const char* endpoint, const char* options, char** string_binding);
RPC_STATUS RpcBindingFromStringBinding(const char* string_binding, RPC_BINDING_HANDLE* binding);
// Levels 0..10: 5 is the default, 10 waits forever, 9 is long but finite.
RPC_STATUS RpcMgmtSetComTimeout(RPC_BINDING_HANDLE binding, unsigned timeout);
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding);
RPC_STATUS RpcStringFree(char** s);

namespace vantrel::rpc {

// One call on `binding` for the interface (uuid and version of `spec`;
// its dispatcher is not used). Binds on first use and again after a broken
// connection. On success returns 0 with the reply stub data in `reply` and
// its byte order in `reply_big_endian`; otherwise the home platform's
// exception code: RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED,
// RPC_S_CALL_FAILED_DNE, RPC_S_COMM_FAILURE, RPC_X_BAD_STUB_DATA,
// RPC_S_PROCNUM_OUT_OF_RANGE, RPC_S_UNKNOWN_IF, or the fault status.
// Calls on one binding are serialised by the caller.
RPC_STATUS Call(RPC_BINDING_HANDLE binding, const InterfaceSpec& spec, std::uint16_t opnum,
                const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply,
                bool& reply_big_endian);

// How many connections `binding` has opened so far. It grows when a call
// had to open a new one, which is a new association for the server. Read
// it as the binding's calls are made: serialised by the caller.
std::uint64_t BindingConnections(RPC_BINDING_HANDLE binding);

// The symbolic name of an RPC, socket or fault status ("RPC_S_CALL_FAILED",
// "WSAECONNREFUSED", "nca_s_op_rng_error"), or nullptr.
const char* RpcStatusName(RPC_STATUS status);

// The endpoint servers listen on and clients call: "5002", or the value of
// the environment variable ZEL_RPC_ENDPOINT.
std::string DefaultEndpoint();

}  // namespace vantrel::rpc
