// A writer of compact text through a pointer into a caller's string. A fact is made of
// dozens of short pieces, and a string append costs a capacity check, a library copy and a
// terminator each; here the string is grown ahead of need, pieces are copied inline and the
// string is cut to what was written when the writer is closed. One writer per string, on
// one thread; while it is open the string's size includes room not yet written.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "support/small_copy.h"

namespace vm {

class TextOut {
 public:
  // Starts writing after what `out` holds.
  explicit TextOut(std::string& out) : out_(out) { open(); }
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;
  ~TextOut() { close(); }

  // Makes room for `n` more bytes; the put() and cursor() writes after it may use them.
  [[gnu::always_inline]] void room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) grow(n);
  }
  [[gnu::always_inline]] void put(char c) noexcept { *p_++ = c; }
  [[gnu::always_inline]] void put(std::string_view text) noexcept {
    copy_text(p_, text.data(), text.size());
    p_ += text.size();
  }
  // Room and copy in one.
  [[gnu::always_inline]] void append(std::string_view text) {
    room(text.size());
    put(text);
  }
  // Bytes of the string written so far, and the text written since `start` of them.
  [[nodiscard]] std::size_t size() const noexcept { return static_cast<std::size_t>(p_ - out_.data()); }
  [[nodiscard]] std::string_view written_since(std::size_t start) const noexcept {
    return std::string_view(out_.data() + start, size() - start);
  }
  // For writers through a pointer: write at cursor(), then advance(end).
  [[nodiscard]] char* cursor() noexcept { return p_; }
  void advance(char* end) noexcept { p_ = end; }

  // The string as written so far, for code that appends to it; resume() takes it back.
  [[nodiscard]] std::string& string() {
    close();
    return out_;
  }
  void resume() { open(); }

 private:
  void open() {
    open_ = true;
    const std::size_t used = out_.size();
    out_.resize(std::max(out_.capacity(), used + 64));
    p_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }
  void close() {
    if (open_) out_.resize(static_cast<std::size_t>(p_ - out_.data()));
    open_ = false;
  }
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t used = static_cast<std::size_t>(p_ - out_.data());
    out_.resize(std::max(2 * out_.size(), used + n));
    p_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* p_ = nullptr;
  char* end_ = nullptr;
  bool open_ = false;
};

}  // namespace vm
