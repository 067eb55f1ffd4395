#include "platform/mapi/Services.h"

#include <strings.h>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/Providers.h"

namespace vantrel::mapi {
namespace {

constexpr ULONG kListTags[] = {PR_STORE_PROVIDERS, PR_AB_PROVIDERS, PR_TRANSPORT_PROVIDERS};

std::string TextOf(const ProfProps& props, ULONG tag) {
  const ProfProp* p = FindProp(props, tag);
  return p ? p->AsText() : std::string();
}

// The PR_ lines of an INF section as properties; other keys are skipped.
HRESULT InfSectionProps(const MapiSvcInf& inf, const std::string& section, ProfProps* out) {
  for (const auto& [key, value] : inf.Entries(section)) {
    ProfProp p;
    HRESULT hr = InfPropFromLine(key, value, &p);
    if (hr == MAPI_E_NOT_FOUND) continue;
    if (FAILED(hr)) return MAPI_E_INVALID_PARAMETER;
    bool replaced = false;
    for (ProfProp& q : *out)
      if (q.tag == p.tag) {
        q = p;
        replaced = true;
      }
    if (!replaced) out->push_back(std::move(p));
  }
  return S_OK;
}

std::string InfValue(const MapiSvcInf& inf, const std::string& section, const std::string& key) {
  for (const auto& [k, v] : inf.Entries(section))
    if (strcasecmp(k.c_str(), key.c_str()) == 0) return v;
  return "";
}

}  // namespace

std::string ServiceInfo::Name() const {
  return TextOf(props, PR_SERVICE_NAME);
}
std::string ServiceInfo::DisplayName() const {
  return TextOf(props, PR_DISPLAY_NAME);
}
std::string ProviderInfo::DllName() const {
  return TextOf(props, PR_PROVIDER_DLL_NAME);
}
std::string ProviderInfo::DisplayName() const {
  return TextOf(props, PR_DISPLAY_NAME);
}
ULONG ProviderInfo::ResourceType() const {
  const ProfProp* p = FindProp(props, PR_RESOURCE_TYPE);
  return p ? p->AsLong() : 0;
}
ULONG ProviderInfo::ResourceFlags() const {
  const ProfProp* p = FindProp(props, PR_RESOURCE_FLAGS);
  return p ? p->AsLong() : 0;
}
MAPIUID ProviderInfo::ServiceUid() const {
  std::vector<MAPIUID> u = UidList(FindProp(props, PR_SERVICE_UID));
  return u.empty() ? MAPIUID{} : u[0];
}

ULONG ProviderListTag(ULONG resource_type) {
  switch (resource_type) {
    case MAPI_AB_PROVIDER:
      return PR_AB_PROVIDERS;
    case MAPI_TRANSPORT_PROVIDER:
      return PR_TRANSPORT_PROVIDERS;
    default:
      return PR_STORE_PROVIDERS;
  }
}

HRESULT ListServices(const std::string& profile, std::vector<ServiceInfo>* out) {
  out->clear();
  ProfProps global;
  if (HRESULT hr = ProfileStore::ReadSection(profile, kGlobalSection, &global); FAILED(hr)) return hr;
  for (const MAPIUID& uid : UidList(FindProp(global, PR_SERVICES))) {
    ServiceInfo s;
    s.uid = uid;
    if (FAILED(ProfileStore::ReadSection(profile, uid, &s.props))) continue;
    for (ULONG tag : kListTags)
      for (const MAPIUID& p : UidList(FindProp(s.props, tag))) s.providers.push_back(p);
    out->push_back(std::move(s));
  }
  return S_OK;
}

HRESULT ReadProvider(const std::string& profile, const MAPIUID& uid, ProviderInfo* out) {
  out->uid = uid;
  return ProfileStore::ReadSection(profile, uid, &out->props);
}

HRESULT ListProviders(const std::string& profile, const MAPIUID* service, std::vector<ProviderInfo>* out) {
  out->clear();
  ProfProps global;
  if (HRESULT hr = ProfileStore::ReadSection(profile, kGlobalSection, &global); FAILED(hr)) return hr;
  for (ULONG tag : kListTags) {
    for (const MAPIUID& uid : UidList(FindProp(global, tag))) {
      ProviderInfo p;
      if (FAILED(ReadProvider(profile, uid, &p))) continue;
      if (service && !(p.ServiceUid() == *service)) continue;
      out->push_back(std::move(p));
    }
  }
  return S_OK;
}

HRESULT CreateProvider(const std::string& profile, const MapiSvcInf& inf, const MAPIUID& service,
                       const std::string& section, ULONG count, const SPropValue* props, MAPIUID* uid) {
  if (!inf.HasSection(section)) return MAPI_E_NOT_FOUND;
  ProfProps pp;
  if (HRESULT hr = InfSectionProps(inf, section, &pp); FAILED(hr)) return hr;
  for (ULONG i = 0; i < count; ++i) {
    ProfProp p;
    if (HRESULT hr = PropFromValue(props[i], &p); FAILED(hr)) return hr;
    pp.push_back(std::move(p));
  }
  ProfProps service_props;
  if (HRESULT hr = ProfileStore::ReadSection(profile, service, &service_props); FAILED(hr)) return hr;
  MAPIUID id = NewUid();
  pp.push_back(ProfProp::Uid(PR_SERVICE_UID, service));
  pp.push_back(ProfProp::Text(PR_SERVICE_NAME, TextOf(service_props, PR_SERVICE_NAME)));
  pp.push_back(ProfProp::Uid(PR_PROVIDER_UID, id));
  const ProfProp* type = FindProp(pp, PR_RESOURCE_TYPE);
  ULONG list = ProviderListTag(type ? type->AsLong() : MAPI_STORE_PROVIDER);
  if (HRESULT hr = ProfileStore::WriteProps(profile, id, pp); FAILED(hr)) return hr;
  if (HRESULT hr = ProfileStore::AddUid(profile, service, list, id); FAILED(hr)) return hr;
  if (HRESULT hr = ProfileStore::AddUid(profile, kGlobalSection, list, id); FAILED(hr)) return hr;
  if (uid) *uid = id;
  return S_OK;
}

HRESULT DeleteProvider(const std::string& profile, const MAPIUID& uid) {
  ProviderInfo p;
  if (HRESULT hr = ReadProvider(profile, uid, &p); FAILED(hr)) return hr;
  MAPIUID service = p.ServiceUid();
  for (ULONG tag : kListTags) {
    ProfileStore::RemoveUid(profile, kGlobalSection, tag, uid);
    if (ProfileStore::SectionExists(profile, service)) ProfileStore::RemoveUid(profile, service, tag, uid);
  }
  return ProfileStore::DeleteSection(profile, uid);
}

HRESULT CreateService(const std::string& profile, const MapiSvcInf& inf, const std::string& service,
                      const std::string& display, ULONG_PTR ui_param, ULONG flags, MAPIUID* uid) {
  if (!ProfileStore::Exists(profile)) return MAPI_E_NOT_FOUND;
  std::string listed;
  bool found = false;
  for (const auto& [name, text] : inf.Services())
    if (strcasecmp(name.c_str(), service.c_str()) == 0) {
      listed = text;
      found = true;
    }
  if (!found || !inf.HasSection(service)) return MAPI_E_NOT_FOUND;
  ProfProps sp;
  if (HRESULT hr = InfSectionProps(inf, service, &sp); FAILED(hr)) return hr;
  MAPIUID id = NewUid();
  sp.push_back(ProfProp::Text(PR_SERVICE_NAME, service));
  if (!FindProp(sp, PR_DISPLAY_NAME) || !display.empty())
    sp.push_back(ProfProp::Text(PR_DISPLAY_NAME, display.empty() ? listed : display));
  sp.push_back(ProfProp::Uid(PR_SERVICE_UID, id));
  if (HRESULT hr = ProfileStore::WriteProps(profile, id, sp); FAILED(hr)) return hr;
  // Listed in the global section only once its providers are there, so a
  // reader never meets half a service.
  std::string providers = InfValue(inf, service, "Providers");
  std::vector<std::string> names;
  for (size_t start = 0; start <= providers.size();) {
    size_t comma = providers.find(',', start);
    std::string n = providers.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t b = n.find_first_not_of(' '), e = n.find_last_not_of(' ');
    if (b != std::string::npos) names.push_back(n.substr(b, e - b + 1));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  for (const std::string& n : names) {
    if (HRESULT hr = CreateProvider(profile, inf, id, n, 0, nullptr, nullptr); FAILED(hr)) {
      DeleteService(profile, id);
      return hr;
    }
  }
  if (HRESULT hr = ProfileStore::AddUid(profile, kGlobalSection, PR_SERVICES, id); FAILED(hr)) return hr;
  HRESULT hr = CallServiceEntry(profile, id, ui_param, flags, MSG_SERVICE_CREATE, 0, nullptr);
  if (FAILED(hr) && hr != MAPI_E_NO_SUPPORT) {
    DeleteService(profile, id);
    return hr;
  }
  if (uid) *uid = id;
  return S_OK;
}

HRESULT DeleteService(const std::string& profile, const MAPIUID& uid) {
  ProfProps sp;
  if (HRESULT hr = ProfileStore::ReadSection(profile, uid, &sp); FAILED(hr)) return hr;
  CallServiceEntry(profile, uid, 0, 0, MSG_SERVICE_DELETE, 0, nullptr);
  for (ULONG tag : kListTags)
    for (const MAPIUID& p : UidList(FindProp(sp, tag))) {
      ProfileStore::RemoveUid(profile, kGlobalSection, tag, p);
      ProfileStore::DeleteSection(profile, p);
    }
  ProfileStore::RemoveUid(profile, kGlobalSection, PR_SERVICES, uid);
  return ProfileStore::DeleteSection(profile, uid);
}

HRESULT ConfigureService(const std::string& profile, const MAPIUID& uid, ULONG_PTR ui_param, ULONG flags, ULONG count,
                         const SPropValue* props) {
  if (count && !props) return MAPI_E_INVALID_PARAMETER;
  if (!ProfileStore::SectionExists(profile, uid)) return MAPI_E_NOT_FOUND;
  return CallServiceEntry(profile, uid, ui_param, flags, MSG_SERVICE_CONFIGURE, count, props);
}

}  // namespace vantrel::mapi
