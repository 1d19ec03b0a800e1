"""The tavkin binary, run as a user runs it: every subcommand on good input and on bad
input (a clear message on standard error, a non-zero exit, nothing half-written)."""
import base64
import json
import os
import pathlib
import struct
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


class UsageTest(unittest.TestCase):
    """Wrong arguments exit with 2 and say what is wrong; help tells the defaults."""

    def test_wrong_arguments_exit_2(self):
        cases = [
            ((), "subcommand is required"),
            (("fly",), "subcommand is required"),
            (("encode",), "--config"),
            (("registry",), "subcommand is required"),
            (("demo", "--facts", "0"), "--facts"),
            (("decode", "--hex", "--binary"), "--hex"),
            (("inspect", "--bogus"), "--bogus"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = tavkin(*args)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stdout, b"")
                self.assertIn(message, r.stderr.decode())

    def test_missing_registry_directory_is_named(self):
        with tempfile.TemporaryDirectory() as tmp:
            missing = pathlib.Path(tmp) / "no-such-registry"
            r = tavkin("registry", "show", str(missing))
            self.assertEqual(r.returncode, 2)
            self.assertIn(f"Directory does not exist: {missing}", r.stderr.decode())
            r = subprocess.run([os.path.abspath(TAVKIN), "registry", "show", "no-such-registry", "7"],
                               capture_output=True, cwd=tmp, timeout=120)
            self.assertEqual(r.returncode, 2)
            self.assertIn(f"no-such-registry (looked for {missing})", r.stderr.decode())
            plain_file = pathlib.Path(tmp) / "file"
            plain_file.write_text("x")
            r = tavkin("registry", "show", str(plain_file))
            self.assertEqual(r.returncode, 2)
            self.assertIn(f"Not a directory: {plain_file}", r.stderr.decode())

    def test_help_and_version_exit_0(self):
        for args in (("--help",), ("encode", "--help"), ("--version",)):
            with self.subTest(args=args):
                self.assertEqual(tavkin(*args).returncode, 0)
        encode_help = tavkin("encode", "--help").stdout.decode()
        self.assertIn("Base64", encode_help)
        self.assertIn("unless --hex or --binary", encode_help)


EXAMPLE_CONFIG = {"precision": 2, "ms_timestamps": True, "units": {"celsius": "c1"}, "states": {"online": "1", "ok": "0"}}
EXAMPLE_FACT = {"aid": 305419896, "id": "node7", "s": "ONLINE", "timestamp": 1700000000.0,
                "readings": [{"id": "t1", "s": "OK", "v": 21.5, "u": "Celsius"},
                             {"id": "h", "s": "ok", "v": 1000.0, "u": "m/s2"},
                             {"id": "d", "s": "ok", "v": -0.125, "u": "1000m"}],
                "geohash": "hi", "url": "https://s1", "msg": "xyz"}
# The receiver's answer to the example fact sent whole, byte for byte.
EXAMPLE_ANSWER = (
    '{"__packet_meta__":{"base_cmd":63,"cmd":63,"crc16_ok":true,"secure":false,"source_aid":305419896,"tid":24,'
    '"timestamp_raw":1700000000000},"geohash":"hi","id":"node7","msg":"xyz","s":"1","s1_id":"t1","s1_s":"0",'
    '"s1_u":"c1","s1_v":0.215,"s2_id":"h","s2_s":"0","s2_u":"m/s2","s2_v":10.0,"s3_id":"d","s3_s":"0",'
    '"s3_u":"1,km","s3_v":-0.0012,"t_raw":1700000000000,"url":"https://s1"}')
DEMO_CONFIG = {"precision": 2, "ms_timestamps": True, "units": {"celsius": "C", "%": "P", "hpa": "hP"},
               "states": {"online": "1", "degraded": "2", "ok": "0", "warn": "1"}}


def jsonl(*facts) -> bytes:
    return b"".join(json.dumps(f).encode() + b"\n" for f in facts)


class EncodeDecodeTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.tmp = pathlib.Path(self.dir.name)
        self.config = self.tmp / "config.json"
        self.config.write_text(json.dumps(EXAMPLE_CONFIG))

    def tearDown(self):
        self.dir.cleanup()

    def encode(self, facts: bytes, *args):
        return tavkin("encode", "--config", str(self.config), *args, stdin=facts)

    def test_worked_example_full_then_heartbeat(self):
        r = self.encode(jsonl(EXAMPLE_FACT, EXAMPLE_FACT), "--no-state-check")
        self.assertEqual(r.returncode, 0, r.stderr)
        packets = [base64.b64decode(line, validate=True) for line in r.stdout.splitlines()]
        self.assertEqual(len(packets), 2)
        self.assertEqual(packets[0][0], 63)
        self.assertEqual(len(packets[0]), 16 + 67)
        self.assertEqual(packets[1], bytes.fromhex("7f 01 12345678 18 018bcfe56800 00") + packets[1][-2:])
        d = tavkin("decode", "--no-state-check", stdin=r.stdout)
        self.assertEqual(d.returncode, 0, d.stderr)
        answers = d.stdout.decode().splitlines()
        self.assertEqual(answers[0], EXAMPLE_ANSWER)
        # The heartbeat rebuilds the same fact, message included.
        self.assertEqual(answers[1], EXAMPLE_ANSWER.replace('"base_cmd":63,"cmd":63', '"base_cmd":127,"cmd":127'))

    def test_documented_difference_packet(self):
        # docs/protocol.md: the example without trailers, then one second later t1 reads 21.6.
        first = {k: v for k, v in EXAMPLE_FACT.items() if k not in ("geohash", "url", "msg")}
        later = {**first, "timestamp": 1700000001.0,
                 "readings": [{"id": "t1", "s": "OK", "v": 21.6, "u": "Celsius"}] + first["readings"][1:]}
        r = self.encode(jsonl(first, later), "--no-state-check")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines()[1], b"qgESNFZ4GAGLz+Vr6AICeVFV7Mk=")

    def test_formats_agree_and_full_forces_full_packets(self):
        facts = jsonl(EXAMPLE_FACT, {**EXAMPLE_FACT, "timestamp": 1700000001.0},
                      {**EXAMPLE_FACT, "readings": EXAMPLE_FACT["readings"][:2] + [
                          {"id": "d", "s": "ok", "v": -0.5, "u": "1000m"}]})
        answers = None
        for fmt in ([], ["--hex"], ["--binary"]):
            with self.subTest(format=fmt):
                r = self.encode(facts, *fmt)
                self.assertEqual(r.returncode, 0, r.stderr)
                d = tavkin("decode", *fmt, stdin=r.stdout)
                self.assertEqual(d.returncode, 0, d.stderr)
                answers = answers or d.stdout
                self.assertEqual(d.stdout, answers)
        cmds = [json.loads(a)["__packet_meta__"]["cmd"] for a in answers.splitlines()]
        self.assertEqual(cmds, [63, 127, 170])
        r = self.encode(facts, "--full")
        self.assertEqual([base64.b64decode(p)[0] for p in r.stdout.splitlines()], [63, 63, 63])

    def test_registry_carries_templates_between_runs(self):
        sender, receiver = self.tmp / "s", self.tmp / "r"
        first = self.encode(jsonl(EXAMPLE_FACT), "--registry", str(sender))
        second = self.encode(jsonl(EXAMPLE_FACT, EXAMPLE_FACT), "--registry", str(sender))
        # Known from the file: after a restart frame (a template's first packet after a
        # load travels whole), a heartbeat.
        self.assertEqual([base64.b64decode(p)[0] for p in second.stdout.splitlines()], [63, 127])
        for run in (first, second):
            d = tavkin("decode", "--registry", str(receiver), stdin=run.stdout)
            self.assertEqual(d.returncode, 0, d.stderr)
            d.stdout = d.stdout.splitlines()[-1]
        self.assertTrue((receiver / "03" / "05" / "305419896.json").exists())
        self.assertEqual(json.loads(d.stdout)["s1_v"], 0.215)

    def test_bad_facts_stop_before_any_output(self):
        good = json.dumps(EXAMPLE_FACT).encode()
        cases = [
            (good + b"\n{\"id\": \n", "line 2: not valid JSON"),
            (good + b"\n\n" + json.dumps({**EXAMPLE_FACT, "readngs": []}).encode(), 'line 3: a fact has an unknown member "readngs"'),
            (json.dumps({**EXAMPLE_FACT, "timestamp": "now"}).encode(), 'line 1: "timestamp" must be a number, not a string'),
            (json.dumps({**EXAMPLE_FACT, "aid": -5}).encode(), 'line 1: "aid" must be a device id'),
        ]
        for facts, message in cases:
            with self.subTest(message=message):
                r = self.encode(facts)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                self.assertIn(message, r.stderr.decode())

    def test_keep_going_skips_bad_lines(self):
        facts = jsonl(EXAMPLE_FACT) + b"[]\n" + jsonl({**EXAMPLE_FACT, "timestamp": 1700000001.0})
        r = self.encode(facts, "--keep-going")
        self.assertEqual(r.returncode, 1)
        self.assertIn("line 2: a fact must be an object, not an array", r.stderr.decode())
        self.assertEqual([base64.b64decode(p)[0] for p in r.stdout.splitlines()], [63, 127])

    def test_refused_fact_is_named_by_its_line(self):
        # A changed value longer than 255 bytes: the encoder makes no packet for it.
        long_id = {**EXAMPLE_FACT, "readings": [{"id": "t", "s": "x", "v": 1, "u": "u"}]}
        longer = {**long_id, "readings": [{"id": "t", "s": "x" * 300, "v": 1, "u": "u"}]}
        r = self.encode(jsonl(long_id, longer, long_id))
        self.assertEqual(r.returncode, 1)
        self.assertIn("line 2: the library made no packet", r.stderr.decode())
        self.assertEqual(len(r.stdout.splitlines()), 1)

    def test_bad_configuration(self):
        for text, message in (("{\"precision\": 19}", '"precision" must be a whole number from 0 to 18'), ("{", "not valid JSON"),
                              ("{\"units\": {\"a\": 1}}", '"units"."a" must be a string code')):
            with self.subTest(text=text):
                self.config.write_text(text)
                r = self.encode(jsonl(EXAMPLE_FACT))
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                self.assertIn(f"{self.config}: {message}", r.stderr.decode())
        r = tavkin("encode", "--config", str(self.tmp / "missing.json"), stdin=jsonl(EXAMPLE_FACT))
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot read the configuration", r.stderr.decode())
        self.assertNotEqual(tavkin("encode", stdin=b"").returncode, 0)  # --config is required

    def test_bad_packets(self):
        full = base64.b64encode(FULL_PACKET)
        damaged = bytearray(FULL_PACKET)
        damaged[30] ^= 4
        cases = [
            (full + b"\nnot base64!\n", [], "line 2: not a packet in standard Base64"),
            (b"3f0\n", ["--hex"], "line 1: not a packet in hexadecimal"),
            (b"\0\0\0\x10abc", ["--binary"], "record 1: length 16 runs past the end"),
            (base64.b64encode(bytes(damaged)) + b"\n", [], "line 1: CRC16 mismatch"),
            (base64.b64encode(b"\x3f\x00\x00") + b"\n", [], "line 1: Packet too short"),
        ]
        for data, args, message in cases:
            with self.subTest(message=message):
                r = tavkin("decode", *args, stdin=data)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                self.assertIn(message, r.stderr.decode())

    def test_decode_keep_going_answers_every_packet(self):
        data = base64.b64encode(HEARTBEAT) + b"\n" + base64.b64encode(FULL_PACKET) + b"\n" + base64.b64encode(HEARTBEAT)
        r = tavkin("decode", "--keep-going", "--ctx", "77", "--no-state-check", stdin=data)
        self.assertEqual(r.returncode, 0, r.stderr)
        answers = [json.loads(a) for a in r.stdout.splitlines()]
        self.assertEqual(answers[0], {"aid": 305419896, "error": "fusion_receive_apply_failed", "tid": 24})
        self.assertEqual(answers[1]["__packet_meta__"]["cmd"], 63)
        self.assertEqual(answers[2]["__packet_meta__"]["cmd"], 127)  # learnt from the full packet
        self.assertEqual(answers[2]["s1_v"], 0.215)

    def test_a_packet_its_known_template_cannot_take_is_a_line_of_its_own(self):
        cut = frame(170, 305419896, 24, 1700000000001, b"\x09")  # a change past the template's values
        data = b"\n".join(base64.b64encode(p) for p in (FULL_PACKET, cut, HEARTBEAT))
        r = tavkin("decode", "--ctx", "79", "--no-state-check", stdin=data)
        self.assertEqual(r.returncode, 0, r.stderr)
        answers = [json.loads(a) for a in r.stdout.splitlines()]
        self.assertEqual(answers[1], {"aid": 305419896, "error": "not_applicable", "tid": 24})
        self.assertEqual(answers[2]["__packet_meta__"]["cmd"], 127)
        self.assertIn("1 packet(s) that their template here cannot take", r.stderr.decode())
        self.assertNotIn("does not know", r.stderr.decode())

    def test_decode_keep_going_answers_refusals_with_the_librarys_error_objects(self):
        damaged = bytearray(FULL_PACKET)
        damaged[30] ^= 4
        data = b"\n".join(base64.b64encode(p) for p in (bytes(damaged), b"\x3f\x00\x00", FULL_PACKET[:12],
                                                         frame(0xBA, 7, 1, 0, b"x"), FULL_PACKET))
        r = tavkin("decode", "--keep-going", "--ctx", "80", stdin=data)
        self.assertEqual(r.returncode, 1)
        answers = [json.loads(a) for a in r.stdout.splitlines()]
        self.assertEqual(answers[0], {"__packet_meta__": {"base_cmd": 63, "cmd": 63, "crc16_ok": False, "secure": False,
                                                          "source_aid": 305419896, "tid": 24,
                                                          "timestamp_raw": 0x018BCFE56800},
                                      "error": "CRC16 mismatch"})
        self.assertEqual(answers[1:4], [{"error": "Packet too short"}, {"error": "Incomplete Binary Header"},
                                        {"error": "unknown_command"}])
        self.assertEqual(answers[4]["__packet_meta__"]["cmd"], 63)
        for n, message in [(1, "CRC16 mismatch"), (2, "Packet too short"), (3, "Incomplete Binary Header"),
                           (4, "unknown_command")]:
            self.assertIn(f"line {n}: {message}", r.stderr.decode())
        # Without --keep-going the packets after the first refusal reach no template.
        with tempfile.TemporaryDirectory() as root:
            r = tavkin("decode", "--registry", root, stdin=base64.b64encode(b"\x3f") + b"\n" + base64.b64encode(FULL_PACKET))
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stdout, b"")
            self.assertEqual(list(pathlib.Path(root).rglob("*.json")), [])

    def test_unknown_template_is_a_line_naming_the_device_and_the_decoding_goes_on(self):
        # A receiver that lost its state: heartbeats of two devices it never learnt.
        other = frame(127, 7, 30, 1700000000000, b"")
        data = b"\n".join(base64.b64encode(p) for p in (HEARTBEAT, other, FULL_PACKET, HEARTBEAT))
        r = tavkin("decode", "--ctx", "78", "--no-state-check", stdin=data)
        self.assertEqual(r.returncode, 0, r.stderr)
        answers = [json.loads(a) for a in r.stdout.splitlines()]
        self.assertEqual(answers[:2], [{"aid": 305419896, "error": "fusion_receive_apply_failed", "tid": 24},
                                       {"aid": 7, "error": "fusion_receive_apply_failed", "tid": 30}])
        self.assertEqual([a["__packet_meta__"]["cmd"] for a in answers[2:]], [63, 127])
        self.assertIn("2 packet(s) of templates this receiver does not know; ask device(s) 7, 305419896 for a full packet",
                      r.stderr.decode())

    def test_key_frames_by_count_and_by_fact_time(self):
        def at(t):
            return {**EXAMPLE_FACT, "timestamp": 1700000000.0 + t}
        cases = [
            (["--keyframe-every", "3"], [0] * 7, [63, 127, 127, 63, 127, 127, 63]),
            (["--keyframe-every", "1"], [0] * 3, [63, 63, 63]),
            (["--keyframe-seconds", "25"], [0, 10, 20, 30, 40, 50, 60], [63, 127, 127, 63, 127, 127, 63]),
            (["--keyframe-every", "4", "--keyframe-seconds", "25"], [0, 1, 2, 3, 4, 30, 31], [63, 127, 127, 127, 63, 63, 127]),
            ([], [0] * 4, [63, 127, 127, 127]),
        ]
        for args, times, commands in cases:
            with self.subTest(args=args):
                r = self.encode(jsonl(*(at(t) for t in times)), *args)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual([base64.b64decode(p)[0] for p in r.stdout.splitlines()], commands)

    def test_decode_at_the_senders_precision(self):
        values = [21.5, -0.25, 1000.0, -7.0, 0.0, 12345.678901]
        for precision in (0, 2, 4, 6):
            with self.subTest(precision=precision):
                self.config.write_text(json.dumps({**EXAMPLE_CONFIG, "precision": precision}))
                facts = [{**EXAMPLE_FACT, "timestamp": 1700000000.0 + i,
                          "readings": [{"id": "t1", "s": "OK", "v": v, "u": "Celsius"}]} for i, v in enumerate(values)]
                r = self.encode(jsonl(*facts))
                self.assertEqual(r.returncode, 0, r.stderr)
                d = tavkin("decode", "--precision", str(precision), stdin=r.stdout)
                self.assertEqual(d.returncode, 0, d.stderr)
                got = [json.loads(a)["s1_v"] for a in d.stdout.splitlines()]
                self.assertEqual(got, [round(v, precision) for v in values])
                self.assertTrue(all(isinstance(v, float) for v in got))
        self.config.write_text(json.dumps(EXAMPLE_CONFIG))
        default = tavkin("decode", stdin=self.encode(jsonl(EXAMPLE_FACT)).stdout)
        self.assertEqual(json.loads(default.stdout)["s1_v"], 0.215, "without --precision: the library's view")


