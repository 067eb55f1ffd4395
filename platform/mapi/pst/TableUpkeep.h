// Open tables and advise sinks of a store file: table rows built from
// stored values, the tables kept current with committed changes, and object
// events posted to the sinks. Everything here runs under Db::mu; changes
// come in through Tx (Database.h) once their transaction committed.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/mapi/pst/Database.h"
#include "platform/mapi/pst/PropMap.h"

namespace vantrel::mapi::pst {

// Added to a table kind for its table data with strings in Unicode (views
// asked for with MAPI_UNICODE); both widths are kept current.
inline constexpr int kUnicodeTable = 4;

// One table row from stored values: strings in their 8-bit form unless
// `unicode`, values too large for a row left out, PR_INSTANCE_KEY first as
// the index column. `extra` adds computed columns. The row is one MAPI block.
HRESULT BuildRow(const PropMap& m, const PropMap& extra, bool unicode, SRow& row);
// The columns every object row carries: instance key, entry ID, record
// key, parent entry ID, object type.
PropMap KeyColumns(const MAPIUID& uid, int64_t id, int64_t parent, Kind kind);
// Dynamic table data keyed by PR_INSTANCE_KEY.
HRESULT NewTableData(LPTABLEDATA* out);

// Posts an object event to the sinks that watch the object, its folder
// (before or after a move) or everything. Delivery happens on the
// notification thread.
void NotifyObject(Db& db, ULONG event, int64_t id, int64_t parent, ULONG type, const OldPlace* old = nullptr)
    REQUIRES(db.mu);
// Brings root's CONVENIENT_DEPTH table in line with the folders below it:
// folders gone, moved or at another depth leave, new ones are inserted at
// their place, and `touched` (0: none) gets its row refreshed.
void SyncDepthTable(Db& db, int64_t root, IMAPITableData* table, int64_t touched) REQUIRES(db.mu);

// The search folders' view of the file.
class DbSearchHost final : public SearchHost {
 public:
  explicit DbSearchHost(Db& db) REQUIRES(db.mu) : db_(db) {}
  bool Locate(int64_t id, int64_t* parent, bool* message) override REQUIRES(db_.mu);
  std::vector<int64_t> Children(int64_t folder, bool folders) override REQUIRES(db_.mu);
  bool MessageRow(int64_t id, SRow* row) override REQUIRES(db_.mu);
  std::vector<BYTE> RowKey(int64_t id) override;
  IMAPITableData* Contents(int64_t folder) override REQUIRES(db_.mu);
  void Complete(int64_t folder) override REQUIRES(db_.mu);

 private:
  Db& db_;
};

}  // namespace vantrel::mapi::pst
