// The sender's half of fusion: for one decomposed fact of one device, decide between a
// full packet, a heartbeat and a difference packet, and leave the device's templates as
// the receiver will hold them once it has applied that packet. No lock of its own: the
// caller holds the lock of the FusionState that owns the registry.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fusion/fusion_decision.h"
#include "fusion/template_model.h"

namespace vm {

// A difference mask covers at most 128 values, and a change carries at most 255 bytes
// behind its one length byte.
inline constexpr std::size_t kMaxDiffValues = 128;
inline constexpr std::size_t kMaxDiffValueSize = 255;

// Whom a decision is for. A fusion-state handle hands decisions to its caller with 32-bit
// template numbers and keeps the numbering as it is. The request pipelines build packets:
// their numbers stay at most 255 (assign_packet_tid), a template loaded from a file
// travels whole the first time it is sent, and each decision records the template's use.
enum class EncodeFor { fusion_state, packet };

// The decision for the fact (`sig`, `values`) of device `aid`, registering the signature
// when it is new. DATA_FULL and DATA_HEART carry an empty body; DATA_DIFF carries the mask
// and the changed values. A new signature, `force_full` or a changed value count gives
// DATA_FULL; so does any change in a template of more than 128 values. Nothing (and no
// change to the stored values) when a changed value is longer than 255 bytes.
// `values` must not point into the registry's own strings.
[[nodiscard]] std::optional<FusionDecision> encode(TemplateRegistry& registry, DeviceId aid,
                                                   bool force_full, std::string_view sig,
                                                   std::span<const std::string_view> values);

// The same decision with its body written into `body` (replacing what it held) and left out
// of the returned decision, so that a caller keeping `body` per thread allocates nothing.
[[nodiscard]] std::optional<FusionDecision> encode_into(TemplateRegistry& registry, DeviceId aid,
                                                        bool force_full, std::string_view sig,
                                                        std::span<const std::string_view> values,
                                                        std::string& body,
                                                        EncodeFor target = EncodeFor::fusion_state);

// The same for a device the caller has already looked up (device_for).
[[nodiscard]] std::optional<FusionDecision> encode_into(DeviceTemplates& device, bool force_full,
                                                        std::string_view sig,
                                                        std::span<const std::string_view> values,
                                                        std::string& body, EncodeFor target);

}  // namespace vm
