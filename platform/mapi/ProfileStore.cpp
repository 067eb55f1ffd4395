#include "platform/mapi/ProfileStore.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/base/ByteCoder.h"
#include "platform/base/Guid.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/registry/Registry.h"

namespace vantrel::mapi {
namespace {

// Closes a registry key on scope exit.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY* Out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// A value is named by its tag with the type first: PR_SERVICES (0x3D0E0102)
// is "01023d0e".
std::string TagName(ULONG tag) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%04x%04x", PROP_TYPE(tag), PROP_ID(tag));
  return buf;
}

bool TagFromName(const std::string& name, ULONG* tag) {
  if (name.size() != 8) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(name.c_str(), &end, 16);
  if (*end) return false;
  *tag = PROP_TAG(static_cast<ULONG>(v >> 16), static_cast<ULONG>(v & 0xFFFF));
  return true;
}

bool IsText(ULONG tag) {
  return PROP_TYPE(tag) == PT_STRING8;
}

HRESULT FromStatus(LSTATUS st) {
  if (st == ERROR_SUCCESS) return S_OK;
  if (st == ERROR_FILE_NOT_FOUND) return MAPI_E_NOT_FOUND;
  return MAPI_E_CALL_FAILED;
}

bool ValidName(const std::string& profile) {
  return !profile.empty() && profile.size() < 64 && profile.find('\\') == std::string::npos;
}

HRESULT OpenSection(const std::string& profile, const MAPIUID& section, bool create, Key* key) {
  if (!ValidName(profile)) return MAPI_E_INVALID_PARAMETER;
  if (!ProfileStore::Exists(profile)) return MAPI_E_NOT_FOUND;
  std::string path = ProfileStore::ProfileKey(profile) + "\\" + UidToHex(section);
  LSTATUS st = create ? RegCreateKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                       key->Out(), nullptr)
                      : RegOpenKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, key->Out());
  return FromStatus(st);
}

}  // namespace

ProfProp ProfProp::Text(ULONG tag, const std::string& text) {
  ProfProp p;
  p.tag = tag;
  p.data.assign(text.begin(), text.end());
  return p;
}

ProfProp ProfProp::Long(ULONG tag, ULONG value) {
  ProfProp p;
  p.tag = tag;
  LeWriter(p.data).U32(value);
  return p;
}

ProfProp ProfProp::Binary(ULONG tag, const void* data, size_t cb) {
  ProfProp p;
  p.tag = tag;
  const BYTE* b = static_cast<const BYTE*>(data);
  p.data.assign(b, b + cb);
  return p;
}

ULONG ProfProp::AsLong() const {
  // A shorter value reads as if padded with zeros.
  std::uint8_t b[4] = {};
  std::copy_n(data.begin(), std::min<size_t>(4, data.size()), b);
  return LoadLe32(b);
}

const ProfProp* FindProp(const ProfProps& props, ULONG tag) {
  for (const ProfProp& p : props)
    if (p.tag == tag) return &p;
  return nullptr;
}

std::string UidToHex(const MAPIUID& uid) {
  std::string s;
  char buf[3];
  for (BYTE b : uid.ab) {
    std::snprintf(buf, sizeof buf, "%02x", b);
    s += buf;
  }
  return s;
}

bool UidFromHex(const std::string& hex, MAPIUID* uid) {
  if (hex.size() != 32) return false;
  for (int i = 0; i < 16; ++i) {
    unsigned v = 0;
    for (int j = 0; j < 2; ++j) {
      char c = hex[2 * i + j];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= c - '0';
      else if (c >= 'a' && c <= 'f')
        v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        v |= c - 'A' + 10;
      else
        return false;
    }
    uid->ab[i] = static_cast<BYTE>(v);
  }
  return true;
}

MAPIUID NewUid() {
  GUID g = NewGuid();
  MAPIUID uid;
  std::memcpy(uid.ab, &g, 16);
  return uid;
}

std::vector<MAPIUID> UidList(const ProfProp* prop) {
  std::vector<MAPIUID> out;
  if (!prop) return out;
  for (size_t off = 0; off + 16 <= prop->data.size(); off += 16) {
    MAPIUID uid;
    std::memcpy(uid.ab, prop->data.data() + off, 16);
    out.push_back(uid);
  }
  return out;
}

