// Sender to receiver through the exports, as a host uses them: random facts are compressed,
// sent through the run request or the batch in one context, and received through the
// decompress request in another. Every answer must be the JSON view of the compact fact
// that was sent (computed by the plain reference), for full, heartbeat and diff packets
// alike; contexts dropped on either side recover their templates from the registry files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "batch_support.h"
#include "compact_view_reference.h"

namespace {

using namespace requests;
using vm::testing::FactSpec;
using vm::testing::ReadingSpec;

// Characters of node ids, node states and reading ids: anything but the separators
// . | > : & # @, the routing ";", control bytes and "{". These three stand in the template
// signature before the value slots, and a 0x01 byte or a "{TS}" there would be taken for a
// slot when the fact is rebuilt.
const std::vector<std::string> kIdPieces = {
    "a", "b", "z", "A", "Q", "0", "7", "9", " ", "_", "-", "+", "~", "/", ",", "!", "'", "\"", "\\",
    "%", "$", "(", ")", "[", "]", "*", "=", "?", "\x7f", "é", "ß", "€", "中", "😀"};
// Reading states and units are values, and the geohash follows every slot: these may also
// hold control bytes, 0x01 among them, and "{TS}".
const std::vector<std::string> kFreePieces = {"a", "Z", "0", " ", "\x01", "\x1f", "\t", "{TS}", "{", "é", "😀"};
const std::vector<std::string> kUnits = {
    "celsius", "Celsius", "m/s2", "1000m", "1500W", "km/h", "%", "°C", "unknown", "UNKNOWN", "",
    "kg m", "2", "10^3m", "percent", " m / s2 ", "info", "m//s", "2 km", "1e3x", "m\x01s", "{TS}"};
const std::vector<std::string> kNodeStates = {"online", "OK", "ok", "warn", "WARN", "", "down", "ÉTAT"};
const std::vector<std::string> kStates = {"online", "OK", "ok", "warn", "", "down", "ÉTAT", "o\x01k", "{TS}"};

struct Rng {
  std::mt19937_64 engine;
  std::uint64_t below(std::uint64_t n) { return engine() % n; }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine) < p; }
  template <class T>
  const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }

  std::string text(const std::vector<std::string>& pieces, std::size_t max_pieces) {
    std::string s;
    for (std::uint64_t n = below(max_pieces + 1); n > 0; --n) s += pick(pieces);
    return s;
  }
  double value() {
    switch (below(6)) {
      case 0: return static_cast<double>(static_cast<std::int64_t>(below(200)) - 100);
      case 1: return std::uniform_real_distribution<double>(-1e3, 1e3)(engine);
      case 2: return std::uniform_real_distribution<double>(-1, 1)(engine);
      case 3: return std::ldexp(std::uniform_real_distribution<double>(-1, 1)(engine), static_cast<int>(below(80)));
      case 4: return 0.5 * static_cast<double>(below(7));
      default: return 21.5;
    }
  }
  ReadingSpec reading() {
    return {text(kIdPieces, 3), below(4) ? pick(kStates) : text(kFreePieces, 3), value(),
            below(3) ? pick(kUnits) : text(kFreePieces, 3)};
  }
  std::optional<std::string> geohash() {
    if (below(2)) return std::nullopt;
    return below(2) ? text(kIdPieces, 6) : text(kFreePieces, 6);
  }
  std::optional<std::string> url() {
    static const std::vector<std::string> kHost = {"a", "x", "0", ".", "/", "-", "é", "?q=1", "%20"};
    static const std::vector<std::string> kSchemes = {"https://", "http://", "ftp://", "a+b.c-d://", ""};
    if (below(3) == 0) return std::nullopt;
    return pick(kSchemes) + text(kHost, 6);
  }
  std::optional<std::string> msg() {  // anything UTF-8, separators included
    static const std::vector<std::string> kMsg = {"x", "|", "@", ";", ".", ":", ">", "#", "&", " ", "\n", "\"", "ü", "😀", "\x01"};
    return below(3) == 0 ? std::nullopt : std::optional<std::string>(text(kMsg, 8));
  }
  FactSpec fact() {
    FactSpec f;
    f.id = text(kIdPieces, 5);
    f.s = pick(kNodeStates);
    f.timestamp = static_cast<double>(below(2000000000000));
    for (std::uint64_t n = below(5); n > 0; --n) f.readings.push_back(reading());
    f.geohash = geohash();
    f.url = url();
    f.msg = msg();
    return f;
  }
};

