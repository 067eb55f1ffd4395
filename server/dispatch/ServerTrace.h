// The server's trace, log and name lookups. Trace lines go to an attached
// monitor (a sink) and are dropped without one; log records also go to
// "zelServer.log" in the current directory.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/base/HResult.h"
#include "platform/base/WinTypes.h"

namespace vantrel::server {

// Receives each finished trace line ("ZelServer: " and the text). Called
// synchronously on the tracing thread; must not call back into the trace.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  virtual void Send(std::string_view line) = 0;
};

// Attaches the monitor (nullptr detaches it). The sink must stay alive
// until it is detached; detaching waits for calls in progress.
void SetTraceSink(TraceSink* sink);
// Detaches `sink` if it is still the one attached.
void DetachTraceSink(TraceSink* sink);
// Whether a monitor is attached; the object classes skip their property
// and row dumps without one.
bool TraceAttached();

// printf-style; the text is cut to 511 characters. Arguments are never
// read as formats, so a '%' in an argument is printed as it is.
void ServerTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void ServerLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens "zelServer.log" in the current directory for appending; false when
// it cannot be opened (the log then goes to the monitor only).
bool OpenLog();
void CloseLog();

// The log record for `text` at `when`: "%d.%d.%d %d:%d:%d %s" with the UTC
// day, month, year, hour, minute, second.
std::string FormatLogRecord(std::time_t when, std::string_view text);

// "" for 0, the table name of a MAPI or socket code, else "Unknown Error %x".
std::string MapiErrorName(HRESULT code);
// The first name of the tag in the property-name table, else "%x".
std::string PropTagName(ULONG tag);
// The tag of the first entry named exactly `name`, else 0.
ULONG PropTagFromName(std::string_view name);

// Formats like ServerTrace into at most 511 characters.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vantrel::server
