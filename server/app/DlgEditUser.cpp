#include "server/app/DlgEditUser.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "Libraries/MapiWrapper/MapiException.h"
#include "platform/win/HtmlHelp.h"
#include "server/app/MailboxProfile.h"
#include "server/app/UserDialogResources.h"
#include "server/app/ZelConfig.h"
#include "server/dispatch/ServerTrace.h"
#include "server/sessions/UserABContainer.h"

namespace {

// The property behind each text field, in the order of CDlgEditUser::Field.
constexpr ULONG kFieldTags[CDlgEditUser::kFieldCount] = {
    PR_DEPARTMENT_NAME, PR_POSTAL_ADDRESS,  PR_ACCOUNT,  PR_DISPLAY_NAME,
    PR_POST_OFFICE_BOX, PR_COMPANY_NAME,    PR_INITIALS, PR_SURNAME,
    PR_POSTAL_ADDRESS,  PR_POSTAL_CODE,     PR_LOCALITY, PR_BUSINESS2_TELEPHONE_NUMBER,
    PR_STATE_OR_PROVINCE, PR_BUSINESS_TELEPHONE_NUMBER, PR_TITLE, PR_GIVEN_NAME,
    PR_ZEL_PASSWORD,    PR_EMAIL_ADDRESS};

// The fields with a control in the program's own layout.
struct FieldControl {
  CDlgEditUser::Field field;
  int id;
};
constexpr FieldControl kControls[] = {
    {CDlgEditUser::kLogin, IDC_EDIT_LOGIN},
    {CDlgEditUser::kDisplayName, IDC_EDIT_DISPLAY},
    {CDlgEditUser::kPassword, IDC_EDIT_PASSWORD},
    {CDlgEditUser::kEmail, IDC_EDIT_EMAIL},
};

constexpr const char* kHelpTopic = "/screens/Server/User management/users_edit.htm";

// The topic in the program's help file (the program's path, .CHM); the
// front ends open it.
void ShowHelpTopic(HWND dialog, const char* topic, const char* window) {
  vantrel::server::ServerLog("Help requested: %s>%s\n", topic, window);
  std::error_code ec;
  std::filesystem::path file = std::filesystem::read_symlink("/proc/self/exe", ec);
  file.replace_extension(".CHM");
  std::string spec = file.string() + "::" + topic + ">" + window;
  HtmlHelpA(dialog, spec.c_str(), HH_DISPLAY_TOPIC, 0);
}

std::string ControlText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  if (!control) return std::string();
  std::vector<char> buffer(4096);
  int n = GetWindowTextA(control, buffer.data(), static_cast<int>(buffer.size()));
  return std::string(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
}

void Failure(HWND owner, const char* step) {
  vantrel::server::ServerLog("User dialog: %s failed\n", step);
  const std::string text = UserDialogString(IDS_EDIT_STEP_FAILED, "Error in %s", step);
  MessageBox(owner, text.c_str(), "Vantrel", MB_OK | MB_ICONERROR);
}

}  // namespace

CDlgEditUser::CDlgEditUser(const CGenMapiPropPtr& entry, CZelConfig* config, HWND parent)
    : entry_(entry), config_(config), parent_(parent) {}

INT_PTR CDlgEditUser::DoModal() {
  return DialogBoxParamA(UserDialogResources(), MAKEINTRESOURCEA(IDD_EDIT_USER), parent_, &CDlgEditUser::DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CDlgEditUser::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDlgEditUser*>(lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
    self->OnInitDialog();
    return TRUE;
  }
  auto* self = reinterpret_cast<CDlgEditUser*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (!self) return FALSE;
  INT_PTR result = self->OnMessage(msg, wParam, lParam);
  if (msg == WM_DESTROY) self->hwnd_ = nullptr;
  return result;
}

INT_PTR CDlgEditUser::OnMessage(UINT msg, WPARAM wParam, LPARAM) {
  if (msg != WM_COMMAND) return FALSE;
  const int id = LOWORD(wParam);
  const WORD code = HIWORD(wParam);
  if (code == EN_CHANGE) {
    // Any of the three fields OK depends on, whichever is typed last.
    if (!filling_ && (id == IDC_EDIT_LOGIN || id == IDC_EDIT_PASSWORD || id == IDC_EDIT_DISPLAY)) CheckData();
    return TRUE;
  }
  if (code != BN_CLICKED) return FALSE;
  switch (id) {
    case IDC_EDIT_APPLY:
      DialogToProp();
      return TRUE;
    case IDOK:
      if (!DialogToProp()) return TRUE;
      if (FAILED(entry_->SaveChanges(0))) {
        Failure(hwnd_, "SaveChanges");
        return TRUE;
      }
      EndDialog(hwnd_, IDOK);
      return TRUE;
    case IDCANCEL:
      EndDialog(hwnd_, IDCANCEL);
      return TRUE;
    case IDC_EDIT_HELP:
      ShowHelpTopic(hwnd_, kHelpTopic, "TOPIC");
      return TRUE;
    case IDC_EDIT_PERSONAL_FOLDERS:
      OnPersonalFolders();
      return TRUE;
    default:
      return FALSE;
  }
}

// The personal-folders button of a richer layout: the same mailbox as the
// user list's "Postfach" command, for the login shown.
void CDlgEditUser::OnPersonalFolders() {
  ControlsToFields();
  std::string message;
  const bool ok = CreateMailboxProfile(fields_[kLogin], fields_[kDisplayName],
                                       config_ ? config_->MailboxPath : std::string(), &message);
  const std::string text = ok ? UserDialogString(IDS_MAILBOX_CREATED, "Mailbox created: %s", message)
                              : UserDialogString(IDS_MAILBOX_FAILED, "Mailbox not created: %s", message);
  MessageBox(hwnd_, text.c_str(), "Vantrel", MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONERROR));
}

