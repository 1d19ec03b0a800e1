// Batch inputs through vm_pipeline_batch_v1. Unless the first byte is odd, the handle
// field is replaced by a live compressor's handle so that items get compressed; the
// context becomes one of 16 of the current block of inputs; a registry root outside the
// working directory skips the input. Oracle: the answer repeats N and
// holds at most N entries that use up its length exactly, each empty or a well-framed
// one-hop packet.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "velmarinthos_tavkin.h"

namespace {

std::uint64_t compressor() {
  static const std::uint64_t handle = [] {
    fuzz::Record c;
    c.u32(2).u8(1).u32(1).str("celsius").str("c1").u32(2).str("online").str("1").str("ok").str("0");
    const std::uint64_t h = vm_compressor_create_v1(fuzz::bytes_of(c.bytes), c.bytes.size());
    FUZZ_CHECK(h != 0);
    return h;
  }();
  return handle;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(fuzz::text_of(data, size));
  if (input.size() >= 8 && (static_cast<std::uint8_t>(input[0]) & 1) == 0) {
    const std::uint64_t h = compressor();
    for (int i = 0; i < 8; ++i) input[i] = static_cast<char>(h >> (56 - 8 * i));
  }
  if (input.size() >= 24) {
    // The context: one of 16 of the current block of inputs.
    const std::uint64_t ctx = 3000 + 16 * fuzz::block_of_inputs() + static_cast<std::uint8_t>(input[15]) % 16;
    for (int i = 0; i < 8; ++i) input[8 + i] = static_cast<char>(ctx >> (56 - 8 * i));
    const std::uint32_t r = fuzz::read_u32(input, 20);
    if (r <= input.size() - 24 && !fuzz::root_is_sandboxed(std::string_view(input).substr(24, r))) return 0;
  }

  static std::string out(1 << 20, '\0');
  const std::int32_t n = vm_pipeline_batch_v1(fuzz::bytes_of(input), input.size(),
                                              reinterpret_cast<std::uint8_t*>(out.data()), out.size());
  if (n <= 0) return 0;
  const std::string_view answer(out.data(), static_cast<std::size_t>(n));
  FUZZ_CHECK(answer.size() >= 4 && input.size() >= 24);
  const std::uint32_t count = fuzz::read_u32(answer, 0);
  FUZZ_CHECK(count == fuzz::read_u32(input, 16));
  std::size_t at = 4;
  std::uint64_t entries = 0;
  while (at < answer.size()) {
    FUZZ_CHECK(answer.size() - at >= 4);
    const std::uint32_t p = fuzz::read_u32(answer, at);
    at += 4;
    FUZZ_CHECK(answer.size() - at >= p);
    if (p != 0) {
      const std::string_view packet = answer.substr(at, p);
      FUZZ_CHECK(p >= 16 && packet[1] == 1);
      const auto cmd = static_cast<std::uint8_t>(packet[0]);
      FUZZ_CHECK(cmd == 63 || cmd == 127 || cmd == 170);
      const std::uint16_t trailer = static_cast<std::uint16_t>(static_cast<std::uint8_t>(packet[p - 2]) << 8 |
                                                               static_cast<std::uint8_t>(packet[p - 1]));
      FUZZ_CHECK(fuzz::crc16(packet.substr(0, p - 2)) == trailer);
    }
    at += p;
    ++entries;
  }
  FUZZ_CHECK(entries <= count);
  return 0;
}
