// Reading rules.json: strict RFC 8259 JSON, an array of rule rows, all or
// nothing. Read by hand in one pass over the text, with no document tree and
// no copy of the text: only the strings that are kept (a row's texts and
// the member names of the objects open at the moment) are decoded, and the
// value of an ignored member is gone through at any depth with one bit per
// open level. Loading therefore takes memory linear in the file's size,
// whatever its shape.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rules/compiled_pattern.h"
#include "rules/rules.h"
#include "text/unicode.h"

namespace oskra {
namespace {

// The member names of the objects open at the moment, to refuse a name that
// occurs twice in one object. Names are kept one after the other in one
// buffer, each after its length; an object's names are compared when it
// closes, by sorting them in place, and then dropped.
class OpenObjectNames {
 public:
  void open() { named_.push_back(false); }

  // Keeps `name` as a name of the innermost open object and returns the kept copy.
  std::string_view add(std::string_view name) {
    const auto start = static_cast<std::uint32_t>(names_.size());
    starts_.push_back(named_.back() ? start : start | FIRST);
    named_.back() = true;
    for (std::size_t n = name.size(); true; n >>= 7) {
      names_.push_back(static_cast<char>(n < 0x80 ? n : (n & 0x7F) | 0x80));
      if (n < 0x80) break;
    }
    names_.append(name);
    return std::string_view(names_).substr(names_.size() - name.size());
  }

  // Closes the innermost object. False when two of its names are equal.
  bool close() {
    const bool named = named_.back();
    named_.pop_back();
    if (!named) return true;
    auto first = starts_.end();
    do {
      --first;
    } while ((*first & FIRST) == 0);
    *first &= ~FIRST;
    const std::uint32_t drop_from = *first;
    std::sort(first, starts_.end(),
              [this](std::uint32_t a, std::uint32_t b) { return name(a) < name(b); });
    const bool distinct =
        std::adjacent_find(first, starts_.end(), [this](std::uint32_t a, std::uint32_t b) {
          return name(a) == name(b);
        }) == starts_.end();
    starts_.erase(first, starts_.end());
    names_.resize(drop_from);
    return distinct;
  }

 private:
  // Marks an object's first name in `starts_`.
  static constexpr std::uint32_t FIRST = 0x80000000;

  std::string_view name(std::uint32_t start) const {
    std::size_t size = 0;
    std::size_t at = start;
    for (unsigned shift = 0; true; shift += 7) {
      const auto byte = static_cast<unsigned char>(names_[at++]);
      size |= static_cast<std::size_t>(byte & 0x7F) << shift;
      if (byte < 0x80) break;
    }
    return std::string_view(names_).substr(at, size);
  }

  std::string names_;
  std::vector<std::uint32_t> starts_;  // in `names_`, in the order the names came
  std::vector<bool> named_;            // one per open object: whether it has a name yet
};

// What a member of an object row fills.
enum class Field : std::uint8_t { ignored, pattern, state, reason, action };

using detail::RuleText;

constexpr unsigned bit(Field field) { return 1u << static_cast<unsigned>(field); }
constexpr unsigned ALL_FIELDS =
    bit(Field::pattern) | bit(Field::state) | bit(Field::reason) | bit(Field::action);

// Member names are compared exactly: "Pattern" is just an unknown member.
Field field_named(std::string_view name) {
  if (name == "pattern") return Field::pattern;
  if (name == "state") return Field::state;
  if (name == "reason") return Field::reason;
  if (name == "action") return Field::action;
  return Field::ignored;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Rows read into a list of rules, each text in its own string.
class RuleList {
 public:
  void begin_row() { rules.emplace_back(); }
  std::string& text(RuleText which) {
    Rule& r = rules.back();
    std::string& out = which == RuleText::pattern  ? r.pattern
                       : which == RuleText::reason ? r.reason
                                                   : r.action;
    out.clear();  // a member given twice: the row is refused anyway
    return out;
  }
  void state(State state) { rules.back().state = state; }
  void end_row() {}

  std::vector<Rule> rules;
};

// One pass over a text already known to be valid UTF-8 without NUL bytes:
// NUL stands for the end of the text. Rows go to a `Rows`: RuleList, or
// detail::RulesBuilder, which compiles them as they come. It is told
// `begin_row`, each text (decoded by appending to the string it gives) and
// the state in the order the row has them, then `end_row` once the row is
// known to be good.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  template <class Rows>
  bool rules(Rows& rows) {
    blanks();
    if (!take('[')) return false;
    blanks();
    if (!take(']')) {
      do {
        blanks();
        if (!row(rows)) return false;
        blanks();
      } while (take(','));
      if (!take(']')) return false;
    }
    // Only blanks may follow the array.
    blanks();
    return at_ == text_.size();
  }

 private:
  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

  bool take(char c) {
    if (peek() != c) return false;
    ++at_;
    return true;
  }

  // Space, tab, line feed and carriage return: JSON's only blanks.
  void blanks() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++at_;
    }
  }

  bool word(std::string_view w) {
    if (text_.substr(at_, w.size()) != w) return false;
    at_ += w.size();
    return true;
  }

  // The RFC 8259 number grammar. No number is ever used, so its value is
  // never computed: 1e400 is as good as 0.
  bool number() {
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

  bool digits() {
    const std::size_t start = at_;
    while (is_digit(peek())) ++at_;
    return at_ > start;
  }

  // Four hexadecimal digits after "\u".
  bool code_unit(char32_t& unit) {
    if (text_.size() - at_ < 4) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int v = hex_value(text_[at_++]);
      if (v < 0) return false;
      unit = unit << 4 | static_cast<char32_t>(v);
    }
    return true;
  }

