// Requests against a registry root where someone plants files, links, FIFOs and
// directories between them. The input is a list of steps, each a byte and its operands:
// plant a file (device file or temporary name, content from the input), a link (to a file
// outside the root, to a directory outside it or to nothing), a FIFO or a directory at one
// of the names a device uses; or send a fact of one of three devices by a run request and
// feed the packet to a receiving context. Oracles: the file outside the root never changes,
// no call blocks (libFuzzer's timeout), and every answer is an error text, a well-framed
// packet or a JSON object.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "velmarinthos_tavkin.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrecious = "precious, outside the root";
constexpr std::uint32_t kDevices[] = {7, 8, 9};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A name a device uses: its file, a temporary name, or its directories.
fs::path name_for(fuzz::Cursor& in, const fs::path& root) {
  const std::string aid = std::to_string(kDevices[in.below(3)]);
  switch (in.below(5)) {
    case 0: return root / "00" / "00" / (aid + ".json");
    case 1: return root / "00" / "00" / (aid + ".json.tmp-" + std::to_string(::getpid()) + "-" + std::to_string(::gettid()));
    case 2: return root / "00" / "00" / (aid + ".json.tmp-" + in.text("0123456789abcdef", 16));
    case 3: return root / "00" / "00";
    default: return root / "00";
  }
}

void plant(fuzz::Cursor& in, const fs::path& root, const fs::path& outside) {
  const std::uint8_t kind = in.byte() % 5;
  const fs::path at = name_for(in, root);
  std::error_code ec;
  fs::create_directories(at.parent_path(), ec);
  fs::remove_all(at, ec);
  switch (kind) {
    case 0: {
      const std::size_t size = in.below(64);
      std::string text;
      for (std::size_t i = 0; i < size; ++i) text.push_back(static_cast<char>(in.byte()));
      std::ofstream(at, std::ios::binary) << text;
      break;
    }
    case 1: fs::create_symlink(outside / "victim", at, ec); break;
    case 2: fs::create_directory_symlink(outside / "dir", at, ec); break;
    case 3: ::mkfifo(at.c_str(), 0600); break;
    default: fs::create_directories(at, ec); break;
  }
}

void send(fuzz::Cursor& in, const std::string& root, std::uint64_t block) {
  const std::uint32_t aid = kDevices[in.below(3)];
  const std::string fact = "n.s.AYvP5WgA|t>0.c:" + in.text("0123456789abc", 3) + "|" +
                           (in.byte() & 1 ? "h>0.m:1|" : "");
  const std::string request = "{\"ctx_id\":" + std::to_string(9001 + 2 * block) + ",\"src_aid\":" +
                              std::to_string(aid) + ",\"raw_input\":\"" + fact + "\",\"registry_root\":\"" + root + "\"}";
  static std::string out(1 << 16, '\0');
  auto* const buf = reinterpret_cast<std::uint8_t*>(out.data());
  const std::int32_t n = vm_fusion_run_json_v1(fuzz::bytes_of(request), request.size(), buf, out.size());
  if (n <= 0) return;  // no packet: a planted file may hold templates the fact does not fit
  const std::string answer(out.data(), static_cast<std::size_t>(n));
  if (answer.front() == '{') return;  // an error text
  FUZZ_CHECK(answer.size() >= 16 && answer[1] == 1);
  const std::uint16_t trailer = static_cast<std::uint16_t>(static_cast<std::uint8_t>(answer[n - 2]) << 8 |
                                                           static_cast<std::uint8_t>(answer[n - 1]));
  FUZZ_CHECK(fuzz::crc16(std::string_view(answer).substr(0, answer.size() - 2)) == trailer);

  const std::string decompress = "{\"ctx_id\":" + std::to_string(9002 + 2 * block) + ",\"packet_b64\":\"" +
                                 fuzz::base64(answer) + "\",\"registry_root\":\"" + root + "-receiver\"}";
  const std::int32_t m = vm_fusion_decompress_json_v1(fuzz::bytes_of(decompress), decompress.size(), buf, out.size());
  FUZZ_CHECK(m > 0 && out.front() == '{' && out[static_cast<std::size_t>(m) - 1] == '}');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t block = fuzz::block_of_inputs();
  const fs::path root = "registry-" + std::to_string(block);
  const fs::path outside = "outside-" + std::to_string(block);
  std::error_code ec;
  fs::create_directories(outside / "dir", ec);
  if (!fs::exists(outside / "victim")) std::ofstream(outside / "victim") << kPrecious;

  fuzz::Cursor in(data, size);
  for (int steps = 0; !in.empty() && steps < 64; ++steps) {
    if (in.byte() % 3 == 0) {
      plant(in, root, fs::absolute(outside));
    } else {
      send(in, root.string(), block);
    }
  }
  FUZZ_CHECK(read_file(outside / "victim") == kPrecious);
  return 0;
}
