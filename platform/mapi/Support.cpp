#include "platform/mapi/Support.h"

#include <cstring>
#include <map>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/ProfSect.h"
#include "platform/mapi/ProfileStore.h"
#include "platform/mapi/TableData.h"

namespace vantrel::mapi {
namespace {

// Subscriptions of every support object in the process, so what one
// provider notifies reaches subscribers of the same key anywhere.
struct Subscription {
  std::vector<BYTE> key;
  ULONG mask = 0;
  ComPtr<IMAPIAdviseSink> sink;
};
struct Subscriptions {
  vantrel::Mutex lock;  // before any support object's own
  ULONG next GUARDED_BY(lock) = 1;
  std::map<ULONG, Subscription> by_connection GUARDED_BY(lock);
};
Subscriptions& AllSubscriptions() {
  static Subscriptions s;
  return s;
}

bool Contains(const SPropTagArray* tags, ULONG tag) {
  if (!tags) return false;
  for (ULONG i = 0; i < tags->cValues; ++i)
    if (PROP_ID(tags->aulPropTag[i]) == PROP_ID(tag)) return true;
  return false;
}

// Identity of the source object never travels with a copy.
bool IsIdentity(ULONG tag) {
  switch (tag) {
    case PR_ENTRYID:
    case PR_RECORD_KEY:
    case PR_INSTANCE_KEY:
    case PR_STORE_ENTRYID:
    case PR_STORE_RECORD_KEY:
    case PR_PARENT_ENTRYID:
    case PR_OBJECT_TYPE:
      return true;
    default:
      return false;
  }
}

// Every row of a table, one QueryRows batch at a time.
HRESULT AllRows(IMAPITable* table, const SPropTagArray* columns, std::vector<LPSRowSet>* batches) {
  if (HRESULT hr = table->SetColumns(const_cast<LPSPropTagArray>(columns), 0); FAILED(hr)) return hr;
  for (;;) {
    LPSRowSet rows = nullptr;
    if (HRESULT hr = table->QueryRows(50, 0, &rows); FAILED(hr)) return hr;
    if (!rows || rows->cRows == 0) {
      FreeProws(rows);
      return S_OK;
    }
    batches->push_back(rows);
  }
}
void FreeBatches(std::vector<LPSRowSet>& batches) {
  for (LPSRowSet r : batches) FreeProws(r);
  batches.clear();
}

HRESULT CopyRecipients(IMessage* src, IMessage* dest) {
  ComPtr<IMAPITable> table;
  if (HRESULT hr = src->GetRecipientTable(0, table.Out()); FAILED(hr)) return hr;
  ULONG count = 0;
  if (HRESULT hr = table->GetRowCount(0, &count); FAILED(hr)) return hr;
  LPSPropTagArray all = nullptr;
  if (HRESULT hr = table->QueryColumns(TBL_ALL_COLUMNS, &all); FAILED(hr)) return hr;
  std::vector<LPSRowSet> batches;
  HRESULT hr = AllRows(table.get(), all, &batches);
  MAPIFreeBuffer(all);
  if (FAILED(hr)) {
    FreeBatches(batches);
    return hr;
  }
  size_t n = 0;
  for (LPSRowSet r : batches) n += r->cRows;
  LPADRLIST list = nullptr;
  hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(n + 1)), reinterpret_cast<void**>(&list));
  if (SUCCEEDED(hr)) {
    list->cEntries = 0;
    for (LPSRowSet r : batches)
      for (ULONG i = 0; i < r->cRows; ++i) {
        ADRENTRY& e = list->aEntries[list->cEntries++];
        e.ulReserved1 = 0;
        e.cValues = r->aRow[i].cValues;
        e.rgPropVals = r->aRow[i].lpProps;
      }
    // Recipient rows carry PR_ROWID; without MODRECIP_ADD semantics the
    // destination's list is replaced by the source's.
    hr = dest->ModifyRecipients(0, list);
    MAPIFreeBuffer(list);
  }
  FreeBatches(batches);
  return hr;
}

