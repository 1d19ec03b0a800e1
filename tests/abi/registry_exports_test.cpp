#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "velmarinthos_tavkin.h"

namespace {

namespace fs = std::filesystem;

// The first byte of the packet that a run request answers, or -1 without a packet.
int run(uint64_t ctx_id, const std::string& fact, const fs::path& root) {
  const std::string request = "{\"ctx_id\":" + std::to_string(ctx_id) + ",\"src_aid\":7,\"raw_input\":\"" + fact +
                              "\",\"registry_root\":\"" + root.string() + "\"}";
  uint8_t packet[VM_PACKET_BOUND(64)];
  const int32_t n = vm_fusion_run_json_v1(reinterpret_cast<const uint8_t*>(request.data()), request.size(), packet,
                                          sizeof packet);
  return n > 0 ? packet[0] : -1;
}

// Each save a request could not make is counted; the request answers as without a root.
TEST(RegistryExports, SaveFailuresAreCounted) {
  const fs::path dir = fs::temp_directory_path() / ("vm_abi_registry_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "writable");
  std::ofstream(dir / "plain") << "not a directory";
  constexpr uint64_t kCtx = 9'100'000'000;

  const uint64_t before = vm_registry_save_failures_v1();
  EXPECT_EQ(run(kCtx, "n.s.AYvP5WgA|t>0.c:1|", dir / "plain"), 63);  // a new template: saved
  EXPECT_EQ(vm_registry_save_failures_v1() - before, 1u);
  EXPECT_EQ(run(kCtx, "n.s.AYvP5WgA|t>0.c:2|", dir / "plain"), 170);  // a changed value: saved
  EXPECT_EQ(vm_registry_save_failures_v1() - before, 2u);
  EXPECT_EQ(run(kCtx + 1, "n.s.AYvP5WgA|t>0.c:1|", dir / "writable"), 63);
  EXPECT_EQ(vm_registry_save_failures_v1() - before, 2u);
  EXPECT_TRUE(fs::exists(dir / "writable" / "00" / "00" / "7.json"));
  fs::remove_all(dir);
}

}  // namespace
