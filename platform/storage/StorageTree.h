// The tree behind a memory storage, shared by the storage objects and the
// codecs that persist it. Internal to platform/storage.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/Guid.h"
#include "platform/base/HResult.h"
#include "platform/base/WinTypes.h"
#include "platform/storage/StreamBase.h"

namespace vantrel::storage {

// The bytes of a stream, shared by the stream, its clones and the storage
// that holds it. Direct: a write is in the bytes at once.
class Bytes : public StreamData {
 public:
  std::vector<BYTE> data GUARDED_BY(mu);

  HRESULT ReadAt(ULONGLONG pos, BYTE* out, ULONG cb, ULONG* got) override REQUIRES(mu);
  HRESULT WriteAt(ULONGLONG pos, const BYTE* in, ULONG cb) override REQUIRES(mu);
  ULONGLONG Size() override REQUIRES(mu) { return data.size(); }
  HRESULT Resize(ULONGLONG size) override REQUIRES(mu);
};

// Element names compare as the compound file compares them: each UTF-16
// unit upper-cased, so "Contents" and "CONTENTS" name one element.
char16_t UpperNameUnit(char16_t c);
struct NameLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const;
};

struct Node {
  std::map<std::u16string, std::shared_ptr<Bytes>, NameLess> streams;
  std::map<std::u16string, std::shared_ptr<Node>, NameLess> storages;
  CLSID clsid{};
  DWORD state = 0;
  FILETIME ctime{};
  FILETIME mtime{};
};

// The compound file image of a tree (version 3, 512-byte sectors).
// STG_E_DOCFILETOOLARGE when a stream does not fit that version.
HRESULT WriteCompoundFile(const Node& root, std::vector<BYTE>& out);

// Reads a compound file image (version 3 or 4) into `root`. Every count,
// sector number and chain is checked before it is followed or allocated:
// STG_E_INVALIDHEADER for a header that is not one, STG_E_DOCFILECORRUPT
// for anything inconsistent behind it.
HRESULT ReadCompoundFile(const BYTE* data, size_t size, Node& root);

inline constexpr BYTE kCompoundFileMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

}  // namespace vantrel::storage
