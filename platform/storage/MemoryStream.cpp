#include "platform/storage/MemoryStream.h"

#include <cstring>
#include <map>
#include <new>

#include "platform/base/SystemInfo.h"
#include "platform/storage/StorageTree.h"

namespace vantrel::storage {
namespace {

WCHAR* TaskString(const std::u16string& s) {
  auto* p = static_cast<WCHAR*>(CoTaskMemAlloc((s.size() + 1) * sizeof(WCHAR)));
  if (!p) return nullptr;
  std::memcpy(p, s.data(), s.size() * sizeof(WCHAR));
  p[s.size()] = 0;
  return p;
}

// A free stream's bytes; Commit hands a copy of them to the hook, outside
// the lock, since the hook's owner takes locks of its own.
class HookedBytes final : public Bytes {
 public:
  explicit HookedBytes(CommitHook hook) : hook_(std::move(hook)) {}
  HRESULT Commit(DWORD) override EXCLUDES(mu) {
    std::vector<BYTE> copy;
    {
      MutexLock g(mu);
      try {
        copy = data;
      } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
      }
    }
    return hook_(copy);
  }

 private:
  const CommitHook hook_;
};

// ---- storage ---------------------------------------------------------------

std::shared_ptr<Node> DeepCopy(const Node& n) {
  auto c = std::make_shared<Node>();
  c->clsid = n.clsid;
  c->state = n.state;
  c->ctime = n.ctime;
  c->mtime = n.mtime;
  for (const auto& [k, v] : n.streams) {
    auto b = std::make_shared<Bytes>();
    MutexLock g(v->mu);
    MutexLock gb(b->mu);  // not shared yet: no order to keep
    b->data = v->data;
    c->streams[k] = b;
  }
  for (const auto& [k, v] : n.storages) c->storages[k] = DeepCopy(*v);
  return c;
}

// Reads the image earlier versions wrote (kOldMagic, then each storage as
// CLSID, state bits, streams and sub-storages with counted names); every
// count is checked against the bytes left before anything is allocated.
class Reader {
 public:
  Reader(const BYTE* p, size_t n) : p_(p), n_(n) {}
  bool U32(uint32_t& v) {
    if (n_ < 4) return false;
    v = p_[0] | (p_[1] << 8) | (p_[2] << 16) | (static_cast<uint32_t>(p_[3]) << 24);
    Skip(4);
    return true;
  }
  bool Name(std::u16string& s) {
    uint32_t len;
    if (!U32(len) || len == 0 || len > 31 || n_ < size_t{len} * 2) return false;
    s.resize(len);
    for (uint32_t i = 0; i < len; ++i) {
      s[i] = static_cast<char16_t>(p_[2 * i] | (p_[2 * i + 1] << 8));
      // Only names the storage interface accepts were ever written.
      if (s[i] == 0 || s[i] == u'/' || s[i] == u'\\' || s[i] == u':' || s[i] == u'!') return false;
    }
    Skip(size_t{len} * 2);
    return true;
  }
  bool Node_(Node& n, int depth) {
    if (depth > 64 || n_ < 16) return false;
    n.clsid = GuidFromBytes(p_);
    Skip(16);
    uint32_t count;
    if (!U32(n.state) || !U32(count)) return false;
    if (count > n_ / 12) return false;
    for (uint32_t i = 0; i < count; ++i) {
      std::u16string name;
      uint32_t lo, hi;
      if (!Name(name) || !U32(lo) || !U32(hi)) return false;
      uint64_t len = (uint64_t{hi} << 32) | lo;
      if (len > n_) return false;
      auto b = std::make_shared<Bytes>();
      {
        MutexLock g(b->mu);
        b->data.assign(p_, p_ + len);
      }
      Skip(static_cast<size_t>(len));
      // Names now compare without case; two that differ only in case
      // cannot both be kept, and dropping one would lose it silently.
      if (n.streams.count(name)) return false;
      n.streams[name] = b;
    }
    if (!U32(count) || count > n_ / 24) return false;
    for (uint32_t i = 0; i < count; ++i) {
      std::u16string name;
      auto child = std::make_shared<Node>();
      if (!Name(name) || n.streams.count(name) || n.storages.count(name) || !Node_(*child, depth + 1)) return false;
      n.storages[name] = child;
    }
    return true;
  }
  size_t left() const { return n_; }

