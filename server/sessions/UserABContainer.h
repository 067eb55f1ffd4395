// The user directory: every person who may log on, as an in-memory
// address-book container (CUserABContainer) of property objects
// (CUserEntry), with a contents table of one row per user, persisted in the
// encrypted users file <home>/USERS.ZLF.
//
// Users file text (before encryption): one section per user, "[i]" with the
// entry's position, then one line "tag=value" per property in the entry's
// order: the tag in lowercase hexadecimal, booleans as 1 or 0, strings as
// they are, binaries as uppercase hexadecimal, longs in decimal.
//
// Locking: one recursive mutex, shared by the directory and its entries,
// guards the entry list, every entry's properties and the contents table.
// The remote-call threads (the logon's lookup) and the window thread (user
// administration, Load) take it for each call; CheckUser holds it for the
// whole lookup.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Libraries/MapiWrapper/MapiInclude.h"
#include "platform/base/ThreadAnnotations.h"

inline constexpr ULONG PR_ZEL_PASSWORD = 0x6800001E;
inline constexpr ULONG PR_ZEL_PROFILE_LIST = 0x6803001E;
inline constexpr ULONG PR_ZEL_ALL_PROFILES = 0x6804000B;
inline constexpr ULONG PR_ZEL_ADMINISTRATOR = 0x6717000B;

// The provider identifier inside every user's entry identifier.
inline constexpr GUID kUserDirectoryProvider = {
    0xB8909CC3, 0xA0BA, 0x4494, {0x87, 0x80, 0xD2, 0x01, 0x8C, 0xEB, 0x43, 0x1E}};
inline constexpr size_t kUserEntryIdSize = 44;

// The one lock of a directory and its entries; an entry reached through the
// directory's list is guarded by the same mutex under its own name, which
// code holding the directory's lock tells the analysis with AssertHeld.
using DirectoryLock = std::shared_ptr<vantrel::RecursiveMutex>;

// IMAPIProp in memory: an ordered list of values, one per property ID, each
// in its own MAPI block. IMailUser adds no methods to IMAPIProp, so the one
// class serves as both.
class CGenericIMAPIProp : public IMailUser {
 public:
  explicit CGenericIMAPIProp(DirectoryLock lock = std::make_shared<vantrel::RecursiveMutex>());

