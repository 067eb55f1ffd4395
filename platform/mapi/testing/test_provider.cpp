// Test helper: an outside store provider as a shared library, entered
// through ServiceEntry and MSProviderInit like any provider MAPI loads.
// Its service entry records each call in the service's profile section;
// its stores are in-memory stores named after the profile. The Test*
// entry points at the end serve the one-platform-per-process test.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/Providers.h"
#include "platform/mapi/TableData.h"
#include "platform/mapi/testing/FakeStore.h"
#include "platform/registry/Registry.h"

using namespace vantrel::mapi;
using vantrel::ComPtr;

namespace {

constexpr ULONG kPropLastContext = PROP_TAG(PT_LONG, 0x6701);
constexpr ULONG kPropConfigured = PROP_TAG(PT_STRING8, 0x6702);

// What the host did with this provider, read back by the tests through
// TestProviderEvents.
struct Events {
  std::atomic<int> logons{0}, logoffs{0}, shutdowns{0}, opens{0}, compares{0}, advises{0}, unadvises{0};
};
Events& Counted() {
  static Events e;
  return e;
}

// The UID the provider registers: entry IDs carrying it are its own.
constexpr MAPIUID kObjectUid = {{0x7e, 0x57, 0x01, 0xd0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}};

// Its logon object: entries open as property objects holding their entry
// ID; two IDs are the same object when they differ in the flag bytes only.
class ProviderLogonObject final : public vantrel::RefCounted<IMSLogon> {
 public:
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override {
    if (error) *error = nullptr;
    return S_OK;
  }
  HRESULT Logoff(ULONG*) override {
    ++Counted().logoffs;
    return S_OK;
  }
  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID, ULONG, ULONG* type, LPUNKNOWN* out) override {
    ++Counted().opens;
    auto* object = new testing::FakeStore;
    object->Put(ProfProp::Binary(PR_ENTRYID, id, cb));
    if (type) *type = MAPI_MESSAGE;
    *out = object;
    return S_OK;
  }
  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG, ULONG* result) override {
    ++Counted().compares;
    *result = cb1 == cb2 && cb1 >= 4 &&
              std::memcmp(reinterpret_cast<BYTE*>(id1) + 4, reinterpret_cast<BYTE*>(id2) + 4, cb1 - 4) == 0;
    return S_OK;
  }
  HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG* connection) override {
    *connection = static_cast<ULONG>(++Counted().advises);
    return S_OK;
  }
  HRESULT Unadvise(ULONG) override {
    ++Counted().unadvises;
    return S_OK;
  }
  HRESULT OpenStatusEntry(LPCIID, ULONG, ULONG*, LPMAPISTATUS*) override { return MAPI_E_NO_SUPPORT; }
};

class Provider final : public vantrel::RefCounted<IMSProvider> {
 public:
  HRESULT Shutdown(ULONG*) override {
    ++Counted().shutdowns;
    return S_OK;
  }
  HRESULT Logon(LPMAPISUP support, ULONG_PTR, LPSTR profile, ULONG, LPENTRYID, ULONG, LPCIID, ULONG*, LPBYTE*,
                LPMAPIERROR* error, LPMSLOGON* logon, LPMDB* mdb) override {
    if (error) *error = nullptr;
    if (logon) *logon = nullptr;
    LPALLOCATEBUFFER allocate = nullptr;
    if (!support || FAILED(support->GetMemAllocRoutines(&allocate, nullptr, nullptr)) || !allocate)
      return MAPI_E_CALL_FAILED;
    ++Counted().logons;
    MAPIUID uid = kObjectUid;
    support->SetProviderUID(&uid, 0);
    auto* store = new testing::FakeStore;
    store->Put(ProfProp::Text(PR_DISPLAY_NAME, std::string("outside store of ") + (profile ? profile : "")));
    *mdb = store;
    if (logon) *logon = new ProviderLogonObject;
    return S_OK;
  }
  HRESULT SpoolerLogon(LPMAPISUP, ULONG_PTR, LPSTR, ULONG, LPENTRYID, ULONG, LPCIID, ULONG, LPBYTE, LPMAPIERROR*,
                       LPMSLOGON*, LPMDB*) override {
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

// Entry points for the one-platform-per-process test: each does its work
// with the platform as the module sees it, so the host can tell whether
// module and host share one MAPI and one registry.
#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

TEST_EXPORT void* TestModuleAllocator() { return reinterpret_cast<void*>(&MAPIAllocateBuffer); }

// A root block with `chained` blocks chained to it, each holding its text.
TEST_EXPORT SCODE TestModuleAllocate(ULONG chained, char*** out) {
  char** slots = nullptr;
  if (SCODE sc = MAPIAllocateBuffer((chained + 1) * sizeof(char*), reinterpret_cast<void**>(&slots)); FAILED(sc))
    return sc;
  for (ULONG i = 0; i <= chained; ++i) {
    std::string text = "block " + std::to_string(i);
    if (SCODE sc = MAPIAllocateMore(static_cast<ULONG>(text.size() + 1), slots, reinterpret_cast<void**>(&slots[i]));
        FAILED(sc)) {
      MAPIFreeBuffer(slots);
      return sc;
    }
    std::memcpy(slots[i], text.c_str(), text.size() + 1);
  }
  *out = slots;
  return S_OK;
}

TEST_EXPORT SCODE TestModuleMakeTable(LPTABLEDATA* out) {
  SizedSPropTagArray<1> cols;
  cols.aulPropTag[0] = PR_ROWID;
  return CreateTable(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr, TBLTYPE_DYNAMIC,
                     PR_ROWID, cols.get(), out);
}

// Adds a row from a thread of the module's own; `poster` gets that thread.
TEST_EXPORT HRESULT TestModuleAddRow(LPTABLEDATA data, LONG id, std::thread::id* poster) {
  HRESULT hr = E_FAIL;
  std::thread worker([&] {
    *poster = std::this_thread::get_id();
    SPropValue v{};
    v.ulPropTag = PR_ROWID;
    v.Value.l = id;
    SRow row{0, 1, &v};
    hr = data->HrModifyRow(&row);
  });
  worker.join();
  return hr;
}

TEST_EXPORT LSTATUS TestModuleReadValue(HKEY key, const char* name, char* buf, DWORD* cb) {
  DWORD type = 0;
  return RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buf), cb);
}

TEST_EXPORT void TestModuleRegistryFolder(std::string* out) { *out = vantrel::registry::Folder(); }

// Counts of the calls the host made: logons, logoffs, shutdowns, routed
// opens, compares, advises and unadvises, in that order; and the UID the
// provider registers.
TEST_EXPORT void TestProviderEvents(int counts[7], MAPIUID* uid) {
  Events& e = Counted();
  int values[7] = {e.logons, e.logoffs, e.shutdowns, e.opens, e.compares, e.advises, e.unadvises};
  std::memcpy(counts, values, sizeof values);
  *uid = kObjectUid;
}
