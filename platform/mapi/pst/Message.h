// Messages and their attachments. A message is transacted: changes, with
// its attachments and recipients, reach the file in one transaction on
// SaveChanges. An attachment's SaveChanges lands in its message. A message
// inside an attachment is kept as one image (EncodeMessage) in the
// attachment's PR_ATTACH_DATA_OBJ.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <vector>

#include "platform/base/SystemInfo.h"
#include "platform/mapi/TableData.h"
#include "platform/mapi/pst/EntryId.h"
#include "platform/mapi/pst/PropObject.h"
#include "platform/mapi/pst/TableUpkeep.h"

namespace vantrel::mapi::pst {

class Message;

// An embedded message as bytes: its values, its attachments by number, its
// recipients in row order.
Bytes EncodeMessage(const PropMap& props, const std::map<ULONG, PropMap>& attach, const std::vector<PropMap>& recips);
// Reads what EncodeMessage wrote; every count is checked against the bytes
// left. A damaged image yields what was read before the damage.
bool DecodeMessage(const Bytes& image, PropMap& props, std::map<ULONG, PropMap>& attach, std::vector<PropMap>& recips);

// The size the store gives an object: its values, each with a small
// overhead, leaving out the values it computes.
uint64_t SizeOf(const PropMap& m);
inline LONG ClampSize(uint64_t n) { return static_cast<LONG>(std::min<uint64_t>(n, 0x7fffffff)); }

class Attach final : public PropObject<IAttach> {
 public:
  Attach(std::shared_ptr<Db> db, vantrel::ComPtr<Message> msg, ULONG num, PropMap props, bool writable)
      : PropObject(std::move(db)), msg_(std::move(msg)), num_(num), writable_(writable) {
    base_ = std::move(props);
  }
  HRESULT SaveChanges(ULONG flags) override;
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override;
  void Staged(int64_t blob) override;

 protected:
  void Computed(PropMap& all) override REQUIRES(mu_) {
    PutLong(all, PR_ATTACH_SIZE, ClampSize(SizeOf(all)));
    PutLong(all, PR_OBJECT_TYPE, MAPI_ATTACH);
    PutLong(all, PR_ATTACH_NUM, static_cast<LONG>(num_));
    Bytes key(4);
    std::memcpy(key.data(), &num_, 4);
    PutBin(all, PR_RECORD_KEY, key);
    PutBin(all, PR_INSTANCE_KEY, key);
  }
  bool Writable() override { return writable_; }
  bool Chunked() override;

 private:
  const vantrel::ComPtr<Message> msg_;
  const ULONG num_;
  const bool writable_;
};

class Message final : public PropObject<IMessage> {
  friend class Attach;

 public:
  Message(std::shared_ptr<Db> db, int64_t id, int64_t parent, bool assoc, bool is_new, bool writable)
      : PropObject(std::move(db)), id_(id), parent_(parent), assoc_(assoc), new_(is_new), writable_(writable) {}

  // Loads the saved message with its attachments and recipients, inside
  // one read transaction on `c`.
  void Load(Conn& c) {
    MutexLock g(mu_);
    base_ = LoadProps(c, id_);
    // Sorted here rather than by SQLite: most messages have no children,
    // and the parent index alone answers that at once.
    std::vector<std::pair<int64_t, int64_t>> rows;  // recipients by row number
    for (const ObjectRow& o : Children(c, id_)) {
      if (o.kind == Kind::kAttachment)
        attach_[static_cast<ULONG>(o.num)] = LoadProps(c, o.id);
      else
        rows.emplace_back(o.num, o.id);
    }
    std::sort(rows.begin(), rows.end());
    for (const auto& [num, rid] : rows) recips_.push_back(LoadProps(c, rid));
    next_attach_ = attach_.empty() ? 0 : attach_.rbegin()->first + 1;
  }

