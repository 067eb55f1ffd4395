#include "platform/mapi/TableRow.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"

namespace vantrel::mapi::table {
namespace {

// Allocates a row's shared state with room for its values behind it, so
// that sorting and filtering, which read a few values of every row, touch
// one piece of memory per row instead of three.
template <typename T>
struct TrailingAlloc {
  using value_type = T;
  size_t extra;
  void** trailer;  // receives where the extra room starts
  TrailingAlloc(size_t e, void** t) : extra(e), trailer(t) {}
  template <typename U>
  TrailingAlloc(const TrailingAlloc<U>& o) : extra(o.extra), trailer(o.trailer) {}
  static constexpr size_t Head(size_t n) { return (n * sizeof(T) + 15) & ~size_t{15}; }
  T* allocate(size_t n) {
    auto* p = static_cast<char*>(::operator new(Head(n) + extra));
    *trailer = p + Head(n);
    return reinterpret_cast<T*>(p);
  }
  void deallocate(T* p, size_t) { ::operator delete(p); }
  template <typename U>
  bool operator==(const TrailingAlloc<U>& o) const {
    return extra == o.extra;
  }
};

}  // namespace

std::string KeyOf(const SPropValue& v) {
  std::string k(reinterpret_cast<const char*>(&v.ulPropTag), 4);
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_BINARY:
      k.append(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
      break;
    case PT_STRING8:
      k.append(v.Value.lpszA ? v.Value.lpszA : "");
      break;
    case PT_UNICODE:
      k.append(v.Value.lpszW ? Utf16ToUtf8(v.Value.lpszW) : "");
      break;
    case PT_CLSID:
      k.append(reinterpret_cast<const char*>(v.Value.lpguid), v.Value.lpguid ? 16 : 0);
      break;
    default:
      k.append(reinterpret_cast<const char*>(&v.Value), 8);
      break;
  }
  return k;
}


RowPtr MakeRow(const SPropValue* props, ULONG count) {
  ULONG cb = 0;
  auto* src = const_cast<LPSPropValue>(props);
  if (ScCountProps(static_cast<int>(count), src, &cb) != S_OK) return nullptr;
  void* buf = nullptr;
  RowPtr row;
  try {
    row = std::allocate_shared<Row>(TrailingAlloc<Row>(cb, &buf));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  ScCopyProps(static_cast<int>(count), src, buf, nullptr);
  row->props = static_cast<LPSPropValue>(buf);
  row->count = count;
  return row;
}

// Fills one value of a view row: the stored value for the column's
// property id, converted between 8-bit and Unicode strings as asked, or
// PT_ERROR / MAPI_E_NOT_FOUND.
static void FillColumn(const Row& row, ULONG tag, SPropValue& out, void* parent) {
  const SPropValue* v = FindById(row.props, row.count, tag);
  ULONG want = PROP_TYPE(tag);
  if (v) {
    ULONG have = PROP_TYPE(v->ulPropTag);
    if (want == PT_UNSPECIFIED || want == have) {
      PropCopyMore(&out, const_cast<LPSPropValue>(v), MAPIAllocateMore, parent);
      return;
    }
    if ((want == PT_UNICODE && have == PT_STRING8) || (want == PT_STRING8 && have == PT_UNICODE)) {
      out.ulPropTag = tag;
      if (want == PT_UNICODE) {
        std::u16string w = AnsiToUtf16(v->Value.lpszA ? v->Value.lpszA : "");
        void* p = nullptr;
        MAPIAllocateMore(static_cast<ULONG>((w.size() + 1) * 2), parent, &p);
        std::memcpy(p, w.c_str(), (w.size() + 1) * 2);
        out.Value.lpszW = static_cast<LPWSTR>(p);
      } else {
        std::string a = v->Value.lpszW ? Utf16ToAnsi(v->Value.lpszW) : "";
        void* p = nullptr;
        MAPIAllocateMore(static_cast<ULONG>(a.size() + 1), parent, &p);
        std::memcpy(p, a.c_str(), a.size() + 1);
        out.Value.lpszA = static_cast<LPSTR>(p);
      }
      return;
    }
  }
  out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
  out.Value.err = MAPI_E_NOT_FOUND;
}

LPSPropValue BuildValues(const Row& row, const std::vector<ULONG>& columns, ULONG leaf_depth) {
  void* buf = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * std::max<size_t>(columns.size(), 1)), &buf) != S_OK)
    return nullptr;
  auto* vals = static_cast<LPSPropValue>(buf);
  for (size_t i = 0; i < columns.size(); ++i) {
    ULONG id = PROP_ID(columns[i]);
    if (leaf_depth != kNoDepth && (id == PROP_ID(PR_ROW_TYPE) || id == PROP_ID(PR_DEPTH))) {
      vals[i].ulPropTag = id == PROP_ID(PR_ROW_TYPE) ? PR_ROW_TYPE : PR_DEPTH;
      vals[i].Value.l = static_cast<LONG>(id == PROP_ID(PR_ROW_TYPE) ? TBL_LEAF_ROW : leaf_depth);
      continue;
    }
    FillColumn(row, columns[i], vals[i], buf);
  }
  return vals;
}

LPSPropTagArray NewTagArray(const std::vector<ULONG>& tags) {
  void* p = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(std::max<size_t>(tags.size(), 1))), &p) != S_OK)
    return nullptr;
  auto* a = static_cast<LPSPropTagArray>(p);
  a->cValues = static_cast<ULONG>(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) a->aulPropTag[i] = tags[i];
  return a;
}

}  // namespace vantrel::mapi::table
