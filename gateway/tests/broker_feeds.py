"""What `tavkin publish` puts into the partitions and what `tavkin collect` takes out, on a
3-node broker cluster of its own, with no gateway running but in the last case.

- publish, one packet per message over AMQP or over MQTT, or batches through edge senders:
  every packet arrives once; all packets of a device are in one partition, in the order
  they were made; a batch holds at most --batch packets, all of one edge; a device is
  never more than --keyframe-every packets from its last full packet.
- the same devices over AMQP and then over MQTT: each device's packets of both are in one
  partition (the two transports carry the same routing key).
- collect --max twice, then collect the rest, each in more than one round: no message
  comes twice (the acknowledgements of each round survive its close) and none is missing.
- a gateway fed over MQTT: every fact comes out once and as sent.

Settings (environment): TAVKIN_BIN (the tool), TAVKIN_FEEDS_PORT (first port of the
cluster, default 47250)."""

import base64
import json
import os
import sys
import tempfile
import unittest
from collections import Counter, defaultdict
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "rabbitmq"))
import harness  # noqa: E402

TAVKIN = os.environ.get("TAVKIN_BIN", "tavkin")
PORT = int(os.environ.get("TAVKIN_FEEDS_PORT", "47250"))
PARTITIONS = 6
BATCH_MARKER = 0xBA
DATA_FULL = 63


