#include "Libraries/MapiWrapper/MapiPtr.h"

#include <vector>

namespace vantrel::mapiwrapper {
namespace {

// A tag array from the MAPI allocator, freed on scope exit.
class TagArray {
 public:
  explicit TagArray(const std::vector<ULONG>& tags) {
    CheckHr(MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), reinterpret_cast<LPVOID*>(&p_)));
    p_->cValues = static_cast<ULONG>(tags.size());
    for (size_t i = 0; i < tags.size(); ++i) p_->aulPropTag[i] = tags[i];
  }
  ~TagArray() { MAPIFreeBuffer(p_); }
  TagArray(const TagArray&) = delete;
  TagArray& operator=(const TagArray&) = delete;
  LPSPropTagArray get() const { return p_; }

 private:
  LPSPropTagArray p_ = nullptr;
};

void SetOne(IMAPIProp* prop, const SPropValue& value, const char* context) {
  CheckHr(HrSetOneProp(prop, const_cast<LPSPropValue>(&value)), context);
}

CBinary EntryIdProp(IMAPIProp* prop, ULONG tag, const char* context) {
  LPSPropValue v = nullptr;
  HRESULT hr = HrGetOneProp(prop, tag, &v);
  CPropValue owned = CPropValue::Adopt(v);
  if (hr == MAPI_E_NOT_FOUND) throw CMAPIException(MAPI_E_NOT_FOUND, context);
  CheckHr(hr, context);
  CBinary id = CBinary::FromPropValue(owned.get());
  if (id.Empty()) throw CMAPIException(MAPI_E_NOT_FOUND, context);
  return id;
}

}  // namespace

CPropArray GetProps(IMAPIProp* prop, const std::vector<ULONG>& tags) {
  TagArray arr(tags);
  ULONG count = 0;
  LPSPropValue values = nullptr;
  HRESULT hr = prop->GetProps(arr.get(), 0, &count, &values);
  CPropArray out(count, values);
  CheckHr(hr, "CGenMapiPropPtr::GetProps");
  return out;
}

void SetProp(IMAPIProp* prop, const SPropValue& value) {
  SetOne(prop, value, "CGenMapiPropPtr::SetProp");
}

void SetPropText(IMAPIProp* prop, ULONG tag, std::string_view text) {
  CPropValue v;
  if (!v.FromString(tag, text)) throw CMAPIException(MAPI_E_INVALID_PARAMETER, "CGenMapiPropPtr::SetProp");
  SetOne(prop, *v.get(), "CGenMapiPropPtr::SetProp");
}

LONG GetLongProp(IMAPIProp* prop, ULONG tag) {
  LPSPropValue v = nullptr;
  HRESULT hr = HrGetOneProp(prop, tag, &v);
  CPropValue owned = CPropValue::Adopt(v);
  CheckHr(hr, "CGenMapiPropPtr::GetLongProp");
  return owned.ToLong();
}

void SetLongProp(IMAPIProp* prop, ULONG tag, LONG value) {
  CPropValue v(tag);
  if (!v.SetLong(value)) throw CMAPIException(MAPI_E_INVALID_TYPE, "CGenMapiPropPtr::SetLongProp");
  SetOne(prop, *v.get(), "CGenMapiPropPtr::SetLongProp");
}

ULONG GetIDFromName(IMAPIProp* prop, const GUID&, const MAPINAMEID& name, ULONG type, ULONG flags) {
  LPMAPINAMEID names[1] = {const_cast<LPMAPINAMEID>(&name)};
  LPSPropTagArray tags = nullptr;
  HRESULT hr = prop->GetIDsFromNames(1, names, flags, &tags);
  ULONG tag = tags && tags->cValues == 1 ? tags->aulPropTag[0] : PR_NULL;
  if (tags) MAPIFreeBuffer(tags);
  CheckHr(hr, "CGenMapiPropPtr::GetIDFromName");
  if (PROP_ID(tag) == 0 || PROP_TYPE(tag) == PT_ERROR)
    throw CMAPIException(MAPI_E_NOT_FOUND, "CGenMapiPropPtr::GetIDFromName");
  return CHANGE_PROP_TYPE(tag, type);
}

IMAPITable* ContainerTable(IMAPIContainer* cont, int which) {
  IMAPITable* table = nullptr;
  switch (which) {
    case 0:
      CheckHr(cont->GetContentsTable(0, &table), "CGenMapiContPtr::_rawContentsTable");
      break;
    case 1:
      CheckHr(cont->GetContentsTable(MAPI_ASSOCIATED, &table), "CGenMapiContPtr::_rawAssociatedTable");
      break;
    default:
      CheckHr(cont->GetHierarchyTable(0, &table), "CGenMapiContPtr::_rawHierrarchyTable");
      break;
  }
  return table;
}

IUnknown* ContainerOpenEntry(IMAPIContainer* cont, const SBinary& id, ULONG flags, const char* context) {
  ULONG type = 0;
  IUnknown* unk = nullptr;
  CheckHr(cont->OpenEntry(id.cb, reinterpret_cast<LPENTRYID>(id.lpb), nullptr, flags, &type, &unk), context);
  if (!unk) throw CMAPIException(MAPI_E_NOT_FOUND, context);
  return unk;
}

