// A top-level window or dialog of a process, drawn with its controls at
// their template positions. Dialog units are turned into pixels with the
// metrics of the dialog's font: x * average character width / 4,
// y * character height / 8. Without a `rect` the controls are stacked.
#pragma once

#include <QDialog>

#include <map>
#include <memory>
#include <string>

#include "tools/zelfront/Control.h"
#include "tools/zelfront/ProcessLink.h"

namespace zelfront {

class WindowView : public QDialog {
 public:
  WindowView(ProcessLink* link, std::string key);
  ~WindowView() override;

  // Reads the window's record and its descendants' again.
  void Refresh();
  // Shows the drawing of a hidden window (from the window list) until it
  // is closed here; the process still sees it hidden.
  void Peek();
  const std::string& key() const { return key_; }
  ProcessLink* link() const { return link_; }
  const std::map<std::string, std::unique_ptr<Control>>& controls() const { return controls_; }

 protected:
  void closeEvent(QCloseEvent* e) override;
  void reject() override;

 private:
  QRect Place(const fe::Record& r, int stackedAt) const;
  void Collect(const std::string& parent, std::vector<const fe::Record*>* out) const;

  ProcessLink* link_;
  const std::string key_;
  std::map<std::string, std::unique_ptr<Control>> controls_;
  bool placed_ = false;
  bool peeking_ = false;
  std::string iconHandle_;
  // Dialog base units in pixels.
  double baseX_ = 6, baseY_ = 13;
};

// The dialog font's base units: average width of the letters and height.
void DialogBaseUnits(const std::string& points, const std::string& face, double* baseX, double* baseY);

}  // namespace zelfront
