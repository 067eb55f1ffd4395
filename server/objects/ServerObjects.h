// The factory behind the registry's CreateObject (which class serves which
// object type is the table ZEL_CREATABLE_OBJECT_TYPES), and its installation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "server/dispatch/ServerClasses.h"

namespace vantrel::server {

struct ServerObjectOptions {
  // The configuration's EnableMS: remote submission is refused while it
  // answers false (or is not set).
  std::function<bool()> enable_ms;
};

// The object for `object_type`, nullptr for a type that makes nothing.
std::shared_ptr<CServerClass> MakeServerObject(std::int32_t object_type, const ServerObjectOptions& options);

// Sets the registry's object factory to MakeServerObject.
void InstallServerObjects(CServerClasses& registry, ServerObjectOptions options);

}  // namespace vantrel::server
