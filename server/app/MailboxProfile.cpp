#include "server/app/MailboxProfile.h"

#include <filesystem>
#include <system_error>

#include "Libraries/MapiWrapper/MapiException.h"
#include "Libraries/MapiWrapper/MapiInclude.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/MapiSession.h"
#include "platform/mapi/MapiSvcInf.h"
#include "platform/mapi/ProfileStore.h"
#include "platform/mapi/Services.h"
#include "server/dispatch/ServerTrace.h"

namespace {

// A login becomes a file name and part of a profile name: no separators,
// no leading dot, no control bytes.
bool UsableLogin(const std::string& login) {
  if (login.empty() || login.size() > 64 || login[0] == '.') return false;
  for (unsigned char c : login)
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  return true;
}

}  // namespace

std::string MailboxProfileName(const std::string& login) { return "mailbox_" + login; }

bool CreateMailboxProfile(const std::string& login, const std::string& display_name, const std::string& mailbox_path,
                          std::string* message) {
  using vantrel::ComPtr;
  if (!UsableLogin(login)) {
    *message = "The login \"" + login + "\" cannot name a mailbox.";
    return false;
  }
  if (mailbox_path.empty()) {
    *message = "No mailbox folder (MailboxPath) is configured.";
    return false;
  }
  const std::string profile = MailboxProfileName(login);
  if (vantrel::mapi::ProfileStore::Exists(profile)) {
    *message = "The profile " + profile + " exists already.";
    return false;
  }
  const std::string file = (std::filesystem::path(mailbox_path) / (login + ".pst")).string();
  const std::string store = "Mailbox - " + (display_name.empty() ? login : display_name);
  const char* step = "MAPIAdminProfiles";
  bool created = false;
  ComPtr<IProfAdmin> admin;
  try {
    CheckHr(MAPIAdminProfiles(0, admin.Out()), step);
    step = "CreateProfile";
    CheckHr(admin->CreateProfile(const_cast<LPSTR>(profile.c_str()), nullptr, 0, 0), step);
    created = true;
    step = "MAPISVC.INF";
    vantrel::mapi::MapiSvcInf inf;
    CheckHr(vantrel::mapi::MapiSvcInf::LoadInstalled(&inf), step);
    step = "CreateService";
    MAPIUID uid;
    CheckHr(vantrel::mapi::CreateService(profile, inf, vantrel::mapi::kPstService, store, 0, 0, &uid), step);
    std::error_code ec;
    std::filesystem::create_directories(mailbox_path, ec);
    step = "ConfigureMsgService";
    ComPtr<IMsgServiceAdmin> services;
    CheckHr(admin->AdminServices(const_cast<LPSTR>(profile.c_str()), nullptr, 0, 0, services.Out()), "AdminServices");
    SPropValue props[2] = {};
    props[0].ulPropTag = vantrel::mapi::PR_PST_PATH;
    props[0].Value.lpszA = const_cast<LPSTR>(file.c_str());
    props[1].ulPropTag = PR_DISPLAY_NAME;
    props[1].Value.lpszA = const_cast<LPSTR>(store.c_str());
    CheckHr(services->ConfigureMsgService(&uid, 0, 0, 2, props), step);
  } catch (const CMAPIException& e) {
    // A half-made profile would block the next attempt.
    if (created && admin) admin->DeleteProfile(const_cast<LPSTR>(profile.c_str()), 0);
    *message = "Creating the mailbox failed at " + std::string(step) + " (" +
               vantrel::server::MapiErrorName(e.Hr()) + ").";
    vantrel::server::ServerLog("Mailbox for %s: %s\n", login.c_str(), message->c_str());
    return false;
  }
  vantrel::server::ServerLog("Mailbox for %s: profile %s, store %s\n", login.c_str(), profile.c_str(), file.c_str());
  *message = "Profile " + profile + " with the store \"" + store + "\" in " + file + ".";
  return true;
}
