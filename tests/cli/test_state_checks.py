"""State checks through the tavkin binary: encode and decode with checks on and off, a
receiver that missed a difference, what inspect says of the byte after the body, and the
lossy-link demo."""
import base64
import json
import pathlib
import re
import tempfile
import unittest

from test_cli import EXAMPLE_CONFIG, crc8, crc16, jsonl, tavkin

DEVICE_A, DEVICE_B = 305419896, 7


def fact(aid: int, t: int, t1: float, h: float) -> dict:
    return {"aid": aid, "id": f"node{aid}", "s": "online", "timestamp": 1700000000.0 + t,
            "readings": [{"id": "t1", "s": "ok", "v": t1, "u": "Celsius"}, {"id": "h", "s": "ok", "v": h, "u": "m/s2"}]}


# Device A: full, two differences, a heartbeat, then (every 4th packet) a key frame and a
# heartbeat. Device B goes along unharmed.
FACTS = [fact(DEVICE_A, 0, 21.5, 1000.0), fact(DEVICE_B, 0, 5.0, 1.0), fact(DEVICE_A, 1, 21.6, 1000.0),
         fact(DEVICE_A, 2, 21.6, 1000.5), fact(DEVICE_B, 1, 5.5, 1.0), fact(DEVICE_A, 3, 21.6, 1000.5),
         fact(DEVICE_A, 4, 21.6, 1000.5), fact(DEVICE_A, 5, 21.6, 1000.5)]
COMMANDS = [63, 63, 170, 170, 170, 127, 63, 127]
LOST = 2  # device A's first difference


def packet_lines(stdout: bytes) -> list[bytes]:
    return [base64.b64decode(line, validate=True) for line in stdout.splitlines()]


def b64_lines(packets: list[bytes]) -> bytes:
    return b"".join(base64.b64encode(p) + b"\n" for p in packets)


class Road(unittest.TestCase):
    """Encodes FACTS and decodes packets in a directory of its own."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tmp = pathlib.Path(self.dir.name)
        self.config = self.tmp / "config.json"
        self.config.write_text(json.dumps(EXAMPLE_CONFIG))

    def tearDown(self):
        self.dir.cleanup()

    def encode(self, *args) -> list[bytes]:
        r = tavkin("encode", "--config", str(self.config), "--keyframe-every", "4", *args, stdin=jsonl(*FACTS))
        self.assertEqual(r.returncode, 0, r.stderr)
        packets = packet_lines(r.stdout)
        self.assertEqual([p[0] for p in packets], COMMANDS)
        return packets

    def decode(self, packets: list[bytes], *args):
        r = tavkin("decode", *args, stdin=b64_lines(packets))
        self.assertEqual(r.returncode, 0, r.stderr)
        return [json.loads(line) for line in r.stdout.splitlines()], r.stderr.decode()


class StateCheckRoadTest(Road):
    def test_checked_and_published_bytes_differ_only_in_the_check_and_decode_alike(self):
        checked, plain = self.encode(), self.encode("--no-state-check")
        for i, (c, p) in enumerate(zip(checked, plain)):
            with self.subTest(packet=i, command=c[0]):
                for packet in (c, p):
                    self.assertEqual(crc16(packet[:-2]), int.from_bytes(packet[-2:], "big"))
                if c[0] == 63:
                    self.assertEqual(c, p)
                else:
                    self.assertEqual(c[:-3], p[:-3])
                    self.assertEqual(p[-3], crc8(p[13:-3]), "the published byte is the body's CRC-8")
        self.assertTrue(any(c[-3] != crc8(c[13:-3]) for c in checked if c[0] != 63), "no packet carries a check")

        reference, _ = self.decode(checked)
        self.assertFalse(any("error" in a for a in reference), reference)
        self.assertEqual([a["__packet_meta__"]["cmd"] for a in reference], COMMANDS)
        # A plain receiver reads checked packets as before, and plain packets as checked ones.
        self.assertEqual(self.decode(checked, "--no-state-check")[0], reference)
        self.assertEqual(self.decode(plain, "--no-state-check")[0], reference)
        # A checking receiver cannot check a plain sender: its CRC-8 bytes fail as checks.
        refused, _ = self.decode(plain)
        self.assertIn("state_mismatch", [a.get("error") for a in refused])

    def test_a_lost_difference_is_refused_as_a_state_mismatch_until_the_next_full_packet(self):
        packets = self.encode()
        reference, _ = self.decode(packets)
        lossy = packets[:LOST] + packets[LOST + 1:]
        expected = reference[:LOST] + reference[LOST + 1:]

        answers, stderr = self.decode(lossy)
        refused = [i for i, a in enumerate(answers) if "error" in a]
        # A's second difference and its heartbeat, up to the key frame.
        self.assertEqual(refused, [2, 4])
        for i in refused:
            self.assertEqual(answers[i]["error"], "state_mismatch")
            self.assertEqual(answers[i]["__packet_meta__"], expected[i]["__packet_meta__"])
            self.assertEqual(answers[i]["__packet_meta__"]["source_aid"], DEVICE_A)
        self.assertEqual([a for i, a in enumerate(answers) if i not in refused],
                         [a for i, a in enumerate(expected) if i not in refused], "a wrong fact was answered")
        self.assertIn("2 packet(s) refused for a state mismatch", stderr)
        self.assertIn(f"ask device(s) {DEVICE_A} for a full packet", stderr)
        self.assertNotIn("does not know", stderr)

        # Without checks the same stream gives wrong facts where the checks refused.
        plain, stderr = self.decode(lossy, "--no-state-check")
        self.assertEqual(stderr, "")
        self.assertTrue(all(plain[i] != expected[i] and "error" not in plain[i] for i in refused))


class InspectStateCheckTest(Road):
    def registry_after(self, packets: list[bytes]) -> pathlib.Path:
        """A receiver's registry directory after decoding `packets`."""
        root = self.tmp / f"receiver-{len(packets)}"
        self.decode(packets, "--registry", str(root))
        return root

    def inspect(self, packet: bytes, *args):
        r = tavkin("inspect", *args, base64.b64encode(packet).decode())
        return r.returncode, r.stdout.decode()

    def test_the_byte_after_the_body_is_named(self):
        checked, plain = self.encode(), self.encode("--no-state-check")
        for packet, named in ((checked[LOST], "a state check"), (checked[5], "a state check"),
                              (plain[LOST], "the body's CRC-8"), (plain[5], "the body's CRC-8")):
            with self.subTest(command=packet[0], named=named):
                status, out = self.inspect(packet)
                self.assertEqual(status, 0, out)
                line = out[out.index("crc-8"):]
                if named == "a state check":
                    self.assertIn(f"not the body's CRC-8 (0x{crc8(packet[13:-3]):02x}): a state check (0x{packet[-3]:02x})",
                                  line)
                else:
                    self.assertRegex(line, r"^crc-8       0x[0-9a-f]{2}  ok\n +the body's CRC-8: a plain packet")

    def test_state_check_against_a_registry_file_is_decided_and_the_file_left_alone(self):
        checked = self.encode()
        after_full = self.registry_after(checked[:LOST])    # A as its first difference found it
        current = self.registry_after(checked[:5])          # A as its heartbeat found it
        file = after_full / "03" / "05" / f"{DEVICE_A}.json"
        before = file.read_bytes()
        cases = [
            (checked[LOST], after_full, 0, "the check holds against template"),
            (checked[5], current, 0, "the check holds against template"),
            (checked[5], after_full, 1, "MISMATCH: template"),  # the file missed both differences
        ]
        for packet, root, status, verdict in cases:
            with self.subTest(command=packet[0], root=root.name):
                got, out = self.inspect(packet, "--registry", str(root))
                self.assertEqual(got, status, out)
                self.assertRegex(out, rf"\nstate       {re.escape(verdict)}")
        self.assertEqual(file.read_bytes(), before, "inspect wrote to the registry")
        # The published heartbeat is read as plain against the stale file.
        plain = self.encode("--no-state-check")
        status, out = self.inspect(plain[5], "--registry", str(after_full))
        self.assertEqual(status, 0, out)
        self.assertIn("read it as a plain packet", out)


