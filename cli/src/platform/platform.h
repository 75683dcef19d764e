// The platform layer (this folder): every operation the program needs from
// the operating system, and the only code that includes system headers:
// list a directory's records (records.h), canonicalise a path, read the file
// beside the executable, write to the standard streams, and what a scan
// must know of the process and the disk. `linux.cc` and `win32.cc` (with
// their listing files) realise it; CMake picks one. It includes nothing of
// the layers above it.
//
// Error contract: operations that can fail say so in their return value (an
// empty optional, false, or a status); none prints. None throws but for
// memory: an allocation that fails (records, paths, a reader's buffer the
// walk's own thread cannot have) raises std::bad_alloc after calling the
// new-handler, which in the program ends the run, so nothing unwinds.
// Text crossing this interface is UTF-8; native paths (`NativeString`:
// UTF-16 on Windows, bytes elsewhere) are used only to name things on disk,
// so every directory is reached under its exact native name.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/records.h"

namespace oskra::platform {

// The separator the walk puts between a directory and an entry name.
inline constexpr NativeChar SEPARATOR = static_cast<NativeChar>(
#ifdef _WIN32
    '\\'
#else
    '/'
#endif
);

// --- Process -----------------------------------------------------------------

// Per-process setup the rest relies on (a closed pipe must surface as a
// failed write, not a signal; an interruption blanks the status line). Call
// once at the start of main.
void init_process();

// The arguments after the program name as UTF-8. Empty optional when one is
// not valid text (invalid UTF-8, an unpaired UTF-16 surrogate); `bad` then
// holds its lossy form for the message.
std::optional<std::vector<std::string>> arguments(int argc, char** argv, std::string& bad);

// True when the console window goes away with the process before its text
// can be read: started with `argument_count` 0 on a console of its own, as a
// double-click in Explorer starts it. `wait_for_key` then holds the window
// until a key is pressed. A terminal outlives what runs in it, so neither
// does anything on Linux.
bool started_by_double_click(std::size_t argument_count);
void wait_for_key();

// --- Text and paths ----------------------------------------------------------

// Lossy conversion: every maximal invalid sequence (or unpaired surrogate)
// becomes U+FFFD. The append form lets the walk reuse one buffer.
void append_utf8_lossy(std::string& out, NativeStringView native);
std::string to_utf8_lossy(NativeStringView native);

// The native form of a UTF-8 path typed by the user.
NativeString from_utf8(std::string_view utf8);

// Metadata of `path`, links followed, as an existence check.
bool exists(std::string_view path);

// The absolute, fully resolved form of `path` (on Windows the verbatim form
// beginning with "\\?\"). Empty optional on any failure. On Windows, for
// both of these, "D:" alone is the root of drive D.
std::optional<NativeString> canonicalize(std::string_view path);

// The bytes the resolved root `path` counts when it is a file (anything but
// a directory), as a listing would count it; nothing for a directory, or
// when one metadata call on the path cannot tell (the walk then finds out).
// Links are not followed: the path is resolved already.
std::optional<std::uint64_t> root_file_size(NativeStringView path);

// The bytes the file at `path` counts, asked of the file itself rather than
// of its folder's listing, which NTFS may leave stale (a file open and
// growing, or changed through another of its hard links): through a handle
// opened for its attributes only, so that no link is followed and no data
// is recalled. Nothing for a directory, or when it cannot be opened so.
std::optional<std::uint64_t> own_file_size(NativeStringView path);

// The text shown for a native path: lossy UTF-8 with, on Windows, every
// leading verbatim prefix "\\?\" removed; nothing else changes.
std::string display_path(NativeStringView path);

// The last component of `path` as lossy UTF-8; empty for a drive, share or
// file system root ("/", "\\?\C:\", "\\?\UNC\srv\share").
std::string entry_name(NativeStringView path);

// `path` without its trailing separators, in the form entries are joined to
// (on Windows also with the verbatim prefix put in front when missing). The
// root "/" gives the empty text, so its entries read "/bin".
NativeString listing_path(NativeStringView path);

// The bytes of `file_name` in the running executable's directory, or nothing
// when the executable's path, its directory or the file cannot be read, or
// the file is not a regular file of at most MAX_FILE_BESIDE_EXECUTABLE bytes
// (a device or a huge file must not exhaust memory).
inline constexpr std::uint64_t MAX_FILE_BESIDE_EXECUTABLE = 16 * 1024 * 1024;
std::optional<std::string> read_file_beside_executable(std::string_view file_name);

// --- Standard streams --------------------------------------------------------

// True when standard output is a terminal (on Windows, a console).
bool stdout_is_terminal();

// Writes UTF-8 text to standard output (on a Windows console, as UTF-16).
// False when it could not all be written.
bool write_stdout(std::string_view utf8);
// The same; when it fails because standard output is a pipe whose reader
// has gone (EPIPE; ERROR_NO_DATA or ERROR_BROKEN_PIPE on Windows),
// `reader_gone` is set as well.
bool write_stdout(std::string_view utf8, bool& reader_gone);

// Best effort; standard error has nowhere to report its own failures.
void write_stderr(std::string_view utf8);

// True when standard error is a terminal (on Windows, a console).
bool stderr_is_terminal();

// The columns of standard error a status line now covers (0: none shows),
// for an interruption to blank before the program ends as an interrupted
// program ends there: Ctrl+C, Ctrl+Break or a closed console on Windows,
// SIGINT or SIGTERM on Linux. init_process sets that up.
void set_status_cells(std::size_t cells);

// The width in columns of the terminal or console standard error shows on;
// 0 when it cannot be told.
std::size_t stderr_columns();

// --- Directory listing -------------------------------------------------------

// What a realisation keeps beside an open directory's handle.
struct DirContext;

// An open directory of the real file system. Entries below it are opened
// relative to it, never by a path resolved again from the root, so a folder
// swapped for a link while the scan runs is not followed. Closes on
// destruction; may move between threads.
class DirHandle {
 public:
  // What `native` holds when there is no handle: a descriptor is never -1,
  // a HANDLE to a directory never 0.
#ifdef _WIN32
  static constexpr std::intptr_t NONE = 0;
#else
  static constexpr std::intptr_t NONE = -1;
#endif

