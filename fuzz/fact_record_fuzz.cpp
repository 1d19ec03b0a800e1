// Fact records through vm_compress_fact_v1. The first byte picks one of three
// compressors; the rest is the record. Oracles: a reference reader of the record decides
// acceptance; an accepted fact gives a UTF-8 text that begins with its id, is the same on
// every call, and obeys the result buffer rule (short buffers stay untouched).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "velmarinthos_tavkin.h"

namespace {

struct Compressors {
  std::uint64_t handles[3];
};

std::uint64_t make_compressor(std::uint32_t precision, std::uint8_t ms, bool maps) {
  fuzz::Record c;
  c.u32(precision).u8(ms);
  if (maps) {
    c.u32(2).str("celsius").str("c1").str("KM").str("k");
    c.u32(2).str("online").str("1").str("ok").str("0");
  } else {
    c.u32(0).u32(0);
  }
  const std::uint64_t h = vm_compressor_create_v1(fuzz::bytes_of(c.bytes), c.bytes.size());
  FUZZ_CHECK(h != 0);
  return h;
}

const Compressors& compressors() {
  static const Compressors c{{make_compressor(0, 0, false), make_compressor(2, 1, true), make_compressor(18, 1, true)}};
  return c;
}

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
  std::optional<std::string_view> bytes(std::uint32_t n) {
    if (b_.size() - pos_ < n) return std::nullopt;
    const std::string_view v = b_.substr(pos_, n);
    pos_ += n;
    return fuzz::utf8_ok(v) ? std::optional(v) : std::nullopt;
  }
  std::optional<std::string_view> text() {
    const auto n = u32();
    if (!n) return std::nullopt;
    return bytes(*n);
  }
  bool optional_text() {
    const auto n = u32();
    return n && (*n == 0xFFFFFFFF || bytes(*n));
  }
  [[nodiscard]] bool at_end() const { return pos_ == b_.size(); }

 private:
  std::string_view b_;
  std::size_t pos_ = 0;
};

// The fact's id when the record is well formed.
std::optional<std::string_view> reference_read(std::string_view record) {
  Reader r(record);
  const auto id = r.text();
  if (!id || !r.text() || !r.skip(8)) return std::nullopt;
  const auto count = r.u32();
  if (!count) return std::nullopt;
  for (std::uint32_t i = 0; i < *count; ++i)
    if (!r.text() || !r.text() || !r.skip(8) || !r.text()) return std::nullopt;
  if (!r.optional_text() || !r.optional_text() || !r.optional_text() || !r.at_end()) return std::nullopt;
  return id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint64_t handle = compressors().handles[data[0] % 3];
  const std::uint8_t* record = data + 1;
  const std::size_t length = size - 1;

  const std::int32_t needed = vm_compress_fact_v1(handle, record, length, nullptr, 0);
  const auto id = reference_read(fuzz::text_of(record, length));
  FUZZ_CHECK((needed != 0) == (length != 0 && id.has_value()));
  if (needed == 0) return 0;
  FUZZ_CHECK(needed < 0);
  const auto n = static_cast<std::size_t>(-needed);

  std::vector<std::uint8_t> out(n + 8, 0xEE);
  FUZZ_CHECK(vm_compress_fact_v1(handle, record, length, out.data(), n - 1) == needed);
  for (std::uint8_t b : out) FUZZ_CHECK(b == 0xEE);
  FUZZ_CHECK(vm_compress_fact_v1(handle, record, length, out.data(), n) == static_cast<std::int32_t>(n));
  for (std::size_t i = n; i < out.size(); ++i) FUZZ_CHECK(out[i] == 0xEE);

  const std::string_view text = fuzz::text_of(out.data(), n);
  FUZZ_CHECK(fuzz::utf8_ok(text));
  FUZZ_CHECK(text.substr(0, id->size()) == *id && text.size() > id->size() && text[id->size()] == '.');
  return 0;
}
