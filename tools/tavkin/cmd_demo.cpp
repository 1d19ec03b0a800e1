// `tavkin demo`: the main job on simulated data. Every fact goes the whole road (compress,
// batch or run request, packet, decompress request in a separate receiving context) and
// every answer is compared with the JSON the tool predicts from the compact text it sent.
// With --moving, the fleet moves and talks (new templates all the time, so template
// numbers are recycled), and the receiver restarts half-way: its context is dropped and it
// carries on from its registry files. With --loss, a lossy link instead: cmd_demo_loss.cpp.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>

#include <fmt/format.h>

#include "codec.h"
#include "commands.h"
#include "demo_sender.h"
#include "fleet.h"
#include "json_view.h"
#include "library.h"
#include "packet_view.h"
#include "progress.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kSenderCtx = 1;
constexpr std::uint64_t kReceiverCtx = 2;
constexpr int kMismatchesShown = 5;

struct Totals {
  std::uint64_t facts = 0, json_bytes = 0, text_bytes = 0, wire_bytes = 0, mismatches = 0, keyframes = 0;
  std::map<std::uint8_t, std::uint64_t> packets_by_cmd;
  Clock::duration sender{}, receiver{};
};

SenderSettings sender_settings(const DemoOptions& options, const std::string& registry) {
  SenderSettings settings;
  settings.ctx = kSenderCtx;
  if (!registry.empty()) settings.registry_root = (std::filesystem::path(registry) / "sender").string();
  settings.via_run = options.via_run;
  settings.state_check = options.state_check;
  settings.keyframes = {options.keyframe_every, options.keyframe_seconds};
  return settings;
}

class Road {
 public:
  Road(const DemoOptions& options, const Compressor& compressor, const std::string& registry)
      : options_(options), sender_(compressor, sender_settings(options, registry)) {
    if (!registry.empty()) receiver_root_ = (std::filesystem::path(registry) / "receiver").string();
  }

  // The receiver restarts: a new context, which knows only its registry files.
  void restart_receiver() { ++receiver_ctx_; }

  // Sends one group of facts and checks what the receiver makes of each packet.
  void carry(const std::vector<Sent>& group, Totals& totals) {
    const auto packets = sender_.send(group);
    for (std::size_t i = 0; i < group.size(); ++i) receive(group[i], packets[i], totals);
    totals.keyframes = sender_.keyframes();
    totals.sender = sender_.busy();
  }

 private:
  void receive(const Sent& sent, const std::string& packet, Totals& totals) {
    ++totals.facts;
    if (packet.empty()) {
      mismatch(totals, sent, "the sender made no packet", "", "");
      return;
    }
    totals.wire_bytes += packet.size();
    std::uint64_t h[9];
    if (vm_parse_header_min(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size(), h, 9) != 1) {
      mismatch(totals, sent, "the packet has no readable header", "", "");
      return;
    }
    ++totals.packets_by_cmd[static_cast<std::uint8_t>(h[0])];
    // The meta the receiver must report: this fact's device and timestamp, and the
    // command and template the sender chose.
    const std::string_view header = std::string_view(sent.text).substr(0, sent.text.find('|'));
    const auto ts = base64_decode(header.substr(header.rfind('.') + 1), Base64Alphabet::url);
    std::uint64_t t_raw = 0;
    for (std::size_t i = 0; ts && ts->size() >= 6 && i < 6; ++i) t_raw = t_raw << 8 | static_cast<unsigned char>((*ts)[i]);
    const PacketMeta meta{static_cast<std::uint8_t>(h[0]), *sent.fact.aid, static_cast<std::uint8_t>(h[6]), t_raw, true};
    const std::string expected = expected_decompress_answer(sent.text, meta);

    const std::string request =
        decompress_request(receiver_ctx_, base64_encode(packet, Base64Alphabet::standard), receiver_root_,
                           options_.state_check);
    const auto start = Clock::now();
    const Answer answer = call_decompress(request, 2 * expected.size() + 4096, buffer_);
    totals.receiver += Clock::now() - start;
    if (answer.bytes != expected) mismatch(totals, sent, command_name(meta.cmd), expected, answer.bytes);
  }

  void mismatch(Totals& totals, const Sent& sent, std::string_view what, std::string_view expected,
                std::string_view got) {
    if (++totals.mismatches <= kMismatchesShown) {
      fmt::print(stderr, "mismatch at fact {} (device {}, {}):\n  sent     {}\n  expected {}\n  got      {}\n",
                 totals.facts, *sent.fact.aid, what, sent.text, expected, got);
    }
  }

  const DemoOptions& options_;
  DemoSender sender_;
  std::uint64_t receiver_ctx_ = kReceiverCtx;
  std::string receiver_root_;
  std::string buffer_;
};

double per_second(std::uint64_t n, Clock::duration d) {
  const double seconds = std::chrono::duration<double>(d).count();
  return seconds > 0 ? n / seconds : 0.0;
}

