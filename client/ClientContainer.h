// The container and folder proxies.
#pragma once

#include "client/ClientProxy.h"

namespace vantrel::client {

// The IMAPIContainer methods over TClientProp<I>; I is IMAPIContainer or an
// interface derived from it.
template <class I>
class TClientContainer : public TClientProp<I> {
 public:
  using TClientProp<I>::TClientProp;

  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* table) override;
  HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* table) override;
  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* object_type, LPUNKNOWN* out) override;
  HRESULT SetSearchCriteria(LPSRestriction restriction, LPENTRYLIST containers, ULONG search_flags) override;
  HRESULT GetSearchCriteria(ULONG flags, LPSRestriction* restriction, LPENTRYLIST* containers,
                            ULONG* search_state) override;

 protected:
  ~TClientContainer() override = default;
};

class CClientMapiContainer final : public TClientContainer<IMAPIContainer> {
 public:
  CClientMapiContainer(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding)
      : TClientContainer(handle, logon, binding, "CClientMapiContainer") {}
};

class CClientMapiFolder final : public TClientContainer<IMAPIFolder> {
 public:
  CClientMapiFolder(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding)
      : TClientContainer(handle, logon, binding, "CClientMapiFolder") {}

  HRESULT CreateMessage(LPCIID iid, ULONG flags, LPMESSAGE* message) override;
  HRESULT CopyMessages(LPENTRYLIST messages, LPCIID iid, LPVOID dest, ULONG_PTR ui, LPMAPIPROGRESS progress,
                       ULONG flags) override;
  HRESULT DeleteMessages(LPENTRYLIST messages, ULONG_PTR ui, LPMAPIPROGRESS progress, ULONG flags) override;
  HRESULT CreateFolder(ULONG folder_type, LPSTR name, LPSTR comment, LPCIID iid, ULONG flags,
                       LPMAPIFOLDER* folder) override;
  HRESULT CopyFolder(ULONG cb, LPENTRYID id, LPCIID iid, LPVOID dest, LPSTR new_name, ULONG_PTR ui,
                     LPMAPIPROGRESS progress, ULONG flags) override;
  HRESULT DeleteFolder(ULONG cb, LPENTRYID id, ULONG_PTR ui, LPMAPIPROGRESS progress, ULONG flags) override;
  HRESULT SetReadFlags(LPENTRYLIST messages, ULONG_PTR ui, LPMAPIPROGRESS progress, ULONG flags) override;
  HRESULT GetMessageStatus(ULONG cb, LPENTRYID id, ULONG flags, ULONG* status) override;
  HRESULT SetMessageStatus(ULONG cb, LPENTRYID id, ULONG new_status, ULONG mask, ULONG* old_status) override;
  HRESULT SaveContentsSort(LPSSortOrderSet sort, ULONG flags) override;
  HRESULT EmptyFolder(ULONG_PTR ui, LPMAPIPROGRESS progress, ULONG flags) override;

 private:
  // The entry-list block of DeleteMessages and SetReadFlags.
  HRESULT EntryListBlock(LPENTRYLIST list, std::vector<BYTE>& out) const;
};

extern template class TClientContainer<IMAPIContainer>;
extern template class TClientContainer<IMAPIFolder>;

}  // namespace vantrel::client
