#include "fusion/fusion_decision.h"

#include <limits>

#include "support/fault.h"
#include "wire/byte_reader.h"

namespace vm {

void append_decision_bytes(std::string& out, const FusionDecision& decision) {
  VM_CHECK(decision.body.size() <= std::numeric_limits<std::uint32_t>::max());
  out.reserve(out.size() + kDecisionHeaderSize + decision.body.size());
  out.push_back(static_cast<char>(decision.command));
  put_u32(out, raw(decision.tid));
  out.push_back(static_cast<char>(decision.flags));
  put_u32(out, static_cast<std::uint32_t>(decision.body.size()));
  out.append(decision.body);
}

std::optional<DecisionView> read_decision(ByteSpan bytes) noexcept {
  ByteReader reader(bytes);
  const auto command = reader.u8();
  const auto tid = reader.u32();
  const auto flags = reader.u8();
  if (!command || !tid || !flags) return std::nullopt;
  const auto body = reader.counted();
  if (!body) return std::nullopt;
  return DecisionView{*command, TemplateId{*tid}, *flags, *body};
}

}  // namespace vm
