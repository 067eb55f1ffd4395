#include "platform/win/DialogTemplate.h"

#include <cctype>
#include <cstdlib>
#include <utility>

#include "platform/win/CommCtrl.h"
#include "platform/win/Dialog.h"
#include "platform/win/Menu.h"

namespace vantrel::win {
namespace {

struct NamedValue {
  const char* name;
  DWORD value;
};

// The published names a script may use for styles and identifiers.
constexpr NamedValue kNames[] = {
    {"WS_OVERLAPPED", WS_OVERLAPPED}, {"WS_POPUP", WS_POPUP}, {"WS_CHILD", WS_CHILD},
    {"WS_MINIMIZE", WS_MINIMIZE}, {"WS_VISIBLE", WS_VISIBLE}, {"WS_DISABLED", WS_DISABLED},
    {"WS_CAPTION", WS_CAPTION}, {"WS_BORDER", WS_BORDER}, {"WS_DLGFRAME", WS_DLGFRAME},
    {"WS_VSCROLL", WS_VSCROLL}, {"WS_HSCROLL", WS_HSCROLL}, {"WS_SYSMENU", WS_SYSMENU},
    {"WS_GROUP", WS_GROUP}, {"WS_TABSTOP", WS_TABSTOP}, {"WS_OVERLAPPEDWINDOW", WS_OVERLAPPEDWINDOW},
    {"WS_EX_CLIENTEDGE", WS_EX_CLIENTEDGE},
    {"DS_SETFONT", DS_SETFONT}, {"DS_MODALFRAME", DS_MODALFRAME}, {"DS_FIXEDSYS", DS_FIXEDSYS},
    {"DS_SHELLFONT", DS_SHELLFONT}, {"DS_CONTROL", DS_CONTROL}, {"DS_CENTER", DS_CENTER},
    {"SS_LEFT", SS_LEFT}, {"SS_CENTER", SS_CENTER}, {"SS_RIGHT", SS_RIGHT}, {"SS_NOPREFIX", SS_NOPREFIX},
    {"ES_LEFT", ES_LEFT}, {"ES_MULTILINE", ES_MULTILINE}, {"ES_UPPERCASE", ES_UPPERCASE},
    {"ES_LOWERCASE", ES_LOWERCASE}, {"ES_PASSWORD", ES_PASSWORD}, {"ES_AUTOVSCROLL", ES_AUTOVSCROLL},
    {"ES_AUTOHSCROLL", ES_AUTOHSCROLL}, {"ES_READONLY", ES_READONLY}, {"ES_WANTRETURN", ES_WANTRETURN},
    {"ES_NUMBER", ES_NUMBER},
    {"BS_PUSHBUTTON", BS_PUSHBUTTON}, {"BS_DEFPUSHBUTTON", BS_DEFPUSHBUTTON}, {"BS_CHECKBOX", BS_CHECKBOX},
    {"BS_AUTOCHECKBOX", BS_AUTOCHECKBOX}, {"BS_RADIOBUTTON", BS_RADIOBUTTON},
    {"BS_AUTORADIOBUTTON", BS_AUTORADIOBUTTON}, {"BS_GROUPBOX", BS_GROUPBOX},
    {"CBS_SIMPLE", CBS_SIMPLE}, {"CBS_DROPDOWN", CBS_DROPDOWN}, {"CBS_DROPDOWNLIST", CBS_DROPDOWNLIST},
    {"CBS_AUTOHSCROLL", CBS_AUTOHSCROLL}, {"CBS_SORT", CBS_SORT}, {"CBS_HASSTRINGS", CBS_HASSTRINGS},
    {"LBS_NOTIFY", LBS_NOTIFY}, {"LBS_SORT", LBS_SORT}, {"LBS_HASSTRINGS", LBS_HASSTRINGS},
    {"LBS_NOINTEGRALHEIGHT", LBS_NOINTEGRALHEIGHT},
    {"LVS_ICON", LVS_ICON}, {"LVS_REPORT", LVS_REPORT}, {"LVS_SMALLICON", LVS_SMALLICON},
    {"LVS_LIST", LVS_LIST}, {"LVS_SINGLESEL", LVS_SINGLESEL}, {"LVS_SHOWSELALWAYS", LVS_SHOWSELALWAYS},
    {"LVS_SORTASCENDING", LVS_SORTASCENDING}, {"LVS_SORTDESCENDING", LVS_SORTDESCENDING},
    {"LVS_NOCOLUMNHEADER", LVS_NOCOLUMNHEADER}, {"LVS_NOSORTHEADER", LVS_NOSORTHEADER},
    {"TVS_HASBUTTONS", TVS_HASBUTTONS}, {"TVS_HASLINES", TVS_HASLINES}, {"TVS_LINESATROOT", TVS_LINESATROOT},
    {"TVS_EDITLABELS", TVS_EDITLABELS}, {"TVS_DISABLEDRAGDROP", TVS_DISABLEDRAGDROP},
    {"TVS_SHOWSELALWAYS", TVS_SHOWSELALWAYS},
    {"IDOK", static_cast<DWORD>(IDOK)}, {"IDCANCEL", static_cast<DWORD>(IDCANCEL)},
    {"IDABORT", static_cast<DWORD>(IDABORT)}, {"IDRETRY", static_cast<DWORD>(IDRETRY)},
    {"IDIGNORE", static_cast<DWORD>(IDIGNORE)}, {"IDYES", static_cast<DWORD>(IDYES)},
    {"IDNO", static_cast<DWORD>(IDNO)}, {"IDCLOSE", static_cast<DWORD>(IDCLOSE)},
    {"IDHELP", static_cast<DWORD>(IDHELP)}, {"IDC_STATIC", static_cast<DWORD>(-1)},
};

struct Token {
  enum Kind { kEnd, kName, kNumber, kString, kPunct } kind = kEnd;
  std::string text;  // name, string contents or the punctuation character
  long long number = 0;
  int line = 1;
};

// The lexer of resource-script statements: names, numbers (decimal or 0x,
// an L suffix ignored), quoted strings ("" and C escapes), punctuation, and
// // and /* */ comments.
class Lexer {
 public:
  explicit Lexer(std::string_view text) : s_(text) {}

