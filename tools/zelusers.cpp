// zelusers FILE: writes a users file of two users through the user
// directory, as the server saves one, so that outside tools can check it.
#include <cstdio>
#include <string>

#include "Libraries/MapiWrapper/MapiPtr.h"
#include "server/sessions/UserABContainer.h"

namespace {

int WriteUsers(const std::string& path) {
  auto* dir = new CUserABContainer(path);
  struct {
    const char *account, *password, *given, *surname;
  } users[] = {{"jsmith", "secret", "John", "Smith"}, {"mmuster", "geheim", "Max", "Muster"}};
  int rc = 0;
  try {
    for (const auto& u : users) {
      CGenMapiPropPtr entry;
      CheckHr(dir->CreateEntry(0, nullptr, 0, reinterpret_cast<LPMAPIPROP*>(entry.Receive())));
      entry.SetProp(PR_ACCOUNT, std::string_view(u.account));
      entry.SetProp(PR_ZEL_PASSWORD, std::string_view(u.password));
      entry.SetProp(PR_GIVEN_NAME, std::string_view(u.given));
      entry.SetProp(PR_SURNAME, std::string_view(u.surname));
      entry.SetProp(PR_ZEL_ALL_PROFILES, true);
      CheckHr(entry->SaveChanges(0));
    }
    dir->SaveUsersFile();
  } catch (const CMAPIException& e) {
    std::fprintf(stderr, "zelusers: %s failed: 0x%08X\n", e.Context().c_str(), static_cast<unsigned>(e.Hr()));
    rc = 1;
  }
  dir->Release();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zelusers FILE\n");
    return 2;
  }
  return WriteUsers(argv[1]);
}
