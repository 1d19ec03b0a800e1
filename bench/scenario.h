// The prepared inputs of the benchmarks: the fleet's facts in every form the library and
// the general-purpose peer take, sender and receiver contexts warmed up to steady state,
// and the packets the sender produced. Built once, on first use, through the public C
// exports. Read-only afterwards; the benchmarks' own contexts are listed here so that no
// two cases share one by accident.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fleet.h"

namespace bench {

// Context numbers, one per use.
enum : std::uint64_t {
  kRunContext = 101,        // run requests; the thread cases add the thread index
  kRecordingContext = 200,  // makes the steady packets
  kFullContext = 201,       // makes full packets on demand
  kReceiverContext = 300,   // decompress requests
  kBatchContext = 400,      // batches without registry; the thread cases add the thread index
  kRegistryContext = 420,   // batches with a registry root
  kRunRegistryContext = 440,  // run requests with a registry root
  // The same roads with state checks written and required.
  kCheckedRunContext = 150,
  kCheckedRecordingContext = 210,
  kCheckedReceiverContext = 310,
  kCheckedBatchContext = 460,
  kInOrderReceiverContexts = 1000000,  // one fresh receiver per round of steady packets
  kTypedReceiverContexts = 2000000,    // the same for the typed receive and its comparisons
  kSaveContexts = 3000000,             // deferred saves, one context per case
};

// Whether the requests write (run, batch) or require (decompress) state checks.
enum class Check : bool { off = false, on = true };

// Facts per batch: the fleet's eight devices reporting for sixteen seconds.
inline constexpr std::size_t kBatchFacts = 128;

struct Packet {
  std::string bytes;
  std::uint8_t command;
};

struct Scenario {
  std::uint64_t compressor = 0;       // the fleet's compressor handle
  std::vector<Fact> facts;            // steady state: after the warm-up facts
  std::vector<std::string> records;   // fact records
  std::vector<std::string> compact;   // "aid;" + compact fact
  std::vector<std::string> json;      // the peer's compact JSON, one per fact
  std::vector<Packet> packets;        // the sender's packets for `facts`, in order
  std::vector<Packet> checked_packets;  // the same sent with state checks
  std::vector<std::string> json_sample;  // a separate sample of the fleet, for the dictionary

  // Run requests for `context`, one per steady fact, with a registry under `root` if given.
  [[nodiscard]] std::vector<std::string> run_requests(std::uint64_t context, const std::string& root = "",
                                                     Check check = Check::off) const;
  // Batch inputs of kBatchFacts facts each, covering the steady facts.
  [[nodiscard]] std::vector<std::string> batches(std::uint64_t context, const std::string& root,
                                                 Check check = Check::off) const;
  // The decompress request of a packet.
  [[nodiscard]] static std::string decompress_request(std::uint64_t context, const std::string& packet,
                                                      Check check = Check::off);
};

// Built on first call.
const Scenario& scenario();

// Warms a sender context: sends every warm-up fact and then every steady fact once, as run
// requests naming `root` as their registry directory (none when empty).
void warm_sender(std::uint64_t context, const std::string& root = "", Check check = Check::off);

// "aid;" followed by the compact text of `fact`, compressed with the fleet's compressor.
std::string compact_text(const Fact& fact);

// The run request of `compact` for `context`, with a registry root and strategy when not empty.
std::string run_request(std::uint64_t context, const std::string& compact, const std::string& root,
                        const char* strategy = "", Check check = Check::off);

// A full packet of `compact`, forced through context `context`.
std::string full_packet(std::uint64_t context, const std::string& compact);

// Warms the receiver context with the warm-up packets and the steady packets (those sent
// with state checks, which it then requires, for Check::on).
void warm_receiver(std::uint64_t context, Check check = Check::off);
// The same with the warm-up packets only: the steady packets then apply in order.
void warm_receiver_to_steady(std::uint64_t context, Check check);

// Answers of the exports, checked: the benchmarks never measure a failing call.
std::string call_run(const std::string& request);
std::string call_decompress(const std::string& request);
std::string call_batch(const std::string& input);

// Standard Base64 of bytes.
std::string base64(const std::string& bytes);

}  // namespace bench
