// move, copy, delete of messages.
#include <cstdio>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "tools/zelmapi/Commands.h"
#include "tools/zelmapi/Mailbox.h"
#include "tools/zelmapi/Numbering.h"
#include "tools/zelmapi/Text.h"

using vantrel::ComPtr;

namespace zelmapi {

int FileCommand(const Options& o) {
  const std::string& verb = o.args[0];
  ArgList args({o.args.begin() + 1, o.args.end()});
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi move N... --to FOLDER\n"
                "       zelmapi copy N... --to FOLDER\n"
                "       zelmapi delete N... [--hard]   (to Deleted Items; --hard deletes)\n"
                "  N: a number of the last listing, an entry ID in hex, or - for standard input\n");
    return 0;
  }
  std::string to = args.Value("--to");
  bool hard = args.Flag("--hard");
  std::vector<std::string> items = ExpandStdin(args.Words());
  if (items.empty()) throw UsageError("usage: zelmapi " + verb + " N...; see " + verb + " --help");
  if (verb != "delete" && to.empty()) throw UsageError(verb + " needs --to FOLDER");
  Mailbox box(o);
  box.OpenStore();
  if (verb == "delete" && !hard) to = "Deleted Items";
  ComPtr<IMAPIFolder> dest;
  if (!to.empty()) dest = box.Folder(to);
  Numbering numbers(box.profile(), box.store_name());
  // Numbers are resolved before anything moves: a listing stays valid.
  std::vector<std::string> ids;
  for (const std::string& w : items) ids.push_back(numbers.Resolve(w));
  for (size_t i = 0; i < ids.size(); ++i) {
    ComPtr<IMessage> m = box.Message(ids[i], false);
    LPSPropValue parent = nullptr;
    Check(HrGetOneProp(m.get(), PR_PARENT_ENTRYID, &parent), "cannot find the folder of message " + items[i]);
    std::string pid(reinterpret_cast<const char*>(parent->Value.bin.lpb), parent->Value.bin.cb);
    MAPIFreeBuffer(parent);
    m.Reset();
    ComPtr<IMAPIFolder> source = box.OpenFolderId(pid);
    std::string eid;
    Unhex(ids[i], &eid);
    SBinary bin = {static_cast<ULONG>(eid.size()), reinterpret_cast<LPBYTE>(eid.data())};
    ENTRYLIST list = {1, &bin};
    if (verb == "delete" && hard)
      Check(source->DeleteMessages(&list, 0, nullptr, 0), "cannot delete message " + items[i]);
    else
      Check(source->CopyMessages(&list, nullptr, dest.get(), 0, nullptr, verb == "copy" ? 0 : MESSAGE_MOVE),
            "cannot " + verb + " message " + items[i] + " to '" + to + "'");
  }
  return 0;
}

}  // namespace zelmapi