def pcap_records(data: bytes) -> list[tuple[int, int, bytes]]:
    """(seconds, microseconds, IPv4 datagram) of each record of a raw-IPv4 pcap file."""
    magic, major, minor, _, _, snap, link = struct.unpack_from("<IHHiIII", data)
    assert (magic, major, minor, snap, link) == (0xA1B2C3D4, 2, 4, 65535, 101)
    records, pos = [], 24
    while pos < len(data):
        sec, usec, incl, orig = struct.unpack_from("<IIII", data, pos)
        assert incl == orig, (incl, orig)
        records.append((sec, usec, data[pos + 16:pos + 16 + incl]))
        pos += 16 + incl
    assert pos == len(data)
    return records


def ipv4_checksum(header: bytes) -> int:
    total = sum(struct.unpack(">10H", header))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


class CaptureTest(unittest.TestCase):
    def check_datagram(self, datagram: bytes, source: bytes, port: int) -> bytes:
        """The UDP payload, after checking the IPv4 and UDP headers around it."""
        version, _, total, _, flags, ttl, proto, _, src, dst = struct.unpack_from(">BBHHHBBH4s4s", datagram)
        self.assertEqual((version, total, flags, ttl, proto), (0x45, len(datagram), 0x4000, 64, 17))
        self.assertEqual(ipv4_checksum(datagram[:20]), 0)
        self.assertEqual((src, dst), (source, bytes([192, 0, 2, 1])))
        sport, dport, length, checksum = struct.unpack_from(">HHHH", datagram, 20)
        self.assertEqual((sport, dport, length, checksum), (port, port, len(datagram) - 20, 0))
        return datagram[28:]

    def test_packets_from_standard_input(self):
        short = bytes([63, 9, 1, 2])  # too short for its header: from 0.0.0.0, previous time
        seconds = frame(127, 7, 24, 1_700_000_005, b"")  # a timestamp in seconds
        packets = [FULL_PACKET, HEARTBEAT, short, seconds]
        for args, stdin in ((["--hex"], b"\n".join(p.hex().encode() for p in packets)),
                            ([], b"\n".join(base64.b64encode(p) for p in packets)),
                            (["--binary"], b"".join(len(p).to_bytes(4, "big") + p for p in packets))):
            with self.subTest(args=args):
                r = tavkin("capture", "-o", "-", "--port", "5000", *args, stdin=stdin)
                self.assertEqual(r.returncode, 0, r.stderr)
                records = pcap_records(r.stdout)
                self.assertEqual([(s, us) for s, us, _ in records],
                                 [(1_700_000_000, 0)] * 3 + [(1_700_000_005, 0)])
                sources = [bytes.fromhex("12345678")] * 2 + [bytes(4), bytes([0, 0, 0, 7])]
                self.assertEqual([self.check_datagram(d, src, 5000) for (_, _, d), src in zip(records, sources)],
                                 packets)

    def test_demo_fleet_to_a_file(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = pathlib.Path(tmp) / "demo.pcap"
            r = tavkin("capture", "--demo", "--facts", "300", "--devices", "4", "--seed", "2", "-o", str(out))
            self.assertEqual(r.returncode, 0, r.stderr)
            records = pcap_records(out.read_bytes())
        self.assertEqual(len(records), 300)
        kinds = set()
        for sec, usec, datagram in records:
            packet = datagram[28:]
            aid = packet[2:6]
            self.assertEqual(self.check_datagram(datagram, aid, 47474), packet)
            ms = int.from_bytes(packet[7:13], "big")
            self.assertEqual(sec * 1000 + usec // 1000, ms)
            self.assertEqual(crc16(packet[:-2]), int.from_bytes(packet[-2:], "big"))
            kinds.add(packet[0])
        self.assertEqual(kinds, {63, 127, 170})
        self.assertEqual(len({d[12:16] for _, _, d in records}), 4)

    def test_bad_input(self):
        cases = [
            (["-o", "-", "--hex"], b"3f0\n", "line 1: not a packet in hexadecimal"),
            (["-o", "/nonexistent/dir/x.pcap", "--hex"], HEARTBEAT.hex().encode(), "cannot write /nonexistent/dir/x.pcap"),
            (["-o", "-", "--binary"], (70000).to_bytes(4, "big") + bytes(70000),
             "packet 1: 70000 bytes do not fit in one UDP datagram"),
        ]
        for args, stdin, message in cases:
            with self.subTest(message=message):
                r = tavkin("capture", *args, stdin=stdin)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                self.assertIn(message, r.stderr.decode())
        for args in (["--hex"], ["-o", "-", "--facts", "5"], ["-o", "-", "--demo", "--port", "0"]):
            with self.subTest(args=args):
                r = tavkin("capture", *args, stdin=b"")
                self.assertNotEqual(r.returncode, 0)
                self.assertEqual(r.stdout, b"")


def summary(text: str) -> dict:
    """The demo summary's figures by their row name."""
    rows = {}
    for line in text.splitlines()[1:]:
        name, rest = line[:16].strip(), line[16:].split()
        rows[name] = rest
    return rows


class DemoTest(unittest.TestCase):
    def test_summary_and_no_mismatches(self):
        runs = {}
        for via in ([], ["--via-run"]):
            r = tavkin("demo", "--facts", "3000", "--devices", "5", "--seed", "3", *via)
            self.assertEqual(r.returncode, 0, r.stderr)
            rows = summary(r.stdout.decode())
            self.assertEqual(rows["mismatches"], ["0"])
            self.assertEqual(rows["packets"][0], "3000")
            runs[bool(via)] = rows
            wire, json_bytes = int(rows["wire"][0]), int(rows["source JSON"][0])
            self.assertAlmostEqual(float(rows["wire/JSON"][0]), wire / json_bytes, places=3)
            for row in ("sender", "receiver"):
                self.assertGreater(float(rows[row][0]), 0)
        # The same facts give the same decisions either way.
        self.assertEqual(runs[True]["packets"], runs[False]["packets"])
        kinds = runs[True]["packets"]  # ['3000', 'full', 'N,', 'heartbeat', 'N,', 'difference', 'N']
        self.assertTrue(all(int(kinds[i].rstrip(",")) > 0 for i in (2, 4, 6)), kinds)

    def test_moving_fleet_with_a_receiver_restart(self):
        r = tavkin("demo", "--moving", "--facts", "3000", "--devices", "8", "--keyframe-every", "16", "--quiet")
        self.assertEqual(r.returncode, 0, r.stderr)
        rows = summary(r.stdout.decode())
        self.assertEqual(rows["mismatches"], ["0"])
        self.assertEqual(rows["restart"][:2], ["receiver", "restarted"])
        self.assertGreater(int(rows["key frames"][0]), 0)

    def test_facts_out_feed_encode_and_decode(self):
        with tempfile.TemporaryDirectory() as tmp:
            facts, config = pathlib.Path(tmp) / "facts.jsonl", pathlib.Path(tmp) / "config.json"
            config.write_text(json.dumps(DEMO_CONFIG))
            r = tavkin("demo", "--facts", "500", "--facts-out", str(facts), "--registry", str(pathlib.Path(tmp) / "reg"))
            self.assertEqual(r.returncode, 0, r.stderr)
            lines = facts.read_bytes().splitlines()
            self.assertEqual(len(lines), 500)
            self.assertTrue(all("aid" in json.loads(line) for line in lines))
            e = tavkin("encode", "--config", str(config), stdin=facts.read_bytes())
            self.assertEqual(e.returncode, 0, e.stderr)
            d = tavkin("decode", stdin=e.stdout)
            self.assertEqual(d.returncode, 0, d.stderr)
            self.assertEqual(len(d.stdout.splitlines()), 500)
            shown = tavkin("registry", "show", str(pathlib.Path(tmp) / "reg" / "receiver"))
            self.assertEqual(shown.returncode, 0, shown.stderr)

    def test_bad_arguments(self):
        for args in (["--facts", "0"], ["--devices", "x"], ["--batch-size", "0"], ["--unknown"]):
            with self.subTest(args=args):
                r = tavkin("demo", *args)
                self.assertNotEqual(r.returncode, 0)
                self.assertEqual(r.stdout, b"")

    def test_progress_bar_on_a_terminal_only(self):
        # A run far too long to finish: watch its standard error for a while, then stop it.
        import pty
        import select
        import time
        long_run = [TAVKIN, "demo", "--via-run", "--facts", "100000000"]
        master, slave = pty.openpty()
        proc = subprocess.Popen(long_run, stderr=slave, stdout=subprocess.DEVNULL)
        os.close(slave)
        drawn, deadline = b"", time.monotonic() + 120
        try:
            while b"/100000000" not in drawn and time.monotonic() < deadline:
                if select.select([master], [], [], 1.0)[0]:
                    drawn += os.read(master, 65536)
        finally:
            proc.kill()
            proc.wait()
            os.close(master)
        self.assertRegex(drawn, rb"\rtavkin demo \[#*\.*\] +\d+% \d+/100000000")

        proc = subprocess.Popen(long_run, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)
        time.sleep(2)
        proc.kill()
        _, stderr = proc.communicate()
        self.assertEqual(stderr, b"")

if __name__ == "__main__":
    unittest.main()
