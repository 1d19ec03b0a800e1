// C exports of the requests: decompress, run (and relay, the same entry), batch.
#include "abi/result_buffer.h"
#include "requests/batch_pipeline.h"
#include "requests/fusion_run.h"
#include "requests/decompress_request.h"
#include "velmarinthos_tavkin.h"

extern "C" int32_t vm_fusion_decompress_json_v1(const uint8_t* in, size_t in_len, uint8_t* out,
                                                size_t cap) noexcept {
  if (in == nullptr || in_len == 0) return 0;
  std::string& answer = vm::answer_scratch();
  vm::decompress_request(vm::as_text({in, in_len}), answer);
  return vm::write_result(answer, out, cap);
}

extern "C" int32_t vm_fusion_run_json_v1(const uint8_t* in, size_t in_len, uint8_t* out,
                                         size_t cap) noexcept {
  if (in == nullptr || in_len == 0) return 0;
  std::string& answer = vm::answer_scratch();
  if (!vm::fusion_run(vm::as_text({in, in_len}), vm::answer_room(out, cap), answer)) return 0;
  return vm::write_result(answer, out, cap);
}

extern "C" int32_t vm_fusion_relay_json_v1(const uint8_t* in, size_t in_len, uint8_t* out,
                                           size_t cap) noexcept {
  return vm_fusion_run_json_v1(in, in_len, out, cap);
}

extern "C" int32_t vm_pipeline_batch_v1(const uint8_t* in, size_t in_len, uint8_t* out,
                                        size_t cap) noexcept {
  if (in == nullptr || in_len == 0) return 0;
  std::string& answer = vm::answer_scratch();
  if (!vm::run_batch({in, in_len}, vm::answer_room(out, cap), answer)) return 0;
  return vm::write_result(answer, out, cap);
}
