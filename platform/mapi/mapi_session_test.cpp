#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiSession.h"
#include "platform/mapi/MapiSvcInf.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/ProfSect.h"
#include "platform/mapi/Providers.h"
#include "platform/mapi/ServiceAdmin.h"
#include "platform/mapi/Services.h"
#include "platform/mapi/Support.h"
#include "platform/mapi/TableData.h"
#include "platform/mapi/testing/FakeStore.h"
#include "platform/registry/Registry.h"

using namespace vantrel::mapi;
using vantrel::ComPtr;
using vantrel::mapi::testing::FakeStore;

namespace {

// The store engine as the tests see it: one store object per file path.
struct FakeEngine {
  std::mutex lock;
  std::map<std::string, ComPtr<FakeStore>> stores;  // guarded by lock
};
FakeEngine& Engine() {
  static FakeEngine e;
  return e;
}

std::vector<BYTE> FakeId(const std::string& path) {
  std::string s = "PST:" + path;
  return std::vector<BYTE>(s.begin(), s.end());
}

void InstallFakeEngine() {
  PstBackend b;
  b.open = [](const std::string& path, const std::string& name, ULONG, IMsgStore** out) -> HRESULT {
    std::lock_guard<std::mutex> lock(Engine().lock);
    ComPtr<FakeStore>& s = Engine().stores[path];
    if (!s) {
      s = ComPtr<FakeStore>::Adopt(new FakeStore);
      s->Put(ProfProp::Text(PR_DISPLAY_NAME, name));
      std::vector<BYTE> id = FakeId(path);
      s->Put(ProfProp::Binary(PR_ENTRYID, id.data(), id.size()));
    }
    s->AddRef();
    *out = s.get();
    return S_OK;
  };
  b.entry_id = [](const std::string& path, std::vector<BYTE>& out) -> HRESULT {
    out = FakeId(path);
    return S_OK;
  };
  SetPstBackend(b);
}

std::string Tmp() {
  const char* d = std::getenv("VANTREL_TEST_TMPDIR");
  return d ? d : "/tmp";
}

std::string RegText(const std::string& key, const std::string& value, DWORD* type_out = nullptr) {
  HKEY k = nullptr;
  if (RegOpenKeyEx(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return "<no key>";
  char buf[512];
  DWORD cb = sizeof buf, type = 0;
  LSTATUS st = RegQueryValueEx(k, value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
  RegCloseKey(k);
  if (st != ERROR_SUCCESS) return "<no value>";
  if (type_out) *type_out = type;
  return std::string(buf, cb);
}

const ProfProp* Col(const ProfProps& row, ULONG tag) {
  return FindProp(row, tag);
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // These tests clear the profiles of the registry they run against, so
    // they run only in the private one the test runner sets up.
    if (!std::getenv("ZEL_REGISTRY_DIR") || !std::getenv("ZEL_MAPI_DIR"))
      GTEST_SKIP() << "run through ctest: needs a private ZEL_REGISTRY_DIR and ZEL_MAPI_DIR";
    InstallFakeEngine();
    std::filesystem::remove(MapiSvcInf::DefaultPath());  // each test starts with the shipped file
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
    ASSERT_EQ(MAPIAdminProfiles(0, admin_.Out()), S_OK);
    for (const std::string& p : ProfileStore::List()) ProfileStore::Delete(p);
  }
  void TearDown() override {
    if (!admin_) return;
    admin_.Reset();
    MAPIUninitialize();
  }

  // A profile with one personal-folders service per (path, name).
  void MakeProfile(const std::string& name, const std::vector<std::pair<std::string, std::string>>& stores) {
    ASSERT_EQ(admin_->CreateProfile(const_cast<LPSTR>(name.c_str()), nullptr, 0, 0), S_OK);
    ComPtr<IMsgServiceAdmin> services;
    ASSERT_EQ(admin_->AdminServices(const_cast<LPSTR>(name.c_str()), nullptr, 0, 0, services.Out()), S_OK);
    for (const auto& [path, display] : stores) {
      MapiSvcInf inf;
      ASSERT_EQ(MapiSvcInf::LoadInstalled(&inf), S_OK);
      MAPIUID uid;
      ASSERT_EQ(CreateService(name, inf, kPstService, "", 0, 0, &uid), S_OK);
      SPropValue props[2] = {};
      props[0].ulPropTag = PR_PST_PATH;
      props[0].Value.lpszA = const_cast<LPSTR>(path.c_str());
      props[1].ulPropTag = PR_DISPLAY_NAME;
      props[1].Value.lpszA = const_cast<LPSTR>(display.c_str());
      ASSERT_EQ(services->ConfigureMsgService(&uid, 0, 0, 2, props), S_OK);
    }
  }

  ComPtr<IProfAdmin> admin_;
};

TEST(ProfileLayout, UidsAndValuesFollowTheRegistryLayout) {
  MAPIUID uid;
  for (int i = 0; i < 16; ++i) uid.ab[i] = static_cast<BYTE>(0xA0 + i);
  EXPECT_EQ(UidToHex(uid), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
  MAPIUID back{};
  ASSERT_TRUE(UidFromHex("A0a1a2a3a4a5a6a7a8a9aaabacadaeaf", &back));
  EXPECT_TRUE(back == uid);
  EXPECT_FALSE(UidFromHex("a0a1", &back));
  EXPECT_FALSE(UidFromHex("z0a1a2a3a4a5a6a7a8a9aaabacadaeaf", &back));
  EXPECT_EQ(UidToHex(kGlobalSection), "9207f3e0a3b11019908b08002b2a56c2");
}

TEST(ProfileLayout, ValuesRoundTripThroughTheirStoredForm) {
  const char* strings[] = {"Mszlf.DLL"};
  SPropValue mv{};
  mv.ulPropTag = PR_SERVICE_SUPPORT_FILES;
  mv.Value.MVszA.cValues = 1;
  mv.Value.MVszA.lppszA = const_cast<LPSTR*>(strings);
  ProfProp p;
  ASSERT_EQ(PropFromValue(mv, &p), S_OK);
  // Count, offset, then the text with its NUL: 18 bytes.
  const BYTE want[] = {1, 0, 0, 0, 8, 0, 0, 0, 'M', 's', 'z', 'l', 'f', '.', 'D', 'L', 'L', 0};
  ASSERT_EQ(p.data, std::vector<BYTE>(want, want + sizeof want));
  SPropValue out{};
  void* parent = nullptr;
  MAPIAllocateBuffer(1, &parent);
  ASSERT_EQ(PropToValue(p, parent, &out), S_OK);
  ASSERT_EQ(out.Value.MVszA.cValues, 1u);
  EXPECT_STREQ(out.Value.MVszA.lppszA[0], "Mszlf.DLL");
  // A count larger than the bytes can hold, or an offset past the end.
  ProfProp bad = p;
  bad.data[0] = 200;
  EXPECT_EQ(PropToValue(bad, parent, &out), MAPI_E_CORRUPT_DATA);
  bad = p;
  bad.data[4] = 40;
  EXPECT_EQ(PropToValue(bad, parent, &out), MAPI_E_CORRUPT_DATA);
  EXPECT_EQ(ProfProp::Long(PR_RESOURCE_FLAGS, 0x802).data, (std::vector<BYTE>{0x02, 0x08, 0, 0}));
  MAPIFreeBuffer(parent);
}

TEST(MapiSvcInfTest, ParsesSymbolsListsAndKeepsOtherLines) {
  MapiSvcInf inf;
  inf.Parse(
      "; comment\r\n[Services]\r\nMSZLF=Vantrel\r\n\r\n[MSZLF]\r\nProviders=MS_ZLF\r\n"
      "PR_RESOURCE_FLAGS=SERVICE_NO_PRIMARY_IDENTITY\r\n\r\n[MS_ZLF]\r\n"
      "PR_RESOURCE_TYPE=MAPI_STORE_PROVIDER\r\nPR_RESOURCE_FLAGS=STATUS_DEFAULT_STORE | STATUS_NEED_IPM_TREE\r\n"
      "PR_DISPLAY_NAME=Vantrel");
  ASSERT_EQ(inf.Services().size(), 1u);
  EXPECT_EQ(inf.Services()[0].first, "MSZLF");
  EXPECT_EQ(inf.Services()[0].second, "Vantrel");
  struct Case {
    const char* key;
    const char* value;
    HRESULT hr;
    ULONG number;
  } cases[] = {
      {"PR_RESOURCE_FLAGS", "SERVICE_NO_PRIMARY_IDENTITY", S_OK, 0x20},
      {"PR_RESOURCE_FLAGS", "STATUS_DEFAULT_STORE | STATUS_NEED_IPM_TREE", S_OK, 0x802},
      {"PR_RESOURCE_TYPE", "MAPI_STORE_PROVIDER", S_OK, 33},
      {"PR_RESOURCE_FLAGS", "0x10", S_OK, 0x10},
      {"PR_RESOURCE_FLAGS", "NOT_A_SYMBOL", MAPI_E_INVALID_PARAMETER, 0},
      {"PR_NO_SUCH_PROPERTY", "1", MAPI_E_INVALID_PARAMETER, 0},
      {"Providers", "MS_ZLF", MAPI_E_NOT_FOUND, 0},
  };
  for (const Case& c : cases) {
    ProfProp p;
    EXPECT_EQ(InfPropFromLine(c.key, c.value, &p), c.hr) << c.key << "=" << c.value;
    if (c.hr == S_OK) {
      EXPECT_EQ(p.AsLong(), c.number) << c.value;
    }
  }
  inf.Set("MSZLF", "PR_SERVICE_DLL_NAME", "Mszlf.DLL");
  inf.Set("MS_ZLF", "PR_DISPLAY_NAME", "Other");
  inf.RemoveSection("Services");
  std::string text = inf.Serialize();
  EXPECT_EQ(text.find("; comment\n[MSZLF]\nProviders=MS_ZLF\nPR_RESOURCE_FLAGS=SERVICE_NO_PRIMARY_IDENTITY\n"
                      "PR_SERVICE_DLL_NAME=Mszlf.DLL\n\n[MS_ZLF]"),
            0u)
      << text;
  EXPECT_NE(text.find("PR_DISPLAY_NAME=Other\n"), std::string::npos);
  EXPECT_EQ(text.find("Vantrel"), std::string::npos);
}

TEST_F(SessionTest, InitializeInstallsMapisvcInfAndSharedDll) {
  MapiSvcInf inf;
  ASSERT_EQ(inf.Load(MapiSvcInf::DefaultPath()), S_OK);
  EXPECT_TRUE(inf.HasSection(kPstService));
  EXPECT_TRUE(inf.HasSection(kPstProvider));
  HKEY k = nullptr;
  ASSERT_EQ(
      RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", 0, KEY_READ, &k),
      ERROR_SUCCESS);
  char name[512];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumValue(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  RegCloseKey(k);
  // The MAPISVC.INF that installers merge into sits beside the library.
  std::string lib(name, cch);
  ASSERT_GE(lib.size(), 12u);
  EXPECT_EQ(lib.substr(lib.size() - 12), "MSMAPI32.DLL");
  EXPECT_EQ(lib.substr(0, lib.size() - 12) + "MAPISVC.INF", MapiSvcInf::DefaultPath());
}

TEST_F(SessionTest, ProfilesLiveInTheRegistry) {
  ASSERT_EQ(admin_->CreateProfile(const_cast<LPSTR>("Public"), nullptr, 0, 0), S_OK);
  EXPECT_EQ(admin_->CreateProfile(const_cast<LPSTR>("public"), nullptr, 0, 0), MAPI_E_NO_ACCESS);
  ASSERT_EQ(admin_->CreateProfile(const_cast<LPSTR>("mailbox_jsmith"), nullptr, 0, 0), S_OK);
  ASSERT_EQ(admin_->SetDefaultProfile(const_cast<LPSTR>("Public"), 0), S_OK);
  TableRows rows;
  ProfileTableRows(&rows);
  ASSERT_EQ(rows.size(), 2u);
  std::map<std::string, ULONG> def;
  for (const ProfProps& r : rows) def[Col(r, PR_DISPLAY_NAME)->AsText()] = Col(r, PR_DEFAULT_PROFILE)->AsLong();
  EXPECT_EQ(def["Public"], 1u);
  EXPECT_EQ(def["mailbox_jsmith"], 0u);

  // The home platform's layout, byte for byte.
  std::string global = std::string(kProfilesRoot) + "\\Public\\9207f3e0a3b11019908b08002b2a56c2";
  DWORD type = 0;
  EXPECT_EQ(RegText(global, "01023d00", &type), "");
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(RegText(global, "001e3d12", &type), "Public");
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RegText(kProfilesRoot, "DefaultProfile"), "Public");

  EXPECT_EQ(admin_->DeleteProfile(const_cast<LPSTR>("Public"), 0), S_OK);
  EXPECT_EQ(admin_->DeleteProfile(const_cast<LPSTR>("Public"), 0), MAPI_E_NOT_FOUND);
  EXPECT_EQ(ProfileStore::DefaultProfile(), "");
  EXPECT_EQ(ProfileStore::List(), std::vector<std::string>{"mailbox_jsmith"});
  ComPtr<IMAPITable> table;
  ASSERT_EQ(admin_->GetProfileTable(0, table.Out()), S_OK);
  LPSRowSet set = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &set), S_OK);
  ASSERT_EQ(set->cRows, 1u);
  EXPECT_EQ(set->aRow[0].lpProps[0].ulPropTag, PR_DISPLAY_NAME);
  EXPECT_STREQ(set->aRow[0].lpProps[0].Value.lpszA, "mailbox_jsmith");
  EXPECT_EQ(set->aRow[0].lpProps[1].ulPropTag, PR_DEFAULT_PROFILE);
  FreeProws(set);
}

TEST_F(SessionTest, ServiceIsCreatedConfiguredAndDeletedThroughMapisvcInf) {
  ASSERT_EQ(admin_->CreateProfile(const_cast<LPSTR>("p"), nullptr, 0, 0), S_OK);
  ComPtr<IMsgServiceAdmin> services;
  ASSERT_EQ(admin_->AdminServices(const_cast<LPSTR>("p"), nullptr, 0, 0, services.Out()), S_OK);
  EXPECT_EQ(services->CreateMsgService(const_cast<LPSTR>("NO SUCH"), nullptr, 0, 0), MAPI_E_NOT_FOUND);
  ASSERT_EQ(services->CreateMsgService(const_cast<LPSTR>("MSPST MS"), nullptr, 0, 0), S_OK);

  TableRows rows;
  ASSERT_EQ(ServiceTableRows("p", &rows), S_OK);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Col(rows[0], PR_SERVICE_NAME)->AsText(), "MSPST MS");
  EXPECT_EQ(Col(rows[0], PR_DISPLAY_NAME)->AsText(), "Personal Folders");
  EXPECT_EQ(Col(rows[0], PR_RESOURCE_FLAGS)->AsLong(), SERVICE_NO_PRIMARY_IDENTITY);
  MAPIUID uid;
  ASSERT_EQ(Col(rows[0], PR_SERVICE_UID)->data.size(), 16u);
  std::memcpy(uid.ab, Col(rows[0], PR_SERVICE_UID)->data.data(), 16);

  std::string file = Tmp() + "/configured.pst";
  SPropValue props[2] = {};
  props[0].ulPropTag = PR_PST_PATH;
  props[0].Value.lpszA = file.data();
  props[1].ulPropTag = PR_DISPLAY_NAME;
  props[1].Value.lpszA = const_cast<LPSTR>("Archive");
  ASSERT_EQ(services->ConfigureMsgService(&uid, 0, SERVICE_UI_ALWAYS, 2, props), S_OK);
  TableRows providers;
  ASSERT_EQ(ProviderTableRows("p", &uid, &providers), S_OK);
  ASSERT_EQ(providers.size(), 1u);
  EXPECT_EQ(Col(providers[0], PR_PST_PATH)->AsText(), file);
  EXPECT_EQ(Col(providers[0], PR_DISPLAY_NAME)->AsText(), "Archive");
  EXPECT_EQ(Col(providers[0], PR_RESOURCE_TYPE)->AsLong(), MAPI_STORE_PROVIDER);
  ASSERT_TRUE(Col(providers[0], PR_MDB_PROVIDER));
  EXPECT_EQ(Col(providers[0], PR_MDB_PROVIDER)->data, std::vector<BYTE>(kPstMdbProvider.ab, kPstMdbProvider.ab + 16));
  ASSERT_EQ(ServiceTableRows("p", &rows), S_OK);
  EXPECT_EQ(Col(rows[0], PR_DISPLAY_NAME)->AsText(), "Archive");

  ComPtr<IProviderAdmin> padmin;
  ASSERT_EQ(services->AdminProviders(&uid, 0, padmin.Out()), S_OK);
  ComPtr<IProfSect> sect;
  MAPIUID puid;
  std::memcpy(puid.ab, Col(providers[0], PR_PROVIDER_UID)->data.data(), 16);
  ASSERT_EQ(padmin->OpenProfileSection(&puid, nullptr, 0, sect.Out()), S_OK);
  LPSPropValue name = nullptr;
  ASSERT_EQ(HrGetOneProp(sect.get(), PR_DISPLAY_NAME, &name), S_OK);
  EXPECT_STREQ(name->Value.lpszA, "Archive");
  MAPIFreeBuffer(name);
  SPropValue v{};
  v.ulPropTag = PR_DISPLAY_NAME;
  v.Value.lpszA = const_cast<LPSTR>("x");
  EXPECT_EQ(sect->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);  // opened without MAPI_MODIFY

  ASSERT_EQ(services->DeleteMsgService(&uid), S_OK);
  ASSERT_EQ(ServiceTableRows("p", &rows), S_OK);
  EXPECT_TRUE(rows.empty());
  EXPECT_FALSE(ProfileStore::SectionExists("p", uid));
  EXPECT_FALSE(ProfileStore::SectionExists("p", puid));
  ProfProps global;
  ASSERT_EQ(ProfileStore::ReadSection("p", kGlobalSection, &global), S_OK);
  EXPECT_TRUE(FindProp(global, PR_SERVICES)->data.empty());
  EXPECT_TRUE(FindProp(global, PR_STORE_PROVIDERS)->data.empty());
  EXPECT_EQ(services->DeleteMsgService(&uid), MAPI_E_NOT_FOUND);
}

TEST_F(SessionTest, LogonToAProfileWithTwoStores) {
  std::string a = Tmp() + "/jsmith.pst", b = Tmp() + "/archive.pst";
  MakeProfile("mailbox_jsmith", {{a, "Mailbox"}, {b, "Archive"}});
  ComPtr<IMAPISession> session;
  ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>("mailbox_jsmith"), const_cast<LPSTR>(""),
                        MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL, session.Out()),
            S_OK);

  TableRows rows;
  ASSERT_EQ(MsgStoresRows("mailbox_jsmith", &rows), S_OK);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(Col(rows[0], PR_DISPLAY_NAME)->AsText(), "Mailbox");
  EXPECT_EQ(Col(rows[1], PR_DISPLAY_NAME)->AsText(), "Archive");
  EXPECT_EQ(Col(rows[0], PR_ENTRYID)->data, FakeId(a));
  EXPECT_EQ(Col(rows[0], PR_MDB_PROVIDER)->data, std::vector<BYTE>(kPstMdbProvider.ab, kPstMdbProvider.ab + 16));
  EXPECT_EQ(Col(rows[0], PR_PROVIDER_DISPLAY)->AsText(), "Personal Folders");
  // Exactly one default store, flagged in both columns.
  EXPECT_EQ(Col(rows[0], PR_DEFAULT_STORE)->AsLong(), 1u);
  EXPECT_EQ(Col(rows[1], PR_DEFAULT_STORE)->AsLong(), 0u);
  EXPECT_EQ(Col(rows[0], PR_RESOURCE_FLAGS)->AsLong() & STATUS_DEFAULT_STORE, STATUS_DEFAULT_STORE);
  EXPECT_EQ(Col(rows[1], PR_RESOURCE_FLAGS)->AsLong() & STATUS_DEFAULT_STORE, 0u);

  // The columns a caller asks for, in its order, as a row set.
  LPSRowSet set = nullptr;
  ASSERT_EQ(RowsToRowSet({PR_DISPLAY_NAME, PR_ENTRYID, PR_DEFAULT_STORE, PR_SUBJECT}, rows, &set), S_OK);
  ASSERT_EQ(set->cRows, 2u);
  EXPECT_STREQ(set->aRow[1].lpProps[0].Value.lpszA, "Archive");
  EXPECT_EQ(set->aRow[0].lpProps[2].Value.b, 1);
  EXPECT_EQ(set->aRow[0].lpProps[3].ulPropTag, CHANGE_PROP_TYPE(PR_SUBJECT, PT_ERROR));
  FreeProws(set);

  // The session's table: the caller's columns, rows read in batches.
  ComPtr<IMAPITable> table;
  ASSERT_EQ(session->GetMsgStoresTable(0, table.Out()), S_OK);
  SizedSPropTagArray<2> cols{2, {PR_ENTRYID, PR_DISPLAY_NAME}};
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
  ULONG count = 0;
  ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(table->QueryRows(1, 0, &set), S_OK);
  ASSERT_EQ(set->cRows, 1u);
  EXPECT_EQ(set->aRow[0].cValues, 2u);
  EXPECT_STREQ(set->aRow[0].lpProps[1].Value.lpszA, "Mailbox");
  FreeProws(set);
  ASSERT_EQ(table->QueryRows(5, 0, &set), S_OK);
  ASSERT_EQ(set->cRows, 1u);
  EXPECT_STREQ(set->aRow[0].lpProps[1].Value.lpszA, "Archive");
  FreeProws(set);
  ASSERT_EQ(table->QueryRows(5, 0, &set), S_OK);
  EXPECT_EQ(set->cRows, 0u);
  FreeProws(set);
  LONG sought = 0;
  ASSERT_EQ(table->SeekRow(BOOKMARK_END, -1, &sought), S_OK);
  EXPECT_EQ(sought, -1);
  ASSERT_EQ(table->QueryRows(-5, 0, &set), S_OK);
  EXPECT_EQ(set->cRows, 1u);
  FreeProws(set);

  // OpenMsgStore by entry ID: the second store, twice, is one store.
  std::vector<BYTE> id = Col(rows[1], PR_ENTRYID)->data;
  ComPtr<IMsgStore> s1, s2;
  ASSERT_EQ(session->OpenMsgStore(0, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                                  MAPI_BEST_ACCESS, s1.Out()),
            S_OK);
  ASSERT_EQ(session->OpenMsgStore(0, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                                  MAPI_BEST_ACCESS, s2.Out()),
            S_OK);
  EXPECT_EQ(s1.get(), s2.get());
  LPSPropValue name = nullptr;
  ASSERT_EQ(HrGetOneProp(s1.get(), PR_DISPLAY_NAME, &name), S_OK);
  EXPECT_STREQ(name->Value.lpszA, "Archive");
  MAPIFreeBuffer(name);
  std::vector<BYTE> other = FakeId(Tmp() + "/not-in-profile.pst");
  ComPtr<IMsgStore> none;
  EXPECT_EQ(session->OpenMsgStore(0, static_cast<ULONG>(other.size()), reinterpret_cast<LPENTRYID>(other.data()),
                                  nullptr, MAPI_BEST_ACCESS, none.Out()),
            MAPI_E_NOT_FOUND);

  ULONG same = 0;
  std::vector<BYTE> id0 = Col(rows[0], PR_ENTRYID)->data;
  ASSERT_EQ(session->CompareEntryIDs(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()),
                                     static_cast<ULONG>(id0.size()), reinterpret_cast<LPENTRYID>(id0.data()), 0, &same),
            S_OK);
  EXPECT_FALSE(same);
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  ASSERT_EQ(session->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0, &type,
                               unk.Out()),
            S_OK);
  EXPECT_EQ(type, MAPI_STORE);

  // Advise on a store goes to that store and ends with the session.
  ComPtr<IMAPIAdviseSink> sink;
  ASSERT_EQ(HrAllocAdviseSink([](ULONG, LPNOTIFICATION) -> ULONG { return 0; }, sink.Out()), S_OK);
  ULONG conn = 0;
  ASSERT_EQ(session->Advise(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), fnevNewMail,
                            sink.get(), &conn),
            S_OK);
  auto* fake = static_cast<FakeStore*>(s1.get());
  EXPECT_EQ(fake->advises, 1);

  ComPtr<IMsgServiceAdmin> services;
  EXPECT_EQ(session->AdminServices(0, services.Out()), S_OK);
  ASSERT_EQ(session->Logoff(0, 0, 0), S_OK);
  EXPECT_EQ(fake->advises, 0);
  EXPECT_EQ(session->OpenMsgStore(0, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0,
                                  none.Out()),
            MAPI_E_END_OF_SESSION);
}

