// What operators see of the gateway's counters: the Prometheus text (every family with
// HELP and TYPE, label values escaped, histograms cumulative, the device label set
// bounded), the JSON status line, and the /metrics endpoint over a real socket.
#include <gtest/gtest.h>

#include <simdjson.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gateway_status.h"
#include "histogram.h"
#include "metrics_endpoint.h"
#include "metrics_text.h"
#include "recent_devices.h"

namespace tavkin {
namespace {

struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;  // values unescaped
  double value = 0;
};

struct Family {
  std::string type;
  std::string help;
  std::vector<Sample> samples;
};

std::string unescape(std::string_view escaped) {
  std::string out;
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] == '\\' && i + 1 < escaped.size()) {
      ++i;
      out += escaped[i] == 'n' ? '\n' : escaped[i];
    } else {
      out += escaped[i];
    }
  }
  return out;
}

// Reads the exposition text strictly enough to catch a misplaced line: each family's HELP
// then TYPE before its samples, each sample of the family announced last (histograms with
// their _bucket, _sum and _count suffixes).
std::map<std::string, Family> parse_exposition(const std::string& text) {
  static const std::regex help(R"(# HELP (\w+) (.+))"), type(R"(# TYPE (\w+) (\w+))");
  static const std::regex sample(R"((\w+)(?:\{(.*)\})? (\S+))");
  static const std::regex label(R"re((\w+)="((?:[^"\\]|\\.)*)",?)re");
  std::map<std::string, Family> families;
  std::string current;
  std::istringstream lines(text);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, help)) {
      current = m[1];
      EXPECT_FALSE(families.contains(current)) << "announced twice: " << current;
      families[current].help = m[2];
    } else if (std::regex_match(line, m, type)) {
      EXPECT_EQ(m[1], current) << "TYPE without its HELP: " << line;
      families[current].type = m[2];
    } else if (std::regex_match(line, m, sample)) {
      Sample s{m[1], {}, std::stod(m[3])};
      const std::string name = s.name;
      const bool own = name == current || (families[current].type == "histogram" &&
                                           (name == current + "_bucket" || name == current + "_sum" ||
                                            name == current + "_count"));
      EXPECT_TRUE(own) << "sample outside its family: " << line;
      const std::string labels = m[2];
      for (std::sregex_iterator it(labels.begin(), labels.end(), label), end; it != end; ++it) {
        s.labels[(*it)[1]] = unescape((*it)[2].str());
      }
      families[current].samples.push_back(std::move(s));
    } else {
      ADD_FAILURE() << "a line that does not read: " << line;
    }
  }
  return families;
}

double value_of(const Family& family, const std::string& name, const std::map<std::string, std::string>& labels = {}) {
  for (const Sample& s : family.samples) {
    if (s.name == name && s.labels == labels) return s.value;
  }
  ADD_FAILURE() << "no sample " << name;
  return -1;
}

