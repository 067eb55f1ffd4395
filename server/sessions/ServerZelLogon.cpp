#include "server/sessions/ServerZelLogon.h"

#include <cstring>

#include "Libraries/MapiWrapper/TableHelpers.h"
#include "platform/mapi/MapiSession.h"
#include "server/dispatch/ServerTrace.h"
#include "server/sessions/UserABContainer.h"

namespace vantrel::server {
namespace {

using vantrel::mapiwrapper::QueryAllRows;

const char* RowText(const CRow& row, ULONG index) {
  CPropValue v = row.Value(index);
  return v.Present() && v.Type() == PT_STRING8 && v->Value.lpszA ? v->Value.lpszA : nullptr;
}

// The text handed back by QueryProfiles and QueryInfoStores: the entries
// and the NUL, which counts in the length.
std::int32_t TextBlock(CServerClasses& registry, std::int32_t session, const std::string& text,
                       zel::wire::Inline::Value& inline_area, std::int32_t& cb) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  return registry.MakeResultBlock(session, std::move(data), inline_area, cb);
}

}  // namespace

// ---- connections ----

ServerConnection::~ServerConnection() {
  try {
    store.Reset();
  } catch (...) {
  }
  try {
    if (session) session->Logoff(0, 0, 0);
    session.Reset();
  } catch (...) {
  }
}

void ServerConnection::WaitOpened() {
  MutexLock l(lock_);
  while (!opened_) opened_cv_.Wait(l);
}

void ServerConnection::MarkOpened() {
  MutexLock l(lock_);
  opened_ = true;
  opened_cv_.NotifyAll();
}

std::string CConnectionTable::Key(const std::string& profile, const std::string& store) {
  return "<" + profile + "><" + store + ">";
}

std::shared_ptr<ServerConnection> CConnectionTable::Join(const std::string& key, bool* created) {
  MutexLock l(lock_);
  auto it = entries_.find(key);
  if (it != entries_.end()) {
    ++it->second->sharers;
    *created = false;
    return it->second;
  }
  auto entry = std::make_shared<ServerConnection>(key);
  entries_.emplace(key, entry);
  *created = true;
  return entry;
}

void CConnectionTable::Leave(const std::shared_ptr<ServerConnection>& entry) {
  MutexLock l(lock_);
  auto it = entries_.find(entry->key);
  if (it == entries_.end() || it->second != entry) return;
  if (--entry->sharers < 0) entries_.erase(it);
}

std::shared_ptr<ServerConnection> CConnectionTable::Find(const std::string& key) {
  MutexLock l(lock_);
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : it->second;
}

size_t CConnectionTable::Size() {
  MutexLock l(lock_);
  return entries_.size();
}

// ---- context ----

CLogonContext::CLogonContext(CServerClasses& registry) : registry(registry) {}

CLogonContext::~CLogonContext() {
  Detach();
}

void CLogonContext::Attach(CUserABContainer* directory, HWND window) {
  if (directory) directory->AddRef();
  CUserABContainer* old;
  {
    MutexLock l(lock_);
    old = std::exchange(directory_, directory);
    window_ = window;
  }
  if (old) old->Release();
}

void CLogonContext::Detach() {
  CUserABContainer* old;
  {
    MutexLock l(lock_);
    old = std::exchange(directory_, nullptr);
    window_ = nullptr;
  }
  if (old) old->Release();
}

std::shared_ptr<CServerClass> CLogonContext::MakeSession() {
  return std::make_shared<CServerZelLogon>(*this);
}

bool CLogonContext::CheckUser(const std::string& user, const std::string& password, UserRights* rights) {
  CUserABContainer* directory;
  {
    MutexLock l(lock_);
    directory = directory_;
    if (directory) directory->AddRef();
  }
  if (!directory) return false;
  bool ok = ::CheckUser(*directory, user, password, rights);
  directory->Release();
  return ok;
}

HWND CLogonContext::Window() {
  MutexLock l(lock_);
  return window_;
}

// ---- store classes and visibility ----

