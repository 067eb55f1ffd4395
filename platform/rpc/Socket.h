// Thin TCP helpers for the runtime: connect and listen with the statuses
// the RPC names use, whole reads and writes with a time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/rpc/Rpc.h"

namespace vantrel::rpc {

inline constexpr int kWaitForever = -1;

// Owns one descriptor; closes it when destroyed.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& o) noexcept : fd_(o.release()) {}
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Close(); }
  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void Close();
  // Wakes a thread blocked on the socket without closing the descriptor.
  void Shutdown() const;

 private:
  int fd_ = -1;
};

enum class IoResult { kOk, kClosed, kTimeout };

// Connects to host:port within timeout_ms (kWaitForever: no limit), with
// TCP_NODELAY. RPC_S_OK, RPC_S_SERVER_UNAVAILABLE or RPC_S_INVALID_NET_ADDR.
RPC_STATUS ConnectTcp(const std::string& host, const std::string& port, int timeout_ms, Socket& out);
// Listens on every IPv4 address; port 0 picks a free one, reported in
// `bound_port`. RPC_S_DUPLICATE_ENDPOINT when the port is taken.
RPC_STATUS ListenTcp(std::uint16_t port, int backlog, Socket& out, std::uint16_t& bound_port);
IoResult SendAll(const Socket& s, const void* data, size_t n);
IoResult RecvAll(const Socket& s, void* data, size_t n, int timeout_ms);
void SetNoDelay(const Socket& s);

}  // namespace vantrel::rpc
