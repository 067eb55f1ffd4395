// zelping: asks a ZelServer whether it answers, through the typed client
// stubs of the remote interface; with a user and password it logs on, asks
// for the visible profiles, gets the mailbox store ("mailbox_<user>",
// "Mailbox - <user>" unless named) and lists its IPM subtree's folders.
//   zelping [host [user [password [profile store]]]]
//   (endpoint: 5002, or ZEL_RPC_ENDPOINT)
#include <cstdio>
#include <string>
#include <vector>

#include "platform/base/SystemInfo.h"
#include "platform/rpc/Rpc.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "protocol/MapiMarshal.h"
#include "protocol/ZelStubs.h"

using namespace vantrel;
using zel::CMapiMarshal;
using zel::MarshalReader;

namespace {

// A result block: the inline part, then the rest through ReadBuffer.
std::vector<BYTE> Block(const zel::Transport& t, std::int32_t cb, std::int32_t buffer,
                        const zel::wire::Inline::Value& inline_area) {
  if (cb <= 0) return {};
  std::vector<BYTE> all(inline_area.begin(), inline_area.begin() + std::min<std::int32_t>(cb, 512));
  while (buffer >= 0 && static_cast<std::int32_t>(all.size()) < cb) {
    zel::ReadBuffer::Reply r{};
    if (zel::Invoke<zel::ReadBuffer>(t, {buffer}, r) != RPC_S_OK || r.result <= 0) break;
    all.insert(all.end(), r.data.begin(), r.data.end());
  }
  return all;
}

// Logs on to `profile`/`store` and lists the IPM subtree's folders.
int Mailbox(const zel::Transport& t, const zel::Tarnix_Logon::Request& logon) {
  zel::Tarnix_Logon::Reply session{};
  if (zel::Invoke<zel::Tarnix_Logon>(t, logon, session) != RPC_S_OK) return 1;
  std::printf("Logon as \"%s\" to %s / %s -> %d (0x%08X)\n", logon.userName.c_str(), logon.profile.c_str(),
              logon.storeName.c_str(), session.result, static_cast<unsigned>(session.result));
  if (session.result <= 0) return 1;
  std::int32_t h = session.result;

  zel::ZelLogon_QueryProfiles::Reply profiles{};
  if (zel::Invoke<zel::ZelLogon_QueryProfiles>(t, {h}, profiles) == RPC_S_OK && profiles.result == 0) {
    std::vector<BYTE> text = Block(t, profiles.cb, profiles.hBuffer, profiles.inlineData);
    std::printf("Visible profiles: %s\n", text.empty() ? "" : reinterpret_cast<const char*>(text.data()));
  }
  zel::ZelLogon_GetMsgStore::Reply store{};
  int rc = 1;
  if (zel::Invoke<zel::ZelLogon_GetMsgStore>(t, {h}, store) == RPC_S_OK) {
    std::printf("Message store handle: %d\n", store.result);
    rc = store.result > 0 ? 0 : 1;
  }
  CMapiMarshal codec;
  if (rc == 0) {
    rc = 1;
    zel::MAPIPROP_GetProps::Reply props{};
    zel::Invoke<zel::MAPIPROP_GetProps>(t, {store.result, {PR_IPM_SUBTREE_ENTRYID}, 0}, props);
    std::vector<BYTE> block = Block(t, props.cb, props.hBuffer, props.inlineData);
    MarshalReader r(block.data(), block.size());
    LPSPropValue values = nullptr;
    if (props.result >= 0 && props.cValues == 1 && SUCCEEDED(codec.ReadProps(r, 1, nullptr, &values)) && values &&
        PROP_TYPE(values[0].ulPropTag) == PT_BINARY) {
      std::vector<std::uint8_t> id(values[0].Value.bin.lpb, values[0].Value.bin.lpb + values[0].Value.bin.cb);
      zel::MSGSTORE_OpenEntry::Reply root{};
      zel::MSGSTORE_OpenEntry::Request open{};
      open.hStore = store.result;
      open.entryID = id;
      open.ulFlags = MAPI_BEST_ACCESS;
      zel::Invoke<zel::MSGSTORE_OpenEntry>(t, open, root);
      zel::IMAPICONTAIENR_GetHierarchyTable::Reply table{};
      if (root.result == 0 && root.hNewObject > 0)
        zel::Invoke<zel::IMAPICONTAIENR_GetHierarchyTable>(t, {root.hNewObject, 0}, table);
      zel::IMAPITABLE_SetColumns::Reply cols{};
      zel::IMAPITABLE_QueryRows::Reply rows{};
      if (table.result == 0 && table.hTable > 0 &&
          zel::Invoke<zel::IMAPITABLE_SetColumns>(t, {table.hTable, {PR_DISPLAY_NAME}, 0}, cols) == RPC_S_OK &&
          cols.result == 0 && zel::Invoke<zel::IMAPITABLE_QueryRows>(t, {table.hTable, 100, 0}, rows) == RPC_S_OK &&
          rows.result == 0) {
        std::vector<BYTE> data = Block(t, rows.cb, rows.hBuffer, rows.inlineData);
        MarshalReader rr(data.data(), data.size());
        LPSRowSet set = nullptr;
        if (SUCCEEDED(codec.ReadRowSet(rr, nullptr, &set))) {
          std::printf("Folders of the IPM subtree:\n");
          for (ULONG i = 0; set && i < set->cRows; ++i) {
            const SPropValue& v = set->aRow[i].lpProps[0];
            std::printf("  %s\n", PROP_TYPE(v.ulPropTag) == PT_STRING8 ? v.Value.lpszA : "?");
          }
          rc = 0;
        }
        if (set) FreeProws(set);
      }
      if (rc != 0)
        std::printf("Listing the folders failed (root folder %d: 0x%08X, hierarchy table %d: 0x%08X)\n",
                    root.hNewObject, static_cast<unsigned>(root.result), table.hTable,
                    static_cast<unsigned>(table.result));
    } else {
      std::printf("Reading PR_IPM_SUBTREE_ENTRYID failed: 0x%08X\n", static_cast<unsigned>(props.result));
    }
    MAPIFreeBuffer(values);
  }
  zel::FreeHObject::Reply freed{};
  zel::Invoke<zel::FreeHObject>(t, {h}, freed);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = argc > 1 ? argv[1] : "127.0.0.1";
  std::string endpoint = rpc::DefaultEndpoint();
  char* binding_text = nullptr;
  RPC_BINDING_HANDLE binding = nullptr;
  RPC_STATUS st = RpcStringBindingCompose(nullptr, "ncacn_ip_tcp", host.c_str(), endpoint.c_str(), nullptr,
                                          &binding_text);
  if (st == RPC_S_OK) st = RpcBindingFromStringBinding(binding_text, &binding);
  if (st != RPC_S_OK) {
    std::fprintf(stderr, "zelping: no binding for %s[%s]: %d\n", host.c_str(), endpoint.c_str(), st);
    return 2;
  }
  auto transport = zel::RpcTransport(binding);

  zel::Reserved117::Request ping{};
  zel::Reserved117::Reply pong{};
  st = zel::Invoke<zel::Reserved117>(transport, ping, pong);
  if (st != RPC_S_OK) {
    const char* name = rpc::RpcStatusName(st);
    std::fprintf(stderr, "zelping: %s: RPC error %d (%s)\n", binding_text, st, name ? name : "?");
    return 1;
  }
  std::printf("ZelServer at %s answers: operation 117 -> %d, %d, %d\n", binding_text, pong.value1, pong.value2,
              pong.value3);

  zel::Tarnix_AdminLogon::Request logon{};
  logon.userName = argc > 2 ? argv[2] : "demo";
  logon.password = argc > 3 ? argv[3] : "";
  logon.workstation = ComputerName();
  zel::Tarnix_AdminLogon::Reply session{};
  if (zel::Invoke<zel::Tarnix_AdminLogon>(transport, logon, session) == RPC_S_OK) {
    std::printf("Administrative logon as \"%s\" -> %d (0x%08X)\n", logon.userName.c_str(), session.result,
                static_cast<unsigned>(session.result));
  }
  int rc = 0;
  if (argc > 3) {
    zel::Tarnix_Logon::Request mailbox{};
    mailbox.userName = argv[2];
    mailbox.password = argv[3];
    mailbox.profile = argc > 5 ? argv[4] : "mailbox_" + mailbox.userName;
    mailbox.storeName = argc > 5 ? argv[5] : "Mailbox - " + mailbox.userName;
    mailbox.workstation = ComputerName();
    rc = Mailbox(transport, mailbox);
  }
  RpcStringFree(&binding_text);
  RpcBindingFree(&binding);
  return rc;
}