GatewaySnapshot busy_gateway() {
  GatewaySnapshot s;
  GatewayCounters& c = s.counters;
  c.messages_received = 120;
  c.messages_redelivered = 7;
  c.packets_decoded = 900;
  c.facts_decoded = 880;
  c.packets_already_applied = 12;
  c.packets_dead[DeadReason::crc_mismatch] = 3;
  c.packets_dead[DeadReason::unknown_template] = 5;
  c.unknown_templates.add(41, 4);
  c.unknown_templates.add(42, 1);
  c.messages_acknowledged = 100;
  c.packets_acknowledged = 850;
  c.facts_acknowledged = 830;
  c.checkpoints["packets"] = 2;
  c.checkpoints["time"] = 1;
  c.checkpoints_failed = 1;
  for (const double seconds : {0.004, 0.02, 0.3}) c.checkpoint_seconds.observe(seconds);
  c.checkpoint_files.observe(12);
  c.checkpoint_bytes.observe(50'000);
  c.sessions_started = 2;
  s.partitions.resize(4);
  s.partitions[1] = {true, true, 17};
  s.partitions[3] = {true, true, 0};
  s.partitions[2] = {true, false, std::nullopt};  // received this session, then lost its lock
  return s;
}

TEST(MetricsText, EveryFamilyIsAnnouncedWithItsType) {
  const auto families = parse_exposition(metrics_text(busy_gateway()));
  const std::map<std::string, std::string> expected = {
      {"tavkin_gateway_messages_received_total", "counter"},
      {"tavkin_gateway_messages_redelivered_total", "counter"},
      {"tavkin_gateway_packets_decoded_total", "counter"},
      {"tavkin_gateway_facts_decoded_total", "counter"},
      {"tavkin_gateway_packets_already_applied_total", "counter"},
      {"tavkin_gateway_packets_dead_total", "counter"},
      {"tavkin_gateway_unknown_templates_total", "counter"},
      {"tavkin_gateway_state_mismatches_total", "counter"},
      {"tavkin_gateway_messages_acknowledged_total", "counter"},
      {"tavkin_gateway_packets_acknowledged_total", "counter"},
      {"tavkin_gateway_facts_acknowledged_total", "counter"},
      {"tavkin_gateway_partitions_held", "gauge"},
      {"tavkin_gateway_partition_lag_messages", "gauge"},
      {"tavkin_gateway_checkpoints_total", "counter"},
      {"tavkin_gateway_checkpoints_failed_total", "counter"},
      {"tavkin_gateway_checkpoint_duration_seconds", "histogram"},
      {"tavkin_gateway_checkpoint_save_seconds", "histogram"},
      {"tavkin_gateway_checkpoint_files", "histogram"},
      {"tavkin_gateway_checkpoint_bytes", "histogram"},
      {"tavkin_gateway_sessions_started_total", "counter"},
  };
  std::map<std::string, std::string> got;
  for (const auto& [name, family] : families) {
    got[name] = family.type;
    EXPECT_FALSE(family.help.empty()) << name;
  }
  EXPECT_EQ(got, expected);
}

TEST(MetricsText, SamplesCarryTheCountersAndTheirLabels) {
  const auto f = parse_exposition(metrics_text(busy_gateway()));
  struct Expect {
    std::string family;
    std::map<std::string, std::string> labels;
    double value;
  };
  const Expect cases[] = {
      {"tavkin_gateway_messages_received_total", {}, 120},
      {"tavkin_gateway_messages_redelivered_total", {}, 7},
      {"tavkin_gateway_packets_decoded_total", {}, 900},
      {"tavkin_gateway_facts_decoded_total", {}, 880},
      {"tavkin_gateway_packets_already_applied_total", {}, 12},
      {"tavkin_gateway_packets_dead_total", {{"reason", "crc_mismatch"}}, 3},
      {"tavkin_gateway_packets_dead_total", {{"reason", "unknown_template"}}, 5},
      {"tavkin_gateway_packets_dead_total", {{"reason", "malformed"}}, 0},  // every reason, counted or not
      {"tavkin_gateway_unknown_templates_total", {{"device", "41"}}, 4},
      {"tavkin_gateway_unknown_templates_total", {{"device", "other"}}, 0},
      {"tavkin_gateway_state_mismatches_total", {{"device", "other"}}, 0},
      {"tavkin_gateway_messages_acknowledged_total", {}, 100},
      {"tavkin_gateway_packets_acknowledged_total", {}, 850},
      {"tavkin_gateway_facts_acknowledged_total", {}, 830},
      {"tavkin_gateway_partitions_held", {}, 2},
      {"tavkin_gateway_partition_lag_messages", {{"partition", "1"}}, 17},
      {"tavkin_gateway_partition_lag_messages", {{"partition", "3"}}, 0},
      {"tavkin_gateway_checkpoints_total", {{"trigger", "packets"}}, 2},
      {"tavkin_gateway_checkpoints_total", {{"trigger", "time"}}, 1},
      {"tavkin_gateway_checkpoints_failed_total", {}, 1},
      {"tavkin_gateway_sessions_started_total", {}, 2},
  };
  for (const Expect& e : cases) {
    ASSERT_TRUE(f.contains(e.family)) << e.family;
    EXPECT_EQ(value_of(f.at(e.family), e.family, e.labels), e.value) << e.family;
  }
  EXPECT_EQ(f.at("tavkin_gateway_packets_dead_total").samples.size(), 5u);
  // Lag only of partitions with a known lag: partition 2 is not held, 0 never was.
  EXPECT_EQ(f.at("tavkin_gateway_partition_lag_messages").samples.size(), 2u);
}

TEST(MetricsText, HistogramsAreCumulativeWithInfSumAndCount) {
  const auto f = parse_exposition(metrics_text(busy_gateway()));
  const Family& h = f.at("tavkin_gateway_checkpoint_duration_seconds");
  const std::string bucket = "tavkin_gateway_checkpoint_duration_seconds_bucket";
  EXPECT_EQ(value_of(h, bucket, {{"le", "0.001"}}), 0);
  EXPECT_EQ(value_of(h, bucket, {{"le", "0.005"}}), 1);
  EXPECT_EQ(value_of(h, bucket, {{"le", "0.025"}}), 2);
  EXPECT_EQ(value_of(h, bucket, {{"le", "0.25"}}), 2);
  EXPECT_EQ(value_of(h, bucket, {{"le", "0.5"}}), 3);
  EXPECT_EQ(value_of(h, bucket, {{"le", "+Inf"}}), 3);
  EXPECT_EQ(value_of(h, "tavkin_gateway_checkpoint_duration_seconds_count"), 3);
  EXPECT_DOUBLE_EQ(value_of(h, "tavkin_gateway_checkpoint_duration_seconds_sum"), 0.324);
  double last = 0;
  for (const Sample& s : h.samples) {
    if (s.name != bucket) continue;
    EXPECT_GE(s.value, last) << s.labels.at("le");
    last = s.value;
  }
  EXPECT_EQ(value_of(f.at("tavkin_gateway_checkpoint_bytes"), "tavkin_gateway_checkpoint_bytes_sum"), 50'000);
}

TEST(Histogram, AValueOnABoundCountsInThatBucket) {
  static constexpr double bounds[] = {1, 10};
  Histogram h(bounds);
  for (const double v : {0.5, 1.0, 1.5, 10.0, 11.0}) h.observe(v);
  EXPECT_EQ(h.buckets(), (std::vector<std::uint64_t>{2, 2, 1}));
  EXPECT_EQ(h.count(), 5u);
  EXPECT_DOUBLE_EQ(h.sum(), 24.0);
}

TEST(MetricsText, LabelValuesAreEscaped) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {R"(say "hi")", R"(say \"hi\")"},
      {R"(a\b)", R"(a\\b)"},
      {"two\nlines", R"(two\nlines)"},
      {"\\\"\n", R"(\\\"\n)"},
  };
  for (const auto& [raw, escaped] : cases) EXPECT_EQ(escape_label_value(raw), escaped) << raw;

  GatewaySnapshot s;
  s.counters.checkpoints["odd \"trigger\" \\ with\nbreak"] = 4;
  const std::string text = metrics_text(s);
  EXPECT_NE(text.find(R"(tavkin_gateway_checkpoints_total{trigger="odd \"trigger\" \\ with\nbreak"} 4)"),
            std::string::npos)
      << text;
  const auto f = parse_exposition(text);
  EXPECT_EQ(value_of(f.at("tavkin_gateway_checkpoints_total"), "tavkin_gateway_checkpoints_total",
                     {{"trigger", "odd \"trigger\" \\ with\nbreak"}}),
            4);
}

