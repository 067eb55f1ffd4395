// The categories of a categorised table view: which exist, which are
// expanded, their heading rows, and the layout of heading and leaf rows
// the view shows. Internal to the table code; a view keeps one under its
// table's lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/mapi/TableRow.h"

namespace vantrel::mapi::table {

// A category's values, level 0 to its own; null for a missing value.
using Path = std::vector<const SPropValue*>;

// Same category: values compare equal the way the sort compares them
// (strings without regard to case); missing values form one category.
struct PathLess {
  bool operator()(const Path& a, const Path& b) const;
};

// One category: its values, its counts as of the last layout and whether
// it is expanded.
struct Heading {
  RowPtr values;  // the category values, owning the path's memory
  Path path;      // points into `values`
  ULONG instance = 0;
  ULONG level = 0;
  bool expanded = false;
  ULONG count = 0, unread = 0;              // counted during a layout
  RowPtr row;                               // the heading row as the view shows it
  ULONG shown_count = 0, shown_unread = 0;  // what `row` says
  bool shown_expanded = false;
  std::uint64_t seen = 0;  // the layout that last met the category
};

class CategoryLayout {
 public:
  // A new sort: no categories yet, each to start in its initial state.
  void Reset(ULONG categories, ULONG expanded);
  ULONG categories() const { return categories_; }
  ULONG expanded() const { return expanded_; }

  // Lays out `leaves` (the rows that pass the view's restriction, sorted by
  // `sort`, whose first keys are the categories, so each category is one
  // run) into `order`: heading rows and the leaf rows of expanded
  // categories. Heading rows replaced here stay alive until the next
  // layout, so the caller can compare the new order with the old one. Out
  // of memory: the leaf rows alone.
  void Layout(const std::vector<const Row*>& leaves, const std::vector<SSortOrder>& sort,
              std::vector<const Row*>& order);

  // The heading with this PR_INSTANCE_KEY, or with these values.
  Heading* HeadingOf(ULONG cb, const BYTE* key);
  Heading* Find(const Path& path);

  // The collapse state names categories by their values, not by instance
  // keys, so another view with the same categories can take it up: the
  // categories' properties, the categories whose state differs from the
  // sort's initial one, and the row to come back to (`key`: a heading's
  // instance key or a leaf's).
  HRESULT SaveState(const std::vector<SSortOrder>& sort, ULONG cb, const BYTE* key, std::vector<BYTE>& out);
  // Checks a saved state against this view's categories and sets the
  // categories' expansion from it (the caller lays out again). The values
  // read are allocated under `root`.
  struct Anchor {
    bool heading = false;
    Path path;              // heading: its values
    std::vector<BYTE> key;  // leaf: its instance key
  };
  HRESULT LoadState(const std::vector<SSortOrder>& sort, const BYTE* data, ULONG cb, void* root, Anchor& anchor);

 private:
  Heading* FindOrAdd(const Path& vals, size_t level);
  static RowPtr HeadingRow(const Heading& h);

  ULONG categories_ = 0, expanded_ = 0;
  std::map<Path, std::unique_ptr<Heading>, PathLess> headings_;
  std::unordered_map<ULONG, Heading*> by_instance_;
  std::vector<RowPtr> retired_;  // heading rows the last layout replaced
  ULONG next_instance_ = 0;
  std::uint64_t layout_ = 0;
};

}  // namespace vantrel::mapi::table
