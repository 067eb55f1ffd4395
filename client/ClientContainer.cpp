#include "client/ClientContainer.h"

#include <algorithm>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiTags.h"

namespace vantrel::client {

namespace {

// A table handle from the server as the table proxy, or null.
LPMAPITABLE TableProxy(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding) {
  return static_cast<LPMAPITABLE>(handle > 0 ? CreateProxy(256, handle, logon, binding) : nullptr);
}

}  // namespace

template <class I>
HRESULT TClientContainer<I>::GetContentsTable(ULONG flags, LPMAPITABLE* table) {
  this->Trace("GetContentsTable");
  if (!table) return MAPI_E_INVALID_PARAMETER;
  *table = nullptr;
  zel::IMAPICONTAIENR_GetContentsTable::Request in{this->handle_, static_cast<std::int32_t>(flags)};
  zel::IMAPICONTAIENR_GetContentsTable::Reply out;
  RPC_STATUS status = RPC_S_OK;
  {
    RecursiveMutexLock lock(CallLock());
    status = zel::Invoke<zel::IMAPICONTAIENR_GetContentsTable>(detail::EnterCall(this->binding_), in, out);
  }
  // A failed call reports itself here as a lack of memory.
  if (status != RPC_S_OK) {
    detail::TraceRpcError(status);
    return E_OUTOFMEMORY;
  }
  *table = TableProxy(out.hTable, this->logon_, this->binding_);
  return out.result;
}

template <class I>
HRESULT TClientContainer<I>::GetHierarchyTable(ULONG flags, LPMAPITABLE* table) {
  this->Trace("GetHierarchyTable");
  if (!table) return MAPI_E_INVALID_PARAMETER;
  *table = nullptr;
  zel::IMAPICONTAIENR_GetHierarchyTable::Request in{this->handle_, static_cast<std::int32_t>(flags)};
  zel::IMAPICONTAIENR_GetHierarchyTable::Reply out;
  HRESULT hr = CallRemote<zel::IMAPICONTAIENR_GetHierarchyTable>(this->binding_, in, out);
  if (FAILED(hr)) return hr;
  *table = TableProxy(out.hTable, this->logon_, this->binding_);
  return hr;
}

template <class I>
HRESULT TClientContainer<I>::OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* object_type,
                                       LPUNKNOWN* result) {
  this->Trace("OpenEntry");
  if (!result) return MAPI_E_INVALID_PARAMETER;
  *result = nullptr;
  if (object_type) *object_type = 0;
  const BYTE* bytes = reinterpret_cast<const BYTE*>(id);
  zel::IMAPICONTAIENR_OpenEntry::Request in;
  in.hContainer = this->handle_;
  in.entryID = this->OutgoingId(cb, bytes);
  in.iid = Selector(iid);
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPICONTAIENR_OpenEntry::Reply out;
  HRESULT hr = CallRemote<zel::IMAPICONTAIENR_OpenEntry>(this->binding_, in, out);
  if (hr == MAPI_E_INVALID_ENTRYID && !std::equal(in.entryID.begin(), in.entryID.end(), bytes, bytes + (bytes ? cb : 0))) {
    // An ID that was never the store's (a receive folder's, say) may be
    // known to the server as it is.
    in.entryID.assign(bytes, bytes + (bytes ? cb : 0));
    out = {};
    hr = CallRemote<zel::IMAPICONTAIENR_OpenEntry>(this->binding_, in, out);
  }
  if (FAILED(hr)) return hr;
  ULONG type = static_cast<ULONG>(out.ulObjType);
  hr = this->AdoptObject(hr, type, out.hNewObject, result);
  if (object_type && *result) *object_type = type;
  return hr;
}

