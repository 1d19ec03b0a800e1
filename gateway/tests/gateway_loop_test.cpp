// The gateway's loop driven by a scripted broker (fake_broker.h) with the real library and
// a registry root of its own per case: what it publishes, what it acknowledges and when
// (only after a checkpoint saved the files, with `multiple` per partition channel), and
// what the files hold afterwards, through confirms and rejects, cancellations, lost
// connections, partition locks held elsewhere, redeliveries, batches and failed saves;
// and what its last status line counted of it.
#include <gtest/gtest.h>

#include <simdjson.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>

#include "fake_broker.h"
#include "gateway.h"
#include "gateway_outcome.h"
#include "library.h"
#include "packet_batch.h"
#include "partition_fence.h"
#include "registry_file.h"
#include "velmarinthos_tavkin.h"

namespace tavkin {
namespace {

using testing_broker::FakeBroker;
using testing_broker::Publication;
using testing_broker::SessionLog;
using Step = FakeBroker::Step;

const std::uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

std::uint64_t fresh_context() {
  static std::atomic<std::uint64_t> next{7'000'000 + static_cast<std::uint64_t>(::getpid()) % 1000 * 1000};
  return next++;
}

struct Received {
  std::int32_t outcome = -1;
  std::string fact;
  std::string key;
};

Received receive(std::uint64_t ctx, const std::string& root, std::uint32_t flags, std::string_view packet) {
  Received out;
  vm_receive_packet_v1(ctx, bytes_of(root), root.size(), flags, bytes_of(packet), packet.size(),
                       [](void* user, const vm_received_v1* r) {
                         auto& o = *static_cast<Received*>(user);
                         o.outcome = r->outcome;
                         if (r->fact != nullptr) o.fact.assign(reinterpret_cast<const char*>(r->fact), r->fact_len);
                         o.key = dedup_key(r->source_aid, r->tid, r->timestamp);
                       },
                       &out);
  return out;
}

// Two devices, A on partition 0 and B on partition 1, each with a run of packets (a full
// packet, then differences and heartbeats) and the fact a receiver that got every packet in
// order answers for each. Labels: "A1" is A's first packet.
class Fleet {
 public:
  static constexpr std::uint32_t kA = 305419896, kB = 305419897;

  Fleet() {
    for (const auto& [name, aid] : {std::pair{'A', kA}, std::pair{'B', kB}}) {
      const std::uint64_t sender = fresh_context(), reference = fresh_context();
      std::string buffer;
      for (int i = 0; i < 8; ++i) {
        const std::string text = fmt::format("node7.1.AYvP5W{}A|t1>0.c1:y{}|h>0.m/s2:q0{}|", "ghijklmnop"[i],
                                             "GHHJ"[i % 4], "UUVV"[i % 4]);
        const Answer a = call_run(run_request(sender, text, aid, false, "", true), text.size(), buffer);
        const std::string packet(a.bytes);
        const Received r = receive(reference, "", VM_RECEIVE_STATE_CHECK, packet);
        EXPECT_EQ(r.outcome, VM_RECEIVED);
        const std::string label = fmt::format("{}{}", name, i + 1);
        packets_[label] = packet;
        by_key_[r.key] = {label, r.fact, aid};
        by_bytes_[packet] = label;
      }
    }
  }

  const std::string& operator[](const std::string& label) const { return packets_.at(label); }
  // Bytes made by a test, shown by their label in dead letters.
  void name(std::string bytes, std::string label) const { by_bytes_[std::move(bytes)] = std::move(label); }

