// The front-end protocol (FrontEndProtocol.md): lines of space-separated,
// escaped fields; records of several lines between "begin" and "end".
// Shared by the process side (FrontEnd.cpp) and front ends (zelwin).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::win::fe {

inline constexpr int kVersion = 1;
// A longer line is a protocol error (the peer is dropped), so a reader
// never buffers without bound.
inline constexpr size_t kMaxLine = 1 << 20;

// One field: backslash escapes for the separator and control bytes, "\-"
// for the empty field.
std::string Escape(std::string_view field);
// False on a malformed escape.
bool Unescape(std::string_view field, std::string* out);

// A line (without its newline) from fields, and back. Split fails on a
// malformed escape.
std::string Join(const std::vector<std::string>& fields);
bool Split(std::string_view line, std::vector<std::string>* fields);

// Handles are written as 0x-prefixed hex; numbers as decimal or 0x hex.
std::string Hex(std::uint64_t v);
bool ParseNumber(std::string_view s, std::int64_t* out);
// Binary data (an image) as lowercase hex digits, two per byte, and back;
// FromHexBytes fails on an odd length or a non-hex digit.
std::string HexBytes(std::string_view bytes);
bool FromHexBytes(std::string_view hex, std::string* out);

// A record: `begin KIND EVENT KEY`, attribute lines, `end`.
struct Record {
  std::string kind;   // window, menu, tray, cursor
  std::string event;  // created, changed, destroyed, shown, closed, added, modified, deleted, state
  std::string key;    // a handle, or "hwnd:uid" for a tray icon
  std::vector<std::vector<std::string>> attrs;  // each: name, values...

  void Add(std::vector<std::string> attr) { attrs.push_back(std::move(attr)); }
  // The first value of attribute `name`, or `fallback`.
  std::string Get(std::string_view name, std::string fallback = {}) const;
  std::vector<const std::vector<std::string>*> All(std::string_view name) const;
};

std::string EncodeRecord(const Record& r);  // the lines, each ended by \n

// Reads lines from a descriptor, buffering the rest.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // 1: a line; 0: the peer closed; -1: error, overlong line or timeout
  // (timeoutMs < 0 waits without bound).
  int Next(std::string* line, int timeoutMs);

 private:
  int fd_;
  std::string buf_;
};

// Reads the attribute lines of a record whose begin line was `fields`.
// 1 done, 0 closed, -1 error.
int ReadRecord(LineReader& in, const std::vector<std::string>& beginFields, Record* out, int timeoutMs);

// Writes all of `data`; false on error.
bool WriteAll(int fd, std::string_view data);

}  // namespace vantrel::win::fe
