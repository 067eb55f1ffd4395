// The client's cost, three columns in one run on one store: platform MAPI
// in this process on the store file itself; the protocol's raw stubs over
// RPC to a ZelServer serving that store; zelclient through MAPI (a
// workstation profile with the Vantrel service and its store provider).
// Operations: the first 50 rows of a 20,000-message folder (contents table
// opened, columns set, one page), the whole folder in pages of 100, GetProps
// of 10 properties, a 10 MB attachment read in 32 KiB Reads and copied with
// CopyTo into a memory stream. Each figure is the median of five runs.
// Round trips per operation are counted by a second process of this
// program that runs each operation once through a relay between client and
// server, which counts the requests (first fragments) it passes on.
// Prints figures and ratios; asserts nothing.
//
//   client_bench [SCRATCH_DIR] [MESSAGES]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchMailbox.h"
#include "client/ClientE2eSupport.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/PstStore.h"
#include "platform/rpc/Socket.h"
#include "platform/storage/MemoryStream.h"
#include "protocol/MapiMarshal.h"
#include "protocol/ZelStubs.h"
#include "server/app/ServerProcess.h"

namespace {

using namespace vantrel;
using clienttest::ServerMachine;
using Clock = std::chrono::steady_clock;

using bench::kAttachmentBytes;
using bench::TenTags;
constexpr const ULONG (&kColumns)[8] = bench::kListColumns;
constexpr ULONG kReadChunk = 32768;
constexpr std::int32_t kCopyChunk = 65535;  // zelclient's CopyTo reads
constexpr int kRuns = 5;
constexpr int kGetPropsCalls = 300;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) std::fprintf(stderr, "client_bench: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
  return SUCCEEDED(hr);
}

// ---- the operations, once per column -------------------------------------------

struct Results {
  double first_page_ms = 0, all_pages_ms = 0, getprops_us = 0, read_ms = 0, copy_ms = 0;
  size_t first_rows = 0, all_rows = 0, read_bytes = 0, copy_bytes = 0;
};

class Column {
 public:
  virtual ~Column() = default;
  virtual size_t FirstPage() = 0;  // rows seen
  virtual size_t AllPages() = 0;
  virtual bool GetProps() = 0;
  virtual size_t ReadAttachment() = 0;  // bytes
  virtual size_t CopyAttachment() = 0;
};

// A column over any IMsgStore: the store file in this process, or the
// workstation's Vantrel store that MAPI hands out.
class MapiColumn : public Column {
 public:
  explicit MapiColumn(IMsgStore* store) : store_(store) {}

  bool Open() {
    ComPtr<IMAPIFolder> ipm = OpenFolder(Binary(store_.get(), PR_IPM_SUBTREE_ENTRYID));
    if (!ipm) return false;
    bench_ = OpenFolder(ChildId(ipm.get(), "Bench"));
    ComPtr<IMAPIFolder> side = OpenFolder(ChildId(ipm.get(), "Side"));
    if (!bench_ || !side) return false;
    ComPtr<IMAPITable> contents;
    if (!Check(side->GetContentsTable(0, contents.Out()), "side contents")) return false;
    SizedSPropTagArray<1> cols{1, {PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    if (FAILED(HrQueryAllRows(contents.get(), cols.get(), nullptr, nullptr, 1, &rows)) || rows->cRows != 1) return false;
    std::vector<BYTE> id(rows->aRow[0].lpProps[0].Value.bin.lpb,
                         rows->aRow[0].lpProps[0].Value.bin.lpb + rows->aRow[0].lpProps[0].Value.bin.cb);
    FreeProws(rows);
    ULONG type = 0;
    ComPtr<IUnknown> unk;
    if (!Check(store_->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                                 MAPI_BEST_ACCESS, &type, unk.Out()),
               "open message"))
      return false;
    unk->QueryInterface(IID_IMessage, message_.OutVoid());
    if (!message_ || !Check(message_->OpenAttach(0, nullptr, 0, attach_.Out()), "open attach")) return false;
    return Check(bench_->GetContentsTable(0, listing_.Out()), "contents");
  }

  size_t FirstPage() override {
    ComPtr<IMAPITable> table;
    if (FAILED(bench_->GetContentsTable(0, table.Out()))) return 0;
    SizedSPropTagArray<8> cols;
    std::copy(std::begin(kColumns), std::end(kColumns), cols.aulPropTag);
    if (FAILED(table->SetColumns(cols.get(), 0))) return 0;
    LPSRowSet rows = nullptr;
    if (FAILED(table->QueryRows(50, 0, &rows)) || !rows) return 0;
    size_t n = rows->cRows;
    FreeProws(rows);
    return n;
  }

  size_t AllPages() override {
    SizedSPropTagArray<8> cols;
    std::copy(std::begin(kColumns), std::end(kColumns), cols.aulPropTag);
    listing_->SetColumns(cols.get(), 0);
    listing_->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
    size_t n = 0;
    for (;;) {
      LPSRowSet rows = nullptr;
      if (FAILED(listing_->QueryRows(100, 0, &rows)) || !rows) break;
      ULONG got = rows->cRows;
      n += got;
      FreeProws(rows);
      if (got == 0) break;
    }
    return n;
  }

  bool GetProps() override {
    static std::vector<ULONG> tags = TenTags();
    SizedSPropTagArray<10> t;
    std::copy(tags.begin(), tags.end(), t.aulPropTag);
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = message_->GetProps(t.get(), 0, &count, &values);
    MAPIFreeBuffer(values);
    return hr == S_OK && count == 10;
  }

  size_t ReadAttachment() override {
    ComPtr<IStream> s;
    if (FAILED(attach_->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(s.Out()))))
      return 0;
    std::vector<BYTE> buffer(kReadChunk);
    size_t total = 0;
    for (;;) {
      ULONG got = 0;
      if (FAILED(s->Read(buffer.data(), kReadChunk, &got)) || got == 0) break;
      total += got;
    }
    return total;
  }

