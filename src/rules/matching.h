// Building blocks shared by the pattern operations and the rule engine.
#pragma once

#include <string>
#include <string_view>

namespace oskra::detail {

// The anchored glob of `wildcard_match` over texts that are already lower-
// cased code points: "*" is any run and "?" exactly one character, neither
// ever matching "\". Since nothing but a backslash matches a backslash, both
// sides split into the same number of backslash-separated segments, and
// each segment pair is matched with the linear greedy glob that backtracks
// only to the latest star. O(len(pattern) * len(text)) time, constant stack.
bool match_code_points(std::u32string_view pattern, std::u32string_view text);

// Equality where the bytes "A" to "Z" equal "a" to "z"; every other byte must
// be identical.
bool ascii_iequal(std::string_view a, std::string_view b);

// The lower-cased code points of a text (see unicode::append_lower_full).
std::u32string lower_code_points(std::string_view text);

}  // namespace oskra::detail
