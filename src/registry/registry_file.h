// Registry files: one JSON file per device under a caller-named root, at
// root/DD/DD/<aid>.json (DD: pairs of digits of the aid padded to ten). Loading fills a
// registry entry the first time a device is needed; saving replaces the file atomically.
// The caller holds the lock of the FusionState that owns the registry. Failures are silent
// to the caller; failed saves are counted, and leave no file that a later load trusts
// (failed_saves.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "fusion/template_model.h"
#include "support/ids.h"

namespace vm {

class DirectorySyncs;

// Whether `registry_root` switches registry files on: present, not empty, without a NUL byte.
[[nodiscard]] bool registry_files_enabled(std::optional<std::string_view> registry_root) noexcept;

// The file of `aid` under `registry_root`; a "/" is put after the root unless it is empty
// or already ends with one.
[[nodiscard]] std::string registry_file_path(std::string_view registry_root, DeviceId aid);

// Registry files are small (a device's templates). A larger file is damaged or planted: it
// is ignored without being read, as its parse alone would take many times its size in
// memory, again on every request for the device.
inline constexpr std::size_t kMaxRegistryFileSize = std::size_t{64} << 20;

// Below the root nothing follows links: the two directory levels must be real directories
// and the file a regular file, so nothing planted under the root leads out of it.

// Adds the device's templates from its file when the registry has no entry for `aid` yet,
// the file is at most kMaxRegistryFileSize bytes and it yields at least one usable
// template. A file that yields nothing is remembered by its identity in
// registry.unusable_files and not read again until it changes. A file that a failed save of
// this process left behind is not read at all. An absent or empty root, or one with a NUL
// byte, does nothing.
void load_device_file(TemplateRegistry& registry, DeviceId aid,
                      std::optional<std::string_view> registry_root);

// Writes the device's templates to its file, creating missing directories, when the
// registry has an entry for `aid`. The new text goes to a temporary file in the same
// directory first and is renamed over the old one, so a reader in any process meets either
// the old file or the new one whole. The temporary file has an unpredictable name and is
// created exclusively without following links, so nothing planted under the root can
// redirect or block the write. Temporary files that killed saves left in the directory are
// removed once they are a minute old. A save that fails is counted and removes the old
// file, which would be behind memory from now on; when even that fails, this process
// stops loading it. The next save tries afresh. An absent or empty root, or one with a NUL
// byte, does nothing. With `durable`, the file's data reach the disk before the rename,
// and the directories whose entries the save changed are noted in `durable` to be synced
// after the caller's last rename. Whether the file now holds the device's templates.
bool save_device_file(const TemplateRegistry& registry, DeviceId aid,
                      std::optional<std::string_view> registry_root, DirectorySyncs* durable = nullptr);

}  // namespace vm
