#include "platform/win/FrontEndClient.h"

#include <unistd.h>

#include <algorithm>

#include "platform/win/WindowPlatform.h"

namespace vantrel::win {

FrontEndClient::~FrontEndClient() { Detach(); }

void FrontEndClient::Detach() {
  if (fd_ >= 0) {
    fe::WriteAll(fd_, "bye\n");
    ::close(fd_);
    fd_ = -1;
  }
  delete in_;
  in_ = nullptr;
}

bool FrontEndClient::Attach(pid_t pid, int timeoutMs, std::string* error) {
  fd_ = ConnectChannel(pid, "frontend", timeoutMs);
  if (fd_ < 0) {
    *error = "cannot attach to process " + std::to_string(pid);
    return false;
  }
  pid_ = pid;
  in_ = new fe::LineReader(fd_);
  if (!fe::WriteAll(fd_, fe::Join({"hello", std::to_string(fe::kVersion)}) + "\n")) {
    *error = "process " + std::to_string(pid) + " closed the connection";
    return false;
  }
  std::string line;
  std::vector<std::string> f;
  if (in_->Next(&line, timeoutMs) != 1 || !fe::Split(line, &f) || f.empty()) {
    *error = "process " + std::to_string(pid) + " did not answer";
    return false;
  }
  if (f[0] != "hello" || f.size() < 4) {
    *error = f.size() >= 3 && f[0] == "error" ? f[2] : "unexpected answer: " + line;
    return false;
  }
  program_ = f[3];
  std::vector<std::string> other;
  while (true) {
    int r = ReadOne(timeoutMs, &other);
    if (r != 1) {
      *error = "process " + std::to_string(pid) + " broke off its state";
      return false;
    }
    if (!other.empty() && other[0] == "sync") return true;
  }
}

void FrontEndClient::Apply(const fe::Record& r) {
  std::string key = r.kind + " " + r.key;
  bool gone = r.event == "destroyed" || r.event == "deleted" || r.event == "closed";
  if (gone) {
    records_.erase(key);
    order_.erase(std::remove(order_.begin(), order_.end(), key), order_.end());
    return;
  }
  if (!records_.count(key)) order_.push_back(key);
  records_[key] = r;
}

// 1: read a line (a record is applied; any other line is left in
// `nonRecord`, empty after a record); 0 closed; -1 error or timeout.
int FrontEndClient::ReadOne(int timeoutMs, std::vector<std::string>* nonRecord) {
  nonRecord->clear();
  std::string line;
  int r = in_->Next(&line, timeoutMs);
  if (r != 1) return r;
  std::vector<std::string> f;
  if (!fe::Split(line, &f) || f.empty()) return -1;
  if (f[0] == "begin") {
    fe::Record rec;
    int rr = fe::ReadRecord(*in_, f, &rec, timeoutMs);
    if (rr != 1) return rr;
    Apply(rec);
    return 1;
  }
  // A reply is kept for whoever waits for it (WaitFor may read it first).
  if (f.size() >= 2 && (f[0] == "ok" || f[0] == "error")) replies_[f[1]] = f;
  *nonRecord = std::move(f);
  return 1;
}

bool FrontEndClient::Command(const std::string& name, const std::vector<std::string>& args, int timeoutMs,
                             std::string* error, std::vector<std::string>* reply) {
  std::string tag = Send(name, args);
  if (tag.empty()) {
    *error = "the connection is closed";
    return false;
  }
  return WaitReply(tag, timeoutMs, error, reply);
}

std::string FrontEndClient::Send(const std::string& name, const std::vector<std::string>& args) {
  std::string tag = std::to_string(nextTag_++);
  std::vector<std::string> fields{name, tag};
  fields.insert(fields.end(), args.begin(), args.end());
  if (fd_ < 0 || !fe::WriteAll(fd_, fe::Join(fields) + "\n")) return {};
  return tag;
}

bool FrontEndClient::WaitReply(const std::string& tag, int timeoutMs, std::string* error,
                               std::vector<std::string>* reply) {
  std::vector<std::string> other;
  while (true) {
    for (const std::string& t : {tag, std::string("-")}) {
      auto it = replies_.find(t);
      if (it == replies_.end()) continue;
      std::vector<std::string> f = std::move(it->second);
      replies_.erase(it);
      if (f[0] == "ok") {
        if (reply) reply->assign(f.begin() + 2, f.end());
        return true;
      }
      *error = f.size() >= 3 ? f[2] : "error";
      return false;
    }
    int r = ReadOne(timeoutMs, &other);
    if (r != 1) {
      *error = r == 0 ? "the process closed the connection" : "no answer from the process";
      return false;
    }
  }
}

std::vector<const fe::Record*> FrontEndClient::Windows() const {
  std::vector<const fe::Record*> out;
  for (const auto& key : order_) {
    auto it = records_.find(key);
    if (it != records_.end() && it->second.kind == "window") out.push_back(&it->second);
  }
  return out;
}

}  // namespace vantrel::win
