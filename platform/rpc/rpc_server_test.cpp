// The server runtime under stress: a stop that does not wait for a call
// that never ends, idle connections that hold no thread, and the caps on
// connections per address and in all.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/rpc/Ndr.h"
#include "platform/rpc/Rpc.h"
#include "platform/rpc/RpcServer.h"
#include "platform/rpc/Socket.h"

namespace vantrel::rpc {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// 0 Echo(bytes), 1 Block: waits until the test opens the gate, 2 Association.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool entered = false, open = false, left = false;
};

// The spec (and with it the gate) lives as long as the server holds it,
// which for a call left running by a bounded stop is until that call ends.
InterfaceSpec Spec(std::shared_ptr<Gate> gate) {
  InterfaceSpec s;
  s.uuid = *GuidFromString("5b0e4a1c-3d2f-4e6a-9b8c-7d6e5f4a3b2c");
  s.major = 1;
  s.operation_count = 3;
  s.dispatch = [gate](const CallInfo& info, NdrReader& in, NdrWriter& out) -> RPC_STATUS {
    switch (info.opnum) {
      case 0: {
        std::uint32_t n = in.U32();
        auto d = in.ConformantBytes(n);
        out.U32(n);
        out.ConformantBytes(d.data(), n);
        return RPC_S_OK;
      }
      case 1: {
        std::unique_lock<std::mutex> l(gate->mu);
        gate->entered = true;
        gate->cv.notify_all();
        gate->cv.wait(l, [&] { return gate->open; });
        gate->left = true;
        gate->cv.notify_all();
        return RPC_S_OK;
      }
      default:
        out.LongPair(info.association);
        return RPC_S_OK;
    }
  };
  return s;
}

struct Client {
  RPC_BINDING_HANDLE h = nullptr;
  explicit Client(std::uint16_t port) {
    std::string text = "ncacn_ip_tcp:127.0.0.1[" + std::to_string(port) + "]";
    EXPECT_EQ(RpcBindingFromStringBinding(text.c_str(), &h), RPC_S_OK);
  }
  ~Client() { RpcBindingFree(&h); }
  RPC_STATUS Call(const InterfaceSpec& spec, std::uint16_t op, const Bytes& req, Bytes& reply) {
    bool big = false;
    return vantrel::rpc::Call(h, spec, op, req, reply, big);
  }
  bool Echo(const InterfaceSpec& spec) {
    NdrWriter w;
    w.U32(3);
    w.ConformantBytes("abc", 3);
    Bytes reply;
    return Call(spec, 0, w.data(), reply) == RPC_S_OK && reply == w.data();
  }
};

// A TCP connection from `from` that sends nothing.
int Connect(std::uint16_t port, const char* from = nullptr) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (from) {
    ::inet_pton(AF_INET, from, &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return -1;
    }
  }
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when the server closed the connection (waits at most 10 s).
bool ClosedByServer(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// Waits (at most 10 s) until the server holds `n` connections.
bool WaitForConnections(const Server& s, size_t n) {
  for (int i = 0; i < 1000 && s.connections() != n; ++i) std::this_thread::sleep_for(10ms);
  return s.connections() == n;
}

long StatusField(const char* name) {
  std::ifstream f("/proc/self/status");
  std::string key;
  long value = -1;
  for (std::string line; std::getline(f, line);)
    if (line.rfind(name, 0) == 0) value = std::stol(line.substr(std::strlen(name)));
  return value;
}

bool RaiseFileLimit(rlim_t need) {
  rlimit r{};
  ::getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &r);
  return r.rlim_cur >= need;
}

// Resets its connections at the end: no TIME_WAIT is left on the loopback
// addresses to collide with a port a later test binds.
void Reset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(fd);
}

struct Closer {
  std::vector<int> fds;
  ~Closer() {
    for (int fd : fds) Reset(fd);
  }
};

TEST(Stop, BoundedStopNamesTheCallThatDoesNotEnd) {
  auto gate = std::make_shared<Gate>();
  InterfaceSpec spec = Spec(gate);
  std::vector<CallInfo> left;
  {
    Server s;
    ASSERT_EQ(s.UseEndpoint("0", 4), RPC_S_OK);
    ASSERT_EQ(s.RegisterIf(spec), RPC_S_OK);
    ASSERT_EQ(s.Listen(2, 4), RPC_S_OK);
    std::uint16_t port = s.ports().at(0);
    Client c(port), other(port);
    Bytes reply;
    ASSERT_EQ(c.Call(spec, 2, {}, reply), RPC_S_OK);
    std::uint64_t association = NdrReader(reply, false).LongPair();
    RPC_STATUS blocked_status = RPC_S_OK;
    std::thread caller([&] {
      Bytes r;
      blocked_status = c.Call(spec, 1, {}, r);
    });
    {
      std::unique_lock<std::mutex> l(gate->mu);
      gate->cv.wait(l, [&] { return gate->entered; });
    }
    EXPECT_TRUE(other.Echo(spec));  // the blocked call holds one thread, not the server

    EXPECT_EQ(s.Stop(200ms, &left), RPC_S_CALL_IN_PROGRESS);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].opnum, 1);
    EXPECT_EQ(left[0].association, association);
    EXPECT_EQ(left[0].peer, "127.0.0.1");
    caller.join();
    EXPECT_EQ(blocked_status, RPC_S_CALL_FAILED);  // the connection ended under it

    // The port is free again and the server listens anew.
    ASSERT_EQ(s.UseEndpoint(std::to_string(port).c_str(), 4), RPC_S_OK);
    ASSERT_EQ(s.Listen(1, 4), RPC_S_OK);
    Client again(port);
    EXPECT_TRUE(again.Echo(spec));
    left.clear();
    EXPECT_EQ(s.Stop(200ms, &left), RPC_S_OK);
    EXPECT_TRUE(left.empty());
  }
  // The abandoned call ends on its own thread after its server is gone.
  std::unique_lock<std::mutex> l(gate->mu);
  gate->open = true;
  gate->cv.notify_all();
  gate->cv.wait(l, [&] { return gate->left; });
}

