// The MAPI platform headers the wrappers are written against.
#pragma once

#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"
