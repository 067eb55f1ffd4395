// CServerClasses: the process-wide registry that names server objects by
// handle, checks their kind, ends sessions, and holds the pending result
// blocks of large answers.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/base/WinTypes.h"
#include "protocol/ZelWire.h"
#include "server/dispatch/CallContext.h"
#include "server/dispatch/ServerClass.h"

namespace vantrel::server {

// Object-type codes of CreateObject beyond the MAPI object types.
inline constexpr std::int32_t kMapiTable = 256;
inline constexpr std::int32_t kMapiStream = 257;
inline constexpr std::int32_t kMapiStreamDocfile = 258;
inline constexpr std::int32_t kMapiStorage = 259;

// The one table of the object types CreateObject makes: the type code (the
// MAPI object types MAPI_STORE 1, MAPI_FOLDER 3, MAPI_MESSAGE 5 and
// MAPI_ATTACH 7, then the codes above) and the server object class that
// serves it. The registry makes nothing for any other type; server/objects
// expands the classes into its factory.
#define ZEL_CREATABLE_OBJECT_TYPES(X) \
  X(1, CServerIMsgStore)              \
  X(3, CServerIMAPIFolder)            \
  X(5, CServerIMessage)               \
  X(7, CServerIMAPIProp)              \
  X(kMapiTable, CServerIMapiTable)    \
  X(kMapiStream, CServerIStream)      \
  X(kMapiStorage, CServerIStorage)

constexpr bool IsCreatableObjectType(std::int32_t object_type) {
#define ZEL_CREATABLE_CASE(type, cls) \
  if (object_type == (type)) return true;
  ZEL_CREATABLE_OBJECT_TYPES(ZEL_CREATABLE_CASE)
#undef ZEL_CREATABLE_CASE
  return false;
}

inline constexpr std::uint64_t kSessionIdleMs = 1200000;
inline constexpr std::uint32_t kReadBufferMax = 32768;

// What Describe reads from the MAPI object; the object classes adapt their
// IMAPIProp to it. Either read may throw.
class DescribeSource {
 public:
  virtual ~DescribeSource() = default;
  virtual std::optional<std::string> ReadText(ULONG tag) = 0;
  virtual std::optional<std::vector<std::uint8_t>> ReadBinary(ULONG tag) = 0;
};

// The caps on what one client can make the server hold.
struct RegistryLimits {
  std::uint64_t pending_bytes_per_session = 64u << 20;  // bytes of unread result blocks
  std::int32_t objects_per_session = 100000;            // objects registered under one session
  std::int32_t sessions_per_association = 64;           // live sessions one connection made
};

// Ownership: a session belongs to the association whose call registered it,
// an object to the session that owns it (or, without one, to the
// association that registered it), a result block to the session of the
// object that made it (or, without one, to its association). A handle of
// another association answers as a handle that names nothing, and the
// registry logs each offending association once. When an association
// closes, its sessions become orphans; the first association from the same
// peer address that names one of an orphan's handles takes the session
// over, with its objects and blocks. The caller is CurrentCall().
class CServerClasses {
 public:
  // Milliseconds since system start.
  using Clock = std::function<std::uint64_t()>;
  // Makes the object class for a CreateObject object type, or nullptr.
  using ObjectFactory = std::function<std::shared_ptr<CServerClass>(std::int32_t object_type)>;

  explicit CServerClasses(Clock clock = {});
  ~CServerClasses();
  CServerClasses(const CServerClasses&) = delete;
  CServerClasses& operator=(const CServerClasses&) = delete;

  void SetObjectFactory(ObjectFactory factory) EXCLUDES(lock_);
  void SetLimits(const RegistryLimits& limits) EXCLUDES(lock_);
  std::uint64_t Now() const { return clock_(); }

