// MAPISVC.INF, the file that says which message services MAPI can put in a
// profile: "[Services]" lists service name = display name, a section per
// service gives its properties and "Providers=" the provider sections, and a
// section per provider gives the provider's properties. Property lines are
// "PR_NAME=value"; numbers may be symbolic ("SERVICE_NO_PRIMARY_IDENTITY",
// "STATUS_DEFAULT_STORE | STATUS_NEED_IPM_TREE", "MAPI_STORE_PROVIDER").
//
// The file is kept as its list of lines, so a rewrite keeps everything this
// code does not understand (comments, other sections, line order).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/mapi/ProfileStore.h"

namespace vantrel::mapi {

// The property tag of the personal-folders file path in a provider section.
inline constexpr ULONG PR_PST_PATH = PROP_TAG(PT_STRING8, 0x6700);
// The name of the built-in personal-folders service and its library.
inline constexpr char kPstService[] = "MSPST MS";
inline constexpr char kPstProvider[] = "MSPST MSP";
inline constexpr char kPstDll[] = "MSPST.DLL";
// PR_MDB_PROVIDER of personal-folders stores.
inline constexpr MAPIUID kPstMdbProvider = {
    {0x48, 0x98, 0x70, 0xdc, 0x7d, 0x1a, 0x41, 0x45, 0xa7, 0x7a, 0xff, 0xcf, 0x25, 0x3e, 0xdc, 0x15}};

class MapiSvcInf {
 public:
  using Entry = std::pair<std::string, std::string>;

  void Parse(const std::string& text);
  // Every line followed by "\n".
  std::string Serialize() const;
  HRESULT Load(const std::string& path);
  HRESULT Save(const std::string& path) const;

  // The key=value lines of a section (names compared without regard to
  // case), in file order; comments and blank lines are skipped.
  std::vector<Entry> Entries(const std::string& section) const;
  bool HasSection(const std::string& section) const;
  std::vector<Entry> Services() const { return Entries("Services"); }
  // Replaces the first line of that key in the section or appends one; a
  // missing section is appended at the end.
  void Set(const std::string& section, const std::string& key, const std::string& value);
  void RemoveSection(const std::string& section);

  // The folder of MAPI's own files (ZEL_MAPI_DIR, default
  // <user data home>/vantrel/mapi), and MAPISVC.INF in it.
  static std::string SystemDirectory();
  static std::string DefaultPath();
  // The text of the file MAPI ships.
  static std::string DefaultText();
  // Loads DefaultPath(), writing the shipped file there first when missing.
  static HRESULT LoadInstalled(MapiSvcInf* inf);
  // Registers MAPI's library in the SharedDLLs list of the local machine
  // (the MAPISVC.INF beside it is the one the service installers merge into).
  static HRESULT RegisterSharedDll();

  std::vector<std::string> lines;

 private:
  // Index of the header line of a section, or npos.
  size_t FindSection(const std::string& section) const;
};

// One "PR_NAME=value" line as a property. Unknown names and values that do
// not fit the type give MAPI_E_INVALID_PARAMETER; other keys of a section
// ("Providers", "WIZARD_ENTRY_NAME", ...) are MAPI_E_NOT_FOUND.
HRESULT InfPropFromLine(const std::string& key, const std::string& value, ProfProp* out);
// The tag of a published property name, 0 when unknown.
ULONG PropTagFromName(const std::string& name);

}  // namespace vantrel::mapi
