#include "tools/zelfront/SessionEnd.h"

#include <cstdio>

namespace zelfront {

namespace {

struct Round {
  std::vector<QPointer<ProcessLink>> links;
  size_t next = 0;
  bool logoff = false;
  SessionEnd::Done done;
};

void AskNext(std::shared_ptr<Round> round) {
  while (round->next < round->links.size() && (!round->links[round->next] || round->links[round->next]->closed()))
    ++round->next;
  if (round->next == round->links.size()) {
    round->done(true);
    return;
  }
  ProcessLink* link = round->links[round->next++];
  pid_t pid = link->pid();
  link->Send("endsession", {round->logoff ? "1" : "0"}, [round, pid](bool ok, const std::vector<std::string>& f) {
    if (ok && f.size() > 2 && f[2] == "0") {
      std::fprintf(stderr, "zelfront: process %d refuses the end of the session\n", static_cast<int>(pid));
      round->done(false);
      return;
    }
    if (!ok) std::fprintf(stderr, "zelfront: process %d: %s\n", static_cast<int>(pid), f.size() > 2 ? f[2].c_str() : "?");
    AskNext(round);
  });
}

}  // namespace

void SessionEnd::Ask(std::vector<QPointer<ProcessLink>> links, bool logoff, Done done) {
  auto round = std::make_shared<Round>();
  round->links = std::move(links);
  round->logoff = logoff;
  round->done = std::move(done);
  AskNext(round);
}

}  // namespace zelfront
