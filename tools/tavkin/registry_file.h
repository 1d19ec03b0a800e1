// Reading the registry's device files for display: where a device's file lies, its
// templates with their signatures and last values, and which devices a root holds.
// Read only; the library owns writing them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavkin {

struct StoredTemplate {
  std::uint32_t tid = 0;
  std::string sig;
  std::vector<std::string> last_vals;
  std::size_t undecodable_values = 0;  // last_vals_bin texts that are not valid Base64
};

struct DeviceFile {
  std::uint32_t aid = 0;
  std::string path;
  std::vector<StoredTemplate> templates;  // ascending tid
  std::vector<std::string> skipped_keys;  // template keys that are not a u32 decimal
};

// root/DD/DD/aid.json, DD from the ten-digit zero-padded decimal aid.
[[nodiscard]] std::string device_file_path(std::string_view root, std::uint32_t aid);

// Reads and checks one device's file; on failure `error` says what is wrong with it.
[[nodiscard]] std::optional<DeviceFile> read_device_file(std::string_view root, std::uint32_t aid,
                                                         std::string& error);

// Device ids of every NN/NN/<aid>.json file under root, ascending.
[[nodiscard]] std::vector<std::uint32_t> list_devices(std::string_view root);

// Reads a u32 in decimal: optional "+", digits only, no overflow.
[[nodiscard]] std::optional<std::uint32_t> parse_u32(std::string_view text);

}  // namespace tavkin
