// The typed receive against the decompress request: twin contexts fed the same spoiled
// fleet stream give the same facts byte for byte, the outcomes the request's error texts
// stand for, and (with deferred saves, once saved) the same registry files. Then what only
// the typed receive does: framing, packets applied once across a save and a restart,
// deferred saves that fail, and contexts dropped on demand.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "receive_support.h"

namespace {

using namespace requests;

// The outcome the decompress request's answer stands for; `known`: whether the receiving
// context holds values of the packet's template.
int32_t outcome_of_answer(const std::string& answer, bool known) {
  if (answer.rfind("{\"__packet_meta__\":", 0) == 0) {
    if (answer.ends_with(",\"error\":\"CRC16 mismatch\"}")) return VM_RECEIVE_CRC_MISMATCH;
    if (answer.ends_with(",\"error\":\"state_mismatch\"}")) return VM_RECEIVE_STATE_MISMATCH;
    return VM_RECEIVED;
  }
  static const std::map<std::string, int32_t> kErrors = {
      {R"({"error":"Packet too short"})", VM_RECEIVE_MALFORMED},
      {R"({"error":"Incomplete Binary Header"})", VM_RECEIVE_MALFORMED},
      {R"({"error":"unknown_command"})", VM_RECEIVE_MALFORMED},
      {R"({"error":"invalid_json"})", VM_RECEIVE_MALFORMED},
  };
  if (answer == R"({"error":"fusion_receive_apply_failed"})") return known ? VM_RECEIVE_NOT_APPLICABLE : VM_RECEIVE_UNKNOWN_TEMPLATE;
  const auto it = kErrors.find(answer);
  return it == kErrors.end() ? -1 : it->second;
}

struct Header {
  bool read = false;
  std::uint8_t base_cmd = 0, tid = 0;
  std::uint32_t aid = 0;
  std::uint64_t timestamp = 0;
};

Header header_of(std::string_view packet) {
  std::uint64_t h[9] = {};
  Header out;
  out.read = vm_parse_header_min(bytes_of(packet), packet.size(), h, 9) == 1;
  if (out.read) {
    out.base_cmd = static_cast<std::uint8_t>(h[1]);
    out.aid = static_cast<std::uint32_t>(h[5]);
    out.tid = static_cast<std::uint8_t>(h[6]);
    out.timestamp = h[7];
  }
  return out;
}

// Every file under `root`, by its path below it, with its bytes.
std::map<std::string, std::string> files_under(const std::filesystem::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    out[std::filesystem::relative(entry.path(), root).string()] = s.str();
  }
  return out;
}

struct TwinCase {
  const char* name;
  bool state_check;
  bool framed;  // all packets in one vm_receive_packets_v1 call, else one vm_receive_packet_v1 call each
};

class TwinReceivers : public ::testing::TestWithParam<TwinCase> {};

