#include "proxy_status.h"

#include <cstddef>

namespace bvhttptools {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLowerAlpha(char c) { return c >= 'a' && c <= 'z'; }
bool IsAlpha(char c) { return IsLowerAlpha(c) || (c >= 'A' && c <= 'Z'); }
bool IsLowerHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

// A token character of HTTP, or ':' and '/' which a structured token adds.
bool IsTokenChar(char c) {
  static const std::string kExtra = "!#$%&'*+-.^_`|~:/";
  return IsAlpha(c) || IsDigit(c) || (c != '\0' && kExtra.find(c) != std::string::npos);
}

// Walks a structured-field list; every reader returns false on a byte the
// grammar does not allow there, and never reads past the end.
class ListReader {
 public:
  explicit ListReader(const std::string& text) : text_(text) {}

  // Whether the whole text is a list, and `*found` whether one member (not
  // an item inside an inner list) carries the parameter `key`.
  bool Read(const std::string& key, bool* found) {
    *found = false;
    SkipBlanks(true);
    if (AtEnd()) return true;  // an empty list
    for (;;) {
      if (!Member(key, found)) return false;
      SkipBlanks(true);
      if (AtEnd()) return true;
      if (!Take(',')) return false;
      SkipBlanks(true);
      if (AtEnd()) return false;  // a trailing comma
    }
  }

 private:
  bool AtEnd() const { return at_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[at_]; }
  bool Take(char c) {
    if (Peek() != c || AtEnd()) return false;
    ++at_;
    return true;
  }
  // Spaces, and tabs too where the list allows any white space.
  void SkipBlanks(bool tabs) {
    while (!AtEnd() && (text_[at_] == ' ' || (tabs && text_[at_] == '\t'))) ++at_;
  }
  bool TakeHex() {
    if (!IsLowerHex(Peek())) return false;
    ++at_;
    return true;
  }
  // Consumes characters while `accept` holds; how many were consumed.
  template <typename Accept>
  std::size_t TakeWhile(Accept accept) {
    const std::size_t start = at_;
    while (!AtEnd() && accept(text_[at_])) ++at_;
    return at_ - start;
  }

  bool Member(const std::string& key, bool* found) {
    if (Peek() == '(' ? !InnerList() : !BareItem()) return false;
    bool has = false;
    if (!Parameters(key, &has)) return false;
    *found = *found || has;
    return true;
  }

  bool InnerList() {
    Take('(');
    for (;;) {
      SkipBlanks(false);
      if (Take(')')) return true;
      bool ignored = false;
      if (!BareItem() || !Parameters("", &ignored)) return false;
      if (Peek() != ' ' && Peek() != ')') return false;
    }
  }

  bool Parameters(const std::string& wanted, bool* found) {
    while (Take(';')) {
      SkipBlanks(false);
      const std::size_t start = at_;
      if (!IsLowerAlpha(Peek()) && Peek() != '*') return false;
      TakeWhile([](char c) { return IsLowerAlpha(c) || IsDigit(c) || c == '_' || c == '-' || c == '.' || c == '*'; });
      if (text_.compare(start, at_ - start, wanted) == 0 && !wanted.empty()) *found = true;
      if (Take('=') && !BareItem()) return false;
    }
    return true;
  }

  bool BareItem() {
    const char c = Peek();
    if (c == '-' || IsDigit(c)) return Number();
    if (c == '"') return String('\\');
    if (c == '*' || IsAlpha(c)) return TakeWhile(IsTokenChar) > 0;
    if (Take(':')) {
      TakeWhile([](char b) { return IsAlpha(b) || IsDigit(b) || b == '+' || b == '/' || b == '='; });
      return Take(':');
    }
    if (Take('?')) return Take('0') || Take('1');
    if (Take('@')) return Number();     // a date
    if (Take('%')) return String('%');  // a display string
    return false;
  }

  // An integer of up to 15 digits, or a decimal of up to 12 and 3.
  bool Number() {
    Take('-');
    const std::size_t whole = TakeWhile(IsDigit);
    if (whole == 0) return false;
    if (!Take('.')) return whole <= 15;
    const std::size_t fraction = TakeWhile(IsDigit);
    return whole <= 12 && fraction >= 1 && fraction <= 3;
  }

  // A quoted string of printable ASCII; `escape` is '\\' (before '"' or
  // '\\') or, in a display string, '%' (before two lowercase hex digits).
  bool String(char escape) {
    if (!Take('"')) return false;
    for (;;) {
      if (AtEnd()) return false;
      const char c = text_[at_++];
      if (c == '"') return true;
      if (c < 0x20 || c > 0x7e || (escape == '%' && c == '\\')) return false;
      if (c != escape) continue;
      if (escape == '\\' && !(Take('"') || Take('\\'))) return false;
      if (escape == '%' && !(TakeHex() && TakeHex())) return false;
    }
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

}  // namespace

bool ProxyStatusHasError(const std::string& value) {
  bool found = false;
  return ListReader(value).Read("error", &found) && found;
}

}  // namespace bvhttptools
