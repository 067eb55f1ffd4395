// IMAPIProp over a map of stored values: the part every object of the
// store shares (store, folder, message, attachment). Values set since the
// last save are kept apart from the saved ones; transacted objects keep
// them until SaveChanges, the others write them at once (Flush).
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/base/CodePage.h"
#include "platform/base/HResult.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PropCodec.h"
#include "platform/mapi/pst/ChunkedValue.h"
#include "platform/mapi/pst/Database.h"
#include "platform/mapi/pst/PropertyStream.h"
#include "platform/mapi/pst/Repository.h"
#include "platform/storage/MemoryStream.h"

namespace vantrel::mapi::pst {

// Properties the store computes; never set or deleted by a client.
bool IsComputedTag(ULONG id);
HRESULT LastError(HRESULT hr, ULONG flags, LPMAPIERROR* out);
HRESULT ReportProblems(const std::vector<SPropProblem>& probs, LPSPropProblemArray* out);
HRESULT NamesFromIDs(Db& db, LPSPropTagArray* tags, LPGUID guid, ULONG* count, LPMAPINAMEID** names)
    EXCLUDES(db.mu);
HRESULT IDsFromNames(Db& db, ULONG c, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out) EXCLUDES(db.mu);

template <typename I>
class PropObject : public vantrel::RefCounted<I> {
 public:
  explicit PropObject(std::shared_ptr<Db> db) : db_(std::move(db)) {}
  ~PropObject() override {
    // Stream values this object was given and never saved.
    if (staged_.empty()) return;
    MutexLock dg(db_->mu);
    for (int64_t b : staged_) DropStaged(*db_, b);
  }

  HRESULT GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* out) override { return LastError(hr, flags, out); }