  size_t CopyAttachment() override {
    ComPtr<IStream> s, dest;
    if (FAILED(attach_->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(s.Out()))) ||
        FAILED(storage::CreateMemoryStream({}, true, nullptr, dest.Out())))
      return 0;
    ULARGE_INTEGER all, read{}, written{};
    all.QuadPart = ~0ull;
    if (FAILED(s->CopyTo(dest.get(), all, &read, &written))) return 0;
    return static_cast<size_t>(written.QuadPart);
  }

 private:
  static std::vector<BYTE> Binary(IMAPIProp* object, ULONG tag) {
    LPSPropValue v = nullptr;
    if (FAILED(HrGetOneProp(object, tag, &v))) return {};
    std::vector<BYTE> out(v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb);
    MAPIFreeBuffer(v);
    return out;
  }
  ComPtr<IMAPIFolder> OpenFolder(std::vector<BYTE> id) {
    ULONG type = 0;
    ComPtr<IUnknown> unk;
    ComPtr<IMAPIFolder> out;
    if (!id.empty() && SUCCEEDED(store_->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()),
                                                   nullptr, MAPI_BEST_ACCESS, &type, unk.Out())))
      unk->QueryInterface(IID_IMAPIFolder, out.OutVoid());
    return out;
  }
  static std::vector<BYTE> ChildId(IMAPIFolder* parent, const char* name) {
    ComPtr<IMAPITable> table;
    if (FAILED(parent->GetHierarchyTable(0, table.Out()))) return {};
    SizedSPropTagArray<2> cols{2, {PR_DISPLAY_NAME_A, PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    std::vector<BYTE> id;
    if (FAILED(HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, &rows))) return {};
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* p = rows->aRow[i].lpProps;
      if (PROP_TYPE(p[0].ulPropTag) == PT_STRING8 && std::strcmp(p[0].Value.lpszA, name) == 0)
        id.assign(p[1].Value.bin.lpb, p[1].Value.bin.lpb + p[1].Value.bin.cb);
    }
    FreeProws(rows);
    return id;
  }

  ComPtr<IMsgStore> store_;
  ComPtr<IMAPIFolder> bench_;
  ComPtr<IMessage> message_;
  ComPtr<IAttach> attach_;
  ComPtr<IMAPITable> listing_;
};

// The same operations with the protocol's typed stubs, as a client that
// needs no MAPI objects would make them.
class RawColumn : public Column {
 public:
  explicit RawColumn(zel::Transport t) : t_(std::move(t)) {}

