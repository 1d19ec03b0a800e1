"""Gateways that lose a member and a broker node lose no fact and corrupt none.

On a 3-node cluster with 3 gateways, the demo fleet (moving devices included) sends its
facts: part one packet per message, part in batches through edge senders, and part one
packet per message over MQTT, as devices on the brokers' MQTT listeners do; the MQTT
sender is connected to the node that is stopped, so it reconnects and publishes again
what was not acknowledged. Meanwhile one
gateway kills itself right after a checkpoint's files are saved and before its
acknowledgements (--test-kill-after-checkpoint) and is started again at once, as a
supervisor would; one gateway gets SIGKILL; one broker node is stopped; a gateway is
started again; the busiest gateway is stopped with SIGSTOP for 30 s, holding its
connection and its partitions' locks, and then continued; later the busiest one is
stopped by SIGTERM. Every fact sent must reach the output at
least once and exactly as sent; duplicates must carry the redelivery mark; no packet may
be dead-lettered (a file lost at hand-over would be recovered by the senders' key frames,
at the cost of dead-lettered packets until the next one). The counts, the time each
hand-over took and the gateways' already-applied counts (from their status lines) are
printed.

One gateway (gw3) serves /metrics; curl scrapes it every few seconds through the faults.
No counter of it may decrease between two scrapes, the last scrape must pass `promtool
check metrics` (a missing promtool fails the test), and its acknowledged facts must agree
with its facts in the output: at most as many as the output holds, which is at most as many
as it decoded, all three equal when it acknowledged everything it decoded (its final
counts are those of the status line it prints when it stops).

Settings (environment): TAVKIN_BIN (the tool), TAVKIN_FAULT_FACTS (default 100000),
TAVKIN_FAULT_DEVICES (50 per sender), TAVKIN_FAULT_RATE (facts/s of all senders, default
2000), TAVKIN_FAULT_PORT (first port of the test's cluster, default 47200),
TAVKIN_FAULT_KILL_CHECKPOINT (the checkpoint after which a gateway kills itself, default
5), TAVKIN_FAULT_PAUSE (seconds a gateway stays stopped, default 30),
TAVKIN_FAULT_METRICS_PORT (gw3's metrics endpoint, default the cluster's first port + 50)."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "rabbitmq"))
import harness  # noqa: E402

TAVKIN = os.environ.get("TAVKIN_BIN", "tavkin")
FACTS = int(os.environ.get("TAVKIN_FAULT_FACTS", "100000"))
DEVICES = int(os.environ.get("TAVKIN_FAULT_DEVICES", "50"))
RATE = float(os.environ.get("TAVKIN_FAULT_RATE", "2000"))
PORT = int(os.environ.get("TAVKIN_FAULT_PORT", "47200"))
# Early: gw2 is on the node stopped at 30 % of the run, which can take its partitions away
# for good, and with confirms from a busy broker and fsync on a busy disk a gateway may
# checkpoint only once a second.
KILL_AFTER_CHECKPOINT = int(os.environ.get("TAVKIN_FAULT_KILL_CHECKPOINT", "5"))
PAUSE = float(os.environ.get("TAVKIN_FAULT_PAUSE", "30"))
METRICS_PORT = int(os.environ.get("TAVKIN_FAULT_METRICS_PORT", str(PORT + 50)))
SCRAPE_EVERY = 2.0
PARTITIONS = 6
BATCHED_SHARE = 0.4  # of the facts, sent in batches (when the gateways read them)
MQTT_SHARE = 0.2  # of the facts, sent over MQTT
CHECKPOINT_OPTIONS = {"--test-kill-after-checkpoint", "--facts-batch"}


def handovers(gateways, fault_time, until):
    """Seconds from a fault to each partition's activation on a gateway after it."""
    times = {}
    for gw in gateways:
        for partition, at in gw.activations():
            if fault_time <= at < until:
                times[partition] = min(times.get(partition, at), at) - fault_time
    return dict(sorted(times.items()))


def busiest(gateways):
    """The living, running gateway active for the most partitions by its last status line."""
    living = [gw for gw in gateways if gw.process.poll() is None and not getattr(gw, "paused", False)]
    return max(living, key=lambda gw: len(gw.active_partitions()))


def is_counter(name):
    return name.endswith(("_total", "_bucket", "_sum", "_count"))


# Counters whose device labels are bounded: a device that leaves the set adds its count to
# device="other" and may come back from a new count, so only their sum never decreases.
BY_DEVICE = ("tavkin_gateway_unknown_templates_total", "tavkin_gateway_state_mismatches_total")


def decreases(before, after):
    """Counter samples of `after` below those of `before`, by name and labels."""
    found = []
    for key, value in after.items():
        name = key[0]
        if is_counter(name) and name not in BY_DEVICE and key in before and value < before[key]:
            found.append((key, before[key], value))
    for name in BY_DEVICE:
        total = {side: sum(v for k, v in samples.items() if k[0] == name)
                 for side, samples in (("before", before), ("after", after))}
        if total["after"] < total["before"]:
            found.append((name, total["before"], total["after"]))
    return found


