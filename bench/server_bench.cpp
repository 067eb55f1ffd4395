// The remote interface's cost, each figure beside a baseline taken in the
// same run: GetProps of 10 properties over RPC beside a raw TCP ping-pong of
// the same request and reply sizes; a 20,000-message folder listed in pages
// of 100 over RPC beside the same listing through platform MAPI in this
// process; a 10 MB attachment read with ISTREAM_Read beside a raw TCP
// transfer in 32 KiB request and response pairs; 40 clients at once doing
// GetProps beside 40 raw TCP connections to an echo server; the server's CPU
// time per GetProps beside the echo thread's per round trip. Each figure is
// the median of five runs. Then 2,000 idle connections: what the server
// holds for them (threads, memory), for this build and, when the variable
// SERVER_BENCH_BEFORE names another ZelServer program, for that one.
// SERVER_BENCH_ZELSERVER runs everything against another ZelServer.
// Prints figures and ratios; asserts nothing.
//
//   server_bench [SCRATCH_DIR] [MESSAGES]
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchMailbox.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PstStore.h"
#include "platform/rpc/Socket.h"
#include "platform/storage/ObjIdl.h"
#include "protocol/MapiMarshal.h"
#include "protocol/ZelStubs.h"
#include "server/app/ServerProcess.h"

namespace {

using namespace vantrel;
using Clock = std::chrono::steady_clock;
using testsupport::Mailbox;

using bench::kAttachmentBytes;
constexpr const ULONG (&kColumns)[8] = bench::kListColumns;
constexpr std::int32_t kChunk = 32768;
constexpr int kRuns = 5;
constexpr int kClients = 40;
constexpr int kLoadCalls = 250;
constexpr int kIdleConnections = 2000;
constexpr int kIdleAddresses = 32;  // 127.0.0.1 .. 127.0.0.32

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// CPU time a task (a thread: /proc/PID/task/TID) has run, in microseconds,
// from the scheduler's nanosecond account.
double TaskCpuUs(const std::string& task) {
  std::ifstream f(task + "/schedstat");
  double ns = 0;
  f >> ns;
  return ns / 1000;
}

// CPU time of every thread of a process, in microseconds.
double ProcessCpuUs(pid_t pid) {
  std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  double us = 0;
  if (DIR* d = opendir(tasks.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') us += TaskCpuUs(tasks + "/" + e->d_name);
    closedir(d);
  }
  return us;
}

// A field of /proc/PID/status ("Threads:", "VmRSS:").
long StatusField(pid_t pid, const char* name) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind(name, 0) == 0) return std::atol(line.c_str() + std::strlen(name));
  return -1;
}

bool Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) std::fprintf(stderr, "server_bench: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
  return SUCCEEDED(hr);
}

// Pages of 100 rows of a contents table; the rows seen.
std::size_t ListLocally(IMAPITable* table) {
  SizedSPropTagArray<8> cols;
  std::copy(std::begin(kColumns), std::end(kColumns), cols.aulPropTag);
  table->SetColumns(cols.get(), 0);
  table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
  std::size_t n = 0;
  for (;;) {
    LPSRowSet rows = nullptr;
    if (FAILED(table->QueryRows(100, 0, &rows)) || !rows) break;
    ULONG got = rows->cRows;
    n += got;
    FreeProws(rows);
    if (got == 0) break;
  }
  return n;
}

// ---- raw TCP baseline ---------------------------------------------------------

