#include "tools/zelmapi/Mailbox.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "platform/base/HResult.h"
#include "platform/mapi/MapiSession.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"
#include "tools/zelmapi/Text.h"

using vantrel::ComPtr;

namespace zelmapi {

void Check(HRESULT hr, const std::string& what, const std::string& hint) {
  if (SUCCEEDED(hr)) return;
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", static_cast<unsigned>(hr));
  // Codes without a name (a network status, say) show as their number.
  const char* name = vantrel::CodeName(hr);
  throw Failure(what + ": " + (name ? std::string(name) + " (" + code + ")" : std::string(code)) +
                (hint.empty() ? "" : "; " + hint));
}

Mailbox::Mailbox(const Options& o) : profile_(o.profile), wanted_store_(o.store) {
  std::string password;
  if (o.password_stdin) std::getline(std::cin, password);
  ULONG flags = MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL;
  if (profile_.empty()) flags |= MAPI_USE_DEFAULT;
  Check(MAPILogonEx(0, profile_.empty() ? nullptr : const_cast<char*>(profile_.c_str()),
                    const_cast<char*>(password.c_str()), flags, session_.Out()),
        "cannot log on to profile '" + (profile_.empty() ? std::string("(default)") : profile_) + "'",
        "check the name with 'mapiprof list' or pass -p PROFILE");
  if (profile_.empty()) profile_ = "(default)";
}

Mailbox::~Mailbox() {
  store_.Reset();
  if (session_) session_->Logoff(0, 0, 0);
}

std::vector<StoreInfo> Mailbox::Stores() {
  ComPtr<IMAPITable> table;
  Check(session_->GetMsgStoresTable(0, table.Out()), "cannot read the stores of the profile");
  std::vector<StoreInfo> out;
  ForEachRow(table.get(), {PR_DISPLAY_NAME, PR_ENTRYID, PR_DEFAULT_STORE}, "cannot read the stores of the profile",
             [&](const SPropValue* v) {
               StoreInfo s;
               if (PROP_TYPE(v[0].ulPropTag) == PT_STRING8) s.name = FromCp1252(v[0].Value.lpszA);
               if (PROP_TYPE(v[1].ulPropTag) == PT_BINARY)
                 s.entryid.assign(reinterpret_cast<const char*>(v[1].Value.bin.lpb), v[1].Value.bin.cb);
               s.is_default = PROP_TYPE(v[2].ulPropTag) == PT_BOOLEAN && v[2].Value.b;
               out.push_back(s);
             });
  return out;
}

void ForEachRow(IMAPITable* table, std::initializer_list<ULONG> tags, const std::string& what,
                const std::function<void(const SPropValue*)>& row) {
  std::vector<BYTE> buf(CbNewSPropTagArray(tags.size()));
  auto* cols = reinterpret_cast<SPropTagArray*>(buf.data());
  cols->cValues = static_cast<ULONG>(tags.size());
  std::copy(tags.begin(), tags.end(), cols->aulPropTag);
  LPSRowSet rows = nullptr;
  Check(HrQueryAllRows(table, cols, nullptr, nullptr, 0, &rows), what);
  for (ULONG i = 0; i < rows->cRows; ++i) row(rows->aRow[i].lpProps);
  FreeProws(rows);
}

void Mailbox::OpenStore() {
  std::vector<StoreInfo> stores = Stores();
  const StoreInfo* pick = nullptr;
  for (const StoreInfo& s : stores)
    if (wanted_store_.empty() ? s.is_default : s.name == wanted_store_) pick = &s;
  if (!pick && wanted_store_.empty() && !stores.empty()) pick = &stores[0];
  if (!pick)
    throw Failure(wanted_store_.empty() ? "profile '" + profile_ + "' has no store; add one with mapiprof"
                                        : "no store '" + wanted_store_ + "' in profile '" + profile_ +
                                              "'; see 'zelmapi store list'");
  store_name_ = pick->name;
  Check(session_->OpenMsgStore(0, static_cast<ULONG>(pick->entryid.size()),
                               reinterpret_cast<LPENTRYID>(const_cast<char*>(pick->entryid.data())), nullptr,
                               MAPI_BEST_ACCESS, store_.Out()),
        "cannot open store '" + store_name_ + "'", "check that its server runs and the profile's settings");
}

ComPtr<IMAPIFolder> Mailbox::OpenFolderId(const std::string& id) {
  ULONG type = 0;
  ComPtr<IUnknown> obj;
  Check(store_->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(id.data())),
                          nullptr, MAPI_BEST_ACCESS, &type, obj.Out()),
        "cannot open a folder of '" + store_name_ + "'");
  ComPtr<IMAPIFolder> f;
  f.Attach(static_cast<IMAPIFolder*>(obj.Detach()));
  return f;
}