// Multi-valued text is packed as a count, one offset per string from the
// start of the value, then the strings with their NULs; multi-valued binary
// as a count, then a size and an offset per item, then the bytes.
HRESULT PropFromValue(const SPropValue& v, ProfProp* out) {
  out->tag = v.ulPropTag;
  out->data.clear();
  auto put32 = [&](ULONG x) { LeWriter(out->data).U32(x); };
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_STRING8:
      if (!v.Value.lpszA) return MAPI_E_INVALID_PARAMETER;
      *out = ProfProp::Text(v.ulPropTag, v.Value.lpszA);
      return S_OK;
    case PT_LONG:
      put32(static_cast<ULONG>(v.Value.l));
      return S_OK;
    case PT_I2:
      put32(static_cast<ULONG>(static_cast<LONG>(v.Value.i)));
      return S_OK;
    case PT_BOOLEAN:
      put32(v.Value.b ? 1 : 0);
      return S_OK;
    case PT_I8:
    case PT_SYSTIME:
    case PT_CURRENCY: {
      LeWriter(out->data).U64(static_cast<std::uint64_t>(v.Value.li.QuadPart));
      return S_OK;
    }
    case PT_CLSID:
      if (!v.Value.lpguid) return MAPI_E_INVALID_PARAMETER;
      *out = ProfProp::Binary(v.ulPropTag, v.Value.lpguid, 16);
      return S_OK;
    case PT_BINARY:
      if (v.Value.bin.cb && !v.Value.bin.lpb) return MAPI_E_INVALID_PARAMETER;
      *out = ProfProp::Binary(v.ulPropTag, v.Value.bin.lpb, v.Value.bin.cb);
      return S_OK;
    case PT_MV_STRING8: {
      ULONG n = v.Value.MVszA.cValues;
      if (n && !v.Value.MVszA.lppszA) return MAPI_E_INVALID_PARAMETER;
      put32(n);
      ULONG off = 4 + 4 * n;
      for (ULONG i = 0; i < n; ++i) {
        if (!v.Value.MVszA.lppszA[i]) return MAPI_E_INVALID_PARAMETER;
        put32(off);
        off += static_cast<ULONG>(std::strlen(v.Value.MVszA.lppszA[i]) + 1);
      }
      for (ULONG i = 0; i < n; ++i) {
        const char* s = v.Value.MVszA.lppszA[i];
        out->data.insert(out->data.end(), s, s + std::strlen(s) + 1);
      }
      return S_OK;
    }
    case PT_MV_BINARY: {
      ULONG n = v.Value.MVbin.cValues;
      if (n && !v.Value.MVbin.lpbin) return MAPI_E_INVALID_PARAMETER;
      put32(n);
      ULONG off = 4 + 8 * n;
      for (ULONG i = 0; i < n; ++i) {
        put32(v.Value.MVbin.lpbin[i].cb);
        put32(off);
        off += v.Value.MVbin.lpbin[i].cb;
      }
      for (ULONG i = 0; i < n; ++i) {
        const SBinary& b = v.Value.MVbin.lpbin[i];
        if (b.cb && !b.lpb) return MAPI_E_INVALID_PARAMETER;
        out->data.insert(out->data.end(), b.lpb, b.lpb + b.cb);
      }
      return S_OK;
    }
    default:
      return MAPI_E_BAD_VALUE;
  }
}

