#include "tools/zelfront/MenuView.h"

#include <QTimer>

#include <vector>

#include "tools/zelfront/Control.h"
#include "tools/zelfront/WinConstants.h"

namespace zelfront {

MenuView::MenuView(ProcessLink* link, const fe::Record& r) : QMenu(nullptr), link_(link), key_(r.key), owner_(r.Get("owner")) {
  setObjectName(QString::fromStdString("menu " + key_));
  // menuitem ID FLAGS DEPTH TEXT, depth first: a popup's items follow it.
  std::vector<QMenu*> at{this};
  for (const auto* item : r.All("menuitem")) {
    if (item->size() < 5) continue;
    std::uint32_t flags = Number((*item)[2]);
    size_t depth = Number((*item)[3]);
    if (depth + 1 > at.size()) continue;  // an item without its popup
    at.resize(depth + 1);
    QMenu* into = at[depth];
    QString text = FromProcess((*item)[4]).replace('\t', "\t");
    if (flags & ::MF_SEPARATOR) {
      into->addSeparator();
      continue;
    }
    if (flags & ::MF_POPUP) {
      QMenu* sub = into->addMenu(text);
      sub->setEnabled(!(flags & (::MF_GRAYED | ::MF_DISABLED)));
      at.push_back(sub);
      continue;
    }
    QAction* a = into->addAction(text);
    a->setEnabled(!(flags & (::MF_GRAYED | ::MF_DISABLED)));
    if (flags & ::MF_CHECKED) {
      a->setCheckable(true);
      a->setChecked(true);
    }
    a->setData(QString::fromStdString((*item)[1]));
  }
  QObject::connect(this, &QMenu::triggered, this, [this](QAction* a) { Answer(a->data().toString().toStdString()); });
  // aboutToHide comes before triggered: look once the pick had its turn.
  QObject::connect(this, &QMenu::aboutToHide, this, [this] {
    QTimer::singleShot(0, this, [this] {
      if (!answered_) Answer("0");
    });
  });
}

void MenuView::Answer(const std::string& id) {
  if (answered_) return;
  answered_ = true;
  link_->Send("menu", {key_, id});
}

void MenuView::Withdraw() {
  answered_ = true;
  hide();
}

}  // namespace zelfront
