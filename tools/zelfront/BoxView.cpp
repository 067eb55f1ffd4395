#include "tools/zelfront/BoxView.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLocale>
#include <QStyle>
#include <QVBoxLayout>

#include "tools/zelfront/Control.h"
#include "tools/zelfront/WinConstants.h"

namespace zelfront {

QString BoxButtonText(int id) {
  static const char* kEnglish[] = {"", "OK", "Cancel", "&Abort", "&Retry", "&Ignore", "&Yes", "&No", "Close", "Help",
                                   "&Try Again", "&Continue"};
  static const char* kGerman[] = {"", "OK", "Abbrechen", "&Abbrechen", "&Wiederholen", "&Ignorieren", "&Ja", "&Nein",
                                  "Schließen", "Hilfe", "&Wiederholen", "&Weiter"};
  bool german = QLocale().language() == QLocale::German;
  if (id < 1 || id > 11) return QString::number(id);
  return QString::fromUtf8(german ? kGerman[id] : kEnglish[id]);
}

BoxView::BoxView(ProcessLink* link, std::string key) : QDialog(nullptr), link_(link), key_(std::move(key)) {
  setObjectName(QString::fromStdString("box " + key_));
  auto* all = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  icon_ = new QLabel(this);
  text_ = new QLabel(this);
  text_->setTextFormat(Qt::PlainText);
  text_->setWordWrap(true);
  text_->setMinimumWidth(240);
  top->addWidget(icon_, 0, Qt::AlignTop);
  top->addWidget(text_, 1);
  all->addLayout(top);
  row_ = new QWidget(this);
  new QHBoxLayout(row_);
  all->addWidget(row_, 0, Qt::AlignHCenter);
  all->setSizeConstraint(QLayout::SetFixedSize);
}

void BoxView::Refresh() {
  const fe::Record* self = link_->Find("window", key_);
  if (!self) return;
  setWindowTitle(FromProcess(self->Get("title")));
  text_->setText(FromProcess(self->Get("message")));
  std::uint32_t type = Number(self->Get("box"));
  QStyle::StandardPixmap pix = QStyle::SP_CustomBase;
  switch (type & ::MB_ICONMASK) {
    case ::MB_ICONHAND: pix = QStyle::SP_MessageBoxCritical; break;
    case ::MB_ICONQUESTION: pix = QStyle::SP_MessageBoxQuestion; break;
    case ::MB_ICONEXCLAMATION: pix = QStyle::SP_MessageBoxWarning; break;
    case ::MB_ICONASTERISK: pix = QStyle::SP_MessageBoxInformation; break;
    default: break;
  }
  if (pix != QStyle::SP_CustomBase) icon_->setPixmap(style()->standardIcon(pix).pixmap(32, 32));
  icon_->setVisible(pix != QStyle::SP_CustomBase);

  std::string ids;
  for (const auto* b : self->All("button")) ids += (b->size() > 1 ? (*b)[1] : "") + ",";
  if (ids != shownButtons_) {
    for (auto& [id, button] : buttons_) delete button;
    buttons_.clear();
    int n = 0;
    int def = static_cast<int>((type & ::MB_DEFMASK) >> 8);
    for (const auto* b : self->All("button")) {
      if (b->size() < 2) continue;
      int id = static_cast<int>(Number((*b)[1]));
      auto* button = new QPushButton(BoxButtonText(id), row_);
      row_->layout()->addWidget(button);
      button->setDefault(n == def);
      if (n == def) button->setFocus();
      std::string value = (*b)[1];
      QObject::connect(button, &QPushButton::clicked, this, [this, value] { link_->Send("answer", {key_, value}); });
      buttons_[id] = button;
      ++n;
    }
    shownButtons_ = ids;
  }
  bool visible = self->Get("visible") == "1";
  if (visible && !placed_) {
    adjustSize();
    placed_ = true;
  }
  if (visible != isVisible()) setVisible(visible);
}

void BoxView::closeEvent(QCloseEvent* e) {
  e->ignore();
  link_->Send("close", {key_});
}

void BoxView::reject() { link_->Send("close", {key_}); }

}  // namespace zelfront
