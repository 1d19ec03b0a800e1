// The boundary of all 34 exports: each called with NULL, 0 inputs, and each that writes a
// result called with a buffer one byte too small (pre-filled with junk, left untouched)
// and with exactly enough room (nothing written past the answer).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "batch_support.h"

namespace {

using namespace requests;

constexpr std::string_view kSig = "a.{TS}|b>\x01:\x01|";

void put_str(std::string& out, std::string_view s) {
  put_u32(out, static_cast<std::uint32_t>(s.size()));
  out.append(s);
}

std::string exact_fact_record() { return vm::testing::fact_record(vm::testing::example_fact()).bytes; }

// An export that writes a result by the result buffer rule, and a maker of an input that
// gives the same answer every time it is made (stateful exports get a fresh context or
// state per input).
struct ResultExport {
  const char* name;
  std::function<int32_t(const uint8_t*, size_t, uint8_t*, size_t)> call;
  std::function<std::string()> input;
  int32_t null_input_result;  // with NULL, 0 as input and a roomy buffer
};

std::vector<ResultExport> result_exports(std::uint64_t compressor) {
  const auto plain = [](Export f) { return [f](const uint8_t* i, size_t n, uint8_t* o, size_t c) { return f(i, n, o, c); }; };
  const auto fixed = [](const char* text) { return [text] { return std::string(text); }; };
  return {
      {"vm_handshake_negotiate_v1", plain(vm_handshake_negotiate_v1), fixed("x"), 64},
      {"vm_node_dispatch_json_v1", plain(vm_node_dispatch_json_v1), fixed("x"), 63},
      {"vm_node_ensure_id_json_v1", plain(vm_node_ensure_id_json_v1), fixed("x"), 64},
      {"vm_node_transmit_json_v1", plain(vm_node_transmit_json_v1), fixed("x"), 63},
      {"vm_transporter_listen_v1", plain(vm_transporter_listen_v1), fixed("x"), 63},
      {"vm_transporter_send_v1", plain(vm_transporter_send_v1), fixed("x"), 61},
      {"vm_standardize_json_v1", plain(vm_standardize_json_v1), fixed("x"), 2},
      {"vm_compress_fact_v1",
       [compressor](const uint8_t* i, size_t n, uint8_t* o, size_t c) { return vm_compress_fact_v1(compressor, i, n, o, c); },
       exact_fact_record, 0},
      {"vm_auto_decompose_input", plain(vm_auto_decompose_input), fixed(vm::testing::kExampleCompact), 0},
      {"vm_fusion_state_apply_v1",
       [](const uint8_t* i, size_t n, uint8_t* o, size_t c) {
         const uint64_t h = vm_fusion_state_create_v1();
         const int32_t r = vm_fusion_state_apply_v1(h, i, n, o, c);
         vm_fusion_state_free_v1(h);
         return r;
       },
       [] {
         std::string in;
         put_u32(in, 7);
         in.push_back(0);
         put_str(in, kSig);
         put_u32(in, 2);
         put_str(in, "s");
         put_str(in, "v");
         return in;
       },
       0},
      {"vm_fusion_state_receive_apply_v1",
       [](const uint8_t* i, size_t n, uint8_t* o, size_t c) {
         const uint64_t h = vm_fusion_state_create_v1();
         std::string seed;
         put_u32(seed, 7);
         put_u32(seed, 1);
         put_u32(seed, 24);
         put_str(seed, kSig);
         put_u32(seed, 2);
         put_str(seed, "s");
         put_str(seed, "v");
         const int32_t seeded = vm_fusion_state_seed_v1(h, reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
         const int32_t r = seeded == 1 ? vm_fusion_state_receive_apply_v1(h, i, n, o, c) : 0;
         vm_fusion_state_free_v1(h);
         return r;
       },
       [] {
         std::string in;
         put_u32(in, 7);
         in.push_back(127);
         put_u32(in, 24);
         put_str(in, "AAAAAAAA");
         put_str(in, "");
         return in;
       },
       0},
      {"vm_fusion_decompress_json_v1", plain(vm_fusion_decompress_json_v1),
       [] { return decompress_json(fresh_ctx(), frame(63, {1}, 24, 0, vm::testing::kExampleCompact)); }, 0},
      {"vm_fusion_run_json_v1", plain(vm_fusion_run_json_v1),
       [] { return RunRequest{fresh_ctx(), std::string("1;") + vm::testing::kExampleCompact}.json(); }, 0},
      {"vm_fusion_relay_json_v1", plain(vm_fusion_relay_json_v1),
       [] { return RunRequest{fresh_ctx(), std::string("1;") + vm::testing::kExampleCompact}.json(); }, 0},
      {"vm_pipeline_batch_v1", plain(vm_pipeline_batch_v1),
       [compressor] { return batch_input(compressor, fresh_ctx(), "", {{1, 0, exact_fact_record()}, {1, 0, "bad"}}); }, 0},
  };
}

TEST(ExportBoundary, ResultBufferRuleForEveryExportThatWritesOne) {
  const std::uint64_t compressor = create_compressor(vm::testing::example_config());
  ASSERT_NE(compressor, 0u);
  for (const ResultExport& e : result_exports(compressor)) {
    SCOPED_TRACE(e.name);
    std::vector<std::uint8_t> buf(4096, kJunk);
    EXPECT_EQ(e.call(nullptr, 0, buf.data(), buf.size()), e.null_input_result);
    EXPECT_EQ(e.call(nullptr, 0, nullptr, 0), e.null_input_result > 0 ? -e.null_input_result : 0);
    const std::string any = e.input();
    EXPECT_EQ(e.call(reinterpret_cast<const uint8_t*>(any.data()), 0, buf.data(), buf.size()), e.null_input_result)
        << "a zero length with a valid pointer";
    EXPECT_EQ(e.call(nullptr, any.size(), buf.data(), buf.size()), e.null_input_result) << "NULL with a length";
    for (std::size_t k = static_cast<std::size_t>(std::max(e.null_input_result, 0)); k < buf.size(); ++k) {
      ASSERT_EQ(buf[k], kJunk) << "written at " << k;
    }

    std::string in = e.input();
    const int32_t needed = e.call(reinterpret_cast<const uint8_t*>(in.data()), in.size(), nullptr, 0);
    ASSERT_LT(needed, 0);
    const auto n = static_cast<std::size_t>(-needed);

    in = e.input();
    std::vector<std::uint8_t> small(n + 16, kJunk);
    EXPECT_EQ(e.call(reinterpret_cast<const uint8_t*>(in.data()), in.size(), small.data(), n - 1), needed);
    EXPECT_EQ(small, std::vector<std::uint8_t>(n + 16, kJunk)) << "wrote into a buffer one byte too small";

    in = e.input();
    std::vector<std::uint8_t> exact(n + 16, kJunk);
    EXPECT_EQ(e.call(reinterpret_cast<const uint8_t*>(in.data()), in.size(), exact.data(), n), -needed);
    for (std::size_t k = n; k < exact.size(); ++k) ASSERT_EQ(exact[k], kJunk) << "wrote past the answer at " << k;
  }
  EXPECT_EQ(vm_compressor_free_v1(compressor), 1);
}

// The exports that answer a fixed value, a NUL-terminated text, a handle or a count.
TEST(ExportBoundary, ExportsWithoutAResultBuffer) {
  std::uint8_t version[32];
  std::memset(version, kJunk, sizeof version);
  EXPECT_EQ(vm_tavkin_version(nullptr, 0), 0);
  EXPECT_EQ(vm_tavkin_version(version, 25), 0);
  EXPECT_EQ(version[0], kJunk);
  EXPECT_EQ(vm_tavkin_version(version, 26), 1);
  EXPECT_EQ(version[26], kJunk);

  char b62[16];
  std::memset(b62, static_cast<char>(kJunk), sizeof b62);
  EXPECT_EQ(vm_b62_encode_i64(-62, nullptr, 0), 0);
  EXPECT_EQ(vm_b62_encode_i64(-62, b62, 3), 0) << "\"-10\" and its NUL need 4 bytes";
  EXPECT_EQ(static_cast<std::uint8_t>(b62[0]), kJunk);
  EXPECT_EQ(vm_b62_encode_i64(-62, b62, 4), 1);
  EXPECT_STREQ(b62, "-10");
  EXPECT_EQ(static_cast<std::uint8_t>(b62[4]), kJunk);

  int32_t ok = 7;
  EXPECT_EQ(vm_b62_decode_i64(nullptr, &ok), 0);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(vm_b62_decode_i64(nullptr, nullptr), 0);

  EXPECT_EQ(vm_crc16_ccitt_pub(nullptr, 0, 0x1021, 0xFFFF), 0xFFFF);
  EXPECT_EQ(vm_crc16_ccitt_pub(nullptr, 9, 0x1021, 0x1234), 0x1234);
  EXPECT_EQ(vm_crc8(nullptr, 0, 0x07, 0x00), 0x00);
  EXPECT_EQ(vm_crc8(nullptr, 9, 0x07, 0x5A), 0x5A);

  EXPECT_EQ(vm_cmd_is_data(0), 0);
  EXPECT_EQ(vm_cmd_normalize_data(0), 0);
  EXPECT_EQ(vm_cmd_secure_variant(0), 0);

  std::uint64_t slots[10];
  std::memset(slots, kJunk, sizeof slots);
  const std::string packet = frame(63, {1}, 24, 0, "");
  EXPECT_EQ(vm_parse_header_min(nullptr, 0, slots, 9), 0);
  EXPECT_EQ(vm_parse_header_min(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), slots, 8), 0);
  EXPECT_EQ(vm_parse_header_min(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), nullptr, 9), 0);
  for (std::uint64_t s : slots) EXPECT_EQ(s, 0xEEEEEEEEEEEEEEEEull);
  EXPECT_EQ(vm_parse_header_min(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), slots, 9), 1);
  EXPECT_EQ(slots[9], 0xEEEEEEEEEEEEEEEEull);

  EXPECT_EQ(vm_compressor_create_v1(nullptr, 0), 0u);
  EXPECT_EQ(vm_compressor_create_v1(nullptr, 10), 0u);
  EXPECT_EQ(vm_compressor_free_v1(0), 0);

  const std::uint64_t state = vm_fusion_state_create_v1();
  EXPECT_NE(state, 0u);
  EXPECT_EQ(vm_fusion_state_seed_v1(state, nullptr, 0), 0);
  EXPECT_EQ(vm_fusion_state_free_v1(0), 0);
  EXPECT_EQ(vm_fusion_state_free_v1(state), 1);

  // Reading the count of failed saves counts nothing.
  const std::uint64_t failures = vm_registry_save_failures_v1();
  EXPECT_EQ(vm_registry_save_failures_v1(), failures);

  // The typed receive calls nothing without a callback, or with NULL and a length; a
  // context never used has nothing to save or drop.
  int called = 0;
  const auto count_calls = [](void* user, const vm_received_v1*) { ++*static_cast<int*>(user); };
  EXPECT_EQ(vm_receive_packet_v1(fresh_ctx(), nullptr, 0, 0, nullptr, 0, nullptr, &called), 0);
  EXPECT_EQ(vm_receive_packet_v1(fresh_ctx(), nullptr, 0, 0, nullptr, 1, count_calls, &called), 0);
  EXPECT_EQ(vm_receive_packets_v1(fresh_ctx(), nullptr, 0, 0, nullptr, 0, nullptr, &called), 0);
  EXPECT_EQ(vm_receive_packets_v1(fresh_ctx(), nullptr, 0, 0, nullptr, 1, count_calls, &called), 0);
  EXPECT_EQ(called, 0);
  EXPECT_EQ(vm_receive_packets_v1(fresh_ctx(), nullptr, 0, 0, nullptr, 0, count_calls, &called), 0);
  EXPECT_EQ(vm_receive_packet_v1(fresh_ctx(), nullptr, 0, 0, nullptr, 0, count_calls, &called), 1);
  EXPECT_EQ(called, 1);
  const std::uint64_t unused = fresh_ctx();
  EXPECT_EQ(vm_context_save_v1(unused, nullptr, 0, VM_SAVE_FSYNC), 0);
  EXPECT_EQ(vm_context_save_v1(unused, nullptr, 7, 0), 0);
  EXPECT_EQ(vm_context_drop_v1(unused), 0);
}

