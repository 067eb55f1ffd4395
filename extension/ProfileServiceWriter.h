// Writes a Vantrel service straight into a profile's registry sections,
// for when MAPI's service administration refuses to create it.
#pragma once

#include <string>

#include "platform/base/Guid.h"
#include "platform/base/HResult.h"
#include "platform/registry/Registry.h"

namespace vantrel::ext {

// Section key name of a UID: "%02x" per byte in memory order.
std::string SectionName(const GUID& uid);

// The key of `profile` under the current user's first profile root that
// has it, or "" when neither does.
std::string FindProfileKey(const std::string& profile);

// Writes the service and provider sections under `profile_key` (a path
// under the current user), then appends their UIDs to the profile's global
// lists. Returns ERROR_SUCCESS, or the first failing status with nothing
// left behind. A profile without both global lists gets nothing, and
// `message` says why.
LSTATUS WriteZelService(const std::string& profile_key, GUID* service_uid, GUID* provider_uid,
                        std::string* message);

}  // namespace vantrel::ext