TEST_F(SessionTest, StatusTableNamesTheProfile) {
  MakeProfile("Public", {{Tmp() + "/public.pst", "Public Folders"}});
  ComPtr<IMAPISession> session;
  ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>("Public"), nullptr, 0x8022, session.Out()), S_OK);
  ComPtr<IMAPITable> table;
  ASSERT_EQ(session->GetStatusTable(0, table.Out()), S_OK);
  SizedSPropTagArray<2> cols{2, {PR_RESOURCE_TYPE, PR_DISPLAY_NAME}};
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
  LPSRowSet set = nullptr;
  ASSERT_EQ(table->QueryRows(10, 0, &set), S_OK);
  ASSERT_EQ(set->cRows, 2u);
  EXPECT_EQ(set->aRow[0].lpProps[0].Value.l, static_cast<LONG>(MAPI_SUBSYSTEM));
  EXPECT_STREQ(set->aRow[0].lpProps[1].Value.lpszA, "Public");
  FreeProws(set);
  TableRows rows;
  ASSERT_EQ(StatusRows("Public", &rows), S_OK);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(Col(rows[0], PR_RESOURCE_TYPE)->AsLong(), 39u);
  EXPECT_EQ(Col(rows[0], PR_DISPLAY_NAME)->AsText(), "Public");
  EXPECT_EQ(Col(rows[1], PR_RESOURCE_TYPE)->AsLong(), MAPI_STORE_PROVIDER);
  EXPECT_EQ(Col(rows[1], PR_DISPLAY_NAME)->AsText(), "Public Folders");
  EXPECT_EQ(Col(rows[1], PR_STATUS_CODE)->AsLong(), STATUS_AVAILABLE);
}

