// The platform layer on Linux. Linux-specific: directories are read with
// getdents64, entries examined with statx (mount ids tell bind mounts apart),
// and the executable is found through /proc/self/exe.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "rules/unicode.h"

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

// Lists directories by opening each one relative to an open ancestor, so no
// path is ever handed to the kernel whole (there is no PATH_MAX limit on
// depth) and a folder swapped for a link is never followed. A bounded number
// of descriptors stays open, sized from the process's limit: when the chain
// of open ancestors grows past it, the shallowest are closed (the root
// stays) and reopened component by component from a deeper ancestor if
// needed again. Running out of descriptors anyway (other code holds some)
// releases the cached ones and tries again, so only a directory that truly
// cannot be opened is reported as such.
//
// Every entry costs one statx that never follows a link nor triggers an
// automount. A directory on another mount (another file system, or a bind
// mount of this one) is a mount point: never entered.
class PosixDirectorySource final : public DirectorySource {
 public:
  PosixDirectorySource() : max_open_(descriptor_budget()) {}

  ListStatus list(NativeStringView dir, RecordList& out) override {
    Fd fd = open_dir(dir);
    if (!fd.valid()) return ListStatus::open_failed;
    if (!have_root_) {
      Identity id;
      if (!identify(fd.get(), "", AT_EMPTY_PATH, id)) return ListStatus::open_failed;
      root_ = id;
      have_root_ = true;
    }
    if (!root_.has_mount_id && !track_path(dir, fd.get())) return ListStatus::open_failed;
    bool has_subdirs = false;
    const ListStatus status = read_records(fd.get(), out, has_subdirs);
    // Only a directory with subdirectories is opened from again.
    if (has_subdirs) remember(std::string(dir), std::move(fd));
    return status;
  }

 private:
  static constexpr std::size_t BUFFER_SIZE = 64 * 1024;

  struct OpenDir {
    std::string path;  // exact path as it was listed
    Fd fd;
  };

  // What tells one directory from another and one mount from another.
  struct Identity {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t mount_id = 0;
    bool has_mount_id = false;  // kernels before 5.8 do not report it
    std::uint32_t mode = 0;
    std::uint64_t size = 0;
  };

  // A directory on the path from the root to the one being listed, for
  // telling loops apart where mount ids are not reported.
  struct PathDir {
    std::size_t path_size;
    std::uint64_t dev;
    std::uint64_t ino;
  };

  // Half the descriptor limit, at most 32: the rest is left to the standard
  // streams and whatever else the process opens.
  static std::size_t descriptor_budget() {
    constexpr std::size_t MOST = 32;
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return MOST;
    const std::size_t half = static_cast<std::size_t>(limit.rlim_cur / 2);
    return half < 2 ? 2 : (half > MOST ? MOST : half);
  }

  // statx where the kernel has it, fstatat otherwise; never follows a link.
  bool identify(int at, const char* name, int flags, Identity& id) {
    flags |= AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT;
    if (use_statx_) {
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
      use_statx_ = false;
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

  static bool is_ancestor(std::string_view ancestor, std::string_view path) {
    const std::string_view base = without_trailing_slashes(ancestor);
    return path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
           path[base.size()] == '/';
  }

  // Keeps `path_dirs_` to the directories from the root down to `dir`.
  bool track_path(std::string_view dir, int fd) {
    std::size_t common = 0;
    while (common < dir.size() && common < path_.size() && dir[common] == path_[common]) ++common;
    while (!path_dirs_.empty()) {
      const std::size_t n =
          without_trailing_slashes(dir.substr(0, path_dirs_.back().path_size)).size();
      if (path_dirs_.back().path_size <= common && n < dir.size() && dir[n] == '/') break;
      path_dirs_.pop_back();
    }
    Identity id;
    if (!identify(fd, "", AT_EMPTY_PATH, id)) return false;
    path_.assign(dir);
    path_dirs_.push_back(PathDir{dir.size(), id.dev, id.ino});
    return true;
  }

  // True when entering the directory `id` would leave the root's mount or
  // come back to a directory already on the path.
  bool is_mount_point(const Identity& id) const {
    if (id.dev != root_.dev) return true;
    if (root_.has_mount_id) return !id.has_mount_id || id.mount_id != root_.mount_id;
    for (const PathDir& d : path_dirs_) {
      if (d.dev == id.dev && d.ino == id.ino) return true;
    }
    return false;
  }

  // Closes the shallowest cached descriptor that is neither the root nor
  // `keep`. False when there is none to close.
  bool release_one(int keep) {
    for (std::size_t i = 1; i < open_.size(); ++i) {
      if (open_[i].fd.get() != keep) {
        open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(i));
        return true;
      }
    }
    return false;
  }

  int open_at(int at, const char* name) {
    while (true) {
      const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) return fd;
      if (errno == EINTR) continue;
      if ((errno == EMFILE || errno == ENFILE) && release_one(at)) continue;
      return -1;
    }
  }

