#include "platform/win/Resources.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/HResult.h"
#include "platform/win/ResourceTable.h"

namespace vantrel::win {

namespace {

// A type or name as the caller gives it: a number, "#123", or a string.
ResourceKey KeyOf(LPCSTR value) {
  ResourceKey key;
  if (IS_INTRESOURCE(value)) {
    key.id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value));
    return key;
  }
  if (value[0] == '#' && value[1] != '\0') {
    char* end = nullptr;
    const unsigned long n = std::strtoul(value + 1, &end, 10);
    if (*end == '\0' && n <= 0xFFFF) {
      key.id = static_cast<std::uint32_t>(n);
      return key;
    }
  }
  key.named = true;
  for (const char* p = value; *p != '\0'; ++p) {
    const char c = *p;
    key.name.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
  return key;
}

WORD ThreadLanguage() {
  return LANGIDFROMLCID(GetThreadLocale());
}

HRSRC Find(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
  ResourceTable table;
  if (type == nullptr || name == nullptr) {
    SetLastError(type == nullptr ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  if (!ModuleResourceTable(module, &table)) return nullptr;
  ResourceTable::Miss miss = ResourceTable::Miss::kNone;
  const long index = table.Find(KeyOf(type), KeyOf(name), language, &miss);
  if (index < 0) {
    SetLastError(miss == ResourceTable::Miss::kType ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  // The handle is the entry's place in the table; LoadResource checks it.
  return reinterpret_cast<HRSRC>(const_cast<unsigned char*>(table.EntryAddress(static_cast<std::uint32_t>(index))));
}

// The entry `resource` names in `module`'s table, or false.
bool EntryOf(HMODULE module, HRSRC resource, ResourceTable* table, ResourceEntry* entry) {
  if (!ModuleResourceTable(module, table)) return false;
  const long index = table->IndexOf(resource);
  if (index < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *entry = table->entry(static_cast<std::uint32_t>(index));
  return true;
}

}  // namespace

bool FindResourceBytes(HMODULE module, LPCSTR type, LPCSTR name, std::string_view* bytes) {
  HRSRC found = FindResourceA(module, name, type);
  if (found == nullptr) return false;
  ResourceTable table;
  ResourceEntry entry{};
  if (!EntryOf(module, found, &table, &entry)) return false;
  *bytes = std::string_view(reinterpret_cast<const char*>(table.Data(entry)), entry.size);
  return true;
}

HMODULE LoadResourceLibrary(const std::string& path, HMODULE builtIn) {
  if (path.empty()) return builtIn;
  HMODULE library = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (library == nullptr) {
    std::fprintf(stderr, "[resources] %s: cannot load (%s); using the built-in resources\n", path.c_str(),
                 LastLoadError().c_str());
    return builtIn;
  }
  ResourceTable table;
  std::string why;
  if (!ModuleResourceTable(library, &table, &why)) {
    std::fprintf(stderr, "[resources] %s: %s; using the built-in resources\n", path.c_str(), why.c_str());
    FreeLibrary(library);
    return builtIn;
  }
  return library;
}

}  // namespace vantrel::win

using namespace vantrel::win;

HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  return Find(module, type, name, ThreadLanguage());
}

HRSRC FindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
  return Find(module, type, name, language == LANG_NEUTRAL ? ThreadLanguage() : language);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  ResourceTable table;
  ResourceEntry entry{};
  if (!EntryOf(module, resource, &table, &entry)) return nullptr;
  return const_cast<unsigned char*>(table.Data(entry));
}

LPVOID LockResource(HGLOBAL data) {
  return data;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  ResourceTable table;
  ResourceEntry entry{};
  if (!EntryOf(module, resource, &table, &entry)) return 0;
  return entry.size;
}

BOOL FreeResource(HGLOBAL) {
  // Resources live as long as their module; there is nothing to free.
  return FALSE;
}

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string_view text;
  if (id > 0xFFFF || !FindResourceBytes(instance, RT_STRING, MAKEINTRESOURCEA(id), &text)) {
    if (id > 0xFFFF) SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    if (bufferMax > 0) buffer[0] = '\0';
    return 0;
  }
  if (bufferMax == 0) {
    // The table keeps a NUL after every resource, so the string is usable in place.
    const char* inPlace = text.data();
    std::memcpy(buffer, &inPlace, sizeof inPlace);
    return static_cast<int>(text.size());
  }
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(bufferMax) - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}
