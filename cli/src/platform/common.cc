// The parts of the platform layer that are the same on every system, built
// on what each realisation provides.
#include "platform/platform.h"

namespace oskra::platform {

std::string to_utf8_lossy(NativeStringView native) {
  std::string out;
  append_utf8_lossy(out, native);
  return out;
}

}  // namespace oskra::platform
