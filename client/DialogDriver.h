// Test support for the connection dialog: the record as the provider
// hands it over, and one run of the dialog on its own thread, driven by
// control id as a person would.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/CommCtrl.h"
#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/Locale.h"
#include "platform/win/MessageBox.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::testsupport {

// The record as the provider hands it over.
struct Record {
  char connection[260];
  char login[260];
  char password[260];
};
using ConnectionDialogProc = int (*)(Record*);

namespace dialog_ids {
enum Ids { kTree = 1000, kComputer = 1001, kLogin = 1002, kPassword = 1003, kConnect = 1004, kConnection = 1005 };
}  // namespace dialog_ids
using namespace dialog_ids;

inline Record MakeRecord(const char* connection, const char* login, const char* password) {
  Record r{};
  std::strncpy(r.connection, connection, sizeof r.connection - 1);
  std::strncpy(r.login, login, sizeof r.login - 1);
  std::strncpy(r.password, password, sizeof r.password - 1);
  return r;
}

// Message boxes the dialog showed, answered as nobody watching would.
inline Mutex g_boxes_mu;
inline std::vector<std::string> g_boxes GUARDED_BY(g_boxes_mu);

inline std::vector<std::string> Boxes() {
  MutexLock lock(g_boxes_mu);
  return g_boxes;
}

template <typename Done>
bool Eventually(Done done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// One run of the dialog on its own thread, as a person sees it.
class DialogRun {
 public:
  DialogRun(ConnectionDialogProc proc, Record* record) {
    thread_ = std::thread([this, proc, record] {
      SetThreadLocale(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
      thread_id_ = GetCurrentThreadId();
      result_ = proc(record);
    });
    Eventually([this] { return (dialog_ = Find()) != nullptr; });
  }
  ~DialogRun() {
    if (thread_.joinable()) {
      if (dialog_) PostMessage(dialog_, WM_CLOSE, 0, 0);
      thread_.join();
    }
  }

  HWND dialog() const { return dialog_; }
  HWND Item(int id) const { return GetDlgItem(dialog_, id); }
  std::string Text(int id) const {
    char text[300] = "";
    GetDlgItemText(dialog_, id, text, sizeof text);
    return text;
  }
  bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
  void Type(int id, const char* text) { SendMessage(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)); }
  void Click(int id) { SendMessage(Item(id), BM_CLICK, 0, 0); }
  std::vector<win::TreeNode> Tree() const {
    win::ControlSnapshot s;
    win::SnapshotControl(Item(kTree), &s);
    return s.tree;
  }
  const win::TreeNode* Node(const std::string& text) const {
    static thread_local std::vector<win::TreeNode> tree;
    tree = Tree();
    for (const auto& n : tree) {
      if (n.text == text) return &n;
    }
    return nullptr;
  }
  std::vector<std::string> Items(int id) const {
    win::ControlSnapshot s;
    win::SnapshotControl(Item(id), &s);
    return s.items;
  }
  // Waits for the dialog to end; its result.
  int Finish() {
    thread_.join();
    return result_;
  }

 private:
  HWND Find() const {
    if (!thread_id_) return nullptr;
    for (HWND h : win::ProcessWindows()) {
      char cls[32] = "";
      GetClassNameA(h, cls, sizeof cls);
      if (GetWindowThreadProcessId(h, nullptr) == thread_id_ && std::strcmp(cls, WC_DIALOG) == 0 && GetDlgItem(h, kTree)) {
        return h;
      }
    }
    return nullptr;
  }

  std::thread thread_;
  std::atomic<DWORD> thread_id_{0};
  std::atomic<int> result_{-1};
  HWND dialog_ = nullptr;
};

// Records every message box instead of answering it silently.
inline void RecordBoxes() {
  win::SetMessageBoxHandler([](const win::MessageBoxRecord& box) {
    MutexLock lock(g_boxes_mu);
    g_boxes.push_back(box.text);
    return win::DefaultButton(box.type);
  });
}
inline void ClearBoxes() {
  MutexLock lock(g_boxes_mu);
  g_boxes.clear();
}

}  // namespace vantrel::testsupport
