// Reference pieces for the fusion-state targets, written straight from the record and
// packet rules: readers of the seeding, apply and receive records, the rebuild of a compact
// fact from a signature, and a receiver model that applies heartbeat and difference
// bodies. The targets compare the library with these. Header-only; single-threaded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

namespace fuzz {

using Values = std::vector<std::string>;

// Splits a fuzz input into records at each kRecordBreak (also in the dictionaries).
inline constexpr std::string_view kRecordBreak = "\xFE\xFD\xFC\xFB";

inline std::vector<std::string_view> split_records(std::string_view input) {
  std::vector<std::string_view> out;
  while (true) {
    const auto at = input.find(kRecordBreak);
    out.push_back(input.substr(0, at));
    if (at == std::string_view::npos) return out;
    input.remove_prefix(at + kRecordBreak.size());
  }
}

class RecordReader {
 public:
  explicit RecordReader(std::string_view b) : b_(b) {}
  std::optional<std::uint8_t> u8() {
    if (pos_ >= b_.size()) return std::nullopt;
    return static_cast<std::uint8_t>(b_[pos_++]);
  }
  std::optional<std::uint32_t> u32() {
    if (b_.size() - pos_ < 4) return std::nullopt;
    const std::uint32_t v = read_u32(b_, pos_);
    pos_ += 4;
    return v;
  }
  std::optional<std::string_view> str() {
    const auto n = u32();
    if (!n || b_.size() - pos_ < *n) return std::nullopt;
    const std::string_view v = b_.substr(pos_, *n);
    pos_ += *n;
    return v;
  }
  std::optional<Values> strs() {
    const auto n = u32();
    if (!n) return std::nullopt;
    Values out;
    for (std::uint32_t i = 0; i < *n; ++i) {
      const auto s = str();
      if (!s) return std::nullopt;
      out.emplace_back(*s);
    }
    return out;
  }
  [[nodiscard]] bool at_end() const { return pos_ == b_.size(); }

 private:
  std::string_view b_;
  std::size_t pos_ = 0;
};

struct Template {
  std::string sig;
  Values values;
};
// Per device: templates by tid.
using DeviceModel = std::map<std::uint32_t, Template>;

struct SeedModel {
  std::uint32_t aid;
  std::vector<std::pair<std::uint32_t, Template>> entries;  // in record order
};

inline std::optional<SeedModel> read_seed(std::string_view record) {
  RecordReader r(record);
  const auto aid = r.u32();
  const auto count = r.u32();
  if (!aid || !count) return std::nullopt;
  SeedModel seed{*aid, {}};
  for (std::uint32_t k = 0; k < *count; ++k) {
    const auto tid = r.u32();
    if (!tid) return std::nullopt;
    const auto sig = r.str();
    if (!sig) return std::nullopt;
    auto values = r.strs();
    if (!values) return std::nullopt;
    seed.entries.push_back({*tid, Template{std::string(*sig), std::move(*values)}});
  }
  if (!r.at_end()) return std::nullopt;
  return seed;
}

inline std::string seed_record(std::uint32_t aid, const DeviceModel& device) {
  Record r;
  r.u32(aid).u32(static_cast<std::uint32_t>(device.size()));
  for (const auto& [tid, t] : device) {
    r.u32(tid).str(t.sig).u32(static_cast<std::uint32_t>(t.values.size()));
    for (const auto& v : t.values) r.str(v);
  }
  return r.bytes;
}

struct ApplyModel {
  std::uint32_t aid;
  bool force_full;
  std::string sig;
  Values values;
};

inline std::optional<ApplyModel> read_apply(std::string_view record) {
  RecordReader r(record);
  const auto aid = r.u32();
  const auto force = r.u8();
  if (!aid || !force) return std::nullopt;
  const auto sig = r.str();
  if (!sig) return std::nullopt;
  auto values = r.strs();
  if (!values || !r.at_end()) return std::nullopt;
  return ApplyModel{*aid, *force != 0, std::string(*sig), std::move(*values)};
}

struct ReceiveModel {
  std::uint32_t aid;
  std::uint8_t command;
  std::uint32_t tid;
  std::string_view ts;
  std::string_view body;
};

inline std::optional<ReceiveModel> read_receive(std::string_view record) {
  RecordReader r(record);
  const auto aid = r.u32();
  const auto command = r.u8();
  const auto tid = r.u32();
  if (!aid || !command || !tid) return std::nullopt;
  const auto ts = r.str();
  if (!ts) return std::nullopt;
  const auto body = r.str();
  if (!body || !r.at_end()) return std::nullopt;
  return ReceiveModel{*aid, *command, *tid, *ts, *body};
}

inline Record receive_record(std::uint32_t aid, std::uint8_t command, std::uint32_t tid,
                             std::string_view ts, std::string_view body) {
  Record r;
  r.u32(aid).u8(command).u32(tid).str(ts).str(body);
  return r;
}

// The first "{TS}" becomes `ts`; the signature's own 0x01 bytes take the values in order.
// Nothing when there is no "{TS}" or fewer slot bytes than values.
inline std::optional<std::string> rebuild(std::string_view sig, std::string_view ts, const Values& values) {
  const auto ts_at = sig.find("{TS}");
  if (ts_at == std::string_view::npos) return std::nullopt;
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < sig.size(); ++i) {
    if (i == ts_at) {
      out += ts;
      i += 3;
    } else if (sig[i] == '\x01' && next < values.size()) {
      out += values[next++];
    } else {
      out += sig[i];
    }
  }
  if (next < values.size()) return std::nullopt;
  return out;
}