void CDlgEditUser::OnInitDialog() {
  // Each step in its own scope: a failure names the step and the dialog
  // still opens.
  struct Step {
    const char* name;
    void (CDlgEditUser::*run)();
  };
  const Step steps[] = {{"PropToDialog", &CDlgEditUser::PropToDialog},
                        {"Hiding/Showing fields", &CDlgEditUser::ShowHideFields},
                        {"Checking data", &CDlgEditUser::CheckData}};
  for (const Step& step : steps) {
    try {
      (this->*step.run)();
    } catch (const CMAPIException&) {
      Failure(hwnd_, step.name);
    }
  }
}

void CDlgEditUser::PropToDialog() {
  std::vector<ULONG> tags(std::begin(kFieldTags), std::end(kFieldTags));
  tags.push_back(PR_ZEL_ADMINISTRATOR);
  CPropArray values = entry_.GetProps(tags);
  for (int i = 0; i < kFieldCount; ++i) {
    CPropValue v = values[static_cast<ULONG>(i)];
    if (v.Present() && v.Type() != PT_ERROR) fields_[i] = v.ToString();
  }
  CPropValue admin = values[kFieldCount];
  if (admin.Present() && admin.Type() == PT_BOOLEAN) administrator_ = admin->Value.b != 0;
  postmaster_ = config_ && !fields_[kLogin].empty() && fields_[kLogin] == config_->Postmaster;
  new_user_ = fields_[kLogin].empty();
  if (HWND login = GetDlgItem(hwnd_, IDC_EDIT_LOGIN)) EnableWindow(login, new_user_ ? TRUE : FALSE);
  FieldsToControls();
}

void CDlgEditUser::ShowControl(int id, bool show) {
  if (HWND control = GetDlgItem(hwnd_, id)) ShowWindow(control, show ? SW_SHOW : SW_HIDE);
}

void CDlgEditUser::ShowHideFields() {
  if (!config_) return;
  if (config_->Postoffice != 0) {
    ShowControl(IDC_EDIT_INTERNET_MAIL, true);
    ShowControl(IDC_EDIT_PERSONAL_FOLDERS, true);
  } else if (config_->StartProxy != 0) {
    ShowControl(IDC_EDIT_FORWARDING, true);
  } else {
    ShowControl(IDC_EDIT_INTERNET_MAIL, false);
  }
  if (config_->EnableMS == 0) {
    for (int id : {IDC_EDIT_INTERNET_MAIL, IDC_EDIT_PERSONAL_FOLDERS, IDC_EDIT_EMAIL, IDC_EDIT_EMAIL_LABEL,
                   IDC_EDIT_FORWARDING})
      ShowControl(id, false);
  }
}

void CDlgEditUser::CheckData() {
  ControlsToFields();
  const bool complete = !fields_[kDisplayName].empty() && !fields_[kLogin].empty() && !fields_[kPassword].empty();
  for (int id : {IDOK, IDC_EDIT_APPLY})
    if (HWND button = GetDlgItem(hwnd_, id)) EnableWindow(button, complete ? TRUE : FALSE);
}

void CDlgEditUser::ControlsToFields() {
  for (const FieldControl& c : kControls)
    if (GetDlgItem(hwnd_, c.id)) fields_[c.field] = ControlText(hwnd_, c.id);
}

void CDlgEditUser::FieldsToControls() {
  // Setting a control's text reports EN_CHANGE at once; reading the
  // controls back then would take the fields not yet set as empty.
  filling_ = true;
  for (const FieldControl& c : kControls)
    if (GetDlgItem(hwnd_, c.id)) SetDlgItemTextA(hwnd_, c.id, fields_[c.field].c_str());
  filling_ = false;
}

bool CDlgEditUser::DialogToProp() {
  try {
    ControlsToFields();
    std::string& initials = fields_[kInitials];
    const std::string& given = fields_[kGivenName];
    const std::string& surname = fields_[kSurname];
    if (initials.empty()) {
      if (!given.empty()) initials += given[0];
      if (!surname.empty()) initials += surname[0];
    }
    if (fields_[kLogin].empty()) {
      if (!given.empty()) fields_[kLogin] += given[0];
      fields_[kLogin] += surname;
    }
    FieldsToControls();

    // Every text field in order (the second postal address last), then the
    // administrator flag. Empty text is written too: clearing a field
    // clears the property.
    std::vector<CPropValue> values;
    values.reserve(kFieldCount + 1);
    for (int i = 0; i < kFieldCount; ++i) {
      CPropValue v;
      v.SetString(kFieldTags[i], fields_[i]);
      values.push_back(std::move(v));
    }
    CPropValue admin;
    admin.SetBool(PR_ZEL_ADMINISTRATOR, administrator_);
    values.push_back(std::move(admin));

    if (postmaster_ && config_) config_->Postmaster = fields_[kLogin];

    std::vector<SPropValue> raw;
    raw.reserve(values.size());
    for (const CPropValue& v : values) raw.push_back(*v.get());
    CheckHr(entry_->SetProps(static_cast<ULONG>(raw.size()), raw.data(), nullptr), "SetProps");
    CheckHr(entry_->SaveChanges(KEEP_OPEN_READWRITE), "SaveChanges");
    return true;
  } catch (const CMAPIException& e) {
    Failure(hwnd_, e.Context().c_str());
    return false;
  }
}
