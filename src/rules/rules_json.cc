// Reading rules.json: strict RFC 8259 JSON, an array of rule rows, all or
// nothing. nlohmann/json does the tokenising through its SAX interface, so
// every object member is seen (duplicates included) and no document tree is
// built; the checks it does not make are made here.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rules/rules.h"
#include "text/unicode.h"

namespace oskra {
namespace {

using Json = nlohmann::json;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The RFC 8259 number grammar, whole text.
bool is_json_number(std::string_view s) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    return i > start;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (i < s.size() && s[i] == '0') {
    ++i;
  } else if (i >= s.size() || s[i] < '1' || s[i] > '9' || !digits()) {
    return false;
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == s.size();
}

// nlohmann rejects a well-formed number whose value is beyond a double (such
// as 1e400), which would make an ignored member's value matter. No number
// is ever used, so every well-formed number outside a string becomes a
// plain 0 (padded with blanks to keep positions). Anything that is not a
// well-formed number is left alone for the parser to reject.
std::string neutralise_numbers(std::string_view text) {
  std::string out(text);
  bool in_string = false;
  std::size_t i = 0;
  while (i < out.size()) {
    const char c = out[i];
    if (in_string) {
      if (c == '\\') {
        i += 2;
        continue;
      }
      if (c == '"') in_string = false;
      ++i;
    } else if (c == '"') {
      in_string = true;
      ++i;
    } else if (c == '-' || is_digit(c)) {
      std::size_t end = i;
      while (end < out.size() && (is_digit(out[end]) || out[end] == '-' || out[end] == '+' ||
                                  out[end] == '.' || out[end] == 'e' || out[end] == 'E')) {
        ++end;
      }
      if (is_json_number(std::string_view(out).substr(i, end - i))) {
        out[i] = '0';
        for (std::size_t k = i + 1; k < end; ++k) out[k] = ' ';
      }
      i = end;
    } else {
      ++i;
    }
  }
  return out;
}

// What the next value of an object row fills.
enum class Slot : std::uint8_t { ignored, pattern, state, reason, action };

constexpr unsigned bit(Slot slot) { return 1u << static_cast<unsigned>(slot); }
constexpr unsigned ALL_FIELDS =
    bit(Slot::pattern) | bit(Slot::state) | bit(Slot::reason) | bit(Slot::action);

// Follows the SAX events with a stack of open containers and builds the rows.
// Any event that does not fit the schema stops the parse.
class RulesHandler final : public nlohmann::json_sax<Json> {
 public:
  bool finished() const { return finished_ && stack_.empty(); }
  std::vector<Rule> take_rules() { return std::move(rules_); }

  bool null() override { return scalar(Scalar::null, nullptr); }
  bool boolean(bool) override { return scalar(Scalar::other, nullptr); }
  bool number_integer(number_integer_t) override { return scalar(Scalar::other, nullptr); }
  bool number_unsigned(number_unsigned_t) override { return scalar(Scalar::other, nullptr); }
  bool number_float(number_float_t, const string_t&) override {
    return scalar(Scalar::other, nullptr);
  }
  bool string(string_t& value) override { return scalar(Scalar::string, &value); }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override {
    if (stack_.empty()) return false;  // the top level must be an array
    Frame& top = stack_.back();
    switch (top.kind) {
      case Kind::rules:
        return push(Kind::object_row);
      case Kind::object_row:
        if (top.slot == Slot::ignored) return push(Kind::skipped_object);
        if (top.slot == Slot::state) return push(Kind::state_object);
        return false;
      case Kind::array_row:
        if (top.count != 1) return false;
        ++top.count;
        return push(Kind::state_object);
      case Kind::state_object:
        return false;  // "red" and "green" take null only
      case Kind::skipped_object:
      case Kind::skipped_array:
        return push(Kind::skipped_object);
    }
    return false;
  }

  bool key(string_t& name) override {
    Frame& top = stack_.back();
    // A name may occur only once in any object of the file.
    if (!top.keys.insert(name).second) return false;
    if (top.kind == Kind::object_row) {
      top.slot = slot_for(name);
    } else if (top.kind == Kind::state_object) {
      if (top.count != 0) return false;
      if (name == "red") {
        top.rule.state = State::red;
      } else if (name == "green") {
        top.rule.state = State::green;
      } else {
        return false;
      }
      top.count = 1;
      top.slot = Slot::state;
    }
    return true;
  }

  bool end_object() override {
    Frame done = std::move(stack_.back());
    stack_.pop_back();
    switch (done.kind) {
      case Kind::object_row:
        if (done.have != ALL_FIELDS) return false;
        rules_.push_back(std::move(done.rule));
        return true;
      case Kind::state_object: {
        if (done.count != 1) return false;
        Frame& parent = stack_.back();
        parent.rule.state = done.rule.state;
        if (parent.kind == Kind::object_row) {
          parent.have |= bit(Slot::state);
          parent.slot = Slot::ignored;
        }
        return true;
      }
      case Kind::skipped_object:
        return true;
      default:
        return false;
    }
  }

