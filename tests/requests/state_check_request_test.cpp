// State checks through the C exports: senders write them only when asked, a plain receiver
// decodes checked packets exactly as published ones, and a checking receiver refuses a
// drifted template, naming the device, until its next full packet.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request_support.h"

namespace {

using namespace requests;

// Facts of one device: a template of two readings whose values move now and then.
std::string fact_text(int i) {
  static const char* kTimes[] = {"AYvP5WgA", "AYvP5WgB", "AYvP5WgC", "AYvP5WgD", "AYvP5WgE", "AYvP5WgF",
                                 "AYvP5WgG", "AYvP5WgH", "AYvP5WgI", "AYvP5WgJ"};
  const int t = 20 + (i / 2) % 5, h = 40 + i / 3;
  return std::string("node7.1.") + kTimes[i % 10] + "|t1>0.c1:" + std::to_string(t) + "|h>0.m/s2:" +
         std::to_string(h) + "|";
}

std::vector<std::string> send_all(bool state_check, int n, std::uint64_t ctx = fresh_ctx()) {
  std::vector<std::string> packets;
  for (int i = 0; i < n; ++i) {
    RunRequest r{ctx, fact_text(i), "", 305419896u};
    r.state_check = state_check;
    packets.push_back(run(r));
  }
  return packets;
}

std::string body_of(const std::string& packet) { return packet.substr(13, packet.size() - 16); }

TEST(StateCheckRequests, SendersWriteTheCheckOnlyWhenAskedAndOnlyInPlaceOfTheBodyCrc) {
  const std::vector<std::string> plain = send_all(false, 10), checked = send_all(true, 10);
  int differing = 0;
  for (std::size_t i = 0; i < plain.size(); ++i) {
    const std::string& p = plain[i];
    ASSERT_EQ(p.size(), checked[i].size()) << i;
    EXPECT_EQ(static_cast<unsigned char>(p[p.size() - 3]), crc8(body_of(p))) << "published bytes, packet " << i;
    if (p[0] == 63) {
      EXPECT_EQ(p, checked[i]) << "full packets are unchanged, packet " << i;
      continue;
    }
    // Everything but the byte after the body and the trailer that covers it is the same.
    EXPECT_EQ(p.substr(0, p.size() - 3), checked[i].substr(0, p.size() - 3)) << i;
    EXPECT_EQ(crc16(checked[i].substr(0, p.size() - 2)),
              (static_cast<unsigned char>(checked[i][p.size() - 2]) << 8 | static_cast<unsigned char>(checked[i].back())));
    differing += p[p.size() - 3] != checked[i][p.size() - 3];
  }
  EXPECT_GE(differing, 5) << "the check is not the body's CRC-8";
}

std::uint32_t be32(std::string_view b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at]) << 24 | static_cast<unsigned char>(b[at + 1]) << 16 |
                                    static_cast<unsigned char>(b[at + 2]) << 8 | static_cast<unsigned char>(b[at + 3]));
}

// A fusion state that holds the template of `text` as template 24 of device 305419896.
std::uint64_t seeded_state(const std::string& text) {
  const Answer split = call(vm_auto_decompose_input, text);
  const std::string& d = split.bytes;
  const std::uint32_t ts_len = be32(d, 0), sig_len = be32(d, 4), count = be32(d, 8);
  std::string seed;
  put_u32(seed, 305419896);
  put_u32(seed, 1);
  put_u32(seed, 24);
  put_u32(seed, sig_len);
  seed += d.substr(12 + ts_len, sig_len);
  put_u32(seed, count);
  seed += d.substr(12 + ts_len + sig_len);  // the values, already as length and bytes
  const std::uint64_t handle = vm_fusion_state_create_v1();
  EXPECT_EQ(vm_fusion_state_seed_v1(handle, reinterpret_cast<const uint8_t*>(seed.data()), seed.size()), 1);
  return handle;
}

