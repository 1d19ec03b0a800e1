"""The Wireshark dissector (tools/wireshark/tavkin.lua) run in the real tshark, field by
field against what the library says about the same packets: the header parser, `tavkin
inspect` and the decompress request of a receiver that saw the same capture.

The capture holds the demo fleet's traffic as `tavkin capture --demo` writes it, then
packets made here from it: a bad CRC-8, a bad CRC-16, secure commands, a longer route, an
empty route, a routed full text, a text with the odd corners of the format, a command that
is not a data command, and packets too short for their header. Further tests cover random
packets, how the dissector learns templates, TCP and MQTT. Skips when tshark is not installed (tools/install-deps.sh
installs it)."""
import datetime
import json
import os
import pathlib
import random
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import tavkin

TSHARK = shutil.which("tshark")
TAVKIN = os.environ["TAVKIN_BIN"]
DISSECTOR = os.environ["DISSECTOR"]
PORT = 47474
COLLECTOR = bytes([192, 0, 2, 1])
SKIP_REASON = "tshark is not installed (tools/install-deps.sh installs it)"

B62 = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"


# --- capture files, written here byte by byte --------------------------------------------

def udp_over_ipv4(src: bytes, payload: bytes) -> bytes:
    udp = struct.pack(">HHHH", PORT, PORT, 8 + len(payload), 0) + payload
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, src, COLLECTOR) + udp


def tcp_over_ipv4(seq: int, payload: bytes) -> bytes:
    tcp = struct.pack(">HHIIBBHHH", 50000, 1883, seq, 1, 0x50, 0x18, 65535, 0, 0) + payload
    return struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), 0, 0, 64, 6, 0, bytes([10, 0, 0, 2]),
                       bytes([10, 0, 0, 1])) + tcp


