// What the two files of the Windows realisation share (win32.cc: process,
// text, paths and streams; win32_listing.cc: opening and listing
// directories), and the listing calls tests hold against each other.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace oskra::platform::win32 {

struct HandleCloser {
  void operator()(HANDLE h) const noexcept { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

inline UniqueHandle own_handle(HANDLE h) {
  return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

// Through the open directory handle `dir`, with directory queries into
// `buffer` (grown to 64 KiB on first use). Nothing, and no record, when the
// system or the file system does not support such queries.
std::optional<ListStatus> list_by_handle(std::intptr_t dir, std::vector<std::uint64_t>& buffer,
                                         RecordList& out);

// By the directory's full path in listing form, with FindFirstFileExW: what
// every file system supports, but the path is resolved again from its root.
ListStatus list_by_path(NativeStringView path, RecordList& out);

}  // namespace oskra::platform::win32
