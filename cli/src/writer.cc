#include "writer.h"

#include <algorithm>
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

void Writer::put(std::string_view bytes) {
  while (ok_ && !bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), capacity_ - buffer_.size());
    buffer_.append(bytes.substr(0, n));
    bytes.remove_prefix(n);
    if (buffer_.size() >= capacity_) drain();
  }
}

void Writer::put(char c) { put(std::string_view(&c, 1)); }

void Writer::drain() {
  std::size_t size = whole_characters(buffer_);
  if (size == 0) size = buffer_.size();  // a capacity too small for one character
  if (!sink_(std::string_view(buffer_).substr(0, size))) {
    ok_ = false;
    buffer_.clear();
    return;
  }
  buffer_.erase(0, size);
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
