// A control of a drawn window: a Qt widget that shows the state its record
// carries and sends what a person does to it back as a protocol command
// (the control's own handle with id 0). The widget never keeps a state of
// its own: after a command the next record, or on an error the last one,
// decides what it shows.
#pragma once

#include <QWidget>

#include <memory>
#include <string>
#include <vector>

#include "tools/zelfront/ProcessLink.h"

namespace zelfront {

class Control {
 public:
  Control(ProcessLink* link, const fe::Record& r);
  virtual ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  virtual QWidget* widget() = 0;
  // Shows the record's state; also called again after a refused command.
  void Update(const fe::Record& r);

  const std::string& key() const { return key_; }
  const fe::Record& record() const { return last_; }
  int id() const;
  // The items a person can click (list rows, tree items) for the state
  // file: "row INDEX" or "node HANDLE", selected or not, global rectangle.
  struct Item {
    std::string name;
    bool selected;
    QRect rect;
  };
  virtual std::vector<Item> Items() const { return {}; }

 protected:
  virtual void Show(const fe::Record& r) = 0;
  // Sends `name TAG KEY 0 args...`; on an error the control shows its
  // record again.
  void Command(const std::string& name, std::vector<std::string> args = {});
  // Sends a command on the control's own handle without the id field.
  void Raw(const std::string& name, std::vector<std::string> args);
  // True while Show runs: widget signals then are ours, not a person's.
  bool updating() const { return updating_; }

 private:
  ProcessLink* link_;
  std::string key_;
  fe::Record last_;
  bool updating_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The control for a window record (its `kind`, else its class), made as a
// child of `parent`.
std::unique_ptr<Control> MakeControl(ProcessLink* link, const fe::Record& r, QWidget* parent);

// A process's text: UTF-8 as the protocol says; a string that is not
// valid UTF-8 is taken as the platform's ANSI code page (Windows-1252),
// which programs that write their window texts in it send unchanged.
QString FromProcess(const std::string& text);
// "&Datei" -> "Datei" for labels; "&&" stays one "&".
QString StripMnemonic(const std::string& text);
std::uint32_t Number(const std::string& text);

}  // namespace zelfront
