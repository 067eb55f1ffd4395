#include "platform/mapi/pst/Folder.h"

#include <system_error>
#include <thread>

#include "platform/mapi/Restriction.h"
#include "platform/mapi/pst/ChangeFeed.h"
#include "platform/mapi/pst/EntryId.h"
#include "platform/mapi/pst/Message.h"
#include "platform/mapi/pst/PropObject.h"
#include "platform/mapi/pst/TableUpkeep.h"

namespace vantrel::mapi::pst {
namespace {

// A folder name (UTF-8) in lower case for comparisons without regard to
// case: the letters of the ANSI code page, Greek and Cyrillic.
std::u16string FoldName(std::string_view utf8) {
  std::u16string w = Utf8ToUtf16(utf8);
  for (char16_t& c : w) {
    if (c < 0x80) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 0x20);
    } else if ((c >= 0x391 && c <= 0x3A9 && c != 0x3A2) || (c >= 0x410 && c <= 0x42F)) {
      c = static_cast<char16_t>(c + 0x20);
    } else if (c >= 0x400 && c <= 0x40F) {
      c = static_cast<char16_t>(c + 0x50);
    } else {
      std::string a = Utf16ToAnsi(std::u16string_view(&c, 1));
      if (a.size() == 1 && a[0] != '?') {
        std::u16string back = AnsiToUtf16(FoldAnsi(a));
        if (back.size() == 1) c = back[0];
      }
    }
  }
  return w;
}

// Copies object `id` of `src` (with its properties and, below it, its
// attachments, recipients, messages and, when `subfolders`, its folders)
// under `dst_parent` of `dst`; returns the new id or 0. Inside the
// transactions of both files.
int64_t CopyTree(Db& src, int64_t id, Db& dst, int64_t dst_parent, bool subfolders, int depth = 0)
    REQUIRES(src.mu, dst.mu) {
  if (depth > 256) return 0;
  ObjectRow o;
  if (!FindObject(src.W(), id, &o)) return 0;
  int64_t nid = NextId(dst);
  PropMap props = LoadProps(src.W(), id);
  if (!nid || !CopyRefs(src.W(), dst, props) || !InsertObject(dst, nid, dst_parent, o.kind, o.assoc, o.num) ||
      !SaveProps(dst, nid, props))
    return 0;
  for (const ObjectRow& kid : Children(src.W(), id)) {
    if (kid.kind == Kind::kFolder && !subfolders) continue;
    if (!CopyTree(src, kid.id, dst, nid, subfolders, depth + 1)) return 0;
  }
  return nid;
}

// Both files locked, in the order of their addresses whatever the
// direction of the copy; one lock when they are one file. The analysis
// cannot follow the choice, so the scope states what it holds.
class SCOPED_CAPABILITY BothLocked {
 public:
  BothLocked(Db& a, Db& b) ACQUIRE(a.mu, b.mu) NO_THREAD_SAFETY_ANALYSIS : a_(a), b_(b) {
    if (&a == &b) {
      a.mu.lock();
    } else if (&a < &b) {
      a.mu.lock();
      b.mu.lock();
    } else {
      b.mu.lock();
      a.mu.lock();
    }
  }
  ~BothLocked() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
    a_.mu.unlock();
    if (&a_ != &b_) b_.mu.unlock();
  }
  BothLocked(const BothLocked&) = delete;
  BothLocked& operator=(const BothLocked&) = delete;

 private:
  Db& a_;
  Db& b_;
};

