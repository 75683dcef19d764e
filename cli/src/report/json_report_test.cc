#include "report/json_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace oskra {
namespace {

// `r` with a copy of `tree` as its detail tree: the test goes on changing it.
const Report& with(Report& r, const Node& tree) {
  r.tree = DetailTree(tree);
  return r;
}

std::string render(const Report& report, std::size_t capacity = 64 * 1024) {
  std::string text;
  Writer out(
      [&](std::string_view s) {
        text.append(s);
        return true;
      },
      capacity);
  write_json_report(report, out);
  EXPECT_TRUE(out.flush());
  return text;
}

std::string json_text(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

const Mark* cache_mark() {
  static const Mark m{State::green, "cache", SOURCE_BUILTIN, "rule.reason.cacheDir",
                      "rule.action.safeToClean"};
  return &m;
}

TEST(JsonReport, WritesTheDocumentOfADirectoryWithOneFile) {
  Report r;
  Node tree;
  r.path = "D:\\proj\\cache";
  r.total_bytes = 100;
  r.files = 1;
  r.dirs = 1;
  tree.set_name_and_path("cache", "D:\\proj\\cache");
  tree.bytes = 100;
  tree.files = 1;
  tree.dirs = 1;
  tree.mark = cache_mark();
  Node file;
  file.set_name_and_path("a.bin", "D:\\proj\\cache\\a.bin");
  file.bytes = 100;
  file.mark = cache_mark();
  tree.children.push_back(file);
  r.greens.push_back(tree.copy_alone());

  const std::string mark_at_6 =
      "      \"state\": \"green\",\n"
      "      \"pattern\": \"cache\",\n"
      "      \"source\": \"builtin\",\n"
      "      \"reason\": \"rule.reason.cacheDir\",\n"
      "      \"action\": \"rule.action.safeToClean\"\n";
  const std::string mark_at_10 =
      "          \"state\": \"green\",\n"
      "          \"pattern\": \"cache\",\n"
      "          \"source\": \"builtin\",\n"
      "          \"reason\": \"rule.reason.cacheDir\",\n"
      "          \"action\": \"rule.action.safeToClean\"\n";
  EXPECT_EQ(render(with(r, tree)),
            "{\n"
            "  \"tool\": \"morvane-cli\",\n"
            "  \"version\": \"" +
                std::string(TOOL_VERSION) +
                "\",\n"
                "  \"path\": \"D:\\\\proj\\\\cache\",\n"
                "  \"total_bytes\": 100,\n"
                "  \"files\": 1,\n"
                "  \"dirs\": 1,\n"
                "  \"denied\": 0,\n"
                "  \"elapsed_ms\": 0,\n"
                "  \"tree\": {\n"
                "    \"name\": \"cache\",\n"
                "    \"path\": \"D:\\\\proj\\\\cache\",\n"
                "    \"bytes\": 100,\n"
                "    \"files\": 1,\n"
                "    \"dirs\": 1,\n"
                "    \"mark\": {\n" +
                mark_at_6 +
                "    },\n"
                "    \"children\": [\n"
                "      {\n"
                "        \"name\": \"a.bin\",\n"
                "        \"path\": \"D:\\\\proj\\\\cache\\\\a.bin\",\n"
                "        \"bytes\": 100,\n"
                "        \"files\": 0,\n"
                "        \"dirs\": 0,\n"
                "        \"mark\": {\n" +
                mark_at_10 +
                "        }\n"
                "      }\n"
                "    ]\n"
                "  },\n"
                "  \"greens\": [\n"
                "    {\n"
                "      \"name\": \"cache\",\n"
                "      \"path\": \"D:\\\\proj\\\\cache\",\n"
                "      \"bytes\": 100,\n"
                "      \"files\": 1,\n"
                "      \"dirs\": 1,\n"
                "      \"mark\": {\n"
                "        \"state\": \"green\",\n"
                "        \"pattern\": \"cache\",\n"
                "        \"source\": \"builtin\",\n"
                "        \"reason\": \"rule.reason.cacheDir\",\n"
                "        \"action\": \"rule.action.safeToClean\"\n"
                "      }\n"
                "    }\n"
                "  ]\n"
                "}\n");
}

TEST(JsonReport, LeavesOutAbsentMembersAndWritesEmptyGreensOnTheKeyLine) {
  Report r;
  Node tree;
  r.path = "C:\\";
  r.total_bytes = 18446744073709551615u;
  r.files = 3;
  r.dirs = 4;
  r.denied = 1;
  r.elapsed_ms = 1234567;
  tree.set_name_and_path("", "C:\\");  // a drive root has an empty name
  tree.dirs = 4;
  Node locked;  // a directory whose listing failed: zero totals, no children
  locked.set_name_and_path("locked", "C:\\locked");
  locked.dirs = 1;
  locked.set_denied(true);
  const Mark user{State::red, "lock*", SOURCE_USER, "mine", "keep"};
  locked.mark = &user;
  tree.children.push_back(locked);

  EXPECT_EQ(render(with(r, tree)),
            "{\n"
            "  \"tool\": \"morvane-cli\",\n"
            "  \"version\": \"" +
                std::string(TOOL_VERSION) +
                "\",\n"
                "  \"path\": \"C:\\\\\",\n"
                "  \"total_bytes\": 18446744073709551615,\n"
                "  \"files\": 3,\n"
                "  \"dirs\": 4,\n"
                "  \"denied\": 1,\n"
                "  \"elapsed_ms\": 1234567,\n"
                "  \"tree\": {\n"
                "    \"name\": \"\",\n"
                "    \"path\": \"C:\\\\\",\n"
                "    \"bytes\": 0,\n"
                "    \"files\": 0,\n"
                "    \"dirs\": 4,\n"
                "    \"children\": [\n"
                "      {\n"
                "        \"name\": \"locked\",\n"
                "        \"path\": \"C:\\\\locked\",\n"
                "        \"bytes\": 0,\n"
                "        \"files\": 0,\n"
                "        \"dirs\": 1,\n"
                "        \"denied\": true,\n"
                "        \"mark\": {\n"
                "          \"state\": \"red\",\n"
                "          \"pattern\": \"lock*\",\n"
                "          \"source\": \"user\",\n"
                "          \"reason\": \"mine\",\n"
                "          \"action\": \"keep\"\n"
                "        }\n"
                "      }\n"
                "    ]\n"
                "  },\n"
                "  \"greens\": []\n"
                "}\n");
}

TEST(JsonReport, EscapesOnlyQuoteBackslashAndControlCharacters) {
  const char* const controls[32] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
  for (int c = 0; c < 32; ++c) {
    EXPECT_EQ(json_text(std::string(1, static_cast<char>(c))), '"' + std::string(controls[c]) + '"')
        << c;
  }
  EXPECT_EQ(json_text(""), "\"\"");
  EXPECT_EQ(json_text("a\"b\\c"), "\"a\\\"b\\\\c\"");
  // "/", DEL, U+0080, U+FFFD, CJK and a 4-byte character stay raw UTF-8.
  const std::string raw = "/x\x7f\xc2\x80\xef\xbf\xbd\xe4\xb8\xad\xe6\x96\x87\xf0\x9f\x98\x80 ";
  EXPECT_EQ(json_text(raw), '"' + raw + '"');
  EXPECT_EQ(json_text("C:\\Users\\a\x1b[0m\n"), "\"C:\\\\Users\\\\a\\u001b[0m\\n\"");

  // Every byte value at every place of a text longer than two words, so the
  // word-at-a-time scan meets it at each position of a word and in the tail.
  for (int c = 0; c < 256; ++c) {
    const std::string escaped = c < 32      ? controls[c]
                                : c == '"'  ? "\\\""
                                : c == '\\' ? "\\\\"
                                            : std::string(1, static_cast<char>(c));
    for (std::size_t at = 0; at < 19; ++at) {
      std::string text(19, 'a');
      text[at] = static_cast<char>(c);
      ASSERT_EQ(json_text(text),
                '"' + std::string(at, 'a') + escaped + std::string(18 - at, 'a') + '"')
          << c << " at " << at;
    }
  }

  std::string appended = "keep:";
  append_json_string(appended, "\t");
  EXPECT_EQ(appended, "keep:\"\\t\"");

  // Names are escaped in the document too.
  Report r;
  Node tree;
  tree.set_name_and_path("x\x1f\x7f\"", "");
  EXPECT_NE(render(with(r, tree)).find("\"name\": \"x\\u001f\x7f\\\"\",\n"), std::string::npos);
}

// The document as another JSON library writes it: the same members in the
// same order, two-space indentation, UTF-8 unescaped.
nlohmann::ordered_json independent(const Node& node) {
  nlohmann::ordered_json j;
  j["name"] = node.name();
  j["path"] = node.path();
  j["bytes"] = node.bytes;
  j["files"] = node.files;
  j["dirs"] = node.dirs;
  if (node.mark) {
    j["mark"] = {{"state", to_string(node.mark->state)},
                 {"pattern", node.mark->pattern},
                 {"source", node.mark->source},
                 {"reason", node.mark->reason},
                 {"action", node.mark->action}};
  }
  if (!node.children.empty()) {
    nlohmann::ordered_json& children = j["children"] = nlohmann::ordered_json::array();
    for (const Node& child : node.children) children.push_back(independent(child));
  }
  return j;
}

// Entries named as the walk names them: one block shared with the folder's
// path, which the writer escapes once for all of them.
Node::Children entries(const std::string& folder, const std::vector<std::string>& names) {
  std::string text = folder + "/";
  const std::size_t head = text.size();
  for (const std::string& name : names) {
    text += name;
    text += EntryNames::NAME_END;
  }
  EntryNames block(text, head);
  Node::Children nodes(names.size());
  for (Node& node : nodes) block.name_next(node);
  return nodes;
}

TEST(JsonReport, EqualsAnotherWritersDocumentAtAnyBufferSize) {
  Report r;
  Node tree;
  r.path = "/r\\\"";
  r.total_bytes = 6000;
  r.files = 12;
  r.dirs = 5;
  r.denied = 2;
  r.elapsed_ms = 77;
  tree.set_name_and_path("r\\\"", r.path);
  tree.mark = cache_mark();
  // Folders with and without escapes in their paths, each holding files
  // and a folder of its own, so the writer comes back to a folder's entries
  // after the entries of another.
  tree.children = entries(r.path, {"目录0", "a\"b", "目录2", "\x1b"});
  for (std::size_t i = 0; i < tree.children.size(); ++i) {
    Node& dir = tree.children[i];
    dir.bytes = 1000u * i;
    dir.dirs = 2;
    if (i % 2 == 1) dir.mark = cache_mark();
    dir.children = entries(dir.path(), {"f\"\x01", "plain", "inner", "f\"\x02"});
    dir.children[2].dirs = 1;
    dir.children[2].children = entries(dir.children[2].path(), {"deep"});
    dir.children[2].children[0].mark = cache_mark();  // the same verdict at another depth
    dir.children[3].mark = cache_mark();
    if (dir.mark) r.greens.push_back(dir.copy_alone());
  }

  nlohmann::ordered_json doc = {{"tool", r.tool},     {"version", r.version},
                                {"path", r.path},     {"total_bytes", r.total_bytes},
                                {"files", r.files},   {"dirs", r.dirs},
                                {"denied", r.denied}, {"elapsed_ms", r.elapsed_ms}};
  doc["tree"] = independent(tree);
  doc["greens"] = nlohmann::ordered_json::array();
  for (const Node& green : r.greens) doc["greens"].push_back(independent(green));
  const std::string expected = doc.dump(2) + "\n";
  for (const std::size_t capacity : {std::size_t{1}, std::size_t{7}, std::size_t{64 * 1024}}) {
    EXPECT_EQ(render(with(r, tree), capacity), expected) << "capacity " << capacity;
  }
}

TEST(JsonReport, WritesATwentyThousandLevelChainWithoutRecursion) {
  constexpr std::size_t LEVELS = 20000;
  Report r;
  Node chain;
  chain.set_name_and_path("leaf", "p");
  for (std::size_t i = 1; i < LEVELS; ++i) {
    Node parent;
    parent.set_name_and_path("d", "p");
    parent.dirs = 1;
    parent.children.push_back(std::move(chain));
    chain = std::move(parent);
  }
  r.tree = DetailTree(std::move(chain));

  // The document runs to gigabytes of indentation, so it is read line by
  // line as it streams: each node's "name" must sit two levels deeper than
  // its parent's, and every line must end where the layout ends it.
  std::uint64_t names = 0;
  bool nested = true;
  std::string line;  // the current line, its leading spaces counted only
  std::size_t spaces = 0;
  const auto end_line = [&] {
    if (line.starts_with("\"name\": ")) {
      const std::size_t expected = 2 * (2 + 2 * names);
      nested = nested && spaces == expected &&
               line == (names + 1 == LEVELS ? "\"name\": \"leaf\"," : "\"name\": \"d\",");
      ++names;
    }
    line.clear();
    spaces = 0;
  };
  const std::string BLOCK(4096, ' ');
  std::string tail;
  {
    Writer out(
        [&](const std::string_view piece) {
          std::string_view s = piece;
          while (!s.empty()) {
            if (line.empty()) {
              // Indentation is most of the document: skipped a block at a time.
              while (s.size() >= BLOCK.size() && s.starts_with(BLOCK)) {
                spaces += BLOCK.size();
                s.remove_prefix(BLOCK.size());
              }
              const std::size_t text = std::min(s.find_first_not_of(' '), s.size());
              spaces += text;
              s.remove_prefix(text);
            }
            const std::size_t end = std::min(s.find('\n'), s.size());
            line.append(s.substr(0, std::min(end, 64 - std::min<std::size_t>(line.size(), 64))));
            if (end == s.size()) break;
            end_line();
            s.remove_prefix(end + 1);
          }
          tail.append(piece.substr(piece.size() - std::min<std::size_t>(piece.size(), 200)));
          if (tail.size() > 4096) tail.erase(0, tail.size() - 200);
          return true;
        },
        1 << 20);
    write_json_report(r, out);
    EXPECT_TRUE(out.flush());
  }
  EXPECT_EQ(names, LEVELS);
  EXPECT_TRUE(nested);
  EXPECT_TRUE(tail.ends_with("\n      }\n    ]\n  },\n  \"greens\": []\n}\n"));
}

}  // namespace
}  // namespace oskra