  // A publication as the event log shows it. A fact reads "fact A1" (with " redelivered"),
  // or "WRONG fact A1" when its body is not what the reference receiver answered; a dead
  // letter "dead <reason> <packet label, or its size>".
  std::string describe(const Publication& p) const {
    if (p.exchange == "tavkin.dead") {
      std::string reason;
      for (const auto& [name, value] : p.headers) {
        if (name == "reason") reason = value;
      }
      const auto it = by_bytes_.find(p.body);
      return fmt::format("dead {} {}", reason, it != by_bytes_.end() ? it->second : fmt::format("{} bytes", p.body.size()));
    }
    simdjson::dom::parser parser;
    simdjson::dom::object fact;
    if (parser.parse(p.body).get(fact) != simdjson::SUCCESS) return "unreadable " + p.body;
    const std::string key{std::string_view(fact["dedup_key"])};
    const bool redelivered = bool(fact["redelivered"]);
    const auto it = by_key_.find(key);
    if (it == by_key_.end()) return "unknown fact " + key;
    const auto partition = std::uint32_t(std::uint64_t(fact["partition"]));
    const std::string expected =
        fact_message(it->second.fact, {it->second.aid, partition, "gw-test", key, redelivered});
    return fmt::format("{}fact {}{}", p.body == expected ? "" : "WRONG ", it->second.label,
                       redelivered ? " redelivered" : "");
  }

  // What a fresh receiver on the files makes of the packet: "fact" when it answers the
  // reference fact, else the outcome.
  std::string from_files(std::uint64_t ctx, const std::string& root, const std::string& label) const {
    const Received r = receive(ctx, root, VM_RECEIVE_STATE_CHECK | VM_RECEIVE_ONCE, packets_.at(label));
    if (r.outcome == VM_RECEIVED) return r.fact == by_key_.at(r.key).fact ? "fact" : "wrong fact";
    if (r.outcome == VM_RECEIVE_ALREADY_APPLIED) return "already applied";
    const auto reason = dead_reason_of(r.outcome);
    return std::string(dead_reason_name(*reason));
  }

 private:
  struct Reference {
    std::string label, fact;
    std::uint32_t aid;
  };
  std::map<std::string, std::string> packets_;
  std::map<std::string, Reference> by_key_;
  mutable std::map<std::string, std::string> by_bytes_;
};

struct SessionScript {
  SessionScript(std::vector<Step> script) : steps(std::move(script)) {}
  std::vector<Step> steps;
  bool confirm_publishes = true;
  std::set<std::uint64_t> reject;
};

struct Case {
  std::string name;
  std::function<void(GatewayOptions&)> options;
  // Sessions in connection order; a step may reach the fixture (locks, files).
  std::function<std::vector<SessionScript>(const Fleet&, struct LoopFixture&)> sessions;
  std::vector<std::string> events;                                  // in order
  int exit_status = kGatewayStopped;
  std::vector<std::pair<std::string, std::string>> files;           // label -> what the files make of it, in order
  // Members of the last status line ("packets_dead.crc_mismatch" for a nested one).
  std::map<std::string, std::uint64_t> counts;
  // Every device file was written by one checkpoint: its bytes are the files' sizes now.
  bool each_file_saved_once = false;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

struct LoopFixture {
  std::filesystem::path root;
  PartitionLock held_elsewhere;
};

class GatewayLoop : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    fixture_.root = std::filesystem::temp_directory_path() / fmt::format("tavkin-gateway-loop-{}", ::getpid());
    std::filesystem::remove_all(fixture_.root);
    std::filesystem::create_directories(fixture_.root);
  }
  void TearDown() override { std::filesystem::remove_all(fixture_.root); }

  static Fleet& fleet() {
    static Fleet fleet;
    return fleet;
  }

