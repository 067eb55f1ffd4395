#include "platform/mapi/pst/PropObject.h"

namespace vantrel::mapi::pst {

bool IsComputedTag(ULONG id) {
  switch (id) {
    case PROP_ID(PR_ENTRYID):
    case PROP_ID(PR_OBJECT_TYPE):
    case PROP_ID(PR_RECORD_KEY):
    case PROP_ID(PR_PARENT_ENTRYID):
    case PROP_ID(PR_STORE_ENTRYID):
    case PROP_ID(PR_STORE_RECORD_KEY):
    case PROP_ID(PR_INSTANCE_KEY):
    case PROP_ID(PR_ACCESS):
    case PROP_ID(PR_ACCESS_LEVEL):
    case PROP_ID(PR_CONTENT_COUNT):
    case PROP_ID(PR_CONTENT_UNREAD):
    case PROP_ID(PR_SUBFOLDERS):
    case PROP_ID(PR_MESSAGE_SIZE):
    case PROP_ID(PR_ATTACH_SIZE):
    case PROP_ID(PR_HASATTACH):
    case PROP_ID(PR_STORE_SUPPORT_MASK):
    case PROP_ID(PR_IPM_SUBTREE_ENTRYID):
    case PROP_ID(PR_IPM_OUTBOX_ENTRYID):
    case PROP_ID(PR_IPM_WASTEBASKET_ENTRYID):
    case PROP_ID(PR_IPM_SENTMAIL_ENTRYID):
    case PROP_ID(PR_VALID_FOLDER_MASK):
    case PROP_ID(PR_MDB_PROVIDER):
    case PROP_ID(PR_ATTACH_NUM):
    case PROP_ID(PR_ROWID):
      return true;
  }
  return false;
}

HRESULT LastError(HRESULT hr, ULONG flags, LPMAPIERROR* out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
  void* m;
  if (MAPIAllocateBuffer(sizeof(MAPIERROR), &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* e = static_cast<MAPIERROR*>(m);
  std::memset(e, 0, sizeof(*e));
  e->ulVersion = MAPI_ERROR_VERSION;
  e->ulLowLevelError = static_cast<ULONG>(hr);
  std::string text = vantrel::CodeName(hr);
  std::string comp = "Personal Folders";
  auto dup = [&](const std::string& s, LPSTR* dst) {
    if (flags & MAPI_UNICODE) {
      std::u16string w = Utf8ToUtf16(s);
      void* p;
      MAPIAllocateMore(static_cast<ULONG>((w.size() + 1) * 2), m, &p);
      std::memcpy(p, w.c_str(), (w.size() + 1) * 2);
      *dst = static_cast<LPSTR>(p);
    } else {
      void* p;
      MAPIAllocateMore(static_cast<ULONG>(s.size() + 1), m, &p);
      std::memcpy(p, s.c_str(), s.size() + 1);
      *dst = static_cast<LPSTR>(p);
    }
  };
  dup(text, &e->lpszError);
  dup(comp, &e->lpszComponent);
  *out = e;
  return S_OK;
}

HRESULT ReportProblems(const std::vector<SPropProblem>& probs, LPSPropProblemArray* out) {
  if (!out || probs.empty()) return S_OK;
  void* m;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(probs.size())), &m))
    return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* p = static_cast<SPropProblemArray*>(m);
  p->cProblem = static_cast<ULONG>(probs.size());
  std::copy(probs.begin(), probs.end(), p->aProblem);
  *out = p;
  return S_OK;
}

HRESULT NamesFromIDs(Db& db, LPSPropTagArray* tags, LPGUID guid, ULONG* count, LPMAPINAMEID** names) {
  if (!tags || !count || !names) return MAPI_E_INVALID_PARAMETER;
  std::vector<ULONG> ids;
  Reader rd(db);
  if (*tags) {
    for (ULONG i = 0; i < (*tags)->cValues; ++i) ids.push_back(PROP_ID((*tags)->aulPropTag[i]));
  } else {
    ids = NameIds(rd.c());
  }
  void* root;
  if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * (ids.size() + 1)), &root))
    return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* arr = static_cast<LPMAPINAMEID*>(root);
  bool errors = false;
  for (size_t i = 0; i < ids.size(); ++i) {
    arr[i] = nullptr;
    Bytes g, n;
    ULONG kind = 0;
    if (NameOf(rd.c(), ids[i], g, kind, n)) {
      if (g.size() == 16 && (!guid || std::memcmp(guid, g.data(), 16) == 0)) {
        void* m;
        MAPIAllocateMore(sizeof(MAPINAMEID) + 16 + static_cast<ULONG>(n.size()) + 2, root, &m);
        auto* nm = static_cast<MAPINAMEID*>(m);
        auto* gp = reinterpret_cast<GUID*>(static_cast<BYTE*>(m) + sizeof(MAPINAMEID));
        std::memcpy(gp, g.data(), 16);
        nm->lpguid = gp;
        nm->ulKind = kind;
        if (kind == MNID_ID) {
          LONG v = 0;
          if (n.size() == 4) std::memcpy(&v, n.data(), 4);
          nm->Kind.lID = v;
        } else {
          auto* w = reinterpret_cast<char16_t*>(reinterpret_cast<BYTE*>(gp) + 16);
          std::memcpy(w, n.data(), n.size());
          w[n.size() / 2] = 0;
          nm->Kind.lpwstrName = w;
        }
        arr[i] = nm;
      }
    }
    if (!arr[i]) errors = true;
  }
  if (!*tags) {
    void* t;
    MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(ids.size() + 1)), &t);
    auto* ta = static_cast<SPropTagArray*>(t);
    ta->cValues = static_cast<ULONG>(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) ta->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, ids[i]);
    *tags = ta;
  }
  *count = static_cast<ULONG>(ids.size());
  *names = arr;
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

HRESULT IDsFromNames(Db& db, ULONG c, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out) {
  if (!out || (c && !names)) return MAPI_E_INVALID_PARAMETER;
  if (c == 0) return MAPI_E_NO_SUPPORT;  // listing every name is GetNamesFromIDs' job here
  if (flags & ~MAPI_CREATE) return MAPI_E_UNKNOWN_FLAGS;
  void* m;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(c)), &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* t = static_cast<SPropTagArray*>(m);
  t->cValues = c;
  bool errors = false;
  MutexLock dg(db.mu);
  Tx tx(db);
  for (ULONG i = 0; i < c; ++i) {
    const MAPINAMEID* n = names[i];
    t->aulPropTag[i] = PROP_TAG(PT_ERROR, 0);
    if (!n || !n->lpguid || (n->ulKind != MNID_ID && n->ulKind != MNID_STRING) ||
        (n->ulKind == MNID_STRING && !n->Kind.lpwstrName)) {
      errors = true;
      continue;
    }
    Bytes key;
    if (n->ulKind == MNID_ID) {
      key.resize(4);
      std::memcpy(key.data(), &n->Kind.lID, 4);
    } else {
      std::u16string w(n->Kind.lpwstrName);
      key.assign(reinterpret_cast<const BYTE*>(w.data()), reinterpret_cast<const BYTE*>(w.data()) + w.size() * 2);
    }
    ULONG id = FindName(db.W(), *n->lpguid, n->ulKind, key);
    if (!id && (flags & MAPI_CREATE)) id = CreateName(db, *n->lpguid, n->ulKind, key);
    if (id) {
      t->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, id);
    } else {
      errors = true;
    }
  }
  if (!tx.Commit()) {
    MAPIFreeBuffer(t);
    return MAPI_E_DISK_ERROR;
  }
  *out = t;
  return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

}  // namespace vantrel::mapi::pst
