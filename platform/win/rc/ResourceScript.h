// Reads a resource script into the resources of a module. The script is
// the subset of the published syntax the system's modules use:
//   LANGUAGE <primary>, <sub>   or   LANGUAGE <lcid>
//   STRINGTABLE [options] BEGIN <id> "text" ... END
//   <id> DIALOGEX x, y, cx, cy ... BEGIN <controls> END   (also DIALOG)
//   <id> MENU BEGIN POPUP "x" BEGIN MENUITEM "t", <id> ... END END
//   <name> <TYPE> "file"        a custom resource: the file's bytes
// with // and /* */ comments, { } for BEGIN/END, and no preprocessor.
// A script in UTF-8 is stored in the ANSI code page, as the platform's
// strings are. Dialogs and menus are kept as the text of their statement.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win/ResourceTable.h"

namespace vantrel::win::rc {

struct Resource {
  ResourceKey type;
  ResourceKey name;
  std::uint16_t language = 0;
  std::string bytes;
  int line = 0;
};

struct Script {
  std::vector<Resource> resources;
  std::vector<std::string> inputs;  // files the resources were read from
};

// Parses `text`; custom resources' files are read relative to `folder`.
// Returns false with "line: message" in `error`.
bool ParseScript(const std::string& text, const std::string& folder, Script* out, std::string* error);

// The resource table of `script` (the layout of ResourceTable.h), or false
// with a message when it cannot be laid out (too large).
bool BuildTable(const Script& script, std::string* table, std::string* error);

}  // namespace vantrel::win::rc
