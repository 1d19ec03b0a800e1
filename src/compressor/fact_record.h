// The fact record that hosts hand in for compression, parsed strictly into views of the
// record's bytes (nothing is copied; the views live as long as the record):
//   counted id, counted state, f64 timestamp, u32 reading count,
//   count x (counted id, counted state, f64 value, counted unit),
//   optional geohash, optional url, optional msg
// all big-endian; counted = u32 length + UTF-8 bytes; optional = u32 0xFFFFFFFF for
// absent, else a counted string. The record must end exactly after msg.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

#include "support/bytes.h"
#include "wire/byte_reader.h"

namespace vm {

struct SensorReadingView {
  std::string_view id;
  std::string_view state;
  double value;
  std::string_view unit;
};

// The readings of a record that parse_fact_record accepted, read again in record order.
// Storing them would cost an allocation per fact; a second walk over checked bytes
// costs a few length reads.
class ReadingRange {
 public:
  class iterator {
   public:
    using value_type = SensorReadingView;
    using difference_type = std::ptrdiff_t;

    iterator(ByteSpan bytes, std::uint32_t count) noexcept;
    const SensorReadingView& operator*() const noexcept { return current_; }
    const SensorReadingView* operator->() const noexcept { return &current_; }
    iterator& operator++() noexcept;
    void operator++(int) noexcept { ++*this; }
    bool operator==(std::default_sentinel_t) const noexcept { return left_ == 0; }

   private:
    void read_current() noexcept;

    ByteReader reader_;
    std::uint32_t left_;
    SensorReadingView current_{};
  };

  ReadingRange() noexcept = default;
  ReadingRange(ByteSpan bytes, std::uint32_t count) noexcept : bytes_(bytes), count_(count) {}

  [[nodiscard]] iterator begin() const noexcept { return {bytes_, count_}; }
  [[nodiscard]] std::default_sentinel_t end() const noexcept { return {}; }
  [[nodiscard]] std::uint32_t size() const noexcept { return count_; }

 private:
  ByteSpan bytes_;
  std::uint32_t count_ = 0;
};

struct FactRecordView {
  std::string_view id;
  std::string_view state;
  double timestamp = 0;
  ReadingRange readings;
  std::optional<std::string_view> geohash;
  std::optional<std::string_view> url;
  std::optional<std::string_view> msg;
};

// Fails on a record that is short or long at any point or holds invalid UTF-8, without
// reading past its end and without reserving anything from the declared reading count.
[[nodiscard]] std::optional<FactRecordView> parse_fact_record(ByteSpan record) noexcept;

}  // namespace vm
