// Test support: a TCP relay between a client and the server that counts
// the remote-call requests passing through it by operation number, read
// from the DCE/RPC request headers (first fragments only). Every wait is
// bounded by a stop pipe the destructor writes.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/ThreadAnnotations.h"

namespace vantrel::clienttest {

class RpcCountingProxy {
 public:
  explicit RpcCountingProxy(const std::string& target_port) : target_(std::stoi(target_port)) {
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
  ~RpcCountingProxy() {
    if (stop_[1] >= 0) (void)!write(stop_[1], "x", 1);
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& t : relays_) t.join();
    if (listener_ >= 0) close(listener_);
    for (int fd : stop_)
      if (fd >= 0) close(fd);
  }
  RpcCountingProxy(const RpcCountingProxy&) = delete;
  RpcCountingProxy& operator=(const RpcCountingProxy&) = delete;

  // "" when the relay could not listen.
  const std::string& port() const { return port_; }
  int Requests(std::uint16_t opnum) {
    MutexLock lock(mu_);
    auto it = requests_.find(opnum);
    return it == requests_.end() ? 0 : it->second;
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
    std::vector<std::uint8_t> pending;  // client bytes not yet read as whole PDUs
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
        if (i == 0) {
          pending.insert(pending.end(), buf, buf + n);
          Parse(pending);
        }
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

  // Whole PDUs off the front: the fragment length at offset 8, the packet
  // type at 2 (0 = request), the first-fragment flag at 3, the operation
  // number at 22; little-endian, as our client sends.
  void Parse(std::vector<std::uint8_t>& bytes) {
    size_t at = 0;
    while (bytes.size() - at >= 24) {
      const std::uint8_t* p = bytes.data() + at;
      size_t frag = p[8] | (p[9] << 8);
      if (frag < 16) {  // not a PDU this relay understands; stop counting
        bytes.clear();
        return;
      }
      if (bytes.size() - at < frag) break;
      if (p[2] == 0 && (p[3] & 0x01)) {
        MutexLock lock(mu_);
        ++requests_[static_cast<std::uint16_t>(p[22] | (p[23] << 8))];
      }
      at += frag;
    }
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  }

  const int target_;
  int stop_[2] = {-1, -1};
  int listener_ = -1;
  std::string port_;
  std::thread acceptor_;
  std::vector<std::thread> relays_;  // the acceptor's until it ends; joined after it
  Mutex mu_;
  std::map<std::uint16_t, int> requests_ GUARDED_BY(mu_);
};

}  // namespace vantrel::clienttest