def varint(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at


def packets_of(body):
    """The packets of a message body: a batch's, or the body itself."""
    if not body or body[0] != BATCH_MARKER:
        return [body]
    assert body[1] == 1, "batch version"
    count, at = varint(body, 2)
    packets = []
    for _ in range(count):
        size, at = varint(body, at)
        packets.append(body[at:at + size])
        at += size
    assert at == len(body), "bytes after the last packet of a batch"
    return packets


class BrokerFeeds(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="tavkin-feeds-")
        cls.cluster = harness.Cluster(Path(cls.tmp.name) / "cluster", PORT, PARTITIONS)
        try:
            cls.cluster.start()
        except BaseException:
            cls.cluster.stop()
            cls.tmp.cleanup()
            raise
        cls.brokers = cls.cluster.brokers(1)
        cls.mqtt_brokers = cls.cluster.brokers(1, mqtt=True)

    @classmethod
    def tearDownClass(cls):
        cls.cluster.stop()
        cls.tmp.cleanup()

    def drain_partitions(self, name):
        """Every partition's message bodies, in queue order."""
        out = {}
        for k in range(PARTITIONS):
            lines = harness.collect(TAVKIN, self.brokers, f"tavkin.packets.{k}", Path(self.tmp.name) / f"{name}.{k}",
                                    idle=1, binary=True)
            out[k] = [base64.b64decode(line) for line in lines]
        return out

    def test_publish_keeps_each_device_in_one_partition_in_order(self):
        cases = [  # (name, extra options, rate, packets per message at most, edges, batches fill up)
            ("one packet per message", [], 0, 1, None, True),
            ("one packet per message over MQTT", ["--mqtt"], 0, 1, None, True),
            ("batches of 16 through 4 edges", ["--batch", "16", "--edges", "4"], 0, 16, 4, True),
            ("batches sent by time", ["--batch", "64", "--edges", "3", "--batch-ms", "20"], 400, 64, 3, False),
        ]
        facts, devices = 1200, 9
        for name, extra, rate, batch, edges, fill in cases:
            with self.subTest(name):
                tmp = Path(self.tmp.name) / name.replace(" ", "-")
                tmp.mkdir()
                self.drain_partitions(f"before-{tmp.name}")  # left by another test
                brokers = self.mqtt_brokers if "--mqtt" in extra else self.brokers
                harness.publish(TAVKIN, brokers, facts, devices, False, 3, tmp / "expected.jsonl", rate=rate,
                                extra=["--packets-out", str(tmp / "packets.b64"), "--keyframe-every", "10", *extra])
                # Both files have one line per packet made, in the order made.
                made = [base64.b64decode(line) for line in (tmp / "packets.b64").read_text().split()]
                devices_of = [int(json.loads(line)["dedup_key"].split(":")[0])
                              for line in (tmp / "expected.jsonl").read_text().splitlines()]
                self.assertEqual(len(made), facts)
                device_of = dict(zip(made, devices_of))
                self.assertEqual(len(device_of), facts, "packets are unique")

                bodies = self.drain_partitions(name.replace(" ", "-"))
                arrived = defaultdict(list)  # device -> [(partition, packet)]
                for k, messages in bodies.items():
                    for body in messages:
                        packets = packets_of(body)
                        self.assertLessEqual(len(packets), batch)
                        if edges:
                            self.assertEqual(len({device_of[p] % edges for p in packets}), 1, "one edge per batch")
                        for p in packets:
                            arrived[device_of[p]].append((k, p))
                self.assertEqual(sum(len(v) for v in arrived.values()), facts)
                messages = sum(len(m) for m in bodies.values())
                if fill and edges:  # full batches, and one partial batch per edge at the end
                    per_edge = Counter(d % edges for d in devices_of)
                    self.assertEqual(messages, sum(-(-n // batch) for n in per_edge.values()))
                elif edges:  # at 400 facts/s a batch of 64 waits longer than 20 ms: sent before it fills
                    self.assertGreater(messages, facts / 16)
                for device in set(devices_of):
                    with self.subTest(device=device):
                        self.assertEqual(len({k for k, _ in arrived[device]}), 1, "one partition per device")
                        sent = [p for p, d in zip(made, devices_of) if d == device]
                        self.assertEqual([p for _, p in arrived[device]], sent, "a device's order")
                        full_at = [i for i, p in enumerate(sent) if p[0] == DATA_FULL]
                        gaps = [b - a for a, b in zip(full_at, full_at[1:] + [len(sent)])]
                        self.assertEqual(full_at[0], 0)
                        self.assertLessEqual(max(gaps), 10, "key frames every 10 packets")

    def test_a_device_lands_in_one_partition_over_either_transport(self):
        tmp = Path(self.tmp.name) / "both-transports"
        tmp.mkdir()
        self.drain_partitions("before-both")
        facts, devices = 1200, 24
        made = {}  # packet -> device, of both senders (the same fleet makes the same packets)
        for transport, brokers, extra in (("amqp", self.brokers, []), ("mqtt", self.mqtt_brokers, ["--mqtt"])):
            harness.publish(TAVKIN, brokers, facts, devices, False, 11, tmp / f"expected-{transport}.jsonl",
                            extra=["--packets-out", str(tmp / f"packets-{transport}.b64"), *extra])
            packets = [base64.b64decode(line) for line in (tmp / f"packets-{transport}.b64").read_text().split()]
            keys = [json.loads(line)["dedup_key"]
                    for line in (tmp / f"expected-{transport}.jsonl").read_text().splitlines()]
            made.update((p, int(key.split(":")[0])) for p, key in zip(packets, keys))
        partitions = defaultdict(Counter)  # device -> partition -> packets
        for k, messages in self.drain_partitions("both").items():
            for body in messages:
                partitions[made[body]][k] += 1
        self.assertEqual(len(partitions), devices)
        self.assertEqual(sum(sum(c.values()) for c in partitions.values()), 2 * facts)
        # Spread over the partitions, so a key that differed between transports would show.
        self.assertGreater(len({k for c in partitions.values() for k in c}), 3)
        split = {device: dict(c) for device, c in partitions.items() if len(c) > 1}
        self.assertEqual(split, {}, "devices in more than one partition")

    def test_gateway_decodes_what_mqtt_devices_publish(self):
        tmp = Path(self.tmp.name) / "mqtt-gateway"
        tmp.mkdir()
        self.drain_partitions("before-gateway")
        harness.collect(TAVKIN, self.brokers, "tavkin.facts", tmp / "facts-before.jsonl", idle=1)
        gateway = harness.Gateway(TAVKIN, "gw-mqtt", self.brokers, tmp / "registry", PARTITIONS, tmp)
        try:
            harness.publish(TAVKIN, self.mqtt_brokers, 3000, 12, True, 13, tmp / "expected.jsonl", extra=["--mqtt"])
            facts = harness.collect(TAVKIN, self.brokers, "tavkin.facts", tmp / "facts.jsonl", idle=3)
        finally:
            status = gateway.stop()
        result = harness.check(tmp / "expected.jsonl", facts)
        self.assertEqual(result["sent"], 3000)
        self.assertEqual((result["lost"], result["wrong"], result["duplicates"]), (0, 0, 0), result["examples"])
        self.assertEqual(status, 0, gateway.log_path.read_text())

    def test_collect_in_two_parts_gets_each_message_once(self):
        tmp = Path(self.tmp.name) / "collect"
        tmp.mkdir()
        self.drain_partitions("before-collect")
        harness.publish(TAVKIN, self.brokers, 12000, 4, False, 5, tmp / "expected.jsonl")
        queue = max((f"tavkin.packets.{k}" for k in range(PARTITIONS)),
                    key=lambda q: harness.queue_depth(TAVKIN, self.brokers, q))
        depth = harness.queue_depth(TAVKIN, self.brokers, queue)
        self.assertGreater(depth, 2500)
        # Two collects stopped by --max right after a burst of deliveries, then one that
        # empties the queue; each takes more than one round of 1000.
        part = depth * 2 // 5
        parts = [harness.collect(TAVKIN, self.brokers, queue, tmp / f"part{i}", idle=2, binary=True,
                                 max_messages=part if i < 2 else 0) for i in range(3)]
        self.assertEqual([len(p) for p in parts[:2]], [part] * 2)
        seen = Counter(m for p in parts for m in p)
        self.assertEqual([m for m, n in seen.items() if n > 1], [], "acknowledged by a collect, delivered again")
        self.assertEqual(sum(seen.values()), depth)
        self.assertEqual(harness.queue_depth(TAVKIN, self.brokers, queue), 0)


if __name__ == "__main__":
    unittest.main()
