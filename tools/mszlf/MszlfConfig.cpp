#include "tools/mszlf/MszlfConfig.h"

#include <cstring>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "tools/mszlf/MszlfProps.h"

namespace vantrel::mszlf {
namespace {

struct TextField {
  ULONG tag;
  std::string Config::*field;
};
constexpr TextField kTextFields[] = {
    {PR_ZLF_SERVER, &Config::server},     {PR_ZLF_PROFILE, &Config::profile},
    {PR_ZLF_STORE, &Config::store},       {PR_ZLF_LOGIN, &Config::login},
    {PR_ZLF_PASSWORD, &Config::password}, {PR_DISPLAY_NAME, &Config::display},
};

}  // namespace

std::string Config::Connection() const {
  return server + "(" + profile + ")(" + store + ")";
}

void Config::SetConnection(const std::string& text) {
  std::string fields[4];
  size_t n = 0;
  for (char c : text) {
    if (c == '(') {
      if (++n >= 4) break;
    } else if (c != ')') {
      fields[n] += c;
    }
  }
  std::string* targets[3] = {&server, &profile, &store};
  for (size_t i = 0; i < 3; ++i)
    if (!fields[i].empty()) *targets[i] = fields[i];
  // A blank ends the server's name, as the client cuts it.
  if (size_t blank = server.find(' '); blank != std::string::npos) server.resize(blank);
}

std::vector<BYTE> Config::StoreEntryID() const {
  std::string text = Connection();
  std::vector<BYTE> id(4 + 16 + text.size() + 1, 0);
  std::memcpy(id.data() + 4, kMszlfProviderUid.ab, 16);
  std::memcpy(id.data() + 20, text.data(), text.size());
  return id;
}

HRESULT ReadConfig(IMAPIProp* section, Config* out) {
  SizedSPropTagArray<7> tags;
  tags.cValues = 0;
  for (const TextField& f : kTextFields) tags.aulPropTag[tags.cValues++] = f.tag;
  tags.aulPropTag[tags.cValues++] = PR_ZLF_STORE_UID;
  ULONG count = 0;
  LPSPropValue values = nullptr;
  HRESULT hr = section->GetProps(tags.get(), 0, &count, &values);
  if (FAILED(hr)) return hr;
  for (ULONG i = 0; i < count; ++i) {
    const SPropValue& v = values[i];
    if (v.ulPropTag == PR_ZLF_STORE_UID && v.Value.bin.cb == 16)
      out->store_uid.assign(v.Value.bin.lpb, v.Value.bin.lpb + 16);
    for (const TextField& f : kTextFields)
      if (v.ulPropTag == f.tag && v.Value.lpszA) out->*f.field = v.Value.lpszA;
  }
  MAPIFreeBuffer(values);
  return S_OK;
}

void ApplyProps(ULONG count, const SPropValue* props, Config* config) {
  for (ULONG i = 0; i < count; ++i) {
    for (const TextField& f : kTextFields)
      if (props[i].ulPropTag == f.tag && props[i].Value.lpszA) {
        std::string value = props[i].Value.lpszA;
        // Another server or store is another store: its identifier is
        // fetched again.
        if (f.tag == PR_ZLF_SERVER || f.tag == PR_ZLF_PROFILE || f.tag == PR_ZLF_STORE)
          if (config->*f.field != value) config->store_uid.clear();
        config->*f.field = value;
      }
  }
}

HRESULT WriteConfig(IMAPIProp* section, const Config& config) {
  std::vector<SPropValue> values;
  for (const TextField& f : kTextFields) {
    if (f.tag == PR_DISPLAY_NAME) continue;
    SPropValue v{};
    v.ulPropTag = f.tag;
    v.Value.lpszA = const_cast<char*>((config.*f.field).c_str());
    values.push_back(v);
  }
  std::string display = config.display.empty() ? config.store : config.display;
  SPropValue name{};
  name.ulPropTag = PR_DISPLAY_NAME;
  name.Value.lpszA = display.data();
  values.push_back(name);
  std::vector<BYTE> id = config.StoreEntryID();
  SPropValue entry{};
  entry.ulPropTag = PR_ENTRYID;
  entry.Value.bin = {static_cast<ULONG>(id.size()), id.data()};
  values.push_back(entry);
  MAPIUID mdb = kMszlfProviderUid;
  SPropValue provider{};
  provider.ulPropTag = PR_MDB_PROVIDER;
  provider.Value.bin = {16, mdb.ab};
  values.push_back(provider);
  std::vector<BYTE> uid = config.store_uid;
  if (uid.size() == 16) {
    SPropValue key{};
    key.ulPropTag = PR_ZLF_STORE_UID;
    key.Value.bin = {16, uid.data()};
    values.push_back(key);
  }
  if (HRESULT hr = section->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr); FAILED(hr)) return hr;
  if (uid.size() != 16) {
    SizedSPropTagArray<1> stale{1, {PR_ZLF_STORE_UID}};
    section->DeleteProps(stale.get(), nullptr);
  }
  return section->SaveChanges(0);
}

}  // namespace vantrel::mszlf
