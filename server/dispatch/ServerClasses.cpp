#include "server/dispatch/ServerClasses.h"

#include <algorithm>
#include <cstring>

#include "platform/base/SystemInfo.h"
#include "server/dispatch/ServerTrace.h"

namespace vantrel::server {

const char* KindTypeName(std::int32_t kind) {
  static const char* const kNames[] = {"ZELLOGON", "IMsgStore",    "IMapiProp",    "IMapiContainer",
                                       "IMessage", "IStream",      "IMAPIFolder",  "IMAPITable",
                                       "IStorage", "IEnumSTATSTG", "IZELDirectory"};
  return kind >= 0 && kind <= kIZELDirectory ? kNames[kind] : "";
}

bool KindDerivesFrom(std::int32_t kind, std::int32_t wanted) {
  if (kind == wanted) return true;
  if (wanted == kIMapiProp)
    return kind == kIMsgStore || kind == kIMapiContainer || kind == kIMessage || kind == kIMAPIFolder;
  if (wanted == kIMapiContainer) return kind == kIMAPIFolder;
  return false;
}

namespace {

std::string HexUpper(std::span<const std::uint8_t> bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (auto b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

constexpr ULONG kPrSubject = 0x0037001E;
constexpr ULONG kPrDisplayName = 0x3001001E;
constexpr ULONG kPrEntryId = 0x0FFF0102;

}  // namespace

CServerClasses::CServerClasses(Clock clock)
    : advises_(lock_,
               [this](std::int32_t session) -> zel::CNotifyQueue* {
                 // Called by the sinks with lock_ held.
                 auto it = objects_.find(session);
                 return it == objects_.end() ? nullptr : it->second->NotifyQueue();
               }),
      clock_(clock ? std::move(clock) : Clock([] { return GetTickCount64(); })) {}

CServerClasses::~CServerClasses() = default;

void CServerClasses::SetObjectFactory(ObjectFactory factory) {
  Guard g(*this);
  factory_ = std::move(factory);
}

std::int32_t CServerClasses::RegisterLocked(const std::shared_ptr<CServerClass>& object, std::int32_t owner,
                                            const std::shared_ptr<CServerClass>& parent) {
  changed_.store(true);
  object->owner.store(owner);
  std::int32_t h = ++last_handle_;
  if (!objects_.emplace(h, object).second) return -1;
  object->handle.store(h);
  object->parent = parent;
  object->registry = this;
  object->last_activity.store(clock_());
  return h;
}

std::int32_t CServerClasses::Register(const std::shared_ptr<CServerClass>& object, std::int32_t owner,
                                      const std::shared_ptr<CServerClass>& parent) {
  if (!object) return -1;
  Guard g(*this);
  return RegisterLocked(object, owner, parent);
}

std::shared_ptr<CServerClass> CServerClasses::Lookup(std::int32_t handle, std::int32_t wanted_kind) {
  if (handle < 0) return nullptr;
  std::shared_ptr<CServerClass> object;
  {
    Guard g(*this);
    auto it = objects_.find(handle);
    if (it != objects_.end()) object = it->second;
  }
  if (!object) {
    ServerLog("*** FATAL **** Class Deleted Number=%d Type %s\n", handle, KindTypeName(wanted_kind));
    return nullptr;
  }
  if (wanted_kind == kAnyKind || KindDerivesFrom(object->kind, wanted_kind) ||
      KindDerivesFrom(wanted_kind, object->kind))
    return object;
  ServerLog("*** FATAL **** Wrong Class %d Type found: %s wanted %s\n", handle, KindTypeName(object->kind),
            KindTypeName(wanted_kind));
  return nullptr;
}

void CServerClasses::FreeLocked(std::int32_t handle, Victims& victims) {
  changed_.store(true);
  auto it = objects_.find(handle);
  if (it == objects_.end()) return;
  auto object = std::move(it->second);
  objects_.erase(it);
  // Directory objects are only forgotten, never destroyed.
  if (object->kind >= kZelLogon && object->kind <= kIEnumSTATSTG) victims.push_back(std::move(object));
}

void CServerClasses::DestroyAll(Victims& victims) {
  for (auto& v : victims) {
    try {
      v->Destroy();
    } catch (...) {
    }
  }
  victims.clear();
}

void CServerClasses::Free(std::int32_t handle, bool take_lock) {
  Victims victims;
  if (take_lock) {
    Guard g(*this);
    FreeLocked(handle, victims);
  } else {
    FreeLocked(handle, victims);
  }
  // Destroyed outside the registry lock: an object's own lock comes first
  // in the lock order, and Destroy may take it.
  DestroyAll(victims);
}

std::int32_t CServerClasses::CreateObject(std::int32_t object_type, const std::shared_ptr<CServerClass>& store,
                                          const std::shared_ptr<CServerClass>& parent, IUnknown* mapi_object,
                                          std::int32_t owner, const char* description,
                                          std::shared_ptr<CServerClass>* created) {
  // 1: the message store of a logon session, which registers it under the
  // session.
  static const std::int32_t kCreatable[] = {1, 3, 5, 7, kMapiTable, kMapiStream, kMapiStorage};
  std::shared_ptr<CServerClass> object;
  std::int32_t h = 0;
  {
    Guard g(*this);
    if (factory_ && std::find(std::begin(kCreatable), std::end(kCreatable), object_type) != std::end(kCreatable))
      object = factory_(object_type);
    if (object) {
      {
        std::lock_guard l(object->lock);
        if (description) object->description = description;
      }
      object->store = store;
      object->SetMapiObject(mapi_object);
      h = RegisterLocked(object, owner, parent);
    }
    ServerTrace("New class: %d", h);
  }
  if (created) *created = object;
  return h;
}

void CServerClasses::Describe(CServerClass& object, DescribeSource& source) {
  std::string description, entry_text;
  try {
    std::optional<std::string> text;
    try {
      text = source.ReadText(kPrSubject);
    } catch (...) {
    }
    if (!text) text = source.ReadText(kPrDisplayName);
    if (text) description = *text;
    if (description.empty()) {
      if (auto id = source.ReadBinary(kPrEntryId)) description = HexUpper(*id);
    }
    if (auto id = source.ReadBinary(kPrEntryId)) entry_text = HexUpper(*id);
  } catch (...) {
    description = "<not available>";
  }
  std::lock_guard l(object.lock);
  object.description = description;
  if (!entry_text.empty()) object.entry_id_text = entry_text;
}

HRESULT CServerClasses::FindByEntryID(std::span<const std::uint8_t> entry_id, std::int32_t* handle) {
  std::string text = HexUpper(entry_id);
  std::vector<std::pair<std::int32_t, std::shared_ptr<CServerClass>>> objects = Objects();
  for (auto& [h, object] : objects) {
    std::lock_guard l(object->lock);
    // Objects never described have no entry ID; an empty one matches none.
    if (!object->entry_id_text.empty() && object->entry_id_text == text) {
      *handle = h;
      return 0;
    }
  }
  return MAPI_E_NOT_FOUND;
}

void CServerClasses::EndSessionLocked(std::int32_t session, Victims& victims) {
  std::vector<std::int32_t> owned;
  for (auto& [h, object] : objects_)
    if (object->owner.load() == session) owned.push_back(h);
  FreeLocked(session, victims);
  for (auto h : owned) FreeLocked(h, victims);
}

void CServerClasses::EndSession(std::int32_t session) {
  Victims victims;
  {
    Guard g(*this);
    EndSessionLocked(session, victims);
  }
  DestroyAll(victims);
}

void CServerClasses::SweepIdleSessions() {
  std::uint64_t now = clock_();
  if (locked_.load()) return;  // busy: try again on the next tick
  Victims victims;
  {
    Guard g(*this);
    for (auto& [h, object] : objects_) {
      if (object->kind != kZelLogon) continue;
      std::uint64_t stamp = object->last_activity.load();
      if (stamp <= now && now - stamp > kSessionIdleMs) {
        EndSessionLocked(h, victims);
        break;
      }
    }
  }
  DestroyAll(victims);
}

void CServerClasses::EndAllSessions() {
  Victims victims;
  {
    Guard g(*this);
    for (;;) {
      auto it = std::find_if(objects_.begin(), objects_.end(), [](auto& e) { return e.second->kind == kZelLogon; });
      if (it == objects_.end()) break;
      EndSessionLocked(it->first, victims);
    }
  }
  DestroyAll(victims);
}

std::vector<std::pair<std::int32_t, std::shared_ptr<CServerClass>>> CServerClasses::Objects() {
  Guard g(*this);
  return {objects_.begin(), objects_.end()};
}

void CServerClasses::Touch(CServerClass& session) {
  Guard g(*this);
  session.last_activity.store(clock_());
}

HRESULT CServerClasses::ReadQueue(CServerClass& session, zel::GetNotifyQuere::Reply& out) {
  zel::CNotifyQueue* queue = session.NotifyQueue();
  if (!queue) return 0;  // no session: nothing queued
  zel::ReadQueueResult r = zel::ReadQueue(queue, lock_, clock_, [&](std::vector<BYTE> block) {
    std::int32_t cb = 0;
    return MakeResultBlock(std::move(block), out.inlineData, cb);
  });
  out.cNotifications = static_cast<std::int32_t>(r.count);
  out.cb = static_cast<std::int32_t>(r.length);
  out.hBuffer = r.buffer;
  return r.result;
}

std::int32_t CServerClasses::MakeResultBlock(std::vector<std::uint8_t> data, zel::wire::Inline::Value& inline_area,
                                             std::int32_t& cb) {
  std::size_t n = std::min(data.size(), inline_area.size());
  std::memcpy(inline_area.data(), data.data(), n);
  cb = static_cast<std::int32_t>(data.size());
  if (data.size() <= inline_area.size()) return -1;
  auto block = std::make_unique<Block>();
  block->size = cb;
  block->position = static_cast<std::int32_t>(inline_area.size());
  block->data = std::move(data);
  Guard g(*this);
  std::int32_t h;
  if (!free_buffers_.empty()) {
    h = free_buffers_.front();
    free_buffers_.pop_front();
    buffers_[static_cast<std::size_t>(h)] = std::move(block);
  } else {
    h = static_cast<std::int32_t>(buffers_.size());
    buffers_.push_back(std::move(block));
  }
  return h;
}

void CServerClasses::FreeBlockLocked(std::int32_t handle) {
  buffers_[static_cast<std::size_t>(handle)].reset();
  free_buffers_.push_back(handle);
}

std::int32_t CServerClasses::ReadBlock(std::int32_t handle, std::uint32_t maximum, std::vector<std::uint8_t>& out) {
  out.clear();
  Guard g(*this);
  if (handle < 0 || static_cast<std::size_t>(handle) >= buffers_.size() || !buffers_[static_cast<std::size_t>(handle)])
    return -1;
  Block& b = *buffers_[static_cast<std::size_t>(handle)];
  auto n = static_cast<std::int32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(b.size - b.position), maximum));
  out.assign(b.data.begin() + b.position, b.data.begin() + b.position + n);
  b.position += n;
  if (b.position >= b.size) FreeBlockLocked(handle);
  return n;
}

std::int32_t CServerClasses::BlockSize(std::int32_t handle) {
  Guard g(*this);
  if (handle < 0 || static_cast<std::size_t>(handle) >= buffers_.size() || !buffers_[static_cast<std::size_t>(handle)])
    return -1;
  return buffers_[static_cast<std::size_t>(handle)]->size;
}

std::int32_t CServerClasses::FreeBlock(std::int32_t handle) {
  Guard g(*this);
  if (handle < 0 || static_cast<std::size_t>(handle) >= buffers_.size() || !buffers_[static_cast<std::size_t>(handle)])
    return 1;
  FreeBlockLocked(handle);
  return 0;
}

}  // namespace vantrel::server
