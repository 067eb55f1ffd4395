#include "platform/rpc/RpcServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <list>
#include <map>
#include <thread>

#include "platform/base/ThreadAnnotations.h"
#include "platform/rpc/Association.h"
#include "platform/rpc/Pdu.h"
#include "platform/rpc/Socket.h"

namespace vantrel::rpc {

namespace {

using Clock = std::chrono::steady_clock;

// Association ids are unique in the process, across servers.
std::atomic<std::uint64_t> g_next_association{1};

// A peer that takes no byte of a reply for this long is dropped, so a
// client that stops reading cannot keep a call thread.
constexpr int kSendTimeoutMs = 60000;
// Reply storage a call thread keeps for its next call.
constexpr size_t kKeepReply = 256 * 1024;
// What one read takes from a connection: a whole fragment and more.
constexpr size_t kReadSize = 2 * 65536;
// Connections taken from one ready endpoint before the others get a turn.
constexpr int kAcceptBurst = 64;

std::string AddressText(const sockaddr_storage& sa) {
  char text[INET6_ADDRSTRLEN] = {};
  if (sa.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&sa)->sin_addr, text, sizeof text);
  else if (sa.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&sa)->sin6_addr, text, sizeof text);
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

// What an epoll event points at.
enum class Kind { kWake, kListener, kConnection };
struct Watched {
  explicit Watched(Kind k) : kind(k) {}
  const Kind kind;
};

struct Listener : Watched {
  Listener(Socket s, std::uint16_t p) : Watched(Kind::kListener), sock(std::move(s)), port(p) {}
  const Socket sock;
  const std::uint16_t port;
};

// One connection. Its readiness is armed one-shot, so one call thread at a
// time holds it: that thread alone touches assoc and partial, and runs the
// connection's calls one after the other in the order they came.
struct Connection : Watched {
  Connection(Socket s, std::uint64_t id, InterfaceLookup lookup, std::string secondary, std::string peer_address)
      : Watched(Kind::kConnection),
        sock(std::move(s)),
        peer(std::move(peer_address)),
        assoc(id, std::move(lookup), std::move(secondary)) {
    assoc.BorrowStubs(true);
  }
  const Socket sock;
  const std::string peer;  // the client's IP address
  Association assoc;
  std::vector<std::uint8_t> partial;  // the start of a PDU not yet whole
  // Arming a connection (epoll_ctl) and its receipt by the next thread
  // (epoll_wait) are ordered by the kernel, which a race detector cannot
  // see: the arming thread may still be inside epoll_ctl when the next one
  // has served the connection and closed it. In race-detector builds a lock
  // held across the arming shows the order. Elsewhere there is no lock: it
  // made the next thread wait whenever the arming one was preempted in the
  // call.
#if VANTREL_RACE_DETECTOR
  Mutex handoff;
  template <class Ctl>
  int Arm(Ctl ctl) {
    MutexLock l(handoff);
    return ctl();
  }
  void Receive() { MutexLock taken(handoff); }
#else
  template <class Ctl>
  int Arm(Ctl ctl) {
    return ctl();
  }
  void Receive() {}
#endif
};

// One call thread; Stop reads what it runs.
struct Worker {
  std::thread thread;  // set by the spawner before Stop can see it; joined or detached by Stop
  Mutex mu;
  const CallInfo* current GUARDED_BY(mu) = nullptr;
  bool done GUARDED_BY(mu) = false;
};

// A call thread's storage, kept from call to call.
struct Scratch {
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;
  std::vector<IncomingCall> calls;
  NdrWriter reply;
  std::vector<std::uint8_t> fault;
  std::vector<Fragment> plan;
};

class Loop;

}  // namespace

// What a server keeps across listens. Its lock is never held while another
// lock of the runtime is taken, nor while a callback runs.
struct Server::Impl {
  Mutex mu;
  std::vector<std::shared_ptr<const InterfaceSpec>> interfaces GUARDED_BY(mu);
  std::vector<std::shared_ptr<Listener>> endpoints GUARDED_BY(mu);
  std::shared_ptr<Loop> loop GUARDED_BY(mu);  // while listening
  bool stopping GUARDED_BY(mu) = false;
  AssociationClosed on_closed GUARDED_BY(mu);
  RuntimeLog log GUARDED_BY(mu);
  CondVar stopped_cv;  // loop became null
  std::atomic<unsigned> per_peer_limit{kDefaultConnectionsPerPeer};
  std::atomic<unsigned> total_limit{kDefaultConnections};

