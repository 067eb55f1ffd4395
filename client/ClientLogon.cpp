#include "client/ClientLogon.h"

#include "client/ClientCall.h"
#include "platform/mapi/MapiMemory.h"

namespace vantrel::client {

CClientLogon::CClientLogon() {
  allocator_.allocate = MAPIAllocateBuffer;
  allocator_.allocate_more = MAPIAllocateMore;
  allocator_.free = MAPIFreeBuffer;
}

CClientLogon::~CClientLogon() {
  std::int32_t handle = logon_handle_.exchange(-1);
  if (FAILED(FreeServerObject(Binding(), handle))) ClientTrace("Error on ~CClientLogon");
}

ULONG CClientLogon::AddRef() {
  LONG before = refs_.fetch_add(1);
  ClientTrace(Format("CClientLogon::AddRef with m_Ref = %d", before));
  return static_cast<ULONG>(before + 1);
}

ULONG CClientLogon::Release() {
  LONG before = refs_.load();
  ClientTrace(Format("CClientRelease with m_Ref = %d", before));
  LONG after = refs_.fetch_sub(1) - 1;
  if (after <= 0) delete this;
  return static_cast<ULONG>(after < 0 ? 0 : after);
}

std::string CClientLogon::StringBinding() const {
  MutexLock lock(lock_);
  return string_binding_;
}

void CClientLogon::SetStringBinding(std::string text) {
  MutexLock lock(lock_);
  string_binding_ = std::move(text);
}

void CClientLogon::SetStoreIdentity(StoreIdentity ids) {
  MutexLock lock(lock_);
  identity_ = std::move(ids);
  translate_ = true;
}

bool CClientLogon::TranslationEnabled() const {
  MutexLock lock(lock_);
  return translate_;
}

bool CClientLogon::TranslateEntryID(std::span<const BYTE> id, std::vector<BYTE>& out) const {
  MutexLock lock(lock_);
  if (!translate_) return false;
  return TranslateEntryId(identity_, id, out);
}

std::vector<BYTE> CClientLogon::ServerFormEntryID(std::span<const BYTE> id) const {
  std::vector<BYTE> out;
  MutexLock lock(lock_);
  if (translate_ && ToServerForm(identity_, id, out)) return out;
  return std::vector<BYTE>(id.begin(), id.end());
}

std::vector<BYTE> CClientLogon::LocalStoreEntryId() const {
  MutexLock lock(lock_);
  return identity_.local_entry_id;
}

ComPtr<IMAPISupport> CClientLogon::Support() const {
  MutexLock lock(lock_);
  return support_;
}

void CClientLogon::SetSupport(IMAPISupport* support) {
  ComPtr<IMAPISupport> old;
  {
    MutexLock lock(lock_);
    old = std::move(support_);
    support_ = ComPtr<IMAPISupport>(support);
  }
  // `old` is released here, outside the lock.
}

zel::CMapiMarshal::Allocator CClientLogon::Allocator() const {
  MutexLock lock(lock_);
  return allocator_;
}

void CClientLogon::SetAllocator(const zel::CMapiMarshal::Allocator& allocator) {
  MutexLock lock(lock_);
  allocator_ = allocator;
}

HRESULT CClientLogon::AllocateBuffer(ULONG size, void** out) const { return Allocator().allocate(size, out); }

HRESULT CClientLogon::AllocateMore(ULONG size, void* parent, void** out) const {
  return Allocator().allocate_more(size, parent, out);
}

void CClientLogon::FreeBuffer(void* p) const {
  if (p) Allocator().free(p);
}

void CClientLogon::BindMarshal(zel::CMapiMarshal& codec) const {
  codec.SetProviderUid(kStoreProviderUid.data());
  codec.SetEntryIdTranslator(
      [this](zel::CMapiMarshal::Direction, std::span<const BYTE> in, std::vector<BYTE>& out) {
        return TranslateEntryID(in, out);
      });
}

ULONG CClientLogon::AddAdvise(AdviseEntry entry) {
  MutexLock lock(advise_lock_);
  advises_.push_back(std::move(entry));
  return static_cast<ULONG>(advises_.size() - 1);
}

std::optional<ULONG> CClientLogon::RemoveAdvise(ULONG connection) {
  ComPtr<IMAPIAdviseSink> sink;
  std::optional<ULONG> server;
  {
    MutexLock lock(advise_lock_);
    if (connection < advises_.size() && advises_[connection]) {
      sink = std::move(advises_[connection]->sink);
      server = advises_[connection]->server_connection;
      advises_[connection].reset();
    }
  }
  return server;  // the sink is released outside the lock
}

bool CClientLogon::HasAdvises() const {
  MutexLock lock(advise_lock_);
  for (const auto& e : advises_)
    if (e) return true;
  return false;
}

std::vector<ComPtr<IMAPIAdviseSink>> CClientLogon::SinksFor(ULONG sink_key) const {
  std::vector<ComPtr<IMAPIAdviseSink>> out;
  MutexLock lock(advise_lock_);
  for (const auto& e : advises_)
    if (e && e->sink_key == sink_key) out.push_back(e->sink);
  return out;
}

ULONG CClientLogon::NewSinkKey() {
  static std::atomic<ULONG> next{0};
  ULONG key;
  do {
    key = ++next;
  } while (key == 0);
  return key;
}

}  // namespace vantrel::client
