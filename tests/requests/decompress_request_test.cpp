// The decompress request: a Base64 packet in a JSON request is checked, brought back to its
// compact fact with the templates of the request's context, and answered as JSON.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "compact_view_reference.h"
#include "request_support.h"

namespace {

using namespace requests;
namespace fs = std::filesystem;

constexpr std::string_view kCompact = "node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6";
constexpr std::uint32_t kAid = 305419896;
constexpr std::uint64_t kTs = 1700000000000;

// The documented answer to the worked example sent as a full packet (cmd 63, tid 24).
constexpr std::string_view kExampleAnswer =
    R"({"__packet_meta__":{"base_cmd":63,"cmd":63,"crc16_ok":true,"secure":false,"source_aid":305419896,)"
    R"("tid":24,"timestamp_raw":1700000000000},"geohash":"hi","id":"node7","msg":"xyz","s":"1","s1_id":"t1",)"
    R"("s1_s":"0","s1_u":"c1","s1_v":0.215,"s2_id":"h","s2_s":"0","s2_u":"m/s2","s2_v":10.0,"s3_id":"d",)"
    R"("s3_s":"0","s3_u":"1,km","s3_v":-0.0012,"t_raw":1700000000000,"url":"https://s1"})";

std::string with_command(std::string_view answer, int cmd, int base_cmd, bool secure) {
  std::string a(answer);
  a.replace(a.find("\"base_cmd\":63,\"cmd\":63"), 22,
            "\"base_cmd\":" + std::to_string(base_cmd) + ",\"cmd\":" + std::to_string(cmd));
  if (secure) a.replace(a.find("\"secure\":false"), 14, "\"secure\":true");
  return a;
}

TEST(DecompressRequest, WorkedExampleAndItsHeartbeat) {
  const std::uint64_t ctx = fresh_ctx();
  // The routing prefix in front of the text, whatever it says, changes nothing.
  for (std::string prefix : {"", "relay1;", "305419896;"}) {
    const Answer a = call(vm_fusion_decompress_json_v1,
                          decompress_json(ctx, frame(63, {kAid}, 24, kTs, prefix + std::string(kCompact))));
    EXPECT_EQ(a.bytes, kExampleAnswer) << prefix;
    EXPECT_EQ(a.result, static_cast<int32_t>(kExampleAnswer.size()));
    EXPECT_TRUE(a.junk_intact);
  }
  // The rebuilt fact closes its msg segment with "|"; the answer still carries the msg.
  EXPECT_EQ(decompress(ctx, frame(127, {kAid}, 24, kTs, "")), with_command(kExampleAnswer, 127, 127, false));
  EXPECT_EQ(decompress(ctx, frame(128, {kAid}, 24, kTs, "ignored")), with_command(kExampleAnswer, 128, 127, true));
  EXPECT_EQ(decompress(ctx, frame(64, {kAid}, 24, kTs, std::string(kCompact))), with_command(kExampleAnswer, 64, 63, true));
}

// "precision" reads each value code (yG = 2150, q0U = 100000, -c = -12) at the sender's
// precision, for full packets and for the facts a heartbeat rebuilds; above 18 the request
// is refused.
TEST(DecompressRequest, PrecisionGivesReadingsAsTheSenderMeantThem) {
  const struct {
    const char* member;  // the "precision" value, or "" to leave it out
    const char* values;  // "s1_v", "s2_v", "s3_v" of the answer
  } kCases[] = {
      {"", "0.215|10.0|-0.0012"},     {"null", "0.215|10.0|-0.0012"},  {"4", "0.215|10.0|-0.0012"},
      {"2", "21.5|1000.0|-0.12"},     {"0", "2150.0|100000.0|-12.0"}, {"18", "2.15e-15|1e-13|-1.2e-17"},
      {"19", ""},                     {"-1", ""},                      {"1.0", ""},
  };
  const auto value_of = [](const std::string& answer, const std::string& key) {
    const std::size_t at = answer.find("\"" + key + "\":");
    if (at == std::string::npos) return std::string("?");
    const std::size_t start = at + key.size() + 3;
    return answer.substr(start, answer.find_first_of(",}", start) - start);
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.member);
    const std::uint64_t ctx = fresh_ctx();
    for (int cmd : {63, 127}) {
      std::string request = decompress_json(ctx, frame(cmd, {kAid}, 24, kTs, cmd == 63 ? std::string(kCompact) : ""));
      if (*c.member != '\0') request.insert(request.size() - 1, std::string(",\"precision\":") + c.member);
      const std::string answer = call(vm_fusion_decompress_json_v1, request).bytes;
      if (*c.values == '\0') {
        EXPECT_EQ(answer, R"({"error":"invalid_json"})");
        break;
      }
      EXPECT_EQ(value_of(answer, "s1_v") + "|" + value_of(answer, "s2_v") + "|" + value_of(answer, "s3_v"), c.values)
          << "command " << cmd;
    }
  }
}

