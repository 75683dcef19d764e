#include "report/json_report.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "report/format.h"
#include "report/json_emit.h"

namespace oskra {
namespace {

using namespace json;

// The fixed pieces around a node whose "{" stands on a line of depth d,
// rendered once per depth by the emitter above, and each verdict's object
// once per depth: a node of the tree is then a handful of copies, its texts
// and its numbers.
struct Layout {
  std::string open;            // "{" and the "name" key, up to its value's quote
  std::string to_path;         // from the name's closing quote to the path's opening one
  std::string to_bytes;        // from the path's closing quote to the bytes
  std::string to_files;        // the "files" key
  std::string to_dirs;         // the "dirs" key
  std::string denied;          // the whole "denied" member, on a folder not read whole
  std::string to_children;     // the "children" key and "["
  std::string close;           // the node's "}"
  std::string first_child;     // where its first child's "{" goes
  std::string next_child;      // where each later child's "{" goes
  std::string close_children;  // the array's "]" and the node's "}"
  std::unordered_map<const Mark*, std::string> marks;  // the whole "mark" member
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

  // Each piece as the emitter writes it, around the node's own texts and
  // numbers: its "{" stands on a line of depth d, its members one level in.
  static void make(Layout& l, std::size_t d) {
    l.open = rendered([d](auto& out) {
      out.put('{');
      put_key(out, d, true, "name");
      out.put('"');
    });
    l.to_path = rendered([d](auto& out) {
      out.put('"');
      put_key(out, d, false, "path");
      out.put('"');
    });
    l.to_bytes = rendered([d](auto& out) {
      out.put('"');
      put_key(out, d, false, "bytes");
    });
    l.to_files = rendered([d](auto& out) { put_key(out, d, false, "files"); });
    l.to_dirs = rendered([d](auto& out) { put_key(out, d, false, "dirs"); });
    l.denied = rendered([d](auto& out) {
      put_key(out, d, false, "denied");
      out.put("true");
    });
    l.to_children = rendered([d](auto& out) {
      put_key(out, d, false, "children");
      out.put('[');
    });
    l.close = rendered([d](auto& out) { put_close(out, d, '}'); });
    // The "children" array opens on a line of depth d + 1.
    l.first_child = rendered([d](auto& out) { put_element(out, d + 1, true); });
    l.next_child = rendered([d](auto& out) { put_element(out, d + 1, false); });
    l.close_children = rendered([d](auto& out) {
      put_close(out, d + 1, ']');
      put_close(out, d, '}');
    });
    l.marks.clear();
  }

  // The mark member of a node at depth d: its object opens on its key's
  // line, so its members sit at d + 2.
  static std::string mark_text(std::size_t d, const Mark& m) {
    return rendered([d, &m](auto& out) {
      put_key(out, d, false, "mark");
      out.put('{');
      const std::size_t inner = d + 1;
      put_string_member(out, inner, true, "state", to_string(m.state));
      put_string_member(out, inner, false, "pattern", m.pattern);
      put_string_member(out, inner, false, "source", m.source);
      put_string_member(out, inner, false, "reason", m.reason);
      put_string_member(out, inner, false, "action", m.action);
      put_close(out, inner, '}');
    });
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
      const Node::Children& children = top.node->children;
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
    if (node.denied()) out_.put(l.denied);
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
  TreeOut trees(out);
  out.put('{');
  put_string_member(out, 0, true, "tool", report.tool);
  put_string_member(out, 0, false, "version", report.version);
  put_string_member(out, 0, false, "path", report.path);
  put_integer_member(out, 0, false, "total_bytes", report.total_bytes);
  put_integer_member(out, 0, false, "files", report.files);
  put_integer_member(out, 0, false, "dirs", report.dirs);
  put_integer_member(out, 0, false, "denied", report.denied);
  put_integer_member(out, 0, false, "elapsed_ms", report.elapsed_ms);
  put_key(out, 0, false, "tree");
  trees.tree(1, report.tree.root());
  put_key(out, 0, false, "greens");
  if (report.greens.empty()) {
    out.put("[]");
  } else {
    out.put('[');
    bool first = true;
    for (const Node& green : report.greens) {
      put_element(out, 1, first);
      trees.tree(2, green);
      first = false;
    }
    put_close(out, 1, ']');
  }
  put_close(out, 0, '}');
  out.put('\n');
}

}  // namespace oskra