// Each request: 8 bytes (request length, reply length), the request bytes;
// answered with reply-length bytes. One thread per connection, TCP_NODELAY
// on both ends as the RPC runtime has.
class RawServer {
 public:
  RawServer() {
    rpc::ListenTcp(0, 128, listen_, port_);
    acceptor_ = std::thread([this] {
      for (;;) {
        int fd = ::accept(listen_.fd(), nullptr, nullptr);
        if (fd < 0) return;
        std::lock_guard<std::mutex> l(mu_);
        auto& c = conns_.emplace_back(std::make_unique<rpc::Socket>(fd));
        rpc::SetNoDelay(*c);
        threads_.emplace_back([this, s = c.get()] { Echo(*s); });
      }
    });
  }
  ~RawServer() {
    listen_.Shutdown();
    acceptor_.join();
    std::lock_guard<std::mutex> l(mu_);
    for (auto& c : conns_) c->Shutdown();
    for (auto& t : threads_) t.join();
  }
  std::uint16_t port() const { return port_; }
  // CPU time of every echo thread so far, in microseconds.
  double CpuUs() {
    std::lock_guard<std::mutex> l(mu_);
    double us = 0;
    for (pid_t tid : tids_) us += TaskCpuUs("/proc/self/task/" + std::to_string(tid));
    return us;
  }

 private:
  void Echo(const rpc::Socket& c) {
    {
      std::lock_guard<std::mutex> l(mu_);
      tids_.push_back(static_cast<pid_t>(::syscall(SYS_gettid)));
    }
    std::vector<std::uint8_t> buf(1 << 20);
    for (;;) {
      std::uint32_t head[2];
      if (rpc::RecvAll(c, head, 8, rpc::kWaitForever) != rpc::IoResult::kOk) return;
      if (head[0] > buf.size() || head[1] > buf.size()) return;
      if (head[0] && rpc::RecvAll(c, buf.data(), head[0], rpc::kWaitForever) != rpc::IoResult::kOk) return;
      if (rpc::SendAll(c, buf.data(), head[1]) != rpc::IoResult::kOk) return;
    }
  }
  rpc::Socket listen_;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::unique_ptr<rpc::Socket>> conns_;
  std::vector<std::thread> threads_;
  std::vector<pid_t> tids_;
};

// One client connection to the raw server.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) {
    rpc::ConnectTcp("127.0.0.1", std::to_string(port), rpc::kWaitForever, sock_);
  }
  bool RoundTrip(std::uint32_t request, std::uint32_t reply) {
    out_.assign(8 + request, 0x5A);
    std::memcpy(out_.data(), &request, 4);
    std::memcpy(out_.data() + 4, &reply, 4);
    back_.resize(reply);
    return rpc::SendAll(sock_, out_.data(), out_.size()) == rpc::IoResult::kOk &&
           rpc::RecvAll(sock_, back_.data(), reply, rpc::kWaitForever) == rpc::IoResult::kOk;
  }

 private:
  rpc::Socket sock_;
  std::vector<std::uint8_t> out_, back_;
};

// A transport that remembers the stub sizes of its last call.
struct Measured {
  zel::Transport inner;
  std::size_t request = 0, reply = 0;
  zel::Transport Wrap() {
    return [this](std::uint16_t op, const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out, bool& big) {
      RPC_STATUS s = inner(op, in, out, big);
      request = in.size();
      reply = out.size();
      return s;
    };
  }
};

template <class Op>
typename Op::Reply Call(const zel::Transport& t, const typename Op::Request& in) {
  typename Op::Reply out;
  if (zel::Invoke<Op>(t, in, out) != RPC_S_OK) {
    std::fprintf(stderr, "server_bench: %s: transport failed\n", Op::kName);
    std::exit(1);
  }
  return out;
}

std::vector<std::uint8_t> BinaryProp(const zel::Transport& t, std::int32_t h, ULONG tag) {
  auto r = Call<zel::MAPIPROP_GetProps>(t, {h, {tag}, 0});
  std::vector<std::uint8_t> block;
  zel::FetchResultBlock(t, r.cb, r.hBuffer, r.inlineData, block);
  zel::CMapiMarshal codec;
  zel::MarshalReader reader(block);
  LPSPropValue v = nullptr;
  if (r.result != S_OK || codec.ReadProps(reader, 1, nullptr, &v) != S_OK || v->ulPropTag != tag) return {};
  std::vector<std::uint8_t> out(v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb);
  MAPIFreeBuffer(v);
  return out;
}