void print_summary(const DemoOptions& options, const Totals& t) {
  const double facts = static_cast<double>(t.facts);
  auto kind = [&t](std::uint8_t cmd) { return t.packets_by_cmd.contains(cmd) ? t.packets_by_cmd.at(cmd) : 0; };
  std::uint64_t packets = 0;
  for (const auto& [cmd, n] : t.packets_by_cmd) packets += n;
  fmt::print("tavkin demo: {} facts from {} {}devices (seed {}), sent by {}\n", t.facts, options.devices,
             options.moving ? "moving and talking " : "", options.seed,
             options.via_run ? "one run request per fact" : fmt::format("batches of {}", options.batch_size));
  if (options.moving) fmt::print("  restart       receiver restarted half-way, from its registry files\n");
  if (t.keyframes > 0) fmt::print("  key frames    {:>10}\n", t.keyframes);
  fmt::print("  packets       {:>10}  full {}, heartbeat {}, difference {}\n", packets, kind(kDataFull),
             kind(kDataHeart), kind(kDataDiff));
  fmt::print("  source JSON   {:>10} bytes  {:8.1f} bytes/fact\n", t.json_bytes, t.json_bytes / facts);
  fmt::print("  compact text  {:>10} bytes  {:8.1f} bytes/fact\n", t.text_bytes, t.text_bytes / facts);
  fmt::print("  wire          {:>10} bytes  {:8.1f} bytes/fact\n", t.wire_bytes, t.wire_bytes / facts);
  fmt::print("  wire/JSON     {:>10.3f}        ({:.1f}x smaller)\n", double(t.wire_bytes) / t.json_bytes,
             double(t.json_bytes) / std::max<std::uint64_t>(t.wire_bytes, 1));
  fmt::print("  sender        {:>10.0f} facts/s  (compress, fuse, frame)\n", per_second(t.facts, t.sender));
  fmt::print("  receiver      {:>10.0f} facts/s  (check, apply, answer JSON)\n", per_second(t.facts, t.receiver));
  fmt::print("  mismatches    {:>10}\n", t.mismatches);
}

}  // namespace

int run_demo(const DemoOptions& options) {
  if (options.loss) return run_loss_demo(options);
  auto compressor = Compressor::create(Fleet::compressor_settings());
  if (!compressor) {
    fmt::print(stderr, "tavkin demo: the library refused the compressor configuration\n");
    return 1;
  }
  std::ofstream facts_out;
  if (!options.facts_out.empty()) {
    facts_out.open(options.facts_out, std::ios::binary | std::ios::trunc);
    if (!facts_out) {
      fmt::print(stderr, "tavkin demo: cannot write {}\n", options.facts_out);
      return 1;
    }
  }

  // A receiver restarts from its files: a moving fleet needs a registry, in a temporary
  // directory when none was named.
  std::string registry = options.registry;
  std::optional<std::filesystem::path> temporary;
  if (options.moving && registry.empty()) {
    // In memory where the machine offers it: a receiver writes a device's file per packet.
    std::error_code ec;
    const auto base = std::filesystem::is_directory("/dev/shm", ec) ? std::filesystem::path("/dev/shm")
                                                                    : std::filesystem::temp_directory_path();
    temporary = base / fmt::format("tavkin-demo-{}", ::getpid());
    std::filesystem::remove_all(*temporary);
    registry = temporary->string();
  }
  struct RemoveAtEnd {
    const std::optional<std::filesystem::path>& path;
    ~RemoveAtEnd() {
      std::error_code ignored;
      if (path) std::filesystem::remove_all(*path, ignored);
    }
  } remove_at_end{temporary};

  Fleet fleet(options.devices, options.seed, options.moving);
  Road road(options, *compressor, registry);
  const std::uint64_t restart_at = options.moving ? options.facts / 2 : 0;
  Totals totals;
  Progress progress("tavkin demo", options.facts, !options.quiet);
  std::vector<Sent> group;
  std::string line;
  for (std::uint64_t done = 0; done < options.facts;) {
    group.clear();
    const std::uint64_t n = std::min<std::uint64_t>(options.batch_size, options.facts - done);
    for (std::uint64_t i = 0; i < n; ++i) {
      Fact fact = fleet.next();
      line.clear();
      append_fact_json(line, fact);
      totals.json_bytes += line.size();
      if (facts_out) facts_out << line << '\n';
      auto text = compressor->compress(fact_record(fact));
      if (!text) {
        fmt::print(stderr, "tavkin demo: the library refused a fact record: {}\n", line);
        return 1;
      }
      totals.text_bytes += text->size();
      group.push_back({std::move(fact), std::move(*text)});
    }
    road.carry(group, totals);
    if (restart_at > 0 && done < restart_at && done + n >= restart_at) road.restart_receiver();
    done += n;
    progress.update(done);
  }
  if (facts_out && !facts_out.flush()) {
    fmt::print(stderr, "tavkin demo: cannot write {}\n", options.facts_out);
    return 1;
  }
  progress.finish();
  print_summary(options, totals);
  return totals.mismatches == 0 ? 0 : 1;
}

}  // namespace tavkin
