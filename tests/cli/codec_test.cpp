// The tool's strict Base64 and hex codecs: RFC 4648 vectors, rejections that make every
// byte string have exactly one accepted text, and seeded random round trips.
#include <gtest/gtest.h>

#include <random>

#include "codec.h"

namespace tavkin {
namespace {

TEST(Base64, Rfc4648Vectors) {
  static const struct {
    const char* plain;
    const char* standard;
    const char* url;
  } kCases[] = {{"", "", ""},           {"f", "Zg==", "Zg"},         {"fo", "Zm8=", "Zm8"},
                {"foo", "Zm9v", "Zm9v"}, {"foob", "Zm9vYg==", "Zm9vYg"}, {"\xfb\xff", "+/8=", "-_8"}};
  for (const auto& c : kCases) {
    EXPECT_EQ(base64_encode(c.plain, Base64Alphabet::standard), c.standard);
    EXPECT_EQ(base64_encode(c.plain, Base64Alphabet::url), c.url);
    EXPECT_EQ(base64_decode(c.standard, Base64Alphabet::standard), c.plain);
    EXPECT_EQ(base64_decode(c.url, Base64Alphabet::url), c.plain);
  }
}

TEST(Base64, RejectsNonCanonicalTexts) {
  for (const char* bad : {"Zg", "Zg=", "Zh==", "Zm9=", "Z===", "Zm 9v", "Zm9v\n", "-_8=", "Zg==Zg==", "=Zg="}) {
    EXPECT_FALSE(base64_decode(bad, Base64Alphabet::standard)) << bad;
  }
  for (const char* bad : {"Zg==", "Zh", "Z", "+/8", "Zm9vY"}) EXPECT_FALSE(base64_decode(bad, Base64Alphabet::url)) << bad;
}

TEST(Base64, RandomRoundTrips) {
  const auto seed = std::random_device{}();
  std::mt19937 rng(seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  for (int i = 0; i < 500; ++i) {
    std::string bytes(rng() % 40, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    for (const auto alphabet : {Base64Alphabet::standard, Base64Alphabet::url}) {
      EXPECT_EQ(base64_decode(base64_encode(bytes, alphabet), alphabet), bytes);
    }
    EXPECT_EQ(hex_decode(hex_encode(bytes)), bytes);
  }
}

TEST(Hex, SeparatorsAndCaseAllowedOddDigitsNot) {
  EXPECT_EQ(hex_decode("3F 01:aB"), std::string("\x3f\x01\xab"));
  EXPECT_EQ(hex_encode("\x3f\xab"), "3fab");
  for (const char* bad : {"3", "3F0", "3G", "3 F", "0x3F"}) EXPECT_FALSE(hex_decode(bad)) << bad;
}

}  // namespace
}  // namespace tavkin