int StoreClass(const SPropValue& value) {
  struct Known {
    BYTE uid[16];
    int store_class;
  };
  static const Known kKnown[] = {
      {{0x7B, 0xE3, 0xC3, 0x80, 0x5B, 0x0A, 0x11, 0xCE, 0xB4, 0xE1, 0x00, 0xAA, 0x00, 0x51, 0x0E, 0x3B}, 4},
      {{0x54, 0x94, 0xA1, 0xC0, 0x29, 0x7F, 0x10, 0x1B, 0xA5, 0x87, 0x08, 0x00, 0x2B, 0x2A, 0x25, 0x17}, 2},
      {{0x9E, 0xB4, 0x77, 0x00, 0x74, 0xE4, 0x11, 0xCE, 0x8C, 0x5E, 0x00, 0xAA, 0x00, 0x42, 0x54, 0xE2}, 2},
      {{0x78, 0xB2, 0xFA, 0x70, 0xAF, 0xF7, 0x11, 0xCD, 0x9B, 0xC8, 0x00, 0xAA, 0x00, 0x2F, 0xC4, 0x5A}, 3},
  };
  if (value.ulPropTag != PR_MDB_PROVIDER) return 0;
  const SBinary& bin = value.Value.bin;
  for (const Known& k : kKnown)
    if (bin.cb == 16 && bin.lpb && std::memcmp(bin.lpb, k.uid, 16) == 0) return k.store_class;
  return 1;
}

bool ProfileVisible(const std::string& profile, const std::string& own_mailbox, bool all_profiles,
                    const std::vector<std::string>& allowed) {
  if (profile.starts_with("mailbox_")) return profile == own_mailbox;
  if (all_profiles) return true;
  for (const std::string& name : allowed)
    if (name == profile) return true;
  return false;
}

// ---- the session ----

CServerZelLogon::CServerZelLogon(CLogonContext& context) : CServerClass(kZelLogon), context_(context) {
  last_activity.store(context.registry.Now());
  queue_.Stamp(context.registry.Now());
  // Without profile administration QueryProfiles answers 1.
  if (FAILED(MAPIAdminProfiles(0, prof_admin_.Out()))) prof_admin_.Reset();
}

CServerZelLogon::~CServerZelLogon() {
  try {
    Destroy();
  } catch (...) {
  }
}

void CServerZelLogon::Destroy() {
  ReleaseConnection();
  ComPtr<IProfAdmin> admin;
  {
    MutexLock l(lock);
    mapi_session_ = nullptr;
    admin = std::move(prof_admin_);
  }
}

void CServerZelLogon::ReleaseConnection() {
  std::shared_ptr<ServerConnection> entry;
  {
    MutexLock l(lock);
    entry = std::move(connection_);
  }
  // Only the entry this session joined: a session whose logon never got
  // that far leaves every count alone.
  if (entry) context_.connections.Leave(entry);
}

std::string CServerZelLogon::UserName() const {
  MutexLock l(lock);
  return user_name_;
}

std::string CServerZelLogon::Workstation() const {
  MutexLock l(lock);
  return workstation_;
}

std::int32_t CServerZelLogon::StoreHandle() const {
  MutexLock l(lock);
  return store_handle_;
}

std::shared_ptr<ServerConnection> CServerZelLogon::Connection() const {
  MutexLock l(lock);
  return connection_;
}

HRESULT CServerZelLogon::Tarnix_Logon(const zel::Tarnix_Logon::Request& in, zel::Tarnix_Logon::Reply&) {
  ServerTrace("Logon %s %s", in.profile.c_str(), in.userName.c_str());
  {
    MutexLock l(lock);
    user_name_ = in.userName;
    password_ = in.password;
    workstation_ = in.workstation;
  }
  UserRights rights;
  if (!context_.CheckUser(in.userName, in.password, &rights)) return MAPI_E_INVALID_WORKSTATION_ACCOUNT;
  {
    MutexLock l(lock);
    all_profiles_ = rights.all_profiles;
    allowed_profiles_ = rights.profiles;
  }
  ServerTrace("Logging on");
  {
    MutexLock l(lock);
    mapi_session_ = nullptr;
    store_handle_ = 0;
  }
  // A connection that cannot be opened leaves a session without a store.
  OpenConnection(in.profile, in.storeName, in.password);
  {
    MutexLock l(lock);
    profile_name_ = in.profile;
    store_name_ = in.storeName;
  }
  return 0;
}

