"""Facts per second through 1, 2 and 3 gateways on a 3-node broker cluster, next to the
library's own decode rate and the broker's rate of confirmed publishes.

For each gateway count the partitions are first filled with the fleet's packets (no
gateway running), then the gateways start together and drain them; the rate is facts
confirmed on the output over the time from start to the last acknowledgement. CPU time
of the gateways and of the broker nodes over the same span shows which side is the bound.

Usage: gateway_rate.py TAVKIN [FACTS]   (`make bench-gateway` runs it)
Environment: TAVKIN_BENCH_PORT (first port of its cluster, default 47400)."""

import os
import re
import sys
import subprocess
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "rabbitmq"))
import harness  # noqa: E402

PARTITIONS = 6
DEVICES = 50
TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def acked(gateway):
    found = re.findall(r"acked (\d+)", gateway.log_path.read_text())
    return int(found[-1]) if found else 0


def library_rate(tavkin, facts):
    out = subprocess.run([tavkin, "demo", "--facts", str(facts), "--devices", str(DEVICES), "--quiet"],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    return float(re.search(r"receiver\s+(\d+) facts/s", out).group(1))


def main():
    tavkin = sys.argv[1]
    facts = int(sys.argv[2]) if len(sys.argv) > 2 else 30000
    port = int(os.environ.get("TAVKIN_BENCH_PORT", "47400"))
    rows = []
    with tempfile.TemporaryDirectory(prefix="tavkin-gateway-bench-") as tmp:
        tmp = Path(tmp)
        cluster = harness.Cluster(tmp / "cluster", port, PARTITIONS)
        try:
            cluster.start()
            brokers = [Path(tmp / "cluster" / f"node{i}" / "beam.pid").read_text().strip() for i in (1, 2, 3)]
            lib = library_rate(tavkin, facts)
            for count in (1, 2, 3):
                start = time.time()
                harness.publish(tavkin, cluster.brokers(1), facts, DEVICES, True, count, tmp / f"expected{count}.jsonl",
                                window=1024)
                publish_rate = facts / (time.time() - start)
                broker_cpu = sum(cpu_seconds(pid) for pid in brokers)
                started = time.time()
                gateways = [harness.Gateway(tavkin, f"g{count}-{i}", cluster.brokers(i + 1), tmp / f"registry{count}",
                                            PARTITIONS, tmp, ["--prefer", str(i), "--of", str(count)], status=0.5)
                            for i in range(count)]

                def drained():
                    if any(g.process.poll() is not None for g in gateways):
                        raise RuntimeError("a gateway exited; see " + ", ".join(str(g.log_path) for g in gateways))
                    return sum(acked(g) for g in gateways) >= facts

                harness.wait_until(drained, 900, step=0.25)
                seconds = time.time() - started
                gateway_cpu = sum(cpu_seconds(g.process.pid) for g in gateways)
                broker_cpu = sum(cpu_seconds(pid) for pid in brokers) - broker_cpu
                for g in gateways:
                    g.stop()
                collected = harness.collect(tavkin, cluster.brokers(1), "tavkin.facts", tmp / f"facts{count}.jsonl",
                                            idle=2)
                result = harness.check(tmp / f"expected{count}.jsonl", collected)
                rows.append((count, facts / seconds, publish_rate, gateway_cpu / seconds, broker_cpu / seconds,
                             result["lost"], result["wrong"]))
                print(f"{count} gateway(s): {facts / seconds:.0f} facts/s", file=sys.stderr, flush=True)
        finally:
            cluster.stop()
    print(f"\nlibrary alone (tavkin demo receiver, one thread): {lib:.0f} facts/s\n")
    print("| gateways | facts/s through the gateways | publishes/s into the broker (confirmed) "
          "| gateway CPU (cores) | broker CPU (cores, 3 nodes) | lost | wrong |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for count, rate, publish_rate, gcpu, bcpu, lost, wrong in rows:
        print(f"| {count} | {rate:.0f} | {publish_rate:.0f} | {gcpu:.2f} | {bcpu:.2f} | {lost} | {wrong} |")


if __name__ == "__main__":
    main()
