// The tool's side of the C interface: a compressor handle that frees itself, and calls of
// the request exports with capacities sized before the call. Requests change templates
// before they answer, so their answers must fit the first time; only compression and
// decompression (which repeat their answer when asked again) may be retried.
// Objects here are used by one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fact.h"

namespace tavkin {

class Compressor {
 public:
  [[nodiscard]] static std::optional<Compressor> create(const CompressorSettings& settings);
  Compressor(Compressor&& other) noexcept;
  Compressor& operator=(Compressor&&) = delete;
  ~Compressor();

  [[nodiscard]] std::uint64_t handle() const { return handle_; }
  [[nodiscard]] std::size_t text_bound(std::size_t record_size) const;

  // The compact text of a fact record; nullopt when the library refuses the record.
  [[nodiscard]] std::optional<std::string> compress(std::string_view record) const;

 private:
  Compressor(std::uint64_t handle, std::size_t longest_code) : handle_(handle), longest_code_(longest_code) {}
  std::uint64_t handle_;
  std::size_t longest_code_;
};

// An export's answer: the result by the result buffer rule and the bytes written.
struct Answer {
  std::int32_t result = 0;
  std::string_view bytes;  // into the caller's buffer; valid until its next use
};

// Request JSON of the run and decompress exports.
[[nodiscard]] std::string run_request(std::uint64_t ctx, std::string_view text, std::optional<std::uint32_t> src_aid,
                                      bool full, std::string_view registry_root);
[[nodiscard]] std::string decompress_request(std::uint64_t ctx, std::string_view packet_b64,
                                             std::string_view registry_root);

// vm_fusion_run_json_v1 with room for any packet of `text_size` bytes of compact text.
[[nodiscard]] Answer call_run(std::string_view request, std::size_t text_size, std::string& buffer);

// vm_fusion_decompress_json_v1, first with `capacity` bytes, then once more with the size
// the library asked for: a packet applied again leaves the same templates and answer.
[[nodiscard]] Answer call_decompress(std::string_view request, std::size_t capacity, std::string& buffer);

// vm_pipeline_batch_v1 with `capacity` bytes; never repeated.
[[nodiscard]] Answer call_batch(std::string_view input, std::size_t capacity, std::string& buffer);

// The "error" member of a JSON answer, if it has one at its top level.
[[nodiscard]] std::optional<std::string> answer_error(std::string_view json);

}  // namespace tavkin
