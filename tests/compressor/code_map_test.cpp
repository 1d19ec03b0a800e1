// The compressor's name-to-code table against a plain reference (lower-case with a loop,
// look up in std::map): names of every length around the 8- and 16-byte word edges,
// split into head and tail anywhere, in mixed case and with non-ASCII bytes.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "compressor/code_map.h"

namespace vm {
namespace {

std::string lowered(std::string_view s) {
  std::string out;
  for (char c : s) out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return out;
}

TEST(CodeMap, IgnoresAsciiCaseOnlyAndLaterAssignWins) {
  CodeMap map;
  map.assign("Celsius", "c1");
  map.assign("CELSIUS", "C");
  map.assign("\xC3\x89t\xC3\xA9", "e");  // "Été": its non-ASCII letters keep their case
  map.assign("", "empty");
  EXPECT_EQ(map.size(), 3u);
  ASSERT_NE(map.find("celsius"), nullptr);
  EXPECT_EQ(*map.find("cElSiUs"), "C");
  EXPECT_EQ(*map.find("cel", "SIUS"), "C");
  EXPECT_EQ(*map.find("\xC3\x89T\xC3\xA9"), "e");
  EXPECT_EQ(map.find("\xC3\xA9t\xC3\xA9"), nullptr);
  EXPECT_EQ(*map.find(""), "empty");
  EXPECT_EQ(map.find("celsiu"), nullptr);
  EXPECT_EQ(map.find("celsius "), nullptr);
  // '@' and '[' sit just outside 'A'..'Z' and must not be folded.
  map.assign("a@[z", "edge");
  EXPECT_EQ(*map.find("A@[Z"), "edge");
  EXPECT_EQ(map.find("A`{Z"), nullptr);
}

TEST(CodeMap, MatchesReferenceOnRandomNames) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  static constexpr char kBytes[] = "aAbBzZ@[`{09 _-\xC3\xA9\x80\xFF";
  const auto random_name = [&] {
    std::string s(rng() % 40, '\0');
    for (char& c : s) c = kBytes[rng() % (sizeof kBytes - 1)];
    return s;
  };
  CodeMap map;
  std::map<std::string, std::string> reference;
  for (int i = 0; i < 300; ++i) {
    const std::string name = random_name();
    const std::string code = std::to_string(i);
    map.assign(name, code);
    reference[lowered(name)] = code;
  }
  std::vector<std::string> probes;
  for (const auto& [name, code] : reference) probes.push_back(name);
  for (int i = 0; i < 3000; ++i) probes.push_back(random_name());
  for (std::string probe : probes) {
    // Upper-case some letters of known names, then split anywhere.
    for (char& c : probe)
      if (c >= 'a' && c <= 'z' && rng() % 2) c = static_cast<char>(c - 32);
    const std::size_t cut = probe.empty() ? 0 : rng() % (probe.size() + 1);
    const auto it = reference.find(lowered(probe));
    const std::string* found = map.find(std::string_view(probe).substr(0, cut), std::string_view(probe).substr(cut));
    if (it == reference.end()) {
      EXPECT_EQ(found, nullptr) << probe;
    } else {
      ASSERT_NE(found, nullptr) << probe;
      EXPECT_EQ(*found, it->second) << probe;
    }
  }
  EXPECT_EQ(map.size(), reference.size());
}

}  // namespace
}  // namespace vm
