// MAPI memory: a buffer from MAPIAllocateBuffer owns every block that
// MAPIAllocateMore chained to it, and MAPIFreeBuffer releases them together.
#pragma once

#include "platform/mapi/MapiDefs.h"

SCODE MAPIAllocateBuffer(ULONG cb_size, LPVOID* lpp_buffer);
// Chains a block to `object`, which must come from MAPIAllocateBuffer (or
// be itself a chained block: the new one then joins the same root).
SCODE MAPIAllocateMore(ULONG cb_size, LPVOID object, LPVOID* lpp_buffer);
// Frees a root block and everything chained to it. Null is fine; a chained
// block passed here is left to its root.
ULONG MAPIFreeBuffer(LPVOID buffer);
