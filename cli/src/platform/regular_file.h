// What each realisation provides for reading the file beside the
// executable (common.cc reads it, with its cap, once for both): where the
// executable is, and one regular file open for reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/records.h"

namespace oskra::platform {

// The running executable's folder, with the separator at its end; nothing
// when it cannot be told.
std::optional<NativeString> executable_directory();

// A file open for reading, if it is a plain file on a disk: never a device,
// a pipe or a folder (opening one of those must neither block nor read
// forever). Closed on destruction.
class RegularFile {
 public:
  explicit RegularFile(const NativeString& path);
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;
  ~RegularFile();

  bool is_open() const { return open_; }
  // Its size when it was opened.
  std::uint64_t size() const { return size_; }
  // Reads up to `capacity` bytes into `buffer`: how many (0 at its end), or
  // nothing when reading fails.
  std::optional<std::size_t> read(char* buffer, std::size_t capacity);

 private:
  std::intptr_t handle_ = 0;
  bool open_ = false;
  std::uint64_t size_ = 0;
};

}  // namespace oskra::platform
