// Icons loaded from resources: LoadIcon gives a handle, and the handle
// keeps the bytes of the resource it came from (the image a front end
// draws; the program's icons are PNG files compiled in as ICON resources).
#pragma once

#include <string>

#include "platform/win/WinUser.h"

namespace vantrel::win {

// The resource bytes of an icon LoadIcon made from a resource; false for a
// system icon (IDI_*) or a handle LoadIcon never gave.
bool IconImage(HICON icon, std::string* bytes);

}  // namespace vantrel::win