TEST_P(TwinReceivers, GiveTheDecompressRequestsFactsOutcomesAndFiles) {
  const TwinCase& c = GetParam();
  const std::vector<std::string> packets = spoiled_fleet_packets(12, 120, c.state_check, 20'240'611);
  const ScratchRoot request_root(std::string("twin_request_") + c.name), typed_root(std::string("twin_typed_") + c.name);
  const std::uint64_t request_ctx = fresh_ctx(), typed_ctx = fresh_ctx();
  const std::uint32_t flags = VM_RECEIVE_DEFER_SAVE | (c.state_check ? VM_RECEIVE_STATE_CHECK : 0u);

  std::vector<Received> typed;
  if (c.framed) {
    typed = receive_all(typed_ctx, packets, flags, typed_root.str());
  } else {
    for (const std::string& p : packets) typed.push_back(receive_one(typed_ctx, p, flags, typed_root.str()));
  }
  ASSERT_EQ(typed.size(), packets.size());

  std::set<std::pair<std::uint32_t, std::uint8_t>> known;  // templates whose full packet gave a fact
  std::map<int32_t, int> seen;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    SCOPED_TRACE("packet " + std::to_string(i) + ": " + to_hex(packets[i]));
    const std::string answer =
        call(vm_fusion_decompress_json_v1, decompress_json(request_ctx, packets[i], request_root.str(), c.state_check))
            .bytes;
    const Header h = header_of(packets[i]);
    const int32_t expected = outcome_of_answer(answer, known.contains({h.aid, h.tid}));
    ASSERT_NE(expected, -1) << answer;
    const Received& got = typed[i];
    EXPECT_EQ(got.outcome, expected) << answer;
    ++seen[got.outcome];
    EXPECT_EQ(got.has_fact, expected == VM_RECEIVED);
    if (expected == VM_RECEIVED) {
      EXPECT_EQ(got.fact, answer);
      if (h.base_cmd == 63) known.insert({h.aid, h.tid});
    }
    EXPECT_EQ(got.command, h.base_cmd);
    EXPECT_EQ(got.tid, h.tid);
    EXPECT_EQ(got.source_aid, h.aid);
    EXPECT_EQ(got.timestamp, h.timestamp);
  }
  // The stream holds every kind of packet this case can meet.
  for (int32_t kind : {VM_RECEIVED, VM_RECEIVE_UNKNOWN_TEMPLATE, VM_RECEIVE_CRC_MISMATCH, VM_RECEIVE_MALFORMED})
    EXPECT_GT(seen[kind], 0) << "outcome " << kind;
  EXPECT_GT(seen[c.state_check ? VM_RECEIVE_STATE_MISMATCH : VM_RECEIVE_NOT_APPLICABLE], 0);

  EXPECT_TRUE(files_under(typed_root.path()).empty()) << "deferred saves wrote files";
  const std::string root = typed_root.str();
  const std::map<std::string, std::string> request_files = files_under(request_root.path());
  EXPECT_GE(request_files.size(), 10u);
  EXPECT_EQ(vm_context_save_v1(typed_ctx, bytes_of(root), root.size(), 0), static_cast<int32_t>(request_files.size()));
  EXPECT_EQ(files_under(typed_root.path()), request_files);
  EXPECT_EQ(vm_context_save_v1(typed_ctx, bytes_of(root), root.size(), 0), 0) << "nothing changed since";
}

