#include "tools/zelmapi/Numbering.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "tools/zelmapi/Options.h"
#include "tools/zelmapi/Text.h"

namespace zelmapi {
namespace {

std::string StateHome() {
  if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x) return std::string(x) + "/zelmapi";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.local/state/zelmapi";
}

// File names from any profile, store or folder name.
std::string Key(const std::string& s) {
  return Hex(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

}  // namespace

Numbering::Numbering(const std::string& profile, const std::string& store)
    : dir_(StateHome()), key_(Key(profile + "\n" + store)) {}

void Numbering::Save(const std::string& folder, const std::vector<std::string>& ids) const {
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  std::string file = dir_ + "/" + key_ + "-" + Key(folder);
  // Written aside and renamed so that a reader never sees half a listing.
  {
    std::ofstream out(file + ".new", std::ios::trunc);
    for (const std::string& id : ids) out << id << "\n";
    if (!out) throw Failure("cannot write " + file + ": check that the folder is writable");
  }
  std::filesystem::rename(file + ".new", file, ec);
  std::ofstream cur(dir_ + "/" + key_ + "-current", std::ios::trunc);
  cur << Key(folder) << "\n";
  if (ec || !cur) throw Failure("cannot write the state in " + dir_);
}

std::string Numbering::Resolve(const std::string& word) const {
  bool digits = !word.empty() && word.size() < 10 && word.find_first_not_of("0123456789") == std::string::npos;
  if (!digits) {
    std::string bytes;
    if (!Unhex(word, &bytes)) throw Failure("'" + word + "' is neither a message number nor an entry ID in hex");
    return word;
  }
  std::ifstream cur(dir_ + "/" + key_ + "-current");
  std::string folder;
  if (!std::getline(cur, folder)) throw Failure("no listing yet: run 'zelmapi list' first, then use its numbers");
  std::ifstream in(dir_ + "/" + key_ + "-" + folder);
  std::vector<std::string> ids;
  for (std::string line; std::getline(in, line);) ids.push_back(line);
  long n = std::strtol(word.c_str(), nullptr, 10);
  if (n < 1 || static_cast<size_t>(n) > ids.size())
    throw Failure("message " + word + " is out of range: the last listing has " + std::to_string(ids.size()) +
                  " messages; run 'zelmapi list' again");
  return ids[n - 1];
}

std::vector<std::string> ExpandStdin(const std::vector<std::string>& words) {
  std::vector<std::string> out;
  for (const std::string& w : words) {
    if (w != "-") {
      out.push_back(w);
      continue;
    }
    for (std::string line; std::getline(std::cin, line);) {
      // A JSON line from `list -o json` carries its number and entry ID.
      if (auto p = line.find("\"entryid\":\""); p != std::string::npos) {
        auto e = line.find('"', p + 11);
        out.push_back(line.substr(p + 11, e - p - 11));
      } else if (!line.empty()) {
        out.push_back(line);
      }
    }
  }
  return out;
}

}  // namespace zelmapi
