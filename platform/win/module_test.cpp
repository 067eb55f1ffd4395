#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/win/Module.h"
#include "platform/win/Resources.h"

namespace {

using AddFn = int (*)(int, int);
using NameFn = const char* (*)();

std::string RealPath(const char* path) {
  char* real = ::realpath(path, nullptr);
  std::string out = real != nullptr ? real : "";
  std::free(real);
  return out;
}

DWORD Error() {
  return GetLastError();
}

int AddressInTheProgram() {
  return 0;
}

TEST(ModuleTest, ProcAddressByNameAndOrdinal) {
  HMODULE module = LoadLibraryA(EXPORTS_MODULE);
  ASSERT_NE(module, nullptr) << vantrel::win::LastLoadError();

  FARPROC byName = GetProcAddress(module, "TestAdd");
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCE(1)), byName);
  EXPECT_EQ(reinterpret_cast<AddFn>(byName)(2, 3), 5);
  EXPECT_STREQ(reinterpret_cast<NameFn>(GetProcAddress(module, MAKEINTRESOURCE(2)))(), "module_exports");
  EXPECT_EQ(*reinterpret_cast<int*>(GetProcAddress(module, MAKEINTRESOURCE(5))), 42);  // DATA
  EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCE(6)), GetProcAddress(module, "TestNext"));

  struct Miss {
    LPCSTR name;
    const char* what;
  };
  for (const Miss& miss : {Miss{MAKEINTRESOURCE(3), "ordinal 3"}, Miss{MAKEINTRESOURCE(0), "ordinal 0"},
                           Miss{"TestHidden", "a name not in the list"}, Miss{"NoSuchName", "an unknown name"},
                           Miss{"malloc", "a dependency's name"}}) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, miss.name), nullptr) << miss.what;
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << miss.what;
  }

  // A module without a table of its own never answers with its dependency's.
  HMODULE plain = LoadLibraryA(PLAIN_MODULE);
  ASSERT_NE(plain, nullptr) << vantrel::win::LastLoadError();
  EXPECT_NE(GetProcAddress(plain, "PlainEntry"), nullptr);
  EXPECT_EQ(GetProcAddress(plain, MAKEINTRESOURCE(1)), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(GetProcAddress(plain, "TestAdd"), nullptr);
  char text[64];
  EXPECT_EQ(LoadStringA(plain, 1, text, sizeof text), 0);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  EXPECT_EQ(LoadStringA(module, 1, text, sizeof text), 23);
  EXPECT_STREQ(text, "from the exports module");

  // Loaded as a data file, a module serves resources only.
  HMODULE data = LoadLibraryExA(PLAIN_MODULE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  EXPECT_EQ(data, plain);  // the same object: still a code module
  EXPECT_TRUE(FreeLibrary(data));

  EXPECT_TRUE(FreeLibrary(plain));
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(ModuleTest, LoadErrors) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("/nonexistent/folder/nothing.so"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(LoadLibraryA("no_such_module_anywhere"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  const char* dir = std::getenv("VANTREL_TEST_TMPDIR");
  const std::string folder = dir != nullptr ? dir : "/tmp";
  ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
  const std::string garbage = folder + "/garbage.so";
  std::ofstream(garbage) << "not a shared object";
  EXPECT_EQ(LoadLibraryA(garbage.c_str()), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  EXPECT_FALSE(vantrel::win::LastLoadError().empty());

  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  int notAModule = 0;
  EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&notAModule)));
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(&notAModule), "TestAdd"), nullptr);
}

TEST(ModuleTest, FileNames) {
  char path[PATH_MAX];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::string(path, n), RealPath("/proc/self/exe"));

  HMODULE module = LoadLibraryA(EXPORTS_MODULE);
  ASSERT_NE(module, nullptr);
  const std::string expected = RealPath(EXPORTS_MODULE);
  EXPECT_EQ(GetModuleFileNameA(module, path, sizeof path), expected.size());
  EXPECT_EQ(std::string(path), expected);

  // Too small: cut, NUL-terminated, the size returned.
  std::memset(path, 'x', sizeof path);
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(module, path, 5), 5u);
  EXPECT_EQ(std::string(path), expected.substr(0, 4));
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(ModuleTest, HandleFromAnAddressIsTheLoadedModule) {
  HMODULE program = GetModuleHandleA(nullptr);
  HMODULE found = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCSTR>(&AddressInTheProgram), &found));
  EXPECT_EQ(found, program);

  HMODULE module = LoadLibraryA(EXPORTS_MODULE);
  ASSERT_NE(module, nullptr);
  auto add = reinterpret_cast<LPCSTR>(GetProcAddress(module, "TestAdd"));
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 add, &found));
  EXPECT_EQ(found, module);
  EXPECT_EQ(GetModuleHandleA("module_exports.so"), module);
  EXPECT_EQ(GetModuleHandleA("module_exports"), module);

  // Without _UNCHANGED_REFCOUNT the module gains a reference: it stays
  // loaded after the first FreeLibrary and goes with the second.
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, add, &found));
  EXPECT_EQ(found, module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleA("module_exports.so"), module);
  EXPECT_TRUE(FreeLibrary(module));
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleA("module_exports.so"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  int onTheStack = 0;
  EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&onTheStack),
                                  &found));
  EXPECT_EQ(found, nullptr);
  EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  nullptr, &found));
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Threads loading, reading and freeing one module at once: every load
// gives the same handle, and the module goes only with the last free.
TEST(ModuleTest, ConcurrentLoadsAndFrees) {
  HMODULE held = LoadLibraryA(EXPORTS_MODULE);
  ASSERT_NE(held, nullptr);
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        HMODULE module = (i % 2 == 0) ? LoadLibraryA(EXPORTS_MODULE)
                                      : LoadLibraryExA(EXPORTS_MODULE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        char text[64];
        if (module != held || LoadStringA(module, 1, text, sizeof text) != 23 || !FreeLibrary(module)) ++wrong[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
  EXPECT_EQ(GetModuleHandleA("module_exports.so"), held);
  EXPECT_TRUE(FreeLibrary(held));
  EXPECT_EQ(GetModuleHandleA("module_exports.so"), nullptr);
}

}  // namespace
