// The MAPI platform headers the wrappers are written against.
#pragma once

#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
// HrQueryAllRows and CreateTable arrive with the platform's tables; the
// table helpers and the user directory include their header then.
