// Test support: a TCP relay between a client and the server that reads the
// DCE/RPC traffic passing through it: it counts requests by operation
// number, and keeps the server objects the client holds, as the replies
// name new handles and FreeHObject gives them back. Every wait is bounded
// by a stop pipe the destructor writes.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/rpc/Ndr.h"
#include "protocol/ZelProtocol.h"

namespace vantrel::clienttest {

namespace relay_detail {

// Result-buffer indices and look-ups of held objects are no new objects.
inline void Collect(const char* name, std::int32_t value, std::vector<std::int32_t>* out) {
  std::string n = name;
  if (n.size() > 1 && n[0] == 'h' && n != "hBuffer" && n != "hObject" && value > 0) out->push_back(value);
}
template <class T>
void Collect(const char*, const T&, std::vector<std::int32_t>*) {}

template <class Out>
void ResultHandle(std::uint16_t opnum, const Out& a, std::vector<std::int32_t>* out) {
  if constexpr (requires { a.result; })
    if ((opnum == 3 || opnum == 9 || opnum == 12) && a.result > 0) out->push_back(a.result);
}

// The handles of new objects a reply of operation `opnum` names: its h*
// outputs, and the results of the logons and the store operation.
inline void NewHandles(std::uint16_t opnum, const std::vector<std::uint8_t>& stub, bool big,
                       std::vector<std::int32_t>* out) {
  try {
    switch (opnum) {
#define ZEL_IN(T, n)
#define ZEL_OUT(T, n) Collect(#n, a.n, out);
#define ZEL_INOUT(T, n)
#define ZEL_OP(num, name, res, params)                                                       \
  case num: {                                                                                \
    zel::op::name##_Out a;                                                                   \
    rpc::NdrReader r(stub, big);                                                             \
    zel::op::Decode(r, a);                                                                   \
    params ResultHandle(num, a, out);                                                        \
    break;                                                                                   \
  }
#include "protocol/ZelOperations.inc"
#undef ZEL_IN
#undef ZEL_OUT
#undef ZEL_INOUT
#undef ZEL_OP
      default:
        break;
    }
  } catch (const rpc::NdrError&) {
  }
}

}  // namespace relay_detail

class RpcRelay {
 public:
  explicit RpcRelay(const std::string& target_port) : target_(std::stoi(target_port)) {
    if (pipe(stop_) != 0) return;
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n) != 0)
      return;
    port_ = std::to_string(ntohs(a.sin_port));
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~RpcRelay() {
    if (stop_[1] >= 0) (void)!write(stop_[1], "x", 1);
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : relays_) t.join();
    if (listener_ >= 0) close(listener_);
    for (int fd : stop_)
      if (fd >= 0) close(fd);
  }
  RpcRelay(const RpcRelay&) = delete;
  RpcRelay& operator=(const RpcRelay&) = delete;

  // "" when the relay could not listen.
  const std::string& port() const { return port_; }
  int Requests(std::uint16_t opnum) {
    MutexLock lock(mu_);
    auto it = requests_.find(opnum);
    return it == requests_.end() ? 0 : it->second;
  }
  // The handles the client holds: named by replies, not yet freed.
  std::set<std::int32_t> Held() {
    MutexLock lock(mu_);
    return held_;
  }

 private:
  void Accept() {
    for (;;) {
      pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 || fds[1].revents) return;
      int client = accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      int server = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(static_cast<std::uint16_t>(target_));
      if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(client);
        close(server);
        continue;
      }
      relays_.emplace_back([this, client, server] { Relay(client, server); });
    }
  }

  void Relay(int client, int server) {
    Stream up, down;  // bytes not yet read as whole PDUs, each way
    char buf[65536];
    for (;;) {
      pollfd fds[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(fds, 3, -1) < 0 || fds[2].revents) break;
      bool done = false;
      for (int i = 0; i < 2 && !done; ++i) {
        if (!fds[i].revents) continue;
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n <= 0 || !WriteAll(i == 0 ? server : client, buf, static_cast<size_t>(n))) {
          done = true;
          break;
        }
        Stream& s = i == 0 ? up : down;
        s.bytes.insert(s.bytes.end(), buf, buf + n);
        Parse(s, i == 0);
      }
      if (done) break;
    }
    close(client);
    close(server);
  }

  static bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
      ssize_t w = write(fd, p, n);
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  struct Stream {
    std::vector<std::uint8_t> bytes;
    std::map<std::uint32_t, std::vector<std::uint8_t>> stubs;  // responses being put together, by call
  };

  // Whole PDUs off the front: the fragment length at offset 8, the packet
  // type at 2 (0 request, 2 response), the fragment flags at 3 (first 1,
  // last 2, object UUID 0x80), the call at 12, a request's operation at
  // 22; the stub data follows the 24-byte header (and a request's object
  // UUID). The data representation byte 4 says the byte order.
  void Parse(Stream& s, bool from_client) {
    size_t at = 0;
    while (s.bytes.size() - at >= 24) {
      const std::uint8_t* p = s.bytes.data() + at;
      bool big = !(p[4] & 0x10);
      auto u16 = [&](size_t o) { return big ? (p[o] << 8 | p[o + 1]) : (p[o] | p[o + 1] << 8); };
      auto u32 = [&](size_t o) {
        return big ? static_cast<std::uint32_t>(p[o] << 24 | p[o + 1] << 16 | p[o + 2] << 8 | p[o + 3])
                   : static_cast<std::uint32_t>(p[o] | p[o + 1] << 8 | p[o + 2] << 16 | p[o + 3] << 24);
      };
      size_t frag = static_cast<size_t>(u16(8));
      if (frag < 24) {  // not a PDU this relay understands; stop reading
        s.bytes.clear();
        return;
      }
      if (s.bytes.size() - at < frag) break;
      std::uint8_t type = p[2], flags = p[3];
      std::uint32_t call = u32(12);
      size_t stub_at = 24 + ((type == 0 && (flags & 0x80)) ? 16 : 0);
      size_t auth = static_cast<size_t>(u16(10));
      size_t stub_end = frag > auth + 8 && auth ? frag - auth - 8 : frag;
      if (stub_end < stub_at) stub_end = stub_at;
      MutexLock lock(mu_);
      if (from_client && type == 0 && (flags & 0x01)) {
        std::uint16_t opnum = static_cast<std::uint16_t>(u16(22));
        ++requests_[opnum];
        calls_[call] = opnum;
        if (opnum == 2 && stub_end - stub_at >= 4) held_.erase(static_cast<std::int32_t>(u32(stub_at)));  // FreeHObject
      } else if (!from_client && type == 2) {
        std::vector<std::uint8_t>& stub = s.stubs[call];
        stub.insert(stub.end(), p + stub_at, p + stub_end);
        if (flags & 0x02) {
          auto it = calls_.find(call);
          if (it != calls_.end()) {
            std::vector<std::int32_t> handles;
            relay_detail::NewHandles(it->second, stub, big, &handles);
            held_.insert(handles.begin(), handles.end());
            calls_.erase(it);
          }
          s.stubs.erase(call);
        }
      }
      at += frag;
    }
    s.bytes.erase(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(at));
  }

  const int target_;
  int stop_[2] = {-1, -1};
  int listener_ = -1;
  std::string port_;
  std::thread acceptor_;
  std::vector<std::thread> relays_;  // the acceptor's until it ends; joined after it
  Mutex mu_;
  std::map<std::uint16_t, int> requests_ GUARDED_BY(mu_);
  std::map<std::uint32_t, std::uint16_t> calls_ GUARDED_BY(mu_);  // requests waiting for their response
  std::set<std::int32_t> held_ GUARDED_BY(mu_);
};

}  // namespace vantrel::clienttest
