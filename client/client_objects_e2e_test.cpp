// Storages, their enumerators, stream copies and table notifications of a
// Vantrel store through MAPI, on a real ZelServer from a workstation
// profile, as a mail client uses them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "client/ClientE2eSupport.h"
#include "platform/storage/MemoryStream.h"
#include "platform/storage/ObjIdl.h"
#include "platform/win/TestChild.h"

using namespace vantrel::clienttest;
using vantrel::ComPtr;

namespace {

ServerMachine* g_server = nullptr;

class Installation : public ::testing::Environment {
 public:
  void SetUp() override {
    vantrel::win::UsePrivateWinDir("client-objects-e2e");
    g_server = new ServerMachine(Scratch() + "/server");
    ASSERT_TRUE(g_server->Prepare(MAPIPROF_BIN, ZELUSERS_BIN));
    ASSERT_TRUE(g_server->Start(ZELSERVER_BIN));
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
    ASSERT_EQ(InstallWorkstation(g_server->port(), MSZLF_MODULE, ZELCLIENT_MODULE, MAPIPROF_BIN,
                                 Scratch() + "/local.pst"),
              "");
  }
  void TearDown() override {
    if (g_server) {
      EXPECT_EQ(g_server->Stop(), 0);
    }
    delete g_server;
    g_server = nullptr;
    MAPIUninitialize();
  }
};
const auto* const kInstallation = ::testing::AddGlobalTestEnvironment(new Installation);

constexpr CLSID kClass{0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

std::vector<BYTE> Pattern(size_t n, int seed) {
  std::vector<BYTE> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<BYTE>(i * 31 + static_cast<size_t>(seed));
  return v;
}

void WriteAll(IStream* s, const std::vector<BYTE>& bytes) {
  ULONG written = 0;
  ASSERT_EQ(s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), S_OK);
  ASSERT_EQ(written, bytes.size());
  ASSERT_EQ(s->Commit(STGC_DEFAULT), S_OK);
}

// Reads from the start in one Read as large as asked.
std::vector<BYTE> ReadAll(IStream* s, size_t max) {
  LARGE_INTEGER zero{};
  EXPECT_EQ(s->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
  std::vector<BYTE> out(max);
  ULONG got = 0;
  EXPECT_EQ(s->Read(out.data(), static_cast<ULONG>(max), &got), S_OK);
  out.resize(got);
  return out;
}

struct Element {
  std::u16string name;
  DWORD type;
};

std::vector<Element> Next(IEnumSTATSTG* e, ULONG n, HRESULT expected) {
  std::vector<STATSTG> stats(n);
  ULONG fetched = 0;
  EXPECT_EQ(e->Next(n, stats.data(), &fetched), expected);
  std::vector<Element> out;
  for (ULONG i = 0; i < fetched; ++i) {
    out.push_back({stats[i].pwcsName ? stats[i].pwcsName : u"<null>", stats[i].type});
    CoTaskMemFree(stats[i].pwcsName);
  }
  return out;
}

// A workstation logged on to its profile, with a folder of its own in the
// Vantrel store.
class WorkstationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_server);
    ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>(kWorkstationProfile), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED,
                          session_.Out()),
              S_OK);
    ASSERT_EQ(OpenWorkstationStore(session_.get(), vantrel::mszlf::kMszlfProviderUid, store_.Out()), S_OK);
    LPSPropValue ipm = nullptr;
    ASSERT_EQ(HrGetOneProp(store_.get(), PR_IPM_SUBTREE_ENTRYID, &ipm), S_OK);
    ULONG type = 0;
    ComPtr<IUnknown> unk;
    ASSERT_EQ(store_->OpenEntry(ipm->Value.bin.cb, reinterpret_cast<LPENTRYID>(ipm->Value.bin.lpb), nullptr,
                                MAPI_BEST_ACCESS, &type, unk.Out()),
              S_OK);
    MAPIFreeBuffer(ipm);
    ComPtr<IMAPIFolder> root;
    ASSERT_EQ(unk->QueryInterface(IID_IMAPIFolder, root.OutVoid()), S_OK);
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_EQ(root->CreateFolder(FOLDER_GENERIC, const_cast<LPSTR>(name.c_str()), nullptr, nullptr, OPEN_IF_EXISTS,
                                 folder_.Out()),
              S_OK);
  }
  void TearDown() override {
    folder_.Reset();
    store_.Reset();
    if (session_) session_->Logoff(0, 0, 0);
  }

  ComPtr<IMAPISession> session_;
  ComPtr<IMsgStore> store_;
  ComPtr<IMAPIFolder> folder_;
};

