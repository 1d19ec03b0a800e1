// Helpers for the request tests that go through the C exports only: hex bytes, plain
// bitwise checksums and a Base64 encoder to frame packets independently of the library,
// JSON request texts, calls into junk-filled buffers, and a scratch registry directory.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velmarinthos_tavkin.h"

namespace requests {

// "3F 01 12" -> the three bytes; spaces are ignored.
inline std::string hex(std::string_view text) {
  std::string out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    const int v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline std::string to_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

// Bitwise, MSB first, no reflection, no final XOR: CRC-16 poly 0x1021 init 0xFFFF and
// CRC-8 poly 0x07 init 0x00, as packets carry them.
inline std::uint16_t crc16(std::string_view bytes) {
  std::uint16_t crc = 0xFFFF;
  for (unsigned char c : bytes) {
    crc ^= static_cast<std::uint16_t>(c << 8);
    for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? static_cast<std::uint16_t>(crc << 1 ^ 0x1021) : static_cast<std::uint16_t>(crc << 1);
  }
  return crc;
}
inline std::uint8_t crc8(std::string_view bytes) {
  std::uint8_t crc = 0;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int i = 0; i < 8; ++i) crc = (crc & 0x80) ? static_cast<std::uint8_t>(crc << 1 ^ 0x07) : static_cast<std::uint8_t>(crc << 1);
  }
  return crc;
}

inline void put_u32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}
inline void put_u64(std::string& out, std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

// A data packet as a writer frames it: command, route, tid, 48-bit timestamp, body, CRC-8
// of the body, CRC-16 trailer.
inline std::string frame(std::uint8_t cmd, const std::vector<std::uint32_t>& route, std::uint8_t tid,
                         std::uint64_t timestamp, std::string_view body) {
  std::string p;
  p.push_back(static_cast<char>(cmd));
  p.push_back(static_cast<char>(route.size()));
  for (std::uint32_t aid : route) put_u32(p, aid);
  p.push_back(static_cast<char>(tid));
  for (int shift = 40; shift >= 0; shift -= 8) p.push_back(static_cast<char>(timestamp >> shift));
  p.append(body);
  p.push_back(static_cast<char>(crc8(body)));
  const std::uint16_t trailer = crc16(p);
  p.push_back(static_cast<char>(trailer >> 8));
  p.push_back(static_cast<char>(trailer));
  return p;
}

// Standard (padded) or URL-safe (unpadded) Base64.
inline std::string base64(std::string_view bytes, bool url = false) {
  const char* alphabet = url ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
                             : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16 |
                            std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(alphabet[v >> shift & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
    if (rest == 2) v |= std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
    out.push_back(alphabet[v >> 18 & 63]);
    out.push_back(alphabet[v >> 12 & 63]);
    if (rest == 2) out.push_back(alphabet[v >> 6 & 63]);
    if (!url) out.append(rest == 2 ? "=" : "==");
  }
  return out;
}

// A JSON string literal of `text` (bytes copied as they are except quote, backslash and
// control characters).
inline std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      static constexpr char kDigits[] = "0123456789abcdef";
      out.append("\\u00");
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

struct RunRequest {
  RunRequest(std::uint64_t ctx, std::string raw, std::string strategy_text = {},
             std::optional<std::uint32_t> src = std::nullopt, std::string root = {})
      : ctx_id(ctx), raw_input(std::move(raw)), strategy(std::move(strategy_text)), src_aid(src),
        registry_root(std::move(root)) {}

  std::uint64_t ctx_id = 0;
  std::string raw_input;
  std::string strategy;             // left out when empty
  std::optional<std::uint32_t> src_aid;
  std::string registry_root;        // left out when empty
  bool state_check = false;         // left out when false

  std::string json() const {
    std::string j = "{\"ctx_id\":" + std::to_string(ctx_id) + ",\"raw_input\":" + json_string(raw_input);
    if (!strategy.empty()) j += ",\"strategy\":" + json_string(strategy);
    if (src_aid) j += ",\"src_aid\":" + std::to_string(*src_aid);
    if (!registry_root.empty()) j += ",\"registry_root\":" + json_string(registry_root);
    if (state_check) j += ",\"state_check\":true";
    return j + "}";
  }
};

inline std::string decompress_json(std::uint64_t ctx_id, std::string_view packet,
                                   std::string_view registry_root = {}, bool state_check = false) {
  std::string j = "{\"ctx_id\":" + std::to_string(ctx_id) + ",\"packet_b64\":\"" + base64(packet) + "\"";
  if (!registry_root.empty()) j += ",\"registry_root\":" + json_string(registry_root);
  if (state_check) j += ",\"state_check\":true";
  return j + "}";
}

using Export = int32_t (*)(const uint8_t*, size_t, uint8_t*, size_t);

struct Answer {
  int32_t result = 0;
  std::string bytes;         // what was written, when result > 0
  bool junk_intact = true;   // every byte after them still holds the junk
};

constexpr std::uint8_t kJunk = 0xEE;

inline Answer call(Export f, std::string_view in, std::size_t cap = 1 << 16) {
  std::vector<std::uint8_t> out(cap + 16, kJunk);
  Answer a;
  a.result = f(reinterpret_cast<const uint8_t*>(in.data()), in.size(), out.data(), cap);
  const std::size_t written = a.result > 0 ? static_cast<std::size_t>(a.result) : 0;
  a.bytes.assign(reinterpret_cast<const char*>(out.data()), written);
  for (std::size_t i = written; i < out.size(); ++i) a.junk_intact &= out[i] == kJunk;
  return a;
}

// The answer's bytes, or "" for a result that wrote nothing.
inline std::string run(const RunRequest& r) { return call(vm_fusion_run_json_v1, r.json()).bytes; }
inline std::string decompress(std::uint64_t ctx_id, std::string_view packet, std::string_view root = {}) {
  return call(vm_fusion_decompress_json_v1, decompress_json(ctx_id, packet, root)).bytes;
}

// A fresh registry directory per test, removed afterwards. Context numbers are made
// unique per process too, so tests that share a process never share a context.
class ScratchRoot {
 public:
  explicit ScratchRoot(std::string_view tag)
      : path_(std::filesystem::temp_directory_path() /
              ("vm_requests_" + std::to_string(::getpid()) + "_" + std::string(tag))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchRoot() { std::filesystem::remove_all(path_); }
  ScratchRoot(const ScratchRoot&) = delete;
  ScratchRoot& operator=(const ScratchRoot&) = delete;

  std::string str() const { return path_.string(); }
  const std::filesystem::path& path() const { return path_; }

  // The file of device `aid` under this root.
  std::filesystem::path file_of(std::uint32_t aid) const {
    const std::string padded = std::string(10 - std::min<std::size_t>(10, std::to_string(aid).size()), '0') + std::to_string(aid);
    return path_ / padded.substr(0, 2) / padded.substr(2, 2) / (std::to_string(aid) + ".json");
  }
  std::string read(std::uint32_t aid) const {
    std::ifstream in(file_of(aid), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::filesystem::path path_;
};

// A context number no other test of this process has used.
inline std::uint64_t fresh_ctx() {
  static std::atomic<std::uint64_t> next{0x5EED0000ULL + (static_cast<std::uint64_t>(::getpid()) << 20)};
  return next++;
}

}  // namespace requests
