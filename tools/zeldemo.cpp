// zeldemo [--stores] HOME: prepares a server home for the demo, leaving
// alone what is already there, so that it can run again (with --stores
// only the profiles and stores: the demo then adds its user through the
// running server with zeladmin):
//   - the users file HOME/USERS.ZLF with the user "demo" (a new password the
//     first time), printed as "user demo password <password>";
//   - the profile "mailbox_demo" with the personal-folders store
//     "Mailbox - demo" (HOME/Mailboxes/demo.pst) and the profile "Public"
//     with "Public Folders" (HOME/PublicFolders/public.pst);
//   - a few folders and messages in both stores.
// The registry and the MAPI folder are those of the environment.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "Libraries/MapiWrapper/MapiPtr.h"
#include "Libraries/MapiWrapper/TableHelpers.h"
#include "platform/mapi/MapiSession.h"
#include "platform/mapi/MapiSvcInf.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/ProfileStore.h"
#include "platform/mapi/Services.h"
#include "server/sessions/UserABContainer.h"

using namespace vantrel;
using vantrel::mapiwrapper::QueryAllRows;

namespace {

std::string NewPassword() {
  static const char kLetters[] = "abcdefghjkmnpqrstuvwxyz23456789";
  std::ifstream random("/dev/urandom", std::ios::binary);
  std::string pw;
  for (int i = 0; i < 10; ++i) {
    unsigned char c = 0;
    random.read(reinterpret_cast<char*>(&c), 1);
    pw += kLetters[c % (sizeof kLetters - 1)];
  }
  return pw;
}

// The demo user's password, creating the user when missing.
std::string DemoUser(const std::string& home) {
  auto* dir = new CUserABContainer(CUserABContainer::UsersFileIn(home));
  std::string password;
  try {
    dir->Load();
    IMAPITablePtr table;
    CheckHr(dir->GetContentsTable(0, table.Receive()), "GetContentsTable");
    CRowSet rows = QueryAllRows(table.get(), {PR_ACCOUNT, PR_ZEL_PASSWORD});
    for (ULONG i = 0; i < rows.Count() && password.empty(); ++i) {
      CPropValue account = rows[i].Value(0), pw = rows[i].Value(1);
      if (account.Type() == PT_STRING8 && std::string(account->Value.lpszA) == "demo" && pw.Type() == PT_STRING8)
        password = pw->Value.lpszA;
    }
    if (password.empty()) {
      password = NewPassword();
      CGenMapiPropPtr entry;
      CheckHr(dir->CreateEntry(0, nullptr, 0, reinterpret_cast<LPMAPIPROP*>(entry.Receive())), "CreateEntry");
      entry.SetProp(PR_ACCOUNT, std::string_view("demo"));
      entry.SetProp(PR_ZEL_PASSWORD, std::string_view(password));
      entry.SetProp(PR_GIVEN_NAME, std::string_view("Demo"));
      entry.SetProp(PR_SURNAME, std::string_view("User"));
      entry.SetProp(PR_EMAIL_ADDRESS, std::string_view("demo@example.org"));
      entry.SetProp(PR_ZEL_ALL_PROFILES, true);
      CheckHr(entry->SaveChanges(0), "SaveChanges");
      dir->SaveUsersFile();
    }
  } catch (...) {
    dir->Release();
    throw;
  }
  dir->Release();
  return password;
}

void Profile(const std::string& name, const std::string& file, const std::string& display) {
  if (mapi::ProfileStore::Exists(name)) return;
  ComPtr<IProfAdmin> admin;
  CheckHr(MAPIAdminProfiles(0, admin.Out()), "MAPIAdminProfiles");
  CheckHr(admin->CreateProfile(const_cast<LPSTR>(name.c_str()), nullptr, 0, 0), "CreateProfile");
  ComPtr<IMsgServiceAdmin> services;
  CheckHr(admin->AdminServices(const_cast<LPSTR>(name.c_str()), nullptr, 0, 0, services.Out()), "AdminServices");
  mapi::MapiSvcInf inf;
  CheckHr(mapi::MapiSvcInf::LoadInstalled(&inf), "MAPISVC.INF");
  MAPIUID uid;
  CheckHr(mapi::CreateService(name, inf, mapi::kPstService, display, 0, 0, &uid), "CreateService");
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  SPropValue props[2] = {};
  props[0].ulPropTag = mapi::PR_PST_PATH;
  props[0].Value.lpszA = const_cast<LPSTR>(file.c_str());
  props[1].ulPropTag = PR_DISPLAY_NAME;
  props[1].Value.lpszA = const_cast<LPSTR>(display.c_str());
  CheckHr(services->ConfigureMsgService(&uid, 0, 0, 2, props), "ConfigureMsgService");
  std::printf("profile %s: store \"%s\" in %s\n", name.c_str(), display.c_str(), file.c_str());
}

// The subfolder `name` of `folder`, if it exists.
IMAPIFolderPtr Child(const IMAPIFolderPtr& folder, const std::string& name) {
  CRowSet rows = QueryAllRows(folder._rawHierrarchyTable().get(), {PR_DISPLAY_NAME, PR_ENTRYID});
  for (ULONG i = 0; i < rows.Count(); ++i) {
    CPropValue n = rows[i].Value(0);
    if (n.Type() == PT_STRING8 && name == n->Value.lpszA)
      return QueryWrap<IMAPIFolderPtr>(folder.OpenEntry(*rows[i].Value(1).get()).get());
  }
  return IMAPIFolderPtr();
}

void Message(const IMAPIFolderPtr& folder, const std::string& subject, const std::string& body,
             const std::string& from) {
  IMessagePtr msg = folder.CreateMessage();
  msg.SetProp(PR_SUBJECT, std::string_view(subject));
  msg.SetProp(PR_BODY, std::string_view(body));
  msg.SetProp(PR_SENDER_NAME, std::string_view(from));
  msg.SetProp(PR_MESSAGE_CLASS, std::string_view("IPM.Note"));
  CheckHr(msg->SaveChanges(0), "SaveChanges");
}

IMAPIFolderPtr IpmRoot(IMAPISessionPtr& session, const std::string& profile) {
  CheckHr(MAPILogonEx(0, const_cast<LPSTR>(profile.c_str()), const_cast<LPSTR>(""), 0x8022, session.Receive()),
          "MAPILogonEx");
  IMAPITablePtr stores;
  CheckHr(session->GetMsgStoresTable(0, stores.Receive()), "GetMsgStoresTable");
  CRowSet rows = QueryAllRows(stores.get(), {PR_ENTRYID});
  if (rows.Count() == 0) throw CMAPIException(MAPI_E_NOT_FOUND, profile);
  IMsgStorePtr store = session.OpenMsgStore(CBinary::FromPropValue(rows[0].Value(0).get()));
  return store._getIPMRoot();
}

void SeedMailbox() {
  IMAPISessionPtr session;
  IMAPIFolderPtr root = IpmRoot(session, "mailbox_demo");
  if (Child(root, "Projects")) return;  // seeded before
  IMAPIFolderPtr inbox = Child(root, "Inbox");
  if (!inbox) inbox = root.CreateFolder("Inbox");
  Message(inbox, "Welcome to Vantrel", "Your mailbox is served by ZelServer.", "Administrator");
  Message(inbox, "Meeting on Monday", "Shall we meet at ten?", "Anna Berg");
  Message(inbox, "Invoice 2024-117", "Please find the invoice attached.", "Accounts");
  IMAPIFolderPtr projects = root.CreateFolder("Projects", "Work in progress");
  Message(projects, "Project plan", "Milestones: design, build, test.", "Demo User");
  projects.CreateFolder("Archive", "Finished projects");
  session->Logoff(0, 0, 0);
}

void SeedPublic() {
  IMAPISessionPtr session;
  IMAPIFolderPtr root = IpmRoot(session, "Public");
  if (!Child(root, "Announcements")) {
    IMAPIFolderPtr news = root.CreateFolder("Announcements", "For everybody");
    Message(news, "Office closed on Friday", "The office is closed on Friday.", "Administrator");
  }
  session->Logoff(0, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const bool stores_only = argc == 3 && std::string(argv[1]) == "--stores";
  if (argc != 2 && !stores_only) {
    std::fprintf(stderr, "usage: zeldemo [--stores] HOME\n");
    return 2;
  }
  std::string home = std::filesystem::absolute(argv[argc - 1]).lexically_normal().string();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (FAILED(MAPIInitialize(nullptr))) {
    std::fprintf(stderr, "zeldemo: MAPIInitialize failed\n");
    return 1;
  }
  int rc = 0;
  try {
    std::string password = stores_only ? std::string() : DemoUser(home);
    Profile("mailbox_demo", home + "/Mailboxes/demo.pst", "Mailbox - demo");
    Profile("Public", home + "/PublicFolders/public.pst", "Public Folders");
    SeedMailbox();
    SeedPublic();
    if (!stores_only) std::printf("user demo password %s\n", password.c_str());
  } catch (const CMAPIException& e) {
    std::fprintf(stderr, "zeldemo: %s failed: 0x%08X\n", e.Context().c_str(), static_cast<unsigned>(e.Hr()));
    rc = 1;
  }
  MAPIUninitialize();
  return rc;
}
