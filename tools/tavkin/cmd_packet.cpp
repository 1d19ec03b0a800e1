// `tavkin inspect`: one packet explained for a person. The byte after a heartbeat's or
// difference's body is the body's CRC-8 in a plain packet and a state check in a checked
// one; the packet does not say which, so the tool says which the byte reads as and, given
// the receiver's registry, whether a state check holds against the device's file.
#include <cctype>
#include <iostream>
#include <iterator>

#include <fmt/format.h>

#include "codec.h"
#include "commands.h"
#include "json_view.h"
#include "packet_view.h"
#include "registry_file.h"
#include "signature_text.h"
#include "state_probe.h"

namespace tavkin {
namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool looks_like_hex(std::string_view text) {
  size_t digits = 0;
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      ++digits;
    } else if (c != ' ' && c != ':' && c != '\t') {
      return false;
    }
  }
  return digits > 0 && digits % 2 == 0;
}

std::string_view kind_of(std::uint8_t base_cmd) {
  switch (base_cmd) {
    case kDataFull: return "the whole compact fact";
    case kDataHeart: return "heartbeat: no value changed";
    case kDataDiff: return "difference: changed values only";
    default: return "not a data packet";
  }
}

// The template a heartbeat or difference packet refers to, from the receiver's registry files.
std::optional<StoredTemplate> find_template(const std::string& root, const PacketView& v) {
  std::string error;
  const auto file = read_device_file(root, v.source_aid, error);
  if (!file) {
    fmt::print("            (registry: {})\n", error);
    return std::nullopt;
  }
  for (const auto& t : file->templates) {
    if (t.tid == v.tid) return t;
  }
  fmt::print("            (registry: device {} has no template {})\n", v.source_aid, v.tid);
  return std::nullopt;
}

void print_diff(const PacketView& v, const std::optional<StoredTemplate>& stored) {
  std::optional<DiffBody> diff;
  std::vector<std::string> labels;
  if (stored) {
    const size_t n = slot_labels(stored->sig).size();
    labels = slot_labels(stored->sig);
    diff = read_diff_body(v.body, n);
    if (!diff) {
      fmt::print("            does not read for template {} with {} values: a receiver refuses it\n", v.tid, n);
      return;
    }
  } else {
    const auto lengths = plausible_mask_lengths(v.body);
    if (lengths.empty()) {
      fmt::print("            no mask length from 1 to 16 bytes reads this body exactly\n");
      return;
    }
    diff = read_diff_body_with_mask(v.body, lengths.front());
    if (lengths.size() > 1) {
      fmt::print("            mask length guessed as {} bytes (also possible: {}); give --registry to be sure\n",
                 lengths.front(), fmt::join(lengths.begin() + 1, lengths.end(), ", "));
    }
  }
  fmt::print("            mask 0x{} ({} byte{}), {} changed value{}\n", hex_encode(v.body.substr(0, diff->mask_bytes)),
             diff->mask_bytes, diff->mask_bytes == 1 ? "" : "s", diff->changes.size(),
             diff->changes.size() == 1 ? "" : "s");
  for (const auto& change : diff->changes) {
    const std::string label = change.position < labels.size() ? "  " + labels[change.position] : "";
    fmt::print("            value {:<3} \"{}\"{}\n", change.position, printable(change.value), label);
  }
  if (diff->trailing_bytes > 0) fmt::print("            {} byte(s) after the last change (ignored by receivers)\n", diff->trailing_bytes);
}

// The byte after a heartbeat's or difference's body: which check it reads as.
void print_check_byte(const PacketView& v) {
  if (v.crc8_stored == v.crc8_computed) {
    fmt::print("crc-8       0x{:02x}  ok\n", v.crc8_stored);
    fmt::print("            the body's CRC-8: a plain packet, or a state check that happens to equal it\n");
  } else {
    fmt::print("crc-8       0x{:02x}  not the body's CRC-8 (0x{:02x}): a state check (0x{:02x})\n", v.crc8_stored,
               v.crc8_computed, v.crc8_stored);
  }
}