HRESULT PropToValue(const ProfProp& p, LPVOID parent, SPropValue* out) {
  auto alloc = [&](size_t cb, void** mem) -> HRESULT {
    if (cb > 0x7FFFFFFF) return MAPI_E_CORRUPT_DATA;
    ULONG n = static_cast<ULONG>(cb ? cb : 1);
    return parent ? MAPIAllocateMore(n, parent, mem) : MAPIAllocateBuffer(n, mem);
  };
  auto get32 = [&](size_t off) { return static_cast<ULONG>(LoadLe32(&p.data[off])); };
  const size_t size = p.data.size();
  out->ulPropTag = p.tag;
  out->dwAlignPad = 0;
  switch (PROP_TYPE(p.tag)) {
    case PT_STRING8: {
      void* mem = nullptr;
      if (HRESULT hr = alloc(size + 1, &mem); FAILED(hr)) return hr;
      if (size) std::memcpy(mem, p.data.data(), size);
      static_cast<char*>(mem)[size] = 0;
      out->Value.lpszA = static_cast<LPSTR>(mem);
      return S_OK;
    }
    case PT_LONG:
      if (size < 4) return MAPI_E_CORRUPT_DATA;
      out->Value.l = static_cast<LONG>(get32(0));
      return S_OK;
    case PT_I2:
      if (size < 2) return MAPI_E_CORRUPT_DATA;
      out->Value.i = static_cast<short>(p.data[0] | (p.data[1] << 8));
      return S_OK;
    case PT_BOOLEAN:
      if (size < 2) return MAPI_E_CORRUPT_DATA;
      out->Value.b = static_cast<unsigned short>((p.data[0] | p.data[1]) ? 1 : 0);
      return S_OK;
    case PT_I8:
    case PT_SYSTIME:
    case PT_CURRENCY: {
      if (size < 8) return MAPI_E_CORRUPT_DATA;
      out->Value.li.QuadPart = static_cast<long long>(LoadLe64(p.data.data()));
      return S_OK;
    }
    case PT_CLSID: {
      if (size < 16) return MAPI_E_CORRUPT_DATA;
      void* mem = nullptr;
      if (HRESULT hr = alloc(16, &mem); FAILED(hr)) return hr;
      std::memcpy(mem, p.data.data(), 16);
      out->Value.lpguid = static_cast<LPGUID>(mem);
      return S_OK;
    }
    case PT_BINARY: {
      void* mem = nullptr;
      if (HRESULT hr = alloc(size, &mem); FAILED(hr)) return hr;
      if (size) std::memcpy(mem, p.data.data(), size);
      out->Value.bin.cb = static_cast<ULONG>(size);
      out->Value.bin.lpb = static_cast<LPBYTE>(mem);
      return S_OK;
    }
    case PT_MV_STRING8: {
      if (size < 4) return MAPI_E_CORRUPT_DATA;
      ULONG n = get32(0);
      if (n > (size - 4) / 4) return MAPI_E_CORRUPT_DATA;
      void* mem = nullptr;
      // One block for the pointers and a NUL-terminated copy of the data.
      if (HRESULT hr = alloc(n * sizeof(LPSTR) + size + 1, &mem); FAILED(hr)) return hr;
      LPSTR* ptrs = static_cast<LPSTR*>(mem);
      char* text = reinterpret_cast<char*>(ptrs + n);
      std::memcpy(text, p.data.data(), size);
      text[size] = 0;
      for (ULONG i = 0; i < n; ++i) {
        ULONG off = get32(4 + 4 * i);
        if (off >= size) return MAPI_E_CORRUPT_DATA;
        ptrs[i] = text + off;
      }
      out->Value.MVszA.cValues = n;
      out->Value.MVszA.lppszA = ptrs;
      return S_OK;
    }
    case PT_MV_BINARY: {
      if (size < 4) return MAPI_E_CORRUPT_DATA;
      ULONG n = get32(0);
      if (n > (size - 4) / 8) return MAPI_E_CORRUPT_DATA;
      void* mem = nullptr;
      if (HRESULT hr = alloc(n * sizeof(SBinary) + size, &mem); FAILED(hr)) return hr;
      SBinary* bins = static_cast<SBinary*>(mem);
      BYTE* bytes = reinterpret_cast<BYTE*>(bins + n);
      std::memcpy(bytes, p.data.data(), size);
      for (ULONG i = 0; i < n; ++i) {
        ULONG cb = get32(4 + 8 * i), off = get32(8 + 8 * i);
        if (off > size || cb > size - off) return MAPI_E_CORRUPT_DATA;
        bins[i].cb = cb;
        bins[i].lpb = bytes + off;
      }
      out->Value.MVbin.cValues = n;
      out->Value.MVbin.lpbin = bins;
      return S_OK;
    }
    default:
      return MAPI_E_BAD_VALUE;
  }
}

