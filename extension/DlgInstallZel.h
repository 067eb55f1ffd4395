// The service installer: lists the Vantrel services of the profile in use
// and adds, configures or removes them.
#pragma once

#include <string>
#include <vector>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/win/Dialog.h"

namespace vantrel::ext {

inline constexpr int kDialogInstall = 4007;
inline constexpr int kIdServices = 4020;
inline constexpr int kIdDelete = 4021;
inline constexpr int kIdNew = 4023;
inline constexpr int kIdProperties = 4025;
inline constexpr UINT kStrMenuItem = 2;
inline constexpr UINT kStrConnection = 3;
inline constexpr UINT kStrUser = 4;

// The display name of the profile `session` runs on, or "".
std::string GetCurrentProfileName(LPMAPISESSION session);

class CDlgInstallZel {
 public:
  CDlgInstallZel(HINSTANCE resources, LPMAPISESSION session);
  ~CDlgInstallZel();
  CDlgInstallZel(const CDlgInstallZel&) = delete;
  CDlgInstallZel& operator=(const CDlgInstallZel&) = delete;

  INT_PTR DoModal(HWND owner);

 private:
  struct Row {
    std::string service;
    std::string display;
    MAPIUID uid;
  };

  static INT_PTR CALLBACK Proc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp);
  void OnInit();
  void FillList();
  // The row of the selected item, or null.
  const Row* Selected() const;
  void OnNew();
  void OnDelete();
  void OnProperties();
  std::string String(UINT id, const char* fallback) const;

  HINSTANCE resources_;
  LPMAPISESSION session_;
  LPSERVICEADMIN admin_ = nullptr;
  std::vector<Row> rows_;
  HWND dialog_ = nullptr;
  HWND list_ = nullptr;
};

}  // namespace vantrel::ext
