// list, read, flag, write.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "tools/zelmapi/Commands.h"
#include "tools/zelmapi/Mailbox.h"
#include "tools/zelmapi/MimeCommands.h"
#include "tools/zelmapi/Numbering.h"
#include "tools/zelmapi/PropDump.h"
#include "tools/zelmapi/Recipients.h"
#include "tools/zelmapi/Text.h"

using vantrel::ComPtr;

namespace zelmapi {
namespace {

std::string Str(const SPropValue& v) {
  return PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA ? FromCp1252(v.Value.lpszA) : "";
}
long Long(const SPropValue& v) { return PROP_TYPE(v.ulPropTag) == PT_LONG ? v.Value.l : 0; }
std::string Date(const SPropValue& v) { return PROP_TYPE(v.ulPropTag) == PT_SYSTIME ? LocalDate(v.Value.ft) : ""; }
std::vector<std::string> Rest(const Options& o) { return {o.args.begin() + 1, o.args.end()}; }

// Runs $EDITOR (else vi) on a fresh template; the file's name. Throws when
// the editor fails or the template comes back unchanged.
std::string EditTemplate() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string path = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/zelmapi-XXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) throw Failure("cannot make a file for the editor in " + path);
  static const char kTemplate[] = "To: \nCc: \nSubject: \n\n";
  bool wrote = write(fd, kTemplate, sizeof kTemplate - 1) == static_cast<ssize_t>(sizeof kTemplate - 1);
  close(fd);
  if (!wrote) throw Failure("cannot write " + path);
  const char* editor = std::getenv("EDITOR");
  pid_t pid = fork();
  if (pid == 0) {
    // Through the shell, so that EDITOR may carry arguments.
    execl("/bin/sh", "sh", "-c", (std::string(editor && *editor ? editor : "vi") + " \"$1\"").c_str(), "sh",
          path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::remove(path.c_str());
    throw Failure("the editor failed; nothing was saved");
  }
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  if (s.str() == kTemplate) {
    std::remove(path.c_str());
    throw Failure("the message was left empty; nothing was saved");
  }
  return path;
}

}  // namespace

