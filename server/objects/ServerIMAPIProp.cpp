#include "server/objects/ServerIMAPIProp.h"

#include <cstring>
#include <stdexcept>

#include "platform/base/Guid.h"
#include "platform/mapi/MapiUtil.h"
#include "server/dispatch/ServerTrace.h"
#include "server/objects/ServerPropDump.h"

namespace vantrel::server {

MapiBuffer<SPropTagArray> MakeTagArray(const std::vector<std::uint32_t>& tags, bool narrow_unicode) {
  if (tags.empty()) return nullptr;
  void* m = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), &m) != S_OK || !m)
    throw std::bad_alloc();
  MapiBuffer<SPropTagArray> array(static_cast<SPropTagArray*>(m));
  array->cValues = static_cast<ULONG>(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) {
    ULONG tag = tags[i];
    if (narrow_unicode && PROP_TYPE(tag) == PT_UNICODE) tag = PROP_TAG(PT_STRING8, PROP_ID(tag));
    array->aulPropTag[i] = tag;
  }
  return array;
}

const IID* SelectedIid(const zel::wire::Selector& selector, IID& storage) {
  if (!selector.flag) return nullptr;
  storage = GuidFromBytes(selector.id.data());
  return &storage;
}

namespace {

template <class I>
bool QueryAs(IUnknown* object, ComPtr<IMAPIProp>& out) {
  ComPtr<I> p;
  if (FAILED(object->QueryInterface(I::kIID, p.OutVoid())) || !p) return false;
  out = ComPtr<IMAPIProp>(p.get());
  return true;
}

}  // namespace

ComPtr<IMAPIProp> QueryMapiProp(IUnknown* object) {
  ComPtr<IMAPIProp> out;
  if (!object) return out;
  QueryAs<IMAPIProp>(object, out) || QueryAs<IMessage>(object, out) || QueryAs<IAttach>(object, out) ||
      QueryAs<IMAPIFolder>(object, out) || QueryAs<IMAPIContainer>(object, out) || QueryAs<IMsgStore>(object, out) ||
      QueryAs<IABContainer>(object, out) || QueryAs<IMailUser>(object, out);
  return out;
}

std::optional<std::string> CPropDescribeSource::ReadText(ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(prop_, tag, &v)) || !v) return std::nullopt;
  MapiBuffer<SPropValue> owned(v);
  if (PROP_TYPE(v->ulPropTag) != PT_STRING8 || !v->Value.lpszA) return std::nullopt;
  return std::string(v->Value.lpszA);
}

std::optional<std::vector<std::uint8_t>> CPropDescribeSource::ReadBinary(ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(prop_, tag, &v)) || !v) return std::nullopt;
  MapiBuffer<SPropValue> owned(v);
  if (PROP_TYPE(v->ulPropTag) != PT_BINARY) return std::nullopt;
  const BYTE* b = v->Value.bin.lpb;
  return std::vector<std::uint8_t>(b, b + (b ? v->Value.bin.cb : 0));
}

void CServerIMAPIProp::Destroy() {
  MutexLock l(lock);
  prop_.Reset();
}

void CServerIMAPIProp::SetMapiObject(IUnknown* object) {
  MutexLock l(lock);
  prop_ = QueryMapiProp(object);
}

IMAPIProp* CServerIMAPIProp::Prop() const {
  if (!prop_) throw std::logic_error("property object without interface");
  return prop_.get();
}

std::int32_t CServerIMAPIProp::MakeChild(std::int32_t object_type, IUnknown* mapi_object,
                                         const std::string* description,
                                         const std::shared_ptr<CServerClass>& store_object,
                                         std::shared_ptr<CServerClass>* created) {
  if (!registry) throw std::logic_error("object not registered");
  return registry->CreateObject(object_type, store_object, parent.lock(), mapi_object, owner.load(),
                                description ? description->c_str() : nullptr, created);
}

std::int32_t CServerIMAPIProp::ResultBlock(std::vector<std::uint8_t> data, zel::wire::Inline::Value& inline_area,
                                           std::int32_t& cb) {
  if (!registry) throw std::logic_error("object not registered");
  return registry->MakeResultBlock(owner.load(), std::move(data), inline_area, cb);
}

HRESULT CServerIMAPIProp::MAPIPROP_GetLastError(const zel::MAPIPROP_GetLastError::Request&,
                                                zel::MAPIPROP_GetLastError::Reply&) {
  return MAPI_E_NO_SUPPORT;
}

HRESULT CServerIMAPIProp::MAPIPROP_SaveChanges(const zel::MAPIPROP_SaveChanges::Request& in,
                                               zel::MAPIPROP_SaveChanges::Reply&) {
  return Locked([&]() REQUIRES(lock) -> HRESULT { return Prop()->SaveChanges(static_cast<ULONG>(in.ulFlags)); });
}