  std::shared_ptr<const InterfaceSpec> Lookup(const SyntaxId& s) EXCLUDES(mu) {
    MutexLock l(mu);
    for (const auto& i : interfaces)
      if (i->uuid == s.uuid && i->major == s.major && s.minor <= i->minor) return i;
    return nullptr;
  }

  void Log(const std::string& line) EXCLUDES(mu) {
    RuntimeLog fn;
    {
      MutexLock l(mu);
      fn = log;
    }
    if (fn)
      fn(line);
    else
      std::fprintf(stderr, "%s\n", line.c_str());
  }

  void Closed(std::uint64_t association) EXCLUDES(mu) {
    AssociationClosed fn;
    {
      MutexLock l(mu);
      fn = on_closed;
    }
    if (fn) fn(association);
  }
};

namespace {

thread_local const Loop* t_loop = nullptr;  // the loop whose call thread this is

// The connections and call threads of one Listen, until Stop. Call threads
// wait together on one epoll set; the one that takes a readiness event
// reads, runs the calls it completes and arms the connection again. A
// thread leaving the wait as the last idle one starts another, up to
// max_calls, so calls beyond the bound wait in their sockets. Threads hold
// the loop, so one left running by a bounded Stop finds it intact.
class Loop : public std::enable_shared_from_this<Loop> {
 public:
  Loop(std::shared_ptr<Server::Impl> server, unsigned max_threads)
      : server_(std::move(server)),
        max_threads_(max_threads),
        epoll_(::epoll_create1(EPOLL_CLOEXEC)),
        wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  ~Loop() {
    MutexLock l(mu_);
    for (auto& w : workers_)
      if (w.thread.joinable()) w.thread.detach();
  }

  bool Start(unsigned min_threads, const std::vector<std::shared_ptr<Listener>>& listeners) EXCLUDES(mu_) {
    if (!epoll_.valid() || !wake_.valid()) return false;
    epoll_event ev{};
    ev.events = EPOLLIN;  // level: every waiting thread sees a stop
    ev.data.ptr = &wake_item_;
    if (::epoll_ctl(epoll_.fd(), EPOLL_CTL_ADD, wake_.fd(), &ev) != 0) return false;
    for (const auto& l : listeners)
      if (!AddListener(l)) return false;
    MutexLock l(mu_);
    unsigned n = std::max(1u, std::min(min_threads, max_threads_));
    while (workers_.size() < n)
      if (!Spawn()) return false;
    return true;
  }

