// Listing directories on Linux: each is opened relative to an open parent
// with openat, read with getdents64, and every entry examined with one statx
// (mount ids tell bind mounts apart), never following a link.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/linux_fd.h"
#include "platform/platform.h"

namespace oskra::platform {
namespace {

// What tells one directory from another and one mount from another.
struct Identity {
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::uint64_t mount_id = 0;
  bool has_mount_id = false;  // kernels before 5.8 do not report it
  std::uint32_t mode = 0;
  std::uint64_t size = 0;
};

// What statx told of an entry, with its device in the form stat gives it,
// so that the two calls agree.
Identity identity_of(const struct statx& sx) {
  Identity id;
  id.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  id.ino = sx.stx_ino;
  id.has_mount_id = (sx.stx_mask & STATX_MNT_ID) != 0;
  id.mount_id = sx.stx_mnt_id;
  id.mode = sx.stx_mode;
  id.size = sx.stx_size;
  return id;
}

}  // namespace

// The mount the scan stays on and, where mount ids are not reported, the
// directories from the root down to this one, to tell a loop.
struct DirContext {
  std::uint64_t root_dev = 0;
  std::uint64_t root_ino = 0;
  std::uint64_t root_mount_id = 0;
  bool has_mount_id = false;
  // Whether statx may be asked at all: a sandbox may forbid it, a kernel
  // may lack it. Learnt once, at the root, for the whole scan.
  bool use_statx = true;
  std::uint64_t dev = 0;  // this directory (only without mount ids)
  std::uint64_t ino = 0;
  std::shared_ptr<const DirContext> parent;  // likewise
};

namespace {

constexpr std::size_t BUFFER_SIZE = 64 * 1024;

struct FreeDeleter {
  void operator()(char* p) const noexcept { std::free(p); }
};

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// What examining one entry gave.
enum class Examined {
  ok,
  gone,    // it went away since the listing named it
  failed,  // it is there but cannot be examined: its size is lost
};

bool stat_entry(int at, const char* name, int flags, Identity& id) {
  struct stat st;
  int result;
  do {
    result = ::fstatat(at, name, &st, flags);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.has_mount_id = false;
  id.mode = st.st_mode;
  id.size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

// One statx, or where it is not to be used or fails for this one entry (a
// FUSE file system may refuse it for a single file), fstatat for this entry
// alone. Never follows a link nor triggers an automount.
Examined identify_entry(bool use_statx, int at, const char* name, int flags, Identity& id) {
  flags |= AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT;
  if (use_statx) {
    struct statx sx;
    constexpr unsigned MASK = STATX_TYPE | STATX_SIZE | STATX_INO | STATX_MNT_ID;
    int result;
    do {
      result = ::statx(at, name, flags, MASK, &sx);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
      id = identity_of(sx);
      return Examined::ok;
    }
    if (errno == ENOENT) return Examined::gone;  // no second call needed
  }
  if (stat_entry(at, name, flags, id)) return Examined::ok;
  return errno == ENOENT ? Examined::gone : Examined::failed;
}

// The mount `name` (below `at`; `at` itself for "" with AT_EMPTY_PATH) is
// on, where statx cannot tell it: the file handle call reports it too, and
// never follows a link.
bool mount_id_of(int at, const char* name, int flags, std::uint64_t& out) {
  alignas(struct file_handle) unsigned char buffer[sizeof(struct file_handle) + MAX_HANDLE_SZ];
  auto* const handle = reinterpret_cast<struct file_handle*>(buffer);
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mount_id = 0;
  int result;
  do {
    result = ::name_to_handle_at(at, name, handle, &mount_id, flags);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;
  out = static_cast<std::uint64_t>(mount_id);
  return true;
}

// True when entering the directory `id`, found in the directory `in`, would
// leave the root's mount or come back to a directory already on the path.
// Where the root's mount id is known, so is the entry's.
bool leaves_tree(const DirContext& in, const Identity& id) {
  if (id.dev != in.root_dev) return true;
  if (in.has_mount_id) return id.mount_id != in.root_mount_id;
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

// Below `context`, the context of the directory `fd` just opened: the same
// one where mount ids tell loops, else one more step on the path.
bool descend(std::shared_ptr<const DirContext>& context, int fd) {
  if (context->has_mount_id) return true;
  Identity id;
  if (!stat_entry(fd, "", AT_EMPTY_PATH, id)) return false;
  auto own = std::make_shared<DirContext>(*context);
  own->dev = id.dev;
  own->ino = id.ino;
  own->parent = std::move(context);
  context = std::move(own);
  return true;
}

}  // namespace

void DirHandle::close(std::intptr_t native) { ::close(static_cast<int>(native)); }

struct DirectoryReader::State {
  std::unique_ptr<char, FreeDeleter> buffer;
  std::string component;  // the name being opened, NUL-terminated for the call
};

DirectoryReader::DirectoryReader() : state_(std::make_unique<State>()) {}
DirectoryReader::~DirectoryReader() = default;

bool DirectoryReader::reserve() {
  if (!state_->buffer) state_->buffer.reset(static_cast<char*>(std::malloc(BUFFER_SIZE)));
  return state_->buffer != nullptr;
}

OpenStatus DirectoryReader::open_root(NativeStringView path, DirHandle& out) {
  Fd fd(open_dir_at(AT_FDCWD, std::string(path).c_str()));
  if (!fd.valid()) return open_status_of_errno();
  auto context = std::make_shared<DirContext>();
  Identity id;
  struct statx sx;
  constexpr unsigned MASK = STATX_TYPE | STATX_INO | STATX_MNT_ID;
  if (::statx(fd.get(), "", AT_EMPTY_PATH, MASK, &sx) == 0) {
    id = identity_of(sx);
  } else {
    // No statx (an old kernel, or a sandbox that forbids it): not for this
    // scan, rather than one failed call per entry.
    context->use_statx = false;
    if (!stat_entry(fd.get(), "", AT_EMPTY_PATH, id)) return OpenStatus::failed;
  }
  // Kernels before 5.8, and the C library standing in for a missing statx,
  // report no mount id: the ids file handles report tell mounts apart then,
  // where the file system gives handles.
  if (!id.has_mount_id) id.has_mount_id = mount_id_of(fd.get(), "", AT_EMPTY_PATH, id.mount_id);
  context->root_dev = id.dev;
  context->root_ino = id.ino;
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
    if (!descend(context, fd.get())) return OpenStatus::failed;
    if (slash == NativeStringView::npos) break;
    rel.remove_prefix(slash + 1);
  }
  out = DirHandle(fd.release(), std::move(context));
  return OpenStatus::ok;
}

bool DirectoryReader::identify(const DirHandle& dir, DirIdentity& out) {
  struct stat st;
  if (::fstat(static_cast<int>(dir.native()), &st) != 0) return false;
  out = DirIdentity{st.st_dev, st.st_ino};
  return true;
}

OpenStatus DirectoryReader::open_parent(const DirHandle& dir, const DirIdentity& expected,
                                        DirHandle& out) {
  // ".." is the directory's own parent, wherever it now is; only the one
  // listed before will do.
  Fd fd(open_dir_at(static_cast<int>(dir.native()), ".."));
  if (!fd.valid()) return open_status_of_errno();
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || DirIdentity{st.st_dev, st.st_ino} != expected) {
    return OpenStatus::failed;
  }
  const DirContext& context = dir.context();
  out = DirHandle(fd.release(), context.has_mount_id ? dir.shared_context() : context.parent);
  return out.valid() ? OpenStatus::ok : OpenStatus::failed;
}

namespace {

// The record of `entry`, found in the directory open as `fd`; false when
// its size could not be read.
bool add_record(const DirContext& context, int fd, const struct dirent64& entry, RecordList& out) {
  const std::string_view name(entry.d_name);
  // The size is the logical size (st_size); the kind comes from the same
  // call, which never follows a link: what a link points at changes nothing.
  Identity id;
  switch (identify_entry(context.use_statx, fd, entry.d_name, 0, id)) {
    case Examined::gone:
      // What the listing said, without a size: nothing is lost.
      out.add(name, entry.d_type == DT_DIR ? EntryKind::directory : EntryKind::file, 0);
      return true;
    case Examined::failed:
      // There, but not to be examined (a folder that may be read but not
      // searched): named without its size, and a folder among them is not
      // entered, as nothing says which mount it is on.
      out.add(name, entry.d_type == DT_DIR ? EntryKind::link : EntryKind::file, 0);
      return false;
    case Examined::ok:
      break;
  }
  if (S_ISDIR(id.mode)) {
    if (context.has_mount_id && !id.has_mount_id &&
        !(id.has_mount_id = mount_id_of(fd, entry.d_name, 0, id.mount_id))) {
      // Its mount cannot be told: not entered, and the listing is not whole.
      out.add(name, EntryKind::link, 0);
      return false;
    }
    // A mount point is like a mounted volume on Windows: counted, size 0,
    // never entered.
    if (leaves_tree(context, id)) {
      out.add(name, EntryKind::link, 0);
    } else {
      out.add(name, EntryKind::directory, id.size);
    }
  } else if (S_ISLNK(id.mode)) {
    out.add(name, EntryKind::link, id.size);
  } else {
    out.add(name, EntryKind::file, id.size);
  }
  return true;
}

// The records of one piece of `size` bytes that getdents64 read; false when
// a size in it could not be read.
bool add_piece(const DirContext& context, int fd, const char* piece, std::size_t size,
               RecordList& out) {
  const auto each_entry = [&](auto visit) {
    for (std::size_t at = 0; at < size;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(piece + at);
      at += entry->d_reclen;
      if (!is_dot_or_dot_dot(entry->d_name)) visit(*entry);
    }
  };
  // What the piece holds, so the list grows once for it.
  std::size_t count = 0;
  std::size_t name_bytes = 0;
  each_entry([&](const struct dirent64& entry) {
    count += 1;
    name_bytes += std::strlen(entry.d_name);
  });
  out.reserve_more(count, name_bytes);
  bool whole = true;
  each_entry([&](const struct dirent64& entry) {
    if (!add_record(context, fd, entry, out)) whole = false;
  });
  return whole;
}

}  // namespace

ListStatus DirectoryReader::read(const DirHandle& dir, RecordList& out) {
  if (!reserve()) {
    // The walk's own reader: out of memory ends the run as anywhere else.
    if (const std::new_handler handler = std::get_new_handler()) handler();
    throw std::bad_alloc();
  }
  char* const buffer = state_->buffer.get();
  const int fd = static_cast<int>(dir.native());
  bool first = true;
  bool whole = true;  // every size read: a lost one makes the listing cut short
  while (true) {
    const ssize_t n = ::getdents64(fd, buffer, BUFFER_SIZE);
    if (n == 0) return whole ? ListStatus::ok : ListStatus::cut_short;
    if (n < 0) {
      if (errno == EINTR) continue;
      // Nothing read at all: as good as an open that failed.
      return first ? ListStatus::open_failed : ListStatus::cut_short;
    }
    first = false;
    if (!add_piece(dir.context(), fd, buffer, static_cast<std::size_t>(n), out)) whole = false;
  }
}

namespace {

// Descriptors open now below `limit`: the numbers the scan cannot have.
// /proc/self/fd lists them (with one more, its own, while it is read);
// without /proc, each number below the limit is tried.
std::size_t open_descriptors(std::size_t limit) {
  const std::size_t probe = std::min<std::size_t>(limit, 1u << 16);
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    std::size_t count = 0;
    while (const struct dirent* entry = ::readdir(dir)) {
      char* end = nullptr;
      const unsigned long fd = std::strtoul(entry->d_name, &end, 10);
      if (*end == '\0' && end != entry->d_name && fd < limit &&
          fd != static_cast<unsigned long>(own)) {
        ++count;
      }
    }
    ::closedir(dir);
    return count;
  }
  std::size_t count = 0;
  for (std::size_t fd = 0; fd < probe; ++fd) {
    if (::fcntl(static_cast<int>(fd), F_GETFD) != -1) ++count;
  }
  return count;
}

}  // namespace

std::size_t descriptor_budget() {
  constexpr std::size_t MOST = 1024;
  // Nothing else is opened while the scan runs: the rules file is read and
  // the disk asked about before it, and output needs no descriptor.
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return MOST;
  const std::size_t total = limit.rlim_cur == RLIM_INFINITY
                                ? std::size_t{1} << 20
                                : static_cast<std::size_t>(limit.rlim_cur);
  const std::size_t used = open_descriptors(total);
  return std::min(total > used ? total - used : 0, MOST);
}

std::uint64_t address_space_limit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return limit.rlim_cur;
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

}  // namespace oskra::platform
