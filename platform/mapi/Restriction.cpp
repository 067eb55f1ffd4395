#include "platform/mapi/Restriction.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiUtil.h"

namespace vantrel::mapi {
namespace {

// Strings compare as 8-bit text of the ANSI code page.
std::string Text(const SPropValue& v) {
  if (PROP_TYPE(v.ulPropTag) == PT_UNICODE) return v.Value.lpszW ? Utf16ToAnsi(v.Value.lpszW) : std::string();
  return v.Value.lpszA ? v.Value.lpszA : std::string();
}

std::string Fold(const std::string& s) {
  return FoldAnsi(s);
}

template <typename T>
int Cmp(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int CmpBytes(const BYTE* a, ULONG na, const BYTE* b, ULONG nb) {
  int c = std::memcmp(a, b, std::min(na, nb));
  if (c) return c < 0 ? -1 : 1;
  return Cmp(na, nb);
}

int CmpText(const std::string& a, const std::string& b) {
  std::string fa = Fold(a), fb = Fold(b);
  int c = fa.compare(fb);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool IsString(ULONG type) {
  return type == PT_STRING8 || type == PT_UNICODE;
}

// One element of a multi-valued property as a single value.
SPropValue Element(const SPropValue& mv, ULONG i) {
  SPropValue e{};
  ULONG type = PROP_TYPE(mv.ulPropTag) & ~MV_FLAG;
  e.ulPropTag = PROP_TAG(type, PROP_ID(mv.ulPropTag));
  const _PV& v = mv.Value;
  switch (type) {
    case PT_I2:
      e.Value.i = v.MVi.lpi[i];
      break;
    case PT_LONG:
      e.Value.l = v.MVl.lpl[i];
      break;
    case PT_R4:
      e.Value.flt = v.MVflt.lpflt[i];
      break;
    case PT_DOUBLE:
      e.Value.dbl = v.MVdbl.lpdbl[i];
      break;
    case PT_CURRENCY:
      e.Value.cur = v.MVcur.lpcur[i];
      break;
    case PT_APPTIME:
      e.Value.at = v.MVat.lpat[i];
      break;
    case PT_SYSTIME:
      e.Value.ft = v.MVft.lpft[i];
      break;
    case PT_I8:
      e.Value.li = v.MVli.lpli[i];
      break;
    case PT_CLSID:
      e.Value.lpguid = &v.MVguid.lpguid[i];
      break;
    case PT_STRING8:
      e.Value.lpszA = v.MVszA.lppszA[i];
      break;
    case PT_UNICODE:
      e.Value.lpszW = v.MVszW.lppszW[i];
      break;
    case PT_BINARY:
      e.Value.bin = v.MVbin.lpbin[i];
      break;
    default:
      break;
  }
  return e;
}

ULONG MvCount(const SPropValue& v) {
  return v.Value.MVl.cValues;
}

const SPropValue* Find(const SPropValue* row, ULONG n, ULONG tag) {
  for (ULONG i = 0; i < n; ++i) {
    if (PROP_ID(row[i].ulPropTag) != PROP_ID(tag)) continue;
    ULONG t = PROP_TYPE(row[i].ulPropTag), want = PROP_TYPE(tag);
    if (t == PT_ERROR) return nullptr;
    if (want == PT_UNSPECIFIED || t == want || t == (want | MV_FLAG) ||
        (IsString(t & ~MV_FLAG) && IsString(want & ~MV_FLAG)))
      return &row[i];
  }
  return nullptr;
}

bool Relation(int c, ULONG relop) {
  switch (relop) {
    case RELOP_LT:
      return c < 0;
    case RELOP_LE:
      return c <= 0;
    case RELOP_GT:
      return c > 0;
    case RELOP_GE:
      return c >= 0;
    case RELOP_EQ:
      return c == 0;
    case RELOP_NE:
      return c != 0;
    default:
      return false;
  }
}

// Compares a row value with a restriction value; a multi-valued row value
// matches when any of its elements does (RELOP_NE: when none is equal).
bool PropertyMatches(const SPropValue& row, const SPropValue& want, ULONG relop) {
  bool row_mv = PROP_TYPE(row.ulPropTag) & MV_FLAG, want_mv = PROP_TYPE(want.ulPropTag) & MV_FLAG;
  if (row_mv && !want_mv) {
    if (relop == RELOP_NE) {
      for (ULONG i = 0; i < MvCount(row); ++i)
        if (CompareProps(Element(row, i), want) == 0) return false;
      return true;
    }
    for (ULONG i = 0; i < MvCount(row); ++i)
      if (Relation(CompareProps(Element(row, i), want), relop)) return true;
    return false;
  }
  if (relop == RELOP_RE) {  // no regular expressions here: a substring test
    return Fold(Text(row)).find(Fold(Text(want))) != std::string::npos;
  }
  return Relation(CompareProps(row, want), relop);
}

bool ContentMatches(const SPropValue& row, const SPropValue& want, ULONG fuzzy) {
  if (PROP_TYPE(row.ulPropTag) & MV_FLAG) {
    for (ULONG i = 0; i < MvCount(row); ++i)
      if (ContentMatches(Element(row, i), want, fuzzy)) return true;
    return false;
  }
  std::string hay, needle;
  ULONG type = PROP_TYPE(row.ulPropTag);
  if (IsString(type) && IsString(PROP_TYPE(want.ulPropTag))) {
    hay = Text(row);
    needle = Text(want);
    if (fuzzy & (FL_IGNORECASE | FL_LOOSE)) {
      hay = Fold(hay);
      needle = Fold(needle);
    }
  } else if (type == PT_BINARY && PROP_TYPE(want.ulPropTag) == PT_BINARY) {
    hay.assign(reinterpret_cast<const char*>(row.Value.bin.lpb), row.Value.bin.cb);
    needle.assign(reinterpret_cast<const char*>(want.Value.bin.lpb), want.Value.bin.cb);
  } else {
    return false;
  }
  switch (fuzzy & 0xFFFF) {
    case FL_SUBSTRING:
      return hay.find(needle) != std::string::npos;
    case FL_PREFIX:
      return hay.compare(0, needle.size(), needle) == 0;
    default:
      return hay == needle;
  }
}

ULONG SizeOf(const SPropValue& v) {
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_STRING8:
      return v.Value.lpszA ? static_cast<ULONG>(std::strlen(v.Value.lpszA) + 1) : 0;
    case PT_UNICODE:
      return v.Value.lpszW ? static_cast<ULONG>((std::char_traits<char16_t>::length(v.Value.lpszW) + 1) * 2) : 0;
    case PT_BINARY:
      return v.Value.bin.cb;
    case PT_I2:
      return 2;
    case PT_LONG:
    case PT_R4:
    case PT_ERROR:
      return 4;
    case PT_BOOLEAN:
      return 2;
    case PT_CLSID:
      return 16;
    default:
      return 8;
  }
}

bool Eval(const SRestriction* r, const SPropValue* row, ULONG n, const SubRestrictionFn& sub, int depth) {
  if (!r) return true;
  if (depth > 64) return false;
  switch (r->rt) {
    case RES_AND:
      for (ULONG i = 0; i < r->res.resAnd.cRes; ++i)
        if (!Eval(&r->res.resAnd.lpRes[i], row, n, sub, depth + 1)) return false;
      return true;
    case RES_OR:
      for (ULONG i = 0; i < r->res.resOr.cRes; ++i)
        if (Eval(&r->res.resOr.lpRes[i], row, n, sub, depth + 1)) return true;
      return false;
    case RES_NOT:
      return !Eval(r->res.resNot.lpRes, row, n, sub, depth + 1);
    case RES_CONTENT: {
      const auto& c = r->res.resContent;
      const SPropValue* v = Find(row, n, c.ulPropTag);
      return v && c.lpProp && ContentMatches(*v, *c.lpProp, c.ulFuzzyLevel);
    }
    case RES_PROPERTY: {
      const auto& p = r->res.resProperty;
      const SPropValue* v = Find(row, n, p.ulPropTag);
      return v && p.lpProp && PropertyMatches(*v, *p.lpProp, p.relop);
    }
    case RES_COMPAREPROPS: {
      const auto& p = r->res.resCompareProps;
      const SPropValue* a = Find(row, n, p.ulPropTag1);
      const SPropValue* b = Find(row, n, p.ulPropTag2);
      return a && b && PROP_TYPE(a->ulPropTag) == PROP_TYPE(b->ulPropTag) && Relation(CompareProps(*a, *b), p.relop);
    }
    case RES_BITMASK: {
      const auto& b = r->res.resBitMask;
      const SPropValue* v = Find(row, n, b.ulPropTag);
      if (!v) return false;
      ULONG bits = PROP_TYPE(v->ulPropTag) == PT_I2 ? static_cast<ULONG>(static_cast<USHORT>(v->Value.i)) : v->Value.ul;
      bool zero = (bits & b.ulMask) == 0;
      return b.relBMR == BMR_EQZ ? zero : !zero;
    }
    case RES_SIZE: {
      const auto& s = r->res.resSize;
      const SPropValue* v = Find(row, n, s.ulPropTag);
      return v && Relation(Cmp(SizeOf(*v), s.cb), s.relop);
    }
    case RES_EXIST:
      return Find(row, n, r->res.resExist.ulPropTag) != nullptr;
    case RES_SUBRESTRICTION:
      return sub && r->res.resSub.lpRes && sub(r->res.resSub.ulSubObject, *r->res.resSub.lpRes);
    case RES_COMMENT:
      return Eval(r->res.resComment.lpRes, row, n, sub, depth + 1);
    default:
      return false;
  }
}

SCODE More(LPVOID parent, size_t n, void** out) {
  return MAPIAllocateMore(static_cast<ULONG>(n), parent, out);
}

SCODE CopyInto(const SRestriction& src, SRestriction& dst, LPVOID parent, int depth) {
  if (depth > 64) return MAPI_E_TOO_COMPLEX;
  dst = src;
  auto copy_array = [&](ULONG count, const SRestriction* from, LPSRestriction& to) -> SCODE {
    to = nullptr;
    if (!count || !from) return S_OK;
    void* p = nullptr;
    if (SCODE sc = More(parent, sizeof(SRestriction) * count, &p); sc != S_OK) return sc;
    to = static_cast<LPSRestriction>(p);
    for (ULONG i = 0; i < count; ++i)
      if (SCODE sc = CopyInto(from[i], to[i], parent, depth + 1); sc != S_OK) return sc;
    return S_OK;
  };
  auto copy_value = [&](const SPropValue* from, LPSPropValue& to, ULONG count = 1) -> SCODE {
    to = nullptr;
    if (!from || !count) return S_OK;
    void* p = nullptr;
    if (SCODE sc = More(parent, sizeof(SPropValue) * count, &p); sc != S_OK) return sc;
    to = static_cast<LPSPropValue>(p);
    for (ULONG i = 0; i < count; ++i)
      if (SCODE sc = PropCopyMore(&to[i], const_cast<LPSPropValue>(&from[i]), MAPIAllocateMore, parent); sc != S_OK)
        return sc;
    return S_OK;
  };
  switch (src.rt) {
    case RES_AND:
      return copy_array(src.res.resAnd.cRes, src.res.resAnd.lpRes, dst.res.resAnd.lpRes);
    case RES_OR:
      return copy_array(src.res.resOr.cRes, src.res.resOr.lpRes, dst.res.resOr.lpRes);
    case RES_NOT:
      return copy_array(src.res.resNot.lpRes ? 1 : 0, src.res.resNot.lpRes, dst.res.resNot.lpRes);
    case RES_SUBRESTRICTION:
      return copy_array(src.res.resSub.lpRes ? 1 : 0, src.res.resSub.lpRes, dst.res.resSub.lpRes);
    case RES_CONTENT:
      return copy_value(src.res.resContent.lpProp, dst.res.resContent.lpProp);
    case RES_PROPERTY:
      return copy_value(src.res.resProperty.lpProp, dst.res.resProperty.lpProp);
    case RES_COMMENT:
      if (SCODE sc = copy_array(src.res.resComment.lpRes ? 1 : 0, src.res.resComment.lpRes, dst.res.resComment.lpRes);
          sc != S_OK)
        return sc;
      return copy_value(src.res.resComment.lpProp, dst.res.resComment.lpProp, src.res.resComment.cValues);
    default:
      return S_OK;
  }
}

}  // namespace

int CompareProps(const SPropValue& a, const SPropValue& b) {
  ULONG ta = PROP_TYPE(a.ulPropTag), tb = PROP_TYPE(b.ulPropTag);
  if (IsString(ta) && IsString(tb)) return CmpText(Text(a), Text(b));
  if (ta != tb) return Cmp(ta, tb);
  const _PV &x = a.Value, &y = b.Value;
  if (ta & MV_FLAG) {
    ULONG n = std::min(MvCount(a), MvCount(b));
    for (ULONG i = 0; i < n; ++i)
      if (int c = CompareProps(Element(a, i), Element(b, i))) return c;
    return Cmp(MvCount(a), MvCount(b));
  }
  switch (ta) {
    case PT_I2:
      return Cmp(x.i, y.i);
    case PT_LONG:
      return Cmp(x.l, y.l);
    case PT_BOOLEAN:
      return Cmp(x.b != 0, y.b != 0);
    case PT_R4:
      return Cmp(x.flt, y.flt);
    case PT_DOUBLE:
      return Cmp(x.dbl, y.dbl);
    case PT_APPTIME:
      return Cmp(x.at, y.at);
    case PT_CURRENCY:
      return Cmp(x.cur.int64, y.cur.int64);
    case PT_I8:
      return Cmp(x.li.QuadPart, y.li.QuadPart);
    case PT_SYSTIME:
      return Cmp(FileTimeToQuad(x.ft), FileTimeToQuad(y.ft));
    case PT_ERROR:
      return Cmp(x.err, y.err);
    case PT_BINARY:
      return CmpBytes(x.bin.lpb, x.bin.cb, y.bin.lpb, y.bin.cb);
    case PT_CLSID:
      return x.lpguid && y.lpguid
                 ? CmpBytes(reinterpret_cast<const BYTE*>(x.lpguid), 16, reinterpret_cast<const BYTE*>(y.lpguid), 16)
                 : Cmp(x.lpguid != nullptr, y.lpguid != nullptr);
    default:
      return 0;
  }
}

bool EvaluateRestriction(const SRestriction* res, const SPropValue* row, ULONG count, const SubRestrictionFn& sub) {
  return Eval(res, row, count, sub, 0);
}

SCODE CopyRestriction(const SRestriction* src, LPVOID parent, LPSRestriction* out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (!src) return S_OK;
  void* p = nullptr;
  SCODE sc = parent ? MAPIAllocateMore(sizeof(SRestriction), parent, &p) : MAPIAllocateBuffer(sizeof(SRestriction), &p);
  if (sc != S_OK) return sc;
  auto* dst = static_cast<LPSRestriction>(p);
  sc = CopyInto(*src, *dst, parent ? parent : p, 0);
  if (sc != S_OK) {
    if (!parent) MAPIFreeBuffer(p);
    return sc;
  }
  *out = dst;
  return S_OK;
}

}  // namespace vantrel::mapi
