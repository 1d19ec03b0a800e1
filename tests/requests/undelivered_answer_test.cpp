// Packets whose answer never reached the caller: the run request and the batch change
// templates before they answer, so a packet that did not fit the caller's buffer was made
// but not handed out. The retry must still bring a receiver what that packet would have
// taught it: a full packet, whether the lost one was a restart frame, a new template's
// first packet or a difference.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "batch_support.h"

namespace {

using namespace requests;

constexpr std::uint32_t kAid = 4242;

// What one send through a road gave: its result, and its one packet when written.
struct Sent {
  int32_t result = 0;
  std::string packet;
};

class UndeliveredAnswer : public ::testing::Test {
 public:
  void SetUp() override {
    handle_ = create_compressor(vm::testing::example_config());
    ASSERT_NE(handle_, 0u);
  }
  void TearDown() override { vm_compressor_free_v1(handle_); }

  // The example fact with reading 0 set to `v`.
  static std::string record(double v) {
    vm::testing::FactSpec f = vm::testing::example_fact();
    f.readings[0].v = v;
    return vm::testing::fact_record(f).bytes;
  }

  // Calls `f` with a buffer of `cap` bytes, or with none when `cap` is 0.
  static Answer call_into(Export f, std::string_view in, std::size_t cap) {
    if (cap != 0) return call(f, in, cap);
    return Answer{f(reinterpret_cast<const uint8_t*>(in.data()), in.size(), nullptr, 0), {}, true};
  }

  Sent by_run(std::uint64_t ctx, const std::string& root, double v, std::size_t cap) const {
    RunRequest r{ctx, std::to_string(kAid) + ";" + compress(handle_, record(v))};
    r.registry_root = root;
    const Answer a = call_into(vm_fusion_run_json_v1, r.json(), cap);
    return {a.result, a.bytes};
  }

  Sent by_batch(std::uint64_t ctx, const std::string& root, double v, std::size_t cap) const {
    const Answer a = call_into(vm_pipeline_batch_v1, batch_input(handle_, ctx, root, {{kAid, 0, record(v)}}), cap);
    if (a.result <= 0) return {a.result, {}};
    const BatchAnswer parsed = parse_batch_answer(a.bytes);
    return {a.result, parsed.packets.size() == 1 ? parsed.packets[0] : std::string()};
  }

  std::uint64_t handle_ = 0;
};

using Road = Sent (UndeliveredAnswer::*)(std::uint64_t, const std::string&, double, std::size_t) const;

TEST_F(UndeliveredAnswer, RetryBringsAFullPacketThatAFreshReceiverDecodes) {
  const struct {
    const char* name;
    Road road;
  } kRoads[] = {{"run request", &UndeliveredAnswer::by_run}, {"batch", &UndeliveredAnswer::by_batch}};
  // What the sending context held before the packet that does not fit, and that packet's
  // value: `earlier` sends 21.5 first, from another context when `reload`, so that the
  // context under test loads the device from its file.
  const struct {
    const char* name;
    bool earlier;
    bool reload;
    double value;
  } kCases[] = {
      {"restart frame of a template loaded from its file", true, true, 21.5},
      {"first packet of a new template", false, false, 21.5},
      {"difference", true, false, 22.5},
  };
  for (const auto& road : kRoads) {
    for (const auto& c : kCases) {
      for (std::size_t cap : {std::size_t{0}, std::size_t{10}}) {
        SCOPED_TRACE(std::string(road.name) + ", " + c.name + ", buffer of " + std::to_string(cap) + " bytes");
        const auto send = [&](std::uint64_t ctx, const std::string& root, double v, std::size_t room) {
          return (this->*road.road)(ctx, root, v, room);
        };
        const ScratchRoot root("undelivered");
        std::uint64_t ctx = fresh_ctx();
        if (c.earlier) {
          ASSERT_EQ(send(ctx, root.str(), 21.5, 1 << 16).packet[0], 63);
        }
        if (c.reload) ctx = fresh_ctx();

        const Sent lost = send(ctx, root.str(), c.value, cap);
        ASSERT_LT(lost.result, 0) << "the answer did not fit";
        const Sent retry = send(ctx, root.str(), c.value, 1 << 16);
        ASSERT_FALSE(retry.packet.empty());
        EXPECT_EQ(static_cast<unsigned char>(retry.packet[0]), 63) << "the retry travels whole";
        // The very packet a sender that never saw the device sends for the fact.
        EXPECT_EQ(retry.packet, send(fresh_ctx(), "", c.value, 1 << 16).packet);
        const std::string decoded = decompress(fresh_ctx(), retry.packet);
        EXPECT_EQ(decoded.find("\"error\""), std::string::npos) << decoded;
        EXPECT_NE(decoded.find("\"source_aid\":4242"), std::string::npos) << decoded;

        const Sent next = send(ctx, root.str(), c.value, 1 << 16);
        EXPECT_EQ(static_cast<unsigned char>(next.packet[0]), 127) << "a full packet handed out clears the mark";
      }
    }
  }
}

}  // namespace
