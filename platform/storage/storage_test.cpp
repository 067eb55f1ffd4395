#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>

#include "platform/storage/MemoryStream.h"

using vantrel::ComPtr;
using namespace vantrel::storage;

namespace {

LARGE_INTEGER Li(LONGLONG v) {
  LARGE_INTEGER l;
  l.QuadPart = v;
  return l;
}
ULARGE_INTEGER Uli(ULONGLONG v) {
  ULARGE_INTEGER l;
  l.QuadPart = v;
  return l;
}

ComPtr<IStream> Stream(std::vector<BYTE> bytes, bool writable = true, CommitHook hook = nullptr) {
  ComPtr<IStream> s;
  EXPECT_EQ(CreateMemoryStream(std::move(bytes), writable, std::move(hook), s.Out()), S_OK);
  return s;
}

std::string ReadAll(IStream* s) {
  EXPECT_EQ(s->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
  std::string out;
  char buf[7];
  ULONG got;
  while (s->Read(buf, sizeof(buf), &got) == S_OK && got) out.append(buf, got);
  return out;
}

TEST(MemoryStream, SeekOriginsAndErrors) {
  auto s = Stream({'a', 'b', 'c', 'd', 'e'});
  struct Case {
    LONGLONG move;
    DWORD origin;
    HRESULT hr;
    ULONGLONG pos;  // position after the call
  } cases[] = {
      {2, STREAM_SEEK_SET, S_OK, 2},
      {1, STREAM_SEEK_CUR, S_OK, 3},
      {-1, STREAM_SEEK_END, S_OK, 4},
      {10, STREAM_SEEK_END, S_OK, 15},
      {-20, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 15},
      {0, 7, STG_E_INVALIDFUNCTION, 15},
      {-1, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION, 15},
  };
  for (const auto& c : cases) {
    ULARGE_INTEGER np = Uli(999);
    EXPECT_EQ(s->Seek(Li(c.move), c.origin, &np), c.hr) << c.move << " " << c.origin;
    ULARGE_INTEGER cur;
    ASSERT_EQ(s->Seek(Li(0), STREAM_SEEK_CUR, &cur), S_OK);
    EXPECT_EQ(cur.QuadPart, c.pos);
  }
  // Reading past the end gives nothing; writing there fills the gap with zeros.
  ULONG got = 9;
  char buf[4];
  EXPECT_EQ(s->Read(buf, 4, &got), S_OK);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(s->Seek(Li(7), STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(s->Write("Z", 1, nullptr), S_OK);
  EXPECT_EQ(ReadAll(s.get()), std::string("abcde\0\0Z", 8));
}

TEST(MemoryStream, SetSizeStatCloneCopyTo) {
  auto s = Stream({});
  ASSERT_EQ(s->Write("hello world", 11, nullptr), S_OK);
  ASSERT_EQ(s->SetSize(Uli(5)), S_OK);
  STATSTG st;
  ASSERT_EQ(s->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.pwcsName, nullptr);
  EXPECT_EQ(st.cbSize.QuadPart, 5u);
  EXPECT_EQ(st.type, STGTY_STREAM);
  ASSERT_EQ(s->Stat(&st, STATFLAG_DEFAULT), S_OK);
  ASSERT_NE(st.pwcsName, nullptr);  // the name of a free stream is empty, but allocated
  CoTaskMemFree(st.pwcsName);
  EXPECT_EQ(s->Stat(&st, 9), STG_E_INVALIDFLAG);

  // A clone shares the bytes and keeps its own position.
  ASSERT_EQ(s->Seek(Li(1), STREAM_SEEK_SET, nullptr), S_OK);
  ComPtr<IStream> c;
  ASSERT_EQ(s->Clone(c.Out()), S_OK);
  char b[2];
  ULONG got;
  ASSERT_EQ(c->Read(b, 2, &got), S_OK);
  EXPECT_EQ(std::string(b, 2), "el");
  ASSERT_EQ(s->Write("E", 1, nullptr), S_OK);
  EXPECT_EQ(ReadAll(c.get()), "hEllo");

  // CopyTo from the current position, bounded by cb.
  auto d = Stream({});
  ASSERT_EQ(s->Seek(Li(1), STREAM_SEEK_SET, nullptr), S_OK);
  ULARGE_INTEGER r, w;
  ASSERT_EQ(s->CopyTo(d.get(), Uli(3), &r, &w), S_OK);
  EXPECT_EQ(r.QuadPart, 3u);
  EXPECT_EQ(w.QuadPart, 3u);
  EXPECT_EQ(ReadAll(d.get()), "Ell");
  ASSERT_EQ(s->CopyTo(d.get(), Uli(1000), &r, &w), S_OK);
  EXPECT_EQ(r.QuadPart, 1u);
}

TEST(MemoryStream, ReadOnlyLocksAndCommitHook) {
  auto ro = Stream({'x'}, false);
  ULONG put = 7;
  EXPECT_EQ(ro->Write("y", 1, &put), STG_E_ACCESSDENIED);
  EXPECT_EQ(put, 0u);
  EXPECT_EQ(ro->SetSize(Uli(0)), STG_E_ACCESSDENIED);
  EXPECT_EQ(ro->Read(nullptr, 1, nullptr), STG_E_INVALIDPOINTER);

  EXPECT_EQ(ro->LockRegion(Uli(0), Uli(10), LOCK_EXCLUSIVE), S_OK);
  EXPECT_EQ(ro->LockRegion(Uli(5), Uli(10), LOCK_WRITE), STG_E_LOCKVIOLATION);
  EXPECT_EQ(ro->LockRegion(Uli(10), Uli(10), LOCK_WRITE), S_OK);
  EXPECT_EQ(ro->UnlockRegion(Uli(0), Uli(9), LOCK_EXCLUSIVE), STG_E_LOCKVIOLATION);
  EXPECT_EQ(ro->UnlockRegion(Uli(0), Uli(10), LOCK_EXCLUSIVE), S_OK);
  EXPECT_EQ(ro->LockRegion(Uli(0), Uli(1), 8), STG_E_INVALIDFUNCTION);

  std::vector<BYTE> committed;
  auto s = Stream({}, true, [&](const std::vector<BYTE>& b) {
    committed = b;
    return S_OK;
  });
  ASSERT_EQ(s->Write("abc", 3, nullptr), S_OK);
  EXPECT_TRUE(committed.empty());
  ASSERT_EQ(s->Commit(STGC_DEFAULT), S_OK);
  EXPECT_EQ(committed, (std::vector<BYTE>{'a', 'b', 'c'}));
}

TEST(MemoryStorage, TransactedTreeSurvivesItsImage) {
  std::vector<BYTE> image;
  ComPtr<IStorage> root;
  ASSERT_EQ(CreateMemoryStorage(
                {}, true,
                [&](const std::vector<BYTE>& b) {
                  image = b;
                  return S_OK;
                },
                root.Out()),
            S_OK);

  ComPtr<IStream> s;
  ASSERT_EQ(root->CreateStream(u"Contents", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out()), S_OK);
  ASSERT_EQ(s->Write("ole data", 8, nullptr), S_OK);
  EXPECT_EQ(root->CreateStream(u"Contents", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out()),
            STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(root->CreateStream(u"bad/name", STGM_READWRITE, 0, 0, s.Out()), STG_E_INVALIDNAME);
  ComPtr<IStorage> sub;
  ASSERT_EQ(root->CreateStorage(u"Sub", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, sub.Out()), S_OK);
  ComPtr<IStream> inner;
  ASSERT_EQ(sub->CreateStream(u"Inner", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, inner.Out()), S_OK);
  ASSERT_EQ(inner->Write("x", 1, nullptr), S_OK);
  CLSID clsid = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  ASSERT_EQ(root->SetClass(clsid), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ASSERT_FALSE(image.empty());

  // Changes after the commit are undone by Revert.
  ASSERT_EQ(root->DestroyElement(u"Contents"), S_OK);
  EXPECT_EQ(root->OpenStream(u"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, s.Out()), STG_E_FILENOTFOUND);
  ASSERT_EQ(root->Revert(), S_OK);
  ASSERT_EQ(root->OpenStream(u"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, s.Out()), S_OK);
  EXPECT_EQ(ReadAll(s.get()), "ole data");

  // The committed image opens to the same tree.
  ComPtr<IStorage> again;
  ASSERT_EQ(CreateMemoryStorage(image, false, nullptr, again.Out()), S_OK);
  ComPtr<IEnumSTATSTG> e;
  ASSERT_EQ(again->EnumElements(0, nullptr, 0, e.Out()), S_OK);
  STATSTG st[3];
  ULONG n = 0;
  EXPECT_EQ(e->Next(3, st, &n), S_FALSE);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(std::u16string(st[0].pwcsName), u"Sub");
  EXPECT_EQ(st[0].type, STGTY_STORAGE);
  EXPECT_EQ(std::u16string(st[1].pwcsName), u"Contents");
  EXPECT_EQ(st[1].cbSize.QuadPart, 8u);
  for (ULONG i = 0; i < n; ++i) CoTaskMemFree(st[i].pwcsName);
  STATSTG rs;
  ASSERT_EQ(again->Stat(&rs, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(rs.clsid, clsid);
  EXPECT_EQ(again->CreateStream(u"New", STGM_READWRITE, 0, 0, s.Out()), STG_E_ACCESSDENIED);
  ComPtr<IStorage> sub2;
  ASSERT_EQ(again->OpenStorage(u"Sub", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, sub2.Out()), S_OK);
  ASSERT_EQ(sub2->OpenStream(u"Inner", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, s.Out()), S_OK);
  EXPECT_EQ(ReadAll(s.get()), "x");
}

// ---- the persisted image -------------------------------------------------------

ComPtr<IStorage> NewRoot(std::vector<BYTE>& image) {
  ComPtr<IStorage> root;
  EXPECT_EQ(CreateMemoryStorage(
                {}, true,
                [&image](const std::vector<BYTE>& b) {
                  image = b;
                  return S_OK;
                },
                root.Out()),
            S_OK);
  return root;
}

std::vector<BYTE> Pattern(size_t n, unsigned seed) {
  std::vector<BYTE> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 31 + seed + (i >> 9));
  return v;
}

void PutStream(IStorage* stg, const std::u16string& name, const std::vector<BYTE>& data) {
  ComPtr<IStream> s;
  ASSERT_EQ(stg->CreateStream(name.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out()), S_OK);
  ULONG put = 0;
  ASSERT_EQ(s->Write(data.data(), static_cast<ULONG>(data.size()), &put), S_OK);
}

std::vector<BYTE> GetStream(IStorage* stg, const std::u16string& name) {
  ComPtr<IStream> s;
  EXPECT_EQ(stg->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, s.Out()), S_OK);
  if (!s) return {};
  std::string all = ReadAll(s.get());
  return std::vector<BYTE>(all.begin(), all.end());
}

ComPtr<IStorage> Sub(IStorage* stg, const std::u16string& name, bool create) {
  ComPtr<IStorage> sub;
  HRESULT hr = create ? stg->CreateStorage(name.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, sub.Out())
                      : stg->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, sub.Out());
  EXPECT_EQ(hr, S_OK) << std::string(name.begin(), name.end());
  return sub;
}

// "name type size" of each element, in enumeration order.
std::vector<std::string> List(IStorage* stg) {
  ComPtr<IEnumSTATSTG> e;
  EXPECT_EQ(stg->EnumElements(0, nullptr, 0, e.Out()), S_OK);
  std::vector<std::string> out;
  STATSTG st;
  ULONG n;
  while (e->Next(1, &st, &n) == S_OK && n == 1) {
    std::u16string name(st.pwcsName);
    out.push_back(std::string(name.begin(), name.end()) + " " + std::to_string(st.type) + " " +
                  std::to_string(st.cbSize.QuadPart));
    CoTaskMemFree(st.pwcsName);
  }
  return out;
}

uint32_t U32At(const std::vector<BYTE>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
void SetU32(std::vector<BYTE>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<BYTE>(v >> (8 * i));
}

// Where things sit in an image of ours (512-byte sectors, FAT and
// directory chains as the writer lays them out: contiguous).
struct Layout {
  const std::vector<BYTE>& img;
  size_t Sector(uint32_t s) const { return (size_t{s} + 1) * 512; }
  size_t Fat(uint32_t i) const { return Sector(U32At(img, 76 + 4 * (i / 128))) + 4 * (i % 128); }
  size_t Entry(uint32_t i) const { return Sector(U32At(img, 48) + i / 4) + 128 * (i % 4); }
  uint32_t Find(const std::u16string& name) const {
    for (uint32_t i = 0;; ++i) {
      size_t e = Entry(i);
      std::u16string n;
      for (size_t k = 0; img[e + 2 * k] || img[e + 2 * k + 1]; ++k)
        n.push_back(static_cast<char16_t>(img[e + 2 * k] | (img[e + 2 * k + 1] << 8)));
      if (n == name) return i;
    }
  }
};

const CLSID kClassA = {0x00020906, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const CLSID kClassB = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST(StorageImage, NestedTreeRoundTrips) {
  std::vector<BYTE> image;
  auto root = NewRoot(image);
  // Sizes around the mini sector, the mini stream cutoff and the sector.
  const size_t sizes[] = {0, 1, 63, 64, 65, 511, 512, 4095, 4096, 4097, 70000};
  auto sub = Sub(root.get(), u"Sub", true);
  auto deep = Sub(sub.get(), u"Deep", true);
  for (size_t n : sizes) {
    std::string name = "s" + std::to_string(n);
    PutStream(root.get(), std::u16string(name.begin(), name.end()), Pattern(n, 1));
    PutStream(deep.get(), std::u16string(name.begin(), name.end()), Pattern(n, 2));
  }
  PutStream(sub.get(), u"\u00e9t\u00e9 \u043f\u0440\u0438\u0432\u0435\u0442", Pattern(10, 3));
  Sub(sub.get(), u"Empty", true);
  const FILETIME ct{0x11111111, 0x01d00000}, mt{0x22222222, 0x01d10000}, rmt{0x33333333, 0x01d20000};
  ASSERT_EQ(root->SetClass(kClassA), S_OK);
  ASSERT_EQ(root->SetStateBits(0x55, 0xFF), S_OK);
  ASSERT_EQ(root->SetElementTimes(nullptr, nullptr, nullptr, &rmt), S_OK);
  ASSERT_EQ(sub->SetClass(kClassB), S_OK);
  ASSERT_EQ(sub->SetStateBits(0xA0A0, 0xFFFF), S_OK);
  ASSERT_EQ(root->SetElementTimes(u"Sub", &ct, nullptr, &mt), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);

  ASSERT_GE(image.size(), 512u);
  EXPECT_EQ(image.size() % 512, 0u);
  EXPECT_EQ(std::vector<BYTE>(image.begin(), image.begin() + 8),
            (std::vector<BYTE>{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}));

  ComPtr<IStorage> again;
  ASSERT_EQ(CreateMemoryStorage(image, false, nullptr, again.Out()), S_OK);
  EXPECT_EQ(List(again.get()), List(root.get()));
  auto sub2 = Sub(again.get(), u"Sub", false);
  auto deep2 = Sub(sub2.get(), u"Deep", false);
  EXPECT_EQ(List(sub2.get()), List(sub.get()));
  for (size_t n : sizes) {
    std::string name = "s" + std::to_string(n);
    EXPECT_EQ(GetStream(again.get(), std::u16string(name.begin(), name.end())), Pattern(n, 1)) << n;
    EXPECT_EQ(GetStream(deep2.get(), std::u16string(name.begin(), name.end())), Pattern(n, 2)) << n;
  }
  EXPECT_EQ(GetStream(sub2.get(), u"\u00e9t\u00e9 \u043f\u0440\u0438\u0432\u0435\u0442"), Pattern(10, 3));

  STATSTG st;
  ASSERT_EQ(sub2->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.clsid, kClassB);
  EXPECT_EQ(st.grfStateBits, 0xA0A0u);
  EXPECT_EQ(FileTimeToQuad(st.ctime), FileTimeToQuad(ct));
  EXPECT_EQ(FileTimeToQuad(st.mtime), FileTimeToQuad(mt));
  ASSERT_EQ(again->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.clsid, kClassA);
  EXPECT_EQ(st.grfStateBits, 0x55u);
  EXPECT_EQ(FileTimeToQuad(st.mtime), FileTimeToQuad(rmt));

  // Saving what was read gives the same bytes: nothing was dropped.
  std::vector<BYTE> second;
  ASSERT_EQ(SerializeStorage(again.get(), second), S_OK);
  EXPECT_EQ(second, image);
}

TEST(StorageImage, NamesCompareWithoutCaseAndFormAValidTree) {
  std::vector<BYTE> image;
  auto root = NewRoot(image);
  PutStream(root.get(), u"Contents", {'x'});
  ComPtr<IStream> s;
  EXPECT_EQ(root->CreateStream(u"CONTENTS", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out()),
            STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(GetStream(root.get(), u"cOnTeNtS"), (std::vector<BYTE>{'x'}));
  ASSERT_EQ(root->RenameElement(u"contents", u"CONTENTS"), S_OK);
  EXPECT_EQ(List(root.get()), (std::vector<std::string>{"CONTENTS 2 1"}));

  // Enough siblings of mixed lengths and cases for a tree of several levels.
  const char* names[] = {"b", "A", "ccc", "BB", "a1", "Zz", "zzz", "x", "Long name", "y2", "Q", "qq", "mm", "N"};
  for (const char* n : names) PutStream(root.get(), std::u16string(n, n + std::strlen(n)), {1});
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);

  // In-order: shorter names first, then upper-cased units; red-black:
  // no red entry under a red one, the same black count on every path.
  Layout l{image};
  std::vector<std::string> order;
  std::function<int(uint32_t, bool)> walk = [&](uint32_t id, bool parent_red) -> int {
    if (id == 0xFFFFFFFF) return 1;
    size_t e = l.Entry(id);
    bool red = image[e + 67] == 0;
    EXPECT_FALSE(red && parent_red) << id;
    int left = walk(U32At(image, e + 68), red);
    std::string n;
    for (size_t k = 0; image[e + 2 * k]; k += 1) n.push_back(static_cast<char>(image[e + 2 * k]));
    order.push_back(n);
    int right = walk(U32At(image, e + 72), red);
    EXPECT_EQ(left, right) << n;
    return left + (red ? 0 : 1);
  };
  walk(U32At(image, l.Entry(0) + 76), false);
  auto key = [](std::string n) {
    for (auto& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return std::make_pair(n.size(), n);
  };
  ASSERT_EQ(order.size(), std::size(names) + 1);
  for (size_t i = 1; i < order.size(); ++i) EXPECT_LT(key(order[i - 1]), key(order[i])) << order[i];
}

TEST(StorageImage, StreamBeyondTheHeaderFatList) {
  // More than 109 FAT sectors: the rest are listed in DIFAT sectors.
  std::vector<BYTE> image;
  auto root = NewRoot(image);
  auto big = Pattern(7800 * 1024, 5);
  PutStream(root.get(), u"Big", big);
  PutStream(root.get(), u"Small", Pattern(300, 6));
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  EXPECT_GT(U32At(image, 44), 109u);
  EXPECT_GE(U32At(image, 72), 1u);
  ComPtr<IStorage> again;
  ASSERT_EQ(CreateMemoryStorage(image, false, nullptr, again.Out()), S_OK);
  EXPECT_EQ(GetStream(again.get(), u"Big"), big);
  EXPECT_EQ(GetStream(again.get(), u"Small"), Pattern(300, 6));
}

TEST(StorageImage, DamagedImagesAreRefused) {
  std::vector<BYTE> image;
  auto root = NewRoot(image);
  PutStream(root.get(), u"Big", Pattern(5000, 1));
  PutStream(root.get(), u"Small", Pattern(100, 2));
  auto sub = Sub(root.get(), u"Sub", true);
  PutStream(sub.get(), u"X", Pattern(3, 3));
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ComPtr<IStorage> out;
  ASSERT_EQ(CreateMemoryStorage(image, false, nullptr, out.Out()), S_OK);

  // Every truncation is refused, never read past its end.
  for (size_t cut = 1; cut < image.size(); ++cut) {
    std::vector<BYTE> t(image.begin(), image.begin() + cut);
    EXPECT_EQ(CreateMemoryStorage(t, true, nullptr, out.Out()), cut < 512 ? STG_E_INVALIDHEADER : STG_E_DOCFILECORRUPT)
        << cut;
  }

  Layout l{image};
  const uint32_t big = l.Find(u"Big"), small = l.Find(u"Small"), sub_id = l.Find(u"Sub");
  const uint32_t big_start = U32At(image, l.Entry(big) + 116);
  const uint32_t small_start = U32At(image, l.Entry(small) + 116);
  const size_t minifat = l.Sector(U32At(image, 60));
  struct Case {
    const char* what;
    std::function<void(std::vector<BYTE>&)> damage;
    HRESULT hr;
  } cases[] = {
      {"not a compound file", [](auto& b) { b[0] = 'V'; }, STG_E_INVALIDHEADER},
      {"byte order", [](auto& b) { b[28] = 0; }, STG_E_INVALIDHEADER},
      {"sector size", [](auto& b) { b[30] = 10; }, STG_E_INVALIDHEADER},
      {"FAT count past the file", [](auto& b) { SetU32(b, 44, 0x10000); }, STG_E_DOCFILECORRUPT},
      {"FAT sector out of range", [](auto& b) { SetU32(b, 76, 0xFFFFFF00); }, STG_E_DOCFILECORRUPT},
      {"DIFAT chain past the file", [](auto& b) { SetU32(b, 44, 3), SetU32(b, 72, 1), SetU32(b, 68, 999); },
       STG_E_DOCFILECORRUPT},
      {"directory sector out of range", [](auto& b) { SetU32(b, 48, 5000); }, STG_E_DOCFILECORRUPT},
      {"FAT cycle", [&](auto& b) { SetU32(b, l.Fat(big_start + 4), big_start + 1); }, STG_E_DOCFILECORRUPT},
      {"FAT cycle of one sector", [&](auto& b) { SetU32(b, l.Fat(big_start), big_start); }, STG_E_DOCFILECORRUPT},
      {"chain into a free mark", [&](auto& b) { SetU32(b, l.Fat(big_start + 2), 0xFFFFFFFF); }, STG_E_DOCFILECORRUPT},
      {"stream over the directory", [&](auto& b) { SetU32(b, l.Entry(big) + 116, U32At(b, 48)); },
       STG_E_DOCFILECORRUPT},
      {"stream larger than the file", [&](auto& b) { SetU32(b, l.Entry(big) + 120, 0x7FFFFFFF); },
       STG_E_DOCFILECORRUPT},
      {"mini chain cycle", [&](auto& b) { SetU32(b, minifat + 4 * small_start, small_start); }, STG_E_DOCFILECORRUPT},
      {"mini sector past the mini stream", [&](auto& b) { SetU32(b, l.Entry(small) + 116, 5000); },
       STG_E_DOCFILECORRUPT},
      {"root is not a root", [&](auto& b) { b[l.Entry(0) + 66] = 1; }, STG_E_DOCFILECORRUPT},
      {"sibling loop", [&](auto& b) { SetU32(b, l.Entry(sub_id) + 68, sub_id); }, STG_E_DOCFILECORRUPT},
      {"child is the root", [&](auto& b) { SetU32(b, l.Entry(sub_id) + 76, 0); }, STG_E_DOCFILECORRUPT},
      {"entry out of range", [&](auto& b) { SetU32(b, l.Entry(sub_id) + 76, 0x00FFFFFF); }, STG_E_DOCFILECORRUPT},
      {"unknown entry type", [&](auto& b) { b[l.Entry(small) + 66] = 3; }, STG_E_DOCFILECORRUPT},
      {"name without its end", [&](auto& b) { b[l.Entry(small) + 64] = 66; }, STG_E_DOCFILECORRUPT},
      {"odd name length", [&](auto& b) { b[l.Entry(small) + 64] = 11; }, STG_E_DOCFILECORRUPT},
      {"two siblings of one name", [&](auto& b) { b[l.Entry(big) + 64] = 12, std::memcpy(&b[l.Entry(big)], u"SMALL", 10); },
       STG_E_DOCFILECORRUPT},
  };
  for (const auto& c : cases) {
    std::vector<BYTE> bad = image;
    c.damage(bad);
    EXPECT_EQ(CreateMemoryStorage(bad, true, nullptr, out.Out()), c.hr) << c.what;
  }
}

TEST(StorageImage, EarlierImagesStillOpen) {
  // An image as earlier versions wrote it: a root holding stream "A" and an
  // empty storage "S" with state bits 7.
  std::vector<BYTE> old = {'V', 'S', 'T', 'G', 0, 0, 0, 1};
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) old.push_back(static_cast<BYTE>(v >> (8 * i)));
  };
  auto name = [&](char c) { u32(1), old.push_back(static_cast<BYTE>(c)), old.push_back(0); };
  auto clsid = vantrel::GuidToBytes(kClassB);
  old.insert(old.end(), clsid.begin(), clsid.end());
  u32(0);
  u32(1), name('A'), u32(3), u32(0), old.insert(old.end(), {'a', 'b', 'c'});
  u32(1), name('S'), old.insert(old.end(), 16, 0), u32(7), u32(0), u32(0);

  std::vector<BYTE> image;
  ComPtr<IStorage> root;
  ASSERT_EQ(CreateMemoryStorage(
                old, true,
                [&image](const std::vector<BYTE>& b) {
                  image = b;
                  return S_OK;
                },
                root.Out()),
            S_OK);
  EXPECT_EQ(List(root.get()), (std::vector<std::string>{"S 1 0", "A 2 3"}));
  EXPECT_EQ(GetStream(root.get(), u"A"), (std::vector<BYTE>{'a', 'b', 'c'}));
  STATSTG st;
  ASSERT_EQ(root->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.clsid, kClassB);
  ASSERT_EQ(Sub(root.get(), u"S", false)->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.grfStateBits, 7u);
  // Committed again, it is saved in the compound file layout.
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ASSERT_GE(image.size(), 512u);
  EXPECT_EQ(image[0], 0xD0);

  ComPtr<IStorage> out;
  for (size_t cut = 8; cut < old.size(); ++cut) {
    std::vector<BYTE> t(old.begin(), old.begin() + cut);
    EXPECT_EQ(CreateMemoryStorage(t, true, nullptr, out.Out()), STG_E_DOCFILECORRUPT) << cut;
  }
  std::vector<BYTE> huge = old;
  huge[8 + 16 + 4 + 4 + 4 + 2 + 4 + 3] = 0x7f;  // stream "A"'s length, high word
  EXPECT_EQ(CreateMemoryStorage(huge, true, nullptr, out.Out()), STG_E_DOCFILECORRUPT);

  // Names that differ only in case now name one element: refused, not merged.
  old.assign({'V', 'S', 'T', 'G', 0, 0, 0, 1});
  old.insert(old.end(), 20, 0);
  u32(2), name('A'), u32(0), u32(0), name('a'), u32(0), u32(0), u32(0);
  EXPECT_EQ(CreateMemoryStorage(old, true, nullptr, out.Out()), STG_E_DOCFILECORRUPT);
  old[old.size() - 4 - 8 - 2] = 'B';
  EXPECT_EQ(CreateMemoryStorage(old, true, nullptr, out.Out()), S_OK);
}

}  // namespace

// ---- the stream base, through IStream alone ----

namespace {

// Transacted bytes: writes go to a working copy that Commit keeps and
// Revert drops, as a store's property stream does. `fail_reads` makes
// every read fail, as a damaged file would.
class TransactedData final : public StreamData {
 public:
  TransactedData(std::vector<BYTE> bytes, bool fail_reads)
      : committed_(bytes), working_(std::move(bytes)), fail_reads_(fail_reads) {}
  HRESULT ReadAt(ULONGLONG pos, BYTE* out, ULONG cb, ULONG* got) override REQUIRES(mu) {
    *got = 0;
    if (fail_reads_) return STG_E_READFAULT;
    std::memcpy(out, working_.data() + pos, cb);
    *got = cb;
    return S_OK;
  }
  HRESULT WriteAt(ULONGLONG pos, const BYTE* in, ULONG cb) override REQUIRES(mu) {
    if (working_.size() < pos + cb) working_.resize(pos + cb);
    std::memcpy(working_.data() + pos, in, cb);
    return S_OK;
  }
  ULONGLONG Size() override REQUIRES(mu) { return working_.size(); }
  HRESULT Resize(ULONGLONG n) override REQUIRES(mu) {
    working_.resize(n);
    return S_OK;
  }
  HRESULT Commit(DWORD) override EXCLUDES(mu) {
    vantrel::MutexLock g(mu);
    committed_ = working_;
    return S_OK;
  }
  HRESULT Revert() override EXCLUDES(mu) {
    vantrel::MutexLock g(mu);
    working_ = committed_;
    return S_OK;
  }

 private:
  std::vector<BYTE> committed_ GUARDED_BY(mu);
  std::vector<BYTE> working_ GUARDED_BY(mu);
  const bool fail_reads_;
};

struct Backend {
  const char* name;
  bool transacted;
  std::function<ComPtr<IStream>(std::vector<BYTE>)> make;
};

const Backend kBackends[] = {
    {"memory", false, [](std::vector<BYTE> b) { return Stream(std::move(b)); }},
    {"transacted", true,
     [](std::vector<BYTE> b) {
       return ComPtr<IStream>::Adopt(new StreamBase(std::make_shared<TransactedData>(std::move(b), false), true, u""));
     }},
};

ULONGLONG Pos(IStream* s) {
  ULARGE_INTEGER p{};
  EXPECT_EQ(s->Seek(Li(0), STREAM_SEEK_CUR, &p), S_OK);
  return p.QuadPart;
}

struct BaseCase {
  const char* name;
  std::function<void(IStream*, const Backend&)> check;  // on a stream holding "abcdef", at 0
};

const BaseCase kBaseCases[] = {
    {"seek origins and bounds",
     [](IStream* s, const Backend&) {
       struct {
         LONGLONG move;
         DWORD origin;
         HRESULT hr;
         ULONGLONG pos;
       } steps[] = {
           {4, STREAM_SEEK_SET, S_OK, 4},
           {-1, STREAM_SEEK_CUR, S_OK, 3},
           {2, STREAM_SEEK_END, S_OK, 8},
           {-9, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 8},
           {INT64_MAX, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 8},
           {0, STREAM_SEEK_END + 1, STG_E_INVALIDFUNCTION, 8},
       };
       for (const auto& st : steps) {
         EXPECT_EQ(s->Seek(Li(st.move), st.origin, nullptr), st.hr) << st.move;
         EXPECT_EQ(Pos(s), st.pos) << st.move;
       }
     }},
    {"read past the end",
     [](IStream* s, const Backend&) {
       char buf[8];
       ULONG got = 99;
       ASSERT_EQ(s->Seek(Li(4), STREAM_SEEK_SET, nullptr), S_OK);
       EXPECT_EQ(s->Read(buf, sizeof(buf), &got), S_OK);
       EXPECT_EQ(std::string(buf, got), "ef");
       EXPECT_EQ(s->Read(buf, sizeof(buf), &got), S_OK);
       EXPECT_EQ(got, 0u);
       ASSERT_EQ(s->Seek(Li(100), STREAM_SEEK_SET, nullptr), S_OK);
       EXPECT_EQ(s->Read(buf, sizeof(buf), &got), S_OK);
       EXPECT_EQ(got, 0u);
       EXPECT_EQ(Pos(s), 100u);
     }},
    {"set size shrinks and grows with zeros",
     [](IStream* s, const Backend&) {
       ASSERT_EQ(s->Seek(Li(5), STREAM_SEEK_SET, nullptr), S_OK);
       ASSERT_EQ(s->SetSize(Uli(3)), S_OK);
       EXPECT_EQ(Pos(s), 5u);  // the pointer stays past the new end
       ASSERT_EQ(s->SetSize(Uli(5)), S_OK);
       EXPECT_EQ(ReadAll(s), std::string("abc\0\0", 5));
       EXPECT_EQ(s->SetSize(Uli(1ull << 63)), STG_E_MEDIUMFULL);
     }},
    {"copy to, part of the stream",
     [](IStream* s, const Backend&) {
       auto d = Stream({});
       ULARGE_INTEGER r, w;
       ASSERT_EQ(s->Seek(Li(2), STREAM_SEEK_SET, nullptr), S_OK);
       ASSERT_EQ(s->CopyTo(d.get(), Uli(3), &r, &w), S_OK);
       EXPECT_EQ(r.QuadPart, 3u);
       EXPECT_EQ(w.QuadPart, 3u);
       EXPECT_EQ(Pos(s), 5u);
       ASSERT_EQ(s->CopyTo(d.get(), Uli(1000), &r, &w), S_OK);
       EXPECT_EQ(r.QuadPart, 1u);
       EXPECT_EQ(ReadAll(d.get()), "cdef");
       // Into a clone of itself: the data grows while it is copied.
       ComPtr<IStream> c;
       ASSERT_EQ(s->Clone(c.Out()), S_OK);
       ASSERT_EQ(c->Seek(Li(0), STREAM_SEEK_END, nullptr), S_OK);
       ASSERT_EQ(s->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
       ASSERT_EQ(s->CopyTo(c.get(), Uli(6), &r, &w), S_OK);
       EXPECT_EQ(ReadAll(s), "abcdefabcdef");
     }},
    {"clones share the data, not the position",
     [](IStream* s, const Backend&) {
       ASSERT_EQ(s->Seek(Li(2), STREAM_SEEK_SET, nullptr), S_OK);
       ComPtr<IStream> c;
       ASSERT_EQ(s->Clone(c.Out()), S_OK);
       EXPECT_EQ(Pos(c.get()), 2u);
       ASSERT_EQ(s->Seek(Li(0), STREAM_SEEK_SET, nullptr), S_OK);
       ASSERT_EQ(s->Write("XYZ", 3, nullptr), S_OK);
       char buf[4];
       ULONG got = 0;
       ASSERT_EQ(c->Read(buf, sizeof(buf), &got), S_OK);
       EXPECT_EQ(std::string(buf, got), "Zdef");
       EXPECT_EQ(Pos(s), 3u);
     }},
    {"commit keeps, revert goes back to the last commit",
     [](IStream* s, const Backend& b) {
       ComPtr<IStream> c;
       ASSERT_EQ(s->Clone(c.Out()), S_OK);
       ASSERT_EQ(s->Write("Q", 1, nullptr), S_OK);
       ASSERT_EQ(s->Commit(STGC_DEFAULT), S_OK);
       ASSERT_EQ(s->Write("RS", 2, nullptr), S_OK);
       ASSERT_EQ(s->SetSize(Uli(10)), S_OK);
       ASSERT_EQ(c->Revert(), S_OK);  // through a clone: the data is one
       EXPECT_EQ(ReadAll(s), b.transacted ? std::string("Qbcdef") : std::string("QRSdef\0\0\0\0", 10));
     }},
    {"lock and unlock regions by type",
     [](IStream* s, const Backend&) {
       ComPtr<IStream> c;
       ASSERT_EQ(s->Clone(c.Out()), S_OK);
       struct {
         IStream* on;
         bool lock;
         ULONGLONG off, cb;
         DWORD type;
         HRESULT hr;
       } steps[] = {
           {s, true, 0, 4, LOCK_WRITE, S_OK},
           {s, true, 0, 4, 0, STG_E_INVALIDFUNCTION},
           {s, true, 0, 4, LOCK_WRITE | LOCK_EXCLUSIVE, STG_E_INVALIDFUNCTION},
           {c.get(), true, 3, 2, LOCK_EXCLUSIVE, STG_E_LOCKVIOLATION},  // clones share the locks
           {c.get(), true, 4, 2, LOCK_EXCLUSIVE, S_OK},
           {s, false, 0, 4, LOCK_EXCLUSIVE, STG_E_LOCKVIOLATION},  // another type
           {s, false, 0, 3, LOCK_WRITE, STG_E_LOCKVIOLATION},      // another range
           {c.get(), false, 0, 4, LOCK_WRITE, S_OK},
           {s, false, 0, 4, LOCK_WRITE, STG_E_LOCKVIOLATION},  // already gone
           {s, true, 0, 4, LOCK_ONLYONCE, S_OK},
       };
       for (size_t i = 0; i < std::size(steps); ++i) {
         const auto& st = steps[i];
         HRESULT hr = st.lock ? st.on->LockRegion(Uli(st.off), Uli(st.cb), st.type)
                              : st.on->UnlockRegion(Uli(st.off), Uli(st.cb), st.type);
         EXPECT_EQ(hr, st.hr) << "step " << i;
       }
     }},
};

}  // namespace

TEST(StreamBase, BehavesAlikeOverEveryBackend) {
  for (const Backend& b : kBackends) {
    for (const BaseCase& c : kBaseCases) {
      SCOPED_TRACE(std::string(b.name) + ": " + c.name);
      auto s = b.make({'a', 'b', 'c', 'd', 'e', 'f'});
      ASSERT_TRUE(s);
      c.check(s.get(), b);
    }
  }
}

// A failed read is answered, not taken for the end of the stream.
TEST(StreamBase, ReadFaultsReachTheCaller) {
  ComPtr<IStream> s = ComPtr<IStream>::Adopt(
      new StreamBase(std::make_shared<TransactedData>(std::vector<BYTE>{'a', 'b'}, true), true, u""));
  char buf[2];
  ULONG got = 9;
  EXPECT_EQ(s->Read(buf, 2, &got), STG_E_READFAULT);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(Pos(s.get()), 0u);
  auto d = Stream({});
  ULARGE_INTEGER r, w;
  EXPECT_EQ(s->CopyTo(d.get(), Uli(2), &r, &w), STG_E_READFAULT);
  EXPECT_EQ(r.QuadPart, 0u);
  EXPECT_EQ(w.QuadPart, 0u);
}