TEST_F(SessionTest, LogonFailures) {
  ComPtr<IMAPISession> session;
  EXPECT_EQ(MAPILogonEx(0, const_cast<LPSTR>("nobody"), nullptr, MAPI_NEW_SESSION, session.Out()), MAPI_E_LOGON_FAILED);
  EXPECT_FALSE(session);
  EXPECT_EQ(MAPILogonEx(0, nullptr, nullptr, MAPI_NEW_SESSION | MAPI_USE_DEFAULT, session.Out()), MAPI_E_LOGON_FAILED);

  // A store service never configured cannot load: the session comes anyway.
  ASSERT_EQ(admin_->CreateProfile(const_cast<LPSTR>("half"), nullptr, 0, 0), S_OK);
  ComPtr<IMsgServiceAdmin> services;
  ASSERT_EQ(admin_->AdminServices(const_cast<LPSTR>("half"), nullptr, 0, 0, services.Out()), S_OK);
  ASSERT_EQ(services->CreateMsgService(const_cast<LPSTR>("MSPST MS"), nullptr, 0, 0), S_OK);
  EXPECT_EQ(MAPILogonEx(0, const_cast<LPSTR>("half"), nullptr, MAPI_NEW_SESSION, session.Out()),
            MAPI_E_FAILONEPROVIDER);
  EXPECT_TRUE(session);
  TableRows rows;
  ASSERT_EQ(StatusRows("half", &rows), S_OK);
  EXPECT_EQ(Col(rows[1], PR_STATUS_CODE)->AsLong(), STATUS_FAILURE);

  // Without MAPI_NEW_SESSION a live session of the profile is shared.
  ComPtr<IMAPISession> a, b, c;
  MAPILogonEx(0, const_cast<LPSTR>("half"), nullptr, 0, a.Out());
  MAPILogonEx(0, const_cast<LPSTR>("HALF"), nullptr, 0, b.Out());
  MAPILogonEx(0, const_cast<LPSTR>("half"), nullptr, MAPI_NEW_SESSION, c.Out());
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_NE(a.get(), c.get());
  EXPECT_NE(a.get(), session.get());
}

