#include "server/objects/ServerIMAPIFolder.h"

#include <stdexcept>
#include <string>

#include "platform/base/CodePage.h"
#include "server/dispatch/ServerTrace.h"

namespace vantrel::server {
namespace {

template <class I, class Out>
bool QueryInto(IUnknown* object, ComPtr<Out>& out) {
  ComPtr<I> p;
  if (FAILED(object->QueryInterface(I::kIID, p.OutVoid())) || !p) return false;
  out = ComPtr<Out>(p.get());
  return true;
}

// A copy of an entry ID the MAPI call may point into; empty gives none.
struct EntryId {
  explicit EntryId(const std::vector<std::uint8_t>& bytes) : bytes(bytes) {}
  ULONG cb() const { return static_cast<ULONG>(bytes.size()); }
  LPENTRYID get() { return bytes.empty() ? nullptr : reinterpret_cast<LPENTRYID>(bytes.data()); }
  std::vector<std::uint8_t> bytes;
};

// Text for a MAPI call that takes LPSTR or, under MAPI_UNICODE, LPWSTR.
class CallText {
 public:
  CallText(const std::string& ansi, bool unicode) : unicode_(unicode), ansi_(ansi) {
    if (unicode_) wide_ = AnsiToUtf16(ansi);
  }
  LPSTR get() { return unicode_ ? reinterpret_cast<LPSTR>(wide_.data()) : ansi_.data(); }

 private:
  bool unicode_;
  std::string ansi_;
  std::u16string wide_;
};

}  // namespace

// ---- container ----

void CServerIMAPIContainer::Destroy() {
  MutexLock l(lock);
  container_.Reset();
  prop_.Reset();
}

void CServerIMAPIContainer::SetMapiObject(IUnknown* object) {
  MutexLock l(lock);
  container_.Reset();
  if (object) {
    QueryInto<IMAPIContainer>(object, container_) || QueryInto<IMAPIFolder>(object, container_) ||
        QueryInto<IABContainer>(object, container_);
  }
  prop_ = container_ ? ComPtr<IMAPIProp>(container_.get()) : ComPtr<IMAPIProp>();
}

IMAPIContainer* CServerIMAPIContainer::Container() const {
  if (!container_) throw std::logic_error("container object without interface");
  return container_.get();
}

HRESULT CServerIMAPIContainer::IMAPICONTAIENR_GetContentsTable(const zel::IMAPICONTAIENR_GetContentsTable::Request& in,
                                                               zel::IMAPICONTAIENR_GetContentsTable::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    ComPtr<IMAPITable> table;
    HRESULT hr = Container()->GetContentsTable(static_cast<ULONG>(in.ulFlags), table.Out());
    if (FAILED(hr) || !table) return hr;
    std::string description = "Contents from " + DescriptionText();
    out.hTable = MakeChild(kMapiTable, table.get(), &description, nullptr);
    return hr;
  });
}

HRESULT CServerIMAPIContainer::IMAPICONTAIENR_GetHierarchyTable(
    const zel::IMAPICONTAIENR_GetHierarchyTable::Request& in, zel::IMAPICONTAIENR_GetHierarchyTable::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    ComPtr<IMAPITable> table;
    HRESULT hr = Container()->GetHierarchyTable(static_cast<ULONG>(in.ulFlags), table.Out());
    if (FAILED(hr) || !table) return hr;
    std::string description = "Hierarchy from " + DescriptionText();
    out.hTable = MakeChild(kMapiTable, table.get(), &description, StoreObject());
    return hr;
  });
}

HRESULT CServerIMAPIContainer::IMAPICONTAINER_GetSearchCriteria(
    const zel::IMAPICONTAINER_GetSearchCriteria::Request& in, zel::IMAPICONTAINER_GetSearchCriteria::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    LPSRestriction raw_res = nullptr;
    LPENTRYLIST raw_list = nullptr;
    ULONG state = 0;
    HRESULT hr = Container()->GetSearchCriteria(static_cast<ULONG>(in.ulFlags), &raw_res, &raw_list, &state);
    MapiBuffer<SRestriction> res(raw_res);
    MapiBuffer<ENTRYLIST> list(raw_list);
    if (FAILED(hr)) return hr;
    auto block = codec_.Encode(
        [&] { return 4 + codec_.SizeRestriction(res.get()) + codec_.SizeEntryList(list.get()); },
        [&](zel::MarshalWriter& w) {
          w.U32(state);
          codec_.WriteRestriction(w, res.get());
          codec_.WriteEntryList(w, list.get());
        });
    out.hBuffer = ResultBlock(std::move(block), out.inlineData, out.cb);
    return hr;
  });
}