std::uint64_t test_seed() {
  if (const char* s = std::getenv("VM_TEST_SEED")) return std::strtoull(s, nullptr, 10);
  return std::random_device{}();
}

struct Device {
  std::uint32_t aid;
  FactSpec fact;
  bool sent = false;
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    rng_.engine.seed(seed_);
    vm::testing::ConfigSpec config{static_cast<std::uint32_t>(2 * rng_.below(4)),
                                   static_cast<std::uint8_t>(rng_.below(2)),
                                   {{"celsius", "c1"}, {"percent", "pct"}},
                                   {{"online", "1"}, {"ok", "0"}, {"warn", "w"}}};
    handle_ = create_compressor(config);
    ASSERT_NE(handle_, 0u);
    for (std::uint32_t aid : {0u, 7u, 305419896u, 4294967295u, static_cast<std::uint32_t>(rng_.engine())}) {
      devices_.push_back({aid, rng_.fact(), false});
    }
    // One device whose template holds more than 128 values.
    FactSpec wide = rng_.fact();
    wide.readings.clear();
    for (int i = 0; i < 70; ++i) wide.readings.push_back({"r" + std::to_string(i), "ok", 1.0 * i, "m"});
    devices_.push_back({12345, wide, false});
  }
  void TearDown() override { vm_compressor_free_v1(handle_); }

  // Moves the device's fact on: same values, changed values, changed states or units, a
  // new shape (a new template), or nothing at all.
  bool mutate(FactSpec& f) {
    const std::uint64_t r = rng_.below(100);
    if (rng_.chance(0.5)) f.timestamp += static_cast<double>(rng_.below(5000));
    if (r < 30 || f.readings.empty()) {
      // unchanged values
    } else if (r < 75) {
      for (std::uint64_t n = 1 + rng_.below(3); n > 0; --n) f.readings[rng_.below(f.readings.size())].v = rng_.value();
    } else if (r < 82) {
      ReadingSpec& reading = f.readings[rng_.below(f.readings.size())];
      (rng_.chance(0.5) ? reading.s : reading.u) = rng_.chance(0.5) ? rng_.pick(kStates) : rng_.pick(kUnits);
    } else if (r < 94) {
      switch (rng_.below(6)) {
        case 0: f.readings.push_back(rng_.reading()); break;
        case 1: if (!f.readings.empty()) f.readings.pop_back(); break;
        case 2: f.geohash = rng_.geohash(); break;
        case 3: f.url = rng_.url(); break;
        case 4: f.msg = rng_.msg(); break;
        default: f.s = rng_.pick(kNodeStates); break;
      }
    }
    return r >= 97;  // force a full packet
  }

  // Receives `packet` and checks the answer against the view of `compact`.
  void receive(const std::string& packet, const std::string& compact, const FactSpec& sent) {
    ASSERT_GE(packet.size(), 16u) << compact;
    const Answer a = call(vm_fusion_decompress_json_v1, decompress_json(receiver_ctx_, packet, receiver_root_.str()), 1 << 20);
    ASSERT_EQ(a.bytes, expected_answer(packet, compact)) << "compact: " << compact << "\ncommand " << int{static_cast<unsigned char>(packet[0])};
    ++commands_[static_cast<unsigned char>(packet[0])];

    // The trailers mean what was sent.
    const View view = reference_view(compact);
    if (sent.msg) {
      EXPECT_EQ(view.at("msg"), ref_json_string(*sent.msg)) << compact;
    }
    if (sent.url) {
      const bool has_scheme = sent.url->find("://") != std::string::npos;
      EXPECT_EQ(view.at("url"), ref_json_string(has_scheme ? *sent.url : "https://" + *sent.url)) << compact;
    }
  }

  struct Pending {
    std::string compact;
    FactSpec fact;
  };

  // Sends `steps` facts of random devices, through single run requests (routing prefix or
  // src_aid) and batches, and receives every packet in order.
  void exchange(int steps) {
    std::vector<BatchItem> batch;
    std::vector<Pending> pending;
    const auto flush = [&] {
      const Answer a = call(vm_pipeline_batch_v1, batch_input(handle_, sender_ctx_, sender_root_.str(), batch), 1 << 20);
      const BatchAnswer answer = parse_batch_answer(a.bytes);
      ASSERT_TRUE(answer.well_formed);
      ASSERT_EQ(answer.packets.size(), batch.size());
      for (std::size_t i = 0; i < batch.size(); ++i) {
        if (answer.packets[i][0] == 63) {  // the body of a full packet is "aid;compact"
          ASSERT_EQ(answer.packets[i].substr(13, answer.packets[i].size() - 16),
                    std::to_string(batch[i].aid) + ";" + pending[i].compact);
        }
        receive(answer.packets[i], pending[i].compact, pending[i].fact);
      }
      batch.clear();
      pending.clear();
    };
    for (int step = 0; step < steps; ++step) {
      Device& d = devices_[rng_.below(devices_.size())];
      const bool force = mutate(d.fact);
      d.sent = true;
      const std::string record = vm::testing::fact_record(d.fact).bytes;
      const std::string compact = compress(handle_, record);
      ASSERT_FALSE(compact.empty());
      switch (rng_.below(3)) {
        case 0: {
          batch.push_back({d.aid, static_cast<std::uint8_t>(force ? 1 + rng_.below(255) : 0), record});
          pending.push_back({compact, d.fact});
          if (rng_.chance(0.3)) flush();
          break;
        }
        case 1: {
          RunRequest r{sender_ctx_, std::to_string(d.aid) + ";" + compact, force ? "FULL" : "", std::nullopt, sender_root_.str()};
          if (!batch.empty()) flush();
          receive(run(r), compact, d.fact);
          break;
        }
        default: {
          RunRequest r{sender_ctx_, compact, force ? "full_packet" : "", d.aid, sender_root_.str()};
          if (!batch.empty()) flush();
          receive(run(r), compact, d.fact);
          break;
        }
      }
      if (HasFatalFailure()) return;
    }
    if (!batch.empty()) flush();
  }

  const std::uint64_t seed_ = test_seed();
  Rng rng_;
  std::uint64_t handle_ = 0;
  std::vector<Device> devices_;
  const ScratchRoot sender_root_{"e2e_sender"}, receiver_root_{"e2e_receiver"};
  std::uint64_t sender_ctx_ = fresh_ctx(), receiver_ctx_ = fresh_ctx();
  std::map<int, int> commands_;
};

