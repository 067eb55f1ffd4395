#include "platform/mapi/pst/Message.h"


namespace vantrel::mapi::pst {
namespace {

void PutMap(Bytes& o, const PropMap& m) {
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) o.push_back(static_cast<BYTE>(v >> (8 * i)));
  };
  u32(static_cast<uint32_t>(m.size()));
  for (const auto& [id, v] : m) {
    u32(id);
    u32(v.first);
    u32(static_cast<uint32_t>(v.second.size()));
    o.insert(o.end(), v.second.begin(), v.second.end());
  }
}

// Reads what EncodeMessage wrote, checking every count against the bytes left.
class ImageReader {
 public:
  explicit ImageReader(const Bytes& b) : p_(b.data()), n_(b.size()) {}
  bool U32(uint32_t& v) {
    if (n_ < 4) return false;
    v = p_[0] | (p_[1] << 8) | (p_[2] << 16) | (static_cast<uint32_t>(p_[3]) << 24);
    p_ += 4;
    n_ -= 4;
    return true;
  }
  bool Map(PropMap& m) {
    uint32_t c;
    if (!U32(c) || c > n_ / 12) return false;
    for (uint32_t i = 0; i < c; ++i) {
      uint32_t id, type, len;
      if (!U32(id) || !U32(type) || !U32(len) || len > n_) return false;
      m[id] = {type, Bytes(p_, p_ + len)};
      p_ += len;
      n_ -= len;
    }
    return true;
  }
  size_t left() const { return n_; }

 private:
  const BYTE* p_;
  size_t n_;
};

}  // namespace

Bytes EncodeMessage(const PropMap& props, const std::map<ULONG, PropMap>& attach, const std::vector<PropMap>& recips) {
  Bytes o;
  PutMap(o, props);
  for (int i = 0; i < 4; ++i) o.push_back(static_cast<BYTE>(attach.size() >> (8 * i)));
  for (const auto& [num, m] : attach) {
    for (int i = 0; i < 4; ++i) o.push_back(static_cast<BYTE>(num >> (8 * i)));
    PutMap(o, m);
  }
  for (int i = 0; i < 4; ++i) o.push_back(static_cast<BYTE>(recips.size() >> (8 * i)));
  for (const auto& m : recips) PutMap(o, m);
  return o;
}

bool DecodeMessage(const Bytes& image, PropMap& props, std::map<ULONG, PropMap>& attach, std::vector<PropMap>& recips) {
  ImageReader r(image);
  uint32_t c;
  if (!r.Map(props) || !r.U32(c) || c > r.left() / 8) return false;
  for (uint32_t i = 0; i < c; ++i) {
    uint32_t num;
    PropMap m;
    if (!r.U32(num) || !r.Map(m)) return false;
    attach[num] = std::move(m);
  }
  if (!r.U32(c) || c > r.left() / 4) return false;
  for (uint32_t i = 0; i < c; ++i) {
    PropMap m;
    if (!r.Map(m)) return false;
    recips.push_back(std::move(m));
  }
  return r.left() == 0;
}

HRESULT Attach::OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) {
  if (!iid || !out || PROP_ID(tag) != PROP_ID(PR_ATTACH_DATA_OBJ) || *iid != IID_IMessage)
    return PropObject::OpenProperty(tag, iid, options, flags, out);
  *out = nullptr;
  bool create = flags & MAPI_CREATE, modify = flags & (MAPI_MODIFY | MAPI_CREATE);
  if (modify && !writable_) return MAPI_E_NO_ACCESS;
  Bytes image;
  {
    MutexLock g(mu_);
    PropMap all = Snapshot();
    auto it = all.find(PROP_ID(PR_ATTACH_DATA_OBJ));
    if (!create) {
      if (it == all.end() || BareType(it->second.first) != PT_OBJECT) return MAPI_E_NOT_FOUND;
      ValueRef r;
      if (!IsRef(it->second.first))
        image = it->second.second;
      else if (!DecodeRef(it->second.second, r) || !Materialize(*db_, r, false, image))
        return MAPI_E_CORRUPT_DATA;
    }
  }
  vantrel::ComPtr<Attach> self(this);
  auto* m = new (std::nothrow) Message(db_, 0, 0, false, image.empty(), modify);
  if (!m) return MAPI_E_NOT_ENOUGH_MEMORY;
  m->Embed(image, [self](Bytes b) { return self->PutStored(PROP_ID(PR_ATTACH_DATA_OBJ), PT_OBJECT, std::move(b)); });
  *out = static_cast<IMessage*>(m);
  return S_OK;
}

void Attach::Staged(int64_t blob) {
  msg_->Staged(blob);
}
bool Attach::Chunked() {
  return msg_->Chunked();
}

HRESULT Attach::SaveChanges(ULONG) {
  if (!writable_) return MAPI_E_NO_ACCESS;
  PropMap next;
  {
    MutexLock g(mu_);
    next = base_;
    for (ULONG id : deleted_) next.erase(id);
    for (const auto& [id, v] : pending_) next[id] = v;
    base_ = next;
    pending_.clear();
    deleted_.clear();
  }
  msg_->PutAttach(num_, std::move(next));
  return S_OK;
}
}  // namespace vantrel::mapi::pst