template <class I>
HRESULT TClientContainer<I>::SetSearchCriteria(LPSRestriction restriction, LPENTRYLIST containers,
                                               ULONG search_flags) {
  this->Trace("SetSearchCriteria");
  zel::IMAPICONAINER_SetSearchCriteria::Request in;
  in.hContainer = this->handle_;
  try {
    const zel::CMapiMarshal& c = this->codec_;
    in.data = c.Encode([&] { return c.SizeRestriction(restriction) + c.SizeEntryList(containers); },
                       [&](zel::MarshalWriter& w) {
                         c.WriteRestriction(w, restriction);
                         c.WriteEntryList(w, containers);
                       });
  } catch (const zel::MarshalError& e) {
    return e.code();
  }
  in.ulSearchFlags = static_cast<std::int32_t>(search_flags);
  zel::IMAPICONAINER_SetSearchCriteria::Reply out;
  return CallRemote<zel::IMAPICONAINER_SetSearchCriteria>(this->binding_, in, out);
}

template <class I>
HRESULT TClientContainer<I>::GetSearchCriteria(ULONG flags, LPSRestriction* restriction, LPENTRYLIST* containers,
                                               ULONG* search_state) {
  this->Trace("GetSearchCriteria");
  if (restriction) *restriction = nullptr;
  if (containers) *containers = nullptr;
  if (search_state) *search_state = 0;
  zel::IMAPICONTAINER_GetSearchCriteria::Request in{this->handle_, static_cast<std::int32_t>(flags)};
  zel::IMAPICONTAINER_GetSearchCriteria::Reply out;
  HRESULT hr = CallRemote<zel::IMAPICONTAINER_GetSearchCriteria>(this->binding_, in, out);
  if (FAILED(hr) || out.cb <= 0) return hr;
  LPSRestriction res = nullptr;
  LPENTRYLIST list = nullptr;
  ULONG state = 0;
  const zel::CMapiMarshal& c = this->codec_;
  HRESULT rr = this->ReadResult(out.cb, out.hBuffer, out.inlineData, [&](zel::MarshalReader& r) -> HRESULT {
    state = r.U32();
    if (HRESULT h = c.ReadRestriction(r, nullptr, &res); FAILED(h)) return h;
    return c.ReadEntryList(r, nullptr, &list);
  });
  if (FAILED(rr)) {
    this->logon_->FreeBuffer(res);
    this->logon_->FreeBuffer(list);
    return rr;
  }
  if (search_state) *search_state = state;
  if (restriction)
    *restriction = res;
  else
    this->logon_->FreeBuffer(res);
  if (containers)
    *containers = list;
  else
    this->logon_->FreeBuffer(list);
  return hr;
}

template class TClientContainer<IMAPIContainer>;
template class TClientContainer<IMAPIFolder>;

// ---- folder ------------------------------------------------------------------

HRESULT CClientMapiFolder::EntryListBlock(LPENTRYLIST list, std::vector<BYTE>& out) const {
  try {
    out = codec_.Encode([&] { return codec_.SizeEntryList(list); },
                        [&](zel::MarshalWriter& w) { codec_.WriteEntryList(w, list); });
  } catch (const zel::MarshalError& e) {
    return e.code();
  }
  return S_OK;
}

HRESULT CClientMapiFolder::CreateMessage(LPCIID iid, ULONG flags, LPMESSAGE* message) {
  Trace("CreateMessage");
  if (!message) return MAPI_E_INVALID_PARAMETER;
  *message = nullptr;
  zel::IMAPIFOLDER_CreateMessage::Request in{handle_, Selector(iid), static_cast<std::int32_t>(flags)};
  zel::IMAPIFOLDER_CreateMessage::Reply out;
  HRESULT hr = CallRemote<zel::IMAPIFOLDER_CreateMessage>(binding_, in, out);
  if (FAILED(hr)) return hr;
  *message = static_cast<LPMESSAGE>(MakeProxy(MAPI_MESSAGE, out.hMessage));
  return hr;
}

HRESULT CClientMapiFolder::CopyMessages(LPENTRYLIST messages, LPCIID iid, LPVOID dest, ULONG_PTR ui,
                                        LPMAPIPROGRESS, ULONG flags) {
  Trace("CopyMessages");
  ComPtr<IMAPISupport> support = logon_->Support();
  if (!support) return MAPI_E_NO_SUPPORT;
  HRESULT hr = support->CopyMessages(&IID_IMAPIFolder, static_cast<IMAPIFolder*>(this), messages, iid, dest, ui,
                                     nullptr, flags);
  if (FAILED(hr)) ClientTrace("Error on CopyMessages");
  return hr;
}

