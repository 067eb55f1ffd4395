// The rows of table data, shared by the table, its views and the
// notifications in flight. Internal to the table code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mapi/MapiDefs.h"

namespace vantrel::mapi::table {

// One row: its values and their data, stored right behind the row.
struct Row : std::enable_shared_from_this<Row> {
  LPSPropValue props = nullptr;
  ULONG count = 0;
  std::string key;        // the index value, as KeyOf makes it
  std::uint64_t seq = 0;  // insertion order, the last sort key
  ULONG heading = 0;      // a categorised view's heading row: its instance number
};
using RowPtr = std::shared_ptr<Row>;

// The row's copy of `count` values; null when out of memory.
RowPtr MakeRow(const SPropValue* props, ULONG count);

// The index value as a key: tag and value bytes.
std::string KeyOf(const SPropValue& v);

// The value with the property id of `tag`, whatever its type; errors
// count as missing. Inline: sorting and filtering call it for every row.
inline const SPropValue* FindById(const SPropValue* props, ULONG n, ULONG tag) {
  for (ULONG i = 0; i < n; ++i)
    if (PROP_ID(props[i].ulPropTag) == PROP_ID(tag) && PROP_TYPE(props[i].ulPropTag) != PT_ERROR) return &props[i];
  return nullptr;
}

inline constexpr ULONG kNoDepth = ~0u;

// The row's values in `columns`, in a new MAPI block. A leaf row of a
// categorised view (`leaf_depth` set) answers PR_ROW_TYPE and PR_DEPTH
// itself: the stored row knows nothing of the view's categories.
LPSPropValue BuildValues(const Row& row, const std::vector<ULONG>& columns, ULONG leaf_depth = kNoDepth);

LPSPropTagArray NewTagArray(const std::vector<ULONG>& tags);

}  // namespace vantrel::mapi::table
