// The end of the desktop session, asked of every attached process the way
// the platform asks its windows, in two rounds. First each process is asked
// with `queryendsession TAG LOGOFF` (`ok TAG 1` agreed, `ok TAG 0`
// refused), one after another; the first refusal stops the round and the
// processes that agreed are told the session goes on (`cancelendsession`).
// Only when all agreed is each told to end (`endsession`), so no process
// ends for a session that goes on. A process that does not know the
// command, or goes away, agrees.
#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

#include "tools/zelfront/ProcessLink.h"

namespace zelfront {

class SessionEnd {
 public:
  using Done = std::function<void(bool agreed)>;
  // `done` runs on the GUI thread once the round is over.
  static void Ask(std::vector<QPointer<ProcessLink>> links, bool logoff, Done done);
};

}  // namespace zelfront
