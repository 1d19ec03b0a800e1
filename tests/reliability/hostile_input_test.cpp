// Hostile input through the C exports: lengths and counts that claim gigabytes, JSON nested
// 100,000 levels deep, answers too long for the result's 32 bits, and registry roots that
// are files or unwritable directories. Each gets the answer its export documents, with
// memory bounded by what the input really holds.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "abi/result_buffer.h"
#include "allocation_meter.h"
#include "request_support.h"

namespace {

using namespace reliability;
namespace fs = std::filesystem;

// Big-endian record writer.
struct Bytes {
  std::string b;
  Bytes& u8(std::uint8_t v) { return b.push_back(static_cast<char>(v)), *this; }
  Bytes& u32(std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) u8(static_cast<std::uint8_t>(v >> s));
    return *this;
  }
  Bytes& u64(std::uint64_t v) { return u32(static_cast<std::uint32_t>(v >> 32)).u32(static_cast<std::uint32_t>(v)); }
  Bytes& str(std::string_view s) { return u32(static_cast<std::uint32_t>(s.size())), b.append(s), *this; }
  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(b.data()); }
};

constexpr std::uint32_t kHuge = 0xFFFFFFF0;  // about 4 GB

std::uint64_t compressor() {
  static const std::uint64_t handle = [] {
    const Bytes config = Bytes{}.u32(2).u8(0).u32(0).u32(0);
    return vm_compressor_create_v1(config.data(), config.b.size());
  }();
  return handle;
}

// A fact record up to its reading count.
Bytes fact_head(std::uint32_t readings) {
  return Bytes{}.str("n").str("s").u64(0).u32(readings);
}

struct Case {
  const char* what;
  std::function<std::int64_t()> call;
  std::int64_t expected;
};

TEST(HostileInput, LengthsAndCountsThatClaimGigabytes) {
  const std::uint64_t state = vm_fusion_state_create_v1();
  std::string out(4096, '\0');
  auto* o = reinterpret_cast<std::uint8_t*>(out.data());
  const auto create = [](const Bytes& r) { return [r] { return static_cast<std::int64_t>(vm_compressor_create_v1(r.data(), r.b.size())); }; };
  const auto compress = [&](const Bytes& r) { return [&, r] { return std::int64_t{vm_compress_fact_v1(compressor(), r.data(), r.b.size(), o, out.size())}; }; };
  const auto seed = [&](const Bytes& r) { return [&, r] { return std::int64_t{vm_fusion_state_seed_v1(state, r.data(), r.b.size())}; }; };
  const auto apply = [&](const Bytes& r) { return [&, r] { return std::int64_t{vm_fusion_state_apply_v1(state, r.data(), r.b.size(), o, out.size())}; }; };
  const auto receive = [&](const Bytes& r) { return [&, r] { return std::int64_t{vm_fusion_state_receive_apply_v1(state, r.data(), r.b.size(), o, out.size())}; }; };
  const auto batch = [&](const Bytes& r) { return [&, r] { return std::int64_t{vm_pipeline_batch_v1(r.data(), r.b.size(), o, out.size())}; }; };
  const Bytes batch_head = Bytes{}.u64(compressor()).u64(77);
  const Case cases[] = {
      {"config: unit pair count", create(Bytes{}.u32(2).u8(0).u32(kHuge)), 0},
      {"config: unit name length", create(Bytes{}.u32(2).u8(0).u32(1).u32(kHuge).str("x")), 0},
      {"config: state pair count", create(Bytes{}.u32(2).u8(0).u32(0).u32(kHuge).str("a").str("b")), 0},
      {"fact: id length", compress(Bytes{}.u32(kHuge).str("s")), 0},
      {"fact: reading count", compress(fact_head(kHuge).u32(~0u).u32(~0u).u32(~0u)), 0},
      {"fact: unit length", compress(fact_head(1).str("t").str("ok").u64(0).u32(kHuge)), 0},
      {"fact: geohash length", compress(fact_head(0).u32(kHuge).u32(~0u).u32(~0u)), 0},
      {"seed: template count", seed(Bytes{}.u32(7).u32(kHuge).u32(24).str("x.{TS}|").u32(0)), 0},
      {"seed: value count", seed(Bytes{}.u32(7).u32(1).u32(24).str("x.{TS}|").u32(kHuge).str("v")), 0},
      {"seed: signature length", seed(Bytes{}.u32(7).u32(1).u32(24).u32(kHuge)), 0},
      {"apply: value count", apply(Bytes{}.u32(7).u8(0).str("x.{TS}|").u32(kHuge).str("v")), 0},
      {"apply: signature length", apply(Bytes{}.u32(7).u8(0).u32(kHuge)), 0},
      {"receive: timestamp length", receive(Bytes{}.u32(7).u8(127).u32(24).u32(kHuge)), 0},
      {"receive: body length", receive(Bytes{}.u32(7).u8(170).u32(24).str("T").u32(kHuge)), 0},
      // The answer holds N and one empty entry for the item cut short, then stops.
      {"batch: item count", batch(Bytes(batch_head).u32(~0u).u32(0)), 8},
      {"batch: root length", batch(Bytes(batch_head).u32(0).u32(kHuge)), 0},
      {"batch: fact length", batch(Bytes(batch_head).u32(1).u32(0).u32(7).u8(0).u32(kHuge)), 8},
  };
  for (const Case& c : cases) {
    const std::size_t before = meter::live;
    meter::reset();
    EXPECT_EQ(c.call(), c.expected) << c.what;
    if (!meter::on) continue;
    EXPECT_LT(meter::largest.load(), std::size_t{64} << 10) << c.what;
    EXPECT_LT(meter::peak_growth(before), std::size_t{1} << 20) << c.what;
  }
  EXPECT_EQ(vm_fusion_state_free_v1(state), 1);
}

