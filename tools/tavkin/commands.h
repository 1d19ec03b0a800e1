// The subcommands of `tavkin`, each a function from parsed options to an exit status
// (0 success, 1 failure or bad input). main.cpp owns argument parsing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavkin {

enum class PacketFormat { base64, hex, binary };

struct DemoOptions {
  std::uint64_t facts = 20000;
  std::uint32_t devices = 12;
  std::string registry;  // empty: no registry files
  std::uint64_t seed = 1;
  bool via_run = false;  // one run request per fact instead of batches
  std::uint32_t batch_size = 64;
  bool quiet = false;    // no progress bar
  std::string facts_out; // also write the generated facts as JSON Lines
  bool moving = false;   // a fleet that moves and talks, and a receiver that restarts
  std::uint64_t keyframe_every = 0;  // force a full packet every N packets of a device
  double keyframe_seconds = 0;       // ... or after T seconds of fact time
  bool state_check = true;           // false: the published bytes, and a receiver that does not check
  // A link that drops this share of the packets, to a checking and a plain receiver
  // compared with a lossless one (cmd_demo_loss.cpp).
  std::optional<double> loss;
};

struct EncodeOptions {
  std::string config_path;
  std::uint64_t ctx = 1;
  std::string registry;
  bool full = false;
  std::uint32_t default_aid = 0;
  PacketFormat format = PacketFormat::base64;
  bool keep_going = false;
  std::uint64_t keyframe_every = 0;  // force a full packet every N packets of a device
  double keyframe_seconds = 0;       // ... or once T seconds of fact time passed since its last one
  bool state_check = true;           // false: the published bytes
};

struct DecodeOptions {
  std::uint64_t ctx = 1;
  std::string registry;
  PacketFormat format = PacketFormat::base64;
  bool keep_going = false;
  std::optional<int> precision;  // the sender's precision: readings as the sender gave them
  bool state_check = true;       // false: a sender of the published bytes; that byte is not examined
};

struct InspectOptions {
  std::string packet;  // empty or "-": standard input
  std::optional<PacketFormat> format;  // base64 or hex; guessed when absent
  std::string registry;  // to look up a difference packet's template
};

struct CaptureOptions {
  std::string out;  // "-": standard output
  PacketFormat format = PacketFormat::base64;  // of the packets on standard input
  bool demo = false;  // packets of the demo fleet instead of standard input
  std::uint64_t facts = 200;
  std::uint32_t devices = 4;
  std::uint64_t seed = 1;
  std::uint16_t port = 47474;  // both ends of every datagram
};

struct RegistryShowOptions {
  std::string root;
  std::optional<std::uint32_t> aid;
};

[[nodiscard]] int run_demo(const DemoOptions& options);
[[nodiscard]] int run_loss_demo(const DemoOptions& options);
[[nodiscard]] int run_encode(const EncodeOptions& options);
[[nodiscard]] int run_decode(const DecodeOptions& options);
[[nodiscard]] int run_inspect(const InspectOptions& options);
[[nodiscard]] int run_capture(const CaptureOptions& options);
[[nodiscard]] int run_registry_show(const RegistryShowOptions& options);

}  // namespace tavkin