// Every row of the error table, in the order the checks are made.
TEST(DecompressRequest, ErrorAnswers) {
  const std::string good = base64(frame(127, {1}, 24, 0, ""));
  const std::string kInvalidJson = R"({"error":"invalid_json"})";
  const std::string kInvalidB64 = R"({"error":"invalid_packet_b64"})";
  const std::string kTooShort = R"({"error":"Packet too short"})";
  const std::string kIncomplete = R"({"error":"Incomplete Binary Header"})";
  const std::string kUnknown = R"({"error":"unknown_command"})";
  const std::string kApplyFailed = R"({"error":"fusion_receive_apply_failed"})";
  const auto req = [](const std::string& b64) { return "{\"packet_b64\":\"" + b64 + "\",\"ctx_id\":" + std::to_string(fresh_ctx()) + "}"; };
  const auto packet_req = [&](const std::string& p) { return req(base64(p)); };

  const struct {
    const char* note;
    std::string request;
    std::string answer;
  } kRows[] = {
      {"not JSON", "packet", kInvalidJson},
      {"trailing bytes", "{\"packet_b64\":\"" + good + "\"}x", kInvalidJson},
      {"no packet_b64", "{\"ctx_id\":1}", kInvalidJson},
      {"packet_b64 a number", "{\"packet_b64\":5}", kInvalidJson},
      {"packet_b64 null", "{\"packet_b64\":null}", kInvalidJson},
      {"packet_b64 twice", "{\"packet_b64\":\"" + good + "\",\"packet_b64\":\"" + good + "\"}", kInvalidJson},
      {"an unknown key twice", "{\"zz\":1,\"zz\":2,\"ctx_id\":7,\"packet_b64\":\"" + good + "\"}", kInvalidJson},
      {"an unknown key twice among many",
       "{\"a\":0,\"b\":0,\"c\":0,\"d\":0,\"e\":0,\"f\":0,\"g\":0,\"h\":0,\"i\":0,\"packet_b64\":\"" + good + "\",\"i\":1}",
       kInvalidJson},
      {"negative ctx_id", "{\"packet_b64\":\"" + good + "\",\"ctx_id\":-1}", kInvalidJson},
      {"fractional ctx_id", "{\"packet_b64\":\"" + good + "\",\"ctx_id\":1.5}", kInvalidJson},
      {"ctx_id as text", "{\"packet_b64\":\"" + good + "\",\"ctx_id\":\"1\"}", kInvalidJson},
      {"ctx_id beyond 64 bits", "{\"packet_b64\":\"" + good + "\",\"ctx_id\":18446744073709551616}", kInvalidJson},
      {"registry_root a number", "{\"packet_b64\":\"" + good + "\",\"registry_root\":1}", kInvalidJson},
      {"array without packet", "[0]", kInvalidJson},
      {"array of four", "[0,\"" + good + "\",null,null]", kInvalidJson},
      {"array in the wrong order", "[\"" + good + "\",0]", kInvalidJson},
      {"a bare string", "\"" + good + "\"", kInvalidJson},
      {"padding stripped", req(base64(frame(127, {1}, 24, 0, "a")).substr(0, 23)), kInvalidB64},
      {"white space", req(" " + good), kInvalidB64},
      {"line break", req(good.substr(0, 8) + "\\n" + good.substr(8)), kInvalidB64},
      {"URL-safe alphabet", req("-_-_"), kInvalidB64},
      {"non-zero leftover bits", req("QR=="), kInvalidB64},
      {"padding in the middle", req("QQ==QQ=="), kInvalidB64},
      {"lone symbol", req("QUFBQ"), kInvalidB64},
      {"only padding", req("===="), kInvalidB64},
      {"0 bytes", req(""), kTooShort},
      {"1 byte", packet_req(hex("3F")), kTooShort},
      {"4 bytes", packet_req(hex("3F 00 18 00")), kTooShort},
      {"11 bytes, route of 0", packet_req(hex("3F 00 18 00 00 00 00 00 00 00 00")), kIncomplete},
      {"15 bytes, route of 1", packet_req(frame(127, {1}, 24, 0, "").substr(0, 15)), kIncomplete},
      {"5 bytes, route of 1", packet_req(hex("3F 01 00 00 00")), kIncomplete},
      {"100 bytes, route of 255", packet_req(hex("3F FF") + std::string(98, 'x')), kIncomplete},
      {"command 1", packet_req(frame(1, {1}, 24, 0, "a.b.AAAAAAAA|")), kUnknown},
      {"command 0", packet_req(frame(0, {1}, 24, 0, "")), kUnknown},
      {"command 62", packet_req(frame(62, {1}, 24, 0, "")), kUnknown},
      {"command 172", packet_req(frame(172, {1}, 24, 0, "")), kUnknown},
      {"heartbeat for an unknown device", packet_req(frame(127, {1}, 24, 0, "")), kApplyFailed},
      {"secure diff for an unknown device", packet_req(frame(171, {1}, 24, 0, hex("01 01 41"))), kApplyFailed},
  };
  for (const auto& row : kRows) {
    const Answer a = call(vm_fusion_decompress_json_v1, row.request);
    EXPECT_EQ(a.bytes, row.answer) << row.note;
    EXPECT_EQ(a.result, static_cast<int32_t>(row.answer.size())) << row.note;
    EXPECT_EQ(call(vm_fusion_decompress_json_v1, row.request, row.answer.size() - 1).result,
              -static_cast<int32_t>(row.answer.size())) << row.note;
    EXPECT_TRUE(a.junk_intact) << row.note;
  }
}