  bool AddListener(const std::shared_ptr<Listener>& listener) EXCLUDES(mu_) {
    int flags = ::fcntl(listener->sock.fd(), F_GETFL);
    ::fcntl(listener->sock.fd(), F_SETFL, flags | O_NONBLOCK);
    {
      MutexLock l(mu_);
      if (stopping_) return false;
      listeners_.push_back(listener);
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.ptr = static_cast<Watched*>(listener.get());
    return ::epoll_ctl(epoll_.fd(), EPOLL_CTL_ADD, listener->sock.fd(), &ev) == 0;
  }

  // True when every call thread ended within `bound`.
  bool Stop(std::chrono::milliseconds bound, std::vector<CallInfo>* still_running) EXCLUDES(mu_) {
    const bool inside = t_loop == this;  // a call of this server stops it
    std::vector<Worker*> workers;
    {
      MutexLock l(mu_);
      stopping_ = true;
      for (auto& [id, c] : conns_) c->sock.Shutdown();
      for (auto& e : listeners_) ::shutdown(e->sock.fd(), SHUT_RDWR);
    }
    std::uint64_t one = 1;
    [[maybe_unused]] auto w = ::write(wake_.fd(), &one, sizeof one);
    const bool forever = bound >= std::chrono::hours(24 * 365);
    const auto deadline = forever ? Clock::time_point::max() : Clock::now() + bound;
    {
      MutexLock l(mu_);
      const unsigned floor = inside ? 1 : 0;
      while (live_ > floor) {
        if (forever)
          exited_.Wait(l);
        else if (!exited_.WaitUntil(l, deadline) && Clock::now() >= deadline)
          break;
      }
      for (auto& worker : workers_) workers.push_back(&worker);
    }
    bool all = true;
    const auto me = std::this_thread::get_id();
    for (Worker* worker : workers) {
      if (worker->thread.get_id() == me) {
        worker->thread.detach();
        continue;
      }
      bool done = false;
      {
        MutexLock l(worker->mu);
        done = worker->done;
        if (!done && worker->current && still_running) still_running->push_back(*worker->current);
      }
      if (done) {
        worker->thread.join();
      } else {
        // Left to end on its own: it holds the loop and its connection.
        worker->thread.detach();
        all = false;
      }
    }
    return all;
  }

  unsigned threads() EXCLUDES(mu_) {
    MutexLock l(mu_);
    return static_cast<unsigned>(workers_.size());
  }

  size_t connections() EXCLUDES(mu_) {
    MutexLock l(mu_);
    return conns_.size();
  }

 private:
  bool Spawn() REQUIRES(mu_) {
    workers_.emplace_back();
    Worker& w = workers_.back();
    try {
      w.thread = std::thread([self = shared_from_this(), &w] { self->Run(w); });
    } catch (...) {
      workers_.pop_back();
      return false;
    }
    ++live_;
    return true;
  }

  void Grow() EXCLUDES(mu_) {
    MutexLock l(mu_);
    if (!stopping_ && workers_.size() < max_threads_) Spawn();
  }

  void Run(Worker& w) EXCLUDES(mu_) {
    t_loop = this;
    Scratch s;
    idle_.fetch_add(1);
    epoll_event ev{};
    while (!stopping_.load(std::memory_order_acquire)) {
      int n = ::epoll_wait(epoll_.fd(), &ev, 1, -1);
      if (n <= 0 || stopping_.load(std::memory_order_acquire)) continue;
      auto* item = static_cast<Watched*>(ev.data.ptr);
      if (item->kind == Kind::kWake) continue;
      if (idle_.fetch_sub(1) == 1) Grow();
      if (item->kind == Kind::kListener)
        Accept(*static_cast<Listener*>(item));
      else
        Serve(*static_cast<Connection*>(item), w, s);
      idle_.fetch_add(1);
    }
    idle_.fetch_sub(1);
    {
      MutexLock l(w.mu);
      w.done = true;
    }
    MutexLock l(mu_);
    --live_;
    exited_.NotifyAll();
  }

  void Accept(Listener& listener) EXCLUDES(mu_) {
    for (int i = 0; i < kAcceptBurst; ++i) {
      sockaddr_storage sa{};
      socklen_t len = sizeof sa;
      int fd = ::accept4(listener.sock.fd(), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        // Out of descriptors: do not spin on the pending connection.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        break;
      }
      try {
        Admit(Socket(fd), AddressText(sa), listener.port);
      } catch (...) {
        // No memory for it: the connection is closed at once.
      }
    }
    if (stopping_) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.ptr = static_cast<Watched*>(&listener);
    ::epoll_ctl(epoll_.fd(), EPOLL_CTL_MOD, listener.sock.fd(), &ev);
  }

  void Admit(Socket sock, std::string peer, std::uint16_t port) EXCLUDES(mu_) {
    const unsigned per_peer_limit = server_->per_peer_limit, total_limit = server_->total_limit;
    std::string refused;
    std::shared_ptr<Connection> conn;
    {
      MutexLock l(mu_);
      if (stopping_) return;
      auto at = per_peer_.find(peer);
      unsigned from_peer = at == per_peer_.end() ? 0 : at->second;
      if (total_limit && conns_.size() >= total_limit) {
        refused = "RPC: connection from " + peer + " refused: " + std::to_string(conns_.size()) +
                  " connections are open";
      } else if (per_peer_limit && from_peer >= per_peer_limit) {
        refused = "RPC: connection from " + peer + " refused: " + std::to_string(from_peer) +
                  " connections from this address are open";
      } else {
        std::uint64_t id = g_next_association++;
        auto lookup = [server = server_](const SyntaxId& s) { return server->Lookup(s); };
        conn = std::make_shared<Connection>(std::move(sock), id, std::move(lookup), std::to_string(port), peer);
        conns_[id] = conn;
        ++per_peer_[peer];
      }
      if (!refused.empty()) {
        // A flood is logged once a second, with the count of what was not.
        auto now = Clock::now();
        if (now - last_refusal_log_ < std::chrono::seconds(1)) {
          ++refusals_unlogged_;
          refused.clear();
        } else {
          if (refusals_unlogged_)
            refused += " (" + std::to_string(refusals_unlogged_) + " more refused since the last report)";
          refusals_unlogged_ = 0;
          last_refusal_log_ = now;
        }
        sock.Close();
      }
    }
    if (!conn) {
      if (!refused.empty()) server_->Log(refused);
      return;
    }
    SetNoDelay(conn->sock);
    timeval tv{kSendTimeoutMs / 1000, 0};
    ::setsockopt(conn->sock.fd(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.ptr = static_cast<Watched*>(conn.get());
    if (conn->Arm([&] { return ::epoll_ctl(epoll_.fd(), EPOLL_CTL_ADD, conn->sock.fd(), &ev); }) != 0)
      Forget(*conn);
  }

  // Reads what the connection has, handles each whole PDU and runs the
  // calls they complete, then arms the connection again.
  void Serve(Connection& c, Worker& w, Scratch& s) EXCLUDES(mu_) {
    c.Receive();  // after the previous holder armed it
    bool keep = true;
    try {
      keep = ReadAndHandle(c, w, s);
    } catch (...) {
      // Out of memory on this connection: it ends, the server goes on.
      keep = false;
    }
    if (!keep || stopping_.load(std::memory_order_acquire)) {
      Close(c);
      return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.ptr = static_cast<Watched*>(&c);
    if (c.Arm([&] { return ::epoll_ctl(epoll_.fd(), EPOLL_CTL_MOD, c.sock.fd(), &ev); }) != 0) Close(c);
  }

  bool ReadAndHandle(Connection& c, Worker& w, Scratch& s) {
    // The start of an unfinished PDU stays with its connection; otherwise
    // the thread's buffer takes the read.
    const bool own = !c.partial.empty();
    std::vector<std::uint8_t>& buf = own ? c.partial : s.in;
    size_t have = own ? c.partial.size() : 0;
    if (own) {
      size_t need = kHeaderSize;
      if (have >= kHeaderSize)
        if (auto h = ParseHeader(std::span<const std::uint8_t>(buf.data(), kHeaderSize))) need = h->frag_length;
      buf.resize(std::max(need, have + 1));
    } else if (buf.size() < kReadSize) {
      buf.resize(kReadSize);
    }
    ssize_t r = ::recv(c.sock.fd(), buf.data() + have, buf.size() - have, MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (own) buf.resize(have);
      return true;
    }
    if (r <= 0) return false;
    const size_t end = have + static_cast<size_t>(r);
    size_t pos = 0;
    while (end - pos >= kHeaderSize) {
      auto h = ParseHeader(std::span<const std::uint8_t>(buf.data() + pos, kHeaderSize));
      // A fragment longer than negotiated ends the connection.
      if (!h || h->frag_length > c.assoc.max_recv()) return false;
      if (end - pos < h->frag_length) break;
      if (!Handle(c, w, s, std::span<const std::uint8_t>(buf.data() + pos, h->frag_length))) return false;
      pos += h->frag_length;
      if (stopping_.load(std::memory_order_acquire)) return false;
    }
    const size_t rest = end - pos;
    if (own) {
      if (rest == 0) {
        std::vector<std::uint8_t>().swap(c.partial);
      } else {
        std::memmove(buf.data(), buf.data() + pos, rest);
        buf.resize(rest);
      }
    } else if (rest) {
      c.partial.assign(buf.data() + pos, buf.data() + end);
    }
    return true;
  }

  // One PDU: the association's answers go out first, then each call it
  // completed runs here and sends its reply.
  bool Handle(Connection& c, Worker& w, Scratch& s, std::span<const std::uint8_t> pdu) {
    s.out.clear();
    s.calls.clear();
    bool keep = c.assoc.Receive(pdu, s.out, s.calls);
    if (!s.out.empty() && SendAll(c.sock, s.out.data(), s.out.size()) != IoResult::kOk) return false;
    for (const auto& call : s.calls)
      if (!RunOne(c, w, s, call)) return false;
    return keep;
  }

  bool RunOne(Connection& c, Worker& w, Scratch& s, const IncomingCall& call) {
    CallInfo info = MakeCallInfo(call, c.assoc.id(), c.peer);
    s.reply.Reset(kKeepReply);
    s.fault.clear();
    // Stop may read the call while it runs.
    struct Running {
      Worker& w;
      Running(Worker& worker, const CallInfo& info) : w(worker) {
        MutexLock l(w.mu);
        w.current = &info;
      }
      ~Running() {
        MutexLock l(w.mu);
        w.current = nullptr;
      }
    };
    bool ok;
    {
      Running running(w, info);
      ok = RunCall(call, info, s.reply, s.fault);
    }
    if (!ok) return SendAll(c.sock, s.fault.data(), s.fault.size()) == IoResult::kOk;
    PlanFragments(s.plan, PduType::kResponse, call.call_id, call.context_id, 0, nullptr, s.reply.size(),
                  c.assoc.max_xmit());
    return SendFragments(c.sock, s.plan, s.reply.data()) == IoResult::kOk;
  }

  // Takes the connection out of the table; true when it was there.
  std::shared_ptr<Connection> Forget(Connection& c) EXCLUDES(mu_) {
    MutexLock l(mu_);
    auto it = conns_.find(c.assoc.id());
    if (it == conns_.end()) return nullptr;
    auto held = std::move(it->second);
    conns_.erase(it);
    if (auto p = per_peer_.find(c.peer); p != per_peer_.end() && --p->second == 0) per_peer_.erase(p);
    return held;
  }

  // The connection ended: its owner learns of it after its last call, then
  // the socket closes.
  void Close(Connection& c) EXCLUDES(mu_) {
    ::epoll_ctl(epoll_.fd(), EPOLL_CTL_DEL, c.sock.fd(), nullptr);
    c.sock.Shutdown();
    auto held = Forget(c);
    if (held && !stopping_.load(std::memory_order_acquire)) server_->Closed(c.assoc.id());
  }

  const std::shared_ptr<Server::Impl> server_;
  const unsigned max_threads_;
  const Socket epoll_;
  const Socket wake_;  // eventfd, written once by Stop
  Watched wake_item_{Kind::kWake};
  std::atomic<bool> stopping_{false};  // written under mu_ (Stop), read anywhere
  std::atomic<int> idle_{0};           // threads waiting for readiness, about

  Mutex mu_;
  CondVar exited_;  // live_ fell
  std::list<Worker> workers_ GUARDED_BY(mu_);
  unsigned live_ GUARDED_BY(mu_) = 0;
  std::map<std::uint64_t, std::shared_ptr<Connection>> conns_ GUARDED_BY(mu_);
  std::map<std::string, unsigned> per_peer_ GUARDED_BY(mu_);
  std::vector<std::shared_ptr<Listener>> listeners_ GUARDED_BY(mu_);
  Clock::time_point last_refusal_log_ GUARDED_BY(mu_){};
  unsigned refusals_unlogged_ GUARDED_BY(mu_) = 0;
};

}  // namespace

Server::Server() : impl_(std::make_shared<Impl>()) {}

Server::~Server() {
  std::vector<CallInfo> left;
  if (Stop(kDestructorBound, &left) == RPC_S_OK) return;
  for (const auto& c : left)
    impl_->Log("RPC: call " + std::to_string(c.opnum) + " of association " + std::to_string(c.association) +
               " still running at the end of the server");
}

RPC_STATUS Server::UseEndpoint(const char* endpoint, unsigned max_calls) try {
  std::uint16_t port = 0;
  if (!ParsePort(endpoint, port)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  // Connections are cheap to hold; a deep queue keeps a burst of them from
  // waiting for SYN retries.
  int backlog = static_cast<int>(std::min(std::max(max_calls, 512u), 4096u));
  Socket sock;
  std::uint16_t bound_port = 0;
  RPC_STATUS st = ListenTcp(port, backlog, sock, bound_port);
  if (st != RPC_S_OK) return st;
  auto listener = std::make_shared<Listener>(std::move(sock), bound_port);
  std::shared_ptr<Loop> loop;
  {
    MutexLock l(impl_->mu);
    impl_->endpoints.push_back(listener);
    loop = impl_->loop;
  }
  if (loop) loop->AddListener(listener);
  return RPC_S_OK;
} catch (...) {
  return RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS Server::RegisterIf(const InterfaceSpec& spec) try {
  MutexLock l(impl_->mu);
  for (const auto& i : impl_->interfaces)
    if (i->uuid == spec.uuid && i->major == spec.major && i->minor == spec.minor) return RPC_S_ALREADY_REGISTERED;
  impl_->interfaces.push_back(std::make_shared<const InterfaceSpec>(spec));
  return RPC_S_OK;
} catch (...) {
  return RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS Server::Listen(unsigned min_threads, unsigned max_calls) try {
  if (max_calls == 0) return RPC_S_MAX_CALLS_TOO_SMALL;
  std::shared_ptr<Loop> loop;
  std::vector<std::shared_ptr<Listener>> endpoints;
  {
    MutexLock l(impl_->mu);
    if (impl_->loop || impl_->stopping) return RPC_S_ALREADY_LISTENING;
    if (impl_->endpoints.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
    loop = std::make_shared<Loop>(impl_, max_calls);
    impl_->loop = loop;
    endpoints = impl_->endpoints;
  }
  if (!loop->Start(min_threads, endpoints)) {
    Stop(std::chrono::milliseconds::max(), nullptr);
    return RPC_S_OUT_OF_RESOURCES;
  }
  return RPC_S_OK;
} catch (...) {
  return RPC_S_OUT_OF_RESOURCES;
}

RPC_STATUS Server::Stop() {
  return Stop(std::chrono::milliseconds::max(), nullptr);
}

RPC_STATUS Server::Stop(std::chrono::milliseconds bound, std::vector<CallInfo>* still_running) {
  std::shared_ptr<Loop> loop;
  std::vector<std::shared_ptr<Listener>> endpoints;
  {
    MutexLock l(impl_->mu);
    if (impl_->stopping) return RPC_S_OK;
    impl_->stopping = true;
    loop = impl_->loop;
    endpoints.swap(impl_->endpoints);
  }
  bool all = !loop || loop->Stop(bound, still_running);
  {
    MutexLock l(impl_->mu);
    impl_->loop.reset();
    impl_->stopping = false;
  }
  // The loop goes with the last thread that holds it; the endpoints close
  // with it, so the ports are free again.
  loop.reset();
  endpoints.clear();
  impl_->stopped_cv.NotifyAll();
  return all ? RPC_S_OK : RPC_S_CALL_IN_PROGRESS;
}

RPC_STATUS Server::Wait() {
  MutexLock l(impl_->mu);
  if (!impl_->loop) return RPC_S_NOT_LISTENING;
  while (impl_->loop) impl_->stopped_cv.Wait(l);
  return RPC_S_OK;
}

void Server::SetAssociationClosed(AssociationClosed fn) {
  MutexLock l(impl_->mu);
  impl_->on_closed = std::move(fn);
}

void Server::SetConnectionLimits(unsigned per_peer, unsigned total) {
  impl_->per_peer_limit = per_peer;
  impl_->total_limit = total;
}

void Server::SetLog(RuntimeLog fn) {
  MutexLock l(impl_->mu);
  impl_->log = std::move(fn);
}

std::vector<std::uint16_t> Server::ports() const {
  MutexLock l(impl_->mu);
  std::vector<std::uint16_t> v;
  for (const auto& e : impl_->endpoints) v.push_back(e->port);
  return v;
}

unsigned Server::call_threads() const {
  std::shared_ptr<Loop> loop;
  {
    MutexLock l(impl_->mu);
    loop = impl_->loop;
  }
  return loop ? loop->threads() : 0;
}

size_t Server::connections() const {
  std::shared_ptr<Loop> loop;
  {
    MutexLock l(impl_->mu);
    loop = impl_->loop;
  }
  return loop ? loop->connections() : 0;
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

RPC_STATUS RpcMgmtWaitServerListen() {
  return ProcessServer().Wait();
}

void vantrel::rpc::SetProcessAssociationClosed(AssociationClosed fn) {
  ProcessServer().SetAssociationClosed(std::move(fn));
}

void vantrel::rpc::SetProcessConnectionLimits(unsigned per_peer, unsigned total) {
  ProcessServer().SetConnectionLimits(per_peer, total);
}

void vantrel::rpc::SetProcessRuntimeLog(RuntimeLog fn) {
  ProcessServer().SetLog(std::move(fn));
}

RPC_STATUS vantrel::rpc::StopProcessServer(std::chrono::milliseconds bound, std::vector<CallInfo>* still_running) {
  return ProcessServer().Stop(bound, still_running);
}