// Whether that byte holds as a state check against the device's file, which holds the
// template. False when the byte reads as a state check and does not hold.
bool print_state(const PacketView& v, std::string_view packet, const std::string& registry) {
  const bool is_body_crc8 = v.crc8_stored == v.crc8_computed;
  const std::string file = device_file_path(registry, v.source_aid);
  const StateProbe probe = probe_state_check(packet, registry, v.source_aid);
  switch (probe.verdict) {
    case StateVerdict::holds:
      fmt::print("state       the check holds against template {} in {}\n", v.tid, file);
      return true;
    case StateVerdict::mismatch:
      if (is_body_crc8) {
        fmt::print("state       not a state check of template {} in {}: read it as a plain packet\n", v.tid, file);
        return true;
      }
      fmt::print("state       MISMATCH: template {} in {} is not the sender's state after this packet (a packet was "
                 "lost, or the file is stale); a checking receiver refuses it\n", v.tid, file);
      return false;
    case StateVerdict::undecided:
      fmt::print("state       cannot tell against {}: {}\n", file, probe.detail);
      return true;
  }
  return true;
}

}  // namespace

int run_inspect(const InspectOptions& options) {
  std::string input = options.packet;
  if (input.empty() || input == "-") input.assign(std::istreambuf_iterator<char>(std::cin), {});
  const std::string_view text = trim(input);
  const PacketFormat format = options.format.value_or(looks_like_hex(text) ? PacketFormat::hex : PacketFormat::base64);
  const auto packet = format == PacketFormat::hex ? hex_decode(text) : base64_decode(text, Base64Alphabet::standard);
  if (!packet) {
    fmt::print(stderr, "tavkin inspect: the packet is not valid {} text\n",
               format == PacketFormat::hex ? "hexadecimal" : "standard Base64 (with \"=\" padding)");
    return 1;
  }
  std::string error;
  const auto v = view_packet(*packet, error);
  if (!v) {
    fmt::print(stderr, "tavkin inspect: {}\n", error);
    return 1;
  }

  fmt::print("packet      {} bytes\n", packet->size());
  fmt::print("command     {}  {}", v->cmd, command_name(v->cmd));
  if (v->secure) fmt::print(" (secure variant of {})", v->base_cmd);
  fmt::print("\n");
  if (v->route.empty()) {
    fmt::print("route       none (source device 0)\n");
  } else {
    fmt::print("route       {} hop{}: {} (last is the source)\n", v->route.size(), v->route.size() == 1 ? "" : "s",
               fmt::join(v->route, " -> "));
  }
  fmt::print("template    {}\n", v->tid);
  fmt::print("timestamp   {}  {}\n", v->timestamp_raw, timestamp_as_date(v->timestamp_raw));
  fmt::print("body        {} byte{}, {}\n", v->body.size(), v->body.size() == 1 ? "" : "s", kind_of(v->base_cmd));
  const bool may_carry_state_check = v->base_cmd == kDataHeart || v->base_cmd == kDataDiff;
  std::optional<StoredTemplate> stored;
  if (may_carry_state_check && !options.registry.empty()) stored = find_template(options.registry, *v);
  if (v->base_cmd == kDataFull) {
    fmt::print("            {}\n", printable(v->body));
    if (is_valid_utf8(v->body)) {
      fmt::print("            as the receiver answers it: {}\n",
                 to_json(compact_fact_view(without_routing_prefix(v->body))));
    }
  } else if (v->base_cmd == kDataDiff) {
    print_diff(*v, stored);
  } else if (v->base_cmd != kDataHeart && !v->body.empty()) {
    fmt::print("            {}\n", printable(v->body));
  }
  const bool crc8_ok = v->crc8_stored == v->crc8_computed;
  const bool crc16_ok = v->crc16_stored == v->crc16_computed;
  if (may_carry_state_check) {
    print_check_byte(*v);
  } else {
    fmt::print("crc-8       0x{:02x}  {}\n", v->crc8_stored,
               crc8_ok ? "ok" : fmt::format("MISMATCH (the body gives 0x{:02x})", v->crc8_computed));
  }
  fmt::print("crc-16      0x{:04x}  {}\n", v->crc16_stored,
             crc16_ok ? "ok" : fmt::format("MISMATCH (the packet gives 0x{:04x}; receivers refuse it)", v->crc16_computed));
  // A state check in place of the CRC-8 is no fault; one that does not hold against the
  // receiver's file is.
  const bool check_ok = may_carry_state_check ? !stored || print_state(*v, *packet, options.registry) : crc8_ok;
  return check_ok && crc16_ok ? 0 : 1;
}

}  // namespace tavkin
