"""Running the gateway on a broker cluster from Python: the cluster script, gateway
processes, the publisher and the collector, and the check of what came out against what
was sent. Used by the gateway demo, the fault test and the gateway benchmark."""

import json
import os
import re
import signal
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
CLUSTER_SCRIPT = HERE / "cluster.sh"
GATEWAY_MEMBERS = ("device", "partition", "gateway", "dedup_key", "redelivered")


class Cluster:
    """gateway/rabbitmq/cluster.sh with its own directory, ports and partition count."""

    def __init__(self, directory, port, partitions):
        self.directory = Path(directory)
        self.port = port
        self.partitions = partitions
        self.env = dict(os.environ, TAVKIN_CLUSTER_DIR=str(directory), TAVKIN_CLUSTER_PORT=str(port),
                        TAVKIN_PARTITIONS=str(partitions))

    def run(self, *args, timeout=600):
        return subprocess.run([str(CLUSTER_SCRIPT), *args], env=self.env, check=True, timeout=timeout,
                              stdout=subprocess.PIPE, text=True).stdout

    def start(self):
        return self.run("start")

    def stop(self):
        return self.run("stop")

    def stop_node(self, i):
        self.run("stop-node", str(i))

    def start_node(self, i):
        self.run("start-node", str(i))

    def address(self, i):
        return f"127.0.0.1:{self.port + i}"

    def brokers(self, first=1, skip=(), mqtt=False):
        """Addresses of the nodes (their MQTT listeners with `mqtt`), starting at node
        `first`, leaving out `skip`."""
        order = [((first - 1 + n) % 3) + 1 for n in range(3)]
        return ",".join(self.mqtt_address(i) if mqtt else self.address(i) for i in order if i not in skip)

    def mqtt_address(self, i):
        return f"127.0.0.1:{self.port + 40 + i}"


class Gateway:
    """One `tavkin gateway` process, its log in a file."""

    def __init__(self, tavkin, name, brokers, registry, partitions, log_dir, extra=(), status=2):
        self.name = name
        self.log_path = Path(log_dir) / f"{name}.log"
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(
            [tavkin, "gateway", "--name", name, "--brokers", brokers, "--registry", str(registry),
             "--partitions", str(partitions), "--status", str(status), *extra],
            stdout=self.log, stderr=subprocess.STDOUT)

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        self.log.close()

    def stop(self, timeout=60):
        """SIGTERM, then its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        self.log.close()
        return status

    def activations(self):
        """(partition, unix time) of each partition this gateway became active for."""
        pattern = re.compile(r"partition (\d+) active at ([\d.]+)")
        return [(int(m.group(1)), float(m.group(2))) for m in pattern.finditer(self.log_path.read_text())]

    def pause(self):
        """SIGSTOP: the process neither reads nor writes, yet holds its connections and locks."""
        self.process.send_signal(signal.SIGSTOP)

    def resume(self):
        self.process.send_signal(signal.SIGCONT)

    def statuses(self):
        """The gateway's status lines so far, each one JSON object on a line of its own (a
        last line still being written is left out)."""
        found = []
        for line in self.log_path.read_text().splitlines():
            if line.startswith("{"):
                try:
                    found.append(json.loads(line))
                except json.JSONDecodeError:
                    pass
        return found

    def last_status(self):
        """The last status line as a dict, or None before the first."""
        found = self.statuses()
        return found[-1] if found else None

    def active_partitions(self):
        """The partitions of the last status line (empty before the first)."""
        status = self.last_status()
        return status["partitions_active"] if status else []

    def already_applied(self):
        """The packets the gateway found already applied, by its last status line."""
        status = self.last_status()
        return None if status is None else status["packets_already_applied"]

    def fence(self):
        """(times a partition waited for the gateway before it, device files put back)."""
        text = self.log_path.read_text()
        put_back = sum(int(n) for n in re.findall(r"put back (\d+) device files", text))
        return len(re.findall(r"waits until the gateway before lets go", text)), put_back


def scrape(address, timeout=3):
    """The text of a gateway's /metrics endpoint at host:port, by curl; None when it does not
    answer (a paused gateway)."""
    done = subprocess.run(["curl", "--silent", "--show-error", "--fail", "--max-time", str(timeout),
                           f"http://{address}/metrics"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return done.stdout if done.returncode == 0 else None


def parse_metrics(text):
    """Prometheus text as {(name, ((label, value), ...)): value}; label values unescaped."""
    label = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')
    samples = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        m = re.fullmatch(r"(\w+)(?:\{(.*)\})? (\S+)", line)
        if m is None:
            raise ValueError(f"not a sample line: {line!r}")
        labels = tuple(sorted((k, re.sub(r"\\(.)", lambda e: "\n" if e.group(1) == "n" else e.group(1), v))
                              for k, v in label.findall(m.group(2) or "")))
        samples[(m.group(1), labels)] = float(m.group(3))
    return samples


def gateway_options(tavkin):
    """The options `tavkin gateway --help` lists (a build without checkpoints lacks some)."""
    text = subprocess.run([tavkin, "gateway", "--help"], stdout=subprocess.PIPE, text=True, check=True).stdout
    return set(re.findall(r"(--[a-z][a-z0-9-]*)", text))


def publish(tavkin, brokers, facts, devices, moving, seed, expect_out, rate=0, window=256, wait=True, log=None,
            extra=()):
    """`tavkin publish`; `extra` passes more options (--batch, --edges, --first-device, ...)."""
    args = [tavkin, "publish", "--brokers", brokers, "--facts", str(facts), "--devices", str(devices),
            *(["--moving"] if moving else []), "--seed", str(seed), "--rate", str(rate), "--window", str(window),
            "--expect-out", str(expect_out), "--quiet", *extra]
    process = subprocess.Popen(args, stdout=log or sys.stderr, stderr=subprocess.STDOUT)
    if wait:
        if process.wait() != 0:
            raise RuntimeError(f"tavkin publish exited {process.returncode}")
    return process


def collect(tavkin, brokers, queue, out, idle=5.0, binary=False, max_messages=0):
    """The queue's messages: parsed JSON (one per fact), or Base64 texts of binary ones."""
    subprocess.run([tavkin, "collect", "--brokers", brokers, "--queue", queue, "--out", str(out),
                    "--idle", str(idle), "--max", str(max_messages), *(["--base64"] if binary else [])], check=True)
    lines = [line for line in Path(out).read_text().splitlines() if line]
    return lines if binary else [json.loads(line) for line in lines]


