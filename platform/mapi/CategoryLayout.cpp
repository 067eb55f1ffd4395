#include "platform/mapi/CategoryLayout.h"

#include <algorithm>
#include <cstring>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PropCodec.h"
#include "platform/mapi/Restriction.h"

namespace vantrel::mapi::table {
namespace {

constexpr size_t npos = static_cast<size_t>(-1);

// A heading's PR_INSTANCE_KEY: eight bytes, four 0xFF then the instance
// number. Entry IDs and row ids never have that shape.
void HeadingKey(ULONG instance, BYTE out[8]) {
  std::memset(out, 0xFF, 4);
  std::memcpy(out + 4, &instance, 4);
}
ULONG HeadingOfKey(ULONG cb, const BYTE* key) {
  static const BYTE ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  if (cb != 8 || !key || std::memcmp(key, ff, 4) != 0) return 0;
  ULONG n;
  std::memcpy(&n, key + 4, 4);
  return n;
}

int ComparePath(const SPropValue* a, const SPropValue* b) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  return CompareProps(*a, *b);
}

static constexpr ULONG kStateMagic = 0x31534356;  // "VCS1"
struct StateWriter {
  std::vector<BYTE> out;
  void U8(BYTE v) { out.push_back(v); }
  void U32(ULONG v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
  }
  void Bytes(const BYTE* p, size_t n) {
    U32(static_cast<ULONG>(n));
    out.insert(out.end(), p, p + n);
  }
  bool Path(const std::vector<const SPropValue*>& path) {
    U32(static_cast<ULONG>(path.size()));
    for (const SPropValue* v : path) {
      U8(v ? 1 : 0);
      if (!v) continue;
      auto enc = EncodeProp(*v);
      if (!enc) return false;
      U32(v->ulPropTag);
      Bytes(enc->data(), enc->size());
    }
    return true;
  }
};
// Reads what StateWriter wrote, checking every count against the bytes left.
struct StateReader {
  const BYTE* p;
  size_t left;
  StateReader(const BYTE* data, size_t n) : p(data), left(n) {}
  size_t Left() const { return left; }
  bool U8(BYTE& v) {
    if (left < 1) return false;
    v = *p++;
    --left;
    return true;
  }
  bool U32(ULONG& v) {
    if (left < 4) return false;
    v = static_cast<ULONG>(p[0]) | static_cast<ULONG>(p[1]) << 8 | static_cast<ULONG>(p[2]) << 16 |
        static_cast<ULONG>(p[3]) << 24;
    p += 4;
    left -= 4;
    return true;
  }
  bool Bytes(std::vector<BYTE>& out) {
    ULONG n = 0;
    if (!U32(n) || n > left) return false;
    out.assign(p, p + n);
    p += n;
    left -= n;
    return true;
  }
  bool Path(void* root, ULONG max_levels, std::vector<const SPropValue*>& path) {
    ULONG n = 0;
    if (!U32(n) || n == 0 || n > max_levels) return false;
    for (ULONG i = 0; i < n; ++i) {
      BYTE present = 0;
      if (!U8(present)) return false;
      if (!present) {
        path.push_back(nullptr);
        continue;
      }
      ULONG tag = 0;
      std::vector<BYTE> bytes;
      void* mem = nullptr;
      if (!U32(tag) || !Bytes(bytes) || MAPIAllocateMore(sizeof(SPropValue), root, &mem) != S_OK) return false;
      auto* v = static_cast<SPropValue*>(mem);
      if (FAILED(DecodeProp(tag, StoredType(PROP_TYPE(tag)), bytes, root, *v))) return false;
      path.push_back(v);
    }
    return true;
  }
};

}  // namespace

bool PathLess::operator()(const Path& a, const Path& b) const {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (int c = ComparePath(a[i], b[i])) return c < 0;
  return a.size() < b.size();
}

void CategoryLayout::Reset(ULONG categories, ULONG expanded) {
  categories_ = categories;
  expanded_ = expanded;
  headings_.clear();
  by_instance_.clear();
}

Heading* CategoryLayout::HeadingOf(ULONG cb, const BYTE* key) {
  auto it = by_instance_.find(HeadingOfKey(cb, key));
  return it == by_instance_.end() ? nullptr : it->second;
}

