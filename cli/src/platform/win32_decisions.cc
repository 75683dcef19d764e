#include "platform/win32_decisions.h"

// For the flag values only; nothing here calls the system.
#include <windows.h>

#include <array>

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

EntryKind classify_record(std::uint32_t attributes, std::uint32_t reparse_tag) {
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // The tag means something only with the reparse-point bit set.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return directory ? EntryKind::directory : EntryKind::file;
  }
  if (!directory) return EntryKind::file;
  return IsReparseTagNameSurrogate(reparse_tag) ? EntryKind::link : EntryKind::skip;
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

bool listing_unsupported(std::uint32_t error) {
  // What "not implemented", "invalid device request", "not supported" and
  // "invalid information class" become in Win32 terms.
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER;
}

OpenBelow open_below(const ComponentOpener& opener, std::intptr_t base, std::wstring_view rel,
                     std::intptr_t& out) {
  std::intptr_t held = 0;  // the last component opened, 0 before the first
  OpenBelow result = OpenBelow::ok;
  for (;;) {
    const std::size_t sep = rel.find(L'\\');
    const std::wstring_view name = rel.substr(0, sep);
    // An empty name would open `base` itself again.
    if (name.empty()) {
      result = OpenBelow::failed;
      break;
    }
    std::intptr_t next = 0;
    std::uint32_t attributes = 0;
    const std::uint32_t error = opener.open(held != 0 ? held : base, name, next, attributes);
    if (held != 0) opener.close(held);
    held = 0;
    if (error != 0) {
      result = listing_unsupported(error) ? OpenBelow::by_path : OpenBelow::failed;
      break;
    }
    held = next;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      result = OpenBelow::failed;
      break;
    }
    if (sep == std::wstring_view::npos) {
      out = held;
      return OpenBelow::ok;
    }
    rel.remove_prefix(sep + 1);
  }
  if (held != 0) opener.close(held);
  return result;
}

}  // namespace oskra::platform::win32
