#include "contexts/context_save.h"

#include <mutex>

#include "contexts/context_cache.h"
#include "registry/unsaved_devices.h"

namespace vm {

std::int64_t save_context(std::uint64_t ctx_id, std::optional<std::string_view> registry_root, bool durable) {
  const bool lost = lost_unsaved_changes(ctx_id);
  const FusionStatePtr state = find_context_state(ctx_id);
  if (!state) return lost ? -1 : 0;
  std::lock_guard lock(state->lock);
  const std::int64_t written = save_unsaved_devices(state->registry, registry_root, durable);
  state->unsaved_changes.store(!state->registry.unsaved.empty(), std::memory_order_relaxed);
  return lost ? -1 : written;
}

}  // namespace vm
