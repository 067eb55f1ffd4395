// Prints the interface's IDL (the text of protocol/zel.idl).
#include <cstdio>

#include "protocol/ZelProtocol.h"

int main() {
  std::fputs(vantrel::zel::InterfaceIdl().c_str(), stdout);
  return 0;
}
