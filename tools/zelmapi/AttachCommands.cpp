// attach save, attach add, send.
#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/storage/ObjIdl.h"
#include "tools/zelmapi/Commands.h"
#include "tools/zelmapi/Mailbox.h"
#include "tools/zelmapi/Numbering.h"
#include "tools/zelmapi/Recipients.h"
#include "tools/zelmapi/Text.h"

using vantrel::ComPtr;

namespace zelmapi {
namespace {

constexpr ULONG kChunk = 64 * 1024;

void Save(Mailbox& box, const std::string& word, const std::string& k, std::string file, const Numbering& numbers) {
  ComPtr<IMessage> m = box.Message(numbers.Resolve(word), false);
  std::vector<AttachmentInfo> atts = ReadAttachments(m.get());
  long n = std::strtol(k.c_str(), nullptr, 10);
  if (n < 1 || static_cast<size_t>(n) > atts.size())
    throw Failure("attachment " + k + " is out of range: message " + word + " has " + std::to_string(atts.size()) +
                  "; see 'zelmapi read " + word + "'");
  const AttachmentInfo& a = atts[n - 1];
  if (file.empty()) {
    // The name comes from the message: only its last part, never a path.
    file = std::filesystem::path(a.name).filename().string();
    if (file.empty() || file == "." || file == "..") file = "attachment-" + k;
    if (std::filesystem::exists(file)) throw Failure(file + " exists; name another with -o FILE");
  }
  ComPtr<IAttach> att;
  Check(m->OpenAttach(static_cast<ULONG>(a.number), nullptr, MAPI_BEST_ACCESS, att.Out()), "cannot open attachment " + k);
  ComPtr<IUnknown> unk;
  Check(att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, unk.Out()), "attachment " + k + " has no data");
  auto* stream = static_cast<IStream*>(unk.get());
  FILE* out = file == "-" ? stdout : std::fopen(file.c_str(), "wb");
  if (!out) throw Failure("cannot write " + file);
  std::vector<char> buf(kChunk);
  bool ok = true;
  for (;;) {
    ULONG got = 0;
    if (FAILED(stream->Read(buf.data(), kChunk, &got))) ok = false;
    if (!ok || got == 0) break;
    if (std::fwrite(buf.data(), 1, got, out) != got) ok = false;
  }
  if (out != stdout && std::fclose(out) != 0) ok = false;
  if (!ok) throw Failure("saving attachment " + k + " to " + file + " failed");
}

void Add(IMessage* m, const std::string& file) {
  FILE* in = std::fopen(file.c_str(), "rb");
  if (!in) throw Failure("cannot read " + file);
  ComPtr<IAttach> att;
  ULONG num = 0;
  HRESULT hr = m->CreateAttach(nullptr, 0, &num, att.Out());
  std::string name = ToCp1252(std::filesystem::path(file).filename().string());
  SPropValue v[3] = {};
  v[0].ulPropTag = PR_ATTACH_METHOD;
  v[0].Value.l = ATTACH_BY_VALUE;
  v[1].ulPropTag = PR_ATTACH_LONG_FILENAME;
  v[1].Value.lpszA = name.data();
  v[2].ulPropTag = PR_DISPLAY_NAME;
  v[2].Value.lpszA = name.data();
  if (SUCCEEDED(hr)) hr = att->SetProps(3, v, nullptr);
  ComPtr<IUnknown> unk;
  if (SUCCEEDED(hr))
    hr = att->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_READWRITE, MAPI_CREATE | MAPI_MODIFY, unk.Out());
  std::vector<char> buf(kChunk);
  while (SUCCEEDED(hr)) {
    size_t got = std::fread(buf.data(), 1, kChunk, in);
    if (got == 0) break;
    ULONG wrote = 0;
    hr = static_cast<IStream*>(unk.get())->Write(buf.data(), static_cast<ULONG>(got), &wrote);
  }
  bool read_error = std::ferror(in);
  std::fclose(in);
  if (read_error) throw Failure("reading " + file + " failed");
  if (SUCCEEDED(hr)) hr = static_cast<IStream*>(unk.get())->Commit(0);
  unk.Reset();
  if (SUCCEEDED(hr)) hr = att->SaveChanges(0);
  Check(hr, "cannot attach " + file);
}

}  // namespace

int AttachCommand(const Options& o) {
  ArgList args({o.args.begin() + 1, o.args.end()});
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi attach save N K [-o FILE]   (K: the attachment's number in 'read'; FILE - is stdout)\n"
                "       zelmapi attach add N FILE...\n");
    return 0;
  }
  std::string file = args.Value("-o");
  std::vector<std::string> w = args.Words();
  bool save = !w.empty() && w[0] == "save", add = !w.empty() && w[0] == "add";
  if (!(save && w.size() == 3) && !(add && w.size() >= 3 && file.empty()))
    throw UsageError("usage: zelmapi attach save N K [-o FILE] | attach add N FILE...");
  Mailbox box(o);
  box.OpenStore();
  Numbering numbers(box.profile(), box.store_name());
  if (save) {
    Save(box, w[1], w[2], file, numbers);
    return 0;
  }
  ComPtr<IMessage> m = box.Message(numbers.Resolve(w[1]), true);
  for (size_t i = 2; i < w.size(); ++i) Add(m.get(), w[i]);
  Check(m->SaveChanges(0), "cannot save message " + w[1]);
  return 0;
}

int SendCommand(const Options& o) {
  ArgList args({o.args.begin() + 1, o.args.end()});
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi send N...\n  Submits the messages (drafts) for delivery.\n");
    return 0;
  }
  std::vector<std::string> w = ExpandStdin(args.Words());
  if (w.empty()) throw UsageError("usage: zelmapi send N...");
  Mailbox box(o);
  box.OpenStore();
  Numbering numbers(box.profile(), box.store_name());
  for (const std::string& word : w) {
    ComPtr<IMessage> m = box.Message(numbers.Resolve(word), true);
    if (ReadRecipients(m.get()).empty()) throw Failure("message " + word + " has no recipients; add a To: line");
    HRESULT hr = m->SubmitMessage(0);
    if (hr == MAPI_E_NO_SUPPORT)
      throw Failure("store '" + box.store_name() + "' does not send mail; the message stays where it is");
    Check(hr, "cannot send message " + word);
  }
  return 0;
}

}  // namespace zelmapi
