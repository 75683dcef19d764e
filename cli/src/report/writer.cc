#include "report/writer.h"

#include <algorithm>
#include <utility>

namespace oskra {

Writer::Writer(Sink sink, std::size_t capacity)
    : sink_(std::move(sink)),
      capacity_(capacity == 0 ? 1 : capacity),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity_)) {
  // Without a sink nothing can be written: report that rather than throw later.
  if (!sink_) ok_ = false;
}

Writer::~Writer() {
  // A destructor must not throw, and a sink that throws has failed anyway.
  try {
    flush();
  } catch (...) {
  }
}

namespace {

// The size of `bytes` without an unfinished UTF-8 character at its end.
std::size_t whole_characters(std::string_view bytes) {
  const std::size_t n = bytes.size();
  for (std::size_t back = 1; back <= 4 && back <= n; ++back) {
    const auto b = static_cast<unsigned char>(bytes[n - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return need > back ? n - back : n;
  }
  return n;
}

}  // namespace

void Writer::put_slow(std::string_view bytes) {
  while (!bytes.empty()) {
    // After a failure the buffer only ever fills to be thrown away.
    if (!ok_) {
      size_ = 0;
      return;
    }
    const std::size_t n = std::min(bytes.size(), capacity_ - size_);
    std::copy_n(bytes.data(), n, buffer_.get() + size_);
    size_ += n;
    bytes.remove_prefix(n);
    if (size_ >= capacity_) drain();
  }
}

void Writer::drain() {
  const std::string_view buffered(buffer_.get(), size_);
  std::size_t size = whole_characters(buffered);
  if (size == 0) size = size_;  // a capacity too small for one character
  if (!sink_(buffered.substr(0, size))) {
    ok_ = false;
    size_ = 0;
    return;
  }
  std::copy(buffer_.get() + size, buffer_.get() + size_, buffer_.get());
  size_ -= size;
}

bool Writer::flush() {
  if (!ok_) {
    size_ = 0;
    return false;
  }
  if (size_ > 0) {
    const bool written = sink_(std::string_view(buffer_.get(), size_));
    size_ = 0;
    if (!written) ok_ = false;
  }
  return ok_;
}

}  // namespace oskra
