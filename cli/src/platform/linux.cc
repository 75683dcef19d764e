// The platform layer on Linux. Linux-specific: directories are read with
// getdents64, entries examined with statx (mount ids tell bind mounts apart),
// and the executable is found through /proc/self/exe.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "text/unicode.h"

namespace oskra::platform {
namespace {

// Owns one file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

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

// What tells one directory from another and one mount from another.
struct Identity {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::uint64_t mount_id = 0;
  bool has_mount_id = false;  // kernels before 5.8 do not report it
  std::uint32_t mode = 0;
  std::uint64_t size = 0;
};

}  // namespace

// The mount the scan stays on and, where mount ids are not reported, the
// directories from the root down to this one, to tell a loop.
struct DirContext {
  std::uint64_t root_dev = 0;
  std::uint64_t root_mount_id = 0;
  bool has_mount_id = false;
  std::uint64_t dev = 0;  // this directory (only without mount ids)
  std::uint64_t ino = 0;
  std::shared_ptr<const DirContext> parent;  // likewise
};

struct DirectoryReader::State {
  std::unique_ptr<char[]> buffer;
  std::string component;  // the name being opened, NUL-terminated for the call
  bool use_statx = true;
};

namespace {

constexpr std::size_t BUFFER_SIZE = 64 * 1024;

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// statx where the kernel has it, fstatat otherwise; never follows a link
// nor triggers an automount.
bool identify(bool& use_statx, int at, const char* name, int flags, Identity& id) {
  flags |= AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT;
  if (use_statx) {
    struct statx sx;
    constexpr unsigned MASK = STATX_TYPE | STATX_SIZE | STATX_INO | STATX_MNT_ID;
    if (::statx(at, name, flags, MASK, &sx) == 0) {
      id.dev = (std::uint64_t{sx.stx_dev_major} << 32) | sx.stx_dev_minor;
      id.ino = sx.stx_ino;
      id.has_mount_id = (sx.stx_mask & STATX_MNT_ID) != 0;
      id.mount_id = sx.stx_mnt_id;
      id.mode = sx.stx_mode;
      id.size = sx.stx_size;
      return true;
    }
    // No statx (an old kernel, or a sandbox that forbids it).
    if (errno != ENOSYS && errno != EPERM) return false;
    use_statx = false;
  }
  struct stat st;
  if (::fstatat(at, name, &st, flags) != 0) return false;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.has_mount_id = false;
  id.mode = st.st_mode;
  id.size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

// True when entering the directory `id`, found in the directory `in`, would
// leave the root's mount or come back to a directory already on the path.
bool is_mount_point(const DirContext& in, const Identity& id) {
  if (id.dev != in.root_dev) return true;
  if (in.has_mount_id) return !id.has_mount_id || id.mount_id != in.root_mount_id;
  for (const DirContext* d = &in; d != nullptr; d = d->parent.get()) {
    if (d->dev == id.dev && d->ino == id.ino) return true;
  }
  return false;
}

OpenStatus open_status_of_errno() {
  return errno == EMFILE || errno == ENFILE ? OpenStatus::exhausted : OpenStatus::failed;
}

int open_dir_at(int at, const char* name) {
  while (true) {
    const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

}  // namespace

DirHandle::DirHandle() : native_(-1) {}
DirHandle::DirHandle(std::intptr_t native, std::shared_ptr<const DirContext> context)
    : native_(native), context_(std::move(context)) {}
DirHandle::DirHandle(DirHandle&& other) noexcept
    : native_(other.native_), context_(std::move(other.context_)) {
  other.native_ = -1;
}
DirHandle& DirHandle::operator=(DirHandle&& other) noexcept {
  if (this != &other) {
    reset();
    native_ = other.native_;
    context_ = std::move(other.context_);
    other.native_ = -1;
  }
  return *this;
}
DirHandle::~DirHandle() { reset(); }
void DirHandle::reset() {
  if (native_ >= 0) ::close(static_cast<int>(native_));
  native_ = -1;
  context_.reset();
}

DirectoryReader::DirectoryReader() : state_(std::make_unique<State>()) {}
DirectoryReader::~DirectoryReader() = default;

OpenStatus DirectoryReader::open_root(NativeStringView path, DirHandle& out) {
  Fd fd(open_dir_at(AT_FDCWD, std::string(path).c_str()));
  if (!fd.valid()) return open_status_of_errno();
  Identity id;
  if (!identify(state_->use_statx, fd.get(), "", AT_EMPTY_PATH, id)) return OpenStatus::failed;
  auto context = std::make_shared<DirContext>();
  context->root_dev = id.dev;
  context->root_mount_id = id.mount_id;
  context->has_mount_id = id.has_mount_id;
  context->dev = id.dev;
  context->ino = id.ino;
  out = DirHandle(fd.release(), std::move(context));
  return OpenStatus::ok;
}

OpenStatus DirectoryReader::open(const DirHandle& base, NativeStringView rel, DirHandle& out) {
  // One component at a time, each relative to the one before.
  std::shared_ptr<const DirContext> context = base.shared_context();
  Fd fd;
  int at = static_cast<int>(base.native());
  std::string& component = state_->component;
  while (true) {
    const std::size_t slash = rel.find('/');
    component.assign(rel.substr(0, slash));
    Fd next(open_dir_at(at, component.c_str()));
    if (!next.valid()) return open_status_of_errno();
    fd = std::move(next);
    at = fd.get();
    if (!context->has_mount_id) {
      // Remember the path down, to tell loops without mount ids.
      Identity id;
      if (!identify(state_->use_statx, fd.get(), "", AT_EMPTY_PATH, id)) return OpenStatus::failed;
      auto own = std::make_shared<DirContext>(*context);
      own->dev = id.dev;
      own->ino = id.ino;
      own->parent = std::move(context);
      context = std::move(own);
    }
    if (slash == NativeStringView::npos) break;
    rel.remove_prefix(slash + 1);
  }
  out = DirHandle(fd.release(), std::move(context));
  return OpenStatus::ok;
}

ListStatus DirectoryReader::read(const DirHandle& dir, RecordList& out) {
  State& st = *state_;
  if (!st.buffer) st.buffer = std::make_unique<char[]>(BUFFER_SIZE);
  const int fd = static_cast<int>(dir.native());
  const DirContext& context = dir.context();
  while (true) {
    const ssize_t n = ::getdents64(fd, st.buffer.get(), BUFFER_SIZE);
    if (n == 0) return ListStatus::ok;
    if (n < 0) {
      if (errno == EINTR) continue;
      return ListStatus::cut_short;
    }
    // What this piece holds, so the list grows once for it.
    std::size_t count = 0;
    std::size_t name_bytes = 0;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(st.buffer.get() + at);
      at += entry->d_reclen;
      if (is_dot_or_dot_dot(entry->d_name)) continue;
      count += 1;
      name_bytes += std::strlen(entry->d_name);
    }
    out.reserve_more(count, name_bytes);
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(st.buffer.get() + at);
      at += entry->d_reclen;
      const char* name = entry->d_name;
      if (is_dot_or_dot_dot(name)) continue;
      const std::string_view view(name);
      // The size is the logical size (st_size); the kind comes from the
      // same call, which never follows a link: what a link points at
      // changes nothing.
      Identity id;
      if (!identify(st.use_statx, fd, name, 0, id)) {
        // The entry went away or cannot be examined (a directory that may
        // be read but not searched): what the listing said, without a size.
        out.add(view, entry->d_type == DT_DIR ? EntryKind::directory : EntryKind::file, 0);
      } else if (S_ISDIR(id.mode)) {
        // A mount point is like a mounted volume on Windows: counted,
        // size 0, never entered.
        if (is_mount_point(context, id)) {
          out.add(view, EntryKind::link, 0);
        } else {
          out.add(view, EntryKind::directory, id.size);
        }
      } else if (S_ISLNK(id.mode)) {
        out.add(view, EntryKind::link, id.size);
      } else {
        out.add(view, EntryKind::file, id.size);
      }
    }
  }
}

std::size_t descriptor_budget() {
  // What is left after the standard streams and a margin for the rest.
  constexpr std::size_t MOST = 1024;
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return MOST;
  const std::size_t total = static_cast<std::size_t>(limit.rlim_cur);
  return total <= 10 ? 2 : std::min<std::size_t>(total - 8, MOST);
}

bool on_rotating_disk(NativeStringView root) {
  struct stat st;
  if (::stat(std::string(root).c_str(), &st) != 0) return false;
  const std::string link =
      "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  std::unique_ptr<char, decltype(&std::free)> device(::realpath(link.c_str(), nullptr), &std::free);
  // No block device (tmpfs, overlay, a network share): nothing rotates.
  if (!device) return false;
  // A virtio disk reports "rotational" by default, whatever the host stores
  // it on: its answer says nothing.
  if (std::string_view(device.get()).find("/virtio") != std::string_view::npos) return false;
  // A partition's queue settings are its disk's, one folder up.
  for (const char* queue : {"/queue/rotational", "/../queue/rotational"}) {
    Fd fd(::open((std::string(device.get()) + queue).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) continue;
    char c = 0;
    return ::read(fd.get(), &c, 1) == 1 && c == '1';
  }
  return false;
}

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
  ::mallopt(M_ARENA_MAX, 2);
#endif
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

std::string to_utf8_lossy(NativeStringView native) {
  std::string out;
  append_utf8_lossy(out, native);
  return out;
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

std::string display_path(NativeStringView path) { return to_utf8_lossy(path); }

std::string entry_name(NativeStringView path) {
  const std::string_view trimmed = without_trailing_slashes(path);
  const std::size_t slash = trimmed.rfind('/');
  return to_utf8_lossy(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

NativeString listing_path(NativeStringView path) {
  return NativeString(without_trailing_slashes(path));
}

std::optional<std::string> read_file_beside_executable(std::string_view file_name) {
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
  std::string path = exe.substr(0, slash + 1);
  path.append(file_name);

  // Non-blocking, so a fifo in the file's place cannot hang the run; only a
  // regular file of a sane size is read.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uint64_t>(st.st_size) > MAX_FILE_BESIDE_EXECUTABLE) {
    return std::nullopt;
  }
  std::string bytes;
  char chunk[16 * 1024];
  while (true) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n == 0) return bytes;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    bytes.append(chunk, static_cast<std::size_t>(n));
    // It grew while being read.
    if (bytes.size() > MAX_FILE_BESIDE_EXECUTABLE) return std::nullopt;
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

}  // namespace oskra::platform
