#include "client/ClientMapiTable.h"

#include <vector>

#include "client/ClientCall.h"
#include "client/ClientLogon.h"
#include "client/ResultBlock.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/Validate.h"
#include "protocol/ZelStubs.h"

namespace vantrel::client {

namespace {

// Bookmarks travel as 32-bit values.
std::int32_t WireBookmark(BOOKMARK bk) { return static_cast<std::int32_t>(static_cast<ULONG>(bk)); }

}  // namespace

#define VALIDATE(method, ...)                                                      \
  do {                                                                             \
    if (HRESULT hr_ = HrValidateParameters(method, __VA_ARGS__); hr_ != S_OK) {    \
      return hr_;                                                                  \
    }                                                                              \
  } while (0)

CClientMapiTable::CClientMapiTable(std::int32_t handle, CClientLogon* logon)
    : handle_(handle), logon_(logon), binding_(logon ? logon->Binding() : nullptr) {
  if (logon_) {
    logon_->AddRef();
    logon_->BindMarshal(codec_);
  }
}

CClientMapiTable::~CClientMapiTable() {
  if (logon_) logon_->Release();
}

void CClientMapiTable::Trace(const char* method) const {
  ObjectTrace(handle_, logon_ && logon_->Spooler(), std::string("CClientMapiTable::") + method);
}

HRESULT CClientMapiTable::QueryInterface(REFIID riid, void** ppv) {
  return QueryOneInterface(static_cast<IMAPITable*>(this), riid, IID_IMAPITable, ppv);
}

ULONG CClientMapiTable::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG CClientMapiTable::Release() {
  LONG n = --refs_;
  if (n > 0) return static_cast<ULONG>(n);
  Trace("Release");
  FreeServerObject(binding_, handle_);
  delete this;
  return 0;
}

HRESULT CClientMapiTable::GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) {
  VALIDATE(IMAPITable_GetLastError, hResult, ulFlags, lppMAPIError);
  Trace("GetLastError");
  return MAPI_E_NO_SUPPORT;
}

HRESULT CClientMapiTable::Advise(ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) {
  VALIDATE(IMAPITable_Advise, ulEventMask, lpAdviseSink, lpulConnection);
  Trace("Advise");
  if (!logon_) return MAPI_E_NO_SUPPORT;  // registrations live in a logon
  AdviseEntry entry;
  entry.sink = ComPtr<IMAPIAdviseSink>(lpAdviseSink);
  entry.event_mask = ulEventMask;
  entry.sink_key = CClientLogon::NewSinkKey();
  zel::IMAPITABLE_Advise::Request in{handle_, logon_->LogonHandle(), static_cast<std::int32_t>(ulEventMask),
                                     static_cast<std::int32_t>(entry.sink_key)};
  zel::IMAPITABLE_Advise::Reply out;
  // A registration the server refused stays, and never hears anything.
  CallRemote<zel::IMAPITABLE_Advise>(binding_, in, out);
  entry.server_connection = static_cast<ULONG>(out.ulConnection);
  *lpulConnection = logon_->AddAdvise(std::move(entry));
  return S_OK;
}

HRESULT CClientMapiTable::Unadvise(ULONG ulConnection) {
  VALIDATE(IMAPITable_Unadvise, ulConnection);
  Trace("Unadvise");
  if (!logon_) return MAPI_E_NO_SUPPORT;
  std::optional<ULONG> server = logon_->RemoveAdvise(ulConnection);
  zel::IMAPITABLE_Unadvise::Request in{handle_, server ? static_cast<std::int32_t>(*server) : -1};
  zel::IMAPITABLE_Unadvise::Reply out;
  CallRemote<zel::IMAPITABLE_Unadvise>(binding_, in, out);
  return S_OK;
}

HRESULT CClientMapiTable::GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) {
  VALIDATE(IMAPITable_GetStatus, lpulTableStatus, lpulTableType);
  Trace("GetStatus");
  zel::IMAPITABLE_GetStatus::Request in{handle_};
  zel::IMAPITABLE_GetStatus::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_GetStatus>(binding_, in, out);
  *lpulTableStatus = static_cast<ULONG>(out.ulTableStatus);
  *lpulTableType = static_cast<ULONG>(out.ulTableType);
  return hr;
}