TEST_F(EndToEnd, EveryPacketAnswersTheViewOfItsFact) {
  SCOPED_TRACE("seed " + std::to_string(seed_) + " (set VM_TEST_SEED to replay)");
  exchange(300);
  ASSERT_FALSE(HasFatalFailure());

  // The receiver drops its context: templates come back from its registry files.
  receiver_ctx_ = fresh_ctx();
  exchange(150);
  ASSERT_FALSE(HasFatalFailure());

  // The sender drops its context: it goes on from its files, each loaded template's
  // first packet travelling whole, then heartbeats and diffs.
  sender_ctx_ = fresh_ctx();
  exchange(150);
  ASSERT_FALSE(HasFatalFailure());

  // Both drop their contexts; each device's unchanged fact goes out whole once (a restart
  // frame), then as a heartbeat that the receiver, reloaded from its files, understands.
  sender_ctx_ = fresh_ctx();
  receiver_ctx_ = fresh_ctx();
  for (Device& d : devices_) {
    const std::string compact = compress(handle_, vm::testing::fact_record(d.fact).bytes);
    const RunRequest r{sender_ctx_, std::to_string(d.aid) + ";" + compact, "", std::nullopt, sender_root_.str()};
    const std::string restart_frame = run(r);
    ASSERT_FALSE(restart_frame.empty());
    EXPECT_EQ(static_cast<unsigned char>(restart_frame[0]), 63) << d.aid;
    const std::string packet = run(r);
    ASSERT_FALSE(packet.empty());
    // A fact holding a 0x01 byte anywhere travels whole, whatever the receiver knows.
    const bool whole = compact.find('\x01') != std::string::npos;
    EXPECT_EQ(static_cast<unsigned char>(packet[0]), whole ? 63 : 127) << d.aid;
    receive(packet, compact, d.fact);
  }
  EXPECT_GT(commands_[63], 0);
  EXPECT_GT(commands_[127], 0);
  EXPECT_GT(commands_[170], 0);
}

}  // namespace
