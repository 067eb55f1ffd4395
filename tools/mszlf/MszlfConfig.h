// A Vantrel service's configuration as it sits in a provider section of
// the profile, and the store entry ID made from it.
#pragma once

#include <string>
#include <vector>

#include "platform/mapi/MapiInterfaces.h"

namespace vantrel::mszlf {

struct Config {
  std::string server, profile, store, login, password, display;
  std::vector<BYTE> store_uid;  // 16 bytes once known

  // "server(profile)(store)", the connection string of the dialog.
  std::string Connection() const;
  // Takes server, profile and store from a connection string; a fourth
  // field is ignored, a missing one leaves the value as it is.
  void SetConnection(const std::string& text);
  bool Complete() const { return !server.empty() && !profile.empty() && !store.empty() && !login.empty(); }
  // The provider's entry ID of the store (see MszlfProps.h).
  std::vector<BYTE> StoreEntryID() const;
};

// Reads what a section holds; missing values stay empty.
HRESULT ReadConfig(IMAPIProp* section, Config* out);
// Takes the configuration properties among `props` (the service's own and
// PR_DISPLAY_NAME) into `config`.
void ApplyProps(ULONG count, const SPropValue* props, Config* config);
// Writes the configuration with the store's PR_ENTRYID, PR_MDB_PROVIDER
// and PR_DISPLAY_NAME.
HRESULT WriteConfig(IMAPIProp* section, const Config& config);

}  // namespace vantrel::mszlf
