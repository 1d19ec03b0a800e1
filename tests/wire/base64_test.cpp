#include <gtest/gtest.h>

#include <random>
#include <string>

#include "wire/base64.h"

namespace vm {
namespace {

std::string enc(std::string_view s, Base64 k) {
  std::string out;
  append_base64(out, s, k);
  return out;
}

// RFC 4648 section 10 test vectors, plus the URL-safe forms used by compact facts.
TEST(Base64, EncodesRfcVectors) {
  static const struct { const char* plain; const char* standard; const char* url; } kCases[] = {
      {"", "", ""},           {"f", "Zg==", "Zg"},        {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"}, {"foob", "Zm9vYg==", "Zm9vYg"}, {"fooba", "Zm9vYmE=", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy", "Zm9vYmFy"}, {"xyz", "eHl6", "eHl6"}, {"s1", "czE=", "czE"},
      {"\xFB\xFF", "+/8=", "-_8"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(enc(c.plain, Base64::standard), c.standard);
    EXPECT_EQ(enc(c.plain, Base64::url), c.url);
    std::string back;
    ASSERT_TRUE(decode_base64(c.standard, Base64::standard, back)) << c.standard;
    EXPECT_EQ(back, c.plain);
    back.clear();
    ASSERT_TRUE(decode_base64(c.url, Base64::url, back)) << c.url;
    EXPECT_EQ(back, c.plain);
  }
  EXPECT_EQ(enc(std::string(6, '\0'), Base64::url), "AAAAAAAA");
  EXPECT_EQ(enc(std::string(6, '\xFF'), Base64::url), "________");
}

TEST(Base64, StrictDecodingRejectsNonCanonicalTexts) {
  static const struct { const char* text; Base64 kind; } kCases[] = {
      {"QQ", Base64::standard},      // padding missing
      {"QQ=", Base64::standard},     // padding short
      {"QR==", Base64::standard},    // leftover bits not zero
      {"QkN=", Base64::standard},    // leftover bits not zero
      {"Q===", Base64::standard},    {"====", Base64::standard},
      {"QQ==QQ==", Base64::standard},  // padding inside
      {"Q Q=", Base64::standard},    {"QQ==\n", Base64::standard},
      {"-_8=", Base64::standard},    // URL alphabet in a standard text
      {"Zg==", Base64::url},         // padding not allowed
      {"+/8", Base64::url},          {"Q", Base64::url},  {"QR", Base64::url},
      {"Zm9vY", Base64::url},
  };
  for (const auto& c : kCases) {
    std::string out = "keep";
    EXPECT_FALSE(decode_base64(c.text, c.kind, out)) << c.text;
    EXPECT_EQ(out, "keep");
  }
}

TEST(Base64, RandomRoundTrip) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int i = 0; i < 2000; ++i) {
    std::string bytes(rng() % 40, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    for (Base64 k : {Base64::standard, Base64::url}) {
      const std::string text = enc(bytes, k);
      EXPECT_EQ(text.size(), base64_encoded_size(bytes.size(), k));
      std::string back;
      ASSERT_TRUE(decode_base64(text, k, back));
      EXPECT_EQ(back, bytes);
    }
  }
}

}  // namespace
}  // namespace vm
