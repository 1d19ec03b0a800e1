// `tavkin encode`: facts as JSON Lines to packets. Every line is read, checked and
// compressed before the first request, so bad input stops the tool before any template
// changes or any packet is written.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fmt/format.h>

#include "commands.h"
#include "fact_json.h"
#include "library.h"
#include "packet_io.h"

namespace tavkin {
namespace {

struct Prepared {
  std::size_t line;
  std::uint32_t aid;
  double timestamp;  // the fact's own, in seconds: the clock of time-based key frames
  std::string text;  // compact text
};

void complain(std::string_view message) { fmt::print(stderr, "tavkin encode: {}\n", message); }

std::optional<CompressorSettings> load_settings(const std::string& path, JsonReader& reader) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    complain(fmt::format("cannot read the configuration {}: {}", path, std::strerror(errno)));
    return std::nullopt;
  }
  const std::string text(std::istreambuf_iterator<char>(in), {});
  auto parsed = reader.settings(text);
  if (!parsed.value) complain(fmt::format("{}: {}", path, parsed.error));
  return parsed.value;
}

// Why a run request gave no packet, in words.
std::string run_failure(const Answer& answer) {
  if (answer.result == 0) {
    return "the library made no packet (a changed value longer than 255 bytes, or a timestamp no packet can "
           "carry)";
  }
  if (answer.result < 0) return fmt::format("the packet needed {} bytes, more than the tool allowed", -answer.result);
  return fmt::format("the library answered {}", answer.bytes);
}

}  // namespace

int run_encode(const EncodeOptions& options) {
  JsonReader reader;
  const auto settings = load_settings(options.config_path, reader);
  if (!settings) return 1;
  auto compressor = Compressor::create(*settings);
  if (!compressor) {
    complain("the library refused the configuration");
    return 1;
  }

  const std::string input = read_stdin();
  std::vector<Prepared> facts;
  int status = 0;
  for (const Line& line : content_lines(input)) {
    auto fact = reader.fact(line.text);
    std::optional<std::string> text;
    if (fact.value) text = compressor->compress(fact_record(*fact.value));
    if (!fact.value || !text) {
      complain(fmt::format("line {}: {}", line.number, fact.value ? "the library refused the fact record" : fact.error));
      if (!options.keep_going) return 1;
      status = 1;
      continue;
    }
    facts.push_back({line.number, fact.value->aid.value_or(options.default_aid), fact.value->timestamp, std::move(*text)});
  }

  std::string out, buffer;
  const KeyFrames keyframes{options.keyframe_every, options.keyframe_seconds};
  for (const Prepared& fact : facts) {
    const std::string request = run_request(options.ctx, fact.text, fact.aid, options.full, options.registry,
                                            options.state_check, keyframes, fact.timestamp);
    const Answer answer = call_run(request, fact.text.size(), buffer);
    // Packets begin with a data command byte, error answers with "{".
    if (answer.result <= 0 || answer.bytes.front() == '{') {
      complain(fmt::format("line {}: {}", fact.line, run_failure(answer)));
      status = 1;
      if (!options.keep_going) break;
      continue;
    }
    append_packet(out, answer.bytes, options.format);
    if (out.size() >= (1u << 16)) {
      if (!write_stdout(out)) {
        complain(fmt::format("cannot write the packets: {}", std::strerror(errno)));
        return 1;
      }
      out.clear();
    }
  }
  if (!write_stdout(out)) {
    complain(fmt::format("cannot write the packets: {}", std::strerror(errno)));
    return 1;
  }
  return status;
}

}  // namespace tavkin
