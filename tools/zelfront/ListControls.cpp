#include "tools/zelfront/ListControls.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QTreeWidget>

#include <map>

#include "tools/zelfront/WinConstants.h"

namespace zelfront {

namespace {

QStringList ItemTexts(const fe::Record& r) {
  QStringList out;
  for (const auto* item : r.All("item")) out << FromProcess(item->size() > 1 ? (*item)[1] : "");
  return out;
}

int Selected(const fe::Record& r) { return static_cast<int>(static_cast<std::int32_t>(Number(r.Get("selected", "-1")))); }

QRect Global(const QWidget* viewport, const QRect& local) {
  return QRect(viewport->mapToGlobal(local.topLeft()), local.size());
}

// Opening the list first tells the process (CBN_DROPDOWN), which may fill
// it; the records that follow update the open list.
class DropCombo : public QComboBox {
 public:
  DropCombo(QWidget* parent, std::function<void()> opening) : QComboBox(parent), opening_(std::move(opening)) {}
  void showPopup() override {
    opening_();
    QComboBox::showPopup();
  }

 private:
  std::function<void()> opening_;
};

class ComboControl : public Control {
 public:
  ComboControl(ProcessLink* link, const fe::Record& r, QWidget* parent) : Control(link, r) {
    combo_ = new DropCombo(parent, [this] { Command("dropdown"); });
    bool editable = (Number(r.Get("style")) & win::CBS_TYPEMASK) != ::CBS_DROPDOWNLIST;
    combo_->setEditable(editable);
    combo_->setInsertPolicy(QComboBox::NoInsert);
    QObject::connect(combo_, &QComboBox::activated, combo_, [this](int index) {
      if (!updating()) Command("pick", {std::to_string(index)});
    });
    if (editable) {
      QObject::connect(combo_->lineEdit(), &QLineEdit::textEdited, combo_, [this](const QString& t) {
        if (!updating()) Command("type", {t.toStdString()});
      });
    }
  }
  QWidget* widget() override { return combo_; }

 protected:
  void Show(const fe::Record& r) override {
    QSignalBlocker block(combo_);
    QStringList items = ItemTexts(r);
    QStringList now;
    for (int i = 0; i < combo_->count(); ++i) now << combo_->itemText(i);
    if (now != items) {
      combo_->clear();
      combo_->addItems(items);
    }
    combo_->setCurrentIndex(Selected(r));
    if (combo_->isEditable() && combo_->currentIndex() < 0) combo_->setEditText(FromProcess(r.Get("title")));
  }

 private:
  DropCombo* combo_;
};

class ListBoxControl : public Control {
 public:
  ListBoxControl(ProcessLink* link, const fe::Record& r, QWidget* parent) : Control(link, r), list_(new QListWidget(parent)) {
    QObject::connect(list_, &QListWidget::itemPressed, list_, [this](QListWidgetItem* item) {
      if (!updating()) Command("pick", {std::to_string(list_->row(item))});
    });
  }
  QWidget* widget() override { return list_; }
  std::vector<Item> Items() const override {
    std::vector<Item> out;
    for (int i = 0; i < list_->count(); ++i)
      out.push_back({"row " + std::to_string(i), list_->item(i)->isSelected(),
                     Global(list_->viewport(), list_->visualItemRect(list_->item(i)))});
    return out;
  }

 protected:
  void Show(const fe::Record& r) override {
    QSignalBlocker block(list_);
    QStringList items = ItemTexts(r);
    QStringList now;
    for (int i = 0; i < list_->count(); ++i) now << list_->item(i)->text();
    if (now != items) {
      list_->clear();
      list_->addItems(items);
    }
    list_->setCurrentRow(Selected(r));
  }

 private:
  QListWidget* list_;
};

// A report-style list view: a click selects that row alone (`pick`), a
// double click sends `dblclick`.
class ListViewControl : public Control {
 public:
  ListViewControl(ProcessLink* link, const fe::Record& r, QWidget* parent) : Control(link, r), tree_(new QTreeWidget(parent)) {
    tree_->setRootIsDecorated(false);
    tree_->setUniformRowHeights(true);
    tree_->setSelectionMode((Number(r.Get("style")) & ::LVS_SINGLESEL) ? QAbstractItemView::SingleSelection
                                                                          : QAbstractItemView::ExtendedSelection);
    QObject::connect(tree_, &QTreeWidget::itemPressed, tree_, [this](QTreeWidgetItem* item) {
      if (!updating()) Command("pick", {std::to_string(tree_->indexOfTopLevelItem(item))});
    });
    QObject::connect(tree_, &QTreeWidget::itemDoubleClicked, tree_, [this](QTreeWidgetItem* item) {
      if (!updating()) Command("dblclick", {std::to_string(tree_->indexOfTopLevelItem(item))});
    });
  }
  QWidget* widget() override { return tree_; }
  std::vector<Item> Items() const override {
    std::vector<Item> out;
    for (int i = 0; i < tree_->topLevelItemCount(); ++i)
      out.push_back({"row " + std::to_string(i), tree_->topLevelItem(i)->isSelected(),
                     Global(tree_->viewport(), tree_->visualItemRect(tree_->topLevelItem(i)))});
    return out;
  }

