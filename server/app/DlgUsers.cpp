#include "server/app/DlgUsers.h"

#include <atomic>
#include <string>

#include "Libraries/MapiWrapper/TableHelpers.h"
#include "platform/win/Resources.h"
#include "server/app/DlgEditUser.h"
#include "server/app/MailboxProfile.h"
#include "server/app/UserDialogResources.h"
#include "server/app/ZelConfig.h"
#include "server/dispatch/ServerTrace.h"
#include "server/sessions/UserABContainer.h"

using vantrel::mapiwrapper::QueryAllRows;

namespace {

// The open user list; the window thread alone opens and closes it, other
// threads may look.
std::atomic<CDlgUsers*> g_open{nullptr};

constexpr int kColumnWidth = 200;

std::string ItemText(HWND list, int item, int sub) {
  char buffer[512] = {};
  ListView_GetItemText(list, item, sub, buffer, sizeof buffer);
  return buffer;
}

}  // namespace

CDlgUsers::CDlgUsers(CUserABContainer* directory, CZelConfig* config, HWND parent)
    : users_(directory), config_(config), parent_(parent) {
  directory_ = QueryWrap<CGenMapiContPtr>(directory);
}

CDlgUsers::~CDlgUsers() { ClearList(); }

CDlgUsers* CDlgUsers::Open() { return g_open.load(); }

INT_PTR CDlgUsers::DoModal() {
  CDlgUsers* expected = nullptr;
  if (!g_open.compare_exchange_strong(expected, this)) {
    // One list at a time: the other one comes to the front instead.
    if (HWND other = expected->Hwnd()) ShowWindow(other, SW_SHOW);
    return -1;
  }
  INT_PTR result = DialogBoxParamA(UserDialogResources(), MAKEINTRESOURCEA(IDD_USERS), parent_, &CDlgUsers::DialogProc,
                                   reinterpret_cast<LPARAM>(this));
  g_open.store(nullptr);
  return result;
}

INT_PTR CDlgUsers::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDlgUsers*>(lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
    self->OnInitDialog();
    return TRUE;
  }
  auto* self = reinterpret_cast<CDlgUsers*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (!self) return FALSE;
  INT_PTR result = self->OnMessage(msg, wParam, lParam);
  if (msg == WM_DESTROY) {
    self->ClearList();
    self->hwnd_ = nullptr;
    self->list_ = nullptr;
  }
  return result;
}

INT_PTR CDlgUsers::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NOTIFY) {
    const auto* hdr = reinterpret_cast<const NMHDR*>(lParam);
    if (hdr && hdr->idFrom == static_cast<UINT_PTR>(IDC_USERS_LIST) && hdr->code == NM_DBLCLK) {
      OnEdit();
      return TRUE;
    }
    return FALSE;
  }
  if (msg != WM_COMMAND || HIWORD(wParam) != BN_CLICKED) return FALSE;
  switch (LOWORD(wParam)) {
    case IDC_USERS_NEW:
      OnNew();
      return TRUE;
    case IDC_USERS_EDIT:
      OnEdit();
      return TRUE;
    case IDC_USERS_DELETE:
      OnDelete();
      return TRUE;
    case IDC_USERS_MAILBOX:
      OnMailbox();
      return TRUE;
    case IDOK:
      OnOK();
      return TRUE;
    case IDCANCEL:
      OnCancel();
      return TRUE;
    default:
      return FALSE;
  }
}

void CDlgUsers::OnInitDialog() {
  list_ = GetDlgItem(hwnd_, IDC_USERS_LIST);
  if (HWND manage = GetDlgItem(hwnd_, IDC_USERS_MANAGE)) {
    ShowWindow(manage, SW_HIDE);
    EnableWindow(manage, FALSE);
  }
  if (list_) {
    ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT);
    std::string headers[] = {UserDialogString(IDS_USERS_COLUMN_NAME, "Name"),
                             UserDialogString(IDS_USERS_COLUMN_ACCOUNT, "Account")};
    for (int i = 0; i < 2; ++i) {
      LVCOLUMNA column{};
      column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
      column.cx = kColumnWidth;
      column.pszText = headers[i].data();
      column.iSubItem = i;
      ListView_InsertColumn(list_, i, &column);
    }
  }
  FillList();
  CryptWarning();
}

