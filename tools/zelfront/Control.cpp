#include "tools/zelfront/Control.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QStyle>

#include <cstdio>

#include "platform/base/CodePage.h"

#include "tools/zelfront/ListControls.h"
#include "tools/zelfront/WinConstants.h"

namespace zelfront {

std::uint32_t Number(const std::string& text) {
  std::int64_t v = 0;
  return fe::ParseNumber(text, &v) ? static_cast<std::uint32_t>(v) : 0;
}

namespace {

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 9;
    if (n == 9 || (n > 0 && c < 0xC2) || i + n >= s.size() + (n == 0 ? 1 : 0)) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

QString FromProcess(const std::string& text) {
  if (ValidUtf8(text)) return QString::fromStdString(text);
  std::u16string wide = vantrel::AnsiToUtf16(text);
  return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

QString StripMnemonic(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return FromProcess(out);
}

Control::Control(ProcessLink* link, const fe::Record& r) : link_(link), key_(r.key), last_(r) {}

Control::~Control() { *alive_ = false; }

int Control::id() const { return static_cast<int>(static_cast<std::int32_t>(Number(last_.Get("id")))); }

void Control::Update(const fe::Record& r) {
  last_ = r;
  updating_ = true;
  Show(r);
  updating_ = false;
  widget()->setEnabled(r.Get("enabled") == "1");
  // Its own WS_VISIBLE: `visible` also counts the windows it sits in,
  // and a control's record does not change when its dialog is shown.
  widget()->setVisible((Number(r.Get("style")) & ::WS_VISIBLE) != 0);
}

void Control::Command(const std::string& name, std::vector<std::string> args) {
  args.insert(args.begin(), {key_, "0"});
  Raw(name, std::move(args));
}

void Control::Raw(const std::string& name, std::vector<std::string> args) {
  std::weak_ptr<bool> alive = alive_;
  link_->Send(name, std::move(args), [this, alive, name](bool ok, const std::vector<std::string>& f) {
    if (ok) return;
    std::fprintf(stderr, "zelfront: %s on %s refused: %s\n", name.c_str(), key_.c_str(), f.size() > 2 ? f[2].c_str() : "?");
    auto still = alive.lock();
    if (still && *still) Update(last_);
  });
}

namespace {

class StaticControl : public Control {
 public:
  StaticControl(ProcessLink* link, const fe::Record& r, QWidget* parent) : Control(link, r), label_(new QLabel(parent)) {}
  QWidget* widget() override { return label_; }

 protected:
  void Show(const fe::Record& r) override {
    std::uint32_t style = Number(r.Get("style"));
    std::uint32_t type = style & ::SS_TYPEMASK;
    if (type == ::SS_ICON) {
      label_->setPixmap(label_->style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
      return;
    }
    if (type == ::SS_ETCHEDHORZ) {
      label_->setFrameStyle(QFrame::HLine | QFrame::Sunken);
      return;
    }
    label_->setText(StripMnemonic(r.Get("title")));
    label_->setAlignment((type == ::SS_CENTER ? Qt::AlignHCenter : type == ::SS_RIGHT ? Qt::AlignRight : Qt::AlignLeft) |
                         Qt::AlignTop);
    label_->setWordWrap(true);
  }

 private:
  QLabel* label_;
};

class ButtonControl : public Control {
 public:
  ButtonControl(ProcessLink* link, const fe::Record& r, QWidget* parent) : Control(link, r) {
    std::uint32_t type = Number(r.Get("style")) & ::BS_TYPEMASK;
    if (type == ::BS_GROUPBOX) {
      group_ = new QGroupBox(parent);
      widget_ = group_;
      return;
    }
    if (type == ::BS_CHECKBOX || type == ::BS_AUTOCHECKBOX || type == ::BS_3STATE || type == ::BS_AUTO3STATE) {
      check_ = new QCheckBox(parent);
      check_->setTristate(type == ::BS_3STATE || type == ::BS_AUTO3STATE);
      button_ = check_;
    } else if (type == ::BS_RADIOBUTTON || type == ::BS_AUTORADIOBUTTON) {
      radio_ = new QRadioButton(parent);
      radio_->setAutoExclusive(false);  // the process decides which is on
      button_ = radio_;
    } else {
      push_ = new QPushButton(parent);
      push_->setAutoDefault(false);
      push_->setDefault(type == ::BS_DEFPUSHBUTTON);
      button_ = push_;
    }
    widget_ = button_;
    QObject::connect(button_, &QAbstractButton::clicked, button_, [this] {
      if (updating()) return;
      if (check_ || radio_) Update(record());  // the process's answer sets the state
      Command("click");
    });
  }
  QWidget* widget() override { return widget_; }

 protected:
  void Show(const fe::Record& r) override {
    QString text = FromProcess(r.Get("title"));
    if (group_) {
      group_->setTitle(text);
      return;
    }
    button_->setText(text);
    int check = static_cast<int>(Number(r.Get("check")));
    QSignalBlocker block(button_);
    if (check_) check_->setCheckState(check == 1 ? Qt::Checked : check == 2 ? Qt::PartiallyChecked : Qt::Unchecked);
    if (radio_) radio_->setChecked(check == 1);
  }

 private:
  QWidget* widget_ = nullptr;
  QAbstractButton* button_ = nullptr;
  QPushButton* push_ = nullptr;
  QCheckBox* check_ = nullptr;
  QRadioButton* radio_ = nullptr;
  QGroupBox* group_ = nullptr;
};

// Each change a person makes is sent at once (`type` with the whole
// text): the dialog procedure sees EN_CHANGE per key, as it would there.
class EditControl : public Control {
 public:
  EditControl(ProcessLink* link, const fe::Record& r, QWidget* parent) : Control(link, r) {
    std::uint32_t style = Number(r.Get("style"));
    password_ = (style & ::ES_PASSWORD) != 0;
    if (style & ::ES_MULTILINE) {
      multi_ = new QPlainTextEdit(parent);
      widget_ = multi_;
      QObject::connect(multi_, &QPlainTextEdit::textChanged, multi_, [this] {
        if (!updating()) Command("type", {multi_->toPlainText().toStdString()});
      });
    } else {
      line_ = new QLineEdit(parent);
      widget_ = line_;
      if (password_) line_->setEchoMode(QLineEdit::Password);
      QObject::connect(line_, &QLineEdit::textEdited, line_, [this](const QString& t) {
        if (!updating()) Command("type", {t.toStdString()});
      });
    }
  }
  QWidget* widget() override { return widget_; }

 protected:
  void Show(const fe::Record& r) override {
    std::uint32_t style = Number(r.Get("style"));
    std::string title = r.Get("title");
    QString text = FromProcess(title);
    int limit = static_cast<int>(Number(r.Get("limit")));
    if (multi_) {
      multi_->setReadOnly(style & ::ES_READONLY);
      if (multi_->toPlainText() != text) multi_->setPlainText(text);
      return;
    }
    line_->setReadOnly(style & ::ES_READONLY);
    line_->setMaxLength(limit > 0 ? limit : 32767);
    // A password edit's record shows its text as *s: what was typed here
    // stays while its length agrees.
    if (password_ && static_cast<size_t>(line_->text().size()) == title.size()) return;
    if (line_->text() != text) {
      int at = line_->cursorPosition();
      line_->setText(text);
      line_->setCursorPosition(std::min(at, static_cast<int>(text.size())));
    }
  }

 private:
  bool password_ = false;
  QWidget* widget_ = nullptr;
  QLineEdit* line_ = nullptr;
  QPlainTextEdit* multi_ = nullptr;
};

// A window of a class this front end does not know: its frame and text.
class PlainControl : public Control {
 public:
  PlainControl(ProcessLink* link, const fe::Record& r, QWidget* parent) : Control(link, r), frame_(new QLabel(parent)) {
    frame_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  }
  QWidget* widget() override { return frame_; }

 protected:
  void Show(const fe::Record& r) override { frame_->setText(FromProcess(r.Get("title"))); }

 private:
  QLabel* frame_;
};

}  // namespace

std::unique_ptr<Control> MakeControl(ProcessLink* link, const fe::Record& r, QWidget* parent) {
  std::string kind = r.Get("kind");
  std::unique_ptr<Control> c;
  if (kind == "static") c = std::make_unique<StaticControl>(link, r, parent);
  else if (kind == "button") c = std::make_unique<ButtonControl>(link, r, parent);
  else if (kind == "edit") c = std::make_unique<EditControl>(link, r, parent);
  else if (kind == "combobox") c = MakeComboBox(link, r, parent);
  else if (kind == "listbox") c = MakeListBox(link, r, parent);
  else if (kind == "listview") c = MakeListView(link, r, parent);
  else if (kind == "treeview") c = MakeTreeView(link, r, parent);
  else c = std::make_unique<PlainControl>(link, r, parent);
  c->Update(r);
  return c;
}

}  // namespace zelfront
