// The tool's side of the C interface; see library.h.
#include "library.h"

#include <bit>
#include <utility>

#include <fmt/format.h>

#include <simdjson.h>

#include "json_text.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

const auto* as_bytes(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// The batch input's item count sits after the compressor handle and the context number.
constexpr std::size_t kBatchCountOffset = 16;

void put_be(std::string& out, std::uint64_t v, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out += static_cast<char>(v >> shift);
}

std::size_t get_be32(std::string_view s) {
  const auto* p = as_bytes(s);
  return std::size_t{p[0]} << 24 | std::size_t{p[1]} << 16 | std::size_t{p[2]} << 8 | p[3];
}

using RequestExport = std::int32_t (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t) noexcept;

Answer call(RequestExport fn, std::string_view in, std::size_t capacity, std::string& buffer) {
  if (buffer.size() < capacity) buffer.resize(capacity);
  const std::int32_t result = fn(as_bytes(in), in.size(), reinterpret_cast<std::uint8_t*>(buffer.data()), capacity);
  return {result, result > 0 ? std::string_view(buffer.data(), static_cast<std::size_t>(result)) : std::string_view{}};
}

}  // namespace

std::optional<Compressor> Compressor::create(const CompressorSettings& settings) {
  const std::string record = compressor_config_record(settings);
  const std::uint64_t handle = vm_compressor_create_v1(as_bytes(record), record.size());
  if (handle == 0) return std::nullopt;
  return Compressor(handle, longest_code(settings));
}

Compressor::Compressor(Compressor&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), longest_code_(other.longest_code_) {}

Compressor::~Compressor() {
  if (handle_ != 0) (void)vm_compressor_free_v1(handle_);
}

std::size_t Compressor::text_bound(std::size_t record_size) const {
  return VM_COMPACT_TEXT_BOUND(record_size, longest_code_);
}

