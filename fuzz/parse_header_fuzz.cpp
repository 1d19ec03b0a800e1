// Packets through vm_parse_header_min. Oracle: the header read directly from the byte
// layout (route count, last route id, tid, 48-bit timestamp, CRC-16 trailer); too few
// output slots or a short packet leave the output untouched.
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "velmarinthos_tavkin.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint64_t out[10];
  for (auto& slot : out) slot = 0xEEEEEEEEEEEEEEEE;
  FUZZ_CHECK(vm_parse_header_min(data, size, out, 8) == 0);
  for (auto slot : out) FUZZ_CHECK(slot == 0xEEEEEEEEEEEEEEEE);

  const int parsed = vm_parse_header_min(data, size, out, 9);
  const std::size_t c = size >= 2 ? data[1] : 0;
  const bool fits = size >= 5 && size >= 4 * c + 12;
  FUZZ_CHECK(parsed == (fits ? 1 : 0));
  FUZZ_CHECK(out[9] == 0xEEEEEEEEEEEEEEEE);
  if (!fits) {
    for (auto slot : out) FUZZ_CHECK(slot == 0xEEEEEEEEEEEEEEEE);
    return 0;
  }
  const std::string_view p = fuzz::text_of(data, size);
  const std::uint8_t cmd = data[0];
  const bool secure = cmd == 64 || cmd == 128 || cmd == 171;
  std::uint64_t timestamp = 0;
  for (std::size_t i = 0; i < 6; ++i) timestamp = (timestamp << 8) | data[3 + 4 * c + i];
  const std::uint16_t stored = static_cast<std::uint16_t>(data[size - 2] << 8 | data[size - 1]);
  const std::uint64_t expected[9] = {cmd,
                                     secure ? cmd - 1u : cmd,
                                     secure ? 1u : 0u,
                                     c,
                                     2 + 4 * c,
                                     c == 0 ? 0 : fuzz::read_u32(p, 4 * c - 2),
                                     data[2 + 4 * c],
                                     timestamp,
                                     fuzz::crc16(p.substr(0, size - 2)) == stored ? 1u : 0u};
  for (int i = 0; i < 9; ++i) FUZZ_CHECK(out[i] == expected[i]);
  return 0;
}
