// The benchmark executable's entry: runs every case with repetitions and prints one report
// of medians: the cases, the library side by side with the general-purpose peer (time and
// wire bytes per fact, with ratios), and the performance targets with their verdicts.
// Flags of Google Benchmark given on the command line override the defaults below.
#include <benchmark/benchmark.h>

#include <sys/utsname.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "peer.h"
#include "scenario.h"
#include "wire/command.h"

namespace bench {
namespace {

struct Median {
  double cpu_ns = NAN;   // CPU time per call (per iteration); summed over threads
  double real_ns = NAN;  // wall time per call; with threads, per call of all threads together
  double items = 1;
  double allocs = NAN;
};

// Keeps the median of each case and prints the cases table as they finish.
class MedianReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context& context) override {
    std::printf("Machine: %s, %d logical CPUs at %.0f MHz; %s\n", cpu_model().c_str(),
                context.cpu_info.num_cpus, context.cpu_info.cycles_per_second / 1e6, kernel().c_str());
    std::printf("Load average at start: %s\n", load_average().c_str());
    std::printf("Fleet: %d devices with 3-5 sensors each, per fact: value moves %.0f%%, reading state flips "
                "%.0f%%, node degrades %.1f%% (recovers %.0f%%), msg %.0f%%, url %.0f%%; batches of %zu facts\n",
                FleetRates::kDevices, 100 * FleetRates::kValueDrift, 100 * FleetRates::kReadingStateFlip,
                100 * FleetRates::kNodeDegrades, 100 * FleetRates::kNodeRecovers, 100 * FleetRates::kMessage,
                100 * FleetRates::kUrl, kBatchFacts);
    std::printf("\n%-38s %12s %8s %12s %12s %8s\n", "case (medians)", "CPU ns/call", "items",
                "CPU ns/item", "wall ns/item", "allocs");
    std::printf("%s\n", std::string(95, '-').c_str());
    return true;
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) {
        std::printf("%-38s error: %s\n", run.run_name.str().c_str(), run.error_message.c_str());
        continue;
      }
      // Single runs (repetitions 1) count as their own median.
      const bool median = run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median"
                                                            : run.repetitions <= 1;
      if (!median) continue;
      Median m;
      m.cpu_ns = run.GetAdjustedCPUTime();
      m.real_ns = run.GetAdjustedRealTime();
      if (auto it = run.counters.find("items"); it != run.counters.end()) m.items = it->second.value;
      if (auto it = run.counters.find("allocs"); it != run.counters.end()) m.allocs = it->second.value;
      const std::string name = display_name(run);
      medians_[name] = m;
      std::printf("%-38s %12.1f %8.0f %12.1f %12.1f %8.2f\n", name.c_str(), m.cpu_ns, m.items,
                  m.cpu_ns / m.items, m.real_ns / m.items, m.allocs);
      std::fflush(stdout);
    }
  }

  [[nodiscard]] const Median* find(const std::string& name) const {
    auto it = medians_.find(name);
    return it == medians_.end() ? nullptr : &it->second;
  }

 private:
  static std::string display_name(const Run& run) {
    std::string name = run.run_name.function_name;
    if (!run.run_name.threads.empty()) name += "/" + run.run_name.threads;
    return name;
  }
  static std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
      if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown CPU";
  }
  static std::string kernel() {
    utsname u{};
    return ::uname(&u) == 0 ? std::string(u.sysname) + " " + u.release : "unknown kernel";
  }

 public:
  static std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
  }

 private:
  std::map<std::string, Median> medians_;
};

// Per item (fact or packet), CPU time.
double per_item(const Median* m) { return m ? m->cpu_ns / m->items : NAN; }

void rule(int width) { std::printf("%s\n", std::string(static_cast<std::size_t>(width), '-').c_str()); }