  HRESULT SaveChanges(ULONG) override { return S_OK; }

  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override {
    if (!count || !out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    MutexLock g(mu_);
    // Named values are read where they are kept. The whole view is made
    // only for a listing or once a value the object computes is asked for:
    // Computed may read any other value.
    std::optional<PropMap> all;
    std::vector<ULONG> listed;
    if (!tags) {
      all = Snapshot();
      for (const auto& [id, v] : *all) listed.push_back(PROP_TAG(Presented(BareType(v.first), flags), id));
    }
    const ULONG n = tags ? tags->cValues : static_cast<ULONG>(listed.size());
    const ULONG* want = tags ? tags->aulPropTag : listed.data();
    if (n == 0) return MAPI_E_INVALID_PARAMETER;
    void* root;
    if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * n), &root)) return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* vals = static_cast<SPropValue*>(root);
    bool errors = false;
    for (ULONG i = 0; i < n; ++i) {
      ULONG tag = want[i];
      const ULONG id = PROP_ID(tag);
      if (!all && Shadowed(id)) all = Snapshot();
      const std::pair<ULONG, Bytes>* found = nullptr;
      if (all) {
        auto it = all->find(id);
        if (it != all->end()) found = &it->second;
      } else {
        found = Kept(id);
      }
      HRESULT hr = MAPI_E_NOT_FOUND;
      if (found) {
        ULONG stored = BareType(found->first);
        if (PROP_TYPE(tag) == PT_UNSPECIFIED) tag = PROP_TAG(Presented(stored, flags), id);
        ValueRef r;
        if (ValueSize(*found) > kMaxInline) {
          // Large values are only read through OpenProperty; the other
          // values of the call are answered as usual.
          hr = MAPI_E_NOT_ENOUGH_MEMORY;
        } else if (IsRef(found->first)) {
          Bytes whole;
          if (!DecodeRef(found->second, r) || !Materialize(*db_, r, stored == PT_UNICODE, whole))
            hr = MAPI_E_CORRUPT_DATA;
          else
            hr = DecodeProp(tag, stored, whole, root, vals[i]);
        } else {
          hr = DecodeProp(tag, stored, found->second, root, vals[i]);
        }
      }
      if (FAILED(hr)) {
        errors = true;
        vals[i].ulPropTag = PROP_TAG(PT_ERROR, id);
        vals[i].Value.err = hr == MAPI_E_INVALID_TYPE ? MAPI_E_NOT_FOUND : hr;
      }
    }
    *count = n;
    *out = vals;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
  }

  HRESULT GetPropList(ULONG flags, LPSPropTagArray* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    MutexLock g(mu_);
    PropMap all = Snapshot();
    void* m;
    if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(all.size() + 1)), &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* t = static_cast<SPropTagArray*>(m);
    t->cValues = 0;
    for (const auto& [id, v] : all) t->aulPropTag[t->cValues++] = PROP_TAG(Presented(BareType(v.first), flags), id);
    *out = t;
    return S_OK;
  }

  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override {
    if (!iid || !out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    ULONG type = PROP_TYPE(tag);
    bool create = flags & MAPI_CREATE, modify = flags & (MAPI_MODIFY | MAPI_CREATE);
    if (modify && !Writable()) return MAPI_E_NO_ACCESS;
    MutexLock g(mu_);
    PropMap all = Snapshot();
    auto it = all.find(PROP_ID(tag));
    const std::pair<ULONG, Bytes>* found = nullptr;
    if (it != all.end() && !create) {
      ULONG stored = BareType(it->second.first);
      if (*iid == IID_IStorage) {
        if (stored != PT_BINARY && stored != PT_OBJECT) return MAPI_E_NOT_FOUND;
      } else if (StoredType(type) != stored) {
        return MAPI_E_NOT_FOUND;
      }
      found = &it->second;
    } else if (!create) {
      return MAPI_E_NOT_FOUND;
    }
    ULONG id = PROP_ID(tag);
    vantrel::ComPtr<PropObject> self(this);
    if (*iid == IID_IStream) {
      if (type != PT_BINARY && type != PT_STRING8 && type != PT_UNICODE) return MAPI_E_INTERFACE_NOT_SUPPORTED;
      if (Chunked()) return OpenChunkedStream(id, type, found, modify, out);
    }
    // Values of objects kept whole (embedded messages) and storages are
    // read whole.
    Bytes initial;
    if (found && IsRef(found->first)) {
      ValueRef r;
      if (!DecodeRef(found->second, r) || !Materialize(*db_, r, BareType(found->first) == PT_UNICODE, initial))
        return MAPI_E_CORRUPT_DATA;
    } else if (found) {
      initial = found->second;
    }
    if (*iid == IID_IStream) {
      // A string stream carries the string in the width of its tag, without the terminator.
      initial = ToStreamWidth(initial, type);
      storage::CommitHook hook = [self, id, type](const Bytes& b) {
        return self->PutStored(id, StoredType(type), FromStreamWidth(b, type, true));
      };
      IStream* s;
      HRESULT hr = storage::CreateMemoryStream(std::move(initial), modify, modify ? hook : nullptr, &s);
      if (SUCCEEDED(hr)) *out = s;
      return hr;
    }
    if (*iid == IID_IStorage) {
      storage::CommitHook hook = [self, id](const Bytes& b) { return self->PutStored(id, PT_BINARY, Bytes(b)); };
      IStorage* s;
      HRESULT hr = storage::CreateMemoryStorage(initial, modify, modify ? hook : nullptr, &s);
      if (SUCCEEDED(hr)) *out = s;
      return hr;
    }
    return MAPI_E_INTERFACE_NOT_SUPPORTED;
  }

  HRESULT SetProps(ULONG c, LPSPropValue vals, LPSPropProblemArray* problems) override {
    if (!vals && c) return MAPI_E_INVALID_PARAMETER;
    if (problems) *problems = nullptr;
    if (!Writable()) return MAPI_E_NO_ACCESS;
    std::vector<SPropProblem> probs;
    MutexLock g(mu_);
    for (ULONG i = 0; i < c; ++i) {
      ULONG tag = vals[i].ulPropTag, type = PROP_TYPE(tag), id = PROP_ID(tag);
      if (type == PT_ERROR || type == PT_UNSPECIFIED || type == PT_NULL || type == PT_OBJECT || id == 0) {
        probs.push_back({i, tag, MAPI_E_INVALID_TYPE});
        continue;
      }
      if (IsComputedTag(id) || ReadOnly(id)) {
        probs.push_back({i, tag, MAPI_E_COMPUTED});
        continue;
      }
      auto enc = EncodeProp(vals[i]);
      if (!enc) {
        probs.push_back({i, tag, MAPI_E_INVALID_TYPE});
        continue;
      }
      pending_[id] = {StoredType(type), std::move(*enc)};
      deleted_.erase(id);
    }
    HRESULT hr = Flush();
    if (FAILED(hr)) return hr;
    return ReportProblems(probs, problems);
  }

  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    if (problems) *problems = nullptr;
    if (!Writable()) return MAPI_E_NO_ACCESS;
    std::vector<SPropProblem> probs;
    MutexLock g(mu_);
    for (ULONG i = 0; i < tags->cValues; ++i) {
      ULONG id = PROP_ID(tags->aulPropTag[i]);
      if (IsComputedTag(id) || ReadOnly(id)) {
        probs.push_back({i, tags->aulPropTag[i], MAPI_E_COMPUTED});
        continue;
      }
      pending_.erase(id);
      deleted_.insert(id);
    }
    HRESULT hr = Flush();
    if (FAILED(hr)) return hr;
    return ReportProblems(probs, problems);
  }

  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray exclude, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID dst, ULONG flags,
                 LPSPropProblemArray* problems) override {
    LPSPropTagArray list = nullptr;
    HRESULT hr = GetPropList(MAPI_UNICODE, &list);
    if (FAILED(hr)) return hr;
    std::vector<ULONG> keep;
    for (ULONG i = 0; i < list->cValues; ++i) {
      bool skip = IsComputedTag(PROP_ID(list->aulPropTag[i]));
      for (ULONG j = 0; exclude && j < exclude->cValues; ++j)
        if (PROP_ID(exclude->aulPropTag[j]) == PROP_ID(list->aulPropTag[i])) skip = true;
      if (!skip) keep.push_back(list->aulPropTag[i]);
    }
    MAPIFreeBuffer(list);
    return CopyTags(keep, dst, flags, problems);
  }

  HRESULT CopyProps(LPSPropTagArray include, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID dst, ULONG flags,
                    LPSPropProblemArray* problems) override {
    if (!include) return MAPI_E_INVALID_PARAMETER;
    return CopyTags({include->aulPropTag, include->aulPropTag + include->cValues}, dst, flags, problems);
  }

  HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count, LPMAPINAMEID** names) override {
    return NamesFromIDs(*db_, tags, guid, count, names);
  }
  HRESULT GetIDsFromNames(ULONG c, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out) override {
    return IDsFromNames(*db_, c, names, flags, out);
  }

  // A staging blob a stream handed to this object: dropped with the object
  // unless a save took it over. Attachments pass them to their message.
  virtual void Staged(int64_t blob) {
    MutexLock g(staged_mu_);
    staged_.push_back(blob);
  }

  // Sets one stored value (from a committed stream or storage).
  HRESULT PutStored(ULONG id, ULONG type, Bytes bytes) EXCLUDES(mu_) {
    MutexLock g(mu_);
    pending_[id] = {type, std::move(bytes)};
    deleted_.erase(id);
    return Flush();
  }

 protected:
  static constexpr size_t kMaxInline = 1 << 20;

  // The object's stored values with pending changes and computed values
  // laid over.
  PropMap Snapshot() REQUIRES(mu_) {
    PropMap all = base_;
    for (ULONG id : deleted_) all.erase(id);
    for (const auto& [id, v] : pending_) all[id] = v;
    Computed(all);
    return all;
  }
  // A value as kept, pending changes first, without computed values; or
  // nullptr.
  const std::pair<ULONG, Bytes>* Kept(ULONG id) REQUIRES(mu_) {
    if (auto p = pending_.find(id); p != pending_.end()) return &p->second;
    if (deleted_.count(id)) return nullptr;
    auto b = base_.find(id);
    return b == base_.end() ? nullptr : &b->second;
  }
  static ULONG Presented(ULONG stored, ULONG flags) {
    if (flags & MAPI_UNICODE) return stored;
    if (stored == PT_UNICODE) return PT_STRING8;
    if (stored == PT_MV_UNICODE) return PT_MV_STRING8;
    return stored;
  }

  virtual void Computed(PropMap& all) REQUIRES(mu_) = 0;
  // Whether Computed may set or remove `id`. GetProps answers every other
  // id from the kept values alone, so an id Computed touches must be here.
  virtual bool Shadowed(ULONG id) const { return IsComputedTag(id); }
  // Whether large values of this object may live in chunks of the file
  // (not so inside an embedded message, which is kept as one image).
  virtual bool Chunked() { return true; }

  // A stream on property `id` over chunks (ChunkedValue.h).
  HRESULT OpenChunkedStream(ULONG id, ULONG type, const std::pair<ULONG, Bytes>* found, bool modify, LPUNKNOWN* out)
      REQUIRES(mu_) {
    uint32_t enc = type == PT_UNICODE ? kEncUtf16 : type == PT_STRING8 ? kEncAnsi : kEncRaw;
    size_t unit = type == PT_UNICODE ? 2 : type == PT_STRING8 ? 1 : 0;
    vantrel::ComPtr<PropObject> self(this);
    StreamHook hook = [self, id, type](const StreamValue& v) -> HRESULT {
      if (v.chunked) {
        self->Staged(v.ref.blob);
        return self->PutStored(id, StoredType(type) | kChunkedFlag, EncodeRef(v.ref));
      }
      return self->PutStored(id, StoredType(type), FromStreamWidth(v.bytes, type, false));
    };
    StreamStart start;
    ValueRef r;
    if (!found) {
    } else if (!IsRef(found->first)) {
      start.bytes = ToStreamWidth(found->second, type);
    } else if (!DecodeRef(found->second, r)) {
      return MAPI_E_CORRUPT_DATA;
    } else if (type == PT_BINARY || r.enc == enc) {
      start.blob = r.blob;
      start.size = r.size;
    } else {
      MutexLock dg(db_->mu);
      start.blob = ConvertBlob(*db_, r, enc, start.size);
      if (!start.blob) return MAPI_E_DISK_ERROR;
      start.owned = true;
    }
    IStream* s = nullptr;
    HRESULT hr = NewPropertyStream(db_, modify, enc, unit, modify ? hook : nullptr, std::move(start), &s);
    if (SUCCEEDED(hr)) *out = s;
    return hr;
  }
  virtual bool ReadOnly(ULONG) { return false; }
  virtual bool Writable() { return true; }
  // Non-transacted objects write their pending changes here; transacted
  // ones keep them until SaveChanges.
  virtual HRESULT Flush() REQUIRES(mu_) { return S_OK; }

  static void PutBin(PropMap& m, ULONG tag, const Bytes& b) { m[PROP_ID(tag)] = {PT_BINARY, b}; }
  static void PutLong(PropMap& m, ULONG tag, LONG v) { SetLong(m, tag, v); }
  static void PutBool(PropMap& m, ULONG tag, bool v) {
    USHORT b = v ? 1 : 0;
    Bytes x(2);
    std::memcpy(x.data(), &b, 2);
    m[PROP_ID(tag)] = {PT_BOOLEAN, x};
  }

  HRESULT CopyTags(const std::vector<ULONG>& tags, LPVOID dst, ULONG flags, LPSPropProblemArray* problems) {
    if (!dst) return MAPI_E_INVALID_PARAMETER;
    if (tags.empty()) return S_OK;
    auto* target = static_cast<IMAPIProp*>(dst);
    void* t;
    MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), &t);
    auto* ta = static_cast<SPropTagArray*>(t);
    ta->cValues = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), ta->aulPropTag);
    ULONG n = 0;
    LPSPropValue vals = nullptr;
    HRESULT hr = GetProps(ta, MAPI_UNICODE, &n, &vals);
    MAPIFreeBuffer(ta);
    if (FAILED(hr)) return hr;
    std::vector<SPropValue> ok;
    std::vector<ULONG> large;  // too large for GetProps: copied through streams
    auto present = [&](ULONG tag) {
      LPSPropValue have = nullptr;
      HRESULT got = HrGetOneProp(target, tag, &have);
      MAPIFreeBuffer(have);
      return got != MAPI_E_NOT_FOUND;
    };
    for (ULONG i = 0; i < n; ++i) {
      if (PROP_TYPE(vals[i].ulPropTag) == PT_ERROR) {
        if (vals[i].Value.err == MAPI_E_NOT_ENOUGH_MEMORY) large.push_back(PROP_ID(vals[i].ulPropTag));
        continue;
      }
      if ((flags & MAPI_NOREPLACE) && present(vals[i].ulPropTag)) continue;
      ok.push_back(vals[i]);
    }
    hr = target->SetProps(static_cast<ULONG>(ok.size()), ok.data(), problems);
    MAPIFreeBuffer(vals);
    for (ULONG id : large) {
      if (FAILED(hr)) break;
      ULONG type;
      {
        MutexLock g(mu_);
        PropMap all = Snapshot();
        auto it = all.find(id);
        if (it == all.end()) continue;
        type = BareType(it->second.first);
      }
      ULONG tag = PROP_TAG(type, id);
      if ((flags & MAPI_NOREPLACE) && present(tag)) continue;
      vantrel::ComPtr<IUnknown> from, to;
      if (FAILED(hr = OpenProperty(tag, &IID_IStream, 0, 0, from.Out()))) break;
      if (FAILED(hr = target->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, to.Out()))) break;
      auto* src = static_cast<IStream*>(from.get());
      auto* dst = static_cast<IStream*>(to.get());
      ULARGE_INTEGER all;
      all.QuadPart = ~0ULL;
      if (FAILED(hr = src->CopyTo(dst, all, nullptr, nullptr)) || FAILED(hr = dst->Commit(STGC_DEFAULT))) break;
      SPropValue moved{};
      moved.ulPropTag = tag;
      ok.push_back(moved);
    }
    if (SUCCEEDED(hr) && (flags & MAPI_MOVE)) {
      // Moving removes the source values that were copied.
      std::vector<ULONG> ids;
      for (const auto& v : ok) ids.push_back(PROP_ID(v.ulPropTag));
      MutexLock g(mu_);
      for (ULONG id : ids) {
        pending_.erase(id);
        deleted_.insert(id);
      }
    }
    return hr;
  }

  const std::shared_ptr<Db> db_;
  // The object's values; before the file's lock (Database.h).
  Mutex mu_ ACQUIRED_BEFORE(db_->mu);
  PropMap base_ GUARDED_BY(mu_);     // values as last loaded or saved
  PropMap pending_ GUARDED_BY(mu_);  // set since
  std::set<ULONG> deleted_ GUARDED_BY(mu_);
  Mutex staged_mu_ ACQUIRED_AFTER(mu_) ACQUIRED_BEFORE(db_->mu);
  std::vector<int64_t> staged_ GUARDED_BY(staged_mu_);  // staging blobs handed to this object
};

}  // namespace vantrel::mapi::pst
