// Search folders of the personal-folders store: each one's criteria, the
// messages that match them, and keeping those current as messages change.
// The store owns one SearchFolders per file (Db::searches) and calls it
// under Db::mu.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "platform/mapi/MapiInterfaces.h"

namespace vantrel::mapi::pst {

// What the search folders need of the store. Called with the store's lock held.
class SearchHost {
 public:
  virtual ~SearchHost() = default;
  // The parent of object `id` and whether it is a normal (not associated)
  // message; false when there is no such object.
  virtual bool Locate(int64_t id, int64_t* parent, bool* message) = 0;
  // The subfolders, or the normal messages, directly in `folder`.
  virtual std::vector<int64_t> Children(int64_t folder, bool folders) = 0;
  // The message's row as contents tables show it; lpProps is one MAPI block.
  virtual bool MessageRow(int64_t id, SRow* row) = 0;
  // PR_INSTANCE_KEY of the object's table rows (also once it is deleted).
  virtual std::vector<BYTE> RowKey(int64_t id) = 0;
  // The table data behind the folder's open contents table, or null.
  virtual IMAPITableData* Contents(int64_t folder) = 0;
  // Tells the store's advise sinks that the folder's search completed.
  virtual void Complete(int64_t folder) = 0;
};

class SearchFolders {
 public:
  SearchFolders();
  ~SearchFolders();
  SearchFolders(const SearchFolders&) = delete;
  SearchFolders& operator=(const SearchFolders&) = delete;

  bool Any() const { return !searches_.empty(); }
  bool Known(int64_t folder) const;
  // Sets the folder's criteria, taking `res` (one MAPI block). With
  // `rebuild` (the search runs and its results must be built again) the
  // search is marked rebuilding and the returned generation names that
  // rebuild; otherwise 0. Stopping a search ends a rebuild in progress.
  std::uint64_t Set(int64_t folder, LPSRestriction res, std::vector<int64_t> listed, bool recursive, bool running,
                    bool rebuild);
  // Builds the results of rebuild `generation` (0: whatever the criteria
  // are now) afresh, fills the open contents table and, when `notify`,
  // reports completion. Nothing when the search changed in between.
  void Rebuild(SearchHost& host, int64_t folder, std::uint64_t generation, bool notify);
  bool Rebuilding(int64_t folder) const;
  // Object `id` was saved, moved or deleted: the searches that list it or
  // should list it follow. Stopped searches only drop what is gone.
  void Touch(SearchHost& host, int64_t id);
  // Fills a new contents table of the folder with its results.
  void Fill(SearchHost& host, int64_t folder, IMAPITableData* table) const;
  void Forget(int64_t folder);

 private:
  struct Search;
  bool Matches(SearchHost& host, const Search& s, int64_t id, SRow* row) const;
  std::map<int64_t, std::unique_ptr<Search>> searches_;
  std::uint64_t next_generation_ = 0;
};

}  // namespace vantrel::mapi::pst
