#include "platform/win/rc/ResourceScript.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "platform/base/CodePage.h"

namespace vantrel::win::rc {

namespace {

enum class Tok { kEnd, kString, kNumber, kWord, kPunct };

struct Token {
  Tok kind = Tok::kEnd;
  std::string text;       // the word, the punctuation, or the decoded string
  long value = 0;         // numbers
  std::size_t begin = 0;  // offsets in the script
  std::size_t end = 0;
  int line = 0;
};

struct ParseError {
  int line;
  std::string message;
};

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

bool IsWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

class Lexer {
 public:
  explicit Lexer(const std::string& text) : text_(text) {}

  Token Next() {
    SkipSpace();
    Token t;
    t.begin = pos_;
    t.line = line_;
    if (pos_ >= text_.size()) {
      t.end = pos_;
      return t;
    }
    const char c = text_[pos_];
    if (c == '"') {
      t.kind = Tok::kString;
      t.text = ReadString();
    } else if ((c >= '0' && c <= '9') || (c == '-' && pos_ + 1 < text_.size() && text_[pos_ + 1] >= '0' &&
                                          text_[pos_ + 1] <= '9')) {
      t.kind = Tok::kNumber;
      t.value = ReadNumber();
    } else if (IsWordChar(c)) {
      t.kind = Tok::kWord;
      while (pos_ < text_.size() && IsWordChar(text_[pos_])) t.text.push_back(text_[pos_++]);
    } else if (c == '#') {
      throw ParseError{line_, "preprocessor lines are not supported"};
    } else {
      t.kind = Tok::kPunct;
      t.text = std::string(1, c);
      ++pos_;
    }
    t.end = pos_;
    return t;
  }

 private:
  void SkipSpace() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f') {
        ++pos_;
      } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '*') {
        const int start = line_;
        pos_ += 2;
        while (pos_ + 1 < text_.size() && !(text_[pos_] == '*' && text_[pos_ + 1] == '/')) {
          if (text_[pos_] == '\n') ++line_;
          ++pos_;
        }
        if (pos_ + 1 >= text_.size()) throw ParseError{start, "comment without an end"};
        pos_ += 2;
      } else {
        break;
      }
    }
  }

  // "text" with "" for a quote and the escapes \n \t \\ \" \r \a \0 \xHH.
  std::string ReadString() {
    const int start = line_;
    std::string out;
    ++pos_;
    while (true) {
      if (pos_ >= text_.size() || text_[pos_] == '\n') throw ParseError{start, "string without an end"};
      const char c = text_[pos_++];
      if (c == '"') {
        if (pos_ < text_.size() && text_[pos_] == '"') {
          out.push_back('"');
          ++pos_;
          continue;
        }
        return out;
      }
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) throw ParseError{start, "string without an end"};
      const char e = text_[pos_++];
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'a': out.push_back('\a'); break;
        case '0': out.push_back('\0'); break;
        case '\\': out.push_back('\\'); break;
        case '"': out.push_back('"'); break;
        case 'x': {
          int value = 0, digits = 0;
          while (digits < 2 && pos_ < text_.size() && std::isxdigit(static_cast<unsigned char>(text_[pos_]))) {
            const char h = text_[pos_++];
            value = value * 16 + (h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
            ++digits;
          }
          if (digits == 0) throw ParseError{line_, "\\x without digits"};
          out.push_back(static_cast<char>(value));
          break;
        }
        default: throw ParseError{line_, std::string("unknown escape \\") + e};
      }
    }
  }

  long ReadNumber() {
    const char* start = text_.c_str() + pos_;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 0);
    if (errno != 0 || value > 0xFFFFFFFFL || value < -0x80000000L) throw ParseError{line_, "number out of range"};
    pos_ += static_cast<std::size_t>(end - start);
    while (pos_ < text_.size() && (text_[pos_] == 'L' || text_[pos_] == 'l' || text_[pos_] == 'U' || text_[pos_] == 'u'))
      ++pos_;
    if (pos_ < text_.size() && IsWordChar(text_[pos_])) throw ParseError{line_, "bad number"};
    return value;
  }

  const std::string& text_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

