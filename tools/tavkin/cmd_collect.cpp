// `tavkin collect`: drains a queue into JSON Lines, one message body per line,
// acknowledging each once it is written. Stops when the queue stays quiet.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

#include <fmt/format.h>

#include "broker.h"
#include "broker_commands.h"
#include "codec.h"

namespace tavkin {

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
  if (!conn->open_channel(1) || !conn->prefetch(1, 1000) || !conn->consume(1, options.queue, "collect")) {
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
  std::uint64_t count = 0;
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
    out << (options.base64 ? base64_encode(event.body, Base64Alphabet::standard) : event.body) << '\n';
    ++count;
    if (!out.flush() || !conn->ack(1, event.tag)) {  // in the file before acknowledged
      fmt::print(stderr, "tavkin collect: {}\n", out ? conn->last_error() : "cannot write the output");
      return 1;
    }
  }
  out.flush();
  fmt::print(stderr, "tavkin collect: {} messages from {}\n", count, options.queue);
  return out ? 0 : 1;
}

}  // namespace tavkin
