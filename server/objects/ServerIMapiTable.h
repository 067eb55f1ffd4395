// CServerIMapiTable: a MAPI table served by handle. Contents, hierarchy,
// attachment, recipient and receive-folder tables and the tables of
// OpenProperty all reach the client through it.
#pragma once

#include <set>

#include "platform/mapi/MapiInterfaces.h"
#include "protocol/MapiMarshal.h"
#include "server/dispatch/ServerClass.h"

namespace vantrel::server {

class CServerIMapiTable : public CServerClass {
 public:
  CServerIMapiTable() : CServerClass(kIMAPITable) {}

  const char* Name() const override { return "IMAPITable"; }
  // Takes a reference of its own (QueryInterface to IMAPITable); the
  // creator keeps, and releases, the one MAPI gave it.
  void SetMapiObject(IUnknown* object) override;
  void Destroy() override;

#define ZEL_TABLE_OPERATIONS(X)                                                                                   \
  X(IMAPITABLE_Advise) X(IMAPITABLE_CollapseRow) X(IMAPITABLE_CreateBookmark) X(IMAPITABLE_ExpandRow)             \
  X(IMAPITABLE_FindRow) X(IMAPITABLE_FreeBookmark) X(IMAPITABLE_GetLastError) X(IMAPITABLE_GetRowCount)           \
  X(IMAPITABLE_GetStatus) X(IMAPITABLE_QueryColumns) X(IMAPITABLE_QueryPosition) X(IMAPITABLE_QueryRows)          \
  X(IMAPITABLE_QuerySortOrder) X(IMAPITABLE_Restrict) X(IMAPITABLE_SeekRow) X(IMAPITABLE_SeekRowApprox)           \
  X(IMAPITABLE_SetColumns) X(IMAPITABLE_SortTable) X(IMAPITABLE_Unadvise) X(IMAPITABLE_WaitForCompletion)
#define ZEL_DECLARE_TABLE_OPERATION(op) HRESULT op(const zel::op::Request& in, zel::op::Reply& out) override;
  ZEL_TABLE_OPERATIONS(ZEL_DECLARE_TABLE_OPERATION)
#undef ZEL_DECLARE_TABLE_OPERATION
#undef ZEL_TABLE_OPERATIONS

 private:
  // Serializes a row set into a result block (QueryRows, ExpandRow).
  void RowsToBlock(const SRowSet* rows, zel::wire::Inline::Value& inline_area, std::int32_t& cb,
                   std::int32_t& buffer);

  const zel::CMapiMarshal codec_;  // never changed: needs no lock
  ComPtr<IMAPITable> table_ GUARDED_BY(lock);
  std::set<ULONG> connections_ GUARDED_BY(lock);  // advise records this table registered
};

}  // namespace vantrel::server
