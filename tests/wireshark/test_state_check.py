"""The dissector's reading of the byte after a heartbeat's or difference's body: the
body's CRC-8 from a plain sender, or a state check, which it verifies where the capture
taught it the template. Captures come from the library's own senders; what the check
should be comes from a CRC-32C and fold written here bit by bit, over the template state
that the library's own receiver keeps in its registry files. Skips when tshark is not
installed."""
import base64
import json
import pathlib
import random
import tempfile
import unittest

import tavkin

from test_dissector import PORT, SKIP_REASON, TSHARK, frame, tshark, udp_over_ipv4, write_pcap

HEART, DIFF = 127, 170
UPDATES = (HEART, DIFF, HEART + 1, DIFF + 1)


# --- the state check, bit by bit ----------------------------------------------------------

def crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x82F63B78 if crc & 1 else crc >> 1
    return crc ^ 0xFFFFFFFF


def record(text: bytes) -> bytes:
    r = bytes([len(text) % 256]) + text
    return r + bytes(-len(r) % 8)


def murmur_finish(x: int) -> int:
    x ^= x >> 16
    x = x * 0x85EBCA6B % 2**32
    x ^= x >> 13
    x = x * 0xC2B2AE35 % 2**32
    return x ^ (x >> 16)


def state_check(sig: bytes, values: list[bytes], timestamp: int) -> int:
    digest = crc32c(record(sig) + b"".join(record(v) for v in values))
    return murmur_finish(digest ^ murmur_finish((timestamp % 2**32) ^ (timestamp >> 32))) & 0xFF


class StateCheckOfTheLibraryTest(unittest.TestCase):
    def test_a_heartbeat_carries_the_check_computed_here(self):
        """The check above is the library's: the heartbeat of docs/protocol.md, "State
        checks", byte for byte."""
        self.assertEqual(crc32c(b"123456789"), 0xE3069283)  # CRC-32C's published check value
        sender = tavkin.Context(7_160_001, state_check=True)
        text = "d1.1.AYvP5WgA|t>ok:42|"
        sender.run(text, src_aid=7)
        beat = sender.run(text, src_aid=7)
        self.assertEqual(beat[-3], state_check(b"d1.1.{TS}|t>\x01:\x01|", [b"ok", b"42"], 1_700_000_000_000))
        self.assertEqual(beat, bytes.fromhex("7F 01 00000007 18 018BCFE56800 FC 4872"))


# --- captures -------------------------------------------------------------------------------

def fleet_facts(seed: int, count: int) -> list[tuple[int, dict, bool]]:
    """(aid, fact, force full) of three devices with two templates each: six readings and a
    geohash (twelve values, a two-byte mask), or two readings with a URL and a message.
    Each device's first fact of the second half is sent as a full packet."""
    rng = random.Random(seed)
    devices = {aid: [20.0 + i for i in range(6)] for aid in (1001, 1002, 305419896)}
    facts, forced = [], set()
    for i in range(count):
        aid = rng.choice(list(devices))
        values = devices[aid]
        for k in range(6):
            if rng.random() < 0.15:
                values[k] = round(values[k] + rng.choice([-0.25, 0.25]), 2)
        readings = [{"id": f"r{k}", "s": "ok" if rng.random() < 0.9 else "warn", "v": values[k], "u": "Celsius"}
                    for k in range(6)]
        fact = {"id": f"node{aid}", "s": "online", "timestamp": 1_700_000_000 + i}
        if rng.random() < 0.7:
            fact.update(readings=readings, geohash="u4pruy")
        else:
            fact.update(readings=readings[:2], url="https://example.org/x", msg="door open")
        full = i >= count // 2 and aid not in forced
        if full:
            forced.add(aid)
        facts.append((aid, fact, full))
    return facts


def send(facts, ctx_id: int, state_check: bool) -> list[bytes]:
    compressor = tavkin.Compressor(precision=2, ms_timestamps=True, units={"celsius": "c1"}, states={"ok": "0"})
    sender = tavkin.Sender(compressor, ctx_id=ctx_id, state_check=state_check)
    return sender.send_many(facts)


def body_of(packet: bytes) -> bytes:
    return packet[9 + 4 * packet[1]:-3]