 protected:
  void Show(const fe::Record& r) override {
    QSignalBlocker block(tree_);
    QStringList heads;
    std::vector<int> widths;
    for (const auto* c : r.All("column")) {
      widths.push_back(c->size() > 1 ? static_cast<int>(Number((*c)[1])) : 100);
      heads << FromProcess(c->size() > 2 ? (*c)[2] : "");
    }
    if (heads.isEmpty()) heads << QString();
    if (tree_->columnCount() != heads.size() || tree_->headerItem()->text(0) != heads[0]) {
      tree_->setColumnCount(static_cast<int>(heads.size()));
      tree_->setHeaderLabels(heads);
      for (size_t i = 0; i < widths.size(); ++i) tree_->setColumnWidth(static_cast<int>(i), widths[i]);
    }
    auto rows = r.All("row");
    while (tree_->topLevelItemCount() > static_cast<int>(rows.size())) delete tree_->takeTopLevelItem(tree_->topLevelItemCount() - 1);
    while (tree_->topLevelItemCount() < static_cast<int>(rows.size())) tree_->addTopLevelItem(new QTreeWidgetItem);
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto& row = *rows[i];
      QTreeWidgetItem* item = tree_->topLevelItem(static_cast<int>(i));
      for (size_t col = 3; col < row.size(); ++col) item->setText(static_cast<int>(col - 3), FromProcess(row[col]));
      item->setSelected((Number(row.size() > 1 ? row[1] : "0") & ::LVIS_SELECTED) != 0);
    }
  }

 private:
  QTreeWidget* tree_;
};

// Tree items arrive depth first with their parents; expanding an item asks
// the process (TVN_ITEMEXPANDING may refuse), whose record then opens it.
class TreeViewControl : public Control {
 public:
  TreeViewControl(ProcessLink* link, const fe::Record& r, QWidget* parent) : Control(link, r), tree_(new QTreeWidget(parent)) {
    tree_->setHeaderHidden(true);
    QObject::connect(tree_, &QTreeWidget::itemExpanded, tree_, [this](QTreeWidgetItem* item) {
      if (updating()) return;
      std::string handle = item->data(0, Qt::UserRole).toString().toStdString();
      Update(record());  // stays closed until the process opened it
      Command("expand", {handle});
    });
    QObject::connect(tree_, &QTreeWidget::itemPressed, tree_, [this](QTreeWidgetItem* item) {
      if (!updating()) Command("treeselect", {item->data(0, Qt::UserRole).toString().toStdString()});
    });
  }
  QWidget* widget() override { return tree_; }
  std::vector<Item> Items() const override {
    std::vector<Item> out;
    for (const auto& [handle, item] : items_)
      out.push_back({"node " + handle, item->isSelected(), Global(tree_->viewport(), tree_->visualItemRect(item))});
    return out;
  }

 protected:
  void Show(const fe::Record& r) override {
    QSignalBlocker block(tree_);
    std::vector<std::string> shape;
    for (const auto* n : r.All("node")) {
      if (n->size() < 6) continue;
      shape.push_back((*n)[1] + "/" + (*n)[2] + "/" + (*n)[4] + "/" + (*n)[5]);
    }
    if (shape != shape_) {
      tree_->clear();
      items_.clear();
      for (const auto* n : r.All("node")) {
        if (n->size() < 6) continue;
        auto parent = items_.find((*n)[2]);
        auto* item = parent == items_.end() ? new QTreeWidgetItem(tree_) : new QTreeWidgetItem(parent->second);
        item->setText(0, FromProcess((*n)[5]));
        item->setData(0, Qt::UserRole, QString::fromStdString((*n)[1]));
        item->setChildIndicatorPolicy(Number((*n)[4]) > 0 ? QTreeWidgetItem::ShowIndicator
                                                          : QTreeWidgetItem::DontShowIndicatorWhenChildless);
        items_[(*n)[1]] = item;
      }
      shape_ = shape;
    }
    for (const auto* n : r.All("node")) {
      if (n->size() < 6) continue;
      auto it = items_.find((*n)[1]);
      if (it == items_.end()) continue;
      std::uint32_t state = Number((*n)[3]);
      it->second->setExpanded((state & ::TVIS_EXPANDED) != 0);
    }
    auto sel = items_.find(r.Get("treeselection"));
    tree_->setCurrentItem(sel == items_.end() ? nullptr : sel->second);
  }

 private:
  QTreeWidget* tree_;
  std::vector<std::string> shape_;
  std::map<std::string, QTreeWidgetItem*> items_;
};

}  // namespace

std::unique_ptr<Control> MakeComboBox(ProcessLink* link, const fe::Record& r, QWidget* parent) {
  return std::make_unique<ComboControl>(link, r, parent);
}
std::unique_ptr<Control> MakeListBox(ProcessLink* link, const fe::Record& r, QWidget* parent) {
  return std::make_unique<ListBoxControl>(link, r, parent);
}
std::unique_ptr<Control> MakeListView(ProcessLink* link, const fe::Record& r, QWidget* parent) {
  return std::make_unique<ListViewControl>(link, r, parent);
}
std::unique_ptr<Control> MakeTreeView(ProcessLink* link, const fe::Record& r, QWidget* parent) {
  return std::make_unique<TreeViewControl>(link, r, parent);
}

}  // namespace zelfront
