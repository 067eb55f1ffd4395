// Between a MAPI message and its MIME form.
#pragma once

#include "platform/mapi/MapiInterfaces.h"
#include "tools/zelmapi/Mime.h"

namespace zelmapi {

MimeMessage LoadMime(IMessage* m);
void StoreMime(IMAPIFolder* folder, const MimeMessage& m);

}  // namespace zelmapi
