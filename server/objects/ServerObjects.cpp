#include "server/objects/ServerObjects.h"

#include <type_traits>

#include "server/objects/ServerIMAPIFolder.h"
#include "server/objects/ServerIMAPIProp.h"
#include "server/objects/ServerIMessage.h"
#include "server/objects/ServerIMsgStore.h"
#include "server/objects/ServerIMapiTable.h"
#include "server/objects/ServerIStorage.h"
#include "server/objects/ServerIStream.h"

namespace vantrel::server {

namespace {

template <class T>
std::shared_ptr<CServerClass> Make(const ServerObjectOptions& options) {
  if constexpr (std::is_constructible_v<T, const ServerObjectOptions&>)
    return std::make_shared<T>(options);
  else
    return std::make_shared<T>();
}

}  // namespace

std::shared_ptr<CServerClass> MakeServerObject(std::int32_t object_type, const ServerObjectOptions& options) {
#define ZEL_MAKE_CASE(type, cls) \
  if (object_type == (type)) return Make<cls>(options);
  ZEL_CREATABLE_OBJECT_TYPES(ZEL_MAKE_CASE)
#undef ZEL_MAKE_CASE
  return nullptr;
}

void InstallServerObjects(CServerClasses& registry, ServerObjectOptions options) {
  registry.SetObjectFactory(
      [options = std::move(options)](std::int32_t object_type) { return MakeServerObject(object_type, options); });
}

}  // namespace vantrel::server
