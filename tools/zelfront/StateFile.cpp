#include "tools/zelfront/StateFile.h"

#include "tools/zelfront/FrontEndApp.h"

namespace zelfront {

namespace {

std::vector<std::string> Rect(const QRect& r) {
  return {std::to_string(r.x()), std::to_string(r.y()), std::to_string(r.width()), std::to_string(r.height())};
}

QRect GlobalRect(const QWidget* w) { return QRect(w->mapToGlobal(QPoint(0, 0)), w->size()); }

void Line(std::string* out, std::vector<std::string> fields) { *out += fe::Join(fields) + "\n"; }

std::vector<std::string> Cat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string Pid(const ProcessLink* l) { return std::to_string(l->pid()); }

}  // namespace

std::string DescribeState(const FrontEndApp& app) {
  std::string out;
  for (const ProcessLink* l : app.Links()) Line(&out, {"process", Pid(l), l->program().empty() ? "?" : l->program()});
  Line(&out, {"trayhost", app.trayHost() ? "available" : "none"});
  Line(&out, {"list", app.listShown() ? "shown" : "hidden"});
  if (app.listShown()) {
    for (const auto& e : app.list().Entries())
      Line(&out, Cat({"listentry", std::to_string(e.pid), e.kind, e.key}, Cat(Rect(e.rect), {e.text})));
  }
  for (const auto& [k, t] : app.trays()) {
    const fe::Record* r = t->link()->Find("tray", t->key());
    Line(&out, Cat({"tray", Pid(t->link()), t->key(), t->isVisible() ? "1" : "0"},
                   Cat(Rect(t->geometry()), {t->iconHandle(), std::to_string(t->seen().size()), t->fromImage() ? "1" : "0",
                                             r ? r->Get("tip") : ""})));
  }
  for (const auto& [k, w] : app.windows()) {
    Line(&out, Cat({"window", Pid(w->link()), w->key(), w->isVisible() ? "1" : "0"},
                   Cat(Rect(GlobalRect(w)), {w->windowTitle().toStdString()})));
    for (const auto& [ck, c] : w->controls()) {
      const QWidget* cw = c->widget();
      Line(&out, Cat({"control", Pid(w->link()), ck, w->key(), std::to_string(c->id()), c->record().Get("kind", "window"),
                      cw->isEnabled() ? "1" : "0"},
                     Cat(Rect(GlobalRect(cw)), {c->record().Get("title")})));
      for (const auto& item : c->Items()) {
        size_t space = item.name.find(' ');
        Line(&out, Cat({"item", Pid(w->link()), ck, item.name.substr(0, space), item.name.substr(space + 1),
                        item.selected ? "1" : "0"},
                       Rect(item.rect)));
      }
    }
  }
  for (const auto& [k, b] : app.boxes()) {
    Line(&out, Cat({"box", Pid(b->link()), b->key(), b->isVisible() ? "1" : "0"}, Cat(Rect(GlobalRect(b)), {b->text().toStdString()})));
    for (const auto& [id, button] : b->buttons())
      Line(&out, Cat({"boxbutton", Pid(b->link()), b->key(), std::to_string(id)}, Rect(GlobalRect(button))));
  }
  for (const auto& [k, m] : app.menus()) {
    Line(&out, {"menu", Pid(m->link()), m->key(), m->owner(), m->isVisible() ? "1" : "0"});
    for (QAction* a : m->actions()) {
      if (a->isSeparator()) continue;
      QRect at = m->actionGeometry(a);
      Line(&out, Cat({"menuitem", Pid(m->link()), m->key(), a->data().toString().toStdString(), a->isEnabled() ? "1" : "0"},
                     Cat(Rect(QRect(m->mapToGlobal(at.topLeft()), at.size())), {a->text().toStdString()})));
    }
  }
  for (const std::string& n : app.notes()) Line(&out, {"note", n});
  return out;
}

}  // namespace zelfront
