// The Windows realisation of the platform layer: process setup and the
// standard streams; win32_paths.cc has text and paths, win32_listing.cc
// opens and lists directories.
// UNICODE, WIN32_LEAN_AND_MEAN and NOMINMAX come from the build.
#include <windows.h>
// After <windows.h>, which they need.
#include <shellapi.h>

#include <algorithm>
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

using win32::as_utf16;

struct LocalFreer {
  void operator()(LPWSTR* p) const noexcept { LocalFree(p); }
};

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
  // Cloud files as they are, whatever Windows chose for this program.
  using SetModeFunction = CHAR(NTAPI*)(CHAR);
  const auto set_mode =
      win32::ntdll_function<SetModeFunction>("RtlSetProcessPlaceholderCompatibilityMode");
  win32::PlaceholderModeSetter setter;
  if (set_mode != nullptr) {
    setter = [set_mode](std::int8_t mode) { return static_cast<std::int8_t>(set_mode(mode)); };
  }
  win32::expose_placeholders(setter);
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

// --- A volume's own table ---------------------------------------------------

// Docs: GetEnvironmentVariableW (0 when the variable is missing or empty).
bool environment_set(std::string_view name) {
  wchar_t value[2];
  const std::wstring wide(name.begin(), name.end());
  return GetEnvironmentVariableW(wide.c_str(), value, 2) > 0;
}

namespace {

// Docs: GetVolumeInformationW (MAX_PATH + 1 for the file system's name).
std::wstring file_system_of(const std::wstring& root) {
  wchar_t name[MAX_PATH + 1] = {};
  if (GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name,
                            MAX_PATH + 1) == 0) {
    return {};
  }
  return name;
}

// Docs: ReadFile (an OVERLAPPED's offset on a synchronous handle); File
// Buffering (a volume's reads in whole sectors, which the caller keeps to).
bool read_volume(HANDLE volume, std::uint64_t offset, std::span<std::byte> out) {
  constexpr std::size_t MOST_AT_ONCE = 1u << 30;
  while (!out.empty()) {
    const std::size_t size = std::min(out.size(), MOST_AT_ONCE);
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (ReadFile(volume, out.data(), static_cast<DWORD>(size), &got, &at) == 0 || got == 0) {
      return false;
    }
    offset += got;
    out = out.subspan(got);
  }
  return true;
}

}  // namespace

// Docs: CreateFileW (Physical Disks and Volumes: "\\.\X:", both share modes);
// GetDriveTypeW.
std::optional<VolumeBytes> open_volume(NativeStringView root, std::string& why_not) {
  std::optional<win32::TableVolume> where = win32::table_volume(root);
  if (!where) {
    why_not = "不在盘符上";
    return std::nullopt;
  }
  const win32::TableConditions conditions{environment_set(TABLE_SWITCH),
                                          win32::enable_backup_privilege(process_token()),
                                          GetDriveTypeW(where->root.c_str())};
  why_not = win32::why_no_table(conditions);
  if (!why_not.empty()) return std::nullopt;
  // Others keep writing to the volume: the table is read as it stands, and
  // the self-check against the folders' own listings catches a change.
  const std::shared_ptr<void> volume(win32::own_handle(
      CreateFileW(where->device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (!volume) {
    why_not = "卷无法打开 (" + std::to_string(GetLastError()) + ")";
    return std::nullopt;
  }
  if (!win32::table_understood(file_system_of(where->root))) {
    why_not = "不是 NTFS";
    return std::nullopt;
  }
  VolumeBytes out;
  out.read = [volume](std::uint64_t offset, std::span<std::byte> bytes) {
    return read_volume(volume.get(), offset, bytes);
  };
  out.folder = std::move(where->folder);
  return out;
}

// Reserved and committed in one call; committed pages read as zero and are
// backed only when first touched. Released with MEM_RELEASE and size 0, as
// VirtualFree requires for a whole reservation. Large pages would need the
// "Lock pages in memory" privilege, which a user does not have.
// https://learn.microsoft.com/windows/win32/api/memoryapi/nf-memoryapi-virtualalloc
// https://learn.microsoft.com/windows/win32/api/memoryapi/nf-memoryapi-virtualfree
void* map_block(std::size_t bytes) {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void release_block(void* block, std::size_t /*bytes*/) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace oskra::platform