  bool Next(Token* t, std::string* error) {
    SkipSpace();
    t->line = line_;
    t->text.clear();
    t->number = 0;
    if (pos_ >= s_.size()) {
      t->kind = Token::kEnd;
      return true;
    }
    char c = s_[pos_];
    if (c == '"') return String(t, error);
    if (std::isdigit(static_cast<unsigned char>(c)) ||
        (c == '-' && pos_ + 1 < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_ + 1])))) {
      return Number(t, error);
    }
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '#') {
      size_t start = pos_;
      while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_' ||
                                  s_[pos_] == '#')) {
        ++pos_;
      }
      t->kind = Token::kName;
      t->text = std::string(s_.substr(start, pos_ - start));
      return true;
    }
    if (c == ',' || c == '|' || c == '{' || c == '}' || c == '(' || c == ')' || c == '+') {
      t->kind = Token::kPunct;
      t->text = std::string(1, c);
      ++pos_;
      return true;
    }
    *error = "line " + std::to_string(line_) + ": unexpected character '" + std::string(1, c) + "'";
    return false;
  }

 private:
  void SkipSpace() {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        ++pos_;
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
        while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
        pos_ += 2;
        while (pos_ + 1 < s_.size() && !(s_[pos_] == '*' && s_[pos_ + 1] == '/')) {
          if (s_[pos_] == '\n') ++line_;
          ++pos_;
        }
        pos_ = pos_ + 2 <= s_.size() ? pos_ + 2 : s_.size();
      } else {
        break;
      }
    }
  }

  bool String(Token* t, std::string* error) {
    int startLine = line_;
    ++pos_;
    std::string out;
    while (true) {
      if (pos_ >= s_.size()) {
        *error = "line " + std::to_string(startLine) + ": unterminated string";
        return false;
      }
      char c = s_[pos_++];
      if (c == '"') {
        if (pos_ < s_.size() && s_[pos_] == '"') {  // "" is one quote
          out += '"';
          ++pos_;
          continue;
        }
        break;
      }
      if (c == '\n') ++line_;
      if (c == '\\' && pos_ < s_.size()) {
        char e = s_[pos_++];
        switch (e) {
          case 'n': out += '\n'; break;
          case 't': out += '\t'; break;
          case 'r': out += '\r'; break;
          case '0': out += '\0'; break;
          case 'a': out += '\b'; break;  // a mnemonic's right alignment, kept as a control char
          case 'x': {  // \xHH: a byte of the script's code page ("Info \xFCber")
            int value = 0, digits = 0;
            while (digits < 2 && pos_ < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[pos_]))) {
              const char h = s_[pos_++];
              value = value * 16 + (h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
              ++digits;
            }
            if (digits == 0) {
              *error = "line " + std::to_string(line_) + ": \\x without digits";
              return false;
            }
            out += static_cast<char>(value);
            break;
          }
          default: out += e; break;
        }
        continue;
      }
      out += c;
    }
    t->kind = Token::kString;
    t->text = std::move(out);
    return true;
  }

  bool Number(Token* t, std::string* error) {
    size_t start = pos_;
    bool negative = false;
    if (s_[pos_] == '-') {
      negative = true;
      ++pos_;
    }
    unsigned long long v = 0;
    int base = 10;
    if (pos_ + 1 < s_.size() && s_[pos_] == '0' && (s_[pos_ + 1] == 'x' || s_[pos_ + 1] == 'X')) {
      base = 16;
      pos_ += 2;
    }
    size_t digits = 0;
    while (pos_ < s_.size()) {
      int d;
      char c = s_[pos_];
      if (c >= '0' && c <= '9') d = c - '0';
      else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else break;
      v = v * base + static_cast<unsigned>(d);
      if (v > 0xFFFFFFFFull) {
        *error = "line " + std::to_string(line_) + ": number too large: " +
                 std::string(s_.substr(start, pos_ - start + 1));
        return false;
      }
      ++digits;
      ++pos_;
    }
    if (digits == 0) {
      *error = "line " + std::to_string(line_) + ": bad number";
      return false;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'L' || s_[pos_] == 'l' || s_[pos_] == 'U' || s_[pos_] == 'u')) ++pos_;
    t->kind = Token::kNumber;
    t->number = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
    return true;
  }

  std::string_view s_;
  size_t pos_ = 0;
  int line_ = 1;
};

