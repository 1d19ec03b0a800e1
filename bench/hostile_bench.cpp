// Costs an attacker can choose: keys crafted to share a bucket of an unkeyed hash (template
// and device ids that are multiples of the table's bucket count), and a damaged registry
// file met on every request for its device. With keyed hashing the crafted keys cost what
// random keys cost, time per key staying flat as their number doubles; a damaged file costs
// one stat after its first read.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "fusion/template_model.h"
#include "registry/registry_file.h"

namespace bench {
namespace {

// n ids that all fall into one bucket of an identity-hashed table of n entries (crafted),
// or n spread ones.
std::vector<std::uint32_t> ids(std::size_t n, bool crafted) {
  std::unordered_map<std::uint32_t, int> probe;
  for (std::uint32_t i = 0; i < n; ++i) probe.emplace(i, 0);
  const std::uint32_t buckets = static_cast<std::uint32_t>(probe.bucket_count());
  std::vector<std::uint32_t> out;
  for (std::uint32_t k = 1; k <= n; ++k) out.push_back(crafted ? k * buckets : k * 2654435761u);
  return out;
}

void BM_SeedTemplates(benchmark::State& state, bool crafted) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<vm::SeedEntry> entries;
  for (std::uint32_t tid : ids(n, crafted)) {
    std::string sig = std::to_string(tid);
    sig.push_back('s');
    entries.push_back({vm::TemplateId{tid}, std::move(sig), {"v"}});
  }
  for (auto _ : state) {
    vm::DeviceTemplates device = vm::seeded_device(entries);
    benchmark::DoNotOptimize(&device);
  }
  state.counters["items"] = static_cast<double>(n);
}

void BM_NewDevices(benchmark::State& state, bool crafted) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<std::uint32_t> aids = ids(n, crafted);
  for (auto _ : state) {
    vm::TemplateRegistry registry;
    for (std::uint32_t aid : aids) benchmark::DoNotOptimize(&vm::device_for(registry, vm::DeviceId{aid}));
  }
  state.counters["items"] = static_cast<double>(n);
}
// One case per count and kind, named by both (the report shows names only), counted in
// keys: the time per key stays flat when the hash cannot be steered.
[[maybe_unused]] const bool kRegistered = [] {
  for (int n : {4096, 8192, 16384, 32768}) {
    for (bool crafted : {false, true}) {
      const std::string suffix = std::string(crafted ? "crafted/" : "random/") + std::to_string(n);
      benchmark::RegisterBenchmark(("hostile/seed_tids/" + suffix).c_str(), BM_SeedTemplates, crafted)->Arg(n);
      benchmark::RegisterBenchmark(("hostile/new_devices/" + suffix).c_str(), BM_NewDevices, crafted)->Arg(n);
    }
  }
  return true;
}();

// Every request after the first for a device whose 60 MB file was cut short: the load it
// starts with.
void BM_LoadDamagedFile(benchmark::State& state) {
  char pattern[] = "/tmp/tavkin-bench-damaged-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) std::abort();
  const std::string root = made;
  const vm::DeviceId aid{7};
  const std::filesystem::path path = vm::registry_file_path(root, aid);
  std::filesystem::create_directories(path.parent_path());
  {
    std::ofstream file(path, std::ios::binary);
    file << R"({"aid":"7","templates":{)";
    for (int tid = 24; file.tellp() < (60 << 20); ++tid)
      file << '"' << tid << R"(":{"sig":"n.s.{TS}|t>)" "\\u0001:\\u0001" R"(|","last_vals_bin":["QQ==","QkM="]},)";
  }
  vm::TemplateRegistry registry;
  vm::load_device_file(registry, aid, root);  // the first request reads it in any case
  for (auto _ : state) vm::load_device_file(registry, aid, root);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}
BENCHMARK(BM_LoadDamagedFile)->Name("hostile/load_damaged_60MB_file")->Iterations(5);

}  // namespace
}  // namespace bench
