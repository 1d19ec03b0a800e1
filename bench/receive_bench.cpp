// The receiving side as a gateway runs it, per fact: the decompress request (a Base64 and
// JSON request per packet, its registry file saved per change) against the typed receive
// (packets as bytes, many per call, files saved once per call with deferred saves), over
// the fleet's steady packets in the order sent. Then what a deferred save costs, with and
// without its data forced to the disk, on the file system of /tmp.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "scenario.h"
#include "velmarinthos_tavkin.h"

namespace bench {
namespace {

const auto* bytes_of(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// Registry directories of their own under /tmp, removed at exit.
std::vector<std::string>& roots_to_remove() {
  static auto* roots = [] {
    auto* made = new std::vector<std::string>;
    std::atexit([] {
      std::error_code ignored;
      for (const std::string& root : roots_to_remove()) std::filesystem::remove_all(root, ignored);
    });
    return made;
  }();
  return *roots;
}

std::string bench_root(const char* tag) {
  std::string pattern = std::string("/tmp/tavkin-receive-bench-") + tag + "-XXXXXX";
  const char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) return {};
  roots_to_remove().push_back(made);
  return made;
}

// Framed entries (u32 big-endian length, bytes) of kBatchFacts packets each.
std::vector<std::string> framed_batches(const std::vector<Packet>& packets) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    if (i % kBatchFacts == 0) out.emplace_back();
    const std::string& p = packets[i].bytes;
    for (int shift = 24; shift >= 0; shift -= 8) out.back().push_back(static_cast<char>(p.size() >> shift));
    out.back() += p;
  }
  return out;
}

void count_facts(void* user, const vm_received_v1* r) {
  *static_cast<std::size_t*>(user) += r->outcome == VM_RECEIVED;
}

// The steady packets once per round, each round on a fresh receiver brought to the state
// before them (untimed), as decompress requests built per packet: the road a host that
// holds packets as bytes takes through the JSON request.
void decompress_in_order(benchmark::State& state, const std::string& root) {
  const std::vector<Packet>& packets = scenario().packets;
  static std::uint64_t next_context = kTypedReceiverContexts;
  std::uint64_t context = 0;
  std::size_t i = packets.size();
  thread_local std::vector<std::uint8_t> out(1 << 20);
  CaseCounters counters(state);
  for (auto _ : state) {
    if (i == packets.size()) {
      state.PauseTiming();
      context = next_context++;
      warm_receiver_to_steady(context, Check::off);
      i = 0;
      state.ResumeTiming();
    }
    std::string request = "{\"ctx_id\":" + std::to_string(context) + ",\"packet_b64\":\"" + base64(packets[i++].bytes) +
                          "\"";
    if (!root.empty()) request += ",\"registry_root\":\"" + root + "\"";
    request += "}";
    const std::int32_t n = vm_fusion_decompress_json_v1(bytes_of(request), request.size(), out.data(), out.size());
    benchmark::DoNotOptimize(n);
  }
}

// The same packets kBatchFacts to a call of vm_receive_packets_v1; with a root, deferred
// saves and one vm_context_save_v1 (with `save_flags`) after each call.
void typed_in_order(benchmark::State& state, const std::string& root, std::uint32_t save_flags) {
  static const std::vector<std::string> batches = framed_batches(scenario().packets);
  static std::uint64_t next_context = kTypedReceiverContexts + 500000;
  const std::uint32_t flags = root.empty() ? 0u : VM_RECEIVE_DEFER_SAVE;
  std::uint64_t context = 0;
  std::size_t i = batches.size(), facts = 0;
  CaseCounters counters(state, kBatchFacts);
  for (auto _ : state) {
    if (i == batches.size()) {
      state.PauseTiming();
      context = next_context++;
      warm_receiver_to_steady(context, Check::off);
      i = 0;
      state.ResumeTiming();
    }
    const std::string& batch = batches[i++];
    const std::int32_t n = vm_receive_packets_v1(context, bytes_of(root), root.size(), flags, bytes_of(batch),
                                                 batch.size(), count_facts, &facts);
    benchmark::DoNotOptimize(n);
    if (!root.empty()) benchmark::DoNotOptimize(vm_context_save_v1(context, bytes_of(root), root.size(), save_flags));
  }
  if (state.iterations() > 0 && facts == 0) state.SkipWithError("no packet gave a fact");
}

