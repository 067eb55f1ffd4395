#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/win/MessageBox.h"
#include "server/sessions/CryptFile.h"

namespace fs = std::filesystem;
using namespace vantrel::crypt;

namespace {

std::string Scratch(const std::string& name) {
  const char* tmp = std::getenv("VANTREL_TEST_TMPDIR");
  fs::path dir = fs::path(tmp ? tmp : "/tmp") / "cryptfile";
  fs::create_directories(dir);
  fs::path p = dir / name;
  fs::remove_all(p);
  return p.string();
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::uint32_t Be(const char* hex) {
  return static_cast<std::uint32_t>(std::stoul(std::string(hex, 8), nullptr, 16));
}

}  // namespace

// Published vectors, which read each half-block and key word big-endian.
TEST(Xtea, KnownAnswers) {
  struct Case {
    const char *key, *plain, *cipher;
  } cases[] = {
      {"00000000000000000000000000000000", "0000000000000000", "dee9d4d8f7131ed9"},
      {"00000000000000000000000000000000", "0102030405060708", "065c1b8975c6a816"},
      {"0123456712345678234567893456789A", "0000000000000000", "1ff9a0261ac64264"},
      {"0123456712345678234567893456789A", "0102030405060708", "8c67155b2ef91ead"},
      {"000102030405060708090A0B0C0D0E0F", "4142434445464748", "497df3d072612cb5"},
  };
  for (const Case& c : cases) {
    XteaKey k = {Be(c.key), Be(c.key + 8), Be(c.key + 16), Be(c.key + 24)};
    std::uint32_t v[2] = {Be(c.plain), Be(c.plain + 8)};
    XteaEncipher(v, k);
    EXPECT_EQ(v[0], Be(c.cipher)) << c.key << " " << c.plain;
    EXPECT_EQ(v[1], Be(c.cipher + 8)) << c.key << " " << c.plain;
    XteaDecipher(v, k);
    EXPECT_EQ(v[0], Be(c.plain));
    EXPECT_EQ(v[1], Be(c.plain + 8));
  }
}

TEST(CryptFile, SizesPaddingAndRoundTrip) {
  struct Case {
    size_t length, file_size;
  } cases[] = {{0, 20}, {1, 20}, {7, 20}, {8, 28}, {15, 28}, {16, 36}, {1000, 1020}};
  std::string path = Scratch("sizes");
  for (const Case& c : cases) {
    std::string text;
    for (size_t i = 0; i < c.length; ++i) text += static_cast<char>('A' + i % 26);
    CCryptFile writer;
    ASSERT_TRUE(writer.Write(text, path, true));
    std::string image = Slurp(path);
    ASSERT_EQ(image.size(), c.file_size) << c.length;
    EXPECT_EQ(image.substr(0, 4), "cryp");
    // Decipher by hand: the text, then only zero bytes (9 to 16 of them).
    std::string plain;
    for (size_t off = 4; off < image.size(); off += 8) {
      std::uint32_t v[2];
      std::memcpy(v, &image[off], 8);  // little-endian host
      XteaDecipher(v, BuiltInKey());
      plain.append(reinterpret_cast<const char*>(v), 8);
    }
    EXPECT_EQ(plain.substr(0, c.length), text);
    EXPECT_EQ(plain.substr(c.length), std::string(plain.size() - c.length, '\0'));
    EXPECT_GE(plain.size() - c.length, 9u);
    EXPECT_LE(plain.size() - c.length, 16u);

    CCryptFile reader;
    EXPECT_EQ(reader.Read(path), text);
    EXPECT_TRUE(reader.Encrypted());
  }
  // No randomness: the same text gives the same file.
  EXPECT_EQ(EncryptText("[0]\n3a00001e=jsmith\n"), EncryptText("[0]\n3a00001e=jsmith\n"));
}

TEST(CryptFile, PlainAndOddFiles) {
  std::string path = Scratch("plain");
  CCryptFile f;
  // An older, plain users file: read unchanged with the flag false, then
  // rewritten in the encrypted format.
  Spit(path, "[0]\r\n3a00001e=jsmith\r\n");
  EXPECT_EQ(f.Read(path), "[0]\r\n3a00001e=jsmith\r\n");
  EXPECT_FALSE(f.Encrypted());
  ASSERT_TRUE(f.Write("[0]\r\n3a00001e=jsmith\r\n", path, true));
  EXPECT_EQ(Slurp(path).substr(0, 4), "cryp");
  EXPECT_EQ(f.Read(path), "[0]\r\n3a00001e=jsmith\r\n");
  EXPECT_TRUE(f.Encrypted());

  // A plain file ends at its first zero byte; short files are plain.
  Spit(path, std::string("ab\0cd", 5));
  EXPECT_EQ(f.Read(path), "ab");
  EXPECT_FALSE(f.Encrypted());
  Spit(path, "cry");
  EXPECT_EQ(f.Read(path), "cry");
  EXPECT_FALSE(f.Encrypted());

  // Plain write keeps the bytes as they are.
  ASSERT_TRUE(f.Write("hello", path, false));
  EXPECT_EQ(Slurp(path), "hello");

  // Only complete blocks after the magic are deciphered.
  Spit(path, EncryptText("twelve bytes") + "xyz");
  EXPECT_EQ(f.Read(path), "twelve bytes");
  EXPECT_TRUE(f.Encrypted());

  // Anything starting with the magic counts as encrypted.
  Spit(path, "cryp");
  EXPECT_EQ(f.Read(path), "");
  EXPECT_TRUE(f.Encrypted());

  // A missing file: empty text, flag true (no notice on a new install).
  fs::remove(path);
  Spit(path, "x");
  f.Read(path);
  EXPECT_FALSE(f.Encrypted());
  fs::remove(path);
  EXPECT_EQ(f.Read(path), "");
  EXPECT_TRUE(f.Encrypted());
}

TEST(CryptFile, UnwritableFileIsReportedAndOldFileKept) {
  std::vector<vantrel::win::MessageBoxRecord> boxes;
  auto previous = vantrel::win::SetMessageBoxHandler([&](const vantrel::win::MessageBoxRecord& r) {
    boxes.push_back(r);
    return IDOK;
  });
  std::string missing_dir = Scratch("nofolder") + "/USERS.ZLF";
  CCryptFile f;
  EXPECT_FALSE(f.Write("x", missing_dir, true));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Fatal, can not write file " + missing_dir);
  EXPECT_EQ(boxes[0].caption, "Vantrel");
  EXPECT_EQ(boxes[0].type, MB_OK);
  EXPECT_EQ(boxes[0].owner, nullptr);
  EXPECT_FALSE(f.Write("x", missing_dir, false));  // plain: silent
  EXPECT_EQ(boxes.size(), 1u);
  vantrel::win::SetMessageBoxHandler(previous);

  // A write that fails half-way (the disk fills up) leaves the old file.
  std::string dir = Scratch("full");
  fs::create_directories(dir);
  std::string path = dir + "/USERS.ZLF";
  ASSERT_TRUE(f.Write("old users", path, true));
  std::string before = Slurp(path);
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    bool box = false;
    vantrel::win::SetMessageBoxHandler([&](const vantrel::win::MessageBoxRecord&) {
      box = true;
      return IDOK;
    });
    CCryptFile g;
    bool written = g.Write(std::string(5000, 'n'), path, true);
    _exit(!written && box ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Slurp(path), before);
  size_t files = 0;
  for ([[maybe_unused]] auto& e : fs::directory_iterator(dir)) ++files;
  EXPECT_EQ(files, 1u) << "temporary file left behind";
}

// A server killed in the middle of a save leaves the old or the new users
// file, never a truncated one.
TEST(CryptFile, KillDuringSaveLeavesAWholeFile) {
  std::string path = Scratch("killed");
  std::string a, b;
  for (int i = 0; i < 3000; ++i) a += "[" + std::to_string(i) + "]\n3a00001e=user" + std::to_string(i) + "\n";
  for (int i = 0; i < 5000; ++i) b += "[" + std::to_string(i) + "]\n6800001e=pw" + std::to_string(i) + "\n";
  CCryptFile f;
  ASSERT_TRUE(f.Write(a, path, true));
  for (int round = 0; round < 15; ++round) {
    pid_t child = fork();
    if (child == 0) {
      CCryptFile g;
      for (int i = 0;; ++i) g.Write(i % 2 ? a : b, path, true);
    }
    usleep(2000 + 1500 * round);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::string text = f.Read(path);
    EXPECT_TRUE(f.Encrypted());
    EXPECT_TRUE(text == a || text == b) << "round " << round << ": " << text.size() << " bytes";
  }
}
