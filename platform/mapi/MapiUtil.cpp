#include "platform/mapi/MapiUtil.h"

#include <cstring>
#include <string>

#include "platform/base/Unknown.h"

namespace {

// Where copied data goes: chained to a parent block, or carved from one
// contiguous buffer (ScCopyProps), or only counted (ScCountProps).
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void* Get(size_t n) = 0;  // nullptr when out of memory
};

size_t Round8(size_t n) {
  return (n + 7) & ~size_t{7};
}

class MoreSink : public Sink {
 public:
  MoreSink(LPALLOCATEMORE more, void* parent) : more_(more), parent_(parent) {}
  void* Get(size_t n) override {
    void* p = nullptr;
    return more_(static_cast<ULONG>(n), parent_, &p) == S_OK ? p : nullptr;
  }

 private:
  LPALLOCATEMORE more_;
  void* parent_;
};

class CountSink : public Sink {
 public:
  void* Get(size_t n) override {
    total_ += Round8(n);
    return scratch_;  // never written through: the copier checks counting()
  }
  size_t total_ = 0;
  alignas(16) char scratch_[16];
};

class BumpSink : public Sink {
 public:
  explicit BumpSink(char* base) : base_(base) {}
  void* Get(size_t n) override {
    void* p = base_ + used_;
    used_ += Round8(n);
    return p;
  }
  size_t used_ = 0;

 private:
  char* base_;
};

template <typename T>
bool CopyArray(Sink& sink, bool dry, ULONG n, T* src, T*& dst) {
  if (n == 0 || !src) {
    dst = nullptr;
    return true;
  }
  void* p = sink.Get(sizeof(T) * n);
  if (!p) return false;
  if (!dry) std::memcpy(p, src, sizeof(T) * n);
  dst = static_cast<T*>(p);
  return true;
}

bool CopyStringA(Sink& sink, bool dry, const char* src, LPSTR& dst) {
  if (!src) {
    dst = nullptr;
    return true;
  }
  size_t n = std::strlen(src) + 1;
  void* p = sink.Get(n);
  if (!p) return false;
  if (!dry) std::memcpy(p, src, n);
  dst = static_cast<LPSTR>(p);
  return true;
}

bool CopyStringW(Sink& sink, bool dry, const char16_t* src, LPWSTR& dst) {
  if (!src) {
    dst = nullptr;
    return true;
  }
  size_t n = std::char_traits<char16_t>::length(src) + 1;
  void* p = sink.Get(n * 2);
  if (!p) return false;
  if (!dry) std::memcpy(p, src, n * 2);
  dst = static_cast<LPWSTR>(p);
  return true;
}

