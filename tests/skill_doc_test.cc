// SKILL.md is what the text report points every user to, and what an agent
// works from; its details live in references/. These tests keep them true
// to the program: the rule table must be the built-in table, the wording
// table must cover exactly the keys the table uses with the words of
// viewer/wording.json, the pattern examples must score as the matcher scores
// them, the rules.json examples must load, the optional-rules table must be
// rules.example.json, and SKILL.md must stay a skill an agent can load whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "doc_support.h"
#include "rules/rules.h"

namespace oskra {
namespace {

using docs::code;
using docs::Row;
using docs::table_after;

// Where each part lives, and the headings the tests navigate by.
constexpr const char* SKILL = "SKILL.md";
constexpr const char* RULES = "references/rules.md";
constexpr const char* WORDING = "references/wording.md";
constexpr const char* RULES_JSON = "references/rules-json.md";
constexpr const char* SOURCES = "references/sources.md";
constexpr const char* BUILTIN_RULES_HEADING = "## Built-in rules";
constexpr const char* WORDING_HEADING = "## Reason and action wording";
constexpr const char* EXAMPLES_HEADING = "### Pattern examples";
constexpr const char* OPTIONAL_RULES_HEADING = "### Optional rules (rules.example.json)";
constexpr const char* SOURCES_HEADING = "## Sources";

// The rule table writes keys without these prefixes.
constexpr std::string_view REASON_PREFIX = "rule.reason.";
constexpr std::string_view ACTION_PREFIX = "rule.action.";

// Rules whose claims rest on a vendor's documentation and must cite it.
constexpr std::string_view MUST_CITE[] = {
    R"(?:\Windows)",
    "pagefile.sys",
    "hiberfil.sys",
    R"(?:\System Volume Information)",
    R"(?:\Windows.old)",
    R"(?:\Windows\SoftwareDistribution\Download)",
    "npm-cache",
    ".pnpm-store",
    "cache",
    "CrashDumps",
    R"(?:\Users\*\AppData\Local\pip\cache)",
    R"(?:\Users\*\AppData\Local\Yarn\Cache)",
    R"(?:\Users\*\.gradle\caches)",
    R"(?:\Users\*\.m2\repository)",
    R"(?:\Users\*\AppData\Local\Google\Chrome\User Data\Default\Cache)",
    R"(?:\Users\*\AppData\Local\Microsoft\Edge\User Data\Default\Cache)",
    R"(?:\Users\*\AppData\Local\Mozilla\Firefox\Profiles\*\cache2)",
};

class SkillDoc : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {SKILL, RULES, WORDING, RULES_JSON, SOURCES}) {
      std::optional<std::string> text = docs::read_file(name);
      ASSERT_TRUE(text.has_value()) << name << " was not copied beside the test";
      docs_[name] = std::move(*text);
    }
  }
  const std::string& doc(const char* name) { return docs_.at(name); }
  std::map<std::string, std::string> docs_;
};