class Folder final : public PropObject<IMAPIFolder> {
 public:
  Folder(std::shared_ptr<Db> db, int64_t id, int64_t parent, bool writable, PropMap props = {})
      : PropObject(std::move(db)), id_(id), parent_(parent), writable_(writable) {
    base_ = std::move(props);
  }
  int64_t id() const { return id_; }
  const std::shared_ptr<Db>& db() const { return db_; }

  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_ASSOCIATED | MAPI_DEFERRED_ERRORS | MAPI_UNICODE | SHOW_SOFT_DELETES))
      return MAPI_E_UNKNOWN_FLAGS;
    return View(((flags & MAPI_ASSOCIATED) ? 1 : 0) | ((flags & MAPI_UNICODE) ? kUnicodeTable : 0), out);
  }
  HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(CONVENIENT_DEPTH | MAPI_DEFERRED_ERRORS | MAPI_UNICODE | SHOW_SOFT_DELETES))
      return MAPI_E_UNKNOWN_FLAGS;
    return View(((flags & CONVENIENT_DEPTH) ? 3 : 2) | ((flags & MAPI_UNICODE) ? kUnicodeTable : 0), out);
  }

  HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    return OpenEntryOf(db_, id_, cb, eid, flags, type, out);
  }

  // The criteria are kept with the folder; filling it from them is the job
  // of the search-folder machinery above the store.
  HRESULT SetSearchCriteria(LPSRestriction res, LPENTRYLIST list, ULONG flags) override {
    if (flags &
        ~(STOP_SEARCH | RESTART_SEARCH | RECURSIVE_SEARCH | SHALLOW_SEARCH | FOREGROUND_SEARCH | BACKGROUND_SEARCH))
      return MAPI_E_UNKNOWN_FLAGS;
    if (((flags & STOP_SEARCH) && (flags & RESTART_SEARCH)) ||
        ((flags & RECURSIVE_SEARCH) && (flags & SHALLOW_SEARCH)) ||
        ((flags & FOREGROUND_SEARCH) && (flags & BACKGROUND_SEARCH)))
      return MAPI_E_INVALID_PARAMETER;
    MutexLock g(mu_);
    PropMap all = base_;
    for (const auto& [id, v] : pending_) all[id] = v;
    if (GetLong(all, PR_FOLDER_TYPE) != static_cast<LONG>(FOLDER_SEARCH)) return MAPI_E_NO_SUPPORT;
    bool first = !all.count(kCritRes);
    if (first && (!res || !list)) return MAPI_E_INVALID_PARAMETER;
    if (res) {
      auto enc = EncodeRestriction(*res);
      if (!enc) return MAPI_E_TOO_COMPLEX;
      pending_[kCritRes] = {PT_BINARY, std::move(*enc)};
    }
    if (list) {
      SPropValue v{};
      v.ulPropTag = PROP_TAG(PT_MV_BINARY, kCritList);
      v.Value.MVbin = *list;
      auto enc = EncodeProp(v);
      if (!enc) return MAPI_E_INVALID_PARAMETER;
      pending_[kCritList] = {PT_MV_BINARY, std::move(*enc)};
    }
    ULONG state = static_cast<ULONG>(GetLong(all, PROP_TAG(PT_LONG, kCritState), SEARCH_RUNNING));
    bool was_running = !first && (state & SEARCH_RUNNING);
    if (flags & STOP_SEARCH) state &= ~SEARCH_RUNNING;
    if (flags & RESTART_SEARCH) state |= SEARCH_RUNNING;
    if (flags & RECURSIVE_SEARCH) state |= SEARCH_RECURSIVE;
    if (flags & SHALLOW_SEARCH) state &= ~SEARCH_RECURSIVE;
    if (flags & FOREGROUND_SEARCH) state |= SEARCH_FOREGROUND;
    if (flags & BACKGROUND_SEARCH) state &= ~SEARCH_FOREGROUND;
    SetLong(pending_, PROP_TAG(PT_LONG, kCritState), static_cast<LONG>(state));
    if (HRESULT hr = Flush(); FAILED(hr)) return hr;
    // New criteria, a restart or a start build the results again.
    bool rebuild = res || list || (flags & RESTART_SEARCH) || !was_running;
    MutexLock dg(db_->mu);
    rebuild |= !db_->searches.Known(id_);
    std::uint64_t gen = LoadSearch(rebuild);
    if (!gen) return S_OK;
    if (state & SEARCH_FOREGROUND) {
      DbSearchHost host(*db_);
      db_->searches.Rebuild(host, id_, gen, true);
    } else {
      try {
        std::thread([db = db_, id = id_, gen] {
          MutexLock g(db->mu);
          DbSearchHost host(*db);
          db->searches.Rebuild(host, id, gen, true);
        }).detach();
      } catch (const std::system_error&) {  // no thread to be had: search now
        DbSearchHost host(*db_);
        db_->searches.Rebuild(host, id_, gen, true);
      }
    }
    return S_OK;
  }

  HRESULT GetSearchCriteria(ULONG flags, LPSRestriction* res, LPENTRYLIST* list, ULONG* state) override {
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    MutexLock g(mu_);
    if (GetLong(base_, PR_FOLDER_TYPE) != static_cast<LONG>(FOLDER_SEARCH)) return MAPI_E_NO_SUPPORT;
    auto r = base_.find(kCritRes);
    auto l = base_.find(kCritList);
    if (r == base_.end() || l == base_.end()) return MAPI_E_NOT_INITIALIZED;
    LPSRestriction out_res = nullptr;
    if (res) {
      if (HRESULT hr = DecodeRestriction(r->second.second, &out_res); FAILED(hr)) return hr;
    }
    if (list) {
      void* root;
      if (MAPIAllocateBuffer(sizeof(SPropValue), &root)) {
        MAPIFreeBuffer(out_res);
        return MAPI_E_NOT_ENOUGH_MEMORY;
      }
      auto* v = static_cast<SPropValue*>(root);
      HRESULT hr = DecodeProp(PROP_TAG(PT_MV_BINARY, kCritList), PT_MV_BINARY, l->second.second, root, *v);
      if (FAILED(hr)) {
        MAPIFreeBuffer(root);
        MAPIFreeBuffer(out_res);
        return hr;
      }
      // The list is the first member of the value's union, so the buffer
      // can be handed out as the list itself.
      static_assert(offsetof(SPropValue, Value) == 8);
      std::memmove(root, &v->Value.MVbin, sizeof(SBinaryArray));
      *list = static_cast<LPENTRYLIST>(root);
    }
    if (res) *res = out_res;
    if (state) {
      *state = static_cast<ULONG>(GetLong(base_, PROP_TAG(PT_LONG, kCritState)));
      MutexLock dg(db_->mu);
      if (db_->searches.Rebuilding(id_)) *state |= SEARCH_REBUILD;
    }
    return S_OK;
  }

  HRESULT CreateMessage(LPCIID, ULONG flags, LPMESSAGE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_ASSOCIATED | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
    if (!writable_) return MAPI_E_NO_ACCESS;
    MutexLock dg(db_->mu);
    int64_t id = ReserveMessageId(*db_);
    if (!id) return MAPI_E_DISK_ERROR;
    *out = new Message(db_, id, id_, flags & MAPI_ASSOCIATED, true, true);
    return S_OK;
  }

  HRESULT CopyMessages(LPENTRYLIST list, LPCIID, LPVOID dst_folder, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (!list || !dst_folder) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_MOVE | MAPI_DECLINE_OK | MESSAGE_DIALOG)) return MAPI_E_UNKNOWN_FLAGS;
    auto* dst = dynamic_cast<Folder*>(static_cast<IMAPIFolder*>(dst_folder));
    if (!dst) return MAPI_E_NO_SUPPORT;
    bool same = dst->db_ == db_;
    BothLocked locks(*db_, *dst->db_);
    Tx tx(*db_);
    std::unique_ptr<Tx> tx2;
    if (!same) tx2 = std::make_unique<Tx>(*dst->db_);
    Tx& dtx = tx2 ? *tx2 : tx;  // the destination's changes
    bool missing = false, ok = tx.ok() && dtx.ok();
    for (ULONG i = 0; i < list->cValues && ok; ++i) {
      int64_t id = ParseEntryID(db_->uid, list->lpbin[i].cb, reinterpret_cast<LPENTRYID>(list->lpbin[i].lpb));
      if (id < 0 || !IsChild(db_->W(), id, id_, Kind::kMessage)) {
        missing = true;
        continue;
      }
      OldPlace was{db_->uid, id, id_};
      if (same && (flags & MAPI_MOVE)) {
        ok = MoveObject(*db_, id, dst->id_);
        tx.Row(dst->id_, id);
        tx.Event(fnevObjectMoved, id, dst->id_, MAPI_MESSAGE, &was);
      } else {
        int64_t nid = CopyTree(*db_, id, *dst->db_, dst->id_, false);
        ok = nid && (!(flags & MAPI_MOVE) || DeleteTree(*db_, id));
        if (nid) dtx.Row(dst->id_, nid);
        if (ok)
          dtx.Event((flags & MAPI_MOVE) ? fnevObjectMoved : fnevObjectCopied, nid, dst->id_, MAPI_MESSAGE, &was);
        // Moved out to another store: gone from this one.
        if (ok && !same && (flags & MAPI_MOVE)) tx.Event(fnevObjectDeleted, id, id_, MAPI_MESSAGE);
      }
      tx.Row(id_, id);
    }
    // Both stores commit, the destination first, so a failure never loses a moved message.
    if (!ok || (tx2 && !tx2->Commit()) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return missing ? MAPI_W_PARTIAL_COMPLETION : S_OK;
  }

  HRESULT DeleteMessages(LPENTRYLIST list, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (!list) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MESSAGE_DIALOG | DELETE_HARD_DELETE)) return MAPI_E_UNKNOWN_FLAGS;
    if (!writable_) return MAPI_E_NO_ACCESS;
    MutexLock dg(db_->mu);
    Tx tx(*db_);
    bool missing = false, ok = tx.ok();
    for (ULONG i = 0; i < list->cValues && ok; ++i) {
      int64_t id = ParseEntryID(db_->uid, list->lpbin[i].cb, reinterpret_cast<LPENTRYID>(list->lpbin[i].lpb));
      if (id < 0 || !IsChild(db_->W(), id, id_, Kind::kMessage)) {
        missing = true;
        continue;
      }
      ok = DeleteTree(*db_, id);
      tx.Row(id_, id);
      tx.Event(fnevObjectDeleted, id, id_, MAPI_MESSAGE);
    }
    if (!ok || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return missing ? MAPI_W_PARTIAL_COMPLETION : S_OK;
  }

  HRESULT CreateFolder(ULONG type, LPSTR name, LPSTR comment, LPCIID, ULONG flags, LPMAPIFOLDER* out) override {
    if (!out || !name) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(OPEN_IF_EXISTS | MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
    if (type != FOLDER_GENERIC && type != FOLDER_SEARCH) return MAPI_E_INVALID_PARAMETER;
    if (!writable_) return MAPI_E_NO_ACCESS;
    auto text = [&](LPSTR s) {
      if (!s) return std::string();
      return (flags & MAPI_UNICODE) ? Utf16ToUtf8(reinterpret_cast<const char16_t*>(s)) : AnsiToUtf8(s);
    };
    std::string n = text(name);
    if (n.empty()) return MAPI_E_INVALID_PARAMETER;
    MutexLock dg(db_->mu);
    Tx tx(*db_);
    if (int64_t existing = ChildByName(db_->W(), id_, n, -1); existing) {
      if (!(flags & OPEN_IF_EXISTS)) return MAPI_E_COLLISION;
      tx.Commit();
      *out = new Folder(db_, existing, id_, true, LoadProps(db_->W(), existing));
      return S_OK;
    }
    int64_t id = NextId(*db_);
    PropMap m;
    SetString(m, PR_DISPLAY_NAME, n);
    if (comment) SetString(m, PR_COMMENT, text(comment));
    SetLong(m, PR_FOLDER_TYPE, static_cast<LONG>(type));
    tx.Row(id_, id);
    tx.Event(fnevObjectCreated, id, id_, MAPI_FOLDER);
    if (!id || !InsertObject(*db_, id, id_, Kind::kFolder, false, 0) || !SaveProps(*db_, id, m) || !tx.Commit())
      return MAPI_E_DISK_ERROR;
    *out = new Folder(db_, id, id_, true, std::move(m));
    return S_OK;
  }

  HRESULT CopyFolder(ULONG cb, LPENTRYID eid, LPCIID, LPVOID dst_folder, LPSTR new_name, ULONG_PTR, LPMAPIPROGRESS,
                     ULONG flags) override {
    if (!dst_folder) return MAPI_E_INVALID_PARAMETER;
    auto* dst = dynamic_cast<Folder*>(static_cast<IMAPIFolder*>(dst_folder));
    if (!dst) return MAPI_E_NO_SUPPORT;
    if (flags & ~(FOLDER_MOVE | COPY_SUBFOLDERS | MAPI_UNICODE | FOLDER_DIALOG | MAPI_DECLINE_OK))
      return MAPI_E_UNKNOWN_FLAGS;
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    if (id < 0) return MAPI_E_INVALID_ENTRYID;
    if ((flags & FOLDER_MOVE) && id <= kSearchRoot) return MAPI_E_NO_ACCESS;
    bool same = dst->db_ == db_;
    BothLocked locks(*db_, *dst->db_);
    Tx tx(*db_);
    std::unique_ptr<Tx> tx2;
    if (!same) tx2 = std::make_unique<Tx>(*dst->db_);
    Tx& dtx = tx2 ? *tx2 : tx;  // the destination's changes
    if (!IsChild(db_->W(), id, id_, Kind::kFolder)) return MAPI_E_NOT_FOUND;
    // A folder never moves or copies below itself.
    for (int64_t p = same ? dst->id_ : 0; p;) {
      if (p == id) return MAPI_E_FOLDER_CYCLE;
      ObjectRow up;
      p = FindObject(db_->W(), p, &up) ? up.parent : 0;
    }
    PropMap props = LoadProps(db_->W(), id);
    std::string name;
    if (new_name) {
      name = (flags & MAPI_UNICODE) ? Utf16ToUtf8(reinterpret_cast<const char16_t*>(new_name)) : AnsiToUtf8(new_name);
    } else if (auto it = props.find(PROP_ID(PR_DISPLAY_NAME)); it != props.end()) {
      name.assign(it->second.second.begin(), it->second.second.end());
    }
    if (ChildByName(dst->db_->W(), dst->id_, name, same && (flags & FOLDER_MOVE) ? id : -1)) return MAPI_E_COLLISION;
    SetString(props, PR_DISPLAY_NAME, name);
    OldPlace was{db_->uid, id, id_};
    if (same && (flags & FOLDER_MOVE)) {
      tx.Row(id_, id);
      tx.Row(dst->id_, id);
      tx.Event(fnevObjectMoved, id, dst->id_, MAPI_FOLDER, &was);
      if (!MoveObject(*db_, id, dst->id_) || !SaveProps(*db_, id, props) || !tx.Commit()) return MAPI_E_DISK_ERROR;
      return S_OK;
    }
    // A move takes the whole tree; a copy takes subfolders only when asked.
    int64_t nid = CopyTree(*db_, id, *dst->db_, dst->id_, (flags & (FOLDER_MOVE | COPY_SUBFOLDERS)) != 0);
    if (!nid || !SaveProps(*dst->db_, nid, props)) return MAPI_E_DISK_ERROR;
    if ((flags & FOLDER_MOVE) && !DeleteTree(*db_, id)) return MAPI_E_DISK_ERROR;
    dtx.Row(dst->id_, nid);
    dtx.Event((flags & FOLDER_MOVE) ? fnevObjectMoved : fnevObjectCopied, nid, dst->id_, MAPI_FOLDER, &was);
    if (flags & FOLDER_MOVE) {
      tx.Row(id_, id);
      tx.Gone(id);
      if (!same) tx.Event(fnevObjectDeleted, id, id_, MAPI_FOLDER);
    }
    if ((tx2 && !tx2->Commit()) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return S_OK;
  }

  HRESULT DeleteFolder(ULONG cb, LPENTRYID eid, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (flags & ~(DEL_FOLDERS | DEL_MESSAGES | FOLDER_DIALOG)) return MAPI_E_UNKNOWN_FLAGS;
    if (!writable_) return MAPI_E_NO_ACCESS;
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    if (id < 0) return MAPI_E_INVALID_ENTRYID;
    if (id <= kSearchRoot) return MAPI_E_NO_ACCESS;  // the standard tree stays
    MutexLock dg(db_->mu);
    Tx tx(*db_);
    if (!IsChild(db_->W(), id, id_, Kind::kFolder)) return MAPI_E_NOT_FOUND;
    ChildCounts sub = CountChildren(db_->W(), id);
    if (sub.folders && !(flags & DEL_FOLDERS)) return MAPI_E_HAS_FOLDERS;
    if (sub.messages && !(flags & DEL_MESSAGES)) return MAPI_E_HAS_MESSAGES;
    tx.Row(id_, id);
    tx.Event(fnevObjectDeleted, id, id_, MAPI_FOLDER);
    tx.Gone(id);
    if (!DeleteTree(*db_, id) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return S_OK;
  }

  HRESULT SetReadFlags(LPENTRYLIST list, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (flags & ~(CLEAR_READ_FLAG | SUPPRESS_RECEIPT | MAPI_DEFERRED_ERRORS | GENERATE_RECEIPT_ONLY | CLEAR_RN_PENDING |
                  CLEAR_NRN_PENDING | FOLDER_DIALOG))
      return MAPI_E_UNKNOWN_FLAGS;
    if ((flags & CLEAR_READ_FLAG) && (flags & (SUPPRESS_RECEIPT | GENERATE_RECEIPT_ONLY)))
      return MAPI_E_INVALID_PARAMETER;
    MutexLock dg(db_->mu);
    Tx tx(*db_);
    std::vector<int64_t> ids;
    bool missing = false;
    if (!list) {
      ids = ChildIds(db_->W(), id_, Kind::kMessage);
    } else {
      for (ULONG i = 0; i < list->cValues; ++i) {
        int64_t id = ParseEntryID(db_->uid, list->lpbin[i].cb, reinterpret_cast<LPENTRYID>(list->lpbin[i].lpb));
        if (id < 0 || !IsChild(db_->W(), id, id_, Kind::kMessage))
          missing = true;
        else
          ids.push_back(id);
      }
    }
    if (!(flags & GENERATE_RECEIPT_ONLY)) {
      for (int64_t id : ids) {
        PropMap m = LoadProps(db_->W(), id);
        LONG f = GetLong(m, PR_MESSAGE_FLAGS);
        f = (flags & CLEAR_READ_FLAG) ? (f & ~MSGFLAG_READ) : (f | MSGFLAG_READ);
        SetLong(m, PR_MESSAGE_FLAGS, f);
        if (!SaveProps(*db_, id, m)) return MAPI_E_DISK_ERROR;
        tx.Row(id_, id);
        tx.Event(fnevObjectModified, id, id_, MAPI_MESSAGE);
      }
    }
    if (!tx.Commit()) return MAPI_E_DISK_ERROR;
    return missing ? MAPI_W_PARTIAL_COMPLETION : S_OK;
  }

  HRESULT GetMessageStatus(ULONG cb, LPENTRYID eid, ULONG, ULONG* status) override {
    if (!status) return MAPI_E_INVALID_PARAMETER;
    Reader rd(*db_);
    int64_t id = MessageHere(rd.c(), cb, eid);
    if (id < 0) return MAPI_E_NOT_FOUND;
    *status = static_cast<ULONG>(GetLong(LoadProps(rd.c(), id), PR_MSG_STATUS));
    return S_OK;
  }

  HRESULT SetMessageStatus(ULONG cb, LPENTRYID eid, ULONG status, ULONG mask, ULONG* old) override {
    MutexLock dg(db_->mu);
    int64_t id = MessageHere(db_->W(), cb, eid);
    if (id < 0) return MAPI_E_NOT_FOUND;
    Tx tx(*db_);
    PropMap m = LoadProps(db_->W(), id);
    ULONG was = static_cast<ULONG>(GetLong(m, PR_MSG_STATUS));
    SetLong(m, PR_MSG_STATUS, static_cast<LONG>((was & ~mask) | (status & mask)));
    tx.Row(id_, id);
    tx.Event(fnevObjectModified, id, id_, MAPI_MESSAGE);
    if (!SaveProps(*db_, id, m) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    if (old) *old = was;
    return S_OK;
  }

  HRESULT SaveContentsSort(LPSSortOrderSet sort, ULONG) override {
    if (!sort) return MAPI_E_INVALID_PARAMETER;
    // Kept as the folder's default sort for its contents tables.
    Bytes b(reinterpret_cast<const BYTE*>(sort),
            reinterpret_cast<const BYTE*>(sort) + CbNewSSortOrderSet(sort->cSorts));
    MutexLock g(mu_);
    pending_[kSortPropId] = {PT_BINARY, std::move(b)};
    return Flush();
  }

  HRESULT EmptyFolder(ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (flags & ~(DEL_ASSOCIATED | FOLDER_DIALOG | DELETE_HARD_DELETE)) return MAPI_E_UNKNOWN_FLAGS;
    if (!writable_) return MAPI_E_NO_ACCESS;
    MutexLock dg(db_->mu);
    Tx tx(*db_);
    std::vector<ObjectRow> gone;
    for (const ObjectRow& o : Children(db_->W(), id_))
      if (o.kind == Kind::kFolder || !o.assoc || (flags & DEL_ASSOCIATED)) gone.push_back(o);
    for (const ObjectRow& o : gone) {
      if (!DeleteTree(*db_, o.id)) return MAPI_E_DISK_ERROR;
      tx.Row(id_, o.id);
      tx.Gone(o.id);
      tx.Event(fnevObjectDeleted, o.id, id_, o.kind == Kind::kFolder ? MAPI_FOLDER : MAPI_MESSAGE);
    }
    if (!tx.Commit()) return MAPI_E_DISK_ERROR;
    return S_OK;
  }

 protected:
  // Private to the store, never shown: the contents sort and the search criteria.
  static constexpr ULONG kSortPropId = 0x7FF0;
  static constexpr ULONG kCritRes = 0x7FF1, kCritList = 0x7FF2, kCritState = 0x7FF3;

  void Computed(PropMap& all) override REQUIRES(mu_) {
    for (ULONG id : {kSortPropId, kCritRes, kCritList, kCritState}) all.erase(id);
    PutLong(all, PR_OBJECT_TYPE, MAPI_FOLDER);
    Bytes eid = MakeEntryID(db_->uid, id_);
    PutBin(all, PR_ENTRYID, eid);
    PutBin(all, PR_RECORD_KEY, eid);
    PutBin(all, PR_INSTANCE_KEY, eid);
    PutBin(all, PR_PARENT_ENTRYID, MakeEntryID(db_->uid, parent_ ? parent_ : id_));
    PutBin(all, PR_STORE_ENTRYID, StoreEntryID(db_->path));
    PutBin(all, PR_STORE_RECORD_KEY, Bytes(db_->uid.ab, db_->uid.ab + 16));
    Reader rd(*db_);
    ChildCounts n = CountChildren(rd.c(), id_);
    PutLong(all, PR_CONTENT_COUNT, static_cast<LONG>(n.normal_messages));
    PutBool(all, PR_SUBFOLDERS, n.folders > 0);
    PutLong(all, PR_CONTENT_UNREAD, static_cast<LONG>(CountUnread(rd.c(), id_)));
    PutLong(all, PR_ACCESS_LEVEL, writable_ ? 1 : 0);
  }
  bool Shadowed(ULONG id) const override {
    return (id >= kSortPropId && id <= kCritState) || IsComputedTag(id);
  }
  bool Writable() override { return writable_; }
  // Folders are not transacted: changes reach the file at once.
  HRESULT Flush() override REQUIRES(mu_) {
    PropMap next = base_;
    for (ULONG id : deleted_) next.erase(id);
    for (const auto& [id, v] : pending_) next[id] = v;
    MutexLock dg(db_->mu);
    Tx tx(*db_);
    if (parent_) tx.Row(parent_, id_);
    if (!SaveProps(*db_, id_, next) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    base_ = std::move(next);
    pending_.clear();
    deleted_.clear();
    return S_OK;
  }

 private:
  // The subfolder of `parent` named `name` without regard to case, other
  // than `except`; 0 when there is none.
  static int64_t ChildByName(Conn& c, int64_t parent, const std::string& name, int64_t except) {
    std::u16string want = FoldName(name);
    for (const auto& [id, v] : SubfolderNames(c, parent))
      if (id != except && FoldName({reinterpret_cast<const char*>(v.data()), v.size()}) == want) return id;
    return 0;
  }
  // A view of the folder's table `which` (with kUnicodeTable: strings in
  // Unicode), filled from the file the first time and kept current from
  // then on.
  HRESULT View(int which, LPMAPITABLE* out) {
    MutexLock g(mu_);  // the criteria in base_; before the store's lock, as everywhere
    bool search_folder = GetLong(base_, PR_FOLDER_TYPE) == static_cast<LONG>(FOLDER_SEARCH);
    // The depth table and a search folder's results are kept in one width:
    // their rows come from the hierarchy walk and the search, which fill
    // 8-bit table data.
    int base = which & ~kUnicodeTable;
    if (base == 3 || (base == 0 && search_folder)) which = base;
    FollowOtherWriters();
    MutexLock dg(db_->mu);
    auto& data = db_->tables[{id_, which}];
    if (!data) {
      LPTABLEDATA td = nullptr;
      if (HRESULT hr = NewTableData(&td); FAILED(hr)) {
        db_->tables.erase({id_, which});
        return hr;
      }
      data = vantrel::ComPtr<IMAPITableData>::Adopt(td);
      if (which == 3) {
        SyncDepthTable(*db_, id_, data.get(), 0);
        return data->HrGetView(nullptr, nullptr, 0, out);
      }
      if (which == 0 && search_folder) {
        // A search folder lists the results of its search, built now when
        // the criteria were not loaded yet.
        DbSearchHost host(*db_);
        if (db_->searches.Known(id_)) {
          db_->searches.Fill(host, id_, data.get());
        } else {
          LoadSearch(true);
          db_->searches.Rebuild(host, id_, 0, false);  // a stopped search too: its results were not kept
        }
        return data->HrGetView(nullptr, nullptr, 0, out);
      }
      Kind kind = base == 2 ? Kind::kFolder : Kind::kMessage;
      for (int64_t id : ChildIds(db_->W(), id_, kind, base == 1)) {
        SRow row;
        if (FAILED(BuildRow(LoadProps(db_->W(), id), KeyColumns(db_->uid, id, id_, kind), (which & kUnicodeTable) != 0,
                            row)))
          continue;
        data->HrModifyRow(&row);
        MAPIFreeBuffer(row.lpProps);
      }
    }
    return data->HrGetView(nullptr, nullptr, 0, out);
  }

  // Hands the saved criteria to the store's search folders; the generation
  // of the rebuild asked for, or 0. base_ must be current.
  std::uint64_t LoadSearch(bool rebuild) REQUIRES(mu_, db_->mu) {
    auto r = base_.find(kCritRes);
    auto l = base_.find(kCritList);
    if (r == base_.end() || l == base_.end()) return 0;
    LPSRestriction res = nullptr;
    if (FAILED(DecodeRestriction(r->second.second, &res))) return 0;
    std::vector<int64_t> listed;
    void* root = nullptr;
    if (MAPIAllocateBuffer(sizeof(SPropValue), &root) == S_OK) {
      auto* v = static_cast<SPropValue*>(root);
      if (SUCCEEDED(DecodeProp(PROP_TAG(PT_MV_BINARY, kCritList), PT_MV_BINARY, l->second.second, root, *v)))
        for (ULONG i = 0; i < v->Value.MVbin.cValues; ++i) {
          const SBinary& b = v->Value.MVbin.lpbin[i];
          int64_t id = ParseEntryID(db_->uid, b.cb, reinterpret_cast<LPENTRYID>(b.lpb));
          if (id > 0) listed.push_back(id);
        }
      MAPIFreeBuffer(root);
    }
    ULONG state = static_cast<ULONG>(GetLong(base_, PROP_TAG(PT_LONG, kCritState)));
    return db_->searches.Set(id_, res, std::move(listed), (state & SEARCH_RECURSIVE) != 0,
                             (state & SEARCH_RUNNING) != 0, rebuild);
  }

  int64_t MessageHere(Conn& c, ULONG cb, LPENTRYID eid) {
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    return id >= 0 && IsChild(c, id, id_, Kind::kMessage) ? id : -1;
  }

  const int64_t id_, parent_;
  const bool writable_;
};

}  // namespace

HRESULT OpenObject(const std::shared_ptr<Db>& db, int64_t id, ULONG flags, ULONG* type, LPUNKNOWN* out) {
  Reader rd(*db);
  ObjectRow o;
  if (!FindObject(rd.c(), id, &o)) return MAPI_E_NOT_FOUND;
  bool w = (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0;
  if (o.kind == Kind::kFolder) {
    *type = MAPI_FOLDER;
    *out = static_cast<IMAPIFolder*>(new Folder(db, id, o.parent, w, LoadProps(rd.c(), id)));
    return S_OK;
  }
  if (o.kind == Kind::kMessage) {
    auto* m = new Message(db, id, o.parent, o.assoc, false, w);
    m->Load(rd.c());
    *type = MAPI_MESSAGE;
    *out = static_cast<IMessage*>(m);
    return S_OK;
  }
  return MAPI_E_NOT_FOUND;
}

HRESULT OpenEntryOf(const std::shared_ptr<Db>& db, int64_t self, ULONG cb, LPENTRYID eid, ULONG flags, ULONG* type,
                    LPUNKNOWN* out) {
  if (!type || !out) return MAPI_E_INVALID_PARAMETER;
  if (!eid) return OpenObject(db, self, flags, type, out);
  int64_t id = ParseEntryID(db->uid, cb, eid);
  if (id < 0) return MAPI_E_INVALID_ENTRYID;
  return OpenObject(db, id, flags, type, out);
}

}  // namespace vantrel::mapi::pst
