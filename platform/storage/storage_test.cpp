#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

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

TEST(MemoryStorage, DamagedImagesAreRefused) {
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
  ASSERT_EQ(root->CreateStream(u"A", STGM_READWRITE, 0, 0, s.Out()), S_OK);
  ASSERT_EQ(s->Write("abcdef", 6, nullptr), S_OK);
  ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
  ComPtr<IStorage> out;
  EXPECT_EQ(CreateMemoryStorage({'n', 'o', 'p', 'e', 0, 0, 0, 1}, true, nullptr, out.Out()), STG_E_INVALIDHEADER);
  // Every truncation is refused, never read past its end.
  for (size_t cut = 8; cut < image.size(); ++cut) {
    std::vector<BYTE> t(image.begin(), image.begin() + cut);
    EXPECT_EQ(CreateMemoryStorage(t, true, nullptr, out.Out()), STG_E_DOCFILECORRUPT) << cut;
  }
  // A huge stream length is refused before anything is allocated.
  std::vector<BYTE> big = image;
  size_t len_at = 8 + 16 + 4 + 4 + 4 + 2;  // header, clsid, state, count, name length, name
  big[len_at + 4 + 3] = 0x7f;
  EXPECT_EQ(CreateMemoryStorage(big, true, nullptr, out.Out()), STG_E_DOCFILECORRUPT);
}

}  // namespace
