// The parts of the platform layer that are the same on every system, built
// on what each realisation provides.
#include <array>

#include "platform/platform.h"
#include "platform/regular_file.h"

namespace oskra::platform {

std::string to_utf8_lossy(NativeStringView native) {
  std::string out;
  append_utf8_lossy(out, native);
  return out;
}

std::optional<std::string> read_file_beside_executable(std::string_view file_name) {
  // A NUL would silently name a different file.
  if (file_name.find('\0') != std::string_view::npos) return std::nullopt;
  std::optional<NativeString> path = executable_directory();
  if (!path) return std::nullopt;
  path->append(from_utf8(file_name));
  RegularFile file(*path);
  if (!file.is_open() || file.size() > MAX_FILE_BESIDE_EXECUTABLE) return std::nullopt;
  std::string bytes;
  std::array<char, 64 * 1024> buffer;
  for (;;) {
    const std::optional<std::size_t> got = file.read(buffer.data(), buffer.size());
    if (!got) return std::nullopt;
    if (*got == 0) return bytes;
    bytes.append(buffer.data(), *got);
    // It grew while being read.
    if (bytes.size() > MAX_FILE_BESIDE_EXECUTABLE) return std::nullopt;
  }
}

}  // namespace oskra::platform