// The entry ID of the named subfolder of `folder`, through its hierarchy table.
std::vector<std::uint8_t> ChildId(const zel::Transport& t, std::int32_t folder, const char* name) {
  auto h = Call<zel::IMAPICONTAIENR_GetHierarchyTable>(t, {folder, 0});
  Call<zel::IMAPITABLE_SetColumns>(t, {h.hTable, {PR_DISPLAY_NAME_A, PR_ENTRYID}, 0});
  auto r = Call<zel::IMAPITABLE_QueryRows>(t, {h.hTable, 100, 0});
  std::vector<std::uint8_t> block, id;
  zel::FetchResultBlock(t, r.cb, r.hBuffer, r.inlineData, block);
  zel::CMapiMarshal codec;
  zel::MarshalReader reader(block);
  LPSRowSet rows = nullptr;
  if (codec.ReadRowSet(reader, nullptr, &rows) == S_OK && rows) {
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* p = rows->aRow[i].lpProps;
      if (PROP_TYPE(p[0].ulPropTag) == PT_STRING8 && std::strcmp(p[0].Value.lpszA, name) == 0)
        id.assign(p[1].Value.bin.lpb, p[1].Value.bin.lpb + p[1].Value.bin.cb);
      MAPIFreeBuffer(rows->aRow[i].lpProps);
    }
    MAPIFreeBuffer(rows);
  }
  Call<zel::FreeHObject>(t, {h.hTable});
  return id;
}

std::int32_t Open(const zel::Transport& t, std::int32_t store, const std::vector<std::uint8_t>& id) {
  return Call<zel::MSGSTORE_OpenEntry>(t, {store, id, {}, MAPI_BEST_ACCESS}).hNewObject;
}

struct IdleCost {
  size_t held = 0, closed = 0;
  long threads_before = 0, threads = 0, rss_before = 0, rss = 0;
  double call_us = 0;
  int call_failures = 0;
};