// Every "[n]" in a cell.
std::vector<std::string> citations(std::string_view cell) {
  std::vector<std::string> found;
  for (std::size_t open = cell.find('['); open != std::string_view::npos;
       open = cell.find('[', open + 1)) {
    const std::size_t close = cell.find(']', open);
    if (close == std::string_view::npos) break;
    const std::string_view inner = cell.substr(open + 1, close - open - 1);
    if (!inner.empty() &&
        std::all_of(inner.begin(), inner.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      found.emplace_back(inner);
    }
  }
  return found;
}

TEST_F(SkillDoc, RuleTablesMatchTheProgramAndCiteListedSources) {
  std::map<std::string, std::string> sources;  // number -> address
  for (const Row& row : table_after(doc(SOURCES), SOURCES_HEADING)) {
    ASSERT_EQ(row.size(), 3u) << "source row: " << row.at(0);
    EXPECT_TRUE(sources.emplace(row[0], row[2]).second) << "source listed twice: " << row[0];
    EXPECT_FALSE(row[1].empty()) << "source without a title: " << row[0];
    EXPECT_EQ(row[2].rfind("<https://", 0), 0u) << "source " << row[0] << " address: " << row[2];
  }
  ASSERT_FALSE(sources.empty()) << "no source table under " << SOURCES_HEADING;

  std::set<std::string> cited;
  const auto cite = [&](std::string_view cell) {
    const std::vector<std::string> refs = citations(cell);
    for (const std::string& ref : refs) {
      EXPECT_TRUE(sources.count(ref)) << "cites [" << ref << "], which is not listed";
      cited.insert(ref);
    }
    return refs;
  };

  const std::vector<Row> rows = table_after(doc(RULES), BUILTIN_RULES_HEADING);
  ASSERT_EQ(rows.size(), BUILTIN_RULES.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    const Rule& rule = BUILTIN_RULES[i];
    SCOPED_TRACE("row " + std::to_string(i + 1));
    ASSERT_EQ(row.size(), 7u);
    EXPECT_EQ(row[0], std::to_string(i + 1));
    EXPECT_EQ(code(row[1]), rule.pattern);
    EXPECT_EQ(code(row[2]), to_string(rule.state));
    EXPECT_EQ(std::string(REASON_PREFIX) + code(row[3]), rule.reason);
    EXPECT_EQ(std::string(ACTION_PREFIX) + code(row[4]), rule.action);
    EXPECT_GE(row[5].size(), 20u) << "the plain-language sentence is missing";
    const std::vector<std::string> refs = cite(row[6]);
    if (std::find(std::begin(MUST_CITE), std::end(MUST_CITE), rule.pattern) !=
        std::end(MUST_CITE)) {
      EXPECT_FALSE(refs.empty()) << rule.pattern << " must cite its source";
    }
  }
  for (const Row& row : table_after(doc(RULES_JSON), OPTIONAL_RULES_HEADING)) {
    ASSERT_EQ(row.size(), 4u);
    EXPECT_FALSE(cite(row[3]).empty()) << "optional rule without a source: " << row[0];
  }
  for (const auto& [number, address] : sources) {
    EXPECT_TRUE(cited.count(number)) << "source [" << number << "] is never cited";
  }
}

// The optional-rules table lists exactly the rules of rules.example.json,
// none of which repeats a built-in pattern (that would only shadow it).
TEST_F(SkillDoc, OptionalRulesTableIsTheExampleFile) {
  const std::optional<std::string> text = docs::read_file("rules.example.json");
  ASSERT_TRUE(text.has_value()) << "rules.example.json was not copied beside the test";
  const std::optional<std::vector<Rule>> rules = RuleEngine::parse_rules_json(*text);
  ASSERT_TRUE(rules.has_value()) << "the loader would ignore rules.example.json";

  std::multiset<std::pair<std::string, std::string>> in_file;
  for (const Rule& rule : *rules) {
    in_file.emplace(rule.pattern, std::string(to_string(rule.state)));
    for (const Rule& builtin : BUILTIN_RULES) {
      EXPECT_NE(normalize(rule.pattern), normalize(builtin.pattern))
          << rule.pattern << " repeats a built-in rule";
    }
  }
  std::multiset<std::pair<std::string, std::string>> in_doc;
  for (const Row& row : table_after(doc(RULES_JSON), OPTIONAL_RULES_HEADING)) {
    ASSERT_EQ(row.size(), 4u);
    const std::vector<std::string> patterns = docs::code_spans(row[0]);
    EXPECT_FALSE(patterns.empty()) << row[0];
    for (const std::string& pattern : patterns) in_doc.emplace(pattern, code(row[1]));
  }
  EXPECT_EQ(in_doc, in_file);
}

// The words live once, in viewer/wording.json (the viewer is built from it);
// the table agents read must say the same for exactly the keys in use.
TEST_F(SkillDoc, WordingTableIsTheWordingFileForExactlyTheKeysInUse) {
  std::set<std::string> keys;
  for (const Rule& rule : BUILTIN_RULES) {
    keys.insert(rule.reason);
    keys.insert(rule.action);
  }
  const std::optional<std::string> file = docs::read_file("wording.json");
  ASSERT_TRUE(file.has_value()) << "viewer/wording.json was not copied beside the test";
  const nlohmann::json wording = nlohmann::json::parse(*file);
  std::set<std::string> in_file;
  for (const auto& [key, words] : wording.items()) in_file.insert(key);
  EXPECT_EQ(in_file, keys);

  std::set<std::string> listed;
  for (const Row& row : table_after(doc(WORDING), WORDING_HEADING)) {
    ASSERT_EQ(row.size(), 3u);
    const std::string key = code(row[0]);
    EXPECT_TRUE(listed.insert(key).second) << key << " is listed twice";
    ASSERT_TRUE(wording.contains(key)) << key << " is not in wording.json";
    EXPECT_EQ(row[1], wording[key].value("zh", "")) << key;
    EXPECT_EQ(row[2], wording[key].value("en", "")) << key;
    EXPECT_FALSE(row[1].empty()) << key << " has no Chinese wording";
    EXPECT_FALSE(row[2].empty()) << key << " has no English wording";
  }
  EXPECT_EQ(listed, keys);
}

TEST_F(SkillDoc, PatternExamplesScoreAsDocumented) {
  const std::vector<Row> rows = table_after(doc(RULES), EXAMPLES_HEADING);
  ASSERT_GE(rows.size(), 10u);
  for (const Row& row : rows) {
    ASSERT_GE(row.size(), 3u);
    const std::string pattern = code(row[0]);
    const std::string path = code(row[1]);
    EXPECT_EQ(std::to_string(match_score(pattern, path)), row[2])
        << "pattern " << pattern << " against " << path;
  }
}

TEST_F(SkillDoc, RulesFileExamplesLoad) {
  const std::vector<std::string> blocks = docs::fenced_blocks(doc(RULES_JSON), "json");
  ASSERT_GE(blocks.size(), 1u);
  for (const std::string& block : blocks) {
    const std::optional<std::vector<Rule>> rules = RuleEngine::parse_rules_json(block);
    ASSERT_TRUE(rules.has_value()) << "this example would be ignored:\n" << block;
    EXPECT_FALSE(rules->empty()) << block;
  }
}

// Tokens as the skill's budget counts them: a CJK character is one, any
// other text a quarter per byte.
double skill_tokens(std::string_view text) {
  std::size_t cjk = 0;
  std::size_t other = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    char32_t cp = length == 1 ? lead : lead & (0x7f >> length);
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    }
    if ((cp >= 0x2e80 && cp <= 0x9fff) || (cp >= 0xf900 && cp <= 0xfaff) ||
        (cp >= 0xff00 && cp <= 0xffef)) {
      ++cjk;
    } else {
      other += length;
    }
    i += length;
  }
  return static_cast<double>(cjk) + static_cast<double>(other) / 4;
}

