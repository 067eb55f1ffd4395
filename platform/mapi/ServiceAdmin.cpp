#include "platform/mapi/ServiceAdmin.h"

#include <strings.h>

#include "platform/mapi/MapiSvcInf.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/ProfSect.h"
#include "platform/mapi/Services.h"

namespace vantrel::mapi {
namespace {

const std::vector<ULONG> kProfileColumns = {PR_DISPLAY_NAME, PR_DEFAULT_PROFILE, PR_INSTANCE_KEY};
const std::vector<ULONG> kServiceColumns = {PR_SERVICE_NAME,   PR_DISPLAY_NAME,     PR_SERVICE_UID,
                                            PR_RESOURCE_FLAGS, PR_SERVICE_DLL_NAME, PR_INSTANCE_KEY};
const std::vector<ULONG> kProviderColumns = {PR_DISPLAY_NAME,  PR_PROVIDER_DISPLAY, PR_PROVIDER_DLL_NAME,
                                             PR_RESOURCE_TYPE, PR_RESOURCE_FLAGS,   PR_PROVIDER_UID,
                                             PR_SERVICE_UID,   PR_SERVICE_NAME,     PR_INSTANCE_KEY};

std::string Str(LPSTR s) {
  return s ? std::string(s) : std::string();
}

class ProviderAdmin final : public RefCounted<IProviderAdmin> {
 public:
  ProviderAdmin(std::string profile, const MAPIUID& service) : profile_(std::move(profile)), service_(service) {}

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
    if (err) *err = nullptr;
    return S_OK;
  }
  HRESULT GetProviderTable(ULONG, LPMAPITABLE* table) override {
    TableRows rows;
    if (HRESULT hr = ProviderTableRows(profile_, &service_, &rows); FAILED(hr)) return hr;
    return RowsToTable(kProviderColumns, rows, table);
  }
  HRESULT CreateProvider(LPSTR provider, ULONG count, LPSPropValue props, ULONG_PTR, ULONG, MAPIUID* uid) override {
    if (!provider || (count && !props)) return MAPI_E_INVALID_PARAMETER;
    MapiSvcInf inf;
    if (HRESULT hr = MapiSvcInf::LoadInstalled(&inf); FAILED(hr)) return hr;
    return mapi::CreateProvider(profile_, inf, service_, provider, count, props, uid);
  }
  HRESULT DeleteProvider(LPMAPIUID uid) override {
    if (!uid) return MAPI_E_INVALID_PARAMETER;
    return mapi::DeleteProvider(profile_, *uid);
  }
  HRESULT OpenProfileSection(LPMAPIUID uid, LPCIID, ULONG flags, LPPROFSECT* out) override {
    if (!uid) return MAPI_E_INVALID_PARAMETER;
    return OpenProfSect(profile_, *uid, flags, out);
  }

