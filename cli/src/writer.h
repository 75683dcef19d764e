// A buffered byte writer for the reports. Output goes to a sink in large
// pieces, so a report of any size is never gathered in memory first. The
// first failed write is remembered and everything after it is dropped;
// callers check `ok()` once at the end. A piece never ends inside a UTF-8
// character (unless the capacity is below four bytes), so a sink that
// converts text, such as a console, always sees whole characters.
#pragma once

#include <cstddef>
#include <functional>
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

  void put(std::string_view bytes);
  void put(char c);
  // Writes everything buffered. Returns `ok()`.
  bool flush();
  bool ok() const { return ok_; }

 private:
  // Hands the buffered whole characters to the sink.
  void drain();

  Sink sink_;
  std::string buffer_;
  std::size_t capacity_;
  bool ok_ = true;
};

}  // namespace oskra