HRESULT CServerIMAPIContainer::IMAPICONTAIENR_OpenEntry(const zel::IMAPICONTAIENR_OpenEntry::Request& in,
                                                        zel::IMAPICONTAIENR_OpenEntry::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    EntryId id(in.entryID);
    IID storage;
    const IID* iid = SelectedIid(in.iid, storage);
    ULONG type = 0;
    ComPtr<IUnknown> opened;
    HRESULT hr = Container()->OpenEntry(id.cb(), id.get(), iid, static_cast<ULONG>(in.ulFlags), &type, opened.Out());
    if (!opened) {
      ServerTrace("Open Entry returned NULL");
      return hr;
    }
    out.ulObjType = static_cast<std::int32_t>(type);
    // Folders, messages and attachments only; anything else leaves handle 0.
    out.hNewObject = MakeChild(static_cast<std::int32_t>(type), opened.get(), nullptr, StoreObject());
    return hr;
  });
}

HRESULT CServerIMAPIContainer::IMAPICONAINER_SetSearchCriteria(const zel::IMAPICONAINER_SetSearchCriteria::Request& in,
                                                               zel::IMAPICONAINER_SetSearchCriteria::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    zel::MarshalReader r(in.data);
    LPSRestriction raw_res = nullptr;
    if (HRESULT hr = codec_.ReadRestriction(r, nullptr, &raw_res); FAILED(hr)) return hr;
    MapiBuffer<SRestriction> res(raw_res);
    LPENTRYLIST raw_list = nullptr;
    if (HRESULT hr = codec_.ReadEntryList(r, nullptr, &raw_list); FAILED(hr)) return hr;
    MapiBuffer<ENTRYLIST> list(raw_list);
    return Container()->SetSearchCriteria(res.get(), list.get(), static_cast<ULONG>(in.ulSearchFlags));
  });
}

// ---- folder ----

void CServerIMAPIFolder::Destroy() {
  MutexLock l(lock);
  folder_.Reset();
  container_.Reset();
  prop_.Reset();
}

void CServerIMAPIFolder::SetMapiObject(IUnknown* object) {
  MutexLock l(lock);
  folder_.Reset();
  if (object) QueryInto<IMAPIFolder>(object, folder_);
  container_ = folder_ ? ComPtr<IMAPIContainer>(folder_.get()) : ComPtr<IMAPIContainer>();
  prop_ = folder_ ? ComPtr<IMAPIProp>(folder_.get()) : ComPtr<IMAPIProp>();
}

IMAPIFolder* CServerIMAPIFolder::Folder() const {
  if (!folder_) throw std::logic_error("folder object without interface");
  return folder_.get();
}

