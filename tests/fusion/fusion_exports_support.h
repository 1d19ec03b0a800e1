// Builders for the fusion-state records (big-endian integers, strings as a 4-byte length
// and bytes), and a wrapper that calls an export with a junk-filled output buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velmarinthos_tavkin.h"

namespace fusion_exports {

struct Record {
  std::string bytes;
  Record& u8(std::uint8_t v) {
    bytes.push_back(static_cast<char>(v));
    return *this;
  }
  Record& u32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(v >> shift));
    return *this;
  }
  Record& str(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    bytes.append(s);
    return *this;
  }
  Record& strs(const std::vector<std::string>& values) {
    u32(static_cast<std::uint32_t>(values.size()));
    for (const auto& v : values) str(v);
    return *this;
  }
  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(bytes.data()); }
  std::size_t size() const { return bytes.size(); }
};

inline Record apply_record(std::uint32_t aid, bool force_full, std::string_view sig,
                           const std::vector<std::string>& values) {
  return Record{}.u32(aid).u8(force_full ? 1 : 0).str(sig).strs(values);
}
inline Record receive_record(std::uint32_t aid, std::uint8_t command, std::uint32_t tid,
                             std::string_view ts, std::string_view body) {
  return Record{}.u32(aid).u8(command).u32(tid).str(ts).str(body);
}
// A seed record with one template.
inline Record seed_record(std::uint32_t aid, std::uint32_t tid, std::string_view sig,
                          const std::vector<std::string>& values) {
  return Record{}.u32(aid).u32(1).u32(tid).str(sig).strs(values);
}

using Producer = int32_t (*)(uint64_t, const uint8_t*, size_t, uint8_t*, size_t);

struct Answer {
  int32_t result;
  std::string bytes;  // the bytes written, when result > 0
  bool junk_intact;   // every byte after them is still junk
};

inline Answer call(Producer f, uint64_t handle, const Record& r, std::size_t cap = 1024) {
  std::vector<std::uint8_t> out(cap + 16, 0xEE);
  Answer a{f(handle, r.data(), r.size(), out.data(), cap), {}, true};
  const std::size_t written = a.result > 0 ? static_cast<std::size_t>(a.result) : 0;
  a.bytes.assign(reinterpret_cast<const char*>(out.data()), written);
  for (std::size_t i = written; i < out.size(); ++i) a.junk_intact &= out[i] == 0xEE;
  return a;
}

// The decision's parts: command, tid, flags, body.
struct Decision {
  std::uint8_t command = 0;
  std::uint32_t tid = 0;
  std::uint8_t flags = 0;
  std::string body;
};
inline Decision parse_decision(const std::string& b) {
  auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(b[i]); };
  Decision d;
  if (b.size() < 10) return d;
  d.command = at(0);
  d.tid = std::uint32_t{at(1)} << 24 | std::uint32_t{at(2)} << 16 | std::uint32_t{at(3)} << 8 | at(4);
  d.flags = at(5);
  d.body = b.substr(10);
  return d;
}

}  // namespace fusion_exports
