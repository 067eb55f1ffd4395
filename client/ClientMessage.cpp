#include "client/ClientMessage.h"

#include "platform/mapi/MapiTags.h"

namespace vantrel::client {

namespace {
constexpr ULONG kTableCode = 256;
}  // namespace

HRESULT CClientMapiMessage::GetAttachmentTable(ULONG flags, LPMAPITABLE* table) {
  Trace("GetAttachmentTable");
  if (!table) return MAPI_E_INVALID_PARAMETER;
  *table = nullptr;
  zel::IMESSAGE_GetAttachmentTable::Request in{handle_, static_cast<std::int32_t>(flags)};
  zel::IMESSAGE_GetAttachmentTable::Reply out;
  HRESULT hr = CallRemote<zel::IMESSAGE_GetAttachmentTable>(binding_, in, out);
  if (FAILED(hr)) return hr;
  *table = static_cast<LPMAPITABLE>(MakeProxy(kTableCode, out.hTable));
  return hr;
}

HRESULT CClientMapiMessage::GetRecipientTable(ULONG flags, LPMAPITABLE* table) {
  Trace("GetRecipientTable");
  if (!table) return MAPI_E_INVALID_PARAMETER;
  *table = nullptr;
  zel::IMESSAGE_GetRecipientTable::Request in{handle_, static_cast<std::int32_t>(flags)};
  zel::IMESSAGE_GetRecipientTable::Reply out;
  HRESULT hr = CallRemote<zel::IMESSAGE_GetRecipientTable>(binding_, in, out);
  if (FAILED(hr)) return hr;
  *table = static_cast<LPMAPITABLE>(MakeProxy(kTableCode, out.hTable));
  return hr;
}

HRESULT CClientMapiMessage::OpenAttach(ULONG number, LPCIID iid, ULONG flags, LPATTACH* attach) {
  Trace("OpenAttach");
  if (!attach) return MAPI_E_INVALID_PARAMETER;
  *attach = nullptr;
  zel::IMESSAGE_OpenAttach::Request in{handle_, static_cast<std::int32_t>(number), Selector(iid),
                                       static_cast<std::int32_t>(flags)};
  zel::IMESSAGE_OpenAttach::Reply out;
  HRESULT hr = CallRemote<zel::IMESSAGE_OpenAttach>(binding_, in, out);
  if (FAILED(hr)) return hr;
  *attach = static_cast<LPATTACH>(MakeProxy(MAPI_ATTACH, out.hAttach));
  return hr;
}

HRESULT CClientMapiMessage::CreateAttach(LPCIID iid, ULONG flags, ULONG* number, LPATTACH* attach) {
  Trace("CreateAttach");
  if (!attach) return MAPI_E_INVALID_PARAMETER;
  *attach = nullptr;
  zel::IMESSAGE_CreateAttach::Request in{handle_, Selector(iid), static_cast<std::int32_t>(flags)};
  zel::IMESSAGE_CreateAttach::Reply out;
  HRESULT hr = CallRemote<zel::IMESSAGE_CreateAttach>(binding_, in, out);
  if (FAILED(hr)) return hr;
  if (number) *number = static_cast<ULONG>(out.ulAttachmentNum);
  *attach = static_cast<LPATTACH>(MakeProxy(MAPI_ATTACH, out.hAttach));
  return hr;
}

HRESULT CClientMapiMessage::DeleteAttach(ULONG number, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) {
  Trace("DeleteAttach");
  zel::IMESSAGE_DeleteAttach::Request in{handle_, static_cast<std::int32_t>(number), 0, 0,
                                         static_cast<std::int32_t>(flags)};
  zel::IMESSAGE_DeleteAttach::Reply out;
  return CallRemote<zel::IMESSAGE_DeleteAttach>(binding_, in, out);
}

HRESULT CClientMapiMessage::ModifyRecipients(ULONG flags, LPADRLIST mods) {
  Trace("ModifyRecipients");
  zel::IMESSAGE_ModifyRecipients::Request in;
  in.hMessage = handle_;
  in.ulFlags = static_cast<std::int32_t>(flags);
  try {
    in.data = codec_.Encode([&] { return codec_.SizeAdrList(mods); },
                            [&](zel::MarshalWriter& w) { codec_.WriteAdrList(w, mods); });
  } catch (const zel::MarshalError& e) {
    return e.code();
  }
  zel::IMESSAGE_ModifyRecipients::Reply out;
  return CallRemote<zel::IMESSAGE_ModifyRecipients>(binding_, in, out);
}

HRESULT CClientMapiMessage::SetReadFlag(ULONG flags) {
  Trace("SetReadFlag");
  zel::IMESSAGE_SetReadFlag::Request in{handle_, static_cast<std::int32_t>(flags)};
  zel::IMESSAGE_SetReadFlag::Reply out;
  return CallRemote<zel::IMESSAGE_SetReadFlag>(binding_, in, out);
}

HRESULT CClientMapiMessage::SubmitMessage(ULONG flags) {
  Trace("SubmitMessage");
  SPropTagArray tags{1, {PR_MESSAGE_FLAGS}};
  ULONG count = 0;
  LPSPropValue value = nullptr;
  HRESULT hr = DoGetProps(&tags, 0, &count, &value);
  if (FAILED(hr)) return hr;
  hr = DoSaveChanges(KEEP_OPEN_READWRITE);
  if (FAILED(hr)) {
    logon_->FreeBuffer(value);
    return hr;
  }
  ComPtr<IMAPISupport> support = logon_->Support();
  HRESULT prepared = S_OK;
  bool resend = value && count == 1 && value->ulPropTag == PR_MESSAGE_FLAGS && (value->Value.l & MSGFLAG_RESEND);
  if (resend && support) {
    ULONG prep_flags = 0;
    prepared = support->PrepareSubmit(this, &prep_flags);
  }
  logon_->FreeBuffer(value);
  if (FAILED(prepared)) return prepared;
  if (support) {
    ULONG expand_flags = 0;
    support->ExpandRecips(this, &expand_flags);
  }
  zel::IMESSAGE_SubmitMessage::Request in{handle_, static_cast<std::int32_t>(flags)};
  zel::IMESSAGE_SubmitMessage::Reply out;
  return CallRemote<zel::IMESSAGE_SubmitMessage>(binding_, in, out);
}

}  // namespace vantrel::client
