#include "report/text_report.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

#include "rules/green_group.h"
#include "text/unicode.h"

namespace oskra {
namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

constexpr std::string_view CHECK_FIRST_SUFFIX = "  [先检查]";
constexpr std::string_view CHECK_FIRST_NOTE =
    "[先检查]:这些项只是名称像缓存或临时文件夹,或位于删除会丢失数据的地方"
    "(用户规则、云同步文件夹等),请先看看里面是什么。\n";

std::size_t code_points(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

// Right-aligns in a field of `width` characters; never cuts.
void put_right(Writer& out, std::string_view text, std::size_t width) {
  for (std::size_t n = code_points(text); n < width; ++n) out.put(' ');
  out.put(text);
}

bool is_control(char32_t cp) { return cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F); }

// A name, path or pattern. On a terminal every control character (C0, DEL,
// C1) shows as U+FFFD, and so does every byte that is not part of valid
// UTF-8, since a stray 0x9B is itself a control introducer to some
// terminals. Elsewhere the bytes go out as they are.
void put_text(Writer& out, std::string_view text, bool terminal) {
  if (!terminal) {
    out.put(text);
    return;
  }
  std::size_t run = 0;  // start of the pending run of safe bytes
  std::size_t i = 0;
  while (i < text.size()) {
    const unicode::Decoded d = unicode::decode(text, i);
    if (d.valid && !is_control(d.code_point)) {
      i += d.length;
      continue;
    }
    out.put(text.substr(run, i - run));
    out.put(REPLACEMENT);
    i += d.length;
    run = i;
  }
  out.put(text.substr(run));
}

void put_count(Writer& out, std::uint64_t value) { out.put(Decimal(value).text()); }

// Line number, ". " and the size column shared by both lists.
void put_number_and_size(Writer& out, std::uint64_t number, std::uint64_t bytes) {
  put_right(out, Decimal(number).text(), 3);
  out.put(". ");
  put_right(out, format_size(bytes), 10);
}

void write_first_level(const Report& report, std::uint64_t top, bool terminal, Writer& out) {
  const Node::Children& children = report.tree.root().children;
  if (children.empty()) return;
  out.put("\n一级占用(前 ");
  put_count(out, top);
  out.put("):\n");

  std::vector<const Node*> order;
  order.reserve(children.size());
  for (const Node& child : children) order.push_back(&child);
  std::stable_sort(order.begin(), order.end(),
                   [](const Node* a, const Node* b) { return a->bytes > b->bytes; });

  const double total = report.total_bytes == 0 ? 1.0 : static_cast<double>(report.total_bytes);
  const std::size_t shown = static_cast<std::size_t>(std::min<std::uint64_t>(top, order.size()));
  for (std::size_t i = 0; i < shown; ++i) {
    const Node& child = *order[i];
    put_number_and_size(out, i + 1, child.bytes);
    out.put(' ');
    put_right(out, Fixed1(static_cast<double>(child.bytes) / total * 100.0).text(), 5);
    out.put("%  ");
    put_text(out, child.name(), terminal);
    if (child.mark) {
      out.put(child.mark->state == State::green ? "  [绿 " : "  [红 ");
      put_text(out, child.mark->pattern, terminal);
      out.put(']');
    }
    out.put('\n');
  }
}

void write_greens(const Report& report, std::uint64_t top, bool terminal, Writer& out) {
  const std::vector<Node>& greens = report.greens;
  if (greens.empty()) return;
  out.put("\n建议清理(绿标,前 ");
  put_count(out, top);
  out.put("):\n");
  const std::size_t shown = static_cast<std::size_t>(std::min<std::uint64_t>(top, greens.size()));
  bool any_check_first = false;
  for (std::size_t i = 0; i < shown; ++i) {
    const Node& green = greens[i];
    const std::string path = green.path();
    put_number_and_size(out, i + 1, green.bytes);
    out.put("  ");
    put_text(out, path, terminal);
    // A rule that only knows a name, or a place where deleting loses data,
    // is no suggestion to delete: say so on the line itself.
    if (green.mark != nullptr && green_group(*green.mark, path) == GreenGroup::check_first) {
      out.put(CHECK_FIRST_SUFFIX);
      any_check_first = true;
    }
    out.put('\n');
  }
  out.put("(共 ");
  put_count(out, greens.size());
  out.put(" 项,完整清单用 --json)\n");
  if (any_check_first) out.put(CHECK_FIRST_NOTE);
}

}  // namespace

void write_text_report(const Report& report, std::uint64_t top, bool terminal, Writer& out) {
  out.put(PRODUCT_NAME);
  out.put(" v");
  out.put(report.version);
  out.put(" — ");
  put_text(out, report.path, terminal);
  out.put('\n');

  std::string totals = "总计 ";
  append_totals(totals, report.total_bytes, report.files, report.dirs);
  out.put(totals);
  put_count(out, report.denied);
  out.put(" 项拒绝访问 ｜ 扫描 ");
  put_count(out, report.elapsed_ms);
  out.put("ms\n");

  write_first_level(report, top, terminal, out);
  write_greens(report, top, terminal, out);

  out.put("\n只看不删:删除请自行在资源管理器操作。规则语义与出处见 SKILL.md。\n");
}

}  // namespace oskra
