// Thin TCP helpers for the runtime: connect and listen with the statuses
// the RPC names use, whole reads and writes with a time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

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
struct Fragment;
// Sends fragments planned by PlanFragments without copying the stub.
IoResult SendFragments(const Socket& s, const std::vector<Fragment>& plan, std::span<const std::uint8_t> stub);
IoResult RecvAll(const Socket& s, void* data, size_t n, int timeout_ms);
void SetNoDelay(const Socket& s);
// Bounds each wait of a read on `s` (kWaitForever: none).
void SetReceiveTimeout(const Socket& s, int timeout_ms);

// Reads whole PDUs from a stream through a buffer, so one system call
// usually brings a whole PDU, or several.
class PduReader {
 public:
  enum class Result { kOk, kClosed, kTimeout, kMalformed };
  // One PDU no longer than max_frag; `pdu` stays valid until the next
  // Read or Clear. kMalformed for a bad header or a longer fragment.
  Result Read(const Socket& s, std::uint16_t max_frag, std::span<const std::uint8_t>& pdu);
  bool buffered() const { return end_ > begin_; }
  void Clear() { begin_ = end_ = 0; }

 private:
  IoResult Fill(const Socket& s, size_t need);
  std::vector<std::uint8_t> buf_;
  size_t begin_ = 0, end_ = 0;
};

}  // namespace vantrel::rpc
