#include "server/sessions/UserABContainer.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "Libraries/MapiWrapper/MapiException.h"
#include "Libraries/MapiWrapper/MapiPtr.h"
#include "Libraries/MapiWrapper/PropValue.h"
#include "Libraries/MapiWrapper/TableHelpers.h"
#include "platform/base/Guid.h"
#include "server/sessions/CryptFile.h"

using Guard = vantrel::RecursiveMutexLock;

namespace {

constexpr ULONG PR_ZEL_COLUMN_1 = 0x6801001E;  // columns only: nothing sets them
constexpr ULONG PR_ZEL_COLUMN_2 = 0x6802001E;

bool SameId(ULONG tag_a, ULONG tag_b) {
  return PROP_ID(tag_a) == PROP_ID(tag_b);
}

// A MAPI array of `n` values, zeroed.
LPSPropValue AllocValues(ULONG n) {
  LPSPropValue p = nullptr;
  CheckHr(MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * std::max<ULONG>(n, 1)),
                             reinterpret_cast<LPVOID*>(&p)));
  std::memset(p, 0, sizeof(SPropValue) * std::max<ULONG>(n, 1));
  return p;
}

LPSPropProblemArray NoProblems() {
  LPSPropProblemArray p = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(0)), reinterpret_cast<LPVOID*>(&p)) != S_OK) {
    return nullptr;
  }
  p->cProblem = 0;
  return p;
}

std::string StringProp(IMAPIProp* prop, ULONG tag, bool* present) {
  SizedSPropTagArray<1> tags;
  tags.aulPropTag[0] = tag;
  ULONG count = 0;
  LPSPropValue values = nullptr;
  HRESULT hr = prop->GetProps(tags.get(), 0, &count, &values);
  CPropArray owned(count, values);
  *present = SUCCEEDED(hr) && count == 1 && PROP_TYPE(values[0].ulPropTag) == PT_STRING8;
  return *present ? std::string(values[0].Value.lpszA) : std::string();
}

// One line of a users file section, without the line feed.
std::string PropertyLine(const SPropValue& v) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "%x=", v.ulPropTag);
  std::string value;
  if (PROP_TYPE(v.ulPropTag) == PT_BOOLEAN) {
    value = v.Value.b == 1 ? "1" : "0";
  } else {
    value = CPropValue::View(&v).ToString();
  }
  // A line break inside a value would end the line and let the rest be read
  // as further properties.
  std::replace(value.begin(), value.end(), '\n', ' ');
  std::replace(value.begin(), value.end(), '\r', ' ');
  return tag + value;
}

// Sets the value of one users file line on `entry`; false when the line
// carries nothing usable. *id_text receives the text of a PR_ENTRYID line.
bool ApplyLine(CUserEntry* entry, std::string_view line, std::string* id_text) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  ULONG tag = 0;
  size_t i = 0;
  for (; i < eq; ++i) {
    char c = line[i];
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (d < 0) break;
    tag = tag << 4 | static_cast<ULONG>(d);
  }
  if (i == 0) return false;
  std::string_view text = line.substr(eq + 1);
  CPropValue v;
  if (PROP_TYPE(tag) == PT_BOOLEAN) {
    v.SetBool(tag, !text.empty() && text[0] == '1');
  } else if (!v.FromString(tag, text)) {
    return false;
  }
  entry->SetProp(*v.get());
  if (tag == PR_ENTRYID) *id_text = std::string(text);
  return true;
}

}  // namespace

// ---- CGenericIMAPIProp -----------------------------------------------------

CGenericIMAPIProp::CGenericIMAPIProp(DirectoryLock lock) : lock_(std::move(lock)) {}

CGenericIMAPIProp::~CGenericIMAPIProp() {
  for (LPSPropValue p : props_) MAPIFreeBuffer(p);
}

HRESULT CGenericIMAPIProp::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IMAPIProp && riid != IID_IMailUser) return E_NOINTERFACE;
  *ppv = static_cast<IMailUser*>(this);
  AddRef();
  return S_OK;
}

ULONG CGenericIMAPIProp::AddRef() {
  return ++refs_;
}

ULONG CGenericIMAPIProp::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT CGenericIMAPIProp::GetLastError(HRESULT, ULONG, LPMAPIERROR* lppMAPIError) {
  if (lppMAPIError) *lppMAPIError = nullptr;
  return MAPI_E_NO_SUPPORT;
}

