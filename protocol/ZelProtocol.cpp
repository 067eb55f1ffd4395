#include "protocol/ZelProtocol.h"

namespace vantrel::zel {

rpc::InterfaceSpec InterfaceSpec() {
  rpc::InterfaceSpec spec;
  spec.uuid = kInterfaceId;
  spec.major = kVersionMajor;
  spec.minor = kVersionMinor;
  spec.operation_count = kOperationCount;
  return spec;
}

namespace {

#define ZEL_IN(T, n) {Direction::kIn, #T, #n, &wire::T::Idl},
#define ZEL_OUT(T, n) {Direction::kOut, #T, #n, &wire::T::Idl},
#define ZEL_INOUT(T, n) {Direction::kInOut, #T, #n, &wire::T::Idl},
#define ZEL_OP(num, name, res, params) const ParamInfo name##_params[] = {params};
#include "protocol/ZelOperations.inc"
#undef ZEL_OP

#define ZEL_OP(num, name, res, params) {num, #name, ZEL_RESULT_HAS_##res, name##_params},
const OperationInfo kOperations[] = {
#include "protocol/ZelOperations.inc"
};
#undef ZEL_OP
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT

static_assert(sizeof(kOperations) / sizeof(kOperations[0]) == kOperationCount);

}  // namespace

std::span<const OperationInfo> Operations() {
  return kOperations;
}

std::string InterfaceIdl() {
  std::string s;
  s += "// The server's remote interface as MIDL would compile it: the NDR layout\n";
  s += "// of every request and reply. Written by zel_idl from ZelOperations.inc.\n";
  s += "[\n  uuid(e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6),\n  version(1.0),\n  pointer_default(unique)\n]\n";
  s += "interface zel\n{\n";
  s += "  typedef struct { long low; long high; } ZEL_LONG64;\n\n";
  s += "  typedef struct {\n    char name[64];\n    long type;\n    ZEL_LONG64 size;\n    ZEL_LONG64 mtime;\n"
       "    ZEL_LONG64 ctime;\n    ZEL_LONG64 atime;\n    long mode;\n    long locksSupported;\n"
       "    byte clsid[16];\n    long stateBits;\n    long reserved;\n  } ZEL_STATSTG;  // 132 bytes\n\n";
  for (const auto& op : kOperations) {
    s += "  [opnum(" + std::to_string(op.opnum) + ")] " + (op.has_result ? "long " : "void ") + op.name + "(";
    bool first = true;
    for (const auto& p : op.params) {
      std::string decl = p.idl(p.direction != Direction::kIn, p.name);
      const char* dir = p.direction == Direction::kIn ? "in" : p.direction == Direction::kOut ? "out" : "in, out";
      // A byte block, tag list or selector declares two parameters; each
      // gets the direction, merged with its own attributes.
      auto emit = [&](const std::string& one) {
        s += std::string(first ? "\n" : ",\n") + "      [" + dir;
        s += one[0] == '[' ? ", " + one.substr(1) : "] " + one;
        first = false;
      };
      std::string::size_type comma;
      while ((comma = decl.find(", ")) != std::string::npos && decl.find(')') > comma) {
        emit(decl.substr(0, comma));
        decl = decl.substr(comma + 2);
      }
      emit(decl);
    }
    s += ");\n";
  }
  s += "\n  // Offered to the server, which never calls it: the client shows the message\n";
  s += "  // \"Notify Callback\" (caption \"Notify\") and answers 0.\n";
  s += "  [callback] long ZelNotifyCallback([in] long value1, [in] long value2);\n";
  s += "}\n";
  return s;
}

}  // namespace vantrel::zel
