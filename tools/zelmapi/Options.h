// The global options of zelmapi and the errors its commands report.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace zelmapi {

// A failure the user can act on: exit 1 with this one line.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// A command line that does not parse: exit 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  std::string profile;  // empty: the default profile
  std::string store;    // empty: the default store
  bool json = false;
  bool password_stdin = false;
  std::vector<std::string> args;  // the command and its own arguments
};

// Takes the global options from anywhere before the command's words.
Options ParseOptions(int argc, char** argv);

// Splits a command's arguments into flags (with their values) and words.
class ArgList {
 public:
  explicit ArgList(std::vector<std::string> args) : args_(std::move(args)) {}
  bool Flag(const std::string& name);
  // The value after `name`; `fallback` when absent.
  std::string Value(const std::string& name, const std::string& fallback = "");
  // What is left: a leftover "-x" flag is a usage error.
  std::vector<std::string> Words() const;

 private:
  std::vector<std::string> args_;
};

}  // namespace zelmapi