  // A string, at its opening quote. Its decoded text is appended to `out`
  // when there is one; otherwise it is only checked.
  bool string(std::string* out) {
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
      if (c != '\\') return false;  // a control character, or the end
      char plain = 0;
      switch (peek()) {
        case '"':
        case '\\':
        case '/':
          plain = peek();
          break;
        case 'b':
          plain = '\b';
          break;
        case 'f':
          plain = '\f';
          break;
        case 'n':
          plain = '\n';
          break;
        case 'r':
          plain = '\r';
          break;
        case 't':
          plain = '\t';
          break;
        case 'u':
          break;
        default:
          return false;
      }
      ++at_;
      if (plain != 0) {
        if (out != nullptr) out->push_back(plain);
        continue;
      }
      char32_t unit = 0;
      if (!code_unit(unit)) return false;
      // A surrogate is valid only as the first half of a pair followed by
      // its second half.
      if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        char32_t low = 0;
        if (!word("\\u") || !code_unit(low) || low < 0xDC00 || low > 0xDFFF) return false;
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      }
      if (out != nullptr) unicode::append_utf8(unit, *out);
    }
  }

  // A member's name and its colon; the name is kept among its object's.
  bool member_name(std::string_view& name) {
    blanks();
    decoded_.clear();
    if (!string(&decoded_)) return false;
    name = objects_.add(decoded_);
    blanks();
    return take(':');
  }

  // Any value, nested to any depth: only whether each open level is an
  // object is kept.
  bool skip_value() {
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

  // "red" or "green", or {"red": null} or {"green": null}.
  bool state(State& state) {
    blanks();
    decoded_.clear();
    if (peek() == '"') {
      if (!string(&decoded_)) return false;
    } else {
      if (!take('{')) return false;
      blanks();
      if (!string(&decoded_)) return false;
      blanks();
      if (!take(':')) return false;
      blanks();
      if (!word("null")) return false;
      blanks();
      if (!take('}')) return false;  // one member only
    }
    if (decoded_ == "red") {
      state = State::red;
    } else if (decoded_ == "green") {
      state = State::green;
    } else {
      return false;
    }
    return true;
  }

  template <class Rows>
  bool text_value(Rows& rows, RuleText which) {
    blanks();
    return string(&rows.text(which));
  }

  template <class Rows>
  bool state_value(Rows& rows) {
    State s = State::red;
    if (!state(s)) return false;
    rows.state(s);
    return true;
  }

  template <class Rows>
  bool row(Rows& rows) {
    rows.begin_row();
    if (take('[')) {
      // pattern, state, reason, action
      if (!text_value(rows, RuleText::pattern)) return false;
      blanks();
      if (!take(',') || !state_value(rows)) return false;
      blanks();
      if (!take(',') || !text_value(rows, RuleText::reason)) return false;
      blanks();
      if (!take(',') || !text_value(rows, RuleText::action)) return false;
      blanks();
      if (!take(']')) return false;
      rows.end_row();
      return true;
    }
    if (!take('{')) return false;
    objects_.open();
    unsigned have = 0;
    blanks();
    if (!take('}')) {
      do {
        std::string_view name;
        if (!member_name(name)) return false;
        const Field field = field_named(name);
        have |= bit(field);
        bool ok = false;
        switch (field) {
          case Field::pattern:
            ok = text_value(rows, RuleText::pattern);
            break;
          case Field::state:
            ok = state_value(rows);
            break;
          case Field::reason:
            ok = text_value(rows, RuleText::reason);
            break;
          case Field::action:
            ok = text_value(rows, RuleText::action);
            break;
          case Field::ignored:
            ok = skip_value();
            break;
        }
        if (!ok) return false;
        blanks();
      } while (take(','));
      if (!take('}')) return false;
    }
    if (!objects_.close() || (have & ALL_FIELDS) != ALL_FIELDS) return false;
    rows.end_row();
    return true;
  }

  std::string_view text_;
  std::size_t at_ = 0;
  OpenObjectNames objects_;
  std::vector<bool> open_levels_;
  std::string decoded_;
};

// The checks of the whole text before it is read: a rules file is read
// only up to 16 MiB, and far beyond that the offsets the reader keeps would
// not hold.
bool readable(std::string_view text) {
  return text.size() < 0x80000000 && !text.starts_with("\xEF\xBB\xBF") &&
         text.find('\0') == std::string_view::npos && unicode::is_valid_utf8(text);
}

}  // namespace

std::optional<std::vector<Rule>> RuleEngine::parse_rules_json(std::string_view text) {
  if (!readable(text)) return std::nullopt;
  try {
    RuleList list;
    if (!Reader(text).rules(list)) return std::nullopt;
    return std::move(list.rules);
  } catch (const std::exception&) {
    // Only running out of memory can get here; a rules file is never worth
    // more than the built-in rules alone.
    return std::nullopt;
  }
}

namespace detail {

bool read_rules_json(std::string_view text, RulesBuilder& builder) {
  if (!readable(text)) return false;
  // Decoded texts are never longer than their JSON form, and a row's
  // header hardly ever takes more than the punctuation around its texts,
  // so this is room enough for every row.
  builder.reserve(text.size() + 64);
  return Reader(text).rules(builder);
}

}  // namespace detail
}  // namespace oskra