// The fusion-state receive export applied to a packet, handed the body together with the
// byte after it, as a decoder that does not cut that byte off would.
std::string receive_export(std::uint64_t handle, const std::string& packet, std::string_view ts_text) {
  std::string record;
  put_u32(record, 305419896);
  record.push_back(packet[0]);
  put_u32(record, static_cast<unsigned char>(packet[6]));
  put_u32(record, static_cast<std::uint32_t>(ts_text.size()));
  record += ts_text;
  const std::string body_and_check = packet.substr(13, packet.size() - 15);
  put_u32(record, static_cast<std::uint32_t>(body_and_check.size()));
  record += body_and_check;
  Answer a{};
  std::vector<std::uint8_t> out(4096);
  a.result = vm_fusion_state_receive_apply_v1(handle, reinterpret_cast<const uint8_t*>(record.data()), record.size(),
                                              out.data(), out.size());
  return a.result > 0 ? std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(a.result)) : "";
}

TEST(StateCheckRequests, PlainReceiversDecodeCheckedPacketsAsPublishedOnes) {
  const std::vector<std::string> plain = send_all(false, 10), checked = send_all(true, 10);
  const std::uint64_t plain_rx = fresh_ctx(), checked_rx = fresh_ctx();
  const std::uint64_t plain_state = seeded_state(fact_text(0)), checked_state = seeded_state(fact_text(0));
  int through_export = 0;
  for (std::size_t i = 0; i < plain.size(); ++i) {
    const std::string a = decompress(plain_rx, plain[i]), b = decompress(checked_rx, checked[i]);
    EXPECT_EQ(a, b) << i;
    EXPECT_EQ(a.find("error"), std::string::npos) << a;
    if (checked[i][0] == 63) continue;
    const std::string ts = fact_text(static_cast<int>(i)).substr(8, 8);
    const std::string rebuilt = receive_export(checked_state, checked[i], ts);
    EXPECT_EQ(rebuilt, receive_export(plain_state, plain[i], ts)) << i;
    EXPECT_EQ(rebuilt, fact_text(static_cast<int>(i))) << i;
    ++through_export;
  }
  EXPECT_GE(through_export, 8);
  vm_fusion_state_free_v1(plain_state);
  vm_fusion_state_free_v1(checked_state);
}

TEST(StateCheckRequests, ALostDifferenceIsRefusedNamingTheDeviceUntilTheNextFullPacket) {
  const std::uint64_t tx = fresh_ctx(), rx = fresh_ctx(), reference = fresh_ctx();
  const std::vector<std::string> packets = send_all(true, 10, tx);
  ASSERT_EQ(packets[2][0], static_cast<char>(170)) << "packet 2 changes a value";
  const auto checked = [rx](const std::string& p) {
    return call(vm_fusion_decompress_json_v1, decompress_json(rx, p, {}, true)).bytes;
  };
  EXPECT_EQ(checked(packets[0]), decompress(reference, packets[0]));
  EXPECT_EQ(checked(packets[1]), decompress(reference, packets[1]));
  (void)decompress(reference, packets[2]);  // lost on the way to rx
  for (std::size_t i = 3; i < packets.size(); ++i) {
    const std::string answer = checked(packets[i]);
    EXPECT_NE(answer, decompress(reference, packets[i])) << i;
    EXPECT_NE(answer.find(R"("error":"state_mismatch")"), std::string::npos) << answer;
    EXPECT_NE(answer.find(R"("source_aid":305419896,"tid":24)"), std::string::npos) << answer;
  }
  // A full packet of the template ends the refusal.
  RunRequest full{tx, fact_text(10), "full", 305419896u};
  full.state_check = true;
  const std::string key_frame = run(full);
  EXPECT_EQ(checked(key_frame), decompress(reference, key_frame));
  RunRequest next{tx, fact_text(11), "", 305419896u};
  next.state_check = true;
  const std::string after = run(next);
  EXPECT_EQ(checked(after), decompress(reference, after));
}

}  // namespace
