// The support object MAPI hands a provider: MAPI's memory routines, profile
// sections, notification subscriptions, and the generic copy of properties,
// messages and folders that providers delegate to.
#pragma once

#include <string>

#include "platform/mapi/MapiInterfaces.h"

namespace vantrel::mapi {

// The session's side of its support objects: what a provider tells MAPI
// through SetProviderUID. Called without any support object's lock held.
class SupportHost {
 public:
  // Entry IDs whose bytes 4 to 19 are `uid` belong to the store of
  // `provider` (its profile-section UID).
  virtual void RegisterProviderUid(const MAPIUID& provider, const MAPIUID& uid) = 0;

 protected:
  ~SupportHost() = default;
};

// session may be null (a service entry outside a session). section is the
// provider's (or service's) own profile section, opened for a null UID.
// host, when given, is the session itself and hears SetProviderUID.
HRESULT NewSupport(const std::string& profile, IMAPISession* session, const MAPIUID& section, IMAPISupport** out,
                   SupportHost* host = nullptr);
// The session is going away: a support object made by NewSupport stops
// using it (providers may hold their support object longer).
void DetachSupport(IMAPISupport* support);

// The property copy behind DoCopyTo / DoCopyProps: every property of src
// (or only `include`) except `exclude`, and for messages their recipients
// and attachments unless excluded; MAPI_NOREPLACE keeps what dest has.
HRESULT CopyObject(IMAPIProp* src, IMAPIProp* dest, const SPropTagArray* include, const SPropTagArray* exclude,
                   ULONG flags, LPSPropProblemArray* problems);

}  // namespace vantrel::mapi