HRESULT CGenericIMAPIProp::SaveChanges(ULONG) {
  return MAPI_E_NO_SUPPORT;
}

HRESULT CGenericIMAPIProp::GetProps(LPSPropTagArray lpPropTagArray, ULONG, ULONG* lpcValues,
                                    LPSPropValue* lppPropArray) {
  if (!lpcValues || !lppPropArray) return MAPI_E_INVALID_PARAMETER;
  Guard g(*lock_);
  // No tag array: every stored property.
  std::vector<ULONG> tags;
  if (lpPropTagArray) {
    tags.assign(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
  } else {
    for (LPSPropValue p : props_) tags.push_back(p->ulPropTag);
  }
  LPSPropValue out = nullptr;
  try {
    out = AllocValues(static_cast<ULONG>(tags.size()));
  } catch (const CMAPIException& e) {
    return e.Hr();
  }
  for (size_t i = 0; i < tags.size(); ++i) {
    HRESULT hr = GetProp(tags[i], &out[i], out);
    if (FAILED(hr) && hr != MAPI_E_NOT_FOUND) {
      MAPIFreeBuffer(out);
      return hr;
    }
  }
  *lpcValues = static_cast<ULONG>(tags.size());
  *lppPropArray = out;
  return S_OK;
}

HRESULT CGenericIMAPIProp::GetProp(ULONG tag, SPropValue* out, LPVOID parent) {
  Guard g(*lock_);
  for (LPSPropValue p : props_) {
    if (SameId(p->ulPropTag, tag)) return PropCopyMore(out, p, MAPIAllocateMore, parent);
  }
  out->ulPropTag = CHANGE_PROP_TYPE(tag, PT_ERROR);
  out->Value.err = MAPI_E_NOT_FOUND;
  return MAPI_E_NOT_FOUND;
}

HRESULT CGenericIMAPIProp::GetPropList(ULONG, LPSPropTagArray* lppPropTagArray) {
  if (!lppPropTagArray) return MAPI_E_INVALID_PARAMETER;
  Guard g(*lock_);
  LPSPropTagArray arr = nullptr;
  HRESULT hr =
      MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(props_.size())), reinterpret_cast<LPVOID*>(&arr));
  if (FAILED(hr)) return hr;
  arr->cValues = static_cast<ULONG>(props_.size());
  for (size_t i = 0; i < props_.size(); ++i) arr->aulPropTag[i] = props_[i]->ulPropTag;
  *lppPropTagArray = arr;
  return S_OK;
}

HRESULT CGenericIMAPIProp::OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* lppUnk) {
  if (lppUnk) *lppUnk = nullptr;
  return MAPI_E_NO_SUPPORT;
}

HRESULT CGenericIMAPIProp::SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) {
  if (cValues && !lpPropArray) return MAPI_E_INVALID_PARAMETER;
  Guard g(*lock_);
  for (ULONG i = 0; i < cValues; ++i) {
    HRESULT hr = SetProp(lpPropArray[i]);
    if (FAILED(hr)) return hr;
  }
  if (lppProblems) *lppProblems = NoProblems();
  return S_OK;
}

HRESULT CGenericIMAPIProp::SetProp(const SPropValue& value) {
  LPSPropValue copy = nullptr;
  HRESULT hr = MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<LPVOID*>(&copy));
  if (FAILED(hr)) return hr;
  hr = PropCopyMore(copy, const_cast<LPSPropValue>(&value), MAPIAllocateMore, copy);
  if (FAILED(hr)) {
    MAPIFreeBuffer(copy);
    return hr;
  }
  Guard g(*lock_);
  for (LPSPropValue& p : props_) {
    if (SameId(p->ulPropTag, value.ulPropTag)) {
      MAPIFreeBuffer(p);
      p = copy;
      return S_OK;
    }
  }
  props_.push_back(copy);
  return S_OK;
}

