// The installer end to end, as a person meets it: zelmail (the mail client
// in its place) runs in its own process on a workstation profile, the test
// attaches to it as a front end, picks "Install Vantrel" from the Tools
// menu and drives the installer and the connection dialog by control id;
// a ZelServer with its own home runs beside it. The profile the installer
// made is then used by other processes through MAPI.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "client/ClientE2eSupport.h"
#include "platform/registry/Registry.h"
#include "platform/win/Dialog.h"
#include "platform/win/FrontEndClient.h"
#include "platform/win/Module.h"
#include "platform/win/TestChild.h"
#include "tools/zelmail/RegisterExtension.h"

using namespace vantrel::clienttest;
using vantrel::ComPtr;
using vantrel::win::FrontEndClient;
using vantrel::win::TestChild;
namespace fe = vantrel::win::fe;

namespace {

constexpr int kList = 4020, kNew = 4023, kProperties = 4025;
constexpr int kTree = 1000, kComputer = 1001, kLogin = 1002, kPassword = 1003, kConnect = 1004, kConnection = 1005;
constexpr char kArchive[] = "Archive";
constexpr char kProfilesRoot[] =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles";
constexpr char kGlobal[] = "9207f3e0a3b11019908b08002b2a56c2";
constexpr int kBound = 20000;  // ms for anything the processes answer

ServerMachine* g_server = nullptr;

class Installation : public ::testing::Environment {
 public:
  void SetUp() override {
    vantrel::win::UsePrivateWinDir("zelmail-e2e");
    g_server = new ServerMachine(Scratch() + "/server");
    ASSERT_TRUE(g_server->Prepare(MAPIPROF_BIN, ZELUSERS_BIN));
    // A second store in the mailbox profile, for a configuration to move to.
    ASSERT_EQ(RunWithEnv({MAPIPROF_BIN, "add-pst", ServerMachine::kProfile, g_server->dir() + "/archive.pst", kArchive},
                         g_server->Environment()),
              0);
    ASSERT_TRUE(g_server->Start(ZELSERVER_BIN));

    // The workstation: the store provider in the providers folder, zelext
    // registered with the mail client; zelclient not (yet) in MAPISVC.INF.
    const char* registry = std::getenv("ZEL_REGISTRY_DIR");
    const char* mapi = std::getenv("ZEL_MAPI_DIR");
    ASSERT_TRUE(registry && mapi) << "run through ctest";
    std::error_code ec;
    std::filesystem::remove_all(registry, ec);
    std::filesystem::remove_all(mapi, ec);
    std::filesystem::create_directories(std::string(mapi) + "/providers", ec);
    std::filesystem::copy_file(MSZLF_MODULE, std::string(mapi) + "/providers/mszlf.so", ec);
    ASSERT_FALSE(ec) << ec.message();
    setenv("ZEL_RPC_ENDPOINT", g_server->port().c_str(), 1);
    RegisterExtension(ZELEXT_MODULE);
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    if (g_server) {
      EXPECT_EQ(g_server->Stop(), 0);
    }
    delete g_server;
    g_server = nullptr;
    MAPIUninitialize();
  }
};
const auto* const kInstallation = ::testing::AddGlobalTestEnvironment(new Installation);

// A workstation profile with a local personal-folders store, as a user
// has before installing Vantrel.
void MakeProfile(const std::string& name) {
  ASSERT_EQ(RunWithEnv({MAPIPROF_BIN, "create", name}, {}), 0);
  ASSERT_EQ(RunWithEnv({MAPIPROF_BIN, "add-pst", name, Scratch() + "/" + name + ".pst", kLocalStoreName}, {}), 0);
}

// ---- a person at a front end attached to zelmail ----

class Person {
 public:
  bool Attach(pid_t pid) {
    std::string error;
    for (int i = 0; i < 500; ++i) {
      if (fe_.Attach(pid, 1000, &error)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ADD_FAILURE() << "attach: " << error;
    return false;
  }

  template <typename Done>
  bool Until(Done done) {
    return fe_.WaitFor([&](const FrontEndClient&) { return done(); }, kBound);
  }

  // The tracked menu's key and the id of the item with `text`.
  bool MenuItem(const std::string& text, std::string* menu, std::string* id) {
    return Until([&] {
      for (const auto& [key, r] : fe_.records()) {
        if (r.kind != "menu") continue;
        for (const auto* item : r.All("menuitem")) {
          if (item->size() == 5 && (*item)[4] == text) {
            *menu = r.key;
            *id = (*item)[1];
            return true;
          }
        }
      }
      return false;
    });
  }

  // The dialog holding a control with `id`, waiting until it is shown
  // (with all its controls made and initialised).
  std::string Dialog(int id) {
    std::string dialog;
    Until([&] {
      const fe::Record* c = Find("", id);
      if (!c) return false;
      auto it = fe_.records().find("window " + c->Get("parent"));
      if (it == fe_.records().end() || it->second.Get("visible") != "1") return false;
      dialog = c->Get("parent");
      return true;
    });
    return dialog;
  }
  bool Gone(const std::string& dialog) {
    return Until([&] { return !fe_.records().count("window " + dialog); });
  }

  // Control `id` of `dialog` ("" for any dialog).
  const fe::Record* Find(const std::string& dialog, int id) const {
    for (const auto* r : fe_.Windows())
      if (r->Get("id") == std::to_string(id) && (dialog.empty() || r->Get("parent") == dialog)) return r;
    return nullptr;
  }
  std::vector<std::string> Rows(const std::string& dialog, int id) const {
    std::vector<std::string> rows;
    if (const fe::Record* c = Find(dialog, id))
      for (const auto* row : c->All("row")) rows.push_back(row->size() > 3 ? (*row)[3] : "");
    return rows;
  }
  // A tree node's handle by its text, "" when absent.
  std::string Node(const std::string& dialog, int id, const std::string& text) const {
    if (const fe::Record* c = Find(dialog, id))
      for (const auto* node : c->All("node"))
        if (node->size() == 6 && (*node)[5] == text) return (*node)[1];
    return "";
  }
  // What the person sees, for failure messages.
  std::string Dump() const {
    std::string out;
    for (const auto* r : fe_.Windows()) {
      out += "\n" + r->key + " parent " + r->Get("parent") + " id " + r->Get("id") + " \"" + r->Get("title") + "\"";
      for (const auto* row : r->All("row")) out += " [" + (row->size() > 3 ? (*row)[3] : "") + "]";
    }
    return out;
  }
  bool Enabled(const std::string& dialog, int id) const {
    const fe::Record* c = Find(dialog, id);
    return c && c->Get("enabled") == "1";
  }
  std::string Text(const std::string& dialog, int id) const {
    const fe::Record* c = Find(dialog, id);
    return c ? c->Get("title") : "<none>";
  }

  // One command; its error, "" when the process took it.
  std::string Do(const std::string& name, std::vector<std::string> args) {
    std::string error;
    return fe_.Command(name, args, kBound, &error) ? "" : error.empty() ? "failed" : error;
  }

  // The connection dialog as a user fills it: server, user and password,
  // Connect, then the store under the server's profile.
  void Connect(const std::string& store) {
    std::string d = Dialog(kComputer);
    ASSERT_FALSE(d.empty()) << "no connection dialog";
    ASSERT_EQ(Do("type", {d, std::to_string(kComputer), "127.0.0.1"}), "");
    ASSERT_EQ(Do("type", {d, std::to_string(kLogin), ServerMachine::kUser}), "");
    ASSERT_EQ(Do("type", {d, std::to_string(kPassword), ServerMachine::kPassword}), "");
    ASSERT_EQ(Do("click", {d, std::to_string(kConnect)}), "");
    std::string profile;
    ASSERT_TRUE(Until([&] { return !(profile = Node(d, kTree, ServerMachine::kProfile)).empty(); }));
    ASSERT_EQ(Do("expand", {d, std::to_string(kTree), profile}), "");
    std::string item;
    ASSERT_TRUE(Until([&] { return !(item = Node(d, kTree, store)).empty(); }));
    ASSERT_EQ(Do("treeselect", {d, std::to_string(kTree), item}), "");
    const std::string connection = std::string("127.0.0.1(") + ServerMachine::kProfile + ")(" + store + ")";
    ASSERT_TRUE(Until([&] { return Text(d, kConnection) == connection && Enabled(d, IDOK); }))
        << Text(d, kConnection);
    ASSERT_EQ(Do("click", {d, std::to_string(IDOK)}), "");
    ASSERT_TRUE(Gone(d));
  }

 private:
  FrontEndClient fe_;
};

// zelmail on `profile`, a person attached, the installer opened from the
// Tools menu. Close() leaves the installer and cancels the menu.
class Session {
 public:
  explicit Session(const std::string& profile) : zelmail_({ZELMAIL_BIN, profile}, TestChild::Ending::kKill) {}

  void Open() {
    ASSERT_TRUE(zelmail_.started());
    ASSERT_NE(zelmail_.Line().find("waiting for a front end"), std::string::npos);
    ASSERT_TRUE(person.Attach(zelmail_.pid()));
    std::string id;
    ASSERT_TRUE(person.MenuItem("Install Vantrel", &menu_, &id));
    ASSERT_EQ(person.Do("menu", {menu_, id}), "");
    installer = person.Dialog(kList);
    ASSERT_FALSE(installer.empty()) << "the installer did not open";
    command_ = id;
  }
  // The installer closed with OK, its command's answer, the menu cancelled
  // and zelmail's exit status.
  void Close() {
    ASSERT_EQ(person.Do("click", {installer, std::to_string(IDOK)}), "");
    EXPECT_EQ(zelmail_.Line(), "command " + command_ + ": 0x00000000");
    std::string id;
    ASSERT_TRUE(person.MenuItem("Install Vantrel", &menu_, &id));
    // zelmail may end before its answer is on the way.
    const std::string cancel = person.Do("menu", {menu_, "0"});
    EXPECT_TRUE(cancel.empty() || cancel == "the process closed the connection") << cancel;
    int status = zelmail_.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  Person person;
  std::string installer;

 private:
  TestChild zelmail_;
  std::string menu_;
  std::string command_;
};

// ---- the profile in the registry ----

struct RegValue {
  DWORD type;
  std::string data;
  bool operator==(const RegValue&) const = default;
};
// Key path below the profile ("" for the profile key) -> values by name.
using Tree = std::map<std::string, std::map<std::string, RegValue>>;

void Walk(const std::string& root, const std::string& rel, Tree* out) {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_CURRENT_USER, (rel.empty() ? root : root + "\\" + rel).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return;
  auto& values = (*out)[rel];
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD cch = sizeof name, type = 0, cb = 0;
    if (RegEnumValue(key, i, name, &cch, nullptr, &type, nullptr, &cb) != ERROR_SUCCESS) break;
    std::string data(cb, '\0');
    RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()), &cb);
    values[name] = {type, data.substr(0, cb)};
  }
  std::vector<std::string> children;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD cch = sizeof name;
    if (RegEnumKeyEx(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(name);
  }
  RegCloseKey(key);
  for (const auto& c : children) Walk(root, rel.empty() ? c : rel + "\\" + c, out);
}

Tree ProfileTree(const std::string& profile) {
  Tree t;
  Walk(std::string(kProfilesRoot) + "\\" + profile, "", &t);
  return t;
}

std::string HexName(const std::string& uid) {
  std::string s;
  char hex[3];
  for (unsigned char c : uid) {
    std::snprintf(hex, sizeof hex, "%02x", c);
    s += hex;
  }
  return s;
}

// What a service added to a profile, with its UIDs replaced by their roles
// so that two profiles compare: "service" and "provider" sections, "<S>"
// and "<P>" for the UIDs inside values. The global lists must have grown
// by exactly these UIDs and nothing else may have changed.
Tree Added(const Tree& before, const Tree& after) {
  Tree added;
  const auto& old_global = before.at(kGlobal);
  const auto& new_global = after.at(kGlobal);
  std::string service, provider;  // the UIDs appended to the lists
  for (auto [name, uid] : {std::pair{"01023d0e", &service}, std::pair{"01023d00", &provider}}) {
    const std::string& was = old_global.at(name).data;
    const std::string& now = new_global.at(name).data;
    EXPECT_EQ(now.size(), was.size() + 16) << name;
    EXPECT_EQ(now.substr(0, was.size()), was) << name;
    *uid = now.size() >= 16 ? now.substr(now.size() - 16) : "";
  }
  for (const auto& [key, values] : after) {
    if (key == kGlobal) {
      auto expected = old_global;
      expected["01023d0e"] = new_global.at("01023d0e");
      expected["01023d00"] = new_global.at("01023d00");
      EXPECT_EQ(values, expected) << "the global section changed beyond its lists";
      continue;
    }
    if (auto it = before.find(key); it != before.end()) {
      EXPECT_EQ(values, it->second) << "section " << key << " changed";
      continue;
    }
    const std::string role = key == HexName(service) ? "service" : key == HexName(provider) ? "provider" : key;
    for (const auto& [name, v] : values) {
      std::string data = v.data;
      for (auto [uid, mark] : {std::pair{service, "<S>"}, std::pair{provider, "<P>"}})
        for (size_t at; uid.size() == 16 && (at = data.find(uid)) != std::string::npos;) data.replace(at, 16, mark);
      added[role][name] = {v.type, data};
    }
  }
  return added;
}

std::string ValueName(ULONG tag) {
  char name[9];
  std::snprintf(name, sizeof name, "%04x%04x", PROP_TYPE(tag), PROP_ID(tag));
  return name;
}

// The service's settings, as its provider section in the registry has them.
std::map<std::string, std::string> Settings(const std::string& profile) {
  std::map<std::string, std::string> out;
  for (const auto& [key, values] : ProfileTree(profile)) {
    auto dll = values.find("001e300a");
    if (dll == values.end() || dll->second.data != "Mszlf.DLL") continue;
    for (ULONG tag : {vantrel::mszlf::PR_ZLF_SERVER, vantrel::mszlf::PR_ZLF_PROFILE, vantrel::mszlf::PR_ZLF_STORE,
                      vantrel::mszlf::PR_ZLF_LOGIN}) {
      auto v = values.find(ValueName(tag));
      out[ValueName(tag)] = v == values.end() ? "<none>" : v->second.data;
    }
    auto uid = values.find(ValueName(vantrel::mszlf::PR_ZLF_STORE_UID));
    out["store uid bytes"] = std::to_string(uid == values.end() ? 0 : uid->second.data.size());
  }
  return out;
}

std::map<std::string, std::string> Expected(const std::string& store) {
  using namespace vantrel::mszlf;
  return {{ValueName(PR_ZLF_SERVER), "127.0.0.1"},
          {ValueName(PR_ZLF_PROFILE), ServerMachine::kProfile},
          {ValueName(PR_ZLF_STORE), store},
          {ValueName(PR_ZLF_LOGIN), ServerMachine::kUser},
          {"store uid bytes", "16"}};
}

// The subjects in folder `name` of the IPM subtree of the profile's
// Vantrel store, read through MAPI in this process.
std::vector<std::string> Subjects(const char* profile, const std::string& name) {
  std::vector<std::string> subjects;
  ComPtr<IMAPISession> session;
  EXPECT_EQ(MAPILogonEx(0, const_cast<LPSTR>(profile), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED, session.Out()),
            S_OK);
  if (!session) return subjects;
  ComPtr<IMsgStore> store;
  EXPECT_EQ(OpenWorkstationStore(session.get(), vantrel::mszlf::kMszlfProviderUid, store.Out()), S_OK);
  LPSPropValue ipm = nullptr;
  if (store) {
    EXPECT_EQ(HrGetOneProp(store.get(), PR_IPM_SUBTREE_ENTRYID, &ipm), S_OK);
  }
  if (ipm) {
    ULONG type = 0;
    ComPtr<IUnknown> unk;
    ComPtr<IMAPIFolder> root, folder;
    ComPtr<IMAPITable> table;
    LPSRowSet rows = nullptr;
    SizedSPropTagArray<1> cols{1, {PR_SUBJECT}};
    HRESULT hr = store->OpenEntry(ipm->Value.bin.cb, reinterpret_cast<LPENTRYID>(ipm->Value.bin.lpb), nullptr,
                                  MAPI_BEST_ACCESS, &type, unk.Out());
    if (SUCCEEDED(hr)) hr = unk->QueryInterface(IID_IMAPIFolder, root.OutVoid());
    if (SUCCEEDED(hr))
      hr = root->CreateFolder(FOLDER_GENERIC, const_cast<LPSTR>(name.c_str()), nullptr, nullptr, OPEN_IF_EXISTS,
                              folder.Out());
    if (SUCCEEDED(hr)) hr = folder->GetContentsTable(0, table.Out());
    if (SUCCEEDED(hr)) hr = HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, &rows);
    EXPECT_EQ(hr, S_OK);
    for (ULONG i = 0; rows && i < rows->cRows; ++i)
      if (PROP_TYPE(rows->aRow[i].lpProps[0].ulPropTag) == PT_STRING8)
        subjects.push_back(rows->aRow[i].lpProps[0].Value.lpszA);
    FreeProws(rows);
    MAPIFreeBuffer(ipm);
  }
  store.Reset();
  session->Logoff(0, 0, 0);
  return subjects;
}

// MAPISVC.INF without the service: MAPI refuses it, New writes the profile
// directly and configures the new service with the user; another process
// then works in the server's mailbox through that profile.
TEST(ZelmailE2e, RefusedServiceIsWrittenDirectlyAndOpensTheServersStore) {
  std::filesystem::remove(std::string(std::getenv("ZEL_MAPI_DIR")) + "/MAPISVC.INF");  // the shipped one again
  MakeProfile(kWorkstationProfile);
  Session s(kWorkstationProfile);
  s.Open();
  ASSERT_FALSE(HasFailure());
  EXPECT_TRUE(s.person.Rows(s.installer, kList).empty());
  ASSERT_EQ(s.person.Do("click", {s.installer, std::to_string(kNew)}), "");
  s.person.Connect(ServerMachine::kStore);
  ASSERT_FALSE(HasFailure());
  const std::vector<std::string> one{"MSZLF Brimwell"};  // the direct write's display name
  EXPECT_TRUE(s.person.Until([&] { return s.person.Rows(s.installer, kList) == one; }));
  s.Close();
  EXPECT_EQ(Settings(kWorkstationProfile), Expected(ServerMachine::kStore));

  // Another workstation process logs on to the profile and saves a message
  // in the server's mailbox; this one reads it back.
  TestChild peer({E2E_PEER_BIN});
  EXPECT_EQ(peer.Ask("logon"), "ok");
  EXPECT_EQ(peer.Ask("save Installed written directly"), "ok");
  peer.WriteLine("quit");
  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_EQ(Subjects(kWorkstationProfile, "Installed"), std::vector<std::string>{"written directly"});
}

// With zelclient registered in MAPISVC.INF, New goes through MAPI alone:
// the profile gains exactly what CreateMsgService makes of the service
// (compared with a twin profile where the test calls it). Properties then
// configures it through the service's own dialog.
TEST(ZelmailE2e, AcceptedServiceIsMapisAloneAndPropertiesReconfigures) {
  ASSERT_EQ(RunWithEnv({MAPIPROF_BIN, "register", ZELCLIENT_MODULE}, {}), 0);
  MakeProfile("accepted");
  MakeProfile("twin");
  const Tree before = ProfileTree("accepted");
  const Tree twin_before = ProfileTree("twin");
  {
    ComPtr<IProfAdmin> admin;
    ASSERT_EQ(MAPIAdminProfiles(0, admin.Out()), S_OK);
    ComPtr<IMsgServiceAdmin> services;
    ASSERT_EQ(admin->AdminServices(const_cast<LPSTR>("twin"), nullptr, 0, 0, services.Out()), S_OK);
    ASSERT_EQ(services->CreateMsgService(const_cast<LPSTR>("MSZLF"), const_cast<LPSTR>("Vantrel"), 0, 0), S_OK);
  }
  const Tree twin = Added(twin_before, ProfileTree("twin"));
  ASSERT_EQ(twin.size(), 2u);

  Session s("accepted");
  s.Open();
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(s.person.Do("click", {s.installer, std::to_string(kNew)}), "");
  const std::vector<std::string> one{"MSZLF Vantrel"};  // the display name New gives MAPI
  ASSERT_TRUE(s.person.Until([&] { return s.person.Rows(s.installer, kList) == one; })) << s.person.Dump();
  EXPECT_EQ(Added(before, ProfileTree("accepted")), twin);
  EXPECT_TRUE(s.person.Find("", kComputer) == nullptr) << "no dialog: the service is created unconfigured";

  ASSERT_EQ(s.person.Do("pick", {s.installer, std::to_string(kList), "0"}), "");
  ASSERT_EQ(s.person.Do("click", {s.installer, std::to_string(kProperties)}), "");
  s.person.Connect(kArchive);
  ASSERT_FALSE(HasFailure());
  s.Close();  // once the installer answers, Properties has returned
  EXPECT_EQ(Settings("accepted"), Expected(kArchive));
}

}  // namespace