std::string ProfileStore::ProfileKey(const std::string& profile) {
  for (const char* root : {kProfilesRoot, kProfilesRootOld}) {
    std::string path = std::string(root) + "\\" + profile;
    Key key;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, key.Out()) == ERROR_SUCCESS) return path;
  }
  return std::string(kProfilesRoot) + "\\" + profile;
}

std::vector<std::string> ProfileStore::List() {
  std::vector<std::string> names;
  for (const char* root : {kProfilesRoot, kProfilesRootOld}) {
    Key key;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, root, 0, KEY_READ, key.Out()) != ERROR_SUCCESS) continue;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD cch = sizeof name;
      if (RegEnumKeyEx(key.get(), i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      std::string n(name, cch);
      bool dup = std::any_of(names.begin(), names.end(),
                             [&](const std::string& o) { return strcasecmp(o.c_str(), n.c_str()) == 0; });
      if (!dup) names.push_back(n);
    }
  }
  return names;
}

bool ProfileStore::Exists(const std::string& profile) {
  if (!ValidName(profile)) return false;
  Key key;
  return RegOpenKeyEx(HKEY_CURRENT_USER, ProfileKey(profile).c_str(), 0, KEY_READ, key.Out()) == ERROR_SUCCESS;
}

HRESULT ProfileStore::Create(const std::string& profile) {
  if (!ValidName(profile)) return MAPI_E_INVALID_PARAMETER;
  if (Exists(profile)) return MAPI_E_NO_ACCESS;
  std::string path = std::string(kProfilesRoot) + "\\" + profile + "\\" + UidToHex(kGlobalSection);
  Key key;
  if (HRESULT hr = FromStatus(
          RegCreateKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Out(), nullptr));
      FAILED(hr))
    return hr;
  // The global section starts with empty service and provider lists, so
  // appending (by MAPI or by an installer writing the registry) works.
  for (ULONG tag : {PR_STORE_PROVIDERS, PR_SERVICES}) {
    if (RegSetValueEx(key.get(), TagName(tag).c_str(), 0, REG_BINARY, nullptr, 0) != ERROR_SUCCESS)
      return MAPI_E_CALL_FAILED;
  }
  ProfProps name{ProfProp::Text(PR_PROFILE_NAME, profile)};
  return WriteProps(profile, kGlobalSection, name);
}

HRESULT ProfileStore::Delete(const std::string& profile) {
  if (!Exists(profile)) return MAPI_E_NOT_FOUND;
  if (RegDeleteTree(HKEY_CURRENT_USER, ProfileKey(profile).c_str()) != ERROR_SUCCESS) return MAPI_E_CALL_FAILED;
  if (strcasecmp(DefaultProfile().c_str(), profile.c_str()) == 0) SetDefault("");
  return S_OK;
}

