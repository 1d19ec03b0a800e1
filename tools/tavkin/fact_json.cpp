// Strict JSON readers for facts and compressor settings; see fact_json.h.
#include "fact_json.h"
#include "json_dom.h"

#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>

namespace tavkin {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

struct Failure {
  std::string message;
};

std::string_view type_name(element e) {
  switch (e.type()) {
    case element_type::ARRAY: return "an array";
    case element_type::OBJECT: return "an object";
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE: return "a number";
    case element_type::STRING: return "a string";
    case element_type::BOOL: return "a boolean";
    case element_type::NULL_VALUE: return "null";
  }
  return "a value";
}

[[noreturn]] void fail(std::string message) { throw Failure{std::move(message)}; }

// Members of an object, each at most once, only from `allowed`.
std::map<std::string_view, element> members(element e, std::string_view where,
                                            std::initializer_list<std::string_view> allowed) {
  if (!e.is_object()) fail(fmt::format("{} must be an object, not {}", where, type_name(e)));
  std::map<std::string_view, element> out;
  for (auto [key, value] : object_of(e)) {
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
      fail(fmt::format("{} has an unknown member \"{}\" (known: {})", where, key, fmt::join(allowed, ", ")));
    }
    if (!out.emplace(key, value).second) fail(fmt::format("{} has the member \"{}\" twice", where, key));
  }
  return out;
}

std::string text(const std::map<std::string_view, element>& m, std::string_view key, std::string_view where) {
  const auto it = m.find(key);
  if (it == m.end()) fail(fmt::format("{} has no \"{}\"", where, key));
  if (!it->second.is_string()) fail(fmt::format("{}\"{}\" must be a string, not {}", where, key, type_name(it->second)));
  return std::string(string_of(it->second));
}

std::optional<std::string> optional_text(const std::map<std::string_view, element>& m, std::string_view key) {
  const auto it = m.find(key);
  if (it == m.end() || it->second.is_null()) return std::nullopt;
  if (!it->second.is_string()) fail(fmt::format("\"{}\" must be a string or null, not {}", key, type_name(it->second)));
  return std::string(string_of(it->second));
}

double number(const std::map<std::string_view, element>& m, std::string_view key, std::string_view where) {
  const auto it = m.find(key);
  if (it == m.end()) fail(fmt::format("{} has no \"{}\"", where, key));
  const element e = it->second;
  if (e.is_int64()) return static_cast<double>(e.get_int64().value_unsafe());
  if (e.is_uint64()) return static_cast<double>(e.get_uint64().value_unsafe());
  if (e.is_double()) return e.get_double().value_unsafe();
  fail(fmt::format("{}\"{}\" must be a number, not {}", where, key, type_name(e)));
}

std::vector<std::pair<std::string, std::string>> code_map(const std::map<std::string_view, element>& m,
                                                          std::string_view key) {
  std::vector<std::pair<std::string, std::string>> pairs;
  const auto it = m.find(key);
  if (it == m.end()) return pairs;
  if (!it->second.is_object()) fail(fmt::format("\"{}\" must be an object of name: code, not {}", key, type_name(it->second)));
  std::set<std::string_view> seen;
  for (auto [name, code] : object_of(it->second)) {
    if (!seen.insert(name).second) fail(fmt::format("\"{}\" names \"{}\" twice", key, name));
    if (!code.is_string()) fail(fmt::format("\"{}\".\"{}\" must be a string code, not {}", key, name, type_name(code)));
    pairs.emplace_back(std::string(name), std::string(string_of(code)));
  }
  return pairs;
}

element parse(simdjson::dom::parser& parser, std::string_view input) {
  element doc;
  if (const auto e = parser.parse(input.data(), input.size()).get(doc)) {
    fail(fmt::format("not valid JSON ({})", simdjson::error_message(e)));
  }
  return doc;
}

Fact read_fact(element doc) {
  const auto m = members(doc, "a fact", {"aid", "id", "s", "timestamp", "readings", "geohash", "url", "msg"});
  Fact fact;
  if (const auto it = m.find("aid"); it != m.end() && !it->second.is_null()) {
    std::uint64_t aid = 0;
    if (it->second.is_uint64()) {
      aid = it->second.get_uint64().value_unsafe();
    } else if (it->second.is_int64() && it->second.get_int64().value_unsafe() >= 0) {
      aid = static_cast<std::uint64_t>(it->second.get_int64().value_unsafe());
    } else {
      fail("\"aid\" must be a device id from 0 to 4294967295");
    }
    if (aid > 0xFFFFFFFFu) fail("\"aid\" must be a device id from 0 to 4294967295");
    fact.aid = static_cast<std::uint32_t>(aid);
  }
  fact.id = text(m, "id", "");
  fact.s = text(m, "s", "");
  fact.timestamp = number(m, "timestamp", "");
  const auto readings = m.find("readings");
  if (readings == m.end()) fail("a fact has no \"readings\" (use [] for none)");
  if (!readings->second.is_array()) fail(fmt::format("\"readings\" must be an array, not {}", type_name(readings->second)));
  size_t i = 0;
  for (element r : array_of(readings->second)) {
    const std::string where = fmt::format("readings[{}]", i++);
    const auto rm = members(r, where, {"id", "s", "v", "u"});
    fact.readings.push_back({text(rm, "id", where + "."), text(rm, "s", where + "."), number(rm, "v", where + "."),
                             text(rm, "u", where + ".")});
  }
  fact.geohash = optional_text(m, "geohash");
  fact.url = optional_text(m, "url");
  fact.msg = optional_text(m, "msg");
  return fact;
}

CompressorSettings read_settings(element doc) {
  const auto m = members(doc, "the configuration", {"precision", "ms_timestamps", "units", "states"});
  CompressorSettings settings;
  if (const auto it = m.find("precision"); it != m.end()) {
    const element p = it->second;
    const bool whole = p.is_uint64() || (p.is_int64() && p.get_int64().value_unsafe() >= 0);
    const std::uint64_t v = !whole ? 0 : p.is_uint64() ? p.get_uint64().value_unsafe()
                                                       : static_cast<std::uint64_t>(p.get_int64().value_unsafe());
    if (!whole || v > 18) fail("\"precision\" must be a whole number from 0 to 18");
    settings.precision = static_cast<std::uint32_t>(v);
  }
  if (const auto it = m.find("ms_timestamps"); it != m.end()) {
    if (!it->second.is_bool()) fail(fmt::format("\"ms_timestamps\" must be true or false, not {}", type_name(it->second)));
    settings.ms_timestamps = it->second.get_bool().value_unsafe();
  }
  settings.units = code_map(m, "units");
  settings.states = code_map(m, "states");
  return settings;
}

}  // namespace

Parsed<Fact> JsonReader::fact(std::string_view line) {
  try {
    return {read_fact(parse(parser_, line)), {}};
  } catch (const Failure& f) {
    return {std::nullopt, f.message};
  }
}

Parsed<CompressorSettings> JsonReader::settings(std::string_view input) {
  try {
    return {read_settings(parse(parser_, input)), {}};
  } catch (const Failure& f) {
    return {std::nullopt, f.message};
  }
}

}  // namespace tavkin