  // An embedded message: it lives in `image` (see EncodeMessage) and its
  // SaveChanges hands the new image to `save` instead of the file.
  void Embed(const Bytes& image, std::function<HRESULT(Bytes)> save) {
    MutexLock g(mu_);
    embed_save_ = std::move(save);
    if (!image.empty()) DecodeMessage(image, base_, attach_, recips_);
    next_attach_ = attach_.empty() ? 0 : attach_.rbegin()->first + 1;
  }

  HRESULT SaveChanges(ULONG flags) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (flags & ~(KEEP_OPEN_READONLY | KEEP_OPEN_READWRITE | FORCE_SAVE | MAPI_DEFERRED_ERRORS))
      return MAPI_E_UNKNOWN_FLAGS;
    MutexLock g(mu_);
    PropMap next = base_;
    for (ULONG id : deleted_) next.erase(id);
    for (const auto& [id, v] : pending_) next[id] = v;
    if (!next.count(PROP_ID(PR_CREATION_TIME))) PutTime(next, PR_CREATION_TIME);
    PutTime(next, PR_LAST_MODIFICATION_TIME);
    if (!next.count(PROP_ID(PR_MESSAGE_FLAGS))) SetLong(next, PR_MESSAGE_FLAGS, MSGFLAG_UNSENT);
    Derive(next);
    if (embed_save_) {
      HRESULT hr = embed_save_(EncodeMessage(next, attach_, recips_));
      if (FAILED(hr)) return hr;
      Saved(std::move(next), flags);
      return S_OK;
    }
    MutexLock dg(db_->mu);
    ObjectRow was;
    if (!new_ && !FindObject(db_->W(), id_, &was)) return MAPI_E_OBJECT_DELETED;
    if (!IsKind(db_->W(), parent_, Kind::kFolder)) return MAPI_E_OBJECT_DELETED;
    // The message, its attachments and its recipients in one transaction.
    Tx tx(*db_);
    bool ok = tx.ok() && DeleteTree(*db_, id_) && InsertObject(*db_, id_, parent_, Kind::kMessage, assoc_, 0) &&
              SaveProps(*db_, id_, next);
    for (const auto& [num, m] : attach_) {
      int64_t aid = NextId(*db_);
      ok = ok && aid && InsertObject(*db_, aid, id_, Kind::kAttachment, false, num) && SaveProps(*db_, aid, m);
    }
    LONG row = 0;
    for (const auto& m : recips_) {
      int64_t rid = NextId(*db_);
      ok = ok && rid && InsertObject(*db_, rid, id_, Kind::kRecipient, false, row++) && SaveProps(*db_, rid, m);
    }
    tx.Row(parent_, id_);
    tx.Event(new_ ? fnevObjectCreated : fnevObjectModified, id_, parent_, MAPI_MESSAGE);
    if (!ok || !tx.Commit()) return MAPI_E_DISK_ERROR;
    Saved(std::move(next), flags);
    return S_OK;
  }

