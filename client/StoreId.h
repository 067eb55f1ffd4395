// CreateStoreID's connection text "server(profile)(store)" and its defaults.
#pragma once

#include <string>

#include "platform/base/HResult.h"

namespace vantrel::client {

inline constexpr char kDefaultStoreServer[] = "127.0.0.1";
inline constexpr char kDefaultStoreProfile[] = "Vantrel";
inline constexpr char kDefaultStoreName[] = "Mail Archive";

struct StoreIdText {
  std::string server = kDefaultStoreServer;
  std::string profile = kDefaultStoreProfile;
  std::string store = kDefaultStoreName;
};

// Each "(" starts the next field, each ")" ends one; a fourth field and
// text outside parentheses after the server are ignored; an absent or empty
// field keeps its default. The server is cut at its first blank.
StoreIdText ParseStoreIdText(const char* text);

}  // namespace vantrel::client

// Export (ordinal 6): the 16-byte identifier the server keeps for the store
// that `text` names, written to `uid`; the operation's result.
extern "C" HRESULT CreateStoreID(const char* text, unsigned char* uid);
