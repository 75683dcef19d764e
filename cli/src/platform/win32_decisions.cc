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
  // A root keeps its separator: "C:\" and "Volume{...}\" after the prefix.
  while (out.size() > VERBATIM.size() + 1 && out.back() == L'\\') {
    const std::wstring_view body =
        std::wstring_view(out).substr(VERBATIM.size(), out.size() - VERBATIM.size() - 1);
    if (body.ends_with(L':') || body.find(L'\\') == std::wstring_view::npos) break;
    out.pop_back();
  }
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

// Docs: Reparse Point Tags; MS-FSCC 2.1.2.1; File Attribute Constants; CF_PLACEHOLDER_STATE.
EntryKind classify_record(std::uint32_t attributes, std::uint32_t reparse_tag) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return EntryKind::file;
  // The tag means something only with the reparse-point bit set.
  const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (reparse && IsReparseTagNameSurrogate(reparse_tag)) return EntryKind::link;
  if ((attributes & (ATTRIBUTE_RECALL_ON_OPEN | ATTRIBUTE_RECALL_ON_DATA_ACCESS)) != 0) {
    return EntryKind::skip;
  }
  if (!reparse) return EntryKind::directory;
  // The cloud family is one tag with the four bits of
  // IO_REPARSE_TAG_CLOUD_MASK free for the provider's use.
  constexpr auto CLOUD = static_cast<std::uint32_t>(IO_REPARSE_TAG_CLOUD);
  constexpr auto CLOUD_MASK = static_cast<std::uint32_t>(IO_REPARSE_TAG_CLOUD_MASK);
  return (reparse_tag & ~CLOUD_MASK) == CLOUD ? EntryKind::directory : EntryKind::skip;
}

// Docs: File Attribute Constants (RECALL_ON_OPEN, RECALL_ON_DATA_ACCESS, OFFLINE).
bool data_elsewhere(std::uint32_t attributes) {
  return (attributes & (ATTRIBUTE_RECALL_ON_OPEN | ATTRIBUTE_RECALL_ON_DATA_ACCESS |
                        FILE_ATTRIBUTE_OFFLINE)) != 0;
}

// Docs: File Attribute Constants; FILE_FULL_DIR_INFO (EndOfFile, AllocationSize).
std::uint64_t counted_size(std::uint32_t attributes, std::uint64_t end_of_file,
                           std::uint64_t allocation) {
  if (!data_elsewhere(attributes)) return end_of_file;
  return allocation < end_of_file ? allocation : end_of_file;
}

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

namespace {

// Where a record of `Info` keeps its name. The fields both classes share
// (NextEntryOffset to EaSize) sit at the same places in each.
template <class Info>
constexpr std::size_t NAME_AT = offsetof(Info, FileName);

static_assert(offsetof(FILE_ID_BOTH_DIR_INFO, EaSize) == offsetof(FILE_FULL_DIR_INFO, EaSize));

// Appends the records of one read, or returns false at a record that does
// not fit in the `size` bytes read.
template <class Info>
bool take_records(const unsigned char* bytes, std::size_t size, RecordList& out) {
  for (std::size_t at = 0;;) {
    if (at + NAME_AT < Info >> size) return false;
    const auto* info = reinterpret_cast<const Info*>(bytes + at);
    if (at + NAME_AT<Info> + info->FileNameLength > size) return false;
    const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
    if (name != L"." && name != L"..") {
      // The reparse tag takes the place of the extended attributes' size,
      // which a reparse point cannot have (MS-FSA 2.1.5.6.3.3).
      const std::uint32_t attributes = info->FileAttributes;
      const std::uint32_t tag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? info->EaSize : 0;
      out.add(name, classify_record(attributes, tag),
              counted_size(attributes, static_cast<std::uint64_t>(info->EndOfFile.QuadPart),
                           static_cast<std::uint64_t>(info->AllocationSize.QuadPart)));
    }
    if (info->NextEntryOffset == 0) return true;
    at += info->NextEntryOffset;
  }
}

}  // namespace