// The installer's layout written by hand: a service and its store provider
// that MAPI then uses.
TEST_F(SessionTest, SectionsWrittenByHandBecomeAWorkingService) {
  ASSERT_EQ(admin_->CreateProfile(const_cast<LPSTR>("hand"), nullptr, 0, 0), S_OK);
  std::string root = std::string(kProfilesRoot) + "\\hand\\";
  MAPIUID service = NewUid(), provider = NewUid();
  auto write = [&](const MAPIUID& section, const char* name, DWORD type, const void* data, size_t cb) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, (root + UidToHex(section)).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(k, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(cb)), ERROR_SUCCESS);
    RegCloseKey(k);
  };
  auto text = [&](const MAPIUID& s, const char* name, const std::string& v) {
    write(s, name, REG_SZ, v.data(), v.size());
  };
  auto number = [&](const MAPIUID& s, const char* name, ULONG v) {
    BYTE b[4] = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
    write(s, name, REG_BINARY, b, 4);
  };
  std::string file = Tmp() + "/hand.pst";
  text(service, "001e3d0a", "MSPST.DLL");
  text(service, "001e3d09", "MSPST MS");
  text(service, "001e3001", "By hand");
  number(service, "00033009", SERVICE_NO_PRIMARY_IDENTITY);
  write(service, "01023d00", REG_BINARY, provider.ab, 16);
  text(provider, "001e300a", "MSPST.DLL");
  text(provider, "001e3d09", "MSPST MS");
  text(provider, "001e3006", "Personal Folders");
  text(provider, "001e3001", "Hand store");
  number(provider, "00033e03", MAPI_STORE_PROVIDER);
  number(provider, "00033009", STATUS_DEFAULT_STORE | STATUS_NEED_IPM_TREE);
  write(provider, "01023d0c", REG_BINARY, service.ab, 16);
  text(provider, "001e6700", file);
  // Listed in the global section last, as the installer does.
  std::vector<BYTE> list;
  write(kGlobalSection, "01023d00", REG_BINARY, provider.ab, 16);
  write(kGlobalSection, "01023d0e", REG_BINARY, service.ab, 16);

  ComPtr<IMAPISession> session;
  ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>("hand"), nullptr, 0x8022, session.Out()), S_OK);
  TableRows rows;
  ASSERT_EQ(MsgStoresRows("hand", &rows), S_OK);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Col(rows[0], PR_DISPLAY_NAME)->AsText(), "Hand store");
  std::vector<BYTE> id = Col(rows[0], PR_ENTRYID)->data;
  ComPtr<IMsgStore> store;
  ASSERT_EQ(session->OpenMsgStore(0, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                                  MAPI_BEST_ACCESS, store.Out()),
            S_OK);
  TableRows services;
  ASSERT_EQ(ServiceTableRows("hand", &services), S_OK);
  ASSERT_EQ(services.size(), 1u);
  EXPECT_EQ(Col(services[0], PR_DISPLAY_NAME)->AsText(), "By hand");

  // An outside provider whose library is not installed fails alone.
  MAPIUID zsvc = NewUid(), zprov = NewUid();
  text(zsvc, "001e3d0a", "Mszlf.DLL");
  text(zsvc, "001e3d09", "MSZLF");
  write(zsvc, "01023d00", REG_BINARY, zprov.ab, 16);
  text(zprov, "001e300a", "Mszlf.DLL");
  number(zprov, "00033e03", MAPI_STORE_PROVIDER);
  write(zprov, "01023d0c", REG_BINARY, zsvc.ab, 16);
  ASSERT_EQ(ProfileStore::AddUid("hand", kGlobalSection, PR_STORE_PROVIDERS, zprov), S_OK);
  ASSERT_EQ(ProfileStore::AddUid("hand", kGlobalSection, PR_SERVICES, zsvc), S_OK);
  ComPtr<IMAPISession> second;
  EXPECT_EQ(MAPILogonEx(0, const_cast<LPSTR>("hand"), nullptr, 0x8022, second.Out()), MAPI_E_FAILONEPROVIDER);
  EXPECT_TRUE(second);
  ASSERT_EQ(MsgStoresRows("hand", &rows), S_OK);
  EXPECT_EQ(rows.size(), 2u);
}

