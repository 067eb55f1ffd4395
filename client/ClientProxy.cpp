#include "client/ClientProxy.h"

#include <cstring>

#include "client/ClientContainer.h"
#include "client/ClientIStorage.h"
#include "client/ClientIStream.h"
#include "client/ClientMapiTable.h"
#include "client/ClientMessage.h"

namespace vantrel::client {

zel::wire::Selector Selector(LPCIID iid) {
  if (!iid) return {};
  return zel::InterfaceSelector(*iid);
}

IUnknown* CreateProxy(ULONG object_type, std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding) {
  switch (object_type) {
    case MAPI_FOLDER:
      return static_cast<IMAPIFolder*>(new CClientMapiFolder(handle, logon, binding));
    case MAPI_MESSAGE:
      return static_cast<IMessage*>(new CClientMapiMessage(handle, logon, binding));
    case MAPI_ATTACH:
      return static_cast<IAttach*>(new CClientAttach(handle, logon, binding));
    case 256:  // MAPI_TABLE
      return static_cast<IMAPITable*>(new CClientMapiTable(handle, logon));
    case 257:  // MAPI_STREAM
    case 258:  // MAPI_STREAMDOCFILE
      return static_cast<IStream*>(new CClientIStream(handle, binding));
    case 259:  // MAPI_STORAGE
      return static_cast<IStorage*>(new CClientIStorage(handle, binding));
    default:
      return nullptr;
  }
}

CClientMapiProp::CClientMapiProp(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding,
                                 const char* class_name, const IID& copy_iid)
    : handle_(handle), binding_(binding), logon_(logon), class_name_(class_name), copy_iid_(copy_iid) {
  if (logon_) {
    logon_->AddRef();
    logon_->BindMarshal(codec_);
  }
}

CClientMapiProp::~CClientMapiProp() {
  if (logon_) logon_->Release();
}

void CClientMapiProp::Free() {
  FreeServerObject(binding_, handle_);
  delete this;
}

ULONG CClientMapiProp::DoRelease() {
  LONG n = --refs_;
  if (n < 1) {
    Free();
    return 0;
  }
  return static_cast<ULONG>(n);
}

void CClientMapiProp::Trace(const char* method) const {
  if (!ClientTraceActive()) return;
  ObjectTrace(handle_, logon_ && logon_->Spooler(), Format("%s::%s", class_name_, method));
}

IUnknown* CClientMapiProp::MakeProxy(ULONG object_type, std::int32_t handle) const {
  if (handle == 0 || handle == -1) return nullptr;
  return CreateProxy(object_type, handle, logon_, binding_);
}

HRESULT CClientMapiProp::AdoptObject(HRESULT hr, ULONG object_type, std::int32_t handle, LPUNKNOWN* out) const {
  *out = MakeProxy(object_type, handle);
  if (*out || handle == 0 || handle == -1 || FAILED(hr)) return hr;
  zel::FreeHObject::Request in{handle};
  zel::FreeHObject::Reply reply;
  CallRemote<zel::FreeHObject>(binding_, in, reply);
  return MAPI_E_NO_SUPPORT;
}

std::vector<BYTE> CClientMapiProp::OutgoingId(ULONG cb, const BYTE* id) const {
  if (!id || cb == 0) return {};
  std::vector<BYTE> out;
  if (logon_ && logon_->TranslateEntryID(std::span<const BYTE>(id, cb), out)) return out;
  return std::vector<BYTE>(id, id + cb);
}

HRESULT CClientMapiProp::DoGetLastError(HRESULT, ULONG, LPMAPIERROR* error) {
  if (error) *error = nullptr;
  return S_OK;
}

HRESULT CClientMapiProp::DoSaveChanges(ULONG flags) {
  zel::MAPIPROP_SaveChanges::Request in{handle_, static_cast<std::int32_t>(flags)};
  zel::MAPIPROP_SaveChanges::Reply out;
  return CallRemote<zel::MAPIPROP_SaveChanges>(binding_, in, out);
}

namespace {
std::vector<std::uint32_t> TagList(const SPropTagArray* tags) {
  if (!tags) return {};
  return std::vector<std::uint32_t>(tags->aulPropTag, tags->aulPropTag + tags->cValues);
}
}  // namespace

HRESULT CClientMapiProp::DoGetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) {
  if (!count || !values) return MAPI_E_INVALID_PARAMETER;
  *count = 0;
  *values = nullptr;
  zel::MAPIPROP_GetProps::Request in;
  in.hObject = handle_;
  in.tags = TagList(tags);
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::MAPIPROP_GetProps::Reply out;
  HRESULT hr = CallRemote<zel::MAPIPROP_GetProps>(binding_, in, out);
  if (FAILED(hr) || out.cb <= 0 || out.cValues <= 0) return hr;
  LPSPropValue v = nullptr;
  HRESULT rr = ReadResult(out.cb, out.hBuffer, out.inlineData, [&](zel::MarshalReader& r) {
    return codec_.ReadProps(r, static_cast<ULONG>(out.cValues), nullptr, &v);
  });
  if (FAILED(rr)) return rr;
  *values = v;
  *count = v ? static_cast<ULONG>(out.cValues) : 0;
  return hr;
}

