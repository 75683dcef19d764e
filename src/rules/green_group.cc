#include "rules/green_group.h"

#include <cstddef>
#include <string_view>

namespace oskra {
namespace {

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` equals `lower`, a lower-case ASCII word, ignoring ASCII case.
bool is(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lower_ascii(text[i]) != lower[i]) return false;
  }
  return true;
}

bool starts(std::string_view text, std::string_view lower) {
  return text.size() >= lower.size() && is(text.substr(0, lower.size()), lower);
}

// The non-empty components of a path, one at a time, without copies.
class Components {
 public:
  Components(std::string_view path, char separator) : path_(path), separator_(separator) {}

  // The next non-empty component, or false at the end.
  bool next(std::string_view& out) {
    while (at_ <= path_.size()) {
      std::size_t end = path_.find(separator_, at_);
      if (end == std::string_view::npos) end = path_.size();
      const std::string_view part = path_.substr(at_, end - at_);
      at_ = end + 1;
      if (!part.empty()) {
        out = part;
        return true;
      }
    }
    return false;
  }

 private:
  std::string_view path_;
  char separator_;
  std::size_t at_ = 0;
};

bool is_drive(std::string_view part) {
  return (part.size() == 2 && part[1] == ':' && lower_ascii(part[0]) >= 'a' &&
          lower_ascii(part[0]) <= 'z') ||
         starts(part, "volume{");
}

// What the components say, gathered in one pass.
struct Facts {
  bool cloud = false;
  bool one_note = false;
  bool app_data = false;
  bool system_data = false;  // under the drive's ProgramData or Windows
  bool project_yarn = false;
};

Facts facts_of(std::string_view path) {
  Facts facts;
  Components parts(path, path_separator(path));
  std::string_view part;
  std::string_view previous;
  std::size_t index = 0;
  bool drive = false;
  bool after_one_note = false;  // the component before was "OneNote" under "Microsoft"
  bool last_is_yarn_cache = false;
  while (parts.next(part)) {
    if (is(part, "onedrive") || starts(part, "onedrive - ")) facts.cloud = true;
    if (is(part, "appdata")) facts.app_data = true;
    if (index == 0) drive = is_drive(part);
    if (index == 1 && drive && (is(part, "programdata") || is(part, "windows"))) {
      facts.system_data = true;
    }
    // OneNote's folder counts once something lies beneath it.
    if (after_one_note) facts.one_note = true;
    after_one_note = is(previous, "microsoft") && is(part, "onenote");
    last_is_yarn_cache = is(previous, ".yarn") && is(part, "cache");
    previous = part;
    ++index;
  }
  facts.project_yarn = last_is_yarn_cache;
  return facts;
}

}  // namespace

char path_separator(std::string_view path) { return !path.empty() && path[0] == '/' ? '/' : '\\'; }

GreenGroup green_group(const Mark& mark, std::string_view path) {
  if (mark.source != SOURCE_BUILTIN) return GreenGroup::check_first;
  const Facts facts = facts_of(path);
  if (facts.cloud) return GreenGroup::check_first;
  if (mark.pattern.find_first_of("\\/") != std::string_view::npos) return GreenGroup::safe;
  if (facts.one_note || facts.project_yarn) return GreenGroup::check_first;
  if (facts.system_data || facts.app_data) return GreenGroup::safe;
  return GreenGroup::check_first;
}

}  // namespace oskra
