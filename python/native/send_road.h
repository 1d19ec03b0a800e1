// The sending road of the extension: a compact text of one device fused against a
// context's templates and framed as its packet, exactly as the run request does it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fusion/template_model.h"
#include "support/ids.h"

namespace vm::py {

enum class SendOutcome { packet, undecomposable, no_packet };

// Devices whose files are written once the caller's sends are done.
struct PendingSaves {
  std::vector<DeviceId> devices;
};

// With the context's lock held: appends the packet of `text` (a compact fact, its body
// when it travels whole) of device `aid` to `out`. A changed device's file is written
// now, or noted in `pending` when that is given.
[[nodiscard]] SendOutcome send_text(TemplateRegistry& registry, DeviceId aid, bool force_full,
                                    std::string_view text, std::optional<std::string_view> registry_root,
                                    PendingSaves* pending, std::string& out);

// Writes the files of the devices in `pending`, each once, and empties it.
void save_pending(const TemplateRegistry& registry, PendingSaves& pending,
                  std::optional<std::string_view> registry_root);

}  // namespace vm::py
