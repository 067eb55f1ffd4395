#include "platform/mapi/TableData.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableState.h"
#include "platform/mapi/TableView.h"

namespace vantrel::mapi {
namespace {

using table::FindById;
using table::KeyOf;
using table::MakeRow;
using table::Pending;
using table::Row;
using table::RowPtr;
using table::SubFn;
using table::TableObserver;
using table::TableState;

// After the table's lock is released: sinks are never called under it.
void PostAll(std::vector<Pending>& pending) {
  for (auto& p : pending) NotifyQueue::Instance().Post(p.sink.get(), p.batch);
  for (auto& p : pending)
    for (LPSPropValue b : p.blocks) MAPIFreeBuffer(b);
}

class TableDataImpl : public RefCounted<IMAPITableData> {
 public:
  explicit TableDataImpl(std::shared_ptr<TableState> s) : state_(std::move(s)) {}

  HRESULT HrGetView(LPSSortOrderSet sort, void*, ULONG, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (sort && !table::ValidSort(sort)) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    *out = table::NewView(state_, sort);
    return S_OK;
  }
  HRESULT HrModifyRow(LPSRow row) override {
    if (!row) return MAPI_E_INVALID_PARAMETER;
    return Upsert(row->lpProps, row->cValues, npos);
  }
  HRESULT HrModifyRows(ULONG flags, LPSRowSet rows) override {
    if (flags & TAD_ALL_ROWS) DeleteAll();
    if (!rows) return S_OK;
    for (ULONG i = 0; i < rows->cRows; ++i)
      if (HRESULT hr = Upsert(rows->aRow[i].lpProps, rows->aRow[i].cValues, npos); FAILED(hr)) return hr;
    return S_OK;
  }
  HRESULT HrDeleteRow(LPSPropValue index) override {
    if (!index) return MAPI_E_INVALID_PARAMETER;
    std::vector<Pending> pending;
    {
      MutexLock lock(state_->mu);
      auto it = state_->by_key.find(KeyOf(*index));
      if (it == state_->by_key.end()) return MAPI_E_NOT_FOUND;
      RowPtr old = it->second;
      state_->by_key.erase(it);
      auto& rows = state_->rows;
      rows.erase(std::find(rows.begin(), rows.end(), old));
      for (TableObserver* v : state_->views) v->OnChange(*state_, old, nullptr, pending);
    }
    PostAll(pending);
    return S_OK;
  }
  HRESULT HrDeleteRows(ULONG flags, LPSRowSet rows, ULONG* deleted) override {
    ULONG n = 0;
    if (flags & TAD_ALL_ROWS) {
      n = DeleteAll();
    } else if (rows) {
      for (ULONG i = 0; i < rows->cRows; ++i) {
        const SPropValue* idx = FindById(rows->aRow[i].lpProps, rows->aRow[i].cValues, state_->index_tag);
        if (idx && HrDeleteRow(const_cast<LPSPropValue>(idx)) == S_OK) ++n;
      }
    }
    if (deleted) *deleted = n;
    return S_OK;
  }
  HRESULT HrQueryRow(LPSPropValue index, LPSRow* out, ULONG* position) override {
    if (!index || !out) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    auto it = state_->by_key.find(KeyOf(*index));
    if (it == state_->by_key.end()) return MAPI_E_NOT_FOUND;
    if (position) {
      auto& rows = state_->rows;
      *position = static_cast<ULONG>(std::find(rows.begin(), rows.end(), it->second) - rows.begin());
    }
    return CopyRow(*it->second, out);
  }
  HRESULT HrEnumRow(ULONG number, LPSRow* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    if (number >= state_->rows.size()) {
      *out = nullptr;
      return S_OK;
    }
    return CopyRow(*state_->rows[number], out);
  }
  HRESULT HrNotify(ULONG, ULONG count, LPSPropValue values) override {
    const SPropValue* idx = FindById(values, count, state_->index_tag);
    if (!idx) return MAPI_E_INVALID_PARAMETER;
    std::vector<Pending> pending;
    {
      MutexLock lock(state_->mu);
      auto it = state_->by_key.find(KeyOf(*idx));
      if (it == state_->by_key.end()) return MAPI_E_NOT_FOUND;
      for (TableObserver* v : state_->views) v->OnChange(*state_, it->second, it->second, pending);
    }
    PostAll(pending);
    return S_OK;
  }
  HRESULT HrInsertRow(ULONG at, LPSRow row) override {
    if (!row) return MAPI_E_INVALID_PARAMETER;
    return Upsert(row->lpProps, row->cValues, at);
  }

  std::shared_ptr<TableState> state() const { return state_; }

 private:
  static constexpr ULONG npos = ~0u;