TEST(HostileInput, JsonNestedAHundredThousandLevelsDeep) {
  const std::string arrays = std::string(100'000, '[') + std::string(100'000, ']');
  std::string objects;
  for (int i = 0; i < 100'000; ++i) objects += "{\"a\":";
  objects += "1" + std::string(100'000, '}');
  static const struct {
    const char* what;
    std::string request;
    Export call;
    std::string answer;
  } kCases[] = {
      {"run: arrays", arrays, vm_fusion_run_json_v1, R"({"error":"invalid_json"})"},
      {"run: in a skipped member", "{\"raw_input\":\"a.b.T|\",\"x\":" + arrays + "}", vm_fusion_run_json_v1,
       R"({"error":"invalid_json"})"},
      {"decompress: objects", objects, vm_fusion_decompress_json_v1, R"({"error":"invalid_json"})"},
      {"decompress: unclosed", std::string(100'000, '['), vm_fusion_decompress_json_v1, R"({"error":"invalid_json"})"},
      {"run: as text, not nesting", "{\"raw_input\":\"" + std::string(100'000, '[') + "\"}", vm_fusion_run_json_v1,
       R"({"error":"auto_decompose_failed"})"},
      {"run: a number of 100,000 digits", "{\"ctx_id\":" + std::string(100'000, '9') + ",\"raw_input\":\"a.b.T|\"}",
       vm_fusion_run_json_v1, R"({"error":"invalid_json"})"},
  };
  for (const auto& c : kCases) {
    const std::size_t before = meter::live;
    meter::reset();
    EXPECT_EQ(call(c.call, c.request), c.answer) << c.what;
    if (meter::on) {
      EXPECT_LT(meter::peak_growth(before), 40 * c.request.size()) << c.what;
    }
  }
}

// An answer of 2^31 bytes or more cannot be told by a 32-bit result: the rule answers 0
// and touches neither the answer nor the output. Both sit on pages that fault when read.
TEST(HostileInput, AnswersBeyondThe32BitResultAreNotHandedBack) {
  constexpr std::size_t kTooLong = std::size_t{1} << 31;
  void* const pages = ::mmap(nullptr, kTooLong + 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  const std::string_view answer(static_cast<const char*>(pages), kTooLong);
  auto* const out = static_cast<std::uint8_t*>(pages);
  EXPECT_EQ(vm::write_result(answer, out, kTooLong + 4096), 0);
  EXPECT_EQ(vm::write_result(answer.substr(0, kTooLong - 1), nullptr, 0), -2147483647);
  EXPECT_EQ(vm::write_result(answer.substr(0, kTooLong - 1), out, kTooLong - 2), -2147483647);
  ::munmap(pages, kTooLong + 4096);
}

// Runs `check` in a child process without root's right to write anywhere, so that a
// directory's permissions hold; answers whether every check in it passed.
bool as_unprivileged_child(const std::function<bool()>& check) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(HostileInput, RegistryRootThatIsAFileOrUnwritable) {
  const fs::path dir = fs::temp_directory_path() / ("vm_hostile_root_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "locked");
  std::ofstream(dir / "plain") << "not a directory";
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                      fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

  const std::string text = "42;n.s.AYvP5WgA|t>0.c:1|";
  std::uint64_t ctx = 8'000'000'000;
  const std::string packet = call(vm_fusion_run_json_v1, run_request(ctx++, text));
  ASSERT_GE(packet.size(), 16u);
  const std::string answer = call(vm_fusion_decompress_json_v1, decompress_request(ctx++, packet));
  // The same request with each root answers exactly as without one, and writes nothing.
  const auto same_answers = [&](const std::string& root) {
    return call(vm_fusion_run_json_v1, run_request(ctx++, text, root)) == packet &&
           call(vm_fusion_decompress_json_v1, decompress_request(ctx++, packet, root)) == answer;
  };
  EXPECT_TRUE(same_answers((dir / "plain").string()));
  EXPECT_TRUE(same_answers((dir / "plain" / "below").string()));
  EXPECT_TRUE(as_unprivileged_child([&] { return same_answers((dir / "locked").string()); }));
  EXPECT_TRUE(fs::is_empty(dir / "locked"));
  std::ifstream plain(dir / "plain");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(plain), {}), "not a directory");
  fs::permissions(dir / "locked", fs::perms::owner_all);
  fs::remove_all(dir);
}

// A fact with more readings than the library answers within memory is refused where it
// enters, as invalid input, and teaches nothing; one reading fewer still goes through.
TEST(HostileInput, FactsWithTooManyReadingsAreRefused) {
  const auto fact = [](std::size_t readings) {
    std::string text = "n.s.AYvP5WgA|";
    for (std::size_t i = 0; i < readings; ++i) text += ">:|";
    return text;
  };
  const auto packet = [](char cmd, std::string_view body) {
    std::string p = {cmd, char(1), 0, 0, 0, 7, char(24), 1, char(0x8B), char(0xCF), char(0xE5), 0x68, 0};
    p += body;
    p += static_cast<char>(vm_crc8(reinterpret_cast<const std::uint8_t*>(body.data()), body.size(), 0x07, 0));
    const std::uint16_t crc = vm_crc16_ccitt_pub(reinterpret_cast<const std::uint8_t*>(p.data()), p.size(), 0x1021, 0xFFFF);
    return p + static_cast<char>(crc >> 8) + static_cast<char>(crc & 0xFF);
  };
  const std::string fits = fact(65536), too_many = fact(65537);
  constexpr std::size_t kCap = 16 << 20;

  EXPECT_GT(call(vm_auto_decompose_input, fits, kCap).size(), fits.size());
  EXPECT_EQ(call(vm_auto_decompose_input, too_many, kCap), "");
  EXPECT_EQ(call(vm_fusion_run_json_v1, run_request(8'200'000'000, too_many), kCap),
            R"({"error":"auto_decompose_failed"})");
  EXPECT_EQ(call(vm_fusion_run_json_v1, run_request(8'200'000'000, fits), kCap).size(), fits.size() + 16);

  const std::string refused = call(vm_fusion_decompress_json_v1, decompress_request(8'200'000'001, packet(char(63), too_many)), kCap);
  EXPECT_EQ(refused, R"({"error":"invalid_json"})");
  EXPECT_EQ(call(vm_fusion_decompress_json_v1, decompress_request(8'200'000'001, packet(char(127), ""))),
            R"({"error":"fusion_receive_apply_failed"})");  // nothing was learnt
  const std::string answered = call(vm_fusion_decompress_json_v1, decompress_request(8'200'000'002, packet(char(63), fits)), kCap);
  EXPECT_NE(answered.find("\"s65536_v\":"), std::string::npos);
}

// A huge call grows the calling thread's scratch buffers; they are given back, so the thread
// does not keep the memory for good. Each call here fails after filling its scratch, so it
// leaves nothing in any state; the small call after it frees the answer buffer.
TEST(HostileInput, ThreadScratchIsReleasedAfterAHugeCall) {
  if (!meter::on) GTEST_SKIP() << "the allocation meter is off under sanitizers";
  const std::string small_fact = "n.s.AYvP5WgA|t>0.c:1|";
  const std::string long_fact = small_fact + "@" + std::string(8 << 20, 'A');
  // 2^20 values, then one byte too many: read whole, then refused.
  Bytes apply = Bytes{}.u32(7).u8(0).str("S").u32(1 << 20);
  apply.b.append(std::size_t{4} << 20, '\0');
  apply.u8(0);
  std::string packet = call(vm_fusion_run_json_v1, run_request(8'100'000'000, "42;" + long_fact), 16 << 20);
  ASSERT_GT(packet.size(), 8u << 20);
  packet[13] ^= 1;  // the trailer no longer matches: answered before any state is touched
  const std::string decompress = decompress_request(8'100'000'001, packet);
  const std::uint64_t state = vm_fusion_state_create_v1();
  const struct {
    const char* what;
    std::function<void()> call;
  } kCalls[] = {
      {"decompose", [&] { (void)call(vm_auto_decompose_input, long_fact, 0); }},
      {"fusion state apply", [&] { EXPECT_EQ(vm_fusion_state_apply_v1(state, apply.data(), apply.b.size(), nullptr, 0), 0); }},
      {"decompress", [&] { (void)call(vm_fusion_decompress_json_v1, decompress, 0); }},
  };
  for (const auto& c : kCalls) {
    std::thread([&] {
      (void)call(vm_auto_decompose_input, small_fact, 0);  // warm: the small buffers every call keeps
      const std::size_t before = meter::live.load();
      c.call();
      (void)call(vm_auto_decompose_input, small_fact, 0);
      EXPECT_LT(meter::live.load(), before + (std::size_t{3} << 20)) << c.what;
    }).join();
  }
  vm_fusion_state_free_v1(state);
}

}  // namespace
