#include "server/objects/ServerObjects.h"

#include "server/objects/ServerIMAPIFolder.h"
#include "server/objects/ServerIMAPIProp.h"
#include "server/objects/ServerIMessage.h"
#include "server/objects/ServerIMsgStore.h"
#include "server/objects/ServerIMapiTable.h"
#include "server/objects/ServerIStorage.h"
#include "server/objects/ServerIStream.h"

namespace vantrel::server {

std::shared_ptr<CServerClass> MakeServerObject(std::int32_t object_type, const ServerObjectOptions& options) {
  switch (object_type) {
    case MAPI_STORE:
      return std::make_shared<CServerIMsgStore>();
    case MAPI_FOLDER:
      return std::make_shared<CServerIMAPIFolder>();
    case MAPI_MESSAGE:
      return std::make_shared<CServerIMessage>(options);
    case MAPI_ATTACH:
      return std::make_shared<CServerIMAPIProp>();
    case kMapiTable:
      return std::make_shared<CServerIMapiTable>();
    case kMapiStream:
      return std::make_shared<CServerIStream>();
    case kMapiStorage:
      return std::make_shared<CServerIStorage>();
    default:
      return nullptr;
  }
}

void InstallServerObjects(CServerClasses& registry, ServerObjectOptions options) {
  registry.SetObjectFactory(
      [options = std::move(options)](std::int32_t object_type) { return MakeServerObject(object_type, options); });
}

}  // namespace vantrel::server
