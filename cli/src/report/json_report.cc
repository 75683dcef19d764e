#include "report/json_report.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "report/format.h"

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

// Whether any byte of `text` is escaped.
bool needs_escape(std::string_view text) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (any_to_escape(word)) return true;
  }
  for (; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == '"' || c == '\\') return true;
  }
  return false;
}

// Members of JSON objects, each on its own line at its indent.
class Members {
 public:
  explicit Members(Writer& out) : out_(out) {}

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
    out_.put(Decimal(value).text());
  }

  void close(std::size_t depth, char bracket) {
    out_.put('\n');
    indent(depth);
    out_.put(bracket);
  }

 private:
  Writer& out_;
};

// The fixed pieces around a node whose "{" stands on a line of depth d,
// made once per depth, and each verdict's object once per depth: a node of
// the tree is then a handful of copies, its texts and its numbers.
struct Layout {
  std::string open;            // "{", "\n", indent d + 1, "\"name\": \""
  std::string to_path;         // "\",", "\n", indent, "\"path\": \""
  std::string to_bytes;        // "\",", "\n", indent, "\"bytes\": "
  std::string to_files;        // ",", "\n", indent, "\"files\": "
  std::string to_dirs;         // ",", "\n", indent, "\"dirs\": "
  std::string to_children;     // ",", "\n", indent, "\"children\": ["
  std::string close;           // "\n", indent d, "}"
  std::string first_child;     // "\n", indent d + 2
  std::string next_child;      // ",", "\n", indent d + 2
  std::string close_children;  // "\n", indent d + 1, "]", "\n", indent d, "}"
  std::unordered_map<const Mark*, std::string> marks;  // ",\n", "\"mark\": {", ... "}"
};

class Layouts {
 public:
  Layout& at(std::size_t d) {
    if (d >= KEPT_DEPTHS) {
      if (deep_depth_ != d) {
        make(deep_, d);
        deep_depth_ = d;
      }
      return deep_;
    }
    if (kept_.size() <= d) kept_.resize(d + 1);
    Layout& l = kept_[d];
    if (l.open.empty()) make(l, d);
    return l;
  }

  void put_mark(Writer& out, std::size_t d, const Mark& m) {
    if (d >= KEPT_DEPTHS) {
      out.put(mark_text(d, m));
      return;
    }
    Layout& l = at(d);
    const auto found = l.marks.find(&m);
    if (found != l.marks.end()) {
      out.put(found->second);
      return;
    }
    std::string text = mark_text(d, m);
    out.put(text);
    if (mark_bytes_ + text.size() <= KEPT_MARK_BYTES) {
      mark_bytes_ += text.size();
      l.marks.emplace(&m, std::move(text));
    }
  }

 private:
  // Layouts are kept for the depths real trees have; a deeper one is made
  // again when asked for, which costs no more than the indents it holds.
  static constexpr std::size_t KEPT_DEPTHS = 256;
  // Verdict objects kept in all; past that they are made each time.
  static constexpr std::size_t KEPT_MARK_BYTES = 16 << 20;

  static void make(Layout& l, std::size_t d) {
    const std::string in(2 * (d + 1), ' ');
    const std::string out_ind(2 * d, ' ');
    const std::string child_ind(2 * (d + 2), ' ');
    l.open = "{\n" + in + "\"name\": \"";
    l.to_path = "\",\n" + in + "\"path\": \"";
    l.to_bytes = "\",\n" + in + "\"bytes\": ";
    l.to_files = ",\n" + in + "\"files\": ";
    l.to_dirs = ",\n" + in + "\"dirs\": ";
    l.to_children = ",\n" + in + "\"children\": [";
    l.close = "\n" + out_ind + "}";
    l.first_child = "\n" + child_ind;
    l.next_child = ",\n" + child_ind;
    l.close_children = "\n" + in + "]\n" + out_ind + "}";
    l.marks.clear();
  }

  // The mark member of a node at depth d: its object opens on its key's
  // line, so its members sit at d + 2.
  static std::string mark_text(std::size_t d, const Mark& m) {
    std::string text;
    Writer to_text([&text](std::string_view piece) {
      text.append(piece);
      return true;
    });
    Members json(to_text);
    json.key(d, false, "mark");
    to_text.put('{');
    const std::size_t inner = d + 1;
    json.string_member(inner, true, "state", to_string(m.state));
    json.string_member(inner, false, "pattern", m.pattern);
    json.string_member(inner, false, "source", m.source);
    json.string_member(inner, false, "reason", m.reason);
    json.string_member(inner, false, "action", m.action);
    json.close(inner, '}');
    to_text.flush();
    return text;
  }

