// C exports of the in-memory fusion states: create, free, seed, apply (encode a fact)
// and receive-apply (apply a heartbeat or difference body).
#include <string>

#include "abi/result_buffer.h"
#include "fusion/fusion_state_calls.h"
#include "velmarinthos_tavkin.h"

extern "C" uint64_t vm_fusion_state_create_v1(void) noexcept {
  return vm::handle_number(vm::create_fusion_state());
}

extern "C" int32_t vm_fusion_state_free_v1(uint64_t handle) noexcept {
  return vm::free_fusion_state(vm::FusionStateHandle{handle}) ? 1 : 0;
}

extern "C" int32_t vm_fusion_state_seed_v1(uint64_t handle, const uint8_t* data, size_t len) noexcept {
  if (handle == 0 || data == nullptr || len == 0) return 0;
  return vm::seed_fusion_state(vm::FusionStateHandle{handle}, {data, len}) ? 1 : 0;
}

extern "C" int32_t vm_fusion_state_apply_v1(uint64_t handle, const uint8_t* in, size_t in_len,
                                            uint8_t* out, size_t cap) noexcept {
  if (handle == 0 || in == nullptr || in_len == 0) return 0;
  std::string& answer = vm::answer_scratch();
  if (!vm::apply_on_fusion_state(vm::FusionStateHandle{handle}, {in, in_len}, answer)) return 0;
  return vm::write_result(answer, out, cap);
}

extern "C" int32_t vm_fusion_state_receive_apply_v1(uint64_t handle, const uint8_t* in, size_t in_len,
                                                    uint8_t* out, size_t cap) noexcept {
  if (handle == 0 || in == nullptr || in_len == 0) return 0;
  std::string& answer = vm::answer_scratch();
  if (!vm::receive_on_fusion_state(vm::FusionStateHandle{handle}, {in, in_len}, answer)) return 0;
  return vm::write_result(answer, out, cap);
}