 private:
  const std::string profile_;
  const MAPIUID service_;
};

class MsgServiceAdmin final : public RefCounted<IMsgServiceAdmin> {
 public:
  explicit MsgServiceAdmin(std::string profile) : profile_(std::move(profile)) {}

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
    if (err) *err = nullptr;
    return S_OK;
  }
  HRESULT GetMsgServiceTable(ULONG, LPMAPITABLE* table) override {
    TableRows rows;
    if (HRESULT hr = ServiceTableRows(profile_, &rows); FAILED(hr)) return hr;
    return RowsToTable(kServiceColumns, rows, table);
  }
  HRESULT CreateMsgService(LPSTR service, LPSTR display, ULONG_PTR ui_param, ULONG flags) override {
    if (!service || !*service) return MAPI_E_INVALID_PARAMETER;
    MapiSvcInf inf;
    if (HRESULT hr = MapiSvcInf::LoadInstalled(&inf); FAILED(hr)) return hr;
    return CreateService(profile_, inf, service, Str(display), ui_param, flags, nullptr);
  }
  HRESULT DeleteMsgService(LPMAPIUID uid) override {
    if (!uid) return MAPI_E_INVALID_PARAMETER;
    return DeleteService(profile_, *uid);
  }
  HRESULT CopyMsgService(LPMAPIUID, LPSTR, LPCIID, LPCIID, LPVOID, ULONG_PTR, ULONG) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT RenameMsgService(LPMAPIUID uid, ULONG, LPSTR display) override {
    if (!uid || !display || !*display) return MAPI_E_INVALID_PARAMETER;
    if (!ProfileStore::SectionExists(profile_, *uid)) return MAPI_E_NOT_FOUND;
    return ProfileStore::WriteProps(profile_, *uid, {ProfProp::Text(PR_DISPLAY_NAME, display)});
  }
  HRESULT ConfigureMsgService(LPMAPIUID uid, ULONG_PTR ui_param, ULONG flags, ULONG count,
                              LPSPropValue props) override {
    if (!uid) return MAPI_E_INVALID_PARAMETER;
    return ConfigureService(profile_, *uid, ui_param, flags, count, props);
  }
  HRESULT OpenProfileSection(LPMAPIUID uid, LPCIID, ULONG flags, LPPROFSECT* out) override {
    if (!uid) return MAPI_E_INVALID_PARAMETER;
    return OpenProfSect(profile_, *uid, flags, out);
  }
  HRESULT MsgServiceTransportOrder(ULONG, LPMAPIUID, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT AdminProviders(LPMAPIUID uid, ULONG, LPPROVIDERADMIN* out) override {
    if (!uid || !out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (!ProfileStore::SectionExists(profile_, *uid)) return MAPI_E_NOT_FOUND;
    return NewProviderAdmin(profile_, *uid, out);
  }
  HRESULT SetPrimaryIdentity(LPMAPIUID, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetProviderTable(ULONG, LPMAPITABLE* table) override {
    TableRows rows;
    if (HRESULT hr = ProviderTableRows(profile_, nullptr, &rows); FAILED(hr)) return hr;
    return RowsToTable(kProviderColumns, rows, table);
  }

 private:
  const std::string profile_;
};

class ProfAdmin final : public RefCounted<IProfAdmin> {
 public:
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
    if (err) *err = nullptr;
    return S_OK;
  }
  HRESULT GetProfileTable(ULONG, LPMAPITABLE* table) override {
    TableRows rows;
    ProfileTableRows(&rows);
    return RowsToTable(kProfileColumns, rows, table);
  }
  HRESULT CreateProfile(LPSTR name, LPSTR, ULONG_PTR, ULONG flags) override {
    if (!name) return MAPI_E_INVALID_PARAMETER;
    if (HRESULT hr = ProfileStore::Create(name); FAILED(hr)) return hr;
    if (flags & MAPI_DEFAULT_SERVICES) {
      // The services MAPISVC.INF lists under [Default Services].
      MapiSvcInf inf;
      if (SUCCEEDED(MapiSvcInf::LoadInstalled(&inf)))
        for (const auto& [service, display] : inf.Entries("Default Services"))
          CreateService(name, inf, service, display, 0, 0, nullptr);
    }
    return S_OK;
  }
  HRESULT DeleteProfile(LPSTR name, ULONG) override {
    if (!name) return MAPI_E_INVALID_PARAMETER;
    return ProfileStore::Delete(name);
  }
  HRESULT ChangeProfilePassword(LPSTR, LPSTR, LPSTR, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT CopyProfile(LPSTR, LPSTR, LPSTR, ULONG_PTR, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT RenameProfile(LPSTR, LPSTR, LPSTR, ULONG_PTR, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetDefaultProfile(LPSTR name, ULONG) override { return ProfileStore::SetDefault(Str(name)); }
  HRESULT AdminServices(LPSTR name, LPSTR, ULONG_PTR, ULONG, LPSERVICEADMIN* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (!name) return MAPI_E_INVALID_PARAMETER;
    if (!ProfileStore::Exists(name)) return MAPI_E_NOT_FOUND;
    return NewMsgServiceAdmin(name, out);
  }
};

}  // namespace

HRESULT NewProfAdmin(IProfAdmin** out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = new ProfAdmin();
  return S_OK;
}

HRESULT NewMsgServiceAdmin(const std::string& profile, IMsgServiceAdmin** out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = new MsgServiceAdmin(profile);
  return S_OK;
}

HRESULT NewProviderAdmin(const std::string& profile, const MAPIUID& service, IProviderAdmin** out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = new ProviderAdmin(profile, service);
  return S_OK;
}

void ProfileTableRows(TableRows* rows) {
  rows->clear();
  std::string def = ProfileStore::DefaultProfile();
  for (const std::string& name : ProfileStore::List()) {
    rows->push_back({ProfProp::Text(PR_DISPLAY_NAME, name),
                     ProfProp::Bool(PR_DEFAULT_PROFILE, strcasecmp(name.c_str(), def.c_str()) == 0),
                     ProfProp::Binary(PR_INSTANCE_KEY, name.data(), name.size())});
  }
}

HRESULT ServiceTableRows(const std::string& profile, TableRows* rows) {
  rows->clear();
  std::vector<ServiceInfo> services;
  if (HRESULT hr = ListServices(profile, &services); FAILED(hr)) return hr;
  for (ServiceInfo& s : services) {
    ProfProps row = s.props;
    if (!FindProp(row, PR_SERVICE_UID)) row.push_back(ProfProp::Uid(PR_SERVICE_UID, s.uid));
    if (!FindProp(row, PR_RESOURCE_FLAGS)) row.push_back(ProfProp::Long(PR_RESOURCE_FLAGS, 0));
    row.push_back(ProfProp::Uid(PR_INSTANCE_KEY, s.uid));
    rows->push_back(std::move(row));
  }
  return S_OK;
}

HRESULT ProviderTableRows(const std::string& profile, const MAPIUID* service, TableRows* rows) {
  rows->clear();
  std::vector<ProviderInfo> providers;
  if (HRESULT hr = ListProviders(profile, service, &providers); FAILED(hr)) return hr;
  for (ProviderInfo& p : providers) {
    ProfProps row = p.props;
    if (!FindProp(row, PR_PROVIDER_UID)) row.push_back(ProfProp::Uid(PR_PROVIDER_UID, p.uid));
    row.push_back(ProfProp::Uid(PR_INSTANCE_KEY, p.uid));
    rows->push_back(std::move(row));
  }
  return S_OK;
}

}  // namespace vantrel::mapi
