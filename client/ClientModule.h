// Start-up of the zelclient module: the user-interface language and the
// library that holds the module's dialogs and strings.
#pragma once

#include <string>

#include "platform/base/WinTypes.h"
#include "platform/win/WinUser.h"

namespace vantrel::client {

// Runs the start-up once (later calls do nothing): reads "Lang" under the
// current user's product key into the thread locale and loads the resource
// library named by "ResouceDLLZelclient", if any. The module's load runs it.
void ClientModuleStartup();

// The library that holds the module's dialogs and strings: the resource
// library when one loaded, else zelclient itself.
HINSTANCE ClientResources();

// String resource `id` of ClientResources() in the thread's language
// (empty when there is none).
std::string ClientString(UINT id);

}  // namespace vantrel::client