TEST(MetricsText, DeviceLabelsStayBoundedAndLoseNoCount) {
  GatewaySnapshot s;
  for (std::uint32_t device = 1; device <= 300; ++device) s.counters.state_mismatches.add(device, device % 3 + 1);
  const auto f = parse_exposition(metrics_text(s));
  const Family& family = f.at("tavkin_gateway_state_mismatches_total");
  EXPECT_EQ(family.samples.size(), kRecentDevices + 1);
  double sum = 0;
  std::set<std::string> devices;
  for (const Sample& sample : family.samples) {
    sum += sample.value;
    devices.insert(sample.labels.at("device"));
  }
  EXPECT_EQ(sum, s.counters.state_mismatches.total());
  // The most recent devices keep their own counts.
  EXPECT_TRUE(devices.contains("300"));
  EXPECT_TRUE(devices.contains(std::to_string(300 - kRecentDevices + 1)));
  EXPECT_FALSE(devices.contains(std::to_string(300 - kRecentDevices)));
  EXPECT_TRUE(devices.contains("other"));
}

TEST(RecentDevices, EvictsTheLeastRecentlyCountedIntoOther) {
  RecentDevices d(2);
  d.add(1, 5);
  d.add(2, 1);
  d.add(1);     // 1 is now more recent than 2
  d.add(3, 2);  // 2 leaves
  std::map<std::uint32_t, std::uint64_t> kept;
  for (const auto& e : d.devices()) kept[e.device] = e.count;
  EXPECT_EQ(kept, (std::map<std::uint32_t, std::uint64_t>{{1, 6}, {3, 2}}));
  EXPECT_EQ(d.other(), 1u);
  EXPECT_EQ(d.total(), 9u);
  d.add(2, 4);  // back, from its new count; 1 leaves with its 6
  kept.clear();
  for (const auto& e : d.devices()) kept[e.device] = e.count;
  EXPECT_EQ(kept, (std::map<std::uint32_t, std::uint64_t>{{2, 4}, {3, 2}}));
  EXPECT_EQ(d.other(), 7u);
  EXPECT_EQ(d.total(), 13u);
}

