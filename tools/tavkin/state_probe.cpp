// The state check of one packet against a registry file; see state_probe.h.
#include "state_probe.h"

#include <unistd.h>

#include <filesystem>

#include <fmt/format.h>

#include "codec.h"
#include "library.h"
#include "registry_file.h"

namespace tavkin {
namespace {

// Context numbers this process uses for nothing else; each probe takes a fresh one, so
// that no template learnt before can stand in for the file.
constexpr std::uint64_t kProbeContextBase = 0x7461'766b'0000'0000;  // "tavk"

namespace fs = std::filesystem;

// A directory removed with everything under it when the scope ends.
struct ScratchDir {
  fs::path path;
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

}  // namespace

StateProbe probe_state_check(std::string_view packet, std::string_view registry_root, std::uint32_t aid) {
  static std::uint64_t probes = 0;
  const std::uint64_t ctx = kProbeContextBase + probes++;
  std::error_code ec;
  const ScratchDir scratch{fs::temp_directory_path(ec) / fmt::format("tavkin-probe-{}-{}", ::getpid(), ctx)};
  if (ec) return {StateVerdict::undecided, fmt::format("no temporary directory: {}", ec.message())};
  const fs::path copy = device_file_path(scratch.path.string(), aid);
  fs::create_directories(copy.parent_path(), ec);
  if (!ec) fs::copy_file(device_file_path(registry_root, aid), copy, ec);
  if (ec) return {StateVerdict::undecided, fmt::format("cannot copy the device's file: {}", ec.message())};

  const std::string request =
      decompress_request(ctx, base64_encode(packet, Base64Alphabet::standard), scratch.path.string(), true);
  std::string buffer;
  const Answer answer = call_decompress(request, 1 << 16, buffer);
  if (answer.result <= 0) return {StateVerdict::undecided, "the library gave no answer"};
  const auto error = answer_error(answer.bytes);
  if (!error) return {StateVerdict::holds, {}};
  if (*error == "state_mismatch") return {StateVerdict::mismatch, {}};
  return {StateVerdict::undecided, *error};
}

}  // namespace tavkin
