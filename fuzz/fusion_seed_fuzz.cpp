// Seed records through vm_fusion_state_seed_v1 on a fresh state. Oracles: a reference
// reader decides acceptance; after an accepted seed every seeded template answers a
// heartbeat exactly as a model of the seeded templates rebuilds it, and a new signature
// receives the number after the largest seeded one.
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "fusion_model.h"
#include "velmarinthos_tavkin.h"

namespace {

constexpr std::string_view kTs = "AYvP5WgA";
constexpr std::string_view kNewSig = "\xFF new signature \xFF.{TS}|";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t state = vm_fusion_state_create_v1();
  FUZZ_CHECK(state != 0);
  const int seeded = vm_fusion_state_seed_v1(state, data, size);
  const auto seed = size == 0 ? std::nullopt : fuzz::read_seed(fuzz::text_of(data, size));
  FUZZ_CHECK((seeded == 1) == seed.has_value());

  if (seed) {
    std::map<std::uint32_t, fuzz::DeviceModel> devices;
    fuzz::DeviceModel& device = devices[seed->aid];
    std::set<std::string> sigs;
    std::uint32_t next_tid = 1;
    for (const auto& [tid, t] : seed->entries) {
      device[tid] = t;
      sigs.insert(t.sig);
      next_tid = std::max(next_tid, tid == UINT32_MAX ? tid : tid + 1);
    }
    std::string out(1 << 16, '\0');
    int checked = 0;
    for (const auto& [tid, t] : device) {
      if (++checked > 16) break;
      const fuzz::Record hb = fuzz::receive_record(seed->aid, 127, tid, kTs, "");
      const auto expected = fuzz::receive(devices, {seed->aid, 127, tid, kTs, ""});
      const std::int32_t n = vm_fusion_state_receive_apply_v1(state, fuzz::bytes_of(hb.bytes), hb.bytes.size(),
                                                              reinterpret_cast<std::uint8_t*>(out.data()), out.size());
      if (!expected) {
        FUZZ_CHECK(n == 0);
      } else if (expected->size() <= out.size()) {
        FUZZ_CHECK(n == static_cast<std::int32_t>(expected->size()) && out.compare(0, expected->size(), *expected) == 0);
      }
    }
    if (!sigs.contains(std::string(kNewSig))) {
      fuzz::Record apply;
      apply.u32(seed->aid).u8(0).str(kNewSig).u32(0);
      std::uint8_t decision[16];
      FUZZ_CHECK(vm_fusion_state_apply_v1(state, fuzz::bytes_of(apply.bytes), apply.bytes.size(), decision,
                                          sizeof decision) == 10);
      FUZZ_CHECK(fuzz::read_u32(fuzz::text_of(decision, 10), 1) == next_tid);
    }
  }
  FUZZ_CHECK(vm_fusion_state_free_v1(state) == 1);
  return 0;
}
