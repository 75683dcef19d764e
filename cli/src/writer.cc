#include "writer.h"

#include <utility>

namespace oskra {

Writer::Writer(Sink sink, std::size_t capacity)
    : sink_(std::move(sink)), capacity_(capacity == 0 ? 1 : capacity) {
  // Without a sink nothing can be written: report that rather than throw later.
  if (!sink_) ok_ = false;
  buffer_.reserve(capacity_);
}

Writer::~Writer() {
  // A destructor must not throw, and a sink that throws has failed anyway.
  try {
    flush();
  } catch (...) {
  }
}

void Writer::put(std::string_view bytes) {
  if (!ok_ || bytes.empty()) return;
  if (buffer_.size() + bytes.size() <= capacity_) {
    buffer_.append(bytes);
    if (buffer_.size() == capacity_) flush();
    return;
  }
  // Top the buffer up to capacity so pieces keep their size, then hand large
  // remainders to the sink directly instead of copying them through.
  const std::size_t room = capacity_ - buffer_.size();
  buffer_.append(bytes.substr(0, room));
  bytes.remove_prefix(room);
  if (!flush()) return;
  while (bytes.size() >= capacity_) {
    if (!sink_(bytes.substr(0, capacity_))) {
      ok_ = false;
      return;
    }
    bytes.remove_prefix(capacity_);
  }
  buffer_.append(bytes);
}

void Writer::put(char c) {
  if (!ok_) return;
  buffer_.push_back(c);
  if (buffer_.size() >= capacity_) flush();
}

bool Writer::flush() {
  if (!ok_) {
    buffer_.clear();
    return false;
  }
  if (!buffer_.empty()) {
    const bool written = sink_(buffer_);
    buffer_.clear();
    if (!written) ok_ = false;
  }
  return ok_;
}

}  // namespace oskra
