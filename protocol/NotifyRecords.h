// Reading the block GetNotifyQuere answers: notification entries one after
// another, each a 36-byte header and the encoded notification. Every field
// is checked against the bytes that remain; a damaged entry ends the block.
#pragma once

#include <cstdint>
#include <span>

#include "platform/base/WinTypes.h"

namespace vantrel::zel {

struct NotifyRecord {
  ULONG count = 0;  // notifications the sender says the entry holds
  ULONG event_mask = 0;
  ULONG connection = 0;
  ULONG object_key = 0;
  ULONG client_key = 0;
  std::span<const BYTE> data;  // the encoded notification, inside the block
};

class NotifyRecordReader {
 public:
  explicit NotifyRecordReader(std::span<const BYTE> block) : block_(block) {}

  // The next entry; false at the end of the block or at a damaged entry
  // (Damaged() tells which).
  bool Next(NotifyRecord& out);
  bool Damaged() const { return damaged_; }

 private:
  std::span<const BYTE> block_;
  size_t offset_ = 0;
  bool damaged_ = false;
};

}  // namespace vantrel::zel