HRESULT CGenericIMAPIProp::DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) {
  if (!lpPropTagArray) return MAPI_E_INVALID_PARAMETER;
  Guard g(*lock_);
  std::vector<SPropProblem> problems;
  HRESULT last = S_OK;
  for (ULONG i = 0; i < lpPropTagArray->cValues; ++i) {
    ULONG tag = lpPropTagArray->aulPropTag[i];
    last = DeleteProp(tag);
    if (last == MAPI_E_NOT_FOUND && lppProblems) {
      problems.push_back({i, tag, MAPI_E_NOT_FOUND});
      last = S_OK;
    }
  }
  if (lppProblems) {
    LPSPropProblemArray arr = nullptr;
    HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(problems.size())),
                                    reinterpret_cast<LPVOID*>(&arr));
    if (FAILED(hr)) return hr;
    arr->cProblem = static_cast<ULONG>(problems.size());
    for (size_t i = 0; i < problems.size(); ++i) arr->aProblem[i] = problems[i];
    *lppProblems = arr;
  }
  return last;
}

HRESULT CGenericIMAPIProp::DeleteProp(ULONG tag) {
  Guard g(*lock_);
  for (auto it = props_.begin(); it != props_.end(); ++it) {
    if (SameId((*it)->ulPropTag, tag)) {
      MAPIFreeBuffer(*it);
      props_.erase(it);
      return S_OK;
    }
  }
  return MAPI_E_NOT_FOUND;
}

HRESULT CGenericIMAPIProp::CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                  LPSPropProblemArray*) {
  return MAPI_E_NO_SUPPORT;
}

HRESULT CGenericIMAPIProp::CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                     LPSPropProblemArray*) {
  return MAPI_E_NO_SUPPORT;
}

HRESULT CGenericIMAPIProp::GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) {
  return MAPI_E_NO_SUPPORT;
}

HRESULT CGenericIMAPIProp::GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) {
  return MAPI_E_NO_SUPPORT;
}

// ---- CUserEntry ------------------------------------------------------------

std::vector<BYTE> UserEntryId(const std::string& display_name) {
  std::vector<BYTE> id(kUserEntryIdSize, 0);
  std::array<std::uint8_t, 16> guid = vantrel::GuidToBytes(kUserDirectoryProvider);
  std::memcpy(&id[4], guid.data(), guid.size());
  // The ANSI code page is single-byte, so no character is ever cut in half.
  std::memcpy(&id[24], display_name.data(), std::min<size_t>(display_name.size(), 19));
  return id;
}

CUserEntry::CUserEntry(DirectoryLock lock) : CGenericIMAPIProp(std::move(lock)) {}

HRESULT CUserEntry::SetProp(const SPropValue& value) {
  if (value.ulPropTag == PR_ENTRYID) {
    Guard g(*lock_);
    entry_id_.assign(value.Value.bin.lpb, value.Value.bin.lpb + value.Value.bin.cb);
  }
  return CGenericIMAPIProp::SetProp(value);
}

HRESULT CUserEntry::SaveChanges(ULONG ulFlags) {
  Guard g(*lock_);
  bool has_display = false, has_surname = false, has_given = false;
  std::string display = StringProp(this, PR_DISPLAY_NAME, &has_display);
  if (display.empty()) {
    std::string surname = StringProp(this, PR_SURNAME, &has_surname);
    std::string given = StringProp(this, PR_GIVEN_NAME, &has_given);
    display = given + " " + surname;
    try {
      CPropValue v;
      v.SetString(PR_DISPLAY_NAME, display);
      if (HRESULT hr = SetProp(*v.get()); FAILED(hr)) return hr;
    } catch (const CMAPIException& e) {
      return e.Hr();
    }
  }
  std::vector<BYTE> id = UserEntryId(display);
  SPropValue idv{};
  idv.ulPropTag = PR_ENTRYID;
  idv.Value.bin.cb = static_cast<ULONG>(id.size());
  idv.Value.bin.lpb = id.data();
  HRESULT result = SetProp(idv);
  if (FAILED(result)) return result;
  if (directory_) {
    if (ulFlags == FORCE_SAVE) directory_->SaveUsersFile();
    if (HRESULT hr = directory_->UpdateRow(this); FAILED(hr)) return hr;
  }
  return result;
}

// ---- CUserABContainer --------------------------------------------------------