HRESULT CClientMapiTable::SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) {
  VALIDATE(IMAPITable_SetColumns, lpPropTagArray, ulFlags);
  Trace("SetColumns");
  zel::IMAPITABLE_SetColumns::Request in;
  in.hTable = handle_;
  in.tags.assign(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
  in.ulFlags = static_cast<std::int32_t>(ulFlags);
  zel::IMAPITABLE_SetColumns::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_SetColumns>(binding_, in, out);
  if (hr == MAPI_E_INVALID_PARAMETER) {
    ClientTrace("***** MAPI_E_INVALID_PARAMETER ignored\n");
    hr = S_OK;
  }
  return hr;
}

HRESULT CClientMapiTable::QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) {
  VALIDATE(IMAPITable_QueryColumns, ulFlags, lpPropTagArray);
  Trace("QueryColumns");
  *lpPropTagArray = nullptr;
  zel::IMAPITABLE_QueryColumns::Request in{handle_, static_cast<std::int32_t>(ulFlags)};
  zel::IMAPITABLE_QueryColumns::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_QueryColumns>(binding_, in, out);
  HRESULT read = ReadResultBlock(binding_, out.cb, out.hBuffer, out.inlineData, [&](zel::MarshalReader& r) {
    return codec_.ReadTagArray(r, nullptr, lpPropTagArray);
  });
  return read != S_OK ? read : hr;
}

HRESULT CClientMapiTable::GetRowCount(ULONG ulFlags, ULONG* lpulCount) {
  VALIDATE(IMAPITable_GetRowCount, ulFlags, lpulCount);
  Trace("GetRowCount");
  zel::IMAPITABLE_GetRowCount::Request in{handle_, static_cast<std::int32_t>(ulFlags)};
  zel::IMAPITABLE_GetRowCount::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_GetRowCount>(binding_, in, out);
  *lpulCount = static_cast<ULONG>(out.ulCount);
  return hr;
}

HRESULT CClientMapiTable::SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) {
  VALIDATE(IMAPITable_SeekRow, bkOrigin, lRowCount, lplRowsSought);
  Trace("SeekRow");
  zel::IMAPITABLE_SeekRow::Request in{handle_, WireBookmark(bkOrigin), lRowCount};
  zel::IMAPITABLE_SeekRow::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_SeekRow>(binding_, in, out);
  if (lplRowsSought) *lplRowsSought = out.lRowsSought;
  return hr;
}

HRESULT CClientMapiTable::SeekRowApprox(ULONG ulNumerator, ULONG ulDenominator) {
  VALIDATE(IMAPITable_SeekRowApprox, ulNumerator, ulDenominator);
  Trace("SeekRowApprox");
  zel::IMAPITABLE_SeekRowApprox::Request in{handle_, static_cast<std::int32_t>(ulNumerator),
                                            static_cast<std::int32_t>(ulDenominator)};
  zel::IMAPITABLE_SeekRowApprox::Reply out;
  return CallRemote<zel::IMAPITABLE_SeekRowApprox>(binding_, in, out);
}

HRESULT CClientMapiTable::QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) {
  VALIDATE(IMAPITable_QueryPosition, lpulRow, lpulNumerator, lpulDenominator);
  Trace("QueryPosition");
  zel::IMAPITABLE_QueryPosition::Request in{handle_};
  zel::IMAPITABLE_QueryPosition::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_QueryPosition>(binding_, in, out);
  *lpulRow = static_cast<ULONG>(out.ulRow);
  *lpulNumerator = static_cast<ULONG>(out.ulNumerator);
  *lpulDenominator = static_cast<ULONG>(out.ulDenominator);
  return hr;
}

HRESULT CClientMapiTable::FindRow(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) {
  VALIDATE(IMAPITable_FindRow, lpRestriction, bkOrigin, ulFlags);
  Trace("FindRow");
  zel::IMAPITABLE_FindRow::Request in;
  in.hTable = handle_;
  in.data = codec_.Encode([&] { return codec_.SizeRestriction(lpRestriction); },
                          [&](zel::MarshalWriter& w) { codec_.WriteRestriction(w, lpRestriction); });
  in.bkOrigin = WireBookmark(bkOrigin);
  in.ulFlags = static_cast<std::int32_t>(ulFlags);
  zel::IMAPITABLE_FindRow::Reply out;
  return CallRemote<zel::IMAPITABLE_FindRow>(binding_, in, out);
}

