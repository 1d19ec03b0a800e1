// A real export whose answer reaches the 32-bit limit: the decomposition record of a
// 2 GiB compact text. One byte below the limit the needed length comes back (negated, no
// buffer given); at the limit the result is 0 and nothing is written. Needs about 4.5 GB
// of memory, so it carries the label "large" and stays out of the sanitizer runs.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>

#include "velmarinthos_tavkin.h"

namespace {

TEST(LargeAnswer, DecompositionRecordAtTheLimitOfTheResult) {
  // "a." then the timestamp text, then "|": the record is 12 bytes of counts, the
  // timestamp text and the signature "a.{TS}||", 17 bytes more than the text.
  constexpr std::size_t kFits = (std::size_t{1} << 31) - 1 - 17;
  void* const mapping = ::mmap(nullptr, kFits + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  auto* const text = static_cast<std::uint8_t*>(mapping);
  std::memset(text, 'T', kFits + 1);
  std::memcpy(text, "a.", 2);
  text[kFits - 1] = '|';
  text[kFits] = 'x';  // one more byte: a segment "x", the signature grows to "a.{TS}|x|"

  EXPECT_EQ(vm_auto_decompose_input(text, kFits, nullptr, 0), -2147483647);
  std::uint8_t out[16];
  std::memset(out, 0xEE, sizeof out);
  EXPECT_EQ(vm_auto_decompose_input(text, kFits + 1, out, sizeof out), 0);
  for (std::uint8_t b : out) EXPECT_EQ(b, 0xEE);
  ::munmap(mapping, kFits + 1);
}

}  // namespace