// The published language names a LANGUAGE statement may use.
const std::map<std::string, long>& LanguageNames() {
  static const std::map<std::string, long> names = {
      {"LANG_NEUTRAL", 0x00},          {"LANG_GERMAN", 0x07},
      {"LANG_ENGLISH", 0x09},          {"LANG_SPANISH", 0x0a},
      {"LANG_FRENCH", 0x0c},           {"LANG_ITALIAN", 0x10},
      {"LANG_JAPANESE", 0x11},         {"LANG_DUTCH", 0x13},
      {"LANG_PORTUGUESE", 0x16},       {"SUBLANG_NEUTRAL", 0x00},
      {"SUBLANG_DEFAULT", 0x01},       {"SUBLANG_SYS_DEFAULT", 0x02},
      {"SUBLANG_GERMAN", 0x01},        {"SUBLANG_GERMAN_SWISS", 0x02},
      {"SUBLANG_GERMAN_AUSTRIAN", 0x03}, {"SUBLANG_ENGLISH_US", 0x01},
      {"SUBLANG_ENGLISH_UK", 0x02},    {"SUBLANG_SPANISH", 0x01},
      {"SUBLANG_SPANISH_MEXICAN", 0x02}, {"SUBLANG_SPANISH_MODERN", 0x03},
      {"SUBLANG_PORTUGUESE", 0x02},    {"SUBLANG_PORTUGUESE_BRAZILIAN", 0x01},
      {"SUBLANG_JAPANESE_JAPAN", 0x01},
  };
  return names;
}

// Options a statement may carry before its body; they change nothing here.
bool IsMemoryOption(const std::string& word) {
  static const std::set<std::string> options = {"DISCARDABLE", "MOVEABLE", "FIXED",      "PURE",
                                                "IMPURE",      "PRELOAD",  "LOADONCALL"};
  return options.count(Upper(word)) != 0;
}

bool IsBegin(const Token& t) {
  return (t.kind == Tok::kWord && Upper(t.text) == "BEGIN") || (t.kind == Tok::kPunct && t.text == "{");
}
bool IsEnd(const Token& t) {
  return (t.kind == Tok::kWord && Upper(t.text) == "END") || (t.kind == Tok::kPunct && t.text == "}");
}

class Parser {
 public:
  Parser(const std::string& text, const std::string& folder, Script* out) : text_(text), lex_(text), folder_(folder), out_(out) {
    Advance();
  }

  void Run() {
    while (cur_.kind != Tok::kEnd) {
      if (IsWord("LANGUAGE")) {
        Advance();
        language_ = ReadLanguage();
      } else if (IsWord("STRINGTABLE")) {
        StringTable();
      } else {
        Statement();
      }
    }
  }

 private:
  void Advance() { cur_ = lex_.Next(); }

  bool IsWord(const char* word) const { return cur_.kind == Tok::kWord && Upper(cur_.text) == word; }
  bool IsPunct(const char* p) const { return cur_.kind == Tok::kPunct && cur_.text == p; }

  [[noreturn]] void Fail(const std::string& message) const { throw ParseError{cur_.line, message}; }

  long LanguagePart() {
    long value = 0;
    if (cur_.kind == Tok::kNumber) {
      value = cur_.value;
    } else if (cur_.kind == Tok::kWord && LanguageNames().count(Upper(cur_.text)) != 0) {
      value = LanguageNames().at(Upper(cur_.text));
    } else {
      Fail("LANGUAGE needs a number or a LANG_ / SUBLANG_ name");
    }
    Advance();
    return value;
  }