ComPtr<IMAPIFolder> Mailbox::Root() {
  LPSPropValue ipm = nullptr;
  Check(HrGetOneProp(store_.get(), PR_IPM_SUBTREE_ENTRYID, &ipm), "store '" + store_name_ + "' has no folder tree");
  std::string id(reinterpret_cast<const char*>(ipm->Value.bin.lpb), ipm->Value.bin.cb);
  MAPIFreeBuffer(ipm);
  return OpenFolderId(id);
}

ComPtr<IMAPIFolder> Mailbox::Folder(const std::string& path) {
  ComPtr<IMAPIFolder> folder = Root();
  std::string walked;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    start = slash == std::string::npos ? path.size() + 1 : slash + 1;
    if (part.empty()) continue;
    walked += (walked.empty() ? "" : "/") + part;
    ComPtr<IMAPITable> table;
    Check(folder->GetHierarchyTable(0, table.Out()), "cannot read the subfolders of '" + walked + "'");
    SizedSPropTagArray<2> cols;
    cols.aulPropTag[0] = PR_DISPLAY_NAME;
    cols.aulPropTag[1] = PR_ENTRYID;
    LPSRowSet rows = nullptr;
    Check(HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, &rows), "cannot read the folders");
    std::string id;
    for (ULONG i = 0; i < rows->cRows && id.empty(); ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      if (PROP_TYPE(v[0].ulPropTag) == PT_STRING8 && FromCp1252(v[0].Value.lpszA) == part &&
          PROP_TYPE(v[1].ulPropTag) == PT_BINARY)
        id.assign(reinterpret_cast<const char*>(v[1].Value.bin.lpb), v[1].Value.bin.cb);
    }
    FreeProws(rows);
    if (id.empty()) throw Failure("no folder '" + walked + "' in '" + store_name_ + "'; see 'zelmapi folder tree'");
    folder = OpenFolderId(id);
  }
  return folder;
}

std::string Mailbox::FolderEntryId(const std::string& path) {
  ComPtr<IMAPIFolder> f = Folder(path);
  LPSPropValue v = nullptr;
  Check(HrGetOneProp(f.get(), PR_ENTRYID, &v), "cannot read the entry ID of '" + path + "'");
  std::string id(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb);
  MAPIFreeBuffer(v);
  return id;
}

ComPtr<IMessage> Mailbox::Message(const std::string& hex, bool write) {
  std::string id;
  if (!Unhex(hex, &id)) throw Failure("'" + hex + "' is not an entry ID in hex");
  ULONG type = 0;
  ComPtr<IUnknown> obj;
  Check(store_->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                          write ? MAPI_MODIFY : MAPI_BEST_ACCESS, &type, obj.Out()),
        "cannot open message " + hex, "run 'zelmapi list' again; it may have moved");
  if (type != MAPI_MESSAGE) throw Failure(hex + " is not a message");
  ComPtr<IMessage> m;
  m.Attach(static_cast<IMessage*>(obj.Detach()));
  return m;
}

}  // namespace zelmapi
