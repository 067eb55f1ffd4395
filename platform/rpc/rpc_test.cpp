#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/rpc/Association.h"
#include "platform/rpc/Ndr.h"
#include "platform/rpc/Pdu.h"
#include "platform/rpc/Rpc.h"
#include "platform/rpc/RpcServer.h"
#include "platform/rpc/Socket.h"

namespace vantrel::rpc {
namespace {

using Bytes = std::vector<std::uint8_t>;

const GUID kIfUuid = *GuidFromString("e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6");
const GUID kOtherUuid = *GuidFromString("12345678-1234-abcd-ef00-0123456789ab");

// ---- a test interface: 0 Echo(byte block), 1 Fill(n), 2 Association, 3 Sleep(ms), 4 Strings ----

std::atomic<int> g_running{0};
std::atomic<int> g_max_running{0};

RPC_STATUS TestDispatch(const CallInfo& info, NdrReader& in, NdrWriter& out) {
  switch (info.opnum) {
    case 0: {
      std::uint32_t n = in.U32();
      auto d = in.ConformantBytes(n);
      out.U32(n);
      out.ConformantBytes(d.data(), n);
      return RPC_S_OK;
    }
    case 1: {
      std::uint32_t n = in.U32();
      Bytes d(n);
      for (std::uint32_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(i * 7 + 1);
      out.U32(n);
      out.ConformantBytes(d.data(), n);
      return RPC_S_OK;
    }
    case 2:
      out.LongPair(info.association);
      return RPC_S_OK;
    case 3: {
      std::uint32_t ms = in.U32();
      int now = ++g_running;
      for (int seen = g_max_running; now > seen && !g_max_running.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      --g_running;
      out.U32(ms);
      return RPC_S_OK;
    }
    case 4: {
      std::string a = in.String();
      std::uint16_t w = in.U16();
      std::uint64_t v = in.LongPair();
      out.String(a + "!");
      out.U16(w);
      out.LongPair(v + 1);
      return RPC_S_OK;
    }
  }
  return static_cast<RPC_STATUS>(nca_s_op_rng_error);
}

InterfaceSpec TestSpec() {
  InterfaceSpec s;
  s.uuid = kIfUuid;
  s.major = 1;
  s.minor = 0;
  s.operation_count = 5;
  s.dispatch = TestDispatch;
  return s;
}

std::shared_ptr<const InterfaceSpec> TestLookup(const SyntaxId& s) {
  static auto spec = std::make_shared<const InterfaceSpec>(TestSpec());
  if (s.uuid == spec->uuid && s.major == 1 && s.minor == 0) return spec;
  return nullptr;
}

Bytes EchoStub(const Bytes& data) {
  NdrWriter w;
  w.U32(static_cast<std::uint32_t>(data.size()));
  w.ConformantBytes(data.data(), static_cast<std::uint32_t>(data.size()));
  return w.data();
}

Bytes Pattern(size_t n, int seed = 0) {
  Bytes d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>(i * 7 + 1 + static_cast<size_t>(seed));
  return d;
}

const SyntaxId kTestIf{kIfUuid, 1, 0};
const SyntaxId kFeatures{{0x6cb71c2c, 0x9812, 0x4540, {0x03, 0, 0, 0, 0, 0, 0, 0}}, 1, 0};

Bytes BindPdu(std::vector<ContextElement> ctx, std::uint16_t frag = 5840, PduType type = PduType::kBind,
              std::uint32_t call_id = 1) {
  BindBody b;
  b.max_xmit = frag;
  b.max_recv = frag;
  b.contexts = std::move(ctx);
  Bytes out;
  AppendBind(out, type, call_id, b);
  return out;
}

// Splits a buffer of whole PDUs.
std::vector<Bytes> SplitPdus(const Bytes& stream) {
  std::vector<Bytes> v;
  size_t pos = 0;
  while (pos + kHeaderSize <= stream.size()) {
    auto h = ParseHeader(std::span(stream).subspan(pos));
    if (!h) break;
    v.emplace_back(stream.begin() + static_cast<long>(pos), stream.begin() + static_cast<long>(pos + h->frag_length));
    pos += h->frag_length;
  }
  EXPECT_EQ(pos, stream.size());
  return v;
}

// An association driven from memory: feeds PDUs, runs calls, keeps what
// it would send.
struct Wire {
  Association assoc{42, TestLookup, "5002"};
  bool open = true;

  std::vector<Bytes> Feed(const Bytes& stream) {
    Bytes out;
    for (const auto& pdu : SplitPdus(stream)) {
      std::vector<IncomingCall> calls;
      if (!assoc.Receive(pdu, out, calls)) open = false;
      for (auto& c : calls) ExecuteCall(c, assoc.id(), assoc.max_xmit(), out);
      if (!open) break;
    }
    return SplitPdus(out);
  }
  void Bind() {
    auto r = Feed(BindPdu({{0, kTestIf, {kNdrSyntax}}}));
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(ParseHeader(r[0])->type, PduType::kBindAck);
  }
};

Bytes Request(std::uint32_t call_id, std::uint16_t opnum, const Bytes& stub, std::uint16_t frag = 5840,
              std::uint16_t ctx = 0) {
  Bytes out;
  AppendRequest(out, call_id, ctx, opnum, nullptr, stub, frag);
  return out;
}

std::uint32_t FaultStatus(const Bytes& pdu) {
  auto f = ParseFault(pdu);
  return f ? f->status : 0xFFFFFFFF;
}

// Reassembles response fragments for one call.
Bytes ResponseStub(const std::vector<Bytes>& pdus) {
  Bytes stub;
  for (size_t i = 0; i < pdus.size(); ++i) {
    auto h = ParseHeader(pdus[i]);
    EXPECT_EQ(h->type, PduType::kResponse);
    EXPECT_EQ(bool(h->flags & PFC_FIRST_FRAG), i == 0);
    EXPECT_EQ(bool(h->flags & PFC_LAST_FRAG), i + 1 == pdus.size());
    auto r = ParseResponse(pdus[i]);
    stub.insert(stub.end(), r->stub.begin(), r->stub.end());
  }
  return stub;
}

// Turns a little-endian request fragment into the big-endian form.
Bytes ToBigEndian(Bytes pdu) {
  auto swap = [&](size_t off, size_t n) {
    std::reverse(pdu.begin() + static_cast<long>(off), pdu.begin() + static_cast<long>(off + n));
  };
  pdu[4] = 0x00;
  swap(8, 2);
  swap(10, 2);
  swap(12, 4);
  swap(16, 4);
  swap(20, 2);
  swap(22, 2);
  return pdu;
}

// ---------------------------------------------------------------------------
// PDU codecs

TEST(Pdu, HeaderInBothByteOrders) {
  struct Case {
    Bytes bytes;
    bool ok;
    std::uint16_t frag;
    std::uint32_t call_id;
  } cases[] = {
      {{5, 0, 0, 3, 0x10, 0, 0, 0, 0x20, 0x00, 0, 0, 0x07, 0, 0, 0}, true, 32, 7},
      {{5, 0, 0, 3, 0x00, 0, 0, 0, 0x00, 0x20, 0, 0, 0, 0, 0, 0x07}, true, 32, 7},
      {{5, 0, 0, 3, 0x10, 0, 0, 0, 0x0F, 0x00, 0, 0, 0x07, 0, 0, 0}, false, 0, 0},  // below the header size
      {{4, 0, 0, 3, 0x10, 0, 0, 0, 0x20, 0x00, 0, 0, 0x07, 0, 0, 0}, false, 0, 0},  // version 4
      {{5, 0, 0, 3, 0x10, 0, 0, 0, 0x20, 0x00, 0, 0, 0x07, 0}, false, 0, 0},        // short
  };
  for (const auto& c : cases) {
    auto h = ParseHeader(c.bytes);
    ASSERT_EQ(h.has_value(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(h->frag_length, c.frag);
    EXPECT_EQ(h->call_id, c.call_id);
  }
}

TEST(Pdu, BindAndAckRoundTrip) {
  Bytes pdu = BindPdu({{0, kTestIf, {kNdrSyntax, kNdr64Syntax}}, {1, kTestIf, {kFeatures}}});
  auto b = ParseBind(pdu);
  ASSERT_TRUE(b);
  ASSERT_EQ(b->contexts.size(), 2u);
  EXPECT_EQ(b->contexts[0].abstract, kTestIf);
  EXPECT_EQ(b->contexts[0].transfers[1], kNdr64Syntax);
  std::uint16_t features = 0;
  EXPECT_TRUE(IsFeatureNegotiation(b->contexts[1].transfers[0], features));
  EXPECT_EQ(features, 3);

  BindAckBody ack{5840, 4280, 0x1234, "5002", {{0, 0, kNdrSyntax}, {2, 1, {}}}};
  Bytes out;
  AppendBindAck(out, PduType::kBindAck, 9, ack);
  EXPECT_EQ(out.size() % 4, 0u);
  auto back = ParseBindAck(out);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->secondary_address, "5002");
  EXPECT_EQ(back->max_recv, 4280);
  ASSERT_EQ(back->results.size(), 2u);
  EXPECT_EQ(back->results[1].reason, 1);

  // Every truncation of a bind is refused, never read past its end.
  for (size_t n = kHeaderSize; n < pdu.size(); ++n) {
    Bytes cut(pdu.begin(), pdu.begin() + static_cast<long>(n));
    cut[8] = static_cast<std::uint8_t>(n);
    EXPECT_FALSE(ParseBind(cut)) << n;
  }
  // A count of contexts far beyond the bytes is refused before reserving.
  Bytes huge = pdu;
  huge[24] = 255;
  EXPECT_FALSE(ParseBind(huge));
}

TEST(Pdu, FragmentsHonourTheMaximum) {
  struct Case {
    size_t stub;
    std::uint16_t frag;
    bool object;
    size_t fragments;
  } cases[] = {{0, 5840, false, 1},     {100, 5840, false, 1},    {5816, 5840, false, 1}, {5817, 5840, false, 2},
               {70000, 5840, true, 13}, {70000, 65528, false, 2}, {3000, 1432, false, 3}};
  GUID obj = kOtherUuid;
  for (const auto& c : cases) {
    Bytes stub = Pattern(c.stub), out;
    AppendRequest(out, 5, 0, 3, c.object ? &obj : nullptr, stub, c.frag);
    auto pdus = SplitPdus(out);
    ASSERT_EQ(pdus.size(), c.fragments) << c.stub << "/" << c.frag;
    Bytes back;
    for (size_t i = 0; i < pdus.size(); ++i) {
      EXPECT_LE(pdus[i].size(), c.frag);
      auto h = ParseHeader(pdus[i]);
      EXPECT_EQ(bool(h->flags & PFC_FIRST_FRAG), i == 0);
      EXPECT_EQ(bool(h->flags & PFC_LAST_FRAG), i + 1 == pdus.size());
      auto r = ParseRequest(pdus[i]);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->opnum, 3);
      EXPECT_EQ(r->has_object, c.object);
      if (c.object) {
        EXPECT_EQ(r->object, obj);
      }
      back.insert(back.end(), r->stub.begin(), r->stub.end());
    }
    EXPECT_EQ(back, stub);
  }
}

// ---------------------------------------------------------------------------
// Association: bind negotiation

TEST(Association, BindResults) {
  struct Case {
    const char* name;
    std::vector<ContextElement> contexts;
    std::uint16_t frag;
    PduType answer;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> results;  // result, reason
  } cases[] = {
      {"ndr", {{0, kTestIf, {kNdrSyntax}}}, 5840, PduType::kBindAck, {{0, 0}}},
      {"ndr64 beside ndr",
       {{0, kTestIf, {kNdr64Syntax}}, {1, kTestIf, {kNdrSyntax}}, {2, kTestIf, {kFeatures}}},
       4280,
       PduType::kBindAck,
       {{2, 2}, {0, 0}, {3, 2}}},
      {"ndr64 only", {{0, kTestIf, {kNdr64Syntax}}}, 5840, PduType::kBindNak, {}},
      {"other interface", {{0, {kOtherUuid, 1, 0}, {kNdrSyntax}}}, 5840, PduType::kBindNak, {}},
      {"newer minor", {{0, {kIfUuid, 1, 1}, {kNdrSyntax}}}, 5840, PduType::kBindNak, {}},
      {"fragments too small", {{0, kTestIf, {kNdrSyntax}}}, 1000, PduType::kBindNak, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Wire w;
    auto r = w.Feed(BindPdu(c.contexts, c.frag));
    ASSERT_EQ(r.size(), 1u);
    auto h = ParseHeader(r[0]);
    ASSERT_EQ(h->type, c.answer);
    EXPECT_EQ(h->call_id, 1u);
    if (c.answer != PduType::kBindAck) continue;
    auto ack = ParseBindAck(r[0]);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->secondary_address, "5002");
    EXPECT_EQ(ack->max_xmit, c.frag);
    EXPECT_EQ(ack->max_recv, c.frag);
    ASSERT_EQ(ack->results.size(), c.results.size());
    for (size_t i = 0; i < c.results.size(); ++i) {
      EXPECT_EQ(ack->results[i].result, c.results[i].first);
      EXPECT_EQ(ack->results[i].reason, c.results[i].second);
    }
    EXPECT_EQ(w.assoc.max_xmit(), c.frag);
  }
}

// A bind of one context with one transfer syntax, in big-endian order.
Bytes BigEndianBind(const Bytes& le) {
  Bytes be = le;
  auto swap = [&](size_t off, size_t n) {
    std::reverse(be.begin() + static_cast<long>(off), be.begin() + static_cast<long>(off + n));
  };
  be[4] = 0x00;
  for (auto [off, n] : {std::pair<size_t, size_t>{8, 2}, {10, 2}, {12, 4}, {16, 2}, {18, 2}, {20, 4}, {28, 2}})
    swap(off, n);
  for (size_t syntax : {32u, 52u}) {  // abstract, transfer: uuid fields, then the version as one long
    swap(syntax, 4);
    swap(syntax + 4, 2);
    swap(syntax + 6, 2);
    swap(syntax + 16, 4);
  }
  return be;
}

TEST(Association, BigEndianBind) {
  Wire w;
  auto r = w.Feed(BigEndianBind(BindPdu({{0, kTestIf, {kNdrSyntax}}}, 4280)));
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(ParseHeader(r[0])->type, PduType::kBindAck);
  auto ack = ParseBindAck(r[0]);
  EXPECT_EQ(ack->max_xmit, 4280);
  EXPECT_EQ(ack->results.at(0).result, kResultAcceptance);
}

TEST(Association, AuthenticatedBindIsRefused) {
  Bytes pdu = BindPdu({{0, kTestIf, {kNdrSyntax}}});
  pdu[10] = 8;  // auth length
  Wire w;
  auto r = w.Feed(pdu);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(ParseHeader(r[0])->type, PduType::kBindNak);
  EXPECT_EQ(*ParseBindNak(r[0]), kNakAuthTypeNotRecognized);
  EXPECT_FALSE(w.open);
}

TEST(Association, AlterContextAddsAnInterface) {
  Wire w;
  w.Bind();
  auto r = w.Feed(
      BindPdu({{1, {kOtherUuid, 1, 0}, {kNdrSyntax}}, {2, kTestIf, {kNdrSyntax}}}, 5840, PduType::kAlterContext, 2));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(ParseHeader(r[0])->type, PduType::kAlterContextResp);
  auto ack = ParseBindAck(r[0]);
  ASSERT_EQ(ack->results.size(), 2u);
  EXPECT_EQ(ack->results[0].result, kResultProviderRejection);
  EXPECT_EQ(ack->results[1].result, kResultAcceptance);
  // Context 2 is now usable, context 1 is not.
  EXPECT_EQ(ResponseStub(w.Feed(Request(3, 0, EchoStub(Pattern(10)), 5840, 2))), EchoStub(Pattern(10)));
  auto f = w.Feed(Request(4, 0, EchoStub(Pattern(10)), 5840, 1));
  EXPECT_EQ(FaultStatus(f.at(0)), nca_s_unk_if);
}

// ---------------------------------------------------------------------------
// Association: requests

TEST(Association, RequestOutcomes) {
  struct Case {
    const char* name;
    std::uint16_t opnum;
    Bytes stub;
    std::uint32_t fault;  // 0: a response is expected
  } cases[] = {
      {"echo", 0, EchoStub(Pattern(100)), 0},
      {"empty echo", 0, EchoStub({}), 0},
      {"opnum out of range", 5, {}, nca_s_op_rng_error},
      {"opnum far out", 0xFFFF, {}, nca_s_op_rng_error},
      {"short stub", 0, {1, 0, 0, 0}, 0x6F7},
      {"count above the bytes", 0, {0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F}, 0x6F7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Wire w;
    w.Bind();
    auto r = w.Feed(Request(7, c.opnum, c.stub));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(w.open);
    auto h = ParseHeader(r[0]);
    EXPECT_EQ(h->call_id, 7u);
    if (c.fault) {
      ASSERT_EQ(h->type, PduType::kFault);
      EXPECT_EQ(FaultStatus(r[0]), c.fault);
      EXPECT_TRUE(h->flags & PFC_DID_NOT_EXECUTE);
    } else {
      EXPECT_EQ(ResponseStub(r), c.stub);
    }
  }
}

TEST(Association, EveryTruncationOfARequest) {
  Bytes stub = EchoStub(Pattern(40));
  Bytes full = Request(9, 0, stub);
  for (size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    Wire w;
    w.Bind();
    // The fragment length says n: the request itself is short.
    Bytes cut(full.begin(), full.begin() + static_cast<long>(n));
    if (n >= 10) {
      cut[8] = static_cast<std::uint8_t>(n);
      cut[9] = 0;
    }
    Bytes out;
    std::vector<IncomingCall> calls;
    bool keep = w.assoc.Receive(cut, out, calls);
    if (n < kRequestHeaderSize) {
      EXPECT_FALSE(keep);
      EXPECT_TRUE(calls.empty());
      continue;
    }
    ASSERT_TRUE(keep);
    ASSERT_EQ(calls.size(), 1u);
    ExecuteCall(calls[0], 1, w.assoc.max_xmit(), out);
    auto r = SplitPdus(out);
    ASSERT_EQ(r.size(), 1u);
    if (n == full.size())
      EXPECT_EQ(ParseHeader(r[0])->type, PduType::kResponse);
    else
      EXPECT_EQ(FaultStatus(r[0]), 0x6F7u);
  }
  // The stream cut short, the fragment length intact: never accepted.
  for (size_t n = 0; n < full.size(); ++n) {
    Wire w;
    w.Bind();
    Bytes out;
    std::vector<IncomingCall> calls;
    EXPECT_FALSE(w.assoc.Receive(std::span(full).first(n), out, calls));
    EXPECT_TRUE(calls.empty());
  }
}

TEST(Association, BigEndianRequest) {
  Wire w;
  w.Bind();
  // Fill(n = 0x00012345 - too big, so use 300): stub in big-endian order.
  Bytes stub = {0x00, 0x00, 0x01, 0x2C};
  auto r = w.Feed(ToBigEndian(Request(11, 1, stub)));
  Bytes got = ResponseStub(r);
  NdrReader rd(got, false);
  EXPECT_EQ(rd.U32(), 300u);
  EXPECT_EQ(rd.ConformantBytes(300).size(), 300u);
}

TEST(Association, FragmentSequences) {
  Bytes big = EchoStub(Pattern(20000));
  Bytes small = EchoStub(Pattern(64, 3));
  {
    SCOPED_TRACE("fragmented both ways, at the negotiated size");
    Wire w;
    w.Bind();
    auto r = w.Feed(Request(1, 0, big));
    EXPECT_GT(r.size(), 3u);
    for (const auto& p : r) EXPECT_LE(p.size(), 5840u);
    EXPECT_EQ(ResponseStub(r), big);
  }
  {
    SCOPED_TRACE("interleaved call ids");
    Wire w;
    w.Bind();
    auto a = SplitPdus(Request(1, 0, big)), b = SplitPdus(Request(2, 0, small, 1432));
    Bytes stream;
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
      if (i < a.size()) stream.insert(stream.end(), a[i].begin(), a[i].end());
      if (i < b.size()) stream.insert(stream.end(), b[i].begin(), b[i].end());
    }
    auto r = w.Feed(stream);
    std::vector<Bytes> ra, rb;
    for (auto& p : r) (ParseHeader(p)->call_id == 1 ? ra : rb).push_back(p);
    EXPECT_EQ(ResponseStub(ra), big);
    EXPECT_EQ(ResponseStub(rb), small);
  }
  {
    SCOPED_TRACE("middle fragment without a first");
    Wire w;
    w.Bind();
    auto f = SplitPdus(Request(1, 0, big));
    auto r = w.Feed(f[1]);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(FaultStatus(r[0]), nca_s_proto_error);
  }
  {
    SCOPED_TRACE("byte order changes within a call");
    Wire w;
    w.Bind();
    auto f = SplitPdus(Request(1, 0, big));
    Bytes stream = f[0];
    Bytes be = ToBigEndian(f[1]);
    stream.insert(stream.end(), be.begin(), be.end());
    for (size_t i = 2; i < f.size(); ++i) stream.insert(stream.end(), f[i].begin(), f[i].end());
    auto r = w.Feed(stream);
    ASSERT_EQ(r.size(), 1u);  // one fault; the rest of the call is dropped
    EXPECT_EQ(FaultStatus(r[0]), nca_s_proto_error);
    EXPECT_EQ(ResponseStub(w.Feed(Request(2, 0, small))), small);
  }
  {
    SCOPED_TRACE("another packet type under the call id");
    Wire w;
    w.Bind();
    auto f = SplitPdus(Request(1, 0, big));
    Bytes stream = f[0];
    Bytes alter = BindPdu({{1, kTestIf, {kNdrSyntax}}}, 5840, PduType::kAlterContext, 1);
    stream.insert(stream.end(), alter.begin(), alter.end());
    auto r = w.Feed(stream);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(FaultStatus(r[0]), nca_s_proto_error);
    EXPECT_TRUE(w.open);
  }
  {
    SCOPED_TRACE("a call over the cap");
    Wire w;
    w.Bind();
    Bytes huge(kMaxCallData + 1);
    auto r = w.Feed(Request(1, 0, huge));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(FaultStatus(r[0]), nca_s_proto_error);
    EXPECT_TRUE(w.open);
    EXPECT_EQ(ResponseStub(w.Feed(Request(2, 0, small))), small);
  }
  {
    SCOPED_TRACE("completed calls release their share of the reassembly limit");
    Wire w;
    w.Bind();
    Bytes stub = EchoStub(Pattern(1 << 20));
    for (int i = 0; i < 12; ++i) ASSERT_EQ(ResponseStub(w.Feed(Request(static_cast<std::uint32_t>(i), 0, stub))), stub);
  }
  {
    SCOPED_TRACE("fragment longer than negotiated");
    Wire w;
    w.Bind();
    w.Feed(Request(1, 0, big, 8000));
    EXPECT_FALSE(w.open);
  }
  {
    SCOPED_TRACE("orphaned call is forgotten");
    Wire w;
    w.Bind();
    auto f = SplitPdus(Request(1, 0, big));
    Bytes stream = f[0], orphan;
    AppendBare(orphan, PduType::kOrphaned, PFC_FIRST_FRAG | PFC_LAST_FRAG, 1);
    stream.insert(stream.end(), orphan.begin(), orphan.end());
    EXPECT_TRUE(w.Feed(stream).empty());
    EXPECT_EQ(ResponseStub(w.Feed(Request(1, 0, small))), small);
  }
  {
    SCOPED_TRACE("request before bind, unknown type");
    Wire w;
    w.Feed(Request(1, 0, small));
    EXPECT_FALSE(w.open);
    Wire w2;
    w2.Bind();
    Bytes odd;
    AppendBare(odd, static_cast<PduType>(99), 3, 5);
    w2.Feed(odd);
    EXPECT_FALSE(w2.open);
  }
}

// ---------------------------------------------------------------------------
// NDR

// Stub bytes of each form in both byte orders.
TEST(Ndr, ReadsBothByteOrders) {
  struct Case {
    Bytes le, be;
  } cases[] = {
      // U8, pad, U16, U32 (aligned to 4), U64 (aligned to 8)
      {{0x01, 0, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12},
       {0x01, 0, 0x12, 0x34, 0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0}},
  };
  for (const auto& c : cases) {
    for (bool big : {false, true}) {
      NdrReader r(big ? c.be : c.le, big);
      EXPECT_EQ(r.U8(), 1);
      EXPECT_EQ(r.U16(), 0x1234);
      EXPECT_EQ(r.U32(), 0x12345678u);
      EXPECT_EQ(r.U64(), 0x123456789ABCDEF0ull);
      EXPECT_EQ(r.remaining(), 0u);
    }
  }
  // A string and a pair of longs, big-endian.
  Bytes be = {0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 3, 'h', 'i', 0, 0, 0, 0, 0, 2, 0, 0, 0, 1};
  NdrReader r(be, true);
  EXPECT_EQ(r.String(), "hi");
  EXPECT_EQ(r.LongPair(), 0x100000002ull);
}

TEST(Ndr, WriterLayoutAndRoundTrip) {
  NdrWriter w;
  w.U8(7);
  w.String("abc");
  w.U16(2);
  w.LongPair(0x1122334455667788ull);
  std::uint8_t id[16] = {1, 2, 3};
  w.Fixed(id, 16);
  w.VaryingBytes("xy", 2);
  w.ConformantVaryingBytes("z", 10, 1);
  std::uint32_t longs[] = {5, 6};
  w.ConformantLongs(longs);
  // The string's counts start aligned after the byte: offset 4.
  EXPECT_EQ(w.data()[4], 4);
  NdrReader r(w.data(), false);
  EXPECT_EQ(r.U8(), 7);
  EXPECT_EQ(r.String(), "abc");
  EXPECT_EQ(r.U16(), 2);
  EXPECT_EQ(r.LongPair(), 0x1122334455667788ull);
  std::uint8_t back[16];
  r.Fixed(back, 16);
  EXPECT_EQ(std::memcmp(id, back, 16), 0);
  EXPECT_EQ(r.VaryingBytes(32768).size(), 2u);
  EXPECT_EQ(r.ConformantVaryingBytes().size(), 1u);
  EXPECT_EQ(r.ConformantLongs(2), std::vector<std::uint32_t>({5, 6}));
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(Ndr, MalformedInputThrows) {
  struct Case {
    const char* name;
    Bytes data;
    std::function<void(NdrReader&)> read;
  } cases[] = {
      {"short long", {1, 2, 3}, [](NdrReader& r) { r.U32(); }},
      {"string offset", {2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 'a', 0}, [](NdrReader& r) { r.String(); }},
      {"string without NUL", {2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 'a', 'b'}, [](NdrReader& r) { r.String(); }},
      {"string actual above max", {1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 'a', 0}, [](NdrReader& r) { r.String(); }},
      {"empty string counts", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, [](NdrReader& r) { r.String(); }},
      {"huge string", {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, [](NdrReader& r) { r.String(); }},
      {"conformance mismatch", {3, 0, 0, 0, 1, 2, 3}, [](NdrReader& r) { r.ConformantBytes(2); }},
      {"huge longs", {0xFF, 0xFF, 0xFF, 0x3F}, [](NdrReader& r) { r.ConformantLongs(0x3FFFFFFF); }},
      {"varying over capacity", {0, 0, 0, 0, 9, 0, 0, 0}, [](NdrReader& r) { r.VaryingBytes(8); }},
      {"varying short", {0, 0, 0, 0, 9, 0, 0, 0, 1}, [](NdrReader& r) { r.VaryingBytes(32768); }},
      {"padding missing",
       {1},
       [](NdrReader& r) {
         r.U8();
         r.Align(4);
       }},
  };
  for (const auto& c : cases) {
    NdrReader r(c.data, false);
    EXPECT_THROW(c.read(r), NdrError) << c.name;
  }
}

// ---------------------------------------------------------------------------
// Runtime over TCP

std::string PortText(const Server& s) {
  return std::to_string(s.ports().at(0));
}

struct Binding {
  RPC_BINDING_HANDLE h = nullptr;
  explicit Binding(const std::string& port, const char* host = "127.0.0.1") {
    char* sb = nullptr;
    EXPECT_EQ(RpcStringBindingCompose(nullptr, "ncacn_ip_tcp", host, port.c_str(), nullptr, &sb), RPC_S_OK);
    EXPECT_EQ(RpcBindingFromStringBinding(sb, &h), RPC_S_OK);
    RpcStringFree(&sb);
  }
  ~Binding() {
    if (h) RpcBindingFree(&h);
  }
  RPC_STATUS Call(std::uint16_t op, const Bytes& req, Bytes& reply, const InterfaceSpec& spec = TestSpec()) {
    bool big = true;
    return vantrel::rpc::Call(h, spec, op, req, reply, big);
  }
  std::uint64_t Association() {
    Bytes reply;
    EXPECT_EQ(Call(2, {}, reply), RPC_S_OK);
    NdrReader r(reply, false);
    return r.LongPair();
  }
};

struct TestServer {
  Server server;
  explicit TestServer(unsigned min_threads = 2, unsigned max_calls = 40, const char* endpoint = "0") {
    EXPECT_EQ(server.UseEndpoint(endpoint, max_calls), RPC_S_OK);
    EXPECT_EQ(server.RegisterIf(TestSpec()), RPC_S_OK);
    EXPECT_EQ(server.Listen(min_threads, max_calls), RPC_S_OK);
  }
  std::string port() const { return PortText(server); }
};

TEST(Runtime, CallsSmallAndLargeBothWays) {
  TestServer s;
  Binding b(s.port());
  for (size_t n : {0, 1, 100, 70000, 300000}) {
    Bytes reply;
    ASSERT_EQ(b.Call(0, EchoStub(Pattern(n, 5)), reply), RPC_S_OK) << n;
    EXPECT_EQ(reply, EchoStub(Pattern(n, 5)));
  }
  NdrWriter w;
  w.String("text");
  w.U16(9);
  w.LongPair(41);
  Bytes reply;
  ASSERT_EQ(b.Call(4, w.data(), reply), RPC_S_OK);
  NdrReader r(reply, false);
  EXPECT_EQ(r.String(), "text!");
  EXPECT_EQ(r.U16(), 9);
  EXPECT_EQ(r.LongPair(), 42u);
}

// A client that sends many requests before reading any answer: each call
// is answered once, in the order sent, whichever thread runs it.
TEST(Runtime, PipelinedCallsAreAnsweredInOrder) {
  TestServer s(4, 8);
  Socket sock;
  ASSERT_EQ(ConnectTcp("127.0.0.1", s.port(), 5000, sock), RPC_S_OK);
  auto read_pdu = [&](Bytes& pdu) {
    pdu.resize(kHeaderSize);
    if (RecvAll(sock, pdu.data(), kHeaderSize, 10000) != IoResult::kOk) return false;
    auto h = ParseHeader(pdu);
    if (!h || h->frag_length < kHeaderSize) return false;
    pdu.resize(h->frag_length);
    return RecvAll(sock, pdu.data() + kHeaderSize, h->frag_length - kHeaderSize, 10000) == IoResult::kOk;
  };
  Bytes bind = BindPdu({{0, kTestIf, {kNdrSyntax}}}), pdu;
  ASSERT_EQ(SendAll(sock, bind.data(), bind.size()), IoResult::kOk);
  ASSERT_TRUE(read_pdu(pdu));
  ASSERT_EQ(ParseHeader(pdu)->type, PduType::kBindAck);
  // Sizes up to two fragments, so reads also end inside a PDU.
  constexpr std::uint32_t kCalls = 300;
  auto size = [](std::uint32_t i) { return static_cast<size_t>((i * 977) % 9000); };
  std::thread sender([&] {
    for (std::uint32_t i = 0; i < kCalls; ++i) {
      Bytes request = Request(100 + i, 0, EchoStub(Pattern(size(i), static_cast<int>(i))));
      if (SendAll(sock, request.data(), request.size()) != IoResult::kOk) return;
    }
  });
  for (std::uint32_t i = 0; i < kCalls; ++i) {
    std::vector<Bytes> fragments;
    do {
      ASSERT_TRUE(read_pdu(pdu)) << i;
      fragments.push_back(pdu);
      ASSERT_EQ(ParseHeader(pdu)->call_id, 100 + i);
    } while (!(ParseHeader(pdu)->flags & PFC_LAST_FRAG));
    ASSERT_EQ(ResponseStub(fragments), EchoStub(Pattern(size(i), static_cast<int>(i)))) << i;
  }
  sender.join();
}

TEST(Runtime, AssociationPerConnection) {
  TestServer s;
  Binding a(s.port()), b(s.port());
  std::uint64_t id = a.Association();
  EXPECT_NE(id, 0u);
  EXPECT_EQ(a.Association(), id);
  EXPECT_NE(b.Association(), id);
}

TEST(Runtime, FaultsAndRefusalsReachTheCaller) {
  TestServer s;
  Binding b(s.port());
  Bytes reply;
  EXPECT_EQ(b.Call(5, {}, reply), RPC_S_PROCNUM_OUT_OF_RANGE);
  EXPECT_EQ(b.Call(0, {1, 0, 0, 0}, reply), RPC_X_BAD_STUB_DATA);
  InterfaceSpec other = TestSpec();
  other.uuid = kOtherUuid;
  EXPECT_EQ(b.Call(0, {}, reply, other), RPC_S_UNKNOWN_IF);  // by alter_context
  Binding fresh(s.port());
  EXPECT_EQ(fresh.Call(0, {}, reply, other), RPC_S_UNKNOWN_IF);  // by bind
  // The association still serves the interface.
  EXPECT_EQ(b.Call(0, EchoStub({1, 2}), reply), RPC_S_OK);
  EXPECT_EQ(fresh.Call(0, EchoStub({1, 2}), reply), RPC_S_OK);
}

TEST(Runtime, EndpointErrors) {
  TestServer s;
  Server second;
  EXPECT_EQ(second.UseEndpoint(s.port().c_str(), 10), RPC_S_DUPLICATE_ENDPOINT);
  EXPECT_EQ(second.UseEndpoint("50x", 10), RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(second.UseEndpoint("70000", 10), RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(second.Listen(1, 10), RPC_S_NO_PROTSEQS_REGISTERED);
  EXPECT_EQ(s.server.Listen(1, 10), RPC_S_ALREADY_LISTENING);
  EXPECT_EQ(s.server.RegisterIf(TestSpec()), RPC_S_ALREADY_REGISTERED);
  EXPECT_EQ(RpcServerUseProtseqEp("ncacn_np", 10, "5002", nullptr), RPC_S_PROTSEQ_NOT_SUPPORTED);

  // Nobody listens on a port we just closed.
  std::string closed;
  {
    Server gone;
    gone.UseEndpoint("0", 1);
    closed = PortText(gone);
  }
  Binding b(closed);
  Bytes reply;
  EXPECT_EQ(b.Call(0, EchoStub({}), reply), RPC_S_SERVER_UNAVAILABLE);
}

TEST(Runtime, ReconnectsAfterTheServerRestarts) {
  std::string port;
  std::uint64_t first = 0;
  auto s1 = std::make_unique<TestServer>();
  port = s1->port();
  Binding b(port);
  first = b.Association();
  s1.reset();
  Bytes reply;
  // No server: the call fails, the binding stays usable.
  EXPECT_EQ(b.Call(0, EchoStub({}), reply), RPC_S_SERVER_UNAVAILABLE);
  TestServer s2(2, 40, port.c_str());
  std::uint64_t second = b.Association();
  EXPECT_NE(second, first);
  // The server ends the connection between two calls: a new association.
  TestServer s3;
  std::string p3 = s3.port();
  Binding c(p3);
  std::uint64_t before = c.Association();
  s3.server.Stop();
  ASSERT_EQ(s3.server.UseEndpoint(p3.c_str(), 10), RPC_S_OK);
  ASSERT_EQ(s3.server.Listen(1, 10), RPC_S_OK);
  EXPECT_NE(c.Association(), before);
}

TEST(Runtime, BrokenConnectionInACallAndTimeOut) {
  TestServer s;
  Binding b(s.port());
  Bytes reply;
  ASSERT_EQ(RpcMgmtSetComTimeout(b.h, 11), RPC_S_INVALID_TIMEOUT);
  ASSERT_EQ(RpcMgmtSetComTimeout(b.h, 0), RPC_S_OK);  // one second
  NdrWriter slow;
  slow.U32(1500);
  EXPECT_EQ(b.Call(3, slow.data(), reply), RPC_S_COMM_FAILURE);
  // The next call makes a new association.
  EXPECT_EQ(b.Call(0, EchoStub({3}), reply), RPC_S_OK);

  ASSERT_EQ(RpcMgmtSetComTimeout(b.h, 9), RPC_S_OK);
  NdrWriter w;
  w.U32(400);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s.server.Stop();
  });
  EXPECT_EQ(b.Call(3, w.data(), reply), RPC_S_CALL_FAILED);
  stopper.join();
}

TEST(Runtime, CallThreadPoolIsBounded) {
  TestServer s(1, 3);
  EXPECT_GE(s.server.call_threads(), 1u);
  g_max_running = 0;
  std::vector<std::thread> clients;
  std::atomic<int> ok{0};
  for (int i = 0; i < 8; ++i)
    clients.emplace_back([&] {
      Binding b(s.port());
      NdrWriter w;
      w.U32(50);
      Bytes reply;
      if (b.Call(3, w.data(), reply) == RPC_S_OK) ++ok;
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(ok, 8);  // calls beyond the bound waited, none was refused
  EXPECT_LE(g_max_running, 3);
  EXPECT_LE(s.server.call_threads(), 3u);
}

TEST(Runtime, PublishedServerNames) {
  std::string port;
  {
    Server probe;
    probe.UseEndpoint("0", 1);
    port = PortText(probe);
  }
  InterfaceSpec spec = TestSpec();
  int dummy = 0;
  EXPECT_EQ(RpcServerRegisterIf(&spec, &dummy, nullptr), RPC_S_INVALID_ARG);
  ASSERT_EQ(RpcServerUseProtseqEp("ncacn_ip_tcp", 10, port.c_str(), nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerRegisterIf(&spec, nullptr, nullptr), RPC_S_OK);
  ASSERT_EQ(RpcServerListen(2, 10, 1), RPC_S_OK);
  setenv("ZEL_RPC_ENDPOINT", port.c_str(), 1);
  {
    // No endpoint in the string binding: the default, here overridden.
    RPC_BINDING_HANDLE h = nullptr;
    ASSERT_EQ(RpcBindingFromStringBinding("ncacn_ip_tcp:localhost", &h), RPC_S_OK);
    Bytes reply;
    bool big = true;
    EXPECT_EQ(Call(h, spec, 0, EchoStub({9, 8}), reply, big), RPC_S_OK);
    EXPECT_FALSE(big);
    EXPECT_EQ(reply, EchoStub({9, 8}));
    RpcBindingFree(&h);
    EXPECT_EQ(h, nullptr);
  }
  std::thread waiter([] { EXPECT_EQ(RpcMgmtWaitServerListen(), RPC_S_OK); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
  waiter.join();
  EXPECT_EQ(DefaultEndpoint(), port);
  unsetenv("ZEL_RPC_ENDPOINT");
  EXPECT_EQ(DefaultEndpoint(), "5002");
}

TEST(Runtime, StringBindings) {
  struct Compose {
    const char *obj, *addr, *ep, *opt, *want;
  } composes[] = {
      {nullptr, "srv", "5002", nullptr, "ncacn_ip_tcp:srv[5002]"},
      {"e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6", "10.0.0.1", "5002", "x=y",
       "e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6@ncacn_ip_tcp:10.0.0.1[5002,x=y]"},
      {nullptr, "srv", nullptr, nullptr, "ncacn_ip_tcp:srv"},
  };
  for (const auto& c : composes) {
    char* s = nullptr;
    ASSERT_EQ(RpcStringBindingCompose(c.obj, "ncacn_ip_tcp", c.addr, c.ep, c.opt, &s), RPC_S_OK);
    EXPECT_STREQ(s, c.want);
    RPC_BINDING_HANDLE h = nullptr;
    EXPECT_EQ(RpcBindingFromStringBinding(s, &h), RPC_S_OK) << s;
    RpcBindingFree(&h);
    RpcStringFree(&s);
    EXPECT_EQ(s, nullptr);
  }
  struct Parse {
    const char* text;
    RPC_STATUS want;
  } parses[] = {
      {"ncacn_ip_tcp:host[5002]", RPC_S_OK},
      {"ncacn_ip_tcp:host[endpoint=6000]", RPC_S_OK},
      {"ncacn_np:host[\\pipe\\x]", RPC_S_PROTSEQ_NOT_SUPPORTED},
      {"host[5002]", RPC_S_INVALID_STRING_BINDING},
      {"ncacn_ip_tcp:host[5002", RPC_S_INVALID_STRING_BINDING},
      {"ncacn_ip_tcp:host[abc]", RPC_S_INVALID_ENDPOINT_FORMAT},
      {"nonsense@ncacn_ip_tcp:host[5002]", RPC_S_INVALID_STRING_UUID},
  };
  for (const auto& p : parses) {
    RPC_BINDING_HANDLE h = nullptr;
    EXPECT_EQ(RpcBindingFromStringBinding(p.text, &h), p.want) << p.text;
    if (h) RpcBindingFree(&h);
  }
}

TEST(Runtime, ObjectUuidTravelsWithRequests) {
  GUID seen{};
  InterfaceSpec spec = TestSpec();
  spec.dispatch = [&](const CallInfo& info, NdrReader&, NdrWriter&) {
    if (info.has_object) seen = info.object;
    return RPC_S_OK;
  };
  Server s;
  ASSERT_EQ(s.UseEndpoint("0", 4), RPC_S_OK);
  ASSERT_EQ(s.RegisterIf(spec), RPC_S_OK);
  ASSERT_EQ(s.Listen(1, 4), RPC_S_OK);
  std::string text = "12345678-1234-abcd-ef00-0123456789ab@ncacn_ip_tcp:127.0.0.1[" + PortText(s) + "]";
  RPC_BINDING_HANDLE h = nullptr;
  ASSERT_EQ(RpcBindingFromStringBinding(text.c_str(), &h), RPC_S_OK);
  Bytes reply;
  bool big = false;
  EXPECT_EQ(Call(h, spec, 1, {}, reply, big), RPC_S_OK);
  EXPECT_EQ(seen, kOtherUuid);
  RpcBindingFree(&h);
}

TEST(Runtime, StatusNames) {
  struct Case {
    RPC_STATUS code;
    const char* name;
  } cases[] = {
      {RPC_S_SERVER_UNAVAILABLE, "RPC_S_SERVER_UNAVAILABLE"},
      {RPC_S_CALL_FAILED, "RPC_S_CALL_FAILED"},
      {RPC_S_CALL_FAILED_DNE, "RPC_S_CALL_FAILED_DNE"},
      {RPC_X_BAD_STUB_DATA, "RPC_X_BAD_STUB_DATA"},
      {WSAECONNREFUSED, "WSAECONNREFUSED"},
      {static_cast<RPC_STATUS>(nca_s_op_rng_error), "nca_s_op_rng_error"},
      {static_cast<RPC_STATUS>(nca_s_fault_unspec), "nca_s_fault_unspec"},
      {static_cast<RPC_STATUS>(0x80040102), nullptr},  // a MAPI code, not an RPC status
      {0x0000FFFE, nullptr},
  };
  for (const auto& c : cases) {
    const char* got = RpcStatusName(c.code);
    if (c.name)
      EXPECT_STREQ(got, c.name);
    else
      EXPECT_EQ(got, nullptr);
  }
}

// ---------------------------------------------------------------------------
// Load

size_t CountEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST(Load, FortyClientsInParallel) {
  constexpr int kClients = 40;
  const int calls = std::getenv("VANTREL_RPC_LOAD_CALLS") ? std::atoi(std::getenv("VANTREL_RPC_LOAD_CALLS")) : 1000;
  size_t fds_before = CountEntries("/proc/self/fd"), threads_before = CountEntries("/proc/self/task");
  {
    TestServer s(10, 40);
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
      clients.emplace_back([&, c] {
        Binding b(s.port());
        for (int i = 0; i < calls; ++i) {
          Bytes req = EchoStub(Pattern(static_cast<size_t>((c * 37 + i) % 300), c)), reply;
          if (b.Call(0, req, reply) == RPC_S_OK && reply == req) ++answered;
        }
      });
    for (auto& t : clients) t.join();
    EXPECT_EQ(answered, kClients * calls);
    EXPECT_LE(s.server.call_threads(), 40u);
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds_before);
  EXPECT_EQ(CountEntries("/proc/self/task"), threads_before);
}

}  // namespace
}  // namespace vantrel::rpc
