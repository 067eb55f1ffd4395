// A module without ordinals or resources of its own that links one that
// has both: lookups on it must not find its dependency's.
#include <cstdlib>

extern "C" int TestAdd(int a, int b);

extern "C" int PlainEntry() {
  return TestAdd(1, 2);
}

// Shows whether the module's code ran: loading it as a data file must not.
__attribute__((constructor)) static void MarkLoaded() {
  setenv("MODULE_PLAIN_RAN", "1", 1);
}
