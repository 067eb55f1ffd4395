#include "tools/zelmapi/PropDump.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "tools/zelmapi/Mailbox.h"
#include "tools/zelmapi/Text.h"

namespace zelmapi {
namespace {

const std::unordered_map<ULONG, const char*>& Names() {
  // Several names share a tag: the width-neutral one ("PR_SUBJECT" over
  // "PR_SUBJECT_A"), else the first the header defines.
  static const auto* names = [] {
    auto* m = new std::unordered_map<ULONG, const char*>;
    auto add = [m](ULONG tag, const char* name) {
      auto [it, fresh] = m->emplace(tag, name);
      std::string old = it->second;
      if (!fresh && old.size() > 2 && old.ends_with("_A") && !std::string(name).ends_with("_A")) it->second = name;
    };
#define VANTREL_PROP(name, tag) add(tag, #name);
#include "platform/mapi/MapiTags.inc"
#undef VANTREL_PROP
    return m;
  }();
  return *names;
}

const char* TypeName(ULONG type) {
  switch (type) {
    case PT_I2: return "PT_I2";
    case PT_LONG: return "PT_LONG";
    case PT_R4: return "PT_R4";
    case PT_DOUBLE: return "PT_DOUBLE";
    case PT_CURRENCY: return "PT_CURRENCY";
    case PT_APPTIME: return "PT_APPTIME";
    case PT_ERROR: return "PT_ERROR";
    case PT_BOOLEAN: return "PT_BOOLEAN";
    case PT_OBJECT: return "PT_OBJECT";
    case PT_I8: return "PT_I8";
    case PT_STRING8: return "PT_STRING8";
    case PT_UNICODE: return "PT_UNICODE";
    case PT_SYSTIME: return "PT_SYSTIME";
    case PT_CLSID: return "PT_CLSID";
    case PT_BINARY: return "PT_BINARY";
    default: return (type & MV_FLAG) ? "PT_MV" : "PT_UNKNOWN";
  }
}

std::string Utf16(const char16_t* w) {
  std::string out;
  for (; w && *w; ++w) {
    unsigned cp = *w;
    if (cp >= 0xD800 && cp < 0xDC00 && w[1] >= 0xDC00 && w[1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (w[1] - 0xDC00);
      ++w;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    } else if (cp < 0x10000) {
      out += {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
              static_cast<char>(0x80 | (cp & 0x3F))};
    } else {
      out += {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
              static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    }
  }
  return out;
}

std::string Value(const SPropValue& v) {
  char buf[64];
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_I2: return std::to_string(v.Value.i);
    case PT_LONG: return std::to_string(v.Value.l);
    case PT_DOUBLE: std::snprintf(buf, sizeof buf, "%g", v.Value.dbl); return buf;
    case PT_BOOLEAN: return v.Value.b ? "true" : "false";
    case PT_I8: return std::to_string(v.Value.li.QuadPart);
    case PT_ERROR: std::snprintf(buf, sizeof buf, "error 0x%08x", static_cast<unsigned>(v.Value.err)); return buf;
    case PT_STRING8: return v.Value.lpszA ? FromCp1252(v.Value.lpszA) : "";
    case PT_UNICODE: return Utf16(v.Value.lpszW);
    case PT_SYSTIME: return LocalDate(v.Value.ft);
    case PT_BINARY: {
      ULONG shown = std::min<ULONG>(v.Value.bin.cb, 64);
      std::string hex = Hex(v.Value.bin.lpb, shown);
      return v.Value.bin.cb > shown ? hex + "... (" + std::to_string(v.Value.bin.cb) + " bytes)" : hex;
    }
    default: return "";
  }
}

}  // namespace

std::string TagName(ULONG tag) {
  auto it = Names().find(tag);
  return it == Names().end() ? "" : it->second;
}

std::string DumpProps(IMAPIProp* object, bool json) {
  ULONG count = 0;
  LPSPropValue props = nullptr;
  Check(object->GetProps(nullptr, 0, &count, &props), "cannot read the properties");
  std::vector<SPropValue*> sorted;
  for (ULONG i = 0; i < count; ++i) sorted.push_back(&props[i]);
  std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->ulPropTag < b->ulPropTag; });
  std::string out;
  for (SPropValue* v : sorted) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "0x%08X", static_cast<unsigned>(v->ulPropTag));
    std::string name = TagName(v->ulPropTag);
    const char* type = TypeName(PROP_TYPE(v->ulPropTag));
    if (json)
      out += std::string("{\"tag\":\"") + tag + "\",\"name\":" + Json(name) + ",\"type\":\"" + type +
             "\",\"value\":" + Json(Value(*v)) + "}\n";
    else
      out += std::string(tag) + " " + (name.empty() ? "-" : name) + " " + type + " " + Value(*v) + "\n";
  }
  MAPIFreeBuffer(props);
  return out;
}

}  // namespace zelmapi