// The storage of an OLE attachment of a new message.
class StorageTest : public WorkstationTest {
 protected:
  void SetUp() override {
    WorkstationTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(folder_->CreateMessage(nullptr, 0, message_.Out()), S_OK);
    ULONG number = 0;
    ASSERT_EQ(message_->CreateAttach(nullptr, 0, &number, attach_.Out()), S_OK);
    SPropValue method{};
    method.ulPropTag = PR_ATTACH_METHOD;
    method.Value.l = ATTACH_OLE;
    ASSERT_EQ(attach_->SetProps(1, &method, nullptr), S_OK);
    ASSERT_EQ(attach_->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IStorage, 0, MAPI_CREATE | MAPI_MODIFY,
                                    reinterpret_cast<LPUNKNOWN*>(storage_.Out())),
              S_OK);
    ASSERT_TRUE(storage_);
  }
  void TearDown() override {
    storage_.Reset();
    attach_.Reset();
    message_.Reset();
    WorkstationTest::TearDown();
  }

  ComPtr<IMessage> message_;
  ComPtr<IAttach> attach_;
  ComPtr<IStorage> storage_;
};

TEST_F(StorageTest, ElementsEnumerateAndCopyRecursivelyIntoALocalStorage) {
  // More than one server read of each, and a name outside ASCII (the
  // server keeps names of the Latin-1 range).
  const std::vector<BYTE> contents = Pattern(100000, 1), inner = Pattern(40000, 2);
  ComPtr<IStream> s;
  ASSERT_EQ(storage_->CreateStream(u"Contents", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, s.Out()),
            S_OK);
  WriteAll(s.get(), contents);
  ComPtr<IStorage> sub;
  ASSERT_EQ(storage_->CreateStorage(u"Sub", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, sub.Out()),
            S_OK);
  ComPtr<IStream> in;
  ASSERT_EQ(sub->CreateStream(u"Inner \u00e4", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, in.Out()),
            S_OK);
  WriteAll(in.get(), inner);
  in.Reset();
  ASSERT_EQ(sub->Commit(STGC_DEFAULT), S_OK);
  sub.Reset();
  ASSERT_EQ(storage_->SetClass(kClass), S_OK);
  ASSERT_EQ(storage_->Commit(STGC_DEFAULT), S_OK);

  // Answered here: times succeed, moves are refused.
  EXPECT_EQ(storage_->SetElementTimes(u"Contents", nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(storage_->MoveElementTo(u"Contents", storage_.get(), u"Moved", STGMOVE_MOVE), STG_E_MEDIUMFULL);

  STATSTG stat{};
  ASSERT_EQ(storage_->Stat(&stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(stat.pwcsName, nullptr);
  EXPECT_EQ(stat.clsid, kClass);

  // The enumerator: names come back as they were given; a clone goes on
  // from where the server's enumerator stood.
  ComPtr<IEnumSTATSTG> e;
  ASSERT_EQ(storage_->EnumElements(0, nullptr, 0, e.Out()), S_OK);
  std::vector<Element> all = Next(e.get(), 10, S_FALSE);
  ASSERT_EQ(all.size(), 2u);
  std::vector<std::u16string> names{all[0].name, all[1].name};
  EXPECT_NE(std::find(names.begin(), names.end(), u"Contents"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), u"Sub"), names.end());
  ASSERT_EQ(e->Reset(), S_OK);
  std::vector<Element> first = Next(e.get(), 1, S_OK);
  ASSERT_EQ(first.size(), 1u);
  ComPtr<IEnumSTATSTG> clone;
  ASSERT_EQ(e->Clone(clone.Out()), S_OK);
  std::vector<Element> second = Next(clone.get(), 1, S_OK);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(second[0].name, first[0].name);
  EXPECT_EQ(Next(clone.get(), 1, S_FALSE).size(), 0u);
  clone.Reset();

  ComPtr<IStorage> local;
  ASSERT_EQ(vantrel::storage::CreateMemoryStorage({}, true, nullptr, local.Out()), S_OK);
  ASSERT_EQ(storage_->CopyTo(0, nullptr, nullptr, local.get()), S_OK);
  STATSTG local_stat{};
  ASSERT_EQ(local->Stat(&local_stat, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(local_stat.clsid, kClass);
  ComPtr<IStream> copied;
  ASSERT_EQ(local->OpenStream(u"Contents", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, copied.Out()), S_OK);
  EXPECT_EQ(ReadAll(copied.get(), 200000), contents);
  ComPtr<IStorage> local_sub;
  ASSERT_EQ(local->OpenStorage(u"Sub", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, local_sub.Out()), S_OK);
  ASSERT_EQ(local_sub->OpenStream(u"Inner \u00e4", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, copied.Out()), S_OK);
  EXPECT_EQ(ReadAll(copied.get(), 200000), inner);
}

TEST_F(StorageTest, StreamCopyToAnotherVantrelStreamAndCountsBeyondFourGigabytes) {
  const std::vector<BYTE> bytes = Pattern(150000, 3);
  ComPtr<IStream> from, to;
  ASSERT_EQ(storage_->CreateStream(u"From", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, from.Out()),
            S_OK);
  WriteAll(from.get(), bytes);
  ASSERT_EQ(storage_->CreateStream(u"To", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, to.Out()), S_OK);

  struct Case {
    std::uint64_t count;
    size_t expected;
  } cases[] = {
      {100, 100},                           // stops at the count, not at the next 64 KiB
      {(1ull << 32) + 10, bytes.size()},    // a count past 4 GiB is a count, not its low half
      {~0ull, bytes.size()},                // everything there is
  };
  for (const Case& c : cases) {
    LARGE_INTEGER zero{};
    ASSERT_EQ(from->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
    ULARGE_INTEGER empty{};
    ASSERT_EQ(to->SetSize(empty), S_OK);
    ASSERT_EQ(to->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
    ULARGE_INTEGER count, read{}, written{};
    count.QuadPart = c.count;
    // The destination is one of ours: its writes run inside the copy's call.
    ASSERT_EQ(from->CopyTo(to.get(), count, &read, &written), S_OK) << c.count;
    EXPECT_EQ(read.QuadPart, c.expected) << c.count;
    EXPECT_EQ(written.QuadPart, c.expected) << c.count;
    EXPECT_EQ(ReadAll(to.get(), 200000), std::vector<BYTE>(bytes.begin(), bytes.begin() + c.expected)) << c.count;
  }

  // An empty source writes nothing and answers its read's result.
  ComPtr<IStream> none;
  ASSERT_EQ(storage_->CreateStream(u"Empty", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, none.Out()),
            S_OK);
  ULARGE_INTEGER all, read{}, written{};
  all.QuadPart = ~0ull;
  EXPECT_EQ(none->CopyTo(to.get(), all, &read, &written), S_OK);
  EXPECT_EQ(read.QuadPart, 0u);
  EXPECT_EQ(written.QuadPart, 0u);

  STATSTG stat{};
  ASSERT_EQ(from->Stat(&stat, STATFLAG_DEFAULT), S_OK);
  EXPECT_EQ(stat.pwcsName, nullptr);  // a stream's status carries no name
  EXPECT_EQ(stat.cbSize.QuadPart, bytes.size());
  EXPECT_EQ(stat.type, STGTY_STREAM);
}

// Table events as a mail client's view of a folder receives them.
class TableSink final : public vantrel::RefCounted<IMAPIAdviseSink> {
 public:
  ULONG OnNotify(ULONG count, LPNOTIFICATION notifications) override {
    for (ULONG i = 0; i < count; ++i) {
      const NOTIFICATION& n = notifications[i];
      if (n.ulEventType != fnevTableModified) continue;
      events.push_back(n.info.tab.ulTableEvent);
      for (ULONG c = 0; c < n.info.tab.row.cValues; ++c) {
        const SPropValue& v = n.info.tab.row.lpProps[c];
        if (v.ulPropTag == PR_SUBJECT_A) subjects.emplace_back(v.Value.lpszA);
      }
    }
    return 0;
  }
  std::vector<ULONG> events;
  std::vector<std::string> subjects;
};

TEST_F(WorkstationTest, ContentsTableAdviseHearsNewRowsUntilUnadvised) {
  auto table_with_sink = [&](ComPtr<IMAPITable>& table, TableSink* sink, ULONG* connection) {
    ASSERT_EQ(folder_->GetContentsTable(0, table.Out()), S_OK);
    SizedSPropTagArray<2> cols{2, {PR_SUBJECT_A, PR_ENTRYID}};
    ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
    ASSERT_EQ(table->Advise(fnevTableModified, sink, connection), S_OK);
  };
  auto save = [&](const char* subject) {
    ComPtr<IMessage> m;
    ASSERT_EQ(folder_->CreateMessage(nullptr, 0, m.Out()), S_OK);
    SPropValue v{};
    v.ulPropTag = PR_SUBJECT_A;
    v.Value.lpszA = const_cast<LPSTR>(subject);
    ASSERT_EQ(m->SetProps(1, &v, nullptr), S_OK);
    ASSERT_EQ(m->SaveChanges(0), S_OK);
  };
  auto heard = [](TableSink* sink, const char* subject) {
    return [sink, subject] {
      return std::find(sink->subjects.begin(), sink->subjects.end(), subject) != sink->subjects.end();
    };
  };

  ComPtr<TableSink> first = ComPtr<TableSink>::Adopt(new TableSink);
  ComPtr<IMAPITable> table;
  ULONG connection = ~0u;
  table_with_sink(table, first.get(), &connection);
  save("first new row");
  ASSERT_TRUE(PumpUntil(heard(first.get(), "first new row"), std::chrono::seconds(20)))
      << "no table notification while the thread pumped";
  EXPECT_NE(std::find(first->events.begin(), first->events.end(), TABLE_ROW_ADDED), first->events.end());

  // Once unadvised, the first sink hears nothing of the next row, which a
  // second registration hears: both would arrive with the same poll.
  ASSERT_EQ(table->Unadvise(connection), S_OK);
  ComPtr<TableSink> second = ComPtr<TableSink>::Adopt(new TableSink);
  ComPtr<IMAPITable> other;
  ULONG other_connection = ~0u;
  table_with_sink(other, second.get(), &other_connection);
  EXPECT_NE(other_connection, connection);
  save("second new row");
  ASSERT_TRUE(PumpUntil(heard(second.get(), "second new row"), std::chrono::seconds(20)));
  EXPECT_FALSE(heard(first.get(), "second new row")());
  EXPECT_EQ(other->Unadvise(other_connection), S_OK);
}

}  // namespace
