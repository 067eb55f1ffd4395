// mapiprof: sets up MAPI profiles from the command line.
//
//   mapiprof list
//   mapiprof create PROFILE
//   mapiprof delete PROFILE
//   mapiprof default PROFILE
//   mapiprof add-pst PROFILE FILE DISPLAY-NAME
//   mapiprof add-service PROFILE SERVICE KEY=VALUE...
//                                (adds a service of MAPISVC.INF and configures
//                                it; a value "-" is read from standard input)
//   mapiprof register MODULE     (calls the module's DllRegisterServer, as an
//                                installer does)
//   mapiprof show PROFILE
//   mapiprof folders PROFILE     (logs on and lists each store's folders)
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/mapi/MapiSession.h"
#include "platform/mapi/MapiSvcInf.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"
#include "platform/mapi/ServiceAdmin.h"
#include "platform/mapi/Services.h"
#include "platform/win/Module.h"
#include "tools/mszlf/MszlfProps.h"

using namespace vantrel::mapi;
using vantrel::ComPtr;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: mapiprof list\n"
               "       mapiprof create PROFILE\n"
               "       mapiprof delete PROFILE\n"
               "       mapiprof default PROFILE\n"
               "       mapiprof add-pst PROFILE FILE DISPLAY-NAME\n"
               "       mapiprof add-service PROFILE SERVICE KEY=VALUE...\n"
               "       mapiprof register MODULE\n"
               "       mapiprof show PROFILE\n"
               "       mapiprof folders PROFILE\n");
  return 2;
}

int Fail(const char* what, HRESULT hr) {
  std::fprintf(stderr, "mapiprof: %s: %s (0x%08x)\n", what, vantrel::CodeName(hr), static_cast<unsigned>(hr));
  return 1;
}

std::string Text(const ProfProps& row, ULONG tag) {
  const ProfProp* p = FindProp(row, tag);
  return p ? p->AsText() : "";
}

int List() {
  TableRows rows;
  ProfileTableRows(&rows);
  for (const ProfProps& r : rows) {
    const ProfProp* def = FindProp(r, PR_DEFAULT_PROFILE);
    std::printf("%s%s\n", Text(r, PR_DISPLAY_NAME).c_str(), def && def->AsLong() ? " (default)" : "");
  }
  return 0;
}

int AddPst(IProfAdmin* admin, const std::string& profile, const std::string& file, const std::string& name) {
  ComPtr<IMsgServiceAdmin> services;
  if (HRESULT hr = admin->AdminServices(const_cast<char*>(profile.c_str()), nullptr, 0, 0, services.Out()); FAILED(hr))
    return Fail(profile.c_str(), hr);
  MapiSvcInf inf;
  if (HRESULT hr = MapiSvcInf::LoadInstalled(&inf); FAILED(hr)) return Fail("MAPISVC.INF", hr);
  MAPIUID uid;
  if (HRESULT hr = CreateService(profile, inf, kPstService, name, 0, 0, &uid); FAILED(hr))
    return Fail("creating the service", hr);
  SPropValue props[2] = {};
  props[0].ulPropTag = PR_PST_PATH;
  props[0].Value.lpszA = const_cast<char*>(file.c_str());
  props[1].ulPropTag = PR_DISPLAY_NAME;
  props[1].Value.lpszA = const_cast<char*>(name.c_str());
  if (HRESULT hr = services->ConfigureMsgService(&uid, 0, 0, 2, props); FAILED(hr)) {
    services->DeleteMsgService(&uid);
    return Fail("configuring the service", hr);
  }
  std::printf("%s\n", UidToHex(uid).c_str());
  return 0;
}

// The settings a service takes by short names; any service also takes
// published text properties by name (PR_DISPLAY_NAME=...).
ULONG ServiceKeyTag(const std::string& service, const std::string& key) {
  static const std::map<std::string, std::map<std::string, ULONG>> kKeys = {
      {"MSZLF",
       {{"server", vantrel::mszlf::PR_ZLF_SERVER},
        {"profile", vantrel::mszlf::PR_ZLF_PROFILE},
        {"store", vantrel::mszlf::PR_ZLF_STORE},
        {"login", vantrel::mszlf::PR_ZLF_LOGIN},
        {"password", vantrel::mszlf::PR_ZLF_PASSWORD},
        {"display", PR_DISPLAY_NAME}}},
      {kPstService, {{"path", PR_PST_PATH}, {"display", PR_DISPLAY_NAME}}},
  };
  if (auto s = kKeys.find(service); s != kKeys.end())
    if (auto k = s->second.find(key); k != s->second.end()) return k->second;
  ULONG tag = PropTagFromName(key);
  return PROP_TYPE(tag) == PT_STRING8 ? tag : 0;
}

