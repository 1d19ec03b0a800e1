// The save that a receiver deferring its saves asks for: the file of every device changed
// since it was last written, through the one writer of registry_file.h. The caller holds
// the lock of the registry's FusionState.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "fusion/template_model.h"

namespace vm {

// Writes the file of each device marked unsaved under `registry_root`, in device order;
// `durable` syncs each file before its rename and the directories after the last one. A
// device whose file is written is no longer unsaved; one whose file could not be written
// (or whose directory could not be synced) stays unsaved for the next call. The number of
// files written, or -1 when any device stays unsaved (a root that switches files off
// writes none).
[[nodiscard]] std::int64_t save_unsaved_devices(TemplateRegistry& registry,
                                                std::optional<std::string_view> registry_root, bool durable);

}  // namespace vm
