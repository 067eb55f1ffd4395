#include "tools/zelmapi/Commands.h"

namespace zelmapi {

int Dispatch(const Options& o) {
  const std::string& c = o.args[0];
  if (c == "store") return StoreCommand(o);
  if (c == "folder") return FolderCommand(o);
  if (c == "list") return ListCommand(o);
  if (c == "read") return ReadCommand(o);
  if (c == "flag") return FlagCommand(o);
  if (c == "write") return WriteCommand(o);
  if (c == "attach") return AttachCommand(o);
  if (c == "send") return SendCommand(o);
  if (c == "watch") return WatchCommand(o);
  if (c == "export") return ExportCommand(o);
  if (c == "import") return ImportCommand(o);
  if (c == "move" || c == "copy" || c == "delete") return FileCommand(o);
  throw UsageError("unknown command '" + c + "'; see zelmapi --help");
}

}  // namespace zelmapi