IMAPIFolderPtr OpenParent(IMAPIContainer* cont) {
  CBinary id = EntryIdProp(cont, PR_PARENT_ENTRYID, "CGenMapiContPtr::Parent");
  IUnknown* unk = ContainerOpenEntry(cont, id.AsSBinary(), MAPI_BEST_ACCESS, "CGenMapiContPtr::Parent");
  IMAPIFolderPtr folder = QueryWrap<IMAPIFolderPtr>(unk);
  unk->Release();
  if (!folder) throw CMAPIException(MAPI_E_INTERFACE_NOT_SUPPORTED, "CGenMapiContPtr::Parent");
  return folder;
}

IMsgStorePtr OpenStoreOf(IMAPIProp* prop, const IMAPISessionPtr& session) {
  CBinary id = EntryIdProp(prop, PR_STORE_ENTRYID, "CGenMapiContPtr::MsgStore");
  IMsgStorePtr store;
  CheckHr(session->OpenMsgStore(0, id.Size(), id.AsEntryID(), nullptr, MAPI_BEST_ACCESS, store.Receive()),
          "CGenMapiContPtr::MsgStore");
  return store;
}

}  // namespace vantrel::mapiwrapper

LONG IMAPITablePtr::SeekRow(BOOKMARK origin, LONG rows) const {
  LONG moved = 0;
  CheckHr(get()->SeekRow(origin, rows, &moved), "IMAPITable.SeekRow");
  return moved;
}

IMAPITablePtr IMessagePtr::rawGetRecipients() const {
  IMAPITablePtr t;
  CheckHr(get()->GetRecipientTable(0, t.Receive()), "IMessagePtr::rawGetRecipients");
  return t;
}

IMessagePtr IMAPIFolderPtr::CreateMessage(ULONG flags) const {
  IMessagePtr m;
  CheckHr(get()->CreateMessage(nullptr, flags, m.Receive()), "IMAPIFolderPtr::CreateMessage");
  return m;
}

IMAPIFolderPtr IMAPIFolderPtr::CreateFolder(const std::string& name, const std::string& comment, ULONG flags,
                                            ULONG type) const {
  IMAPIFolderPtr f;
  CheckHr(get()->CreateFolder(type, const_cast<LPSTR>(name.c_str()), const_cast<LPSTR>(comment.c_str()), nullptr, flags,
                           f.Receive()),
          "IMAPIFolderPtr::CreateFolder");
  return f;
}

IMAPIFolderPtr IMsgStorePtr::_getIPMRoot() const {
  LPSPropValue v = nullptr;
  HRESULT hr = HrGetOneProp(get(), PR_IPM_SUBTREE_ENTRYID, &v);
  CPropValue owned = CPropValue::Adopt(v);
  if (FAILED(hr) || PROP_TYPE(owned.Tag()) != PT_BINARY) {
    throw CMAPIException(hr == MAPI_E_NOT_FOUND || SUCCEEDED(hr) ? MAPI_E_NOT_FOUND : hr, "IMsgStorePtr::_getIPMRoot");
  }
  ULONG type = 0;
  IUnknown* unk = nullptr;
  CheckHr(get()->OpenEntry(owned->Value.bin.cb, reinterpret_cast<LPENTRYID>(owned->Value.bin.lpb), nullptr,
                        MAPI_BEST_ACCESS, &type, &unk),
          "IMsgStorePtr::_getIPMRoot");
  IMAPIFolderPtr folder = QueryWrap<IMAPIFolderPtr>(unk);
  if (unk) unk->Release();
  if (!folder) throw CMAPIException(MAPI_E_NOT_FOUND, "IMsgStorePtr::_getIPMRoot");
  return folder;
}

CGenMapiPropPtr IMsgStorePtr::OpenEntry(const CBinary& id) const {
  CBinary copy = id;
  ULONG type = 0;
  IUnknown* unk = nullptr;
  CheckHr(get()->OpenEntry(copy.Size(), copy.AsEntryID(), nullptr, MAPI_BEST_ACCESS, &type, &unk));
  CGenMapiPropPtr out = QueryWrap<CGenMapiPropPtr>(unk);
  if (unk) unk->Release();
  if (!out) CheckHr(MAPI_E_INTERFACE_NOT_SUPPORTED);
  return out;
}

CGenMapiPropPtr IMAPISessionPtr::OpenEntry(const CBinary& id) const {
  CBinary copy = id;
  ULONG type = 0;
  IUnknown* unk = nullptr;
  CheckHr(get()->OpenEntry(copy.Size(), copy.AsEntryID(), nullptr, MAPI_BEST_ACCESS, &type, &unk));
  CGenMapiPropPtr out = QueryWrap<CGenMapiPropPtr>(unk);
  if (unk) unk->Release();
  if (!out) CheckHr(MAPI_E_INTERFACE_NOT_SUPPORTED);
  return out;
}

IMsgStorePtr IMAPISessionPtr::OpenMsgStore(const CBinary& id) const {
  CBinary copy = id;
  IMsgStorePtr store;
  CheckHr(get()->OpenMsgStore(0, copy.Size(), copy.AsEntryID(), nullptr, MAPI_BEST_ACCESS, store.Receive()));
  return store;
}