const std::vector<ULONG>& CUserABContainer::ContentsColumns() {
  static const std::vector<ULONG> columns = {
      PR_ROWID,
      PR_ENTRYID,
      PR_DEPARTMENT_NAME,
      PR_POSTAL_ADDRESS,
      PR_ACCOUNT,
      PR_DISPLAY_NAME,
      PR_ZEL_PASSWORD,
      PR_POST_OFFICE_BOX,
      PR_COMPANY_NAME,
      PR_INITIALS,
      PR_SURNAME,
      PR_POSTAL_ADDRESS,
      PR_POSTAL_CODE,
      PR_LOCALITY,
      PR_BUSINESS2_TELEPHONE_NUMBER,
      PR_STATE_OR_PROVINCE,
      PR_BUSINESS_TELEPHONE_NUMBER,
      PR_TITLE,
      PR_GIVEN_NAME,
      PR_EMAIL_ADDRESS,
      PR_ZEL_COLUMN_1,
      PR_ZEL_COLUMN_2,
  };
  return columns;
}

CUserABContainer::CUserABContainer(std::string users_file)
    : lock_(std::make_shared<vantrel::RecursiveMutex>()),
      users_file_(std::move(users_file)),
      own_props_(new CGenericIMAPIProp(lock_)) {
  const std::vector<ULONG>& cols = ContentsColumns();
  std::vector<BYTE> buf(CbNewSPropTagArray(cols.size()));
  auto* arr = reinterpret_cast<LPSPropTagArray>(buf.data());
  arr->cValues = static_cast<ULONG>(cols.size());
  std::copy(cols.begin(), cols.end(), arr->aulPropTag);
  CheckHr(CreateTable(&IID_IMAPITableData, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr,
                      TBLTYPE_DYNAMIC, PR_ROWID, arr, &table_));
}

CUserABContainer::~CUserABContainer() {
  RemoveAll();
  if (table_) table_->Release();
  own_props_->Release();
}

HRESULT CUserABContainer::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IMAPIProp && riid != IID_IMAPIContainer && riid != IID_IABContainer) {
    return E_NOINTERFACE;
  }
  *ppv = static_cast<IABContainer*>(this);
  AddRef();
  return S_OK;
}

ULONG CUserABContainer::AddRef() {
  return ++refs_;
}

ULONG CUserABContainer::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT CUserABContainer::GetLastError(HRESULT h, ULONG f, LPMAPIERROR* e) {
  return own_props_->GetLastError(h, f, e);
}
HRESULT CUserABContainer::SaveChanges(ULONG f) {
  return own_props_->SaveChanges(f);
}
HRESULT CUserABContainer::GetProps(LPSPropTagArray t, ULONG f, ULONG* c, LPSPropValue* v) {
  return own_props_->GetProps(t, f, c, v);
}
HRESULT CUserABContainer::GetPropList(ULONG f, LPSPropTagArray* t) {
  return own_props_->GetPropList(f, t);
}
HRESULT CUserABContainer::OpenProperty(ULONG t, LPCIID i, ULONG o, ULONG f, LPUNKNOWN* u) {
  return own_props_->OpenProperty(t, i, o, f, u);
}
HRESULT CUserABContainer::SetProps(ULONG c, LPSPropValue v, LPSPropProblemArray* p) {
  return own_props_->SetProps(c, v, p);
}
HRESULT CUserABContainer::DeleteProps(LPSPropTagArray t, LPSPropProblemArray* p) {
  return own_props_->DeleteProps(t, p);
}
HRESULT CUserABContainer::CopyTo(ULONG a, LPCIID b, LPSPropTagArray c, ULONG_PTR d, LPMAPIPROGRESS e, LPCIID f,
                                 LPVOID g, ULONG h, LPSPropProblemArray* i) {
  return own_props_->CopyTo(a, b, c, d, e, f, g, h, i);
}
HRESULT CUserABContainer::CopyProps(LPSPropTagArray a, ULONG_PTR b, LPMAPIPROGRESS c, LPCIID d, LPVOID e, ULONG f,
                                    LPSPropProblemArray* g) {
  return own_props_->CopyProps(a, b, c, d, e, f, g);
}
HRESULT CUserABContainer::GetNamesFromIDs(LPSPropTagArray* a, LPGUID b, ULONG c, ULONG* d, LPMAPINAMEID** e) {
  return own_props_->GetNamesFromIDs(a, b, c, d, e);
}
HRESULT CUserABContainer::GetIDsFromNames(ULONG a, LPMAPINAMEID* b, ULONG c, LPSPropTagArray* d) {
  return own_props_->GetIDsFromNames(a, b, c, d);
}

