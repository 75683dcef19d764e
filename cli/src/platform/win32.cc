// The Windows realisation of the platform layer. The only file that includes
// <windows.h>; UNICODE, WIN32_LEAN_AND_MEAN and NOMINMAX come from the build.
#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_decisions.h"
#include "rules/unicode.h"

namespace oskra::platform {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;
constexpr std::wstring_view VERBATIM = L"\\\\?\\";

// --- UTF-8 and UTF-16 --------------------------------------------------------

void append_utf16(std::wstring& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<wchar_t>(cp));
  }
}

bool is_high_surrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Appends UTF-16 as UTF-8; every unpaired surrogate becomes U+FFFD and
// clears `valid` when given.
void append_utf16_as_utf8(std::string& out, std::wstring_view w, bool* valid) {
  out.reserve(out.size() + w.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    const wchar_t c = w[i];
    char32_t cp = c;
    if (is_high_surrogate(c) && i + 1 < w.size() && is_low_surrogate(w[i + 1])) {
      cp = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
           (static_cast<char32_t>(w[i + 1]) - 0xDC00);
      ++i;
    } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
      cp = REPLACEMENT;
      if (valid != nullptr) *valid = false;
    }
    unicode::append_utf8(cp, out);
  }
}

std::string utf16_to_utf8(std::wstring_view w, bool* valid) {
  std::string out;
  append_utf16_as_utf8(out, w, valid);
  return out;
}

// Appends the UTF-16 form of `utf8`; ill-formed parts become U+FFFD.
void utf8_to_utf16(std::string_view utf8, std::wstring& out) {
  std::size_t i = 0;
  while (i < utf8.size()) {
    const unicode::Decoded d = unicode::decode(utf8, i);
    append_utf16(out, d.code_point);
    i += d.length;
  }
}

// --- Handles -----------------------------------------------------------------

