// The server side of one association (one connection): answers bind and
// alter_context, keeps the presentation contexts, reassembles request
// fragments per call id and hands complete calls on. It does no I/O, so
// the protocol can be driven from memory by tests and the fuzzer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/rpc/Pdu.h"
#include "platform/rpc/Rpc.h"

namespace vantrel::rpc {

// A reassembled request, ready to run.
struct IncomingCall {
  std::uint32_t call_id = 0;
  std::uint16_t context_id = 0;
  std::uint16_t opnum = 0;
  bool has_object = false;
  GUID object{};
  bool big_endian = false;
  std::shared_ptr<const InterfaceSpec> spec;  // null when the context names no accepted interface
  std::vector<std::uint8_t> stub;
  // With borrowed stubs, a call that came in one fragment points into its
  // PDU instead: valid until the PDU's buffer is reused.
  std::span<const std::uint8_t> borrowed;
  bool is_borrowed = false;
  std::span<const std::uint8_t> data() const { return is_borrowed ? borrowed : std::span<const std::uint8_t>(stub); }
};

// Finds a served interface for an abstract syntax (uuid, major equal,
// minor not above the served one), or null.
using InterfaceLookup = std::function<std::shared_ptr<const InterfaceSpec>(const SyntaxId&)>;

class Association {
 public:
  // Partial calls one connection may have in flight, and the bytes they
  // may hold together.
  static constexpr size_t kMaxPartialCalls = 16;
  static constexpr size_t kMaxPartialBytes = 2 * kMaxCallData;

  Association(std::uint64_t id, InterfaceLookup lookup, std::string secondary_address);

  // Handles one whole PDU (exactly its fragment length). PDUs to send are
  // appended to `out`, complete calls to `calls`. Returns false when the
  // connection must be closed (after sending `out`).
  bool Receive(std::span<const std::uint8_t> pdu, std::vector<std::uint8_t>& out, std::vector<IncomingCall>& calls);

  // Calls in one fragment point into the PDU rather than copy it (see
  // IncomingCall::borrowed): for a caller that runs them before it reads on.
  void BorrowStubs(bool on) { borrow_ = on; }

  std::uint64_t id() const { return id_; }
  bool bound() const { return bound_; }
  // Longest fragment we send and accept (before bind: our own maximum).
  std::uint16_t max_xmit() const { return max_xmit_; }
  std::uint16_t max_recv() const { return max_recv_; }

 private:
  struct Partial {
    PduHeader first;
    IncomingCall call;
    bool discard = false;  // refused; later fragments are dropped up to the last
  };
  bool OnBind(const PduHeader& h, std::span<const std::uint8_t> pdu, std::vector<std::uint8_t>& out);
  bool OnAlter(const PduHeader& h, std::span<const std::uint8_t> pdu, std::vector<std::uint8_t>& out);
  std::vector<ContextResult> Negotiate(const std::vector<ContextElement>& contexts, bool& any_accepted);
  bool OnRequest(const PduHeader& h, std::span<const std::uint8_t> pdu, std::vector<std::uint8_t>& out,
                 std::vector<IncomingCall>& calls);
  void Refuse(std::uint32_t call_id, std::uint16_t context_id, std::uint32_t status, bool last,
              std::vector<std::uint8_t>& out);
  void Drop(std::uint32_t call_id);

  std::uint64_t id_;
  InterfaceLookup lookup_;
  std::string secondary_address_;
  bool bound_ = false;
  std::uint32_t assoc_group_ = 0;
  std::uint16_t max_xmit_ = kOurMaxFragment;
  std::uint16_t max_recv_ = kOurMaxFragment;
  std::map<std::uint16_t, std::shared_ptr<const InterfaceSpec>> contexts_;  // accepted, by context id
  std::map<std::uint32_t, Partial> partial_;                                // by call id
  size_t partial_bytes_ = 0;
  bool borrow_ = false;
};

// Runs one call through its interface: true with the reply stub in
// `reply`, or false with a fault PDU appended to `fault`. Never throws.
bool RunCall(const IncomingCall& call, std::uint64_t association, NdrWriter& reply, std::vector<std::uint8_t>& fault,
             const std::string& peer = {});
// The same with the CallInfo made by the caller (see MakeCallInfo).
bool RunCall(const IncomingCall& call, const CallInfo& info, NdrWriter& reply, std::vector<std::uint8_t>& fault);
CallInfo MakeCallInfo(const IncomingCall& call, std::uint64_t association, const std::string& peer);

// Runs one call through its interface and appends the response fragments
// (at most max_xmit long) or a fault to `out`. Never throws.
void ExecuteCall(const IncomingCall& call, std::uint64_t association, std::uint16_t max_xmit,
                 std::vector<std::uint8_t>& out);

}  // namespace vantrel::rpc
