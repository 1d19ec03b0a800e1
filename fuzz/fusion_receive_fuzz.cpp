// Receive records (split at the record break) through vm_fusion_state_receive_apply_v1 on
// a state seeded with known templates. Oracle: a reference receiver holding the same
// templates applies the same packets; answers and the stored values must agree after every
// record, including refused ones (a refused packet changes nothing).
#include <cstdint>
#include <map>
#include <string>

#include "fusion_model.h"
#include "velmarinthos_tavkin.h"

namespace {

std::map<std::uint32_t, fuzz::DeviceModel> known_templates() {
  std::map<std::uint32_t, fuzz::DeviceModel> devices;
  fuzz::DeviceModel& d7 = devices[7];
  d7[24] = {"d1.{TS}|t>\x01:\x01|", {"ok", "42"}};
  d7[25] = {"n.{TS}|a>\x01:\x01|b>\x01:\x01|c>\x01:\x01|d>\x01:\x01|e\x01|", {"1", "2", "3", "4", "5", "6", "7", "8", "9"}};
  std::string wide_sig = "w.{TS}|";
  fuzz::Values wide;
  for (int i = 0; i < 129; ++i) {
    wide_sig += "\x01|";
    wide.push_back(std::to_string(i));
  }
  d7[26] = {wide_sig, wide};
  d7[27] = {"no timestamp slot|\x01|", {"x"}};
  d7[28] = {"short.{TS}|\x01\x01|", {"a", "b", "c"}};
  d7[29] = {"empty.{TS}||", {}};
  devices[0][0] = {"zero.{TS}|\x01|", {"v"}};
  return devices;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto model = known_templates();
  const std::uint64_t state = vm_fusion_state_create_v1();
  for (const auto& [aid, device] : model) {
    const std::string seed = fuzz::seed_record(aid, device);
    FUZZ_CHECK(vm_fusion_state_seed_v1(state, fuzz::bytes_of(seed), seed.size()) == 1);
  }
  std::string out(1 << 16, '\0');
  for (std::string_view record : fuzz::split_records(fuzz::text_of(data, size))) {
    const std::int32_t n = vm_fusion_state_receive_apply_v1(state, fuzz::bytes_of(record), record.size(),
                                                            reinterpret_cast<std::uint8_t*>(out.data()), out.size());
    const auto packet = record.empty() ? std::nullopt : fuzz::read_receive(record);
    const auto expected = packet ? fuzz::receive(model, *packet) : std::nullopt;
    if (!expected) {
      FUZZ_CHECK(n == 0);
    } else if (expected->size() <= out.size()) {
      FUZZ_CHECK(n == static_cast<std::int32_t>(expected->size()));
      FUZZ_CHECK(out.compare(0, expected->size(), *expected) == 0);
    }
  }
  // The stored values agree with the model: a heartbeat of every template rebuilds alike.
  for (const auto& [aid, device] : model) {
    for (const auto& [tid, t] : device) {
      const fuzz::Record hb = fuzz::receive_record(aid, 127, tid, "T", "");
      const auto expected = fuzz::rebuild(t.sig, "T", t.values);
      const std::int32_t n = vm_fusion_state_receive_apply_v1(state, fuzz::bytes_of(hb.bytes), hb.bytes.size(),
                                                              reinterpret_cast<std::uint8_t*>(out.data()), out.size());
      FUZZ_CHECK(expected ? n == static_cast<std::int32_t>(expected->size()) : n == 0);
      if (expected) FUZZ_CHECK(out.compare(0, expected->size(), *expected) == 0);
    }
  }
  FUZZ_CHECK(vm_fusion_state_free_v1(state) == 1);
  return 0;
}
