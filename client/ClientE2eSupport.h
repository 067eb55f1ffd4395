// Test support for the client through MAPI: a ZelServer with a home, a
// registry and a MAPI folder of its own, and a workstation (this process,
// or a peer it starts) with the Vantrel service in a MAPI profile, set up
// as an installation does: the provider copied into the providers folder,
// zelclient registered in MAPISVC.INF, the service added and configured.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiSession.h"
#include "platform/mapi/MapiSvcInf.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"
#include "platform/win/WinUser.h"
#include "server/app/ServerProcess.h"
#include "tools/mszlf/MszlfProps.h"

namespace vantrel::clienttest {

using Env = std::vector<std::pair<std::string, std::string>>;

// Runs a program to its end with `env` added to this process's
// environment; its exit status (-1 when it did not exit).
inline int RunWithEnv(const std::vector<std::string>& argv, const Env& env, const std::string& input = "") {
  int in[2];
  if (pipe(in) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    dup2(in[0], 0);
    close(in[0]);
    close(in[1]);
    if (!std::freopen("/dev/null", "w", stdout)) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  if (!input.empty()) (void)!write(in[1], input.data(), input.size());
  close(in[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Scratch() {
  const char* tmp = std::getenv("VANTREL_TEST_TMPDIR");
  return tmp ? tmp : "/tmp/vantrel-client-e2e";
}

// The server machine: its own registry and MAPI folder (its profiles), the
// mailbox of jsmith ("secret") and the users file, and the server on a port
// it keeps across restarts.
class ServerMachine {
 public:
  static constexpr const char* kProfile = "mailbox_jsmith";
  static constexpr const char* kStore = "Mailbox - John Smith";
  static constexpr const char* kUser = "jsmith";
  static constexpr const char* kPassword = "secret";

  explicit ServerMachine(std::string dir) : dir_(std::move(dir)) {}
  ~ServerMachine() { Stop(); }

  Env Environment() const {
    return {{"ZEL_REGISTRY_DIR", dir_ + "/registry"}, {"ZEL_MAPI_DIR", dir_ + "/mapi"}, {"ZEL_RPC_ENDPOINT", port_}};
  }

  bool Prepare(const std::string& mapiprof, const std::string& zelusers) {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    std::filesystem::create_directories(dir_ + "/home", ec);
    Env env = Environment();
    return RunWithEnv({mapiprof, "create", kProfile}, env) == 0 &&
           RunWithEnv({mapiprof, "add-pst", kProfile, dir_ + "/jsmith.pst", kStore}, env) == 0 &&
           RunWithEnv({zelusers, dir_ + "/home/USERS.ZLF"}, env) == 0;
  }

  // Starts the server on the machine's port (a free one the first time);
  // false when it does not say it listens.
  bool Start(const std::string& program) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (!fixed_) port_ = std::to_string(testsupport::FreePort());
      if (Launch(program)) {
        fixed_ = true;
        return true;
      }
      Stop();
      // A port found free may be taken before the server binds it; a
      // restarted server keeps its port and waits for it instead.
      if (fixed_) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }
  // SIGTERM, bounded; its exit status, -1 when it had to be killed.
  int Stop() {
    int status = testsupport::StopChild(pid_, std::chrono::seconds(30));
    pid_ = -1;
    return status;
  }

  const std::string& port() const { return port_; }
  const std::string& dir() const { return dir_; }
  pid_t pid() const { return pid_; }

 private:
  bool Launch(const std::string& program) {
    int out[2];
    if (pipe(out) != 0) return false;
    Env env = Environment();
    std::string home = dir_ + "/home";
    pid_ = fork();
    if (pid_ == 0) {
      // A test that dies (a sanitizer stop, a crash) takes its server with it,
      // so no orphan keeps the test's output open.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execl(program.c_str(), "ZelServer", "--home", home.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[512];
    bool ready = false;
    while (std::fgets(line, sizeof line, f))
      if (std::string(line).starts_with("ZelServer listening")) {
        ready = true;
        break;
      }
    std::fclose(f);
    return ready;
  }

  std::string dir_;
  std::string port_;
  bool fixed_ = false;
  pid_t pid_ = -1;
};

inline constexpr char kWorkstationProfile[] = "workstation";
inline constexpr char kLocalStoreName[] = "Local Folders";

// The service UID of the last service named `name` in the profile.
inline HRESULT FindService(IMsgServiceAdmin* services, const char* name, MAPIUID* uid) {
  ComPtr<IMAPITable> table;
  if (HRESULT hr = services->GetMsgServiceTable(0, table.Out()); FAILED(hr)) return hr;
  SizedSPropTagArray<2> cols{2, {PR_SERVICE_NAME, PR_SERVICE_UID}};
  LPSRowSet rows = nullptr;
  if (HRESULT hr = HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, &rows); FAILED(hr)) return hr;
  HRESULT hr = MAPI_E_NOT_FOUND;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    if (PROP_TYPE(v[0].ulPropTag) == PT_STRING8 && std::strcmp(v[0].Value.lpszA, name) == 0 &&
        v[1].ulPropTag == PR_SERVICE_UID && v[1].Value.bin.cb == 16) {
      std::memcpy(uid->ab, v[1].Value.bin.lpb, 16);
      hr = S_OK;
    }
  }
  FreeProws(rows);
  return hr;
}

// The workstation's installation in this process's registry and MAPI
// folder: the provider in the providers folder, zelclient registered (by
// mapiprof, as regsvr32 would), and the profile with the Vantrel service
// for the server's mailbox and a local personal-folders store. A message
// on failure, empty on success.
inline std::string InstallWorkstation(const std::string& port, const std::string& mszlf, const std::string& zelclient,
                                      const std::string& mapiprof, const std::string& local_pst) {
  const char* registry = std::getenv("ZEL_REGISTRY_DIR");
  const char* mapi = std::getenv("ZEL_MAPI_DIR");
  if (!registry || !mapi) return "run through ctest: the test needs a private registry and MAPI folder";
  std::error_code ec;
  std::filesystem::remove_all(registry, ec);
  std::filesystem::remove_all(mapi, ec);
  std::filesystem::create_directories(std::string(mapi) + "/providers", ec);
  std::filesystem::copy_file(mszlf, std::string(mapi) + "/providers/mszlf.so", ec);
  if (ec) return "copying the provider: " + ec.message();
  setenv("ZEL_RPC_ENDPOINT", port.c_str(), 1);
  if (RunWithEnv({mapiprof, "register", zelclient}, {}) != 0) return "mapiprof register zelclient failed";

  ComPtr<IProfAdmin> admin;
  if (FAILED(MAPIAdminProfiles(0, admin.Out()))) return "MAPIAdminProfiles";
  if (FAILED(admin->CreateProfile(const_cast<LPSTR>(kWorkstationProfile), nullptr, 0, 0))) return "CreateProfile";
  ComPtr<IMsgServiceAdmin> services;
  if (FAILED(admin->AdminServices(const_cast<LPSTR>(kWorkstationProfile), nullptr, 0, 0, services.Out())))
    return "AdminServices";
  if (HRESULT hr = services->CreateMsgService(const_cast<LPSTR>("MSZLF"), nullptr, 0, 0); FAILED(hr))
    return "CreateMsgService(MSZLF): " + std::to_string(hr);
  MAPIUID uid;
  if (FAILED(FindService(services.get(), "MSZLF", &uid))) return "no MSZLF service in the profile";
  SPropValue props[5] = {};
  const std::pair<ULONG, const char*> settings[5] = {{mszlf::PR_ZLF_SERVER, "127.0.0.1"},
                                                     {mszlf::PR_ZLF_PROFILE, ServerMachine::kProfile},
                                                     {mszlf::PR_ZLF_STORE, ServerMachine::kStore},
                                                     {mszlf::PR_ZLF_LOGIN, ServerMachine::kUser},
                                                     {mszlf::PR_ZLF_PASSWORD, ServerMachine::kPassword}};
  for (int i = 0; i < 5; ++i) {
    props[i].ulPropTag = settings[i].first;
    props[i].Value.lpszA = const_cast<LPSTR>(settings[i].second);
  }
  if (HRESULT hr = services->ConfigureMsgService(&uid, 0, 0, 5, props); FAILED(hr))
    return "ConfigureMsgService(MSZLF): " + std::to_string(hr);

  if (FAILED(services->CreateMsgService(const_cast<LPSTR>(mapi::kPstService), nullptr, 0, 0)))
    return "CreateMsgService(personal folders)";
  if (FAILED(FindService(services.get(), mapi::kPstService, &uid))) return "no personal-folders service";
  SPropValue pst[2] = {};
  pst[0].ulPropTag = mapi::PR_PST_PATH;
  pst[0].Value.lpszA = const_cast<LPSTR>(local_pst.c_str());
  pst[1].ulPropTag = PR_DISPLAY_NAME;
  pst[1].Value.lpszA = const_cast<LPSTR>(kLocalStoreName);
  if (FAILED(services->ConfigureMsgService(&uid, 0, 0, 2, pst))) return "ConfigureMsgService(personal folders)";
  return "";
}

// The entry ID of the store whose PR_MDB_PROVIDER is `provider`.
inline HRESULT StoreID(IMAPISession* session, const MAPIUID& provider, std::vector<BYTE>* id) {
  ComPtr<IMAPITable> table;
  if (HRESULT hr = session->GetMsgStoresTable(0, table.Out()); FAILED(hr)) return hr;
  SizedSPropTagArray<2> cols{2, {PR_MDB_PROVIDER, PR_ENTRYID}};
  LPSRowSet rows = nullptr;
  if (HRESULT hr = HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, &rows); FAILED(hr)) return hr;
  HRESULT hr = MAPI_E_NOT_FOUND;
  for (ULONG i = 0; i < rows->cRows; ++i) {
    const SPropValue* v = rows->aRow[i].lpProps;
    if (v[0].ulPropTag == PR_MDB_PROVIDER && v[0].Value.bin.cb == 16 &&
        std::memcmp(v[0].Value.bin.lpb, provider.ab, 16) == 0 && v[1].ulPropTag == PR_ENTRYID) {
      id->assign(v[1].Value.bin.lpb, v[1].Value.bin.lpb + v[1].Value.bin.cb);
      hr = S_OK;
    }
  }
  FreeProws(rows);
  return hr;
}

// Logs on to the workstation profile and opens a store as a mail client
// does: from the message stores table, by its provider.
inline HRESULT OpenWorkstationStore(IMAPISession* session, const MAPIUID& provider, IMsgStore** store) {
  std::vector<BYTE> id;
  if (HRESULT hr = StoreID(session, provider, &id); FAILED(hr)) return hr;
  return session->OpenMsgStore(0, static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr,
                               MAPI_BEST_ACCESS, store);
}

// Dispatches this thread's messages (the client's notification timer among
// them) until `done` or the bound; whether `done` came true.
template <class Done>
bool PumpUntil(Done done, std::chrono::milliseconds bound) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MSG msg;
    if (PeekMessage(&msg, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessage(&msg);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return true;
}

}  // namespace vantrel::clienttest
