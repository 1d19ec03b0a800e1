// Host code run by a receive's answer (a Python finaliser, say) may receive another packet
// on the same thread before the first answer is written. The inner receive must leave the
// outer answer alone, on the text road and on the members road alike.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "requests/compact_fact_json.h"
#include "requests/decompress_answer.h"
#include "requests/decompress_packet.h"
#include "requests/fusion_run.h"

namespace vm {
namespace {

std::uint64_t fresh_ctx() {
  static std::uint64_t next = 9'300'000'000;
  return ++next;
}

std::string packet_of(std::uint64_t ctx, std::string_view fact) {
  std::string out;
  const std::string request = R"({"ctx_id":)" + std::to_string(ctx) + R"(,"raw_input":")" + std::string(fact) + "\"}";
  EXPECT_TRUE(fusion_run(request, AnswerRoom{}, out)) << fact;
  return out;
}

// Writes the answer of one packet; when `inner` is set, receives it first from inside the
// answer, before the outer answer is read.
class AnswerSink final : public PacketAnswerSink {
 public:
  AnswerSink(bool members, std::uint64_t ctx, std::string_view inner) : members_(members), ctx_(ctx), inner_(inner) {}

  void refused(PacketRefusal, const HeaderInfo*) override { answer = "refused"; }
  void crc_mismatch(const HeaderInfo&) override { answer = "crc mismatch"; }
  void fact(std::string_view text, const HeaderInfo& header) override {
    receive_inner();
    CompactFactMembers fact;
    (void)read_compact_fact(text, fact);
    append_decompress_answer(fact, header, answer);
  }
  [[nodiscard]] bool takes_members() const noexcept override { return members_; }
  void fact_members(const CompactFactMembers& fact, const HeaderInfo& header) override {
    receive_inner();
    append_decompress_answer(fact, header, answer);
  }

  std::string answer, inner_answer;

 private:
  void receive_inner() {
    if (inner_.empty()) return;
    AnswerSink inner(members_, ctx_, {});
    decompress_packet(ctx_, inner_, std::nullopt, {}, inner);
    inner_answer = inner.answer;
  }

  bool members_;
  std::uint64_t ctx_;
  std::string_view inner_;
};

TEST(ReentrantReceive, AnInnerReceiveLeavesTheOuterAnswerAlone) {
  const std::uint64_t sender = fresh_ctx();
  const std::string full_a = packet_of(sender, "5;n.s.AAAAAAAB|r>s.u:1|");
  const std::string full_b = packet_of(sender, "6;m.t.AAAAAAAC|qq>tt.vv:99999|");
  const std::string heart_a = packet_of(sender, "5;n.s.AAAAAAAD|r>s.u:1|");
  const std::string heart_b = packet_of(sender, "6;m.t.AAAAAAAE|qq>tt.vv:99999|");

  for (const bool members : {false, true}) {
    SCOPED_TRACE(members ? "members road" : "text road");
    const auto receiver_with_templates = [&] {
      const std::uint64_t ctx = fresh_ctx();
      for (const std::string& full : {full_a, full_b}) {
        AnswerSink learn(members, ctx, {});
        decompress_packet(ctx, full, std::nullopt, {}, learn);
      }
      return ctx;
    };
    const auto alone = [&](std::uint64_t ctx, const std::string& packet) {
      AnswerSink sink(members, ctx, {});
      decompress_packet(ctx, packet, std::nullopt, {}, sink);
      return sink.answer;
    };
    const std::uint64_t reference = receiver_with_templates();
    const std::string expected_a = alone(reference, heart_a), expected_b = alone(reference, heart_b);
    ASSERT_NE(expected_a, expected_b);
    ASSERT_NE(expected_a.find(R"("s1_id":"r")"), std::string::npos) << expected_a;

    const std::uint64_t ctx = receiver_with_templates();
    AnswerSink outer(members, ctx, heart_b);
    decompress_packet(ctx, heart_a, std::nullopt, {}, outer);
    EXPECT_EQ(outer.answer, expected_a);
    EXPECT_EQ(outer.inner_answer, expected_b);
  }
}

}  // namespace
}  // namespace vm