HRESULT CClientMapiProp::DoGetPropList(ULONG flags, LPSPropTagArray* tags) {
  if (!tags) return MAPI_E_INVALID_PARAMETER;
  *tags = nullptr;
  zel::MAPIPROP_GetPropList::Request in{handle_, static_cast<std::int32_t>(flags)};
  zel::MAPIPROP_GetPropList::Reply out;
  HRESULT hr = CallRemote<zel::MAPIPROP_GetPropList>(binding_, in, out);
  if (FAILED(hr) || out.cb <= 0) return hr;
  HRESULT rr = ReadResult(out.cb, out.hBuffer, out.inlineData,
                          [&](zel::MarshalReader& r) { return codec_.ReadTagArray(r, nullptr, tags); });
  return FAILED(rr) ? rr : hr;
}

HRESULT CClientMapiProp::DoOpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* result) {
  if (!result) return MAPI_E_INVALID_PARAMETER;
  *result = nullptr;
  zel::IMAPIPROP_OpenProperty::Request in;
  in.hObject = handle_;
  in.ulPropTag = static_cast<std::int32_t>(tag);
  in.iid = Selector(iid);
  in.ulInterfaceOptions = static_cast<std::int32_t>(options);
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::IMAPIPROP_OpenProperty::Reply out;
  HRESULT hr = CallRemote<zel::IMAPIPROP_OpenProperty>(binding_, in, out);
  if (FAILED(hr)) return hr;
  return AdoptObject(hr, static_cast<ULONG>(out.ulObjectKind), out.hNewObject, result);
}

HRESULT CClientMapiProp::DoSetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) {
  if (problems) *problems = nullptr;
  if (count && !values) return MAPI_E_INVALID_PARAMETER;
  zel::MAPIPROP_SetProps::Request in;
  in.hObject = handle_;
  in.cValues = static_cast<std::int32_t>(count);
  try {
    in.data = codec_.Encode([&] { return codec_.SizeProps(values, count); },
                            [&](zel::MarshalWriter& w) { codec_.WriteProps(w, values, count); });
  } catch (const zel::MarshalError& e) {
    return e.code();
  }
  zel::MAPIPROP_SetProps::Reply out;
  HRESULT hr = CallRemote<zel::MAPIPROP_SetProps>(binding_, in, out);
  if (FAILED(hr) || !problems || out.cb <= 0) return hr;
  HRESULT rr = ReadResult(out.cb, out.hBuffer, out.inlineData,
                          [&](zel::MarshalReader& r) { return codec_.ReadProblems(r, nullptr, problems); });
  return FAILED(rr) ? rr : hr;
}

HRESULT CClientMapiProp::DoDeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) {
  if (problems) *problems = nullptr;
  zel::MAPIPROP_DeleteProps::Request in;
  in.hObject = handle_;
  in.tags = TagList(tags);
  zel::MAPIPROP_DeleteProps::Reply out;
  HRESULT hr = CallRemote<zel::MAPIPROP_DeleteProps>(binding_, in, out);
  if (FAILED(hr) || !problems || out.cb <= 0) return hr;
  HRESULT rr = ReadResult(out.cb, out.hBuffer, out.inlineData,
                          [&](zel::MarshalReader& r) { return codec_.ReadProblems(r, nullptr, problems); });
  return FAILED(rr) ? rr : hr;
}

