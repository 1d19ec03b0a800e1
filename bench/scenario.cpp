#include "scenario.h"

#include <cstdio>
#include <cstdlib>

#include "velmarinthos_tavkin.h"

namespace bench {
namespace {

constexpr std::uint64_t kFleetSeed = 1;
constexpr std::uint64_t kSampleSeed = 2;  // the dictionary's sample: the same fleet, other facts
constexpr std::size_t kWarmupFacts = 4096;
constexpr std::size_t kSteadyFacts = 1024;
constexpr std::size_t kSampleFacts = 4096;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "benchmark setup failed: %s\n", what);
  std::abort();
}

using Export = std::int32_t (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t);

std::string call(Export fn, const std::string& in) {
  thread_local std::string out(1 << 16, '\0');
  const std::int32_t n = fn(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(),
                            reinterpret_cast<std::uint8_t*>(out.data()), out.size());
  if (n <= 0) fail("an export answered nothing");
  return out.substr(0, static_cast<std::size_t>(n));
}

std::string compress(std::uint64_t handle, const Fact& fact) {
  const std::string record = fact_record(fact);
  char out[4096];
  const std::int32_t n = vm_compress_fact_v1(handle, reinterpret_cast<const std::uint8_t*>(record.data()),
                                             record.size(), reinterpret_cast<std::uint8_t*>(out), sizeof out);
  if (n <= 0) fail("vm_compress_fact_v1");
  return std::to_string(fact.aid) + ";" + std::string(out, static_cast<std::size_t>(n));
}

std::string json_escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

std::string run_request(std::uint64_t context, const std::string& compact, const std::string& root,
                        const char* strategy, Check check) {
  std::string r = "{\"ctx_id\":" + std::to_string(context) + ",\"raw_input\":\"" + json_escaped(compact) + "\"";
  if (*strategy) r += ",\"strategy\":\"" + std::string(strategy) + "\"";
  if (!root.empty()) r += ",\"registry_root\":\"" + json_escaped(root) + "\"";
  if (check == Check::on) r += ",\"state_check\":true";
  return r + "}";
}

namespace {

struct Prepared {
  Scenario s;
  std::vector<std::string> warmup_compact;
  std::vector<Packet> warmup_packets;
  std::vector<Packet> warmup_checked_packets;
};

Prepared& prepared() {
  static Prepared* p = [] {
    auto* prep = new Prepared;
    Scenario& s = prep->s;
    const std::string config = fleet_config();
    s.compressor = vm_compressor_create_v1(reinterpret_cast<const std::uint8_t*>(config.data()), config.size());
    if (s.compressor == 0) fail("vm_compressor_create_v1");

    const std::vector<Fact> all = fleet_facts(kFleetSeed, kWarmupFacts + kSteadyFacts);
    for (std::size_t i = 0; i < all.size(); ++i) {
      const std::string compact = compress(s.compressor, all[i]);
      if (i < kWarmupFacts) {
        prep->warmup_compact.push_back(compact);
        continue;
      }
      s.facts.push_back(all[i]);
      s.records.push_back(fact_record(all[i]));
      s.compact.push_back(compact);
      s.json.push_back(fact_json(all[i]));
    }
    for (const Fact& f : fleet_facts(kSampleSeed, kSampleFacts)) s.json_sample.push_back(fact_json(f));

    // The sender's packets, as a receiver meets them.
    for (std::size_t i = 0; i < prep->warmup_compact.size() + s.compact.size(); ++i) {
      const bool warm = i < prep->warmup_compact.size();
      const std::string& compact = warm ? prep->warmup_compact[i] : s.compact[i - prep->warmup_compact.size()];
      std::string bytes = call(vm_fusion_run_json_v1, run_request(kRecordingContext, compact, ""));
      const auto command = static_cast<std::uint8_t>(bytes[0]);
      (warm ? prep->warmup_packets : s.packets).push_back({std::move(bytes), command});
      std::string checked =
          call(vm_fusion_run_json_v1, run_request(kCheckedRecordingContext, compact, "", "", Check::on));
      (warm ? prep->warmup_checked_packets : s.checked_packets).push_back({std::move(checked), command});
    }
    return prep;
  }();
  return *p;
}

}  // namespace

const Scenario& scenario() { return prepared().s; }

std::vector<std::string> Scenario::run_requests(std::uint64_t context, const std::string& root, Check check) const {
  std::vector<std::string> out;
  for (const std::string& c : compact) out.push_back(run_request(context, c, root, "", check));
  return out;
}

std::vector<std::string> Scenario::batches(std::uint64_t context, const std::string& root, Check check) const {
  std::vector<std::string> out;
  for (std::size_t first = 0; first + kBatchFacts <= facts.size(); first += kBatchFacts) {
    std::string b;
    put_u64(b, compressor);
    put_u64(b, context);
    put_u32(b, static_cast<std::uint32_t>(kBatchFacts));
    // The top bit of the registry length asks for state checks.
    put_u32(b, static_cast<std::uint32_t>(root.size()) | (check == Check::on ? 0x80000000u : 0u));
    b += root;
    for (std::size_t i = first; i < first + kBatchFacts; ++i) {
      put_u32(b, facts[i].aid);
      b += '\0';  // no forced full packet
      put_u32(b, static_cast<std::uint32_t>(records[i].size()));
      b += records[i];
    }
    out.push_back(std::move(b));
  }
  return out;
}

std::string Scenario::decompress_request(std::uint64_t context, const std::string& packet, Check check) {
  return "{\"ctx_id\":" + std::to_string(context) + ",\"packet_b64\":\"" + base64(packet) + "\"" +
         (check == Check::on ? ",\"state_check\":true}" : "}");
}

void warm_sender(std::uint64_t context, const std::string& root, Check check) {
  Prepared& p = prepared();
  for (const std::string& c : p.warmup_compact) call_run(run_request(context, c, root, "", check));
  for (const std::string& c : p.s.compact) call_run(run_request(context, c, root, "", check));
}

void warm_receiver(std::uint64_t context, Check check) {
  Prepared& p = prepared();
  const bool on = check == Check::on;
  for (const Packet& packet : on ? p.warmup_checked_packets : p.warmup_packets)
    call_decompress(Scenario::decompress_request(context, packet.bytes, check));
  for (const Packet& packet : on ? p.s.checked_packets : p.s.packets)
    call_decompress(Scenario::decompress_request(context, packet.bytes, check));
}

void warm_receiver_to_steady(std::uint64_t context, Check check) {
  Prepared& p = prepared();
  for (const Packet& packet : check == Check::on ? p.warmup_checked_packets : p.warmup_packets)
    call_decompress(Scenario::decompress_request(context, packet.bytes, check));
}

std::string compact_text(const Fact& fact) { return compress(prepared().s.compressor, fact); }

std::string full_packet(std::uint64_t context, const std::string& compact) {
  return call_run(run_request(context, compact, "", "full"));
}

std::string call_run(const std::string& request) { return call(vm_fusion_run_json_v1, request); }
std::string call_decompress(const std::string& request) { return call(vm_fusion_decompress_json_v1, request); }
std::string call_batch(const std::string& input) { return call(vm_pipeline_batch_v1, input); }

std::string base64(const std::string& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  const auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(v >> shift) & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    const std::uint32_t v = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace bench
