// Shared pieces of the fuzz targets: a check that aborts (so libFuzzer keeps the input),
// a cursor that turns fuzz bytes into structured values, record and Base64 writers, and the
// sandbox rule that keeps fuzzed registry roots inside the working directory.
// Header-only; each target is single-threaded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <simdjson.h>

#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

namespace fuzz {

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}
inline const std::uint8_t* bytes_of(std::string_view s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

// Takes structured values from the front of the fuzz input; past the end everything is 0.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  [[nodiscard]] bool empty() const { return pos_ >= size_; }
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }
  std::uint64_t u64() { return (std::uint64_t{u32()} << 32) | u32(); }
  // A number in [0, n).
  std::size_t below(std::size_t n) { return n == 0 ? 0 : byte() % n; }
  // A text of up to `max_len` characters drawn from `alphabet`.
  std::string text(std::string_view alphabet, std::size_t max_len) {
    const std::size_t len = below(max_len + 1);
    std::string out;
    for (std::size_t i = 0; i < len; ++i) out.push_back(alphabet[below(alphabet.size())]);
    return out;
  }
  // The rest of the input.
  std::string_view rest() {
    const std::string_view r = pos_ < size_ ? text_of(data_ + pos_, size_ - pos_) : std::string_view();
    pos_ = size_;
    return r;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// Big-endian record writer.
struct Record {
  std::string bytes;
  Record& u8(std::uint8_t v) {
    bytes.push_back(static_cast<char>(v));
    return *this;
  }
  Record& u32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) u8(static_cast<std::uint8_t>(v >> shift));
    return *this;
  }
  Record& u64(std::uint64_t v) { return u32(static_cast<std::uint32_t>(v >> 32)).u32(static_cast<std::uint32_t>(v)); }
  Record& f64(double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return u64(bits);
  }
  Record& str(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    bytes.append(s);
    return *this;
  }
};

inline std::uint32_t read_u32(std::string_view b, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

// RFC 4648 standard Base64 with padding.
inline std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{static_cast<std::uint8_t>(bytes[i])} << 16) |
                            (std::uint32_t{static_cast<std::uint8_t>(bytes[i + 1])} << 8) |
                            static_cast<std::uint8_t>(bytes[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out.push_back(kAlphabet[(v >> s) & 63]);
  }
  if (const std::size_t rest = bytes.size() - i; rest != 0) {
    std::uint32_t v = std::uint32_t{static_cast<std::uint8_t>(bytes[i])} << 16;
    if (rest == 2) v |= std::uint32_t{static_cast<std::uint8_t>(bytes[i + 1])} << 8;
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

// A JSON string literal for any bytes that are valid UTF-8.
inline std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (b < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", b);
      out += esc;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

// CRC-16 of the packet trailer (poly 0x1021, init 0xFFFF), bitwise.
inline std::uint16_t crc16(std::string_view bytes) {
  std::uint16_t crc = 0xFFFF;
  for (char c : bytes) {
    crc ^= static_cast<std::uint16_t>(static_cast<std::uint8_t>(c) << 8);
    for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021) : static_cast<std::uint16_t>(crc << 1);
  }
  return crc;
}

// Registry roots that fuzzed inputs may use: relative paths without a ".." part, so every
// file they lead to lies under the working directory (fuzz runs and replays start in a
// scratch directory). Absent and empty roots switch file access off and are always fine.
inline bool root_is_sandboxed(std::string_view root) {
  if (root.empty()) return true;
  if (root.front() == '/') return false;
  std::size_t start = 0;
  while (start <= root.size()) {
    const std::size_t slash = root.find('/', start);
    const std::string_view part = root.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (part == "..") return false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return true;
}

// Whether a JSON request keeps its registry root in the sandbox. `array_slot` is the place
// of registry_root when the request is given as an array. A text that this parser refuses
// is refused by the library too (same parser, stricter depth limit): it touches no file.
inline bool request_is_sandboxed(std::string_view request, std::size_t array_slot) {
  static simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(request.data(), request.size()).get(root) != simdjson::SUCCESS) return true;
  std::string_view text;
  simdjson::dom::object object;
  simdjson::dom::array array;
  if (root.get_object().get(object) == simdjson::SUCCESS) {
    for (auto member : object)
      if (member.key == "registry_root" && member.value.get_string().get(text) == simdjson::SUCCESS &&
          !root_is_sandboxed(text))
        return false;
  } else if (root.get_array().get(array) == simdjson::SUCCESS) {
    std::size_t i = 0;
    for (simdjson::dom::element item : array)
      if (i++ == array_slot && item.get_string().get(text) == simdjson::SUCCESS && !root_is_sandboxed(text))
        return false;
  }
  return true;
}

// Strict UTF-8 (no overlongs, surrogates or values above U+10FFFF), bytewise: the
// reference the library's vectorised validator is compared with.
inline bool utf8_ok(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n;
    std::uint32_t cp;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 1, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2, cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3, cp = b & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

}  // namespace fuzz

namespace fuzz {

// Inputs run so far, in blocks: request targets move to fresh contexts and registry roots
// with each block, because a device whose signature keeps changing gathers templates
// without end, and every save rewrites all of them. Replaying one input always gets block 0.
inline std::uint64_t block_of_inputs() {
  static std::uint64_t inputs = 0;
  return inputs++ / 2000;
}

}  // namespace fuzz
