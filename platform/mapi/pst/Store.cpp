// The store object (IMsgStore) and the entry points of the
// personal-folders store.
#include <new>
#include <set>
#include <vector>

#include "platform/mapi/PstStore.h"
#include "platform/mapi/pst/ChangeFeed.h"
#include "platform/mapi/pst/EntryId.h"
#include "platform/mapi/pst/Folder.h"
#include "platform/mapi/pst/PropObject.h"
#include "platform/mapi/pst/TableUpkeep.h"

namespace vantrel::mapi::pst {
namespace {

class Store final : public PropObject<IMsgStore> {
 public:
  explicit Store(std::shared_ptr<Db> db) : PropObject(std::move(db)) {
    Reader rd(*db_);
    base_ = LoadProps(rd.c(), 0);
  }

  HRESULT Advise(ULONG cb, LPENTRYID eid, ULONG mask, LPMAPIADVISESINK sink, ULONG* conn) override {
    if (!sink || !conn || !mask || (cb && !eid)) return MAPI_E_INVALID_PARAMETER;
    Bytes key;
    if (eid) {
      if (ParseEntryID(db_->uid, cb, eid) < 0) return MAPI_E_INVALID_ENTRYID;
      key.assign(reinterpret_cast<BYTE*>(eid), reinterpret_cast<BYTE*>(eid) + cb);
    }
    FollowOtherWriters();
    MutexLock dg(db_->mu);
    CatchUp(*db_);  // the new sink hears only of what comes after it
    ULONG c = ++db_->next_conn;
    db_->sinks[c] = {std::move(key), mask, vantrel::ComPtr<IMAPIAdviseSink>(sink)};
    mine_.insert(c);
    *conn = c;
    return S_OK;
  }
  HRESULT Unadvise(ULONG conn) override {
    Sinks gone;  // released after the lock
    MutexLock dg(db_->mu);
    if (!mine_.count(conn)) return MAPI_E_NOT_FOUND;
    gone = Take({conn});
    return S_OK;
  }
  ~Store() override {
    Sinks gone;
    MutexLock dg(db_->mu);
    gone = Take(std::set<ULONG>(mine_));
  }

  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override {
    if (!result || !e1 || !e2) return MAPI_E_INVALID_PARAMETER;
    Bytes self = StoreEntryID(db_->path);
    auto is_store = [&](ULONG cb, LPENTRYID e) {
      return cb == self.size() && std::memcmp(reinterpret_cast<BYTE*>(e) + 4, self.data() + 4, cb - 4) == 0;
    };
    int64_t a = is_store(cb1, e1) ? 0 : ParseEntryID(db_->uid, cb1, e1);
    int64_t b = is_store(cb2, e2) ? 0 : ParseEntryID(db_->uid, cb2, e2);
    if (a < 0 || b < 0) return MAPI_E_UNKNOWN_ENTRYID;
    *result = a == b;  // flag bytes do not matter
    return S_OK;
  }

  HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    return OpenEntryOf(db_, kRoot, cb, eid, flags, type, out);
  }

