// Decisions of the Windows realisation that depend only on values Windows
// reports, kept apart as pure functions so they can be checked against the
// real constants, including values Wine never produces.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace oskra::platform {

// The kind of a listed entry from its attribute bits and, when the
// reparse-point bit is set, its reparse tag. A directory that is a reparse
// point is a link when the tag's name-surrogate bit says it stands for
// another name (a junction, a directory link, a mounted volume) and is
// skipped otherwise (a cloud placeholder, for one: listing it could make
// the provider download it).
EntryKind classify_record(std::uint32_t attributes, std::uint32_t reparse_tag);

}  // namespace oskra::platform
