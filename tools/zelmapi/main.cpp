// zelmapi: reads, writes and files the mail of a MAPI store from a terminal.
#include <cstdio>

#include "platform/mapi/MapiSession.h"
#include "tools/zelmapi/Commands.h"

int main(int argc, char** argv) {
  using namespace zelmapi;
  int rc = 0;
  try {
    Options o = ParseOptions(argc, argv);
    if (o.args.empty() || o.args[0] == "--help" || o.args[0] == "help") {
      std::printf("usage: zelmapi [-p PROFILE] [-s STORE] [-o plain|json] [--password-stdin] COMMAND ...\n"
                  "commands: store list | folder tree | list [FOLDER] | read N... | flag read|unread N... | write\n"
                  "          folder create PATH | folder rename PATH NAME | folder move PATH TO\n"
                  "          folder delete PATH | folder empty PATH\n"
                  "          move|copy N... --to FOLDER | delete N... [--hard]\n"
                  "          send N... | attach save N K [-o FILE] | attach add N FILE... | watch [FOLDER]\n"
                  "          export FOLDER FILE.mbox | import FOLDER FILE.mbox|FILE.eml...\n"
                  "          COMMAND --help for each one\n");
      return o.args.empty() ? 2 : 0;
    }
    if (FAILED(MAPIInitialize(nullptr))) {
      std::fprintf(stderr, "zelmapi: MAPI does not start; check ZEL_MAPI_DIR and the installation\n");
      return 1;
    }
    rc = Dispatch(o);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "zelmapi: %s\n", e.what());
    rc = 2;
  } catch (const Failure& e) {
    std::fprintf(stderr, "zelmapi: %s\n", e.what());
    rc = 1;
  }
  MAPIUninitialize();
  return rc;
}