def loss_table(text: str) -> dict[str, tuple]:
    """The lossy-link demo's rows by name: (checking receiver, plain receiver); None for "-"."""
    rows = {}
    for line in text.splitlines()[3:]:
        if line.startswith("  expected"):
            break
        *name, checking, plain = line.split()
        rows[" ".join(name)] = tuple(None if v == "-" else float(v) for v in (checking, plain))
    return rows


class LossDemoTest(unittest.TestCase):
    def demo(self, *args) -> str:
        r = tavkin("demo", "--quiet", *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.decode()

    def test_checking_receiver_gives_no_wrong_fact_where_the_plain_one_does(self):
        out = self.demo("--loss", "0.01", "--facts", "20000")
        self.assertIn("over a link losing 1% of packets, key frames every 100 packets", out)
        rows = loss_table(out)
        for column, name in enumerate(("checking", "plain")):
            with self.subTest(receiver=name):
                right, refused, wrong, lost = (rows[r][column] for r in ("right", "refused", "wrong", "lost"))
                self.assertEqual(right + refused + wrong + lost, 20000)
                self.assertLessEqual(rows["recovered"][column], refused)
        self.assertGreater(rows["lost"][0], 100)
        self.assertGreater(rows["wrong"][1], 0)
        self.assertGreater(rows["divergences"][0], 10)
        # 1/255 per divergence expected: a handful at most, never as many as without checks.
        self.assertLessEqual(rows["wrong"][0], 3)
        self.assertGreater(rows["refused"][0], rows["refused"][1])
        # The same seed gives the same link, whichever request carries the packets.
        self.assertEqual(self.demo("--loss", "0.01", "--facts", "20000", "--via-run"), out)

    def test_a_lossless_link_answers_every_fact_right(self):
        rows = loss_table(self.demo("--loss", "0", "--facts", "3000", "--keyframe-every", "7"))
        self.assertEqual(rows["right"], (3000, 3000))
        for row in ("refused", "wrong", "lost", "divergences"):
            self.assertEqual(rows[row], (0, 0), row)

    def test_loss_excludes_what_it_cannot_compare(self):
        for extra in (["--moving"], ["--no-state-check"], ["--registry", "."], ["--loss", "1.5"]):
            with self.subTest(extra=extra):
                r = tavkin("demo", "--loss", "0.1", *extra)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stdout, b"")


if __name__ == "__main__":
    unittest.main()
