// The one packet writer: the framing of the worked example byte for byte, the framing of
// any body against a plain reference, and the timestamp texts and template ids it refuses.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "wire/packet_writer.h"
#include "request_support.h"

namespace vm {
namespace {

using requests::hex;

// The full packet of the worked example: command 63, device 305419896, tid 24,
// timestamp "AYvP5WgA" (01 8B CF E5 68 00), the 63-byte request text as body.
TEST(PacketWriter, FramesTheWorkedExample) {
  const std::string body = "305419896;node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|";
  ASSERT_EQ(body.size(), 63u);
  std::string out = "kept";
  ASSERT_TRUE(build_packet(63, DeviceId{305419896}, TemplateId{24}, "AYvP5WgA", body, out));
  EXPECT_EQ(out, "kept" +
                     hex("3F"                  // full packet
                         "01"                  // one hop
                         "12 34 56 78"         // device 305419896
                         "18"                  // tid 24
                         "01 8B CF E5 68 00")  // 1700000000000 ms
                     + body +
                     hex("B0"       // CRC-8 of the body
                         "FF 46"));  // CRC-16 of everything before
  std::string heartbeat;
  ASSERT_TRUE(build_packet(127, DeviceId{305419896}, TemplateId{24}, "AYvP5WgA", "", heartbeat));
  EXPECT_EQ(heartbeat, hex("7F 01 12 34 56 78 18 01 8B CF E5 68 00 00 5F E7"));
}

TEST(PacketWriter, AnyBodyIsFramedAsTheReferenceFramesIt) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 500; ++i) {
    std::string body(rng() % 300, '\0');
    for (char& c : body) c = static_cast<char>(rng());
    const auto cmd = static_cast<std::uint8_t>(rng());
    const auto aid = static_cast<std::uint32_t>(rng());
    const auto tid = static_cast<std::uint8_t>(rng());
    const std::uint64_t ts = rng() & 0xFFFFFFFFFFFF;
    std::string ts_bytes;
    for (int shift = 40; shift >= 0; shift -= 8) ts_bytes.push_back(static_cast<char>(ts >> shift));
    std::string out;
    ASSERT_TRUE(build_packet(cmd, DeviceId{aid}, TemplateId{tid}, requests::base64(ts_bytes, true), body, out));
    ASSERT_EQ(out, requests::frame(cmd, {aid}, tid, ts, body));
  }
}

// Timestamp texts: unpadded URL-safe Base64 of at least six bytes; bytes after the sixth
// are dropped, however long the text.
TEST(PacketWriter, TimestampTexts) {
  const struct {
    std::string ts;
    bool ok;
    std::string bytes;  // the six timestamp bytes when ok
  } kCases[] = {
      {"AYvP5WgA", true, "01 8B CF E5 68 00"},
      {"________", true, "FF FF FF FF FF FF"},
      {"AYvP5WgAAQ", true, "01 8B CF E5 68 00"},             // 7 bytes, the 7th dropped
      {"AYvP5WgA" + std::string(200, 'B'), true, "01 8B CF E5 68 00"},  // 156 bytes
      {"AYvP5WgA" + std::string(201, 'B'), false, ""},       // a lone last symbol
      {"AYvP5WgA" + std::string(199, 'B'), false, ""},       // non-zero leftover bits
      {"AYvP5WgA" + std::string(198, 'B') + "=", false, ""},  // "=" is not URL-safe
      {"AYvP5Wg", false, ""},    // 5 bytes
      {"", false, ""},
      {"AYvP5WgA=", false, ""},  // padding
      {"AYvP5Wg+", false, ""},   // standard alphabet
      {"AYvP5WgB", true, "01 8B CF E5 68 01"},
      {"AYvP5WgAAB", false, ""},  // non-zero leftover bits
      {"AYvP5W A", false, ""},   // white space
  };
  for (const auto& c : kCases) {
    std::string out = "x";
    EXPECT_EQ(build_packet(127, DeviceId{1}, TemplateId{24}, c.ts, "", out), c.ok) << c.ts;
    if (c.ok) {
      EXPECT_EQ(requests::to_hex(out.substr(8, 6)), c.bytes) << c.ts;
    } else {
      EXPECT_EQ(out, "x") << c.ts << ": a refusal appends nothing";
    }
  }
}

TEST(PacketWriter, TemplateIdMustFitOneByte) {
  std::string out;
  EXPECT_TRUE(build_packet(63, DeviceId{7}, TemplateId{255}, "AAAAAAAA", "b", out));
  EXPECT_EQ(static_cast<unsigned char>(out[6]), 255);
  EXPECT_EQ(out.size(), 17u);
  for (std::uint32_t tid : {256u, 0x118u, 0xFFFFFFFFu}) {
    std::string refused = "x";
    EXPECT_FALSE(build_packet(63, DeviceId{7}, TemplateId{tid}, "AAAAAAAA", "b", refused)) << tid;
    EXPECT_EQ(refused, "x");
  }
}

}  // namespace
}  // namespace vm
