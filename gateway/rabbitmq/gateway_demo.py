"""`make gateway-demo`: the demo fleet through two gateways on a 3-node broker cluster.
Starts the cluster under a temporary directory, two gateways, publishes the fleet's
packets (half the devices over AMQP, half over MQTT as devices on the brokers' MQTT
listeners do), collects the facts the gateways published, prints what was delivered by
transport, and stops everything it started. Usage: gateway_demo.py TAVKIN [FACTS]"""

import json
import os
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import harness

PARTITIONS = 6
DEVICES = 6  # per transport


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
            # The two senders run at once, each with devices of its own.
            expect = {"AMQP": tmp / "expected-amqp.jsonl", "MQTT": tmp / "expected-mqtt.jsonl"}
            started = time.time()
            senders = [harness.publish(tavkin, cluster.brokers(1), facts_wanted - facts_wanted // 2, DEVICES, True, 1,
                                       expect["AMQP"], wait=False),
                       harness.publish(tavkin, cluster.brokers(2, mqtt=True), facts_wanted // 2, DEVICES, True, 2,
                                       expect["MQTT"], wait=False, extra=["--mqtt", "--first-device", str(DEVICES)])]
            if any(sender.wait() != 0 for sender in senders):
                raise RuntimeError("tavkin publish failed")
            facts = harness.collect(tavkin, cluster.brokers(1), "tavkin.facts", tmp / "facts.jsonl", idle=3)
            seconds = time.time() - started
            result = harness.check(list(expect.values()), facts)
        finally:
            statuses = {gw.name: gw.stop() for gw in gateways}
            cluster.stop()
        by_gateway = Counter(f["gateway"] for f in facts)
        by_partition = Counter(f["partition"] for f in facts)
        devices = {f["device"] for f in facts}
        transport_of = {int(json.loads(line)["dedup_key"].split(":")[0]): transport
                        for transport, path in expect.items() for line in path.read_text().splitlines()}
        print(f"\ngateway demo: {result['sent']} facts from {2 * DEVICES} devices (moving fleet), {DEVICES} "
              f"publishing over AMQP and {DEVICES} over MQTT, through 2 gateways and {PARTITIONS} partitions "
              f"in {seconds:.1f} s")
        print(f"  delivered   {result['received']}  lost {result['lost']}, wrong {result['wrong']}, "
              f"duplicates {result['duplicates']}")
        print("  by gateway  " + ", ".join(f"{g} {n}" for g, n in sorted(by_gateway.items())))
        print("  by partition " + ", ".join(f"p{p} {n}" for p, n in sorted(by_partition.items())))
        for transport in expect:
            mine = [f for f in facts if transport_of.get(f["device"]) == transport]
            partitions = sorted({f["partition"] for f in mine})
            print(f"  over {transport}   {len(mine)} facts from {len({f['device'] for f in mine})} devices, "
                  f"partitions {partitions}")
        print(f"  devices     {len(devices)}; gateway exit statuses {statuses}")
        print("  a delivered fact:")
        print("   ", json.dumps(facts[-1], separators=(",", ":")))
        return 0 if result["lost"] == 0 and result["wrong"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
