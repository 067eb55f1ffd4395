#include "platform/mapi/TableData.h"

#include <algorithm>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PropCodec.h"

namespace vantrel::mapi {
namespace {

struct Row : std::enable_shared_from_this<Row> {
  LPSPropValue props = nullptr;  // the values and their data, stored right behind the row
  ULONG count = 0;
  std::string key;
  std::uint64_t seq = 0;  // insertion order, the last sort key
  ULONG heading = 0;      // a categorised view's heading row: its instance number
};
using RowPtr = std::shared_ptr<Row>;

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

const SPropValue* FindById(const SPropValue* props, ULONG n, ULONG tag) {
  for (ULONG i = 0; i < n; ++i)
    if (PROP_ID(props[i].ulPropTag) == PROP_ID(tag) && PROP_TYPE(props[i].ulPropTag) != PT_ERROR) return &props[i];
  return nullptr;
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
void FillColumn(const Row& row, ULONG tag, SPropValue& out, void* parent) {
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

constexpr ULONG kNoDepth = ~0u;

// The row's values in `columns`, in a new MAPI block. A leaf row of a
// categorised view (`leaf_depth` set) answers PR_ROW_TYPE and PR_DEPTH
// itself: the stored row knows nothing of the view's categories.
LPSPropValue BuildValues(const Row& row, const std::vector<ULONG>& columns, ULONG leaf_depth = kNoDepth) {
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

// A heading's PR_INSTANCE_KEY: eight bytes, four 0xFF then the instance
// number. Entry IDs and row ids never have that shape.
void HeadingKey(ULONG instance, BYTE out[8]) {
  std::memset(out, 0xFF, 4);
  std::memcpy(out + 4, &instance, 4);
}
ULONG HeadingOfKey(ULONG cb, const BYTE* key) {
  static const BYTE ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  if (cb != 8 || !key || std::memcmp(key, ff, 4) != 0) return 0;
  ULONG n;
  std::memcpy(&n, key + 4, 4);
  return n;
}

// Same category: values compare equal the way the sort compares them
// (strings without regard to case); missing values form one category.
int ComparePath(const SPropValue* a, const SPropValue* b) {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  return CompareProps(*a, *b);
}
struct PathLess {
  bool operator()(const std::vector<const SPropValue*>& a, const std::vector<const SPropValue*>& b) const {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
      if (int c = ComparePath(a[i], b[i])) return c < 0;
    return a.size() < b.size();
  }
};

// One category of a categorised view: its values (levels 0..level), its
// counts as of the last layout and whether it is expanded.
struct Heading {
  RowPtr values;                        // the category values, owning the key's memory
  std::vector<const SPropValue*> path;  // points into `values`; null for a missing value
  ULONG instance = 0;
  ULONG level = 0;
  bool expanded = false;
  ULONG count = 0, unread = 0;              // counted during a layout
  RowPtr row;                               // the heading row as the view shows it
  ULONG shown_count = 0, shown_unread = 0;  // what `row` says
  bool shown_expanded = false;
  std::uint64_t seen = 0;  // the layout that last met the category
};

LPSPropTagArray NewTagArray(const std::vector<ULONG>& tags) {
  void* p = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(std::max<size_t>(tags.size(), 1))), &p) != S_OK)
    return nullptr;
  auto* a = static_cast<LPSPropTagArray>(p);
  a->cValues = static_cast<ULONG>(tags.size());
  for (size_t i = 0; i < tags.size(); ++i) a->aulPropTag[i] = tags[i];
  return a;
}

class TableView;
using SubFn = std::function<bool(const SPropValue*, ULONG, ULONG, const SRestriction&)>;

struct TableState {
  std::mutex mu;  // guards everything below and every registered view's state
  ULONG type = TBLTYPE_DYNAMIC;
  ULONG index_tag = 0;
  std::vector<ULONG> columns;
  std::vector<RowPtr> rows;  // insertion order
  std::unordered_map<std::string, RowPtr> by_key;
  std::vector<TableView*> views;
  SubFn sub;
};

struct Pending {
  ComPtr<IMAPIAdviseSink> sink;
  std::vector<NOTIFICATION> batch;
  std::vector<LPSPropValue> blocks;  // freed once the batch is posted
  std::vector<RowPtr> rows;          // the rows the batch's index values point into
};

class TableView : public RefCounted<IMAPITable> {
 public:
  TableView(std::shared_ptr<TableState> state, const SSortOrderSet* sort) : state_(std::move(state)) {
    columns_ = state_->columns;
    if (sort) {
      for (ULONG i = 0; i < sort->cSorts; ++i) sort_.push_back(sort->aSort[i]);
      categories_ = sort->cCategories;
      expanded_ = sort->cExpanded;
    }
    state_->views.push_back(this);  // the caller holds the state lock
    Stale();
  }
  ~TableView() override {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto& v = state_->views;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
    MAPIFreeBuffer(restriction_);
  }

  // ---- called under the state lock when rows change ----
  void OnChange(const RowPtr& old_row, const RowPtr& new_row, std::vector<Pending>& out) {
    if (stale_) return;  // built afresh when next used
    if (categories_) return OnCategorisedChange(old_row, new_row, out);
    size_t old_pos = old_row ? Position(old_row.get()) : npos;
    if (old_pos != npos) Remove(old_pos);
    size_t new_pos = npos;
    if (new_row && Matches(*new_row)) {
      new_pos = static_cast<size_t>(std::lower_bound(order_.begin(), order_.end(), new_row.get(),
                                                     [this](const Row* a, const Row* b) { return Less(a, b); }) -
                                    order_.begin());
      Insert(new_pos, new_row.get());
    }
    if (sinks_.empty()) return;
    ULONG event = old_pos != npos ? (new_pos != npos ? TABLE_ROW_MODIFIED : TABLE_ROW_DELETED)
                                  : (new_pos != npos ? TABLE_ROW_ADDED : 0);
    if (!event) return;
    const Row* subject = new_pos != npos ? new_row.get() : old_row.get();
    Notify(event, subject, new_pos != npos ? new_pos : npos, out);
  }
  void OnReload(std::vector<Pending>& out) {
    Stale();
    if (sinks_.empty()) return;
    NOTIFICATION n{};
    n.ulEventType = fnevTableModified;
    n.info.tab.ulTableEvent = TABLE_RELOAD;
    n.info.tab.propIndex.ulPropTag = PR_NULL;
    n.info.tab.propPrior.ulPropTag = PR_NULL;
    for (auto& [conn, sink] : sinks_) out.push_back(Pending{sink, {n}, {}, {}});
  }

