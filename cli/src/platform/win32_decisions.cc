#include "platform/win32_decisions.h"

// For the flag values only; nothing here calls the system.
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstddef>

namespace oskra::platform::win32 {
namespace {

// A final path is at most about 32767 characters; a query that keeps
// asking for more is not giving one.
constexpr std::uint32_t LARGEST_BUFFER = 1u << 16;

std::optional<std::wstring> final_path(const FinalPathQuery& query, std::uint32_t flags) {
  std::wstring out(MAX_PATH, L'\0');
  for (;;) {
    const std::uint32_t n = query(out.data(), static_cast<std::uint32_t>(out.size()), flags);
    if (n == 0) return std::nullopt;
    if (n < out.size()) {
      out.resize(n);
      return out;
    }
    // Too small: `n` is the size needed, terminator included. One that
    // does not grow the buffer would be asked for again forever.
    if (n == out.size() || n > LARGEST_BUFFER) return std::nullopt;
    out.assign(n, L'\0');
  }
}

}  // namespace

// Docs: Naming Files, Paths, and Namespaces; UNC paths; DOS device paths.
std::size_t root_length(std::wstring_view path) {
  const bool verbatim = path.starts_with(VERBATIM);
  // The end of the first `count` components from `from`, each ended by a
  // separator or by the end of the text.
  const auto skip_components = [&](std::size_t from, int count) {
    std::size_t i = from;
    for (int k = 0; k < count && i < path.size(); ++k) {
      while (i < path.size() && !is_separator(path[i], verbatim)) ++i;
      if (k + 1 < count && i < path.size()) ++i;
    }
    return i;
  };
  if (verbatim) {
    const std::wstring_view after = path.substr(VERBATIM.size());
    if (after.size() >= 4 && (after[0] == L'U' || after[0] == L'u') &&
        (after[1] == L'N' || after[1] == L'n') && (after[2] == L'C' || after[2] == L'c') &&
        after[3] == L'\\') {
      return skip_components(VERBATIM.size() + 4, 2);
    }
    if (has_drive_at(path, VERBATIM.size())) return VERBATIM.size() + 2;
    return skip_components(VERBATIM.size(), 1);
  }
  if (path.size() >= 2 && is_separator(path[0], false) && is_separator(path[1], false)) {
    const bool device =
        path.size() >= 4 && (path[2] == L'.' || path[2] == L'?') && is_separator(path[3], false);
    return device ? skip_components(4, 1) : skip_components(2, 2);
  }
  return has_drive_at(path, 0) ? 2 : 0;
}

bool is_root(std::wstring_view path) {
  const bool verbatim = path.starts_with(VERBATIM);
  const std::wstring_view rest = path.substr(root_length(path));
  return std::all_of(rest.begin(), rest.end(),
                     [verbatim](wchar_t c) { return is_separator(c, verbatim); });
}

std::wstring argument_path(std::wstring typed) {
  if (typed.size() == 2 && has_drive_at(typed, 0)) typed.push_back(L'\\');
  return typed;
}

// Docs: CommandLineToArgvW; Naming Files, Paths, and Namespaces (no " in a name).
std::vector<std::wstring> mended_arguments(const std::vector<std::wstring>& args,
                                           const CommandLineSplit& split) {
  std::vector<std::wstring> out;
  std::vector<std::wstring> pending(args.rbegin(), args.rend());  // the next on top
  while (!pending.empty()) {
    std::wstring arg = std::move(pending.back());
    pending.pop_back();
    const std::size_t quote = arg.find(L'"');
    if (quote == std::wstring::npos) {
      out.push_back(std::move(arg));
      continue;
    }
    out.push_back(arg.substr(0, quote));
    // CommandLineToArgvW reads the first token by rules of its own, as the
    // program name: a placeholder takes that place.
    std::vector<std::wstring> more = split(L"x " + arg.substr(quote + 1));
    for (std::size_t i = more.size(); i > 1; --i) pending.push_back(std::move(more[i - 1]));
  }
  return out;
}

std::optional<std::wstring> verbatim_path(std::wstring_view full) {
  if (full.empty()) return std::nullopt;
  // Typed in verbatim form, it names exactly what it says.
  if (full.starts_with(VERBATIM)) return std::wstring(full);
  std::wstring out(VERBATIM);
  if (full.starts_with(L"\\\\.\\")) {
    // Normalised already, so the device form may skip normalisation too.
    out.append(full.substr(4));
  } else if (full.starts_with(L"\\\\")) {
    out.append(L"UNC\\");
    out.append(full.substr(2));
  } else {
    out.append(full);
  }
  // Separators at the end go, but the one after the root of a drive or a
  // volume ("C:\", "Volume{...}\"), which names its root folder; a share
  // ("UNC\srv\share") stands without one.
  const bool share = std::wstring_view(out).substr(VERBATIM.size()).starts_with(L"UNC\\");
  const std::size_t shortest = share ? VERBATIM.size() + 4 : root_length(out) + 1;
  while (out.size() > shortest && out.back() == L'\\') out.pop_back();
  return out;
}

std::optional<std::wstring> canonical_path(const FinalPathQuery& query, std::wstring_view full) {
  constexpr std::array<std::uint32_t, 3> TRIES = {
      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS,
      FILE_NAME_OPENED | VOLUME_NAME_DOS,
      FILE_NAME_NORMALIZED | VOLUME_NAME_GUID,
  };
  for (const std::uint32_t flags : TRIES) {
    if (auto path = final_path(query, flags)) return path;
  }
  return verbatim_path(full);
}

bool hold_window(std::size_t argument_count, std::uint32_t console_processes, bool input_is_console,
                 bool output_is_console) {
  return argument_count == 0 && console_processes == 1 && input_is_console && output_is_console;
}

// Docs: System Error Codes (0-499); Anonymous Pipe Operations.
bool reader_gone(std::uint32_t error) {
  return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
}

// Docs: GetVolumePathNameW; GetVolumeNameForVolumeMountPointW; Naming a Volume.
std::optional<std::wstring> volume_device(std::wstring_view volume_path,
                                          const VolumeNameQuery& volume_name) {
  // The drive-letter forms are asked for without the verbatim prefix,
  // which GetVolumeNameForVolumeMountPointW does not take everywhere.
  std::wstring_view path = volume_path;
  if (path.starts_with(VERBATIM) && has_drive_at(path, VERBATIM.size())) {
    path.remove_prefix(VERBATIM.size());
  }
  std::wstring mount(path);
  if (mount.empty()) return std::nullopt;
  if (!mount.ends_with(L'\\')) mount.push_back(L'\\');
  std::optional<std::wstring> name;
  if (mount.starts_with(VERBATIM) && mount.substr(VERBATIM.size()).starts_with(L"Volume{")) {
    name = mount;
  } else if (has_drive_at(mount, 0) && mount[2] == L'\\') {
    name = volume_name(mount);
    // A letter whose volume goes unnamed: the letter's own device.
    if (!name && mount.size() == 3) return std::wstring(L"\\\\.\\") + mount.substr(0, 2);
  }
  if (!name || !name->starts_with(VERBATIM) || !name->ends_with(L'\\')) return std::nullopt;
  name->pop_back();
  return name;
}

// Docs: AdjustTokenPrivileges; Privilege Constants (SE_BACKUP_NAME).
Privilege enable_backup_privilege(const TokenCalls& calls) {
  std::intptr_t token = 0;
  if (!calls.open(token)) return Privilege::failed;
  Privilege result = Privilege::failed;
  std::uint64_t luid = 0;
  if (calls.lookup(luid)) {
    const std::uint32_t error = calls.enable(token, luid);
    result = error == 0                        ? Privilege::enabled
             : error == ERROR_NOT_ALL_ASSIGNED ? Privilege::not_held
                                               : Privilege::failed;
  }
  calls.close(token);
  return result;
}

// The portable decisions (win32_kinds.h) use these numbers without the headers.
static_assert(ATTRIBUTE_DIRECTORY == FILE_ATTRIBUTE_DIRECTORY);
static_assert(ATTRIBUTE_REPARSE_POINT == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(ATTRIBUTE_OFFLINE == FILE_ATTRIBUTE_OFFLINE);
static_assert(REPARSE_TAG_CLOUD == static_cast<std::uint32_t>(IO_REPARSE_TAG_CLOUD));
static_assert(REPARSE_TAG_CLOUD_MASK == static_cast<std::uint32_t>(IO_REPARSE_TAG_CLOUD_MASK));
static_assert(IsReparseTagNameSurrogate(REPARSE_NAME_SURROGATE) &&
              !IsReparseTagNameSurrogate(~REPARSE_NAME_SURROGATE));

// Docs: Naming Files, Paths, and Namespaces; CreateFileW (Physical Disks and Volumes).
std::optional<TableVolume> table_volume(std::wstring_view canonical) {
  if (!canonical.starts_with(VERBATIM) || !has_drive_at(canonical, VERBATIM.size())) {
    return std::nullopt;
  }
  const std::wstring_view drive = canonical.substr(VERBATIM.size(), 2);
  std::wstring_view rest = canonical.substr(VERBATIM.size() + 2);
  if (!rest.empty() && rest.front() != L'\\') return std::nullopt;  // "C:x" names no root
  while (!rest.empty() && rest.front() == L'\\') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == L'\\') rest.remove_suffix(1);
  TableVolume out;
  out.device = std::wstring(L"\\\\.\\").append(drive);
  out.root = std::wstring(drive).append(L"\\");
  out.folder = rest;
  return out;
}

// Docs: GetDriveTypeW (DRIVE_FIXED); Privilege Constants (SE_BACKUP_NAME).
std::string_view why_no_table(const TableConditions& c) {
  if (c.switched_off) return "OSKRA_NO_MFT 已设置";
  if (c.privilege == Privilege::not_held) return "没有备份特权(未以管理员身份运行)";
  if (c.privilege != Privilege::enabled) return "备份特权无法启用";
  if (c.drive_type != DRIVE_FIXED) return "不是本地固定磁盘";
  return {};
}

// Docs: GetVolumeInformationW (lpFileSystemNameBuffer).
bool table_understood(std::wstring_view file_system) { return file_system == L"NTFS"; }

// Docs: RtlSetProcessPlaceholderCompatibilityMode function (ntifs.h).
Placeholders expose_placeholders(const PlaceholderModeSetter& set) {
  if (!set) return Placeholders::unavailable;
  return set(PHCM_EXPOSE_PLACEHOLDERS) >= 0 ? Placeholders::exposed : Placeholders::refused;
}

// Docs: GetFileAttributesExW; CreateFileW (sharing modes); System Error Codes (0-499).
bool look_up_in_folder(std::uint32_t error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Docs: FindFirstFileExW (lpFileName); Naming Files, Paths, and Namespaces.
std::optional<FolderEntry> folder_entry(std::wstring_view path) {
  const std::size_t separator = path.rfind(L'\\');
  if (separator == std::wstring_view::npos || separator == 0) return std::nullopt;
  const std::wstring_view name = path.substr(separator + 1);
  if (name.empty() || name == L"." || name == L".." ||
      name.find_first_of(L"*?<>\"") != std::wstring_view::npos) {
    return std::nullopt;
  }
  return FolderEntry{path.substr(0, separator), name};
}

std::wstring entry_path(std::wstring_view folder, std::wstring_view name) {
  std::wstring out(folder);
  if (!out.ends_with(L'\\')) out.push_back(L'\\');
  out.append(name);
  return out;
}

ListStatus listing_status(ListingStep step, std::uint32_t error) {
  if (error == ERROR_NO_MORE_FILES && step != ListingStep::open) return ListStatus::ok;
  switch (step) {
    case ListingStep::open:
      return ListStatus::open_failed;
    case ListingStep::first:
      return error == ERROR_FILE_NOT_FOUND ? ListStatus::ok : ListStatus::open_failed;
    case ListingStep::next:
      break;
  }
  return ListStatus::cut_short;
}

// Docs: System Error Codes (0-499); NTSTATUS to Win32 error mapping of NtCreateFile.
bool listing_unsupported(std::uint32_t error) {
  // What "not implemented", "invalid device request", "not supported" and
  // "invalid information class" become in Win32 terms.
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER;
}

// Docs: GetFileInformationByHandleEx; FILE_INFO_BY_HANDLE_CLASS.
std::uint32_t directory_info_class(DirectoryClass type, bool restart) {
  if (type == DirectoryClass::id_both) {
    return restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
  }
  return restart ? FileFullDirectoryRestartInfo : FileFullDirectoryInfo;
}

}  // namespace oskra::platform::win32
