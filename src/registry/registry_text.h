// The text of a device's registry file: its templates written as a pretty JSON record, and
// such a text read back into templates. Pure functions; the caller holds the lock of the
// registry the templates belong to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fusion/template_model.h"
#include "support/ids.h"

namespace vm {

// Appends the file text of `device`: "aid" (decimal text), then "templates" keyed by the
// decimal tid in ascending order, each with "sig" (empty when it is not UTF-8) and
// "last_vals_bin" (standard Base64 of each last value); then, only when the device
// remembers applied packets, "applied_packets": their digests oldest first, each as 16
// hexadecimal digits (readers that do not know the member skip it).
void append_registry_text(std::string& out, DeviceId aid, const DeviceTemplates& device);

// The templates a file text holds, with next_tid = max(24, largest tid + 1), and the
// applied packets it remembers; nullopt when the text is rejected as a whole or no
// template in it is usable.
[[nodiscard]] std::optional<DeviceTemplates> parse_registry_text(std::string_view text);

}  // namespace vm
