// The one place where answers cross into caller memory, by the result buffer rule:
// n when written, -n when the buffer is missing or too small, 0 when n does not fit an
// int32_t. Also the per-thread scratch buffer that export shims build answers in, so a
// steady stream of calls allocates nothing beyond what the largest answer once needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/answer_room.h"

namespace vm {

// The room the result buffer rule gives an answer in (out, cap): none without a buffer,
// and never more than an int32_t result can report.
[[nodiscard]] AnswerRoom answer_room(const std::uint8_t* out, std::size_t cap) noexcept;

// Copies `result` out when answer_room(out, cap) takes it.
[[nodiscard]] std::int32_t write_result(std::string_view result, std::uint8_t* out,
                                        std::size_t cap) noexcept;

// Cleared on each call; owned by the calling thread. Only export shims use it, and only
// one at a time per thread (no export calls another export).
[[nodiscard]] std::string& answer_scratch() noexcept;

}  // namespace vm
