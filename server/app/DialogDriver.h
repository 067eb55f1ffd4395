// Drives the dialogs of another process (or of this one, from another
// thread) by control id over the front-end protocol: finds a dialog by the
// controls it holds, waits for the state a step leads to, and sends the
// commands a person's clicks and keys would.
//
// Every command of the protocol is posted to the window's thread and
// answered at once, so a step's effect shows in the records only later:
// callers wait for the state they expect (WaitFor) before the next step.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win/FrontEndClient.h"

namespace vantrel::admin {

using vantrel::win::FrontEndClient;
namespace fe = vantrel::win::fe;

class DialogDriver {
 public:
  // `client` is attached and outlives the driver; `timeoutMs` bounds every
  // wait.
  DialogDriver(FrontEndClient* client, int timeoutMs) : c_(client), timeout_ms_(timeoutMs) {}

  // The visible top-level dialog that has a control of every id in `ids`,
  // or "" (its handle as the protocol writes it).
  std::string FindDialog(const std::vector<int>& ids) const;
  // The visible message box, or "".
  std::string FindMessageBox() const;
  // Control `id` of `dialog`, or null.
  const fe::Record* Control(const std::string& dialog, int id) const;
  const fe::Record* Window(const std::string& hwnd) const;

  // Reads records until `done` is true; false when the time runs out or
  // the connection breaks.
  bool WaitFor(const std::function<bool()>& done);
  // WaitFor(FindDialog(ids) != "") and the handle.
  std::string WaitDialog(const std::vector<int>& ids);
  // Waits until `dialog` is gone.
  bool WaitGone(const std::string& dialog);
  // Waits for control `id` of `dialog` to be enabled (or disabled).
  bool WaitEnabled(const std::string& dialog, int id, bool enabled = true);

  // The protocol's commands; false with the process's reason in `error`.
  bool Click(const std::string& dialog, int id, std::string* error);
  bool Type(const std::string& dialog, int id, const std::string& text, std::string* error);
  bool Pick(const std::string& dialog, int id, int index, std::string* error);
  bool Answer(const std::string& box, int button, std::string* error);
  bool Close(const std::string& dialog, std::string* error);

  // A list view's rows: every row's fields after STATE and PARAM (its text,
  // then its subitems' texts), and the state bits.
  struct Row {
    unsigned state = 0;
    std::vector<std::string> texts;
  };
  std::vector<Row> Rows(const std::string& dialog, int id) const;
  // The text of a message box.
  std::string BoxText(const std::string& box) const;

  FrontEndClient& client() { return *c_; }

 private:
  bool Run(const std::string& name, const std::vector<std::string>& args, std::string* error);

  FrontEndClient* c_;
  int timeout_ms_;
};

}  // namespace vantrel::admin
