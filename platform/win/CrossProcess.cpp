// The "peer" channel: window messages to and from other processes of this
// user. The rules and the wire format are in CrossProcess.md.
#include "platform/win/CrossProcess.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "platform/base/ByteCoder.h"
#include "platform/base/SystemInfo.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/win/LocalChannel.h"
#include "platform/win/MessageQueue.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {
namespace {

using Clock = std::chrono::steady_clock;

inline constexpr std::uint32_t kMaxCopyData = 64 * 1024;
// Requests that never wait on a window thread (lists, posts) still get a
// bound, for a peer whose listener is stuck.
inline constexpr auto kQuickBound = std::chrono::seconds(5);
inline constexpr int kConnectTimeoutMs = 2000;

enum Op : std::uint8_t {
  kSend = 1,
  kPost = 2,
  kList = 3,
  kResult = 0x81,
  kWindowList = 0x82,
};

enum Status : std::uint8_t {
  kDelivered = 0,
  kNoWindow = 1,
  kRefused = 2,
  kHung = 3,  // SMTO_ABORTIFHUNG and the window's thread is not looking
};

// System messages whose parameters are plain numbers (or handles, which are
// numbers too). Every other message below WM_USER carries pointers or
// process-local state and stays in its process; WM_COPYDATA crosses with its
// bytes.
bool CanCross(UINT msg) {
  if (msg >= WM_USER) return true;
  switch (msg) {
    case WM_NULL:
    case WM_MOVE:
    case WM_SIZE:
    case WM_ACTIVATE:
    case WM_SETFOCUS:
    case WM_ENABLE:
    case WM_GETTEXTLENGTH:
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
    case WM_QUIT:
    case WM_ENDSESSION:
    case WM_SHOWWINDOW:
    case WM_COPYDATA:
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
    case WM_COMMAND:
    case WM_SYSCOMMAND:
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
      return true;
    default:
      return false;
  }
}

void PutString(LeWriter& w, const std::string& s) {
  std::uint16_t n = static_cast<std::uint16_t>(std::min<size_t>(s.size(), 0xFFFF));
  w.U16(n);
  w.Bytes(s.data(), n);
}

bool GetString(LeReader& r, std::string* s) {
  std::uint16_t n;
  if (!r.U16(n) || !r.Need(n, 1)) return false;
  s->assign(reinterpret_cast<const char*>(r.pos()), n);
  return r.Skip(n);
}

// ---- The sending side: one connection per peer process, shared by every
// thread, with a reader thread that hands replies to their waiters.

// One request waiting for its answer. queue and token are set before it is
// shared and never change; status, result and windows are written by the
// reader thread and read by the waiter, both under the connection's mu_.
struct Pending {
  std::weak_ptr<ThreadQueue> queue;
  std::uint64_t token = 0;
  std::uint8_t status = kRefused;
  LRESULT result = 0;
  std::vector<WindowInfo> windows;
};

class PeerConnection : public std::enable_shared_from_this<PeerConnection> {
 public:
  PeerConnection(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
  ~PeerConnection() { close(fd_); }

  pid_t pid() const { return pid_; }

  // Sends `body` (after op and id) and waits for the answer as a sender
  // does. False when the peer is gone or the time ran out.
  bool Call(Op op, const std::vector<std::uint8_t>& body, bool block, Clock::time_point deadline,
            Pending* answer, bool* timedOut) EXCLUDES(mu_, writeMu_);

  void ReadReplies() EXCLUDES(mu_);

  bool dead() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    return dead_;
  }