HRESULT CClientMapiProp::DoCopyTo(void* self, ULONG ciid_exclude, LPCIID rgiid_exclude, LPSPropTagArray exclude,
                                  ULONG_PTR ui, LPMAPIPROGRESS progress, LPCIID iid, LPVOID dest, ULONG flags,
                                  LPSPropProblemArray* problems) {
  ComPtr<IMAPISupport> support = logon_ ? logon_->Support() : ComPtr<IMAPISupport>();
  if (!support) return MAPI_E_NO_SUPPORT;
  return support->DoCopyTo(&copy_iid_, self, ciid_exclude, rgiid_exclude, exclude, ui, progress, iid, dest, flags,
                           problems);
}

HRESULT CClientMapiProp::DoCopyProps(void* self, LPSPropTagArray include, ULONG_PTR ui, LPMAPIPROGRESS progress,
                                     LPCIID iid, LPVOID dest, ULONG flags, LPSPropProblemArray* problems) {
  ComPtr<IMAPISupport> support = logon_ ? logon_->Support() : ComPtr<IMAPISupport>();
  if (!support) return MAPI_E_NO_SUPPORT;
  return support->DoCopyProps(&copy_iid_, self, include, ui, progress, iid, dest, flags, problems);
}

HRESULT CClientMapiProp::DoGetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG flags, ULONG* count,
                                           LPMAPINAMEID** names) {
  if (!tags || !count || !names) return MAPI_E_INVALID_PARAMETER;
  *count = 0;
  *names = nullptr;
  zel::MAPIPROP_GetNamesFromID::Request in;
  in.hObject = handle_;
  in.tags = TagList(*tags);
  in.guid = Selector(guid);
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::MAPIPROP_GetNamesFromID::Reply out;
  HRESULT hr = CallRemote<zel::MAPIPROP_GetNamesFromID>(binding_, in, out);
  if (FAILED(hr) || out.cb <= 0) return hr;
  LPMAPINAMEID* got_names = nullptr;
  LPSPropTagArray got_tags = nullptr;
  HRESULT rr = ReadResult(out.cb, out.hBuffer, out.inlineData, [&](zel::MarshalReader& r) -> HRESULT {
    BYTE has_names = r.U8();
    BYTE has_tags = r.U8();
    if (has_names) {
      if (out.cPropNames < 0) return MAPI_E_NO_SUPPORT;
      if (HRESULT h = codec_.ReadMAPINAMEIDArray(r, static_cast<ULONG>(out.cPropNames), nullptr, &got_names);
          FAILED(h))
        return h;
    }
    if (has_tags) {
      if (HRESULT h = codec_.ReadTagArray(r, nullptr, &got_tags); FAILED(h)) return h;
    }
    return S_OK;
  });
  if (FAILED(rr)) {
    logon_->FreeBuffer(got_names);
    logon_->FreeBuffer(got_tags);
    return rr;
  }
  *names = got_names;
  *count = got_names ? static_cast<ULONG>(out.cPropNames) : 0;
  // The server's tag array stands in for the caller's only when the caller
  // asked for all names; an array the caller passed stays theirs.
  if (!*tags)
    *tags = got_tags;
  else
    logon_->FreeBuffer(got_tags);
  return hr;
}

HRESULT CClientMapiProp::DoGetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* tags) {
  if (!tags) return MAPI_E_INVALID_PARAMETER;
  *tags = nullptr;
  zel::MAPIPROP_GetIDsFromNames::Request in;
  in.hObject = handle_;
  in.cPropNames = names ? static_cast<std::int32_t>(count) : 0;
  try {
    if (names && count)
      in.data = codec_.Encode([&] { return codec_.SizeNameIDArray(names, count); },
                              [&](zel::MarshalWriter& w) { codec_.WriteNameIDArray(w, names, count); });
  } catch (const zel::MarshalError& e) {
    return e.code();
  }
  in.ulFlags = static_cast<std::int32_t>(flags);
  zel::MAPIPROP_GetIDsFromNames::Reply out;
  HRESULT hr = CallRemote<zel::MAPIPROP_GetIDsFromNames>(binding_, in, out);
  if (FAILED(hr) || out.cb <= 0) return hr;
  HRESULT rr = ReadResult(out.cb, out.hBuffer, out.inlineData,
                          [&](zel::MarshalReader& r) { return codec_.ReadTagArray(r, nullptr, tags); });
  return FAILED(rr) ? rr : hr;
}

}  // namespace vantrel::client