  // ---- IMAPITable ----
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
    if (!err) return MAPI_E_INVALID_PARAMETER;
    return MAPIAllocateBuffer(sizeof(MAPIERROR), reinterpret_cast<void**>(err));
  }
  HRESULT Advise(ULONG, LPMAPIADVISESINK sink, ULONG* conn) override {
    if (!sink || !conn) return MAPI_E_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock = Use();
    *conn = ++next_conn_;
    sinks_[*conn] = ComPtr<IMAPIAdviseSink>(sink);
    return S_OK;
  }
  HRESULT Unadvise(ULONG conn) override {
    std::lock_guard<std::mutex> lock(state_->mu);
    return sinks_.erase(conn) ? S_OK : MAPI_E_NOT_FOUND;
  }
  HRESULT GetStatus(ULONG* status, ULONG* type) override {
    if (status) *status = TBLSTAT_COMPLETE;
    if (type) *type = state_->type;
    return S_OK;
  }
  HRESULT SetColumns(LPSPropTagArray tags, ULONG) override {
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_->mu);
    columns_.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    return S_OK;
  }
  HRESULT QueryColumns(ULONG flags, LPSPropTagArray* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<ULONG> tags = columns_;
    if (flags & TBL_ALL_COLUMNS) {
      tags = state_->columns;
      auto add = [&](ULONG t) {
        if (PROP_TYPE(t) == PT_ERROR) return;
        for (ULONG have : tags)
          if (PROP_ID(have) == PROP_ID(t)) return;
        tags.push_back(t);
      };
      for (const auto& r : state_->rows)
        for (ULONG i = 0; i < r->count; ++i) add(r->props[i].ulPropTag);
    }
    *out = NewTagArray(tags);
    return *out ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
  }
  HRESULT GetRowCount(ULONG, ULONG* count) override {
    if (!count) return MAPI_E_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock = Use();
    *count = static_cast<ULONG>(order_.size());
    return S_OK;
  }
  HRESULT SeekRow(BOOKMARK origin, LONG rows, LONG* sought) override {
    std::unique_lock<std::mutex> lock = Use();
    size_t from;
    if (!Origin(origin, from)) return MAPI_E_INVALID_BOOKMARK;
    long long to = std::clamp<long long>(static_cast<long long>(from) + rows, 0, static_cast<long long>(order_.size()));
    cursor_ = static_cast<size_t>(to);
    if (sought) *sought = static_cast<LONG>(to - static_cast<long long>(from));
    return S_OK;
  }
  HRESULT SeekRowApprox(ULONG num, ULONG den) override {
    if (den == 0 || num > den) return MAPI_E_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock = Use();
    cursor_ = static_cast<size_t>(static_cast<unsigned long long>(order_.size()) * num / den);
    return S_OK;
  }
  HRESULT QueryPosition(ULONG* row, ULONG* num, ULONG* den) override {
    std::unique_lock<std::mutex> lock = Use();
    if (row) *row = static_cast<ULONG>(cursor_);
    if (num) *num = static_cast<ULONG>(cursor_);
    if (den) *den = static_cast<ULONG>(std::max<size_t>(order_.size(), 1));
    return S_OK;
  }
  HRESULT FindRow(LPSRestriction res, BOOKMARK origin, ULONG flags) override {
    if (!res) return MAPI_E_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock = Use();
    size_t from;
    if (!Origin(origin, from)) return MAPI_E_INVALID_BOOKMARK;
    if (flags & DIR_BACKWARD) {
      for (size_t i = from; i-- > 0;)
        if (Evaluate(res, *order_[i])) return cursor_ = i, S_OK;
    } else {
      for (size_t i = from; i < order_.size(); ++i)
        if (Evaluate(res, *order_[i])) return cursor_ = i, S_OK;
    }
    return MAPI_E_NOT_FOUND;
  }
  HRESULT Restrict(LPSRestriction res, ULONG) override {
    LPSRestriction copy = nullptr;
    if (SCODE sc = CopyRestriction(res, nullptr, &copy); sc != S_OK) return sc;
    std::lock_guard<std::mutex> lock(state_->mu);
    MAPIFreeBuffer(restriction_);
    restriction_ = copy;
    Stale();
    return S_OK;
  }
  HRESULT CreateBookmark(BOOKMARK* bk) override {
    if (!bk) return MAPI_E_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock = Use();
    *bk = next_bookmark_++;
    bookmarks_[*bk] = cursor_;
    return S_OK;
  }
  HRESULT FreeBookmark(BOOKMARK bk) override {
    if (bk <= BOOKMARK_END) return S_OK;
    std::lock_guard<std::mutex> lock(state_->mu);
    return bookmarks_.erase(bk) ? S_OK : MAPI_E_INVALID_BOOKMARK;
  }
  HRESULT SortTable(LPSSortOrderSet sort, ULONG) override {
    if (!ValidSort(sort)) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_->mu);
    sort_.assign(sort->aSort, sort->aSort + sort->cSorts);
    categories_ = sort->cCategories;
    expanded_ = sort->cExpanded;
    headings_.clear();  // a new sort starts every category in its initial state
    by_instance_.clear();
    Stale();
    return S_OK;
  }
  HRESULT QuerySortOrder(LPSSortOrderSet* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_->mu);
    void* p = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSSortOrderSet(std::max<size_t>(sort_.size(), 1))), &p) != S_OK)
      return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* s = static_cast<LPSSortOrderSet>(p);
    s->cSorts = static_cast<ULONG>(sort_.size());
    s->cCategories = categories_;
    s->cExpanded = expanded_;
    for (size_t i = 0; i < sort_.size(); ++i) s->aSort[i] = sort_[i];
    *out = s;
    return S_OK;
  }
  HRESULT QueryRows(LONG count, ULONG flags, LPSRowSet* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    std::unique_lock<std::mutex> lock = Use();
    size_t begin = cursor_, end = cursor_;
    if (count > 0) {
      end = std::min(order_.size(), cursor_ + static_cast<size_t>(count));
    } else if (count < 0) {
      size_t back = std::min(cursor_, static_cast<size_t>(-static_cast<long long>(count)));
      begin = cursor_ - back;
    }
    if (HRESULT hr = RowSet(begin, end - begin, out); FAILED(hr)) return hr;
    if (!(flags & TBL_NOADVANCE)) cursor_ = count < 0 ? begin : end;
    return S_OK;
  }
  HRESULT Abort() override { return S_OK; }

  // Expanding and collapsing change what the view shows, not the table:
  // no notifications. The cursor and bookmarks keep to their rows; one on
  // a row that collapses away moves to the next row shown.
  HRESULT ExpandRow(ULONG cb, LPBYTE key, ULONG count, ULONG, LPSRowSet* rows, ULONG* more) override {
    if (rows) *rows = nullptr;
    if (more) *more = 0;
    if (count && !rows) return MAPI_E_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock = Use();
    Heading* h = HeadingOf(cb, key);
    if (!h) return MAPI_E_NOT_FOUND;
    size_t before = order_.size();
    if (!h->expanded) {
      h->expanded = true;
      Relayout();
    }
    size_t added = order_.size() - before;
    size_t at = Position(h->row.get());
    if (at != npos) {
      size_t n = std::min<size_t>(count, added);
      if (rows)
        if (HRESULT hr = RowSet(at + 1, n, rows); FAILED(hr)) return hr;
      cursor_ = at + 1 + n;
    }
    if (more) *more = static_cast<ULONG>(added);
    return S_OK;
  }
  HRESULT CollapseRow(ULONG cb, LPBYTE key, ULONG, ULONG* count) override {
    if (count) *count = 0;
    std::unique_lock<std::mutex> lock = Use();
    Heading* h = HeadingOf(cb, key);
    if (!h) return MAPI_E_NOT_FOUND;
    size_t before = order_.size();
    if (h->expanded) {
      h->expanded = false;
      Relayout();
    }
    if (count) *count = static_cast<ULONG>(before - order_.size());
    return S_OK;
  }
  HRESULT WaitForCompletion(ULONG, ULONG, ULONG* status) override {
    if (status) *status = TBLSTAT_COMPLETE;
    return S_OK;
  }

  // The collapse state names categories by their values, not by instance
  // keys, so another view with the same categories can take it up: the
  // categories' properties, the categories whose state differs from the
  // sort's initial one, and the row to come back to.
  HRESULT GetCollapseState(ULONG, ULONG cb, LPBYTE key, ULONG* cb_state, LPBYTE* state) override {
    if (!cb_state || !state || (cb && !key)) return MAPI_E_INVALID_PARAMETER;
    *cb_state = 0;
    *state = nullptr;
    std::unique_lock<std::mutex> lock = Use();
    if (!categories_) return MAPI_E_NO_SUPPORT;
    StateWriter w;
    w.U32(kStateMagic);
    w.U32(categories_);
    for (ULONG k = 0; k < categories_; ++k) w.U32(sort_[k].ulPropTag);
    std::vector<const Heading*> changed;
    for (const auto& [path, h] : headings_)
      if (h->expanded != (h->level < expanded_)) changed.push_back(h.get());
    w.U32(static_cast<ULONG>(changed.size()));
    for (const Heading* h : changed) {
      w.U8(h->expanded ? 1 : 0);
      if (!w.Path(h->path)) return MAPI_E_TOO_COMPLEX;
    }
    // The row to come back to: a heading by its values, a leaf by its key.
    if (Heading* h = HeadingOf(cb, key)) {
      w.U8(1);
      if (!w.Path(h->path)) return MAPI_E_TOO_COMPLEX;
    } else {
      w.U8(2);
      w.Bytes(key, cb);
    }
    void* p = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(std::max<size_t>(w.out.size(), 1)), &p) != S_OK)
      return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(p, w.out.data(), w.out.size());
    *cb_state = static_cast<ULONG>(w.out.size());
    *state = static_cast<LPBYTE>(p);
    return S_OK;
  }
  HRESULT SetCollapseState(ULONG, ULONG cb, LPBYTE data, BOOKMARK* location) override {
    if (!data || !location) return MAPI_E_INVALID_PARAMETER;
    std::unique_lock<std::mutex> lock = Use();
    if (!categories_) return MAPI_E_NO_SUPPORT;
    StateReader r(data, cb);
    void* root = nullptr;
    if (MAPIAllocateBuffer(1, &root) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
    struct Freer {
      void* p;
      ~Freer() { MAPIFreeBuffer(p); }
    } freer{root};
    ULONG magic = 0, ncat = 0;
    if (!r.U32(magic) || magic != kStateMagic || !r.U32(ncat) || ncat != categories_) return MAPI_E_INVALID_PARAMETER;
    for (ULONG k = 0; k < ncat; ++k) {
      ULONG tag = 0;
      if (!r.U32(tag) || tag != sort_[k].ulPropTag) return MAPI_E_INVALID_PARAMETER;  // another categorisation
    }
    ULONG n = 0;
    if (!r.U32(n) || n > r.Left()) return MAPI_E_INVALID_PARAMETER;  // each entry takes bytes
    std::vector<std::pair<std::vector<const SPropValue*>, bool>> wanted;
    for (ULONG i = 0; i < n; ++i) {
      BYTE expanded = 0;
      std::vector<const SPropValue*> path;
      if (!r.U8(expanded) || !r.Path(root, categories_, path)) return MAPI_E_INVALID_PARAMETER;
      wanted.emplace_back(std::move(path), expanded != 0);
    }
    BYTE kind = 0;
    std::vector<const SPropValue*> anchor_path;
    std::vector<BYTE> anchor_key;
    if (!r.U8(kind) || (kind == 1 && !r.Path(root, categories_, anchor_path)) || (kind == 2 && !r.Bytes(anchor_key)) ||
        (kind != 1 && kind != 2))
      return MAPI_E_INVALID_PARAMETER;
    for (auto& [path, h] : headings_) h->expanded = h->level < expanded_;
    for (const auto& [path, expanded] : wanted)
      if (auto it = headings_.find(path); it != headings_.end()) it->second->expanded = expanded;
    Relayout();
    size_t at = 0;
    if (kind == 1) {
      if (auto it = headings_.find(anchor_path); it != headings_.end())
        at = std::min(Position(it->second->row.get()), order_.size());
    } else {
      for (size_t i = 0; i < order_.size(); ++i) {
        const SPropValue* k = FindById(order_[i]->props, order_[i]->count, PR_INSTANCE_KEY);
        if (!order_[i]->heading && k && PROP_TYPE(k->ulPropTag) == PT_BINARY && k->Value.bin.cb == anchor_key.size() &&
            std::equal(anchor_key.begin(), anchor_key.end(), k->Value.bin.lpb)) {
          at = i;
          break;
        }
      }
    }
    *location = next_bookmark_++;
    bookmarks_[*location] = at;
    return S_OK;
  }

 private:
  static constexpr size_t npos = static_cast<size_t>(-1);

  bool Evaluate(const SRestriction* res, const Row& row) const {
    SubRestrictionFn sub;
    if (state_->sub) {
      sub = [&](ULONG object, const SRestriction& r) { return state_->sub(row.props, row.count, object, r); };
    }
    return EvaluateRestriction(res, row.props, row.count, sub);
  }
  bool Matches(const Row& row) const { return !restriction_ || Evaluate(restriction_, row); }

  bool Less(const Row* a, const Row* b) const {
    for (const auto& key : sort_) {
      const SPropValue* va = FindById(a->props, a->count, key.ulPropTag);
      const SPropValue* vb = FindById(b->props, b->count, key.ulPropTag);
      int c = (!va || !vb) ? (va ? 1 : 0) - (vb ? 1 : 0) : CompareProps(*va, *vb);
      if (key.ulOrder == TABLE_SORT_DESCEND) c = -c;
      if (c) return c < 0;
    }
    return a->seq < b->seq;
  }

  // A view builds its rows when they are first needed: opening a view, then
  // setting its columns, restriction and sort builds once. A view with
  // advise sinks is kept built, so that every change notifies them.
  void Stale() {
    stale_ = true;
    cursor_ = 0;
    bookmarks_.clear();
    if (!sinks_.empty()) Fresh();
  }
  void Fresh() {
    if (!stale_) return;
    stale_ = false;
    Rebuild();
  }
  std::unique_lock<std::mutex> Use() {
    std::unique_lock<std::mutex> lock(state_->mu);
    Fresh();
    return lock;
  }

  void Rebuild() {
    order_.clear();
    cursor_ = 0;
    bookmarks_.clear();
    const size_t nk = sort_.size();
    std::vector<const Row*>& sorted = categories_ ? leaves_ : order_;
    sorted.clear();
    if (nk == 1 && SortByOrdinal(sorted)) {
      if (categories_) Layout();
      return;
    }
    // Each row's sort values are looked up once, into one flat array, not at
    // every comparison.
    std::vector<const Row*> rows;
    rows.reserve(state_->rows.size());
    for (const auto& r : state_->rows)
      if (Matches(*r)) rows.push_back(r.get());
    if (nk == 0) {  // the table's rows are kept in insertion order already
      sorted = std::move(rows);
      if (categories_) Layout();
      return;
    }
    std::vector<const SPropValue*> keys(rows.size() * nk);
    for (size_t i = 0; i < rows.size(); ++i)
      for (size_t k = 0; k < nk; ++k) keys[i * nk + k] = FindById(rows[i]->props, rows[i]->count, sort_[k].ulPropTag);
    std::vector<std::uint32_t> idx(rows.size());
    for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<std::uint32_t>(i);
    std::sort(idx.begin(), idx.end(), [&](std::uint32_t a, std::uint32_t b) {
      for (size_t k = 0; k < nk; ++k) {
        const SPropValue *va = keys[a * nk + k], *vb = keys[b * nk + k];
        int c = (!va || !vb) ? (va ? 1 : 0) - (vb ? 1 : 0) : CompareProps(*va, *vb);
        if (sort_[k].ulOrder == TABLE_SORT_DESCEND) c = -c;
        if (c) return c < 0;
      }
      return rows[a]->seq < rows[b]->seq;  // ties keep the order of insertion
    });
    sorted.reserve(idx.size());
    for (std::uint32_t i : idx) sorted.push_back(rows[i]);
    if (categories_) Layout();
  }

  // A sort on one integer-like column (the common case: a date, a size, a
  // flag) compares 64-bit numbers that keep the column's order instead of
  // values through CompareProps. False when the column is of another type,
  // or of several; the caller then sorts the general way.
  bool SortByOrdinal(std::vector<const Row*>& sorted) const {
    struct Item {
      std::uint64_t ord;
      std::uint32_t idx;      // place in the table: the order of insertion, which breaks ties
      std::uint32_t missing;  // sorts before present values when ascending
    };
    const ULONG tag = sort_[0].ulPropTag;
    const bool desc = sort_[0].ulOrder == TABLE_SORT_DESCEND;
    const auto& all = state_->rows;
    ULONG type = 0;
    std::vector<Item> items;
    items.reserve(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
      if (i + 8 < all.size()) __builtin_prefetch(all[i + 8].get());  // rows are read from memory in turn
      const Row& r = *all[i];
      if (restriction_ && !Evaluate(restriction_, r)) continue;
      const SPropValue* v = FindById(r.props, r.count, tag);
      Item it{0, static_cast<std::uint32_t>(i), v ? 0u : 1u};
      if (v) {
        ULONG t = PROP_TYPE(v->ulPropTag);
        if (type && t != type) return false;
        type = t;
        const _PV& x = v->Value;
        constexpr std::uint64_t kSign = 1ull << 63;
        switch (t) {
          case PT_I2:
            it.ord = static_cast<std::uint64_t>(static_cast<std::int64_t>(x.i)) ^ kSign;
            break;
          case PT_LONG:
            it.ord = static_cast<std::uint64_t>(static_cast<std::int64_t>(x.l)) ^ kSign;
            break;
          case PT_BOOLEAN:
            it.ord = x.b != 0;
            break;
          case PT_CURRENCY:
            it.ord = static_cast<std::uint64_t>(x.cur.int64) ^ kSign;
            break;
          case PT_I8:
            it.ord = static_cast<std::uint64_t>(x.li.QuadPart) ^ kSign;
            break;
          case PT_SYSTIME:
            it.ord = FileTimeToQuad(x.ft);
            break;
          default:
            return false;
        }
      }
      if (desc) {  // descending reverses the values and where missing ones go, not the ties
        it.missing ^= 1;
        it.ord = ~it.ord;
      }
      items.push_back(it);
    }
    if (items.size() < 512) {
      std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        if (a.missing != b.missing) return a.missing > b.missing;
        if (a.ord != b.ord) return a.ord < b.ord;
        return a.idx < b.idx;
      });
    } else {
      // Large tables: a stable radix sort, byte by byte from the lowest,
      // then by presence. Items start in table order, so ties keep it. Bytes
      // that are the same in every item (the high bytes of times) cost one
      // counting pass and no move.
      std::vector<Item> tmp(items.size());
      auto pass = [&](auto digit) {
        size_t count[256] = {};
        for (const Item& it : items) ++count[digit(it)];
        for (size_t c : count)
          if (c == items.size()) return;
        size_t at = 0;
        for (size_t& c : count) {
          size_t n = c;
          c = at;
          at += n;
        }
        for (const Item& it : items) tmp[count[digit(it)]++] = it;
        items.swap(tmp);
      };
      for (int b = 0; b < 64; b += 8) pass([b](const Item& it) { return static_cast<size_t>((it.ord >> b) & 0xFF); });
      pass([](const Item& it) { return static_cast<size_t>(it.missing ? 0 : 1); });
    }
    sorted.reserve(items.size());
    for (const Item& it : items) sorted.push_back(all[it.idx].get());
    return true;
  }

  // ---- categorised views ----
  // leaves_ holds every row that passes the restriction, in sort order (the
  // categories are the first sort keys, so each category is one run);
  // order_ holds what the view shows: heading rows and the leaf rows of
  // expanded categories. A change lays the view out again from leaves_ and
  // compares the result with what was shown: that moves the cursor and
  // bookmarks and yields the notifications, headings' counts included.

  static constexpr ULONG kStateMagic = 0x31534356;  // "VCS1"
  struct StateWriter {
    std::vector<BYTE> out;
    void U8(BYTE v) { out.push_back(v); }
    void U32(ULONG v) {
      for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
    }
    void Bytes(const BYTE* p, size_t n) {
      U32(static_cast<ULONG>(n));
      out.insert(out.end(), p, p + n);
    }
    bool Path(const std::vector<const SPropValue*>& path) {
      U32(static_cast<ULONG>(path.size()));
      for (const SPropValue* v : path) {
        U8(v ? 1 : 0);
        if (!v) continue;
        auto enc = EncodeProp(*v);
        if (!enc) return false;
        U32(v->ulPropTag);
        Bytes(enc->data(), enc->size());
      }
      return true;
    }
  };
  // Reads what StateWriter wrote, checking every count against the bytes left.
  struct StateReader {
    const BYTE* p;
    size_t left;
    StateReader(const BYTE* data, size_t n) : p(data), left(n) {}
    size_t Left() const { return left; }
    bool U8(BYTE& v) {
      if (left < 1) return false;
      v = *p++;
      --left;
      return true;
    }
    bool U32(ULONG& v) {
      if (left < 4) return false;
      v = static_cast<ULONG>(p[0]) | static_cast<ULONG>(p[1]) << 8 | static_cast<ULONG>(p[2]) << 16 |
          static_cast<ULONG>(p[3]) << 24;
      p += 4;
      left -= 4;
      return true;
    }
    bool Bytes(std::vector<BYTE>& out) {
      ULONG n = 0;
      if (!U32(n) || n > left) return false;
      out.assign(p, p + n);
      p += n;
      left -= n;
      return true;
    }
    bool Path(void* root, ULONG max_levels, std::vector<const SPropValue*>& path) {
      ULONG n = 0;
      if (!U32(n) || n == 0 || n > max_levels) return false;
      for (ULONG i = 0; i < n; ++i) {
        BYTE present = 0;
        if (!U8(present)) return false;
        if (!present) {
          path.push_back(nullptr);
          continue;
        }
        ULONG tag = 0;
        std::vector<BYTE> bytes;
        void* mem = nullptr;
        if (!U32(tag) || !Bytes(bytes) || MAPIAllocateMore(sizeof(SPropValue), root, &mem) != S_OK) return false;
        auto* v = static_cast<SPropValue*>(mem);
        if (FAILED(DecodeProp(tag, StoredType(PROP_TYPE(tag)), bytes, root, *v))) return false;
        path.push_back(v);
      }
      return true;
    }
  };

  static bool ValidSort(const SSortOrderSet* sort) {
    return sort && sort->cCategories <= sort->cSorts && sort->cExpanded <= sort->cCategories;
  }

  void OnCategorisedChange(const RowPtr& old_row, const RowPtr& new_row, std::vector<Pending>& out) {
    bool had = false;
    if (old_row) {
      auto it = std::lower_bound(leaves_.begin(), leaves_.end(), old_row.get(),
                                 [this](const Row* a, const Row* b) { return Less(a, b); });
      if (it != leaves_.end() && *it == old_row.get()) {
        leaves_.erase(it);
        had = true;
      }
    }
    bool add = new_row && Matches(*new_row);
    if (!had && !add) return;
    if (add)
      leaves_.insert(std::lower_bound(leaves_.begin(), leaves_.end(), new_row.get(),
                                      [this](const Row* a, const Row* b) { return Less(a, b); }),
                     new_row.get());
    std::vector<const Row*> before = std::move(order_);
    Layout();
    Follow(before, old_row.get(), new_row.get(), &out);
  }

  void Relayout() {
    std::vector<const Row*> before = std::move(order_);
    Layout();
    Follow(before, nullptr, nullptr, nullptr);
  }

  Heading* HeadingOf(ULONG cb, const BYTE* key) {
    auto it = by_instance_.find(HeadingOfKey(cb, key));
    return it == by_instance_.end() ? nullptr : it->second;
  }

  Heading* FindHeading(const std::vector<const SPropValue*>& vals, size_t level) {
    std::vector<const SPropValue*> key(vals.begin(), vals.begin() + static_cast<std::ptrdiff_t>(level + 1));
    if (auto it = headings_.find(key); it != headings_.end()) return it->second.get();
    auto h = std::make_unique<Heading>();
    std::vector<SPropValue> present;
    for (const SPropValue* v : key)
      if (v) present.push_back(*v);
    h->values = MakeRow(present.data(), static_cast<ULONG>(present.size()));
    if (!h->values) return nullptr;
    for (size_t i = 0, j = 0; i < key.size(); ++i) h->path.push_back(key[i] ? &h->values->props[j++] : nullptr);
    h->instance = ++next_instance_;
    h->level = static_cast<ULONG>(level);
    h->expanded = level < expanded_;
    Heading* raw = h.get();
    by_instance_[raw->instance] = raw;
    headings_.emplace(raw->path, std::move(h));
    return raw;
  }

  static RowPtr HeadingRow(const Heading& h) {
    BYTE key[8];
    HeadingKey(h.instance, key);
    std::vector<SPropValue> v(5);
    v[0].ulPropTag = PR_INSTANCE_KEY;
    v[0].Value.bin = {8, key};
    v[1].ulPropTag = PR_ROW_TYPE;
    v[1].Value.l = h.expanded ? TBL_EXPANDED_CATEGORY : TBL_COLLAPSED_CATEGORY;
    v[2].ulPropTag = PR_DEPTH;
    v[2].Value.l = static_cast<LONG>(h.level);
    v[3].ulPropTag = PR_CONTENT_COUNT;
    v[3].Value.l = static_cast<LONG>(h.count);
    v[4].ulPropTag = PR_CONTENT_UNREAD;
    v[4].Value.l = static_cast<LONG>(h.unread);
    for (const SPropValue* p : h.path)
      if (p) v.push_back(*p);
    RowPtr row = MakeRow(v.data(), static_cast<ULONG>(v.size()));
    if (row) row->heading = h.instance;
    return row;
  }

  void Layout() {
    retired_.clear();  // the last change is over: nothing looks at them any more
    order_.clear();
    ++layout_;
    const size_t nc = categories_;
    std::vector<Heading*> open(nc, nullptr);
    std::vector<size_t> slot(nc, npos);  // the heading's place in order_; npos while hidden
    std::vector<const SPropValue*> vals(nc);
    bool lost = false;
    auto close = [&](size_t k) {
      Heading* h = open[k];
      open[k] = nullptr;
      if (!h) return;
      if (!h->row || h->shown_count != h->count || h->shown_unread != h->unread || h->shown_expanded != h->expanded) {
        if (RowPtr row = HeadingRow(*h)) {
          if (h->row) retired_.push_back(std::move(h->row));
          h->row = std::move(row);
          h->shown_count = h->count;
          h->shown_unread = h->unread;
          h->shown_expanded = h->expanded;
        }
      }
      if (slot[k] != npos) order_[slot[k]] = h->row.get();
      lost |= slot[k] != npos && !h->row;
    };
    for (const Row* r : leaves_) {
      for (size_t k = 0; k < nc; ++k) vals[k] = FindById(r->props, r->count, sort_[k].ulPropTag);
      size_t d = 0;
      while (d < nc && open[d] && ComparePath(open[d]->path[d], vals[d]) == 0) ++d;
      for (size_t k = nc; k-- > d;) close(k);
      for (size_t k = d; k < nc; ++k) {
        Heading* h = FindHeading(vals, k);
        if (!h) return Fail();
        h->seen = layout_;
        h->count = h->unread = 0;
        open[k] = h;
        bool shown = k == 0 || (slot[k - 1] != npos && open[k - 1]->expanded);
        slot[k] = shown ? order_.size() : npos;
        if (shown) order_.push_back(nullptr);  // filled in when the category closes
      }
      const SPropValue* flags = FindById(r->props, r->count, PR_MESSAGE_FLAGS);
      bool unread = !flags || !(flags->Value.l & MSGFLAG_READ);
      for (size_t k = 0; k < nc; ++k) {
        ++open[k]->count;
        open[k]->unread += unread ? 1 : 0;
      }
      if (nc == 0 || (slot[nc - 1] != npos && open[nc - 1]->expanded)) order_.push_back(r);
    }
    for (size_t k = nc; k-- > 0;) close(k);
    if (lost) order_.erase(std::remove(order_.begin(), order_.end(), nullptr), order_.end());
    for (auto it = headings_.begin(); it != headings_.end();) {
      if (it->second->seen != layout_) {
        by_instance_.erase(it->second->instance);
        if (it->second->row) retired_.push_back(std::move(it->second->row));
        it = headings_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Out of memory while laying out: show the leaf rows alone rather than
  // half a layout.
  void Fail() {
    order_ = leaves_;
    headings_.clear();
    by_instance_.clear();
  }

  // A shown row's identity across layouts: a heading by its instance, a
  // leaf by its row (the changed row standing for the one it replaced).
  static std::uintptr_t Ident(const Row* r, const Row* old_row, const Row* new_row) {
    if (r->heading) return (static_cast<std::uintptr_t>(r->heading) << 1) | 1;  // rows are aligned: even
    return reinterpret_cast<std::uintptr_t>(r == old_row && new_row ? new_row : r);
  }

  void Follow(const std::vector<const Row*>& before, const Row* old_row, const Row* new_row,
              std::vector<Pending>* out) {
    std::unordered_map<std::uintptr_t, size_t> now;
    now.reserve(order_.size());
    for (size_t i = 0; i < order_.size(); ++i) now.emplace(Ident(order_[i], nullptr, nullptr), i);
    auto follow = [&](size_t p) {
      for (; p < before.size(); ++p)
        if (auto it = now.find(Ident(before[p], old_row, new_row)); it != now.end()) return it->second;
      return order_.size();
    };
    cursor_ = follow(cursor_);
    for (auto& [bk, at] : bookmarks_) at = follow(at);
    if (!out || sinks_.empty()) return;
    std::unordered_map<std::uintptr_t, const Row*> was;
    was.reserve(before.size());
    for (const Row* r : before) {
      std::uintptr_t id = Ident(r, old_row, new_row);
      was.emplace(id, r);
      if (!now.count(id)) Notify(TABLE_ROW_DELETED, r, npos, *out);
    }
    for (size_t i = 0; i < order_.size(); ++i) {
      auto it = was.find(Ident(order_[i], nullptr, nullptr));
      if (it == was.end())
        Notify(TABLE_ROW_ADDED, order_[i], i, *out);
      else if (it->second != order_[i] || (new_row && order_[i] == new_row))  // replaced, or HrNotify
        Notify(TABLE_ROW_MODIFIED, order_[i], i, *out);
    }
  }

  const SPropValue* IndexOf(const Row& r) const {
    return FindById(r.props, r.count, r.heading ? PR_INSTANCE_KEY : state_->index_tag);
  }
  LPSPropValue Values(const Row& r) const {
    return BuildValues(r, columns_, categories_ && !r.heading ? categories_ : kNoDepth);
  }
  HRESULT RowSet(size_t begin, size_t n, LPSRowSet* out) const {
    void* p = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(std::max<size_t>(n, 1))), &p) != S_OK)
      return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* rows = static_cast<LPSRowSet>(p);
    rows->cRows = static_cast<ULONG>(n);
    for (size_t i = 0; i < n; ++i) {
      rows->aRow[i].ulAdrEntryPad = 0;
      rows->aRow[i].cValues = static_cast<ULONG>(columns_.size());
      rows->aRow[i].lpProps = Values(*order_[begin + i]);
    }
    *out = rows;
    return S_OK;
  }

  size_t Position(const Row* row) const {
    auto it = std::find(order_.begin(), order_.end(), row);
    return it == order_.end() ? npos : static_cast<size_t>(it - order_.begin());
  }
  // The cursor and the bookmarks keep pointing at the rows they pointed
  // at; one whose row goes away points at the row that followed it.
  void Remove(size_t pos) {
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(pos));
    if (cursor_ > pos) --cursor_;
    for (auto& [bk, at] : bookmarks_)
      if (at > pos) --at;
  }
  void Insert(size_t pos, const Row* row) {
    order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(pos), row);
    if (cursor_ >= pos) ++cursor_;
    for (auto& [bk, at] : bookmarks_)
      if (at >= pos) ++at;
  }
  bool Origin(BOOKMARK bk, size_t& at) const {
    if (bk == BOOKMARK_BEGINNING) {
      at = 0;
    } else if (bk == BOOKMARK_CURRENT) {
      at = cursor_;
    } else if (bk == BOOKMARK_END) {
      at = order_.size();
    } else {
      auto it = bookmarks_.find(bk);
      if (it == bookmarks_.end()) return false;
      at = std::min(it->second, order_.size());
    }
    return true;
  }

  // The batch keeps the rows whose values it points into: a row may leave
  // the table before the batch is posted.
  void Notify(ULONG event, const Row* subject, size_t pos, std::vector<Pending>& out) {
    const Row& row = *subject;
    std::vector<RowPtr> held{std::const_pointer_cast<Row>(subject->shared_from_this())};
    NOTIFICATION n{};
    n.ulEventType = fnevTableModified;
    n.info.tab.ulTableEvent = event;
    std::vector<LPSPropValue> blocks;
    if (const SPropValue* idx = IndexOf(row)) n.info.tab.propIndex = *idx;
    n.info.tab.propPrior.ulPropTag = PR_NULL;
    if (pos != npos && pos > 0)
      if (const SPropValue* idx = IndexOf(*order_[pos - 1])) {
        n.info.tab.propPrior = *idx;
        held.push_back(std::const_pointer_cast<Row>(order_[pos - 1]->shared_from_this()));
      }
    if (event != TABLE_ROW_DELETED) {
      LPSPropValue vals = Values(row);
      blocks.push_back(vals);
      n.info.tab.row.cValues = vals ? static_cast<ULONG>(columns_.size()) : 0;
      n.info.tab.row.lpProps = vals;
    }
    bool first = true;
    for (auto& [conn, sink] : sinks_) {
      out.push_back(Pending{sink, {n}, first ? blocks : std::vector<LPSPropValue>{}, held});
      first = false;
    }
  }

  std::shared_ptr<TableState> state_;
  // Guarded by state_->mu:
  std::vector<ULONG> columns_;
  std::vector<SSortOrder> sort_;
  ULONG categories_ = 0, expanded_ = 0;
  LPSRestriction restriction_ = nullptr;
  bool stale_ = true;  // order_ is to be built again before use
  // The rows shown. They belong to the table (leaves) or to headings_, and
  // leave order_ under the lock before they go; heading rows replaced during
  // a change stay in retired_ until the change has been compared and notified.
  std::vector<const Row*> order_;
  std::vector<const Row*> leaves_;  // categorised: every matching row, sorted
  std::vector<RowPtr> retired_;
  std::map<std::vector<const SPropValue*>, std::unique_ptr<Heading>, PathLess> headings_;
  std::unordered_map<ULONG, Heading*> by_instance_;
  ULONG next_instance_ = 0;
  std::uint64_t layout_ = 0;
  size_t cursor_ = 0;
  std::map<BOOKMARK, size_t> bookmarks_;
  BOOKMARK next_bookmark_ = BOOKMARK_END + 1;
  std::map<ULONG, ComPtr<IMAPIAdviseSink>> sinks_;
  ULONG next_conn_ = 0;
};

