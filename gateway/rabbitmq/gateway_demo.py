"""`make gateway-demo`: the demo fleet through two gateways on a 3-node broker cluster.
Starts the cluster under a temporary directory, two gateways, publishes the fleet's
packets, collects the facts the gateways published, prints what was delivered, and stops
everything it started. Usage: gateway_demo.py TAVKIN [FACTS]"""

import json
import os
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import harness

PARTITIONS = 6


def main():
    tavkin = sys.argv[1]
    facts_wanted = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
    port = int(os.environ.get("TAVKIN_DEMO_PORT", "47300"))
    with tempfile.TemporaryDirectory(prefix="tavkin-gateway-demo-") as tmp:
        tmp = Path(tmp)
        cluster = harness.Cluster(tmp / "cluster", port, PARTITIONS)
        gateways = []
        try:
            print(cluster.start().strip(), flush=True)
            for i in (1, 2):
                gateways.append(harness.Gateway(tavkin, f"gw{i}", cluster.brokers(i), tmp / "registry", PARTITIONS,
                                                tmp, ["--prefer", str(i - 1), "--of", "2"]))
            time.sleep(4)
            expect = tmp / "expected.jsonl"
            started = time.time()
            harness.publish(tavkin, cluster.brokers(1), facts_wanted, 12, True, 1, expect)
            facts = harness.collect(tavkin, cluster.brokers(1), "tavkin.facts", tmp / "facts.jsonl", idle=3)
            seconds = time.time() - started
            result = harness.check(expect, facts)
        finally:
            statuses = {gw.name: gw.stop() for gw in gateways}
            cluster.stop()
        by_gateway = Counter(f["gateway"] for f in facts)
        by_partition = Counter(f["partition"] for f in facts)
        devices = {f["device"] for f in facts}
        print(f"\ngateway demo: {result['sent']} facts from 12 devices (moving fleet) through 2 gateways "
              f"and {PARTITIONS} partitions in {seconds:.1f} s")
        print(f"  delivered   {result['received']}  lost {result['lost']}, wrong {result['wrong']}, "
              f"duplicates {result['duplicates']}")
        print("  by gateway  " + ", ".join(f"{g} {n}" for g, n in sorted(by_gateway.items())))
        print("  by partition " + ", ".join(f"p{p} {n}" for p, n in sorted(by_partition.items())))
        print(f"  devices     {len(devices)}; gateway exit statuses {statuses}")
        print("  a delivered fact:")
        print("   ", json.dumps(facts[-1], separators=(",", ":")))
        return 0 if result["lost"] == 0 and result["wrong"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