  bool Open() {
    session_ = Call<zel::Tarnix_Logon>({ServerMachine::kProfile, ServerMachine::kStore, ServerMachine::kUser,
                                        ServerMachine::kPassword, "", ""})
                   .result;
    if (session_ <= 0) return false;
    store_ = Call<zel::ZelLogon_GetMsgStore>({session_}).result;
    std::int32_t ipm = OpenId(BinaryProp(store_, PR_IPM_SUBTREE_ENTRYID));
    bench_ = OpenId(ChildId(ipm, "Bench"));
    std::int32_t side = OpenId(ChildId(ipm, "Side"));
    if (bench_ <= 0 || side <= 0) return false;
    auto contents = Call<zel::IMAPICONTAIENR_GetContentsTable>({side, 0});
    Call<zel::IMAPITABLE_SetColumns>({contents.hTable, {PR_ENTRYID}, 0});
    LPSRowSet rows = Rows(Call<zel::IMAPITABLE_QueryRows>({contents.hTable, 1, 0}));
    Call<zel::FreeHObject>({contents.hTable});
    if (!rows || rows->cRows != 1) return false;
    const SBinary& b = rows->aRow[0].lpProps[0].Value.bin;
    message_ = OpenId(std::vector<BYTE>(b.lpb, b.lpb + b.cb));
    FreeProws(rows);
    attach_ = Call<zel::IMESSAGE_OpenAttach>({message_, 0, {}, 0}).hAttach;
    listing_ = Call<zel::IMAPICONTAIENR_GetContentsTable>({bench_, 0}).hTable;
    return message_ > 0 && attach_ > 0 && listing_ > 0;
  }

  size_t FirstPage() override {
    std::int32_t table = Call<zel::IMAPICONTAIENR_GetContentsTable>({bench_, 0}).hTable;
    Call<zel::IMAPITABLE_SetColumns>({table, {std::begin(kColumns), std::end(kColumns)}, 0});
    LPSRowSet rows = Rows(Call<zel::IMAPITABLE_QueryRows>({table, 50, 0}));
    size_t n = rows ? rows->cRows : 0;
    FreeProws(rows);
    Call<zel::FreeHObject>({table});
    return n;
  }

  size_t AllPages() override {
    Call<zel::IMAPITABLE_SetColumns>({listing_, {std::begin(kColumns), std::end(kColumns)}, 0});
    Call<zel::IMAPITABLE_SeekRow>({listing_, static_cast<std::int32_t>(BOOKMARK_BEGINNING), 0});
    size_t n = 0;
    for (;;) {
      LPSRowSet rows = Rows(Call<zel::IMAPITABLE_QueryRows>({listing_, 100, 0}));
      if (!rows) break;
      ULONG got = rows->cRows;
      n += got;
      FreeProws(rows);
      if (got == 0) break;
    }
    return n;
  }

  bool GetProps() override {
    static const std::vector<ULONG> tags = TenTags();
    auto r = Call<zel::MAPIPROP_GetProps>({message_, {tags.begin(), tags.end()}, 0});
    std::vector<BYTE> block;
    zel::FetchResultBlock(t_, r.cb, r.hBuffer, r.inlineData, block);
    zel::MarshalReader reader(block);
    LPSPropValue values = nullptr;
    bool ok = r.result == S_OK && codec_.ReadProps(reader, static_cast<ULONG>(r.cValues), nullptr, &values) == S_OK;
    MAPIFreeBuffer(values);
    return ok && r.cValues == 10;
  }

  size_t ReadAttachment() override {
    std::int32_t s = OpenStream();
    std::vector<BYTE> buffer(kReadChunk);
    size_t total = 0;
    for (;;) {
      auto r = Call<zel::ISTREAM_Read>({s, static_cast<std::int32_t>(kReadChunk)});
      if (r.result != S_OK || r.cbRead <= 0) break;
      std::memcpy(buffer.data(), r.data.items.data(), r.data.items.size());
      total += r.data.items.size();
    }
    Call<zel::FreeHObject>({s});
    return total;
  }

  size_t CopyAttachment() override {
    std::int32_t s = OpenStream();
    ComPtr<IStream> dest;
    storage::CreateMemoryStream({}, true, nullptr, dest.Out());
    size_t total = 0;
    for (;;) {
      auto r = Call<zel::ISTREAM_Read>({s, kCopyChunk});
      if (r.cbRead <= 0) break;
      ULONG w = 0;
      dest->Write(r.data.items.data(), static_cast<ULONG>(r.data.items.size()), &w);
      total += w;
    }
    Call<zel::FreeHObject>({s});
    return total;
  }