TEST_F(SessionTest, TwoProcessesSeeTheSameProfiles) {
  ASSERT_EQ(admin_->CreateProfile(const_cast<LPSTR>("from_parent"), nullptr, 0, 0), S_OK);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child sees the parent's profile and adds one of its own.
    bool seen = ProfileStore::Exists("from_parent");
    HRESULT hr = ProfileStore::Create("from_child");
    _exit(seen && hr == S_OK ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(ProfileStore::Exists("from_child"));
  TableRows rows;
  ProfileTableRows(&rows);
  EXPECT_EQ(rows.size(), 2u);
}

TEST(SupportTest, MemoryRoutinesAndSubscriptions) {
  ComPtr<IMAPISupport> sup;
  ASSERT_EQ(NewSupport("none", nullptr, kGlobalSection, sup.Out()), S_OK);
  LPALLOCATEBUFFER ab = nullptr;
  LPALLOCATEMORE am = nullptr;
  LPFREEBUFFER fb = nullptr;
  ASSERT_EQ(sup->GetMemAllocRoutines(&ab, &am, &fb), S_OK);
  EXPECT_EQ(ab, &MAPIAllocateBuffer);
  EXPECT_EQ(am, &MAPIAllocateMore);
  EXPECT_EQ(fb, &MAPIFreeBuffer);

  std::vector<ULONG> got;
  const std::thread::id caller = std::this_thread::get_id();
  bool on_caller = false;
  ComPtr<IMAPIAdviseSink> sink;
  ASSERT_EQ(HrAllocAdviseSink(
                [&](ULONG n, LPNOTIFICATION ns) -> ULONG {
                  if (std::this_thread::get_id() == caller) on_caller = true;
                  for (ULONG i = 0; i < n; ++i) got.push_back(ns[i].ulEventType);
                  return 0;
                },
                sink.Out()),
            S_OK);
  BYTE keybuf[CbNewNOTIFKEY(4)] = {};
  auto* key = reinterpret_cast<LPNOTIFKEY>(keybuf);
  key->cb = 4;
  std::memcpy(key->ab, "ABCD", 4);
  ULONG conn = 0;
  ASSERT_EQ(sup->Subscribe(key, fnevExtended | fnevNewMail, 0, sink.get(), &conn), S_OK);

  // Another support object notifies the key: the subscriber gets what its
  // mask asks for, extended events included.
  ComPtr<IMAPISupport> other;
  ASSERT_EQ(NewSupport("none", nullptr, kGlobalSection, other.Out()), S_OK);
  NOTIFICATION ns[3] = {};
  ns[0].ulEventType = fnevExtended;
  ns[1].ulEventType = fnevObjectModified;
  ns[2].ulEventType = fnevNewMail;
  ASSERT_EQ(other->Notify(key, 3, ns, nullptr), S_OK);
  NotificationThread::Instance().Flush();
  EXPECT_EQ(got, (std::vector<ULONG>{fnevExtended, fnevNewMail}));
  EXPECT_FALSE(on_caller);
  BYTE otherbuf[CbNewNOTIFKEY(4)] = {};
  auto* key2 = reinterpret_cast<LPNOTIFKEY>(otherbuf);
  key2->cb = 4;
  std::memcpy(key2->ab, "ABCE", 4);
  ASSERT_EQ(other->Notify(key2, 3, ns, nullptr), S_OK);
  NotificationThread::Instance().Flush();
  EXPECT_EQ(got.size(), 2u);
  ASSERT_EQ(sup->Unsubscribe(conn), S_OK);
  EXPECT_EQ(sup->Unsubscribe(conn), MAPI_E_NOT_FOUND);
  ASSERT_EQ(other->Notify(key, 3, ns, nullptr), S_OK);
  NotificationThread::Instance().Flush();
  EXPECT_EQ(got.size(), 2u);
}

TEST(SupportTest, DoCopyToAndDoCopyProps) {
  ComPtr<IMAPISupport> sup;
  ASSERT_EQ(NewSupport("none", nullptr, kGlobalSection, sup.Out()), S_OK);
  auto src = ComPtr<FakeStore>::Adopt(new FakeStore);
  src->Put(ProfProp::Text(PR_SUBJECT, "hello"));
  src->Put(ProfProp::Text(PR_DISPLAY_NAME, "name"));
  src->Put(ProfProp::Long(PR_MESSAGE_FLAGS, 1));
  src->Put(ProfProp::Binary(PR_ENTRYID, "id", 2));

  auto dest = ComPtr<FakeStore>::Adopt(new FakeStore);
  dest->Put(ProfProp::Text(PR_DISPLAY_NAME, "kept"));
  SizedSPropTagArray<1> exclude{1, {PR_MESSAGE_FLAGS}};
  ASSERT_EQ(sup->DoCopyTo(&IID_IMAPIProp, static_cast<IMAPIProp*>(src.get()), 0, nullptr, exclude.get(), 0, nullptr,
                          &IID_IMAPIProp, static_cast<IMAPIProp*>(dest.get()), MAPI_NOREPLACE, nullptr),
            S_OK);
  EXPECT_EQ(dest->props[PR_SUBJECT].AsText(), "hello");
  EXPECT_EQ(dest->props[PR_DISPLAY_NAME].AsText(), "kept");
  EXPECT_EQ(dest->props.count(PR_MESSAGE_FLAGS), 0u);
  EXPECT_EQ(dest->props.count(PR_ENTRYID), 0u);  // identity stays with the source

  auto third = ComPtr<FakeStore>::Adopt(new FakeStore);
  SizedSPropTagArray<2> include{2, {PR_MESSAGE_FLAGS, PR_BODY}};
  ASSERT_EQ(sup->DoCopyProps(&IID_IMAPIProp, static_cast<IMAPIProp*>(src.get()), include.get(), 0, nullptr,
                             &IID_IMAPIProp, static_cast<IMAPIProp*>(third.get()), MAPI_MOVE, nullptr),
            S_OK);
  EXPECT_EQ(third->props.size(), 1u);
  EXPECT_EQ(third->props[PR_MESSAGE_FLAGS].AsLong(), 1u);
  EXPECT_EQ(src->props.count(PR_MESSAGE_FLAGS), 0u);  // moved
  EXPECT_EQ(src->props.count(PR_SUBJECT), 1u);
}

}  // namespace