TEST(Load, IdleConnectionsHoldNoThread) {
  constexpr size_t kIdle = 2000;
  if (!RaiseFileLimit(2 * kIdle + 100)) GTEST_SKIP() << "open-file limit below " << 2 * kIdle + 100;
  InterfaceSpec spec = Spec(std::make_shared<Gate>());
  Server s;
  s.SetConnectionLimits(0, kIdle + 1);
  ASSERT_EQ(s.UseEndpoint("0", 40), RPC_S_OK);
  ASSERT_EQ(s.RegisterIf(spec), RPC_S_OK);
  ASSERT_EQ(s.Listen(4, 40), RPC_S_OK);
  std::uint16_t port = s.ports().at(0);
  long threads_before = StatusField("Threads:"), rss_before = StatusField("VmRSS:");
  Closer idle;
  for (size_t i = 0; i < kIdle; ++i) {
    int fd = Connect(port);
    ASSERT_GE(fd, 0) << i;
    idle.fds.push_back(fd);
  }
  ASSERT_TRUE(WaitForConnections(s, kIdle));
  Client working(port);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(working.Echo(spec));
  long threads = StatusField("Threads:"), rss = StatusField("VmRSS:");
  std::printf("%zu idle connections: threads %ld -> %ld, RSS %ld kB -> %ld kB (both ends in this process)\n", kIdle,
              threads_before, threads, rss_before, rss);
  EXPECT_LT(threads, 64);
  EXPECT_LE(s.call_threads(), 40u);
}

TEST(Load, ConnectionCapsPerAddressAndInAll) {
  if (!RaiseFileLimit(2 * kDefaultConnections + 200)) GTEST_SKIP() << "open-file limit too low";
  InterfaceSpec spec = Spec(std::make_shared<Gate>());
  Server s;
  std::mutex log_mu;
  std::vector<std::string> log;
  s.SetLog([&](const std::string& line) {
    std::lock_guard<std::mutex> l(log_mu);
    log.push_back(line);
  });
  ASSERT_EQ(s.UseEndpoint("0", 8), RPC_S_OK);
  ASSERT_EQ(s.RegisterIf(spec), RPC_S_OK);
  ASSERT_EQ(s.Listen(2, 8), RPC_S_OK);
  std::uint16_t port = s.ports().at(0);
  Closer open;

  // 64 from 127.0.0.2; the 65th is closed at once, another address is not.
  for (unsigned i = 0; i < kDefaultConnectionsPerPeer; ++i) {
    int fd = Connect(port, "127.0.0.2");
    if (fd < 0) GTEST_SKIP() << "cannot bind to 127.0.0.2";
    open.fds.push_back(fd);
  }
  ASSERT_TRUE(WaitForConnections(s, kDefaultConnectionsPerPeer));
  int extra = Connect(port, "127.0.0.2");
  ASSERT_GE(extra, 0);
  EXPECT_TRUE(ClosedByServer(extra));
  Reset(extra);
  Client local(port);
  EXPECT_TRUE(local.Echo(spec));
  {
    std::lock_guard<std::mutex> l(log_mu);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("127.0.0.2"), std::string::npos) << log[0];
  }

  // Up to 1,024 in all from further addresses (the client above is one);
  // number 1,025 is closed at once.
  size_t total = kDefaultConnectionsPerPeer + 1;
  for (int host = 3; total < kDefaultConnections; ++host) {
    std::string from = "127.0.0." + std::to_string(host);
    for (unsigned i = 0; i < kDefaultConnectionsPerPeer && total < kDefaultConnections; ++i, ++total) {
      int fd = Connect(port, from.c_str());
      ASSERT_GE(fd, 0);
      open.fds.push_back(fd);
    }
  }
  ASSERT_TRUE(WaitForConnections(s, kDefaultConnections));
  int over = Connect(port, "127.0.0.100");
  ASSERT_GE(over, 0);
  EXPECT_TRUE(ClosedByServer(over));
  Reset(over);
  EXPECT_TRUE(local.Echo(spec));  // an open connection goes on working

  // Room again once connections end.
  for (int i = 0; i < 10; ++i) {
    Reset(open.fds.back());
    open.fds.pop_back();
  }
  ASSERT_TRUE(WaitForConnections(s, kDefaultConnections - 10));
  Client late(port);
  EXPECT_TRUE(late.Echo(spec));
}

}  // namespace
}  // namespace vantrel::rpc
