// Feeds arbitrary bytes to the server side of an association as a stream
// of PDUs, runs every call that completes through operations that decode
// each NDR form, and gives every PDU to the client-side decoders too.
// The first byte chooses whether a valid bind comes first, so inputs
// reach the request path quickly.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/rpc/Association.h"
#include "platform/rpc/Pdu.h"

namespace {

using namespace vantrel::rpc;

RPC_STATUS Decode(const CallInfo& info, NdrReader& in, NdrWriter& out) {
  switch (info.opnum) {
    case 0: {
      std::uint32_t n = in.U32();
      auto d = in.ConformantBytes(n);
      out.ConformantBytes(d.data(), n);
      break;
    }
    case 1:
      out.String(in.String());
      break;
    case 2:
      out.U32(static_cast<std::uint32_t>(in.VaryingBytes(32768).size()));
      break;
    case 3:
      out.U32(static_cast<std::uint32_t>(in.ConformantVaryingBytes().size()));
      break;
    case 4: {
      std::uint32_t n = in.U32();
      out.U32(static_cast<std::uint32_t>(in.ConformantLongs(n).size()));
      break;
    }
    case 5: {
      std::uint16_t flag = in.U16();
      std::uint8_t iid[16];
      in.Fixed(iid, sizeof iid);
      out.U16(flag);
      out.LongPair(in.LongPair());
      break;
    }
    case 6: {
      std::uint8_t record[132];
      in.Fixed(record, sizeof record);
      out.Fixed(record, sizeof record);
      break;
    }
    default:
      in.U8();
      out.U64(in.U64());
      break;
  }
  return RPC_S_OK;
}

const InterfaceSpec& Spec() {
  static const InterfaceSpec spec{*vantrel::GuidFromString("e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6"), 1, 0, 8, Decode};
  return spec;
}

std::shared_ptr<const InterfaceSpec> Lookup(const SyntaxId& s) {
  static auto spec = std::make_shared<const InterfaceSpec>(Spec());
  if (s.uuid == spec->uuid && s.major == spec->major && s.minor <= spec->minor) return spec;
  return nullptr;
}

void ClientDecoders(std::span<const std::uint8_t> pdu) {
  (void)ParseBindAck(pdu);
  (void)ParseBindNak(pdu);
  (void)ParseResponse(pdu);
  (void)ParseFault(pdu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<std::uint8_t> stream;
  if (data[0] & 1) {
    BindBody b;
    b.max_xmit = b.max_recv = 5840;
    b.contexts.push_back({0, {Spec().uuid, 1, 0}, {kNdrSyntax}});
    AppendBind(stream, PduType::kBind, 1, b);
  }
  stream.insert(stream.end(), data + 1, data + size);

  Association assoc(1, Lookup, "5002");
  // The server runs calls in one fragment from the PDU itself.
  assoc.BorrowStubs(data[0] & 2);
  std::vector<std::uint8_t> out;
  std::vector<IncomingCall> calls;
  size_t pos = 0;
  while (pos < stream.size()) {
    std::span<const std::uint8_t> rest(stream.data() + pos, stream.size() - pos);
    auto h = ParseHeader(rest);
    // A short or malformed header ends the connection, as on the wire.
    size_t len = h ? std::min<size_t>(h->frag_length, rest.size()) : rest.size();
    auto pdu = rest.first(len);
    ClientDecoders(pdu);
    out.clear();
    calls.clear();
    bool keep = assoc.Receive(pdu, out, calls);
    for (const auto& c : calls) ExecuteCall(c, assoc.id(), assoc.max_xmit(), out);
    if (!keep || !h) break;
    pos += len;
  }
  return 0;
}
