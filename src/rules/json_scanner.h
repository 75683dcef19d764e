// Strict RFC 8259 JSON, read by hand in one pass over a text with no
// document tree: the pieces a reader of one particular document is built
// from. Only what the caller keeps is decoded; a value it ignores is gone
// through at any depth with one bit per open level, and the member names of
// the objects open at the moment are kept to refuse a name given twice.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rules/varint.h"

namespace oskra::detail {

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
    detail::put_varint(names_, name.size());
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
    const char* at = names_.data() + start;
    const std::size_t size = detail::get_varint(at);
    return {at, size};
  }

  std::string names_;
  std::vector<std::uint32_t> starts_;  // in `names_`, in the order the names came
  std::vector<bool> named_;            // one per open object: whether it has a name yet
};

// One pass over a text already known to be valid UTF-8 without NUL bytes:
// NUL stands for the end of the text.
class JsonScanner {
 public:
  explicit JsonScanner(std::string_view text) : text_(text) {}

  char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
  bool at_end() const { return at_ == text_.size(); }
  bool take(char c) {
    if (peek() != c) return false;
    ++at_;
    return true;
  }
  // Space, tab, line feed and carriage return: JSON's only blanks.
  void blanks();
  bool word(std::string_view w);
  // The RFC 8259 number grammar. No number is ever used, so its value is
  // never computed: 1e400 is as good as 0.
  bool number();
  // A string, at its opening quote. Its decoded text is appended to `out`
  // when there is one; otherwise it is only checked.
  bool string(std::string* out);
  // An object's "{" was taken: its member names are kept from now on.
  void open_object() { objects_.open(); }
  // Its "}" was taken. False when two of its members have the same name.
  bool close_object() { return objects_.close(); }
  // A member's name and its colon; the name is kept among its object's.
  bool member_name(std::string_view& name);
  // Any value, nested to any depth: only whether each open level is an
  // object is kept.
  bool skip_value();

 private:
  bool digits();
  // Four hexadecimal digits after "\u".
  bool code_unit(char32_t& unit);
  // What follows a backslash in a string, appended to `out` if there is one.
  bool escape(std::string* out);

  std::string_view text_;
  std::size_t at_ = 0;
  OpenObjectNames objects_;
  std::vector<bool> open_levels_;
  std::string name_;  // the member name being read
};

}  // namespace oskra::detail
