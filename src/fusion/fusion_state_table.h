// The process-wide table of fusion-state handles. Handles count up from 1000000, one per
// create call, and are never reused; each names a FusionState that the calls in flight
// share, so freeing a handle never pulls a state from under a running call. Thread-safe:
// one table lock, held only for a lookup, insertion or removal and never while a state's
// lock is held.
#pragma once

#include <cstdint>

#include "fusion/fusion_state.h"
#include "support/handle_table.h"

namespace vm {

// Names a fusion state; 0 names none.
enum class FusionStateHandle : std::uint64_t {};

inline constexpr FusionStateHandle kFirstFusionStateHandle{1000000};

// A new handle naming a new, empty state.
[[nodiscard]] FusionStateHandle create_fusion_state();

// Removes the handle; true when it named a state. Calls already using the state keep it
// alive until they end.
[[nodiscard]] bool free_fusion_state(FusionStateHandle handle);

// A shared reference to the state of `handle`, or null (0, never created, or freed).
[[nodiscard]] FusionStatePtr find_fusion_state(FusionStateHandle handle);

}  // namespace vm