  void remember(std::string path, Fd fd) {
    open_.push_back(OpenDir{std::move(path), std::move(fd)});
    if (open_.size() > max_open_) open_.erase(open_.begin() + 1);
  }

  Fd open_dir(std::string_view dir) {
    // Drop what is not an ancestor of `dir`: the walk is depth first, so
    // those directories are finished.
    while (!open_.empty() && !is_ancestor(open_.back().path, dir)) open_.pop_back();
    if (open_.empty()) {
      // The first directory (the root): a canonical path that the kernel
      // takes whole.
      return Fd(open_at(AT_FDCWD, std::string(dir).c_str()));
    }
    // Walk down from the deepest open ancestor, one component at a time.
    std::string_view rest = dir.substr(without_trailing_slashes(open_.back().path).size() + 1);
    std::string component;
    while (true) {
      const std::size_t slash = rest.find('/');
      component.assign(rest.substr(0, slash));
      Fd fd(open_at(open_.back().fd.get(), component.c_str()));
      if (!fd.valid() || slash == std::string_view::npos) return fd;
      remember(std::string(dir.substr(0, dir.size() - rest.size() + slash)), std::move(fd));
      rest.remove_prefix(slash + 1);
    }
  }

  ListStatus read_records(int fd, RecordList& out, bool& has_subdirs) {
    if (!buffer_) buffer_ = std::make_unique<char[]>(BUFFER_SIZE);
    while (true) {
      const ssize_t n = ::getdents64(fd, buffer_.get(), BUFFER_SIZE);
      if (n == 0) return ListStatus::ok;
      if (n < 0) {
        if (errno == EINTR) continue;
        return ListStatus::cut_short;
      }
      for (ssize_t at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const struct dirent64*>(buffer_.get() + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        add_record(fd, name, entry->d_type, out, has_subdirs);
      }
    }
  }

  // The size is the logical size (st_size); the kind comes from the same
  // call, which never follows a link: what a link points at changes nothing.
  void add_record(int fd, const char* name, unsigned char type, RecordList& out,
                  bool& has_subdirs) {
    const std::string_view view(name);
    Identity id;
    if (!identify(fd, name, 0, id)) {
      // The entry went away or cannot be examined (a directory that may be
      // read but not searched): keep what the listing said, without a size.
      if (type == DT_DIR) {
        has_subdirs = true;
        out.add(view, EntryKind::directory, 0);
      } else {
        out.add(view, EntryKind::file, 0);
      }
      return;
    }
    if (S_ISDIR(id.mode)) {
      if (is_mount_point(id)) {
        // Like a mounted volume on Windows: counted, size 0, never entered.
        out.add(view, EntryKind::link, 0);
      } else {
        has_subdirs = true;
        out.add(view, EntryKind::directory, id.size);
      }
    } else if (S_ISLNK(id.mode)) {
      out.add(view, EntryKind::link, id.size);
    } else {
      out.add(view, EntryKind::file, id.size);
    }
  }

  std::size_t max_open_;
  std::vector<OpenDir> open_;
  std::unique_ptr<char[]> buffer_;
  Identity root_;
  bool have_root_ = false;
  bool use_statx_ = true;
  std::string path_;                // the directory last listed
  std::vector<PathDir> path_dirs_;  // from the root down to it
};

}  // namespace

void init_process() {
  // A closed pipe must be an ordinary write error, not a fatal signal.
  ::signal(SIGPIPE, SIG_IGN);
}

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

void write_stderr(std::string_view utf8) { (void)write_all(STDERR_FILENO, utf8); }

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

std::size_t stderr_columns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

std::unique_ptr<DirectorySource> make_directory_source() {
  return std::make_unique<PosixDirectorySource>();
}

}  // namespace oskra::platform
