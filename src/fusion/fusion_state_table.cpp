#include "fusion/fusion_state_table.h"

#include <atomic>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace vm {
namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_map<FusionStateHandle, FusionStatePtr> states;
};

// Never destroyed, so a host thread still calling during process exit finds it intact.
HandleTable& table() {
  static HandleTable* const instance = new HandleTable;
  return *instance;
}

std::atomic<FusionStateHandle> next_handle{kFirstFusionStateHandle};

}  // namespace

FusionStateHandle create_fusion_state() {
  const FusionStateHandle handle = next_handle.fetch_add(1, std::memory_order_relaxed);
  FusionStatePtr state = std::make_shared<FusionState>();
  HandleTable& t = table();
  {
    std::lock_guard guard(t.lock);
    std::swap(t.states[handle], state);
  }
  return handle;  // `state` (nothing, as handles are never reused) is released unlocked
}

bool free_fusion_state(FusionStateHandle handle) {
  if (handle == 0) return false;
  HandleTable& t = table();
  decltype(t.states)::node_type removed;
  {
    std::lock_guard guard(t.lock);
    removed = t.states.extract(handle);
  }
  return !removed.empty();  // the table's reference is dropped here, outside the lock
}

FusionStatePtr find_fusion_state(FusionStateHandle handle) {
  if (handle == 0) return nullptr;
  HandleTable& t = table();
  std::lock_guard guard(t.lock);
  const auto it = t.states.find(handle);
  return it == t.states.end() ? nullptr : it->second;
}

}  // namespace vm