HRESULT CClientMapiTable::Restrict(LPSRestriction lpRestriction, ULONG ulFlags) {
  VALIDATE(IMAPITable_Restrict, lpRestriction, ulFlags);
  Trace("Restrict");
  zel::IMAPITABLE_Restrict::Request in;
  in.hTable = handle_;
  // No restriction travels as an empty block: the table's is lifted.
  if (lpRestriction)
    in.data = codec_.Encode([&] { return codec_.SizeRestriction(lpRestriction); },
                            [&](zel::MarshalWriter& w) { codec_.WriteRestriction(w, lpRestriction); });
  in.ulFlags = static_cast<std::int32_t>(ulFlags);
  zel::IMAPITABLE_Restrict::Reply out;
  return CallRemote<zel::IMAPITABLE_Restrict>(binding_, in, out);
}

HRESULT CClientMapiTable::CreateBookmark(BOOKMARK* lpbkPosition) {
  VALIDATE(IMAPITable_CreateBookmark, lpbkPosition);
  Trace("CreateBookmark");
  zel::IMAPITABLE_CreateBookmark::Request in{handle_};
  zel::IMAPITABLE_CreateBookmark::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_CreateBookmark>(binding_, in, out);
  *lpbkPosition = static_cast<BOOKMARK>(static_cast<ULONG>(out.bookmark));
  return hr;
}

HRESULT CClientMapiTable::FreeBookmark(BOOKMARK bkPosition) {
  VALIDATE(IMAPITable_FreeBookmark, bkPosition);
  Trace("FreeBookmark");
  zel::IMAPITABLE_FreeBookmark::Request in{handle_, WireBookmark(bkPosition)};
  zel::IMAPITABLE_FreeBookmark::Reply out;
  return CallRemote<zel::IMAPITABLE_FreeBookmark>(binding_, in, out);
}

HRESULT CClientMapiTable::SortTable(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) {
  VALIDATE(IMAPITable_SortTable, lpSortCriteria, ulFlags);
  Trace("SortTable");
  zel::IMAPITABLE_SortTable::Request in;
  in.hTable = handle_;
  in.data = codec_.Encode([&] { return codec_.SizeSortOrderSet(lpSortCriteria); },
                          [&](zel::MarshalWriter& w) { codec_.WriteSortOrderSet(w, lpSortCriteria); });
  in.ulFlags = static_cast<std::int32_t>(ulFlags);
  zel::IMAPITABLE_SortTable::Reply out;
  return CallRemote<zel::IMAPITABLE_SortTable>(binding_, in, out);
}

HRESULT CClientMapiTable::QuerySortOrder(LPSSortOrderSet* lppSortCriteria) {
  VALIDATE(IMAPITable_QuerySortOrder, lppSortCriteria);
  Trace("QuerySortOrder");
  *lppSortCriteria = nullptr;
  zel::IMAPITABLE_QuerySortOrder::Request in{handle_};
  zel::IMAPITABLE_QuerySortOrder::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_QuerySortOrder>(binding_, in, out);
  HRESULT read = ReadResultBlock(binding_, out.cb, out.hBuffer, out.inlineData, [&](zel::MarshalReader& r) {
    return codec_.ReadSortOrderSet(r, nullptr, lppSortCriteria);
  });
  return read != S_OK ? read : hr;
}

HRESULT CClientMapiTable::QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) {
  VALIDATE(IMAPITable_QueryRows, lRowCount, ulFlags, lppRows);
  Trace("QueryRows");
  *lppRows = nullptr;
  zel::IMAPITABLE_QueryRows::Request in{handle_, lRowCount, static_cast<std::int32_t>(ulFlags)};
  zel::IMAPITABLE_QueryRows::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_QueryRows>(binding_, in, out);
  HRESULT read = ReadResultBlock(binding_, out.cb, out.hBuffer, out.inlineData, [&](zel::MarshalReader& r) {
    return codec_.ReadRowSet(r, nullptr, lppRows);
  });
  return read != S_OK ? read : hr;
}

