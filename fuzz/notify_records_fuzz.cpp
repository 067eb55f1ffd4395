// Reads arbitrary blocks as the client reads a polled notification block:
// entry by entry, each notification decoded and freed. Every entry the
// reader hands out lies inside the block.
#include <cstdint>
#include <cstdlib>

#include "platform/mapi/MapiMemory.h"
#include "platform/win/MessageBox.h"
#include "protocol/MapiMarshal.h"
#include "protocol/NotifyRecords.h"

using namespace vantrel::zel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    vantrel::win::SetMessageBoxHandler([](const vantrel::win::MessageBoxRecord&) { return IDOK; });
    return true;
  }();
  (void)quiet;
  static CMapiMarshal codec;
  NotifyRecordReader reader(std::span<const BYTE>(data, size));
  NotifyRecord record;
  size_t seen = 0;
  while (reader.Next(record)) {
    if (record.data.data() < data || record.data.data() + record.data.size() > data + size) std::abort();
    seen += 36 + record.data.size();
    if (seen > size) std::abort();
    MarshalReader r(record.data);
    LPNOTIFICATION n = nullptr;
    if (codec.ReadNotification(r, nullptr, &n) == S_OK) MAPIFreeBuffer(n);
  }
  return 0;
}