  std::vector<Layout> kept_;
  Layout deep_;
  std::size_t deep_depth_ = 0;
  std::size_t mark_bytes_ = 0;
};

// A whole node tree, pretty-printed. Trees can be tens of thousands of
// levels deep, so it keeps its own stack instead of recursing; the stack
// holds one small frame per open level and nothing is copied. A folder's
// path, which all its entries' paths begin with, is escaped once for all
// of them.
class TreeOut {
 public:
  explicit TreeOut(Writer& out) : out_(out) {}

  // `depth` is the depth of the line the tree opens on.
  void tree(std::size_t depth, const Node& root) {
    stack_.clear();
    open(root, depth);
    while (!stack_.empty()) {
      Frame& top = stack_.back();
      const std::vector<Node>& children = top.node->children;
      if (top.next == children.size()) {
        // Close the "children" array (one level in) and then the node.
        out_.put(layouts_.at(top.depth).close_children);
        stack_.pop_back();
        continue;
      }
      const Node& child = children[top.next];
      const std::size_t child_depth = top.depth + 2;
      const Layout& l = layouts_.at(top.depth);
      out_.put(top.next == 0 ? l.first_child : l.next_child);
      ++top.next;
      open(child, child_depth);  // may grow the stack; `top` is not used after
    }
  }

 private:
  struct Frame {
    const Node* node;
    std::size_t depth;     // of the line the node opened on
    std::size_t next = 0;  // index of the next child to write
  };

  // A folder's path escaped once, one per level of the stack: its entries
  // are written one after the other at that level.
  struct Head {
    const char* data = nullptr;
    std::size_t size = 0;
    std::string escaped;
  };

  // `text` escaped: itself when nothing in it needs escaping (the usual
  // case), else its escaped form in `scratch`.
  static std::string_view escaped(std::string_view text, std::string& scratch) {
    if (!needs_escape(text)) return text;
    scratch.clear();
    StringOut to_scratch{scratch};
    put_json_string(to_scratch, text);
    return std::string_view(scratch).substr(1, scratch.size() - 2);  // without the quotes
  }

  std::string_view escaped_head(std::size_t level, std::string_view head) {
    if (heads_.size() <= level) heads_.resize(level + 1);
    Head& h = heads_[level];
    if (h.data != head.data() || h.size != head.size()) {
      h.data = head.data();
      h.size = head.size();
      h.escaped.assign(escaped(head, scratch_));
    }
    return h.escaped;
  }

  // Everything of a node up to its children; `d` is the depth of the line
  // it opens on. Its entries' pieces come from the stack level it leaves.
  void open(const Node& node, std::size_t d) {
    const PathPieces path = node.path_pieces();
    const std::string_view head = escaped_head(stack_.size(), path.head);
    const std::string_view name = escaped(node.name(), name_scratch_);
    const Layout& l = layouts_.at(d);
    out_.put(l.open);
    out_.put(name);
    out_.put(l.to_path);
    out_.put(head);
    if (!path.tail.empty()) {
      // The tail is the name; anything else is escaped on its own.
      out_.put(path.tail.data() == node.name().data() && path.tail.size() == node.name().size()
                   ? name
                   : escaped(path.tail, scratch_));
    }
    out_.put(l.to_bytes);
    out_.put(Decimal(node.bytes).text());
    out_.put(l.to_files);
    out_.put(Decimal(node.files).text());
    out_.put(l.to_dirs);
    out_.put(Decimal(node.dirs).text());
    if (node.mark) layouts_.put_mark(out_, d, *node.mark);
    if (node.children.empty()) {
      out_.put(l.close);
    } else {
      out_.put(l.to_children);
      stack_.push_back(Frame{&node, d});
    }
  }

  Writer& out_;
  Layouts layouts_;
  std::vector<Frame> stack_;
  std::vector<Head> heads_;
  std::string scratch_;
  std::string name_scratch_;
};

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  StringOut sink{out};
  put_json_string(sink, text);
}

void write_json_report(const Report& report, Writer& out) {
  Members json(out);
  TreeOut trees(out);
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
  trees.tree(1, report.tree);
  json.key(0, false, "greens");
  if (report.greens.empty()) {
    out.put("[]");
  } else {
    out.put('[');
    bool first = true;
    for (const Node& green : report.greens) {
      out.put(first ? "\n" : ",\n");
      json.indent(2);
      trees.tree(2, green);
      first = false;
    }
    json.close(1, ']');
  }
  out.put("\n}\n");
}

}  // namespace oskra