HRESULT CClientMapiFolder::DeleteMessages(LPENTRYLIST messages, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) {
  Trace("DeleteMessages");
  zel::IMAPIFOLDER_DeleteMessages::Request in;
  in.hFolder = handle_;
  if (HRESULT hr = EntryListBlock(messages, in.data); FAILED(hr)) return hr;
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPIFOLDER_DeleteMessages::Reply out;
  return CallRemote<zel::IMAPIFOLDER_DeleteMessages>(binding_, in, out);
}

HRESULT CClientMapiFolder::CreateFolder(ULONG folder_type, LPSTR name, LPSTR comment, LPCIID iid, ULONG flags,
                                        LPMAPIFOLDER* folder) {
  Trace("CreateFolder");
  if (!folder) return MAPI_E_INVALID_PARAMETER;
  *folder = nullptr;
  zel::IMAPIFOLDER_CreateFolder::Request in;
  in.hFolder = handle_;
  in.ulFolderType = static_cast<std::int32_t>(folder_type);
  if (flags & MAPI_UNICODE) {
    // The texts are UTF-16 then; the server takes the ANSI code page.
    auto wide = [](LPSTR s) {
      if (!s) return std::string();
      return Utf16ToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(s)));
    };
    in.folderName = wide(name);
    in.folderComment = wide(comment);
  } else {
    in.folderName = name ? name : "";
    in.folderComment = comment ? comment : "";
  }
  in.iid = Selector(iid);
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPIFOLDER_CreateFolder::Reply out;
  HRESULT hr = CallRemote<zel::IMAPIFOLDER_CreateFolder>(binding_, in, out);
  if (FAILED(hr)) return hr;
  *folder = static_cast<LPMAPIFOLDER>(MakeProxy(MAPI_FOLDER, out.hNewFolder));
  return hr;
}

HRESULT CClientMapiFolder::CopyFolder(ULONG cb, LPENTRYID id, LPCIID iid, LPVOID dest, LPSTR new_name, ULONG_PTR ui,
                                      LPMAPIPROGRESS progress, ULONG flags) {
  Trace("CopyFolder");
  std::int32_t dest_handle = -1;
  if (dest) {
    // The destination is ours when the server holds a folder with its ID.
    auto* prop = static_cast<IMAPIProp*>(dest);
    SPropTagArray tags{1, {PR_ENTRYID}};
    ULONG count = 0;
    LPSPropValue value = nullptr;
    if (SUCCEEDED(prop->GetProps(&tags, 0, &count, &value)) && value && count == 1 &&
        PROP_TYPE(value->ulPropTag) == PT_BINARY) {
      zel::GetFolderID::Request in;
      in.entryID = OutgoingId(value->Value.bin.cb, value->Value.bin.lpb);
      zel::GetFolderID::Reply out;
      if (SUCCEEDED(CallRemote<zel::GetFolderID>(binding_, in, out)) && out.hObject > 0) dest_handle = out.hObject;
    }
    logon_->FreeBuffer(value);
  }
  if (dest_handle == -1) {
    ComPtr<IMAPISupport> support = logon_->Support();
    if (!support) return MAPI_E_NO_SUPPORT;
    return support->CopyFolder(&IID_IMAPIFolder, static_cast<IMAPIFolder*>(this), cb, id, iid, dest, new_name, ui,
                               progress, flags);
  }
  zel::IMAPIFOLDER_CopyFolder::Request in;
  in.hFolder = handle_;
  in.entryID = OutgoingId(cb, reinterpret_cast<const BYTE*>(id));
  in.iid = {};
  in.hDestination = dest_handle;
  if (new_name) {
    in.newFolderName = (flags & MAPI_UNICODE)
                           ? Utf16ToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(new_name)))
                           : std::string(new_name);
  }
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPIFOLDER_CopyFolder::Reply out;
  return CallRemote<zel::IMAPIFOLDER_CopyFolder>(binding_, in, out);
}