int ListCommand(const Options& o) {
  ArgList args(Rest(o));
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi list [FOLDER] [--page N] [--page-size N] [--unread] [--from TEXT]\n"
                "                    [--subject TEXT] [--since YYYY-MM-DD] [--sort date|from|subject|size]\n"
                "  One numbered line per message, newest first (default folder: Inbox).\n");
    return 0;
  }
  std::string from = args.Value("--from"), subject = args.Value("--subject"), since = args.Value("--since");
  std::string sort_by = args.Value("--sort", "date");
  long page = std::strtol(args.Value("--page", "1").c_str(), nullptr, 10);
  long size = std::strtol(args.Value("--page-size", "50").c_str(), nullptr, 10);
  bool unread = args.Flag("--unread");
  if (page < 1 || size < 1) throw UsageError("--page and --page-size take numbers from 1");
  std::vector<std::string> w = args.Words();
  if (w.size() > 1) throw UsageError("usage: zelmapi list [FOLDER]");
  std::string path = w.empty() ? "Inbox" : w[0];
  Mailbox box(o);
  box.OpenStore();
  ComPtr<IMAPIFolder> folder = box.Folder(path);
  ComPtr<IMAPITable> table;
  Check(folder->GetContentsTable(0, table.Out()), "cannot read '" + path + "'");
  SizedSPropTagArray<7> cols;
  ULONG tags[7] = {PR_ENTRYID, PR_MESSAGE_FLAGS, PR_MESSAGE_DELIVERY_TIME, PR_SENDER_NAME,
                   PR_SUBJECT, PR_MESSAGE_SIZE,  PR_LAST_MODIFICATION_TIME};
  for (int i = 0; i < 7; ++i) cols.aulPropTag[i] = tags[i];
  Check(table->SetColumns(cols.get(), 0), "cannot read '" + path + "'");
  SSortOrderSet sort = {1, 0, 0, {{PR_MESSAGE_DELIVERY_TIME, TABLE_SORT_DESCEND}}};
  if (sort_by == "from") sort.aSort[0] = {PR_SENDER_NAME, TABLE_SORT_ASCEND};
  else if (sort_by == "subject") sort.aSort[0] = {PR_SUBJECT, TABLE_SORT_ASCEND};
  else if (sort_by == "size") sort.aSort[0] = {PR_MESSAGE_SIZE, TABLE_SORT_DESCEND};
  else if (sort_by != "date") throw UsageError("--sort takes date, from, subject or size");
  Check(table->SortTable(&sort, 0), "cannot sort '" + path + "'");
  // The filters are a restriction the store evaluates, not a pass over
  // the rows here.
  SRestriction parts[4] = {};
  SPropValue values[4] = {};
  SRestriction since_parts[5] = {};
  ULONG n = 0;
  std::string from8 = ToCp1252(from), subject8 = ToCp1252(subject);
  if (unread) {
    parts[n].rt = RES_BITMASK;
    parts[n].res.resBitMask.relBMR = BMR_EQZ;
    parts[n].res.resBitMask.ulPropTag = PR_MESSAGE_FLAGS;
    parts[n++].res.resBitMask.ulMask = MSGFLAG_READ;
  }
  auto contains = [&](ULONG tag, std::string& text, SPropValue* v) {
    v->ulPropTag = tag;
    v->Value.lpszA = text.data();
    parts[n].rt = RES_CONTENT;
    parts[n].res.resContent.ulFuzzyLevel = FL_SUBSTRING | FL_IGNORECASE;
    parts[n].res.resContent.ulPropTag = tag;
    parts[n++].res.resContent.lpProp = v;
  };
  if (!from.empty()) contains(PR_SENDER_NAME, from8, &values[0]);
  if (!subject.empty()) contains(PR_SUBJECT, subject8, &values[1]);
  if (!since.empty()) {
    FILETIME ft;
    if (!ParseLocalDate(since, &ft)) throw UsageError("--since takes a date as YYYY-MM-DD");
    // Delivered since then, or, for a message never delivered (a draft),
    // saved since then: the date the listing shows.
    values[2].ulPropTag = PR_MESSAGE_DELIVERY_TIME;
    values[2].Value.ft = ft;
    values[3].ulPropTag = PR_LAST_MODIFICATION_TIME;
    values[3].Value.ft = ft;
    since_parts[0].rt = RES_PROPERTY;
    since_parts[0].res.resProperty = {RELOP_GE, PR_MESSAGE_DELIVERY_TIME, &values[2]};
    since_parts[1].rt = RES_AND;
    since_parts[1].res.resAnd = {2, &since_parts[2]};
    since_parts[2].rt = RES_NOT;
    since_parts[2].res.resNot = {0, &since_parts[4]};
    since_parts[3].rt = RES_PROPERTY;
    since_parts[3].res.resProperty = {RELOP_GE, PR_LAST_MODIFICATION_TIME, &values[3]};
    since_parts[4].rt = RES_EXIST;
    since_parts[4].res.resExist = {0, PR_MESSAGE_DELIVERY_TIME, 0};
    parts[n].rt = RES_OR;
    parts[n++].res.resOr = {2, since_parts};
  }
  SRestriction all = {};
  all.rt = RES_AND;
  all.res.resAnd.cRes = n;
  all.res.resAnd.lpRes = parts;
  if (n) Check(table->Restrict(n == 1 ? &parts[0] : &all, 0), "cannot filter '" + path + "'");
  LONG moved = 0;
  Check(table->SeekRow(BOOKMARK_BEGINNING, static_cast<LONG>((page - 1) * size), &moved), "cannot page '" + path + "'");
  LPSRowSet rows = nullptr;
  Check(table->QueryRows(static_cast<LONG>(size), 0, &rows), "cannot read '" + path + "'");
  std::vector<std::string> ids;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    std::string id = PROP_TYPE(v[0].ulPropTag) == PT_BINARY ? Hex(v[0].Value.bin.lpb, v[0].Value.bin.cb) : "";
    ids.push_back(id);
    bool read = Long(v[1]) & MSGFLAG_READ;
    bool attach = Long(v[1]) & MSGFLAG_HASATTACH;
    // A draft has not been delivered: its date is when it was last saved.
    std::string date = Date(v[2]).empty() ? Date(v[6]) : Date(v[2]);
    if (o.json)
      std::printf("{\"number\":%zu,\"entryid\":\"%s\",\"read\":%s,\"attachments\":%s,\"date\":%s,\"from\":%s,"
                  "\"subject\":%s,\"size\":%ld}\n",
                  ids.size(), id.c_str(), read ? "true" : "false", attach ? "true" : "false", Json(date).c_str(),
                  Json(Str(v[3])).c_str(), Json(Str(v[4])).c_str(), Long(v[5]));
    else
      std::printf("%3zu %c%c %-16s %-20.20s %s (%ld)\n", ids.size(), read ? ' ' : 'N', attach ? '@' : ' ',
                  date.c_str(), Str(v[3]).c_str(), Str(v[4]).c_str(), Long(v[5]));
  }
  FreeProws(rows);
  Numbering(box.profile(), box.store_name()).Save(path, ids);
  return 0;
}

