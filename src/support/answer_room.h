// How many bytes of an answer the caller of an export can take. A request that hands out
// packets learns from it, before it lets go of its context, whether its answer will reach
// the caller: a packet that does not is sent whole next time (send_fact.h).
#pragma once

#include <cstddef>
#include <limits>

namespace vm {

struct AnswerRoom {
  std::size_t bytes = std::numeric_limits<std::size_t>::max();

  [[nodiscard]] constexpr bool takes(std::size_t answer_size) const noexcept { return answer_size <= bytes; }
};

}  // namespace vm
