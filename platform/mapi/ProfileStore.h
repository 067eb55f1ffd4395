// MAPI profiles in the registry, in the home platform's layout: one key per
// profile under the profiles root of HKEY_CURRENT_USER, one subkey per
// profile section named by its UID in 32 lower-case hex digits (bytes in
// memory order), one value per property named by its tag in 8 lower-case hex
// digits, type first ("001e3001" for PR_DISPLAY_NAME). Text is REG_SZ without a NUL; everything else is REG_BINARY,
// 32-bit values as 4 little-endian bytes. The registry is the only state: every process that opens a profile sees what
// another one wrote.
#pragma once

#include <string>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/mapi/MapiDefs.h"

namespace vantrel::mapi {

inline constexpr char kProfilesRoot[] =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles";
// Older systems keep profiles here; read when the first root lacks a profile.
inline constexpr char kProfilesRootOld[] = "Software\\Microsoft\\Windows Messaging Subsystem\\Profiles";
inline constexpr char kDefaultProfileValue[] = "DefaultProfile";
// The profile's global section: PR_STORE_PROVIDERS and PR_SERVICES list the
// provider and service UIDs that MAPI uses.
inline constexpr MAPIUID kGlobalSection = {
    {0x92, 0x07, 0xf3, 0xe0, 0xa3, 0xb1, 0x10, 0x19, 0x90, 0x8b, 0x08, 0x00, 0x2b, 0x2a, 0x56, 0xc2}};

// One stored property: the tag and the bytes as they sit in the registry
// (text without NUL, numbers little-endian, multi-valued in the packed form).
struct ProfProp {
  ULONG tag = 0;
  std::vector<BYTE> data;

  static ProfProp Text(ULONG tag, const std::string& text);
  static ProfProp Long(ULONG tag, ULONG value);
  static ProfProp Binary(ULONG tag, const void* data, size_t cb);
  static ProfProp Bool(ULONG tag, bool value) { return Long(tag, value ? 1 : 0); }
  static ProfProp Uid(ULONG tag, const MAPIUID& uid) { return Binary(tag, uid.ab, sizeof uid.ab); }
  std::string AsText() const { return std::string(data.begin(), data.end()); }
  ULONG AsLong() const;
};
using ProfProps = std::vector<ProfProp>;

// The property with this tag, or null.
const ProfProp* FindProp(const ProfProps& props, ULONG tag);

std::string UidToHex(const MAPIUID& uid);
bool UidFromHex(const std::string& hex, MAPIUID* uid);
MAPIUID NewUid();
// A binary value read as a list of 16-byte UIDs (a trailing partial UID is
// ignored).
std::vector<MAPIUID> UidList(const ProfProp* prop);
inline bool operator==(const MAPIUID& a, const MAPIUID& b) {
  for (int i = 0; i < 16; ++i)
    if (a.ab[i] != b.ab[i]) return false;
  return true;
}

// Property values <-> stored bytes. Values live in MAPI memory chained to
// `parent` (or a fresh buffer when parent is null).
HRESULT PropFromValue(const SPropValue& value, ProfProp* out);
HRESULT PropToValue(const ProfProp& prop, LPVOID parent, SPropValue* out);

// The profiles and their sections. Functions return MAPI results; a missing
// profile is MAPI_E_NOT_FOUND.
class ProfileStore {
 public:
  static std::vector<std::string> List();
  static bool Exists(const std::string& profile);
  // MAPI_E_NO_ACCESS when the profile exists already.
  static HRESULT Create(const std::string& profile);
  static HRESULT Delete(const std::string& profile);
  static std::string DefaultProfile();
  static HRESULT SetDefault(const std::string& profile);  // empty: clears it

  static HRESULT ReadSection(const std::string& profile, const MAPIUID& section, ProfProps* props);
  static bool SectionExists(const std::string& profile, const MAPIUID& section);
  // Creates the section when missing; replaces values of the same tag.
  static HRESULT WriteProps(const std::string& profile, const MAPIUID& section, const ProfProps& props);
  static HRESULT DeleteProps(const std::string& profile, const MAPIUID& section, const std::vector<ULONG>& tags);
  static HRESULT DeleteSection(const std::string& profile, const MAPIUID& section);
  // Appends uid to, or removes it from, a UID-list property of a section.
  static HRESULT AddUid(const std::string& profile, const MAPIUID& section, ULONG tag, const MAPIUID& uid);
  static HRESULT RemoveUid(const std::string& profile, const MAPIUID& section, ULONG tag, const MAPIUID& uid);

  // The registry path of a profile's key (the root that has it, else the
  // first root).
  static std::string ProfileKey(const std::string& profile);
};

}  // namespace vantrel::mapi