TEST(DecompressRequest, Crc16MismatchAnswersTheHeaderAsReceived) {
  const std::uint64_t ctx = fresh_ctx();
  const std::string full = frame(63, {kAid}, 24, kTs, std::string(kCompact));
  for (std::size_t bit : {std::size_t{0}, std::size_t{8 * 8}, std::size_t{8 * 20 + 3}, 8 * full.size() - 1}) {
    std::string p = full;
    p[bit / 8] = static_cast<char>(p[bit / 8] ^ (1 << (bit % 8)));
    const std::string expected = "{\"__packet_meta__\":" + packet_meta(p, false) + ",\"error\":\"CRC16 mismatch\"}";
    EXPECT_EQ(decompress(ctx, p), expected) << bit;
  }
  // Nothing was learnt from the damaged full packets.
  EXPECT_EQ(decompress(ctx, frame(127, {kAid}, 24, kTs, "")), R"({"error":"fusion_receive_apply_failed"})");
}

// Which route id names the device, and how a heartbeat finds the template again.
TEST(DecompressRequest, SourceDeviceIsTheLastRouteId) {
  const std::uint64_t ctx = fresh_ctx();
  const std::string fact = "n.s.AAAAAAAA|r>s.u:1|";
  const auto meta_aid = [](const std::string& answer) {
    const std::size_t at = answer.find("\"source_aid\":") + 13;
    return answer.substr(at, answer.find(',', at) - at);
  };
  const std::string two_hops = decompress(ctx, frame(63, {11, 22}, 30, 0, fact));
  EXPECT_EQ(meta_aid(two_hops), "22");
  EXPECT_EQ(two_hops, expected_answer(frame(63, {11, 22}, 30, 0, fact), fact));
  EXPECT_EQ(decompress(ctx, frame(127, {99, 22}, 30, 5, "")), expected_answer(frame(127, {99, 22}, 30, 5, ""), "n.s.AAAAAAAF|r>s.u:1|"));
  EXPECT_EQ(decompress(ctx, frame(127, {22, 11}, 30, 5, "")), R"({"error":"fusion_receive_apply_failed"})");

  const std::string no_route = decompress(ctx, frame(63, {}, 31, 0, fact));
  EXPECT_EQ(meta_aid(no_route), "0");
  EXPECT_EQ(decompress(ctx, frame(127, {}, 31, 0, "")), expected_answer(frame(127, {}, 31, 0, ""), fact));
}

