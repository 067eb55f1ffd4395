// The MAPI platform headers the wrappers are written against.
#pragma once

#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/MapiTags.h"
// The memory and utility functions (MAPIAllocateBuffer, PropCopyMore,
// HrGetOneProp, HrQueryAllRows, FreeProws, CreateTable) come with the
// platform's utility header, added here when it lands.
