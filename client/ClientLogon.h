// CClientLogon: one logon of the client to a store on the server. It holds
// the binding, the server's logon handle, the store's identity for entry-ID
// translation, the provider's support object and the advise registrations
// of the store.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/ClientCall.h"
#include "client/EntryIdTranslation.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/rpc/Rpc.h"
#include "protocol/MapiMarshal.h"

namespace vantrel::client {

class CClientMsgStore;

// The PR_MDB_PROVIDER of the store provider: the client reports it for every
// store it serves in place of the server's value.
inline constexpr std::array<BYTE, 16> kStoreProviderUid = {0x7B, 0xE3, 0xC3, 0x80, 0x5B, 0x0A, 0x11, 0xCE,
                                                           0xB4, 0xE1, 0x00, 0xAA, 0x00, 0x51, 0x0E, 0x3B};

// One advise registration of a store. `sink_key` names the sink to the
// server, which sends it back with each notification: a number unique in
// the process, never a pointer value.
struct AdviseEntry {
  ComPtr<IMAPIAdviseSink> sink;
  ULONG event_mask = 0;
  ULONG server_connection = 0;
  ULONG sink_key = 0;
};

class CClientLogon {
 public:
  CClientLogon();
  CClientLogon(const CClientLogon&) = delete;
  CClientLogon& operator=(const CClientLogon&) = delete;

  // Traced counting; Release deletes at 0. The count starts at 0; the
  // logon LogonClient hands out carries one reference for its caller.
  // Virtual and the first two slots, in this order: a module that holds a
  // logon releases it through them without linking to us.
  virtual ULONG AddRef();
  virtual ULONG Release();

  RPC_BINDING_HANDLE Binding() const { return binding_.load(); }
  void SetBinding(RPC_BINDING_HANDLE binding) { binding_.store(binding); }
  std::int32_t LogonHandle() const { return logon_handle_.load(); }
  void SetLogonHandle(std::int32_t handle) { logon_handle_.store(handle); }
  std::int32_t AdminHandle() const { return admin_handle_.load(); }
  void SetAdminHandle(std::int32_t handle) { admin_handle_.store(handle); }
  const std::string& ApplicationString() const { return application_; }
  std::string StringBinding() const EXCLUDES(lock_);
  void SetStringBinding(std::string text) EXCLUDES(lock_);

  // Turns translation on with the store's two identities.
  void SetStoreIdentity(StoreIdentity ids) EXCLUDES(lock_);
  bool TranslationEnabled() const EXCLUDES(lock_);
  // True with `out` filled when `id` must be rewritten (either direction).
  bool TranslateEntryID(std::span<const BYTE> id, std::vector<BYTE>& out) const EXCLUDES(lock_);
  // `id` in the server's form (a copy; unchanged when it already is, or
  // when translation is off).
  std::vector<BYTE> ServerFormEntryID(std::span<const BYTE> id) const EXCLUDES(lock_);
  // The local store entry ID (empty until set).
  std::vector<BYTE> LocalStoreEntryId() const EXCLUDES(lock_);

  // The provider's support object (null before LogonClient set it).
  ComPtr<IMAPISupport> Support() const EXCLUDES(lock_);
  void SetSupport(IMAPISupport* support) EXCLUDES(lock_);

  // The MAPI memory routines of the support object (the process's MAPI
  // routines until then).
  zel::CMapiMarshal::Allocator Allocator() const EXCLUDES(lock_);
  void SetAllocator(const zel::CMapiMarshal::Allocator& allocator) EXCLUDES(lock_);
  HRESULT AllocateBuffer(ULONG size, void** out) const;
  HRESULT AllocateMore(ULONG size, void* parent, void** out) const;
  void FreeBuffer(void* p) const;

  // Binds a codec to this logon: entry IDs translated, PR_MDB_PROVIDER
  // replaced. The codec must not outlive the logon.
  void BindMarshal(zel::CMapiMarshal& codec) const;

  // The store proxy of this logon (not owned; it holds a reference on us).
  CClientMsgStore* Store() const { return store_.load(); }
  void SetStore(CClientMsgStore* store) { store_.store(store); }

  // Spooler mode of the logon's store, for the object trace.
  bool Spooler() const { return spooler_.load(); }
  void SetSpooler(bool on) { spooler_.store(on); }

  // ---- advise table (entries never move: indices are connection numbers)
  // Adds a registration; returns its index.
  ULONG AddAdvise(AdviseEntry entry) EXCLUDES(advise_lock_);
  // Removes registration `connection`; returns its server connection or
  // nullopt when there is none.
  std::optional<ULONG> RemoveAdvise(ULONG connection) EXCLUDES(advise_lock_);
  bool HasAdvises() const EXCLUDES(advise_lock_);
  // The sinks registered under `sink_key`, each with a reference.
  std::vector<ComPtr<IMAPIAdviseSink>> SinksFor(ULONG sink_key) const EXCLUDES(advise_lock_);
  // A new sink key, unique in the process and never 0.
  static ULONG NewSinkKey();

 protected:
  virtual ~CClientLogon();

 private:
  std::atomic<std::int32_t> admin_handle_{-1};
  const std::string application_;  // always empty
  std::atomic<RPC_BINDING_HANDLE> binding_{nullptr};
  std::atomic<std::int32_t> logon_handle_{-1};
  std::atomic<LONG> refs_{0};
  std::atomic<CClientMsgStore*> store_{nullptr};
  std::atomic<bool> spooler_{false};

  // The logon's fields; a leaf below the call lock (the codec translates
  // entry IDs while a caller may hold the call lock).
  mutable Mutex lock_ ACQUIRED_AFTER(detail::g_call_lock);
  std::string string_binding_ GUARDED_BY(lock_);
  StoreIdentity identity_ GUARDED_BY(lock_);
  bool translate_ GUARDED_BY(lock_) = false;
  ComPtr<IMAPISupport> support_ GUARDED_BY(lock_);
  zel::CMapiMarshal::Allocator allocator_ GUARDED_BY(lock_);

  // The advise table; a leaf: no call and no sink runs under it.
  mutable Mutex advise_lock_ ACQUIRED_AFTER(detail::g_call_lock);
  std::vector<std::optional<AdviseEntry>> advises_ GUARDED_BY(advise_lock_);
};

}  // namespace vantrel::client

// The export the store provider calls to log on (ordinal 2): returns 0, 1
// when the server produced no store, or the failing result.
extern "C" HRESULT LogonClient(const char* server, const char* profile, const char* store, const char* user,
                               const char* password, IMAPISupport* support, vantrel::client::CClientLogon** logon,
                               IMsgStore** msg_store, const BYTE* local_entry_id, ULONG local_entry_id_size,
                               const BYTE* local_uid);
