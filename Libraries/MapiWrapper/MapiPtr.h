// Interface wrappers. Each holds one reference to its interface: it adds a
// reference when copied or built from a raw pointer, adopts one through
// Adopt/Attach or Receive (out-parameters), and releases it when destroyed.
// Operations throw CMAPIException with their own name as context when the
// MAPI call fails, and MAPI_E_NOT_FOUND with their name where they find
// nothing.
#pragma once

#include <string>
#include <utility>

#include "Libraries/MapiWrapper/MapiException.h"
#include "Libraries/MapiWrapper/MapiInclude.h"
#include "Libraries/MapiWrapper/PropValue.h"
#include "Libraries/MapiWrapper/RowSet.h"
#include "platform/base/Unknown.h"

// The platform's ComPtr with the wrappers' names: Receive for
// out-parameters, Interface for QueryWrap.
template <typename T>
class CMapiPtr : public vantrel::ComPtr<T> {
 public:
  using Interface = T;
  using vantrel::ComPtr<T>::ComPtr;

  // For out-parameters: releases what is held and returns the slot.
  T** Receive() { return this->Out(); }
};

// Asks `unk` for the interface of P and wraps it (empty when it has none).
template <typename P>
P QueryWrap(IUnknown* unk) {
  P out;
  if (unk) unk->QueryInterface(P::Interface::kIID, reinterpret_cast<void**>(out.Receive()));
  return out;
}

class IMAPITablePtr;
class IMAPIFolderPtr;
class IMsgStorePtr;
class IMAPISessionPtr;
class CGenMapiPropPtr;
class CGenMapiContPtr;

namespace vantrel::mapiwrapper {

// The operations behind the wrappers, on raw interfaces.
CPropArray GetProps(IMAPIProp* prop, const std::vector<ULONG>& tags);
void SetProp(IMAPIProp* prop, const SPropValue& value);
void SetPropText(IMAPIProp* prop, ULONG tag, std::string_view text);
LONG GetLongProp(IMAPIProp* prop, ULONG tag);
void SetLongProp(IMAPIProp* prop, ULONG tag, LONG value);
ULONG GetIDFromName(IMAPIProp* prop, const GUID& set, const MAPINAMEID& name, ULONG type, ULONG flags);
IMAPITable* ContainerTable(IMAPIContainer* cont, int which);
IUnknown* ContainerOpenEntry(IMAPIContainer* cont, const SBinary& id, ULONG flags, const char* context);

}  // namespace vantrel::mapiwrapper

// The property operations, for every interface derived from IMAPIProp.
template <typename T>
class CGenMapiPropPtrT : public CMapiPtr<T> {
 public:
  using CMapiPtr<T>::CMapiPtr;

  // "CGenMapiPropPtr::GetProps": the values in the order of `tags`.
  CPropArray GetProps(const std::vector<ULONG>& tags) const { return vantrel::mapiwrapper::GetProps(this->get(), tags); }
  // "CGenMapiPropPtr::SetProp"
  void SetProp(const CPropValue& value) const { vantrel::mapiwrapper::SetProp(this->get(), *value.get()); }
  void SetProp(ULONG tag, std::string_view text) const { vantrel::mapiwrapper::SetPropText(this->get(), tag, text); }
  void SetProp(ULONG tag, LONG number) const { vantrel::mapiwrapper::SetLongProp(this->get(), tag, number); }
  void SetProp(ULONG tag, bool b) const {
    CPropValue v;
    v.SetBool(tag, b);
    SetProp(v);
  }
  void SetProp(ULONG tag, const CBinary& bin) const {
    CPropValue v;
    v.SetBinary(tag, bin);
    SetProp(v);
  }
  // "CGenMapiPropPtr::GetLongProp" / "CGenMapiPropPtr::SetLongProp"
  LONG GetLongProp(ULONG tag) const { return vantrel::mapiwrapper::GetLongProp(this->get(), tag); }
  void SetLongProp(ULONG tag, LONG value) const { vantrel::mapiwrapper::SetLongProp(this->get(), tag, value); }
  // "CGenMapiPropPtr::GetIDFromName": the named property's tag with `type`.
  ULONG GetIDFromName(const GUID& set, const std::u16string& name, ULONG type, ULONG flags = 0) const {
    MAPINAMEID id{const_cast<GUID*>(&set), MNID_STRING, {}};
    id.Kind.lpwstrName = const_cast<LPWSTR>(name.c_str());
    return vantrel::mapiwrapper::GetIDFromName(this->get(), set, id, type, flags);
  }
  ULONG GetIDFromName(const GUID& set, LONG lid, ULONG type, ULONG flags = 0) const {
    MAPINAMEID id{const_cast<GUID*>(&set), MNID_ID, {}};
    id.Kind.lID = lid;
    return vantrel::mapiwrapper::GetIDFromName(this->get(), set, id, type, flags);
  }
};

