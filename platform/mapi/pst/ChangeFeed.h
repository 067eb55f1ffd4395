// Changes other processes commit to a store file reach this process's open
// tables and advise sinks. Every commit logs its changes in the file, in its
// own transaction (the change log, Repository.h); a thread of the process
// reads, at every polling period, the entries it did not write and
// announces them as its own commits are announced (Announce).
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/mapi/pst/Database.h"

namespace vantrel::mapi::pst {

// The longest a change committed by another process waits before this
// process's tables and sinks hear of it.
inline constexpr std::chrono::milliseconds kPollPeriod{200};
// How long entries stay in the log. A process that did not read it for
// that long (it was stopped) brings its open tables in line with the file
// instead; its sinks miss what happened meanwhile.
inline constexpr int64_t kLogKeepSeconds = 60;

// Logs the changes of the transaction being committed (Tx::Commit).
bool LogCommit(Db& db, const std::vector<Change>& changes) REQUIRES(db.mu);
// Announces what other processes committed since the last call.
void CatchUp(Db& db) REQUIRES(db.mu);
// Starts the process's polling thread the first time: called once a file
// has open tables or advise sinks.
void FollowOtherWriters();

}  // namespace vantrel::mapi::pst
