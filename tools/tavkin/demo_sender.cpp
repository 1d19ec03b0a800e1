// The demo's sending side; see demo_sender.h.
#include "demo_sender.h"

#include <fmt/format.h>

#include "packet_view.h"

namespace tavkin {

std::vector<std::string> DemoSender::send(const std::vector<Sent>& group) {
  auto packets = settings_.via_run ? by_run(group) : by_batch(group);
  for (std::size_t i = 0; i < group.size(); ++i) keyframes_.add(*group[i].fact.aid, group[i].text, packets[i], false);
  return packets;
}

std::vector<std::string> DemoSender::by_batch(const std::vector<Sent>& group) {
  BatchInput input(compressor_.handle(), settings_.ctx, settings_.registry_root, settings_.state_check,
                   settings_.keyframes);
  for (const Sent& s : group) input.add(*s.fact.aid, false, fact_record(s.fact), s.text.size());
  const auto start = Clock::now();
  const Answer answer = call_batch(input.bytes(), input.answer_capacity(), buffer_);
  busy_ += Clock::now() - start;
  if (answer.result <= 0) fmt::print(stderr, "tavkin demo: the batch request answered {}\n", answer.result);
  return batch_packets(answer.result > 0 ? answer.bytes : std::string_view{}, group.size());
}

std::vector<std::string> DemoSender::by_run(const std::vector<Sent>& group) {
  std::vector<std::string> packets;
  packets.reserve(group.size());
  for (std::size_t i = 0; i < group.size(); ++i) {
    const Sent& s = group[i];
    const auto start = Clock::now();
    const auto text = compressor_.compress(fact_record(s.fact));
    const std::string request =
        run_request(settings_.ctx, text.value_or(""), s.fact.aid, false, settings_.registry_root,
                    settings_.state_check, settings_.keyframes, s.fact.timestamp);
    const Answer answer = call_run(request, s.text.size(), buffer_);
    busy_ += Clock::now() - start;
    const bool is_packet = answer.result > 0 && answer.bytes.front() != '{';
    packets.emplace_back(is_packet ? answer.bytes : std::string_view{});
  }
  return packets;
}

}  // namespace tavkin
