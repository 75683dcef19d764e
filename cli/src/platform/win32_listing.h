// The two ways the Windows realisation lists a directory, declared here so
// that tests can hold one against the other. Both append the records of
// the directory to `out`, in listing order, "." and ".." left out.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace oskra::platform::win32 {

// Through the open directory handle `dir`, with directory queries into
// `buffer` (grown to 64 KiB on first use). Nothing, and no record, when the
// system or the file system does not support such queries.
std::optional<ListStatus> list_by_handle(std::intptr_t dir, std::vector<std::uint64_t>& buffer,
                                         RecordList& out);

// By the directory's full path in listing form, with FindFirstFileExW: what
// every file system supports, but the path is resolved again from its root.
ListStatus list_by_path(NativeStringView path, RecordList& out);

}  // namespace oskra::platform::win32
