// rpc_testserver [endpoint]: serves the system's interface identity with
// test operations, for peers written against other DCE/RPC runtimes.
// Prints "listening on PORT" once it accepts calls; "0" (the default)
// picks a free port. Ends when its standard input closes.
//
// Operations (NDR 2.0):
//   0 Echo(long n, byte data[n]) -> (long n, byte data[n])
//   1 Fill(long n) -> (long n, byte data[n]), data[i] = i * 7 + 1
//   2 Sum(long n, byte data[n]) -> (long count, long sum of bytes)
//   3 Upper(string s) -> string, ASCII upper case
//   4 Association() -> 64-bit association id as two longs
#include <cctype>
#include <cstdio>
#include <string>

#include "platform/rpc/RpcServer.h"

namespace {

using vantrel::rpc::CallInfo;
using vantrel::rpc::NdrReader;
using vantrel::rpc::NdrWriter;

constexpr std::uint32_t kMaxFill = 4u << 20;

RPC_STATUS Dispatch(const CallInfo& info, NdrReader& in, NdrWriter& out) {
  switch (info.opnum) {
    case 0: {
      std::uint32_t n = in.U32();
      auto data = in.ConformantBytes(n);
      out.U32(n);
      out.ConformantBytes(data.data(), n);
      return RPC_S_OK;
    }
    case 1: {
      std::uint32_t n = in.U32();
      if (n > kMaxFill) return RPC_X_BAD_STUB_DATA;
      std::vector<std::uint8_t> data(n);
      for (std::uint32_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
      out.U32(n);
      out.ConformantBytes(data.data(), n);
      return RPC_S_OK;
    }
    case 2: {
      std::uint32_t n = in.U32();
      auto data = in.ConformantBytes(n);
      std::uint32_t sum = 0;
      for (auto b : data) sum += b;
      out.U32(n);
      out.U32(sum);
      return RPC_S_OK;
    }
    case 3: {
      std::string s = in.String();
      for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      out.String(s);
      return RPC_S_OK;
    }
    case 4:
      out.LongPair(info.association);
      return RPC_S_OK;
  }
  return static_cast<RPC_STATUS>(nca_s_op_rng_error);
}

}  // namespace

int main(int argc, char** argv) {
  const char* endpoint = argc > 1 ? argv[1] : "0";
  vantrel::rpc::Server server;
  vantrel::rpc::InterfaceSpec spec;
  spec.uuid = *vantrel::GuidFromString("e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6");
  spec.major = 1;
  spec.minor = 0;
  spec.operation_count = 5;
  spec.dispatch = Dispatch;
  RPC_STATUS st = server.UseEndpoint(endpoint, 40);
  if (st == RPC_S_OK) st = server.RegisterIf(spec);
  if (st == RPC_S_OK) st = server.Listen(2, 40);
  if (st != RPC_S_OK) {
    const char* name = vantrel::rpc::RpcStatusName(st);
    std::fprintf(stderr, "rpc_testserver: %s (%d)\n", name ? name : "?", static_cast<int>(st));
    return 1;
  }
  std::printf("listening on %u\n", static_cast<unsigned>(server.ports().front()));
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  server.Stop();
  return 0;
}