  LoopFixture fixture_;
};

// The counts of the last status line (a JSON object on a line of its own) on `stderr_text`.
void expect_counts(const std::string& stderr_text, const std::map<std::string, std::uint64_t>& counts) {
  const auto end = stderr_text.rfind("}\n");
  const auto begin = stderr_text.rfind("\n{", end);
  ASSERT_NE(end, std::string::npos) << stderr_text;
  const std::string line = stderr_text.substr(begin == std::string::npos ? 0 : begin + 1, end + 1 - (begin + 1));
  simdjson::dom::parser parser;
  simdjson::dom::element status;
  ASSERT_EQ(parser.parse(line).get(status), simdjson::SUCCESS) << line;
  for (const auto& [member, expected] : counts) {
    const auto dot = member.find('.');
    simdjson::dom::element e = status[member.substr(0, dot)];
    if (dot != std::string::npos) e = e[member.substr(dot + 1)];
    std::uint64_t got = 0;
    EXPECT_EQ(e.get(got), simdjson::SUCCESS) << member;
    EXPECT_EQ(got, expected) << member << " in " << line;
  }
}

TEST_P(GatewayLoop, PublishesAcknowledgesAndSavesAsExpected) {
  const Case& c = GetParam();
  GatewayOptions options;
  options.brokers = "fake:1";
  options.registry_root = fixture_.root.string();
  options.name = "gw-test";
  options.partitions = 2;
  options.standby_seconds = 0;
  options.status_seconds = 3600;
  options.drain_seconds = 0.5;
  options.checkpoint_packets = 1000;
  options.checkpoint_ms = 1e6;  // no checkpoint by time: the tests are not timed
  if (c.options) c.options(options);

  std::vector<SessionScript> scripts = c.sessions(fleet(), fixture_);
  SessionLog log;
  log.describe = [](const Publication& p) { return fleet().describe(p); };
  std::atomic<bool> stop{false};
  std::size_t next_session = 0;
  const BrokerSessionFactory connect = [&](const BrokerAddress&, std::string& error) -> std::unique_ptr<BrokerSession> {
    if (next_session == scripts.size()) {
      stop = true;
      error = "no more sessions";
      return nullptr;
    }
    SessionScript& script = scripts[next_session++];
    log.events.push_back(fmt::format("session {}", next_session));
    auto broker = std::make_unique<FakeBroker>(std::deque<Step>(script.steps.begin(), script.steps.end()), log, stop);
    broker->confirm_publishes = script.confirm_publishes;
    broker->reject = script.reject;
    return broker;
  };

  testing::internal::CaptureStderr();
  const int exit_status = run_gateway(options, connect, stop);
  const std::string stderr_text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(exit_status, c.exit_status);
  EXPECT_EQ(log.events, c.events);
  expect_counts(stderr_text, c.counts);
  if (c.each_file_saved_once) {
    std::uint64_t bytes = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(fixture_.root)) {
      if (entry.is_regular_file() && entry.path().extension() == ".json") bytes += entry.file_size();
    }
    EXPECT_GT(bytes, 0u);
    expect_counts(stderr_text, {{"checkpoint_bytes", bytes}});
  }

  const std::uint64_t ctx = fresh_context();
  for (const auto& [label, expected] : c.files) {
    EXPECT_EQ(fleet().from_files(ctx, fixture_.root.string(), label), expected) << label;
  }
  vm_context_drop_v1(ctx);
}

std::vector<Step> deliver(const Fleet& fleet, std::uint32_t partition, std::vector<std::string> labels,
                          std::uint64_t first_tag = 1, bool redelivered = false) {
  std::vector<Step> steps;
  for (const auto& label : labels) steps.push_back(FakeBroker::deliver(partition, first_tag++, fleet[label], redelivered));
  return steps;
}