void side_by_side(const MedianReporter& r) {
  std::printf("\nSide by side, per fact (CPU ns, medians)\n");
  std::printf("%-44s %10s %10s %8s\n", "", "ours", "zstd", "ratio");
  rule(75);
  const double sender = per_item(r.find("batch/steady"));
  const double peer_compress = per_item(r.find("peer/zstd_compress"));
  std::printf("%-44s %10.1f %10.1f %8.3f\n", "send: compress+fuse+frame vs zstd compress", sender, peer_compress,
              sender / peer_compress);
  const double peer_send = per_item(r.find("peer/json_write+zstd_compress"));
  std::printf("%-44s %10.1f %10.1f %8.3f\n", "send: the same vs JSON writing + zstd", sender, peer_send,
              sender / peer_send);
  const double peer_receive = per_item(r.find("peer/zstd_decompress+parse"));
  for (const char* name : {"decompress/fleet_mix", "decompress/diff", "decompress/heartbeat", "decompress/full"}) {
    const double ours = per_item(r.find(name));
    std::printf("%-44s %10.1f %10.1f %8.3f\n", (std::string("receive: ") + name + " vs zstd+parse").c_str(), ours,
                peer_receive, ours / peer_receive);
  }
}

struct WireBytes {
  double ours_mix = 0, peer_mix = 0;
  std::map<int, std::pair<int, double>> by_command;  // command -> (count, mean bytes)
  struct Shape {
    const char* name;
    std::size_t ours, peer;
  };
  std::vector<Shape> shapes;
};

WireBytes wire_bytes() {
  const Scenario& s = scenario();
  Peer peer(peer_dictionary());
  WireBytes w;
  std::string frame;
  for (std::size_t i = 0; i < s.packets.size(); ++i) {
    w.ours_mix += static_cast<double>(s.packets[i].bytes.size());
    w.peer_mix += static_cast<double>(peer.compress(s.json[i], frame));
    auto& [count, mean] = w.by_command[s.packets[i].command];
    ++count;
    mean += static_cast<double>(s.packets[i].bytes.size());
  }
  w.ours_mix /= static_cast<double>(s.packets.size());
  w.peer_mix /= static_cast<double>(s.packets.size());
  for (auto& [command, entry] : w.by_command) entry.second /= entry.first;

  // One device, one second later: nothing, one value or every value changed. Each shape
  // on a context of its own that has seen the first fact.
  const Fact first = s.facts.front();
  std::uint64_t context = 900;
  const auto send = [&](const Fact& next) {
    (void)call_run(run_request(context, compact_text(first), ""));
    const std::size_t ours = call_run(run_request(context, compact_text(next), "")).size();
    ++context;
    return std::pair{ours, peer.compress(fact_json(next), frame)};
  };
  Fact same = first;
  same.timestamp += 1;
  Fact one = same;
  one.readings[0].value += 0.01;
  Fact every = same;
  for (Reading& reading : every.readings) reading.value += 0.01;
  for (auto [name, fact] : {std::pair{"nothing changes", same}, {"one value changes", one},
                            {"every value changes", every}}) {
    const auto [ours, theirs] = send(fact);
    w.shapes.push_back({name, ours, theirs});
  }
  const std::size_t full = full_packet(899, compact_text(first)).size();
  w.shapes.push_back({"first fact (full packet)", full, peer.compress(fact_json(first), frame)});
  return w;
}

void print_wire_bytes(const WireBytes& w) {
  std::printf("\nWire bytes per fact (packet with header and checksums; zstd level %d frame, %zu-byte dictionary)\n",
              kPeerLevel, peer_dictionary().size());
  std::printf("%-44s %10s %10s %8s\n", "", "ours", "zstd", "ratio");
  rule(75);
  std::printf("%-44s %10.1f %10.1f %8.3f\n", "fleet mix (documented change rates)", w.ours_mix, w.peer_mix,
              w.ours_mix / w.peer_mix);
  for (const auto& shape : w.shapes)
    std::printf("%-44s %10zu %10zu %8.3f\n", shape.name, shape.ours, shape.peer,
                static_cast<double>(shape.ours) / static_cast<double>(shape.peer));
  std::printf("fleet mix by packet:");
  const char* sep = " ";
  for (const auto& [command, entry] : w.by_command) {
    const char* kind = command == vm::DATA_FULL ? "full" : command == vm::DATA_DIFF ? "diff" : "heartbeat";
    std::printf("%s%s %d x %.1f bytes", sep, kind, entry.first, entry.second);
    sep = ", ";
  }
  std::printf("\n");
}

struct Target {
  std::string what;
  double measured;
  std::string limit_text;
  bool holds;
};

