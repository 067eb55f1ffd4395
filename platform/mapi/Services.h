// The message services and providers of a profile, read from and written to
// its registry sections (ProfileStore). The global section lists the
// services (PR_SERVICES) and providers by kind (PR_STORE_PROVIDERS,
// PR_AB_PROVIDERS, PR_TRANSPORT_PROVIDERS); a service section lists its own
// providers the same way; a provider section names its service
// (PR_SERVICE_UID). Whatever writes this layout, MAPI or an installer
// writing the registry itself, yields services MAPI uses.
#pragma once

#include <string>
#include <vector>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/MapiSvcInf.h"
#include "platform/mapi/ProfileStore.h"

namespace vantrel::mapi {

struct ServiceInfo {
  MAPIUID uid{};
  ProfProps props;
  std::vector<MAPIUID> providers;
  std::string Name() const;
  std::string DisplayName() const;
};

struct ProviderInfo {
  MAPIUID uid{};
  ProfProps props;
  std::string DllName() const;
  std::string DisplayName() const;
  ULONG ResourceType() const;
  ULONG ResourceFlags() const;
  MAPIUID ServiceUid() const;
};

// Services listed in the global section, in its order; a listed UID whose
// section is gone is skipped.
HRESULT ListServices(const std::string& profile, std::vector<ServiceInfo>* out);
// Providers of every kind listed in the global section (stores first), or
// only those of one service when `service` is given.
HRESULT ListProviders(const std::string& profile, const MAPIUID* service, std::vector<ProviderInfo>* out);
HRESULT ReadProvider(const std::string& profile, const MAPIUID& uid, ProviderInfo* out);

// Adds a service from its MAPISVC.INF sections: the service section's PR_
// lines, then one provider section per name in "Providers=". The service's
// entry is called with MSG_SERVICE_CREATE. display may be empty (the
// [Services] text is used).
HRESULT CreateService(const std::string& profile, const MapiSvcInf& inf, const std::string& service,
                      const std::string& display, ULONG_PTR ui_param, ULONG flags, MAPIUID* uid);
HRESULT DeleteService(const std::string& profile, const MAPIUID& uid);
// Passes the properties to the service's entry (MSG_SERVICE_CONFIGURE).
HRESULT ConfigureService(const std::string& profile, const MAPIUID& uid, ULONG_PTR ui_param, ULONG flags, ULONG count,
                         const SPropValue* props);
// Adds one provider section to a service (from the INF section of that
// name) with extra properties on top.
HRESULT CreateProvider(const std::string& profile, const MapiSvcInf& inf, const MAPIUID& service,
                       const std::string& section, ULONG count, const SPropValue* props, MAPIUID* uid);
HRESULT DeleteProvider(const std::string& profile, const MAPIUID& uid);

// The message-service entry point of a service library, as MAPI calls it.
// hinstance and malloc are opaque here.
using MSGSERVICEENTRY = HRESULT(void* hinstance, void* malloc, LPMAPISUP support, ULONG_PTR ui_param, ULONG flags,
                                ULONG context, ULONG count, LPSPropValue props, LPPROVIDERADMIN provider_admin,
                                LPMAPIERROR* error);
inline constexpr ULONG MSG_SERVICE_INSTALL = 1;
inline constexpr ULONG MSG_SERVICE_CREATE = 2;
inline constexpr ULONG MSG_SERVICE_CONFIGURE = 3;
inline constexpr ULONG MSG_SERVICE_DELETE = 4;
inline constexpr ULONG MSG_SERVICE_UNINSTALL = 5;
inline constexpr ULONG MSG_SERVICE_PROVIDER_CREATE = 6;
inline constexpr ULONG MSG_SERVICE_PROVIDER_DELETE = 7;

// The property lists of the global/service sections for a resource type.
ULONG ProviderListTag(ULONG resource_type);

}  // namespace vantrel::mapi
