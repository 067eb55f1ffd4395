#include "tools/zelfront/ProcessLink.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace zelfront {

namespace {
// A process that stops reading our commands is dropped rather than
// buffered for without bound.
constexpr size_t kMaxPendingOut = 4 << 20;
}  // namespace

ProcessLink::ProcessLink(pid_t pid, int fd, Events events) : pid_(pid), fd_(fd), events_(std::move(events)) {
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  reader_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
  writer_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
  writer_->setEnabled(false);
  QObject::connect(reader_, &QSocketNotifier::activated, this, [this] { OnReadable(); });
  QObject::connect(writer_, &QSocketNotifier::activated, this, [this] { Flush(); });
  out_ = fe::Join({"hello", std::to_string(fe::kVersion)}) + "\n";
  Flush();
}

ProcessLink::~ProcessLink() {
  if (fd_ >= 0) {
    ::send(fd_, "bye\n", 4, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd_);
  }
}

void ProcessLink::Send(const std::string& name, std::vector<std::string> args, Reply done) {
  if (fd_ < 0) {
    if (done) done(false, {"error", "-", "the process is gone"});
    return;
  }
  std::string tag = std::to_string(nextTag_++);
  std::vector<std::string> fields{name, tag};
  fields.insert(fields.end(), std::make_move_iterator(args.begin()), std::make_move_iterator(args.end()));
  if (done) replies_[tag] = std::move(done);
  out_ += fe::Join(fields) + "\n";
  Flush();
}

void ProcessLink::Flush() {
  while (fd_ >= 0 && !out_.empty()) {
    ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      out_.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (out_.size() > kMaxPendingOut) return Close("it does not read its commands");
      writer_->setEnabled(true);
      return;
    }
    return Close("the connection broke");
  }
  if (writer_) writer_->setEnabled(false);
}

void ProcessLink::OnReadable() {
  char buf[65536];
  while (fd_ >= 0) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return Close("the process closed the connection");
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      return Close("the connection broke");
    }
    in_.append(buf, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; fd_ >= 0 && (nl = in_.find('\n', start)) != std::string::npos; start = nl + 1) {
      size_t end = nl > start && in_[nl - 1] == '\r' ? nl - 1 : nl;
      HandleLine(in_.substr(start, end - start));
    }
    if (fd_ < 0) return;
    in_.erase(0, start);
    if (in_.size() > fe::kMaxLine) return Close("a line longer than the protocol allows");
  }
}

void ProcessLink::HandleLine(const std::string& line) {
  std::vector<std::string> f;
  if (!fe::Split(line, &f) || f.empty()) return Close("a malformed line: " + line.substr(0, 80));
  if (inRecord_) {
    if (f[0] == "end" && f.size() == 1) {
      inRecord_ = false;
      fe::Record done = std::move(pending_);
      pending_ = {};
      Apply(done);
      if (events_.record) events_.record(*this, done);
    } else {
      pending_.Add(std::move(f));
    }
    return;
  }
  if (f[0] == "begin" && f.size() == 4) {
    inRecord_ = true;
    pending_ = fe::Record{f[1], f[2], f[3], {}};
  } else if (f[0] == "hello" && f.size() >= 4) {
    program_ = f[3];
  } else if (f[0] == "sync") {
    synced_ = true;
    if (events_.synced) events_.synced(*this);
  } else if ((f[0] == "ok" || f[0] == "error") && f.size() >= 2) {
    auto it = replies_.find(f[1]);
    if (it != replies_.end()) {
      Reply done = std::move(it->second);
      replies_.erase(it);
      done(f[0] == "ok", f);
    } else if (f[0] == "error") {
      std::fprintf(stderr, "zelfront: process %d: %s\n", static_cast<int>(pid_), f.size() > 2 ? f[2].c_str() : "error");
      // Refused before hello: another protocol version, say.
      if (!synced_ && f[1] == "-") Close("it refused us");
    }
  }
  // Other lines belong to later versions of the protocol: ignored.
}

void ProcessLink::Apply(const fe::Record& r) {
  if (r.kind == "help") return;  // an event, not an object
  std::string key = r.kind + " " + r.key;
  if (r.event == "destroyed" || r.event == "deleted" || r.event == "closed") {
    records_.erase(key);
    order_.erase(std::remove(order_.begin(), order_.end(), key), order_.end());
    return;
  }
  if (!records_.count(key)) order_.push_back(key);
  records_[key] = r;
}

const fe::Record* ProcessLink::Find(const std::string& kind, const std::string& key) const {
  auto it = records_.find(kind + " " + key);
  return it == records_.end() ? nullptr : &it->second;
}

std::vector<const fe::Record*> ProcessLink::Windows() const {
  std::vector<const fe::Record*> out;
  for (const auto& key : order_) {
    auto it = records_.find(key);
    if (it != records_.end() && it->second.kind == "window") out.push_back(&it->second);
  }
  return out;
}

void ProcessLink::Close(const std::string& why) {
  if (fd_ < 0) return;
  std::fprintf(stderr, "zelfront: process %d: %s\n", static_cast<int>(pid_), why.c_str());
  reader_->setEnabled(false);
  writer_->setEnabled(false);
  ::close(fd_);
  fd_ = -1;
  auto waiting = std::move(replies_);
  replies_.clear();
  for (auto& [tag, done] : waiting) done(false, {"error", tag, "the process is gone"});
  // The owner may delete this link from its handler: not from inside ours.
  QTimer::singleShot(0, this, [this] {
    if (events_.closed) events_.closed(*this);
  });
}

}  // namespace zelfront
