#include "platform/mapi/TableView.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <map>
#include <unordered_map>

#include "platform/mapi/CategoryLayout.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/Restriction.h"

namespace vantrel::mapi::table {
namespace {

std::vector<SSortOrder> SortKeys(const SSortOrderSet* sort) {
  if (!sort) return {};
  return std::vector<SSortOrder>(sort->aSort, sort->aSort + sort->cSorts);
}

// Every member below the table state is guarded by the table's lock.
class TableView final : public RefCounted<IMAPITable>, public TableObserver {
 public:
  // A new view is stale: it builds its rows when first used.
  TableView(std::shared_ptr<TableState> state, const SSortOrderSet* sort)
      : state_(std::move(state)), columns_(state_->columns), sort_(SortKeys(sort)) {
    if (sort) cats_.Reset(sort->cCategories, sort->cExpanded);
  }
  ~TableView() override {
    MutexLock lock(state_->mu);
    auto& v = state_->views;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
    MAPIFreeBuffer(restriction_);
  }

  // ---- TableObserver: under the table's lock when rows change ----
  void OnChange(TableState& table, const RowPtr& old_row, const RowPtr& new_row, std::vector<Pending>& out) override
      REQUIRES(table.mu) {
    Same(table);
    if (stale_) return;  // built afresh when next used
    if (Categorised()) return OnCategorisedChange(old_row, new_row, out);
    size_t old_pos = old_row ? Position(old_row.get()) : npos;
    if (old_pos != npos) Remove(old_pos);
    size_t new_pos = npos;
    if (new_row && Matches(*new_row)) {
      new_pos = static_cast<size_t>(std::lower_bound(order_.begin(), order_.end(), new_row.get(),
                                                     [this](const Row* a, const Row* b) {
                                                       state_->mu.AssertHeld();  // the search runs under it
                                                       return Less(a, b);
                                                     }) -
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
  void OnReload(TableState& table, std::vector<Pending>& out) override REQUIRES(table.mu) {
    Same(table);
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
    MutexLock lock(state_->mu);
    Fresh();
    *conn = ++next_conn_;
    sinks_[*conn] = ComPtr<IMAPIAdviseSink>(sink);
    return S_OK;
  }
  HRESULT Unadvise(ULONG conn) override {
    MutexLock lock(state_->mu);
    return sinks_.erase(conn) ? S_OK : MAPI_E_NOT_FOUND;
  }
  HRESULT GetStatus(ULONG* status, ULONG* type) override {
    if (status) *status = TBLSTAT_COMPLETE;
    if (type) *type = state_->type;
    return S_OK;
  }
  HRESULT SetColumns(LPSPropTagArray tags, ULONG) override {
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    columns_.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    return S_OK;
  }
  HRESULT QueryColumns(ULONG flags, LPSPropTagArray* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
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
    MutexLock lock(state_->mu);
    Fresh();
    *count = static_cast<ULONG>(order_.size());
    return S_OK;
  }
  HRESULT SeekRow(BOOKMARK origin, LONG rows, LONG* sought) override {
    MutexLock lock(state_->mu);
    Fresh();
    size_t from;
    if (!Origin(origin, from)) return MAPI_E_INVALID_BOOKMARK;
    long long to = std::clamp<long long>(static_cast<long long>(from) + rows, 0, static_cast<long long>(order_.size()));
    cursor_ = static_cast<size_t>(to);
    if (sought) *sought = static_cast<LONG>(to - static_cast<long long>(from));
    return S_OK;
  }
  HRESULT SeekRowApprox(ULONG num, ULONG den) override {
    if (den == 0 || num > den) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    Fresh();
    cursor_ = static_cast<size_t>(static_cast<unsigned long long>(order_.size()) * num / den);
    return S_OK;
  }
  HRESULT QueryPosition(ULONG* row, ULONG* num, ULONG* den) override {
    MutexLock lock(state_->mu);
    Fresh();
    if (row) *row = static_cast<ULONG>(cursor_);
    if (num) *num = static_cast<ULONG>(cursor_);
    if (den) *den = static_cast<ULONG>(std::max<size_t>(order_.size(), 1));
    return S_OK;
  }
  HRESULT FindRow(LPSRestriction res, BOOKMARK origin, ULONG flags) override {
    if (!res) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    Fresh();
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
    MutexLock lock(state_->mu);
    MAPIFreeBuffer(restriction_);
    restriction_ = copy;
    Stale();
    return S_OK;
  }
  HRESULT CreateBookmark(BOOKMARK* bk) override {
    if (!bk) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    Fresh();
    *bk = next_bookmark_++;
    bookmarks_[*bk] = cursor_;
    return S_OK;
  }
  HRESULT FreeBookmark(BOOKMARK bk) override {
    if (bk <= BOOKMARK_END) return S_OK;
    MutexLock lock(state_->mu);
    return bookmarks_.erase(bk) ? S_OK : MAPI_E_INVALID_BOOKMARK;
  }
  HRESULT SortTable(LPSSortOrderSet sort, ULONG) override {
    if (!ValidSort(sort)) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    sort_.assign(sort->aSort, sort->aSort + sort->cSorts);
    cats_.Reset(sort->cCategories, sort->cExpanded);  // every category in its initial state
    Stale();
    return S_OK;
  }
  HRESULT QuerySortOrder(LPSSortOrderSet* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    void* p = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSSortOrderSet(std::max<size_t>(sort_.size(), 1))), &p) != S_OK)
      return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* s = static_cast<LPSSortOrderSet>(p);
    s->cSorts = static_cast<ULONG>(sort_.size());
    s->cCategories = cats_.categories();
    s->cExpanded = cats_.expanded();
    for (size_t i = 0; i < sort_.size(); ++i) s->aSort[i] = sort_[i];
    *out = s;
    return S_OK;
  }
  HRESULT QueryRows(LONG count, ULONG flags, LPSRowSet* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    MutexLock lock(state_->mu);
    Fresh();
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
    MutexLock lock(state_->mu);
    Fresh();
    Heading* h = cats_.HeadingOf(cb, key);
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
    MutexLock lock(state_->mu);
    Fresh();
    Heading* h = cats_.HeadingOf(cb, key);
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

  // The collapse state names categories by their values (see
  // CategoryLayout::SaveState), so another view can take it up.
  HRESULT GetCollapseState(ULONG, ULONG cb, LPBYTE key, ULONG* cb_state, LPBYTE* state) override {
    if (!cb_state || !state || (cb && !key)) return MAPI_E_INVALID_PARAMETER;
    *cb_state = 0;
    *state = nullptr;
    MutexLock lock(state_->mu);
    Fresh();
    if (!Categorised()) return MAPI_E_NO_SUPPORT;
    std::vector<BYTE> bytes;
    if (HRESULT hr = cats_.SaveState(sort_, cb, key, bytes); FAILED(hr)) return hr;
    void* p = nullptr;
    if (MAPIAllocateBuffer(static_cast<ULONG>(std::max<size_t>(bytes.size(), 1)), &p) != S_OK)
      return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(p, bytes.data(), bytes.size());
    *cb_state = static_cast<ULONG>(bytes.size());
    *state = static_cast<LPBYTE>(p);
    return S_OK;
  }
  HRESULT SetCollapseState(ULONG, ULONG cb, LPBYTE data, BOOKMARK* location) override {
    if (!data || !location) return MAPI_E_INVALID_PARAMETER;
    MutexLock lock(state_->mu);
    Fresh();
    if (!Categorised()) return MAPI_E_NO_SUPPORT;
    void* root = nullptr;
    if (MAPIAllocateBuffer(1, &root) != S_OK) return MAPI_E_NOT_ENOUGH_MEMORY;
    struct Freer {
      void* p;
      ~Freer() { MAPIFreeBuffer(p); }
    } freer{root};
    CategoryLayout::Anchor anchor;
    if (HRESULT hr = cats_.LoadState(sort_, data, cb, root, anchor); FAILED(hr)) return hr;
    Relayout();
    size_t at = 0;
    if (anchor.heading) {
      if (Heading* h = cats_.Find(anchor.path)) at = std::min(Position(h->row.get()), order_.size());
    } else {
      const auto& key = anchor.key;
      for (size_t i = 0; i < order_.size(); ++i) {
        const SPropValue* k = FindById(order_[i]->props, order_[i]->count, PR_INSTANCE_KEY);
        if (!order_[i]->heading && k && PROP_TYPE(k->ulPropTag) == PT_BINARY && k->Value.bin.cb == key.size() &&
            std::equal(key.begin(), key.end(), k->Value.bin.lpb)) {
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

  // The table telling of a change is this view's table: its lock is ours.
  void Same([[maybe_unused]] const TableState& table) const ASSERT_CAPABILITY(state_->mu) {
    assert(&table == state_.get());
  }
  bool Categorised() const REQUIRES(state_->mu) { return cats_.categories() != 0; }

  bool Evaluate(const SRestriction* res, const Row& row) const REQUIRES(state_->mu) {
    SubRestrictionFn sub;
    if (state_->sub) {
      sub = [&](ULONG object, const SRestriction& r) {
        state_->mu.AssertHeld();  // called by EvaluateRestriction below
        return state_->sub(row.props, row.count, object, r);
      };
    }
    return EvaluateRestriction(res, row.props, row.count, sub);
  }
  bool Matches(const Row& row) const REQUIRES(state_->mu) { return !restriction_ || Evaluate(restriction_, row); }

  bool Less(const Row* a, const Row* b) const REQUIRES(state_->mu) {
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
  void Stale() REQUIRES(state_->mu) {
    stale_ = true;
    cursor_ = 0;
    bookmarks_.clear();
    if (!sinks_.empty()) Fresh();
  }
  void Fresh() REQUIRES(state_->mu) {
    if (!stale_) return;
    stale_ = false;
    Rebuild();
  }

  void Rebuild() REQUIRES(state_->mu) {
    order_.clear();
    cursor_ = 0;
    bookmarks_.clear();
    const size_t nk = sort_.size();
    std::vector<const Row*>& sorted = Categorised() ? leaves_ : order_;
    sorted.clear();
    if (nk == 1 && SortByOrdinal(sorted)) {
      if (Categorised()) Layout();
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
      if (Categorised()) Layout();
      return;
    }
    std::vector<const SPropValue*> keys(rows.size() * nk);
    for (size_t i = 0; i < rows.size(); ++i)
      for (size_t k = 0; k < nk; ++k) keys[i * nk + k] = FindById(rows[i]->props, rows[i]->count, sort_[k].ulPropTag);
    std::vector<std::uint32_t> idx(rows.size());
    for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<std::uint32_t>(i);
    std::sort(idx.begin(), idx.end(), [&](std::uint32_t a, std::uint32_t b) {
      state_->mu.AssertHeld();  // std::sort runs here, under it
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
    if (Categorised()) Layout();
  }

  // A sort on one integer-like column (the common case: a date, a size, a
  // flag) compares 64-bit numbers that keep the column's order instead of
  // values through CompareProps. False when the column is of another type,
  // or of several; the caller then sorts the general way.
  bool SortByOrdinal(std::vector<const Row*>& sorted) const REQUIRES(state_->mu) {
    struct Item {
      std::uint64_t ord;
      std::uint32_t idx;      // place in the table: the order of insertion, which breaks ties
      std::uint32_t missing;  // sorts before present values when ascending
    };
    const ULONG tag = sort_[0].ulPropTag;
    const bool desc = sort_[0].ulOrder == TABLE_SORT_DESCEND;
    ULONG type = 0;
    std::vector<Item> items;
    items.reserve(state_->rows.size());
    for (size_t i = 0; i < state_->rows.size(); ++i) {
      if (i + 8 < state_->rows.size()) __builtin_prefetch(state_->rows[i + 8].get());  // rows are read from memory in turn
      const Row& r = *state_->rows[i];
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
    for (const Item& it : items) sorted.push_back(state_->rows[it.idx].get());
    return true;
  }

  // ---- categorised views ----
  // leaves_ holds every row that passes the restriction, in sort order (the
  // categories are the first sort keys, so each category is one run);
  // order_ holds what the view shows: heading rows and the leaf rows of
  // expanded categories. A change lays the view out again from leaves_ and
  // compares the result with what was shown: that moves the cursor and
  // bookmarks and yields the notifications, headings' counts included.

  void Layout() REQUIRES(state_->mu) { cats_.Layout(leaves_, sort_, order_); }

  void OnCategorisedChange(const RowPtr& old_row, const RowPtr& new_row, std::vector<Pending>& out)
      REQUIRES(state_->mu) {
    auto less = [this](const Row* a, const Row* b) {
      state_->mu.AssertHeld();  // called by the searches below, under the lock
      return Less(a, b);
    };
    bool had = false;
    if (old_row) {
      auto it = std::lower_bound(leaves_.begin(), leaves_.end(), old_row.get(),
                                 less);
      if (it != leaves_.end() && *it == old_row.get()) {
        leaves_.erase(it);
        had = true;
      }
    }
    bool add = new_row && Matches(*new_row);
    if (!had && !add) return;
    if (add)
      leaves_.insert(std::lower_bound(leaves_.begin(), leaves_.end(), new_row.get(), less), new_row.get());
    std::vector<const Row*> before = std::move(order_);
    Layout();
    Follow(before, old_row.get(), new_row.get(), &out);
  }

  void Relayout() REQUIRES(state_->mu) {
    std::vector<const Row*> before = std::move(order_);
    Layout();
    Follow(before, nullptr, nullptr, nullptr);
  }

  // A shown row's identity across layouts: a heading by its instance, a
  // leaf by its row (the changed row standing for the one it replaced).
  static std::uintptr_t Ident(const Row* r, const Row* old_row, const Row* new_row) {
    if (r->heading) return (static_cast<std::uintptr_t>(r->heading) << 1) | 1;  // rows are aligned: even
    return reinterpret_cast<std::uintptr_t>(r == old_row && new_row ? new_row : r);
  }

  void Follow(const std::vector<const Row*>& before, const Row* old_row, const Row* new_row,
              std::vector<Pending>* out) REQUIRES(state_->mu) {
    std::unordered_map<std::uintptr_t, size_t> now;
    now.reserve(order_.size());
    for (size_t i = 0; i < order_.size(); ++i) now.emplace(Ident(order_[i], nullptr, nullptr), i);
    auto follow = [&](size_t p) {
      state_->mu.AssertHeld();  // called right below
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
  LPSPropValue Values(const Row& r) const REQUIRES(state_->mu) {
    return BuildValues(r, columns_, Categorised() && !r.heading ? cats_.categories() : kNoDepth);
  }
  HRESULT RowSet(size_t begin, size_t n, LPSRowSet* out) const REQUIRES(state_->mu) {
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

  size_t Position(const Row* row) const REQUIRES(state_->mu) {
    auto it = std::find(order_.begin(), order_.end(), row);
    return it == order_.end() ? npos : static_cast<size_t>(it - order_.begin());
  }
  // The cursor and the bookmarks keep pointing at the rows they pointed
  // at; one whose row goes away points at the row that followed it.
  void Remove(size_t pos) REQUIRES(state_->mu) {
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(pos));
    if (cursor_ > pos) --cursor_;
    for (auto& [bk, at] : bookmarks_)
      if (at > pos) --at;
  }
  void Insert(size_t pos, const Row* row) REQUIRES(state_->mu) {
    order_.insert(order_.begin() + static_cast<std::ptrdiff_t>(pos), row);
    if (cursor_ >= pos) ++cursor_;
    for (auto& [bk, at] : bookmarks_)
      if (at >= pos) ++at;
  }
  bool Origin(BOOKMARK bk, size_t& at) const REQUIRES(state_->mu) {
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
  void Notify(ULONG event, const Row* subject, size_t pos, std::vector<Pending>& out) REQUIRES(state_->mu) {
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

  const std::shared_ptr<TableState> state_;
  std::vector<ULONG> columns_ GUARDED_BY(state_->mu);
  std::vector<SSortOrder> sort_ GUARDED_BY(state_->mu);
  CategoryLayout cats_ GUARDED_BY(state_->mu);
  LPSRestriction restriction_ GUARDED_BY(state_->mu) = nullptr;
  bool stale_ GUARDED_BY(state_->mu) = true;  // order_ is to be built again before use
  // The rows shown. They belong to the table (leaves) or to cats_ (headings),
  // and leave order_ under the lock before they go; heading rows replaced
  // during a change stay alive in cats_ until the change has been compared
  // and notified.
  std::vector<const Row*> order_ GUARDED_BY(state_->mu);
  std::vector<const Row*> leaves_ GUARDED_BY(state_->mu);  // categorised: every matching row, sorted
  size_t cursor_ GUARDED_BY(state_->mu) = 0;
  std::map<BOOKMARK, size_t> bookmarks_ GUARDED_BY(state_->mu);
  BOOKMARK next_bookmark_ GUARDED_BY(state_->mu) = BOOKMARK_END + 1;
  std::map<ULONG, ComPtr<IMAPIAdviseSink>> sinks_ GUARDED_BY(state_->mu);
  ULONG next_conn_ GUARDED_BY(state_->mu) = 0;
};
}  // namespace

IMAPITable* NewView(const std::shared_ptr<TableState>& table, const SSortOrderSet* sort) {
  auto* v = new TableView(table, sort);
  table->views.push_back(v);
  return v;
}

bool ValidSort(const SSortOrderSet* sort) {
  return sort && sort->cCategories <= sort->cSorts && sort->cExpanded <= sort->cCategories;
}

}  // namespace vantrel::mapi::table
