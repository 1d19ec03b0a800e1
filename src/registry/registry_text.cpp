#include "registry/registry_text.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "json/json_writer.h"
#include "json/record.h"
#include "support/keyed_hash.h"
#include "support/scratch.h"
#include "wire/base64.h"
#include "wire/utf8.h"

namespace vm {
namespace {

struct TemplateDisk {
  std::string_view sig;
  std::optional<simdjson::dom::array> last_vals_bin;
};

struct KeyedTemplate {
  std::string_view key;
  TemplateDisk fields;
};

struct RegistryDisk {
  std::string_view aid;  // read for its type only: the file's place names the device
  std::vector<KeyedTemplate> templates;
  std::vector<std::uint64_t> applied_packets;
};

// A digest as written: 16 lowercase hexadecimal digits.
constexpr std::size_t kDigestDigits = 16;

std::optional<std::uint64_t> parse_digest(std::string_view text) noexcept {
  std::uint64_t digest = 0;
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, digest, 16);
  if (text.size() != kDigestDigits || ec != std::errc{} || ptr != end) return std::nullopt;
  return digest;
}

// Digests that do not read are dropped, a member that is not an array too: a packet they
// stood for may then be applied again, as one older than the window would be, which costs
// less than the templates of a file refused whole.
bool read_applied_packets(json::Element value, RegistryDisk& out) {
  simdjson::dom::array array;
  if (value.get_array().get(array) != simdjson::SUCCESS) return true;
  for (json::Element item : array) {
    std::string_view text;
    if (item.get_string().get(text) != simdjson::SUCCESS) continue;
    if (const auto digest = parse_digest(text)) out.applied_packets.push_back(*digest);
  }
  return true;
}

bool read_string_array(json::Element value, TemplateDisk& out) {
  simdjson::dom::array array;
  if (value.get_array().get(array) != simdjson::SUCCESS) return false;
  for (json::Element item : array)
    if (!item.is_string()) return false;
  out.last_vals_bin = array;
  return true;
}

constexpr json::Record kTemplateDisk{
    json::required("sig", &TemplateDisk::sig),
    json::field("last_vals_bin", &read_string_array),
};

bool read_templates(json::Element value, RegistryDisk& out) {
  simdjson::dom::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS) return false;
  for (simdjson::dom::key_value_pair member : object) {
    KeyedTemplate entry{member.key, {}};
    if (!kTemplateDisk.read(member.value, entry.fields)) return false;
    out.templates.push_back(entry);
  }
  return true;
}

constexpr json::Record kRegistryDisk{
    json::field("aid", &RegistryDisk::aid),
    json::field("templates", &read_templates),
    json::field("applied_packets", &read_applied_packets),
};

// A template key: an optional "+", then one or more ASCII digits, at most 4294967295.
std::optional<TemplateId> parse_template_key(std::string_view key) noexcept {
  if (!key.empty() && key.front() == '+') key.remove_prefix(1);
  std::uint32_t tid = 0;
  const char* const end = key.data() + key.size();
  const auto [ptr, ec] = std::from_chars(key.data(), end, tid);
  if (key.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
  return TemplateId{tid};
}

// Of several members with the same key the last one counts; the survivors keep file order.
std::vector<const KeyedTemplate*> last_of_each_key(const std::vector<KeyedTemplate>& templates) {
  std::vector<const KeyedTemplate*> kept;
  KeyedSet<std::string_view> seen;
  for (auto it = templates.rbegin(); it != templates.rend(); ++it)
    if (seen.insert(it->key).second) kept.push_back(&*it);
  std::reverse(kept.begin(), kept.end());
  return kept;
}

}  // namespace

void append_registry_text(std::string& out, DeviceId aid, const DeviceTemplates& device) {
  thread_local std::vector<TemplateId> tids;  // kept per thread: saves then allocate nothing
  tids.clear();
  const ScratchRelease release_tids(tids);
  for (const auto& [tid, sig] : device.tid_to_sig) tids.push_back(tid);
  std::sort(tids.begin(), tids.end());

  char number[16];
  json::PrettyWriter w(out);
  w.begin_object();
  w.key("aid");
  w.string(std::string_view(number, std::to_chars(number, number + sizeof number, raw(aid)).ptr));
  w.key("templates");
  w.begin_object();
  thread_local std::string base64;
  const ScratchRelease release_base64(base64);
  for (TemplateId tid : tids) {
    w.key(std::string_view(number, std::to_chars(number, number + sizeof number, raw(tid)).ptr));
    w.begin_object();
    const std::string& sig = device.tid_to_sig.at(tid);
    w.key("sig");
    w.string(is_valid_utf8(sig) ? std::string_view(sig) : std::string_view());
    w.key("last_vals_bin");
    w.begin_array();
    if (auto vals = device.last_vals.find(tid); vals != device.last_vals.end()) {
      for (const std::string& value : vals->second) {
        base64.clear();
        append_base64(base64, value, Base64::standard);
        w.string(base64);
      }
    }
    w.end_array();
    w.end_object();
  }
  w.end_object();
  // Only when there are any: the files of receivers that never ask for it stay as they were.
  if (!device.applied.empty()) {
    thread_local std::vector<std::uint64_t> digests;
    const ScratchRelease release_digests(digests);
    digests.clear();
    device.applied.append_oldest_first(digests);
    w.key("applied_packets");
    w.begin_array();
    for (std::uint64_t digest : digests) {
      static constexpr char kHex[] = "0123456789abcdef";
      char hex[kDigestDigits];
      for (std::size_t i = 0; i < kDigestDigits; ++i) hex[i] = kHex[(digest >> (4 * (kDigestDigits - 1 - i))) & 15];
      w.string(std::string_view(hex, kDigestDigits));
    }
    w.end_array();
  }
  w.end_object();
}

std::optional<DeviceTemplates> parse_registry_text(std::string_view text) {
  json::Reader reader;
  const std::optional<RegistryDisk> disk = json::read_record_parsed(reader, text, kRegistryDisk);
  if (!disk) return std::nullopt;

  DeviceTemplates device;
  std::vector<std::string> values;
  for (const KeyedTemplate* entry : last_of_each_key(disk->templates)) {
    const std::optional<TemplateId> tid = parse_template_key(entry->key);
    if (!tid) continue;
    const std::string_view sig = entry->fields.sig;
    device.sig_to_tid.insert_or_assign(std::string(sig), *tid);
    device.tid_to_sig.insert_or_assign(*tid, std::string(sig));

    values.clear();
    std::size_t texts = 0;
    if (entry->fields.last_vals_bin) {
      for (json::Element item : *entry->fields.last_vals_bin) {
        ++texts;
        std::string decoded;
        // An undecodable text is dropped; the values after it move up one place.
        if (decode_base64(item.get_string().value_unsafe(), Base64::standard, decoded))
          values.push_back(std::move(decoded));
      }
    }
    // An empty list is the list of a template without values (a fact without readings),
    // whose heartbeats the receiver must still rebuild; only a list whose every text is
    // damaged leaves the template without values to rebuild from.
    if (!values.empty() || texts == 0) device.last_vals.insert_or_assign(*tid, std::move(values));
    raise_next_tid(device, *tid);
  }
  if (device.tid_to_sig.empty() && device.last_vals.empty()) return std::nullopt;
  device.applied.assign_oldest_first(disk->applied_packets);
  return device;
}

}  // namespace vm