HRESULT CClientMapiTable::Abort() {
  Trace("Abort");
  zel::IMAPITABLE_Abort::Request in{handle_};
  zel::IMAPITABLE_Abort::Reply out;
  return CallRemote<zel::IMAPITABLE_Abort>(binding_, in, out);
}

HRESULT CClientMapiTable::ExpandRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulRowCount, ULONG ulFlags,
                                    LPSRowSet* lppRows, ULONG* lpulMoreRows) {
  VALIDATE(IMAPITable_ExpandRow, cbInstanceKey, pbInstanceKey, ulRowCount, ulFlags, lppRows, lpulMoreRows);
  Trace("ExpandRow");
  if (lppRows) *lppRows = nullptr;
  zel::IMAPITABLE_ExpandRow::Request in;
  in.hTable = handle_;
  in.instanceKey.assign(pbInstanceKey, pbInstanceKey + cbInstanceKey);
  in.ulRowCount = static_cast<std::int32_t>(ulRowCount);
  in.ulFlags = static_cast<std::int32_t>(ulFlags);
  zel::IMAPITABLE_ExpandRow::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_ExpandRow>(binding_, in, out);
  *lpulMoreRows = static_cast<ULONG>(out.ulMoreRows);
  LPSRowSet rows = nullptr;
  HRESULT read = ReadResultBlock(binding_, out.cb, out.hBuffer, out.inlineData, [&](zel::MarshalReader& r) {
    return codec_.ReadRowSet(r, nullptr, &rows);
  });
  if (lppRows) {
    *lppRows = rows;
  } else if (rows) {
    FreeProws(rows);
  }
  return read != S_OK ? read : hr;
}

HRESULT CClientMapiTable::CollapseRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulFlags,
                                      ULONG* lpulRowCount) {
  VALIDATE(IMAPITable_CollapseRow, cbInstanceKey, pbInstanceKey, ulFlags, lpulRowCount);
  Trace("CollapseRow");
  zel::IMAPITABLE_CollapseRow::Request in;
  in.hTable = handle_;
  in.instanceKey.assign(pbInstanceKey, pbInstanceKey + cbInstanceKey);
  in.ulFlags = static_cast<std::int32_t>(ulFlags);
  zel::IMAPITABLE_CollapseRow::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_CollapseRow>(binding_, in, out);
  if (lpulRowCount) *lpulRowCount = static_cast<ULONG>(out.ulRowCount);
  return hr;
}

HRESULT CClientMapiTable::WaitForCompletion(ULONG ulFlags, ULONG ulTimeout, ULONG* lpulTableStatus) {
  VALIDATE(IMAPITable_WaitForCompletion, ulFlags, ulTimeout, lpulTableStatus);
  Trace("WaitForCompletion");
  zel::IMAPITABLE_WaitForCompletion::Request in{handle_, static_cast<std::int32_t>(ulFlags),
                                                static_cast<std::int32_t>(ulTimeout)};
  zel::IMAPITABLE_WaitForCompletion::Reply out;
  HRESULT hr = CallRemote<zel::IMAPITABLE_WaitForCompletion>(binding_, in, out);
  if (lpulTableStatus) *lpulTableStatus = static_cast<ULONG>(out.ulTableStatus);
  return hr;
}

HRESULT CClientMapiTable::GetCollapseState(ULONG ulFlags, ULONG cbInstanceKey, LPBYTE lpbInstanceKey,
                                           ULONG* lpcbCollapseState, LPBYTE* lppbCollapseState) {
  VALIDATE(IMAPITable_GetCollapseState, ulFlags, cbInstanceKey, lpbInstanceKey, lpcbCollapseState,
           lppbCollapseState);
  Trace("GetCollapseState");
  return MAPI_E_NO_SUPPORT;
}

HRESULT CClientMapiTable::SetCollapseState(ULONG ulFlags, ULONG cbCollapseState, LPBYTE pbCollapseState,
                                           BOOKMARK* lpbkLocation) {
  VALIDATE(IMAPITable_SetCollapseState, ulFlags, cbCollapseState, pbCollapseState, lpbkLocation);
  Trace("SetCollapseState");
  return MAPI_E_NO_SUPPORT;
}

}  // namespace vantrel::client