class CGenMapiPropPtr : public CGenMapiPropPtrT<IMAPIProp> {
 public:
  using CGenMapiPropPtrT<IMAPIProp>::CGenMapiPropPtrT;
};

class IMAPITablePtr : public CMapiPtr<IMAPITable> {
 public:
  using CMapiPtr<IMAPITable>::CMapiPtr;
  // "IMAPITable.SeekRow": the number of rows the cursor moved.
  LONG SeekRow(BOOKMARK origin, LONG rows) const;
};

// The container operations, for containers and folders.
template <typename T>
class CGenMapiContPtrT : public CGenMapiPropPtrT<T> {
 public:
  using CGenMapiPropPtrT<T>::CGenMapiPropPtrT;

  // "CGenMapiContPtr::_rawContentsTable", "..._rawAssociatedTable",
  // "..._rawHierrarchyTable"
  IMAPITablePtr _rawContentsTable() const { return Table(0); }
  IMAPITablePtr _rawAssociatedTable() const { return Table(1); }
  IMAPITablePtr _rawHierrarchyTable() const { return Table(2); }

  // "CGenMapiContPtr::OpenEntry": an entry of this container as a container.
  CGenMapiContPtr OpenEntry(const CBinary& id, ULONG flags = MAPI_BEST_ACCESS) const;
  CGenMapiContPtr OpenEntry(const SPropValue& id, ULONG flags = MAPI_BEST_ACCESS) const;
  // "CGenMapiContPtr::OpenEntryv": the same entry as a property object.
  CGenMapiPropPtr OpenEntryv(const CBinary& id, ULONG flags = MAPI_BEST_ACCESS) const;
  CGenMapiPropPtr OpenEntryv(const SPropValue& id, ULONG flags = MAPI_BEST_ACCESS) const;
  // "CGenMapiContPtr::Parent": the parent folder (PR_PARENT_ENTRYID),
  // opened through this object, which reaches every folder of its store.
  IMAPIFolderPtr Parent() const;
  // "CGenMapiContPtr::MsgStore": the store (PR_STORE_ENTRYID), opened
  // through `session`.
  IMsgStorePtr MsgStore(const IMAPISessionPtr& session) const;

 private:
  IMAPITablePtr Table(int which) const {
    IMAPITablePtr t;
    t.Attach(vantrel::mapiwrapper::ContainerTable(this->get(), which));
    return t;
  }
  IUnknown* Open(const SBinary& id, ULONG flags, const char* context) const {
    return vantrel::mapiwrapper::ContainerOpenEntry(this->get(), id, flags, context);
  }
};

class CGenMapiContPtr : public CGenMapiContPtrT<IMAPIContainer> {
 public:
  using CGenMapiContPtrT<IMAPIContainer>::CGenMapiContPtrT;
};

class IMessagePtr : public CGenMapiPropPtrT<IMessage> {
 public:
  using CGenMapiPropPtrT<IMessage>::CGenMapiPropPtrT;
  // "IMessagePtr::rawGetRecipients": the recipient table.
  IMAPITablePtr rawGetRecipients() const;
};

