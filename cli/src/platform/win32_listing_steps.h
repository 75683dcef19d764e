// How the Windows realisation lists a directory and opens one below
// another, over injected calls (win32_listing.cc passes the system's), so
// that tests run both with the real structures and error codes under Wine.
// The decisions they take are the pure functions of win32_decisions.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/records.h"
#include "platform/win32_decisions.h"

namespace oskra::platform::win32 {

// What a scan has learnt of the one volume it walks (it never crosses into
// another: mount points are not followed), so that every folder does not
// pay for the same failed call first. Shared by the scan's threads; each
// answer only ever moves from the better way to the fallback.
class VolumeMemory {
 public:
  DirectoryClass directory_class() const {
    return static_cast<DirectoryClass>(class_.load(std::memory_order_relaxed));
  }
  void id_both_unsupported() {
    class_.store(static_cast<std::uint8_t>(DirectoryClass::full), std::memory_order_relaxed);
  }
  bool relative_opens() const { return relative_.load(std::memory_order_relaxed); }
  void relative_opens_unsupported() { relative_.store(false, std::memory_order_relaxed); }

 private:
  std::atomic<std::uint8_t> class_{static_cast<std::uint8_t>(DirectoryClass::id_both)};
  std::atomic<bool> relative_{true};
};

// Reads the next records of an open directory as `type` into `buffer` of
// `size` bytes, from its start when `restart`; 0, or the Win32 error code.
using DirectoryRead = std::function<std::uint32_t(DirectoryClass type, bool restart, void* buffer,
                                                  std::uint32_t size)>;

// Lists one directory through `read` into `out` ("." and ".." left out),
// with the class `volume` says works. When FileIdBothDirectoryInfo is not
// supported, the same handle is read with FileFullDirectoryInfo and the
// volume remembers it; when neither is, the directory counts as one that
// cannot be opened. `buffer` is grown to 64 KiB on first use.
ListStatus list_directory(const DirectoryRead& read, VolumeMemory& volume,
                          std::vector<std::uint64_t>& buffer, RecordList& out);

// An open directory or file: its handle, its attribute bits and, with the
// reparse-point bit, its reparse tag.
struct Opened {
  std::intptr_t handle = 0;
  std::uint32_t attributes = 0;
  std::uint32_t tag = 0;
};

// Opening directories without following reparse points. Each open returns 0
// with `opened` filled in, or the Win32 error code.
struct ComponentOpener {
  // The single component `name` below the open directory `parent`,
  // relative to its handle.
  std::function<std::uint32_t(std::intptr_t parent, std::wstring_view name, Opened& opened)> open;
  // The full path `path`; with `hold`, without delete sharing, so that
  // while it stays open it can be neither renamed nor removed, and the
  // path through it keeps naming what was checked.
  std::function<std::uint32_t(const std::wstring& path, bool hold, Opened& opened)> open_path;
  // Whether two open handles are the same file.
  std::function<bool(std::intptr_t a, std::intptr_t b)> same;
  std::function<void(std::intptr_t handle)> close;
};

// Opens `rel` (components joined by backslashes) below the open directory
// `base`, whose full path is `base_path`, never through a link. True with
// the new handle, the caller's to close, in `out`.
//
// Each component is opened relative to the one before. Where that is not
// supported (the volume remembers it), each is opened by its full path
// instead, from `base_path` down: first `base_path` itself, which must
// still be `base`, then each component, every one held open until the next
// is, so none can be swapped in between. Either way a component that is not
// a directory to enter (see classify_record) is refused: it was listed as
// one, so it was swapped for a junction or a link since, and whatever it
// leads to lies outside the tree. Every handle but the last is closed
// again.
bool open_below(const ComponentOpener& opener, VolumeMemory& volume, std::intptr_t base,
                std::wstring_view base_path, std::wstring_view rel, std::intptr_t& out);

}  // namespace oskra::platform::win32