HRESULT CUserABContainer::GetContentsTable(ULONG, LPMAPITABLE* lppTable) {
  if (!lppTable) return MAPI_E_INVALID_PARAMETER;
  Guard g(*lock_);
  return table_->HrGetView(nullptr, nullptr, 0, lppTable);
}

HRESULT CUserABContainer::GetHierarchyTable(ULONG, LPMAPITABLE* lppTable) {
  if (lppTable) *lppTable = nullptr;
  return MAPI_E_NO_SUPPORT;
}

HRESULT CUserABContainer::OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID, ULONG, ULONG* lpulObjType,
                                    LPUNKNOWN* lppUnk) {
  if (!lppUnk || (cbEntryID && !lpEntryID)) return MAPI_E_INVALID_PARAMETER;
  Guard g(*lock_);
  const BYTE* want = reinterpret_cast<const BYTE*>(lpEntryID);
  for (CUserEntry* e : entries_) {
    SizedSPropTagArray<1> tags;
    tags.aulPropTag[0] = PR_ENTRYID;
    ULONG count = 0;
    LPSPropValue v = nullptr;
    if (FAILED(e->GetProps(tags.get(), 0, &count, &v))) continue;
    CPropArray owned(count, v);
    if (PROP_TYPE(v[0].ulPropTag) != PT_BINARY || v[0].Value.bin.cb != cbEntryID) continue;
    if (cbEntryID && std::memcmp(v[0].Value.bin.lpb, want, cbEntryID) != 0) continue;
    e->AddRef();
    *lppUnk = static_cast<IMailUser*>(e);
    if (lpulObjType) *lpulObjType = MAPI_MAILUSER;
    return S_OK;
  }
  return MAPI_E_NOT_FOUND;
}

HRESULT CUserABContainer::SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) {
  return MAPI_E_NO_SUPPORT;
}

HRESULT CUserABContainer::GetSearchCriteria(ULONG, LPSRestriction*, LPENTRYLIST*, ULONG*) {
  return MAPI_E_NO_SUPPORT;
}

HRESULT CUserABContainer::CreateEntry(ULONG, LPENTRYID, ULONG, LPMAPIPROP* lppMAPIPropEntry) {
  if (!lppMAPIPropEntry) return MAPI_E_INVALID_PARAMETER;
  Guard g(*lock_);
  auto* entry = new CUserEntry(lock_);
  entry->AddRef();  // the caller's reference; AddEntry adopts the first
  HRESULT hr = AddEntry(entry);
  if (FAILED(hr)) {
    entry->Release();
    return hr;
  }
  *lppMAPIPropEntry = entry;
  return S_OK;
}

HRESULT CUserABContainer::CopyEntries(LPENTRYLIST, ULONG_PTR, LPMAPIPROGRESS, ULONG) {
  return MAPI_E_NO_SUPPORT;
}

HRESULT CUserABContainer::DeleteEntries(LPENTRYLIST lpEntries, ULONG) {
  if (!lpEntries) return MAPI_E_INVALID_PARAMETER;
  Guard g(*lock_);
  bool deleted = false;
  for (size_t i = entries_.size(); i-- > 0;) {
    CUserEntry* e = entries_[i];
    e->lock_->AssertHeld();  // the directory's lock
    bool match = false;
    for (ULONG k = 0; k < lpEntries->cValues && !match; ++k) {
      const SBinary& b = lpEntries->lpbin[k];
      match =
          !e->entry_id_.empty() && b.cb == e->entry_id_.size() && std::memcmp(b.lpb, e->entry_id_.data(), b.cb) == 0;
    }
    if (!match) continue;
    SizedSPropTagArray<1> tags;
    tags.aulPropTag[0] = PR_ROWID;
    ULONG count = 0;
    LPSPropValue v = nullptr;
    if (SUCCEEDED(e->GetProps(tags.get(), 0, &count, &v))) {
      CPropArray owned(count, v);
      if (PROP_TYPE(v[0].ulPropTag) == PT_LONG) table_->HrDeleteRow(&v[0]);
    }
    e->directory_ = nullptr;
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
    e->Release();
    deleted = true;
  }
  return deleted ? S_OK : MAPI_E_NOT_FOUND;
}

HRESULT CUserABContainer::ResolveNames(LPSPropTagArray, ULONG, LPADRLIST, LPFlagList) {
  return MAPI_E_NO_SUPPORT;
}

