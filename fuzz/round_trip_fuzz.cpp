// Structure-aware round trip. The input describes a fact and a few changes to it; each
// version is compressed (vm_compress_fact_v1), sent (vm_fusion_run_json_v1, sender
// context) and received (vm_fusion_decompress_json_v1, receiver context), the two contexts
// in lock-step and fresh for each input. Every answer must be the JSON view of the compact
// text that was sent, whatever packet (full, heartbeat, difference) carried it, and must
// give back the fact's id, reading ids, geohash, url and msg.
//
// Identifiers, states, units and the geohash avoid the separator characters and ";": the
// compact text has no escaping, so those cannot round-trip by design. Everything else is
// fair, including "{TS}" and 0x01, the placeholders of a signature.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "json/object_builder.h"
#include "requests/compact_fact_json.h"
#include "velmarinthos_tavkin.h"

namespace {

struct Reading {
  std::string id, s;
  double v;
  std::string u;
};

struct Fact {
  std::string id, s;
  double timestamp;
  std::vector<Reading> readings;
  std::optional<std::string> geohash, url, msg;
};

// Pieces of names and units: no separator and no ";", but the signature's own
// placeholders, white space, digits that read as exponents and numbers, and UTF-8.
constexpr std::string_view kNamePieces[] = {"a", "b", "Z", "0", "7", " ", "-", "_", "+", "e", "k", "m",
                                            "/", ",", "{TS}", "{", "}", "\x01", "\xC3\xA9", "\xC2\xB0", "\t",
                                            "inf", "nan", "unknown", "Celsius", "OK", "online", "1e3"};
// The url and msg travel in Base64: anything UTF-8 goes, separators included.
constexpr std::string_view kFreePieces[] = {"a", "/", ":", "|", "@", "#", "&", ".", ";", ">", " ", "\x01",
                                            "{TS}", "\xE2\x82\xAC", "https://", "=", std::string_view("\0", 1)};
constexpr std::string_view kUrlSchemes[] = {"https://", "http://", "ftp://", ""};

std::string pieces(fuzz::Cursor& in, const std::string_view* list, std::size_t count, std::size_t max) {
  const std::size_t n = in.below(max + 1);
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += list[in.below(count)];
  return out;
}
template <std::size_t N>
std::string pieces(fuzz::Cursor& in, const std::string_view (&list)[N], std::size_t max) {
  return pieces(in, list, N, max);
}

double number(fuzz::Cursor& in) {
  switch (in.below(6)) {
    case 0: return static_cast<double>(static_cast<std::int8_t>(in.byte()));
    case 1: return static_cast<double>(in.u32()) / 1000.0;
    case 2: {
      const std::uint64_t bits = in.u64();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    case 3: return -static_cast<double>(in.u32()) / 7.0;
    case 4: return std::numeric_limits<double>::quiet_NaN();
    default: return 0.5 * in.byte();
  }
}

double timestamp(fuzz::Cursor& in) {
  switch (in.below(5)) {
    case 0: return 1700000000.0 + in.byte();
    case 1: return 1700000000000.0 + in.u32();
    case 2: return static_cast<double>(in.u32());
    case 3: return -1.0;
    default: return number(in);
  }
}

Reading reading(fuzz::Cursor& in) {
  Reading r;
  r.id = pieces(in, kNamePieces, 3);
  r.s = pieces(in, kNamePieces, 2);
  r.v = number(in);
  r.u = pieces(in, kNamePieces, 4);
  return r;
}

std::optional<std::string> url(fuzz::Cursor& in) {
  if (in.below(2) == 0) return std::nullopt;
  // No ":" after the scheme, so a text without one never reads as having a scheme.
  std::string rest = pieces(in, kNamePieces, 4);
  return std::string(kUrlSchemes[in.below(4)]) + rest;
}

Fact first_fact(fuzz::Cursor& in) {
  Fact f;
  f.id = pieces(in, kNamePieces, 3);
  f.s = pieces(in, kNamePieces, 2);
  f.timestamp = timestamp(in);
  const std::size_t n = in.below(5);
  for (std::size_t i = 0; i < n; ++i) f.readings.push_back(reading(in));
  if (in.below(2)) f.geohash = pieces(in, kNamePieces, 3);
  f.url = url(in);
  if (in.below(2)) f.msg = pieces(in, kFreePieces, 4);
  return f;
}

// Changes that keep the signature (time, values, units) and some that make a new one.
void change(Fact& f, fuzz::Cursor& in, std::uint8_t what) {
  if (what & 1) f.timestamp = timestamp(in);
  if ((what & 2) && !f.readings.empty()) f.readings[in.below(f.readings.size())].v = number(in);
  if ((what & 4) && !f.readings.empty()) f.readings[in.below(f.readings.size())].u = pieces(in, kNamePieces, 4);
  if ((what & 8) && !f.readings.empty()) f.readings[in.below(f.readings.size())].s = pieces(in, kNamePieces, 2);
  if (what & 16) f.msg = in.below(2) ? std::optional(pieces(in, kFreePieces, 4)) : std::nullopt;
  if (what & 32) {
    if (!f.readings.empty() && in.below(2)) f.readings.pop_back();
    else f.readings.push_back(reading(in));
  }
  if (what & 64) f.geohash = in.below(2) ? std::optional(pieces(in, kNamePieces, 3)) : std::nullopt;
}

std::string record_of(const Fact& f) {
  fuzz::Record r;
  r.str(f.id).str(f.s).f64(f.timestamp).u32(static_cast<std::uint32_t>(f.readings.size()));
  for (const auto& x : f.readings) r.str(x.id).str(x.s).f64(x.v).str(x.u);
  for (const auto* t : {&f.geohash, &f.url, &f.msg}) {
    if (*t) r.str(**t);
    else r.u32(0xFFFFFFFF);
  }
  return r.bytes;
}

std::uint64_t compressor(std::size_t which) {
  static const std::vector<std::uint64_t> handles = [] {
    std::vector<std::uint64_t> h;
    for (std::uint32_t precision : {0u, 2u, 4u}) {
      fuzz::Record c;
      c.u32(precision).u8(precision == 2 ? 1 : 0);
      c.u32(1).str("celsius").str("c1").u32(2).str("online").str("1").str("ok").str("0");
      h.push_back(vm_compressor_create_v1(fuzz::bytes_of(c.bytes), c.bytes.size()));
      FUZZ_CHECK(h.back() != 0);
    }
    return h;
  }();
  return handles[which % handles.size()];
}

std::string call(std::int32_t (*f)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t), const std::string& in) {
  static std::string out(1 << 20, '\0');
  const std::int32_t n = f(fuzz::bytes_of(in), in.size(), reinterpret_cast<std::uint8_t*>(out.data()), out.size());
  FUZZ_CHECK(n >= 0);
  return out.substr(0, static_cast<std::size_t>(n));
}

// The answer's members after "__packet_meta__", as a JSON object text.
std::string without_meta(const std::string& answer) {
  constexpr std::string_view kMeta = "{\"__packet_meta__\":{";
  FUZZ_CHECK(answer.compare(0, kMeta.size(), kMeta) == 0);
  const std::size_t end = answer.find('}');  // the meta object holds only numbers and booleans
  const std::string rest = answer.substr(end + 1);
  return rest == "}" ? "{}" : "{" + rest.substr(1);
}

std::string expected_url(const std::string& url) {
  std::string_view rest = url;
  if (rest.starts_with("https://")) rest.remove_prefix(8);
  for (std::string_view scheme : kUrlSchemes)
    if (!scheme.empty() && scheme != "https://" && rest.starts_with(scheme)) return std::string(rest);
  return "https://" + std::string(rest);
}

void check_fields(const std::string& view, const Fact& f) {
  static simdjson::dom::parser parser;
  simdjson::dom::element root;
  FUZZ_CHECK(parser.parse(view).get(root) == simdjson::SUCCESS);
  std::string_view text;
  FUZZ_CHECK(root["id"].get(text) == simdjson::SUCCESS && text == f.id);
  for (std::size_t i = 0; i < f.readings.size(); ++i) {
    const std::string key = "s" + std::to_string(i + 1) + "_id";
    FUZZ_CHECK(root[key].get(text) == simdjson::SUCCESS && text == f.readings[i].id);
  }
  FUZZ_CHECK(root["s" + std::to_string(f.readings.size() + 1) + "_id"].error() == simdjson::NO_SUCH_FIELD);
  const auto same = [&](const char* key, const std::optional<std::string>& want) {
    if (!want) {
      FUZZ_CHECK(root[key].error() == simdjson::NO_SUCH_FIELD);
    } else {
      FUZZ_CHECK(root[key].get(text) == simdjson::SUCCESS && text == *want);
    }
  };
  same("geohash", f.geohash);
  same("msg", f.msg);
  same("url", f.url ? std::optional(expected_url(*f.url)) : std::nullopt);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::uint64_t inputs = 0;
  const std::uint64_t sender = 5'000'000'000 + 2 * inputs;
  const std::uint64_t receiver = sender + 1;
  ++inputs;

  fuzz::Cursor in(data, size);
  const std::uint64_t handle = compressor(in.byte());
  const std::size_t versions = 1 + in.below(6);
  Fact fact = first_fact(in);
  for (std::size_t k = 0; k < versions; ++k) {
    const std::uint8_t what = in.byte();
    if (k > 0) change(fact, in, what);

    const std::string record = record_of(fact);
    std::string text(1 << 16, '\0');
    const std::int32_t n = vm_compress_fact_v1(handle, fuzz::bytes_of(record), record.size(),
                                               reinterpret_cast<std::uint8_t*>(text.data()), text.size());
    FUZZ_CHECK(n > 0);
    text.resize(static_cast<std::size_t>(n));

    const std::string run_head = "{\"ctx_id\":" + std::to_string(sender) + ",\"src_aid\":77,\"raw_input\":" +
                                 fuzz::json_string(text);
    std::string packet = call(vm_fusion_run_json_v1, run_head + ((what & 128) ? ",\"strategy\":\"full\"}" : "}"));
    // No decision (a changed value too long for a difference packet): send it whole.
    if (packet.empty()) packet = call(vm_fusion_run_json_v1, run_head + ",\"strategy\":\"full\"}");
    FUZZ_CHECK(packet.size() >= 16 && packet[0] != '{');

    const std::string answer = call(vm_fusion_decompress_json_v1, "{\"ctx_id\":" + std::to_string(receiver) +
                                                                      ",\"packet_b64\":\"" + fuzz::base64(packet) + "\"}");
    vm::json::ObjectBuilder view;
    vm::compact_fact_to_json(text, view);
    std::string expected;
    view.write(expected);
    const std::string got = without_meta(answer);
    if (got != expected) {
      std::fprintf(stderr, "version %zu, command %d\ncompact: %s\nexpected: %s\nreceived: %s\n", k, packet[0] & 0xFF,
                   text.c_str(), expected.c_str(), got.c_str());
      FUZZ_CHECK(got == expected);
    }
    check_fields(got, fact);
  }
  return 0;
}
