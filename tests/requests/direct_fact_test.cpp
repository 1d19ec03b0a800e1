// A heartbeat's or diff's answer read straight from the signature and the values must be
// byte for byte the answer of the rebuilt text read back, whenever the direct reader
// takes the fact at all. Signatures are drawn from every kind of segment, odd ids and
// units, slot bytes and timestamp marks inside texts, segments the reader skips, routing
// prefixes, invalid UTF-8 and trailers; values from the characters that matter to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "fusion/packet_decoder.h"
#include "requests/compact_fact_json.h"
#include "requests/decompress_answer.h"
#include "requests/direct_fact.h"
#include "wire/base64.h"
#include "wire/utf8.h"

namespace vm {
namespace {

constexpr std::string_view kTs = "AYvD-_0A";  // URL-safe Base64 of six bytes

HeaderInfo example_header() {
  HeaderInfo h;
  h.cmd = 170;
  h.base_cmd = 170;
  h.source_aid = 7;
  h.tid = 24;
  h.timestamp_raw = 1700000000000;
  h.crc16_ok = true;
  return h;
}

// The answer through the rebuilt text, as the general road gives it.
std::string through_text(std::string_view sig, std::string_view ts, const std::vector<std::string>& values) {
  std::string rebuilt;
  if (!rebuild_fact(sig, ts, values, rebuilt)) return "not rebuilt";
  std::string_view text = is_valid_utf8(rebuilt) ? std::string_view(rebuilt) : std::string_view();
  if (const std::size_t semicolon = text.find(';'); semicolon != std::string_view::npos)
    text.remove_prefix(semicolon + 1);
  CompactFactMembers fact;
  if (!read_compact_fact(text, fact)) return R"({"error":"invalid_json"})";
  std::string out;
  append_decompress_answer(fact, example_header(), out);
  return out;
}

// The direct answer, or nullopt when the direct reader declines.
std::optional<std::string> direct(std::uint64_t key, std::string_view sig, std::string_view ts,
                                  const std::vector<std::string>& values) {
  thread_local CompactFactMembers fact;
  if (!direct_fact_members(key, sig, ts, values, fact)) return std::nullopt;
  std::string out;
  append_decompress_answer(fact, example_header(), out);
  return out;
}

std::string b64url(std::string_view bytes) {
  std::string out;
  append_base64(out, bytes, Base64::url);
  return out;
}

class FactMaker {
 public:
  explicit FactMaker(std::uint32_t seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }
  bool one_in(std::size_t n) { return below(n) == 0; }

  // Short texts from the characters the reader splits on or treats specially.
  std::string odd_text(std::size_t longest) {
    static constexpr std::string_view kChars[] = {"a", "Z", "0", "7", "-", ".", ":", ">", "&", "#", "_",
                                                  "\"", "\\", "{TS}", "\x01", "\xC3\xA9", " ", "x"};
    std::string s;
    for (std::size_t n = below(longest + 1); n > 0; --n) s += kChars[below(std::size(kChars))];
    return s;
  }

  std::string plain_id() {
    static constexpr std::string_view kIds[] = {"t", "temp", "H2", "s-1", "x9"};
    return std::string(kIds[below(std::size(kIds))]);
  }

  std::string segment() {
    switch (below(12)) {
      case 0: return "&" + (one_in(3) ? odd_text(6) : std::string("u4pruyd"));
      case 1: return "#" + (one_in(3) ? odd_text(8) : b64url(one_in(2) ? "example.org/a" : "ftp://h/\xC3\xA9"));
      case 2: return "#\x01";
      case 3: return odd_text(6) + ">" + odd_text(4) + ":" + odd_text(3);  // a reading in the signature
      case 4: return odd_text(3) + "\x01" + odd_text(2) + ">\x01:" + odd_text(2) + "\x01";
      case 5: return "";
      case 6: return odd_text(8);  // skipped or odd
      case 7: return odd_text(4) + std::string(kReadingMark);
      default: return (one_in(4) ? odd_text(5) : plain_id()) + std::string(kReadingMark);
    }
  }

  std::string signature() {
    std::string sig;
    if (one_in(5)) sig += odd_text(3) + ";";
    sig += one_in(4) ? odd_text(4) + "." + odd_text(2) + ".{TS}" + odd_text(2) : "n1.OK.{TS}";
    for (std::size_t n = below(7); n > 0; --n) sig += "|" + segment();
    if (one_in(3)) {
      sig += "@";
      switch (below(4)) {
        case 0: sig += b64url("hello \xC3\xA9") + "|"; break;
        case 1: sig += "\x01|"; break;
        case 2: sig += odd_text(6); break;
        default: sig += b64url("m") + "@" + odd_text(3); break;
      }
    }
    if (one_in(25)) sig.insert(below(sig.size() + 1), 1, '\xFF');  // not UTF-8
    if (one_in(10)) sig.insert(below(sig.size() + 1), 1, static_cast<char>(one_in(2) ? '|' : ';'));
    return sig;
  }