 private:
  const pid_t pid_;
  const int fd_;  // closed when the last user lets go, never while one writes
  Mutex writeMu_;  // one frame at a time on the socket; never held with mu_
  Mutex mu_;
  bool dead_ GUARDED_BY(mu_) = false;
  std::uint64_t nextId_ GUARDED_BY(mu_) = 1;
  std::map<std::uint64_t, std::shared_ptr<Pending>> pending_ GUARDED_BY(mu_);
};

struct ChannelTable {
  Mutex mu;
  std::map<pid_t, std::shared_ptr<PeerConnection>> byPid GUARDED_BY(mu);
};

ChannelTable& Channels() {
  static ChannelTable* table = new ChannelTable;  // lives as long as the process
  return *table;
}

void Forget(const std::shared_ptr<PeerConnection>& conn) {
  ChannelTable& t = Channels();
  MutexLock lock(t.mu);
  auto it = t.byPid.find(conn->pid());
  if (it != t.byPid.end() && it->second == conn) t.byPid.erase(it);
}

std::shared_ptr<PeerConnection> Connection(pid_t pid) {
  {
    ChannelTable& t = Channels();
    MutexLock lock(t.mu);
    auto it = t.byPid.find(pid);
    if (it != t.byPid.end() && !it->second->dead()) return it->second;
  }
  int fd = ConnectChannel(pid, "peer", kConnectTimeoutMs);
  if (fd < 0) return nullptr;
  auto conn = std::make_shared<PeerConnection>(pid, fd);
  {
    ChannelTable& t = Channels();
    MutexLock lock(t.mu);
    auto it = t.byPid.find(pid);
    if (it != t.byPid.end() && !it->second->dead()) return it->second;  // another thread won
    t.byPid[pid] = conn;
  }
  std::thread([conn] { conn->ReadReplies(); }).detach();
  return conn;
}

bool PeerConnection::Call(Op op, const std::vector<std::uint8_t>& body, bool block,
                          Clock::time_point deadline, Pending* answer, bool* timedOut) {
  *timedOut = false;
  std::shared_ptr<ThreadQueue> me = CurrentQueue();
  auto pending = std::make_shared<Pending>();
  pending->queue = me;
  pending->token = me->BeginWait();
  std::uint64_t id;
  {
    MutexLock lock(mu_);
    if (dead_) {
      LRESULT ignored;
      lock.Unlock();
      me->WaitReply(pending->token, true, Clock::now(), &ignored);  // drops the token
      return false;
    }
    id = nextId_++;
    pending_[id] = pending;
  }
  std::vector<std::uint8_t> frame;
  LeWriter w(frame);
  w.U8(op);
  w.U64(id);
  w.Bytes(body.data(), body.size());
  bool written;
  {
    MutexLock lock(writeMu_);
    written = WriteFrame(fd_, frame);
  }
  LRESULT ignored;
  bool answered = written && me->WaitReply(pending->token, block, deadline, &ignored);
  if (!written) {
    me->WaitReply(pending->token, true, Clock::now(), &ignored);
  }
  MutexLock lock(mu_);
  pending_.erase(id);
  if (!answered) {
    *timedOut = written && !dead_;
    return false;
  }
  *answer = std::move(*pending);
  *timedOut = answer->status == kHung;
  return answer->status == kDelivered;
}

void PeerConnection::ReadReplies() {
  std::vector<std::uint8_t> frame;
  while (ReadFrame(fd_, &frame)) {
    LeReader r(frame.data(), frame.size());
    std::uint8_t op;
    std::uint64_t id;
    if (!r.U8(op) || !r.U64(id)) break;
    std::shared_ptr<Pending> pending;
    {
      MutexLock lock(mu_);
      auto it = pending_.find(id);
      if (it == pending_.end()) continue;  // its sender gave up
      pending = it->second;
      std::uint8_t status;
      if (op == kResult) {
        std::uint64_t result;
        if (!r.U8(status) || !r.U64(result)) break;
        pending->status = status;
        pending->result = static_cast<LRESULT>(result);
      } else if (op == kWindowList) {
        std::uint32_t count;
        if (!r.U32(count) || !r.Need(count, 22)) break;
        std::vector<WindowInfo> list(count);
        for (auto& info : list) {
          r.U32(info.hwnd);
          r.U32(info.parent);
          r.U32(info.pid);
          r.U32(info.tid);
          r.U32(info.style);
          GetString(r, &info.className);
          GetString(r, &info.title);
        }
        if (!r.ok()) break;
        pending->status = kDelivered;
        pending->windows = std::move(list);
      } else {
        break;
      }
      // An answered request leaves the table at once, so a peer that closes
      // right after answering cannot turn the answer into a refusal below.
      pending_.erase(it);
    }
    if (auto q = pending->queue.lock()) q->Reply(pending->token, 0);
  }
  // The peer closed its end (it died) or spoke nonsense: everyone waiting
  // on it gets 0 now.
  std::map<std::uint64_t, std::shared_ptr<Pending>> orphans;
  {
    MutexLock lock(mu_);
    dead_ = true;
    orphans.swap(pending_);
  }
  shutdown(fd_, SHUT_RDWR);
  Forget(shared_from_this());
  for (auto& [id, pending] : orphans) {
    pending->status = kRefused;
    if (auto q = pending->queue.lock()) q->Reply(pending->token, 0);
  }
}

// ---- The receiving side: one thread per connection reads requests and
// queues sends on the windows' own threads; their answers are written by
// those threads.

class PeerSession : public std::enable_shared_from_this<PeerSession> {
 public:
  explicit PeerSession(int fd) : fd_(fd) {}
  ~PeerSession() { close(fd_); }

