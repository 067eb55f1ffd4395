// Fuzzes the dispatcher: the first two bytes choose the operation, the rest
// is its stub data. Every input must end in a reply or an NdrError, never a
// fault, whatever objects the handles name.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "server/dispatch/ServerClasses.h"
#include "server/dispatch/ServerDispatch.h"

namespace {

using vantrel::server::CServerClass;

struct Setup {
  vantrel::server::CServerClasses registry{[] { return std::uint64_t{1}; }};
  vantrel::server::CServerDispatch dispatch{registry};
  Setup() {
    // One object of every kind under handles 1..11.
    for (std::int32_t kind = 0; kind <= 10; ++kind)
      registry.Register(std::make_shared<CServerClass>(kind), kind == 0 ? -1 : 1, nullptr);
    vantrel::zel::wire::Inline::Value inl{};
    std::int32_t cb;
    registry.MakeResultBlock(std::vector<std::uint8_t>(40000, 7), inl, cb);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup* setup = new Setup();  // lives for the whole run
  if (size < 2) return 0;
  vantrel::rpc::CallInfo call;
  call.opnum = static_cast<std::uint16_t>((data[0] | (data[1] << 8)) % 130);
  vantrel::rpc::NdrReader in(std::span<const std::uint8_t>(data + 2, size - 2), (data[1] & 0x80) != 0);
  vantrel::rpc::NdrWriter out;
  try {
    setup->dispatch.Dispatch(call, in, out);
  } catch (const vantrel::rpc::NdrError&) {
  }
  return 0;
}
