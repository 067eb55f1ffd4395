// The template of a dialog (its style, caption and numbered controls) and of
// a menu, built in code or parsed from the text of a DIALOGEX or MENU
// statement of a resource script.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win/WinUser.h"

namespace vantrel::win {

struct ControlTemplate {
  std::string className;  // "Static", "Edit", "Button", "ComboBox", "SysListView32" ...
  std::string text;
  int id = -1;
  DWORD style = 0;  // WS_CHILD | WS_VISIBLE are added by the keyword forms
  DWORD exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
};

struct DialogTemplate {
  int resourceId = 0;  // the statement's id when parsed, else 0
  DWORD style = 0;
  DWORD exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::string caption;
  std::string fontName;
  int fontSize = 0;
  std::vector<ControlTemplate> controls;

  // Builders for templates made in code.
  DialogTemplate& Add(ControlTemplate c) {
    controls.push_back(std::move(c));
    return *this;
  }
};

struct MenuTemplateItem {
  std::string text;   // empty for a separator
  UINT id = 0;
  UINT flags = 0;     // MF_SEPARATOR, MF_POPUP, MF_GRAYED, MF_CHECKED
  std::vector<MenuTemplateItem> children;  // the items of a popup
};

struct MenuTemplate {
  int resourceId = 0;
  std::vector<MenuTemplateItem> items;
};

// Parse the text of one statement (`<id> DIALOGEX ... END`, or `<id> MENU
// ... END`). False with a message naming the line on any error; the
// template is then unspecified.
bool ParseDialogTemplate(std::string_view text, DialogTemplate* out, std::string* error);
bool ParseMenuTemplate(std::string_view text, MenuTemplate* out, std::string* error);

// The value of a published style or identifier name (WS_VISIBLE, ES_PASSWORD,
// IDOK ...), false when the name is unknown.
bool StyleValue(std::string_view name, DWORD* value);

}  // namespace vantrel::win
