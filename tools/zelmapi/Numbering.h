// The numbers of the last listing: `list` keeps each line's entry ID in a
// small state file per profile, store and folder, and names the folder it
// listed last, so that `read 3` is the third line of that listing.
#pragma once

#include <string>
#include <vector>

namespace zelmapi {

class Numbering {
 public:
  // State under $XDG_STATE_HOME/zelmapi (or ~/.local/state/zelmapi).
  Numbering(const std::string& profile, const std::string& store);
  // Replaces the folder's numbers (line k is ids[k-1], hex) and makes it the current listing.
  void Save(const std::string& folder, const std::vector<std::string>& ids) const;
  // The entry ID (hex) of "N" or of a full hex ID; throws Failure.
  std::string Resolve(const std::string& word) const;

 private:
  std::string dir_;
  std::string key_;
};

// The words of a command, with "-" replaced by the lines of standard input.
std::vector<std::string> ExpandStdin(const std::vector<std::string>& words);

}  // namespace zelmapi
