// Decisions of the Windows realisation, as pure functions over plain
// values so that they can be tested without the situations behind them
// (volumes without letters, a double-click in Explorer, reparse tags Wine
// never produces). win32.cc feeds them from the system; the numbers are the
// Win32 ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_kinds.h"

namespace oskra::platform::win32 {

// A 64-bit value Win32 hands over in two 32-bit halves (sizes, file
// indexes, LUIDs), high half first.
constexpr std::uint64_t join64(std::uint32_t high, std::uint32_t low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// The verbatim prefix "\\?\": a path after it is passed to the file system
// as it is, without the classic length limit or any normalisation.
inline constexpr std::wstring_view VERBATIM = L"\\\\?\\";

// A drive letter: one ASCII letter, as in "D:" (a full-width letter names no
// drive).
constexpr bool is_drive_letter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// True when `path` holds a drive letter and a colon at `at`.
constexpr bool has_drive_at(std::wstring_view path, std::size_t at) {
  return path.size() >= at + 2 && is_drive_letter(path[at]) && path[at + 1] == L':';
}

// A separator of `path`'s components: "\\", and outside the verbatim form
// "/" as well.
constexpr bool is_separator(wchar_t c, bool verbatim) {
  return c == L'\\' || (!verbatim && c == L'/');
}

// The length of the root part of `path`, the one definition of a root here:
// the verbatim prefix with a drive ("\\?\C:"), a share
// ("\\?\UNC\srv\share") or a volume ("\\?\Volume{...}"); a drive ("C:"), a
// share ("\\srv\share") or a device ("\\.\X"); 0 for a relative path. The
// separator after it is not part of it.
std::size_t root_length(std::wstring_view path);

// Whether `path` names a drive, share or volume itself: nothing but
// separators follow its root part.
bool is_root(std::wstring_view path);

// The path an argument names. By Windows rules "D:" alone is the current
// folder of drive D, but the usage text promises a drive letter scans the
// drive, so a letter and a colon become that drive's root "D:\". Anything
// else is left as typed.
std::wstring argument_path(std::wstring typed);

// Splits a command line as CommandLineToArgvW does, its first token read
// as the program name.
using CommandLineSplit = std::function<std::vector<std::wstring>(const std::wstring& line)>;

// The arguments as the user meant them, from `args` as CommandLineToArgvW
// gave them (the program name dropped). There, a backslash before a quote
// makes it a literal quote, so a quoted path ending in a backslash
// swallows the rest of the line: "D:\" --json arrives as the one argument
// D:" --json. A quote is never part of a Windows file name, so an argument
// holding one was split wrongly: the text before its first quote is that
// argument, and the text after it is split again by `split` into further
// arguments, mended the same way.
std::vector<std::wstring> mended_arguments(const std::vector<std::wstring>& args,
                                           const CommandLineSplit& split);

// `full` (an absolute path as GetFullPathNameW gives it) in verbatim form:
// "C:\x\" is "\\?\C:\x", "\\srv\share\x" is "\\?\UNC\srv\share\x": separators
// at the end go, except the one of a root ("\\?\C:\", "\\?\Volume{...}\").
// A path already verbatim stays exactly as it is. Nothing for the empty
// text.
std::optional<std::wstring> verbatim_path(std::wstring_view full);

// GetFinalPathNameByHandleW on the opened argument: writes the path to
// `buffer` of `size` characters (terminator included) for `flags` and
// returns what that function returns (0 on failure, with the code in
// GetLastError; the size needed when `buffer` is too small).
using FinalPathQuery =
    std::function<std::uint32_t(wchar_t* buffer, std::uint32_t size, std::uint32_t flags)>;

// The canonical path of the argument, trying in turn the normalised name
// with its drive letter, the name as opened with its drive letter, the
// normalised name under the volume GUID, and last verbatim_path of `full`,
// the argument's full path (GetFullPathNameW of argument_path). Each try
// fails on its own for some volumes (no drive letter, shadow copies, RAM
// disks and user-mode file systems, unreadable ancestors on a share), so
// only when all fail is there nothing.
std::optional<std::wstring> canonical_path(const FinalPathQuery& query, std::wstring_view full);

// Whether to hold the window open after the usage text until a key is
// pressed: started with no arguments on a console that no other process
// shares (`console_processes` is GetConsoleProcessList's count, 0 when
// there is no console), with input and output both on it. That is a
// double-click in Explorer, whose window would close before the text can be
// read. From a console, a script or a pipe the count is higher or a stream
// is redirected, and nothing waits.
bool hold_window(std::size_t argument_count, std::uint32_t console_processes, bool input_is_console,
                 bool output_is_console);

// The calls that enable a privilege of the process's own token.
struct TokenCalls {
  // OpenProcessToken for adjusting privileges: true with the token in `token`.
  std::function<bool(std::intptr_t& token)> open;
  // LookupPrivilegeValueW of the backup privilege: true with its LUID.
  std::function<bool(std::uint64_t& luid)> lookup;
  // AdjustTokenPrivileges enabling `luid`: 0 when it is enabled,
  // ERROR_NOT_ALL_ASSIGNED (1300) when the token does not hold it, or the
  // error of the call.
  std::function<std::uint32_t(std::intptr_t token, std::uint64_t luid)> enable;
  std::function<void(std::intptr_t token)> close;
};

enum class Privilege { enabled, not_held, failed };

// Enables the backup privilege (SeBackupPrivilege) when the process's token
// holds it, as an administrator's elevated token does, disabled: opening
// for backup then passes the folders' access checks, so an elevated scan
// lists what an administrator may read. Nothing else changes: without it,
// or when a call fails, the scan runs as before.
Privilege enable_backup_privilege(const TokenCalls& calls);

// True when a write failed with `error` because it went to a pipe whose
// reader has closed it, as `oskra-cli D:\ | more` ended early does: 232
// (the pipe is being closed), 109 (the pipe has been ended) or 233 (no
// process is on the other end of the pipe, as Wine says it).
bool reader_gone(std::uint32_t error);

// GetVolumeNameForVolumeMountPointW: the volume's own name
// ("\\?\Volume{...}\") for a mount point that ends in a backslash ("C:\",
// "C:\mnt\data\"); nothing when it has none.
using VolumeNameQuery = std::function<std::optional<std::wstring>(const std::wstring& mount_point)>;

// The device of the volume a folder is on, to ask whether it rotates, from
// the folder's volume path (GetVolumePathNameW: "\\?\C:\",
// "C:\mnt\data\", "\\?\Volume{...}\"): so a volume mounted in a folder is
// judged by its own disk, not by the drive letter's. "\\?\Volume{...}" (no
// separator at the end, which would name its root folder); "\\.\D:" for a
// drive letter whose volume has no name; nothing for a share, whose disk
// is not here, or a folder mount without a volume name.
std::optional<std::wstring> volume_device(std::wstring_view volume_path,
                                          const VolumeNameQuery& volume_name);

// Where a canonical folder path's volume is, for reading the volume's
// master file table.
struct TableVolume {
  std::wstring device;  // the volume to open: "\\.\C:"
  std::wstring root;    // its root, to ask of its drive type and file system: "C:\"
  std::wstring folder;  // the folder below that root: "x\y", "" for the root
};

// The volume of `canonical` ("\\?\C:\x\y"), when it is reached through a
// drive letter. Nothing for a share, a volume GUID path or anything else.
std::optional<TableVolume> table_volume(std::wstring_view canonical);

// What decides whether a volume is opened to read its table.
struct TableConditions {
  bool switched_off = false;                // TABLE_SWITCH is set to some text
  Privilege privilege = Privilege::failed;  // enabling the backup privilege
  std::uint32_t drive_type = 0;             // GetDriveTypeW of the volume's root
};

// Empty when the volume may be opened to read its table: not switched off,
// the backup privilege enabled (an elevated administrator; opening a volume
// needs it anyway) and a local fixed drive (not removable, remote, optical
// or a RAM disk); otherwise why not, in a few words.
std::string_view why_no_table(const TableConditions& conditions);

// True for the file system (GetVolumeInformationW's name of it) whose table
// is understood: NTFS alone. Asked once the volume has opened, so a volume
// that does not open is asked nothing more.
bool table_understood(std::wstring_view file_system);

// The mode RtlSetProcessPlaceholderCompatibilityMode sets for a process to
// see cloud files' placeholders as they are (reparse point, offline and
// recall bits), not disguised as plain files of their full size.
inline constexpr std::int8_t PHCM_EXPOSE_PLACEHOLDERS = 2;

// RtlSetProcessPlaceholderCompatibilityMode: the mode before, or a negative
// error. Empty where ntdll lacks it (before Windows 10 1803; Wine 8).
using PlaceholderModeSetter = std::function<std::int8_t(std::int8_t mode)>;

enum class Placeholders { exposed, unavailable, refused };

// Asks to see placeholders exposed, whatever Windows chose for the program
// by default: a disguised online-only file would count its full size. With
// no such call there are no placeholders to disguise.
Placeholders expose_placeholders(const PlaceholderModeSetter& set);

// Whether a path whose metadata call (GetFileAttributesExW) or open for
// canonicalisation (CreateFileW) failed with `error` is looked up in its
// folder's listing instead (FindFirstFileExW on the exact path, which reads
// the folder's record and never opens the file): for a sharing violation
// (32) or access denied (5), what the paging, hibernation and swap files
// Windows holds open answer even to a metadata-only open. Not for a path
// that is missing or malformed, or any other failure.
bool look_up_in_folder(std::uint32_t error);

// An absolute path as its folder and the one entry name it ends in.
struct FolderEntry {
  std::wstring_view folder;  // "C:" for "C:\pagefile.sys": a root without its separator
  std::wstring_view name;
};

// `path` (absolute, separated by backslashes) as its folder and entry name,
// to look that entry up in the folder's listing: "C:\x\pagefile.sys" is
// "C:\x" and "pagefile.sys". Nothing when it ends in no one entry's name:
// a root, a separator at the end, "." or "..", or a name holding what
// FindFirstFileExW reads as a wildcard (* ? < > "), which could match
// another entry.
std::optional<FolderEntry> folder_entry(std::wstring_view path);

// The path of the entry `name` in the folder at `folder` ("\\?\C:\" or
// "\\?\C:\x"): one separator between them.
std::wstring entry_path(std::wstring_view folder, std::wstring_view name);

// Where in listing a directory a call failed.
enum class ListingStep {
  open,   // opening the directory below its parent's handle
  first,  // the listing's first read through the directory's handle
  next,   // a later read
};

// What the Win32 error code `error` of a call that failed at `step` means
// for the listing. Only "nothing (more) to list" completes it: 2 at the
// first read (nothing matches, as in an empty drive root) and 18 at any
// read. Any other failure to open or to begin counts the directory as one
// that cannot be opened, whether it vanished (2, 3), is denied (5), is a
// file now (267), belongs to a cloud provider that is not running (362) or
// cannot be reached (1920). A later read that fails ends the listing with
// what was read.
ListStatus listing_status(ListingStep step, std::uint32_t error);

// True when `error` says the system or the file system does not support a
// handle-based call (an open relative to a handle, a directory query
// class), as some network drives, FAT on older systems and virtual machine
// shared folders answer: 1 (invalid function), 50 (not supported), 87
// (invalid parameter, as an unknown information class comes back).
bool listing_unsupported(std::uint32_t error);

// The two classes a directory is read with through its own handle:
// FileIdBothDirectoryInfo first, and FileFullDirectoryInfo where a file
// system does not answer that one. Both carry the name, the attributes,
// EndOfFile, AllocationSize and, in EaSize, the reparse tag.
enum class DirectoryClass : std::uint8_t { id_both, full };

// The FILE_INFO_BY_HANDLE_CLASS value GetFileInformationByHandleEx takes to
// read `type`, from the start of the directory when `restart`.
std::uint32_t directory_info_class(DirectoryClass type, bool restart);

}  // namespace oskra::platform::win32
