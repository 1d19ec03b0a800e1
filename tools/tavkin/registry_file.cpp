// Device files read for display; see registry_file.h.
#include "registry_file.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include <fmt/format.h>
#include <simdjson.h>

#include "codec.h"
#include "json_dom.h"

namespace tavkin {
namespace {

namespace fs = std::filesystem;

// A record given as an object (named members) or as an array (values in field order).
// Fills `fields` in order of `names`; false on a duplicate or an overlong array.
bool record_fields(simdjson::dom::element record, std::initializer_list<std::string_view> names,
                   std::vector<std::optional<simdjson::dom::element>>& fields, std::string& error) {
  fields.assign(names.size(), std::nullopt);
  if (record.is_array()) {
    size_t i = 0;
    for (auto value : array_of(record)) {
      if (i == names.size()) {
        error = fmt::format("an array record has more than {} values", names.size());
        return false;
      }
      fields[i++] = value;
    }
    return true;
  }
  if (!record.is_object()) {
    error = "a record is neither an object nor an array";
    return false;
  }
  for (auto [key, value] : object_of(record)) {
    const auto it = std::find(names.begin(), names.end(), key);
    if (it == names.end()) continue;
    auto& slot = fields[static_cast<size_t>(it - names.begin())];
    if (slot) {
      error = fmt::format("the member \"{}\" occurs twice", key);
      return false;
    }
    slot = value;
  }
  return true;
}

}  // namespace

std::optional<std::uint32_t> parse_u32(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(v);
}

std::string device_file_path(std::string_view root, std::uint32_t aid) {
  const std::string d = fmt::format("{:010}", aid);
  return (fs::path(root) / d.substr(0, 2) / d.substr(2, 2) / fmt::format("{}.json", aid)).string();
}

std::optional<DeviceFile> read_device_file(std::string_view root, std::uint32_t aid, std::string& error) {
  DeviceFile file;
  file.aid = aid;
  file.path = device_file_path(root, aid);
  simdjson::padded_string text;
  if (simdjson::padded_string::load(file.path).get(text)) {
    error = fmt::format("cannot read {}", file.path);
    return std::nullopt;
  }
  simdjson::dom::parser parser;
  simdjson::dom::element doc;
  if (const auto e = parser.parse(text).get(doc)) {
    error = fmt::format("{} is not JSON: {}", file.path, simdjson::error_message(e));
    return std::nullopt;
  }
  std::vector<std::optional<simdjson::dom::element>> top;
  if (!record_fields(doc, {"aid", "templates"}, top, error)) return std::nullopt;
  if (top[0] && !top[0]->is_string()) {
    error = "\"aid\" is not a string";
    return std::nullopt;
  }
  if (top[1]) {
    if (!top[1]->is_object()) {
      error = "\"templates\" is not an object";
      return std::nullopt;
    }
    for (auto [key, value] : object_of(*top[1])) {
      std::vector<std::optional<simdjson::dom::element>> t;
      if (!record_fields(value, {"sig", "last_vals_bin"}, t, error)) return std::nullopt;
      if (!t[0] || !t[0]->is_string()) {
        error = fmt::format("template \"{}\" has no \"sig\" string", key);
        return std::nullopt;
      }
      if (t[1] && !t[1]->is_array()) {
        error = fmt::format("template \"{}\": \"last_vals_bin\" is not an array", key);
        return std::nullopt;
      }
      StoredTemplate stored;
      stored.sig = std::string(string_of(*t[0]));
      if (t[1]) {
        for (auto item : array_of(*t[1])) {
          if (!item.is_string()) {
            error = fmt::format("template \"{}\": a last value is not a string", key);
            return std::nullopt;
          }
          auto bytes = base64_decode(string_of(item), Base64Alphabet::standard);
          if (bytes) {
            stored.last_vals.push_back(std::move(*bytes));
          } else {
            ++stored.undecodable_values;
          }
        }
      }
      const auto tid = parse_u32(key);
      if (!tid) {
        file.skipped_keys.emplace_back(key);
        continue;
      }
      stored.tid = *tid;
      // A later member with the same key replaces the earlier one, as the library reads it.
      std::erase_if(file.templates, [&](const StoredTemplate& s) { return s.tid == *tid; });
      file.templates.push_back(std::move(stored));
    }
  }
  std::sort(file.templates.begin(), file.templates.end(),
            [](const StoredTemplate& a, const StoredTemplate& b) { return a.tid < b.tid; });
  return file;
}

std::vector<std::uint32_t> list_devices(std::string_view root) {
  std::set<std::uint32_t> aids;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it.depth() != 2 || !it->is_regular_file(ec) || it->path().extension() != ".json") continue;
    const auto aid = parse_u32(it->path().stem().string());
    if (aid && device_file_path(root, *aid) == it->path().string()) aids.insert(*aid);
  }
  return {aids.begin(), aids.end()};
}

}  // namespace tavkin