void BM_DecompressJsonInOrder(benchmark::State& state) { decompress_in_order(state, ""); }
BENCHMARK(BM_DecompressJsonInOrder)->Name("receive/fleet_in_order/decompress_json");

void BM_TypedInOrder(benchmark::State& state) { typed_in_order(state, "", 0); }
BENCHMARK(BM_TypedInOrder)->Name("receive/fleet_in_order/typed_batch");

void BM_DecompressJsonInOrderWithRegistry(benchmark::State& state) {
  static const std::string root = bench_root("json");
  decompress_in_order(state, root);
}
BENCHMARK(BM_DecompressJsonInOrderWithRegistry)->Name("receive/fleet_in_order/decompress_json+registry");

void BM_TypedInOrderDeferred(benchmark::State& state) {
  static const std::string root = bench_root("typed");
  typed_in_order(state, root, 0);
}
BENCHMARK(BM_TypedInOrderDeferred)->Name("receive/fleet_in_order/typed_batch+deferred_save");

void BM_TypedInOrderDeferredFsync(benchmark::State& state) {
  static const std::string root = bench_root("typed-fsync");
  typed_in_order(state, root, VM_SAVE_FSYNC);
}
BENCHMARK(BM_TypedInOrderDeferredFsync)->Name("receive/fleet_in_order/typed_batch+deferred_save_fsync");

// Full packets of `devices` devices (the fleet's facts under new device numbers).
std::vector<std::string> device_full_packets(std::size_t devices) {
  const Scenario& s = scenario();
  std::vector<std::string> out;
  for (std::size_t d = 0; d < devices; ++d) {
    const std::string& compact = s.compact[d % s.compact.size()];
    out.push_back(full_packet(kSaveContexts - 1, std::to_string(5000 + d) + compact.substr(compact.find(';'))));
  }
  return out;
}

enum class Sync { none, fsync, syncfs };

// One deferred save of `devices` changed devices per iteration (the changes made untimed):
// without forcing anything to the disk, with VM_SAVE_FSYNC, or with one syncfs(2) of the
// root's file system after a plain save (the alternative for many files).
void save_changed(benchmark::State& state, Sync sync) {
  const auto devices = static_cast<std::size_t>(state.range(0));
  const std::vector<std::string> packets = device_full_packets(devices);
  const std::string root = bench_root("save");
  static std::uint64_t next_context = kSaveContexts;
  const std::uint64_t context = next_context++;
  const int root_fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::size_t facts = 0;
  CaseCounters counters(state, static_cast<double>(devices));
  for (auto _ : state) {
    state.PauseTiming();
    (void)vm_context_drop_v1(context);  // each full packet changes its device again
    for (const std::string& p : packets)
      (void)vm_receive_packet_v1(context, bytes_of(root), root.size(), VM_RECEIVE_DEFER_SAVE, bytes_of(p), p.size(),
                                 count_facts, &facts);
    state.ResumeTiming();
    const std::int32_t written =
        vm_context_save_v1(context, bytes_of(root), root.size(), sync == Sync::fsync ? VM_SAVE_FSYNC : 0u);
    if (sync == Sync::syncfs) ::syncfs(root_fd);
    if (written != static_cast<std::int32_t>(devices)) state.SkipWithError("a save wrote too few files");
  }
  ::close(root_fd);
}

void BM_SavePlain(benchmark::State& state) { save_changed(state, Sync::none); }
BENCHMARK(BM_SavePlain)->Name("save/changed_devices")->Arg(8)->Arg(256)->UseRealTime();
void BM_SaveFsync(benchmark::State& state) { save_changed(state, Sync::fsync); }
BENCHMARK(BM_SaveFsync)->Name("save/changed_devices+fsync")->Arg(8)->Arg(256)->UseRealTime();
void BM_SaveSyncfs(benchmark::State& state) { save_changed(state, Sync::syncfs); }
BENCHMARK(BM_SaveSyncfs)->Name("save/changed_devices+syncfs")->Arg(8)->Arg(256)->UseRealTime();

}  // namespace
}  // namespace bench
