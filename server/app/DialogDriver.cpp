#include "server/app/DialogDriver.h"

#include <chrono>
#include <cstdlib>

namespace vantrel::admin {

namespace {

// A dialog or message box of its own (its "parent" is its owner, if any);
// the visibility of controls is not tracked, only that of their dialog.
bool IsTopDialog(const fe::Record& w) {
  return w.kind == "window" && w.Get("id") == "0" && w.Get("class") == "#32770" && w.Get("visible") == "1";
}

}  // namespace

const fe::Record* DialogDriver::Window(const std::string& hwnd) const {
  auto it = c_->records().find("window " + hwnd);
  return it == c_->records().end() ? nullptr : &it->second;
}

const fe::Record* DialogDriver::Control(const std::string& dialog, int id) const {
  const std::string want = std::to_string(id);
  for (const fe::Record* w : c_->Windows())
    if (w->Get("parent") == dialog && w->Get("id") == want) return w;
  return nullptr;
}

std::string DialogDriver::FindDialog(const std::vector<int>& ids) const {
  for (const fe::Record* w : c_->Windows()) {
    if (!IsTopDialog(*w) || !w->Get("box").empty()) continue;
    bool all = true;
    for (int id : ids) all = all && Control(w->key, id) != nullptr;
    if (all) return w->key;
  }
  return std::string();
}

std::string DialogDriver::FindMessageBox() const {
  for (const fe::Record* w : c_->Windows())
    if (IsTopDialog(*w) && !w->Get("box").empty()) return w->key;
  return std::string();
}

bool DialogDriver::WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // One record at a time, so that `done` sees every state in between.
    bool read = c_->WaitFor([&, first = true](const FrontEndClient&) mutable {
      if (first) {
        first = false;
        return false;
      }
      return true;
    }, static_cast<int>(left.count()));
    if (!read) return done();
  }
  return true;
}

std::string DialogDriver::WaitDialog(const std::vector<int>& ids) {
  std::string found;
  WaitFor([&] { return !(found = FindDialog(ids)).empty(); });
  return found;
}

bool DialogDriver::WaitGone(const std::string& dialog) {
  return WaitFor([&] { return Window(dialog) == nullptr; });
}

bool DialogDriver::WaitEnabled(const std::string& dialog, int id, bool enabled) {
  return WaitFor([&] {
    const fe::Record* c = Control(dialog, id);
    return c && (c->Get("enabled") == "1") == enabled;
  });
}

bool DialogDriver::Run(const std::string& name, const std::vector<std::string>& args, std::string* error) {
  std::string ignored;
  return c_->Command(name, args, timeout_ms_, error ? error : &ignored);
}

bool DialogDriver::Click(const std::string& dialog, int id, std::string* error) {
  return Run("click", {dialog, std::to_string(id)}, error);
}

bool DialogDriver::Type(const std::string& dialog, int id, const std::string& text, std::string* error) {
  return Run("type", {dialog, std::to_string(id), text}, error);
}

bool DialogDriver::Pick(const std::string& dialog, int id, int index, std::string* error) {
  return Run("pick", {dialog, std::to_string(id), std::to_string(index)}, error);
}

bool DialogDriver::Answer(const std::string& box, int button, std::string* error) {
  return Run("answer", {box, std::to_string(button)}, error);
}

bool DialogDriver::Close(const std::string& dialog, std::string* error) { return Run("close", {dialog}, error); }

std::vector<DialogDriver::Row> DialogDriver::Rows(const std::string& dialog, int id) const {
  std::vector<Row> rows;
  const fe::Record* list = Control(dialog, id);
  if (!list) return rows;
  for (const std::vector<std::string>* attr : list->All("row")) {
    Row row;
    if (attr->size() >= 2) row.state = static_cast<unsigned>(std::strtoul((*attr)[1].c_str(), nullptr, 0));
    for (size_t i = 3; i < attr->size(); ++i) row.texts.push_back((*attr)[i]);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string DialogDriver::BoxText(const std::string& box) const {
  const fe::Record* w = Window(box);
  return w ? w->Get("message") : std::string();
}

}  // namespace vantrel::admin
