#include "server/objects/ServerIMsgStore.h"

#include <stdexcept>
#include <string>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "server/dispatch/ServerTrace.h"

namespace vantrel::server {
namespace {

std::vector<std::uint8_t> CopyOf(const std::vector<std::uint8_t>& bytes) {
  return bytes;
}
LPENTRYID EntryOrNull(std::vector<std::uint8_t>& bytes) {
  return bytes.empty() ? nullptr : reinterpret_cast<LPENTRYID>(bytes.data());
}

// A message class for a call that reads it wide under MAPI_UNICODE.
struct ClassArg {
  ClassArg(const std::string& ansi, bool unicode) : unicode(unicode), ansi(ansi) {
    if (unicode) wide = AnsiToUtf16(ansi);
  }
  LPSTR get() { return unicode ? reinterpret_cast<LPSTR>(wide.data()) : ansi.data(); }
  bool unicode;
  std::string ansi;
  std::u16string wide;
};

}  // namespace

void CServerIMsgStore::Destroy() {
  MutexLock l(lock);
  // The MAPI store outlives this object (its connection keeps it), so the
  // registrations made through it end here, not with the store.
  for (auto [connection, mapi_connection] : advises_) {
    if (store_) store_->Unadvise(mapi_connection);
    if (registry) registry->Advises().RemoveAdvise(connection);
  }
  advises_.clear();
  prop_.Reset();
  store_.Reset();
}

void CServerIMsgStore::SetMapiObject(IUnknown* object) {
  ComPtr<IMsgStore> s;
  if (object) object->QueryInterface(IID_IMsgStore, s.OutVoid());
  SetStore(s.get());
}

void CServerIMsgStore::SetStore(IMsgStore* s) {
  MutexLock l(lock);
  store_ = ComPtr<IMsgStore>(s);
  prop_ = ComPtr<IMAPIProp>(s);
  store = weak_from_this();
}

std::shared_ptr<CServerClass> CServerIMsgStore::StoreObject() const {
  return std::const_pointer_cast<CServerClass>(weak_from_this().lock());
}

IMsgStore* CServerIMsgStore::Store() const {
  if (!store_) throw std::logic_error("store object without interface");
  return store_.get();
}

HRESULT CServerIMsgStore::MSGSTORE_Advise(const zel::MSGSTORE_Advise::Request& in, zel::MSGSTORE_Advise::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    if (!registry) throw std::logic_error("object not registered");
    IMsgStore* s = Store();
    auto& list = registry->Advises();
    auto record = list.AddAdvise(static_cast<ULONG>(handle.load()), in.hSession, static_cast<ULONG>(in.ulEventMask),
                                 static_cast<ULONG>(in.clientKey));
    if (!record) return MAPI_E_NOT_ENOUGH_MEMORY;
    bool fresh = !advises_.count(record->connection);
    out.ulConnection = static_cast<std::int32_t>(record->connection);
    auto id = CopyOf(in.entryID);
    ULONG mapi_connection = 0;
    HRESULT hr = s->Advise(static_cast<ULONG>(id.size()), EntryOrNull(id), static_cast<ULONG>(in.ulEventMask),
                           record->sink.get(), &mapi_connection);
    if (FAILED(hr)) {
      // A record made for this call alone goes again; MAPI never saw it.
      if (fresh) list.RemoveAdvise(record->connection);
      out.ulConnection = 0;
      return hr;
    }
    // Asked twice for the same record: the older MAPI registration ends, so
    // one Unadvise leaves nothing behind.
    if (!fresh) s->Unadvise(advises_[record->connection]);
    advises_[record->connection] = mapi_connection;
    list.SetObjectKey(record->connection, mapi_connection);
    return hr;
  });
}

HRESULT CServerIMsgStore::Unadvise(std::int32_t connection) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    if (!registry) throw std::logic_error("object not registered");
    IMsgStore* s = Store();
    auto it = advises_.find(static_cast<ULONG>(connection));
    // Records of other objects are not this store's to end.
    if (connection < 0 || it == advises_.end()) return MAPI_E_NOT_FOUND;
    HRESULT hr = s->Unadvise(it->second);
    advises_.erase(it);
    registry->Advises().RemoveAdvise(static_cast<ULONG>(connection));
    return hr;
  });
}

HRESULT CServerIMsgStore::MSGSTORE_Unadvise(const zel::MSGSTORE_Unadvise::Request& in,
                                            zel::MSGSTORE_Unadvise::Reply&) {
  return Unadvise(in.ulConnection);
}

HRESULT CServerIMsgStore::MSGSTORE_Undadvise(const zel::MSGSTORE_Undadvise::Request& in,
                                             zel::MSGSTORE_Undadvise::Reply&) {
  return Unadvise(in.ulConnection);
}

HRESULT CServerIMsgStore::MSGSTORE_CompareEntryIDs(const zel::MSGSTORE_CompareEntryIDs::Request& in,
                                                   zel::MSGSTORE_CompareEntryIDs::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    auto a = CopyOf(in.entryID1), b = CopyOf(in.entryID2);
    ULONG result = 0;
    HRESULT hr = Store()->CompareEntryIDs(static_cast<ULONG>(a.size()), EntryOrNull(a), static_cast<ULONG>(b.size()),
                                          EntryOrNull(b), static_cast<ULONG>(in.ulFlags), &result);
    out.ulResult = static_cast<std::int32_t>(result);
    return hr;
  });
}