TEST(StatusLine, IsOneJsonObjectWithRatesOverTheInterval) {
  GatewaySnapshot now = busy_gateway();
  now.counters.state_mismatches.add(9, 2);
  GatewayCounters last;
  last.messages_received = 20;
  last.packets_decoded = 100;
  last.facts_decoded = 80;
  last.messages_acknowledged = 60;
  now.counters.last_checkpoint = {0.3, 0.1, 12, 50'000};
  const std::string line = status_json(now, last, 2.0, "gw \"one\"", 1'700'000'000.5);
  ASSERT_EQ(line.find('\n'), std::string::npos);

  simdjson::dom::parser parser;
  simdjson::dom::object o;
  ASSERT_EQ(parser.parse(line).get(o), simdjson::SUCCESS) << line;
  EXPECT_EQ(std::string_view(o["gateway"]), "gw \"one\"");
  EXPECT_EQ(double(o["time"]), 1'700'000'000.5);
  EXPECT_EQ(double(o["interval_seconds"]), 2.0);
  EXPECT_EQ(double(o["rates"]["messages_received"]), 50.0);
  EXPECT_EQ(double(o["rates"]["packets_decoded"]), 400.0);
  EXPECT_EQ(double(o["rates"]["facts_decoded"]), 400.0);
  EXPECT_EQ(double(o["rates"]["messages_acknowledged"]), 20.0);
  const std::pair<const char*, std::uint64_t> counts[] = {
      {"messages_received", 120}, {"messages_redelivered", 7}, {"packets_decoded", 900},
      {"facts_decoded", 880},     {"packets_already_applied", 12}, {"messages_acknowledged", 100},
      {"packets_acknowledged", 850}, {"facts_acknowledged", 830}, {"checkpoints", 3},
      {"checkpoints_failed", 1},  {"checkpoint_files", 12},     {"checkpoint_bytes", 50'000},
      {"sessions_started", 2},
  };
  for (const auto& [member, value] : counts) EXPECT_EQ(std::uint64_t(o[member]), value) << member;
  EXPECT_EQ(std::uint64_t(o["packets_dead"]["crc_mismatch"]), 3u);
  EXPECT_EQ(std::uint64_t(o["packets_dead"]["state_mismatch"]), 0u);
  EXPECT_EQ(std::uint64_t(o["checkpoints_by_trigger"]["packets"]), 2u);
  EXPECT_EQ(std::uint64_t(o["unknown_templates"]["41"]), 4u);
  EXPECT_EQ(std::uint64_t(o["state_mismatches"]["9"]), 2u);
  EXPECT_EQ(std::uint64_t(o["state_mismatches"]["other"]), 0u);
  EXPECT_EQ(double(o["checkpoint_last"]["seconds"]), 0.3);
  EXPECT_EQ(std::uint64_t(o["checkpoint_last"]["bytes"]), 50'000u);
  auto list = [&](const char* member) {
    std::vector<std::uint64_t> out;
    for (const auto k : simdjson::dom::array(o[member])) out.push_back(std::uint64_t(k));
    return out;
  };
  EXPECT_EQ(list("partitions_active"), (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(list("partitions_held"), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(std::uint64_t(o["partition_lag"]["1"]), 17u);
  EXPECT_EQ(simdjson::dom::object(o["partition_lag"]).size(), 2u);
}

// --- the endpoint, over a socket of the test's own

std::uint16_t free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The whole HTTP/1.0 answer to one request line.
std::string ask(std::uint16_t port, const std::string& request_line) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return "connect failed";
  }
  const std::string request = request_line + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
  EXPECT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return answer;
}

// "200 OK" of "HTTP/1.x 200 OK".
std::string status_of(const std::string& answer) {
  const std::string line = answer.substr(0, answer.find("\r\n"));
  return line.substr(line.find(' ') + 1);
}
std::string body_of(const std::string& answer) {
  const auto at = answer.find("\r\n\r\n");
  return at == std::string::npos ? "" : answer.substr(at + 4);
}

TEST(MetricsEndpoint, ServesTheLatestPublishedSnapshot) {
  const std::uint16_t port = free_port();
  std::string error;
  auto endpoint = MetricsEndpoint::start("127.0.0.1", port, error);
  ASSERT_TRUE(endpoint) << error;

  EXPECT_EQ(status_of(ask(port, "GET /metrics")), "503 Service Unavailable");
  GatewaySnapshot first = busy_gateway();
  endpoint->publish(first);
  const std::string answer = ask(port, "GET /metrics");
  EXPECT_EQ(status_of(answer), "200 OK");
  EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos) << answer;
  EXPECT_EQ(body_of(answer), metrics_text(first));

  GatewaySnapshot second = first;
  second.counters.messages_received = 121;
  endpoint->publish(second);
  EXPECT_EQ(body_of(ask(port, "GET /metrics")), metrics_text(second));

  EXPECT_EQ(status_of(ask(port, "GET /")), "404 Not Found");
  EXPECT_EQ(status_of(ask(port, "POST /metrics")), "405 Method Not Allowed");
}

TEST(MetricsEndpoint, RefusesAddressesItCannotServe) {
  // A port another socket listens on.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const std::uint16_t taken = ntohs(address.sin_port);

  const std::pair<std::string, std::uint16_t> cases[] = {{"127.0.0.1", taken}, {"localhost", 9}, {"300.1.1.1", 9}};
  for (const auto& [host, port] : cases) {
    std::string error;
    EXPECT_FALSE(MetricsEndpoint::start(host, port, error)) << host << ":" << port;
    EXPECT_FALSE(error.empty()) << host;
  }
  ::close(fd);
}

}  // namespace
}  // namespace tavkin
