// What the two files of the Windows realisation share (win32.cc: process,
// text, paths and streams; win32_listing.cc: opening and listing
// directories), and the system's side of the listing, for tests to run the
// listing decisions against the real file system.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "platform/win32_decisions.h"
#include "platform/win32_listing_steps.h"

namespace oskra::platform::win32 {

struct HandleCloser {
  void operator()(HANDLE h) const noexcept { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

inline UniqueHandle own_handle(HANDLE h) {
  return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

// Reads the open directory `dir` with GetFileInformationByHandleEx.
DirectoryRead directory_reader(std::intptr_t dir);

// Opens directories with the system's calls: below a handle with
// NtCreateFile (left empty where ntdll lacks it), by path with CreateFileW,
// neither following a reparse point; tells files apart by their file IDs.
ComponentOpener system_opener();

}  // namespace oskra::platform::win32
