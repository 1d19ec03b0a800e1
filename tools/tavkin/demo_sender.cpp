// The demo's sending side; see demo_sender.h.
#include "demo_sender.h"

#include <fmt/format.h>

#include "packet_view.h"

namespace tavkin {

std::vector<std::string> DemoSender::send(const std::vector<Sent>& group) {
  // Key frames are decided before the group is sent, and the schedule learns of the other
  // packets when they come back: whether the library chose a full packet is its own call.
  std::vector<bool> forced;
  forced.reserve(group.size());
  for (const Sent& s : group) {
    forced.push_back(keyframes_.due(*s.fact.aid, s.fact.timestamp));
    if (forced.back()) keyframes_.sent(*s.fact.aid, true, s.fact.timestamp);
  }
  auto packets = settings_.via_run ? by_run(group, forced) : by_batch(group, forced);
  for (std::size_t i = 0; i < group.size(); ++i) {
    keyframes_sent_ += forced[i];
    if (!forced[i] && !packets[i].empty()) {
      keyframes_.sent(*group[i].fact.aid, static_cast<unsigned char>(packets[i][0]) == kDataFull,
                      group[i].fact.timestamp);
    }
  }
  return packets;
}

std::vector<std::string> DemoSender::by_batch(const std::vector<Sent>& group, const std::vector<bool>& forced) {
  BatchInput input(compressor_.handle(), settings_.ctx, settings_.registry_root, settings_.state_check);
  for (std::size_t i = 0; i < group.size(); ++i) {
    input.add(*group[i].fact.aid, forced[i], fact_record(group[i].fact), group[i].text.size());
  }
  const auto start = Clock::now();
  const Answer answer = call_batch(input.bytes(), input.answer_capacity(), buffer_);
  busy_ += Clock::now() - start;
  if (answer.result <= 0) fmt::print(stderr, "tavkin demo: the batch request answered {}\n", answer.result);
  return batch_packets(answer.result > 0 ? answer.bytes : std::string_view{}, group.size());
}

std::vector<std::string> DemoSender::by_run(const std::vector<Sent>& group, const std::vector<bool>& forced) {
  std::vector<std::string> packets;
  packets.reserve(group.size());
  for (std::size_t i = 0; i < group.size(); ++i) {
    const Sent& s = group[i];
    const auto start = Clock::now();
    const auto text = compressor_.compress(fact_record(s.fact));
    const std::string request =
        run_request(settings_.ctx, text.value_or(""), s.fact.aid, forced[i], settings_.registry_root,
                    settings_.state_check);
    const Answer answer = call_run(request, s.text.size(), buffer_);
    busy_ += Clock::now() - start;
    const bool is_packet = answer.result > 0 && answer.bytes.front() != '{';
    packets.emplace_back(is_packet ? answer.bytes : std::string_view{});
  }
  return packets;
}

}  // namespace tavkin
