#include "server/objects/ServerPropDump.h"

#include <string>

#include "Libraries/MapiWrapper/PropValue.h"
#include "platform/base/CodePage.h"
#include "server/dispatch/ServerTrace.h"

namespace vantrel::server {
namespace {

constexpr size_t kValueTextMax = 200;

std::string ValueText(const SPropValue& v) {
  std::string text;
  if (PROP_TYPE(v.ulPropTag) == PT_UNICODE)
    text = v.Value.lpszW ? Utf16ToAnsi(v.Value.lpszW) : std::string();
  else
    text = CPropValue::View(&v).ToString();
  if (text.size() > kValueTextMax) text.resize(kValueTextMax);
  return text;
}

}  // namespace

void TracePropValues(const SPropValue* values, ULONG count) {
  if (!values || !TraceAttached()) return;
  try {
    for (ULONG i = 0; i < count; ++i) {
      const SPropValue& v = values[i];
      ServerTrace("  SPropValue[%u %x(%s)] = %s", i, v.ulPropTag, PropTagName(v.ulPropTag).c_str(),
                  ValueText(v).c_str());
    }
  } catch (...) {
  }
}

void TraceTagArray(const SPropTagArray* tags) {
  if (!tags || !TraceAttached()) return;
  try {
    ServerTrace("SPropTagArray.cValues = %u", tags->cValues);
    for (ULONG i = 0; i < tags->cValues; ++i)
      ServerTrace("  SPropTagArray.aulPropTag[0] = %x (%s)", tags->aulPropTag[i],
                  PropTagName(tags->aulPropTag[i]).c_str());
  } catch (...) {
  }
}

void TraceRowSet(const SRowSet* rows) {
  if (!rows || !TraceAttached()) return;
  try {
    for (ULONG r = 0; r < rows->cRows; ++r) {
      ServerTrace("  Row %u", r);
      const SRow& row = rows->aRow[r];
      for (ULONG c = 0; c < row.cValues && row.lpProps; ++c) {
        const SPropValue& v = row.lpProps[c];
        ServerTrace("    Col %u (%x %s) = %s", c, v.ulPropTag, PropTagName(v.ulPropTag).c_str(), ValueText(v).c_str());
      }
    }
  } catch (...) {
  }
}

}  // namespace vantrel::server