int AddService(IProfAdmin* admin, const std::string& profile, const std::string& service, int argc, char** argv) {
  std::vector<std::string> values;
  std::vector<ULONG> tags;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    size_t eq = arg.find('=');
    ULONG tag = eq == std::string::npos ? 0 : ServiceKeyTag(service, arg.substr(0, eq));
    if (!tag) {
      std::fprintf(stderr, "mapiprof: %s: not a setting of %s\n", arg.c_str(), service.c_str());
      return 2;
    }
    std::string value = arg.substr(eq + 1);
    // Secrets stay off the command line, where every user can read them.
    if (value == "-" && !std::getline(std::cin, value)) value.clear();
    tags.push_back(tag);
    values.push_back(value);
  }
  ComPtr<IMsgServiceAdmin> services;
  if (HRESULT hr = admin->AdminServices(const_cast<char*>(profile.c_str()), nullptr, 0, 0, services.Out()); FAILED(hr))
    return Fail(profile.c_str(), hr);
  MapiSvcInf inf;
  if (HRESULT hr = MapiSvcInf::LoadInstalled(&inf); FAILED(hr)) return Fail("MAPISVC.INF", hr);
  MAPIUID uid;
  if (HRESULT hr = CreateService(profile, inf, service, "", 0, 0, &uid); FAILED(hr))
    return Fail("creating the service", hr);
  std::vector<SPropValue> props(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    props[i].ulPropTag = tags[i];
    props[i].Value.lpszA = values[i].data();
  }
  if (HRESULT hr = services->ConfigureMsgService(&uid, 0, 0, static_cast<ULONG>(props.size()), props.data());
      FAILED(hr)) {
    services->DeleteMsgService(&uid);
    return Fail("configuring the service", hr);
  }
  std::printf("%s\n", UidToHex(uid).c_str());
  return 0;
}

// What regsvr32 does for a module: its DllRegisterServer.
int Register(const char* module) {
  HMODULE m = LoadLibraryA(module);
  if (!m) {
    std::fprintf(stderr, "mapiprof: %s: %s\n", module, vantrel::win::LastLoadError().c_str());
    return 1;
  }
  auto entry = reinterpret_cast<HRESULT (*)()>(GetProcAddress(m, "DllRegisterServer"));
  if (!entry) {
    std::fprintf(stderr, "mapiprof: %s has no DllRegisterServer\n", module);
    return 1;
  }
  HRESULT hr = entry();
  return FAILED(hr) ? Fail("DllRegisterServer", hr) : 0;
}

int Show(const std::string& profile) {
  TableRows services, stores;
  if (HRESULT hr = ServiceTableRows(profile, &services); FAILED(hr)) return Fail(profile.c_str(), hr);
  std::printf("services:\n");
  for (const ProfProps& r : services) {
    const ProfProp* uid = FindProp(r, PR_SERVICE_UID);
    MAPIUID u{};
    if (uid && uid->data.size() == 16) std::memcpy(u.ab, uid->data.data(), 16);
    std::printf("  %s  %s  %s\n", UidToHex(u).c_str(), Text(r, PR_SERVICE_NAME).c_str(),
                Text(r, PR_DISPLAY_NAME).c_str());
  }
  std::vector<ProviderInfo> providers;
  ListProviders(profile, nullptr, &providers);
  MsgStoresRows(profile, &stores);
  std::printf("stores:\n");
  for (const ProfProps& r : stores) {
    const ProfProp* def = FindProp(r, PR_DEFAULT_STORE);
    std::string file;
    const ProfProp* key = FindProp(r, PR_PROVIDER_UID);
    for (const ProviderInfo& p : providers)
      if (key && key->data == std::vector<BYTE>(p.uid.ab, p.uid.ab + 16)) file = Text(p.props, PR_PST_PATH);
    std::printf("  %s%s%s%s\n", Text(r, PR_DISPLAY_NAME).c_str(), file.empty() ? "" : "  ", file.c_str(),
                def && def->AsLong() ? "  (default)" : "");
  }
  return 0;
}

// Reads all rows of `table` with the given columns.
HRESULT AllRows(IMAPITable* table, std::initializer_list<ULONG> tags, LPSRowSet* rows) {
  SizedSPropTagArray<4> cols;
  cols.cValues = 0;
  for (ULONG t : tags) cols.aulPropTag[cols.cValues++] = t;
  return HrQueryAllRows(table, cols.get(), nullptr, nullptr, 0, rows);
}