  DirHandle() = default;
  DirHandle(std::intptr_t native, std::shared_ptr<const DirContext> context)
      : native_(native), context_(std::move(context)) {}
  DirHandle(DirHandle&& other) noexcept
      : native_(std::exchange(other.native_, NONE)), context_(std::move(other.context_)) {}
  DirHandle& operator=(DirHandle&& other) noexcept {
    if (this != &other) {
      reset();
      native_ = std::exchange(other.native_, NONE);
      context_ = std::move(other.context_);
    }
    return *this;
  }
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;
  ~DirHandle() { reset(); }

  bool valid() const { return context_ != nullptr; }
  std::intptr_t native() const { return native_; }
  const DirContext& context() const { return *context_; }
  const std::shared_ptr<const DirContext>& shared_context() const { return context_; }

 private:
  // Each realisation closes its own kind of handle.
  static void close(std::intptr_t native);
  void reset() {
    if (native_ != NONE) close(native_);
    native_ = NONE;
    context_.reset();
  }

  std::intptr_t native_ = NONE;
  std::shared_ptr<const DirContext> context_;
};

enum class OpenStatus {
  ok,
  failed,     // the directory cannot be opened (gone, denied, a link now)
  exhausted,  // the process has no descriptor or handle left: try again later
};

// What tells one directory from every other on the machine (device and
// inode; volume and file id), to check that a directory reached again by
// another route is the one listed before.
struct DirIdentity {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;       // the inode, or the low half of a 128-bit file id
  std::uint64_t file_high = 0;  // the high half of such an id (ReFS); 0 elsewhere
  bool operator==(const DirIdentity&) const = default;
};

// Opens and reads directories of the real file system. One reader per
// thread (it owns the read buffer); its handles are not tied to it.
class DirectoryReader {
 public:
  using Handle = DirHandle;

  DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;
  ~DirectoryReader();

  // The root of a scan, by its canonical path. What is learnt there (the
  // volume the scan stays on) is handed down to every handle opened below.
  OpenStatus open_root(NativeStringView path, DirHandle& out);
  // `rel` (one or more components joined by SEPARATOR) below `base`; no
  // component is followed if it is a link or a reparse point.
  OpenStatus open(const DirHandle& base, NativeStringView rel, DirHandle& out);
  // Appends the records of `dir` to `out`, in listing order, "." and ".."
  // left out. A first read that fails is an open that fails.
  ListStatus read(const DirHandle& dir, RecordList& out);
  // The identity of an open directory; false when it cannot be told.
  bool identify(const DirHandle& dir, DirIdentity& out);
  // The directory holding `dir`, reached through `dir` itself, not by a
  // path: so a handle given up for lack of descriptors can be had again at
  // the cost of one open, however deep the tree. Fails unless it is
  // `expected` (the directory may have moved since), and where the system
  // has no such call (Windows).
  OpenStatus open_parent(const DirHandle& dir, const DirIdentity& expected, DirHandle& out);
  // Gets the memory reading needs now, without ending the run if there is
  // none: false then, and a listing thread leaves the work to the others.
  bool reserve();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// How many descriptors (or handles) a scan may keep open at once, all its
// threads together: what the process may still open when it is asked (a
// parent may have left descriptors open), less room for whatever else the
// process opens.
std::size_t descriptor_budget();

// The most address space the process may take (`ulimit -v`); the largest
// value when there is no such limit.
std::uint64_t address_space_limit();

// --- A volume's own table ---------------------------------------------------

// A volume opened to read its bytes, to take a folder's tree from the
// volume's master file table instead of listing every folder.
struct VolumeBytes {
  // Reads exactly `out.size()` bytes at byte `offset` of the volume; false
  // on any failure. Offsets, sizes and the buffer's address are multiples
  // of the sector size, as a raw volume wants them. One thread at a time;
  // the volume stays open while a copy of this is alive.
  std::function<bool(std::uint64_t offset, std::span<std::byte> out)> read;
  // The folder scanned, below the volume's root: its names joined by
  // SEPARATOR, empty for the root itself.
  NativeString folder;
};

// The volume holding the folder `root` (its canonical path), opened for
// reading its table, when that is allowed and wanted: on Windows, a folder
// on a drive letter's local fixed NTFS volume, the process holding the
// backup privilege (elevated), and TABLE_SWITCH not set. Nothing otherwise,
// and always on other systems: the folders are listed, and `why_not` says
// why in a few words.
std::optional<VolumeBytes> open_volume(NativeStringView root, std::string& why_not);

// Set to anything but the empty text, the environment variable that keeps
// the table unread, for troubleshooting.
inline constexpr std::string_view TABLE_SWITCH = "OSKRA_NO_MFT";

// Set to anything but the empty text, the environment variable that asks
// for one line on standard error saying how the tree was read.
inline constexpr std::string_view EXPLAIN_SWITCH = "OSKRA_EXPLAIN";

// True when the environment variable `name` (ASCII) is set to some text.
bool environment_set(std::string_view name);

// --- Bulk memory ---------------------------------------------------------------

// A block of `bytes` of zeroed, writable memory straight from the system, for
// data that is built once and released as a whole; null when there is none.
// Where the system offers it (Linux), a block of 2 MiB or more asks for large
// pages: a tree of millions of entries then costs a few hundred page faults
// rather than tens of thousands. `release_block` takes back exactly such a block.
void* map_block(std::size_t bytes);
void release_block(void* block, std::size_t bytes);

// True when `root` lives on a rotating disk, where reading several
// directories at once costs seeks instead of saving waits. False when the
// answer is unknown or there is no disk (a RAM or network file system).
bool on_rotating_disk(NativeStringView root);

}  // namespace oskra::platform