ComPtr<IMAPIFolder> CServerIMAPIFolder::FolderForCopy() {
  MutexLock l(lock);
  return folder_;
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_CreateFolder(const zel::IMAPIFOLDER_CreateFolder::Request& in,
                                                     zel::IMAPIFOLDER_CreateFolder::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    IID storage;
    const IID* iid = SelectedIid(in.iid, storage);
    ULONG flags = static_cast<ULONG>(in.ulFlags);
    bool unicode = flags & MAPI_UNICODE;
    CallText name(in.folderName, unicode);
    CallText comment(in.folderComment, unicode);
    ComPtr<IMAPIFolder> folder;
    HRESULT hr = Folder()->CreateFolder(static_cast<ULONG>(in.ulFolderType), name.get(),
                                        in.folderComment.empty() ? nullptr : comment.get(), iid, flags, folder.Out());
    if (!folder) return hr;
    out.hNewFolder = MakeChild(MAPI_FOLDER, folder.get(), nullptr, StoreObject());
    return hr;
  });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_CreateMessage(const zel::IMAPIFOLDER_CreateMessage::Request& in,
                                                      zel::IMAPIFOLDER_CreateMessage::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    IID storage;
    const IID* iid = SelectedIid(in.iid, storage);
    ComPtr<IMessage> message;
    HRESULT hr = Folder()->CreateMessage(iid, static_cast<ULONG>(in.ulFlags), message.Out());
    if (!message) return hr;
    out.hMessage = MakeChild(MAPI_MESSAGE, message.get(), nullptr, StoreObject());
    return hr;
  });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_DeleteFolder(const zel::IMAPIFOLDER_DeleteFolder::Request& in,
                                                     zel::IMAPIFOLDER_DeleteFolder::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    EntryId id(in.entryID);
    return Folder()->DeleteFolder(id.cb(), id.get(), 0, nullptr, static_cast<ULONG>(in.ulFlags));
  });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_DeleteMessages(const zel::IMAPIFOLDER_DeleteMessages::Request& in,
                                                       zel::IMAPIFOLDER_DeleteMessages::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    zel::MarshalReader r(in.data);
    LPENTRYLIST raw = nullptr;
    if (HRESULT hr = folder_codec_.ReadEntryList(r, nullptr, &raw); FAILED(hr)) return hr;
    MapiBuffer<ENTRYLIST> list(raw);
    return Folder()->DeleteMessages(list.get(), 0, nullptr, static_cast<ULONG>(in.ulFlags));
  });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_SetReadFlags(const zel::IMAPIFOLDER_SetReadFlags::Request& in,
                                                     zel::IMAPIFOLDER_SetReadFlags::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    zel::MarshalReader r(in.data);
    LPENTRYLIST raw = nullptr;
    if (HRESULT hr = codec_.ReadEntryList(r, nullptr, &raw); FAILED(hr)) return hr;
    MapiBuffer<ENTRYLIST> list(raw);
    return Folder()->SetReadFlags(list.get(), 0, nullptr, static_cast<ULONG>(in.ulFlags));
  });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_EmptyFolder(const zel::IMAPIFOLDER_EmptyFolder::Request& in,
                                                    zel::IMAPIFOLDER_EmptyFolder::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT { return Folder()->EmptyFolder(0, nullptr, static_cast<ULONG>(in.ulFlags)); });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_GetMessageStatus(const zel::IMAPIFOLDER_GetMessageStatus::Request& in,
                                                         zel::IMAPIFOLDER_GetMessageStatus::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    EntryId id(in.entryID);
    ULONG status = 0;
    HRESULT hr = Folder()->GetMessageStatus(id.cb(), id.get(), static_cast<ULONG>(in.ulFlags), &status);
    out.ulMessageStatus = static_cast<std::int32_t>(status);
    return hr;
  });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_SetMessageStatus(const zel::IMAPIFOLDER_SetMessageStatus::Request& in,
                                                         zel::IMAPIFOLDER_SetMessageStatus::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    EntryId id(in.entryID);
    ULONG old = 0;
    HRESULT hr = Folder()->SetMessageStatus(id.cb(), id.get(), static_cast<ULONG>(in.ulNewStatus),
                                            static_cast<ULONG>(in.ulNewStatusMask), &old);
    out.ulOldStatus = static_cast<std::int32_t>(old);
    return hr;
  });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_SaveContentsSort(const zel::IMAPIFOLDER_SaveContentsSort::Request& in,
                                                         zel::IMAPIFOLDER_SaveContentsSort::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    zel::MarshalReader r(in.data);
    LPSSortOrderSet raw = nullptr;
    if (HRESULT hr = codec_.ReadSortOrderSet(r, nullptr, &raw); FAILED(hr)) return hr;
    MapiBuffer<SSortOrderSet> sort(raw);
    return Folder()->SaveContentsSort(sort.get(), static_cast<ULONG>(in.ulFlags));
  });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_CopyMessage(const zel::IMAPIFOLDER_CopyMessage::Request& in,
                                                    zel::IMAPIFOLDER_CopyMessage::Reply&, CServerClass& destination) {
  // The destination's lock is taken only to read its interface, before and
  // apart from ours, so two copies in opposite directions cannot deadlock.
  auto* target = dynamic_cast<CServerIMAPIFolder*>(&destination);
  ComPtr<IMAPIFolder> dest = target ? target->FolderForCopy() : ComPtr<IMAPIFolder>();
  if (!dest) return MAPI_E_OBJECT_DELETED;
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    EntryId id(in.entryID);
    SBinary entry{id.cb(), reinterpret_cast<LPBYTE>(id.get())};
    ENTRYLIST list{1, &entry};
    IID storage;
    const IID* iid = SelectedIid(in.iid, storage);
    return Folder()->CopyMessages(&list, iid, dest.get(), 0, nullptr, static_cast<ULONG>(in.ulFlags));
  });
}

HRESULT CServerIMAPIFolder::IMAPIFOLDER_CopyFolder(const zel::IMAPIFOLDER_CopyFolder::Request& in,
                                                   zel::IMAPIFOLDER_CopyFolder::Reply&, CServerClass& destination) {
  auto* target = dynamic_cast<CServerIMAPIFolder*>(&destination);
  ComPtr<IMAPIFolder> dest = target ? target->FolderForCopy() : ComPtr<IMAPIFolder>();
  if (!dest) return MAPI_E_OBJECT_DELETED;
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    EntryId id(in.entryID);
    IID storage;
    const IID* iid = SelectedIid(in.iid, storage);
    ULONG flags = static_cast<ULONG>(in.ulFlags);
    // The name arrives 8-bit; under MAPI_UNICODE the folder reads it wide.
    CallText name(in.newFolderName, flags & MAPI_UNICODE);
    return Folder()->CopyFolder(id.cb(), id.get(), iid, dest.get(), in.newFolderName.empty() ? nullptr : name.get(),
                                0, nullptr, flags);
  });
}

}  // namespace vantrel::server