// Opens kIdleConnections that send nothing, spread over kIdleAddresses
// loopback addresses, to a fresh `program`; what the server holds then, and
// with 100 of them closed a working client's GetMsgStore latency (median of
// 200).
IdleCost MeasureIdle(const std::string& program, const std::string& home) {
  IdleCost cost;
  testsupport::ServerProcess server(program, home);
  pid_t pid = server.pid();
  if (!server.ready() || pid <= 0) return cost;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  cost.threads_before = StatusField(pid, "Threads:");
  cost.rss_before = StatusField(pid, "VmRSS:");
  std::vector<int> fds;
  for (int i = 0; i < kIdleConnections; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK + static_cast<std::uint32_t>(i % kIdleAddresses));
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(std::atoi(server.port().c_str())));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      continue;
    }
    fds.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  std::vector<int> held;
  for (int fd : fds) {
    pollfd p{fd, POLLIN, 0};
    char c;
    bool closed = ::poll(&p, 1, 0) > 0 && ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
    ++(closed ? cost.closed : cost.held);
    if (!closed) held.push_back(fd);
  }
  cost.threads = StatusField(pid, "Threads:");
  cost.rss = StatusField(pid, "VmRSS:");
  // A server at its cap refuses the working client too: make room first.
  // Reset rather than closed: no TIME_WAIT left on the loopback addresses
  // to collide with the next server's port.
  auto reset = [](int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
  };
  for (int i = 0; i < 100 && !held.empty(); ++i) {
    int fd = held.back();
    held.pop_back();
    fds.erase(std::find(fds.begin(), fds.end(), fd));
    reset(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  {
    testsupport::Binding b(server.port());
    std::vector<double> us;
    for (int i = 0; i < 200; ++i) {
      auto t0 = Clock::now();
      zel::ZelLogon_GetMsgStore::Reply r;
      if (zel::Invoke<zel::ZelLogon_GetMsgStore>(b.transport(), {0}, r) != RPC_S_OK) ++cost.call_failures;
      us.push_back(Ms(Clock::now() - t0) * 1000);
    }
    cost.call_us = Median(us);
  }
  for (int fd : fds) reset(fd);
  server.Stop();
  return cost;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "/tmp/vantrel-server-bench";
  int count = argc > 2 ? std::atoi(argv[2]) : 20000;
  // A private registry and MAPI folder: the bench never sees real profiles.
  setenv("ZEL_REGISTRY_DIR", (dir + "-registry").c_str(), 1);
  setenv("ZEL_MAPI_DIR", (dir + "-mapi").c_str(), 1);
  // Idle connections take a descriptor each, here and in the server.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  if (!testsupport::PrepareMailboxHome(dir, MAPIPROF_BIN, ZELUSERS_BIN)) {
    std::fprintf(stderr, "server_bench: cannot prepare %s\n", dir.c_str());
    return 1;
  }

  // Seed the store.
  {
    ComPtr<IMsgStore> store;
    if (!Check(OpenPstStore(dir + "/jsmith.pst", Mailbox::kStore, MDB_WRITE, store.Out()), "open store")) return 1;
    auto t0 = Clock::now();
    if (!bench::SeedMailbox(store.get(), count, "server_bench")) return 1;
    std::printf("seeded %d messages and a %zu MB attachment in %.1f s\n", count, kAttachmentBytes >> 20,
                Ms(Clock::now() - t0) / 1000);
  }

  // SERVER_BENCH_ZELSERVER runs the figures against another ZelServer.
  const char* program = std::getenv("SERVER_BENCH_ZELSERVER");
  if (!program || !*program) program = ZELSERVER_BIN;
  testsupport::ServerProcess server(program, dir + "/home");
  if (!server.ready()) {
    std::fprintf(stderr, "server_bench: ZelServer did not start\n");
    return 1;
  }
  const pid_t server_pid = server.pid();
  testsupport::Binding binding(server.port());
  Measured measured{binding.transport()};
  zel::Transport t = measured.Wrap();
  std::int32_t session =
      Call<zel::Tarnix_Logon>(t, {Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, Mailbox::kPassword, "", ""})
          .result;
  std::int32_t store = Call<zel::ZelLogon_GetMsgStore>(t, {session}).result;
  if (session <= 0 || store <= 0) {
    std::fprintf(stderr, "server_bench: logon failed (%d, %d)\n", session, store);
    return 1;
  }
  std::int32_t ipm = Open(t, store, BinaryProp(t, store, PR_IPM_SUBTREE_ENTRYID));
  std::int32_t bench = Open(t, store, ChildId(t, ipm, "Bench"));
  std::int32_t side = Open(t, store, ChildId(t, ipm, "Side"));
  auto contents = Call<zel::IMAPICONTAIENR_GetContentsTable>(t, {side, 0});
  Call<zel::IMAPITABLE_SetColumns>(t, {contents.hTable, {PR_ENTRYID}, 0});
  auto row = Call<zel::IMAPITABLE_QueryRows>(t, {contents.hTable, 1, 0});
  std::vector<std::uint8_t> block;
  zel::FetchResultBlock(t, row.cb, row.hBuffer, row.inlineData, block);
  zel::CMapiMarshal codec;
  std::vector<std::uint8_t> message_id;
  {
    zel::MarshalReader reader(block);
    LPSRowSet rows = nullptr;
    if (codec.ReadRowSet(reader, nullptr, &rows) != S_OK || !rows || rows->cRows != 1) {
      std::fprintf(stderr, "server_bench: the side message is missing\n");
      return 1;
    }
    const SBinary& b = rows->aRow[0].lpProps[0].Value.bin;
    message_id.assign(b.lpb, b.lpb + b.cb);
    MAPIFreeBuffer(rows->aRow[0].lpProps);
    MAPIFreeBuffer(rows);
  }
  std::int32_t message = Open(t, store, message_id);

  RawServer raw;
  RawClient raw_client(raw.port());

  // 1. GetProps of 10 properties, alternated with a raw round trip of the
  // same stub sizes; five runs, each figure the median of its run.
  const std::vector<ULONG> ten = bench::TenTags();
  const std::vector<std::uint32_t> tags(ten.begin(), ten.end());
  Call<zel::MAPIPROP_GetProps>(t, {message, tags, 0});
  const auto getprops_request = static_cast<std::uint32_t>(measured.request);
  const auto getprops_reply = static_cast<std::uint32_t>(measured.reply);
  std::vector<double> getprops_runs, getprops_raw_runs;
  for (int run = 0; run < kRuns; ++run) {
    std::vector<double> rpc_us, raw_us;
    for (int i = 0; i < 1000; ++i) {
      auto t0 = Clock::now();
      auto r = Call<zel::MAPIPROP_GetProps>(t, {message, tags, 0});
      auto t1 = Clock::now();
      raw_client.RoundTrip(getprops_request, getprops_reply);
      auto t2 = Clock::now();
      if (r.result != S_OK || r.cValues != 10) {
        std::fprintf(stderr, "server_bench: GetProps answered 0x%08X\n", static_cast<unsigned>(r.result));
        return 1;
      }
      rpc_us.push_back(Ms(t1 - t0) * 1000);
      raw_us.push_back(Ms(t2 - t1) * 1000);
    }
    getprops_runs.push_back(Median(rpc_us));
    getprops_raw_runs.push_back(Median(raw_us));
  }

  // The server's CPU time per GetProps, beside the echo thread's per round
  // trip; each from 5,000 calls alone.
  constexpr int kCpuCalls = 5000;
  double cpu0 = ProcessCpuUs(server_pid);
  for (int i = 0; i < kCpuCalls; ++i) Call<zel::MAPIPROP_GetProps>(t, {message, tags, 0});
  double server_cpu_us = (ProcessCpuUs(server_pid) - cpu0) / kCpuCalls;
  double raw0 = raw.CpuUs();
  for (int i = 0; i < kCpuCalls; ++i) raw_client.RoundTrip(getprops_request, getprops_reply);
  double raw_cpu_us = (raw.CpuUs() - raw0) / kCpuCalls;

  // 2. The folder in pages of 100 over RPC, rows decoded as a client does;
  // then the same through platform MAPI here (the server has the file open
  // too; SQLite's WAL lets both read).
  std::vector<double> remote_ms, local_ms;
  std::size_t remote_rows = 0;
  auto table = Call<zel::IMAPICONTAIENR_GetContentsTable>(t, {bench, 0});
  for (int round = 0; round < kRuns; ++round) {
    auto t0 = Clock::now();
    Call<zel::IMAPITABLE_SetColumns>(t, {table.hTable, {std::begin(kColumns), std::end(kColumns)}, 0});
    Call<zel::IMAPITABLE_SeekRow>(t, {table.hTable, static_cast<std::int32_t>(BOOKMARK_BEGINNING), 0});
    remote_rows = 0;
    for (;;) {
      auto r = Call<zel::IMAPITABLE_QueryRows>(t, {table.hTable, 100, 0});
      zel::FetchResultBlock(t, r.cb, r.hBuffer, r.inlineData, block);
      zel::MarshalReader reader(block);
      LPSRowSet rows = nullptr;
      if (r.result != S_OK || codec.ReadRowSet(reader, nullptr, &rows) != S_OK || !rows) break;
      ULONG got = rows->cRows;
      for (ULONG i = 0; i < got; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
      MAPIFreeBuffer(rows);
      remote_rows += got;
      if (got == 0) break;
    }
    remote_ms.push_back(Ms(Clock::now() - t0));
  }
  std::size_t local_rows = 0;
  {
    ComPtr<IMsgStore> local;
    if (!Check(OpenPstStore(dir + "/jsmith.pst", Mailbox::kStore, 0, local.Out()), "open store")) return 1;
    ULONG type = 0;
    ComPtr<IUnknown> unk;
    std::vector<std::uint8_t> bench_id = ChildId(t, ipm, "Bench");
    local->OpenEntry(static_cast<ULONG>(bench_id.size()), reinterpret_cast<LPENTRYID>(bench_id.data()), nullptr, 0,
                     &type, unk.Out());
    ComPtr<IMAPITable> lt;
    if (!unk || !Check(static_cast<IMAPIFolder*>(unk.get())->GetContentsTable(0, lt.Out()), "contents")) return 1;
    for (int round = 0; round < kRuns; ++round) {
      auto t0 = Clock::now();
      local_rows = ListLocally(lt.get());
      local_ms.push_back(Ms(Clock::now() - t0));
    }
  }

  // 3. The attachment in reads of 32 KiB, alternated per read with a raw
  // pair of the same sizes; five whole reads.
  auto attach = Call<zel::IMESSAGE_OpenAttach>(t, {message, 0, {}, 0});
  auto stream = Call<zel::IMAPIPROP_OpenProperty>(
      t, {attach.hAttach, PR_ATTACH_DATA_BIN, zel::InterfaceSelector(IID_IStream), 0, 0});
  if (stream.result != S_OK) {
    std::fprintf(stderr, "server_bench: attachment stream 0x%08X\n", static_cast<unsigned>(stream.result));
    return 1;
  }
  Call<zel::ISTREAM_Read>(t, {stream.hNewObject, kChunk});
  const auto read_request = static_cast<std::uint32_t>(measured.request);
  const auto read_reply = static_cast<std::uint32_t>(measured.reply);
  std::vector<double> stream_runs, stream_raw_runs;
  std::size_t read_bytes = 0;
  for (int run = 0; run < kRuns; ++run) {
    Call<zel::ISTREAM_Seek>(t, {stream.hNewObject, 0, STREAM_SEEK_SET});
    Clock::duration stream_time{}, raw_time{};
    read_bytes = 0;
    for (;;) {
      auto t0 = Clock::now();
      auto r = Call<zel::ISTREAM_Read>(t, {stream.hNewObject, kChunk});
      auto t1 = Clock::now();
      stream_time += t1 - t0;
      if (r.result != S_OK || r.cbRead <= 0) break;
      read_bytes += static_cast<std::size_t>(r.cbRead);
      raw_client.RoundTrip(read_request, read_reply);
      raw_time += Clock::now() - t1;
    }
    stream_runs.push_back(Ms(stream_time));
    stream_raw_runs.push_back(Ms(raw_time));
  }

  // 4. 40 clients at once, each with its own connection and session, each
  // doing GetProps; beside 40 raw connections doing round trips of the same
  // sizes.
  std::vector<double> load_rate, load_p50, load_p99, raw_rate, raw_p50, raw_p99;
  for (int run = 0; run < kRuns; ++run) {
    for (bool use_raw : {false, true}) {
      std::vector<std::vector<double>> lat(kClients);
      std::atomic<int> ready{0};
      std::atomic<bool> go{false}, failed{false};
      std::vector<std::thread> clients;
      Clock::time_point start;
      for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
          auto& mine = lat[c];
          mine.reserve(kLoadCalls);
          if (use_raw) {
            RawClient rc(raw.port());
            ++ready;
            while (!go) std::this_thread::yield();
            for (int i = 0; i < kLoadCalls; ++i) {
              auto t0 = Clock::now();
              if (!rc.RoundTrip(getprops_request, getprops_reply)) failed = true;
              mine.push_back(Ms(Clock::now() - t0) * 1000);
            }
            return;
          }
          testsupport::Binding b(server.port());
          const zel::Transport& ct = b.transport();
          std::int32_t s = Call<zel::Tarnix_Logon>(
                               ct, {Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, Mailbox::kPassword, "", ""})
                               .result;
          std::int32_t st = Call<zel::ZelLogon_GetMsgStore>(ct, {s}).result;
          std::int32_t m = Open(ct, st, message_id);
          ++ready;
          while (!go) std::this_thread::yield();
          for (int i = 0; i < kLoadCalls; ++i) {
            auto t0 = Clock::now();
            auto r = Call<zel::MAPIPROP_GetProps>(ct, {m, tags, 0});
            mine.push_back(Ms(Clock::now() - t0) * 1000);
            if (r.result != S_OK || r.cValues != 10) failed = true;
          }
          Call<zel::FreeHObject>(ct, {s});
        });
      while (ready < kClients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      start = Clock::now();
      go = true;
      for (auto& th : clients) th.join();
      double seconds = Ms(Clock::now() - start) / 1000;
      if (failed) {
        std::fprintf(stderr, "server_bench: a call of the 40-client load failed\n");
        return 1;
      }
      std::vector<double> all;
      for (auto& v : lat) all.insert(all.end(), v.begin(), v.end());
      (use_raw ? raw_rate : load_rate).push_back(static_cast<double>(all.size()) / seconds);
      (use_raw ? raw_p50 : load_p50).push_back(Percentile(all, 0.50));
      (use_raw ? raw_p99 : load_p99).push_back(Percentile(all, 0.99));
    }
  }
  Call<zel::FreeHObject>(t, {session});
  if (server.Stop() != 0) {
    std::fprintf(stderr, "server_bench: ZelServer did not stop cleanly\n");
    return 1;
  }

  // 5. Idle connections: what they cost the server, this build's and (with
  // SERVER_BENCH_BEFORE naming another ZelServer) an earlier one's.
  std::vector<IdleCost> idle{MeasureIdle(program, dir + "/home")};
  const char* before = std::getenv("SERVER_BENCH_BEFORE");
  if (before && *before) idle.push_back(MeasureIdle(before, dir + "/home"));

  double getprops = Median(getprops_runs), getprops_raw = Median(getprops_raw_runs);
  double remote = Median(remote_ms), local = Median(local_ms);
  double stream_ms = Median(stream_runs), stream_raw = Median(stream_raw_runs);
  auto line = [](const char* what, double measured, double baseline, const char* unit) {
    std::printf("%-46s %10.1f %-5s %10.1f %-5s %6.2f\n", what, measured, unit, baseline, unit, measured / baseline);
  };
  std::printf("\nmedians of %d runs; ratio = measured / baseline (for calls/s: baseline / measured)\n", kRuns);
  std::printf("%-46s %16s %16s %6s\n", "", "measured", "baseline", "ratio");
  line("GetProps of 10 properties", getprops, getprops_raw, "us");
  std::printf("    stub sizes: request %u bytes, reply %u bytes; baseline raw TCP ping-pong\n", getprops_request,
              getprops_reply);
  line("folder in pages of 100", remote, local, "ms");
  std::printf("    %zu rows over RPC, %zu through platform MAPI in process; 8 columns\n", remote_rows, local_rows);
  line("10 MB attachment, ISTREAM_Read of 32 KiB", stream_ms, stream_raw, "ms");
  std::printf("    %zu bytes read (%.0f MB/s); stub sizes %u / %u; baseline raw TCP pairs of the same sizes\n",
              read_bytes, static_cast<double>(read_bytes) / 1e3 / stream_ms, read_request, read_reply);
  double rate = Median(load_rate), rate_raw = Median(raw_rate);
  std::printf("%-46s %10.0f %-5s %10.0f %-5s %6.2f\n", "40 clients GetProps, calls/s", rate, "", rate_raw, "",
              rate_raw / rate);
  line("40 clients GetProps, p50", Median(load_p50), Median(raw_p50), "us");
  line("40 clients GetProps, p99", Median(load_p99), Median(raw_p99), "us");
  std::printf("    %d clients x %d calls, own connection each; baseline 40 raw TCP connections to an echo server\n",
              kClients, kLoadCalls);
  line("server CPU per GetProps (single client)", server_cpu_us, raw_cpu_us, "us");
  std::printf("    ZelServer's threads over %d calls; baseline the echo thread per round trip\n", kCpuCalls);
  for (size_t i = 0; i < idle.size(); ++i) {
    const IdleCost& c = idle[i];
    std::printf("%d idle connections, %s: %zu held, %zu closed by the server; server threads %ld -> %ld, RSS %ld -> "
                "%ld kB; a working client's call %.1f us (%d of 200 failed)\n",
                kIdleConnections, i == 0 ? "measured" : "SERVER_BENCH_BEFORE", c.held, c.closed, c.threads_before,
                c.threads, c.rss_before, c.rss, c.call_us, c.call_failures);
  }
  return 0;
}