HRESULT CServerIMAPIProp::MAPIPROP_GetPropList(const zel::MAPIPROP_GetPropList::Request& in,
                                               zel::MAPIPROP_GetPropList::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    LPSPropTagArray raw = nullptr;
    HRESULT hr = Prop()->GetPropList(static_cast<ULONG>(in.ulFlags), &raw);
    MapiBuffer<SPropTagArray> tags(raw);
    TraceTagArray(tags.get());
    if (FAILED(hr) || !tags) return hr;
    auto block = codec_.Encode([&] { return codec_.SizeTagArray(tags.get()); },
                               [&](zel::MarshalWriter& w) { codec_.WriteTagArray(w, tags.get()); });
    out.hBuffer = ResultBlock(std::move(block), out.inlineData, out.cb);
    return hr;
  });
}

HRESULT CServerIMAPIProp::MAPIPROP_GetProps(const zel::MAPIPROP_GetProps::Request& in,
                                            zel::MAPIPROP_GetProps::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    MapiBuffer<SPropTagArray> tags = MakeTagArray(in.tags, true);
    ULONG flags = static_cast<ULONG>(in.ulFlags);
    ULONG count = 0;
    LPSPropValue raw = nullptr;
    HRESULT hr = Prop()->GetProps(tags.get(), flags, &count, &raw);
    if (hr == MAPI_E_BAD_CHARWIDTH) {
      MAPIFreeBuffer(raw);
      raw = nullptr;
      count = 0;
      hr = Prop()->GetProps(tags.get(), flags ^ MAPI_UNICODE, &count, &raw);
    }
    MapiBuffer<SPropValue> values(raw);
    TracePropValues(values.get(), count);
    if (FAILED(hr) || !values) return hr;
    // One pass into the thread's buffer: an answer that fits inline is
    // copied there and the buffer kept for the next call; a longer one
    // takes the buffer along as its block, and the next call makes one of
    // the size it saw.
    thread_local std::vector<std::uint8_t> buffer;
    thread_local std::size_t expected = 512;
    codec_.EncodeInto(buffer, expected, [&](zel::MarshalWriter& w) { codec_.WriteProps(w, values.get(), count); });
    out.cValues = static_cast<std::int32_t>(count);
    if (!registry) throw std::logic_error("object not registered");
    out.hBuffer = registry->MakeResultBlock(owner.load(), std::move(buffer), out.inlineData, out.cb);
    return hr;
  });
}

void CServerIMAPIProp::ProblemsBlock(LPSPropProblemArray raw, zel::wire::Inline::Value& inline_area,
                                     std::int32_t& cb, std::int32_t& buffer) {
  MapiBuffer<SPropProblemArray> problems(raw);
  if (!problems) return;  // no problems: length and buffer stay 0
  auto block = codec_.Encode([&] { return codec_.SizeProblems(problems.get()); },
                             [&](zel::MarshalWriter& w) { codec_.WriteProblems(w, problems.get()); });
  buffer = ResultBlock(std::move(block), inline_area, cb);
}

HRESULT CServerIMAPIProp::MAPIPROP_SetProps(const zel::MAPIPROP_SetProps::Request& in,
                                            zel::MAPIPROP_SetProps::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    if (in.cValues < 0) return MAPI_E_INVALID_PARAMETER;
    ULONG count = static_cast<ULONG>(in.cValues);
    zel::MarshalReader r(in.data);
    LPSPropValue raw = nullptr;
    if (HRESULT hr = codec_.ReadProps(r, count, nullptr, &raw); FAILED(hr)) return hr;
    MapiBuffer<SPropValue> values(raw);
    TracePropValues(values.get(), count);
    LPSPropProblemArray raw_problems = nullptr;
    HRESULT hr = Prop()->SetProps(values ? count : 0, values.get(), &raw_problems);
    ProblemsBlock(raw_problems, out.inlineData, out.cb, out.hBuffer);
    return hr;
  });
}

HRESULT CServerIMAPIProp::MAPIPROP_DeleteProps(const zel::MAPIPROP_DeleteProps::Request& in,
                                               zel::MAPIPROP_DeleteProps::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    MapiBuffer<SPropTagArray> tags = MakeTagArray(in.tags, false);
    TraceTagArray(tags.get());
    LPSPropProblemArray raw_problems = nullptr;
    HRESULT hr = Prop()->DeleteProps(tags.get(), &raw_problems);
    ProblemsBlock(raw_problems, out.inlineData, out.cb, out.hBuffer);
    return hr;
  });
}

