#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "compressor/unit_code.h"

namespace vm {
namespace {

std::string unit_code(std::string_view unit, const CodeMap& map = {}, std::uint64_t scale = 100) {
  std::string out = "t1>0.";
  append_unit_code(out, unit, map, scale);
  EXPECT_EQ(out.substr(0, 5), "t1>0.") << "touched the text before it";
  return out.substr(5);
}

// The format's reference unit codes (scale 100, empty maps), then further rows.
TEST(UnitCode, WithEmptyMaps) {
  static const struct { const char* unit; const char* code; } kCases[] = {
      {"1500W", "2q,daW"},     // 150 tens, not 1.5 thousands
      {"2.5kW", "42,kW"},      // 2.5 is not whole: scaled to 250
      {"0.5mA", "O,mA"},
      {" m / s2 ", "m/s2"},    // trimmed per factor
      {"2", "2"},              // digits only: an empty base and the exponent "2"
      {"m//s", "m//s"},        // the empty factor stays
      {"Unknown", "Unknown"},
      {"info", "0,o"},         // "inf" is infinity, which encodes as "0"
      {"nanometer", "0,ometer"},
      {"2.5", "2,5"},          // exponent "5", number "2."
      {"2 km", "2, km"},       // inner white space stays with the symbol
      {"10^3m", "1,da^3m"},
      {"1000m", "1,km"},
      {"m/s2", "m/s2"},
      {"", "Z"},
      {"unknown", "Z"},
      {"UNKNOWN", "UNKNOWN"},
      {" unknown", "unknown"},   // not exactly "unknown", so standardized like any unit
      {"unknown/s", "unknown/s"},
      {"/", "/"},
      {"//", "//"},
      {" ", ""},
      {"°C", "°C"},
      {"m2", "m2"},
      {"km22", "km22"},
      {"1e9W", "1,GW"},
      {"3000000000Hz", "3,GHz"},
      {"2000000g", "2,Mg"},
      {"1e6", "1,e6"},         // the exponent "6" splits first; "1e" leaves the number 1
      {"10", "10"},            // all digits: no number, only an exponent
      {"10x", "1,dax"},
      {"9x", "9,x"},           // below 10: no prefix
      {"-1000m", "-g8,m"},     // negative: no prefix, whole so unscaled
      {"0.001s", "0,s"},       // 0.1 at scale 100 rounds to 0
      {"0.25s", "p,s"},        // 25
      {"1.5e3m", "2q,dam"},    // 1500 = 150 x 10
      {"2.000000000000001k", "2,k"},   // whole within 1e-12
      {"+5V", "5,V"},
      {"-inf dB", "0, dB"},
      {"1e400J", "0,J"},       // overflows to infinity
      {"1e-400J", "0,J"},
      {"\u00A05\u00A0kg\u3000/\ts", "5,\u00A0kg/s"},
      {"m\u00A02", "m\u00A02"},  // trailing digits after a non-breaking space
      {"12.5.3", "ka,.3"},     // exponent "3", base "12.5.", number 12.5 scaled to 1250
  };
  for (const auto& c : kCases) EXPECT_EQ(unit_code(c.unit), c.code) << '"' << c.unit << '"';
}

TEST(UnitCode, MapsNamesIgnoringAsciiCase) {
  CodeMap map;
  map.assign("Celsius", "c1");
  map.assign("km", "K");
  map.assign("°c", "dc");
  map.assign("unknown", "u?");
  map.assign("", "E");
  map.assign("dam", "DAM");
  map.assign("àc", "grave");
  static const struct { const char* unit; const char* code; } kCases[] = {
      {"Celsius", "c1"}, {"CELSIUS", "c1"}, {"celsius2", "c12"}, {"Celsius/s", "c1/s"},
      {"1000m", "1,K"},        // "k" + "m" is looked up as one name
      {"1000M", "1,K"},
      {"2km", "2,K"},
      {"10m", "1,DAM"},
      {"°C", "dc"},            // "C" folds, the non-ASCII "°" stays
      {"°c", "dc"},
      {"ÀC", "ÀC"},            // "À" is not ASCII, so it does not fold to "à"
      {" unknown", "u?"},
      {"UNKNOWN", "u?"},
      {"unknown", "Z"},
      {"2", "E2"},             // the empty base is a name too
      {"5", "E5"},
      {"m//s", "m/E/s"},       // so is the empty factor
  };
  for (const auto& c : kCases) EXPECT_EQ(unit_code(c.unit, map), c.code) << '"' << c.unit << '"';
}

TEST(UnitCode, ScaleAppliesOnlyToFractionalNumbers) {
  EXPECT_EQ(unit_code("2.5kW", {}, 1), "2,kW");      // 2.5 rounds half to even
  EXPECT_EQ(unit_code("2.5kW", {}, 10000), "6ve,kW");  // 25000
  EXPECT_EQ(unit_code("7W", {}, 10000), "7,W");
}

TEST(FoldDecimalMultiplier, FirstWholeDivisorWins) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  static const struct { double x; double value; const char* prefix; } kCases[] = {
      {1e9, 1, "G"}, {2.5e9, 2.5e3, "M"}, {1e6, 1, "M"}, {1500, 150, "da"}, {1000, 1, "k"},
      {10, 1, "da"}, {15, 15, ""}, {9.99, 9.99, ""}, {-1000, -1000, ""}, {0, 0, ""},
      {kInf, kInf, ""}, {1234567, 1234567, ""}, {1e12, 1000, "G"}, {1001, 1001, ""},
  };
  for (const auto& c : kCases) {
    const auto folded = fold_decimal_multiplier(c.x);
    EXPECT_EQ(folded.value, c.value) << c.x;
    EXPECT_EQ(folded.prefix, c.prefix) << c.x;
  }
  EXPECT_TRUE(std::isnan(fold_decimal_multiplier(kNaN).value));
  EXPECT_EQ(fold_decimal_multiplier(kNaN).prefix, "");
}

}  // namespace
}  // namespace vm