HRESULT CServerIMsgStore::MSGSTORE_GetReceiveFolder(const zel::MSGSTORE_GetReceiveFolder::Request& in,
                                                    zel::MSGSTORE_GetReceiveFolder::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    ULONG flags = static_cast<ULONG>(in.ulFlags);
    ClassArg cls(in.messageClass, flags & MAPI_UNICODE);
    ULONG cb = 0;
    LPENTRYID raw_id = nullptr;
    LPSTR raw_class = nullptr;
    HRESULT hr = Store()->GetReceiveFolder(cls.get(), flags, &cb, &raw_id, &raw_class);
    MapiBuffer<ENTRYID> id(raw_id);
    MapiBuffer<char> explicit_class(raw_class);
    if (FAILED(hr)) return hr;
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(id.get());
    for (ULONG i = 0; bytes && i < cb; ++i) {
      text += kDigits[bytes[i] >> 4];
      text += kDigits[bytes[i] & 15];
    }
    std::string found;
    if (explicit_class)
      found = cls.unicode ? Utf16ToAnsi(reinterpret_cast<const char16_t*>(explicit_class.get())) : explicit_class.get();
    std::vector<std::uint8_t> block(text.begin(), text.end());
    block.push_back(0);
    block.insert(block.end(), found.begin(), found.end());
    block.push_back(0);
    out.hBuffer = ResultBlock(std::move(block), out.inlineData, out.cb);
    return hr;
  });
}

HRESULT CServerIMsgStore::MSGSTORE_GetReceiveFolderTable(const zel::MSGSTORE_GetReceiveFolderTable::Request& in,
                                                         zel::MSGSTORE_GetReceiveFolderTable::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    ComPtr<IMAPITable> table;
    HRESULT hr = Store()->GetReceiveFolderTable(static_cast<ULONG>(in.ulFlags), table.Out());
    if (FAILED(hr) || !table) return hr;
    out.hTable = MakeChild(kMapiTable, table.get(), nullptr, nullptr);
    return hr;
  });
}

HRESULT CServerIMsgStore::MSGSTORE_OpenEntry(const zel::MSGSTORE_OpenEntry::Request& in,
                                             zel::MSGSTORE_OpenEntry::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    auto id = CopyOf(in.entryID);
    IID storage;
    const IID* iid = SelectedIid(in.iid, storage);
    ULONG type = 0;
    ComPtr<IUnknown> opened;
    HRESULT hr = Store()->OpenEntry(static_cast<ULONG>(id.size()), EntryOrNull(id), iid,
                                    static_cast<ULONG>(in.ulFlags), &type, opened.Out());
    if (!opened) {
      ServerTrace("OpenEntry ERturned NULL\nHR=%s", MapiErrorName(hr).c_str());
      return hr;
    }
    out.ulObjType = static_cast<std::int32_t>(type);
    std::shared_ptr<CServerClass> created;
    out.hNewObject = MakeChild(static_cast<std::int32_t>(type), opened.get(), nullptr, StoreObject(), &created);
    if (created) {
      // Gives the object its entry ID text, which GetFolderID searches.
      ComPtr<IMAPIProp> prop = QueryMapiProp(opened.get());
      CPropDescribeSource source(prop.get());
      if (prop) registry->Describe(*created, source);
    }
    return hr;
  });
}

HRESULT CServerIMsgStore::MSGSTORE_SetReceiveFolder(const zel::MSGSTORE_SetReceiveFolder::Request& in,
                                                    zel::MSGSTORE_SetReceiveFolder::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    ULONG flags = static_cast<ULONG>(in.ulFlags);
    ClassArg cls(in.messageClass, flags & MAPI_UNICODE);
    auto id = CopyOf(in.entryID);
    return Store()->SetReceiveFolder(cls.get(), flags, static_cast<ULONG>(id.size()), EntryOrNull(id));
  });
}

HRESULT CServerIMsgStore::MSGSTORE_OpenOutbox(const zel::MSGSTORE_OpenOutbox::Request&,
                                              zel::MSGSTORE_OpenOutbox::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    IMsgStore* s = Store();
    LPSPropValue raw = nullptr;
    HRESULT hr = HrGetOneProp(s, PR_IPM_OUTBOX_ENTRYID, &raw);
    MapiBuffer<SPropValue> value(raw);
    if (FAILED(hr) || !value) return hr;
    ULONG type = 0;
    ComPtr<IUnknown> opened;
    hr = s->OpenEntry(value->Value.bin.cb, reinterpret_cast<LPENTRYID>(value->Value.bin.lpb), nullptr,
                      MAPI_BEST_ACCESS, &type, opened.Out());
    if (FAILED(hr) || !opened) return hr;
    out.hFolder = MakeChild(static_cast<std::int32_t>(type), opened.get(), nullptr, StoreObject());
    return hr;
  });
}

}  // namespace vantrel::server