namespace {

// An outside provider in a shared library: configured through its service
// entry, logged on to through MSProviderInit.
// The test provider installed in the provider folder and its service
// added to a new profile "outside".
void InstallTestProvider(IProfAdmin* admin, ComPtr<IMsgServiceAdmin>* services) {
  std::filesystem::create_directories(ProviderDirectory());
  // A new file, never one rewritten in place: an earlier test of this
  // process may still have the library mapped.
  std::filesystem::remove(ProviderLibraryPath("TestProv.DLL"));
  std::filesystem::copy_file(VANTREL_TEST_PROVIDER, ProviderLibraryPath("TestProv.DLL"));
  MapiSvcInf inf;
  ASSERT_EQ(MapiSvcInf::LoadInstalled(&inf), S_OK);
  inf.Set("Services", "TESTPROV", "Test provider");
  inf.Set("TESTPROV", "Providers", "TESTPROV_MSP");
  inf.Set("TESTPROV", "PR_SERVICE_DLL_NAME", "TestProv.DLL");
  inf.Set("TESTPROV_MSP", "PR_PROVIDER_DLL_NAME", "TestProv.DLL");
  inf.Set("TESTPROV_MSP", "PR_RESOURCE_TYPE", "MAPI_STORE_PROVIDER");
  inf.Set("TESTPROV_MSP", "PR_DISPLAY_NAME", "Outside");
  ASSERT_EQ(inf.Save(MapiSvcInf::DefaultPath()), S_OK);

  ASSERT_EQ(admin->CreateProfile(const_cast<LPSTR>("outside"), nullptr, 0, 0), S_OK);
  ASSERT_EQ(admin->AdminServices(const_cast<LPSTR>("outside"), nullptr, 0, 0, services->Out()), S_OK);
  ASSERT_EQ((*services)->CreateMsgService(const_cast<LPSTR>("TESTPROV"), nullptr, 0, 0), S_OK);
}

TEST_F(SessionTest, OutsideProviderIsLoadedFromTheProviderFolder) {
  ComPtr<IMsgServiceAdmin> services;
  ASSERT_NO_FATAL_FAILURE(InstallTestProvider(admin_.get(), &services));
  TableRows rows;
  ASSERT_EQ(ServiceTableRows("outside", &rows), S_OK);
  ASSERT_EQ(rows.size(), 1u);
  MAPIUID uid;
  std::memcpy(uid.ab, Col(rows[0], PR_SERVICE_UID)->data.data(), 16);
  ProfProps section;
  ASSERT_EQ(ProfileStore::ReadSection("outside", uid, &section), S_OK);
  EXPECT_EQ(FindProp(section, PROP_TAG(PT_LONG, 0x6701))->AsLong(), MSG_SERVICE_CREATE);

  SPropValue name{};
  name.ulPropTag = PR_DISPLAY_NAME;
  name.Value.lpszA = const_cast<LPSTR>("configured");
  ASSERT_EQ(services->ConfigureMsgService(&uid, 0, SERVICE_UI_ALWAYS, 1, &name), S_OK);
  ASSERT_EQ(ProfileStore::ReadSection("outside", uid, &section), S_OK);
  EXPECT_EQ(FindProp(section, PROP_TAG(PT_LONG, 0x6701))->AsLong(), MSG_SERVICE_CONFIGURE);
  EXPECT_EQ(FindProp(section, PROP_TAG(PT_STRING8, 0x6702))->AsText(), "configured");

  ComPtr<IMAPISession> session;
  ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>("outside"), nullptr, 0x8022, session.Out()), S_OK);
  ASSERT_EQ(MsgStoresRows("outside", &rows), S_OK);
  ASSERT_EQ(rows.size(), 1u);
  std::vector<BYTE> id = Col(rows[0], PR_ENTRYID)->data;
  ComPtr<IMsgStore> store;
  ASSERT_EQ(session->OpenMsgStore(0, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                                  MAPI_BEST_ACCESS, store.Out()),
            S_OK);
  LPSPropValue display = nullptr;
  ASSERT_EQ(HrGetOneProp(store.get(), PR_DISPLAY_NAME, &display), S_OK);
  EXPECT_STREQ(display->Value.lpszA, "outside store of outside");
  MAPIFreeBuffer(display);
}

