// FusionState: one lock and one TemplateRegistry. The object behind a fusion-state handle
// and behind a cached context; shared by reference counting between its table and the
// calls in flight, so it outlives a free or an eviction until the last call ends.
// Hold `lock` for the whole template work of a call (load, encode or decode, save).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "fusion/template_model.h"

namespace vm {

struct FusionState {
  std::mutex lock;
  TemplateRegistry registry;
  // Whether the registry holds devices marked unsaved: set under the lock, read without it
  // by a cache that drops the state, which then remembers that changes were lost.
  std::atomic<bool> unsaved_changes{false};
};

using FusionStatePtr = std::shared_ptr<FusionState>;

}  // namespace vm