// Docs: GetFileInformationByHandleEx; FILE_ID_BOTH_DIR_INFO; FILE_FULL_DIR_INFO.
ListStatus list_directory(const DirectoryRead& read, VolumeMemory& volume,
                          std::vector<std::uint64_t>& buffer, RecordList& out) {
  constexpr std::size_t BUFFER_BYTES = 64 * 1024;
  if (buffer.size() * sizeof(std::uint64_t) < BUFFER_BYTES) {
    buffer.assign(BUFFER_BYTES / sizeof(std::uint64_t), 0);
  }
  const auto* const bytes = reinterpret_cast<const unsigned char*>(buffer.data());
  const auto size = static_cast<std::uint32_t>(buffer.size() * sizeof(std::uint64_t));
  DirectoryClass type = volume.directory_class();
  bool restart = true;
  for (;;) {
    const std::uint32_t error = read(type, restart, buffer.data(), size);
    if (error != 0) {
      if (restart && type == DirectoryClass::id_both && listing_unsupported(error)) {
        volume.id_both_unsupported();
        type = DirectoryClass::full;
        continue;
      }
      return listing_status(restart ? ListingStep::first : ListingStep::next, error);
    }
    restart = false;
    const bool whole = type == DirectoryClass::id_both
                           ? take_records<FILE_ID_BOTH_DIR_INFO>(bytes, size, out)
                           : take_records<FILE_FULL_DIR_INFO>(bytes, size, out);
    // A record reaching past the buffer is not one to trust.
    if (!whole) return ListStatus::cut_short;
  }
}

namespace {

// `rel`'s components one by one; false for an empty one, which would open
// the directory before it again.
template <class Step>
bool each_component(std::wstring_view rel, Step step) {
  for (;;) {
    const std::size_t sep = rel.find(L'\\');
    const std::wstring_view name = rel.substr(0, sep);
    if (name.empty()) return false;
    if (!step(name)) return false;
    if (sep == std::wstring_view::npos) return true;
    rel.remove_prefix(sep + 1);
  }
}

bool enterable(const Opened& opened) {
  return classify_record(opened.attributes, opened.tag) == EntryKind::directory;
}

enum class Relative { ok, failed, unsupported };

Relative open_relative(const ComponentOpener& opener, std::intptr_t base, std::wstring_view rel,
                       std::intptr_t& out) {
  std::intptr_t held = 0;  // the last component opened, 0 before the first
  Relative result = Relative::ok;
  const bool whole = each_component(rel, [&](std::wstring_view name) {
    Opened next;
    const std::uint32_t error = opener.open(held != 0 ? held : base, name, next);
    if (held != 0) opener.close(held);
    held = 0;
    if (error != 0) {
      result = listing_unsupported(error) ? Relative::unsupported : Relative::failed;
      return false;
    }
    held = next.handle;
    return enterable(next);
  });
  if (whole) {
    out = held;
    return Relative::ok;
  }
  if (held != 0) opener.close(held);
  return result == Relative::ok ? Relative::failed : result;
}

bool open_by_path(const ComponentOpener& opener, std::intptr_t base, std::wstring_view base_path,
                  std::wstring_view rel, std::intptr_t& out) {
  std::wstring path(base_path);
  // The base by its path first: the folder there now must be the one open.
  Opened first;
  if (opener.open_path(path, /*hold=*/true, first) != 0) return false;
  if (!opener.same(first.handle, base)) {
    opener.close(first.handle);
    return false;
  }
  std::intptr_t held = first.handle;
  // Components still to open after the one being opened.
  auto left = static_cast<std::size_t>(std::count(rel.begin(), rel.end(), L'\\')) + 1;
  const bool whole = each_component(rel, [&](std::wstring_view name) {
    if (!path.ends_with(L'\\')) path.push_back(L'\\');
    path.append(name);
    // The last one stays open for listing and for its own subfolders; it
    // must not keep other programs from removing it meanwhile.
    Opened next;
    const std::uint32_t error = opener.open_path(path, /*hold=*/--left != 0, next);
    opener.close(held);
    held = 0;
    if (error != 0) return false;
    held = next.handle;
    return enterable(next);
  });
  if (whole) {
    out = held;
    return true;
  }
  if (held != 0) opener.close(held);
  return false;
}

}  // namespace

// Docs: NtCreateFile (RootDirectory, FILE_OPEN_REPARSE_POINT); CreateFileW (sharing modes).
bool open_below(const ComponentOpener& opener, VolumeMemory& volume, std::intptr_t base,
                std::wstring_view base_path, std::wstring_view rel, std::intptr_t& out) {
  if (opener.open && volume.relative_opens()) {
    switch (open_relative(opener, base, rel, out)) {
      case Relative::ok:
        return true;
      case Relative::failed:
        return false;
      case Relative::unsupported:
        volume.relative_opens_unsupported();
        break;
    }
  }
  return open_by_path(opener, base, base_path, rel, out);
}

}  // namespace oskra::platform::win32
