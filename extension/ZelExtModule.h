// What the extension objects need from their module: the resource library
// setting, the menu item's text and the installer.
#pragma once

#include <cstddef>

#include "platform/mapi/ExchExt.h"

namespace vantrel::ext {

// Rereads "ResouceDLLVantrelConfig" and loads the library it names, if any.
void ReloadResourceLibrary();

// The menu item's text (string 2 of the resource library or our own).
void MenuItemText(char* out, std::size_t size);

// Opens the service installer modally over `owner` on `session`.
HRESULT RunInstaller(HWND owner, LPMAPISESSION session);

}  // namespace vantrel::ext