  HRESULT GetAttachmentTable(ULONG flags, LPMAPITABLE* out) override { return ChildTable(true, flags, out); }
  HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* out) override { return ChildTable(false, flags, out); }

  HRESULT OpenAttach(ULONG num, LPCIID, ULONG flags, LPATTACH* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    MutexLock g(mu_);
    auto it = attach_.find(num);
    if (it == attach_.end()) return MAPI_E_NOT_FOUND;
    bool w = (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) && writable_;
    if ((flags & MAPI_MODIFY) && !writable_) return MAPI_E_NO_ACCESS;
    *out = new Attach(db_, vantrel::ComPtr<Message>(this), num, it->second, w);
    return S_OK;
  }

  HRESULT CreateAttach(LPCIID, ULONG, ULONG* num, LPATTACH* out) override {
    if (!num || !out) return MAPI_E_INVALID_PARAMETER;
    if (!writable_) return MAPI_E_NO_ACCESS;
    MutexLock g(mu_);
    *num = next_attach_++;
    *out = new Attach(db_, vantrel::ComPtr<Message>(this), *num, {}, true);
    return S_OK;
  }

  HRESULT DeleteAttach(ULONG num, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    MutexLock g(mu_);
    if (!attach_.erase(num)) return MAPI_E_NOT_FOUND;
    AttachRow(num);
    return S_OK;
  }

  HRESULT ModifyRecipients(ULONG flags, LPADRLIST mods) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (flags & ~(MODRECIP_ADD | MODRECIP_MODIFY | MODRECIP_REMOVE)) return MAPI_E_UNKNOWN_FLAGS;
    if (!mods) return MAPI_E_INVALID_PARAMETER;
    MutexLock g(mu_);
    std::vector<PropMap> next = flags == 0 ? std::vector<PropMap>{} : recips_;
    for (ULONG i = 0; i < mods->cEntries; ++i) {
      const ADRENTRY& e = mods->aEntries[i];
      PropMap m;
      LONG rowid = -1;
      for (ULONG j = 0; j < e.cValues; ++j) {
        const SPropValue& v = e.rgPropVals[j];
        if (PROP_ID(v.ulPropTag) == PROP_ID(PR_ROWID)) {
          rowid = v.Value.l;
          continue;
        }
        if (PROP_TYPE(v.ulPropTag) == PT_ERROR || PROP_TYPE(v.ulPropTag) == PT_NULL) continue;
        auto enc = EncodeProp(v);
        if (!enc) return MAPI_E_INVALID_PARAMETER;
        m[PROP_ID(v.ulPropTag)] = {StoredType(PROP_TYPE(v.ulPropTag)), std::move(*enc)};
      }
      if (flags & (MODRECIP_MODIFY | MODRECIP_REMOVE)) {
        if (rowid < 0 || static_cast<size_t>(rowid) >= next.size()) return MAPI_E_NOT_FOUND;
        if (flags & MODRECIP_REMOVE)
          next[rowid].clear();  // emptied now, dropped below so row ids hold
        else
          next[rowid] = std::move(m);
      } else {
        next.push_back(std::move(m));
      }
    }
    recips_.clear();
    for (auto& m : next)
      if (!m.empty()) recips_.push_back(std::move(m));
    RecipRows();
    return S_OK;
  }

  HRESULT SubmitMessage(ULONG) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    {
      MutexLock g(mu_);
      if (recips_.empty()) return MAPI_E_NO_RECIPIENTS;
      PropMap all = Snapshot();
      SetLong(pending_, PR_MESSAGE_FLAGS, (GetLong(all, PR_MESSAGE_FLAGS) | MSGFLAG_SUBMIT) & ~MSGFLAG_UNSENT);
    }
    return SaveChanges(0);
  }

  HRESULT SetReadFlag(ULONG flags) override {
    if (flags & ~(CLEAR_READ_FLAG | SUPPRESS_RECEIPT | MAPI_DEFERRED_ERRORS | GENERATE_RECEIPT_ONLY | CLEAR_RN_PENDING |
                  CLEAR_NRN_PENDING))
      return MAPI_E_UNKNOWN_FLAGS;
    if ((flags & CLEAR_READ_FLAG) && (flags & (SUPPRESS_RECEIPT | GENERATE_RECEIPT_ONLY)))
      return MAPI_E_INVALID_PARAMETER;
    MutexLock g(mu_);
    PropMap all = Snapshot();
    LONG f = GetLong(all, PR_MESSAGE_FLAGS);
    if (!(flags & GENERATE_RECEIPT_ONLY)) f = (flags & CLEAR_READ_FLAG) ? (f & ~MSGFLAG_READ) : (f | MSGFLAG_READ);
    SetLong(pending_, PR_MESSAGE_FLAGS, f);
    // The read state reaches the stored message at once, not only with SaveChanges.
    if (!new_) {
      MutexLock dg(db_->mu);
      Bytes b(4);
      std::memcpy(b.data(), &f, 4);
      Tx tx(*db_);
      bool ok = tx.ok() && PutProp(*db_, id_, PROP_ID(PR_MESSAGE_FLAGS), PT_LONG, b);
      tx.Row(parent_, id_);
      tx.Event(fnevObjectModified, id_, parent_, MAPI_MESSAGE);
      if (!ok || !tx.Commit()) return MAPI_E_DISK_ERROR;
      SetLong(base_, PR_MESSAGE_FLAGS, f);
    }
    return S_OK;
  }

  // An attachment's SaveChanges lands in the message's pending state.
  void PutAttach(ULONG num, PropMap m) {
    SetLong(m, PR_ATTACH_SIZE, ClampSize(SizeOf(m)));
    MutexLock g(mu_);
    attach_[num] = std::move(m);
    AttachRow(num);
  }

 protected:
  void Computed(PropMap& all) override REQUIRES(mu_) {
    PutLong(all, PR_OBJECT_TYPE, MAPI_MESSAGE);
    if (!embed_save_) {  // an embedded message has no entry ID of its own
      Bytes eid = MakeEntryID(db_->uid, id_);
      PutBin(all, PR_ENTRYID, eid);
      PutBin(all, PR_RECORD_KEY, eid);
      PutBin(all, PR_INSTANCE_KEY, eid);
      PutBin(all, PR_PARENT_ENTRYID, MakeEntryID(db_->uid, parent_));
    }
    PutBin(all, PR_STORE_ENTRYID, StoreEntryID(db_->path));
    PutBin(all, PR_STORE_RECORD_KEY, Bytes(db_->uid.ab, db_->uid.ab + 16));
    LONG f = GetLong(all, PR_MESSAGE_FLAGS, MSGFLAG_UNSENT);
    f = attach_.empty() ? (f & ~MSGFLAG_HASATTACH) : (f | MSGFLAG_HASATTACH);
    if (assoc_) f |= MSGFLAG_ASSOCIATED;
    if (new_) f |= MSGFLAG_UNMODIFIED;
    PutLong(all, PR_MESSAGE_FLAGS, f);
    PutBool(all, PR_HASATTACH, !attach_.empty());
    PutLong(all, PR_MESSAGE_SIZE, ClampSize(MessageSize(all)));
    PutLong(all, PR_ACCESS_LEVEL, writable_ ? 1 : 0);
  }
  uint64_t MessageSize(const PropMap& props) REQUIRES(mu_) {
    uint64_t size = SizeOf(props);
    for (const auto& [n, m] : attach_) size += SizeOf(m);
    for (const auto& m : recips_) size += SizeOf(m);
    return size;
  }
  // The values the store derives from a message are kept with it on
  // save, whoever wrote it, so that its table rows carry them too: the
  // size of the message and of each attachment, and whether it has any.
  void Derive(PropMap& next) REQUIRES(mu_) {
    for (auto& [n, m] : attach_) SetLong(m, PR_ATTACH_SIZE, ClampSize(SizeOf(m)));
    LONG f = GetLong(next, PR_MESSAGE_FLAGS);
    SetLong(next, PR_MESSAGE_FLAGS, attach_.empty() ? (f & ~MSGFLAG_HASATTACH) : (f | MSGFLAG_HASATTACH));
    PutBool(next, PR_HASATTACH, !attach_.empty());
    SetLong(next, PR_MESSAGE_SIZE, ClampSize(MessageSize(next)));
  }
  bool Shadowed(ULONG id) const override { return id == PROP_ID(PR_MESSAGE_FLAGS) || IsComputedTag(id); }
  bool Writable() override { return writable_; }
  bool Chunked() override { return !embed_save_; }
  static void PutTime(PropMap& m, ULONG tag) {
    FILETIME ft = CurrentFileTime();
    Bytes b(8);
    std::memcpy(b.data(), &ft, 8);
    m[PROP_ID(tag)] = {PT_SYSTIME, b};
  }

 private:
  const int64_t id_, parent_;
  const bool assoc_;
  bool new_ GUARDED_BY(mu_);
  std::atomic<bool> writable_;                       // cleared by KEEP_OPEN_READONLY
  std::map<ULONG, PropMap> attach_ GUARDED_BY(mu_);  // by attachment number
  std::vector<PropMap> recips_ GUARDED_BY(mu_);      // by row id
  ULONG next_attach_ GUARDED_BY(mu_) = 0;
  // Set by Embed before the message is handed out.
  std::function<HRESULT(Bytes)> embed_save_;
  // Open attachment and recipient tables, 8-bit and Unicode, kept current.
  vantrel::ComPtr<IMAPITableData> attach_table_[2] GUARDED_BY(mu_), recip_table_[2] GUARDED_BY(mu_);

  // The values just saved become the message's own.
  void Saved(PropMap next, ULONG flags) REQUIRES(mu_) {
    base_ = std::move(next);
    pending_.clear();
    deleted_.clear();
    new_ = false;
    if (flags & KEEP_OPEN_READONLY) writable_ = false;
  }

  // A view of the attachment or recipient table in the width asked for;
  // the table is made and filled on first use.
  HRESULT ChildTable(bool attachments, ULONG flags, LPMAPITABLE* out) EXCLUDES(mu_) {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
    MutexLock g(mu_);
    auto& table = (attachments ? attach_table_ : recip_table_)[(flags & MAPI_UNICODE) ? 1 : 0];
    if (!table) {
      LPTABLEDATA td = nullptr;
      if (HRESULT hr = NewTableData(&td); FAILED(hr)) return hr;
      table = vantrel::ComPtr<IMAPITableData>::Adopt(td);
      if (attachments) {
        for (const auto& [num, m] : attach_) AttachRow(num);
      } else {
        RecipRows();
      }
    }
    return table->HrGetView(nullptr, nullptr, 0, out);
  }

  void AttachRow(ULONG num) REQUIRES(mu_) {
    Bytes key(4);
    std::memcpy(key.data(), &num, 4);
    auto it = attach_.find(num);
    for (int w = 0; w < 2; ++w) {
      if (!attach_table_[w]) continue;
      if (it == attach_.end()) {
        SPropValue k{};
        k.ulPropTag = PR_INSTANCE_KEY;
        k.Value.bin = {4, key.data()};
        attach_table_[w]->HrDeleteRow(&k);
        continue;
      }
      PropMap x;
      x[PROP_ID(PR_INSTANCE_KEY)] = {PT_BINARY, key};
      x[PROP_ID(PR_RECORD_KEY)] = {PT_BINARY, key};
      SetLong(x, PR_ATTACH_NUM, static_cast<LONG>(num));
      SetLong(x, PR_OBJECT_TYPE, MAPI_ATTACH);
      SRow row;
      if (SUCCEEDED(BuildRow(it->second, x, w == 1, row))) {
        attach_table_[w]->HrModifyRow(&row);
        MAPIFreeBuffer(row.lpProps);
      }
    }
  }
  void RecipRows() REQUIRES(mu_) {
    for (int w = 0; w < 2; ++w) {
      if (!recip_table_[w]) continue;
      recip_table_[w]->HrModifyRows(TAD_ALL_ROWS, nullptr);
      for (size_t i = 0; i < recips_.size(); ++i) {
        PropMap x;
        LONG rowid = static_cast<LONG>(i);
        Bytes key(4);
        std::memcpy(key.data(), &rowid, 4);
        x[PROP_ID(PR_INSTANCE_KEY)] = {PT_BINARY, key};
        SetLong(x, PR_ROWID, rowid);
        SetLong(x, PR_OBJECT_TYPE, MAPI_MAILUSER);
        SRow row;
        if (SUCCEEDED(BuildRow(recips_[i], x, w == 1, row))) {
          recip_table_[w]->HrModifyRow(&row);
          MAPIFreeBuffer(row.lpProps);
        }
      }
    }
  }
};

}  // namespace vantrel::mapi::pst
