"""`tavkin gateway`, `publish` and `collect` without a broker: bad options, an unusable
registry root or metrics address, no broker reachable, and SIGTERM while reconnecting each
end with the exit status a supervisor reads; a gateway without a broker still reports."""
import json
import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.request

TAVKIN = os.environ["TAVKIN_BIN"]


def closed_port():
    """A loopback port that nothing listens on (bound, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(*args, timeout=60):
    return subprocess.run([TAVKIN, *args], capture_output=True, text=True, timeout=timeout)


class GatewayExitStatus(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.registry = os.path.join(self.tmp.name, "registry")
        self.nowhere = f"127.0.0.1:{closed_port()}"

    def tearDown(self):
        self.tmp.cleanup()

    def test_bad_options_exit_2_with_a_reason(self):
        cases = [
            (["--brokers", "host:0"], "port"),
            (["--brokers", ":5672"], "no host"),
            (["--brokers", ""], "no broker"),
            (["--prefer", "2", "--of", "2"], "--prefer"),
        ]
        for extra, reason in cases:
            with self.subTest(extra=extra):
                result = run("gateway", "--registry", self.registry, *extra)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(reason, result.stderr)

    def test_unusable_registry_root_exits_1(self):
        blocker = os.path.join(self.tmp.name, "a-file")
        open(blocker, "w").close()
        result = run("gateway", "--registry", os.path.join(blocker, "registry"), "--brokers", self.nowhere)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("registry root", result.stderr)

    def test_unusable_metrics_endpoint_exits_1(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            cases = [
                (["--metrics-address", "localhost", "--metrics-port", "1"], "--metrics-address"),
                (["--metrics-address", "127.0.0.1", "--metrics-port", str(taken.getsockname()[1])],
                 "cannot serve metrics"),
            ]
            for extra, reason in cases:
                with self.subTest(extra=extra):
                    result = run("gateway", "--registry", self.registry, "--brokers", self.nowhere, *extra)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertIn(reason, result.stderr)

    def test_without_a_broker_it_reports_holding_nothing(self):
        port = closed_port()
        process = subprocess.Popen([TAVKIN, "gateway", "--registry", self.registry, "--brokers", self.nowhere,
                                    "--name", "lonely", "--status", "0.2", "--metrics-port", str(port)],
                                   stderr=subprocess.PIPE, text=True)
        try:
            text = None
            for _ in range(100):  # until the endpoint listens
                try:
                    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as answer:
                        text = answer.read().decode()
                    break
                except OSError:
                    time.sleep(0.1)
            self.assertIsNotNone(text, "the endpoint never answered")
            samples = dict(line.rsplit(" ", 1) for line in text.splitlines() if line and not line.startswith("#"))
            self.assertEqual(samples["tavkin_gateway_sessions_started_total"], "0")
            self.assertEqual(samples["tavkin_gateway_partitions_held"], "0")
            time.sleep(1)  # a few reconnection attempts, each followed by its report when due
        finally:
            process.send_signal(signal.SIGTERM)
            _, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        statuses = [json.loads(line) for line in err.splitlines() if line.startswith("{")]
        self.assertTrue(statuses, err)
        self.assertEqual({(s["gateway"], s["sessions_started"], len(s["partitions_held"])) for s in statuses},
                         {("lonely", 0, 0)})

    def test_no_broker_for_the_give_up_time_exits_3(self):
        started = time.monotonic()
        result = run("gateway", "--registry", self.registry, "--brokers", self.nowhere, "--give-up-after", "1")
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertIn("giving up", result.stderr)
        self.assertLess(time.monotonic() - started, 30)

    def test_sigterm_while_reconnecting_exits_0(self):
        process = subprocess.Popen([TAVKIN, "gateway", "--registry", self.registry, "--brokers", self.nowhere],
                                   stderr=subprocess.PIPE, text=True)
        time.sleep(1)
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        self.assertIn("cannot reach", err)

    def test_publisher_and_collector_without_a_broker_exit_3(self):
        for args in (["publish", "--facts", "5"], ["collect"]):
            with self.subTest(command=args[0]):
                result = run(*args, "--brokers", self.nowhere)
                self.assertEqual(result.returncode, 3, result.stderr)
                self.assertIn("cannot reach", result.stderr)


if __name__ == "__main__":
    unittest.main()