  std::uint16_t ReadLanguage() {
    const long first = LanguagePart();
    if (!IsPunct(",")) {
      if (first < 0 || first > 0xFFFF) Fail("language out of range");
      return static_cast<std::uint16_t>(first);
    }
    Advance();
    const long sub = LanguagePart();
    if (first < 0 || first > 0x3ff || sub < 0 || sub > 0x3f) Fail("language out of range");
    return static_cast<std::uint16_t>((sub << 10) | first);
  }

  void Add(Resource resource) {
    const auto key = std::make_tuple(resource.type.named, resource.type.id, resource.type.name, resource.name.named,
                                     resource.name.id, resource.name.name, resource.language);
    if (!seen_.insert(key).second) {
      throw ParseError{resource.line, "resource defined twice in language " + std::to_string(resource.language)};
    }
    out_->resources.push_back(std::move(resource));
  }

  void StringTable() {
    Advance();
    std::uint16_t language = language_;
    while (!IsBegin(cur_)) {
      if (IsWord("LANGUAGE")) {
        Advance();
        language = ReadLanguage();
      } else if (cur_.kind == Tok::kWord && (IsMemoryOption(cur_.text) || IsWord("CHARACTERISTICS") || IsWord("VERSION"))) {
        const bool hasValue = !IsMemoryOption(cur_.text);
        Advance();
        if (hasValue) Advance();
      } else {
        Fail("STRINGTABLE needs BEGIN");
      }
    }
    Advance();
    while (!IsEnd(cur_)) {
      if (cur_.kind != Tok::kNumber) Fail(cur_.kind == Tok::kEnd ? "STRINGTABLE without END" : "string id must be a number");
      if (cur_.value < 0 || cur_.value > 0xFFFF) Fail("string id out of range");
      Resource r;
      r.type.id = 6;  // RT_STRING
      r.name.id = static_cast<std::uint32_t>(cur_.value);
      r.language = language;
      r.line = cur_.line;
      Advance();
      if (IsPunct(",")) Advance();
      if (cur_.kind != Tok::kString) Fail("string id without its text");
      r.bytes = cur_.text;
      Advance();
      Add(std::move(r));
    }
    Advance();
  }

  ResourceKey ReadKey(const char* what) {
    ResourceKey key;
    if (cur_.kind == Tok::kNumber) {
      if (cur_.value < 0 || cur_.value > 0xFFFF) Fail(std::string(what) + " out of range");
      key.id = static_cast<std::uint32_t>(cur_.value);
    } else if (cur_.kind == Tok::kWord || cur_.kind == Tok::kString) {
      if (cur_.text.empty()) Fail(std::string("empty ") + what);
      key.named = true;
      key.name = Upper(cur_.text);
    } else {
      Fail(std::string("expected a resource ") + what);
    }
    Advance();
    return key;
  }

