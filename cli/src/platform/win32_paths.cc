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
#include "platform/regular_file.h"
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
  if (win32::is_root(folder)) folder.push_back(L'\\');
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
    size = win32::join64(data.nFileSizeHigh, data.nFileSizeLow);
  } else if (const auto record = listed_file(native, GetLastError())) {
    attributes = record->dwFileAttributes;
    size = win32::join64(record->nFileSizeHigh, record->nFileSizeLow);
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

std::optional<std::uint64_t> own_file_size(NativeStringView path) {
  // Docs: CreateFileW (FILE_FLAG_OPEN_REPARSE_POINT, FILE_FLAG_OPEN_NO_RECALL);
  // GetFileInformationByHandleEx (FileBasicInfo, FileStandardInfo): the
  // file's own end of file and allocation, not its folder index's copy.
  const std::wstring native(path);
  const UniqueHandle file = own_handle(CreateFileW(
      native.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_OPEN_NO_RECALL,
      nullptr));
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  if (!file || GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic) == 0 ||
      GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard) == 0 ||
      (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  return win32::counted_size(basic.FileAttributes,
                             static_cast<std::uint64_t>(standard.EndOfFile.QuadPart),
                             static_cast<std::uint64_t>(standard.AllocationSize.QuadPart));
}

std::string display_path(NativeStringView path) {
  while (path.starts_with(VERBATIM)) path.remove_prefix(VERBATIM.size());
  return to_utf8_lossy(path);
}

std::string entry_name(NativeStringView path) {
  const bool verbatim = path.starts_with(VERBATIM);
  const std::size_t root = win32::root_length(path);
  std::size_t end = path.size();
  while (end > root && win32::is_separator(path[end - 1], verbatim)) --end;
  std::size_t begin = end;
  while (begin > root && !win32::is_separator(path[begin - 1], verbatim)) --begin;
  return to_utf8_lossy(path.substr(begin, end - begin));
}

NativeString listing_path(NativeStringView path) {
  while (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
  NativeString out;
  if (!path.starts_with(VERBATIM)) out = VERBATIM;
  out.append(path);
  return out;
}

std::optional<NativeString> executable_directory() {
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
  exe.resize(slash + 1);
  return exe;
}

RegularFile::RegularFile(const NativeString& path) {
  UniqueHandle file = own_handle(CreateFileW(
      api_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || GetFileType(file.get()) != FILE_TYPE_DISK ||
      GetFileInformationByHandle(file.get(), &info) == 0 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return;
  }
  size_ = win32::join64(info.nFileSizeHigh, info.nFileSizeLow);
  handle_ = reinterpret_cast<std::intptr_t>(file.release());
  open_ = true;
}

RegularFile::~RegularFile() {
  if (open_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::optional<std::size_t> RegularFile::read(char* buffer, std::size_t capacity) {
  DWORD got = 0;
  const auto want = static_cast<DWORD>(capacity < (1u << 30) ? capacity : (1u << 30));
  if (ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, want, &got, nullptr) == 0) {
    return std::nullopt;
  }
  return got;
}

}  // namespace oskra::platform
