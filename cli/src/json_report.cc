#include "json_report.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace oskra {
namespace {

// Where escaped text goes: a string in memory or the streaming writer.
struct StringOut {
  std::string& text;
  void put(std::string_view bytes) { text.append(bytes); }
  void put(char c) { text.push_back(c); }
};

// Whether any of eight bytes is below 0x20, '"' or '\\'. Each test is the
// classic word-at-a-time one: a byte below n (n <= 0x80) leaves its high bit
// set in (x - n per byte) & ~x, and a byte equal to b is a zero byte of
// x ^ b per byte. Exact about "any", which is all that is asked.
bool any_to_escape(std::uint64_t x) {
  constexpr std::uint64_t ONES = 0x0101010101010101;
  constexpr std::uint64_t HIGHS = 0x8080808080808080;
  const auto any_below = [](std::uint64_t v, std::uint64_t n) {
    return (v - ONES * n) & ~v & HIGHS;
  };
  return (any_below(x, 0x20) | any_below(x ^ (ONES * '"'), 1) | any_below(x ^ (ONES * '\\'), 1)) !=
         0;
}

// Only '"', '\\' and characters below U+0020 are escaped; everything else,
// "/", U+007F and every byte of non-ASCII text included, passes unchanged.
// Runs of plain bytes are handed on in one piece. Names and paths are
// mostly plain, so they are scanned eight bytes at a time.
template <typename Out>
void put_json_string(Out& out, std::string_view text) {
  static constexpr std::string_view HEX = "0123456789abcdef";
  out.put('"');
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    while (i + 8 <= text.size()) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if (any_to_escape(word)) break;
      i += 8;
    }
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.put(text.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"':
        out.put("\\\"");
        break;
      case '\\':
        out.put("\\\\");
        break;
      case '\b':
        out.put("\\b");
        break;
      case '\t':
        out.put("\\t");
        break;
      case '\n':
        out.put("\\n");
        break;
      case '\f':
        out.put("\\f");
        break;
      case '\r':
        out.put("\\r");
        break;
      default: {
        const std::array<char, 6> escape = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 0x0F]};
        out.put(std::string_view(escape.data(), escape.size()));
        break;
      }
    }
  }
  out.put(text.substr(run));
  out.put('"');
}

// The pretty printer's state: only the depth of the line an object opened
// on is needed to place its members and its closing brace.
class JsonOut {
 public:
  explicit JsonOut(Writer& out) : out_(out) {}

  void indent(std::size_t depth) {
    // Deep trees indent by tens of kilobytes; hand them on in large pieces.
    static constexpr std::array<char, 1024> SPACES = [] {
      std::array<char, 1024> spaces{};
      spaces.fill(' ');
      return spaces;
    }();
    std::size_t n = depth * 2;
    while (n > 0) {
      const std::size_t piece = n < SPACES.size() ? n : SPACES.size();
      out_.put(std::string_view(SPACES.data(), piece));
      n -= piece;
    }
  }

  // ",\n" or "\n", the member's indent, the key and ": ". Member names are
  // this file's own plain ASCII words: nothing in them needs escaping.
  void key(std::size_t depth, bool first, std::string_view name) {
    out_.put(first ? "\n" : ",\n");
    indent(depth + 1);
    out_.put('"');
    out_.put(name);
    out_.put("\": ");
  }

  void string_member(std::size_t depth, bool first, std::string_view name, std::string_view value) {
    key(depth, first, name);
    put_json_string(out_, value);
  }

  void integer_member(std::size_t depth, bool first, std::string_view name, std::uint64_t value) {
    key(depth, first, name);
    std::array<char, 24> buf{};
    const auto result = std::to_chars(buf.data(), buf.data() + buf.size(), value);
    out_.put(std::string_view(buf.data(), static_cast<std::size_t>(result.ptr - buf.data())));
  }

  void close(std::size_t depth, char bracket) {
    out_.put('\n');
    indent(depth);
    out_.put(bracket);
  }

  // A mark opens on its key's line, so its members sit at depth + 2.
  void mark(std::size_t depth, const Mark& m) {
    key(depth, false, "mark");
    out_.put('{');
    const std::size_t d = depth + 1;
    string_member(d, true, "state", to_string(m.state));
    string_member(d, false, "pattern", m.pattern);
    string_member(d, false, "source", m.source);
    string_member(d, false, "reason", m.reason);
    string_member(d, false, "action", m.action);
    close(d, '}');
  }

  // Everything of a node up to its children: "{", the plain members and the
  // mark. `depth` is the depth of the line the node opens on.
  void node_head(std::size_t depth, const Node& node) {
    out_.put('{');
    string_member(depth, true, "name", node.name);
    string_member(depth, false, "path", node.path);
    integer_member(depth, false, "bytes", node.bytes);
    integer_member(depth, false, "files", node.files);
    integer_member(depth, false, "dirs", node.dirs);
    if (node.mark) mark(depth, *node.mark);
  }

  // A whole node tree. Trees can be tens of thousands of levels deep, so the
  // walk keeps its own stack instead of recursing; the stack holds one small
  // frame per open level and nothing is copied.
  void tree(std::size_t depth, const Node& root) {
    struct Frame {
      const Node* node;
      std::size_t depth;     // of the line the node opened on
      std::size_t next = 0;  // index of the next child to write
    };
    std::vector<Frame> stack;
    const auto open = [&](const Node& node, std::size_t d) {
      node_head(d, node);
      if (node.children.empty()) {
        close(d, '}');
      } else {
        key(d, false, "children");
        out_.put('[');
        stack.push_back(Frame{&node, d});
      }
    };
    open(root, depth);
    while (!stack.empty()) {
      Frame& top = stack.back();
      const std::vector<Node>& children = top.node->children;
      if (top.next == children.size()) {
        // Close the "children" array (one level in) and then the node.
        close(top.depth + 1, ']');
        close(top.depth, '}');
        stack.pop_back();
        continue;
      }
      const Node& child = children[top.next];
      const std::size_t child_depth = top.depth + 2;
      out_.put(top.next == 0 ? "\n" : ",\n");
      indent(child_depth);
      ++top.next;
      open(child, child_depth);  // may grow the stack; `top` is not used after
    }
  }

 private:
  Writer& out_;
};

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  StringOut sink{out};
  put_json_string(sink, text);
}

void write_json_report(const Report& report, Writer& out) {
  JsonOut json(out);
  out.put('{');
  json.string_member(0, true, "tool", report.tool);
  json.string_member(0, false, "version", report.version);
  json.string_member(0, false, "path", report.path);
  json.integer_member(0, false, "total_bytes", report.total_bytes);
  json.integer_member(0, false, "files", report.files);
  json.integer_member(0, false, "dirs", report.dirs);
  json.integer_member(0, false, "denied", report.denied);
  json.integer_member(0, false, "elapsed_ms", report.elapsed_ms);
  json.key(0, false, "tree");
  json.tree(1, report.tree);
  json.key(0, false, "greens");
  if (report.greens.empty()) {
    out.put("[]");
  } else {
    out.put('[');
    bool first = true;
    for (const Node& green : report.greens) {
      out.put(first ? "\n" : ",\n");
      json.indent(2);
      json.tree(2, green);
      first = false;
    }
    json.close(1, ']');
  }
  out.put("\n}\n");
}

}  // namespace oskra
