// tavkin: the command-line tool over the library's public C interface. Parses arguments
// and hands each subcommand its options; the work lives in cmd_*.cpp.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "velmarinthos_tavkin.h"

#if VM_WITH_GATEWAY
#include "broker_commands.h"
#endif

namespace {

constexpr int kUsageError = 2;

std::string library_version() {
  std::uint8_t buf[32] = {};
  return vm_tavkin_version(buf, sizeof buf) == 1 ? std::string(reinterpret_cast<char*>(buf)) : "unknown";
}

void add_packet_format_flags(CLI::App* cmd, tavkin::PacketFormat& format, bool with_binary) {
  auto* hex = cmd->add_flag_callback("--hex", [&format] { format = tavkin::PacketFormat::hex; },
                                     "packets as hexadecimal text, one per line");
  if (with_binary) {
    auto* bin = cmd->add_flag_callback("--binary", [&format] { format = tavkin::PacketFormat::binary; },
                                       "packets as binary records: 4-byte big-endian length, then the bytes");
    hex->excludes(bin);
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavkin: sensor facts to compact texts, wire packets and back, over velmarinthos_tavkin"};
  app.set_version_flag("--version", library_version());
  app.require_subcommand(1);
  int status = 0;

  tavkin::DemoOptions demo;
  auto* demo_cmd = app.add_subcommand("demo", "simulate a small sensor fleet and send every fact through the whole road");
  auto* demo_facts = demo_cmd->add_option("--facts", demo.facts, "number of facts (with --loss: default 100000)")
                         ->capture_default_str()->check(CLI::Range(1ULL, 100'000'000ULL));
  demo_cmd->add_option("--devices", demo.devices, "number of devices")->capture_default_str()->check(CLI::Range(1U, 100'000U));
  auto* demo_registry =
      demo_cmd->add_option("--registry", demo.registry, "keep templates as device files under DIR/sender and DIR/receiver");
  demo_cmd->add_option("--seed", demo.seed, "seed of the simulation")->capture_default_str();
  demo_cmd->add_flag("--via-run", demo.via_run, "one run request per fact instead of batch requests");
  demo_cmd->add_option("--batch-size", demo.batch_size, "facts per batch request")->capture_default_str()->check(CLI::Range(1U, 100'000U));
  auto* demo_facts_out =
      demo_cmd->add_option("--facts-out", demo.facts_out, "also write the simulated facts as JSON Lines to this file");
  demo_cmd->add_flag("--quiet", demo.quiet, "no progress bar");
  auto* demo_moving = demo_cmd->add_flag("--moving", demo.moving,
                     "a fleet that moves (a new geohash per fact) and sends free-text messages, with a receiver "
                     "that restarts half-way and recovers from its registry files and key frames");
  auto* demo_keyframes =
      demo_cmd->add_option("--keyframe-every", demo.keyframe_every,
                           "force a full packet every N packets of a device (with --loss: default 100)")
          ->check(CLI::Range(1ULL, 1'000'000'000ULL));
  demo_cmd->add_option("--keyframe-seconds", demo.keyframe_seconds,
                       "force a full packet once T seconds of fact time passed since a device's last one")
      ->check(CLI::PositiveNumber);
  auto* demo_plain = demo_cmd->add_flag_callback("--no-state-check", [&] { demo.state_check = false; },
                                                 "send the published bytes (no state checks) to a receiver that "
                                                 "does not check");
  demo_cmd->add_option("--loss", demo.loss,
                       "send over a link that drops this share of the packets (0 to 1) to a receiver that requires "
                       "state checks and one that does not, and count their right, refused and wrong facts")
      ->check(CLI::Range(0.0, 1.0))
      ->excludes(demo_plain)->excludes(demo_moving)->excludes(demo_registry)->excludes(demo_facts_out);
  demo_cmd->callback([&] {
    if (demo.loss) {  // enough facts and key frames for loss to show its effect
      if (demo_facts->count() == 0) demo.facts = 100'000;
      if (demo_keyframes->count() == 0) demo.keyframe_every = 100;
    }
    status = tavkin::run_demo(demo);
  });

  tavkin::EncodeOptions encode;
  auto* encode_cmd = app.add_subcommand("encode", "facts as JSON Lines on standard input to packets on standard output, one standard Base64 line each unless --hex or --binary");
  encode_cmd->add_option("--config", encode.config_path, "compressor configuration (JSON file)")->required();
  encode_cmd->add_option("--ctx", encode.ctx, "sending context number")->capture_default_str();
  encode_cmd->add_option("--registry", encode.registry, "registry directory of the sender's device files");
  encode_cmd->add_option("--aid", encode.default_aid, "device id of facts without an \"aid\" member")->capture_default_str();
  encode_cmd->add_flag("--full", encode.full, "send every fact as a full packet");
  encode_cmd->add_flag("--keep-going", encode.keep_going, "report bad facts and go on with the next");
  encode_cmd->add_option("--keyframe-every", encode.keyframe_every,
                         "key frames: force a full packet every N packets of a device")
      ->check(CLI::Range(1ULL, 1'000'000'000ULL));
  encode_cmd->add_option("--keyframe-seconds", encode.keyframe_seconds,
                         "key frames: force a full packet once T seconds (of the facts' timestamps) passed since a "
                         "device's last full packet")
      ->check(CLI::PositiveNumber);
  encode_cmd->add_flag_callback("--no-state-check", [&] { encode.state_check = false; },
                                "heartbeats and differences end their body with its CRC-8, as published, instead of "
                                "the state check");
  add_packet_format_flags(encode_cmd, encode.format, true);
  encode_cmd->callback([&] { status = tavkin::run_encode(encode); });

  tavkin::DecodeOptions decode;
  auto* decode_cmd = app.add_subcommand("decode", "packets on standard input (standard Base64 lines unless --hex or --binary) to JSON Lines on standard output");
  decode_cmd->add_option("--ctx", decode.ctx, "receiving context number")->capture_default_str();
  decode_cmd->add_option("--registry", decode.registry, "registry directory of the receiver's device files");
  decode_cmd->add_flag("--keep-going", decode.keep_going, "report bad packets and go on with the next");
  decode_cmd->add_option("--precision", decode.precision,
                         "the sender's precision (decimals): reading values as the sender gave them, instead of the "
                         "library's fixed scale of 4")
      ->check(CLI::Range(-18, 18));
  decode_cmd->add_flag_callback("--no-state-check", [&] { decode.state_check = false; },
                                "for senders of the published bytes: do not require the state check of heartbeats "
                                "and differences");
  add_packet_format_flags(decode_cmd, decode.format, true);
  decode_cmd->callback([&] { status = tavkin::run_decode(decode); });

  tavkin::InspectOptions inspect;
  auto* inspect_cmd = app.add_subcommand("inspect", "explain one packet");
  inspect_cmd->add_option("packet", inspect.packet, "the packet as Base64 or hexadecimal; standard input when absent or -");
  auto* as_hex = inspect_cmd->add_flag_callback("--hex", [&] { inspect.format = tavkin::PacketFormat::hex; },
                                                "the packet is hexadecimal");
  auto* as_b64 = inspect_cmd->add_flag_callback("--base64", [&] { inspect.format = tavkin::PacketFormat::base64; },
                                                "the packet is standard Base64");
  as_hex->excludes(as_b64);
  inspect_cmd->add_option("--registry", inspect.registry,
                          "receiver's registry directory: to label a difference packet's values, and to say whether "
                          "a state check holds against the device's file");
  inspect_cmd->callback([&] { status = tavkin::run_inspect(inspect); });

  tavkin::CaptureOptions capture;
  auto* capture_cmd = app.add_subcommand("capture", "packets as a pcap file of UDP datagrams, one per packet");
  capture_cmd->add_option("-o,--output", capture.out, "the pcap file to write (- for standard output)")->required();
  auto* capture_demo = capture_cmd->add_flag("--demo", capture.demo, "packets of the demo fleet instead of standard input");
  capture_cmd->add_option("--facts", capture.facts, "with --demo: number of facts")->capture_default_str()
      ->check(CLI::Range(1ULL, 10'000'000ULL))->needs(capture_demo);
  capture_cmd->add_option("--devices", capture.devices, "with --demo: number of devices")->capture_default_str()
      ->check(CLI::Range(1U, 100'000U))->needs(capture_demo);
  capture_cmd->add_option("--seed", capture.seed, "with --demo: seed of the simulation")->capture_default_str()
      ->needs(capture_demo);
  capture_cmd->add_option("--port", capture.port, "UDP port of both ends of every datagram")->capture_default_str()
      ->check(CLI::Range(1, 65535));
  add_packet_format_flags(capture_cmd, capture.format, true);
  capture_cmd->callback([&] { status = tavkin::run_capture(capture); });

  tavkin::RegistryShowOptions show;
  auto* registry_cmd = app.add_subcommand("registry", "look at registry directories");
  registry_cmd->require_subcommand(1);
  auto* show_cmd = registry_cmd->add_subcommand("show", "list a directory's devices, or show one device's templates");
  show_cmd->add_option("dir", show.root, "registry directory")->required();
  show_cmd->add_option("aid", show.aid, "device id");
  show_cmd->callback([&] { status = tavkin::run_registry_show(show); });

#if VM_WITH_GATEWAY
  tavkin::add_broker_commands(app, status);
#endif

  // Wrong arguments exit with 2, the usual status of a usage error; --help and --version 0.
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kUsageError;
  }
  return status;
}
