// Per-thread scratch buffers keep their capacity between calls, so steady traffic allocates
// nothing. A call that grew them past kKeptScratchBytes gives the memory back when it ends,
// so one huge input does not stay resident on its thread for good.
#pragma once

#include <cstddef>
#include <string>
#include <tuple>
#include <vector>

namespace vm {

inline constexpr std::size_t kKeptScratchBytes = std::size_t{1} << 20;

inline std::size_t heap_bytes(const std::string& s) noexcept { return s.capacity(); }
template <class T>
std::size_t heap_bytes(const std::vector<T>& v) noexcept {
  return v.capacity() * sizeof(T);
}

// Frees every part when together they hold more than kKeptScratchBytes. (By swap: a string
// move-assigned from an empty one keeps its own buffer.)
template <class... Parts>
void release_if_grown(Parts&... parts) noexcept {
  if ((heap_bytes(parts) + ...) > kKeptScratchBytes) (Parts().swap(parts), ...);
}

// Calls release_if_grown on its parts when the scope ends, whichever way it ends.
template <class... Parts>
class ScratchRelease {
 public:
  explicit ScratchRelease(Parts&... parts) noexcept : parts_(parts...) {}
  ScratchRelease(const ScratchRelease&) = delete;
  ScratchRelease& operator=(const ScratchRelease&) = delete;
  ~ScratchRelease() {
    std::apply([](Parts&... p) { release_if_grown(p...); }, parts_);
  }

 private:
  std::tuple<Parts&...> parts_;
};

}  // namespace vm
