// The user list (dialog 150): every user of the directory with its display
// name and login; new, edit and delete; OK writes the users file, "Abbruch"
// reads it again so the changes made here are dropped.
//
// The dialog runs on the server window's thread. The directory is shared
// with the remote-call threads, which only read it (the logon's lookup) and
// take its own lock for that.
#pragma once

#include <vector>

#include "Libraries/MapiWrapper/MapiPtr.h"
#include "Libraries/MapiWrapper/PropValue.h"
#include "platform/win/CommCtrl.h"
#include "platform/win/Dialog.h"
#include "platform/win/WinUser.h"

class CUserABContainer;
class CZelConfig;

// Control identifiers of dialog 150.
inline constexpr int IDD_USERS = 150;
inline constexpr int IDC_USERS_LIST = 1000;
inline constexpr int IDC_USERS_NEW = 1023;
inline constexpr int IDC_USERS_EDIT = 1025;
inline constexpr int IDC_USERS_DELETE = 1014;
inline constexpr int IDC_USERS_MANAGE = 1026;  // hidden and disabled
// Gives the selected user a mailbox profile (MailboxProfile.h).
inline constexpr int IDC_USERS_MAILBOX = 1027;

// Strings of the user dialogs (UserDialogs.rc).
inline constexpr UINT IDS_CRYPT_WARNING = 137;
inline constexpr UINT IDS_WARNING = 139;

class CDlgUsers {
 public:
  // `directory` and `config` outlive the dialog; `parent` may be null.
  CDlgUsers(CUserABContainer* directory, CZelConfig* config, HWND parent);
  ~CDlgUsers();
  CDlgUsers(const CDlgUsers&) = delete;
  CDlgUsers& operator=(const CDlgUsers&) = delete;

  // Runs dialog 150 modally on the calling thread; IDOK or IDCANCEL, -1 when
  // the dialog could not be created.
  INT_PTR DoModal();
  // The dialog's window while it is open, else null.
  HWND Hwnd() const { return hwnd_; }
  // The list that is open in this process, else null (at most one is).
  static CDlgUsers* Open();

 private:
  static INT_PTR DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  void CryptWarning();
  void FillList();
  void ClearList();
  std::vector<int> SelectedItems() const;
  const CBinary* ItemId(int item) const;
  void OnNew();
  void OnEdit();
  void OnDelete();
  void OnMailbox();
  void OnOK();
  void OnCancel();

  CGenMapiContPtr directory_;
  CUserABContainer* users_;
  CZelConfig* config_;
  HWND parent_;
  HWND hwnd_ = nullptr;
  HWND list_ = nullptr;
};
