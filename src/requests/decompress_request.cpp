#include "requests/decompress_request.h"

#include <cstdint>
#include <optional>

#include "json/object_builder.h"
#include "json/record.h"
#include "requests/compact_fact_json.h"
#include "requests/decompress_answer.h"
#include "requests/decompress_packet.h"
#include "support/fault.h"
#include "support/scratch.h"
#include "wire/base64.h"

namespace vm {
namespace {

constexpr std::string_view kInvalidJson = R"({"error":"invalid_json"})";
constexpr std::string_view kInvalidPacketB64 = R"({"error":"invalid_packet_b64"})";
constexpr std::string_view kPacketTooShort = R"({"error":"Packet too short"})";
constexpr std::string_view kIncompleteHeader = R"({"error":"Incomplete Binary Header"})";
constexpr std::string_view kUnknownCommand = R"({"error":"unknown_command"})";
constexpr std::string_view kReceiveApplyFailed = R"({"error":"fusion_receive_apply_failed"})";

struct FusionDecompressReq {
  std::uint64_t ctx_id = 0;
  std::string_view packet_b64;
  std::optional<std::string_view> registry_root;
  bool state_check = false;
  std::optional<std::uint32_t> precision;
};

constexpr auto kFusionDecompressReq = json::Record(
    json::field("ctx_id", &FusionDecompressReq::ctx_id),
    json::required("packet_b64", &FusionDecompressReq::packet_b64),
    json::field("registry_root", &FusionDecompressReq::registry_root),
    json::field("state_check", &FusionDecompressReq::state_check),
    json::field("precision", &FusionDecompressReq::precision))
    .any_key_once();

void add_packet_meta(const HeaderInfo& h, json::ObjectBuilder& answer) {
  thread_local json::ObjectBuilder meta;
  meta.clear();
  meta.add_uint("base_cmd", h.base_cmd);
  meta.add_uint("cmd", h.cmd);
  meta.add_bool("crc16_ok", h.crc16_ok);
  meta.add_bool("secure", h.secure);
  meta.add_uint("source_aid", h.source_aid);
  meta.add_uint("tid", h.tid);
  meta.add_uint("timestamp_raw", h.timestamp_raw);
  answer.add_object("__packet_meta__", meta);
}

// The request's answers as JSON text appended to a string.
class JsonAnswer final : public PacketAnswerSink {
 public:
  JsonAnswer(std::string& out, int precision) : out_(out), precision_(precision) {}

  void refused(PacketRefusal why, const HeaderInfo* header) override {
    switch (why) {
      case PacketRefusal::too_short: out_.append(kPacketTooShort); break;
      case PacketRefusal::incomplete_header: out_.append(kIncompleteHeader); break;
      case PacketRefusal::unknown_command: out_.append(kUnknownCommand); break;
      case PacketRefusal::unknown_template:
      case PacketRefusal::not_applicable: out_.append(kReceiveApplyFailed); break;
      // Answered with the header, like a checksum failure, so that the host can name the
      // device and template that need a full packet.
      case PacketRefusal::state_mismatch: error_with_meta(*header, "state_mismatch"); break;
      // The request never asks to apply packets once.
      case PacketRefusal::already_applied: VM_CHECK(false); break;
    }
  }

  void crc_mismatch(const HeaderInfo& header) override { error_with_meta(header, "CRC16 mismatch"); }

  void fact(std::string_view text, const HeaderInfo& header) override {
    // Too many readings to answer within memory.
    if (!append_decompress_answer_of_text(text, header, out_, precision_)) out_.append(kInvalidJson);
  }

  bool takes_members() const noexcept override { return true; }
  void fact_members(const CompactFactMembers& fact, const HeaderInfo& header) override {
    append_decompress_answer(fact, header, out_, precision_);
  }

 private:
  void error_with_meta(const HeaderInfo& header, std::string_view error) {
    thread_local json::ObjectBuilder answer;
    answer.clear();
    add_packet_meta(header, answer);
    answer.add_string("error", error);
    answer.write(out_);
  }

  std::string& out_;
  int precision_;
};

}  // namespace

void decompress_request(std::string_view request, std::string& out) {
  json::Reader reader;
  const auto req = json::read_record(reader, request, kFusionDecompressReq);
  if (!req || (req->precision && *req->precision > kMaxPrecision)) {
    out.append(kInvalidJson);
    return;
  }
  thread_local std::string packet;
  const ScratchRelease release_packet(packet);
  packet.clear();
  if (!decode_base64(req->packet_b64, Base64::standard, packet)) {
    out.append(kInvalidPacketB64);
    return;
  }
  JsonAnswer answer(out, req->precision ? static_cast<int>(*req->precision) : kLibraryPrecision);
  decompress_packet(req->ctx_id, packet, req->registry_root, ReceiveOptions{.state_check = req->state_check}, answer);
}

}  // namespace vm
