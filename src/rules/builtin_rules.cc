// The 37 rules the program ships with. Order matters: on equal scores the
// earlier rule wins, so the red block comes first.
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "rules/rules.h"

namespace oskra {
namespace {

struct BuiltinRow {
  std::string_view pattern;
  State state;
  std::string_view reason;
  std::string_view action;
};

constexpr State RED = State::red;
constexpr State GREEN = State::green;

// Every backslash here is one backslash character; raw strings keep the
// patterns readable as written.
constexpr BuiltinRow BUILTIN_ROWS[] = {
    {R"(?:\Windows)", RED, "rule.reason.systemDir", "rule.action.dontDelete"},
    {R"(?:\Program Files)", RED, "rule.reason.installedApps", "rule.action.uninstall"},
    {R"(?:\Program Files (x86))", RED, "rule.reason.installedApps32", "rule.action.uninstall"},
    {R"(?:\ProgramData)", RED, "rule.reason.programData", "rule.action.caution"},
    {R"(?:\$Recycle.Bin)", RED, "rule.reason.recycleBin", "rule.action.emptyRecycleBin"},
    {R"(?:\System Volume Information)", RED, "rule.reason.systemRestore", "rule.action.dontDelete"},
    {R"(?:\Boot)", RED, "rule.reason.bootFiles", "rule.action.dontDelete"},
    {R"(?:\Recovery)", RED, "rule.reason.recoveryPartition", "rule.action.dontDelete"},
    {R"(?:\EFI)", RED, "rule.reason.efiBoot", "rule.action.dontDelete"},
    {R"(?:\PerfLogs)", RED, "rule.reason.perfLogs", "rule.action.dontDelete"},
    {R"(?:\Users\Default)", RED, "rule.reason.userTemplates", "rule.action.dontDelete"},
    {R"(?:\Users\Public)", RED, "rule.reason.publicUsers", "rule.action.caution"},
    {R"(?:\Windows.old)", RED, "rule.reason.oldWindows", "rule.action.useDiskCleanup"},
    {"pagefile.sys", RED, "rule.reason.pageFile", "rule.action.dontDelete"},
    {"hiberfil.sys", RED, "rule.reason.hiberFile", "rule.action.dontDelete"},
    {"swapfile.sys", RED, "rule.reason.swapFile", "rule.action.dontDelete"},
    {"DumpStack.log.tmp", RED, "rule.reason.dumpStackLog", "rule.action.dontDelete"},
    {"ntuser.dat", RED, "rule.reason.ntUserHive", "rule.action.dontDelete"},
    {R"(?:\Users\*\AppData\Local\Microsoft)", RED, "rule.reason.msAppData", "rule.action.caution"},
    {R"(?:\Users\*\AppData\Roaming\Microsoft)", RED, "rule.reason.msAppData",
     "rule.action.caution"},
    {"Temp", GREEN, "rule.reason.tempFiles", "rule.action.safeToEmpty"},
    {R"(?:\Windows\Temp)", GREEN, "rule.reason.sysTemp", "rule.action.safeToEmpty"},
    {R"(?:\Windows\SoftwareDistribution\Download)", GREEN, "rule.reason.winUpdateCache",
     "rule.action.safeToClean"},
    {"npm-cache", GREEN, "rule.reason.npmCache", "rule.action.cleanNpm"},
    {".pnpm-store", GREEN, "rule.reason.pnpmStore", "rule.action.safeToClean"},
    {"pnpm-cache", GREEN, "rule.reason.pnpmCache", "rule.action.safeToClean"},
    {"cache", GREEN, "rule.reason.cacheDir", "rule.action.safeToClean"},
    {"CrashDumps", GREEN, "rule.reason.crashDumps", "rule.action.safeToClean"},
    {"ReportArchive", GREEN, "rule.reason.reportArchive", "rule.action.safeToClean"},
    {"thumbcache_*", GREEN, "rule.reason.thumbCache", "rule.action.safeToClean"},
    {R"(?:\Users\*\AppData\Local\pip\cache)", GREEN, "rule.reason.pipCache",
     "rule.action.cleanPip"},
    {R"(?:\Users\*\AppData\Local\Yarn\Cache)", GREEN, "rule.reason.yarnCache",
     "rule.action.cleanYarn"},
    {R"(?:\Users\*\.gradle\caches)", GREEN, "rule.reason.gradleCache", "rule.action.safeToClean"},
    {R"(?:\Users\*\.m2\repository)", GREEN, "rule.reason.mavenRepo", "rule.action.cleanWithCare"},
    {R"(?:\Users\*\AppData\Local\Google\Chrome\User Data\Default\Cache)", GREEN,
     "rule.reason.chromeCache", "rule.action.safeToClean"},
    {R"(?:\Users\*\AppData\Local\Microsoft\Edge\User Data\Default\Cache)", GREEN,
     "rule.reason.edgeCache", "rule.action.safeToClean"},
    {R"(?:\Users\*\AppData\Local\Mozilla\Firefox\Profiles\*\cache2)", GREEN,
     "rule.reason.firefoxCache", "rule.action.safeToClean"},
};

static_assert(std::size(BUILTIN_ROWS) == 37);

std::vector<Rule> build_table() {
  std::vector<Rule> rules;
  rules.reserve(std::size(BUILTIN_ROWS));
  for (const BuiltinRow& row : BUILTIN_ROWS) {
    rules.push_back(Rule{std::string(row.pattern), row.state, std::string(row.reason),
                         std::string(row.action)});
  }
  return rules;
}

}  // namespace

std::string_view to_string(State state) { return state == State::green ? "green" : "red"; }

const std::vector<Rule>& BuiltinRuleTable::rules() const {
  // Built on first use; C++ guarantees one thread builds it while any other
  // waits. Never changed afterwards.
  static const std::vector<Rule> table = build_table();
  return table;
}

}  // namespace oskra