struct HandleCloser {
  void operator()(HANDLE h) const noexcept { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

UniqueHandle own_handle(HANDLE h) { return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h); }

struct FindCloser {
  void operator()(HANDLE h) const noexcept { FindClose(h); }
};
using UniqueFind = std::unique_ptr<void, FindCloser>;

struct LocalFreer {
  void operator()(LPWSTR* p) const noexcept { LocalFree(p); }
};

// Paths typed by the user may be longer than the classic limit, which
// Win32 enforces on any path without the verbatim prefix. Such a path is
// made absolute (as Win32 would) and given the prefix; shorter paths are
// left exactly as typed.
std::wstring api_path(std::wstring path) {
  if (path.starts_with(VERBATIM) || path.starts_with(L"\\\\.\\")) return path;
  // Room for "\*" and a file name's worth of margin.
  constexpr std::size_t SAFE = MAX_PATH - 12;
  std::wstring full(path.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return path;
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.assign(n, L'\0');
  }
  if (full.size() < SAFE) return path;
  if (full.starts_with(L"\\\\")) return std::wstring(VERBATIM) + L"UNC" + full.substr(1);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return std::wstring(VERBATIM) + full;
  return path;
}

// The native path for a UTF-8 path, or nothing when it cannot name a file
// (an embedded NUL would silently name a different one).
std::optional<std::wstring> native_for_api(std::string_view utf8) {
  if (utf8.find('\0') != std::string_view::npos) return std::nullopt;
  return api_path(from_utf8(utf8));
}

UniqueHandle open_following_links(const std::wstring& path) {
  // No access rights are needed to ask for the final path; backup semantics
  // let directories open too. Links are followed.
  return own_handle(CreateFileW(path.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// --- Standard streams --------------------------------------------------------

bool is_console(HANDLE h) {
  DWORD mode = 0;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

bool write_bytes(HANDLE h, std::string_view bytes) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return false;
  while (!bytes.empty()) {
    constexpr std::size_t PIECE = 1u << 30;
    const auto want = static_cast<DWORD>(bytes.size() < PIECE ? bytes.size() : PIECE);
    DWORD done = 0;
    if (WriteFile(h, bytes.data(), want, &done, nullptr) == 0 || done == 0) return false;
    bytes.remove_prefix(done);
  }
  return true;
}

bool write_console(HANDLE h, std::wstring_view text) {
  while (!text.empty()) {
    // Large single writes fail on some consoles; never split a surrogate
    // pair between two writes.
    std::size_t want = text.size() < 8192 ? text.size() : 8192;
    if (want < text.size() && is_high_surrogate(text[want - 1])) --want;
    DWORD done = 0;
    if (WriteConsoleW(h, text.data(), static_cast<DWORD>(want), &done, nullptr) == 0 || done == 0) {
      return false;
    }
    text.remove_prefix(done);
  }
  return true;
}

// --- Directory listing -------------------------------------------------------

class Win32DirectorySource final : public DirectorySource {
 public:
  ListStatus list(NativeStringView dir, RecordList& out) override {
    const std::wstring pattern = listing_path(dir) + L"\\*";
    WIN32_FIND_DATAW data{};
    const HANDLE first =
        FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                         FIND_FIRST_EX_LARGE_FETCH);
    if (first == INVALID_HANDLE_VALUE) {
      // Nothing matches "*": an empty drive root, not an error.
      return GetLastError() == ERROR_FILE_NOT_FOUND ? ListStatus::ok : ListStatus::open_failed;
    }
    const UniqueFind find(first);
    for (;;) {
      deliver(data, out);
      if (FindNextFileW(find.get(), &data) == 0) {
        return GetLastError() == ERROR_NO_MORE_FILES ? ListStatus::ok : ListStatus::cut_short;
      }
    }
  }

 private:
  static void deliver(const WIN32_FIND_DATAW& data, RecordList& out) {
    const std::wstring_view field(data.cFileName, std::size(data.cFileName));
    const std::wstring_view name = field.substr(0, field.find(L'\0'));
    if (name == L"." || name == L"..") return;
    const std::uint64_t size =
        (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    out.add(name, classify_record(data.dwFileAttributes, data.dwReserved0), size);
  }
};

}  // namespace

EntryKind classify_record(std::uint32_t attributes, std::uint32_t reparse_tag) {
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // The tag means something only with the reparse-point bit set.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return directory ? EntryKind::directory : EntryKind::file;
  }
  if (!directory) return EntryKind::file;
  return IsReparseTagNameSurrogate(reparse_tag) ? EntryKind::link : EntryKind::skip;
}

// --- Process -----------------------------------------------------------------

void init_process() {
  // A drive without its medium must fail the call, not open a dialog box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // Output bypasses the C runtime (see write_stdout), so no text-mode
  // translation touches the line ends.
}

std::optional<std::vector<std::string>> arguments(int /*argc*/, char** /*argv*/, std::string& bad) {
  // The C runtime's argv is in the ANSI code page and loses characters;
  // the command line itself is UTF-16.
  int count = 0;
  std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  std::vector<std::string> out;
  if (!argv) return out;
  for (int i = 1; i < count; ++i) {
    bool valid = true;
    std::string arg = utf16_to_utf8(argv.get()[i], &valid);
    if (!valid) {
      bad = std::move(arg);
      return std::nullopt;
    }
    out.push_back(std::move(arg));
  }
  return out;
}

// --- Text and paths ----------------------------------------------------------

void append_utf8_lossy(std::string& out, NativeStringView native) {
  append_utf16_as_utf8(out, native, nullptr);
}

std::string to_utf8_lossy(NativeStringView native) { return utf16_to_utf8(native, nullptr); }

NativeString from_utf8(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  utf8_to_utf16(utf8, out);
  return out;
}

bool exists(std::string_view path) {
  const auto native = native_for_api(path);
  if (!native) return false;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(native->c_str(), GetFileExInfoStandard, &data) == 0) return false;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  // The attributes are the link's own; only opening it shows whether its
  // target is there.
  return open_following_links(*native) != nullptr;
}

std::optional<NativeString> canonicalize(std::string_view path) {
  const auto native = native_for_api(path);
  if (!native) return std::nullopt;
  const UniqueHandle handle = open_following_links(*native);
  if (!handle) return std::nullopt;
  std::wstring out(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        GetFinalPathNameByHandleW(handle.get(), out.data(), static_cast<DWORD>(out.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return std::nullopt;
    // Too small a buffer: `n` is the size needed, terminator included.
    if (n < out.size()) {
      out.resize(n);
      return out;
    }
    out.assign(n, L'\0');
  }
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
  const auto drive_at = [&](std::size_t i) {
    return path.size() >= i + 2 && path[i + 1] == L':' &&
           ((path[i] >= L'A' && path[i] <= L'Z') || (path[i] >= L'a' && path[i] <= L'z'));
  };
  if (verbatim) {
    const std::wstring_view after = path.substr(VERBATIM.size());
    if (after.size() >= 4 && (after[0] == L'U' || after[0] == L'u') &&
        (after[1] == L'N' || after[1] == L'n') && (after[2] == L'C' || after[2] == L'c') &&
        after[3] == L'\\') {
      root = skip_components(VERBATIM.size() + 4, 2);
    } else if (drive_at(VERBATIM.size())) {
      root = VERBATIM.size() + 2;
    } else {
      root = skip_components(VERBATIM.size(), 1);
    }
  } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    const bool device =
        path.size() >= 4 && (path[2] == L'.' || path[2] == L'?') && is_separator(path[3]);
    root = device ? skip_components(4, 1) : skip_components(2, 2);
  } else if (drive_at(0)) {
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

// --- Standard streams --------------------------------------------------------

bool stdout_is_terminal() { return is_console(GetStdHandle(STD_OUTPUT_HANDLE)); }

bool write_stdout(std::string_view utf8) {
  const HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!is_console(h)) return write_bytes(h, utf8);
  // The report's writer hands over whole characters only.
  std::wstring text;
  text.reserve(utf8.size());
  utf8_to_utf16(utf8, text);
  return write_console(h, text);
}

void write_stderr(std::string_view utf8) {
  const HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  if (!is_console(h)) {
    write_bytes(h, utf8);
    return;
  }
  // Converted piece by piece on the stack, with no allocation: this also
  // says that memory ran out.
  wchar_t piece[256];
  std::size_t n = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const unicode::Decoded d = unicode::decode(utf8, i);
    i += d.length;
    if (n + 2 > std::size(piece)) {
      write_console(h, std::wstring_view(piece, n));
      n = 0;
    }
    char32_t cp = d.code_point;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      piece[n++] = static_cast<wchar_t>(0xD800 + (cp >> 10));
      piece[n++] = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
    } else {
      piece[n++] = static_cast<wchar_t>(cp);
    }
  }
  write_console(h, std::wstring_view(piece, n));
}

bool stderr_is_terminal() { return is_console(GetStdHandle(STD_ERROR_HANDLE)); }

std::size_t stderr_columns() {
  // The visible window, not the buffer, which may be wider than the screen.
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) == 0) return 0;
  const int width = info.srWindow.Right - info.srWindow.Left + 1;
  return width > 0 ? static_cast<std::size_t>(width) : 0;
}

// --- Directory listing -------------------------------------------------------

std::unique_ptr<DirectorySource> make_directory_source() {
  return std::make_unique<Win32DirectorySource>();
}

}  // namespace oskra::platform
