// The typed receive: packets given as bytes (no Base64, no JSON request), each one's
// outcome handed to a sink as a number, with the decompress request's JSON answer for a
// packet that gave its fact. One packet, or many framed as (u32 big-endian length, bytes)
// under one lookup of their context. The engine is decompress_packet's, so templates,
// files and facts are exactly the decompress request's. Thread-safe; the sink is called
// outside every lock and may receive again on its thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "requests/decompress_packet.h"

namespace vm {

// The public header's VM_RECEIVED and VM_RECEIVE_* in the same order.
enum class ReceiveOutcome : std::uint8_t {
  received,
  unknown_template,
  not_applicable,
  crc_mismatch,
  malformed,  // too short, incomplete header, not a data command, or a fact too large to answer
  state_mismatch,
  already_applied,
};

struct ReceivedPacket {
  ReceiveOutcome outcome = ReceiveOutcome::malformed;
  // From the header when it read (all outcomes but a packet too short or cut in its
  // header); else 0.
  std::uint8_t command = 0;  // the base command
  std::uint8_t tid = 0;
  std::uint32_t source_aid = 0;
  std::uint64_t timestamp = 0;
  std::string_view fact;  // outcome received: the JSON answer; valid only during the call
};

class ReceivedPacketSink {
 public:
  virtual void received(const ReceivedPacket& packet) = 0;

 protected:
  ~ReceivedPacketSink() = default;
};

void receive_packet(std::uint64_t ctx_id, std::string_view packet, std::optional<std::string_view> registry_root,
                    ReceiveOptions options, ReceivedPacketSink& sink);

struct FramedReceipt {
  std::size_t entries = 0;  // handed to the sink
  bool whole = true;        // false: the framing broke after them
};

// Receives each entry of `framed` in order. Reads at most `max_entries` entries: one more
// breaks the framing, as an entry whose length word or bytes run past the end does.
FramedReceipt receive_framed_packets(std::uint64_t ctx_id, std::string_view framed,
                                     std::optional<std::string_view> registry_root, ReceiveOptions options,
                                     ReceivedPacketSink& sink, std::size_t max_entries);

}  // namespace vm
