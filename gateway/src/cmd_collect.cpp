// `tavkin collect`: drains a queue into JSON Lines, one message body per line (a body
// that is itself JSON Lines, the facts of one batch, gives one line per fact). Stops when
// the queue stays quiet for --idle seconds or after --max messages.
//
// It works in rounds of at most kRound messages, one connection each: the round's
// messages are written to the file, then acknowledged all in one frame, and channel and
// connection closed gracefully (BrokerConnection::close_gracefully says why single
// acknowledgements would not do: a burst of them just before a close can be dropped and
// their messages delivered again). A collect that fails or is killed loses at most its
// round's acknowledgements: those messages come again to the next collect.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>

#include <fmt/format.h>

#include "broker.h"
#include "broker_commands.h"
#include "codec.h"

namespace tavkin {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kRound = 1000;  // within the broker's largest prefetch for a quorum queue consumer
constexpr std::uint16_t kChannel = 1;

// Writes each non-empty line of `body` as one line; answers how many.
std::uint64_t write_lines(std::ostream& out, std::string_view body) {
  std::uint64_t lines = 0;
  while (!body.empty()) {
    const std::size_t end = body.find('\n');
    const std::string_view line = body.substr(0, end);
    body = end == std::string_view::npos ? std::string_view{} : body.substr(end + 1);
    if (line.empty()) continue;
    out << line << '\n';
    ++lines;
  }
  return lines;
}

std::unique_ptr<BrokerConnection> connect(const std::vector<BrokerAddress>& brokers) {
  std::string error;
  for (const auto& address : brokers) {
    if (auto conn = BrokerConnection::open(address, error)) return conn;
    fmt::print(stderr, "tavkin collect: {}\n", error);
  }
  return nullptr;
}

struct Totals {
  std::uint64_t messages = 0, lines = 0;
};

class Collector {
 public:
  Collector(const CollectOptions& options, std::ostream& out) : options_(options), out_(out) {}

  // One round on `conn`: up to `want` messages, fewer when the queue stays quiet.
  // Answers the number taken, or nullopt after printing why it failed.
  std::optional<std::uint64_t> round(BrokerConnection& conn, std::uint64_t want) {
    if (!conn.open_channel(kChannel) || !conn.prefetch(kChannel, static_cast<std::uint16_t>(want)) ||
        !conn.consume(kChannel, options_.queue, "collect")) {
      fmt::print(stderr, "tavkin collect: {}\n", conn.last_error());
      return std::nullopt;
    }
    auto last = Clock::now();
    std::uint64_t got = 0, last_tag = 0;
    while (got < want) {
      BrokerEvent event = conn.next(std::chrono::milliseconds(200));
      if (event.kind == BrokerEvent::Kind::closed) {
        fmt::print(stderr, "tavkin collect: {}\n", event.error);
        return std::nullopt;
      }
      if (event.kind != BrokerEvent::Kind::delivery) {
        if (Clock::now() - last > std::chrono::duration<double>(options_.idle_seconds)) break;
        continue;
      }
      last = Clock::now();
      if (options_.base64) {
        out_ << base64_encode(event.body, Base64Alphabet::standard) << '\n';
        ++totals_.lines;
      } else {
        totals_.lines += write_lines(out_, event.body);
      }
      ++got;
      last_tag = event.tag;
    }
    if (!out_.flush()) {  // in the file before acknowledged
      fmt::print(stderr, "tavkin collect: cannot write the output\n");
      return std::nullopt;
    }
    if (!conn.close_gracefully(kChannel, last_tag)) {
      fmt::print(stderr, "tavkin collect: {}; the last {} messages may be delivered again\n", conn.last_error(), got);
      return std::nullopt;
    }
    totals_.messages += got;
    return got;
  }

  [[nodiscard]] const Totals& totals() const { return totals_; }

 private:
  const CollectOptions& options_;
  std::ostream& out_;
  Totals totals_;
};

int print_depth(BrokerConnection& conn, const std::string& queue) {
  const auto depth = conn.open_channel(kChannel) ? conn.queue_depth(kChannel, queue) : std::nullopt;
  if (!depth) {
    fmt::print(stderr, "tavkin collect: {}\n", conn.last_error());
    return 1;
  }
  fmt::print("{}\n", *depth);
  return conn.close_gracefully(kChannel, 0) ? 0 : 1;
}

}  // namespace

int run_collect(const CollectOptions& options) {
  std::string error;
  const auto brokers = parse_brokers(options.brokers, error);
  if (!brokers) {
    fmt::print(stderr, "tavkin collect: {}\n", error);
    return 2;
  }
  auto conn = connect(*brokers);
  if (!conn) return 3;
  if (options.depth) return print_depth(*conn, options.queue);
  std::ofstream file;
  if (!options.out.empty()) file.open(options.out, std::ios::binary | std::ios::trunc);
  std::ostream& out = options.out.empty() ? std::cout : file;
  if (!out) {
    fmt::print(stderr, "tavkin collect: cannot write {}\n", options.out);
    return 1;
  }
  Collector collector(options, out);
  while (true) {
    const std::uint64_t want =
        options.max == 0 ? kRound : std::min(kRound, options.max - collector.totals().messages);
    if (want == 0) break;
    if (!conn && !(conn = connect(*brokers))) return 3;
    const auto got = collector.round(*conn, want);
    conn.reset();
    if (!got) return 1;
    if (*got < want) break;  // quiet for --idle seconds
  }
  fmt::print(stderr, "tavkin collect: {} messages ({} lines) from {}\n", collector.totals().messages,
             collector.totals().lines, options.queue);
  return 0;
}

}  // namespace tavkin
