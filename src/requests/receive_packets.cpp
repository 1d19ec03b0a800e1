#include "requests/receive_packets.h"

#include <string>

#include "contexts/context_cache.h"
#include "requests/decompress_answer.h"
#include "support/scratch.h"

namespace vm {
namespace {

ReceiveOutcome outcome_of(PacketRefusal why) noexcept {
  switch (why) {
    case PacketRefusal::too_short:
    case PacketRefusal::incomplete_header:
    case PacketRefusal::unknown_command: return ReceiveOutcome::malformed;
    case PacketRefusal::unknown_template: return ReceiveOutcome::unknown_template;
    case PacketRefusal::not_applicable: return ReceiveOutcome::not_applicable;
    case PacketRefusal::state_mismatch: return ReceiveOutcome::state_mismatch;
    case PacketRefusal::already_applied: return ReceiveOutcome::already_applied;
  }
  return ReceiveOutcome::malformed;
}

ReceivedPacket described(ReceiveOutcome outcome, const HeaderInfo* header) noexcept {
  ReceivedPacket packet;
  packet.outcome = outcome;
  if (header != nullptr) {
    packet.command = header->base_cmd;
    packet.tid = header->tid;
    packet.source_aid = header->source_aid;
    packet.timestamp = header->timestamp_raw;
  }
  return packet;
}

// The engine's answers as typed outcomes; facts are written as the decompress request
// writes them, into `json`.
class TypedAnswer final : public PacketAnswerSink {
 public:
  TypedAnswer(ReceivedPacketSink& sink, std::string& json, int precision)
      : sink_(sink), json_(json), precision_(precision) {}

  void refused(PacketRefusal why, const HeaderInfo* header) override {
    sink_.received(described(outcome_of(why), header));
  }
  void crc_mismatch(const HeaderInfo& header) override {
    sink_.received(described(ReceiveOutcome::crc_mismatch, &header));
  }
  void fact(std::string_view text, const HeaderInfo& header) override {
    json_.clear();
    if (!append_decompress_answer_of_text(text, header, json_, precision_)) {
      sink_.received(described(ReceiveOutcome::malformed, &header));
      return;
    }
    answer(header);
  }
  bool takes_members() const noexcept override { return true; }
  void fact_members(const CompactFactMembers& fact, const HeaderInfo& header) override {
    json_.clear();
    append_decompress_answer(fact, header, json_, precision_);
    answer(header);
  }

 private:
  void answer(const HeaderInfo& header) {
    ReceivedPacket packet = described(ReceiveOutcome::received, &header);
    packet.fact = json_;
    sink_.received(packet);
  }

  ReceivedPacketSink& sink_;
  std::string& json_;
  int precision_;
};

// The string a call writes its facts into: the thread's scratch, or, for a call made by a
// sink while an outer call's fact is still being read, one of its own.
class FactBuffer {
 public:
  FactBuffer() : outermost_(!in_use_), release_(scratch_) { in_use_ = true; }
  ~FactBuffer() {
    if (outermost_) in_use_ = false;
  }
  FactBuffer(const FactBuffer&) = delete;
  FactBuffer& operator=(const FactBuffer&) = delete;
  std::string& get() noexcept { return outermost_ ? scratch_ : nested_; }

 private:
  static thread_local std::string scratch_;
  static thread_local bool in_use_;
  bool outermost_;
  ScratchRelease<std::string> release_;
  std::string nested_;
};

thread_local std::string FactBuffer::scratch_;
thread_local bool FactBuffer::in_use_ = false;

std::size_t read_be32(std::string_view bytes) noexcept {
  std::size_t n = 0;
  for (int i = 0; i < 4; ++i) n = (n << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
  return n;
}

}  // namespace

void receive_packet(std::uint64_t ctx_id, std::string_view packet, std::optional<std::string_view> registry_root,
                    ReceiveOptions options, ReceivedPacketSink& sink) {
  FactBuffer buffer;
  TypedAnswer answer(sink, buffer.get(), options.precision);
  decompress_packet(ctx_id, packet, registry_root, options, answer);
}

FramedReceipt receive_framed_packets(std::uint64_t ctx_id, std::string_view framed,
                                     std::optional<std::string_view> registry_root, ReceiveOptions options,
                                     ReceivedPacketSink& sink, std::size_t max_entries) {
  FactBuffer buffer;
  TypedAnswer answer(sink, buffer.get(), options.precision);
  FramedReceipt receipt;
  if (framed.empty()) return receipt;
  const FusionStatePtr state = context_state_for(ctx_id);
  while (!framed.empty()) {
    if (framed.size() < 4 || receipt.entries == max_entries || read_be32(framed) > framed.size() - 4) {
      receipt.whole = false;
      break;
    }
    const std::size_t length = read_be32(framed);
    decompress_packet(*state, framed.substr(4, length), registry_root, options, answer);
    ++receipt.entries;
    framed.remove_prefix(4 + length);
  }
  return receipt;
}

}  // namespace vm
