#include "abi/result_buffer.h"

#include <cstring>
#include <limits>

namespace vm {

std::int32_t write_result(std::string_view result, std::uint8_t* out, std::size_t cap) noexcept {
  constexpr std::size_t kMax = std::numeric_limits<std::int32_t>::max();
  const std::size_t n = result.size();
  if (n > kMax) return 0;
  if (out == nullptr || cap < n) return -static_cast<std::int32_t>(n);
  if (n != 0) std::memcpy(out, result.data(), n);
  return static_cast<std::int32_t>(n);
}

std::string& answer_scratch() noexcept {
  // Kept between calls so steady traffic allocates nothing; a rare huge answer is not
  // kept alive on its thread after the next call begins.
  constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;
  thread_local std::string buffer;
  if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
  buffer.clear();
  return buffer;
}

}  // namespace vm
