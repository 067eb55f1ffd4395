#include "platform/win/Module.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/win/ExportTable.h"
#include "platform/win/ModuleImage.h"
#include "platform/win/ResourceTable.h"

namespace vantrel::win {

namespace {

struct ModuleEntry {
  // References taken by LoadLibrary and GetModuleHandleEx, each one dlopen
  // reference that FreeLibrary gives back.
  int loads = 0;
  // Kept until the process ends: the program, pinned modules, and modules
  // this library took a reference of its own on (GetModuleHandle of a
  // module it did not load), so no handle it gave out can dangle.
  bool pinned = false;
  // Loaded for its resources only: read, never mapped for execution. The
  // handle is the address of `image`.
  bool dataFile = false;
  std::string path;
  std::unique_ptr<std::vector<unsigned char>> image;
  bool tableChecked = false;
  ResourceTable resources;
  std::string tableProblem;
};

// Every handle this library gave out, and each module's checked resource
// table. The loader's calls (dlopen, dlclose, dlsym, dladdr) never run under
// `mu`: the loader holds its own lock while a module's constructors and
// destructors run, and those may call into this library.
class ModuleTable {
 public:
  Mutex mu;
  std::map<void*, ModuleEntry> modules GUARDED_BY(mu);
};

ModuleTable& Modules() {
  // Never destroyed: modules may be freed by destructors that run at exit.
  static ModuleTable* table = new ModuleTable;
  return *table;
}

thread_local std::string lastLoadError;

void* ProgramHandle() {
  static void* const program = [] {
    void* handle = dlopen(nullptr, RTLD_LAZY);
    ModuleTable& table = Modules();
    vantrel::MutexLock lock(table.mu);
    table.modules[handle].pinned = true;
    return handle;
  }();
  return program;
}

HMODULE AsModule(void* handle) {
  return static_cast<HMODULE>(handle);
}

// The loader's object that holds `address`, or null.
void* ObjectAt(const void* address, std::string* path) {
  Dl_info info{};
  struct link_map* map = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr)
    return nullptr;
  if (path != nullptr) *path = info.dli_fname != nullptr ? info.dli_fname : "";
  return map;
}

// `symbol` as defined by `handle` itself; a dependency's definition of the
// same name does not count. `size` receives the symbol's size.
const void* OwnSymbol(void* handle, const char* symbol, std::size_t* size) {
  dlerror();
  void* p = dlsym(handle, symbol);
  if (p == nullptr || ObjectAt(p, nullptr) != handle) return nullptr;
  if (size != nullptr) {
    Dl_info info{};
    const ElfW(Sym)* sym = nullptr;
    if (dladdr1(p, &info, reinterpret_cast<void**>(const_cast<ElfW(Sym)**>(&sym)), RTLD_DL_SYMENT) == 0 || sym == nullptr) return nullptr;
    *size = sym->st_size;
  }
  return p;
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

std::string_view BaseName(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool HasExtension(std::string_view path) {
  return BaseName(path).find('.') != std::string_view::npos;
}

std::string ProgramPath() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// A loaded object whose path or file name is `name` (".so" added when it
// has no extension); its path, or empty.
std::string FindLoaded(std::string_view name) {
  std::string wanted(name);
  if (!HasExtension(wanted)) wanted += ".so";
  struct Search {
    std::string_view name;
    std::string wanted;
    std::string found;
  } search{name, wanted, {}};
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, std::size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
        const std::string_view path = info->dlpi_name;
        const std::string_view base = BaseName(path);
        if (path == s->name || base == s->name || base == s->wanted) {
          s->found = path;
          return 1;
        }
        return 0;
      },
      &search);
  return search.found;
}

// The paths LoadLibrary tries for `name`, in order.
std::vector<std::string> Candidates(const std::string& name) {
  std::vector<std::string> out;
  auto add = [&](const std::string& path) {
    out.push_back(path);
    if (!HasExtension(path)) out.push_back(path + ".so");
  };
  if (name.find('/') != std::string::npos) {
    // Absolute, so the module's file name does not depend on a later chdir.
    char* real = ::realpath(name.c_str(), nullptr);
    if (real != nullptr) {
      out.emplace_back(real);
      std::free(real);
    }
    add(name);
    return out;
  }
  const std::string loaded = FindLoaded(name);
  if (!loaded.empty()) out.push_back(loaded);
  add(name);  // the loader's search path
  const std::string program = ProgramPath();
  const auto slash = program.rfind('/');
  if (slash != std::string::npos) add(program.substr(0, slash + 1) + name);
  return out;
}

// Takes one more loader reference on an object that is already loaded.
void* Reference(const std::string& path) {
  return path.empty() ? nullptr : dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
}

// Records a handle this library gives out holding one loader reference
// (`counted`: FreeLibrary will give it back; otherwise it is kept).
void Register(void* handle, bool counted) {
  ModuleTable& table = Modules();
  vantrel::MutexLock lock(table.mu);
  auto it = table.modules.try_emplace(handle).first;
  if (counted) {
    ++it->second.loads;
    return;
  }
  if (it->second.pinned) {
    lock.Unlock();
    dlclose(handle);  // one reference of our own is enough
    return;
  }
  it->second.pinned = true;
}

// Loads `path` as a data file: one handle per file, counted like a module.
HMODULE RegisterImage(const std::string& path, std::vector<unsigned char> bytes) {
  char* real = ::realpath(path.c_str(), nullptr);
  const std::string full = real != nullptr ? real : path;
  std::free(real);
  // The table is checked now, outside the lock: the image never changes,
  // and its bytes stay where they are when the vector moves below.
  auto image = std::make_unique<std::vector<unsigned char>>(std::move(bytes));
  ResourceTable resources;
  std::string problem;
  std::size_t offset = 0, size = 0;
  if (FindImageSymbol(*image, "vantrel_resource_table", &offset, &size, &problem)) {
    ResourceTable::Open(image->data() + offset, size, &resources, &problem);
  }
  ModuleTable& table = Modules();
  vantrel::MutexLock lock(table.mu);
  for (auto& [handle, entry] : table.modules) {
    if (entry.dataFile && entry.path == full) {
      ++entry.loads;
      return AsModule(handle);
    }
  }
  void* handle = image.get();
  ModuleEntry& entry = table.modules[handle];
  entry.loads = 1;
  entry.dataFile = true;
  entry.path = full;
  entry.image = std::move(image);
  entry.resources = resources;
  entry.tableProblem = problem;
  entry.tableChecked = true;
  return AsModule(handle);
}

struct Known {
  bool found = false;
  bool dataFile = false;
  std::string path;  // data files
};

Known Lookup(void* handle) {
  ModuleTable& table = Modules();
  vantrel::MutexLock lock(table.mu);
  auto it = table.modules.find(handle);
  if (it == table.modules.end()) return {};
  return {true, it->second.dataFile, it->second.path};
}

}  // namespace

