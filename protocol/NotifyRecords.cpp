#include "protocol/NotifyRecords.h"

#include "protocol/NotifyQueue.h"

namespace vantrel::zel {

namespace {
ULONG Le32(const BYTE* p) {
  return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16) |
         (static_cast<ULONG>(p[3]) << 24);
}
}  // namespace

bool NotifyRecordReader::Next(NotifyRecord& out) {
  if (damaged_ || offset_ == block_.size()) return false;
  size_t remaining = block_.size() - offset_;
  const BYTE* p = block_.data() + offset_;
  if (remaining < kNotifyEntryHeader) {
    damaged_ = true;
    return false;
  }
  ULONG length = Le32(p + 4);
  // Both copies of the length agree and the bytes are there; the leading
  // word is always 1.
  if (Le32(p) != 1 || Le32(p + 32) != length || length > remaining - kNotifyEntryHeader) {
    damaged_ = true;
    return false;
  }
  out.count = Le32(p + 12);
  out.event_mask = Le32(p + 16);
  out.connection = Le32(p + 20);
  out.object_key = Le32(p + 24);
  out.client_key = Le32(p + 28);
  out.data = block_.subspan(offset_ + kNotifyEntryHeader, length);
  offset_ += kNotifyEntryHeader + length;
  return true;
}

}  // namespace vantrel::zel
