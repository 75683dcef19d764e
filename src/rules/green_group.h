// The two groups of green entries: safe to clean once their program is
// closed, or to be looked inside first because deleting could lose a
// person's files. The text report, the viewer and SKILL.md group alike;
// tests/data/green_groups.json holds the cases all of them are held to.
#pragma once

#include <cstdint>
#include <string_view>

#include "rules/rules.h"

namespace oskra {

enum class GreenGroup : std::uint8_t { safe, check_first };

// The group of a green verdict given at `path`, the display path of the
// entry the rule matched (not of one that inherited the verdict):
// - check first: every user rule; anything inside a cloud-synced folder (a
//   component named "OneDrive" or "OneDrive - ...", a heuristic: the scan
//   carries no cloud flag);
// - safe: a built-in path rule (its pattern holds a separator);
// - check first: OneNote's cache (edits not yet synced) and a project's
//   ".yarn\cache" (part of the project), even inside application data;
// - safe: a built-in name rule inside application data (a component
//   "AppData", or the drive's "ProgramData" or "Windows" folder);
// - check first: a name rule anywhere else.
// Components are compared ignoring ASCII case, split at the path's own
// separator (see path_separator).
GreenGroup green_group(const Mark& mark, std::string_view path);

// The separator of a display path: '/' for a Linux path, which always
// starts with it; '\' for every Windows form (a drive letter, "UNC\...",
// "Volume{...}\..."). A Linux name may hold '\' and is then one component.
char path_separator(std::string_view path);

}  // namespace oskra
