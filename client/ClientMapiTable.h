// CClientMapiTable: the workstation's IMAPITable for a table object of the
// server. Every method but the IUnknown ones and Abort first runs the
// platform's parameter check for the method; the rest is one remote call.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/rpc/Rpc.h"
#include "protocol/MapiMarshal.h"

namespace vantrel::client {

class CClientLogon;

class CClientMapiTable final : public IMAPITable {
 public:
  // Takes a reference on `logon`; the binding is the logon's. Starts with
  // one reference, the caller's.
  CClientMapiTable(std::int32_t handle, CClientLogon* logon);

  std::int32_t Handle() const { return handle_; }

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IMAPITable
  HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override;
  HRESULT Advise(ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) override;
  HRESULT Unadvise(ULONG ulConnection) override;
  HRESULT GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) override;
  HRESULT SetColumns(LPSPropTagArray lpPropTagArray, ULONG ulFlags) override;
  HRESULT QueryColumns(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) override;
  HRESULT GetRowCount(ULONG ulFlags, ULONG* lpulCount) override;
  HRESULT SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) override;
  HRESULT SeekRowApprox(ULONG ulNumerator, ULONG ulDenominator) override;
  HRESULT QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) override;
  HRESULT FindRow(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) override;
  HRESULT Restrict(LPSRestriction lpRestriction, ULONG ulFlags) override;
  HRESULT CreateBookmark(BOOKMARK* lpbkPosition) override;
  HRESULT FreeBookmark(BOOKMARK bkPosition) override;
  HRESULT SortTable(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) override;
  HRESULT QuerySortOrder(LPSSortOrderSet* lppSortCriteria) override;
  HRESULT QueryRows(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) override;
  HRESULT Abort() override;
  HRESULT ExpandRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulRowCount, ULONG ulFlags, LPSRowSet* lppRows,
                    ULONG* lpulMoreRows) override;
  HRESULT CollapseRow(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulFlags, ULONG* lpulRowCount) override;
  HRESULT WaitForCompletion(ULONG ulFlags, ULONG ulTimeout, ULONG* lpulTableStatus) override;
  HRESULT GetCollapseState(ULONG ulFlags, ULONG cbInstanceKey, LPBYTE lpbInstanceKey, ULONG* lpcbCollapseState,
                           LPBYTE* lppbCollapseState) override;
  HRESULT SetCollapseState(ULONG ulFlags, ULONG cbCollapseState, LPBYTE pbCollapseState,
                           BOOKMARK* lpbkLocation) override;

 private:
  ~CClientMapiTable() override;

  std::atomic<LONG> refs_{1};
  std::int32_t handle_;
  CClientLogon* logon_;
  RPC_BINDING_HANDLE binding_;
  zel::CMapiMarshal codec_;  // bound to the logon: entry IDs translated

  void Trace(const char* method) const;
};

}  // namespace vantrel::client