// Copies what src points to; dst already holds a copy of src's image.
// In a dry run nothing is written, only sizes are asked of the sink.
bool CopyData(Sink& sink, bool dry, const SPropValue& src, SPropValue& dst) {
  const _PV& v = src.Value;
  _PV& d = dst.Value;
  switch (PROP_TYPE(src.ulPropTag)) {
    case PT_STRING8:
      return CopyStringA(sink, dry, v.lpszA, d.lpszA);
    case PT_UNICODE:
      return CopyStringW(sink, dry, v.lpszW, d.lpszW);
    case PT_BINARY:
      return CopyArray(sink, dry, v.bin.cb, v.bin.lpb, d.bin.lpb);
    case PT_CLSID:
      return CopyArray(sink, dry, v.lpguid ? 1u : 0u, v.lpguid, d.lpguid);
    case PT_MV_I2:
      return CopyArray(sink, dry, v.MVi.cValues, v.MVi.lpi, d.MVi.lpi);
    case PT_MV_LONG:
      return CopyArray(sink, dry, v.MVl.cValues, v.MVl.lpl, d.MVl.lpl);
    case PT_MV_R4:
      return CopyArray(sink, dry, v.MVflt.cValues, v.MVflt.lpflt, d.MVflt.lpflt);
    case PT_MV_DOUBLE:
      return CopyArray(sink, dry, v.MVdbl.cValues, v.MVdbl.lpdbl, d.MVdbl.lpdbl);
    case PT_MV_CURRENCY:
      return CopyArray(sink, dry, v.MVcur.cValues, v.MVcur.lpcur, d.MVcur.lpcur);
    case PT_MV_APPTIME:
      return CopyArray(sink, dry, v.MVat.cValues, v.MVat.lpat, d.MVat.lpat);
    case PT_MV_SYSTIME:
      return CopyArray(sink, dry, v.MVft.cValues, v.MVft.lpft, d.MVft.lpft);
    case PT_MV_I8:
      return CopyArray(sink, dry, v.MVli.cValues, v.MVli.lpli, d.MVli.lpli);
    case PT_MV_CLSID:
      return CopyArray(sink, dry, v.MVguid.cValues, v.MVguid.lpguid, d.MVguid.lpguid);
    case PT_MV_STRING8: {
      if (!CopyArray(sink, dry, v.MVszA.cValues, v.MVszA.lppszA, d.MVszA.lppszA)) return false;
      for (ULONG i = 0; i < v.MVszA.cValues && v.MVszA.lppszA; ++i) {
        LPSTR out = nullptr;
        if (!CopyStringA(sink, dry, v.MVszA.lppszA[i], out)) return false;
        if (!dry) d.MVszA.lppszA[i] = out;
      }
      return true;
    }
    case PT_MV_UNICODE: {
      if (!CopyArray(sink, dry, v.MVszW.cValues, v.MVszW.lppszW, d.MVszW.lppszW)) return false;
      for (ULONG i = 0; i < v.MVszW.cValues && v.MVszW.lppszW; ++i) {
        LPWSTR out = nullptr;
        if (!CopyStringW(sink, dry, v.MVszW.lppszW[i], out)) return false;
        if (!dry) d.MVszW.lppszW[i] = out;
      }
      return true;
    }
    case PT_MV_BINARY: {
      if (!CopyArray(sink, dry, v.MVbin.cValues, v.MVbin.lpbin, d.MVbin.lpbin)) return false;
      for (ULONG i = 0; i < v.MVbin.cValues && v.MVbin.lpbin; ++i) {
        LPBYTE out = nullptr;
        if (!CopyArray(sink, dry, v.MVbin.lpbin[i].cb, v.MVbin.lpbin[i].lpb, out)) return false;
        if (!dry) d.MVbin.lpbin[i].lpb = out;
      }
      return true;
    }
    default:
      return true;  // the value lives in the image
  }
}

class CallbackSink : public vantrel::RefCounted<IMAPIAdviseSink> {
 public:
  explicit CallbackSink(std::function<ULONG(ULONG, LPNOTIFICATION)> fn) : fn_(std::move(fn)) {}
  ULONG OnNotify(ULONG c, LPNOTIFICATION n) override { return fn_(c, n); }

 private:
  std::function<ULONG(ULONG, LPNOTIFICATION)> fn_;
};

}  // namespace

SCODE ScCountProps(int c_values, LPSPropValue rgprops, ULONG* pcb) {
  if (c_values < 0 || (c_values > 0 && !rgprops)) return MAPI_E_INVALID_PARAMETER;
  CountSink sink;
  sink.total_ = Round8(sizeof(SPropValue) * static_cast<size_t>(c_values));
  for (int i = 0; i < c_values; ++i) {
    SPropValue scratch = rgprops[i];
    CopyData(sink, true, rgprops[i], scratch);
  }
  if (pcb) *pcb = static_cast<ULONG>(sink.total_);
  return S_OK;
}

