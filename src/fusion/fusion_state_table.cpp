#include "fusion/fusion_state_table.h"

#include <memory>

#include "support/handle_table.h"

namespace vm {
namespace {

// Never destroyed, so a host thread still calling during process exit finds it intact.
HandleTable<FusionState>& table() {
  static HandleTable<FusionState>* const instance = new HandleTable<FusionState>(kFirstFusionStateHandle);
  return *instance;
}

}  // namespace

FusionStateHandle create_fusion_state() { return table().insert(std::make_shared<FusionState>()); }

bool free_fusion_state(FusionStateHandle handle) { return table().erase(handle); }

FusionStatePtr find_fusion_state(FusionStateHandle handle) { return table().find(handle); }

}  // namespace vm