 private:
  void Skip(size_t k) {
    p_ += k;
    n_ -= k;
  }
  const BYTE* p_;
  size_t n_;
};

constexpr BYTE kOldMagic[8] = {'V', 'S', 'T', 'G', 0, 0, 0, 1};

HRESULT CheckName(LPCOLESTR name, std::u16string& out) {
  if (!name) return STG_E_INVALIDPOINTER;
  out.assign(name);
  if (out.empty() || out.size() > 31) return STG_E_INVALIDNAME;
  for (char16_t c : out)
    if (c == u'/' || c == u'\\' || c == u':' || c == u'!') return STG_E_INVALIDNAME;
  return S_OK;
}

class MemEnum final : public vantrel::RefCounted<IEnumSTATSTG> {
 public:
  struct Item {
    std::u16string name;
    DWORD type;
    ULONGLONG size;
    CLSID clsid;
    DWORD state;
    FILETIME ctime, mtime;
  };
  explicit MemEnum(std::vector<Item> items) : items_(std::move(items)) {}
  HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* fetched) override {
    if (!rgelt) return STG_E_INVALIDPOINTER;
    if (celt != 1 && !fetched) return STG_E_INVALIDPARAMETER;
    ULONG n = 0;
    while (n < celt && pos_ < items_.size()) {
      const Item& it = items_[pos_];
      STATSTG& st = rgelt[n];
      std::memset(&st, 0, sizeof(st));
      st.pwcsName = TaskString(it.name);
      if (!st.pwcsName) {
        for (ULONG i = 0; i < n; ++i) CoTaskMemFree(rgelt[i].pwcsName);
        return STG_E_INSUFFICIENTMEMORY;
      }
      st.type = it.type;
      st.cbSize.QuadPart = it.size;
      st.clsid = it.clsid;
      st.grfStateBits = it.state;
      st.ctime = it.ctime;
      st.mtime = st.atime = it.mtime;
      ++n;
      ++pos_;
    }
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG celt) override {
    size_t left = items_.size() - pos_;
    pos_ += std::min<size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    pos_ = 0;
    return S_OK;
  }
  HRESULT Clone(IEnumSTATSTG** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    auto* c = new (std::nothrow) MemEnum(items_);
    if (!c) return E_OUTOFMEMORY;
    c->pos_ = pos_;
    *out = c;
    return S_OK;
  }

 private:
  std::vector<Item> items_;
  size_t pos_ = 0;
};

// The transaction of a root storage: its committed tree and the working one.
// `mu` also guards every Node reached from `working` (their maps and
// attributes); a stream's Bytes has its own mutex, taken after this one.
struct Root {
  vantrel::Mutex mu;
  std::shared_ptr<Node> committed GUARDED_BY(mu);
  std::shared_ptr<Node> working GUARDED_BY(mu);
  CommitHook hook;  // set before the root is shared
  bool writable = false;
};

class MemStorage final : public vantrel::RefCounted<IStorage> {
 public:
  MemStorage(std::shared_ptr<Root> root, std::vector<std::u16string> path, std::u16string name)
      : root_(std::move(root)), path_(std::move(path)), name_(std::move(name)) {}

  HRESULT CreateStream(LPCOLESTR name, DWORD mode, DWORD, DWORD, IStream** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    std::u16string n;
    if (HRESULT hr = CheckName(name, n); FAILED(hr)) return hr;
    if (!root_->writable) return STG_E_ACCESSDENIED;
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    if (node->streams.count(n) || node->storages.count(n)) {
      if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
      node->storages.erase(n);
      node->streams.erase(n);  // the new element takes the name as given now
    }
    auto b = std::make_shared<Bytes>();
    node->streams[n] = b;
    return Make(new (std::nothrow) StreamBase(b, true, n), out);
  }

