// One attached process: a non-blocking connection over the front-end
// protocol (platform/win/FrontEndProtocol.md), the records it sent, and
// commands whose replies are handled when they arrive. Lives on the GUI
// thread; nothing here ever waits for the process.
#pragma once

#include <sys/types.h>

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/win/FrontEndProtocol.h"

namespace zelfront {

namespace fe = vantrel::win::fe;

class ProcessLink : public QObject {
 public:
  struct Events {
    std::function<void(ProcessLink&, const fe::Record&)> record;  // after it was applied
    std::function<void(ProcessLink&)> synced;                     // the first state is complete
    std::function<void(ProcessLink&)> closed;                     // the connection ended
  };
  // `ok` and the reply's fields ("ok TAG ..." or "error TAG MESSAGE").
  using Reply = std::function<void(bool ok, const std::vector<std::string>& fields)>;

  // Takes `fd`, a connected "frontend" channel of `pid`, and says hello.
  ProcessLink(pid_t pid, int fd, Events events);
  ~ProcessLink() override;

  // Sends `name TAG args...`; `done` runs when the reply comes (or with
  // ok false when the connection ends first).
  void Send(const std::string& name, std::vector<std::string> args, Reply done = {});

  pid_t pid() const { return pid_; }
  const std::string& program() const { return program_; }
  bool synced() const { return synced_; }
  bool closed() const { return fd_ < 0; }

  // Records by "kind key" ("window 0x10002", "tray 0x10002:1").
  const std::map<std::string, fe::Record>& records() const { return records_; }
  const fe::Record* Find(const std::string& kind, const std::string& key) const;
  // Windows in the order the process first reported them.
  std::vector<const fe::Record*> Windows() const;

 private:
  void OnReadable();
  void Flush();
  void HandleLine(const std::string& line);
  void Apply(const fe::Record& r);
  void Close(const std::string& why);

  const pid_t pid_;
  int fd_;
  Events events_;
  QSocketNotifier* reader_ = nullptr;
  QSocketNotifier* writer_ = nullptr;
  std::string in_, out_;
  bool inRecord_ = false;
  fe::Record pending_;
  std::string program_;
  bool synced_ = false;
  std::map<std::string, fe::Record> records_;
  std::vector<std::string> order_;
  std::map<std::string, Reply> replies_;
  int nextTag_ = 1;
};

}  // namespace zelfront