// Full packets whose text gives no template: answered from the text, nothing learnt.
TEST(DecompressRequest, FullPacketThatDoesNotDecomposeIsAnsweredAndNotLearnt) {
  const ScratchRoot root("decompress_undecomposable");
  const std::uint64_t ctx = fresh_ctx();
  const struct {
    const char* note;
    std::string body;
    std::string answer_members;  // besides __packet_meta__
  } kCases[] = {
      {"empty body", "", ""},
      {"not UTF-8", "a.b.AAAAAAAA|x>y:1|\xFF", ""},
      {"no bar", "a.b.AAAAAAAB", R"(,"id":"a","s":"b","t_raw":1)"},
      {"no dot in the header", "ab|x>y:1", R"(,"s1_id":"x","s1_s":"y","s1_u":"","s1_v":0.0001)"},
  };
  for (const auto& c : kCases) {
    const std::string p = frame(63, {500}, 24, 0, c.body);
    EXPECT_EQ(decompress(ctx, p, root.str()), "{\"__packet_meta__\":" + packet_meta(p) + c.answer_members + "}") << c.note;
  }
  EXPECT_TRUE(fs::is_empty(root.path()));
  EXPECT_EQ(decompress(ctx, frame(127, {500}, 24, 0, "")), R"({"error":"fusion_receive_apply_failed"})");
}

// Exactly 4c + 12 bytes: the length checks pass with an empty body (the byte that a writer
// puts there as CRC-8 is absent too).
TEST(DecompressRequest, ShortestPacketPassesTheLengthChecks) {
  std::string p = hex("3F 00 18 00 00 00 00 00 00");
  p.push_back('\0');  // one spare byte before the trailer
  const std::uint16_t trailer = crc16(p);
  p.push_back(static_cast<char>(trailer >> 8));
  p.push_back(static_cast<char>(trailer));
  ASSERT_EQ(p.size(), 12u);
  EXPECT_EQ(decompress(fresh_ctx(), p), "{\"__packet_meta__\":" + packet_meta(p) + "}");
}

// Full packets teach, diffs update, heartbeats only read; all of them answer the fact.
TEST(DecompressRequest, FullHeartbeatAndDiffPackets) {
  const std::uint64_t ctx = fresh_ctx();
  const std::string fact = "d1.0.AAAAAAAA|t>ok:42|v>a.b:1|@eHl6";
  ASSERT_EQ(decompress(ctx, frame(63, {7}, 24, 0, fact)), expected_answer(frame(63, {7}, 24, 0, fact), fact));

  const struct {
    std::uint8_t cmd;
    std::string body;
    std::string fact;  // the fact the answer shows
  } kSteps[] = {
      {127, "", "d1.0.AAAAAAAB|t>ok:42|v>a.b:1|@eHl6"},
      {170, hex("02 02") + "43", "d1.0.AAAAAAAB|t>ok:43|v>a.b:1|@eHl6"},
      {127, "", "d1.0.AAAAAAAB|t>ok:43|v>a.b:1|@eHl6"},
      {171, hex("0D 01") + "x" + hex("00 02") + "zz", "d1.0.AAAAAAAB|t>x:43|v>:zz|@eHl6"},  // values 0, 2, 3
      {170, hex("00"), "d1.0.AAAAAAAB|t>x:43|v>:zz|@eHl6"},
      {128, "", "d1.0.AAAAAAAB|t>x:43|v>:zz|@eHl6"},
  };
  for (const auto& s : kSteps) {
    const std::string p = frame(s.cmd, {7}, 24, 1, s.body);
    EXPECT_EQ(decompress(ctx, p), expected_answer(p, s.fact)) << int{s.cmd};
  }
  // A diff that runs past its body is refused.
  EXPECT_EQ(decompress(ctx, frame(170, {7}, 24, 1, hex("02 05") + "43")), R"({"error":"fusion_receive_apply_failed"})");
  EXPECT_EQ(decompress(ctx, frame(170, {7}, 24, 1, "")), R"({"error":"fusion_receive_apply_failed"})");
  EXPECT_EQ(decompress(ctx, frame(127, {7}, 25, 1, "")), R"({"error":"fusion_receive_apply_failed"})");
}

