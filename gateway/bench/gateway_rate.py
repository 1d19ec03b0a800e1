"""Facts per second through the gateway on a 3-node broker cluster, side by side with the
library's own decode rate on the same packets, in one run.

Cases: one gateway with one packet per message; one gateway with batches of 64 packets
per message and its facts published as one JSON Lines message per batch (--facts-batch;
left out, and said so, when the gateway does not read batches); two and three gateways
with one packet per message. For each, the partitions are first filled with the fleet's
packets by the publisher (no gateway running), then the gateways start together and
drain them: the rate is facts on the output over the time from their start until the
last facts message is in its queue. Over that window: the gateways' CPU per fact and in
cores (/proc/<pid>/stat utime+stime), the broker nodes' CPU (their beam.smp processes)
and the whole machine's (/proc/stat; the machine may be shared), which tell where the
bound is. The publisher is not in the window; its rate and CPU per fact while filling
are shown beside. The library's rate is `tavkin decode` (one thread, the JSON request
path, no registry files) on the very packets published, by its CPU time.

Usage: gateway_rate.py TAVKIN [FACTS]   (`make bench-gateway` runs it; FACTS per case of
single packets, default 30000; the batch case sends ten times as many)
Environment: TAVKIN_BENCH_PORT (first port of its cluster, default 47400)."""

import os
import re
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "rabbitmq"))
import harness  # noqa: E402

PARTITIONS = 6
DEVICES = 50
BATCH = 64
EDGES = 12
TICK = os.sysconf("SC_CLK_TCK")
CORES = os.cpu_count()


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def threads(pid):
    return int(re.search(r"Threads:\s+(\d+)", Path(f"/proc/{pid}/status").read_text()).group(1))


def machine_busy_seconds():
    """CPU seconds every core spent not idle, since boot."""
    fields = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    return (sum(fields) - fields[3] - fields[4]) / TICK  # less idle and iowait


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def library_rate(tavkin, packets_path, facts):
    """Facts per CPU second of `tavkin decode` on the packets."""
    before = children_cpu()
    with open(packets_path) as packets:
        subprocess.run([tavkin, "decode"], stdin=packets, stdout=subprocess.DEVNULL, check=True)
    return facts / (children_cpu() - before)


def verdict(gateway_cores, gateway_threads, broker_cores, machine_cores):
    if machine_cores >= 0.9 * CORES:
        return (f"machine CPU saturated ({CORES} cores: broker {broker_cores:.2f}, gateways {gateway_cores:.2f}, "
                f"other {max(0.0, machine_cores - broker_cores - gateway_cores):.2f})")
    if gateway_cores >= 0.85 * min(gateway_threads, CORES):
        return "gateway CPU saturated"
    if broker_cores >= 0.85 * (CORES - gateway_cores):
        return "broker CPU saturated"
    return "no CPU saturated: waiting on the broker (round trips, confirms) or the disk"


