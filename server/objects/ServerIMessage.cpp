#include "server/objects/ServerIMessage.h"

#include <stdexcept>

#include "platform/mapi/MapiUtil.h"

namespace vantrel::server {

void CServerIMessage::Destroy() {
  MutexLock l(lock);
  prop_.Reset();
  message_.Reset();
}

void CServerIMessage::SetMapiObject(IUnknown* object) {
  MutexLock l(lock);
  message_.Reset();
  if (object) object->QueryInterface(IID_IMessage, message_.OutVoid());
  prop_ = ComPtr<IMAPIProp>(message_.get());
}

IMessage* CServerIMessage::Message() const {
  if (!message_) throw std::logic_error("message object without interface");
  return message_.get();
}

HRESULT CServerIMessage::IMESSAGE_GetAttachmentTable(const zel::IMESSAGE_GetAttachmentTable::Request& in,
                                                     zel::IMESSAGE_GetAttachmentTable::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    ComPtr<IMAPITable> table;
    HRESULT hr = Message()->GetAttachmentTable(static_cast<ULONG>(in.ulFlags), table.Out());
    if (FAILED(hr) || !table) return hr;
    out.hTable = MakeChild(kMapiTable, table.get(), nullptr, StoreObject());
    return hr;
  });
}

HRESULT CServerIMessage::IMESSAGE_GetRecipientTable(const zel::IMESSAGE_GetRecipientTable::Request& in,
                                                    zel::IMESSAGE_GetRecipientTable::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    ComPtr<IMAPITable> table;
    HRESULT hr = Message()->GetRecipientTable(static_cast<ULONG>(in.ulFlags), table.Out());
    if (FAILED(hr) || !table) return hr;
    out.hTable = MakeChild(kMapiTable, table.get(), nullptr, StoreObject());
    return hr;
  });
}

HRESULT CServerIMessage::IMESSAGE_CreateAttach(const zel::IMESSAGE_CreateAttach::Request& in,
                                               zel::IMESSAGE_CreateAttach::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    IID storage;
    const IID* iid = SelectedIid(in.iid, storage);
    ULONG number = 0;
    ComPtr<IAttach> attach;
    HRESULT hr = Message()->CreateAttach(iid, static_cast<ULONG>(in.ulFlags), &number, attach.Out());
    if (!attach) return hr;
    out.ulAttachmentNum = static_cast<std::int32_t>(number);
    out.hAttach = MakeChild(MAPI_ATTACH, attach.get(), nullptr, StoreObject());
    return hr;
  });
}

HRESULT CServerIMessage::IMESSAGE_DeleteAttach(const zel::IMESSAGE_DeleteAttach::Request& in,
                                               zel::IMESSAGE_DeleteAttach::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    return Message()->DeleteAttach(static_cast<ULONG>(in.ulAttachmentNum), 0, nullptr, static_cast<ULONG>(in.ulFlags));
  });
}

HRESULT CServerIMessage::IMESSAGE_OpenAttach(const zel::IMESSAGE_OpenAttach::Request& in,
                                             zel::IMESSAGE_OpenAttach::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    IID storage;
    const IID* iid = SelectedIid(in.iid, storage);
    ComPtr<IAttach> attach;
    HRESULT hr =
        Message()->OpenAttach(static_cast<ULONG>(in.ulAttachmentNum), iid, static_cast<ULONG>(in.ulFlags), attach.Out());
    if (!attach) return hr;
    out.hAttach = MakeChild(MAPI_ATTACH, attach.get(), nullptr, StoreObject());
    return hr;
  });
}

HRESULT CServerIMessage::IMESSAGE_ModifyRecipients(const zel::IMESSAGE_ModifyRecipients::Request& in,
                                                   zel::IMESSAGE_ModifyRecipients::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    zel::MarshalReader r(in.data);
    LPADRLIST raw = nullptr;
    if (HRESULT hr = recipient_codec_.ReadAdrList(r, nullptr, &raw); FAILED(hr)) return hr;
    struct Free {
      void operator()(ADRLIST* list) const { FreePadrlist(list); }
    };
    std::unique_ptr<ADRLIST, Free> list(raw);
    return Message()->ModifyRecipients(static_cast<ULONG>(in.ulFlags), list.get());
  });
}

HRESULT CServerIMessage::IMESSAGE_SetReadFlag(const zel::IMESSAGE_SetReadFlag::Request& in,
                                              zel::IMESSAGE_SetReadFlag::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT { return Message()->SetReadFlag(static_cast<ULONG>(in.ulFlags)); });
}

HRESULT CServerIMessage::IMESSAGE_SubmitMessage(const zel::IMESSAGE_SubmitMessage::Request& in,
                                                zel::IMESSAGE_SubmitMessage::Reply&) {
  if (!options_.enable_ms || !options_.enable_ms()) return MAPI_E_NO_SUPPORT;
  return Locked([&]() REQUIRES(lock) -> HRESULT { return Message()->SubmitMessage(static_cast<ULONG>(in.ulFlags)); });
}

}  // namespace vantrel::server
