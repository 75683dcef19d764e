// The Windows realisation of the platform layer, its text and paths: UTF-8
// and UTF-16, the path argument and its canonical form, the root's size,
// display forms and the file beside the executable.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/win32_decisions.h"
#include "platform/win32_listing.h"
#include "text/utf16.h"

namespace oskra::platform {
namespace {

using win32::as_utf16;
using win32::own_handle;
using win32::UniqueHandle;
using win32::VERBATIM;

// The absolute form of `path` by Win32's rules, or nothing.
std::optional<std::wstring> full_path(const std::wstring& path) {
  std::wstring full(path.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return std::nullopt;
    if (n < full.size()) {
      full.resize(n);
      return full;
    }
    full.assign(n, L'\0');
  }
}

// Paths typed by the user may be longer than the classic limit, which
// Win32 enforces on any path without the verbatim prefix. Such a path is
// made absolute (as Win32 would) and given the prefix; shorter paths are
// left exactly as typed.
std::wstring api_path(std::wstring path) {
  if (path.starts_with(VERBATIM) || path.starts_with(L"\\\\.\\")) return path;
  // Room for "\*" and a file name's worth of margin.
  constexpr std::size_t SAFE = MAX_PATH - 12;
  const std::optional<std::wstring> found = full_path(path);
  if (!found) return path;
  const std::wstring& full = *found;
  if (full.size() < SAFE) return path;
  if (full.starts_with(L"\\\\")) return std::wstring(VERBATIM) + L"UNC" + full.substr(1);
  if (full.size() >= 3 && win32::has_drive_at(full, 0) && full[2] == L'\\')
    return std::wstring(VERBATIM) + full;
  return path;
}

// The native path the path argument names, or nothing when it cannot name
// a file (an embedded NUL would silently name a different one).
std::optional<std::wstring> argument_native(std::string_view utf8) {
  if (utf8.find('\0') != std::string_view::npos) return std::nullopt;
  return win32::argument_path(from_utf8(utf8));
}

UniqueHandle open_following_links(const std::wstring& path, std::uint32_t& error) {
  // No access rights are needed to ask for the final path; backup semantics
  // let directories open too. Links are followed.
  UniqueHandle handle = own_handle(
      CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) error = GetLastError();
  return handle;
}

std::uint64_t size_of(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// The record of the file `full` (an absolute path) in its folder's listing,
// for a path whose metadata call or open failed with `error`: Windows
// refuses both for the paging, hibernation and swap files it holds open,
// and FindFirstFileExW on the exact path reads the folder's record of the
// file instead of the file. Nothing for a folder, which is scanned as
// folders are, or when the folder lists no such file.
// Docs: FindFirstFileExW; WIN32_FIND_DATAW.
std::optional<WIN32_FIND_DATAW> listed_file(const std::wstring& full, std::uint32_t error) {
  if (!win32::look_up_in_folder(error) || !win32::folder_entry(full)) return std::nullopt;
  WIN32_FIND_DATAW record{};
  const HANDLE find = FindFirstFileExW(api_path(full).c_str(), FindExInfoBasic, &record,
                                       FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return std::nullopt;
  FindClose(find);
  if ((record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
  return record;
}

// The canonical path of what `path` names, opened by `open`; nothing, with
// the error in `error`, when it does not open.
std::optional<std::wstring> resolve(const std::wstring& path, const win32::FollowingOpen& open,
                                    std::uint32_t& error) {
  // Only what opens (links followed) is resolved; naming it is what may
  // need the fallbacks.
  const UniqueHandle handle = open(api_path(path), error);
  if (!handle) return std::nullopt;
  const auto query = [&handle](wchar_t* buffer, std::uint32_t size, std::uint32_t flags) {
    return static_cast<std::uint32_t>(GetFinalPathNameByHandleW(handle.get(), buffer, size, flags));
  };
  return win32::canonical_path(query, full_path(path).value_or(std::wstring()));
}

}  // namespace

void append_utf8_lossy(std::string& out, NativeStringView native) {
  unicode::append_utf16_as_utf8(as_utf16(native), out);
}

NativeString from_utf8(std::string_view utf8) {
  std::u16string units;
  unicode::append_utf8_as_utf16(utf8, units);
  return std::wstring(units.begin(), units.end());
}

bool exists(std::string_view path) {
  const auto typed = argument_native(path);
  if (!typed) return false;
  const std::wstring native = api_path(*typed);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &data) == 0) {
    const DWORD error = GetLastError();
    const std::optional<std::wstring> full = full_path(*typed);
    return full && listed_file(*full, error);
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  // The attributes are the link's own; only opening it shows whether its
  // target is there.
  std::uint32_t error = 0;
  return open_following_links(native, error) != nullptr;
}

std::optional<std::wstring> win32::canonical_argument(std::string_view path,
                                                      const FollowingOpen& open) {
  const auto native = argument_native(path);
  if (!native) return std::nullopt;
  std::uint32_t error = 0;
  if (auto resolved = resolve(*native, open, error)) return resolved;
  // A file Windows holds open may refuse even this open: its folder is
  // resolved instead, and its name is the one the folder lists.
  const std::optional<std::wstring> full = full_path(*native);
  if (!full) return std::nullopt;
  const std::optional<WIN32_FIND_DATAW> record = listed_file(*full, error);
  if (!record) return std::nullopt;
  std::wstring folder(win32::folder_entry(*full)->folder);
  // A root keeps its separator: "C:" alone is another folder.
  if (entry_name(folder).empty()) folder.push_back(L'\\');
  const std::optional<std::wstring> resolved = resolve(folder, open, error);
  if (!resolved) return std::nullopt;
  return win32::entry_path(*resolved, record->cFileName);
}

std::optional<NativeString> canonicalize(std::string_view path) {
  return win32::canonical_argument(path, open_following_links);
}

std::optional<std::uint64_t> root_file_size(NativeStringView path) {
  // Docs: GetFileAttributesExW; GetFileInformationByHandleEx (FileStandardInfo).
  const std::wstring native(path);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  if (GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &data) != 0) {
    attributes = data.dwFileAttributes;
    size = size_of(data.nFileSizeHigh, data.nFileSizeLow);
  } else if (const auto record = listed_file(native, GetLastError())) {
    attributes = record->dwFileAttributes;
    size = size_of(record->nFileSizeHigh, record->nFileSizeLow);
  } else {
    return std::nullopt;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
  // What a file whose data may not all be here holds on this disk: its
  // allocation, read without opening its data (which would fetch it), or
  // nothing when even that cannot be read.
  std::uint64_t allocation = 0;
  if (win32::data_elsewhere(attributes)) {
    const UniqueHandle file = own_handle(CreateFileW(
        native.c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OPEN_NO_RECALL,
        nullptr));
    FILE_STANDARD_INFO info{};
    if (file &&
        GetFileInformationByHandleEx(file.get(), FileStandardInfo, &info, sizeof info) != 0) {
      allocation = static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
    }
  }
  return win32::counted_size(attributes, size, allocation);
}

std::string display_path(NativeStringView path) {
  while (path.starts_with(VERBATIM)) path.remove_prefix(VERBATIM.size());
  return to_utf8_lossy(path);
}

std::string entry_name(NativeStringView path) {
  const bool verbatim = path.starts_with(VERBATIM);
  const auto is_separator = [verbatim](wchar_t c) {
    return c == L'\\' || (!verbatim && c == L'/');
  };
  // The end of the first `count` components of `rest`, each ended by a
  // separator or by the end of the text.
  const auto skip_components = [&](std::size_t from, int count) {
    std::size_t i = from;
    for (int k = 0; k < count && i < path.size(); ++k) {
      while (i < path.size() && !is_separator(path[i])) ++i;
      if (k + 1 < count && i < path.size()) ++i;
    }
    return i;
  };
  // Length of the root part: drive, share, device or verbatim prefix.
  std::size_t root = 0;
  if (verbatim) {
    const std::wstring_view after = path.substr(VERBATIM.size());
    if (after.size() >= 4 && (after[0] == L'U' || after[0] == L'u') &&
        (after[1] == L'N' || after[1] == L'n') && (after[2] == L'C' || after[2] == L'c') &&
        after[3] == L'\\') {
      root = skip_components(VERBATIM.size() + 4, 2);
    } else if (win32::has_drive_at(path, VERBATIM.size())) {
      root = VERBATIM.size() + 2;
    } else {
      root = skip_components(VERBATIM.size(), 1);
    }
  } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    const bool device =
        path.size() >= 4 && (path[2] == L'.' || path[2] == L'?') && is_separator(path[3]);
    root = device ? skip_components(4, 1) : skip_components(2, 2);
  } else if (win32::has_drive_at(path, 0)) {
    root = 2;
  }
  std::size_t end = path.size();
  while (end > root && is_separator(path[end - 1])) --end;
  std::size_t begin = end;
  while (begin > root && !is_separator(path[begin - 1])) --begin;
  return to_utf8_lossy(path.substr(begin, end - begin));
}

NativeString listing_path(NativeStringView path) {
  while (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
  NativeString out;
  if (!path.starts_with(VERBATIM)) out = VERBATIM;
  out.append(path);
  return out;
}

std::optional<std::string> read_file_beside_executable(std::string_view file_name) {
  std::wstring exe(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
    if (n == 0) return std::nullopt;
    // A truncated name fills the whole buffer.
    if (n < exe.size()) {
      exe.resize(n);
      break;
    }
    if (exe.size() >= 65536) return std::nullopt;
    exe.assign(exe.size() * 2, L'\0');
  }
  const std::size_t slash = exe.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return std::nullopt;
  if (file_name.find('\0') != std::string_view::npos) return std::nullopt;
  const std::wstring path = api_path(exe.substr(0, slash + 1) + from_utf8(file_name));

  const UniqueHandle file = own_handle(CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  // Only a plain file of a sane size: a link to a device, a pipe or a huge
  // file must not hang the run or exhaust memory.
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(file.get()) != FILE_TYPE_DISK ||
      GetFileInformationByHandle(file.get(), &info) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      ((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow) >
          MAX_FILE_BESIDE_EXECUTABLE) {
    return std::nullopt;
  }
  std::string bytes;
  char buffer[64 * 1024];
  for (;;) {
    DWORD got = 0;
    if (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) == 0) return std::nullopt;
    if (got == 0) return bytes;
    bytes.append(buffer, got);
    // It grew while being read.
    if (bytes.size() > MAX_FILE_BESIDE_EXECUTABLE) return std::nullopt;
  }
}

}  // namespace oskra::platform
