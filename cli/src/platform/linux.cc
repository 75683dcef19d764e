// The platform layer on Linux, but for listing directories
// (linux_listing.cc): process setup, text and paths, the file beside the
// executable (found through /proc/self/exe), the standard streams.
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/linux_fd.h"
#include "platform/platform.h"
#include "platform/regular_file.h"
#include "text/unicode.h"

namespace oskra::platform {
namespace {

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// `path` up to, not including, its trailing slashes.
std::string_view without_trailing_slashes(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return path;
}

}  // namespace

namespace {

// The columns the status line covers, for the signal handler: the one piece
// of process-wide state besides the rule table, since a handler can reach
// nothing else. Written by the thread that draws, read by the handler on
// whichever thread the signal lands.
std::atomic<std::size_t> status_cells{0};
static_assert(std::atomic<std::size_t>::is_always_lock_free);

// Blanks the status line, then ends the process by the signal's default
// action, as it would have ended without this handler. Only
// async-signal-safe calls.
extern "C" void on_interrupt(int signal_number) {
  const std::size_t cells = status_cells.load();
  if (cells != 0) {
    static const char SPACES[] = "                                                                ";
    (void)::write(STDERR_FILENO, "\r", 1);
    for (std::size_t left = cells; left != 0;) {
      const std::size_t n = std::min(left, sizeof SPACES - 1);
      if (::write(STDERR_FILENO, SPACES, n) <= 0) break;
      left -= n;
    }
    (void)::write(STDERR_FILENO, "\r", 1);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void set_status_cells(std::size_t cells) { status_cells.store(cells); }

void init_process() {
  // A closed pipe must be an ordinary write error, not a fatal signal.
  ::signal(SIGPIPE, SIG_IGN);
  // An interruption blanks the status line first. A signal the process was
  // started ignoring (nohup, a background job) stays ignored.
  for (const int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction old = {};
    if (::sigaction(signal_number, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction action = {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
  }
#ifdef __GLIBC__
  // Two malloc arenas, not one per thread. A listing is allocated on a
  // worker and freed on the walk's thread, and an arena per worker each kept
  // its own high-water mark: 4 to 7 MiB of peak memory for nothing. One
  // arena for all made a whole-tree run (a node allocated per entry on the
  // walk's thread) 10% slower, waiting on the workers' lock; two do not.
  // Under a limit on address space, one: a second arena reserves 64 MiB of
  // it at once, and where that cannot be had glibc fails the allocation
  // rather than use the first.
  struct rlimit space;
  const bool limited = ::getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY;
  ::mallopt(M_ARENA_MAX, limited ? 1 : 2);
  // Threads started from now on (the listing workers, which need little)
  // get 256 KiB of stack rather than 8 MiB each: under a limit on address
  // space eight such stacks took most of it, and the scan ran out of memory
  // with plenty of it unused.
  pthread_attr_t attributes;
  if (::pthread_attr_init(&attributes) == 0) {
    ::pthread_attr_setstacksize(&attributes, 256 * 1024);
    ::pthread_setattr_default_np(&attributes);
    ::pthread_attr_destroy(&attributes);
  }
#endif
}

void* map_block(std::size_t bytes) {
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  // Only advice: where transparent huge pages are off it changes nothing.
  constexpr std::size_t LARGE_PAGE = 2u << 20;
  if (bytes >= LARGE_PAGE) ::madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}

void release_block(void* block, std::size_t bytes) {
  if (block != nullptr) ::munmap(block, bytes);
}

// A terminal outlives what runs in it.
bool started_by_double_click(std::size_t /*argument_count*/) { return false; }
void wait_for_key() {}

std::optional<std::vector<std::string>> arguments(int argc, char** argv, std::string& bad) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::string arg(argv[i]);
    if (!unicode::is_valid_utf8(arg)) {
      bad = to_utf8_lossy(arg);
      return std::nullopt;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

void append_utf8_lossy(std::string& out, NativeStringView native) {
  unicode::append_utf8_lossy(native, out);
}

NativeString from_utf8(std::string_view utf8) { return NativeString(utf8); }

bool exists(std::string_view path) {
  struct stat st;
  return ::stat(std::string(path).c_str(), &st) == 0;
}

std::optional<NativeString> canonicalize(std::string_view path) {
  const std::string p(path);
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(p.c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return NativeString(resolved.get());
}

std::optional<std::uint64_t> root_file_size(NativeStringView path) {
  struct stat st;
  if (::lstat(std::string(path).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

// A listing's size is the file's own here: nothing goes stale.
std::optional<std::uint64_t> own_file_size(NativeStringView path) { return root_file_size(path); }

std::string display_path(NativeStringView path) { return to_utf8_lossy(path); }

std::string entry_name(NativeStringView path) {
  const std::string_view trimmed = without_trailing_slashes(path);
  const std::size_t slash = trimmed.rfind('/');
  return to_utf8_lossy(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

NativeString listing_path(NativeStringView path) {
  return NativeString(without_trailing_slashes(path));
}

std::optional<NativeString> executable_directory() {
  std::string exe(256, '\0');
  while (true) {
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < exe.size()) {
      exe.resize(static_cast<std::size_t>(n));
      break;
    }
    exe.resize(exe.size() * 2);
  }
  const std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  exe.resize(slash + 1);
  return exe;
}

RegularFile::RegularFile(const NativeString& path) {
  // Non-blocking, so a fifo in the file's place cannot hang the run.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  size_ = static_cast<std::uint64_t>(st.st_size);
  handle_ = fd.release();
  open_ = true;
}

RegularFile::~RegularFile() {
  if (open_) ::close(static_cast<int>(handle_));
}

std::optional<std::size_t> RegularFile::read(char* buffer, std::size_t capacity) {
  while (true) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer, capacity);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::nullopt;
  }
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool write_stdout(std::string_view utf8) { return write_all(STDOUT_FILENO, utf8); }

bool write_stdout(std::string_view utf8, bool& reader_gone) {
  if (write_all(STDOUT_FILENO, utf8)) return true;
  if (errno == EPIPE) reader_gone = true;
  return false;
}

void write_stderr(std::string_view utf8) { (void)write_all(STDERR_FILENO, utf8); }

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

std::size_t stderr_columns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

// The listing walk is already near the floor here; no table is read.
std::optional<VolumeBytes> open_volume(NativeStringView, std::string& why_not) {
  why_not = "只在 Windows 上读取";
  return std::nullopt;
}

bool environment_set(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  return value != nullptr && *value != '\0';
}

}  // namespace oskra::platform
