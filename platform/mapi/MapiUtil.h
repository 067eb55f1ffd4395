// The MAPI utility functions the system calls: copying property values,
// freeing row sets and address lists, one-property shortcuts and advise
// sinks that call back a function.
#pragma once

#include <functional>

#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/MapiMemory.h"

// Bytes that ScCopyProps needs for the values and everything they point to.
SCODE ScCountProps(int c_values, LPSPropValue rgprops, ULONG* pcb);
// Copies the values into the one buffer pv_dst (at least ScCountProps
// bytes); pcb (may be null) receives the bytes used.
SCODE ScCopyProps(int c_values, LPSPropValue rgprops, LPVOID pv_dst, ULONG* pcb);
// Deep copy of one value; its data is chained to `object` with allocate_more.
SCODE PropCopyMore(LPSPropValue dst, LPSPropValue src, LPALLOCATEMORE allocate_more, LPVOID object);
// Every value array of the rows, then the set itself.
void FreeProws(LPSRowSet rows);
void FreePadrlist(LPADRLIST list);
// The value of one property; a property the object lacks is an error result
// (MAPI_E_NOT_FOUND or the error the object reported for it).
HRESULT HrGetOneProp(LPMAPIPROP prop, ULONG tag, LPSPropValue* value);
HRESULT HrSetOneProp(LPMAPIPROP prop, LPSPropValue value);
// The value with this tag; a tag of type PT_UNSPECIFIED matches by id.
LPSPropValue PpropFindProp(LPSPropValue props, ULONG c_values, ULONG tag);

using NOTIFCALLBACK = LONG(LPVOID context, ULONG c_notifications, LPNOTIFICATION notifications);
using LPNOTIFCALLBACK = NOTIFCALLBACK*;
// A sink whose OnNotify calls `callback(context, count, notifications)`.
HRESULT HrAllocAdviseSink(LPNOTIFCALLBACK callback, LPVOID context, LPMAPIADVISESINK* sink);
// The same with any callable.
HRESULT HrAllocAdviseSink(std::function<ULONG(ULONG, LPNOTIFICATION)> callback, LPMAPIADVISESINK* sink);
