// A message box of a process: its caption, icon, text and buttons. A
// button sends `answer`, the close box `close` (the process knows which
// boxes may be closed).
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include <map>
#include <string>

#include "tools/zelfront/ProcessLink.h"

namespace zelfront {

class BoxView : public QDialog {
 public:
  BoxView(ProcessLink* link, std::string key);

  void Refresh();
  const std::string& key() const { return key_; }
  ProcessLink* link() const { return link_; }
  // Button id -> its widget, for the state file.
  const std::map<int, QPushButton*>& buttons() const { return buttons_; }
  QString text() const { return text_->text(); }

 protected:
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  ProcessLink* link_;
  const std::string key_;
  QLabel* icon_;
  QLabel* text_;
  QWidget* row_;
  std::map<int, QPushButton*> buttons_;
  std::string shownButtons_;
  bool placed_ = false;
};

// The button's text in the desktop's language (German or English).
QString BoxButtonText(int id);

}  // namespace zelfront
