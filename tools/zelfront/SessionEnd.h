// The end of the desktop session, asked of every attached process the way
// the platform asks its windows: `endsession TAG LOGOFF`, answered
// `ok TAG 1` (agreed, the process then ends) or `ok TAG 0` (refused). The
// processes are asked one after another and the first refusal stops the
// round, so a later process is not ended for a session that goes on. A
// process that does not know the command, or goes away, agrees.
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
