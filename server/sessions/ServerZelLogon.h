// Logon sessions. One CServerZelLogon per client session lives in the
// object registry; its handle is the session handle, and every object the
// client opens through the session is registered under it.
//
// MAPI sessions and opened stores are shared: all logons naming the same
// profile and store use one ServerConnection of the connection table,
// keyed "<profile><store>" (exact). The MAPI logon of a new connection runs
// on the server window's thread (WM_USER+3).
//
// Connection table locking: one mutex guards the map and every entry's
// sharer count, so the lookup, insertion, counting and removal of one logon
// or destructor never interleave with another's. It is never held while a
// MAPI logon is waited for (the server window, which performs the logon, also
// ends sessions and so takes this lock). A logon that finds an entry still
// being opened by another waits on that entry until it is open.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "protocol/NotifyQueue.h"
#include "server/dispatch/ServerClasses.h"
#include "server/sessions/LogonService.h"

class CUserABContainer;
struct UserRights;

namespace vantrel::server {

// One MAPI session and opened store shared by the logons of a key.
struct ServerConnection {
  explicit ServerConnection(std::string key) : key(std::move(key)) {}
  // Releases the store, logs the session off and releases it; failures are
  // swallowed.
  ~ServerConnection();
  ServerConnection(const ServerConnection&) = delete;
  ServerConnection& operator=(const ServerConnection&) = delete;

  // Blocks until the logon that made the entry has finished with it (its
  // opener marks it on every path, also when the logon fails or throws).
  void WaitOpened() EXCLUDES(lock_);
  void MarkOpened() EXCLUDES(lock_);

  const std::string key;
  // Sessions beyond the first; guarded by the lock of the table that holds
  // the entry (CConnectionTable::lock_), which the analysis cannot name here.
  std::int32_t sharers = 0;

  // Written by the opening logon before MarkOpened, read-only afterwards.
  ComPtr<IMAPISession> session;
  ComPtr<IMsgStore> store;
  std::int32_t store_handle = 0;
  std::weak_ptr<CServerClass> store_object;

 private:
  Mutex lock_;
  CondVar opened_cv_;
  bool opened_ GUARDED_BY(lock_) = false;
};

class CConnectionTable {
 public:
  static std::string Key(const std::string& profile, const std::string& store);

  // The entry of `key`, one more sharer on it; or a new entry entered under
  // the key at once (`created` true), which the caller must open and mark.
  std::shared_ptr<ServerConnection> Join(const std::string& key, bool* created) EXCLUDES(lock_);
  // One sharer less; below zero the entry leaves the table, and it is
  // destroyed when its last holder lets go of it.
  void Leave(const std::shared_ptr<ServerConnection>& entry) EXCLUDES(lock_);

  std::shared_ptr<ServerConnection> Find(const std::string& key) EXCLUDES(lock_);
  size_t Size() EXCLUDES(lock_);

 private:
  // Taken after a session's object lock is released, never with the
  // registry lock held; an entry's own lock is never taken under it.
  Mutex lock_;
  std::map<std::string, std::shared_ptr<ServerConnection>> entries_ GUARDED_BY(lock_);
};

// What the server window lends to the logons: the user directory, the
// window that performs MAPI logons, and the connection table. Attach and
// Detach come from the window's thread (start-up and shutdown); the logons
// read under lock_.
class CLogonContext {
 public:
  explicit CLogonContext(CServerClasses& registry);
  ~CLogonContext();
  CLogonContext(const CLogonContext&) = delete;
  CLogonContext& operator=(const CLogonContext&) = delete;

  // Holds a reference on `directory`; either may be null.
  void Attach(CUserABContainer* directory, HWND window) EXCLUDES(lock_);
  // Shutdown: later logons find neither the directory nor the window.
  void Detach() EXCLUDES(lock_);

  // An unregistered session (ServerHooks::make_session).
  std::shared_ptr<CServerClass> MakeSession();

