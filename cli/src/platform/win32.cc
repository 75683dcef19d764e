// The Windows realisation of the platform layer: process setup, text, paths
// and the standard streams; win32_listing.cc opens and lists directories.
// UNICODE, WIN32_LEAN_AND_MEAN and NOMINMAX come from the build.
#include <windows.h>
// After <windows.h>, which they need.
#include <shellapi.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/regular_file.h"
#include "platform/win32_decisions.h"
#include "platform/win32_listing.h"
#include "text/unicode.h"
#include "text/utf16.h"

namespace oskra::platform {
namespace {

using win32::VERBATIM;

// --- UTF-8 and UTF-16 --------------------------------------------------------

// wchar_t holds UTF-16 code units here, as char16_t does in the text
// library; a wide string is handed over in place, without a copy.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::u16string_view as_utf16(std::wstring_view w) {
  return {reinterpret_cast<const char16_t*>(w.data()), w.size()};
}

// --- Handles -----------------------------------------------------------------

using win32::own_handle;
using win32::UniqueHandle;

struct LocalFreer {
  void operator()(LPWSTR* p) const noexcept { LocalFree(p); }
};

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
    if (want < text.size() && unicode::is_high_surrogate(text[want - 1])) --want;
    DWORD done = 0;
    if (WriteConsoleW(h, text.data(), static_cast<DWORD>(want), &done, nullptr) == 0 || done == 0) {
      return false;
    }
    text.remove_prefix(done);
  }
  return true;
}

}  // namespace

// --- Process -----------------------------------------------------------------

namespace {

win32::TokenCalls process_token() {
  win32::TokenCalls calls;
  calls.open = [](std::intptr_t& token) {
    HANDLE handle = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &handle) ==
        0) {
      return false;
    }
    token = reinterpret_cast<std::intptr_t>(handle);
    return true;
  };
  calls.lookup = [](std::uint64_t& luid) {
    LUID value{};
    if (LookupPrivilegeValueW(nullptr, SE_BACKUP_NAME, &value) == 0) return false;
    luid = win32::join64(static_cast<std::uint32_t>(value.HighPart), value.LowPart);
    return true;
  };
  calls.enable = [](std::intptr_t token, std::uint64_t luid) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid.LowPart = static_cast<DWORD>(luid);
    privileges.Privileges[0].Luid.HighPart = static_cast<LONG>(luid >> 32);
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (AdjustTokenPrivileges(reinterpret_cast<HANDLE>(token), FALSE, &privileges,
                              sizeof privileges, nullptr, nullptr) == 0) {
      const DWORD error = GetLastError();
      return static_cast<std::uint32_t>(error != 0 ? error : ERROR_GEN_FAILURE);
    }
    // ERROR_SUCCESS, or ERROR_NOT_ALL_ASSIGNED when the token lacks it.
    return static_cast<std::uint32_t>(GetLastError());
  };
  calls.close = [](std::intptr_t token) { CloseHandle(reinterpret_cast<HANDLE>(token)); };
  return calls;
}

// The columns the status line covers, for the console control handler:
// the one piece of process-wide state besides the rule table, since the
// handler is called on a thread of its own with nothing else to reach.
std::atomic<std::size_t> status_cells{0};

// Docs: SetConsoleCtrlHandler; HandlerRoutine. Every event ends the process
// once the handlers are through (the default one calls ExitProcess), so
// each blanks the status line first and passes the event on.
BOOL WINAPI on_console_event(DWORD /*event*/) {
  const std::size_t cells = status_cells.load();
  if (cells != 0) {
    std::string blank = "\r";
    blank.append(cells, ' ');
    blank.push_back('\r');
    write_stderr(blank);
  }
  return FALSE;
}

}  // namespace

void set_status_cells(std::size_t cells) { status_cells.store(cells); }

void init_process() {
  // A drive without its medium must fail the call, not open a dialog box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  SetConsoleCtrlHandler(on_console_event, TRUE);
  // Elevated, an administrator's scan may read every folder.
  win32::enable_backup_privilege(process_token());
  // Output bypasses the C runtime (see write_stdout), so no text-mode
  // translation touches the line ends.
}