// An agent loads SKILL.md's body whole when the skill is activated: the
// convention wants a `name` matching the skill's folder, a body under 5,000
// tokens, 500 lines and (ours) 20,000 bytes, and details one level down,
// each linked so that the agent can find them.
TEST_F(SkillDoc, SkillLoadsWholeAndLinksEveryReference) {
  const std::string& skill = doc(SKILL);
  ASSERT_EQ(skill.rfind("---\n", 0), 0u) << "no front matter";
  const std::size_t end = skill.find("\n---\n", 3);
  ASSERT_NE(end, std::string::npos) << "front matter not closed";
  const std::vector<std::string> front = docs::split_lines(skill.substr(4, end - 4));
  EXPECT_NE(std::find(front.begin(), front.end(), "name: oskra-cli"), front.end());
  const std::string_view body = std::string_view(skill).substr(end + 5);
  EXPECT_LT(skill_tokens(body), 5000.0);
  EXPECT_LT(skill.size(), 20000u);
  EXPECT_LT(docs::split_lines(skill).size(), 500u);
  for (const char* reference : {RULES, WORDING, RULES_JSON, SOURCES}) {
    EXPECT_NE(skill.find(std::string("](") + reference + ")"), std::string::npos)
        << "SKILL.md does not link " << reference;
  }
}

}  // namespace
}  // namespace oskra
