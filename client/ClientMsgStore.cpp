#include "client/ClientMsgStore.h"

#include <algorithm>
#include <cstring>

#include "client/ClientStorePoll.h"
#include "platform/base/CodePage.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/Validate.h"
#include "platform/win/MessageBox.h"

namespace vantrel::client {

namespace {

std::string GuidText(REFIID id) {
  return Format("%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", id.Data1, id.Data2, id.Data3, id.Data4[0],
                id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
}

constexpr ULONG kMsgLocked = 1;  // MSG_LOCKED

// A message class as the caller passed it: UTF-16 under MAPI_UNICODE.
std::string ClassText(LPSTR text, ULONG flags) {
  if (!text) return "";
  if (flags & MAPI_UNICODE) return Utf16ToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(text)));
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

CClientMsgStore::CClientMsgStore(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding)
    : TClientProp(handle, logon, binding, "CClientMsgStore"), poll_(std::make_shared<CStorePoll>(logon)) {
  RegisterStorePoll(poll_);
}

CClientMsgStore::~CClientMsgStore() {
  ClientTrace("~CClientMsgStore()");
  UnregisterStorePoll(poll_);
  if (ULONG connection = subscription_.exchange(0)) {
    if (ComPtr<IMAPISupport> support = logon_ ? logon_->Support() : ComPtr<IMAPISupport>()) {
      support->Unsubscribe(connection);
    }
  }
  if (logon_ && logon_->Store() == this) logon_->SetStore(nullptr);
  ClientTrace("~CClientMsgStore() OK");
}

HRESULT CClientMsgStore::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IMAPIProp || riid == IID_IMsgStore) {
    *ppv = static_cast<IMsgStore*>(this);
    AddRef();
    return S_OK;
  }
  if (riid == IID_IZelStoreContext) {
    *ppv = static_cast<IZelStoreContext*>(&context_);
    return S_OK;
  }
  ClientTrace(Format("Client has queried unknown guid %s from MsgStore", GuidText(riid).c_str()));
  return E_NOINTERFACE;
}

ULONG CClientMsgStore::AddRef() {
  LONG n = ++refs_;
  ClientTrace(Format("CClientMsgStore::AddRef obj = %x, m_ref = %d", static_cast<unsigned>(handle_), n));
  return static_cast<ULONG>(n);
}

ULONG CClientMsgStore::Release() {
  LONG n = --refs_;
  ClientTrace(Format("CClientMsgStore::Release obj = %x, m_ref = %d", static_cast<unsigned>(handle_), n));
  if (n <= 1) {
    Free();
    return 0;
  }
  return static_cast<ULONG>(n);
}

HRESULT CClientMsgStore::Advise(ULONG cb, LPENTRYID id, ULONG event_mask, LPMAPIADVISESINK sink,
                                ULONG* connection) {
  Trace("Advise");
  if (HRESULT hr = HrValidateParameters(IMsgStore_Advise, cb, id, event_mask, sink, connection); FAILED(hr))
    return hr;
  *connection = 0;
  ULONG key = CClientLogon::NewSinkKey();
  zel::MSGSTORE_Advise::Request in;
  in.hStore = handle_;
  in.hSession = logon_->LogonHandle();
  in.entryID = OutgoingId(cb, reinterpret_cast<const BYTE*>(id));
  in.ulEventMask = static_cast<std::int32_t>(event_mask);
  in.clientKey = static_cast<std::int32_t>(key);
  zel::MSGSTORE_Advise::Reply out;
  // A failed server registration still registers here; it never hears
  // anything.
  CallRemote<zel::MSGSTORE_Advise>(binding_, in, out);
  AdviseEntry entry;
  entry.sink = ComPtr<IMAPIAdviseSink>(sink);
  entry.event_mask = event_mask;
  entry.server_connection = static_cast<ULONG>(out.ulConnection);
  entry.sink_key = key;
  *connection = logon_->AddAdvise(std::move(entry));
  return S_OK;
}