// A difference body applied to `values` (n at most 128): mask of ceil(n/8) bytes, bit i of
// the big-endian number marks value i, then a length byte and bytes per marked value.
// All or nothing.
inline bool apply_difference(Values& values, std::string_view body) {
  const std::size_t n = values.size();
  if (n > 128) return false;
  const std::size_t m = (n + 7) / 8;
  if (body.size() < m) return false;
  Values next = values;
  std::size_t p = m;
  for (std::size_t i = 0; i < n; ++i) {
    const auto byte = static_cast<std::uint8_t>(body[m - 1 - i / 8]);
    if (!(byte >> (i % 8) & 1)) continue;
    if (p >= body.size()) return false;
    const std::size_t k = static_cast<std::uint8_t>(body[p]);
    if (p + 1 + k > body.size()) return false;
    next[i] = std::string(body.substr(p + 1, k));
    p += 1 + k;
  }
  values = std::move(next);
  return true;
}

// What a receiver holding `device` answers to a heartbeat (127) or difference (170);
// updates the model when the packet applies.
inline std::optional<std::string> receive(std::map<std::uint32_t, DeviceModel>& devices, const ReceiveModel& r) {
  if (r.command != 127 && r.command != 170) return std::nullopt;
  const auto device = devices.find(r.aid);
  if (device == devices.end()) return std::nullopt;
  const auto t = device->second.find(r.tid);
  if (t == device->second.end()) return std::nullopt;
  Values values = t->second.values;
  if (r.command == 170 && !apply_difference(values, r.body)) return std::nullopt;
  auto text = rebuild(t->second.sig, r.ts, values);
  if (text) t->second.values = std::move(values);
  return text;
}

struct Decision {
  std::uint8_t command;
  std::uint32_t tid;
  std::uint8_t flags;
  std::string_view body;
};

inline std::optional<Decision> read_decision(std::string_view b) {
  if (b.size() < 10) return std::nullopt;
  const std::uint32_t length = read_u32(b, 6);
  if (b.size() != 10 + std::size_t{length}) return std::nullopt;
  return Decision{static_cast<std::uint8_t>(b[0]), read_u32(b, 1), static_cast<std::uint8_t>(b[5]), b.substr(10)};
}

}  // namespace fuzz