  void Statement() {
    Resource r;
    r.line = cur_.line;
    r.language = language_;
    const std::size_t begin = cur_.begin;
    r.name = ReadKey("name");
    if (IsWord("DIALOGEX") || IsWord("DIALOG") || IsWord("MENU") || IsWord("MENUEX")) {
      r.type.id = (IsWord("MENU") || IsWord("MENUEX")) ? 4 : 5;  // RT_MENU, RT_DIALOG
      // The whole statement, from its name to the END that closes its body.
      while (!IsBegin(cur_)) {
        if (cur_.kind == Tok::kEnd) Fail("statement without BEGIN");
        if (IsEnd(cur_)) Fail("END without BEGIN");
        Advance();
      }
      int depth = 0;
      std::size_t end = 0;
      do {
        if (cur_.kind == Tok::kEnd) throw ParseError{r.line, "statement without END"};
        if (IsBegin(cur_)) ++depth;
        if (IsEnd(cur_)) --depth;
        end = cur_.end;
        Advance();
      } while (depth > 0);
      r.bytes = text_.substr(begin, end - begin);
      Add(std::move(r));
      return;
    }
    if (cur_.kind == Tok::kEnd) Fail("resource without a type");
    r.type = ReadKey("type");
    if (!r.type.named && r.type.id == 0) Fail("resource type 0");
    if (r.type.named && r.type.name == "RCDATA") r.type = ResourceKey{false, 10, {}};
    while (cur_.kind == Tok::kWord && IsMemoryOption(cur_.text)) Advance();
    if (cur_.kind != Tok::kString) Fail("a custom resource names its file in quotes");
    const std::string path = !cur_.text.empty() && cur_.text[0] == '/' ? cur_.text : folder_ + "/" + cur_.text;
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail("cannot read " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    r.bytes = bytes.str();
    out_->inputs.push_back(path);
    Advance();
    Add(std::move(r));
  }

  const std::string& text_;
  Lexer lex_;
  std::string folder_;
  Script* out_;
  Token cur_;
  std::uint16_t language_ = 0;  // LANG_NEUTRAL until a LANGUAGE statement
  std::set<std::tuple<bool, std::uint32_t, std::string, bool, std::uint32_t, std::string, std::uint16_t>> seen_;
};

bool ValidUtf8(const std::string& s, bool* wide) {
  *wide = false;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    if (n > 1) *wide = true;
    i += n;
  }
  return true;
}

void Put32(std::string* out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) (*out)[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

}  // namespace

bool ParseScript(const std::string& raw, const std::string& folder, Script* out, std::string* error) {
  // Scripts may be saved in UTF-8 or already in the ANSI code page.
  bool wide = false;
  const std::string text = ValidUtf8(raw, &wide) && wide ? Utf8ToAnsi(raw) : raw;
  *out = Script();
  try {
    Parser parser(text, folder, out);
    parser.Run();
  } catch (const ParseError& e) {
    *error = std::to_string(e.line) + ": " + e.message;
    return false;
  }
  return true;
}

bool BuildTable(const Script& script, std::string* table, std::string* error) {
  const std::size_t count = script.resources.size();
  std::string strings;
  std::map<std::string, std::uint32_t> placed;
  const std::size_t stringsAt = kResourceHeaderSize + count * kResourceEntrySize;
  auto keyOf = [&](const ResourceKey& key) -> std::uint32_t {
    if (!key.named) return key.id;
    auto it = placed.find(key.name);
    if (it != placed.end()) return it->second;
    const auto at = static_cast<std::uint32_t>(stringsAt + strings.size()) | kNamedKey;
    strings += key.name;
    strings.push_back('\0');
    placed.emplace(key.name, at);
    return at;
  };
  std::vector<std::uint32_t> types(count), names(count);
  for (std::size_t i = 0; i < count; ++i) {
    types[i] = keyOf(script.resources[i].type);
    names[i] = keyOf(script.resources[i].name);
  }
  std::size_t total = stringsAt + strings.size();
  for (const Resource& r : script.resources) total += r.bytes.size() + 1;
  if (total >= kNamedKey) {
    *error = "resource table larger than 2 GiB";
    return false;
  }
  std::string out(stringsAt, '\0');
  Put32(&out, 0, kResourceMagic);
  Put32(&out, 4, kResourceVersion);
  Put32(&out, 8, static_cast<std::uint32_t>(total));
  Put32(&out, 12, static_cast<std::uint32_t>(count));
  out += strings;
  for (std::size_t i = 0; i < count; ++i) {
    const Resource& r = script.resources[i];
    const std::size_t e = kResourceHeaderSize + i * kResourceEntrySize;
    Put32(&out, e, types[i]);
    Put32(&out, e + 4, names[i]);
    Put32(&out, e + 8, r.language);
    Put32(&out, e + 12, static_cast<std::uint32_t>(out.size()));
    Put32(&out, e + 16, static_cast<std::uint32_t>(r.bytes.size()));
    out += r.bytes;
    out.push_back('\0');
  }
  *table = std::move(out);
  return true;
}

}  // namespace vantrel::win::rc
