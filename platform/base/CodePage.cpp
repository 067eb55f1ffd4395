#include "platform/base/CodePage.h"

namespace vantrel {
namespace {

// Windows-1252 bytes 0x80..0x9F; the rest of the page equals Latin-1.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t ByteToChar(unsigned char b) {
  return (b >= 0x80 && b < 0xA0) ? kHigh[b - 0x80] : char16_t(b);
}

int CharToByte(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == c) return 0x80 + i;
  return -1;
}

// Decodes one code point of UTF-16 at i, advancing i.
char32_t NextUtf16(std::u16string_view w, size_t& i) {
  char32_t c = w[i++];
  if (c >= 0xD800 && c < 0xDC00 && i < w.size() && w[i] >= 0xDC00 && w[i] < 0xE000) {
    c = 0x10000 + ((c - 0xD800) << 10) + (w[i++] - 0xDC00);
  }
  return c;
}

void AppendUtf16(std::u16string& out, char32_t c) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(c));
  }
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Decodes one code point of UTF-8; malformed input yields U+FFFD.
char32_t NextUtf8(std::string_view s, size_t& i) {
  unsigned char b = static_cast<unsigned char>(s[i++]);
  int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
  if (extra < 0) return 0xFFFD;
  char32_t c = extra == 0 ? b : b & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    if (i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0xFFFD;
    c = (c << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
  }
  return c;
}

}  // namespace

std::u16string AnsiToUtf16(std::string_view ansi) {
  std::u16string out;
  out.reserve(ansi.size());
  for (char ch : ansi) out.push_back(ByteToChar(static_cast<unsigned char>(ch)));
  return out;
}

std::string Utf16ToAnsi(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size();) {
    int b = CharToByte(NextUtf16(wide, i));
    out.push_back(b < 0 ? '?' : static_cast<char>(b));
  }
  return out;
}

std::string FoldAnsi(std::string_view ansi) {
  std::string out(ansi);
  for (char& c : out) {
    auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) c = static_cast<char>(b + 0x20);
  }
  return out;
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  for (char ch : ansi) AppendUtf8(out, ByteToChar(static_cast<unsigned char>(ch)));
  return out;
}

std::string Utf8ToAnsi(std::string_view utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    int b = CharToByte(NextUtf8(utf8, i));
    out.push_back(b < 0 ? '?' : static_cast<char>(b));
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  for (size_t i = 0; i < utf8.size();) AppendUtf16(out, NextUtf8(utf8, i));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view wide) {
  std::string out;
  for (size_t i = 0; i < wide.size();) AppendUtf8(out, NextUtf16(wide, i));
  return out;
}

}  // namespace vantrel
