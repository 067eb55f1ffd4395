#include "tools/zelmapi/Options.h"

#include <algorithm>

namespace zelmapi {

Options ParseOptions(int argc, char** argv) {
  Options o;
  // Global options may stand anywhere; "-o" is global only with plain or
  // json, so that a command's own "-o FILE" stays the command's.
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(a + " needs a value");
      return argv[++i];
    };
    if (a == "-p" || a == "--profile") {
      o.profile = value();
    } else if (a == "-s" || a == "--store") {
      o.store = value();
    } else if ((a == "-o" || a == "--output") && i + 1 < argc &&
               (std::string(argv[i + 1]) == "plain" || std::string(argv[i + 1]) == "json")) {
      o.json = value() == "json";
    } else if (a == "--password-stdin") {
      o.password_stdin = true;
    } else {
      o.args.push_back(a);
    }
  }
  return o;
}

bool ArgList::Flag(const std::string& name) {
  auto it = std::find(args_.begin(), args_.end(), name);
  if (it == args_.end()) return false;
  args_.erase(it);
  return true;
}

std::string ArgList::Value(const std::string& name, const std::string& fallback) {
  auto it = std::find(args_.begin(), args_.end(), name);
  if (it == args_.end()) return fallback;
  if (it + 1 == args_.end()) throw UsageError(name + " needs a value");
  std::string v = *(it + 1);
  args_.erase(it, it + 2);
  return v;
}

std::vector<std::string> ArgList::Words() const {
  for (const std::string& a : args_)
    if (a.size() > 1 && a[0] == '-') throw UsageError("unknown option " + a);
  return args_;
}

}  // namespace zelmapi
