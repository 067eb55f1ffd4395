#include "platform/rpc/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/rpc/Pdu.h"

namespace vantrel::rpc {

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.release();
  }
  return *this;
}

void Socket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Socket::Shutdown() const {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void SetNoDelay(const Socket& s) {
  int one = 1;
  ::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void SetReceiveTimeout(const Socket& s, int timeout_ms) {
  timeval tv{};
  if (timeout_ms != kWaitForever) {
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
  }
  ::setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

namespace {

// Waits for `events` on fd; false on time-out. Retries after signals with
// what is left of the time.
bool WaitFor(int fd, short events, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int left = timeout_ms;
    if (timeout_ms != kWaitForever) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      left = ms.count() < 0 ? 0 : static_cast<int>(ms.count());
    }
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, left);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return true;  // let the following call report the error
  }
}

bool ConnectOne(const addrinfo* ai, int timeout_ms, Socket& out) {
  Socket s(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
  if (!s.valid()) return false;
  int flags = ::fcntl(s.fd(), F_GETFL);
  ::fcntl(s.fd(), F_SETFL, flags | O_NONBLOCK);
  if (::connect(s.fd(), ai->ai_addr, ai->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return false;
    if (!WaitFor(s.fd(), POLLOUT, timeout_ms)) return false;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return false;
  }
  ::fcntl(s.fd(), F_SETFL, flags);
  SetNoDelay(s);
  out = std::move(s);
  return true;
}

}  // namespace

RPC_STATUS ConnectTcp(const std::string& host, const std::string& port, int timeout_ms, Socket& out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(host.empty() ? "127.0.0.1" : host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) return rc == EAI_NONAME ? RPC_S_SERVER_UNAVAILABLE : RPC_S_INVALID_NET_ADDR;
  // Prefer IPv4: the server listens there.
  RPC_STATUS status = RPC_S_SERVER_UNAVAILABLE;
  for (int family : {AF_INET, AF_INET6}) {
    for (addrinfo* ai = list; ai && status != RPC_S_OK; ai = ai->ai_next)
      if (ai->ai_family == family && ConnectOne(ai, timeout_ms, out)) status = RPC_S_OK;
  }
  ::freeaddrinfo(list);
  return status;
}

RPC_STATUS ListenTcp(std::uint16_t port, int backlog, Socket& out, std::uint16_t& bound_port) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return RPC_S_CANT_CREATE_ENDPOINT;
  // Lets a restarted server take its port while old connections linger in
  // TIME_WAIT; a port another socket listens on stays refused.
  int one = 1;
  ::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    return errno == EADDRINUSE || errno == EACCES ? RPC_S_DUPLICATE_ENDPOINT : RPC_S_CANT_CREATE_ENDPOINT;
  if (::listen(s.fd(), backlog) != 0)
    return errno == EADDRINUSE ? RPC_S_DUPLICATE_ENDPOINT : RPC_S_CANT_CREATE_ENDPOINT;
  socklen_t len = sizeof a;
  ::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&a), &len);
  bound_port = ntohs(a.sin_port);
  out = std::move(s);
  return RPC_S_OK;
}

IoResult SendAll(const Socket& s, const void* data, size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::send(s.fd(), p, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      return IoResult::kClosed;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return IoResult::kOk;
}

IoResult SendFragments(const Socket& s, const std::vector<Fragment>& plan, std::span<const std::uint8_t> stub) {
  constexpr size_t kBatch = 64;  // fragments per sendmsg, well below IOV_MAX
  iovec iov[2 * kBatch];
  for (size_t first = 0; first < plan.size(); first += kBatch) {
    size_t count = 0;
    for (size_t i = first; i < std::min(plan.size(), first + kBatch); ++i) {
      const Fragment& f = plan[i];
      iov[count++] = {const_cast<std::uint8_t*>(f.head), f.head_size};
      if (f.length) iov[count++] = {const_cast<std::uint8_t*>(stub.data() + f.offset), f.length};
    }
    size_t at = 0;
    while (at < count) {
      msghdr m{};
      m.msg_iov = iov + at;
      m.msg_iovlen = count - at;
      ssize_t w = ::sendmsg(s.fd(), &m, MSG_NOSIGNAL);
      if (w < 0) {
        if (errno == EINTR) continue;
        return IoResult::kClosed;
      }
      // Skip what went out; a partly sent vector keeps its rest.
      auto left = static_cast<size_t>(w);
      while (at < count && left >= iov[at].iov_len) left -= iov[at++].iov_len;
      if (left) {
        iov[at].iov_base = static_cast<std::uint8_t*>(iov[at].iov_base) + left;
        iov[at].iov_len -= left;
      }
    }
  }
  return IoResult::kOk;
}

IoResult RecvAll(const Socket& s, void* data, size_t n, int timeout_ms) {
  auto* p = static_cast<char*>(data);
  while (n > 0) {
    if (timeout_ms != kWaitForever && !WaitFor(s.fd(), POLLIN, timeout_ms)) return IoResult::kTimeout;
    ssize_t r = ::recv(s.fd(), p, n, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return IoResult::kClosed;
    }
    if (r == 0) return IoResult::kClosed;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return IoResult::kOk;
}

IoResult PduReader::Fill(const Socket& s, size_t need) {
  if (end_ - begin_ >= need) return IoResult::kOk;
  if (buf_.size() - begin_ < need) {
    if (end_ > begin_) std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (buf_.size() < need) buf_.resize(std::max<size_t>(need, 1 << 16));
  }
  while (end_ - begin_ < need) {
    ssize_t r = ::recv(s.fd(), buf_.data() + end_, buf_.size() - end_, 0);
    if (r > 0) {
      end_ += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) return IoResult::kClosed;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? IoResult::kTimeout : IoResult::kClosed;
  }
  return IoResult::kOk;
}

PduReader::Result PduReader::Read(const Socket& s, std::uint16_t max_frag, std::span<const std::uint8_t>& pdu) {
  auto map = [](IoResult r) { return r == IoResult::kTimeout ? Result::kTimeout : Result::kClosed; };
  if (IoResult r = Fill(s, kHeaderSize); r != IoResult::kOk) return map(r);
  auto h = ParseHeader(std::span(buf_.data() + begin_, kHeaderSize));
  // The length is checked before the rest is read.
  if (!h || h->frag_length > max_frag) return Result::kMalformed;
  if (IoResult r = Fill(s, h->frag_length); r != IoResult::kOk) return map(r);
  pdu = std::span<const std::uint8_t>(buf_.data() + begin_, h->frag_length);
  begin_ += h->frag_length;
  return Result::kOk;
}

}  // namespace vantrel::rpc