class Scraper(threading.Thread):
    """Scrapes one gateway's /metrics every SCRAPE_EVERY seconds until stopped; a scrape
    that gets no answer (the gateway paused) is left out."""

    def __init__(self, address):
        super().__init__(daemon=True)
        self.address = address
        self.scrapes = []  # parsed samples, in order
        self.last_text = None  # the last answer as served
        self.halt = threading.Event()

    def run(self):
        while not self.halt.wait(SCRAPE_EVERY):
            text = harness.scrape(self.address)
            if text is not None:
                self.last_text = text
                self.scrapes.append(harness.parse_metrics(text))

    def stop(self):
        self.halt.set()
        self.join()


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
                        gw.resume()
                        gw.kill()
                cluster.stop()

    def run_scenario(self, tmp, cluster, gateways):
        self.started = time.time()
        # Every fault runs: a tool that lacks the options the faults need fails here, never skips them.
        missing = CHECKPOINT_OPTIONS - harness.gateway_options(TAVKIN)
        self.assertFalse(missing, f"tavkin gateway lacks {sorted(missing)}")
        for tool in ("curl", "promtool"):
            self.assertIsNotNone(shutil.which(tool), f"{tool} is missing: tools/install-deps.sh broker installs it")
        checkpoints = True
        registry = tmp / "registry"

        def start(name, first, index, extra=()):
            options = ["--prefer", str(index), "--of", "3"]
            if checkpoints:
                options += list(extra)
            gateways.append(harness.Gateway(TAVKIN, name, cluster.brokers(first), registry, PARTITIONS, tmp, options))
            return gateways[-1]

        start("gw1", 1, 0, ["--facts-batch"])
        self_killer = start("gw2", 2, 1, ["--test-kill-after-checkpoint", str(KILL_AFTER_CHECKPOINT)])
        metrics_address = f"127.0.0.1:{METRICS_PORT}"
        scraped = start("gw3", 3, 2, ["--metrics-port", str(METRICS_PORT)])
        scraper = Scraper(metrics_address)
        scraper.start()
        time.sleep(4)  # every gateway subscribed, standbys included

        # The AMQP senders stay on nodes 1 and 3; node 2 is the one that is stopped, under
        # the MQTT sender. Each has devices of its own: a batch is keyed by its edge, so a
        # batched device's packets must all go that way.
        batched = int(FACTS * BATCHED_SHARE) if checkpoints else 0
        over_mqtt = int(FACTS * MQTT_SHARE)
        senders = [("plain", FACTS - batched - over_mqtt, cluster.brokers(1, skip=(2,)), 7, [])]
        if batched:
            senders.append(("batched", batched, cluster.brokers(3, skip=(2,)), 8,
                            ["--batch", "64", "--edges", "8", "--first-device", str(DEVICES)]))
        senders.append(("mqtt", over_mqtt, cluster.brokers(2, mqtt=True), 9,
                        ["--mqtt", "--first-device", str(2 * DEVICES)]))
        expected, publishers = [], []
        for name, facts, brokers, seed, extra in senders:
            expected.append(tmp / f"expected-{name}.jsonl")
            log = open(tmp / f"publish-{name}.log", "w")
            publishers.append((harness.publish(TAVKIN, brokers, facts, DEVICES, True, seed, expected[-1],
                                               rate=RATE * facts / FACTS, wait=False, log=log, extra=extra), log))
        duration = FACTS / RATE
        begun = time.time()
        faults = {}

        def wait_until(at):
            """Sleeps until `at` seconds into the run; meanwhile a gateway that killed itself
            is started again at once, as its supervisor would."""
            while time.time() < begun + at:
                if checkpoints and self_killer.process.poll() is not None and "gw2b" not in {g.name for g in gateways}:
                    faults[f"gateway gw2 killed itself after checkpoint {KILL_AFTER_CHECKPOINT}"] = time.time()
                    start("gw2b", 1, 1)
                time.sleep(0.2)

        wait_until(0.15 * duration)
        faults["gateway gw1 killed"] = time.time()
        gateways[0].kill()
        wait_until(0.30 * duration)
        faults["broker node 2 stopped"] = time.time()
        cluster.stop_node(2)
        wait_until(0.40 * duration)
        faults["gateway gw1b started"] = time.time()
        start("gw1b", 3, 0, ["--facts-batch"])
        wait_until(0.45 * duration)
        paused = busiest(gateways)
        faults[f"gateway {paused.name} stopped by SIGSTOP"] = time.time()
        paused.pause()
        paused.paused = True
        wait_until(0.45 * duration + PAUSE)
        faults[f"gateway {paused.name} continued by SIGCONT"] = time.time()
        paused.resume()
        paused.paused = False
        wait_until(0.55 * duration + PAUSE)
        terminated = busiest(gateways)
        faults[f"gateway {terminated.name} stopped by SIGTERM"] = time.time()
        statuses = {terminated.name: terminated.stop()}
        for process, log in publishers:
            self.assertEqual(process.wait(timeout=max(600, 4 * duration)), 0, Path(log.name).read_text())
            log.close()

        facts = harness.collect(TAVKIN, cluster.brokers(1, skip=(2,)), "tavkin.facts", tmp / "facts.jsonl", idle=15)
        dead = harness.collect(TAVKIN, cluster.brokers(1, skip=(2,)), "tavkin.dead", tmp / "dead.b64", idle=2,
                               binary=True)
        # The scraped gateway may be the one stopped by SIGTERM: then its last scrape is the
        # one taken before, and its final counts are those of the status line it printed
        # when it stopped, as they are for the others when they stop below.
        scraper.stop()
        last_text = harness.scrape(metrics_address) if scraped.process.poll() is None else scraper.last_text
        self.assertIsNotNone(last_text, f"{scraped.name} never answered at {metrics_address}")
        scrapes = scraper.scrapes + [harness.parse_metrics(last_text)]
        promtool = subprocess.run(["promtool", "check", "metrics"], input=last_text, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        killed = {"gw1"} | ({"gw2"} if checkpoints else set())
        statuses.update({gw.name: gw.stop() for gw in gateways if gw.name not in killed | set(statuses)})
        if checkpoints:
            self_killer.log.close()
        result = harness.check(expected, facts)

        ends = sorted(faults.values()) + [time.time()]
        print(f"\ngateway fault test: {FACTS} facts from {len(senders) * DEVICES} devices (moving fleet), "
              f"{PARTITIONS} partitions, 3 gateways, 3 broker nodes")
        if checkpoints:
            print(f"  senders: {FACTS - batched - over_mqtt} facts one packet per message, {batched} in batches "
                  f"of 64 through 8 edges, {over_mqtt} over MQTT; gateways checkpoint as by default")
        else:
            print("  this gateway has no checkpoints: the kill after a checkpoint and the batched sender are left out")
        print(f"  sent {result['sent']}, received {result['received']}: lost {result['lost']}, "
              f"wrong {result['wrong']}, duplicates {result['duplicates']} "
              f"(unmarked {result['unmarked_duplicates']}), dead-lettered {len(dead)}")
        for (what, at), until in zip(sorted(faults.items(), key=lambda kv: kv[1]), ends[1:]):
            took = handovers(gateways, at, until)
            shown = ", ".join(f"p{p} {s:.2f} s" for p, s in took.items()) or "no partition moved"
            print(f"  {what}: {shown}")
        waits, put_back = (sum(n) for n in zip(*(gw.fence() for gw in gateways)))
        print(f"  fence: {waits} partitions waited for the gateway before them, {put_back} device files put back")
        applied = {gw.name: gw.already_applied() for gw in gateways}
        if any(n is not None for n in applied.values()):
            print("  already applied: " + ", ".join(f"{name} {n}" for name, n in applied.items() if n is not None))
        print(f"  gateway exit statuses after SIGTERM: {statuses}")
        final = scraped.last_status()
        counts = {what: final[what] for what in ("facts_decoded", "facts_acknowledged", "sessions_started")}
        in_output = sum(1 for fact in facts if fact["gateway"] == scraped.name)
        print(f"  metrics of {scraped.name}: {len(scrapes)} scrapes; facts decoded {counts['facts_decoded']}, "
              f"acknowledged {counts['facts_acknowledged']}, in the output {in_output}; "
              f"{counts['sessions_started']} sessions; promtool exit {promtool.returncode}")
        print(f"  wall time {time.time() - self.started:.0f} s, cluster start and stop left out")
        sys.stdout.flush()

        self.assertEqual(result["lost"], 0, result["examples"]["lost"])
        self.assertEqual(result["wrong"], 0, result["examples"]["wrong"])
        self.assertEqual(result["unmarked_duplicates"], 0)
        self.assertEqual(len(dead), 0, dead[:3])
        self.assertIn("reconnecting", (tmp / "publish-mqtt.log").read_text(), "the MQTT sender missed the node stop")
        self.assertTrue(all(status == 0 for status in statuses.values()), statuses)
        self.assertEqual(promtool.returncode, 0, promtool.stdout)
        self.assertGreaterEqual(len(scrapes), 5)
        for before, after in zip(scrapes, scrapes[1:]):
            self.assertEqual(decreases(before, after), [])
        # Acknowledged facts were confirmed first, so the output holds them; it holds no
        # fact the gateway did not decode; only facts dropped with a lost session part them.
        self.assertLessEqual(counts["facts_acknowledged"], in_output)
        self.assertLessEqual(in_output, counts["facts_decoded"])
        if counts["facts_acknowledged"] == counts["facts_decoded"]:
            self.assertEqual(in_output, counts["facts_acknowledged"])
        if checkpoints:
            self.assertEqual(self_killer.process.returncode, -signal.SIGKILL, "gw2 did not kill itself")
        # The partitions of the killed and of the stopped gateway moved to living ones.
        self.assertTrue(handovers(gateways, faults["gateway gw1 killed"], faults["broker node 2 stopped"]))
        self.assertTrue(handovers(gateways, faults[f"gateway {terminated.name} stopped by SIGTERM"], time.time()))


if __name__ == "__main__":
    unittest.main()
