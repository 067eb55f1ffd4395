// The front-end side of the protocol (FrontEndProtocol.md): attach to a
// process, keep its records, send commands and wait for their replies.
// zelwin is a thin main over it; a graphical front end can use it too.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "platform/win/FrontEndProtocol.h"

namespace vantrel::win {

class FrontEndClient {
 public:
  FrontEndClient() = default;
  ~FrontEndClient();
  FrontEndClient(const FrontEndClient&) = delete;
  FrontEndClient& operator=(const FrontEndClient&) = delete;

  // Connects to `pid`, says hello and reads its state up to "sync".
  bool Attach(pid_t pid, int timeoutMs, std::string* error);

  // Says goodbye and closes the connection (also done by the destructor).
  void Detach();

  // Sends a command (the fields after its name and tag) and waits for its
  // reply, applying the records that arrive meanwhile. False with the
  // process's message on an error reply or a broken connection.
  // `reply`, when given, receives the reply's fields after the tag.
  bool Command(const std::string& name, const std::vector<std::string>& args, int timeoutMs, std::string* error,
               std::vector<std::string>* reply = nullptr);

  // The two halves of Command, for a command whose reply comes later
  // (endsession) while other commands go and come: Send returns the tag
  // ("" when the connection is closed); WaitReply waits for that tag's
  // reply, applying records and keeping other commands' replies.
  std::string Send(const std::string& name, const std::vector<std::string>& args);
  bool WaitReply(const std::string& tag, int timeoutMs, std::string* error, std::vector<std::string>* reply = nullptr);

  // Reads records until `done` says stop or the time runs out.
  template <typename Done>
  bool WaitFor(Done done, int timeoutMs);

  const std::string& program() const { return program_; }
  pid_t pid() const { return pid_; }
  // The current records, by "kind key" ("window 0x10002", "tray 0x10002:1").
  const std::map<std::string, fe::Record>& records() const { return records_; }
  // The windows in the order the process first reported them.
  std::vector<const fe::Record*> Windows() const;

 private:
  int ReadOne(int timeoutMs, std::vector<std::string>* nonRecord);
  void Apply(const fe::Record& r);

  int fd_ = -1;
  pid_t pid_ = 0;
  std::string program_;
  fe::LineReader* in_ = nullptr;
  std::map<std::string, fe::Record> records_;
  std::vector<std::string> order_;
  // Replies read while waiting for another one, by tag ("-": an error
  // that names no command).
  std::map<std::string, std::vector<std::string>> replies_;
  int nextTag_ = 1;
};

template <typename Done>
bool FrontEndClient::WaitFor(Done done, int timeoutMs) {
  std::vector<std::string> other;
  while (!done(*this)) {
    if (ReadOne(timeoutMs, &other) != 1) return false;
  }
  return true;
}

}  // namespace vantrel::win