HRESULT CUserABContainer::AddEntry(CUserEntry* entry) {
  Guard g(*lock_);
  entry->lock_->AssertHeld();  // entries are made with the directory's lock
  entries_.push_back(entry);
  entry->directory_ = this;
  return UpdateRow(entry);
}

HRESULT CUserABContainer::UpdateRow(CUserEntry* entry) {
  Guard g(*lock_);
  const std::vector<ULONG>& cols = ContentsColumns();
  SizedSPropTagArray<22> tags;
  std::copy(cols.begin(), cols.end(), tags.aulPropTag);
  ULONG count = 0;
  LPSPropValue row = nullptr;
  HRESULT hr = entry->GetProps(tags.get(), 0, &count, &row);
  if (FAILED(hr)) return hr;
  CPropArray owned(count, row);

  // Row identifiers of the other entries: a missing or taken one is
  // replaced, so that no row of another user is ever overwritten.
  std::set<LONG> taken;
  size_t position = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i] == entry) {
      position = i + 1;
      continue;
    }
    SizedSPropTagArray<1> one;
    one.aulPropTag[0] = PR_ROWID;
    ULONG c = 0;
    LPSPropValue v = nullptr;
    if (SUCCEEDED(entries_[i]->GetProps(one.get(), 0, &c, &v))) {
      CPropArray o(c, v);
      if (PROP_TYPE(v[0].ulPropTag) == PT_LONG) taken.insert(v[0].Value.l);
    }
  }
  if (PROP_TYPE(row[0].ulPropTag) != PT_LONG || taken.count(row[0].Value.l)) {
    LONG id = static_cast<LONG>(position ? position : entries_.size() + 1);
    if (taken.count(id)) id = *taken.rbegin() + 1;
    SPropValue rid{};
    rid.ulPropTag = PR_ROWID;
    rid.Value.l = id;
    if (HRESULT shr = entry->SetProp(rid); FAILED(shr)) return shr;
    row[0] = rid;
  }
  SRow srow{0, count, row};
  return table_->HrModifyRow(&srow);
}

void CUserABContainer::RemoveAll() {
  Guard g(*lock_);
  for (CUserEntry* e : entries_) {
    e->lock_->AssertHeld();  // the directory's lock
    SizedSPropTagArray<1> tags;
    tags.aulPropTag[0] = PR_ROWID;
    ULONG count = 0;
    LPSPropValue v = nullptr;
    if (table_ && SUCCEEDED(e->GetProps(tags.get(), 0, &count, &v))) {
      CPropArray owned(count, v);
      if (PROP_TYPE(v[0].ulPropTag) == PT_LONG) table_->HrDeleteRow(&v[0]);
    }
    e->directory_ = nullptr;
    e->Release();
  }
  entries_.clear();
}

void CUserABContainer::Load() {
  CCryptFile file;
  std::string text = file.Read(users_file_);

  // Parse into entries of our own first; the directory changes only once the
  // whole file has been read.
  std::vector<CUserEntry*> loaded;
  std::set<std::string> seen;
  CUserEntry* current = nullptr;
  std::string current_id;
  auto end_user = [&] {
    if (!current) return;
    Guard entry_lock(*current->lock_);
    if (current->EntryId().empty() || current_id.empty() || !seen.insert(current_id).second) {
      current->Release();
    } else {
      loaded.push_back(current);
    }
    current = nullptr;
    current_id.clear();
  };
  try {
    std::string_view rest = text;
    while (!rest.empty()) {
      size_t nl = rest.find('\n');
      std::string_view line = rest.substr(0, nl);
      rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!line.empty() && line[0] == '[') {
        end_user();
        current = new CUserEntry(lock_);
        continue;
      }
      if (current) ApplyLine(current, line, &current_id);
    }
    end_user();
  } catch (...) {
    if (current) current->Release();
    for (CUserEntry* e : loaded) e->Release();
    throw;
  }

  Guard g(*lock_);
  users_file_encrypted_ = file.Encrypted() != 0;
  RemoveAll();
  for (CUserEntry* e : loaded) AddEntry(e);
}

