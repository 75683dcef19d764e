// The Windows realisation of the platform layer. The only file that includes
// <windows.h>; UNICODE, WIN32_LEAN_AND_MEAN and NOMINMAX come from the build.
#include <windows.h>
// After <windows.h>, which they need.
#include <shellapi.h>
#include <winioctl.h>
#include <winternl.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_decisions.h"
#include "platform/win32_listing.h"
#include "text/unicode.h"
#include "text/utf16.h"

namespace oskra::platform {
namespace {

constexpr std::wstring_view VERBATIM = L"\\\\?\\";

// --- UTF-8 and UTF-16 --------------------------------------------------------

// wchar_t holds UTF-16 code units here, as char16_t does in the text
// library; a wide string is handed over in place, without a copy.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::u16string_view as_utf16(std::wstring_view w) {
  return {reinterpret_cast<const char16_t*>(w.data()), w.size()};
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
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return std::wstring(VERBATIM) + full;
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

// --- Directory listing -------------------------------------------------------

// Appends one record of a listing.
void deliver(const WIN32_FIND_DATAW& data, RecordList& out) {
  const std::wstring_view field(data.cFileName, std::size(data.cFileName));
  const std::wstring_view name = field.substr(0, field.find(L'\0'));
  if (name == L"." || name == L"..") return;
  const std::uint64_t size =
      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  out.add(name, win32::classify_record(data.dwFileAttributes, data.dwReserved0), size);
}

}  // namespace

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
    std::string arg;
    if (!unicode::append_utf16_as_utf8(as_utf16(argv.get()[i]), arg)) {
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
  return write_console(h, from_utf8(utf8));
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

// --- Directory listing -------------------------------------------------------

// What a directory's handle carries: its full path, for listing it by path
// where listing through the handle is not supported.
struct DirContext {
  std::wstring path;
};

namespace win32 {

std::optional<ListStatus> list_by_handle(std::intptr_t dir, std::vector<std::uint64_t>& buffer,
                                         RecordList& out) {
  constexpr std::size_t BUFFER_BYTES = 64 * 1024;
  if (buffer.size() * sizeof(std::uint64_t) < BUFFER_BYTES) {
    buffer.assign(BUFFER_BYTES / sizeof(std::uint64_t), 0);
  }
  const auto handle = reinterpret_cast<HANDLE>(dir);
  const auto* const bytes = reinterpret_cast<const unsigned char*>(buffer.data());
  const std::size_t size = buffer.size() * sizeof(std::uint64_t);
  constexpr std::size_t NAME_AT = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
  ListingStep step = ListingStep::first;
  for (;;) {
    const FILE_INFO_BY_HANDLE_CLASS query =
        step == ListingStep::first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
    if (GetFileInformationByHandleEx(handle, query, buffer.data(), static_cast<DWORD>(size)) == 0) {
      const DWORD error = GetLastError();
      // A handle that is no directory gets the same answer; listed by path,
      // it then fails as it should.
      if (step == ListingStep::first && listing_unsupported(error)) return std::nullopt;
      return listing_status(step, error);
    }
    step = ListingStep::next;
    for (std::size_t at = 0;;) {
      // A record reaching past the buffer is not one to trust.
      if (at + NAME_AT > size) return ListStatus::cut_short;
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + at);
      if (at + NAME_AT + info->FileNameLength > size) return ListStatus::cut_short;
      const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        // The reparse tag shares its place with the extended attributes'
        // size, which a reparse point cannot have.
        const DWORD attributes = info->FileAttributes;
        const DWORD tag = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? info->EaSize : 0;
        out.add(name, classify_record(attributes, tag),
                static_cast<std::uint64_t>(info->EndOfFile.QuadPart));
      }
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
    }
  }
}

ListStatus list_by_path(NativeStringView path, RecordList& out) {
  std::wstring pattern(path);
  pattern.append(L"\\*");
  WIN32_FIND_DATAW data{};
  const HANDLE first = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (first == INVALID_HANDLE_VALUE) return listing_status(ListingStep::first, GetLastError());
  const UniqueFind find(first);
  for (;;) {
    deliver(data, out);
    if (FindNextFileW(find.get(), &data) == 0) {
      return listing_status(ListingStep::next, GetLastError());
    }
  }
}

}  // namespace win32

namespace {

// A function of ntdll, looked up at run time: the executable imports nothing
// from ntdll. Null when it is missing.
template <class Function>
Function ntdll_function(const char* name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return nullptr;
  // Through the one function type that converts to any other.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)));
}

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using NtStatusToWin32Function = ULONG(NTAPI*)(NTSTATUS);

// Opens directories below an open one with NtCreateFile, the one call that
// opens relative to a handle without following a reparse point; nothing
// where ntdll lacks it.
win32::ComponentOpener relative_opener() {
  const auto create = ntdll_function<NtCreateFileFunction>("NtCreateFile");
  const auto to_win32 = ntdll_function<NtStatusToWin32Function>("RtlNtStatusToDosError");
  if (create == nullptr || to_win32 == nullptr) return {};
  win32::ComponentOpener opener;
  opener.open = [create, to_win32](std::intptr_t parent, std::wstring_view name,
                                   std::intptr_t& opened, std::uint32_t& attributes) {
    // A counted name of at most 32767 characters.
    if (name.size() > 0x7FFF) return static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE);
    UNICODE_STRING object_name;
    object_name.Buffer = const_cast<PWSTR>(name.data());
    object_name.Length = object_name.MaximumLength =
        static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES object{};
    object.Length = sizeof object;
    object.RootDirectory = reinterpret_cast<HANDLE>(parent);
    object.ObjectName = &object_name;
    object.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        create(&handle, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &object, &io,
               nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
               FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT |
                   FILE_OPEN_FOR_BACKUP_INTENT,
               nullptr, 0);
    if (status < 0) {
      const ULONG error = to_win32(status);
      return static_cast<std::uint32_t>(error != 0 ? error : ERROR_GEN_FAILURE);
    }
    FILE_BASIC_INFO info{};
    if (GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) == 0) {
      const DWORD error = GetLastError();
      CloseHandle(handle);
      return static_cast<std::uint32_t>(error != 0 ? error : ERROR_GEN_FAILURE);
    }
    opened = reinterpret_cast<std::intptr_t>(handle);
    attributes = info.FileAttributes;
    return std::uint32_t{0};
  };
  opener.close = [](std::intptr_t handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); };
  return opener;
}

}  // namespace