HRESULT CServerIMAPIProp::MAPIPROP_GetNamesFromID(const zel::MAPIPROP_GetNamesFromID::Request& in,
                                                  zel::MAPIPROP_GetNamesFromID::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    MapiBuffer<SPropTagArray> ours = MakeTagArray(in.tags, false);
    LPSPropTagArray tags = ours.get();
    IID storage;
    const IID* set = SelectedIid(in.guid, storage);
    GUID set_copy = set ? *set : GUID{};
    ULONG count = 0;
    LPMAPINAMEID* raw_names = nullptr;
    HRESULT hr = Prop()->GetNamesFromIDs(&tags, set ? &set_copy : nullptr, static_cast<ULONG>(in.ulFlags), &count,
                                         &raw_names);
    MapiBuffer<LPMAPINAMEID> names(raw_names);
    // Without tags of ours, MAPI hands back the array it made.
    MapiBuffer<SPropTagArray> theirs(tags != ours.get() ? tags : nullptr);
    if (FAILED(hr)) return hr;
    std::vector<std::uint8_t> block(2);
    block[0] = names ? 1 : 0;
    block[1] = tags ? 1 : 0;
    if (names) {
      auto part = codec_.Encode([&] { return codec_.SizeNameIDArray(names.get(), count); },
                                [&](zel::MarshalWriter& w) { codec_.WriteNameIDArray(w, names.get(), count); });
      block.insert(block.end(), part.begin(), part.end());
    }
    if (tags) {
      auto part = codec_.Encode([&] { return codec_.SizeTagArray(tags); },
                                [&](zel::MarshalWriter& w) { codec_.WriteTagArray(w, tags); });
      block.insert(block.end(), part.begin(), part.end());
    }
    out.cPropNames = static_cast<std::int32_t>(count);
    out.hBuffer = ResultBlock(std::move(block), out.inlineData, out.cb);
    return hr;
  });
}

HRESULT CServerIMAPIProp::MAPIPROP_GetIDsFromNames(const zel::MAPIPROP_GetIDsFromNames::Request& in,
                                                   zel::MAPIPROP_GetIDsFromNames::Reply& out) {
  MutexLock l(lock);
  // A failure part-way answers the result reached so far.
  HRESULT hr = MAPI_E_NO_SUPPORT;
  try {
    if (in.cPropNames < 0) return MAPI_E_INVALID_PARAMETER;
    ULONG count = static_cast<ULONG>(in.cPropNames);
    zel::MarshalReader r(in.data);
    LPMAPINAMEID* raw_names = nullptr;
    hr = codec_.ReadMAPINAMEIDArray(r, count, nullptr, &raw_names);
    if (FAILED(hr)) return hr;
    MapiBuffer<LPMAPINAMEID> names(raw_names);
    LPSPropTagArray raw_tags = nullptr;
    hr = Prop()->GetIDsFromNames(names ? count : 0, names.get(), static_cast<ULONG>(in.ulFlags), &raw_tags);
    MapiBuffer<SPropTagArray> tags(raw_tags);
    if (FAILED(hr) || !tags) return hr;
    auto block = codec_.Encode([&] { return codec_.SizeTagArray(tags.get()); },
                               [&](zel::MarshalWriter& w) { codec_.WriteTagArray(w, tags.get()); });
    out.hBuffer = ResultBlock(std::move(block), out.inlineData, out.cb);
  } catch (...) {
  }
  return hr;
}

HRESULT CServerIMAPIProp::IMAPIPROP_OpenProperty(const zel::IMAPIPROP_OpenProperty::Request& in,
                                                 zel::IMAPIPROP_OpenProperty::Reply& out) {
  return Locked([&]() REQUIRES(lock) -> HRESULT {
    ULONG tag = static_cast<ULONG>(in.ulPropTag);
    std::string description = FormatText("Prop%s from %d %s", PropTagName(tag).c_str(), handle.load(),
                                         this->description.c_str());
    IID storage;
    const IID* iid = SelectedIid(in.iid, storage);
    ComPtr<IUnknown> opened;
    HRESULT hr = Prop()->OpenProperty(tag, iid, static_cast<ULONG>(in.ulInterfaceOptions),
                                      static_cast<ULONG>(in.ulFlags), opened.Out());
    if (!opened) return hr;
    struct Choice {
      const IID& iid;
      std::int32_t object_type;
      std::int32_t code;
    };
    static const Choice kChoices[] = {
        {IID_IMAPITable, kMapiTable, kMapiTable},
        {IID_IStream, kMapiStream, kMapiStream},
        {IID_IStreamDocfile, kMapiStream, kMapiStreamDocfile},
        {IID_IMessage, MAPI_MESSAGE, MAPI_MESSAGE},
        {IID_IStorage, kMapiStorage, kMapiStorage},
    };
    for (const Choice& c : kChoices) {
      if (!iid || *iid != c.iid) continue;
      // The new object takes its own reference; `opened` gives back MAPI's.
      std::int32_t h = MakeChild(c.object_type, opened.get(), &description, StoreObject());
      // A handle of 0 would name nothing the client could use.
      if (h <= 0) return MAPI_E_NO_SUPPORT;
      out.hNewObject = h;
      out.ulObjectKind = c.code;
      return hr;
    }
    return MAPI_E_NO_SUPPORT;
  });
}

}  // namespace vantrel::server
