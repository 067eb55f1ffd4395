// Round trips of RPC calls over our runtime beside a raw TCP ping-pong of
// the same payload on loopback, alternated in the same loop. Prints the
// median of each and their ratio; asserts nothing.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/Rpc.h"
#include "platform/rpc/RpcServer.h"
#include "platform/rpc/Socket.h"

namespace {

using namespace vantrel::rpc;
using Clock = std::chrono::steady_clock;

InterfaceSpec EchoSpec() {
  InterfaceSpec s;
  s.uuid = *vantrel::GuidFromString("e7d62c8d-ba26-4d96-a34b-05c4bd1cc1f6");
  s.major = 1;
  s.operation_count = 1;
  s.dispatch = [](const CallInfo&, NdrReader& in, NdrWriter& out) {
    auto d = in.Bytes(in.remaining());
    out.Bytes(d.data(), d.size());
    return RPC_S_OK;
  };
  return s;
}

// A raw TCP echo server: 4-byte length, then that many bytes, answered
// with the same.
class RawEcho {
 public:
  RawEcho() {
    ListenTcp(0, 16, listen_, port_);
    thread_ = std::thread([this] {
      Socket c(::accept(listen_.fd(), nullptr, nullptr));
      if (!c.valid()) return;
      SetNoDelay(c);
      // One message at a time: read what has arrived until the message is
      // whole (usually one system call), answer it with one send.
      std::vector<std::uint8_t> buf(1 << 17);
      size_t have = 0;
      for (;;) {
        std::uint32_t n = 0;
        while (have < 4 || have < 4 + static_cast<size_t>((std::memcpy(&n, buf.data(), 4), n))) {
          ssize_t r = ::recv(c.fd(), buf.data() + have, buf.size() - have, 0);
          if (r <= 0) return;
          have += static_cast<size_t>(r);
        }
        if (SendAll(c, buf.data(), 4 + n) != IoResult::kOk) return;
        have = 0;
      }
    });
  }
  ~RawEcho() {
    listen_.Shutdown();
    thread_.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  Socket listen_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

// Medians of per-round-trip times, in microseconds, by payload size.
struct Figures {
  double raw = 0, rpc = 0;
};
std::map<std::int64_t, Figures>& Medians() {
  static std::map<std::int64_t, Figures> m;
  return m;
}

double Median(std::vector<double>& v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

Server& EchoServer() {
  static Server* server = [] {
    auto* s = new Server;  // lives for the whole run
    s->UseEndpoint("0", 4);
    s->RegisterIf(EchoSpec());
    s->Listen(2, 4);
    return s;
  }();
  return *server;
}

// Alternates one raw round trip and one RPC call of the same payload, so
// both see the same load on the machine.
void BM_RoundTrip(benchmark::State& state) {
  auto n = static_cast<std::uint32_t>(state.range(0));
  RawEcho echo;
  Socket raw;
  ConnectTcp("127.0.0.1", std::to_string(echo.port()), kWaitForever, raw);
  std::vector<std::uint8_t> msg(n + 4, 0x5A), back(n + 4);
  std::memcpy(msg.data(), &n, 4);

  std::string text = "ncacn_ip_tcp:127.0.0.1[" + std::to_string(EchoServer().ports().at(0)) + "]";
  RPC_BINDING_HANDLE h = nullptr;
  RpcBindingFromStringBinding(text.c_str(), &h);
  InterfaceSpec spec = EchoSpec();
  std::vector<std::uint8_t> req(n, 0x5A), reply;
  bool big = false;
  Call(h, spec, 0, req, reply, big);  // connect and bind outside the timing

  std::vector<double> raw_us, rpc_us;
  for (auto _ : state) {
    auto t0 = Clock::now();
    if (SendAll(raw, msg.data(), msg.size()) != IoResult::kOk ||
        RecvAll(raw, back.data(), back.size(), kWaitForever) != IoResult::kOk) {
      state.SkipWithError("raw round trip failed");
      break;
    }
    auto t1 = Clock::now();
    if (RPC_STATUS st = Call(h, spec, 0, req, reply, big); st != RPC_S_OK || reply.size() != n) {
      state.SkipWithError(("call failed: " + std::to_string(st)).c_str());
      break;
    }
    auto t2 = Clock::now();
    raw_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    rpc_us.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  RpcBindingFree(&h);
  raw.Shutdown();
  Figures f{Median(raw_us), Median(rpc_us)};
  state.counters["raw_median_us"] = f.raw;
  state.counters["rpc_median_us"] = f.rpc;
  Medians()[state.range(0)] = f;
}

BENCHMARK(BM_RoundTrip)->Arg(0)->Arg(4096)->Arg(32768)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\n%-10s %14s %14s %8s\n", "payload", "raw TCP (us)", "RPC call (us)", "ratio");
  for (const auto& [size, f] : Medians())
    std::printf("%-10lld %14.1f %14.1f %8.2f\n", static_cast<long long>(size), f.raw, f.rpc,
                f.raw > 0 ? f.rpc / f.raw : 0.0);
  benchmark::Shutdown();
  return 0;
}
