// The resource compiler: turns a resource script into a C++ source that
// defines the module's resource table (the C symbol vantrel_resource_table).
//
//   vantrel_rc SCRIPT OUTPUT.cpp [DEPFILE]
//
// The depfile names the script and every file a custom resource read, so
// the build compiles the table again when one of them changes.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/win/rc/ResourceScript.h"

namespace {

std::string DepPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == ' ' || c == '#' || c == '\\') out.push_back('\\');
    if (c == '$') out.push_back('$');
    out.push_back(c);
  }
  return out;
}

bool WriteFile(const std::string& path, const std::string& text) {
  // Unchanged output keeps its time stamp, so nothing is compiled again.
  std::ifstream old(path, std::ios::binary);
  if (old) {
    std::ostringstream was;
    was << old.rdbuf();
    if (was.str() == text) return true;
  }
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: vantrel_rc SCRIPT OUTPUT.cpp [DEPFILE]\n");
    return 2;
  }
  const std::string scriptPath = argv[1];
  std::ifstream in(scriptPath, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read the script\n", scriptPath.c_str());
    return 1;
  }
  std::ostringstream text;
  text << in.rdbuf();
  const auto slash = scriptPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : scriptPath.substr(0, slash);

  vantrel::win::rc::Script script;
  std::string error, table;
  if (!vantrel::win::rc::ParseScript(text.str(), folder, &script, &error) ||
      !vantrel::win::rc::BuildTable(script, &table, &error)) {
    std::fprintf(stderr, "%s:%s\n", scriptPath.c_str(), error.c_str());
    return 1;
  }

  std::string out;
  out += "// Generated from " + scriptPath + " by vantrel_rc; do not edit.\n";
  out += "extern \"C\" {\n";
  out += "__attribute__((visibility(\"default\"))) extern const unsigned char vantrel_resource_table[" +
         std::to_string(table.size()) + "];\n";
  out += "__attribute__((used, aligned(16)))\n";
  out += "const unsigned char vantrel_resource_table[" + std::to_string(table.size()) + "] = {";
  char hex[8];
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (i % 16 == 0) out += "\n   ";
    std::snprintf(hex, sizeof hex, " 0x%02x,", static_cast<unsigned char>(table[i]));
    out += hex;
  }
  out += "\n};\n}\n";
  if (!WriteFile(argv[2], out)) {
    std::fprintf(stderr, "%s: cannot write\n", argv[2]);
    return 1;
  }
  if (argc == 4) {
    std::string deps = DepPath(argv[2]) + ":";
    deps += " " + DepPath(scriptPath);
    for (const std::string& input : script.inputs) deps += " " + DepPath(input);
    deps += "\n";
    if (!WriteFile(argv[3], deps)) {
      std::fprintf(stderr, "%s: cannot write\n", argv[3]);
      return 1;
    }
  }
  return 0;
}