// Prints the folders below `folder`, one per line, indented by depth.
void PrintFolders(IMAPIFolder* folder, int depth) {
  ComPtr<IMAPITable> table;
  LPSRowSet rows = nullptr;
  if (FAILED(folder->GetHierarchyTable(0, table.Out())) ||
      FAILED(AllRows(table.get(), {PR_DISPLAY_NAME, PR_ENTRYID}, &rows)))
    return;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    std::printf("    %*s%s\n", depth * 2, "", PROP_TYPE(v[0].ulPropTag) == PT_STRING8 ? v[0].Value.lpszA : "?");
    ULONG type = 0;
    ComPtr<IUnknown> child;
    if (PROP_TYPE(v[1].ulPropTag) == PT_BINARY &&
        SUCCEEDED(folder->OpenEntry(v[1].Value.bin.cb, reinterpret_cast<LPENTRYID>(v[1].Value.bin.lpb), nullptr,
                                    MAPI_BEST_ACCESS, &type, child.Out())) &&
        type == MAPI_FOLDER)
      PrintFolders(static_cast<IMAPIFolder*>(child.get()), depth + 1);
  }
  FreeProws(rows);
}

int Folders(const std::string& profile) {
  ComPtr<IMAPISession> session;
  if (HRESULT hr = MAPILogonEx(0, const_cast<char*>(profile.c_str()), const_cast<char*>(""),
                               MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL, session.Out());
      FAILED(hr))
    return Fail(profile.c_str(), hr);
  ComPtr<IMAPITable> stores;
  LPSRowSet rows = nullptr;
  if (HRESULT hr = session->GetMsgStoresTable(0, stores.Out()); FAILED(hr)) return Fail("stores table", hr);
  if (HRESULT hr = AllRows(stores.get(), {PR_DISPLAY_NAME, PR_ENTRYID}, &rows); FAILED(hr))
    return Fail("stores table", hr);
  int rc = 0;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    std::printf("  %s\n", v[0].Value.lpszA);
    ComPtr<IMsgStore> store;
    HRESULT hr = session->OpenMsgStore(0, v[1].Value.bin.cb, reinterpret_cast<LPENTRYID>(v[1].Value.bin.lpb), nullptr,
                                       MAPI_BEST_ACCESS, store.Out());
    LPSPropValue ipm = nullptr;
    if (SUCCEEDED(hr)) hr = HrGetOneProp(store.get(), PR_IPM_SUBTREE_ENTRYID, &ipm);
    ULONG type = 0;
    ComPtr<IUnknown> root;
    if (SUCCEEDED(hr))
      hr = store->OpenEntry(ipm->Value.bin.cb, reinterpret_cast<LPENTRYID>(ipm->Value.bin.lpb), nullptr,
                            MAPI_BEST_ACCESS, &type, root.Out());
    MAPIFreeBuffer(ipm);
    if (FAILED(hr)) {
      rc = Fail(v[0].Value.lpszA, hr);
      continue;
    }
    PrintFolders(static_cast<IMAPIFolder*>(root.get()), 0);
  }
  FreeProws(rows);
  session->Logoff(0, 0, 0);
  return rc;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string cmd = argv[1];
  ComPtr<IProfAdmin> admin;
  if (HRESULT hr = MAPIAdminProfiles(0, admin.Out()); FAILED(hr)) return Fail("MAPIAdminProfiles", hr);
  if (cmd == "list" && argc == 2) return List();
  if (argc < 3) return Usage();
  if (cmd == "register" && argc == 3) return Register(argv[2]);
  char* profile = argv[2];
  if (cmd == "create" && argc == 3) {
    HRESULT hr = admin->CreateProfile(profile, nullptr, 0, 0);
    return FAILED(hr) ? Fail(profile, hr) : 0;
  }
  if (cmd == "delete" && argc == 3) {
    HRESULT hr = admin->DeleteProfile(profile, 0);
    return FAILED(hr) ? Fail(profile, hr) : 0;
  }
  if (cmd == "default" && argc == 3) {
    HRESULT hr = admin->SetDefaultProfile(profile, 0);
    return FAILED(hr) ? Fail(profile, hr) : 0;
  }
  if (cmd == "add-pst" && argc == 5) return AddPst(admin.get(), profile, argv[3], argv[4]);
  if (cmd == "add-service" && argc >= 4) return AddService(admin.get(), profile, argv[3], argc - 4, argv + 4);
  if (cmd == "show" && argc == 3) return Show(profile);
  if (cmd == "folders" && argc == 3) return Folders(profile);
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  if (HRESULT hr = MAPIInitialize(nullptr); FAILED(hr)) return Fail("MAPIInitialize", hr);
  int rc = Run(argc, argv);
  MAPIUninitialize();
  return rc;
}
