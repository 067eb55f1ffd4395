#include "server/objects/ServerIMapiTable.h"

#include <string>
#include <vector>

#include "Libraries/MapiWrapper/PropValue.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiUtil.h"
#include "server/dispatch/ServerClasses.h"
#include "server/dispatch/ServerTrace.h"

namespace vantrel::server {
namespace {

// Frees a MAPI block on every path out of an operation.
template <class T>
class MapiBuffer {
 public:
  ~MapiBuffer() {
    if (p) MAPIFreeBuffer(p);
  }
  T* p = nullptr;
};

class RowSetGuard {
 public:
  ~RowSetGuard() {
    if (p) FreeProws(p);
  }
  LPSRowSet p = nullptr;
};

void TraceTags(const SPropTagArray* tags) {
  if (!tags || !TraceAttached()) return;
  try {
    ServerTrace("SPropTagArray.cValues = %d", static_cast<int>(tags->cValues));
    for (ULONG i = 0; i < tags->cValues; ++i)
      ServerTrace("  SPropTagArray.aulPropTag[0] = %x (%s)", tags->aulPropTag[i],
                  PropTagName(tags->aulPropTag[i]).c_str());
  } catch (...) {
    // A failing dump ends the dump, nothing else.
  }
}

void TraceRows(const SRowSet* rows) {
  if (!rows || !TraceAttached()) return;
  try {
    for (ULONG r = 0; r < rows->cRows; ++r) {
      ServerTrace("  Row %d", static_cast<int>(r));
      const SRow& row = rows->aRow[r];
      for (ULONG c = 0; c < row.cValues && row.lpProps; ++c) {
        const SPropValue& v = row.lpProps[c];
        ServerTrace("    Col %d (%x %s) = %s", static_cast<int>(c), v.ulPropTag, PropTagName(v.ulPropTag).c_str(),
                    CPropValue::View(&v).ToString().c_str());
      }
    }
  } catch (...) {
  }
}

// Bookmarks travel as 32-bit values.
BOOKMARK ToBookmark(std::int32_t v) {
  return static_cast<BOOKMARK>(static_cast<ULONG>(v));
}

// Reads the restriction of a request; an empty block means none.
HRESULT ReadRestriction(const zel::CMapiMarshal& codec, const std::vector<std::uint8_t>& data, LPSRestriction* out) {
  *out = nullptr;
  if (data.empty()) return S_OK;
  zel::MarshalReader r(data.data(), data.size());
  return codec.ReadRestriction(r, nullptr, out);
}

}  // namespace

void CServerIMapiTable::SetMapiObject(IUnknown* object) {
  ComPtr<IMAPITable> table;
  if (object) object->QueryInterface(IID_IMAPITable, table.OutVoid());
  MutexLock l(lock);
  table_ = std::move(table);
}

void CServerIMapiTable::Destroy() {
  ComPtr<IMAPITable> table;
  {
    MutexLock l(lock);
    table = std::move(table_);
  }
  // Released outside the lock: the table's own release may block on its
  // notification delivery.
}

void CServerIMapiTable::RowsToBlock(const SRowSet* rows, zel::wire::Inline::Value& inline_area, std::int32_t& cb,
                                    std::int32_t& buffer) {
  if (!rows) return;  // nothing returned: 0 and 0
  // Pages of one listing come out alike: one pass, sized by the thread's
  // last page.
  thread_local std::size_t expected = 4096;
  std::vector<std::uint8_t> block =
      codec_.EncodeOnce(expected, [&](zel::MarshalWriter& w) { codec_.WriteRowSet(w, rows); });
  buffer = registry->MakeResultBlock(owner.load(), std::move(block), inline_area, cb);
}

#define TABLE_OR_FAIL                         \
  MutexLock l(lock);                    \
  IMAPITable* table = table_.get();           \
  if (!table) return MAPI_E_NO_SUPPORT;

HRESULT CServerIMapiTable::IMAPITABLE_QueryRows(const zel::IMAPITABLE_QueryRows::Request& in,
                                                zel::IMAPITABLE_QueryRows::Reply& out) {
  TABLE_OR_FAIL
  RowSetGuard rows;
  HRESULT hr = table->QueryRows(in.lRowCount, static_cast<ULONG>(in.ulFlags), &rows.p);
  TraceRows(rows.p);
  RowsToBlock(rows.p, out.inlineData, out.cb, out.hBuffer);
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_ExpandRow(const zel::IMAPITABLE_ExpandRow::Request& in,
                                                zel::IMAPITABLE_ExpandRow::Reply& out) {
  TABLE_OR_FAIL
  std::vector<BYTE> key(in.instanceKey.begin(), in.instanceKey.end());
  RowSetGuard rows;
  ULONG more = 0;
  HRESULT hr = table->ExpandRow(static_cast<ULONG>(key.size()), key.empty() ? nullptr : key.data(),
                                static_cast<ULONG>(in.ulRowCount), static_cast<ULONG>(in.ulFlags), &rows.p, &more);
  out.ulMoreRows = static_cast<std::int32_t>(more);
  TraceRows(rows.p);
  RowsToBlock(rows.p, out.inlineData, out.cb, out.hBuffer);
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_CollapseRow(const zel::IMAPITABLE_CollapseRow::Request& in,
                                                  zel::IMAPITABLE_CollapseRow::Reply& out) {
  TABLE_OR_FAIL
  std::vector<BYTE> key(in.instanceKey.begin(), in.instanceKey.end());
  ULONG removed = 0;
  HRESULT hr = table->CollapseRow(static_cast<ULONG>(key.size()), key.empty() ? nullptr : key.data(),
                                  static_cast<ULONG>(in.ulFlags), &removed);
  out.ulRowCount = static_cast<std::int32_t>(removed);
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_SetColumns(const zel::IMAPITABLE_SetColumns::Request& in,
                                                 zel::IMAPITABLE_SetColumns::Reply&) {
  TABLE_OR_FAIL
  if (in.tags.empty()) return MAPI_E_NO_SUPPORT;
  MapiBuffer<SPropTagArray> tags;
  SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(in.tags.size())), reinterpret_cast<void**>(&tags.p));
  if (FAILED(sc)) return sc;
  tags.p->cValues = static_cast<ULONG>(in.tags.size());
  for (std::size_t i = 0; i < in.tags.size(); ++i) {
    ULONG tag = in.tags[i];
    // Rows go out as 8-bit text: the codec and the client know no wider.
    if (PROP_TYPE(tag) == PT_UNICODE) tag = CHANGE_PROP_TYPE(tag, PT_STRING8);
    tags.p->aulPropTag[i] = tag;
  }
  TraceTags(tags.p);
  return table->SetColumns(tags.p, static_cast<ULONG>(in.ulFlags));
}

HRESULT CServerIMapiTable::IMAPITABLE_QueryColumns(const zel::IMAPITABLE_QueryColumns::Request& in,
                                                   zel::IMAPITABLE_QueryColumns::Reply& out) {
  TABLE_OR_FAIL
  MapiBuffer<SPropTagArray> tags;
  HRESULT hr = table->QueryColumns(static_cast<ULONG>(in.ulFlags), &tags.p);
  TraceTags(tags.p);
  if (tags.p) {
    auto block = codec_.Encode([&] { return codec_.SizeTagArray(tags.p); },
                               [&](zel::MarshalWriter& w) { codec_.WriteTagArray(w, tags.p); });
    out.hBuffer = registry->MakeResultBlock(owner.load(), std::move(block), out.inlineData, out.cb);
  }
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_QuerySortOrder(const zel::IMAPITABLE_QuerySortOrder::Request&,
                                                     zel::IMAPITABLE_QuerySortOrder::Reply& out) {
  TABLE_OR_FAIL
  MapiBuffer<SSortOrderSet> sort;
  HRESULT hr = table->QuerySortOrder(&sort.p);
  if (sort.p) {
    auto block = codec_.Encode([&] { return codec_.SizeSortOrderSet(sort.p); },
                               [&](zel::MarshalWriter& w) { codec_.WriteSortOrderSet(w, sort.p); });
    out.hBuffer = registry->MakeResultBlock(owner.load(), std::move(block), out.inlineData, out.cb);
  }
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_GetLastError(const zel::IMAPITABLE_GetLastError::Request& in,
                                                   zel::IMAPITABLE_GetLastError::Reply& out) {
  TABLE_OR_FAIL
  MapiBuffer<MAPIERROR> error;
  HRESULT hr = table->GetLastError(in.hResult, static_cast<ULONG>(in.ulFlags), &error.p);
  if (error.p) {
    auto block = codec_.Encode([&] { return codec_.SizeError(error.p); },
                               [&](zel::MarshalWriter& w) { codec_.WriteError(w, error.p); });
    out.hBuffer = registry->MakeResultBlock(owner.load(), std::move(block), out.inlineData, out.cb);
  }
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_FindRow(const zel::IMAPITABLE_FindRow::Request& in,
                                              zel::IMAPITABLE_FindRow::Reply&) {
  TABLE_OR_FAIL
  MapiBuffer<SRestriction> res;
  HRESULT hr = ReadRestriction(codec_, in.data, &res.p);
  if (FAILED(hr)) return hr;
  return table->FindRow(res.p, ToBookmark(in.bkOrigin), static_cast<ULONG>(in.ulFlags));
}

HRESULT CServerIMapiTable::IMAPITABLE_Restrict(const zel::IMAPITABLE_Restrict::Request& in,
                                               zel::IMAPITABLE_Restrict::Reply&) {
  TABLE_OR_FAIL
  MapiBuffer<SRestriction> res;
  HRESULT hr = ReadRestriction(codec_, in.data, &res.p);
  if (FAILED(hr)) return hr;
  return table->Restrict(res.p, static_cast<ULONG>(in.ulFlags));
}

HRESULT CServerIMapiTable::IMAPITABLE_SortTable(const zel::IMAPITABLE_SortTable::Request& in,
                                                zel::IMAPITABLE_SortTable::Reply&) {
  TABLE_OR_FAIL
  MapiBuffer<SSortOrderSet> sort;
  if (!in.data.empty()) {
    zel::MarshalReader r(in.data.data(), in.data.size());
    HRESULT hr = codec_.ReadSortOrderSet(r, nullptr, &sort.p);
    if (FAILED(hr)) return hr;
  }
  return table->SortTable(sort.p, static_cast<ULONG>(in.ulFlags));
}

HRESULT CServerIMapiTable::IMAPITABLE_CreateBookmark(const zel::IMAPITABLE_CreateBookmark::Request&,
                                                     zel::IMAPITABLE_CreateBookmark::Reply& out) {
  TABLE_OR_FAIL
  BOOKMARK bookmark = 0;
  HRESULT hr = table->CreateBookmark(&bookmark);
  out.bookmark = static_cast<std::int32_t>(bookmark);
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_FreeBookmark(const zel::IMAPITABLE_FreeBookmark::Request& in,
                                                   zel::IMAPITABLE_FreeBookmark::Reply&) {
  TABLE_OR_FAIL
  return table->FreeBookmark(ToBookmark(in.bookmark));
}

HRESULT CServerIMapiTable::IMAPITABLE_GetRowCount(const zel::IMAPITABLE_GetRowCount::Request& in,
                                                  zel::IMAPITABLE_GetRowCount::Reply& out) {
  TABLE_OR_FAIL
  ULONG count = 0;
  HRESULT hr = table->GetRowCount(static_cast<ULONG>(in.ulFlags), &count);
  out.ulCount = static_cast<std::int32_t>(count);
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_GetStatus(const zel::IMAPITABLE_GetStatus::Request&,
                                                zel::IMAPITABLE_GetStatus::Reply& out) {
  TABLE_OR_FAIL
  ULONG status = 0, type = 0;
  HRESULT hr = table->GetStatus(&status, &type);
  out.ulTableStatus = static_cast<std::int32_t>(status);
  out.ulTableType = static_cast<std::int32_t>(type);
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_QueryPosition(const zel::IMAPITABLE_QueryPosition::Request&,
                                                    zel::IMAPITABLE_QueryPosition::Reply& out) {
  TABLE_OR_FAIL
  ULONG row = 0, numerator = 0, denominator = 0;
  HRESULT hr = table->QueryPosition(&row, &numerator, &denominator);
  out.ulRow = static_cast<std::int32_t>(row);
  out.ulNumerator = static_cast<std::int32_t>(numerator);
  out.ulDenominator = static_cast<std::int32_t>(denominator);
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_SeekRow(const zel::IMAPITABLE_SeekRow::Request& in,
                                              zel::IMAPITABLE_SeekRow::Reply& out) {
  TABLE_OR_FAIL
  LONG sought = 0;
  HRESULT hr = table->SeekRow(ToBookmark(in.bkOrigin), in.lRowCount, &sought);
  out.lRowsSought = sought;
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_SeekRowApprox(const zel::IMAPITABLE_SeekRowApprox::Request& in,
                                                    zel::IMAPITABLE_SeekRowApprox::Reply&) {
  TABLE_OR_FAIL
  return table->SeekRowApprox(static_cast<ULONG>(in.ulNumerator), static_cast<ULONG>(in.ulDenominator));
}

HRESULT CServerIMapiTable::IMAPITABLE_WaitForCompletion(const zel::IMAPITABLE_WaitForCompletion::Request& in,
                                                        zel::IMAPITABLE_WaitForCompletion::Reply& out) {
  TABLE_OR_FAIL
  ULONG status = 0;
  HRESULT hr = table->WaitForCompletion(static_cast<ULONG>(in.ulFlags), static_cast<ULONG>(in.ulTimeout), &status);
  out.ulTableStatus = static_cast<std::int32_t>(status);
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_Advise(const zel::IMAPITABLE_Advise::Request& in,
                                             zel::IMAPITABLE_Advise::Reply& out) {
  TABLE_OR_FAIL
  zel::CAdviseList& advises = registry->Advises();
  auto record = advises.AddAdvise(static_cast<ULONG>(handle.load()), in.hSession, static_cast<ULONG>(in.ulEventMask),
                                  static_cast<ULONG>(in.clientKey));
  if (!record) return MAPI_E_NOT_ENOUGH_MEMORY;
  out.ulConnection = static_cast<std::int32_t>(record->connection);
  // An equal registration of this table already feeds that record; a
  // second MAPI advise would lose the first one's connection.
  if (connections_.count(record->connection)) return S_OK;
  ULONG mapi_connection = 0;
  HRESULT hr = table->Advise(static_cast<ULONG>(in.ulEventMask), record->sink.get(), &mapi_connection);
  if (FAILED(hr)) {
    advises.RemoveAdvise(record->connection);
    out.ulConnection = 0;
    return hr;
  }
  // The record keeps MAPI's connection for Unadvise, in place of the key.
  advises.SetObjectKey(record->connection, mapi_connection);
  connections_.insert(record->connection);
  return hr;
}

HRESULT CServerIMapiTable::IMAPITABLE_Unadvise(const zel::IMAPITABLE_Unadvise::Request& in,
                                               zel::IMAPITABLE_Unadvise::Reply&) {
  TABLE_OR_FAIL
  zel::CAdviseList& advises = registry->Advises();
  const ULONG connection = static_cast<ULONG>(in.ulConnection);
  // Only registrations this table made: another object's connection
  // number must not end that object's advise.
  auto record = connections_.count(connection) ? advises.Find(connection) : nullptr;
  if (!record) return MAPI_E_NOT_FOUND;
  HRESULT hr = table->Unadvise(record->object_key);
  advises.RemoveAdvise(connection);
  connections_.erase(connection);
  return hr;
}

#undef TABLE_OR_FAIL

}  // namespace vantrel::server
