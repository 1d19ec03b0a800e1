// Test helpers for the JSON requests: build run and decompress requests, call an export
// with a buffer large enough for any answer here, and the JSON view of a compact text
// (what a decompress answer must hold besides its header summary).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json/object_builder.h"
#include "requests/compact_fact_json.h"
#include "velmarinthos_tavkin.h"

namespace reliability {

using Export = int32_t (*)(const uint8_t*, size_t, uint8_t*, size_t);

inline std::string call(Export f, std::string_view in, std::size_t cap = 1 << 16) {
  std::string out(cap, '\0');
  const int32_t n = f(reinterpret_cast<const uint8_t*>(in.data()), in.size(), reinterpret_cast<uint8_t*>(out.data()), cap);
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

inline std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20) {
      constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out + '"';
}

inline std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t v = 0;
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    for (std::size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<std::uint8_t>(bytes[i + k]) : 0);
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

// {"ctx_id":ctx,"raw_input":text[,"registry_root":root]}
inline std::string run_request(std::uint64_t ctx, std::string_view text, std::string_view root = {}) {
  std::string r = "{\"ctx_id\":" + std::to_string(ctx) + ",\"raw_input\":" + json_string(text);
  if (!root.empty()) r += ",\"registry_root\":" + json_string(root);
  return r + "}";
}

inline std::string decompress_request(std::uint64_t ctx, std::string_view packet, std::string_view root = {}) {
  std::string r = "{\"ctx_id\":" + std::to_string(ctx) + ",\"packet_b64\":\"" + base64(packet) + "\"";
  if (!root.empty()) r += ",\"registry_root\":" + json_string(root);
  return r + "}";
}

// The members of a decompress answer after its "__packet_meta__", as an object text.
inline std::string without_meta(const std::string& answer) {
  const std::size_t end = answer.find('}');  // the summary holds only numbers and booleans
  if (answer.rfind("{\"__packet_meta__\":{", 0) != 0 || end == std::string::npos) return "not a fact: " + answer;
  const std::string rest = answer.substr(end + 1);
  return rest == "}" ? "{}" : "{" + rest.substr(1);
}

inline std::string json_view(std::string_view compact_text) {
  vm::json::ObjectBuilder view;
  vm::compact_fact_to_json(compact_text.substr(compact_text.find(';') + 1), view);
  std::string out;
  view.write(out);
  return out;
}

}  // namespace reliability