HRESULT CServerZelLogon::Tarnix_AdminLogon(const zel::Tarnix_AdminLogon::Request& in,
                                           zel::Tarnix_AdminLogon::Reply&) {
  UserRights rights;
  if (!context_.CheckUser(in.userName, in.password, &rights)) return MAPI_E_INVALID_WORKSTATION_ACCOUNT;
  MutexLock l(lock);
  user_name_ = in.userName;
  password_ = in.password;
  workstation_ = in.workstation;
  all_profiles_ = rights.all_profiles;
  allowed_profiles_ = rights.profiles;
  return 0;
}

std::int32_t CServerZelLogon::MakeStoreObject(IMsgStore* store, const std::string& name,
                                              std::shared_ptr<CServerClass>* object) {
  std::shared_ptr<CServerClass> made;
  std::int32_t h = context_.registry.CreateObject(static_cast<std::int32_t>(MAPI_STORE), nullptr, shared_from_this(),
                                                  store, handle.load(), name.c_str(), &made);
  if (made) {
    MutexLock l(made->lock);
    made->store = made;  // a store is reached through itself
  }
  *object = made;
  return made ? h : 0;
}

HRESULT CServerZelLogon::OpenConnection(const std::string& profile, const std::string& store,
                                        const std::string& password) {
  bool created = false;
  std::shared_ptr<ServerConnection> entry = context_.connections.Join(CConnectionTable::Key(profile, store), &created);
  {
    MutexLock l(lock);
    connection_ = entry;
  }
  if (!created) {
    entry->WaitOpened();
    std::shared_ptr<CServerClass> object;
    std::int32_t h = entry->store ? MakeStoreObject(entry->store.get(), store, &object) : 0;
    MutexLock l(lock);
    mapi_session_ = entry->session.get();
    store_handle_ = h;
    store_object_ = object;
    return 0;
  }
  HRESULT hr = MAPI_E_NO_SUPPORT;
  try {
    hr = OpenNewConnection(*entry, profile, store, password);
  } catch (...) {
    entry->MarkOpened();
    throw;
  }
  entry->MarkOpened();
  return hr;
}

HRESULT CServerZelLogon::OpenNewConnection(ServerConnection& entry, const std::string& profile,
                                           const std::string& store, const std::string& password) {
  HWND window = context_.Window();
  if (!window) return MAPI_E_NO_SUPPORT;
  std::string profile_arg = profile, password_arg = password;
  LogonRequest request;
  request.profile = profile_arg.data();
  request.password = password_arg.data();
  request.flags = MAPI_NEW_SESSION;
  SendLogon(window, request);
  entry.session.Attach(request.session);
  if (FAILED(request.result)) return request.result;

  HRESULT last = S_OK;
  try {
    ServerTrace("Getting MsgStoresTable");
    ComPtr<IMAPITable> table;
    last = entry.session->GetMsgStoresTable(0, table.Out());
    if (SUCCEEDED(last)) {
      ServerTrace("Gettings rows");
      CRowSet rows;
      last = QueryAllRows(table.get(), {PR_DISPLAY_NAME, PR_ENTRYID}, nullptr, nullptr, &rows);
      long found = -1;
      for (ULONG i = 0; SUCCEEDED(last) && i < rows.Count(); ++i) {
        ServerTrace("Row %d", static_cast<int>(i));
        const char* name = RowText(rows[i], 0);
        if (name && store == name) {
          found = static_cast<long>(i);
          ServerTrace("Found msg store at pos %d\n", static_cast<int>(i));
          break;
        }
      }
      if (SUCCEEDED(last) && found < 0) last = MAPI_E_NOT_FOUND;
      if (found >= 0) {
        ServerTrace("Found msg store opening msg store\n");
        CPropValue id = rows[static_cast<ULONG>(found)].Value(1);
        last = id.Present() && id.Type() == PT_BINARY
                   ? entry.session->OpenMsgStore(0, id->Value.bin.cb, reinterpret_cast<LPENTRYID>(id->Value.bin.lpb),
                                                 nullptr, MAPI_BEST_ACCESS, entry.store.Out())
                   : MAPI_E_NOT_FOUND;
        ServerTrace("OpenMsgStore return %x\n", static_cast<unsigned>(last));
        if (SUCCEEDED(last)) {
          ServerTrace("Opening message store succeeded");
          std::shared_ptr<CServerClass> object;
          entry.store_handle = MakeStoreObject(entry.store.get(), store, &object);
          entry.store_object = object;
        } else {
          entry.store.Reset();
        }
      }
    }
  } catch (...) {
    return last;
  }
  MutexLock l(lock);
  mapi_session_ = entry.session.get();
  store_object_ = entry.store_object;
  store_handle_ = entry.store_handle;
  return last;
}

