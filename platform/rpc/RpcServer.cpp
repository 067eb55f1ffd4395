#include "platform/rpc/RpcServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/rpc/Association.h"
#include "platform/rpc/Socket.h"

namespace vantrel::rpc {

namespace {

// Association ids are unique in the process, across servers.
std::atomic<std::uint64_t> g_next_association{1};

// Calls of one connection that may wait or run at once; the reader stops
// reading further PDUs of the connection until one ends.
constexpr unsigned kMaxCallsPerConnection = 8;

std::string PeerAddress(int fd) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (sa.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&sa)->sin_addr, text, sizeof text);
  else if (sa.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&sa)->sin6_addr, text, sizeof text);
  return text;
}

bool ParsePort(const char* endpoint, std::uint16_t& port) {
  if (!endpoint || !*endpoint || std::strlen(endpoint) > 5) return false;
  unsigned v = 0;
  for (const char* p = endpoint; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<unsigned>(*p - '0');
  }
  if (v > 65535) return false;
  port = static_cast<std::uint16_t>(v);
  return true;
}

struct Connection {
  Connection(Socket s, std::uint64_t id, InterfaceLookup lookup, std::string address, std::string peer_address)
      : sock(std::move(s)), peer(std::move(peer_address)), assoc(id, std::move(lookup), std::move(address)) {}
  const Socket sock;
  const std::string peer;  // the client's IP address
  Association assoc;    // used by the reader thread only
  std::mutex write_mu;  // guards writes to sock, so PDUs of two calls never interleave
  std::mutex mu;
  std::condition_variable cv;
  unsigned outstanding = 0;  // guarded by mu: calls queued or running
  std::atomic<bool> closed{false};
};

struct Job {
  std::shared_ptr<Connection> conn;
  IncomingCall call;
  std::uint16_t max_xmit = kMinFragment;
};

void SendPdus(Connection& c, const std::vector<std::uint8_t>& out) {
  if (out.empty() || c.closed) return;
  std::lock_guard<std::mutex> l(c.write_mu);
  if (SendAll(c.sock, out.data(), out.size()) != IoResult::kOk) c.sock.Shutdown();
}

// Runs a call and sends its response fragments straight from the reply
// buffer, or its fault.
void Serve(Connection& c, const IncomingCall& call, std::uint16_t max_xmit) noexcept try {
  NdrWriter reply;
  std::vector<std::uint8_t> fault;
  if (!RunCall(call, c.assoc.id(), reply, fault, c.peer)) {
    SendPdus(c, fault);
    return;
  }
  auto plan = PlanFragments(PduType::kResponse, call.call_id, call.context_id, 0, nullptr, reply.size(), max_xmit);
  if (c.closed) return;
  std::lock_guard<std::mutex> l(c.write_mu);
  if (SendFragments(c.sock, plan, reply.data()) != IoResult::kOk) c.sock.Shutdown();
} catch (...) {
  // No memory for the answer: the caller sees the connection end.
  c.sock.Shutdown();
}

}  // namespace

struct Server::Impl {
  struct Endpoint {
    Socket sock;
    std::uint16_t port = 0;
  };
  struct ConnEntry {
    std::shared_ptr<Connection> conn;
    std::thread reader;
  };

  Impl() : wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  // Guards endpoints, interfaces, conns, finished, listening, stopping.
  mutable std::mutex mu;
  std::condition_variable stopped_cv;
  std::vector<Endpoint> endpoints;
  std::vector<std::shared_ptr<const InterfaceSpec>> interfaces;
  std::map<std::uint64_t, ConnEntry> conns;
  std::vector<std::uint64_t> finished;  // readers that ended, to be joined
  bool listening = false;
  bool stopping = false;
  AssociationClosed on_closed;
  std::thread acceptor;
  const Socket wake;  // eventfd that interrupts the acceptor's poll

