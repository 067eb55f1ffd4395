#include "platform/rpc/Pdu.h"

#include <algorithm>
#include <cstring>

namespace vantrel::rpc {

const SyntaxId kNdrSyntax{{0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, 2, 0};
const SyntaxId kNdr64Syntax{{0x71710533, 0xbeba, 0x4937, {0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36}}, 1, 0};

bool IsFeatureNegotiation(const SyntaxId& s, std::uint16_t& features) {
  // 6cb71c2c-9812-4540-XXXX-XXXXXXXXXXXX: the last eight bytes carry the
  // feature bits, little-endian.
  if (s.uuid.Data1 != 0x6cb71c2c || s.uuid.Data2 != 0x9812 || s.uuid.Data3 != 0x4540) return false;
  features = static_cast<std::uint16_t>(s.uuid.Data4[0] | (s.uuid.Data4[1] << 8));
  return true;
}

namespace {

// Reads fields of one PDU in the sender's byte order. Offsets are relative
// to the start of the PDU, as the protocol's alignment rules are.
class Cursor {
 public:
  Cursor(std::span<const std::uint8_t> d, bool big) : d_(d), big_(big) {}
  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  size_t remaining() const { return ok_ ? d_.size() - pos_ : 0; }
  void Skip(size_t n) {
    if (!Need(n)) return;
    pos_ += n;
  }
  void Align(size_t n) { Skip((n - pos_ % n) % n); }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Read(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Read(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Read(4)); }
  GUID Uuid() {
    GUID g{};
    g.Data1 = U32();
    g.Data2 = U16();
    g.Data3 = U16();
    if (Need(8)) {
      std::memcpy(g.Data4, d_.data() + pos_, 8);
      pos_ += 8;
    }
    return g;
  }
  SyntaxId Syntax() {
    SyntaxId s;
    s.uuid = Uuid();
    std::uint32_t v = U32();
    s.major = static_cast<std::uint16_t>(v & 0xFFFF);
    s.minor = static_cast<std::uint16_t>(v >> 16);
    return s;
  }
  std::span<const std::uint8_t> Rest() {
    if (!ok_) return {};
    auto s = d_.subspan(pos_);
    pos_ = d_.size();
    return s;
  }
  std::span<const std::uint8_t> Bytes(size_t n) {
    if (!Need(n)) return {};
    auto s = d_.subspan(pos_, n);
    pos_ += n;
    return s;
  }

 private:
  bool Need(size_t n) {
    if (!ok_ || n > d_.size() - pos_) ok_ = false;
    return ok_;
  }
  std::uint32_t Read(int n) {
    if (!Need(static_cast<size_t>(n))) return 0;
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      std::uint32_t b = d_[pos_ + static_cast<size_t>(i)];
      v |= big_ ? b << (8 * (n - 1 - i)) : b << (8 * i);
    }
    pos_ += static_cast<size_t>(n);
    return v;
  }
  std::span<const std::uint8_t> d_;
  size_t pos_ = 0;
  bool ok_ = true;
  bool big_;
};

// Little-endian writer of one PDU; the fragment length is patched at End.
class Builder {
 public:
  Builder(std::vector<std::uint8_t>& out, PduType type, std::uint8_t flags, std::uint32_t call_id)
      : out_(out), start_(out.size()) {
    const std::uint8_t head[] = {5, 0, static_cast<std::uint8_t>(type), flags, 0x10, 0, 0, 0};
    out_.insert(out_.end(), head, head + 8);
    U16(0);  // fragment length, patched
    U16(0);  // no authentication
    U32(call_id);
  }
  void U8(std::uint8_t v) { out_.push_back(v); }
  void U16(std::uint16_t v) {
    out_.push_back(static_cast<std::uint8_t>(v));
    out_.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void Uuid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    out_.insert(out_.end(), g.Data4, g.Data4 + 8);
  }
  void Syntax(const SyntaxId& s) {
    Uuid(s.uuid);
    U16(s.major);
    U16(s.minor);
  }
  void Bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void Align(size_t n) {
    while ((out_.size() - start_) % n) out_.push_back(0);
  }
  void End() {
    size_t len = out_.size() - start_;
    out_[start_ + 8] = static_cast<std::uint8_t>(len);
    out_[start_ + 9] = static_cast<std::uint8_t>(len >> 8);
  }

 private:
  std::vector<std::uint8_t>& out_;
  size_t start_;
};

// A cursor over the body of a PDU whose header was already accepted.
std::optional<Cursor> BodyCursor(std::span<const std::uint8_t> pdu, PduHeader& h) {
  auto parsed = ParseHeader(pdu);
  if (!parsed || parsed->frag_length > pdu.size()) return std::nullopt;
  h = *parsed;
  Cursor c(pdu.first(h.frag_length), h.big_endian());
  c.Skip(kHeaderSize);
  return c;
}

void AppendFragments(std::vector<std::uint8_t>& out, PduType type, std::uint32_t call_id, std::uint16_t context_id,
                     std::uint16_t opnum, const GUID* object, std::span<const std::uint8_t> stub,
                     std::uint16_t max_frag) {
  auto plan = PlanFragments(type, call_id, context_id, opnum, object, stub.size(), max_frag);
  out.reserve(out.size() + stub.size() + plan.size() * (kRequestHeaderSize + 16));
  for (const auto& f : plan) {
    out.insert(out.end(), f.head, f.head + f.head_size);
    out.insert(out.end(), stub.begin() + static_cast<std::ptrdiff_t>(f.offset),
               stub.begin() + static_cast<std::ptrdiff_t>(f.offset + f.length));
  }
}

}  // namespace

std::optional<PduHeader> ParseHeader(std::span<const std::uint8_t> pdu) {
  if (pdu.size() < kHeaderSize) return std::nullopt;
  PduHeader h;
  h.version = pdu[0];
  h.minor = pdu[1];
  h.type = static_cast<PduType>(pdu[2]);
  h.flags = pdu[3];
  std::memcpy(h.drep, pdu.data() + 4, 4);
  Cursor c(pdu.subspan(8, 8), h.big_endian());
  h.frag_length = c.U16();
  h.auth_length = c.U16();
  h.call_id = c.U32();
  if (h.version != 5 || h.minor > 1 || h.frag_length < kHeaderSize) return std::nullopt;
  return h;
}

std::optional<BindBody> ParseBind(std::span<const std::uint8_t> pdu) {
  PduHeader h;
  auto c = BodyCursor(pdu, h);
  if (!c) return std::nullopt;
  BindBody b;
  b.max_xmit = c->U16();
  b.max_recv = c->U16();
  b.assoc_group = c->U32();
  std::uint8_t n = c->U8();
  c->Skip(3);
  // Each element takes at least 44 bytes: check before reserving.
  if (!c->ok() || static_cast<size_t>(n) * 44 > c->remaining()) return std::nullopt;
  b.contexts.reserve(n);
  for (std::uint8_t i = 0; i < n; ++i) {
    ContextElement e;
    e.context_id = c->U16();
    std::uint8_t nt = c->U8();
    c->Skip(1);
    e.abstract = c->Syntax();
    if (!c->ok() || nt == 0 || static_cast<size_t>(nt) * 20 > c->remaining()) return std::nullopt;
    e.transfers.reserve(nt);
    for (std::uint8_t t = 0; t < nt; ++t) e.transfers.push_back(c->Syntax());
    b.contexts.push_back(std::move(e));
  }
  if (!c->ok()) return std::nullopt;
  return b;
}

std::optional<BindAckBody> ParseBindAck(std::span<const std::uint8_t> pdu) {
  PduHeader h;
  auto c = BodyCursor(pdu, h);
  if (!c) return std::nullopt;
  BindAckBody b;
  b.max_xmit = c->U16();
  b.max_recv = c->U16();
  b.assoc_group = c->U32();
  std::uint16_t len = c->U16();
  auto addr = c->Bytes(len);
  if (!c->ok()) return std::nullopt;
  b.secondary_address.assign(addr.begin(), addr.end());
  if (!b.secondary_address.empty() && b.secondary_address.back() == '\0') b.secondary_address.pop_back();
  c->Align(4);
  std::uint8_t n = c->U8();
  c->Skip(3);
  if (!c->ok() || static_cast<size_t>(n) * 24 > c->remaining()) return std::nullopt;
  for (std::uint8_t i = 0; i < n; ++i) {
    ContextResult r;
    r.result = c->U16();
    r.reason = c->U16();
    r.transfer = c->Syntax();
    b.results.push_back(r);
  }
  if (!c->ok()) return std::nullopt;
  return b;
}

std::optional<std::uint16_t> ParseBindNak(std::span<const std::uint8_t> pdu) {
  PduHeader h;
  auto c = BodyCursor(pdu, h);
  if (!c) return std::nullopt;
  std::uint16_t reason = c->U16();
  if (!c->ok()) return std::nullopt;
  return reason;
}

std::optional<RequestBody> ParseRequest(std::span<const std::uint8_t> pdu) {
  PduHeader h;
  auto c = BodyCursor(pdu, h);
  if (!c || h.auth_length != 0) return std::nullopt;
  RequestBody r;
  r.alloc_hint = c->U32();
  r.context_id = c->U16();
  r.opnum = c->U16();
  if (h.flags & PFC_OBJECT_UUID) {
    r.has_object = true;
    r.object = c->Uuid();
  }
  r.stub = c->Rest();
  if (!c->ok()) return std::nullopt;
  return r;
}

std::optional<ResponseBody> ParseResponse(std::span<const std::uint8_t> pdu) {
  PduHeader h;
  auto c = BodyCursor(pdu, h);
  if (!c || h.auth_length != 0) return std::nullopt;
  ResponseBody r;
  r.alloc_hint = c->U32();
  r.context_id = c->U16();
  r.cancel_count = c->U8();
  c->Skip(1);
  r.stub = c->Rest();
  if (!c->ok()) return std::nullopt;
  return r;
}

std::optional<FaultBody> ParseFault(std::span<const std::uint8_t> pdu) {
  PduHeader h;
  auto c = BodyCursor(pdu, h);
  if (!c) return std::nullopt;
  FaultBody f;
  c->U32();  // alloc hint
  f.context_id = c->U16();
  c->Skip(2);  // cancel count, reserved
  f.status = c->U32();
  if (!c->ok()) return std::nullopt;
  return f;
}

void AppendBind(std::vector<std::uint8_t>& out, PduType type, std::uint32_t call_id, const BindBody& body) {
  Builder b(out, type, PFC_FIRST_FRAG | PFC_LAST_FRAG, call_id);
  b.U16(body.max_xmit);
  b.U16(body.max_recv);
  b.U32(body.assoc_group);
  b.U8(static_cast<std::uint8_t>(body.contexts.size()));
  b.U8(0);
  b.U16(0);
  for (const auto& e : body.contexts) {
    b.U16(e.context_id);
    b.U8(static_cast<std::uint8_t>(e.transfers.size()));
    b.U8(0);
    b.Syntax(e.abstract);
    for (const auto& t : e.transfers) b.Syntax(t);
  }
  b.End();
}

void AppendBindAck(std::vector<std::uint8_t>& out, PduType type, std::uint32_t call_id, const BindAckBody& body) {
  Builder b(out, type, PFC_FIRST_FRAG | PFC_LAST_FRAG, call_id);
  b.U16(body.max_xmit);
  b.U16(body.max_recv);
  b.U32(body.assoc_group);
  if (body.secondary_address.empty()) {
    b.U16(0);
  } else {
    b.U16(static_cast<std::uint16_t>(body.secondary_address.size() + 1));
    b.Bytes({reinterpret_cast<const std::uint8_t*>(body.secondary_address.data()), body.secondary_address.size()});
    b.U8(0);
  }
  b.Align(4);
  b.U8(static_cast<std::uint8_t>(body.results.size()));
  b.U8(0);
  b.U16(0);
  for (const auto& r : body.results) {
    b.U16(r.result);
    b.U16(r.reason);
    b.Syntax(r.transfer);
  }
  b.End();
}

void AppendBindNak(std::vector<std::uint8_t>& out, std::uint32_t call_id, std::uint16_t reason) {
  Builder b(out, PduType::kBindNak, PFC_FIRST_FRAG | PFC_LAST_FRAG, call_id);
  b.U16(reason);
  b.U8(1);  // one supported protocol version: 5.0
  b.U8(5);
  b.U8(0);
  b.Align(4);
  b.End();
}

void AppendFault(std::vector<std::uint8_t>& out, std::uint32_t call_id, std::uint16_t context_id, std::uint32_t status,
                 bool did_not_execute) {
  std::uint8_t flags = PFC_FIRST_FRAG | PFC_LAST_FRAG;
  if (did_not_execute) flags |= PFC_DID_NOT_EXECUTE;
  Builder b(out, PduType::kFault, flags, call_id);
  b.U32(0);
  b.U16(context_id);
  b.U8(0);
  b.U8(0);
  b.U32(status);
  b.U32(0);
  b.End();
}

void AppendBare(std::vector<std::uint8_t>& out, PduType type, std::uint8_t flags, std::uint32_t call_id) {
  Builder b(out, type, flags, call_id);
  b.End();
}

void PlanFragments(std::vector<Fragment>& plan, PduType type, std::uint32_t call_id, std::uint16_t context_id,
                   std::uint16_t opnum, const GUID* object, size_t stub_size, std::uint16_t max_frag) {
  if (type != PduType::kRequest) object = nullptr;
  size_t head = kRequestHeaderSize + (object ? 16 : 0);
  // Stub bytes per fragment, a multiple of 8 so that every fragment but the
  // last keeps the stub's alignment.
  size_t room = (std::max<size_t>(max_frag, kMinFragment) - head) & ~size_t{7};
  plan.clear();
  plan.reserve(stub_size / room + 1);
  auto put16 = [](std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
  };
  auto put32 = [](std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  size_t offset = 0;
  do {
    size_t n = std::min(room, stub_size - offset);
    std::uint8_t flags = 0;
    if (offset == 0) flags |= PFC_FIRST_FRAG;
    if (offset + n == stub_size) flags |= PFC_LAST_FRAG;
    if (object) flags |= PFC_OBJECT_UUID;
    Fragment& f = plan.emplace_back();
    std::uint8_t* h = f.head;
    h[0] = 5;
    h[1] = 0;
    h[2] = static_cast<std::uint8_t>(type);
    h[3] = flags;
    h[4] = 0x10;  // little-endian, ASCII, IEEE
    h[5] = h[6] = h[7] = 0;
    put16(h + 8, static_cast<std::uint16_t>(head + n));
    put16(h + 10, 0);  // no authentication
    put32(h + 12, call_id);
    put32(h + 16, static_cast<std::uint32_t>(stub_size - offset));  // alloc hint: what remains
    put16(h + 20, context_id);
    if (type == PduType::kRequest) {
      put16(h + 22, opnum);
      if (object) {
        put32(h + 24, object->Data1);
        put16(h + 28, object->Data2);
        put16(h + 30, object->Data3);
        std::memcpy(h + 32, object->Data4, 8);
      }
    } else {
      h[22] = 0;  // cancel count
      h[23] = 0;
    }
    f.head_size = head;
    f.offset = offset;
    f.length = n;
    offset += n;
  } while (offset < stub_size);
}

std::vector<Fragment> PlanFragments(PduType type, std::uint32_t call_id, std::uint16_t context_id, std::uint16_t opnum,
                                    const GUID* object, size_t stub_size, std::uint16_t max_frag) {
  std::vector<Fragment> plan;
  PlanFragments(plan, type, call_id, context_id, opnum, object, stub_size, max_frag);
  return plan;
}

void AppendRequest(std::vector<std::uint8_t>& out, std::uint32_t call_id, std::uint16_t context_id, std::uint16_t opnum,
                   const GUID* object, std::span<const std::uint8_t> stub, std::uint16_t max_frag) {
  AppendFragments(out, PduType::kRequest, call_id, context_id, opnum, object, stub, max_frag);
}

void AppendResponse(std::vector<std::uint8_t>& out, std::uint32_t call_id, std::uint16_t context_id,
                    std::span<const std::uint8_t> stub, std::uint16_t max_frag) {
  AppendFragments(out, PduType::kResponse, call_id, context_id, 0, nullptr, stub, max_frag);
}

}  // namespace vantrel::rpc
