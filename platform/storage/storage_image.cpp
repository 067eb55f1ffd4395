// Writes a sample storage tree to a file in the layout storages persist in,
// so other readers of that layout can be checked against it:
//   storage_image OUT
// The tree: CLSID and state bits on the root and on "Sub"; streams of 0, 5,
// 4095, 4096 and 10000 bytes whose byte i is (i * 7 + size) & 0xff; "Sub"
// holding "Inner" ("inner data") and an empty storage "Deep"; "Sub" made
// on 2020-01-02 and changed on 2021-03-04 (UTC midnight).
#include <cstdio>
#include <string>
#include <vector>

#include "platform/storage/MemoryStream.h"

using namespace vantrel::storage;

namespace {

constexpr CLSID kRootClass = {0x00020906, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr CLSID kSubClass = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};

bool Put(IStorage* stg, const std::u16string& name, const std::vector<BYTE>& data) {
  vantrel::ComPtr<IStream> s;
  if (FAILED(stg->CreateStream(name.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out()))) return false;
  return SUCCEEDED(s->Write(data.data(), static_cast<ULONG>(data.size()), nullptr));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: storage_image OUT\n");
    return 2;
  }
  std::vector<BYTE> image;
  vantrel::ComPtr<IStorage> root;
  HRESULT hr = CreateMemoryStorage(
      {}, true,
      [&image](const std::vector<BYTE>& b) {
        image = b;
        return S_OK;
      },
      root.Out());
  bool ok = SUCCEEDED(hr);
  for (size_t n : {0, 5, 4095, 4096, 10000}) {
    std::vector<BYTE> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<BYTE>(i * 7 + n);
    std::string name = "s" + std::to_string(n);
    ok = ok && Put(root.get(), std::u16string(name.begin(), name.end()), data);
  }
  vantrel::ComPtr<IStorage> sub, deep;
  ok = ok && SUCCEEDED(root->CreateStorage(u"Sub", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, sub.Out()));
  ok = ok && Put(sub.get(), u"Inner", std::vector<BYTE>{'i', 'n', 'n', 'e', 'r', ' ', 'd', 'a', 't', 'a'});
  ok = ok && SUCCEEDED(sub->CreateStorage(u"Deep", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, deep.Out()));
  ok = ok && SUCCEEDED(root->SetClass(kRootClass)) && SUCCEEDED(root->SetStateBits(0x55, 0xFF));
  ok = ok && SUCCEEDED(sub->SetClass(kSubClass)) && SUCCEEDED(sub->SetStateBits(0xA0A0, 0xFFFF));
  // 100-ns ticks since 1601 at 2020-01-02 and 2021-03-04, 00:00 UTC.
  FILETIME made = QuadToFileTime(132223968000000000ULL), changed = QuadToFileTime(132592896000000000ULL);
  ok = ok && SUCCEEDED(root->SetElementTimes(u"Sub", &made, nullptr, &changed));
  ok = ok && SUCCEEDED(root->Commit(STGC_DEFAULT));
  if (!ok) {
    std::fprintf(stderr, "storage_image: building the tree failed\n");
    return 1;
  }
  FILE* f = std::fopen(argv[1], "wb");
  if (!f || std::fwrite(image.data(), 1, image.size(), f) != image.size() || std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
