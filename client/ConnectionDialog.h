// The connection dialog (dialog 1011) behind the export ConnectionDialog:
// the user finds a server, logs on as administrator of the profiles he may
// see, and picks a store of a profile; the dialog writes the choice into
// the caller's connection record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/WinTypes.h"
#include "platform/rpc/Rpc.h"
#include "platform/win/CommCtrl.h"

namespace vantrel::client {

// The record exchanged with ConnectionDialog: three NUL-terminated texts of
// 260 bytes each.
struct ConnectionRecord {
  char connection[260];  // "computer(profile)(store)"
  char login[260];
  char password[260];
};
static_assert(sizeof(ConnectionRecord) == 780);

// Control ids of dialog 1011.
enum ConnectionDialogIds {
  kIdProfiles = 1000,    // tree: profiles, their stores below them
  kIdComputer = 1001,    // combo box with an edit field
  kIdLogin = 1002,       // edit (or, in a replacing template, a combo box: the directory's users)
  kIdPassword = 1003,    // edit
  kIdConnect = 1004,     // button, created disabled
  kIdConnection = 1005,  // read-only edit
  kDialogConnection = 1011,
};

// The names of a profile or store list as the server writes it: each name
// in parentheses, one after the other. "(" is skipped, ")" ends a name, text
// outside parentheses is gathered into the next name; a name keeps at most
// 259 characters; the list ends at the block's end or its first NUL. Empty
// names are left out.
std::vector<std::string> SplitNameList(const std::vector<BYTE>& block);

// Lives on the thread that shows it: its state is touched only by the
// dialog procedure, so it has no lock of its own; remote calls take the
// process's call lock through the call frame.
class CConnectionDialog {
 public:
  explicit CConnectionDialog(ConnectionRecord* record) : record_(record) {}
  ~CConnectionDialog();
  CConnectionDialog(const CConnectionDialog&) = delete;
  CConnectionDialog& operator=(const CConnectionDialog&) = delete;

  // Shows the dialog modally; IDOK when the user closed it with OK (the
  // record then holds his choice), IDCANCEL or -1 otherwise.
  INT_PTR Run(HWND owner);

 private:
  static INT_PTR CALLBACK Proc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp);
  void OnInit();
  void OnCommand(int id, int code);
  LRESULT OnNotify(NMHDR* header);

  void Browse();
  void FillUserList();
  void Connect();
  bool QueryNames(const char* profile, std::vector<std::string>* names);
  void ExpandProfile(HTREEITEM item);
  void SelectItem(HTREEITEM item);
  void ReleaseAdminLogon();

  std::string Text(int id) const;
  std::string ItemText(HTREEITEM item) const;
  void SetFailed();

  ConnectionRecord* record_;
  HWND dialog_ = nullptr;
  bool browsed_ = false;         // the computer list was filled
  bool connect_failed_ = false;  // Connect refuses until a text changes
  bool login_is_list_ = false;   // the template makes the login field a combo box
  RPC_BINDING_HANDLE binding_ = nullptr;
  std::int32_t admin_logon_ = -1;  // the server's administrative logon, -1: none
  std::string connected_computer_;  // the computer the profile tree came from
};

}  // namespace vantrel::client

// Export ordinal 3: shows the dialog filled from `record`; 0 when closed
// with OK (the record then holds the choice), 1 otherwise.
extern "C" int ConnectionDialog(vantrel::client::ConnectionRecord* record);
