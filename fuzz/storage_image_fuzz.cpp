// Opens arbitrary bytes as a persisted storage image (either layout). Where
// one opens, every stream is read through the interface, the tree is saved
// again, and the saved image must open and save to the very same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/storage/MemoryStream.h"

using namespace vantrel::storage;

namespace {

void Touch(IStorage* stg, int depth) {
  vantrel::ComPtr<IEnumSTATSTG> e;
  if (FAILED(stg->EnumElements(0, nullptr, 0, e.Out()))) std::abort();
  STATSTG st;
  ULONG n;
  while (e->Next(1, &st, &n) == S_OK && n == 1) {
    if (st.type == STGTY_STREAM) {
      vantrel::ComPtr<IStream> s;
      if (FAILED(stg->OpenStream(st.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, s.Out()))) std::abort();
      BYTE buf[4096];
      ULONG got;
      ULONGLONG total = 0;
      while (s->Read(buf, sizeof(buf), &got) == S_OK && got) total += got;
      if (total != st.cbSize.QuadPart) std::abort();
    } else if (depth < 70) {
      vantrel::ComPtr<IStorage> sub;
      if (FAILED(stg->OpenStorage(st.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, sub.Out())))
        std::abort();
      Touch(sub.get(), depth + 1);
    }
    CoTaskMemFree(st.pwcsName);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<BYTE> image(data, data + size);
  vantrel::ComPtr<IStorage> stg;
  if (CreateMemoryStorage(image, false, nullptr, stg.Out()) != S_OK) return 0;
  Touch(stg.get(), 0);
  std::vector<BYTE> first, second;
  if (SerializeStorage(stg.get(), first) != S_OK) std::abort();
  vantrel::ComPtr<IStorage> again;
  if (CreateMemoryStorage(first, false, nullptr, again.Out()) != S_OK) std::abort();
  if (SerializeStorage(again.get(), second) != S_OK || second != first) std::abort();
  return 0;
}
