// The gateway's decoding of one message; see gateway_decoder.h.
#include "gateway_decoder.h"

#include <fmt/format.h>

#include "gateway_outcome.h"
#include "packet_batch.h"

namespace tavkin {
namespace {

const std::uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

void append_u32_be(std::string& out, std::size_t n) {
  const auto v = static_cast<std::uint32_t>(n);
  const char word[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                        static_cast<char>(v)};
  out.append(word, 4);
}

}  // namespace

// What one library call works on: its delivery, the packets in entry order and the next
// entry's index, and where the publishes go.
struct MessageDecoder::Call {
  MessageDecoder* self;
  const Delivery* delivery;
  const std::vector<std::string_view>* packets;
  std::size_t next = 0;
  std::vector<Publish>* out;
};

void MessageDecoder::devices_of(std::string_view body, std::vector<std::uint32_t>& out) {
  out.clear();
  auto add = [&out](std::string_view packet) {
    std::uint64_t h[9];
    if (vm_parse_header_min(bytes_of(packet), packet.size(), h, 9) == 1) out.push_back(static_cast<std::uint32_t>(h[5]));
  };
  if (!is_batch(body)) return add(body);
  for (const std::string_view packet : read_batch(body).packets) add(packet);
}

std::size_t MessageDecoder::decode(const Delivery& delivery, std::uint64_t ctx, std::vector<Publish>& out) {
  std::uint32_t flags = VM_RECEIVE_DEFER_SAVE | VM_RECEIVE_ONCE;
  if (options_.state_check) flags |= VM_RECEIVE_STATE_CHECK;
  const std::string& root = options_.registry_root;
  facts_lines_.clear();
  packets_.clear();
  Call call{this, &delivery, &packets_, 0, &out};
  bool broke = false;
  std::string_view rest;  // of a batch that breaks: what is past the break
  std::string break_error;
  if (!is_batch(delivery.body)) {
    packets_.push_back(delivery.body);
    vm_receive_packet_v1(ctx, bytes_of(root), root.size(), flags, bytes_of(delivery.body), delivery.body.size(),
                         &MessageDecoder::on_received, &call);
  } else {
    BatchRead batch = read_batch(delivery.body);
    packets_ = std::move(batch.packets);
    if (!batch.complete) {
      const std::size_t read = packets_.empty() ? 0 : static_cast<std::size_t>(packets_.back().data() +
                                                                                packets_.back().size() -
                                                                                delivery.body.data());
      rest = std::string_view(delivery.body).substr(read);
      break_error = std::move(batch.error);
      broke = true;
    }
    framed_.clear();
    for (const std::string_view packet : packets_) {
      append_u32_be(framed_, packet.size());
      framed_ += packet;
    }
    if (!packets_.empty()) {
      vm_receive_packets_v1(ctx, bytes_of(root), root.size(), flags, bytes_of(framed_), framed_.size(),
                            &MessageDecoder::on_received, &call);
    }
  }
  if (call.next != packets_.size()) {
    // The library framing is ours; a count that differs is a fault of this program.
    fmt::print(stderr, "tavkin gateway: the library answered {} of {} packets\n", call.next, packets_.size());
    std::abort();
  }
  if (broke) dead_letter(call, DeadReason::malformed, rest, 0, fmt::format("batch breaks: {}", break_error));
  if (!facts_lines_.empty()) out.push_back({false, delivery.routing_key, std::move(facts_lines_), {}});
  counters_.packets_decoded += packets_.size();
  return packets_.size();
}

void MessageDecoder::on_received(void* user, const vm_received_v1* received) {
  auto& call = *static_cast<Call*>(user);
  if (call.next >= call.packets->size()) {
    fmt::print(stderr, "tavkin gateway: the library answered more packets than it was given\n");
    std::abort();
  }
  const std::string_view packet = (*call.packets)[call.next++];
  call.self->receive_one(call, *received, packet);
}

void MessageDecoder::receive_one(Call& call, const vm_received_v1& received, std::string_view packet) {
  if (received.outcome == VM_RECEIVE_ALREADY_APPLIED) {
    ++counters_.packets_already_applied;
    return;
  }
  if (const auto reason = dead_reason_of(received.outcome)) {
    if (*reason == DeadReason::unknown_template) counters_.unknown_templates.add(received.source_aid);
    if (*reason == DeadReason::state_mismatch) counters_.state_mismatches.add(received.source_aid);
    return dead_letter(call, *reason, packet, received.source_aid, dead_reason_text(*reason));
  }
  const Delivery& d = *call.delivery;
  changed_[d.partition].insert(received.source_aid);
  const std::string key = dedup_key(received.source_aid, received.tid, received.timestamp);
  const std::string_view answer(reinterpret_cast<const char*>(received.fact), received.fact_len);
  std::string message = fact_message(answer, {received.source_aid, d.partition, options_.name, key, d.redelivered});
  if (jsonl_ != nullptr) {
    jsonl_->write(message.data(), static_cast<std::streamsize>(message.size()));
    jsonl_->put('\n');
  }
  ++counters_.facts_decoded;
  if (options_.facts_batch) {
    facts_lines_ += message;
    facts_lines_ += '\n';
  } else {
    call.out->push_back({false, d.routing_key, std::move(message), {}});
  }
}

void MessageDecoder::dead_letter(Call& call, DeadReason reason, std::string_view packet, std::uint32_t device,
                                 std::string_view error) {
  ++counters_.packets_dead[reason];
  call.out->push_back({true,
                       call.delivery->routing_key,
                       std::string(packet),
                       {{"reason", std::string(dead_reason_name(reason))},
                        {"error", std::string(error)},
                        {"device", std::to_string(device)},
                        {"partition", std::to_string(call.delivery->partition)},
                        {"gateway", options_.name}}});
}

}  // namespace tavkin