void PostAll(std::vector<Pending>& pending) {
  for (auto& p : pending) NotifyQueue::Instance().Post(p.sink.get(), p.batch);
  for (auto& p : pending)
    for (LPSPropValue b : p.blocks) MAPIFreeBuffer(b);
}

class TableDataImpl : public RefCounted<IMAPITableData> {
 public:
  explicit TableDataImpl(std::shared_ptr<TableState> s) : state_(std::move(s)) {}

  HRESULT HrGetView(LPSSortOrderSet sort, void*, ULONG, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (sort && !(sort->cCategories <= sort->cSorts && sort->cExpanded <= sort->cCategories))
      return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_->mu);
    *out = new TableView(state_, sort);
    return S_OK;
  }
  HRESULT HrModifyRow(LPSRow row) override {
    if (!row) return MAPI_E_INVALID_PARAMETER;
    return Upsert(row->lpProps, row->cValues, npos);
  }
  HRESULT HrModifyRows(ULONG flags, LPSRowSet rows) override {
    if (flags & TAD_ALL_ROWS) DeleteAll();
    if (!rows) return S_OK;
    for (ULONG i = 0; i < rows->cRows; ++i)
      if (HRESULT hr = Upsert(rows->aRow[i].lpProps, rows->aRow[i].cValues, npos); FAILED(hr)) return hr;
    return S_OK;
  }
  HRESULT HrDeleteRow(LPSPropValue index) override {
    if (!index) return MAPI_E_INVALID_PARAMETER;
    std::vector<Pending> pending;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      auto it = state_->by_key.find(KeyOf(*index));
      if (it == state_->by_key.end()) return MAPI_E_NOT_FOUND;
      RowPtr old = it->second;
      state_->by_key.erase(it);
      auto& rows = state_->rows;
      rows.erase(std::find(rows.begin(), rows.end(), old));
      for (TableView* v : state_->views) v->OnChange(old, nullptr, pending);
    }
    PostAll(pending);
    return S_OK;
  }
  HRESULT HrDeleteRows(ULONG flags, LPSRowSet rows, ULONG* deleted) override {
    ULONG n = 0;
    if (flags & TAD_ALL_ROWS) {
      n = DeleteAll();
    } else if (rows) {
      for (ULONG i = 0; i < rows->cRows; ++i) {
        const SPropValue* idx = FindById(rows->aRow[i].lpProps, rows->aRow[i].cValues, state_->index_tag);
        if (idx && HrDeleteRow(const_cast<LPSPropValue>(idx)) == S_OK) ++n;
      }
    }
    if (deleted) *deleted = n;
    return S_OK;
  }
  HRESULT HrQueryRow(LPSPropValue index, LPSRow* out, ULONG* position) override {
    if (!index || !out) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->by_key.find(KeyOf(*index));
    if (it == state_->by_key.end()) return MAPI_E_NOT_FOUND;
    if (position) {
      auto& rows = state_->rows;
      *position = static_cast<ULONG>(std::find(rows.begin(), rows.end(), it->second) - rows.begin());
    }
    return CopyRow(*it->second, out);
  }
  HRESULT HrEnumRow(ULONG number, LPSRow* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(state_->mu);
    if (number >= state_->rows.size()) {
      *out = nullptr;
      return S_OK;
    }
    return CopyRow(*state_->rows[number], out);
  }
  HRESULT HrNotify(ULONG, ULONG count, LPSPropValue values) override {
    const SPropValue* idx = FindById(values, count, state_->index_tag);
    if (!idx) return MAPI_E_INVALID_PARAMETER;
    std::vector<Pending> pending;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      auto it = state_->by_key.find(KeyOf(*idx));
      if (it == state_->by_key.end()) return MAPI_E_NOT_FOUND;
      for (TableView* v : state_->views) v->OnChange(it->second, it->second, pending);
    }
    PostAll(pending);
    return S_OK;
  }
  HRESULT HrInsertRow(ULONG at, LPSRow row) override {
    if (!row) return MAPI_E_INVALID_PARAMETER;
    return Upsert(row->lpProps, row->cValues, at);
  }

  std::shared_ptr<TableState> state() const { return state_; }

 private:
  static constexpr ULONG npos = ~0u;

  HRESULT Upsert(const SPropValue* props, ULONG count, ULONG insert_at) {
    const SPropValue* idx = FindById(props, count, state_->index_tag);
    if (!idx || PROP_TYPE(idx->ulPropTag) != PROP_TYPE(state_->index_tag)) return MAPI_E_INVALID_PARAMETER;
    RowPtr row = MakeRow(props, count);
    if (!row) return MAPI_E_NOT_ENOUGH_MEMORY;
    row->key = KeyOf(*idx);
    std::vector<Pending> pending;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      auto& rows = state_->rows;
      RowPtr old;
      if (auto it = state_->by_key.find(row->key); it != state_->by_key.end()) old = it->second;
      if (old && insert_at != npos) return MAPI_E_INVALID_PARAMETER;  // HrInsertRow of an existing row
      if (old) {
        row->seq = old->seq;
        *std::find(rows.begin(), rows.end(), old) = row;
      } else {
        size_t at = insert_at == npos ? rows.size() : std::min<size_t>(insert_at, rows.size());
        row->seq = SeqAt(at);
        rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(at), row);
      }
      state_->by_key[row->key] = row;
      for (TableView* v : state_->views) v->OnChange(old, row, pending);
    }
    PostAll(pending);
    return S_OK;
  }

  // Insertion order is every view's last sort key, so a row inserted at a
  // position takes a number between its neighbours'. Rows are numbered with
  // gaps; when a gap is used up they are numbered afresh, which keeps their
  // order and so every view's. Caller holds the state lock.
  std::uint64_t SeqAt(size_t at) {
    constexpr std::uint64_t kGap = 1u << 16;
    auto& rows = state_->rows;
    if (at == rows.size()) return rows.empty() ? kGap : rows.back()->seq + kGap;
    std::uint64_t lo = at ? rows[at - 1]->seq : 0, hi = rows[at]->seq;
    if (hi - lo < 2) {
      for (size_t i = 0; i < rows.size(); ++i) rows[i]->seq = (i + 1) * kGap;
      lo = at ? rows[at - 1]->seq : 0;
      hi = rows[at]->seq;
    }
    return lo + (hi - lo) / 2;
  }

  ULONG DeleteAll() {
    std::vector<Pending> pending;
    ULONG n;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      n = static_cast<ULONG>(state_->rows.size());
      state_->rows.clear();
      state_->by_key.clear();
      for (TableView* v : state_->views) v->OnReload(pending);
    }
    PostAll(pending);
    return n;
  }

  static HRESULT CopyRow(const Row& row, LPSRow* out) {
    void* p = nullptr;
    if (MAPIAllocateBuffer(sizeof(SRow), &p) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* r = static_cast<LPSRow>(p);
    r->ulAdrEntryPad = 0;
    r->cValues = row.count;
    void* vals = nullptr;
    MAPIAllocateMore(static_cast<ULONG>(sizeof(SPropValue) * std::max<ULONG>(row.count, 1)), p, &vals);
    r->lpProps = static_cast<LPSPropValue>(vals);
    for (ULONG i = 0; i < row.count; ++i) PropCopyMore(&r->lpProps[i], &row.props[i], MAPIAllocateMore, p);
    *out = r;
    return S_OK;
  }

  std::shared_ptr<TableState> state_;
};