class Bench:
    def __init__(self, tavkin, tmp, cluster):
        self.tavkin = tavkin
        self.tmp = tmp
        self.cluster = cluster
        self.brokers = [(tmp / "cluster" / f"node{i}" / "beam.pid").read_text().strip() for i in (1, 2, 3)]
        self.rows = []

    def depth(self, queue):
        return harness.queue_depth(self.tavkin, self.cluster.brokers(1), queue)

    def fill(self, name, facts, extra):
        """Publishes the case's packets; (messages, facts/s, publisher CPU µs per fact)."""
        log = self.tmp / f"publish-{name}.log"
        before, started = children_cpu(), time.time()
        with open(log, "w") as out:
            harness.publish(self.tavkin, self.cluster.brokers(1), facts, DEVICES, True, len(self.rows) + 1,
                            self.tmp / f"expected-{name}.jsonl", window=1024, log=out,
                            extra=["--packets-out", str(self.tmp / f"packets-{name}.b64"), *extra])
        seconds, cpu = time.time() - started, children_cpu() - before
        batches = re.search(r"in (\d+) batch messages", log.read_text())
        return (int(batches.group(1)) if batches else facts), facts / seconds, cpu / facts * 1e6

    def run_case(self, name, count, facts, publish_extra=(), gateway_extra=()):
        messages, publish_rate, publish_us = self.fill(name, facts, publish_extra)
        library = library_rate(self.tavkin, self.tmp / f"packets-{name}.b64", facts)
        broker_cpu, machine = sum(cpu_seconds(pid) for pid in self.brokers), machine_busy_seconds()
        started = time.time()
        gateways = [harness.Gateway(self.tavkin, f"{name}-{i}", self.cluster.brokers(i + 1), self.tmp / f"reg-{name}",
                                    PARTITIONS, self.tmp, ["--prefer", str(i), "--of", str(count), *gateway_extra],
                                    status=1) for i in range(count)]
        done, polls = 0, 0
        while done < messages:
            if any(g.process.poll() is not None for g in gateways):
                raise RuntimeError("a gateway exited; see " + ", ".join(str(g.log_path) for g in gateways))
            polls += 1
            if polls % 8 == 0 and self.depth("tavkin.dead") > 0:
                raise RuntimeError(f"{name}: the gateways dead-letter packets; see their logs")
            time.sleep(0.2)
            done = self.depth("tavkin.facts")
        seconds = time.time() - started
        gateway_cpu = sum(cpu_seconds(g.process.pid) for g in gateways)
        gateway_threads = max(threads(g.process.pid) for g in gateways)
        broker_cpu = sum(cpu_seconds(pid) for pid in self.brokers) - broker_cpu
        machine = machine_busy_seconds() - machine
        applied = [g.already_applied() for g in gateways]
        for g in gateways:
            g.stop()
        collected = harness.collect(self.tavkin, self.cluster.brokers(1), "tavkin.facts",
                                    self.tmp / f"facts-{name}.jsonl", idle=2)
        result = harness.check(self.tmp / f"expected-{name}.jsonl", collected)
        row = {"name": name, "gateways": count, "rate": facts / seconds, "seconds": seconds, "facts": facts,
               "gateway_us": gateway_cpu / facts * 1e6, "gateway_cores": gateway_cpu / seconds,
               "broker_cores": broker_cpu / seconds, "machine_cores": machine / seconds,
               "publish_rate": publish_rate, "publish_us": publish_us, "library": library,
               "lost": result["lost"], "wrong": result["wrong"],
               "bound": verdict(gateway_cpu / seconds, gateway_threads, broker_cpu / seconds, machine / seconds)}
        if any(a is not None for a in applied):
            row["bound"] += f"; already applied {sum(a or 0 for a in applied)}"
        self.rows.append(row)
        print(f"{name}: {row['rate']:.0f} facts/s ({row['bound']})", file=sys.stderr, flush=True)


def main():
    tavkin = sys.argv[1]
    facts = int(sys.argv[2]) if len(sys.argv) > 2 else 30000
    port = int(os.environ.get("TAVKIN_BENCH_PORT", "47400"))
    reads_batches = "--facts-batch" in harness.gateway_options(tavkin)
    with tempfile.TemporaryDirectory(prefix="tavkin-gateway-bench-") as tmp:
        tmp = Path(tmp)
        cluster = harness.Cluster(tmp / "cluster", port, PARTITIONS)
        try:
            cluster.start()
            bench = Bench(tavkin, tmp, cluster)
            bench.run_case("single", 1, facts)
            if reads_batches:
                bench.run_case(f"batch{BATCH}", 1, 10 * facts, ["--batch", str(BATCH), "--edges", str(EDGES)],
                               ["--facts-batch"])
            # What the disk costs: the same without fsync at checkpoints (a checkpoint then survives a
            # gateway's death but not a power loss).
            bench.run_case("single-nofsync", 1, facts, gateway_extra=["--no-fsync"])
            if reads_batches:
                bench.run_case(f"batch{BATCH}-nofsync", 1, 10 * facts, ["--batch", str(BATCH), "--edges", str(EDGES)],
                               ["--facts-batch", "--no-fsync"])
            for count in (2, 3):
                bench.run_case(f"single-{count}gw", count, facts)
        finally:
            cluster.stop()
    print(f"\ngateway benchmark: moving fleet of {DEVICES} devices, {PARTITIONS} partitions, 3 broker nodes on one "
          f"machine of {CORES} cores; partitions filled first, then drained by the gateways")
    if not reads_batches:
        print(f"(batches of {BATCH} left out: this gateway does not read batch messages)")
    print("\n| case | gateways | facts | facts/s through the gateways | library alone, facts/s (tavkin decode, "
          "1 thread) | gateway CPU µs/fact | gateway CPU (cores) | broker CPU (cores, 3 nodes) "
          "| machine CPU (cores) | publisher facts/s (filling) | publisher CPU µs/fact | lost | wrong |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in bench.rows:
        print(f"| {r['name']} | {r['gateways']} | {r['facts']} | {r['rate']:.0f} | {r['library']:.0f} "
              f"| {r['gateway_us']:.1f} | {r['gateway_cores']:.2f} | {r['broker_cores']:.2f} "
              f"| {r['machine_cores']:.2f} | {r['publish_rate']:.0f} | {r['publish_us']:.1f} "
              f"| {r['lost']} | {r['wrong']} |")
    print("\nwhere the bound is:")
    for r in bench.rows:
        print(f"  {r['name']}: {r['bound']}")
    print("targets: one packet per message >= 8,000 facts/s through one gateway; batches of 64 >= 100,000 facts/s; "
          "gateway CPU <= 5 µs per fact")


if __name__ == "__main__":
    main()
