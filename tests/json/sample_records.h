// The two request records of the JSON exports, declared as their request code declares
// them: the shapes the record reader has to serve.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "json/record.h"

namespace vm::json::sample {

struct FusionRunReq {
  std::uint64_t ctx_id = 0;
  std::string_view raw_input;
  std::string_view strategy;
  std::optional<std::uint32_t> src_aid;
  std::optional<std::string_view> registry_root;
};

inline constexpr auto kFusionRunReq = Record{
    field("ctx_id", &FusionRunReq::ctx_id),
    required("raw_input", &FusionRunReq::raw_input),
    field("strategy", &FusionRunReq::strategy),
    field("src_aid", &FusionRunReq::src_aid),
    field("registry_root", &FusionRunReq::registry_root),
}.any_key_once();

struct FusionDecompressReq {
  std::uint64_t ctx_id = 0;
  std::string_view packet_b64;
  std::optional<std::string_view> registry_root;
};

inline constexpr auto kFusionDecompressReq = Record{
    field("ctx_id", &FusionDecompressReq::ctx_id),
    required("packet_b64", &FusionDecompressReq::packet_b64),
    field("registry_root", &FusionDecompressReq::registry_root),
}.any_key_once();

}  // namespace vm::json::sample
