#include "requests/fusion_run.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "compressor/unicode_space.h"
#include "json/record.h"
#include "requests/send_fact.h"
#include "contexts/context_cache.h"

namespace vm {
namespace {

constexpr std::string_view kInvalidJson = R"({"error":"invalid_json"})";
constexpr std::string_view kDecomposeFailed = R"({"error":"auto_decompose_failed"})";

struct FusionRunReq {
  std::uint64_t ctx_id = 0;
  std::string_view raw_input;
  std::string_view strategy;
  std::optional<std::uint32_t> src_aid;
  std::optional<std::string_view> registry_root;
  bool state_check = false;
  std::uint64_t keyframe_every = 0;
  double keyframe_seconds = 0;
  std::optional<double> now;
};

constexpr auto kFusionRunReq = json::Record(json::field("ctx_id", &FusionRunReq::ctx_id),
                                            json::required("raw_input", &FusionRunReq::raw_input),
                                            json::field("strategy", &FusionRunReq::strategy),
                                            json::field("src_aid", &FusionRunReq::src_aid),
                                            json::field("registry_root", &FusionRunReq::registry_root),
                                            json::field("state_check", &FusionRunReq::state_check),
                                            json::field("keyframe_every", &FusionRunReq::keyframe_every),
                                            json::field("keyframe_seconds", &FusionRunReq::keyframe_seconds),
                                            json::field("now", &FusionRunReq::now))
                                    .any_key_once();

// An unsigned 32-bit decimal: an optional "+", then only digits, no overflow.
std::optional<std::uint32_t> parse_device_id(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// The sending device: src_aid when given, else the routing prefix before the first ";".
DeviceId device_of(const FusionRunReq& req) noexcept {
  if (req.src_aid) return DeviceId{*req.src_aid};
  const std::size_t semicolon = req.raw_input.find(';');
  if (semicolon == std::string_view::npos) return DeviceId{0};
  const auto id = parse_device_id(trim_unicode_space(req.raw_input.substr(0, semicolon)));
  return DeviceId{id.value_or(0)};
}

bool equals_ascii_case_insensitive(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The clock of time-based key frames for a request that brings none of its own (read only
// then: a clock read costs a tenth of a steady run request).
double monotonic_seconds() noexcept {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool wants_full_packet(std::string_view strategy) noexcept {
  return equals_ascii_case_insensitive(strategy, "full") ||
         equals_ascii_case_insensitive(strategy, "full_packet");
}

}  // namespace

bool fusion_run(std::string_view request, AnswerRoom room, std::string& out) {
  json::Reader reader;
  const auto req = json::read_record(reader, request, kFusionRunReq);
  if (!req) {
    out.append(kInvalidJson);
    return true;
  }
  thread_local PreparedFact prepared;
  switch (prepare_fact(req->raw_input, prepared)) {
    case SendResult::undecomposable:
      out.append(kDecomposeFailed);
      return true;
    case SendResult::no_packet:
      return false;
    case SendResult::packet:
      break;
  }
  const DeviceId aid = device_of(*req);
  const FusionStatePtr state = context_state_for(req->ctx_id);
  std::lock_guard lock(state->lock);
  const SendOptions options{.force_full = wants_full_packet(req->strategy),
                            .state_check = req->state_check,
                            .key_frames = {req->keyframe_every, req->keyframe_seconds},
                            .now = req->now                ? *req->now
                                   : req->keyframe_seconds > 0 ? monotonic_seconds()
                                                               : 0.0};
  const std::size_t start = out.size();
  if (send_prepared(state->registry, aid, options, req->raw_input, prepared, req->registry_root, nullptr, out) !=
      SendResult::packet)
    return false;
  if (!room.takes(out.size())) note_not_handed_out(state->registry, std::string_view(out).substr(start));
  return true;
}

}  // namespace vm
