#include "tools/zelfront/SessionEnd.h"

#include <cstdio>

namespace zelfront {

namespace {

struct Round {
  std::vector<QPointer<ProcessLink>> links;
  std::vector<QPointer<ProcessLink>> agreed;
  size_t next = 0;
  bool logoff = false;
  SessionEnd::Done done;
};

bool Live(const QPointer<ProcessLink>& link) { return link && !link->closed(); }

// The outcome to those that agreed: end, or go on. Their replies only
// matter to the log.
void Tell(const std::shared_ptr<Round>& round, bool ending) {
  for (const auto& link : round->agreed) {
    if (!Live(link)) continue;
    pid_t pid = link->pid();
    if (ending) {
      link->Send("endsession", {round->logoff ? "1" : "0"}, [pid](bool ok, const std::vector<std::string>& f) {
        if (!ok) std::fprintf(stderr, "zelfront: process %d: %s\n", static_cast<int>(pid), f.size() > 2 ? f[2].c_str() : "?");
      });
    } else {
      link->Send("cancelendsession", {}, [](bool, const std::vector<std::string>&) {});
    }
  }
  round->done(ending);
}

void AskNext(std::shared_ptr<Round> round) {
  while (round->next < round->links.size() && !Live(round->links[round->next])) ++round->next;
  if (round->next == round->links.size()) {
    Tell(round, true);
    return;
  }
  QPointer<ProcessLink> link = round->links[round->next++];
  pid_t pid = link->pid();
  link->Send("queryendsession", {round->logoff ? "1" : "0"},
             [round, link, pid](bool ok, const std::vector<std::string>& f) {
               if (ok && f.size() > 2 && f[2] == "0") {
                 std::fprintf(stderr, "zelfront: process %d refuses the end of the session\n", static_cast<int>(pid));
                 Tell(round, false);
                 return;
               }
               if (ok) {
                 round->agreed.push_back(link);
               } else {
                 std::fprintf(stderr, "zelfront: process %d: %s\n", static_cast<int>(pid),
                              f.size() > 2 ? f[2].c_str() : "?");
               }
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