// ---- the notification thread ----

struct Delivery {
  ComPtr<IMAPIAdviseSink> sink;
  LPNOTIFICATION batch = nullptr;
  ULONG count = 0;
};

struct QueueState {
  std::mutex mu;  // guards everything below
  std::condition_variable wake, done;
  std::deque<Delivery> items;
  std::uint64_t posted = 0, delivered = 0;
  bool started = false;
};

QueueState& Queue() {
  static auto* q = new QueueState;  // lives to the end of the process
  return *q;
}

void Worker() {
  QueueState& q = Queue();
  std::unique_lock<std::mutex> lock(q.mu);
  for (;;) {
    q.wake.wait(lock, [&] { return !q.items.empty(); });
    Delivery d = std::move(q.items.front());
    q.items.pop_front();
    lock.unlock();
    d.sink->OnNotify(d.count, d.batch);
    MAPIFreeBuffer(d.batch);
    d.sink.Reset();
    lock.lock();
    ++q.delivered;
    q.done.notify_all();
  }
}

SCODE CopyBytes(void* parent, const void* src, ULONG n, LPENTRYID& dst) {
  dst = nullptr;
  if (!src || !n) return S_OK;
  void* p = nullptr;
  if (SCODE sc = MAPIAllocateMore(n, parent, &p); sc != S_OK) return sc;
  std::memcpy(p, src, n);
  dst = static_cast<LPENTRYID>(p);
  return S_OK;
}

}  // namespace

