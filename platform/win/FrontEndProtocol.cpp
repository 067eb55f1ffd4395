#include "platform/win/FrontEndProtocol.h"

#include "platform/win/LocalChannel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

namespace vantrel::win::fe {

std::string Escape(std::string_view field) {
  if (field.empty()) return "\\-";
  std::string out;
  out.reserve(field.size());
  for (unsigned char c : field) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case ' ': out += "\\s"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool Unescape(std::string_view field, std::string* out) {
  out->clear();
  if (field == "\\-") return true;
  for (size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c != '\\') {
      if (static_cast<unsigned char>(c) < 0x20 || c == ' ') return false;
      *out += c;
      continue;
    }
    if (++i >= field.size()) return false;
    switch (field[i]) {
      case '\\': *out += '\\'; break;
      case 's': *out += ' '; break;
      case 'n': *out += '\n'; break;
      case 'r': *out += '\r'; break;
      case 't': *out += '\t'; break;
      case 'x': {
        if (i + 2 >= field.size()) return false;
        int hi = HexDigit(field[i + 1]);
        int lo = HexDigit(field[i + 2]);
        if (hi < 0 || lo < 0) return false;
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

std::string Join(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ' ';
    line += Escape(fields[i]);
  }
  return line;
}

bool Split(std::string_view line, std::vector<std::string>* fields) {
  fields->clear();
  size_t i = 0;
  while (i < line.size()) {
    size_t j = line.find(' ', i);
    if (j == std::string_view::npos) j = line.size();
    if (j == i) return false;  // two separators in a row
    std::string f;
    if (!Unescape(line.substr(i, j - i), &f)) return false;
    fields->push_back(std::move(f));
    i = j + 1;
    if (j + 1 == line.size()) return false;  // a trailing separator
  }
  return true;
}

std::string Hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

std::string HexBytes(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

bool FromHexBytes(std::string_view hex, std::string* out) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (hex.size() % 2) return false;
  out->clear();
  out->reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

bool ParseNumber(std::string_view s, std::int64_t* out) {
  bool neg = false;
  size_t i = 0;
  if (!s.empty() && s[0] == '-') {
    neg = true;
    i = 1;
  }
  int base = 10;
  if (s.size() > i + 1 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  std::uint64_t v = 0;
  for (; i < s.size(); ++i) {
    int d = HexDigit(s[i]);
    if (d < 0 || d >= base) return false;
    if (v > (UINT64_MAX - static_cast<unsigned>(d)) / static_cast<unsigned>(base)) return false;
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
  }
  if (v > static_cast<std::uint64_t>(INT64_MAX)) return false;
  *out = neg ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
  return true;
}

std::string Record::Get(std::string_view name, std::string fallback) const {
  for (const auto& a : attrs) {
    if (!a.empty() && a[0] == name) return a.size() > 1 ? a[1] : std::string();
  }
  return fallback;
}

std::vector<const std::vector<std::string>*> Record::All(std::string_view name) const {
  std::vector<const std::vector<std::string>*> out;
  for (const auto& a : attrs) {
    if (!a.empty() && a[0] == name) out.push_back(&a);
  }
  return out;
}

std::string EncodeRecord(const Record& r) {
  std::string out = Join({"begin", r.kind, r.event, r.key});
  out += '\n';
  for (const auto& a : r.attrs) {
    out += Join(a);
    out += '\n';
  }
  out += "end\n";
  return out;
}

int LineReader::Next(std::string* line, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  while (true) {
    size_t nl = buf_.find('\n');
    if (nl != std::string::npos) {
      *line = buf_.substr(0, nl);
      buf_.erase(0, nl + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return 1;
    }
    if (buf_.size() > kMaxLine) return -1;
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return -1;
      wait = static_cast<int>(left.count());
    }
    pollfd p{fd_, POLLIN, 0};
    int pr = ::poll(&p, 1, wait);
    if (pr < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (pr == 0) return -1;
    char chunk[4096];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    if (n == 0) return buf_.empty() ? 0 : -1;
    buf_.append(chunk, static_cast<size_t>(n));
  }
}

int ReadRecord(LineReader& in, const std::vector<std::string>& begin, Record* out, int timeoutMs) {
  if (begin.size() != 4 || begin[0] != "begin") return -1;
  out->kind = begin[1];
  out->event = begin[2];
  out->key = begin[3];
  out->attrs.clear();
  std::string line;
  std::vector<std::string> fields;
  for (size_t count = 0;; ++count) {
    if (count > 1000000) return -1;
    int r = in.Next(&line, timeoutMs);
    if (r <= 0) return r == 0 ? 0 : -1;
    if (line == "end") return 1;
    if (!Split(line, &fields) || fields.empty()) return -1;
    out->attrs.push_back(fields);
  }
}

bool WriteAll(int fd, std::string_view data) { return vantrel::win::WriteAll(fd, data.data(), data.size()); }

}  // namespace vantrel::win::fe
