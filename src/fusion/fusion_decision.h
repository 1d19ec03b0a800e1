// The encoder's answer and its byte form: command, tid (4 bytes), flags, body length
// (4 bytes), body; integers big-endian. The pipelines and the fusion-state exports carry
// decisions in this form. Plain values and pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/bytes.h"
#include "support/ids.h"

namespace vm {

// Flag bits of a decision.
inline constexpr std::uint8_t DECISION_NEW_TEMPLATE = 1;   // the signature was registered now
inline constexpr std::uint8_t DECISION_STATE_CHANGED = 2;  // the stored last values changed
inline constexpr std::uint8_t DECISION_FULL_BODY = 4;      // DATA_FULL: the caller supplies the body

struct FusionDecision {
  std::uint8_t command;
  TemplateId tid;
  std::uint8_t flags;
  std::string body;
};

// A decision read back from its byte form; `body` points into the bytes it was read from.
struct DecisionView {
  std::uint8_t command;
  TemplateId tid;
  std::uint8_t flags;
  std::string_view body;
};

inline constexpr std::size_t kDecisionHeaderSize = 10;

// Appends the byte form of `decision`. The body must fit a 32-bit length (the encoder
// never makes a longer one).
void append_decision_bytes(std::string& out, const FusionDecision& decision);

// Reads the byte form: at least 10 bytes and the whole body; bytes after the body are
// ignored. The command is not checked.
[[nodiscard]] std::optional<DecisionView> read_decision(ByteSpan bytes) noexcept;

}  // namespace vm