Heading* CategoryLayout::Find(const Path& path) {
  auto it = headings_.find(path);
  return it == headings_.end() ? nullptr : it->second.get();
}

Heading* CategoryLayout::FindOrAdd(const Path& vals, size_t level) {
  std::vector<const SPropValue*> key(vals.begin(), vals.begin() + static_cast<std::ptrdiff_t>(level + 1));
  if (auto it = headings_.find(key); it != headings_.end()) return it->second.get();
  auto h = std::make_unique<Heading>();
  std::vector<SPropValue> present;
  for (const SPropValue* v : key)
    if (v) present.push_back(*v);
  h->values = MakeRow(present.data(), static_cast<ULONG>(present.size()));
  if (!h->values) return nullptr;
  for (size_t i = 0, j = 0; i < key.size(); ++i) h->path.push_back(key[i] ? &h->values->props[j++] : nullptr);
  h->instance = ++next_instance_;
  h->level = static_cast<ULONG>(level);
  h->expanded = level < expanded_;
  Heading* raw = h.get();
  by_instance_[raw->instance] = raw;
  headings_.emplace(raw->path, std::move(h));
  return raw;
}

RowPtr CategoryLayout::HeadingRow(const Heading& h) {
  BYTE key[8];
  HeadingKey(h.instance, key);
  std::vector<SPropValue> v(5);
  v[0].ulPropTag = PR_INSTANCE_KEY;
  v[0].Value.bin = {8, key};
  v[1].ulPropTag = PR_ROW_TYPE;
  v[1].Value.l = h.expanded ? TBL_EXPANDED_CATEGORY : TBL_COLLAPSED_CATEGORY;
  v[2].ulPropTag = PR_DEPTH;
  v[2].Value.l = static_cast<LONG>(h.level);
  v[3].ulPropTag = PR_CONTENT_COUNT;
  v[3].Value.l = static_cast<LONG>(h.count);
  v[4].ulPropTag = PR_CONTENT_UNREAD;
  v[4].Value.l = static_cast<LONG>(h.unread);
  for (const SPropValue* p : h.path)
    if (p) v.push_back(*p);
  RowPtr row = MakeRow(v.data(), static_cast<ULONG>(v.size()));
  if (row) row->heading = h.instance;
  return row;
}

void CategoryLayout::Layout(const std::vector<const Row*>& leaves, const std::vector<SSortOrder>& sort,
                            std::vector<const Row*>& order) {
  retired_.clear();  // the last change is over: nothing looks at them any more
  order.clear();
  ++layout_;
  const size_t nc = categories_;
  std::vector<Heading*> open(nc, nullptr);
  std::vector<size_t> slot(nc, npos);  // the heading's place in `order`; npos while hidden
  std::vector<const SPropValue*> vals(nc);
  bool lost = false;
  auto close = [&](size_t k) {
    Heading* h = open[k];
    open[k] = nullptr;
    if (!h) return;
    if (!h->row || h->shown_count != h->count || h->shown_unread != h->unread || h->shown_expanded != h->expanded) {
      if (RowPtr row = HeadingRow(*h)) {
        if (h->row) retired_.push_back(std::move(h->row));
        h->row = std::move(row);
        h->shown_count = h->count;
        h->shown_unread = h->unread;
        h->shown_expanded = h->expanded;
      }
    }
    if (slot[k] != npos) order[slot[k]] = h->row.get();
    lost |= slot[k] != npos && !h->row;
  };
  for (const Row* r : leaves) {
    for (size_t k = 0; k < nc; ++k) vals[k] = FindById(r->props, r->count, sort[k].ulPropTag);
    size_t d = 0;
    while (d < nc && open[d] && ComparePath(open[d]->path[d], vals[d]) == 0) ++d;
    for (size_t k = nc; k-- > d;) close(k);
    for (size_t k = d; k < nc; ++k) {
      Heading* h = FindOrAdd(vals, k);
      if (!h) {
        // Out of memory: the leaf rows alone rather than half a layout.
        // The heading rows shown so far stay alive for the caller's compare.
        for (auto& [path, old] : headings_)
          if (old->row) retired_.push_back(std::move(old->row));
        headings_.clear();
        by_instance_.clear();
        order = leaves;
        return;
      }
      h->seen = layout_;
      h->count = h->unread = 0;
      open[k] = h;
      bool shown = k == 0 || (slot[k - 1] != npos && open[k - 1]->expanded);
      slot[k] = shown ? order.size() : npos;
      if (shown) order.push_back(nullptr);  // filled in when the category closes
    }
    const SPropValue* flags = FindById(r->props, r->count, PR_MESSAGE_FLAGS);
    bool unread = !flags || !(flags->Value.l & MSGFLAG_READ);
    for (size_t k = 0; k < nc; ++k) {
      ++open[k]->count;
      open[k]->unread += unread ? 1 : 0;
    }
    if (nc == 0 || (slot[nc - 1] != npos && open[nc - 1]->expanded)) order.push_back(r);
  }
  for (size_t k = nc; k-- > 0;) close(k);
  if (lost) order.erase(std::remove(order.begin(), order.end(), nullptr), order.end());
  for (auto it = headings_.begin(); it != headings_.end();) {
    if (it->second->seen != layout_) {
      by_instance_.erase(it->second->instance);
      if (it->second->row) retired_.push_back(std::move(it->second->row));
      it = headings_.erase(it);
    } else {
      ++it;
    }
  }
}