  // Guards queue, workers, idle, running, max_calls, pool_stop. A call
  // runs on a pool thread or on its connection's reader thread; either way
  // it holds one of max_calls slots while it runs.
  mutable std::mutex pool_mu;
  std::condition_variable pool_cv;
  std::deque<Job> queue;
  std::vector<std::thread> workers;
  unsigned idle = 0;
  unsigned running = 0;
  unsigned max_calls = 1;
  bool pool_stop = false;

  void Wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(wake.fd(), &one, sizeof one);
  }

  std::shared_ptr<const InterfaceSpec> Lookup(const SyntaxId& s) {
    std::lock_guard<std::mutex> l(mu);
    for (const auto& i : interfaces)
      if (i->uuid == s.uuid && i->major == s.major && s.minor <= i->minor) return i;
    return nullptr;
  }

  // Runs with pool_mu held.
  void StartWorker() {
    workers.emplace_back([this] { WorkerLoop(); });
  }

  // Takes a call slot for the calling reader thread when one is free and
  // no queued call is waiting for it: the call then runs without a hand-
  // over to another thread.
  bool TryRunHere() {
    std::lock_guard<std::mutex> l(pool_mu);
    if (pool_stop || !queue.empty() || running >= max_calls) return false;
    ++running;
    return true;
  }

  void ReleaseSlot() {
    std::lock_guard<std::mutex> l(pool_mu);
    --running;
    if (!queue.empty()) pool_cv.notify_one();
  }

  void Submit(Job job) {
    std::lock_guard<std::mutex> l(pool_mu);
    if (pool_stop) return;
    queue.push_back(std::move(job));
    pool_cv.notify_one();
    // Without a new thread the call waits for a running one.
    if (queue.size() > idle && workers.size() < max_calls) StartWorker();
  }

  void WorkerLoop() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> l(pool_mu);
        ++idle;
        pool_cv.wait(l, [this] { return pool_stop || (!queue.empty() && running < max_calls); });
        --idle;
        if (pool_stop) return;
        job = std::move(queue.front());
        queue.pop_front();
        ++running;
      }
      Connection& c = *job.conn;
      if (!c.closed) Serve(c, job.call, job.max_xmit);
      ReleaseSlot();
      {
        std::lock_guard<std::mutex> l(c.mu);
        --c.outstanding;
      }
      c.cv.notify_all();
    }
  }

  void ReaderLoop(const std::shared_ptr<Connection>& conn) {
    try {
      ReadCalls(conn);
    } catch (...) {
      // Out of memory on this connection: it ends, the server goes on.
    }
    Connection& c = *conn;
    c.closed = true;
    c.sock.Shutdown();
    c.cv.notify_all();
    // Calls queued on the pool may still run; the owner learns of the end
    // once none of them can start any more.
    {
      std::unique_lock<std::mutex> l(c.mu);
      c.cv.wait(l, [&] { return c.outstanding == 0; });
    }
    AssociationClosed closed_fn;
    {
      std::lock_guard<std::mutex> l(mu);
      if (!stopping) closed_fn = on_closed;
    }
    if (closed_fn) closed_fn(c.assoc.id());
    {
      std::lock_guard<std::mutex> l(mu);
      finished.push_back(c.assoc.id());
    }
    Wake();
  }

  void ReadCalls(const std::shared_ptr<Connection>& conn) {
    Connection& c = *conn;
    PduReader reader;
    std::span<const std::uint8_t> pdu;
    std::vector<std::uint8_t> out;
    std::vector<IncomingCall> calls;
    // A fragment longer than negotiated ends the connection.
    while (reader.Read(c.sock, c.assoc.max_recv(), pdu) == PduReader::Result::kOk) {
      out.clear();
      calls.clear();
      bool keep = c.assoc.Receive(pdu, out, calls);
      SendPdus(c, out);
      for (auto& call : calls) {
        if (TryRunHere()) {
          Serve(c, call, c.assoc.max_xmit());
          ReleaseSlot();
          continue;
        }
        {
          std::unique_lock<std::mutex> l(c.mu);
          c.cv.wait(l, [&] { return c.outstanding < kMaxCallsPerConnection || c.closed; });
          if (c.closed) break;
          ++c.outstanding;
        }
        Submit(Job{conn, std::move(call), c.assoc.max_xmit()});
      }
      if (!keep || c.closed) break;
    }
  }

  // Joins readers that ended. Runs on the acceptor thread.
  void Reap() {
    std::vector<std::thread> done;
    {
      std::lock_guard<std::mutex> l(mu);
      for (auto id : finished) {
        auto it = conns.find(id);
        if (it == conns.end()) continue;
        done.push_back(std::move(it->second.reader));
        conns.erase(it);
      }
      finished.clear();
    }
    for (auto& t : done) t.join();
  }

  void AcceptLoop() {
    for (;;) {
      std::vector<pollfd> fds{{wake.fd(), POLLIN, 0}};
      std::vector<std::uint16_t> ports{0};
      {
        std::lock_guard<std::mutex> l(mu);
        if (stopping) return;
        for (const auto& e : endpoints) {
          fds.push_back({e.sock.fd(), POLLIN, 0});
          ports.push_back(e.port);
        }
      }
      int r = ::poll(fds.data(), fds.size(), -1);
      if (r < 0) continue;
      if (fds[0].revents) {
        std::uint64_t n;
        [[maybe_unused]] auto rr = ::read(wake.fd(), &n, sizeof n);
        Reap();
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
          // Out of descriptors or a connection that vanished: do not spin.
          if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          continue;
        }
        Socket s(fd);
        SetNoDelay(s);
        std::uint64_t id = g_next_association++;
        auto conn = std::make_shared<Connection>(
            std::move(s), id, [this](const SyntaxId& syn) { return Lookup(syn); }, std::to_string(ports[i]),
            PeerAddress(fd));
        std::lock_guard<std::mutex> l(mu);
        if (stopping) continue;
        try {
          conns[id] = ConnEntry{conn, std::thread([this, conn] { ReaderLoop(conn); })};
        } catch (...) {
          // No thread or memory for it: the connection is closed at once.
          conns.erase(id);
        }
      }
    }
  }
};

