// The server's remote interface: identity, and for every operation of
// ZelOperations.inc a request record (inputs), a reply record (outputs and
// result) and their NDR coding. Server dispatch and client stubs both use
// these; nothing else marshals an operation.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/base/Guid.h"
#include "platform/rpc/Rpc.h"
#include "protocol/ZelWire.h"

namespace vantrel::zel {

inline constexpr std::uint32_t kOperationCount = 122;
inline constexpr std::uint16_t kVersionMajor = 1;
inline constexpr std::uint16_t kVersionMinor = 0;
// e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6
inline constexpr GUID kInterfaceId = {0xe7d62c8d, 0xba26, 0x4d96, {0xa3, 0x4b, 0x05, 0xc4, 0xbd, 0x1c, 0xc1, 0xf6}};

// The interface without a dispatcher, as a client names it.
rpc::InterfaceSpec InterfaceSpec();

namespace op {

#define ZEL_RESULT_FIELD_Long std::int32_t result = 0;
#define ZEL_RESULT_FIELD_Void
#define ZEL_RESULT_ENCODE_Long w.I32(a.result);
#define ZEL_RESULT_ENCODE_Void
#define ZEL_RESULT_DECODE_Long a.result = r.I32();
#define ZEL_RESULT_DECODE_Void
#define ZEL_RESULT_HAS_Long true
#define ZEL_RESULT_HAS_Void false

// Inputs.
#define ZEL_IN(T, n) wire::T::Value n{};
#define ZEL_OUT(T, n)
#define ZEL_INOUT(T, n) wire::T::Value n{};
#define ZEL_OP(num, name, res, params) \
  struct name##_In {                   \
    params                             \
  };
#include "protocol/ZelOperations.inc"
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT
#undef ZEL_OP

// Outputs, every one 0 until set, then the result.
#define ZEL_IN(T, n)
#define ZEL_OUT(T, n) wire::T::Value n{};
#define ZEL_INOUT(T, n) wire::T::Value n{};
#define ZEL_OP(num, name, res, params) \
  struct name##_Out {                  \
    params ZEL_RESULT_FIELD_##res      \
  };
#include "protocol/ZelOperations.inc"
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT
#undef ZEL_OP

// Request coding: [in] and [in, out] parameters in order.
#define ZEL_IN(T, n) wire::T::Encode(w, a.n);
#define ZEL_OUT(T, n)
#define ZEL_INOUT(T, n) wire::T::Encode(w, a.n);
#define ZEL_OP(num, name, res, params)                                                                            \
  [[maybe_unused]] inline void Encode([[maybe_unused]] wire::NdrWriter& w, [[maybe_unused]] const name##_In& a) { \
    params                                                                                                        \
  }
#include "protocol/ZelOperations.inc"
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT
#undef ZEL_OP

#define ZEL_IN(T, n) a.n = wire::T::Decode(r);
#define ZEL_OUT(T, n)
#define ZEL_INOUT(T, n) a.n = wire::T::Decode(r);
#define ZEL_OP(num, name, res, params)                                                                      \
  [[maybe_unused]] inline void Decode([[maybe_unused]] wire::NdrReader& r, [[maybe_unused]] name##_In& a) { \
    params                                                                                                  \
  }
#include "protocol/ZelOperations.inc"
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT
#undef ZEL_OP

// Reply coding: [out] and [in, out] parameters in order, then the result.
#define ZEL_IN(T, n)
#define ZEL_OUT(T, n) wire::T::Encode(w, a.n);
#define ZEL_INOUT(T, n) wire::T::Encode(w, a.n);
#define ZEL_OP(num, name, res, params)                                                                             \
  [[maybe_unused]] inline void Encode([[maybe_unused]] wire::NdrWriter& w, [[maybe_unused]] const name##_Out& a) { \
    params ZEL_RESULT_ENCODE_##res                                                                                 \
  }
#include "protocol/ZelOperations.inc"
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT
#undef ZEL_OP

#define ZEL_IN(T, n)
#define ZEL_OUT(T, n) a.n = wire::T::Decode(r);
#define ZEL_INOUT(T, n) a.n = wire::T::Decode(r);
#define ZEL_OP(num, name, res, params)                                                                       \
  [[maybe_unused]] inline void Decode([[maybe_unused]] wire::NdrReader& r, [[maybe_unused]] name##_Out& a) { \
    params ZEL_RESULT_DECODE_##res                                                                           \
  }
#include "protocol/ZelOperations.inc"
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT
#undef ZEL_OP

}  // namespace op

// One type per operation: zel::MSGSTORE_OpenEntry::Request and ::Reply.
#define ZEL_IN(T, n)
#define ZEL_OUT(T, n)
#define ZEL_INOUT(T, n)
#define ZEL_OP(num, name, res, params)                       \
  struct name {                                              \
    static constexpr std::uint16_t kOpnum = num;             \
    static constexpr const char* kName = #name;              \
    static constexpr bool kHasResult = ZEL_RESULT_HAS_##res; \
    using Request = op::name##_In;                           \
    using Reply = op::name##_Out;                            \
  };
#include "protocol/ZelOperations.inc"
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT
#undef ZEL_OP

// Calls F::template Apply<Op>() for every operation, in opnum order.
template <class F>
void ForEachOperation(F&& f) {
#define ZEL_IN(T, n)
#define ZEL_OUT(T, n)
#define ZEL_INOUT(T, n)
#define ZEL_OP(num, name, res, params) f.template operator()<name>();
#include "protocol/ZelOperations.inc"
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT
#undef ZEL_OP
}

// Descriptors of the table, for the IDL text and for diagnostics.
enum class Direction { kIn, kOut, kInOut };
struct ParamInfo {
  Direction direction;
  const char* wire_type;
  const char* name;
  std::string (*idl)(bool out, const char* name);
};
struct OperationInfo {
  std::uint16_t opnum;
  const char* name;
  bool has_result;
  std::span<const ParamInfo> params;
};
std::span<const OperationInfo> Operations();

// The NDR layout of the interface as IDL text (protocol/zel.idl).
std::string InterfaceIdl();

}  // namespace vantrel::zel
