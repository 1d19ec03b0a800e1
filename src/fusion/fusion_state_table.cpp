#include "fusion/fusion_state_table.h"

#include <memory>

namespace vm {
namespace {

// Never destroyed, so a host thread still calling during process exit finds it intact.
HandleTable<FusionState, FusionStateHandle>& table() {
  static auto* const instance = new HandleTable<FusionState, FusionStateHandle>(kFirstFusionStateHandle);
  return *instance;
}

}  // namespace

FusionStateHandle create_fusion_state() { return table().insert(std::make_shared<FusionState>()); }

bool free_fusion_state(FusionStateHandle handle) { return table().erase(handle); }

FusionStatePtr find_fusion_state(FusionStateHandle handle) { return table().find(handle); }

}  // namespace vm