HRESULT CClientMsgStore::Unadvise(ULONG connection) {
  Trace("Unadvise");
  std::optional<ULONG> server = logon_->RemoveAdvise(connection);
  zel::MSGSTORE_Unadvise::Request in{handle_, server ? static_cast<std::int32_t>(*server) : -1};
  zel::MSGSTORE_Unadvise::Reply out;
  return CallRemote<zel::MSGSTORE_Unadvise>(binding_, in, out);
}

HRESULT CClientMsgStore::CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG,
                                         ULONG* result) {
  Trace("CompareEntryIDs");
  if (!result) return MAPI_E_INVALID_PARAMETER;
  if ((cb1 && !id1) || (cb2 && !id2)) return MAPI_E_INVALID_PARAMETER;
  // Both IDs in the server's form, so the two forms of one object match.
  std::vector<BYTE> a = logon_->ServerFormEntryID(std::span<const BYTE>(reinterpret_cast<const BYTE*>(id1), cb1));
  std::vector<BYTE> b = logon_->ServerFormEntryID(std::span<const BYTE>(reinterpret_cast<const BYTE*>(id2), cb2));
  *result = a == b ? TRUE : FALSE;
  return S_OK;
}

HRESULT CClientMsgStore::OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* object_type,
                                   LPUNKNOWN* result) {
  Trace("OpenEntry");
  if (!result) return MAPI_E_INVALID_PARAMETER;
  *result = nullptr;
  if (object_type) *object_type = 0;
  const BYTE* bytes = reinterpret_cast<const BYTE*>(id);
  zel::MSGSTORE_OpenEntry::Request in;
  in.hStore = handle_;
  in.entryID = OutgoingId(cb, bytes);
  in.iid = Selector(iid);
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::MSGSTORE_OpenEntry::Reply out;
  HRESULT hr = CallRemote<zel::MSGSTORE_OpenEntry>(binding_, in, out);
  if (hr == MAPI_E_INVALID_ENTRYID && !std::equal(in.entryID.begin(), in.entryID.end(), bytes, bytes + (bytes ? cb : 0))) {
    // Receive-folder IDs, among others, are known to the server as they are.
    in.entryID.assign(bytes, bytes + (bytes ? cb : 0));
    out = {};
    hr = CallRemote<zel::MSGSTORE_OpenEntry>(binding_, in, out);
  }
  if (FAILED(hr)) return hr;
  ULONG type = static_cast<ULONG>(out.ulObjType);
  hr = AdoptObject(hr, type, out.hNewObject, result);
  if (object_type && *result) *object_type = type;
  return hr;
}

HRESULT CClientMsgStore::SetReceiveFolder(LPSTR message_class, ULONG flags, ULONG cb, LPENTRYID id) {
  Trace("SetReceiveFolder");
  const BYTE* bytes = reinterpret_cast<const BYTE*>(id);
  zel::MSGSTORE_SetReceiveFolder::Request in;
  in.hStore = handle_;
  in.messageClass = ClassText(message_class, flags);
  in.ulFlags = static_cast<std::int32_t>(flags);
  // The folder's ID as the server knows it (one the caller got from us is
  // in the provider's form), and the server's answer: a receive folder
  // that was not set must not read as set.
  in.entryID = logon_->ServerFormEntryID(std::span<const BYTE>(bytes, bytes ? cb : 0));
  zel::MSGSTORE_SetReceiveFolder::Reply out;
  return CallRemote<zel::MSGSTORE_SetReceiveFolder>(binding_, in, out);
}

