#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "velmarinthos_tavkin.h"

namespace {

using Export = int32_t (*)(const uint8_t*, size_t, uint8_t*, size_t);

const struct {
  Export fn;
  const char* name;
  std::string text;
} kFixed[] = {
    {vm_handshake_negotiate_v1, "handshake", R"({"ok":false,"error":"vm_handshake_negotiate_v1_not_implemented"})"},
    {vm_node_dispatch_json_v1, "dispatch", R"({"ok":false,"error":"vm_node_dispatch_json_v1_not_implemented"})"},
    {vm_node_ensure_id_json_v1, "ensure_id", R"({"ok":false,"error":"vm_node_ensure_id_json_v1_not_implemented"})"},
    {vm_node_transmit_json_v1, "transmit", R"({"ok":false,"error":"vm_node_transmit_json_v1_not_implemented"})"},
    {vm_transporter_listen_v1, "listen", R"({"ok":false,"error":"vm_transporter_listen_v1_not_implemented"})"},
    {vm_transporter_send_v1, "send", R"({"ok":false,"error":"vm_transporter_send_v1_not_implemented"})"},
    {vm_standardize_json_v1, "standardize", "{}"},
};

TEST(FixedAnswers, LengthsAreTheDocumentedOnes) {
  const size_t lengths[] = {64, 63, 64, 63, 63, 61, 2};
  for (size_t i = 0; i < std::size(kFixed); ++i) EXPECT_EQ(kFixed[i].text.size(), lengths[i]) << kFixed[i].name;
}

// Whatever the input (null, empty or bytes), each answer obeys the result buffer rule:
// -n for a null or short buffer with nothing written, n and exactly n bytes otherwise.
TEST(FixedAnswers, FollowTheResultBufferRule) {
  const uint8_t junk_in[] = {'{', '}'};
  for (const auto& f : kFixed) {
    const auto n = static_cast<int32_t>(f.text.size());
    for (const uint8_t* in : {static_cast<const uint8_t*>(nullptr), junk_in}) {
      EXPECT_EQ(f.fn(in, in ? 2 : 0, nullptr, 1000), -n) << f.name;
      std::vector<uint8_t> buf(f.text.size() + 8, 0xEE);
      EXPECT_EQ(f.fn(in, 2, buf.data(), f.text.size() - 1), -n) << f.name;
      EXPECT_EQ(buf, std::vector<uint8_t>(buf.size(), 0xEE)) << f.name << " wrote into a short buffer";
      EXPECT_EQ(f.fn(in, 2, buf.data(), buf.size()), n) << f.name;
      EXPECT_EQ(std::string(buf.begin(), buf.begin() + n), f.text);
      EXPECT_EQ(buf[n], 0xEE) << f.name << " wrote past its answer";
    }
  }
}

TEST(Version, NeedsRoomForTheTerminatingNul) {
  uint8_t buf[32];
  std::memset(buf, 0xEE, sizeof buf);
  EXPECT_EQ(vm_tavkin_version(buf, 25), 0);
  EXPECT_EQ(buf[0], 0xEE);
  EXPECT_EQ(vm_tavkin_version(nullptr, 100), 0);
  EXPECT_EQ(vm_tavkin_version(buf, 26), 1);
  EXPECT_STREQ(reinterpret_cast<char*>(buf), "velmarinthos_tavkin/0.1.0");
  EXPECT_EQ(buf[25], 0);
  EXPECT_EQ(buf[26], 0xEE);
}

}  // namespace
