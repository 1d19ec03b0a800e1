#include "fusion/fusion_state_calls.h"

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "fusion/fusion_state_records.h"
#include "fusion/packet_decoder.h"
#include "fusion/packet_encoder.h"
#include "support/scratch.h"

namespace vm {

bool seed_fusion_state(FusionStateHandle handle, ByteSpan seed_record) {
  std::optional<SeedRecord> seed = read_seed_record(seed_record);
  if (!seed) return false;
  const FusionStatePtr state = find_fusion_state(handle);
  if (!state) return false;
  {
    std::lock_guard guard(state->lock);
    std::swap(state->registry.devices[seed->aid], seed->device);
  }
  return true;  // the device's previous templates are released here, unlocked
}

bool apply_on_fusion_state(FusionStateHandle handle, ByteSpan apply_record, std::string& out) {
  // Reused by every call on this thread, so a steady stream of facts allocates no list.
  thread_local std::vector<std::string_view> values;
  const ScratchRelease release(values);
  const std::optional<ApplyRecord> apply = read_apply_record(apply_record, values);
  if (!apply) return false;
  const FusionStatePtr state = find_fusion_state(handle);
  if (!state) return false;
  std::optional<FusionDecision> decision;
  {
    std::lock_guard guard(state->lock);
    decision = encode(state->registry, apply->aid, apply->force_full, apply->sig, apply->values);
  }
  if (!decision) return false;
  append_decision_bytes(out, *decision);
  return true;
}

bool receive_on_fusion_state(FusionStateHandle handle, ByteSpan receive_record, std::string& out) {
  const std::optional<ReceiveRecord> r = read_receive_record(receive_record);
  if (!r) return false;
  const FusionStatePtr state = find_fusion_state(handle);
  if (!state) return false;
  std::lock_guard guard(state->lock);
  return receive_apply(state->registry, r->aid, r->command, r->tid, r->ts_text, r->body, out);
}

}  // namespace vm
