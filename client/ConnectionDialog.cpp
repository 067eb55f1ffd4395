#include "client/ConnectionDialog.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "client/ClientCall.h"
#include "client/ClientModule.h"
#include "client/ServerBrowser.h"
#include "client/ZelDirectory.h"
#include "platform/base/CodePage.h"
#include "platform/base/SystemInfo.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/win/Dialog.h"
#include "platform/win/MessageBox.h"

namespace vantrel::client {
namespace {

constexpr size_t kFieldSize = 260;

std::string Field(const char* field) { return std::string(field, strnlen(field, kFieldSize)); }

void PutField(char* field, const std::string& text) {
  size_t n = std::min(text.size(), kFieldSize - 1);
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, kFieldSize - n);
}

class WaitCursor {
 public:
  WaitCursor() : old_(SetCursor(LoadCursor(nullptr, IDC_WAIT))) {}
  ~WaitCursor() { SetCursor(old_ ? old_ : LoadCursor(nullptr, IDC_ARROW)); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  HCURSOR old_;
};

// A property value as a list shows it; false for a type without a text form.
bool ValueText(const SPropValue& value, std::string* text) {
  switch (PROP_TYPE(value.ulPropTag)) {
    case PT_STRING8:
      *text = value.Value.lpszA ? value.Value.lpszA : "";
      return true;
    case PT_UNICODE:
      *text = value.Value.lpszW ? Utf16ToAnsi(value.Value.lpszW) : "";
      return true;
    case PT_LONG:
      *text = std::to_string(value.Value.l);
      return true;
    default:
      return false;
  }
}

}  // namespace

std::vector<std::string> SplitNameList(const std::vector<BYTE>& block) {
  std::vector<std::string> names;
  std::string name;
  for (BYTE b : block) {
    char c = static_cast<char>(b);
    if (c == '\0') break;
    if (c == '(') continue;
    if (c == ')') {
      if (!name.empty()) names.push_back(name);
      name.clear();
      continue;
    }
    if (name.size() < kFieldSize - 1) name += c;
  }
  return names;
}

CConnectionDialog::~CConnectionDialog() { ReleaseAdminLogon(); }

INT_PTR CConnectionDialog::Run(HWND owner) {
  return DialogBoxParam(ClientResources(), MAKEINTRESOURCE(kDialogConnection), owner, Proc,
                        reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CConnectionDialog::Proc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CConnectionDialog*>(lp);
    SetWindowLongPtr(dialog, DWLP_USER, lp);
    self->dialog_ = dialog;
    self->OnInit();
    return TRUE;
  }
  auto* self = reinterpret_cast<CConnectionDialog*>(GetWindowLongPtr(dialog, DWLP_USER));
  if (!self) return FALSE;
  switch (msg) {
    case WM_COMMAND:
      self->OnCommand(LOWORD(wp), HIWORD(wp));
      return TRUE;
    case WM_NOTIFY: {
      LRESULT r = self->OnNotify(reinterpret_cast<NMHDR*>(lp));
      SetWindowLongPtr(dialog, DWLP_MSGRESULT, r);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

std::string CConnectionDialog::Text(int id) const {
  char text[kFieldSize] = "";
  GetDlgItemText(dialog_, id, text, sizeof text);
  return text;
}

std::string CConnectionDialog::ItemText(HTREEITEM item) const {
  char text[kFieldSize] = "";
  TVITEMA tv{};
  tv.mask = TVIF_TEXT;
  tv.hItem = item;
  tv.pszText = text;
  tv.cchTextMax = sizeof text;
  TreeView_GetItem(GetDlgItem(dialog_, kIdProfiles), &tv);
  return text;
}

void CConnectionDialog::OnInit() {
  char cls[32] = "";
  GetClassNameA(GetDlgItem(dialog_, kIdLogin), cls, sizeof cls);
  login_is_list_ = strcasecmp(cls, WC_COMBOBOXA) == 0;
  for (int id : {kIdComputer, kIdLogin, kIdPassword, kIdConnection}) {
    SendDlgItemMessage(dialog_, id, EM_LIMITTEXT, kFieldSize - 1, 0);
  }
  std::string login = Field(record_->login);
  if (login.empty()) login = UserName();
  const std::string connection = Field(record_->connection);
  SetDlgItemText(dialog_, kIdLogin, login.c_str());
  SetDlgItemText(dialog_, kIdPassword, Field(record_->password).c_str());
  SetDlgItemText(dialog_, kIdConnection, connection.c_str());
  SetDlgItemText(dialog_, kIdComputer, connection.substr(0, connection.find('(')).c_str());
  EnableWindow(GetDlgItem(dialog_, kIdConnect), !login.empty());
  EnableWindow(GetDlgItem(dialog_, IDOK), !connection.empty());
  browsed_ = false;
  connect_failed_ = false;
}

void CConnectionDialog::OnCommand(int id, int code) {
  switch (id) {
    case kIdComputer:
      if (code == CBN_DROPDOWN && !browsed_) {
        Browse();
      } else if (code == CBN_SELCHANGE) {
        // The binding to a chosen computer is made at once; the process
        // keeps it for the Connect that usually follows.
        LRESULT i = SendDlgItemMessage(dialog_, kIdComputer, CB_GETCURSEL, 0, 0);
        char name[kFieldSize] = "";
        if (i >= 0 && SendDlgItemMessage(dialog_, kIdComputer, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) <
                          static_cast<LRESULT>(sizeof name)) {
          SendDlgItemMessage(dialog_, kIdComputer, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(name));
          InitClient(name, nullptr);
        }
        connect_failed_ = false;
      } else if (code == CBN_EDITCHANGE) {
        connect_failed_ = false;
      }
      break;
    case kIdLogin:
      if (login_is_list_ && code == CBN_DROPDOWN) {
        FillUserList();
      } else if (login_is_list_ && code == CBN_SELCHANGE) {
        EnableWindow(GetDlgItem(dialog_, kIdConnect), TRUE);
        connect_failed_ = false;
      } else if (code == EN_CHANGE || (login_is_list_ && code == CBN_EDITCHANGE)) {
        EnableWindow(GetDlgItem(dialog_, kIdConnect), !Text(kIdLogin).empty());
        connect_failed_ = false;
      }
      break;
    case kIdPassword:
      if (code == EN_CHANGE) connect_failed_ = false;
      break;
    case kIdConnection:
      if (code == EN_CHANGE) EnableWindow(GetDlgItem(dialog_, IDOK), !Text(kIdConnection).empty());
      break;
    case kIdConnect:
      if (code == BN_CLICKED && !connect_failed_) Connect();
      break;
    case IDOK:
      if (code == BN_CLICKED) {
        PutField(record_->login, Text(kIdLogin));
        PutField(record_->password, Text(kIdPassword));
        PutField(record_->connection, Text(kIdConnection));
        EndDialog(dialog_, IDOK);
      }
      break;
    case IDCANCEL:
      EndDialog(dialog_, IDCANCEL);
      break;
    default:
      break;
  }
}

LRESULT CConnectionDialog::OnNotify(NMHDR* header) {
  if (static_cast<int>(header->idFrom) != kIdProfiles) return 0;
  auto* nm = reinterpret_cast<NMTREEVIEWA*>(header);
  if (header->code == TVN_ITEMEXPANDING) ExpandProfile(nm->itemNew.hItem);
  if (header->code == TVN_SELCHANGED) SelectItem(nm->itemNew.hItem);
  return 0;
}

void CConnectionDialog::Browse() {
  browsed_ = true;
  WaitCursor wait;
  for (const std::string& name : ProbeServers(EnumComputers(dialog_), kProbeBound)) {
    SendDlgItemMessage(dialog_, kIdComputer, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
}

void CConnectionDialog::SetFailed() { connect_failed_ = true; }

void CConnectionDialog::Connect() {
  const std::string workstation = ComputerName();
  const std::string password = Text(kIdPassword);
  const std::string login = Text(kIdLogin);
  const std::string computer = Text(kIdComputer);

  if (InitClient(computer.c_str(), nullptr) != 0) {
    SetFailed();
    return;
  }
  binding_ = CurrentBinding();
  ReleaseAdminLogon();  // an earlier Connect's logon
  zel::Tarnix_AdminLogon::Reply logon;
  HRESULT r = CallRemote<zel::Tarnix_AdminLogon>(binding_, {login, password, "", workstation}, logon);
  if (r < 0) {
    // Any failure ends here; only a wrong name or password is put in words.
    if (r == MAPI_E_INVALID_WORKSTATION_ACCOUNT) MessageBox(dialog_, ClientString(2).c_str(), "", MB_OK);
    SetFailed();
    return;
  }
  admin_logon_ = r;

  WaitCursor wait;
  std::vector<std::string> profiles;
  if (!QueryNames(nullptr, &profiles)) {
    SetFailed();
    return;
  }
  connected_computer_ = computer;
  HWND tree = GetDlgItem(dialog_, kIdProfiles);
  TreeView_DeleteAllItems(tree);
  for (const std::string& name : profiles) {
    TVINSERTSTRUCTA is{};
    is.hParent = TVI_ROOT;
    is.hInsertAfter = TVI_LAST;
    is.item.mask = TVIF_TEXT | TVIF_CHILDREN;
    is.item.pszText = const_cast<char*>(name.c_str());
    is.item.cChildren = 1;
    TreeView_InsertItem(tree, &is);
  }
}

// The profiles of the administrative logon (`profile` null) or the stores
// of one profile.
bool CConnectionDialog::QueryNames(const char* profile, std::vector<std::string>* names) {
  std::int32_t cb = 0, buffer = -1;
  zel::wire::Inline::Value inline_data{};
  HRESULT r;
  if (!profile) {
    zel::ZelLogon_QueryProfiles::Reply out;
    r = CallRemote<zel::ZelLogon_QueryProfiles>(binding_, {admin_logon_}, out);
    cb = out.cb;
    buffer = out.hBuffer;
    inline_data = out.inlineData;
  } else {
    zel::ZelLogon_QueryInfoStores::Reply out;
    r = CallRemote<zel::ZelLogon_QueryInfoStores>(binding_, {admin_logon_, profile}, out);
    cb = out.cb;
    buffer = out.hBuffer;
    inline_data = out.inlineData;
  }
  if (r != S_OK || cb < 0) return false;
  std::vector<BYTE> block;
  if (BulkRead(binding_, cb, buffer, inline_data, block) != S_OK) return false;
  *names = SplitNameList(block);
  return true;
}

void CConnectionDialog::ExpandProfile(HTREEITEM item) {
  HWND tree = GetDlgItem(dialog_, kIdProfiles);
  // Only a profile (a root item) holds stores, and it is asked once.
  if (!item || TreeView_GetParent(tree, item) || TreeView_GetChild(tree, item)) return;
  WaitCursor wait;
  const std::string profile = ItemText(item);
  std::vector<std::string> stores;
  if (!QueryNames(profile.c_str(), &stores)) stores.clear();
  for (const std::string& name : stores) {
    TVINSERTSTRUCTA is{};
    is.hParent = item;
    is.hInsertAfter = TVI_LAST;
    is.item.mask = TVIF_TEXT | TVIF_CHILDREN;
    is.item.pszText = const_cast<char*>(name.c_str());
    is.item.cChildren = 0;
    TreeView_InsertItem(tree, &is);
  }
  if (stores.empty()) {
    TVITEMA tv{};
    tv.mask = TVIF_CHILDREN;
    tv.hItem = item;
    tv.cChildren = 0;
    TreeView_SetItem(tree, &tv);
  }
}

void CConnectionDialog::SelectItem(HTREEITEM item) {
  HWND tree = GetDlgItem(dialog_, kIdProfiles);
  HTREEITEM parent = item ? TreeView_GetParent(tree, item) : nullptr;
  if (!parent) return;
  // The computer the tree came from, even when the field changed since.
  const std::string connection = connected_computer_ + "(" + ItemText(parent) + ")(" + ItemText(item) + ")";
  SetDlgItemText(dialog_, kIdConnection, connection.c_str());
}

void CConnectionDialog::FillUserList() {
  SendDlgItemMessage(dialog_, kIdLogin, CB_RESETCONTENT, 0, 0);
  auto add = [&](const std::string& item) {
    SendDlgItemMessage(dialog_, kIdLogin, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  };
  const std::string computer = Text(kIdComputer);
  IZELDirectory* directory = nullptr;
  if (ZelDirOpen(computer.c_str(), "/CN=Recipients", "", "", &directory) != S_OK || !directory) {
    add(ClientString(8));
    return;
  }
  LPSPropValue values = nullptr;
  ULONG count = 0;
  if (directory->QueryAll(&values, &count) != S_OK) {
    add(ClientString(7));
  } else {
    for (ULONG i = 0; values && i < count; ++i) {
      std::string text;
      if (ValueText(values[i], &text)) add(text);
    }
  }
  if (values) MAPIFreeBuffer(values);
  directory->Release();
}

void CConnectionDialog::ReleaseAdminLogon() {
  FreeServerObject(binding_, admin_logon_);
}

}  // namespace vantrel::client

extern "C" int ConnectionDialog(vantrel::client::ConnectionRecord* record) {
  using namespace vantrel::client;
  if (!record) return 1;
  ClientModuleStartup();
  CConnectionDialog dialog(record);
  return dialog.Run(nullptr) == IDOK ? 0 : 1;
}
