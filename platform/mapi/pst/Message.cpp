#include "platform/mapi/pst/Message.h"

#include "platform/base/ByteCoder.h"

namespace vantrel::mapi::pst {
namespace {

void PutMap(LeWriter& w, const PropMap& m) {
  w.U32(static_cast<uint32_t>(m.size()));
  for (const auto& [id, v] : m) {
    w.U32(id);
    w.U32(v.first);
    w.U32(static_cast<uint32_t>(v.second.size()));
    w.Bytes(v.second.data(), v.second.size());
  }
}

// Reads what PutMap wrote, checking every count against the bytes left.
bool GetMap(LeReader& r, PropMap& m) {
  uint32_t c;
  if (!r.U32(c) || !r.Need(c, 12)) return false;
  for (uint32_t i = 0; i < c; ++i) {
    uint32_t id, type, len;
    const BYTE* p = nullptr;
    if (!r.U32(id) || !r.U32(type) || !r.U32(len) || (len && !(p = r.Take(len)))) return false;
    m[id] = {type, p ? Bytes(p, p + len) : Bytes()};
  }
  return true;
}

}  // namespace

uint64_t SizeOf(const PropMap& m) {
  uint64_t n = 0;
  for (const auto& [id, v] : m)
    if (!IsComputedTag(id)) n += ValueSize(v) + 8;
  return n;
}

Bytes EncodeMessage(const PropMap& props, const std::map<ULONG, PropMap>& attach, const std::vector<PropMap>& recips) {
  Bytes o;
  LeWriter w(o);
  PutMap(w, props);
  w.U32(static_cast<uint32_t>(attach.size()));
  for (const auto& [num, m] : attach) {
    w.U32(num);
    PutMap(w, m);
  }
  w.U32(static_cast<uint32_t>(recips.size()));
  for (const auto& m : recips) PutMap(w, m);
  return o;
}

bool DecodeMessage(const Bytes& image, PropMap& props, std::map<ULONG, PropMap>& attach, std::vector<PropMap>& recips) {
  LeReader r(image);
  uint32_t c;
  if (!GetMap(r, props) || !r.U32(c) || !r.Need(c, 8)) return false;
  for (uint32_t i = 0; i < c; ++i) {
    uint32_t num;
    PropMap m;
    if (!r.U32(num) || !GetMap(r, m)) return false;
    attach[num] = std::move(m);
  }
  if (!r.U32(c) || !r.Need(c, 4)) return false;
  for (uint32_t i = 0; i < c; ++i) {
    PropMap m;
    if (!GetMap(r, m)) return false;
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
