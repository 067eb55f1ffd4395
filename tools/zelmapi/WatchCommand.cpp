// watch: advises on the store and prints what happens to messages until
// interrupted.
#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <thread>

#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/win/WinUser.h"
#include "tools/zelmapi/Commands.h"
#include "tools/zelmapi/Mailbox.h"
#include "tools/zelmapi/Text.h"

using vantrel::ComPtr;

namespace zelmapi {
namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Event {
  const char* kind;
  std::string id, parent, old_parent;
};

// Notifications arrive on whatever thread the provider uses; the main
// loop takes them from here and does the MAPI work itself.
class EventQueue {
 public:
  void Push(Event e) {
    vantrel::MutexLock lock(mu_);
    events_.push_back(std::move(e));
  }
  std::deque<Event> TakeAll() {
    vantrel::MutexLock lock(mu_);
    return std::exchange(events_, {});
  }

 private:
  vantrel::Mutex mu_;
  std::deque<Event> events_ GUARDED_BY(mu_);
};

std::string Bytes(const void* p, ULONG cb) { return p ? std::string(static_cast<const char*>(p), cb) : ""; }

std::string Subject(Mailbox& box, const std::string& id) {
  ULONG type = 0;
  ComPtr<IUnknown> obj;
  if (FAILED(box.store()->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(id.data())),
                                     nullptr, MAPI_BEST_ACCESS, &type, obj.Out())) ||
      type != MAPI_MESSAGE)
    return "";
  LPSPropValue v = nullptr;
  std::string s;
  if (SUCCEEDED(HrGetOneProp(static_cast<IMessage*>(obj.get()), PR_SUBJECT, &v)) && PROP_TYPE(v->ulPropTag) == PT_STRING8)
    s = FromCp1252(v->Value.lpszA);
  MAPIFreeBuffer(v);
  return s;
}

}  // namespace

int WatchCommand(const Options& o) {
  ArgList args({o.args.begin() + 1, o.args.end()});
  if (args.Flag("--help")) {
    std::printf("usage: zelmapi watch [FOLDER]\n"
                "  Prints new, changed, moved and deleted messages (of FOLDER, else of the store) until Ctrl-C.\n");
    return 0;
  }
  std::vector<std::string> w = args.Words();
  if (w.size() > 1) throw UsageError("usage: zelmapi watch [FOLDER]");
  Mailbox box(o);
  box.OpenStore();
  std::string folder = w.empty() ? "" : box.FolderEntryId(w[0]);

  EventQueue queue;
  LPMAPIADVISESINK sink = nullptr;
  Check(HrAllocAdviseSink(
            [&queue](ULONG count, LPNOTIFICATION n) -> ULONG {
              for (ULONG i = 0; i < count; ++i) {
                const char* kind = nullptr;
                switch (n[i].ulEventType) {
                  case fnevObjectCreated: kind = "new"; break;
                  case fnevObjectModified: kind = "changed"; break;
                  case fnevObjectMoved: kind = "moved"; break;
                  case fnevObjectDeleted: kind = "deleted"; break;
                  default: break;
                }
                const OBJECT_NOTIFICATION& obj = n[i].info.obj;
                if (!kind || obj.ulObjType != MAPI_MESSAGE) continue;
                queue.Push({kind, Bytes(obj.lpEntryID, obj.cbEntryID), Bytes(obj.lpParentID, obj.cbParentID),
                            Bytes(obj.lpOldParentID, obj.cbOldParentID)});
              }
              return 0;
            },
            &sink),
        "cannot make an advise sink");
  ULONG connection = 0;
  HRESULT hr = box.store()->Advise(0, nullptr,
                                   fnevObjectCreated | fnevObjectModified | fnevObjectMoved | fnevObjectDeleted, sink,
                                   &connection);
  sink->Release();
  Check(hr, "store '" + box.store_name() + "' does not report changes");

  struct sigaction sa = {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // Also with -o json: it goes to standard error, and says the watch has begun.
  std::fprintf(stderr, "watching %s; Ctrl-C ends\n", w.empty() ? box.store_name().c_str() : w[0].c_str());
  while (!g_stop) {
    // The provider's notifications may come through this thread's queue.
    MSG msg;
    while (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
    for (const Event& e : queue.TakeAll()) {
      if (!folder.empty() && e.parent != folder && e.old_parent != folder) continue;
      std::string hex = Hex(reinterpret_cast<const unsigned char*>(e.id.data()), e.id.size());
      std::string subject = std::string(e.kind) == "deleted" ? "" : Subject(box, e.id);
      if (o.json)
        std::printf("{\"event\":\"%s\",\"entryid\":\"%s\",\"subject\":%s}\n", e.kind, hex.c_str(), Json(subject).c_str());
      else
        std::printf("%-8s %s  %s\n", e.kind, subject.c_str(), hex.c_str());
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  box.store()->Unadvise(connection);
  return 0;
}

}  // namespace zelmapi
