// Readable signatures; see signature_text.h.
#include "signature_text.h"

#include <fmt/format.h>

namespace tavkin {
namespace {

void append_printable(std::string& out, char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u < 0x20 || u == 0x7F) {
    out += fmt::format("\\x{:02x}", u);
  } else if (c == '\\') {
    out += "\\\\";
  } else {
    out += c;
  }
}

}  // namespace

std::string printable(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) append_printable(out, c);
  return out;
}

std::string render_signature(std::string_view sig) {
  std::string out;
  size_t slot = 0;
  for (const char c : sig) {
    if (c == '\x01') {
      out += fmt::format("{{{}}}", slot++);
    } else {
      append_printable(out, c);
    }
  }
  return out;
}

std::string render_filled(std::string_view sig, const std::vector<std::string>& values) {
  std::string out;
  size_t slot = 0;
  for (const char c : sig) {
    if (c == '\x01' && slot < values.size()) {
      out += printable(values[slot++]);
    } else {
      append_printable(out, c);
    }
  }
  return out;
}

std::vector<std::string> slot_labels(std::string_view sig) {
  std::vector<std::string> labels;
  size_t segment_start = 0, slots_in_segment = 0;
  for (size_t i = 0; i < sig.size(); ++i) {
    if (sig[i] == '|') {
      segment_start = i + 1;
      slots_in_segment = 0;
    } else if (sig[i] == '\x01') {
      const std::string_view segment = sig.substr(segment_start);
      const std::string sensor = printable(segment.substr(0, segment.find('>')));
      const char* role = slots_in_segment == 0 ? "state.unit" : slots_in_segment == 1 ? "value" : "extra slot";
      labels.push_back(fmt::format("{} {}", sensor, role));
      ++slots_in_segment;
    }
  }
  return labels;
}

}  // namespace tavkin