int ReadCommand(const Options& o) {
  ArgList args(Rest(o));
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi read N|ENTRYID... [--peek] [--props] [--eml]\n"
                "  Shows a message and marks it read unless --peek; --props lists every property;\n"
                "  --eml writes it as RFC 5322/MIME.\n");
    return 0;
  }
  bool peek = args.Flag("--peek");
  bool props = args.Flag("--props");
  bool eml = args.Flag("--eml");
  std::vector<std::string> w = ExpandStdin(args.Words());
  if (w.empty()) throw UsageError("usage: zelmapi read N|ENTRYID");
  Mailbox box(o);
  box.OpenStore();
  Numbering numbers(box.profile(), box.store_name());
  for (const std::string& word : w) {
    std::string id = numbers.Resolve(word);
    ComPtr<IMessage> m = box.Message(id, !peek);
    if (eml) {
      std::string text = ToMime(LoadMime(m.get()));
      std::fwrite(text.data(), 1, text.size(), stdout);
      if (!peek) Check(m->SetReadFlag(0), "cannot mark message " + word + " read");
      continue;
    }
    if (props) {
      std::fputs(DumpProps(m.get(), o.json).c_str(), stdout);
      if (!peek) Check(m->SetReadFlag(0), "cannot mark message " + word + " read");
      continue;
    }
    SizedSPropTagArray<6> cols;
    ULONG tags[6] = {PR_SENDER_NAME, PR_SENDER_EMAIL_ADDRESS, PR_SUBJECT, PR_MESSAGE_DELIVERY_TIME, PR_BODY,
                     PR_LAST_MODIFICATION_TIME};
    for (int i = 0; i < 6; ++i) cols.aulPropTag[i] = tags[i];
    ULONG count = 0;
    LPSPropValue v = nullptr;
    Check(m->GetProps(cols.get(), 0, &count, &v), "cannot read message " + word);
    Recipient sender{Str(v[0]), Str(v[1]), 0};
    std::string to, cc, json_rcpt;
    for (const Recipient& r : ReadRecipients(m.get())) {
      std::string& line = r.type == MAPI_CC ? cc : to;
      if (r.type == MAPI_TO || r.type == MAPI_CC) line += (line.empty() ? "" : ", ") + FormatAddress(r);
      json_rcpt += std::string(json_rcpt.empty() ? "" : ",") + "{\"name\":" + Json(r.name) + ",\"email\":" +
                   Json(r.email) + ",\"type\":" + Json(r.type == MAPI_TO ? "to" : r.type == MAPI_CC ? "cc" : "bcc") + "}";
    }
    std::vector<AttachmentInfo> atts = ReadAttachments(m.get());
    std::string date = Date(v[3]).empty() ? Date(v[5]) : Date(v[3]);
    std::string body = ReadBody(m.get(), v[4]);
    if (o.json) {
      std::string json_att;
      for (const AttachmentInfo& a : atts)
        json_att += std::string(json_att.empty() ? "" : ",") + "{\"number\":" + std::to_string(a.number) +
                    ",\"name\":" + Json(a.name) + ",\"size\":" + std::to_string(a.size) + "}";
      std::printf("{\"entryid\":\"%s\",\"from\":%s,\"subject\":%s,\"date\":%s,\"recipients\":[%s],"
                  "\"attachments\":[%s],\"body\":%s}\n",
                  id.c_str(), Json(FormatAddress(sender)).c_str(), Json(Str(v[2])).c_str(), Json(date).c_str(),
                  json_rcpt.c_str(), json_att.c_str(), Json(body).c_str());
    } else {
      std::printf("From: %s\nTo: %s\n", FormatAddress(sender).c_str(), to.c_str());
      if (!cc.empty()) std::printf("Cc: %s\n", cc.c_str());
      std::printf("Subject: %s\nDate: %s\n", Str(v[2]).c_str(), date.c_str());
      for (size_t k = 0; k < atts.size(); ++k)
        std::printf("Attachment %zu: %s (%ld bytes)\n", k + 1, atts[k].name.c_str(), atts[k].size);
      std::printf("\n%s\n", body.c_str());
    }
    MAPIFreeBuffer(v);
    if (!peek) Check(m->SetReadFlag(0), "cannot mark message " + word + " read");
  }
  return 0;
}

