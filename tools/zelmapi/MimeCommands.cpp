// read --eml, export, import: messages as RFC 5322/MIME and mbox.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"
#include "tools/zelmapi/Commands.h"
#include "tools/zelmapi/Mailbox.h"
#include "tools/zelmapi/Mime.h"
#include "tools/zelmapi/MimeCommands.h"
#include "tools/zelmapi/Recipients.h"
#include "tools/zelmapi/Text.h"

using vantrel::ComPtr;

namespace zelmapi {
namespace {

constexpr unsigned long long kEpochTicks = 116444736000000000ULL;  // 1601 to 1970 in 100 ns

int64_t UnixTime(const SPropValue& v) {
  if (PROP_TYPE(v.ulPropTag) != PT_SYSTIME) return 0;
  unsigned long long t = (static_cast<unsigned long long>(v.Value.ft.dwHighDateTime) << 32) | v.Value.ft.dwLowDateTime;
  return t > kEpochTicks ? static_cast<int64_t>((t - kEpochTicks) / 10000000ULL) : 0;
}
FILETIME FileTime(int64_t unix_time) {
  unsigned long long t = static_cast<unsigned long long>(unix_time) * 10000000ULL + kEpochTicks;
  return {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}
std::string Str(const SPropValue& v) {
  return PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA ? FromCp1252(v.Value.lpszA) : "";
}

// Count, rate and time left on a terminal, redrawn at most 10 times a second.
class Progress {
 public:
  explicit Progress(size_t total) : total_(total), on_(total > 1 && isatty(2)) {}
  ~Progress() {
    if (on_) std::fputc('\n', stderr);
  }
  void Step(size_t done) {
    if (!on_) return;
    auto now = std::chrono::steady_clock::now();
    if (done < total_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    double secs = std::chrono::duration<double>(now - start_).count();
    double rate = secs > 0 ? done / secs : 0;
    double left = rate > 0 ? (total_ - done) / rate : 0;
    std::fprintf(stderr, "\r%zu/%zu  %.0f/s  %.0fs left ", done, total_, rate, left);
  }

 private:
  size_t total_;
  bool on_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), last_;
};

std::string ReadFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Failure("cannot read " + file);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

MimeMessage LoadMime(IMessage* m) {
  SizedSPropTagArray<7> cols;
  ULONG tags[7] = {PR_SENDER_NAME, PR_SENDER_EMAIL_ADDRESS, PR_SUBJECT, PR_BODY, PR_MESSAGE_DELIVERY_TIME,
                   PR_LAST_MODIFICATION_TIME, PR_MESSAGE_FLAGS};
  for (int i = 0; i < 7; ++i) cols.aulPropTag[i] = tags[i];
  ULONG n = 0;
  LPSPropValue v = nullptr;
  Check(m->GetProps(cols.get(), 0, &n, &v), "cannot read a message");
  MimeMessage out;
  out.from = {Str(v[0]), Str(v[1]), false};
  out.subject = Str(v[2]);
  out.body = ReadBody(m, v[3]);
  out.time = UnixTime(v[4]) ? UnixTime(v[4]) : UnixTime(v[5]);
  out.read = PROP_TYPE(v[6].ulPropTag) == PT_LONG && (v[6].Value.l & MSGFLAG_READ);
  MAPIFreeBuffer(v);
  for (const Recipient& r : ReadRecipients(m))
    if (r.type == MAPI_TO || r.type == MAPI_CC)
      out.recipients.push_back({r.name == r.email ? "" : r.name, r.email, r.type == MAPI_CC});
  for (const AttachmentInfo& a : ReadAttachments(m)) out.attachments.push_back({a.name, ReadAttachmentData(m, a.number)});
  return out;
}

void StoreMime(IMAPIFolder* folder, const MimeMessage& in) {
  ComPtr<IMessage> m;
  Check(folder->CreateMessage(nullptr, 0, m.Out()), "cannot make a message");
  std::string subject = ToCp1252(in.subject), body = ToCp1252(in.body), name = ToCp1252(in.from.name),
              email = ToCp1252(in.from.email);
  SPropValue v[7] = {};
  ULONG n = 0;
  v[n].ulPropTag = PR_MESSAGE_CLASS;
  v[n++].Value.lpszA = const_cast<char*>("IPM.Note");
  v[n].ulPropTag = PR_SUBJECT;
  v[n++].Value.lpszA = subject.data();
  v[n].ulPropTag = PR_BODY;
  v[n++].Value.lpszA = body.data();
  v[n].ulPropTag = PR_SENDER_NAME;
  v[n++].Value.lpszA = name.empty() ? email.data() : name.data();
  v[n].ulPropTag = PR_SENDER_EMAIL_ADDRESS;
  v[n++].Value.lpszA = email.data();
  v[n].ulPropTag = PR_MESSAGE_FLAGS;
  v[n++].Value.l = in.read ? MSGFLAG_READ : 0;
  if (in.time) {
    v[n].ulPropTag = PR_MESSAGE_DELIVERY_TIME;
    v[n++].Value.ft = FileTime(in.time);
  }
  Check(m->SetProps(n, v, nullptr), "cannot set a message's properties");
  std::vector<Recipient> rcpts;
  for (const MimeAddress& a : in.recipients)
    rcpts.push_back({a.name.empty() ? a.email : a.name, a.email, a.cc ? MAPI_CC : MAPI_TO});
  AddRecipients(m.get(), rcpts);
  for (const MimeAttachment& a : in.attachments) AttachData(m.get(), a.name, a.data);
  Check(m->SaveChanges(0), "cannot save a message");
}

int ExportCommand(const Options& o) {
  ArgList args({o.args.begin() + 1, o.args.end()});
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi export FOLDER FILE.mbox\n  Writes every message of the folder, oldest first.\n");
    return 0;
  }
  std::vector<std::string> w = args.Words();
  if (w.size() != 2) throw UsageError("usage: zelmapi export FOLDER FILE.mbox");
  Mailbox box(o);
  box.OpenStore();
  ComPtr<IMAPIFolder> folder = box.Folder(w[0]);
  ComPtr<IMAPITable> table;
  Check(folder->GetContentsTable(0, table.Out()), "cannot read '" + w[0] + "'");
  SizedSPropTagArray<1> cols;
  cols.aulPropTag[0] = PR_ENTRYID;
  SSortOrderSet sort = {1, 0, 0, {{PR_MESSAGE_DELIVERY_TIME, TABLE_SORT_ASCEND}}};
  LPSRowSet rows = nullptr;
  Check(HrQueryAllRows(table.get(), cols.get(), nullptr, &sort, 0, &rows), "cannot read '" + w[0] + "'");
  std::vector<std::string> ids;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SBinary& b = rows->aRow[i].lpProps[0].Value.bin;
    ids.push_back(Hex(b.lpb, b.cb));
  }
  FreeProws(rows);
  // Written aside and renamed: a failed export leaves no half file.
  std::string tmp = w[1] + ".part";
  std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
  if (!out) throw Failure("cannot write " + w[1]);
  Progress progress(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    MimeMessage mm = LoadMime(box.Message(ids[i], false).get());
    out << MboxEntry(ToMime(mm), mm.time);
    progress.Step(i + 1);
  }
  out.close();
  if (!out || std::rename(tmp.c_str(), w[1].c_str()) != 0) throw Failure("cannot write " + w[1]);
  return 0;
}

int ImportCommand(const Options& o) {
  ArgList args({o.args.begin() + 1, o.args.end()});
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi import FOLDER FILE.mbox|FILE.eml...\n");
    return 0;
  }
  std::vector<std::string> w = args.Words();
  if (w.size() < 2) throw UsageError("usage: zelmapi import FOLDER FILE.mbox|FILE.eml...");
  std::vector<std::pair<std::string, std::string>> messages;  // source, bytes
  for (size_t i = 1; i < w.size(); ++i) {
    std::string bytes = ReadFile(w[i]);
    if (bytes.compare(0, 5, "From ") == 0) {
      for (std::string& m : SplitMbox(bytes)) messages.emplace_back(w[i], std::move(m));
    } else {
      messages.emplace_back(w[i], std::move(bytes));
    }
  }
  Mailbox box(o);
  box.OpenStore();
  ComPtr<IMAPIFolder> folder = box.Folder(w[0]);
  Progress progress(messages.size());
  for (size_t i = 0; i < messages.size(); ++i) {
    MimeMessage mm;
    std::string why;
    if (!FromMime(messages[i].second, &mm, &why))
      throw Failure(messages[i].first + ": message " + std::to_string(i + 1) + " " + why + "; " + std::to_string(i) +
                    " imported before it");
    StoreMime(folder.get(), mm);
    progress.Step(i + 1);
  }
  return 0;
}

}  // namespace zelmapi