Server::Server() : impl_(std::make_unique<Impl>()) {}

Server::~Server() {
  Stop();
}

RPC_STATUS Server::UseEndpoint(const char* endpoint, unsigned max_calls) try {
  std::uint16_t port = 0;
  if (!ParsePort(endpoint, port)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  int backlog = static_cast<int>(std::min(std::max(max_calls, 16u), 4096u));
  Impl::Endpoint e;
  RPC_STATUS st = ListenTcp(port, backlog, e.sock, e.port);
  if (st != RPC_S_OK) return st;
  {
    std::lock_guard<std::mutex> l(impl_->mu);
    impl_->endpoints.push_back(std::move(e));
  }
  impl_->Wake();
  return RPC_S_OK;
} catch (...) {
  return RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS Server::RegisterIf(const InterfaceSpec& spec) try {
  std::lock_guard<std::mutex> l(impl_->mu);
  for (const auto& i : impl_->interfaces)
    if (i->uuid == spec.uuid && i->major == spec.major && i->minor == spec.minor) return RPC_S_ALREADY_REGISTERED;
  impl_->interfaces.push_back(std::make_shared<const InterfaceSpec>(spec));
  return RPC_S_OK;
} catch (...) {
  return RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS Server::Listen(unsigned min_threads, unsigned max_calls) try {
  if (max_calls == 0) return RPC_S_MAX_CALLS_TOO_SMALL;
  std::lock_guard<std::mutex> l(impl_->mu);
  if (impl_->listening) return RPC_S_ALREADY_LISTENING;
  if (impl_->endpoints.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
  {
    std::lock_guard<std::mutex> p(impl_->pool_mu);
    impl_->max_calls = max_calls;
    impl_->pool_stop = false;
    while (impl_->workers.size() < std::min(min_threads, max_calls)) impl_->StartWorker();
  }
  impl_->acceptor = std::thread([this] { impl_->AcceptLoop(); });
  impl_->listening = true;
  return RPC_S_OK;
} catch (...) {
  return RPC_S_OUT_OF_RESOURCES;
}

RPC_STATUS Server::Stop() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> l(d.mu);
    if (d.stopping) return RPC_S_OK;
    d.stopping = true;
  }
  d.Wake();
  if (d.acceptor.joinable()) d.acceptor.join();

  std::map<std::uint64_t, Impl::ConnEntry> conns;
  {
    std::lock_guard<std::mutex> l(d.mu);
    d.endpoints.clear();
    conns.swap(d.conns);
    d.finished.clear();
  }
  for (auto& [id, e] : conns) {
    e.conn->closed = true;
    e.conn->sock.Shutdown();
    e.conn->cv.notify_all();
  }
  for (auto& [id, e] : conns) e.reader.join();

  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> p(d.pool_mu);
    d.pool_stop = true;
    d.queue.clear();
    workers.swap(d.workers);
  }
  d.pool_cv.notify_all();
  for (auto& t : workers) t.join();

  {
    std::lock_guard<std::mutex> l(d.mu);
    d.listening = false;
    d.stopping = false;
  }
  d.stopped_cv.notify_all();
  return RPC_S_OK;
}

RPC_STATUS Server::Wait() {
  std::unique_lock<std::mutex> l(impl_->mu);
  if (!impl_->listening) return RPC_S_NOT_LISTENING;
  impl_->stopped_cv.wait(l, [this] { return !impl_->listening; });
  return RPC_S_OK;
}

void Server::SetAssociationClosed(AssociationClosed fn) {
  std::lock_guard<std::mutex> l(impl_->mu);
  impl_->on_closed = std::move(fn);
}

std::vector<std::uint16_t> Server::ports() const {
  std::lock_guard<std::mutex> l(impl_->mu);
  std::vector<std::uint16_t> v;
  for (const auto& e : impl_->endpoints) v.push_back(e.port);
  return v;
}

unsigned Server::call_threads() const {
  std::lock_guard<std::mutex> p(impl_->pool_mu);
  return static_cast<unsigned>(impl_->workers.size());
}

}  // namespace vantrel::rpc

