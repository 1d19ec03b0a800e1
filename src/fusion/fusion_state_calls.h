// The work behind the fusion-state exports: read the record, find the handle's state
// (the table lock is released before the state's lock is taken), run the engine under
// the state's lock, append the answer. Thread-safe; calls on one handle are serialized.
#pragma once

#include <string>

#include "fusion/fusion_state_table.h"
#include "support/bytes.h"

namespace vm {

// Replaces the templates of the record's device whole. False for a malformed record or
// an unknown handle; nothing changes then.
[[nodiscard]] bool seed_fusion_state(FusionStateHandle handle, ByteSpan seed_record);

// Encodes the record's fact and appends the decision's byte form to `out`. False for a
// malformed record, an unknown handle or no decision.
[[nodiscard]] bool apply_on_fusion_state(FusionStateHandle handle, ByteSpan apply_record,
                                         std::string& out);

// Applies the record's heartbeat or difference body and appends the rebuilt compact fact
// to `out`. False for a malformed record, an unknown handle or a refused packet.
[[nodiscard]] bool receive_on_fusion_state(FusionStateHandle handle, ByteSpan receive_record,
                                           std::string& out);

}  // namespace vm
