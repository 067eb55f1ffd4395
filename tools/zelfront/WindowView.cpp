#include "tools/zelfront/WindowView.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QScreen>

#include <cmath>
#include <set>

#include "tools/zelfront/WinConstants.h"

namespace zelfront {

void DialogBaseUnits(const std::string& points, const std::string& face, double* baseX, double* baseY) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  if (!face.empty()) font.setFamilies({QString::fromStdString(face), font.family()});
  std::int64_t pt = 0;
  if (fe::ParseNumber(points, &pt) && pt > 0 && pt < 100) font.setPointSize(static_cast<int>(pt));
  QFontMetricsF m(font);
  // The platform's definition: the average width of the 52 letters.
  double width = m.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26.0;
  *baseX = std::max(1.0, std::round((width + 1) / 2));
  *baseY = std::max(1.0, std::round(m.height()));
}

WindowView::WindowView(ProcessLink* link, std::string key) : QDialog(nullptr), link_(link), key_(std::move(key)) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setSizeGripEnabled(false);
  setObjectName(QString::fromStdString("window " + key_));
}

WindowView::~WindowView() = default;

void WindowView::Collect(const std::string& parent, std::vector<const fe::Record*>* out) const {
  for (const fe::Record* w : link_->Windows()) {
    if (w->Get("parent") != parent || !(Number(w->Get("style")) & ::WS_CHILD)) continue;
    out->push_back(w);
    Collect(w->key, out);
  }
}

QRect WindowView::Place(const fe::Record& r, int stackedAt) const {
  std::vector<std::string> rect;
  for (const auto* a : r.All("rect"))
    if (a->size() == 5) rect.assign(a->begin() + 1, a->end());
  if (rect.empty()) return QRect(8, 8 + stackedAt * 30, 240, 24);
  double x = static_cast<std::int32_t>(Number(rect[0])), y = static_cast<std::int32_t>(Number(rect[1]));
  double w = Number(rect[2]), h = Number(rect[3]);
  if (r.Get("units") == "dlu") {
    x = x * baseX_ / 4, w = w * baseX_ / 4;
    y = y * baseY_ / 8, h = h * baseY_ / 8;
  }
  return QRect(static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)), static_cast<int>(std::lround(w)),
               static_cast<int>(std::lround(h)));
}

void WindowView::Refresh() {
  const fe::Record* self = link_->Find("window", key_);
  if (!self) return;
  setWindowTitle(FromProcess(self->Get("title")));
  if (auto font = self->All("font"); !font.empty() && font[0]->size() >= 3) {
    DialogBaseUnits((*font[0])[1], (*font[0])[2], &baseX_, &baseY_);
  } else {
    DialogBaseUnits("", "", &baseX_, &baseY_);
  }
  std::vector<const fe::Record*> children;
  Collect(key_, &children);
  std::set<std::string> seen;
  int stacked = 0;
  QRect extent;
  for (const fe::Record* c : children) {
    seen.insert(c->key);
    auto it = controls_.find(c->key);
    // A control is a child of its parent's widget (a group box's
    // children are the dialog's, as in a template).
    QWidget* parentWidget = this;
    auto parent = controls_.find(c->Get("parent"));
    if (parent != controls_.end()) parentWidget = parent->second->widget();
    if (it == controls_.end()) {
      it = controls_.emplace(c->key, MakeControl(link_, *c, parentWidget)).first;
    } else {
      it->second->Update(*c);
    }
    QRect at = Place(*c, stacked++);
    it->second->widget()->setGeometry(at);
    if (parentWidget == this) extent = extent.united(at);
  }
  for (auto it = controls_.begin(); it != controls_.end();) {
    if (seen.count(it->first)) {
      ++it;
      continue;
    }
    it->second->widget()->deleteLater();
    it = controls_.erase(it);
  }
  if (!placed_) {
    QRect own = Place(*self, 0);
    bool hasRect = !self->All("rect").empty();
    QSize size = hasRect ? own.size() : QSize(extent.right() + 9, extent.bottom() + 9).expandedTo(QSize(200, 60));
    if (hasRect && self->Get("units") == "px") size = own.size();
    setFixedSize(size);
    if (hasRect && self->Get("units") == "px" && (own.x() != 0 || own.y() != 0)) {
      move(own.topLeft());
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect area = screen->availableGeometry();
      move(area.center() - QPoint(size.width() / 2, size.height() / 2));
    }
    placed_ = true;
  }
  if (std::string icon = self->Get("icon"); icon != iconHandle_) {
    QPixmap pix;
    std::string image = self->Get("image");
    if (!image.empty() && pix.loadFromData(QByteArray::fromHex(QByteArray::fromStdString(image)), "PNG")) setWindowIcon(QIcon(pix));
    iconHandle_ = icon;
  }
  setEnabled(self->Get("enabled") == "1");
  bool shown = self->Get("visible") == "1";
  if (shown) peeking_ = false;
  bool visible = shown || peeking_;
  if (visible != isVisible()) setVisible(visible);
}

void WindowView::Peek() {
  peeking_ = true;
  Refresh();
  raise();
  activateWindow();
}

void WindowView::closeEvent(QCloseEvent* e) {
  if (peeking_) {
    peeking_ = false;
    return;  // only our drawing of a hidden window closes
  }
  // The process decides: its window procedure sees WM_CLOSE.
  e->ignore();
  link_->Send("close", {key_});
}

void WindowView::reject() {
  // Escape presses the dialog's Cancel button, as it does there; a window
  // without one stays.
  for (const auto& [key, c] : controls_) {
    if (c->id() == ::IDCANCEL && c->record().Get("kind") == "button" && c->widget()->isEnabled()) {
      link_->Send("click", {key, "0"});
      return;
    }
  }
}

}  // namespace zelfront