// A recursive-descent reader over the lexer with one token of lookahead.
class Parser {
 public:
  Parser(std::string_view text, std::string* error) : lex_(text), error_(error) { ok_ = lex_.Next(&tok_, error_); }

  bool ok() const { return ok_; }
  const Token& tok() const { return tok_; }

  bool Advance() {
    if (!ok_) return false;
    ok_ = lex_.Next(&tok_, error_);
    return ok_;
  }
  bool Fail(const std::string& what) {
    if (ok_) *error_ = "line " + std::to_string(tok_.line) + ": " + what;
    ok_ = false;
    return false;
  }
  bool IsName(const char* name) const { return tok_.kind == Token::kName && Upper(tok_.text) == name; }
  bool IsPunct(char c) const { return tok_.kind == Token::kPunct && tok_.text[0] == c; }
  bool IsBegin() const { return IsName("BEGIN") || IsPunct('{'); }
  bool IsEnd() const { return IsName("END") || IsPunct('}'); }
  bool Expect(char c) {
    if (!IsPunct(c)) return Fail(std::string("expected '") + c + "'");
    return Advance();
  }
  bool Comma() { return Expect(','); }
  bool SkipComma() { return IsPunct(',') ? Advance() : ok_; }

  bool String(std::string* out) {
    if (tok_.kind != Token::kString) return Fail("expected a string");
    *out = tok_.text;
    return Advance();
  }

