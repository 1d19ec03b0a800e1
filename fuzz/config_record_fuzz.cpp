// Compressor configuration records through vm_compressor_create_v1. Oracle: a plain
// reference reader of the record decides acceptance; an accepted compressor compresses a
// known fact and frees exactly once.
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz_support.h"
#include "velmarinthos_tavkin.h"

namespace {

class Reader {
 public:
  explicit Reader(std::string_view b) : b_(b) {}
  std::optional<std::uint32_t> u32() {
    if (b_.size() - pos_ < 4) return std::nullopt;
    const std::uint32_t v = fuzz::read_u32(b_, pos_);
    pos_ += 4;
    return v;
  }
  bool skip(std::size_t n) {
    if (b_.size() - pos_ < n) return false;
    pos_ += n;
    return true;
  }
  bool text() {
    const auto n = u32();
    if (!n || b_.size() - pos_ < *n) return false;
    const bool ok = fuzz::utf8_ok(b_.substr(pos_, *n));
    pos_ += *n;
    return ok;
  }
  bool pairs() {
    const auto count = u32();
    if (!count) return false;
    for (std::uint32_t i = 0; i < *count; ++i)
      if (!text() || !text()) return false;
    return true;
  }
  [[nodiscard]] bool at_end() const { return pos_ == b_.size(); }

 private:
  std::string_view b_;
  std::size_t pos_ = 0;
};

bool reference_accepts(std::string_view record) {
  Reader r(record);
  const auto precision = r.u32();
  return precision && *precision <= 18 && r.skip(1) && r.pairs() && r.pairs() && r.at_end();
}

// The smallest fact: id "n", state "s", timestamp 0, one reading, no trailers.
const fuzz::Record& known_fact() {
  static const fuzz::Record fact = [] {
    fuzz::Record r;
    r.str("n").str("s").f64(0).u32(1).str("t").str("ok").f64(21.5).str("celsius");
    r.u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF);
    return r;
  }();
  return fact;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t handle = vm_compressor_create_v1(data, size);
  FUZZ_CHECK((handle != 0) == (size != 0 && reference_accepts(fuzz::text_of(data, size))));
  if (handle == 0) return 0;
  const auto& fact = known_fact().bytes;
  std::uint8_t out[256];
  FUZZ_CHECK(vm_compress_fact_v1(handle, fuzz::bytes_of(fact), fact.size(), out, sizeof out) != 0);
  FUZZ_CHECK(vm_compressor_free_v1(handle) == 1);
  FUZZ_CHECK(vm_compressor_free_v1(handle) == 0);
  return 0;
}
