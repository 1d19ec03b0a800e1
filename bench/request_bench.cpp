// The requests a host makes, through the C exports, per call: run (sending side, one
// compact fact to one packet), decompress (receiving side, one packet to the JSON fact) and
// the batch (record to packet for many facts under one lock), in the fleet's steady state.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "scenario.h"
#include "velmarinthos_tavkin.h"
#include "wire/command.h"

namespace bench {
namespace {

using Export = std::int32_t (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t);

// Calls `fn` on the inputs in turn, round and round; `items` facts per input.
void call_in_turn(benchmark::State& state, Export fn, const std::vector<std::string>& inputs,
                  double items = 1) {
  thread_local std::vector<std::uint8_t> out(1 << 20);
  std::size_t i = 0;
  CaseCounters counters(state, items);
  for (auto _ : state) {
    const std::string& in = inputs[i];
    const std::int32_t n = fn(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(), out.data(), out.size());
    benchmark::DoNotOptimize(n);
    if (++i == inputs.size()) i = 0;
  }
}

// Run requests of the steady facts for context `context`, which has seen them all once.
std::vector<std::string> warm_run_requests(std::uint64_t context) {
  warm_sender(context);
  return scenario().run_requests(context);
}

void BM_RunRequest(benchmark::State& state) {
  static const std::vector<std::string> requests = warm_run_requests(kRunContext);
  call_in_turn(state, vm_fusion_run_json_v1, requests);
}
BENCHMARK(BM_RunRequest)->Name("run_request/steady");

// Decompress requests of the steady packets with the given command (0: all of them, in
// the order sent), on a receiver that has applied every packet once.
std::vector<std::string> warm_decompress_requests(std::uint8_t command) {
  static const bool warm = (warm_receiver(kReceiverContext), true);
  (void)warm;
  std::vector<std::string> out;
  for (const Packet& p : scenario().packets)
    if (command == 0 || p.command == command) out.push_back(Scenario::decompress_request(kReceiverContext, p.bytes));
  return out;
}

void BM_DecompressDiff(benchmark::State& state) {
  static const std::vector<std::string> requests = warm_decompress_requests(vm::DATA_DIFF);
  call_in_turn(state, vm_fusion_decompress_json_v1, requests);
}
BENCHMARK(BM_DecompressDiff)->Name("decompress/diff");

void BM_DecompressHeartbeat(benchmark::State& state) {
  static const std::vector<std::string> requests = warm_decompress_requests(vm::DATA_HEART);
  call_in_turn(state, vm_fusion_decompress_json_v1, requests);
}
BENCHMARK(BM_DecompressHeartbeat)->Name("decompress/heartbeat");

void BM_DecompressFull(benchmark::State& state) {
  static const std::vector<std::string> requests = [] {
    std::vector<std::string> out;
    const Scenario& s = scenario();
    for (std::size_t i = 0; i < 64; ++i)
      out.push_back(Scenario::decompress_request(kReceiverContext + 1, full_packet(kFullContext, s.compact[i])));
    return out;
  }();
  call_in_turn(state, vm_fusion_decompress_json_v1, requests);
}
BENCHMARK(BM_DecompressFull)->Name("decompress/full");

void BM_DecompressFleetMix(benchmark::State& state) {
  static const std::vector<std::string> requests = warm_decompress_requests(0);
  call_in_turn(state, vm_fusion_decompress_json_v1, requests);
}
BENCHMARK(BM_DecompressFleetMix)->Name("decompress/fleet_mix");

// The fleet's steady packets received in the order sent, each once per round: a checking
// receiver refuses a difference replayed onto the state it already moved past, so every
// round starts from a fresh context brought to the state before the steady packets
// (untimed). Without the check the same harness gives the row to compare with.
void receive_in_order(benchmark::State& state, Check check) {
  const Scenario& s = scenario();
  const std::vector<Packet>& packets = check == Check::on ? s.checked_packets : s.packets;
  static std::uint64_t next_context = kInOrderReceiverContexts;
  std::vector<std::string> requests;
  std::size_t i = packets.size();
  thread_local std::vector<std::uint8_t> out(1 << 20);
  CaseCounters counters(state);
  for (auto _ : state) {
    if (i == packets.size()) {
      state.PauseTiming();
      const std::uint64_t context = next_context++;
      warm_receiver_to_steady(context, check);
      requests.clear();
      for (const Packet& p : packets) requests.push_back(Scenario::decompress_request(context, p.bytes, check));
      i = 0;
      state.ResumeTiming();
    }
    const std::string& in = requests[i++];
    const std::int32_t n = vm_fusion_decompress_json_v1(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(),
                                                        out.data(), out.size());
    benchmark::DoNotOptimize(n);
  }
}

void BM_DecompressInOrder(benchmark::State& state) { receive_in_order(state, Check::off); }
BENCHMARK(BM_DecompressInOrder)->Name("decompress/fleet_in_order");

void BM_DecompressInOrderChecked(benchmark::State& state) { receive_in_order(state, Check::on); }
BENCHMARK(BM_DecompressInOrderChecked)->Name("decompress/fleet_in_order+state_check");

std::vector<std::string> warm_batches(std::uint64_t context, const std::string& root) {
  warm_sender(context, root);
  return scenario().batches(context, root);
}

void BM_Batch(benchmark::State& state) {
  static const std::vector<std::string> batches = warm_batches(kBatchContext, "");
  call_in_turn(state, vm_pipeline_batch_v1, batches, kBatchFacts);
}
BENCHMARK(BM_Batch)->Name("batch/steady");

void BM_BatchChecked(benchmark::State& state) {
  static const std::vector<std::string> batches = [] {
    warm_sender(kCheckedBatchContext, "", Check::on);
    return scenario().batches(kCheckedBatchContext, "", Check::on);
  }();
  call_in_turn(state, vm_pipeline_batch_v1, batches, kBatchFacts);
}
BENCHMARK(BM_BatchChecked)->Name("batch/steady+state_check");

void BM_RunRequestChecked(benchmark::State& state) {
  static const std::vector<std::string> requests = [] {
    warm_sender(kCheckedRunContext, "", Check::on);
    return scenario().run_requests(kCheckedRunContext, "", Check::on);
  }();
  call_in_turn(state, vm_fusion_run_json_v1, requests);
}
BENCHMARK(BM_RunRequestChecked)->Name("run_request/steady+state_check");

// Registry directories of their own, removed at exit (kept alive for the exit handler):
// one on the file system of /tmp, one in memory (/dev/shm) to show what the disk adds.
std::vector<std::string>* g_registry_roots = nullptr;

std::string make_registry_root(const char* parent) {
  if (g_registry_roots == nullptr) {
    g_registry_roots = new std::vector<std::string>;
    std::atexit([] {
      std::error_code ignored;
      for (const std::string& root : *g_registry_roots) std::filesystem::remove_all(root, ignored);
    });
  }
  std::string pattern = std::string(parent) + "/tavkin-bench-XXXXXX";
  const char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) return {};
  g_registry_roots->push_back(made);
  return made;
}

void BM_BatchWithRegistry(benchmark::State& state) {
  static const std::vector<std::string> batches = warm_batches(kRegistryContext, make_registry_root("/tmp"));
  call_in_turn(state, vm_pipeline_batch_v1, batches, kBatchFacts);
}
BENCHMARK(BM_BatchWithRegistry)->Name("batch/steady+registry");

void BM_BatchWithMemoryRegistry(benchmark::State& state) {
  static const std::string root = make_registry_root("/dev/shm");
  if (root.empty()) {
    state.SkipWithError("no /dev/shm");
    return;
  }
  static const std::vector<std::string> batches = warm_batches(kRegistryContext + 1, root);
  call_in_turn(state, vm_pipeline_batch_v1, batches, kBatchFacts);
}
BENCHMARK(BM_BatchWithMemoryRegistry)->Name("batch/steady+registry_in_memory");

// Run requests with a registry: each one that changes a template writes its device's file.
void BM_RunRequestWithRegistry(benchmark::State& state) {
  static const std::vector<std::string> requests = [] {
    const std::string root = make_registry_root("/tmp");
    warm_sender(kRunRegistryContext, root);
    return scenario().run_requests(kRunRegistryContext, root);
  }();
  call_in_turn(state, vm_fusion_run_json_v1, requests);
}
BENCHMARK(BM_RunRequestWithRegistry)->Name("run_request/steady+registry");

void BM_RunRequestWithMemoryRegistry(benchmark::State& state) {
  static const std::string root = make_registry_root("/dev/shm");
  if (root.empty()) {
    state.SkipWithError("no /dev/shm");
    return;
  }
  static const std::vector<std::string> requests = [] {
    warm_sender(kRunRegistryContext + 1, root);
    return scenario().run_requests(kRunRegistryContext + 1, root);
  }();
  call_in_turn(state, vm_fusion_run_json_v1, requests);
}
BENCHMARK(BM_RunRequestWithMemoryRegistry)->Name("run_request/steady+registry_in_memory");

// Each thread works on a context of its own.
void BM_RunRequestThreads(benchmark::State& state) {
  static const std::vector<std::string> requests[2] = {warm_run_requests(kRunContext + 10),
                                                       warm_run_requests(kRunContext + 11)};
  call_in_turn(state, vm_fusion_run_json_v1, requests[state.thread_index()]);
}
BENCHMARK(BM_RunRequestThreads)->Name("run_request/steady")->Threads(1)->Threads(2)->UseRealTime();

void BM_BatchThreads(benchmark::State& state) {
  static const std::vector<std::string> batches[2] = {warm_batches(kBatchContext + 10, ""),
                                                      warm_batches(kBatchContext + 11, "")};
  call_in_turn(state, vm_pipeline_batch_v1, batches[state.thread_index()], kBatchFacts);
}
BENCHMARK(BM_BatchThreads)->Name("batch/steady")->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace bench
