// Comparing property values and evaluating restrictions: one definition
// used by tables, FindRow and search folders.
#pragma once

#include <functional>

#include "platform/mapi/MapiDefs.h"

namespace vantrel::mapi {

// Orders two values of the same property type the way MAPI providers
// sort: numbers by value, times in order, strings without regard to case,
// binaries bytewise then by length, multi-valued lexicographically.
// Values of different types order by type.
int CompareProps(const SPropValue& a, const SPropValue& b);

// Evaluates RES_SUBRESTRICTION for a row: the sub-object (PR_MESSAGE_RECIPIENTS
// or PR_MESSAGE_ATTACHMENTS) and its restriction. Rows without sub-objects
// pass nothing.
using SubRestrictionFn = std::function<bool(ULONG sub_object, const SRestriction& res)>;

// True when the row's values satisfy the restriction; a null restriction
// matches every row. Nesting deeper than 64 levels matches nothing.
bool EvaluateRestriction(const SRestriction* res, const SPropValue* row, ULONG count,
                         const SubRestrictionFn& sub = nullptr);

// Deep copy of a restriction into blocks chained to `parent` (or a new
// root when parent is null, returned in *out).
SCODE CopyRestriction(const SRestriction* src, LPVOID parent, LPSRestriction* out);

}  // namespace vantrel::mapi
