// What the walk makes of an entry of a Windows folder, from the values a
// listing of that folder reports (attributes, reparse tag, EndOfFile,
// AllocationSize). Portable and free of system headers, so the folder
// listing and the reader of the master file table, which learns the same
// values from the volume itself, decide every entry the same way; the
// numbers are the Win32 ones (win32_decisions.cc checks them against the
// system's headers).
#pragma once

#include <cstdint>

#include "platform/records.h"

namespace oskra::platform::win32 {

// File attribute bits (FILE_ATTRIBUTE_*); the cloud ones are newer than the
// compiler's headers. RECALL_ON_OPEN: the entry has no physical
// representation here; opening or listing it fetches it from a remote
// store. RECALL_ON_DATA_ACCESS: it is not fully present here; reading a
// file's data, or listing a folder whose contents are partly virtual,
// fetches from a remote store.
inline constexpr std::uint32_t ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr std::uint32_t ATTRIBUTE_REPARSE_POINT = 0x00000400;
inline constexpr std::uint32_t ATTRIBUTE_OFFLINE = 0x00001000;
inline constexpr std::uint32_t ATTRIBUTE_RECALL_ON_OPEN = 0x00040000;
inline constexpr std::uint32_t ATTRIBUTE_RECALL_ON_DATA_ACCESS = 0x00400000;

// Reparse tags: the name-surrogate bit (IsReparseTagNameSurrogate), and the
// cloud family, one tag with the bits of the mask free for the provider.
inline constexpr std::uint32_t REPARSE_NAME_SURROGATE = 0x20000000;
inline constexpr std::uint32_t REPARSE_TAG_CLOUD = 0x9000001A;
inline constexpr std::uint32_t REPARSE_TAG_CLOUD_MASK = 0x0000F000;

// The kind of a listed entry from its attribute bits and, when the
// reparse-point bit is set, its reparse tag, as its parent's listing gives
// them (the same two values cloud files' placeholder state is read from).
// Files, links included, are files. A directory is:
// - a link when its tag's name-surrogate bit says it stands for another
//   name (a junction, a directory link, a mounted volume): never entered;
// - skipped when listing it would fetch from a remote store (either recall
//   attribute), so the scan never makes a provider download anything;
// - entered when it is a plain directory, or a cloud-file folder (a tag of
//   the cloud family) whose listing is on the disk, such as OneDrive's;
// - skipped when it is any other reparse point (container layers, projected
//   file systems, tags not known here).
EntryKind classify_record(std::uint32_t attributes, std::uint32_t reparse_tag);

// True when a file's data may not all be on this disk (RECALL_ON_OPEN,
// RECALL_ON_DATA_ACCESS, OFFLINE): reading it would fetch it from elsewhere.
bool data_elsewhere(std::uint32_t attributes);

// The bytes a file's record counts: its logical size (EndOfFile), or, when
// its data may not all be on this disk (see data_elsewhere), the smaller of
// that and the space allocated for it here (AllocationSize): 0 for an
// online-only cloud file. Adding what is held elsewhere would report more
// than the disk holds.
std::uint64_t counted_size(std::uint32_t attributes, std::uint64_t end_of_file,
                           std::uint64_t allocation);

}  // namespace oskra::platform::win32
