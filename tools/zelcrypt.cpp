// zelcrypt: writes and reads files in the users file's format, so that
// outside tools can check it.
//   zelcrypt write FILE        text from standard input, encrypted
//   zelcrypt write-plain FILE  text from standard input, as it is
//   zelcrypt read FILE         text to standard output, "encrypted=N" to stderr
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

#include "server/sessions/CryptFile.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zelcrypt write|write-plain|read FILE\n");
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
  std::fprintf(stderr, "zelcrypt: unknown command %s\n", cmd.c_str());
  return 2;
}