void targets(const MedianReporter& r) {
  std::vector<Target> t;
  const auto limit_text = [](const char* op, double limit, const char* unit) {
    char text[32];
    std::snprintf(text, sizeof text, "%s %.3g %s", op, limit, unit);
    return std::string(text);
  };
  const auto add = [&](std::string what, double measured, double limit, const char* unit) {
    t.push_back({std::move(what), measured, limit_text("<=", limit, unit), measured <= limit});
  };
  const auto add_at_least = [&](std::string what, double measured, double limit, const char* unit) {
    t.push_back({std::move(what), measured, limit_text(">=", limit, unit), measured >= limit});
  };
  add("compress_fact, worked example (ns)", per_item(r.find("compress_fact/worked_example")), 250, "ns");
  const double batch = per_item(r.find("batch/steady"));
  add("batch steady, no registry (ns/fact)", batch, 400, "ns");
  add("run request (ns)", per_item(r.find("run_request/steady")), 250, "ns");
  add("decompress request, diff (ns)", per_item(r.find("decompress/diff")), 800, "ns");
  add("context lookup, 2048 held / 1 held", per_item(r.find("context_lookup/2048_held")) /
                                                 per_item(r.find("context_lookup/1_held")), 1.2, "x");
  // Wall-clock speedup needs two idle cores; the CPU-time figure (per-call CPU of one
  // thread over that of two, times two) is what the code allows when the cores are free.
  for (const char* name : {"run_request/steady", "batch/steady"}) {
    const Median* one = r.find(std::string(name) + "/threads:1");
    const Median* two = r.find(std::string(name) + "/threads:2");
    add_at_least(std::string(name) + ", 2 threads / 1 (wall)", one && two ? one->real_ns / two->real_ns : NAN, 1.8,
                 "x");
    add_at_least("  the same, from CPU time per call", one && two ? 2 * one->cpu_ns / two->cpu_ns : NAN, 1.8, "x");
  }
  add("send per fact / zstd compress", batch / per_item(r.find("peer/zstd_compress")), 1.0 / 3, "x");
  const double peer_receive = per_item(r.find("peer/zstd_decompress+parse"));
  add("receive fleet mix / (zstd decompress+parse)", per_item(r.find("decompress/fleet_mix")) / peer_receive, 0.8,
      "x");
  for (const char* kind : {"diff", "heartbeat", "full"})
    add(std::string("receive ") + kind + " / (zstd decompress+parse)",
        per_item(r.find(std::string("decompress/") + kind)) / peer_receive, 1, "x");
  // Saves are reported, not chased: their cost is the file system's (BENCHMARKS.md).
  add("batch steady, registry / no registry", per_item(r.find("batch/steady+registry")) / batch, 2, "x");
  add("  the same, registry in memory (tmpfs)", per_item(r.find("batch/steady+registry_in_memory")) / batch, 2,
      "x");
  const double run = per_item(r.find("run_request/steady"));
  // State checks cost one digest of the template per heartbeat or difference, each side.
  add("state check: run request, on / off", per_item(r.find("run_request/steady+state_check")) / run, 1.05, "x");
  add("state check: batch steady, on / off", per_item(r.find("batch/steady+state_check")) / batch, 1.05, "x");
  add("state check: receive fleet in order, on / off",
      per_item(r.find("decompress/fleet_in_order+state_check")) / per_item(r.find("decompress/fleet_in_order")), 1.05,
      "x");
  add("run request, registry / no registry", per_item(r.find("run_request/steady+registry")) / run, 2, "x");
  add("  the same, registry in memory (tmpfs)", per_item(r.find("run_request/steady+registry_in_memory")) / run, 2,
      "x");

  std::printf("\nTargets\n%-44s %10s %12s %8s\n", "", "measured", "target", "");
  rule(78);
  for (const Target& x : t)
    std::printf("%-44s %10.3f %12s %8s\n", x.what.c_str(), x.measured, x.limit_text.c_str(),
                std::isnan(x.measured) ? "n/a" : x.holds ? "holds" : "MISSES");
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  // Defaults first, so that the same flags given on the command line win.
  std::vector<char*> args{argv[0]};
  std::string defaults[] = {"--benchmark_repetitions=5", "--benchmark_min_time=0.1",
                            "--benchmark_report_aggregates_only=true"};
  for (std::string& d : defaults) args.push_back(d.data());
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  bench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("Load average at end: %s\n", bench::MedianReporter::load_average().c_str());
  bench::side_by_side(reporter);
  bench::print_wire_bytes(bench::wire_bytes());
  bench::targets(reporter);
  benchmark::Shutdown();
  return 0;
}