std::string CUserABContainer::UsersFileText() {
  Guard g(*lock_);
  std::string text;
  int index = 0;
  for (CUserEntry* e : entries_) {
    LPSPropTagArray list = nullptr;
    if (FAILED(e->GetPropList(0, &list))) continue;
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = e->GetProps(list, 0, &count, &values);
    MAPIFreeBuffer(list);
    if (FAILED(hr)) continue;
    CPropArray owned(count, values);
    text += "[" + std::to_string(index++) + "]\n";
    for (ULONG i = 0; i < count; ++i) text += PropertyLine(values[i]) + "\n";
  }
  return text;
}

bool CUserABContainer::SaveUsersFile() {
  // Held across the write, so that two saves cannot land out of order.
  Guard g(*lock_);
  CCryptFile file;
  return file.Write(UsersFileText(), users_file_, true);
}

std::string CUserABContainer::UsersFileIn(const std::string& home) {
  if (!home.empty() && home.back() == '/') return home + "USERS.ZLF";
  return home + "/USERS.ZLF";
}

bool CUserABContainer::UsersFileWasEncrypted() const {
  Guard g(*lock_);
  return users_file_encrypted_;
}

size_t CUserABContainer::EntryCount() const {
  Guard g(*lock_);
  return entries_.size();
}

CUserEntry* CUserABContainer::EntryByRowId(LONG row_id) {
  Guard g(*lock_);
  for (CUserEntry* e : entries_) {
    e->lock_->AssertHeld();  // the directory's lock
    SizedSPropTagArray<1> tags;
    tags.aulPropTag[0] = PR_ROWID;
    ULONG count = 0;
    LPSPropValue v = nullptr;
    if (FAILED(e->GetProps(tags.get(), 0, &count, &v))) continue;
    CPropArray owned(count, v);
    if (PROP_TYPE(v[0].ulPropTag) == PT_LONG && v[0].Value.l == row_id) {
      e->AddRef();
      return e;
    }
  }
  return nullptr;
}

// ---- the logon's lookup ----------------------------------------------------

std::vector<std::string> ParseProfileList(const std::string& list) {
  std::vector<std::string> names;
  size_t pos = 0;
  while ((pos = list.find('(', pos)) != std::string::npos) {
    size_t close = list.find(')', pos + 1);
    if (close == std::string::npos) break;
    names.push_back(list.substr(pos + 1, close - pos - 1));
    pos = close + 1;
  }
  return names;
}

bool CheckUser(CUserABContainer& directory, const std::string& user, const std::string& password, UserRights* rights) {
  try {
    Guard g(*directory.Lock());
    IMAPITablePtr table;
    CheckHr(directory.GetContentsTable(0, table.Receive()));
    CRowSet rows = vantrel::mapiwrapper::QueryAllRows(table.get(), {PR_ACCOUNT, PR_ENTRYID, PR_ROWID});
    for (ULONG r = 0; r < rows.Count(); ++r) {
      CRow row = rows[r];
      CPropValue account = row[0];
      if (!account.Present() || account.Type() != PT_STRING8 || user != account->Value.lpszA) continue;
      // The row's own entry: entry identifiers of users whose display names
      // share their first 19 bytes are equal, row identifiers never are.
      CGenMapiPropPtr entry;
      CPropValue rowid = row[2];
      if (rowid.Present() && rowid.Type() == PT_LONG) {
        entry.Attach(directory.EntryByRowId(rowid->Value.l));
      }
      if (!entry) {
        CBinary id = CBinary::FromPropValue(row[1].get());
        ULONG type = 0;
        IUnknown* unk = nullptr;
        if (FAILED(directory.OpenEntry(id.Size(), id.AsEntryID(), nullptr, MAPI_BEST_ACCESS, &type, &unk))) continue;
        entry = QueryWrap<CGenMapiPropPtr>(unk);
        unk->Release();
        if (!entry) continue;
      }
      CPropArray props = entry.GetProps({PR_ZEL_PASSWORD, PR_ZEL_PROFILE_LIST, PR_ZEL_ALL_PROFILES});
      CPropValue pw = props[0];
      if (pw.Type() != PT_STRING8) return false;  // no password: refused
      if (password != pw->Value.lpszA) continue;
      if (rights) {
        CPropValue list = props[1], all = props[2];
        rights->profile_list = list.Type() == PT_STRING8 ? list->Value.lpszA : "";
        rights->profiles = ParseProfileList(rights->profile_list);
        rights->all_profiles = all.Type() == PT_BOOLEAN ? all->Value.b != 0 : true;
      }
      return true;
    }
  } catch (const CMAPIException&) {
  }
  return false;
}