namespace {

// The arguments of `line` by CommandLineToArgvW, the program name first.
std::vector<std::wstring> split_command_line(const std::wstring& line) {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> argv(CommandLineToArgvW(line.c_str(), &count));
  std::vector<std::wstring> out;
  if (!argv) return out;
  for (int i = 0; i < count; ++i) out.emplace_back(argv.get()[i]);
  return out;
}

}  // namespace

std::optional<std::vector<std::string>> arguments(int /*argc*/, char** /*argv*/, std::string& bad) {
  // The C runtime's argv is in the ANSI code page and loses characters;
  // the command line itself is UTF-16.
  std::vector<std::wstring> split = split_command_line(GetCommandLineW());
  std::vector<std::string> out;
  if (split.empty()) return out;
  split.erase(split.begin());
  for (const std::wstring& typed : win32::mended_arguments(split, split_command_line)) {
    std::string arg;
    if (!unicode::append_utf16_as_utf8(as_utf16(typed), arg)) {
      bad = std::move(arg);
      return std::nullopt;
    }
    out.push_back(std::move(arg));
  }
  return out;
}

bool started_by_double_click(std::size_t argument_count) {
  // Past the buffer's length the count comes back alone; 0 means no console.
  DWORD ids[2] = {};
  const DWORD processes = GetConsoleProcessList(ids, 2);
  return win32::hold_window(argument_count, processes, is_console(GetStdHandle(STD_INPUT_HANDLE)),
                            is_console(GetStdHandle(STD_OUTPUT_HANDLE)));
}

void wait_for_key() {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (!is_console(in)) return;
  for (;;) {
    INPUT_RECORD record{};
    DWORD got = 0;
    if (ReadConsoleInputW(in, &record, 1, &got) == 0 || got == 0) return;
    // Key releases, mouse moves, focus and size changes come through too.
    if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
  }
}

// --- Text and paths ----------------------------------------------------------

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
  if (GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &data) == 0) return false;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  // The attributes are the link's own; only opening it shows whether its
  // target is there.
  return open_following_links(native) != nullptr;
}

std::optional<NativeString> canonicalize(std::string_view path) {
  const auto native = argument_native(path);
  if (!native) return std::nullopt;
  // Only what opens (links followed) is resolved; naming it is what may
  // need the fallbacks.
  const UniqueHandle handle = open_following_links(api_path(*native));
  if (!handle) return std::nullopt;
  const auto query = [&handle](wchar_t* buffer, std::uint32_t size, std::uint32_t flags) {
    return static_cast<std::uint32_t>(GetFinalPathNameByHandleW(handle.get(), buffer, size, flags));
  };
  return win32::canonical_path(query, full_path(*native).value_or(std::wstring()));
}

std::optional<std::uint64_t> root_file_size(NativeStringView path) {
  // Docs: GetFileAttributesExW; GetFileInformationByHandleEx (FileStandardInfo).
  const std::wstring native(path);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &data) == 0 ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  const std::uint64_t size =
      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  // What a file whose data is not all here holds on this disk: its
  // allocation, read without opening its data (which would fetch it), or
  // nothing when even that cannot be read.
  std::uint64_t allocation = 0;
  if (win32::data_elsewhere(data.dwFileAttributes)) {
    const UniqueHandle file = own_handle(
        CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_STANDARD_INFO info{};
    if (file &&
        GetFileInformationByHandleEx(file.get(), FileStandardInfo, &info, sizeof info) != 0) {
      allocation = static_cast<std::uint64_t>(info.AllocationSize.QuadPart);
    }
  }
  return win32::counted_size(data.dwFileAttributes, size, allocation);
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

// --- Standard streams --------------------------------------------------------

bool stdout_is_terminal() { return is_console(GetStdHandle(STD_OUTPUT_HANDLE)); }

bool write_stdout(std::string_view utf8, bool& reader_gone) {
  const HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  if (!is_console(h)) {
    if (write_bytes(h, utf8)) return true;
    if (win32::reader_gone(GetLastError())) reader_gone = true;
    return false;
  }
  // The report's writer hands over whole characters only.
  return write_console(h, from_utf8(utf8));
}

bool write_stdout(std::string_view utf8) {
  bool reader_gone = false;
  return write_stdout(utf8, reader_gone);
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
    const unicode::Utf16Units u = unicode::encode_utf16(d.code_point);
    for (std::size_t k = 0; k < u.size; ++k) piece[n++] = static_cast<wchar_t>(u.units[k]);
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

}  // namespace oskra::platform
