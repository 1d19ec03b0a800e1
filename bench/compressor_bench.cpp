// Per-fact cost of the compressor: compression of typical facts and decomposition of
// their compact texts. Run: make bench && build-bench/bin/compressor_bench
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "compressor/compress_fact.h"
#include "compressor/decompose.h"
#include "compressor/fact_compressor.h"
#include "support/fault.h"

namespace {

void put_u32(std::string& s, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>(v >> shift);
}
void put_f64(std::string& s, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int shift = 56; shift >= 0; shift -= 8) s += static_cast<char>(bits >> shift);
}
void put_text(std::string& s, std::string_view t) {
  put_u32(s, static_cast<std::uint32_t>(t.size()));
  s += t;
}

vm::FactCompressor make_compressor() {
  std::string c;
  put_u32(c, 3);
  c += '\1';
  const std::pair<const char*, const char*> units[] = {
      {"celsius", "c1"}, {"percent", "pc"}, {"pascal", "Pa"}, {"volt", "V"}};
  put_u32(c, 4);
  for (auto [n, code] : units) put_text(c, n), put_text(c, code);
  put_u32(c, 2);
  put_text(c, "online"), put_text(c, "1"), put_text(c, "ok"), put_text(c, "0");
  auto compressor = vm::read_compressor_config(vm::as_bytes(c));
  VM_CHECK(compressor);
  return std::move(*compressor);
}

// A node with `readings` sensors cycling through typical unit texts.
std::string make_record(int readings) {
  static const char* const kUnits[] = {"Celsius", "percent", "1000Pa", "m/s2", "2.5kW", "V"};
  std::string r;
  put_text(r, "node-0042"), put_text(r, "ONLINE"), put_f64(r, 1700000000.25);
  put_u32(r, static_cast<std::uint32_t>(readings));
  for (int i = 0; i < readings; ++i) {
    put_text(r, std::to_string(i)), put_text(r, "ok");
    put_f64(r, 21.5 + i * 0.37), put_text(r, kUnits[i % 6]);
  }
  put_text(r, "u4pruydqqvj");
  put_u32(r, 0xFFFFFFFF);
  put_text(r, "door opened");
  return r;
}

void BM_CompressFact(benchmark::State& state) {
  const vm::FactCompressor compressor = make_compressor();
  const std::string record = make_record(static_cast<int>(state.range(0)));
  std::string out;
  for (auto _ : state) {
    out.clear();
    const bool ok = vm::compress_fact(compressor, vm::as_bytes(record), out);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(record.size()));
}
BENCHMARK(BM_CompressFact)->Arg(1)->Arg(3)->Arg(20);

void BM_Decompose(benchmark::State& state) {
  const vm::FactCompressor compressor = make_compressor();
  std::string text = "42;";
  VM_CHECK(vm::compress_fact(compressor, vm::as_bytes(make_record(static_cast<int>(state.range(0)))), text));
  vm::DecomposedFact fact;
  for (auto _ : state) {
    const bool ok = vm::decompose(text, fact);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(fact.sig.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Decompose)->Arg(3)->Arg(20);

}  // namespace
