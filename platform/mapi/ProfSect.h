// IProfSect over one profile section in the registry. Changes are written
// through at once (SaveChanges has nothing left to do), so every object and
// process reading the section sees them.
#pragma once

#include <string>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/ProfileStore.h"

namespace vantrel::mapi {

// flags: MAPI_MODIFY allows changes; a missing section is created only with
// MAPI_MODIFY (MAPI_E_NOT_FOUND otherwise).
HRESULT OpenProfSect(const std::string& profile, const MAPIUID& section, ULONG flags, IProfSect** out);

// The section's properties as MAPI values in one buffer (all, or the tags
// asked for with PT_ERROR / MAPI_E_NOT_FOUND where missing, result
// MAPI_W_ERRORS_RETURNED then).
HRESULT SectionGetProps(const ProfProps& props, const SPropTagArray* tags, ULONG* count, LPSPropValue* values);

}  // namespace vantrel::mapi
