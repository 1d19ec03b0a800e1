// The receiver's half of fusion: a heartbeat or difference body brings the stored values
// of a learnt template up to date, and the compact fact is rebuilt from the template's
// signature, the packet's timestamp text and those values. No lock of its own: the
// caller holds the lock of the FusionState that owns the registry.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fusion/template_model.h"

namespace vm {

// A template's signature and its values brought up to date; views into the registry,
// valid while its lock is held and it is not changed.
struct ReceivedTemplate {
  std::string_view sig;
  std::span<const std::string> values;
};

// The first half of receive_apply: the same checks and the same update of the stored
// values, without rebuilding the fact (rebuild_fact on the result always succeeds).
[[nodiscard]] std::optional<ReceivedTemplate> receive_update(TemplateRegistry& registry, DeviceId aid,
                                                             std::uint8_t command, TemplateId tid,
                                                             std::string_view body);

// The state check a packet carries (see state_check.h) and the packet's timestamp.
struct ExpectedState {
  std::uint8_t check;
  std::uint64_t timestamp;
};

enum class ReceiveStatus {
  applied,
  refused,         // as receive_update gives nothing
  state_mismatch,  // the template's state after the packet is not the sender's
};

struct CheckedReceive {
  ReceiveStatus status;
  ReceivedTemplate received;  // when applied
};

// receive_update that also proves the state: the values the packet leaves must give the
// check it carries. A mismatch changes no value and marks the template diverged; a
// diverged template refuses every packet as a mismatch until a full packet relearns it.
[[nodiscard]] CheckedReceive receive_checked_update(TemplateRegistry& registry, DeviceId aid,
                                                    std::uint8_t command, TemplateId tid,
                                                    std::string_view body, ExpectedState expected);

// Applies a DATA_HEART (127: body ignored) or DATA_DIFF (170) packet of template `tid` of
// device `aid` and appends the rebuilt compact fact to `out`. False, with the registry and
// `out` untouched, for an unknown device or template, a template without stored values,
// another command (secure variants included: normalise them first), a difference for
// more than 128 values or whose body is short, or a signature that cannot be rebuilt.
[[nodiscard]] bool receive_apply(TemplateRegistry& registry, DeviceId aid, std::uint8_t command,
                                 TemplateId tid, std::string_view ts_text, std::string_view body,
                                 std::string& out);

// Appends `sig` with its first "{TS}" replaced by `ts_text` and its slot bytes (0x01)
// replaced by `values` in order; slot bytes beyond the values stay. Only the signature's
// own bytes are slots, never bytes of the inserted texts. False, with `out` untouched,
// when `sig` has no "{TS}" or fewer slot bytes than there are values.
[[nodiscard]] bool rebuild_fact(std::string_view sig, std::string_view ts_text,
                                std::span<const std::string> values, std::string& out);

}  // namespace vm
