"""Gateways that lose a member and a broker node lose no fact and corrupt none.

On a 3-node cluster with 3 gateways, the demo fleet (moving devices included) sends its
facts. Part way through one gateway gets SIGKILL, later one broker node is stopped, then
a gateway is started again, and later another gateway is stopped by SIGTERM. Every fact sent must reach the output at least once and
exactly as sent; duplicates must carry the redelivery mark. The counts and the time each
hand-over took are printed.

Settings (environment): TAVKIN_BIN (the tool), TAVKIN_FAULT_FACTS (default 100000),
TAVKIN_FAULT_DEVICES (50), TAVKIN_FAULT_RATE (facts/s, default 1500),
TAVKIN_FAULT_PORT (first port of the test's cluster, default 47200)."""

import os
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "rabbitmq"))
import harness  # noqa: E402

TAVKIN = os.environ.get("TAVKIN_BIN", "tavkin")
FACTS = int(os.environ.get("TAVKIN_FAULT_FACTS", "100000"))
DEVICES = int(os.environ.get("TAVKIN_FAULT_DEVICES", "50"))
RATE = float(os.environ.get("TAVKIN_FAULT_RATE", "1500"))
PORT = int(os.environ.get("TAVKIN_FAULT_PORT", "47200"))
PARTITIONS = 6


def handovers(gateways, fault_time, until):
    """Seconds from a fault to each partition's activation on a gateway after it."""
    times = {}
    for gw in gateways:
        for partition, at in gw.activations():
            if fault_time <= at < until:
                times[partition] = min(times.get(partition, at), at) - fault_time
    return dict(sorted(times.items()))


class GatewayFaultTest(unittest.TestCase):
    def test_kill_a_gateway_stop_a_node_restart_a_gateway(self):
        with tempfile.TemporaryDirectory(prefix="tavkin-fault-") as tmp:
            tmp = Path(tmp)
            cluster = harness.Cluster(tmp / "cluster", PORT, PARTITIONS)
            gateways = []
            try:
                cluster.start()
                self.run_scenario(tmp, cluster, gateways)
            finally:
                for gw in gateways:
                    if gw.process.poll() is None:
                        gw.kill()
                cluster.stop()

    def run_scenario(self, tmp, cluster, gateways):
        self.started = time.time()
        registry = tmp / "registry"
        start = lambda name, first, index: gateways.append(harness.Gateway(  # noqa: E731
            TAVKIN, name, cluster.brokers(first), registry, PARTITIONS, tmp,
            ["--prefer", str(index), "--of", "3"]))
        for i in (1, 2, 3):
            start(f"gw{i}", i, i - 1)
        time.sleep(4)  # every gateway subscribed, standbys included

        # The publisher stays on nodes 1 and 3; node 2 is the one that is stopped.
        expect = tmp / "expected.jsonl"
        publisher_log = open(tmp / "publish.log", "w")
        publisher = harness.publish(TAVKIN, cluster.brokers(1, skip=(2,)), FACTS, DEVICES, True, 7, expect,
                                    rate=RATE, wait=False, log=publisher_log)
        duration = FACTS / RATE
        faults = {}
        time.sleep(0.25 * duration)
        faults["gateway gw1 killed"] = time.time()
        gateways[0].kill()
        time.sleep(0.25 * duration)
        faults["broker node 2 stopped"] = time.time()
        cluster.stop_node(2)
        time.sleep(0.15 * duration)
        faults["gateway gw1b started"] = time.time()
        start("gw1b", 3, 0)
        time.sleep(0.15 * duration)
        faults["gateway gw3 stopped by SIGTERM"] = time.time()
        statuses = {"gw3": gateways[2].stop()}
        self.assertEqual(publisher.wait(timeout=max(600, 4 * duration)), 0, (tmp / "publish.log").read_text())
        publisher_log.close()

        facts = harness.collect(TAVKIN, cluster.brokers(1, skip=(2,)), "tavkin.facts", tmp / "facts.jsonl", idle=15)
        dead = harness.collect(TAVKIN, cluster.brokers(1, skip=(2,)), "tavkin.dead", tmp / "dead.b64", idle=2,
                               binary=True)
        statuses.update({gw.name: gw.stop() for gw in gateways if gw.name in ("gw2", "gw1b")})
        result = harness.check(expect, facts)

        ends = sorted(faults.values()) + [time.time()]
        print(f"\ngateway fault test: {FACTS} facts from {DEVICES} devices (moving fleet), "
              f"{PARTITIONS} partitions, 3 gateways, 3 broker nodes")
        print(f"  sent {result['sent']}, received {result['received']}: lost {result['lost']}, "
              f"wrong {result['wrong']}, duplicates {result['duplicates']} "
              f"(unmarked {result['unmarked_duplicates']}), dead-lettered {len(dead)}")
        for (what, at), until in zip(sorted(faults.items(), key=lambda kv: kv[1]), ends[1:]):
            took = handovers(gateways, at, until)
            shown = ", ".join(f"p{p} {s:.2f} s" for p, s in took.items()) or "no partition moved"
            print(f"  {what}: {shown}")
        waits, put_back = (sum(n) for n in zip(*(gw.fence() for gw in gateways)))
        print(f"  fence: {waits} partitions waited for the gateway before them, {put_back} device files put back")
        print(f"  gateway exit statuses after SIGTERM: {statuses}")
        print(f"  wall time {time.time() - self.started:.0f} s, cluster start and stop left out")
        sys.stdout.flush()

        self.assertEqual(result["lost"], 0, result["examples"]["lost"])
        self.assertEqual(result["wrong"], 0, result["examples"]["wrong"])
        self.assertEqual(result["unmarked_duplicates"], 0)
        self.assertEqual(len(dead), 0, dead[:3])
        self.assertTrue(all(status == 0 for status in statuses.values()), statuses)
        # The partitions of the killed and of the stopped gateway moved to living ones.
        self.assertTrue(handovers(gateways, faults["gateway gw1 killed"], faults["broker node 2 stopped"]))
        self.assertTrue(handovers(gateways, faults["gateway gw3 stopped by SIGTERM"], time.time()))


if __name__ == "__main__":
    unittest.main()
