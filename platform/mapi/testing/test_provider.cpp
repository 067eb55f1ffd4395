// Test helper: an outside store provider as a shared library, entered
// through ServiceEntry and MSProviderInit like any provider MAPI loads.
// Its service entry records each call in the service's profile section;
// its stores are in-memory stores named after the profile.
#include <cstring>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/Providers.h"
#include "platform/mapi/testing/FakeStore.h"

using namespace vantrel::mapi;
using vantrel::ComPtr;

namespace {

constexpr ULONG kPropLastContext = PROP_TAG(PT_LONG, 0x6701);
constexpr ULONG kPropConfigured = PROP_TAG(PT_STRING8, 0x6702);

class Provider final : public vantrel::RefCounted<IMSProvider> {
 public:
  HRESULT Shutdown(ULONG*) override { return S_OK; }
  HRESULT Logon(LPMAPISUP support, ULONG_PTR, LPSTR profile, ULONG, LPENTRYID, ULONG, LPCIID, ULONG*, LPBYTE*,
                LPMAPIERROR* error, LPUNKNOWN* logon, LPMDB* mdb) override {
    if (error) *error = nullptr;
    if (logon) *logon = nullptr;
    LPALLOCATEBUFFER allocate = nullptr;
    if (!support || FAILED(support->GetMemAllocRoutines(&allocate, nullptr, nullptr)) || !allocate)
      return MAPI_E_CALL_FAILED;
    auto* store = new testing::FakeStore;
    store->Put(ProfProp::Text(PR_DISPLAY_NAME, std::string("outside store of ") + (profile ? profile : "")));
    *mdb = store;
    return S_OK;
  }
  HRESULT SpoolerLogon(LPMAPISUP, ULONG_PTR, LPSTR, ULONG, LPENTRYID, ULONG, LPCIID, ULONG, LPBYTE, LPMAPIERROR*,
                       LPUNKNOWN*, LPMDB*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CompareStoreIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT ServiceEntry(void*, void*, LPMAPISUP support, ULONG_PTR,
                                                                       ULONG, ULONG context, ULONG count,
                                                                       LPSPropValue props, LPPROVIDERADMIN admin,
                                                                       LPMAPIERROR* error) {
  if (error) *error = nullptr;
  if (!support || !admin) return MAPI_E_INVALID_PARAMETER;
  ComPtr<IProfSect> section;
  if (HRESULT hr = support->OpenProfileSection(nullptr, MAPI_MODIFY, section.Out()); FAILED(hr)) return hr;
  SPropValue v[2] = {};
  v[0].ulPropTag = kPropLastContext;
  v[0].Value.l = static_cast<LONG>(context);
  ULONG n = 1;
  for (ULONG i = 0; i < count; ++i)
    if (props[i].ulPropTag == PR_DISPLAY_NAME) {
      v[1].ulPropTag = kPropConfigured;
      v[1].Value.lpszA = props[i].Value.lpszA;
      n = 2;
    }
  return section->SetProps(n, v, nullptr);
}

extern "C" __attribute__((visibility("default"))) HRESULT MSProviderInit(void*, void*, LPALLOCATEBUFFER, LPALLOCATEMORE,
                                                                         LPFREEBUFFER, ULONG, ULONG, ULONG* version,
                                                                         IMSProvider** out) {
  if (version) *version = CURRENT_SPI_VERSION;
  *out = new Provider;
  return S_OK;
}
