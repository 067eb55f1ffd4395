// The user edit dialog (dialog 231): login, display name and password of
// one user of the directory; the entry's other address properties are kept
// as they were read.
#pragma once

#include <string>

#include "Libraries/MapiWrapper/MapiPtr.h"
#include "platform/win/Dialog.h"
#include "platform/win/WinUser.h"

class CZelConfig;

// Control identifiers of dialog 231 and of richer layouts a resource
// library may bring.
inline constexpr int IDD_EDIT_USER = 231;
inline constexpr int IDC_EDIT_LOGIN = 1031;
inline constexpr int IDC_EDIT_DISPLAY = 1030;
inline constexpr int IDC_EDIT_PASSWORD = 1016;
inline constexpr int IDC_EDIT_HELP = 1104;
inline constexpr int IDC_EDIT_APPLY = 3;
inline constexpr int IDC_EDIT_INTERNET_MAIL = 1066;
inline constexpr int IDC_EDIT_PERSONAL_FOLDERS = 1068;
inline constexpr int IDC_EDIT_EMAIL = 1080;
inline constexpr int IDC_EDIT_EMAIL_LABEL = 1103;
inline constexpr int IDC_EDIT_FORWARDING = 1121;

class CDlgEditUser {
 public:
  // The text fields in the order of their properties (kFieldTags).
  enum Field {
    kDepartment,
    kPostalAddress,
    kLogin,
    kDisplayName,
    kPostOfficeBox,
    kCompany,
    kInitials,
    kSurname,
    kPostalAddress2,
    kPostalCode,
    kLocality,
    kBusiness2Phone,
    kState,
    kBusinessPhone,
    kTitle,
    kGivenName,
    kPassword,
    kEmail,
    kFieldCount
  };

  // `entry` is the user being edited (new or existing); `config` outlives
  // the dialog.
  CDlgEditUser(const CGenMapiPropPtr& entry, CZelConfig* config, HWND parent);
  CDlgEditUser(const CDlgEditUser&) = delete;
  CDlgEditUser& operator=(const CDlgEditUser&) = delete;

  // Runs dialog 231 modally; IDOK, IDCANCEL, or -1 when it could not be
  // created.
  INT_PTR DoModal();
  HWND Hwnd() const { return hwnd_; }

  const std::string& FieldText(Field f) const { return fields_[f]; }
  bool IsNewUser() const { return new_user_; }

 private:
  static INT_PTR DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  void PropToDialog();
  void ShowHideFields();
  void CheckData();
  void ControlsToFields();
  void FieldsToControls();
  bool DialogToProp();
  void ShowControl(int id, bool show);

  CGenMapiPropPtr entry_;
  CZelConfig* config_;
  HWND parent_;
  HWND hwnd_ = nullptr;
  std::string fields_[kFieldCount];
  bool postmaster_ = false;
  bool administrator_ = false;
  bool new_user_ = false;
  bool filling_ = false;  // the controls are being set from the fields
};
