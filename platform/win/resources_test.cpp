#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/base/HResult.h"
#include "platform/win/Resources.h"
#include "platform/win/ResourceTable.h"
#include "platform/win/rc/ResourceScript.h"

namespace vantrel::win {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Scratch(const std::string& name) {
  const char* dir = std::getenv("VANTREL_TEST_TMPDIR");
  std::string folder = dir != nullptr ? dir : "/tmp";
  std::string mk = "mkdir -p '" + folder + "'";
  EXPECT_EQ(std::system(mk.c_str()), 0);
  return folder + "/" + name;
}

std::string LoadString(HMODULE module, UINT id) {
  char buffer[256];
  const int n = LoadStringA(module, id, buffer, sizeof buffer);
  return std::string(buffer, static_cast<std::size_t>(n));
}

// Restores the thread's locale after a test changed it.
class ResourcesTest : public ::testing::Test {
 protected:
  void TearDown() override { SetThreadLocale(saved_); }
  LCID saved_ = GetThreadLocale();
};

TEST_F(ResourcesTest, LoadStringChoosesTheThreadLanguage) {
  struct Case {
    LANGID lang;
    UINT id;
    const char* expected;
  };
  const Case cases[] = {
      {1031, 101, "Verbindung"},
      {1031, 102, "Gr\xF6\xDF" "e"},  // stored in the ANSI code page
      {1033, 101, "Connection"},
      {1046, 101, "Conex\xE3o"},
      {3082, 101, "Conexi\xF3n"},
      {1041, 101, "Connection"},
      {0x0807, 101, "Verbindung"},  // Swiss German: the same primary language
      {0x080a, 101, "Conexi\xF3n"},  // Mexican Spanish
      {1036, 101, "Connection"},    // French: no French, no neutral: English
      {1046, 102, "Size"},          // missing in Portuguese: English
      {1031, 103, "Only English"},
      {1031, 106, "neutral"},       // a neutral string comes before English
      {1033, 106, "english"},
      {1031, 107, "s\xF3 portugu\xEAs"},  // the only one there is
      {1033, 105, "Say \"hi\"\tand\\go"},
      {1033, 120, "From the second script"},  // resources_test_more.rc
      {1031, 120, "Aus dem zweiten Skript"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(SetThreadLocale(MAKELCID(c.lang, SORT_DEFAULT)));
    EXPECT_EQ(LoadString(nullptr, c.id), c.expected) << "language " << c.lang << ", string " << c.id;
  }
}

TEST_F(ResourcesTest, LoadStringBuffers) {
  SetThreadLocale(1033);
  char buffer[32];
  // Too small: cut and NUL-terminated.
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(LoadStringA(nullptr, 101, buffer, 4), 3);
  EXPECT_STREQ(buffer, "Con");
  EXPECT_EQ(LoadStringA(nullptr, 101, buffer, 1), 0);
  EXPECT_STREQ(buffer, "");
  // Exactly large enough.
  EXPECT_EQ(LoadStringA(nullptr, 101, buffer, 11), 10);
  EXPECT_STREQ(buffer, "Connection");
  // Size 0: a read-only pointer to the string itself.
  const char* inPlace = nullptr;
  EXPECT_EQ(LoadStringA(nullptr, 101, reinterpret_cast<LPSTR>(&inPlace), 0), 10);
  ASSERT_NE(inPlace, nullptr);
  EXPECT_EQ(std::string(inPlace, 10), "Connection");
  EXPECT_EQ(inPlace[10], '\0');
  // Missing: 0, an empty buffer and the published error.
  std::strcpy(buffer, "old");
  SetLastError(0);
  EXPECT_EQ(LoadStringA(nullptr, 999, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(LoadStringA(nullptr, 101, nullptr, 10), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(ResourcesTest, ThreadLocaleBelongsToItsThread) {
  ASSERT_TRUE(SetThreadLocale(1046));
  LCID other = 0;
  std::thread([&] { other = GetThreadLocale(); }).join();
  EXPECT_EQ(other, ProcessLocale());
  EXPECT_EQ(GetThreadLocale(), 1046u);
  EXPECT_FALSE(SetThreadLocale(LOCALE_NEUTRAL));
  EXPECT_EQ(GetThreadLocale(), 1046u);

  struct Case {
    const char* posix;
    LCID lcid;
  };
  for (const Case& c : {Case{"de_DE.UTF-8", 1031}, Case{"pt_BR", 1046}, Case{"es_ES@euro", 3082},
                        Case{"en_GB.ISO-8859-1", 2057}, Case{"ja_JP.eucJP", 1041}, Case{"de", 1031},
                        Case{"C", 0}, Case{"POSIX", 0}, Case{"xx_YY", 0}, Case{"", 0}}) {
    EXPECT_EQ(LcidFromPosixLocale(c.posix), c.lcid) << c.posix;
  }
}

TEST_F(ResourcesTest, CustomDialogAndMenuResources) {
  const std::string inf = ReadAll(TEST_INF);
  ASSERT_FALSE(inf.empty());
  // Names and types compare without case.
  for (const char* name : {"ZELTEST", "zeltest"}) {
    HRSRC found = FindResourceA(nullptr, name, "inf");
    ASSERT_NE(found, nullptr) << name;
    HGLOBAL loaded = LoadResource(nullptr, found);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(SizeofResource(nullptr, found), inf.size());
    EXPECT_EQ(std::memcmp(LockResource(loaded), inf.data(), inf.size()), 0);  // embedded NUL kept
  }
  HRSRC none = FindResourceA(nullptr, "OTHER", "INF");
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(FindResourceA(nullptr, "ZELTEST", "NOTYPE"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  // A handle of one module is not a handle of another.
  HMODULE replacement = LoadLibraryExA(REPLACEMENT_LIBRARY, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(replacement, nullptr);
  EXPECT_EQ(LoadResource(replacement, FindResourceA(nullptr, "ZELTEST", "INF")), nullptr);
  EXPECT_TRUE(FreeLibrary(replacement));

  std::string_view dialog;
  ASSERT_TRUE(FindResourceBytes(nullptr, RT_DIALOG, MAKEINTRESOURCEA(100), &dialog));
  EXPECT_EQ(dialog.substr(0, 13), "100 DIALOGEX ");
  EXPECT_NE(dialog.find("CAPTION \"Anmelden END\""), std::string_view::npos);
  EXPECT_NE(dialog.find("DEFPUSHBUTTON \"OK\", IDOK, 7, 80, 50, 14\nEND"), std::string_view::npos);
  EXPECT_EQ(dialog.substr(dialog.size() - 3), "END");

  std::string_view menu;
  ASSERT_TRUE(FindResourceBytes(nullptr, RT_MENU, "#200", &menu));
  EXPECT_EQ(menu.substr(0, 8), "200 MENU");
  EXPECT_NE(menu.find("MENUITEM SEPARATOR\n    END\nEND"), std::string_view::npos);
  EXPECT_EQ(menu.find("ZELTEST"), std::string_view::npos);
}

TEST_F(ResourcesTest, ResourceLibraryReplacesAndFallsBack) {
  SetThreadLocale(1033);
  HMODULE builtIn = GetModuleHandleA(nullptr);
  ASSERT_NE(builtIn, nullptr);

  HMODULE library = LoadResourceLibrary(REPLACEMENT_LIBRARY, builtIn);
  ASSERT_NE(library, builtIn);
  EXPECT_EQ(LoadString(library, 101), "Replaced connection");
  EXPECT_EQ(LoadString(builtIn, 101), "Connection");
  EXPECT_EQ(LoadString(library, 102), "");  // the library's table only
  // Read as a data file: a file name, no procedures.
  char path[4096];
  char* real = ::realpath(REPLACEMENT_LIBRARY, nullptr);
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(GetModuleFileNameA(library, path, sizeof path), std::strlen(real));
  EXPECT_STREQ(path, real);
  std::free(real);
  EXPECT_EQ(GetProcAddress(library, "vantrel_resource_table"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(LoadLibraryExA(REPLACEMENT_LIBRARY, nullptr, LOAD_LIBRARY_AS_DATAFILE), library);  // counted
  EXPECT_TRUE(FreeLibrary(library));
  EXPECT_TRUE(FreeLibrary(library));
  EXPECT_FALSE(FreeLibrary(library));

  // A garbage file under the library's name, a library whose table is
  // damaged, and a module with no table of its own (its dependency has
  // one) all give the built-in resources.
  const std::string garbage = Scratch("win_test_replacement.so");
  std::ofstream(garbage, std::ios::binary) << "this is not a shared object";
  std::string damaged = ReadAll(REPLACEMENT_LIBRARY);
  const auto magic = damaged.find("VRS1");
  ASSERT_NE(magic, std::string::npos);
  damaged[magic + 12] = '\xff';  // the entry count runs past the table
  damaged[magic + 13] = '\xff';
  const std::string damagedPath = Scratch("damaged_replacement.so");
  std::ofstream(damagedPath, std::ios::binary) << damaged;
  for (const std::string& path : {Scratch("missing.so"), garbage, damagedPath, std::string(PLAIN_MODULE)}) {
    EXPECT_EQ(LoadResourceLibrary(path, builtIn), builtIn) << path;
  }
  EXPECT_EQ(LoadResourceLibrary("", builtIn), builtIn);
  EXPECT_EQ(std::getenv("MODULE_PLAIN_RAN"), nullptr);  // nothing of it ran
}

// The compiler refuses what it cannot read, with the line.
TEST(ResourceScriptTest, RefusesBadScripts) {
  struct Case {
    const char* script;
    const char* error;
  };
  const Case cases[] = {
      {"STRINGTABLE BEGIN 1 \"open\nEND", "1: string without an end"},
      {"STRINGTABLE BEGIN 1 \"a\"\n", "2: STRINGTABLE without END"},
      {"STRINGTABLE BEGIN 1 \"a\" 1 \"b\" END", "1: resource defined twice in language 0"},
      {"STRINGTABLE BEGIN 70000 \"a\" END", "1: string id out of range"},
      {"STRINGTABLE BEGIN IDS_X \"a\" END", "1: string id must be a number"},
      {"\n1 DIALOGEX 0,0,1,1\nBEGIN\nLTEXT \"x\", -1, 0,0,1,1\n", "2: statement without END"},
      {"#include \"x.h\"", "1: preprocessor lines are not supported"},
      {"X INF \"no-such-file.inf\"", "1: cannot read ./no-such-file.inf"},
      {"LANGUAGE LANG_KLINGON, 1", "1: LANGUAGE needs a number or a LANG_ / SUBLANG_ name"},
      {"/* open", "1: comment without an end"},
  };
  for (const Case& c : cases) {
    rc::Script script;
    std::string error;
    EXPECT_FALSE(rc::ParseScript(c.script, ".", &script, &error)) << c.script;
    EXPECT_EQ(error, c.error) << c.script;
  }
  // The same id in two languages is two strings.
  rc::Script script;
  std::string error;
  EXPECT_TRUE(rc::ParseScript("LANGUAGE 7,1 STRINGTABLE {1 \"a\"} LANGUAGE 9,1 STRINGTABLE {1 \"b\"}", ".", &script,
                              &error))
      << error;
  EXPECT_EQ(script.resources.size(), 2u);
}

// A damaged table is refused before anything reads it.
TEST(ResourceTableTest, RefusesDamagedTables) {
  rc::Script script;
  std::string error, table;
  ASSERT_TRUE(rc::ParseScript("LANGUAGE 9,1 STRINGTABLE { 1 \"one\" }\nNAMED TYPE \"" + std::string(TEST_INF) + "\"",
                              ".", &script, &error))
      << error;
  ASSERT_TRUE(rc::BuildTable(script, &table, &error));
  auto bytes = [&](const std::string& t) { return reinterpret_cast<const unsigned char*>(t.data()); };
  ResourceTable view;
  ASSERT_TRUE(ResourceTable::Open(bytes(table), table.size(), &view, &error)) << error;
  EXPECT_EQ(view.count(), 2u);

  auto put = [](std::string t, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) t[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
    return t;
  };
  const std::size_t entry1 = kResourceHeaderSize + kResourceEntrySize;
  struct Case {
    std::string table;
    std::size_t size;
    const char* why;
  };
  const Case cases[] = {
      {table, 10, "table too short"},
      {put(table, 0, 0x12345678), table.size(), "not a resource table"},
      {put(table, 4, 2), table.size(), "unknown table version"},
      {table, table.size() - 1, "table size beyond its block"},
      {put(table, 12, 0x10000000), table.size(), "entry count beyond the table"},
      {put(table, entry1, kNamedKey | 0x7ffffff0), table.size(), "bad resource key"},
      {put(table, entry1 + 4, 0x10000), table.size(), "bad resource key"},
      {put(table, entry1 + 12, static_cast<std::uint32_t>(table.size())), table.size(),
       "resource data beyond the table"},
      {put(table, entry1 + 16, 0xFFFFFFF0), table.size(), "resource data beyond the table"},
      {put(table, entry1 + 16, 3), table.size(), "resource data beyond the table"},  // no NUL after it
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_FALSE(ResourceTable::Open(bytes(c.table), c.size, &view, &why)) << c.why;
    EXPECT_EQ(why, c.why);
    EXPECT_FALSE(view.valid());
  }
}

}  // namespace
}  // namespace vantrel::win