HRESULT CopyAttachments(IMessage* src, IMessage* dest) {
  ComPtr<IMAPITable> table;
  if (HRESULT hr = src->GetAttachmentTable(0, table.Out()); FAILED(hr)) return hr;
  SizedSPropTagArray<1> cols{1, {PR_ATTACH_NUM}};
  std::vector<LPSRowSet> batches;
  HRESULT hr = AllRows(table.get(), cols.get(), &batches);
  for (LPSRowSet r : batches) {
    for (ULONG i = 0; SUCCEEDED(hr) && i < r->cRows; ++i) {
      if (r->aRow[i].cValues < 1 || r->aRow[i].lpProps[0].ulPropTag != PR_ATTACH_NUM) continue;
      ComPtr<IAttach> from, to;
      ULONG num = 0;
      hr = src->OpenAttach(static_cast<ULONG>(r->aRow[i].lpProps[0].Value.l), nullptr, 0, from.Out());
      if (SUCCEEDED(hr)) hr = dest->CreateAttach(nullptr, 0, &num, to.Out());
      if (SUCCEEDED(hr)) hr = CopyObject(from.get(), to.get(), nullptr, nullptr, 0, nullptr);
      if (SUCCEEDED(hr)) hr = to->SaveChanges(0);
    }
  }
  FreeBatches(batches);
  return hr;
}

HRESULT CopyFolderContents(IMAPIFolder* src, IMAPIFolder* dest, ULONG flags);

HRESULT CopyOneFolder(IMAPIFolder* parent, ULONG cb, LPENTRYID id, IMAPIFolder* dest_parent, LPSTR new_name,
                      ULONG flags) {
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  if (HRESULT hr = parent->OpenEntry(cb, id, &IID_IMAPIFolder, MAPI_BEST_ACCESS, &type, unk.Out()); FAILED(hr))
    return hr;
  ComPtr<IMAPIFolder> src;
  if (HRESULT hr = unk->QueryInterface(IID_IMAPIFolder, reinterpret_cast<void**>(src.Out())); FAILED(hr)) return hr;
  LPSPropValue name = nullptr;
  std::string folder_name;
  if (new_name) {
    folder_name = new_name;
  } else if (SUCCEEDED(HrGetOneProp(src.get(), PR_DISPLAY_NAME, &name))) {
    folder_name = name->Value.lpszA ? name->Value.lpszA : "";
  }
  MAPIFreeBuffer(name);
  ComPtr<IMAPIFolder> copy;
  if (HRESULT hr =
          dest_parent->CreateFolder(FOLDER_GENERIC, folder_name.data(), nullptr, nullptr, OPEN_IF_EXISTS, copy.Out());
      FAILED(hr))
    return hr;
  SizedSPropTagArray<5> skip{
      5,
      {PR_DISPLAY_NAME, PR_CONTAINER_HIERARCHY, PR_CONTAINER_CONTENTS, PR_FOLDER_ASSOCIATED_CONTENTS, PR_SUBFOLDERS}};
  if (HRESULT hr = CopyObject(src.get(), copy.get(), nullptr, skip.get(), 0, nullptr); FAILED(hr)) return hr;
  return CopyFolderContents(src.get(), copy.get(), flags);
}