HRESULT CategoryLayout::SaveState(const std::vector<SSortOrder>& sort, ULONG cb, const BYTE* key,
                                  std::vector<BYTE>& out) {
  StateWriter w;
  w.U32(kStateMagic);
  w.U32(categories_);
  for (ULONG k = 0; k < categories_; ++k) w.U32(sort[k].ulPropTag);
  std::vector<const Heading*> changed;
  for (const auto& [path, h] : headings_)
    if (h->expanded != (h->level < expanded_)) changed.push_back(h.get());
  w.U32(static_cast<ULONG>(changed.size()));
  for (const Heading* h : changed) {
    w.U8(h->expanded ? 1 : 0);
    if (!w.Path(h->path)) return MAPI_E_TOO_COMPLEX;
  }
  // The row to come back to: a heading by its values, a leaf by its key.
  if (Heading* h = HeadingOf(cb, key)) {
    w.U8(1);
    if (!w.Path(h->path)) return MAPI_E_TOO_COMPLEX;
  } else {
    w.U8(2);
    w.Bytes(key, cb);
  }
  out = std::move(w.out);
  return S_OK;
}

HRESULT CategoryLayout::LoadState(const std::vector<SSortOrder>& sort, const BYTE* data, ULONG cb, void* root,
                                  Anchor& anchor) {
  StateReader r(data, cb);
  ULONG magic = 0, ncat = 0;
  if (!r.U32(magic) || magic != kStateMagic || !r.U32(ncat) || ncat != categories_) return MAPI_E_INVALID_PARAMETER;
  for (ULONG k = 0; k < ncat; ++k) {
    ULONG tag = 0;
    if (!r.U32(tag) || tag != sort[k].ulPropTag) return MAPI_E_INVALID_PARAMETER;  // another categorisation
  }
  ULONG n = 0;
  if (!r.U32(n) || n > r.Left()) return MAPI_E_INVALID_PARAMETER;  // each entry takes bytes
  std::vector<std::pair<std::vector<const SPropValue*>, bool>> wanted;
  for (ULONG i = 0; i < n; ++i) {
    BYTE expanded = 0;
    std::vector<const SPropValue*> path;
    if (!r.U8(expanded) || !r.Path(root, categories_, path)) return MAPI_E_INVALID_PARAMETER;
    wanted.emplace_back(std::move(path), expanded != 0);
  }
  BYTE kind = 0;
  if (!r.U8(kind) || (kind == 1 && !r.Path(root, categories_, anchor.path)) || (kind == 2 && !r.Bytes(anchor.key)) ||
      (kind != 1 && kind != 2))
    return MAPI_E_INVALID_PARAMETER;
  anchor.heading = kind == 1;
  for (auto& [path, h] : headings_) h->expanded = h->level < expanded_;
  for (const auto& [path, expanded] : wanted)
    if (auto it = headings_.find(path); it != headings_.end()) it->second->expanded = expanded;
  return S_OK;
}

}  // namespace vantrel::mapi::table