  std::string value() {
    static constexpr std::string_view kCodes[] = {"0", "5Bf", "-Q2", "zzzzzzzzzzzz", "-", ""};
    switch (below(10)) {
      case 0: return odd_text(4);
      case 1: return std::string(kCodes[below(std::size(kCodes))]) + (one_in(2) ? ":" : "|");
      case 2: return one_in(2) ? "@x" : "\xC3\xA9";
      case 3: return std::string(kCodes[below(std::size(kCodes))]);
      case 4: return "";
      default: return one_in(2) ? "21.C" : std::string(kCodes[below(std::size(kCodes))]);
    }
  }

  std::vector<std::string> values_for(std::string_view sig) {
    const auto slots = static_cast<std::size_t>(std::count(sig.begin(), sig.end(), '\x01'));
    std::vector<std::string> values(one_in(8) ? below(slots + 2) : slots);
    for (std::string& v : values) v = value();
    return values;
  }

 private:
  std::mt19937 rng_;
};

TEST(DirectFact, AnswersAsTheRebuiltTextReadBack) {
  const auto seed = static_cast<std::uint32_t>(std::random_device{}());
  std::printf("direct fact seed %u\n", seed);
  FactMaker make(seed);
  std::size_t taken = 0, tried = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string sig = make.signature();
    // A few keys for many signatures: a key met again with another signature must not
    // answer from the layout it had before.
    const std::uint64_t key = make.below(6);
    for (int packet = 0; packet < 3; ++packet) {
      const std::vector<std::string> values = make.values_for(sig);
      // Timestamp texts other than the packets' own reach the reader's odd cases too.
      static constexpr std::string_view kOddTs[] = {"AY.D-_0A", "AYvD-_0=", "A:>&#__-", "AYvD-_0", "AYvD+/0A", "________", "AAAAAAAA"};
      const std::string_view ts = make.one_in(6) ? kOddTs[make.below(std::size(kOddTs))] : kTs;
      const auto answer = direct(key, sig, ts, values);
      ++tried;
      if (!answer) continue;
      ++taken;
      ASSERT_EQ(*answer, through_text(sig, ts, values))
          << "seed " << seed << " round " << round << " ts " << ts << "\nsig: " << testing::PrintToString(sig)
          << "\nvalues: " << testing::PrintToString(values);
    }
  }
  // The comparison means something only if the direct reader takes most facts.
  EXPECT_GT(taken * 2, tried) << "seed " << seed;
}

TEST(DirectFact, TakesAFleetFactAndDeclinesWhatItCannotVouchFor) {
  const std::string sig = "gw;n1.OK.{TS}|temp" + std::string(kReadingMark) + "|hum" + std::string(kReadingMark) +
                          "|&u4pruyd@" + b64url("door open") + "|";
  const std::vector<std::string> fleet = {"21.C", "5Bf", "3.pct", "-Q2"};
  const auto answer = direct(1, sig, kTs, fleet);
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, through_text(sig, kTs, fleet));
  EXPECT_NE(answer->find(R"("s1_id":"temp","s1_s":"21","s1_u":"C","s1_v":)"), std::string::npos) << *answer;
  EXPECT_NE(answer->find(R"("msg":"door open")"), std::string::npos) << *answer;

  struct Case {
    const char* what;
    std::string sig;
    std::vector<std::string> values;
  };
  const Case declined[] = {
      {"a value with a segment separator", sig, {"21.C", "5|Bf", "3.pct", "-Q2"}},
      {"a value with a trailer mark", sig, {"21.C", "5Bf", "3.pct@", "-Q2"}},
      {"a value with a routing mark", sig, {"2;1.C", "5Bf", "3.pct", "-Q2"}},
      {"a value outside ASCII", sig, {"21.\xC3\xA9", "5Bf", "3.pct", "-Q2"}},
      {"a signature that is not UTF-8", sig + "\xFF", fleet},
      {"no timestamp mark", "n1.OK.x|t" + std::string(kReadingMark), {"a.b", "1"}},
      {"more values than slots", "n1.OK.{TS}|t" + std::string(kReadingMark), {"a.b", "1", "2"}},
  };
  for (const Case& c : declined) EXPECT_FALSE(direct(2, c.sig, kTs, c.values)) << c.what;
}

}  // namespace
}  // namespace vm
