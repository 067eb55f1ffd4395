#include "platform/mapi/SessionTables.h"

#include <algorithm>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"

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

HRESULT RowsToTable(const std::vector<ULONG>& columns, const TableRows& rows, IMAPITable** out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  // The table knows every property of its rows, so TBL_ALL_COLUMNS shows
  // them; PR_ROWID is the index.
  std::vector<ULONG> all = {PR_ROWID};
  auto add = [&](ULONG tag) {
    if (std::find(all.begin(), all.end(), tag) == all.end()) all.push_back(tag);
  };
  for (ULONG tag : columns) add(tag);
  for (const ProfProps& row : rows)
    for (const ProfProp& p : row) add(p.tag);
  std::vector<BYTE> tag_buf(CbNewSPropTagArray(all.size()));
  auto* tags = reinterpret_cast<LPSPropTagArray>(tag_buf.data());
  tags->cValues = static_cast<ULONG>(all.size());
  std::copy(all.begin(), all.end(), tags->aulPropTag);
  ComPtr<IMAPITableData> data;
  if (HRESULT hr = CreateTable(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr, TBLTYPE_SNAPSHOT,
                               PR_ROWID, tags, data.Out());
      FAILED(hr))
    return hr;
  for (size_t i = 0; i < rows.size(); ++i) {
    const ProfProps& row = rows[i];
    LPSPropValue values = nullptr;
    if (HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (row.size() + 1)),
                                        reinterpret_cast<void**>(&values));
        FAILED(hr))
      return hr;
    ULONG n = 0;
    values[n].ulPropTag = PR_ROWID;
    values[n++].Value.l = static_cast<LONG>(i);
    HRESULT hr = S_OK;
    for (const ProfProp& p : row) {
      if (p.tag == PR_ROWID) continue;
      if (FAILED(PropToValue(p, values, &values[n]))) continue;  // a damaged value is left out of the row
      ++n;
    }
    SRow r{0, n, values};
    hr = data->HrModifyRow(&r);
    MAPIFreeBuffer(values);
    if (FAILED(hr)) return hr;
  }
  ComPtr<IMAPITable> view;
  if (HRESULT hr = data->HrGetView(nullptr, nullptr, 0, view.Out()); FAILED(hr)) return hr;
  std::vector<BYTE> col_buf(CbNewSPropTagArray(columns.size()));
  auto* cols = reinterpret_cast<LPSPropTagArray>(col_buf.data());
  cols->cValues = static_cast<ULONG>(columns.size());
  std::copy(columns.begin(), columns.end(), cols->aulPropTag);
  if (HRESULT hr = view->SetColumns(cols, 0); FAILED(hr)) return hr;
  *out = view.Detach();
  return S_OK;
}

}  // namespace vantrel::mapi
