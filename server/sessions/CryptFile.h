// CCryptFile reads and writes one whole text file, optionally enciphered.
//
// Encrypted format: the four bytes "cryp", then N = L/8 + 2 blocks of eight
// bytes: the L text bytes padded with zero bytes (between 9 and 16 of them)
// and enciphered block by block (ECB) with XTEA, 32 cycles, under the
// built-in key. Each block is two little-endian 32-bit words. There is no
// length field and no checksum; the text ends at the first zero byte.
// A file without the magic is plain text (an older users file).
//
// Writes replace the file atomically: the new contents go to a temporary
// file in the same folder, reach the disk, and are renamed over the old
// file, so a crash during a save leaves the old or the new file, never a
// truncated one.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"

namespace vantrel::crypt {

using XteaKey = std::array<std::uint32_t, 4>;

// The program's constant key as four little-endian words.
const XteaKey& BuiltInKey();

// One 64-bit block, v[0] the left half.
void XteaEncipher(std::uint32_t v[2], const XteaKey& k);
void XteaDecipher(std::uint32_t v[2], const XteaKey& k);

// The encrypted file image of a text (magic included).
std::string EncryptText(std::string_view text);
// The text of a file image; *encrypted says whether it carried the magic.
std::string DecryptImage(std::string_view image, bool* encrypted);

// Replaces the file at `path` with `bytes` (temporary file, fsync, rename).
// False when the file cannot be written; the old file is then untouched.
bool ReplaceFile(const std::string& path, std::string_view bytes);

}  // namespace vantrel::crypt

class CCryptFile {
 public:
  // encrypt true: a file that cannot be written is reported by the message
  // box "Fatal, can not write file %s" (caption "Vantrel"); encrypt false:
  // silently. Returns whether the file was written.
  bool Write(const std::string& text, const std::string& path, bool encrypt);

  // The text of the file; a missing file reads as "" with the flag true.
  std::string Read(const std::string& path);

  // Whether the last Read found the encrypted format (or no file at all).
  BOOL Encrypted() const { return encrypted_; }

 private:
  INT encrypted_ = 0;
};