def queue_depth(tavkin, brokers, queue):
    """Messages ready in the queue."""
    return int(subprocess.run([tavkin, "collect", "--brokers", brokers, "--queue", queue, "--depth"],
                              stdout=subprocess.PIPE, text=True, check=True).stdout)


def check(expected_paths, facts):
    """Compares the collected facts with the expected ones (one path or several, one per
    sender). Returns counts and examples."""
    if isinstance(expected_paths, (str, Path)):
        expected_paths = [expected_paths]
    expected = {}
    for line in (line for path in expected_paths for line in Path(path).read_text().splitlines()):
        entry = json.loads(line)
        # A fact sent again as a full packet after a publisher reconnect has a second form.
        expected.setdefault(entry["dedup_key"], []).append(entry["fact"])
    seen = Counter()
    marked = Counter()
    wrong = []
    for fact in facts:
        key = fact["dedup_key"]
        seen[key] += 1
        marked[key] += bool(fact["redelivered"])
        answer = {k: v for k, v in fact.items() if k not in GATEWAY_MEMBERS}
        if answer not in expected.get(key, []) or fact["device"] != int(key.split(":")[0]):
            wrong.append((key, answer, expected.get(key)))
    lost = [key for key in expected if seen[key] == 0]
    duplicates = sum(n - 1 for n in seen.values() if n > 1)
    # Of k copies of one fact, at least k - 1 must carry the redelivery mark.
    unmarked = sum(max(0, (n - 1) - marked[key]) for key, n in seen.items() if n > 1)
    return {"sent": len(expected), "received": len(facts), "lost": len(lost), "wrong": len(wrong),
            "duplicates": duplicates, "unmarked_duplicates": unmarked,
            "examples": {"lost": lost[:3], "wrong": wrong[:3]}}


def wait_until(predicate, timeout, step=0.5):
    end = time.time() + timeout
    while time.time() < end:
        if predicate():
            return True
        time.sleep(step)
    return False
