#include "contexts/context_save.h"

#include <mutex>

#include "contexts/context_cache.h"
#include "registry/unsaved_devices.h"

namespace vm {

std::int64_t save_context(std::uint64_t ctx_id, std::optional<std::string_view> registry_root, bool durable) {
  const FusionStatePtr state = find_context_state(ctx_id);
  if (!state) return 0;
  std::lock_guard lock(state->lock);
  return save_unsaved_devices(state->registry, registry_root, durable);
}

}  // namespace vm
