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
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/WinTypes.h"
#include "protocol/ZelWire.h"
#include "server/dispatch/ServerClass.h"

namespace vantrel::server {

// Object-type codes of CreateObject beyond the MAPI object types.
inline constexpr std::int32_t kMapiTable = 256;
inline constexpr std::int32_t kMapiStream = 257;
inline constexpr std::int32_t kMapiStreamDocfile = 258;
inline constexpr std::int32_t kMapiStorage = 259;

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

// One advise record of the notification path (filled in by that path).
struct AdviseRecord {
  virtual ~AdviseRecord() = default;
};

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

  void SetObjectFactory(ObjectFactory factory);
  std::uint64_t Now() const { return clock_(); }

  // Returns the new handle (1, 2, 3 ... never reused), or -1.
  std::int32_t Register(const std::shared_ptr<CServerClass>& object, std::int32_t owner,
                        const std::shared_ptr<CServerClass>& parent);
  // Wanted kind -1 skips the kind test. Writes the "*** FATAL ****" log
  // lines for a missing or unsuitable object.
  std::shared_ptr<CServerClass> Lookup(std::int32_t handle, std::int32_t wanted_kind);
  // `take_lock` false only from code that already holds the registry lock.
  void Free(std::int32_t handle, bool take_lock = true);
  // Returns the new handle, or 0 when the type makes nothing.
  std::int32_t CreateObject(std::int32_t object_type, const std::shared_ptr<CServerClass>& store,
                            const std::shared_ptr<CServerClass>& parent, IUnknown* mapi_object, std::int32_t owner,
                            const char* description, std::shared_ptr<CServerClass>* created = nullptr);
  void Describe(CServerClass& object, DescribeSource& source);
  // 0 and the handle of the first object whose entry ID text matches, else
  // MAPI_E_NOT_FOUND.
  HRESULT FindByEntryID(std::span<const std::uint8_t> entry_id, std::int32_t* handle);

  void EndSession(std::int32_t session);
  // Ends at most one session idle for more than 20 minutes.
  void SweepIdleSessions();
  void EndAllSessions();

  std::vector<std::pair<std::int32_t, std::shared_ptr<CServerClass>>> Objects();
  bool Changed() const { return changed_.load(); }
  void ClearChanged() { changed_.store(false); }

  // Result blocks: the first 512 bytes go inline; the rest waits here.
  std::int32_t MakeResultBlock(std::vector<std::uint8_t> data, zel::wire::Inline::Value& inline_area, std::int32_t& cb);
  // Up to `maximum` bytes into `out`; -1 for a handle without a live entry.
  std::int32_t ReadBlock(std::int32_t handle, std::uint32_t maximum, std::vector<std::uint8_t>& out);
  std::int32_t BlockSize(std::int32_t handle);
  std::int32_t FreeBlock(std::int32_t handle);

  // Stamps the last activity of a session (GetNotifyQuere).
  void Touch(CServerClass& session);

 private:
  struct Block {
    std::int32_t size = 0;
    std::int32_t position = 0;
    std::vector<std::uint8_t> data;
  };
  using Victims = std::vector<std::shared_ptr<CServerClass>>;

  std::int32_t RegisterLocked(const std::shared_ptr<CServerClass>& object, std::int32_t owner,
                              const std::shared_ptr<CServerClass>& parent);
  void FreeLocked(std::int32_t handle, Victims& victims);
  void EndSessionLocked(std::int32_t session, Victims& victims);
  void FreeBlockLocked(std::int32_t handle);
  static void DestroyAll(Victims& victims);

  // The registry lock, and the flag that says it is held.
  class Guard {
   public:
    explicit Guard(CServerClasses& r) : r_(r), l_(r.lock_) { r_.locked_.store(true); }
    ~Guard() { r_.locked_.store(false); }

   private:
    CServerClasses& r_;
    std::unique_lock<std::mutex> l_;
  };

  std::atomic<bool> changed_{false};
  std::map<std::int32_t, std::shared_ptr<CServerClass>> objects_;  // guarded by lock_
  std::vector<std::unique_ptr<Block>> buffers_;                    // guarded by lock_
  std::deque<std::int32_t> free_buffers_;                          // guarded by lock_
  std::vector<std::unique_ptr<AdviseRecord>> advise_records_;      // guarded by lock_
  std::mutex lock_;
  std::int32_t last_handle_ = 0;  // guarded by lock_
  std::atomic<bool> locked_{false};
  Clock clock_;
  ObjectFactory factory_;  // guarded by lock_
};

}  // namespace vantrel::server