HRESULT CClientMapiFolder::DeleteFolder(ULONG cb, LPENTRYID id, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) {
  Trace("DeleteFolder");
  zel::IMAPIFOLDER_DeleteFolder::Request in;
  in.hFolder = handle_;
  in.entryID = OutgoingId(cb, reinterpret_cast<const BYTE*>(id));
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPIFOLDER_DeleteFolder::Reply out;
  return CallRemote<zel::IMAPIFOLDER_DeleteFolder>(binding_, in, out);
}

HRESULT CClientMapiFolder::SetReadFlags(LPENTRYLIST messages, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) {
  Trace("SetReadFlags");
  zel::IMAPIFOLDER_SetReadFlags::Request in;
  in.hFolder = handle_;
  if (HRESULT hr = EntryListBlock(messages, in.data); FAILED(hr)) return hr;
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPIFOLDER_SetReadFlags::Reply out;
  return CallRemote<zel::IMAPIFOLDER_SetReadFlags>(binding_, in, out);
}

HRESULT CClientMapiFolder::GetMessageStatus(ULONG cb, LPENTRYID id, ULONG flags, ULONG* status) {
  Trace("GetMessageStatus");
  if (!status) return MAPI_E_INVALID_PARAMETER;
  *status = 0;
  zel::IMAPIFOLDER_GetMessageStatus::Request in;
  in.hFolder = handle_;
  in.entryID = OutgoingId(cb, reinterpret_cast<const BYTE*>(id));
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPIFOLDER_GetMessageStatus::Reply out;
  HRESULT hr = CallRemote<zel::IMAPIFOLDER_GetMessageStatus>(binding_, in, out);
  if (SUCCEEDED(hr)) *status = static_cast<ULONG>(out.ulMessageStatus);
  return hr;
}

HRESULT CClientMapiFolder::SetMessageStatus(ULONG cb, LPENTRYID id, ULONG new_status, ULONG mask,
                                            ULONG* old_status) {
  Trace("SetMessageStatus");
  if (old_status) *old_status = 0;
  zel::IMAPIFOLDER_SetMessageStatus::Request in;
  in.hFolder = handle_;
  in.entryID = OutgoingId(cb, reinterpret_cast<const BYTE*>(id));
  in.ulNewStatus = static_cast<std::int32_t>(new_status);
  in.ulNewStatusMask = static_cast<std::int32_t>(mask);
  zel::IMAPIFOLDER_SetMessageStatus::Reply out;
  HRESULT hr = CallRemote<zel::IMAPIFOLDER_SetMessageStatus>(binding_, in, out);
  if (SUCCEEDED(hr) && old_status) *old_status = static_cast<ULONG>(out.ulOldStatus);
  return hr;
}

HRESULT CClientMapiFolder::SaveContentsSort(LPSSortOrderSet sort, ULONG flags) {
  Trace("SaveContentsSort");
  zel::IMAPIFOLDER_SaveContentsSort::Request in;
  in.hFolder = handle_;
  try {
    in.data = codec_.Encode([&] { return codec_.SizeSortOrderSet(sort); },
                            [&](zel::MarshalWriter& w) { codec_.WriteSortOrderSet(w, sort); });
  } catch (const zel::MarshalError& e) {
    return e.code();
  }
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPIFOLDER_SaveContentsSort::Reply out;
  return CallRemote<zel::IMAPIFOLDER_SaveContentsSort>(binding_, in, out);
}

HRESULT CClientMapiFolder::EmptyFolder(ULONG_PTR, LPMAPIPROGRESS, ULONG flags) {
  Trace("EmptyFolder");
  zel::IMAPIFOLDER_EmptyFolder::Request in;
  in.hFolder = handle_;
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPIFOLDER_EmptyFolder::Reply out;
  return CallRemote<zel::IMAPIFOLDER_EmptyFolder>(binding_, in, out);
}

}  // namespace vantrel::client