std::optional<std::string> Compressor::compress(std::string_view record) const {
  std::string text(text_bound(record.size()), '\0');
  std::int32_t n = vm_compress_fact_v1(handle_, as_bytes(record), record.size(),
                                       reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  if (n < 0) {  // compression keeps no state, so asking again is safe
    text.resize(static_cast<std::size_t>(-static_cast<std::int64_t>(n)));
    n = vm_compress_fact_v1(handle_, as_bytes(record), record.size(), reinterpret_cast<std::uint8_t*>(text.data()),
                            text.size());
  }
  if (n <= 0) return std::nullopt;
  text.resize(static_cast<std::size_t>(n));
  return text;
}

std::string run_request(std::uint64_t ctx, std::string_view text, std::optional<std::uint32_t> src_aid, bool full,
                        std::string_view registry_root, bool state_check, KeyFrames key_frames, double now) {
  std::string json = "{\"ctx_id\":" + std::to_string(ctx) + ",\"raw_input\":";
  append_json_string(json, text);
  if (full) json += ",\"strategy\":\"full\"";
  if (src_aid) json += ",\"src_aid\":" + std::to_string(*src_aid);
  if (!registry_root.empty()) {
    json += ",\"registry_root\":";
    append_json_string(json, registry_root);
  }
  if (state_check) json += ",\"state_check\":true";
  if (key_frames.every > 0) json += ",\"keyframe_every\":" + std::to_string(key_frames.every);
  if (key_frames.seconds > 0) json += fmt::format(",\"keyframe_seconds\":{},\"now\":{}", key_frames.seconds, now);
  json += '}';
  return json;
}

std::string decompress_request(std::uint64_t ctx, std::string_view packet_b64, std::string_view registry_root,
                               bool state_check) {
  std::string json = "{\"ctx_id\":" + std::to_string(ctx) + ",\"packet_b64\":";
  append_json_string(json, packet_b64);
  if (!registry_root.empty()) {
    json += ",\"registry_root\":";
    append_json_string(json, registry_root);
  }
  if (state_check) json += ",\"state_check\":true";
  json += '}';
  return json;
}

BatchInput::BatchInput(std::uint64_t compressor, std::uint64_t ctx, std::string_view registry_root, bool state_check,
                       KeyFrames key_frames) {
  const bool keyed = key_frames.every > 0 || key_frames.seconds > 0;
  put_be(bytes_, compressor, 8);
  put_be(bytes_, ctx, 8);
  put_be(bytes_, 0, 4);  // the item count, written by add()
  put_be(bytes_, registry_root.size() | (state_check ? VM_BATCH_STATE_CHECK : 0) | (keyed ? VM_BATCH_KEY_FRAMES : 0), 4);
  bytes_ += registry_root;
  if (keyed) {
    put_be(bytes_, key_frames.every, 8);
    put_be(bytes_, std::bit_cast<std::uint64_t>(key_frames.seconds), 8);
  }
}

void BatchInput::add(std::uint32_t aid, bool full, std::string_view record, std::size_t text_size) {
  put_be(bytes_, aid, 4);
  bytes_ += full ? '\1' : '\0';
  put_be(bytes_, record.size(), 4);
  bytes_ += record;
  ++count_;
  for (int i = 0; i < 4; ++i) bytes_[kBatchCountOffset + i] = static_cast<char>(count_ >> (24 - 8 * i));
  // The batch fuses the routed text "<aid>;<compact text>".
  capacity_ += 4 + VM_PACKET_BOUND(std::to_string(aid).size() + 1 + text_size);
}

std::vector<std::string> batch_packets(std::string_view answer, std::size_t items) {
  std::vector<std::string> packets(items);
  std::size_t pos = 4;
  for (auto& packet : packets) {
    if (pos + 4 > answer.size()) break;
    const std::size_t n = get_be32(answer.substr(pos));
    if (pos + 4 + n > answer.size()) break;
    packet.assign(answer.substr(pos + 4, n));
    pos += 4 + n;
  }
  return packets;
}

Answer call_run(std::string_view request, std::size_t text_size, std::string& buffer) {
  return call(vm_fusion_run_json_v1, request, VM_PACKET_BOUND(text_size), buffer);
}

Answer call_decompress(std::string_view request, std::size_t capacity, std::string& buffer) {
  Answer answer = call(vm_fusion_decompress_json_v1, request, capacity, buffer);
  if (answer.result < 0) {
    answer = call(vm_fusion_decompress_json_v1, request, static_cast<std::size_t>(-static_cast<std::int64_t>(answer.result)),
                  buffer);
  }
  return answer;
}

Answer call_batch(std::string_view input, std::size_t capacity, std::string& buffer) {
  return call(vm_pipeline_batch_v1, input, capacity, buffer);
}

bool receive_packets(std::uint64_t ctx, std::string_view registry_root, bool state_check, bool defer_saves,
                     std::optional<int> precision, std::span<const std::string_view> packets,
                     const std::function<void(std::size_t, const vm_received_v1&)>& on_packet) {
  std::string framed;
  for (std::string_view packet : packets) {
    put_be(framed, packet.size(), 4);
    framed += packet;
  }
  struct Progress {
    const std::function<void(std::size_t, const vm_received_v1&)>& on_packet;
    std::size_t next = 0;
  } progress{on_packet};
  const auto callback = [](void* user, const vm_received_v1* received) {
    auto& p = *static_cast<Progress*>(user);
    p.on_packet(p.next++, *received);
  };
  const std::uint32_t flags = (state_check ? VM_RECEIVE_STATE_CHECK : 0u) | (defer_saves ? VM_RECEIVE_DEFER_SAVE : 0u) |
                              (precision ? VM_RECEIVE_PRECISION(*precision) : 0u);
  const std::int32_t received = vm_receive_packets_v1(ctx, as_bytes(registry_root), registry_root.size(), flags,
                                                      as_bytes(framed), framed.size(), callback, &progress);
  return received >= 0 && static_cast<std::size_t>(received) == packets.size();
}

std::int32_t save_context(std::uint64_t ctx, std::string_view registry_root, bool fsync) {
  return vm_context_save_v1(ctx, as_bytes(registry_root), registry_root.size(), fsync ? VM_SAVE_FSYNC : 0u);
}

std::optional<std::string> answer_error(std::string_view json) {
  static thread_local simdjson::dom::parser parser;
  simdjson::dom::element doc;
  if (parser.parse(json.data(), json.size()).get(doc) != simdjson::SUCCESS) return "the answer is not JSON";
  simdjson::dom::object object;
  if (doc.get(object) != simdjson::SUCCESS) return "the answer is not a JSON object";
  std::string_view error;
  if (object["error"].get(error) != simdjson::SUCCESS) return std::nullopt;
  return std::string(error);
}

std::optional<std::string> signature_of(std::string_view text) {
  // The record: ts length, sig length, value count (u32 each), then ts and sig.
  std::string record(VM_PACKET_BOUND(text.size()), '\0');
  const auto decompose = [&] {
    return vm_auto_decompose_input(as_bytes(text), text.size(), reinterpret_cast<std::uint8_t*>(record.data()),
                                   record.size());
  };
  std::int32_t n = decompose();
  if (n < 0) {  // a pure call: asking again with the size it named gives the same record
    record.resize(static_cast<std::size_t>(-static_cast<std::int64_t>(n)));
    n = decompose();
  }
  if (n < 12) return std::nullopt;
  const std::string_view view(record.data(), static_cast<std::size_t>(n));
  const std::size_t ts = get_be32(view), sig = get_be32(view.substr(4));
  if (12 + ts + sig > view.size()) return std::nullopt;
  return std::string(view.substr(12 + ts, sig));
}

}  // namespace tavkin