  HRESULT SetReceiveFolder(LPSTR cls, ULONG flags, ULONG cb, LPENTRYID eid) override {
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    std::string c = ClassText(cls, flags);
    MutexLock dg(db_->mu);
    Tx tx(*db_);
    if (!eid) {
      // Clearing the default class is refused; others fall back to their prefix.
      if (c.empty()) return MAPI_E_CALL_FAILED;
      if (!ClearReceive(*db_, c) || !tx.Commit()) return MAPI_E_DISK_ERROR;
      return S_OK;
    }
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    if (id < 0 || !IsKind(db_->W(), id, Kind::kFolder)) return MAPI_E_INVALID_ENTRYID;
    if (!SetReceive(*db_, c, id) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return S_OK;
  }

  HRESULT GetReceiveFolder(LPSTR cls, ULONG flags, ULONG* cb, LPENTRYID* eid, LPSTR* explicit_cls) override {
    if (!cb || !eid) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    std::string c = ClassText(cls, flags);
    Reader rd(*db_);
    // The longest registered class that is the class itself or a prefix of
    // it ending at a dot.
    std::string probe = c;
    for (;;) {
      int64_t folder = 0;
      std::string got;
      if (FindReceive(rd.c(), probe, &folder, &got)) {
        HRESULT hr = CopyOut(MakeEntryID(db_->uid, folder), cb, eid);
        if (FAILED(hr)) return hr;
        if (explicit_cls) {
          void* m;
          if (flags & MAPI_UNICODE) {
            std::u16string w = Utf8ToUtf16(got);
            MAPIAllocateBuffer(static_cast<ULONG>((w.size() + 1) * 2), &m);
            std::memcpy(m, w.c_str(), (w.size() + 1) * 2);
          } else {
            std::string a = Utf8ToAnsi(got);
            MAPIAllocateBuffer(static_cast<ULONG>(a.size() + 1), &m);
            std::memcpy(m, a.c_str(), a.size() + 1);
          }
          *explicit_cls = static_cast<LPSTR>(m);
        }
        return S_OK;
      }
      if (probe.empty()) return MAPI_E_NOT_FOUND;
      size_t dot = probe.rfind('.');
      probe = dot == std::string::npos ? std::string() : probe.substr(0, dot);
    }
  }

  // A snapshot of the receive folders: the class, the folder's entry ID and
  // record key per row.
  HRESULT GetReceiveFolderTable(ULONG flags, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
    LPTABLEDATA td = nullptr;
    if (HRESULT hr = NewTableData(&td); FAILED(hr)) return hr;
    auto data = vantrel::ComPtr<IMAPITableData>::Adopt(td);
    Reader rd(*db_);
    LONG n = 0;
    for (const auto& [cls, folder] : ReceiveRows(rd.c())) {
      PropMap m;
      SetString(m, PR_MESSAGE_CLASS, cls);
      Bytes eid = MakeEntryID(db_->uid, folder), key(4);
      std::memcpy(key.data(), &n, 4);
      m[PROP_ID(PR_INSTANCE_KEY)] = {PT_BINARY, key};
      m[PROP_ID(PR_ENTRYID)] = {PT_BINARY, eid};
      m[PROP_ID(PR_RECORD_KEY)] = {PT_BINARY, eid};
      SRow row;
      if (HRESULT hr = BuildRow(m, {}, (flags & MAPI_UNICODE) != 0, row); FAILED(hr)) return hr;
      HRESULT hr = data->HrModifyRow(&row);
      MAPIFreeBuffer(row.lpProps);
      if (FAILED(hr)) return hr;
      ++n;
    }
    return data->HrGetView(nullptr, nullptr, 0, out);
  }
  HRESULT StoreLogoff(ULONG* flags) override {
    if (!flags) return MAPI_E_INVALID_PARAMETER;
    Sinks gone;
    MutexLock dg(db_->mu);
    gone = Take(std::set<ULONG>(mine_));
    *flags = 0;
    return S_OK;
  }
  HRESULT AbortSubmit(ULONG cb, LPENTRYID eid, ULONG) override {
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    if (id < 0) return MAPI_E_INVALID_ENTRYID;
    MutexLock dg(db_->mu);
    Tx tx(*db_);
    PropMap m = LoadProps(db_->W(), id);
    LONG f = GetLong(m, PR_MESSAGE_FLAGS);
    if (m.empty() || !(f & MSGFLAG_SUBMIT)) return MAPI_E_NOT_IN_QUEUE;
    SetLong(m, PR_MESSAGE_FLAGS, (f & ~MSGFLAG_SUBMIT) | MSGFLAG_UNSENT);
    if (!SaveProps(*db_, id, m) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return S_OK;
  }
  HRESULT GetOutgoingQueue(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetLockState(LPMESSAGE, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT FinishedMsg(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT NotifyNewMail(LPNOTIFICATION) override { return MAPI_E_NO_SUPPORT; }

 protected:
  void Computed(PropMap& all) override REQUIRES(mu_) {
    PutLong(all, PR_OBJECT_TYPE, MAPI_STORE);
    Bytes eid = StoreEntryID(db_->path);
    PutBin(all, PR_ENTRYID, eid);
    PutBin(all, PR_STORE_ENTRYID, eid);
    Bytes uid(db_->uid.ab, db_->uid.ab + 16);
    PutBin(all, PR_RECORD_KEY, uid);
    PutBin(all, PR_STORE_RECORD_KEY, uid);
    PutBin(all, PR_MDB_PROVIDER, Bytes(kProviderUid, kProviderUid + 16));
    PutLong(all, PR_STORE_SUPPORT_MASK,
            STORE_ENTRYID_UNIQUE | STORE_MODIFY_OK | STORE_CREATE_OK | STORE_ATTACH_OK | STORE_OLE_OK |
                STORE_SUBMIT_OK | STORE_MV_PROPS_OK | STORE_ANSI_OK | STORE_UNICODE_OK);
    PutBin(all, PR_IPM_SUBTREE_ENTRYID, MakeEntryID(db_->uid, kIpmSubtree));
    PutBin(all, PR_IPM_OUTBOX_ENTRYID, MakeEntryID(db_->uid, kOutbox));
    PutBin(all, PR_IPM_SENTMAIL_ENTRYID, MakeEntryID(db_->uid, kSent));
    PutBin(all, PR_IPM_WASTEBASKET_ENTRYID, MakeEntryID(db_->uid, kDeleted));
    PutLong(all, PR_VALID_FOLDER_MASK,
            FOLDER_IPM_SUBTREE_VALID | FOLDER_IPM_INBOX_VALID | FOLDER_IPM_OUTBOX_VALID | FOLDER_IPM_WASTEBASKET_VALID |
                FOLDER_IPM_SENTMAIL_VALID);
  }
  // The store is not transacted: changes reach the file at once.
  HRESULT Flush() override REQUIRES(mu_) {
    PropMap next = base_;
    for (ULONG id : deleted_) next.erase(id);
    for (const auto& [id, v] : pending_) next[id] = v;
    MutexLock dg(db_->mu);
    Tx tx(*db_);
    if (!SaveProps(*db_, 0, next) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    base_ = std::move(next);
    pending_.clear();
    deleted_.clear();
    return S_OK;
  }

 private:
  static std::string ClassText(LPSTR cls, ULONG flags) {
    if (!cls) return std::string();
    return (flags & MAPI_UNICODE) ? Utf16ToUtf8(reinterpret_cast<const char16_t*>(cls)) : AnsiToUtf8(cls);
  }
  using Sinks = std::vector<vantrel::ComPtr<IMAPIAdviseSink>>;
  // Ends this object's connections `conns` and hands their sinks back, to
  // be released once the file's lock is: a sink's last Release may take
  // its owner's locks, which come before the store's.
  Sinks Take(const std::set<ULONG>& conns) REQUIRES(db_->mu) {
    Sinks out;
    for (ULONG c : conns) {
      mine_.erase(c);
      auto it = db_->sinks.find(c);
      if (it == db_->sinks.end()) continue;
      out.push_back(std::move(it->second.sink));
      db_->sinks.erase(it);
    }
    return out;
  }

  // This object's advise connections, kept with the file's sinks.
  std::set<ULONG> mine_ GUARDED_BY(db_->mu);
};


}  // namespace
}  // namespace vantrel::mapi::pst

using vantrel::mapi::pst::OpenDb;
using vantrel::mapi::pst::Store;
using vantrel::mapi::pst::StoreEntryID;

HRESULT OpenPstStore(const std::string& path, const std::string& display_name, ULONG, IMsgStore** out) {
  if (!out || path.empty()) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  try {
    HRESULT hr;
    auto db = OpenDb(path, display_name, hr);
    if (!db) return hr;
    *out = new Store(std::move(db));
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  return S_OK;
}

HRESULT PstStoreEntryID(const std::string& path, std::vector<BYTE>& out) {
  if (path.empty()) return MAPI_E_INVALID_PARAMETER;
  out = StoreEntryID(path);
  return S_OK;
}
