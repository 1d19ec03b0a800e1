// `tavkin decode`: packets to JSON Lines, one answer per packet. The input is read and
// checked whole first, then received in one call of the typed receive, with the registry
// files (if any) written once at the end. A packet the receiver refuses stops the tool
// (or, with --keep-going, is reported and answered by the library's error object). Three
// refusals do not stop it, because the remedy lies with the device, not with the input: a
// packet of a template this receiver does not know (it lost a packet or its files), a
// packet its known template cannot take, whose lines name the device and template, and a
// packet whose state check does not hold (the template here is not the sender's), answered
// by the library's error object. The summary names the devices to ask for a full packet,
// each kind apart.
#include <cerrno>
#include <cstring>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "commands.h"
#include "library.h"
#include "packet_io.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

void complain(std::string_view message) { fmt::print(stderr, "tavkin decode: {}\n", message); }

constexpr std::string_view kUnknownTemplate = "fusion_receive_apply_failed";
constexpr std::string_view kNotApplicable = "not_applicable";

// The packet header as vm_parse_header_min reads it.
struct Header {
  bool read = false;
  std::uint64_t cmd = 0, base_cmd = 0, secure = 0, source_aid = 0, tid = 0, timestamp_raw = 0, crc16_ok = 0;
};

Header header_of(std::string_view packet) {
  std::uint64_t h[9] = {};
  Header out;
  out.read = vm_parse_header_min(reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size(), h, 9) == 1;
  if (out.read) {
    out.cmd = h[0];
    out.base_cmd = h[1];
    out.secure = h[2];
    out.source_aid = h[5];
    out.tid = h[6];
    out.timestamp_raw = h[7];
    out.crc16_ok = h[8];
  }
  return out;
}

// Whether the receiver refuses the packet whatever its templates hold, which stops the
// tool: it is cut short, fails its trailer, or is not a data packet.
bool refused_whatever_the_state(std::string_view packet) {
  const Header h = header_of(packet);
  return !h.read || h.crc16_ok == 0 || vm_cmd_is_data(static_cast<std::uint8_t>(h.cmd)) == 0;
}

// The decompress request's answer to a refusal that names the packet's header.
std::string error_with_meta(const Header& h, std::string_view error) {
  return fmt::format(R"({{"__packet_meta__":{{"base_cmd":{},"cmd":{},"crc16_ok":{},"secure":{},"source_aid":{},)"
                     R"("tid":{},"timestamp_raw":{}}},"error":"{}"}})",
                     h.base_cmd, h.cmd, h.crc16_ok != 0, h.secure != 0, h.source_aid, h.tid, h.timestamp_raw, error);
}

// The decompress request's error text for a packet answered VM_RECEIVE_MALFORMED.
std::string_view malformed_error(std::string_view packet) {
  if (packet.size() < 5) return "Packet too short";
  const Header h = header_of(packet);
  if (!h.read) return "Incomplete Binary Header";
  if (vm_cmd_is_data(static_cast<std::uint8_t>(h.cmd)) == 0) return "unknown_command";
  return "invalid_json";  // a fact with too many readings to answer
}

// Packets refused for want of a full packet, and their devices.
struct Resync {
  std::set<std::uint64_t> devices;
  std::size_t packets = 0;
  void add(std::uint64_t aid) {
    devices.insert(aid);
    ++packets;
  }
};

class Answers {
 public:
  Answers(const DecodeOptions& options, const std::vector<InputPacket>& packets)
      : options_(options), packets_(packets), unit_(options.format == PacketFormat::binary ? "record" : "line") {}

