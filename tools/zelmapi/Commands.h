// The command groups of zelmapi; each returns the exit status or throws
// Failure / UsageError.
#pragma once

#include "tools/zelmapi/Options.h"

namespace zelmapi {

int StoreCommand(const Options& o);
int FolderCommand(const Options& o);
int ListCommand(const Options& o);
int ReadCommand(const Options& o);
int FlagCommand(const Options& o);
int WriteCommand(const Options& o);
// move, copy, delete (the command word is o.args[0]).
int FileCommand(const Options& o);
int AttachCommand(const Options& o);
int SendCommand(const Options& o);
int WatchCommand(const Options& o);
int ExportCommand(const Options& o);
int ImportCommand(const Options& o);
// Runs the command of `o.args`.
int Dispatch(const Options& o);

}  // namespace zelmapi