def write_pcap(path: pathlib.Path, datagrams: list[bytes]) -> None:
    """Classic pcap, link type raw IPv4, one second apart."""
    out = bytearray(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
    for i, d in enumerate(datagrams):
        out += struct.pack("<IIII", 1_700_000_000 + i, 0, len(d), len(d)) + d
    path.write_bytes(bytes(out))


def read_pcap(path: pathlib.Path) -> list[tuple[float, bytes]]:
    """(time, IPv4 datagram) of each record of a raw-IPv4 pcap file."""
    data = path.read_bytes()
    magic, major, minor, _, _, _, link = struct.unpack_from("<IHHiIII", data)
    assert (magic, major, minor, link) == (0xA1B2C3D4, 2, 4, 101), (magic, major, minor, link)
    records, pos = [], 24
    while pos < len(data):
        sec, usec, incl, orig = struct.unpack_from("<IIII", data, pos)
        assert incl == orig
        records.append((sec + usec / 1e6, data[pos + 16:pos + 16 + incl]))
        pos += 16 + incl
    return records


# --- packets --------------------------------------------------------------------------------

def with_trailer(body_and_header: bytes) -> bytes:
    return body_and_header + tavkin.crc16(body_and_header).to_bytes(2, "big")


def frame(cmd: int, route: list[int], tid: int, ts: int, body: bytes) -> bytes:
    head = bytes([cmd, len(route)]) + b"".join(a.to_bytes(4, "big") for a in route) + bytes([tid])
    return with_trailer(head + ts.to_bytes(6, "big") + body + bytes([tavkin.crc8(body)]))


# Readings without a unit, with ":" in the unit, a segment that is no reading, an empty
# geohash, a URL that keeps its own scheme, and a second "@" that ends the message.
ODD_TEXT = b"43;n.s.AYvP5WgA|x>y:|r>y.u:a:b|nogt|&|#aHR0cDovL2E|@eHl6@zzz"


def crafted_from(demo: list[bytes]) -> list[bytes]:
    full = next(p for p in demo if p[0] == 63)
    beat = next(p for p in demo if p[0] == 127)
    diff = next(p for p in demo if p[0] == 170)
    bad_crc8 = with_trailer(full[:-3] + bytes([full[-3] ^ 0xFF]))
    bad_crc16 = diff[:-1] + bytes([diff[-1] ^ 0x01])
    secure_beat = with_trailer(bytes([128]) + beat[1:-2])
    h = tavkin.parse_header(beat)
    routed = b"42;node7.1.AYvP5WgA|t1>0.c1:yG|h>0.m/s2:q0U|d>0.1,km:-c|&hi|#czE|@eHl6"
    return [
        bad_crc8, bad_crc16, secure_beat,
        frame(127, [11, 12, h.source_aid], h.tid, h.timestamp_raw, b""),  # relayed over three hops
        frame(127, [], 24, 1_700_000_000, b""),                            # no route: device 0
        frame(64, [42], 24, 1_700_000_000_000, routed),                    # secure, routed full text
        frame(63, [43], 24, 1_700_000_000_000, ODD_TEXT),
        frame(5, [42], 24, 1_700_000_000_000, b"hello"),                   # not a data command
        full[:10],                                                         # too short
        bytes([63, 40]) + bytes(18),                                       # route beyond the payload
        bytes([63]),                                                       # no route count
    ]


# --- tshark ---------------------------------------------------------------------------------

class Members(list):
    """A JSON object as its (key, value) pairs: tshark repeats keys inside one object."""


def flatten(node, out: dict[str, list[str]]) -> dict[str, list[str]]:
    if isinstance(node, Members):
        for key, value in node:
            if isinstance(value, str):
                out.setdefault(key, []).append(value)
            elif isinstance(value, list) and not isinstance(value, Members):
                for v in value:
                    if isinstance(v, str):
                        out.setdefault(key, []).append(v)
                    else:
                        flatten(v, out)
            else:
                flatten(value, out)
    return out


def tshark(capture: pathlib.Path, config: pathlib.Path, *options: str) -> tuple[list[dict[str, list[str]]], str, str]:
    """Every frame's fields (name to values in tree order), the JSON text and stderr."""
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env.update(LC_ALL="C", TZ="UTC", WIRESHARK_CONFIG_DIR=str(config))
    r = subprocess.run([TSHARK, "-n", "-X", f"lua_script:{DISSECTOR}", "-r", str(capture), "-T", "json", *options],
                       capture_output=True, env=env, timeout=300)
    stderr = r.stderr.decode()
    if r.returncode != 0:
        raise AssertionError(f"tshark exited with {r.returncode}: {stderr}")
    text = r.stdout.decode()
    frames = json.loads(text, object_pairs_hook=Members)
    return [flatten(f, {}) for f in frames], text, stderr


def date_of(tshark_time: str) -> str:
    """'Nov 14, 2023 22:13:20.000000000 UTC' as '2023-11-14 22:13:20.000'."""
    m = re.fullmatch(r"(\w+ +\d+, \d+ \d\d:\d\d:\d\d)\.(\d{3})\d* UTC", tshark_time)
    return datetime.datetime.strptime(m[1], "%b %d, %Y %H:%M:%S").strftime("%Y-%m-%d %H:%M:%S.") + m[2]


def inspect_date(line: str) -> str:
    """The date of inspect's timestamp line, with milliseconds."""
    m = re.search(r"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)(\.\d{3})? UTC", line)
    return m[1] + (m[2] or ".000")


def b62(text: str) -> int:
    sign, digits = (-1, text[1:]) if text.startswith("-") else (1, text)
    value = 0
    for c in digits:
        value = value * 62 + B62.index(c)
    return sign * value


class Inspected:
    """What `tavkin inspect` says about one packet, read from its lines."""

    def __init__(self, packet: bytes, registry: str):
        r = subprocess.run([TAVKIN, "inspect", "--registry", registry, "--hex", packet.hex()],
                           capture_output=True, timeout=60)
        self.text = r.stdout.decode()
        lines = {line[:12].strip(): line[12:] for line in self.text.splitlines() if line[:12].strip()}
        self.command_name = lines["command"].split("  ", 1)[1].split(" (")[0]
        route = lines["route"]
        self.route = [] if route.startswith("none") else [int(a) for a in route.split(": ", 1)[1]
                                                          .split(" (")[0].split(" -> ")]
        self.date = inspect_date(lines["timestamp"])
        self.body_len = int(lines["body"].split(" ")[0])
        crc8, crc8_verdict = lines["crc-8"].split("  ", 1)
        crc16, crc16_verdict = lines["crc-16"].split("  ", 1)
        self.crc8, self.crc8_ok = crc8, crc8_verdict == "ok"
        self.crc16, self.crc16_ok = crc16, crc16_verdict == "ok"
        mask = re.search(r"mask 0x([0-9a-f]+) \(", self.text)
        self.mask = mask[1] if mask else None
        self.changes = [(int(p), v) for p, v in re.findall(r'^ +value (\d+) +"([^"]*)"', self.text, re.M)]


@unittest.skipUnless(TSHARK, SKIP_REASON)
class DissectorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        root = pathlib.Path(cls.tmp.name)
        cls.config = root / "wireshark-config"
        cls.config.mkdir()
        demo_pcap = root / "demo.pcap"
        r = subprocess.run([TAVKIN, "capture", "--demo", "--facts", "120", "--devices", "3", "--seed", "5",
                            "-o", str(demo_pcap)], capture_output=True, timeout=120)
        assert r.returncode == 0, r.stderr
        cls.demo_pcap = demo_pcap
        cls.demo = [datagram[28:] for _, datagram in read_pcap(demo_pcap)]
        cls.packets = cls.demo + crafted_from(cls.demo)
        capture = cls.capture = root / "capture.pcap"
        write_pcap(capture, [udp_over_ipv4(bytes([10, 0, 0, 7]), p) for p in cls.packets])

        # What the library says: header, receiver's answers in capture order, inspect.
        cls.headers = []
        for p in cls.packets:
            try:
                cls.headers.append(tavkin.parse_header(p))
            except ValueError:
                cls.headers.append(None)
        registry = str(root / "receiver")
        receiver = tavkin.Context(7_150_001, registry_root=registry)
        cls.answers = []
        for p in cls.packets:
            try:
                cls.answers.append(receiver.decompress(p))
            except tavkin.RequestError as e:
                cls.answers.append(e.answer)
        cls.inspected = [Inspected(p, registry) if h else None for p, h in zip(cls.packets, cls.headers)]

        cls.frames, cls.json_text, cls.stderr = tshark(capture, cls.config, "-d", f"udp.port=={PORT},tavkin")
        cls.heuristic_frames, _, cls.heuristic_stderr = tshark(capture, cls.config)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def readable(self):
        """(index, packet, header, fields) of every packet long enough for its header."""
        for i, (p, h, f) in enumerate(zip(self.packets, self.headers, self.frames)):
            if h is not None:
                yield i, p, h, f

    def test_capture_covers_every_kind(self):
        commands = {p[0] for p in self.packets if p}
        self.assertTrue({63, 64, 127, 128, 170, 5} <= commands, commands)
        self.assertEqual(len(self.frames), len(self.packets))
        self.assertEqual(sum(h is None for h in self.headers), 3)

    def test_no_lua_error(self):
        for stderr in (self.stderr, self.heuristic_stderr):
            self.assertNotIn("Lua", stderr)
        self.assertNotIn("_ws.lua.error", self.json_text)
        self.assertNotIn("Lua Error", self.json_text)
        self.assertTrue(all("tavkin.cmd" in f for f in self.frames))

    def test_header_fields_match_the_header_parser(self):
        for i, _, h, f in self.readable():
            with self.subTest(packet=i):
                self.assertEqual(f["tavkin.cmd"], [str(h.cmd)])
                self.assertEqual(f["tavkin.cmd.base"], [str(h.base_cmd)])
                self.assertEqual(f["tavkin.cmd.secure"], ["1" if h.secure else "0"])
                self.assertEqual(f["tavkin.route.count"], [str(h.route_count)])
                self.assertEqual(f["tavkin.source_aid"], [str(h.source_aid)])
                self.assertEqual(f["tavkin.tid"], [str(h.tid)])
                self.assertEqual(f["tavkin.timestamp_raw"], [str(h.timestamp_raw)])
                self.assertEqual(f["tavkin.crc16.status"], ["1" if h.crc16_ok else "0"])
                self.assertEqual("tavkin.crc16.bad" in f, not h.crc16_ok)

    def test_route_body_and_checksums_match_inspect(self):
        for i, _, _, f in self.readable():
            seen = self.inspected[i]
            with self.subTest(packet=i):
                self.assertEqual(f["tavkin.cmd.name"], [seen.command_name])
                self.assertEqual(f.get("tavkin.route.aid", []), [str(a) for a in seen.route])
                self.assertEqual(date_of(f["tavkin.timestamp"][0]), seen.date)
                self.assertEqual(f["tavkin.body.len"], [str(seen.body_len)])
                self.assertEqual(f["tavkin.crc8"], [seen.crc8])
                self.assertEqual(f["tavkin.crc8.status"], ["1" if seen.crc8_ok else "0"])
                self.assertEqual("tavkin.crc8.bad" in f, not seen.crc8_ok)
                self.assertEqual(f["tavkin.crc16"], [seen.crc16])
                self.assertEqual(f["tavkin.crc16.status"], ["1" if seen.crc16_ok else "0"])
        self.assertEqual(sum(not s.crc8_ok for s in self.inspected if s), 1)

    def test_full_bodies_match_the_receivers_answer(self):
        fulls = 0
        for i, p, h, f in self.readable():
            if h.base_cmd != 63 or not h.crc16_ok:
                continue
            fulls += 1
            answer = self.answers[i]
            body = p[9 + 4 * h.route_count:-3].decode()
            text = body.split(";", 1)[1] if ";" in body else body
            parts = tavkin.decompose(text)
            with self.subTest(packet=i):
                self.assertEqual(f["tavkin.fact"], [body])
                self.assertEqual(f.get("tavkin.fact.route_prefix"), [body.split(";")[0]] if ";" in body else None)
                self.assertEqual(f["tavkin.fact.id"], [answer["id"]])
                self.assertEqual(f["tavkin.fact.state"], [answer["s"]])
                self.assertEqual(f["tavkin.fact.t_raw"], [str(answer["t_raw"])])
                self.assertEqual(f["tavkin.fact.ts"], [parts.ts.decode()])
                n = len(parts.values) // 2
                self.assertEqual(f["tavkin.reading.id"], [answer[f"s{k}_id"] for k in range(1, n + 1)])
                self.assertEqual(f["tavkin.reading.state"], [answer[f"s{k}_s"] for k in range(1, n + 1)])
                self.assertEqual(f["tavkin.reading.unit"], [answer[f"s{k}_u"] for k in range(1, n + 1)])
                self.assertEqual([float(v) for v in f["tavkin.reading.number"]],
                                 [answer[f"s{k}_v"] for k in range(1, n + 1)])
                self.assertEqual(f["tavkin.reading.value"], [v.decode() for v in parts.values[1::2]])
                # Decomposition keeps "state.unit" whole; the dissector splits it at its first ".".
                for s, u, whole in zip(f["tavkin.reading.state"], f["tavkin.reading.unit"], parts.values[0::2]):
                    self.assertEqual(f"{s}.{u}" if b"." in whole else s, whole.decode())
                for member in ("geohash", "url", "msg"):
                    self.assertEqual(f.get(f"tavkin.{member}"), [answer[member]] if member in answer else None)
        self.assertGreater(fulls, 3)
        odd = self.frames[self.packets.index(next(p for p in self.packets if ODD_TEXT in p))]
        self.assertEqual((odd["tavkin.reading.unit"], odd["tavkin.reading.value"]), (["", "u:a"], ["", "b"]))
        self.assertEqual((odd["tavkin.geohash"], odd["tavkin.url"], odd["tavkin.msg"]), ([""], ["http://a"], ["xyz"]))

    def test_difference_bodies_match_inspect_and_the_receiver(self):
        diffs = 0
        for i, p, h, f in self.readable():
            if h.base_cmd != 170 or not h.crc16_ok:
                continue
            diffs += 1
            seen, answer = self.inspected[i], self.answers[i]
            with self.subTest(packet=i):
                self.assertEqual(f["tavkin.diff.mask"], [":".join(re.findall("..", seen.mask))])
                changes = list(zip(map(int, f["tavkin.diff.position"]), f["tavkin.diff.value"]))
                self.assertEqual(changes, seen.changes)
                self.assertEqual(f["tavkin.diff.changed"], [str(len(changes))])
                self.assertNotIn("tavkin.diff.guessed", f)  # the capture showed the template first
                # The receiver's fact after this packet holds each changed value.
                for position, value in changes:
                    k = position // 2 + 1
                    if position % 2:
                        self.assertEqual(b62(value) / 10000, answer[f"s{k}_v"])
                    else:
                        self.assertEqual(value, f"{answer[f's{k}_s']}.{answer[f's{k}_u']}")
        self.assertGreater(diffs, 10)

    def test_short_packets_are_malformed_with_expert_info(self):
        for i, (h, f, answer) in enumerate(zip(self.headers, self.frames, self.answers)):
            with self.subTest(packet=i):
                self.assertEqual("tavkin.malformed" in f, h is None)
                self.assertEqual("_ws.malformed" in f, h is None)
                if h is None:
                    self.assertIn(answer, ({"error": "Packet too short"}, {"error": "Incomplete Binary Header"}))
                    self.assertIn("Malformed tavkin packet", " ".join(f["_ws.expert.message"]))

    def test_heuristic_takes_exactly_the_packets_with_a_sound_trailer(self):
        for i, (h, f) in enumerate(zip(self.headers, self.heuristic_frames)):
            with self.subTest(packet=i):
                self.assertEqual("tavkin.cmd" in f, h is not None and h.crc16_ok)

    def test_udp_port_preference_decodes_like_decode_as(self):
        frames, _, stderr = tshark(self.capture, self.config, "-o", f"tavkin.udp_port:{PORT}",
                                   "--disable-heuristic", "tavkin_udp")
        self.assertNotIn("Lua", stderr)
        tavkin_fields = [{k: v for k, v in f.items() if k.startswith("tavkin.")} for f in frames]
        self.assertEqual(tavkin_fields, [{k: v for k, v in f.items() if k.startswith("tavkin.")} for f in self.frames])

    def test_capture_file_opens_with_every_packet_found(self):
        frames, text, stderr = tshark(self.demo_pcap, self.config)
        self.assertNotIn("Lua", stderr + text)
        self.assertEqual(len(frames), len(self.demo))
        for i, (p, f) in enumerate(zip(self.demo, frames)):
            h = tavkin.parse_header(p)
            with self.subTest(packet=i):
                self.assertEqual(f["tavkin.source_aid"], [str(h.source_aid)])
                self.assertEqual(f["ip.src"], [".".join(str(b) for b in h.source_aid.to_bytes(4, "big"))])
                self.assertEqual(f["udp.srcport"] + f["udp.dstport"], [str(PORT)] * 2)
                self.assertEqual(round(float(f["frame.time_epoch"][0]) * 1000), h.timestamp_raw)


@unittest.skipUnless(TSHARK, SKIP_REASON)
class HostilePacketTest(unittest.TestCase):
    def test_random_packets_give_no_lua_error(self):
        """Seeded random packets (texts full of separators, bytes that are not UTF-8, masks
        that promise more changes than the body holds, any length): tshark shows each one
        and reports no Lua error."""
        seed = int(os.environ.get("TAVKIN_TEST_SEED", random.randrange(1 << 32)))
        print(f"random packets with TAVKIN_TEST_SEED={seed}")
        rng = random.Random(seed)
        alphabet = b"ab09.|>:&#@;-_/,=\xc3\xa9\xff"
        packets = []
        for _ in range(400):
            route = [rng.randrange(1 << 32) for _ in range(rng.choice([0, 1, 1, 3]))]
            if rng.random() < 0.5:
                body = bytes(rng.choice(alphabet) for _ in range(rng.randrange(60)))
            else:
                body = bytes(rng.randrange(256) for _ in range(rng.randrange(24)))
            packet = frame(rng.choice([63, 64, 127, 170, 171, 0]), route, rng.randrange(256),
                           rng.randrange(1 << 48), body)
            if rng.random() < 0.1:
                packet = packet[:rng.randrange(len(packet))]
            packets.append(packet)
        with tempfile.TemporaryDirectory() as root:
            capture = pathlib.Path(root) / "random.pcap"
            write_pcap(capture, [udp_over_ipv4(bytes([10, 0, 0, 9]), p) for p in packets])
            frames, text, stderr = tshark(capture, pathlib.Path(root), "-d", f"udp.port=={PORT},tavkin")
        self.assertNotIn("Lua", stderr + text, f"seed {seed}")
        self.assertEqual(len(frames), len(packets))
        for i, (p, f) in enumerate(zip(packets, frames)):
            self.assertEqual("tavkin.cmd" in f, len(p) > 0, f"seed {seed}, packet {i}")


@unittest.skipUnless(TSHARK, SKIP_REASON)
class TemplateLearningTest(unittest.TestCase):
    def test_mask_length_comes_from_full_packets_a_receiver_accepts(self):
        """The body 01 02 00 00 reads two ways: with a 1-byte mask, value 0 changed to the
        two bytes 00 00; with the 2-byte mask of a template of ten values, values 1 and 8
        changed to empty texts. Only a template learnt from a full packet that a receiver
        accepts settles it."""
        text = b"n.s.AYvP5WgA|" + b"".join(b"r%d>0.C:%d|" % (i, i) for i in range(5))  # 10 values
        full = frame(63, [44], 30, 1_700_000_000_000, text)
        damaged = full[:-1] + bytes([full[-1] ^ 1])
        diff = frame(170, [44], 30, 1_700_000_001_000, b"\x01\x02\x00\x00")
        with tempfile.TemporaryDirectory() as root:
            capture = pathlib.Path(root) / "learn.pcap"
            write_pcap(capture, [udp_over_ipv4(bytes([10, 0, 0, 8]), p) for p in (diff, damaged, diff, full, diff)])
            frames, _, stderr = tshark(capture, pathlib.Path(root), "-d", f"udp.port=={PORT},tavkin")
        self.assertNotIn("Lua", stderr)
        for f in (frames[0], frames[2]):
            self.assertIn("tavkin.diff.guessed", f)
            self.assertEqual((f["tavkin.diff.mask"], f["tavkin.diff.position"]), (["01"], ["0"]))
        learnt = frames[4]
        self.assertNotIn("tavkin.diff.guessed", learnt)
        self.assertEqual(learnt["tavkin.diff.template_values"], ["10"])
        self.assertEqual((learnt["tavkin.diff.mask"], learnt["tavkin.diff.position"], learnt["tavkin.diff.value"]),
                         (["01:02"], ["1", "8"], ["", ""]))


@unittest.skipUnless(TSHARK, SKIP_REASON)
class TransportTest(unittest.TestCase):
    def test_tcp_segments_by_decode_as(self):
        packets = [frame(127, [7], 24, 1_700_000_000_000, b""), frame(170, [8], 25, 1_700_000_000_000, b"\x01\x01z")]
        segments, seq = [], 1
        for p in packets:
            segments.append(tcp_over_ipv4(seq, p))
            seq += len(p)
        with tempfile.TemporaryDirectory() as root:
            capture = pathlib.Path(root) / "tcp.pcap"
            write_pcap(capture, segments)
            frames, _, stderr = tshark(capture, pathlib.Path(root), "-d", "tcp.port==1883,tavkin")
        self.assertNotIn("Lua", stderr)
        self.assertEqual([(f["tavkin.source_aid"], f["tavkin.cmd.name"]) for f in frames],
                         [(["7"], ["DATA_HEART"]), (["8"], ["DATA_DIFF"])])

    def test_mqtt_topic_filter_and_heuristic(self):
        """MQTT payloads: handed over by a topic filter of the MQTT preferences, or found
        by the heuristic when no filter claims them."""
        beat = frame(127, [305419896], 24, 1_700_000_000_000, b"")
        topics = [b"fleet/305419896/up", b"other/305419896/up"]
        segments, seq = [], 1
        for topic in topics:
            body = struct.pack(">H", len(topic)) + topic + beat
            publish = bytes([0x30, len(body)]) + body
            segments.append(tcp_over_ipv4(seq, publish))
            seq += len(publish)
        with tempfile.TemporaryDirectory() as root:
            capture = pathlib.Path(root) / "mqtt.pcap"
            write_pcap(capture, segments)
            mqtt = ("-o", "mqtt.default_version:MQTT v3.1.1")
            by_filter, _, stderr = tshark(capture, pathlib.Path(root), *mqtt, "--disable-heuristic", "tavkin_mqtt.topic",
                                          "-o", 'uat:mqtt_message_decoding:"Starts with","fleet/","none","tavkin"')
            by_heuristic, _, _ = tshark(capture, pathlib.Path(root), *mqtt)
        self.assertNotIn("Lua", stderr)
        self.assertEqual([f.get("mqtt.topic") for f in by_filter], [[t.decode()] for t in topics])
        self.assertEqual([f.get("tavkin.source_aid") for f in by_filter], [["305419896"], None])
        self.assertEqual([f.get("tavkin.source_aid") for f in by_heuristic], [["305419896"]] * 2)


if __name__ == "__main__":
    unittest.main()
