#include "client/StoreId.h"

#include <cstring>

#include "client/ClientCall.h"
#include "platform/base/Guid.h"
#include "protocol/ZelStubs.h"

namespace vantrel::client {

StoreIdText ParseStoreIdText(const char* text) {
  StoreIdText out;
  if (!text) return out;
  std::string fields[3];
  int field = 0;      // 0 server, 1 profile, 2 store, 3+ ignored
  bool open = true;   // characters belong to the current field
  for (const char* p = text; *p; ++p) {
    if (*p == '(') {
      ++field;
      open = true;
    } else if (*p == ')') {
      open = false;
    } else if (open && field < 3) {
      fields[field] += *p;
    }
  }
  std::string server = fields[0].substr(0, fields[0].find_first_of(" \t"));
  if (!server.empty()) out.server = server;
  if (!fields[1].empty()) out.profile = fields[1];
  if (!fields[2].empty()) out.store = fields[2];
  return out;
}

}  // namespace vantrel::client

// Export (ordinal 6): the 16-byte identifier the server keeps for the store
// that `text` ("server(profile)(store)") names.
extern "C" HRESULT CreateStoreID(const char* text, unsigned char* uid) {
  using namespace vantrel::client;
  StoreIdText ids = ParseStoreIdText(text);
  if (RPC_STATUS st = InitClient(ids.server.c_str(), nullptr); st != RPC_S_OK) return st;
  vantrel::zel::Server_SetProfileGuid::Request in;
  in.hObject = 0;
  in.profileName = ids.profile;
  in.storeDisplayName = ids.store;
  // The server keeps the first identifier it is offered for a store: offer
  // a new one, so no store is known by zeros or by what the caller's buffer
  // happened to hold.
  in.guid = vantrel::GuidToBytes(vantrel::NewGuid());
  vantrel::zel::Server_SetProfileGuid::Reply out;
  HRESULT hr = CallRemote<vantrel::zel::Server_SetProfileGuid>(CurrentBinding(), in, out);
  if (uid && hr == S_OK) std::memcpy(uid, out.guid.data(), 16);
  return hr;
}