  HRESULT OpenStream(LPCOLESTR name, void*, DWORD mode, DWORD, IStream** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    std::u16string n;
    if (HRESULT hr = CheckName(name, n); FAILED(hr)) return hr;
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    auto it = node->streams.find(n);
    if (it == node->streams.end()) return STG_E_FILENOTFOUND;
    bool w = (mode & (STGM_WRITE | STGM_READWRITE)) != 0;
    if (w && !root_->writable) return STG_E_ACCESSDENIED;
    return Make(new (std::nothrow) StreamBase(it->second, w, n), out);
  }

  HRESULT CreateStorage(LPCOLESTR name, DWORD mode, DWORD, DWORD, IStorage** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    std::u16string n;
    if (HRESULT hr = CheckName(name, n); FAILED(hr)) return hr;
    if (!root_->writable) return STG_E_ACCESSDENIED;
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    if (node->streams.count(n) || node->storages.count(n)) {
      if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
      node->streams.erase(n);
      node->storages.erase(n);
    }
    auto fresh = std::make_shared<Node>();
    fresh->ctime = fresh->mtime = CurrentFileTime();
    node->storages[n] = fresh;
    auto p = path_;
    p.push_back(n);
    return Make(new (std::nothrow) MemStorage(root_, std::move(p), n), out);
  }

  HRESULT OpenStorage(LPCOLESTR name, IStorage*, DWORD, SNB, DWORD, IStorage** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    std::u16string n;
    if (HRESULT hr = CheckName(name, n); FAILED(hr)) return hr;
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    if (!node->storages.count(n)) return STG_E_FILENOTFOUND;
    auto p = path_;
    p.push_back(n);
    return Make(new (std::nothrow) MemStorage(root_, std::move(p), n), out);
  }

  HRESULT CopyTo(DWORD ciid, const IID* rgiid, SNB exclude, IStorage* dst) override {
    if (!dst) return STG_E_INVALIDPOINTER;
    if (ciid && !rgiid) return STG_E_INVALIDPOINTER;
    std::shared_ptr<Node> copy;
    {
      MutexLock g(root_->mu);
      Node* node = Here();
      if (!node) return STG_E_REVERTED;
      copy = DeepCopy(*node);
    }
    bool skip_storage = false;
    for (DWORD i = 0; i < ciid; ++i)
      if (rgiid[i] == IID_IStorage) skip_storage = true;
    auto excluded = [&](const std::u16string& n) {
      for (SNB s = exclude; s && *s; ++s)
        if (n == *s) return true;
      return false;
    };
    return CopyNode(*copy, dst, skip_storage, excluded);
  }

  HRESULT MoveElementTo(LPCOLESTR name, IStorage* dst, LPCOLESTR new_name, DWORD flags) override {
    if (!dst || !name || !new_name) return STG_E_INVALIDPOINTER;
    if (flags != STGMOVE_MOVE && flags != STGMOVE_COPY) return STG_E_INVALIDFLAG;
    std::u16string n;
    if (HRESULT hr = CheckName(name, n); FAILED(hr)) return hr;
    std::shared_ptr<Node> sub;
    std::vector<BYTE> data;
    bool is_stream = false;
    {
      MutexLock g(root_->mu);
      Node* node = Here();
      if (!node) return STG_E_REVERTED;
      if (auto it = node->streams.find(n); it != node->streams.end()) {
        is_stream = true;
        MutexLock lk(it->second->mu);
        data = it->second->data;
      } else if (auto jt = node->storages.find(n); jt != node->storages.end()) {
        sub = DeepCopy(*jt->second);
      } else {
        return STG_E_FILENOTFOUND;
      }
    }
    HRESULT hr;
    if (is_stream) {
      vantrel::ComPtr<IStream> s;
      hr = dst->CreateStream(new_name, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out());
      if (SUCCEEDED(hr)) hr = WriteAll(s.get(), data);
    } else {
      vantrel::ComPtr<IStorage> s;
      hr = dst->CreateStorage(new_name, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out());
      if (SUCCEEDED(hr)) hr = CopyNode(*sub, s.get(), false, [](const std::u16string&) { return false; });
    }
    if (SUCCEEDED(hr) && flags == STGMOVE_MOVE) hr = DestroyElement(name);
    return hr;
  }