// ---- the published names, over one process-wide server ----

namespace {
vantrel::rpc::Server& ProcessServer() {
  static vantrel::rpc::Server server;
  return server;
}
}  // namespace

RPC_STATUS RpcServerUseProtseqEp(const char* protseq, unsigned max_calls, const char* endpoint,
                                 void* /*security_descriptor*/) {
  if (!protseq || std::strcmp(protseq, "ncacn_ip_tcp") != 0) return RPC_S_PROTSEQ_NOT_SUPPORTED;
  return ProcessServer().UseEndpoint(endpoint, max_calls);
}

RPC_STATUS RpcServerRegisterIf(const vantrel::rpc::InterfaceSpec* spec, void* mgr_type_uuid, void* mgr_epv) {
  if (!spec || mgr_type_uuid || mgr_epv) return RPC_S_INVALID_ARG;
  return ProcessServer().RegisterIf(*spec);
}

RPC_STATUS RpcServerListen(unsigned min_threads, unsigned max_calls, unsigned dont_wait) {
  RPC_STATUS st = ProcessServer().Listen(min_threads, max_calls);
  if (st != RPC_S_OK || dont_wait) return st;
  return ProcessServer().Wait();
}

RPC_STATUS RpcMgmtStopServerListening(void* /*binding*/) {
  return ProcessServer().Stop();
}

void vantrel::rpc::SetProcessAssociationClosed(AssociationClosed fn) {
  ProcessServer().SetAssociationClosed(std::move(fn));
}

RPC_STATUS RpcMgmtWaitServerListen() {
  return ProcessServer().Wait();
}
