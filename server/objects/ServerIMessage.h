// CServerIMessage: the server object of a message, with its attachment and
// recipient operations. It keeps the property object's kind; the registry's
// two-way kind test lets it serve the message operations.
#pragma once

#include "server/objects/ServerIMAPIProp.h"
#include "server/objects/ServerObjects.h"

namespace vantrel::server {

class CServerIMessage : public CServerIMAPIProp {
 public:
  explicit CServerIMessage(ServerObjectOptions options = {}) : options_(std::move(options)) {}

  const char* Name() const override { return "IMessage"; }
  std::string DescriptionText() const override REQUIRES(lock) { return std::string(); }
  void Destroy() override;
  void SetMapiObject(IUnknown* object) override;

  HRESULT IMESSAGE_GetAttachmentTable(const zel::IMESSAGE_GetAttachmentTable::Request&,
                                      zel::IMESSAGE_GetAttachmentTable::Reply&) override;
  HRESULT IMESSAGE_GetRecipientTable(const zel::IMESSAGE_GetRecipientTable::Request&,
                                     zel::IMESSAGE_GetRecipientTable::Reply&) override;
  HRESULT IMESSAGE_CreateAttach(const zel::IMESSAGE_CreateAttach::Request&,
                                zel::IMESSAGE_CreateAttach::Reply&) override;
  HRESULT IMESSAGE_DeleteAttach(const zel::IMESSAGE_DeleteAttach::Request&,
                                zel::IMESSAGE_DeleteAttach::Reply&) override;
  HRESULT IMESSAGE_OpenAttach(const zel::IMESSAGE_OpenAttach::Request&, zel::IMESSAGE_OpenAttach::Reply&) override;
  HRESULT IMESSAGE_ModifyRecipients(const zel::IMESSAGE_ModifyRecipients::Request&,
                                    zel::IMESSAGE_ModifyRecipients::Reply&) override;
  HRESULT IMESSAGE_SetReadFlag(const zel::IMESSAGE_SetReadFlag::Request&, zel::IMESSAGE_SetReadFlag::Reply&) override;
  HRESULT IMESSAGE_SubmitMessage(const zel::IMESSAGE_SubmitMessage::Request&,
                                 zel::IMESSAGE_SubmitMessage::Reply&) override;

 private:
  // Throws once destroyed.
  IMessage* Message() const REQUIRES(lock);

  const ServerObjectOptions options_;
  ComPtr<IMessage> message_ GUARDED_BY(lock);
  zel::CMapiMarshal recipient_codec_;
};

}  // namespace vantrel::server
