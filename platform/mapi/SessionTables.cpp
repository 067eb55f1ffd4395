#include "platform/mapi/SessionTables.h"

#include <algorithm>
#include <mutex>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"

namespace vantrel::mapi {

HRESULT RowsToRowSet(const std::vector<ULONG>& columns, const TableRows& rows, LPSRowSet* out) {
  *out = nullptr;
  LPSRowSet set = nullptr;
  if (HRESULT hr =
          MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(rows.size() + 1)), reinterpret_cast<void**>(&set));
      FAILED(hr))
    return hr;
  set->cRows = 0;
  for (const ProfProps& row : rows) {
    LPSPropValue values = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (columns.size() + 1)),
                                    reinterpret_cast<void**>(&values));
    if (FAILED(hr)) {
      FreeProws(set);
      return hr;
    }
    SRow& r = set->aRow[set->cRows++];
    r.ulAdrEntryPad = 0;
    r.cValues = static_cast<ULONG>(columns.size());
    r.lpProps = values;
    for (size_t c = 0; c < columns.size(); ++c) {
      const ProfProp* p = FindProp(row, columns[c]);
      HRESULT vhr = p ? PropToValue(*p, values, &values[c]) : MAPI_E_NOT_FOUND;
      if (FAILED(vhr)) {
        values[c].ulPropTag = CHANGE_PROP_TYPE(columns[c], PT_ERROR);
        values[c].Value.err = vhr;
      }
    }
  }
  *out = set;
  return S_OK;
}

namespace {

// A snapshot over the rows until table data (CreateTable) is part of the
// library: columns, row count, seeking and reading. Restrictions, sorting,
// bookmarks and notifications belong to table data and are not offered.
class SnapshotTable final : public RefCounted<IMAPITable> {
 public:
  SnapshotTable(std::vector<ULONG> columns, TableRows rows) : columns_(std::move(columns)), rows_(std::move(rows)) {}

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
    if (err) *err = nullptr;
    return S_OK;
  }
  HRESULT Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetStatus(ULONG* status, ULONG* type) override {
    if (status) *status = TBLSTAT_COMPLETE;
    if (type) *type = TBLTYPE_SNAPSHOT;
    return S_OK;
  }
  HRESULT SetColumns(LPSPropTagArray tags, ULONG) override {
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(lock_);
    columns_.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    return S_OK;
  }
  HRESULT QueryColumns(ULONG flags, LPSPropTagArray* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(lock_);
    std::vector<ULONG> cols = columns_;
    if (flags & TBL_ALL_COLUMNS)
      for (const ProfProps& row : rows_)
        for (const ProfProp& p : row)
          if (std::find(cols.begin(), cols.end(), p.tag) == cols.end()) cols.push_back(p.tag);
    if (HRESULT hr =
            MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(cols.size() + 1)), reinterpret_cast<void**>(out));
        FAILED(hr))
      return hr;
    (*out)->cValues = static_cast<ULONG>(cols.size());
    std::copy(cols.begin(), cols.end(), (*out)->aulPropTag);
    return S_OK;
  }
  HRESULT GetRowCount(ULONG, ULONG* count) override {
    if (!count) return MAPI_E_INVALID_PARAMETER;
    *count = static_cast<ULONG>(rows_.size());
    return S_OK;
  }
  HRESULT SeekRow(BOOKMARK origin, LONG count, LONG* sought) override {
    std::lock_guard<std::mutex> lock(lock_);
    long long base;
    if (origin == BOOKMARK_BEGINNING)
      base = 0;
    else if (origin == BOOKMARK_CURRENT)
      base = static_cast<long long>(cursor_);
    else if (origin == BOOKMARK_END)
      base = static_cast<long long>(rows_.size());
    else
      return MAPI_E_INVALID_BOOKMARK;
    long long target = std::clamp<long long>(base + count, 0, static_cast<long long>(rows_.size()));
    if (sought) *sought = static_cast<LONG>(target - base);
    cursor_ = static_cast<size_t>(target);
    return S_OK;
  }
  HRESULT SeekRowApprox(ULONG num, ULONG den) override {
    if (den == 0 || num > den) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(lock_);
    cursor_ = static_cast<size_t>(static_cast<unsigned long long>(rows_.size()) * num / den);
    return S_OK;
  }
  HRESULT QueryPosition(ULONG* row, ULONG* num, ULONG* den) override {
    std::lock_guard<std::mutex> lock(lock_);
    if (row) *row = static_cast<ULONG>(cursor_);
    if (num) *num = static_cast<ULONG>(cursor_);
    if (den) *den = static_cast<ULONG>(rows_.size());
    return S_OK;
  }
  HRESULT FindRow(LPSRestriction, BOOKMARK, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT Restrict(LPSRestriction, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CreateBookmark(BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT FreeBookmark(BOOKMARK) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SortTable(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QuerySortOrder(LPSSortOrderSet*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryRows(LONG count, ULONG flags, LPSRowSet* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    std::lock_guard<std::mutex> lock(lock_);
    size_t from = cursor_, to = cursor_;
    if (count >= 0)
      to = std::min(rows_.size(), cursor_ + static_cast<size_t>(count));
    else
      from = cursor_ - std::min(cursor_, static_cast<size_t>(-static_cast<long long>(count)));
    TableRows slice(rows_.begin() + static_cast<long>(from), rows_.begin() + static_cast<long>(to));
    if (HRESULT hr = RowsToRowSet(columns_, slice, out); FAILED(hr)) return hr;
    if (!(flags & TBL_NOADVANCE)) cursor_ = count >= 0 ? to : from;
    return S_OK;
  }
  HRESULT Abort() override { return S_OK; }
  HRESULT ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT WaitForCompletion(ULONG, ULONG, ULONG* status) override {
    if (status) *status = TBLSTAT_COMPLETE;
    return S_OK;
  }
  HRESULT GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }

 private:
  std::mutex lock_;
  std::vector<ULONG> columns_;  // guarded by lock_
  const TableRows rows_;
  size_t cursor_ = 0;  // guarded by lock_
};

}  // namespace

HRESULT RowsToTable(const std::vector<ULONG>& columns, const TableRows& rows, IMAPITable** out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = new SnapshotTable(columns, rows);
  return S_OK;
}

}  // namespace vantrel::mapi