int FlagCommand(const Options& o) {
  ArgList args(Rest(o));
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi flag read|unread N...\n");
    return 0;
  }
  std::vector<std::string> w = args.Words();
  if (w.size() < 2 || (w[0] != "read" && w[0] != "unread")) throw UsageError("usage: zelmapi flag read|unread N...");
  ULONG flags = w[0] == "read" ? 0 : CLEAR_READ_FLAG;
  std::vector<std::string> items = ExpandStdin({w.begin() + 1, w.end()});
  Mailbox box(o);
  box.OpenStore();
  Numbering numbers(box.profile(), box.store_name());
  for (const std::string& word : items)
    Check(box.Message(numbers.Resolve(word), true)->SetReadFlag(flags), "cannot flag message " + word);
  return 0;
}

// Reads "To:", "Cc:", "Subject:" header lines, a blank line and the body
// from standard input or --file, and saves it into Drafts (made when missing).
int WriteCommand(const Options& o) {
  ArgList args(Rest(o));
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi write [--file FILE | --edit]\n"
                "  Saves a message (To:, Cc:, Subject:, blank line, body) into Drafts. It comes from FILE,\n"
                "  else from $EDITOR on a template when standard input is a terminal (or with --edit),\n"
                "  else from standard input.\n");
    return 0;
  }
  std::string file = args.Value("--file");
  bool edit = args.Flag("--edit");
  if (!args.Words().empty()) throw UsageError("usage: zelmapi write [--file FILE | --edit]");
  std::string edited;
  if (file.empty() && (edit || isatty(0))) {
    edited = EditTemplate();
    file = edited;
  }
  std::stringstream text;
  if (file.empty()) {
    text << std::cin.rdbuf();
  } else {
    FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) throw Failure("cannot read " + file);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.write(buf, static_cast<std::streamsize>(n));
    std::fclose(f);
    if (!edited.empty()) std::remove(edited.c_str());
  }
  std::string to, cc, subject, body, line;
  while (std::getline(text, line) && !line.empty() && line != "\r") {
    if (line.back() == '\r') line.pop_back();
    auto colon = line.find(':');
    if (colon == std::string::npos) throw Failure("header line without ':': '" + line + "'; end the headers with a blank line");
    std::string key = line.substr(0, colon), val = line.substr(colon + 1);
    while (!val.empty() && val[0] == ' ') val.erase(0, 1);
    if (key == "To") to = val;
    else if (key == "Cc") cc = val;
    else if (key == "Subject") subject = val;
  }
  std::stringstream rest;
  rest << text.rdbuf();
  body = rest.str();
  Mailbox box(o);
  box.OpenStore();
  ComPtr<IMAPIFolder> root = box.Root(), drafts;
  Check(root->CreateFolder(FOLDER_GENERIC, const_cast<char*>("Drafts"), nullptr, nullptr, OPEN_IF_EXISTS, drafts.Out()),
        "cannot open or make Drafts");
  ComPtr<IMessage> m;
  Check(drafts->CreateMessage(nullptr, 0, m.Out()), "cannot make a message in Drafts");
  std::vector<Recipient> rcpts = ParseAddresses(to, MAPI_TO);
  for (const Recipient& r : ParseAddresses(cc, MAPI_CC)) rcpts.push_back(r);
  AddRecipients(m.get(), rcpts);
  std::string s8 = ToCp1252(subject), b8 = ToCp1252(body);
  SPropValue v[3] = {};
  v[0].ulPropTag = PR_SUBJECT;
  v[0].Value.lpszA = s8.data();
  v[1].ulPropTag = PR_BODY;
  v[1].Value.lpszA = b8.data();
  v[2].ulPropTag = PR_MESSAGE_CLASS;
  v[2].Value.lpszA = const_cast<char*>("IPM.Note");
  Check(m->SetProps(3, v, nullptr), "cannot set the message's properties");
  Check(m->SaveChanges(0), "cannot save the message into Drafts");
  return 0;
}

}  // namespace zelmapi
