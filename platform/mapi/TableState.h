// What table data and its views share: the rows under one lock, the views
// that follow them, and the notifications a change yields. Internal to
// the table code.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/TableRow.h"

namespace vantrel::mapi::table {

// A notification batch for one sink, built under the table's lock and
// posted after it is released.
struct Pending {
  ComPtr<IMAPIAdviseSink> sink;
  std::vector<NOTIFICATION> batch;
  std::vector<LPSPropValue> blocks;  // freed once the batch is posted
  std::vector<RowPtr> rows;          // the rows the batch's index values point into
};

class TableObserver;

using SubFn = std::function<bool(const SPropValue*, ULONG, ULONG, const SRestriction&)>;

struct TableState {
  TableState(ULONG t, ULONG index, std::vector<ULONG> cols) : type(t), index_tag(index), columns(std::move(cols)) {}

  // Guards the rows and the state of every registered view. Below every
  // lock of the table's owner: a store updates its tables under its own.
  vantrel::Mutex mu;
  const ULONG type;
  const ULONG index_tag;
  const std::vector<ULONG> columns;
  std::vector<RowPtr> rows GUARDED_BY(mu);  // insertion order
  std::unordered_map<std::string, RowPtr> by_key GUARDED_BY(mu);
  std::vector<TableObserver*> views GUARDED_BY(mu);
  SubFn sub GUARDED_BY(mu);
};

// A view as the table sees it: told of every change under the table's lock.
class TableObserver {
 public:
  // `old_row` null: added; `new_row` null: deleted; the same row: HrNotify.
  virtual void OnChange(TableState& table, const RowPtr& old_row, const RowPtr& new_row, std::vector<Pending>& out)
      REQUIRES(table.mu) = 0;
  // Every row went at once.
  virtual void OnReload(TableState& table, std::vector<Pending>& out) REQUIRES(table.mu) = 0;

 protected:
  ~TableObserver() = default;
};

}  // namespace vantrel::mapi::table
