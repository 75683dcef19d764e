// What the files of the Windows realisation share (win32.cc: process and
// streams; win32_paths.cc: text and paths; win32_listing.cc: opening and
// listing directories), and the system's side of the listing and of the
// path argument, for tests to run their decisions against the real file
// system.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

// wchar_t holds UTF-16 code units here, as char16_t does in the text
// library; a wide string is handed over in place, without a copy.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline std::u16string_view as_utf16(std::wstring_view w) {
  return {reinterpret_cast<const char16_t*>(w.data()), w.size()};
}

// A function of ntdll, looked up at run time: the executable imports nothing
// from ntdll. Null when it is missing.
template <class Function>
Function ntdll_function(const char* name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return nullptr;
  // Through the one function type that converts to any other.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)));
}

// Opens `path` following links, to ask for its final path: the handle, or
// null with the Win32 error in `error`.
using FollowingOpen = std::function<UniqueHandle(const std::wstring& path, std::uint32_t& error)>;

// canonicalize() with `open` in place of CreateFileW, for tests to make it
// fail as Windows fails it for a file it holds open.
std::optional<std::wstring> canonical_argument(std::string_view path, const FollowingOpen& open);

// Reads the open directory `dir` with GetFileInformationByHandleEx.
DirectoryRead directory_reader(std::intptr_t dir);

// Opens directories with the system's calls: below a handle with
// NtCreateFile (left empty where ntdll lacks it), by path with CreateFileW,
// neither following a reparse point; tells files apart by their file IDs.
ComponentOpener system_opener();

}  // namespace oskra::platform::win32
