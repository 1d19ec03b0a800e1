#include "registry/unsaved_devices.h"

#include <algorithm>
#include <vector>

#include "registry/directory_sync.h"
#include "registry/registry_file.h"

namespace vm {

std::int64_t save_unsaved_devices(TemplateRegistry& registry, std::optional<std::string_view> registry_root,
                                  bool durable) {
  std::vector<DeviceId> pending;
  pending.swap(registry.unsaved);
  // Device order is directory order: each directory is entered in one run.
  std::sort(pending.begin(), pending.end(), [](DeviceId a, DeviceId b) { return raw(a) < raw(b); });
  const bool files = registry_files_enabled(registry_root);
  DirectorySyncs syncs;
  std::vector<DeviceId> written;
  for (DeviceId aid : pending) {
    DeviceTemplates* device = find_device(registry, aid);
    if (device == nullptr || !device->unsaved) continue;  // saved since, or replaced whole
    if (files && save_device_file(registry, aid, registry_root, durable ? &syncs : nullptr)) {
      device->unsaved = false;
      written.push_back(aid);
    } else {
      registry.unsaved.push_back(aid);
    }
  }
  if (durable && !syncs.sync_all()) {
    // The files are written but may not survive a power loss: write them again next time.
    for (DeviceId aid : written) mark_unsaved(registry, aid, *find_device(registry, aid));
    return -1;
  }
  if (!registry.unsaved.empty()) return -1;
  return static_cast<std::int64_t>(written.size());
}

}  // namespace vm