std::string LastLoadError() {
  return lastLoadError;
}

bool ModuleResourceTable(HMODULE module, ResourceTable* out, std::string* why) {
  void* handle = module == nullptr ? ProgramHandle() : static_cast<void*>(module);
  ModuleTable& table = Modules();
  vantrel::MutexLock lock(table.mu);
  auto it = table.modules.find(handle);
  if (it == table.modules.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    if (why != nullptr) *why = "not a module handle";
    return false;
  }
  if (!it->second.tableChecked) {
    // Checked once per load; the table is read-only data of the module.
    // The loader's lock is taken outside ours: a module's constructor,
    // running under the loader's lock, may call into this library.
    lock.Unlock();
    ResourceTable found;
    std::string problem;
    std::size_t size = 0;
    const void* data = OwnSymbol(handle, "vantrel_resource_table", &size);
    if (data == nullptr) {
      problem = "no resource table";
    } else {
      ResourceTable::Open(static_cast<const unsigned char*>(data), size, &found, &problem);
    }
    lock.Lock();
    it = table.modules.find(handle);
    if (it == table.modules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      if (why != nullptr) *why = "module freed meanwhile";
      return false;
    }
    it->second.resources = found;
    it->second.tableProblem = problem;
    it->second.tableChecked = true;
  }
  const ModuleEntry& entry = it->second;
  if (!entry.resources.valid()) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    if (why != nullptr) *why = entry.tableProblem;
    return false;
  }
  *out = entry.resources;
  return true;
}

}  // namespace vantrel::win

using namespace vantrel::win;

HMODULE LoadLibraryA(LPCSTR fileName) {
  return LoadLibraryExA(fileName, nullptr, 0);
}

HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags) {
  if (fileName == nullptr || *fileName == '\0' || file != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const bool dataFile =
      (flags & (LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) != 0;
  bool anyFile = false;
  std::string error;
  for (const std::string& path : Candidates(fileName)) {
    if (dataFile) {
      // A module already loaded as code serves its resources as it is;
      // anything else is read as a file and none of its code runs.
      void* loaded = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
      if (loaded != nullptr) {
        Register(loaded, true);
        return AsModule(loaded);
      }
      std::vector<unsigned char> bytes;
      bool missing = false;
      std::string why;
      if (ReadModuleImage(path, &bytes, &missing, &why)) return RegisterImage(path, std::move(bytes));
      if (error.empty() || (!missing && !anyFile)) error = why;
      anyFile = anyFile || !missing;
      continue;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) {
      Register(handle, true);
      return AsModule(handle);
    }
    const char* why = dlerror();
    // The loader's search path finds names without a folder; a file that
    // exists and fails to load is the message worth keeping.
    const bool exists = FileExists(path);
    if (error.empty() || (exists && !anyFile)) error = why != nullptr ? why : path;
    anyFile = anyFile || exists || (why != nullptr && std::strstr(why, "No such file") == nullptr);
  }
  lastLoadError = error;
  SetLastError(anyFile ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  void* handle = module;
  ModuleTable& table = Modules();
  {
    vantrel::MutexLock lock(table.mu);
    auto it = table.modules.find(handle);
    if (it == table.modules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (it->second.loads == 0) return TRUE;  // pinned: nothing to give back
    if (it->second.dataFile) {
      if (--it->second.loads == 0) table.modules.erase(it);  // frees the image
      return TRUE;
    }
    if (--it->second.loads == 0 && !it->second.pinned) table.modules.erase(it);
  }
  dlclose(handle);
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  void* handle = module == nullptr ? ProgramHandle() : static_cast<void*>(module);
  const Known known = Lookup(handle);
  if (!known.found) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (known.dataFile) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (!IS_INTRESOURCE(procName)) {
    const void* p = OwnSymbol(handle, procName, nullptr);
    if (p == nullptr) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return reinterpret_cast<FARPROC>(const_cast<void*>(p));
  }
  const auto ordinal = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(procName));
  const auto* exports = static_cast<const ExportTable*>(OwnSymbol(handle, "vantrel_export_table", nullptr));
  if (ordinal != 0 && exports != nullptr && exports->magic == kExportMagic && exports->count <= kMaxExports) {
    for (std::uint32_t i = 0; i < exports->count; ++i) {
      if (exports->entries[i].ordinal == ordinal)
        return reinterpret_cast<FARPROC>(const_cast<void*>(exports->entries[i].address));
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  void* handle = module == nullptr ? ProgramHandle() : static_cast<void*>(module);
  const Known known = Lookup(handle);
  if (!known.found) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::string path;
  if (known.dataFile) {
    path = known.path;
  } else if (handle == ProgramHandle()) {
    path = ProgramPath();
  } else {
    // The handle is the loader's map of the object, kept loaded by our reference.
    path = static_cast<struct link_map*>(handle)->l_name;
  }
  if (fileName == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < size) {
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  }
  std::memcpy(fileName, path.data(), size - 1);
  fileName[size - 1] = '\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
  HMODULE module = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, moduleName, &module) ? module : nullptr;
}

BOOL GetModuleHandleExA(DWORD flags, LPCSTR moduleName, HMODULE* module) {
  constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                           GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  const bool pin = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0;
  const bool unchanged = (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) != 0;
  if (module == nullptr || (flags & ~kKnown) != 0 || (pin && unchanged)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *module = nullptr;
  std::string path;
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0) {
    void* object = ObjectAt(moduleName, &path);
    if (object == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if (object == ProgramHandle()) path.clear();
  } else if (moduleName != nullptr) {
    path = FindLoaded(moduleName);
    const std::string program = ProgramPath();
    if (path.empty() && moduleName != program && BaseName(program) != moduleName) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
  }
  if (path.empty()) {
    *module = AsModule(ProgramHandle());
    return TRUE;
  }
  // A reference of our own keeps the object, so the handle cannot dangle;
  // it fails when the object went away since we found it.
  void* handle = Reference(path);
  if (handle == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (unchanged && Lookup(handle).found) {
    dlclose(handle);
  } else {
    Register(handle, !unchanged && !pin);
  }
  *module = AsModule(handle);
  return TRUE;
}
