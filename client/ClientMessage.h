// The message and attachment proxies.
#pragma once

#include "client/ClientProxy.h"

namespace vantrel::client {

class CClientMapiMessage final : public TClientProp<IMessage> {
 public:
  CClientMapiMessage(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding)
      : TClientProp(handle, logon, binding, "CClientMapiMessage") {}

  HRESULT GetAttachmentTable(ULONG flags, LPMAPITABLE* table) override;
  HRESULT OpenAttach(ULONG number, LPCIID iid, ULONG flags, LPATTACH* attach) override;
  HRESULT CreateAttach(LPCIID iid, ULONG flags, ULONG* number, LPATTACH* attach) override;
  HRESULT DeleteAttach(ULONG number, ULONG_PTR ui, LPMAPIPROGRESS progress, ULONG flags) override;
  HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* table) override;
  HRESULT ModifyRecipients(ULONG flags, LPADRLIST mods) override;
  HRESULT SubmitMessage(ULONG flags) override;
  HRESULT SetReadFlag(ULONG flags) override;
};

class CClientAttach final : public TClientProp<IAttach> {
 public:
  CClientAttach(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding)
      : TClientProp(handle, logon, binding, "CClientAttach") {}
};

}  // namespace vantrel::client