  void answer(std::size_t index, const vm_received_v1& r) {
    if (stopped_) return;
    const InputPacket& packet = packets_[index];
    switch (r.outcome) {
      case VM_RECEIVED: {
        out_.append(reinterpret_cast<const char*>(r.fact), r.fact_len);
        break;
      }
      case VM_RECEIVE_UNKNOWN_TEMPLATE:
        unknown_.add(r.source_aid);
        out_ += fmt::format(R"({{"aid":{},"error":"{}","tid":{}}})", r.source_aid, kUnknownTemplate, r.tid);
        break;
      case VM_RECEIVE_NOT_APPLICABLE:
        not_applicable_.add(r.source_aid);
        out_ += fmt::format(R"({{"aid":{},"error":"{}","tid":{}}})", r.source_aid, kNotApplicable, r.tid);
        break;
      case VM_RECEIVE_STATE_MISMATCH:
        mismatched_.add(r.source_aid);
        out_ += error_with_meta(header_of(packet.bytes), "state_mismatch");
        break;
      case VM_RECEIVE_CRC_MISMATCH:
        refuse(packet, error_with_meta(header_of(packet.bytes), "CRC16 mismatch"), "CRC16 mismatch");
        break;
      default: {
        const std::string_view error = malformed_error(packet.bytes);
        refuse(packet, fmt::format(R"({{"error":"{}"}})", error), error);
        break;
      }
    }
    if (stopped_) return;
    out_ += '\n';
    if (out_.size() >= (1u << 16)) flush();
  }

  // Writes what is buffered; false (said on standard error) when it cannot.
  bool flush() {
    if (write_stdout(out_)) {
      out_.clear();
      return true;
    }
    if (!write_failed_) complain(fmt::format("cannot write the answers: {}", std::strerror(errno)));
    write_failed_ = true;
    return false;
  }

  void summarize() const {
    if (unknown_.packets > 0) {
      complain(fmt::format("{} packet(s) of templates this receiver does not know; ask device(s) {} for a full packet",
                           unknown_.packets, fmt::join(unknown_.devices, ", ")));
    }
    if (not_applicable_.packets > 0) {
      complain(fmt::format("{} packet(s) that their template here cannot take (this receiver's template is not the "
                           "sender's, or the packet is damaged); ask device(s) {} for a full packet",
                           not_applicable_.packets, fmt::join(not_applicable_.devices, ", ")));
    }
    if (mismatched_.packets > 0) {
      complain(fmt::format("{} packet(s) refused for a state mismatch (this receiver's template is not the sender's); "
                           "ask device(s) {} for a full packet",
                           mismatched_.packets, fmt::join(mismatched_.devices, ", ")));
    }
  }

  [[nodiscard]] bool failed() const { return failed_; }
  [[nodiscard]] bool write_failed() const { return write_failed_; }

 private:
  // A refusal that stops the tool, or with --keep-going is answered by the error object.
  void refuse(const InputPacket& packet, const std::string& answer, std::string_view error) {
    complain(fmt::format("{} {}: {}", unit_, packet.number, error));
    failed_ = true;
    if (!options_.keep_going) {
      stopped_ = true;
      return;
    }
    out_ += answer;
  }

  const DecodeOptions& options_;
  const std::vector<InputPacket>& packets_;
  const char* unit_;
  std::string out_;
  Resync unknown_, not_applicable_, mismatched_;
  bool failed_ = false, stopped_ = false, write_failed_ = false;
};

}  // namespace

int run_decode(const DecodeOptions& options) {
  std::string error;
  const auto packets = read_packets(read_stdin(), options.format, error);
  if (!packets) {
    complain(error);
    return 1;
  }
  // Without --keep-going the tool stops at the first packet refused whatever the state,
  // so the packets after it must not reach the templates (or the files).
  std::vector<std::string_view> received;
  for (const InputPacket& packet : *packets) {
    received.push_back(packet.bytes);
    if (!options.keep_going && refused_whatever_the_state(packet.bytes)) break;
  }
  Answers answers(options, *packets);
  const bool defer_saves = !options.registry.empty();
  if (!receive_packets(options.ctx, options.registry, options.state_check, defer_saves, options.precision, received,
                       [&answers](std::size_t index, const vm_received_v1& r) { answers.answer(index, r); })) {
    complain("the library did not answer every packet");
    return 1;
  }
  int status = answers.failed() ? 1 : 0;
  if (defer_saves && save_context(options.ctx, options.registry, false) < 0) {
    complain(fmt::format("cannot write every registry file under {}", options.registry));
    status = 1;
  }
  if (!answers.flush() || answers.write_failed()) return 1;
  answers.summarize();
  return status;
}

}  // namespace tavkin
