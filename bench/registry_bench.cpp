// Writing one device's registry file, as a batch with a registry root does once per
// touched device: the text, and the file written beside the old one and renamed over it.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_util.h"
#include "compressor/decompose.h"
#include "fusion/packet_encoder.h"
#include "registry/registry_file.h"
#include "registry/registry_text.h"
#include "scenario.h"

namespace bench {
namespace {

// The templates of the fleet's first device after the steady facts.
vm::TemplateRegistry fleet_device_registry(vm::DeviceId& aid) {
  const Scenario& s = scenario();
  aid = vm::DeviceId{s.facts.front().aid};
  vm::TemplateRegistry registry;
  vm::DecomposedFact fact;
  for (std::size_t i = 0; i < s.facts.size(); ++i) {
    if (s.facts[i].aid != raw(aid) || !vm::decompose(s.compact[i], fact)) continue;
    (void)vm::encode(registry, aid, false, fact.sig, fact.vals);
  }
  return registry;
}

void BM_RegistryText(benchmark::State& state) {
  vm::DeviceId aid{};
  const vm::TemplateRegistry registry = fleet_device_registry(aid);
  std::string text;
  CaseCounters counters(state);
  for (auto _ : state) {
    text.clear();
    vm::append_registry_text(text, aid, registry.devices.at(aid));
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_RegistryText)->Name("part/registry_text");

void BM_SaveDeviceFile(benchmark::State& state) {
  vm::DeviceId aid{};
  const vm::TemplateRegistry registry = fleet_device_registry(aid);
  char pattern[] = "/tmp/tavkin-bench-save-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) std::abort();
  const std::string root = made;
  vm::save_device_file(registry, aid, root);  // the directories exist from here on
  {
    CaseCounters counters(state);
    for (auto _ : state) vm::save_device_file(registry, aid, root);
  }
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}
BENCHMARK(BM_SaveDeviceFile)->Name("part/registry_save_device_file");

}  // namespace
}  // namespace bench
