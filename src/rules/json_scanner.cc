#include "rules/json_scanner.h"

#include "text/unicode.h"
#include "text/utf16.h"

namespace oskra::detail {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// What a one-character escape stands for; 0 for "\u" and for none.
char plain_escape(char c) {
  switch (c) {
    case '"':
    case '\\':
    case '/':
      return c;
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return 0;
  }
}

}  // namespace

void JsonScanner::blanks() {
  while (at_ < text_.size()) {
    const char c = text_[at_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    ++at_;
  }
}

bool JsonScanner::word(std::string_view w) {
  if (text_.substr(at_, w.size()) != w) return false;
  at_ += w.size();
  return true;
}

bool JsonScanner::number() {
  take('-');
  if (!take('0')) {
    if (peek() < '1' || peek() > '9') return false;
    digits();
  }
  if (take('.') && !digits()) return false;
  if (take('e') || take('E')) {
    if (!take('+')) take('-');
    if (!digits()) return false;
  }
  return true;
}

bool JsonScanner::digits() {
  const std::size_t start = at_;
  while (is_digit(peek())) ++at_;
  return at_ > start;
}

bool JsonScanner::code_unit(char32_t& unit) {
  if (text_.size() - at_ < 4) return false;
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int v = hex_value(text_[at_++]);
    if (v < 0) return false;
    unit = unit << 4 | static_cast<char32_t>(v);
  }
  return true;
}

bool JsonScanner::string(std::string* out) {
  if (!take('"')) return false;
  while (true) {
    const std::size_t run = at_;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++at_;
    }
    if (out != nullptr) out->append(text_.substr(run, at_ - run));
    const char c = peek();
    ++at_;
    if (c == '"') return true;
    if (c != '\\' || !escape(out)) return false;  // a control character, or the end
  }
}

bool JsonScanner::escape(std::string* out) {
  const char plain = plain_escape(peek());
  if (plain == 0 && peek() != 'u') return false;
  ++at_;
  if (plain != 0) {
    if (out != nullptr) out->push_back(plain);
    return true;
  }
  char32_t unit = 0;
  if (!code_unit(unit)) return false;
  // A surrogate is valid only as the first half of a pair followed by its
  // second half.
  if (unicode::is_low_surrogate(unit)) return false;
  if (unicode::is_high_surrogate(unit)) {
    char32_t low = 0;
    if (!word("\\u") || !code_unit(low) || !unicode::is_low_surrogate(low)) return false;
    unit = unicode::from_surrogates(unit, low);
  }
  if (out != nullptr) unicode::append_utf8(unit, *out);
  return true;
}

bool JsonScanner::member_name(std::string_view& name) {
  blanks();
  name_.clear();
  if (!string(&name_)) return false;
  name = objects_.add(name_);
  blanks();
  return take(':');
}

bool JsonScanner::skip_value() {
  std::vector<bool>& open = open_levels_;
  open.clear();
  while (true) {
    // A value, or the opening of a container and its first value.
    blanks();
    const char c = peek();
    bool done = true;
    if (c == '{' || c == '[') {
      ++at_;
      const bool object = c == '{';
      if (object) objects_.open();
      blanks();
      if (take(object ? '}' : ']')) {
        if (object && !objects_.close()) return false;
      } else {
        std::string_view name;
        if (object && !member_name(name)) return false;
        open.push_back(object);
        done = false;
      }
    } else if (c == '"') {
      if (!string(nullptr)) return false;
    } else if (c == '-' || is_digit(c)) {
      if (!number()) return false;
    } else if (!word("true") && !word("false") && !word("null")) {
      return false;
    }
    if (!done) continue;
    // After a value: the next one in its container, or the container's end.
    while (true) {
      if (open.empty()) return true;
      blanks();
      const bool object = open.back();
      if (take(',')) {
        std::string_view name;
        if (object && !member_name(name)) return false;
        break;
      }
      if (!take(object ? '}' : ']')) return false;
      open.pop_back();
      if (object && !objects_.close()) return false;
    }
  }
}

}  // namespace oskra::detail