 private:
  template <class Op>
  typename Op::Reply Call(const typename Op::Request& in) {
    typename Op::Reply out;
    if (zel::Invoke<Op>(t_, in, out) != RPC_S_OK) {
      std::fprintf(stderr, "client_bench: %s: transport failed\n", Op::kName);
      std::exit(1);
    }
    return out;
  }
  LPSRowSet Rows(const zel::IMAPITABLE_QueryRows::Reply& r) {
    std::vector<BYTE> block;
    if (r.result != S_OK || zel::FetchResultBlock(t_, r.cb, r.hBuffer, r.inlineData, block) != RPC_S_OK) return nullptr;
    zel::MarshalReader reader(block);
    LPSRowSet rows = nullptr;
    return codec_.ReadRowSet(reader, nullptr, &rows) == S_OK ? rows : nullptr;
  }
  std::vector<BYTE> BinaryProp(std::int32_t h, ULONG tag) {
    auto r = Call<zel::MAPIPROP_GetProps>({h, {tag}, 0});
    std::vector<BYTE> block;
    zel::FetchResultBlock(t_, r.cb, r.hBuffer, r.inlineData, block);
    zel::MarshalReader reader(block);
    LPSPropValue v = nullptr;
    if (r.result != S_OK || codec_.ReadProps(reader, 1, nullptr, &v) != S_OK || v->ulPropTag != tag) return {};
    std::vector<BYTE> out(v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb);
    MAPIFreeBuffer(v);
    return out;
  }
  std::vector<BYTE> ChildId(std::int32_t folder, const char* name) {
    std::int32_t h = Call<zel::IMAPICONTAIENR_GetHierarchyTable>({folder, 0}).hTable;
    Call<zel::IMAPITABLE_SetColumns>({h, {PR_DISPLAY_NAME_A, PR_ENTRYID}, 0});
    LPSRowSet rows = Rows(Call<zel::IMAPITABLE_QueryRows>({h, 100, 0}));
    std::vector<BYTE> id;
    for (ULONG i = 0; rows && i < rows->cRows; ++i) {
      const SPropValue* p = rows->aRow[i].lpProps;
      if (PROP_TYPE(p[0].ulPropTag) == PT_STRING8 && std::strcmp(p[0].Value.lpszA, name) == 0)
        id.assign(p[1].Value.bin.lpb, p[1].Value.bin.lpb + p[1].Value.bin.cb);
    }
    FreeProws(rows);
    Call<zel::FreeHObject>({h});
    return id;
  }
  std::int32_t OpenId(const std::vector<BYTE>& id) {
    return Call<zel::MSGSTORE_OpenEntry>({store_, id, {}, MAPI_BEST_ACCESS}).hNewObject;
  }
  std::int32_t OpenStream() {
    return Call<zel::IMAPIPROP_OpenProperty>(
               {attach_, PR_ATTACH_DATA_BIN, zel::InterfaceSelector(IID_IStream), 0, 0})
        .hNewObject;
  }

  zel::Transport t_;
  zel::CMapiMarshal codec_;
  std::int32_t session_ = -1, store_ = -1, bench_ = -1, message_ = -1, attach_ = -1, listing_ = -1;
};

// Five runs of each operation, the columns taking turns within each run
// (and within each GetProps call pair), so a busy machine weighs on all of
// them alike; GetProps as the median call of each run.
std::vector<Results> Measure(const std::vector<Column*>& columns) {
  const size_t n = columns.size();
  std::vector<Results> r(n);
  std::vector<std::vector<double>> first(n), all(n), props(n), read(n), copy(n);
  auto timed = [](auto&& op) {
    auto t0 = Clock::now();
    op();
    return Ms(Clock::now() - t0);
  };
  for (int run = 0; run < kRuns; ++run) {
    for (size_t c = 0; c < n; ++c) first[c].push_back(timed([&] { r[c].first_rows = columns[c]->FirstPage(); }));
    for (size_t c = 0; c < n; ++c) all[c].push_back(timed([&] { r[c].all_rows = columns[c]->AllPages(); }));
    std::vector<std::vector<double>> calls(n);
    for (int i = 0; i < kGetPropsCalls; ++i)
      for (size_t c = 0; c < n; ++c)
        calls[c].push_back(timed([&] {
                             if (!columns[c]->GetProps())
                               std::fprintf(stderr, "client_bench: GetProps did not return 10 values\n");
                           }) *
                           1000);
    for (size_t c = 0; c < n; ++c) props[c].push_back(Median(calls[c]));
    for (size_t c = 0; c < n; ++c) read[c].push_back(timed([&] { r[c].read_bytes = columns[c]->ReadAttachment(); }));
    for (size_t c = 0; c < n; ++c) copy[c].push_back(timed([&] { r[c].copy_bytes = columns[c]->CopyAttachment(); }));
  }
  for (size_t c = 0; c < n; ++c) {
    r[c].first_page_ms = Median(first[c]);
    r[c].all_pages_ms = Median(all[c]);
    r[c].getprops_us = Median(props[c]);
    r[c].read_ms = Median(read[c]);
    r[c].copy_ms = Median(copy[c]);
  }
  return r;
}

