#include "server/sessions/CryptFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/base/ByteCoder.h"
#include "platform/win/MessageBox.h"

namespace vantrel::crypt {
namespace {

constexpr std::uint32_t kDelta = 0x9E3779B9;
constexpr int kCycles = 32;
constexpr char kMagic[4] = {'c', 'r', 'y', 'p'};
constexpr std::uint8_t kKeyBytes[16] = {0x5A, 0x91, 0xC3, 0x07, 0xE4, 0x2B, 0x78, 0xD6,
                                        0x0F, 0x3C, 0xA5, 0x61, 0x9E, 0x14, 0xB8, 0x72};

// The file's words are little-endian whatever the host.
std::uint32_t LoadLe(const char* p) {
  return LoadLe32(reinterpret_cast<const std::uint8_t*>(p));
}
void StoreLe(std::uint32_t v, char* p) {
  StoreLe32(reinterpret_cast<std::uint8_t*>(p), v);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Makes a rename inside `dir` durable.
void SyncFolder(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

const XteaKey& BuiltInKey() {
  static const XteaKey key = {
      LoadLe(reinterpret_cast<const char*>(kKeyBytes)), LoadLe(reinterpret_cast<const char*>(kKeyBytes + 4)),
      LoadLe(reinterpret_cast<const char*>(kKeyBytes + 8)), LoadLe(reinterpret_cast<const char*>(kKeyBytes + 12))};
  return key;
}

void XteaEncipher(std::uint32_t v[2], const XteaKey& k) {
  std::uint32_t v0 = v[0], v1 = v[1], sum = 0;
  for (int i = 0; i < kCycles; ++i) {
    v0 += (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + k[sum & 3]);
    sum += kDelta;
    v1 += (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + k[(sum >> 11) & 3]);
  }
  v[0] = v0;
  v[1] = v1;
}

void XteaDecipher(std::uint32_t v[2], const XteaKey& k) {
  std::uint32_t v0 = v[0], v1 = v[1], sum = kDelta * kCycles;
  for (int i = 0; i < kCycles; ++i) {
    v1 -= (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + k[(sum >> 11) & 3]);
    sum -= kDelta;
    v0 -= (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + k[sum & 3]);
  }
  v[0] = v0;
  v[1] = v1;
}

std::string EncryptText(std::string_view text) {
  // S = 8 * (L/8 + 2): past the next multiple of eight, then one more block.
  size_t size = text.size() + 8;
  size += 8 - size % 8;
  std::string image(sizeof(kMagic) + size, '\0');
  std::memcpy(image.data(), kMagic, sizeof(kMagic));
  std::memcpy(image.data() + sizeof(kMagic), text.data(), text.size());
  for (size_t off = sizeof(kMagic); off < image.size(); off += 8) {
    std::uint32_t v[2] = {LoadLe(&image[off]), LoadLe(&image[off + 4])};
    XteaEncipher(v, BuiltInKey());
    StoreLe(v[0], &image[off]);
    StoreLe(v[1], &image[off + 4]);
  }
  return image;
}

std::string DecryptImage(std::string_view image, bool* encrypted) {
  std::string plain;
  if (image.size() >= sizeof(kMagic) && std::memcmp(image.data(), kMagic, sizeof(kMagic)) == 0) {
    *encrypted = true;
    size_t blocks = (image.size() - sizeof(kMagic)) / 8;  // a trailing partial block is ignored
    plain.resize(blocks * 8);
    for (size_t b = 0; b < blocks; ++b) {
      const char* in = image.data() + sizeof(kMagic) + b * 8;
      std::uint32_t v[2] = {LoadLe(in), LoadLe(in + 4)};
      XteaDecipher(v, BuiltInKey());
      StoreLe(v[0], &plain[b * 8]);
      StoreLe(v[1], &plain[b * 8 + 4]);
    }
  } else {
    *encrypted = false;
    plain.assign(image);
  }
  if (size_t nul = plain.find('\0'); nul != std::string::npos) plain.resize(nul);
  return plain;
}

bool ReplaceFile(const std::string& path, std::string_view bytes) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string tmp = path + ".tmpXXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) return false;
  // A replaced file keeps its permissions; a new one stays private to the
  // server (it holds passwords).
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  SyncFolder(dir);
  return true;
}

}  // namespace vantrel::crypt

bool CCryptFile::Write(const std::string& text, const std::string& path, bool encrypt) {
  if (!encrypt) return vantrel::crypt::ReplaceFile(path, text);
  if (vantrel::crypt::ReplaceFile(path, vantrel::crypt::EncryptText(text))) return true;
  std::vector<char> message(path.size() + 64);
  std::snprintf(message.data(), message.size(), "Fatal, can not write file %s", path.c_str());
  MessageBox(nullptr, message.data(), "Vantrel", MB_OK);
  return false;
}

std::string CCryptFile::Read(const std::string& path) {
  encrypted_ = TRUE;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string image;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {  // e.g. a folder: as unreadable as a missing file
      ::close(fd);
      return {};
    }
    if (n == 0) break;
    image.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  bool encrypted = false;
  std::string text = vantrel::crypt::DecryptImage(image, &encrypted);
  encrypted_ = encrypted ? TRUE : FALSE;
  return text;
}
