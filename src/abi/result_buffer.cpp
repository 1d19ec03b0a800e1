#include "abi/result_buffer.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace vm {

namespace {
constexpr std::size_t kMaxResult = std::numeric_limits<std::int32_t>::max();
}

AnswerRoom answer_room(const std::uint8_t* out, std::size_t cap) noexcept {
  return AnswerRoom{out == nullptr ? 0 : std::min(cap, kMaxResult)};
}

std::int32_t write_result(std::string_view result, std::uint8_t* out, std::size_t cap) noexcept {
  const std::size_t n = result.size();
  if (n > kMaxResult) return 0;
  if (!answer_room(out, cap).takes(n)) return -static_cast<std::int32_t>(n);
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