HRESULT CopyFolderContents(IMAPIFolder* src, IMAPIFolder* dest, ULONG flags) {
  for (ULONG assoc : {0u, MAPI_ASSOCIATED}) {
    ComPtr<IMAPITable> contents;
    if (FAILED(src->GetContentsTable(assoc, contents.Out()))) continue;
    SizedSPropTagArray<1> cols{1, {PR_ENTRYID}};
    std::vector<LPSRowSet> batches;
    HRESULT hr = AllRows(contents.get(), cols.get(), &batches);
    std::vector<SBinary> ids;
    for (LPSRowSet r : batches)
      for (ULONG i = 0; i < r->cRows; ++i)
        if (r->aRow[i].cValues && r->aRow[i].lpProps[0].ulPropTag == PR_ENTRYID)
          ids.push_back(r->aRow[i].lpProps[0].Value.bin);
    if (SUCCEEDED(hr) && !ids.empty()) {
      ENTRYLIST list{static_cast<ULONG>(ids.size()), ids.data()};
      hr = src->CopyMessages(&list, nullptr, dest, 0, nullptr, 0);
    }
    FreeBatches(batches);
    if (FAILED(hr)) return hr;
  }
  if (!(flags & COPY_SUBFOLDERS)) return S_OK;
  ComPtr<IMAPITable> hierarchy;
  if (HRESULT hr = src->GetHierarchyTable(0, hierarchy.Out()); FAILED(hr)) return hr;
  SizedSPropTagArray<1> cols{1, {PR_ENTRYID}};
  std::vector<LPSRowSet> batches;
  HRESULT hr = AllRows(hierarchy.get(), cols.get(), &batches);
  for (LPSRowSet r : batches)
    for (ULONG i = 0; SUCCEEDED(hr) && i < r->cRows; ++i)
      if (r->aRow[i].cValues && r->aRow[i].lpProps[0].ulPropTag == PR_ENTRYID) {
        SBinary& b = r->aRow[i].lpProps[0].Value.bin;
        hr = CopyOneFolder(src, b.cb, reinterpret_cast<LPENTRYID>(b.lpb), dest, nullptr, flags);
      }
  FreeBatches(batches);
  return hr;
}

