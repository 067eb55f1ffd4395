#include "platform/mapi/SessionTables.h"

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

HRESULT RowsToTable(const std::vector<ULONG>& columns, const TableRows& rows, IMAPITable** out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  // Table data (CreateTable) is not part of this library yet.
  (void)columns;
  (void)rows;
  return MAPI_E_NO_SUPPORT;
}

}  // namespace vantrel::mapi
