#include "platform/mapi/ProfSect.h"

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MemoryProp.h"

namespace vantrel::mapi {

HRESULT SectionGetProps(const ProfProps& props, const SPropTagArray* tags, ULONG* count, LPSPropValue* values) {
  if (!count || !values) return MAPI_E_INVALID_PARAMETER;
  *count = 0;
  *values = nullptr;
  ULONG n = tags ? tags->cValues : static_cast<ULONG>(props.size());
  if (n > 0xFFFF) return MAPI_E_INVALID_PARAMETER;
  LPSPropValue out = nullptr;
  if (HRESULT hr =
          MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (n ? n : 1)), reinterpret_cast<void**>(&out));
      FAILED(hr))
    return hr;
  bool missing = false;
  for (ULONG i = 0; i < n; ++i) {
    const ProfProp* p = nullptr;
    ULONG want = tags ? tags->aulPropTag[i] : props[i].tag;
    if (tags) {
      for (const ProfProp& q : props)
        if (q.tag == want || (PROP_TYPE(want) == PT_UNSPECIFIED && PROP_ID(q.tag) == PROP_ID(want))) p = &q;
    } else {
      p = &props[i];
    }
    HRESULT hr = p ? PropToValue(*p, out, &out[i]) : MAPI_E_NOT_FOUND;
    if (FAILED(hr)) {
      if (hr == MAPI_E_NOT_ENOUGH_MEMORY) {
        MAPIFreeBuffer(out);
        return hr;
      }
      out[i].ulPropTag = CHANGE_PROP_TYPE(want, PT_ERROR);
      out[i].Value.err = hr;
      missing = true;
    }
  }
  *count = n;
  *values = out;
  return missing ? MAPI_W_ERRORS_RETURNED : S_OK;
}

namespace {

class ProfSect final : public MapiPropBase<IProfSect> {
 public:
  ProfSect(std::string profile, const MAPIUID& uid, bool modify)
      : profile_(std::move(profile)), uid_(uid), modify_(modify) {}

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
    if (err) *err = nullptr;
    return S_OK;
  }
  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) override {
    ProfProps props;
    if (HRESULT hr = ProfileStore::ReadSection(profile_, uid_, &props); FAILED(hr) && hr != MAPI_E_NOT_FOUND) return hr;
    return SectionGetProps(props, tags, count, values);
  }
  HRESULT GetPropList(ULONG, LPSPropTagArray* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    ProfProps props;
    if (HRESULT hr = ProfileStore::ReadSection(profile_, uid_, &props); FAILED(hr) && hr != MAPI_E_NOT_FOUND) return hr;
    LPSPropTagArray tags = nullptr;
    if (HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(props.size() + 1)),
                                        reinterpret_cast<void**>(&tags));
        FAILED(hr))
      return hr;
    tags->cValues = static_cast<ULONG>(props.size());
    for (size_t i = 0; i < props.size(); ++i) tags->aulPropTag[i] = props[i].tag;
    *out = tags;
    return S_OK;
  }
  HRESULT SetProps(ULONG c, LPSPropValue values, LPSPropProblemArray* problems) override {
    if (problems) *problems = nullptr;
    if (!modify_) return MAPI_E_NO_ACCESS;
    if (c && !values) return MAPI_E_INVALID_PARAMETER;
    ProfProps props;
    std::vector<SPropProblem> bad;
    for (ULONG i = 0; i < c; ++i) {
      ProfProp p;
      if (HRESULT hr = PropFromValue(values[i], &p); FAILED(hr)) {
        bad.push_back({i, values[i].ulPropTag, hr});
        continue;
      }
      props.push_back(std::move(p));
    }
    if (HRESULT hr = ProfileStore::WriteProps(profile_, uid_, props); FAILED(hr)) return hr;
    return ReportProblems(bad, problems);
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    if (problems) *problems = nullptr;
    if (!modify_) return MAPI_E_NO_ACCESS;
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    std::vector<ULONG> list(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    return ProfileStore::DeleteProps(profile_, uid_, list);
  }

 private:
  static HRESULT ReportProblems(const std::vector<SPropProblem>& bad, LPSPropProblemArray* problems) {
    if (bad.empty() || !problems) return S_OK;
    LPSPropProblemArray arr = nullptr;
    if (HRESULT hr =
            MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(bad.size())), reinterpret_cast<void**>(&arr));
        FAILED(hr))
      return hr;
    arr->cProblem = static_cast<ULONG>(bad.size());
    for (size_t i = 0; i < bad.size(); ++i) arr->aProblem[i] = bad[i];
    *problems = arr;
    return S_OK;
  }

  const std::string profile_;
  const MAPIUID uid_;
  const bool modify_;
};

}  // namespace

HRESULT OpenProfSect(const std::string& profile, const MAPIUID& section, ULONG flags, IProfSect** out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (!ProfileStore::Exists(profile)) return MAPI_E_NOT_FOUND;
  bool modify = (flags & MAPI_MODIFY) != 0;
  if (!ProfileStore::SectionExists(profile, section)) {
    if (!modify) return MAPI_E_NOT_FOUND;
    if (HRESULT hr = ProfileStore::WriteProps(profile, section, {}); FAILED(hr)) return hr;
  }
  *out = new ProfSect(profile, section, modify);
  return S_OK;
}

}  // namespace vantrel::mapi