std::string ProfileStore::DefaultProfile() {
  Key key;
  if (RegOpenKeyEx(HKEY_CURRENT_USER, kProfilesRoot, 0, KEY_READ, key.Out()) != ERROR_SUCCESS) return "";
  char buf[256];
  DWORD cb = sizeof buf, type = 0;
  if (RegQueryValueEx(key.get(), kDefaultProfileValue, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb) !=
          ERROR_SUCCESS ||
      type != REG_SZ)
    return "";
  std::string s(buf, cb);
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

HRESULT ProfileStore::SetDefault(const std::string& profile) {
  Key key;
  if (RegCreateKeyEx(HKEY_CURRENT_USER, kProfilesRoot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Out(), nullptr) !=
      ERROR_SUCCESS)
    return MAPI_E_CALL_FAILED;
  if (profile.empty()) {
    RegDeleteValue(key.get(), kDefaultProfileValue);
    return S_OK;
  }
  if (!Exists(profile)) return MAPI_E_NOT_FOUND;
  return FromStatus(RegSetValueEx(key.get(), kDefaultProfileValue, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(profile.data()), static_cast<DWORD>(profile.size())));
}

bool ProfileStore::SectionExists(const std::string& profile, const MAPIUID& section) {
  Key key;
  return SUCCEEDED(OpenSection(profile, section, false, &key));
}

HRESULT ProfileStore::ReadSection(const std::string& profile, const MAPIUID& section, ProfProps* props) {
  props->clear();
  Key key;
  if (HRESULT hr = OpenSection(profile, section, false, &key); FAILED(hr)) return hr;
  for (DWORD i = 0;; ++i) {
    char name[64];
    DWORD cch = sizeof name, type = 0, cb = 0;
    LSTATUS st = RegEnumValue(key.get(), i, name, &cch, nullptr, &type, nullptr, &cb);
    if (st == ERROR_NO_MORE_ITEMS) break;
    if (st != ERROR_SUCCESS && st != ERROR_MORE_DATA) return MAPI_E_CALL_FAILED;
    std::string value_name(name, cch);
    ProfProp p;
    if (!TagFromName(value_name, &p.tag)) continue;  // not a property value
    p.data.resize(cb);
    DWORD got = cb;
    if (cb && RegQueryValueEx(key.get(), value_name.c_str(), nullptr, &type, p.data.data(), &got) != ERROR_SUCCESS)
      return MAPI_E_CALL_FAILED;
    p.data.resize(got);
    // A REG_SZ may carry the NUL when another writer put it there.
    if (type == REG_SZ)
      while (!p.data.empty() && p.data.back() == 0) p.data.pop_back();
    props->push_back(std::move(p));
  }
  return S_OK;
}

HRESULT ProfileStore::WriteProps(const std::string& profile, const MAPIUID& section, const ProfProps& props) {
  Key key;
  if (HRESULT hr = OpenSection(profile, section, true, &key); FAILED(hr)) return hr;
  for (const ProfProp& p : props) {
    DWORD type = IsText(p.tag) ? REG_SZ : REG_BINARY;
    if (RegSetValueEx(key.get(), TagName(p.tag).c_str(), 0, type, p.data.data(), static_cast<DWORD>(p.data.size())) !=
        ERROR_SUCCESS)
      return MAPI_E_CALL_FAILED;
  }
  return S_OK;
}

HRESULT ProfileStore::DeleteProps(const std::string& profile, const MAPIUID& section, const std::vector<ULONG>& tags) {
  Key key;
  if (HRESULT hr = OpenSection(profile, section, false, &key); FAILED(hr)) return hr;
  for (ULONG tag : tags) RegDeleteValue(key.get(), TagName(tag).c_str());
  return S_OK;
}

HRESULT ProfileStore::DeleteSection(const std::string& profile, const MAPIUID& section) {
  if (!SectionExists(profile, section)) return MAPI_E_NOT_FOUND;
  std::string path = ProfileKey(profile) + "\\" + UidToHex(section);
  return FromStatus(RegDeleteTree(HKEY_CURRENT_USER, path.c_str()));
}

HRESULT ProfileStore::AddUid(const std::string& profile, const MAPIUID& section, ULONG tag, const MAPIUID& uid) {
  ProfProps props;
  ReadSection(profile, section, &props);  // a missing section starts empty
  ProfProp list = ProfProp::Binary(tag, nullptr, 0);
  if (const ProfProp* old = FindProp(props, tag)) list.data = old->data;
  for (const MAPIUID& u : UidList(&list))
    if (u == uid) return S_OK;
  list.data.resize(list.data.size() / 16 * 16);
  list.data.insert(list.data.end(), uid.ab, uid.ab + 16);
  return WriteProps(profile, section, {list});
}

HRESULT ProfileStore::RemoveUid(const std::string& profile, const MAPIUID& section, ULONG tag, const MAPIUID& uid) {
  ProfProps props;
  if (HRESULT hr = ReadSection(profile, section, &props); FAILED(hr)) return hr;
  const ProfProp* old = FindProp(props, tag);
  if (!old) return S_OK;
  ProfProp list = ProfProp::Binary(tag, nullptr, 0);
  for (const MAPIUID& u : UidList(old))
    if (!(u == uid)) list.data.insert(list.data.end(), u.ab, u.ab + 16);
  return WriteProps(profile, section, {list});
}

}  // namespace vantrel::mapi
