// The two readers of a JSON request on arbitrary text: the direct reader of plain requests
// must read every text it answers as the parsing reader does (same acceptance, same field
// values), for both request records.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "fuzz_support.h"
#include "json/record.h"

// GCC 12 at -O3 takes the optional members of a record that read_plain fills in part for
// uninitialized when they are compared; they are default-constructed.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

struct RunReq {
  std::uint64_t ctx_id = 0;
  std::string_view raw_input;
  std::string_view strategy;
  std::optional<std::uint32_t> src_aid;
  std::optional<std::string_view> registry_root;
  bool operator==(const RunReq&) const = default;
};

struct DecompressReq {
  std::uint64_t ctx_id = 0;
  std::string_view packet_b64;
  std::optional<std::string_view> registry_root;
  bool operator==(const DecompressReq&) const = default;
};

constexpr auto kRunReq = vm::json::Record(vm::json::field("ctx_id", &RunReq::ctx_id),
                                          vm::json::required("raw_input", &RunReq::raw_input),
                                          vm::json::field("strategy", &RunReq::strategy),
                                          vm::json::field("src_aid", &RunReq::src_aid),
                                          vm::json::field("registry_root", &RunReq::registry_root))
                             .any_key_once();
constexpr auto kDecompressReq = vm::json::Record(vm::json::field("ctx_id", &DecompressReq::ctx_id),
                                                 vm::json::required("packet_b64", &DecompressReq::packet_b64),
                                                 vm::json::field("registry_root", &DecompressReq::registry_root))
                                    .any_key_once();

template <class R, class Record>
void compare(std::string_view text, const Record& record) {
  vm::json::Reader reader;
  const std::optional<R> parsed = vm::json::read_record_parsed(reader, text, record);
  R direct;
  if (record.read_plain(text, direct) && (!parsed || !(*parsed == direct))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::text_of(data, size);
  compare<RunReq>(text, kRunReq);
  compare<DecompressReq>(text, kDecompressReq);
  return 0;
}
