// Large values in chunks through property streams, and readers that do
// not wait for each other.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <chrono>
#include <mutex>
#include <thread>
#include <tuple>

#include <sqlite3.h>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PstStore.h"
#include "platform/mapi/TableData.h"
#include "platform/mapi/pst/StoreTestUtil.h"

using vantrel::ComPtr;
using namespace storetest;

namespace {

// Rows in the chunk table of a store file.
int64_t ChunkRows(const std::string& path) {
  sqlite3* db = nullptr;
  int64_t n = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM chunks", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return n;
}

ComPtr<IStream> PropStream(IMAPIProp* obj, ULONG tag, ULONG flags) {
  ComPtr<IUnknown> unk;
  EXPECT_EQ(obj->OpenProperty(tag, &IID_IStream, 0, flags, unk.Out()), S_OK);
  return ComPtr<IStream>::Adopt(static_cast<IStream*>(unk.Detach()));
}

std::vector<BYTE> ReadAll(IStream* st) {
  LARGE_INTEGER zero{};
  st->Seek(zero, STREAM_SEEK_SET, nullptr);
  std::vector<BYTE> out, buf(7000);  // pieces that straddle chunk boundaries
  for (ULONG got = 1; got;) {
    EXPECT_EQ(st->Read(buf.data(), static_cast<ULONG>(buf.size()), &got), S_OK);
    out.insert(out.end(), buf.begin(), buf.begin() + got);
  }
  return out;
}

void WriteAll(IStream* st, const void* p, size_t n) {
  for (size_t off = 0; off < n; off += 10000) {
    ULONG put = 0, want = static_cast<ULONG>(std::min<size_t>(10000, n - off));
    ASSERT_EQ(st->Write(static_cast<const BYTE*>(p) + off, want, &put), S_OK);
    ASSERT_EQ(put, want);
  }
}

ULONGLONG StreamSize(IStream* st) {
  STATSTG s{};
  EXPECT_EQ(st->Stat(&s, STATFLAG_NONAME), S_OK);
  return s.cbSize.QuadPart;
}

// Values of several chunks: binary and text through streams, kept across
// reopening, read in the other width, reverted, discarded unsaved, and
// gone with their message.
TEST(StoreLargeValues, ChunkedValuesSaveRevertAndDiscard) {
  std::string path = TmpPath("chunked.pst");
  std::vector<BYTE> data(230000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + (i >> 12));
  std::memset(data.data() + 70000, 0xEE, 100);
  // Text with a two-byte, a non-Latin and a four-byte character, long enough
  // that some of them are cut at chunk boundaries.
  std::u16string text;
  while (text.size() < 120000) text += u"caf\u00e9 \u0416 \U0001F600 line;";
  std::vector<BYTE> eid;
  {
    auto s = Open(path);
    auto f = Subtree(s.get());
    ComPtr<IMessage> m;
    ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
    ULONG num;
    ComPtr<IAttach> a;
    ASSERT_EQ(m->CreateAttach(nullptr, 0, &num, a.Out()), S_OK);
    auto st = PropStream(a.get(), PR_ATTACH_DATA_BIN, MAPI_CREATE | MAPI_MODIFY);
    std::vector<BYTE> first(data);
    std::memset(first.data() + 70000, 0, 100);
    WriteAll(st.get(), first.data(), first.size());
    LARGE_INTEGER at;
    at.QuadPart = 70000;
    ASSERT_EQ(st->Seek(at, STREAM_SEEK_SET, nullptr), S_OK);
    WriteAll(st.get(), data.data() + 70000, 100);
    ASSERT_EQ(st->Commit(STGC_DEFAULT), S_OK);
    ASSERT_EQ(a->SaveChanges(0), S_OK);
    auto body = PropStream(m.get(), PR_BODY_W, MAPI_CREATE | MAPI_MODIFY);
    WriteAll(body.get(), text.data(), text.size() * 2);
    ASSERT_EQ(body->Commit(STGC_DEFAULT), S_OK);
    ASSERT_EQ(m->SaveChanges(0), S_OK);
    eid = Bin(m.get(), PR_ENTRYID);
  }
  const int64_t saved_rows = ChunkRows(path);
  EXPECT_GT(saved_rows, 0);
  auto s = Open(path);
  {
    auto m = OpenAs<IMessage>(s.get(), eid, MAPI_MODIFY);
    ComPtr<IAttach> a;
    ASSERT_EQ(m->OpenAttach(0, nullptr, MAPI_MODIFY, a.Out()), S_OK);
    EXPECT_EQ(ReadAll(PropStream(a.get(), PR_ATTACH_DATA_BIN, 0).get()), data);
    // Under the GetProps limit, the text comes back whole in both widths.
    LPSPropValue v = nullptr;
    ASSERT_EQ(HrGetOneProp(m.get(), PR_BODY_W, &v), S_OK);
    EXPECT_TRUE(std::u16string(reinterpret_cast<const char16_t*>(v->Value.lpszW)) == text);
    MAPIFreeBuffer(v);
    std::string ansi = vantrel::Utf16ToAnsi(text);
    ASSERT_EQ(HrGetOneProp(m.get(), PR_BODY, &v), S_OK);
    EXPECT_EQ(std::string(v->Value.lpszA), ansi);
    MAPIFreeBuffer(v);
    auto narrow = ReadAll(PropStream(m.get(), PR_BODY, 0).get());
    EXPECT_EQ(std::string(narrow.begin(), narrow.end()), ansi);

    // Revert goes back to the committed value; an uncommitted stream leaves it.
    auto st = PropStream(a.get(), PR_ATTACH_DATA_BIN, MAPI_MODIFY);
    ULARGE_INTEGER small;
    small.QuadPart = 1000;
    ASSERT_EQ(st->SetSize(small), S_OK);
    EXPECT_EQ(StreamSize(st.get()), 1000u);
    ASSERT_EQ(st->Revert(), S_OK);
    EXPECT_EQ(StreamSize(st.get()), data.size());
    EXPECT_EQ(ReadAll(st.get()), data);
    ASSERT_EQ(st->SetSize(small), S_OK);
    st.Reset();
    ASSERT_EQ(a->SaveChanges(0), S_OK);
    ASSERT_EQ(m->SaveChanges(0), S_OK);
  }
  {
    auto m = OpenAs<IMessage>(s.get(), eid, 0);
    ComPtr<IAttach> a;
    ASSERT_EQ(m->OpenAttach(0, nullptr, 0, a.Out()), S_OK);
    EXPECT_EQ(ReadAll(PropStream(a.get(), PR_ATTACH_DATA_BIN, 0).get()), data);
  }
  EXPECT_EQ(ChunkRows(path), saved_rows);

  // A message released unsaved takes its stream's chunks with it.
  auto f = Subtree(s.get());
  {
    ComPtr<IMessage> m;
    ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
    auto st = PropStream(m.get(), PR_BODY_W, MAPI_CREATE | MAPI_MODIFY);
    WriteAll(st.get(), text.data(), text.size() * 2);
    ASSERT_EQ(st->Commit(STGC_DEFAULT), S_OK);
    EXPECT_GT(ChunkRows(path), saved_rows);
  }
  EXPECT_EQ(ChunkRows(path), saved_rows);

  // Copies carry the chunks; deleting both messages leaves none.
  auto other = Child(f.get(), "Copies");
  SBinary b{static_cast<ULONG>(eid.size()), eid.data()};
  ENTRYLIST list{1, &b};
  ASSERT_EQ(f->CopyMessages(&list, nullptr, other.get(), 0, nullptr, 0), S_OK);
  EXPECT_EQ(ChunkRows(path), 2 * saved_rows);
  // A move to another store takes them along.
  std::string path2 = TmpPath("chunked2.pst");
  auto s2 = Open(path2);
  auto f2 = Subtree(s2.get());
  ASSERT_EQ(f->CopyMessages(&list, nullptr, f2.get(), 0, nullptr, MESSAGE_MOVE), S_OK);
  EXPECT_EQ(ChunkRows(path), saved_rows);
  EXPECT_EQ(ChunkRows(path2), saved_rows);
  {
    ComPtr<IMAPITable> t;
    ASSERT_EQ(f2->GetContentsTable(0, t.Out()), S_OK);
    SizedSPropTagArray<1> cols{1, {PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    ASSERT_EQ(HrQueryAllRows(t.get(), cols.get(), nullptr, nullptr, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 1u);
    const SBinary& e = rows->aRow[0].lpProps[0].Value.bin;
    auto moved = OpenAs<IMessage>(s2.get(), std::vector<BYTE>(e.lpb, e.lpb + e.cb), 0);
    FreeProws(rows);
    ComPtr<IAttach> a;
    ASSERT_EQ(moved->OpenAttach(0, nullptr, 0, a.Out()), S_OK);
    EXPECT_EQ(ReadAll(PropStream(a.get(), PR_ATTACH_DATA_BIN, 0).get()), data);
  }
  ASSERT_EQ(other->EmptyFolder(0, nullptr, 0), S_OK);
  EXPECT_EQ(ChunkRows(path), 0);
}

// A value over the GetProps limit is one PT_ERROR among the values asked
// for; CopyTo still carries it (through streams).
TEST(StoreLargeValues, OverTheLimitIsOneErrorAndStillCopies) {
  std::string path = TmpPath("limit.pst");
  auto s = Open(path);
  auto f = Subtree(s.get());
  ComPtr<IMessage> m, copy;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  std::vector<BYTE> big(3 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i % 251);
  SPropValue v[2] = {};
  v[0].ulPropTag = PR_SUBJECT;
  v[0].Value.lpszA = const_cast<char*>("big one");
  v[1].ulPropTag = PR_RTF_COMPRESSED;
  v[1].Value.bin = {static_cast<ULONG>(big.size()), big.data()};
  ASSERT_EQ(m->SetProps(2, v, nullptr), S_OK);
  ASSERT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  SizedSPropTagArray<3> tags{3, {PR_SUBJECT, PR_RTF_COMPRESSED, PR_IMPORTANCE}};
  ULONG n = 0;
  LPSPropValue got = nullptr;
  ASSERT_EQ(m->GetProps(tags.get(), 0, &n, &got), MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(n, 3u);
  EXPECT_STREQ(got[0].Value.lpszA, "big one");
  EXPECT_EQ(got[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_RTF_COMPRESSED)));
  EXPECT_EQ(got[1].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(got[2].Value.err, MAPI_E_NOT_FOUND);
  MAPIFreeBuffer(got);
  ASSERT_EQ(f->CreateMessage(nullptr, 0, copy.Out()), S_OK);
  ASSERT_EQ(m->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, copy.get(), 0, nullptr), S_OK);
  ASSERT_EQ(copy->SaveChanges(0), S_OK);
  EXPECT_EQ(ReadAll(PropStream(copy.get(), PR_RTF_COMPRESSED, 0).get()), big);
}

long HighWaterKiB() {
  FILE* f = fopen("/proc/self/status", "r");
  long kib = -1;
  char line[256];
  while (f && fgets(line, sizeof(line), f))
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::atol(line + 6);
  if (f) fclose(f);
  return kib;
}

// Writing and reading back a 64 MiB attachment grows the peak memory of a
// fresh process by far less than the value.
TEST(StoreLargeValues, MemoryStaysFarBelowTheValue) {
  std::string path = TmpPath("flat.pst");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const size_t total = size_t{64} << 20;
    ComPtr<IMsgStore> s;
    if (OpenPstStore(path, "M", MDB_WRITE, s.Out()) != S_OK) _exit(2);
    auto f = Subtree(s.get());
    long before = HighWaterKiB();
    ComPtr<IMessage> m;
    f->CreateMessage(nullptr, 0, m.Out());
    ULONG num;
    ComPtr<IAttach> a;
    m->CreateAttach(nullptr, 0, &num, a.Out());
    auto st = PropStream(a.get(), PR_ATTACH_DATA_BIN, MAPI_CREATE | MAPI_MODIFY);
    std::vector<BYTE> buf(64 * 1024, 0x5A);
    for (size_t off = 0; off < total; off += buf.size()) st->Write(buf.data(), static_cast<ULONG>(buf.size()), nullptr);
    if (st->Commit(STGC_DEFAULT) != S_OK || a->SaveChanges(0) != S_OK || m->SaveChanges(0) != S_OK) _exit(3);
    st.Reset();
    auto back = PropStream(a.get(), PR_ATTACH_DATA_BIN, 0);
    size_t read = 0;
    for (ULONG got = 1; got; read += got) back->Read(buf.data(), static_cast<ULONG>(buf.size()), &got);
    if (read != total) _exit(4);
    long grew_mib = (HighWaterKiB() - before) >> 10;
    _exit(grew_mib < 24 ? 0 : 10 + static_cast<int>(std::min<long>(grew_mib, 200)));
  }
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0) << "exit 10+N: peak grew by N MiB";
}

}  // namespace

namespace {

// Two threads reading one store are inside their read transactions at the
// same time: each waits in the read hook until the other has arrived.
std::mutex g_meet_mu;
std::condition_variable g_meet_cv;
int g_inside = 0, g_most = 0;
void MeetAnotherReader() {
  std::unique_lock<std::mutex> g(g_meet_mu);
  g_most = std::max(g_most, ++g_inside);
  g_meet_cv.notify_all();
  g_meet_cv.wait_for(g, std::chrono::seconds(10), [] { return g_most >= 2; });
  --g_inside;
}

TEST_F(StoreTest, ReadersOverlap) {
  auto f = Child(Subtree(store_.get()).get(), "Readers");
  ComPtr<IMessage> m;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  SetString(m.get(), PR_SUBJECT, "read me");
  ASSERT_EQ(m->SaveChanges(0), S_OK);
  auto eid = Bin(m.get(), PR_ENTRYID);
  auto folder_eid = Bin(f.get(), PR_ENTRYID);
  SetPstStoreReadHook(MeetAnotherReader);
  std::atomic<int> failures{0};
  auto read = [&](const std::vector<BYTE>& e) {
    ULONG type = 0;
    ComPtr<IUnknown> unk;
    if (store_->OpenEntry(static_cast<ULONG>(e.size()), (LPENTRYID)e.data(), nullptr, 0, &type, unk.Out()) != S_OK)
      ++failures;
  };
  std::thread a(read, eid), b(read, folder_eid);
  a.join();
  b.join();
  SetPstStoreReadHook(nullptr);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(g_most, 2);
}

}  // namespace