INSTANTIATE_TEST_SUITE_P(Fleet, TwinReceivers,
                         ::testing::Values(TwinCase{"plain_one_by_one", false, false},
                                           TwinCase{"plain_framed", false, true},
                                           TwinCase{"checked_one_by_one", true, false},
                                           TwinCase{"checked_framed", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A full packet of device 7, template 24, then a heartbeat and a difference of it.
struct DevicePackets {
  std::string full, heartbeat, diff;
};

DevicePackets device_packets(std::uint32_t aid = 7) {
  const std::uint64_t sender = fresh_ctx();
  DevicePackets p;
  p.full = run({sender, "n.s." + ts_text(1) + "|t>0.c:5|", "", aid});
  p.heartbeat = run({sender, "n.s." + ts_text(2) + "|t>0.c:5|", "", aid});
  p.diff = run({sender, "n.s." + ts_text(3) + "|t>0.c:6|", "", aid});
  EXPECT_EQ(static_cast<unsigned char>(p.heartbeat[0]), 127);
  EXPECT_EQ(static_cast<unsigned char>(p.diff[0]), 170);
  return p;
}

TEST(ReceiveFraming, BrokenFramingCallsBackTheEntriesBeforeTheBreak) {
  const DevicePackets p = device_packets();
  const std::string whole = framed({p.full, p.heartbeat});
  struct Case {
    const char* name;
    std::string input;
    int32_t result;
    std::size_t called;
  };
  const Case cases[] = {
      {"empty", "", 0, 0},
      {"two whole entries", whole, 2, 2},
      {"a length word cut short", whole + std::string("\0\0", 2), -1, 2},
      {"bytes cut short", whole.substr(0, whole.size() - 1), -1, 1},
      {"a length past the end", std::string("\xff\xff\xff\xff", 4) + p.full, -1, 0},
      {"an empty entry", std::string(4, '\0'), 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Received> got;
    EXPECT_EQ(vm_receive_packets_v1(fresh_ctx(), nullptr, 0, 0, bytes_of(c.input), c.input.size(), collect, &got),
              c.result);
    EXPECT_EQ(got.size(), c.called);
  }
  std::vector<Received> got;
  ASSERT_EQ(vm_receive_packets_v1(fresh_ctx(), nullptr, 0, 0, bytes_of(whole), whole.size(), collect, &got), 2);
  EXPECT_EQ(got[0].outcome, VM_RECEIVED);
  EXPECT_EQ(got[1].outcome, VM_RECEIVED) << "the heartbeat met the template of the full packet before it";
}

TEST(ReceiveBoundary, NullPointersCallNothing) {
  const DevicePackets p = device_packets();
  std::vector<Received> got;
  const std::string root = "unused";
  EXPECT_EQ(vm_receive_packet_v1(1, nullptr, 0, 0, bytes_of(p.full), p.full.size(), nullptr, &got), 0);
  EXPECT_EQ(vm_receive_packet_v1(1, nullptr, 0, 0, nullptr, 5, collect, &got), 0);
  EXPECT_EQ(vm_receive_packet_v1(1, nullptr, 3, 0, bytes_of(p.full), p.full.size(), collect, &got), 0);
  EXPECT_EQ(vm_receive_packets_v1(1, nullptr, 0, 0, bytes_of(p.full), p.full.size(), nullptr, &got), 0);
  EXPECT_EQ(vm_receive_packets_v1(1, nullptr, 0, 0, nullptr, 5, collect, &got), 0);
  EXPECT_EQ(vm_receive_packets_v1(1, nullptr, 3, 0, bytes_of(p.full), p.full.size(), collect, &got), 0);
  EXPECT_TRUE(got.empty());
  // An empty packet is a packet too short, with or without a pointer.
  EXPECT_EQ(vm_receive_packet_v1(fresh_ctx(), nullptr, 0, 0, nullptr, 0, collect, &got), 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].outcome, VM_RECEIVE_MALFORMED);
  EXPECT_EQ(got[0].command, 0);
  EXPECT_FALSE(got[0].has_fact);
}

// A callback that receives again, on the same context, while the fact it was given is
// still to be read: the inner call must not overwrite it.
TEST(ReceiveCallback, MayReceiveAgainWhileItsFactIsStillToBeRead) {
  const DevicePackets p = device_packets();
  const std::uint64_t ctx = fresh_ctx();
  (void)receive_one(ctx, p.full, 0);
  struct Nested {
    std::uint64_t ctx;
    std::string heartbeat;
    std::string outer_before, outer_after, inner;
  } nested{ctx, p.heartbeat, {}, {}, {}};
  const auto outer = [](void* user, const vm_received_v1* r) {
    auto& n = *static_cast<Nested*>(user);
    n.outer_before.assign(reinterpret_cast<const char*>(r->fact), r->fact_len);
    std::vector<Received> inner;
    vm_receive_packet_v1(n.ctx, nullptr, 0, 0, bytes_of(n.heartbeat), n.heartbeat.size(), collect, &inner);
    n.inner = inner.at(0).fact;
    n.outer_after.assign(reinterpret_cast<const char*>(r->fact), r->fact_len);
  };
  ASSERT_EQ(vm_receive_packet_v1(ctx, nullptr, 0, 0, bytes_of(p.diff), p.diff.size(), outer, &nested), 1);
  EXPECT_NE(nested.outer_before.find("\"s1_v\":0.0006"), std::string::npos) << nested.outer_before;
  EXPECT_EQ(nested.outer_after, nested.outer_before);
  EXPECT_NE(nested.inner, nested.outer_before) << "the heartbeat has a fact of its own (another timestamp)";
}

// The redelivery a gateway meets: packets applied and saved, the host gone before it
// acknowledged them, and the same packets delivered again to a fresh context.
TEST(ReceiveOnce, PacketsDeliveredAgainAfterASaveAndARestartAreNotAppliedTwice) {
  const ScratchRoot scratch("once_redelivery");
  const std::string root = scratch.str();
  const DevicePackets p = device_packets();
  const std::uint32_t flags = VM_RECEIVE_DEFER_SAVE | VM_RECEIVE_ONCE;
  const std::uint64_t first = fresh_ctx();
  for (const Received& r : receive_all(first, {p.full, p.heartbeat, p.diff}, flags, root))
    EXPECT_EQ(r.outcome, VM_RECEIVED);
  ASSERT_EQ(vm_context_save_v1(first, bytes_of(root), root.size(), VM_SAVE_FSYNC), 1);
  const std::string saved = scratch.read(7);
  EXPECT_NE(saved.find("\"applied_packets\""), std::string::npos);

  const std::uint64_t second = fresh_ctx();  // the host started again: only the files remain
  for (const Received& r : receive_all(second, {p.diff, p.full, p.heartbeat}, flags, root)) {
    EXPECT_EQ(r.outcome, VM_RECEIVE_ALREADY_APPLIED);
    EXPECT_FALSE(r.has_fact);
    EXPECT_EQ(r.source_aid, 7u);
  }
  EXPECT_EQ(vm_context_save_v1(second, bytes_of(root), root.size(), 0), 0) << "nothing changed";
  EXPECT_EQ(scratch.read(7), saved);
  // Without the flag the same packet is simply applied (a difference met twice is refused
  // by a checking receiver instead, and marks its template diverged).
  EXPECT_EQ(receive_one(second, p.heartbeat, VM_RECEIVE_DEFER_SAVE, root).outcome, VM_RECEIVED);
}

TEST(ReceiveOnce, ADifferenceMetAgainDoesNotMarkItsTemplateDivergedUnderTheStateCheck) {
  const std::uint64_t sender = fresh_ctx(), receiver = fresh_ctx();
  std::vector<std::string> packets;
  for (int i = 0; i < 3; ++i) {
    RunRequest r{sender, "n.s." + ts_text(10 + i) + "|t>0.c:" + std::to_string(i) + "|", "", 9u};
    r.state_check = true;
    packets.push_back(run(r));
  }
  const std::uint32_t flags = VM_RECEIVE_ONCE | VM_RECEIVE_STATE_CHECK;
  EXPECT_EQ(receive_one(receiver, packets[0], flags).outcome, VM_RECEIVED);
  EXPECT_EQ(receive_one(receiver, packets[1], flags).outcome, VM_RECEIVED);
  EXPECT_EQ(receive_one(receiver, packets[1], flags).outcome, VM_RECEIVE_ALREADY_APPLIED);
  EXPECT_EQ(receive_one(receiver, packets[2], flags).outcome, VM_RECEIVED);
}

TEST(ReceiveOnce, RemembersTheLastWindowOfPacketsAppliedToADevice) {
  const std::uint64_t sender = fresh_ctx(), receiver = fresh_ctx();
  std::vector<std::string> heartbeats;  // one template, same values, new timestamps
  for (int i = 0; i <= VM_RECEIVE_ONCE_WINDOW + 1; ++i)
    heartbeats.push_back(run({sender, "n.s." + ts_text(100 + i) + "|t>0.c:1|", "", 11u}));
  ASSERT_EQ(static_cast<unsigned char>(heartbeats[0][0]), 63);
  // Another device's packets take no room in this device's window.
  const DevicePackets other = device_packets(12);
  for (const std::string& p : {other.full, other.heartbeat, other.diff})
    EXPECT_EQ(receive_one(receiver, p, VM_RECEIVE_ONCE).outcome, VM_RECEIVED);
  for (int i = 0; i < VM_RECEIVE_ONCE_WINDOW; ++i)
    EXPECT_EQ(receive_one(receiver, heartbeats[static_cast<std::size_t>(i)], VM_RECEIVE_ONCE).outcome, VM_RECEIVED) << i;
  EXPECT_EQ(receive_one(receiver, heartbeats[0], VM_RECEIVE_ONCE).outcome, VM_RECEIVE_ALREADY_APPLIED)
      << "the window holds the last VM_RECEIVE_ONCE_WINDOW packets";
  EXPECT_EQ(receive_one(receiver, heartbeats[VM_RECEIVE_ONCE_WINDOW], VM_RECEIVE_ONCE).outcome, VM_RECEIVED);
  EXPECT_EQ(receive_one(receiver, heartbeats[1], VM_RECEIVE_ONCE).outcome, VM_RECEIVE_ALREADY_APPLIED);
  EXPECT_EQ(receive_one(receiver, heartbeats[0], VM_RECEIVE_ONCE).outcome, VM_RECEIVED) << "pushed out of the window";
  EXPECT_EQ(receive_one(receiver, other.diff, VM_RECEIVE_ONCE).outcome, VM_RECEIVE_ALREADY_APPLIED);
}

TEST(ReceiveOnce, RefusedPacketsAreNotRemembered) {
  const DevicePackets p = device_packets();
  const std::uint64_t receiver = fresh_ctx();
  EXPECT_EQ(receive_one(receiver, p.heartbeat, VM_RECEIVE_ONCE).outcome, VM_RECEIVE_UNKNOWN_TEMPLATE);
  EXPECT_EQ(receive_one(receiver, p.full, VM_RECEIVE_ONCE).outcome, VM_RECEIVED);
  EXPECT_EQ(receive_one(receiver, p.heartbeat, VM_RECEIVE_ONCE).outcome, VM_RECEIVED);
}

TEST(DeferredSave, OnlyChangedDevicesAreWrittenAndHeartbeatsUnderOnceChangeTheirDevice) {
  const ScratchRoot scratch("deferred_changed");
  const std::string root = scratch.str();
  const DevicePackets a = device_packets(21), b = device_packets(22);
  const std::uint64_t ctx = fresh_ctx();
  (void)receive_all(ctx, {a.full, b.full}, VM_RECEIVE_DEFER_SAVE, root);
  EXPECT_EQ(vm_context_save_v1(ctx, bytes_of(root), root.size(), 0), 2);
  EXPECT_EQ(receive_one(ctx, a.heartbeat, VM_RECEIVE_DEFER_SAVE, root).outcome, VM_RECEIVED);
  EXPECT_EQ(vm_context_save_v1(ctx, bytes_of(root), root.size(), 0), 0) << "a plain heartbeat changes nothing";
  EXPECT_EQ(receive_one(ctx, b.diff, VM_RECEIVE_DEFER_SAVE, root).outcome, VM_RECEIVED);
  EXPECT_EQ(receive_one(ctx, a.heartbeat, VM_RECEIVE_DEFER_SAVE | VM_RECEIVE_ONCE, root).outcome, VM_RECEIVED);
  std::filesystem::remove(scratch.file_of(21));
  std::filesystem::remove(scratch.file_of(22));
  EXPECT_EQ(vm_context_save_v1(ctx, bytes_of(root), root.size(), VM_SAVE_FSYNC), 2);
  EXPECT_NE(scratch.read(21).find("\"applied_packets\""), std::string::npos);
  EXPECT_EQ(scratch.read(22).find("\"applied_packets\""), std::string::npos) << "no packet remembered, no member";
  EXPECT_EQ(vm_context_save_v1(fresh_ctx(), bytes_of(root), root.size(), 0), 0) << "a context not held";
}

TEST(DeferredSave, AFailedSaveKeepsItsDevicesChangedUntilASaveSucceeds) {
  const ScratchRoot scratch("deferred_failure");
  const std::string blocked = (scratch.path() / "a_file").string(), good = (scratch.path() / "dir").string();
  std::ofstream(blocked) << "not a directory";
  const DevicePackets p = device_packets(31);
  const std::uint64_t ctx = fresh_ctx();
  EXPECT_EQ(receive_one(ctx, p.full, VM_RECEIVE_DEFER_SAVE, blocked).outcome, VM_RECEIVED);
  const std::uint64_t failures = vm_registry_save_failures_v1();
  EXPECT_EQ(vm_context_save_v1(ctx, bytes_of(blocked), blocked.size(), VM_SAVE_FSYNC), -1);
  EXPECT_EQ(vm_registry_save_failures_v1(), failures + 1);
  EXPECT_EQ(vm_context_save_v1(ctx, nullptr, 0, 0), -1) << "no root: the device still waits";
  EXPECT_EQ(vm_context_save_v1(ctx, bytes_of(good), good.size(), VM_SAVE_FSYNC), 1);
  EXPECT_EQ(vm_context_save_v1(ctx, bytes_of(good), good.size(), 0), 0);
  EXPECT_EQ(vm_context_save_v1(ctx, nullptr, 0, 0), 0) << "nothing waits";
}

TEST(ContextDrop, ForgetsUnsavedTemplatesAndTheNextCallLoadsTheFiles) {
  const ScratchRoot scratch("drop");
  const std::string root = scratch.str();
  const DevicePackets p = device_packets(41);
  const std::uint64_t ctx = fresh_ctx();
  EXPECT_EQ(vm_context_drop_v1(ctx), 0) << "never held";
  EXPECT_EQ(receive_one(ctx, p.full, VM_RECEIVE_DEFER_SAVE, root).outcome, VM_RECEIVED);
  EXPECT_EQ(vm_context_drop_v1(ctx), 1);
  EXPECT_EQ(vm_context_drop_v1(ctx), 0);
  EXPECT_EQ(receive_one(ctx, p.heartbeat, VM_RECEIVE_DEFER_SAVE, root).outcome, VM_RECEIVE_UNKNOWN_TEMPLATE)
      << "the unsaved template went with the context";
  EXPECT_EQ(vm_context_save_v1(ctx, bytes_of(root), root.size(), 0), 0) << "the fresh context changed nothing";

  EXPECT_EQ(receive_one(ctx, p.full, VM_RECEIVE_DEFER_SAVE, root).outcome, VM_RECEIVED);
  EXPECT_EQ(vm_context_save_v1(ctx, bytes_of(root), root.size(), 0), 1);
  EXPECT_EQ(vm_context_drop_v1(ctx), 1);
  EXPECT_EQ(receive_one(ctx, p.heartbeat, VM_RECEIVE_DEFER_SAVE, root).outcome, VM_RECEIVED) << "loaded from its file";
  // Contexts 0 and 1 are one context.
  EXPECT_EQ(receive_one(0, p.full, 0).outcome, VM_RECEIVED);
  EXPECT_EQ(vm_context_drop_v1(1), 1);
  EXPECT_EQ(vm_context_drop_v1(0), 0);
}

// A callback that drops its own context mid-batch: the batch finishes on the templates it
// holds, and the next call starts afresh.
TEST(ContextDrop, ABatchHoldingTheContextFinishesOnIt) {
  const DevicePackets p = device_packets(42);
  const std::uint64_t ctx = fresh_ctx();
  struct Dropper {
    std::uint64_t ctx;
    std::vector<Received> got;
  } dropper{ctx, {}};
  const auto drop_then_collect = [](void* user, const vm_received_v1* r) {
    auto& d = *static_cast<Dropper*>(user);
    if (d.got.empty()) {
      EXPECT_EQ(vm_context_drop_v1(d.ctx), 1);
    }
    collect(&d.got, r);
  };
  const std::string in = framed({p.full, p.heartbeat});
  ASSERT_EQ(vm_receive_packets_v1(ctx, nullptr, 0, 0, bytes_of(in), in.size(), drop_then_collect, &dropper), 2);
  EXPECT_EQ(dropper.got[1].outcome, VM_RECEIVED);
  EXPECT_EQ(receive_one(ctx, p.heartbeat, 0).outcome, VM_RECEIVE_UNKNOWN_TEMPLATE);
}

}  // namespace
