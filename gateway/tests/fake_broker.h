// A broker session scripted by a test, for driving the gateway's loop without a cluster.
// Each next() first answers the publishes not yet answered (one confirm with `multiple`
// for a run of them, a reject for a number the test chose), then runs the script's next
// step, which gives the event to return (a delivery, a cancellation, a lost connection) or
// does something in between (releasing a lock, looking at the files). When the script is
// over it sets the stop flag, as SIGTERM would. Everything the gateway does with the
// session goes to one event log, shared by the sessions of a test.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "broker.h"

namespace tavkin::testing_broker {

struct Publication {
  std::string exchange;
  std::string body;
  Headers headers;
};

// What the gateway did, in order: "ack 10 3 multiple", "close", and whatever the script's
// steps note; publishes are noted by the test's own describer.
struct SessionLog {
  std::vector<std::string> events;
  std::vector<Publication> publications;
  std::function<std::string(const Publication&)> describe;
};

class FakeBroker final : public BrokerSession {
 public:
  using Step = std::function<BrokerEvent(FakeBroker&)>;

  FakeBroker(std::deque<Step> script, SessionLog& log, std::atomic<bool>& stop)
      : script_(std::move(script)), log_(log), stop_(stop) {}

  bool confirm_publishes = true;      // false: publishes wait for a confirm_all() step
  std::set<std::uint64_t> reject;     // publish numbers answered with a reject

  bool open_channel(std::uint16_t) override { return !broken_; }
  bool prefetch(std::uint16_t, std::uint16_t) override { return !broken_; }
  bool confirm_mode(std::uint16_t) override { return !broken_; }
  bool consume(std::uint16_t, std::string_view, std::string_view) override { return !broken_; }
  bool publish(std::uint16_t, std::string_view exchange, std::string_view, std::string_view body,
               const Headers& headers) override {
    if (broken_) return false;
    Publication p{std::string(exchange), std::string(body), headers};
    log_.events.push_back(log_.describe(p));
    log_.publications.push_back(std::move(p));
    ++published_;
    return true;
  }
  bool ack(std::uint16_t channel, std::uint64_t tag, bool multiple) override {
    if (broken_) return false;
    log_.events.push_back(fmt::format("ack {} {}{}", channel, tag, multiple ? " multiple" : ""));
    return true;
  }
  std::optional<std::uint32_t> queue_depth(std::uint16_t, std::string_view) override { return std::nullopt; }
  const std::string& last_error() const override { return error_; }
  bool broken() const override { return broken_; }
  bool close_gracefully(std::span<const std::uint16_t>) override {
    log_.events.push_back("close");
    broken_ = true;
    return true;
  }

  BrokerEvent next(std::chrono::milliseconds) override {
    if (confirm_publishes && answered_ < published_) return answer_publishes();
    if (script_.empty()) {
      stop_ = true;
      return {};
    }
    Step step = std::move(script_.front());
    script_.pop_front();
    return step(*this);
  }

  // --- steps
  static Step deliver(std::uint32_t partition, std::uint64_t tag, std::string body, bool redelivered = false) {
    return [=](FakeBroker&) {
      BrokerEvent e;
      e.kind = BrokerEvent::Kind::delivery;
      e.channel = static_cast<std::uint16_t>(10 + partition);
      e.tag = tag;
      e.redelivered = redelivered;
      e.routing_key = "key";
      e.body = body;
      return e;
    };
  }
  static Step confirm_all() {
    return [](FakeBroker& broker) { return broker.answered_ < broker.published_ ? broker.answer_publishes() : BrokerEvent{}; };
  }
  static Step lose_connection() {
    return [](FakeBroker& broker) {
      broker.broken_ = true;
      broker.error_ = "connection reset by the test";
      BrokerEvent e;
      e.kind = BrokerEvent::Kind::closed;
      e.error = broker.error_;
      return e;
    };
  }
  static Step cancel(std::uint32_t partition) {
    return [=](FakeBroker&) {
      BrokerEvent e;
      e.kind = BrokerEvent::Kind::cancelled;
      e.channel = static_cast<std::uint16_t>(10 + partition);
      e.consumer_tag = fmt::format("p{}", partition);
      return e;
    };
  }
  static Step request_stop() {
    return [](FakeBroker& broker) {
      broker.stop_ = true;
      return BrokerEvent{};
    };
  }
  // Runs `action` and notes what it answers in the log.
  static Step note(std::function<std::string()> action) {
    return [action = std::move(action)](FakeBroker& broker) {
      broker.log_.events.push_back(action());
      return BrokerEvent{};
    };
  }

 private:
  // A reject for the next number if the test chose it, else one confirm up to the number
  // before the next rejected one.
  BrokerEvent answer_publishes() {
    BrokerEvent e;
    const std::uint64_t first = answered_ + 1;
    if (reject.erase(first) > 0) {
      e.kind = BrokerEvent::Kind::reject;
      e.tag = first;
      answered_ = first;
      return e;
    }
    std::uint64_t last = published_;
    for (const std::uint64_t r : reject) {
      if (r > first && r <= last) last = r - 1;
    }
    e.kind = BrokerEvent::Kind::confirm;
    e.tag = last;
    e.multiple = true;
    answered_ = last;
    return e;
  }

  std::deque<Step> script_;
  SessionLog& log_;
  std::atomic<bool>& stop_;
  std::uint64_t published_ = 0;
  std::uint64_t answered_ = 0;
  bool broken_ = false;
  std::string error_;
};

}  // namespace tavkin::testing_broker
