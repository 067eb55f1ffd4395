// RFC 5322 / MIME text of a message, made and parsed by GMime. Kept apart
// from the MAPI headers: only plain C++ crosses this line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelmapi {

struct MimeAddress {
  std::string name, email;  // UTF-8
  bool cc = false;
};

struct MimeAttachment {
  std::string name;  // UTF-8
  std::string data;
};

struct MimeMessage {
  MimeAddress from;
  std::vector<MimeAddress> recipients;
  std::string subject, body;  // UTF-8
  int64_t time = 0;           // seconds since 1970; 0: none
  bool read = false;          // the "Status:" header of mbox files holds R
  std::vector<MimeAttachment> attachments;
};

std::string ToMime(const MimeMessage& m);
// False (with a reason) when the bytes are not a message.
bool FromMime(const std::string& bytes, MimeMessage* m, std::string* error);

// mbox (mboxrd): each message after a "From " line, lines of the form
// ">*From " quoted with one more '>'.
std::string MboxEntry(const std::string& mime, int64_t time);
std::vector<std::string> SplitMbox(const std::string& mbox);

}  // namespace zelmapi
