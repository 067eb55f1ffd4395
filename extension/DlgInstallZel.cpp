#include "extension/DlgInstallZel.h"

#include <cstdio>
#include <cstring>

#include "extension/ProfileServiceWriter.h"
#include "platform/mapi/MapiSession.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"
#include "platform/win/CommCtrl.h"
#include "platform/win/Dialog.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Resources.h"

namespace vantrel::ext {
namespace {

constexpr char kServiceName[] = "MSZLF";
constexpr char kNewDisplayName[] = "Vantrel";
constexpr ULONG kMapiSubsystem = 39;

std::string Text(const SPropValue& v) {
  if (PROP_TYPE(v.ulPropTag) == PT_STRING8 && v.Value.lpszA) return v.Value.lpszA;
  return "";
}

}  // namespace

std::string GetCurrentProfileName(LPMAPISESSION session) {
  if (!session) return "";
  LPMAPITABLE table = nullptr;
  if (FAILED(session->GetStatusTable(0, &table)) || !table) return "";
  SizedSPropTagArray<2> cols{2, {PR_RESOURCE_TYPE, PR_DISPLAY_NAME_A}};
  LPSRowSet rows = nullptr;
  std::string name;
  if (SUCCEEDED(HrQueryAllRows(table, cols.get(), nullptr, nullptr, 0, &rows)) && rows) {
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SRow& r = rows->aRow[i];
      if (r.cValues < 2) continue;
      if (PROP_TYPE(r.lpProps[0].ulPropTag) == PT_LONG && r.lpProps[0].Value.l == static_cast<LONG>(kMapiSubsystem)) {
        name = Text(r.lpProps[1]);
        break;
      }
    }
    FreeProws(rows);
  }
  table->Release();
  return name;
}

CDlgInstallZel::CDlgInstallZel(HINSTANCE resources, LPMAPISESSION session)
    : resources_(resources), session_(session) {
  if (session_) session_->AddRef();
}

CDlgInstallZel::~CDlgInstallZel() {
  if (admin_) admin_->Release();
  if (session_) session_->Release();
}

INT_PTR CDlgInstallZel::DoModal(HWND owner) {
  return DialogBoxParam(resources_, MAKEINTRESOURCE(kDialogInstall), owner, Proc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CDlgInstallZel::Proc(HWND dialog, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDlgInstallZel*>(lp);
    SetWindowLongPtr(dialog, DWLP_USER, lp);
    self->dialog_ = dialog;
    self->OnInit();
    return TRUE;
  }
  auto* self = reinterpret_cast<CDlgInstallZel*>(GetWindowLongPtr(dialog, DWLP_USER));
  if (!self || msg != WM_COMMAND || HIWORD(wp) != BN_CLICKED) return FALSE;
  switch (LOWORD(wp)) {
    case kIdNew:
      self->OnNew();
      return TRUE;
    case kIdDelete:
      self->OnDelete();
      return TRUE;
    case kIdProperties:
      self->OnProperties();
      return TRUE;
    case IDOK:
    case IDCANCEL:
      EndDialog(dialog, LOWORD(wp));
      return TRUE;
    default:
      return FALSE;
  }
}

std::string CDlgInstallZel::String(UINT id, const char* fallback) const {
  char text[256] = "";
  if (LoadStringA(resources_, id, text, sizeof text) > 0) return text;
  return fallback;
}

void CDlgInstallZel::OnInit() {
  list_ = GetDlgItem(dialog_, kIdServices);
  if (list_) {
    ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT);
    struct Column {
      std::string text;
      int width;
    } columns[] = {{String(kStrUser, "Benutzername"), 300}, {String(kStrConnection, "Verbindung"), 100}};
    for (int i = 0; i < 2; ++i) {
      LVCOLUMNA column{};
      column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
      column.cx = columns[i].width;
      column.pszText = columns[i].text.data();
      column.iSubItem = i;
      ListView_InsertColumn(list_, i, &column);
    }
  }
  // Without the administration object the dialog still opens, empty.
  if (session_ && FAILED(session_->AdminServices(0, &admin_))) admin_ = nullptr;
  FillList();
}

