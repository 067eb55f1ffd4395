// The property proxies: each MAPI object of a store on the server is, in
// this process, a small object that presents the MAPI interface and runs
// each method as one operation on the server object it stands for.
//
// CClientMapiProp holds what every property proxy holds (codec, count,
// server handle, binding, logon) and the bodies of the IMAPIProp methods;
// TClientProp<I> presents them as interface I. Proxies carry no lock of
// their own: each method runs under the call lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "client/ClientCall.h"
#include "client/ClientLogon.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "protocol/MapiMarshal.h"
#include "protocol/ZelWire.h"

namespace vantrel::client {

// The proxy for a server object of `object_type` (folder 3, message 5,
// attachment 7, table 256, stream 257/258, storage 259) under `logon` (a
// reference taken) and `binding`, with count 1; null for any other code.
IUnknown* CreateProxy(ULONG object_type, std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding);

// An interface identifier as sent: presence flag and 16 bytes (zero when
// absent).
zel::wire::Selector Selector(LPCIID iid);

class CClientMapiProp {
 public:
  CClientMapiProp(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding, const char* class_name,
                  const IID& copy_iid);
  CClientMapiProp(const CClientMapiProp&) = delete;
  CClientMapiProp& operator=(const CClientMapiProp&) = delete;

  std::int32_t Handle() const { return handle_; }
  CClientLogon* Logon() const { return logon_; }
  RPC_BINDING_HANDLE Binding() const { return binding_; }
  const zel::CMapiMarshal& Codec() const { return codec_; }

  // Releases the server object (unless already released) and deletes the
  // proxy.
  virtual void Free();

 protected:
  virtual ~CClientMapiProp();

  // "<class>::<method>" through the object trace.
  void Trace(const char* method) const;
  // The proxy for an object the server returned, or null when it returned
  // none.
  IUnknown* MakeProxy(ULONG object_type, std::int32_t handle) const;
  // The proxy for an object of a type the server chose (OpenEntry,
  // OpenProperty) into `out`. A handle of a type we have no proxy for is
  // released again and answered MAPI_E_NO_SUPPORT, never success with no
  // object. Returns the result to hand back.
  HRESULT AdoptObject(HRESULT hr, ULONG object_type, std::int32_t handle, LPUNKNOWN* out) const;
  // Entry IDs as sent: translated when the logon says so.
  std::vector<BYTE> OutgoingId(ULONG cb, const BYTE* id) const;

  ULONG DoAddRef() { return static_cast<ULONG>(++refs_); }
  ULONG DoRelease();

  HRESULT DoGetLastError(HRESULT result, ULONG flags, LPMAPIERROR* error);
  HRESULT DoSaveChanges(ULONG flags);
  HRESULT DoGetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values);
  HRESULT DoGetPropList(ULONG flags, LPSPropTagArray* tags);
  HRESULT DoOpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out);
  HRESULT DoSetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems);
  HRESULT DoDeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems);
  HRESULT DoCopyTo(void* self, ULONG ciid_exclude, LPCIID rgiid_exclude, LPSPropTagArray exclude, ULONG_PTR ui,
                   LPMAPIPROGRESS progress, LPCIID iid, LPVOID dest, ULONG flags, LPSPropProblemArray* problems);
  HRESULT DoCopyProps(void* self, LPSPropTagArray include, ULONG_PTR ui, LPMAPIPROGRESS progress, LPCIID iid,
                      LPVOID dest, ULONG flags, LPSPropProblemArray* problems);
  HRESULT DoGetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count, LPMAPINAMEID** names);
  HRESULT DoGetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* tags);

  // Decodes a result block of `cb` bytes (inline bytes, then the server's
  // buffer) with `read`, which gets a reader over exactly the bytes
  // fetched.
  template <class Read>
  HRESULT ReadResult(std::int32_t cb, std::int32_t buffer, const zel::wire::Inline::Value& inline_data, Read read);

  zel::CMapiMarshal codec_;
  std::atomic<LONG> refs_{1};
  std::int32_t handle_;
  RPC_BINDING_HANDLE binding_;
  CClientLogon* logon_;
  const char* class_name_;
  const IID& copy_iid_;
};

// Presents CClientMapiProp as interface I (IMAPIProp or one derived from
// it); QueryInterface answers IUnknown, I and the interfaces I derives from.
template <class I>
class TClientProp : public I, public CClientMapiProp {
 public:
  TClientProp(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding, const char* class_name)
      : CClientMapiProp(handle, logon, binding, class_name, I::kIID) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (riid == IID_IUnknown || Answers<I>(riid)) {
      *ppv = static_cast<I*>(this);
      this->AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return DoAddRef(); }
  ULONG Release() override { return DoRelease(); }

  HRESULT GetLastError(HRESULT result, ULONG flags, LPMAPIERROR* error) override {
    Trace("GetLastError");
    return DoGetLastError(result, flags, error);
  }
  HRESULT SaveChanges(ULONG flags) override {
    Trace("SaveChanges");
    return DoSaveChanges(flags);
  }
  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override {
    Trace("GetProps");
    return DoGetProps(tags, flags, count, values);
  }
  HRESULT GetPropList(ULONG flags, LPSPropTagArray* tags) override {
    Trace("GetPropList");
    return DoGetPropList(flags, tags);
  }
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override {
    Trace("OpenProperty");
    return DoOpenProperty(tag, iid, options, flags, out);
  }
  HRESULT SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) override {
    Trace("SetProps");
    return DoSetProps(count, values, problems);
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    Trace("DeleteProps");
    return DoDeleteProps(tags, problems);
  }
  HRESULT CopyTo(ULONG ciid_exclude, LPCIID rgiid_exclude, LPSPropTagArray exclude, ULONG_PTR ui,
                 LPMAPIPROGRESS progress, LPCIID iid, LPVOID dest, ULONG flags,
                 LPSPropProblemArray* problems) override {
    Trace("CopyTo");
    return DoCopyTo(static_cast<I*>(this), ciid_exclude, rgiid_exclude, exclude, ui, progress, iid, dest, flags,
                    problems);
  }
  HRESULT CopyProps(LPSPropTagArray include, ULONG_PTR ui, LPMAPIPROGRESS progress, LPCIID iid, LPVOID dest,
                    ULONG flags, LPSPropProblemArray* problems) override {
    Trace("CopyProps");
    return DoCopyProps(static_cast<I*>(this), include, ui, progress, iid, dest, flags, problems);
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                          LPMAPINAMEID** names) override {
    Trace("GetNamesFromIDs");
    return DoGetNamesFromIDs(tags, guid, flags, count, names);
  }
  HRESULT GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* tags) override {
    Trace("GetIDsFromNames");
    return DoGetIDsFromNames(count, names, flags, tags);
  }

 protected:
  ~TClientProp() override = default;

 private:
  template <class J>
  static bool Answers(REFIID riid) {
    if (riid == J::kIID) return true;
    if constexpr (requires { typename J::BaseInterface; }) return Answers<typename J::BaseInterface>(riid);
    return false;
  }
};

template <class Read>
HRESULT CClientMapiProp::ReadResult(std::int32_t cb, std::int32_t buffer, const zel::wire::Inline::Value& inline_data,
                                    Read read) {
  std::vector<BYTE> block;
  if (HRESULT hr = BulkRead(binding_, cb, buffer, inline_data, block); FAILED(hr)) return hr;
  zel::MarshalReader r(block.data(), block.size());
  try {
    return read(r);
  } catch (const zel::MarshalError& e) {
    return e.code();
  }
}

}  // namespace vantrel::client
