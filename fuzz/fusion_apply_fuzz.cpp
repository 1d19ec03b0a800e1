// Apply records (split at the record break) through vm_fusion_state_apply_v1, with a
// receiver kept in lock-step: full decisions teach the receiver (by seeding it with a model
// of what full packets carried), heartbeats and differences go through
// vm_fusion_state_receive_apply_v1 and must rebuild exactly the fact that was applied.
// A malformed record must answer 0; a decision must be well formed.
#include <cstdint>
#include <map>
#include <string>

#include "fusion_model.h"
#include "velmarinthos_tavkin.h"

namespace {

constexpr std::string_view kTs = "AYvP5WgA";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t sender = vm_fusion_state_create_v1();
  const std::uint64_t receiver = vm_fusion_state_create_v1();
  std::map<std::uint32_t, fuzz::DeviceModel> taught;  // what full packets carried, per device
  std::string out(1 << 16, '\0');
  auto* out_bytes = reinterpret_cast<std::uint8_t*>(out.data());

  for (std::string_view record : fuzz::split_records(fuzz::text_of(data, size))) {
    const std::int32_t n = vm_fusion_state_apply_v1(sender, fuzz::bytes_of(record), record.size(), out_bytes, out.size());
    const auto apply = record.empty() ? std::nullopt : fuzz::read_apply(record);
    if (!apply) {
      FUZZ_CHECK(n == 0);
      continue;
    }
    if (n == 0) continue;  // no decision: a changed value too long for a difference
    FUZZ_CHECK(n > 0);     // out is large enough for any decision the corpus can make
    const auto decision = fuzz::read_decision(std::string_view(out).substr(0, static_cast<std::size_t>(n)));
    FUZZ_CHECK(decision.has_value());

    if (decision->command == 63) {
      FUZZ_CHECK((decision->flags & 4) != 0 && decision->body.empty());
      taught[apply->aid][decision->tid] = fuzz::Template{apply->sig, apply->values};
      const std::string seed = fuzz::seed_record(apply->aid, taught[apply->aid]);
      FUZZ_CHECK(vm_fusion_state_seed_v1(receiver, fuzz::bytes_of(seed), seed.size()) == 1);
      continue;
    }
    FUZZ_CHECK(decision->command == 127 || decision->command == 170);
    FUZZ_CHECK((decision->flags & 4) == 0);
    FUZZ_CHECK((decision->command == 170) == ((decision->flags & 2) != 0));
    const std::string body(decision->body);
    const fuzz::Record packet = fuzz::receive_record(apply->aid, decision->command, decision->tid, kTs, body);
    const std::int32_t m = vm_fusion_state_receive_apply_v1(receiver, fuzz::bytes_of(packet.bytes),
                                                            packet.bytes.size(), out_bytes, out.size());
    const auto expected = fuzz::rebuild(apply->sig, kTs, apply->values);
    if (!expected) {
      FUZZ_CHECK(m == 0);  // a signature that cannot be rebuilt never can
      continue;
    }
    if (expected->size() > out.size()) continue;
    FUZZ_CHECK(m == static_cast<std::int32_t>(expected->size()));
    FUZZ_CHECK(out.compare(0, expected->size(), *expected) == 0);
    taught[apply->aid][decision->tid].values = apply->values;
  }
  FUZZ_CHECK(vm_fusion_state_free_v1(sender) == 1);
  FUZZ_CHECK(vm_fusion_state_free_v1(receiver) == 1);
  return 0;
}