void CDlgUsers::CryptWarning() {
  if (!users_ || !config_ || users_->UsersFileWasEncrypted() || config_->CrypWarn != 1) return;
  const std::string caption = UserDialogString(IDS_WARNING, "Warning");
  const std::string text = UserDialogString(IDS_CRYPT_WARNING, "The users file will be saved encrypted.");
  config_->CrypWarn = 0;
  MessageBox(hwnd_, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
  config_->Save();
}

void CDlgUsers::ClearList() {
  if (!list_) return;
  const int count = ListView_GetItemCount(list_);
  for (int i = 0; i < count; ++i) {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = i;
    if (ListView_GetItem(list_, &item)) delete reinterpret_cast<CBinary*>(item.lParam);
  }
  ListView_DeleteAllItems(list_);
}

void CDlgUsers::FillList() {
  if (!list_) return;
  ClearList();
  try {
    IMAPITablePtr table = directory_._rawContentsTable();
    CRowSet rows = QueryAllRows(table.get(), {PR_ENTRYID, PR_DISPLAY_NAME, PR_ACCOUNT});
    int position = 0;
    for (ULONG i = 0; i < rows.Count(); ++i) {
      CPropValue id = rows[i].Value(0);
      // Users created but never saved have no identifier yet: not listed.
      if (id.Type() != PT_BINARY) continue;
      CPropValue name = rows[i].Value(1), account = rows[i].Value(2);
      std::string display = name.Type() == PT_STRING8 ? name.ToString() : std::string();
      std::string login = account.Type() == PT_STRING8 ? account.ToString() : std::string();
      LVITEMA item{};
      item.mask = LVIF_TEXT | LVIF_PARAM;
      item.iItem = position;
      item.pszText = display.data();
      item.lParam = reinterpret_cast<LPARAM>(new CBinary(CBinary::FromPropValue(id.get())));
      const int index = ListView_InsertItem(list_, &item);
      if (index < 0) {
        delete reinterpret_cast<CBinary*>(item.lParam);
        continue;
      }
      ListView_SetItemText(list_, index, 1, login.data());
      ++position;
    }
  } catch (const CMAPIException& e) {
    vantrel::server::ServerLog("User list: %s failed (%s)\n", e.Context().c_str(),
                               vantrel::server::MapiErrorName(e.Hr()).c_str());
  }
}

std::vector<int> CDlgUsers::SelectedItems() const {
  std::vector<int> items;
  if (!list_) return items;
  for (int i = ListView_GetNextItem(list_, -1, LVNI_SELECTED); i >= 0; i = ListView_GetNextItem(list_, i, LVNI_SELECTED))
    items.push_back(i);
  return items;
}

const CBinary* CDlgUsers::ItemId(int item) const {
  LVITEMA lv{};
  lv.mask = LVIF_PARAM;
  lv.iItem = item;
  if (!ListView_GetItem(list_, &lv)) return nullptr;
  return reinterpret_cast<const CBinary*>(lv.lParam);
}

void CDlgUsers::OnNew() {
  struct Step {
    UINT id;
    const char* text;
  };
  static constexpr Step kCreate{IDS_USERS_STEP_CREATE, "Create a new user entry"};
  static constexpr Step kProperties{IDS_USERS_STEP_PROPERTIES, "Initializing properties"};
  static constexpr Step kDialog{IDS_USERS_STEP_DIALOG, "Starting dialog"};
  static constexpr Step kTable{IDS_USERS_STEP_TABLE, "Updating user table"};
  const Step* step = &kCreate;
  try {
    CGenMapiPropPtr entry;
    CheckHr(users_->CreateEntry(0, nullptr, 0, reinterpret_cast<LPMAPIPROP*>(entry.Receive())), "CreateEntry");
    step = &kProperties;
    entry.SetProp(PR_ZEL_ALL_PROFILES, true);
    step = &kDialog;
    CDlgEditUser edit(entry, config_, hwnd_);
    if (edit.DoModal() < 0) throw CMAPIException(MAPI_E_CALL_FAILED, "DialogBoxParam");
    step = &kTable;
    FillList();
  } catch (const CMAPIException&) {
    const std::string text = UserDialogString(IDS_USERS_NEW_FAILED, "Error opening user dialog\nlast action = %s",
                                              UserDialogString(step->id, step->text));
    MessageBox(hwnd_, text.c_str(), "Vantrel", MB_OK | MB_ICONERROR);
  }
}

void CDlgUsers::OnEdit() {
  std::vector<int> selected = SelectedItems();
  if (selected.empty()) return;
  const CBinary* id = ItemId(selected.front());
  if (!id) return;
  CGenMapiPropPtr entry;
  try {
    entry = directory_.OpenEntryv(*id, MAPI_BEST_ACCESS);
  } catch (const CMAPIException&) {
    return;  // gone meanwhile: the list stays as it is
  }
  CDlgEditUser edit(entry, config_, hwnd_);
  edit.DoModal();
  FillList();
}

void CDlgUsers::OnDelete() {
  std::vector<int> selected = SelectedItems();
  if (selected.empty()) return;
  std::vector<SBinary> ids;
  ids.reserve(selected.size());
  for (int item : selected) {
    const CBinary* id = ItemId(item);
    if (!id) return;
    ids.push_back(SBinary{id->Size(), const_cast<LPBYTE>(id->Data())});
  }
  ENTRYLIST list{static_cast<ULONG>(ids.size()), ids.data()};
  if (FAILED(users_->DeleteEntries(&list, 0))) return;
  for (auto it = selected.rbegin(); it != selected.rend(); ++it) {
    delete ItemId(*it);
    ListView_DeleteItem(list_, *it);
  }
}

void CDlgUsers::OnMailbox() {
  std::vector<int> selected = SelectedItems();
  if (selected.empty()) return;
  const std::string login = ItemText(list_, selected.front(), 1);
  const std::string display = ItemText(list_, selected.front(), 0);
  std::string message;
  const bool ok = CreateMailboxProfile(login, display, config_ ? config_->MailboxPath : std::string(), &message);
  const std::string text = ok ? UserDialogString(IDS_MAILBOX_CREATED, "Mailbox created: %s", message)
                              : UserDialogString(IDS_MAILBOX_FAILED, "Mailbox not created: %s", message);
  MessageBox(hwnd_, text.c_str(), "Vantrel", MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONERROR));
}

void CDlgUsers::OnOK() {
  // A file that could not be written keeps the list open: the changes are
  // still only in memory, and closing would report them as saved.
  bool saved = false;
  try {
    saved = users_->SaveUsersFile();
  } catch (const CMAPIException& e) {
    vantrel::server::ServerLog("Saving the users file failed (%s)\n", vantrel::server::MapiErrorName(e.Hr()).c_str());
  }
  if (!saved) {
    const std::string text = UserDialogString(IDS_USERS_SAVE_FAILED, "The users file could not be written.");
    MessageBox(hwnd_, text.c_str(), "Vantrel", MB_OK | MB_ICONERROR);
    return;
  }
  EndDialog(hwnd_, IDOK);
}

void CDlgUsers::OnCancel() {
  try {
    users_->Load();
  } catch (const CMAPIException& e) {
    vantrel::server::ServerLog("Reloading the users file failed (%s)\n", vantrel::server::MapiErrorName(e.Hr()).c_str());
  }
  EndDialog(hwnd_, IDCANCEL);
}