  // IUnknown. QueryInterface answers IUnknown, IMAPIProp and IMailUser with
  // this object and adds a reference.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IMAPIProp
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override;
  STDMETHOD(SaveChanges)(ULONG ulFlags) override;
  STDMETHOD(GetProps)
  (LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues, LPSPropValue* lppPropArray) override;
  STDMETHOD(GetPropList)(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override;
  STDMETHOD(OpenProperty)
  (ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags, LPUNKNOWN* lppUnk) override;
  STDMETHOD(SetProps)(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override;
  STDMETHOD(DeleteProps)(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override;
  STDMETHOD(CopyTo)
  (ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG_PTR ulUIParam,
   LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
   LPSPropProblemArray* lppProblems) override;
  STDMETHOD(CopyProps)
  (LPSPropTagArray lpIncludeProps, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj,
   ULONG ulFlags, LPSPropProblemArray* lppProblems) override;
  STDMETHOD(GetNamesFromIDs)
  (LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags, ULONG* lpcPropNames,
   LPMAPINAMEID** lpppPropNames) override;
  STDMETHOD(GetIDsFromNames)
  (ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags, LPSPropTagArray* lppPropTags) override;

  // Single-property operations behind GetProps, DeleteProps and SetProps.
  // GetProp copies the stored value with the same property ID (with its own
  // tag) into `out`, allocating more on `parent`; a missing one gives the
  // tag with PT_ERROR and MAPI_E_NOT_FOUND.
  // Each takes the (recursive) lock itself.
  virtual HRESULT GetProp(ULONG tag, SPropValue* out, LPVOID parent);
  virtual HRESULT DeleteProp(ULONG tag);
  virtual HRESULT SetProp(const SPropValue& value);

  const DirectoryLock& Lock() const { return lock_; }

 protected:
  ~CGenericIMAPIProp() override;

  const DirectoryLock lock_;

 private:
  std::atomic<ULONG> refs_{1};
  std::vector<LPSPropValue> props_ GUARDED_BY(*lock_);  // each a MAPI block
};

class CUserABContainer;

class CUserEntry : public CGenericIMAPIProp {
 public:
  explicit CUserEntry(DirectoryLock lock);

  // Display name from given name and surname when empty, a new entry
  // identifier from the display name, the users file when flags is
  // FORCE_SAVE, then the entry's table row.
  STDMETHOD(SaveChanges)(ULONG ulFlags) override;
  // Keeps a copy of PR_ENTRYID as it is set.
  HRESULT SetProp(const SPropValue& value) override;

  const std::vector<BYTE>& EntryId() const REQUIRES(*lock_) { return entry_id_; }

 private:
  friend class CUserABContainer;
  std::vector<BYTE> entry_id_ GUARDED_BY(*lock_);
  CUserABContainer* directory_ GUARDED_BY(*lock_) = nullptr;  // null once removed
};

// The 44-byte identifier for a display name: flags, provider GUID, zero,
// the first 19 name bytes zero-padded, zero.
std::vector<BYTE> UserEntryId(const std::string& display_name);

class CUserABContainer : public IABContainer {
 public:
  // The table is created here (a failure is thrown as CMAPIException);
  // `users_file` is where Load and SaveUsersFile go, normally
  // UsersFileIn(config.Path).
  explicit CUserABContainer(std::string users_file);
  static std::string UsersFileIn(const std::string& home);

  // IUnknown. QueryInterface answers IUnknown, IMAPIProp, IMAPIContainer
  // and IABContainer with this object and adds a reference.
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IMAPIProp, forwarded to the directory's own (empty) property object.
  STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override;
  STDMETHOD(SaveChanges)(ULONG ulFlags) override;
  STDMETHOD(GetProps)
  (LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues, LPSPropValue* lppPropArray) override;
  STDMETHOD(GetPropList)(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override;
  STDMETHOD(OpenProperty)
  (ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags, LPUNKNOWN* lppUnk) override;
  STDMETHOD(SetProps)(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override;
  STDMETHOD(DeleteProps)(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override;
  STDMETHOD(CopyTo)
  (ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG_PTR ulUIParam,
   LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
   LPSPropProblemArray* lppProblems) override;
  STDMETHOD(CopyProps)
  (LPSPropTagArray lpIncludeProps, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj,
   ULONG ulFlags, LPSPropProblemArray* lppProblems) override;
  STDMETHOD(GetNamesFromIDs)
  (LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags, ULONG* lpcPropNames,
   LPMAPINAMEID** lpppPropNames) override;
  STDMETHOD(GetIDsFromNames)
  (ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags, LPSPropTagArray* lppPropTags) override;

  // IMAPIContainer
  STDMETHOD(GetContentsTable)(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHOD(GetHierarchyTable)(ULONG ulFlags, LPMAPITABLE* lppTable) override;
  STDMETHOD(OpenEntry)
  (ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG ulFlags, ULONG* lpulObjType,
   LPUNKNOWN* lppUnk) override;
  STDMETHOD(SetSearchCriteria)(LPSRestriction lpRestriction, LPENTRYLIST lpContainerList, ULONG ulSearchFlags) override;
  STDMETHOD(GetSearchCriteria)
  (ULONG ulFlags, LPSRestriction* lppRestriction, LPENTRYLIST* lppContainerList, ULONG* lpulSearchState) override;

  // IABContainer
  STDMETHOD(CreateEntry)
  (ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulCreateFlags, LPMAPIPROP* lppMAPIPropEntry) override;
  STDMETHOD(CopyEntries)(LPENTRYLIST lpEntries, ULONG_PTR ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) override;
  STDMETHOD(DeleteEntries)(LPENTRYLIST lpEntries, ULONG ulFlags) override;
  STDMETHOD(ResolveNames)
  (LPSPropTagArray lpPropTagArray, ULONG ulFlags, LPADRLIST lpAdrList, LPFlagList lpFlagList) override;

  // Replaces the users in memory by exactly the users of the file. A MAPI
  // allocation failure is thrown as CMAPIException and leaves the
  // directory as it was.
  void Load();
  // Writes every entry to the users file, encrypted. False when the file
  // could not be written (the file on disk is then the old one).
  bool SaveUsersFile();
  // Appends `entry` (adopting the caller's reference) and writes its row.
  HRESULT AddEntry(CUserEntry* entry);
  // Writes the entry's contents-table row, giving it a free PR_ROWID first
  // when it has none (or one that another entry carries).
  HRESULT UpdateRow(CUserEntry* entry);

  // Whether the last Load found the users file encrypted (or missing).
  bool UsersFileWasEncrypted() const;
  const std::string& UsersFile() const { return users_file_; }
  size_t EntryCount() const;
  // The entry whose PR_ROWID is `row_id`, with a reference added; null if
  // none.
  CUserEntry* EntryByRowId(LONG row_id);
  const DirectoryLock& Lock() const { return lock_; }

  // The contents-table columns, in order.
  static const std::vector<ULONG>& ContentsColumns();

 protected:
  virtual ~CUserABContainer();

 private:
  void RemoveAll();
  std::string UsersFileText();

  const DirectoryLock lock_;
  std::atomic<ULONG> refs_{1};
  const std::string users_file_;
  CGenericIMAPIProp* own_props_;  // owned reference
  LPTABLEDATA table_ GUARDED_BY(*lock_) = nullptr;
  std::vector<CUserEntry*> entries_ GUARDED_BY(*lock_);  // one reference each
  bool users_file_encrypted_ GUARDED_BY(*lock_) = true;
};

// What the logon learns about an accepted user.
struct UserRights {
  bool all_profiles = true;           // PR_ZEL_ALL_PROFILES, TRUE when missing
  std::string profile_list;           // PR_ZEL_PROFILE_LIST as stored, "" when missing
  std::vector<std::string> profiles;  // its "(name)" items in order
};

// How the server finds a user: the server window holds the one directory
// and the logon calls CheckUser on it. CheckUser walks the contents table in order; a row whose
// PR_ACCOUNT equals `user` exactly (byte for byte) is checked against its
// entry's PR_ZEL_PASSWORD; the first row whose account and password both
// match accepts. An entry without a password ends the search with a
// refusal. On acceptance fills `rights` (may be null). Never throws.
bool CheckUser(CUserABContainer& directory, const std::string& user, const std::string& password, UserRights* rights);

// The names of a profile list "(a)(b)...".
std::vector<std::string> ParseProfileList(const std::string& list);
