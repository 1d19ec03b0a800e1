// The tool's request builders against the library: a batch and run requests make the same
// packets for the same facts, with state checks or without, and a checked packet differs
// from the published one only in the byte after its body (and the trailer over it).
#include <gtest/gtest.h>

#include "demo_sender.h"
#include "fleet.h"
#include "library.h"
#include "packet_view.h"

namespace tavkin {
namespace {

class RequestBuilders : public testing::Test {
 protected:
  void SetUp() override {
    Fleet fleet(3, 11);
    for (int i = 0; i < 60; ++i) {
      Fact fact = fleet.next();
      auto text = compressor_.compress(fact_record(fact));
      ASSERT_TRUE(text);
      facts_.push_back({std::move(fact), std::move(*text)});
    }
  }

  // The facts' packets through one batch request, or one run request each, in a fresh context.
  std::vector<std::string> send(bool by_batch, bool state_check) {
    const std::uint64_t ctx = next_ctx_++;
    std::string buffer;
    if (by_batch) {
      BatchInput input(compressor_.handle(), ctx, "", state_check);
      for (const Sent& s : facts_) input.add(*s.fact.aid, false, fact_record(s.fact), s.text.size());
      const Answer answer = call_batch(input.bytes(), input.answer_capacity(), buffer);
      EXPECT_GT(answer.result, 0);
      return batch_packets(answer.bytes, facts_.size());
    }
    // The batch fuses the routed text, so a full packet carries the routing prefix.
    std::vector<std::string> packets;
    for (const Sent& s : facts_) {
      const std::string routed = std::to_string(*s.fact.aid) + ";" + s.text;
      const Answer a = call_run(run_request(ctx, routed, std::nullopt, false, "", state_check), routed.size(), buffer);
      packets.emplace_back(a.result > 0 ? a.bytes : std::string_view{});
    }
    return packets;
  }

  Compressor compressor_ = *Compressor::create(Fleet::compressor_settings());
  std::vector<Sent> facts_;
  std::uint64_t next_ctx_ = 7'400'000;
};

TEST_F(RequestBuilders, BatchAndRunRequestsAgreeWithAndWithoutChecks) {
  const auto plain = send(true, false);
  const auto checked = send(true, true);
  EXPECT_EQ(send(false, false), plain);
  EXPECT_EQ(send(false, true), checked);

  std::size_t carried = 0;
  for (std::size_t i = 0; i < facts_.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_FALSE(plain[i].empty());
    std::string error;
    const auto p = view_packet(plain[i], error), c = view_packet(checked[i], error);
    ASSERT_TRUE(p && c) << error;
    EXPECT_EQ(c->crc16_stored, c->crc16_computed);
    EXPECT_EQ(p->crc8_stored, p->crc8_computed);
    if (p->base_cmd == kDataFull) {
      EXPECT_EQ(checked[i], plain[i]);
      continue;
    }
    EXPECT_EQ(checked[i].substr(0, checked[i].size() - 3), plain[i].substr(0, plain[i].size() - 3));
    carried += c->crc8_stored != c->crc8_computed;
  }
  EXPECT_GT(carried, facts_.size() / 2) << "the batch bit asked for no state check";
}

TEST(BatchPackets, StopWhereTheAnswerStops) {
  // Three items: a packet, none, and one whose length runs past the end.
  static constexpr char kAnswer[] = "\0\0\0\3" "\0\0\0\2ab" "\0\0\0\0" "\0\0\0\7xy";
  const std::string answer(kAnswer, sizeof kAnswer - 1);
  EXPECT_EQ(batch_packets(answer, 3), (std::vector<std::string>{"ab", "", ""}));
  EXPECT_EQ(batch_packets("", 2), (std::vector<std::string>{"", ""}));
}

}  // namespace
}  // namespace tavkin