class IMAPIFolderPtr : public CGenMapiContPtrT<IMAPIFolder> {
 public:
  using CGenMapiContPtrT<IMAPIFolder>::CGenMapiContPtrT;
  // "IMAPIFolderPtr::CreateMessage" (flags e.g. MAPI_ASSOCIATED)
  IMessagePtr CreateMessage(ULONG flags = 0) const;
  // "IMAPIFolderPtr::CreateFolder" (flags e.g. OPEN_IF_EXISTS)
  IMAPIFolderPtr CreateFolder(const std::string& name, const std::string& comment = "", ULONG flags = 0,
                              ULONG type = FOLDER_GENERIC) const;
};

class IMsgStorePtr : public CGenMapiPropPtrT<IMsgStore> {
 public:
  using CGenMapiPropPtrT<IMsgStore>::CGenMapiPropPtrT;
  // "IMsgStorePtr::_getIPMRoot": the IPM subtree's root folder.
  IMAPIFolderPtr _getIPMRoot() const;
  // An entry of the store, with best access; failures thrown.
  CGenMapiPropPtr OpenEntry(const CBinary& id) const;
};

class IMAPISessionPtr : public CMapiPtr<IMAPISession> {
 public:
  using CMapiPtr<IMAPISession>::CMapiPtr;
  // An entry reachable through the session, with best access.
  CGenMapiPropPtr OpenEntry(const CBinary& id) const;
  // A message store by its entry identifier, with best access.
  IMsgStorePtr OpenMsgStore(const CBinary& id) const;
};

class IAddrBookPtr : public CMapiPtr<IAddrBook> {
 public:
  using CMapiPtr<IAddrBook>::CMapiPtr;
};

// ---- template members that need the classes above ------------------------

template <typename T>
CGenMapiContPtr CGenMapiContPtrT<T>::OpenEntry(const CBinary& id, ULONG flags) const {
  SBinary bin{id.Size(), const_cast<LPBYTE>(id.Data())};
  IUnknown* raw = Open(bin, flags, "CGenMapiContPtr::OpenEntry");
  CGenMapiContPtr out = QueryWrap<CGenMapiContPtr>(raw);
  raw->Release();
  if (!out) throw CMAPIException(MAPI_E_INTERFACE_NOT_SUPPORTED, "CGenMapiContPtr::OpenEntry");
  return out;
}

template <typename T>
CGenMapiContPtr CGenMapiContPtrT<T>::OpenEntry(const SPropValue& id, ULONG flags) const {
  return OpenEntry(CBinary::FromPropValue(&id), flags);
}

template <typename T>
CGenMapiPropPtr CGenMapiContPtrT<T>::OpenEntryv(const CBinary& id, ULONG flags) const {
  SBinary bin{id.Size(), const_cast<LPBYTE>(id.Data())};
  IUnknown* raw = Open(bin, flags, "CGenMapiContPtr::OpenEntryv");
  CGenMapiPropPtr out = QueryWrap<CGenMapiPropPtr>(raw);
  raw->Release();
  if (!out) throw CMAPIException(MAPI_E_INTERFACE_NOT_SUPPORTED, "CGenMapiContPtr::OpenEntryv");
  return out;
}

template <typename T>
CGenMapiPropPtr CGenMapiContPtrT<T>::OpenEntryv(const SPropValue& id, ULONG flags) const {
  return OpenEntryv(CBinary::FromPropValue(&id), flags);
}

namespace vantrel::mapiwrapper {
IMAPIFolderPtr OpenParent(IMAPIContainer* cont);
IMsgStorePtr OpenStoreOf(IMAPIProp* prop, const IMAPISessionPtr& session);
}  // namespace vantrel::mapiwrapper

template <typename T>
IMAPIFolderPtr CGenMapiContPtrT<T>::Parent() const {
  return vantrel::mapiwrapper::OpenParent(this->get());
}

template <typename T>
IMsgStorePtr CGenMapiContPtrT<T>::MsgStore(const IMAPISessionPtr& session) const {
  return vantrel::mapiwrapper::OpenStoreOf(this->get(), session);
}
