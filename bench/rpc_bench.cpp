// Round trips of RPC calls over our runtime beside a raw TCP ping-pong of
// the same payload on loopback, measured in the same run. Prints the
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
      std::vector<std::uint8_t> buf;
      for (;;) {
        std::uint32_t n = 0;
        if (RecvAll(c, &n, 4, kWaitForever) != IoResult::kOk) return;
        buf.resize(n + 4);
        std::memcpy(buf.data(), &n, 4);
        if (n && RecvAll(c, buf.data() + 4, n, kWaitForever) != IoResult::kOk) return;
        if (SendAll(c, buf.data(), buf.size()) != IoResult::kOk) return;
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

// Median of per-round-trip times, in microseconds, by benchmark name.
std::map<std::string, double>& Medians() {
  static std::map<std::string, double> m;
  return m;
}

void Record(benchmark::State& state, const char* kind, std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  double median = samples.empty() ? 0 : samples[samples.size() / 2];
  state.counters["median_us"] = median;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0) * 2);
  Medians()[std::string(kind) + "/" + std::to_string(state.range(0))] = median;
}

void BM_RpcCall(benchmark::State& state) {
  static Server* server = [] {
    auto* s = new Server;  // lives for the whole run
    s->UseEndpoint("0", 4);
    s->RegisterIf(EchoSpec());
    s->Listen(2, 4);
    return s;
  }();
  std::string port = std::to_string(server->ports().at(0));
  std::string text = "ncacn_ip_tcp:127.0.0.1[" + port + "]";
  RPC_BINDING_HANDLE h = nullptr;
  RpcBindingFromStringBinding(text.c_str(), &h);
  InterfaceSpec spec = EchoSpec();
  std::vector<std::uint8_t> req(static_cast<size_t>(state.range(0)), 0x5A), reply;
  bool big = false;
  Call(h, spec, 0, req, reply, big);  // connect and bind outside the timing
  std::vector<double> samples;
  for (auto _ : state) {
    auto t0 = Clock::now();
    if (RPC_STATUS st = Call(h, spec, 0, req, reply, big); st != RPC_S_OK) {
      state.SkipWithError(("call failed: " + std::to_string(st) + " after " + std::to_string(samples.size())).c_str());
      break;
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  RpcBindingFree(&h);
  Record(state, "rpc", samples);
}

void BM_RawTcp(benchmark::State& state) {
  RawEcho echo;
  Socket s;
  ConnectTcp("127.0.0.1", std::to_string(echo.port()), kWaitForever, s);
  auto n = static_cast<std::uint32_t>(state.range(0));
  std::vector<std::uint8_t> msg(n + 4, 0x5A), back(n + 4);
  std::memcpy(msg.data(), &n, 4);
  std::vector<double> samples;
  for (auto _ : state) {
    auto t0 = Clock::now();
    if (SendAll(s, msg.data(), msg.size()) != IoResult::kOk ||
        RecvAll(s, back.data(), back.size(), kWaitForever) != IoResult::kOk)
      state.SkipWithError("raw round trip failed");
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  s.Shutdown();
  Record(state, "raw", samples);
}

BENCHMARK(BM_RawTcp)->Arg(0)->Arg(4096)->Arg(32768)->MinTime(1.0);
BENCHMARK(BM_RpcCall)->Arg(0)->Arg(4096)->Arg(32768)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\n%-10s %14s %14s %8s\n", "payload", "raw TCP (us)", "RPC call (us)", "ratio");
  for (int size : {0, 4096, 32768}) {
    auto raw = Medians().find("raw/" + std::to_string(size));
    auto rpc = Medians().find("rpc/" + std::to_string(size));
    if (raw == Medians().end() || rpc == Medians().end()) continue;
    std::printf("%-10d %14.1f %14.1f %8.2f\n", size, raw->second, rpc->second,
                raw->second > 0 ? rpc->second / raw->second : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}
