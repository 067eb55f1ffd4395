// Tables, streams, storages and enumerators driven through the real
// dispatch, as a client would reach them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PstStore.h"
#include "platform/mapi/TableData.h"
#include "platform/storage/MemoryStream.h"
#include "protocol/ZelStubs.h"
#include "server/dispatch/TraceCapture.h"
#include "server/dispatch/ServerClasses.h"
#include "server/dispatch/ServerDispatch.h"
#include "server/dispatch/ServerTrace.h"
#include "server/objects/ServerObjects.h"
#include "server/objects/ServerIMapiTable.h"
#include "server/objects/ServerIStorage.h"
#include "server/objects/ServerIStream.h"

namespace vantrel::server {
namespace {

class TestSession : public CServerClass {
 public:
  TestSession() : CServerClass(kZelLogon) {}
  zel::CNotifyQueue* NotifyQueue() override { return &queue; }
  zel::CNotifyQueue queue;
};

ULONG RefCount(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

struct Fixture : ::testing::Test {
  CServerClasses reg;
  CServerDispatch dispatch{reg};
  zel::Transport transport = zel::LocalTransport(dispatch.Spec().dispatch);
  std::shared_ptr<TestSession> session = std::make_shared<TestSession>();

  Fixture() {
    InstallServerObjects(reg, {});
    reg.Register(session, -1, nullptr);
  }

  template <class Op>
  typename Op::Reply Call(const typename Op::Request& in) {
    typename Op::Reply out;
    EXPECT_EQ(zel::Invoke<Op>(transport, in, out), RPC_S_OK) << Op::kName;
    return out;
  }

  // Registers a server object for `object` as an opening operation would;
  // the caller keeps its own reference.
  std::int32_t Open(std::int32_t type, IUnknown* object, const char* description = "test object") {
    return reg.CreateObject(type, nullptr, session, object, session->handle, description);
  }

  // A whole result block: the inline part, then ReadBuffer until the end.
  std::vector<BYTE> Fetch(std::int32_t cb, std::int32_t buffer, const zel::wire::Inline::Value& inline_area,
                          std::vector<std::int32_t>* reads = nullptr) {
    std::vector<BYTE> block(inline_area.begin(), inline_area.begin() + std::min<std::int32_t>(cb, 512));
    while (buffer >= 0 && static_cast<std::int32_t>(block.size()) < cb) {
      auto r = Call<zel::ReadBuffer>({buffer});
      if (r.result <= 0) break;
      if (reads) reads->push_back(r.cbRead);
      block.insert(block.end(), r.data.begin(), r.data.end());
    }
    return block;
  }

  LPSRowSet DecodeRows(const std::vector<BYTE>& block) {
    zel::CMapiMarshal codec;
    zel::MarshalReader r(block.data(), block.size());
    LPSRowSet rows = nullptr;
    EXPECT_EQ(codec.ReadRowSet(r, nullptr, &rows), S_OK);
    return rows;
  }
};

// ---- tables ----

struct TableFixture : Fixture {
  LPTABLEDATA data = nullptr;

  TableFixture() {
    SizedSPropTagArray<2> cols;
    cols.cValues = 2;
    cols.aulPropTag[0] = PR_ROWID;
    cols.aulPropTag[1] = PR_SUBJECT;
    EXPECT_EQ(CreateTable(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr, TBLTYPE_DYNAMIC,
                          PR_ROWID, cols.get(), &data),
              S_OK);
  }
  ~TableFixture() override {
    if (data) data->Release();
  }
  void Put(LONG id, const std::string& subject) {
    SPropValue props[2] = {};
    props[0].ulPropTag = PR_ROWID;
    props[0].Value.l = id;
    props[1].ulPropTag = PR_SUBJECT;
    props[1].Value.lpszA = const_cast<char*>(subject.c_str());
    SRow row{0, 2, props};
    ASSERT_EQ(data->HrModifyRow(&row), S_OK);
  }
  // A new view of the rows as a table object.
  std::int32_t OpenTable() {
    LPMAPITABLE view = nullptr;
    EXPECT_EQ(data->HrGetView(nullptr, nullptr, 0, &view), S_OK);
    std::int32_t h = Open(kMapiTable, view, "Contents from test");
    view->Release();
    return h;
  }
  // QueryRows through the wire, decoded; the reads of ReadBuffer go to `reads`.
  std::vector<std::string> Subjects(std::int32_t table, LONG count, std::int32_t* buffer = nullptr,
                                    std::vector<std::int32_t>* reads = nullptr) {
    auto r = Call<zel::IMAPITABLE_QueryRows>({table, count, 0});
    EXPECT_EQ(r.result, S_OK);
    if (buffer) *buffer = r.hBuffer;
    LPSRowSet rows = DecodeRows(Fetch(r.cb, r.hBuffer, r.inlineData, reads));
    std::vector<std::string> subjects;
    for (ULONG i = 0; rows && i < rows->cRows; ++i) {
      const SPropValue* v = PpropFindProp(rows->aRow[i].lpProps, rows->aRow[i].cValues, PR_SUBJECT);
      subjects.push_back(v ? v->Value.lpszA : "<missing>");
    }
    if (rows) FreeProws(rows);
    return subjects;
  }
};

TEST_F(TableFixture, QueryRowsPastTheEndGivesTheRestThenAnEmptyRowSet) {
  Put(1, "one");
  Put(2, "two");
  Put(3, "three");
  std::int32_t table = OpenTable(), buffer = 0;
  EXPECT_EQ(Subjects(table, 10, &buffer), (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(buffer, -1);  // small enough to travel inline
  auto r = Call<zel::IMAPITABLE_QueryRows>({table, 10, 0});
  EXPECT_EQ(r.result, S_OK);
  ASSERT_GT(r.cb, 0);  // a row set of no rows, not an absent one
  LPSRowSet rows = DecodeRows(Fetch(r.cb, r.hBuffer, r.inlineData));
  ASSERT_NE(rows, nullptr);
  EXPECT_EQ(rows->cRows, 0u);
  FreeProws(rows);
  auto pos = Call<zel::IMAPITABLE_QueryPosition>({table});
  EXPECT_EQ(pos.ulRow, 3);
}

TEST_F(TableFixture, LargeRowSetIsReadWithReadBuffer) {
  const std::string pad(300, 'x');
  std::vector<std::string> expected;
  for (LONG i = 0; i < 300; ++i) {
    expected.push_back(std::to_string(i) + pad);
    Put(i, expected.back());
  }
  std::int32_t table = OpenTable(), buffer = -1;
  std::vector<std::int32_t> reads;
  EXPECT_EQ(Subjects(table, 1000, &buffer, &reads), expected);
  EXPECT_GE(buffer, 0);
  ASSERT_GE(reads.size(), 3u);
  for (std::size_t i = 0; i + 1 < reads.size(); ++i) EXPECT_EQ(reads[i], 32768);
  // The block is freed after its last byte.
  EXPECT_EQ(Call<zel::ReadBuffer>({buffer}).result, -1);
}

TEST_F(TableFixture, SetColumnsAsksForUnicodeAndGetsEightBitText) {
  Put(1, "Gr\xFC\xDF" "e");  // ANSI text
  std::int32_t table = OpenTable();
  auto set = Call<zel::IMAPITABLE_SetColumns>({table, {CHANGE_PROP_TYPE(PR_SUBJECT, PT_UNICODE)}, 0});
  EXPECT_EQ(set.result, S_OK);
  auto cols = Call<zel::IMAPITABLE_QueryColumns>({table, 0});
  ASSERT_EQ(cols.result, S_OK);
  ASSERT_EQ(cols.cb, 12);
  ULONG tag = 0;
  std::memcpy(&tag, cols.inlineData.data() + 8, 4);
  EXPECT_EQ(tag, PR_SUBJECT);  // PT_STRING8 kept its property ID
  auto r = Call<zel::IMAPITABLE_QueryRows>({table, 1, 0});
  LPSRowSet rows = DecodeRows(Fetch(r.cb, r.hBuffer, r.inlineData));
  ASSERT_TRUE(rows && rows->cRows == 1 && rows->aRow[0].cValues == 1);
  EXPECT_EQ(rows->aRow[0].lpProps[0].ulPropTag, PR_SUBJECT);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Gr\xFC\xDF" "e");
  FreeProws(rows);

  // Without tags: refused, and the columns stay as they were.
  EXPECT_EQ(Call<zel::IMAPITABLE_SetColumns>({table, {}, 0}).result, MAPI_E_NO_SUPPORT);
  auto again = Call<zel::IMAPITABLE_QueryColumns>({table, 0});
  EXPECT_EQ(again.cb, 12);
  EXPECT_EQ(std::memcmp(again.inlineData.data(), cols.inlineData.data(), 12), 0);
}

TEST_F(TableFixture, RestrictSortAndBookmarksReadFromTheWire) {
  for (LONG i = 1; i <= 5; ++i) Put(i, i % 2 ? "odd" : "even");
  std::int32_t table = OpenTable();
  zel::CMapiMarshal codec;
  SPropValue odd{};
  odd.ulPropTag = PR_SUBJECT;
  odd.Value.lpszA = const_cast<char*>("odd");
  SRestriction res{};
  res.rt = RES_PROPERTY;
  res.res.resProperty = {RELOP_EQ, PR_SUBJECT, &odd};
  auto block = codec.Encode([&] { return codec.SizeRestriction(&res); },
                            [&](zel::MarshalWriter& w) { codec.WriteRestriction(w, &res); });
  EXPECT_EQ(Call<zel::IMAPITABLE_Restrict>({table, block, 0}).result, S_OK);
  EXPECT_EQ(Call<zel::IMAPITABLE_GetRowCount>({table, 0}).ulCount, 3);
  SizedSSortOrderSet<1> sort;
  sort.cSorts = 1;
  sort.aSort[0] = {PR_ROWID, TABLE_SORT_DESCEND};
  auto sort_block = codec.Encode([&] { return codec.SizeSortOrderSet(sort.get()); },
                                 [&](zel::MarshalWriter& w) { codec.WriteSortOrderSet(w, sort.get()); });
  EXPECT_EQ(Call<zel::IMAPITABLE_SortTable>({table, sort_block, 0}).result, S_OK);
  auto order = Call<zel::IMAPITABLE_QuerySortOrder>({table});
  EXPECT_EQ(std::vector<BYTE>(order.inlineData.begin(), order.inlineData.begin() + order.cb), sort_block);

  EXPECT_EQ(Call<zel::IMAPITABLE_SeekRow>({table, static_cast<std::int32_t>(BOOKMARK_BEGINNING), 1}).lRowsSought, 1);
  auto bookmark = Call<zel::IMAPITABLE_CreateBookmark>({table});
  ASSERT_EQ(bookmark.result, S_OK);
  Subjects(table, 10);  // moves the cursor to the end
  EXPECT_EQ(Call<zel::IMAPITABLE_SeekRow>({table, bookmark.bookmark, 0}).result, S_OK);
  EXPECT_EQ(Call<zel::IMAPITABLE_QueryPosition>({table}).ulRow, 1);
  EXPECT_EQ(Call<zel::IMAPITABLE_FreeBookmark>({table, bookmark.bookmark}).result, S_OK);
  EXPECT_EQ(Call<zel::IMAPITABLE_FreeBookmark>({table, bookmark.bookmark}).result, MAPI_E_INVALID_BOOKMARK);
  // A damaged restriction block fails before the table is called.
  EXPECT_EQ(Call<zel::IMAPITABLE_FindRow>({table, {1, 4}, 0, 0}).result, MAPI_E_NO_SUPPORT);
}


TEST_F(TableFixture, AttachedMonitorSeesTheColumnsAndRows) {
  Put(7, "seven");
  std::int32_t table = OpenTable();
  CaptureSink sink;
  Call<zel::IMAPITABLE_SetColumns>({table, {PR_ROWID, CHANGE_PROP_TYPE(PR_SUBJECT, PT_UNICODE)}, 0});
  Call<zel::IMAPITABLE_QueryRows>({table, 5, 0});
  std::vector<std::string> lines = sink.Take();
  std::vector<std::string> dump;
  for (const auto& l : lines)
    if (l.find("SPropTagArray") != std::string::npos || l.find(" Row ") != std::string::npos ||
        l.find(" Col ") != std::string::npos)
      dump.push_back(l);
  EXPECT_EQ(dump, (std::vector<std::string>{
                      "ZelServer: SPropTagArray.cValues = 2",
                      "ZelServer:   SPropTagArray.aulPropTag[0] = 30000003 (PR_ROWID)",
                      "ZelServer:   SPropTagArray.aulPropTag[0] = 37001e (PR_SUBJECT)",
                      "ZelServer:   Row 0",
                      "ZelServer:     Col 0 (30000003 PR_ROWID) = 7",
                      "ZelServer:     Col 1 (37001e PR_SUBJECT) = seven",
                  }));
}

// The client keys of the entries of one GetNotifyQuere block.
std::vector<ULONG> ClientKeys(const std::vector<BYTE>& block) {
  std::vector<ULONG> keys;
  std::size_t at = 0;
  while (at + zel::kNotifyEntryHeader <= block.size()) {
    ULONG key = 0, len = 0;
    std::memcpy(&key, block.data() + at + 28, 4);
    std::memcpy(&len, block.data() + at + 32, 4);
    keys.push_back(key);
    at += zel::kNotifyEntryHeader + len;
  }
  return keys;
}

TEST_F(TableFixture, UnadviseEndsOnlyItsOwnRegistration) {
  std::int32_t table = OpenTable(), other = OpenTable();
  auto first = Call<zel::IMAPITABLE_Advise>({table, session->handle, static_cast<std::int32_t>(fnevTableModified), 11});
  auto second =
      Call<zel::IMAPITABLE_Advise>({table, session->handle, static_cast<std::int32_t>(fnevTableModified), 22});
  ASSERT_EQ(first.result, S_OK);
  ASSERT_EQ(second.result, S_OK);
  EXPECT_NE(first.ulConnection, second.ulConnection);
  auto poll = [&] {
    mapi::NotificationThread::Instance().Flush();
    auto q = Call<zel::GetNotifyQuere>({session->handle});
    EXPECT_EQ(q.result, 0);
    return ClientKeys(Fetch(q.cb, q.hBuffer, q.inlineData));
  };
  Put(1, "a");
  EXPECT_EQ(poll(), (std::vector<ULONG>{11, 22}));

  // Another table cannot end this table's registration.
  EXPECT_EQ(Call<zel::IMAPITABLE_Unadvise>({other, first.ulConnection}).result, MAPI_E_NOT_FOUND);
  EXPECT_EQ(Call<zel::IMAPITABLE_Unadvise>({table, first.ulConnection}).result, S_OK);
  EXPECT_EQ(Call<zel::IMAPITABLE_Unadvise>({table, first.ulConnection}).result, MAPI_E_NOT_FOUND);
  Put(2, "b");
  EXPECT_EQ(poll(), (std::vector<ULONG>{22}));
}

TEST_F(Fixture, AbortAnswersZeroForAnyHandle) {
  IStream* stream = nullptr;
  ASSERT_EQ(storage::CreateMemoryStream({}, true, nullptr, &stream), S_OK);
  std::int32_t handles[] = {Open(kMapiStream, stream), session->handle, 9999, -1, 0};
  stream->Release();
  for (std::int32_t h : handles) EXPECT_EQ(Call<zel::IMAPITABLE_Abort>({h}).result, 0) << h;
}

// ---- streams ----

TEST_F(Fixture, StreamIsReadInChunksOfTheLargestReadThenZeroBytes) {
  std::vector<BYTE> bytes(100000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i * 7 + i / 251);
  IStream* stream = nullptr;
  ASSERT_EQ(storage::CreateMemoryStream(bytes, true, nullptr, &stream), S_OK);
  std::int32_t h = Open(kMapiStream, stream);
  EXPECT_EQ(RefCount(stream), 2u);  // ours and the server object's

  std::vector<BYTE> back;
  std::vector<std::int32_t> counts;
  // The first asks for far more than one read may carry.
  for (std::int32_t ask : {1 << 30, 32768, 32768, 32768, 32768}) {
    auto r = Call<zel::ISTREAM_Read>({h, ask});
    EXPECT_EQ(r.result, S_OK);
    ASSERT_EQ(r.cbRead, static_cast<std::int32_t>(r.data.items.size()));
    counts.push_back(r.cbRead);
    back.insert(back.end(), r.data.items.begin(), r.data.items.end());
  }
  EXPECT_EQ(counts, (std::vector<std::int32_t>{32768, 32768, 32768, 1696, 0}));
  EXPECT_EQ(back, bytes);

  auto end = Call<zel::ISTREAM_Seek>({h, 0, static_cast<std::int32_t>(STREAM_SEEK_END)});
  EXPECT_EQ(end.result, S_OK);
  EXPECT_EQ(end.libNewPosition, 100000u);
  auto back10 = Call<zel::ISTREAM_Seek>({h, static_cast<std::uint64_t>(-10), static_cast<std::int32_t>(STREAM_SEEK_CUR)});
  EXPECT_EQ(back10.libNewPosition, 99990u);
  EXPECT_EQ(Call<zel::ISTREAM_Read>({h, 100}).cbRead, 10);

  Call<zel::FreeHObject>({h});
  EXPECT_EQ(RefCount(stream), 1u);  // freeing the handle released the server's reference
  stream->Release();
}

// The reads write their bytes straight into the reply: what goes out must
// be exactly the reply record's own encoding, counts and padding included.
TEST_F(Fixture, ReadsAnswerInTheLayoutOfTheirRecords) {
  std::vector<std::uint8_t> raw;
  zel::Transport capture = [&](std::uint16_t op, const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out,
                               bool& big) {
    RPC_STATUS s = transport(op, in, out, big);
    raw = out;
    return s;
  };
  auto same = [&]<class Op>(const typename Op::Request& in) {
    typename Op::Reply out;
    EXPECT_EQ(zel::Invoke<Op>(capture, in, out), RPC_S_OK);
    rpc::NdrWriter w;
    zel::op::Encode(w, out);
    EXPECT_EQ(w.data(), raw) << Op::kName;
    return out;
  };

  std::vector<BYTE> bytes(40000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i * 13);
  IStream* stream = nullptr;
  ASSERT_EQ(storage::CreateMemoryStream(bytes, true, nullptr, &stream), S_OK);
  std::int32_t h = Open(kMapiStream, stream);
  stream->Release();
  struct Case {
    std::int32_t handle, ask, got;
    HRESULT result;
  } reads[] = {{h, 3, 3, S_OK},          {h, 0, 0, S_OK},          {h, 1 << 30, 32768, S_OK},
               {h, 100000, 7229, S_OK},  {h, -5, 0, S_OK},         {9999, 10, 0, 1}};
  for (const auto& c : reads) {
    auto r = same.operator()<zel::ISTREAM_Read>({c.handle, c.ask});
    EXPECT_EQ(r.result, c.result) << c.ask;
    EXPECT_EQ(r.cbRead, c.got) << c.ask;
    EXPECT_EQ(r.data.items.size(), static_cast<std::size_t>(c.got));
    EXPECT_EQ(r.data.max, c.ask < 0 ? 0u : static_cast<std::uint32_t>(c.ask));
  }

  zel::wire::Inline::Value inl{};
  std::int32_t cb = 0;
  std::vector<std::uint8_t> data(512 + 1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 5);
  std::int32_t block = reg.MakeResultBlock(std::vector<std::uint8_t>(data), inl, cb);
  auto ex = same.operator()<zel::ReadBufferEx>({block, 101});
  EXPECT_EQ(ex.result, 101);
  EXPECT_EQ(ex.cbRead, 101);
  EXPECT_TRUE(std::equal(ex.data.items.begin(), ex.data.items.end(), data.begin() + 512));
  auto rest = same.operator()<zel::ReadBuffer>({block});
  EXPECT_EQ(rest.result, 899);
  EXPECT_EQ(rest.cbRead, 899);
  EXPECT_TRUE(std::equal(rest.data.begin(), rest.data.end(), data.begin() + 613, data.end()));
  EXPECT_EQ(same.operator()<zel::ReadBuffer>({block}).result, -1);  // the last read freed it
  EXPECT_EQ(same.operator()<zel::ReadBufferEx>({block, -4}).cbRead, 0);
}

TEST_F(Fixture, StreamWriteSetSizeAndCommitReachTheStream) {
  std::vector<BYTE> committed;
  IStream* stream = nullptr;
  ASSERT_EQ(storage::CreateMemoryStream({}, true,
                                        [&](const std::vector<BYTE>& b) {
                                          committed = b;
                                          return S_OK;
                                        },
                                        &stream),
            S_OK);
  std::int32_t h = Open(kMapiStream, stream);
  stream->Release();
  auto w = Call<zel::ISTREAM_Write>({h, {1, 2, 3, 4, 5}});
  EXPECT_EQ(w.result, S_OK);
  EXPECT_EQ(w.cbWritten, 5);
  EXPECT_EQ(Call<zel::ISTREAM_SetSize>({h, 3}).result, S_OK);
  EXPECT_EQ(Call<zel::ISTREAM_Commit>({h, 0}).result, S_OK);
  EXPECT_EQ(committed, (std::vector<BYTE>{1, 2, 3}));
  auto stat = Call<zel::ISTREAM_Stat>({h, static_cast<std::int32_t>(STATFLAG_NONAME)});
  EXPECT_EQ(stat.statstg.size, 3u);
  EXPECT_EQ(stat.statstg.type, static_cast<std::int32_t>(STGTY_STREAM));

  // Clone cannot report its handle; the clone stays registered under the
  // same session, with the stream's description.
  auto clone = Call<zel::ISTREAM_Clone>({h});
  EXPECT_EQ(clone.result, MAPI_E_NO_SUPPORT);
  EXPECT_EQ(clone.hClone, 0);
  auto objects = reg.Objects();
  ASSERT_EQ(objects.size(), 3u);
  const auto& [hclone, copy] = objects.back();
  EXPECT_GT(hclone, h);
  EXPECT_EQ(copy->kind, kIStream);
  EXPECT_EQ(copy->Description(), "test object");
  EXPECT_EQ(copy->owner.load(), session->handle);
  EXPECT_EQ(Call<zel::ISTREAM_Seek>({hclone, 0, static_cast<std::int32_t>(STREAM_SEEK_END)}).libNewPosition, 3u);
}

// A stream whose Stat names it with `name`; nothing else is needed.
class NamedStream final : public RefCounted<IStream> {
 public:
  explicit NamedStream(std::u16string name) : name_(std::move(name)) {}
  HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return E_NOTIMPL; }
  HRESULT Revert() override { return E_NOTIMPL; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  HRESULT Clone(IStream**) override { return E_NOTIMPL; }
  HRESULT Stat(STATSTG* stat, DWORD flags) override {
    *stat = STATSTG{};
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = 0x100000002ull;
    stat->mtime = {7, 8};
    if (flags != STATFLAG_NONAME) {
      auto* p = static_cast<WCHAR*>(CoTaskMemAlloc((name_.size() + 1) * sizeof(WCHAR)));
      std::memcpy(p, name_.c_str(), (name_.size() + 1) * sizeof(WCHAR));
      stat->pwcsName = p;
    }
    return S_OK;
  }

 private:
  std::u16string name_;
};

TEST_F(Fixture, StatCutsTheNameTo61CharactersOrLeavesItOut) {
  std::u16string name;
  for (int i = 0; i < 70; ++i) name += static_cast<char16_t>(u'a' + i % 26);
  auto* stream = new NamedStream(name);
  std::int32_t h = Open(kMapiStream, stream);
  stream->Release();

  auto named = Call<zel::ISTREAM_Stat>({h, static_cast<std::int32_t>(STATFLAG_DEFAULT)});
  EXPECT_EQ(named.result, S_OK);
  EXPECT_EQ(std::string(named.statstg.name.data()), Utf16ToAnsi(name.substr(0, 61)));
  EXPECT_EQ(named.statstg.size, 0x100000002ull);
  EXPECT_EQ(named.statstg.mtime, 0x0000000800000007ull);
  auto anonymous = Call<zel::ISTREAM_Stat>({h, static_cast<std::int32_t>(STATFLAG_NONAME)});
  EXPECT_EQ(anonymous.statstg.name, (std::array<char, 64>{}));
  EXPECT_EQ(anonymous.statstg.size, 0x100000002ull);
}

// Each class runs only its own operations: another object's handle answers
// the not-found result and its object is left as it was.
TEST_F(Fixture, OperationsOfOneClassNeverRunOnAnother) {
  IStorage* storage = nullptr;
  ASSERT_EQ(storage::CreateMemoryStorage({}, true, nullptr, &storage), S_OK);
  IStream* stream = nullptr;
  ASSERT_EQ(storage::CreateMemoryStream({9, 9, 9}, true, nullptr, &stream), S_OK);
  std::int32_t hstorage = Open(kMapiStorage, storage), hstream = Open(kMapiStream, stream);

  auto read = Call<zel::ISTREAM_Read>({hstorage, 10});
  EXPECT_EQ(read.result, 1);
  EXPECT_EQ(read.cbRead, 0);
  EXPECT_EQ(Call<zel::ISTREAM_Write>({session->handle, {1}}).result, 1);
  EXPECT_EQ(Call<zel::ISTORAGE_CreateStream>({hstream, "x", static_cast<std::int32_t>(STGM_CREATE), 0, 0}).result, 1);
  EXPECT_EQ(Call<zel::IEnumSTATSTG_Next>({hstorage, 4}).result, 1);
  EXPECT_EQ(Call<zel::ISTREAM_Read>({9999, 10}).result, 1);

  IEnumSTATSTG* e = nullptr;
  ASSERT_EQ(storage->EnumElements(0, nullptr, 0, &e), S_OK);
  STATSTG s{};
  ULONG n = 0;
  EXPECT_EQ(e->Next(1, &s, &n), S_FALSE);  // no stream was made in it
  e->Release();
  STATSTG st{};
  ASSERT_EQ(stream->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, 3u);  // nothing was written
  stream->Release();
  storage->Release();
}

// ---- storages and enumerators ----

TEST_F(Fixture, CreatedStreamIsVisibleToALaterOpenStream) {
  IStorage* storage = nullptr;
  ASSERT_EQ(storage::CreateMemoryStorage({}, true, nullptr, &storage), S_OK);
  std::int32_t hstorage = Open(kMapiStorage, storage);
  storage->Release();
  const std::int32_t mode = static_cast<std::int32_t>(STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE);

  auto created = Call<zel::ISTORAGE_CreateStream>({hstorage, "Contents\xE4", mode, 0, 0});
  ASSERT_EQ(created.result, S_OK);
  ASSERT_GT(created.hNewStream, 0);
  EXPECT_EQ(Call<zel::ISTREAM_Write>({created.hNewStream, {'h', 'i'}}).cbWritten, 2);
  EXPECT_EQ(Call<zel::ISTREAM_Commit>({created.hNewStream, 0}).result, S_OK);
  EXPECT_EQ(Call<zel::ISTORAGE_Commit>({hstorage, 0}).result, S_OK);

  auto opened = Call<zel::ISTORAGE_OpenStream>({hstorage, "Contents\xE4", 0x10});
  ASSERT_EQ(opened.result, S_OK);
  auto read = Call<zel::ISTREAM_Read>({opened.hNewStream, 10});
  EXPECT_EQ(read.data.items, (std::vector<BYTE>{'h', 'i'}));
  // The name reached the storage widened from the ANSI code page.
  auto stat = Call<zel::ISTREAM_Stat>({opened.hNewStream, 0});
  EXPECT_STREQ(stat.statstg.name.data(), "Contents\xE4");

  auto created_obj = reg.Lookup(created.hNewStream, kIStream);
  auto opened_obj = reg.Lookup(opened.hNewStream, kIStream);
  ASSERT_TRUE(created_obj && opened_obj);
  EXPECT_EQ(created_obj->Description(), "CreateStream from IStorage " + std::to_string(hstorage));
  EXPECT_EQ(opened_obj->Description(), "OpenStream Contents\xE4 Mode 16 from IStorage " + std::to_string(hstorage));
  EXPECT_EQ(opened_obj->owner.load(), session->handle);

  EXPECT_EQ(Call<zel::ISTORAGE_OpenStream>({hstorage, "missing", 0x10}).result, STG_E_FILENOTFOUND);
  EXPECT_EQ(Call<zel::ISTORAGE_OpenStream>({hstorage, "missing", 0x10}).hNewStream, 0);
}

TEST_F(Fixture, EnumeratorNextReducesNamesToLowBytesAndSaysWhenItRanShort) {
  IStorage* storage = nullptr;
  ASSERT_EQ(storage::CreateMemoryStorage({}, true, nullptr, &storage), S_OK);
  std::int32_t hstorage = Open(kMapiStorage, storage);

  auto empty = Call<zel::ISTORAGE_ENUMElements>({hstorage, 0, 0, 0});
  ASSERT_EQ(empty.result, S_OK);
  ASSERT_GT(empty.hEnum, 0);
  auto none = Call<zel::IEnumSTATSTG_Next>({empty.hEnum, 5});
  EXPECT_EQ(none.result, S_FALSE);
  EXPECT_EQ(none.celtFetched, 0);

  // U+0141 and U+20AC keep only their low bytes 0x41 and 0xAC.
  IStream* s = nullptr;
  ASSERT_EQ(storage->CreateStream(u"x\u0141y\u20AC", STGM_CREATE | STGM_READWRITE, 0, 0, &s), S_OK);
  s->Release();
  IStorage* sub = nullptr;
  ASSERT_EQ(storage->CreateStorage(u"sub", STGM_CREATE | STGM_READWRITE, 0, 0, &sub), S_OK);
  sub->Release();
  storage->Release();

  auto e = Call<zel::ISTORAGE_ENUMElements>({hstorage, 0, 0, 0});
  ASSERT_EQ(e.result, S_OK);
  auto next = Call<zel::IEnumSTATSTG_Next>({e.hEnum, 5});
  EXPECT_EQ(next.result, S_FALSE);
  ASSERT_EQ(next.celtFetched, 2);
  std::vector<std::string> names;
  for (const auto& rec : next.statstg.items) names.emplace_back(rec.name.data());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"sub", "xAy\xAC"}));

  EXPECT_EQ(Call<zel::IEnumSTATSTG_Reset>({e.hEnum}).result, S_OK);
  EXPECT_EQ(Call<zel::IEnumSTATSTG_Skip>({e.hEnum, 1}).result, S_OK);
  auto clone = Call<zel::IEnumSTATSTG_Clone>({e.hEnum});
  ASSERT_EQ(clone.result, S_OK);
  ASSERT_GT(clone.hClone, 0);
  auto exact = Call<zel::IEnumSTATSTG_Next>({clone.hClone, 1});
  EXPECT_EQ(exact.result, S_OK);  // as many as asked
  EXPECT_EQ(exact.celtFetched, 1);
  auto enum_obj = reg.Lookup(clone.hClone, kIEnumSTATSTG);
  ASSERT_TRUE(enum_obj);
  EXPECT_EQ(enum_obj->owner.load(), session->handle);

  // A huge count from the wire answers with the elements there are.
  EXPECT_EQ(Call<zel::IEnumSTATSTG_Reset>({e.hEnum}).result, S_OK);
  auto all = Call<zel::IEnumSTATSTG_Next>({e.hEnum, 1 << 30});
  EXPECT_EQ(all.result, S_FALSE);
  EXPECT_EQ(all.celtFetched, 2);
}

TEST_F(Fixture, StorageStatHasNoNameAndSubStoragesOpen) {
  IStorage* storage = nullptr;
  ASSERT_EQ(storage::CreateMemoryStorage({}, true, nullptr, &storage), S_OK);
  std::int32_t hstorage = Open(kMapiStorage, storage);
  storage->Release();
  const std::int32_t mode = static_cast<std::int32_t>(STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE);
  auto sub = Call<zel::ISTORAGE_CreateStorage>({hstorage, "Inner", mode, 0, 0});
  ASSERT_EQ(sub.result, S_OK);
  ASSERT_GT(sub.hNewStorage, 0);
  zel::wire::Bytes16 clsid{};
  for (std::size_t i = 0; i < clsid.size(); ++i) clsid[i] = static_cast<std::uint8_t>(i + 1);
  EXPECT_EQ(Call<zel::ISTORAGE_SetClass>({sub.hNewStorage, clsid}).result, S_OK);
  auto opened = Call<zel::ISTORAGE_OpenStorage>({hstorage, "Inner", 0x12});
  ASSERT_EQ(opened.result, S_OK);
  auto stat = Call<zel::ISTORAGE_Stats>({opened.hNewStorage, 0});
  EXPECT_EQ(stat.result, S_OK);
  EXPECT_EQ(stat.statstg.name, (std::array<char, 64>{}));
  EXPECT_EQ(stat.statstg.type, static_cast<std::int32_t>(STGTY_STORAGE));
  EXPECT_EQ(stat.statstg.clsid, clsid);
  EXPECT_EQ(Call<zel::ISTORAGE_RenameElement>({hstorage, "Inner", "Outer"}).result, S_OK);
  EXPECT_EQ(Call<zel::ISTORAGE_DestroyElement>({hstorage, "Outer"}).result, S_OK);
  EXPECT_EQ(Call<zel::ISTORAGE_OpenStorage>({hstorage, "Outer", 0x12}).result, STG_E_FILENOTFOUND);
}

// ---- a real store ----

TEST_F(Fixture, StoreContentsTableAndAttachmentStreamOverTheWire) {
  const char* dir = std::getenv("VANTREL_TEST_TMPDIR");
  std::filesystem::create_directories(dir ? dir : "/tmp");
  const std::string path = std::string(dir ? dir : "/tmp") + "/objects.pst";
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  ComPtr<IMsgStore> store;
  ASSERT_EQ(OpenPstStore(path, "Personal Folders", MDB_WRITE, store.Out()), S_OK);
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  ASSERT_EQ(store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &type, unk.Out()), S_OK);
  auto folder = ComPtr<IMAPIFolder>::Adopt(static_cast<IMAPIFolder*>(unk.Detach()));
  ComPtr<IMessage> message;
  ASSERT_EQ(folder->CreateMessage(nullptr, 0, message.Out()), S_OK);
  SPropValue subject{};
  subject.ulPropTag = PR_SUBJECT;
  subject.Value.lpszA = const_cast<char*>("Bericht");
  ASSERT_EQ(HrSetOneProp(message.get(), &subject), S_OK);
  ComPtr<IAttach> attach;
  ULONG number = 0;
  ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, attach.Out()), S_OK);

  // The attachment's data written through a stream object and committed.
  std::vector<BYTE> bytes(100000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i % 253);
  ASSERT_EQ(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, unk.Out()), S_OK);
  std::int32_t writer = Open(kMapiStream, unk.get());
  unk.Reset();
  for (std::size_t at = 0; at < bytes.size(); at += 32768) {
    std::vector<BYTE> chunk(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + 32768));
    EXPECT_EQ(Call<zel::ISTREAM_Write>({writer, chunk}).cbWritten, static_cast<std::int32_t>(chunk.size()));
  }
  EXPECT_EQ(Call<zel::ISTREAM_Commit>({writer, 0}).result, S_OK);
  Call<zel::FreeHObject>({writer});
  ASSERT_EQ(attach->SaveChanges(0), S_OK);
  ASSERT_EQ(message->SaveChanges(0), S_OK);

  ComPtr<IMAPITable> contents;
  ASSERT_EQ(folder->GetContentsTable(0, contents.Out()), S_OK);
  std::int32_t table = Open(kMapiTable, contents.get());
  EXPECT_EQ(Call<zel::IMAPITABLE_SetColumns>({table, {CHANGE_PROP_TYPE(PR_SUBJECT, PT_UNICODE)}, 0}).result, S_OK);
  auto r = Call<zel::IMAPITABLE_QueryRows>({table, 50, 0});
  LPSRowSet rows = DecodeRows(Fetch(r.cb, r.hBuffer, r.inlineData));
  ASSERT_TRUE(rows && rows->cRows == 1);
  EXPECT_EQ(rows->aRow[0].lpProps[0].ulPropTag, PR_SUBJECT);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "Bericht");
  FreeProws(rows);

  // Read back from a second stream in reads of the largest size.
  ASSERT_EQ(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, unk.Out()), S_OK);
  std::int32_t reader = Open(kMapiStream, unk.get());
  unk.Reset();
  std::vector<BYTE> back;
  std::vector<std::int32_t> counts;
  for (int i = 0; i < 8; ++i) {  // bounded: a stuck stream must not hang the test
    auto read = Call<zel::ISTREAM_Read>({reader, 32768});
    ASSERT_EQ(read.result, S_OK);
    counts.push_back(read.cbRead);
    if (read.cbRead == 0) break;
    back.insert(back.end(), read.data.items.begin(), read.data.items.end());
  }
  EXPECT_EQ(counts, (std::vector<std::int32_t>{32768, 32768, 32768, 1696, 0}));
  EXPECT_EQ(back, bytes);
}

}  // namespace
}  // namespace vantrel::server