// Full and diff packets rewrite the device's file, heartbeats never do; a fresh context
// finds the templates there.
TEST(DecompressRequest, RegistryFilesPersistFullAndDiffPackets) {
  const ScratchRoot root("decompress_files");
  const std::string fact = "d1.0.AAAAAAAA|t>ok:42|";
  ASSERT_NE(decompress(fresh_ctx(), frame(63, {9}, 24, 0, fact), root.str()).find("\"s1_v\""), std::string::npos);
  ASSERT_TRUE(fs::exists(root.file_of(9)));

  const std::uint64_t ctx = fresh_ctx();
  const std::string diff = frame(170, {9}, 24, 0, hex("02 02") + "43");
  EXPECT_EQ(decompress(ctx, diff, root.str()), expected_answer(diff, "d1.0.AAAAAAAA|t>ok:43|"));
  fs::remove(root.file_of(9));
  const std::string heartbeat = frame(127, {9}, 24, 0, "");
  EXPECT_EQ(decompress(ctx, heartbeat, root.str()), expected_answer(heartbeat, "d1.0.AAAAAAAA|t>ok:43|"));
  EXPECT_FALSE(fs::exists(root.file_of(9))) << "a heartbeat wrote the file";

  const std::string diff2 = frame(170, {9}, 24, 0, hex("02 02") + "44");
  EXPECT_EQ(decompress(ctx, diff2, root.str()), expected_answer(diff2, "d1.0.AAAAAAAA|t>ok:44|"));
  EXPECT_EQ(decompress(fresh_ctx(), heartbeat, root.str()), expected_answer(heartbeat, "d1.0.AAAAAAAA|t>ok:44|"));
  EXPECT_EQ(decompress(fresh_ctx(), heartbeat), R"({"error":"fusion_receive_apply_failed"})") << "no root, no file";
}

// File problems never change an answer: a root that is a plain file, a damaged file.
TEST(DecompressRequest, RegistryFileProblemsAreSilent) {
  const ScratchRoot root("decompress_file_problems");
  const std::string fact = "d.s.AAAAAAAA|x>y:1|";
  const std::string full = frame(63, {14}, 24, 0, fact), heartbeat = frame(127, {14}, 24, 0, "");
  const std::string plain_file = (root.path() / "plain").string();
  { std::ofstream(plain_file) << "not a directory"; }
  const std::uint64_t ctx = fresh_ctx();
  EXPECT_EQ(decompress(ctx, full, plain_file), expected_answer(full, fact));
  EXPECT_EQ(decompress(ctx, heartbeat, plain_file), expected_answer(heartbeat, fact));

  fs::create_directories(root.file_of(14).parent_path());
  { std::ofstream(root.file_of(14)) << R"({"templates":{"24":{"sig":)"; }
  EXPECT_EQ(decompress(fresh_ctx(), heartbeat, root.str()), R"({"error":"fusion_receive_apply_failed"})");
  EXPECT_EQ(decompress(fresh_ctx(), full, root.str()), expected_answer(full, fact));
  EXPECT_EQ(decompress(fresh_ctx(), heartbeat, root.str()), expected_answer(heartbeat, fact)) << "the damaged file was replaced";
}

// A fact without readings has a template without values; its file holds an empty value
// list, and the heartbeats after a reload must still be understood.
TEST(DecompressRequest, TemplateWithoutValuesSurvivesTheRegistryFile) {
  const ScratchRoot root("decompress_no_values");
  const std::string fact = "n.s.AAAAAAAA|&gh|@eHl6";
  const std::string full = frame(63, {13}, 24, 0, fact);
  ASSERT_EQ(decompress(fresh_ctx(), full, root.str()), expected_answer(full, fact));
  for (std::uint8_t cmd : {127, 128, 170}) {
    const std::string p = frame(cmd, {13}, 24, 2, "");
    EXPECT_EQ(decompress(fresh_ctx(), p, root.str()), expected_answer(p, "n.s.AAAAAAAC|&gh|@eHl6")) << int{cmd};
  }
}

