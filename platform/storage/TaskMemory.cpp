// Task memory: plain malloc, so any module may free what another allocated.
#include <cstdlib>

#include "platform/storage/ObjIdl.h"

void* CoTaskMemAlloc(size_t cb) {
  return std::malloc(cb ? cb : 1);
}
void CoTaskMemFree(void* pv) {
  std::free(pv);
}
