// The user's table of global hooks, shared by every process through the
// runtime folder:
//   hooks        the entries, a text file replaced atomically (rename)
//   hooks.lock   flock'ed around every read-modify-write of `hooks`
//   hooks.gen    a 64-bit generation counter, mapped shared; bumped under
//                the lock after every change, so a process notices a change
//                by one load without touching the table
//   hook-owner-<token>.lock
//                one per installing process, flock'ed by it for its whole
//                life: when the process ends (however), its lock drops and
//                its entries are dead.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::win {

struct HookEntry {
  std::uint32_t id = 0;    // the HHOOK, the same in every process
  std::string owner;       // liveness token of the installing process
  pid_t pid = 0;           // installing process, for people reading the file
  std::uint64_t offset = 0;  // procedure's offset from the module's load base
  std::uint64_t dev = 0;   // the module file's identity when installed, so a
  std::uint64_t ino = 0;   // rebuilt file is never entered at a stale offset
  std::int64_t mtimeNs = 0;
  std::string symbol;      // exported name of the procedure, "" if none
  std::string path;        // real path of the module
};

class HookTable {
 public:
  // The table of this user's runtime folder, or null when there is none.
  // Opened once per process; never destroyed.
  static HookTable* Get();

  // The shared generation counter (always mapped).
  const std::atomic<std::uint64_t>* Generation() const { return gen_; }

  // Adds `entry` under the next handle; returns the handle, 0 on failure.
  std::uint32_t Add(HookEntry entry);
  // Removes the entry with handle `id`; false when there is none.
  bool Remove(std::uint32_t id);
  // The entries of live installers, oldest first; entries of dead ones are
  // purged from the file. `*gen` is the generation that matches the result.
  bool Load(std::vector<HookEntry>* out, std::uint64_t* gen);

  // This process's liveness token, created (and its lock taken) on first use
  // when `create`; "" when there is none.
  static std::string OwnToken(bool create = true);
  // Whether the process holding `token` still runs.
  static bool OwnerAlive(const std::string& token);

 private:
  HookTable(std::string dir, int genFd, std::atomic<std::uint64_t>* gen);

  // Takes hooks.lock within a bound; -1 on failure.
  int LockFile();
  void UnlockFile(int fd);
  bool Read(std::vector<HookEntry>* out, std::uint32_t* next);
  bool Write(const std::vector<HookEntry>& entries, std::uint32_t next);
  // Removes the lock files of ended processes that no entry names (those
  // that unhooked everything before they ended). Under the table lock.
  void SweepOwners(const std::vector<HookEntry>& entries);

  const std::string dir_;
  const int genFd_;
  std::atomic<std::uint64_t>* const gen_;
};

// Text form of the table, shared by Read and Write (and their test).
std::string FormatHookTable(const std::vector<HookEntry>& entries, std::uint32_t next);
// Parses `text`; lines that do not parse are skipped. False when the header
// is missing.
bool ParseHookTable(const std::string& text, std::vector<HookEntry>* out, std::uint32_t* next);

}  // namespace vantrel::win