// `native` is the directory's HANDLE, or 0 where it is listed by path alone.
DirHandle::DirHandle() : native_(0) {}
DirHandle::DirHandle(std::intptr_t native, std::shared_ptr<const DirContext> context)
    : native_(native), context_(std::move(context)) {}
DirHandle::DirHandle(DirHandle&& other) noexcept
    : native_(other.native_), context_(std::move(other.context_)) {
  other.native_ = 0;
}
DirHandle& DirHandle::operator=(DirHandle&& other) noexcept {
  if (this != &other) {
    reset();
    native_ = other.native_;
    context_ = std::move(other.context_);
    other.native_ = 0;
  }
  return *this;
}
DirHandle::~DirHandle() { reset(); }
void DirHandle::reset() {
  if (native_ != 0) CloseHandle(reinterpret_cast<HANDLE>(native_));
  native_ = 0;
  context_.reset();
}

struct DirectoryReader::State {
  win32::ComponentOpener opener = relative_opener();
  std::vector<std::uint64_t> buffer;
};

DirectoryReader::DirectoryReader() : state_(std::make_unique<State>()) {}
DirectoryReader::~DirectoryReader() = default;

OpenStatus DirectoryReader::open_root(NativeStringView path, DirHandle& out) {
  std::wstring listing = listing_path(path);
  // A root keeps its separator: "\\?\C:" alone is the volume, not the
  // folder at its root. Links on the way are followed; the path is
  // canonical already.
  std::wstring name = listing;
  if (path.ends_with(L'\\') || entry_name(path).empty()) name.push_back(L'\\');
  const HANDLE handle = CreateFileW(name.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenStatus::failed;
  out = DirHandle(reinterpret_cast<std::intptr_t>(handle),
                  std::make_shared<const DirContext>(DirContext{std::move(listing)}));
  return OpenStatus::ok;
}

OpenStatus DirectoryReader::open(const DirHandle& base, NativeStringView rel, DirHandle& out) {
  std::intptr_t handle = 0;
  // Below a directory listed by path, or without the call for it, by path.
  if (base.native() != 0 && state_->opener.open) {
    switch (win32::open_below(state_->opener, base.native(), rel, handle)) {
      case win32::OpenBelow::ok:
        break;
      case win32::OpenBelow::failed:
        return OpenStatus::failed;
      case win32::OpenBelow::by_path:
        handle = 0;
        break;
    }
  }
  std::wstring path = base.context().path;
  path.push_back(L'\\');
  path.append(rel);
  out = DirHandle(handle, std::make_shared<const DirContext>(DirContext{std::move(path)}));
  return OpenStatus::ok;
}

ListStatus DirectoryReader::read(const DirHandle& dir, RecordList& out) {
  if (dir.native() != 0) {
    if (const auto status = win32::list_by_handle(dir.native(), state_->buffer, out)) {
      return *status;
    }
  }
  return win32::list_by_path(dir.context().path, out);
}

bool DirectoryReader::identify(const DirHandle& dir, DirIdentity& out) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (dir.native() == 0 ||
      GetFileInformationByHandle(reinterpret_cast<HANDLE>(dir.native()), &info) == 0) {
    return false;
  }
  out = DirIdentity{info.dwVolumeSerialNumber,
                    (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

// A handle cannot be opened relative to another by "..": a directory given
// up is opened again from an ancestor instead.
OpenStatus DirectoryReader::open_parent(const DirHandle&, const DirIdentity&, DirHandle&) {
  return OpenStatus::failed;
}

// The listing buffer comes from the process heap, which has no per-thread
// reservation to fail; it is made on first use.
bool DirectoryReader::reserve() { return true; }

// A 64-bit process has more address space than it can use.
std::uint64_t address_space_limit() { return UINT64_MAX; }

// Handles are not the scarce resource descriptors are on Linux.
std::size_t descriptor_budget() { return 1024; }

bool on_rotating_disk(NativeStringView root) {
  // The volume of a drive-letter path ("\\?\C:\..." or "C:\..."); shares and
  // volumes without a letter report no disk.
  std::wstring_view p = root;
  while (p.starts_with(VERBATIM)) p.remove_prefix(VERBATIM.size());
  if (p.size() < 2 || p[1] != L':') return false;
  const std::wstring volume = std::wstring(L"\\\\.\\") + p[0] + L":";
  const UniqueHandle device = own_handle(CreateFileW(
      volume.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!device) return false;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceSeekPenaltyProperty;
  query.QueryType = PropertyStandardQuery;
  DEVICE_SEEK_PENALTY_DESCRIPTOR penalty{};
  DWORD got = 0;
  if (DeviceIoControl(device.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &penalty,
                      sizeof penalty, &got, nullptr) == 0 ||
      got < sizeof penalty) {
    return false;
  }
  return penalty.IncursSeekPenalty != FALSE;
}

}  // namespace oskra::platform