NotifyQueue& NotifyQueue::Instance() {
  static NotifyQueue queue;
  return queue;
}

void NotifyQueue::Post(IMAPIAdviseSink* sink, const std::vector<NOTIFICATION>& batch) {
  if (!sink || batch.empty()) return;
  LPNOTIFICATION copy = nullptr;
  if (CopyNotifications(static_cast<ULONG>(batch.size()), batch.data(), &copy) != S_OK) return;
  QueueState& q = Queue();
  std::lock_guard<std::mutex> lock(q.mu);
  if (!q.started) {
    std::thread(Worker).detach();
    q.started = true;
  }
  q.items.push_back(Delivery{ComPtr<IMAPIAdviseSink>(sink), copy, static_cast<ULONG>(batch.size())});
  ++q.posted;
  q.wake.notify_one();
}

void NotifyQueue::Flush() {
  QueueState& q = Queue();
  std::unique_lock<std::mutex> lock(q.mu);
  std::uint64_t target = q.posted;
  q.done.wait(lock, [&] { return q.delivered >= target; });
}

SCODE CopyNotifications(ULONG count, const NOTIFICATION* src, LPNOTIFICATION* out) {
  if (!out || (count && !src)) return MAPI_E_INVALID_PARAMETER;
  void* root = nullptr;
  if (SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(NOTIFICATION) * std::max<ULONG>(count, 1)), &root);
      sc != S_OK)
    return sc;
  auto* dst = static_cast<LPNOTIFICATION>(root);
  SCODE sc = S_OK;
  auto value = [&](const SPropValue& from, SPropValue& to) {
    if (sc == S_OK) sc = PropCopyMore(&to, const_cast<LPSPropValue>(&from), MAPIAllocateMore, root);
  };
  auto values = [&](const SPropValue* from, ULONG n, LPSPropValue& to) {
    to = nullptr;
    if (!from || !n || sc != S_OK) return;
    void* p = nullptr;
    if ((sc = MAPIAllocateMore(static_cast<ULONG>(sizeof(SPropValue) * n), root, &p)) != S_OK) return;
    to = static_cast<LPSPropValue>(p);
    for (ULONG i = 0; i < n; ++i) value(from[i], to[i]);
  };
  auto bytes = [&](const void* from, ULONG n, LPENTRYID& to) {
    if (sc == S_OK) sc = CopyBytes(root, from, n, to);
  };
  auto text = [&](const char* from, LPSTR& to) {
    to = nullptr;
    if (!from || sc != S_OK) return;
    LPENTRYID p = nullptr;
    bytes(from, static_cast<ULONG>(std::strlen(from) + 1), p);
    to = reinterpret_cast<LPSTR>(p);
  };
  for (ULONG i = 0; i < count && sc == S_OK; ++i) {
    dst[i] = src[i];
    auto& d = dst[i].info;
    const auto& s = src[i].info;
    switch (src[i].ulEventType) {
      case fnevCriticalError:
        bytes(s.err.lpEntryID, s.err.cbEntryID, d.err.lpEntryID);
        if (s.err.lpMAPIError) {
          void* p = nullptr;
          if ((sc = MAPIAllocateMore(sizeof(MAPIERROR), root, &p)) == S_OK) {
            auto* e = static_cast<LPMAPIERROR>(p);
            *e = *s.err.lpMAPIError;
            text(s.err.lpMAPIError->lpszError, e->lpszError);
            text(s.err.lpMAPIError->lpszComponent, e->lpszComponent);
            d.err.lpMAPIError = e;
          }
        }
        break;
      case fnevNewMail:
        bytes(s.newmail.lpEntryID, s.newmail.cbEntryID, d.newmail.lpEntryID);
        bytes(s.newmail.lpParentID, s.newmail.cbParentID, d.newmail.lpParentID);
        text(s.newmail.lpszMessageClass, d.newmail.lpszMessageClass);
        break;
      case fnevObjectCreated:
      case fnevObjectDeleted:
      case fnevObjectModified:
      case fnevObjectMoved:
      case fnevObjectCopied:
      case fnevSearchComplete:
        bytes(s.obj.lpEntryID, s.obj.cbEntryID, d.obj.lpEntryID);
        bytes(s.obj.lpParentID, s.obj.cbParentID, d.obj.lpParentID);
        bytes(s.obj.lpOldID, s.obj.cbOldID, d.obj.lpOldID);
        bytes(s.obj.lpOldParentID, s.obj.cbOldParentID, d.obj.lpOldParentID);
        if (s.obj.lpPropTagArray) {
          LPENTRYID p = nullptr;
          bytes(s.obj.lpPropTagArray, static_cast<ULONG>(CbSPropTagArray(s.obj.lpPropTagArray)), p);
          d.obj.lpPropTagArray = reinterpret_cast<LPSPropTagArray>(p);
        }
        break;
      case fnevTableModified:
        value(s.tab.propIndex, d.tab.propIndex);
        value(s.tab.propPrior, d.tab.propPrior);
        values(s.tab.row.lpProps, s.tab.row.cValues, d.tab.row.lpProps);
        break;
      case fnevExtended: {
        LPENTRYID p = nullptr;
        bytes(s.ext.pbEventParameters, s.ext.cb, p);
        d.ext.pbEventParameters = reinterpret_cast<LPBYTE>(p);
        break;
      }
      case fnevStatusObjectModified:
        bytes(s.statobj.lpEntryID, s.statobj.cbEntryID, d.statobj.lpEntryID);
        values(s.statobj.lpPropVals, s.statobj.cValues, d.statobj.lpPropVals);
        break;
      default:
        break;
    }
  }
  if (sc != S_OK) {
    MAPIFreeBuffer(root);
    return sc;
  }
  *out = dst;
  return S_OK;
}

