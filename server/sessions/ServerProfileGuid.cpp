#include "server/sessions/ServerProfileGuid.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "Libraries/MapiWrapper/TableHelpers.h"
#include "platform/base/Guid.h"
#include "platform/mapi/MapiSession.h"
#include "platform/win/MessageBox.h"

namespace vantrel::server {
namespace {

constexpr ULONG kLogonFlags = MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL;  // 0x8022

// One lock per store, named by the store's entry ID, which names its file.
// Entries are never removed: a server has a handful of stores.
std::shared_ptr<std::mutex> StoreLock(const CBinary& store_id) {
  static std::mutex table_lock;
  static std::map<std::string, std::shared_ptr<std::mutex>> locks;  // guarded by table_lock
  std::lock_guard l(table_lock);
  auto& slot = locks[store_id.ToString()];
  if (!slot) slot = std::make_shared<std::mutex>();
  return slot;
}

void ExchangeIdentifier(const IMAPISessionPtr& session, const CBinary& store_id, zel::wire::Bytes16& guid) {
  std::shared_ptr<std::mutex> store_lock = StoreLock(store_id);
  std::lock_guard l(*store_lock);
  IMsgStorePtr store = session.OpenMsgStore(store_id);
  IMAPIFolderPtr root = store._getIPMRoot();
  IMessagePtr message = vantrel::mapiwrapper::FindAssociatedMessage(root, kStoreUidSubject, kStoreUidClass, true);
  ULONG tag = message.GetIDFromName(PS_PUBLIC_STRINGS, u"ProviderGUID", PT_BINARY, MAPI_CREATE);

  LPSPropValue raw = nullptr;
  HRESULT hr = HrGetOneProp(message.get(), tag, &raw);
  CPropValue value = CPropValue::Adopt(raw);
  // A value too short to be an identifier is treated as missing rather
  // than read past its end.
  if (SUCCEEDED(hr) && value.Type() == PT_BINARY && value->Value.bin.cb >= guid.size()) {
    std::memcpy(guid.data(), value->Value.bin.lpb, guid.size());
    return;
  }
  CPropValue mine;
  mine.SetBinary(tag, CBinary(guid.data(), static_cast<ULONG>(guid.size())));
  CheckHr(HrSetOneProp(message.get(), mine.get()), "HrSetOneProp");
  CheckHr(message->SaveChanges(KEEP_OPEN_READWRITE), "IMessage::SaveChanges");
}

}  // namespace

HRESULT Server_SetProfileGuid(const zel::Server_SetProfileGuid::Request& in, zel::Server_SetProfileGuid::Reply& out) {
  try {
    std::string profile = in.profileName;
    char empty[1] = {0};
    IMAPISessionPtr session;
    if (HRESULT hr = MAPILogonEx(0, profile.data(), empty, kLogonFlags, session.Receive()); FAILED(hr)) return hr;
    IMAPITablePtr table;
    if (HRESULT hr = session->GetMsgStoresTable(0, table.Receive()); FAILED(hr)) return hr;
    CRowSet rows;
    if (HRESULT hr =
            vantrel::mapiwrapper::QueryAllRows(table.get(), {PR_DISPLAY_NAME, PR_ENTRYID}, nullptr, nullptr, &rows);
        FAILED(hr))
      return hr;
    for (ULONG i = 0; i < rows.Count(); ++i) {
      CPropValue name = rows[i].Value(0);
      CPropValue id = rows[i].Value(1);
      if (!name.Present() || name.Type() != PT_STRING8 || !name->Value.lpszA || in.storeDisplayName != name->Value.lpszA)
        continue;
      if (!id.Present() || id.Type() != PT_BINARY) throw CMAPIException(MAPI_E_NOT_FOUND, "PR_ENTRYID");
      ExchangeIdentifier(session, CBinary::FromPropValue(id.get()), out.guid);
    }
    // The session is released, not logged off.
    return 0;
  } catch (const CMAPIException& e) {
    return e.Hr();
  } catch (...) {
    try {
      MessageBox(nullptr, "Fatal error in Server_SetProfileGuid", "TarnixServer", MB_OK);
    } catch (...) {
    }
    return MAPI_E_NO_SUPPORT;
  }
}

}  // namespace vantrel::server