// ---- counting round trips -----------------------------------------------------

// Passes TCP connections on to the server and counts the requests that go
// through: DCE/RPC request PDUs that open a call (first fragment).
class CountingRelay {
 public:
  explicit CountingRelay(std::string server_port) : server_port_(std::move(server_port)) {
    rpc::ListenTcp(0, 16, listen_, port_);
    acceptor_ = std::thread([this] {
      for (;;) {
        int fd = ::accept(listen_.fd(), nullptr, nullptr);
        if (fd < 0) return;
        auto client = std::make_shared<rpc::Socket>(fd);
        auto server = std::make_shared<rpc::Socket>();
        if (rpc::ConnectTcp("127.0.0.1", server_port_, 5000, *server) != RPC_S_OK) continue;
        rpc::SetNoDelay(*client);
        std::lock_guard l(mu_);
        pumps_.emplace_back([this, client, server] { Requests(*client, *server); });
        pumps_.emplace_back([client, server] { Copy(*server, *client); });
        sockets_.push_back(client);
        sockets_.push_back(server);
      }
    });
  }
  ~CountingRelay() {
    listen_.Shutdown();
    acceptor_.join();
    std::lock_guard l(mu_);
    for (auto& s : sockets_) s->Shutdown();
    for (auto& t : pumps_) t.join();
  }
  std::uint16_t port() const { return port_; }
  long Take() { return requests_.exchange(0); }

 private:
  void Requests(const rpc::Socket& from, const rpc::Socket& to) {
    std::vector<std::uint8_t> pdu(1 << 16);
    for (;;) {
      if (rpc::RecvAll(from, pdu.data(), 16, rpc::kWaitForever) != rpc::IoResult::kOk) break;
      bool little = (pdu[4] & 0x10) != 0;
      std::uint16_t len = little ? static_cast<std::uint16_t>(pdu[8] | pdu[9] << 8)
                                 : static_cast<std::uint16_t>(pdu[9] | pdu[8] << 8);
      if (len < 16) break;
      if (rpc::RecvAll(from, pdu.data() + 16, len - 16u, rpc::kWaitForever) != rpc::IoResult::kOk) break;
      if (pdu[2] == 0 /* request */ && (pdu[3] & 0x01) /* first fragment */) ++requests_;
      if (rpc::SendAll(to, pdu.data(), len) != rpc::IoResult::kOk) break;
    }
    to.Shutdown();
  }
  static void Copy(const rpc::Socket& from, const rpc::Socket& to) {
    std::vector<std::uint8_t> buf(1 << 16);
    for (;;) {
      ssize_t n = ::recv(from.fd(), buf.data(), buf.size(), 0);
      if (n <= 0 || rpc::SendAll(to, buf.data(), static_cast<size_t>(n)) != rpc::IoResult::kOk) break;
    }
    to.Shutdown();
  }

  std::string server_port_;
  rpc::Socket listen_;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> pumps_;
  std::vector<std::shared_ptr<rpc::Socket>> sockets_;
  std::atomic<long> requests_{0};
};

struct Trips {
  long first = 0, all = 0, props = 0, read = 0, copy = 0;
};

Trips Count(Column& c, CountingRelay& relay) {
  Trips t;
  relay.Take();
  c.FirstPage();
  t.first = relay.Take();
  c.AllPages();
  t.all = relay.Take();
  c.GetProps();
  t.props = relay.Take();
  c.ReadAttachment();
  t.read = relay.Take();
  c.CopyAttachment();
  t.copy = relay.Take();
  return t;
}

