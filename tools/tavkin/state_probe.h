// Whether a heartbeat's or difference's state check holds against a registry's file of its
// device. The packet is decoded as a checking receiver decodes it, in a context of its own
// seeded from a copy of the device's file in a temporary directory, so that the registry
// is never written. Only the library's public requests are used.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavkin {

enum class StateVerdict {
  holds,      // the file's template, with the packet applied, gives the packet's check
  mismatch,   // it does not: the file is not the sender's state (or the packet is plain)
  undecided,  // the packet does not apply to the file at all (see `detail`)
};

struct StateProbe {
  StateVerdict verdict = StateVerdict::undecided;
  std::string detail;  // why undecided: the library's error text, or a file problem
};

[[nodiscard]] StateProbe probe_state_check(std::string_view packet, std::string_view registry_root,
                                           std::uint32_t aid);

}  // namespace tavkin
