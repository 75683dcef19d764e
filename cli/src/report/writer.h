// A buffered byte writer for the reports. Output goes to a sink in large
// pieces, so a report of any size is never gathered in memory first. The
// first failed write is remembered and everything after it is dropped;
// callers check `ok()` once at the end. A piece never ends inside a UTF-8
// character (unless the capacity is below four bytes), so a sink that
// converts text, such as a console, always sees whole characters.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace oskra {

class Writer {
 public:
  // Receives a piece of the output; returns false when it could not be
  // written in full.
  using Sink = std::function<bool(std::string_view)>;

  explicit Writer(Sink sink, std::size_t capacity = 64 * 1024);
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer();  // flushes what is left; a failure there is lost, so flush first

  // Inline for the usual case, a small piece that fits with room to spare;
  // the reports are written a few bytes at a time.
  void put(std::string_view bytes) {
    if (bytes.size() < capacity_ - size_) {
      std::copy_n(bytes.data(), bytes.size(), buffer_.get() + size_);
      size_ += bytes.size();
      return;
    }
    put_slow(bytes);
  }
  void put(char c) {
    if (size_ + 1 < capacity_) {
      buffer_[size_++] = c;
      return;
    }
    put_slow(std::string_view(&c, 1));
  }
  // Writes everything buffered. Returns `ok()`.
  bool flush();
  bool ok() const { return ok_; }

 private:
  // Fills the buffer, draining it whenever it is full.
  void put_slow(std::string_view bytes);
  // Hands the buffered whole characters to the sink.
  void drain();

  Sink sink_;
  std::size_t capacity_;
  std::unique_ptr<char[]> buffer_;
  std::size_t size_ = 0;  // bytes buffered; below capacity_ between calls
  bool ok_ = true;
};

}  // namespace oskra
