// `tavkin collect`: drains a queue into JSON Lines, one message body per line (a body
// that is itself JSON Lines, the facts of one batch, gives one line per fact). Stops when
// the queue stays quiet or after --max messages; then, with every message in the file,
// acknowledges them all in one frame and closes channel and connection gracefully
// (BrokerConnection::close_gracefully says why single acknowledgements would not do). A
// collect that fails or is killed acknowledges nothing: the next one gets every message.
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

}  // namespace

int run_collect(const CollectOptions& options) {
  std::string error;
  const auto brokers = parse_brokers(options.brokers, error);
  if (!brokers) {
    fmt::print(stderr, "tavkin collect: {}\n", error);
    return 2;
  }
  std::unique_ptr<BrokerConnection> conn;
  for (const auto& address : *brokers) {
    if ((conn = BrokerConnection::open(address, error))) break;
    fmt::print(stderr, "tavkin collect: {}\n", error);
  }
  if (!conn) return 3;
  if (options.depth) {
    const auto depth = conn->open_channel(1) ? conn->queue_depth(1, options.queue) : std::nullopt;
    if (!depth) {
      fmt::print(stderr, "tavkin collect: {}\n", conn->last_error());
      return 1;
    }
    fmt::print("{}\n", *depth);
    return conn->close_gracefully(1, 0) ? 0 : 1;
  }
  // Nothing is acknowledged before the end, so no limit but --max (0: none).
  const auto prefetch = static_cast<std::uint16_t>(options.max <= 0xFFFF ? options.max : 0);
  if (!conn->open_channel(1) || !conn->prefetch(1, prefetch) || !conn->consume(1, options.queue, "collect")) {
    fmt::print(stderr, "tavkin collect: {}\n", conn->last_error());
    return 1;
  }
  std::ofstream file;
  if (!options.out.empty()) file.open(options.out, std::ios::binary | std::ios::trunc);
  std::ostream& out = options.out.empty() ? std::cout : file;
  if (!out) {
    fmt::print(stderr, "tavkin collect: cannot write {}\n", options.out);
    return 1;
  }
  using Clock = std::chrono::steady_clock;
  auto last = Clock::now();
  std::uint64_t count = 0, lines = 0, last_tag = 0;
  while (options.max == 0 || count < options.max) {
    BrokerEvent event = conn->next(std::chrono::milliseconds(200));
    if (event.kind == BrokerEvent::Kind::closed) {
      fmt::print(stderr, "tavkin collect: {}\n", event.error);
      return 1;
    }
    if (event.kind != BrokerEvent::Kind::delivery) {
      if (Clock::now() - last > std::chrono::duration<double>(options.idle_seconds)) break;
      continue;
    }
    last = Clock::now();
    if (options.base64) {
      out << base64_encode(event.body, Base64Alphabet::standard) << '\n';
      ++lines;
    } else {
      lines += write_lines(out, event.body);
    }
    ++count;
    last_tag = event.tag;
  }
  if (!out.flush()) {  // in the file before acknowledged
    fmt::print(stderr, "tavkin collect: cannot write the output\n");
    return 1;
  }
  if (!conn->close_gracefully(1, last_tag)) {
    fmt::print(stderr, "tavkin collect: {}; what was acknowledged may be delivered again\n", conn->last_error());
    return 1;
  }
  fmt::print(stderr, "tavkin collect: {} messages ({} lines) from {}\n", count, lines, options.queue);
  return 0;
}

}  // namespace tavkin