  void Run();

 private:
  void Answer(std::uint64_t id, Status status, LRESULT result) EXCLUDES(writeMu_);
  void HandleSend(std::uint64_t id, LeReader& r);
  void HandlePost(std::uint64_t id, LeReader& r);
  void HandleList(std::uint64_t id) EXCLUDES(writeMu_);

  const int fd_;
  Mutex writeMu_;  // answers come from many window threads
};

void PeerSession::Answer(std::uint64_t id, Status status, LRESULT result) {
  std::vector<std::uint8_t> frame;
  LeWriter w(frame);
  w.U8(kResult);
  w.U64(id);
  w.U8(status);
  w.U64(static_cast<std::uint64_t>(result));
  MutexLock lock(writeMu_);
  WriteFrame(fd_, frame);  // a sender that died no longer needs it
}

void PeerSession::HandleSend(std::uint64_t id, LeReader& r) {
  std::uint32_t hwnd, msg, flags, size = 0;
  std::uint64_t wParam, lParam, dwData = 0;
  std::uint8_t hasData;
  if (!r.U32(hwnd) || !r.U32(msg) || !r.U64(wParam) || !r.U64(lParam) || !r.U32(flags) ||
      !r.U8(hasData)) {
    Answer(id, kRefused, 0);
    return;
  }
  auto sent = std::make_shared<SentMessage>();
  if (hasData) {
    if (!r.U64(dwData) || !r.U32(size) || size > kMaxCopyData || !r.Need(size, 1)) {
      Answer(id, kRefused, 0);
      return;
    }
    // The copy lives in this process as long as the message does.
    struct Copy {
      COPYDATASTRUCT cds;
      std::vector<std::uint8_t> bytes;
    };
    auto copy = std::make_shared<Copy>();
    copy->bytes.assign(r.pos(), r.pos() + size);
    copy->cds = COPYDATASTRUCT{static_cast<ULONG_PTR>(dwData), size,
                               size ? copy->bytes.data() : nullptr};
    lParam = reinterpret_cast<std::uintptr_t>(&copy->cds);
    sent->keep = copy;
  }
  if (!CanCross(msg) || (msg == WM_COPYDATA) != (hasData != 0)) {
    Answer(id, kRefused, 0);
    return;
  }
  HWND target = HandleOf(hwnd);
  auto queue = LocalWindowQueue(target);
  if (!queue) {
    Answer(id, kNoWindow, 0);
    return;
  }
  if ((flags & SMTO_ABORTIFHUNG) && queue->Hung()) {
    Answer(id, kHung, 0);
    return;
  }
  sent->hwnd = target;
  sent->message = msg;
  sent->wParam = static_cast<WPARAM>(wParam);
  sent->lParam = static_cast<LPARAM>(lParam);
  std::weak_ptr<PeerSession> self = shared_from_this();
  sent->complete = [self, id](LRESULT result) {
    if (auto s = self.lock()) s->Answer(id, kDelivered, result);
  };
  // Delivered on the window's own thread through its queue, as a send from
  // another thread is; a window that goes away first answers 0.
  if (!queue->Send(sent)) Answer(id, kNoWindow, 0);
}

void PeerSession::HandlePost(std::uint64_t id, LeReader& r) {
  std::uint32_t hwnd, msg;
  std::uint64_t wParam, lParam;
  if (!r.U32(hwnd) || !r.U32(msg) || !r.U64(wParam) || !r.U64(lParam)) {
    Answer(id, kRefused, 0);
    return;
  }
  if (!CanCross(msg) || msg == WM_COPYDATA) {
    Answer(id, kRefused, 0);
    return;
  }
  HWND target = HandleOf(hwnd);
  auto queue = LocalWindowQueue(target);
  if (!queue) {
    Answer(id, kNoWindow, 0);
    return;
  }
  // Answered before it is queued: a posted WM_CLOSE may end this process
  // before this thread runs again, and the sender must not read that as a
  // refusal. A window that goes in between loses the message, as it would
  // have a moment later.
  Answer(id, kDelivered, 1);
  queue->Post(MSG{target, msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam),
                  GetTickCount(), {}});
}

