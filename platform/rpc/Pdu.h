// PDUs of the connection-oriented DCE/RPC 5.0 protocol: the common header,
// the bodies we send and receive, and the fragmenter for requests and
// responses. Decoders take the sender's data representation from the
// header and check every length against the bytes that remain.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/base/Guid.h"

namespace vantrel::rpc {

enum class PduType : std::uint8_t {
  kRequest = 0,
  kResponse = 2,
  kFault = 3,
  kBind = 11,
  kBindAck = 12,
  kBindNak = 13,
  kAlterContext = 14,
  kAlterContextResp = 15,
  kAuth3 = 16,
  kShutdown = 17,
  kCoCancel = 18,
  kOrphaned = 19,
};

inline constexpr std::uint8_t PFC_FIRST_FRAG = 0x01;
inline constexpr std::uint8_t PFC_LAST_FRAG = 0x02;
inline constexpr std::uint8_t PFC_PENDING_CANCEL = 0x04;
inline constexpr std::uint8_t PFC_CONC_MPX = 0x10;
inline constexpr std::uint8_t PFC_DID_NOT_EXECUTE = 0x20;
inline constexpr std::uint8_t PFC_MAYBE = 0x40;
inline constexpr std::uint8_t PFC_OBJECT_UUID = 0x80;

inline constexpr size_t kHeaderSize = 16;
inline constexpr size_t kRequestHeaderSize = 24;  // + 16 with an object UUID
inline constexpr size_t kResponseHeaderSize = 24;
// Every peer must accept fragments of this size; we never negotiate below it.
inline constexpr std::uint16_t kMinFragment = 1432;
// What we offer and accept at bind; fragments are never longer than the
// peer asked for.
inline constexpr std::uint16_t kOurMaxFragment = 65528;
// A whole request or response is never larger than this.
inline constexpr size_t kMaxCallData = 4u << 20;

// Results of one presentation context in bind_ack / alter_context_resp.
inline constexpr std::uint16_t kResultAcceptance = 0;
inline constexpr std::uint16_t kResultUserRejection = 1;
inline constexpr std::uint16_t kResultProviderRejection = 2;
inline constexpr std::uint16_t kResultNegotiateAck = 3;  // bind-time feature negotiation
inline constexpr std::uint16_t kReasonNotSpecified = 0;
inline constexpr std::uint16_t kReasonAbstractSyntaxNotSupported = 1;
inline constexpr std::uint16_t kReasonTransferSyntaxesNotSupported = 2;
// bind_nak reasons.
inline constexpr std::uint16_t kNakNotSpecified = 0;
inline constexpr std::uint16_t kNakLocalLimitExceeded = 2;
inline constexpr std::uint16_t kNakProtocolVersionNotSupported = 4;
inline constexpr std::uint16_t kNakAuthTypeNotRecognized = 8;

// Feature bits of the bind-time negotiation context.
inline constexpr std::uint16_t kFeatureSecurityContextMultiplexing = 0x01;
inline constexpr std::uint16_t kFeatureKeepConnectionOnOrphan = 0x02;

struct SyntaxId {
  GUID uuid{};
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  friend bool operator==(const SyntaxId&, const SyntaxId&) = default;
};

// NDR 2.0, the one transfer syntax we speak.
extern const SyntaxId kNdrSyntax;
// NDR64, which peers offer and we refuse.
extern const SyntaxId kNdr64Syntax;
// True when `s` is a bind-time feature negotiation syntax; its feature
// bits are returned in `features`.
bool IsFeatureNegotiation(const SyntaxId& s, std::uint16_t& features);

struct PduHeader {
  std::uint8_t version = 5;
  std::uint8_t minor = 0;
  PduType type = PduType::kRequest;
  std::uint8_t flags = 0;
  std::uint8_t drep[4] = {0x10, 0, 0, 0};
  std::uint16_t frag_length = 0;
  std::uint16_t auth_length = 0;
  std::uint32_t call_id = 0;
  bool big_endian() const { return (drep[0] & 0xF0) == 0; }
};

// Reads the common header of a PDU (at least 16 bytes); nullopt when the
// version is not 5.0 or the fragment length is below the header size.
std::optional<PduHeader> ParseHeader(std::span<const std::uint8_t> pdu);

struct ContextElement {
  std::uint16_t context_id = 0;
  SyntaxId abstract;
  std::vector<SyntaxId> transfers;
};

// bind and alter_context.
struct BindBody {
  std::uint16_t max_xmit = 0;
  std::uint16_t max_recv = 0;
  std::uint32_t assoc_group = 0;
  std::vector<ContextElement> contexts;
};

struct ContextResult {
  std::uint16_t result = 0;
  std::uint16_t reason = 0;
  SyntaxId transfer;
};

// bind_ack and alter_context_resp.
struct BindAckBody {
  std::uint16_t max_xmit = 0;
  std::uint16_t max_recv = 0;
  std::uint32_t assoc_group = 0;
  std::string secondary_address;  // without the NUL
  std::vector<ContextResult> results;
};

struct RequestBody {
  std::uint32_t alloc_hint = 0;
  std::uint16_t context_id = 0;
  std::uint16_t opnum = 0;
  bool has_object = false;
  GUID object{};
  std::span<const std::uint8_t> stub;  // points into the PDU
};

struct ResponseBody {
  std::uint32_t alloc_hint = 0;
  std::uint16_t context_id = 0;
  std::uint8_t cancel_count = 0;
  std::span<const std::uint8_t> stub;
};

struct FaultBody {
  std::uint16_t context_id = 0;
  std::uint32_t status = 0;
};

// Body decoders: the whole PDU (header included) is passed; nullopt when
// it is malformed.
std::optional<BindBody> ParseBind(std::span<const std::uint8_t> pdu);
std::optional<BindAckBody> ParseBindAck(std::span<const std::uint8_t> pdu);
std::optional<std::uint16_t> ParseBindNak(std::span<const std::uint8_t> pdu);  // the reason
std::optional<RequestBody> ParseRequest(std::span<const std::uint8_t> pdu);
std::optional<ResponseBody> ParseResponse(std::span<const std::uint8_t> pdu);
std::optional<FaultBody> ParseFault(std::span<const std::uint8_t> pdu);

// Encoders append one whole PDU, little-endian, to `out`.
void AppendBind(std::vector<std::uint8_t>& out, PduType type, std::uint32_t call_id, const BindBody& body);
void AppendBindAck(std::vector<std::uint8_t>& out, PduType type, std::uint32_t call_id, const BindAckBody& body);
void AppendBindNak(std::vector<std::uint8_t>& out, std::uint32_t call_id, std::uint16_t reason);
void AppendFault(std::vector<std::uint8_t>& out, std::uint32_t call_id, std::uint16_t context_id, std::uint32_t status,
                 bool did_not_execute);
// A PDU of header only (shutdown, co_cancel, orphaned).
void AppendBare(std::vector<std::uint8_t>& out, PduType type, std::uint8_t flags, std::uint32_t call_id);

// One fragment of a request or response: its header, followed on the
// wire by stub[offset, offset + length).
struct Fragment {
  std::uint8_t head[kRequestHeaderSize + 16];
  size_t head_size = 0;
  size_t offset = 0;
  size_t length = 0;
};
// Splits a stub of `stub_size` bytes into fragments none longer than
// max_frag; a request carries `object` when it is not null.
std::vector<Fragment> PlanFragments(PduType type, std::uint32_t call_id, std::uint16_t context_id, std::uint16_t opnum,
                                    const GUID* object, size_t stub_size, std::uint16_t max_frag);
// The same into `plan` (cleared first), so a caller can keep its storage.
void PlanFragments(std::vector<Fragment>& plan, PduType type, std::uint32_t call_id, std::uint16_t context_id,
                   std::uint16_t opnum, const GUID* object, size_t stub_size, std::uint16_t max_frag);

// Appends the fragments of a request (with `object` when not null) or a
// response, none longer than max_frag.
void AppendRequest(std::vector<std::uint8_t>& out, std::uint32_t call_id, std::uint16_t context_id, std::uint16_t opnum,
                   const GUID* object, std::span<const std::uint8_t> stub, std::uint16_t max_frag);
void AppendResponse(std::vector<std::uint8_t>& out, std::uint32_t call_id, std::uint16_t context_id,
                    std::span<const std::uint8_t> stub, std::uint16_t max_frag);

}  // namespace vantrel::rpc