  // A number or a known name, optionally in parentheses.
  bool Atom(long long* out, bool* negated) {
    *negated = false;
    if (IsName("NOT")) {
      *negated = true;
      if (!Advance()) return false;
    }
    if (IsPunct('(')) {
      if (!Advance()) return false;
      DWORD v = 0;
      if (!Expression(&v)) return false;
      *out = static_cast<int>(v);
      return Expect(')');
    }
    if (tok_.kind == Token::kNumber) {
      *out = tok_.number;
      return Advance();
    }
    if (tok_.kind == Token::kName) {
      DWORD v = 0;
      if (!StyleValue(tok_.text, &v)) return Fail("unknown name " + tok_.text);
      *out = static_cast<int>(v);
      return Advance();
    }
    return Fail("expected a number or a name");
  }

  // a | b | NOT c ... (+ is taken as |, as scripts use both).
  bool Expression(DWORD* value, DWORD* removed = nullptr) {
    DWORD v = 0;
    while (true) {
      long long atom = 0;
      bool negated = false;
      if (!Atom(&atom, &negated)) return false;
      if (negated) {
        v &= ~static_cast<DWORD>(atom);
        if (removed) *removed |= static_cast<DWORD>(atom);
      } else {
        v |= static_cast<DWORD>(atom);
      }
      if (!IsPunct('|') && !IsPunct('+')) break;
      if (!Advance()) return false;
    }
    *value = v;
    return true;
  }

  bool Int(int* out) {
    DWORD v = 0;
    if (!Expression(&v)) return false;
    *out = static_cast<int>(v);
    return true;
  }

  static std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }

 private:
  Lexer lex_;
  std::string* error_;
  Token tok_;
  bool ok_ = true;
};

struct Keyword {
  const char* name;
  const char* className;
  DWORD style;  // added to WS_CHILD | WS_VISIBLE
  bool hasText;
};

constexpr Keyword kKeywords[] = {
    {"LTEXT", "Static", SS_LEFT | WS_GROUP, true},
    {"RTEXT", "Static", SS_RIGHT | WS_GROUP, true},
    {"CTEXT", "Static", SS_CENTER | WS_GROUP, true},
    {"EDITTEXT", "Edit", ES_LEFT | WS_BORDER | WS_TABSTOP, false},
    {"PUSHBUTTON", "Button", BS_PUSHBUTTON | WS_TABSTOP, true},
    {"DEFPUSHBUTTON", "Button", BS_DEFPUSHBUTTON | WS_TABSTOP, true},
    {"CHECKBOX", "Button", BS_CHECKBOX | WS_TABSTOP, true},
    {"AUTOCHECKBOX", "Button", BS_AUTOCHECKBOX | WS_TABSTOP, true},
    {"RADIOBUTTON", "Button", BS_RADIOBUTTON, true},
    {"AUTORADIOBUTTON", "Button", BS_AUTORADIOBUTTON, true},
    {"GROUPBOX", "Button", BS_GROUPBOX, true},
    {"COMBOBOX", "ComboBox", CBS_SIMPLE | WS_TABSTOP, false},
    {"LISTBOX", "ListBox", LBS_NOTIFY | WS_BORDER, false},
};

// The class of a CONTROL statement: a string, or one of the predefined
// class keywords.
std::string ControlClass(const std::string& name) {
  std::string u = Parser::Upper(name);
  if (u == "BUTTON") return "Button";
  if (u == "EDIT") return "Edit";
  if (u == "STATIC") return "Static";
  if (u == "COMBOBOX") return "ComboBox";
  if (u == "LISTBOX") return "ListBox";
  if (u == "WC_LISTVIEW") return WC_LISTVIEWA;
  if (u == "WC_TREEVIEW") return WC_TREEVIEWA;
  return name;
}