  // Returns the new handle (1, 2, 3 ... never reused), or -1: no object, a
  // session beyond the caller's cap, an object beyond its session's cap, or
  // an object whose parent session has already ended.
  std::int32_t Register(const std::shared_ptr<CServerClass>& object, std::int32_t owner,
                        const std::shared_ptr<CServerClass>& parent) EXCLUDES(lock_);
  // Wanted kind -1 skips the kind test. Writes the "*** FATAL ****" log
  // lines for a missing or unsuitable object; an object the caller does not
  // own is missing.
  std::shared_ptr<CServerClass> Lookup(std::int32_t handle, std::int32_t wanted_kind) EXCLUDES(lock_);
  // The kind test of Lookup on what a Lookup without kind test found for
  // `handle` (nullptr when nothing), with its log lines.
  static std::shared_ptr<CServerClass> OfKind(std::int32_t handle, std::shared_ptr<CServerClass> object,
                                              std::int32_t wanted_kind);
  // Frees the caller's object `handle`; anything else is left alone.
  void Free(std::int32_t handle) EXCLUDES(lock_);
  // Returns the new handle, or 0 when the type makes nothing or the object
  // cannot be registered.
  std::int32_t CreateObject(std::int32_t object_type, const std::shared_ptr<CServerClass>& store,
                            const std::shared_ptr<CServerClass>& parent, IUnknown* mapi_object, std::int32_t owner,
                            const char* description, std::shared_ptr<CServerClass>* created = nullptr)
      EXCLUDES(lock_);
  void Describe(CServerClass& object, DescribeSource& source);
  // 0 and the handle of the first of the caller's objects whose entry ID
  // text matches, else MAPI_E_NOT_FOUND.
  HRESULT FindByEntryID(std::span<const std::uint8_t> entry_id, std::int32_t* handle) EXCLUDES(lock_);
  // Whether `session` names a session the caller may use (taking an orphan
  // over as Lookup does); no log lines.
  bool OwnSession(std::int32_t session) EXCLUDES(lock_);

  // Ends a session: it, its objects and its result blocks go.
  void EndSession(std::int32_t session) EXCLUDES(lock_);
  // Ends at most one session idle for more than 20 minutes.
  void SweepIdleSessions() EXCLUDES(lock_);
  void EndAllSessions() EXCLUDES(lock_);
  // The RPC runtime reports a closed association: its sessions become
  // orphans, and what can no longer be reached goes.
  void AssociationClosed(std::uint64_t association) EXCLUDES(lock_);

  std::vector<std::pair<std::int32_t, std::shared_ptr<CServerClass>>> Objects() EXCLUDES(lock_);
  bool Changed() const { return changed_.load(); }
  void ClearChanged() { changed_.store(false); }

  // Result blocks: the first 512 bytes go inline; the rest waits here under
  // `session` (-1: under the caller's association alone). Returns the
  // buffer handle, or -1 when everything fit inline. A block that would take
  // the session's pending bytes over its cap is refused: -1, cb 0, and the
  // call is marked refused. `data` is moved from only when it becomes a
  // block: a caller may keep a buffer for the answers that fit inline.
  std::int32_t MakeResultBlock(std::int32_t session, std::vector<std::uint8_t>&& data,
                               zel::wire::Inline::Value& inline_area, std::int32_t& cb) EXCLUDES(lock_);
  std::int32_t MakeResultBlock(std::vector<std::uint8_t>&& data, zel::wire::Inline::Value& inline_area,
                               std::int32_t& cb) EXCLUDES(lock_) {
    return MakeResultBlock(-1, std::move(data), inline_area, cb);
  }
  // Up to `maximum` bytes into `out`; -1 for a handle without a live entry
  // of the caller.
  std::int32_t ReadBlock(std::int32_t handle, std::uint32_t maximum, std::vector<std::uint8_t>& out) EXCLUDES(lock_) {
    out.clear();
    return AppendBlock(handle, maximum, out);
  }
  // The same, appended to `out` (a reply's stub data, encoded in place).
  std::int32_t AppendBlock(std::int32_t handle, std::uint32_t maximum, std::vector<std::uint8_t>& out)
      EXCLUDES(lock_);
  std::int32_t BlockSize(std::int32_t handle) EXCLUDES(lock_);
  std::int32_t FreeBlock(std::int32_t handle) EXCLUDES(lock_);
  // Pending bytes of a session's result blocks (for the status list and tests).
  std::uint64_t PendingBytes(std::int32_t session) EXCLUDES(lock_);

