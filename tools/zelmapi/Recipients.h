// Recipients and attachments of a message: adding addresses written as
// "Name <addr>, addr", and listing what a message has.
#pragma once

#include <string>
#include <vector>

#include "platform/mapi/MapiInterfaces.h"

namespace zelmapi {

struct Recipient {
  std::string name;   // UTF-8
  std::string email;
  ULONG type = 0;     // MAPI_TO, MAPI_CC, MAPI_BCC
};

// "Ann <ann@x>, bob@y" as recipients of `type`.
std::vector<Recipient> ParseAddresses(const std::string& text, ULONG type);
void AddRecipients(IMessage* m, const std::vector<Recipient>& list);
std::vector<Recipient> ReadRecipients(IMessage* m);
std::string FormatAddress(const Recipient& r);

struct AttachmentInfo {
  long number = 0;
  std::string name;
  long size = 0;
};
std::vector<AttachmentInfo> ReadAttachments(IMessage* m);

}  // namespace zelmapi

namespace zelmapi {

// The body (UTF-8) from `got`, the PR_BODY GetProps returned; a body too
// large for GetProps is read as a stream.
std::string ReadBody(IMessage* m, const SPropValue& got);
// The bytes of attachment `number` (PR_ATTACH_NUM).
std::string ReadAttachmentData(IMessage* m, long number);
// Adds an attachment by value; the message still needs SaveChanges.
void AttachData(IMessage* m, const std::string& name, const std::string& data);

}  // namespace zelmapi