HRESULT CClientMsgStore::GetReceiveFolder(LPSTR message_class, ULONG flags, ULONG* cb, LPENTRYID* id,
                                          LPSTR* explicit_class) {
  Trace("GetReceiveFolder");
  if (!cb || !id) return MAPI_E_INVALID_PARAMETER;
  *cb = 0;
  *id = nullptr;
  if (explicit_class) *explicit_class = nullptr;
  zel::MSGSTORE_GetReceiveFolder::Request in;
  in.hStore = handle_;
  in.messageClass = ClassText(message_class, flags);
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::MSGSTORE_GetReceiveFolder::Reply out;
  HRESULT hr = CallRemote<zel::MSGSTORE_GetReceiveFolder>(binding_, in, out);
  if (FAILED(hr) || out.cb <= 0) return hr;
  std::vector<BYTE> block;
  if (HRESULT rr = BulkRead(binding_, out.cb, out.hBuffer, out.inlineData, block); FAILED(rr)) return rr;
  // Two NUL-terminated texts: the entry ID in hexadecimal, the class.
  auto nul = std::find(block.begin(), block.end(), BYTE{0});
  if (nul == block.end()) return MAPI_E_CALL_FAILED;
  std::string hex(block.begin(), nul);
  auto rest = nul + 1;
  auto nul2 = std::find(rest, block.end(), BYTE{0});
  if (nul2 == block.end()) return MAPI_E_CALL_FAILED;
  std::string klass(rest, nul2);
  if (hex.size() % 2) return MAPI_E_CALL_FAILED;
  std::vector<BYTE> bytes(hex.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    int hi = HexDigit(hex[2 * i]), lo = HexDigit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return MAPI_E_CALL_FAILED;
    bytes[i] = static_cast<BYTE>(hi << 4 | lo);
  }
  void* eid = nullptr;
  if (!bytes.empty()) {
    if (FAILED(logon_->AllocateBuffer(static_cast<ULONG>(bytes.size()), &eid))) return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(eid, bytes.data(), bytes.size());
  }
  if (explicit_class) {
    // The class goes back in the width the caller asked for.
    std::u16string wide;
    const void* src = klass.c_str();
    size_t size = klass.size() + 1;
    if (flags & MAPI_UNICODE) {
      wide = AnsiToUtf16(klass);
      src = wide.c_str();
      size = (wide.size() + 1) * sizeof(char16_t);
    }
    void* text = nullptr;
    if (FAILED(logon_->AllocateBuffer(static_cast<ULONG>(size), &text))) {
      logon_->FreeBuffer(eid);
      return MAPI_E_NOT_ENOUGH_MEMORY;
    }
    std::memcpy(text, src, size);
    *explicit_class = static_cast<LPSTR>(text);
  }
  *cb = static_cast<ULONG>(bytes.size());
  *id = static_cast<LPENTRYID>(eid);
  return hr;
}

HRESULT CClientMsgStore::GetReceiveFolderTable(ULONG flags, LPMAPITABLE* table) {
  ObjectTrace(handle_, logon_->Spooler(), "CClientMsgStore::RawGetReceiveFolderTable");
  if (!table) return MAPI_E_INVALID_PARAMETER;
  *table = nullptr;
  zel::MSGSTORE_GetReceiveFolderTable::Request in{handle_, static_cast<std::int32_t>(flags)};
  zel::MSGSTORE_GetReceiveFolderTable::Reply out;
  HRESULT hr = CallRemote<zel::MSGSTORE_GetReceiveFolderTable>(binding_, in, out);
  if (FAILED(hr)) return hr;
  *table = static_cast<LPMAPITABLE>(MakeProxy(256, out.hTable));
  return hr;
}

HRESULT CClientMsgStore::StoreLogoff(ULONG*) {
  Trace("StoreLogoff");
  // The handle names nothing after this; a later release must not free
  // whatever object the server gives the number next.
  FreeServerObject(binding_, handle_);
  return MAPI_E_NO_SUPPORT;
}

HRESULT CClientMsgStore::AbortSubmit(ULONG, LPENTRYID, ULONG) { return MAPI_E_NO_SUPPORT; }
HRESULT CClientMsgStore::GetOutgoingQueue(ULONG, LPMAPITABLE* table) {
  if (table) *table = nullptr;
  return MAPI_E_NO_SUPPORT;
}
HRESULT CClientMsgStore::FinishedMsg(ULONG, ULONG, LPENTRYID) { return MAPI_E_NO_SUPPORT; }
HRESULT CClientMsgStore::NotifyNewMail(LPNOTIFICATION) { return MAPI_E_NO_SUPPORT; }