def key_of(packet: bytes) -> tuple[int, int]:
    h = tavkin.parse_header(packet)
    return h.source_aid, h.tid


def registry_state(root: pathlib.Path, aid: int, tid: int) -> tuple[bytes, list[bytes]] | None:
    """A template as a receiver's device file holds it (docs/protocol.md, "Registry files")."""
    padded = f"{aid:010d}"
    path = root / padded[0:2] / padded[2:4] / f"{aid}.json"
    if not path.exists():
        return None
    template = json.loads(path.read_text())["templates"].get(str(tid))
    if template is None:
        return None
    return template["sig"].encode(), [base64.b64decode(v) for v in template["last_vals_bin"]]


def expected_checks(packets: list[bytes], root: pathlib.Path, ctx_id: int) -> list[int | None]:
    """Per packet, the state check of its template after it, in a plain receiver that
    received every packet of the list before it; None for full packets."""
    receiver = tavkin.Receiver(ctx_id=ctx_id, registry_root=str(root), state_check=False)
    checks = []
    for p in packets:
        receiver.receive(p)
        h = tavkin.parse_header(p)
        state = registry_state(root, h.source_aid, h.tid) if p[0] in UPDATES else None
        checks.append(state_check(*state, h.timestamp_raw) if state else None)
    return checks


def dissect(packets: list[bytes], *options: str):
    with tempfile.TemporaryDirectory() as root:
        capture = pathlib.Path(root) / "capture.pcap"
        write_pcap(capture, [udp_over_ipv4(bytes([10, 0, 0, 7]), p) for p in packets])
        frames, text, stderr = tshark(capture, pathlib.Path(root), "-d", f"udp.port=={PORT},tavkin", *options)
    assert "Lua" not in stderr + text, stderr
    assert len(frames) == len(packets)
    return frames


def tavkin_fields(frame: dict[str, list[str]]) -> dict[str, list[str]]:
    return {k: v for k, v in frame.items() if k.startswith("tavkin.") or k == "_ws.expert.message"}