// A session logs on to an outside provider once, however often its store is
// opened; entry IDs carrying the UID the provider registered go to its
// logon object; Logoff ends the logon and shuts the provider down.
TEST_F(SessionTest, OutsideProviderLogonIsSharedRoutedAndEnded) {
  ComPtr<IMsgServiceAdmin> services;
  ASSERT_NO_FATAL_FAILURE(InstallTestProvider(admin_.get(), &services));
  void* module = dlopen(ProviderLibraryPath("TestProv.DLL").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(module);
  auto events = reinterpret_cast<void (*)(int*, MAPIUID*)>(dlsym(module, "TestProviderEvents"));
  ASSERT_TRUE(events);
  enum { kLogons, kLogoffs, kShutdowns, kOpens, kCompares, kAdvises, kUnadvises };
  int before[7], after[7];
  MAPIUID uid;
  events(before, &uid);
  auto delta = [&](int which) {
    events(after, &uid);
    return after[which] - before[which];
  };

  ComPtr<IMAPISession> session;
  ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>("outside"), nullptr, MAPI_NEW_SESSION, session.Out()), S_OK);
  TableRows rows;
  ASSERT_EQ(MsgStoresRows("outside", &rows), S_OK);
  ASSERT_EQ(rows.size(), 1u);
  std::vector<BYTE> store_id = Col(rows[0], PR_ENTRYID)->data;
  ComPtr<IMsgStore> first, second;
  for (ComPtr<IMsgStore>* store : {&first, &second})
    ASSERT_EQ(session->OpenMsgStore(0, static_cast<ULONG>(store_id.size()),
                                    reinterpret_cast<LPENTRYID>(store_id.data()), nullptr, MAPI_BEST_ACCESS,
                                    store->Out()),
              S_OK);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(delta(kLogons), 1);

  // An object ID of the provider, and the same ID with other flag bytes.
  std::vector<BYTE> id(4 + 16 + 8, 0x11), other;
  std::memcpy(id.data() + 4, uid.ab, 16);
  other = id;
  other[0] = 0x80;
  ULONG type = 0;
  ComPtr<IUnknown> object;
  ASSERT_EQ(session->OpenEntry(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0,
                               &type, object.Out()),
            S_OK);
  EXPECT_EQ(type, static_cast<ULONG>(MAPI_MESSAGE));
  EXPECT_EQ(delta(kOpens), 1);
  ULONG same = FALSE;
  ASSERT_EQ(session->CompareEntryIDs(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()),
                                     static_cast<ULONG>(other.size()), reinterpret_cast<LPENTRYID>(other.data()), 0,
                                     &same),
            S_OK);
  EXPECT_TRUE(same);
  EXPECT_EQ(delta(kCompares), 1);
  // An ID no provider registered is not the provider's business.
  std::vector<BYTE> foreign(28, 0x22);
  ASSERT_EQ(session->CompareEntryIDs(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(foreign.data()),
                                     static_cast<ULONG>(foreign.size()), reinterpret_cast<LPENTRYID>(foreign.data()),
                                     0, &same),
            S_OK);
  EXPECT_TRUE(same);
  EXPECT_EQ(delta(kCompares), 1);

  class Sink final : public vantrel::RefCounted<IMAPIAdviseSink> {
   public:
    ULONG OnNotify(ULONG, LPNOTIFICATION) override { return 0; }
  };
  ComPtr<IMAPIAdviseSink> sink(new Sink);
  sink->Release();  // ComPtr's own reference remains
  ULONG connection = 0;
  ASSERT_EQ(session->Advise(static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), fnevObjectModified,
                            sink.get(), &connection),
            S_OK);
  EXPECT_EQ(delta(kAdvises), 1);

  first.Reset();
  second.Reset();
  object.Reset();
  EXPECT_EQ(delta(kLogoffs), 0);
  ASSERT_EQ(session->Logoff(0, 0, 0), S_OK);
  EXPECT_EQ(delta(kUnadvises), 1);
  EXPECT_EQ(delta(kLogoffs), 1);
  EXPECT_EQ(delta(kShutdowns), 1);
  EXPECT_EQ(delta(kLogons), 1);
  dlclose(module);
}

}  // namespace
