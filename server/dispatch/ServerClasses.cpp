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
                 lock_.AssertHeld();  // the sinks call this under the registry lock
                 auto it = objects_.find(session);
                 return it == objects_.end() ? nullptr : it->second.object->NotifyQueue();
               }),
      clock_(clock ? std::move(clock) : Clock([] { return GetTickCount64(); })) {}

CServerClasses::~CServerClasses() = default;

void CServerClasses::SetObjectFactory(ObjectFactory factory) {
  MutexLock g(lock_);
  factory_ = std::move(factory);
}

void CServerClasses::SetLimits(const RegistryLimits& limits) {
  MutexLock g(lock_);
  limits_ = limits;
}

// ---- ownership ----

bool CServerClasses::MaySession(std::int32_t session, SessionState& state, bool* offended) {
  const CallContext& caller = CurrentCall();
  if (!state.orphan && state.association == caller.association) return true;
  // The rightful client back on a new connection: same address, and the
  // old connection is gone. A live session is never taken over.
  if (state.orphan && !caller.peer.empty() && state.peer == caller.peer) {
    state.orphan = false;
    state.association = caller.association;
    ServerLog("Session %d taken over by a new connection from %s\n", session, caller.peer.c_str());
    return true;
  }
  if (offenders_.insert(caller.association).second) *offended = true;
  return false;
}

bool CServerClasses::MayObject(const Entry& entry, bool* offended) {
  const CServerClass& o = *entry.object;
  std::int32_t session = o.kind == kZelLogon ? o.handle.load() : o.owner.load();
  if (session >= 0) {
    auto it = sessions_.find(session);
    if (it != sessions_.end()) return MaySession(session, it->second, offended);
  }
  if (entry.association == CurrentCall().association) return true;
  if (offenders_.insert(CurrentCall().association).second) *offended = true;
  return false;
}

void CServerClasses::Offended(bool offended) {
  if (!offended) return;
  const CallContext& caller = CurrentCall();
  ServerLog("Connection %llu from %s named handles of another connection\n",
            static_cast<unsigned long long>(caller.association), caller.peer.empty() ? "-" : caller.peer.c_str());
}

bool CServerClasses::OwnSession(std::int32_t session) {
  bool offended = false, own = false;
  {
    MutexLock g(lock_);
    auto it = sessions_.find(session);
    own = it != sessions_.end() && it->second.alive && MaySession(session, it->second, &offended);
  }
  Offended(offended);
  return own;
}

void CServerClasses::ForgetIfEmpty(std::int32_t session) {
  auto it = sessions_.find(session);
  if (it != sessions_.end() && !it->second.alive && it->second.objects <= 0 && it->second.blocks <= 0)
    sessions_.erase(it);
}

// ---- objects ----

std::int32_t CServerClasses::RegisterLocked(const std::shared_ptr<CServerClass>& object, std::int32_t owner,
                                            const std::shared_ptr<CServerClass>& parent) {
  const CallContext& caller = CurrentCall();
  if (object->kind == kZelLogon) {
    std::int32_t live = 0;
    for (auto& [h, state] : sessions_)
      if (!state.orphan && state.association == caller.association) ++live;  // freed ones with objects left count
    if (live >= limits_.sessions_per_association) return -1;
  }
  // An object opened for a session that ended meanwhile (its logon was
  // still running) would stay registered under a gone handle.
  if (parent && parent->kind == kZelLogon) {
    auto it = objects_.find(parent->handle.load());
    if (it == objects_.end() || it->second.object != parent) return -1;
  }
  SessionState* owner_state = nullptr;
  if (owner >= 0 && object->kind != kZelLogon) {
    auto it = sessions_.find(owner);
    if (it != sessions_.end()) owner_state = &it->second;
    if (owner_state && owner_state->objects >= limits_.objects_per_session) {
      CurrentCall().refused = true;
      return -1;
    }
  }
  changed_.store(true);
  object->owner.store(owner);
  std::int32_t h = ++last_handle_;
  if (!objects_.emplace(h, Entry{object, caller.association}).second) return -1;
  object->handle.store(h);
  object->parent = parent;
  object->registry = this;
  object->last_activity.store(clock_());
  if (object->kind == kZelLogon) {
    SessionState& state = sessions_[h];
    state.association = caller.association;
    state.peer = caller.peer;
  } else if (owner_state) {
    ++owner_state->objects;
  }
  return h;
}