@unittest.skipUnless(TSHARK, SKIP_REASON)
class StateCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.facts = fleet_facts(seed=11, count=160)
        cls.checked = send(cls.facts, 7_160_010, state_check=True)
        cls.plain = send(cls.facts, 7_160_011, state_check=False)
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = pathlib.Path(cls.tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def assert_check_byte(self, frames, packets, checks, holding_expected: bool = False):
        """Each heartbeat and difference: the byte read as the body's CRC-8 or as a state
        check, and, as a state check, holding exactly when it is the check of the template
        state a receiver of these packets holds."""
        for i, (p, f, check) in enumerate(zip(packets, frames, checks)):
            if p[0] not in UPDATES:
                self.assertNotIn("tavkin.check", f)
                continue
            byte, crc8 = p[-3], tavkin.crc8(body_of(p))
            with self.subTest(packet=i):
                self.assertEqual(f["tavkin.state_check.computed"], [f"0x{check:02x}"])
                if byte == crc8:
                    reading = "CRC-8 of the body, also the state check" if byte == check else "CRC-8 of the body"
                else:
                    reading = f"State check 0x{byte:02x}"
                self.assertEqual(f["tavkin.check"], [reading])
                holds = byte == check
                status = None if byte == crc8 and not holds else ["1" if holds else "0"]
                self.assertEqual(f.get("tavkin.state_check.status"), status)
                self.assertEqual("tavkin.state_check.bad" in f, status == ["0"])
                self.assertNotIn("tavkin.crc8.bad", f)
                self.assertNotIn("tavkin.state_check.unverified", f)
                if holding_expected:
                    self.assertEqual(status, ["1"])

    def test_every_state_check_of_a_whole_capture_holds(self):
        packets = self.checked
        self.assertEqual(len(packets), len(self.facts))
        frames = dissect(packets)
        checks = expected_checks(packets, self.root / "whole", 7_160_020)
        self.assert_check_byte(frames, packets, checks, holding_expected=True)
        # Most bytes are no CRC-8 at all: the capture shows state checks, not coincidences.
        updates = [p for p in packets if p[0] in UPDATES]
        self.assertGreater(sum(p[-3] != tavkin.crc8(body_of(p)) for p in updates), 0.9 * len(updates))
        self.assertEqual({p[0] for p in updates}, {HEART, DIFF})
        # A checking receiver of the library accepts every one of them.
        receiver = tavkin.Receiver(ctx_id=7_160_021, state_check=True)
        self.assertTrue(all(isinstance(a, dict) for a in receiver.receive_many(packets)))

    def test_a_lost_difference_shows_until_the_next_full_packet(self):
        """A difference followed by a heartbeat of its template is taken out: that heartbeat's
        check does not hold, as a checking receiver of the library finds too; the template's
        next full packet ends it, and other templates are not touched."""
        packets = self.checked
        def next_of_template(i):
            return next((q for q in packets[i + 1:] if key_of(q) == key_of(packets[i])), b"")

        lost = next(i for i, p in enumerate(packets) if p[0] == DIFF and next_of_template(i)[:1] == bytes([HEART]))
        drifted = key_of(packets[lost])
        kept = packets[:lost] + packets[lost + 1:]
        after = [i for i in range(lost, len(kept)) if key_of(kept[i]) == drifted]
        first_after, next_full = after[0], next(i for i in after if kept[i][0] == 63)
        self.assertLess(first_after, next_full)

        checking = tavkin.Receiver(ctx_id=7_160_030, state_check=True)
        checking.receive_many(kept[:first_after])
        with self.assertRaises(tavkin.StateMismatch) as refused:
            checking.receive(kept[first_after])
        self.assertEqual((refused.exception.aid, refused.exception.tid), drifted)

        frames = dissect(kept)
        checks = expected_checks(kept, self.root / "lost", 7_160_031)
        self.assert_check_byte(frames, kept, checks)
        status = [f.get("tavkin.state_check.status") for f in frames]
        self.assertEqual(status[first_after], ["0"])
        self.assertIn("the receiver's template has drifted", " ".join(frames[first_after]["_ws.expert.message"]))
        for i, p in enumerate(kept):
            if p[0] in UPDATES and (key_of(p) != drifted or i < first_after or i > next_full):
                self.assertEqual(status[i], ["1"], f"packet {i}")

        # A second pass over the capture shows what the first one learnt.
        two_pass = dissect(kept, "-2")
        self.assertEqual([tavkin_fields(f) for f in two_pass], [tavkin_fields(f) for f in frames])

    def test_plain_packets_show_their_crc8(self):
        packets = self.plain
        frames = dissect(packets)
        checks = expected_checks(packets, self.root / "plain", 7_160_040)
        updates = [i for i, p in enumerate(packets) if p[0] in UPDATES]
        self.assertTrue(all(packets[i][-3] == tavkin.crc8(body_of(packets[i])) for i in updates))
        self.assert_check_byte(frames, packets, checks)
        for i in updates:
            self.assertEqual(frames[i]["tavkin.crc8.status"], ["1"])
            self.assertEqual(frames[i]["tavkin.crc8"], [f"0x{packets[i][-3]:02x}"])

    def test_templates_the_capture_did_not_teach_are_not_judged(self):
        """Without the full packets the state is unknown: a byte that is not the body's
        CRC-8 is read as a state check, noted as not verified, and warned about nowhere."""
        packets = [p for p in self.checked[: len(self.checked) // 2] if p[0] != 63]
        frames = dissect(packets)
        for i, (p, f) in enumerate(zip(packets, frames)):
            with self.subTest(packet=i):
                is_crc8 = p[-3] == tavkin.crc8(body_of(p))
                self.assertEqual(f["tavkin.check"], ["CRC-8 of the body" if is_crc8 else f"State check 0x{p[-3]:02x}"])
                self.assertEqual("tavkin.state_check.unverified" in f, not is_crc8)
                for absent in ("tavkin.state_check.computed", "tavkin.state_check.status", "tavkin.state_check.bad",
                               "tavkin.crc8.bad"):
                    self.assertNotIn(absent, f)


@unittest.skipUnless(TSHARK, SKIP_REASON)
class TemplateRulesTest(unittest.TestCase):
    def test_templates_are_learnt_from_full_packets_a_receiver_accepts(self):
        """Between a template's full packet and its heartbeat come two full packets of the same
        number that a receiver does not learn from: one with a bad CRC-16, one whose text is not
        UTF-8. The heartbeat's check holds against the first template, as the library's
        checking receiver finds."""
        sender = tavkin.Context(7_160_060, state_check=True)
        text = "n.s.AYvP5WgA|t>0.C:1|"
        full = sender.run(text, src_aid=600)
        beat = sender.run(text, src_aid=600)
        other = frame(63, [600], full[6], 1_700_000_000_000, "n.s.AYvP5WgA|t>0.C:2|é".encode("latin-1"))
        damaged = frame(63, [600], full[6], 1_700_000_000_000, b"n.s.AYvP5WgA|t>0.C:3|")
        damaged = damaged[:-1] + bytes([damaged[-1] ^ 1])
        packets = [full, other, damaged, beat]
        receiver = tavkin.Receiver(ctx_id=7_160_061, state_check=True)
        self.assertIsInstance(receiver.receive_many(packets)[-1], dict)
        f = dissect(packets)[-1]
        self.assertEqual((f["tavkin.state_check.computed"], f["tavkin.state_check.status"]),
                         ([f"0x{beat[-3]:02x}"], ["1"]))

    # (text, the same template with one value changed): the corners of decomposition that
    # the signature and values of the check depend on.
    TEXTS = [
        ("n.s.AYvP5WgA|", None),                                                    # no segment at all
        ("305419896;n.s.AYvP5WgA|t1>0.c1:yG|", "305419896;n.s.AYvP5WgA|t1>0.c1:yH|"),  # routing prefix
        ("n.AYvP5WgA||a>:1||b>>c:d|", "n.AYvP5WgA||a>:2||b>>c:d|"),                 # empty segments, ">" twice
        ("n.s.AYvP5WgA|:x>y|a:b>c:d:e|nogt|&|", "n.s.AYvP5WgA|:x>y|a:b>c:d:f|nogt|&|"),  # last ":", no reading
        ("n.s.AYvP5WgA|x>y:|r>y.u:a:b|&|#aHR0cDovL2E|@eHl6", "n.s.AYvP5WgA|x>y:|r>y.u:a:c|&|#aHR0cDovL2E|@eHl6"),
        ("nö.s.AYvP5WgA|t>°C:1|", "nö.s.AYvP5WgA|t>°C:2|"),                         # UTF-8
        ("n.s.AYvP5WgA|a>1234567:12345678|", "n.s.AYvP5WgA|a>1234567:1234567|"),    # records of 8 and 9+ bytes
        ("n.s.AYvP5WgA|a>1:2|&" + "g" * 300 + "|", "n.s.AYvP5WgA|a>1:" + "3" * 255 + "|&" + "g" * 300 + "|"),
        ("n.s.AYvP5WgA|" + "".join(f"r{k}>0.C:{k}|" for k in range(9)),               # 18 values: 3-byte mask
         "n.s.AYvP5WgA|" + "".join(f"r{k}>0.C:{k + (k == 8)}|" for k in range(9))),
    ]

    def test_state_checks_hold_for_every_form_of_text(self):
        sender = tavkin.Context(7_160_050, state_check=True)
        packets = []
        for aid, (text, changed) in enumerate(self.TEXTS, start=500):
            packets += [sender.run(text, src_aid=aid), sender.run(text, src_aid=aid)]
            if changed:
                packets.append(sender.run(changed, src_aid=aid))
        self.assertEqual([p[0] for p in packets].count(DIFF), len(self.TEXTS) - 1)
        receiver = tavkin.Receiver(ctx_id=7_160_051, state_check=True)
        self.assertTrue(all(isinstance(a, dict) for a in receiver.receive_many(packets)))
        frames = dissect(packets)
        for i, (p, f) in enumerate(zip(packets, frames)):
            if p[0] in UPDATES:
                with self.subTest(packet=i, template=key_of(p)):
                    self.assertEqual(f.get("tavkin.state_check.computed"), [f"0x{p[-3]:02x}"])
                    self.assertNotIn("tavkin.state_check.bad", f)


if __name__ == "__main__":
    unittest.main()
