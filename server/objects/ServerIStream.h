// CServerIStream: a COM stream served by handle (property streams,
// attachment data, the streams of a storage).
#pragma once

#include "platform/storage/ObjIdl.h"
#include "protocol/ZelWire.h"
#include "server/dispatch/ServerClass.h"

namespace vantrel::server {

// The element record of the wire from a STATSTG: the name (when asked) as
// the low byte of each UTF-16 unit, at most 61 characters and a NUL; the
// other fields as they are.
void FillStatRecord(const STATSTG& stat, bool with_name, zel::wire::StatStg& record);

class CServerIStream : public CServerClass {
 public:
  CServerIStream() : CServerClass(kIStream) {}

  const char* Name() const override { return "IStream"; }
  // Takes a reference of its own (QueryInterface to IStream); the creator
  // keeps, and releases, the one its opening call gave it.
  void SetMapiObject(IUnknown* object) override;
  // Releases the stream; uncommitted changes are lost.
  void Destroy() override;

#define ZEL_STREAM_OPERATIONS(X)                                                                       \
  X(ISTREAM_Clone) X(ISTREAM_Commit) X(ISTREAM_LockRegion) X(ISTREAM_Write)                              \
  X(ISTREAM_Revert) X(ISTREAM_Seek) X(ISTREAM_SetSize) X(ISTREAM_Stat) X(ISTREAM_UnlockRegion)
#define ZEL_DECLARE_STREAM_OPERATION(op) HRESULT op(const zel::op::Request& in, zel::op::Reply& out) override;
  ZEL_STREAM_OPERATIONS(ZEL_DECLARE_STREAM_OPERATION)
#undef ZEL_DECLARE_STREAM_OPERATION
#undef ZEL_STREAM_OPERATIONS
  HRESULT ISTREAM_Read(std::uint8_t* into, std::uint32_t want, std::uint32_t* got) override;

 private:
  ComPtr<IStream> stream_ GUARDED_BY(lock);
};

}  // namespace vantrel::server