std::vector<Step> concat(std::initializer_list<std::vector<Step>> parts) {
  std::vector<Step> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string corrupt(std::string packet) {
  packet[packet.size() - 1] ^= 0x01;  // the CRC-16 trailer
  return packet;
}

const Case kCases[] = {
    {"ConfirmsWithMultipleAcrossPartitions",
     [](GatewayOptions& o) { o.checkpoint_packets = 3; },
     [](const Fleet& f, LoopFixture&) {
       return std::vector<SessionScript>{
           {concat({deliver(f, 0, {"A1", "A2"}), deliver(f, 1, {"B1", "B2"})})}};
     },
     {"session 1", "fact A1", "fact A2", "fact B1", "ack 10 2 multiple", "ack 11 1 multiple", "fact B2",
      "ack 11 2 multiple", "close"},
     kGatewayStopped,
     {{"A2", "already applied"}, {"A3", "fact"}, {"B2", "already applied"}, {"B3", "fact"}},
     {{"messages_received", 4}, {"facts_decoded", 4}, {"messages_acknowledged", 4}, {"facts_acknowledged", 4},
      {"checkpoints_by_trigger.packets", 1}, {"checkpoints_by_trigger.stop", 1}, {"checkpoint_files", 3},
      {"sessions_started", 1}}},

    {"RejectedPublishGoesAgainBeforeTheAck",
     nullptr,
     [](const Fleet& f, LoopFixture&) {
       SessionScript s{deliver(f, 0, {"A1", "A2", "A3"})};
       s.reject = {2};
       return std::vector<SessionScript>{s};
     },
     {"session 1", "fact A1", "fact A2", "fact A2", "fact A3", "ack 10 3 multiple", "close"},
     kGatewayStopped,
     {{"A3", "already applied"}, {"A4", "fact"}},
     // The publish made again is one fact.
     {{"facts_decoded", 3}, {"facts_acknowledged", 3}, {"checkpoints", 1}}},

    {"CancelWhileStoppingStillFinishesTheCheckpoint",
     nullptr,
     [](const Fleet& f, LoopFixture&) {
       SessionScript s{concat({deliver(f, 0, {"A1"}),
                               {FakeBroker::request_stop(), FakeBroker::cancel(0), FakeBroker::confirm_all()},
                               deliver(f, 0, {"A2"}, 2)})};
       s.confirm_publishes = false;
       return std::vector<SessionScript>{s};
     },
     {"session 1", "fact A1", "ack 10 1 multiple", "close"},
     kGatewayStopped,
     {{"A1", "already applied"}, {"A2", "fact"}},
     {{"messages_received", 2}, {"packets_decoded", 1}, {"messages_acknowledged", 1},
      {"checkpoints_by_trigger.stop", 1}}},

    {"LostConnectionDropsWhatWasNotCheckpointed",
     nullptr,
     [](const Fleet& f, LoopFixture& fixture) {
       SessionScript first{concat({deliver(f, 0, {"A1", "A2"}), {FakeBroker::lose_connection()}})};
       first.confirm_publishes = false;
       const std::string a_file = device_file_path(fixture.root.string(), Fleet::kA);
       // Session 1 decoded partition 0 in context 2^40 + 1 * 2 + 0; it must be gone with the session.
       SessionScript second{concat({{FakeBroker::note([a_file] {
                                      return std::filesystem::exists(a_file) ? "A has a file" : "A has no file";
                                    }),
                                    FakeBroker::note([] {
                                      return vm_context_drop_v1((std::uint64_t{1} << 40) + 2) == 0
                                                 ? "session 1's context gone"
                                                 : "session 1's context held";
                                    })},
                                    deliver(f, 0, {"A1", "A2"}, 1, true), deliver(f, 0, {"A3"}, 3)})};
       return std::vector<SessionScript>{first, second};
     },
     {"session 1", "fact A1", "fact A2", "session 2", "A has no file", "session 1's context gone", "fact A1 redelivered", "fact A2 redelivered",
      "fact A3", "ack 10 3 multiple", "close"},
     kGatewayStopped,
     {{"A3", "already applied"}, {"A4", "fact"}},
     // What the lost session decoded stays decoded and is never acknowledged.
     {{"messages_received", 5}, {"messages_redelivered", 2}, {"facts_decoded", 5}, {"messages_acknowledged", 3},
      {"facts_acknowledged", 3}, {"sessions_started", 2}}},

    {"LockHeldElsewhereHoldsThePartitionsDeliveriesInOrder",
     nullptr,
     [](const Fleet& f, LoopFixture& fixture) {
       std::string error;
       EXPECT_TRUE(fixture.held_elsewhere.try_acquire(fixture.root.string(), "tavkin.packets.0", error)) << error;
       LoopFixture* fx = &fixture;
       return std::vector<SessionScript>{
           {concat({deliver(f, 0, {"A1", "A2"}), deliver(f, 1, {"B1"}),
                    {FakeBroker::note([fx] {
                      fx->held_elsewhere.release();
                      return std::string("lock released");
                    })},
                    deliver(f, 0, {"A3"}, 3)})}};
     },
     {"session 1", "fact B1", "lock released", "fact A1", "fact A2", "fact A3", "ack 10 3 multiple",
      "ack 11 1 multiple", "close"},
     kGatewayStopped,
     {{"A4", "fact"}, {"B2", "fact"}},
     {{"messages_acknowledged", 4}, {"checkpoints", 1}, {"checkpoint_files", 2}},
     true},

    {"RedeliveryAfterACheckpointWhoseAcksWereLostIsAlreadyApplied",
     [](GatewayOptions& o) { o.checkpoint_packets = 2; },
     [](const Fleet& f, LoopFixture&) {
       return std::vector<SessionScript>{
           {concat({deliver(f, 0, {"A1", "A2"}), {FakeBroker::confirm_all(), FakeBroker::lose_connection()}})},
           {concat({deliver(f, 0, {"A1", "A2"}, 1, true), deliver(f, 0, {"A3"}, 3)})}};
     },
     // The redelivered packets make a checkpoint's worth, acknowledged without a publish.
     {"session 1", "fact A1", "fact A2", "ack 10 2 multiple", "session 2", "ack 10 2 multiple", "fact A3",
      "ack 10 3 multiple", "close"},
     kGatewayStopped,
     {{"A3", "already applied"}, {"A4", "fact"}},
     // The checkpoint of packets already applied writes no file.
     {{"messages_received", 5}, {"packets_already_applied", 2}, {"facts_decoded", 3}, {"messages_acknowledged", 5},
      {"packets_acknowledged", 5}, {"facts_acknowledged", 3}, {"checkpoints", 3}, {"checkpoint_files", 2},
      {"sessions_started", 2}}},

    {"BatchWithABadPacketDeadLettersOnlyIt",
     nullptr,
     [](const Fleet& f, LoopFixture&) {
       const std::string bad = corrupt(f["A2"]);
       f.name(bad, "A2 with a bad trailer");
       const std::string_view good_bad_good[] = {f["A1"], bad, f["B1"]};
       // A2 whole, then B2 cut short: what follows A2 is dead.
       std::string broken_batch = frame_batch(std::vector<std::string_view>{f["A2"], f["B2"]});
       broken_batch.resize(broken_batch.size() - 3);
       const std::size_t after_a2 = broken_batch.find(f["A2"]) + f["A2"].size();
       f.name(broken_batch.substr(after_a2), "rest of the batch");
       return std::vector<SessionScript>{{{FakeBroker::deliver(0, 1, frame_batch(good_bad_good)),
                                           FakeBroker::deliver(0, 2, broken_batch)}}};
     },
     {"session 1", "fact A1", "dead crc_mismatch A2 with a bad trailer", "fact B1", "fact A2",
      "dead malformed rest of the batch", "ack 10 2 multiple", "close"},
     kGatewayStopped,
     {{"A3", "fact"}, {"B2", "fact"}},
     {{"messages_received", 2}, {"packets_decoded", 4}, {"facts_decoded", 3}, {"packets_dead.crc_mismatch", 1},
      {"packets_dead.malformed", 1}, {"packets_acknowledged", 4}, {"facts_acknowledged", 3}}},

    {"FailedSaveAcknowledgesNothing",
     nullptr,
     [](const Fleet& f, LoopFixture& fixture) {
       // A directory where A's file goes: the save cannot rename over it.
       std::filesystem::create_directories(device_file_path(fixture.root.string(), Fleet::kA));
       return std::vector<SessionScript>{{concat({deliver(f, 0, {"A1"}), deliver(f, 1, {"B1"})})}};
     },
     // B's file was written, A's could not be: the broker delivers both again, and B1 is
     // already applied.
     {"session 1", "fact A1", "fact B1"},
     kGatewayWorkLeft,
     {{"A1", "fact"}, {"B1", "already applied"}},
     {{"facts_decoded", 2}, {"messages_acknowledged", 0}, {"checkpoints", 0}, {"checkpoints_failed", 1}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, GatewayLoop, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace tavkin