// x, y, cx, cy
bool Rect(Parser& p, int* x, int* y, int* cx, int* cy) {
  return p.Int(x) && p.Comma() && p.Int(y) && p.Comma() && p.Int(cx) && p.Comma() && p.Int(cy);
}

bool Control(Parser& p, ControlTemplate* c) {
  std::string kw = Parser::Upper(p.tok().text);
  if (kw == "CONTROL") {
    // CONTROL "text", id, class, style, x, y, cx, cy [, exstyle]
    if (!p.Advance()) return false;
    if (p.tok().kind == Token::kString) {
      if (!p.String(&c->text)) return false;
    } else {
      long long n = 0;
      bool neg = false;
      if (!p.Atom(&n, &neg)) return false;
      c->text = std::to_string(n);
    }
    if (!p.Comma() || !p.Int(&c->id) || !p.Comma()) return false;
    if (p.tok().kind != Token::kString && p.tok().kind != Token::kName) return p.Fail("expected a class");
    c->className = ControlClass(p.tok().text);
    if (!p.Advance() || !p.Comma()) return false;
    DWORD removed = 0;
    DWORD style = 0;
    if (!p.Expression(&style, &removed)) return false;
    c->style = ((WS_CHILD | WS_VISIBLE) & ~removed) | style;
    if (!p.Comma() || !Rect(p, &c->x, &c->y, &c->cx, &c->cy)) return false;
    if (p.IsPunct(',')) {
      if (!p.Advance() || !p.Expression(&c->exStyle)) return false;
    }
    return true;
  }
  const Keyword* k = nullptr;
  for (const auto& candidate : kKeywords) {
    if (kw == candidate.name) k = &candidate;
  }
  if (!k) return p.Fail("unknown control " + p.tok().text);
  if (!p.Advance()) return false;
  c->className = k->className;
  if (k->hasText) {
    if (!p.String(&c->text) || !p.Comma()) return false;
  }
  if (!p.Int(&c->id) || !p.Comma() || !Rect(p, &c->x, &c->y, &c->cx, &c->cy)) return false;
  DWORD style = 0;
  DWORD removed = 0;
  if (p.IsPunct(',')) {
    if (!p.Advance() || !p.Expression(&style, &removed)) return false;
    if (p.IsPunct(',')) {
      if (!p.Advance() || !p.Expression(&c->exStyle)) return false;
    }
  }
  c->style = ((WS_CHILD | WS_VISIBLE | k->style) & ~removed) | style;
  return true;
}

bool Header(Parser& p, const char* kind, int* id) {
  if (!p.Int(id)) return false;
  if (!p.IsName(kind) && !(std::string(kind) == "DIALOGEX" && p.IsName("DIALOG"))) {
    return p.Fail(std::string("expected ") + kind);
  }
  return p.Advance();
}

bool MenuItems(Parser& p, std::vector<MenuTemplateItem>* items, int depth) {
  if (depth > 16) return p.Fail("menus nested too deep");
  if (!p.IsBegin()) return p.Fail("expected BEGIN");
  if (!p.Advance()) return false;
  while (!p.IsEnd()) {
    if (p.tok().kind == Token::kEnd) return p.Fail("missing END");
    MenuTemplateItem item;
    if (p.IsName("MENUITEM")) {
      if (!p.Advance()) return false;
      if (p.IsName("SEPARATOR")) {
        item.flags = MF_SEPARATOR;
        if (!p.Advance()) return false;
      } else {
        int id = 0;
        if (!p.String(&item.text) || !p.Comma() || !p.Int(&id)) return false;
        item.id = static_cast<UINT>(id);
        while (p.IsPunct(',')) {
          if (!p.Advance()) return false;
          if (p.IsName("GRAYED") || p.IsName("INACTIVE")) item.flags |= MF_GRAYED;
          else if (p.IsName("CHECKED")) item.flags |= MF_CHECKED;
          else return p.Fail("unknown menu option " + p.tok().text);
          if (!p.Advance()) return false;
        }
      }
    } else if (p.IsName("POPUP")) {
      if (!p.Advance() || !p.String(&item.text)) return false;
      item.flags = MF_POPUP;
      while (p.IsPunct(',')) {
        if (!p.Advance()) return false;
        if (p.IsName("GRAYED") || p.IsName("INACTIVE")) item.flags |= MF_GRAYED;
        else if (p.IsName("CHECKED")) item.flags |= MF_CHECKED;
        else return p.Fail("unknown menu option " + p.tok().text);
        if (!p.Advance()) return false;
      }
      if (!MenuItems(p, &item.children, depth + 1)) return false;
    } else {
      return p.Fail("expected MENUITEM or POPUP");
    }
    items->push_back(std::move(item));
  }
  return p.Advance();
}

}  // namespace