  // Stamps the last activity of a session (GetNotifyQuere).
  void Touch(CServerClass& session) EXCLUDES(lock_);

  // The advise records of every store and table advise; their sinks queue
  // notifications on the sessions named in them.
  zel::CAdviseList& Advises() { return advises_; }
  // GetNotifyQuere: the session's queued notifications as one result block.
  // Takes the registry lock itself.
  HRESULT ReadQueue(CServerClass& session, zel::GetNotifyQuere::Reply& out) EXCLUDES(lock_);

 private:
  struct Entry {
    std::shared_ptr<CServerClass> object;
    std::uint64_t association = 0;  // the association whose call registered it
  };
  // What a session owns and who may use it. Outlives the session object
  // while objects or blocks of it remain (FreeHObject on a session leaves
  // its objects registered).
  struct SessionState {
    std::uint64_t association = 0;
    std::string peer;
    bool orphan = false;        // its association closed
    bool alive = true;          // the session object is registered
    std::int32_t objects = 0;   // objects registered under it
    std::int32_t blocks = 0;    // pending result blocks
    std::uint64_t pending = 0;  // their bytes
  };
  struct Block {
    std::int32_t size = 0;
    std::int32_t position = 0;
    std::int32_t session = -1;
    std::uint64_t association = 0;
    std::vector<std::uint8_t> data;
  };
  using Victims = std::vector<std::shared_ptr<CServerClass>>;

  std::int32_t RegisterLocked(const std::shared_ptr<CServerClass>& object, std::int32_t owner,
                              const std::shared_ptr<CServerClass>& parent) REQUIRES(lock_);
  // Whether the caller may use the session (taking an orphan over).
  bool MaySession(std::int32_t session, SessionState& state, bool* offended) REQUIRES(lock_);
  bool MayObject(const Entry& entry, bool* offended) REQUIRES(lock_);
  Block* CallerBlock(std::int32_t handle, bool* offended) REQUIRES(lock_);
  void FreeLocked(std::int32_t handle, Victims& victims) REQUIRES(lock_);
  void EndSessionLocked(std::int32_t session, Victims& victims) REQUIRES(lock_);
  void FreeBlockLocked(std::int32_t handle) REQUIRES(lock_);
  // Drops a session's state once nothing of it remains.
  void ForgetIfEmpty(std::int32_t session) REQUIRES(lock_);
  // The one log line per offending association.
  void Offended(bool offended) EXCLUDES(lock_);
  static void DestroyAll(Victims& victims);

  std::atomic<bool> changed_{false};
  Mutex lock_;  // the registry lock: after an object's lock, before a session queue's lock
  std::map<std::int32_t, Entry> objects_ GUARDED_BY(lock_);
  std::map<std::int32_t, SessionState> sessions_ GUARDED_BY(lock_);
  std::vector<std::unique_ptr<Block>> buffers_ GUARDED_BY(lock_);
  std::deque<std::int32_t> free_buffers_ GUARDED_BY(lock_);
  std::set<std::uint64_t> offenders_ GUARDED_BY(lock_);  // associations already logged
  RegistryLimits limits_ GUARDED_BY(lock_);
  zel::CAdviseList advises_;  // its records are guarded by lock_
  std::int32_t last_handle_ GUARDED_BY(lock_) = 0;
  Clock clock_;
  ObjectFactory factory_ GUARDED_BY(lock_);
};

}  // namespace vantrel::server
