// Entry-ID translation between the server's view of a store and the store
// provider's: the store's own entry ID, and every ID that carries the
// store's UID, are rewritten from one form into the other. The rules are
// symmetric, so one function serves both directions.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "platform/base/WinTypes.h"

namespace vantrel::client {

struct StoreIdentity {
  std::vector<BYTE> server_entry_id;
  std::vector<BYTE> local_entry_id;
  std::array<BYTE, 16> server_uid{};
  std::array<BYTE, 16> local_uid{};
};

// Returns true and fills `out` when `id` must be rewritten; false when it
// stays as it is. Every comparison reads only bytes the ID has.
bool TranslateEntryId(const StoreIdentity& ids, std::span<const BYTE> id, std::vector<BYTE>& out);

// The same rules in one direction only: an ID in the provider's form
// becomes the server's, any other stays. Used to compare two IDs that may
// come in either form.
bool ToServerForm(const StoreIdentity& ids, std::span<const BYTE> id, std::vector<BYTE>& out);

}  // namespace vantrel::client