std::unique_ptr<MapiColumn> WorkstationColumn(ComPtr<IMAPISession>& session) {
  if (!Check(MAPILogonEx(0, const_cast<LPSTR>(clienttest::kWorkstationProfile), nullptr, MAPI_NO_MAIL | MAPI_EXTENDED,
                         session.Out()),
             "MAPILogonEx"))
    return nullptr;
  ComPtr<IMsgStore> store;
  if (!Check(clienttest::OpenWorkstationStore(session.get(), mszlf::kMszlfProviderUid, store.Out()),
             "OpenMsgStore (Vantrel)"))
    return nullptr;
  auto column = std::make_unique<MapiColumn>(store.get());
  return column->Open() ? std::move(column) : nullptr;
}

// The second process: every operation once per remote column through the
// relay; prints "trips raw|zel first all props read copy".
int CountPass(const std::string& server_port) {
  CountingRelay relay(server_port);
  std::string relay_port = std::to_string(relay.port());
  setenv("ZEL_RPC_ENDPOINT", relay_port.c_str(), 1);
  if (!Check(MAPIInitialize(nullptr), "MAPIInitialize")) return 1;
  {
    testsupport::Binding binding(relay_port);
    RawColumn raw(binding.transport());
    if (!raw.Open()) return 1;
    Trips t = Count(raw, relay);
    std::printf("trips raw %ld %ld %ld %ld %ld\n", t.first, t.all, t.props, t.read, t.copy);
  }
  {
    ComPtr<IMAPISession> session;
    std::unique_ptr<MapiColumn> zel = WorkstationColumn(session);
    if (!zel) return 1;
    Trips t = Count(*zel, relay);
    std::printf("trips zel %ld %ld %ld %ld %ld\n", t.first, t.all, t.props, t.read, t.copy);
    zel.reset();
    if (session) session->Logoff(0, 0, 0);
  }
  MAPIUninitialize();
  std::fflush(stdout);
  return 0;
}

