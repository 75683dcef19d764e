#include "platform/win32_listing_steps.h"

// For the structures and flag values only; nothing here calls the system.
#include <windows.h>

#include <algorithm>
#include <cstddef>

namespace oskra::platform::win32 {

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
