// C exports of the fact compressor: compressor handles, fact compression, decomposition.
#include "abi/result_buffer.h"
#include "compressor/compress_fact.h"
#include "compressor/compressor_table.h"
#include "compressor/decompose.h"
#include "support/bytes.h"
#include "velmarinthos_tavkin.h"

extern "C" uint64_t vm_compressor_create_v1(const uint8_t* config, size_t config_len) noexcept {
  if (config == nullptr || config_len == 0) return 0;
  const auto handle = vm::create_compressor({config, config_len});
  return handle ? vm::handle_number(*handle) : 0;
}

extern "C" int32_t vm_compressor_free_v1(uint64_t handle) noexcept {
  return vm::free_compressor(vm::CompressorHandle{handle}) ? 1 : 0;
}

extern "C" int32_t vm_compress_fact_v1(uint64_t handle, const uint8_t* in, size_t in_len,
                                       uint8_t* out, size_t cap) noexcept {
  if (handle == 0 || in == nullptr || in_len == 0) return 0;
  std::string& text = vm::answer_scratch();
  if (!vm::compress_fact_with_handle(vm::CompressorHandle{handle}, {in, in_len}, text)) return 0;
  return vm::write_result(text, out, cap);
}

extern "C" int32_t vm_auto_decompose_input(const uint8_t* in, size_t in_len, uint8_t* out,
                                           size_t cap) noexcept {
  if (in == nullptr || in_len == 0) return 0;
  std::string& record = vm::answer_scratch();
  if (!vm::append_decomposition_record(vm::as_text({in, in_len}), record)) return 0;
  return vm::write_result(record, out, cap);
}