  HRESULT Commit(DWORD) override {
    std::vector<BYTE> image;
    CommitHook hook;
    {
      MutexLock g(root_->mu);
      if (!path_.empty()) return S_OK;  // nested storages commit with their root
      if (!root_->writable) return STG_E_ACCESSDENIED;
      auto next = DeepCopy(*root_->working);
      if (HRESULT hr = WriteCompoundFile(*next, image); FAILED(hr)) return hr;
      root_->committed = std::move(next);
      hook = root_->hook;
    }
    return hook ? hook(image) : S_OK;
  }

  HRESULT Revert() override {
    MutexLock g(root_->mu);
    if (path_.empty()) root_->working = DeepCopy(*root_->committed);
    return S_OK;
  }

  HRESULT EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    std::vector<MemEnum::Item> items;
    {
      MutexLock g(root_->mu);
      Node* node = Here();
      if (!node) return STG_E_REVERTED;
      for (const auto& [k, v] : node->storages) items.push_back({k, STGTY_STORAGE, 0, v->clsid, v->state, v->ctime, v->mtime});
      for (const auto& [k, v] : node->streams) {
        MutexLock lk(v->mu);
        items.push_back({k, STGTY_STREAM, v->data.size(), CLSID{}, 0, FILETIME{}, FILETIME{}});
      }
    }
    return Make(new (std::nothrow) MemEnum(std::move(items)), out);
  }

  HRESULT DestroyElement(LPCOLESTR name) override {
    std::u16string n;
    if (HRESULT hr = CheckName(name, n); FAILED(hr)) return hr;
    if (!root_->writable) return STG_E_ACCESSDENIED;
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    if (node->streams.erase(n) + node->storages.erase(n) == 0) return STG_E_FILENOTFOUND;
    return S_OK;
  }

  HRESULT RenameElement(LPCOLESTR old_name, LPCOLESTR new_name) override {
    std::u16string a, b;
    if (HRESULT hr = CheckName(old_name, a); FAILED(hr)) return hr;
    if (HRESULT hr = CheckName(new_name, b); FAILED(hr)) return hr;
    if (!root_->writable) return STG_E_ACCESSDENIED;
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    // A change of case alone renames the element to itself.
    bool same = !NameLess()(a, b) && !NameLess()(b, a);
    if (!same && (node->streams.count(b) || node->storages.count(b))) return STG_E_FILEALREADYEXISTS;
    if (auto it = node->streams.find(a); it != node->streams.end()) {
      auto keep = it->second;
      node->streams.erase(it);
      node->streams[b] = keep;
    } else if (auto jt = node->storages.find(a); jt != node->storages.end()) {
      auto keep = jt->second;
      node->storages.erase(jt);
      node->storages[b] = keep;
    } else {
      return STG_E_FILENOTFOUND;
    }
    return S_OK;
  }

  // Storages keep their creation and modification times; the layout keeps
  // no times for streams, nor an access time. No name means this storage.
  HRESULT SetElementTimes(LPCOLESTR name, const FILETIME* ctime, const FILETIME*, const FILETIME* mtime) override {
    std::u16string n;
    if (name) {
      if (HRESULT hr = CheckName(name, n); FAILED(hr)) return hr;
    }
    if (!root_->writable) return STG_E_ACCESSDENIED;
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    if (name) {
      auto it = node->storages.find(n);
      if (it == node->storages.end()) return node->streams.count(n) ? S_OK : STG_E_FILENOTFOUND;
      node = it->second.get();
    }
    if (ctime) node->ctime = *ctime;
    if (mtime) node->mtime = *mtime;
    return S_OK;
  }

  HRESULT SetClass(REFCLSID clsid) override {
    if (!root_->writable) return STG_E_ACCESSDENIED;
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    node->clsid = clsid;
    return S_OK;
  }

  HRESULT SetStateBits(DWORD bits, DWORD mask) override {
    if (!root_->writable) return STG_E_ACCESSDENIED;
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    node->state = (node->state & ~mask) | (bits & mask);
    return S_OK;
  }

  HRESULT Stat(STATSTG* st, DWORD flag) override {
    if (!st) return STG_E_INVALIDPOINTER;
    if (flag != STATFLAG_DEFAULT && flag != STATFLAG_NONAME) return STG_E_INVALIDFLAG;
    std::memset(st, 0, sizeof(*st));
    MutexLock g(root_->mu);
    Node* node = Here();
    if (!node) return STG_E_REVERTED;
    if (flag == STATFLAG_DEFAULT) {
      st->pwcsName = TaskString(name_);
      if (!st->pwcsName) return STG_E_INSUFFICIENTMEMORY;
    }
    st->type = STGTY_STORAGE;
    st->clsid = node->clsid;
    st->grfStateBits = node->state;
    st->grfMode = STGM_TRANSACTED | (root_->writable ? STGM_READWRITE : STGM_READ);
    st->ctime = node->ctime;
    st->mtime = st->atime = node->mtime;
    return S_OK;
  }

 private:
  template <typename T, typename I>
  static HRESULT Make(T* obj, I** out) {
    if (!obj) return E_OUTOFMEMORY;
    *out = obj;
    return S_OK;
  }

  // This storage's node in the working tree; null when a Revert or a
  // DestroyElement took it away.
  Node* Here() REQUIRES(root_->mu) {
    Node* n = root_->working.get();
    for (const auto& p : path_) {
      auto it = n->storages.find(p);
      if (it == n->storages.end()) return nullptr;
      n = it->second.get();
    }
    return n;
  }

  static HRESULT WriteAll(IStream* s, const std::vector<BYTE>& data) {
    size_t off = 0;
    while (off < data.size()) {
      ULONG chunk = static_cast<ULONG>(std::min<size_t>(data.size() - off, 1u << 20)), put = 0;
      HRESULT hr = s->Write(data.data() + off, chunk, &put);
      if (FAILED(hr)) return hr;
      off += chunk;
    }
    return S_OK;
  }

  static HRESULT CopyNode(const Node& n, IStorage* dst, bool skip_storage,
                          const std::function<bool(const std::u16string&)>& excluded) {
    HRESULT hr = dst->SetClass(n.clsid);
    if (SUCCEEDED(hr)) hr = dst->SetStateBits(n.state, 0xFFFFFFFF);
    if (FAILED(hr)) return hr;
    for (const auto& [k, v] : n.streams) {
      if (excluded(k)) continue;
      vantrel::ComPtr<IStream> s;
      hr = dst->CreateStream(k.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out());
      if (SUCCEEDED(hr)) {
        MutexLock g(v->mu);  // `n` is the caller's private copy: no one else waits for it
        hr = WriteAll(s.get(), v->data);
      }
      if (FAILED(hr)) return hr;
    }
    if (skip_storage) return S_OK;
    for (const auto& [k, v] : n.storages) {
      if (excluded(k)) continue;
      vantrel::ComPtr<IStorage> s;
      hr = dst->CreateStorage(k.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out());
      if (SUCCEEDED(hr)) hr = CopyNode(*v, s.get(), false, [](const std::u16string&) { return false; });
      // Times go along where the destination keeps them.
      if (SUCCEEDED(hr)) dst->SetElementTimes(k.c_str(), &v->ctime, nullptr, &v->mtime);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  std::shared_ptr<Root> root_;
  std::vector<std::u16string> path_;  // names from the root down to this storage
  std::u16string name_;
};

}  // namespace