TEST(DecompressRequest, AnswerThatDoesNotFitStillLearnsAndSaves) {
  const ScratchRoot root("decompress_no_fit");
  const std::uint64_t ctx = fresh_ctx();
  const std::string request = decompress_json(ctx, frame(63, {kAid}, 24, kTs, std::string(kCompact)), root.str());
  const auto n = static_cast<int32_t>(kExampleAnswer.size());
  for (std::size_t cap : {std::size_t{0}, kExampleAnswer.size() - 1}) {
    const Answer a = call(vm_fusion_decompress_json_v1, request, cap);
    EXPECT_EQ(a.result, -n);
    EXPECT_TRUE(a.junk_intact);
  }
  EXPECT_EQ(vm_fusion_decompress_json_v1(reinterpret_cast<const uint8_t*>(request.data()), request.size(), nullptr, 4096), -n);
  EXPECT_TRUE(fs::exists(root.file_of(kAid)));
  EXPECT_EQ(decompress(ctx, frame(127, {kAid}, 24, kTs, "")), with_command(kExampleAnswer, 127, 127, false));
  EXPECT_EQ(decompress(fresh_ctx(), frame(127, {kAid}, 24, kTs, ""), root.str()),
            with_command(kExampleAnswer, 127, 127, false));
}

TEST(DecompressRequest, RequestForms) {
  const std::string fact = "d.s.AAAAAAAA|x>y:1|";
  const std::string full = frame(63, {31337}, 24, 0, fact);
  const std::string heartbeat = frame(127, {31337}, 24, 0, "");
  const std::string b64 = base64(full);
  // Without ctx_id the request works on context 1 (0 and 1 are one context).
  ASSERT_EQ(call(vm_fusion_decompress_json_v1, "{\"packet_b64\":\"" + b64 + "\"}").bytes, expected_answer(full, fact));
  EXPECT_EQ(decompress(1, heartbeat), expected_answer(heartbeat, fact));
  EXPECT_EQ(decompress(0, heartbeat), expected_answer(heartbeat, fact));

  const std::uint64_t ctx = fresh_ctx();
  const std::string c = std::to_string(ctx);
  const std::string hb = base64(heartbeat);
  const std::vector<std::string> kAccepted = {
      "[" + c + ",\"" + b64 + "\"]",
      "[" + c + ",\"" + hb + "\",null]",
      "[" + c + ",\"" + hb + "\",\"\"]",
      " {\"other\":[{\"x\":null}],\"ctx_id\":" + c + ",\"registry_root\":null,\"packet_b64\":\"" + hb + "\"}\r\n",
  };
  for (const auto& request : kAccepted) {
    EXPECT_EQ(call(vm_fusion_decompress_json_v1, request).bytes.find("\"__packet_meta__\""), 1u) << request;
  }
}

// A context that receives can also send: a learnt tid moves the context's numbering past it.
TEST(DecompressRequest, LearntTemplateRaisesTheNextTemplateId) {
  const struct {
    std::uint8_t learnt;
    std::uint8_t next;
  } kCases[] = {{40, 41}, {10, 24}, {24, 25}, {255, 24}};  // 256 cannot travel: the first free number
  for (const auto& c : kCases) {
    const std::uint64_t ctx = fresh_ctx();
    decompress(ctx, frame(63, {3}, c.learnt, 0, "d.s.AAAAAAAA|x>y:1|"));
    RunRequest r{ctx, "3;d.s.AAAAAAAA|other>y:1|"};
    const Answer a = call(vm_fusion_run_json_v1, r.json());
    ASSERT_GT(a.result, 0);
    EXPECT_EQ(static_cast<unsigned char>(a.bytes[6]), c.next) << int{c.learnt};
    r.raw_input = "3;d.s.AAAAAAAA|x>y:1|";
    EXPECT_EQ(call(vm_fusion_run_json_v1, r.json()).bytes, frame(127, {3}, c.learnt, 0, "")) << "the learnt template is known";
  }
}

}  // namespace
