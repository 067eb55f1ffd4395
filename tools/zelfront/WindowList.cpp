#include "tools/zelfront/WindowList.h"

#include <QHeaderView>

#include "tools/zelfront/Control.h"
#include "tools/zelfront/ProcessLink.h"
#include "tools/zelfront/WinConstants.h"

namespace zelfront {

namespace {
constexpr int kLinkRole = Qt::UserRole;
constexpr int kKindRole = Qt::UserRole + 1;
constexpr int kKeyRole = Qt::UserRole + 2;
}  // namespace

WindowList::WindowList(Actions actions) : actions_(std::move(actions)) {
  setWindowTitle("Vantrel: Programme und Fenster");
  setObjectName("window list");
  setColumnCount(2);
  setHeaderLabels({"Programm / Fenster", "Zustand"});
  header()->setSectionResizeMode(0, QHeaderView::Stretch);
  resize(420, 260);
  setContextMenuPolicy(Qt::CustomContextMenu);
  auto link = [](QTreeWidgetItem* item) { return static_cast<ProcessLink*>(item->data(0, kLinkRole).value<void*>()); };
  QObject::connect(this, &QTreeWidget::itemDoubleClicked, this, [this, link](QTreeWidgetItem* item) {
    std::string kind = item->data(0, kKindRole).toString().toStdString();
    std::string key = item->data(0, kKeyRole).toString().toStdString();
    if (kind == "tray") actions_.tray(link(item), key, ::WM_LBUTTONDBLCLK);
    if (kind == "window") actions_.show(link(item), key);
  });
  QObject::connect(this, &QWidget::customContextMenuRequested, this, [this, link](const QPoint& at) {
    QTreeWidgetItem* item = itemAt(at);
    if (item && item->data(0, kKindRole).toString() == "tray")
      actions_.tray(link(item), item->data(0, kKeyRole).toString().toStdString(), ::WM_RBUTTONUP);
  });
}

std::vector<WindowList::Entry> WindowList::Entries() const {
  std::vector<Entry> out;
  for (int i = 0; i < topLevelItemCount(); ++i) {
    QTreeWidgetItem* process = topLevelItem(i);
    for (int k = 0; k < process->childCount(); ++k) {
      QTreeWidgetItem* item = process->child(k);
      auto* link = static_cast<ProcessLink*>(item->data(0, kLinkRole).value<void*>());
      QRect at = visualItemRect(item);
      out.push_back({item->data(0, kKindRole).toString().toStdString(), link ? static_cast<int>(link->pid()) : 0,
                     item->data(0, kKeyRole).toString().toStdString(),
                     QRect(viewport()->mapToGlobal(at.topLeft()), at.size()), item->text(0).toStdString()});
    }
  }
  return out;
}

void WindowList::Rebuild(const std::vector<ProcessLink*>& links) {
  // Only a changed list is drawn again, so a selection survives the ticks.
  std::string shape;
  for (ProcessLink* l : links) {
    shape += std::to_string(l->pid()) + l->program() + ";";
    for (const auto& [k, r] : l->records()) {
      if (r.kind == "tray") shape += k + r.Get("tip") + ";";
      if (r.kind == "window" && !(Number(r.Get("style")) & ::WS_CHILD))
        shape += k + r.Get("title") + r.Get("visible") + ";";
    }
  }
  if (shape == shape_) return;
  shape_ = shape;
  clear();
  for (ProcessLink* l : links) {
    auto* process = new QTreeWidgetItem(this, {QString::fromStdString(l->program()),
                                               QString("Prozess %1").arg(static_cast<int>(l->pid()))});
    for (const auto& [k, r] : l->records()) {
      if (r.kind != "tray") continue;
      auto* item = new QTreeWidgetItem(process, {FromProcess("Symbol: " + r.Get("tip")), "Infobereich"});
      item->setData(0, kLinkRole, QVariant::fromValue(static_cast<void*>(l)));
      item->setData(0, kKindRole, "tray");
      item->setData(0, kKeyRole, QString::fromStdString(r.key));
    }
    for (const fe::Record* w : l->Windows()) {
      if (Number(w->Get("style")) & ::WS_CHILD) continue;
      auto* item = new QTreeWidgetItem(process, {FromProcess(w->Get("title")),
                                                 w->Get("visible") == "1" ? "sichtbar" : "verborgen"});
      item->setData(0, kLinkRole, QVariant::fromValue(static_cast<void*>(l)));
      item->setData(0, kKindRole, "window");
      item->setData(0, kKeyRole, QString::fromStdString(w->key));
    }
    process->setExpanded(true);
  }
}

}  // namespace zelfront