HRESULT CreateMemoryStream(std::vector<BYTE> initial, bool writable, CommitHook on_commit, IStream** out) {
  if (!out) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  try {
    std::shared_ptr<Bytes> b;
    if (on_commit)
      b = std::make_shared<HookedBytes>(std::move(on_commit));
    else
      b = std::make_shared<Bytes>();
    {
      MutexLock g(b->mu);
      b->data = std::move(initial);
    }
    *out = new StreamBase(std::move(b), writable, u"");
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CreateMemoryStorage(const std::vector<BYTE>& image, bool writable, CommitHook on_commit, IStorage** out) {
  if (!out) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  try {
    auto root = std::make_shared<Root>();
    MutexLock g(root->mu);  // not shared yet; taken for the analysis
    root->committed = std::make_shared<Node>();
    if (image.empty()) {
      root->committed->ctime = root->committed->mtime = CurrentFileTime();
    } else if (image.size() >= sizeof(kOldMagic) && std::memcmp(image.data(), kOldMagic, sizeof(kOldMagic)) == 0) {
      Reader r(image.data() + sizeof(kOldMagic), image.size() - sizeof(kOldMagic));
      if (!r.Node_(*root->committed, 0) || r.left() != 0) return STG_E_DOCFILECORRUPT;
    } else if (HRESULT hr = ReadCompoundFile(image.data(), image.size(), *root->committed); FAILED(hr)) {
      return hr;
    }
    root->working = DeepCopy(*root->committed);
    root->hook = std::move(on_commit);
    root->writable = writable;
    *out = new MemStorage(std::move(root), {}, u"");
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT SerializeStorage(IStorage* storage, std::vector<BYTE>& out) {
  if (!storage) return STG_E_INVALIDPOINTER;
  // Copy through the public interface so any IStorage can be saved.
  vantrel::ComPtr<IStorage> tmp;
  std::vector<BYTE> image;
  HRESULT hr = CreateMemoryStorage(
      {}, true,
      [&](const std::vector<BYTE>& b) {
        image = b;
        return S_OK;
      },
      tmp.Out());
  if (FAILED(hr)) return hr;
  hr = storage->CopyTo(0, nullptr, nullptr, tmp.get());
  // The storage's own times go along too, where it tells them.
  STATSTG st;
  if (SUCCEEDED(hr) && SUCCEEDED(storage->Stat(&st, STATFLAG_NONAME)))
    hr = tmp->SetElementTimes(nullptr, &st.ctime, nullptr, &st.mtime);
  if (SUCCEEDED(hr)) hr = tmp->Commit(STGC_DEFAULT);
  if (SUCCEEDED(hr)) out = std::move(image);
  return hr;
}

HRESULT Bytes::ReadAt(ULONGLONG pos, BYTE* out, ULONG cb, ULONG* got) {
  std::memcpy(out, data.data() + pos, cb);
  *got = cb;
  return S_OK;
}

HRESULT Bytes::WriteAt(ULONGLONG pos, const BYTE* in, ULONG cb) {
  try {
    if (pos + cb > data.size()) data.resize(static_cast<size_t>(pos + cb));
  } catch (const std::exception&) {  // bad_alloc, or length_error past what a vector holds
    return STG_E_MEDIUMFULL;
  }
  std::memcpy(data.data() + pos, in, cb);
  return S_OK;
}

HRESULT Bytes::Resize(ULONGLONG size) {
  try {
    data.resize(static_cast<size_t>(size));
  } catch (const std::exception&) {
    return STG_E_MEDIUMFULL;
  }
  return S_OK;
}

}  // namespace vantrel::storage