  HRESULT Upsert(const SPropValue* props, ULONG count, ULONG insert_at) {
    const SPropValue* idx = FindById(props, count, state_->index_tag);
    if (!idx || PROP_TYPE(idx->ulPropTag) != PROP_TYPE(state_->index_tag)) return MAPI_E_INVALID_PARAMETER;
    RowPtr row = MakeRow(props, count);
    if (!row) return MAPI_E_NOT_ENOUGH_MEMORY;
    row->key = KeyOf(*idx);
    std::vector<Pending> pending;
    {
      MutexLock lock(state_->mu);
      auto& rows = state_->rows;
      RowPtr old;
      if (auto it = state_->by_key.find(row->key); it != state_->by_key.end()) old = it->second;
      if (old && insert_at != npos) return MAPI_E_INVALID_PARAMETER;  // HrInsertRow of an existing row
      if (old) {
        row->seq = old->seq;
        *std::find(rows.begin(), rows.end(), old) = row;
      } else {
        size_t at = insert_at == npos ? rows.size() : std::min<size_t>(insert_at, rows.size());
        row->seq = SeqAt(at);
        rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), row);
      }
      state_->by_key[row->key] = row;
      for (TableObserver* v : state_->views) v->OnChange(*state_, old, row, pending);
    }
    PostAll(pending);
    return S_OK;
  }

  // Insertion order is every view's last sort key, so a row inserted at a
  // position takes a number between its neighbours'. Rows are numbered with
  // gaps; when a gap is used up they are numbered afresh, which keeps their
  // order and so every view's.
  std::uint64_t SeqAt(size_t at) REQUIRES(state_->mu) {
    constexpr std::uint64_t kGap = 1u << 16;
    auto& rows = state_->rows;
    if (at == rows.size()) return rows.empty() ? kGap : rows.back()->seq + kGap;
    std::uint64_t lo = at ? rows[at - 1]->seq : 0, hi = rows[at]->seq;
    if (hi - lo < 2) {
      for (size_t i = 0; i < rows.size(); ++i) rows[i]->seq = (i + 1) * kGap;
      lo = at ? rows[at - 1]->seq : 0;
      hi = rows[at]->seq;
    }
    return lo + (hi - lo) / 2;
  }

  ULONG DeleteAll() {
    std::vector<Pending> pending;
    ULONG n;
    {
      MutexLock lock(state_->mu);
      n = static_cast<ULONG>(state_->rows.size());
      state_->rows.clear();
      state_->by_key.clear();
      for (TableObserver* v : state_->views) v->OnReload(*state_, pending);
    }
    PostAll(pending);
    return n;
  }

  static HRESULT CopyRow(const Row& row, LPSRow* out) {
    void* p = nullptr;
    if (MAPIAllocateBuffer(sizeof(SRow), &p) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* r = static_cast<LPSRow>(p);
    r->ulAdrEntryPad = 0;
    r->cValues = row.count;
    void* vals = nullptr;
    MAPIAllocateMore(static_cast<ULONG>(sizeof(SPropValue) * std::max<ULONG>(row.count, 1)), p, &vals);
    r->lpProps = static_cast<LPSPropValue>(vals);
    for (ULONG i = 0; i < row.count; ++i) PropCopyMore(&r->lpProps[i], &row.props[i], MAPIAllocateMore, p);
    *out = r;
    return S_OK;
  }

  const std::shared_ptr<TableState> state_;
};

}  // namespace

void SetSubRestriction(LPTABLEDATA table, SubFn fn) {
  if (auto* impl = dynamic_cast<TableDataImpl*>(table)) {
    auto state = impl->state();
    MutexLock lock(state->mu);
    state->sub = std::move(fn);
  }
}

}  // namespace vantrel::mapi

SCODE CreateTable(LPCIID lpInterface, LPALLOCATEBUFFER, LPALLOCATEMORE, LPFREEBUFFER, LPVOID, ULONG ulTableType,
                  ULONG ulPropTagIndexColumn, LPSPropTagArray lpSPropTagArrayColumns, LPTABLEDATA* lppTableData) {
  if (!lppTableData || !lpSPropTagArrayColumns) return MAPI_E_INVALID_PARAMETER;
  if (lpInterface && !(*lpInterface == IID_IMAPITableData)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
  auto state = std::make_shared<vantrel::mapi::table::TableState>(
      ulTableType, ulPropTagIndexColumn,
      std::vector<ULONG>(lpSPropTagArrayColumns->aulPropTag,
                         lpSPropTagArrayColumns->aulPropTag + lpSPropTagArrayColumns->cValues));
  *lppTableData = new vantrel::mapi::TableDataImpl(std::move(state));
  return S_OK;
}

HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray tags, LPSRestriction res, LPSSortOrderSet sort,
                       LONG crows_max, LPSRowSet* rows) {
  if (!table || !rows) return MAPI_E_INVALID_PARAMETER;
  *rows = nullptr;
  HRESULT hr;
  if (tags && FAILED(hr = table->SetColumns(tags, TBL_BATCH))) return hr;
  if (res && FAILED(hr = table->Restrict(res, TBL_BATCH))) return hr;
  if (sort && FAILED(hr = table->SortTable(sort, TBL_BATCH))) return hr;
  if (FAILED(hr = table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return hr;
  return table->QueryRows(crows_max > 0 ? crows_max : INT32_MAX, 0, rows);
}
