#include "tools/zelfront/TrayView.h"

#include <QByteArray>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

#include "tools/zelfront/Control.h"
#include "tools/zelfront/WinConstants.h"

namespace zelfront {

QIcon DefaultTrayIcon(std::uint64_t seed) {
  QPixmap pix(32, 32);
  pix.fill(Qt::transparent);
  QPainter p(&pix);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(30, 90, 160), 5));
  int start = static_cast<int>(seed % 12) * 30 * 16;
  p.drawArc(QRect(5, 5, 22, 22), start, 300 * 16);
  p.end();
  return QIcon(pix);
}

TrayView::TrayView(ProcessLink* link, const fe::Record& r) : QSystemTrayIcon(nullptr), link_(link), key_(r.key) {
  QObject::connect(this, &QSystemTrayIcon::activated, this, [this](ActivationReason why) {
    if (why == Context) Mouse(::WM_RBUTTONUP);
    else if (why == DoubleClick) Mouse(::WM_LBUTTONDBLCLK);
    else if (why == Trigger) Mouse(::WM_LBUTTONUP);
  });
  Update(r);
}

void TrayView::Update(const fe::Record& r) {
  hwnd_ = r.Get("hwnd");
  uid_ = r.Get("uid");
  callback_ = Number(r.Get("callback")) != 0;
  setToolTip(FromProcess(r.Get("tip")));
  std::string handle = r.Get("icon");
  std::string image = r.Get("image");
  auto it = cache_.find(handle);
  if (it == cache_.end()) {
    QIcon icon;
    QPixmap pix;
    if (!image.empty() && pix.loadFromData(QByteArray::fromHex(QByteArray::fromStdString(image)), "PNG")) {
      icon = QIcon(pix);
      fromImage_ = true;
    } else {
      icon = DefaultTrayIcon(Number(handle));
    }
    it = cache_.emplace(handle, icon).first;
  }
  if (handle != icon_) {
    setIcon(it->second);
    icon_ = handle;
    if (std::find(seen_.begin(), seen_.end(), handle) == seen_.end()) seen_.push_back(handle);
  }
  if (!isVisible() && isSystemTrayAvailable()) show();
}

void TrayView::Mouse(int message) {
  if (!callback_) return;
  link_->Send("tray", {hwnd_, uid_, fe::Hex(static_cast<std::uint64_t>(message))});
}

void TrayView::Readd() {
  hide();
  show();
}

}  // namespace zelfront
