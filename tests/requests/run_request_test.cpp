// The run request (and relay, the same entry): one compact fact in a JSON request becomes
// one framed packet, fused against the templates of the request's context.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "request_support.h"

namespace {

using namespace requests;
namespace fs = std::filesystem;

constexpr const char* kFact = "n.s.AAAAAAAA|r>s.u:1|";  // one reading: two values

std::uint8_t command_of(const std::string& packet) {
  return packet.empty() ? 0 : static_cast<std::uint8_t>(packet[0]);
}
std::uint32_t aid_of(const std::string& packet) {
  std::uint32_t aid = 0;
  for (int i = 2; i < 6; ++i) aid = aid << 8 | static_cast<unsigned char>(packet[i]);
  return aid;
}

// The worked example: a 63-byte fact behind the routing prefix of device 305419896.
TEST(RunRequest, WorkedExampleFullThenHeartbeatThenForcedFullThenDiff) {
  const std::string raw = "305419896;node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|";
  ASSERT_EQ(raw.size(), 63u);
  const std::string request = "{\"raw_input\":" + json_string(raw) + ",\"ctx_id\":" + std::to_string(fresh_ctx()) + "}";

  const Answer full = call(vm_fusion_run_json_v1, request);
  ASSERT_EQ(full.result, 79);
  EXPECT_EQ(full.bytes, hex("3F 01 12 34 56 78 18 01 8B CF E5 68 00") + raw + hex("B0 FF 46"));
  EXPECT_TRUE(full.junk_intact);

  const Answer heartbeat = call(vm_fusion_run_json_v1, request);
  ASSERT_EQ(heartbeat.result, 16);
  EXPECT_EQ(heartbeat.bytes, hex("7F 01 12 34 56 78 18 01 8B CF E5 68 00 00 5F E7"));

  std::string forced = request;
  forced.insert(1, "\"strategy\":\"full\",");
  EXPECT_EQ(call(vm_fusion_run_json_v1, forced).bytes, full.bytes);

  // Value 1 ("yG" -> "yH") changed and the timestamp moved by one millisecond.
  std::string changed = request;
  changed.replace(changed.find("AYvP5WgA|t1>0.c1:yG"), 19, "AYvP5WgB|t1>0.c1:yH");
  EXPECT_EQ(call(vm_fusion_run_json_v1, changed).bytes,
            frame(170, {305419896}, 24, 1700000000001, hex("02") + hex("02") + "yH"));
}

TEST(RunRequest, DeviceIdFromSrcAidOrRoutingPrefix) {
  const struct {
    std::string prefix;  // put in front of kFact
    std::string src_aid;  // JSON value, or "" to leave the key out
    std::uint32_t aid;
  } kCases[] = {
      {"  42 ;", "", 42},
      {"+42;", "", 42},
      {"00042;", "", 42},
      {"\u00A0\u3000 42\u2029;", "", 42},  // Unicode white space around the digits
      {"4294967295;", "", 4294967295u},
      {"4294967296;", "", 0},  // overflow
      {"++42;", "", 0},
      {"-1;", "", 0},
      {"4 2;", "", 0},
      {"abc;", "", 0},
      {";", "", 0},
      {"+;", "", 0},
      {"", "", 0},  // no ";" at all
      {"42;", "7", 7},
      {"42;", "0", 0},
      {"42;", "null", 42},
      {"", "4294967295", 4294967295u},
  };
  for (const auto& c : kCases) {
    std::string request = "{\"ctx_id\":" + std::to_string(fresh_ctx()) + ",\"raw_input\":" + json_string(c.prefix + kFact);
    if (!c.src_aid.empty()) request += ",\"src_aid\":" + c.src_aid;
    request += "}";
    const Answer a = call(vm_fusion_run_json_v1, request);
    ASSERT_EQ(a.result, static_cast<int32_t>(c.prefix.size() + std::string(kFact).size() + 16)) << request;
    EXPECT_EQ(aid_of(a.bytes), c.aid) << request;
    EXPECT_EQ(a.bytes.substr(13, a.bytes.size() - 16), c.prefix + kFact) << "the body is raw_input whole";
  }
}

TEST(RunRequest, StrategyForcesAFullPacketOnlyForFullOrFullPacket) {
  const struct {
    const char* strategy;
    std::uint8_t command;  // of the second, unchanged fact
  } kCases[] = {
      {"full", 63}, {"FULL_PACKET", 63}, {"Full", 63}, {"fUlL_pAcKeT", 63},
      {"", 127}, {"full packet", 127}, {"fullx", 127}, {"full_packet ", 127}, {" full", 127},
      {"diff", 127}, {"FULL\u0130", 127},
  };
  for (const auto& c : kCases) {
    RunRequest r{fresh_ctx(), std::string("9;") + kFact};
    ASSERT_EQ(command_of(run(r)), 63);
    r.strategy = c.strategy;
    const std::string second = run(r);
    EXPECT_EQ(command_of(second), c.command) << c.strategy;
    if (c.command == 63) {
      EXPECT_EQ(second.substr(13, second.size() - 16), r.raw_input);
    }
  }
}

// Request texts that are not a FusionRunReq, and ones that are.
TEST(RunRequest, RequestRecordRules) {
  const ScratchRoot root("run_record");
  const std::string f = json_string(std::string("42;") + kFact);
  const std::string r = json_string(root.str());
  const std::string kInvalid = R"({"error":"invalid_json"})";
  const std::vector<std::string> kRejected = {
      "not json", "{", "[]", "{}", "[0]", "null", "\"raw\"", f,
      "{\"raw_input\":1}",
      "{\"raw_input\":null}",
      "{\"raw_input\":" + f + ",\"raw_input\":" + f + "}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"ctx_id\":-1}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"ctx_id\":1.0}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"ctx_id\":1e2}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"ctx_id\":\"1\"}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"ctx_id\":18446744073709551616}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"ctx_id\":null}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"src_aid\":4294967296}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"src_aid\":-1}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"src_aid\":\"7\"}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"strategy\":1}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"strategy\":null}",
      "{\"raw_input\":" + f + ",\"registry_root\":5}",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + "} x",
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"src_aid\":1,\"src_aid\":1}",
      "{\"zz\":1,\"zz\":2,\"raw_input\":" + f + ",\"registry_root\":" + r + "}",  // an unknown key twice
      "{\"a\":0,\"b\":0,\"c\":0,\"d\":0,\"e\":0,\"f\":0,\"g\":0,\"h\":0,\"i\":0,\"raw_input\":" + f +
          ",\"registry_root\":" + r + ",\"a\":0}",  // the repeat among many unknown keys
      "[1," + f + ",\"\",null," + r + ",0]",  // six values
      "[1]",
      "{\"raw_input\":\"42;n.s.AAAAAAAA|\xFF|\",\"registry_root\":" + r + "}",  // not UTF-8
      "{\"raw_input\":" + f + ",\"registry_root\":" + r + ",\"x\":" + std::string(129, '[') + std::string(129, ']') + "}",
  };
  for (const auto& request : kRejected) {
    const Answer a = call(vm_fusion_run_json_v1, request);
    EXPECT_EQ(a.result, 24) << request;
    EXPECT_EQ(a.bytes, kInvalid) << request;
    EXPECT_EQ(call(vm_fusion_run_json_v1, request, 23).result, -24) << request;
  }
  EXPECT_TRUE(fs::is_empty(root.path())) << "a rejected request touches no file";

  const std::uint64_t ctx = fresh_ctx();
  const std::string c = std::to_string(ctx);
  const std::vector<std::string> kAccepted = {
      "[" + c + "," + f + "]",
      "[" + c + "," + f + ",\"\",null,null]",
      " \t\r\n{\"raw_input\":" + f + ",\"ctx_id\":" + c + ",\"other\":{\"a\":[1,{\"b\":null}]},\"src_aid\":null} \n",
      "{\"raw_input\":" + f + ",\"ctx_id\":" + c + ",\"registry_root\":null,\"Raw_input\":3}",
      "{\"raw_input\":" + f + ",\"ctx_id\":" + c + ",\"x\":{\"a\":1,\"a\":2}}",  // repeats inside a skipped value
  };
  std::vector<std::uint8_t> commands;
  for (const auto& request : kAccepted) {
    const Answer a = call(vm_fusion_run_json_v1, request);
    ASSERT_GT(a.result, 0) << request;
    commands.push_back(command_of(a.bytes));
    EXPECT_EQ(aid_of(a.bytes), 42u) << request;
  }
  EXPECT_EQ(commands, (std::vector<std::uint8_t>{63, 127, 127, 127, 127})) << "all in one context";
  EXPECT_GT(call(vm_fusion_run_json_v1, "{\"ctx_id\":18446744073709551615,\"raw_input\":" + f + "}").result, 0);
}

TEST(RunRequest, JsonEscapesInRawInputAreResolved) {
  const std::string request = "{\"ctx_id\":" + std::to_string(fresh_ctx()) +
                              R"(,"raw_input":"\u0034\u0032;n.s.AAAAAAAA|r\u003es.u:\u0031|\ud83d\ude00"})";
  const std::string packet = call(vm_fusion_run_json_v1, request).bytes;
  EXPECT_EQ(packet, frame(63, {42}, 24, 0, "42;n.s.AAAAAAAA|r>s.u:1|\xF0\x9F\x98\x80"));
}

TEST(RunRequest, UndecomposableFactAnswersItsErrorAndTouchesNothing) {
  const ScratchRoot root("run_undecomposable");
  for (const char* raw : {"no bar", "ab|x", "42;n.s.T", "42;", "n.s.T;x>y:1|", ""}) {
    RunRequest r{fresh_ctx(), raw};
    r.registry_root = root.str();
    const Answer a = call(vm_fusion_run_json_v1, r.json());
    EXPECT_EQ(a.result, 33) << raw;
    EXPECT_EQ(a.bytes, R"({"error":"auto_decompose_failed"})") << raw;
    EXPECT_EQ(call(vm_fusion_run_json_v1, r.json(), 32).result, -33);
  }
  EXPECT_TRUE(fs::is_empty(root.path()));
}

// A packet that cannot be framed answers 0, but the encoder's work and the registry write
// it asked for stand: the same fact with a good timestamp is then a heartbeat.
// A fact that no packet can carry answers 0 and changes nothing: no template, no file.
TEST(RunRequest, UnframeableTimestampAnswersZeroAndChangesNothing) {
  for (const char* bad_ts : {"AAAA", "A!AAAAAA", "AAAAAAAA=", ""}) {
    const ScratchRoot root("run_bad_ts");
    RunRequest r{fresh_ctx(), std::string("5;n.s.") + bad_ts + "|r>s.u:1|"};
    r.registry_root = root.str();
    EXPECT_EQ(call(vm_fusion_run_json_v1, r.json()).result, 0) << bad_ts;
    EXPECT_FALSE(fs::exists(root.file_of(5))) << bad_ts;
    r.raw_input = std::string("5;") + kFact;
    EXPECT_EQ(run(r), frame(63, {5}, 24, 0, r.raw_input)) << bad_ts;
  }
}

// Numbers above 255 cannot travel: the 233rd signature of a device takes the number of
// its least recently used template, and the file keeps 232 templates.
TEST(RunRequest, TemplateNumbersAreRecycledWithinOneByte) {
  const ScratchRoot root("run_tid256");
  RunRequest r{fresh_ctx(), ""};
  r.src_aid = 77;
  r.registry_root = root.str();
  for (int i = 0; i < 232; ++i) {
    r.raw_input = "n.s.AAAAAAAA|r" + std::to_string(i) + ">s.u:1|";
    const std::string p = run(r);
    ASSERT_EQ(command_of(p), 63) << i;
    ASSERT_EQ(static_cast<unsigned char>(p[6]), 24 + i);
  }
  r.raw_input = "n.s.AAAAAAAA|r0>s.u:1|";
  ASSERT_EQ(command_of(run(r)), 127);
  r.raw_input = "n.s.AAAAAAAA|r232>s.u:1|";
  EXPECT_EQ(run(r), frame(63, {77}, 25, 0, r.raw_input)) << "r1's number: the least recently used";
  EXPECT_EQ(root.read(77).find("\"256\""), std::string::npos);
  EXPECT_EQ(root.read(77).find("r1>"), std::string::npos) << "the old signature is forgotten";
  EXPECT_EQ(command_of(run(r)), 127);
}

// A changed value longer than 255 bytes gets no packet and leaves the stored values as
// they were; a forced full packet carries it.
TEST(RunRequest, OverlongChangedValueAnswersZeroUntilForcedFull) {
  RunRequest r{fresh_ctx(), std::string("3;") + kFact};
  ASSERT_EQ(command_of(run(r)), 63);
  r.raw_input = "3;n.s.AAAAAAAA|r>s.u:" + std::string(256, 'z') + "|";
  EXPECT_EQ(call(vm_fusion_run_json_v1, r.json()).result, 0);
  r.raw_input = std::string("3;") + kFact;
  EXPECT_EQ(command_of(run(r)), 127) << "the refused change was not stored";
  r.raw_input = "3;n.s.AAAAAAAA|r>s.u:" + std::string(256, 'z') + "|";
  r.strategy = "full";
  EXPECT_EQ(run(r), frame(63, {3}, 24, 0, r.raw_input));
}

// An answer that does not fit still changed the context and the registry file; its packet
// was not handed out, so the retry sends it again, whole.
TEST(RunRequest, AnswerThatDoesNotFitStillChangesContextAndFile) {
  const ScratchRoot root("run_no_fit");
  RunRequest r{fresh_ctx(), std::string("305419896;") + kFact};
  r.registry_root = root.str();
  const auto length = static_cast<int32_t>(r.raw_input.size() + 16);
  for (std::size_t cap : {std::size_t{0}, static_cast<std::size_t>(length - 1)}) {
    const ScratchRoot fresh_root("run_no_fit_cap");
    r.ctx_id = fresh_ctx();
    r.registry_root = fresh_root.str();
    const Answer a = call(vm_fusion_run_json_v1, r.json(), cap);
    EXPECT_EQ(a.result, -length);
    EXPECT_TRUE(a.junk_intact);
    EXPECT_NE(fresh_root.read(305419896).find("\"24\""), std::string::npos);
    EXPECT_EQ(call(vm_fusion_run_json_v1, r.json()).result, length) << "the retry is the full packet";
  }
  EXPECT_EQ(vm_fusion_run_json_v1(reinterpret_cast<const uint8_t*>(r.json().data()), r.json().size(), nullptr, 100), -16);
}

// Templates live in the context and in the registry files: a fresh context with the same
// root continues where the first left off; one without a root starts over.
TEST(RunRequest, FreshContextLoadsTheDeviceFromItsFile) {
  const ScratchRoot root("run_reload");
  RunRequest r{fresh_ctx(), std::string("12;") + kFact};
  r.registry_root = root.str();
  ASSERT_EQ(command_of(run(r)), 63);
  r.raw_input = "12;n.s.AAAAAAAA|r>s.u:2|";
  ASSERT_EQ(command_of(run(r)), 170);

  r.ctx_id = fresh_ctx();
  // The file may be ahead of every receiver (a sender that died before handing out the
  // packet): the first packet of a loaded template travels whole.
  EXPECT_EQ(command_of(run(r)), 63) << "restart frame";
  EXPECT_EQ(command_of(run(r)), 127) << "loaded with the diffed value";
  r.ctx_id = fresh_ctx();
  r.registry_root.clear();
  EXPECT_EQ(command_of(run(r)), 63);
}

TEST(RunRequest, ContextZeroIsContextOne) {
  const std::string fact = std::string("4040;") + kFact;
  ASSERT_EQ(command_of(call(vm_fusion_run_json_v1, "{\"raw_input\":" + json_string(fact) + "}").bytes), 63);
  EXPECT_EQ(command_of(run({1, fact})), 127);
  EXPECT_EQ(command_of(run({0, fact})), 127);
}

TEST(RunRequest, RelayIsTheSameEntryAsRun) {
  const std::vector<std::string> kFacts = {
      kFact, "n.s.AAAAAAAB|r>s.u:1|", "n.s.AAAAAAAB|r>s.u:2|", "n.t.AAAAAAAB|r>s.u:2|", "nobar",
      "n.s.AAAA|r>s.u:2|", "n.s.AAAAAAAC|r>s.u:2|",
  };
  const std::uint64_t ctx_run = fresh_ctx(), ctx_relay = fresh_ctx();
  for (const auto& fact : kFacts) {
    for (const char* strategy : {"", "full"}) {
      RunRequest r{ctx_run, "8;" + fact, strategy};
      const Answer by_run = call(vm_fusion_run_json_v1, r.json());
      r.ctx_id = ctx_relay;
      const Answer by_relay = call(vm_fusion_relay_json_v1, r.json());
      EXPECT_EQ(by_relay.result, by_run.result) << fact;
      EXPECT_EQ(by_relay.bytes, by_run.bytes) << fact;
    }
  }
  EXPECT_EQ(vm_fusion_relay_json_v1(nullptr, 5, nullptr, 0), 0);
}

// A registry root holding a NUL byte names no directory: it must not reach the file
// system as the shorter path before the NUL.
TEST(RunRequest, RegistryRootWithNulByteTouchesNoFile) {
  const ScratchRoot root("run_nul_root");
  const fs::path trap = root.path() / "trap";
  {
    std::ofstream(trap, std::ios::binary) << "precious";
  }
  RunRequest r{fresh_ctx(), std::string("6;") + kFact};
  r.registry_root = trap.string() + std::string(1, '\0') + "/x";
  EXPECT_EQ(command_of(run(r)), 63);
  std::ifstream in(trap, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "precious");
  EXPECT_EQ(std::distance(fs::directory_iterator(root.path()), fs::directory_iterator{}), 1);

  r.registry_root = (root.path() / "fresh").string() + std::string(1, '\0');
  EXPECT_EQ(command_of(run(r)), 127);
  EXPECT_FALSE(fs::exists(root.path() / "fresh"));
}

}  // namespace
