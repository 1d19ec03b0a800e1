// The deferred save of a context: what receives that defer their saves changed, written to
// the registry files. Thread-safe: the context's lock is held for the whole save, so the
// files it writes are the templates of one moment.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vm {

// save_unsaved_devices (registry/unsaved_devices.h) on the context's templates: the number
// of files written, or -1 when any device stays unsaved; 0 for a context not held.
[[nodiscard]] std::int64_t save_context(std::uint64_t ctx_id, std::optional<std::string_view> registry_root,
                                        bool durable);

}  // namespace vm