HRESULT CServerZelLogon::ZelLogon_QueryProfiles(const zel::ZelLogon_QueryProfiles::Request&,
                                                zel::ZelLogon_QueryProfiles::Reply& out) {
  ComPtr<IProfAdmin> admin;
  std::string own;
  bool all;
  std::vector<std::string> allowed;
  {
    MutexLock l(lock);
    profile_list_.clear();
    own = "mailbox_" + user_name_;
    admin = prof_admin_;
    all = all_profiles_;
    allowed = allowed_profiles_;
  }
  if (!admin) return 1;
  std::string list;
  ComPtr<IMAPITable> table;
  if (SUCCEEDED(admin->GetProfileTable(0, table.Out())) && table) {
    CRowSet rows = QueryAllRows(table.get(), {PR_DISPLAY_NAME});
    for (ULONG i = 0; i < rows.Count(); ++i) {
      const char* name = RowText(rows[i], 0);
      if (name && ProfileVisible(name, own, all, allowed)) list += std::string("(") + name + ")";
    }
  }
  ServerTrace("%s", list.c_str());
  {
    MutexLock l(lock);
    profile_list_ = list;
  }
  out.hBuffer = TextBlock(context_.registry, handle.load(), list, out.inlineData, out.cb);
  return 0;
}

HRESULT CServerZelLogon::ZelLogon_QueryInfoStores(const zel::ZelLogon_QueryInfoStores::Request& in,
                                                  zel::ZelLogon_QueryInfoStores::Reply& out) {
  std::string profile = in.profileName;
  char empty[1] = {0};
  ComPtr<IMAPISession> session;
  if (HRESULT hr = MAPILogonEx(0, profile.data(), empty, MAPI_NEW_SESSION, session.Out()); FAILED(hr)) return hr;
  ComPtr<IMAPITable> table;
  if (HRESULT hr = session->GetMsgStoresTable(0, table.Out()); FAILED(hr)) return hr;
  CRowSet rows;
  if (HRESULT hr = QueryAllRows(table.get(), {PR_DISPLAY_NAME, PR_MDB_PROVIDER}, nullptr, nullptr, &rows); FAILED(hr))
    return hr;
  std::string list;
  for (ULONG i = 0; i < rows.Count(); ++i) {
    const char* name = RowText(rows[i], 0);
    CPropValue provider = rows[i].Value(1);
    if (name && provider.Present() && StoreClass(*provider.get()) == 1) list += std::string("(") + name + ")";
  }
  out.hBuffer = TextBlock(context_.registry, handle.load(), list, out.inlineData, out.cb);
  // The session is released, not logged off: other sessions of the
  // profile in this process stay as they are.
  return 0;
}

HRESULT CServerZelLogon::ZelLogon_GetMsgStore(const zel::ZelLogon_GetMsgStore::Request&,
                                              zel::ZelLogon_GetMsgStore::Reply&) {
  MutexLock l(lock);
  return store_handle_;
}

}  // namespace vantrel::server
