#include "client/ZelDirectory.h"

#include <vector>

#include "client/ClientCall.h"
#include "client/ResultBlock.h"
#include "platform/mapi/MapiMemory.h"
#include "protocol/ZelStubs.h"

namespace vantrel::client {

namespace {

std::string Text(LPCSTR s) { return s ? s : ""; }

}  // namespace

CZelDirectory::CZelDirectory(std::int32_t handle, RPC_BINDING_HANDLE binding) : binding_(binding), handle_(handle) {}

CZelDirectory::~CZelDirectory() = default;

HRESULT CZelDirectory::QueryInterface(REFIID riid, void** ppv) {
  return QueryOneInterface(static_cast<IZELDirectory*>(this), riid, IID_IZELDirectory, ppv);
}

ULONG CZelDirectory::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG CZelDirectory::Release() {
  LONG n = --refs_;
  if (n >= 0) return static_cast<ULONG>(n);
  FreeServerObject(binding_, handle_);
  delete this;
  return 0;
}

std::vector<BYTE> CZelDirectory::EncodeValues(LPSPropValue values, ULONG count) const {
  if (!values || !count) return {};
  return codec_.Encode([&] { return codec_.SizeProps(values, count); },
                       [&](zel::MarshalWriter& w) { codec_.WriteProps(w, values, count); });
}

HRESULT CZelDirectory::Open(LPCSTR name, ULONG, IZELDirectory** out) {
  ObjectTrace(handle_, false, "CZelDirectory::Open");
  IZELDirectory* dir = nullptr;
  OpenByName(name, &dir);
  if (out) {
    *out = dir;
  } else if (dir) {
    dir->Release();
  }
  return S_OK;
}

HRESULT CZelDirectory::QueryAll(LPSPropValue* values, ULONG* count) {
  ObjectTrace(handle_, false, "CZelDirectory::QueryAll");
  if (!values || !count) return MAPI_E_INVALID_PARAMETER;
  *values = nullptr;
  *count = 0;
  zel::ZELDIR_QueryAll::Reply out;
  HRESULT hr = CallRemote<zel::ZELDIR_QueryAll>(binding_, {handle_}, out);
  if (hr != S_OK) return hr;
  if (out.cItems < 0) return MAPI_E_CALL_FAILED;
  HRESULT read = ReadResultBlock(binding_, out.cb, out.hBuffer, out.inlineData, [&](zel::MarshalReader& r) {
    return codec_.ReadProps(r, static_cast<ULONG>(out.cItems), nullptr, values);
  });
  if (read != S_OK) return read;
  *count = *values ? static_cast<ULONG>(out.cItems) : 0;
  return hr;
}

HRESULT CZelDirectory::QueryByName(LPCSTR name, LPSPropValue* values, LPSPropValue* values2, ULONG* count) {
  ObjectTrace(handle_, false, "CZelDirectory::QueryByName");
  if (!values || !values2 || !count) return MAPI_E_INVALID_PARAMETER;
  *values = *values2 = nullptr;
  *count = 0;
  zel::ZELDIR_QueryByName::Reply out;
  HRESULT hr = CallRemote<zel::ZELDIR_QueryByName>(binding_, {handle_, Text(name)}, out);
  if (hr != S_OK) return hr;
  if (out.cItems < 0) return MAPI_E_CALL_FAILED;
  const auto n = static_cast<ULONG>(out.cItems);
  LPSPropValue first = nullptr, second = nullptr;
  HRESULT read = ReadResultBlock(binding_, out.cb, out.hBuffer, out.inlineData, [&](zel::MarshalReader& r) {
    if (HRESULT h = codec_.ReadProps(r, n, nullptr, &first); h != S_OK) return h;
    return codec_.ReadProps(r, n, nullptr, &second);
  });
  if (read != S_OK) {
    MAPIFreeBuffer(first);
    MAPIFreeBuffer(second);
    return read;
  }
  *values = first;
  *values2 = second;
  *count = first ? n : 0;
  return hr;
}

HRESULT CZelDirectory::WriteByName(LPCSTR name, LPSPropValue values, ULONG count) {
  ObjectTrace(handle_, false, "CZelDirectory::WriteByName");
  if (count && !values) return MAPI_E_INVALID_PARAMETER;
  zel::ZELDIR_WriteByName::Reply out;
  return CallRemote<zel::ZELDIR_WriteByName>(binding_, {handle_, Text(name), EncodeValues(values, count)}, out);
}

HRESULT CZelDirectory::AppendByName(LPCSTR name, LPSPropValue values, ULONG count) {
  ObjectTrace(handle_, false, "CZelDirectory::AppendByName");
  if (count && !values) return MAPI_E_INVALID_PARAMETER;
  zel::ZELDIR_AppendByName::Reply out;
  return CallRemote<zel::ZELDIR_AppendByName>(binding_, {handle_, Text(name), EncodeValues(values, count)}, out);
}

HRESULT CZelDirectory::OpenByName(LPCSTR name, IZELDirectory** out_dir) {
  ObjectTrace(handle_, false, "CZelDirectory::OpenByName");
  if (!out_dir) return MAPI_E_INVALID_PARAMETER;
  *out_dir = nullptr;
  zel::ZELDIR_OpenByName::Reply out;
  HRESULT hr = CallRemote<zel::ZELDIR_OpenByName>(binding_, {handle_, Text(name)}, out);
  if (hr == S_OK && out.hNewDirectory > 0) *out_dir = new CZelDirectory(out.hNewDirectory, binding_);
  return hr;
}

HRESULT CZelDirectory::DeleteByName(LPCSTR name) {
  ObjectTrace(handle_, false, "CZelDirectory::DeleteByName");
  zel::ZELDIR_DeleteByName::Reply out;
  return CallRemote<zel::ZELDIR_DeleteByName>(binding_, {handle_, Text(name)}, out);
}

HRESULT CZelDirectory::CreateByName(LPCSTR name, IZELDirectory** out_dir) {
  ObjectTrace(handle_, false, "CZelDirectory::CreateByName");
  if (!out_dir) return MAPI_E_INVALID_PARAMETER;
  *out_dir = nullptr;
  zel::ZELDIR_CreateByName::Reply out;
  HRESULT hr = CallRemote<zel::ZELDIR_CreateByName>(binding_, {handle_, Text(name)}, out);
  if (hr == S_OK && out.hNewDirectory > 0) *out_dir = new CZelDirectory(out.hNewDirectory, binding_);
  return hr;
}

HRESULT CZelDirectory::ExecuteCommand(LPCSTR text1, LPCSTR text2, LPCSTR text3, LPCSTR text4, ULONG* value1,
                                      ULONG* value2) {
  ObjectTrace(handle_, false, "CZelDirectory::ExecuteCommand");
  zel::ExecuteCommand::Reply out;
  HRESULT hr =
      CallRemote<zel::ExecuteCommand>(binding_, {handle_, Text(text1), Text(text2), Text(text3), Text(text4)}, out);
  if (value1) *value1 = static_cast<ULONG>(out.value1);
  if (value2) *value2 = static_cast<ULONG>(out.value2);
  return hr;
}

HRESULT CZelDirectory::ReleaseDirectory() {
  ObjectTrace(handle_, false, "CZelDirectory::ReleaseDirectory");
  zel::ZELDIR_Release::Reply out;
  return CallRemote<zel::ZELDIR_Release>(binding_, {handle_}, out);
}

}  // namespace vantrel::client

extern "C" HRESULT ZelDirOpen(LPCSTR server, LPCSTR name, LPCSTR text3, LPCSTR text4, IZELDirectory** out) {
  using namespace vantrel::client;
  if (out) *out = nullptr;
  try {
    if (RPC_STATUS st = InitClient(server ? server : "", nullptr); st != RPC_S_OK) return st;
    RPC_BINDING_HANDLE binding = CurrentBinding();
    vantrel::zel::ZELDIR_Open::Request in{-1, name ? name : "", text3 ? text3 : "", text4 ? text4 : ""};
    vantrel::zel::ZELDIR_Open::Reply reply;
    HRESULT hr = CallRemote<vantrel::zel::ZELDIR_Open>(binding, in, reply);
    if (hr != S_OK) return hr;
    if (reply.hDirectory <= 0) return MAPI_E_NOT_FOUND;
    auto* dir = new CZelDirectory(reply.hDirectory, binding);
    if (out) {
      *out = dir;
    } else {
      dir->Release();
    }
    return S_OK;
  } catch (...) {
    return MAPI_E_NOT_FOUND;
  }
}
