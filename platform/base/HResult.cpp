#include "platform/base/HResult.h"

namespace vantrel {
namespace {

struct CodeEntry {
  HRESULT code;
  const char* name;
};

#define VANTREL_CODE(name, value) {HR(value), #name},
constexpr CodeEntry kWin32[] = {
#include "platform/base/WinErrorCodes.inc"
};
constexpr CodeEntry kHResults[] = {
#include "platform/base/ComCodes.inc"
#include "platform/base/MapiCodes.inc"
};
#undef VANTREL_CODE

}  // namespace

const char* CodeName(HRESULT code) {
  for (const auto& e : kWin32)
    if (e.code == code) return e.name;
  for (const auto& e : kHResults)
    if (e.code == code) return e.name;
  return nullptr;
}

}  // namespace vantrel