class Support final : public RefCounted<IMAPISupport> {
 public:
  Support(std::string profile, IMAPISession* session, const MAPIUID& section, SupportHost* host)
      : profile_(std::move(profile)), section_(section), session_(session), host_(host) {}
  ~Support() override {
    Subscriptions& all = AllSubscriptions();
    std::vector<ComPtr<IMAPIAdviseSink>> released;
    MutexLock lock(all.lock);
    for (ULONG c : connections_) {
      auto it = all.by_connection.find(c);
      if (it == all.by_connection.end()) continue;
      released.push_back(std::move(it->second.sink));
      all.by_connection.erase(it);
    }
  }

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
    if (err) *err = nullptr;
    return S_OK;
  }
  HRESULT GetMemAllocRoutines(LPALLOCATEBUFFER* allocate, LPALLOCATEMORE* more, LPFREEBUFFER* free) override {
    if (allocate) *allocate = MAPIAllocateBuffer;
    if (more) *more = MAPIAllocateMore;
    if (free) *free = MAPIFreeBuffer;
    return S_OK;
  }
  HRESULT Subscribe(LPNOTIFKEY key, ULONG mask, ULONG, LPMAPIADVISESINK sink, ULONG* connection) override {
    if (!key || !sink || !connection || mask == 0) return MAPI_E_INVALID_PARAMETER;
    Subscriptions& all = AllSubscriptions();
    MutexLock lock(all.lock);
    ULONG c = all.next++;
    all.by_connection[c] =
        Subscription{std::vector<BYTE>(key->ab, key->ab + key->cb), mask, ComPtr<IMAPIAdviseSink>(sink)};
    MutexLock mine(lock_);
    connections_.push_back(c);
    *connection = c;
    return S_OK;
  }
  HRESULT Unsubscribe(ULONG connection) override {
    ComPtr<IMAPIAdviseSink> released;  // released outside the lock
    Subscriptions& all = AllSubscriptions();
    MutexLock lock(all.lock);
    auto it = all.by_connection.find(connection);
    if (it == all.by_connection.end()) return MAPI_E_NOT_FOUND;
    released = std::move(it->second.sink);
    all.by_connection.erase(it);
    return S_OK;
  }
  // Each subscriber of the key gets the notifications its mask asks for;
  // an extended subscriber (fnevExtended) gets the extended events. They
  // are delivered on the notification thread, never on the caller's.
  HRESULT Notify(LPNOTIFKEY key, ULONG count, LPNOTIFICATION notifications, ULONG* flags) override {
    if (!key || (count && !notifications)) return MAPI_E_INVALID_PARAMETER;
    if (flags) *flags = 0;
    std::vector<std::pair<ComPtr<IMAPIAdviseSink>, ULONG>> targets;
    {
      Subscriptions& all = AllSubscriptions();
      MutexLock lock(all.lock);
      for (auto& [c, s] : all.by_connection)
        if (s.key.size() == key->cb && std::memcmp(s.key.data(), key->ab, key->cb) == 0)
          targets.emplace_back(s.sink, s.mask);
    }
    for (auto& [sink, mask] : targets) {
      std::vector<NOTIFICATION> wanted;
      for (ULONG i = 0; i < count; ++i)
        if (notifications[i].ulEventType & mask) wanted.push_back(notifications[i]);
      if (!wanted.empty()) NotificationThread::Instance().Post(sink.get(), wanted);
    }
    return S_OK;
  }
  HRESULT ModifyStatusRow(ULONG, LPSPropValue, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT OpenProfileSection(LPMAPIUID uid, ULONG flags, LPPROFSECT* out) override {
    return OpenProfSect(profile_, uid ? *uid : section_, flags, out);
  }
  HRESULT RegisterPreprocessor(LPMAPIUID, LPSTR, LPSTR, LPSTR, LPSTR, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT NewUID(LPMAPIUID uid) override {
    if (!uid) return MAPI_E_INVALID_PARAMETER;
    *uid = NewUid();
    return S_OK;
  }
  HRESULT MakeInvalid(ULONG, LPVOID, ULONG, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SpoolerYield(ULONG) override { return S_OK; }
  HRESULT SpoolerNotify(ULONG, LPVOID) override { return S_OK; }
  HRESULT CreateOneOff(LPSTR, LPSTR, LPSTR, ULONG, ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  // The session routes entry IDs carrying this UID to the provider whose
  // support object this is. Outside a session there is nothing to route.
  HRESULT SetProviderUID(LPMAPIUID uid, ULONG) override {
    if (!uid) return MAPI_E_INVALID_PARAMETER;
    ComPtr<IMAPISession> session;
    SupportHost* host = nullptr;
    {
      MutexLock lock(lock_);
      session = ComPtr<IMAPISession>(session_);  // keeps the host alive for the call
      host = host_;
    }
    if (session && host) host->RegisterProviderUid(section_, *uid);
    return S_OK;
  }
  void Detach() {
    MutexLock lock(lock_);
    session_ = nullptr;
    host_ = nullptr;
  }
  // A reference to the session, or null once it ended.
  ComPtr<IMAPISession> SessionRef() {
    MutexLock lock(lock_);
    return ComPtr<IMAPISession>(session_);
  }

  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG flags, ULONG* result) override {
    if (ComPtr<IMAPISession> session = SessionRef()) return session->CompareEntryIDs(cb1, id1, cb2, id2, flags, result);
    if (!result || (cb1 && !id1) || (cb2 && !id2)) return MAPI_E_INVALID_PARAMETER;
    *result = cb1 == cb2 && (cb1 == 0 || std::memcmp(id1, id2, cb1) == 0);
    return S_OK;
  }
  HRESULT OpenTemplateID(ULONG, LPENTRYID, ULONG, LPMAPIPROP, LPCIID, LPMAPIPROP*, LPMAPIPROP) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    ComPtr<IMAPISession> session = SessionRef();
    if (!session) return MAPI_E_NO_SUPPORT;
    return session->OpenEntry(cb, id, iid, flags, type, out);
  }
  HRESULT GetOneOffTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Address(ULONG_PTR*, LPVOID, LPADRLIST*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Details(ULONG_PTR*, LPVOID, LPVOID, ULONG, LPENTRYID, LPVOID, LPVOID, LPSTR, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT NewEntry(ULONG_PTR, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG*, LPENTRYID*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT DoConfigPropsheet(ULONG_PTR, ULONG, LPSTR, LPMAPITABLE, LPMAPIPROP, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CopyMessages(LPCIID, LPVOID src_folder, LPENTRYLIST list, LPCIID, LPVOID dest_folder, ULONG_PTR,
                       LPMAPIPROGRESS, ULONG flags) override {
    if (!src_folder || !dest_folder || !list) return MAPI_E_INVALID_PARAMETER;
    auto* src = static_cast<IMAPIFolder*>(src_folder);
    auto* dest = static_cast<IMAPIFolder*>(dest_folder);
    std::vector<SBinary> moved;
    for (ULONG i = 0; i < list->cValues; ++i) {
      SBinary& id = list->lpbin[i];
      ULONG type = 0;
      ComPtr<IUnknown> unk;
      if (HRESULT hr = src->OpenEntry(id.cb, reinterpret_cast<LPENTRYID>(id.lpb), &IID_IMessage, 0, &type, unk.Out());
          FAILED(hr))
        return hr;
      ComPtr<IMessage> from, to;
      if (HRESULT hr = unk->QueryInterface(IID_IMessage, reinterpret_cast<void**>(from.Out())); FAILED(hr)) return hr;
      ULONG create = 0;
      LPSPropValue mflags = nullptr;
      if (SUCCEEDED(HrGetOneProp(from.get(), PR_MESSAGE_FLAGS, &mflags)) && (mflags->Value.l & MSGFLAG_ASSOCIATED))
        create = MAPI_ASSOCIATED;
      MAPIFreeBuffer(mflags);
      if (HRESULT hr = dest->CreateMessage(nullptr, create, to.Out()); FAILED(hr)) return hr;
      if (HRESULT hr = CopyObject(from.get(), to.get(), nullptr, nullptr, 0, nullptr); FAILED(hr)) return hr;
      if (HRESULT hr = to->SaveChanges(0); FAILED(hr)) return hr;
      moved.push_back(id);
    }
    if ((flags & MESSAGE_MOVE) && !moved.empty()) {
      ENTRYLIST done{static_cast<ULONG>(moved.size()), moved.data()};
      return src->DeleteMessages(&done, 0, nullptr, 0);
    }
    return S_OK;
  }
  HRESULT CopyFolder(LPCIID, LPVOID src_folder, ULONG cb, LPENTRYID id, LPCIID, LPVOID dest_folder, LPSTR new_name,
                     ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (!src_folder || !dest_folder || !id) return MAPI_E_INVALID_PARAMETER;
    auto* src = static_cast<IMAPIFolder*>(src_folder);
    if (HRESULT hr = CopyOneFolder(src, cb, id, static_cast<IMAPIFolder*>(dest_folder), new_name, flags); FAILED(hr))
      return hr;
    if (flags & FOLDER_MOVE) return src->DeleteFolder(cb, id, 0, nullptr, DEL_FOLDERS | DEL_MESSAGES);
    return S_OK;
  }
  HRESULT DoCopyTo(LPCIID, LPVOID src, ULONG, LPCIID, LPSPropTagArray exclude, ULONG_PTR, LPMAPIPROGRESS, LPCIID,
                   LPVOID dest, ULONG flags, LPSPropProblemArray* problems) override {
    if (!src || !dest) return MAPI_E_INVALID_PARAMETER;
    HRESULT hr =
        CopyObject(static_cast<IMAPIProp*>(src), static_cast<IMAPIProp*>(dest), nullptr, exclude, flags, problems);
    if (SUCCEEDED(hr) && (flags & MAPI_MOVE)) hr = DeleteCopied(static_cast<IMAPIProp*>(src), nullptr, exclude);
    return hr;
  }
  HRESULT DoCopyProps(LPCIID, LPVOID src, LPSPropTagArray include, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID dest,
                      ULONG flags, LPSPropProblemArray* problems) override {
    if (!src || !dest || !include) return MAPI_E_INVALID_PARAMETER;
    HRESULT hr =
        CopyObject(static_cast<IMAPIProp*>(src), static_cast<IMAPIProp*>(dest), include, nullptr, flags, problems);
    if (SUCCEEDED(hr) && (flags & MAPI_MOVE)) hr = DeleteCopied(static_cast<IMAPIProp*>(src), include, nullptr);
    return hr;
  }
  HRESULT DoProgressDialog(ULONG_PTR, ULONG, LPMAPIPROGRESS* out) override {
    if (out) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT ReadReceipt(ULONG, LPMESSAGE, LPMESSAGE*) override { return MAPI_E_NO_SUPPORT; }
  // A message handed to the spooler: marked submitted, and its recipients
  // marked as sent to.
  HRESULT PrepareSubmit(LPMESSAGE message, ULONG* flags) override {
    if (!message) return MAPI_E_INVALID_PARAMETER;
    if (flags) *flags = 0;
    LPSPropValue mflags = nullptr;
    ULONG value = MSGFLAG_UNSENT;
    if (SUCCEEDED(HrGetOneProp(message, PR_MESSAGE_FLAGS, &mflags))) value = static_cast<ULONG>(mflags->Value.l);
    MAPIFreeBuffer(mflags);
    // A resent message goes out again as a fresh one.
    value = (value & ~MSGFLAG_RESEND) | MSGFLAG_SUBMIT | MSGFLAG_UNSENT;
    SPropValue v{};
    v.ulPropTag = PR_MESSAGE_FLAGS;
    v.Value.l = static_cast<LONG>(value);
    return HrSetOneProp(message, &v);
  }
  // Recipients stay as they are: this system has no distribution lists of
  // its own to expand. The message's submit flags say it was prepared.
  HRESULT ExpandRecips(LPMESSAGE message, ULONG* flags) override {
    if (!message) return MAPI_E_INVALID_PARAMETER;
    if (flags) *flags = 0;
    return S_OK;
  }
  HRESULT UpdatePAB(ULONG, LPMESSAGE) override { return S_OK; }
  HRESULT DoSentMail(ULONG, LPMESSAGE) override { return MAPI_E_NO_SUPPORT; }
  HRESULT OpenAddressBook(LPCIID, ULONG, LPADRBOOK* out) override {
    if (out) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT Preprocess(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CompleteMsg(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT StoreLogoffTransports(ULONG* flags) override {
    if (flags) *flags = 0;
    return S_OK;
  }
  HRESULT StatusRecips(LPMESSAGE, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
  HRESULT WrapStoreEntryID(ULONG cb, LPENTRYID id, ULONG* cb_out, LPENTRYID* out) override {
    if (!id || !cb_out || !out) return MAPI_E_INVALID_PARAMETER;
    void* mem = nullptr;
    if (HRESULT hr = MAPIAllocateBuffer(cb ? cb : 1, &mem); FAILED(hr)) return hr;
    std::memcpy(mem, id, cb);
    *cb_out = cb;
    *out = static_cast<LPENTRYID>(mem);
    return S_OK;
  }
  HRESULT ModifyProfile(ULONG) override { return S_OK; }
  HRESULT IStorageFromStream(LPUNKNOWN, LPCIID, ULONG, LPSTORAGE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetSvcConfigSupportObj(ULONG, IMAPISupport** out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    AddRef();
    *out = this;
    return S_OK;
  }

 private:
  static HRESULT DeleteCopied(IMAPIProp* src, const SPropTagArray* include, const SPropTagArray* exclude) {
    LPSPropTagArray list = nullptr;
    if (include) return src->DeleteProps(const_cast<LPSPropTagArray>(include), nullptr);
    if (HRESULT hr = src->GetPropList(0, &list); FAILED(hr)) return hr;
    ULONG kept = 0;
    for (ULONG i = 0; i < list->cValues; ++i)
      if (!Contains(exclude, list->aulPropTag[i]) && !IsIdentity(list->aulPropTag[i]))
        list->aulPropTag[kept++] = list->aulPropTag[i];
    list->cValues = kept;
    HRESULT hr = src->DeleteProps(list, nullptr);
    MAPIFreeBuffer(list);
    return hr;
  }

  const std::string profile_;
  const MAPIUID section_;
  vantrel::Mutex lock_ ACQUIRED_AFTER(AllSubscriptions().lock);
  IMAPISession* session_ GUARDED_BY(lock_);  // not owned; cleared by Detach when the session ends
  SupportHost* host_ GUARDED_BY(lock_);      // the same session's routing, or null
  std::vector<ULONG> connections_ GUARDED_BY(lock_);
};

}  // namespace

HRESULT CopyObject(IMAPIProp* src, IMAPIProp* dest, const SPropTagArray* include, const SPropTagArray* exclude,
                   ULONG flags, LPSPropProblemArray* problems) {
  if (problems) *problems = nullptr;
  LPSPropTagArray tags = nullptr;
  if (include) {
    if (HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(include->cValues + 1)),
                                        reinterpret_cast<void**>(&tags));
        FAILED(hr))
      return hr;
    std::memcpy(tags, include, CbNewSPropTagArray(include->cValues));
  } else if (HRESULT hr = src->GetPropList(0, &tags); FAILED(hr)) {
    return hr;
  }
  bool recipients = false, attachments = false;
  ULONG kept = 0;
  for (ULONG i = 0; i < tags->cValues; ++i) {
    ULONG tag = tags->aulPropTag[i];
    if (Contains(exclude, tag) || IsIdentity(tag)) continue;
    if (tag == PR_MESSAGE_RECIPIENTS) recipients = true;
    if (tag == PR_MESSAGE_ATTACHMENTS) attachments = true;
    if (PROP_TYPE(tag) == PT_OBJECT) continue;
    tags->aulPropTag[kept++] = tag;
  }
  tags->cValues = kept;
  // Messages list their recipients and attachments as objects only in some
  // stores; asked for all, they are copied whenever not excluded.
  ComPtr<IMessage> src_msg, dest_msg;
  if (SUCCEEDED(src->QueryInterface(IID_IMessage, reinterpret_cast<void**>(src_msg.Out()))) &&
      SUCCEEDED(dest->QueryInterface(IID_IMessage, reinterpret_cast<void**>(dest_msg.Out())))) {
    if (!include) {
      recipients = !Contains(exclude, PR_MESSAGE_RECIPIENTS);
      attachments = !Contains(exclude, PR_MESSAGE_ATTACHMENTS);
    }
  } else {
    recipients = attachments = false;
  }
  HRESULT hr = S_OK;
  if (kept) {
    if (flags & MAPI_NOREPLACE) {
      ULONG n = 0;
      LPSPropValue have = nullptr;
      if (SUCCEEDED(dest->GetProps(tags, 0, &n, &have)) && have) {
        ULONG k = 0;
        for (ULONG i = 0; i < n && i < tags->cValues; ++i)
          if (PROP_TYPE(have[i].ulPropTag) == PT_ERROR) tags->aulPropTag[k++] = tags->aulPropTag[i];
        tags->cValues = k;
      }
      MAPIFreeBuffer(have);
    }
    ULONG n = 0;
    LPSPropValue values = nullptr;
    if (tags->cValues) {
      hr = src->GetProps(tags, 0, &n, &values);
      if (SUCCEEDED(hr)) {
        ULONG k = 0;
        for (ULONG i = 0; i < n; ++i)
          if (PROP_TYPE(values[i].ulPropTag) != PT_ERROR) values[k++] = values[i];
        hr = k ? dest->SetProps(k, values, problems) : S_OK;
      }
      MAPIFreeBuffer(values);
    }
  }
  MAPIFreeBuffer(tags);
  if (FAILED(hr)) return hr;
  if (recipients && FAILED(hr = CopyRecipients(src_msg.get(), dest_msg.get()))) return hr;
  if (attachments && FAILED(hr = CopyAttachments(src_msg.get(), dest_msg.get()))) return hr;
  return S_OK;
}

void DetachSupport(IMAPISupport* support) {
  if (support) static_cast<Support*>(support)->Detach();
}

HRESULT NewSupport(const std::string& profile, IMAPISession* session, const MAPIUID& section, IMAPISupport** out,
                   SupportHost* host) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = new Support(profile, session, section, host);
  return S_OK;
}

}  // namespace vantrel::mapi