bool StyleValue(std::string_view name, DWORD* value) {
  std::string u = Parser::Upper(std::string(name));
  for (const auto& n : kNames) {
    if (u == n.name) {
      *value = n.value;
      return true;
    }
  }
  return false;
}

bool ParseDialogTemplate(std::string_view text, DialogTemplate* out, std::string* error) {
  *out = DialogTemplate{};
  Parser p(text, error);
  if (!p.ok()) return false;
  if (!Header(p, "DIALOGEX", &out->resourceId)) return false;
  if (!Rect(p, &out->x, &out->y, &out->cx, &out->cy)) return false;
  if (p.IsPunct(',')) {  // the help id of DIALOGEX
    int help = 0;
    if (!p.Advance() || !p.Int(&help)) return false;
  }
  bool styled = false;
  while (!p.IsBegin()) {
    if (p.tok().kind == Token::kEnd) return p.Fail("missing BEGIN");
    if (p.IsName("STYLE")) {
      if (!p.Advance() || !p.Expression(&out->style)) return false;
      styled = true;
    } else if (p.IsName("EXSTYLE")) {
      if (!p.Advance() || !p.Expression(&out->exStyle)) return false;
    } else if (p.IsName("CAPTION")) {
      if (!p.Advance() || !p.String(&out->caption)) return false;
    } else if (p.IsName("FONT")) {
      // FONT size, "name" [, weight, italic, charset]
      if (!p.Advance() || !p.Int(&out->fontSize) || !p.Comma() || !p.String(&out->fontName)) return false;
      while (p.IsPunct(',')) {
        int ignored = 0;
        if (!p.Advance() || !p.Int(&ignored)) return false;
      }
    } else if (p.IsName("LANGUAGE")) {
      int a = 0, b = 0;
      if (!p.Advance() || !p.Int(&a)) return false;
      if (p.IsPunct(',') && (!p.Advance() || !p.Int(&b))) return false;
    } else if (p.IsName("MENU") || p.IsName("CLASS")) {
      if (!p.Advance()) return false;
      if (!p.Advance()) return false;  // a name, number or string we do not use
    } else {
      return p.Fail("unexpected " + p.tok().text);
    }
  }
  if (!styled) out->style = WS_POPUP | WS_BORDER | WS_SYSMENU;
  if (!p.Advance()) return false;
  while (!p.IsEnd()) {
    if (p.tok().kind == Token::kEnd) return p.Fail("missing END");
    if (p.tok().kind != Token::kName) return p.Fail("expected a control");
    ControlTemplate c;
    if (!Control(p, &c)) return false;
    out->controls.push_back(std::move(c));
  }
  if (!p.Advance()) return false;
  if (p.tok().kind != Token::kEnd) return p.Fail("text after END");
  return true;
}

bool ParseMenuTemplate(std::string_view text, MenuTemplate* out, std::string* error) {
  *out = MenuTemplate{};
  Parser p(text, error);
  if (!p.ok()) return false;
  if (!Header(p, "MENU", &out->resourceId)) return false;
  if (!MenuItems(p, &out->items, 0)) return false;
  if (p.tok().kind != Token::kEnd) return p.Fail("text after END");
  return true;
}

}  // namespace vantrel::win
