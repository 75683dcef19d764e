// The platform layer on Linux and other POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
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
// depth). At most MAX_OPEN descriptors stay open: when the chain of open
// ancestors grows past that, the shallowest are closed (the root stays) and
// reopened component by component from a deeper ancestor if needed again.
class PosixDirectorySource final : public DirectorySource {
 public:
  ListStatus list(NativeStringView dir, RecordList& out) override {
    Fd fd = open_dir(dir);
    if (!fd.valid()) return ListStatus::open_failed;
    if (!have_root_dev_) {
      struct stat st;
      if (::fstat(fd.get(), &st) != 0) return ListStatus::open_failed;
      root_dev_ = st.st_dev;
      have_root_dev_ = true;
    }
    bool has_subdirs = false;
    const ListStatus status = read_records(fd.get(), out, has_subdirs);
    // Only a directory with subdirectories is opened from again.
    if (has_subdirs) remember(std::string(dir), std::move(fd));
    return status;
  }

 private:
  static constexpr std::size_t MAX_OPEN = 32;
  static constexpr std::size_t BUFFER_SIZE = 64 * 1024;

  struct OpenDir {
    std::string path;  // exact path as it was listed
    Fd fd;
  };

  static bool is_ancestor(std::string_view ancestor, std::string_view path) {
    const std::string_view base = without_trailing_slashes(ancestor);
    return path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
           path[base.size()] == '/';
  }

  static int open_at(int at, const char* name) {
    int fd;
    do {
      fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
  }

  void remember(std::string path, Fd fd) {
    open_.push_back(OpenDir{std::move(path), std::move(fd)});
    if (open_.size() > MAX_OPEN) open_.erase(open_.begin() + 1);
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

  // One fstatat per entry gives the size (the logical size, st_size) and,
  // where the listing gave no type, the kind.
  void add_record(int fd, const char* name, unsigned char type, RecordList& out,
                  bool& has_subdirs) {
    const std::string_view view(name);
    struct stat st;
    if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // The entry went away or cannot be examined (a directory that may be
      // read but not searched): keep what the listing said, without a size.
      if (type == DT_DIR) {
        has_subdirs = true;
        out.add(view, ATTR_DIRECTORY, 0, 0);
      } else {
        out.add(view, 0, 0, 0);
      }
      return;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (S_ISDIR(st.st_mode)) {
      if (st.st_dev != root_dev_) {
        // A mount point: like a mounted volume on Windows, never entered.
        out.add(view, ATTR_DIRECTORY | ATTR_REPARSE_POINT, TAG_NAME_SURROGATE, 0);
      } else {
        has_subdirs = true;
        out.add(view, ATTR_DIRECTORY, 0, size);
      }
    } else if (S_ISLNK(st.st_mode)) {
      // A link is a reparse point; one to a directory is a name surrogate.
      struct stat target;
      const bool to_dir = ::fstatat(fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
      out.add(view, ATTR_REPARSE_POINT | (to_dir ? ATTR_DIRECTORY : 0), TAG_NAME_SURROGATE, size);
    } else {
      out.add(view, 0, 0, size);
    }
  }

  std::vector<OpenDir> open_;
  std::unique_ptr<char[]> buffer_;
  dev_t root_dev_ = 0;
  bool have_root_dev_ = false;
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
  // regular file is read.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
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
  }
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool write_stdout(std::string_view utf8) { return write_all(STDOUT_FILENO, utf8); }

void write_stderr(std::string_view utf8) { (void)write_all(STDERR_FILENO, utf8); }

std::unique_ptr<DirectorySource> make_directory_source() {
  return std::make_unique<PosixDirectorySource>();
}

}  // namespace oskra::platform
