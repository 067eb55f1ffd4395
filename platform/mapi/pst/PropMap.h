// Stored values of one object, the ids of the standard folders and the
// kinds of object the store keeps.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/mapi/MapiInterfaces.h"

namespace vantrel::mapi::pst {

using Bytes = std::vector<BYTE>;
// Stored properties of one object by property id: (stored type, bytes).
using PropMap = std::map<ULONG, std::pair<ULONG, Bytes>>;

// The provider's UID, first in the store's own entry ID.
inline constexpr BYTE kProviderUid[16] = {0x5a, 0x45, 0x4c, 0x50, 0x53, 0x54, 0x01, 0x00,
                                          0x9b, 0x31, 0x6e, 0x2d, 0x44, 0x1c, 0xa7, 0x10};

inline constexpr ULONG DELETE_HARD_DELETE = 0x00000010;
inline constexpr ULONG SHOW_SOFT_DELETES = 0x00000002;

// Object ids of the standard folder tree.
enum : int64_t { kRoot = 1, kIpmSubtree = 2, kInbox = 3, kOutbox = 4, kSent = 5, kDeleted = 6, kSearchRoot = 7 };

// What a row of `objects` is (objects.kind): the MAPI object type.
// Attachments and recipients hang off their message.
enum class Kind : ULONG {
  kFolder = MAPI_FOLDER,
  kMessage = MAPI_MESSAGE,
  kAttachment = MAPI_ATTACH,
  kRecipient = MAPI_MAILUSER,
};

inline void SetString(PropMap& m, ULONG tag, const std::string& utf8) {
  m[PROP_ID(tag)] = {PT_UNICODE, Bytes(utf8.begin(), utf8.end())};
}
inline void SetLong(PropMap& m, ULONG tag, LONG v) {
  Bytes b(4);
  std::memcpy(b.data(), &v, 4);
  m[PROP_ID(tag)] = {PT_LONG, b};
}
inline LONG GetLong(const PropMap& m, ULONG tag, LONG def = 0) {
  auto it = m.find(PROP_ID(tag));
  if (it == m.end() || it->second.first != PT_LONG || it->second.second.size() != 4) return def;
  LONG v;
  std::memcpy(&v, it->second.second.data(), 4);
  return v;
}

}  // namespace vantrel::mapi::pst
