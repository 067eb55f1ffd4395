// IZELDirectory: the server's directory objects, and CZelDirectory, the
// proxy that presents one. ZelDirOpen (an export) opens the first.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/base/Unknown.h"
#include "platform/mapi/MapiDefs.h"
#include "platform/rpc/Rpc.h"
#include "protocol/MapiMarshal.h"

// {3BCE51AA-51A7-4081-B774-3DE7AE6C7467}
inline constexpr IID IID_IZELDirectory{0x3BCE51AA, 0x51A7, 0x4081, {0xB7, 0x74, 0x3D, 0xE7, 0xAE, 0x6C, 0x74, 0x67}};

// Property values handed out are MAPI memory the caller frees with
// MAPIFreeBuffer; directories handed out carry the caller's reference.
struct IZELDirectory : public IUnknown {
  static constexpr const IID& kIID = IID_IZELDirectory;
  // The directory `name` below this one; `ulFlags` is not sent. Always 0.
  STDMETHOD(Open)(LPCSTR name, ULONG ulFlags, IZELDirectory** out) = 0;
  STDMETHOD(QueryAll)(LPSPropValue* values, ULONG* count) = 0;
  // Two arrays of `*count` values each.
  STDMETHOD(QueryByName)(LPCSTR name, LPSPropValue* values, LPSPropValue* values2, ULONG* count) = 0;
  STDMETHOD(WriteByName)(LPCSTR name, LPSPropValue values, ULONG count) = 0;
  STDMETHOD(AppendByName)(LPCSTR name, LPSPropValue values, ULONG count) = 0;
  STDMETHOD(OpenByName)(LPCSTR name, IZELDirectory** out) = 0;
  STDMETHOD(DeleteByName)(LPCSTR name) = 0;
  STDMETHOD(CreateByName)(LPCSTR name, IZELDirectory** out) = 0;
  STDMETHOD(ExecuteCommand)(LPCSTR text1, LPCSTR text2, LPCSTR text3, LPCSTR text4, ULONG* value1, ULONG* value2) = 0;
  // Releases the directory object on the server side (not this proxy).
  STDMETHOD(ReleaseDirectory)() = 0;
};
using LPZELDIRECTORY = IZELDirectory*;

namespace vantrel::client {

class CZelDirectory final : public IZELDirectory {
 public:
  // The count starts at 0: the proxy goes when a Release takes it below 0,
  // so the one who opened it releases it once.
  CZelDirectory(std::int32_t handle, RPC_BINDING_HANDLE binding);

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT Open(LPCSTR name, ULONG ulFlags, IZELDirectory** out) override;
  HRESULT QueryAll(LPSPropValue* values, ULONG* count) override;
  HRESULT QueryByName(LPCSTR name, LPSPropValue* values, LPSPropValue* values2, ULONG* count) override;
  HRESULT WriteByName(LPCSTR name, LPSPropValue values, ULONG count) override;
  HRESULT AppendByName(LPCSTR name, LPSPropValue values, ULONG count) override;
  HRESULT OpenByName(LPCSTR name, IZELDirectory** out) override;
  HRESULT DeleteByName(LPCSTR name) override;
  HRESULT CreateByName(LPCSTR name, IZELDirectory** out) override;
  HRESULT ExecuteCommand(LPCSTR text1, LPCSTR text2, LPCSTR text3, LPCSTR text4, ULONG* value1,
                         ULONG* value2) override;
  HRESULT ReleaseDirectory() override;

 private:
  ~CZelDirectory() override;
  std::vector<BYTE> EncodeValues(LPSPropValue values, ULONG count) const;

  std::atomic<LONG> refs_{0};
  zel::CMapiMarshal codec_;  // bound to no logon: nothing translated
  RPC_BINDING_HANDLE binding_;
  std::int32_t handle_;
};

}  // namespace vantrel::client

// Export (ordinal 5): binds to `server` and opens the directory `name`.
// 0 with the directory, or the failing status with none.
extern "C" HRESULT ZelDirOpen(LPCSTR server, LPCSTR name, LPCSTR text3, LPCSTR text4, IZELDirectory** out);
