// The tool's side of the C interface: a compressor handle that frees itself, and calls of
// the request exports with capacities sized before the call. Requests change templates
// before they answer, so their answers must fit the first time; only compression and
// decompression (which repeat their answer when asked again) may be retried.
// Objects here are used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fact.h"
#include "velmarinthos_tavkin.h"

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

// Key frames asked of the library: a device's packet travels whole once it sent every - 1
// packets since its last full one, or once `seconds` passed since then (0: off). The
// library keeps the count per device of the context.
struct KeyFrames {
  std::uint64_t every = 0;
  double seconds = 0;
};

// Request JSON of the run and decompress exports. `state_check` on a run request: its
// heartbeats and differences carry the state check of the template they leave in place of
// their body's CRC-8 (false: the published bytes); `key_frames` timed by `now` (seconds,
// the fact's own time for the tool). On a decompress request: a heartbeat or
// difference whose check does not hold is refused ("state_mismatch") and its template
// answers nothing until its next full packet (false: that byte is not examined).
[[nodiscard]] std::string run_request(std::uint64_t ctx, std::string_view text, std::optional<std::uint32_t> src_aid,
                                      bool full, std::string_view registry_root, bool state_check,
                                      KeyFrames key_frames = {}, double now = 0);
[[nodiscard]] std::string decompress_request(std::uint64_t ctx, std::string_view packet_b64,
                                             std::string_view registry_root, bool state_check);

// The input of vm_pipeline_batch_v1, built item by item, and the capacity its answer needs.
class BatchInput {
 public:
  // `state_check` asks for state-checked packets for the whole batch, as on a run request;
  // `key_frames` for key frames, timed by each fact's own timestamp.
  BatchInput(std::uint64_t compressor, std::uint64_t ctx, std::string_view registry_root, bool state_check,
             KeyFrames key_frames = {});

  // One fact record; `text_size` is the length of its compact text (without routing).
  void add(std::uint32_t aid, bool full, std::string_view record, std::size_t text_size);

  [[nodiscard]] std::string_view bytes() const { return bytes_; }
  [[nodiscard]] std::size_t answer_capacity() const { return capacity_; }

 private:
  std::string bytes_;
  std::uint32_t count_ = 0;
  std::size_t capacity_ = 4;
};

// The packets of a batch answer for `items` items; an empty string for an item that got
// no packet (or that the answer stopped before).
[[nodiscard]] std::vector<std::string> batch_packets(std::string_view answer, std::size_t items);

// vm_fusion_run_json_v1 with room for any packet of `text_size` bytes of compact text.
[[nodiscard]] Answer call_run(std::string_view request, std::size_t text_size, std::string& buffer);

// vm_fusion_decompress_json_v1, first with `capacity` bytes, then once more with the size
// the library asked for: a packet applied again leaves the same templates and answer.
[[nodiscard]] Answer call_decompress(std::string_view request, std::size_t capacity, std::string& buffer);

// vm_pipeline_batch_v1 with `capacity` bytes; never repeated.
[[nodiscard]] Answer call_batch(std::string_view input, std::size_t capacity, std::string& buffer);

// vm_receive_packets_v1 on `packets` in one call: `on_packet` gets each packet's index and
// outcome, in order (the outcome's fact is valid only during the call). `state_check` as
// on a decompress request; `defer_saves` leaves the registry files to save_context;
// `precision` gives reading values at the sender's precision (VM_RECEIVE_PRECISION).
// Whether every packet was received (the framing this builds never breaks).
bool receive_packets(std::uint64_t ctx, std::string_view registry_root, bool state_check, bool defer_saves,
                     std::optional<int> precision, std::span<const std::string_view> packets,
                     const std::function<void(std::size_t, const vm_received_v1&)>& on_packet);

// vm_context_save_v1: the files written, or -1 when any could not be.
[[nodiscard]] std::int32_t save_context(std::uint64_t ctx, std::string_view registry_root, bool fsync);

// The template signature of a compact text (vm_auto_decompose_input); nullopt when the
// library cannot decompose it.
[[nodiscard]] std::optional<std::string> signature_of(std::string_view text);

// The "error" member of a JSON answer, if it has one at its top level.
[[nodiscard]] std::optional<std::string> answer_error(std::string_view json);

}  // namespace tavkin
