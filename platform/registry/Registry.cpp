#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/CodePage.h"
#include "platform/base/HResult.h"
#include "platform/base/SystemInfo.h"
#include "platform/base/ThreadAnnotations.h"

namespace vantrel::registry {
namespace {

// Names compare without regard to case.
std::string Fold(const std::string& s) {
  return FoldAnsi(s);
}

struct Value {
  std::string name;
  DWORD type;
  std::string data;
};

struct Node {
  std::string name;
  std::map<std::string, std::unique_ptr<Node>> children;  // by folded name: alphabetical order
  std::vector<Value> values;                              // creation order
  std::map<std::string, size_t> value_index;              // folded name -> position in values

  Value* FindValue(const std::string& n) {
    auto it = value_index.find(Fold(n));
    return it == value_index.end() ? nullptr : &values[it->second];
  }
  void AddValue(Value v) {
    value_index[Fold(v.name)] = values.size();
    values.push_back(std::move(v));
  }
  bool EraseValue(const std::string& n) {
    auto it = value_index.find(Fold(n));
    if (it == value_index.end()) return false;
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(it->second));
    value_index.clear();
    for (size_t i = 0; i < values.size(); ++i) value_index[Fold(values[i].name)] = i;
    return true;
  }
};

std::vector<std::string> SplitPath(const char* sub) {
  std::vector<std::string> parts;
  if (!sub) return parts;
  std::string s(sub);
  if (!s.empty() && s[0] == '\\') s.erase(0, 1);
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find('\\', start);
    if (end == std::string::npos) end = s.size();
    if (end > start) parts.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// ---- the text form of a hive ----

constexpr const char* kHeader = "; Vantrel registry hive, version 1";
constexpr const char* kTrailer = "; end";

std::string Escape(const std::string& s, bool name) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    bool esc = b < 0x20 || b >= 0x7F || c == '%' || (name && (c == '=' || c == '[' || c == ']'));
    if (esc) {
      out.push_back('%');
      out.push_back(hex[b >> 4]);
      out.push_back(hex[b & 15]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

int HexVal(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(const std::string& s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    if (i + 2 >= s.size()) return false;
    int hi = HexVal(s[i + 1]), lo = HexVal(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

void Serialize(const Node& node, const std::string& path, bool root, std::string& out) {
  if (!root || !node.values.empty()) out += "[" + path + "]\n";
  for (const auto& v : node.values) {
    out += v.name.empty() ? "@" : (v.name == "@" ? "%40" : Escape(v.name, true));
    out += '=';
    if (v.type == REG_DWORD && v.data.size() == 4) {
      std::uint32_t d;
      std::memcpy(&d, v.data.data(), 4);
      char buf[20];
      std::snprintf(buf, sizeof buf, "dword:%08x", d);
      out += buf;
    } else if (v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ) {
      out += v.type == REG_SZ ? "sz:" : v.type == REG_EXPAND_SZ ? "expand_sz:" : "multi_sz:";
      out += Escape(v.data, false);
    } else {
      char buf[24];
      std::snprintf(buf, sizeof buf, "hex(%u):", static_cast<unsigned>(v.type));
      out += buf;
      static const char* hex = "0123456789abcdef";
      for (char c : v.data) {
        out.push_back(hex[static_cast<unsigned char>(c) >> 4]);
        out.push_back(hex[static_cast<unsigned char>(c) & 15]);
      }
    }
    out += '\n';
  }
  for (const auto& [folded, child] : node.children) {
    std::string name = Escape(child->name, true);
    Serialize(*child, root ? name : path + "\\" + name, false, out);
  }
}

Node* Walk(Node& root, const std::vector<std::string>& parts, bool create, bool* created = nullptr) {
  Node* n = &root;
  for (const auto& p : parts) {
    auto it = n->children.find(Fold(p));
    if (it == n->children.end()) {
      if (!create) return nullptr;
      auto child = std::make_unique<Node>();
      child->name = p;
      it = n->children.emplace(Fold(p), std::move(child)).first;
      if (created) *created = true;
    }
    n = it->second.get();
  }
  return n;
}

bool ParseValue(const std::string& line, Value& v) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  std::string name = line.substr(0, eq), rest = line.substr(eq + 1);
  if (name == "@") {
    v.name.clear();
  } else if (!Unescape(name, v.name)) {
    return false;
  }
  auto starts = [&](const char* p) { return rest.rfind(p, 0) == 0; };
  if (starts("dword:")) {
    if (rest.size() != 14) return false;
    char* end = nullptr;
    unsigned long d = std::strtoul(rest.c_str() + 6, &end, 16);
    if (*end) return false;
    auto d32 = static_cast<std::uint32_t>(d);
    v.type = REG_DWORD;
    v.data.assign(reinterpret_cast<const char*>(&d32), 4);
    return true;
  }
  for (auto [prefix, type] : {std::pair{"sz:", REG_SZ}, {"expand_sz:", REG_EXPAND_SZ}, {"multi_sz:", REG_MULTI_SZ}}) {
    if (starts(prefix)) {
      v.type = type;
      return Unescape(rest.substr(std::strlen(prefix)), v.data);
    }
  }
  if (starts("hex(")) {
    size_t close = rest.find("):");
    if (close == std::string::npos) return false;
    char* end = nullptr;
    v.type = static_cast<DWORD>(std::strtoul(rest.c_str() + 4, &end, 10));
    if (end != rest.c_str() + close) return false;
    std::string hex = rest.substr(close + 2);
    if (hex.size() % 2) return false;
    v.data.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
      int hi = HexVal(hex[i]), lo = HexVal(hex[i + 1]);
      if (hi < 0 || lo < 0) return false;
      v.data.push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
  }
  return false;
}

bool Parse(const std::string& text, Node& root) {
  root = Node{};
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;  // every line of a whole file ends with a line feed
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (lines.size() < 2 || lines.front() != kHeader || lines.back() != kTrailer) return false;
  Node* current = &root;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') return false;
      std::string path = line.substr(1, line.size() - 2);
      std::vector<std::string> parts;
      size_t s = 0;
      while (s <= path.size() && !path.empty()) {
        size_t e = path.find('\\', s);
        if (e == std::string::npos) e = path.size();
        std::string part;
        if (e == s || !Unescape(path.substr(s, e - s), part)) return false;
        parts.push_back(part);
        s = e + 1;
      }
      current = Walk(root, parts, true);
      continue;
    }
    Value v;
    if (!ParseValue(line, v)) return false;
    if (Value* old = current->FindValue(v.name)) {
      *old = v;
    } else {
      current->AddValue(std::move(v));
    }
  }
  return true;
}

bool MakeFolders(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

// ---- one hive file shared by the processes of this machine ----

class Hive {
 public:
  Hive(std::string folder, const std::string& name)
      : folder_(std::move(folder)), path_(folder_ + "/" + name + ".reg"), lock_path_(folder_ + "/" + name + ".lock") {}

  // Runs f on the current tree under the hive's locks. f returns a status
  // and says whether it changed the tree; a change is written back before
  // the locks are released.
  template <typename F>
  LSTATUS Run(F f) EXCLUDES(mu_) {
    MutexLock guard(mu_);
    if (!Lock()) return ERROR_ACCESS_DENIED;
    Refresh();
    bool changed = false;
    LSTATUS st = f(root_, changed);
    if (changed && !Save()) st = ERROR_CANTWRITE;
    flock(lock_fd_, LOCK_UN);
    return st;
  }

 private:
  bool Lock() REQUIRES(mu_) {
    // A forked child must not share the parent's lock description, or
    // the two would not exclude each other.
    if (lock_fd_ >= 0 && lock_pid_ != getpid()) {
      close(lock_fd_);
      lock_fd_ = -1;
    }
    if (lock_fd_ < 0) {
      if (!MakeFolders(folder_)) return false;
      lock_pid_ = getpid();
      lock_fd_ = open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (lock_fd_ < 0) return false;
    }
    while (flock(lock_fd_, LOCK_EX) != 0)
      if (errno != EINTR) return false;
    return true;
  }

  struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    long long mtime_ns = 0;
    bool operator==(const Stamp&) const = default;
  };

  static Stamp StampOf(const struct stat& st) {
    return Stamp{st.st_dev, st.st_ino, st.st_size,
                 static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
  }

  // Re-reads the file when another process replaced it since we last did.
  void Refresh() REQUIRES(mu_) {
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) {
      root_ = Node{};
      stamp_ = Stamp{};
      return;
    }
    Stamp now = StampOf(st);
    if (now == stamp_) return;
    std::string text;
    if (FILE* f = std::fopen(path_.c_str(), "rb")) {
      char buf[65536];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
      std::fclose(f);
    }
    if (!Parse(text, root_)) {
      // Never silently empty a hive: keep the damaged file for inspection.
      std::string aside = path_ + ".damaged-" + std::to_string(std::time(nullptr));
      std::rename(path_.c_str(), aside.c_str());
      std::fprintf(stderr, "registry: %s could not be read; moved aside to %s\n", path_.c_str(), aside.c_str());
      root_ = Node{};
      stamp_ = Stamp{};
      return;
    }
    stamp_ = now;
  }

  bool Save() REQUIRES(mu_) {
    std::string text = std::string(kHeader) + "\n";
    Serialize(root_, "", true, text);
    text += std::string(kTrailer) + "\n";
    std::string tmp = path_ + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
      ssize_t w = write(fd, text.data() + done, text.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        close(fd);
        return false;
      }
      done += static_cast<size_t>(w);
    }
    if (fsync(fd) != 0 || close(fd) != 0) return false;
    if (std::rename(tmp.c_str(), path_.c_str()) != 0) return false;
    if (int dir = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
      fsync(dir);
      close(dir);
    }
    struct stat st;
    stamp_ = stat(path_.c_str(), &st) == 0 ? StampOf(st) : Stamp{};
    return true;
  }

  // Within this process; the file lock (lock_fd_) excludes other
  // processes and is taken after it.
  vantrel::Mutex mu_;
  const std::string folder_, path_, lock_path_;
  int lock_fd_ GUARDED_BY(mu_) = -1;
  pid_t lock_pid_ GUARDED_BY(mu_) = 0;
  Node root_ GUARDED_BY(mu_);
  Stamp stamp_ GUARDED_BY(mu_);
};

Hive& HiveFor(bool machine) {
  static Hive* hives[2] = {new Hive(Folder(), "HKEY_CURRENT_USER"), new Hive(Folder(), "HKEY_LOCAL_MACHINE")};
  return *hives[machine ? 1 : 0];
}

}  // namespace

std::string Folder() {
  if (const char* dir = std::getenv("ZEL_REGISTRY_DIR"); dir && *dir) return dir;
  return UserDataHome() + "/vantrel/registry";
}

namespace {

struct WriteFilterSlot {
  vantrel::Mutex mu;
  WriteFilter filter GUARDED_BY(mu);
};
WriteFilterSlot& Filter() {
  static WriteFilterSlot* slot = new WriteFilterSlot;  // outlives static destructors
  return *slot;
}

}  // namespace

void SetWriteFilter(WriteFilter filter) {
  WriteFilterSlot& slot = Filter();
  MutexLock lock(slot.mu);
  slot.filter = std::move(filter);
}

// The filter's verdict on one write; asked without the lock, so a filter
// may use the registry itself.
LSTATUS FilterWrite(bool machine, const std::vector<std::string>& path, const std::string& value) {
  WriteFilter filter;
  {
    WriteFilterSlot& slot = Filter();
    MutexLock lock(slot.mu);
    if (!slot.filter) return ERROR_SUCCESS;
    filter = slot.filter;
  }
  std::string key = machine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
  for (const auto& part : path) key += "\\" + part;
  return filter(key, value);
}

}  // namespace vantrel::registry

// An open key: its hive and the path as written. Operations resolve the
// path each time, so a handle sees changes made by other processes.
struct RegKey {
  bool machine;
  std::vector<std::string> path;
};

namespace {

using vantrel::registry::Node;
using vantrel::registry::Value;

bool IsRoot(HKEY k) {
  return k == HKEY_CURRENT_USER || k == HKEY_LOCAL_MACHINE;
}

bool Resolve(HKEY key, bool& machine, std::vector<std::string>& path) {
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
    machine = key == HKEY_LOCAL_MACHINE;
    path.clear();
    return true;
  }
  if (!key) return false;
  machine = key->machine;
  path = key->path;
  return true;
}

// Runs f(node, changed) on the key named by `key` (plus `sub`).
template <typename F>
LSTATUS OnKey(HKEY key, const char* sub, F f) {
  bool machine;
  std::vector<std::string> path;
  if (!Resolve(key, machine, path)) return ERROR_INVALID_HANDLE;
  auto extra = vantrel::registry::SplitPath(sub);
  bool from_handle = extra.empty() && !IsRoot(key);
  path.insert(path.end(), extra.begin(), extra.end());
  return vantrel::registry::HiveFor(machine).Run([&](Node& root, bool& changed) -> LSTATUS {
    Node* n = vantrel::registry::Walk(root, path, false);
    if (!n) return from_handle ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
    return f(*n, changed);
  });
}

LSTATUS CopyOut(const std::string& src, LPBYTE dst, LPDWORD cb) {
  if (!cb) return dst ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  auto need = static_cast<DWORD>(src.size());
  if (dst) {
    if (*cb < need) {
      *cb = need;
      return ERROR_MORE_DATA;
    }
    std::memcpy(dst, src.data(), need);
  }
  *cb = need;
  return ERROR_SUCCESS;
}

LSTATUS CopyName(const std::string& name, LPSTR dst, LPDWORD cch) {
  if (!dst || !cch) return ERROR_INVALID_PARAMETER;
  if (*cch < name.size() + 1) {
    *cch = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(dst, name.c_str(), name.size() + 1);
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyEx(HKEY key, LPCSTR sub_key, DWORD, REGSAM, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  bool machine;
  std::vector<std::string> path;
  if (!Resolve(key, machine, path)) return ERROR_INVALID_HANDLE;
  std::vector<std::string> full = path;
  LSTATUS st = OnKey(key, sub_key, [&](Node&, bool&) { return ERROR_SUCCESS; });
  if (st != ERROR_SUCCESS) return st;
  auto extra = vantrel::registry::SplitPath(sub_key);
  full.insert(full.end(), extra.begin(), extra.end());
  *result = new RegKey{machine, std::move(full)};
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyEx(HKEY key, LPCSTR sub_key, DWORD, LPSTR, DWORD, REGSAM, void*, PHKEY result,
                       LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  bool machine;
  std::vector<std::string> path;
  if (!Resolve(key, machine, path)) return ERROR_INVALID_HANDLE;
  bool from_handle = !IsRoot(key);
  auto extra = vantrel::registry::SplitPath(sub_key);
  bool created = false;
  LSTATUS st = vantrel::registry::HiveFor(machine).Run([&](Node& root, bool& changed) -> LSTATUS {
    if (from_handle && !vantrel::registry::Walk(root, path, false)) return ERROR_KEY_DELETED;
    std::vector<std::string> full = path;
    full.insert(full.end(), extra.begin(), extra.end());
    vantrel::registry::Walk(root, full, true, &created);
    changed = created;
    return ERROR_SUCCESS;
  });
  if (st != ERROR_SUCCESS) return st;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  path.insert(path.end(), extra.begin(), extra.end());
  *result = new RegKey{machine, std::move(path)};
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueEx(HKEY key, LPCSTR value_name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD cb_data) {
  return OnKey(key, nullptr, [&](Node& n, bool&) -> LSTATUS {
    Value* v = n.FindValue(value_name ? value_name : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    return CopyOut(v->data, data, cb_data);
  });
}

LSTATUS RegSetValueEx(HKEY key, LPCSTR value_name, DWORD, DWORD type, const BYTE* data, DWORD cb_data) {
  if (!data && cb_data) return ERROR_INVALID_PARAMETER;
  std::string bytes(reinterpret_cast<const char*>(data ? data : reinterpret_cast<const BYTE*>("")), cb_data);
  std::string name = value_name ? value_name : "";
  bool machine;
  std::vector<std::string> path;
  if (!Resolve(key, machine, path)) return ERROR_INVALID_HANDLE;
  if (LSTATUS st = vantrel::registry::FilterWrite(machine, path, name); st != ERROR_SUCCESS) return st;
  return OnKey(key, nullptr, [&](Node& n, bool& changed) -> LSTATUS {
    if (Value* v = n.FindValue(name)) {
      if (v->type == type && v->data == bytes) return ERROR_SUCCESS;
      v->type = type;
      v->data = bytes;
    } else {
      n.AddValue(Value{name, type, bytes});
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD cch_name, LPDWORD, LPDWORD type, LPBYTE data,
                     LPDWORD cb_data) {
  return OnKey(key, nullptr, [&](Node& n, bool&) -> LSTATUS {
    if (index >= n.values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = n.values[index];
    if (LSTATUS st = CopyName(v.name, name, cch_name); st != ERROR_SUCCESS) return st;
    if (type) *type = v.type;
    return CopyOut(v.data, data, cb_data);
  });
}

LSTATUS RegEnumKeyEx(HKEY key, DWORD index, LPSTR name, LPDWORD cch_name, LPDWORD, LPSTR key_class, LPDWORD cch_class,
                     FILETIME* last_write) {
  return OnKey(key, nullptr, [&](Node& n, bool&) -> LSTATUS {
    if (index >= n.children.size()) return ERROR_NO_MORE_ITEMS;
    auto it = n.children.begin();
    std::advance(it, index);
    if (LSTATUS st = CopyName(it->second->name, name, cch_name); st != ERROR_SUCCESS) return st;
    if (key_class && cch_class && *cch_class) key_class[0] = 0;
    if (cch_class) *cch_class = 0;
    if (last_write) *last_write = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

LSTATUS RegDeleteValue(HKEY key, LPCSTR value_name) {
  std::string name = value_name ? value_name : "";
  return OnKey(key, nullptr, [&](Node& n, bool& changed) -> LSTATUS {
    if (!n.EraseValue(name)) return ERROR_FILE_NOT_FOUND;
    changed = true;
    return ERROR_SUCCESS;
  });
}

namespace {

LSTATUS DeleteChild(HKEY key, LPCSTR sub_key, bool tree) {
  auto parts = vantrel::registry::SplitPath(sub_key);
  if (parts.empty()) {
    if (!tree) return ERROR_INVALID_PARAMETER;
    return OnKey(key, nullptr, [&](Node& n, bool& changed) -> LSTATUS {
      changed = !n.children.empty() || !n.values.empty();
      n.children.clear();
      n.values.clear();
      n.value_index.clear();
      return ERROR_SUCCESS;
    });
  }
  std::string last = parts.back();
  parts.pop_back();
  std::string parent_path;
  for (const auto& p : parts) parent_path += p + "\\";
  return OnKey(key, parent_path.c_str(), [&](Node& n, bool& changed) -> LSTATUS {
    auto it = n.children.find(vantrel::registry::Fold(last));
    if (it == n.children.end()) return ERROR_FILE_NOT_FOUND;
    if (!tree && !it->second->children.empty()) return ERROR_ACCESS_DENIED;
    n.children.erase(it);
    changed = true;
    return ERROR_SUCCESS;
  });
}

}  // namespace

LSTATUS RegDeleteKey(HKEY key, LPCSTR sub_key) {
  return DeleteChild(key, sub_key, false);
}

LSTATUS RegDeleteTree(HKEY key, LPCSTR sub_key) {
  return DeleteChild(key, sub_key, true);
}

LSTATUS RegCloseKey(HKEY key) {
  if (IsRoot(key)) return ERROR_SUCCESS;
  if (!key) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}
