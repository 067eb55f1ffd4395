// The platform's notification thread: one per process, delivering advise
// sink notifications away from the threads that raise them.
#pragma once

#include <vector>

#include "platform/mapi/MapiInterfaces.h"

namespace vantrel::mapi {

// Delivers notifications on one platform thread: in order per sink, never
// on the poster's thread and never under the poster's locks.
class NotificationThread {
 public:
  static NotificationThread& Instance();
  // Copies the batch (with everything it points to) and queues it.
  void Post(IMAPIAdviseSink* sink, const std::vector<NOTIFICATION>& batch);
  // Returns once everything posted before the call has been delivered.
  void Flush();
};

// Deep copy of a batch of notifications into one MAPI block.
SCODE CopyNotifications(ULONG count, const NOTIFICATION* src, LPNOTIFICATION* out);

}  // namespace vantrel::mapi
