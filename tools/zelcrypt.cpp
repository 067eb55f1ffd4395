// zelcrypt: writes and reads files in the users file's format, so that
// outside tools can check it.
//   zelcrypt write FILE        text from standard input, encrypted
//   zelcrypt write-plain FILE  text from standard input, as it is
//   zelcrypt read FILE         text to standard output, "encrypted=N" to stderr
//   zelcrypt users FILE        a users file of two users, through the directory
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

#include "Libraries/MapiWrapper/MapiPtr.h"
#include "server/sessions/CryptFile.h"
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
    std::fprintf(stderr, "zelcrypt: %s failed: 0x%08X\n", e.Context().c_str(), static_cast<unsigned>(e.Hr()));
    rc = 1;
  }
  dir->Release();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zelcrypt write|write-plain|read|users FILE\n");
    return 2;
  }
  std::string cmd = argv[1], path = argv[2];
  CCryptFile file;
  if (cmd == "write" || cmd == "write-plain") {
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    return file.Write(text, path, cmd == "write") ? 0 : 1;
  }
  if (cmd == "read") {
    std::string text = file.Read(path);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fprintf(stderr, "encrypted=%d\n", file.Encrypted() ? 1 : 0);
    return 0;
  }
  if (cmd == "users") return WriteUsers(path);
  std::fprintf(stderr, "zelcrypt: unknown command %s\n", cmd.c_str());
  return 2;
}