// Runs this program's count pass in a child; its "trips" lines by column.
std::map<std::string, Trips> CountInChild(const char* self, const std::string& server_port) {
  std::map<std::string, Trips> out;
  int pipefd[2];
  if (pipe(pipefd) != 0) return out;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipefd[1], 1);
    close(pipefd[0]);
    close(pipefd[1]);
    execl(self, self, "--count", server_port.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipefd[1]);
  FILE* f = fdopen(pipefd[0], "r");
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    char which[8] = {};
    Trips t;
    if (std::sscanf(line, "trips %7s %ld %ld %ld %ld %ld", which, &t.first, &t.all, &t.props, &t.read, &t.copy) == 6)
      out[which] = t;
  }
  std::fclose(f);
  int status = 0;
  waitpid(pid, &status, 0);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--count") return CountPass(argv[2]);
  std::string dir = argc > 1 ? argv[1] : "/tmp/vantrel-client-bench";
  int count = argc > 2 ? std::atoi(argv[2]) : 20000;
  // The workstation's registry and MAPI folder (this process and the count
  // pass); the server machine keeps its own below `dir`/server.
  setenv("ZEL_REGISTRY_DIR", (dir + "/ws/registry").c_str(), 1);
  setenv("ZEL_MAPI_DIR", (dir + "/ws/mapi").c_str(), 1);
  setenv("ZEL_WIN_DIR", (dir + "/ws/win").c_str(), 1);
  ServerMachine server(dir + "/server");
  if (!server.Prepare(MAPIPROF_BIN, ZELUSERS_BIN)) {
    std::fprintf(stderr, "client_bench: cannot prepare the server machine in %s\n", dir.c_str());
    return 1;
  }
  const std::string pst = dir + "/server/jsmith.pst";
  {
    ComPtr<IMsgStore> store;
    if (!Check(OpenPstStore(pst, ServerMachine::kStore, MDB_WRITE, store.Out()), "open store")) return 1;
    auto t0 = Clock::now();
    if (!bench::SeedMailbox(store.get(), count, "client_bench")) return 1;
    std::printf("seeded %d messages and a %zu MB attachment in %.1f s\n", count, kAttachmentBytes >> 20,
                Ms(Clock::now() - t0) / 1000);
    std::fflush(stdout);  // before any program is started
  }
  if (!server.Start(ZELSERVER_BIN)) {
    std::fprintf(stderr, "client_bench: ZelServer did not start\n");
    return 1;
  }
  if (!Check(MAPIInitialize(nullptr), "MAPIInitialize")) return 1;
  std::string failure = clienttest::InstallWorkstation(server.port(), MSZLF_MODULE, ZELCLIENT_MODULE, MAPIPROF_BIN,
                                                       dir + "/ws/local.pst");
  if (!failure.empty()) {
    std::fprintf(stderr, "client_bench: workstation: %s\n", failure.c_str());
    return 1;
  }

  // Column 1: platform MAPI on the store file (the server has it open too;
  // SQLite lets both read). Column 2: the raw stubs. Column 3: zelclient
  // through MAPI.
  Results local, raw, zel;
  {
    ComPtr<IMsgStore> store;
    if (!Check(OpenPstStore(pst, ServerMachine::kStore, 0, store.Out()), "open store")) return 1;
    MapiColumn local_column(store.get());
    if (!local_column.Open()) {
      std::fprintf(stderr, "client_bench: the seeded folders are missing\n");
      return 1;
    }
    testsupport::Binding binding(server.port());
    RawColumn raw_column(binding.transport());
    if (!raw_column.Open()) {
      std::fprintf(stderr, "client_bench: raw logon failed\n");
      return 1;
    }
    ComPtr<IMAPISession> session;
    std::unique_ptr<MapiColumn> zel_column = WorkstationColumn(session);
    if (!zel_column) {
      std::fprintf(stderr, "client_bench: the workstation's Vantrel store did not open\n");
      return 1;
    }
    std::vector<Results> r = Measure({&local_column, &raw_column, zel_column.get()});
    local = r[0];
    raw = r[1];
    zel = r[2];
    zel_column.reset();
    session->Logoff(0, 0, 0);
  }
  std::fflush(stdout);
  std::map<std::string, Trips> trips = CountInChild(argv[0], server.port());
  MAPIUninitialize();
  server.Stop();

  auto trip = [&](const char* which, long Trips::*field) -> std::string {
    auto it = trips.find(which);
    return it == trips.end() ? "?" : std::to_string(it->second.*field);
  };
  std::printf("\nmedians of %d runs, one store; zel/raw = zelclient through MAPI / raw stubs\n", kRuns);
  std::printf("%-34s %12s %12s %12s %8s %14s\n", "", "MAPI local", "raw stubs", "zelclient", "zel/raw",
              "trips raw/zel");
  auto line = [&](const char* what, double a, double b, double c, const char* unit, long Trips::*field) {
    std::string u = unit;
    std::printf("%-34s %9.2f %-2s %9.2f %-2s %9.2f %-2s %8.2f %14s\n", what, a, u.c_str(), b, u.c_str(), c, u.c_str(),
                c / b, (trip("raw", field) + " / " + trip("zel", field)).c_str());
  };
  line("first 50 rows (open, columns, page)", local.first_page_ms, raw.first_page_ms, zel.first_page_ms, "ms",
       &Trips::first);
  line("whole folder in pages of 100", local.all_pages_ms, raw.all_pages_ms, zel.all_pages_ms, "ms", &Trips::all);
  line("GetProps of 10 properties", local.getprops_us, raw.getprops_us, zel.getprops_us, "us", &Trips::props);
  line("10 MB attachment, Read of 32 KiB", local.read_ms, raw.read_ms, zel.read_ms, "ms", &Trips::read);
  line("10 MB attachment, CopyTo memory", local.copy_ms, raw.copy_ms, zel.copy_ms, "ms", &Trips::copy);
  std::printf("    rows: first page %zu / %zu / %zu, whole folder %zu / %zu / %zu; bytes read %zu / %zu / %zu, copied "
              "%zu / %zu / %zu\n",
              local.first_rows, raw.first_rows, zel.first_rows, local.all_rows, raw.all_rows, zel.all_rows,
              local.read_bytes, raw.read_bytes, zel.read_bytes, local.copy_bytes, raw.copy_bytes, zel.copy_bytes);
  std::printf("    round trips counted in a second process through a relay that counts the requests it passes on\n");
  std::printf("    first page through zelclient: %.1f ms (goal: under 100 ms)\n", zel.first_page_ms);
  return 0;
}
