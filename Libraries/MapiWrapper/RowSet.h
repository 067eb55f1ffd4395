// Table rows: CRowSet owns a row set from a table query (freed with
// FreeProws); CRow is a view of one of its rows.
#pragma once

#include "Libraries/MapiWrapper/MapiInclude.h"
#include "Libraries/MapiWrapper/PropValue.h"

class CRow {
 public:
  explicit CRow(const SRow* row) : row_(row) {}
  ULONG Count() const { return row_ ? row_->cValues : 0; }
  // The value in column `index` as a view; past the row's end, absent.
  CPropValue Value(ULONG index) const {
    if (!row_ || index >= row_->cValues) return CPropValue();
    return CPropValue::View(&row_->lpProps[index]);
  }
  CPropValue operator[](ULONG index) const { return Value(index); }
  const SRow* get() const { return row_; }

 private:
  const SRow* row_;
};

class CRowSet {
 public:
  CRowSet() = default;
  // Takes over a row set allocated the MAPI way.
  explicit CRowSet(LPSRowSet rows) : rows_(rows) {}
  CRowSet(CRowSet&& other) noexcept : rows_(other.rows_) { other.rows_ = nullptr; }
  CRowSet& operator=(CRowSet&& other) noexcept {
    if (this != &other) {
      Reset(other.rows_);
      other.rows_ = nullptr;
    }
    return *this;
  }
  CRowSet(const CRowSet&) = delete;
  CRowSet& operator=(const CRowSet&) = delete;
  ~CRowSet() { Reset(nullptr); }

  ULONG Count() const { return rows_ ? rows_->cRows : 0; }
  // Row `index`; past the end, a row without values.
  CRow Row(ULONG index) const { return CRow(index < Count() ? &rows_->aRow[index] : nullptr); }
  CRow operator[](ULONG index) const { return Row(index); }
  const SRowSet* get() const { return rows_; }
  // For calls that return a row set: frees the current one first.
  LPSRowSet* Receive() {
    Reset(nullptr);
    return &rows_;
  }

 private:
  void Reset(LPSRowSet rows) {
    if (rows_) FreeProws(rows_);
    rows_ = rows;
  }

  LPSRowSet rows_ = nullptr;
};