SCODE ScCopyProps(int c_values, LPSPropValue rgprops, LPVOID pv_dst, ULONG* pcb) {
  if (c_values < 0 || (c_values > 0 && !rgprops) || !pv_dst) return MAPI_E_INVALID_PARAMETER;
  BumpSink sink(static_cast<char*>(pv_dst));
  auto* out = static_cast<LPSPropValue>(sink.Get(sizeof(SPropValue) * static_cast<size_t>(c_values)));
  for (int i = 0; i < c_values; ++i) {
    out[i] = rgprops[i];
    CopyData(sink, false, rgprops[i], out[i]);
  }
  if (pcb) *pcb = static_cast<ULONG>(sink.used_);
  return S_OK;
}

SCODE PropCopyMore(LPSPropValue dst, LPSPropValue src, LPALLOCATEMORE allocate_more, LPVOID object) {
  if (!dst || !src || !allocate_more) return MAPI_E_INVALID_PARAMETER;
  SPropValue image = *src;
  MoreSink sink(allocate_more, object);
  if (!CopyData(sink, false, *src, image)) return MAPI_E_NOT_ENOUGH_MEMORY;
  *dst = image;
  return S_OK;
}

void FreeProws(LPSRowSet rows) {
  if (!rows) return;
  for (ULONG i = 0; i < rows->cRows; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
  MAPIFreeBuffer(rows);
}

void FreePadrlist(LPADRLIST list) {
  if (!list) return;
  for (ULONG i = 0; i < list->cEntries; ++i) MAPIFreeBuffer(list->aEntries[i].rgPropVals);
  MAPIFreeBuffer(list);
}

HRESULT HrGetOneProp(LPMAPIPROP prop, ULONG tag, LPSPropValue* value) {
  if (!prop || !value) return MAPI_E_INVALID_PARAMETER;
  *value = nullptr;
  SizedSPropTagArray<1> tags;
  tags.aulPropTag[0] = tag;
  ULONG count = 0;
  LPSPropValue vals = nullptr;
  HRESULT hr = prop->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &vals);
  if (FAILED(hr)) return hr;
  if (!vals || count != 1) {
    MAPIFreeBuffer(vals);
    return MAPI_E_NOT_FOUND;
  }
  if (PROP_TYPE(vals->ulPropTag) == PT_ERROR) {
    HRESULT err = vals->Value.err ? vals->Value.err : MAPI_E_NOT_FOUND;
    MAPIFreeBuffer(vals);
    return err;
  }
  *value = vals;
  return S_OK;
}

HRESULT HrSetOneProp(LPMAPIPROP prop, LPSPropValue value) {
  if (!prop || !value) return MAPI_E_INVALID_PARAMETER;
  LPSPropProblemArray problems = nullptr;
  HRESULT hr = prop->SetProps(1, value, &problems);
  if (SUCCEEDED(hr) && problems && problems->cProblem > 0) hr = problems->aProblem[0].scode;
  MAPIFreeBuffer(problems);
  return hr;
}

LPSPropValue PpropFindProp(LPSPropValue props, ULONG c_values, ULONG tag) {
  if (!props) return nullptr;
  bool by_id = PROP_TYPE(tag) == PT_UNSPECIFIED;
  for (ULONG i = 0; i < c_values; ++i) {
    if (by_id ? PROP_ID(props[i].ulPropTag) == PROP_ID(tag) : props[i].ulPropTag == tag) return &props[i];
  }
  return nullptr;
}

HRESULT HrAllocAdviseSink(LPNOTIFCALLBACK callback, LPVOID context, LPMAPIADVISESINK* sink) {
  if (!callback) return MAPI_E_INVALID_PARAMETER;
  return HrAllocAdviseSink(
      [callback, context](ULONG c, LPNOTIFICATION n) { return static_cast<ULONG>(callback(context, c, n)); }, sink);
}

HRESULT HrAllocAdviseSink(std::function<ULONG(ULONG, LPNOTIFICATION)> callback, LPMAPIADVISESINK* sink) {
  if (!sink || !callback) return MAPI_E_INVALID_PARAMETER;
  *sink = new (std::nothrow) CallbackSink(std::move(callback));
  return *sink ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}