std::int32_t CServerClasses::Register(const std::shared_ptr<CServerClass>& object, std::int32_t owner,
                                      const std::shared_ptr<CServerClass>& parent) {
  if (!object) return -1;
  MutexLock g(lock_);
  return RegisterLocked(object, owner, parent);
}

std::shared_ptr<CServerClass> CServerClasses::Lookup(std::int32_t handle, std::int32_t wanted_kind) {
  if (handle < 0) return nullptr;
  std::shared_ptr<CServerClass> object;
  bool offended = false;
  {
    MutexLock g(lock_);
    auto it = objects_.find(handle);
    if (it != objects_.end() && MayObject(it->second, &offended)) object = it->second.object;
  }
  Offended(offended);
  return OfKind(handle, std::move(object), wanted_kind);
}

std::shared_ptr<CServerClass> CServerClasses::OfKind(std::int32_t handle, std::shared_ptr<CServerClass> object,
                                                     std::int32_t wanted_kind) {
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
  auto object = std::move(it->second.object);
  objects_.erase(it);
  if (object->kind == kZelLogon) {
    // Its blocks go with it; its objects stay until they are freed or the
    // association closes (a client may still use them).
    for (std::size_t i = 0; i < buffers_.size(); ++i)
      if (buffers_[i] && buffers_[i]->session == handle) FreeBlockLocked(static_cast<std::int32_t>(i));
    auto s = sessions_.find(handle);
    if (s != sessions_.end()) s->second.alive = false;
    ForgetIfEmpty(handle);
  } else if (std::int32_t owner = object->owner.load(); owner >= 0) {
    auto s = sessions_.find(owner);
    if (s != sessions_.end()) {
      --s->second.objects;
      ForgetIfEmpty(owner);
    }
  }
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

void CServerClasses::Free(std::int32_t handle) {
  Victims victims;
  bool offended = false;
  {
    MutexLock g(lock_);
    auto it = objects_.find(handle);
    if (it != objects_.end() && MayObject(it->second, &offended)) FreeLocked(handle, victims);
  }
  Offended(offended);
  // Destroyed outside the registry lock: an object's own lock comes first
  // in the lock order, and Destroy may take it.
  DestroyAll(victims);
}

std::int32_t CServerClasses::CreateObject(std::int32_t object_type, const std::shared_ptr<CServerClass>& store,
                                          const std::shared_ptr<CServerClass>& parent, IUnknown* mapi_object,
                                          std::int32_t owner, const char* description,
                                          std::shared_ptr<CServerClass>* created) {
  ObjectFactory factory;
  {
    MutexLock g(lock_);
    factory = factory_;
  }
  // The new object is filled in before the registry lock is taken: an
  // object's lock comes before the registry's, and once registered the
  // object is visible to other calls.
  std::shared_ptr<CServerClass> object;
  if (factory && IsCreatableObjectType(object_type))
    object = factory(object_type);
  std::int32_t h = 0;
  if (object) {
    {
      MutexLock l(object->lock);
      if (description) object->description = description;
      object->store = store;
    }
    object->SetMapiObject(mapi_object);
    {
      MutexLock g(lock_);
      h = RegisterLocked(object, owner, parent);
    }
    if (h < 0) {
      h = 0;
      object.reset();  // never registered: its destructor releases what it wraps
    }
  }
  ServerTrace("New class: %d", h);
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
  MutexLock l(object.lock);
  object.description = description;
  if (!entry_text.empty()) object.entry_id_text = entry_text;
}

HRESULT CServerClasses::FindByEntryID(std::span<const std::uint8_t> entry_id, std::int32_t* handle) {
  std::string text = HexUpper(entry_id);
  std::vector<std::pair<std::int32_t, std::shared_ptr<CServerClass>>> objects;
  {
    // Only the caller's own objects, and no orphan is taken over by a
    // search that names no handle.
    MutexLock g(lock_);
    const std::uint64_t caller = CurrentCall().association;
    for (auto& [h, entry] : objects_) {
      const CServerClass& o = *entry.object;
      std::int32_t session = o.kind == kZelLogon ? h : o.owner.load();
      auto s = session >= 0 ? sessions_.find(session) : sessions_.end();
      bool own = s != sessions_.end() ? !s->second.orphan && s->second.association == caller
                                      : entry.association == caller;
      if (own) objects.emplace_back(h, entry.object);
    }
  }
  for (auto& [h, object] : objects) {
    MutexLock l(object->lock);
    // Objects never described have no entry ID; an empty one matches none.
    if (!object->entry_id_text.empty() && object->entry_id_text == text) {
      *handle = h;
      return 0;
    }
  }
  return MAPI_E_NOT_FOUND;
}

// ---- sessions ----

void CServerClasses::EndSessionLocked(std::int32_t session, Victims& victims) {
  std::vector<std::int32_t> owned;
  for (auto& [h, entry] : objects_)
    if (entry.object->owner.load() == session) owned.push_back(h);
  FreeLocked(session, victims);
  for (auto h : owned) FreeLocked(h, victims);
  for (std::size_t i = 0; i < buffers_.size(); ++i)
    if (buffers_[i] && buffers_[i]->session == session) FreeBlockLocked(static_cast<std::int32_t>(i));
  sessions_.erase(session);
}

void CServerClasses::EndSession(std::int32_t session) {
  Victims victims;
  {
    MutexLock g(lock_);
    EndSessionLocked(session, victims);
  }
  DestroyAll(victims);
}

void CServerClasses::SweepIdleSessions() {
  std::uint64_t now = clock_();
  if (!lock_.try_lock()) return;  // busy: try again on the next tick
  Victims victims;
  for (auto& [h, entry] : objects_) {
    if (entry.object->kind != kZelLogon) continue;
    std::uint64_t stamp = entry.object->last_activity.load();
    if (stamp <= now && now - stamp > kSessionIdleMs) {
      EndSessionLocked(h, victims);
      break;
    }
  }
  lock_.unlock();
  DestroyAll(victims);
}

void CServerClasses::EndAllSessions() {
  Victims victims;
  {
    MutexLock g(lock_);
    while (!sessions_.empty()) EndSessionLocked(sessions_.begin()->first, victims);
    for (;;) {
      auto it = std::find_if(objects_.begin(), objects_.end(),
                             [](auto& e) { return e.second.object->kind == kZelLogon; });
      if (it == objects_.end()) break;
      EndSessionLocked(it->first, victims);
    }
  }
  DestroyAll(victims);
}

void CServerClasses::AssociationClosed(std::uint64_t association) {
  Victims victims;
  std::string orphans;
  {
    MutexLock g(lock_);
    std::vector<std::int32_t> loose;
    for (auto& [h, state] : sessions_) {
      if (state.orphan || state.association != association) continue;
      // A freed session's leftovers cannot be taken over: nothing names it.
      if (state.alive) {
        state.orphan = true;
        orphans += (orphans.empty() ? "" : ", ") + std::to_string(h);
      } else {
        loose.push_back(h);
      }
    }
    for (auto h : loose) EndSessionLocked(h, victims);
    for (std::size_t i = 0; i < buffers_.size(); ++i)
      if (buffers_[i] && buffers_[i]->session < 0 && buffers_[i]->association == association)
        FreeBlockLocked(static_cast<std::int32_t>(i));
    offenders_.erase(association);
  }
  if (!orphans.empty())
    ServerLog("Connection %llu closed; its sessions %s wait to be taken over\n",
              static_cast<unsigned long long>(association), orphans.c_str());
  DestroyAll(victims);
}

std::vector<std::pair<std::int32_t, std::shared_ptr<CServerClass>>> CServerClasses::Objects() {
  MutexLock g(lock_);
  std::vector<std::pair<std::int32_t, std::shared_ptr<CServerClass>>> out;
  out.reserve(objects_.size());
  for (auto& [h, entry] : objects_) out.emplace_back(h, entry.object);
  return out;
}

void CServerClasses::Touch(CServerClass& session) {
  MutexLock g(lock_);
  session.last_activity.store(clock_());
}

HRESULT CServerClasses::ReadQueue(CServerClass& session, zel::GetNotifyQuere::Reply& out) {
  zel::CNotifyQueue* queue = session.NotifyQueue();
  if (!queue) return 0;  // no session: nothing queued
  const std::int32_t h = session.handle.load();
  zel::ReadQueueResult r = zel::ReadQueue(queue, lock_, clock_, [&](std::vector<BYTE> block) {
    std::int32_t cb = 0;
    return MakeResultBlock(h, std::move(block), out.inlineData, cb);
  });
  out.cNotifications = static_cast<std::int32_t>(r.count);
  out.cb = static_cast<std::int32_t>(r.length);
  out.hBuffer = r.buffer;
  return r.result;
}

// ---- result blocks ----

std::int32_t CServerClasses::MakeResultBlock(std::int32_t session, std::vector<std::uint8_t>&& data,
                                             zel::wire::Inline::Value& inline_area, std::int32_t& cb) {
  if (data.size() <= inline_area.size()) {
    std::memcpy(inline_area.data(), data.data(), data.size());
    cb = static_cast<std::int32_t>(data.size());
    return -1;
  }
  MutexLock g(lock_);
  SessionState* state = nullptr;
  if (session >= 0) {
    auto it = sessions_.find(session);
    if (it != sessions_.end()) state = &it->second;
  }
  if (state && (data.size() > limits_.pending_bytes_per_session ||
                state->pending > limits_.pending_bytes_per_session - data.size())) {
    cb = 0;
    CurrentCall().refused = true;
    return -1;
  }
  std::memcpy(inline_area.data(), data.data(), inline_area.size());
  cb = static_cast<std::int32_t>(data.size());
  auto block = std::make_unique<Block>();
  block->size = cb;
  block->position = static_cast<std::int32_t>(inline_area.size());
  block->session = state ? session : -1;
  block->association = CurrentCall().association;
  block->data = std::move(data);
  if (state) {
    ++state->blocks;
    state->pending += block->data.size();
  }
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

CServerClasses::Block* CServerClasses::CallerBlock(std::int32_t handle, bool* offended) {
  if (handle < 0 || static_cast<std::size_t>(handle) >= buffers_.size()) return nullptr;
  Block* b = buffers_[static_cast<std::size_t>(handle)].get();
  if (!b) return nullptr;
  if (b->session >= 0) {
    auto it = sessions_.find(b->session);
    if (it != sessions_.end()) return MaySession(b->session, it->second, offended) ? b : nullptr;
  }
  if (b->association == CurrentCall().association) return b;
  if (offenders_.insert(CurrentCall().association).second) *offended = true;
  return nullptr;
}

void CServerClasses::FreeBlockLocked(std::int32_t handle) {
  auto& slot = buffers_[static_cast<std::size_t>(handle)];
  if (slot && slot->session >= 0) {
    auto it = sessions_.find(slot->session);
    if (it != sessions_.end()) {
      --it->second.blocks;
      it->second.pending -= std::min<std::uint64_t>(it->second.pending, slot->data.size());
      ForgetIfEmpty(slot->session);
    }
  }
  slot.reset();
  free_buffers_.push_back(handle);
}

std::int32_t CServerClasses::AppendBlock(std::int32_t handle, std::uint32_t maximum, std::vector<std::uint8_t>& out) {
  bool offended = false;
  std::int32_t n = -1;
  {
    MutexLock g(lock_);
    if (Block* b = CallerBlock(handle, &offended)) {
      n = static_cast<std::int32_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(b->size - b->position), maximum));
      out.insert(out.end(), b->data.begin() + b->position, b->data.begin() + b->position + n);
      b->position += n;
      if (b->position >= b->size) FreeBlockLocked(handle);
    }
  }
  Offended(offended);
  return n;
}

std::int32_t CServerClasses::BlockSize(std::int32_t handle) {
  bool offended = false;
  std::int32_t size = -1;
  {
    MutexLock g(lock_);
    if (Block* b = CallerBlock(handle, &offended)) size = b->size;
  }
  Offended(offended);
  return size;
}

std::int32_t CServerClasses::FreeBlock(std::int32_t handle) {
  bool offended = false;
  std::int32_t result = 1;
  {
    MutexLock g(lock_);
    if (CallerBlock(handle, &offended)) {
      FreeBlockLocked(handle);
      result = 0;
    }
  }
  Offended(offended);
  return result;
}

std::uint64_t CServerClasses::PendingBytes(std::int32_t session) {
  MutexLock g(lock_);
  auto it = sessions_.find(session);
  return it == sessions_.end() ? 0 : it->second.pending;
}

}  // namespace vantrel::server