  // The user check against the attached directory; false without one.
  bool CheckUser(const std::string& user, const std::string& password, UserRights* rights) EXCLUDES(lock_);
  // The window that performs the MAPI logons (WM_USER+3), or null.
  HWND Window() EXCLUDES(lock_);

  CServerClasses& registry;
  CConnectionTable connections;

 private:
  Mutex lock_;  // a leaf: nothing is taken while it is held
  CUserABContainer* directory_ GUARDED_BY(lock_) = nullptr;  // one reference
  HWND window_ GUARDED_BY(lock_) = nullptr;
};

// The class of a store from its PR_MDB_PROVIDER value: 0 not that
// property, 4 served by our own client provider, 2 private or delegate
// mailbox of a workgroup server, 3 its public folders, 1 any other (a
// local store).
int StoreClass(const SPropValue& value);

// Whether a profile shows in a user's profile list: mailbox profiles only
// to their own user, others with the all-profiles flag or by name.
bool ProfileVisible(const std::string& profile, const std::string& own_mailbox, bool all_profiles,
                    const std::vector<std::string>& allowed);

class CServerZelLogon : public CServerClass {
 public:
  explicit CServerZelLogon(CLogonContext& context);
  ~CServerZelLogon() override;

  const char* Name() const override { return "IServerLogon"; }
  // Releases the connection and the profile administration.
  void Destroy() override;

  HRESULT Tarnix_Logon(const zel::Tarnix_Logon::Request& in, zel::Tarnix_Logon::Reply& out) override;
  HRESULT Tarnix_AdminLogon(const zel::Tarnix_AdminLogon::Request& in, zel::Tarnix_AdminLogon::Reply& out) override;
  HRESULT ZelLogon_QueryProfiles(const zel::ZelLogon_QueryProfiles::Request& in,
                                 zel::ZelLogon_QueryProfiles::Reply& out) override;
  HRESULT ZelLogon_QueryInfoStores(const zel::ZelLogon_QueryInfoStores::Request& in,
                                   zel::ZelLogon_QueryInfoStores::Reply& out) override;
  HRESULT ZelLogon_GetMsgStore(const zel::ZelLogon_GetMsgStore::Request& in,
                               zel::ZelLogon_GetMsgStore::Reply& out) override;
  zel::CNotifyQueue* NotifyQueue() override { return &queue_; }

  // For the status list and tests.
  std::string UserName() const;
  std::string Workstation() const;
  std::int32_t StoreHandle() const;
  std::shared_ptr<ServerConnection> Connection() const;

 private:
  HRESULT OpenConnection(const std::string& profile, const std::string& store, const std::string& password);
  HRESULT OpenNewConnection(ServerConnection& entry, const std::string& profile, const std::string& store,
                            const std::string& password);
  // A message-store object for `store`, registered under this session.
  std::int32_t MakeStoreObject(IMsgStore* store, const std::string& name, std::shared_ptr<CServerClass>* object);
  void ReleaseConnection();

  CLogonContext& context_;
  zel::CNotifyQueue queue_;  // its own lock; the registry lock comes first

  // Under the object's lock.
  std::string store_name_ GUARDED_BY(lock);
  std::string profile_name_ GUARDED_BY(lock);
  IMAPISession* mapi_session_ GUARDED_BY(lock) = nullptr;  // the connection's; not owned
  bool all_profiles_ GUARDED_BY(lock) = false;
  std::vector<std::string> allowed_profiles_ GUARDED_BY(lock);
  std::string password_ GUARDED_BY(lock);
  std::string user_name_ GUARDED_BY(lock);
  std::string workstation_ GUARDED_BY(lock);
  std::int32_t store_handle_ GUARDED_BY(lock) = 0;
  ComPtr<IProfAdmin> prof_admin_ GUARDED_BY(lock);
  std::string profile_list_ GUARDED_BY(lock);
  std::weak_ptr<CServerClass> store_object_ GUARDED_BY(lock);
  std::shared_ptr<ServerConnection> connection_ GUARDED_BY(lock);  // the entry this session joined, if any
};

}  // namespace vantrel::server
