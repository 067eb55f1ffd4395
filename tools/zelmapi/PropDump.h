// Every property of an object with its tag name and type, for `read --props`.
#pragma once

#include <string>

#include "platform/mapi/MapiInterfaces.h"

namespace zelmapi {

// The published name of a tag ("PR_SUBJECT"), or empty.
std::string TagName(ULONG tag);
// One line per property: tag, name, type, value (UTF-8; binaries in hex,
// cut after 64 bytes with their length).
std::string DumpProps(IMAPIProp* object, bool json);

}  // namespace zelmapi
