// Property dumps for the trace: value arrays, tag arrays and rows, one line
// each, written only while a monitor is attached. An exception inside a dump
// ends the dump and nothing else.
#pragma once

#include "platform/mapi/MapiDefs.h"

namespace vantrel::server {

// "  SPropValue[%d %x(%s)] = %s" per value, the text cut to 200 characters.
void TracePropValues(const SPropValue* values, ULONG count);
// "SPropTagArray.cValues = %d", then one line per tag.
void TraceTagArray(const SPropTagArray* tags);
// "  Row %d", then "    Col %d (%x %s) = %s" per column.
void TraceRowSet(const SRowSet* rows);

}  // namespace vantrel::server