  bool start_array(std::size_t) override {
    if (stack_.empty()) {
      if (finished_) return false;
      return push(Kind::rules);
    }
    Frame& top = stack_.back();
    switch (top.kind) {
      case Kind::rules:
        return push(Kind::array_row);
      case Kind::object_row:
        return top.slot == Slot::ignored && push(Kind::skipped_array);
      case Kind::skipped_object:
      case Kind::skipped_array:
        return push(Kind::skipped_array);
      default:
        return false;
    }
  }

  bool end_array() override {
    Frame done = std::move(stack_.back());
    stack_.pop_back();
    switch (done.kind) {
      case Kind::rules:
        finished_ = true;
        return true;
      case Kind::array_row:
        if (done.count != 4) return false;
        rules_.push_back(std::move(done.rule));
        return true;
      case Kind::skipped_array:
        return true;
      default:
        return false;
    }
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  enum class Kind : std::uint8_t {
    rules,           // the top-level array
    object_row,      // {"pattern": ..., "state": ..., "reason": ..., "action": ...}
    array_row,       // [pattern, state, reason, action]
    state_object,    // {"red": null} or {"green": null}
    skipped_object,  // inside the value of an ignored member
    skipped_array,
  };
  enum class Scalar : std::uint8_t { null, string, other };

  struct Frame {
    Kind kind;
    std::set<std::string> keys;  // member names seen so far (objects)
    Rule rule;                   // the row being read (rows; the state for state objects)
    unsigned have = 0;           // fields seen (object rows)
    std::size_t count = 0;       // values seen (array rows), members (state objects)
    Slot slot = Slot::ignored;
  };

  // Member names are compared exactly: "Pattern" is just an unknown member.
  static Slot slot_for(std::string_view name) {
    if (name == "pattern") return Slot::pattern;
    if (name == "state") return Slot::state;
    if (name == "reason") return Slot::reason;
    if (name == "action") return Slot::action;
    return Slot::ignored;
  }

  bool push(Kind kind) {
    stack_.push_back(Frame{kind, {}, {}, 0, 0, Slot::ignored});
    return true;
  }

  // Stores a string into the field `slot` names, checking its type.
  static bool fill(Rule& rule, Slot slot, Scalar type, std::string* value) {
    if (type != Scalar::string) return false;
    switch (slot) {
      case Slot::pattern:
        rule.pattern = std::move(*value);
        return true;
      case Slot::reason:
        rule.reason = std::move(*value);
        return true;
      case Slot::action:
        rule.action = std::move(*value);
        return true;
      case Slot::state:
        if (*value == "red") {
          rule.state = State::red;
        } else if (*value == "green") {
          rule.state = State::green;
        } else {
          return false;
        }
        return true;
      case Slot::ignored:
        return true;
    }
    return false;
  }

  bool scalar(Scalar type, std::string* value) {
    if (stack_.empty()) return false;  // the top level must be an array
    Frame& top = stack_.back();
    switch (top.kind) {
      case Kind::rules:
        return false;  // a row is an object or an array
      case Kind::object_row: {
        const Slot slot = top.slot;
        top.slot = Slot::ignored;
        if (slot == Slot::ignored) return true;
        top.have |= bit(slot);
        return fill(top.rule, slot, type, value);
      }
      case Kind::array_row: {
        static constexpr Slot ORDER[] = {Slot::pattern, Slot::state, Slot::reason, Slot::action};
        if (top.count >= 4) return false;
        return fill(top.rule, ORDER[top.count++], type, value);
      }
      case Kind::state_object:
        return type == Scalar::null;
      case Kind::skipped_object:
      case Kind::skipped_array:
        return true;
    }
    return false;
  }

  std::vector<Frame> stack_;
  std::vector<Rule> rules_;
  bool finished_ = false;
};

}  // namespace

std::optional<std::vector<Rule>> RuleEngine::parse_rules_json(std::string_view text) {
  // Checks the parser would not make: it skips a byte-order mark, and it
  // takes a NUL byte for the end of the input.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (!unicode::is_valid_utf8(text)) return std::nullopt;

  try {
    const std::string prepared = neutralise_numbers(text);
    RulesHandler handler;
    // Strict: nothing but blanks, tabs, line feeds and carriage returns may
    // follow the array. Comments are not JSON.
    const bool ok = Json::sax_parse(prepared.begin(), prepared.end(), &handler,
                                    Json::input_format_t::json, /*strict=*/true,
                                    /*ignore_comments=*/false);
    if (!ok || !handler.finished()) return std::nullopt;
    return handler.take_rules();
  } catch (const std::exception&) {
    // Only running out of memory can get here; a rules file is never worth
    // more than the built-in rules alone.
    return std::nullopt;
  }
}

}  // namespace oskra