HRESULT CClientMsgStore::SetLockState(LPMESSAGE message, ULONG lock_state) {
  Trace("SetLockState");
  if (!message) return S_OK;
  try {
    SPropTagArray tags{1, {PR_SUBMIT_FLAGS}};
    ULONG count = 0;
    LPSPropValue value = nullptr;
    LONG flags = 0;
    if (SUCCEEDED(message->GetProps(&tags, 0, &count, &value)) && value && count == 1 &&
        value->ulPropTag == PR_SUBMIT_FLAGS)
      flags = value->Value.l;
    MAPIFreeBuffer(value);
    if (lock_state == kMsgLocked)
      flags |= static_cast<LONG>(SUBMITFLAG_LOCKED);
    else
      flags &= ~static_cast<LONG>(SUBMITFLAG_LOCKED);
    SPropValue v{};
    v.ulPropTag = PR_SUBMIT_FLAGS;
    v.Value.l = flags;
    message->SetProps(1, &v, nullptr);
    message->SaveChanges(KEEP_OPEN_READWRITE);
  } catch (...) {
    MessageBox(nullptr, "Fatal error in CClientMsgStore::SetLockState", "MapiSpooler", MB_OK);
  }
  return S_OK;
}

// ---- IZelStoreContext ----------------------------------------------------------

HRESULT CClientMsgStore::Context::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IZelStoreContext) {
    *ppv = static_cast<IZelStoreContext*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT CClientMsgStore::Context::SetSpoolerMode(ULONG mode) {
  store_->SetSpoolerMode(mode);
  return 0;
}

HRESULT CClientMsgStore::Context::GetSpoolerMode(ULONG* mode) {
  if (mode) *mode = store_->spooler_mode_.load();
  return 0;
}

void CClientMsgStore::SetSpoolerMode(ULONG mode) {
  spooler_mode_.store(mode);
  logon_->SetSpooler(mode != 0);
  LPMAPIADVISESINK raw = nullptr;
  if (FAILED(HrAllocAdviseSink(&CClientMsgStore::ContextNotify, this, &raw)) || !raw) return;
  ComPtr<IMAPIAdviseSink> sink = ComPtr<IMAPIAdviseSink>::Adopt(raw);
  std::vector<BYTE> local = logon_->LocalStoreEntryId();
  ComPtr<IMAPISupport> support = logon_->Support();
  if (local.empty() || !support) return;
  // The key is the first 4 bytes of the store's entry ID (fewer when the
  // ID is shorter).
  size_t n = std::min<size_t>(4, local.size());
  void* key = nullptr;
  if (FAILED(logon_->AllocateBuffer(static_cast<ULONG>(CbNewNOTIFKEY(n)), &key))) return;
  auto* k = static_cast<LPNOTIFKEY>(key);
  k->cb = static_cast<ULONG>(n);
  std::memcpy(k->ab, local.data(), n);
  ULONG connection = 0;
  if (SUCCEEDED(support->Subscribe(k, fnevExtended | fnevNewMail, 0, sink.get(), &connection))) {
    if (ULONG old = subscription_.exchange(connection)) support->Unsubscribe(old);
    context_sink_ = sink;
  }
  logon_->FreeBuffer(key);
}

LONG CClientMsgStore::ContextNotify(void*, ULONG count, LPNOTIFICATION notifications) {
  if (!count || !notifications || notifications[0].ulEventType != fnevExtended) return 0;
  ULONG event = notifications[0].info.ext.ulEvent;
  // Event 1 carries a message's entry ID and needs nothing here; 2 is
  // ignored.
  if (event != 1 && event != 2) ClientTrace("ContextNotify: Unknown extended event notification received");
  return 0;
}

}  // namespace vantrel::client