void SetSubRestriction(LPTABLEDATA table, SubFn fn) {
  if (auto* impl = dynamic_cast<TableDataImpl*>(table)) {
    auto state = impl->state();
    std::lock_guard<std::mutex> lock(state->mu);
    state->sub = std::move(fn);
  }
}

}  // namespace vantrel::mapi

SCODE CreateTable(LPCIID lpInterface, LPALLOCATEBUFFER, LPALLOCATEMORE, LPFREEBUFFER, LPVOID, ULONG ulTableType,
                  ULONG ulPropTagIndexColumn, LPSPropTagArray lpSPropTagArrayColumns, LPTABLEDATA* lppTableData) {
  if (!lppTableData || !lpSPropTagArrayColumns) return MAPI_E_INVALID_PARAMETER;
  if (lpInterface && !(*lpInterface == IID_IMAPITableData)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
  auto state = std::make_shared<vantrel::mapi::TableState>();
  state->type = ulTableType;
  state->index_tag = ulPropTagIndexColumn;
  state->columns.assign(lpSPropTagArrayColumns->aulPropTag,
                        lpSPropTagArrayColumns->aulPropTag + lpSPropTagArrayColumns->cValues);
  *lppTableData = new vantrel::mapi::TableDataImpl(std::move(state));
  return S_OK;
}

HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray tags, LPSRestriction res, LPSSortOrderSet sort,
                       LONG crows_max, LPSRowSet* rows) {
  if (!table || !rows) return MAPI_E_INVALID_PARAMETER;
  *rows = nullptr;
  HRESULT hr;
  if (tags && FAILED(hr = table->SetColumns(tags, TBL_BATCH))) return hr;
  if (res && FAILED(hr = table->Restrict(res, TBL_BATCH))) return hr;
  if (sort && FAILED(hr = table->SortTable(sort, TBL_BATCH))) return hr;
  if (FAILED(hr = table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return hr;
  return table->QueryRows(crows_max > 0 ? crows_max : INT32_MAX, 0, rows);
}
