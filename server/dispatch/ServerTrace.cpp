#include "server/dispatch/ServerTrace.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/ThreadAnnotations.h"

namespace vantrel::server {
namespace {

constexpr std::size_t kTextMax = 511;

SharedMutex g_sink_mu;
TraceSink* g_sink GUARDED_BY(g_sink_mu) = nullptr;
// Whether g_sink is set, read without the lock: a call traces a dozen lines
// and more, none of which is formatted while nobody listens. A line begun
// just before a monitor attaches is dropped, as if traced before.
std::atomic<bool> g_attached{false};

Mutex g_log_mu;
std::FILE* g_log GUARDED_BY(g_log_mu) = nullptr;

std::string VFormat(const char* format, va_list ap) {
  char buf[kTextMax + 1];
  int n = std::vsnprintf(buf, sizeof buf, format, ap);
  if (n < 0) return std::string();
  return std::string(buf, std::min<std::size_t>(static_cast<std::size_t>(n), kTextMax));
}

void SendToMonitor(const std::string& text) {
  ReaderLock lock(g_sink_mu);
  if (!g_sink) return;
  std::string line = "ZelServer: ";
  line += text;
  g_sink->Send(line);
}

// The codes the trace names, from the platform's code tables: MAPI's own
// codes from MAPI_E_NO_SUPPORT to MAPI_E_AMBIGUOUS_RECIP (warnings
// included), and the Windows Sockets codes from WSAEINTR to WSAEDISCON and
// from WSAHOST_NOT_FOUND to WSANO_RECOVERY.
bool NamedInTrace(std::uint32_t code) {
  std::uint32_t facility = code >> 16, number = code & 0xFFFF;
  if ((facility == 0x8004 || facility == 0x0004) && number >= 0x0102 && number <= 0x0700) return true;
  return (code >= 10004 && code <= 10101) || (code >= 11001 && code <= 11003);
}

struct PropName {
  std::string_view name;
  std::uint32_t tag;
};
// The platform's tag table in name order: where several names share a tag,
// the first of them in that order names it.
const std::vector<PropName>& PropNames() {
  static const std::vector<PropName> names = [] {
    std::vector<PropName> v = {
#define VANTREL_PROP(name, tag) {#name, tag},
#include "platform/mapi/MapiTags.inc"
#undef VANTREL_PROP
    };
    std::stable_sort(v.begin(), v.end(), [](const PropName& a, const PropName& b) { return a.name < b.name; });
    return v;
  }();
  return names;
}

}  // namespace

void SetTraceSink(TraceSink* sink) {
  WriterLock lock(g_sink_mu);
  g_sink = sink;
  g_attached.store(sink != nullptr, std::memory_order_release);
}

void DetachTraceSink(TraceSink* sink) {
  WriterLock lock(g_sink_mu);
  if (g_sink != sink) return;
  g_sink = nullptr;
  g_attached.store(false, std::memory_order_release);
}

bool TraceAttached() { return g_attached.load(std::memory_order_acquire); }

std::string FormatText(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = VFormat(format, ap);
  va_end(ap);
  return text;
}

void ServerTrace(const char* format, ...) {
  if (!TraceAttached()) return;
  va_list ap;
  va_start(ap, format);
  std::string text = VFormat(format, ap);
  va_end(ap);
  SendToMonitor(text);
}

std::string FormatLogRecord(std::time_t when, std::string_view text) {
  std::tm tm{};
  gmtime_r(&when, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%d.%d.%d %d:%d:%d ", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour,
                tm.tm_min, tm.tm_sec);
  std::string record = stamp;
  record += text;
  return record;
}

void ServerLog(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = VFormat(format, ap);
  va_end(ap);
  SendToMonitor(text);
  MutexLock lock(g_log_mu);
  if (!g_log) return;
  std::string record = FormatLogRecord(std::time(nullptr), text);
  std::fwrite(record.data(), 1, record.size(), g_log);
  std::fflush(g_log);
}

bool OpenLog() {
  MutexLock lock(g_log_mu);
  if (!g_log) g_log = std::fopen("zelServer.log", "a");
  return g_log != nullptr;
}

void CloseLog() {
  MutexLock lock(g_log_mu);
  if (g_log) std::fclose(g_log);
  g_log = nullptr;
}

std::string MapiErrorName(HRESULT code) {
  if (code == 0) return std::string();
  if (NamedInTrace(static_cast<std::uint32_t>(code)))
    if (const char* name = CodeName(code)) return name;
  // No system message texts exist for these codes on this platform.
  return FormatText("Unknown Error %x", static_cast<unsigned>(code));
}

std::string PropTagName(ULONG tag) {
  for (const auto& p : PropNames())
    if (p.tag == tag) return std::string(p.name);
  return FormatText("%x", static_cast<unsigned>(tag));
}

ULONG PropTagFromName(std::string_view name) {
  const auto& names = PropNames();
  auto it = std::lower_bound(names.begin(), names.end(), name,
                             [](const PropName& p, std::string_view n) { return p.name < n; });
  return it != names.end() && name == it->name ? it->tag : 0;
}

}  // namespace vantrel::server