void PeerSession::HandleList(std::uint64_t id) {
  std::vector<WindowInfo> windows = LocalWindowInfos(false);
  std::vector<std::uint8_t> frame;
  LeWriter w(frame);
  w.U8(kWindowList);
  w.U64(id);
  w.U32(static_cast<std::uint32_t>(windows.size()));
  for (const auto& info : windows) {
    w.U32(info.hwnd);
    w.U32(info.parent);
    w.U32(info.pid);
    w.U32(info.tid);
    w.U32(info.style);
    PutString(w, info.className);
    PutString(w, info.title);
  }
  MutexLock lock(writeMu_);
  WriteFrame(fd_, frame);
}

void PeerSession::Run() {
  std::vector<std::uint8_t> frame;
  // A WM_COPYDATA of 64 KiB and its header is the largest request.
  while (ReadFrame(fd_, &frame, kMaxCopyData + 256)) {
    LeReader r(frame.data(), frame.size());
    std::uint8_t op;
    std::uint64_t id;
    if (!r.U8(op) || !r.U64(id)) break;
    switch (op) {
      case kSend:
        HandleSend(id, r);
        break;
      case kPost:
        HandlePost(id, r);
        break;
      case kList:
        HandleList(id);
        break;
      default:
        Answer(id, kRefused, 0);
        break;
    }
  }
  shutdown(fd_, SHUT_RDWR);
}

}  // namespace

void ServePeers() {
  static const bool registered = [] {
    RegisterChannel("peer", [](int fd) { std::make_shared<PeerSession>(fd)->Run(); });
    return true;
  }();
  (void)registered;
}

std::chrono::milliseconds CrossProcessSendBound() {
  if (const char* env = std::getenv("ZEL_WIN_SEND_TIMEOUT_MS"); env && *env) {
    char* end = nullptr;
    long ms = std::strtol(env, &end, 10);
    if (end && *end == '\0' && ms > 0) return std::chrono::milliseconds(ms);
  }
  return std::chrono::seconds(30);
}

bool RemoteSend(pid_t pid, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                Clock::time_point deadline, LRESULT* result, bool* timedOut) {
  *result = 0;
  *timedOut = false;
  if (!CanCross(msg)) return false;
  std::vector<std::uint8_t> body;
  LeWriter w(body);
  w.U32(HandleValue(hwnd));
  w.U32(msg);
  w.U64(wParam);
  if (msg == WM_COPYDATA) {
    auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (!cds || cds->cbData > kMaxCopyData || (cds->cbData && !cds->lpData)) return false;
    w.U64(0);
    w.U32(flags);
    w.U8(1);
    w.U64(cds->dwData);
    w.U32(cds->cbData);
    w.Bytes(cds->lpData, cds->cbData);
  } else {
    w.U64(static_cast<std::uint64_t>(lParam));
    w.U32(flags);
    w.U8(0);
  }
  auto conn = Connection(pid);
  if (!conn) return false;
  Pending answer;
  if (!conn->Call(kSend, body, flags & SMTO_BLOCK, deadline, &answer, timedOut)) return false;
  *result = answer.result;
  return true;
}

bool RemotePost(pid_t pid, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!CanCross(msg) || msg == WM_COPYDATA) return false;  // posted data would outlive its sender
  std::vector<std::uint8_t> body;
  LeWriter w(body);
  w.U32(HandleValue(hwnd));
  w.U32(msg);
  w.U64(wParam);
  w.U64(static_cast<std::uint64_t>(lParam));
  auto conn = Connection(pid);
  if (!conn) return false;
  Pending answer;
  bool timedOut;
  return conn->Call(kPost, body, true, Clock::now() + kQuickBound, &answer, &timedOut);
}

std::vector<WindowInfo> RemoteWindows(pid_t pid) {
  auto conn = Connection(pid);
  if (!conn) return {};
  Pending answer;
  bool timedOut;
  if (!conn->Call(kList, {}, true, Clock::now() + kQuickBound, &answer, &timedOut)) return {};
  return std::move(answer.windows);
}

}  // namespace vantrel::win
