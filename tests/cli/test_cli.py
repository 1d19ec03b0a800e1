"""The tavkin binary, run as a user runs it: every subcommand on good input and on bad
input (a clear message on standard error, a non-zero exit, nothing half-written)."""
import base64
import json
import os
import pathlib
import subprocess
import tempfile
import unittest

TAVKIN = os.environ["TAVKIN_BIN"]

# The worked full packet: device 305419896, template 24, 1700000000000 ms, routed text.
FULL_TEXT = b"305419896;node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|"
FULL_PACKET = (bytes([0x3F, 0x01, 0x12, 0x34, 0x56, 0x78, 0x18, 0x01, 0x8B, 0xCF, 0xE5, 0x68, 0x00])
               + FULL_TEXT + bytes([0xB0, 0xFF, 0x46]))
HEARTBEAT = bytes([0x7F, 0x01, 0x12, 0x34, 0x56, 0x78, 0x18, 0x01, 0x8B, 0xCF, 0xE5, 0x68, 0x00,
                   0x00, 0x5F, 0xE7])


def tavkin(*args, stdin=b""):
    return subprocess.run([TAVKIN, *args], input=stdin, capture_output=True, timeout=120)


def crc16(data: bytes) -> int:
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def crc8(data: bytes) -> int:
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) if crc & 0x80 else crc << 1
            crc &= 0xFF
    return crc


def frame(cmd: int, aid: int, tid: int, ts: int, body: bytes) -> bytes:
    head = bytes([cmd, 1]) + aid.to_bytes(4, "big") + bytes([tid]) + ts.to_bytes(6, "big")
    packet = head + body + bytes([crc8(body)])
    return packet + crc16(packet).to_bytes(2, "big")


def write_device_file(root: pathlib.Path, aid: int, templates: dict) -> pathlib.Path:
    d = f"{aid:010d}"
    path = root / d[0:2] / d[2:4] / f"{aid}.json"
    path.parent.mkdir(parents=True, exist_ok=True)
    doc = {"aid": str(aid), "templates": {
        str(tid): {"sig": sig, "last_vals_bin": [base64.b64encode(v).decode() for v in vals]}
        for tid, (sig, vals) in templates.items()}}
    path.write_text(json.dumps(doc, indent=2))
    return path


class InspectTest(unittest.TestCase):
    def test_full_packet_from_argument_and_stdin(self):
        b64 = base64.b64encode(FULL_PACKET).decode()
        for args, stdin in (((b64,), b""), ((), b64.encode() + b"\n"), (("-",), b64.encode())):
            with self.subTest(args=args):
                r = tavkin("inspect", *args, stdin=stdin)
                self.assertEqual(r.returncode, 0, r.stderr)
                out = r.stdout.decode()
                self.assertIn("79 bytes", out)
                self.assertIn("63  DATA_FULL", out)
                self.assertIn("1 hop: 305419896", out)
                self.assertIn("template    24", out)
                self.assertIn("2023-11-14 22:13:20.000 UTC", out)
                self.assertIn(FULL_TEXT.decode(), out)
                self.assertIn('"s1_v":0.215', out)
                self.assertIn("crc-8       0xb0  ok", out)
                self.assertIn("crc-16      0xff46  ok", out)

    def test_heartbeat_as_hex(self):
        r = tavkin("inspect", HEARTBEAT.hex(" "))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("127  DATA_HEART", r.stdout.decode())
        self.assertIn("heartbeat", r.stdout.decode())

    def test_secure_diff_with_guessed_and_known_mask(self):
        # Template with nine values; values 0 and 8 changed: mask 01 01.
        packet = frame(171, 7, 30, 1700000000, b"\x01\x01\x01x\x01y")
        r = tavkin("inspect", packet.hex())
        self.assertEqual(r.returncode, 0, r.stderr)
        out = r.stdout.decode()
        self.assertIn("DATA_DIFF_SEC (secure variant of 170)", out)
        self.assertIn("mask 0x0101 (2 bytes), 2 changed values", out)
        self.assertRegex(out, r'value 0 +"x"')
        self.assertRegex(out, r'value 8 +"y"')
        with tempfile.TemporaryDirectory() as root:
            sig = "n.s.{TS}|" + "".join(f"r{i}>\x01:\x01|" for i in range(5))
            write_device_file(pathlib.Path(root), 7, {30: (sig, [b"v"] * 10)})
            r = tavkin("inspect", "--registry", root, packet.hex())
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertRegex(r.stdout.decode(), r'value 0 +"x"  r0 state.unit')
            self.assertRegex(r.stdout.decode(), r'value 8 +"y"  r4 state.unit')

    def test_damage_is_reported_with_exit_status_1(self):
        damaged = bytearray(FULL_PACKET)
        damaged[20] ^= 0x01  # inside the body: both checksums disagree
        r = tavkin("inspect", bytes(damaged).hex())
        self.assertEqual(r.returncode, 1)
        self.assertIn("crc-8       0xb0  MISMATCH", r.stdout.decode())
        self.assertIn("crc-16      0xff46  MISMATCH", r.stdout.decode())

    def test_bad_input(self):
        cases = [
            (("QQ",), "not valid standard Base64"),          # padding stripped
            (("--hex", "3F0"), "not valid hexadecimal"),
            ((base64.b64encode(HEARTBEAT[:11]).decode(),), "needs at least 16 bytes"),
            ((base64.b64encode(b"abc").decode(),), "at least 12 bytes"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = tavkin("inspect", *args)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                self.assertIn(message, r.stderr.decode())


class RegistryShowTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.root = pathlib.Path(self.dir.name)
        sig = "node7.1.{TS}|t1>\x01:\x01|h>\x01:\x01|&hi|"
        self.path = write_device_file(self.root, 305419896,
                                      {24: (sig, [b"0.c1", b"yG", b"0.m/s2", b"q0U"]), 25: ("a.b.{TS}||", [])})
        write_device_file(self.root, 7, {})

    def tearDown(self):
        self.dir.cleanup()

    def test_list_devices(self):
        r = tavkin("registry", "show", str(self.root))
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.decode().splitlines()
        self.assertEqual(len(lines), 3)
        self.assertRegex(lines[1], r"^\s+7\s+0\s+.*00/00/7\.json$")
        self.assertRegex(lines[2], r"^\s+305419896\s+2\s+.*03/05/305419896\.json$")

    def test_one_device_with_slots_visible(self):
        r = tavkin("registry", "show", str(self.root), "305419896")
        self.assertEqual(r.returncode, 0, r.stderr)
        out = r.stdout.decode()
        self.assertIn("template 24  4 value slots", out)
        self.assertIn("signature  node7.1.{TS}|t1>{0}:{1}|h>{2}:{3}|&hi|", out)
        self.assertIn("last fact  node7.1.{TS}|t1>0.c1:yG|h>0.m/s2:q0U|&hi|", out)
        self.assertRegex(out, r'\{3\}\s+h value\s+"q0U"')
        self.assertIn("template 25  0 value slots", out)

    def test_bad_input(self):
        self.path.write_text('{"aid": 305419896, "templates": {}}')
        cases = [
            ((str(self.root), "305419896"), '"aid" is not a string'),
            ((str(self.root), "42"), "cannot read"),
            ((str(self.root / "missing"),), "Directory does not exist"),
            ((str(self.root), "4294967296"), "4294967296"),
            ((str(self.root / "00"),), "no device files"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = tavkin("registry", "show", *args)
                self.assertNotEqual(r.returncode, 0)
                self.assertEqual(r.stdout, b"")
                self.assertIn(message, r.stderr.decode())


if __name__ == "__main__":
    unittest.main()
