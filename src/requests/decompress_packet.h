// The receiving end of the fusion chain for one packet given as bytes: length and CRC-16
// checks, then the fact brought back with the templates of a context (a full packet
// teaches its template; heartbeats and diffs are applied to the stored values), with the
// registry files loaded and saved as the decompress request does. The outcome goes to a
// sink, so that one engine answers the JSON request, the typed receive and hosts that
// build their own objects. Thread-safe: the context's lock is held only for the template
// work, never while the sink is called.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "wire/packet_header.h"

namespace vm {

struct CompactFactMembers;
struct FusionState;

// Why a packet gave no fact.
enum class PacketRefusal {
  too_short,          // fewer than 5 bytes
  incomplete_header,  // shorter than its route needs
  unknown_command,    // not a data command
  unknown_template,   // a heartbeat or diff for a template the context holds no values of
  not_applicable,     // a heartbeat or diff of a known template that does not apply (short body, ...)
  state_mismatch,     // a checked heartbeat or diff whose fact would not be the sender's; nothing changed
  already_applied,    // (ReceiveOptions::once) this very packet was applied to its device lately; nothing changed
};

struct ReceiveOptions {
  // Heartbeats and diffs must carry the state check (state_check.h) of the template's state
  // they leave, in the byte after their body; without it that byte is not examined, as a
  // receiver of the published packets does.
  bool state_check = false;
  // The precision the answers read reading values at (reading_value_at in
  // compact_fact_json.h; -1: ten-thousandths); the engine itself never looks at it.
  int precision = -1;
  // Changed devices are marked unsaved (template_model.h) instead of written; files are
  // still loaded. Only with a root that switches files on.
  bool defer_save = false;
  // Refuses a packet among the device's lately applied ones (applied_packets.h) before it
  // changes anything; a packet that gives a fact joins them, which changes the device
  // (saved, or marked unsaved) even for a heartbeat.
  bool once = false;
};

class PacketAnswerSink {
 public:
  // `header` is null for too_short and incomplete_header.
  virtual void refused(PacketRefusal why, const HeaderInfo* header) = 0;
  // The trailer did not match; nothing else happened.
  virtual void crc_mismatch(const HeaderInfo& header) = 0;
  // The packet's fact: its compact text with any routing prefix removed (valid UTF-8,
  // empty when the packet's text was not), valid only during the call.
  virtual void fact(std::string_view text, const HeaderInfo& header) = 0;
  // Whether the sink also takes a fact already read into its members, which spares
  // heartbeats and diffs the writing and reading of their text where that is sound.
  [[nodiscard]] virtual bool takes_members() const noexcept { return false; }
  // The packet's fact as read_compact_fact gives it for the text fact() would get (never
  // with too many readings), valid only during the call. Only for sinks that take members.
  virtual void fact_members(const CompactFactMembers& fact, const HeaderInfo& header) {
    (void)fact;
    (void)header;
  }

 protected:
  ~PacketAnswerSink() = default;
};

void decompress_packet(std::uint64_t ctx_id, std::string_view packet,
                       std::optional<std::string_view> registry_root, ReceiveOptions options,
                       PacketAnswerSink& sink);

// The same on a context's state the caller holds (a batch looks its context up once).
void decompress_packet(FusionState& state, std::string_view packet,
                       std::optional<std::string_view> registry_root, ReceiveOptions options,
                       PacketAnswerSink& sink);

}  // namespace vm