void CDlgInstallZel::FillList() {
  rows_.clear();
  if (list_) ListView_DeleteAllItems(list_);
  if (!admin_) return;
  LPMAPITABLE table = nullptr;
  if (FAILED(admin_->GetMsgServiceTable(0, &table)) || !table) return;
  SizedSPropTagArray<3> cols{3, {PR_SERVICE_NAME_A, PR_DISPLAY_NAME_A, PR_SERVICE_UID}};
  LPSRowSet rows = nullptr;
  if (SUCCEEDED(HrQueryAllRows(table, cols.get(), nullptr, nullptr, 0, &rows)) && rows) {
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SRow& r = rows->aRow[i];
      if (r.cValues < 3) continue;
      Row row{Text(r.lpProps[0]), Text(r.lpProps[1]), {}};
      const SPropValue& uid = r.lpProps[2];
      if (PROP_TYPE(uid.ulPropTag) != PT_BINARY || uid.Value.bin.cb != sizeof(MAPIUID)) continue;
      std::memcpy(&row.uid, uid.Value.bin.lpb, sizeof(MAPIUID));
      rows_.push_back(row);
    }
    FreeProws(rows);
  }
  table->Release();
  if (!list_) return;
  int position = 0;
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (rows_[i].service != kServiceName) continue;
    std::string text = rows_[i].service + " " + rows_[i].display;
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = position++;
    item.pszText = text.data();
    item.lParam = static_cast<LPARAM>(i);
    ListView_InsertItem(list_, &item);
  }
}

const CDlgInstallZel::Row* CDlgInstallZel::Selected() const {
  if (!list_) return nullptr;
  int index = ListView_GetNextItem(list_, -1, LVNI_SELECTED);
  if (index < 0) return nullptr;
  LVITEMA item{};
  item.mask = LVIF_PARAM;
  item.iItem = index;
  if (!ListView_GetItem(list_, &item)) return nullptr;
  size_t row = static_cast<size_t>(item.lParam);
  return row < rows_.size() ? &rows_[row] : nullptr;
}

void CDlgInstallZel::OnDelete() {
  const Row* row = Selected();
  if (!row || !admin_) return;
  MAPIUID uid = row->uid;
  admin_->DeleteMsgService(&uid);
  FillList();
}

void CDlgInstallZel::OnProperties() {
  const Row* row = Selected();
  if (!row || !admin_) return;
  MAPIUID uid = row->uid;
  admin_->ConfigureMsgService(&uid, reinterpret_cast<ULONG_PTR>(dialog_), SERVICE_UI_ALWAYS, 0, nullptr);
  FillList();
}

void CDlgInstallZel::OnNew() {
  HRESULT hr = MAPIInitialize(nullptr);
  bool initialized = SUCCEEDED(hr);
  if (admin_) {
    hr = admin_->CreateMsgService(const_cast<LPSTR>(kServiceName), const_cast<LPSTR>(kNewDisplayName),
                                  reinterpret_cast<ULONG_PTR>(dialog_), SERVICE_UI_ALWAYS);
  } else {
    hr = MAPI_E_NOT_FOUND;
  }
  // The user's cancel is an answer, not a refusal: nothing more to do.
  if (FAILED(hr) && hr != MAPI_E_USER_CANCEL) {
    const std::string profile = GetCurrentProfileName(session_);
    const std::string key = FindProfileKey(profile);
    if (key.empty()) {
      char text[512];
      std::snprintf(text, sizeof text, "Can not find profile %s in registry", profile.c_str());
      MessageBox(dialog_, text, "", MB_OK);
    } else {
      GUID service{};
      std::string message;
      if (WriteZelService(key, &service, nullptr, &message) == ERROR_SUCCESS) {
        if (admin_) {
          MAPIUID uid;
          std::memcpy(&uid, &service, sizeof uid);
          admin_->ConfigureMsgService(&uid, reinterpret_cast<ULONG_PTR>(dialog_), SERVICE_UI_ALWAYS, 0, nullptr);
        }
      } else if (!message.empty()) {
        MessageBox(dialog_, message.c_str(), "", MB_OK);
      }
    }
  }
  if (initialized) MAPIUninitialize();
  FillList();
}

}  // namespace vantrel::ext