// The two tests above cover exactly the exports of the library's export list.
TEST(ExportBoundary, CoversEveryExport) {
  std::set<std::string> covered;
  for (const ResultExport& e : result_exports(0)) covered.insert(e.name);
  for (const char* n : {"vm_tavkin_version", "vm_b62_encode_i64", "vm_b62_decode_i64", "vm_crc16_ccitt_pub", "vm_crc8",
                        "vm_cmd_is_data", "vm_cmd_normalize_data", "vm_cmd_secure_variant", "vm_parse_header_min",
                        "vm_compressor_create_v1", "vm_compressor_free_v1", "vm_fusion_state_create_v1",
                        "vm_fusion_state_seed_v1", "vm_fusion_state_free_v1", "vm_registry_save_failures_v1",
                        "vm_receive_packet_v1", "vm_receive_packets_v1", "vm_context_save_v1", "vm_context_drop_v1"}) {
    covered.insert(n);
  }
  std::set<std::string> listed;
  std::ifstream list(VM_EXPORTS_LIST);
  for (std::string name; std::getline(list, name);) {
    if (name.rfind("vm_", 0) == 0) listed.insert(name);
  }
  EXPECT_EQ(listed.size(), 34u);
  EXPECT_EQ(covered, listed);
}

}  // namespace
