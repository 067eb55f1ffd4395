#include "tools/zelmapi/Mime.h"

#include <gmime/gmime.h>

#include <cstring>
#include <ctime>

namespace zelmapi {
namespace {

void Init() {
  static const bool done = [] {
    g_mime_init();
    return true;
  }();
  (void)done;
}

std::string Bytes(GMimeStream* mem) {
  GByteArray* a = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
  return std::string(reinterpret_cast<const char*>(a->data), a->len);
}

void Addresses(InternetAddressList* list, bool cc, std::vector<MimeAddress>* out) {
  if (!list) return;
  for (int i = 0; i < internet_address_list_length(list); ++i) {
    InternetAddress* a = internet_address_list_get_address(list, i);
    if (!INTERNET_ADDRESS_IS_MAILBOX(a)) continue;
    MimeAddress m;
    const char* name = internet_address_get_name(a);
    const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
    m.name = name ? name : "";
    m.email = addr ? addr : "";
    m.cc = cc;
    out->push_back(m);
  }
}

struct Walk {
  MimeMessage* m;
  bool have_body = false;
};

void Visit(GMimeObject*, GMimeObject* part, gpointer data) {
  auto* w = static_cast<Walk*>(data);
  if (!GMIME_IS_PART(part)) return;
  GMimePart* p = GMIME_PART(part);
  const char* filename = g_mime_part_get_filename(p);
  if (!w->have_body && GMIME_IS_TEXT_PART(part) && !filename && !g_mime_part_is_attachment(p) &&
      g_mime_content_type_is_type(g_mime_object_get_content_type(part), "text", "plain")) {
    char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
    w->m->body = text ? text : "";
    g_free(text);
    w->have_body = true;
    return;
  }
  GMimeDataWrapper* content = g_mime_part_get_content(p);
  if (!content) return;
  GMimeStream* mem = g_mime_stream_mem_new();
  g_mime_data_wrapper_write_to_stream(content, mem);
  w->m->attachments.push_back({filename ? filename : "attachment", Bytes(mem)});
  g_object_unref(mem);
}

}  // namespace

std::string ToMime(const MimeMessage& m) {
  Init();
  GMimeMessage* msg = g_mime_message_new(TRUE);
  if (!m.from.email.empty() || !m.from.name.empty())
    g_mime_message_add_mailbox(msg, GMIME_ADDRESS_TYPE_FROM, m.from.name.c_str(), m.from.email.c_str());
  for (const MimeAddress& a : m.recipients)
    g_mime_message_add_mailbox(msg, a.cc ? GMIME_ADDRESS_TYPE_CC : GMIME_ADDRESS_TYPE_TO, a.name.c_str(),
                               a.email.c_str());
  g_mime_message_set_subject(msg, m.subject.c_str(), "utf-8");
  if (m.time) {
    GDateTime* date = g_date_time_new_from_unix_local(m.time);
    g_mime_message_set_date(msg, date);
    g_date_time_unref(date);
  }
  // As mail tools keep the read state in a mailbox file: O seen by the
  // tool, R read.
  g_mime_object_set_header(GMIME_OBJECT(msg), "Status", m.read ? "RO" : "O", nullptr);
  GMimeTextPart* text = g_mime_text_part_new_with_subtype("plain");
  g_mime_text_part_set_text(text, m.body.c_str());
  if (m.attachments.empty()) {
    g_mime_message_set_mime_part(msg, GMIME_OBJECT(text));
  } else {
    GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
    g_mime_multipart_add(mixed, GMIME_OBJECT(text));
    for (const MimeAttachment& a : m.attachments) {
      GMimePart* part = g_mime_part_new_with_type("application", "octet-stream");
      g_mime_part_set_filename(part, a.name.c_str());
      GMimeStream* data = g_mime_stream_mem_new_with_buffer(a.data.data(), a.data.size());
      GMimeDataWrapper* wrapper = g_mime_data_wrapper_new_with_stream(data, GMIME_CONTENT_ENCODING_DEFAULT);
      g_mime_part_set_content(part, wrapper);
      g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
      g_mime_multipart_add(mixed, GMIME_OBJECT(part));
      g_object_unref(wrapper);
      g_object_unref(data);
      g_object_unref(part);
    }
    g_mime_message_set_mime_part(msg, GMIME_OBJECT(mixed));
    g_object_unref(mixed);
  }
  g_object_unref(text);
  GMimeStream* out = g_mime_stream_mem_new();
  g_mime_object_write_to_stream(GMIME_OBJECT(msg), nullptr, out);
  std::string bytes = Bytes(out);
  g_object_unref(out);
  g_object_unref(msg);
  return bytes;
}

bool FromMime(const std::string& bytes, MimeMessage* m, std::string* error) {
  Init();
  GMimeStream* in = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(in);
  GMimeMessage* msg = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(in);
  if (!msg) {
    *error = "not an RFC 5322 message";
    return false;
  }
  *m = MimeMessage();
  std::vector<MimeAddress> from;
  Addresses(g_mime_message_get_from(msg), false, &from);
  if (!from.empty()) m->from = from[0];
  Addresses(g_mime_message_get_to(msg), false, &m->recipients);
  Addresses(g_mime_message_get_cc(msg), true, &m->recipients);
  const char* subject = g_mime_message_get_subject(msg);
  m->subject = subject ? subject : "";
  if (GDateTime* date = g_mime_message_get_date(msg)) m->time = g_date_time_to_unix(date);
  const char* status = g_mime_object_get_header(GMIME_OBJECT(msg), "Status");
  m->read = status && std::strchr(status, 'R');
  Walk walk{m};
  g_mime_message_foreach(msg, Visit, &walk);
  g_object_unref(msg);
  return true;
}

std::string MboxEntry(const std::string& mime, int64_t time) {
  time_t t = time ? static_cast<time_t>(time) : std::time(nullptr);
  struct tm tm;
  gmtime_r(&t, &tm);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%a %b %e %H:%M:%S %Y", &tm);
  std::string out = std::string("From MAILER-DAEMON ") + stamp + "\n";
  size_t start = 0;
  while (start < mime.size()) {
    size_t end = mime.find('\n', start);
    std::string line = mime.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
    start = end == std::string::npos ? mime.size() : end + 1;
    size_t q = line.find_first_not_of('>');
    if (q != std::string::npos && line.compare(q, 5, "From ") == 0) out += '>';
    out += line;
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out + "\n";
}

std::vector<std::string> SplitMbox(const std::string& mbox) {
  std::vector<std::string> out;
  std::string* cur = nullptr;
  size_t start = 0;
  bool blank_before = true;
  while (start < mbox.size()) {
    size_t end = mbox.find('\n', start);
    std::string line = mbox.substr(start, end == std::string::npos ? std::string::npos : end - start + 1);
    start = end == std::string::npos ? mbox.size() : end + 1;
    if (blank_before && line.compare(0, 5, "From ") == 0) {
      out.emplace_back();
      cur = &out.back();
      blank_before = false;
      continue;
    }
    blank_before = line == "\n" || line == "\r\n";
    if (!cur) continue;
    size_t q = line.find_first_not_of('>');
    if (q != std::string::npos && q > 0 && line.compare(q, 5, "From ") == 0) line.erase(0, 1);
    *cur += line;
  }
  // The blank line that separates entries belongs to the file, not the message.
  for (std::string& m : out)
    if (m.size() >= 2 && m.compare(m.size() - 2, 2, "\n\n") == 0) m.pop_back();
  return out;
}

}  // namespace zelmapi
